// ChaCha block functions behind the generators (internal: used by random.cpp, the tests and
// the benchmark).
//
// Every function here computes four consecutive blocks, for block counters c, c+1, c+2, c+3
// (64-bit, wrapping), with stream number 0, and writes them in that order into 64 words:
// block k in words 16k .. 16k+15, each block in word order 0..15.
//
// There is one kernel per instruction set, each in its own file (chacha_scalar.cpp,
// chacha_sse2.cpp, chacha_avx2.cpp); chacha_blocks.cpp probes the processor and picks one,
// once per process. Every kernel gives exactly the words of the scalar one.
#pragma once

#include <array>
#include <cstdint>

namespace varnix::chacha {

using Key = std::array<std::uint32_t, 8>;
inline constexpr int kBlocksPerRefill = 4;
inline constexpr int kBufferWords = 16 * kBlocksPerRefill;

// The reference computation in plain scalar code, for the round counts in use: 8 (the seeded
// stream), 12 (the per-thread stream) and 20 (checked against the published ChaCha20 blocks).
template <int Rounds>
void blocks_scalar(const Key& key, std::uint64_t counter, std::uint32_t* out);

extern template void blocks_scalar<8>(const Key&, std::uint64_t, std::uint32_t*);
extern template void blocks_scalar<12>(const Key&, std::uint64_t, std::uint32_t*);
extern template void blocks_scalar<20>(const Key&, std::uint64_t, std::uint32_t*);

enum class Impl : std::uint8_t {
    Scalar,
    Sse2,  // four blocks side by side, one 128-bit register per state word
    Avx2,  // two blocks per 256-bit register, one block row per 128-bit half
};

// Whether this build and this processor can run the implementation.
bool available(Impl impl);
const char* name(Impl impl);

// The fastest available implementation, detected once per process.
Impl selected_impl();

// ChaCha12 (the per-thread stream) and ChaCha8 (the seeded stream), four blocks at a time:
// with a given implementation, which must be available (InternalFault otherwise), or with the
// selected one.
void chacha12_blocks(Impl impl, const Key& key, std::uint64_t counter, std::uint32_t* out);
void chacha12_blocks(const Key& key, std::uint64_t counter, std::uint32_t* out);
void chacha8_blocks(Impl impl, const Key& key, std::uint64_t counter, std::uint32_t* out);
void chacha8_blocks(const Key& key, std::uint64_t counter, std::uint32_t* out);

}  // namespace varnix::chacha

// Random generators: the seeded ChaCha8 stream and the per-thread ChaCha12 stream.
//
// Both produce 64-bit values from a buffer of four ChaCha blocks (64 words), read in pairs,
// low word first. The seeded stream is reproduced bit for bit: key words come from the PCG32
// output step run eight times on the seed. The per-thread stream is keyed from the operating
// system and re-keyed every 1024 blocks. Both compute their blocks with the fastest
// implementation the processor supports; every implementation gives the same words.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "core/word_source.hpp"

namespace varnix {

class ChaChaRng {
public:
    // A fresh ChaCha8 generator for an explicit seed.
    static ChaChaRng seeded(std::uint64_t seed);

    // The calling thread's ChaCha12 generator, created (keyed from the OS) on first use.
    static ChaChaRng& thread_local_rng();

    // The hot path of every sampler: a refill once per 32 values, otherwise two word reads.
    std::uint64_t next_u64() {
        if (index_ >= kWords) [[unlikely]] refill();
        std::uint64_t v;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&v, &buffer_[index_], sizeof v);  // low word first, as stored
        } else {
            v = (std::uint64_t{buffer_[index_ + 1]} << 32) | buffer_[index_];
        }
        index_ += 2;
        return v;
    }

    // Exposed for tests: the current key and the counter of the next block to compute.
    const std::array<std::uint32_t, 8>& key() const { return key_; }
    std::uint64_t block_counter() const { return counter_; }

private:
    static constexpr std::uint32_t kWords = 64;
    enum class Kind : std::uint8_t { Seeded, Thread };

    ChaChaRng(const std::array<std::uint32_t, 8>& key, Kind kind) : kind_(kind), key_(key) {}
    [[gnu::noinline, gnu::cold]] void refill();

    std::array<std::uint32_t, kWords> buffer_{};
    std::uint32_t index_ = kWords;  // next unread word; kWords means empty
    Kind kind_;
    std::array<std::uint32_t, 8> key_;
    std::uint64_t counter_ = 0;
};

// The cosine branch of Box-Muller for two given uniforms; u1 is floored at 1e-300 so that
// u1 == 0 gives a finite radius.
double normal_from_uniforms(double u1, double u2);

// Box-Muller, cosine branch: two uniforms per normal (u1 then u2), nothing cached.
double standard_normal(ChaChaRng& rng);

// Seeded generator when a seed is given, otherwise the calling thread's generator. The seeded
// one lives in the caller's storage so that the call owns it.
class RngChoice {
public:
    explicit RngChoice(std::optional<std::uint64_t> seed) {
        if (seed) own_.emplace(ChaChaRng::seeded(*seed));
    }
    ChaChaRng& get() { return own_ ? *own_ : ChaChaRng::thread_local_rng(); }

private:
    std::optional<ChaChaRng> own_;
};

}  // namespace varnix

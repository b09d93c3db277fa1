// The scalar ChaCha kernel: the reference every vector kernel is tested against.
#include <array>

#include "core/chacha_kernels.hpp"

namespace varnix::chacha {
namespace {

constexpr std::uint32_t rotl(std::uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

inline void quarter_round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c,
                          std::uint32_t& d) {
    a += b; d = rotl(d ^ a, 16);
    c += d; b = rotl(b ^ c, 12);
    a += b; d = rotl(d ^ a, 8);
    c += d; b = rotl(b ^ c, 7);
}

// The input block for block number c: constants, key, counter (low word first), stream 0.
std::array<std::uint32_t, 16> block_input(const Key& key, std::uint64_t c) {
    return {kSigma[0], kSigma[1], kSigma[2], kSigma[3], key[0], key[1], key[2], key[3],
            key[4],    key[5],    key[6],    key[7],    static_cast<std::uint32_t>(c),
            static_cast<std::uint32_t>(c >> 32), 0u, 0u};
}

}  // namespace

template <int Rounds>
void blocks_scalar(const Key& key, std::uint64_t counter, std::uint32_t* out) {
    static_assert(Rounds > 0 && Rounds % 2 == 0, "ChaCha runs whole double rounds");
    for (int b = 0; b < kBlocksPerRefill; ++b) {
        const std::uint64_t c = counter + static_cast<std::uint64_t>(b);
        const std::array<std::uint32_t, 16> input = block_input(key, c);
        std::uint32_t x0 = input[0], x1 = input[1], x2 = input[2], x3 = input[3];
        std::uint32_t x4 = input[4], x5 = input[5], x6 = input[6], x7 = input[7];
        std::uint32_t x8 = input[8], x9 = input[9], x10 = input[10], x11 = input[11];
        std::uint32_t x12 = input[12], x13 = input[13], x14 = input[14], x15 = input[15];
        for (int r = 0; r < Rounds; r += 2) {
            quarter_round(x0, x4, x8, x12);  // columns
            quarter_round(x1, x5, x9, x13);
            quarter_round(x2, x6, x10, x14);
            quarter_round(x3, x7, x11, x15);
            quarter_round(x0, x5, x10, x15);  // diagonals
            quarter_round(x1, x6, x11, x12);
            quarter_round(x2, x7, x8, x13);
            quarter_round(x3, x4, x9, x14);
        }
        std::uint32_t* o = out + 16 * b;
        o[0] = x0 + input[0]; o[1] = x1 + input[1]; o[2] = x2 + input[2]; o[3] = x3 + input[3];
        o[4] = x4 + input[4]; o[5] = x5 + input[5]; o[6] = x6 + input[6]; o[7] = x7 + input[7];
        o[8] = x8 + input[8]; o[9] = x9 + input[9]; o[10] = x10 + input[10];
        o[11] = x11 + input[11]; o[12] = x12 + input[12]; o[13] = x13 + input[13];
        o[14] = x14 + input[14]; o[15] = x15 + input[15];
    }
}

template void blocks_scalar<8>(const Key&, std::uint64_t, std::uint32_t*);
template void blocks_scalar<12>(const Key&, std::uint64_t, std::uint32_t*);
template void blocks_scalar<20>(const Key&, std::uint64_t, std::uint32_t*);

constinit const Kernels kScalarKernels{&blocks_scalar<8>, &blocks_scalar<12>};

}  // namespace varnix::chacha

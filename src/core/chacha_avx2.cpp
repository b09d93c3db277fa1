// The AVX2 ChaCha kernel: two blocks per register set, one state row (4 words) per 128-bit
// half. The diagonal round rotates rows b, c, d by 1, 2, 3 words so that the diagonals line up
// as columns, and rotates them back afterwards. Blocks 0/1 and 2/3 are two independent chains.
#include "core/chacha_kernels.hpp"

#ifdef VARNIX_CHACHA_X86
#include <immintrin.h>

namespace varnix::chacha {
namespace {

template <int N>
__attribute__((target("avx2"), always_inline)) inline __m256i rotl_256(__m256i v) {
    return _mm256_or_si256(_mm256_slli_epi32(v, N), _mm256_srli_epi32(v, 32 - N));
}

// Rotations by 16 and 8 bits move whole bytes: one byte shuffle each.
__attribute__((target("avx2"), always_inline)) inline __m256i rotl16_256(__m256i v) {
    const __m256i m = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                       2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    return _mm256_shuffle_epi8(v, m);
}

__attribute__((target("avx2"), always_inline)) inline __m256i rotl8_256(__m256i v) {
    const __m256i m = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                       3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    return _mm256_shuffle_epi8(v, m);
}

__attribute__((target("avx2"), always_inline)) inline void quarter_round_256(
    __m256i& a, __m256i& b, __m256i& c, __m256i& d) {
    a = _mm256_add_epi32(a, b); d = rotl16_256(_mm256_xor_si256(d, a));
    c = _mm256_add_epi32(c, d); b = rotl_256<12>(_mm256_xor_si256(b, c));
    a = _mm256_add_epi32(a, b); d = rotl8_256(_mm256_xor_si256(d, a));
    c = _mm256_add_epi32(c, d); b = rotl_256<7>(_mm256_xor_si256(b, c));
}

__attribute__((target("avx2"), always_inline)) inline void to_diagonals(__m256i& b, __m256i& c,
                                                                        __m256i& d) {
    b = _mm256_shuffle_epi32(b, _MM_SHUFFLE(0, 3, 2, 1));
    c = _mm256_shuffle_epi32(c, _MM_SHUFFLE(1, 0, 3, 2));
    d = _mm256_shuffle_epi32(d, _MM_SHUFFLE(2, 1, 0, 3));
}

__attribute__((target("avx2"), always_inline)) inline void to_columns(__m256i& b, __m256i& c,
                                                                      __m256i& d) {
    b = _mm256_shuffle_epi32(b, _MM_SHUFFLE(2, 1, 0, 3));
    c = _mm256_shuffle_epi32(c, _MM_SHUFFLE(1, 0, 3, 2));
    d = _mm256_shuffle_epi32(d, _MM_SHUFFLE(0, 3, 2, 1));
}

// Rows a..d of the pair (first block in the low halves) into out[0..32).
__attribute__((target("avx2"), always_inline)) inline void store_pair_256(
    __m256i a, __m256i b, __m256i c, __m256i d, std::uint32_t* out) {
    auto* o = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(o + 0, _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(c, d, 0x20));
    _mm256_storeu_si256(o + 2, _mm256_permute2x128_si256(a, b, 0x31));
    _mm256_storeu_si256(o + 3, _mm256_permute2x128_si256(c, d, 0x31));
}

template <int Rounds>
__attribute__((target("avx2"))) void chacha_avx2(const Key& key, std::uint64_t counter,
                                                   std::uint32_t* out) {
    auto lo = [](std::uint64_t c) { return as_int(static_cast<std::uint32_t>(c)); };
    auto hi = [](std::uint64_t c) { return as_int(static_cast<std::uint32_t>(c >> 32)); };
    const __m256i ia = _mm256_setr_epi32(as_int(kSigma[0]), as_int(kSigma[1]),
                                         as_int(kSigma[2]), as_int(kSigma[3]),
                                         as_int(kSigma[0]), as_int(kSigma[1]),
                                         as_int(kSigma[2]), as_int(kSigma[3]));
    const __m256i ib = _mm256_setr_epi32(as_int(key[0]), as_int(key[1]), as_int(key[2]),
                                         as_int(key[3]), as_int(key[0]), as_int(key[1]),
                                         as_int(key[2]), as_int(key[3]));
    const __m256i ic = _mm256_setr_epi32(as_int(key[4]), as_int(key[5]), as_int(key[6]),
                                         as_int(key[7]), as_int(key[4]), as_int(key[5]),
                                         as_int(key[6]), as_int(key[7]));
    const std::uint64_t c0 = counter, c1 = counter + 1, c2 = counter + 2, c3 = counter + 3;
    const __m256i id01 = _mm256_setr_epi32(lo(c0), hi(c0), 0, 0, lo(c1), hi(c1), 0, 0);
    const __m256i id23 = _mm256_setr_epi32(lo(c2), hi(c2), 0, 0, lo(c3), hi(c3), 0, 0);

    __m256i a = ia, b = ib, c = ic, d = id01;  // blocks 0 and 1
    __m256i e = ia, f = ib, g = ic, h = id23;  // blocks 2 and 3
    for (int r = 0; r < Rounds; r += 2) {
        quarter_round_256(a, b, c, d);
        quarter_round_256(e, f, g, h);
        to_diagonals(b, c, d);
        to_diagonals(f, g, h);
        quarter_round_256(a, b, c, d);
        quarter_round_256(e, f, g, h);
        to_columns(b, c, d);
        to_columns(f, g, h);
    }
    store_pair_256(_mm256_add_epi32(a, ia), _mm256_add_epi32(b, ib), _mm256_add_epi32(c, ic),
                   _mm256_add_epi32(d, id01), out);
    store_pair_256(_mm256_add_epi32(e, ia), _mm256_add_epi32(f, ib), _mm256_add_epi32(g, ic),
                   _mm256_add_epi32(h, id23), out + 32);
}

}  // namespace

constinit const Kernels kAvx2Kernels{&chacha_avx2<8>, &chacha_avx2<12>};

}  // namespace varnix::chacha

#endif  // VARNIX_CHACHA_X86

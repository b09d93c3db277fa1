// The SSE2 ChaCha kernel: the four blocks side by side. Register i holds state word i of
// blocks 0..3, so both the column and the diagonal rounds are plain lane-wise arithmetic.
#include "core/chacha_kernels.hpp"

#ifdef VARNIX_CHACHA_X86
#include <immintrin.h>

namespace varnix::chacha {
namespace {

template <int N>
__attribute__((target("sse2"), always_inline)) inline __m128i rotl_128(__m128i v) {
    return _mm_or_si128(_mm_slli_epi32(v, N), _mm_srli_epi32(v, 32 - N));
}

__attribute__((target("sse2"), always_inline)) inline void quarter_round_128(
    __m128i& a, __m128i& b, __m128i& c, __m128i& d) {
    a = _mm_add_epi32(a, b); d = rotl_128<16>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d); b = rotl_128<12>(_mm_xor_si128(b, c));
    a = _mm_add_epi32(a, b); d = rotl_128<8>(_mm_xor_si128(d, a));
    c = _mm_add_epi32(c, d); b = rotl_128<7>(_mm_xor_si128(b, c));
}

// Adds the input back to words j..j+3 (one register each, lanes = blocks) and stores them
// transposed: block k's words j..j+3 go to out[16k + j].
__attribute__((target("sse2"), always_inline)) inline void finish_quad_128(
    __m128i a, __m128i b, __m128i c, __m128i d, __m128i ia, __m128i ib, __m128i ic,
    __m128i id, std::uint32_t* out, int j) {
    a = _mm_add_epi32(a, ia);
    b = _mm_add_epi32(b, ib);
    c = _mm_add_epi32(c, ic);
    d = _mm_add_epi32(d, id);
    const __m128i ab_lo = _mm_unpacklo_epi32(a, b);  // a0 b0 a1 b1
    const __m128i cd_lo = _mm_unpacklo_epi32(c, d);  // c0 d0 c1 d1
    const __m128i ab_hi = _mm_unpackhi_epi32(a, b);  // a2 b2 a3 b3
    const __m128i cd_hi = _mm_unpackhi_epi32(c, d);  // c2 d2 c3 d3
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm_unpacklo_epi64(ab_lo, cd_lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 + j), _mm_unpackhi_epi64(ab_lo, cd_lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 + j), _mm_unpacklo_epi64(ab_hi, cd_hi));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 48 + j), _mm_unpackhi_epi64(ab_hi, cd_hi));
}

template <int Rounds>
__attribute__((target("sse2"))) void chacha_sse2(const Key& key, std::uint64_t counter,
                                                 std::uint32_t* out) {
    const std::uint64_t c0 = counter, c1 = counter + 1, c2 = counter + 2, c3 = counter + 3;
    const __m128i i0 = _mm_set1_epi32(as_int(kSigma[0])), i1 = _mm_set1_epi32(as_int(kSigma[1]));
    const __m128i i2 = _mm_set1_epi32(as_int(kSigma[2])), i3 = _mm_set1_epi32(as_int(kSigma[3]));
    const __m128i i4 = _mm_set1_epi32(as_int(key[0])), i5 = _mm_set1_epi32(as_int(key[1]));
    const __m128i i6 = _mm_set1_epi32(as_int(key[2])), i7 = _mm_set1_epi32(as_int(key[3]));
    const __m128i i8 = _mm_set1_epi32(as_int(key[4])), i9 = _mm_set1_epi32(as_int(key[5]));
    const __m128i i10 = _mm_set1_epi32(as_int(key[6])), i11 = _mm_set1_epi32(as_int(key[7]));
    const __m128i i12 = _mm_setr_epi32(as_int(static_cast<std::uint32_t>(c0)),
                                       as_int(static_cast<std::uint32_t>(c1)),
                                       as_int(static_cast<std::uint32_t>(c2)),
                                       as_int(static_cast<std::uint32_t>(c3)));
    const __m128i i13 = _mm_setr_epi32(as_int(static_cast<std::uint32_t>(c0 >> 32)),
                                       as_int(static_cast<std::uint32_t>(c1 >> 32)),
                                       as_int(static_cast<std::uint32_t>(c2 >> 32)),
                                       as_int(static_cast<std::uint32_t>(c3 >> 32)));
    const __m128i i14 = _mm_setzero_si128(), i15 = _mm_setzero_si128();

    __m128i x0 = i0, x1 = i1, x2 = i2, x3 = i3, x4 = i4, x5 = i5, x6 = i6, x7 = i7;
    __m128i x8 = i8, x9 = i9, x10 = i10, x11 = i11, x12 = i12, x13 = i13, x14 = i14, x15 = i15;
    for (int r = 0; r < Rounds; r += 2) {
        quarter_round_128(x0, x4, x8, x12);
        quarter_round_128(x1, x5, x9, x13);
        quarter_round_128(x2, x6, x10, x14);
        quarter_round_128(x3, x7, x11, x15);
        quarter_round_128(x0, x5, x10, x15);
        quarter_round_128(x1, x6, x11, x12);
        quarter_round_128(x2, x7, x8, x13);
        quarter_round_128(x3, x4, x9, x14);
    }
    finish_quad_128(x0, x1, x2, x3, i0, i1, i2, i3, out, 0);
    finish_quad_128(x4, x5, x6, x7, i4, i5, i6, i7, out, 4);
    finish_quad_128(x8, x9, x10, x11, i8, i9, i10, i11, out, 8);
    finish_quad_128(x12, x13, x14, x15, i12, i13, i14, i15, out, 12);
}

}  // namespace

constinit const Kernels kSse2Kernels{&chacha_sse2<8>, &chacha_sse2<12>};

}  // namespace varnix::chacha

#endif  // VARNIX_CHACHA_X86

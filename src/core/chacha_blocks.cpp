#include "core/chacha_blocks.hpp"

#include <string>

#include "core/errors.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define VARNIX_CHACHA_X86 1
#include <immintrin.h>
#endif

namespace varnix::chacha {
namespace {

// The general scalar loop, for round counts without a fixed instantiation.
void blocks_scalar_any(const Key& key, std::uint64_t counter, int rounds, std::uint32_t* out) {
    using scalar_detail::quarter_round;
    for (int b = 0; b < kBlocksPerRefill; ++b) {
        const std::uint64_t c = counter + static_cast<std::uint64_t>(b);
        const std::array<std::uint32_t, 16> input = block_input(key, c);
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = input[i];
        for (int r = 0; r < rounds; r += 2) {
            quarter_round(x[0], x[4], x[8], x[12]);
            quarter_round(x[1], x[5], x[9], x[13]);
            quarter_round(x[2], x[6], x[10], x[14]);
            quarter_round(x[3], x[7], x[11], x[15]);
            quarter_round(x[0], x[5], x[10], x[15]);
            quarter_round(x[1], x[6], x[11], x[12]);
            quarter_round(x[2], x[7], x[8], x[13]);
            quarter_round(x[3], x[4], x[9], x[14]);
        }
        for (int i = 0; i < 16; ++i) out[16 * b + i] = x[i] + input[i];
    }
}

template <int Rounds>
void chacha_scalar(const Key& key, std::uint64_t counter, std::uint32_t* out) {
    blocks_scalar_fixed<Rounds>(key, counter, out);
}

#ifdef VARNIX_CHACHA_X86

inline int as_int(std::uint32_t w) { return static_cast<int>(w); }

// ---- SSE2: the four blocks side by side. Register i holds state word i of blocks 0..3, so
// both the column and the diagonal rounds are plain lane-wise arithmetic.

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

// ---- AVX2: two blocks per register set, one state row (4 words) per 128-bit half. The
// diagonal round rotates rows b, c, d by 1, 2, 3 words so that the diagonals line up as
// columns, and rotates them back afterwards. Blocks 0/1 and 2/3 are two independent chains.

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

bool cpu_has_sse2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse2");
}

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

#endif  // VARNIX_CHACHA_X86

using BlockFn = void (*)(const Key&, std::uint64_t, std::uint32_t*);

template <int Rounds>
BlockFn function_of(Impl impl) {
    switch (impl) {
        case Impl::Scalar: return chacha_scalar<Rounds>;
#ifdef VARNIX_CHACHA_X86
        case Impl::Sse2: return chacha_sse2<Rounds>;
        case Impl::Avx2: return chacha_avx2<Rounds>;
#else
        case Impl::Sse2:
        case Impl::Avx2: break;
#endif
    }
    throw InternalFault(std::string("ChaCha implementation not built: ") + name(impl));
}

}  // namespace

void blocks_scalar(const Key& key, std::uint64_t counter, int rounds, std::uint32_t* out) {
    switch (rounds) {
        case 8: blocks_scalar_fixed<8>(key, counter, out); return;
        case 12: blocks_scalar_fixed<12>(key, counter, out); return;
        case 20: blocks_scalar_fixed<20>(key, counter, out); return;
        default: break;
    }
    if (rounds <= 0 || rounds % 2 != 0) {
        throw InternalFault("ChaCha round count must be positive and even: " +
                            std::to_string(rounds));
    }
    blocks_scalar_any(key, counter, rounds, out);
}

bool available(Impl impl) {
    switch (impl) {
        case Impl::Scalar: return true;
#ifdef VARNIX_CHACHA_X86
        case Impl::Sse2: return cpu_has_sse2();
        case Impl::Avx2: return cpu_has_avx2();
#else
        case Impl::Sse2:
        case Impl::Avx2: return false;
#endif
    }
    return false;
}

const char* name(Impl impl) {
    switch (impl) {
        case Impl::Scalar: return "scalar";
        case Impl::Sse2: return "sse2";
        case Impl::Avx2: return "avx2";
    }
    return "unknown";
}

Impl selected_impl() {
    static const Impl chosen = [] {
        if (available(Impl::Avx2)) return Impl::Avx2;
        if (available(Impl::Sse2)) return Impl::Sse2;
        return Impl::Scalar;
    }();
    return chosen;
}

void chacha12_blocks(Impl impl, const Key& key, std::uint64_t counter, std::uint32_t* out) {
    if (!available(impl)) {
        throw InternalFault(std::string("ChaCha implementation not available: ") + name(impl));
    }
    function_of<12>(impl)(key, counter, out);
}

void chacha12_blocks(const Key& key, std::uint64_t counter, std::uint32_t* out) {
    // Detected once; afterwards every refill is one indirect call.
    static const BlockFn chosen = function_of<12>(selected_impl());
    chosen(key, counter, out);
}

void chacha8_blocks(Impl impl, const Key& key, std::uint64_t counter, std::uint32_t* out) {
    if (!available(impl)) {
        throw InternalFault(std::string("ChaCha implementation not available: ") + name(impl));
    }
    function_of<8>(impl)(key, counter, out);
}

void chacha8_blocks(const Key& key, std::uint64_t counter, std::uint32_t* out) {
    static const BlockFn chosen = function_of<8>(selected_impl());
    chosen(key, counter, out);
}

}  // namespace varnix::chacha

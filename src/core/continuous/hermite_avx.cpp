// The Hermite table's cubic on four quantiles at once, for processors with AVX; elsewhere,
// and for any group of four that leaves the common case, the scalar path of evaluate.
//
// Each lane runs exactly the scalar operations (subtractions, one division, products and sums
// in the order of interpolate; no fused multiply-add), so the results are bit for bit those of
// evaluate. Evaluation order is frozen (docs/architecture.md).
#include "core/continuous/hermite.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define VARNIX_HERMITE_AVX 1
#include <immintrin.h>
#endif

namespace varnix {

#ifdef VARNIX_HERMITE_AVX
namespace {

bool cpu_has_avx() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx") != 0;
    }();
    return has;
}

}  // namespace

template <bool Checked>
__attribute__((target("avx"))) std::size_t HermiteTable::evaluate_quads(const double* u,
                                                                        double* out,
                                                                        std::size_t m) const {
    if (!cpu_has_avx()) return 0;
    const std::size_t n = u_.size();
    const double* a = u_.data();
    const double* x = x_.data();
    const double* s = slopes_.data();
    const __m256d first = _mm256_set1_pd(a[0]);
    const __m256d last = _mm256_set1_pd(a[n - 1]);
    const __m256d tiny = _mm256_set1_pd(1e-300);
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0);
    const __m256d three = _mm256_set1_pd(3.0);
    const __m256d lo = _mm256_set1_pd(lo_);
    const __m256d hi = _mm256_set1_pd(hi_);
    const __m256d origin = _mm256_set1_pd(guide_origin_);
    const __m256d scale = _mm256_set1_pd(guide_scale_);
    const __m256d last_segment = _mm256_set1_pd(static_cast<double>(n - 2));

    // A quad outside the common case, lane by lane as evaluate (or evaluate_inside_unit) does;
    // false when a lane stops a checked run (its index is then in stop).
    auto scalar_quad = [&](std::size_t i, std::size_t& stop) {
        for (std::size_t l = 0; l < 4; ++l) {
            const double v = u[i + l];
            if (Checked && !(v > 0.0 && v < 1.0)) {
                stop = i + l;
                return false;
            }
            out[i + l] = evaluate(v);
        }
        return true;
    };

    const std::size_t whole = m - m % 4;
    for (std::size_t i = 0; i < whole; i += 4) {
        std::size_t stop = 0;
        const __m256d v = _mm256_loadu_pd(u + i);
        // Every lane strictly between the end nodes (NaN fails), in the segment guessed for
        // it, and that segment not narrower than 1e-300.
        const __m256d inside =
            _mm256_and_pd(_mm256_cmp_pd(v, first, _CMP_GT_OQ), _mm256_cmp_pd(v, last, _CMP_LT_OQ));
        if (_mm256_movemask_pd(inside) != 0xf) {
            if (!scalar_quad(i, stop)) return stop;
            continue;
        }
        // The guessed segments (guessed_segment, on four lanes): v is above the first node, so
        // the guess is not negative, and it is cut to the last segment before conversion.
        const __m256d guess =
            _mm256_min_pd(_mm256_mul_pd(_mm256_sub_pd(v, origin), scale), last_segment);
        alignas(16) std::int32_t k[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(k), _mm256_cvttpd_epi32(guess));
        const auto k0 = static_cast<std::size_t>(k[0]);
        const auto k1 = static_cast<std::size_t>(k[1]);
        const auto k2 = static_cast<std::size_t>(k[2]);
        const auto k3 = static_cast<std::size_t>(k[3]);
        const __m256d uk = _mm256_set_pd(a[k3], a[k2], a[k1], a[k0]);
        const __m256d uk1 = _mm256_set_pd(a[k3 + 1], a[k2 + 1], a[k1 + 1], a[k0 + 1]);
        const __m256d h = _mm256_sub_pd(uk1, uk);
        const __m256d usable = _mm256_and_pd(
            _mm256_and_pd(_mm256_cmp_pd(uk, v, _CMP_LT_OQ), _mm256_cmp_pd(v, uk1, _CMP_LE_OQ)),
            _mm256_cmp_pd(_mm256_and_pd(h, magnitude), tiny, _CMP_NLT_UQ));
        if (_mm256_movemask_pd(usable) != 0xf) {
            if (!scalar_quad(i, stop)) return stop;
            continue;
        }
        const __m256d x0 = _mm256_set_pd(x[k3], x[k2], x[k1], x[k0]);
        const __m256d x1 = _mm256_set_pd(x[k3 + 1], x[k2 + 1], x[k1 + 1], x[k0 + 1]);
        const __m256d s0 = _mm256_set_pd(s[k3], s[k2], s[k1], s[k0]);
        const __m256d s1 = _mm256_set_pd(s[k3 + 1], s[k2 + 1], s[k1 + 1], s[k0 + 1]);

        // interpolate(), lane by lane.
        const __m256d t = _mm256_div_pd(_mm256_sub_pd(v, uk), h);
        const __m256d t2 = _mm256_mul_pd(t, t);
        const __m256d t3 = _mm256_mul_pd(t, t2);
        const __m256d two_t3 = _mm256_mul_pd(two, t3);
        const __m256d three_t2 = _mm256_mul_pd(three, t2);
        const __m256d h00 = _mm256_add_pd(one, _mm256_sub_pd(two_t3, three_t2));
        const __m256d h10 = _mm256_add_pd(t, _mm256_sub_pd(t3, _mm256_mul_pd(two, t2)));
        const __m256d h01 = _mm256_sub_pd(three_t2, two_t3);
        const __m256d h11 = _mm256_sub_pd(t3, t2);
        const __m256d inner =
            _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(h, h10), s0), _mm256_mul_pd(x0, h00));
        __m256d result = _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(h11, h), s1),
                                       _mm256_add_pd(_mm256_mul_pd(h01, x1), inner));
        // Clamped to [lo, hi] as the scalar path does: the instruction's max(a, b) is
        // a > b ? a : b, so max(lo, r) is lo where r < lo and r otherwise (a NaN r stays),
        // and min(hi, r) is hi where r > hi.
        result = _mm256_min_pd(hi, _mm256_max_pd(lo, result));
        _mm256_storeu_pd(out + i, result);
    }
    return whole;
}
#else
template <bool Checked>
std::size_t HermiteTable::evaluate_quads(const double*, double*, std::size_t) const {
    return 0;
}
#endif

template std::size_t HermiteTable::evaluate_quads<false>(const double*, double*,
                                                         std::size_t) const;
template std::size_t HermiteTable::evaluate_quads<true>(const double*, double*,
                                                        std::size_t) const;

}  // namespace varnix

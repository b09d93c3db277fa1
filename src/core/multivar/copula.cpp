#include "core/multivar/copula.hpp"

#include <cmath>
#include <utility>

#include "core/diagnostics.hpp"  // normal_quantile
#include "core/finite.hpp"

namespace varnix {

std::expected<GaussianCopula, CorrelationError> GaussianCopula::make(
    std::span<const std::vector<double>> corr) {
    const std::size_t n = corr.size();
    if (n == 0) return std::unexpected(CorrelationError{});
    for (const auto& row : corr) {
        if (row.size() != n) return std::unexpected(CorrelationError{});
    }
    // Row by row. Evaluation order is frozen (docs/architecture.md).
    std::vector<double> l(n * n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t k = 0; k <= j; ++k) {
            double s = corr[j][k];
            for (std::size_t m = 0; m < k; ++m) s = s - l[j * n + m] * l[k * n + m];
            if (k == j) {
                if (!finite_positive(s)) return std::unexpected(CorrelationError{});
                l[j * n + j] = std::sqrt(s);
            } else {
                l[j * n + k] = s / l[k * n + k];
            }
        }
    }
    return GaussianCopula(n, std::move(l));
}

FillResult GaussianCopula::Bound::map_points(std::span<double> out) const {
    const std::size_t n = c_.n_;
    if (ppf_count_ != n) return fill_stopped(0, SampleError::of(SampleErrorKind::McmcFailed));
    constexpr double smallest = 0x1.0p-53;  // the smallest positive uniform of a 53-bit word
    const std::size_t rows = out.size() / n;
    for (std::size_t k = 0; k < rows; ++k) {
        const std::span<double> point = out.subspan(k * n, n);
        for (double& z : point) z = normal_quantile(z < smallest ? smallest : z);
        auto drawn = correlate_and_map(point);
        if (!drawn) return fill_stopped(k, drawn.error());
    }
    return {};
}

// Evaluation order is frozen (docs/architecture.md): the powers of t and the accumulation of
// the exponent are formed exactly in this order.
double copula_normal_cdf(double y) {
    const double x = y / 1.4142135623730951;
    const double t = 1.0 / (std::fabs(x) * 0.5 + 1.0);
    const double t2 = t * t;
    const double t3 = t * t2;
    const double t4 = t2 * t2;
    const double t5 = t * t4;
    const double t6 = t2 * t4;
    const double t7 = t3 * t4;
    const double t8 = t4 * t4;
    const double t9 = t * t8;
    double a = -1.26551223 - x * x;
    a = a + 1.00002368 * t;
    a = a + 0.37409196 * t2;
    a = a + 0.09678418 * t3;
    a = a + (-0.18628806) * t4;
    a = a + 0.27886807 * t5;
    a = a + (-1.13520398) * t6;
    a = a + 1.48851587 * t7;
    a = a + (-0.82215223) * t8;
    a = a + 0.17087277 * t9;
    const double e = 1.0 - t * std::exp(a);  // erf(|x|)
    const double erf = x < 0.0 ? -e : e;     // -0.0 counts as not negative
    double u = (erf + 1.0) * 0.5;
    if (u < 1e-12) u = 1e-12;
    if (u > 0.999999999999) u = 0.999999999999;
    return u;
}

}  // namespace varnix

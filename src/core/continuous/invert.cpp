#include "core/continuous/invert.hpp"

#include <cmath>

#include "core/finite.hpp"

namespace varnix {

// Evaluation order is frozen (docs/architecture.md): the calls of cdf (the lower end before the
// upper end, one call per midpoint) and the arithmetic below follow one fixed sequence.

SampleResult<double> invert_cdf_bisection(FunctionRef<double(double)> cdf, double a, double b,
                                          double u, double tol, std::uint32_t max_iterations) {
    if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
    const double fa = cdf(a);
    const double fb = cdf(b);
    const double span = fb - fa;
    if (!finite_positive(span)) {
        return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
    }
    const double target = fa + u * span;
    if (max_iterations == 0) return (a + b) * 0.5;
    for (std::uint32_t i = 0; i < max_iterations; ++i) {
        const double m = (a + b) * 0.5;
        const double fm = cdf(m);
        if (std::fabs(fm - target) <= tol) return m;
        if (target > fm) {
            a = m;
        } else {
            b = m;  // also for a NaN cdf value
        }
    }
    return (a + b) * 0.5;
}

SampleResult<double> invert_cdf_newton(FunctionRef<double(double)> cdf,
                                       FunctionRef<double(double)> density, double a, double b,
                                       double u, double tol, std::uint32_t max_iterations) {
    const auto start = invert_cdf_bisection(cdf, a, b, u, tol, max_iterations);
    if (!start) return start;
    double x = *start;

    // The target is formed again, in a different grouping from the bisection's.
    const double fa = cdf(a);
    const double fb = cdf(b);
    const double target = u * (fb - fa) + fa;
    double r = cdf(x) - target;
    if (std::fabs(r) <= tol) return x;

    constexpr int kUpdates = 8;
    for (int i = 1; i <= kUpdates; ++i) {
        const double d = density(x);
        if (std::fabs(d) < 1e-300) return x;
        x = x - r / d;
        if (x < a) {
            x = a;
        } else if (x > b) {
            x = b;
        }
        if (i < kUpdates) {
            r = cdf(x) - target;
            if (std::fabs(r) <= tol) return x;
        }
    }
    return x;
}

}  // namespace varnix

#include "core/continuous/invert.hpp"

#include <cmath>

#include "core/finite.hpp"

namespace varnix {

namespace {

// Where a bisection ended: its result and the last bracket around it.
struct Bisection {
    double x;
    double a;
    double b;
};

// Evaluation order is frozen (docs/architecture.md): the calls of cdf (the lower end before the
// upper end, one call per midpoint) and the arithmetic below follow one fixed sequence.
SampleResult<Bisection> bisect(FunctionRef<double(double)> cdf, double a, double b, double u,
                               double tol, std::uint32_t max_iterations) {
    if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
    const double fa = cdf(a);
    const double fb = cdf(b);
    const double span = fb - fa;
    if (!finite_positive(span)) {
        return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
    }
    const double target = fa + u * span;
    if (max_iterations == 0) return Bisection{(a + b) * 0.5, a, b};
    for (std::uint32_t i = 0; i < max_iterations; ++i) {
        const double m = (a + b) * 0.5;
        const double fm = cdf(m);
        if (std::fabs(fm - target) <= tol) return Bisection{m, a, b};
        if (target > fm) {
            a = m;
        } else {
            b = m;  // also for a NaN cdf value
        }
    }
    return Bisection{(a + b) * 0.5, a, b};
}

}  // namespace

SampleResult<double> invert_cdf_bisection(FunctionRef<double(double)> cdf, double a, double b,
                                          double u, double tol, std::uint32_t max_iterations) {
    const auto found = bisect(cdf, a, b, u, tol, max_iterations);
    if (!found) return std::unexpected(found.error());
    return found->x;
}

// Evaluation order is frozen (docs/architecture.md) for every polish whose updates stay inside
// the bisection's last bracket: the same calls of cdf and density, and the same arithmetic, as
// an unguarded polish.
SampleResult<double> invert_cdf_newton(FunctionRef<double(double)> cdf,
                                       FunctionRef<double(double)> density, double a, double b,
                                       double u, double tol, std::uint32_t max_iterations) {
    const auto found = bisect(cdf, a, b, u, tol, max_iterations);
    if (!found) return std::unexpected(found.error());
    double x = found->x;

    // The target is formed again, in a different grouping from the bisection's.
    const double fa = cdf(a);
    const double fb = cdf(b);
    const double target = u * (fb - fa) + fa;
    double r = cdf(x) - target;
    if (std::fabs(r) <= tol) return x;

    // Each update is kept inside the bracket the bisection ended with, which holds the root
    // (as far as the cdf values seen there can tell); the bracket is not narrowed by the polish.
    // An update that would leave it is clamped onto its nearer end, and the polish goes on from
    // there. The bisection's bracket lies inside [a, b], so this clamp also keeps every update
    // in [a, b]; a NaN update passes through both comparisons and comes out as the result.
    const double lo = found->a;
    const double hi = found->b;

    constexpr int kUpdates = 8;
    for (int i = 1; i <= kUpdates; ++i) {
        const double d = density(x);
        if (std::fabs(d) < 1e-300) return x;
        x = x - r / d;
        if (x < lo) {
            x = lo;
        } else if (x > hi) {
            x = hi;
        }
        if (i < kUpdates) {
            r = cdf(x) - target;
            if (std::fabs(r) <= tol) return x;
        }
    }
    return x;
}

}  // namespace varnix

#include "core/continuous/invert.hpp"

#include <cmath>

#include "core/finite.hpp"

namespace varnix {

namespace {

// Where a bisection ended: its result and the last bracket around it, with the cdf value the
// bisection knew at each end (the values at the starting ends, or at the midpoints that became
// ends).
struct Bisection {
    double x;
    double a;
    double b;
    double fa;
    double fb;
};

// Evaluation order is frozen (docs/architecture.md): the calls of cdf (the lower end before the
// upper end, one call per midpoint) and the arithmetic below follow one fixed sequence.
SampleResult<Bisection> bisect(FunctionRef<double(double)> cdf, double a, double b, double u,
                               double tol, std::uint32_t max_iterations) {
    if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
    double fa = cdf(a);
    double fb = cdf(b);
    const double span = fb - fa;
    if (!finite_positive(span)) {
        return std::unexpected(SampleError::of(SampleErrorKind::InversionFailed));
    }
    const double target = fa + u * span;
    if (max_iterations == 0) return Bisection{(a + b) * 0.5, a, b, fa, fb};
    for (std::uint32_t i = 0; i < max_iterations; ++i) {
        const double m = (a + b) * 0.5;
        const double fm = cdf(m);
        if (std::fabs(fm - target) <= tol) return Bisection{m, a, b, fa, fb};
        if (target > fm) {
            a = m;
            fa = fm;
        } else {
            b = m;  // also for a NaN cdf value
            fb = fm;
        }
    }
    return Bisection{(a + b) * 0.5, a, b, fa, fb};
}

}  // namespace

SampleResult<double> invert_cdf_bisection(FunctionRef<double(double)> cdf, double a, double b,
                                          double u, double tol, std::uint32_t max_iterations) {
    const auto found = bisect(cdf, a, b, u, tol, max_iterations);
    if (!found) return std::unexpected(found.error());
    return found->x;
}

// Evaluation order is frozen (docs/architecture.md) for every polish that stays inside the
// bracket: the same calls of cdf and density, and the same arithmetic, as an unguarded polish.
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

    // The bracket the root is known to lie in, with the residual at each end. Every point where
    // the polish evaluates the cdf narrows it as a bisection step would (a NaN residual moves
    // the upper end). Each update is clamped to [a, b] first; one that then still lies outside
    // the bracket is wrong (the density or the cdf values cannot be trusted that far), and the
    // polish ends with the end whose residual is the smaller one (never a NaN one, if the other
    // is a number). An update clamped onto an end of [a, b] that is still an end of the
    // bracket stays in, and the polish goes on from there.
    double lo = found->a;
    double hi = found->b;
    double r_lo = found->fa - target;
    double r_hi = found->fb - target;
    auto narrow = [&](double at, double residual) {
        if (std::isnan(at)) return;
        if (residual < 0.0) {
            lo = at;
            r_lo = residual;
        } else {
            hi = at;
            r_hi = residual;
        }
    };
    auto best_end = [&]() {
        return (std::fabs(r_hi) < std::fabs(r_lo) || std::isnan(r_lo)) ? hi : lo;
    };
    narrow(x, r);

    constexpr int kUpdates = 8;
    for (int i = 1; i <= kUpdates; ++i) {
        const double d = density(x);
        if (std::fabs(d) < 1e-300) return x;
        double next = x - r / d;
        if (next < a) {
            next = a;
        } else if (next > b) {
            next = b;
        }
        if (next < lo || next > hi) return best_end();
        x = next;  // a NaN goes on, and comes out as the result
        if (i < kUpdates) {
            r = cdf(x) - target;
            if (std::fabs(r) <= tol) return x;
            narrow(x, r);
        }
    }
    return x;
}

}  // namespace varnix

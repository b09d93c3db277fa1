#include "core/continuous/hermite.hpp"

#include <cmath>

#include "core/continuous/invert.hpp"
#include "core/errors.hpp"

namespace varnix {

HermiteTable HermiteTable::build(FunctionRef<double(double)> cdf, double lo, double hi,
                                 std::size_t grid_size, double ppf_tolerance,
                                 std::uint32_t max_iterations) {
    const std::size_t n = std::max<std::size_t>(grid_size, 4);
    std::vector<double> u(n);
    std::vector<double> x(n);
    const double last = static_cast<double>(n - 1);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / last;
        u[i] = t * 0.999999999998 + 1e-12;
        const auto inverted = invert_cdf_bisection(cdf, lo, hi, u[i], ppf_tolerance, max_iterations);
        x[i] = inverted ? *inverted : t * (hi - lo) + lo;
    }
    return from_nodes(lo, hi, std::move(u), std::move(x));
}

HermiteTable HermiteTable::from_nodes(double lo, double hi, std::vector<double> u,
                                      std::vector<double> x) {
    if (u.size() < 2 || u.size() != x.size()) throw InternalFault("hermite table needs matching nodes");
    HermiteTable table;
    table.lo_ = lo;
    table.hi_ = hi;
    table.u_ = std::move(u);
    table.x_ = std::move(x);
    table.compute_slopes();
    const double span = table.u_.back() - table.u_.front();
    table.guide_origin_ = table.u_.front();
    table.guide_scale_ = span > 0.0 ? static_cast<double>(table.u_.size() - 1) / span : 0.0;
    return table;
}

void HermiteTable::evaluate_many(const double* u, double* out, std::size_t m) const {
    const std::size_t done = evaluate_quads<false>(u, out, m);
    for (std::size_t i = done; i < m; ++i) out[i] = evaluate(u[i]);
}

std::size_t HermiteTable::evaluate_inside_unit(const double* u, double* out,
                                               std::size_t m) const {
    std::size_t i = evaluate_quads<true>(u, out, m);
    for (; i < m; ++i) {
        const double v = u[i];
        if (!(v > 0.0 && v < 1.0)) return i;
        out[i] = evaluate(v);
    }
    return m;
}

void HermiteTable::compute_slopes() {
    const std::size_t n = u_.size();
    std::vector<double> secant(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double du = u_[k + 1] - u_[k];
        secant[k] = std::fabs(du) > 1e-300 ? (x_[k + 1] - x_[k]) / du : 0.0;
    }

    slopes_.assign(n, 0.0);
    slopes_[0] = secant[0];
    slopes_[n - 1] = secant[n - 2];
    for (std::size_t j = 1; j + 1 < n; ++j) {
        // Flat at a local extremum of the secants, otherwise their harmonic mean.
        slopes_[j] = secant[j - 1] * secant[j] <= 0.0
                         ? 0.0
                         : 2.0 / (1.0 / secant[j - 1] + 1.0 / secant[j]);
    }

    // Monotonicity limiter, segment by segment: a slope scaled in segment k is the one that
    // segment k + 1 sees. Evaluation order is frozen (docs/architecture.md).
    for (std::size_t k = 0; k + 1 < n; ++k) {
        if (std::fabs(secant[k]) < 1e-300) continue;
        const double alpha = slopes_[k] / secant[k];
        const double beta = slopes_[k + 1] / secant[k];
        const double s = beta * beta + alpha * alpha;
        if (s > 9.0) {
            const double tau = 3.0 / std::sqrt(s);
            slopes_[k] = slopes_[k] * tau;
            slopes_[k + 1] = tau * slopes_[k + 1];
        }
    }
}

}  // namespace varnix

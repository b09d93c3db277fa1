// A monotone piecewise cubic Hermite approximation of a quantile function u -> x.
//
// Built once from a distribution function; afterwards a quantile costs one binary search over
// the probability nodes and one cubic, with no allocation and no call of user code.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <vector>

#include "core/function_ref.hpp"
#include "core/search.hpp"

namespace varnix {

class HermiteTable {
public:
    // N = max(grid_size, 4) probability nodes u[i] = (i / (N - 1)) * 0.999999999998 + 1e-12,
    // each inverted on [lo, hi] by bisection with the given tolerance and iteration cap. A node
    // whose inversion fails takes the evenly spaced point instead; the build never fails.
    static HermiteTable build(FunctionRef<double(double)> cdf, double lo, double hi,
                              std::size_t grid_size, double ppf_tolerance,
                              std::uint32_t max_iterations);

    // The slope and limiter stages on given nodes: u strictly increasing, x the quantiles, at
    // least two of each (a mismatch is an internal fault).
    static HermiteTable from_nodes(double lo, double hi, std::vector<double> u,
                                   std::vector<double> x);

    // The interpolated quantile at u. Callers pass u strictly inside (0, 1) only. Below the
    // first node or above the last the end quantile is returned as stored; in between the
    // cubic is clamped to [lo, hi] (a NaN stays NaN).
    double evaluate(double u) const {
        const std::size_t n = u_.size();
        if (u <= u_[0]) return x_[0];
        if (u >= u_[n - 1]) return x_[n - 1];
        return interpolate(u, count_below(u_.data(), n, u));
    }

    // out[i] = evaluate(u[i]) for i < m, the same values. The searches of a group of draws run
    // in lockstep: one search is a chain of dependent loads, and interleaving several chains
    // keeps the processor busy where one chain at a time would leave it waiting.
    void evaluate_many(const double* u, double* out, std::size_t m) const {
        constexpr std::size_t lanes = 8;
        const std::size_t n = u_.size();
        const double* a = u_.data();
        const std::size_t whole = m - m % lanes;
        for (std::size_t i = 0; i < whole; i += lanes) {
            std::size_t pos[lanes];
            search::positions<search::FirstNotBelow, lanes>(a, n, u + i, pos);
            for (std::size_t l = 0; l < lanes; ++l) {
                const double v = u[i + l];
                if (v <= a[0]) {
                    out[i + l] = x_[0];
                } else if (v >= a[n - 1]) {
                    out[i + l] = x_[n - 1];
                } else {
                    out[i + l] = interpolate(v, pos[l]);
                }
            }
        }
        for (std::size_t i = whole; i < m; ++i) out[i] = evaluate(u[i]);
    }

    const std::vector<double>& nodes() const { return u_; }
    const std::vector<double>& quantiles() const { return x_; }
    const std::vector<double>& slopes() const { return slopes_; }

private:
    HermiteTable() = default;

    // The cubic of the segment below node p (p = count_below(u), u strictly between the end
    // nodes), clamped to [lo, hi].
    double interpolate(double u, std::size_t p) const {
        const std::size_t n = u_.size();
        std::size_t k = p == 0 ? 0 : p - 1;
        k = std::min(k, n - 2);

        const double h = u_[k + 1] - u_[k];
        double result;
        if (std::fabs(h) < 1e-300) {
            result = x_[k];
        } else {
            // Evaluation order is frozen (docs/architecture.md).
            const double t = (u - u_[k]) / h;
            const double t2 = t * t;
            const double t3 = t * t2;
            const double h00 = 1.0 + (2.0 * t3 - 3.0 * t2);
            const double h10 = t + (t3 - 2.0 * t2);
            const double h01 = 3.0 * t2 - 2.0 * t3;
            const double h11 = t3 - t2;
            result = (h11 * h) * slopes_[k + 1] +
                     (h01 * x_[k + 1] + ((h * h10) * slopes_[k] + x_[k] * h00));
        }
        if (result < lo_) return lo_;
        if (result > hi_) return hi_;
        return result;
    }
    void compute_slopes();

    double lo_ = 0.0;
    double hi_ = 0.0;
    std::vector<double> u_;       // probability nodes, strictly increasing
    std::vector<double> x_;       // the quantile at each node
    std::vector<double> slopes_;  // dx/du at each node, after the monotonicity limiter
};

}  // namespace varnix

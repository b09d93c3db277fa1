// A monotone piecewise cubic Hermite approximation of a quantile function u -> x.
//
// Built once from a distribution function; afterwards a quantile costs finding its segment
// (one multiplication for the evenly spaced nodes of a built table, checked against them) and
// one cubic, with no allocation and no call of user code.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <vector>

#include "core/function_ref.hpp"
#include "core/search.hpp"
#include "core/serial.hpp"

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
        return interpolate(u, segment_of(u));
    }

    // out[i] = evaluate(u[i]) for i < m, the same values; out may be u itself (each element
    // is read before its own result is written). Where the processor has four-lane double
    // arithmetic (AVX), four quantiles share the instructions of the cubic: the same
    // operations in the same order on each lane, so the same results (hermite_avx.cpp).
    void evaluate_many(const double* u, double* out, std::size_t m) const;

    // evaluate_many over the u strictly inside (0, 1), the quantiles a caller may ask for:
    // the index of the first u that is not (m when all are), the quantiles before it written
    // and none after. out may be u itself.
    std::size_t evaluate_inside_unit(const double* u, double* out, std::size_t m) const;

    const std::vector<double>& nodes() const { return u_; }
    const std::vector<double>& quantiles() const { return x_; }
    const std::vector<double>& slopes() const { return slopes_; }

    // Saved state (core/serial.hpp), a part of its distribution's: the nodes and their
    // quantiles. The slopes and lookups are a function of them, made again by from_nodes on
    // [lo, hi], the owner's support.
    struct State {
        std::vector<double> nodes;
        std::vector<double> quantiles;
        static auto fields(auto& s) {
            auto& [nodes, quantiles] = s;
            return std::tie(nodes, quantiles);
        }
    };
    State state() const;
    static StateResult<HermiteTable> from_state(State s, double lo, double hi);

private:
    HermiteTable() = default;

    // The segment k of u: u_[k] < u <= u_[k + 1], k <= n - 2, which is count_below(u) - 1 for
    // u above the first node (0 for u at or below it, and for NaN, as count_below gives). The
    // guess from the node spacing is taken when the nodes confirm it; a search decides
    // otherwise, so any nodes give the searched segment.
    std::size_t segment_of(double u) const {
        const std::size_t n = u_.size();
        const std::size_t k = guessed_segment(u);
        if (u_[k] < u && u <= u_[k + 1]) return k;
        const std::size_t p = count_below(u_.data(), n, u);
        return std::min(p == 0 ? 0 : p - 1, n - 2);
    }

    // The segment the node spacing suggests for u, in [0, n - 2]: exact for evenly spaced
    // nodes up to rounding, which the caller checks against the nodes.
    std::size_t guessed_segment(double u) const {
        const double g = (u - guide_origin_) * guide_scale_;
        if (!(g > 0.0)) return 0;
        const auto last = static_cast<std::int64_t>(u_.size() - 2);
        return static_cast<std::size_t>(g < static_cast<double>(last) ? static_cast<std::int64_t>(g)
                                                                      : last);
    }
    // evaluate_many four at a time with AVX, stopping (when Checked) at the first u not
    // strictly inside (0, 1). Returns how many were done: a multiple of 4 unless stopped.
    template <bool Checked>
    std::size_t evaluate_quads(const double* u, double* out, std::size_t m) const;

    // The cubic of segment k (u strictly between the end nodes), clamped to [lo, hi].
    double interpolate(double u, std::size_t k) const {
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
    double guide_origin_ = 0.0;   // u_[0]
    double guide_scale_ = 0.0;    // (n - 1) / (u_[n - 1] - u_[0]): segments per unit of u
};

}  // namespace varnix

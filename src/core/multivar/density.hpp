// The unnormalised density the box samplers evaluate, and its logarithm.
#pragma once

#include <cmath>
#include <functional>  // std::invoke, used by FunctionRef
#include <limits>
#include <optional>
#include <span>

#include "core/function_ref.hpp"

namespace varnix {

// An unnormalised multivariate density (not its logarithm), called with a point of d
// coordinates. The caller keeps the callable alive for the duration of the call it passes it to.
using DensityRef = FunctionRef<double(std::span<const double>)>;

// ln y for a usable density value, -inf for zero, negative, NaN. ln(+inf) is +inf, which the
// chain samplers' finiteness checks refuse like the others.
inline double log_density(double y) {
    return y > 0.0 ? std::log(y) : -std::numeric_limits<double>::infinity();
}

// A log density value as the chains use it: -inf (outside the support) for NaN and for +inf,
// which no proposal could ever leave; any other value as it is.
inline double usable_log_value(double y) {
    return y < std::numeric_limits<double>::infinity() ? y
                                                       : -std::numeric_limits<double>::infinity();
}

// The gradient of the log density at x, written into grad (d values). Returns the log density
// at x when the function gives both (ChainTarget::grad_gives_value), anything otherwise; a call
// that fails writes a non-finite component (or returns NaN where the value is expected).
using GradientRef = FunctionRef<double(std::span<const double>, std::span<double>)>;

// What a chain samples, for the duration of one call: the user function as a density or as its
// logarithm, and optionally the gradient of the log density.
struct ChainTarget {
    DensityRef f;
    bool log = false;  // f gives ln f
    std::optional<GradientRef> grad = std::nullopt;
    bool grad_gives_value = false;  // grad also returns ln f, so the final call of f is saved

    ChainTarget(DensityRef density) : f(density) {}  // NOLINT(google-explicit-constructor)
    ChainTarget(DensityRef density, bool is_log) : f(density), log(is_log) {}

    // ln f at x: -inf outside the support and for an unusable value (NaN, +inf; a density that
    // is negative or zero).
    double log_at(std::span<const double> x) const {
        const double y = f(x);
        return log ? usable_log_value(y) : log_density(y);
    }
};

}  // namespace varnix

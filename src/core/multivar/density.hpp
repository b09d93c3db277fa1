// The unnormalised density the box samplers evaluate, and its logarithm.
#pragma once

#include <cmath>
#include <functional>  // std::invoke, used by FunctionRef
#include <limits>
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

}  // namespace varnix

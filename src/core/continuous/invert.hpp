// Numerical inversion of a distribution function: bisection, optionally polished by Newton.
#pragma once

#include <cstdint>
#include <functional>  // std::invoke, used by function_ref.hpp

#include "core/errors.hpp"
#include "core/function_ref.hpp"

namespace varnix {

// The x in [a, b] where cdf reaches cdf(a) + u * (cdf(b) - cdf(a)), to the absolute tolerance
// tol on the cdf value, in at most max_iterations halvings. Running out of iterations is not a
// failure: the midpoint of the last bracket is returned.
// Errors: QuantileOutOfRange when u is not inside (0, 1) (checked before any call of cdf);
// InversionFailed when cdf(b) - cdf(a) is not finite and positive.
SampleResult<double> invert_cdf_bisection(FunctionRef<double(double)> cdf, double a, double b,
                                          double u, double tol, std::uint32_t max_iterations);

// Bisection as above, then at most 8 Newton updates with the density, each clamped into the
// last bracket of the bisection (which lies inside [a, b]); the polish never narrows that
// bracket. A density below 1e-300 in magnitude stops the polish; a NaN density propagates.
SampleResult<double> invert_cdf_newton(FunctionRef<double(double)> cdf,
                                       FunctionRef<double(double)> density, double a, double b,
                                       double u, double tol, std::uint32_t max_iterations);

}  // namespace varnix

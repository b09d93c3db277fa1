// The one integrator of the library: adaptive Simpson with Richardson correction.
#pragma once

#include <functional>  // std::invoke, used by function_ref.hpp

#include "core/function_ref.hpp"

namespace varnix {

// Integral of g over [a, b] to the absolute tolerance tol per subinterval. Never fails by
// itself: a NaN or infinite integrand value shows up as a non-finite result, which the caller
// judges. Reversed bounds give the exact negation; a == b gives 0.0 without calling g.
double adaptive_simpson(FunctionRef<double(double)> g, double a, double b, double tol);

}  // namespace varnix

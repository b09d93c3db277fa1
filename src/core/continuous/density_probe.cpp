#include "core/continuous/density_probe.hpp"

#include <cmath>
#include <limits>

namespace varnix {

double DensityProbe::operator()(double x) {
    // After a failure the builder only finishes its current step: no more user calls.
    if (error_) return 0.0;
    ++calls_;
    const double v = density_(x);
    if (v < 0.0) {
        fail(BuildError::density_negative(x, v));
        return 0.0;
    }
    if (!std::isfinite(v)) {
        if (x == lo_ || x == hi_) return std::numeric_limits<double>::quiet_NaN();
        fail(BuildError::density_not_finite(x, v));
        return 0.0;
    }
    return std::ldexp(v, -exponent_);
}

}  // namespace varnix

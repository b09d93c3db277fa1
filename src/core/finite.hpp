// Small predicates on doubles shared by the builders' checks.
#pragma once

#include <cmath>

namespace varnix {

// True for a finite value above zero; false for zero, negatives, infinities and NaN.
inline bool finite_positive(double v) { return std::isfinite(v) && v > 0.0; }

}  // namespace varnix

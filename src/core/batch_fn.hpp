// A user function evaluated at many points in one call.
//
// Where an algorithm has independent points to evaluate (the nodes of a refinement round, a
// batch of proposals, the points of a finite-difference gradient), it may hand them all to a
// BatchFn instead of calling the scalar function once per point: points holds m rows of d
// coordinates (d = 1 for a univariate function), and the call writes values[k], the function at
// row k, for every k < m. A failing call writes NaN where it has no value (the binding fills
// every value of a failed call with NaN). The values must be those the scalar function gives at
// the same points, so that a result does not depend on how the points were grouped.
#pragma once

#include <optional>
#include <span>

#include "core/function_ref.hpp"

namespace varnix {

using BatchFn = FunctionRef<void(std::span<const double> points, std::span<double> values)>;

// The batch form of a user function, when the caller has one.
using OptionalBatch = std::optional<BatchFn>;

}  // namespace varnix

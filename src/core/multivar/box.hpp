// The axis-aligned box of the multivariate samplers, and the small pieces that the samplers
// working in it share: the density reference type, the log density, folding a coordinate back
// into the box by reflection, and the size of a flat batch of points.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>  // std::invoke, used by FunctionRef
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/function_ref.hpp"
#include "core/random.hpp"

namespace varnix {

// An unnormalised multivariate density (not its logarithm), called with a point of d
// coordinates. The caller keeps the callable alive for the duration of the call it passes it to.
using DensityRef = FunctionRef<double(std::span<const double>)>;

// A box of dimension d >= 1 with finite bounds and lo[i] < hi[i] in every coordinate, once it
// has come out of validate(). Samplers keep their own validated copy.
struct HyperRect {
    std::vector<double> lo;
    std::vector<double> hi;

    // Checks, in this order: either side empty; lengths differ; then index by index, both bounds
    // finite before their order, so that an earlier index's fault wins over a later one's.
    static BuildResult<HyperRect> validate(std::span<const double> lo, std::span<const double> hi);

    std::size_t dim() const { return lo.size(); }
};

// ln y for a usable density value, -inf for zero, negative, NaN. ln(+inf) is +inf, which the
// chain samplers' finiteness checks refuse like the others.
inline double log_density(double y) {
    return y > 0.0 ? std::log(y) : -std::numeric_limits<double>::infinity();
}

// Mirrorings a single coordinate may take before it is declared unfoldable. Each mirroring moves
// a value about one box width closer, so this only cuts off values more than about a million box
// widths outside, far beyond any step a random walk or a trajectory sensibly takes.
inline constexpr std::size_t max_reflections = std::size_t{1} << 20;

// Folds v into [lo, hi] by mirroring at the violated bound (below lo: (lo - v) + lo; above hi:
// hi - (v - hi)) until it lies inside; the bounds count as inside. Order matters: seeded results
// are reproduced bit for bit.
//
// Plain repetition would never end for an infinite value, or for a finite one so far out that
// twice the box width is lost in rounding and the mirrorings alternate between two values. Such
// values are reported as unfoldable (false) instead: an infinity at once, a two-value cycle as
// soon as it shows, anything else still outside after max_reflections mirrorings. A NaN fails
// both comparisons and is returned unchanged as foldable: whatever evaluates the point decides.
inline bool reflect_into(double& v, double lo, double hi) {
    if (std::isinf(v)) return false;
    double two_back = std::numeric_limits<double>::quiet_NaN();  // equal to nothing
    double one_back = v;
    for (std::size_t k = 0; v < lo || v > hi; ++k) {
        if (k == max_reflections) return false;
        v = v < lo ? (lo - v) + lo : hi - (v - hi);
        if (v == two_back) return false;  // back where it was two mirrorings ago: a cycle
        two_back = one_back;
        one_back = v;
    }
    return true;
}

// Draws uniform points of the box (u * (hi - lo) + lo, one uniform per coordinate in order)
// into point until one has a finite log density, at most `tries` times. Returns that log
// density, or nothing when no try was usable; point then holds the last try. The chain
// samplers start from such a point.
std::optional<double> find_usable_start(const HyperRect& box, ChaChaRng& rng, DensityRef f,
                                        std::span<double> point, std::size_t tries);

// n * d for a flat batch of n points of d coordinates; throws std::length_error on overflow.
std::size_t flat_size(std::size_t n, std::size_t d);

}  // namespace varnix

// Folding a coordinate back into the box by reflection, for the proposals of the chain samplers.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

namespace varnix {

// Mirrorings a single coordinate may take before it is declared unfoldable. Each mirroring moves
// a value about one box width closer, so this only cuts off values more than about a million box
// widths outside, far beyond any step a random walk or a trajectory sensibly takes.
inline constexpr std::size_t max_reflections = std::size_t{1} << 20;

// Folds v into [lo, hi] by mirroring at the violated bound (below lo: (lo - v) + lo; above hi:
// hi - (v - hi)) until it lies inside; the bounds count as inside. Evaluation order is frozen
// (docs/architecture.md).
//
// Plain repetition would never end for an infinite value, or for a finite one so far out that
// twice the box width is lost in rounding and the mirrorings alternate between two values. Such
// values are reported as unfoldable (false) instead: an infinity at once, a two-value cycle as
// soon as it shows, anything else still outside after max_reflections mirrorings. A NaN fails
// both comparisons and is returned unchanged as foldable: whatever evaluates the point decides.
//
// mirrorings receives the number of mirrorings made (HMC reverses the momentum once per
// mirroring).
inline bool reflect_into(double& v, double lo, double hi, std::size_t& mirrorings) {
    mirrorings = 0;
    if (std::isinf(v)) return false;
    double two_back = std::numeric_limits<double>::quiet_NaN();  // equal to nothing
    double one_back = v;
    for (std::size_t k = 0; v < lo || v > hi; ++k) {
        if (k == max_reflections) return false;
        v = v < lo ? (lo - v) + lo : hi - (v - hi);
        mirrorings = k + 1;
        if (v == two_back) return false;  // back where it was two mirrorings ago: a cycle
        two_back = one_back;
        one_back = v;
    }
    return true;
}

inline bool reflect_into(double& v, double lo, double hi) {
    std::size_t mirrorings;
    return reflect_into(v, lo, hi, mirrorings);
}

}  // namespace varnix

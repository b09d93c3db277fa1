// The saved state of a discrete distribution.
#include <cmath>

#include "core/discrete/discrete.hpp"

namespace varnix {

DiscreteDistribution::State DiscreteDistribution::state() const {
    const auto& [points, cdf] = *this;
    return {points, cdf};
}

// The table is what build leaves: non-decreasing running sums of masses in [0, 1] (a few ulps
// above 1 where rounding put them there) and a last entry of exactly 1.0, which every search
// for a u < 1 relies on to stay inside the table. Points are kept unvalidated, as built.
StateResult<DiscreteDistribution> DiscreteDistribution::from_state(State s) {
    auto& [points, cdf] = s;
    if (points.empty()) return state_refused("no points");
    if (points.size() != cdf.size()) {
        return state_refused("points and cumulative table differ in length");
    }
    if (cdf.back() != 1.0) return state_refused("the cumulative table does not end at 1");
    for (std::size_t i = 0; i < cdf.size(); ++i) {
        const double c = cdf[i];
        if (!(std::isfinite(c) && c >= 0.0 && c <= 1.0 + 1e-9)) {
            return state_refused("a cumulative entry outside [0, 1]");
        }
        if (i > 0 && i + 1 < cdf.size() && !(cdf[i - 1] <= c)) {
            return state_refused("the cumulative table decreases");
        }
    }
    return DiscreteDistribution(std::move(points), std::move(cdf));
}

}  // namespace varnix

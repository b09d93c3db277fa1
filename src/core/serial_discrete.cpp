// Saved states of discrete distributions: the points and the cumulative table as built.
#include "core/discrete/discrete.hpp"
#include "core/serial.hpp"

#include <cmath>

namespace varnix {

namespace {
constexpr const char* kName = "DiscreteDistribution";
}  // namespace

// The structured binding names every field: one added stops the build until it is saved.
std::string StateCodec::save(const DiscreteDistribution& d) {
    const auto& [points, cdf] = d;
    StateWriter w(kName);
    w.f64s(points);
    w.f64s(cdf);
    return std::move(w).finish();
}

// The table is what build leaves: non-decreasing running sums of masses in [0, 1] (a few ulps
// above 1 where rounding put them there) and a last entry of exactly 1.0, which every search
// for a u < 1 relies on to stay inside the table. Points are kept unvalidated, as built.
template <>
StateResult<DiscreteDistribution> StateCodec::load<DiscreteDistribution>(std::string_view bytes) {
    StateReader r(bytes, kName);
    std::vector<double> points = r.f64s();
    std::vector<double> cdf = r.f64s();
    if (r.require(!points.empty(), "no points") &&
        r.require(points.size() == cdf.size(), "points and cumulative table differ in length") &&
        r.require(cdf.back() == 1.0, "the cumulative table does not end at 1")) {
        for (std::size_t i = 0; i < cdf.size(); ++i) {
            const double c = cdf[i];
            if (!r.require(std::isfinite(c) && c >= 0.0 && c <= 1.0 + 1e-9,
                           "a cumulative entry outside [0, 1]")) {
                break;
            }
            if (i > 0 && i + 1 < cdf.size() &&
                !r.require(cdf[i - 1] <= c, "the cumulative table decreases")) {
                break;
            }
        }
    }
    if (auto done = r.finish(); !done) return std::unexpected(done.error());
    return DiscreteDistribution(std::move(points), std::move(cdf));
}

}  // namespace varnix

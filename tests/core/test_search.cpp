#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "core/search.hpp"

namespace {

// Probes at, just below and just above every entry, beyond both ends, and NaN.
std::vector<double> probes_for(const std::vector<double>& t) {
    std::vector<double> probes = {-1.0, 2.0, std::numeric_limits<double>::quiet_NaN()};
    for (const double v : t) {
        probes.push_back(v);
        probes.push_back(std::nextafter(v, -INFINITY));
        probes.push_back(std::nextafter(v, INFINITY));
    }
    return probes;
}

const std::vector<std::vector<double>> tables = {
    {0.5},
    {0.1, 0.9},
    {0.0, 0.25, 0.25, 0.25, 0.5, 0.75, 1.0},
    {1e-12, 0.2, 0.4, 0.4, 0.6, 0.8, 0.9, 0.95, 0.999999999999},
    {0.5, 0.5, 0.5, 0.5, 0.5},
};

}  // namespace

// A position off by one at a tie moves a draw to the neighbouring segment and so can change
// seeded samples: the search must agree with std::lower_bound exactly.
TEST(search_position_matches_lower_bound) {
    for (const auto& t : tables) {
        for (const double v : probes_for(t)) {
            const auto lower =
                static_cast<std::size_t>(std::lower_bound(t.begin(), t.end(), v) - t.begin());
            CHECK_EQ(varnix::count_below(t.data(), t.size(), v), lower);
        }
    }
}

TEST(search_empty_table) {
    CHECK_EQ(varnix::count_below(nullptr, 0, 0.5), std::size_t{0});
}

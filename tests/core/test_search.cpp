#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/random.hpp"
#include "core/search.hpp"

namespace search = varnix::search;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Probes at, just below and just above every entry, beyond both ends, and NaN.
std::vector<double> probes_for(const std::vector<double>& t) {
    std::vector<double> probes = {-1.0, 2.0, kNaN, -INFINITY, INFINITY};
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

std::size_t lower_bound_at(const std::vector<double>& t, double v) {
    return static_cast<std::size_t>(std::lower_bound(t.begin(), t.end(), v) - t.begin());
}

// std::upper_bound, one less where the entry before it equals v; 0 for a NaN probe.
std::size_t last_equal_else_above_at(const std::vector<double>& t, double v) {
    if (std::isnan(v)) return 0;
    auto j = static_cast<std::size_t>(std::upper_bound(t.begin(), t.end(), v) - t.begin());
    if (j > 0 && t[j - 1] == v) --j;
    return j;
}

// Sorted tables of random length with many ties: entries are small multiples of 1/8.
std::vector<std::vector<double>> tables_with_ties() {
    auto rng = varnix::ChaChaRng::seeded(314);
    std::vector<std::vector<double>> out;
    for (std::size_t n = 1; n <= 70; ++n) {
        for (int rep = 0; rep < 3; ++rep) {
            std::vector<double> t(n);
            for (auto& v : t) v = static_cast<double>(rng.next_u64() % 9) / 8.0;
            std::sort(t.begin(), t.end());
            out.push_back(t);
        }
    }
    return out;
}

// Every probe of every table through both single searches and through lane groups of Lanes,
// against the reference position; returns the number of mismatches.
template <class Rule, std::size_t Lanes, class Reference>
int mismatches_against(const std::vector<std::vector<double>>& ts, Reference reference) {
    int bad = 0;
    for (const auto& t : ts) {
        std::vector<double> probes = probes_for(t);
        while (probes.size() % Lanes != 0) probes.push_back(0.5);
        for (std::size_t i = 0; i < probes.size(); i += Lanes) {
            std::size_t pos[Lanes];
            search::positions<Rule, Lanes>(t.data(), t.size(), probes.data() + i, pos);
            for (std::size_t l = 0; l < Lanes; ++l) {
                const std::size_t want = reference(t, probes[i + l]);
                bad += pos[l] != want;
                bad += search::position<Rule>(t.data(), t.size(), probes[i + l]) != want;
                bad += search::position<Rule, search::Branch>(t.data(), t.size(), probes[i + l]) !=
                       want;
            }
        }
    }
    return bad;
}

}  // namespace

// A position off by one at a tie moves a draw to the neighbouring segment and so can change
// seeded samples: the search must agree with std::lower_bound exactly.
TEST(search_position_matches_lower_bound) {
    for (const auto& t : tables) {
        for (const double v : probes_for(t)) {
            CHECK_EQ(varnix::count_below(t.data(), t.size(), v), lower_bound_at(t, v));
        }
    }
}

TEST(search_empty_table) {
    CHECK_EQ(varnix::count_below(nullptr, 0, 0.5), std::size_t{0});
}

TEST(both_rules_in_every_lane_count_match_the_standard_searches_on_tied_tables) {
    auto ts = tables_with_ties();
    ts.insert(ts.end(), tables.begin(), tables.end());
    CHECK_EQ((mismatches_against<search::FirstNotBelow, 1>(ts, lower_bound_at)), 0);
    CHECK_EQ((mismatches_against<search::FirstNotBelow, 4>(ts, lower_bound_at)), 0);
    CHECK_EQ((mismatches_against<search::FirstNotBelow, 8>(ts, lower_bound_at)), 0);
    CHECK_EQ((mismatches_against<search::LastEqualElseAbove, 1>(ts, last_equal_else_above_at)), 0);
    CHECK_EQ((mismatches_against<search::LastEqualElseAbove, 4>(ts, last_equal_else_above_at)), 0);
    CHECK_EQ((mismatches_against<search::LastEqualElseAbove, 3>(ts, last_equal_else_above_at)), 0);
}

TEST(quantile_rule_on_a_table_stepping_down_at_its_end) {
    // A cumulative table whose running sum overshot 1 before its last entry was set to 1.0:
    // for every probe below 1 the passed entries still come first.
    const double up = 1.0 + 0x1.0p-52;
    const std::vector<double> t = {0.25, 0.5, 0.5, up, up, 1.0};
    const std::vector<std::pair<double, std::size_t>> cases = {
        {0x1.0p-53, 0}, {0.25, 0}, {std::nextafter(0.25, 1.0), 1}, {0.5, 2},
        {std::nextafter(0.5, 1.0), 3}, {std::nextafter(1.0, 0.0), 3}};
    for (const auto& [u, want] : cases) {
        CHECK_EQ(search::position<search::LastEqualElseAbove>(t.data(), t.size(), u), want);
        using Rule = search::LastEqualElseAbove;
        CHECK_EQ((search::position<Rule, search::Branch>(t.data(), t.size(), u)), want);
        double probes[4] = {u, u, u, u};
        std::size_t pos[4];
        search::positions<search::LastEqualElseAbove, 4>(t.data(), t.size(), probes, pos);
        CHECK_EQ(pos[3], want);
    }
}

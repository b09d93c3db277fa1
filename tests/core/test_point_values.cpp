#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "check.hpp"
#include "core/continuous/point_values.hpp"

using varnix::PointValues;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

// Points are told apart by their bits (0 and -0 are two points), kept once (a second insert
// leaves the first value), and found again after the table has grown many times over.
TEST(point_values_keep_each_point_once_by_its_bits) {
    const std::vector<double> special = {0.0, -0.0, 5e-324, -5e-324, kInf, -kInf,
                                         std::numeric_limits<double>::max(), 1.0,
                                         std::nextafter(1.0, 2.0)};
    PointValues values;
    CHECK(values.find(1.0) == nullptr);
    for (std::size_t i = 0; i < special.size(); ++i) CHECK(values.insert(special[i], double(i)));
    // Points with the same low bits and with the same high bits, enough to grow the table.
    std::vector<double> many;
    for (int k = 0; k < 40000; ++k) many.push_back(std::ldexp(1.0 + k * 0x1p-20, k % 64 - 32));
    for (std::size_t i = 0; i < many.size(); ++i) CHECK(values.insert(many[i], -double(i)));
    for (std::size_t i = 0; i < special.size(); ++i) {
        CHECK(!values.insert(special[i], 99.0));
        const double* v = values.find(special[i]);
        CHECK(v != nullptr && *v == double(i));
    }
    std::size_t found = 0;
    for (std::size_t i = 0; i < many.size(); ++i) {
        const double* v = values.find(many[i]);
        found += v != nullptr && *v == -double(i);
    }
    CHECK_EQ(found, many.size());
    CHECK(values.find(3.0) == nullptr && values.find(0.1) == nullptr);
    values.clear();
    CHECK(values.find(0.0) == nullptr && values.insert(0.0, 1.0));
}

// After reserve_more(n), the slots the next n inserts return stay where they are: a round's
// values are written through them once its batch call returns.
TEST(point_values_slots_stay_put_over_a_reserved_round) {
    PointValues values;
    for (int k = 0; k < 3000; ++k) values.insert(k + 0.5, 0.0);
    values.reserve_more(20000);
    std::vector<double*> slots;
    for (int k = 0; k < 20000; ++k) slots.push_back(values.insert(-k - 0.25, 0.0));
    for (int k = 0; k < 20000; ++k) *slots[static_cast<std::size_t>(k)] = k;
    bool all = true;
    for (int k = 0; k < 20000; ++k) all = all && *values.find(-k - 0.25) == k;
    CHECK(all);
}

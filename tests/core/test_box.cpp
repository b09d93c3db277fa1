#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "core/multivar/box.hpp"
#include "core/multivar/reflect.hpp"

using varnix::BuildErrorKind;
using varnix::HyperRect;
using varnix::reflect_into;

namespace {
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double qnan = std::numeric_limits<double>::quiet_NaN();

std::string box_message(std::vector<double> lo, std::vector<double> hi) {
    auto r = HyperRect::make(lo, hi);
    return r ? std::string("ok") : r.error().message();
}
}  // namespace

TEST(box_validation_reports_the_first_fault_in_order) {
    const std::string empty = "invalid support interval: hyper-rect cannot be empty";
    const std::string dimension = "invalid support interval: hyper-rect lo/hi must have same dimension";
    const std::string bounds = "non-finite value in hyper-rect bounds";
    const std::string order = "invalid support interval: each lo must be < hi";
    CHECK_EQ(box_message({}, {}), empty);
    CHECK_EQ(box_message({0.0}, {}), empty);  // emptiness before the length comparison
    CHECK_EQ(box_message({0, 0}, {1}), dimension);
    CHECK_EQ(box_message({0, inf}, {1, 2}), bounds);
    CHECK_EQ(box_message({qnan}, {1}), bounds);
    CHECK_EQ(box_message({0}, {-inf}), bounds);  // finiteness before order at one index
    CHECK_EQ(box_message({0, 1}, {1, 1}), order);
    CHECK_EQ(box_message({2, qnan}, {1, 0}), order);  // index 0's fault wins over index 1's
    CHECK_EQ(box_message({0, 0}, {1, inf}), bounds);

    auto ok = HyperRect::make(std::vector<double>{0, -1}, std::vector<double>{1, 3});
    CHECK(ok.has_value());
    CHECK_EQ(ok->dim(), 2u);
    CHECK(std::vector<double>(ok->lo().begin(), ok->lo().end()) == (std::vector<double>{0, -1}));
    CHECK(std::vector<double>(ok->hi().begin(), ok->hi().end()) == (std::vector<double>{1, 3}));
}

TEST(reflection_folds_back_across_the_violated_bound) {
    double v = 1.0;  // a bound is inside
    CHECK(reflect_into(v, 0.0, 1.0));
    CHECK_EQ(v, 1.0);
    v = 0.0;
    CHECK(reflect_into(v, 0.0, 1.0));
    CHECK_EQ(v, 0.0);

    v = 1.25;  // above hi by a -> hi - a
    CHECK(reflect_into(v, 0.0, 1.0));
    CHECK_EQ(v, 0.75);
    v = -0.25;  // below lo by a -> lo + a
    CHECK(reflect_into(v, 0.0, 1.0));
    CHECK_EQ(v, 0.25);
    v = 3.5;  // beyond the width: hi - 2.5 = -1.5, then mirrored at lo to 1.5, then hi - 0.5
    CHECK(reflect_into(v, 0.0, 1.0));
    CHECK_EQ(v, 0.5);
    v = -3.0;  // 3, then -1, then 1 (a bound)
    CHECK(reflect_into(v, 0.0, 1.0));
    CHECK_EQ(v, 1.0);

    v = qnan;  // fails both comparisons: left for the density to judge
    CHECK(reflect_into(v, 0.0, 1.0));
    CHECK(std::isnan(v));
}

TEST(reflection_of_far_values_ends) {
    // Thousands of mirrorings are still a legitimate fold.
    double v = 5000.25;
    CHECK(reflect_into(v, 0.0, 1.0));
    CHECK_EQ(v, 0.25);
    // Infinite, cycling (1e300 - 2 == 1e300) and hopelessly slow (1e15, two per pair) values
    // are reported as unfoldable instead of looping.
    for (double bad : {inf, -inf, 1e300, -1e300, 1e15, -7e14}) {
        double w = bad;
        CHECK(!reflect_into(w, 0.0, 1.0));
    }
    double tiny_box = 1.0 + 1e-3;  // width 1e-15 next to 1: rounding loses the mirror step
    CHECK(!reflect_into(tiny_box, 1.0, 1.0 + 4.4e-16));
}

#include <cmath>
#include <limits>

#include "check.hpp"
#include "core/continuous/invert.hpp"

using varnix::invert_cdf_bisection;
using varnix::invert_cdf_newton;
using varnix::SampleErrorKind;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct CountedLine {
    int calls = 0;
    double operator()(double x) {
        ++calls;
        return x;
    }
};

}  // namespace

TEST(invert_uniform_median_in_one_step) {
    CountedLine F;
    const auto x = invert_cdf_bisection(F, 0.0, 1.0, 0.5, 1e-12, 128);
    CHECK(x.has_value());
    CHECK_EQ(*x, 0.5);
    CHECK_EQ(F.calls, 3);  // both ends, then one midpoint
}

TEST(invert_refuses_probabilities_outside_unit_interval_before_calling) {
    CountedLine F;
    auto one = [](double) { return 1.0; };
    for (double u : {0.0, 1.0, -0.25, 1.5, kNaN}) {
        const auto b = invert_cdf_bisection(F, 0.0, 1.0, u, 1e-12, 128);
        const auto n = invert_cdf_newton(F, one, 0.0, 1.0, u, 1e-12, 128);
        CHECK(!b.has_value() && b.error().kind == SampleErrorKind::QuantileOutOfRange);
        CHECK(!n.has_value() && n.error().kind == SampleErrorKind::QuantileOutOfRange);
        if (!b && !std::isnan(u)) CHECK_EQ(b.error().value, u);
        if (!b && std::isnan(u)) CHECK(std::isnan(b.error().value));
    }
    CHECK_EQ(F.calls, 0);
}

TEST(invert_fails_when_cdf_does_not_rise) {
    auto flat = [](double) { return 0.3; };
    auto falling = [](double x) { return 1.0 - x; };
    auto nan_top = [](double x) { return x >= 1.0 ? kNaN : x; };
    auto inf_top = [](double x) { return x >= 1.0 ? INFINITY : x; };
    const varnix::FunctionRef<double(double)> cdfs[] = {flat, falling, nan_top, inf_top};
    for (const auto& cdf : cdfs) {
        const auto r = invert_cdf_bisection(cdf, 0.0, 1.0, 0.5, 1e-12, 128);
        CHECK(!r.has_value() && r.error().kind == SampleErrorKind::InversionFailed);
    }
}

TEST(invert_exhausted_iterations_return_last_midpoint) {
    CountedLine F;
    // A negative tolerance is never met: five halvings towards 1/3, then the bracket's middle.
    const auto x = invert_cdf_bisection(F, 0.0, 1.0, 1.0 / 3.0, -1.0, 5);
    CHECK(x.has_value());
    CHECK_EQ(*x, 0.328125);  // final bracket [0.3125, 0.34375]
    CHECK_EQ(F.calls, 7);

    CountedLine G;
    const auto mid = invert_cdf_bisection(G, -2.0, 6.0, 0.9, 1e-12, 0);
    CHECK(mid.has_value());
    CHECK_EQ(*mid, 2.0);
    CHECK_EQ(G.calls, 2);

    // A NaN cdf value moves the upper end: the bracket closes on the last finite region.
    auto holed = [](double t) { return (t > 0.3 && t < 1.0) ? kNaN : t; };
    const auto h = invert_cdf_bisection(holed, 0.0, 1.0, 0.5, 1e-12, 60);
    CHECK(h.has_value());
    CHECK_NEAR(*h, 0.3, 1e-12);
}

TEST(invert_newton_polishes_a_coarse_bisection) {
    const double z = 1.0 - std::exp(-5.0);
    auto F = [z](double x) { return (1.0 - std::exp(-x)) / z; };
    auto f = [z](double x) { return std::exp(-x) / z; };
    for (double u : {1e-9, 0.1, 0.5, 0.77, 0.999999}) {
        const double exact = -std::log(1.0 - u * z);
        const auto coarse = invert_cdf_bisection(F, 0.0, 5.0, u, 1e-12, 6);
        const auto polished = invert_cdf_newton(F, f, 0.0, 5.0, u, 1e-12, 6);
        CHECK(coarse && polished);
        CHECK(std::fabs(*coarse - exact) > 1e-3 || u < 1e-6);
        CHECK_NEAR(*polished, exact, 1e-11);
    }
    // From the bare midpoint (no halvings) the Newton stage alone converges on a smooth cdf.
    auto sq = [](double x) { return x * x; };
    auto dsq = [](double x) { return 2.0 * x; };
    const auto r = invert_cdf_newton(sq, dsq, 0.0, 1.0, 0.3, 1e-13, 0);
    CHECK(r.has_value());
    CHECK_NEAR(*r, std::sqrt(0.3), 1e-12);
}

TEST(invert_newton_stops_on_zero_density_and_clamps_to_bracket) {
    // Density zero on the gap [0.4, 0.6]; the bare midpoint 0.5 lies inside it.
    auto gap_cdf = [](double x) { return x < 0.4 ? x / 0.8 : x <= 0.6 ? 0.5 : (x - 0.2) / 0.8; };
    auto gap_pdf = [](double x) { return (x >= 0.4 && x <= 0.6) ? 0.0 : 1.25; };
    const auto g = invert_cdf_newton(gap_cdf, gap_pdf, 0.0, 1.0, 0.7, 1e-12, 0);
    CHECK(g.has_value());
    CHECK_EQ(*g, 0.5);

    // A badly wrong density throws every update out of [0, 1], the bracket of a bisection
    // without halvings: each lands exactly on an end, the eight updates alternate 1, 0, 1, ...
    // and the last is returned without a cdf call.
    CountedLine F;
    int density_calls = 0;
    auto tiny = [&](double) {
        ++density_calls;
        return 1e-3;
    };
    const auto c = invert_cdf_newton(F, tiny, 0.0, 1.0, 0.9, 1e-12, 0);
    CHECK(c.has_value());
    CHECK_EQ(*c, 0.0);
    CHECK_EQ(density_calls, 8);
    CHECK_EQ(F.calls, 2 + 3 + 7);

    // A bisection that met the tolerance comes back unchanged after three more cdf calls.
    CountedLine L;
    auto one = [](double) { return 1.0; };
    const auto exact = invert_cdf_newton(L, one, 0.0, 1.0, 0.5, 1e-12, 128);
    CHECK(exact.has_value());
    CHECK_EQ(*exact, 0.5);
    CHECK_EQ(L.calls, 6);

    // A NaN density propagates into the result.
    auto nan_pdf = [](double) { return kNaN; };
    auto sq = [](double x) { return x * x; };
    const auto n = invert_cdf_newton(sq, nan_pdf, 0.0, 1.0, 0.3, 1e-12, 3);
    CHECK(n.has_value() && std::isnan(*n));
}

// The polish stays inside the last bracket of the bisection; its own cdf values do not narrow it.
TEST(invert_newton_never_leaves_the_bracket) {
    // A cdf whose values are a little off near the top (as an integrated one may be): the
    // bisection gives up with a bracket around the target, and every Newton step, taken with
    // a residual far larger than the tiny density can carry, would jump out of it. Clamped,
    // the updates land on the bracket's ends; unguarded, they would bounce between 0 and 1.
    auto F = [](double x) { return x < 0.99 ? x : x + 1e-9 * std::sin(1e7 * x); };
    int density_calls = 0;
    auto f = [&](double x) {
        ++density_calls;
        return x < 0.99 ? 1.0 : 1e-12;
    };
    const auto r = invert_cdf_newton(F, f, 0.0, 1.0, 0.995, 1e-15, 20);
    const auto plain = invert_cdf_bisection(F, 0.0, 1.0, 0.995, 1e-15, 20);
    CHECK(r && plain);
    CHECK_EQ(density_calls, 8);
    // An end of the last bracket (the plain result is its midpoint, 2^-20 wide).
    CHECK_EQ(std::fabs(*r - *plain), std::ldexp(1.0, -21));

    // Each polish that stays inside is unchanged: the exponential's quantiles from a coarse
    // bracket meet the exact values, at every u.
    const double z = 1.0 - std::exp(-5.0);
    auto G = [z](double x) { return (1.0 - std::exp(-x)) / z; };
    auto g = [z](double x) { return std::exp(-x) / z; };
    for (double u : {1e-6, 0.3, 0.999}) {
        const auto p = invert_cdf_newton(G, g, 0.0, 5.0, u, 1e-14, 3);
        CHECK(p.has_value());
        CHECK_NEAR(*p, -std::log(1.0 - u * z), 1e-12);
    }
}

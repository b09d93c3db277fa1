#include <cmath>
#include <limits>
#include <functional>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "core/continuous/integrate.hpp"

using varnix::adaptive_simpson;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Wraps an integrand and counts its calls.
template <class F>
struct Counted {
    F f;
    long calls = 0;
    double operator()(double x) {
        ++calls;
        return f(x);
    }
};
template <class F>
Counted(F) -> Counted<F>;

}  // namespace

TEST(integrate_constant_is_exact_after_nine_calls) {
    Counted one{[](double) { return 1.0; }};
    CHECK_EQ(adaptive_simpson(one, 0.0, 1.0, 1e-10), 1.0);
    CHECK_EQ(one.calls, 9);
    // A NaN at a point that is never an evaluation node does not matter.
    Counted holed{[](double x) { return x == 0.3 ? kNaN : 1.0; }};
    CHECK_EQ(adaptive_simpson(holed, 0.0, 1.0, 1e-10), 1.0);
}

TEST(integrate_equal_and_reversed_bounds) {
    Counted g{[](double x) { return std::exp(-x * x) * (1.0 + x); }};
    CHECK_EQ(adaptive_simpson(g, 0.25, 0.25, 1e-10), 0.0);
    CHECK_EQ(g.calls, 0);
    const double forward = adaptive_simpson(g, -0.5, 2.0, 1e-10);
    const double backward = adaptive_simpson(g, 2.0, -0.5, 1e-10);
    CHECK_EQ(backward, -forward);
    CHECK(forward != 0.0);
}

TEST(integrate_smooth_integrands_to_tolerance) {
    auto kernel = [](double x) { return std::exp(-x * x * 0.5); };
    CHECK_NEAR(adaptive_simpson(kernel, -8.0, 8.0, 1e-10), std::sqrt(2.0 * M_PI), 1e-9);
    auto cosine = [](double x) { return std::cos(x); };
    CHECK_NEAR(adaptive_simpson(cosine, 0.0, 1.5, 1e-12), std::sin(1.5), 1e-11);
    // A cubic is integrated exactly by the first estimate.
    auto cubic = [](double x) { return x * x * x; };
    CHECK_EQ(adaptive_simpson(cubic, 0.0, 1.0, 1e-10), 0.25);
}

// Integrands that are NaN or infinite somewhere must still end, with a non-finite result.
TEST(integrate_singular_integrands_end_non_finite) {
    Counted lower_pole{[](double x) { return 1.0 / std::sqrt(x); }};
    CHECK(!std::isfinite(adaptive_simpson(lower_pole, 0.0, 1.0, 1e-10)));
    CHECK(lower_pole.calls < 5000);  // about 480 intervals, bounded by the pending-entry cap

    Counted upper_nan{[](double x) { return x == 1.0 ? kNaN : x; }};
    CHECK(std::isnan(adaptive_simpson(upper_nan, 0.0, 1.0, 1e-10)));
    CHECK(upper_nan.calls < 5000);

    // The pole sits on the first midpoint: the left half approaches it through right halves.
    Counted interior_pole{[](double x) { return 1.0 / std::sqrt(std::fabs(x)); }};
    CHECK(!std::isfinite(adaptive_simpson(interior_pole, -1.0, 1.0, 1e-10)));
    CHECK(interior_pole.calls < 100000);

    Counted nan_bound{[](double x) { return x; }};
    CHECK(std::isnan(adaptive_simpson(nan_bound, 0.0, kNaN, 1e-10)));
    CHECK(std::isnan(adaptive_simpson(nan_bound, kNaN, 1.0, 1e-10)));
    CHECK(nan_bound.calls < 100);

    Counted inf_bound{[](double) { return 1.0; }};
    CHECK(!std::isfinite(adaptive_simpson(inf_bound, 0.0, INFINITY, 1e-10)));
    CHECK(inf_bound.calls < 1000);
}

// A function that fails on a whole region (for example a user pdf that raises there) would
// otherwise be subdivided into an astronomically large tree.
TEST(integrate_nan_regions_end_quickly) {
    Counted always{[](double) { return kNaN; }};
    CHECK(std::isnan(adaptive_simpson(always, 0.0, 1.0, 1e-10)));
    CHECK(always.calls < 2000);

    Counted upper_half{[](double x) { return x >= 0.5 ? kNaN : 1.0; }};
    CHECK(std::isnan(adaptive_simpson(upper_half, 0.0, 1.0, 1e-10)));
    CHECK(upper_half.calls < 5000);

    Counted band{[](double x) { return (x > 0.6 && x < 0.7) ? kNaN : std::exp(x); }};
    CHECK(std::isnan(adaptive_simpson(band, -3.0, 5.0, 1e-10)));
    CHECK(band.calls < 20000);
}

TEST(integrate_lets_integrand_exceptions_through) {
    int calls = 0;
    auto throws = [&](double x) {
        if (++calls == 20) throw std::runtime_error("abort");
        return std::sin(50.0 * x);
    };
    bool caught = false;
    try {
        adaptive_simpson(throws, 0.0, 1.0, 1e-14);
    } catch (const std::runtime_error&) {
        caught = true;
    }
    CHECK(caught);
    CHECK_EQ(calls, 20);
}

// Tolerances that no double-precision estimate can meet, and integrands that never settle,
// still end after a bounded number of calls with a sensible value.
TEST(integrate_ends_for_unattainable_tolerances) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double tol : {0.0, -1.0, nan, 1e-300}) {
        std::size_t calls = 0;
        auto kernel = [&](double x) { ++calls; return std::exp(-0.5 * x * x); };
        const double v = varnix::adaptive_simpson(kernel, -8.0, 8.0, tol);
        CHECK_NEAR(v, std::sqrt(2.0 * M_PI), 1e-12);
        CHECK(calls < 2000000);
    }
    std::size_t calls = 0;
    auto huge = [&](double x) { ++calls; return 1e12 * std::exp(-x); };
    const double v = varnix::adaptive_simpson(huge, 0.0, 30.0, 1e-10);
    CHECK_NEAR(v / 1e12, 1.0 - std::exp(-30.0), 1e-12);
    CHECK(calls < 2000000);
}

TEST(integrate_ends_for_an_integrand_that_never_settles) {
    std::uint64_t state = 1;
    std::size_t calls = 0;
    auto noise = [&](double) {
        ++calls;
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1p-53;
    };
    const double v = varnix::adaptive_simpson(noise, 0.0, 1.0, 1e-10);
    CHECK(std::isfinite(v) && v > 0.3 && v < 0.7);
    CHECK(calls < 2000000);
}

namespace {

// The subdivision exactly as the absolute test alone runs it (no rounding-level acceptance, no
// examined-interval cap): the reference for integrations that end on their own.
double plain_simpson(const std::function<double(double)>& g, double a, double b, double tol,
                     long& calls) {
    struct E {
        double l, r, s;
    };
    auto f = [&](double x) {
        ++calls;
        return g(x);
    };
    const double m0 = (a + b) * 0.5;
    const double ga = f(a);
    const double gm = f(m0);
    const double gb = f(b);
    std::vector<E> stack{{a, b, ((4.0 * gm + ga) + gb) * ((b - a) / 6.0)}};
    const double limit = 15.0 * tol;
    double acc = 0.0;
    while (!stack.empty()) {
        const E e = stack.back();
        stack.pop_back();
        const double m = (e.l + e.r) * 0.5;
        const double lm = (e.l + m) * 0.5;
        const double rm = (e.r + m) * 0.5;
        const double gl = f(e.l), glm = f(lm), gml = f(m), gmr = f(m), grm = f(rm), gr = f(e.r);
        const double sl = ((m - e.l) / 6.0) * ((4.0 * glm + gl) + gml);
        const double sr = ((e.r - m) / 6.0) * ((4.0 * grm + gmr) + gr);
        const double d = sl + sr;
        const double diff = d - e.s;
        if (limit >= std::fabs(diff) || stack.size() > 48) {
            acc = acc + (d + diff / 15.0);
        } else {
            stack.push_back({m, e.r, sr});
            stack.push_back({e.l, m, sl});
        }
    }
    return acc;
}

}  // namespace

// Integrations that the absolute test ends after a modest number of intervals are not cut
// short by the rounding-level test: the same value, bit for bit, from the same calls. The
// first moment of a narrow constant density far from 0 differs from its first estimate only
// by rounding, which an early rounding-level acceptance would take after 9 calls.
TEST(integrate_rounding_level_only_where_the_absolute_test_cannot_end) {
    const std::function<double(double)> cases[] = {
        [](double x) { return x * 1e6; },
        [](double x) { return (x * x) * 1e6; },
        [](double x) { return std::exp(-0.5 * (x - 1e8) * (x - 1e8) * 1e12); },
    };
    for (const auto& g : cases) {
        long reference_calls = 0;
        const double expected = plain_simpson(g, 1e8, 1e8 + 1e-6, 1e-10, reference_calls);
        Counted counted{g};
        CHECK_EQ(adaptive_simpson(counted, 1e8, 1e8 + 1e-6, 1e-10), expected);
        CHECK_EQ(counted.calls, reference_calls);
        CHECK(reference_calls > 9);
    }
    // The mean of the uniform density there, formed as the summary statistics form it.
    const double norm = adaptive_simpson([](double) { return 1.0; }, 1e8, 1e8 + 1e-6, 1e-10);
    Counted mean{[norm](double x) { return (1.0 / norm) * x; }};
    const double m = adaptive_simpson(mean, 1e8, 1e8 + 1e-6, 1e-10);
    CHECK_EQ(mean.calls, 141);
    CHECK_NEAR(m, 1e8 + 5e-7, 1e-7);

    // Smooth densities at the usual tolerances: unchanged as well.
    const std::function<double(double)> smooth[] = {
        [](double x) { return std::exp(-0.5 * x * x); },
        [](double x) { return std::pow(1.0 + x * x / 3.0, -2.0); },
        [](double x) { return x * std::exp(-0.5 * x * x); },
    };
    for (const auto& g : smooth) {
        for (double tol : {1e-10, 1e-13}) {
            long reference_calls = 0;
            const double expected = plain_simpson(g, -8.0, 5.0, tol, reference_calls);
            Counted counted{g};
            CHECK_EQ(adaptive_simpson(counted, -8.0, 5.0, tol), expected);
            CHECK_EQ(counted.calls, reference_calls);
        }
    }
}

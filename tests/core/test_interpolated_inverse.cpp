#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/continuous/interpolated_inverse.hpp"
#include "core/random.hpp"
#include "reference_shapes.hpp"
#include "stats.hpp"

using varnix::BuildError;
using varnix::BuildErrorKind;
using varnix::ChaChaRng;
using varnix::InterpolatedInverse;
using varnix::InterpolationOptions;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A seeded stream that counts the words it hands out.
struct CountingSource {
    ChaChaRng rng;
    std::size_t words = 0;
    std::uint64_t next_u64() {
        ++words;
        return rng.next_u64();
    }
};

struct Built {
    InterpolatedInverse inverse;
    std::size_t calls;
};

Built build(const ref::Shape& s, double u_resolution, double scale = 1.0, int order = 5,
            std::vector<double> breakpoints = {}) {
    std::size_t calls = 0;
    auto f = [&](double x) {
        ++calls;
        return scale * s.pdf(x);
    };
    InterpolationOptions o;
    o.u_resolution = u_resolution;
    o.order = order;
    o.breakpoints = breakpoints;
    auto r = InterpolatedInverse::build(f, s.lo, s.hi, o);
    if (!r) throw std::runtime_error(std::string(s.name) + ": " + r.error().message());
    if (r->density_calls() != calls) throw std::runtime_error("density calls miscounted");
    return {std::move(*r), calls};
}

// Largest errors against the exact distribution, each less the mass of one step between
// neighbouring doubles at the point concerned (nothing in double precision does better).
struct Errors {
    double quantile = 0.0;  // |F(Q(u)) - u| on the dense grid, both tails to 1e-10
    double upper = 0.0;     // |S(Q_upper(q)) - q| for q log-spaced from 1e-10 to 1/2
    double cdf = 0.0;       // |cdf(x) - F(x)| and |sf(x) - S(x)| on a grid of x
};

Errors measure(const InterpolatedInverse& q, const ref::Shape& s) {
    Errors e;
    std::vector<double> xs;
    for (const double u : ref::u_grid()) {
        const double x = q.quantile(u);
        xs.push_back(x);
        e.quantile = std::max(e.quantile, s.u_error(x, u) - s.step_mass(x));
    }
    for (double l = -10.0; l <= std::log10(0.5); l += 0.01) {
        const double qv = std::pow(10.0, l);
        const double x = q.quantile_upper(qv);
        e.upper = std::max(e.upper, std::fabs(s.S(x) - qv) - s.step_mass(x));
    }
    for (int i = 1; i < 4000; ++i) xs.push_back(s.lo + (s.hi - s.lo) * (i / 4000.0));
    for (std::size_t i = 0; i < xs.size(); i += 7) {
        const double x = xs[i];
        const double step = s.step_mass(x);
        e.cdf = std::max(e.cdf, std::fabs(q.cdf(x) - s.F(x)) - step);
        e.cdf = std::max(e.cdf, std::fabs(q.sf(x) - s.S(x)) - step);
    }
    return e;
}

bool is_pole_at_both_ends(const ref::Shape& s) {
    return std::string(s.name).starts_with("beta(0.5");
}

void report(const ref::Shape& s, double u_resolution, const char* what, double value) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s at %g: %s %.3g", s.name, u_resolution, what, value);
    check::fail(__FILE__, __LINE__, buf);
}

}  // namespace

// The contract: |F(Q(u)) - u| <= u_resolution over the whole of (0, 1) against the exact
// distribution, for quantiles, upper quantiles, cdf and sf, and the build's own estimate
// agrees. At the coarsest resolution the intervals are long enough for the kink of the
// triangular density to sit well away from the points where the error is measured.
TEST(inverse_meets_its_resolution_on_every_reference_shape) {
    for (const double ures : {1e-14, 1e-12, 1e-10, 1e-5}) {
        for (const ref::Shape& s : ref::shapes()) {
            const Built b = build(s, ures);
            const Errors e = measure(b.inverse, s);
            if (!(e.quantile <= ures)) report(s, ures, "quantile u-error", e.quantile);
            if (!(e.upper <= ures)) report(s, ures, "upper quantile u-error", e.upper);
            if (!(e.cdf <= ures)) report(s, ures, "cdf error", e.cdf);
            // The estimate covers the measured error; beta(0.5, 0.5) reports the 3.4e-9 no
            // quantile in double precision can beat within one double of 1.
            const double est = b.inverse.max_u_error();
            const double floor = is_pole_at_both_ends(s) ? 6.8e-9 : 0.0;
            if (!(est <= std::max(ures, floor))) report(s, ures, "estimate", est);
            if (ures < floor && !(est > 3e-9)) report(s, ures, "estimate below the floor", est);
        }
    }
}

TEST(inverse_orders_three_and_four_meet_the_resolution_too) {
    for (const int order : {3, 4}) {
        for (const char* name : {"normal on [-5, 5]", "gamma(2) on [0, 40]",
                                 "Student t(3) on [-2804, 2804]", "triangular on [2, 6], mode 3.2"}) {
            const ref::Shape& s = ref::shape(name);
            const Built b = build(s, 1e-12, 1.0, order);
            const Built five = build(s, 1e-12);
            const Errors e = measure(b.inverse, s);
            if (!(e.quantile <= 1e-12 && e.cdf <= 1e-12)) report(s, order, "order", e.quantile);
            // Lower degrees need more intervals for the same resolution.
            CHECK(b.inverse.intervals() > five.inverse.intervals());
        }
    }
}

// The cdf inverts the same polynomials the quantile evaluates, and the upper tail has sums of
// its own, so every round trip comes back to rounding, in both tails.
TEST(inverse_cdf_sf_and_quantiles_agree) {
    const ref::Shape& s = ref::shape("exponential on [0, 30]");
    const Built b = build(s, 1e-12);
    const InterpolatedInverse& q = b.inverse;
    for (const double u : {1e-14, 1e-9, 0.01, 0.3, 0.5, 0.77}) {
        CHECK_NEAR(q.cdf(q.quantile(u)), u, 1e-15 * u + 1e-300);
    }
    for (const double p : {1e-14, 1e-9, 0.01, 0.3}) {
        CHECK_NEAR(q.sf(q.quantile_upper(p)), p, 1e-13 * p);
    }
    for (const double x : {0.001, 0.7, 3.0}) CHECK_NEAR(q.quantile(q.cdf(x)), x, 1e-14 * x);
    for (const double x : {11.0, 25.0, 29.0}) CHECK_NEAR(q.quantile_upper(q.sf(x)), x, 1e-14 * x);
    for (const double x : {0.001, 0.7, 3.0, 11.0, 25.0, 29.0}) CHECK_NEAR(q.cdf(x) + q.sf(x), 1.0, 4.5e-16);
    CHECK_EQ(q.cdf(-1.0), 0.0);
    CHECK_EQ(q.cdf(30.0), 1.0);
    CHECK_EQ(q.sf(30.0), 0.0);
    CHECK_EQ(q.sf(0.0), 1.0);
    CHECK_EQ(q.quantile(0.0), 0.0);
    CHECK_EQ(q.quantile(1.0), 30.0);
    CHECK_EQ(q.quantile_upper(0.0), 30.0);
    CHECK_EQ(q.quantile_upper(1.0), 0.0);
    CHECK(std::isnan(q.quantile(kNaN)));
    CHECK(std::isnan(q.cdf(kNaN)));
}

// The density times a power of two gives the same table bit for bit; times 1e-12 or 1e9 the
// same calls and intervals, and quantiles equal to rounding.
TEST(inverse_does_not_depend_on_the_density_scale) {
    for (const char* name : {"normal on [-5, 5]", "Student t(3) on [-2804, 2804]",
                             "gamma(0.5) on [0, 40]", "normal mixture on [-10, 10]"}) {
        const ref::Shape& s = ref::shape(name);
        const Built base = build(s, 1e-12);
        const std::vector<double> us = ref::u_grid();
        for (const double scale : {0x1p-40, 0x1p30}) {
            const Built b = build(s, 1e-12, scale);
            CHECK_EQ(b.calls, base.calls);
            bool same = b.inverse.max_u_error() == base.inverse.max_u_error();
            for (const double u : us) same = same && b.inverse.quantile(u) == base.inverse.quantile(u);
            CHECK(same);
        }
        for (const double scale : {1e-12, 1e9}) {
            const Built b = build(s, 1e-12, scale);
            CHECK_EQ(b.calls, base.calls);
            CHECK_EQ(b.inverse.intervals(), base.inverse.intervals());
            double worst = 0.0;
            for (const double u : us) {
                const double x1 = b.inverse.quantile(u);
                const double x0 = base.inverse.quantile(u);
                worst = std::max(worst, u <= 0.5 ? std::fabs(s.F(x1) - s.F(x0))
                                                 : std::fabs(s.S(x1) - s.S(x0)));
            }
            CHECK(worst <= 1e-14);
        }
    }
}

// One word per draw, the draw being the quantile of that word's uniform; sample_n gives the
// values of single draws.
TEST(inverse_sampling_uses_one_word_per_draw) {
    const Built b = build(ref::shape("Student t(3) on [-2804, 2804]"), 1e-10);
    CountingSource counted{ChaChaRng::seeded(11)};
    auto replay = ChaChaRng::seeded(11);
    bool inverse_of_uniform = true;
    for (int i = 0; i < 5000; ++i) {
        const double x = b.inverse.sample(counted);
        inverse_of_uniform = inverse_of_uniform &&
                             x == b.inverse.quantile(varnix::unit_from_bits(replay.next_u64()));
    }
    CHECK(inverse_of_uniform);
    CHECK_EQ(counted.words, 5000u);

    CountingSource bulk{ChaChaRng::seeded(12)};
    CountingSource single{ChaChaRng::seeded(12)};
    std::vector<double> out = {1.0, 2.0, 3.0};
    for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{1000}}) {
        b.inverse.sample_n(n, bulk, out);
        CHECK_EQ(out.size(), n);
        bool same = true;
        for (std::size_t i = 0; i < n; ++i) same = same && out[i] == b.inverse.sample(single);
        CHECK(same);
        CHECK_EQ(bulk.words, single.words);
    }
    // The uniform 0 (a zero word) gives the lower end.
    CHECK_EQ(b.inverse.quantile(varnix::unit_from_bits(0)), -2804.0);
}

TEST(inverse_samples_follow_the_exact_distribution) {
    for (const char* name : {"normal on [-5, 5]", "Student t(3) on [-2804, 2804]",
                             "normal mixture on [-10, 10]", "gamma(0.5) on [0, 40]"}) {
        const ref::Shape& s = ref::shape(name);
        const Built b = build(s, 1e-10);
        auto rng = ChaChaRng::seeded(2024);
        std::vector<double> draws;
        b.inverse.sample_n(40000, rng, draws);
        const double d = stats::ks_statistic(draws, [&](double x) { return s.F(x); });
        if (!(d < stats::ks_critical_1pct(draws.size()))) report(s, 1e-10, "KS distance", d);
    }
    // The far tail of t(3): the share of draws beyond the exact 1e-3 upper quantile.
    const ref::Shape& t = ref::shape("Student t(3) on [-2804, 2804]");
    const Built b = build(t, 1e-10);
    auto rng = ChaChaRng::seeded(7);
    std::vector<double> draws;
    b.inverse.sample_n(400000, rng, draws);
    double lo = 0.0;
    double hi = 2804.0;
    for (int i = 0; i < 200; ++i) {  // exact quantile of the truncated t(3) by bisection
        const double mid = 0.5 * (lo + hi);
        (t.S(mid) > 1e-3 ? lo : hi) = mid;
    }
    std::size_t beyond = 0;
    for (const double x : draws) beyond += x > lo ? 1 : 0;
    CHECK(std::fabs(static_cast<double>(beyond) - 400.0) < 4.0 * std::sqrt(400.0));
}

// Known kinks as breakpoints: the same accuracy for fewer density calls.
TEST(inverse_breakpoints_save_calls_at_a_kink) {
    const ref::Shape& s = ref::shape("triangular on [2, 6], mode 3.2");
    const Built with = build(s, 1e-12, 1.0, 5, {3.2});
    const Built without = build(s, 1e-12);
    CHECK(measure(with.inverse, s).quantile <= 1e-12);
    CHECK(with.calls < without.calls);
}

// A density that is zero on a gap: quantiles inside the jump of the inverse, a flat cdf.
TEST(inverse_handles_a_gap_without_mass) {
    auto f = [](double x) { return x < 1.0 || x > 2.0 ? 1.0 : 0.0; };
    const auto q = InterpolatedInverse::build(f, 0.0, 3.0, 1e-12);
    CHECK(q.has_value());
    for (const double x : {1.0, 1.2, 1.5, 1.99, 2.0}) CHECK_NEAR(q->cdf(x), 0.5, 1e-12);
    for (const double u : {0.1, 0.25, 0.4999, 0.5001, 0.8}) {
        const double x = q->quantile(u);
        const double F = x < 1.0 ? 0.5 * x : x < 2.0 ? 0.5 : 0.5 + 0.5 * (x - 2.0);
        CHECK_NEAR(F, u, 1e-12);
    }
    CHECK_NEAR(q->mean(), 1.5, 1e-12);
    CHECK_NEAR(q->variance(), 13.0 / 12.0, 1e-11);
}

TEST(inverse_refuses_faulty_densities_saying_which_and_where) {
    struct Case {
        const char* name;
        double (*pdf)(double);
        double lo;
        double hi;
        BuildErrorKind kind;
        const char* message;
    };
    const Case cases[] = {
        {"negative", [](double x) { return x > 0.2 && x < 0.3 ? -0.5 : 1.0; }, 0.0, 1.0,
         BuildErrorKind::DensityNegative, "density is negative at x=0.21875 (value -0.5)"},
        {"NaN inside", [](double x) { return x > 0.5 ? kNaN : 1.0; }, 0.0, 1.0,
         BuildErrorKind::DensityNotFinite, "density is not finite at x=0.53125 (value NaN)"},
        {"pole inside", [](double x) { return 1.0 / ((x - 0.5) * (x - 0.5)); }, 0.0, 1.0,
         BuildErrorKind::DensityNotFinite, "density is not finite at x=0.5 (value inf)"},
        {"zero", [](double) { return 0.0; }, -1.0, 1.0, BuildErrorKind::DensityZero,
         "density is zero at all 10562 points examined in [-1, 1]"},
        {"spike between all points examined",
         [](double x) { return std::fabs(x - 0.123456) < 1e-9 ? 1.0 : 0.0; }, 0.0, 1.0,
         BuildErrorKind::DensityZero, "density is zero at all 10562 points examined in [0, 1]"},
        {"1/x", [](double x) { return 1.0 / x; }, 0.0, 1.0, BuildErrorKind::MassNotFound,
         "the mass of the density cannot be found near x=0: the density grows towards the end of "
         "the interval too fast to be integrable"},
        {"1/(1-x)^2", [](double x) { return 1.0 / ((1.0 - x) * (1.0 - x)); }, 0.0, 1.0,
         BuildErrorKind::MassNotFound,
         "the mass of the density cannot be found near x=1: the density grows towards the end of "
         "the interval too fast to be integrable"},
    };
    for (const Case& c : cases) {
        const auto r = InterpolatedInverse::build(c.pdf, c.lo, c.hi, 1e-12);
        if (r) {
            check::fail(__FILE__, __LINE__, std::string(c.name) + ": built");
            continue;
        }
        CHECK(r.error().kind == c.kind);
        if (r.error().message() != c.message) {
            check::fail(__FILE__, __LINE__, std::string(c.name) + ": " + r.error().message());
        }
    }
}

TEST(inverse_error_texts_carry_their_numbers) {
    CHECK_EQ(BuildError::density_zero(-1.5, 2.0, 33.0).message(),
             std::string("density is zero at all 33 points examined in [-1.5, 2]"));
    CHECK_EQ(BuildError::density_not_finite(0.25, -INFINITY).message(),
             std::string("density is not finite at x=0.25 (value -inf)"));
    CHECK_EQ(BuildError::interpolation_failed(1e-12, 3.5).message(),
             std::string("the quantile function cannot be interpolated to u_resolution "
                         "0.000000000001 near x=3.5"));
    CHECK_EQ(BuildError::mass_not_found(varnix::detail_text::too_many_panels, -2.0).message(),
             std::string("the mass of the density cannot be found near x=-2: the integration "
                         "needs more than its limit of panels"));
    // The kinds that existed before keep their texts and compare equal as before.
    CHECK(BuildError::of(BuildErrorKind::NormalizationFailed) ==
          BuildError::of(BuildErrorKind::NormalizationFailed));
    CHECK(!(BuildError::density_negative(1.0, -1.0) == BuildError::density_negative(2.0, -1.0)));
}

// Density calls against scipy.stats.sampling.NumericalInversePolynomial(u_resolution=1e-12)
// on the same densities and intervals (scipy 1.17.1, measured with a counting Python density:
// 11873, 18153, 19721 and 19951 calls).
TEST(inverse_needs_fewer_density_calls_than_the_published_method_in_scipy) {
    const std::pair<const char*, std::size_t> cases[] = {
        {"normal on [-5, 5]", 11873},
        {"gamma(2) on [0, 40]", 18153},
        {"Student t(3) on [-2804, 2804]", 19721},
        {"normal mixture on [-10, 10]", 19951},
    };
    for (const auto& [name, scipy_calls] : cases) {
        const Built b = build(ref::shape(name), 1e-12);
        if (!(b.calls <= scipy_calls)) report(ref::shape(name), 1e-12, "calls", static_cast<double>(b.calls));
    }
}

TEST(inverse_refuses_resolutions_and_intervals_out_of_range) {
    auto f = [](double x) { return std::exp(-x * x); };
    for (const double u : {0.5e-14, 2e-5, 0.0, -1e-12, kNaN}) {
        const auto r = InterpolatedInverse::build(f, -1.0, 1.0, u);
        CHECK(!r && r.error().kind == BuildErrorKind::InvalidResolution);
        CHECK(!r && (r.error().value == u || std::isnan(u)));
    }
    CHECK_EQ(InterpolatedInverse::build(f, -1.0, 1.0, 2e-5).error().message(),
             std::string("u_resolution 0.00002 is outside [0.00000000000001, 0.00001]"));
    for (const auto& [lo, hi] : {std::pair{1.0, 1.0}, std::pair{2.0, 1.0}, std::pair{kNaN, 1.0},
                                 std::pair{0.0, kNaN}}) {
        const auto r = InterpolatedInverse::build(f, lo, hi, 1e-10);
        CHECK(!r && r.error().kind == BuildErrorKind::InvalidSupport);
    }
    // Unbounded and overflowing widths are searched for the window that holds the mass.
    const double inf = std::numeric_limits<double>::infinity();
    for (const auto& [lo, hi] : {std::pair{0.0, inf}, std::pair{-1e308, 1e308}, std::pair{-inf, inf}}) {
        const auto r = InterpolatedInverse::build(f, lo, hi, 1e-10);
        CHECK(r && r->cut() && r->lo() == lo && r->hi() == hi && r->quantile(0.0) == lo);
    }
    // The end resolutions themselves are accepted.
    CHECK(InterpolatedInverse::build(f, -1.0, 1.0, 1e-14).has_value());
    CHECK(InterpolatedInverse::build(f, -1.0, 1.0, 1e-5).has_value());
}

// From a distribution function instead of a density: the same contract against the exact
// distribution, for the quantiles, cdf and sf; the estimate covers the measured error. (The
// upper quantiles are read from masses 1 - F, so the grid there stops where F still has
// digits to spare.)
TEST(inverse_from_a_distribution_function_meets_its_resolution) {
    for (const double ures : {1e-12, 1e-10}) {
        for (const char* name : {"normal on [-5, 5]", "gamma(2) on [0, 40]", "N(7, 0.3) on [0, 40]",
                                 "Student t(3) on [-2804, 2804]", "normal mixture on [-10, 10]",
                                 "triangular on [2, 6], mode 3.2", "gamma(0.5) on [0, 40]",
                                 "beta(0.5, 0.5) on [0, 1]", "exponential on [0, 30]"}) {
            const ref::Shape& s = ref::shape(name);
            std::size_t calls = 0;
            auto F = [&](double x) {
                ++calls;
                return s.F(x);
            };
            InterpolationOptions o;
            o.u_resolution = ures;
            auto r = InterpolatedInverse::build_from_cdf(F, s.lo, s.hi, o);
            if (!r) {
                report(s, ures, (std::string("refused: ") + r.error().message()).c_str(), 0.0);
                continue;
            }
            CHECK_EQ(r->density_calls(), calls);
            CHECK(!r->has_density() && std::isnan(r->norm()));
            double worst = 0.0;
            for (const double u : ref::u_grid()) {
                const double x = r->quantile(u);
                worst = std::max(worst, s.u_error(x, u) - s.step_mass(x));
                worst = std::max(worst, std::fabs(r->cdf(x) - s.F(x)) - s.step_mass(x));
            }
            if (!(worst <= ures)) report(s, ures, "u-error from the cdf", worst);
            // Without the density the error between the nodes is estimated less closely: at a
            // kink (the triangle's mode) it can peak a little away from the points tested.
            if (!(worst <= 1.25 * r->max_u_error() || worst <= 0.0)) {
                report(s, ures, "estimate well below the measured error", r->max_u_error());
            }
            // beta(0.5, 0.5) reports the 6.7e-9 held by the last double below 1.
            const double floor = is_pole_at_both_ends(s) ? 6.8e-9 : 0.0;
            if (!(r->max_u_error() <= std::max(ures, floor))) {
                report(s, ures, "estimate", r->max_u_error());
            }
        }
    }
}

TEST(inverse_from_a_distribution_function_refuses_what_is_not_one) {
    InterpolationOptions o;
    o.u_resolution = 1e-12;
    auto nan_inside = [](double x) { return x > 0.3 && x < 0.4 ? kNaN : x; };
    auto r = InterpolatedInverse::build_from_cdf(nan_inside, 0.0, 1.0, o);
    CHECK(!r && r.error().kind == BuildErrorKind::CdfNotFinite);
    CHECK(!r && r.error().x > 0.3 && r.error().x < 0.4);
    auto falls = [](double x) { return x < 0.5 ? x : x - 0.25; };
    r = InterpolatedInverse::build_from_cdf(falls, 0.0, 1.0, o);
    CHECK(!r && r.error().kind == BuildErrorKind::CdfDecreasing);
    CHECK_EQ(BuildError::cdf_decreasing(0.5, 0.25).message(),
             std::string("distribution function decreases at x=0.5 (by 0.25 of its rise over the "
                         "interval)"));
    CHECK_EQ(BuildError::cdf_not_finite(0.25, kNaN).message(),
             std::string("distribution function is not finite at x=0.25 (value NaN)"));
    // A fall within the resolution is rounding: held level, and the build goes on.
    auto noisy = [](double x) { return x + (x > 0.5 && x < 0.6 ? -1e-14 : 0.0); };
    r = InterpolatedInverse::build_from_cdf(noisy, 0.0, 1.0, o);
    CHECK(r.has_value());
    // A distribution function with an atom-free flat part: no quantile falls inside it.
    auto flat = [](double x) { return x < 0.4 ? x : (x < 0.6 ? 0.4 : x - 0.2); };
    r = InterpolatedInverse::build_from_cdf([&](double x) { return flat(x) / 0.8; }, 0.0, 1.0, o);
    CHECK(r.has_value());
    if (r) {
        CHECK_NEAR(r->quantile(0.25), 0.2, 1e-11);
        CHECK_NEAR(r->quantile(0.75), 0.8, 1e-11);
        CHECK(r->quantile(0.5) >= 0.4 - 1e-12 && r->quantile(0.5) <= 0.6 + 1e-12);
        CHECK_NEAR(r->cdf(0.5), 0.5, 1e-12);
    }
}

// The state round trip gives the same object, query for query, with no density call; a state
// that the queries could not rely on is refused.
TEST(inverse_state_round_trip_and_refusals) {
    for (const char* name : {"normal on [-5, 5]", "gamma(0.5) on [0, 40]", "beta(0.5, 0.5) on [0, 1]"}) {
        const Built b = build(ref::shape(name), 1e-12);
        auto back = InterpolatedInverse::from_state(b.inverse.state());
        CHECK(back.has_value());
        if (!back) continue;
        bool same = back->intervals() == b.inverse.intervals() &&
                    back->max_u_error() == b.inverse.max_u_error() &&
                    back->mean() == b.inverse.mean() && back->variance() == b.inverse.variance() &&
                    back->entropy() == b.inverse.entropy() && back->norm() == b.inverse.norm();
        for (const double u : ref::u_grid()) {
            const double x = b.inverse.quantile(u);
            same = same && back->quantile(u) == x && back->cdf(x) == b.inverse.cdf(x) &&
                   back->sf(x) == b.inverse.sf(x) && back->quantile_upper(u) == b.inverse.quantile_upper(u);
        }
        auto r1 = ChaChaRng::seeded(4);
        auto r2 = ChaChaRng::seeded(4);
        std::vector<double> a, c;
        b.inverse.sample_n(1000, r1, a);
        back->sample_n(1000, r2, c);
        CHECK(same && a == c);
    }
    const Built b = build(ref::shape("gamma(0.5) on [0, 40]"), 1e-10);
    using Edit = void (*)(InterpolatedInverse::State&);
    const Edit edits[] = {
        [](InterpolatedInverse::State& s) { s.x.pop_back(); },
        [](InterpolatedInverse::State& s) { s.coefficients[3] = kNaN; },
        [](InterpolatedInverse::State& s) { std::swap(s.x[2], s.x[3]); },
        [](InterpolatedInverse::State& s) { s.u.back() = 1.0; },
        [](InterpolatedInverse::State& s) { s.u_resolution = 1.0; },
        [](InterpolatedInverse::State& s) { s.u[1] = 2.0; },
        [](InterpolatedInverse::State& s) { s.panels->values[5] = -1.0; },
        [](InterpolatedInverse::State& s) { s.panels->below.pop_back(); },
        [](InterpolatedInverse::State& s) { (*s.panels->lo_model)[2] = 1e9; },
        [](InterpolatedInverse::State& s) { s.panels->lo_model.reset(); },
        [](InterpolatedInverse::State& s) { s.panels->edges[4] = s.panels->edges[3]; },
        [](InterpolatedInverse::State& s) { s.panels->mass = -1.0; },
    };
    for (const Edit edit : edits) {
        auto st = b.inverse.state();
        edit(st);
        CHECK(!InterpolatedInverse::from_state(std::move(st)).has_value());
    }
    // A cdf-built one has no panels, and round-trips too.
    InterpolationOptions o;
    o.u_resolution = 1e-12;
    const ref::Shape& s = ref::shape("normal on [-5, 5]");
    auto c = InterpolatedInverse::build_from_cdf([&](double x) { return s.F(x); }, s.lo, s.hi, o);
    CHECK(c.has_value());
    if (c) {
        auto back = InterpolatedInverse::from_state(c->state());
        CHECK(back.has_value() && !back->has_density() && back->quantile(0.3) == c->quantile(0.3));
    }
}

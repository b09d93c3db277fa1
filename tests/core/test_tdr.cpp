#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "core/continuous/tdr.hpp"
#include "core/random.hpp"
#include "stats.hpp"

using varnix::BuildErrorKind;
using varnix::ChaChaRng;
using varnix::Interval;
using varnix::SampleErrorKind;
using varnix::TdrHat;
using varnix::TdrOptions;
using varnix::TdrTransform;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Interval between(double lo, double hi) { return Interval::make(lo, hi).value(); }

TdrOptions opts(TdrTransform t, std::size_t points = 30) {
    TdrOptions o;
    o.transform = t;
    o.construction_points = points;
    return o;
}

// Standard normal truncated to [-5, 5], normalised there.
const double kNormalMass = stats::normal_cdf(5.0) - stats::normal_cdf(-5.0);
double normal5(double x) { return stats::normal_pdf(x) / kNormalMass; }
double normal5_cdf(double x) { return (stats::normal_cdf(x) - stats::normal_cdf(-5.0)) / kNormalMass; }

template <class Density>
std::vector<double> draw_many(const TdrHat& hat, Density& f, std::size_t n, std::uint64_t seed) {
    auto rng = ChaChaRng::seeded(seed);
    std::vector<double> out;
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = hat.draw(rng, f);
        if (!x) break;
        out.push_back(*x);
    }
    return out;
}

}  // namespace

TEST(tdr_log_hat_over_normal_is_well_formed) {
    auto f = [](double x) { return normal5(x); };
    const auto hat = TdrHat::build(opts(TdrTransform::Log), between(-5.0, 5.0), f, std::nullopt);
    CHECK(hat.has_value());
    if (!hat) return;
    CHECK(hat->kind() == TdrHat::Kind::Tangent);
    CHECK_EQ(hat->points().size(), 32u);  // 30 midpoints and the two near-end points
    CHECK_EQ(hat->cumulative().back(), 1.0);
    bool ordered = true;
    for (std::size_t j = 0; j < hat->intersections().size(); ++j) {
        const double z = hat->intersections()[j];
        ordered = ordered && z > -5.0 && z < 5.0;
        if (j > 0) ordered = ordered && z >= hat->intersections()[j - 1];
    }
    CHECK(ordered);
    // Tangents to a concave ln f lie above it everywhere.
    bool above = true;
    for (int i = 0; i <= 1000; ++i) {
        const double x = -5.0 + i * 0.01;
        above = above && hat->log_hat(x) >= std::log(normal5(x)) - 1e-9;
    }
    CHECK(above);
}

TEST(tdr_small_construction_counts_are_raised) {
    auto f = [](double x) { return normal5(x); };
    std::vector<double> first;
    for (std::size_t cp : {0u, 1u, 2u, 3u, 4u}) {
        const auto hat = TdrHat::build(opts(TdrTransform::Log, cp), between(-5.0, 5.0), f, std::nullopt);
        CHECK(hat.has_value());
        if (!hat) continue;
        CHECK_EQ(hat->points().size(), 6u);
        if (first.empty()) first = hat->points();
        CHECK(hat->points() == first);
    }
    for (std::size_t cp : {0u, 31u, 32u, 40u}) {
        int calls = 0;
        auto counted = [&](double x) {
            ++calls;
            return normal5(x);
        };
        const auto hat = TdrHat::build(opts(TdrTransform::InvSqrt, cp), between(-5.0, 5.0), counted, std::nullopt);
        CHECK(hat.has_value());
        CHECK_EQ(calls, cp < 32 ? 32 : static_cast<int>(cp));
    }
}

TEST(tdr_build_failures) {
    auto kind = [](const auto& r) { return r.has_value() ? BuildErrorKind::InvalidDimension : r.error().kind; };
    const auto o = opts(TdrTransform::Log);

    // The hat is built on a validated Interval, and the density and its derivative are handed
    // over without a support of their own; the mismatch text stays in the vocabulary.
    CHECK(kind(Interval::make(-INFINITY, 5.0)) == BuildErrorKind::NonFinite);
    CHECK(kind(Interval::make(5.0, -5.0)) == BuildErrorKind::InvalidSupport);
    CHECK_EQ(varnix::BuildError::invalid_support(varnix::detail_text::tdr_support_mismatch).message(),
             "invalid support interval: pdf/dpdf support must match opts.support");

    // A constant density has equal slopes everywhere; a zero density has no usable point.
    auto flat = [](double) { return 0.5; };
    auto zero = [](double) { return 0.0; };
    auto nan = [](double) { return kNaN; };
    CHECK(kind(TdrHat::build(o, between(0.0, 2.0), flat, std::nullopt)) == BuildErrorKind::TdrHatFailed);
    CHECK(kind(TdrHat::build(o, between(0.0, 2.0), zero, std::nullopt)) == BuildErrorKind::TdrHatFailed);
    const auto inv = opts(TdrTransform::InvSqrt);
    CHECK(kind(TdrHat::build(inv, between(0.0, 2.0), zero, std::nullopt)) == BuildErrorKind::TdrHatFailed);
    CHECK(kind(TdrHat::build(inv, between(0.0, 2.0), nan, std::nullopt)) == BuildErrorKind::TdrHatFailed);

    // A density vanishing at an end: the tangent next to it is so steep that its intercept's
    // exponential overflows the area formula. The constant hat has no such problem.
    auto beta = [](double x) { return 12.0 * x * (1.0 - x) * (1.0 - x); };
    CHECK(kind(TdrHat::build(o, between(0.0, 1.0), beta, std::nullopt)) == BuildErrorKind::TdrHatFailed);
    CHECK(TdrHat::build(inv, between(0.0, 1.0), beta, std::nullopt).has_value());

    // A support narrower than twice the smallest difference step leaves no derivative defined.
    auto line = [](double x) { return 1.0 + x; };
    CHECK(kind(TdrHat::build(o, between(0.0, 1e-9), line, std::nullopt)) == BuildErrorKind::TdrHatFailed);
    // ln f with an inflection point: neighbouring tangents cross out of order.
    auto inflected = [](double x) { return std::exp(4.0 * (x - 0.07) * (x - 0.07) * (x - 0.07)); };
    CHECK(kind(TdrHat::build(o, between(-1.0, 1.0), inflected, std::nullopt)) == BuildErrorKind::TdrHatFailed);
    CHECK(TdrHat::build(inv, between(-1.0, 1.0), inflected, std::nullopt).has_value());
}

TEST(tdr_samples_follow_the_density) {
    const std::size_t n = 20000;
    auto f = [](double x) { return normal5(x); };
    auto df = [](double x) { return -x * normal5(x); };

    const auto numeric = TdrHat::build(opts(TdrTransform::Log), between(-5.0, 5.0), f, std::nullopt);
    const auto explicit_d = TdrHat::build(opts(TdrTransform::Log), between(-5.0, 5.0), f, df);
    const auto constant = TdrHat::build(opts(TdrTransform::InvSqrt), between(-5.0, 5.0), f, std::nullopt);
    CHECK(numeric && explicit_d && constant);
    if (!numeric || !explicit_d || !constant) return;
    for (const TdrHat* hat : {&*numeric, &*explicit_d, &*constant}) {
        const auto xs = draw_many(*hat, f, n, 11);
        CHECK_EQ(xs.size(), n);
        CHECK(stats::ks_statistic(xs, normal5_cdf) < stats::ks_critical_1pct(n));
    }
    // The two derivative sources give nearly the same tangents: central differences inside,
    // one-sided (first order) ones at the two points next to the ends.
    const std::size_t k = numeric->points().size();
    CHECK_EQ(explicit_d->points().size(), k);
    for (std::size_t i = 0; i < k; ++i) {
        const double exact = explicit_d->log_slopes()[i];
        const double rel = (i == 0 || i + 1 == k) ? 5e-3 : 1e-5;
        CHECK_NEAR(numeric->log_slopes()[i], exact, rel * std::fabs(exact));
    }

    // A skewed density: Gamma(2, 1) restricted to [0, 12].
    const double mass = 1.0 - 13.0 * std::exp(-12.0);
    auto g = [mass](double x) { return x * std::exp(-x) / mass; };
    auto g_cdf = [mass](double x) { return (1.0 - (1.0 + x) * std::exp(-x)) / mass; };
    const auto gamma = TdrHat::build(opts(TdrTransform::Log, 50), between(0.0, 12.0), g, std::nullopt);
    CHECK(gamma.has_value());
    if (gamma) {
        const auto xs = draw_many(*gamma, g, n, 12);
        CHECK_EQ(xs.size(), n);
        CHECK(stats::ks_statistic(xs, g_cdf) < stats::ks_critical_1pct(n));
    }

    // The constant hat samples a flat density uniformly, two uniforms per accepted draw.
    auto flat = [](double) { return 0.5; };
    const auto uniform_hat = TdrHat::build(opts(TdrTransform::InvSqrt), between(0.0, 2.0), flat, std::nullopt);
    CHECK(uniform_hat.has_value());
    if (uniform_hat) {
        CHECK_EQ(uniform_hat->pdf_max(), 0.5);
        auto rng = ChaChaRng::seeded(3);
        auto shadow = ChaChaRng::seeded(3);
        bool protocol = true;
        for (int i = 0; i < 100; ++i) {
            const auto x = uniform_hat->draw(rng, flat);
            const double u1 = varnix::uniform(shadow);
            varnix::uniform(shadow);
            protocol = protocol && x && *x == u1 * 2.0 + 0.0;
        }
        CHECK(protocol);
    }
}

// A word source that hands out a fixed list of words, in a cycle, and counts them.
struct ScriptedWords {
    std::vector<std::uint64_t> words;
    std::size_t used = 0;
    std::uint64_t next_u64() { return words[used++ % words.size()]; }
};

TEST(tdr_tangent_trial_takes_three_words) {
    auto f = [](double x) { return normal5(x); };
    const auto hat = TdrHat::build(opts(TdrTransform::Log), between(-5.0, 5.0), f, std::nullopt);
    CHECK(hat.has_value());
    if (!hat) return;
    // Segment and position from the first two words; the third, 0, accepts any proposal.
    ScriptedWords words{{0x8000000000000000ULL, 0x4000000000000000ULL, 0}};
    std::vector<double> xs;
    for (int i = 0; i < 10; ++i) xs.push_back(hat->draw(words, f).value());
    CHECK_EQ(words.used, 30u);
    CHECK(xs == std::vector<double>(10, xs[0]));
    CHECK(std::isfinite(xs[0]) && xs[0] > -5.0 && xs[0] < 5.0);
}

TEST(tdr_seeded_draws_repeat) {
    auto f = [](double x) { return normal5(x); };
    const auto hat = TdrHat::build(opts(TdrTransform::Log), between(-5.0, 5.0), f, std::nullopt);
    CHECK(hat.has_value());
    if (!hat) return;
    const auto a = draw_many(*hat, f, 500, 99);
    const auto b = draw_many(*hat, f, 500, 99);
    const auto c = draw_many(*hat, f, 500, 100);
    CHECK(a == b);
    CHECK(a != c);
}

TEST(tdr_draw_gives_up_after_max_tries) {
    bool broken = false;
    auto f = [&](double x) { return broken ? kNaN : normal5(x); };
    for (auto t : {TdrTransform::Log, TdrTransform::InvSqrt}) {
        auto o = opts(t);
        o.max_tries = 50;
        const auto hat = TdrHat::build(o, between(-5.0, 5.0), f, std::nullopt);
        CHECK(hat.has_value());
        if (!hat) continue;
        broken = true;
        auto rng = ChaChaRng::seeded(5);
        const auto x = hat->draw(rng, f);
        CHECK(!x.has_value() && x.error().kind == SampleErrorKind::TdrSampleFailed);
        // A trial whose density value is unusable stops before its acceptance uniform.
        auto shadow = ChaChaRng::seeded(5);
        for (int i = 0; i < (t == TdrTransform::Log ? 100 : 50); ++i) varnix::uniform(shadow);
        CHECK_EQ(varnix::uniform(rng), varnix::uniform(shadow));
        broken = false;
    }
}

TEST(tdr_lets_density_exceptions_through) {
    int calls = 0;
    auto f = [&](double x) {
        if (++calls > 40) throw std::runtime_error("abort");
        return normal5(x);
    };
    bool caught = false;
    try {
        const auto hat = TdrHat::build(opts(TdrTransform::Log), between(-5.0, 5.0), f, std::nullopt);
    } catch (const std::runtime_error&) {
        caught = true;
    }
    CHECK(caught);
}

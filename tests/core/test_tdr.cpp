#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>
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

template <class R>
BuildErrorKind kind(const R& r) {
    return r.has_value() ? BuildErrorKind::InvalidDimension : r.error().kind;
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

// A density and its exact distribution function on [lo, hi], both normalised there.
struct Shape {
    const char* name;
    double lo;
    double hi;
    std::function<double(double)> pdf;
    std::function<double(double)> cdf;
};

// Log-concave shapes whose tangents the exponentials of the segment ends cannot integrate
// (overflow or underflow), or whose neighbouring tangents are parallel.
std::vector<Shape> hard_log_concave_shapes() {
    const double exp_mass = -std::expm1(-50.0);
    const double lap_mass = 1.0 - std::exp(-20.0);
    const double n27_mass = stats::normal_cdf(27.0) - stats::normal_cdf(-27.0);
    return {
        {"beta(2, 5)", 0.0, 1.0, [](double x) { return 30.0 * x * std::pow(1.0 - x, 4); },
         [](double x) { return 1.0 - std::pow(1.0 - x, 6) - 6.0 * x * std::pow(1.0 - x, 5); }},
        {"exponential", 0.0, 50.0, [=](double x) { return std::exp(-x) / exp_mass; },
         [=](double x) { return -std::expm1(-x) / exp_mass; }},
        {"laplace", -20.0, 20.0, [=](double x) { return 0.5 * std::exp(-std::fabs(x)) / lap_mass; },
         [=](double x) {
             const double below = x < 0.0 ? 0.5 * (std::exp(x) - std::exp(-20.0))
                                           : 0.5 * lap_mass + 0.5 * -std::expm1(-x);
             return below / lap_mass;
         }},
        {"uniform", 0.0, 1.0, [](double) { return 1.0; }, [](double x) { return x; }},
        {"triangular", 2.0, 6.0,
         [](double x) { return x < 3.2 ? (x - 2.0) / 2.4 : (6.0 - x) / 5.6; },
         [](double x) {
             return x < 3.2 ? (x - 2.0) * (x - 2.0) / 4.8 : 1.0 - (6.0 - x) * (6.0 - x) / 11.2;
         }},
        {"normal on [-27, 27]", -27.0, 27.0, [=](double x) { return stats::normal_pdf(x) / n27_mass; },
         [=](double x) { return (stats::normal_cdf(x) - stats::normal_cdf(-27.0)) / n27_mass; }},
    };
}

// Tangent-hat sampling without a squeeze, written out from the published algorithm: every
// trial calls the density. The hat's squeeze must accept and reject exactly as this does.
template <class Density>
std::optional<double> draw_without_squeeze(const TdrHat& hat, double lo, double hi, Density& f,
                                           ChaChaRng& rng, std::size_t max_tries) {
    const auto& cum = hat.cumulative();
    const auto& z = hat.intersections();
    const auto& s = hat.log_slopes();
    const auto& xs = hat.points();
    const std::size_t k = cum.size();
    for (std::size_t trial = 0; trial < max_tries; ++trial) {
        const double u1 = varnix::uniform(rng);
        std::size_t j = k;
        for (std::size_t i = k; i-- > 0;) {
            if (cum[i] == u1) {
                j = i;
                break;
            }
        }
        if (j == k) j = static_cast<std::size_t>(std::upper_bound(cum.begin(), cum.end(), u1) - cum.begin());
        j = std::min(j, k - 1);
        const double u2 = varnix::uniform(rng);
        const double left = j == 0 ? lo : z[j - 1];
        const double right = j + 1 == k ? hi : z[j];
        double x;
        if (std::fabs(s[j]) < 1e-12) {
            x = (right - left) * u2 + left;
        } else {
            const double e_left = std::exp(left * s[j]);
            x = std::log((std::exp(right * s[j]) - e_left) * u2 + e_left) / s[j];
        }
        if (!std::isfinite(x)) return std::nullopt;
        x = std::clamp(x, lo, hi);
        const double fx = f(x);
        if (!(std::isfinite(fx) && fx > 0.0)) continue;
        const auto at = static_cast<std::size_t>(std::upper_bound(z.begin(), z.end(), x) - z.begin());
        // ln f at the point of tangency, recomputed from the same density value.
        const double y = std::log(f(xs[at]));
        const double t = (y - s[at] * xs[at]) + x * s[at];
        const double u3 = varnix::uniform(rng);
        if (std::log(u3) <= std::log(fx) - t) return x;
    }
    return std::nullopt;
}

}  // namespace

TEST(tdr_log_hat_over_normal_is_well_formed) {
    auto f = [](double x) { return normal5(x); };
    const auto hat = TdrHat::build(opts(TdrTransform::Log), between(-5.0, 5.0), f, std::nullopt);
    CHECK(hat.has_value());
    if (!hat) return;
    CHECK(hat->kind() == TdrHat::Kind::Tangent);
    CHECK(!hat->relative_areas());
    CHECK_EQ(hat->points().size(), 32u);  // 30 midpoints and the two near-end points
    CHECK_EQ(hat->cumulative().back(), 1.0);
    bool ordered = true;
    for (std::size_t j = 0; j < hat->intersections().size(); ++j) {
        const double z = hat->intersections()[j];
        ordered = ordered && z > -5.0 && z < 5.0;
        if (j > 0) ordered = ordered && z >= hat->intersections()[j - 1];
    }
    CHECK(ordered);
    // Tangents to a concave ln f lie above it everywhere, chords below it between the points.
    bool above = true;
    bool below = true;
    for (int i = 0; i <= 1000; ++i) {
        const double x = -5.0 + i * 0.01;
        above = above && hat->log_hat(x) >= std::log(normal5(x)) - 1e-9;
        below = below && hat->log_squeeze(x) <= std::log(normal5(x)) + 1e-12;
    }
    CHECK(above);
    CHECK(below);
    CHECK(hat->log_squeeze(-5.0) == -INFINITY && hat->log_squeeze(5.0) == -INFINITY);
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
    // The constant hat scans max(points, 32) cell midpoints first, then searches near the best.
    for (std::size_t cp : {0u, 31u, 32u, 40u}) {
        std::vector<double> seen;
        auto counted = [&](double x) {
            seen.push_back(x);
            return normal5(x);
        };
        const auto hat = TdrHat::build(opts(TdrTransform::InvSqrt, cp), between(-5.0, 5.0), counted, std::nullopt);
        CHECK(hat.has_value());
        const std::size_t m = cp < 32 ? 32 : cp;
        CHECK(seen.size() > m && seen.size() < m + 80);
        bool scan = seen.size() >= m;
        for (std::size_t i = 0; scan && i < m; ++i) {
            scan = seen[i] == ((static_cast<double>(i) + 0.5) / static_cast<double>(m)) * 10.0 - 5.0;
        }
        CHECK(scan);
    }
}

TEST(tdr_build_failures) {
    const auto o = opts(TdrTransform::Log);

    // The hat is built on a validated Interval, and the density and its derivative are handed
    // over without a support of their own; the mismatch text stays in the vocabulary.
    CHECK(kind(Interval::make(-INFINITY, 5.0)) == BuildErrorKind::NonFinite);
    CHECK(kind(Interval::make(5.0, -5.0)) == BuildErrorKind::InvalidSupport);
    CHECK_EQ(varnix::BuildError::invalid_support(varnix::detail_text::tdr_support_mismatch).message(),
             "invalid support interval: pdf/dpdf support must match opts.support");

    // A zero density has no usable point.
    auto zero = [](double) { return 0.0; };
    auto nan = [](double) { return kNaN; };
    CHECK(kind(TdrHat::build(o, between(0.0, 2.0), zero, std::nullopt)) == BuildErrorKind::TdrHatFailed);
    const auto inv = opts(TdrTransform::InvSqrt);
    CHECK(kind(TdrHat::build(inv, between(0.0, 2.0), zero, std::nullopt)) == BuildErrorKind::TdrHatFailed);
    CHECK(kind(TdrHat::build(inv, between(0.0, 2.0), nan, std::nullopt)) == BuildErrorKind::TdrHatFailed);

    // A support narrower than twice the smallest difference step leaves no derivative defined.
    auto line = [](double x) { return 1.0 + x; };
    CHECK(kind(TdrHat::build(o, between(0.0, 1e-9), line, std::nullopt)) == BuildErrorKind::TdrHatFailed);

    // An explicit derivative that is not the density's: the "tangents" do not cover the
    // density, whose own values are log-concave, so the hat fails without blaming it.
    auto f = [](double x) { return normal5(x); };
    auto flat = [](double) { return 0.0; };
    CHECK(kind(TdrHat::build(o, between(-5.0, 5.0), f, flat)) == BuildErrorKind::TdrHatFailed);
}

TEST(tdr_refuses_densities_that_are_not_log_concave) {
    const auto o = opts(TdrTransform::Log);
    // ln f with an inflection point; Student t(3), whose tails are log-convex; a step up.
    auto inflected = [](double x) { return std::exp(4.0 * (x - 0.07) * (x - 0.07) * (x - 0.07)); };
    auto t3 = [](double x) { return std::pow(1.0 + x * x / 3.0, -2.0); };
    auto step = [](double x) { return x < 1.0 ? 1.0 : 3.0; };
    for (const auto& [f, lo, hi] : {std::tuple<std::function<double(double)>, double, double>{inflected, -1.0, 1.0},
                                    {t3, -2804.0, 2804.0},
                                    {step, 0.0, 2.0}}) {
        const auto hat = TdrHat::build(o, between(lo, hi), f, std::nullopt);
        CHECK(kind(hat) == BuildErrorKind::TdrNotLogConcave);
        if (!hat) {
            CHECK(hat.error().x < hat.error().x_hi && lo <= hat.error().x && hat.error().x_hi <= hi);
        }
        // The constant hat serves any bounded density.
        CHECK(TdrHat::build(opts(TdrTransform::InvSqrt), between(lo, hi), f, std::nullopt).has_value());
    }

    const auto text = varnix::BuildError::tdr_not_log_concave(-2804, -2710.5).message();
    CHECK_EQ(text, "tdr: the density is not log-concave between x=-2804 and x=-2710.5 (the log "
                   "transform needs a log-concave density: try the InvSqrt transform)");
}

TEST(tdr_refuses_negative_densities_naming_the_point) {
    auto line = [](double x) { return x; };
    const auto log_hat = TdrHat::build(opts(TdrTransform::Log), between(-1.0, 2.0), line, std::nullopt);
    CHECK(kind(log_hat) == BuildErrorKind::DensityNegative);
    if (!log_hat) {
        // The first construction point, just inside the left end.
        CHECK_EQ(log_hat.error().x, -1.0 + 3.0 * 1e-12);
        CHECK_EQ(log_hat.error().value, log_hat.error().x);
    }
    const auto constant = TdrHat::build(opts(TdrTransform::InvSqrt), between(-1.0, 2.0), line, std::nullopt);
    CHECK(kind(constant) == BuildErrorKind::DensityNegative);
    if (constant) return;
    CHECK_EQ(constant.error().x, -1.0 + 3.0 / 64.0);  // the first midpoint of 32
    CHECK_EQ(constant.error().message(), "density is negative at x=-0.953125 (value -0.953125)");

    // Negative only where the numeric derivative looks: one step right of the first point.
    auto dented = [](double x) { return x > 0.9e-4 && x < 1.1e-4 ? -1.0 : 1.0 + x; };
    const auto dent = TdrHat::build(opts(TdrTransform::Log), between(0.0, 1.0), dented, std::nullopt);
    CHECK(kind(dent) == BuildErrorKind::DensityNegative);
}

TEST(tdr_builds_and_samples_hard_log_concave_shapes) {
    const std::size_t n = 20000;
    for (const Shape& shape : hard_log_concave_shapes()) {
        const auto hat = TdrHat::build(opts(TdrTransform::Log), between(shape.lo, shape.hi), shape.pdf, std::nullopt);
        CHECK(hat.has_value());
        if (!hat) {
            std::printf("  %s: %s\n", shape.name, hat.error().message().c_str());
            continue;
        }
        CHECK(hat->relative_areas());
        const auto xs = draw_many(*hat, shape.pdf, n, 21);
        CHECK_EQ(xs.size(), n);
        const double d = stats::ks_statistic(xs, shape.cdf);
        if (!(d < stats::ks_critical_1pct(n))) std::printf("  %s: KS %g\n", shape.name, d);
        CHECK(d < stats::ks_critical_1pct(n));

        // The squeeze stays under the density between the outer points, and the hat covers
        // it wherever the density is not negligible: up to the numeric derivative's slope error
        // (h^2 s^3 / 6), which leaves an exponential stretch a few 1e-6 under its tangents.
        const double a = hat->points().front();
        const double b = hat->points().back();
        bool covered = true;
        for (int i = 0; i <= 2000; ++i) {
            const double x = a + (b - a) * i / 2000.0;
            const double lf = std::log(shape.pdf(x));
            if (!(lf > -30.0)) continue;
            const bool ok = hat->log_hat(x) >= lf - 1e-5 && hat->log_squeeze(x) <= lf + 1e-12;
            if (!ok) std::printf("  %s: x=%.17g ln f=%.17g hat=%.17g squeeze=%.17g\n", shape.name, x, lf, hat->log_hat(x), hat->log_squeeze(x));
            covered = covered && ok;
        }
        CHECK(covered);
    }
}

TEST(tdr_wide_supports_of_log_concave_densities_are_not_refused) {
    // Wide supports make the numeric derivative's step large: its slope error leaves tangents
    // of nearly exponential stretches under the density far from their points, and points in
    // the far tails near underflow. None of that is a failure of log-concavity.
    auto normal = [](double x) { return std::exp(-0.5 * x * x); };
    auto decay = [](double x) { return std::exp(-x); };
    auto logistic = [](double x) { return 0.5 / (1.0 + std::cosh(x)); };
    for (const auto& [f, lo, hi, points] :
         {std::tuple<std::function<double(double)>, double, double, std::size_t>{decay, 0.0, 500.0, 30},
          {normal, -27.0, 27.0, 200}, {normal, 0.0, 100.0, 200}, {normal, 2.0, 100.0, 200},
          {logistic, -60.0, 60.0, 200}}) {
        const auto hat = TdrHat::build(opts(TdrTransform::Log, points), between(lo, hi), f, std::nullopt);
        CHECK(hat.has_value());
        if (!hat) {
            std::printf("  [%g, %g]: %s\n", lo, hi, hat.error().message().c_str());
            continue;
        }
        // The hat covers the density, to the concavity tolerance, wherever it has mass.
        double top = -INFINITY;
        for (double y : hat->points()) top = std::max(top, std::log(f(y)));
        bool covered = true;
        for (int i = 0; i <= 20000; ++i) {
            const double x = lo + (hi - lo) * i / 20000.0;
            const double lf = std::log(f(x));
            if (lf > top - 40.0) covered = covered && hat->log_hat(x) >= lf - TdrHat::kConcavityTolerance;
        }
        CHECK(covered);
    }
}

TEST(tdr_squeeze_keeps_every_accept_decision_and_every_word) {
    // Densities whose hats the exponentials of the segment ends integrate directly.
    const double gamma_mass = 1.0 - 13.0 * std::exp(-12.0);
    const double logistic_mass = std::tanh(5.0);
    std::vector<std::tuple<std::function<double(double)>, double, double, std::size_t>> cases = {
        {[](double x) { return normal5(x); }, -5.0, 5.0, 30},
        {[](double x) { return normal5(x); }, -5.0, 5.0, 4},
        {[](double x) { return normal5(x); }, -5.0, 5.0, 200},
        {[=](double x) { return x * std::exp(-x) / gamma_mass; }, 0.5, 12.0, 50},
        {[=](double x) { return 0.5 / (1.0 + std::cosh(x)) / logistic_mass; }, -10.0, 10.0, 30},
    };
    for (auto& [f, lo, hi, points] : cases) {
        const auto hat = TdrHat::build(opts(TdrTransform::Log, points), between(lo, hi), f, std::nullopt);
        CHECK(hat.has_value());
        if (!hat) continue;
        CHECK(!hat->relative_areas());
        int calls = 0;
        auto counted = [&](double x) {
            ++calls;
            return f(x);
        };
        const std::size_t n = 20000;
        auto rng = ChaChaRng::seeded(77);
        auto reference = ChaChaRng::seeded(77);
        bool same = true;
        for (std::size_t i = 0; i < n && same; ++i) {
            const auto x = hat->draw(rng, counted);
            const auto y = draw_without_squeeze(*hat, lo, hi, f, reference, 100000);
            same = x.has_value() && y.has_value() && *x == *y;
        }
        CHECK(same);
        CHECK_EQ(rng.words_drawn(), reference.words_drawn());
        if (points >= 30) CHECK(calls < static_cast<int>(n / 10));
    }
}

TEST(tdr_normal_needs_few_density_calls_per_draw) {
    int calls = 0;
    auto f = [&](double x) {
        ++calls;
        return normal5(x);
    };
    const auto hat = TdrHat::build(opts(TdrTransform::Log), between(-5.0, 5.0), f, std::nullopt);
    CHECK(hat.has_value());
    if (!hat) return;
    calls = 0;
    const std::size_t n = 100000;
    const auto xs = draw_many(*hat, f, n, 5);
    CHECK_EQ(xs.size(), n);
    CHECK(calls < static_cast<int>(n / 20));  // under 0.05 calls per draw
    CHECK(calls > 0);
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

TEST(tdr_constant_hat_reaches_the_maximum) {
    // Cauchy on [-100, 100]: the 32 midpoints miss the peak by a factor of ten.
    const double mass = 2.0 * std::atan(100.0);
    auto cauchy = [mass](double x) { return 1.0 / (1.0 + x * x) / mass; };
    auto cauchy_cdf = [mass](double x) { return (std::atan(x) + std::atan(100.0)) / mass; };
    const auto hat = TdrHat::build(opts(TdrTransform::InvSqrt), between(-100.0, 100.0), cauchy, std::nullopt);
    CHECK(hat.has_value());
    if (hat) {
        CHECK(hat->pdf_max() >= cauchy(0.0) && hat->pdf_max() <= cauchy(0.0) * (1.0 + 1e-5));
        const std::size_t n = 20000;
        const auto xs = draw_many(*hat, cauchy, n, 8);
        CHECK_EQ(xs.size(), n);
        CHECK(stats::ks_statistic(xs, cauchy_cdf) < stats::ks_critical_1pct(n));
    }
    // A decreasing density peaks at the left end, outside every midpoint.
    auto decay = [](double x) { return std::exp(-x); };
    const auto falling = TdrHat::build(opts(TdrTransform::InvSqrt), between(0.0, 50.0), decay, std::nullopt);
    CHECK(falling && falling->pdf_max() >= 1.0 && falling->pdf_max() < 1.0 + 1e-5);
    // A peak on a midpoint (the 16th of 32 on [0, 32]) keeps the scan's value exactly.
    auto bump = [](double x) { return std::exp(-(x - 15.5) * (x - 15.5)); };
    const auto on_point = TdrHat::build(opts(TdrTransform::InvSqrt), between(0.0, 32.0), bump, std::nullopt);
    CHECK(on_point && on_point->pdf_max() == 1.0);
}

TEST(tdr_draw_stops_where_the_density_exceeds_the_hat) {
    auto f = [](double x) { return normal5(x); };
    // Twice the density on [0.5, 1] after the build: a trial that looks there finds it above.
    auto raised = [](double x) { return x >= 0.5 && x <= 1.0 ? 2.0 * normal5(x) : normal5(x); };
    for (auto t : {TdrTransform::Log, TdrTransform::InvSqrt}) {
        const auto hat = TdrHat::build(opts(t), between(-5.0, 5.0), f, std::nullopt);
        CHECK(hat.has_value());
        if (!hat) continue;
        auto rng = ChaChaRng::seeded(9);
        std::optional<varnix::SampleError> error;
        for (int i = 0; i < 100000 && !error; ++i) {
            const auto x = hat->draw(rng, raised);
            if (!x) error = x.error();
        }
        CHECK(error.has_value());
        if (!error) continue;
        CHECK(error->kind == SampleErrorKind::TdrDensityAboveHat);
        CHECK(error->x >= 0.5 && error->x <= 1.0);
        CHECK_EQ(error->value, raised(error->x));
        const double hat_there = t == TdrTransform::Log ? std::exp(hat->log_hat(error->x)) : hat->pdf_max();
        CHECK_NEAR(error->limit, hat_there, 1e-12 * hat_there);
        CHECK(error->value > error->limit);
    }
    const auto e = varnix::SampleError::tdr_density_above_hat(0.75, 0.6, 0.31);
    CHECK_EQ(e.message(), "tdr: the density at x=0.75 is 0.6, above the hat (0.31): it is not "
                          "T-concave for the transform");
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
    // The constant hat: a trial whose density value is unusable stops before its second uniform.
    {
        auto o = opts(TdrTransform::InvSqrt);
        o.max_tries = 50;
        const auto hat = TdrHat::build(o, between(-5.0, 5.0), f, std::nullopt);
        CHECK(hat.has_value());
        if (hat) {
            broken = true;
            auto rng = ChaChaRng::seeded(5);
            const auto x = hat->draw(rng, f);
            CHECK(!x.has_value() && x.error().kind == SampleErrorKind::TdrSampleFailed);
            auto shadow = ChaChaRng::seeded(5);
            for (int i = 0; i < 50; ++i) varnix::uniform(shadow);
            CHECK_EQ(varnix::uniform(rng), varnix::uniform(shadow));
            broken = false;
        }
    }
    // The tangent hat: proposals at the left end, outside the squeeze, call the density first
    // and stop there, two words a trial.
    auto o = opts(TdrTransform::Log);
    o.max_tries = 50;
    const auto hat = TdrHat::build(o, between(-5.0, 5.0), f, std::nullopt);
    CHECK(hat.has_value());
    if (!hat) return;
    broken = true;
    ScriptedWords words{{0, 0}};
    const auto x = hat->draw(words, f);
    CHECK(!x.has_value() && x.error().kind == SampleErrorKind::TdrSampleFailed);
    CHECK_EQ(words.used, 100u);
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

// Draws one at a time with draw, until n or the first failure; the words they took.
struct OneByOne {
    std::vector<double> xs;
    std::optional<SampleErrorKind> stop;
    std::uint64_t words;
};

template <class Density>
OneByOne draws_one_by_one(const TdrHat& hat, Density& f, std::size_t n, std::uint64_t seed) {
    auto rng = ChaChaRng::seeded(seed);
    OneByOne r;
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = hat.draw(rng, f);
        if (!x) {
            r.stop = x.error().kind;
            break;
        }
        r.xs.push_back(*x);
    }
    r.words = rng.words_drawn();
    return r;
}

TEST(tdr_fill_gives_the_draws_of_draw_and_takes_their_words) {
    // The hat's batches of proposals must not change a value, a failure's place, or (when every
    // draw succeeds) the words taken. The clipped normal is zero beyond its outermost points,
    // where trials end after two words; the holed one is NaN on stretches under the squeeze.
    auto normal = [](double x) { return normal5(x); };
    std::size_t zeros = 0;  // two-word trials of the clipped normal
    auto clipped = [&zeros](double x) {
        if (std::fabs(x) < 3.0) return normal5(x);
        ++zeros;
        return 0.0;
    };
    auto holed = [](double x) {
        return std::fmod(std::fabs(x), 0.5) < 0.05 ? kNaN : normal5(x);
    };
    auto above = [](double x) { return x > 2.0 ? 10.0 : normal5(x); };  // over the hat
    struct Case {
        std::function<double(double)> build_with;
        std::function<double(double)> sample_with;
        std::size_t max_tries;
    };
    const std::vector<Case> cases = {{normal, normal, 100}, {clipped, clipped, 100},
                                     {normal, holed, 100}, {clipped, clipped, 1},
                                     {normal, above, 100}};
    std::size_t stops = 0;
    std::size_t sampled_zeros = 0;
    for (const auto& c : cases) {
        auto o = opts(TdrTransform::Log);
        o.max_tries = c.max_tries;
        const auto hat = TdrHat::build(o, between(-5.0, 5.0), c.build_with, std::nullopt);
        CHECK(hat.has_value());
        if (!hat) continue;
        const std::size_t zeros_in_build = zeros;
        for (std::size_t n : {1u, 15u, 16u, 17u, 2000u}) {
            auto f = c.sample_with;
            const OneByOne want = draws_one_by_one(*hat, f, n, 41 + n);
            std::vector<double> got(n, kNaN);
            auto rng = ChaChaRng::seeded(41 + n);
            const auto filled = hat->fill(std::span<double>(got), rng, f);
            if (want.stop) {
                ++stops;
                CHECK(!filled.has_value());
                if (filled) continue;
                CHECK_EQ(filled.error().filled, want.xs.size());
                CHECK(filled.error().error.kind == *want.stop);
                got.resize(filled.error().filled);
            } else {
                CHECK(filled.has_value());
                CHECK_EQ(rng.words_drawn(), want.words);
            }
            CHECK(got == want.xs);
        }
        sampled_zeros += zeros - zeros_in_build;
    }
    CHECK(sampled_zeros > 0);
    CHECK(stops >= 2);  // the single try and the density above the hat
}

TEST(tdr_guide_table_picks_the_segments_of_the_bisection) {
    // The guide table must pick exactly the segment the bisection rule picks, at every entry of
    // the table, next to it and between, on hats with direct and with relative areas (the
    // latter with segments of no mass, so equal entries).
    std::vector<std::pair<std::function<double(double)>, Interval>> hats = {
        {[](double x) { return normal5(x); }, between(-5.0, 5.0)}};
    for (const auto& shape : hard_log_concave_shapes()) {
        hats.emplace_back(shape.pdf, between(shape.lo, shape.hi));
    }
    auto rng = ChaChaRng::seeded(3);
    for (const auto& [f, support] : hats) {
        const auto hat = TdrHat::build(opts(TdrTransform::Log), support, f, std::nullopt);
        CHECK(hat.has_value());
        if (!hat) continue;
        const auto& cum = hat->cumulative();
        std::vector<double> us = {0.0, std::nextafter(1.0, 0.0)};
        for (double c : cum) {
            if (c >= 1.0) continue;
            us.insert(us.end(), {c, std::nextafter(c, 0.0), std::nextafter(c, 1.0)});
        }
        for (int i = 0; i < 20000; ++i) us.push_back(varnix::uniform(rng));
        bool same = true;
        for (double u : us) {
            const std::size_t want = std::min(
                varnix::search::position<varnix::search::LastEqualElseAbove>(cum.data(),
                                                                             cum.size(), u),
                cum.size() - 1);
            same = same && hat->pick_segment(u) == want;
        }
        CHECK(same);
    }
}

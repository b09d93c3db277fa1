#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/continuous/distribution.hpp"
#include "core/continuous/integrate.hpp"
#include "core/random.hpp"
#include "stats.hpp"

using varnix::BuildErrorKind;
using varnix::BuildOptionArgs;
using varnix::BuildOptions;
using varnix::ChaChaRng;
using varnix::ContinuousDistribution;
using varnix::Interval;
using varnix::SampleErrorKind;
using varnix::TdrTransform;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class R>
BuildErrorKind build_kind(const R& r) {
    return r.has_value() ? BuildErrorKind::InvalidDimension : r.error().kind;  // placeholder on success
}
template <class R>
std::string build_message(const R& r) {
    return r.has_value() ? "built" : r.error().message();
}
template <class R>
std::string sample_message(const R& r) {
    return r.has_value() ? "ok" : r.error().message();
}

// Beta(2, 3) on [0, 1]: a cubic density (integrated exactly) with a closed-form cdf.
double beta23(double x) { return 12.0 * x * (1.0 - x) * (1.0 - x); }
double beta23_cdf(double x) {
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    return x * x * (6.0 - 8.0 * x + 3.0 * x * x);
}

// A quadratic dome on [0, 1]: log-concave, positive at both ends, integrated exactly.
double dome(double x) { return (1.0 + x - x * x) / (7.0 / 6.0); }
double dome_derivative(double x) { return (1.0 - 2.0 * x) / (7.0 / 6.0); }
double dome_cdf(double x) {
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    return (x + x * x / 2.0 - x * x * x / 3.0) / (7.0 / 6.0);
}

// Standard normal kernel (unnormalised) and the normal law truncated to [a, b].
double kernel(double x) { return std::exp(-0.5 * x * x); }
double trunc_normal_cdf(double x, double a, double b) {
    return (stats::normal_cdf(x) - stats::normal_cdf(a)) / (stats::normal_cdf(b) - stats::normal_cdf(a));
}

// A valid interval, for arguments known to be valid.
Interval between(double lo, double hi) { return Interval::make(lo, hi).value(); }

std::vector<double> draws(const ContinuousDistribution::Bound& d, std::size_t n,
                          std::uint64_t seed) {
    auto rng = ChaChaRng::seeded(seed);
    std::vector<double> out;
    const auto ok = d.sample_n(n, rng, out);
    if (!ok) out.clear();
    return out;
}

// A word source that hands out a fixed list of words, in a cycle, and counts them.
struct ScriptedWords {
    std::vector<std::uint64_t> words;
    std::size_t used = 0;
    std::uint64_t next_u64() { return words[used++ % words.size()]; }
};

template <class Cdf>
bool passes_ks(const std::vector<double>& xs, std::size_t n, Cdf&& cdf) {
    return xs.size() == n && stats::ks_statistic(xs, cdf) < stats::ks_critical_1pct(n);
}

}  // namespace

TEST(continuous_interval_and_option_values) {
    CHECK_EQ(build_message(Interval::make(1.0, 1.0)),
             "invalid support interval: lo must be strictly less than hi");
    CHECK(build_kind(Interval::make(2.0, 1.0)) == BuildErrorKind::InvalidSupport);
    CHECK(build_kind(Interval::make(-0.0, 0.0)) == BuildErrorKind::InvalidSupport);
    CHECK_EQ(build_message(Interval::make(0.0, INFINITY)), "non-finite value in support bounds");
    CHECK(build_kind(Interval::make(kNaN, 1.0)) == BuildErrorKind::NonFinite);
    CHECK(build_kind(Interval::make(kNaN, kNaN)) == BuildErrorKind::NonFinite);
    CHECK(Interval::make(-1.5, 2.25).has_value());

    CHECK(varnix::parse_tdr_transform("LOG") == TdrTransform::Log);
    CHECK(varnix::parse_tdr_transform("Inv-Sqrt") == TdrTransform::InvSqrt);
    CHECK(varnix::parse_tdr_transform("invsqrt") == TdrTransform::InvSqrt);
    CHECK(!varnix::parse_tdr_transform(" log").has_value());
    CHECK(!varnix::parse_tdr_transform("").has_value());

    const BuildOptions defaults;
    CHECK_EQ(defaults.quad_tolerance, 1e-10);
    CHECK_EQ(defaults.ppf_tolerance, 1e-12);
    CHECK_EQ(defaults.max_iterations, 128u);
    CHECK(defaults.use_newton && !defaults.hermite_grid_size && !defaults.tdr);

    BuildOptionArgs args;
    args.hermite_grid_size = 64;
    args.tdr_transform = "no such transform";
    const auto grid_wins = BuildOptions::make(args);
    CHECK(grid_wins && grid_wins->hermite_grid_size == 64u && !grid_wins->tdr);

    BuildOptionArgs tdr_args;
    tdr_args.tdr_transform = "Foo";
    const auto unknown = BuildOptions::make(tdr_args);
    CHECK(!unknown && unknown.error().message() ==
                          "unknown TDR transform 'foo', expected 'log' or 'inv_sqrt'");
    const auto empty = BuildOptions::with_tdr_named("");
    CHECK(!empty && empty.error().message() ==
                        "unknown TDR transform '', expected 'log' or 'inv_sqrt'");
    tdr_args.tdr_transform = "inv_sqrt";
    tdr_args.tdr_dpdf_rel_step = 1e-3;
    const auto tdr = BuildOptions::make(tdr_args);
    CHECK(tdr && tdr->tdr && tdr->tdr->transform == TdrTransform::InvSqrt &&
          tdr->tdr->construction_points == 30u && tdr->tdr->dpdf_rel_step == 1e-3 &&
          tdr->tdr->max_tries == 100000u);
}

TEST(continuous_build_failures_in_order) {
    // A support that is not finite and increasing never reaches a builder: Interval::make
    // refuses it (continuous_interval_and_option_values).
    auto zero = [](double) { return 0.0; };
    auto nan_at_lo = [](double x) { return x == 0.0 ? kNaN : 1.0; };
    auto always_nan = [](double) { return kNaN; };  // a pdf that always raises
    for (auto r : {ContinuousDistribution::from_pdf(zero, between(0.0, 1.0)),
                   ContinuousDistribution::from_pdf(nan_at_lo, between(0.0, 1.0)),
                   ContinuousDistribution::from_pdf(always_nan, between(0.0, 1.0))}) {
        CHECK_EQ(build_message(r), "failed to normalize PDF on support");
    }

    // A cdf-defined distribution: the span check comes before the refusal of TDR.
    auto flat = [](double) { return 0.5; };
    auto line = [](double x) { return x; };
    const auto tdr = BuildOptions::with_tdr(TdrTransform::Log);
    CHECK(build_kind(ContinuousDistribution::from_cdf(flat, between(0.0, 1.0), tdr)) == BuildErrorKind::NormalizationFailed);
    CHECK_EQ(build_message(ContinuousDistribution::from_cdf(line, between(0.0, 1.0), tdr)),
             "invalid support interval: TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)");

    // TDR build errors end the construction with their own kind.
    auto bowl = [](double x) { return 1.0 + 4.0 * (x - 0.5) * (x - 0.5); };
    CHECK(build_kind(ContinuousDistribution::from_pdf(bowl, between(0.0, 1.0), tdr)) ==
          BuildErrorKind::TdrNotLogConcave);
}

TEST(continuous_density_queries) {
    // An unnormalised density: norm is 2, and pdf outside the support is the user's value / 2.
    auto f = [](double x) { return 2.0 * beta23(x); };
    const auto d = ContinuousDistribution::from_pdf(f, between(0.0, 1.0));
    CHECK(d.has_value());
    if (!d) return;
    CHECK(d->has_density() && !d->uses_tdr() && !d->uses_hermite_table());
    CHECK_NEAR(d->norm(), 2.0, 1e-12);
    CHECK_NEAR(*d->with(f).pdf(0.3), beta23(0.3), 1e-12);
    CHECK_EQ(*d->with(f).pdf(1.5), f(1.5) / d->norm());
    CHECK_EQ(d->with(f).cdf(-0.1), 0.0);
    CHECK_EQ(d->with(f).cdf(0.0), 0.0);
    CHECK_EQ(d->with(f).cdf(1.0), 1.0);
    CHECK_EQ(d->with(f).cdf(7.0), 1.0);
    CHECK(std::isnan(d->with(f).cdf(kNaN)));
    for (double x : {0.05, 0.3, 0.5, 0.9}) {
        CHECK_NEAR(d->with(f).cdf(x), beta23_cdf(x), 1e-12);
        CHECK_NEAR(d->with(f).sf(x), 1.0 - beta23_cdf(x), 1e-12);
        CHECK_NEAR(d->with(f).logcdf(x), std::log(beta23_cdf(x)), 1e-11);
        CHECK_NEAR(d->with(f).logsf(x), std::log(1.0 - beta23_cdf(x)), 1e-11);
        CHECK_NEAR(*d->with(f).logpdf(x), std::log(beta23(x)), 1e-12);
    }
    CHECK_EQ(d->with(f).sf(2.0), 0.0);
    CHECK_EQ(d->with(f).logcdf(0.0), -INFINITY);
    CHECK_EQ(d->with(f).logsf(1.0), -INFINITY);
    CHECK(!d->with(f).logpdf(0.0).has_value());  // density 0 gives no logarithm
    CHECK(!d->with(f).logpdf(-0.2).has_value());  // negative user value
    CHECK(d->support().lo() == 0.0 && d->support().hi() == 1.0);

    for (double u : {0.01, 0.5, 0.93}) {
        const auto x = d->with(f).ppf(u);
        CHECK(x.has_value());
        if (x) CHECK_NEAR(beta23_cdf(*x), u, 1e-11);
        const auto y = d->with(f).isf(u);
        if (y) CHECK_NEAR(beta23_cdf(*y), 1.0 - u, 1e-11);
    }
    CHECK_EQ(sample_message(d->with(f).ppf(0.0)), "quantile u=0 not in (0, 1)");
    CHECK_EQ(sample_message(d->with(f).ppf(1.0)), "quantile u=1 not in (0, 1)");
    CHECK_EQ(sample_message(d->with(f).ppf(kNaN)), "quantile u=NaN not in (0, 1)");
    CHECK_EQ(sample_message(d->with(f).isf(0.0)), "quantile u=1 not in (0, 1)");
    CHECK_EQ(sample_message(d->with(f).isf(1.25)), "quantile u=-0.25 not in (0, 1)");
}

TEST(continuous_cdf_defined_queries) {
    // User cdf x on [0.25, 0.75]: cdf_lo 0.25, span 0.5; values outside are not clamped.
    auto F = [](double x) { return x; };
    const auto d = ContinuousDistribution::from_cdf(F, between(0.25, 0.75));
    CHECK(d.has_value());
    if (!d) return;
    CHECK(!d->has_density());
    CHECK(!d->with(F).pdf(0.5).has_value() && !d->with(F).logpdf(0.5).has_value());
    CHECK_EQ(d->with(F).cdf(0.5), 0.5);
    CHECK_EQ(d->with(F).cdf(0.0), -0.5);
    CHECK_EQ(d->with(F).cdf(1.0), 1.5);
    CHECK_EQ(d->with(F).sf(1.0), 0.0);
    CHECK_EQ(d->with(F).logcdf(0.0), -INFINITY);
    CHECK_EQ(d->with(F).logsf(1.0), -INFINITY);
    CHECK_NEAR(*d->with(F).ppf(0.3), 0.4, 1e-12);
    CHECK_NEAR(*d->with(F).median(), 0.5, 1e-12);
    const auto iv = d->with(F).interval(0.5);
    CHECK(iv && std::fabs(iv->first - 0.375) < 1e-12 && std::fabs(iv->second - 0.625) < 1e-12);
    for (auto r : {d->with(F).mean(), d->with(F).var(), d->with(F).std_dev(), d->with(F).expect(F)}) {
        CHECK_EQ(sample_message(r), "operation requires an underlying PDF");
    }
    // No density, and no interpolated quantile function to take one from.
    CHECK_EQ(sample_message(d->with(F).entropy()),
             "entropy needs a density: build from the distribution function with "
             "BuildOptions.interpolated(), whose quantile function gives one");

    // A cdf that stops rising between build and query makes inversion fail.
    bool frozen = false;
    auto G = [&](double x) { return frozen ? 0.5 : x; };
    const auto g = ContinuousDistribution::from_cdf(G, between(0.0, 1.0));
    CHECK(g.has_value());
    frozen = true;
    if (g) CHECK_EQ(sample_message(g->with(G).ppf(0.5)), "failed to invert CDF");
}

TEST(continuous_every_engine_samples_the_distribution) {
    auto f = [](double x) { return dome(x); };
    const Interval unit = between(0.0, 1.0);
    BuildOptions bisect;
    bisect.use_newton = false;
    struct Case {
        const char* name;
        BuildOptions options;
        std::size_t n;
    };
    const Case cases[] = {
        {"newton", BuildOptions{}, 4000},
        {"bisection", bisect, 4000},
        {"hermite", BuildOptions::hermite(256), 20000},
        {"tdr log", BuildOptions::with_tdr(TdrTransform::Log), 20000},
        {"tdr inv_sqrt", BuildOptions::with_tdr(TdrTransform::InvSqrt), 20000},
    };
    for (const auto& c : cases) {
        const auto d = ContinuousDistribution::from_pdf(f, unit, c.options);
        CHECK(d.has_value());
        if (!d) continue;
        const bool ok = passes_ks(draws(d->with(f), c.n, 2024), c.n, dome_cdf);
        if (!ok) std::cerr << "engine " << c.name << "\n";
        CHECK(ok);
    }
    // From the distribution function, by bisection and through a table.
    auto F = [](double x) { return 5.0 + 2.0 * dome_cdf(x); };
    for (const auto& options : {BuildOptions{}, BuildOptions::hermite(128)}) {
        const auto d = ContinuousDistribution::from_cdf(F, unit, options);
        CHECK(d.has_value());
        if (d) CHECK(passes_ks(draws(d->with(F), 4000, 77), 4000, dome_cdf));
    }
}

TEST(continuous_sampling_protocol) {
    auto f = [](double x) { return dome(x); };
    const BuildOptions options[] = {BuildOptions{}, BuildOptions::hermite(64),
                                    BuildOptions::with_tdr(TdrTransform::Log)};
    for (const auto& o : options) {
        const auto d = ContinuousDistribution::from_pdf(f, between(0.0, 1.0), o);
        CHECK(d.has_value());
        if (!d) continue;
        // sample_n is sample() repeated on one generator, and a seed fixes the list.
        const auto batch = draws(d->with(f), 50, 7);
        auto rng = ChaChaRng::seeded(7);
        std::vector<double> singles;
        for (int i = 0; i < 50; ++i) singles.push_back(*d->with(f).sample(rng));
        CHECK(batch == singles);
        CHECK(batch == draws(d->with(f), 50, 7));
        CHECK(batch != draws(d->with(f), 50, 8));
        std::vector<double> none{1.0};
        CHECK(d->with(f).sample_n(0, rng, none).has_value() && none.empty());
    }
    // Inversion draws take exactly one word each: the draw is the quantile of its uniform.
    const auto h = ContinuousDistribution::from_pdf(f, between(0.0, 1.0), BuildOptions::hermite(64));
    if (h) {
        auto rng = ChaChaRng::seeded(9);
        const auto xs = draws(h->with(f), 20, 9);
        bool same = xs.size() == 20;
        for (std::size_t i = 0; same && i < xs.size(); ++i) same = xs[i] == *h->with(f).ppf(varnix::uniform(rng));
        CHECK(same);
        ScriptedWords words{{0x123456789abcdef0ULL, 0xfedcba9876543210ULL, 0x8000000000000000ULL}};
        std::vector<double> out;
        CHECK(h->with(f).sample_n(130, words, out).has_value());
        CHECK_EQ(words.used, 130u);
        bool mapped = out.size() == 130;
        for (std::size_t i = 0; mapped && i < out.size(); ++i) {
            mapped = out[i] == *h->with(f).ppf(varnix::unit_from_bits(words.words[i % 3]));
        }
        CHECK(mapped);
    }
    // The first failing draw ends the batch with its error.
    bool broken = false;
    auto g = [&](double x) { return broken ? kNaN : dome(x); };
    const auto t = ContinuousDistribution::from_pdf(g, between(0.0, 1.0), BuildOptions::with_tdr(TdrTransform::InvSqrt));
    CHECK(t.has_value());
    if (t) {
        broken = true;
        auto rng = ChaChaRng::seeded(1);
        std::vector<double> out;
        CHECK_EQ(sample_message(t->with(g).sample_n(3, rng, out)), "tdr failed to draw a sample");
    }
}

// Every engine ends a batch at its first failing draw, with that draw's error, and leaves in
// out exactly the draws completed before it (whatever out held on entry).
TEST(continuous_failed_batch_keeps_the_draws_before_the_failure) {
    auto f = [](double x) { return dome(x); };
    const std::vector<std::uint64_t> zero_at_70 = [] {
        std::vector<std::uint64_t> w(100, 0x9e3779b97f4a7c15ULL);
        w[70] = 0;  // the uniform 0, which has no quantile
        return w;
    }();
    for (const auto& o : {BuildOptions{}, BuildOptions::hermite(64)}) {
        const auto d = ContinuousDistribution::from_pdf(f, between(0.0, 1.0), o);
        CHECK(d.has_value());
        if (!d) continue;
        ScriptedWords words{zero_at_70};
        std::vector<double> out{-1.0, -2.0};
        CHECK_EQ(sample_message(d->with(f).sample_n(100, words, out)), "quantile u=0 not in (0, 1)");
        CHECK_EQ(words.used, 71u);
        CHECK_EQ(out.size(), 70u);
        const double expected = *d->with(f).ppf(varnix::unit_from_bits(zero_at_70[0]));
        bool same = true;
        for (double x : out) same = same && x == expected;
        CHECK(same);
    }

    // TDR: the density turns NaN after three draws, so the fourth never finds a point.
    int draws_left = -1;  // unlimited while the hat is built
    auto g = [&](double x) {
        if (draws_left == 0) return kNaN;
        if (draws_left > 0) --draws_left;
        return dome(x);
    };
    BuildOptions tdr = BuildOptions::with_tdr(TdrTransform::InvSqrt);
    tdr.tdr->max_tries = 50;
    const auto t = ContinuousDistribution::from_pdf(g, between(0.0, 1.0), tdr);
    CHECK(t.has_value());
    if (t) {
        draws_left = 3;
        ScriptedWords words{{0x4000000000000000ULL, 0}};  // x = 0.25, always accepted
        std::vector<double> out{-1.0};
        CHECK_EQ(sample_message(t->with(g).sample_n(10, words, out)), "tdr failed to draw a sample");
        CHECK(out == std::vector<double>(3, 0.25));
        CHECK_EQ(words.used, 3u * 2u + 50u);  // two words per accepted trial, one per failed one
    }
}

TEST(continuous_accelerator_choice) {
    auto f = [](double x) { return dome(x); };
    BuildOptions both = BuildOptions::with_tdr(TdrTransform::Log);
    both.hermite_grid_size = 32;
    both.ppf_tolerance = 1e-2;  // not kept with a hat: quantiles use 1e-12 and 128 iterations
    const auto d = ContinuousDistribution::from_pdf(f, between(0.0, 1.0), both);
    CHECK(d && d->uses_tdr() && !d->uses_hermite_table());
    if (d) CHECK_NEAR(dome_cdf(*d->with(f).ppf(0.37)), 0.37, 1e-12);

    const auto h = ContinuousDistribution::from_pdf(f, between(0.0, 1.0), BuildOptions::hermite(128));
    CHECK(h && !h->uses_tdr() && h->uses_hermite_table());
    if (h) CHECK_NEAR(dome_cdf(*h->with(f).ppf(0.37)), 0.37, 1e-8);

    // The derivative is called only for a TDR build, and is then used for the tangents.
    int dpdf_calls = 0;
    auto df = [&](double x) {
        ++dpdf_calls;
        return dome_derivative(x);
    };
    const auto plain = ContinuousDistribution::from_pdf(f, between(0.0, 1.0), BuildOptions{}, df);
    CHECK(plain.has_value());
    CHECK_EQ(dpdf_calls, 0);
    const auto with_d = ContinuousDistribution::from_pdf(f, between(0.0, 1.0), BuildOptions::with_tdr(TdrTransform::Log), df);
    CHECK(with_d.has_value());
    CHECK(dpdf_calls > 0);
    if (with_d) CHECK(passes_ks(draws(with_d->with(f), 20000, 5), 20000, dome_cdf));
}

TEST(continuous_histogram) {
    const std::vector<double> edges{0.0, 1.0, 3.0};
    const std::vector<double> counts{1.0, 1.0};
    for (bool density : {false, true}) {
        const auto d = ContinuousDistribution::from_histogram(edges, counts, density);
        CHECK(d.has_value());
        if (!d) continue;
        // The normalising integral over the jump is accurate to a few 1e-10.
        CHECK_NEAR(*d->without_function().pdf(0.5), 0.5, 1e-8);
        CHECK_NEAR(*d->without_function().pdf(1.0), 0.25, 1e-8);  // an interior edge belongs to the right bin
        CHECK_NEAR(*d->without_function().pdf(2.0), 0.25, 1e-8);
        CHECK_NEAR(*d->without_function().pdf(3.0), 0.25, 1e-8);  // the last bin is closed
        CHECK_EQ(*d->without_function().pdf(3.5), 0.0);
        CHECK_EQ(*d->without_function().pdf(-0.1), 0.0);
        CHECK_EQ(*d->without_function().pdf(kNaN), 0.0);
        CHECK_NEAR(d->without_function().cdf(2.0), 0.75, 1e-9);
        CHECK(d->support().lo() == 0.0 && d->support().hi() == 3.0);
    }
    const auto raw_false = ContinuousDistribution::from_histogram(edges, counts, false);
    const auto raw_true = ContinuousDistribution::from_histogram(edges, counts, true);
    CHECK(raw_false && raw_true);
    if (raw_false && raw_true) {
        CHECK_NEAR(raw_false->norm(), 1.0, 1e-8);
        CHECK_NEAR(raw_true->norm(), 2.0, 1e-8);
        CHECK_EQ(*raw_false->without_function().pdf(0.5) / *raw_false->without_function().pdf(2.0), 2.0);
    }

    using V = std::vector<double>;
    auto hist_kind = [](V e, V c) { return build_kind(ContinuousDistribution::from_histogram(e, c, false)); };
    CHECK(hist_kind({0.0}, {}) == BuildErrorKind::InvalidHistogram);
    CHECK(hist_kind({0.0, 1.0}, {1.0, 2.0}) == BuildErrorKind::InvalidHistogram);
    CHECK(hist_kind({0.0, 0.0}, {1.0}) == BuildErrorKind::InvalidHistogram);
    CHECK(hist_kind({0.0, INFINITY}, {1.0}) == BuildErrorKind::InvalidHistogram);
    CHECK(hist_kind({0.0, 1.0, 2.0}, {1.0, -1.0}) == BuildErrorKind::InvalidHistogram);
    CHECK(hist_kind({0.0, 1.0, 2.0}, {1.0, kNaN}) == BuildErrorKind::InvalidHistogram);
    CHECK(hist_kind({0.0, 1.0, 2.0}, {0.0, 0.0}) == BuildErrorKind::NormalizationFailed);
    CHECK(ContinuousDistribution::from_histogram(V{0.0, 1.0, 2.0}, V{-0.0, 1.0}, false).has_value());
    // Edges are checked before counts.
    CHECK(hist_kind({1.0, 0.0}, {kNaN}) == BuildErrorKind::InvalidHistogram);

    // Piecewise constant: the step up is not log-concave, the constant hat works.
    const V e3{0.0, 1.0, 2.0, 4.0};
    const V c3{1.0, 3.0, 2.0};
    auto hist_cdf = [](double x) {
        if (x <= 0.0) return 0.0;
        if (x <= 1.0) return x / 6.0;
        if (x <= 2.0) return (1.0 + 3.0 * (x - 1.0)) / 6.0;
        if (x <= 4.0) return (4.0 + (x - 2.0)) / 6.0;
        return 1.0;
    };
    CHECK(build_kind(ContinuousDistribution::from_histogram(e3, c3, false, BuildOptions::with_tdr(TdrTransform::Log))) ==
          BuildErrorKind::TdrNotLogConcave);
    for (const auto& o : {BuildOptions::with_tdr(TdrTransform::InvSqrt), BuildOptions::hermite(512)}) {
        const auto d = ContinuousDistribution::from_histogram(e3, c3, false, o);
        CHECK(d.has_value());
        if (d) CHECK(passes_ks(draws(d->without_function(), 20000, 31), 20000, hist_cdf));
    }
}

TEST(continuous_truncation) {
    auto f = [](double x) { return kernel(x); };
    const Interval base = between(-8.0, 8.0);
    const double a = -1.0;
    const double b = 2.0;
    const auto d = ContinuousDistribution::truncated(f, base, between(a, b));
    CHECK(d.has_value());
    if (!d) return;
    CHECK(d->support().lo() == a && d->support().hi() == b);
    // Closed forms of the truncated normal.
    const double z = stats::normal_cdf(b) - stats::normal_cdf(a);
    const double pa = stats::normal_pdf(a);
    const double pb = stats::normal_pdf(b);
    const double mean = (pa - pb) / z;
    const double var = 1.0 + (a * pa - b * pb) / z - mean * mean;
    CHECK_NEAR(*d->with(f).mean(), mean, 1e-8);
    CHECK_NEAR(*d->with(f).var(), var, 1e-8);
    CHECK_NEAR(*d->with(f).std_dev(), std::sqrt(var), 1e-8);
    CHECK_NEAR(d->with(f).cdf(0.5), trunc_normal_cdf(0.5, a, b), 1e-9);
    CHECK_NEAR(*d->with(f).pdf(0.5), stats::normal_pdf(0.5) / z, 1e-9);
    CHECK_EQ(*d->with(f).pdf(2.5), 0.0);
    CHECK(!d->with(f).logpdf(-1.5).has_value());
    CHECK(passes_ks(draws(d->with(f), 3000, 4), 3000, [&](double x) { return trunc_normal_cdf(x, a, b); }));
    const auto t = ContinuousDistribution::truncated(f, base, between(a, b), BuildOptions::with_tdr(TdrTransform::Log));
    CHECK(t.has_value());
    if (t) CHECK(passes_ks(draws(t->with(f), 20000, 4), 20000, [&](double x) { return trunc_normal_cdf(x, a, b); }));

    // Truncating to the whole support gives the plain distribution.
    const auto same = ContinuousDistribution::truncated(f, base, base);
    const auto plain = ContinuousDistribution::from_pdf(f, base);
    CHECK(same && plain);
    if (same && plain) {
        for (double x : {-2.0, 0.1, 1.7}) CHECK_NEAR(same->with(f).cdf(x), plain->with(f).cdf(x), 1e-9);
    }

    auto kind = [&](Interval support, Interval trunc) { return build_kind(ContinuousDistribution::truncated(f, support, trunc)); };
    CHECK_EQ(build_message(ContinuousDistribution::truncated(f, base, between(-9.0, 0.0))),
             "truncation interval must lie inside base support");
    CHECK(kind(base, between(0.0, 8.5)) == BuildErrorKind::TruncationOutsideSupport);
    CHECK(ContinuousDistribution::truncated(f, base, between(-8.0, 0.0)).has_value());
    auto nan_inside = [](double x) { return x > 0.0 ? kNaN : 1.0; };
    CHECK(build_kind(ContinuousDistribution::truncated(nan_inside, between(-1.0, 1.0), between(-0.5, 0.5))) ==
          BuildErrorKind::NormalizationFailed);
}

TEST(continuous_location_scale) {
    auto f = [](double x) { return beta23(x); };
    const auto d = ContinuousDistribution::loc_scale(f, between(0.0, 1.0), 2.0, 3.0);
    CHECK(d.has_value());
    if (!d) return;
    CHECK(d->support().lo() == 2.0 && d->support().hi() == 5.0);
    CHECK_NEAR(d->norm(), 1.0, 1e-12);
    // The base bounds are inclusive: the ends use f(0) / 3 and f(1) / 3.
    auto g = [](double x) { return 1.0 + x; };
    const auto e = ContinuousDistribution::loc_scale(g, between(0.0, 1.0), 2.0, 3.0);
    CHECK(e.has_value());
    if (e) {
        CHECK_EQ(*e->with(g).pdf(2.0), (1.0 / 3.0) / e->norm());
        CHECK_EQ(*e->with(g).pdf(5.0), (2.0 / 3.0) / e->norm());
        CHECK_EQ(*e->with(g).pdf(5.0001), 0.0);
    }
    CHECK_NEAR(*d->with(f).mean(), 2.0 + 3.0 * 0.4, 1e-10);
    CHECK_NEAR(*d->with(f).var(), 9.0 * 0.04, 1e-10);
    CHECK_NEAR(d->with(f).cdf(3.5), beta23_cdf(0.5), 1e-12);
    auto h = [](double x) { return dome(x); };
    auto shifted_cdf = [](double x) { return dome_cdf((x - 2.0) / 3.0); };
    for (const auto& o : {BuildOptions::hermite(128), BuildOptions::with_tdr(TdrTransform::Log)}) {
        const auto s = ContinuousDistribution::loc_scale(h, between(0.0, 1.0), 2.0, 3.0, o);
        CHECK(s.has_value());
        if (s) CHECK(passes_ks(draws(s->with(h), 20000, 6), 20000, shifted_cdf));
    }

    // The scale is checked first, then the shifted bounds.
    for (double scale : {0.0, -0.0, -1.0, double(INFINITY), kNaN}) {
        CHECK_EQ(build_message(ContinuousDistribution::loc_scale(f, between(0.0, 1.0), INFINITY, scale)),
                 "scale must be finite and positive");
    }
    CHECK(build_kind(ContinuousDistribution::loc_scale(f, between(0.0, 1.0), INFINITY, 1.0)) == BuildErrorKind::NonFinite);
    CHECK(build_kind(ContinuousDistribution::loc_scale(f, between(0.0, 1.0), 1e20, 1.0)) == BuildErrorKind::InvalidSupport);
}

TEST(continuous_summaries) {
    auto one = [](double) { return 1.0; };
    const auto u = ContinuousDistribution::from_pdf(one, between(0.0, 1.0));
    CHECK(u.has_value());
    if (!u) return;
    CHECK_NEAR(*u->with(one).mean(), 0.5, 1e-12);
    CHECK_NEAR(*u->with(one).var(), 1.0 / 12.0, 1e-12);
    CHECK_NEAR(*u->with(one).std_dev(), std::sqrt(1.0 / 12.0), 1e-12);
    CHECK_NEAR(*u->with(one).entropy(), 0.0, 1e-12);
    CHECK_NEAR(*u->with(one).median(), 0.5, 1e-12);
    CHECK_NEAR(*u->with(one).expect(one), 1.0, 1e-12);
    const auto iv = u->with(one).interval(0.5);
    CHECK(iv && std::fabs(iv->first - 0.25) < 1e-12 && std::fabs(iv->second - 0.75) < 1e-12);
    CHECK_EQ(sample_message(u->with(one).interval(0.0)), "confidence 0 must be in (0, 1)");
    CHECK_EQ(sample_message(u->with(one).interval(1.0)), "confidence 1 must be in (0, 1)");
    CHECK_EQ(sample_message(u->with(one).interval(kNaN)), "confidence NaN must be in (0, 1)");
    auto nan_at_lo = [](double x) { return x == 0.0 ? kNaN : x; };
    CHECK_EQ(sample_message(u->with(one).expect(nan_at_lo)), "numerical integration failed");

    const auto wide = ContinuousDistribution::from_pdf(one, between(0.0, 2.0));
    CHECK(wide && std::fabs(*wide->with(one).entropy() - std::log(2.0)) < 1e-12);

    // expect calls func at every node, after the density, even where the density is 0.
    auto f = [](double x) { return beta23(x); };
    const auto b = ContinuousDistribution::from_pdf(f, between(0.0, 1.0));
    CHECK(b.has_value());
    if (b) {
        int calls = 0;
        auto square = [&](double x) {
            ++calls;
            return x * x;
        };
        CHECK_NEAR(*b->with(f).expect(square), 0.2, 1e-10);  // E[X^2] = var + mean^2 = 0.04 + 0.16
        CHECK(calls > 0 && calls % 3 == 0);
        CHECK_NEAR(*b->with(f).entropy(), -0.2349066497880, 1e-9);
    }

    // A density that fails after the build: NaN ends as IntegrationFailed, except in entropy.
    bool broken = false;
    auto g = [&](double x) { return (broken && x > 0.5) ? kNaN : beta23(x); };
    const auto c = ContinuousDistribution::from_pdf(g, between(0.0, 1.0));
    CHECK(c.has_value());
    if (c) {
        broken = true;
        CHECK_EQ(sample_message(c->with(g).mean()), "numerical integration failed");
        CHECK_EQ(sample_message(c->with(g).var()), "numerical integration failed");
        CHECK(c->with(g).entropy().has_value());
    }

    // A variance lost to cancellation is reported as 0, never negative.
    auto narrow = [](double) { return 1.0; };
    const auto n = ContinuousDistribution::from_pdf(narrow, between(1e8, 1e8 + 1e-6));
    CHECK(n.has_value());
    if (n) CHECK(*n->with(narrow).var() >= 0.0);
}

TEST(continuous_user_exceptions_pass_through) {
    int calls = 0;
    int limit = 1 << 30;
    auto f = [&](double x) {
        if (++calls > limit) throw std::runtime_error("abort");
        return dome(x);
    };
    auto throws = [&](auto&& action) {
        calls = 0;
        try {
            action();
        } catch (const std::runtime_error&) {
            return true;
        }
        return false;
    };
    const auto d = ContinuousDistribution::from_pdf(f, between(0.0, 1.0));
    const auto t = ContinuousDistribution::from_pdf(f, between(0.0, 1.0), BuildOptions::with_tdr(TdrTransform::Log));
    CHECK(d && t);
    if (!d || !t) return;
    limit = 5;
    CHECK(throws([&] { (void)ContinuousDistribution::from_pdf(f, between(0.0, 1.0), BuildOptions::hermite(64)); }));
    CHECK(throws([&] { (void)ContinuousDistribution::truncated(f, between(0.0, 1.0), between(0.2, 0.8)); }));
    CHECK(throws([&] { (void)d->with(f).ppf(0.3); }));
    CHECK(throws([&] { (void)d->with(f).mean(); }));
    CHECK(throws([&] {
        auto rng = ChaChaRng::seeded(1);
        std::vector<double> out;
        (void)t->with(f).sample_n(200000, rng, out);  // the squeeze spares most density calls
    }));
}

TEST(continuous_negative_densities_are_refused_at_build) {
    auto line = [](double x) { return x; };
    const auto pdf = ContinuousDistribution::from_pdf(line, between(-1.0, 2.0));
    CHECK(build_kind(pdf) == BuildErrorKind::DensityNegative);
    CHECK_EQ(build_message(pdf), std::string("density is negative at x=-1 (value -1)"));
    const auto cut =
        ContinuousDistribution::truncated(line, between(-1.0, 3.0), between(-0.5, 2.0));
    CHECK_EQ(build_message(cut), std::string("density is negative at x=-0.5 (value -0.5)"));
    const auto moved = ContinuousDistribution::loc_scale(line, between(-1.0, 2.0), 10.0, 2.0);
    CHECK_EQ(build_message(moved), std::string("density is negative at x=8 (value -0.5)"));

    // A negative value at one point that only a Hermite node's integral evaluates.
    auto spike = [](double x) { return x == 0.1875 ? -1.0 : 1.0; };
    BuildOptions table;
    table.hermite_grid_size = 8;
    CHECK_EQ(build_message(ContinuousDistribution::from_pdf(spike, between(0.0, 1.0), table)),
             std::string("density is negative at x=0.1875 (value -1)"));
    // The document's own refusal comes first: a normalising integral that is not positive.
    auto below = [](double x) { return x - 2.0; };
    CHECK(build_kind(ContinuousDistribution::from_pdf(below, between(-1.0, 2.0))) ==
          BuildErrorKind::NormalizationFailed);
    // Zero is not negative, nor is -0.0.
    auto half_zero = [](double x) { return x < 0.5 ? -0.0 : 1.0; };
    CHECK(ContinuousDistribution::from_pdf(half_zero, between(0.0, 1.0)).has_value());
}

// The interpolated engine: built from every kind of source, it answers every query but pdf
// without calling the user function, draws one word per draw (the draw is the quantile of its
// uniform), and its quantiles and summaries are those of the exact distribution.
TEST(continuous_interpolated_engine) {
    const BuildOptions o = BuildOptions::interpolated(1e-12).value();
    CHECK(!BuildOptions::interpolated(0.5e-14).has_value());
    CHECK(!BuildOptions::interpolated(kNaN).has_value());
    CHECK_EQ(BuildOptions::interpolated(2e-5).error().message(),
             std::string("u_resolution 0.00002 is outside [0.00000000000001, 0.00001]"));
    std::size_t calls = 0;
    auto f = [&](double x) {
        ++calls;
        return beta23(x);
    };
    const auto d = ContinuousDistribution::from_pdf(f, between(0.0, 1.0), o);
    CHECK(d.has_value());
    if (!d) return;
    CHECK(d->uses_interpolation() && !d->uses_hermite_table() && !d->uses_tdr());
    CHECK(d->interpolation()->max_u_error() <= 1e-12);
    CHECK_NEAR(d->norm(), 1.0, 1e-14);  // beta23 is normalised
    calls = 0;
    const auto b = d->with(f);
    for (const double u : {1e-12, 1e-6, 0.3, 0.5, 0.9, 1.0 - 1e-9}) {
        const double x = *b.ppf(u);
        CHECK_NEAR(beta23_cdf(x), u, 1e-12);
        CHECK_NEAR(b.cdf(x), u, 1e-13);
        CHECK_NEAR(b.sf(x), 1.0 - u, 1e-13);
    }
    CHECK_NEAR(beta23_cdf(*b.isf(1e-9)), 1.0 - 1e-9, 1e-12);
    CHECK_NEAR(*b.mean(), 0.4, 1e-13);
    CHECK_NEAR(*b.var(), 0.04, 1e-14);  // 2 * 3 / (25 * 6)
    CHECK_NEAR(*b.std_dev(), 0.2, 1e-13);
    const auto [lo, hi] = *b.interval(0.9);
    CHECK_NEAR(beta23_cdf(lo), 0.05, 1e-12);
    CHECK_NEAR(beta23_cdf(hi), 0.95, 1e-12);
    CHECK_NEAR(*b.expect([](double x) { return x * x; }), 0.2, 1e-13);
    CHECK_EQ(*b.ppf(0.0), 0.0);  // the closed unit interval: the support's ends
    CHECK_EQ(*b.ppf(1.0), 1.0);
    CHECK_EQ(sample_message(b.ppf(-0.5)), "quantile u=-0.5 not in (0, 1)");
    CHECK_EQ(sample_message(b.isf(1.5)), "quantile u=-0.5 not in (0, 1)");
    CHECK_EQ(sample_message(b.expect([](double) { return kNaN; })), "numerical integration failed");
    // One word per draw, each draw the quantile of its uniform.
    ScriptedWords words{{0x123456789abcdef0ULL, 0xfedcba9876543210ULL, 0x8000000000000000ULL}};
    std::vector<double> out;
    CHECK(b.sample_n(130, words, out).has_value());
    CHECK_EQ(words.used, 130u);
    bool mapped = out.size() == 130;
    for (std::size_t i = 0; mapped && i < out.size(); ++i) {
        mapped = out[i] == *b.ppf(varnix::unit_from_bits(words.words[i % 3]));
    }
    CHECK(mapped);
    auto rng = ChaChaRng::seeded(3);
    CHECK_EQ(*b.sample(rng), draws(b, 1, 3).at(0));
    CHECK_EQ(calls, 0u);  // not one call of the density since the build
    CHECK_NEAR(*b.pdf(0.5), beta23(0.5), 1e-14);
    CHECK_EQ(calls, 1u);

    // From the distribution function: quantiles to the resolution, no density summaries.
    calls = 0;
    auto F = [&](double x) {
        ++calls;
        return 5.0 + beta23_cdf(x);  // any offset: the build rescales
    };
    const auto c = ContinuousDistribution::from_cdf(F, between(0.0, 1.0), o);
    CHECK(c.has_value());
    if (c) {
        calls = 0;
        const auto cb = c->with(F);
        CHECK_NEAR(beta23_cdf(*cb.ppf(0.3)), 0.3, 1e-12);
        CHECK_NEAR(cb.cdf(0.25), beta23_cdf(0.25), 1e-12);
        CHECK(!cb.pdf(0.5).has_value());
        CHECK_EQ(sample_message(cb.mean()), "operation requires an underlying PDF");
        // The entropy of the interpolant's own density: beta(2, 3)'s.
        CHECK_NEAR(*cb.entropy(), -0.2349066497880003, 1e-10);
        CHECK_EQ(calls, 0u);
    }
}

TEST(continuous_interpolated_engine_from_every_constructor) {
    const BuildOptions o = BuildOptions::interpolated(1e-12).value();
    auto g = [](double x) { return kernel(x); };
    // Truncation finds its mass itself: the base integral is not taken.
    std::size_t calls = 0;
    auto counted = [&](double x) {
        ++calls;
        return kernel(x);
    };
    const auto t = ContinuousDistribution::truncated(counted, between(-8.0, 8.0), between(1.0, 3.0), o);
    CHECK(t.has_value());
    if (t) {
        for (const double x : {1.5, 2.5}) {
            CHECK_NEAR(t->with(g).cdf(x), trunc_normal_cdf(x, 1.0, 3.0), 1e-12);
        }
        const double z = stats::normal_cdf(3.0) - stats::normal_cdf(1.0);
        CHECK_NEAR(*t->with(g).pdf(2.0), kernel(2.0) / (std::sqrt(2.0 * M_PI) * z), 1e-13);
    }
    CHECK_EQ(build_message(ContinuousDistribution::truncated(g, between(0.0, 1.0), between(0.5, 2.0), o)),
             "truncation interval must lie inside base support");
    const auto ls = ContinuousDistribution::loc_scale(g, between(-5.0, 5.0), 2.0, 3.0, o);
    CHECK(ls.has_value());
    if (ls) {
        CHECK_NEAR(ls->with(g).cdf(5.0), trunc_normal_cdf(1.0, -5.0, 5.0), 1e-12);
        CHECK_NEAR(*ls->with(g).mean(), 2.0, 1e-12);
    }
    // A histogram's edges are breakpoints: its piecewise-linear cdf is met exactly.
    const double edges[] = {0.0, 1.0, 2.0, 2.5, 4.0};
    const double counts[] = {1.0, 3.0, 0.0, 2.0};
    const auto h = ContinuousDistribution::from_histogram(edges, counts, false, o);
    CHECK(h.has_value());
    if (h) {
        const auto hb = h->without_function();
        CHECK_NEAR(*hb.ppf(1.0 / 12.0), 0.5, 1e-12);
        CHECK_NEAR(*hb.ppf(1.0 - 1.0 / 6.0), 3.25, 1e-12);
        CHECK_NEAR(hb.cdf(2.25), 4.0 / 6.0, 1e-13);
        CHECK_NEAR(*hb.mean(), (0.5 + 4.5 + 6.5) / 6.0, 1e-13);
    }
    // The density's faults are refused with what and where.
    CHECK(build_kind(ContinuousDistribution::from_pdf([](double x) { return x; }, between(-1.0, 2.0), o)) ==
          BuildErrorKind::DensityNegative);
    CHECK(build_kind(ContinuousDistribution::from_pdf([](double) { return 0.0; }, between(0.0, 1.0), o)) ==
          BuildErrorKind::DensityZero);
}

// The check model: built after the engines' own build for every density-defined distribution
// under a document engine; a table with wrong nodes is built on the model's quantiles; a
// density the model cannot integrate has none; a negative value refuses the distribution.
TEST(continuous_check_model) {
    auto f = [](double x) { return kernel(x); };
    for (const auto& o : {BuildOptions{}, BuildOptions::hermite(16), BuildOptions::with_tdr(TdrTransform::Log)}) {
        const auto d = ContinuousDistribution::from_pdf(f, between(-5.0, 5.0), o);
        CHECK(d.has_value() && d->check_model() != nullptr);
    }
    const double edges[] = {0.0, 1.0, 2.0};
    const double counts[] = {1.0, 3.0};
    const auto h = ContinuousDistribution::from_histogram(edges, counts, false, BuildOptions{});
    CHECK(h.has_value() && h->check_model() != nullptr);
    const auto c = ContinuousDistribution::from_cdf([](double x) { return x; }, between(0.0, 1.0));
    CHECK(c.has_value() && c->check_model() == nullptr);
    const auto q = ContinuousDistribution::from_pdf(f, between(-5.0, 5.0), BuildOptions::interpolated(1e-10).value());
    CHECK(q.has_value() && q->check_model() == nullptr);  // the engine is its own model

    // The engines' own calls come first, unchanged; the model's follow.
    std::vector<double> alone;
    std::vector<double> with_model;
    auto record = [](std::vector<double>& calls) {
        return [&calls](double x) {
            calls.push_back(x);
            return kernel(x);
        };
    };
    auto rec_with = record(with_model);
    CHECK(ContinuousDistribution::from_pdf(rec_with, between(-5.0, 5.0)).has_value());
    auto rec_alone = record(alone);
    const double norm = varnix::adaptive_simpson(rec_alone, -5.0, 5.0, 1e-10);
    CHECK(norm > 0.0 && with_model.size() > alone.size());
    CHECK(std::equal(alone.begin(), alone.end(), with_model.begin()));

    // A table whose inversions stopped at the first midpoint is built on the model's nodes.
    BuildOptions coarse = BuildOptions::hermite(8);
    coarse.max_iterations = 0;
    coarse.use_newton = false;
    const auto t = ContinuousDistribution::from_pdf(f, between(-5.0, 3.0), coarse);
    CHECK(t.has_value());
    if (t) {
        const auto b = t->with(f);
        for (int i = 1; i < 7; ++i) {
            const double u = (i / 7.0) * 0.999999999998 + 1e-12;
            CHECK_EQ(*b.ppf(u), t->check_model()->quantile(u));
            CHECK_NEAR(trunc_normal_cdf(*b.ppf(u), -5.0, 3.0), u, 1e-9);
        }
    }
    // Where the check model cannot be built (a NaN at a point the model examines and the
    // engines do not) the distribution is refused as unchecked, with the model's error as the
    // cause.
    const double bad = -5.0 + (-4.6875 - -5.0) * varnix::lobatto_t1;
    auto g = [bad](double x) { return x == bad ? kNaN : kernel(x); };
    const auto n = ContinuousDistribution::from_pdf(g, between(-5.0, 5.0));
    CHECK(!n && n.error().kind == BuildErrorKind::ResultUnchecked && n.error().cause &&
          n.error().cause->kind == BuildErrorKind::DensityNotFinite);
    // A negative value anywhere the model looks refuses the distribution.
    const auto neg = ContinuousDistribution::from_pdf([](double x) { return x; }, between(-1.0, 2.0));
    CHECK(!neg && neg.error().kind == BuildErrorKind::DensityNegative);
}

// calls_user(kind) against what the queries of that kind do: each engine, over each source
// kind, counted while answering. A kind claimed free of user calls must make none (its queries
// may run on any thread), and one claimed to call must call (the table below is the contract).
TEST(continuous_calls_user_matches_the_queries) {
    using varnix::Query;
    int calls = 0;
    auto counted_pdf = [&](double x) {
        ++calls;
        return kernel(x);
    };
    auto counted_cdf = [&](double x) {
        ++calls;
        return dome_cdf(x);
    };
    const double edges[] = {0.0, 0.5, 1.0};
    const double counts[] = {1.0, 3.0};
    const BuildOptions interpolated = BuildOptions::interpolated(1e-10).value();
    struct Row {
        const char* name;
        varnix::BuildResult<ContinuousDistribution> d;
        bool pdf_source;
        bool density, probability, quantile, draw, summary;  // expected calls_user per kind
    };
    Row rows[] = {
        {"pdf, inversion", ContinuousDistribution::from_pdf(counted_pdf, between(-5.0, 5.0)), true,
         true, true, true, true, true},
        {"pdf, table", ContinuousDistribution::from_pdf(counted_pdf, between(-5.0, 5.0), BuildOptions::hermite(32)),
         true, true, true, false, false, true},
        {"pdf, tdr", ContinuousDistribution::from_pdf(counted_pdf, between(-5.0, 5.0), BuildOptions::with_tdr(TdrTransform::Log)),
         true, true, true, true, true, true},
        {"pdf, interpolated", ContinuousDistribution::from_pdf(counted_pdf, between(-5.0, 5.0), interpolated),
         true, true, false, false, false, false},
        {"cdf, inversion", ContinuousDistribution::from_cdf(counted_cdf, between(0.0, 1.0)), false,
         false, true, true, true, false},
        {"cdf, table", ContinuousDistribution::from_cdf(counted_cdf, between(0.0, 1.0), BuildOptions::hermite(32)),
         false, false, true, false, false, false},
        {"cdf, interpolated", ContinuousDistribution::from_cdf(counted_cdf, between(0.0, 1.0), interpolated),
         false, false, false, false, false, false},
        {"histogram", ContinuousDistribution::from_histogram(edges, counts, false), true,
         false, false, false, false, false},
    };
    for (const Row& row : rows) {
        CHECK(row.d.has_value());
        if (!row.d) continue;
        const ContinuousDistribution& d = *row.d;
        const varnix::UserFn fn = row.pdf_source ? varnix::UserFn(counted_pdf) : varnix::UserFn(counted_cdf);
        const auto b = d.with(fn);
        auto calls_during = [&](auto&& query) {
            calls = 0;
            query();
            return calls > 0;
        };
        auto rng = ChaChaRng::seeded(3);
        std::vector<double> out(512);  // enough that some TDR trial is not squeezed
        const struct {
            Query kind;
            bool expected;
            bool called;
        } kinds[] = {
            {Query::Density, row.density, calls_during([&] { (void)b.pdf(0.3); })},
            {Query::Probability, row.probability,
             calls_during([&] { (void)b.cdf(0.3); (void)b.sf(0.3); (void)b.logsf(0.3); })},
            {Query::Quantile, row.quantile,
             calls_during([&] { (void)b.ppf(0.3); (void)b.isf(0.2); (void)b.interval(0.9); })},
            {Query::Draw, row.draw, calls_during([&] { (void)b.fill(std::span<double>(out), rng); })},
            {Query::Summary, row.summary,
             calls_during([&] { (void)b.mean(); (void)b.entropy(); })},
        };
        // The row's and the kind's names in the compared text say which one failed.
        auto kind_name = [](Query q) {
            const char* names[] = {" (density)", " (probability)", " (quantile)", " (draw)", " (summary)"};
            return std::string(names[static_cast<int>(q)]);
        };
        auto said = [&](bool calls) { return std::string(row.name) + (calls ? ": calls" : ": no calls"); };
        for (const auto& k : kinds) {
            CHECK_EQ(said(d.calls_user(k.kind)) + kind_name(k.kind), said(k.expected) + kind_name(k.kind));
            CHECK_EQ(said(k.called) + kind_name(k.kind), said(k.expected) + kind_name(k.kind));
        }
        CHECK_EQ(d.draws_call_user_function(), row.draw);
    }
}

// ppf_many and isf_many give exactly the values of ppf and isf element by element, and stop at
// the first element those refuse, with its message: through each engine, checked or not.
TEST(continuous_quantiles_over_spans_match_one_at_a_time) {
    auto f = [](double x) { return kernel(x); };
    auto F = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
    const BuildOptions interpolated = BuildOptions::interpolated(1e-10).value();
    struct Row {
        const char* name;
        varnix::BuildResult<ContinuousDistribution> d;
        varnix::UserFn fn;
    };
    Row rows[] = {
        {"pdf, inversion", ContinuousDistribution::from_pdf(f, between(-5.0, 5.0)), f},
        {"pdf, table", ContinuousDistribution::from_pdf(f, between(-5.0, 5.0), BuildOptions::hermite(64)), f},
        {"pdf, tdr", ContinuousDistribution::from_pdf(f, between(-5.0, 5.0), BuildOptions::with_tdr(TdrTransform::Log)), f},
        {"pdf, interpolated", ContinuousDistribution::from_pdf(f, between(-5.0, 5.0), interpolated), f},
        {"cdf, table", ContinuousDistribution::from_cdf(F, between(-5.0, 5.0), BuildOptions::hermite(64)), F},
    };
    // 1e-17: inside (0, 1) for isf through the interpolated engine only (1 - q rounds to 1).
    const std::vector<double> inputs[] = {{0.1, 0.5, 0.93, 1e-9}, {0.2, 1e-17, 0.6}, {0.4, 1.0, 0.3}};
    for (const Row& row : rows) {
        CHECK(row.d.has_value());
        if (!row.d) continue;
        const auto b = row.d->with(row.fn);
        for (const auto& in : inputs) {
            for (const bool upper : {false, true}) {
                std::vector<double> out(in.size(), kNaN);
                const auto many = upper ? b.isf_many(in, out) : b.ppf_many(in, out);
                std::string one_by_one = "all";
                std::vector<double> expected;
                for (const double v : in) {
                    const auto x = upper ? b.isf(v) : b.ppf(v);
                    if (!x) {
                        one_by_one = std::to_string(expected.size()) + ": " + x.error().message();
                        break;
                    }
                    expected.push_back(*x);
                }
                const std::string got =
                    many ? "all" : std::to_string(many.error().filled) + ": " + many.error().error.message();
                CHECK_EQ(std::string(row.name) + " " + got, std::string(row.name) + " " + one_by_one);
                for (std::size_t i = 0; i < expected.size(); ++i) CHECK_EQ(out[i], expected[i]);
            }
        }
    }
}

// Fills into a caller's span: the values of sample_n, and the same values whatever the split
// into parts drawn from generators started at their own positions.
#include <cmath>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "core/continuous/distribution.hpp"
#include "core/discrete/discrete.hpp"
#include "core/fill.hpp"
#include "core/multivar/copula.hpp"
#include "core/multivar/gibbs.hpp"
#include "core/multivar/hmc.hpp"
#include "core/multivar/mcmc.hpp"
#include "core/multivar/rejection.hpp"
#include "core/random.hpp"
#include "multivar_support.hpp"
#include "scripted_words.hpp"

using varnix::BuildOptions;
using varnix::ChaChaRng;
using varnix::ContinuousDistribution;
using varnix::DiscreteDistribution;
using varnix::FillResult;
using varnix::Interval;
using varnix::SampleErrorKind;

namespace {

double dome(double x) { return x * (1.0 - x) + 0.05; }

Interval unit() { return *Interval::make(0.0, 1.0); }

DiscreteDistribution thousand_points() {
    std::vector<double> points, masses;
    for (int i = 0; i < 1000; ++i) {
        points.push_back(i - 500.0);
        masses.push_back(1.0 + (i * 7919 % 113));
    }
    return *DiscreteDistribution::build(points, masses);
}

// Fills n draws in `parts` parts, part p from the seeded stream started at its first draw.
template <class Fill>
std::vector<double> fill_split(std::size_t n, std::size_t parts, std::uint64_t seed, Fill fill) {
    std::vector<double> out(n);
    const auto key = varnix::seeded_key(seed);
    const FillResult r = varnix::fill_in_parts(n, parts, [&](std::size_t b, std::size_t e) {
        auto rng = ChaChaRng::keyed_at(key, b);
        return fill(std::span<double>(out).subspan(b, e - b), rng);
    });
    if (!r) throw std::runtime_error("unexpected fill failure");
    return out;
}

}  // namespace

TEST(keyed_at_of_the_seeded_key_is_the_seeded_stream) {
    for (const std::uint64_t start : {0ull, 1ull, 31ull, 32ull, 33ull, 1000003ull}) {
        auto a = ChaChaRng::seeded_at(9, start);
        auto b = ChaChaRng::keyed_at(varnix::seeded_key(9), start);
        for (int i = 0; i < 70; ++i) CHECK_EQ(a.next_u64(), b.next_u64());
    }
}

TEST(key_from_takes_four_words_low_half_first) {
    auto words = testing_words::ScriptedWords({0x1111111122222222ull, 3, 4, 0xffffffff00000005ull});
    const auto key = varnix::key_from(words);
    CHECK_EQ(words.consumed(), 4u);
    CHECK_EQ(key[0], 0x22222222u);
    CHECK_EQ(key[1], 0x11111111u);
    CHECK_EQ(key[2], 3u);
    CHECK_EQ(key[7], 0xffffffffu);
}

TEST(part_count_keeps_parts_long_enough) {
    CHECK_EQ(varnix::part_count(0, 4, 100), 1u);
    CHECK_EQ(varnix::part_count(199, 4, 100), 1u);
    CHECK_EQ(varnix::part_count(200, 4, 100), 2u);
    CHECK_EQ(varnix::part_count(10000, 4, 100), 4u);
    CHECK_EQ(varnix::part_count(10000, 1, 100), 1u);
}

TEST(discrete_fill_is_sample_n_and_any_split_of_it) {
    const auto d = thousand_points();
    const std::size_t n = 10007;
    std::vector<double> listed;
    auto rng = ChaChaRng::seeded(3);
    CHECK(d.sample_n(n, rng, listed).has_value());
    auto fill = [&](std::span<double> out, ChaChaRng& r) { return d.fill(out, r); };
    for (const std::size_t parts : {1u, 2u, 3u, 7u}) CHECK(fill_split(n, parts, 3, fill) == listed);
}

TEST(discrete_fill_stops_at_a_zero_uniform_and_says_where) {
    const auto d =
        *DiscreteDistribution::build(std::vector<double>{1, 2}, std::vector<double>{1, 1});
    // A zero uniform in the tail after the lane groups, and in the middle of a group.
    for (const auto& [n, zero_at] : {std::pair<std::size_t, std::size_t>{8, 6}, {40, 21}}) {
        std::vector<double> us(n);
        for (std::size_t i = 0; i < n; ++i) us[i] = i % 2 == 0 ? 0.25 : 0.75;
        us[zero_at] = 0.0;
        auto words = testing_words::ScriptedWords::of_uniforms(us);
        std::vector<double> out(n, -1.0);
        const FillResult r = d.fill(out, words);
        CHECK(!r);
        if (r) continue;
        CHECK_EQ(r.error().filled, zero_at);
        CHECK(r.error().error.kind == SampleErrorKind::QuantileOutOfRange);
        CHECK_EQ(words.consumed(), zero_at + 1);  // none drawn after the failing one
        for (std::size_t i = 0; i < zero_at; ++i) CHECK_EQ(out[i], i % 2 == 0 ? 1.0 : 2.0);
    }
}

TEST(fill_in_parts_reports_the_first_failing_part_in_absolute_draws) {
    std::vector<int> touched(100, 0);
    const auto failed = varnix::SampleError::of(SampleErrorKind::McmcFailed);
    auto part = [&](std::size_t b, std::size_t e) -> FillResult {
        for (std::size_t i = b; i < e; ++i) ++touched[i];
        if (b >= 50) return varnix::fill_stopped(3, failed);
        return {};
    };
    const FillResult r = varnix::fill_in_parts(100, 4, part);
    CHECK(!r);
    if (!r) CHECK_EQ(r.error().filled, 53u);  // parts [50, 75) and [75, 100) fail; the first wins
    for (int t : touched) CHECK_EQ(t, 1);
    // An exception in a part travels to the caller.
    bool thrown = false;
    try {
        (void)varnix::fill_in_parts(100, 3, [](std::size_t b, std::size_t) -> FillResult {
            if (b > 0) throw std::runtime_error("part");
            return {};
        });
    } catch (const std::runtime_error&) {
        thrown = true;
    }
    CHECK(thrown);
}

TEST(continuous_fill_is_sample_n_for_every_engine_and_split_for_fixed_consumption) {
    auto f = [](double x) { return dome(x); };
    BuildOptions bisect;
    bisect.use_newton = false;
    const BuildOptions options[] = {BuildOptions::hermite(256), bisect,
                                    BuildOptions::with_tdr(varnix::TdrTransform::Log)};
    for (const auto& o : options) {
        const auto d = ContinuousDistribution::from_pdf(f, unit(), o);
        CHECK(d.has_value());
        if (!d) continue;
        const auto bound = d->with(f);
        const std::size_t n = d->uses_hermite_table() ? 5000 : 300;
        std::vector<double> listed;
        auto rng = ChaChaRng::seeded(11);
        CHECK(bound.sample_n(n, rng, listed).has_value());
        std::vector<double> filled(n);
        auto again = ChaChaRng::seeded(11);
        CHECK(bound.fill(filled, again).has_value());
        CHECK(filled == listed);
        CHECK_EQ(again.words_drawn(), rng.words_drawn());
        CHECK(d->words_per_draw().has_value() == !d->uses_tdr());
        if (d->words_per_draw()) {
            CHECK_EQ(*d->words_per_draw(), 1u);
            auto fill = [&](std::span<double> out, ChaChaRng& r) { return bound.fill(out, r); };
            CHECK(fill_split(n, 3, 11, fill) == listed);
        }
    }
}

TEST(continuous_draws_call_the_user_function_unless_a_table_or_histogram_serves) {
    auto f = [](double x) { return dome(x); };
    CHECK(ContinuousDistribution::from_pdf(f, unit())->draws_call_user_function());
    CHECK(!ContinuousDistribution::from_pdf(f, unit(), BuildOptions::hermite(64))
               ->draws_call_user_function());
    const auto tdr = BuildOptions::with_tdr(varnix::TdrTransform::Log);
    CHECK(ContinuousDistribution::from_pdf(f, unit(), tdr)->draws_call_user_function());
    const std::vector<double> edges{0.0, 0.5, 1.0}, counts{1.0, 3.0};
    for (const auto& o : {BuildOptions{}, BuildOptions::with_tdr(varnix::TdrTransform::InvSqrt)}) {
        const auto h = ContinuousDistribution::from_histogram(edges, counts, false, o);
        CHECK(h.has_value() && !h->draws_call_user_function());
    }
}

TEST(table_fill_stops_at_a_zero_uniform_with_the_draws_before_it_written) {
    auto f = [](double x) { return dome(x); };
    const auto d = ContinuousDistribution::from_pdf(f, unit(), BuildOptions::hermite(64));
    std::vector<double> us(70, 0.25);
    us[66] = 0.0;
    auto words = testing_words::ScriptedWords::of_uniforms(us);
    std::vector<double> out(70, -1.0);
    const FillResult r = d->with(f).fill(out, words);
    CHECK(!r && r.error().filled == 66u);
    CHECK(out[65] == d->with(f).ppf(0.25).value() && out[66] == -1.0);
}

TEST(multivariate_fills_are_sample_n) {
    const auto box = mvtest::box({-2, -2}, {2, 2});
    auto gauss = [](std::span<const double> x) {
        return std::exp(-0.5 * (x[0] * x[0] + x[1] * x[1]));
    };
    const std::size_t n = 200;

    const auto rs = *varnix::RejectionSampler::make(box, 1.0, 1000);
    std::vector<double> listed, filled(2 * n);
    auto r1 = ChaChaRng::seeded(5), r2 = ChaChaRng::seeded(5);
    CHECK(rs.with(gauss).sample_n(n, r1, listed).has_value());
    CHECK(rs.with(gauss).fill(filled, r2).has_value());
    CHECK(filled == listed);

    // Chains: the same state (a copy) and the same seed give the same transitions.
    varnix::MhSettings mh_settings;
    mh_settings.burn_in = 17;
    mh_settings.thin = 3;
    varnix::MetropolisHastings mh(box, mh_settings);
    auto init_rng = ChaChaRng::seeded(1);
    CHECK(mh.with(gauss).init(init_rng).has_value());
    auto mh_copy = mh;
    r1 = ChaChaRng::seeded(6);
    CHECK(mh.with(gauss).sample_n(n, r1, listed).has_value());
    // One batch drawn by the driver in rounds of 7 points: the burn-in runs once, before the
    // first round, and the points are those of one fill.
    auto batch = mh_copy.with(gauss);
    const FillResult rounds = varnix::drive_fill(
        n, varnix::EngineTraits{std::nullopt, true}, varnix::FillStream{6, 0, 1},
        varnix::RoundPlan{7, false, 1}, varnix::no_fill_hook(),
        [&](std::size_t b, std::size_t c, ChaChaRng& rng) {
            return batch.fill(std::span<double>(filled).subspan(2 * b, 2 * c), rng);
        });
    CHECK(rounds.has_value());
    CHECK(filled == listed);
    CHECK(std::vector<double>(mh.current().begin(), mh.current().end()) ==
          std::vector<double>(mh_copy.current().begin(), mh_copy.current().end()));
    CHECK(mh.step_size() == mh_copy.step_size() && mh.accepted() == mh_copy.accepted());

    varnix::HmcSampler hmc(box, varnix::HmcSettings{});
    std::vector<double> none;
    auto unused = ChaChaRng::seeded(2);
    CHECK(hmc.with(gauss).fill(none, unused).has_value());  // nothing to draw: fine before init
    std::vector<double> one(2);
    const FillResult refused = hmc.with(gauss).fill(one, unused);
    CHECK(!refused && refused.error().error.kind == SampleErrorKind::McmcNotInitialized);
    CHECK(hmc.with(gauss).init(init_rng).has_value());
    auto hmc_copy = hmc;
    std::vector<double> few(2 * 20);
    r1 = ChaChaRng::seeded(7);
    r2 = ChaChaRng::seeded(7);
    CHECK(hmc.with(gauss).sample_n(20, r1, listed).has_value());
    CHECK(hmc_copy.with(gauss).fill(few, r2).has_value());
    CHECK(few == listed);

    // MH refuses an empty fill before init, as its sample_n does.
    varnix::MetropolisHastings fresh(box, mh_settings);
    const FillResult empty = fresh.with(gauss).fill(none, unused);
    CHECK(!empty && empty.error().error.kind == SampleErrorKind::McmcNotInitialized);
}

TEST(conditional_and_copula_fills_are_their_batches) {
    int calls = 0;
    auto conditional = [&](std::size_t i, std::span<const double> prefix) {
        ++calls;
        return static_cast<double>(i) + (prefix.empty() ? 0.5 : prefix.back());
    };
    const varnix::ConditionalFactorizationSampler cs(3);
    std::vector<double> listed, filled(3 * 4);
    CHECK(cs.with(conditional).sample_n(4, listed).has_value());
    CHECK(cs.with(conditional).fill(4, filled).has_value());
    CHECK(filled == listed && calls == 24);
    const varnix::ConditionalFactorizationSampler empty(0);
    std::vector<double> nothing;
    CHECK(empty.with(conditional).fill(0, nothing).has_value());
    const FillResult refused = empty.with(conditional).fill(2, nothing);
    CHECK(!refused && refused.error().filled == 0u);

    const auto copula = *varnix::GaussianCopula::make(
        std::vector<std::vector<double>>{{1.0, 0.5}, {0.5, 1.0}});
    auto identity = [](std::size_t, double u) -> varnix::SampleResult<double> { return u; };
    std::vector<double> rows(2 * 50), point(2);
    auto rng = ChaChaRng::seeded(8), replay = ChaChaRng::seeded(8);
    CHECK(copula.with(identity, 2).fill(rows, rng).has_value());
    CHECK_EQ(copula.with(identity, 2).words_per_draw(), 4u);
    CHECK_EQ(rng.words_drawn(), 200u);
    for (std::size_t k = 0; k < 50; ++k) {
        CHECK(copula.with(identity, 2).sample(replay, point).has_value());
        CHECK(point[0] == rows[2 * k] && point[1] == rows[2 * k + 1]);
    }
    // A wrong number of quantile functions fails before any word is drawn, even for no rows.
    auto untouched = testing_words::ScriptedWords({});
    std::vector<double> zero_rows;
    const FillResult wrong = copula.with(identity, 3).fill(zero_rows, untouched);
    CHECK(!wrong && wrong.error().error.kind == SampleErrorKind::McmcFailed);
}

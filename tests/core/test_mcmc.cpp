#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "core/multivar/mcmc.hpp"
#include "multivar_support.hpp"

using varnix::ChaChaRng;
using varnix::HyperRect;
using varnix::MetropolisHastings;
using varnix::MhSettings;
using varnix::SampleErrorKind;

namespace {
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double qnan = std::numeric_limits<double>::quiet_NaN();

const HyperRect unit2 = mvtest::box({0, 0}, {1, 1});

MetropolisHastings make_mh(const HyperRect& box, MhSettings s = {}) {
    return MetropolisHastings(box, s);
}
}  // namespace

TEST(mh_refuses_to_move_before_init) {
    auto bad = HyperRect::make(std::vector<double>{0, 0}, std::vector<double>{1});
    CHECK(!bad && bad.error().message() ==
                      "invalid support interval: hyper-rect lo/hi must have same dimension");
    auto mh = make_mh(unit2);
    CHECK(mh.current().empty());
    CHECK_EQ(mh.current_log_density(), -inf);
    CHECK_EQ(mh.accept_rate(), 0.0);
    int calls = 0;
    auto f = [&](std::span<const double>) { ++calls; return 1.0; };
    auto rng = ChaChaRng::seeded(1);
    auto s = mh.with(f).step(rng);
    CHECK(!s && s.error().kind == SampleErrorKind::McmcNotInitialized);
    CHECK(!s || s.error().message() == "mcmc sampler not initialized (call init)");
    std::vector<double> out;
    auto n = mh.with(f).sample_n(0, rng, out);  // refused even for n = 0, before any burn-in
    CHECK(!n && n.error().kind == SampleErrorKind::McmcNotInitialized);
    CHECK_EQ(calls, 0);
    CHECK_EQ(rng.words_drawn(), 0u);
    CHECK_EQ(mh.iterations(), 0u);
}

TEST(mh_init_gives_up_after_the_try_limit_and_keeps_the_chain) {
    for (double y : {0.0, -1.0, qnan, inf}) {
        auto mh = make_mh(unit2);
        long calls = 0;
        auto f = [&](std::span<const double>) { ++calls; return y; };
        auto rng = ChaChaRng::seeded(9);
        auto r = mh.with(f).init(rng);
        CHECK(!r && r.error().kind == SampleErrorKind::McmcFailed);
        CHECK_EQ(calls, 100000);
        CHECK_EQ(rng.words_drawn(), 200000u);
        CHECK(!mh.initialized());
    }
    // A failed re-init leaves a running chain exactly as it was.
    auto mh = make_mh(unit2);
    bool usable = true;
    auto f = [&](std::span<const double>) { return usable ? 2.0 : 0.0; };
    auto rng = ChaChaRng::seeded(10);
    CHECK(mh.with(f).init(rng).has_value());
    for (int k = 0; k < 5; ++k) CHECK(mh.with(f).step(rng).has_value());
    const std::vector<double> before(mh.current().begin(), mh.current().end());
    const auto iterations = mh.iterations();
    usable = false;
    CHECK(!mh.with(f).init(rng));
    CHECK(std::vector<double>(mh.current().begin(), mh.current().end()) == before);
    CHECK_EQ(mh.iterations(), iterations);
    CHECK_EQ(mh.current_log_density(), std::log(2.0));
}

TEST(mh_reinit_restarts_counters_but_keeps_the_adapted_step) {
    auto mh = make_mh(unit2);
    auto f = [](std::span<const double> x) { return 1.0 + x[0]; };
    auto rng = ChaChaRng::seeded(4);
    CHECK(mh.with(f).init(rng).has_value());
    CHECK_EQ(mh.accept_rate(), 0.0);
    CHECK(mh.current()[0] >= 0.0 && mh.current()[0] < 1.0);
    CHECK_EQ(mh.current_log_density(), std::log(1.0 + mh.current()[0]));
    for (int k = 0; k < 40; ++k) CHECK(mh.with(f).step(rng).has_value());
    CHECK_EQ(mh.iterations(), 40u);
    CHECK_EQ(mh.accept_rate(), static_cast<double>(mh.accepted()) / 40.0);
    CHECK(mh.accepted() > 0u && mh.accepted() < 40u);
    const double adapted = mh.step_size();
    CHECK(adapted != 0.25);
    CHECK(mh.with(f).init(rng).has_value());
    CHECK_EQ(mh.iterations(), 0u);
    CHECK_EQ(mh.accepted(), 0u);
    CHECK_EQ(mh.accept_rate(), 0.0);
    CHECK_EQ(mh.step_size(), adapted);
}

TEST(mh_transition_consumption_and_rejection_without_third_uniform) {
    // Density 0 on the right half: proposals there take 2d uniforms and no u3, every other one
    // takes 2d + 1. With a uniform first try, init takes d uniforms.
    const HyperRect box = mvtest::box({0, 0, 0}, {1, 1, 1});
    auto mh = make_mh(box, {.step_size = 0.4});
    long finite = 0;
    bool counting = false;
    auto f = [&](std::span<const double> x) {
        const bool usable = x[0] < 0.5;
        if (counting && usable) ++finite;
        return usable ? 1.0 : 0.0;
    };
    auto rng = ChaChaRng::seeded(21);
    std::size_t init_words = 0;
    CHECK(mh.with(f).init(rng).has_value());
    init_words = rng.words_drawn();
    CHECK_EQ(init_words % 3, 0u);
    counting = true;
    for (int k = 0; k < 200; ++k) CHECK(mh.with(f).step(rng).has_value());
    CHECK(finite > 20 && finite < 200);
    CHECK_EQ(rng.words_drawn(), init_words + 200 * 6 + static_cast<std::size_t>(finite));
    CHECK_EQ(mh.iterations(), 200u);
    CHECK(mh.accepted() <= static_cast<std::uint64_t>(finite));
}

TEST(mh_proposal_is_the_reflected_gaussian_step) {
    // Flat density, no adaptation: every usable proposal is accepted (ln u3 < 0), so each new
    // point is the fold of current + step * z with z from the transition's own two uniforms.
    // The step is large against the box, so many proposals fold more than once.
    const HyperRect box = mvtest::box({-1.0}, {0.5});
    auto mh = make_mh(box, {.step_size = 2.5, .adapt_steps = 0});
    auto f = [](std::span<const double>) { return 3.0; };
    auto rng = ChaChaRng::seeded(77);
    CHECK(mh.with(f).init(rng).has_value());
    auto replay = ChaChaRng::seeded(77);
    const double u0 = varnix::uniform(replay);
    CHECK_EQ(mh.current()[0], u0 * (0.5 - -1.0) + -1.0);
    int multi_fold = 0;
    for (int k = 0; k < 50; ++k) {
        double expect = mh.current()[0];
        const double u1 = varnix::uniform(replay), u2 = varnix::uniform(replay);
        const double z = std::sqrt(-2.0 * std::log(std::max(u1, 1e-300))) *
                         std::cos(6.283185307179586 * u2);
        expect = expect + 2.5 * z;
        if (expect < -2.5 || expect > 2.0) ++multi_fold;
        CHECK(varnix::reflect_into(expect, -1.0, 0.5));
        (void)replay.next_u64();  // u3
        CHECK(mh.with(f).step(rng).has_value());
        CHECK_EQ(mh.current()[0], expect);
    }
    CHECK(multi_fold > 0);
    CHECK_EQ(mh.accepted(), 50u);
    CHECK_EQ(mh.step_size(), 2.5);
}

TEST(mh_unfoldable_proposals_are_rejected_without_calling_the_density) {
    for (double step : {inf, 1e300, 1e15}) {
        auto mh = make_mh(unit2, {.step_size = step});
        int calls = 0;
        auto f = [&](std::span<const double>) { ++calls; return 1.0; };
        auto rng = ChaChaRng::seeded(5);
        CHECK(mh.with(f).init(rng).has_value());
        const std::vector<double> start(mh.current().begin(), mh.current().end());
        calls = 0;
        for (int k = 0; k < 10; ++k) CHECK(mh.with(f).step(rng).has_value());
        // z would have to be 0 exactly for a proposal to stay in the box.
        CHECK_EQ(calls, 0);
        CHECK_EQ(rng.words_drawn(), 2u + 10u * 4u);
        CHECK(std::vector<double>(mh.current().begin(), mh.current().end()) == start);
        CHECK_EQ(mh.iterations(), 10u);
        CHECK_EQ(mh.accepted(), 0u);
        CHECK_EQ(mh.step_size(), step);  // rejected proposals never adapt
    }
    // A NaN step makes NaN proposals, which the density judges.
    auto mh = make_mh(unit2, {.step_size = qnan});
    int nan_calls = 0;
    auto f = [&](std::span<const double> x) {
        if (std::isnan(x[0])) ++nan_calls;
        return std::isnan(x[0]) ? 0.0 : 1.0;
    };
    auto rng = ChaChaRng::seeded(5);
    CHECK(mh.with(f).init(rng).has_value());
    CHECK(mh.with(f).step(rng).has_value());
    CHECK_EQ(nan_calls, 1);
    CHECK_EQ(mh.accepted(), 0u);
}

TEST(mh_adaptation_runs_for_adapt_steps_and_stays_clamped) {
    // Flat density on a small box accepts everything, so the step grows to its upper clamp;
    // proposals then overshoot by hundreds of box widths and still fold back.
    const HyperRect box = mvtest::box({0, 0}, {0.05, 0.05});
    auto mh = make_mh(box, {.step_size = 0.25, .adapt_steps = 500});
    auto f = [](std::span<const double>) { return 1.0; };
    auto rng = ChaChaRng::seeded(8);
    CHECK(mh.with(f).init(rng).has_value());
    double previous = mh.step_size();
    int changes = 0;
    for (int k = 1; k <= 800; ++k) {
        CHECK(mh.with(f).step(rng).has_value());
        CHECK(mh.step_size() >= 1e-4 && mh.step_size() <= 10.0);
        if (mh.step_size() != previous) {
            ++changes;
            CHECK(k <= 500);
        }
        previous = mh.step_size();
        CHECK(mh.current()[0] >= 0.0 && mh.current()[0] <= 0.05);
    }
    CHECK(changes > 100);
    CHECK_EQ(mh.step_size(), 10.0);
    CHECK_EQ(mh.accepted(), 800u);
}

TEST(mh_sample_n_runs_burn_in_every_call_and_thins) {
    auto f = [](std::span<const double> x) { return std::exp(-x[0] - 2.0 * x[1]); };
    auto a = make_mh(unit2, {.burn_in = 7, .thin = 3});
    auto b = make_mh(unit2, {.burn_in = 7, .thin = 3});
    auto ra = ChaChaRng::seeded(30), rb = ChaChaRng::seeded(30);
    CHECK(a.with(f).init(ra).has_value());
    CHECK(b.with(f).init(rb).has_value());
    std::vector<double> out{1.0};
    CHECK(a.with(f).sample_n(0, ra, out).has_value());
    CHECK(out.empty());
    CHECK_EQ(a.iterations(), 7u);
    CHECK(a.with(f).sample_n(4, ra, out).has_value());
    CHECK_EQ(a.iterations(), 7u + 7u + 12u);
    CHECK_EQ(out.size(), 8u);
    // The same chain driven by hand: 14 discarded transitions, then every third point.
    for (int k = 0; k < 14; ++k) CHECK(b.with(f).step(rb).has_value());
    for (int k = 0; k < 4; ++k) {
        for (int t = 0; t < 3; ++t) CHECK(b.with(f).step(rb).has_value());
        CHECK(b.current()[0] == out[2 * k] && b.current()[1] == out[2 * k + 1]);
    }
    CHECK_EQ(b.step_size(), a.step_size());

    auto c = make_mh(unit2, {.burn_in = 0, .thin = 0});
    auto rc = ChaChaRng::seeded(31);
    CHECK(c.with(f).init(rc).has_value());
    CHECK(c.with(f).sample_n(5, rc, out).has_value());
    CHECK_EQ(c.iterations(), 5u);
}

TEST(mh_exception_from_density_leaves_the_chain_unchanged) {
    auto mh = make_mh(unit2);
    int calls = 0;
    int throw_at = -1;
    auto f = [&](std::span<const double> x) {
        if (++calls == throw_at) throw std::runtime_error("abort");
        return 1.0 + x[0];
    };
    auto rng = ChaChaRng::seeded(12);
    CHECK(mh.with(f).init(rng).has_value());
    for (int k = 0; k < 10; ++k) CHECK(mh.with(f).step(rng).has_value());

    // Inside sample_n (in the burn-in): the two finished transitions stay made; out has room
    // for the five points and no completed one.
    const auto it = mh.iterations();
    throw_at = calls + 3;
    std::vector<double> out{4.0};
    bool threw = false;
    try {
        (void)mh.with(f).sample_n(5, rng, out);
    } catch (const std::runtime_error&) {
        threw = true;
    }
    CHECK(threw);
    CHECK_EQ(out.size(), 5u * 2u);
    CHECK_EQ(mh.iterations(), it + 2);

    // Inside one transition: point, log density, step size and counters are all kept.
    const std::vector<double> point(mh.current().begin(), mh.current().end());
    const double ld = mh.current_log_density(), step = mh.step_size();
    const auto acc = mh.accepted();
    throw_at = calls + 1;
    threw = false;
    try {
        (void)mh.with(f).step(rng);
    } catch (const std::runtime_error&) {
        threw = true;
    }
    CHECK(threw);
    CHECK(std::vector<double>(mh.current().begin(), mh.current().end()) == point);
    CHECK_EQ(mh.current_log_density(), ld);
    CHECK_EQ(mh.step_size(), step);
    CHECK_EQ(mh.iterations(), it + 2);
    CHECK_EQ(mh.accepted(), acc);
    CHECK(mh.with(f).step(rng).has_value());  // and the chain carries on
}

TEST(mh_reproduces_a_truncated_correlated_normal) {
    const HyperRect box = mvtest::box({mvtest::target_lo[0], mvtest::target_lo[1]},
                                      {mvtest::target_hi[0], mvtest::target_hi[1]});
    auto mh = make_mh(box, {.step_size = 0.5, .burn_in = 2000, .thin = 4});
    auto f = [](std::span<const double> x) { return mvtest::correlated_normal(x); };
    auto rng = ChaChaRng::seeded(99);
    CHECK(mh.with(f).init(rng).has_value());
    std::vector<double> pts;
    CHECK(mh.with(f).sample_n(40000, rng, pts).has_value());
    CHECK(mh.accept_rate() > 0.2 && mh.accept_rate() < 0.6);
    const auto want = mvtest::density_moments(f, mvtest::target_lo, mvtest::target_hi);
    const auto got = mvtest::sample_moments(pts);
    for (int a = 0; a < 2; ++a) {
        CHECK_NEAR(got.mean[a], want.mean[a], 0.025);
        for (int b = 0; b < 2; ++b) CHECK_NEAR(got.cov[a][b], want.cov[a][b], 0.025);
    }
}

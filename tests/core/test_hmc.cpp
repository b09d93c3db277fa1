#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "check.hpp"
#include "core/multivar/hmc.hpp"
#include "multivar_support.hpp"

using varnix::ChaChaRng;
using varnix::HmcSampler;
using varnix::HmcSettings;
using varnix::HyperRect;
using varnix::SampleErrorKind;

namespace {
constexpr double inf = std::numeric_limits<double>::infinity();

// The fixed trajectory, whose calls and words these tests count.
HmcSampler make_hmc(const HyperRect& box, HmcSettings s = {}) {
    s.jitter = 0.0;
    return HmcSampler(box, s);
}

std::vector<double> point_of(const HmcSampler& s) {
    return {s.current().begin(), s.current().end()};
}

double gaussian(std::span<const double> x) { return std::exp(-0.5 * (x[0] * x[0] + x[1] * x[1])); }

const HyperRect wide2 = mvtest::box({-8, -8}, {8, 8});
}  // namespace

TEST(hmc_build_and_uninitialised_use) {
    auto bad = HyperRect::make(std::vector<double>{0}, std::vector<double>{inf});
    CHECK(!bad && bad.error().message() == "non-finite value in hyper-rect bounds");

    auto hmc = make_hmc(wide2);
    int calls = 0;
    auto f = [&](std::span<const double> x) { ++calls; return gaussian(x); };
    auto rng = ChaChaRng::seeded(1);
    auto s = hmc.with(f).step(rng);
    CHECK(!s && s.error().kind == SampleErrorKind::McmcNotInitialized);
    std::vector<double> out{1.0};
    auto one = hmc.with(f).sample_n(1, rng, out);
    CHECK(!one && one.error().kind == SampleErrorKind::McmcNotInitialized);
    CHECK(out.empty());  // cleared first, no point completed
    CHECK(hmc.with(f).sample_n(0, rng, out).has_value());  // no check ahead of the loop
    CHECK(out.empty());
    CHECK_EQ(calls, 0);
    CHECK_EQ(rng.words_drawn(), 0u);
    CHECK_EQ(hmc.current_log_density(), -inf);
}

TEST(hmc_init_gives_up_after_the_try_limit) {
    auto hmc = make_hmc(mvtest::box({0}, {1}));
    long calls = 0;
    auto f = [&](std::span<const double>) { ++calls; return -0.0; };
    auto rng = ChaChaRng::seeded(2);
    auto r = hmc.with(f).init(rng);
    CHECK(!r && r.error().kind == SampleErrorKind::McmcFailed);
    CHECK(!r || r.error().message() == "mcmc sampler failed");
    CHECK_EQ(calls, 100000);
    CHECK_EQ(rng.words_drawn(), 100000u);
    CHECK(!hmc.initialized());
}

TEST(hmc_transition_makes_2d_L_plus_1_plus_1_density_calls) {
    auto hmc = make_hmc(wide2);  // d = 2, L = 20
    int calls = 0;
    auto f = [&](std::span<const double> x) { ++calls; return gaussian(x); };
    auto rng = ChaChaRng::seeded(3);
    CHECK(hmc.with(f).init(rng).has_value());
    const std::size_t init_words = rng.words_drawn();
    calls = 0;
    for (int k = 0; k < 10; ++k) CHECK(hmc.with(f).step(rng).has_value());
    CHECK_EQ(calls, 850);
    // Two uniforms per momentum component and the acceptance uniform.
    CHECK_EQ(rng.words_drawn(), init_words + 10 * 5);

    // Without leapfrog steps the position cannot move: 2d + 1 calls, current returned.
    auto still = make_hmc(wide2, {.leapfrog_steps = 0});
    CHECK(still.with(f).init(rng).has_value());
    const auto start = point_of(still);
    calls = 0;
    for (int k = 0; k < 5; ++k) {
        auto p = still.with(f).step(rng);
        CHECK(p.has_value() && std::vector<double>(p->begin(), p->end()) == start);
    }
    CHECK_EQ(calls, 25);
}

TEST(hmc_gradient_probes_unclamped_points_plus_before_minus) {
    const HyperRect box = mvtest::box({0, 0}, {1, 1});
    auto hmc = make_hmc(box, {.step_size = 0.01, .leapfrog_steps = 1, .grad_eps = 0.25});
    std::vector<std::vector<double>> seen;
    auto f = [&](std::span<const double> x) {
        seen.emplace_back(x.begin(), x.end());
        return 1.0;
    };
    auto rng = ChaChaRng::seeded(4);
    CHECK(hmc.with(f).init(rng).has_value());
    const auto q = point_of(hmc);
    seen.clear();
    CHECK(hmc.with(f).step(rng).has_value());
    CHECK_EQ(seen.size(), 2u * 2u * 2u + 1u);
    // The first gradient at the current point: x+h then x-h per coordinate, one at a time.
    CHECK(seen[0] == (std::vector<double>{0.25 + q[0], q[1]}));
    CHECK(seen[1] == (std::vector<double>{q[0] - 0.25, q[1]}));
    CHECK(seen[2] == (std::vector<double>{q[0], 0.25 + q[1]}));
    CHECK(seen[3] == (std::vector<double>{q[0], q[1] - 0.25}));
    // With h = 0.25 some probe leaves the unit box unless q sits in the middle half.
    const bool outside = q[0] < 0.25 || q[0] > 0.75 || q[1] < 0.25 || q[1] > 0.75;
    bool probed_outside = false;
    for (int k = 0; k < 4; ++k)
        for (double v : seen[k]) probed_outside = probed_outside || v < 0.0 || v > 1.0;
    CHECK_EQ(probed_outside, outside);
}

TEST(hmc_infinite_gradient_rejects_the_trajectory_and_ends) {
    // Usable only below 0.5 and the box starts at 0.42, so with h = 0.1 the upper probe always
    // sees density 0: the gradient is -inf, the position becomes -inf after the half step, and
    // the trajectory is dropped after the first gradient, without an acceptance uniform.
    const HyperRect box = mvtest::box({0.42}, {1.0});
    auto hmc = make_hmc(box, {.step_size = 0.01, .leapfrog_steps = 5, .grad_eps = 0.1});
    int calls = 0;
    auto f = [&](std::span<const double> x) { ++calls; return x[0] < 0.5 ? 1.0 : 0.0; };
    auto rng = ChaChaRng::seeded(5);
    CHECK(hmc.with(f).init(rng).has_value());
    const auto start = point_of(hmc);
    const std::size_t init_words = rng.words_drawn();
    calls = 0;
    for (int k = 0; k < 20; ++k) CHECK(hmc.with(f).step(rng).has_value());
    CHECK_EQ(calls, 20 * 2);
    CHECK_EQ(rng.words_drawn(), init_words + 20 * 2);
    CHECK(point_of(hmc) == start);

    // An enormous finite step sends the position where reflection cannot bring it back.
    auto wild = make_hmc(wide2, {.step_size = 1e300});
    auto g = [&](std::span<const double> x) { ++calls; return gaussian(x); };
    CHECK(wild.with(g).init(rng).has_value());
    const auto wild_start = point_of(wild);
    calls = 0;
    for (int k = 0; k < 5; ++k) CHECK(wild.with(g).step(rng).has_value());
    CHECK_EQ(calls, 5 * 4);
    CHECK(point_of(wild) == wild_start);
}

TEST(hmc_exception_from_density_leaves_the_chain_unchanged) {
    auto hmc = make_hmc(wide2);
    int calls = 0;
    int throw_at = -1;
    auto f = [&](std::span<const double> x) {
        if (++calls == throw_at) throw std::runtime_error("abort");
        return gaussian(x);
    };
    auto rng = ChaChaRng::seeded(6);
    CHECK(hmc.with(f).init(rng).has_value());
    for (int k = 0; k < 3; ++k) CHECK(hmc.with(f).step(rng).has_value());
    const auto point = point_of(hmc);
    const double ld = hmc.current_log_density();
    for (int at : {1, 40, 85}) {  // first gradient, mid-trajectory, final evaluation
        throw_at = calls + at;
        bool threw = false;
        try {
            (void)hmc.with(f).step(rng);
        } catch (const std::runtime_error&) {
            threw = true;
        }
        CHECK(threw);
        CHECK(point_of(hmc) == point);
        CHECK_EQ(hmc.current_log_density(), ld);
    }
    CHECK(hmc.with(f).step(rng).has_value());
}

TEST(hmc_same_state_and_seed_give_the_same_chain) {
    auto f = [](std::span<const double> x) { return gaussian(x); };
    auto a = make_hmc(wide2), b = make_hmc(wide2);
    auto ia = ChaChaRng::seeded(7), ib = ChaChaRng::seeded(7);
    CHECK(a.with(f).init(ia).has_value());
    CHECK(b.with(f).init(ib).has_value());
    std::vector<double> xa, xb, xc;
    auto ra = ChaChaRng::seeded(70), rb = ChaChaRng::seeded(70);
    CHECK(a.with(f).sample_n(3, ra, xa).has_value());
    CHECK(b.with(f).sample_n(3, rb, xb).has_value());
    CHECK_EQ(xa.size(), 6u);
    CHECK(xa == xb);
    auto rc = ChaChaRng::seeded(70);
    CHECK(a.with(f).sample_n(3, rc, xc).has_value());  // continues the chain
    CHECK(xc != xa);
}

TEST(hmc_reproduces_a_correlated_normal) {
    // Large steps make the integration error matter (about a quarter of the trajectories are
    // refused), so the sample is only right if the energy bookkeeping and accept test are.
    auto hmc = make_hmc(wide2, {.step_size = 0.9, .leapfrog_steps = 3});
    auto f = [](std::span<const double> x) { return mvtest::correlated_normal(x); };
    auto rng = ChaChaRng::seeded(8);
    CHECK(hmc.with(f).init(rng).has_value());
    std::vector<double> pts;
    const std::size_t n = 20000;
    CHECK(hmc.with(f).sample_n(n, rng, pts).has_value());
    std::size_t moves = 0;
    for (std::size_t k = 1; k < n; ++k) moves += pts[2 * k] != pts[2 * k - 2];
    const double rate = static_cast<double>(moves) / static_cast<double>(n - 1);
    CHECK(rate > 0.6 && rate < 0.9);
    const auto got = mvtest::sample_moments(pts);
    CHECK_NEAR(got.mean[0], 0.0, 0.04);
    CHECK_NEAR(got.mean[1], 0.0, 0.04);
    // Standard errors: about 0.006 for the means, 0.015 for the covariances.
    CHECK_NEAR(got.cov[0][0], 1.0, 0.07);
    CHECK_NEAR(got.cov[1][1], 1.0, 0.07);
    CHECK_NEAR(got.cov[0][1], 0.6, 0.07);
}

TEST(hmc_trajectories_inside_the_box_are_unchanged) {
    // Four transitions of a seeded chain whose trajectories never reach the walls of the wide
    // box: the values of the plain leapfrog integration, recorded before reflection learnt to
    // reverse the momentum.
    auto hmc = make_hmc(wide2);
    auto f = [](std::span<const double> x) { return gaussian(x); };
    auto rng = ChaChaRng::seeded(31);
    CHECK(hmc.with(f).init(rng).has_value());
    std::vector<double> out;
    CHECK(hmc.with(f).sample_n(4, rng, out).has_value());
    const std::vector<double> recorded = {
        0x1.011a8a9b8b99cp+2, 0x1.bc597152e2468p+0,  0x1.8993f56d60d34p+1,
        -0x1.31c2c2bcff9d1p-2, 0x1.92bf23db82e4p+1, 0x1.041ccc0e4263ap-5,
        0x1.a2d12d072f982p+0, -0x1.b65ab53a8b45p-3};
    CHECK(out == recorded);
}

TEST(hmc_reflection_reverses_the_momentum_it_folds) {
    // A flat density: each leapfrog step moves the position by eps * p, a wall mirrors it and
    // reverses p, so the point bounces between the walls at constant speed. Without the
    // reversal a point that has bounced would head back out and be mirrored again.
    const HyperRect box = mvtest::box({0}, {1});
    auto f = [](std::span<const double>) { return 1.0; };
    for (std::size_t steps : {1u, 2u, 3u}) {
        auto hmc = make_hmc(box, {.step_size = 0.25, .leapfrog_steps = steps, .grad_eps = 1e-3});
        auto init = ChaChaRng::seeded(1);
        CHECK(hmc.with(f).init(init).has_value());
        auto rng = ChaChaRng::seeded(25);
        const double q0 = hmc.current()[0];
        auto replay = ChaChaRng::seeded(25);
        const double p = varnix::standard_normal(replay);
        // Plain bouncing between 0 and 1 with constant speed |p|.
        double q = q0, v = p;
        std::size_t bounced_before_last = 0;
        for (std::size_t k = 0; k < steps; ++k) {
            q = 0.25 * v + q;
            while (q < 0.0 || q > 1.0) {
                q = q < 0.0 ? -q : 2.0 - q;
                v = -v;
                if (k + 1 < steps) ++bounced_before_last;
            }
        }
        CHECK(steps == 1 || bounced_before_last > 0);
        auto moved = hmc.with(f).step(rng);  // the energy is unchanged: always accepted
        CHECK(moved.has_value());
        CHECK_NEAR((*moved)[0], q, 1e-12);
    }
}

TEST(hmc_reproduces_a_normal_cut_by_the_box) {
    // The correlated normal on a box that cuts it on every side: trajectories bounce off the
    // walls all the time, and only a reversible bounce keeps the cut density stationary.
    const HyperRect box = mvtest::box({mvtest::target_lo[0], mvtest::target_lo[1]},
                                      {mvtest::target_hi[0], mvtest::target_hi[1]});
    auto hmc = make_hmc(box, {.step_size = 0.4, .leapfrog_steps = 6});
    auto f = [](std::span<const double> x) { return mvtest::correlated_normal(x); };
    auto rng = ChaChaRng::seeded(9);
    CHECK(hmc.with(f).init(rng).has_value());
    std::vector<double> pts;
    CHECK(hmc.with(f).sample_n(200, rng, pts).has_value());  // away from the start
    CHECK(hmc.with(f).sample_n(40000, rng, pts).has_value());
    const auto want = mvtest::density_moments(mvtest::correlated_normal, mvtest::target_lo,
                                              mvtest::target_hi);
    const auto got = mvtest::sample_moments(pts);
    for (int a = 0; a < 2; ++a) {
        CHECK_NEAR(got.mean[a], want.mean[a], 0.04);
        for (int b = 0; b < 2; ++b) CHECK_NEAR(got.cov[a][b], want.cov[a][b], 0.05);
    }
}

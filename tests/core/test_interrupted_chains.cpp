// A user function that throws (the binding does so when the user interrupts) ends a chain's
// batch where it is, and the chain keeps the state of its last completed transition: the same
// state as an identical chain that made exactly those transitions.
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "check.hpp"
#include "core/multivar/gibbs.hpp"
#include "core/multivar/hmc.hpp"
#include "core/multivar/mcmc.hpp"
#include "multivar_support.hpp"

using varnix::ChaChaRng;
using varnix::GibbsSampler;
using varnix::HmcSampler;
using varnix::HmcSettings;
using varnix::MetropolisHastings;
using varnix::MhSettings;

namespace {

struct Interrupted {};

const varnix::HyperRect box2 = mvtest::box({-1.0, -2.5}, {2.5, 1.5});

// The target density, throwing at its `stop_at`-th call (counting from 1; 0: never).
struct StoppingDensity {
    std::size_t stop_at;
    std::size_t calls = 0;
    double operator()(std::span<const double> x) {
        if (++calls == stop_at) throw Interrupted{};
        return mvtest::correlated_normal(x);
    }
};

template <class Chain>
std::vector<double> state_of(const Chain& c) {
    return {c.current().begin(), c.current().end()};
}

// Runs a batch of n points on `chain` whose density throws at call stop_at; returns whether it
// was interrupted.
template <class Chain>
bool interrupted_batch(Chain& chain, std::size_t n, std::size_t stop_at) {
    StoppingDensity f{stop_at};
    auto rng = ChaChaRng::seeded(5);
    std::vector<double> out;
    try {
        (void)chain.with(f).sample_n(n, rng, out);
    } catch (const Interrupted&) {
        return true;
    }
    return false;
}

}  // namespace

TEST(an_interrupted_metropolis_hastings_batch_keeps_its_completed_transitions) {
    // Adaptation on: the step size and the counters must also be those of the completed
    // transitions. The batch's burn-in (3) and its points are transitions alike: the twin makes
    // them one step at a time, from the same generator.
    MhSettings settings;
    settings.burn_in = 3;
    for (std::size_t stop_at : {1u, 2u, 4u, 5u, 40u, 777u}) {
        MetropolisHastings chain(box2, settings);
        auto start = ChaChaRng::seeded(1);
        StoppingDensity g{0};
        CHECK(chain.with(g).init(start).has_value());
        MetropolisHastings twin = chain;

        CHECK(interrupted_batch(chain, 1000, stop_at));
        // One density call per transition here (every proposal folds into the box): the
        // transitions completed are the calls that returned.
        StoppingDensity f{0};
        auto rng = ChaChaRng::seeded(5);
        for (std::size_t k = 0; k + 1 < stop_at; ++k) CHECK(twin.with(f).step(rng).has_value());
        CHECK_EQ(f.calls, stop_at - 1);
        CHECK(state_of(chain) == state_of(twin));
        CHECK_EQ(chain.current_log_density(), twin.current_log_density());
        CHECK_EQ(chain.iterations(), twin.iterations());
        CHECK_EQ(chain.accepted(), twin.accepted());
        CHECK_EQ(chain.step_size(), twin.step_size());
    }
}

TEST(an_interrupted_hmc_batch_keeps_its_completed_trajectories) {
    HmcSettings settings;
    settings.step_size = 0.1;
    settings.leapfrog_steps = 4;
    settings.jitter = 0.0;  // a fixed count of calls per trajectory
    const std::size_t per_transition = 2 * 2 * (settings.leapfrog_steps + 1) + 1;
    for (std::size_t stop_at : {1u, 21u, 22u, 23u, 200u}) {
        HmcSampler chain(box2, settings);
        auto start = ChaChaRng::seeded(3);
        StoppingDensity g{0};
        CHECK(chain.with(g).init(start).has_value());
        HmcSampler twin = chain;
        CHECK(interrupted_batch(chain, 1000, stop_at));
        StoppingDensity f{0};
        auto rng = ChaChaRng::seeded(5);
        std::vector<double> out;
        const std::size_t done = (stop_at - 1) / per_transition;
        CHECK(twin.with(f).sample_n(done, rng, out).has_value());
        CHECK_EQ(f.calls, done * per_transition);  // no trajectory here ends early
        CHECK(state_of(chain) == state_of(twin));
        CHECK_EQ(chain.current_log_density(), twin.current_log_density());
    }
}

TEST(an_interrupted_gibbs_step_keeps_the_last_completed_sweep) {
    // sample_coord(i, x) returns a new value from the call count; it throws at call 8, in the
    // middle of the third sweep of 3 coordinates (sweeps 2 per step).
    std::size_t calls = 0;
    std::vector<std::vector<double>> seen;
    auto sample_coord = [&](std::size_t, std::span<const double> x) {
        if (++calls == 8) throw Interrupted{};
        seen.emplace_back(x.begin(), x.end());
        return static_cast<double>(calls);
    };
    auto made =
        GibbsSampler::make(mvtest::box({0, 0, 0}, {1, 1, 1}), std::vector<double>{0, 0, 0}, 2);
    CHECK(made.has_value());
    GibbsSampler g = *made;
    bool interrupted = false;
    try {
        (void)g.with(sample_coord).step();  // sweeps 1 and 2: calls 1 to 6
        (void)g.with(sample_coord).step();  // sweep 3 ends at call 8
    } catch (const Interrupted&) {
        interrupted = true;
    }
    CHECK(interrupted);
    CHECK((std::vector<double>(g.current().begin(), g.current().end()) ==
           std::vector<double>{4.0, 5.0, 6.0}));
    // Each call saw the coordinates already updated in its sweep, as in place.
    CHECK((seen[4] == std::vector<double>{4.0, 2.0, 3.0}));
    CHECK((seen[6] == std::vector<double>{4.0, 5.0, 6.0}));
}

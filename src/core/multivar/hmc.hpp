// Hamiltonian Monte Carlo in a box or on the whole space, with the gradient of the log density
// given by the user or estimated by central differences.
//
// Unit mass matrix, leapfrog integration; in a box, positions are folded back by reflection,
// each mirroring reversing the momentum component it folds (an elastic bounce off the wall:
// the trajectory stays reversible and volume-preserving, so the chain keeps the density cut by
// the box as its stationary distribution). By default the number of leapfrog steps of each
// trajectory is drawn from the chain's own stream (jitter), so that no scale of the target can
// make a fixed trajectory length periodic; jitter = 0 gives the fixed trajectory. The step size
// may adapt during the first adapt_steps transitions after init, by dual averaging towards a
// target acceptance probability. No burn-in or thinning.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "core/batch_fn.hpp"
#include "core/multivar/chain.hpp"
#include "core/random.hpp"

namespace varnix {

// Where the gradient of the log density comes from.
enum class HmcGradient : std::uint8_t {
    FiniteDifferences,  // central differences of f, 2d calls per gradient
    Callable,           // a function of its own (ChainTarget::grad)
    WithValue,          // a function giving the log density and its gradient together
};

struct HmcSettings {
    double step_size = 0.05;
    std::size_t leapfrog_steps = 20;   // position updates per trajectory (before jitter)
    double grad_eps = 1e-6;            // absolute finite-difference step
    bool log_density = false;          // the user function gives ln f, not f
    HmcGradient gradient = HmcGradient::FiniteDifferences;
    // Each trajectory takes a number of leapfrog steps drawn uniformly from the integers in
    // [(1 - jitter) L, (1 + jitter) L] (at least 1); 0 takes exactly L.
    double jitter = 1.0;
    std::size_t adapt_steps = 0;       // dual averaging while iterations <= this; 0 never
    double target_accept = 0.8;        // the mean acceptance probability adaptation aims at
};

// A transition takes 2d uniforms for the momenta, one more for the number of steps when jitter
// is on, and the acceptance uniform when the end point's log density is finite. With finite
// differences it makes 2d(L+1)+1 evaluations of f; with a gradient function L+1 calls of it
// and one of f, or L+1 calls of a function giving both. A position that cannot be folded into
// the support (see ChainSupport::fold), or a user gradient with a non-finite component, ends
// the trajectory at once as rejected: no more calls, no acceptance uniform. sample_n makes one
// transition per point and has no check ahead of the loop: n = 0 succeeds even before init.
class HmcSampler : public BoxChain<HmcSampler> {
public:
    // Dual averaging constants (shrinkage, its power, the iteration offset) and the range the
    // step size is kept in.
    static constexpr double adapt_gamma = 0.05;
    static constexpr double adapt_kappa = 0.75;
    static constexpr double adapt_t0 = 10.0;
    static constexpr double min_step = 1e-10;
    static constexpr double max_step = 1e10;

    // No setting is range-checked (make checks them).
    HmcSampler(ChainSupport support, const HmcSettings& settings)
        : BoxChain(std::move(support)),
          settings_(settings),
          step_size_(settings.step_size),
          q_(support_.dim()),
          p_(support_.dim()),
          grad_(support_.dim()),
          plus_(support_.dim()),
          minus_(support_.dim()) {}

    // Refuses tuning that cannot work: step_size or grad_eps not finite and positive, no
    // leapfrog step, jitter outside [0, 1], target_accept outside (0, 1). InvalidTuning naming
    // the setting.
    static BuildResult<HmcSampler> make(ChainSupport support, const HmcSettings& settings);

    const HmcSettings& settings() const { return settings_; }
    // accepted / iterations, 0 when no transition has run since init.
    double accept_rate() const;
    double step_size() const { return step_size_; }
    std::uint64_t iterations() const { return iterations_; }
    std::uint64_t accepted() const { return accepted_; }

    // Saved state (core/serial.hpp): the support, the settings and the chain, then the fields
    // added since the first format (a state without them is the fixed trajectory of a density
    // on a box with finite differences, which is what such a state was made with); scratch is
    // not saved.
    struct Added {
        bool log_density = false;
        HmcGradient gradient = HmcGradient::FiniteDifferences;
        double jitter = 0.0;
        std::uint64_t adapt_steps = 0;
        double target_accept = 0.8;
        double step_size = 0.0;
        std::uint64_t iterations = 0;
        std::uint64_t accepted = 0;
        double adapt_mu = 0.0;
        double adapt_log_step_bar = 0.0;
        double adapt_h_bar = 0.0;
        std::uint64_t whole_space_dim = 0;
        static auto fields(auto& s) {
            auto& [log_density, gradient, jitter, adapt_steps, target_accept, step_size,
                   iterations, accepted, mu, log_step_bar, h_bar, whole_space_dim] = s;
            return std::tie(log_density, gradient, jitter, adapt_steps, target_accept, step_size,
                            iterations, accepted, mu, log_step_bar, h_bar, whole_space_dim);
        }
    };
    struct State {
        static constexpr const char* name = "HmcSampler";
        HyperRect::State box;  // empty bounds: the whole space
        HmcSettings settings;
        std::optional<Current> chain;
        AddedLater<Added> added;
        static auto fields(auto& s) {
            auto& [box, settings, chain, added] = s;
            // The settings after grad_eps are saved among the added fields.
            auto& [step_size, leapfrog_steps, grad_eps, log_density, gradient, jitter, adapt_steps,
                   target_accept] = settings;
            (void)log_density, (void)gradient, (void)jitter, (void)adapt_steps, (void)target_accept;
            return std::tie(box, step_size, leapfrog_steps, grad_eps, chain, added);
        }
    };
    State state() const;
    static StateResult<HmcSampler> from_state(State s);

    // The chain paired with the density, and with its batch form when the caller has one: the
    // gradient then evaluates its 2d points in one call. The sampler holds the batch form until
    // the next with replaces it (with(f) alone drops it), so a Bound is used before the next
    // with, as every caller does (a Bound lasts one call).
    Bound with(DensityRef f, OptionalBatch batch = std::nullopt) {
        gradient_batch_ = batch;
        return BoxChain::with(f);
    }
    Bound with(const ChainTarget& f, OptionalBatch batch = std::nullopt) {
        gradient_batch_ = batch;
        return BoxChain::with(f);
    }

private:
    friend class BoxChain<HmcSampler>;

    static constexpr BatchShape batch_shape() { return {0, 1, false}; }
    void on_init();
    void on_dimension(std::size_t d) {
        for (auto* v : {&q_, &p_, &grad_, &plus_, &minus_}) v->assign(d, 0.0);
    }
    template <WordSource R>
    void transition(R& rng, const ChainTarget& f);
    // One trajectory; returns its acceptance probability (0 when it ended early).
    template <WordSource R>
    double trajectory(R& rng, const ChainTarget& f);
    // grad_ := the gradient of the log density at q_ (estimated, or the user's). False for a
    // user gradient with a non-finite component. value receives the log density at q_ when the
    // user function gives it (and value is not null).
    bool gradient(const ChainTarget& f, double* value);
    void finite_differences(const ChainTarget& f);
    std::size_t jittered_steps(double u) const;
    void adapt(double accept_probability);
    OptionalBatch gradient_batch_;  // set by with, for the Bound it returns

    HmcSettings settings_;
    double step_size_;  // the settings' step size, unless adaptation moved it
    std::uint64_t iterations_ = 0;
    std::uint64_t accepted_ = 0;
    // Dual averaging: the log step it shrinks towards, the averaged log step and the averaged
    // shortfall of the acceptance probability.
    double adapt_mu_ = 0.0;
    double adapt_log_step_bar_ = 0.0;
    double adapt_h_bar_ = 0.0;
    // Scratch, sized d: position, momentum, gradient, shifted points.
    std::vector<double> q_, p_, grad_, plus_, minus_;
};

// One transition of an initialised chain. The trajectory lives in scratch space and current_ is
// only replaced on acceptance, so an exception from f leaves the chain (counters included) as it
// was.
template <WordSource R>
void HmcSampler::transition(R& rng, const ChainTarget& f) {
    const double alpha = trajectory(rng, f);
    ++iterations_;
    if (settings_.adapt_steps != 0 && iterations_ <= settings_.adapt_steps) adapt(alpha);
}

template <WordSource R>
double HmcSampler::trajectory(R& rng, const ChainTarget& f) {
    const std::size_t d = support_.dim();
    const double eps = step_size_;

    // Momenta: one standard normal per coordinate (cosine Box-Muller on u1 then u2), then the
    // number of steps when it is jittered.
    standard_normals(rng, std::span<double>(p_));
    const std::size_t steps =
        settings_.jitter > 0.0 ? jittered_steps(uniform(rng)) : settings_.leapfrog_steps;

    // Evaluation order is frozen (docs/architecture.md) in everything below.
    double k0 = 0.0;
    for (std::size_t i = 0; i < d; ++i) k0 += p_[i] * p_[i];
    k0 = 0.5 * k0;
    const double h0 = k0 - current_log_density_;

    std::copy(current_.begin(), current_.end(), q_.begin());
    if (!gradient(f, nullptr)) return 0.0;
    for (std::size_t j = 0; j < d; ++j) p_[j] = (eps * 0.5) * grad_[j] + p_[j];

    const bool value_with_gradient = settings_.gradient == HmcGradient::WithValue;
    double l1 = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t step = 0; step < steps; ++step) {
        for (std::size_t j = 0; j < d; ++j) {
            q_[j] = eps * p_[j] + q_[j];
            // A position that cannot be folded back (infinite, typically from an infinite
            // gradient component where the density vanishes on one side of a difference pair,
            // or too far out for reflection to bring back) rejects the whole trajectory at once:
            // no further density evaluations, no acceptance uniform, current stays.
            std::size_t mirrorings;
            if (!support_.fold(j, q_[j], mirrorings)) return 0.0;
            // Each mirroring reverses the component once; an even number leaves it as it was.
            if (mirrorings % 2 != 0) p_[j] = -p_[j];
        }
        const bool last = step + 1 == steps;
        if (!gradient(f, last && value_with_gradient ? &l1 : nullptr)) return 0.0;
        for (std::size_t j = 0; j < d; ++j) p_[j] = eps * grad_[j] + p_[j];
    }
    // The full momentum steps above overshoot the last one by half; take that half back.
    for (std::size_t j = 0; j < d; ++j) p_[j] = -((eps * -0.5) * grad_[j] + p_[j]);

    // With the value given along with the gradient, the last call gave it (steps >= 1).
    if (!value_with_gradient || steps == 0) l1 = f.log_at(std::span<const double>(q_));
    if (!std::isfinite(l1)) return 0.0;

    double k1 = 0.0;
    for (std::size_t j = 0; j < d; ++j) k1 += p_[j] * p_[j];
    k1 = 0.5 * k1;
    const double log_ratio = h0 - (k1 - l1);
    if (std::log(uniform(rng)) < log_ratio) {
        std::swap(current_, q_);
        current_log_density_ = l1;
        ++accepted_;
    }
    if (!(log_ratio < 0.0)) return std::isnan(log_ratio) ? 0.0 : 1.0;
    return std::exp(log_ratio);
}

}  // namespace varnix

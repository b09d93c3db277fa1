// Hamiltonian Monte Carlo in a box with a central-difference gradient of the log density.
//
// Unit mass matrix, leapfrog integration, positions folded back into the box by reflection,
// each mirroring reversing the momentum component it folds (an elastic bounce off the wall:
// the trajectory stays reversible and volume-preserving, so the chain keeps the density cut by
// the box as its stationary distribution). The chain is that of chain.hpp; no adaptation,
// burn-in, thinning or counters.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/batch_fn.hpp"
#include "core/multivar/chain.hpp"
#include "core/multivar/reflect.hpp"
#include "core/random.hpp"

namespace varnix {

struct HmcSettings {
    double step_size = 0.05;
    std::size_t leapfrog_steps = 20;   // position updates per trajectory
    double grad_eps = 1e-6;            // absolute finite-difference step
};

// A transition normally makes 2d(L+1)+1 evaluations of f and takes 2d uniforms, plus the
// acceptance uniform when the end point's log density is finite. A position that reflection
// cannot fold into the box (see reflect_into) ends the trajectory at once as rejected: no more
// evaluations, no acceptance uniform. sample_n makes one transition per point and has no check
// ahead of the loop: n = 0 succeeds even before init.
class HmcSampler : public BoxChain<HmcSampler> {
public:
    // No setting is range-checked.
    HmcSampler(HyperRect box, const HmcSettings& settings)
        : BoxChain(std::move(box)),
          settings_(settings),
          q_(box_.dim()),
          p_(box_.dim()),
          grad_(box_.dim()),
          plus_(box_.dim()),
          minus_(box_.dim()) {}

    // Saved state (core/serial.hpp): the box, the settings and the chain; scratch is not saved.
    struct State {
        static constexpr const char* name = "HmcSampler";
        HyperRect::State box;
        HmcSettings settings;
        std::optional<Current> chain;
        static auto fields(auto& s) {
            auto& [box, settings, chain] = s;
            auto& [step_size, leapfrog_steps, grad_eps] = settings;
            return std::tie(box, step_size, leapfrog_steps, grad_eps, chain);
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

private:
    friend class BoxChain<HmcSampler>;

    static constexpr BatchShape batch_shape() { return {0, 1, false}; }
    template <WordSource R>
    void transition(R& rng, DensityRef f);
    void gradient(DensityRef f);  // grad_ := the estimate of the log density's gradient at q_
    OptionalBatch gradient_batch_;  // set by with, for the Bound it returns

    HmcSettings settings_;
    // Scratch, sized d at construction: position, momentum, gradient, shifted points.
    std::vector<double> q_, p_, grad_, plus_, minus_;
};

// One transition of an initialised chain. The trajectory lives in scratch space and current_ is
// only replaced on acceptance, so an exception from f leaves the chain as it was.
template <WordSource R>
void HmcSampler::transition(R& rng, DensityRef f) {
    const std::size_t d = box_.dim();
    const double* lo = box_.lo().data();
    const double* hi = box_.hi().data();
    const double eps = settings_.step_size;

    // Momenta: one standard normal per coordinate (cosine Box-Muller on u1 then u2).
    standard_normals(rng, std::span<double>(p_));

    // Evaluation order is frozen (docs/architecture.md) in everything below.
    double k0 = 0.0;
    for (std::size_t i = 0; i < d; ++i) k0 += p_[i] * p_[i];
    k0 = 0.5 * k0;
    const double h0 = k0 - current_log_density_;

    std::copy(current_.begin(), current_.end(), q_.begin());
    gradient(f);
    for (std::size_t j = 0; j < d; ++j) p_[j] = (eps * 0.5) * grad_[j] + p_[j];

    for (std::size_t step = 0; step < settings_.leapfrog_steps; ++step) {
        for (std::size_t j = 0; j < d; ++j) {
            q_[j] = eps * p_[j] + q_[j];
            // A position that cannot be folded back (infinite, typically from an infinite
            // gradient component where the density vanishes on one side of a difference pair,
            // or too far out for reflection to bring back) rejects the whole trajectory at once:
            // no further density evaluations, no acceptance uniform, current stays.
            std::size_t mirrorings;
            if (!reflect_into(q_[j], lo[j], hi[j], mirrorings)) return;
            // Each mirroring reverses the component once; an even number leaves it as it was.
            if (mirrorings % 2 != 0) p_[j] = -p_[j];
        }
        gradient(f);
        for (std::size_t j = 0; j < d; ++j) p_[j] = eps * grad_[j] + p_[j];
    }
    // The full momentum steps above overshoot the last one by half; take that half back.
    for (std::size_t j = 0; j < d; ++j) p_[j] = -((eps * -0.5) * grad_[j] + p_[j]);

    const double l1 = log_density(f(std::span<const double>(q_)));
    if (!std::isfinite(l1)) return;

    double k1 = 0.0;
    for (std::size_t j = 0; j < d; ++j) k1 += p_[j] * p_[j];
    k1 = 0.5 * k1;
    if (std::log(uniform(rng)) < h0 - (k1 - l1)) {
        std::swap(current_, q_);
        current_log_density_ = l1;
    }
}

}  // namespace varnix

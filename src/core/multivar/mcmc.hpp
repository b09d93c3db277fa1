// Adaptive random-walk Metropolis-Hastings in a box or on the whole space.
//
// Proposals move every coordinate by step_size times a standard normal and, in a box, are folded
// back into it by reflection; during the first adapt_steps transitions after init the step size is
// nudged towards a target acceptance rate. Besides the chain (see chain.hpp) the sampler keeps
// the step size and two counters, which init restarts (the step size is kept).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "core/multivar/chain.hpp"
#include "core/multivar/reflect.hpp"
#include "core/random.hpp"

namespace varnix {

struct MhSettings {
    double step_size = 0.25;
    std::size_t burn_in = 1000;    // transitions run at the start of every sample_n
    std::size_t thin = 1;          // transitions per returned point; 0 acts as 1
    double target_accept = 0.25;
    std::size_t adapt_steps = 2000;  // adapt while iterations <= this; 0 never adapts
    bool log_density = false;        // the user function gives ln f, not f
};

// A transition takes 2d uniforms, plus the acceptance uniform when the proposal's log density
// is finite. A proposal that reflection cannot fold into the box (see reflect_into) is rejected
// without evaluating f. sample_n is refused before init even for n = 0.
class MetropolisHastings : public BoxChain<MetropolisHastings> {
public:
    static constexpr double min_step = 1e-4;
    static constexpr double max_step = 10.0;

    // No setting is range-checked (make checks them).
    MetropolisHastings(ChainSupport support, const MhSettings& settings)
        : BoxChain(std::move(support)), settings_(settings), step_size_(settings.step_size) {}

    // Refuses tuning that cannot work: a step size that is not finite and positive, a target
    // acceptance outside (0, 1). InvalidTuning naming the setting.
    static BuildResult<MetropolisHastings> make(ChainSupport support, const MhSettings& settings);

    const MhSettings& settings() const { return settings_; }

    // accepted / iterations, 0 when no transition has run since init.
    double accept_rate() const;

    double step_size() const { return step_size_; }
    std::uint64_t iterations() const { return iterations_; }
    std::uint64_t accepted() const { return accepted_; }

    // Saved state (core/serial.hpp): the box and settings, the chain, the adapted step and the
    // counters. Scratch space is not saved: every transition writes it before reading it.
    struct Added {  // saved after the first format's fields
        bool log_density = false;
        std::uint64_t whole_space_dim = 0;
        static auto fields(auto& s) {
            auto& [log_density, whole_space_dim] = s;
            return std::tie(log_density, whole_space_dim);
        }
    };
    struct State {
        static constexpr const char* name = "MetropolisHastings";
        HyperRect::State box;  // empty bounds: the whole space
        MhSettings settings;
        std::optional<Current> chain;
        double step_size = 0.0;
        std::uint64_t iterations = 0;
        std::uint64_t accepted = 0;
        AddedLater<Added> added;
        static auto fields(auto& s) {
            auto& [box, settings, chain, step_size, iterations, accepted, added] = s;
            // log_density is saved among the added fields.
            auto& [set_step_size, burn_in, thin, target_accept, adapt_steps, log_density] =
                settings;
            (void)log_density;
            return std::tie(box, set_step_size, burn_in, thin, target_accept, adapt_steps, chain,
                            step_size, iterations, accepted, added);
        }
    };
    State state() const;
    static StateResult<MetropolisHastings> from_state(State s);

private:
    friend class BoxChain<MetropolisHastings>;

    BatchShape batch_shape() const {
        return {settings_.burn_in, settings_.thin == 0 ? 1 : settings_.thin, true};
    }
    void on_init() {
        iterations_ = 0;
        accepted_ = 0;
    }
    template <WordSource R>
    void transition(R& rng, const ChainTarget& f);
    void adapt();

    MhSettings settings_;
    double step_size_;
    std::uint64_t iterations_ = 0;
    std::uint64_t accepted_ = 0;
};

// One transition of an initialised chain. The proposal lives in scratch space and the chain is
// only written after f has returned, so an exception from f leaves the chain (counters
// included) as it was; only the generator has moved on.
template <WordSource R>
void MetropolisHastings::transition(R& rng, const ChainTarget& f) {
    const std::size_t d = support_.dim();

    // Every coordinate draws its normal even after an earlier one failed to fold, so that a
    // transition always takes 2*d uniforms before the acceptance uniform: the cosine branch of
    // Box-Muller on u1 then u2, coordinate by coordinate. Evaluation order is frozen
    // (docs/architecture.md).
    standard_normals(rng, std::span<double>(proposal_));
    bool folded = true;
    for (std::size_t i = 0; i < d; ++i) {
        proposal_[i] = current_[i] + step_size_ * proposal_[i];
        if (folded) folded = support_.fold(i, proposal_[i]);
    }

    // A proposal that could not be folded into the box (an infinite coordinate, or one too far
    // out for reflection to bring back) is rejected like one with a non-finite log density:
    // the density is not evaluated, no acceptance uniform is drawn, and nothing adapts.
    const double l = folded ? f.log_at(std::span<const double>(proposal_))
                            : -std::numeric_limits<double>::infinity();
    ++iterations_;
    if (!std::isfinite(l)) return;

    // ln u < 0 <= gain for every u in [0, 1): an uphill move is accepted without the logarithm,
    // whose comparison would say the same; the uniform is drawn either way.
    const double gain = l - current_log_density_;
    const double u = uniform(rng);
    if (gain >= 0.0 || std::log(u) < gain) {
        std::swap(current_, proposal_);
        current_log_density_ = l;
        ++accepted_;
    }
    if (settings_.adapt_steps != 0 && iterations_ <= settings_.adapt_steps) adapt();
}

}  // namespace varnix

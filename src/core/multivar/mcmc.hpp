// Adaptive random-walk Metropolis-Hastings in a box.
//
// Proposals move every coordinate by step_size times a standard normal and are folded back into
// the box by reflection; during the first adapt_steps transitions after init the step size is
// nudged towards a target acceptance rate. The chain (current point, its log density, the step
// size and the two counters) persists between calls; init starts or restarts it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/multivar/box.hpp"
#include "core/random.hpp"

namespace varnix {

struct MhSettings {
    double step_size = 0.25;
    std::size_t burn_in = 1000;    // transitions run at the start of every sample_n
    std::size_t thin = 1;          // transitions per returned point; 0 acts as 1
    double target_accept = 0.25;
    std::size_t adapt_steps = 2000;  // adapt while iterations <= this; 0 never adapts
};

class MetropolisHastings {
public:
    static constexpr double min_step = 1e-4;
    static constexpr double max_step = 10.0;
    static constexpr std::size_t max_init_tries = 100000;

    // Validates a copy of the box; no setting is range-checked.
    static BuildResult<MetropolisHastings> make(const HyperRect& support,
                                                const MhSettings& settings);

    // Up to max_init_tries uniform points in the box until one has a finite log density; that
    // point becomes current and both counters restart at 0 (the step size is kept). McmcFailed
    // if none was usable, and then nothing changes.
    SampleResult<void> init(ChaChaRng& rng, DensityRef f);

    // One transition; the returned view is current() and stays valid until the next call that
    // changes the chain. McmcNotInitialized before a successful init. Takes 2d uniforms, plus
    // the acceptance uniform when the proposal's log density is finite. A proposal that
    // reflection cannot fold into the box (see reflect_into) is rejected without evaluating f.
    SampleResult<std::span<const double>> step(ChaChaRng& rng, DensityRef f);

    // burn_in transitions (also for n = 0), then n points each thin transitions apart, written
    // row by row to out. out is replaced only on success; transitions made stay made.
    SampleResult<void> sample_n(std::size_t n, ChaChaRng& rng, DensityRef f,
                                std::vector<double>& out);

    // accepted / iterations, 0 when no transition has run since init.
    double accept_rate() const;

    std::size_t dim() const { return box_.dim(); }
    const HyperRect& box() const { return box_; }
    const MhSettings& settings() const { return settings_; }
    bool initialized() const { return initialized_; }
    std::span<const double> current() const;  // empty before init
    double current_log_density() const { return current_log_density_; }  // -inf before init
    double step_size() const { return step_size_; }
    std::uint64_t iterations() const { return iterations_; }
    std::uint64_t accepted() const { return accepted_; }

private:
    MetropolisHastings(HyperRect box, const MhSettings& settings);
    void transition(ChaChaRng& rng, DensityRef f);
    void adapt();

    HyperRect box_;
    MhSettings settings_;
    double step_size_;
    bool initialized_ = false;
    std::vector<double> current_;   // d entries; meaningful once initialized_
    double current_log_density_;
    std::uint64_t iterations_ = 0;
    std::uint64_t accepted_ = 0;
    std::vector<double> proposal_;  // scratch for init candidates and proposals
};

}  // namespace varnix

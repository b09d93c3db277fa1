// Hamiltonian Monte Carlo in a box with a central-difference gradient of the log density.
//
// Unit mass matrix, leapfrog integration, positions folded back into the box by reflection (the
// momentum is not reversed). The chain (current point and its log density) persists between
// calls; init starts or restarts it. No adaptation, burn-in, thinning or counters.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/multivar/box.hpp"
#include "core/random.hpp"

namespace varnix {

struct HmcSettings {
    double step_size = 0.05;           // leapfrog step
    std::size_t leapfrog_steps = 20;   // position updates per trajectory
    double grad_eps = 1e-6;            // absolute finite-difference step
};

class HmcSampler {
public:
    static constexpr std::size_t max_init_tries = 100000;

    // Validates a copy of the box; no setting is range-checked.
    static BuildResult<HmcSampler> make(const HyperRect& support, const HmcSettings& settings);

    // Up to max_init_tries uniform points in the box until one has a finite log density; that
    // point becomes current. McmcFailed if none was usable, and then nothing changes.
    SampleResult<void> init(ChaChaRng& rng, DensityRef f);

    // One transition; the returned view is current() and stays valid until the next call that
    // changes the chain. McmcNotInitialized before a successful init. Normally 2d(L+1)+1
    // evaluations of f and 2d uniforms, plus the acceptance uniform when the end point's log
    // density is finite. A position that reflection cannot fold into the box (see reflect_into)
    // ends the trajectory at once as rejected: no more evaluations, no acceptance uniform.
    SampleResult<std::span<const double>> sample(ChaChaRng& rng, DensityRef f);

    // n transitions, the point after each written row by row to out. No check ahead of the
    // loop: n = 0 succeeds even before init. out is replaced only on success.
    SampleResult<void> sample_n(std::size_t n, ChaChaRng& rng, DensityRef f,
                                std::vector<double>& out);

    std::size_t dim() const { return box_.dim(); }
    const HyperRect& box() const { return box_; }
    const HmcSettings& settings() const { return settings_; }
    bool initialized() const { return initialized_; }
    std::span<const double> current() const;  // empty before init
    double current_log_density() const { return current_log_density_; }  // -inf before init

private:
    HmcSampler(HyperRect box, const HmcSettings& settings);
    void transition(ChaChaRng& rng, DensityRef f);
    void gradient(DensityRef f);  // grad_ := the estimate of the log density's gradient at q_

    HyperRect box_;
    HmcSettings settings_;
    bool initialized_ = false;
    std::vector<double> current_;
    double current_log_density_;
    // Scratch, sized d at construction: position, momentum, gradient, shifted points.
    std::vector<double> q_, p_, grad_, plus_, minus_;
};

}  // namespace varnix

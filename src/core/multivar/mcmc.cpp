#include "core/multivar/mcmc.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace varnix {

MetropolisHastings::MetropolisHastings(HyperRect box, const MhSettings& settings)
    : box_(std::move(box)),
      settings_(settings),
      step_size_(settings.step_size),
      current_(box_.dim()),
      current_log_density_(-std::numeric_limits<double>::infinity()),
      proposal_(box_.dim()) {}

BuildResult<MetropolisHastings> MetropolisHastings::make(const HyperRect& support,
                                                         const MhSettings& settings) {
    auto box = HyperRect::validate(support.lo, support.hi);
    if (!box) return std::unexpected(box.error());
    return MetropolisHastings(std::move(*box), settings);
}

std::span<const double> MetropolisHastings::current() const {
    if (!initialized_) return {};
    return current_;
}

double MetropolisHastings::accept_rate() const {
    if (iterations_ == 0) return 0.0;
    return static_cast<double>(accepted_) / static_cast<double>(iterations_);
}

SampleResult<void> MetropolisHastings::init(ChaChaRng& rng, DensityRef f) {
    const auto l = find_usable_start(box_, rng, f, proposal_, max_init_tries);
    if (!l) return std::unexpected(SampleError::of(SampleErrorKind::McmcFailed));
    std::swap(current_, proposal_);
    current_log_density_ = *l;
    initialized_ = true;
    iterations_ = 0;
    accepted_ = 0;
    return {};
}

// One transition of an initialised chain. The proposal lives in scratch space and the chain is
// only written after f has returned, so an exception from f leaves the chain (counters
// included) as it was; only the generator has moved on.
void MetropolisHastings::transition(ChaChaRng& rng, DensityRef f) {
    const std::size_t d = box_.dim();
    const double* lo = box_.lo.data();
    const double* hi = box_.hi.data();

    // Every coordinate draws its normal even after an earlier one failed to fold, so that a
    // transition always takes 2*d uniforms before the acceptance uniform.
    bool folded = true;
    for (std::size_t i = 0; i < d; ++i) {
        // standard_normal is the cosine branch of Box-Muller on u1 then u2; order matters:
        // seeded results are reproduced bit for bit.
        const double z = standard_normal(rng);
        proposal_[i] = current_[i] + step_size_ * z;
        if (folded) folded = reflect_into(proposal_[i], lo[i], hi[i]);
    }

    // A proposal that could not be folded into the box (an infinite coordinate, or one too far
    // out for reflection to bring back) is rejected like one with a non-finite log density:
    // the density is not evaluated, no acceptance uniform is drawn, and nothing adapts.
    const double l = folded ? log_density(f(std::span<const double>(proposal_)))
                            : -std::numeric_limits<double>::infinity();
    ++iterations_;
    if (!std::isfinite(l)) return;

    if (std::log(uniform(rng)) < l - current_log_density_) {
        std::swap(current_, proposal_);
        current_log_density_ = l;
        ++accepted_;
    }
    if (settings_.adapt_steps != 0 && iterations_ <= settings_.adapt_steps) adapt();
}

// Nudges the step size towards the target acceptance rate with a gain shrinking like
// 1/sqrt(iterations); the acceptance of the transition just made is already counted. Order
// matters: seeded results are reproduced bit for bit.
void MetropolisHastings::adapt() {
    const double rate = static_cast<double>(accepted_) / static_cast<double>(iterations_);
    const double gamma = 1.0 / std::sqrt(static_cast<double>(iterations_ + 10));
    double delta = rate - settings_.target_accept;
    if (delta < -0.2) delta = -0.2;
    else if (delta > 0.2) delta = 0.2;
    double s = std::exp(std::log(step_size_) + delta * gamma);
    if (s < min_step) s = min_step;
    else if (s > max_step) s = max_step;
    step_size_ = s;
}

SampleResult<std::span<const double>> MetropolisHastings::step(ChaChaRng& rng, DensityRef f) {
    if (!initialized_) return std::unexpected(SampleError::of(SampleErrorKind::McmcNotInitialized));
    transition(rng, f);
    return std::span<const double>(current_);
}

SampleResult<void> MetropolisHastings::sample_n(std::size_t n, ChaChaRng& rng, DensityRef f,
                                                std::vector<double>& out) {
    if (!initialized_) return std::unexpected(SampleError::of(SampleErrorKind::McmcNotInitialized));
    const std::size_t d = box_.dim();
    const std::size_t thin = settings_.thin == 0 ? 1 : settings_.thin;
    for (std::size_t k = 0; k < settings_.burn_in; ++k) transition(rng, f);
    std::vector<double> points(flat_size(n, d));  // after the burn-in, which runs whatever n is
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t t = 0; t < thin; ++t) transition(rng, f);
        std::copy(current_.begin(), current_.end(), points.begin() + static_cast<std::ptrdiff_t>(k * d));
    }
    out = std::move(points);
    return {};
}

}  // namespace varnix

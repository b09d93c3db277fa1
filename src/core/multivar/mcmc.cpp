#include "core/multivar/mcmc.hpp"

namespace varnix {

BuildResult<MetropolisHastings> MetropolisHastings::make(ChainSupport support,
                                                         const MhSettings& settings) {
    if (!(std::isfinite(settings.step_size) && settings.step_size > 0.0)) {
        return std::unexpected(BuildError::invalid_tuning(
            "step_size must be finite and positive", settings.step_size));
    }
    if (!(settings.target_accept > 0.0 && settings.target_accept < 1.0)) {
        return std::unexpected(BuildError::invalid_tuning(
            "target_accept must lie in (0, 1)", settings.target_accept));
    }
    return MetropolisHastings(std::move(support), settings);
}

double MetropolisHastings::accept_rate() const {
    if (iterations_ == 0) return 0.0;
    return static_cast<double>(accepted_) / static_cast<double>(iterations_);
}

// Nudges the step size towards the target acceptance rate with a gain shrinking like
// 1/sqrt(iterations); the acceptance of the transition just made is already counted. Evaluation
// order is frozen (docs/architecture.md).
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

}  // namespace varnix

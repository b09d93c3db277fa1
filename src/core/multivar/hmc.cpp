#include "core/multivar/hmc.hpp"

#include "core/multivar/points.hpp"

namespace varnix {

BuildResult<HmcSampler> HmcSampler::make(ChainSupport support, const HmcSettings& s) {
    auto refuse = [](const char* what, double value) {
        return std::unexpected(BuildError::invalid_tuning(what, value));
    };
    if (!(std::isfinite(s.step_size) && s.step_size > 0.0)) {
        return refuse("step_size must be finite and positive", s.step_size);
    }
    if (s.leapfrog_steps == 0) return refuse("leapfrog_steps must be at least 1", 0.0);
    if (!(std::isfinite(s.grad_eps) && s.grad_eps > 0.0)) {
        return refuse("grad_eps must be finite and positive", s.grad_eps);
    }
    if (!(s.jitter >= 0.0 && s.jitter <= 1.0)) return refuse("jitter must lie in [0, 1]", s.jitter);
    if (!(s.target_accept > 0.0 && s.target_accept < 1.0)) {
        return refuse("target_accept must lie in (0, 1)", s.target_accept);
    }
    return HmcSampler(std::move(support), s);
}

double HmcSampler::accept_rate() const {
    if (iterations_ == 0) return 0.0;
    return static_cast<double>(accepted_) / static_cast<double>(iterations_);
}

// The counters restart; the adaptation starts again from the step size reached so far.
void HmcSampler::on_init() {
    iterations_ = 0;
    accepted_ = 0;
    adapt_mu_ = std::log(10.0 * step_size_);
    adapt_log_step_bar_ = 0.0;
    adapt_h_bar_ = 0.0;
}

// Uniform over the integers in [max(1, ceil((1 - j) L)), max(lo, floor((1 + j) L))].
std::size_t HmcSampler::jittered_steps(double u) const {
    const double L = static_cast<double>(settings_.leapfrog_steps);
    const double j = settings_.jitter;
    const auto lo = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil((1.0 - j) * L)));
    const auto hi = std::max(lo, static_cast<std::size_t>(std::floor((1.0 + j) * L)));
    const auto k = static_cast<std::size_t>(u * static_cast<double>(hi - lo + 1));
    return lo + std::min(k, hi - lo);
}

// Dual averaging after transition m = iterations_ of the warm-up: the averaged shortfall of the
// acceptance probability sets the next log step, shrunk towards mu; the last transition of the
// warm-up leaves the averaged log step.
void HmcSampler::adapt(double accept_probability) {
    const double m = static_cast<double>(iterations_);
    const double w = 1.0 / (m + adapt_t0);
    adapt_h_bar_ = (1.0 - w) * adapt_h_bar_ + w * (settings_.target_accept - accept_probability);
    const double log_step = adapt_mu_ - std::sqrt(m) / adapt_gamma * adapt_h_bar_;
    const double eta = std::pow(m, -adapt_kappa);
    adapt_log_step_bar_ = eta * log_step + (1.0 - eta) * adapt_log_step_bar_;
    const bool last = iterations_ == settings_.adapt_steps;
    const double next = std::exp(last ? adapt_log_step_bar_ : log_step);
    step_size_ = std::clamp(next, min_step, max_step);
}

bool HmcSampler::gradient(const ChainTarget& f, double* value) {
    if (settings_.gradient == HmcGradient::FiniteDifferences || !f.grad) {
        finite_differences(f);
        return true;
    }
    const double l = (*f.grad)(std::span<const double>(q_), std::span<double>(grad_));
    for (double g : grad_) {
        if (!std::isfinite(g)) return false;
    }
    if (value != nullptr) *value = usable_log_value(l);
    return true;
}

// Central differences with the absolute step h, at points shifted one coordinate at a time and
// not folded into the box (f may be called just outside it); f(x+) is evaluated before f(x-).
// A side where the log density is -inf makes the component infinite, both sides make it NaN.
// With a batch form, the 2d points go to one call in the order the scalar calls take them.
// Evaluation order is frozen (docs/architecture.md).
void HmcSampler::finite_differences(const ChainTarget& f) {
    const std::size_t d = support_.dim();
    const double h = settings_.grad_eps;
    // The batch form is of the density: a log density is differenced one point at a time.
    if (gradient_batch_ && !settings_.log_density) {
        std::vector<double> points(flat_size(2 * d, d));
        std::vector<double> values(2 * d);
        for (std::size_t i = 0; i < d; ++i) {
            double* plus = points.data() + (2 * i) * d;
            double* minus = plus + d;
            std::copy(q_.begin(), q_.end(), plus);
            std::copy(q_.begin(), q_.end(), minus);
            plus[i] = h + q_[i];
            minus[i] = q_[i] - h;
        }
        (*gradient_batch_)(std::span<const double>(points), std::span<double>(values));
        for (std::size_t i = 0; i < d; ++i) {
            const double l_plus = log_density(values[2 * i]);
            const double l_minus = log_density(values[2 * i + 1]);
            grad_[i] = (l_plus - l_minus) / (h * 2.0);
        }
        return;
    }
    std::copy(q_.begin(), q_.end(), plus_.begin());
    std::copy(q_.begin(), q_.end(), minus_.begin());
    for (std::size_t i = 0; i < d; ++i) {
        plus_[i] = h + q_[i];
        minus_[i] = q_[i] - h;
        const double l_plus = f.log_at(std::span<const double>(plus_));
        const double l_minus = f.log_at(std::span<const double>(minus_));
        grad_[i] = (l_plus - l_minus) / (h * 2.0);
        plus_[i] = q_[i];
        minus_[i] = q_[i];
    }
}

}  // namespace varnix

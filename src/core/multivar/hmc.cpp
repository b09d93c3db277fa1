#include "core/multivar/hmc.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace varnix {

HmcSampler::HmcSampler(HyperRect box, const HmcSettings& settings)
    : box_(std::move(box)),
      settings_(settings),
      current_(box_.dim()),
      current_log_density_(-std::numeric_limits<double>::infinity()),
      q_(box_.dim()),
      p_(box_.dim()),
      grad_(box_.dim()),
      plus_(box_.dim()),
      minus_(box_.dim()) {}

BuildResult<HmcSampler> HmcSampler::make(const HyperRect& support, const HmcSettings& settings) {
    auto box = HyperRect::validate(support.lo, support.hi);
    if (!box) return std::unexpected(box.error());
    return HmcSampler(std::move(*box), settings);
}

std::span<const double> HmcSampler::current() const {
    if (!initialized_) return {};
    return current_;
}

SampleResult<void> HmcSampler::init(ChaChaRng& rng, DensityRef f) {
    const auto l = find_usable_start(box_, rng, f, q_, max_init_tries);
    if (!l) return std::unexpected(SampleError::of(SampleErrorKind::McmcFailed));
    std::swap(current_, q_);
    current_log_density_ = *l;
    initialized_ = true;
    return {};
}

// Central differences with the absolute step h, at points shifted one coordinate at a time and
// not folded into the box (f may be called just outside it); f(x+) is evaluated before f(x-).
// A side where the log density is -inf makes the component infinite, both sides make it NaN.
// Order matters: seeded results are reproduced bit for bit.
void HmcSampler::gradient(DensityRef f) {
    const std::size_t d = box_.dim();
    const double h = settings_.grad_eps;
    std::copy(q_.begin(), q_.end(), plus_.begin());
    std::copy(q_.begin(), q_.end(), minus_.begin());
    for (std::size_t i = 0; i < d; ++i) {
        plus_[i] = h + q_[i];
        minus_[i] = q_[i] - h;
        const double l_plus = log_density(f(std::span<const double>(plus_)));
        const double l_minus = log_density(f(std::span<const double>(minus_)));
        grad_[i] = (l_plus - l_minus) / (h * 2.0);
        plus_[i] = q_[i];
        minus_[i] = q_[i];
    }
}

// One transition of an initialised chain. The trajectory lives in scratch space and current_ is
// only replaced on acceptance, so an exception from f leaves the chain as it was.
void HmcSampler::transition(ChaChaRng& rng, DensityRef f) {
    const std::size_t d = box_.dim();
    const double* lo = box_.lo.data();
    const double* hi = box_.hi.data();
    const double eps = settings_.step_size;

    // Momenta: one standard normal per coordinate (cosine Box-Muller on u1 then u2).
    for (std::size_t i = 0; i < d; ++i) p_[i] = standard_normal(rng);

    // Order matters in everything below: seeded results are reproduced bit for bit.
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
            if (!reflect_into(q_[j], lo[j], hi[j])) return;
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

SampleResult<std::span<const double>> HmcSampler::sample(ChaChaRng& rng, DensityRef f) {
    if (!initialized_) return std::unexpected(SampleError::of(SampleErrorKind::McmcNotInitialized));
    transition(rng, f);
    return std::span<const double>(current_);
}

SampleResult<void> HmcSampler::sample_n(std::size_t n, ChaChaRng& rng, DensityRef f,
                                        std::vector<double>& out) {
    const std::size_t d = box_.dim();
    // The first transition of an uninitialised chain fails; say so before reserving room for
    // n points, so that the error does not depend on how large n is.
    if (n > 0 && !initialized_) {
        return std::unexpected(SampleError::of(SampleErrorKind::McmcNotInitialized));
    }
    std::vector<double> points(flat_size(n, d));
    for (std::size_t k = 0; k < n; ++k) {
        transition(rng, f);
        std::copy(current_.begin(), current_.end(),
                  points.begin() + static_cast<std::ptrdiff_t>(k * d));
    }
    out = std::move(points);
    return {};
}

}  // namespace varnix

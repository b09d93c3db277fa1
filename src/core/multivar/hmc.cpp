#include "core/multivar/hmc.hpp"

#include "core/multivar/points.hpp"

namespace varnix {

// Central differences with the absolute step h, at points shifted one coordinate at a time and
// not folded into the box (f may be called just outside it); f(x+) is evaluated before f(x-).
// A side where the log density is -inf makes the component infinite, both sides make it NaN.
// With a batch form, the 2d points go to one call in the order the scalar calls take them.
// Evaluation order is frozen (docs/architecture.md).
void HmcSampler::gradient(DensityRef f) {
    const std::size_t d = box_.dim();
    const double h = settings_.grad_eps;
    if (gradient_batch_) {
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
        const double l_plus = log_density(f(std::span<const double>(plus_)));
        const double l_minus = log_density(f(std::span<const double>(minus_)));
        grad_[i] = (l_plus - l_minus) / (h * 2.0);
        plus_[i] = q_[i];
        minus_[i] = q_[i];
    }
}

}  // namespace varnix

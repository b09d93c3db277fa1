#include "core/continuous/density_probe.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace varnix {

std::uint64_t DensityProbe::key(double x) { return std::bit_cast<std::uint64_t>(x); }

void DensityProbe::set_scale_exponent(int e) {
    exponent_ = e;
    // 2^-e is a double (normal or subnormal) for -1074 <= -e <= 1023.
    exact_factor_ = e >= -1023 && e <= 1074;
    factor_ = exact_factor_ ? std::ldexp(1.0, -e) : 1.0;
}

double DensityProbe::read(double x) {
    // After a failure the builder only finishes its current step: no more user calls.
    if (error_) return 0.0;
    ++calls_;
    const double v = batch_ ? fetch(x) : density_(x);
    if (v >= 0.0 && v <= std::numeric_limits<double>::max()) return scaled(v);
    return refuse(x, v);
}

double DensityProbe::refuse(double x, double v) {
    if (v < 0.0) {
        fail(BuildError::density_negative(x, v));
        return 0.0;
    }
    // Not finite (NaN or infinite).
    if (x == lo_ || x == hi_) return std::numeric_limits<double>::quiet_NaN();
    fail(BuildError::density_not_finite(x, v));
    return 0.0;
}

double DensityProbe::read_lenient(double x) {
    if (error_) return 0.0;
    ++calls_;
    const double v = batch_ ? fetch(x) : density_(x);
    if (!std::isfinite(v)) return v;
    if (v < 0.0) {
        fail(BuildError::density_negative(x, v));
        return 0.0;
    }
    return scaled(v);
}

double DensityProbe::fetch(double x) {
    if (const auto it = values_.find(key(x)); it != values_.end()) return it->second;
    const double one[1] = {x};
    prefetch(one);
    return values_.at(key(x));
}

void DensityProbe::prefetch(std::span<const double> xs) { prefetch(xs, {}); }

void DensityProbe::prefetch(std::span<const double> needed, std::span<const double> guessed) {
    if (!batch_ || error_) return;
    pending_.clear();
    for (const double x : needed) {
        // Each point once, also within one call.
        if (values_.try_emplace(key(x), std::numeric_limits<double>::quiet_NaN()).second) {
            pending_.push_back(x);
        }
    }
    if (pending_.empty()) return;
    for (const double x : guessed) {
        if (values_.try_emplace(key(x), std::numeric_limits<double>::quiet_NaN()).second) {
            pending_.push_back(x);
        }
    }
    results_.assign(pending_.size(), std::numeric_limits<double>::quiet_NaN());
    ++batch_calls_;
    batch_points_ += pending_.size();
    try {
        (*batch_)(std::span<const double>(pending_), std::span<double>(results_));
    } catch (...) {
        for (const double x : pending_) values_.erase(key(x));
        throw;
    }
    for (std::size_t k = 0; k < pending_.size(); ++k) values_[key(pending_[k])] = results_[k];
}

double DensityProbe::peek(double x) const {
    const double v = values_.at(key(x));
    if (v < 0.0) return 0.0;
    if (!std::isfinite(v)) {
        return x == lo_ || x == hi_ ? std::numeric_limits<double>::quiet_NaN() : 0.0;
    }
    return scaled(v);
}

}  // namespace varnix

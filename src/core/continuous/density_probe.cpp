#include "core/continuous/density_probe.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace varnix {

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
    if (const double* v = values_.find(x)) return *v;
    const double one[1] = {x};
    prefetch(one);
    const double* v = values_.find(x);
    if (v == nullptr) throw InternalFault("a batch density left a point unevaluated");
    return *v;
}

void DensityProbe::prefetch(std::span<const double> xs) { prefetch(xs, {}); }

void DensityProbe::prefetch(std::span<const double> needed, std::span<const double> guessed) {
    if (!batch_ || error_) return;
    pending_.clear();
    slots_.clear();
    // The slots of the new points stay where they are until the values arrive.
    values_.reserve_more(needed.size() + guessed.size());
    const auto announce = [&](double x) {
        // Each point once, also within one call.
        if (double* slot = values_.insert(x, std::numeric_limits<double>::quiet_NaN())) {
            pending_.push_back(x);
            slots_.push_back(slot);
        }
    };
    for (const double x : needed) announce(x);
    if (pending_.empty()) return;
    for (const double x : guessed) announce(x);
    results_.assign(pending_.size(), std::numeric_limits<double>::quiet_NaN());
    ++batch_calls_;
    batch_points_ += pending_.size();
    try {
        (*batch_)(std::span<const double>(pending_), std::span<double>(results_));
    } catch (...) {
        // Nothing kept is trusted after a call that did not return (the build ends with it).
        values_.clear();
        throw;
    }
    for (std::size_t k = 0; k < pending_.size(); ++k) *slots_[k] = results_[k];
}

double DensityProbe::peek(double x) const {
    const double* kept = values_.find(x);
    if (kept == nullptr) throw InternalFault("a density value was peeked before it was evaluated");
    const double v = *kept;
    if (v < 0.0) return 0.0;
    if (!std::isfinite(v)) {
        return x == lo_ || x == hi_ ? std::numeric_limits<double>::quiet_NaN() : 0.0;
    }
    return scaled(v);
}

}  // namespace varnix

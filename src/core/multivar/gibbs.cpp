#include "core/multivar/gibbs.hpp"

#include <utility>

#include "core/multivar/points.hpp"

namespace varnix {

SampleResult<GibbsSampler> GibbsSampler::make(const HyperRect& box, std::span<const double> init,
                                              std::size_t sweeps_per_sample) {
    if (init.size() != box.dim()) {
        return std::unexpected(SampleError::of(SampleErrorKind::McmcFailed));
    }
    return GibbsSampler(std::vector<double>(init.begin(), init.end()), sweeps_per_sample);
}

GibbsSampler::Bound GibbsSampler::with(CoordinateSamplerRef sample_coord) {
    return Bound(*this, sample_coord);
}

// An exception from sample_coord stops the sweep where it is: the coordinates updated before it
// keep their new values, exactly as if the sweep had been cut short there.
std::span<const double> GibbsSampler::Bound::step() {
    std::vector<double>& state = s_.state_;
    const std::size_t d = state.size();
    for (std::size_t sweep = 0; sweep < s_.sweeps_; ++sweep) {
        for (std::size_t i = 0; i < d; ++i) {
            const double v = sample_coord_(i, std::span<const double>(state));
            state[i] = v;
        }
    }
    return state;
}

ConditionalFactorizationSampler::Bound ConditionalFactorizationSampler::with(
    CoordinateSamplerRef sample_i) const {
    return Bound(*this, sample_i);
}

SampleResult<void> ConditionalFactorizationSampler::Bound::sample(std::span<double> point) const {
    const std::size_t d = s_.dim_;
    if (d == 0) return std::unexpected(SampleError::of(SampleErrorKind::McmcFailed));
    if (point.size() != d) throw InternalFault("conditional draw: point buffer of wrong length");
    for (std::size_t i = 0; i < d; ++i) {
        point[i] = sample_i_(i, std::span<const double>(point.first(i)));
    }
    return {};
}

SampleResult<void> ConditionalFactorizationSampler::Bound::sample_n(
    std::size_t n, std::vector<double>& out) const {
    const std::size_t d = s_.dim_;
    out.clear();
    out.reserve(flat_size(n, d));
    std::vector<double> point(d);
    for (std::size_t k = 0; k < n; ++k) {
        auto drawn = sample(point);
        if (!drawn) return drawn;
        out.insert(out.end(), point.begin(), point.end());
    }
    return {};
}

FillResult ConditionalFactorizationSampler::Bound::fill(std::size_t n,
                                                        std::span<double> out) const {
    const std::size_t d = s_.dim_;
    if (out.size() != flat_size(n, d)) {
        throw InternalFault("conditional fill: span of wrong length");
    }
    for (std::size_t k = 0; k < n; ++k) {
        auto drawn = sample(out.subspan(k * d, d));
        if (!drawn) return fill_stopped(k, drawn.error());
    }
    return {};
}

}  // namespace varnix

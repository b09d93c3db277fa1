#include "core/multivar/gibbs.hpp"

#include <algorithm>
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

// Each sweep works on a copy of the state, which replaces the state once the sweep is complete:
// sample_coord sees exactly the values it would see in place, and an exception from it leaves
// the state of the last completed sweep.
std::span<const double> GibbsSampler::Bound::step() {
    std::vector<double>& state = s_.state_;
    std::vector<double>& point = s_.sweep_;
    const std::size_t d = state.size();
    for (std::size_t sweep = 0; sweep < s_.sweeps_; ++sweep) {
        std::copy(state.begin(), state.end(), point.begin());
        for (std::size_t i = 0; i < d; ++i) {
            const double v = sample_coord_(i, std::span<const double>(point));
            point[i] = v;
        }
        std::swap(state, point);
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

// fill over a vector: the points before a failing one stay.
SampleResult<void> ConditionalFactorizationSampler::Bound::sample_n(
    std::size_t n, std::vector<double>& out) const {
    out.assign(flat_size(n, s_.dim_), 0.0);
    const FillResult r = fill(n, out);
    if (!r) {
        out.resize(r.error().filled * s_.dim_);
        return std::unexpected(r.error().error);
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

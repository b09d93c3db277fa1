#include "core/multivar/gibbs.hpp"

#include <utility>

namespace varnix {

SampleResult<GibbsSampler> GibbsSampler::make(const HyperRect& support,
                                              std::span<const double> init,
                                              std::size_t sweeps_per_sample) {
    if (init.size() != support.dim()) {
        return std::unexpected(SampleError::of(SampleErrorKind::McmcFailed));
    }
    return GibbsSampler(std::vector<double>(init.begin(), init.end()), sweeps_per_sample);
}

// An exception from sample_coord stops the sweep where it is: the coordinates updated before it
// keep their new values, exactly as if the sweep had been cut short there.
std::span<const double> GibbsSampler::step(CoordinateSamplerRef sample_coord) {
    const std::size_t d = state_.size();
    for (std::size_t sweep = 0; sweep < sweeps_; ++sweep) {
        for (std::size_t i = 0; i < d; ++i) {
            const double v = sample_coord(i, std::span<const double>(state_));
            state_[i] = v;
        }
    }
    return state_;
}

SampleResult<void> ConditionalFactorizationSampler::draw(CoordinateSamplerRef sample_i,
                                                         std::span<double> out) const {
    if (dim_ == 0) return std::unexpected(SampleError::of(SampleErrorKind::McmcFailed));
    if (out.size() != dim_) throw InternalFault("conditional draw: point buffer of wrong length");
    for (std::size_t i = 0; i < dim_; ++i) {
        out[i] = sample_i(i, std::span<const double>(out.first(i)));
    }
    return {};
}

SampleResult<void> ConditionalFactorizationSampler::sample_n(std::size_t n,
                                                             CoordinateSamplerRef sample_i,
                                                             std::vector<double>& out) const {
    std::vector<double> points(flat_size(n, dim_));
    for (std::size_t k = 0; k < n; ++k) {
        auto drawn = draw(sample_i, std::span<double>(points).subspan(k * dim_, dim_));
        if (!drawn) return drawn;
    }
    out = std::move(points);
    return {};
}

}  // namespace varnix

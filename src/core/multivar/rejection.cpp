#include "core/multivar/rejection.hpp"

#include <cmath>

namespace varnix {

BuildResult<RejectionSampler> RejectionSampler::make(const HyperRect& support, double pdf_max,
                                                     std::size_t max_trials) {
    if (!std::isfinite(pdf_max) || !(pdf_max > 0.0)) {
        return std::unexpected(BuildError::of(BuildErrorKind::InvalidPdfMax));
    }
    auto box = HyperRect::validate(support.lo, support.hi);
    if (!box) return std::unexpected(box.error());
    return RejectionSampler(std::move(*box), pdf_max, max_trials);
}

SampleResult<void> RejectionSampler::draw(ChaChaRng& rng, DensityRef f,
                                          std::span<double> out) const {
    const std::size_t d = box_.dim();
    if (out.size() != d) throw InternalFault("rejection draw: point buffer of wrong length");
    const double* lo = box_.lo.data();
    const double* hi = box_.hi.data();
    for (std::size_t trial = 0; trial < max_trials_; ++trial) {
        // Order matters: seeded results are reproduced bit for bit.
        for (std::size_t j = 0; j < d; ++j) out[j] = (hi[j] - lo[j]) * uniform(rng) + lo[j];
        const double y = f(std::span<const double>(out));
        // NaN, infinite and negative values reject without a further uniform; -0.0 passes.
        if (std::isnan(y) || std::isinf(y) || y < 0.0) continue;
        if (y >= uniform(rng) * pdf_max_) return {};
    }
    return std::unexpected(SampleError::of(SampleErrorKind::RejectionExhausted));
}

SampleResult<void> RejectionSampler::sample_n(std::size_t n, ChaChaRng& rng, DensityRef f,
                                              std::vector<double>& out) const {
    const std::size_t d = box_.dim();
    std::vector<double> points(flat_size(n, d));
    for (std::size_t k = 0; k < n; ++k) {
        auto drawn = draw(rng, f, std::span<double>(points).subspan(k * d, d));
        if (!drawn) return drawn;
    }
    out = std::move(points);
    return {};
}

}  // namespace varnix

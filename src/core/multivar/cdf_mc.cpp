#include "core/multivar/cdf_mc.hpp"

#include <cmath>
#include <utility>

namespace varnix {
namespace {

// A density value counts when it is finite and >= 0 (-0.0 counts as zero). Values that do not
// count add nothing, but their point still counts in the divisor.
bool counts(double y) { return std::isfinite(y) && y >= 0.0; }

}  // namespace

CdfMcEstimator::CdfMcEstimator(HyperRect box, std::size_t normalization_samples,
                               std::size_t cdf_samples)
    : box_(std::move(box)),
      normalization_samples_(normalization_samples),
      cdf_samples_(cdf_samples),
      point_(box_.dim()),
      upper_(box_.dim()) {}

BuildResult<CdfMcEstimator> CdfMcEstimator::make(const HyperRect& support,
                                                 std::size_t normalization_samples,
                                                 std::size_t cdf_samples) {
    auto box = HyperRect::validate(support.lo, support.hi);
    if (!box) return std::unexpected(box.error());
    return CdfMcEstimator(std::move(*box), normalization_samples, cdf_samples);
}

// Order matters in both estimates: seeded results are reproduced bit for bit.
SampleResult<double> CdfMcEstimator::estimate_normalization(ChaChaRng& rng, DensityRef f) {
    const std::size_t d = box_.dim();
    const double* lo = box_.lo.data();
    const double* hi = box_.hi.data();
    const std::size_t n = normalization_samples_ == 0 ? 1 : normalization_samples_;
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t j = 0; j < d; ++j) point_[j] = (hi[j] - lo[j]) * uniform(rng) + lo[j];
        const double y = f(std::span<const double>(point_));
        if (counts(y)) sum = sum + y;
    }
    double volume = 1.0;
    for (std::size_t j = 0; j < d; ++j) volume = volume * (hi[j] - lo[j]);
    const double z = (sum / static_cast<double>(n)) * volume;
    if (!std::isfinite(z) || !(z > 0.0)) {
        return std::unexpected(SampleError::of(SampleErrorKind::IntegrationFailed));
    }
    normalization_ = z;
    return z;
}

SampleResult<double> CdfMcEstimator::cdf(std::span<const double> x, ChaChaRng& rng,
                                         DensityRef f) {
    const std::size_t d = box_.dim();
    if (x.size() != d) return std::unexpected(SampleError::of(SampleErrorKind::IntegrationFailed));
    double z;
    if (normalization_) {
        z = *normalization_;
    } else {
        auto estimate = estimate_normalization(rng, f);
        if (!estimate) return estimate;
        z = *estimate;
    }

    const double* lo = box_.lo.data();
    const double* hi = box_.hi.data();
    for (std::size_t j = 0; j < d; ++j) {
        upper_[j] = std::isnan(x[j]) ? hi[j] : (x[j] < hi[j] ? x[j] : hi[j]);
    }
    const double* m = upper_.data();
    const std::size_t n = cdf_samples_ == 0 ? 1 : cdf_samples_;
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t j = 0; j < d; ++j) {
            point_[j] = lo[j] >= m[j] ? lo[j] : (m[j] - lo[j]) * uniform(rng) + lo[j];
        }
        const double y = f(std::span<const double>(point_));
        if (counts(y)) sum = sum + y;
    }
    double w = 1.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double width = m[j] - lo[j];
        w = w * (width > 0.0 ? width : 0.0);
    }
    const double p = ((sum / static_cast<double>(n)) * w) / z;
    return p > 1.0 ? 1.0 : p;
}

}  // namespace varnix

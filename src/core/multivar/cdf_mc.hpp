// Plain Monte Carlo with uniform points in a box: the normalising constant Z of an unnormalised
// density, cached, and the multivariate distribution function F(x) = P(X <= x componentwise)
// of the normalised density.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/multivar/box.hpp"
#include "core/random.hpp"

namespace varnix {

class CdfMcEstimator {
public:
    // Validates a copy of the box. A sample count of 0 acts as 1.
    static BuildResult<CdfMcEstimator> make(const HyperRect& support,
                                            std::size_t normalization_samples,
                                            std::size_t cdf_samples);

    // A fresh estimate of Z from N uniform points (N * d uniforms, N evaluations of f), which
    // replaces the cached value. IntegrationFailed when it is not finite and > 0; the cache
    // then stays as it was.
    SampleResult<double> estimate_normalization(ChaChaRng& rng, DensityRef f);

    // The estimate of F(x), in [0, 1]. IntegrationFailed, before anything is drawn, when x does
    // not have d entries; estimates Z first (with the same generator) when none is cached. A
    // NaN x[j] means no restriction on coordinate j; a coordinate limited at or below lo is
    // fixed at lo and draws no uniform.
    SampleResult<double> cdf(std::span<const double> x, ChaChaRng& rng, DensityRef f);

    std::size_t dim() const { return box_.dim(); }
    const HyperRect& box() const { return box_; }
    std::size_t normalization_samples() const { return normalization_samples_; }
    std::size_t cdf_samples() const { return cdf_samples_; }
    std::optional<double> cached_normalization() const { return normalization_; }

private:
    CdfMcEstimator(HyperRect box, std::size_t normalization_samples, std::size_t cdf_samples);

    HyperRect box_;
    std::size_t normalization_samples_;
    std::size_t cdf_samples_;
    std::optional<double> normalization_;
    std::vector<double> point_, upper_;  // scratch: the sampled point, the upper limits m
};

}  // namespace varnix

// Plain Monte Carlo with uniform points in a box: the normalising constant Z of an unnormalised
// density, cached, and the multivariate distribution function F(x) = P(X <= x componentwise)
// of the normalised density.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/batch_fn.hpp"
#include "core/errors.hpp"
#include "core/finite.hpp"
#include "core/multivar/box.hpp"
#include "core/multivar/density.hpp"
#include "core/multivar/points.hpp"
#include "core/serial.hpp"
#include "core/word_source.hpp"

namespace varnix {

class CdfMcEstimator {
public:
    class Bound;

    // A sample count of 0 acts as 1.
    CdfMcEstimator(HyperRect box, std::size_t normalization_samples, std::size_t cdf_samples);

    // The estimator paired with the density it integrates, for the duration of one call, and
    // with the density's batch form when the caller has one: the points are then evaluated
    // max_batch_points at a time (fewer for the last), one call each, after all their uniforms
    // have been drawn; the same words, points and sums as one call per point, for a batch
    // function that gives the scalar function's values.
    Bound with(DensityRef f, OptionalBatch batch = std::nullopt);

    std::size_t dim() const { return box_.dim(); }
    const HyperRect& box() const { return box_; }
    std::size_t normalization_samples() const { return normalization_samples_; }
    std::size_t cdf_samples() const { return cdf_samples_; }
    std::optional<double> cached_normalization() const { return normalization_; }

    // Saved state (core/serial.hpp): the box, the sample counts and the cached constant;
    // scratch is not saved.
    struct State {
        static constexpr const char* name = "CdfMcEstimator";
        HyperRect::State box;
        std::uint64_t normalization_samples = 0;
        std::uint64_t cdf_samples = 0;
        std::optional<double> normalization;
        static auto fields(auto& s) {
            auto& [box, normalization_samples, cdf_samples, normalization] = s;
            return std::tie(box, normalization_samples, cdf_samples, normalization);
        }
    };
    State state() const;
    static StateResult<CdfMcEstimator> from_state(State s);

private:

    HyperRect box_;
    std::size_t normalization_samples_;
    std::size_t cdf_samples_;
    std::optional<double> normalization_;
    std::vector<double> point_, upper_;  // scratch: the sampled point, the upper limits m
};

class CdfMcEstimator::Bound {
public:
    // A fresh estimate of Z from N uniform points (N * d uniforms, N evaluations of f), which
    // replaces the cached value. IntegrationFailed when it is not finite and > 0; the cache
    // then stays as it was.
    template <WordSource R>
    SampleResult<double> estimate_normalization(R& rng);

    // The estimate of F(x), in [0, 1]. IntegrationFailed, before anything is drawn, when x does
    // not have d entries; estimates Z first (with the same generator) when none is cached. A
    // NaN x[j] means no restriction on coordinate j; a coordinate limited at or below lo is
    // fixed at lo and draws no uniform.
    template <WordSource R>
    SampleResult<double> cdf(std::span<const double> x, R& rng);

private:
    friend class CdfMcEstimator;
    Bound(CdfMcEstimator& estimator, DensityRef f, OptionalBatch batch)
        : e_(estimator), f_(f), batch_(batch) {}

    // The sum, in the order drawn, of the values that add to it at n points, each drawn by
    // propose(rng, x) into the d entries at x.
    template <WordSource R, class Propose>
    double density_sum(R& rng, std::size_t n, Propose propose);

    // A density value adds to the sum when it is finite and >= 0 (-0.0 adds zero). Values that
    // do not add still count in the divisor.
    static bool adds_to_sum(double y) { return std::isfinite(y) && y >= 0.0; }

    CdfMcEstimator& e_;
    DensityRef f_;
    OptionalBatch batch_;
};

inline CdfMcEstimator::Bound CdfMcEstimator::with(DensityRef f, OptionalBatch batch) {
    return Bound(*this, f, batch);
}

// Evaluation order is frozen (docs/architecture.md) in both estimates and in their sum.
template <WordSource R, class Propose>
double CdfMcEstimator::Bound::density_sum(R& rng, std::size_t n, Propose propose) {
    double sum = 0.0;
    if (!batch_) {
        std::vector<double>& point = e_.point_;
        for (std::size_t k = 0; k < n; ++k) {
            propose(rng, point.data());
            const double y = f_(std::span<const double>(point));
            if (adds_to_sum(y)) sum = sum + y;
        }
        return sum;
    }
    const std::size_t d = e_.box_.dim();
    const std::size_t room = std::min(n, max_batch_points);
    std::vector<double> points(flat_size(room, d));
    std::vector<double> values(room);
    for (std::size_t done = 0; done < n;) {
        const std::size_t m = std::min(n - done, room);
        for (std::size_t p = 0; p < m; ++p) propose(rng, points.data() + p * d);
        (*batch_)(std::span<const double>(points.data(), m * d),
                  std::span<double>(values.data(), m));
        for (std::size_t p = 0; p < m; ++p) {
            if (adds_to_sum(values[p])) sum = sum + values[p];
        }
        done += m;
    }
    return sum;
}

template <WordSource R>
SampleResult<double> CdfMcEstimator::Bound::estimate_normalization(R& rng) {
    const std::size_t d = e_.box_.dim();
    const double* lo = e_.box_.lo().data();
    const double* hi = e_.box_.hi().data();
    const std::size_t n = e_.normalization_samples_ == 0 ? 1 : e_.normalization_samples_;
    const double sum = density_sum(rng, n, [&](R& r, double* x) {
        for (std::size_t j = 0; j < d; ++j) x[j] = (hi[j] - lo[j]) * uniform(r) + lo[j];
    });
    double volume = 1.0;
    for (std::size_t j = 0; j < d; ++j) volume = volume * (hi[j] - lo[j]);
    const double z = (sum / static_cast<double>(n)) * volume;
    if (!finite_positive(z)) {
        return std::unexpected(SampleError::of(SampleErrorKind::IntegrationFailed));
    }
    e_.normalization_ = z;
    return z;
}

template <WordSource R>
SampleResult<double> CdfMcEstimator::Bound::cdf(std::span<const double> x, R& rng) {
    const std::size_t d = e_.box_.dim();
    if (x.size() != d) return std::unexpected(SampleError::of(SampleErrorKind::IntegrationFailed));
    double z;
    if (e_.normalization_) {
        z = *e_.normalization_;
    } else {
        auto estimate = estimate_normalization(rng);
        if (!estimate) return estimate;
        z = *estimate;
    }

    const double* lo = e_.box_.lo().data();
    const double* hi = e_.box_.hi().data();
    for (std::size_t j = 0; j < d; ++j) {
        e_.upper_[j] = std::isnan(x[j]) ? hi[j] : (x[j] < hi[j] ? x[j] : hi[j]);
    }
    const double* m = e_.upper_.data();
    const std::size_t n = e_.cdf_samples_ == 0 ? 1 : e_.cdf_samples_;
    const double sum = density_sum(rng, n, [&](R& r, double* x) {
        for (std::size_t j = 0; j < d; ++j) {
            x[j] = lo[j] >= m[j] ? lo[j] : (m[j] - lo[j]) * uniform(r) + lo[j];
        }
    });
    double w = 1.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double width = m[j] - lo[j];
        w = w * (width > 0.0 ? width : 0.0);
    }
    const double p = ((sum / static_cast<double>(n)) * w) / z;
    return p > 1.0 ? 1.0 : p;
}

}  // namespace varnix

// A finite discrete distribution over given points with given (unnormalised) masses.
//
// Only the points and the normalised cumulative table are kept; a mass is always the
// difference of two neighbouring cumulative entries. Quantiles and draws invert the table
// with a branch-free halving search, so a draw costs one uniform and O(log n) comparisons.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/random.hpp"

namespace varnix {

class DiscreteDistribution {
public:
    // Checks, in this order: either sequence empty (EmptySupport), lengths differ
    // (InvalidSupport), a mass NaN, infinite or negative (NonPositiveMass), total mass not
    // finite and positive (NormalizationFailed). Points are kept unchanged and unvalidated.
    static BuildResult<DiscreteDistribution> build(std::span<const double> points,
                                                   std::span<const double> masses);

    // Number of points, zero-mass points and duplicates included.
    std::size_t len() const noexcept { return points_.size(); }
    std::span<const double> points() const noexcept { return points_; }
    // The cumulative table in input order; its last entry is exactly 1.0.
    std::span<const double> cumulative() const noexcept { return cdf_; }

    // Mass of the first point within 1e-12 of x (strictly); 0.0 if none or x is NaN.
    double pmf(double x) const noexcept;

    // Mass and cumulative mass of entry i. i >= len() is a broken invariant: InternalFault.
    double pmf_at(std::size_t i) const;
    double cdf_at(std::size_t i) const;

    // The point at probability u: QuantileOutOfRange unless 0 < u < 1. Where u equals a
    // cumulative entry the largest such index wins, else the first entry above u.
    SampleResult<double> ppf(double u) const {
        if (!(u > 0.0 && u < 1.0)) [[unlikely]] {
            return std::unexpected(SampleError::quantile_out_of_range(u));
        }
        return points_[search(u)];
    }

    double mean() const noexcept;
    double var() const noexcept;
    double std_dev() const noexcept;

    // One uniform per draw, inverted by ppf; a uniform of exactly 0 fails like ppf(0).
    SampleResult<double> sample(ChaChaRng& rng) const { return ppf(uniform(rng)); }

    // Fills out[0..size) with draws made in order. Stops at the first failing draw and
    // returns its error; entries from that draw on are left as they were.
    SampleResult<void> sample_into(std::span<double> out, ChaChaRng& rng) const;

    // sample_into with the uniforms taken from next_uniform() (a callable returning a
    // double), one call per draw and none after a failing one.
    template <class NextUniform>
    SampleResult<void> sample_with(std::span<double> out, NextUniform&& next_uniform) const;

    // Replaces the contents of out with n draws (one allocation at most, none per draw). On
    // failure out is left empty.
    SampleResult<void> sample_n(std::size_t n, ChaChaRng& rng, std::vector<double>& out) const;

private:
    DiscreteDistribution(std::vector<double> points, std::vector<double> cdf)
        : points_(std::move(points)), cdf_(std::move(cdf)) {}

    // mass(0) = cdf[0], mass(i) = cdf[i] - cdf[i-1], never below zero: where rounding made
    // the table step down at its end (see build) the difference would read as -2^-52, a
    // negative probability, for what is a zero mass.
    double mass(std::size_t i) const noexcept {
        const double m = i == 0 ? cdf_[0] : cdf_[i] - cdf_[i - 1];
        return m < 0.0 ? 0.0 : m;
    }

    // Halving search over cdf[0..n): base ends at the last entry <= u (or 0); a final
    // comparison steps past it when it is below u. The select compiles to a conditional
    // move, so the loop has no data-dependent branch.
    static std::size_t search(const double* cdf, std::size_t n, double u) noexcept {
        std::size_t size = n;
        std::size_t base = 0;
        while (size > 1) {
            const std::size_t half = size / 2;
            const std::size_t mid = base + half;
            base = cdf[mid] <= u ? mid : base;
            size -= half;
        }
        return base + static_cast<std::size_t>(cdf[base] < u);
    }
    std::size_t search(double u) const noexcept { return search(cdf_.data(), cdf_.size(), u); }

    std::vector<double> points_;
    std::vector<double> cdf_;
};

template <class NextUniform>
SampleResult<void> DiscreteDistribution::sample_with(std::span<double> out,
                                                     NextUniform&& next_uniform) const {
    // Locals, so that the table is not reloaded after every (possibly refilling) draw.
    const double* pts = points_.data();
    const double* cdf = cdf_.data();
    const std::size_t n = cdf_.size();
    const std::size_t count = out.size();
    double* dst = out.data();

    // Draws are taken one at a time and checked at once, so a failing draw is the last one
    // taken. The searches of four consecutive draws then run in lock step: they share the
    // sequence of halvings, and their independent loads overlap.
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        double u[4];
        for (int k = 0; k < 4; ++k) {
            u[k] = next_uniform();
            if (!(u[k] > 0.0 && u[k] < 1.0)) [[unlikely]] {
                for (int j = 0; j < k; ++j) dst[i + j] = pts[search(cdf, n, u[j])];
                return std::unexpected(SampleError::quantile_out_of_range(u[k]));
            }
        }
        std::size_t b0 = 0, b1 = 0, b2 = 0, b3 = 0;
        for (std::size_t size = n; size > 1;) {
            const std::size_t half = size / 2;
            b0 = cdf[b0 + half] <= u[0] ? b0 + half : b0;
            b1 = cdf[b1 + half] <= u[1] ? b1 + half : b1;
            b2 = cdf[b2 + half] <= u[2] ? b2 + half : b2;
            b3 = cdf[b3 + half] <= u[3] ? b3 + half : b3;
            size -= half;
        }
        dst[i] = pts[b0 + static_cast<std::size_t>(cdf[b0] < u[0])];
        dst[i + 1] = pts[b1 + static_cast<std::size_t>(cdf[b1] < u[1])];
        dst[i + 2] = pts[b2 + static_cast<std::size_t>(cdf[b2] < u[2])];
        dst[i + 3] = pts[b3 + static_cast<std::size_t>(cdf[b3] < u[3])];
    }
    for (; i < count; ++i) {
        const double u = next_uniform();
        if (!(u > 0.0 && u < 1.0)) [[unlikely]] {
            return std::unexpected(SampleError::quantile_out_of_range(u));
        }
        dst[i] = pts[search(cdf, n, u)];
    }
    return {};
}

}  // namespace varnix

// A finite discrete distribution over given points with given (unnormalised) masses.
//
// Only the points and the normalised cumulative table are kept; a mass is always the
// difference of two neighbouring cumulative entries. Quantiles and draws invert the table
// with the branch-free search of core/search.hpp, so a draw costs one uniform and O(log n)
// comparisons.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/fill.hpp"
#include "core/search.hpp"
#include "core/serial.hpp"
#include "core/word_source.hpp"

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
        return points_[quantile_index(u)];
    }

    // out[i] = ppf(u[i]) for each i in order (u and out may be the same span); the first u
    // outside (0, 1) stops (FillStop counts the elements before it). The searches of a group
    // of elements run in lock step, as in fill.
    FillResult ppf_many(std::span<const double> u, std::span<double> out) const;

    double mean() const noexcept;
    double var() const noexcept;
    double std_dev() const noexcept;

    // One uniform per draw, inverted by ppf; a uniform of exactly 0 fails like ppf(0).
    template <WordSource R>
    SampleResult<double> sample(R& rng) const {
        return ppf(uniform(rng));
    }

    // n draws in order into out, one uniform each (one allocation at most, none per draw).
    // The first failing draw ends the call with its error, and none is taken after it; out
    // then holds exactly the draws made before it.
    template <WordSource R>
    SampleResult<void> sample_n(std::size_t n, R& rng, std::vector<double>& out) const;

    // out.size() draws into out, the values sample_n gives, one word each; the first failing
    // draw stops the fill (FillStop counts the draws written before it).
    template <WordSource R>
    FillResult fill(std::span<double> out, R& rng) const;

    // Every draw takes exactly this many words of the source.
    static constexpr std::size_t words_per_draw = 1;

    // Saved state (core/serial.hpp): the points and the cumulative table as built.
    struct State {
        static constexpr const char* name = "DiscreteDistribution";
        std::vector<double> points;
        std::vector<double> cdf;
        static auto fields(auto& s) {
            auto& [points, cdf] = s;
            return std::tie(points, cdf);
        }
    };
    State state() const;
    static StateResult<DiscreteDistribution> from_state(State s);

private:
    using Rule = search::LastEqualElseAbove;

    DiscreteDistribution(std::vector<double> points, std::vector<double> cdf)
        : points_(std::move(points)), cdf_(std::move(cdf)) {}

    // mass(0) = cdf[0], mass(i) = cdf[i] - cdf[i-1], never below zero: where rounding made
    // the table step down at its end (see build) the difference would read as -2^-52, a
    // negative probability, for what is a zero mass.
    double mass(std::size_t i) const noexcept {
        const double m = i == 0 ? cdf_[0] : cdf_[i] - cdf_[i - 1];
        return m < 0.0 ? 0.0 : m;
    }

    std::size_t quantile_index(double u) const noexcept {
        return search::position<Rule>(cdf_.data(), cdf_.size(), u);
    }

    std::vector<double> points_;
    std::vector<double> cdf_;
};

template <WordSource R>
SampleResult<void> DiscreteDistribution::sample_n(std::size_t n, R& rng,
                                                  std::vector<double>& out) const {
    // Every entry is written or cut off below, so the old contents need no clearing.
    out.resize(n);
    const FillResult filled = fill(std::span<double>(out), rng);
    if (!filled) {
        out.resize(filled.error().filled);
        return std::unexpected(filled.error().error);
    }
    return {};
}

inline FillResult DiscreteDistribution::ppf_many(std::span<const double> u,
                                                 std::span<double> out) const {
    constexpr std::size_t lanes = 16;
    const std::size_t n = u.size();
    const double* pts = points_.data();
    const double* cdf = cdf_.data();
    const std::size_t len = cdf_.size();
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        double v[lanes];
        for (std::size_t k = 0; k < lanes; ++k) {
            v[k] = u[i + k];
            if (!(v[k] > 0.0 && v[k] < 1.0)) [[unlikely]] {
                for (std::size_t j = 0; j < k; ++j) {
                    out[i + j] = pts[search::position<Rule>(cdf, len, v[j])];
                }
                return fill_stopped(i + k, SampleError::quantile_out_of_range(v[k]));
            }
        }
        std::size_t at[lanes];
        search::positions<Rule, lanes>(cdf, len, v, at);
        for (std::size_t k = 0; k < lanes; ++k) out[i + k] = pts[at[k]];
    }
    for (; i < n; ++i) {
        const double v = u[i];
        if (!(v > 0.0 && v < 1.0)) [[unlikely]] {
            return fill_stopped(i, SampleError::quantile_out_of_range(v));
        }
        out[i] = pts[search::position<Rule>(cdf, len, v)];
    }
    return {};
}

template <WordSource R>
FillResult DiscreteDistribution::fill(std::span<double> out, R& rng) const {
    constexpr std::size_t lanes = 16;
    const std::size_t n = out.size();
    // Locals, so that the table is not reloaded after every (possibly refilling) draw.
    const double* pts = points_.data();
    const double* cdf = cdf_.data();
    const std::size_t len = cdf_.size();
    double* dst = out.data();

    // Draws are taken one at a time and checked at once, so a failing draw is the last one
    // taken. The searches of a group of draws then run in lock step.
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        double u[lanes];
        for (std::size_t k = 0; k < lanes; ++k) {
            u[k] = uniform(rng);
            if (!(u[k] > 0.0 && u[k] < 1.0)) [[unlikely]] {
                for (std::size_t j = 0; j < k; ++j) {
                    dst[i + j] = pts[search::position<Rule>(cdf, len, u[j])];
                }
                return fill_stopped(i + k, SampleError::quantile_out_of_range(u[k]));
            }
        }
        std::size_t at[lanes];
        search::positions<Rule, lanes>(cdf, len, u, at);
#pragma GCC unroll 4
        for (std::size_t k = 0; k < lanes; ++k) dst[i + k] = pts[at[k]];
    }
    for (; i < n; ++i) {
        const double u = uniform(rng);
        if (!(u > 0.0 && u < 1.0)) [[unlikely]] {
            return fill_stopped(i, SampleError::quantile_out_of_range(u));
        }
        dst[i] = pts[search::position<Rule>(cdf, len, u)];
    }
    return {};
}

}  // namespace varnix

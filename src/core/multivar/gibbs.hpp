// Samplers whose randomness lives entirely in a user callable: systematic-scan Gibbs sweeps
// driven by a coordinate sampler, and sequential sampling from a chain-rule factorisation
// p(x0) p(x1 | x0) p(x2 | x0, x1) ... driven by a conditional sampler. Neither draws from the
// library's generators; the core only orders the calls and keeps the state.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/multivar/box.hpp"

namespace varnix {

// sample_coord(i, x): a new value for coordinate i given the whole current point x (Gibbs), or
// sample_i(i, prefix): coordinate i given the i coordinates already drawn (factorisation).
using CoordinateSamplerRef = FunctionRef<double(std::size_t, std::span<const double>)>;

class GibbsSampler {
public:
    // Only the box's dimension d is used (the box is not validated again); McmcFailed when init
    // does not have exactly d entries. init is otherwise taken as is, even outside the box.
    static SampleResult<GibbsSampler> make(const HyperRect& support, std::span<const double> init,
                                           std::size_t sweeps_per_sample);

    // sweeps_per_sample sweeps over i = 0 .. d-1, each storing sample_coord(i, state) into
    // state[i] at once, so that coordinate i+1 already sees the new value of coordinate i.
    // Returned values are stored as they come (NaN included). Returns the state.
    std::span<const double> step(CoordinateSamplerRef sample_coord);

    std::span<const double> state() const { return state_; }
    std::size_t dim() const { return state_.size(); }
    std::size_t sweeps_per_sample() const { return sweeps_; }

private:
    GibbsSampler(std::vector<double> state, std::size_t sweeps)
        : state_(std::move(state)), sweeps_(sweeps) {}

    std::vector<double> state_;
    std::size_t sweeps_;
};

class ConditionalFactorizationSampler {
public:
    explicit ConditionalFactorizationSampler(std::size_t dim) : dim_(dim) {}

    std::size_t dim() const { return dim_; }

    // One point into out (exactly dim() entries): out[i] := sample_i(i, out[0 .. i)), the
    // prefix being a view of the values already drawn. McmcFailed when dim() is 0.
    SampleResult<void> draw(CoordinateSamplerRef sample_i, std::span<double> out) const;

    // n draws, row by row. n = 0 succeeds even when dim() is 0. out is replaced only on success.
    SampleResult<void> sample_n(std::size_t n, CoordinateSamplerRef sample_i,
                                std::vector<double>& out) const;

private:
    std::size_t dim_;
};

}  // namespace varnix

// Samplers whose randomness lives entirely in a user callable: systematic-scan Gibbs sweeps
// driven by a coordinate sampler, and sequential sampling from a chain-rule factorisation
// p(x0) p(x1 | x0) p(x2 | x0, x1) ... driven by a conditional sampler. Neither draws from a
// word source; the core only orders the calls and keeps the state.
#pragma once

#include <cstddef>
#include <functional>  // std::invoke, used by FunctionRef
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/fill.hpp"
#include "core/function_ref.hpp"
#include "core/multivar/box.hpp"
#include "core/serial.hpp"

namespace varnix {

// sample_coord(i, x): a new value for coordinate i given the whole current point x (Gibbs), or
// sample_i(i, prefix): coordinate i given the i coordinates already drawn (factorisation).
using CoordinateSamplerRef = FunctionRef<double(std::size_t, std::span<const double>)>;

class GibbsSampler {
public:
    class Bound;

    // Only the box's dimension d is used; McmcFailed when init does not have exactly d
    // entries. init is otherwise taken as is, even outside the box.
    static SampleResult<GibbsSampler> make(const HyperRect& box, std::span<const double> init,
                                           std::size_t sweeps_per_sample);

    // The sampler paired with its coordinate sampler, for the duration of one call.
    Bound with(CoordinateSamplerRef sample_coord);

    std::span<const double> current() const { return state_; }
    std::size_t dim() const { return state_.size(); }
    std::size_t sweeps_per_sample() const { return sweeps_; }

    // Saved state (core/serial.hpp): the current point and the sweeps per sample.
    struct State {
        static constexpr const char* name = "GibbsSampler";
        std::vector<double> point;
        std::uint64_t sweeps = 0;
        static auto fields(auto& s) {
            auto& [point, sweeps] = s;
            return std::tie(point, sweeps);
        }
    };
    State state() const;
    static StateResult<GibbsSampler> from_state(State s);

private:

    GibbsSampler(std::vector<double> state, std::size_t sweeps)
        : state_(std::move(state)), sweeps_(sweeps), sweep_(state_.size()) {}

    std::vector<double> state_;
    std::size_t sweeps_;
    std::vector<double> sweep_;  // d entries of scratch: the point of the sweep in progress
};

class GibbsSampler::Bound {
public:
    // sweeps_per_sample sweeps over i = 0 .. d-1, each storing sample_coord(i, state) into
    // state[i] at once, so that coordinate i+1 already sees the new value of coordinate i.
    // Returned values are stored as they come (NaN included). Returns the state. A sweep is
    // one transition of the chain: an exception from sample_coord leaves the state as the
    // last completed sweep left it.
    std::span<const double> step();

private:
    friend class GibbsSampler;
    Bound(GibbsSampler& sampler, CoordinateSamplerRef sample_coord)
        : s_(sampler), sample_coord_(sample_coord) {}

    GibbsSampler& s_;
    CoordinateSamplerRef sample_coord_;
};

class ConditionalFactorizationSampler {
public:
    class Bound;

    explicit ConditionalFactorizationSampler(std::size_t dim) : dim_(dim) {}

    // The sampler paired with its conditional sampler, for the duration of one call.
    Bound with(CoordinateSamplerRef sample_i) const;

    std::size_t dim() const { return dim_; }

    // Saved state (core/serial.hpp): the dimension.
    struct State {
        static constexpr const char* name = "ConditionalFactorizationSampler";
        std::uint64_t dim = 0;
        static auto fields(auto& s) {
            auto& [dim] = s;
            return std::tie(dim);
        }
    };
    State state() const;
    static StateResult<ConditionalFactorizationSampler> from_state(State s);

private:
    std::size_t dim_;
};

class ConditionalFactorizationSampler::Bound {
public:
    // One point into point (exactly dim() entries): point[i] := sample_i(i, point[0 .. i)), the
    // prefix being a view of the values already drawn. McmcFailed when dim() is 0.
    SampleResult<void> sample(std::span<double> point) const;

    // n points, row by row into out: fill over a vector. n = 0 succeeds even when dim() is 0.
    // The first failing point ends the call with its error; out then holds the points
    // completed before it.
    SampleResult<void> sample_n(std::size_t n, std::vector<double>& out) const;

    // sample_n into a caller's span of n * dim() entries, row by row: the same calls and
    // values. The first failing point stops the fill (FillStop counts the points before it).
    FillResult fill(std::size_t n, std::span<double> out) const;

private:
    friend class ConditionalFactorizationSampler;
    Bound(const ConditionalFactorizationSampler& sampler, CoordinateSamplerRef sample_i)
        : s_(sampler), sample_i_(sample_i) {}

    const ConditionalFactorizationSampler& s_;
    CoordinateSamplerRef sample_i_;
};

}  // namespace varnix

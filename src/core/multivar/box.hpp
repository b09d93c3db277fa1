// The axis-aligned box of the multivariate samplers.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/multivar/reflect.hpp"
#include "core/serial.hpp"

namespace varnix {

// A box of dimension d >= 1 with finite bounds and lo[i] < hi[i] in every coordinate. Only make
// builds one, so a HyperRect in hand is a valid box and the samplers take it as it is.
class HyperRect {
public:
    // Checks, in this order: either side empty; lengths differ; then index by index, both bounds
    // finite before their order, so that an earlier index's fault wins over a later one's.
    static BuildResult<HyperRect> make(std::span<const double> lo, std::span<const double> hi);

    std::size_t dim() const { return lo_.size(); }
    std::span<const double> lo() const { return lo_; }
    std::span<const double> hi() const { return hi_; }

    // Saved state (core/serial.hpp), a part of the states of the classes that keep a box: its
    // bounds, read back through make.
    struct State {
        std::vector<double> lo;
        std::vector<double> hi;
        static auto fields(auto& s) {
            auto& [lo, hi] = s;
            return std::tie(lo, hi);
        }
    };
    State state() const;
    static StateResult<HyperRect> from_state(State s);

private:
    HyperRect(std::vector<double> lo, std::vector<double> hi)
        : lo_(std::move(lo)), hi_(std::move(hi)) {}

    std::vector<double> lo_;
    std::vector<double> hi_;
};

// Where a chain moves: a box, or the whole of R^d. On the whole space the dimension may be left
// open (0) until the chain's first start point fixes it.
class ChainSupport {
public:
    ChainSupport(HyperRect box)  // NOLINT(google-explicit-constructor): a box is a support
        : dim_(box.dim()), box_(std::move(box)) {}
    static ChainSupport whole_space(std::size_t dim = 0) { return ChainSupport(dim); }

    std::size_t dim() const { return dim_; }
    bool bounded() const { return box_.has_value(); }
    const HyperRect& box() const { return *box_; }  // bounded() only
    void fix_dim(std::size_t d) { dim_ = d; }         // the whole space only

    // Brings coordinate i of a proposal back into the support: reflection into a box (see
    // reflect_into), nothing on the whole space. False when that cannot be done: a value
    // reflection cannot fold, or an infinite one.
    bool fold(std::size_t i, double& v, std::size_t& mirrorings) const {
        if (box_) return reflect_into(v, box_->lo()[i], box_->hi()[i], mirrorings);
        mirrorings = 0;
        return !std::isinf(v);
    }
    bool fold(std::size_t i, double& v) const {
        std::size_t mirrorings;
        return fold(i, v, mirrorings);
    }

    // Saved as a box's state, with empty bounds for the whole space, whose dimension is saved
    // apart (0 while it is still open).
    HyperRect::State box_state() const { return box_ ? box_->state() : HyperRect::State{}; }
    std::uint64_t whole_space_dim() const { return box_ ? 0 : dim_; }
    static StateResult<ChainSupport> from_state(HyperRect::State box,
                                                std::uint64_t whole_space_dim);

private:
    explicit ChainSupport(std::size_t dim) : dim_(dim) {}

    std::size_t dim_;
    std::optional<HyperRect> box_;
};

}  // namespace varnix

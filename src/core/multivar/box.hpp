// The axis-aligned box of the multivariate samplers.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "core/errors.hpp"
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

}  // namespace varnix

// A piecewise constant density over histogram bins.
#pragma once

#include <span>
#include <vector>

#include "core/errors.hpp"
#include "core/serial.hpp"

namespace varnix {

class HistogramDensity {
public:
    // Checks, in order: at least 2 edges; one count per bin; every edge finite and strictly
    // above its left neighbour; every count finite and not negative (InvalidHistogram for all
    // of these); then a positive total count (NormalizationFailed). With density true a bin's
    // value is count / width, otherwise count / (width * total).
    static BuildResult<HistogramDensity> build(std::span<const double> edges,
                                               std::span<const double> counts, bool density);

    // The bin value at x, before the distribution's normalisation: bins are half-open
    // [left, right) except the last, which is closed; 0 outside [lo, hi] and for NaN.
    double operator()(double x) const;

    double lo() const { return edges_.front(); }
    double hi() const { return edges_.back(); }

    // Saved state (core/serial.hpp), a part of its distribution's: the edges and bin values as
    // built.
    struct State {
        std::vector<double> edges;
        std::vector<double> bin_density;
        static auto fields(auto& s) {
            auto& [edges, bin_density] = s;
            return std::tie(edges, bin_density);
        }
    };
    State state() const;
    static StateResult<HistogramDensity> from_state(State s);

private:

    std::vector<double> edges_;
    std::vector<double> bin_density_;
};

}  // namespace varnix

// A robust integral of a density over a finite interval, kept as a table of panels.
//
// The interval is first cut into a grid of panels fine enough to see where the mass is; every
// panel is then integrated with the 5-point Gauss-Lobatto rule, once over the whole panel and
// once over each half, and split while the two disagree by more than a tolerance relative to
// the mass found so far (so the result does not depend on the density's scale). Further passes
// split the panels where the first and second moments or the entropy integrand are not yet
// resolved to 1e-12 of their totals, so that the summaries of the distribution come from the
// same table. Near an end where the density is infinite or NaN, the density is fitted as
// A t^p e^(c t) in the distance t from the end, and the fit stands for it as close to the end
// as needed.
//
// The table keeps, for every panel, its ends, its mass and the density at its nine nodes, and
// the masses below and above each panel edge summed from both ends (so a mass near the upper
// end is not a difference of two numbers close to the total). The mass left and right of any
// point then costs one Gauss-Lobatto rule on the nearer part of its panel; the summaries cost
// no density call at all.
//
// The parts, one concern a file: DensityProbe calls and checks the density, EndModel fits and
// integrates the density near a singular end, panel_refine examines and splits panels, and
// PanelTable builds the table from them in named steps and answers the queries.
#pragma once

#include <cmath>
#include <cstddef>
#include <expected>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <optional>
#include <span>
#include <vector>

#include "core/continuous/density_probe.hpp"
#include "core/continuous/end_model.hpp"
#include "core/continuous/lobatto.hpp"  // the rule behind the table, for its users too
#include "core/errors.hpp"
#include "core/function_ref.hpp"
#include "core/serial.hpp"

namespace varnix {

// An end model saved with another number of parameters than it has.
template <>
inline constexpr const char* state_field_refusal<EndModel::Parameters> =
    "an end model has the wrong number of parameters";

class PanelTable {
public:
    struct Options {
        // A panel is accepted once its whole-panel and two-halves values differ by at most
        // tolerance times the mass (and the same, relative to the spread, for the moments).
        double tolerance = 1e-12;
        // Error allowed in the mass an end model stands for (or the whole of that mass), as a
        // fraction of the total.
        double end_tail = 1e-14;
        // Extra edges of the first partition, where the density may have a kink or a jump: the
        // panels on either side take their end values a unit in the last place inside.
        std::span<const double> breakpoints = {};
        // Further edges of the first partition where the density is smooth (no value is taken
        // to either side): a grid graded towards where the mass is, on a wide interval.
        std::span<const double> grid = {};
    };

    // Integrates the density behind probe over [lo, hi] (lo < hi, both finite; hi - lo may
    // overflow only when a grid is given, which then replaces the even partition). Fails with
    // the probe's error, DensityZero, or MassNotFound; the probe's call count says what it cost.
    static BuildResult<PanelTable> build(DensityProbe& probe, double lo, double hi,
                                         const Options& options);
    // The same with a probe of its own.
    static BuildResult<PanelTable> build(FunctionRef<double(double)> density, double lo,
                                         double hi, const Options& options);

    // The interval, and the part of it covered by panels (inside the reach of an end model).
    double lo() const { return lo_; }
    double hi() const { return hi_; }
    double first_edge() const { return edges_.front(); }
    double last_edge() const { return edges_.back(); }

    // Masses in the table's units: the density times 2^-scale_exponent().
    int scale_exponent() const { return exponent_; }
    double mass() const { return mass_; }
    // The mass of the user's density on [lo, hi].
    double norm() const { return std::ldexp(mass_, exponent_); }
    // Masses of [lo, first_edge] and [last_edge, hi]: those of the end models, 0 otherwise.
    double tail_below() const { return below_.front(); }
    double tail_above() const { return above_.back(); }
    // The fits at ends where the density is not finite.
    const std::optional<EndModel>& lo_model() const { return lo_model_; }
    const std::optional<EndModel>& hi_model() const { return hi_model_; }

    std::size_t panels() const { return masses_.size(); }
    const std::vector<double>& edges() const { return edges_; }
    // Mass left and right of edges()[j], each summed from its own end.
    double below(std::size_t j) const { return below_[j]; }
    double above(std::size_t j) const { return above_[j]; }
    // The density at edges()[j] in the table's units, as the panels below and above see it (the
    // two differ at a breakpoint, where each is taken a unit in the last place inside).
    double value_below_edge(std::size_t j) const { return j == 0 ? values_[0] : values_[9 * j - 1]; }
    double value_above_edge(std::size_t j) const {
        return j == masses_.size() ? values_[9 * j - 1] : values_[9 * j];
    }

    // Mass left and right of x, for lo < x < hi, and the density at x: the table's sums and one
    // Gauss-Lobatto rule over the shorter part of x's panel (four density calls; none when x is
    // an edge or within the reach of an end model, where the model answers). At an edge the
    // density is given as the panels on either side see it.
    struct Split {
        double left;
        double right;
        double f_below;
        double f_above;
    };
    Split split_at(DensityProbe& probe, double x) const;
    // The same for a caller whose points mostly fall in or next to the panel of the one before:
    // near is that panel's index (any value at first), checked before the table is searched,
    // and set to x's panel.
    Split split_at(DensityProbe& probe, double x, std::size_t& near) const;
    // The points split_at(probe, x) reads (none, or four): to evaluate them ahead.
    void split_points(double x, std::vector<double>& out) const;

    // Summaries of the normalised density, from the stored panel values (no density call).
    double mean() const { return mean_; }
    double variance() const { return variance_; }
    double entropy() const { return entropy_; }
    // The expectation of func, one call of func per panel node; NaN if func is NaN anywhere.
    double expect(FunctionRef<double(double)> func) const;

    // The error of the mass the table cannot resolve, over the mass: |whole - halves| of panels
    // too narrow to split and the estimated errors of the end models (0 for most densities).
    double unresolved() const { return unresolved_; }
    std::size_t memory_bytes() const;

    // Everything the table holds, as plain numbers, and a table made from them again with no
    // density call (core/serial.hpp), a part of its interpolated inverse's state. from_state
    // checks what the queries rely on (sizes, finite and ordered values, consistent end models)
    // and refuses anything else with a fixed text.
    struct State {
        double lo = 0.0;
        double hi = 0.0;
        int exponent = 0;
        double mass = 0.0;
        double unresolved = 0.0;
        double mean = 0.0;
        double variance = 0.0;
        double entropy = 0.0;
        std::vector<double> edges;
        std::vector<double> masses;
        std::vector<double> values;
        std::vector<double> below;
        std::vector<double> above;
        std::optional<EndModel::Parameters> lo_model;
        std::optional<EndModel::Parameters> hi_model;
        static auto fields(auto& s) {
            auto& [lo, hi, exponent, mass, unresolved, mean, variance, entropy, edges, masses,
                   values, below, above, lo_model, hi_model] = s;
            return std::tie(lo, hi, exponent, mass, unresolved, mean, variance, entropy, edges,
                            masses, values, below, above, lo_model, hi_model);
        }
    };
    State state() const;
    static StateResult<PanelTable> from_state(State s);

private:
    // One attempt at the table on a first partition, in named steps (panel_table.cpp).
    class Builder;

    // The number of edges below x, for first_edge() <= x <= last_edge(): where x falls in the
    // panel near or one of its neighbours, without a search.
    std::size_t edges_below(double x, std::size_t& near) const;

    PanelTable() = default;

    double lo_ = 0.0;
    double hi_ = 0.0;
    int exponent_ = 0;
    double mass_ = 0.0;
    double unresolved_ = 0.0;
    std::vector<double> edges_;   // panels + 1
    std::vector<double> masses_;  // per panel: the two-halves value
    std::vector<double> values_;  // 9 per panel: the density at the nodes of its two halves
    std::vector<double> below_;   // panels + 1; below_[0] is the mass of [lo, first_edge]
    std::vector<double> above_;   // panels + 1; above_[panels] is the mass of [last_edge, hi]
    double mean_ = 0.0;
    double variance_ = 0.0;
    double entropy_ = 0.0;
    std::optional<EndModel> lo_model_;
    std::optional<EndModel> hi_model_;
};

}  // namespace varnix

// The density near an end of the interval where it is infinite or NaN, fitted as
// A t^p e^(c t) in the distance t from the end: the panel integrator's stand-in for the density
// as close to that end as needed.
#pragma once

#include <array>
#include <limits>
#include <optional>
#include <vector>

#include "core/continuous/density_probe.hpp"
#include "core/errors.hpp"

namespace varnix {

// The fit holds for t up to reach(). It comes from three values at distances s, s/2 and s/4 and
// is checked at three more; the walk towards the end halves s until the mass within s is
// negligible or the fit agrees with the checks well enough that its error is. Its mass and
// moments are then series and small quadratures with no density call, and no point closer to
// the end than double precision can resolve is ever evaluated.
class EndModel {
public:
    EndModel() = default;
    EndModel(double end, bool at_lo, double reach, double log_a, double p, double c, double error)
        : end_(end), at_lo_(at_lo), reach_(reach), log_a_(log_a), p_(p), c_(c), error_(error) {}

    // Fits the model walking towards `end`, from the nearest grid point at distance s0 (density
    // f0 there), until the error of its mass is within budget. Each step fits A t^p e^(c t)
    // through the values at s, s/2, s/4 and checks it at s/8, 3s/8 and 3s/4; it stops once the
    // mass within s, or four times the checks' largest relative misfit times that mass, is
    // within budget (or no closer distance can be resolved), and halves s otherwise (two new
    // density calls). A fit with p <= -1 (growing like 1/t or faster) jumps 2^-16 closer; if
    // that holds down to the smallest distance, or the density overflows on the way, it is not
    // integrable (MassNotFound); the probe's own error otherwise.
    static BuildResult<EndModel> fit(DensityProbe& probe, double end, bool at_lo, double s0,
                                     double f0, double budget);

    double reach() const { return reach_; }
    double exponent() const { return p_; }
    // Estimated error of mass(reach()).
    double error() const { return error_; }
    // The point at distance t from the end, and the distance of x.
    double point(double t) const { return at_lo_ ? end_ + t : end_ - t; }
    double distance(double x) const { return at_lo_ ? x - end_ : end_ - x; }
    double density(double t) const;
    // The mass within distance t of the end, and the distance (at most reach()) within which
    // the mass is m (or a little less).
    double mass(double t) const;
    double distance_with_mass(double m) const;
    // Gauss-Lobatto nodes covering [0, reach] on pieces shrinking geometrically towards the
    // end (the last, holding less than `negligible` of the mass, as one point): distances and
    // weights times density, for the summaries.
    void quadrature(double negligible, std::vector<double>& t, std::vector<double>& wf) const;

    // The fit as plain numbers (end, at_lo as 0 or 1, reach, log A, p, c, error), and back
    // (nullopt for numbers no fit can have).
    using Parameters = std::array<double, 7>;
    Parameters parameters() const { return {end_, at_lo_ ? 1.0 : 0.0, reach_, log_a_, p_, c_, error_}; }
    static std::optional<EndModel> from_parameters(const Parameters& q);

private:
    double end_ = 0.0;
    bool at_lo_ = true;
    double reach_ = 0.0;
    double log_a_ = -std::numeric_limits<double>::infinity();  // no mass: the density vanished
    double p_ = 0.0;
    double c_ = 0.0;
    double error_ = 0.0;
};

}  // namespace varnix

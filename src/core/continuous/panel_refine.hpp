// The panel integrator's refinement: panels examined with the 5-point Gauss-Lobatto rule over
// the whole panel and over each half, and split while the two disagree. Used by PanelTable's
// build only.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

#include "core/continuous/density_probe.hpp"
#include "core/continuous/lobatto.hpp"
#include "core/errors.hpp"

namespace varnix::panel_refine {

// Sum with a running compensation (Neumaier), so a table of many panels keeps its digits.
struct CompensatedSum {
    double sum = 0.0;
    double carry = 0.0;
    void add(double v) {
        const double t = sum + v;
        carry += std::fabs(sum) >= std::fabs(v) ? (sum - t) + v : (v - t) + sum;
        sum = t;
    }
    double value() const { return sum + carry; }
};

// The entropy integrand against a reference level: f log(f / ref) is homogeneous in f, so it
// does not depend on the density's scale the way f log f would.
inline double flog(double f, double log_ref) {
    return f > 0.0 ? f * (std::log(f) - log_ref) : 0.0;
}
inline double lobatto_flog(double a, double b, const double* f, double log_ref) {
    return lobatto5(a, b, flog(f[0], log_ref), flog(f[1], log_ref), flog(f[2], log_ref),
                    flog(f[3], log_ref), flog(f[4], log_ref));
}

// A panel whose whole-panel rule is known: the density at its five Gauss-Lobatto nodes.
struct Work {
    double a;
    double b;
    double f[5];
};

// A panel examined: the density at the nodes of its two halves and of the whole-panel rule.
struct Panel {
    double a;
    double b;
    double f[9];  // halves' nodes: a, three inside, the midpoint, three inside, b
    double w1;    // whole-panel rule at lobatto_t1 and lobatto_t3
    double w3;
    double mass;  // the two halves' value
    double d0;    // whole minus halves
    bool splittable;

    double mid() const { return lobatto_node(a, b, 0.5); }
    Work left() const { return {a, mid(), {f[0], f[1], f[2], f[3], f[4]}}; }
    Work right() const { return {mid(), b, {f[4], f[5], f[6], f[7], f[8]}}; }
};

// The panel [a, b] with the density fa and fb at its ends: three density calls, a to b.
Work make_root(DensityProbe& probe, double a, double b, double fa, double fb);
// The three points make_root reads, in its order.
std::array<double, 3> root_nodes(double a, double b);

struct Criteria {
    double tolerance = 0.0;  // relative to the running mass estimate
    bool moments = false;    // the rest applies once the mass and the spread are known
    double center = 0.0;
    double tol1 = 0.0;       // absolute, for (x - center) f
    double tol2 = 0.0;       // absolute, for (x - center)^2 f
    double tol_h = 0.0;      // absolute, for the entropy integrand
    double log_ref = 0.0;
};

// Splits panels until they meet the criteria. The mass tolerance is relative to a running
// estimate of the total: the whole-panel values of the roots, corrected by every examination.
class Refiner {
public:
    explicit Refiner(DensityProbe& probe) : probe_(probe) {}

    Criteria criteria;

    // A root panel: its whole-panel value joins the running estimate. Every root is added
    // before it is run.
    void add_root(const Work& w) {
        estimate_ += lobatto5(w.a, w.b, w.f[0], w.f[1], w.f[2], w.f[3], w.f[4]);
    }
    // Examines root and its descendants depth first, left to right, appending accepted panels.
    void run(const Work& root, std::vector<Panel>& out);
    // A panel accepted in an earlier pass, checked again under the current criteria.
    void recheck(const Panel& p, std::vector<Panel>& out);

    bool failed() const { return error_.has_value() || probe_.failed(); }
    BuildError error() const { return error_ ? *error_ : probe_.error(); }
    bool changed() const { return changed_; }
    void reset_changed() { changed_ = false; }

    // With a batch density: evaluates ahead the panels that examining these roots will
    // probably examine, one batch call a level. Each level's panels are examined on the values
    // as they come, the estimate updated as it will be, and those that would not be accepted
    // are split for the next level. Only a guess of which values will be read: the reads and
    // the decisions stay those of run.
    void speculate(std::vector<Work> roots);
    // The same for a pass of recheck over panels: from the children of those it would split.
    void speculate_recheck(const std::vector<Panel>& panels);

private:
    bool accept(const Panel& p, double estimate) const;
    Panel examine(const Work& w);
    // The six nodes of w's halves inside them, in the order examine reads them, and the panel
    // they make with their values f.
    static void inner_nodes(const Work& w, double* xs);
    static Panel panel_of(const Work& w, const double* xs, const double* f);
    static double whole_value(const Work& w);

    DensityProbe& probe_;
    double estimate_ = 0.0;
    bool changed_ = false;
    std::vector<Work> stack_;
    std::optional<BuildError> error_;
};

// An end model's quadrature nodes (distances from the end, weights times density).
struct ModelNodes {
    double end = 0.0;
    bool at_lo = true;
    std::vector<double> t;
    std::vector<double> wf;
};

// Mass, mean and variance of the panels and the end models. The variance is centred on the
// mean found first and corrected by the mean's own residual, so it keeps its digits when the
// mean is large.
struct Moments {
    double mass;
    double mean;
    double variance;
};
Moments panel_moments(const std::vector<Panel>& panels, const std::vector<ModelNodes>& models,
                      double model_mass, double reference);

// Passes with the final mass and the spread, starting from the moments about reference: panels
// whose whole-panel and two-halves moments (and entropy integrands) still disagree are split
// again, until none is or the passes run out. The moments of the panels as they are then.
BuildResult<Moments> refine_moments(Refiner& refiner, std::vector<Panel>& panels,
                                    const std::vector<ModelNodes>& models, double model_mass,
                                    double reference);

}  // namespace varnix::panel_refine

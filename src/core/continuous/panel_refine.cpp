#include "core/continuous/panel_refine.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace varnix::panel_refine {

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr std::size_t kMaxPanels = 50000;
constexpr double kMomentTolerance = 1e-12;  // per panel, relative to the spread
constexpr int kMaxPasses = 8;

// Gauss-Lobatto sums over [a, b] of (x - c)^k f(x), k = 1, 2, with x - c taken as
// (a - c) + (b - a) t from the exact local positions t rather than from the rounded nodes: a
// panel a few units in the last place wide keeps its moments.
void lobatto_moments(double a, double b, const double* f, double c, double& m1, double& m2) {
    const double h = b - a;
    const double off = a - c;
    double s1 = 0.0;
    double s2 = 0.0;
    for (int k = 0; k < 5; ++k) {
        const double y = off + h * lobatto_positions[k];
        const double wf = lobatto_weights[k] * f[k];
        s1 += wf * y;
        s2 += (wf * y) * y;
    }
    m1 = h * s1;
    m2 = h * s2;
}

}  // namespace

Work make_root(DensityProbe& probe, double a, double b, double fa, double fb) {
    const double f1 = probe(lobatto_node(a, b, lobatto_t1));
    const double fm = probe(lobatto_node(a, b, 0.5));
    const double f3 = probe(lobatto_node(a, b, lobatto_t3));
    return {a, b, {fa, f1, fm, f3, fb}};
}

void Refiner::run(const Work& root, std::vector<Panel>& out) {
    stack_.clear();
    stack_.push_back(root);
    while (!stack_.empty() && !failed()) {
        const Work w = stack_.back();
        stack_.pop_back();
        const Panel p = examine(w);
        if (probe_.failed()) return;
        if (accept(p)) {
            out.push_back(p);
        } else {
            stack_.push_back(p.right());
            stack_.push_back(p.left());
        }
        if (out.size() + stack_.size() > kMaxPanels) {
            error_ = BuildError::mass_not_found(detail_text::too_many_panels, w.a);
        }
    }
}

void Refiner::recheck(const Panel& p, std::vector<Panel>& out) {
    if (accept(p)) {
        out.push_back(p);
        return;
    }
    changed_ = true;
    run(p.left(), out);
    if (!failed()) run(p.right(), out);
}

bool Refiner::accept(const Panel& p) const {
    if (!p.splittable) return true;
    const double e0 = std::fabs(p.d0);
    if (!(e0 <= criteria.tolerance * estimate_ || e0 <= 64.0 * kEps * std::fabs(p.mass))) {
        return false;
    }
    if (!criteria.moments) return true;
    const double m = p.mid();
    const double whole[5] = {p.f[0], p.w1, p.f[4], p.w3, p.f[8]};
    double w1, w2, l1, l2, r1, r2;
    lobatto_moments(p.a, p.b, whole, criteria.center, w1, w2);
    lobatto_moments(p.a, m, p.f, criteria.center, l1, l2);
    lobatto_moments(m, p.b, p.f + 4, criteria.center, r1, r2);
    const double h_whole = lobatto_flog(p.a, p.b, whole, criteria.log_ref);
    const double h_halves = lobatto_flog(p.a, m, p.f, criteria.log_ref) +
                            lobatto_flog(m, p.b, p.f + 4, criteria.log_ref);
    return std::fabs(w1 - (l1 + r1)) <= criteria.tol1 &&
           std::fabs(w2 - (l2 + r2)) <= criteria.tol2 &&
           std::fabs(h_whole - h_halves) <= criteria.tol_h;
}

Panel Refiner::examine(const Work& w) {
    Panel p;
    p.a = w.a;
    p.b = w.b;
    const double m = lobatto_node(w.a, w.b, 0.5);
    const double xs[6] = {lobatto_node(w.a, m, lobatto_t1), lobatto_node(w.a, m, 0.5),
                          lobatto_node(w.a, m, lobatto_t3), lobatto_node(m, w.b, lobatto_t1),
                          lobatto_node(m, w.b, 0.5),        lobatto_node(m, w.b, lobatto_t3)};
    p.splittable = w.a < xs[0] && xs[0] < xs[1] && xs[1] < xs[2] && xs[2] < m && m < xs[3] &&
                   xs[3] < xs[4] && xs[4] < xs[5] && xs[5] < w.b;
    p.f[0] = w.f[0];
    p.f[4] = w.f[2];
    p.f[8] = w.f[4];
    p.f[1] = probe_(xs[0]);
    p.f[2] = probe_(xs[1]);
    p.f[3] = probe_(xs[2]);
    p.f[5] = probe_(xs[3]);
    p.f[6] = probe_(xs[4]);
    p.f[7] = probe_(xs[5]);
    p.w1 = w.f[1];
    p.w3 = w.f[3];
    const double whole = lobatto5(w.a, w.b, w.f[0], w.f[1], w.f[2], w.f[3], w.f[4]);
    p.mass = lobatto5(w.a, m, p.f[0], p.f[1], p.f[2], p.f[3], p.f[4]) +
             lobatto5(m, w.b, p.f[4], p.f[5], p.f[6], p.f[7], p.f[8]);
    p.d0 = whole - p.mass;
    estimate_ += p.mass - whole;
    return p;
}

Moments panel_moments(const std::vector<Panel>& panels, const std::vector<ModelNodes>& models,
                      double model_mass, double reference) {
    CompensatedSum mass;
    mass.add(model_mass);
    for (const Panel& p : panels) mass.add(p.mass);
    const double total = mass.value();
    if (!(total > 0.0)) return {total, 0.0, 0.0};

    auto first_second = [&](double c, double& s1, double& s2) {
        s1 = 0.0;
        s2 = 0.0;
        for (const ModelNodes& m : models) {
            const double off = m.end - c;
            for (std::size_t k = 0; k < m.t.size(); ++k) {
                const double y = m.at_lo ? off + m.t[k] : off - m.t[k];
                s1 += m.wf[k] * y;
                s2 += (m.wf[k] * y) * y;
            }
        }
        for (const Panel& p : panels) {
            const double mid = p.mid();
            double l1, l2, r1, r2;
            lobatto_moments(p.a, mid, p.f, c, l1, l2);
            lobatto_moments(mid, p.b, p.f + 4, c, r1, r2);
            s1 += l1 + r1;
            s2 += l2 + r2;
        }
    };
    double s1, s2;
    first_second(reference, s1, s2);
    const double mean = reference + s1 / total;
    first_second(mean, s1, s2);
    const double shift = s1 / total;
    return {total, mean + shift, s2 / total - shift * shift};
}

BuildResult<Moments> refine_moments(Refiner& refiner, std::vector<Panel>& panels,
                                    const std::vector<ModelNodes>& models, double model_mass,
                                    double reference) {
    Moments mo = panel_moments(panels, models, model_mass, reference);
    for (int pass = 0; pass < kMaxPasses && mo.mass > 0.0; ++pass) {
        const double sigma = std::sqrt(std::max(mo.variance, 0.0));
        refiner.criteria.moments = std::isfinite(mo.mean) && sigma > 0.0 && std::isfinite(sigma);
        refiner.criteria.center = mo.mean;
        refiner.criteria.tol1 = kMomentTolerance * mo.mass * sigma;
        refiner.criteria.tol2 = kMomentTolerance * mo.mass * sigma * sigma;
        refiner.criteria.tol_h = kMomentTolerance * mo.mass;
        refiner.reset_changed();
        std::vector<Panel> next;
        next.reserve(panels.size());
        for (const Panel& p : panels) {
            refiner.recheck(p, next);
            if (refiner.failed()) return std::unexpected(refiner.error());
        }
        panels = std::move(next);
        if (!refiner.changed()) break;
        mo = panel_moments(panels, models, model_mass, mo.mean);
    }
    return mo;
}

}  // namespace varnix::panel_refine

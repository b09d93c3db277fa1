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

std::array<double, 3> root_nodes(double a, double b) {
    return {lobatto_node(a, b, lobatto_t1), lobatto_node(a, b, 0.5), lobatto_node(a, b, lobatto_t3)};
}

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
        if (probe_.batched()) {
            // A panel the guesses missed: guess again from every panel still to examine.
            double xs[6];
            inner_nodes(w, xs);
            if (!probe_.known(xs[0])) {
                std::vector<Work> ahead(stack_);
                ahead.push_back(w);
                speculate(std::move(ahead));
            }
        }
        const Panel p = examine(w);
        if (probe_.failed()) return;
        if (accept(p, estimate_)) {
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
    if (accept(p, estimate_)) {
        out.push_back(p);
        return;
    }
    changed_ = true;
    run(p.left(), out);
    if (!failed()) run(p.right(), out);
}

bool Refiner::accept(const Panel& p, double estimate) const {
    if (!p.splittable) return true;
    const double e0 = std::fabs(p.d0);
    if (!(e0 <= criteria.tolerance * estimate || e0 <= 64.0 * kEps * std::fabs(p.mass))) {
        return false;
    }
    if (!criteria.moments) return true;
    const double m = p.mid();
    const double whole[5] = {p.f[0], p.w1, p.f[4], p.w3, p.f[8]};
    double w1, w2, l1, l2, r1, r2;
    lobatto_moments(p.a, p.b, whole, criteria.center, w1, w2);
    lobatto_moments(p.a, m, p.f, criteria.center, l1, l2);
    lobatto_moments(m, p.b, p.f + 4, criteria.center, r1, r2);
    // The entropy integrand at the eleven distinct nodes, each once (the whole panel's ends
    // and midpoint are nodes of the halves too).
    double h[9];
    for (int k = 0; k < 9; ++k) h[k] = flog(p.f[k], criteria.log_ref);
    const double h1 = flog(p.w1, criteria.log_ref);
    const double h3 = flog(p.w3, criteria.log_ref);
    const double h_whole = lobatto5(p.a, p.b, h[0], h1, h[4], h3, h[8]);
    const double h_halves = lobatto5(p.a, m, h[0], h[1], h[2], h[3], h[4]) +
                            lobatto5(m, p.b, h[4], h[5], h[6], h[7], h[8]);
    return std::fabs(w1 - (l1 + r1)) <= criteria.tol1 &&
           std::fabs(w2 - (l2 + r2)) <= criteria.tol2 &&
           std::fabs(h_whole - h_halves) <= criteria.tol_h;
}

void Refiner::inner_nodes(const Work& w, double* xs) {
    const double m = lobatto_node(w.a, w.b, 0.5);
    xs[0] = lobatto_node(w.a, m, lobatto_t1);
    xs[1] = lobatto_node(w.a, m, 0.5);
    xs[2] = lobatto_node(w.a, m, lobatto_t3);
    xs[3] = lobatto_node(m, w.b, lobatto_t1);
    xs[4] = lobatto_node(m, w.b, 0.5);
    xs[5] = lobatto_node(m, w.b, lobatto_t3);
}

double Refiner::whole_value(const Work& w) {
    return lobatto5(w.a, w.b, w.f[0], w.f[1], w.f[2], w.f[3], w.f[4]);
}

Panel Refiner::panel_of(const Work& w, const double* xs, const double* f) {
    Panel p;
    p.a = w.a;
    p.b = w.b;
    const double m = lobatto_node(w.a, w.b, 0.5);
    p.splittable = w.a < xs[0] && xs[0] < xs[1] && xs[1] < xs[2] && xs[2] < m && m < xs[3] &&
                   xs[3] < xs[4] && xs[4] < xs[5] && xs[5] < w.b;
    p.f[0] = w.f[0];
    p.f[4] = w.f[2];
    p.f[8] = w.f[4];
    p.f[1] = f[0];
    p.f[2] = f[1];
    p.f[3] = f[2];
    p.f[5] = f[3];
    p.f[6] = f[4];
    p.f[7] = f[5];
    p.w1 = w.f[1];
    p.w3 = w.f[3];
    p.mass = lobatto5(w.a, m, p.f[0], p.f[1], p.f[2], p.f[3], p.f[4]) +
             lobatto5(m, w.b, p.f[4], p.f[5], p.f[6], p.f[7], p.f[8]);
    p.d0 = whole_value(w) - p.mass;
    return p;
}

Panel Refiner::examine(const Work& w) {
    double xs[6];
    inner_nodes(w, xs);
    double f[6];
    for (int k = 0; k < 6; ++k) f[k] = probe_(xs[k]);
    const Panel p = panel_of(w, xs, f);
    estimate_ += p.mass - whole_value(w);
    return p;
}

void Refiner::speculate(std::vector<Work> roots) {
    if (!probe_.batched()) return;
    double estimate = estimate_;
    std::vector<double> xs;
    std::vector<Work> next;
    std::size_t seen = 0;
    while (!roots.empty() && !probe_.failed() && seen <= kMaxPanels) {
        xs.resize(6 * roots.size());
        for (std::size_t i = 0; i < roots.size(); ++i) inner_nodes(roots[i], &xs[6 * i]);
        probe_.prefetch(xs);
        if (probe_.failed()) return;
        next.clear();
        for (std::size_t i = 0; i < roots.size(); ++i) {
            double f[6];
            for (int k = 0; k < 6; ++k) f[k] = probe_.peek(xs[6 * i + k]);
            const Panel p = panel_of(roots[i], &xs[6 * i], f);
            estimate += p.mass - whole_value(roots[i]);
            if (!accept(p, estimate)) {
                next.push_back(p.left());
                next.push_back(p.right());
            }
        }
        seen += roots.size();
        roots.swap(next);
    }
}

void Refiner::speculate_recheck(const std::vector<Panel>& panels) {
    if (!probe_.batched()) return;
    std::vector<Work> roots;
    for (const Panel& p : panels) {
        if (!accept(p, estimate_)) {
            roots.push_back(p.left());
            roots.push_back(p.right());
        }
    }
    if (!roots.empty()) speculate(std::move(roots));
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
        refiner.speculate_recheck(panels);
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

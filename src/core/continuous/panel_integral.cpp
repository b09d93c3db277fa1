#include "core/continuous/panel_integral.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <tuple>
#include <utility>

#include "core/search.hpp"

namespace varnix {

double DensityProbe::operator()(double x) {
    // After a failure the builder only finishes its current step: no more user calls.
    if (error_) return 0.0;
    ++calls_;
    const double v = density_(x);
    if (v < 0.0) {
        fail(BuildError::density_negative(x, v));
        return 0.0;
    }
    if (!std::isfinite(v)) {
        if (x == lo_ || x == hi_) return std::numeric_limits<double>::quiet_NaN();
        fail(BuildError::density_not_finite(x, v));
        return 0.0;
    }
    return std::ldexp(v, -exponent_);
}

namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kGrid = 32;          // panels of the first partition
constexpr std::size_t kRetryGrid = 1024;   // ... and of the second, if the first saw nothing
constexpr std::size_t kMaxPanels = 50000;
constexpr double kMomentTolerance = 1e-12;  // per panel, relative to the spread
constexpr double kUnsettledLimit = 1e-4;    // unresolved mass beyond which the build refuses
constexpr int kMaxPasses = 8;

constexpr double kT[5] = {0.0, lobatto_t1, 0.5, lobatto_t3, 1.0};
constexpr double kW[5] = {1.0 / 20.0, 49.0 / 180.0, 16.0 / 45.0, 49.0 / 180.0, 1.0 / 20.0};

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
double flog(double f, double log_ref) { return f > 0.0 ? f * (std::log(f) - log_ref) : 0.0; }

// Gauss-Lobatto sums over [a, b] of (x - c)^k f(x), k = 1, 2, with x - c taken as
// (a - c) + (b - a) t from the exact local positions t rather than from the rounded nodes: a
// panel a few units in the last place wide keeps its moments.
void lobatto_moments(double a, double b, const double* f, double c, double& m1, double& m2) {
    const double h = b - a;
    const double off = a - c;
    double s1 = 0.0;
    double s2 = 0.0;
    for (int k = 0; k < 5; ++k) {
        const double y = off + h * kT[k];
        const double wf = kW[k] * f[k];
        s1 += wf * y;
        s2 += (wf * y) * y;
    }
    m1 = h * s1;
    m2 = h * s2;
}

double lobatto_flog(double a, double b, const double* f, double log_ref) {
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

struct Criteria {
    double tolerance = 0.0;  // relative to the running mass estimate
    bool moments = false;    // the rest applies once the mass and the spread are known
    double center = 0.0;
    double tol1 = 0.0;       // absolute, for (x - center) f
    double tol2 = 0.0;       // absolute, for (x - center)^2 f
    double tol_h = 0.0;      // absolute, for the entropy integrand
    double log_ref = 0.0;
};

class Refiner {
public:
    Refiner(DensityProbe& probe, double estimate) : probe_(probe), estimate_(estimate) {}

    Criteria criteria;

    // Examines root and its descendants depth first, left to right, appending accepted panels.
    void run(const Work& root, std::vector<Panel>& out) {
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

    // A panel accepted in an earlier pass, checked again under the current criteria.
    void recheck(const Panel& p, std::vector<Panel>& out) {
        if (accept(p)) {
            out.push_back(p);
            return;
        }
        changed_ = true;
        run(p.left(), out);
        if (!failed()) run(p.right(), out);
    }

    // A root panel added after the start: its whole-panel value joins the running estimate.
    void add_root(const Work& w) {
        estimate_ += lobatto5(w.a, w.b, w.f[0], w.f[1], w.f[2], w.f[3], w.f[4]);
    }

    bool failed() const { return error_.has_value() || probe_.failed(); }
    BuildError error() const { return error_ ? *error_ : probe_.error(); }
    bool changed() const { return changed_; }
    void reset_changed() { changed_ = false; }

private:
    bool accept(const Panel& p) const {
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

    Panel examine(const Work& w) {
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

    DensityProbe& probe_;
    double estimate_;
    bool changed_ = false;
    std::vector<Work> stack_;
    std::optional<BuildError> error_;
};

Work make_root(DensityProbe& probe, double a, double b, double fa, double fb) {
    const double f1 = probe(lobatto_node(a, b, lobatto_t1));
    const double fm = probe(lobatto_node(a, b, 0.5));
    const double f3 = probe(lobatto_node(a, b, lobatto_t3));
    return {a, b, {fa, f1, fm, f3, fb}};
}

// Fits an end model walking towards an end where the density is not finite, from the nearest
// grid point at distance s0 (density f0 there). Each step fits A t^p e^(c t) through the
// values at s, s/2, s/4 and checks it at s/8, 3s/8 and 3s/4; it stops once the mass within s,
// or four times the checks' largest relative misfit times that mass, is within budget (or no
// closer distance can be resolved), and halves s otherwise (two new density calls). A fit
// with p <= -1 (growing like 1/t or faster) jumps 2^-16 closer; if that holds down to the
// smallest distance, or the density overflows on the way, it is not integrable.
BuildResult<EndModel> fit_end(DensityProbe& probe, double end, bool at_lo, double s0, double f0,
                              double budget) {
    // A point at nominal distance s, its actual distance once rounded to a double, and the
    // density there.
    struct Sample {
        double t = 0.0;
        double f = 0.0;
    };
    const auto at = [&](double s) {
        const double x = at_lo ? end + s : end - s;
        return Sample{at_lo ? x - end : end - x, probe(x)};
    };
    const double ulp = std::fabs(std::nextafter(end, at_lo ? kInf : -kInf) - end);
    const double s_min = std::max(ulp, s0 * 0x1p-1000);
    // Below this distance, points rounded to doubles would spoil the checks and the panels.
    const double s_floor = std::max(ulp * 0x1p30, s_min);
    const auto refuse = [&] {
        return std::unexpected(BuildError::mass_not_found(detail_text::non_integrable_end, end));
    };

    double s = s0;
    Sample p1{s0, f0};  // the fit's points at s, s/2, s/4
    Sample p2 = at(0.5 * s);
    Sample p3 = at(0.25 * s);
    Sample c34 = at(0.75 * s);  // checks carried into the next step
    Sample c38 = at(0.375 * s);
    bool steep = false;
    for (int step = 0; step < 3000; ++step) {
        const Sample c8 = at(0.125 * s);
        if (probe.failed()) {
            if (steep && probe.error().kind == BuildErrorKind::DensityNotFinite) return refuse();
            return std::unexpected(probe.error());
        }
        // The density vanishes near the end: no mass within the farthest zero.
        const double zero = p1.f == 0.0 ? p1.t : p2.f == 0.0 ? p2.t : p3.f == 0.0 ? p3.t : 0.0;
        if (zero > 0.0) return EndModel(end, at_lo, zero, -kInf, 0.0, 0.0, 0.0);

        // log f = log A + p log t + c t through the three points.
        const double a11 = std::log(p1.t / p2.t);
        const double a12 = p1.t - p2.t;
        const double a21 = std::log(p2.t / p3.t);
        const double a22 = p2.t - p3.t;
        const double b1 = std::log(p1.f / p2.f);
        const double b2 = std::log(p2.f / p3.f);
        const double det = a11 * a22 - a12 * a21;
        const double p = (b1 * a22 - a12 * b2) / det;
        const double c = (a11 * b2 - b1 * a21) / det;
        const double log_a = std::log(p1.f) - p * std::log(p1.t) - c * p1.t;
        steep = !(p > -1.0 + 1e-9);
        if (steep) {
            if (s <= s_min) return refuse();
            s = std::max(s * 0x1p-16, s_min);
            p1 = at(s);
            p2 = at(0.5 * s);
            p3 = at(0.25 * s);
            c34 = at(0.75 * s);
            c38 = at(0.375 * s);
            continue;
        }
        const EndModel model(end, at_lo, p1.t, log_a, p, c, 0.0);
        double misfit = 0.0;
        for (const Sample& check : {c8, c38, c34}) {
            misfit = std::max(misfit, check.f > 0.0 ? std::fabs(model.density(check.t) / check.f - 1.0)
                                                    : kInf);
        }
        // A misfit at the level of rounding counts as none, so that the decision does not
        // depend on the rounding of one particular scale of the density.
        if (misfit <= 64.0 * kEps) misfit = 0.0;
        const double tail = model.mass(p1.t);
        const double error = std::min(tail, 4.0 * misfit * tail);
        const bool smooth = std::fabs(c * p1.t) <= 2.0;
        if (tail <= budget || (error <= budget && smooth) || 0.5 * s < s_floor) {
            return EndModel(end, at_lo, p1.t, log_a, p, c, error);
        }
        // Halve: the fit's points move in by one, the check at 3s/8 becomes the one at 3s/4.
        s *= 0.5;
        p1 = p2;
        p2 = p3;
        p3 = c8;
        c34 = c38;
        c38 = at(0.375 * s);
    }
    return refuse();
}

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

}  // namespace

double EndModel::density(double t) const {
    if (!(t > 0.0)) return t == 0.0 && log_a_ > -kInf && p_ < 0.0 ? kInf : 0.0;
    return std::exp(log_a_ + p_ * std::log(t) + c_ * t);
}

double EndModel::mass(double t) const {
    if (!(t > 0.0) || log_a_ == -kInf) return 0.0;
    const double q = p_ + 1.0;
    const double ct = c_ * t;
    if (std::fabs(ct) > 4.0) {
        // Only a fit kept for its negligible mass gets here: the series would cancel, so the
        // 5-point rule on halving pieces, and the power law alone where e^(c t) is flat.
        double y = t;
        double sum = 0.0;
        while (std::fabs(c_ * y) > 1e-3) {
            const double a = 0.5 * y;
            const double h = y - a;
            for (int k = 0; k < 5; ++k) sum += h * kW[k] * density(a + h * kT[k]);
            y = a;
        }
        return sum + std::exp(log_a_ + q * std::log(y)) / q;
    }
    // A t^(p+1) sum_k (c t)^k / (k! (p + 1 + k)): with |c t| <= 4 the terms fall fast.
    double term = 1.0;
    double sum = 1.0 / q;
    for (int k = 1; k < 80; ++k) {
        term *= ct / k;
        const double add = term / (q + k);
        sum += add;
        if (std::fabs(add) <= 1e-17 * std::fabs(sum)) break;
    }
    return std::exp(log_a_ + q * std::log(t)) * sum;
}

double EndModel::distance_with_mass(double m) const {
    if (!(m < mass(reach_))) return reach_;
    if (!(m > 0.0)) return 0.0;
    // Bisection on log t: the mass rises with t, over any number of decades.
    double lo = std::log(reach_) - 1500.0;
    double hi = std::log(reach_);
    for (int i = 0; i < 200 && hi - lo > 1e-15 * std::fabs(hi) + 1e-300; ++i) {
        const double mid = 0.5 * (lo + hi);
        (mass(std::exp(mid)) < m ? lo : hi) = mid;
    }
    return std::exp(lo);
}

void EndModel::quadrature(double negligible, std::vector<double>& t, std::vector<double>& wf) const {
    t.clear();
    wf.clear();
    if (log_a_ == -kInf) return;
    // Pieces [y r, y] with r = 2^(-1/8), from the reach towards the end, each with the
    // 5-point rule; the mass left inside the last one goes to a single point.
    const double r = 0.91700404320467123175;  // 2^(-1/8)
    double y = reach_;
    const double total = mass(reach_);
    for (int i = 0; i < 20000; ++i) {
        const double a = y * r;
        if (mass(a) <= negligible * total || !(a > 0.0)) break;
        const double h = y - a;
        for (int k = 0; k < 5; ++k) {
            const double tk = a + h * kT[k];
            t.push_back(tk);
            wf.push_back(h * kW[k] * density(tk));
        }
        y = a;
    }
    const double rest = mass(y);
    if (rest > 0.0) {
        t.push_back(0.5 * y);
        wf.push_back(rest);
    }
}

std::optional<EndModel> EndModel::from_parameters(const Parameters& q) {
    for (const double v : q) {
        if (std::isnan(v)) return std::nullopt;
    }
    const auto [end, at_lo, reach, log_a, p, c, error] = q;
    if (!std::isfinite(end) || !(at_lo == 0.0 || at_lo == 1.0) || !std::isfinite(reach) ||
        !(reach > 0.0) || log_a == kInf || !std::isfinite(p) || !(p > -1.0) ||
        !std::isfinite(c) || !std::isfinite(error) || error < 0.0) {
        return std::nullopt;
    }
    return EndModel(end, at_lo == 1.0, reach, log_a, p, c, error);
}

PanelTable::State PanelTable::state() const {
    State s;
    s.lo = lo_;
    s.hi = hi_;
    s.exponent = exponent_;
    s.mass = mass_;
    s.unresolved = unresolved_;
    s.mean = mean_;
    s.variance = variance_;
    s.entropy = entropy_;
    s.edges = edges_;
    s.masses = masses_;
    s.values = values_;
    s.below = below_;
    s.above = above_;
    if (lo_model_) s.lo_model = lo_model_->parameters();
    if (hi_model_) s.hi_model = hi_model_->parameters();
    return s;
}

std::expected<PanelTable, const char*> PanelTable::from_state(State s) {
    const auto all_finite = [](const std::vector<double>& v) {
        return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
    };
    const std::size_t np = s.masses.size();
    if (np == 0 || s.edges.size() != np + 1 || s.values.size() != 9 * np ||
        s.below.size() != np + 1 || s.above.size() != np + 1) {
        return std::unexpected("panel table sizes do not match");
    }
    if (!std::isfinite(s.lo) || !std::isfinite(s.hi) || !(s.lo < s.hi) ||
        !std::isfinite(s.hi - s.lo)) {
        return std::unexpected("panel table interval is not finite and ordered");
    }
    if (!all_finite(s.edges) || !all_finite(s.masses) || !all_finite(s.values) ||
        !all_finite(s.below) || !all_finite(s.above) || !std::isfinite(s.mass) ||
        !std::isfinite(s.unresolved) || !std::isfinite(s.mean) || !std::isfinite(s.variance) ||
        !std::isfinite(s.entropy)) {
        return std::unexpected("panel table holds a value that is not finite");
    }
    if (!(s.mass > 0.0) || s.unresolved < 0.0 || s.variance < 0.0 || s.exponent < -1100 ||
        s.exponent > 1100) {
        return std::unexpected("panel table mass, scale or spread out of range");
    }
    if (s.edges.front() < s.lo || s.edges.back() > s.hi) {
        return std::unexpected("panel edges outside the interval");
    }
    for (std::size_t j = 0; j < np; ++j) {
        if (!(s.edges[j] < s.edges[j + 1]) || s.masses[j] < 0.0 || s.below[j + 1] < s.below[j] ||
            s.above[j + 1] > s.above[j]) {
            return std::unexpected("panel table is not ordered");
        }
    }
    for (const double v : s.values) {
        if (v < 0.0) return std::unexpected("panel table holds a negative density");
    }
    if (s.below.front() < 0.0 || s.above.back() < 0.0) {
        return std::unexpected("panel table holds a negative mass");
    }
    PanelTable t;
    for (const auto& [given, model, end, at_lo, room] :
         {std::tuple{&s.lo_model, &t.lo_model_, s.lo, true, s.edges.front() - s.lo},
          std::tuple{&s.hi_model, &t.hi_model_, s.hi, false, s.hi - s.edges.back()}}) {
        if (!*given) {
            if (room != 0.0) return std::unexpected("panel table leaves an end uncovered");
            continue;
        }
        const auto m = EndModel::from_parameters(**given);
        if (!m || m->point(0.0) != end || (**given)[1] != (at_lo ? 1.0 : 0.0) ||
            !(m->reach() <= room * (1.0 + 1e-12) + 1e-300)) {
            return std::unexpected("panel table end model does not fit its end");
        }
        *model = *m;
    }
    t.lo_ = s.lo;
    t.hi_ = s.hi;
    t.exponent_ = s.exponent;
    t.mass_ = s.mass;
    t.unresolved_ = s.unresolved;
    t.mean_ = s.mean;
    t.variance_ = s.variance;
    t.entropy_ = s.entropy;
    t.edges_ = std::move(s.edges);
    t.masses_ = std::move(s.masses);
    t.values_ = std::move(s.values);
    t.below_ = std::move(s.below);
    t.above_ = std::move(s.above);
    return t;
}

BuildResult<PanelTable> PanelTable::build(FunctionRef<double(double)> density, double lo,
                                          double hi, const Options& options) {
    DensityProbe probe(density, lo, hi);
    return build(probe, lo, hi, options);
}

BuildResult<PanelTable> PanelTable::build(DensityProbe& probe, double lo, double hi,
                                          const Options& options) {
    if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(hi - lo)) {
        return std::unexpected(BuildError::invalid_support(detail_text::support_bounds));
    }
    if (!(lo < hi)) return std::unexpected(BuildError::invalid_support(detail_text::lo_below_hi));

    for (const std::size_t grid : {kGrid, kRetryGrid}) {
        // The first partition: an even grid and the breakpoints, each point once.
        std::vector<double> xs;
        xs.reserve(grid + 1 + options.breakpoints.size());
        for (std::size_t k = 0; k <= grid; ++k) {
            xs.push_back(k == grid ? hi
                                   : lo + (hi - lo) * (static_cast<double>(k) /
                                                       static_cast<double>(grid)));
        }
        for (const double b : options.breakpoints) {
            if (b > lo && b < hi) xs.push_back(b);
        }
        std::sort(xs.begin(), xs.end());
        xs.erase(std::unique(xs.begin(), xs.end()), xs.end());
        const std::size_t n = xs.size() - 1;

        // The density at each point as the panels below and above see it: at a breakpoint a
        // unit in the last place to either side, elsewhere the one value.
        std::vector<double> fb(xs.size());
        std::vector<double> fa(xs.size());
        for (std::size_t k = 0; k <= n; ++k) {
            const bool jump = k > 0 && k < n &&
                              std::find(options.breakpoints.begin(), options.breakpoints.end(),
                                        xs[k]) != options.breakpoints.end();
            if (jump) {
                fb[k] = probe(std::nextafter(xs[k], lo));
                fa[k] = probe(std::nextafter(xs[k], hi));
            } else {
                fb[k] = fa[k] = probe(xs[k]);
            }
        }
        if (probe.failed()) return std::unexpected(probe.error());

        // The scale: the largest value seen becomes a number between 1 and 2.
        double largest = 0.0;
        std::size_t at_largest = n / 2;
        for (std::size_t k = 0; k <= n; ++k) {
            for (const double f : {fb[k], fa[k]}) {
                if (std::isfinite(f) && f > largest) {
                    largest = f;
                    at_largest = k;
                }
            }
        }
        if (largest > 0.0) {
            const int e = std::ilogb(largest);
            probe.set_scale_exponent(probe.scale_exponent() + e);
            for (double& f : fb) f = std::ldexp(f, -e);
            for (double& f : fa) f = std::ldexp(f, -e);
            largest = std::ldexp(largest, -e);
        }
        const double log_ref = largest > 0.0 ? std::log(largest) : 0.0;
        const bool singular_lo = !std::isfinite(fa.front());
        const bool singular_hi = !std::isfinite(fb.back());

        std::vector<Work> roots;
        double estimate = 0.0;
        for (std::size_t k = singular_lo ? 1 : 0; k + (singular_hi ? 1 : 0) < n; ++k) {
            roots.push_back(make_root(probe, xs[k], xs[k + 1], fa[k], fb[k + 1]));
            const Work& w = roots.back();
            estimate += lobatto5(w.a, w.b, w.f[0], w.f[1], w.f[2], w.f[3], w.f[4]);
        }
        if (probe.failed()) return std::unexpected(probe.error());

        Refiner refiner(probe, estimate);
        refiner.criteria.tolerance = options.tolerance;
        refiner.criteria.log_ref = log_ref;
        std::vector<Panel> panels;
        for (const Work& w : roots) {
            refiner.run(w, panels);
            if (refiner.failed()) return std::unexpected(refiner.error());
        }

        // Singular ends: a fitted model from the end out to its reach, then panels from there
        // to the nearest grid point like any other.
        double inner = 0.0;
        for (const Panel& p : panels) inner += p.mass;
        std::optional<EndModel> lo_model;
        std::optional<EndModel> hi_model;
        if (singular_lo) {
            const double s0 = xs[1] - lo;
            const double budget = options.end_tail * std::max(inner, s0 * fb[1]);
            auto m = fit_end(probe, lo, true, s0, fb[1], budget);
            if (!m) return std::unexpected(m.error());
            lo_model = *m;
            if (m->reach() < s0) {
                const double cut = m->point(m->reach());
                const double f_cut = probe(cut);
                const Work root = make_root(probe, cut, xs[1], f_cut, fb[1]);
                refiner.add_root(root);
                std::vector<Panel> first;
                refiner.run(root, first);
                if (refiner.failed()) return std::unexpected(refiner.error());
                first.insert(first.end(), panels.begin(), panels.end());
                panels = std::move(first);
            }
        }
        if (singular_hi) {
            const double s0 = hi - xs[n - 1];
            const double budget = options.end_tail * std::max(inner, s0 * fa[n - 1]);
            auto m = fit_end(probe, hi, false, s0, fa[n - 1], budget);
            if (!m) return std::unexpected(m.error());
            hi_model = *m;
            if (m->reach() < s0) {
                const double cut = m->point(m->reach());
                const double f_cut = probe(cut);
                const Work root = make_root(probe, xs[n - 1], cut, fa[n - 1], f_cut);
                refiner.add_root(root);
                refiner.run(root, panels);
                if (refiner.failed()) return std::unexpected(refiner.error());
            }
        }
        if (panels.empty()) {
            // Both ends singular on a two-panel grid: cannot happen with the even grid.
            throw InternalFault("no panel between the end models");
        }

        std::vector<ModelNodes> model_nodes;
        double model_mass = 0.0;
        double model_error = 0.0;
        for (const auto* m : {&lo_model, &hi_model}) {
            if (!*m) continue;
            model_mass += (*m)->mass((*m)->reach());
            model_error += (*m)->error();
        }
        for (const auto* m : {&lo_model, &hi_model}) {
            if (!*m) continue;
            ModelNodes nodes;
            nodes.end = m == &lo_model ? lo : hi;
            nodes.at_lo = m == &lo_model;
            (*m)->quadrature(1e-15 * std::max(model_mass, inner) / (*m)->mass((*m)->reach()),
                             nodes.t, nodes.wf);
            model_nodes.push_back(std::move(nodes));
        }

        // Passes with the final mass and the spread: panels whose whole-panel and two-halves
        // moments (and entropy integrands) still disagree are split again.
        Moments mo = panel_moments(panels, model_nodes, model_mass, xs[at_largest]);
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
            mo = panel_moments(panels, model_nodes, model_mass, mo.mean);
        }

        if (!std::isfinite(mo.mass)) {
            return std::unexpected(
                BuildError::mass_not_found(detail_text::mass_not_finite, xs[at_largest]));
        }
        if (!(mo.mass > 0.0)) continue;  // nothing seen: once more on a finer grid

        // Panels too narrow to split that still disagree with themselves.
        double unresolved = 0.0;
        double worst = 0.0;
        double worst_x = lo;
        for (const Panel& p : panels) {
            if (p.splittable) continue;
            unresolved += std::fabs(p.d0);
            if (std::fabs(p.d0) > worst) {
                worst = std::fabs(p.d0);
                worst_x = p.a;
            }
        }
        if (unresolved > kUnsettledLimit * mo.mass) {
            return std::unexpected(
                BuildError::mass_not_found(detail_text::integration_unsettled, worst_x));
        }

        PanelTable t;
        t.lo_ = lo;
        t.hi_ = hi;
        t.exponent_ = probe.scale_exponent();
        t.lo_model_ = lo_model;
        t.hi_model_ = hi_model;
        const std::size_t np = panels.size();
        t.edges_.resize(np + 1);
        t.masses_.resize(np);
        t.values_.resize(9 * np);
        for (std::size_t j = 0; j < np; ++j) {
            const Panel& p = panels[j];
            t.edges_[j] = p.a;
            t.masses_[j] = p.mass;
            std::copy(p.f, p.f + 9, t.values_.begin() + static_cast<std::ptrdiff_t>(9 * j));
        }
        t.edges_[np] = panels.back().b;

        const double tail_lo = lo_model ? lo_model->mass(lo_model->reach()) : 0.0;
        const double tail_hi = hi_model ? hi_model->mass(hi_model->reach()) : 0.0;
        t.below_.resize(np + 1);
        t.above_.resize(np + 1);
        CompensatedSum below;
        below.add(tail_lo);
        t.below_[0] = below.value();
        for (std::size_t j = 0; j < np; ++j) {
            below.add(t.masses_[j]);
            t.below_[j + 1] = below.value();
        }
        CompensatedSum above;
        above.add(tail_hi);
        t.above_[np] = above.value();
        for (std::size_t j = np; j-- > 0;) {
            above.add(t.masses_[j]);
            t.above_[j] = above.value();
        }
        below.add(tail_hi);
        t.mass_ = below.value();
        t.unresolved_ = (unresolved + model_error) / t.mass_;
        t.mean_ = mo.mean;
        t.variance_ = mo.variance;

        // Entropy of the normalised density: log(M / ref) - (1/M) * integral of f log(f / ref).
        double s = 0.0;
        for (const ModelNodes& m : model_nodes) {
            const EndModel& em = m.at_lo ? *lo_model : *hi_model;
            for (std::size_t k = 0; k < m.t.size(); ++k) {
                const double f = em.density(m.t[k]);
                s += f > 0.0 ? m.wf[k] * (std::log(f) - log_ref) : 0.0;
            }
        }
        for (const Panel& p : panels) {
            const double m = p.mid();
            s += lobatto_flog(p.a, m, p.f, log_ref) + lobatto_flog(m, p.b, p.f + 4, log_ref);
        }
        t.entropy_ = std::log(t.mass_) - log_ref - s / t.mass_;
        return t;
    }
    return std::unexpected(
        BuildError::density_zero(lo, hi, static_cast<double>(probe.calls())));
}

PanelTable::Split PanelTable::split_at(DensityProbe& probe, double x) const {
    const std::size_t n = masses_.size();
    if (x < edges_.front()) {
        if (!lo_model_ || !(x > lo_)) throw InternalFault("panel split outside the table");
        const double t = lo_model_->distance(x);
        const double m = lo_model_->mass(t);
        const double f = lo_model_->density(t);
        return {m, above_[0] + (below_[0] - m), f, f};
    }
    if (x > edges_.back()) {
        if (!hi_model_ || !(x < hi_)) throw InternalFault("panel split outside the table");
        const double t = hi_model_->distance(x);
        const double m = hi_model_->mass(t);
        const double f = hi_model_->density(t);
        return {below_[n] + (above_[n] - m), m, f, f};
    }
    const std::size_t k = count_below(edges_.data(), n + 1, x);  // edges below x
    if (edges_[k] == x) return {below_[k], above_[k], value_below_edge(k), value_above_edge(k)};
    const std::size_t j = k - 1;
    const double a = edges_[j];
    const double b = edges_[j + 1];
    const double fx = probe(x);
    if (x - a <= b - x) {
        const double s = lobatto5(a, x, values_[9 * j], probe(lobatto_node(a, x, lobatto_t1)),
                                  probe(lobatto_node(a, x, 0.5)),
                                  probe(lobatto_node(a, x, lobatto_t3)), fx);
        return {below_[j] + s, above_[j + 1] + (masses_[j] - s), fx, fx};
    }
    const double s = lobatto5(x, b, fx, probe(lobatto_node(x, b, lobatto_t1)),
                              probe(lobatto_node(x, b, 0.5)), probe(lobatto_node(x, b, lobatto_t3)),
                              values_[9 * j + 8]);
    return {below_[j] + (masses_[j] - s), above_[j + 1] + s, fx, fx};
}

double PanelTable::expect(FunctionRef<double(double)> func) const {
    const std::size_t n = masses_.size();
    double s = 0.0;
    std::vector<double> ts;
    std::vector<double> wfs;
    for (const auto* m : {&lo_model_, &hi_model_}) {
        if (!*m) continue;
        (*m)->quadrature(1e-15 * mass_ / std::max((*m)->mass((*m)->reach()), 1e-300), ts, wfs);
        for (std::size_t k = 0; k < ts.size(); ++k) s += wfs[k] * func((*m)->point(ts[k]));
    }
    double func_left = func(edges_[0]);
    for (std::size_t j = 0; j < n; ++j) {
        const double a = edges_[j];
        const double b = edges_[j + 1];
        const double m = lobatto_node(a, b, 0.5);
        const double* f = &values_[9 * j];
        const double func_right = func(b);
        const double g[9] = {func_left * f[0],
                             func(lobatto_node(a, m, lobatto_t1)) * f[1],
                             func(lobatto_node(a, m, 0.5)) * f[2],
                             func(lobatto_node(a, m, lobatto_t3)) * f[3],
                             func(m) * f[4],
                             func(lobatto_node(m, b, lobatto_t1)) * f[5],
                             func(lobatto_node(m, b, 0.5)) * f[6],
                             func(lobatto_node(m, b, lobatto_t3)) * f[7],
                             func_right * f[8]};
        s += lobatto5(a, m, g[0], g[1], g[2], g[3], g[4]) +
             lobatto5(m, b, g[4], g[5], g[6], g[7], g[8]);
        func_left = func_right;
    }
    return s / mass_;
}

std::size_t PanelTable::memory_bytes() const {
    return sizeof(PanelTable) +
           sizeof(double) * (edges_.capacity() + masses_.capacity() + values_.capacity() +
                             below_.capacity() + above_.capacity());
}

}  // namespace varnix

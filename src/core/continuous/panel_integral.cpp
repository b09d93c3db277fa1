#include "core/continuous/panel_integral.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
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
constexpr std::size_t kGrid = 32;              // panels of the first partition
constexpr std::size_t kRetryGrid = 1024;       // ... and of the second, if the first saw nothing
constexpr std::size_t kMaxPanels = 50000;
constexpr double kMomentTolerance = 1e-12;     // per panel, relative to the spread
constexpr double kUnsettledLimit = 1e-4;       // unresolved mass beyond which the build refuses
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
    double f[9];   // halves' nodes: a, three inside, the midpoint, three inside, b
    double w1;     // whole-panel rule at lobatto_t1 and lobatto_t3
    double w3;
    double mass;   // the two halves' value
    double d0;     // whole minus halves
    bool splittable;

    Work left() const { return {a, mid(), {f[0], f[1], f[2], f[3], f[4]}}; }
    Work right() const { return {mid(), b, {f[4], f[5], f[6], f[7], f[8]}}; }
    double mid() const { return lobatto_node(a, b, 0.5); }
};

struct Criteria {
    double tolerance = 0.0;   // relative to the running mass estimate
    bool moments = false;
    double center = 0.0;
    double tol1 = 0.0;        // absolute, for (x - center) f
    double tol2 = 0.0;        // absolute, for (x - center)^2 f
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
        return std::fabs(w1 - (l1 + r1)) <= criteria.tol1 &&
               std::fabs(w2 - (l2 + r2)) <= criteria.tol2;
    }

    bool failed() const { return error_.has_value() || probe_.failed(); }
    BuildError error() const { return error_ ? *error_ : probe_.error(); }
    double estimate() const { return estimate_; }
    // A root panel added after the start: its whole-panel value joins the running estimate.
    void add_root(const Work& w) {
        estimate_ += lobatto5(w.a, w.b, w.f[0], w.f[1], w.f[2], w.f[3], w.f[4]);
    }
    bool changed() const { return changed_; }
    void reset_changed() { changed_ = false; }

private:
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

// Where to cut an end at which the density is not finite. Walking towards the end from the
// nearest grid point, the density is fitted by a power law |x - end|^p through the last two
// values; the mass beyond a point at distance s is then s f / (p + 1). The walk jumps to where
// that mass meets the budget and stops once it does. p <= -1 all the way down to the smallest
// representable distance means the density is not integrable there.
struct EndCut {
    double x;
    double fx;
    double tail;  // the fitted mass beyond x
};

BuildResult<EndCut> cut_singular_end(DensityProbe& probe, double end, bool at_lo, double s0,
                                     double f0, double budget) {
    const double toward = at_lo ? std::numeric_limits<double>::infinity()
                                : -std::numeric_limits<double>::infinity();
    const double s_min = std::max(std::fabs(std::nextafter(end, toward) - end), s0 * 0x1p-1000);
    double s1 = 0.5 * s0;
    for (int step = 0; step < 400; ++step) {
        const double x1 = at_lo ? end + s1 : end - s1;
        s1 = std::fabs(x1 - end);
        const double f1 = probe(x1);
        if (probe.failed()) return std::unexpected(probe.error());
        if (f1 == 0.0) return EndCut{x1, 0.0, 0.0};
        double p = -std::numeric_limits<double>::infinity();
        double tail = std::numeric_limits<double>::infinity();
        if (f0 > 0.0) {
            p = std::log(f1 / f0) / std::log(s1 / s0);
            if (p > -1.0) tail = s1 * f1 / (p + 1.0);
        }
        if (tail <= budget) return EndCut{x1, f1, tail};
        if (s1 <= s_min) {
            // Nothing representable lies closer: keep the tail (it is reported as unresolved).
            if (p > -1.0) return EndCut{x1, f1, tail};
            break;
        }
        double ratio = f0 > 0.0 ? 0x1p-16 : 0.5;
        if (p > -1.0) ratio = std::clamp(0.5 * std::pow(budget / tail, 1.0 / (p + 1.0)), 0x1p-60, 0.5);
        s0 = s1;
        f0 = f1;
        s1 = std::max(s1 * ratio, s_min);
    }
    return std::unexpected(BuildError::mass_not_found(detail_text::non_integrable_end, end));
}

struct Moments {
    double mass;
    double mean;
    double variance;
};

// Mass, mean and variance of the panels and the end tails (each tail taken at the middle of
// the part it covers). The variance is centred on the mean found first and corrected by the
// mean's own residual, so it does not lose digits to a large mean.
Moments panel_moments(const std::vector<Panel>& panels, double tail_lo, double x_lo,
                      double tail_hi, double x_hi, double reference) {
    CompensatedSum mass;
    mass.add(tail_lo);
    for (const Panel& p : panels) mass.add(p.mass);
    mass.add(tail_hi);
    const double total = mass.value();
    if (!(total > 0.0)) return {total, 0.0, 0.0};

    auto first_second = [&](double c, double& s1, double& s2) {
        s1 = tail_lo * (x_lo - c) + tail_hi * (x_hi - c);
        s2 = tail_lo * (x_lo - c) * (x_lo - c) + tail_hi * (x_hi - c) * (x_hi - c);
        for (const Panel& p : panels) {
            const double m = p.mid();
            double l1, l2, r1, r2;
            lobatto_moments(p.a, m, p.f, c, l1, l2);
            lobatto_moments(m, p.b, p.f + 4, c, r1, r2);
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

double plogp(double f) { return f > 0.0 ? f * std::log(f) : 0.0; }

}  // namespace

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

        std::vector<double> fs(xs.size());
        for (std::size_t k = 0; k <= n; ++k) fs[k] = probe(xs[k]);
        if (probe.failed()) return std::unexpected(probe.error());

        // The scale: the largest value seen becomes a number between 1 and 2.
        double largest = 0.0;
        std::size_t at_largest = n / 2;
        for (std::size_t k = 0; k <= n; ++k) {
            if (std::isfinite(fs[k]) && fs[k] > largest) {
                largest = fs[k];
                at_largest = k;
            }
        }
        if (largest > 0.0) {
            probe.set_scale_exponent(probe.scale_exponent() + std::ilogb(largest));
            for (double& f : fs) f = std::ldexp(f, -std::ilogb(largest));
        }
        const bool singular_lo = !std::isfinite(fs.front());
        const bool singular_hi = !std::isfinite(fs.back());
        if (n < 2 && (singular_lo || singular_hi)) {
            // Cannot happen with the even grid; kept so the indexing below stays valid.
            throw InternalFault("panel grid too coarse");
        }

        std::vector<Work> roots;
        double estimate = 0.0;
        for (std::size_t k = singular_lo ? 1 : 0; k + (singular_hi ? 1 : 0) < n; ++k) {
            roots.push_back(make_root(probe, xs[k], xs[k + 1], fs[k], fs[k + 1]));
            const Work& w = roots.back();
            estimate += lobatto5(w.a, w.b, w.f[0], w.f[1], w.f[2], w.f[3], w.f[4]);
        }
        if (probe.failed()) return std::unexpected(probe.error());

        Refiner refiner(probe, estimate);
        refiner.criteria.tolerance = options.tolerance;
        std::vector<Panel> panels;
        for (const Work& w : roots) {
            refiner.run(w, panels);
            if (refiner.failed()) return std::unexpected(refiner.error());
        }

        // Singular ends: cut where the fitted tail meets its budget, then integrate up to the
        // nearest grid point like any other panel.
        double tail_lo = 0.0;
        double tail_hi = 0.0;
        double inner = 0.0;
        for (const Panel& p : panels) inner += p.mass;
        if (singular_lo) {
            const double s0 = xs[1] - lo;
            const double budget = options.end_tail * std::max(inner, s0 * fs[1]);
            const auto cut = cut_singular_end(probe, lo, true, s0, fs[1], budget);
            if (!cut) return std::unexpected(cut.error());
            tail_lo = cut->tail;
            std::vector<Panel> first;
            const Work root = make_root(probe, cut->x, xs[1], cut->fx, fs[1]);
            refiner.add_root(root);
            refiner.run(root, first);
            if (refiner.failed()) return std::unexpected(refiner.error());
            first.insert(first.end(), panels.begin(), panels.end());
            panels = std::move(first);
        }
        if (singular_hi) {
            const double s0 = hi - xs[n - 1];
            const double budget = options.end_tail * std::max(inner, s0 * fs[n - 1]);
            const auto cut = cut_singular_end(probe, hi, false, s0, fs[n - 1], budget);
            if (!cut) return std::unexpected(cut.error());
            tail_hi = cut->tail;
            const Work root = make_root(probe, xs[n - 1], cut->x, fs[n - 1], cut->fx);
            refiner.add_root(root);
            refiner.run(root, panels);
            if (refiner.failed()) return std::unexpected(refiner.error());
        }

        // Passes with the final mass and the spread: panels whose whole-panel and two-halves
        // moments still disagree are split again.
        const double x_tail_lo = 0.5 * (lo + panels.front().a);
        const double x_tail_hi = 0.5 * (panels.back().b + hi);
        Moments mo = panel_moments(panels, tail_lo, x_tail_lo, tail_hi, x_tail_hi, xs[at_largest]);
        for (int pass = 0; pass < kMaxPasses && mo.mass > 0.0; ++pass) {
            const double sigma = std::sqrt(std::max(mo.variance, 0.0));
            refiner.criteria.moments = std::isfinite(mo.mean) && sigma > 0.0 && std::isfinite(sigma);
            refiner.criteria.center = mo.mean;
            refiner.criteria.tol1 = kMomentTolerance * mo.mass * sigma;
            refiner.criteria.tol2 = kMomentTolerance * mo.mass * sigma * sigma;
            refiner.reset_changed();
            std::vector<Panel> next;
            next.reserve(panels.size());
            for (const Panel& p : panels) {
                refiner.recheck(p, next);
                if (refiner.failed()) return std::unexpected(refiner.error());
            }
            panels = std::move(next);
            if (!refiner.changed()) break;
            mo = panel_moments(panels, tail_lo, x_tail_lo, tail_hi, x_tail_hi, mo.mean);
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
        const std::size_t np = panels.size();
        t.edges_.resize(np + 1);
        t.masses_.resize(np);
        t.values_.resize(8 * np + 1);
        for (std::size_t j = 0; j < np; ++j) {
            const Panel& p = panels[j];
            t.edges_[j] = p.a;
            t.masses_[j] = p.mass;
            std::copy(p.f, p.f + 8, t.values_.begin() + static_cast<std::ptrdiff_t>(8 * j));
        }
        t.edges_[np] = panels.back().b;
        t.values_[8 * np] = panels.back().f[8];

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
        t.unresolved_ = unresolved / t.mass_;
        t.mean_ = mo.mean;
        t.variance_ = mo.variance;

        // Entropy of the normalised density: log M - (1/M) * integral of f log f.
        double s = 0.0;
        for (const Panel& p : panels) {
            const double m = p.mid();
            s += lobatto5(p.a, m, plogp(p.f[0]), plogp(p.f[1]), plogp(p.f[2]), plogp(p.f[3]),
                          plogp(p.f[4])) +
                 lobatto5(m, p.b, plogp(p.f[4]), plogp(p.f[5]), plogp(p.f[6]), plogp(p.f[7]),
                          plogp(p.f[8]));
        }
        // The tails, as if their mass were spread evenly over the part they cover.
        if (tail_lo > 0.0) s += tail_lo * std::log(tail_lo / (panels.front().a - lo));
        if (tail_hi > 0.0) s += tail_hi * std::log(tail_hi / (hi - panels.back().b));
        t.entropy_ = std::log(t.mass_) - s / t.mass_;
        return t;
    }
    return std::unexpected(
        BuildError::density_zero(lo, hi, static_cast<double>(probe.calls())));
}

PanelTable::Split PanelTable::split_at(DensityProbe& probe, double x) const {
    const std::size_t n = masses_.size();
    const std::size_t k = count_below(edges_.data(), n + 1, x);  // edges below x
    if (k <= n && edges_[k] == x) return {below_[k], above_[k], values_[8 * k]};
    if (k == 0 || k > n) throw InternalFault("panel split outside the table");
    const std::size_t j = k - 1;
    const double a = edges_[j];
    const double b = edges_[j + 1];
    const double fx = probe(x);
    if (x - a <= b - x) {
        const double s = lobatto5(a, x, values_[8 * j], probe(lobatto_node(a, x, lobatto_t1)),
                                  probe(lobatto_node(a, x, 0.5)),
                                  probe(lobatto_node(a, x, lobatto_t3)), fx);
        return {below_[j] + s, above_[j + 1] + (masses_[j] - s), fx};
    }
    const double s = lobatto5(x, b, fx, probe(lobatto_node(x, b, lobatto_t1)),
                              probe(lobatto_node(x, b, 0.5)), probe(lobatto_node(x, b, lobatto_t3)),
                              values_[8 * (j + 1)]);
    return {below_[j] + (masses_[j] - s), above_[j + 1] + s, fx};
}

double PanelTable::expect(FunctionRef<double(double)> func) const {
    const std::size_t n = masses_.size();
    double s = 0.0;
    if (below_[0] > 0.0) s += below_[0] * func(0.5 * (lo_ + edges_[0]));
    double g_left = func(edges_[0]) * values_[0];
    for (std::size_t j = 0; j < n; ++j) {
        const double a = edges_[j];
        const double b = edges_[j + 1];
        const double m = lobatto_node(a, b, 0.5);
        const double* f = &values_[8 * j];
        const double g[9] = {g_left,
                             func(lobatto_node(a, m, lobatto_t1)) * f[1],
                             func(lobatto_node(a, m, 0.5)) * f[2],
                             func(lobatto_node(a, m, lobatto_t3)) * f[3],
                             func(m) * f[4],
                             func(lobatto_node(m, b, lobatto_t1)) * f[5],
                             func(lobatto_node(m, b, 0.5)) * f[6],
                             func(lobatto_node(m, b, lobatto_t3)) * f[7],
                             func(b) * f[8]};
        s += lobatto5(a, m, g[0], g[1], g[2], g[3], g[4]) +
             lobatto5(m, b, g[4], g[5], g[6], g[7], g[8]);
        g_left = g[8];
    }
    if (above_[n] > 0.0) s += above_[n] * func(0.5 * (edges_[n] + hi_));
    return s / mass_;
}

std::size_t PanelTable::memory_bytes() const {
    return sizeof(PanelTable) +
           sizeof(double) * (edges_.capacity() + masses_.capacity() + values_.capacity() +
                             below_.capacity() + above_.capacity());
}

}  // namespace varnix

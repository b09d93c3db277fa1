#include "core/continuous/panel_table.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

#include "core/continuous/lobatto.hpp"
#include "core/continuous/panel_refine.hpp"
#include "core/search.hpp"

namespace varnix {

using panel_refine::CompensatedSum;
using panel_refine::ModelNodes;
using panel_refine::Moments;
using panel_refine::Panel;
using panel_refine::Refiner;
using panel_refine::Work;

namespace {

constexpr std::size_t kGrid = 32;         // panels of the first partition
constexpr std::size_t kRetryGrid = 1024;  // ... and of the second, if the first saw nothing
constexpr double kUnsettledLimit = 1e-4;  // unresolved mass beyond which the build refuses

}  // namespace

class PanelTable::Builder {
public:
    Builder(DensityProbe& probe, double lo, double hi, const Options& options)
        : probe_(probe), refiner_(probe), lo_(lo), hi_(hi), options_(options) {}

    // The table from a first partition of `grid` even panels (and the breakpoints); nullopt
    // when the density is zero wherever it was seen.
    BuildResult<std::optional<PanelTable>> run(std::size_t grid);

private:
    void partition(std::size_t grid);
    BuildResult<void> read_partition();
    void set_scale();
    BuildResult<void> refine_partition();
    BuildResult<void> fit_ends();
    BuildResult<void> fit_end(bool at_lo);
    void end_quadrature();
    BuildResult<void> check_resolved(double mass);
    PanelTable table(const Moments& mo) const;
    double entropy_integral() const;

    DensityProbe& probe_;
    Refiner refiner_;
    double lo_;
    double hi_;
    const Options& options_;
    // The first partition, and the density at each point as the panels below and above see it.
    std::vector<double> xs_;
    std::vector<double> fb_;
    std::vector<double> fa_;
    std::size_t at_largest_ = 0;  // where the density is largest
    double log_ref_ = 0.0;        // its logarithm, the entropy integrand's reference level
    bool singular_lo_ = false;
    bool singular_hi_ = false;
    std::vector<Panel> panels_;
    double inner_ = 0.0;  // the mass of the panels of the partition
    std::optional<EndModel> lo_model_;
    std::optional<EndModel> hi_model_;
    std::vector<ModelNodes> model_nodes_;
    double model_mass_ = 0.0;
    double model_error_ = 0.0;
    double unresolved_ = 0.0;
};

BuildResult<std::optional<PanelTable>> PanelTable::Builder::run(std::size_t grid) {
    partition(grid);
    if (auto r = read_partition(); !r) return std::unexpected(r.error());
    set_scale();
    if (auto r = refine_partition(); !r) return std::unexpected(r.error());
    if (auto r = fit_ends(); !r) return std::unexpected(r.error());
    end_quadrature();
    const auto mo = panel_refine::refine_moments(refiner_, panels_, model_nodes_, model_mass_,
                                                 xs_[at_largest_]);
    if (!mo) return std::unexpected(mo.error());
    if (!std::isfinite(mo->mass)) {
        return std::unexpected(
            BuildError::mass_not_found(detail_text::mass_not_finite, xs_[at_largest_]));
    }
    if (!(mo->mass > 0.0)) return std::nullopt;
    if (auto r = check_resolved(mo->mass); !r) return std::unexpected(r.error());
    return table(*mo);
}

// The first partition: an even grid (or, where the width overflows, just the ends), the
// breakpoints and the given grid, each point once.
void PanelTable::Builder::partition(std::size_t grid) {
    xs_.reserve(grid + 1 + options_.breakpoints.size() + options_.grid.size());
    if (std::isfinite(hi_ - lo_)) {
        for (std::size_t k = 0; k <= grid; ++k) {
            xs_.push_back(k == grid ? hi_
                                    : lo_ + (hi_ - lo_) * (static_cast<double>(k) /
                                                           static_cast<double>(grid)));
        }
    } else {
        xs_.push_back(lo_);
        xs_.push_back(hi_);
    }
    for (const double b : options_.breakpoints) {
        if (b > lo_ && b < hi_) xs_.push_back(b);
    }
    for (const double g : options_.grid) {
        if (g > lo_ && g < hi_) xs_.push_back(g);
    }
    std::sort(xs_.begin(), xs_.end());
    xs_.erase(std::unique(xs_.begin(), xs_.end()), xs_.end());
}

// The density at each point as the panels below and above see it: at a breakpoint a unit in
// the last place to either side, elsewhere the one value.
BuildResult<void> PanelTable::Builder::read_partition() {
    const std::size_t n = xs_.size() - 1;
    const auto& bps = options_.breakpoints;
    fb_.resize(xs_.size());
    fa_.resize(xs_.size());
    const auto jump_at = [&](std::size_t k) {
        return k > 0 && k < n && std::find(bps.begin(), bps.end(), xs_[k]) != bps.end();
    };
    if (probe_.batched()) {
        std::vector<double> points;
        for (std::size_t k = 0; k <= n; ++k) {
            if (jump_at(k)) {
                points.push_back(std::nextafter(xs_[k], lo_));
                points.push_back(std::nextafter(xs_[k], hi_));
            } else {
                points.push_back(xs_[k]);
            }
        }
        probe_.prefetch(points);
    }
    for (std::size_t k = 0; k <= n; ++k) {
        if (jump_at(k)) {
            fb_[k] = probe_(std::nextafter(xs_[k], lo_));
            fa_[k] = probe_(std::nextafter(xs_[k], hi_));
        } else {
            fb_[k] = fa_[k] = probe_(xs_[k]);
        }
    }
    if (probe_.failed()) return std::unexpected(probe_.error());
    return {};
}

// The scale: the largest value seen becomes a number between 1 and 2. An end where the
// density is not finite is singular.
void PanelTable::Builder::set_scale() {
    const std::size_t n = xs_.size() - 1;
    double largest = 0.0;
    at_largest_ = n / 2;
    for (std::size_t k = 0; k <= n; ++k) {
        for (const double f : {fb_[k], fa_[k]}) {
            if (std::isfinite(f) && f > largest) {
                largest = f;
                at_largest_ = k;
            }
        }
    }
    if (largest > 0.0) {
        const int e = std::ilogb(largest);
        probe_.set_scale_exponent(probe_.scale_exponent() + e);
        for (double& f : fb_) f = std::ldexp(f, -e);
        for (double& f : fa_) f = std::ldexp(f, -e);
        largest = std::ldexp(largest, -e);
    }
    log_ref_ = largest > 0.0 ? std::log(largest) : 0.0;
    singular_lo_ = !std::isfinite(fa_.front());
    singular_hi_ = !std::isfinite(fb_.back());
}

// The panels of the partition (all but those at a singular end), refined to the tolerance.
BuildResult<void> PanelTable::Builder::refine_partition() {
    const std::size_t n = xs_.size() - 1;
    const std::size_t first = singular_lo_ ? 1 : 0;
    const std::size_t last = n - (singular_hi_ ? 1 : 0);  // roots end before this one
    if (probe_.batched()) {
        std::vector<double> points;
        for (std::size_t k = first; k < last; ++k) {
            const auto more = panel_refine::root_nodes(xs_[k], xs_[k + 1]);
            points.insert(points.end(), more.begin(), more.end());
        }
        probe_.prefetch(points);
    }
    std::vector<Work> roots;
    for (std::size_t k = first; k < last; ++k) {
        roots.push_back(panel_refine::make_root(probe_, xs_[k], xs_[k + 1], fa_[k], fb_[k + 1]));
        refiner_.add_root(roots.back());
    }
    if (probe_.failed()) return std::unexpected(probe_.error());

    refiner_.criteria.tolerance = options_.tolerance;
    refiner_.criteria.log_ref = log_ref_;
    refiner_.speculate(roots);
    for (const Work& w : roots) {
        refiner_.run(w, panels_);
        if (refiner_.failed()) return std::unexpected(refiner_.error());
    }
    return {};
}

// Singular ends: a fitted model from the end out to its reach, then panels from there to the
// nearest grid point like any other.
BuildResult<void> PanelTable::Builder::fit_ends() {
    for (const Panel& p : panels_) inner_ += p.mass;
    if (singular_lo_) {
        if (auto r = fit_end(true); !r) return r;
    }
    if (singular_hi_) {
        if (auto r = fit_end(false); !r) return r;
    }
    if (panels_.empty()) {
        // Both ends singular on a two-panel grid: cannot happen with the even grid.
        throw InternalFault("no panel between the end models");
    }
    return {};
}

// The model at one singular end, fitted from the grid point next to it, and the panels from
// its reach to that point: before the others at lo, after them at hi.
BuildResult<void> PanelTable::Builder::fit_end(bool at_lo) {
    const std::size_t n = xs_.size() - 1;
    const double end = at_lo ? lo_ : hi_;
    const double x1 = at_lo ? xs_[1] : xs_[n - 1];
    const double f1 = at_lo ? fb_[1] : fa_[n - 1];  // as the panel towards the end sees it
    const double s0 = at_lo ? x1 - end : end - x1;
    const double budget = options_.end_tail * std::max(inner_, s0 * f1);
    auto m = EndModel::fit(probe_, end, at_lo, s0, f1, budget);
    if (!m) return std::unexpected(m.error());
    (at_lo ? lo_model_ : hi_model_) = *m;
    if (!(m->reach() < s0)) return {};

    const double cut = m->point(m->reach());
    if (probe_.batched()) {
        const auto inner = at_lo ? panel_refine::root_nodes(cut, x1)
                                 : panel_refine::root_nodes(x1, cut);
        const double points[4] = {cut, inner[0], inner[1], inner[2]};
        probe_.prefetch(points);
    }
    const double f_cut = probe_(cut);
    const Work root = at_lo ? panel_refine::make_root(probe_, cut, x1, f_cut, f1)
                            : panel_refine::make_root(probe_, x1, cut, f1, f_cut);
    refiner_.add_root(root);
    std::vector<Panel> first;
    refiner_.run(root, at_lo ? first : panels_);
    if (refiner_.failed()) return std::unexpected(refiner_.error());
    if (at_lo) {
        first.insert(first.end(), panels_.begin(), panels_.end());
        panels_ = std::move(first);
    }
    return {};
}

// The end models' mass, estimated error and quadrature nodes, for the moments.
void PanelTable::Builder::end_quadrature() {
    for (const auto* m : {&lo_model_, &hi_model_}) {
        if (!*m) continue;
        model_mass_ += (*m)->mass((*m)->reach());
        model_error_ += (*m)->error();
    }
    for (const auto* m : {&lo_model_, &hi_model_}) {
        if (!*m) continue;
        ModelNodes nodes;
        nodes.end = m == &lo_model_ ? lo_ : hi_;
        nodes.at_lo = m == &lo_model_;
        (*m)->quadrature(1e-15 * std::max(model_mass_, inner_) / (*m)->mass((*m)->reach()),
                         nodes.t, nodes.wf);
        model_nodes_.push_back(std::move(nodes));
    }
}

// Panels too narrow to split that still disagree with themselves: refused beyond a limit.
BuildResult<void> PanelTable::Builder::check_resolved(double mass) {
    double worst = 0.0;
    double worst_x = lo_;
    for (const Panel& p : panels_) {
        if (p.splittable) continue;
        unresolved_ += std::fabs(p.d0);
        if (std::fabs(p.d0) > worst) {
            worst = std::fabs(p.d0);
            worst_x = p.a;
        }
    }
    if (unresolved_ > kUnsettledLimit * mass) {
        return std::unexpected(
            BuildError::mass_not_found(detail_text::integration_unsettled, worst_x));
    }
    return {};
}

// The table: the panels, their masses summed from both ends, and the summaries.
PanelTable PanelTable::Builder::table(const Moments& mo) const {
    PanelTable t;
    t.lo_ = lo_;
    t.hi_ = hi_;
    t.exponent_ = probe_.scale_exponent();
    t.lo_model_ = lo_model_;
    t.hi_model_ = hi_model_;
    const std::size_t np = panels_.size();
    t.edges_.resize(np + 1);
    t.masses_.resize(np);
    t.values_.resize(9 * np);
    for (std::size_t j = 0; j < np; ++j) {
        const Panel& p = panels_[j];
        t.edges_[j] = p.a;
        t.masses_[j] = p.mass;
        std::copy(p.f, p.f + 9, t.values_.begin() + static_cast<std::ptrdiff_t>(9 * j));
    }
    t.edges_[np] = panels_.back().b;

    const double tail_lo = lo_model_ ? lo_model_->mass(lo_model_->reach()) : 0.0;
    const double tail_hi = hi_model_ ? hi_model_->mass(hi_model_->reach()) : 0.0;
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
    t.unresolved_ = (unresolved_ + model_error_) / t.mass_;
    t.mean_ = mo.mean;
    t.variance_ = mo.variance;
    // Entropy of the normalised density: log(M / ref) - (1/M) * integral of f log(f / ref).
    t.entropy_ = std::log(t.mass_) - log_ref_ - entropy_integral() / t.mass_;
    return t;
}

// The integral of f log(f / ref) over the end models and the panels.
double PanelTable::Builder::entropy_integral() const {
    double s = 0.0;
    for (const ModelNodes& m : model_nodes_) {
        const EndModel& em = m.at_lo ? *lo_model_ : *hi_model_;
        for (std::size_t k = 0; k < m.t.size(); ++k) {
            const double f = em.density(m.t[k]);
            s += f > 0.0 ? m.wf[k] * (std::log(f) - log_ref_) : 0.0;
        }
    }
    for (const Panel& p : panels_) {
        const double m = p.mid();
        s += panel_refine::lobatto_flog(p.a, m, p.f, log_ref_) +
             panel_refine::lobatto_flog(m, p.b, p.f + 4, log_ref_);
    }
    return s;
}

PanelTable::State PanelTable::state() const {
    const auto& [lo, hi, exponent, mass, unresolved, edges, masses, values, below, above, mean,
                 variance, entropy, lo_model, hi_model] = *this;
    State s{lo, hi, exponent, mass, unresolved, mean, variance, entropy,
            edges, masses, values, below, above, {}, {}};
    if (lo_model) s.lo_model = lo_model->parameters();
    if (hi_model) s.hi_model = hi_model->parameters();
    return s;
}

StateResult<PanelTable> PanelTable::from_state(State s) {
    const auto all_finite = [](const std::vector<double>& v) {
        return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
    };
    const std::size_t np = s.masses.size();
    if (np == 0 || s.edges.size() != np + 1 || s.values.size() != 9 * np ||
        s.below.size() != np + 1 || s.above.size() != np + 1) {
        return state_refused("panel table sizes do not match");
    }
    if (!std::isfinite(s.lo) || !std::isfinite(s.hi) || !(s.lo < s.hi) ||
        !std::isfinite(s.hi - s.lo)) {
        return state_refused("panel table interval is not finite and ordered");
    }
    if (!all_finite(s.edges) || !all_finite(s.masses) || !all_finite(s.values) ||
        !all_finite(s.below) || !all_finite(s.above) || !std::isfinite(s.mass) ||
        !std::isfinite(s.unresolved) || !std::isfinite(s.mean) || !std::isfinite(s.variance) ||
        !std::isfinite(s.entropy)) {
        return state_refused("panel table holds a value that is not finite");
    }
    if (!(s.mass > 0.0) || s.unresolved < 0.0 || s.variance < 0.0 || s.exponent < -1100 ||
        s.exponent > 1100) {
        return state_refused("panel table mass, scale or spread out of range");
    }
    if (s.edges.front() < s.lo || s.edges.back() > s.hi) {
        return state_refused("panel edges outside the interval");
    }
    for (std::size_t j = 0; j < np; ++j) {
        if (!(s.edges[j] < s.edges[j + 1]) || s.masses[j] < 0.0 || s.below[j + 1] < s.below[j] ||
            s.above[j + 1] > s.above[j]) {
            return state_refused("panel table is not ordered");
        }
    }
    for (const double v : s.values) {
        if (v < 0.0) return state_refused("panel table holds a negative density");
    }
    if (s.below.front() < 0.0 || s.above.back() < 0.0) {
        return state_refused("panel table holds a negative mass");
    }
    PanelTable t;
    for (const auto& [given, model, end, at_lo, room] :
         {std::tuple{&s.lo_model, &t.lo_model_, s.lo, true, s.edges.front() - s.lo},
          std::tuple{&s.hi_model, &t.hi_model_, s.hi, false, s.hi - s.edges.back()}}) {
        if (!*given) {
            if (room != 0.0) return state_refused("panel table leaves an end uncovered");
            continue;
        }
        const auto m = EndModel::from_parameters(**given);
        if (!m || m->point(0.0) != end || (**given)[1] != (at_lo ? 1.0 : 0.0) ||
            !(m->reach() <= room * (1.0 + 1e-12) + 1e-300)) {
            return state_refused("panel table end model does not fit its end");
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
    if (!std::isfinite(lo) || !std::isfinite(hi) ||
        (!std::isfinite(hi - lo) && options.grid.empty())) {
        return std::unexpected(BuildError::invalid_support(detail_text::support_bounds));
    }
    if (!(lo < hi)) return std::unexpected(BuildError::invalid_support(detail_text::lo_below_hi));
    for (const std::size_t grid : {kGrid, kRetryGrid}) {
        auto table = Builder(probe, lo, hi, options).run(grid);
        if (!table) return std::unexpected(table.error());
        if (*table) return std::move(**table);
        // Nothing seen: once more on a finer grid.
    }
    return std::unexpected(
        BuildError::density_zero(lo, hi, static_cast<double>(probe.calls())));
}

PanelTable::Split PanelTable::split_at(DensityProbe& probe, double x) const {
    std::size_t near = 0;
    return split_at(probe, x, near);
}

std::size_t PanelTable::edges_below(double x, std::size_t& near) const {
    const std::size_t n = masses_.size();
    for (std::size_t j = near > 0 ? near - 1 : 0; j < n && j <= near + 1; ++j) {
        if (edges_[j] < x && !(edges_[j + 1] < x)) {
            near = j;
            return j + 1;
        }
    }
    const std::size_t k = count_below(edges_.data(), n + 1, x);
    if (k > 0) near = k - 1;
    return k;
}

PanelTable::Split PanelTable::split_at(DensityProbe& probe, double x, std::size_t& near) const {
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
    const std::size_t k = edges_below(x, near);
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

void PanelTable::split_points(double x, std::vector<double>& out) const {
    const std::size_t n = masses_.size();
    if (!(x >= edges_.front() && x <= edges_.back())) return;  // an end model answers
    const std::size_t k = count_below(edges_.data(), n + 1, x);
    if (edges_[k] == x) return;
    const double a = edges_[k - 1];
    const double b = edges_[k];
    out.push_back(x);
    if (x - a <= b - x) {
        out.insert(out.end(), {lobatto_node(a, x, lobatto_t1), lobatto_node(a, x, 0.5),
                               lobatto_node(a, x, lobatto_t3)});
    } else {
        out.insert(out.end(), {lobatto_node(x, b, lobatto_t1), lobatto_node(x, b, 0.5),
                               lobatto_node(x, b, lobatto_t3)});
    }
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

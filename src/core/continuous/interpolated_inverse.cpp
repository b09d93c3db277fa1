#include "core/continuous/interpolated_inverse.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <utility>

#include "core/search.hpp"

namespace varnix {

namespace {

constexpr double kAccept = 0.6;      // an interval's tested error may be this much of the target
constexpr double kAim = 0.45;        // ... and the next step is sized for this much

constexpr double kTailShare = 0.05;  // mass left beyond the first and last interval
constexpr std::size_t kMaxAttempts = 100000;  // tries at an interval before giving up

// Mass left and right of a point (in the panel table's units) and the density there, as seen
// from below and from above (the two differ only at a breakpoint).
struct Node {
    double x;
    double left;
    double right;
    double f_below;
    double f_above;
};

// The extremum of |prod (v - V_j)^m_j| between V[k-1] and V[k]: the root of
// sum m_j / (v - V_j), which falls from +inf to -inf across the gap. Newton steps kept inside
// a shrinking bracket.
double largest_error_point(const double* nodes, const int* mult, int count, int k) {
    double lo = nodes[k - 1];
    double hi = nodes[k];
    double v = 0.5 * (lo + hi);
    for (int it = 0; it < 12; ++it) {
        double g = 0.0;
        double dg = 0.0;
        for (int j = 0; j < count; ++j) {
            const double r = 1.0 / (v - nodes[j]);
            g += mult[j] * r;
            dg -= mult[j] * (r * r);
        }
        if (g > 0.0) {
            lo = v;
        } else {
            hi = v;
        }
        double next = v - g / dg;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        const bool settled = std::fabs(next - v) <= 1e-6 * (nodes[k] - nodes[k - 1]);
        v = next;
        if (settled) break;
    }
    return v;
}

// Value and derivative of a Newton-form polynomial (the evaluation order of
// InterpolatedInverse::newton).
void newton_with_slope(const InterpolatedInverse::Poly& p, double v, double& x, double& dx) {
    double r = p.c[5];
    double d = 0.0;
    for (int j = 4; j >= 1; --j) {
        d = r + (v - p.v[j - 1]) * d;
        r = p.c[j] + (v - p.v[j - 1]) * r;
    }
    dx = r + v * d;
    x = p.c[0] + v * r;
}

// The one place where build_from_cdf calls the distribution function: every value counted and
// checked. The first value that is not finite is kept as the build error, and from then on
// every value reads as 0 so that the builder can end its current step and report it.
class CdfProbe {
public:
    explicit CdfProbe(FunctionRef<double(double)> cdf) : cdf_(cdf) {}

    double operator()(double x) {
        if (error_) return 0.0;
        ++calls_;
        const double v = cdf_(x);
        if (!std::isfinite(v)) {
            fail(BuildError::cdf_not_finite(x, v));
            return 0.0;
        }
        return v;
    }
    std::size_t calls() const { return calls_; }
    bool failed() const { return error_.has_value(); }
    const BuildError& error() const { return *error_; }
    void fail(const BuildError& e) {
        if (!error_) error_ = e;
    }

private:
    FunctionRef<double(double)> cdf_;
    std::size_t calls_ = 0;
    std::optional<BuildError> error_;
};

}  // namespace

class InverseBuilder {
public:
    // From the panel table of a density.
    InverseBuilder(DensityProbe& probe, InterpolatedInverse& out, const InterpolationOptions& o)
        : probe_(&probe), out_(out), table_(&*out.table_), order_(o.order),
          target_(o.u_resolution), mass_(out.table_->mass()) {
        // Nodes at the ends of an interval, and for degrees 4 and 5 at its middle; slopes at
        // the ends, and for degree 5 at the middle too.
        if (order_ == 3) {
            nodes_ = 2;
            mult_[0] = mult_[1] = 2;
        } else {
            nodes_ = 3;
            mult_[0] = mult_[2] = 2;
            mult_[1] = order_ == 5 ? 2 : 1;
        }
        set_breakpoints(o);
    }
    // From a distribution function rising from 0 to 1: six plain nodes per interval.
    InverseBuilder(CdfProbe& probe, InterpolatedInverse& out, const InterpolationOptions& o)
        : cdf_(&probe), out_(out), table_(nullptr), order_(5), target_(o.u_resolution),
          mass_(1.0) {
        nodes_ = 6;
        for (int& m : mult_) m = 1;
        set_breakpoints(o);
    }

    BuildResult<void> run();

private:
    static constexpr int kMaxNodes = 6;

    void set_breakpoints(const InterpolationOptions& o) {
        for (const double b : o.breakpoints) breakpoints_.push_back(b);
        std::sort(breakpoints_.begin(), breakpoints_.end());
    }
    bool failed() const { return table_ ? probe_->failed() : cdf_->failed(); }
    BuildError error() const { return table_ ? probe_->error() : cdf_->error(); }

    Node node_at(double x) {
        if (table_) {
            const auto s = table_->split_at(*probe_, x);
            return {x, s.left, s.right, s.f_below, s.f_above};
        }
        // A distribution function may fall back by rounding; it is held at the value of the
        // interval's start (floor_), and a fall of more than the resolution is refused.
        double u = (*cdf_)(x);
        if (u < floor_) {
            if (floor_ - u > target_) cdf_->fail(BuildError::cdf_decreasing(x, floor_ - u));
            u = floor_;
        }
        if (u > 1.0) {
            if (u - 1.0 > target_) cdf_->fail(BuildError::cdf_decreasing(out_.hi_, u - 1.0));
            u = 1.0;
        }
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {x, u, 1.0 - u, nan, nan};
    }
    // The mass from `from` to `to` over the total, from the side where it has more digits.
    double width(const Node& from, const Node& to, bool use_left) const {
        return (use_left ? to.left - from.left : from.right - to.right) / mass_;
    }
    void add_piece(const Node& from, double width, const InterpolatedInverse::Poly& p,
                   double error) {
        out_.x_.push_back(from.x);
        out_.u_.push_back(from.left / mass_);
        out_.s_.push_back(from.right / mass_);
        out_.width_.push_back(width);
        out_.polys_.push_back(p);
        max_error_ = std::max(max_error_, error);
    }
    void add_straight(const Node& from, const Node& to, double w) {
        InterpolatedInverse::Poly p{};
        p.c[0] = from.x;
        p.c[1] = w > 0.0 ? (to.x - from.x) / w : 0.0;
        add_piece(from, std::max(w, 0.0), p, std::max(w, 0.0));
    }

    // One try at an interval from cur to e. On success the piece is added and *next set.
    struct Outcome {
        bool accepted;
        double factor;  // for the next step (on success) or this one (on failure)
    };
    Outcome attempt(const Node& cur, double e, Node* next);
    // The ends of the mass a distribution function leaves to straight pieces.
    BuildResult<void> cdf_ends(double tail, Node& a, Node& b);
    // Intervals from a to b.
    BuildResult<void> march(const Node& a, const Node& b, double h);

    DensityProbe* probe_ = nullptr;
    CdfProbe* cdf_ = nullptr;
    InterpolatedInverse& out_;
    const PanelTable* table_;
    int order_;
    double target_;
    double mass_;
    int nodes_ = 3;
    int mult_[kMaxNodes] = {2, 2, 2, 1, 1, 1};
    double floor_ = 0.0;
    double first_x_ = 0.0;  // the ends of the marched range
    double last_x_ = 0.0;
    std::vector<double> breakpoints_;
    double max_error_ = 0.0;
};

InverseBuilder::Outcome InverseBuilder::attempt(const Node& cur, double e, Node* next) {
    const int d = nodes_;
    double xs[kMaxNodes] = {};
    xs[0] = cur.x;
    xs[d - 1] = e;
    if (table_) {
        if (d == 3) xs[1] = cur.x + 0.5 * (e - cur.x);
    } else {
        // Chebyshev-Lobatto points: the interpolation through plain nodes stays well behaved.
        for (int k = 1; k < d - 1; ++k) {
            const double t = 0.5 * (1.0 - std::cos(std::numbers::pi * k / (d - 1)));
            xs[k] = cur.x + (e - cur.x) * t;
        }
    }
    floor_ = cur.left;
    bool distinct = true;
    for (int k = 1; k < d; ++k) distinct = distinct && xs[k - 1] < xs[k];
    if (!distinct) {
        // Too narrow for a polynomial: a straight piece, whose error is at most its mass. One
        // that holds more than the limit is cut down to a single step between doubles.
        const Node end = node_at(e);
        const double w = width(cur, end, cur.left <= cur.right);
        if (w > kAccept * target_ && e != std::nextafter(cur.x, e)) return {false, 0.0};
        *next = end;
        add_straight(cur, *next, w);
        return {true, 2.0};
    }

    Node nodes[kMaxNodes];
    nodes[0] = cur;
    for (int k = 1; k < d; ++k) nodes[k] = node_at(xs[k]);
    if (failed()) return {false, 0.5};
    const bool use_left = cur.left <= cur.right;
    double vs[kMaxNodes] = {};
    for (int k = 0; k < d; ++k) vs[k] = k == 0 ? 0.0 : width(cur, nodes[k], use_left);
    const double w = vs[d - 1];
    if (w <= kAccept * target_) {
        *next = nodes[d - 1];
        add_straight(cur, *next, w);
        return {true, 2.0};
    }
    for (int k = 1; k < d; ++k) {
        if (!(vs[k] > vs[k - 1])) return {false, 0.5};
    }

    // Confluent Newton divided differences of x over v: a node taken twice carries the slope
    // dx/dv = mass / density there.
    double z[kMaxNodes];
    double c[kMaxNodes];
    double slope[kMaxNodes];
    int n = -1;
    for (int k = 0; k < d; ++k) {
        for (int m = 0; m < mult_[k]; ++m) {
            ++n;
            z[n] = vs[k];
            c[n] = xs[k];
            slope[n] = mass_ / (k == 0 ? nodes[k].f_above : nodes[k].f_below);
            if (m > 0 && !(std::isfinite(slope[n]) && slope[n] > 0.0)) return {false, 0.5};
        }
    }
    for (int j = 1; j <= n; ++j) {
        for (int k = n; k >= j; --k) {
            c[k] = z[k] == z[k - j] ? slope[k] : (c[k] - c[k - 1]) / (z[k] - z[k - j]);
        }
    }
    InterpolatedInverse::Poly p{};
    for (int k = 0; k <= n; ++k) p.c[k] = c[k];
    for (int k = 1; k < n; ++k) p.v[k - 1] = z[k];

    // The polynomial must rise: checked at eight points of each gap.
    for (int k = 1; k < d; ++k) {
        for (int i = 0; i <= 8; ++i) {
            double x, dx;
            newton_with_slope(p, vs[k - 1] + (vs[k] - vs[k - 1]) * (i / 8.0), x, dx);
            if (!(dx > 0.0)) return {false, 0.5};
        }
    }

    // The error at the point of each gap where the interpolation error peaks. Where the step
    // between neighbouring doubles holds more mass than the target, no x can do better than
    // that: the limit there is raised to twice that mass (and the error is reported as it is).
    const double limit = kAccept * target_;
    double err = 0.0;
    double excess = 0.0;  // the largest error over its limit
    // Without slopes at the nodes, the error near an end of the mass where the density is
    // infinite (x(u) flat there) is set by the polynomial's slope at the node, and is as large
    // at the node as anywhere: the first and last intervals are tested close to it as well.
    double extra[2];
    int extras = 0;
    if (!table_ && cur.x == first_x_) extra[extras++] = 1e-3 * vs[1];
    if (!table_ && e == last_x_) extra[extras++] = vs[d - 1] - 1e-3 * (vs[d - 1] - vs[d - 2]);
    for (int t = 1; t < d + extras; ++t) {
        const int k = t < d ? t : (extra[t - d] < vs[1] ? 1 : d - 1);
        const double v = t < d ? largest_error_point(vs, mult_, d, k) : extra[t - d];
        double x, dx;
        newton_with_slope(p, v, x, dx);
        if (!(x > xs[k - 1] && x < xs[k])) return {false, 0.5};
        const Node test = node_at(x);
        if (failed()) return {false, 0.5};
        // The error there, and its slope: f(x) dx/dv / mass - 1 is zero at the peak of a
        // smooth error curve; where it is not (a kink between the nodes), the error may peak
        // elsewhere in the gap, and half the slope times the farther distance is added. A
        // distribution function gives no density: its secant over the gap stands in for the
        // step's mass, and the slope term is left out.
        double e_k = std::fabs(width(cur, test, use_left) - v);
        double density = (vs[k] - vs[k - 1]) * mass_ / (xs[k] - xs[k - 1]);
        if (table_) {
            density = test.f_below;
            const double slope = density * dx / mass_ - 1.0;
            const double reach = std::max(v - vs[k - 1], vs[k] - v);
            e_k += 0.5 * std::fabs(slope) * reach;
        }
        const double step = std::nextafter(x, std::numeric_limits<double>::infinity()) - x;
        const double allowed = std::max(limit, 2.0 * density * step / mass_);
        err = std::max(err, e_k);
        excess = std::max(excess, e_k / allowed);
        if (excess > 1.0) break;
    }
    const double ratio = std::pow(kAim / kAccept / std::max(excess, 1e-300), 1.0 / (n + 1));
    if (excess > 1.0) return {false, std::clamp(ratio, 0.1, 0.8)};
    *next = nodes[d - 1];
    add_piece(cur, w, p, err);
    return {true, std::clamp(ratio, 0.6, 2.0)};
}

BuildResult<void> InverseBuilder::march(const Node& a, const Node& b, double h) {
    first_x_ = a.x;
    last_x_ = b.x;
    Node cur = a;
    auto bp = std::upper_bound(breakpoints_.begin(), breakpoints_.end(), a.x);
    std::size_t attempts = 0;
    while (cur.x < b.x) {
        const double limit = bp != breakpoints_.end() && *bp < b.x ? *bp : b.x;
        double e = cur.x + h;
        if (!(e < limit - 0.1 * h)) e = limit;
        if (!(e > cur.x)) e = std::nextafter(cur.x, limit);
        Node next{};
        const Outcome r = attempt(cur, e, &next);
        if (failed()) return std::unexpected(error());
        if (++attempts > kMaxAttempts) {
            return std::unexpected(BuildError::interpolation_failed(target_, cur.x));
        }
        if (r.accepted) {
            h = (e - cur.x) * r.factor;
            cur = next;
            while (bp != breakpoints_.end() && *bp <= cur.x) ++bp;
        } else {
            h = (e - cur.x) * r.factor;
        }
    }
    return {};
}

BuildResult<void> InverseBuilder::cdf_ends(double tail, Node& a, Node& b) {
    // Bisection for the last point with at most `tail` below it, and the first with at most
    // `tail` above it; a value within a quarter of that is close enough.
    const double lo = out_.lo_;
    const double hi = out_.hi_;
    a = Node{lo, 0.0, 1.0, 0.0, 0.0};
    double x_hi = hi;
    for (int it = 0; it < 200; ++it) {
        const double m = a.x + 0.5 * (x_hi - a.x);
        if (!(m > a.x && m < x_hi)) break;
        floor_ = 0.0;
        const Node n = node_at(m);
        if (failed()) return std::unexpected(error());
        if (n.left <= tail) {
            a = n;
            if (n.left >= 0.25 * tail) break;
        } else {
            x_hi = m;
        }
    }
    b = Node{hi, 1.0, 0.0, 0.0, 0.0};
    double x_lo = a.x;
    for (int it = 0; it < 200; ++it) {
        const double m = x_lo + 0.5 * (b.x - x_lo);
        if (!(m > x_lo && m < b.x)) break;
        floor_ = a.left;
        const Node n = node_at(m);
        if (failed()) return std::unexpected(error());
        if (n.right <= tail) {
            b = n;
            if (n.right >= 0.25 * tail) break;
        } else {
            x_lo = m;
        }
    }
    // Where even the step from an end to its neighbouring double holds more than the tail (a
    // pole at an end far from 0), that step is the straight piece, and its mass the limit.
    if (a.x == lo) {
        floor_ = 0.0;
        a = node_at(std::nextafter(lo, hi));
    }
    if (b.x == hi) {
        floor_ = a.left;
        b = node_at(std::nextafter(hi, lo));
    }
    if (failed()) return std::unexpected(error());
    if (b.x < a.x) b = a;
    return {};
}

BuildResult<void> InverseBuilder::run() {
    const double lo = out_.lo_;
    const double hi = out_.hi_;
    // The tails left to straight pieces hold at most kTailShare of the resolution at each end.
    const double tail = kTailShare * target_ * mass_;
    const Node start{lo, 0.0, mass_, 0.0, 0.0};
    const Node end{hi, mass_, 0.0, 0.0, 0.0};
    Node a{};
    Node b{};
    double h = 0.0;
    if (table_) {
        // Whole panels, or the part of an end model within the distance that holds that much.
        const PanelTable& t = *table_;
        const std::size_t np = t.panels();
        const auto model_node = [&](const EndModel& m) {
            double x = m.point(m.distance_with_mass(tail));
            const double end_x = m.point(0.0);
            if (m.distance(x) <= 0.0) x = std::nextafter(end_x, m.point(m.reach()));
            return node_at(x);
        };
        std::size_t ja = 0;
        while (ja + 1 < np && t.below(ja + 1) <= tail) ++ja;
        std::size_t jb = np;
        while (jb > ja + 1 && t.above(jb - 1) <= tail) --jb;
        const bool lo_model = t.lo_model() && ja == 0 && t.tail_below() > tail;
        const bool hi_model = t.hi_model() && jb == np && t.tail_above() > tail;
        a = lo_model ? model_node(*t.lo_model())
                     : Node{t.edges()[ja], t.below(ja), t.above(ja), t.value_below_edge(ja),
                            t.value_above_edge(ja)};
        b = hi_model ? model_node(*t.hi_model())
                     : Node{t.edges()[jb], t.below(jb), t.above(jb), t.value_below_edge(jb),
                            t.value_above_edge(jb)};
        h = lo_model ? a.x - lo : t.edges()[ja + 1] - a.x;
    } else {
        if (auto r = cdf_ends(tail, a, b); !r) return r;
        h = (b.x - a.x) / 32.0;
    }

    if (a.x > lo) add_straight(start, a, a.left / mass_);
    if (auto r = march(a, b, h); !r) return r;
    if (b.x < hi) add_straight(b, end, b.right / mass_);

    // Closing edge and the sentinel that ends every interval search.
    out_.x_.push_back(hi);
    out_.u_.push_back(std::numeric_limits<double>::infinity());
    out_.s_.push_back(0.0);
    if (table_) max_error_ = std::max(max_error_, table_->unresolved());
    out_.max_u_error_ = max_error_;
    return {};
}

BuildResult<InterpolatedInverse> InterpolatedInverse::build(FunctionRef<double(double)> density,
                                                            double lo, double hi,
                                                            double u_resolution) {
    InterpolationOptions options;
    options.u_resolution = u_resolution;
    return build(density, lo, hi, options);
}

BuildResult<InterpolatedInverse> InterpolatedInverse::build(FunctionRef<double(double)> density,
                                                            double lo, double hi,
                                                            const InterpolationOptions& options) {
    if (!(options.u_resolution >= min_u_resolution && options.u_resolution <= max_u_resolution)) {
        return std::unexpected(BuildError::invalid_resolution(options.u_resolution));
    }
    if (options.order < 3 || options.order > 5) {
        throw InternalFault("interpolation order must be 3, 4 or 5");
    }
    DensityProbe probe(density, lo, hi);
    PanelTable::Options po;
    po.tolerance = std::min(0.01 * options.u_resolution, 1e-12);
    po.end_tail = 0.5 * kTailShare * options.u_resolution;
    po.breakpoints = options.breakpoints;
    auto table = PanelTable::build(probe, lo, hi, po);
    if (!table) return std::unexpected(table.error());

    InterpolatedInverse inv(std::move(*table));
    inv.lo_ = lo;
    inv.hi_ = hi;
    inv.u_resolution_ = options.u_resolution;
    inv.order_ = options.order;
    InverseBuilder builder(probe, inv, options);
    if (auto r = builder.run(); !r) return std::unexpected(r.error());
    return finish(std::move(inv), probe.calls());
}

BuildResult<InterpolatedInverse> InterpolatedInverse::build_from_cdf(
    FunctionRef<double(double)> cdf, double lo, double hi, const InterpolationOptions& options) {
    if (!(options.u_resolution >= min_u_resolution && options.u_resolution <= max_u_resolution)) {
        return std::unexpected(BuildError::invalid_resolution(options.u_resolution));
    }
    if (!std::isfinite(lo) || !std::isfinite(hi) || !std::isfinite(hi - lo)) {
        return std::unexpected(BuildError::invalid_support(detail_text::support_bounds));
    }
    if (!(lo < hi)) return std::unexpected(BuildError::invalid_support(detail_text::lo_below_hi));
    CdfProbe probe(cdf);
    InterpolatedInverse inv(std::nullopt);
    inv.lo_ = lo;
    inv.hi_ = hi;
    inv.u_resolution_ = options.u_resolution;
    inv.order_ = 5;
    InverseBuilder builder(probe, inv, options);
    if (auto r = builder.run(); !r) return std::unexpected(r.error());
    return finish(std::move(inv), probe.calls());
}

BuildResult<InterpolatedInverse> InterpolatedInverse::finish(InterpolatedInverse inv,
                                                             std::size_t calls) {
    inv.density_calls_ = calls;
    inv.x_.shrink_to_fit();
    inv.u_.shrink_to_fit();
    inv.s_.shrink_to_fit();
    inv.width_.shrink_to_fit();
    inv.polys_.shrink_to_fit();
    inv.make_guide();
    return inv;
}

void InterpolatedInverse::make_guide() {
    // Guide table: entry k is the last interval whose lower u is at most k / G, so a search
    // starting there moves forward a step or two on average.
    const std::size_t n = polys_.size();
    const std::size_t g = n;
    guide_scale_ = static_cast<double>(g);
    guide_.assign(g + 1, 0);
    std::size_t i = 0;
    for (std::size_t k = 0; k <= g; ++k) {
        const double u = static_cast<double>(k) / static_cast<double>(g);
        while (i + 1 < n && u_[i + 1] <= u) ++i;
        guide_[k] = static_cast<std::uint32_t>(i);
    }
}

InterpolatedInverse::State InterpolatedInverse::state() const {
    State st;
    st.lo = lo_;
    st.hi = hi_;
    st.u_resolution = u_resolution_;
    st.order = order_;
    st.max_u_error = max_u_error_;
    st.density_calls = density_calls_;
    st.x = x_;
    st.u = u_;
    st.s = s_;
    st.width = width_;
    st.coefficients.reserve(10 * polys_.size());
    for (const Poly& p : polys_) {
        st.coefficients.insert(st.coefficients.end(), p.c, p.c + 6);
        st.coefficients.insert(st.coefficients.end(), p.v, p.v + 4);
    }
    if (table_) st.panels = table_->state();
    return st;
}

std::expected<InterpolatedInverse, const char*> InterpolatedInverse::from_state(State st) {
    const std::size_t n = st.width.size();
    if (n == 0 || n >= UINT32_MAX || st.x.size() != n + 1 || st.u.size() != n + 1 ||
        st.s.size() != n + 1 || st.coefficients.size() != 10 * n) {
        return std::unexpected("interpolation sizes do not match");
    }
    if (!(st.u_resolution >= min_u_resolution && st.u_resolution <= max_u_resolution) ||
        st.order < 3 || st.order > 5 || !std::isfinite(st.max_u_error) || st.max_u_error < 0.0) {
        return std::unexpected("interpolation settings out of range");
    }
    if (!std::isfinite(st.lo) || !std::isfinite(st.hi) || !(st.lo < st.hi) ||
        st.x.front() != st.lo || st.x.back() != st.hi) {
        return std::unexpected("interpolation interval is not finite and ordered");
    }
    for (const double c : st.coefficients) {
        if (!std::isfinite(c)) return std::unexpected("interpolation coefficient is not finite");
    }
    if (st.u.back() != std::numeric_limits<double>::infinity() || st.s.back() != 0.0) {
        return std::unexpected("interpolation sentinels are missing");
    }
    for (std::size_t i = 0; i < n; ++i) {
        const bool finite = std::isfinite(st.x[i]) && std::isfinite(st.u[i]) &&
                            std::isfinite(st.s[i]) && std::isfinite(st.width[i]);
        if (!finite || !(st.x[i] < st.x[i + 1]) || st.u[i] < 0.0 || st.u[i] > 1.0 ||
            st.s[i] < 0.0 || st.s[i] > 1.0 || st.width[i] < 0.0 || st.s[i + 1] > st.s[i] ||
            (i + 1 < n && st.u[i + 1] < st.u[i])) {
            return std::unexpected("interpolation nodes are not ordered");
        }
    }
    std::optional<PanelTable> table;
    if (st.panels) {
        if (st.panels->lo != st.lo || st.panels->hi != st.hi) {
            return std::unexpected("panel table and interpolation intervals differ");
        }
        auto t = PanelTable::from_state(std::move(*st.panels));
        if (!t) return std::unexpected(t.error());
        table = std::move(*t);
    }
    InterpolatedInverse inv(std::move(table));
    inv.lo_ = st.lo;
    inv.hi_ = st.hi;
    inv.u_resolution_ = st.u_resolution;
    inv.order_ = st.order;
    inv.max_u_error_ = st.max_u_error;
    inv.density_calls_ = static_cast<std::size_t>(st.density_calls);
    inv.x_ = std::move(st.x);
    inv.u_ = std::move(st.u);
    inv.s_ = std::move(st.s);
    inv.width_ = std::move(st.width);
    inv.polys_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double* c = &st.coefficients[10 * i];
        std::copy(c, c + 6, inv.polys_[i].c);
        std::copy(c + 6, c + 10, inv.polys_[i].v);
    }
    inv.make_guide();
    return inv;
}

double InterpolatedInverse::solve(std::size_t i, double x) const {
    const double w = width_[i];
    if (!(w > 0.0)) return 0.0;
    const Poly& p = polys_[i];
    double lo = 0.0;
    double hi = w;
    double v = w * ((x - x_[i]) / (x_[i + 1] - x_[i]));
    for (int it = 0; it < 100; ++it) {
        double r = p.c[5];
        double d = 0.0;
        for (int j = 4; j >= 1; --j) {
            d = r + (v - p.v[j - 1]) * d;
            r = p.c[j] + (v - p.v[j - 1]) * r;
        }
        d = r + v * d;
        r = p.c[0] + v * r;
        if (r == x) return v;
        if (r < x) {
            lo = v;
        } else {
            hi = v;
        }
        double next = v - (r - x) / d;
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (next == v || hi - lo <= 4.0 * std::numeric_limits<double>::epsilon() * w) {
            return next;
        }
        v = next;
    }
    return v;
}

double InterpolatedInverse::cdf(double x) const {
    if (!(x > lo_)) return x <= lo_ ? 0.0 : x;
    if (x >= hi_) return 1.0;
    const std::size_t k = count_below(x_.data(), x_.size(), x);
    if (x_[k] == x) return u_[k];
    const std::size_t i = k - 1;
    return u_[i] + solve(i, x);
}

double InterpolatedInverse::sf(double x) const {
    if (!(x > lo_)) return x <= lo_ ? 1.0 : x;
    if (x >= hi_) return 0.0;
    const std::size_t k = count_below(x_.data(), x_.size(), x);
    if (x_[k] == x) return s_[k];
    const std::size_t i = k - 1;
    return s_[i + 1] + (width_[i] - solve(i, x));
}

double InterpolatedInverse::quantile_upper(double q) const {
    if (!(q > 0.0)) return q == 0.0 ? hi_ : q;
    if (q >= 1.0) return lo_;
    // s_ falls from about 1 to 0: the last edge with at least q above it starts the interval.
    const auto it = std::upper_bound(s_.begin(), s_.end(), q, std::greater<double>());
    std::size_t k = static_cast<std::size_t>(it - s_.begin());
    const std::size_t i = std::min(k == 0 ? 0 : k - 1, polys_.size() - 1);
    return piece(i, width_[i] - (q - s_[i + 1]));
}

std::size_t InterpolatedInverse::interpolation_bytes() const {
    return sizeof(InterpolatedInverse) - sizeof(PanelTable) +
           sizeof(double) * (x_.capacity() + u_.capacity() + s_.capacity() + width_.capacity()) +
           sizeof(Poly) * polys_.capacity() + sizeof(std::uint32_t) * guide_.capacity();
}

}  // namespace varnix

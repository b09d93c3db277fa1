#include "core/continuous/interpolated_inverse.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
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

}  // namespace

class InverseBuilder {
public:
    InverseBuilder(DensityProbe& probe, InterpolatedInverse& out, const InterpolationOptions& o)
        : probe_(probe), out_(out), table_(out.table_), order_(o.order),
          target_(o.u_resolution), mass_(out.table_.mass()) {
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
        for (const double b : o.breakpoints) breakpoints_.push_back(b);
        std::sort(breakpoints_.begin(), breakpoints_.end());
    }

    BuildResult<void> run();

private:
    Node node_at(double x) {
        const auto s = table_.split_at(probe_, x);
        return {x, s.left, s.right, s.f_below, s.f_above};
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

    DensityProbe& probe_;
    InterpolatedInverse& out_;
    const PanelTable& table_;
    int order_;
    double target_;
    double mass_;
    int nodes_ = 3;
    int mult_[3] = {2, 2, 2};
    std::vector<double> breakpoints_;
    double max_error_ = 0.0;
};

InverseBuilder::Outcome InverseBuilder::attempt(const Node& cur, double e, Node* next) {
    const int d = nodes_;
    double xs[3] = {};
    xs[0] = cur.x;
    xs[d - 1] = e;
    if (d == 3) xs[1] = cur.x + 0.5 * (e - cur.x);
    bool distinct = true;
    for (int k = 1; k < d; ++k) distinct = distinct && xs[k - 1] < xs[k];
    if (!distinct) {
        // Too narrow for a polynomial: a straight piece, whose error is at most its mass.
        *next = node_at(e);
        add_straight(cur, *next, width(cur, *next, cur.left <= cur.right));
        return {true, 2.0};
    }

    Node nodes[3];
    nodes[0] = cur;
    for (int k = 1; k < d; ++k) nodes[k] = node_at(xs[k]);
    if (probe_.failed()) return {false, 0.5};
    const bool use_left = cur.left <= cur.right;
    double vs[3] = {};
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
    double z[6];
    double c[6];
    double slope[6];
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
    for (int k = 1; k < d; ++k) {
        const double v = largest_error_point(vs, mult_, d, k);
        double x, dx;
        newton_with_slope(p, v, x, dx);
        if (!(x > xs[k - 1] && x < xs[k])) return {false, 0.5};
        const Node test = node_at(x);
        if (probe_.failed()) return {false, 0.5};
        // The error there, and its slope: f(x) dx/dv / mass - 1 is zero at the peak of a
        // smooth error curve; where it is not (a kink between the nodes), the error may peak
        // elsewhere in the gap, and half the slope times the farther distance is added.
        const double slope = test.f_below * dx / mass_ - 1.0;
        const double reach = std::max(v - vs[k - 1], vs[k] - v);
        const double e_k = std::fabs(width(cur, test, use_left) - v) + 0.5 * std::fabs(slope) * reach;
        const double step = std::nextafter(x, std::numeric_limits<double>::infinity()) - x;
        const double allowed = std::max(limit, 2.0 * test.f_below * step / mass_);
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

BuildResult<void> InverseBuilder::run() {
    const PanelTable& t = table_;
    const std::size_t np = t.panels();
    const double lo = t.lo();
    const double hi = t.hi();

    // The tails left to straight pieces hold at most kTailShare of the resolution at each end:
    // whole panels, or the part of an end model within the distance that holds that much.
    const double tail = kTailShare * target_ * mass_;
    const auto model_node = [&](const EndModel& m) {
        double x = m.point(m.distance_with_mass(tail));
        const double end = m.point(0.0);
        if (m.distance(x) <= 0.0) x = std::nextafter(end, m.point(m.reach()));
        return node_at(x);
    };
    std::size_t ja = 0;
    while (ja + 1 < np && t.below(ja + 1) <= tail) ++ja;
    std::size_t jb = np;
    while (jb > ja + 1 && t.above(jb - 1) <= tail) --jb;
    const bool lo_model = t.lo_model() && ja == 0 && t.tail_below() > tail;
    const bool hi_model = t.hi_model() && jb == np && t.tail_above() > tail;
    const Node a = lo_model ? model_node(*t.lo_model())
                            : Node{t.edges()[ja], t.below(ja), t.above(ja),
                                   t.value_below_edge(ja), t.value_above_edge(ja)};
    const Node b = hi_model ? model_node(*t.hi_model())
                            : Node{t.edges()[jb], t.below(jb), t.above(jb),
                                   t.value_below_edge(jb), t.value_above_edge(jb)};
    const Node start{lo, 0.0, mass_, 0.0, 0.0};
    const Node end{hi, mass_, 0.0, 0.0, 0.0};

    if (a.x > lo) add_straight(start, a, a.left / mass_);

    Node cur = a;
    double h = lo_model ? a.x - lo : t.edges()[ja + 1] - a.x;
    auto bp = std::upper_bound(breakpoints_.begin(), breakpoints_.end(), a.x);
    std::size_t attempts = 0;
    while (cur.x < b.x) {
        const double limit = bp != breakpoints_.end() && *bp < b.x ? *bp : b.x;
        double e = cur.x + h;
        if (!(e < limit - 0.1 * h)) e = limit;
        if (!(e > cur.x)) e = std::nextafter(cur.x, limit);
        Node next{};
        const Outcome r = attempt(cur, e, &next);
        if (probe_.failed()) return std::unexpected(probe_.error());
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

    if (b.x < hi) add_straight(b, end, b.right / mass_);

    // Closing edge and the sentinel that ends every interval search.
    out_.x_.push_back(hi);
    out_.u_.push_back(std::numeric_limits<double>::infinity());
    out_.s_.push_back(0.0);
    max_error_ = std::max(max_error_, t.unresolved());
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
    inv.density_calls_ = probe.calls();
    inv.x_.shrink_to_fit();
    inv.u_.shrink_to_fit();
    inv.s_.shrink_to_fit();
    inv.width_.shrink_to_fit();
    inv.polys_.shrink_to_fit();

    // Guide table: entry k is the last interval whose lower u is at most k / G, so a search
    // starting there moves forward a step or two on average.
    const std::size_t n = inv.polys_.size();
    const std::size_t g = n;
    inv.guide_scale_ = static_cast<double>(g);
    inv.guide_.resize(g + 1);
    std::size_t i = 0;
    for (std::size_t k = 0; k <= g; ++k) {
        const double u = static_cast<double>(k) / static_cast<double>(g);
        while (i + 1 < n && inv.u_[i + 1] <= u) ++i;
        inv.guide_[k] = static_cast<std::uint32_t>(i);
    }
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

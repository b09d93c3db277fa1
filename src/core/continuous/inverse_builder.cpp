// The build of InterpolatedInverse: intervals placed from the lower end of the mass to the
// upper one, each tried, tested and shrunk until its error is within the resolution.
//
// One builder serves both kinds of input through a node source, which says where an
// interval's nodes go and what the distribution is at a point:
//   DensityNodes  a density's panel table: masses left and right of x and the density there,
//                 nodes at the ends (and the middle), each with its slope;
//   CdfNodes      a distribution function: u at x only, six plain nodes per interval.
// A source has
//   has_density       whether nodes carry the density (slopes, and the error's slope term)
//   count, mult       nodes per interval, and how often each is taken (twice: with its slope)
//   mass()            the total mass, in the units of Node::left and Node::right
//   place(a, e, xs)   the nodes inside (a, e), given xs[0] = a and xs[count - 1] = e
//   node_at(x, floor) the node at x; floor is the mass left of the interval's start
//   prefetch(xs, n, guesses, m)
//                     announces that the nodes at xs[0..n) come next and those at
//                     guesses[0..m) may follow (with a batch density, the points of all are
//                     evaluated in one call when some of the first are not yet known; nothing
//                     otherwise)
//   batched()         whether prefetch evaluates anything: only then are guesses worth making
//   failed(), error() the first fault of the user's function
//   ends(tail)        the range the intervals cover, leaving about tail at each end to
//                     straight pieces, and the first step
//   unresolved()      error the source has but the tests between nodes cannot see
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <utility>

#include "core/continuous/interpolated_inverse.hpp"
#include "core/continuous/mass_window.hpp"

namespace varnix {

namespace {

constexpr double kAccept = 0.6;      // an interval's tested error may be this much of the target
constexpr double kAim = 0.45;        // ... and the next step is sized for this much

constexpr double kTailShare = 0.05;  // mass left beyond the first and last interval
// Mass left beyond each side of a window cut from a wide or unbounded support, at most.
constexpr double kCutShare = 0.01;
// The widest interval partitioned evenly: halving panels from there finds a peak of unit
// width within the panel limit (as far as 2e19; from 2e20 on it does not).
constexpr double kEvenWidth = 0x1p65;
constexpr std::size_t kMaxAttempts = 100000;  // tries at an interval before giving up
constexpr int kMaxNodes = 6;

// Mass left and right of a point (in the source's units) and the density there, as seen from
// below and from above (the two differ only at a breakpoint).
struct Node {
    double x;
    double left;
    double right;
    double f_below;
    double f_above;
};

// The range the intervals cover, from a to b, and the length of the first step.
struct Range {
    Node a;
    Node b;
    double h;
};

// The extremum of |prod (v - V_j)^m_j| between V[k-1] and V[k], for every gap k = 1..count-1:
// the root of sum m_j / (v - V_j), which falls from +inf to -inf across the gap. Newton steps
// kept inside a shrinking bracket. The gaps are solved side by side, a step of each in turn,
// so that the divisions of one overlap those of the others; each gap's steps are its own.
void largest_error_points(const double* nodes, const int* mult, int count, double* out) {
    double lo[kMaxNodes];
    double hi[kMaxNodes];
    double v[kMaxNodes];
    bool open[kMaxNodes];
    double m[kMaxNodes];
    for (int j = 0; j < count; ++j) m[j] = mult[j];
    int left = count - 1;
    for (int k = 1; k < count; ++k) {
        lo[k] = nodes[k - 1];
        hi[k] = nodes[k];
        v[k] = 0.5 * (lo[k] + hi[k]);
        open[k] = true;
    }
    for (int it = 0; it < 12 && left > 0; ++it) {
        for (int k = 1; k < count; ++k) {
            if (!open[k]) continue;
            double g = 0.0;
            double dg = 0.0;
            for (int j = 0; j < count; ++j) {
                const double r = 1.0 / (v[k] - nodes[j]);
                g += m[j] * r;
                dg -= m[j] * (r * r);
            }
            if (g > 0.0) {
                lo[k] = v[k];
            } else {
                hi[k] = v[k];
            }
            double next = v[k] - g / dg;
            if (!(next > lo[k] && next < hi[k])) next = 0.5 * (lo[k] + hi[k]);
            const bool settled = std::fabs(next - v[k]) <= 1e-6 * (nodes[k] - nodes[k - 1]);
            v[k] = next;
            if (settled) {
                open[k] = false;
                --left;
            }
        }
    }
    for (int k = 1; k < count; ++k) out[k] = v[k];
}

// Nodes from the panel table of a density. Nodes at the ends of an interval, and for degrees 4
// and 5 at its middle; slopes at the ends, and for degree 5 at the middle too.
class DensityNodes {
public:
    static constexpr bool has_density = true;

    DensityNodes(DensityProbe& probe, const PanelTable& table, int order)
        : probe_(probe), table_(table) {
        if (order == 3) {
            count = 2;
            mult[0] = mult[1] = 2;
        } else {
            count = 3;
            mult[0] = mult[2] = 2;
            mult[1] = order == 5 ? 2 : 1;
        }
    }

    int count = 3;
    int mult[kMaxNodes] = {2, 2, 2, 1, 1, 1};

    double mass() const { return table_.mass(); }
    void place(double a, double e, double* xs) const {
        if (count == 3) xs[1] = a + 0.5 * (e - a);
    }
    Node node_at(double x, double /*floor*/) {
        const auto s = table_.split_at(probe_, x, near_);
        return {x, s.left, s.right, s.f_below, s.f_above};
    }
    void prefetch(const double* xs, int n, const double* guesses = nullptr, int m = 0) {
        if (!probe_.batched()) return;
        points_.clear();
        for (int k = 0; k < n; ++k) table_.split_points(xs[k], points_);
        const std::size_t needed = points_.size();
        for (int k = 0; k < m; ++k) table_.split_points(guesses[k], points_);
        const std::span<const double> all(points_);
        probe_.prefetch(all.first(needed), all.subspan(needed));
    }
    bool batched() const { return probe_.batched(); }
    bool failed() const { return probe_.failed(); }
    BuildError error() const { return probe_.error(); }
    double unresolved() const { return table_.unresolved(); }

    // Whole panels, or the part of an end model within the distance that holds tail.
    BuildResult<Range> ends(double tail) {
        const PanelTable& t = table_;
        const std::size_t np = t.panels();
        std::size_t ja = 0;
        while (ja + 1 < np && t.below(ja + 1) <= tail) ++ja;
        std::size_t jb = np;
        while (jb > ja + 1 && t.above(jb - 1) <= tail) --jb;
        const bool lo_model = t.lo_model() && ja == 0 && t.tail_below() > tail;
        const bool hi_model = t.hi_model() && jb == np && t.tail_above() > tail;
        const Node a = lo_model ? model_node(*t.lo_model(), tail) : edge_node(ja);
        const Node b = hi_model ? model_node(*t.hi_model(), tail) : edge_node(jb);
        const double h = lo_model ? a.x - t.lo() : t.edges()[ja + 1] - a.x;
        return Range{a, b, h};
    }

private:
    Node edge_node(std::size_t j) const {
        return {table_.edges()[j], table_.below(j), table_.above(j), table_.value_below_edge(j),
                table_.value_above_edge(j)};
    }
    Node model_node(const EndModel& m, double tail) {
        double x = m.point(m.distance_with_mass(tail));
        const double end_x = m.point(0.0);
        if (m.distance(x) <= 0.0) x = std::nextafter(end_x, m.point(m.reach()));
        prefetch(&x, 1);
        return node_at(x, 0.0);
    }

    DensityProbe& probe_;
    const PanelTable& table_;
    std::vector<double> points_;
    std::size_t near_ = 0;  // the panel of the last node: the next is mostly in it or after it
};

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

// Nodes from a distribution function rising from 0 to 1 on [lo, hi]: six plain nodes per
// interval at Chebyshev-Lobatto points, where the interpolation through plain nodes stays well
// behaved.
class CdfNodes {
public:
    static constexpr bool has_density = false;
    static constexpr int count = 6;
    static constexpr int mult[kMaxNodes] = {1, 1, 1, 1, 1, 1};

    CdfNodes(CdfProbe& probe, double lo, double hi, double target)
        : probe_(probe), lo_(lo), hi_(hi), target_(target) {}

    double mass() const { return 1.0; }
    void place(double a, double e, double* xs) const {
        for (int k = 1; k < count - 1; ++k) {
            const double t = 0.5 * (1.0 - std::cos(std::numbers::pi * k / (count - 1)));
            xs[k] = a + (e - a) * t;
        }
    }
    // A distribution function may fall back by rounding; it is held at floor, and a fall of
    // more than the resolution is refused.
    Node node_at(double x, double floor) {
        double u = probe_(x);
        if (u < floor) {
            if (floor - u > target_) probe_.fail(BuildError::cdf_decreasing(x, floor - u));
            u = floor;
        }
        if (u > 1.0) {
            if (u - 1.0 > target_) probe_.fail(BuildError::cdf_decreasing(hi_, u - 1.0));
            u = 1.0;
        }
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {x, u, 1.0 - u, nan, nan};
    }
    void prefetch(const double*, int, const double* = nullptr, int = 0) {}
    static constexpr bool batched() { return false; }
    bool failed() const { return probe_.failed(); }
    BuildError error() const { return probe_.error(); }
    double unresolved() const { return 0.0; }

    // Bisection for the last point with at most tail below it, and the first with at most tail
    // above it; a value within a quarter of that is close enough. Where even the step from an
    // end to its neighbouring double holds more than the tail (a pole at an end far from 0),
    // that step is the straight piece, and its mass the limit.
    BuildResult<Range> ends(double tail) {
        const auto a = bisect(Node{lo_, 0.0, 1.0, 0.0, 0.0}, hi_, true, 0.0, tail);
        if (!a) return std::unexpected(a.error());
        const auto b = bisect(Node{hi_, 1.0, 0.0, 0.0, 0.0}, a->x, false, a->left, tail);
        if (!b) return std::unexpected(b.error());
        Range r{*a, *b, 0.0};
        if (r.a.x == lo_) r.a = node_at(std::nextafter(lo_, hi_), 0.0);
        if (r.b.x == hi_) r.b = node_at(std::nextafter(hi_, lo_), r.a.left);
        if (failed()) return std::unexpected(error());
        if (r.b.x < r.a.x) r.b = r.a;
        r.h = (r.b.x - r.a.x) / 32.0;
        return r;
    }

private:
    // From the node at an end towards far: the point nearest far whose mass beyond it (on the
    // end's side) is at most tail.
    BuildResult<Node> bisect(Node near, double far, bool at_lo, double floor, double tail) {
        for (int it = 0; it < 200; ++it) {
            const double low = at_lo ? near.x : far;
            const double high = at_lo ? far : near.x;
            const double m = low + 0.5 * (high - low);
            if (!(m > low && m < high)) break;
            const Node n = node_at(m, floor);
            if (failed()) return std::unexpected(error());
            const double beyond = at_lo ? n.left : n.right;
            if (beyond <= tail) {
                near = n;
                if (beyond >= 0.25 * tail) break;
            } else {
                far = m;
            }
        }
        return near;
    }

    CdfProbe& probe_;
    double lo_;
    double hi_;
    double target_;
};

}  // namespace

template <class Source>
class InverseBuilder {
public:
    InverseBuilder(Source& source, InterpolatedInverse& out, const InterpolationOptions& o)
        : source_(source), out_(out), target_(o.u_resolution), mass_(source.mass()) {
        for (const double b : o.breakpoints) breakpoints_.push_back(b);
        std::sort(breakpoints_.begin(), breakpoints_.end());
    }

    BuildResult<void> run();

private:
    // One try at an interval from cur to e. On success the piece is added and *next set.
    struct Outcome {
        bool accepted;
        double factor;  // for the next step (on success) or this one (on failure)
    };
    // With a batch density, the intervals the march would try next if this try ended with one
    // of the factors it cannot tell apart before it is made: their nodes are announced with
    // this try's own points, so that a guess that comes true costs no call of its own.
    struct Ahead {
        double from[4];
        double to[4];
        int count = 0;
        void add(double a, double e) {
            from[count] = a;
            to[count] = e;
            ++count;
        }
    };
    Outcome attempt(const Node& cur, double e, Node* next, const Ahead& at_nodes,
                    const Ahead& at_test);
    // The nodes at xs[0..n), and those of the intervals ahead as guesses.
    void prefetch_with(const double* xs, int n, const Ahead& ahead);
    Outcome straight(const Node& cur, double e, Node* next);
    // The polynomial through the nodes, and its degree; nullopt where a slope is unusable.
    std::optional<int> interpolate(const double* xs, const Node* nodes, const double* vs,
                                   InterpolatedInverse::Poly& p) const;
    bool rises(const InterpolatedInverse::Poly& p, const double* vs) const;
    // The largest error measured between the nodes, and the largest ratio of an error to its
    // limit; nullopt where a test point falls outside its gap or the source fails.
    struct Tested {
        double error;
        double excess;
    };
    std::optional<Tested> test(const Node& cur, double e, const double* xs, const double* vs,
                               const InterpolatedInverse::Poly& p, const Ahead& ahead);
    // Intervals from a to b.
    BuildResult<void> march(const Node& a, const Node& b, double h);

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

    Source& source_;
    InterpolatedInverse& out_;
    double target_;
    double mass_;
    double first_x_ = 0.0;  // the ends of the marched range
    double last_x_ = 0.0;
    std::vector<double> breakpoints_;
    double max_error_ = 0.0;
};

template <class Source>
auto InverseBuilder<Source>::attempt(const Node& cur, double e, Node* next,
                                     const Ahead& at_nodes, const Ahead& at_test) -> Outcome {
    const int d = source_.count;
    double xs[kMaxNodes] = {};
    xs[0] = cur.x;
    xs[d - 1] = e;
    source_.place(cur.x, e, xs);
    bool distinct = true;
    for (int k = 1; k < d; ++k) distinct = distinct && xs[k - 1] < xs[k];
    if (!distinct) return straight(cur, e, next);

    Node nodes[kMaxNodes];
    nodes[0] = cur;
    prefetch_with(xs + 1, d - 1, at_nodes);
    for (int k = 1; k < d; ++k) nodes[k] = source_.node_at(xs[k], cur.left);
    if (source_.failed()) return {false, 0.5};
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

    InterpolatedInverse::Poly p{};
    const std::optional<int> n = interpolate(xs, nodes, vs, p);
    if (!n || !rises(p, vs)) return {false, 0.5};
    const std::optional<Tested> t = test(cur, e, xs, vs, p, at_test);
    if (!t) return {false, 0.5};
    const double ratio = std::pow(kAim / kAccept / std::max(t->excess, 1e-300), 1.0 / (*n + 1));
    if (t->excess > 1.0) return {false, std::clamp(ratio, 0.1, 0.8)};
    *next = nodes[d - 1];
    add_piece(cur, w, p, t->error);
    return {true, std::clamp(ratio, 0.6, 2.0)};
}

template <class Source>
void InverseBuilder<Source>::prefetch_with(const double* xs, int n, const Ahead& ahead) {
    double points[4 * kMaxNodes];
    int m = 0;
    for (int i = 0; i < ahead.count; ++i) {
        double ys[kMaxNodes] = {};
        const int d = source_.count;
        ys[0] = ahead.from[i];
        ys[d - 1] = ahead.to[i];
        source_.place(ys[0], ys[d - 1], ys);
        for (int k = 1; k < d; ++k) points[m++] = ys[k];
    }
    source_.prefetch(xs, n, points, m);
}

// Too narrow for a polynomial: a straight piece, whose error is at most its mass. One that
// holds more than the limit is cut down to a single step between doubles.
template <class Source>
auto InverseBuilder<Source>::straight(const Node& cur, double e, Node* next) -> Outcome {
    source_.prefetch(&e, 1);
    const Node end = source_.node_at(e, cur.left);
    const double w = width(cur, end, cur.left <= cur.right);
    if (w > kAccept * target_ && e != std::nextafter(cur.x, e)) return {false, 0.0};
    *next = end;
    add_straight(cur, *next, w);
    return {true, 2.0};
}

// Confluent Newton divided differences of x over v: a node taken twice carries the slope
// dx/dv = mass / density there.
template <class Source>
std::optional<int> InverseBuilder<Source>::interpolate(const double* xs, const Node* nodes,
                                                       const double* vs,
                                                       InterpolatedInverse::Poly& p) const {
    double z[kMaxNodes];
    double c[kMaxNodes];
    double slope[kMaxNodes];
    int n = -1;
    for (int k = 0; k < source_.count; ++k) {
        for (int m = 0; m < source_.mult[k]; ++m) {
            ++n;
            z[n] = vs[k];
            c[n] = xs[k];
            slope[n] = mass_ / (k == 0 ? nodes[k].f_above : nodes[k].f_below);
            if (m > 0 && !(std::isfinite(slope[n]) && slope[n] > 0.0)) return std::nullopt;
        }
    }
    for (int j = 1; j <= n; ++j) {
        for (int k = n; k >= j; --k) {
            c[k] = z[k] == z[k - j] ? slope[k] : (c[k] - c[k - 1]) / (z[k] - z[k - j]);
        }
    }
    for (int k = 0; k <= n; ++k) p.c[k] = c[k];
    for (int k = 1; k < n; ++k) p.v[k - 1] = z[k];
    return n;
}

// The polynomial must rise: checked at eight points of each gap. The slopes are those of
// InterpolatedInverse::newton_with_slope, taken at all the points together (in lanes the
// compiler can pair) before any is looked at.
template <class Source>
bool InverseBuilder<Source>::rises(const InterpolatedInverse::Poly& p, const double* vs) const {
    constexpr int kPer = 9;
    double v[kPer * (kMaxNodes - 1)];
    double r[kPer * (kMaxNodes - 1)];
    double d[kPer * (kMaxNodes - 1)];
    const int n = kPer * (source_.count - 1);
    for (int k = 1; k < source_.count; ++k) {
        for (int i = 0; i < kPer; ++i) {
            v[kPer * (k - 1) + i] = vs[k - 1] + (vs[k] - vs[k - 1]) * (i / 8.0);
        }
    }
    for (int i = 0; i < n; ++i) {
        r[i] = p.c[5];
        d[i] = 0.0;
    }
    for (int j = 4; j >= 1; --j) {
        const double c = p.c[j];
        const double at = p.v[j - 1];
        for (int i = 0; i < n; ++i) {
            d[i] = r[i] + (v[i] - at) * d[i];
            r[i] = c + (v[i] - at) * r[i];
        }
    }
    bool all = true;
    for (int i = 0; i < n; ++i) all = all && r[i] + v[i] * d[i] > 0.0;
    return all;
}

// The error at the point of each gap where the interpolation error peaks. Where the step
// between neighbouring doubles holds more mass than the target, no x can do better than that:
// the limit there is raised to twice that mass (and the error is reported as it is). Testing
// stops at the first gap over its limit.
template <class Source>
auto InverseBuilder<Source>::test(const Node& cur, double e, const double* xs, const double* vs,
                                  const InterpolatedInverse::Poly& p, const Ahead& ahead)
    -> std::optional<Tested> {
    const int d = source_.count;
    const bool use_left = cur.left <= cur.right;
    const double limit = kAccept * target_;
    Tested t{0.0, 0.0};
    // Without slopes at the nodes, the error near an end of the mass where the density is
    // infinite (x(u) flat there) is set by the polynomial's slope at the node, and is as large
    // at the node as anywhere: the first and last intervals are tested close to it as well.
    double extra[2];
    int extras = 0;
    if constexpr (!Source::has_density) {
        if (cur.x == first_x_) extra[extras++] = 1e-3 * vs[1];
        if (e == last_x_) extra[extras++] = vs[d - 1] - 1e-3 * (vs[d - 1] - vs[d - 2]);
    }
    // The test points (up to the first outside its gap) depend on the nodes only: announced
    // together before the first is read.
    const int tests = d - 1 + extras;
    int gap[kMaxNodes + 1];
    double at_v[kMaxNodes + 1];
    double at_x[kMaxNodes + 1];
    double at_dx[kMaxNodes + 1];
    int inside = 0;
    double peak[kMaxNodes];
    largest_error_points(vs, source_.mult, d, peak);
    for (int j = 0; j < tests; ++j) {
        const int i = j + 1;
        const int k = i < d ? i : (extra[i - d] < vs[1] ? 1 : d - 1);
        gap[j] = k;
        at_v[j] = i < d ? peak[k] : extra[i - d];
        InterpolatedInverse::newton_with_slope(p, at_v[j], at_x[j], at_dx[j]);
        if (inside == j && at_x[j] > xs[k - 1] && at_x[j] < xs[k]) ++inside;
    }
    prefetch_with(at_x, inside, ahead);
    for (int i = 1; i < d + extras; ++i) {
        const int k = gap[i - 1];
        const double v = at_v[i - 1];
        const double x = at_x[i - 1];
        const double dx = at_dx[i - 1];
        if (!(x > xs[k - 1] && x < xs[k])) return std::nullopt;
        const Node test = source_.node_at(x, cur.left);
        if (source_.failed()) return std::nullopt;
        // The error there, and its slope: f(x) dx/dv / mass - 1 is zero at the peak of a
        // smooth error curve; where it is not (a kink between the nodes), the error may peak
        // elsewhere in the gap, and half the slope times the farther distance is added. A
        // distribution function gives no density: its secant over the gap stands in for the
        // step's mass, and the slope term is left out.
        double e_k = std::fabs(width(cur, test, use_left) - v);
        double density;
        if constexpr (Source::has_density) {
            density = test.f_below;
            const double slope = density * dx / mass_ - 1.0;
            const double reach = std::max(v - vs[k - 1], vs[k] - v);
            e_k += 0.5 * std::fabs(slope) * reach;
        } else {
            density = (vs[k] - vs[k - 1]) * mass_ / (xs[k] - xs[k - 1]);
        }
        const double step = std::nextafter(x, std::numeric_limits<double>::infinity()) - x;
        const double allowed = std::max(limit, 2.0 * density * step / mass_);
        t.error = std::max(t.error, e_k);
        t.excess = std::max(t.excess, e_k / allowed);
        if (t.excess > 1.0) break;
    }
    return t;
}

template <class Source>
BuildResult<void> InverseBuilder<Source>::march(const Node& a, const Node& b, double h) {
    first_x_ = a.x;
    last_x_ = b.x;
    Node cur = a;
    auto bp = std::upper_bound(breakpoints_.begin(), breakpoints_.end(), a.x);
    // The end of the interval a step h from `from`, short of the next breakpoint after
    // `from` (bp or a later one) or of b.
    const auto end_from = [&](double from, double h, auto bp_at) {
        while (bp_at != breakpoints_.end() && *bp_at <= from) ++bp_at;
        const double limit = bp_at != breakpoints_.end() && *bp_at < b.x ? *bp_at : b.x;
        double e = from + h;
        if (!(e < limit - 0.1 * h)) e = limit;
        if (!(e > from)) e = std::nextafter(from, limit);
        return e;
    };
    std::size_t attempts = 0;
    bool doubling = false;  // the last step was a success that doubled the step
    while (cur.x < b.x) {
        const double e = end_from(cur.x, h, bp);
        // The guesses: this interval again after a test that fails by a little (0.8 of the
        // step), and, while successes double the step (straight pieces in a tail, errors far
        // below the limit), the next interval after one more.
        Ahead at_nodes;
        Ahead at_test;
        if (source_.batched()) {
            const double step = e - cur.x;
            if (doubling && e < b.x) {
                const double after = end_from(e, step * 2.0, bp);
                at_nodes.add(e, after);
                at_test.add(e, after);
            }
            at_test.add(cur.x, end_from(cur.x, step * 0.8, bp));
        }
        Node next{};
        const Outcome r = attempt(cur, e, &next, at_nodes, at_test);
        if (source_.failed()) return std::unexpected(source_.error());
        if (++attempts > kMaxAttempts) {
            return std::unexpected(BuildError::interpolation_failed(target_, cur.x));
        }
        doubling = r.accepted && r.factor == 2.0;
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

template <class Source>
BuildResult<void> InverseBuilder<Source>::run() {
    const double lo = out_.lo_;
    const double hi = out_.hi_;
    // The tails left to straight pieces hold at most kTailShare of the resolution at each end.
    const double tail = kTailShare * target_ * mass_;
    const Node start{lo, 0.0, mass_, 0.0, 0.0};
    const Node end{hi, mass_, 0.0, 0.0, 0.0};
    const BuildResult<Range> range = source_.ends(tail);
    if (!range) return std::unexpected(range.error());
    const auto& [a, b, h] = *range;

    if (a.x > lo) add_straight(start, a, a.left / mass_);
    if (auto r = march(a, b, h); !r) return r;
    if (b.x < hi) add_straight(b, end, b.right / mass_);

    // Closing edge and the sentinel that ends every interval search.
    out_.x_.push_back(hi);
    out_.u_.push_back(std::numeric_limits<double>::infinity());
    out_.s_.push_back(0.0);
    out_.max_u_error_ = std::max(max_error_, source_.unresolved());
    return {};
}

BuildResult<InterpolatedInverse> InterpolatedInverse::build(FunctionRef<double(double)> density,
                                                            double lo, double hi,
                                                            double u_resolution,
                                                            OptionalBatch batch) {
    InterpolationOptions options;
    options.u_resolution = u_resolution;
    return build(density, lo, hi, options, batch);
}

BuildResult<InterpolatedInverse> InterpolatedInverse::build(FunctionRef<double(double)> density,
                                                            double lo, double hi,
                                                            const InterpolationOptions& options,
                                                            OptionalBatch batch) {
    if (!(options.u_resolution >= min_u_resolution && options.u_resolution <= max_u_resolution)) {
        return std::unexpected(BuildError::invalid_resolution(options.u_resolution));
    }
    if (options.order < 3 || options.order > 5) {
        throw InternalFault("interpolation order must be 3, 4 or 5");
    }
    if (std::isnan(lo) || std::isnan(hi)) {
        return std::unexpected(BuildError::invalid_support(detail_text::support_bounds));
    }
    if (!(lo < hi)) return std::unexpected(BuildError::invalid_support(detail_text::lo_below_hi));
    DensityProbe probe(density, lo, hi, batch);
    PanelTable::Options po;
    po.tolerance = std::min(0.01 * options.u_resolution, 1e-12);
    po.end_tail = 0.5 * kTailShare * options.u_resolution;
    po.breakpoints = options.breakpoints;
    // A finite interval of sensible width is partitioned evenly and the panels find the mass;
    // a wider or unbounded one is first searched for a window that holds the mass (and so is
    // one where the panels of the even partition run out before they find it).
    std::optional<PanelTable> table;
    double window_lo = lo;
    double window_hi = hi;
    if (hi - lo <= kEvenWidth) {
        auto even = PanelTable::build(probe, lo, hi, po);
        if (even) {
            table = std::move(*even);
        } else if (probe.failed() || even.error().kind != BuildErrorKind::MassNotFound ||
                   even.error().detail != detail_text::too_many_panels) {
            return std::unexpected(even.error());
        }
    }
    if (!table) {
        const auto window = find_mass_window(probe, lo, hi, kCutShare * options.u_resolution,
                                             options.centres);
        if (!window) return std::unexpected(window.error());
        window_lo = window->lo;
        window_hi = window->hi;
        po.grid = window->grid;
        auto windowed = PanelTable::build(probe, window_lo, window_hi, po);
        if (!windowed) return std::unexpected(windowed.error());
        table = std::move(*windowed);
    }

    InterpolatedInverse inv(std::move(table));
    // The intervals cover the window; the ends of the quantile function are the support's.
    inv.lo_ = window_lo;
    inv.hi_ = window_hi;
    inv.u_resolution_ = options.u_resolution;
    inv.order_ = options.order;
    DensityNodes source(probe, *inv.table_, options.order);
    InverseBuilder builder(source, inv, options);
    if (auto r = builder.run(); !r) return std::unexpected(r.error());
    inv.lo_ = lo;
    inv.hi_ = hi;
    return finish(std::move(inv), probe.calls());
}

BuildResult<InterpolatedInverse> InterpolatedInverse::build_from_cdf(
    FunctionRef<double(double)> cdf, double lo, double hi, const InterpolationOptions& options) {
    if (!(options.u_resolution >= min_u_resolution && options.u_resolution <= max_u_resolution)) {
        return std::unexpected(BuildError::invalid_resolution(options.u_resolution));
    }
    if (std::isnan(lo) || std::isnan(hi)) {
        return std::unexpected(BuildError::invalid_support(detail_text::support_bounds));
    }
    if (!(lo < hi)) return std::unexpected(BuildError::invalid_support(detail_text::lo_below_hi));
    CdfProbe probe(cdf);
    // An unbounded support, or one too wide for the ends' bisection (200 halvings) to reach
    // unit width, is first narrowed to a window outside which each side holds at most the cut
    // share: ladders of points 2^k from 0 (or from the finite end), until the distribution
    // function is that close to 0 below and to 1 above.
    double window_lo = lo;
    double window_hi = hi;
    if (!(hi - lo <= 0x1p180)) {
        const double cut = kCutShare * options.u_resolution;
        const double c = lo < 0.0 && 0.0 < hi ? 0.0 : (std::isfinite(lo) ? lo : hi);
        for (const double direction : {-1.0, 1.0}) {
            const double end = direction > 0 ? hi : lo;
            if (c == end) continue;
            bool found = false;
            const int k0 = c == 0.0 ? -40 : std::ilogb(c) - 50;
            for (int k = k0; k <= 1023 && !found; ++k) {
                const double x = c + direction * std::ldexp(1.0, k);
                if (x == c) continue;
                if (!std::isfinite(x) || (direction > 0 ? x >= end : x <= end)) break;
                const double u = probe(x);
                if (probe.failed()) return std::unexpected(probe.error());
                if (direction > 0 ? 1.0 - u <= cut : u <= cut) {
                    (direction > 0 ? window_hi : window_lo) = x;
                    found = true;
                }
            }
            if (!found && !std::isfinite(end)) {
                return std::unexpected(BuildError::mass_not_found(
                    detail_text::mass_not_decaying, direction > 0 ? 0x1p1023 : -0x1p1023));
            }
        }
    }
    InterpolatedInverse inv(std::nullopt);
    inv.lo_ = window_lo;
    inv.hi_ = window_hi;
    inv.u_resolution_ = options.u_resolution;
    inv.order_ = 5;
    CdfNodes source(probe, window_lo, window_hi, options.u_resolution);
    InverseBuilder builder(source, inv, options);
    if (auto r = builder.run(); !r) return std::unexpected(r.error());
    inv.lo_ = lo;
    inv.hi_ = hi;
    return finish(std::move(inv), probe.calls());
}

}  // namespace varnix

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
//   node_at(x, floor, near)
//                     the node at x; floor is the mass left of the interval's start, near a
//                     hint the march keeps (the panel of its last node)
//   prefetch(xs)      announces that the nodes at xs come next (with a batch density, the
//                     points of all that are not yet known are evaluated in one call; nothing
//                     otherwise)
//   failed(), error() the first fault of the user's function
//   ends(tail)        the range the intervals cover, leaving about tail at each end to
//                     straight pieces, and the first step
//   starts(range)     where the range is cut into marches of their own, and their first steps:
//                     points whose nodes cost no call
//   unresolved()      error the source has but the tests between nodes cannot see
#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <numbers>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/continuous/interpolated_inverse.hpp"
#include "core/continuous/mass_window.hpp"
#include "core/parts.hpp"

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
// A thread is started for at least this many marches (tens of microseconds of work, about
// what starting it costs).
constexpr std::size_t kMinMarchesPerThread = 4;
constexpr int kMaxNodes = 6;
// Pieces a march makes room for at its start: most parts of a march make a few.
constexpr std::size_t kPiecesAhead = 8;

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

// Whether a and b (a < b) are neighbouring doubles.
bool no_double_between(double a, double b) { return std::nextafter(a, b) == b; }

// Where a march starts, and its first step.
struct Start {
    Node node;
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

    // The same nodes read through another probe (of the same density).
    DensityNodes(DensityProbe& probe, const DensityNodes& like)
        : count(like.count), probe_(probe), table_(like.table_) {
        std::copy(like.mult, like.mult + kMaxNodes, mult);
    }
    DensityProbe& probe() const { return probe_; }
    bool batched() const { return probe_.batched(); }

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
    // near is the panel of the march's last node: the next is mostly in it or after it.
    Node node_at(double x, double /*floor*/, std::size_t& near) {
        const auto s = table_.split_at(probe_, x, near);
        return {x, s.left, s.right, s.f_below, s.f_above};
    }
    void prefetch(std::span<const double> xs) {
        if (!probe_.batched()) return;
        points_.clear();
        for (const double x : xs) table_.split_points(x, points_);
        probe_.prefetch(points_);
    }
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

    // The range from a, and from every per_part-th panel edge after it (none for 0), each
    // part's first step the width of the panel it starts in: the same rule as for the first.
    std::vector<Start> starts(const Range& r, std::size_t per_part) const {
        std::vector<Start> out{{r.a, r.h}};
        if (per_part == 0) return out;
        const std::vector<double>& edges = table_.edges();
        const auto first = std::upper_bound(edges.begin(), edges.end(), r.a.x) - edges.begin();
        for (auto j = static_cast<std::size_t>(first) + per_part;
             j + 1 < edges.size() && edges[j] < r.b.x; j += per_part) {
            out.push_back({edge_node(j), edges[j + 1] - edges[j]});
        }
        return out;
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
        prefetch(std::span<const double>(&x, 1));
        std::size_t near = 0;
        return node_at(x, 0.0, near);
    }

    DensityProbe& probe_;
    const PanelTable& table_;
    std::vector<double> points_;
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
    Node node_at(double x, double floor, std::size_t& /*near*/) {
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
    Node node_at(double x, double floor) {
        std::size_t near = 0;
        return node_at(x, floor, near);
    }
    void prefetch(std::span<const double>) {}
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
    // One march over the whole range.
    std::vector<Start> starts(const Range& r, std::size_t /*per_part*/) const {
        return {{r.a, r.h}};
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
        : source_(source),
          out_(out),
          target_(o.u_resolution),
          mass_(source.mass()),
          per_part_(o.panels_per_part),
          threads_(std::max<std::size_t>(o.threads, 1)) {
        for (const double b : o.breakpoints) breakpoints_.push_back(b);
        std::sort(breakpoints_.begin(), breakpoints_.end());
    }

    BuildResult<void> run();

private:
    // A polynomial piece from a node, before it joins the table.
    struct Piece {
        Node from;
        double width;
        InterpolatedInverse::Poly p;
    };
    // The outcome of a try at an interval: the factor sizes the next step on success and this
    // one again on failure.
    struct Outcome {
        bool accepted;
        double factor;
    };
    // One march: the intervals from a start to an end, each tried, tested and shrunk. A try
    // reads the nodes of its interval, then its test points; the march stops between the two
    // (stage) and says which points it reads next (wanted), so that several marches can be
    // advanced side by side and their points announced together.
    struct March {
        Node cur;
        Node end;
        double h;
        std::size_t bp;  // the first breakpoint after cur
        std::size_t near = 0;
        std::size_t attempts = 0;
        bool done = false;
        enum class Stage { nodes, tests } stage = Stage::nodes;
        // The try in progress: the interval to e, as a straight piece or a polynomial through
        // the nodes at xs.
        bool straight = false;
        double e = 0.0;
        double xs[kMaxNodes] = {};
        Node nodes[kMaxNodes] = {};
        double vs[kMaxNodes] = {};
        InterpolatedInverse::Poly p{};
        int degree = 0;
        // Its test points: their gaps, where they are in v and x, and the slope dx/dv there;
        // the first `inside` of them fall inside their gaps.
        int tests = 0;
        int inside = 0;
        int gap[kMaxNodes + 1] = {};
        double at_v[kMaxNodes + 1] = {};
        double at_x[kMaxNodes + 1] = {};
        double at_dx[kMaxNodes + 1] = {};
        std::vector<Piece> pieces;
    };

    // The same builder with another source, for some of the marches on another thread.
    InverseBuilder(Source& source, const InverseBuilder& parent)
        : source_(source),
          out_(parent.out_),
          target_(parent.target_),
          mass_(parent.mass_),
          first_x_(parent.first_x_),
          last_x_(parent.last_x_),
          breakpoints_(parent.breakpoints_) {}

    // Every march to its end: side by side here, or in parts on threads (each part with a
    // probe of its own) when threads are allowed and there is no batch. A part that fails
    // has all the marches run again here, so that the error is the one met on one thread.
    BuildResult<void> march_all(std::vector<March>& marches);
    bool march_on_threads(std::vector<March>& marches, std::size_t parts);
    // The marches advanced a stage each in turn, the points of all announced together.
    BuildResult<void> side_by_side(const std::vector<March*>& marches);

    // The end of the next interval, a step h from cur, short of the next breakpoint or the
    // march's end; and the nodes of a try there.
    void begin(March& m) const;
    // The points the march reads at its next stage.
    void wanted(const March& m, std::vector<double>& out) const;
    // Reads the points of the stage and moves on: to the tests of the try, or to the next try.
    void advance(March& m);
    void settle(March& m, Outcome r);
    Outcome read_nodes(March& m);
    Outcome read_tests(March& m);
    // The polynomial through the nodes, and its degree; nullopt where a slope is unusable.
    std::optional<int> interpolate(const double* xs, const Node* nodes, const double* vs,
                                   InterpolatedInverse::Poly& p) const;
    bool rises(const InterpolatedInverse::Poly& p, const double* vs) const;
    // The test points of the try, where the interpolation error peaks in each gap (and, for a
    // distribution function, close to an end of the mass).
    void place_tests(March& m) const;

    // The mass from `from` to `to` over the total, from the side where it has more digits.
    double width(const Node& from, const Node& to, bool use_left) const {
        return (use_left ? to.left - from.left : from.right - to.right) / mass_;
    }
    void add_piece(March& m, const Node& from, double width, const InterpolatedInverse::Poly& p,
                   double error) {
        m.pieces.push_back({from, width, p});
        max_error_ = std::max(max_error_, error);
    }
    void add_straight(March& m, const Node& from, const Node& to, double w) {
        InterpolatedInverse::Poly p{};
        p.c[0] = from.x;
        p.c[1] = w > 0.0 ? (to.x - from.x) / w : 0.0;
        add_piece(m, from, std::max(w, 0.0), p, std::max(w, 0.0));
    }
    void emit(const Piece& piece) {
        out_.x_.push_back(piece.from.x);
        out_.u_.push_back(piece.from.left / mass_);
        out_.s_.push_back(piece.from.right / mass_);
        out_.width_.push_back(piece.width);
        out_.polys_.push_back(piece.p);
    }

    Source& source_;
    InterpolatedInverse& out_;
    double target_;
    double mass_;
    double first_x_ = 0.0;  // the ends of the marched range
    double last_x_ = 0.0;
    std::vector<double> breakpoints_;
    std::size_t per_part_ = 0;
    std::size_t threads_ = 1;
    double max_error_ = 0.0;
    std::optional<BuildError> fault_;  // too many tries at one march's interval
};

template <class Source>
void InverseBuilder<Source>::begin(March& m) const {
    const double from = m.cur.x;
    while (m.bp < breakpoints_.size() && breakpoints_[m.bp] <= from) ++m.bp;
    const double limit =
        m.bp < breakpoints_.size() && breakpoints_[m.bp] < m.end.x ? breakpoints_[m.bp] : m.end.x;
    double e = from + m.h;
    if (!(e < limit - 0.1 * m.h)) e = limit;
    if (!(e > from)) e = std::nextafter(from, limit);
    m.e = e;
    m.stage = March::Stage::nodes;
    const int d = source_.count;
    m.xs[0] = from;
    m.xs[d - 1] = e;
    source_.place(from, e, m.xs);
    bool distinct = true;
    for (int k = 1; k < d; ++k) distinct = distinct && m.xs[k - 1] < m.xs[k];
    m.straight = !distinct;
}

template <class Source>
void InverseBuilder<Source>::wanted(const March& m, std::vector<double>& out) const {
    if (m.done) return;
    if (m.stage == March::Stage::tests) {
        out.insert(out.end(), m.at_x, m.at_x + m.inside);
    } else if (m.straight) {
        out.push_back(m.e);
    } else {
        out.insert(out.end(), m.xs + 1, m.xs + source_.count);
    }
}

template <class Source>
void InverseBuilder<Source>::advance(March& m) {
    if (m.done) return;
    if (m.stage == March::Stage::tests) {
        settle(m, read_tests(m));
        return;
    }
    const Outcome r = read_nodes(m);
    // A try that reached its tests waits for them; any other is settled now.
    if (m.stage == March::Stage::nodes) settle(m, r);
}

template <class Source>
void InverseBuilder<Source>::settle(March& m, Outcome r) {
    if (source_.failed()) return;
    if (++m.attempts > kMaxAttempts) {
        fault_ = BuildError::interpolation_failed(target_, m.cur.x);
        return;
    }
    m.h = (m.e - m.cur.x) * r.factor;
    if (r.accepted) {
        m.cur = m.nodes[source_.count - 1];
        if (m.straight) m.cur = m.nodes[0];
    }
    if (!(m.cur.x < m.end.x)) {
        m.done = true;
        return;
    }
    begin(m);
}

// The nodes of the try. Too narrow for a polynomial: a straight piece, whose error is at most
// its mass, and one that holds more than the limit is cut down to a single step between
// doubles. Otherwise the polynomial through the nodes, if it rises, and its test points.
template <class Source>
auto InverseBuilder<Source>::read_nodes(March& m) -> Outcome {
    const Node& cur = m.cur;
    const double e = m.e;
    if (m.straight) {
        // The end node is kept first, where settle takes it from.
        const Node end = source_.node_at(e, cur.left, m.near);
        const double w = width(cur, end, cur.left <= cur.right);
        if (w > kAccept * target_ && e != std::nextafter(cur.x, e)) return {false, 0.0};
        m.nodes[0] = end;
        add_straight(m, cur, end, w);
        return {true, 2.0};
    }
    const int d = source_.count;
    m.nodes[0] = cur;
    for (int k = 1; k < d; ++k) m.nodes[k] = source_.node_at(m.xs[k], cur.left, m.near);
    if (source_.failed()) return {false, 0.5};
    const bool use_left = cur.left <= cur.right;
    for (int k = 0; k < d; ++k) m.vs[k] = k == 0 ? 0.0 : width(cur, m.nodes[k], use_left);
    const double w = m.vs[d - 1];
    if (w <= kAccept * target_) {
        add_straight(m, cur, m.nodes[d - 1], w);
        return {true, 2.0};
    }
    for (int k = 1; k < d; ++k) {
        if (!(m.vs[k] > m.vs[k - 1])) return {false, 0.5};
    }
    const std::optional<int> n = interpolate(m.xs, m.nodes, m.vs, m.p);
    if (!n || !rises(m.p, m.vs)) return {false, 0.5};
    m.degree = *n;
    place_tests(m);
    m.stage = March::Stage::tests;
    return {false, 0.0};  // not an outcome yet: advance leaves the try to its tests
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
void InverseBuilder<Source>::place_tests(March& m) const {
    const int d = source_.count;
    // Without slopes at the nodes, the error near an end of the mass where the density is
    // infinite (x(u) flat there) is set by the polynomial's slope at the node, and is as large
    // at the node as anywhere: the first and last intervals are tested close to it as well.
    double extra[2];
    int extras = 0;
    if constexpr (!Source::has_density) {
        if (m.cur.x == first_x_) extra[extras++] = 1e-3 * m.vs[1];
        if (m.e == last_x_) extra[extras++] = m.vs[d - 1] - 1e-3 * (m.vs[d - 1] - m.vs[d - 2]);
    }
    // The test points (up to the first outside its gap) depend on the nodes only.
    m.tests = d - 1 + extras;
    m.inside = 0;
    double peak[kMaxNodes];
    largest_error_points(m.vs, source_.mult, d, peak);
    for (int j = 0; j < m.tests; ++j) {
        const int i = j + 1;
        const int k = i < d ? i : (extra[i - d] < m.vs[1] ? 1 : d - 1);
        m.gap[j] = k;
        m.at_v[j] = i < d ? peak[k] : extra[i - d];
        InterpolatedInverse::newton_with_slope(m.p, m.at_v[j], m.at_x[j], m.at_dx[j]);
        // A gap with no double inside has nothing between its nodes to test (read_tests passes
        // it by): its node stands in for the point, so that the points after it are announced.
        const bool empty = no_double_between(m.xs[k - 1], m.xs[k]);
        if (empty) m.at_x[j] = m.xs[k];
        if (m.inside == j && (empty || (m.at_x[j] > m.xs[k - 1] && m.at_x[j] < m.xs[k]))) {
            ++m.inside;
        }
    }
}

template <class Source>
auto InverseBuilder<Source>::read_tests(March& m) -> Outcome {
    const Node& cur = m.cur;
    const bool use_left = cur.left <= cur.right;
    const double limit = kAccept * target_;
    double error = 0.0;
    double excess = 0.0;
    for (int j = 0; j < m.tests; ++j) {
        const int k = m.gap[j];
        const double v = m.at_v[j];
        const double x = m.at_x[j];
        const double dx = m.at_dx[j];
        // Between neighbouring doubles a quantile can only be one of the two: the step's own
        // mass is the error there, whatever the polynomial, reported as it is.
        if (no_double_between(m.xs[k - 1], m.xs[k])) {
            error = std::max(error, m.vs[k] - m.vs[k - 1]);
            continue;
        }
        if (!(x > m.xs[k - 1] && x < m.xs[k])) return {false, 0.5};
        const Node test = source_.node_at(x, cur.left, m.near);
        if (source_.failed()) return {false, 0.5};
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
            const double reach = std::max(v - m.vs[k - 1], m.vs[k] - v);
            e_k += 0.5 * std::fabs(slope) * reach;
        } else {
            density = (m.vs[k] - m.vs[k - 1]) * mass_ / (m.xs[k] - m.xs[k - 1]);
        }
        const double step = std::nextafter(x, std::numeric_limits<double>::infinity()) - x;
        const double allowed = std::max(limit, 2.0 * density * step / mass_);
        error = std::max(error, e_k);
        excess = std::max(excess, e_k / allowed);
        if (excess > 1.0) break;
    }
    const double ratio =
        std::pow(kAim / kAccept / std::max(excess, 1e-300), 1.0 / (m.degree + 1));
    if (excess > 1.0) return {false, std::clamp(ratio, 0.1, 0.8)};
    add_piece(m, cur, m.vs[source_.count - 1], m.p, error);
    return {true, std::clamp(ratio, 0.6, 2.0)};
}

template <class Source>
BuildResult<void> InverseBuilder<Source>::side_by_side(const std::vector<March*>& marches) {
    std::vector<double> points;
    const auto marching = [&] {
        return std::any_of(marches.begin(), marches.end(), [](const March* m) { return !m->done; });
    };
    while (marching()) {
        points.clear();
        for (const March* m : marches) wanted(*m, points);
        source_.prefetch(points);
        for (March* m : marches) {
            advance(*m);
            if (source_.failed()) return std::unexpected(source_.error());
            if (fault_) return std::unexpected(*fault_);
        }
    }
    return {};
}

template <class Source>
BuildResult<void> InverseBuilder<Source>::march_all(std::vector<March>& marches) {
    const std::size_t parts = std::min(threads_, marches.size() / kMinMarchesPerThread);
    if constexpr (Source::has_density) {
        if (parts > 1 && !source_.batched()) {
            const std::vector<March> fresh = marches;
            if (march_on_threads(marches, parts)) return {};
            marches = fresh;
        }
    }
    std::vector<March*> all;
    all.reserve(marches.size());
    for (March& m : marches) all.push_back(&m);
    return side_by_side(all);
}

// Part p takes marches p, p + parts, p + 2 parts, ...: neighbouring marches cost about the
// same, so the parts do too.
template <class Source>
bool InverseBuilder<Source>::march_on_threads(std::vector<March>& marches, std::size_t parts) {
    struct Part {
        std::vector<March*> marches;
        std::optional<DensityProbe> probe;
        double max_error = 0.0;
        bool ok = false;
        std::exception_ptr thrown;
    };
    std::vector<Part> out(parts);
    for (std::size_t i = 0; i < marches.size(); ++i) out[i % parts].marches.push_back(&marches[i]);
    run_parts(parts, [this, &out](std::size_t p) noexcept {
        Part& part = out[p];
        try {
            part.probe.emplace(source_.probe().fork());
            Source source(*part.probe, source_);
            InverseBuilder sub(source, *this);
            part.ok = sub.side_by_side(part.marches).has_value();
            part.max_error = sub.max_error_;
        } catch (...) {
            part.thrown = std::current_exception();
        }
    });
    for (const Part& part : out) {
        if (part.thrown) std::rethrow_exception(part.thrown);
    }
    if (!std::all_of(out.begin(), out.end(), [](const Part& part) { return part.ok; })) {
        return false;
    }
    for (const Part& part : out) {
        source_.probe().add_reads(*part.probe);
        max_error_ = std::max(max_error_, part.max_error);
    }
    return true;
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
    const Node& a = range->a;
    const Node& b = range->b;
    first_x_ = a.x;
    last_x_ = b.x;

    // The range is marched in parts that start at points the source knows without a call,
    // each part on its own; the parts advance side by side, a stage each in turn, so that the
    // points of all are announced together.
    const std::vector<Start> starts = source_.starts(*range, per_part_);
    std::vector<March> marches(starts.size());
    for (std::size_t i = 0; i < starts.size(); ++i) {
        March& m = marches[i];
        m.pieces.reserve(kPiecesAhead);
        m.cur = starts[i].node;
        m.h = starts[i].h;
        m.end = i + 1 < starts.size() ? starts[i + 1].node : b;
        m.bp = static_cast<std::size_t>(
            std::upper_bound(breakpoints_.begin(), breakpoints_.end(), m.cur.x) -
            breakpoints_.begin());
        if (m.cur.x < m.end.x) {
            begin(m);
        } else {
            m.done = true;
        }
    }
    if (auto r = march_all(marches); !r) return r;

    std::size_t pieces = 3;  // with the straight pieces at the ends and the closing edge
    for (const March& m : marches) pieces += m.pieces.size();
    for (auto* v : {&out_.x_, &out_.u_, &out_.s_, &out_.width_}) v->reserve(pieces);
    out_.polys_.reserve(pieces);
    if (a.x > lo) {
        March m;
        add_straight(m, start, a, a.left / mass_);
        emit(m.pieces.front());
    }
    for (const March& m : marches) {
        for (const Piece& piece : m.pieces) emit(piece);
    }
    if (b.x < hi) {
        March m;
        add_straight(m, b, end, b.right / mass_);
        emit(m.pieces.front());
    }

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

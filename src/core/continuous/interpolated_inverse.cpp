#include "core/continuous/interpolated_inverse.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "core/search.hpp"

namespace varnix {

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
    [[maybe_unused]] const auto& [table, lo, hi, u_resolution, order, max_u_error, density_calls,
                                  x, u, s, width, polys, guide, guide_scale] = *this;
    State st{lo, hi, u_resolution, order, max_u_error, density_calls, x, u, s, width, {}, {}};
    st.coefficients.reserve(10 * polys.size());
    for (const Poly& p : polys) {
        st.coefficients.insert(st.coefficients.end(), p.c, p.c + 6);
        st.coefficients.insert(st.coefficients.end(), p.v, p.v + 4);
    }
    if (table) st.panels = table->state();
    return st;
}

StateResult<InterpolatedInverse> InterpolatedInverse::from_state(State st) {
    const std::size_t n = st.width.size();
    if (n == 0 || n >= UINT32_MAX || st.x.size() != n + 1 || st.u.size() != n + 1 ||
        st.s.size() != n + 1 || st.coefficients.size() != 10 * n) {
        return state_refused("interpolation sizes do not match");
    }
    if (!(st.u_resolution >= min_u_resolution && st.u_resolution <= max_u_resolution) ||
        st.order < 3 || st.order > 5 || !std::isfinite(st.max_u_error) || st.max_u_error < 0.0) {
        return state_refused("interpolation settings out of range");
    }
    // The edges run over the support, or over a window of it when it is wide or unbounded.
    if (std::isnan(st.lo) || std::isnan(st.hi) || !(st.lo < st.hi) ||
        !std::isfinite(st.x.front()) || !std::isfinite(st.x.back()) || st.x.front() < st.lo ||
        st.x.back() > st.hi) {
        return state_refused("interpolation interval is not finite and ordered");
    }
    for (const double c : st.coefficients) {
        if (!std::isfinite(c)) return state_refused("interpolation coefficient is not finite");
    }
    if (st.u.back() != std::numeric_limits<double>::infinity() || st.s.back() != 0.0) {
        return state_refused("interpolation sentinels are missing");
    }
    for (std::size_t i = 0; i < n; ++i) {
        const bool finite = std::isfinite(st.x[i]) && std::isfinite(st.u[i]) &&
                            std::isfinite(st.s[i]) && std::isfinite(st.width[i]);
        if (!finite || !(st.x[i] < st.x[i + 1]) || st.u[i] < 0.0 || st.u[i] > 1.0 ||
            st.s[i] < 0.0 || st.s[i] > 1.0 || st.width[i] < 0.0 || st.s[i + 1] > st.s[i] ||
            (i + 1 < n && st.u[i + 1] < st.u[i])) {
            return state_refused("interpolation nodes are not ordered");
        }
    }
    std::optional<PanelTable> table;
    if (st.panels) {
        if (st.panels->lo != st.x.front() || st.panels->hi != st.x.back()) {
            return state_refused("panel table and interpolation intervals differ");
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
        double r, d;
        newton_with_slope(p, v, r, d);
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

// Below the first edge and above the last, the mass is 0 to the resolution: the tails left to
// straight pieces, or cut off a wide or unbounded support, hold less.
double InterpolatedInverse::cdf(double x) const {
    if (!(x > x_.front())) return x <= x_.front() ? 0.0 : x;
    if (x >= x_.back()) return 1.0;
    const std::size_t k = count_below(x_.data(), x_.size(), x);
    if (x_[k] == x) return u_[k];
    const std::size_t i = k - 1;
    return u_[i] + solve(i, x);
}

double InterpolatedInverse::sf(double x) const {
    if (!(x > x_.front())) return x <= x_.front() ? 1.0 : x;
    if (x >= x_.back()) return 0.0;
    const std::size_t k = count_below(x_.data(), x_.size(), x);
    if (x_[k] == x) return s_[k];
    const std::size_t i = k - 1;
    return s_[i + 1] + (width_[i] - solve(i, x));
}

namespace {

// A tail beyond a window's edge e, continued as f(x) = f_e (d / d_e)^-p in the distance
// d = |x - m| from the median, out to the support's end: its mass and first two moments
// about m (the first with the sign of the side), in the panel table's units.
struct Tail {
    double decay = std::numeric_limits<double>::infinity();
    bool unbounded = false;
    double moment[3] = {0.0, 0.0, 0.0};
    double f_edge = 0.0;  // the density at the edge, in the table's units
    double d_edge = 0.0;  // the edge's distance from the median
    double d_end = 0.0;   // the support's end's (+inf for an infinite one)
};

Tail continue_tail(const PanelTable& t, bool upper, double m, double end) {
    Tail tail;
    const std::size_t n = t.panels();
    const std::size_t edge = upper ? n : 0;
    const double e = t.edges()[edge];
    const double fe = upper ? t.value_below_edge(n) : t.value_above_edge(0);
    const double de = std::abs(e - m);
    tail.unbounded = !std::isfinite(end);
    if (!(fe > 0.0) || !(de > 0.0)) return tail;
    // The decay between the edge and the nearest edge at most half as far from the median.
    std::optional<std::size_t> inner;
    for (std::size_t k = 1; k <= n; ++k) {
        const std::size_t j = upper ? n - k : k;
        const double d = std::abs(t.edges()[j] - m);
        if ((upper ? t.edges()[j] > m : t.edges()[j] < m) && d <= 0.5 * de) {
            inner = j;
            break;
        }
    }
    if (!inner) return tail;
    const double fi = upper ? t.value_above_edge(*inner) : t.value_below_edge(*inner);
    const double di = std::abs(t.edges()[*inner] - m);
    if (!(fi > fe)) return tail;
    tail.decay = std::log(fi / fe) / std::log(de / di);
    const double dend = std::abs(end - m);
    tail.f_edge = fe;
    tail.d_edge = de;
    tail.d_end = dend;
    const double sign = upper ? 1.0 : -1.0;
    for (int k = 0; k < 3; ++k) {
        const double a = static_cast<double>(k) + 1.0 - tail.decay;  // the power of d
        double integral;
        if (tail.unbounded) {
            integral = a < 0.0 ? fe * std::pow(de, k + 1) / -a
                               : std::numeric_limits<double>::quiet_NaN();
        } else {
            // f_e d_e^p (D^a - d_e^a) / a, written to stay finite for a large p.
            integral = fe * std::pow(de, k + 1) * std::expm1(a * std::log(dend / de)) / a;
        }
        tail.moment[k] = (k == 1 ? sign : 1.0) * integral;
    }
    return tail;
}

struct WholeMoments {
    double mean;
    double variance;
};

WholeMoments whole_moments(const PanelTable& t, double m, double lo, double hi, bool below,
                           bool above) {
    const Tail none;
    const Tail lower = below ? continue_tail(t, false, m, lo) : none;
    const Tail upper = above ? continue_tail(t, true, m, hi) : none;
    const double w = t.mass();
    const double shift = t.mean() - m;
    const double mass = w + lower.moment[0] + upper.moment[0];
    const double first = (w * shift + lower.moment[1] + upper.moment[1]) / mass;
    const double second =
        (w * (t.variance() + shift * shift) + lower.moment[2] + upper.moment[2]) / mass;
    return {m + first, second - first * first};
}

}  // namespace

double InterpolatedInverse::mean() const {
    if (!cut()) return panels().mean();
    return whole_moments(panels(), quantile(0.5), lo_, hi_, x_.front() > lo_, x_.back() < hi_)
        .mean;
}

double InterpolatedInverse::variance() const {
    if (!cut()) return panels().variance();
    return whole_moments(panels(), quantile(0.5), lo_, hi_, x_.front() > lo_, x_.back() < hi_)
        .variance;
}

double InterpolatedInverse::tail_decay() const {
    double p = std::numeric_limits<double>::infinity();
    if (!cut() || !table_) return p;
    const double m = quantile(0.5);
    if (x_.front() > lo_ && !std::isfinite(lo_)) {
        p = std::min(p, continue_tail(*table_, false, m, lo_).decay);
    }
    if (x_.back() < hi_ && !std::isfinite(hi_)) {
        p = std::min(p, continue_tail(*table_, true, m, hi_).decay);
    }
    return p;
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

namespace {

// The 8-point Gauss-Legendre rule on [0, 1]: nodes from Newton's method on the Legendre
// polynomial P_8, weights 1 / ((1 - z^2) P_8'(z)^2) for the node z in [-1, 1].
struct Quadrature {
    static constexpr int n = 8;
    double t[n];
    double w[n];
};

const Quadrature& gauss_legendre() {
    static const Quadrature rule = [] {
        Quadrature q{};
        constexpr int n = Quadrature::n;
        for (int i = 0; i < n; ++i) {
            double z = std::cos(3.141592653589793 * (i + 0.75) / (n + 0.5));
            double slope = 1.0;
            for (int it = 0; it < 100; ++it) {
                double p0 = 1.0;
                double p1 = z;
                for (int k = 2; k <= n; ++k) {
                    const double p2 = ((2 * k - 1) * z * p1 - (k - 1) * p0) / k;
                    p0 = p1;
                    p1 = p2;
                }
                slope = n * (z * p1 - p0) / (z * z - 1.0);
                const double step = p1 / slope;
                z -= step;
                if (std::fabs(step) <= 1e-16) break;
            }
            q.t[i] = 0.5 * (1.0 - z);
            q.w[i] = 1.0 / ((1.0 - z * z) * slope * slope);
        }
        return q;
    }();
    return rule;
}

}  // namespace

// The window's expectation and, beyond a cut side, the tail continued as in mean(): with
// t = d_edge / d, the tail's integral of func f dx is f_edge d_edge times the integral of
// func(x(t)) t^(p - 2) over t from d_edge / d_end (0 for an infinite end) to 1. With
// t = s^8 that integrand vanishes at s = 0 for every func growing more slowly than the tail
// falls by a margin of 1/8 in the power; it is taken by the 8-point Gauss-Legendre rule on
// each quarter of the range of s.
double InterpolatedInverse::expect(FunctionRef<double(double)> func) const {
    constexpr double kPower = 8.0;
    constexpr int kPieces = 4;
    const PanelTable& t = panels();
    const double window = t.expect(func);
    if (!cut()) return window;
    const double m = quantile(0.5);
    double sum = window * t.mass();
    double mass = t.mass();
    const Quadrature& rule = gauss_legendre();
    for (const bool upper : {false, true}) {
        const bool cut_side = upper ? x_.back() < hi_ : x_.front() > lo_;
        if (!cut_side) continue;
        const Tail tail = continue_tail(t, upper, m, upper ? hi_ : lo_);
        if (!(tail.decay > 1.0) || !std::isfinite(tail.decay)) continue;
        const double s_end = std::pow(tail.d_edge / tail.d_end, 1.0 / kPower);
        const double piece = (1.0 - s_end) / kPieces;
        double part = 0.0;
        for (int j = 0; j < kPieces; ++j) {
            for (int i = 0; i < Quadrature::n; ++i) {
                const double si = s_end + piece * (j + rule.t[i]);
                const double ti = std::pow(si, kPower);
                const double x = upper ? m + tail.d_edge / ti : m - tail.d_edge / ti;
                // dt = 8 s^7 ds
                part += rule.w[i] * func(x) * std::pow(ti, tail.decay - 2.0) * kPower *
                        std::pow(si, kPower - 1.0);
            }
        }
        sum += tail.f_edge * tail.d_edge * piece * part;
        mass += tail.moment[0];
    }
    return sum / mass;
}

namespace {

}  // namespace

double InterpolatedInverse::interpolant_entropy() const {
    // Each interval's own range of v, [0, width], carries its share of u; a jump of x over no
    // mass (an interval of width 0) adds nothing.
    const Quadrature& q = gauss_legendre();
    double h = 0.0;
    for (std::size_t i = 0; i < polys_.size(); ++i) {
        const double w = width_[i];
        if (!(w > 0.0)) continue;
        double sum = 0.0;
        for (int k = 0; k < Quadrature::n; ++k) {
            double x, dx;
            newton_with_slope(polys_[i], w * q.t[k], x, dx);
            if (!(dx > 0.0 && dx < std::numeric_limits<double>::infinity())) {
                return std::numeric_limits<double>::quiet_NaN();
            }
            sum += q.w[k] * std::log(dx);
        }
        h += w * sum;
    }
    return h;
}

std::size_t InterpolatedInverse::interpolation_bytes() const {
    return sizeof(InterpolatedInverse) - sizeof(PanelTable) +
           sizeof(double) * (x_.capacity() + u_.capacity() + s_.capacity() + width_.capacity()) +
           sizeof(Poly) * polys_.capacity() + sizeof(std::uint32_t) * guide_.capacity();
}

}  // namespace varnix

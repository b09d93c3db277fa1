#include "core/continuous/mass_window.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace varnix {

namespace {

constexpr int kLowestAtZero = -40;   // the first rung from 0: 2^-40
constexpr int kBelowMagnitude = 50;  // ... and from c != 0: 2^-50 of |c|, a few hundred ulps
constexpr int kTopExponent = 1023;   // the last: 2^1023, the largest power of two
constexpr int kSpareRungs = 6;       // quiet rungs past a negligible tail before a ladder stops
constexpr double kNoticeable = 1e-3; // of tail_share: a rung's share of the mass that counts
constexpr double kScaleFactor = 2.0; // the density's scale: where it changes by this factor
constexpr double kFinerThanScale = 16.0;  // rungs closer to their centre than scale / this go
constexpr double kEndShare = 0.01;   // mass next to a finite end left to the end model

constexpr double kNoMass = -std::numeric_limits<double>::infinity();

// Sums in the logarithm, so that a density of 1e300 over a width of 1e300 neither overflows
// nor loses the small terms' order of magnitude.
double log_add(double a, double b) {
    if (a == kNoMass) return b;
    if (b == kNoMass) return a;
    const double m = std::max(a, b);
    return m + std::log1p(std::exp(std::min(a, b) - m));
}

double log_of(double f) { return f > 0.0 ? std::log(f) : kNoMass; }

struct Rung {
    double x;
    double f;
    double distance;  // from its ladder's centre
};

// The logarithm of the mass beyond a point at distance d from the origin where the density is
// f, the density at distance d_in (closer in) being f_in: the power law through the two,
// integrated outwards. +inf when the two do not fall at least as 1/d (no finite tail), no mass
// when f is 0.
double log_tail(double f_in, double d_in, double f, double d) {
    if (!(f > 0.0)) return kNoMass;
    if (!(f_in > 0.0) || !(d > d_in) || !(d_in > 0.0)) return std::numeric_limits<double>::infinity();
    const double p = (std::log(f_in) - std::log(f)) / (std::log(d) - std::log(d_in));
    if (!(p > 1.0)) return std::numeric_limits<double>::infinity();
    return std::log(f) + std::log(d) - std::log(p - 1.0);
}

// One ladder from centre c towards end (direction +1 or -1): rungs at c + direction 2^k, up
// to the end (exclusive) or 2^1023.
class Ladder {
public:
    Ladder(DensityProbe& probe, double c, double direction, double end, double tail_share)
        : probe_(probe), c_(c), direction_(direction), end_(end), tail_share_(tail_share) {}

    // The point and value where a value that is not finite ended the climb, if one did.
    struct Stop {
        double x;
        double value;
    };
    std::optional<Stop> stopped;

    void climb(std::vector<Rung>& out) {
        std::vector<double> xs;
        const int k0 = c_ == 0.0 ? kLowestAtZero : std::ilogb(c_) - kBelowMagnitude;
        for (int k = k0; k <= kTopExponent; ++k) {
            const double x = c_ + direction_ * std::ldexp(1.0, k);
            if (x == c_ || (!xs.empty() && x == xs.back())) continue;
            if (!std::isfinite(x) || (direction_ > 0 ? x >= end_ : x <= end_)) break;
            xs.push_back(x);
        }
        if (probe_.batched()) probe_.prefetch(xs);
        double log_mass = kNoMass;
        int quiet = 0;
        const Rung* prev = nullptr;
        std::size_t first = out.size();
        for (const double x : xs) {
            // A value that is not finite ends the ladder (exp or cosh overflowing far out, as
            // a density written for its body does): the window is found from the points
            // before it, and a window that would need it fails the build with it.
            const double f = probe_.read_lenient(x);
            if (probe_.failed()) return;
            if (!std::isfinite(f)) {
                stopped = Stop{x, f};
                return;
            }
            const double d = std::abs(x - c_);
            if (prev != nullptr) {
                const double width = d - prev->distance;
                log_mass = log_add(log_mass, std::log(width) + log_of(0.5 * f + 0.5 * prev->f));
            } else {
                log_mass = log_of(f) + std::log(d);
            }
            out.push_back({x, f, d});
            prev = &out.back();
            const std::size_t n = out.size();
            if (n - first >= 2 && log_mass != kNoMass) {
                const Rung& in = out[n - 2];
                const double beyond = log_tail(in.f, in.distance, f, d);
                quiet = beyond <= log_mass + std::log(kNoticeable * tail_share_) ? quiet + 1 : 0;
                if (quiet >= kSpareRungs) return;
            }
        }
    }

private:
    DensityProbe& probe_;
    double c_;
    double direction_;
    double end_;
    double tail_share_;
};

// The distance from the centre below which a ladder's rungs are dropped: 1/16 of the first
// distance where the density differs from the first rung's by a factor of 2 (or, where that
// is 0, becomes positive).
double ladder_scale(const std::vector<Rung>& rungs, std::size_t first, std::size_t last) {
    if (first >= last) return 0.0;
    const double f0 = rungs[first].f;
    for (std::size_t i = first + 1; i < last; ++i) {
        const double f = rungs[i].f;
        const bool changed = f0 > 0.0 ? (f > kScaleFactor * f0 || f * kScaleFactor < f0) : f > 0.0;
        if (changed) return rungs[i].distance / kFinerThanScale;
    }
    return rungs[last - 1].distance / kFinerThanScale;
}

// For a ladder from a finite end, where the panel table fits a model to the density (a pole, or
// any shape) as close to the end as needed: the distance from the end within which the
// ladder's rungs hold less than kEndShare of its mass is left to that model.
double end_ladder_scale(const std::vector<Rung>& rungs, std::size_t first, std::size_t last) {
    if (first >= last) return 0.0;
    std::vector<double> cumulative(last - first);
    double log_mass = kNoMass;
    double prev = 0.0;
    for (std::size_t i = first; i < last; ++i) {
        const double width = rungs[i].distance - prev;
        log_mass = log_add(log_mass, log_of(rungs[i].f) + std::log(width));
        cumulative[i - first] = log_mass;
        prev = rungs[i].distance;
    }
    if (log_mass == kNoMass) return 0.0;
    const double log_share = log_mass + std::log(kEndShare);
    for (std::size_t i = first; i < last; ++i) {
        if (cumulative[i - first] >= log_share) return rungs[i].distance;
    }
    return 0.0;
}

// The search in named steps: read the ladders, survey what they saw, cut the sides, and lay
// out the first partition.
class WindowSearch {
public:
    WindowSearch(DensityProbe& probe, double lo, double hi, double tail_share,
                 std::span<const double> extra_centres)
        : probe_(probe), lo_(lo), hi_(hi), tail_share_(tail_share), extra_(extra_centres) {}

    BuildResult<MassWindow> run() {
        if (auto r = read(); !r) return std::unexpected(r.error());
        if (auto r = survey(); !r) return std::unexpected(r.error());
        auto w = cut();
        if (!w) return w;
        partition(*w);
        return w;
    }

private:
    static constexpr std::size_t kNoLadder = static_cast<std::size_t>(-1);

    struct Span {  // a ladder's rungs, [first, last), its centre and its scale
        std::size_t first, last;
        double centre;
        bool from_end;
        double scale;
    };

    BuildResult<void> read();
    BuildResult<void> survey();
    BuildResult<MassWindow> cut();
    void partition(MassWindow& w) const;
    std::optional<BuildError> stop_beyond(bool upper, double from) const;

    DensityProbe& probe_;
    double lo_;
    double hi_;
    double tail_share_;
    std::span<const double> extra_;
    // Every point read, in ladder order, and the ladders.
    std::vector<Rung> rungs_;
    std::vector<Span> spans_;
    std::vector<Ladder::Stop> stops_;  // where values that are not finite ended ladders
    // The points in order of x, each once, with its ladder, whether it is finer than that
    // ladder's scale, and its share of the mass seen.
    std::vector<Rung> sorted_;
    std::vector<std::size_t> ladder_of_;
    std::vector<bool> fine_;
    std::vector<double> log_share_;
    double log_mass_ = kNoMass;
    std::size_t mode_ = 0;
    double log_noticeable_ = 0.0;
};

// Centres: 0, the finite ends, the middle of a finite support and the caller's; each read
// once, then its two ladders.
BuildResult<void> WindowSearch::read() {
    std::vector<double> centres;
    if (lo_ < 0.0 && 0.0 < hi_) centres.push_back(0.0);
    if (std::isfinite(lo_)) centres.push_back(lo_);
    if (std::isfinite(hi_)) centres.push_back(hi_);
    if (std::isfinite(lo_) && std::isfinite(hi_)) {
        const double mid = 0.5 * lo_ + 0.5 * hi_;
        if (mid > lo_ && mid < hi_ && mid != 0.0) centres.push_back(mid);
    }
    for (const double c : extra_) {
        const bool known = std::find(centres.begin(), centres.end(), c) != centres.end();
        if (c > lo_ && c < hi_ && !known) centres.push_back(c);
    }
    if (centres.empty()) centres.push_back(0.0);  // (-inf, inf) without 0 cannot happen
    for (const double c : centres) {
        if (c > lo_ && c < hi_) {
            const double f = probe_(c);
            if (probe_.failed()) return std::unexpected(probe_.error());
            rungs_.push_back({c, f, 0.0});
        }
        for (const double direction : {-1.0, 1.0}) {
            const double end = direction > 0 ? hi_ : lo_;
            if (c == end) continue;
            const std::size_t first = rungs_.size();
            Ladder ladder(probe_, c, direction, end, tail_share_);
            ladder.climb(rungs_);
            if (probe_.failed()) return std::unexpected(probe_.error());
            if (ladder.stopped) stops_.push_back(*ladder.stopped);
            const bool from_end = c == lo_ || c == hi_;
            spans_.push_back({first, rungs_.size(), c, from_end,
                              from_end ? end_ladder_scale(rungs_, first, rungs_.size())
                                       : ladder_scale(rungs_, first, rungs_.size())});
        }
    }
    return {};
}

// The points in order, each rung's ladder and whether it is finer than the ladder's scale, and
// the mass seen: trapezoids between neighbouring points, and each point's share of it.
BuildResult<void> WindowSearch::survey() {
    std::vector<bool> fine(rungs_.size(), false);
    std::vector<std::size_t> ladder_of(rungs_.size(), kNoLadder);
    for (std::size_t j = 0; j < spans_.size(); ++j) {
        const Span& s = spans_[j];
        for (std::size_t i = s.first; i < s.last; ++i) {
            fine[i] = rungs_[i].distance < s.scale;
            ladder_of[i] = j;
        }
    }
    std::vector<std::size_t> order(rungs_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return rungs_[a].x < rungs_[b].x; });
    for (const std::size_t i : order) {
        if (!sorted_.empty() && sorted_.back().x == rungs_[i].x) continue;
        sorted_.push_back(rungs_[i]);
        fine_.push_back(fine[i]);
        ladder_of_.push_back(ladder_of[i]);
    }
    const std::size_t n = sorted_.size();
    if (n == 0) return std::unexpected(BuildError::density_zero(lo_, hi_, 0.0));

    log_share_.assign(n, kNoMass);
    for (std::size_t i = 0; i < n; ++i) {
        if (sorted_[i].f > sorted_[mode_].f) mode_ = i;
        const double left = i > 0 ? sorted_[i].x - sorted_[i - 1].x : 0.0;
        const double right = i + 1 < n ? sorted_[i + 1].x - sorted_[i].x : 0.0;
        const double half = 0.5 * left + 0.5 * right;
        log_share_[i] = log_of(sorted_[i].f) + std::log(half);
        log_mass_ = log_add(log_mass_, log_share_[i]);
    }
    if (log_mass_ == kNoMass || !(sorted_[mode_].f > 0.0)) {
        // Nothing seen: a value that is not finite ending a ladder is the likelier fault.
        if (!stops_.empty()) {
            return std::unexpected(
                BuildError::density_not_finite(stops_.front().x, stops_.front().value));
        }
        return std::unexpected(
            BuildError::density_zero(lo_, hi_, static_cast<double>(probe_.calls())));
    }
    log_noticeable_ = log_mass_ + std::log(kNoticeable * tail_share_);
    return {};
}

// A side that cannot be cut, where a value that is not finite ended a ladder: that value is
// the fault to report (the innermost one on that side).
std::optional<BuildError> WindowSearch::stop_beyond(bool upper, double from) const {
    std::optional<Ladder::Stop> found;
    for (const Ladder::Stop& st : stops_) {
        const bool beyond = upper ? st.x > from : st.x < from;
        if (beyond && (!found || std::abs(st.x - from) < std::abs(found->x - from))) found = st;
    }
    if (!found) return std::nullopt;
    return BuildError::density_not_finite(found->x, found->value);
}

// Each side: the first point out from the last one that holds a noticeable share of the mass
// (and from the mode) whose tail is small; on a finite side where there is none, the end.
BuildResult<MassWindow> WindowSearch::cut() {
    const std::size_t n = sorted_.size();
    const double log_cut = log_mass_ + std::log(tail_share_);
    std::size_t first_noticed = n;
    std::size_t last_noticed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (log_share_[i] >= log_noticeable_) {
            first_noticed = std::min(first_noticed, i);
            last_noticed = i;
        }
    }
    if (first_noticed == n) first_noticed = last_noticed = mode_;

    const double origin = sorted_[mode_].x;
    auto tail_beyond = [&](std::size_t in, std::size_t out) {
        return log_tail(sorted_[in].f, std::abs(sorted_[in].x - origin), sorted_[out].f,
                        std::abs(sorted_[out].x - origin));
    };
    std::optional<std::size_t> upper;
    for (std::size_t j = std::max(last_noticed, mode_ + 1); j < n; ++j) {
        if (tail_beyond(j - 1, j) <= log_cut) {
            upper = j;
            break;
        }
    }
    std::optional<std::size_t> lower;
    for (std::size_t j = std::min(first_noticed, mode_ == 0 ? 0 : mode_ - 1) + 1; j-- > 0;) {
        if (j + 1 < n && tail_beyond(j + 1, j) <= log_cut) {
            lower = j;
            break;
        }
    }
    // Each side ends at its cut, or else at the support's own end: one the ladder could not
    // pass, or a finite one; an infinite end with no cut means the mass does not decay.
    MassWindow w{lo_, hi_, {}};
    const auto close = [&](bool at_hi, std::optional<std::size_t> cut,
                           double& edge) -> std::optional<BuildError> {
        const double last = at_hi ? sorted_.back().x : sorted_.front().x;
        if (cut) {
            edge = sorted_[*cut].x;
            return std::nullopt;
        }
        if (auto e = stop_beyond(at_hi, last)) return e;
        if (!std::isfinite(at_hi ? hi_ : lo_)) {
            return BuildError::mass_not_found(detail_text::mass_not_decaying, last);
        }
        return std::nullopt;
    };
    if (auto e = close(true, upper, w.hi)) return std::unexpected(*e);
    if (auto e = close(false, lower, w.lo)) return std::unexpected(*e);
    return w;
}

// The first partition: the points inside the window, less those finer than their ladder's
// scale and those in a run of points that hold no noticeable mass. Next to a finite end the
// window keeps, the panel table's even grid and its model of the density at the end do as they
// do on any finite interval: the ladder from that end starts a grid step out.
void WindowSearch::partition(MassWindow& w) const {
    const std::size_t n = sorted_.size();
    const double even_step = (0.5 * w.hi - 0.5 * w.lo) / 16.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = sorted_[i].x;
        if (!(x > w.lo && x < w.hi) || fine_[i]) continue;
        if (ladder_of_[i] != kNoLadder) {
            const Span& sp = spans_[ladder_of_[i]];
            const bool kept_end = sp.from_end && (sp.centre == w.lo || sp.centre == w.hi);
            if (kept_end && sorted_[i].distance < even_step) continue;
        }
        const bool quiet = log_share_[i] < log_noticeable_;
        const bool quiet_left = i == 0 || log_share_[i - 1] < log_noticeable_;
        const bool quiet_right = i + 1 == n || log_share_[i + 1] < log_noticeable_;
        if (quiet && quiet_left && quiet_right) continue;
        w.grid.push_back(x);
    }
}

}  // namespace

BuildResult<MassWindow> find_mass_window(DensityProbe& probe, double lo, double hi,
                                         double tail_share,
                                         std::span<const double> extra_centres) {
    return WindowSearch(probe, lo, hi, tail_share, extra_centres).run();
}

}  // namespace varnix

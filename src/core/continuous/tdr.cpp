#include "core/continuous/tdr.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "core/finite.hpp"
#include "core/search.hpp"

namespace varnix {

// Evaluation order is frozen (docs/architecture.md): the density calls, the uniforms and the
// arithmetic groupings below follow one fixed sequence.

namespace {

// The normalised running sum of the segment areas, summed from +0.0 in segment order, with the
// last entry exactly 1.0. Evaluation order is frozen (docs/architecture.md).
void cumulate_areas(const std::vector<double>& areas, double total, std::vector<double>& cum) {
    const std::size_t k = areas.size();
    cum.resize(k);
    double running = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
        running = running + areas[j] / total;
        cum[j] = running;
    }
    cum[k - 1] = 1.0;
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Below this an exponential keeps fewer than all its digits (2^-1022 * 2^52): the direct area
// formulas are used only above it.
constexpr double kTinyExp = 0x1.0p-970;
// A segment whose hat changes by less than this factor (in ln) from end to end is flat: it is
// drawn uniformly. Above it the exponential forms are used; below it the difference of the
// end exponentials would cancel to a few digits.
constexpr double kFlatSpread = 0x1.0p-28;
// ln f below this (f under 1e-304) is near underflow: the density's last digits, and so its
// numeric slope, are noise there.
constexpr double kNegligibleLog = -700.0;
// A density this far (in ln) below its largest value at the construction points has no mass
// to speak of (e^-60 is 1e-26): log-concavity is not judged there.
constexpr double kMassless = 60.0;

BuildError hat_failed() { return BuildError::of(BuildErrorKind::TdrHatFailed); }

// One density value during the build: a negative value is a fault of the density.
struct Probe {
    FunctionRef<double(double)> f;
    std::optional<BuildError>* error;

    double operator()(double x) const {
        const double v = f(x);
        if (v < 0.0 && !*error) *error = BuildError::density_negative(x, v);
        return v;
    }
};

// Central difference where both neighbours lie in the support, one-sided near an end.
double numeric_derivative(const Probe& f, double lo, double hi, double step, double x) {
    if (lo <= x - step && x + step <= hi) {
        const double up = f(x + step);
        if (*f.error) return kNaN;
        const double down = f(x - step);
        if (!std::isfinite(up) || !std::isfinite(down)) return kNaN;
        return (up - down) / (step * 2.0);
    }
    if (lo <= x - step) {
        const double here = f(x);
        if (*f.error) return kNaN;
        const double down = f(x - step);
        if (!std::isfinite(here) || !std::isfinite(down)) return kNaN;
        return (here - down) / step;
    }
    if (x + step <= hi) {
        const double up = f(x + step);
        if (*f.error) return kNaN;
        const double here = f(x);
        if (!std::isfinite(up) || !std::isfinite(here)) return kNaN;
        return (up - here) / step;
    }
    return kNaN;
}

// The largest finite value of f found by a golden-section search for the maximum on [a, b],
// the ends included where they are the support's ends (a monotone density peaks there). For a
// unimodal f the search closes in on the maximum; it stops when the bracket is 1e-13 of the
// support wide, or at a negative value. 0 if no value is finite and positive.
double golden_maximum(const Probe& f, double a, double b, bool with_a, bool with_b,
                      double width) {
    constexpr double kShrink = 0.6180339887498949;  // 1 / golden ratio
    double best = 0.0;
    auto value = [&](double x) {
        const double v = f(x);
        if (!std::isfinite(v)) return -kInf;
        best = std::max(best, v);
        return v;
    };
    if (with_a) value(a);
    if (with_b) value(b);
    double c = b - kShrink * (b - a);
    double d = a + kShrink * (b - a);
    double fc = value(c);
    double fd = value(d);
    for (int i = 0; i < 200 && !*f.error && b - a > width * 1e-13 && a < c && c < d && d < b; ++i) {
        if (fc >= fd) {
            b = d;
            d = c;
            fd = fc;
            c = b - kShrink * (b - a);
            fc = value(c);
        } else {
            a = c;
            c = d;
            fc = fd;
            d = a + kShrink * (b - a);
            fd = value(d);
        }
    }
    return best;
}

}  // namespace

BuildResult<TdrHat> TdrHat::build(const TdrOptions& options, Interval support,
                                  FunctionRef<double(double)> density,
                                  std::optional<FunctionRef<double(double)>> derivative) {
    TdrHat hat;
    hat.options_ = options;
    hat.lo_ = support.lo();
    hat.hi_ = support.hi();
    if (options.transform == TdrTransform::InvSqrt) return std::move(hat).build_constant(density);
    return std::move(hat).build_tangent(density, derivative);
}

// --- Constant hat ------------------------------------------------------------------------------

// The largest value on a scan of cell midpoints, then a golden-section search for the maximum
// between the best midpoint's neighbours (or the support's ends), which holds the maximum of a
// unimodal density. When the search finds more than the scan, the hat is raised a little above
// the value found; otherwise the scan's value stands.
BuildResult<TdrHat> TdrHat::build_constant(FunctionRef<double(double)> density) && {
    kind_ = Kind::Constant;
    std::optional<BuildError> error;
    const Probe f{density, &error};
    const std::size_t m = std::max<std::size_t>(options_.construction_points, 32);
    auto midpoint = [&](std::size_t i) {
        return ((static_cast<double>(i) + 0.5) / static_cast<double>(m)) * (hi_ - lo_) + lo_;
    };
    double pdf_max = 0.0;
    std::size_t best = m;
    for (std::size_t i = 0; i < m; ++i) {
        const double w = f(midpoint(i));
        if (error) return std::unexpected(*error);
        if (std::isfinite(w) && w > pdf_max) {
            pdf_max = w;
            best = i;
        }
    }
    if (!finite_positive(pdf_max)) return std::unexpected(hat_failed());

    const double a = best == 0 ? lo_ : midpoint(best - 1);
    const double b = best + 1 == m ? hi_ : midpoint(best + 1);
    const double found = golden_maximum(f, a, b, best == 0, best + 1 == m, hi_ - lo_);
    if (error) return std::unexpected(*error);
    if (found > pdf_max * (1.0 + 0x1.0p-30)) pdf_max = found * (1.0 + 0x1.0p-20);
    pdf_max_ = pdf_max;
    return std::move(*this);
}

// --- Tangent hat -------------------------------------------------------------------------------

BuildResult<TdrHat> TdrHat::build_tangent(FunctionRef<double(double)> density,
                                          std::optional<FunctionRef<double(double)>> derivative) && {
    kind_ = Kind::Tangent;
    if (auto e = add_tangents(construction_points(), density, derivative)) return std::unexpected(*e);
    if (xs_.size() < 4) return std::unexpected(hat_failed());
    judged_above_ = std::max(kNegligibleLog, *std::max_element(ys_.begin(), ys_.end()) - kMassless);
    if (auto e = check_slopes()) return std::unexpected(*e);
    std::vector<double> at_z;  // the density at each intersection (NaN where not looked at)
    if (intersect_tangents() && integrate_segments()) {
        if (auto e = probe_intersections(density, at_z)) return std::unexpected(*e);
    } else {
        relative_ = true;
        drop_negligible_points();
        if (xs_.size() < 2) return std::unexpected(hat_failed());
        intersect_tangents_relative();
        if (auto e = probe_intersections(density, at_z)) return std::unexpected(*e);
        if (auto e = integrate_segments_relative(at_z)) return std::unexpected(*e);
    }
    make_chords();
    make_lookups();
    if (auto e = check_intersections(at_z)) return std::unexpected(*e);
    return std::move(*this);
}

// Cell midpoints, then one point just inside each end; sorted, without near duplicates.
std::vector<double> TdrHat::construction_points() const {
    const double lo = lo_;
    const double hi = hi_;
    const std::size_t n = std::max<std::size_t>(options_.construction_points, 4);
    std::vector<double> candidates;
    candidates.reserve(n + 2);
    for (std::size_t j = 0; j < n; ++j) {
        candidates.push_back(lo + ((static_cast<double>(j) + 0.5) / static_cast<double>(n)) * (hi - lo));
    }
    const double e = (hi - lo) * 1e-12;
    candidates.push_back(lo + e);
    candidates.push_back(hi - e);
    std::erase_if(candidates, [&](double x) { return !(std::isfinite(x) && lo < x && x < hi); });
    std::sort(candidates.begin(), candidates.end());
    std::vector<double> points;
    points.reserve(candidates.size());
    for (double x : candidates) {
        if (points.empty() || !(std::fabs(x - points.back()) < 1e-12)) points.push_back(x);
    }
    return points;
}

// A tangent to ln f at every point where the density is finite and positive and the
// derivative finite. A negative density value ends the build.
std::optional<BuildError> TdrHat::add_tangents(
    const std::vector<double>& points, FunctionRef<double(double)> density,
    std::optional<FunctionRef<double(double)>> derivative) {
    std::optional<BuildError> error;
    const Probe f{density, &error};
    double step = (hi_ - lo_) * options_.dpdf_rel_step;
    if (!(step >= 0x1.0p-26)) step = 0x1.0p-26;  // also replaces a NaN step

    for (double x : points) {
        const double fx = f(x);
        if (error) return error;
        if (!finite_positive(fx)) continue;
        const double d = derivative ? (*derivative)(x) : numeric_derivative(f, lo_, hi_, step, x);
        if (error) return error;
        if (!std::isfinite(d)) continue;
        xs_.push_back(x);
        ys_.push_back(std::log(fx));
        slopes_.push_back(d / fx);
    }
    return std::nullopt;
}

// The slopes of ln f must fall from point to point. A rise between two points, weighted by
// their distance, is about eight times how far the density then climbs above its tangents.
// Points where the density is near underflow, or massless beside its peak, are not judged.
std::optional<BuildError> TdrHat::check_slopes() const {
    for (std::size_t j = 0; j + 1 < xs_.size(); ++j) {
        if (ys_[j] < judged_above_ || ys_[j + 1] < judged_above_) continue;
        const double rise = (slopes_[j + 1] - slopes_[j]) * (xs_[j + 1] - xs_[j]);
        if (rise > 8.0 * kConcavityTolerance) return tangents_failed(j, {});
    }
    return std::nullopt;
}

// A check that rests on the tangents, and so on the derivative, failed between points j and
// j + 1. The density is blamed only when its own values show that ln f is not concave: a value
// below the chord of ln f between its neighbours, by more than the tolerance, among the values
// at the construction points and (where given) at the intersections between them. Such a value
// near the pair names the pair, one elsewhere names its neighbours. Without one the tangents
// may be what is wrong (a derivative that is not the density's, or a difference step too
// coarse), and the hat could not be built.
BuildError TdrHat::tangents_failed(std::size_t j, const std::vector<double>& at_z) const {
    // The density values in ascending x: each construction point, then the intersection after
    // it where it was probed and lies strictly between the two points.
    std::vector<double> px;
    std::vector<double> py;
    px.reserve(2 * xs_.size());
    py.reserve(2 * xs_.size());
    for (std::size_t i = 0; i < xs_.size(); ++i) {
        px.push_back(xs_[i]);
        py.push_back(ys_[i]);
        if (i < at_z.size() && finite_positive(at_z[i]) && xs_[i] < z_[i] && z_[i] < xs_[i + 1]) {
            px.push_back(z_[i]);
            py.push_back(std::log(at_z[i]));
        }
    }
    std::optional<BuildError> elsewhere;
    for (std::size_t i = 1; i + 1 < px.size(); ++i) {
        if (std::min({py[i - 1], py[i], py[i + 1]}) < judged_above_) continue;
        const double t = (px[i] - px[i - 1]) / (px[i + 1] - px[i - 1]);
        const double chord = py[i - 1] + (py[i + 1] - py[i - 1]) * t;
        if (!(chord - py[i] > kConcavityTolerance)) continue;
        if (px[i - 1] <= xs_[j + 1] && xs_[j] <= px[i + 1]) {
            return BuildError::tdr_not_log_concave(xs_[j], xs_[j + 1]);
        }
        if (!elsewhere) elsewhere = BuildError::tdr_not_log_concave(px[i - 1], px[i + 1]);
    }
    return elsewhere ? *elsewhere : hat_failed();
}

// Intersections of neighbouring tangents, clamped to the support; false unless every pair
// meets at a finite point and the intersections are in order.
bool TdrHat::intersect_tangents() {
    const std::size_t k = xs_.size();
    z_.resize(k - 1);
    for (std::size_t j = 0; j + 1 < k; ++j) {
        const double s0 = slopes_[j];
        const double s1 = slopes_[j + 1];
        if (std::fabs(s0 - s1) < 1e-14) return false;
        const double z = (((ys_[j + 1] - ys_[j]) + s0 * xs_[j]) - s1 * xs_[j + 1]) / (s0 - s1);
        if (!std::isfinite(z)) return false;
        z_[j] = z < lo_ ? lo_ : (z > hi_ ? hi_ : z);
    }
    for (std::size_t j = 0; j + 2 < k; ++j) {
        if (z_[j] > z_[j + 1]) return false;
    }
    return true;
}

// The area under the hat on each segment by the exponentials of the segment's ends and of the
// tangent's intercept, and the cumulative fractions; false unless every area and their total
// are finite and positive and no exponential has lost digits to underflow (or their difference
// to cancellation).
bool TdrHat::integrate_segments() {
    const std::size_t k = xs_.size();
    std::vector<double> areas(k);
    segments_.resize(k);
    double total = -0.0;
    for (std::size_t j = 0; j < k; ++j) {
        const double left = segment_left(j);
        const double right = segment_right(j);
        const double s = slopes_[j];
        const double a = ys_[j] - xs_[j] * s;
        const double spread = std::fabs(s) * (right - left);
        const double ea = std::exp(a);
        if (!(ea >= kTinyExp && ea < kInf)) return false;
        Segment& seg = segments_[j];
        seg = Segment{left, right, s, a, xs_[j], ys_[j], 0.0, 0.0, Spread::Flat};
        double area;
        if (std::fabs(s) < 1e-12) {
            if (spread > kFlatSpread) return false;
            area = (right - left) * ea;
            seg.span = right - left;
        } else {
            if (!(spread >= kFlatSpread)) return false;
            const double e_left = std::exp(left * s);
            const double e_right = std::exp(right * s);
            if (!(std::max(e_left, e_right) >= kTinyExp)) return false;
            area = (e_right - e_left) * (ea / s);
            seg.base = e_left;
            seg.span = e_right - e_left;
            seg.spread = Spread::Direct;
        }
        if (!(std::isfinite(area) && area >= std::numeric_limits<double>::min())) return false;
        areas[j] = area;
        total = total + area;
    }
    if (!(std::isfinite(total) && total >= std::numeric_limits<double>::min())) return false;

    cumulate_areas(areas, total, cum_);
    return true;
}

// Points where the density is near underflow carry no mass, and their numeric slopes are
// noise: the relative hat is built without them.
void TdrHat::drop_negligible_points() {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < xs_.size(); ++i) {
        if (ys_[i] < kNegligibleLog) continue;
        xs_[kept] = xs_[i];
        ys_[kept] = ys_[i];
        slopes_[kept] = slopes_[i];
        ++kept;
    }
    xs_.resize(kept);
    ys_.resize(kept);
    slopes_.resize(kept);
}

// Intersections measured from the left point of each pair and kept between the pair's points.
// Any tangent of a concave ln f lies above it everywhere, so a pair whose tangents are parallel
// (an exactly exponential stretch, where they are one line) or meet outside their points from
// rounding is split at the middle, or at the nearer point.
void TdrHat::intersect_tangents_relative() {
    const std::size_t k = xs_.size();
    z_.assign(k - 1, 0.0);
    for (std::size_t j = 0; j + 1 < k; ++j) {
        const double width = xs_[j + 1] - xs_[j];
        const double fall = slopes_[j] - slopes_[j + 1];
        double u = width * 0.5;
        if (fall > 0.0) {
            const double v = ((ys_[j + 1] - ys_[j]) - slopes_[j + 1] * width) / fall;
            if (!std::isnan(v)) u = std::clamp(v, 0.0, width);
        }
        z_[j] = std::min(xs_[j] + u, xs_[j + 1]);
    }
}

// The areas relative to the largest, each from the hat's highest end of its segment, so that
// nothing overflows however steep or high the tangents are; segments too small to register
// beside the largest get no mass. Each tangent is first raised to the density at its
// segment's inner ends: a numeric slope is slightly off, and on a nearly exponential stretch
// the error grows with the distance from the point, so that far from it the tangent of a
// log-concave density can pass under it; a line that covers a log-linear piece at both ends
// covers it throughout. A tangent is raised only as far as a slope off by 5% explains (or by
// the concavity tolerance); a density that needs more is not log-concave there.
std::optional<BuildError> TdrHat::integrate_segments_relative(const std::vector<double>& at_z) {
    const std::size_t k = xs_.size();
    std::vector<double> log_areas(k);
    segments_.resize(k);
    double top = -kInf;
    for (std::size_t j = 0; j < k; ++j) {
        const double left = segment_left(j);
        const double right = segment_right(j);
        const double width = right - left;
        const double s = slopes_[j];
        double level = ys_[j];  // the tangent at its point, raised where it must be
        for (std::size_t end : {j - 1, j}) {
            if (end >= at_z.size() || !finite_positive(at_z[end])) continue;
            const double reach = z_[end] - xs_[j];
            const double raise = (std::log(at_z[end]) - s * reach) - ys_[j];
            if (raise > std::max(kConcavityTolerance, 0.05 * std::fabs(s * reach)) &&
                std::log(at_z[end]) >= judged_above_) {
                return tangents_failed(end < j ? j - 1 : j, at_z);
            }
            level = std::max(level, ys_[j] + raise);
        }
        Segment& seg = segments_[j];
        seg = Segment{left, right, s, level - xs_[j] * s, xs_[j], level, 0.0, width, Spread::Flat};
        double log_area;
        if (!(width > 0.0)) {
            log_area = -kInf;
        } else if (std::fabs(s) * width <= kFlatSpread) {
            log_area = (level + s * ((left + width * 0.5) - xs_[j])) + std::log(width);
        } else if (s < 0.0) {
            seg.span = std::expm1(s * width);
            seg.spread = Spread::Down;
            log_area = (level + s * (left - xs_[j])) + std::log(-seg.span / -s);
        } else {
            seg.span = std::expm1(-s * width);
            seg.spread = Spread::Up;
            log_area = (level + s * (right - xs_[j])) + std::log(-seg.span / s);
        }
        if (std::isnan(log_area) || log_area == kInf) return hat_failed();
        log_areas[j] = log_area;
        top = std::max(top, log_area);
    }
    if (!std::isfinite(top)) return hat_failed();

    std::vector<double> areas(k);
    double total = -0.0;
    for (std::size_t j = 0; j < k; ++j) {
        areas[j] = std::exp(log_areas[j] - top);
        total = total + areas[j];
    }
    cumulate_areas(areas, total, cum_);
    return std::nullopt;
}

void TdrHat::make_chords() {
    const std::size_t k = xs_.size();
    const Chord empty{kInf, -kInf, 0.0, 0.0};
    chords_.assign(k + 1, empty);
    for (std::size_t i = 1; i < k; ++i) {
        chords_[i] = Chord{xs_[i - 1], xs_[i], ys_[i - 1], (ys_[i] - ys_[i - 1]) / (xs_[i] - xs_[i - 1])};
    }
}

// One density call at every intersection inside the support, in order (NaN kept for the
// others). A negative value ends the build.
std::optional<BuildError> TdrHat::probe_intersections(FunctionRef<double(double)> density,
                                                      std::vector<double>& at_z) const {
    at_z.assign(z_.size(), kNaN);
    for (std::size_t j = 0; j < z_.size(); ++j) {
        const double z = z_[j];
        if (!(lo_ < z && z < hi_)) continue;
        const double fz = density(z);
        if (fz < 0.0) return BuildError::density_negative(z, fz);
        at_z[j] = fz;
    }
    return std::nullopt;
}

// A log-concave density lies below both tangents that meet at an intersection and above the
// chord around it. The chord and the density values alone convict the density; a density above
// the tangents convicts it only as far as tangents_failed finds.
std::optional<BuildError> TdrHat::check_intersections(const std::vector<double>& at_z) const {
    for (std::size_t j = 0; j < at_z.size(); ++j) {
        const double fz = at_z[j];
        if (std::isnan(fz)) continue;
        const double z = z_[j];
        const auto not_concave = BuildError::tdr_not_log_concave(xs_[j], xs_[j + 1]);
        if (fz == kInf) return not_concave;
        // Zero between two points of positive density: not log-concave, unless underflow.
        const double log_f = std::log(fz);
        if (log_f < judged_above_ && std::min(ys_[j], ys_[j + 1]) < judged_above_) continue;
        if (fz == 0.0) return not_concave;
        const double hat = std::min(tangent_at(j, z), tangent_at(j + 1, z));
        if (log_f - hat > kConcavityTolerance) return tangents_failed(j, at_z);
        if (log_squeeze(z) - log_f > kConcavityTolerance) return not_concave;
    }
    return std::nullopt;
}

// The tables a trial reads that follow from the hat: the guide table to cum_ (G the power of
// two at least four times the number of segments; entry i counts the entries of cum_ below
// i / G, which is exact in binary) and the squeeze's gaps below the tangents.
void TdrHat::make_lookups() {
    const std::size_t k = cum_.size();
    const std::size_t g = std::bit_ceil(std::max<std::size_t>(4 * k, 2));
    guide_.assign(g, 0);
    guide_scale_ = static_cast<double>(g);
    std::size_t below = 0;
    for (std::size_t i = 0; i < g; ++i) {
        const double start = static_cast<double>(i) / guide_scale_;
        while (below < k && cum_[below] < start) ++below;
        guide_[i] = static_cast<std::uint32_t>(below);
    }

    gaps_.clear();
    for (std::size_t j = 0; j < segments_.size(); ++j) {
        for (std::size_t side = 0; side < 2; ++side) {
            const Chord& c = chords_[j + side];
            if (!(c.x0 <= c.x1)) {
                gaps_.push_back(SqueezeGap{kInf, -kInf, 0.0, 0.0});
                continue;
            }
            const double d0 = (c.y0 - tangent_at(j, c.x0)) - kSqueezeMargin;
            gaps_.push_back(SqueezeGap{c.x0, c.x1, d0, c.slope - segments_[j].slope});
        }
    }
}

// --- Evaluation ------------------------------------------------------------------------------

// The segment holding x: the number of intersections at or below it.
std::size_t TdrHat::segment_of(double x) const {
    return static_cast<std::size_t>(std::upper_bound(z_.begin(), z_.end(), x) - z_.begin());
}

double TdrHat::log_hat(double x) const { return tangent_at(segment_of(x), x); }

double TdrHat::log_squeeze(double x) const {
    if (!(xs_.front() <= x && x <= xs_.back())) return -kInf;
    const auto next = static_cast<std::size_t>(std::upper_bound(xs_.begin(), xs_.end(), x) - xs_.begin());
    const Chord& c = chords_[std::min(next, xs_.size() - 1)];
    return c.y0 + c.slope * (x - c.x0);
}

// --- Sampling --------------------------------------------------------------------------------

SampleResult<double> TdrHat::draw_constant(Words rng, FunctionRef<double(double)> density) const {
    const double ceiling = pdf_max_ * (1.0 + kConcavityTolerance);
    for (std::size_t trial = 0; trial < options_.max_tries; ++trial) {
        const double u1 = uniform(rng);
        const double x = u1 * (hi_ - lo_) + lo_;
        const double w = density(x);
        if (!std::isfinite(w) || w < 0.0) continue;
        if (w > ceiling) return std::unexpected(SampleError::tdr_density_above_hat(x, w, pdf_max_));
        const double u2 = uniform(rng);
        if (w >= u2 * pdf_max_) return x;
    }
    return std::unexpected(SampleError::of(SampleErrorKind::TdrSampleFailed));
}

SampleResult<double> TdrHat::density_above_hat(double x, double fx, double t) const {
    return std::unexpected(SampleError::tdr_density_above_hat(x, fx, std::exp(t)));
}

}  // namespace varnix

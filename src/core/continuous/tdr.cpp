#include "core/continuous/tdr.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/finite.hpp"
#include "core/search.hpp"

namespace varnix {

// Evaluation order is frozen (docs/architecture.md): the density calls, the uniforms and the
// arithmetic groupings below follow one fixed sequence.

namespace {

BuildError hat_failed() { return BuildError::of(BuildErrorKind::TdrHatFailed); }

// Central difference where both neighbours lie in the support, one-sided near an end.
double numeric_derivative(FunctionRef<double(double)> f, double lo, double hi, double step,
                          double x) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (lo <= x - step && x + step <= hi) {
        const double up = f(x + step);
        const double down = f(x - step);
        if (!std::isfinite(up) || !std::isfinite(down)) return nan;
        return (up - down) / (step * 2.0);
    }
    if (lo <= x - step) {
        const double here = f(x);
        const double down = f(x - step);
        if (!std::isfinite(here) || !std::isfinite(down)) return nan;
        return (here - down) / step;
    }
    if (x + step <= hi) {
        const double up = f(x + step);
        const double here = f(x);
        if (!std::isfinite(up) || !std::isfinite(here)) return nan;
        return (up - here) / step;
    }
    return nan;
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

BuildResult<TdrHat> TdrHat::build_constant(FunctionRef<double(double)> density) && {
    kind_ = Kind::Constant;
    const std::size_t m = std::max<std::size_t>(options_.construction_points, 32);
    double pdf_max = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double x = ((static_cast<double>(i) + 0.5) / static_cast<double>(m)) * (hi_ - lo_) + lo_;
        const double w = density(x);
        if (std::isfinite(w)) pdf_max = std::max(pdf_max, w);
    }
    if (!finite_positive(pdf_max)) return std::unexpected(hat_failed());
    pdf_max_ = pdf_max;
    return std::move(*this);
}

BuildResult<TdrHat> TdrHat::build_tangent(FunctionRef<double(double)> density,
                                          std::optional<FunctionRef<double(double)>> derivative) && {
    kind_ = Kind::Tangent;
    add_tangents(construction_points(), density, derivative);
    if (xs_.size() < 4) return std::unexpected(hat_failed());
    if (!intersect_tangents() || !integrate_segments()) return std::unexpected(hat_failed());
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
// derivative finite.
void TdrHat::add_tangents(const std::vector<double>& points, FunctionRef<double(double)> density,
                          std::optional<FunctionRef<double(double)>> derivative) {
    double step = (hi_ - lo_) * options_.dpdf_rel_step;
    if (!(step >= 0x1.0p-26)) step = 0x1.0p-26;  // also replaces a NaN step

    for (double x : points) {
        const double fx = density(x);
        if (!finite_positive(fx)) continue;
        const double d = derivative ? (*derivative)(x) : numeric_derivative(density, lo_, hi_, step, x);
        if (!std::isfinite(d)) continue;
        xs_.push_back(x);
        ys_.push_back(std::log(fx));
        slopes_.push_back(d / fx);
    }
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

// The area under the hat on each segment and the cumulative fractions; false unless every
// area and their total are finite and positive.
bool TdrHat::integrate_segments() {
    const std::size_t k = xs_.size();
    std::vector<double> areas(k);
    double total = -0.0;
    for (std::size_t j = 0; j < k; ++j) {
        const double left = segment_left(j);
        const double right = segment_right(j);
        const double s = slopes_[j];
        const double a = ys_[j] - xs_[j] * s;
        const double area = std::fabs(s) < 1e-12
                                ? (right - left) * std::exp(a)
                                : (std::exp(right * s) - std::exp(left * s)) * (std::exp(a) / s);
        if (!finite_positive(area)) return false;
        areas[j] = area;
        total = total + area;
    }
    if (!finite_positive(total)) return false;

    cum_.resize(k);
    double running = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
        running = running + areas[j] / total;
        cum_[j] = running;
    }
    cum_[k - 1] = 1.0;
    return true;
}

double TdrHat::log_hat(double x) const {
    const std::size_t j =
        static_cast<std::size_t>(std::upper_bound(z_.begin(), z_.end(), x) - z_.begin());
    return (ys_[j] - slopes_[j] * xs_[j]) + x * slopes_[j];
}

SampleResult<double> TdrHat::draw_constant(Words rng, FunctionRef<double(double)> density) const {
    for (std::size_t trial = 0; trial < options_.max_tries; ++trial) {
        const double u1 = uniform(rng);
        const double x = u1 * (hi_ - lo_) + lo_;
        const double w = density(x);
        if (!std::isfinite(w) || w < 0.0) continue;
        const double u2 = uniform(rng);
        if (w >= u2 * pdf_max_) return x;
    }
    return std::unexpected(SampleError::of(SampleErrorKind::TdrSampleFailed));
}

SampleResult<double> TdrHat::draw_tangent(Words rng, FunctionRef<double(double)> density) const {
    const std::size_t k = cum_.size();
    for (std::size_t trial = 0; trial < options_.max_tries; ++trial) {
        // Segment: the last entry equal to u1 if there is one, else the first entry above it.
        // A hat's segments carry very unequal mass, so a predicted branch beats a select here.
        const double u1 = uniform(rng);
        std::size_t j =
            search::position<search::LastEqualElseAbove, search::Branch>(cum_.data(), k, u1);
        j = std::min(j, k - 1);

        const double u2 = uniform(rng);
        const double left = segment_left(j);
        const double right = segment_right(j);
        const double s = slopes_[j];
        double x;
        if (std::fabs(s) < 1e-12) {
            x = (right - left) * u2 + left;
        } else {
            const double e_left = std::exp(left * s);
            x = std::log((std::exp(right * s) - e_left) * u2 + e_left) / s;
        }
        if (!std::isfinite(x)) {
            return std::unexpected(SampleError::of(SampleErrorKind::TdrSampleFailed));
        }
        x = x < lo_ ? lo_ : (x > hi_ ? hi_ : x);

        const double fx = density(x);
        if (!finite_positive(fx)) continue;
        const double t = log_hat(x);
        const double u3 = uniform(rng);
        if (std::log(u3) <= std::log(fx) - t) return x;
    }
    return std::unexpected(SampleError::of(SampleErrorKind::TdrSampleFailed));
}

}  // namespace varnix

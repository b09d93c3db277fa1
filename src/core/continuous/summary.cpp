// Summary statistics of a continuous distribution: integrals over the support at a fixed
// tolerance, and quantiles; each compared with the check model where there is one.
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/continuous/distribution.hpp"
#include "core/continuous/integrate.hpp"

namespace varnix {

namespace {

constexpr double kSummaryTolerance = 1e-10;  // fixed, whatever the build options say

SampleError pdf_required() { return SampleError::of(SampleErrorKind::PdfRequired); }
SampleError integration_failed() { return SampleError::of(SampleErrorKind::IntegrationFailed); }

}  // namespace

// An interpolated distribution answers from its panel table, without calling the user's density
// (expect calls func once per panel node). Its variance is centred on the mean.
namespace {
SampleResult<double> finite_or_failed(double v) {
    if (!std::isfinite(v)) return std::unexpected(integration_failed());
    return v;
}
}  // namespace

// The integrands below are formed exactly as written (density * x, (x * x) * density,
// density * func with the density evaluated first). Evaluation order is frozen
// (docs/architecture.md).

// The check model's verdicts on summaries: the engine's value stands within 1e-6 of the model's,
// relative to its size, to the standard deviation for the mean, and to at least 1 nat for the
// entropy. An error of the engine's integral stands as it is.
namespace {
constexpr double kCheckTolerance = ContinuousDistribution::check_tolerance;
using check_detail::agrees;

struct Evaluation {
    double x;
    double p;  // the normalised density
    double g;  // expect's func
};

// Whether the adaptive Simpson integration that made these evaluations, in its order, saw the
// density's mass: expect's result is checked without calling func again. The integrator
// evaluates its first estimate at 3 points and then 6 per interval it examines (l, the left
// quarter, the midpoint twice, the right quarter, r); an interval is split exactly when the next
// one examined is its left half. On each interval it accepted, the Simpson sum of the density
// from its own values is set against the model's mass there, weighted by the largest |func| seen
// on it: their summed difference bounds the error the density's part of the integral can carry,
// and must be within the tolerance of the same sum of the model's masses.
bool resolves_the_mass(const InterpolatedInverse& model, const std::vector<Evaluation>& seen) {
    if (seen.size() < 9 || (seen.size() - 3) % 6 != 0) return false;
    const std::size_t examined = (seen.size() - 3) / 6;
    double error = 0.0;
    double scale = 0.0;
    for (std::size_t k = 0; k < examined; ++k) {
        const Evaluation* e = &seen[3 + 6 * k];
        const double l = e[0].x;
        const double m = e[2].x;
        const double r = e[5].x;
        if (k + 1 < examined && e[6].x == l && e[11].x == m) continue;  // split
        const double simpson = ((m - l) / 6.0) * ((4.0 * e[1].p + e[0].p) + e[2].p) +
                               ((r - m) / 6.0) * ((4.0 * e[4].p + e[3].p) + e[5].p);
        const double mass = l < m && m < r ? model.cdf(r) - model.cdf(l) : 0.0;
        double g = 0.0;
        for (int j = 0; j < 6; ++j) g = std::max(g, std::fabs(e[j].g));
        error += std::fabs(simpson - mass) * g;
        scale += mass * g;
    }
    return error <= kCheckTolerance * scale;
}
}  // namespace

SampleResult<double> ContinuousDistribution::Bound::mean() const {
    if (!d_.has_density()) return std::unexpected(pdf_required());
    if (const auto* q = d_.interpolation()) return finite_or_failed(q->mean());
    const auto m1 = engine_mean();
    if (const auto* m = d_.check_model(); m != nullptr && m1) {
        const double sigma = std::sqrt(m->variance());
        if (!agrees(*m1, m->mean(), kCheckTolerance * sigma)) return m->mean();
    }
    return m1;
}

SampleResult<double> ContinuousDistribution::Bound::engine_mean() const {
    const DensityModel model = density_model();
    auto integrand = [&](double x) { return model.density(x) * x; };
    const double m1 = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(m1)) return std::unexpected(integration_failed());
    return m1;
}

SampleResult<double> ContinuousDistribution::Bound::var() const {
    if (!d_.has_density()) return std::unexpected(pdf_required());
    if (const auto* q = d_.interpolation()) {
        const auto v = finite_or_failed(q->variance());
        if (!v) return v;
        return *v > 0.0 ? *v : 0.0;
    }
    const auto m1 = engine_mean();
    if (!m1) return m1;
    const DensityModel model = density_model();
    auto integrand = [&](double x) { return (x * x) * model.density(x); };
    const double m2 = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(m2)) return std::unexpected(integration_failed());
    const double v = m2 - *m1 * *m1;
    const double engine = v > 0.0 ? v : 0.0;  // also for a NaN difference
    if (const auto* m = d_.check_model();
        m != nullptr && !agrees(engine, m->variance(), kCheckTolerance * m->variance())) {
        return m->variance();
    }
    return engine;
}

SampleResult<double> ContinuousDistribution::Bound::std_dev() const {
    const auto v = var();
    if (!v) return v;
    return *v > 0.0 ? std::sqrt(*v) : 0.0;
}

SampleResult<double> ContinuousDistribution::Bound::median() const { return quantile(0.5); }

SampleResult<double> ContinuousDistribution::Bound::entropy() const {
    // Given by a distribution function: the density is that of its interpolated quantile
    // function (the engine's, or the check model's), 1 / x'(u) at x(u). Without one there is no
    // density to integrate: refused, rather than the 0 of a missing integrand.
    if (!d_.has_density()) {
        const InterpolatedInverse* q = d_.interpolation() ? d_.interpolation() : d_.check_model();
        if (q == nullptr) {
            return std::unexpected(SampleError::of(SampleErrorKind::EntropyNeedsInterpolation));
        }
        return finite_or_failed(q->interpolant_entropy());
    }
    if (const auto* q = d_.interpolation()) return finite_or_failed(q->entropy());
    const DensityModel model = density_model();
    auto integrand = [&](double x) {
        const double p = model.density(x);
        return p > 0.0 ? -p * std::log(p) : 0.0;
    };
    const double h = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(h)) return std::unexpected(integration_failed());
    if (const auto* m = d_.check_model(); m != nullptr) {
        const double mh = m->entropy();
        if (!agrees(h, mh, kCheckTolerance * std::max(1.0, std::fabs(mh)))) return mh;
    }
    return h;
}

SampleResult<std::pair<double, double>> ContinuousDistribution::Bound::interval(
    double confidence) const {
    if (!(confidence > 0.0 && confidence < 1.0)) {
        return std::unexpected(SampleError::confidence_out_of_range(confidence));
    }
    const double alpha = (1.0 - confidence) * 0.5;
    if (const auto* q = d_.interpolation()) {
        // The upper end from the masses summed from hi, as isf(alpha).
        const auto lower = quantile(alpha);
        if (!lower) return std::unexpected(lower.error());
        const auto upper = upper_quantile(*q, alpha);
        if (!upper) return std::unexpected(upper.error());
        return std::pair{*lower, *upper};
    }
    const auto lower = quantile(alpha);
    if (!lower) return std::unexpected(lower.error());
    const auto upper = quantile(1.0 - alpha);
    if (!upper) return std::unexpected(upper.error());
    return std::pair{*lower, *upper};
}

SampleResult<double> ContinuousDistribution::Bound::expect(UserFn func) const {
    if (!d_.has_density()) return std::unexpected(pdf_required());
    if (const auto* q = d_.interpolation()) return finite_or_failed(q->expect(func));
    const DensityModel model = density_model();
    const InterpolatedInverse* check = d_.check_model();
    // With a check model every evaluation is recorded: x, the density and func there.
    std::vector<Evaluation> seen;
    auto integrand = [&](double x) {
        const double p = model.density(x);
        const double g = func(x);
        if (check != nullptr) seen.push_back({x, p, g});
        return p * g;
    };
    const double e = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(e)) return std::unexpected(integration_failed());
    if (check == nullptr || resolves_the_mass(*check, seen)) return e;
    // The integration missed mass the model sees: the model's expectation, one call of func
    // per node of its panels (func is called again only in this case).
    return finite_or_failed(check->expect(func));
}

}  // namespace varnix

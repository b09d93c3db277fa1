// Summary statistics of a continuous distribution: integrals over the support at a fixed
// tolerance, and quantiles.
#include <cmath>

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

SampleResult<double> ContinuousDistribution::Bound::mean() const {
    if (!d_.has_density()) return std::unexpected(pdf_required());
    if (const auto* q = d_.interpolation()) return finite_or_failed(q->mean());
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
    const auto m1 = mean();
    if (!m1) return m1;
    const DensityModel model = density_model();
    auto integrand = [&](double x) { return (x * x) * model.density(x); };
    const double m2 = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(m2)) return std::unexpected(integration_failed());
    const double v = m2 - *m1 * *m1;
    return v > 0.0 ? v : 0.0;  // also for a NaN difference
}

SampleResult<double> ContinuousDistribution::Bound::std_dev() const {
    const auto v = var();
    if (!v) return v;
    return *v > 0.0 ? std::sqrt(*v) : 0.0;
}

SampleResult<double> ContinuousDistribution::Bound::median() const { return quantile(0.5); }

SampleResult<double> ContinuousDistribution::Bound::entropy() const {
    // Without a density the integrand is taken as 0 throughout, which integrates to exactly 0.
    if (!d_.has_density()) return 0.0;
    if (const auto* q = d_.interpolation()) return finite_or_failed(q->entropy());
    const DensityModel model = density_model();
    auto integrand = [&](double x) {
        const double p = model.density(x);
        return p > 0.0 ? -p * std::log(p) : 0.0;
    };
    const double h = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(h)) return std::unexpected(integration_failed());
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
    auto integrand = [&](double x) {
        const double p = model.density(x);
        return p * func(x);
    };
    const double e = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(e)) return std::unexpected(integration_failed());
    return e;
}

}  // namespace varnix

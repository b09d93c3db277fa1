// Summary statistics of a continuous distribution: integrals over the support at a fixed
// tolerance, and quantiles.
#include <cmath>

#include "core/continuous/distribution.hpp"
#include "core/continuous/integrate.hpp"
#include "core/continuous/source_density.hpp"

namespace varnix {

namespace {

constexpr double kSummaryTolerance = 1e-10;  // fixed, whatever the build options say

SampleError pdf_required() { return SampleError::of(SampleErrorKind::PdfRequired); }
SampleError integration_failed() { return SampleError::of(SampleErrorKind::IntegrationFailed); }

}  // namespace

// The integrands below are formed exactly as written (density * x, (x * x) * density,
// density * func with the density evaluated first). Order matters: seeded results are
// reproduced bit for bit.

SampleResult<double> ContinuousDistribution::mean(UserFn f) const {
    if (!has_density()) return std::unexpected(pdf_required());
    return detail::with_raw_density(source_, lo_, hi_, f, [&](UserFn raw) -> SampleResult<double> {
        auto integrand = [&](double x) { return raw(x) / norm_ * x; };
        const double m1 = adaptive_simpson(integrand, lo_, hi_, kSummaryTolerance);
        if (!std::isfinite(m1)) return std::unexpected(integration_failed());
        return m1;
    });
}

SampleResult<double> ContinuousDistribution::var(UserFn f) const {
    const auto m1 = mean(f);
    if (!m1) return m1;
    return detail::with_raw_density(source_, lo_, hi_, f, [&](UserFn raw) -> SampleResult<double> {
        auto integrand = [&](double x) { return (x * x) * (raw(x) / norm_); };
        const double m2 = adaptive_simpson(integrand, lo_, hi_, kSummaryTolerance);
        if (!std::isfinite(m2)) return std::unexpected(integration_failed());
        const double v = m2 - *m1 * *m1;
        return v > 0.0 ? v : 0.0;  // also for a NaN difference
    });
}

SampleResult<double> ContinuousDistribution::stddev(UserFn f) const {
    const auto v = var(f);
    if (!v) return v;
    return *v > 0.0 ? std::sqrt(*v) : 0.0;
}

SampleResult<double> ContinuousDistribution::median(UserFn f) const { return quantile(f, 0.5); }

SampleResult<double> ContinuousDistribution::entropy(UserFn f) const {
    // Without a density the integrand is taken as 0 throughout, which integrates to exactly 0.
    if (!has_density()) return 0.0;
    return detail::with_raw_density(source_, lo_, hi_, f, [&](UserFn raw) -> SampleResult<double> {
        auto integrand = [&](double x) {
            const double p = raw(x) / norm_;
            return p > 0.0 ? -p * std::log(p) : 0.0;
        };
        const double h = adaptive_simpson(integrand, lo_, hi_, kSummaryTolerance);
        if (!std::isfinite(h)) return std::unexpected(integration_failed());
        return h;
    });
}

SampleResult<std::pair<double, double>> ContinuousDistribution::interval(UserFn f,
                                                                         double confidence) const {
    if (!(confidence > 0.0 && confidence < 1.0)) {
        return std::unexpected(SampleError::confidence_out_of_range(confidence));
    }
    const double alpha = (1.0 - confidence) * 0.5;
    const auto lower = quantile(f, alpha);
    if (!lower) return std::unexpected(lower.error());
    const auto upper = quantile(f, 1.0 - alpha);
    if (!upper) return std::unexpected(upper.error());
    return std::pair{*lower, *upper};
}

SampleResult<double> ContinuousDistribution::expect(UserFn f, UserFn func) const {
    if (!has_density()) return std::unexpected(pdf_required());
    return detail::with_raw_density(source_, lo_, hi_, f, [&](UserFn raw) -> SampleResult<double> {
        auto integrand = [&](double x) {
            const double p = raw(x) / norm_;
            return p * func(x);
        };
        const double e = adaptive_simpson(integrand, lo_, hi_, kSummaryTolerance);
        if (!std::isfinite(e)) return std::unexpected(integration_failed());
        return e;
    });
}

}  // namespace varnix

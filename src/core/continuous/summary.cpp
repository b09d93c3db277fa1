// Summary statistics of a continuous distribution: integrals over the support at a fixed
// tolerance, and quantiles; each engine answers its own (engines.hpp), compared with the check
// model where there is one (checked.hpp).
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

// --- From the source: the integrals of plain inversion and TDR --------------------------------

// The integrands below are formed exactly as written (density * x, (x * x) * density,
// density * func with the density evaluated first). Evaluation order is frozen
// (docs/architecture.md).

double source_queries::cdf(const QueryContext& c, double x) { return c.cdf(x); }

double source_queries::logsf_of_cdf(double p) {
    const double c = p < 0.0 ? 0.0 : (p > 1.0 ? 1.0 : p);  // NaN stays NaN
    return c >= 1.0 ? -INFINITY : std::log(1.0 - c);
}

SampleResult<double> source_queries::mean(const QueryContext& c) {
    const DensityModel model = c.density_model();
    auto integrand = [&](double x) { return model.density(x) * x; };
    const double m1 = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(m1)) return std::unexpected(integration_failed());
    return m1;
}

SampleResult<double> source_queries::var(const QueryContext& c) {
    const auto m1 = mean(c);
    if (!m1) return m1;
    const DensityModel model = c.density_model();
    auto integrand = [&](double x) { return (x * x) * model.density(x); };
    const double m2 = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(m2)) return std::unexpected(integration_failed());
    const double v = m2 - *m1 * *m1;
    return v > 0.0 ? v : 0.0;  // also for a NaN difference
}

SampleResult<double> source_queries::entropy(const QueryContext& c) {
    const DensityModel model = c.density_model();
    auto integrand = [&](double x) {
        const double p = model.density(x);
        return p > 0.0 ? -p * std::log(p) : 0.0;
    };
    const double h = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(h)) return std::unexpected(integration_failed());
    return h;
}

SampleResult<double> source_queries::expect(const QueryContext& c, UserFn func,
                                            std::vector<Evaluation>* seen) {
    const DensityModel model = c.density_model();
    auto integrand = [&](double x) {
        const double p = model.density(x);
        const double g = func(x);
        if (seen != nullptr) seen->push_back({x, p, g});
        return p * g;
    };
    const double e = adaptive_simpson(integrand, model.lo, model.hi, kSummaryTolerance);
    if (!std::isfinite(e)) return std::unexpected(integration_failed());
    return e;
}

// --- The check model's rule for expect --------------------------------------------------------

// The integrator evaluates its first estimate at 3 points and then 6 per interval it examines
// (l, the left quarter, the midpoint twice, the right quarter, r); an interval is split exactly
// when the next one examined is its left half. On each interval it accepted, the Simpson sum of
// the density from its own values is set against the model's mass there, weighted by the
// largest |func| seen on it: their summed difference bounds the error the density's part of the
// integral can carry, and must be within the tolerance of the same sum of the model's masses.
bool check_rules::resolves_the_mass(const InterpolatedInverse& model,
                                    const std::vector<Evaluation>& seen) {
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
    return error <= tolerance * scale;
}

// --- The distribution's summaries: the source's kind, then the engine -------------------------

SampleResult<double> ContinuousDistribution::Bound::mean() const {
    if (!c_.has_density()) return std::unexpected(pdf_required());
    return visit([&](const auto& e) { return e.mean(c_); });
}

SampleResult<double> ContinuousDistribution::Bound::var() const {
    if (!c_.has_density()) return std::unexpected(pdf_required());
    return visit([&](const auto& e) { return e.var(c_); });
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
    if (!c_.has_density()) {
        const InterpolatedInverse* q = d_.interpolation() ? d_.interpolation() : d_.check_model();
        if (q == nullptr) {
            return std::unexpected(SampleError::of(SampleErrorKind::EntropyNeedsInterpolation));
        }
        return finite_or_failed(q->interpolant_entropy());
    }
    return visit([&](const auto& e) { return e.entropy(c_); });
}

SampleResult<std::pair<double, double>> ContinuousDistribution::Bound::interval(
    double confidence) const {
    if (!(confidence > 0.0 && confidence < 1.0)) {
        return std::unexpected(SampleError::confidence_out_of_range(confidence));
    }
    const double alpha = (1.0 - confidence) * 0.5;
    return visit([&](const auto& e) -> SampleResult<std::pair<double, double>> {
        const auto lower = quantile_inside_unit(e, c_, alpha);
        if (!lower) return std::unexpected(lower.error());
        // The upper end from the masses summed from hi where the engine keeps them (as
        // isf(alpha)), else the quantile at 1 - alpha.
        const auto upper = std::decay_t<decltype(e)>::interval_upper_from_masses
                               ? e.quantile_upper(c_, alpha)
                               : quantile_inside_unit(e, c_, 1.0 - alpha);
        if (!upper) return std::unexpected(upper.error());
        return std::pair{*lower, *upper};
    });
}

SampleResult<double> ContinuousDistribution::Bound::expect(UserFn func) const {
    if (!c_.has_density()) return std::unexpected(pdf_required());
    return visit([&](const auto& e) { return e.expect(c_, func, nullptr); });
}

}  // namespace varnix

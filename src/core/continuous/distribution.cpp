#include "core/continuous/distribution.hpp"

#include <algorithm>
#include <cmath>

#include "core/continuous/integrate.hpp"
#include "core/continuous/invert.hpp"
#include "core/continuous/source_density.hpp"

namespace varnix {

namespace {

// The iteration cap is a size in the options and 32 bits in the inversion routines; larger
// values saturate (they are unreachable in practice either way).
std::uint32_t iteration_cap(std::size_t n) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(n, UINT32_MAX));
}

bool finite_positive(double v) { return std::isfinite(v) && v > 0.0; }

BuildError normalization_failed() { return BuildError::of(BuildErrorKind::NormalizationFailed); }

// Fixed inversion settings for quantiles of a distribution sampled by TDR, which keeps none.
constexpr double kTdrQuantileTolerance = 1e-12;
constexpr std::uint32_t kTdrQuantileIterations = 128;

}  // namespace

// --- Builders ---------------------------------------------------------------------------------

BuildResult<ContinuousDistribution> ContinuousDistribution::build_density_kind(
    Source source, UserFn user, double lo, double hi, const BuildOptions& options,
    std::optional<UserFn> dpdf) {
    if (auto ok = check_support(lo, hi); !ok) return std::unexpected(ok.error());

    auto made = detail::with_raw_density(
        source, lo, hi, user, [&](UserFn raw) -> BuildResult<std::pair<double, Sampler>> {
            const double norm = adaptive_simpson(raw, lo, hi, options.quad_tolerance);
            if (!finite_positive(norm)) return std::unexpected(normalization_failed());
            const detail::DensityModel model{raw, lo, hi, norm, options.quad_tolerance};

            if (options.tdr) {
                auto density = [&model](double x) { return model.density(x); };
                std::optional<TdrFunction> derivative;
                auto scaled_dpdf = [&dpdf, norm](double x) { return (*dpdf)(x) / norm; };
                if (dpdf) derivative = TdrFunction{scaled_dpdf, lo, hi};
                auto hat = TdrHat::build(*options.tdr, lo, hi, TdrFunction{density, lo, hi},
                                         derivative);
                if (!hat) return std::unexpected(hat.error());
                return std::pair<double, Sampler>{norm, std::move(*hat)};
            }
            InversionSettings inversion{options.ppf_tolerance, iteration_cap(options.max_iterations),
                                        std::nullopt, options.use_newton};
            if (options.hermite_grid_size) {
                auto cdf = [&model](double x) { return model.cdf(x); };
                inversion.table = HermiteTable::build(cdf, lo, hi, *options.hermite_grid_size,
                                                      inversion.ppf_tolerance,
                                                      inversion.max_iterations);
            }
            return std::pair<double, Sampler>{norm, std::move(inversion)};
        });
    if (!made) return std::unexpected(made.error());
    return ContinuousDistribution(std::move(source), lo, hi, made->first, options.quad_tolerance,
                                  std::move(made->second));
}

BuildResult<ContinuousDistribution> ContinuousDistribution::from_pdf(UserFn pdf, Interval support,
                                                                     const BuildOptions& options,
                                                                     std::optional<UserFn> dpdf) {
    return build_density_kind(PdfSource{}, pdf, support.lo, support.hi, options, dpdf);
}

BuildResult<ContinuousDistribution> ContinuousDistribution::from_cdf(UserFn cdf, Interval support,
                                                                     const BuildOptions& options) {
    const double lo = support.lo;
    const double hi = support.hi;
    if (auto ok = check_support(lo, hi); !ok) return std::unexpected(ok.error());
    const double cdf_lo = cdf(lo);
    const double cdf_hi = cdf(hi);
    const double cdf_span = cdf_hi - cdf_lo;
    if (!finite_positive(cdf_span)) return std::unexpected(normalization_failed());
    if (options.tdr) {
        return std::unexpected(BuildError::invalid_support(detail_text::tdr_requires_pdf));
    }
    InversionSettings inversion{options.ppf_tolerance, iteration_cap(options.max_iterations),
                                std::nullopt, options.use_newton};
    if (options.hermite_grid_size) {
        auto scaled = [&](double x) { return (cdf(x) - cdf_lo) / cdf_span; };
        inversion.table = HermiteTable::build(scaled, lo, hi, *options.hermite_grid_size,
                                              inversion.ppf_tolerance, inversion.max_iterations);
    }
    // The source is put in place afterwards: moving a variant whose inactive alternative holds
    // a vector trips a false "maybe uninitialized" warning in g++ 12 at -O2.
    ContinuousDistribution d(PdfSource{}, lo, hi, std::numeric_limits<double>::quiet_NaN(),
                             options.quad_tolerance, std::move(inversion));
    d.source_.emplace<CdfSource>(CdfSource{cdf_lo, cdf_span});
    return d;
}

BuildResult<ContinuousDistribution> ContinuousDistribution::from_histogram(
    std::span<const double> edges, std::span<const double> counts, bool density,
    const BuildOptions& options) {
    auto histogram = HistogramDensity::build(edges, counts, density);
    if (!histogram) return std::unexpected(histogram.error());
    const double lo = histogram->lo();
    const double hi = histogram->hi();
    return build_density_kind(HistogramSource{std::move(*histogram)}, no_user_function(), lo, hi,
                              options, std::nullopt);
}

BuildResult<ContinuousDistribution> ContinuousDistribution::truncated(UserFn pdf, Interval support,
                                                                      Interval trunc,
                                                                      const BuildOptions& options) {
    if (auto ok = check_support(trunc.lo, trunc.hi); !ok) return std::unexpected(ok.error());
    if (auto ok = check_support(support.lo, support.hi); !ok) return std::unexpected(ok.error());
    if (trunc.lo < support.lo || trunc.hi > support.hi) {
        return std::unexpected(BuildError::of(BuildErrorKind::TruncationOutsideSupport));
    }
    // The base mass uses a fixed tolerance, whatever the options say.
    const double mass = adaptive_simpson(pdf, trunc.lo, trunc.hi, 1e-10);
    if (!finite_positive(mass)) return std::unexpected(normalization_failed());
    return build_density_kind(TruncatedSource{support.lo, support.hi, mass}, pdf, trunc.lo,
                              trunc.hi, options, std::nullopt);
}

BuildResult<ContinuousDistribution> ContinuousDistribution::loc_scale(UserFn pdf, Interval support,
                                                                      double loc, double scale,
                                                                      const BuildOptions& options) {
    if (!finite_positive(scale)) return std::unexpected(BuildError::of(BuildErrorKind::InvalidScale));
    if (auto ok = check_support(support.lo, support.hi); !ok) return std::unexpected(ok.error());
    const double lo = loc + scale * support.lo;
    const double hi = loc + scale * support.hi;
    // A non-finite loc arrives here; rounding can also collapse the interval when loc dwarfs it.
    if (auto ok = check_support(lo, hi); !ok) return std::unexpected(ok.error());
    return build_density_kind(LocScaleSource{support.lo, support.hi, loc, scale}, pdf, lo, hi,
                              options, std::nullopt);
}

// --- Queries ----------------------------------------------------------------------------------

bool ContinuousDistribution::uses_hermite_table() const {
    const auto* inversion = std::get_if<InversionSettings>(&sampler_);
    return inversion != nullptr && inversion->table.has_value();
}

std::optional<double> ContinuousDistribution::pdf(UserFn f, double x) const {
    if (!has_density()) return std::nullopt;
    return detail::with_raw_density(source_, lo_, hi_, f,
                                    [&](UserFn raw) { return raw(x) / norm_; });
}

std::optional<double> ContinuousDistribution::logpdf(UserFn f, double x) const {
    const auto p = pdf(f, x);
    if (!p || !(*p > 0.0)) return std::nullopt;
    return std::log(*p);
}

double ContinuousDistribution::cdf(UserFn f, double x) const {
    if (const auto* s = std::get_if<CdfSource>(&source_)) return (f(x) - s->cdf_lo) / s->cdf_span;
    return detail::with_raw_density(source_, lo_, hi_, f, [&](UserFn raw) {
        return detail::DensityModel{raw, lo_, hi_, norm_, quad_tolerance_}.cdf(x);
    });
}

double ContinuousDistribution::sf(UserFn f, double x) const {
    const double s = 1.0 - cdf(f, x);
    return s > 0.0 ? s : 0.0;
}

namespace {
// The cdf value clamped to [0, 1]; NaN stays NaN.
double clamp_unit(double c) { return c < 0.0 ? 0.0 : (c > 1.0 ? 1.0 : c); }
}  // namespace

double ContinuousDistribution::logcdf(UserFn f, double x) const {
    const double c = clamp_unit(cdf(f, x));
    return c <= 0.0 ? -INFINITY : std::log(c);
}

double ContinuousDistribution::logsf(UserFn f, double x) const {
    const double c = clamp_unit(cdf(f, x));
    return c >= 1.0 ? -INFINITY : std::log(1.0 - c);
}

SampleResult<double> ContinuousDistribution::quantile(UserFn f, double u) const {
    if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
    const auto* inversion = std::get_if<InversionSettings>(&sampler_);
    if (inversion != nullptr && inversion->table) return inversion->table->evaluate(u);

    if (const auto* s = std::get_if<CdfSource>(&source_)) {
        auto scaled = [&](double x) { return (f(x) - s->cdf_lo) / s->cdf_span; };
        return invert_cdf_bisection(scaled, lo_, hi_, u, inversion->ppf_tolerance,
                                    inversion->max_iterations);
    }
    return detail::with_raw_density(source_, lo_, hi_, f, [&](UserFn raw) -> SampleResult<double> {
        const detail::DensityModel model{raw, lo_, hi_, norm_, quad_tolerance_};
        auto cdf = [&model](double x) { return model.cdf(x); };
        auto density = [&model](double x) { return model.density(x); };
        if (inversion == nullptr) {
            return invert_cdf_newton(cdf, density, lo_, hi_, u, kTdrQuantileTolerance,
                                     kTdrQuantileIterations);
        }
        if (inversion->use_newton) {
            return invert_cdf_newton(cdf, density, lo_, hi_, u, inversion->ppf_tolerance,
                                     inversion->max_iterations);
        }
        return invert_cdf_bisection(cdf, lo_, hi_, u, inversion->ppf_tolerance,
                                    inversion->max_iterations);
    });
}

SampleResult<double> ContinuousDistribution::ppf(UserFn f, double u) const { return quantile(f, u); }

SampleResult<double> ContinuousDistribution::isf(UserFn f, double q) const {
    return quantile(f, 1.0 - q);
}

SampleResult<double> ContinuousDistribution::sample(UserFn f, ChaChaRng& rng) const {
    if (const auto* hat = std::get_if<TdrHat>(&sampler_)) {
        return detail::with_raw_density(source_, lo_, hi_, f, [&](UserFn raw) {
            auto density = [&](double x) { return raw(x) / norm_; };
            return hat->draw(rng, density);
        });
    }
    return quantile(f, uniform(rng));
}

SampleResult<void> ContinuousDistribution::sample_n(UserFn f, std::size_t n, ChaChaRng& rng,
                                                    std::vector<double>& out) const {
    out.clear();
    out.reserve(n);
    const auto out_of_range = [](double u) {
        return std::unexpected(SampleError::quantile_out_of_range(u));
    };

    if (const auto* hat = std::get_if<TdrHat>(&sampler_)) {
        return detail::with_raw_density(source_, lo_, hi_, f, [&](UserFn raw) -> SampleResult<void> {
            auto density = [&](double x) { return raw(x) / norm_; };
            for (std::size_t i = 0; i < n; ++i) {
                const auto x = hat->draw(rng, density);
                if (!x) return std::unexpected(x.error());
                out.push_back(*x);
            }
            return {};
        });
    }

    const auto& inversion = std::get<InversionSettings>(sampler_);
    if (inversion.table) {
        // The fast path: one uniform, one binary search and one cubic per draw. The uniforms
        // of a block are drawn first and the table evaluated on the block, its searches
        // interleaved. Draws, their order and a failing draw's place are as if one at a time.
        const HermiteTable& table = *inversion.table;
        constexpr std::size_t block = 64;
        double us[block];
        out.resize(n);
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t count = std::min(block, n - start);
            for (std::size_t j = 0; j < count; ++j) {
                const double u = uniform(rng);
                if (!(u > 0.0 && u < 1.0)) {
                    table.evaluate_many(us, out.data() + start, j);
                    out.resize(start + j);
                    return out_of_range(u);
                }
                us[j] = u;
            }
            table.evaluate_many(us, out.data() + start, count);
        }
        return {};
    }
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = quantile(f, uniform(rng));
        if (!x) return std::unexpected(x.error());
        out.push_back(*x);
    }
    return {};
}

}  // namespace varnix

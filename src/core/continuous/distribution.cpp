#include "core/continuous/distribution.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/continuous/integrate.hpp"
#include "core/continuous/invert.hpp"
#include "core/finite.hpp"

namespace varnix {

namespace {

// The iteration cap is a size in the options and 32 bits in the inversion routines; larger
// values saturate (they are unreachable in practice either way).
std::uint32_t iteration_cap(std::size_t n) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(n, UINT32_MAX));
}

BuildError normalization_failed() { return BuildError::of(BuildErrorKind::NormalizationFailed); }

// Quantiles of a distribution sampled by TDR, which keeps no inversion settings of its own.
InversionEngine tdr_quantile_engine() {
    return InversionEngine{1e-12, 128, true, std::nullopt};
}

}  // namespace

// --- The inversion engine ---------------------------------------------------------------------

InversionEngine InversionEngine::build(const BuildOptions& options,
                                       FunctionRef<double(double)> cdf, Interval support) {
    InversionEngine engine{options.ppf_tolerance, iteration_cap(options.max_iterations),
                           options.use_newton, std::nullopt};
    if (options.hermite_grid_size) {
        engine.table = HermiteTable::build(cdf, support.lo(), support.hi(),
                                           *options.hermite_grid_size, engine.ppf_tolerance,
                                           engine.max_iterations);
    }
    return engine;
}

SampleResult<double> InversionEngine::quantile(double u, FunctionRef<double(double)> cdf,
                                               std::optional<FunctionRef<double(double)>> density,
                                               Interval support) const {
    if (table) return table->evaluate(u);
    if (use_newton && density) {
        return invert_cdf_newton(cdf, *density, support.lo(), support.hi(), u, ppf_tolerance,
                                 max_iterations);
    }
    return invert_cdf_bisection(cdf, support.lo(), support.hi(), u, ppf_tolerance,
                                max_iterations);
}

// --- Builders ---------------------------------------------------------------------------------

BuildResult<ContinuousDistribution> ContinuousDistribution::build_interpolated(
    Source source, UserFn user, Interval support, double u_resolution,
    std::span<const double> breakpoints) {
    InterpolationOptions io;
    io.u_resolution = u_resolution;
    io.breakpoints = breakpoints;
    if (const auto* s = std::get_if<CdfSource>(&source)) {
        auto scaled = [&](double x) { return s->scaled(user, x); };
        auto inverse = InterpolatedInverse::build_from_cdf(scaled, support.lo(), support.hi(), io);
        if (!inverse) return std::unexpected(inverse.error());
        return ContinuousDistribution(std::move(source), support,
                                      std::numeric_limits<double>::quiet_NaN(), 0.0,
                                      std::move(*inverse));
    }
    const RawDensity raw(source, support, user);
    auto inverse = InterpolatedInverse::build(raw, support.lo(), support.hi(), io);
    if (!inverse) return std::unexpected(inverse.error());
    const double norm = inverse->norm();
    return ContinuousDistribution(std::move(source), support, norm, 0.0, std::move(*inverse));
}

BuildResult<ContinuousDistribution> ContinuousDistribution::build_density_kind(
    Source source, UserFn user, Interval support, const BuildOptions& options,
    std::optional<UserFn> dpdf, std::span<const double> breakpoints) {
    if (options.u_resolution) {
        return build_interpolated(std::move(source), user, support, *options.u_resolution,
                                  breakpoints);
    }
    const RawDensity raw(source, support, user);
    // A density is never negative: the integrals of the build watch every value a user
    // function gives, and the first negative one refuses the build once the checks before it
    // have passed. A histogram's counts were checked when it was made.
    NegativeDensityWatch watch;
    auto watched = [&raw, &watch](double x) { return watch(raw(x), x); };
    const bool histogram = std::holds_alternative<HistogramSource>(source);
    const FunctionRef<double(double)> integrand =
        histogram ? FunctionRef<double(double)>(raw) : FunctionRef<double(double)>(watched);
    const double norm =
        adaptive_simpson(integrand, support.lo(), support.hi(), options.quad_tolerance);
    if (!finite_positive(norm)) return std::unexpected(normalization_failed());
    if (const auto negative = watch.error()) return std::unexpected(*negative);
    const DensityModel model{raw, support.lo(), support.hi(), norm, options.quad_tolerance};

    if (options.tdr) {
        auto density = [&model](double x) { return model.density(x); };
        auto scaled_dpdf = [&dpdf, norm](double x) { return (*dpdf)(x) / norm; };
        std::optional<FunctionRef<double(double)>> derivative;
        if (dpdf) derivative = scaled_dpdf;
        auto hat = TdrHat::build(*options.tdr, support, density, derivative);
        if (!hat) return std::unexpected(hat.error());
        ContinuousDistribution d(std::move(source), support, norm, options.quad_tolerance,
                                 std::move(*hat));
        if (auto checked = d.attach_check_model(user, breakpoints); !checked) {
            return std::unexpected(checked.error());
        }
        return d;
    }
    auto cdf = [&model, integrand](double x) { return model.cdf(x, integrand); };
    // Built before the source is moved into the distribution: the table reads the source.
    InversionEngine inversion = InversionEngine::build(options, cdf, support);
    if (const auto negative = watch.error()) return std::unexpected(*negative);
    ContinuousDistribution d(std::move(source), support, norm, options.quad_tolerance,
                             std::move(inversion));
    if (auto checked = d.attach_check_model(user, breakpoints); !checked) {
        return std::unexpected(checked.error());
    }
    return d;
}

// --- The check model -------------------------------------------------------------------------

namespace {
constexpr double kCheckResolution = ContinuousDistribution::check_resolution;
constexpr double kCheckTolerance = ContinuousDistribution::check_tolerance;
using check_detail::agrees;
}  // namespace

BuildResult<void> ContinuousDistribution::attach_check_model(UserFn user,
                                                             std::span<const double> breakpoints) {
    // Extra density calls, after everything the engines' own build called.
    const RawDensity raw(source_, support_, user);
    InterpolationOptions io;
    io.u_resolution = kCheckResolution;
    io.breakpoints = breakpoints;
    auto model = InterpolatedInverse::build(raw, support_.lo(), support_.hi(), io);
    if (!model) {
        // A negative value is a fault of the density; anything else only means that this
        // density cannot be checked (NaN at isolated points, a mass no double can resolve),
        // and the engines' results stand as they are.
        if (model.error().kind == BuildErrorKind::DensityNegative) {
            return std::unexpected(model.error());
        }
        return {};
    }
    check_ = std::move(*model);

    // A Hermite table's nodes, each an inversion of the engine's distribution function: when
    // any is off by more than the tolerance, the table is built on the model's quantiles at
    // the same probabilities.
    auto* inversion = std::get_if<InversionEngine>(&sampler_);
    if (inversion == nullptr || !inversion->table) return {};
    const std::vector<double>& u = inversion->table->nodes();
    const std::vector<double>& x = inversion->table->quantiles();
    bool nodes_agree = true;
    for (std::size_t i = 0; nodes_agree && i < u.size(); ++i) {
        nodes_agree = std::fabs(check_->cdf(x[i]) - u[i]) <= kCheckTolerance;
    }
    if (nodes_agree) return {};
    std::vector<double> xs(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) xs[i] = check_->quantile(u[i]);
    inversion->table = HermiteTable::from_nodes(support_.lo(), support_.hi(), u, std::move(xs));
    return {};
}

BuildResult<ContinuousDistribution> ContinuousDistribution::from_pdf(UserFn pdf, Interval support,
                                                                     const BuildOptions& options,
                                                                     std::optional<UserFn> dpdf) {
    return build_density_kind(PdfSource{}, pdf, support, options, dpdf);
}

BuildResult<ContinuousDistribution> ContinuousDistribution::from_cdf(UserFn cdf, Interval support,
                                                                     const BuildOptions& options) {
    const double cdf_lo = cdf(support.lo());
    const double cdf_hi = cdf(support.hi());
    const CdfSource source{cdf_lo, cdf_hi - cdf_lo};
    if (!finite_positive(source.cdf_span)) return std::unexpected(normalization_failed());
    if (options.tdr) {
        return std::unexpected(BuildError::invalid_support(detail_text::tdr_requires_pdf));
    }
    if (options.u_resolution) {
        return build_interpolated(source, cdf, support, *options.u_resolution, {});
    }
    auto scaled = [&](double x) { return source.scaled(cdf, x); };
    return ContinuousDistribution(source, support, std::numeric_limits<double>::quiet_NaN(),
                                  options.quad_tolerance,
                                  InversionEngine::build(options, scaled, support));
}

BuildResult<ContinuousDistribution> ContinuousDistribution::from_histogram(
    std::span<const double> edges, std::span<const double> counts, bool density,
    const BuildOptions& options) {
    auto histogram = HistogramDensity::build(edges, counts, density);
    if (!histogram) return std::unexpected(histogram.error());
    const auto support = Interval::make(histogram->lo(), histogram->hi());
    if (!support) return std::unexpected(support.error());
    // The edges inside are where the density jumps.
    return build_density_kind(HistogramSource{std::move(*histogram)}, no_user_function(),
                              *support, options, std::nullopt, edges);
}

BuildResult<ContinuousDistribution> ContinuousDistribution::truncated(UserFn pdf, Interval support,
                                                                      Interval trunc,
                                                                      const BuildOptions& options) {
    if (trunc.lo() < support.lo() || trunc.hi() > support.hi()) {
        return std::unexpected(BuildError::of(BuildErrorKind::TruncationOutsideSupport));
    }
    // The interpolated engine finds the mass itself, robustly: the density is passed as it is.
    if (options.u_resolution) {
        return build_interpolated(TruncatedSource{support.lo(), support.hi(), 1.0}, pdf, trunc,
                                  *options.u_resolution, {});
    }
    // The base mass uses a fixed tolerance, whatever the options say.
    NegativeDensityWatch watch;
    auto watched = [&pdf, &watch](double x) { return watch(pdf(x), x); };
    const double mass = adaptive_simpson(watched, trunc.lo(), trunc.hi(), 1e-10);
    if (!finite_positive(mass)) return std::unexpected(normalization_failed());
    if (const auto negative = watch.error()) return std::unexpected(*negative);
    return build_density_kind(TruncatedSource{support.lo(), support.hi(), mass}, pdf, trunc,
                              options, std::nullopt);
}

BuildResult<ContinuousDistribution> ContinuousDistribution::loc_scale(UserFn pdf, Interval support,
                                                                      double loc, double scale,
                                                                      const BuildOptions& options) {
    if (!finite_positive(scale)) return std::unexpected(BuildError::of(BuildErrorKind::InvalidScale));
    const auto shifted = Interval::make(loc + scale * support.lo(), loc + scale * support.hi());
    if (!shifted) return std::unexpected(shifted.error());
    return build_density_kind(LocScaleSource{support.lo(), support.hi(), loc, scale}, pdf,
                              *shifted, options, std::nullopt);
}

bool ContinuousDistribution::uses_hermite_table() const {
    const auto* inversion = std::get_if<InversionEngine>(&sampler_);
    return inversion != nullptr && inversion->table.has_value();
}

std::optional<std::size_t> ContinuousDistribution::words_per_draw() const {
    if (uses_tdr()) return std::nullopt;
    return 1;  // a quantile of one uniform: table, interpolation or numerical inversion
}

bool ContinuousDistribution::draws_call_user_function() const {
    if (std::holds_alternative<HistogramSource>(source_)) return false;
    return !uses_hermite_table() && !uses_interpolation();
}

// --- Queries ----------------------------------------------------------------------------------

std::optional<double> ContinuousDistribution::Bound::pdf(double x) const {
    if (!d_.has_density()) return std::nullopt;
    return density_model().density(x);
}

std::optional<double> ContinuousDistribution::Bound::logpdf(double x) const {
    const auto p = pdf(x);
    if (!p || !(*p > 0.0)) return std::nullopt;
    return std::log(*p);
}

double ContinuousDistribution::Bound::engine_cdf(double x) const {
    if (const auto* s = std::get_if<CdfSource>(&d_.source_)) return s->scaled(user_, x);
    return density_model().cdf(x);
}

double ContinuousDistribution::Bound::cdf(double x) const {
    if (const auto* q = d_.interpolation()) return q->cdf(x);
    const double c = engine_cdf(x);
    if (const auto* m = d_.check_model()) {
        const double mc = m->cdf(x);
        if (!agrees(c, mc, kCheckTolerance)) return mc;
    }
    return c;
}

double ContinuousDistribution::Bound::sf(double x) const {
    // The interpolated engine keeps the masses above its nodes: no loss to 1 - cdf.
    if (const auto* q = d_.interpolation()) return q->sf(x);
    const double c = engine_cdf(x);
    if (const auto* m = d_.check_model(); m != nullptr && !agrees(c, m->cdf(x), kCheckTolerance)) {
        return m->sf(x);
    }
    const double s = 1.0 - c;
    return s > 0.0 ? s : 0.0;
}

namespace {
// The cdf value clamped to [0, 1]; NaN stays NaN.
double clamp_unit(double c) { return c < 0.0 ? 0.0 : (c > 1.0 ? 1.0 : c); }
}  // namespace

double ContinuousDistribution::Bound::logcdf(double x) const {
    const double c = clamp_unit(cdf(x));  // the engine's value, or the model's where they differ
    return c <= 0.0 ? -INFINITY : std::log(c);
}

double ContinuousDistribution::Bound::logsf(double x) const {
    const auto log_of = [](double s) { return s > 0.0 ? std::log(s) : (s == 0.0 ? -INFINITY : s); };
    if (const auto* q = d_.interpolation()) return log_of(q->sf(x));
    const double engine = engine_cdf(x);
    if (const auto* m = d_.check_model();
        m != nullptr && !agrees(engine, m->cdf(x), kCheckTolerance)) {
        return log_of(m->sf(x));
    }
    const double c = clamp_unit(engine);
    return c >= 1.0 ? -INFINITY : std::log(1.0 - c);
}

const InterpolatedInverse* ContinuousDistribution::Bound::quantile_check() const {
    return d_.uses_hermite_table() ? nullptr : d_.check_model();
}

SampleResult<double> ContinuousDistribution::Bound::quantile(double u) const {
    // The interpolated engine's quantile function is defined on [0, 1]: 0 and 1 give the
    // support's ends (the first point of a plain Sobol sequence is 0).
    if (const auto* q = d_.interpolation()) {
        if (!(u >= 0.0 && u <= 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
        return q->quantile(u);
    }
    if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
    const auto x = engine_quantile(u);
    if (const auto* m = quantile_check(); m != nullptr && x && !agrees(m->cdf(*x), u, kCheckTolerance)) {
        return m->quantile(u);
    }
    return x;
}

SampleResult<double> ContinuousDistribution::Bound::engine_quantile(double u) const {
    const auto* inversion = std::get_if<InversionEngine>(&d_.sampler_);
    if (const auto* s = std::get_if<CdfSource>(&d_.source_)) {
        auto cdf = [&](double x) { return s->scaled(user_, x); };
        return inversion->quantile(u, cdf, std::nullopt, d_.support_);
    }
    const DensityModel model = density_model();
    auto cdf = [&model](double x) { return model.cdf(x); };
    auto density = [&model](double x) { return model.density(x); };
    if (inversion == nullptr) return tdr_quantile_engine().quantile(u, cdf, density, d_.support_);
    return inversion->quantile(u, cdf, density, d_.support_);
}

SampleResult<double> ContinuousDistribution::Bound::ppf(double u) const { return quantile(u); }

SampleResult<double> ContinuousDistribution::Bound::isf(double q) const {
    if (const auto* inverse = d_.interpolation()) return upper_quantile(*inverse, q);
    const double u = 1.0 - q;
    if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
    const auto x = engine_quantile(u);
    if (const auto* m = quantile_check(); m != nullptr && x && !agrees(m->sf(*x), q, kCheckTolerance)) {
        return m->quantile_upper(q);
    }
    return x;
}

// The point with mass q above it, from the masses summed from hi: for q too small for 1 - q
// to resolve as well; q = 0 and 1 give the support's ends. Out of range as ppf(1 - q) would be.
SampleResult<double> ContinuousDistribution::Bound::upper_quantile(
    const InterpolatedInverse& inverse, double q) {
    if (!(q >= 0.0 && q <= 1.0)) return std::unexpected(SampleError::quantile_out_of_range(1.0 - q));
    return inverse.quantile_upper(q);
}

FillResult ContinuousDistribution::Bound::ppf_many(std::span<const double> u,
                                                   std::span<double> out) const {
    const auto* inversion = std::get_if<InversionEngine>(&d_.sampler_);
    const std::size_t n = u.size();
    if (inversion != nullptr && inversion->table) {
        const std::size_t stop = inversion->table->evaluate_inside_unit(u.data(), out.data(), n);
        if (stop < n) return fill_stopped(stop, SampleError::quantile_out_of_range(u[stop]));
        return {};
    }
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = quantile(u[i]);
        if (!x) return fill_stopped(i, x.error());
        out[i] = *x;
    }
    return {};
}

}  // namespace varnix

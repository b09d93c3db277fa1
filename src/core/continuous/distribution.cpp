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

// The engines other than the interpolated one integrate and invert over the whole support.
BuildError unbounded_refused() {
    return BuildError::invalid_support(detail_text::unbounded_needs_interpolation);
}

// The user's distribution function at an end of the support: at an infinite end, its limit
// (0 or 1) where the function gives no finite value there.
double cdf_at_end(UserFn cdf, double end) {
    const double v = cdf(end);
    if (std::isfinite(end) || std::isfinite(v)) return v;
    return end > 0.0 ? 1.0 : 0.0;
}

}  // namespace

// --- The inversion engine ---------------------------------------------------------------------

InversionEngine InversionEngine::build(const BuildOptions& options,
                                       FunctionRef<double(double)> cdf, Interval support) {
    InversionEngine engine{{}, options.ppf_tolerance, iteration_cap(options.max_iterations),
                           options.use_newton, std::nullopt};
    if (options.hermite_grid_size) {
        engine.table = HermiteTable::build(cdf, support.lo(), support.hi(),
                                           *options.hermite_grid_size, engine.ppf_tolerance,
                                           engine.max_iterations);
    }
    return engine;
}

SampleResult<double> InversionEngine::quantile(const QueryContext& c, double u) const {
    if (const auto* s = std::get_if<CdfSource>(&c.source)) {
        auto cdf = [&](double x) { return s->scaled(c.user, x); };
        return quantile(u, cdf, std::nullopt, c.support);
    }
    const DensityModel model = c.density_model();
    auto cdf = [&model](double x) { return model.cdf(x); };
    auto density = [&model](double x) { return model.density(x); };
    return quantile(u, cdf, density, c.support);
}

FillResult InversionEngine::quantile_many(const QueryContext& c, std::span<const double> u,
                                          std::span<double> out) const {
    const std::size_t n = u.size();
    if (table) {
        const std::size_t stop = table->evaluate_inside_unit(u.data(), out.data(), n);
        if (stop < n) return fill_stopped(stop, SampleError::quantile_out_of_range(u[stop]));
        return {};
    }
    return each_of(u, out, [&](double v) { return quantile_inside_unit(*this, c, v); });
}

FillResult InversionEngine::quantile_upper_many(const QueryContext& c, std::span<const double> q,
                                                std::span<double> out) const {
    if (table) {
        for (std::size_t i = 0; i < q.size(); ++i) out[i] = 1.0 - q[i];
        return quantile_many(c, out, out);
    }
    return each_of(q, out, [&](double v) { return quantile_upper(c, v); });
}

void InversionEngine::check_nodes(const InterpolatedInverse& model, Interval support) {
    if (!table) return;
    const std::vector<double>& u = table->nodes();
    const std::vector<double>& x = table->quantiles();
    bool nodes_agree = true;
    for (std::size_t i = 0; nodes_agree && i < u.size(); ++i) {
        nodes_agree = check_rules::stands(check_rules::Rule::Node, model, model.cdf(x[i]), u[i]);
    }
    if (nodes_agree) return;
    std::vector<double> xs(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) xs[i] = model.quantile(u[i]);
    table = HermiteTable::from_nodes(support.lo(), support.hi(), u, std::move(xs));
}

void InversionEngine::measure_table(const InterpolatedInverse& model) {
    if (!table) return;
    const std::vector<double>& u = table->nodes();
    double worst = 0.0;
    auto probe = [&](double v) {
        worst = std::max(worst, std::fabs(model.cdf(table->evaluate(v)) - v));
    };
    const std::size_t last = u.size() - 2;
    for (std::size_t k = 0; k <= last; ++k) {
        const double width = u[k + 1] - u[k];
        probe(u[k] + 0.5 * width);
        if (k == 0 || k == last) {
            for (const double f : table_probe_fractions) probe(u[k] + f * width);
        }
    }
    table_u_error = worst;
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
    Source source, UserFn user, Interval support, const BuildOptions& options,
    std::span<const double> breakpoints, OptionalBatch batch) {
    InterpolationOptions io;
    io.u_resolution = *options.u_resolution;
    io.breakpoints = breakpoints;
    io.panels_per_part = InterpolationOptions::panels_per_part_for(io.u_resolution);
    io.threads = options.threads.value_or(1);
    if (const auto* s = std::get_if<CdfSource>(&source)) {
        auto scaled = [&](double x) { return s->scaled(user, x); };
        auto inverse = InterpolatedInverse::build_from_cdf(scaled, support.lo(), support.hi(), io);
        if (!inverse) return std::unexpected(inverse.error());
        return ContinuousDistribution(std::move(source), support,
                                      std::numeric_limits<double>::quiet_NaN(), 0.0,
                                      InterpolatedEngine{std::move(*inverse)});
    }
    const RawDensity raw(source, support, user);
    const auto raw_batch = RawBatch::of(source, support, batch);
    OptionalBatch density_batch;
    if (raw_batch) density_batch = BatchFn(*raw_batch);
    // A shifted and scaled density's mass lies near where its base's does: the image of 0 is
    // searched from too, where a wide or unbounded support needs a search.
    double shifted_zero[1];
    if (const auto* s = std::get_if<LocScaleSource>(&source); s && s->base_lo < 0.0 && 0.0 < s->base_hi) {
        shifted_zero[0] = s->loc;
        io.centres = shifted_zero;
    }
    auto inverse = InterpolatedInverse::build(raw, support.lo(), support.hi(), io, density_batch);
    if (!inverse) return std::unexpected(inverse.error());
    const double norm = inverse->norm();
    return ContinuousDistribution(std::move(source), support, norm, 0.0,
                                  InterpolatedEngine{std::move(*inverse)});
}

BuildResult<ContinuousDistribution> ContinuousDistribution::build_density_kind(
    Source source, UserFn user, Interval support, const BuildOptions& options,
    std::optional<UserFn> dpdf, std::span<const double> breakpoints, OptionalBatch batch) {
    if (options.u_resolution) {
        return build_interpolated(std::move(source), user, support, options, breakpoints,
                                  batch);
    }
    if (!support.bounded()) return std::unexpected(unbounded_refused());
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
                                 Checked<TdrEngine>{TdrEngine{{}, std::move(*hat)}, std::nullopt});
        if (auto checked = d.attach_check_model(user, breakpoints, batch); !checked) {
            return std::unexpected(checked.error());
        }
        return d;
    }
    auto cdf = [&model, integrand](double x) { return model.cdf(x, integrand); };
    // Built before the source is moved into the distribution: the table reads the source.
    InversionEngine inversion = InversionEngine::build(options, cdf, support);
    if (const auto negative = watch.error()) return std::unexpected(*negative);
    ContinuousDistribution d(std::move(source), support, norm, options.quad_tolerance,
                             Checked<InversionEngine>{std::move(inversion), std::nullopt});
    if (auto checked = d.attach_check_model(user, breakpoints, batch); !checked) {
        return std::unexpected(checked.error());
    }
    return d;
}

// --- The check model -------------------------------------------------------------------------

BuildResult<void> ContinuousDistribution::attach_check_model(UserFn user,
                                                             std::span<const double> breakpoints,
                                                             OptionalBatch batch) {
    // Extra density calls, after everything the engines' own build called.
    const RawDensity raw(source_, support_, user);
    const auto raw_batch = RawBatch::of(source_, support_, batch);
    OptionalBatch density_batch;
    if (raw_batch) density_batch = BatchFn(*raw_batch);
    InterpolationOptions io;
    io.u_resolution = check_resolution;
    io.breakpoints = breakpoints;
    auto model = InterpolatedInverse::build(raw, support_.lo(), support_.hi(), io, density_batch);
    if (!model) {
        // A negative value is a fault of the density and refuses it as such; anything else
        // (NaN at isolated points, a mass no double can resolve) means that the engine's
        // results could not be checked, and an unchecked engine is not one to answer alone.
        if (model.error().kind == BuildErrorKind::DensityNegative) {
            return std::unexpected(model.error());
        }
        return std::unexpected(BuildError::result_unchecked(checked_results(), model.error()));
    }
    set_check_model(std::move(*model));
    return {};
}

const char* ContinuousDistribution::checked_results() const {
    if (uses_tdr()) return "the transformed density rejection's result";
    if (uses_hermite_table()) return "the Hermite table's result";
    return "the plain inversion's result";
}

void ContinuousDistribution::set_check_model(InterpolatedInverse model) {
    const Interval support = support_;
    std::visit(
        [&model, support](auto& e) {
            if constexpr (requires { e.model; }) {
                e.model = std::move(model);
                // A Hermite table's nodes, each an inversion of the engine's distribution
                // function, are checked once here, and the cubic between them measured.
                if constexpr (requires { e.engine.check_nodes(*e.model, support); }) {
                    e.engine.check_nodes(*e.model, support);
                    e.engine.measure_table(*e.model);
                }
            }
        },
        engine_);
}

std::optional<double> ContinuousDistribution::u_error() const {
    if (const InterpolatedInverse* q = interpolation()) return q->max_u_error();
    const auto* inversion = std::get_if<Checked<InversionEngine>>(&engine_);
    if (inversion == nullptr || !inversion->model) return std::nullopt;
    if (inversion->engine.table) return inversion->engine.table_u_error;
    // Plain inversion: every quantile is compared with the model's and replaced where they
    // disagree by more than the tolerance, so the answers are within that of the model, whose
    // own error is its measured one.
    return check_tolerance + inversion->model->max_u_error();
}

BuildResult<ContinuousDistribution> ContinuousDistribution::from_pdf(UserFn pdf, Interval support,
                                                                     const BuildOptions& options,
                                                                     std::optional<UserFn> dpdf,
                                                                     OptionalBatch batch) {
    return build_density_kind(PdfSource{}, pdf, support, options, dpdf, {}, batch);
}

BuildResult<ContinuousDistribution> ContinuousDistribution::from_cdf(UserFn cdf, Interval support,
                                                                     const BuildOptions& options) {
    if (!support.bounded() && !options.u_resolution) return std::unexpected(unbounded_refused());
    const double cdf_lo = cdf_at_end(cdf, support.lo());
    const double cdf_hi = cdf_at_end(cdf, support.hi());
    const CdfSource source{cdf_lo, cdf_hi - cdf_lo};
    if (!finite_positive(source.cdf_span)) return std::unexpected(normalization_failed());
    if (options.tdr) {
        return std::unexpected(BuildError::invalid_support(detail_text::tdr_requires_pdf));
    }
    if (options.u_resolution) {
        return build_interpolated(source, cdf, support, options, {});
    }
    auto scaled = [&](double x) { return source.scaled(cdf, x); };
    return ContinuousDistribution(source, support, std::numeric_limits<double>::quiet_NaN(),
                                  options.quad_tolerance,
                                  Checked<InversionEngine>{
                                      InversionEngine::build(options, scaled, support),
                                      std::nullopt});
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
                                                                      const BuildOptions& options,
                                                                      OptionalBatch batch) {
    if (trunc.lo() < support.lo() || trunc.hi() > support.hi()) {
        return std::unexpected(BuildError::of(BuildErrorKind::TruncationOutsideSupport));
    }
    // The interpolated engine finds the mass itself, robustly: the density is passed as it is.
    if (options.u_resolution) {
        return build_interpolated(TruncatedSource{support.lo(), support.hi(), 1.0}, pdf, trunc,
                                  options, {}, batch);
    }
    if (!trunc.bounded()) return std::unexpected(unbounded_refused());
    // The base mass uses a fixed tolerance, whatever the options say.
    NegativeDensityWatch watch;
    auto watched = [&pdf, &watch](double x) { return watch(pdf(x), x); };
    const double mass = adaptive_simpson(watched, trunc.lo(), trunc.hi(), 1e-10);
    if (!finite_positive(mass)) return std::unexpected(normalization_failed());
    if (const auto negative = watch.error()) return std::unexpected(*negative);
    return build_density_kind(TruncatedSource{support.lo(), support.hi(), mass}, pdf, trunc,
                              options, std::nullopt, {}, batch);
}

BuildResult<ContinuousDistribution> ContinuousDistribution::loc_scale(UserFn pdf, Interval support,
                                                                      double loc, double scale,
                                                                      const BuildOptions& options,
                                                                      OptionalBatch batch) {
    if (!finite_positive(scale)) return std::unexpected(BuildError::of(BuildErrorKind::InvalidScale));
    const double shifted_lo = loc + scale * support.lo();
    const double shifted_hi = loc + scale * support.hi();
    const auto shifted = support.bounded() || !std::isfinite(loc)
                             ? Interval::make(shifted_lo, shifted_hi)
                             : Interval::support(shifted_lo, shifted_hi);
    if (!shifted) return std::unexpected(shifted.error());
    return build_density_kind(LocScaleSource{support.lo(), support.hi(), loc, scale}, pdf,
                              *shifted, options, std::nullopt, {}, batch);
}

bool ContinuousDistribution::uses_hermite_table() const {
    const auto* inversion = std::get_if<Checked<InversionEngine>>(&engine_);
    return inversion != nullptr && inversion->engine.table.has_value();
}

const InterpolatedInverse* ContinuousDistribution::check_model() const {
    return std::visit(
        [](const auto& e) -> const InterpolatedInverse* {
            if constexpr (requires { e.model; }) {
                return e.model ? &*e.model : nullptr;
            } else {
                return nullptr;
            }
        },
        engine_);
}

std::optional<std::size_t> ContinuousDistribution::words_per_draw() const {
    return std::visit([](const auto& e) { return e.words_per_draw(); }, engine_);
}

bool ContinuousDistribution::calls_user(Query query) const {
    if (!has_user_function()) return false;
    // Without a density, pdf answers None and the summaries but median and interval (which are
    // quantiles) answer without the function.
    if ((query == Query::Density || query == Query::Summary) && !has_density()) return false;
    return std::visit([query](const auto& e) { return e.calls_user(query); }, engine_);
}

// --- Queries ----------------------------------------------------------------------------------

std::optional<double> ContinuousDistribution::Bound::pdf(double x) const {
    if (!c_.has_density()) return std::nullopt;
    return c_.density_model().density(x);
}

std::optional<double> ContinuousDistribution::Bound::logpdf(double x) const {
    const auto p = pdf(x);
    if (!p || !(*p > 0.0)) return std::nullopt;
    return std::log(*p);
}

double ContinuousDistribution::Bound::cdf(double x) const {
    return visit([&](const auto& e) { return e.cdf(c_, x); });
}

double ContinuousDistribution::Bound::sf(double x) const {
    return visit([&](const auto& e) { return e.sf(c_, x); });
}

double ContinuousDistribution::Bound::logcdf(double x) const {
    // The cdf value clamped to [0, 1]; NaN stays NaN.
    const double p = cdf(x);
    const double c = p < 0.0 ? 0.0 : (p > 1.0 ? 1.0 : p);
    return c <= 0.0 ? -INFINITY : std::log(c);
}

double ContinuousDistribution::Bound::logsf(double x) const {
    return visit([&](const auto& e) { return e.logsf(c_, x); });
}

SampleResult<double> ContinuousDistribution::Bound::quantile(double u) const {
    return visit([&](const auto& e) { return quantile_inside_unit(e, c_, u); });
}

SampleResult<double> ContinuousDistribution::Bound::ppf(double u) const { return quantile(u); }

SampleResult<double> ContinuousDistribution::Bound::isf(double q) const {
    return visit([&](const auto& e) { return e.quantile_upper(c_, q); });
}

FillResult ContinuousDistribution::Bound::ppf_many(std::span<const double> u,
                                                   std::span<double> out) const {
    return visit([&](const auto& e) { return e.quantile_many(c_, u, out); });
}

FillResult ContinuousDistribution::Bound::isf_many(std::span<const double> q,
                                                   std::span<double> out) const {
    return visit([&](const auto& e) { return e.quantile_upper_many(c_, q, out); });
}

}  // namespace varnix

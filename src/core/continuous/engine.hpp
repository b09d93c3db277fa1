// What every quantile engine of a continuous distribution answers, and the pieces they share.
//
// An engine (plain inversion with or without its Hermite table, TDR, the interpolated inverse)
// answers the same small set of questions, each handed the QueryContext of one call:
//
//   cdf(c, x), sf(c, x), logsf(c, x)        the probabilities below and above x
//   quantile(c, u)                          u strictly inside (0, 1), checked by the caller
//   quantile_upper(c, q)                    the point with mass q above it (its own range check)
//   quantile_many(c, u, out), quantile_upper_many(c, q, out)   the same over spans
//   mean(c), var(c), entropy(c), expect(c, func, seen)          summaries of a density source
//   sample(c, rng), fill(c, out, rng)       draws, one or a span of them
//   words_per_draw(), calls_user(query)     what a fill and the binding need to know
//
// and two constants: whether a draw is the quantile of one uniform (draws_by_quantile), and
// whether the upper end of a central interval comes from the masses summed from hi
// (interval_upper_from_masses). ContinuousDistribution holds one engine, wrapped in the check
// model where it has one (checked.hpp), and visits it once per query.
#pragma once

#include <cmath>
#include <concepts>
#include <cstddef>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/continuous/integrate.hpp"
#include "core/continuous/options.hpp"
#include "core/continuous/source_density.hpp"
#include "core/errors.hpp"
#include "core/fill.hpp"
#include "core/function_ref.hpp"
#include "core/word_source.hpp"

namespace varnix {

// The kinds of query, as far as calling the user's function goes: the density itself, the
// probabilities (cdf, sf and their logarithms), the quantiles (ppf, isf, median, interval),
// draws, and the integral summaries (mean, var, std, entropy, expect).
enum class Query : std::uint8_t { Density, Probability, Quantile, Draw, Summary };

// A distribution's numbers paired with the user's function for the duration of one call: what
// every engine query is handed. Holds references only; the source and the callable behind user
// must outlive it.
struct QueryContext {
    QueryContext(const ContinuousSource& source, Interval support, UserFn user, double norm,
                 double quad_tolerance)
        : source(source), support(support), user(user), raw(source, support, user), norm(norm),
          quad_tolerance(quad_tolerance) {}

    const ContinuousSource& source;
    Interval support;
    UserFn user;
    RawDensity raw;
    double norm;
    double quad_tolerance;

    bool has_density() const { return !std::holds_alternative<CdfSource>(source); }
    DensityModel density_model() const {
        return DensityModel{raw, support.lo(), support.hi(), norm, quad_tolerance};
    }
    // The source's own distribution function: the user's cdf rescaled, or a fresh integral of
    // the density from lo.
    double cdf(double x) const {
        if (const auto* s = std::get_if<CdfSource>(&source)) return s->scaled(user, x);
        return density_model().cdf(x);
    }
};

// One evaluation of expect's integrand: the point, the normalised density and func there.
// Engines that integrate the density record them when asked, for the check model's verdict.
struct Evaluation {
    double x;
    double p;
    double g;
};

// A summary that must be finite: IntegrationFailed otherwise.
inline SampleResult<double> finite_or_failed(double v) {
    if (!std::isfinite(v)) return std::unexpected(SampleError::of(SampleErrorKind::IntegrationFailed));
    return v;
}

// The quantile of engine e at u, refused outside (0, 1) as ppf refuses it; an engine whose
// quantile function is defined on [0, 1] (closed_unit: 0 and 1 give the support's ends) takes
// those two too.
template <class E>
SampleResult<double> quantile_inside_unit(const E& e, const QueryContext& c, double u) {
    if constexpr (requires { E::closed_unit; }) {
        if (!(u >= 0.0 && u <= 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
    } else {
        if (!(u > 0.0 && u < 1.0)) return std::unexpected(SampleError::quantile_out_of_range(u));
    }
    return e.quantile(c, u);
}

// out.size() draws, each from draw(), in order; the first failing one stops the fill.
template <class Draw>
FillResult fill_one_by_one(std::span<double> out, Draw&& draw) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto x = draw();
        if (!x) return fill_stopped(i, x.error());
        out[i] = *x;
    }
    return {};
}

// out[i] = query(in[i]) for each i in order; the first failing element stops. in and out may
// be the same span (each element is read before its own result is written).
template <class F>
FillResult each_of(std::span<const double> in, std::span<double> out, F&& query) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        const auto x = query(in[i]);
        if (!x) return fill_stopped(i, x.error());
        out[i] = *x;
    }
    return {};
}

// The answers of an engine that works from the source itself: probabilities from the user's
// cdf or a fresh integral of the density, and summaries as adaptive Simpson integrals of the
// density at a fixed tolerance (summary.cpp). Plain inversion and TDR answer these alike.
namespace source_queries {
double cdf(const QueryContext& c, double x);
// 1 - cdf, floored at 0 (a NaN stays NaN), from the cdf value c.
inline double sf_of_cdf(double c) {
    const double s = 1.0 - c;
    return s > 0.0 ? s : 0.0;
}
// log(1 - cdf) of the cdf value clamped to [0, 1] (a NaN stays NaN).
double logsf_of_cdf(double c);
SampleResult<double> mean(const QueryContext& c);
SampleResult<double> var(const QueryContext& c);
SampleResult<double> entropy(const QueryContext& c);
// With seen, every evaluation of the integrand is recorded in it.
SampleResult<double> expect(const QueryContext& c, UserFn func, std::vector<Evaluation>* seen);
}  // namespace source_queries

// The interface, as the distribution uses it (fills are templates on the word source and are
// checked where they are instantiated).
template <class E>
concept QuantileEngine = requires(const E& e, const QueryContext& c, double x, UserFn f,
                                  std::span<const double> in, std::span<double> out,
                                  std::vector<Evaluation>* seen, Query q) {
    { e.cdf(c, x) } -> std::same_as<double>;
    { e.sf(c, x) } -> std::same_as<double>;
    { e.logsf(c, x) } -> std::same_as<double>;
    { e.quantile(c, x) } -> std::same_as<SampleResult<double>>;
    { e.quantile_upper(c, x) } -> std::same_as<SampleResult<double>>;
    { e.quantile_many(c, in, out) } -> std::same_as<FillResult>;
    { e.quantile_upper_many(c, in, out) } -> std::same_as<FillResult>;
    { e.mean(c) } -> std::same_as<SampleResult<double>>;
    { e.var(c) } -> std::same_as<SampleResult<double>>;
    { e.entropy(c) } -> std::same_as<SampleResult<double>>;
    { e.expect(c, f, seen) } -> std::same_as<SampleResult<double>>;
    { e.words_per_draw() } -> std::same_as<std::optional<std::size_t>>;
    { e.calls_user(q) } -> std::same_as<bool>;
    { E::draws_by_quantile } -> std::convertible_to<bool>;
    { E::interval_upper_from_masses } -> std::convertible_to<bool>;
};

}  // namespace varnix

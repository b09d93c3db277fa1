// ContinuousDistribution: a univariate distribution on a finite interval, defined by a density,
// a distribution function or a histogram, optionally truncated or shifted and scaled.
//
// The check model. A density-defined distribution built with plain inversion, a Hermite table or
// TDR also builds, after those engines' own build and from extra density calls, an interpolated
// quantile function at u-resolution 1e-10 (InterpolatedInverse: a robust integral of the
// density and its inverse). The engines' results are compared with it: a probability or a
// quantile that agrees within 1e-6 in u, a summary within 1e-6 relative (the mean: relative to
// the standard deviation) is returned exactly as the engine computed it; one that does not is
// replaced by the model's, computed without calling the user's function. A Hermite table whose
// nodes disagree is built on the model's quantiles at the same probabilities; its quantiles and
// draws between the nodes are its cubic's, not compared query by query, and its u-error is
// measured against the model instead (u_error). The queries call the user function exactly as
// they would without the model. An engine's error, or NaN (the user function failing during
// the query), stands. A density for which the model cannot be built (NaN at a point it reads,
// say) refuses the distribution (ResultUnchecked): no engine answers unchecked. A negative
// density value met by the model's build refuses it as such.
//
// The shape. The distribution holds its source (with the density's norm and integration
// tolerance), its support and one engine (engines.hpp: plain inversion with or without its
// table, TDR, the interpolated inverse), each answering the interface of engine.hpp; the first
// two are held in Checked<E> (checked.hpp), which carries the check model and its table of
// rules. Every query visits the engine once. Whether a query calls the user function is the
// engine's answer too (calls_user), which the binding asks before releasing the interpreter.
//
// The object holds numbers only. A distribution defined by a user function does not keep that
// function: the builders take it as a FunctionRef, and every query goes through a view,
// d.with(f), that pairs the distribution with the same function for the duration of one call
// (the caller keeps it alive). Histogram distributions have no user function; their view is
// d.without_function(). A user function may throw; nothing is leaked and the exception passes
// through unchanged.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <optional>
#include <span>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "core/batch_fn.hpp"
#include "core/continuous/checked.hpp"
#include "core/continuous/engine.hpp"
#include "core/continuous/engines.hpp"
#include "core/continuous/hermite.hpp"
#include "core/continuous/histogram.hpp"
#include "core/continuous/interpolated_inverse.hpp"
#include "core/continuous/options.hpp"
#include "core/continuous/source_density.hpp"
#include "core/continuous/tdr.hpp"
#include "core/errors.hpp"
#include "core/fill.hpp"
#include "core/function_ref.hpp"
#include "core/serial.hpp"
#include "core/word_source.hpp"

namespace varnix {

class ContinuousDistribution {
public:
    static constexpr double check_resolution = check_rules::resolution;
    static constexpr double check_tolerance = check_rules::tolerance;

    using Source = ContinuousSource;
    // The engine (engines.hpp), in the check model's wrapper where the density can be checked.
    // InterpolatedEngine is built instead of the normalising integral and needs no check.
    using Engine = std::variant<Checked<TdrEngine>, Checked<InversionEngine>, InterpolatedEngine>;
    class Bound;

    // --- Builders. Checks run in a fixed order; the first failure is returned. ---------------

    // From a density on support: the normalising integral (NormalizationFailed unless finite
    // and positive), then the engine the options choose. dpdf, the density's derivative, is
    // called only while building a TDR hat and is not kept.
    //
    // batch, the density's batch form (a function of many points at once, giving pdf's values),
    // is used by the interpolated engine's build and the check model's, which evaluate the
    // points they can in one call; everything else calls pdf as it would without it. For a
    // batch that gives pdf's values the distribution is the same, number for number. The same
    // holds for the batch of truncated and loc_scale, the raw user function's batch form.
    static BuildResult<ContinuousDistribution> from_pdf(UserFn pdf, Interval support,
                                                        const BuildOptions& options = {},
                                                        std::optional<UserFn> dpdf = std::nullopt,
                                                        OptionalBatch batch = std::nullopt);

    // From a distribution function: cdf(lo) then cdf(hi) with a finite positive rise
    // (NormalizationFailed), then a TDR choice is refused (InvalidSupport).
    static BuildResult<ContinuousDistribution> from_cdf(UserFn cdf, Interval support,
                                                        const BuildOptions& options = {});

    // From histogram edges and per-bin counts (see HistogramDensity::build for the checks).
    static BuildResult<ContinuousDistribution> from_histogram(std::span<const double> edges,
                                                              std::span<const double> counts,
                                                              bool density,
                                                              const BuildOptions& options = {});

    // pdf, defined on support, restricted to trunc and renormalised. Checks containment (equal
    // ends allowed), then the base mass over trunc at tolerance 1e-10.
    static BuildResult<ContinuousDistribution> truncated(UserFn pdf, Interval support,
                                                         Interval trunc,
                                                         const BuildOptions& options = {},
                                                         OptionalBatch batch = std::nullopt);

    // pdf, defined on support, shifted by loc and scaled by scale: the support becomes
    // [loc + scale * lo, loc + scale * hi]. The scale is checked first, then the new bounds
    // (a non-finite loc, or rounding that collapses the interval when loc dwarfs it).
    static BuildResult<ContinuousDistribution> loc_scale(UserFn pdf, Interval support, double loc,
                                                         double scale,
                                                         const BuildOptions& options = {},
                                                         OptionalBatch batch = std::nullopt);

    // --- Queries, through a view bound to the function the distribution was built from. -----

    Bound with(UserFn f) const;
    Bound without_function() const;  // a histogram, which has no user function

    // --- Introspection. ----------------------------------------------------------------------

    bool uses_tdr() const { return std::holds_alternative<Checked<TdrEngine>>(engine_); }
    bool uses_hermite_table() const;
    bool uses_interpolation() const { return interpolation() != nullptr; }
    // The interpolated quantile function, when the options asked for one.
    const InterpolatedInverse* interpolation() const {
        const auto* e = std::get_if<InterpolatedEngine>(&engine_);
        return e != nullptr ? &e->inverse : nullptr;
    }
    bool has_density() const { return !std::holds_alternative<CdfSource>(source_); }
    // The check model, when one was built (see the top of this file).
    const InterpolatedInverse* check_model() const;
    // The largest u-error |F(ppf(u)) - u| of the quantiles this distribution answers, where
    // something measured it: the interpolated engine's own, as its build measured it; a Hermite
    // table's, measured against the check model (InversionEngine::measure_table); for plain
    // inversion, whose every quantile the model guards, the guard's tolerance plus the model's
    // own measured error. None for TDR (its draws are no quantiles) and for plain inversion or
    // a table built from a distribution function (no density, so no check model).
    std::optional<double> u_error() const;

    // Whether a query of this kind may call the user function: never for a histogram, which
    // has none, nor for a density or summary query of a cdf-defined one; otherwise as the
    // engine says.
    // Queries that call no user function may run on any thread.
    bool calls_user(Query query) const;
    // Words of the source each draw takes, when that is a fixed number: one uniform for a
    // quantile (table, interpolation or numerical inversion); none for TDR, whose trials vary
    // in number. A fixed count lets a fill start any draw at its own position in a stream.
    std::optional<std::size_t> words_per_draw() const;
    // Whether a draw may call the user function: calls_user(Query::Draw).
    bool draws_call_user_function() const { return calls_user(Query::Draw); }
    // Whether any query may call the user function: all but a histogram's.
    bool has_user_function() const { return !std::holds_alternative<HistogramSource>(source_); }
    Interval support() const { return support_; }
    double norm() const { return norm_; }  // density kinds only; NaN for a cdf-defined one

    // --- Saved state (core/serial.hpp). ------------------------------------------------------

    // The support, the density's numbers, the source (a histogram as its own state, the
    // others as they are), the engine as built (the TDR hat, the inversion settings with the
    // Hermite table, or the interpolated inverse) and the check model. The alternatives'
    // indices are part of the format: a new one goes at the end.
    struct State {
        static constexpr const char* name = "ContinuousDistribution";
        using Source = std::variant<PdfSource, CdfSource, HistogramDensity::State,
                                    LocScaleSource, TruncatedSource>;
        using Sampler = std::variant<TdrHat::State, InversionEngine::State,
                                     InterpolatedInverse::State>;
        double lo = 0.0;
        double hi = 0.0;
        double norm = 0.0;
        double quad_tolerance = 0.0;  // an option, saved as given
        Source source;
        Sampler engine;
        std::optional<InterpolatedInverse::State> check_model;
        static auto fields(auto& s) {
            auto& [lo, hi, norm, quad_tolerance, source, engine, check_model] = s;
            return std::tie(lo, hi, norm, quad_tolerance, source, engine, check_model);
        }
    };
    State state() const;
    // Checks, in order, the support, the source against the support and the norm, the engine
    // against the source and the support (then the hat's or the table's own checks), the check
    // model against the source and the support, then the interpolated inverses' own checks. The
    // first failure is the refusal.
    static StateResult<ContinuousDistribution> from_state(State s);

private:

    ContinuousDistribution(Source source, Interval support, double norm, double quad_tolerance,
                           Engine engine)
        : source_(std::move(source)), support_(support), norm_(norm),
          quad_tolerance_(quad_tolerance), engine_(std::move(engine)) {}

    static BuildResult<ContinuousDistribution> build_density_kind(Source source, UserFn user,
                                                                  Interval support,
                                                                  const BuildOptions& options,
                                                                  std::optional<UserFn> dpdf,
                                                                  std::span<const double> breakpoints = {},
                                                                  OptionalBatch batch = std::nullopt);
    static BuildResult<ContinuousDistribution> build_interpolated(Source source, UserFn user,
                                                                  Interval support,
                                                                  const BuildOptions& options,
                                                                  std::span<const double> breakpoints,
                                                                  OptionalBatch batch = std::nullopt);
    // Builds the check model after the engines' own build. A negative density refuses the
    // distribution as such; any other failure of the model's build refuses it as unchecked
    // (ResultUnchecked, the model's error as its cause).
    BuildResult<void> attach_check_model(UserFn user, std::span<const double> breakpoints,
                                         OptionalBatch batch);
    // Puts a check model (built, or read from a saved state) into the engine's wrapper; the
    // interpolated engine has none and leaves it. A Hermite table's nodes are checked and its
    // u-error measured against it here.
    void set_check_model(InterpolatedInverse model);
    // What a refusal as unchecked names: the engine's results.
    const char* checked_results() const;

    // The source and the numbers of its density (norm and the integrals' tolerance), the
    // support, and the engine.
    Source source_;
    Interval support_;
    double norm_;
    double quad_tolerance_;
    Engine engine_;
};

// The texts refusing a saved source or engine of an unknown kind.
template <>
inline constexpr const char* state_field_refusal<ContinuousDistribution::State::Source> =
    "unknown source kind";
template <>
inline constexpr const char* state_field_refusal<ContinuousDistribution::State::Sampler> =
    "unknown sampler kind";

// A distribution paired with the function it was built from, for the duration of one call.
// Holds references only: the distribution and the callable behind f must outlive the view.
// Each query but pdf visits the engine once.
class ContinuousDistribution::Bound {
public:
    std::optional<double> pdf(double x) const;     // nullopt for a cdf-defined distribution
    std::optional<double> logpdf(double x) const;  // nullopt unless pdf > 0
    double cdf(double x) const;                    // not clamped
    double sf(double x) const;                     // 1 - cdf, floored at 0
    double logcdf(double x) const;
    double logsf(double x) const;
    // The quantile; QuantileOutOfRange unless u is in (0, 1), or in [0, 1] for the interpolated
    // engine, whose ppf(0) and ppf(1) are the support's ends.
    SampleResult<double> ppf(double u) const;
    SampleResult<double> isf(double q) const;  // ppf(1 - q)
    // out[i] = ppf(u[i]) for each i in order, the same values; the first failing element
    // stops (FillStop counts the elements before it). u and out may be the same span. Through
    // a Hermite table a block of quantiles is evaluated at once.
    FillResult ppf_many(std::span<const double> u, std::span<double> out) const;
    // The same for isf.
    FillResult isf_many(std::span<const double> q, std::span<double> out) const;

    // One draw: TDR, or the quantile of one uniform.
    template <WordSource R>
    SampleResult<double> sample(R& rng) const;

    // n draws into out, the same values as n calls of sample. out is cleared first and sized
    // once (no allocation per draw); the first failing draw ends the call with its error, and
    // out then holds exactly the draws completed before it.
    template <WordSource R>
    SampleResult<void> sample_n(std::size_t n, R& rng, std::vector<double>& out) const;

    // out.size() draws into out, the values sample_n gives for the same n; the first failing
    // draw stops the fill (FillStop counts the draws written before it).
    template <WordSource R>
    FillResult fill(std::span<double> out, R& rng) const;

    // Summary statistics: integrals at the fixed tolerance 1e-10, and quantiles.
    SampleResult<double> mean() const;
    SampleResult<double> var() const;
    SampleResult<double> std_dev() const;  // the square root of var
    SampleResult<double> median() const;
    // For a cdf-defined distribution, from its interpolated quantile function's slopes;
    // EntropyNeedsInterpolation without one.
    SampleResult<double> entropy() const;
    SampleResult<std::pair<double, double>> interval(double confidence) const;
    SampleResult<double> expect(UserFn func) const;

private:
    friend class ContinuousDistribution;
    Bound(const ContinuousDistribution& d, UserFn user)
        : d_(d), c_(d.source_, d.support_, user, d.norm_, d.quad_tolerance_) {}

    // f(engine) for the distribution's engine.
    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit(std::forward<F>(f), d_.engine_);
    }
    SampleResult<double> quantile(double u) const;

    const ContinuousDistribution& d_;
    QueryContext c_;
};

inline ContinuousDistribution::Bound ContinuousDistribution::with(UserFn f) const {
    return Bound(*this, f);
}

inline ContinuousDistribution::Bound ContinuousDistribution::without_function() const {
    return Bound(*this, no_user_function());
}

// --- Sampling, for any word source -----------------------------------------------------------

template <WordSource R>
SampleResult<double> ContinuousDistribution::Bound::sample(R& rng) const {
    return visit([&](const auto& e) { return e.sample(c_, rng); });
}

template <WordSource R>
FillResult ContinuousDistribution::Bound::fill(std::span<double> out, R& rng) const {
    return visit([&](const auto& e) { return e.fill(c_, out, rng); });
}

template <WordSource R>
SampleResult<void> ContinuousDistribution::Bound::sample_n(std::size_t n, R& rng,
                                                           std::vector<double>& out) const {
    out.clear();
    out.resize(n);
    const FillResult filled = fill(std::span<double>(out), rng);
    if (!filled) {
        out.resize(filled.error().filled);
        return std::unexpected(filled.error().error);
    }
    return {};
}

}  // namespace varnix

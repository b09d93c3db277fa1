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
// nodes disagree is built on the model's quantiles at the same probabilities. The queries call
// the user function exactly as they would without the model. An engine's error, or NaN (the
// user function failing during the query), stands. A density for which the model cannot be
// built (NaN at isolated points, say) keeps the engines' results unchecked; a
// negative density value met by the model's build refuses the distribution.
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
#include <utility>
#include <variant>
#include <vector>

#include "core/continuous/hermite.hpp"
#include "core/continuous/histogram.hpp"
#include "core/continuous/interpolated_inverse.hpp"
#include "core/continuous/options.hpp"
#include "core/continuous/source_density.hpp"
#include "core/continuous/tdr.hpp"
#include "core/errors.hpp"
#include "core/fill.hpp"
#include "core/function_ref.hpp"
#include "core/word_source.hpp"

namespace varnix {

// Quantiles by numeric inversion of the distribution function: the settings, and the Hermite
// table built from them when the options ask for one.
struct InversionEngine {
    double ppf_tolerance;
    std::uint32_t max_iterations;
    bool use_newton;
    std::optional<HermiteTable> table;

    // The settings from the options; cdf is called only to build a table the options ask for.
    static InversionEngine build(const BuildOptions& options, FunctionRef<double(double)> cdf,
                                 Interval support);

    // The quantile at u, strictly inside (0, 1): the table when there is one; otherwise
    // bisection of cdf, polished by Newton steps when use_newton is set and a density is given.
    SampleResult<double> quantile(double u, FunctionRef<double(double)> cdf,
                                  std::optional<FunctionRef<double(double)>> density,
                                  Interval support) const;
};

namespace check_detail {
// Whether an engine's value stands beside the check model's: within tol. A NaN stands too: it
// is how a query reports that the user function failed during it (as an error does), which is
// no silent wrong answer, and which a model built earlier must not hide.
inline bool agrees(double engine, double model, double tol) {
    return std::isnan(engine) || std::fabs(engine - model) <= tol;
}
}  // namespace check_detail

class ContinuousDistribution {
public:
    static constexpr double check_resolution = 1e-10;  // the check model's u-resolution
    static constexpr double check_tolerance = 1e-6;    // agreement that keeps an engine's result

    using Source = ContinuousSource;
    // InterpolatedInverse: the options' u_resolution. It answers every query but pdf without
    // calling the user function, and is built instead of the normalising integral.
    using Sampler = std::variant<TdrHat, InversionEngine, InterpolatedInverse>;
    class Bound;

    // --- Builders. Checks run in a fixed order; the first failure is returned. ---------------

    // From a density on support: the normalising integral (NormalizationFailed unless finite
    // and positive), then the sampler the options choose. dpdf, the density's derivative, is
    // called only while building a TDR hat and is not kept.
    static BuildResult<ContinuousDistribution> from_pdf(UserFn pdf, Interval support,
                                                        const BuildOptions& options = {},
                                                        std::optional<UserFn> dpdf = std::nullopt);

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
                                                         const BuildOptions& options = {});

    // pdf, defined on support, shifted by loc and scaled by scale: the support becomes
    // [loc + scale * lo, loc + scale * hi]. The scale is checked first, then the new bounds
    // (a non-finite loc, or rounding that collapses the interval when loc dwarfs it).
    static BuildResult<ContinuousDistribution> loc_scale(UserFn pdf, Interval support, double loc,
                                                         double scale,
                                                         const BuildOptions& options = {});

    // --- Queries, through a view bound to the function the distribution was built from. -----

    Bound with(UserFn f) const;
    Bound without_function() const;  // a histogram, which has no user function

    // --- Introspection. ----------------------------------------------------------------------

    bool uses_tdr() const { return std::holds_alternative<TdrHat>(sampler_); }
    bool uses_hermite_table() const;
    bool uses_interpolation() const { return interpolation() != nullptr; }
    // The interpolated quantile function, when the options asked for one.
    const InterpolatedInverse* interpolation() const {
        return std::get_if<InterpolatedInverse>(&sampler_);
    }
    bool has_density() const { return !std::holds_alternative<CdfSource>(source_); }
    // The check model, when one was built (see the top of this file).
    const InterpolatedInverse* check_model() const { return check_ ? &*check_ : nullptr; }

    // Words of the source each draw takes, when that is a fixed number: one uniform for a
    // quantile (table, interpolation or numerical inversion); none for TDR, whose trials vary
    // in number. A fixed count lets a fill start any draw at its own position in a stream.
    std::optional<std::size_t> words_per_draw() const;
    // Whether a draw may call the user function: not through a Hermite table or the
    // interpolated inverse, and never for a histogram, which has none. Draws that call no user
    // function may run on any thread.
    bool draws_call_user_function() const;
    // Whether any query may call the user function: all but a histogram's.
    bool has_user_function() const { return !std::holds_alternative<HistogramSource>(source_); }
    Interval support() const { return support_; }
    double norm() const { return norm_; }  // density kinds only; NaN for a cdf-defined one

private:
    friend struct StateCodec;  // saved states (core/serial.hpp)

    ContinuousDistribution(Source source, Interval support, double norm, double quad_tolerance,
                           Sampler sampler)
        : source_(std::move(source)), support_(support), norm_(norm),
          quad_tolerance_(quad_tolerance), sampler_(std::move(sampler)) {}

    static BuildResult<ContinuousDistribution> build_density_kind(Source source, UserFn user,
                                                                  Interval support,
                                                                  const BuildOptions& options,
                                                                  std::optional<UserFn> dpdf,
                                                                  std::span<const double> breakpoints = {});
    static BuildResult<ContinuousDistribution> build_interpolated(Source source, UserFn user,
                                                                  Interval support,
                                                                  double u_resolution,
                                                                  std::span<const double> breakpoints);
    // Builds the check model after the engines' own build; only a negative density fails.
    BuildResult<void> attach_check_model(UserFn user, std::span<const double> breakpoints);

    Source source_;
    Interval support_;
    double norm_;
    double quad_tolerance_;
    Sampler sampler_;
    std::optional<InterpolatedInverse> check_;
};

// A distribution paired with the function it was built from, for the duration of one call.
// Holds references only: the distribution and the callable behind f must outlive the view.
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

    // One draw: TDR, or the quantile of one uniform.
    template <WordSource R>
    SampleResult<double> sample(R& rng) const;

    // n draws into out, the same values as n calls of sample. out is cleared first (and
    // reserved once; no allocation per draw); the first failing draw ends the call with its
    // error, and out then holds exactly the draws completed before it.
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
        : d_(d), user_(user), raw_(d.source_, d.support_, user) {}

    DensityModel density_model() const {
        return DensityModel{raw_, d_.support_.lo(), d_.support_.hi(), d_.norm_,
                            d_.quad_tolerance_};
    }
    SampleResult<double> quantile(double u) const;
    static SampleResult<double> upper_quantile(const InterpolatedInverse& inverse, double q);
    // The engines' own results, before the check model sees them.
    double engine_cdf(double x) const;
    SampleResult<double> engine_quantile(double u) const;
    SampleResult<double> engine_mean() const;
    // The check model that judges quantiles: none for a Hermite table, whose nodes were
    // checked when it was built and whose interpolation between them is its design.
    const InterpolatedInverse* quantile_check() const;

    template <WordSource R>
    SampleResult<void> sample_n_tdr(const TdrHat& hat, std::size_t n, R& rng,
                                    std::vector<double>& out) const;
    template <WordSource R>
    static SampleResult<void> sample_n_table(const HermiteTable& table, std::size_t n, R& rng,
                                             std::vector<double>& out);
    template <WordSource R>
    SampleResult<void> sample_n_inverted(std::size_t n, R& rng, std::vector<double>& out) const;
    template <WordSource R>
    static FillResult fill_table(const HermiteTable& table, std::span<double> out, R& rng);
    template <WordSource R>
    FillResult fill_one_by_one(std::span<double> out, R& rng) const;

    const ContinuousDistribution& d_;
    UserFn user_;
    RawDensity raw_;
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
    if (const auto* q = d_.interpolation()) return q->sample(rng);
    if (const auto* hat = std::get_if<TdrHat>(&d_.sampler_)) {
        const DensityModel model = density_model();
        auto density = [&model](double x) { return model.density(x); };
        return hat->draw(rng, density);
    }
    return quantile(uniform(rng));
}

template <WordSource R>
SampleResult<void> ContinuousDistribution::Bound::sample_n(std::size_t n, R& rng,
                                                           std::vector<double>& out) const {
    out.clear();
    out.reserve(n);
    if (const auto* hat = std::get_if<TdrHat>(&d_.sampler_)) return sample_n_tdr(*hat, n, rng, out);
    if (const auto* q = d_.interpolation()) {
        q->sample_n(n, rng, out);
        return {};
    }
    const auto& inversion = std::get<InversionEngine>(d_.sampler_);
    if (inversion.table) return sample_n_table(*inversion.table, n, rng, out);
    return sample_n_inverted(n, rng, out);
}

template <WordSource R>
SampleResult<void> ContinuousDistribution::Bound::sample_n_tdr(const TdrHat& hat, std::size_t n,
                                                               R& rng,
                                                               std::vector<double>& out) const {
    const DensityModel model = density_model();
    auto density = [&model](double x) { return model.density(x); };
    out.resize(n);
    const FillResult filled = hat.fill(std::span<double>(out), rng, density);
    if (!filled) {
        out.resize(filled.error().filled);
        return std::unexpected(filled.error().error);
    }
    return {};
}

template <WordSource R>
SampleResult<void> ContinuousDistribution::Bound::sample_n_table(const HermiteTable& table,
                                                                 std::size_t n, R& rng,
                                                                 std::vector<double>& out) {
    out.resize(n);
    const FillResult filled = fill_table(table, std::span<double>(out), rng);
    if (!filled) {
        out.resize(filled.error().filled);
        return std::unexpected(filled.error().error);
    }
    return {};
}

template <WordSource R>
SampleResult<void> ContinuousDistribution::Bound::sample_n_inverted(
    std::size_t n, R& rng, std::vector<double>& out) const {
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = quantile(uniform(rng));
        if (!x) return std::unexpected(x.error());
        out.push_back(*x);
    }
    return {};
}

// --- Fills ------------------------------------------------------------------------------------

template <WordSource R>
FillResult ContinuousDistribution::Bound::fill(std::span<double> out, R& rng) const {
    if (const auto* q = d_.interpolation()) {
        q->fill(out.data(), out.size(), rng);  // a draw of the interpolation never fails
        return {};
    }
    if (const auto* inversion = std::get_if<InversionEngine>(&d_.sampler_)) {
        if (inversion->table) return fill_table(*inversion->table, out, rng);
    }
    if (const auto* hat = std::get_if<TdrHat>(&d_.sampler_)) {
        const DensityModel model = density_model();
        auto density = [&model](double x) { return model.density(x); };
        return hat->fill(out, rng, density);
    }
    return fill_one_by_one(out, rng);
}

// The fast path: one uniform, one binary search and one cubic per draw. The uniforms of a block
// are drawn first and the table evaluated on the block, its searches interleaved. Draws, their
// order and a failing draw's place are as if one at a time.
template <WordSource R>
FillResult ContinuousDistribution::Bound::fill_table(const HermiteTable& table,
                                                     std::span<double> out, R& rng) {
    constexpr std::size_t block = 64;
    double us[block];
    const std::size_t n = out.size();
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t count = std::min(block, n - start);
        for (std::size_t j = 0; j < count; ++j) {
            const double u = uniform(rng);
            if (!(u > 0.0 && u < 1.0)) {
                table.evaluate_many(us, out.data() + start, j);
                return fill_stopped(start + j, SampleError::quantile_out_of_range(u));
            }
            us[j] = u;
        }
        table.evaluate_many(us, out.data() + start, count);
    }
    return {};
}

// Any other engine, a draw at a time, as sample gives them.
template <WordSource R>
FillResult ContinuousDistribution::Bound::fill_one_by_one(std::span<double> out, R& rng) const {
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto x = sample(rng);
        if (!x) return fill_stopped(i, x.error());
        out[i] = *x;
    }
    return {};
}

}  // namespace varnix

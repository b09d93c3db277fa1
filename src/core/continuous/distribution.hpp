// ContinuousDistribution: a univariate distribution on a finite interval, defined by a density,
// a distribution function or a histogram, optionally truncated or shifted and scaled.
//
// The object holds numbers only. A distribution defined by a user function does not keep that
// function: every builder and every query takes it as a FunctionRef (the same function each
// time, kept alive by the caller for the duration of the call). Histogram distributions have no
// user function; their queries ignore the argument, for which no_user_function() can be passed.
// A user function may throw; nothing is leaked and the exception passes through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "core/continuous/hermite.hpp"
#include "core/continuous/histogram.hpp"
#include "core/continuous/options.hpp"
#include "core/continuous/tdr.hpp"
#include "core/errors.hpp"
#include "core/function_ref.hpp"
#include "core/random.hpp"

namespace varnix {

using UserFn = FunctionRef<double(double)>;

// A stand-in user function (always NaN) for distributions that have none.
inline UserFn no_user_function() {
    static constexpr auto nan_function = [](double) {
        return std::numeric_limits<double>::quiet_NaN();
    };
    return UserFn(nan_function);
}

// Source kinds. The user pdf or cdf is not stored; only the numbers each kind needs.
struct PdfSource {};  // raw density f(x) everywhere
struct CdfSource {
    double cdf_lo;    // user cdf at lo
    double cdf_span;  // user cdf(hi) - cdf(lo), finite and positive
};
struct HistogramSource {
    HistogramDensity histogram;  // raw density: the bin value
};
struct LocScaleSource {  // raw density f(z) / scale for z = (x - loc) / scale in [base_lo, base_hi]
    double base_lo;
    double base_hi;
    double loc;
    double scale;
};
struct TruncatedSource {  // raw density f(x) / mass on [lo, hi] (the truncation bounds)
    double base_lo;
    double base_hi;
    double mass;
};

struct InversionSettings {
    double ppf_tolerance;
    std::uint32_t max_iterations;
    std::optional<HermiteTable> table;
    bool use_newton;
};

class ContinuousDistribution {
public:
    using Source = std::variant<PdfSource, CdfSource, HistogramSource, LocScaleSource, TruncatedSource>;
    using Sampler = std::variant<TdrHat, InversionSettings>;

    // --- Builders. Checks run in a fixed order; the first failure is returned. ---------------

    // From a density on [support.lo, support.hi]: support check, normalising integral
    // (NormalizationFailed unless finite and positive), then the sampler the options choose. dpdf,
    // the density's derivative, is called only while building a TDR hat and is not kept.
    static BuildResult<ContinuousDistribution> from_pdf(UserFn pdf, Interval support,
                                                        const BuildOptions& options = {},
                                                        std::optional<UserFn> dpdf = std::nullopt);

    // From a distribution function: support check, cdf(lo) then cdf(hi) with a finite positive
    // rise (NormalizationFailed), then a TDR choice is refused (InvalidSupport).
    static BuildResult<ContinuousDistribution> from_cdf(UserFn cdf, Interval support,
                                                        const BuildOptions& options = {});

    // From histogram edges and per-bin counts (see HistogramDensity::build for the checks).
    static BuildResult<ContinuousDistribution> from_histogram(std::span<const double> edges,
                                                              std::span<const double> counts,
                                                              bool density,
                                                              const BuildOptions& options = {});

    // pdf, defined on support, restricted to trunc and renormalised. Checks trunc, then support,
    // then containment (equal ends allowed), then the base mass over trunc at tolerance 1e-10.
    static BuildResult<ContinuousDistribution> truncated(UserFn pdf, Interval support,
                                                         Interval trunc,
                                                         const BuildOptions& options = {});

    // pdf, defined on support, shifted by loc and scaled by scale: the support becomes
    // [loc + scale * lo, loc + scale * hi]. The scale is checked before anything else.
    static BuildResult<ContinuousDistribution> loc_scale(UserFn pdf, Interval support, double loc,
                                                         double scale,
                                                         const BuildOptions& options = {});

    // --- Queries. f is the function the distribution was built from. ------------------------

    std::optional<double> pdf(UserFn f, double x) const;     // nullopt for a cdf-defined one
    std::optional<double> logpdf(UserFn f, double x) const;  // nullopt unless pdf > 0
    double cdf(UserFn f, double x) const;                    // not clamped
    double sf(UserFn f, double x) const;                     // 1 - cdf, floored at 0
    double logcdf(UserFn f, double x) const;
    double logsf(UserFn f, double x) const;
    SampleResult<double> ppf(UserFn f, double u) const;  // the quantile; QuantileOutOfRange
    SampleResult<double> isf(UserFn f, double q) const;  // ppf(1 - q)
    SampleResult<double> sample(UserFn f, ChaChaRng& rng) const;
    // n draws into out (cleared first, reserved once; no allocation per draw). The first failing
    // draw ends the call with its error; out then holds only the draws made before it.
    SampleResult<void> sample_n(UserFn f, std::size_t n, ChaChaRng& rng,
                                std::vector<double>& out) const;

    // --- Summary statistics (integrals at the fixed tolerance 1e-10). ------------------------

    SampleResult<double> mean(UserFn f) const;
    SampleResult<double> var(UserFn f) const;
    SampleResult<double> stddev(UserFn f) const;  // the square root of var
    SampleResult<double> median(UserFn f) const;
    SampleResult<double> entropy(UserFn f) const;  // 0.0 for a cdf-defined distribution
    SampleResult<std::pair<double, double>> interval(UserFn f, double confidence) const;
    SampleResult<double> expect(UserFn f, UserFn func) const;

    // --- Introspection. ----------------------------------------------------------------------

    bool uses_tdr() const { return std::holds_alternative<TdrHat>(sampler_); }
    bool uses_hermite_table() const;
    bool has_density() const { return !std::holds_alternative<CdfSource>(source_); }
    bool needs_user_function() const { return !std::holds_alternative<HistogramSource>(source_); }
    Interval support() const { return Interval{lo_, hi_}; }
    double norm() const { return norm_; }  // density kinds only; NaN for a cdf-defined one
    const Source& source() const { return source_; }
    const Sampler& sampler() const { return sampler_; }

private:
    ContinuousDistribution(Source source, double lo, double hi, double norm, double quad_tolerance,
                           Sampler sampler)
        : source_(std::move(source)), lo_(lo), hi_(hi), norm_(norm),
          quad_tolerance_(quad_tolerance), sampler_(std::move(sampler)) {}

    static BuildResult<ContinuousDistribution> build_density_kind(Source source, UserFn user,
                                                                  double lo, double hi,
                                                                  const BuildOptions& options,
                                                                  std::optional<UserFn> dpdf);
    SampleResult<double> quantile(UserFn f, double u) const;

    Source source_;
    double lo_;
    double hi_;
    double norm_;
    double quad_tolerance_;
    Sampler sampler_;
};

}  // namespace varnix

// The sources a continuous distribution is defined by, the raw density of each, and the density
// and distribution function the engines work with.
//
// A source holds numbers only; the user's pdf or cdf is not stored. For one call the source is
// paired with that function (a UserFn, kept alive by the caller) as a RawDensity.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>  // std::invoke, used by function_ref.hpp
#include <limits>
#include <optional>
#include <span>
#include <tuple>
#include <variant>
#include <vector>

#include "core/batch_fn.hpp"
#include "core/continuous/histogram.hpp"
#include "core/continuous/integrate.hpp"
#include "core/continuous/options.hpp"
#include "core/errors.hpp"
#include "core/function_ref.hpp"

namespace varnix {

using UserFn = FunctionRef<double(double)>;

// A stand-in user function (always NaN) for distributions that have none.
inline UserFn no_user_function() {
    static constexpr auto nan_function = [](double) {
        return std::numeric_limits<double>::quiet_NaN();
    };
    return UserFn(nan_function);
}

// Each source but the histogram is saved as it is (its fields, core/serial.hpp); the histogram
// is saved as its own state.
struct PdfSource {  // raw density f(x) everywhere
    static auto fields(auto&) { return std::tie(); }
};
struct CdfSource {
    double cdf_lo;    // user cdf at lo
    double cdf_span;  // user cdf(hi) - cdf(lo), finite and positive

    // The user cdf rescaled to rise from 0 at lo to 1 at hi; values outside are not clamped.
    double scaled(UserFn cdf, double x) const { return (cdf(x) - cdf_lo) / cdf_span; }

    static auto fields(auto& s) {
        auto& [cdf_lo, cdf_span] = s;
        return std::tie(cdf_lo, cdf_span);
    }
};
struct HistogramSource {
    HistogramDensity histogram;  // raw density: the bin value
};
struct LocScaleSource {  // raw density f(z) / scale for z = (x - loc) / scale in [base_lo, base_hi]
    double base_lo;
    double base_hi;
    double loc;
    double scale;

    static auto fields(auto& s) {
        auto& [base_lo, base_hi, loc, scale] = s;
        return std::tie(base_lo, base_hi, loc, scale);
    }
};
struct TruncatedSource {  // raw density f(x) / mass on the support (the truncation bounds)
    double base_lo;
    double base_hi;
    double mass;

    static auto fields(auto& s) {
        auto& [base_lo, base_hi, mass] = s;
        return std::tie(base_lo, base_hi, mass);
    }
};

using ContinuousSource =
    std::variant<PdfSource, CdfSource, HistogramSource, LocScaleSource, TruncatedSource>;

// The raw (not yet normalised) density of a density source, given the user function: the
// function itself for a pdf source, the bin value for a histogram, and the shifted and scaled or
// restricted function for the other two. A cdf source has none: calling it is an internal fault.
// Holds references only; the source and the callable behind user must outlive it.
class RawDensity {
public:
    RawDensity(const ContinuousSource& source, Interval support, UserFn user)
        : source_(&source), support_(support), user_(user) {}

    double operator()(double x) const {
        if (std::holds_alternative<PdfSource>(*source_)) return user_(x);
        if (const auto* s = std::get_if<HistogramSource>(source_)) return s->histogram(x);
        if (const auto* s = std::get_if<LocScaleSource>(source_)) {
            const double z = (x - s->loc) / s->scale;
            return (s->base_lo <= z && z <= s->base_hi) ? user_(z) / s->scale : 0.0;
        }
        if (const auto* s = std::get_if<TruncatedSource>(source_)) {
            return (support_.lo() <= x && x <= support_.hi()) ? user_(x) / s->mass : 0.0;
        }
        throw InternalFault("a distribution defined by its cdf has no density");
    }

private:
    const ContinuousSource* source_;
    Interval support_;
    UserFn user_;
};

// The batch form of a RawDensity, from the batch form of the user function: each point
// mapped as RawDensity maps it, the user's batch called once with the points where RawDensity
// would call the user function (not at all if there is none), and the values divided as
// RawDensity divides them; 0 elsewhere. A histogram has no user function and no batch form.
// Holds references only, like RawDensity.
class RawBatch {
public:
    RawBatch(const ContinuousSource& source, Interval support, BatchFn user)
        : source_(&source), support_(support), user_(user) {}

    // The batch form for a source, when the caller has the user function's.
    static std::optional<RawBatch> of(const ContinuousSource& source, Interval support,
                                      OptionalBatch user) {
        if (!user || std::holds_alternative<HistogramSource>(source) ||
            std::holds_alternative<CdfSource>(source)) {
            return std::nullopt;
        }
        return RawBatch(source, support, *user);
    }

    void operator()(std::span<const double> xs, std::span<double> values) const {
        if (std::holds_alternative<PdfSource>(*source_)) {
            user_(xs, values);
            return;
        }
        inside_.clear();
        points_.clear();
        double divisor = 1.0;
        if (const auto* s = std::get_if<LocScaleSource>(source_)) {
            divisor = s->scale;
            for (std::size_t k = 0; k < xs.size(); ++k) {
                const double z = (xs[k] - s->loc) / s->scale;
                if (s->base_lo <= z && z <= s->base_hi) {
                    inside_.push_back(k);
                    points_.push_back(z);
                }
            }
        } else if (const auto* s = std::get_if<TruncatedSource>(source_)) {
            divisor = s->mass;
            for (std::size_t k = 0; k < xs.size(); ++k) {
                if (support_.lo() <= xs[k] && xs[k] <= support_.hi()) {
                    inside_.push_back(k);
                    points_.push_back(xs[k]);
                }
            }
        } else {
            throw InternalFault("no batch form for this source");
        }
        std::fill(values.begin(), values.end(), 0.0);
        if (points_.empty()) return;
        results_.assign(points_.size(), std::numeric_limits<double>::quiet_NaN());
        user_(std::span<const double>(points_), std::span<double>(results_));
        for (std::size_t j = 0; j < inside_.size(); ++j) values[inside_[j]] = results_[j] / divisor;
    }

private:
    const ContinuousSource* source_;
    Interval support_;
    BatchFn user_;
    mutable std::vector<std::size_t> inside_;
    mutable std::vector<double> points_;
    mutable std::vector<double> results_;
};

// The density and the distribution function of a density source on [lo, hi]: what the
// integrator, the inversion routines, the Hermite table and the TDR hat are handed.
struct DensityModel {
    RawDensity raw;
    double lo;
    double hi;
    double norm;
    double quad_tolerance;

    double density(double x) const { return raw(x) / norm; }

    // 0 at or below lo, 1 at or above hi, otherwise a fresh integral from lo (not clamped).
    double cdf(double x) const { return cdf(x, raw); }

    // The same, integrating raw_density: the raw density itself, or a wrapper that returns its
    // values unchanged (a build watching them).
    double cdf(double x, FunctionRef<double(double)> raw_density) const {
        if (x <= lo) return 0.0;
        if (x >= hi) return 1.0;
        return adaptive_simpson(raw_density, lo, x, quad_tolerance) / norm;
    }
};

// Watches the density values a build computes and keeps the first negative one with its
// point: watch(value, x) returns value unchanged, at the cost of one comparison.
class NegativeDensityWatch {
public:
    double operator()(double value, double x) {
        if (value < 0.0) [[unlikely]] note(x, value);
        return value;
    }

    // DensityNegative naming the first negative value seen, if there was one.
    std::optional<BuildError> error() const {
        if (!seen_) return std::nullopt;
        return BuildError::density_negative(at_, value_);
    }

private:
    [[gnu::cold, gnu::noinline]] void note(double x, double value) {
        if (seen_) return;
        seen_ = true;
        at_ = x;
        value_ = value;
    }

    bool seen_ = false;
    double at_ = 0.0;
    double value_ = 0.0;
};

}  // namespace varnix

// Internal to the continuous distribution units: the raw density of each source kind as one
// callable, and the density and distribution function every engine works with.
#pragma once

#include <type_traits>

#include "core/continuous/distribution.hpp"
#include "core/continuous/integrate.hpp"

namespace varnix::detail {

// Calls body(raw) with the raw density of a density kind as a FunctionRef: the user function
// itself for a pdf source, otherwise a small closure over the user function and the source's
// numbers. The engines never see the kind. A cdf source has no density: an internal fault.
template <class Body>
auto with_raw_density(const ContinuousDistribution::Source& source, double lo, double hi,
                      UserFn user, Body&& body) -> std::invoke_result_t<Body&, UserFn> {
    if (std::holds_alternative<PdfSource>(source)) return body(user);
    if (const auto* s = std::get_if<HistogramSource>(&source)) {
        const HistogramDensity& h = s->histogram;
        auto raw = [&h](double x) { return h(x); };
        return body(UserFn(raw));
    }
    if (const auto* s = std::get_if<LocScaleSource>(&source)) {
        auto raw = [s, user](double x) {
            const double z = (x - s->loc) / s->scale;
            return (s->base_lo <= z && z <= s->base_hi) ? user(z) / s->scale : 0.0;
        };
        return body(UserFn(raw));
    }
    if (const auto* s = std::get_if<TruncatedSource>(&source)) {
        auto raw = [s, user, lo, hi](double x) {
            return (lo <= x && x <= hi) ? user(x) / s->mass : 0.0;
        };
        return body(UserFn(raw));
    }
    throw InternalFault("a distribution defined by its cdf has no density");
}

// Density and distribution function of a density kind on [lo, hi].
struct DensityModel {
    UserFn raw;
    double lo;
    double hi;
    double norm;
    double quad_tolerance;

    double density(double x) const { return raw(x) / norm; }

    // 0 at or below lo, 1 at or above hi, otherwise a fresh integral from lo (not clamped).
    double cdf(double x) const {
        if (x <= lo) return 0.0;
        if (x >= hi) return 1.0;
        return adaptive_simpson(raw, lo, x, quad_tolerance) / norm;
    }
};

}  // namespace varnix::detail

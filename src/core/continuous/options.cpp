#include "core/continuous/options.hpp"

#include <cmath>

#include "core/continuous/interpolated_inverse.hpp"

namespace varnix {

BuildResult<Interval> Interval::make(double lo, double hi) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) {
        return std::unexpected(BuildError::non_finite(detail_text::support_bounds));
    }
    if (!(lo < hi)) return std::unexpected(BuildError::invalid_support(detail_text::lo_below_hi));
    return Interval(lo, hi);
}

BuildResult<Interval> Interval::support(double lo, double hi) {
    if (std::isnan(lo) || std::isnan(hi) || lo == INFINITY || hi == -INFINITY) {
        return std::unexpected(BuildError::non_finite(detail_text::support_bounds));
    }
    if (!(lo < hi)) return std::unexpected(BuildError::invalid_support(detail_text::lo_below_hi));
    return Interval(lo, hi);
}

std::string fold_transform_name(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

std::optional<TdrTransform> parse_tdr_transform(std::string_view name) {
    const std::string folded = fold_transform_name(name);
    if (folded == "log") return TdrTransform::Log;
    if (folded == "inv_sqrt" || folded == "inv-sqrt" || folded == "invsqrt") {
        return TdrTransform::InvSqrt;
    }
    return std::nullopt;
}

BuildOptions BuildOptions::hermite(std::size_t grid_size) {
    BuildOptions o;
    o.hermite_grid_size = grid_size;
    return o;
}

BuildOptions BuildOptions::with_tdr(TdrTransform transform,
                                    std::optional<std::size_t> construction_points) {
    BuildOptions o;
    TdrOptions t;
    t.transform = transform;
    if (construction_points) t.construction_points = *construction_points;
    o.tdr = t;
    return o;
}

std::expected<BuildOptions, ResolutionOutOfRange> BuildOptions::interpolated(double u_resolution) {
    if (!(u_resolution >= InterpolatedInverse::min_u_resolution &&
          u_resolution <= InterpolatedInverse::max_u_resolution)) {
        return std::unexpected(ResolutionOutOfRange{u_resolution});
    }
    BuildOptions o;
    o.u_resolution = u_resolution;
    return o;
}

std::expected<BuildOptions, UnknownTransform> BuildOptions::with_tdr_named(
    std::string_view transform, std::optional<std::size_t> construction_points) {
    const auto parsed = parse_tdr_transform(transform);
    if (!parsed) return std::unexpected(UnknownTransform{fold_transform_name(transform)});
    return with_tdr(*parsed, construction_points);
}

std::expected<BuildOptions, UnknownTransform> BuildOptions::make(const BuildOptionArgs& args) {
    BuildOptions o;
    if (args.quad_tolerance) o.quad_tolerance = *args.quad_tolerance;
    if (args.ppf_tolerance) o.ppf_tolerance = *args.ppf_tolerance;
    if (args.max_iterations) o.max_iterations = *args.max_iterations;
    o.use_newton = args.use_newton;
    if (args.hermite_grid_size) {
        o.hermite_grid_size = args.hermite_grid_size;
        return o;
    }
    if (args.tdr_transform) {
        const auto parsed = parse_tdr_transform(*args.tdr_transform);
        if (!parsed) return std::unexpected(UnknownTransform{fold_transform_name(*args.tdr_transform)});
        TdrOptions t;
        t.transform = *parsed;
        if (args.tdr_construction_points) t.construction_points = *args.tdr_construction_points;
        if (args.tdr_dpdf_rel_step) t.dpdf_rel_step = *args.tdr_dpdf_rel_step;
        o.tdr = t;
    }
    return o;
}

}  // namespace varnix

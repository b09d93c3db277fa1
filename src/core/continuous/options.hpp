// The support interval and the build options of continuous distributions.
//
// Plain values: the binding layer fills them from Python arguments and hands copies to the
// builders, so a distribution never sees later changes to the Python objects.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/errors.hpp"

namespace varnix {

// A closed support interval [lo, hi] with lo < hi: finite bounds from make(), possibly
// infinite ones from support(). Those are the only ways to get one, so whoever is handed an
// Interval can rely on it without checking again (and on bounded() where infinities matter).
class Interval {
public:
    // NonFinite "support bounds" when either bound is infinite or NaN (both bounds are tested
    // before the order), then InvalidSupport "lo must be strictly less than hi".
    static BuildResult<Interval> make(double lo, double hi);
    // A support that may be unbounded: lo may be -inf and hi +inf. NonFinite "support bounds"
    // for a NaN or a bound infinite on the wrong side, then InvalidSupport as make() says.
    // Only the interpolated engine takes an unbounded one.
    static BuildResult<Interval> support(double lo, double hi);

    double lo() const { return lo_; }
    double hi() const { return hi_; }
    bool bounded() const { return std::isfinite(lo_) && std::isfinite(hi_); }

private:
    Interval(double lo, double hi) : lo_(lo), hi_(hi) {}

    double lo_;
    double hi_;
};

enum class TdrTransform : std::uint8_t { Log, InvSqrt };

// The transform name with ASCII capitals folded to lower case; nothing else changes (no trimming).
std::string fold_transform_name(std::string_view name);

// "log" gives Log; "inv_sqrt", "inv-sqrt" and "invsqrt" give InvSqrt; compared after folding.
std::optional<TdrTransform> parse_tdr_transform(std::string_view name);

// An unrecognised transform name; the binding raises it as ValueError with message().
struct UnknownTransform {
    std::string folded;  // the name after case folding
    std::string message() const {
        return "unknown TDR transform '" + folded + "', expected 'log' or 'inv_sqrt'";
    }
};

// A u_resolution outside the range the interpolated inverse supports (or NaN); the binding
// raises it as ValueError with message().
struct ResolutionOutOfRange {
    double value;
    std::string message() const { return BuildError::invalid_resolution(value).message(); }
};

struct TdrOptions {
    TdrTransform transform = TdrTransform::Log;
    std::size_t construction_points = 30;
    double dpdf_rel_step = 1e-4;
    std::size_t max_tries = 100000;  // not settable from Python
};

// The Python-facing arguments of BuildOptions(...): absent means "not given".
struct BuildOptionArgs {
    std::optional<double> quad_tolerance;
    std::optional<double> ppf_tolerance;
    std::optional<std::size_t> max_iterations;
    bool use_newton = true;
    std::optional<std::size_t> hermite_grid_size;
    std::optional<std::string_view> tdr_transform;
    std::optional<std::size_t> tdr_construction_points;
    std::optional<double> tdr_dpdf_rel_step;
};

// Construction tuning. No field is range-checked: zero, negative or NaN values are stored as
// given and the routines reading them define what follows (except the u_resolution, which only
// interpolated() sets, and checks). At most one accelerator is chosen.
struct BuildOptions {
    double quad_tolerance = 1e-10;
    double ppf_tolerance = 1e-12;
    std::size_t max_iterations = 128;
    bool use_newton = true;
    std::optional<std::size_t> hermite_grid_size;  // present: build a Hermite table
    std::optional<TdrOptions> tdr;                 // present: sample by TDR
    // Present: interpolate the quantile function to this largest u-error (|F(Q(u)) - u|), from
    // a robust integral of the density; no other field is then read.
    std::optional<double> u_resolution;
    // With u_resolution: the threads the build's march may run on (none given: one). The
    // caller sets more only for a density that may be called from several threads at once.
    std::optional<std::size_t> threads;

    // A grid size wins over any transform name, which is then not even parsed; otherwise a given
    // transform name is parsed and an unknown one is refused.
    static std::expected<BuildOptions, UnknownTransform> make(const BuildOptionArgs& args);

    // Default tolerances with a Hermite table of grid_size nodes.
    static BuildOptions hermite(std::size_t grid_size);

    // Default tolerances with TDR sampling (construction points given or 30, step 1e-4).
    static BuildOptions with_tdr(TdrTransform transform,
                                 std::optional<std::size_t> construction_points = std::nullopt);

    static constexpr double default_u_resolution = 1e-12;

    // Default fields with an interpolated quantile function of the given u_resolution, which
    // must lie in [1e-14, 1e-5].
    static std::expected<BuildOptions, ResolutionOutOfRange> interpolated(double u_resolution);

    // BuildOptions.tdr(name, construction_points): parses the name first.
    static std::expected<BuildOptions, UnknownTransform> with_tdr_named(
        std::string_view transform, std::optional<std::size_t> construction_points = std::nullopt);
};

}  // namespace varnix

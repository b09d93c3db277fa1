// Support intervals and build options of continuous distributions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/errors.hpp"

namespace varnix::continuous {

struct Interval {
    double lo;
    double hi;

    // Finite bounds first, then strict order.
    static BuildResult<Interval> make(double lo, double hi);
};

// The same two checks, for a support about to be used by a builder.
std::expected<void, BuildError> check_support(double lo, double hi);

enum class TdrTransform { Log, InvSqrt };

// Folds ASCII capitals to lower case; "log", "inv_sqrt", "inv-sqrt", "invsqrt" are known.
std::string fold_transform_name(std::string_view name);
std::optional<TdrTransform> parse_tdr_transform(std::string_view folded);

struct TdrOptions {
    double lo = 0.0;  // filled by the builder from the distribution's support
    double hi = 0.0;
    TdrTransform transform = TdrTransform::Log;
    std::uint64_t construction_points = 30;
    double dpdf_rel_step = 1e-4;
    std::uint64_t max_tries = 100000;
};

struct BuildOptions {
    double quad_tolerance = 1e-10;
    double ppf_tolerance = 1e-12;
    std::uint64_t max_iterations = 128;
    bool use_newton = true;
    std::optional<std::uint64_t> hermite_grid_size;
    std::optional<TdrOptions> tdr;
};

}  // namespace varnix::continuous

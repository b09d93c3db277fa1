#include "core/continuous/options.hpp"

#include <cmath>

namespace varnix::continuous {

std::expected<void, BuildError> check_support(double lo, double hi) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) {
        return std::unexpected(BuildError::non_finite(detail_text::support_bounds));
    }
    if (!(lo < hi)) return std::unexpected(BuildError::invalid_support(detail_text::lo_below_hi));
    return {};
}

BuildResult<Interval> Interval::make(double lo, double hi) {
    if (auto ok = check_support(lo, hi); !ok) return std::unexpected(ok.error());
    return Interval{lo, hi};
}

std::string fold_transform_name(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

std::optional<TdrTransform> parse_tdr_transform(std::string_view folded) {
    if (folded == "log") return TdrTransform::Log;
    if (folded == "inv_sqrt" || folded == "inv-sqrt" || folded == "invsqrt") {
        return TdrTransform::InvSqrt;
    }
    return std::nullopt;
}

}  // namespace varnix::continuous

#include "core/multivar/box.hpp"

#include <stdexcept>

namespace varnix {

BuildResult<HyperRect> HyperRect::validate(std::span<const double> lo,
                                           std::span<const double> hi) {
    if (lo.empty() || hi.empty()) {
        return std::unexpected(BuildError::invalid_support(detail_text::box_empty));
    }
    if (lo.size() != hi.size()) {
        return std::unexpected(BuildError::invalid_support(detail_text::box_dimension));
    }
    for (std::size_t i = 0; i < lo.size(); ++i) {
        if (!std::isfinite(lo[i]) || !std::isfinite(hi[i])) {
            return std::unexpected(BuildError::non_finite(detail_text::box_bounds));
        }
        if (lo[i] >= hi[i]) {
            return std::unexpected(BuildError::invalid_support(detail_text::box_order));
        }
    }
    return HyperRect{{lo.begin(), lo.end()}, {hi.begin(), hi.end()}};
}

std::size_t flat_size(std::size_t n, std::size_t d) {
    if (d != 0 && n > std::numeric_limits<std::size_t>::max() / d) {
        throw std::length_error("too many points requested");
    }
    return n * d;
}

}  // namespace varnix

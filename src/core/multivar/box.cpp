#include "core/multivar/box.hpp"

#include <cmath>

namespace varnix {

BuildResult<HyperRect> HyperRect::make(std::span<const double> lo, std::span<const double> hi) {
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
    return HyperRect({lo.begin(), lo.end()}, {hi.begin(), hi.end()});
}

}  // namespace varnix

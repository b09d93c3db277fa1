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

std::optional<double> find_usable_start(const HyperRect& box, ChaChaRng& rng, DensityRef f,
                                        std::span<double> point, std::size_t tries) {
    const std::size_t d = box.dim();
    const double* lo = box.lo.data();
    const double* hi = box.hi.data();
    for (std::size_t t = 0; t < tries; ++t) {
        // Order matters: seeded results are reproduced bit for bit.
        for (std::size_t j = 0; j < d; ++j) point[j] = uniform(rng) * (hi[j] - lo[j]) + lo[j];
        const double l = log_density(f(std::span<const double>(point)));
        if (std::isfinite(l)) return l;
    }
    return std::nullopt;
}

}  // namespace varnix

#include "core/continuous/histogram.hpp"

#include <algorithm>
#include <cmath>

namespace varnix {

BuildResult<HistogramDensity> HistogramDensity::build(std::span<const double> edges,
                                                      std::span<const double> counts,
                                                      bool density) {
    const auto invalid = [] { return std::unexpected(BuildError::of(BuildErrorKind::InvalidHistogram)); };
    const std::size_t n = edges.size();
    if (n < 2) return invalid();
    if (n != counts.size() + 1) return invalid();
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double left = edges[k];
        const double right = edges[k + 1];
        if (!std::isfinite(left) || !std::isfinite(right) || left >= right) return invalid();
    }
    for (double c : counts) {
        if (!std::isfinite(c) || c < 0.0) return invalid();
    }
    // Evaluation order is frozen (docs/architecture.md).
    double total = -0.0;
    for (double c : counts) total = total + c;
    if (total <= 0.0) return std::unexpected(BuildError::of(BuildErrorKind::NormalizationFailed));

    HistogramDensity h;
    h.edges_.assign(edges.begin(), edges.end());
    h.bin_density_.resize(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double width = edges[k + 1] - edges[k];
        h.bin_density_[k] = density ? counts[k] / width : counts[k] / (width * total);
    }
    return h;
}

double HistogramDensity::operator()(double x) const {
    if (!(x >= lo() && x <= hi())) return 0.0;
    if (x == hi()) return bin_density_.back();
    // The first edge above x closes x's bin; edges are strictly increasing.
    const auto above = std::upper_bound(edges_.begin(), edges_.end(), x);
    return bin_density_[static_cast<std::size_t>(above - edges_.begin()) - 1];
}

}  // namespace varnix

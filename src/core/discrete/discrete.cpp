#include "core/discrete/discrete.hpp"

#include <cmath>
#include <string>

#include "core/finite.hpp"

namespace varnix {
namespace {

[[noreturn]] void index_out_of_bounds(std::size_t len, std::size_t index) {
    throw InternalFault("index out of bounds: the len is " + std::to_string(len) +
                        " but the index is " + std::to_string(index));
}

}  // namespace

BuildResult<DiscreteDistribution> DiscreteDistribution::build(std::span<const double> points,
                                                              std::span<const double> masses) {
    if (points.empty() || masses.empty()) {
        return std::unexpected(BuildError::of(BuildErrorKind::EmptySupport));
    }
    if (points.size() != masses.size()) {
        return std::unexpected(BuildError::invalid_support(detail_text::pmf_length_mismatch));
    }
    for (const double m : masses) {
        // Zero (either sign) is a valid mass.
        if (!std::isfinite(m) || m < 0.0) {
            return std::unexpected(BuildError::of(BuildErrorKind::NonPositiveMass));
        }
    }

    // Evaluation order is frozen (docs/architecture.md). The total runs in index order from
    // -0.0; each mass is divided by it separately and added to a running sum from +0.0.
    double total = -0.0;
    for (const double m : masses) total = total + m;
    if (!finite_positive(total)) {
        return std::unexpected(BuildError::of(BuildErrorKind::NormalizationFailed));
    }
    std::vector<double> cdf(masses.size());
    double s = 0.0;
    for (std::size_t i = 0; i < masses.size(); ++i) {
        s = s + masses[i] / total;
        cdf[i] = s;
    }
    // The running sum may end a few ulps away from 1 (on either side); the table ends at
    // exactly 1.0 so that every u < 1 finds an entry above it. When trailing masses are
    // below rounding, an earlier entry can already be 1 + 2^-52, so the table steps down at
    // its end (mass() reads that step as a zero mass). The search stays exact: from that
    // entry on, every entry is above any u < 1.
    cdf.back() = 1.0;

    return DiscreteDistribution(std::vector<double>(points.begin(), points.end()),
                                std::move(cdf));
}

double DiscreteDistribution::pmf(double x) const noexcept {
    for (std::size_t i = 0; i < points_.size(); ++i) {
        if (std::fabs(points_[i] - x) < 1e-12) return mass(i);
    }
    return 0.0;
}

double DiscreteDistribution::pmf_at(std::size_t i) const {
    if (i >= len()) index_out_of_bounds(len(), i);
    return mass(i);
}

double DiscreteDistribution::cdf_at(std::size_t i) const {
    if (i >= len()) index_out_of_bounds(len(), i);
    return cdf_[i];
}

// Evaluation order is frozen (docs/architecture.md). Both moments accumulate in index order,
// starting from the first point's term.
double DiscreteDistribution::mean() const noexcept {
    double m = points_[0] * cdf_[0];
    for (std::size_t i = 1; i < points_.size(); ++i) m = m + mass(i) * points_[i];
    return m;
}

double DiscreteDistribution::var() const noexcept {
    const double m = mean();
    double v = (points_[0] - m) * (points_[0] - m) * cdf_[0];
    for (std::size_t i = 1; i < points_.size(); ++i) {
        const double d = points_[i] - m;
        v = v + mass(i) * (d * d);
    }
    return v;
}

double DiscreteDistribution::std_dev() const noexcept { return std::sqrt(var()); }

}  // namespace varnix

// Helpers shared by the multivariate sampler tests: boxes, and moments of 2-D samples and of a
// 2-D density on a box (by quadrature).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/multivar/box.hpp"

namespace mvtest {

// A box the test knows to be valid; anything else is a fault of the test, thrown.
inline varnix::HyperRect box(std::vector<double> lo, std::vector<double> hi) {
    auto made = varnix::HyperRect::make(lo, hi);
    if (!made) throw std::runtime_error("invalid test box: " + made.error().message());
    return *made;
}

struct Moments2 {
    double mean[2];
    double cov[2][2];
};

// Sample mean and (1/n) covariance of n points stored flat as x0 y0 x1 y1 ...
inline Moments2 sample_moments(std::span<const double> flat) {
    const std::size_t n = flat.size() / 2;
    Moments2 m{};
    for (std::size_t k = 0; k < n; ++k) {
        m.mean[0] += flat[2 * k];
        m.mean[1] += flat[2 * k + 1];
    }
    m.mean[0] /= static_cast<double>(n);
    m.mean[1] /= static_cast<double>(n);
    for (std::size_t k = 0; k < n; ++k) {
        const double dx[2] = {flat[2 * k] - m.mean[0], flat[2 * k + 1] - m.mean[1]};
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b) m.cov[a][b] += dx[a] * dx[b];
    }
    for (auto& row : m.cov)
        for (double& c : row) c /= static_cast<double>(n);
    return m;
}

// Mean and covariance of the normalised density f on [lo0, hi0] x [lo1, hi1], by the midpoint
// rule on a k x k grid.
template <class F>
Moments2 density_moments(F f, std::array<double, 2> lo, std::array<double, 2> hi,
                         std::size_t k = 600) {
    double z = 0, s[2] = {0, 0}, ss[2][2] = {{0, 0}, {0, 0}};
    const double hx = (hi[0] - lo[0]) / static_cast<double>(k);
    const double hy = (hi[1] - lo[1]) / static_cast<double>(k);
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            const double p[2] = {lo[0] + (static_cast<double>(i) + 0.5) * hx,
                                 lo[1] + (static_cast<double>(j) + 0.5) * hy};
            const double w = f(std::span<const double>(p, 2));
            z += w;
            for (int a = 0; a < 2; ++a) {
                s[a] += w * p[a];
                for (int b = 0; b < 2; ++b) ss[a][b] += w * p[a] * p[b];
            }
        }
    }
    Moments2 m{};
    for (int a = 0; a < 2; ++a) m.mean[a] = s[a] / z;
    for (int a = 0; a < 2; ++a)
        for (int b = 0; b < 2; ++b) m.cov[a][b] = ss[a][b] / z - m.mean[a] * m.mean[b];
    return m;
}

// The test target of the statistical checks: a standard bivariate normal with correlation 0.6,
// unnormalised, truncated to an asymmetric box so that its mean is not at a symmetry point.
inline double correlated_normal(std::span<const double> x) {
    const double rho = 0.6;
    const double q = (x[0] * x[0] - 2 * rho * x[0] * x[1] + x[1] * x[1]) / (1 - rho * rho);
    return std::exp(-0.5 * q);
}
inline constexpr std::array<double, 2> target_lo = {-1.0, -2.5};
inline constexpr std::array<double, 2> target_hi = {2.5, 1.5};

}  // namespace mvtest

// Helpers shared by the multivariate sampler tests: counting the generator words a call used,
// and moments of 2-D samples and of a 2-D density on a box (by quadrature).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/random.hpp"

namespace mvtest {

inline constexpr std::size_t not_found = std::numeric_limits<std::size_t>::max();

// How many 64-bit words a generator created with ChaChaRng::seeded(seed) has handed out, found
// by locating its next two words in a fresh replay of the same stream (up to `limit` words).
inline std::size_t words_used(const varnix::ChaChaRng& after, std::uint64_t seed,
                              std::size_t limit = 100000) {
    varnix::ChaChaRng probe = after;
    const std::uint64_t a = probe.next_u64();
    const std::uint64_t b = probe.next_u64();
    auto replay = varnix::ChaChaRng::seeded(seed);
    std::uint64_t prev = replay.next_u64();
    for (std::size_t k = 0; k <= limit; ++k) {
        const std::uint64_t next = replay.next_u64();
        if (prev == a && next == b) return k;
        prev = next;
    }
    return not_found;
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

// Positions in sorted tables of doubles, found without a data-dependent branch.
//
// Samplers search their tables with random probes, so the branches of std::lower_bound
// mispredict about half the time, and that costs more than the table lookups. This halves the
// range with a mask instead and returns exactly the position std::lower_bound returns on a
// non-decreasing table, NaN probes included.
#pragma once

#include <cstddef>

namespace varnix {

// The number of leading entries of a[0..n) that are below v: std::lower_bound's position.
inline std::size_t count_below(const double* a, std::size_t n, double v) noexcept {
    if (n == 0) return 0;
    std::size_t base = 0;
    while (n > 1) {
        const std::size_t half = n / 2;
        // A mask rather than a conditional: compilers turn the latter into a branch here.
        base += half & (std::size_t{0} - static_cast<std::size_t>(a[base + half - 1] < v));
        n -= half;
    }
    return base + static_cast<std::size_t>(a[base] < v);
}

}  // namespace varnix

// Positions in sorted tables of doubles, and the rules that define them.
//
// Samplers search their tables with random probes. A rule says which way a halving goes; the
// halving is taken by a conditional move by default, so that no branch mispredicts, and probes
// that search side by side (lanes) share the sequence of halvings while their independent
// chains of loads overlap where one chain at a time would leave the processor waiting. Where a
// single search feeds long work and the probes favour a few entries, a predicted branch is
// faster: the processor runs ahead on its guess instead of waiting for each load.
#pragma once

#include <algorithm>
#include <cstddef>
#include <type_traits>

namespace varnix::search {

// std::lower_bound's position: the first entry not below the probe (the number of entries
// below it).
struct FirstNotBelow {
    static bool past(double entry, double probe) noexcept { return entry < probe; }
};

// The position of a quantile in a cumulative table: the last entry equal to the probe if there
// is one, else the first entry above it. On a non-decreasing table this is std::upper_bound's
// position, one less when the entry before it equals the probe.
struct LastEqualElseAbove {
    static bool past(double entry, double probe) noexcept { return entry <= probe; }
};

// Both rules need only that the entries the rule passes come first: a table that steps down
// below its last entry is still searched exactly as long as that holds for the probe. A NaN
// probe passes nothing and lands at 0.

// How a single search takes its halvings.
struct Select {};  // a conditional move: the default, and the only way of the lane searches
struct Branch {};  // a predicted branch

namespace detail {
// base + half if the rule passes the entry, else base. Written as a select, which compiles to
// a conditional move: the shortest chain from one load to the next.
template <class Rule>
inline std::size_t advance(std::size_t base, std::size_t half, const double* a,
                           double probe) noexcept {
    return Rule::past(a[base + half], probe) ? base + half : base;
}
}  // namespace detail

// The rule's position of probe v in a[0..n), n >= 1.
template <class Rule, class Halving = Select>
inline std::size_t position(const double* a, std::size_t n, double v) noexcept {
    std::size_t base = 0;
    if constexpr (std::is_same_v<Halving, Branch>) {
        // The number of entries the rule passes, by std::partition_point's branching loop.
        const auto passed = static_cast<std::size_t>(
            std::partition_point(a, a + n, [v](double entry) { return Rule::past(entry, v); }) - a);
        if (passed == 0) return 0;
        base = passed - 1;
    } else {
        while (n > 1) {
            const std::size_t half = n / 2;
            base = detail::advance<Rule>(base, half, a, v);
            n -= half;
        }
    }
    // base is the last entry the rule passes, or 0; a final comparison steps past it when it
    // is below the probe.
    return base + static_cast<std::size_t>(a[base] < v);
}

// pos[l] = position<Rule>(a, n, v[l]) for l < Lanes (n >= 1), the searches run in lock step.
template <class Rule, std::size_t Lanes>
inline void positions(const double* a, std::size_t n, const double* v, std::size_t* pos) noexcept {
    // The lane loops are unrolled at every optimisation level, so that each lane's base stays
    // in a register.
    std::size_t base[Lanes] = {};
    for (std::size_t len = n; len > 1;) {
        const std::size_t half = len / 2;
#pragma GCC unroll 16
        for (std::size_t l = 0; l < Lanes; ++l) {
            base[l] = detail::advance<Rule>(base[l], half, a, v[l]);
        }
        len -= half;
    }
#pragma GCC unroll 16
    for (std::size_t l = 0; l < Lanes; ++l) {
        pos[l] = base[l] + static_cast<std::size_t>(a[base[l]] < v[l]);
    }
}

}  // namespace varnix::search

namespace varnix {

// The number of leading entries of a[0..n) that are below v: std::lower_bound's position
// (0 for an empty table).
inline std::size_t count_below(const double* a, std::size_t n, double v) noexcept {
    if (n == 0) return 0;
    return search::position<search::FirstNotBelow>(a, n, v);
}

}  // namespace varnix

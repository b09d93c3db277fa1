// Where the mass of a density lies on a support that is unbounded or too wide to partition
// evenly: a finite window that holds all but a chosen share of it, and a first partition of the
// window fine where the density changes and coarse in the tails.
//
// The search reads the density on ladders of points: from each centre (0 when the support
// holds it, each finite end, the middle of a finite support, any the caller adds) outwards at distances 2^k, from
// far below the centre's scale up to the end of the support or of the doubles. A ladder stops
// early once the tail beyond its last rung is negligible and six further rungs (a factor of 64
// in distance) have shown no mass; a second mode farther out than that from the mass already
// seen is not looked for. The tail beyond a rung is estimated from the decay between it and the
// next rung as a power law, f(x) ~ |x|^-p: the mass beyond x is f(x) |x| / (p - 1), an
// overestimate where the density falls faster than a power law, as most do.
//
// Each side of the window is then the innermost rung beyond every rung that holds a noticeable
// share of the mass, where the estimated tail is at most tail_share of the mass seen. A side
// where no rung qualifies is the support's own end when that is finite; on an unbounded side it
// means the density does not decay fast enough for its mass to be finite, and the search fails.
#pragma once

#include <span>
#include <vector>

#include "core/continuous/density_probe.hpp"
#include "core/errors.hpp"

namespace varnix {

struct MassWindow {
    double lo;
    double hi;
    // Points strictly inside (lo, hi) for the first partition of the panel table: the rungs
    // that fall inside the window, less those much closer to their centre than the density's
    // own scale there.
    std::vector<double> grid;
};

// The window of the density behind probe on [lo, hi] (lo < hi, either end infinite, neither
// NaN), searched from extra_centres as well (those inside (lo, hi)). Fails with the probe's error, DensityZero when every point read was 0, or
// MassNotFound when an unbounded side does not decay.
BuildResult<MassWindow> find_mass_window(DensityProbe& probe, double lo, double hi,
                                         double tail_share,
                                         std::span<const double> extra_centres = {});

}  // namespace varnix

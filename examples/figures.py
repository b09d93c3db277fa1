"""Pictures of varnix at work: every engine's draws over the density they come from.

Needs matplotlib (python3 -m pip install '.[plot]'). The tour calls write_all() for
`python3 examples/tour.py --figures DIR`; this file also runs by itself:
python3 examples/figures.py DIR

Every reference curve here is a closed form (or, for the histogram, the histogram itself),
never the library's own density, so a picture shows what the draws should look like.
"""
import math
import random
import statistics
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path

import matplotlib  # type: ignore[import-not-found, unused-ignore]
import numpy as np
from matplotlib.axes import Axes  # type: ignore[import-not-found, unused-ignore]
from matplotlib.figure import Figure  # type: ignore[import-not-found, unused-ignore]

import varnix as vx

N_DRAWS = 100_000
# Plain numerical inversion costs milliseconds per draw (each is a root search on an integrated
# distribution function), so its panel shows fewer draws.
N_DRAWS_INVERSION = 10_000
N_POINTS = 4_000  # points per scatter panel
DPI = 80
DENSITY_COLOR = "#c0392b"
DRAW_COLOR = "#5d8aa8"

# ---- One skewed density for all engines: the standard Gumbel density on [-3, 9] ----

GUMBEL_LO, GUMBEL_HI = -3.0, 9.0


def gumbel_pdf(x: float) -> float:
    return math.exp(-(x + math.exp(-x)))


def gumbel_cdf(x: float) -> float:
    return math.exp(-math.exp(-x))


GUMBEL_MASS = gumbel_cdf(GUMBEL_HI) - gumbel_cdf(GUMBEL_LO)


def gumbel_exact_pdf(x: float) -> float:
    """The density above, normalised on [-3, 9]."""
    return gumbel_pdf(x) / GUMBEL_MASS if GUMBEL_LO <= x <= GUMBEL_HI else 0.0


def gumbel_exact_cdf(x: float) -> float:
    x = min(max(x, GUMBEL_LO), GUMBEL_HI)
    return (gumbel_cdf(x) - gumbel_cdf(GUMBEL_LO)) / GUMBEL_MASS


def normal_pdf(x: float) -> float:
    return math.exp(-0.5 * x * x)


STD_NORMAL = statistics.NormalDist()


def ks_distance(draws: Sequence[float], cdf: Callable[[float], float]) -> float:
    """The Kolmogorov-Smirnov distance between the draws' empirical cdf and an exact cdf."""
    xs = sorted(draws)
    n = len(xs)
    worst = 0.0
    for i, x in enumerate(xs):
        f = cdf(x)
        worst = max(worst, f - i / n, (i + 1) / n - f)
    return worst


def timed_draws(d: vx.ContinuousDistribution, n: int, seed: int) -> tuple[list[float], float]:
    """n seeded draws and the time each took, in microseconds."""
    start = time.perf_counter()
    xs = d.sample_n(n, seed=seed)
    return xs, (time.perf_counter() - start) / n * 1e6


def draws_over_density(ax: Axes, draws: Sequence[float], lo: float, hi: float,
                       pdf: Callable[[float], float], bins: int = 60) -> None:
    ax.hist(draws, bins=bins, range=(lo, hi), density=True, color=DRAW_COLOR, alpha=0.75,
            label="draws")
    grid = np.linspace(lo, hi, 400)
    ax.plot(grid, [pdf(float(x)) for x in grid], color=DENSITY_COLOR, lw=1.6, label="density")
    ax.set_xlim(lo, hi)
    ax.set_yticks([])


def note(ax: Axes, text: str) -> None:
    ax.text(0.97, 0.95, text, transform=ax.transAxes, ha="right", va="top", fontsize=8,
            family="monospace", bbox={"facecolor": "white", "edgecolor": "#bbbbbb", "alpha": 0.9})


def save(fig: Figure, outdir: Path, name: str) -> Path:
    path = outdir / name
    fig.savefig(path, dpi=DPI, metadata={"Software": None})
    return path


def engines_figure(outdir: Path) -> Path:
    """The Gumbel density through each engine: histogram of the draws over the exact density."""
    interval = vx.Interval(GUMBEL_LO, GUMBEL_HI)
    engines: list[tuple[str, str, Callable[[], vx.ContinuousDistribution], int]] = [
        ("numerical inversion", "from_pdf(f, I)",
         lambda: vx.from_pdf(gumbel_pdf, interval), N_DRAWS_INVERSION),
        ("Hermite table", "BuildOptions.hermite(256)",
         lambda: vx.from_pdf_with_options(gumbel_pdf, interval, vx.BuildOptions.hermite(256)),
         N_DRAWS),
        ("TDR, log", 'BuildOptions.tdr("log")',
         lambda: vx.from_pdf_with_options(gumbel_pdf, interval, vx.BuildOptions.tdr("log")),
         N_DRAWS),
        ("TDR, inv_sqrt", 'BuildOptions.tdr("inv_sqrt")',
         lambda: vx.from_pdf_with_options(gumbel_pdf, interval, vx.BuildOptions.tdr("inv_sqrt")),
         N_DRAWS),
        ("from the cdf, bisection", "from_cdf(F, I)",
         lambda: vx.from_cdf(gumbel_cdf, interval), N_DRAWS),
        ("from the cdf, Hermite table", "from_cdf_with_options(..hermite(256))",
         lambda: vx.from_cdf_with_options(gumbel_cdf, interval, vx.BuildOptions.hermite(256)),
         N_DRAWS),
    ]
    fig = Figure(figsize=(11, 6.2), layout="constrained")
    axes = fig.subplots(2, 3)
    for ax, (title, call, build, n) in zip(axes.flat, engines):
        start = time.perf_counter()
        d = build()
        build_s = time.perf_counter() - start
        xs, us = timed_draws(d, n, seed=1)
        draws_over_density(ax, xs, GUMBEL_LO, GUMBEL_HI, gumbel_exact_pdf)
        ax.set_xlim(-2.5, 7.0)
        ax.set_title(f"{title}\n{call}", fontsize=9)
        ks = ks_distance(xs, gumbel_exact_cdf)
        cost = f"{us:,.0f}" if us >= 100 else f"{us:.2g}"
        note(ax, f"{n:,} draws\nKS {ks:.4f}\n(5% level {1.358 / math.sqrt(n):.4f})\n"
                 f"build {build_s:.2f} s\n{cost} \u00b5s/draw")
    fig.suptitle("Gumbel density on [-3, 9]: 'seed=1' draws of each engine over the exact density "
                 "(KS: distance to the exact cdf)", fontsize=10)
    return save(fig, outdir, "engines.png")


def shapes_figure(outdir: Path) -> Path:
    """Histogram data, truncation, location-scale and a discrete distribution."""
    fig = Figure(figsize=(11, 6.2), layout="constrained")
    axes = fig.subplots(2, 2)

    # A histogram of 2,000 observations of a two-component mixture.
    rng = random.Random(5)
    data = [rng.gauss(-1.0, 0.6) if rng.random() < 0.4 else rng.gauss(1.5, 0.9) for _ in range(2000)]
    edges = [-3.0 + 0.3 * i for i in range(24)]
    counts = [float(sum(1 for x in data if lo <= x < hi)) for lo, hi in zip(edges, edges[1:])]
    hist = vx.from_histogram(edges, counts, options=vx.BuildOptions.hermite(256))
    total = sum(counts)

    def hist_pdf(x: float) -> float:
        for lo, hi, c in zip(edges, edges[1:], counts):
            if lo <= x < hi:
                return c / (total * (hi - lo))
        return 0.0

    def hist_cdf(x: float) -> float:
        below = 0.0
        for lo, hi, c in zip(edges, edges[1:], counts):
            below += c * min(max((x - lo) / (hi - lo), 0.0), 1.0)
        return below / total

    xs, _ = timed_draws(hist, N_DRAWS, seed=2)
    ax = axes[0, 0]
    draws_over_density(ax, xs, edges[0], edges[-1], hist_pdf, bins=4 * len(counts))
    ax.set_title("from_histogram(edges, counts, options=hermite(256))\n"
                 "2,000 observations in 23 bins", fontsize=9)
    note(ax, f"{N_DRAWS:,} draws\nKS {ks_distance(xs, hist_cdf):.4f}")

    # A normal density truncated to [-1, 2.5].
    half = vx.truncated(normal_pdf, vx.Interval(-5.0, 5.0), vx.Interval(-1.0, 2.5),
                        vx.BuildOptions.tdr("log"))
    mass = STD_NORMAL.cdf(2.5) - STD_NORMAL.cdf(-1.0)
    xs, _ = timed_draws(half, N_DRAWS, seed=3)
    ax = axes[0, 1]
    draws_over_density(ax, xs, -1.5, 3.0,
                       lambda x: STD_NORMAL.pdf(x) / mass if -1.0 <= x <= 2.5 else 0.0, bins=90)
    ax.set_title('truncated(normal, Interval(-5, 5), Interval(-1, 2.5),\ntdr("log"))', fontsize=9)
    note(ax, f"{N_DRAWS:,} draws\nKS {ks_distance(xs, lambda x: (STD_NORMAL.cdf(x) - STD_NORMAL.cdf(-1.0)) / mass):.4f}")

    # The Gumbel density moved to loc 2 and scaled by 0.5.
    moved = vx.from_pdf_loc_scale(gumbel_pdf, vx.Interval(GUMBEL_LO, GUMBEL_HI), 2.0, 0.5,
                                  vx.BuildOptions.hermite(256))
    xs, _ = timed_draws(moved, N_DRAWS, seed=4)
    ax = axes[1, 0]
    draws_over_density(ax, xs, 0.5, 6.0, lambda x: gumbel_exact_pdf((x - 2.0) / 0.5) / 0.5)
    ax.set_title("from_pdf_loc_scale(gumbel, Interval(-3, 9), loc=2, scale=0.5,\nhermite(256))",
                 fontsize=9)
    note(ax, f"{N_DRAWS:,} draws\nKS {ks_distance(xs, lambda x: gumbel_exact_cdf((x - 2.0) / 0.5)):.4f}")

    # A discrete distribution: binomial(12, 0.35) masses on the points 0..12.
    points = [float(k) for k in range(13)]
    masses = [math.comb(12, k) * 0.35**k * 0.65 ** (12 - k) for k in range(13)]
    binom = vx.from_pmf(points, masses)
    counts_k = [0] * 13
    for x in binom.sample_n(N_DRAWS, seed=6):
        counts_k[int(x)] += 1
    ax = axes[1, 1]
    ax.bar(points, [c / N_DRAWS for c in counts_k], width=0.7, color=DRAW_COLOR, alpha=0.75,
           label="share of draws")
    ax.plot(points, masses, "o", color=DENSITY_COLOR, ms=5, label="mass")
    ax.set_title("from_pmf(range(13), binomial(12, 0.35) masses)", fontsize=9)
    ax.legend(fontsize=8, loc="upper right")
    ax.set_yticks([])

    fig.suptitle("Data, truncation, location-scale and a discrete distribution: draws over the exact "
                 "density or masses", fontsize=10)
    return save(fig, outdir, "shapes.png")


# ---- Two dimensions ----

BANANA_LO, BANANA_HI = [-3.5, -2.5], [3.5, 6.0]
RHO = 0.8
GAUSS_LO, GAUSS_HI = [-3.5, -3.5], [3.5, 3.5]


def banana(x: float, y: float) -> float:
    """x standard normal, y given x normal around x^2/2 - 1 with standard deviation 0.5."""
    r = y - 0.5 * x * x + 1.0
    return math.exp(-0.5 * x * x - 2.0 * r * r)


def gauss2(x: float, y: float) -> float:
    return math.exp(-(x * x - 2 * RHO * x * y + y * y) / (2 * (1 - RHO * RHO)))


def contours(ax: Axes, density: Callable[[float, float], float], lo: Sequence[float],
             hi: Sequence[float]) -> None:
    gx = np.linspace(lo[0], hi[0], 160)
    gy = np.linspace(lo[1], hi[1], 160)
    z = np.array([[density(float(x), float(y)) for x in gx] for y in gy])
    # For a normal density these levels are at 0.6, 1.2, 1.8, 2.4 and 3 standard deviations.
    levels = [z.max() * q for q in (0.011, 0.056, 0.2, 0.49, 0.84)]
    ax.contour(gx, gy, z, levels=levels, colors=DENSITY_COLOR, linewidths=1.1, zorder=3)
    ax.set_xlim(lo[0], hi[0])
    ax.set_ylim(lo[1], hi[1])


def scatter(ax: Axes, points: Sequence[Sequence[float]], title: str, text: str) -> None:
    ax.scatter([p[0] for p in points], [p[1] for p in points], s=3, color=DRAW_COLOR, alpha=0.5,
               linewidths=0, zorder=2)
    ax.set_title(title, fontsize=9)
    note(ax, text)


def multivariate_figure(outdir: Path) -> Path:
    fig = Figure(figsize=(11, 7.4), layout="constrained")
    axes = fig.subplots(2, 3)
    box = vx.HyperRect(BANANA_LO, BANANA_HI)
    rng = random.Random(7)

    for ax in axes[0]:
        contours(ax, banana, BANANA_LO, BANANA_HI)
    ax = axes[1, 0]
    contours(ax, banana, BANANA_LO, BANANA_HI)

    rej = vx.rejection_sampler(banana, box, 1.0)
    scatter(axes[0, 0], rej.sample_n(N_POINTS, seed=1), "rejection_sampler(f, box, pdf_max=1)",
            f"{N_POINTS:,} points")

    mh = vx.metropolis_hastings(banana, box, step_size=0.5)
    mh.init(seed=1)
    points = mh.sample_n(N_POINTS, seed=2)
    scatter(axes[0, 1], points, "metropolis_hastings(f, box, step_size=0.5)",
            f"{N_POINTS:,} points\n(a rejection repeats one)\naccept rate {mh.accept_rate():.2f}")

    hmc = vx.hmc_sampler(banana, box, step_size=0.1, leapfrog_steps=20)
    hmc.init(seed=2)
    points = hmc.sample_n(N_POINTS, seed=3)
    moved = sum(1 for a, b in zip(points, points[1:]) if a != b) / (len(points) - 1)
    scatter(axes[0, 2], points, "hmc_sampler(f, box, step_size=0.1)",
            f"{N_POINTS:,} points\nmoved in {moved:.0%}")

    cond = vx.conditional_factorization_sampler(
        lambda i, prev: rng.gauss(0.0, 1.0) if i == 0 else rng.gauss(0.5 * prev[0] ** 2 - 1.0, 0.5), 2)
    scatter(axes[1, 0], cond.sample_n(N_POINTS),
            "conditional_factorization_sampler:\nx ~ N(0, 1), then y | x ~ N(x^2/2 - 1, 0.5)",
            f"{N_POINTS:,} points")

    ax = axes[1, 1]
    contours(ax, gauss2, GAUSS_LO, GAUSS_HI)
    sd = math.sqrt(1 - RHO * RHO)
    gibbs = vx.gibbs_sampler(lambda i, x: rng.gauss(RHO * x[1 - i], sd),
                             vx.HyperRect(GAUSS_LO, GAUSS_HI), [0.0, 0.0])
    scatter(ax, [gibbs.step() for _ in range(N_POINTS)],
            f"gibbs_sampler: normal, correlation {RHO}\nx_i | x_j ~ N({RHO} x_j, {sd:.1f})",
            f"{N_POINTS:,} sweeps")

    # A Gaussian copula with a Gumbel marginal (quantiles from a Hermite table) and an
    # exponential one; the contours are the exact joint density c(F1(x), F2(y)) f1(x) f2(y).
    gumbel = vx.from_pdf_with_options(gumbel_pdf, vx.Interval(GUMBEL_LO, GUMBEL_HI),
                                      vx.BuildOptions.hermite(256))
    copula = vx.gaussian_copula([[1.0, RHO], [RHO, 1.0]])

    def expo_ppf(u: float) -> float:
        return -math.log1p(-u)

    def copula_density(x: float, y: float) -> float:
        if y <= 0.0:
            return 0.0
        u = min(max(gumbel_exact_cdf(x), 1e-12), 1 - 1e-12)
        v = min(max(-math.expm1(-y), 1e-12), 1 - 1e-12)
        z1, z2 = STD_NORMAL.inv_cdf(u), STD_NORMAL.inv_cdf(v)
        c = math.exp(-(RHO * RHO * (z1 * z1 + z2 * z2) - 2 * RHO * z1 * z2)
                     / (2 * (1 - RHO * RHO))) / math.sqrt(1 - RHO * RHO)
        return c * gumbel_exact_pdf(x) * math.exp(-y)

    ax = axes[1, 2]
    contours(ax, copula_density, [-2.5, 0.0], [6.0, 5.0])
    scatter(ax, [copula.sample([gumbel.ppf, expo_ppf], seed=s) for s in range(N_POINTS)],
            f"gaussian_copula, correlation {RHO}:\nGumbel (Hermite table ppf) x exponential",
            f"{N_POINTS:,} points")

    fig.suptitle("Two dimensions: each sampler's points over the contours of its target density",
                 fontsize=10)
    return save(fig, outdir, "multivariate.png")


def running_share(flags: Sequence[bool], window: int) -> list[float]:
    return [sum(flags[max(0, i - window + 1):i + 1]) / min(i + 1, window) for i in range(len(flags))]


def mh_trace_figure(outdir: Path) -> Path:
    """Two Metropolis-Hastings chains on the banana: adapted step size, and a tiny fixed one."""
    box = vx.HyperRect(BANANA_LO, BANANA_HI)
    steps = 6000
    chains = [
        ("adapted (defaults: step_size=0.25, target_accept=0.25, adapt_steps=2000)",
         vx.metropolis_hastings(banana, box)),
        ("fixed step_size=0.02, adapt_steps=0",
         vx.metropolis_hastings(banana, box, step_size=0.02, adapt_steps=0)),
    ]
    fig = Figure(figsize=(11, 5.6), layout="constrained")
    trace_ax, rate_ax = fig.subplots(2, 1, sharex=True)
    for (label, mh), color in zip(chains, ["#1f4e79", "#d4a017"]):
        mh.init(seed=1)
        path = [mh.step() for _ in range(steps)]
        moved = [a != b for a, b in zip(path, path[1:])]
        trace_ax.plot(range(steps), [p[0] for p in path], lw=0.6, color=color,
                      label=f"{label}: accept rate {mh.accept_rate():.2f}")
        rate_ax.plot(range(1, steps), running_share(moved, 200), lw=1.0, color=color)
    for ax in (trace_ax, rate_ax):
        ax.axvspan(0, 2000, color="#eeeeee", zorder=0)
    trace_ax.set_ylabel("x coordinate")
    trace_ax.legend(fontsize=8, loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=2, frameon=False)
    fig.suptitle("Metropolis-Hastings on the banana density: trace of x (shaded: the first "
                 "2,000 transitions, where the adapted chain tunes its step size)", fontsize=10)
    rate_ax.axhline(0.25, color=DENSITY_COLOR, lw=1.0, ls="--", label="target_accept 0.25")
    rate_ax.set_ylabel("accepted, last 200")
    rate_ax.set_xlabel("transition")
    rate_ax.set_ylim(0, 1)
    rate_ax.legend(fontsize=8, loc="center right")
    return save(fig, outdir, "mh_trace.png")


def write_all(outdir: str) -> list[Path]:
    """Write every figure into outdir (created if missing) and return their paths."""
    matplotlib.use("Agg")
    out = Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    return [engines_figure(out), shapes_figure(out), multivariate_figure(out), mh_trace_figure(out)]


if __name__ == "__main__":
    for written in write_all(sys.argv[1] if len(sys.argv) > 1 else "."):
        print("wrote", written)

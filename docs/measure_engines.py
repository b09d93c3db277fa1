"""Measure the cost and accuracy of each engine, for the guide's engine table.

    python3 docs/measure_engines.py [label ...]

With labels, only the engines whose label starts with one of them are measured (for example
`interpolated`).

For each shape and engine it reports:
- build calls: calls of the density (of the distribution function for the "cdf" row) made
  while building the distribution; "loose" builds with quad_tolerance 1e-8 and ppf_tolerance
  1e-9 instead of the defaults 1e-10 and 1e-12;
- u-error: max |F(ppf(u)) - u|, with F the exact distribution function from scipy.stats
  (truncated to the support), over the body (u = 0.01, 0.02, ..., 0.99) and over the tails
  (u = 1e-10, 1e-9, ..., 1e-2 and 1 minus those);
- KS: the Kolmogorov-Smirnov distance of n seeded draws to that exact F, beside the distance
  that exact draws exceed only 5% of the time (1.358 / sqrt(n));
- calls/draw: density calls per draw in that batch;
- ns/draw: wall time of sample_n(n, seed=1) divided by n, with an uncounted density: the
  fastest of 20 batches of 100,000 draws (5 batches of 200 for plain inversion), as on a busy
  machine the spread between runs is large.

Needs scipy and numpy. Takes a few minutes: plain inversion and the large tables are slow to
query or build.
"""
import math
import sys
import time

import numpy as np
from scipy import stats

import varnix as vx


def truncated_exact(dist, lo, hi):
    """The exact distribution function of a scipy distribution restricted to [lo, hi]."""
    c_lo, c_hi = dist.cdf(lo), dist.cdf(hi)
    s_lo, s_hi = dist.sf(lo), dist.sf(hi)

    def cdf(x):
        x = np.asarray(x, dtype=float)
        # The lower half from cdf, the upper half from sf, so neither tail loses digits.
        below = (dist.cdf(x) - c_lo) / (c_hi - c_lo)
        above = 1.0 - (dist.sf(x) - s_hi) / (s_lo - s_hi)
        return np.where(x < dist.median(), below, above)
    return cdf


def normal_cdf(x):
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def t3_cdf(x):
    # The closed form of Student's t with 3 degrees of freedom.
    r = x / math.sqrt(3.0)
    return 0.5 + (r / (1.0 + r * r) + math.atan(r)) / math.pi


# name: (density, its distribution function, lo, hi, the scipy distribution)
SHAPES = {
    "normal on [−5, 5]": (lambda x: math.exp(-0.5 * x * x), normal_cdf, -5.0, 5.0, stats.norm()),
    "Student t(3) on [−50, 50]": (lambda x: (1.0 + x * x / 3.0) ** -2, t3_cdf, -50.0, 50.0,
                                  stats.t(3)),
}

LOOSE = dict(quad_tolerance=1e-8, ppf_tolerance=1e-9)

# label, built from the density or the distribution function, options, draws (KS and timing)
ENGINES = [
    ("interpolated(1e-12)", "pdf", vx.BuildOptions.interpolated(1e-12), 1_000_000),
    ("interpolated(1e-12), cdf", "cdf", vx.BuildOptions.interpolated(1e-12), 1_000_000),
    ("plain inversion", "pdf", None, 200),
    ("hermite(256)", "pdf", vx.BuildOptions.hermite(256), 1_000_000),
    ("hermite(256), loose", "pdf", vx.BuildOptions(hermite_grid_size=256, **LOOSE), 1_000_000),
    ("hermite(4096)", "pdf", vx.BuildOptions.hermite(4096), 1_000_000),
    ("hermite(256), cdf", "cdf", vx.BuildOptions.hermite(256), 1_000_000),
    ('tdr("log")', "pdf", vx.BuildOptions.tdr("log"), 1_000_000),
    ('tdr("inv_sqrt")', "pdf", vx.BuildOptions.tdr("inv_sqrt"), 1_000_000),
    # 33 scan points: the middle one is the centre of the support, where both peaks are.
    ('tdr("inv_sqrt", 33)', "pdf", vx.BuildOptions.tdr("inv_sqrt", 33), 1_000_000),
]

# Probabilities from 1e-10 to 1 - 1e-10: decades into both tails and an even grid in the body.
TAIL = [10.0 ** -k for k in range(10, 1, -1)]
U_TAILS = TAIL + [1.0 - t for t in TAIL]
U_BODY = [i / 100 for i in range(1, 100)]


def build(kind, f, lo, hi, options):
    interval = vx.Interval(lo, hi)
    if kind == "cdf":
        return vx.from_cdf_with_options(f, interval, options)
    if options is None:
        return vx.from_pdf(f, interval)
    return vx.from_pdf_with_options(f, interval, options)


def measure(kind, f, lo, hi, exact, options, n):
    calls = 0

    def counted(x):
        nonlocal calls
        calls += 1
        return f(x)

    t0 = time.perf_counter()
    d = build(kind, counted, lo, hi, options)
    build_s = time.perf_counter() - t0
    build_calls = calls

    def u_error(grid):
        x = np.array([d.ppf(v) for v in grid])
        return float(np.max(np.abs(exact(x) - np.array(grid))))

    if d.uses_tdr():
        u_err = None  # draws are by rejection; ppf is plain inversion
    else:
        u_err = (u_error(U_BODY), u_error(U_TAILS))

    calls = 0
    draws = np.sort(d.sample_n(n, seed=1))
    per_draw = calls / n
    ecdf_hi = np.arange(1, n + 1) / n
    fx = exact(draws)
    ks = float(max(np.max(ecdf_hi - fx), np.max(fx - (ecdf_hi - 1.0 / n))))

    # Timed in short batches, keeping the fastest: the least disturbed by other processes.
    plain = build(kind, f, lo, hi, options)
    batch = min(n, 100_000)
    best = math.inf
    for _ in range(5 if batch < 1000 else 20):
        t0 = time.perf_counter()
        plain.sample_n(batch, seed=1)
        best = min(best, time.perf_counter() - t0)
    return build_calls, build_s, u_err, ks, per_draw, best / batch * 1e9


def main(labels):
    # Markdown tables, as the guide shows them.
    for name, (density, cdf, lo, hi, dist) in SHAPES.items():
        exact = truncated_exact(dist, lo, hi)
        print(f"\n{name}:\n")
        print("| engine | build calls | build time | u-error, body | u-error, tails"
              " | KS distance (5% level) | density calls per draw | ns per draw |")
        print("|---|--:|--:|--:|--:|--:|--:|--:|")
        for label, kind, options, n in ENGINES:
            if labels and not any(label.startswith(want) for want in labels):
                continue
            f = cdf if kind == "cdf" else density
            try:
                bc, bs, ue, ks, cpd, ns = measure(kind, f, lo, hi, exact, options, n)
            except vx.BuildError as e:
                print(f"| {label} | BuildError: {e} | | | | | | |")
                continue
            body, tails = ("—", "—") if ue is None else (f"{ue[0]:.1e}", f"{ue[1]:.1e}")
            ks_text = f"{ks:.4f} ({1.358 / math.sqrt(n):.4f})"
            time_text = (f"{bs:.1f} s" if bs >= 1 else
                         f"{bs * 1e3:.0f} ms" if bs >= 5e-4 else "< 1 ms")
            ns_text = f"{ns / 1e6:.1f} ms" if ns >= 1e6 else f"{ns:,.0f}"
            cpd_text = f"{cpd:,.0f}" if cpd >= 100 or cpd == 0 else f"{cpd:.2f}"
            print(f"| {label} | {bc:,} | {time_text} | {body} | {tails} | {ks_text}"
                  f" | {cpd_text} | {ns_text} |")


if __name__ == "__main__":
    main(sys.argv[1:])

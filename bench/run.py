"""varnix benchmark: each workload beside what a user would otherwise reach for.

    python3 -m pip install '.[bench]' && python3 bench/run.py [--quick]

Every figure is the best of k repeats timed with time.perf_counter, and every peer is measured
in the same process, in the same run, on the same inputs; the contenders of one comparison
alternate in blocks of repeats (see best_of). The garbage collector is switched off while a workload is timed (as
timeit does), for ours and the peers' alike. Ratios are what to compare across runs: the
absolute figures move with the machine's load.

The scipy peers get the same distribution as varnix: NumericalInverseHermite a class with the
standard normal's pdf and cdf (StdNormal below) on the domain (-5, 5), which scipy renormalises
over; TransformedDensityRejection the very density exp(-x^2/2) and its derivative (NormalShape).

Sections:
  1  discrete sampling        DiscreteDistribution.sample_n vs numpy Generator.choice
  2  Hermite table sampling   from_pdf_with_options(..., hermite(256)).sample_n vs scipy
                              NumericalInverseHermite
  3  callback overhead        cdf queries and a Hermite build vs calling the density alone
  4  TDR sampling             BuildOptions.tdr("log") vs scipy TransformedDensityRejection
  5  multivariate samplers    rejection and Metropolis-Hastings vs calling the density alone
  6  raw generator throughput bench/rng_throughput.cpp, built by tools/dev_build.py
  7  interpolated inversion   BuildOptions.interpolated(1e-12): build calls and time vs scipy
                              NumericalInversePolynomial and NumericalInverseHermite on four
                              shapes, the u-error of each against the exact distribution,
                              sampling vs the Hermite table, and the memory of the built table
                              (bench/inversion_build.cpp)
  8  arrays                   sample_array and ppf over an array vs scipy and numpy, each to an
                              array (no .tolist()), single-threaded
  9  threads                  sample_array(10**7) on 2 threads vs 1: throughput, same values
 10  memory                   peak memory of sample_array(10**7) in a fresh process
 11  user functions           compiled (ctypes from C compiled here, numba) and vectorized numpy
                              functions against the same function in Python: builds, plain
                              inversion on threads, rejection, chains, the copula, two threads
 12  Markov chains            time per effective sample on a logistic-regression posterior:
                              Metropolis-Hastings vs emcee (32 walkers, and vectorize=True), HMC
                              with the gradient vs finite differences; log-density vs density
                              input per transition; 4 chains with a compiled log density on the
                              cores vs one after the other
 13  unbounded supports       interpolated builds on whole supports (Support) and on very wide
                              intervals: calls and time vs scipy NumericalInversePolynomial on
                              the same infinite domain, vs the same density on a tight interval,
                              and the u-error from 1e-15 to 1 - 1e-15 against scipy.stats

--sections 8,9,10 runs only the sections listed.

--quick divides the sizes by 10 and takes fewer repeats: for checking that the script runs,
not for figures.
"""

from __future__ import annotations

import argparse
import gc
import itertools
import math
import os
import platform
import random
import subprocess
import sys
import time
import warnings
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import scipy
import scipy.stats
import scipy.special
import scipy.stats.sampling

import _varnix as vx

# The Hermite table is timed here as the peer of scipy's NumericalInverseHermite, in the body
# where it is accurate; its build-time warning about its tails is known and not repeated.
warnings.filterwarnings("ignore", message="the Hermite table's measured u-error",
                        category=RuntimeWarning)

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tools"))
import dev_build  # noqa: E402  (the C++ development build, shared with tests/test_core.py)
SEED = 1

# ---------------------------------------------------------------------------------------------
# Timing and reporting


def best_of(k: int, *fns, rounds: int = 2) -> list[float]:
    """Best wall time in seconds of each of fns. Each contender runs in blocks of k + 1
    consecutive calls, the first of a block not counted: a call leaves the allocator and the
    caches in the state its own next call finds, as when a user repeats it, rather than in the
    state another contender left. The blocks of the contenders alternate for a few rounds, so
    that a change of machine load in the middle of a comparison touches all of them alike. The
    collector is off while timing."""
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        best = [math.inf] * len(fns)
        for _ in range(rounds):
            for i, fn in enumerate(fns):
                fn()
                for _ in range(k):
                    t0 = time.perf_counter()
                    fn()
                    best[i] = min(best[i], time.perf_counter() - t0)
        return best
    finally:
        if was_enabled:
            gc.enable()


@dataclass
class Row:
    section: str
    workload: str
    ns: float | None  # ns per unit (sample, call, transition)
    unit: str
    ratio: float | None = None  # ns / reference ns, when the row is compared with something
    ref: str = ""  # what the ratio divides by
    target: str = ""  # e.g. "<= 1.5"
    ok: bool | None = None
    note: str = ""


ROWS: list[Row] = []


def add(row: Row) -> Row:
    ROWS.append(row)
    ratio = f"{row.ratio:7.3f}x" if row.ratio is not None else ""
    ns = f"{row.ns:10.1f} ns/{row.unit}" if row.ns is not None else ""
    print(f"  {row.workload:<58} {ns:<22} {ratio} {row.ref}", flush=True)
    return row


def judged(ratio: float, limit: float, inclusive: bool = True) -> bool:
    return ratio <= limit if inclusive else ratio < limit


def counting(f):
    """A wrapper of the one-argument f that records every x it is called at."""
    seen: list = []

    def wrapped(x):
        seen.append(x)
        return f(x)

    return wrapped, seen


def counting_points(f):
    """A wrapper of the multivariate f(*x) that records every point (a tuple) it is called at."""
    seen: list = []

    def wrapped(*x):
        seen.append(x)
        return f(*x)

    return wrapped, seen


CHUNK = 4096


def map_in_chunks(f, xs):
    """list(map(f, chunk)) over consecutive chunks of xs, each result list dropped at once: the
    same calls as list(map(f, xs)) without holding a result list as long as xs."""
    for i in range(0, len(xs), CHUNK):
        list(map(f, xs[i:i + CHUNK]))


def has_continuous_api() -> bool:
    return all(hasattr(vx, name) for name in ("from_pdf", "from_pdf_with_options",
                                              "ContinuousDistribution"))


def skip(section: str, why: str) -> None:
    print(f"  skipped: {why}", flush=True)
    ROWS.append(Row(section, "skipped: " + why, None, ""))


# ---------------------------------------------------------------------------------------------
# Densities shared by several sections. Plain Python, as a user would write them.


def normal_pdf(x):
    return math.exp(-0.5 * x * x)


def normal_dpdf(x):
    return -x * math.exp(-0.5 * x * x)


LO, HI = -5.0, 5.0
_SQRT1_2 = 1.0 / math.sqrt(2.0)
_INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)


class StdNormal:
    """The standard normal in the form scipy.stats.sampling asks for: pdf and cdf consistent
    with each other (NumericalInverseHermite uses both), cdf through erfc so that it is
    accurate in both tails. The truncation to [-5, 5] is scipy's domain argument; scipy
    renormalises over the domain."""

    def pdf(self, x):
        return _INV_SQRT_2PI * math.exp(-0.5 * x * x)

    def cdf(self, x):
        return 0.5 * math.erfc(-x * _SQRT1_2)


class NormalShape:
    """The very density varnix is given, exp(-x^2/2) unnormalised, and its derivative: what
    scipy's TransformedDensityRejection needs (it does not need a normalised density)."""

    def pdf(self, x):
        return math.exp(-0.5 * x * x)

    def dpdf(self, x):
        return -x * math.exp(-0.5 * x * x)


def floor_random_tolist(n: int):
    """numpy's Generator.random(n).tolist(): uniform doubles into a list, the least any sampler
    returning a Python list of floats can cost."""
    gen = np.random.default_rng(SEED)
    return lambda: gen.random(n).tolist()


# ---------------------------------------------------------------------------------------------
# 1. Discrete


def bench_discrete(n: int, k: int) -> None:
    print("\n[1] discrete: 1,000 points, random masses", flush=True)
    rnd = random.Random(2024)
    points = [float(i) - 500.0 for i in range(1000)]
    masses = [rnd.random() for _ in points]
    dist = vx.from_pmf(points, masses)

    gen = np.random.default_rng(SEED)
    p = np.asarray(masses) / math.fsum(masses)
    pts = np.asarray(points)

    floor, ours, choice = (t / n * 1e9 for t in best_of(
        k, floor_random_tolist(n), lambda: dist.sample_n(n, seed=SEED),
        lambda: gen.choice(pts, n, p=p).tolist()))

    add(Row("1", "numpy Generator.random(n).tolist()  [floor]", floor, "sample"))
    add(Row("1", "numpy Generator.choice(points, n, p).tolist()", choice, "sample",
            choice / floor, "of floor"))
    add(Row("1", "varnix DiscreteDistribution.sample_n(n, seed)", ours, "sample",
            ours / floor, "of floor", "<= 1.5", judged(ours / floor, 1.5)))
    add(Row("1", "  varnix vs numpy choice", None, "", ours / choice, "of choice", "< 1",
            judged(ours / choice, 1.0, inclusive=False)))


# ---------------------------------------------------------------------------------------------
# 2. Hermite table


def bench_hermite(n: int, k: int) -> None:
    print("\n[2] Hermite table: exp(-x^2/2) on [-5, 5], 256 nodes", flush=True)
    if not has_continuous_api():
        skip("2", "the continuous API (from_pdf_with_options) is not in this build")
        return
    iv = vx.Interval(LO, HI)
    t0 = time.perf_counter()
    dist = vx.from_pdf_with_options(normal_pdf, iv, vx.BuildOptions.hermite(256))
    build_ours = time.perf_counter() - t0

    # scipy gets the same distribution: a class with pdf and cdf of the standard normal, its
    # domain cut to [-5, 5], default settings (u-resolution 1e-10, cubic Hermite).
    t0 = time.perf_counter()
    nih = scipy.stats.sampling.NumericalInverseHermite(
        StdNormal(), domain=(LO, HI), random_state=np.random.default_rng(SEED))
    build_scipy = time.perf_counter() - t0

    floor, ours, theirs = (t / n * 1e9 for t in best_of(
        k, floor_random_tolist(n), lambda: dist.sample_n(n, seed=SEED),
        lambda: nih.rvs(n).tolist()))

    add(Row("2", "numpy Generator.random(n).tolist()  [floor]", floor, "sample"))
    add(Row("2", "scipy NumericalInverseHermite(StdNormal, (-5, 5)).rvs(n).tolist()", theirs,
            "sample",
            theirs / floor, "of floor",
            note=f"scipy build {build_scipy * 1e3:.1f} ms, {nih.intervals} intervals"))
    add(Row("2", "varnix hermite(256) sample_n(n, seed)", ours, "sample", ours / floor,
            "of floor", "<= 1.5", judged(ours / floor, 1.5),
            note=f"varnix build {build_ours * 1e3:.1f} ms"))
    add(Row("2", "  varnix vs scipy NumericalInverseHermite", None, "", ours / theirs,
            "of scipy", "< 1", judged(ours / theirs, 1.0, inclusive=False)))
    print(f"    builds (one each, untimed by best-of): varnix {build_ours * 1e3:.1f} ms, "
          f"scipy {build_scipy * 1e3:.1f} ms ({nih.intervals} intervals, u-error "
          f"{nih.u_error(10**5)[0]:.1e})", flush=True)


# ---------------------------------------------------------------------------------------------
# 3. Callback overhead


def overhead_rows(section, label, work, f, xs, k):
    """Times work() against list(map(f, xs)) over the points xs a dry run recorded, and against
    the same calls made chunk by chunk (for a long xs the one big list(map(...)) pays for cache
    misses on xs and on its result list that the calls made by work() do not)."""
    calls = len(xs)
    t_work, t_calls, t_chunked = best_of(k, work, lambda: list(map(f, xs)),
                                         lambda: map_in_chunks(f, xs))
    add(Row(section, f"{label}: {calls} density calls", t_work / calls * 1e9, "call",
            t_work / t_calls, "of list(map(f, points))", "<= 1.25",
            judged(t_work / t_calls, 1.25)))
    add(Row(section, f"  the same, against the calls made in chunks of {CHUNK}", None, "",
            t_work / t_chunked, "of chunked map", "<= 1.25", judged(t_work / t_chunked, 1.25)))
    add(Row(section, f"  list(map(f, points)) over the same {calls} points",
            t_calls / calls * 1e9, "call"))
    add(Row(section, f"  list(map(f, chunk)) over them, chunks of {CHUNK}",
            t_chunked / calls * 1e9, "call"))


def bench_callbacks(k: int, quick: bool) -> None:
    print("\n[3] callback overhead: exp(-x^2/2) on [-5, 5]", flush=True)
    if not has_continuous_api():
        skip("3", "the continuous API (from_pdf, cdf) is not in this build")
        return
    iv = vx.Interval(LO, HI)
    # (a) cdf queries: each one an adaptive integral of the density from -5.
    m = 20 if quick else 200
    xs = [LO + (HI - LO) * (i + 0.5) / m for i in range(m)]
    f_count, seen = counting(normal_pdf)
    d_count = vx.from_pdf(f_count, iv)
    seen.clear()  # keep only the calls made by the queries, not by the build
    for x in xs:
        d_count.cdf(x)
    d = vx.from_pdf(normal_pdf, iv)
    overhead_rows("3", f"cdf(x) x {m} (from_pdf, adaptive integration)",
                  lambda: [d.cdf(x) for x in xs], normal_pdf, seen, k)
    del seen, d_count

    # (b) a build with a Hermite grid: normalising integral, then every node inverted by
    # bisection, each step one adaptive integral.
    grid = 32 if quick else 256
    f_count, seen = counting(normal_pdf)
    vx.from_pdf_with_options(f_count, iv, vx.BuildOptions.hermite(grid))
    opts = vx.BuildOptions.hermite(grid)
    overhead_rows("3", f"from_pdf_with_options(hermite({grid})) build",
                  lambda: vx.from_pdf_with_options(normal_pdf, iv, opts), normal_pdf, seen,
                  2)


# ---------------------------------------------------------------------------------------------
# 4. TDR


def bench_tdr(n: int, k: int) -> None:
    """TDR "log" beside scipy's TransformedDensityRejection on the same unnormalised density.
    Targets: at most 1.5 times scipy's time, to lists and (where this build has array output)
    to arrays, and at most 0.05 density calls per draw. varnix's hat keeps its 30 construction
    points; its chords between them are the squeeze."""
    print("\n[4] TDR (log transform): exp(-x^2/2) on [-5, 5]", flush=True)
    if not has_continuous_api():
        skip("4", "the continuous API (from_pdf_with_options, BuildOptions.tdr) is not in "
                  "this build")
        return
    iv = vx.Interval(LO, HI)
    opts = vx.BuildOptions.tdr("log")
    dist = vx.from_pdf_with_options(normal_pdf, iv, opts)

    f_count, seen = counting(normal_pdf)
    d_count = vx.from_pdf_with_options(f_count, iv, opts)
    build_calls = len(seen)
    seen.clear()
    d_count.sample_n(n, seed=SEED)
    calls = len(seen)

    tdr = scipy.stats.sampling.TransformedDensityRejection(
        NormalShape(), domain=(LO, HI), random_state=np.random.default_rng(SEED))
    # scipy's density calls per sample, counted the same way (its squeeze spares most).
    shape_count = NormalShape()
    shape_count.pdf, scipy_seen = counting(shape_count.pdf)
    tdr_count = scipy.stats.sampling.TransformedDensityRejection(
        shape_count, domain=(LO, HI), random_state=np.random.default_rng(SEED))
    scipy_seen.clear()
    tdr_count.rvs(n)
    scipy_calls = len(scipy_seen)

    arrays = hasattr(dist, "sample_array")
    contenders = [lambda: dist.sample_n(n, seed=SEED), lambda: tdr.rvs(n).tolist(),
                  lambda: tdr.rvs(n)]
    if arrays:
        contenders.append(lambda: dist.sample_array(n, seed=SEED))
    times = [t / n * 1e9 for t in best_of(k, *contenders)]
    ours, theirs_list, theirs_array = times[:3]

    add(Row("4", f"scipy TransformedDensityRejection.rvs(n).tolist(): "
                 f"{scipy_calls / n:.4f} calls/sample", theirs_list, "sample",
            note=f"squeeze/hat area {tdr.squeeze_hat_ratio:.4f}"))
    add(Row("4", "scipy TransformedDensityRejection.rvs(n) (array)", theirs_array, "sample"))
    ratio = ours / theirs_list
    add(Row("4", "varnix tdr('log') sample_n(n, seed) (list)", ours, "sample", ratio,
            "of scipy to lists", "<= 1.5", judged(ratio, 1.5)))
    if arrays:
        ratio = times[3] / theirs_array
        add(Row("4", "varnix tdr('log') sample_array(n, seed)", times[3], "sample", ratio,
                "of scipy to arrays", "<= 1.5", judged(ratio, 1.5)))
    else:
        print("    (no array output in this build: the array comparison is not made)")
    per_draw = calls / n
    add(Row("4", f"varnix density calls per sample: {per_draw:.4f}", None, "", None, "",
            "<= 0.05", judged(per_draw, 0.05), note=f"build: {build_calls} density calls"))
    print(f"    density calls per sample: varnix {per_draw:.4f} ({build_calls} in the build), "
          f"scipy {scipy_calls / n:.4f} (squeeze/hat area ratio "
          f"{tdr.squeeze_hat_ratio:.4f})", flush=True)


# ---------------------------------------------------------------------------------------------
# 5. Multivariate


def gauss(*x):
    return math.exp(-0.5 * sum(t * t for t in x))


# Targets against the density calls alone: (rejection, Metropolis-Hastings) for lists and for
# sample_into, by dimension.
LIST_TARGETS = {2: (1.25, 1.4), 10: (1.5, 1.8)}
INTO_TARGETS = {2: (1.15, 1.3), 10: (1.3, 1.6)}


def bench_multivariate(n: int, k: int) -> None:
    """Rejection (every proposal accepted) and Metropolis-Hastings against the density calls
    they make, made alone by starmap over the same points. The lists' floor row adds to the
    calls the cost of the lists themselves: numpy's tolist of the same points, which makes (and,
    when the result is dropped, frees) n lists of d floats at C speed."""
    print("\n[5] multivariate: Gaussian density lambda *x: exp(-0.5 * sum(t*t for t in x)) "
          "in [-5, 5]^d", flush=True)
    for dim in (2, 10):
        box = vx.HyperRect([LO] * dim, [HI] * dim)
        list_rs, list_mh = LIST_TARGETS[dim]
        into_rs, into_mh = INTO_TARGETS[dim]
        # Rejection with an envelope at the density's maximum (1.0), in a box so small around
        # the mode that the density stays above 0.99999 in it: (nearly) every proposal is
        # accepted, one density call per draw, and the envelope is a true bound (the sampler
        # refuses one below the density).
        near_mode = vx.HyperRect([-1e-3] * dim, [1e-3] * dim)
        rs = vx.rejection_sampler(gauss, near_mode, 1.0)
        f_count, seen = counting_points(gauss)
        vx.rejection_sampler(f_count, near_mode, 1.0).sample_n(n, seed=SEED)
        assert len(seen) <= n * 1.0001, "nearly every proposal should be accepted"
        pts = list(seen)
        out = np.empty((n, dim))
        as_array = np.array(pts)
        t_rs, t_calls, t_into, t_rows = best_of(
            k, lambda: rs.sample_n(n, seed=SEED), lambda: list(itertools.starmap(gauss, pts)),
            lambda: rs.sample_into(out, seed=SEED), lambda: as_array.tolist())
        add(Row("5", f"d={dim:<2} density alone: list(starmap(f, points))",
                t_calls / n * 1e9, "call"))
        floor = (t_calls + t_rows) / t_calls
        add(Row("5", f"d={dim:<2} density alone + the lists (numpy tolist)",
                (t_calls + t_rows) / n * 1e9, "call", floor, "of density alone",
                note="the floor of list output"))
        add(Row("5", f"d={dim:<2} rejection_sampler sample_n (all accepted)",
                t_rs / n * 1e9, "draw", t_rs / t_calls, "of density alone", f"<= {list_rs}",
                judged(t_rs / t_calls, list_rs)))
        add(Row("5", f"d={dim:<2} rejection_sampler sample_into (all accepted)",
                t_into / n * 1e9, "draw", t_into / t_calls, "of density alone",
                f"<= {into_rs}", judged(t_into / t_calls, into_rs)))

        # Metropolis-Hastings: one density call per transition (the proposal; the chain's
        # own density is kept). Recorded in a dry run from a chain started the same way.
        def chain(fn):
            mh = vx.metropolis_hastings(fn, box, burn_in=0, thin=1)
            mh.init()
            return mh

        f_count, seen = counting_points(gauss)
        chain(f_count).sample_n(n, seed=SEED)
        pts = seen[1:]  # the first call is init's starting point
        # A fresh chain for every call best_of makes (two rounds of k + 1 per contender): the
        # same work each.
        mhs = [chain(gauss) for _ in range(4 * (k + 1))]
        it = iter(mhs)
        t_mh, t_calls, t_into = best_of(k, lambda: next(it).sample_n(n, seed=SEED),
                                        lambda: list(itertools.starmap(gauss, pts)),
                                        lambda: next(it).sample_into(out, seed=SEED))
        add(Row("5", f"d={dim:<2} density alone over the MH proposals ({len(pts)})",
                t_calls / len(pts) * 1e9, "call"))
        add(Row("5", f"d={dim:<2} metropolis_hastings sample_n (burn_in=0, thin=1)",
                t_mh / n * 1e9, "transition", t_mh / t_calls, "of density alone",
                f"<= {list_mh}", judged(t_mh / t_calls, list_mh)))
        add(Row("5", f"d={dim:<2} metropolis_hastings sample_into (burn_in=0, thin=1)",
                t_into / n * 1e9, "transition", t_into / t_calls, "of density alone",
                f"<= {into_mh}", judged(t_into / t_calls, into_mh)))


# ---------------------------------------------------------------------------------------------
# 6. Raw generator throughput (C++)


def built_or_skip(section: str, target: str):
    """The path of a development-build target, built if needed; None (the section's row says
    why) when there is no compiler or the build fails."""
    try:
        return dev_build.build_target(target)
    except dev_build.Unavailable as why:
        skip(section, str(why))
    except subprocess.CalledProcessError as failed:
        lines = (failed.stdout + failed.stderr).strip().splitlines()
        skip(section, f"{target} failed to build: " + (lines[-1] if lines else ""))
    return None


def bench_rng_cpp() -> None:
    print("\n[6] raw generator throughput (bench/rng_throughput.cpp)", flush=True)
    exe = built_or_skip("6", "rng_throughput")
    if exe is None:
        return
    ran = subprocess.run([str(exe)], cwd=REPO, capture_output=True, text=True)
    for line in ran.stdout.splitlines():
        print("    " + line)
        ROWS.append(Row("6", line, None, ""))
    if ran.returncode != 0:
        skip("6", f"rng_throughput exited with {ran.returncode}")


# ---------------------------------------------------------------------------------------------
# 7. Interpolated inversion


class Shape7:
    """A density as a user writes it (unnormalised), its interval, and for scipy the same
    density with the exact distribution function (NumericalInverseHermite needs both; the
    cdf is accurate in both tails). `norm` is the density's mass on the whole line (cdf is
    that of pdf / norm); `center` is a point in the bulk, for scipy's setup."""

    def __init__(self, name, lo, hi, pdf, norm, cdf, sf, center):
        self.name, self.lo, self.hi, self.pdf, self.cdf, self.sf = name, lo, hi, pdf, cdf, sf
        self.norm, self.center = norm, center
        self.cdf_lo, self.sf_hi = cdf(lo), sf(hi)
        self.mass = 1.0 - self.cdf_lo - self.sf_hi

    def u_error(self, ppf) -> float:
        """Largest |F(ppf(u)) - u| over u log-spaced to 1e-10 in both tails and even in the
        body, F the exact distribution function cut to [lo, hi] (the upper half through sf)."""
        tail = np.logspace(-10, math.log10(0.05), 120)
        us = np.unique(np.concatenate([tail, np.linspace(0.05, 0.95, 181), 1.0 - tail]))
        worst = 0.0
        for u, x in zip(us, ppf(us)):
            x = float(x)
            if u <= 0.5:
                err = abs((self.cdf(x) - self.cdf_lo) / self.mass - u)
            else:
                err = abs((self.sf(x) - self.sf_hi) / self.mass - (1.0 - u))
            worst = max(worst, err)
        return worst


def _t3_cdf(x):
    # Student t(3): F(x) = 1/2 + (atan(x / sqrt 3) + (x / sqrt 3) / (1 + x^2 / 3)) / pi,
    # written for the lower tail without cancellation.
    if x > 0:
        return 1.0 - _t3_cdf(-x)
    t = x / math.sqrt(3.0)
    return (math.atan(1.0 / -t) + t / (1.0 + t * t)) / math.pi if t < 0 else 0.5


SHAPES7 = [
    Shape7("normal on [-5, 5]", -5.0, 5.0, normal_pdf, math.sqrt(2 * math.pi),
           lambda x: 0.5 * math.erfc(-x * _SQRT1_2), lambda x: 0.5 * math.erfc(x * _SQRT1_2),
           0.0),
    Shape7("gamma(2) on [0, 40]", 0.0, 40.0, lambda x: x * math.exp(-x), 1.0,
           lambda x: 1.0 - (1.0 + x) * math.exp(-x) if x > 0.5 else
           float(scipy.special.gammainc(2.0, x)),
           lambda x: (1.0 + x) * math.exp(-x), 1.0),
    Shape7("Student t(3) on [-2804, 2804]", -2804.0, 2804.0,
           lambda x: (1.0 + x * x / 3.0) ** -2, math.pi * math.sqrt(3.0) / 2.0, _t3_cdf, lambda x: _t3_cdf(-x), 0.0),
    Shape7("mixture 0.5 N(-2, 1) + 0.5 N(2, 0.5) on [-10, 10]", -10.0, 10.0,
           lambda x: 0.5 * math.exp(-0.5 * (x + 2.0) ** 2) + math.exp(-2.0 * (x - 2.0) ** 2),
           math.sqrt(2 * math.pi),
           lambda x: 0.25 * (math.erfc(-(x + 2.0) * _SQRT1_2) + math.erfc(-(x - 2.0) * 2 * _SQRT1_2)),
           lambda x: 0.25 * (math.erfc((x + 2.0) * _SQRT1_2) + math.erfc((x - 2.0) * 2 * _SQRT1_2)),
           2.0),
]


class _ScipyDist:
    """A Shape7 for scipy.stats.sampling: the user's density as it is, or, where the method
    takes the cdf as well, the density normalised to agree with it."""

    def __init__(self, shape, with_cdf):
        self.pdf = shape.pdf
        if with_cdf:
            self.pdf = lambda x: shape.pdf(x) / shape.norm
            self.cdf = shape.cdf


def bench_interpolated(n: int, k: int) -> None:
    print("\n[7] interpolated inversion, u_resolution 1e-12", flush=True)
    if not hasattr(vx.BuildOptions, "interpolated"):
        skip("7", "BuildOptions.interpolated is not in this build")
        return
    opts = vx.BuildOptions.interpolated(1e-12)
    sampling = scipy.stats.sampling
    for shape in SHAPES7:
        iv = vx.Interval(shape.lo, shape.hi)
        f, seen = counting(shape.pdf)
        d = vx.from_pdf_with_options(f, iv, opts)
        calls = len(seen)
        err = shape.u_error(lambda us: [d.ppf(float(u)) for u in us])

        dist = _ScipyDist(shape, False)
        dist.pdf, nip_seen = counting(shape.pdf)
        nip = sampling.NumericalInversePolynomial(dist, domain=(shape.lo, shape.hi),
                                                  center=shape.center, u_resolution=1e-12)
        nip_calls = len(nip_seen)
        nip_err = shape.u_error(nip.ppf)

        hdist = _ScipyDist(shape, True)
        hdist.pdf, h_pdf = counting(hdist.pdf)
        hdist.cdf, h_cdf = counting(shape.cdf)
        try:
            nih = sampling.NumericalInverseHermite(hdist, domain=(shape.lo, shape.hi),
                                                   u_resolution=1e-12)
            nih_calls = f"{len(h_pdf)} pdf + {len(h_cdf)} cdf"
            nih_err = f"{shape.u_error(nih.ppf):.1e}"
        except Exception as e:  # scipy refuses some shapes at this resolution
            nih, nih_calls, nih_err = None, f"refused ({type(e).__name__})", "-"

        def nih_build():
            sampling.NumericalInverseHermite(_ScipyDist(shape, True),
                                             domain=(shape.lo, shape.hi), u_resolution=1e-12)

        fns = [lambda: vx.from_pdf_with_options(shape.pdf, iv, opts),
               lambda: sampling.NumericalInversePolynomial(
                   _ScipyDist(shape, False), domain=(shape.lo, shape.hi), center=shape.center,
                   u_resolution=1e-12)]
        if nih is not None:
            fns.append(nih_build)
        times = best_of(max(k // 2, 1), *fns)
        ours_ms, nip_ms = times[0] * 1e3, times[1] * 1e3
        nih_ms = f"{times[2] * 1e3:.2f} ms" if nih is not None else "-"
        add(Row("7", f"{shape.name}: varnix build, {calls} calls, {ours_ms:.2f} ms", None, "",
                calls / nip_calls, "of scipy NIP's calls", "<= 1", judged(calls / nip_calls, 1.0),
                note=f"{d.interval_count()} intervals, u-error {err:.1e} "
                     f"(estimate {d.u_error():.1e})"))
        add(Row("7", f"  scipy NumericalInversePolynomial: {nip_calls} calls, {nip_ms:.2f} ms",
                None, "", ours_ms / nip_ms, "varnix ms / NIP ms", "<= 1",
                judged(ours_ms / nip_ms, 1.0),
                note=f"{nip.intervals} intervals, u-error {nip_err:.1e}"))
        add(Row("7", f"  scipy NumericalInverseHermite: {nih_calls}, {nih_ms}", None, "",
                note=f"u-error {nih_err}" + (f", {nih.intervals} intervals" if nih else "")))

    # Sampling: the normal, against the Hermite table's block sampling and scipy's rvs.
    iv = vx.Interval(LO, HI)
    interp = vx.from_pdf_with_options(normal_pdf, iv, opts)
    table = vx.from_pdf_with_options(normal_pdf, iv, vx.BuildOptions.hermite(256))
    nip = sampling.NumericalInversePolynomial(_ScipyDist(SHAPES7[0], False), domain=(LO, HI),
                                              u_resolution=1e-12,
                                              random_state=np.random.default_rng(SEED))
    ours, herm, theirs = (t / n * 1e9 for t in best_of(
        k, lambda: interp.sample_n(n, seed=SEED), lambda: table.sample_n(n, seed=SEED),
        lambda: nip.rvs(n).tolist()))
    add(Row("7", "normal: hermite(256) sample_n(n, seed)", herm, "sample"))
    add(Row("7", "normal: interpolated sample_n(n, seed)", ours, "sample", ours / herm,
            "of the Hermite table", "<= 1.1", judged(ours / herm, 1.1)))
    add(Row("7", "normal: scipy NumericalInversePolynomial.rvs(n).tolist()", theirs, "sample",
            ours / theirs, "varnix / scipy"))
    if hasattr(interp, "sample_array"):
        arr, nip_arr = (t / n * 1e9 for t in best_of(
            k, lambda: interp.sample_array(n, seed=SEED), lambda: nip.rvs(n)))
        add(Row("7", "normal: interpolated sample_array(n, seed)", arr, "sample",
                arr / nip_arr, "of scipy NIP.rvs(n)", "<= 0.35", judged(arr / nip_arr, 0.35),
                note=f"scipy rvs(n) {nip_arr:.1f} ns/sample"))
    else:
        skip("7", "sample_array is not in this build: no array row")

    # Memory of the built tables, and the same engine's build and sampling in C++ alone.
    exe = built_or_skip("7", "inversion_build")
    if exe is None:
        return
    ran = subprocess.run([str(exe), "1e-12"], cwd=REPO, capture_output=True, text=True)
    print("    bench/inversion_build (C++, no Python calls):")
    for line in ran.stdout.splitlines():
        print("      " + line)
        words = line.split()
        for name in ("normal on [-5, 5]", "Student t(3) on [-2804, 2804]"):
            if line.startswith(name) and len(words) > 12:
                # columns after the name: calls, ms, intervals, panels, interpolation bytes,
                # bytes per interval, total bytes, estimate, measured
                tail = words[len(name.split()):]
                add(Row("7", f"memory, {name}: {tail[2]} intervals, {tail[3]} panels", None,
                        "", note=f"{tail[5]} B/interval for sampling ({tail[4]} B), "
                                 f"{tail[6]} B in all with the panel table"))


# ---------------------------------------------------------------------------------------------
# 8. Arrays


def thousand_point_pmf():
    """The discrete distribution of section 1: 1,000 points, random masses."""
    rnd = random.Random(2024)
    points = [float(i) - 500.0 for i in range(1000)]
    masses = [rnd.random() for _ in points]
    return points, masses


def bench_arrays(n: int, k: int, quick: bool) -> None:
    print("\n[8] arrays: sample_array and ppf over an array, single-threaded; every contender "
          "returns a numpy array", flush=True)
    if not has_continuous_api():
        skip("8", "the continuous API is not in this build")
        return
    iv = vx.Interval(LO, HI)
    dist = vx.from_pdf_with_options(normal_pdf, iv, vx.BuildOptions.hermite(256))
    nih = scipy.stats.sampling.NumericalInverseHermite(
        StdNormal(), domain=(LO, HI), random_state=np.random.default_rng(SEED))
    ours, theirs = (t / n * 1e9 for t in best_of(
        k, lambda: dist.sample_array(n, seed=SEED, threads=1), lambda: nih.rvs(n)))
    add(Row("8", "scipy NumericalInverseHermite(StdNormal, (-5, 5)).rvs(n)", theirs, "sample"))
    add(Row("8", "varnix hermite(256) sample_array(n, seed, threads=1)", ours, "sample",
            ours / theirs, "of scipy", "<= 0.35", judged(ours / theirs, 0.35)))

    m = 10**4 // (10 if quick else 1)
    u = np.random.default_rng(SEED).random(m) * (1.0 - 2e-12) + 1e-12
    ours, theirs = (t / m * 1e9 for t in best_of(5 * k, lambda: dist.ppf(u),
                                                  lambda: nih.ppf(u)))
    add(Row("8", f"scipy NumericalInverseHermite.ppf(array of {m})", theirs, "point"))
    add(Row("8", f"varnix hermite(256) ppf(array of {m})", ours, "point", ours / theirs,
            "of scipy", "<= 0.3", judged(ours / theirs, 0.3)))

    points, masses = thousand_point_pmf()
    d = vx.from_pmf(points, masses)
    p = np.asarray(masses) / math.fsum(masses)
    pts = np.asarray(points)
    urn = scipy.stats.sampling.DiscreteAliasUrn(p, random_state=np.random.default_rng(SEED))
    gen = np.random.default_rng(SEED)
    ours, alias, choice = (t / n * 1e9 for t in best_of(
        k, lambda: d.sample_array(n, seed=SEED, threads=1), lambda: urn.rvs(n),
        lambda: gen.choice(pts, n, p=p)))
    add(Row("8", "scipy DiscreteAliasUrn(p).rvs(n) (indices 0..999)", alias, "sample"))
    add(Row("8", "numpy Generator.choice(points, n, p=p)", choice, "sample"))
    add(Row("8", "varnix discrete sample_array(n, seed, threads=1)", ours, "sample",
            ours / alias, "of DiscreteAliasUrn", "<= 0.6", judged(ours / alias, 0.6)))
    add(Row("8", "  varnix vs numpy choice", None, "", ours / choice, "of choice", "<= 0.2",
            judged(ours / choice, 0.2)))


# ---------------------------------------------------------------------------------------------
# 9. Threads


def bench_threads(n: int, k: int) -> None:
    print(f"\n[9] threads: sample_array({n}) on 2 threads vs 1 (wall time; the machine's "
          f"other load counts against the 2-thread figure)", flush=True)
    iv = vx.Interval(LO, HI)
    points, masses = thousand_point_pmf()
    for label, dist in (("discrete, 1,000 points", vx.from_pmf(points, masses)),
                        ("hermite(256)", vx.from_pdf_with_options(normal_pdf, iv,
                                                                  vx.BuildOptions.hermite(256)))):
        one, two = best_of(k, lambda: dist.sample_array(n, seed=SEED, threads=1),
                           lambda: dist.sample_array(n, seed=SEED, threads=2))
        same = (dist.sample_array(n, seed=SEED, threads=1).tobytes()
                == dist.sample_array(n, seed=SEED, threads=2).tobytes())
        # The processor time the 2-thread call got per unit of wall time: near 2 when each
        # thread had a core to itself, lower when other work on the machine took one.
        cpu0, wall0 = time.process_time(), time.perf_counter()
        dist.sample_array(n, seed=SEED, threads=2)
        busy = (time.process_time() - cpu0) / (time.perf_counter() - wall0)
        add(Row("9", f"{label}: threads=1", one / n * 1e9, "sample"))
        add(Row("9", f"{label}: threads=2", two / n * 1e9, "sample", one / two,
                "speed-up", ">= 1.7", one / two >= 1.7 and same,
                note=("identical values" if same else "VALUES DIFFER") +
                f"; cores in use {busy:.2f}"))


# ---------------------------------------------------------------------------------------------
# 11. Compiled functions and functions over arrays

C_FUNCTIONS = r"""
#include <math.h>
double normal(double x) { return exp(-0.5 * x * x); }
double t3(double x) { return pow(1.0 + x * x / 3.0, -2.0); }
double gamma2(double x) { return x > 0.0 ? x * exp(-x) : 0.0; }
double mixture(double x) {
    return 0.6 * exp(-0.5 * (x + 2.0) * (x + 2.0)) + 0.4 * exp(-0.5 * (x - 3.0) * (x - 3.0) / 0.25);
}
/* A density that costs about a microsecond a call (a hundred exponentials). */
double costly_normal(double x) {
    double s = 0.0;
    for (int i = 0; i < 100; ++i) s += exp(-0.5 * x * x * (1.0 + i * 1e-12));
    return s;
}
double gauss(int n, double *x) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += x[i] * x[i];
    return exp(-0.5 * s);
}
double log_gauss(int n, double *x) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += x[i] * x[i];
    return -0.5 * s;
}
"""


def compiled_functions():
    """The shapes above as ctypes functions from a C file compiled here (no numba needed)."""
    import ctypes
    import shutil
    import tempfile
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        return None
    folder = Path(tempfile.mkdtemp())
    (folder / "f.c").write_text(C_FUNCTIONS)
    subprocess.run([cc, "-O2", "-shared", "-fPIC", str(folder / "f.c"), "-o",
                    str(folder / "f.so"), "-lm"], check=True)
    lib = ctypes.CDLL(str(folder / "f.so"))
    for name in ("normal", "t3", "gamma2", "mixture", "costly_normal"):
        getattr(lib, name).restype = ctypes.c_double
        getattr(lib, name).argtypes = [ctypes.c_double]
    for name in ("gauss", "log_gauss"):
        getattr(lib, name).restype = ctypes.c_double
        getattr(lib, name).argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_double)]
    return lib


def bench_user_functions(k: int, quick: bool) -> None:
    print("\n[11] compiled functions (ctypes from C compiled here; numba where installed) and "
          "functions over arrays (vectorized numpy), against the same function in Python",
          flush=True)
    lib = compiled_functions()
    if lib is None:
        skip("11", "no C compiler")
        return
    try:
        import numba  # noqa: F401
        have_numba = True
    except ImportError:
        have_numba = False
    shapes = [
        ("normal", lib.normal, lambda x: math.exp(-0.5 * x * x),
         lambda x: np.exp(-0.5 * x * x), (-8.0, 8.0)),
        ("t(3)", lib.t3, lambda x: (1.0 + x * x / 3.0) ** -2.0,
         lambda x: (1.0 + x * x / 3.0) ** -2.0, (-2804.0, 2804.0)),
        ("gamma(2)", lib.gamma2, lambda x: x * math.exp(-x) if x > 0.0 else 0.0,
         lambda x: np.where(x > 0.0, x * np.exp(-x), 0.0), (0.0, 40.0)),
        ("mixture", lib.mixture,
         lambda x: 0.6 * math.exp(-0.5 * (x + 2.0) ** 2) + 0.4 * math.exp(-0.5 * (x - 3.0) ** 2 / 0.25),
         lambda x: 0.6 * np.exp(-0.5 * (x + 2.0) ** 2) + 0.4 * np.exp(-0.5 * (x - 3.0) ** 2 / 0.25),
         (-12.0, 12.0)),
    ]
    opts = vx.BuildOptions.interpolated(1e-12)
    for name, cfn, pyfn, npfn, (lo, hi) in shapes:
        iv = vx.Interval(lo, hi)
        calls = [0]

        def counted(x, npfn=npfn):
            calls[0] += 1
            return npfn(x)

        vec = vx.vectorized(counted)
        t_py, t_c, t_vec = best_of(k, lambda: vx.from_pdf_with_options(pyfn, iv, opts),
                                   lambda: vx.from_pdf_with_options(cfn, iv, opts),
                                   lambda: vx.from_pdf_with_options(vec, iv, opts))
        calls[0] = 0
        vx.from_pdf_with_options(vec, iv, opts)
        add(Row("11", f"interpolated build, {name}: Python", t_py * 1e9, "build"))
        add(Row("11", f"interpolated build, {name}: ctypes", t_c * 1e9, "build", t_c / t_py,
                "of Python", "<= 1/6", t_py / t_c >= 6))
        add(Row("11", f"interpolated build, {name}: vectorized numpy", t_vec * 1e9, "build",
                t_vec / t_py, "of Python", "<= 1/3", t_py / t_vec >= 3 and calls[0] <= 100,
                note=f"{calls[0]} calls (target <= 100)"))
    # The build's march on threads pays for a density that is costly to call.
    iv = vx.Interval(-8.0, 8.0)
    t1, t2 = best_of(k, lambda: vx.from_pdf_with_options(
                         lib.costly_normal, iv, vx.BuildOptions.interpolated(1e-12, threads=1)),
                     lambda: vx.from_pdf_with_options(
                         lib.costly_normal, iv, vx.BuildOptions.interpolated(1e-12, threads=2)))
    add(Row("11", "interpolated build, a costly density (100 exp a call): ctypes, 1 thread",
            t1 * 1e9, "build"))
    add(Row("11", "interpolated build, a costly density: ctypes, 2 threads", t2 * 1e9, "build",
            t1 / t2, "speed-up over 1 thread", "", None))
    # vectorized(scipy.stats.norm(0, 1).pdf) against scipy's own build on the same distribution.
    frozen = scipy.stats.norm(0, 1)
    iv = vx.Interval(-8.0, 8.0)
    t_ours, t_scipy = best_of(k, lambda: vx.from_pdf_with_options(vx.vectorized(frozen.pdf), iv,
                                                                  opts),
                              lambda: scipy.stats.sampling.NumericalInversePolynomial(
                                  frozen, u_resolution=1e-12))
    add(Row("11", "interpolated build from vectorized(norm(0,1).pdf)", t_ours * 1e9, "build",
            t_ours / t_scipy, "of scipy NumericalInversePolynomial(norm(), 1e-12)", "<= 0.5",
            t_ours / t_scipy <= 0.5))
    iv = vx.Interval(LO, HI)
    h = vx.BuildOptions.hermite(256)
    t_py, t_c = best_of(1, lambda: vx.from_pdf_with_options(normal_pdf, iv, h),
                        lambda: vx.from_pdf_with_options(lib.normal, iv, h))
    add(Row("11", "hermite(256) build, normal: Python", t_py * 1e9, "build"))
    add(Row("11", "hermite(256) build, normal: ctypes", t_c * 1e9, "build", t_c / t_py,
            "of Python", "<= 1/6", t_py / t_c >= 6))
    # Plain inversion: each draw integrates the density (thousands of calls).
    plain_py = vx.from_pdf(normal_pdf, iv)
    plain_c = vx.from_pdf(lib.normal, iv)
    n_py, n_c = (20, 1000) if quick else (100, 10_000)
    (t_py,) = best_of(1, lambda: plain_py.sample_array(n_py, seed=SEED), rounds=1)
    t1, t2 = best_of(max(1, k // 2), lambda: plain_c.sample_array(n_c, seed=SEED, threads=1),
                     lambda: plain_c.sample_array(n_c, seed=SEED, threads=2))
    same = plain_c.sample_array(n_c, seed=SEED, threads=1).tobytes() == \
        plain_c.sample_array(n_c, seed=SEED, threads=2).tobytes()
    add(Row("11", "plain inversion sample_array: Python", t_py / n_py * 1e9, "sample"))
    add(Row("11", "plain inversion sample_array: ctypes, 1 thread", t1 / n_c * 1e9, "sample",
            (t1 / n_c) / (t_py / n_py), "of Python", "<= 0.1", (t_py / n_py) / (t1 / n_c) >= 10))
    add(Row("11", "plain inversion sample_array: ctypes, 2 threads", t2 / n_c * 1e9, "sample",
            t1 / t2, "speed-up over 1 thread", ">= 1.7", t1 / t2 >= 1.7 and same,
            note="identical values" if same else "VALUES DIFFER"))
    # Multivariate: rejection, Metropolis-Hastings, HMC, each with the same Gaussian density.
    n = 2000 if quick else 20_000
    for d in (2, 10):
        half = 5.0 if d == 2 else 2.0  # at d = 10 a box around the mode keeps trials few
        box = vx.HyperRect([-half] * d, [half] * d)
        peak = 1.0
        vec = vx.vectorized(lambda p: np.exp(-0.5 * np.einsum("ij,ij->i", p, p)))
        samplers = [vx.rejection_sampler(f, box, peak) for f in (gauss, lib.gauss, vec)]
        t_py, t_c, t_vec = best_of(max(1, k // 2), *[
            (lambda s=s: s.sample_array(n if d == 2 else n // 10, seed=SEED)) for s in samplers])
        m = n if d == 2 else n // 10
        add(Row("11", f"rejection d={d} sample_array: Python", t_py / m * 1e9, "draw"))
        add(Row("11", f"rejection d={d} sample_array: ctypes", t_c / m * 1e9, "draw", t_c / t_py,
                "of Python", "<= 0.1", t_c / t_py <= 0.1))
        add(Row("11", f"rejection d={d} sample_array: vectorized numpy", t_vec / m * 1e9, "draw",
                t_vec / t_py, "of Python", "<= 0.25", t_vec / t_py <= 0.25))
    box = vx.HyperRect([-5.0, -5.0], [5.0, 5.0])
    out = np.empty((n, 2))
    for label, make, target in (
            ("metropolis_hastings d=2 sample_into",
             lambda f: vx.metropolis_hastings(f, box, burn_in=0), 0.2),
            ("hmc_sampler d=2 (L=20) sample_into",
             lambda f: vx.hmc_sampler(f, box, leapfrog_steps=20), 0.2)):
        chains = []
        for f in (gauss, lib.gauss):
            c = make(f)
            c.init(seed=SEED)
            chains.append(c)
        m = n if "metropolis" in label else n // 20
        t_py, t_c = best_of(max(1, k // 2), *[
            (lambda c=c: c.sample_into(out[:m], seed=SEED)) for c in chains])
        add(Row("11", f"{label}: Python", t_py / m * 1e9, "transition"))
        add(Row("11", f"{label}: ctypes", t_c / m * 1e9, "transition", t_c / t_py, "of Python",
                f"<= {target}", t_c / t_py <= target))
        if "hmc" in label:
            v = make(vx.vectorized(lambda p: np.exp(-0.5 * np.einsum("ij,ij->i", p, p))))
            v.init(seed=SEED)
            (t_v,) = best_of(max(1, k // 2), lambda: v.sample_into(out[:m], seed=SEED))
            add(Row("11", f"{label}: vectorized numpy", t_v / m * 1e9, "transition",
                    t_v / t_py, "of Python", "", None, note="reported, no target"))
    # The copula over vectorized scipy quantiles against the numpy recipe.
    copula = vx.gaussian_copula([[1.0, 0.5], [0.5, 1.0]])
    ppf = vx.vectorized(scipy.stats.norm.ppf)
    m = 20_000 if quick else 200_000
    rng = np.random.default_rng(SEED)
    cov = np.array([[1.0, 0.5], [0.5, 1.0]])

    def recipe():
        z = rng.multivariate_normal([0.0, 0.0], cov, m)
        return scipy.stats.norm.ppf(scipy.stats.norm.cdf(z))

    t_ours, t_np = best_of(max(1, k // 2), lambda: copula.sample_array(m, [ppf, ppf], seed=SEED),
                           recipe)
    add(Row("11", "copula of vectorized(norm.ppf) sample_array", t_ours / m * 1e9, "point",
            t_ours / t_np, "of numpy multivariate_normal + norm.cdf + norm.ppf", "<= 1.5",
            t_ours / t_np <= 1.5))
    # Two Python threads, each sampling from its own TDR distribution with a compiled density.
    import threading
    tdr = [vx.from_pdf_with_options(lib.normal, iv, vx.BuildOptions.tdr("log")) for _ in range(2)]
    m = 200_000 if quick else 2_000_000

    def serial():
        for d in tdr:
            d.sample_array(m, seed=SEED)

    def side_by_side():
        threads = [threading.Thread(target=d.sample_array, args=(m,), kwargs={"seed": SEED})
                   for d in tdr]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    t_serial, t_threads = best_of(max(1, k // 2), serial, side_by_side)
    add(Row("11", "two Python threads, TDR with a ctypes density", t_threads / (2 * m) * 1e9,
            "sample", t_serial / t_threads, "throughput over one after the other", ">= 1.7",
            t_serial / t_threads >= 1.7))
    if have_numba:
        import numba
        nfn = numba.cfunc("float64(float64)")(lambda x: math.exp(-0.5 * x * x))
        iv8 = vx.Interval(-8.0, 8.0)
        t_py, t_nb = best_of(k, lambda: vx.from_pdf_with_options(shapes[0][2], iv8, opts),
                             lambda: vx.from_pdf_with_options(nfn, iv8, opts))
        add(Row("11", "interpolated build, normal: numba cfunc", t_nb * 1e9, "build",
                t_nb / t_py, "of Python", "<= 1/6", t_py / t_nb >= 6))


# ---------------------------------------------------------------------------------------------
# 12. Markov chains


def logistic_posterior():
    """The posterior of tests/test_chains.py: a 5-coefficient logistic regression on 200 seeded
    points with a normal(0, 5^2) prior. Gives the log density as a user writes it (plain Python
    over numpy, called f(*b)), its gradient, the same log density over the rows of an array
    (what emcee's vectorize=True calls), and the mode and the Laplace approximation's sds (the
    chains' start points are drawn around them)."""
    rng = np.random.default_rng(19)
    X = np.column_stack([np.ones(200), rng.normal(size=(200, 4))])
    beta = np.array([0.5, -1.0, 0.8, 0.0, 0.3])
    y = (rng.random(200) < 1 / (1 + np.exp(-X @ beta))).astype(float)

    def logp(*b):
        b = np.array(b)
        eta = X @ b
        return float(y @ eta - np.logaddexp(0.0, eta).sum() - 0.5 * (b @ b) / 25)

    def grad(*b):
        b = np.array(b)
        return (X.T @ (y - 1 / (1 + np.exp(-X @ b))) - b / 25).tolist()

    def logp_rows(bs):
        eta = bs @ X.T
        return (y * eta - np.logaddexp(0.0, eta)).sum(axis=1) - 0.5 * (bs ** 2).sum(axis=1) / 25

    mode = np.zeros(5)
    for _ in range(30):  # Newton's method for the mode
        pr = 1 / (1 + np.exp(-X @ mode))
        hess = -(X.T * (pr * (1 - pr))) @ X - np.eye(5) / 25
        mode = mode - np.linalg.solve(hess, X.T @ (y - pr) - mode / 25)
    sd = np.sqrt(np.diag(np.linalg.inv(-hess)))
    return logp, grad, logp_rows, mode, sd


def dispersed(mode, sd, count):
    """count start points: the mode plus one sd of seeded normal noise in each coordinate."""
    noise = np.random.default_rng(SEED).normal(size=(count, len(mode)))
    return mode + sd * noise


def per_effective_sample(k: int, runs: dict) -> dict:
    """Times every run (a function returning the kept draws as (chains, n, d)) with best_of,
    and divides each time by the bulk effective sample size of the slowest coordinate of its
    draws (vx.diagnostics). Each run is seeded: every repeat gives the same draws."""
    draws = {}

    def keeping(name, run):
        def timed():
            draws[name] = run()
        return timed

    times = best_of(k, *[keeping(name, run) for name, run in runs.items()], rounds=1)
    try:
        import arviz
    except ImportError:
        arviz = None
    result = {}
    for (name, _), t in zip(runs.items(), times):
        diag = vx.diagnostics(np.ascontiguousarray(draws[name]))
        ess = min(diag["ess_bulk"])
        # ArviZ's bulk ESS of the same draws, shown beside ours as a check of the divisor.
        check = (float(arviz.ess(arviz.convert_to_dataset(draws[name]), method="bulk")
                       .to_array().min())
                 if arviz is not None else None)
        result[name] = (t / ess * 1e9, ess, max(diag["rhat"]), t, check)
    return result


def bench_chains(k: int, quick: bool) -> None:
    print("\n[12] Markov chains on the logistic-regression posterior (5 coefficients, 200 "
          "points), every sampler given the same plain-Python log density over numpy. Time per "
          "effective sample: wall time of the whole run (warm-up or burn-in included) / bulk "
          "ESS of the slowest coordinate of the kept draws, by vx.diagnostics. Peers: emcee "
          "EnsembleSampler, 32 walkers, log_prob(p) = logp(*p), its walkers taken as the chains "
          "for the ESS; emcee vectorize=True, the same log density over the walkers' array; "
          "HMC with finite differences (its default) against HMC given the gradient",
          flush=True)
    logp, grad, logp_rows, mode, sd = logistic_posterior()
    scale = 10 if quick else 1
    heavy = 1  # the runs below take seconds: one timed repeat each (after one untimed)

    # Metropolis-Hastings against emcee, the same number of density calls each: 4 chains of
    # warm-up + n transitions, 32 walkers of burn-in + n * 4 / 32 steps.
    n, warmup = 20_000 // scale, 2_000 // scale
    inits = dispersed(mode, sd, 4).tolist()
    mh = vx.metropolis_hastings(logp, None, log_density=True, adapt_steps=warmup)
    runs = {"mh": lambda: mh.sample_chains(n, chains=4, seed=SEED, warmup=warmup, inits=inits)}
    try:
        import emcee
    except ImportError:
        emcee = None
    steps, burn = n * 4 // 32, warmup * 4 // 32
    walkers0 = dispersed(mode, sd, 32)

    def run_emcee(vectorize):
        fn = logp_rows if vectorize else (lambda p: logp(*p))
        sampler = emcee.EnsembleSampler(32, 5, fn, vectorize=vectorize)
        sampler.run_mcmc(walkers0, burn + steps, progress=False,
                         rstate0=np.random.RandomState(SEED).get_state())
        return sampler.get_chain(discard=burn).transpose(1, 0, 2)

    if emcee is not None:
        runs["emcee"] = lambda: run_emcee(False)
        runs["emcee vectorized"] = lambda: run_emcee(True)
    got = per_effective_sample(heavy, runs)

    def note(name):
        ns, ess, rhat, t, check = got[name]
        arviz = f" (ArviZ {check:.0f})" if check is not None else ""
        return f"min bulk ESS {ess:.0f}{arviz}, max R-hat {rhat:.3f}, run {t:.2f} s"

    mh_ns = got["mh"][0]
    if emcee is None:
        skip("12", "emcee is not installed: no emcee rows")
    else:
        add(Row("12", f"emcee 32 walkers x {burn}+{steps} steps", got["emcee"][0], "ESS",
                note=note("emcee")))
        add(Row("12", f"emcee vectorize=True, 32 walkers x {burn}+{steps} steps",
                got["emcee vectorized"][0], "ESS", note=note("emcee vectorized")))
    mh_note = note("mh")
    if emcee is None:
        add(Row("12", f"metropolis_hastings log density, 4 x {warmup}+{n}", mh_ns, "ESS",
                note=mh_note))
    else:
        add(Row("12", f"metropolis_hastings log density, 4 x {warmup}+{n}", mh_ns, "ESS",
                mh_ns / got["emcee"][0], "of emcee", "<= 0.2",
                judged(mh_ns / got["emcee"][0], 0.2), note=mh_note))
        ratio = mh_ns / got["emcee vectorized"][0]
        add(Row("12", "  the same against emcee vectorize=True", None, "", ratio,
                "of emcee vectorized", "<= 0.3", judged(ratio, 0.3)))

    # HMC: finite differences (2d(L+1)+1 calls per transition) against the gradient given
    # (L+1 gradient calls and one of f); both adapt the step by dual averaging in the warm-up.
    n, warmup = max(500 // scale, 20), max(250 // scale, 10)
    hmc = {name: vx.hmc_sampler(logp, None, log_density=True, grad=g, adapt_steps=warmup)
           for name, g in (("finite differences", None), ("gradient", grad))}
    got = per_effective_sample(heavy, {
        name: (lambda s=s: s.sample_chains(n, chains=4, seed=SEED, warmup=warmup, inits=inits))
        for name, s in hmc.items()})
    fd_ns, grad_ns = got["finite differences"][0], got["gradient"][0]
    add(Row("12", f"hmc_sampler finite differences, 4 x {warmup}+{n}", fd_ns, "ESS",
            note=note("finite differences")))
    add(Row("12", f"hmc_sampler grad=logp's gradient, 4 x {warmup}+{n}", grad_ns, "ESS",
            grad_ns / fd_ns, "of finite differences", "<= 0.25", judged(grad_ns / fd_ns, 0.25),
            note=note("gradient")))

    # Log-density input against density input (math.exp of the same log density), per
    # transition: one chain from the mode, no warm-up, so both make the same calls.
    density = lambda *b: math.exp(logp(*b))  # noqa: E731
    for label, make, m in (
            ("metropolis_hastings", lambda f, log: vx.metropolis_hastings(
                f, None, log_density=log), 20_000 // scale),
            ("hmc_sampler (finite differences)", lambda f, log: vx.hmc_sampler(
                f, None, log_density=log), max(200 // scale, 10))):
        by_density, by_log = make(density, False), make(logp, True)
        t_density, t_log = best_of(max(1, k // 2), *[
            (lambda s=s: s.sample_chains(m, chains=1, seed=SEED, warmup=0, inits=[mode.tolist()]))
            for s in (by_density, by_log)])
        add(Row("12", f"{label}: density input (exp of logp)", t_density / m * 1e9,
                "transition"))
        add(Row("12", f"{label}: log-density input", t_log / m * 1e9, "transition",
                t_log / t_density, "of density input", "<= 1.05", judged(t_log / t_density, 1.05)))

    # Threads: a compiled log density (ctypes, d = 5), 4 chains in one sample_chains call,
    # which shares them between the available cores, against the same 4 chains' work one
    # after the other on one thread: (a) four calls of one chain each, (b) the same call with
    # this thread limited to one core (so that sample_chains sees one), which also shows the
    # values do not depend on the threads.
    lib = compiled_functions()
    if lib is None:
        skip("12", "no C compiler: no threads rows")
        return
    starts = dispersed(np.zeros(5), np.ones(5), 4).tolist()
    for label, chain, m in (
            ("metropolis_hastings", vx.metropolis_hastings(lib.log_gauss, None, log_density=True,
                                                           adapt_steps=0), 200_000 // scale),
            ("hmc_sampler (finite differences)", vx.hmc_sampler(
                lib.log_gauss, None, log_density=True), 10_000 // scale)):
        def four_chains(chain=chain, m=m):
            return chain.sample_chains(m, chains=4, seed=SEED, warmup=0, inits=starts)

        def one_by_one(chain=chain, m=m):
            for c in range(4):
                chain.sample_chains(m, chains=1, seed=SEED + c, warmup=0, inits=[starts[c]])

        t_threads, t_serial = best_of(max(1, k // 2), four_chains, one_by_one)
        cores = os.sched_getaffinity(0) if hasattr(os, "sched_getaffinity") else None
        # The processor time the call got per unit of wall time (as in section 9): near 2 when
        # each of two threads had a core to itself, lower when other work took one.
        cpu0, wall0 = time.process_time(), time.perf_counter()
        four_chains()
        busy = (time.process_time() - cpu0) / (time.perf_counter() - wall0)
        add(Row("12", f"compiled {label}: 4 chains x {m}, one call", t_threads / (4 * m) * 1e9,
                "transition", t_serial / t_threads,
                "throughput over 4 calls of one chain", ">= 1.7", t_serial / t_threads >= 1.7,
                note=f"{len(cores) if cores else '?'} cores available, in use {busy:.2f}"))
        if cores is None or len(cores) < 2:
            continue
        threaded = four_chains()
        os.sched_setaffinity(0, {min(cores)})
        try:
            (t_one_core,) = best_of(max(1, k // 2), four_chains)
            pinned = four_chains()
        finally:
            os.sched_setaffinity(0, cores)
        same = threaded.tobytes() == pinned.tobytes()
        add(Row("12", "  the same call on one core", t_one_core / (4 * m) * 1e9, "transition",
                t_one_core / t_threads, "speed-up of the call on all cores",
                ">= 1.7", t_one_core / t_threads >= 1.7 and same,
                note="identical values" if same else "VALUES DIFFER"))


# ---------------------------------------------------------------------------------------------
# 10. Memory

MEMORY_PROBE = '''
import sys, tracemalloc
import numpy, _varnix as vx
n = int(sys.argv[1])
d = vx.from_pmf([0.0, 1.0], [1.0, 1.0])
d.sample_array(10, seed=1)  # numpy imported, the method warmed

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

# Writing 5 to clear_refs resets the peak resident size (VmHWM) to the current one.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
tracemalloc.start()
a = d.sample_array(n, seed=1)
traced = tracemalloc.get_traced_memory()[1]
print(status("VmHWM") - before, traced)
'''


def bench_memory(n: int) -> None:
    print(f"\n[10] memory: peak of sample_array({n}) in a fresh process", flush=True)
    if not Path("/proc/self/clear_refs").exists():
        skip("10", "needs /proc/self/clear_refs (Linux)")
        return
    done = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(n)], capture_output=True,
                          text=True)
    if done.returncode != 0:
        skip("10", "probe failed: " + done.stderr.strip().splitlines()[-1])
        return
    rss_growth, traced = (int(x) for x in done.stdout.split())
    array_bytes = 8 * n
    add(Row("10", f"peak resident growth / the {array_bytes / 1e6:.0f} MB array", None, "",
            rss_growth / array_bytes, "of the array", "<= 1.1",
            judged(rss_growth / array_bytes, 1.1),
            note=f"{rss_growth / 1e6:.1f} MB (peak resident size over the size before)"))
    add(Row("10", "peak traced by tracemalloc / the array", None, "", traced / array_bytes,
            "of the array", note=f"{traced / 1e6:.1f} MB"))


# ---------------------------------------------------------------------------------------------


def cpu_name() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def machine_note() -> str:
    return (f"python {platform.python_version()}, numpy {np.__version__}, "
            f"scipy {scipy.__version__}, {cpu_name()} ({os.cpu_count()} cpus), "
            f"{platform.system()} {platform.release()}; _varnix from {vx.__file__}")


def print_table() -> None:
    print("\n" + "=" * 110)
    print("Summary (ns per unit; ratio against the reference named; target and verdict)")
    print("=" * 110)
    header = f"{'':2}{'workload':<60}{'ns':>10}  {'ratio':>8}  {'target':<8}{'':5}"
    print(header)
    section = None
    for r in ROWS:
        if r.section == "6":
            continue
        if r.section != section:
            section = r.section
            print(f"-- section {section}")
        ns = f"{r.ns:10.1f}" if r.ns is not None else " " * 10
        ratio = f"{r.ratio:7.3f}x" if r.ratio is not None else " " * 8
        verdict = "" if r.ok is None else ("met" if r.ok else "MISSED")
        print(f"  {r.workload:<60}{ns}  {ratio}  {r.target:<8} {verdict:<6} {r.note}")
    print("\nmachine: " + machine_note())


# Densities on their whole supports, as a user writes them, the exact scipy distribution, and
# a tight finite interval holding all but about 1e-14 of the mass, for the cost comparison.
SHAPES13 = [
    ("normal", lambda x: math.exp(-0.5 * x * x), (-math.inf, math.inf), "norm()", (-8.0, 8.0)),
    ("Student t(3)", lambda x: (1.0 + x * x / 3.0) ** -2, (-math.inf, math.inf), "t(3)",
     (-2e5, 2e5)),
    ("Cauchy", lambda x: 1.0 / (1.0 + x * x), (-math.inf, math.inf), "cauchy()", (-1e13, 1e13)),
    ("Pareto(1.3) on [1, inf)", lambda x: x ** -2.3, (1.0, math.inf), "pareto(1.3)",
     (1.0, 1e11)),
    ("lognormal(1) on [0, inf)", lambda x: math.exp(-0.5 * math.log(x) ** 2) / x if x > 0 else 0.0,
     (0.0, math.inf), "lognorm(1.0)", (0.0, 3e3)),
    ("gamma(0.5) on [0, inf)", lambda x: x ** -0.5 * math.exp(-x) if x > 0 else math.inf,
     (0.0, math.inf), "gamma(0.5)", (0.0, 40.0)),
    ("Weibull(0.7) on [0, inf)", lambda x: x ** -0.3 * math.exp(-x ** 0.7) if x > 0 else math.inf,
     (0.0, math.inf), "weibull_min(0.7)", (0.0, 200.0)),
    ("Gumbel", lambda x: math.exp(-(x + math.exp(-x))) if x > -700 else 0.0,
     (-math.inf, math.inf), "gumbel_r()", (-4.0, 40.0)),
]


def _u_error13(ref, ppf):
    us = np.concatenate([np.logspace(-15, -1, 200), np.linspace(0.1, 0.9, 81),
                         1.0 - np.logspace(-15, -1, 200)])
    xs = np.array([ppf(float(u)) for u in us])
    with np.errstate(all="ignore"):
        err = np.where(us <= 0.5, np.abs(ref.cdf(xs) - us), np.abs(ref.sf(xs) - (1.0 - us)))
    return float(np.max(err))


def bench_unbounded(k: int) -> None:
    print("\n[13] unbounded supports, interpolated engine at u_resolution 1e-12", flush=True)
    if not hasattr(vx, "Support"):
        skip("13", "Support is not in this build")
        return
    opts = vx.BuildOptions.interpolated(1e-12)
    sampling = scipy.stats.sampling
    for name, pdf, (lo, hi), ref_text, tight in SHAPES13:
        ref = eval("scipy.stats." + ref_text)
        support = vx.Support(lo, hi)
        f, seen = counting(pdf)
        d = vx.from_pdf_with_options(f, support, opts)
        calls = len(seen)
        err = _u_error13(ref, d.ppf)
        f, seen_tight = counting(pdf)
        vx.from_pdf_with_options(f, vx.Interval(*tight), opts)
        tight_calls = len(seen_tight)

        class Dist:
            pass
        dist = Dist()
        dist.pdf, nip_seen = counting(pdf)
        try:
            nip = sampling.NumericalInversePolynomial(dist, domain=(lo, hi), u_resolution=1e-12)
            nip_calls = len(nip_seen)
            nip_err = f"{_u_error13(ref, nip.ppf):.1e}"
        except Exception as e:  # scipy refuses some shapes
            nip, nip_calls, nip_err = None, None, f"refused ({type(e).__name__})"
        fns = [lambda: vx.from_pdf_with_options(pdf, support, opts)]
        if nip is not None:
            def nip_build():
                dd = Dist()
                dd.pdf = pdf
                sampling.NumericalInversePolynomial(dd, domain=(lo, hi), u_resolution=1e-12)
            fns.append(nip_build)
        times = best_of(max(k // 2, 1), *fns)
        ours_ms = times[0] * 1e3
        add(Row("13", f"{name}: varnix {calls} calls, {ours_ms:.2f} ms", None, "",
                calls / tight_calls, f"of the calls on [{tight[0]:g}, {tight[1]:g}]", "<= 1.5",
                judged(calls / tight_calls, 1.5),
                note=f"u-error {err:.1e}, cut {d.cut()}"))
        if nip is not None:
            add(Row("13", f"  scipy NIP: {nip_calls} calls, {times[1] * 1e3:.2f} ms", None, "",
                    calls / nip_calls, "varnix calls / NIP calls", "<= 1",
                    judged(calls / nip_calls, 1.0),
                    note=f"u-error {nip_err}; varnix ms / NIP ms {ours_ms / (times[1] * 1e3):.2f}"))
        else:
            add(Row("13", f"  scipy NIP: {nip_err}", None, "", calls / 30000,
                    "varnix calls / 30,000", "<= 1", judged(calls / 30000, 1.0)))
    # Very wide finite intervals: the same normal, its calls against a tight interval's.
    f, seen = counting(normal_pdf)
    vx.from_pdf_with_options(f, vx.Interval(-8.0, 8.0), opts)
    tight_calls = len(seen)
    for w in (1e20, 1e100, 1e300):
        f, seen = counting(normal_pdf)
        d = vx.from_pdf_with_options(f, vx.Interval(-w, w), opts)
        err = _u_error13(scipy.stats.norm(), d.ppf)
        add(Row("13", f"normal on [-{w:g}, {w:g}]: {len(seen)} calls", None, "",
                len(seen) / tight_calls, "of the calls on [-8, 8]", "<= 1.5",
                judged(len(seen) / tight_calls, 1.5), note=f"u-error {err:.1e}"))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="sizes / 10 and fewer repeats: a smoke run, not for figures")
    ap.add_argument("--sections", default="1,2,3,4,5,6,7,8,9,10,11,12,13",
                    help="comma-separated section numbers to run (default: all)")
    args = ap.parse_args()
    scale = 10 if args.quick else 1
    k = 2 if args.quick else 5
    sections = set(args.sections.split(","))

    print("varnix benchmark" + (" (--quick: sizes / 10, not for figures)" if args.quick else ""))
    print("machine: " + machine_note(), flush=True)
    runs = [
        ("1", lambda: bench_discrete(10**6 // scale, k)),
        ("2", lambda: bench_hermite(10**6 // scale, k)),
        ("3", lambda: bench_callbacks(k, args.quick)),
        ("4", lambda: bench_tdr(10**5 // scale, k)),
        ("5", lambda: bench_multivariate(5 * 10**4 // scale, k)),
        ("6", bench_rng_cpp),
        ("7", lambda: bench_interpolated(10**6 // scale, k)),
        ("8", lambda: bench_arrays(10**6 // scale, k, args.quick)),
        ("9", lambda: bench_threads(10**7 // scale, k)),
        ("10", lambda: bench_memory(10**7 // scale)),
        ("11", lambda: bench_user_functions(k, args.quick)),
        ("12", lambda: bench_chains(k, args.quick)),
        ("13", lambda: bench_unbounded(k)),
    ]
    for number, run in runs:
        if number in sections:
            run()
    print_table()
    return 0


if __name__ == "__main__":
    sys.exit(main())

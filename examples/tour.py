"""A short tour of varnix: builds distributions and samplers and shows what they give.

Run it after installing the package:  python3 examples/tour.py
With matplotlib installed (python3 -m pip install '.[plot]'), --figures DIR also writes the
pictures of every engine and sampler as PNG files into DIR:  python3 examples/tour.py --figures docs/images
"""
import argparse
import math
import random
import statistics
import warnings
from collections.abc import Sequence
from typing import Any

import varnix as vx

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--figures", metavar="DIR", help="also write PNG figures into DIR (needs matplotlib)")
args = parser.parse_args()


def show(title: str) -> None:
    print()
    print(title)
    print("-" * len(title))


def normal_pdf(x: float) -> float:
    return math.exp(-0.5 * x * x)


def normal_cdf(x: float) -> float:
    return 0.5 * (1.0 + math.erf(x / math.sqrt(2.0)))


def summary(values: Sequence[float]) -> str:
    return f"mean {statistics.fmean(values):+.4f}, sd {statistics.pstdev(values):.4f}"


show("Intervals and build options")
support = vx.Interval(-5.0, 5.0)
print("support:", support, " lo =", support.lo, " hi =", support.hi)
print("tiny and huge bounds are written out:", vx.Interval(1e-7, 1e21))
for bad in [(1.0, 1.0), (0.0, math.inf)]:
    try:
        vx.Interval(*bad)
    except vx.BuildError as e:
        print(f"Interval{bad} refused: {e}")
try:
    vx.BuildOptions.tdr("cubic")
except ValueError as e:
    print("unknown transform:", e)

show("A density on [-5, 5], three samplers")
plain = vx.from_pdf(normal_pdf, support)
table = vx.from_pdf_with_options(normal_pdf, support, vx.BuildOptions.interpolated())
hat = vx.from_pdf_with_options(normal_pdf, support, vx.BuildOptions.tdr("log"))
print(f"interpolated quantile function: u-error {table.u_error():.1e}, "
      f"{table.interval_count()} intervals")
# A Hermite table is coarse in its first and last segments; it says so when it is built.
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    vx.from_pdf_with_options(normal_pdf, support, vx.BuildOptions.hermite(256))
print("hermite(256) warns:", caught[0].message if caught else "nothing")
exact = (normal_cdf(1.0) - normal_cdf(-5.0)) / (normal_cdf(5.0) - normal_cdf(-5.0))
print(f"cdf(1) = {plain.cdf(1.0):.10f}   (exact {exact:.10f})")
print(f"ppf(0.975): inversion {plain.ppf(0.975):.8f}, interpolated {table.ppf(0.975):.8f}")
print(f"mean {plain.mean():.2e}, var {plain.var():.6f}, entropy {plain.entropy():.6f}")
print("central 90% interval:", tuple(round(x, 6) for x in plain.interval(0.9)))
# Numerical inversion integrates the density for every draw: a few seconds, so the draws show
# their progress on standard error while they run (a tqdm bar when tqdm is installed).
with vx.progress():
    for name, d in [("numerical inversion", plain), ("interpolated", table), ("TDR", hat)]:
        xs = d.sample_n(20000 if d is not plain else 500, seed=42)
        print(f"{name:>20}: {summary(xs)}   first draws {[round(x, 4) for x in xs[:3]]}")
print("same seed, same draws:", table.sample_n(5, seed=7) == table.sample_n(5, seed=7))

show("The whole line and half-lines: Support")
line = vx.Support(-math.inf, math.inf)
opts = vx.BuildOptions.interpolated()
t3 = vx.from_pdf_with_options(lambda x: (1.0 + x * x / 3.0) ** -2, line, opts)
print(f"Student t(3) on {t3.support()}: cut at {t3.cut()}, var {t3.var():.12f} (exact 3), "
      f"ppf(1e-12) {t3.ppf(1e-12):.1f}, ppf(1) {t3.ppf(1.0)}")
cauchy = vx.from_pdf_with_options(lambda x: 1.0 / (1.0 + x * x), line, opts)
try:
    cauchy.mean()
except vx.SampleError as e:
    print("Cauchy mean():", e)
lognormal = vx.from_pdf_with_options(
    lambda x: math.exp(-0.5 * math.log(x) ** 2) / x if x > 0 else 0.0, vx.Support(0.0, math.inf), opts)
print(f"lognormal on [0, inf): mean {lognormal.mean():.12f} (exact {math.exp(0.5):.12f})")
wide = vx.from_pdf_with_options(normal_pdf, vx.Interval(-1e300, 1e300), opts)
print(f"a normal on [-1e300, 1e300]: cut at {wide.cut()}, sd {wide.std():.12f}")
try:
    vx.from_pdf(normal_pdf, line)
except vx.BuildError as e:
    print("plain inversion on the whole line:", e)

show("A distribution function instead of a density")
from_cdf = vx.from_cdf_with_options(normal_cdf, vx.Interval(-5.0, 5.0), vx.BuildOptions.hermite(128))
bisect = vx.from_cdf(normal_cdf, vx.Interval(-5.0, 5.0))
print("pdf is not known:", from_cdf.pdf(0.0), " cdf(0) =", from_cdf.cdf(0.0))
print(f"ppf(0.975): bisection on the cdf {bisect.ppf(0.975):.8f}, Hermite table {from_cdf.ppf(0.975):.8f}")
print("median", round(from_cdf.median(), 10), " 95% interval", tuple(round(x, 6) for x in from_cdf.interval(0.95)))
print("draws, Hermite table:  ", summary(from_cdf.sample_n(20000, seed=1)))
print("draws, bisection:      ", summary(bisect.sample_n(2000, seed=1)))
try:
    from_cdf.mean()
except vx.SampleError as e:
    print("mean():", e)

show("A histogram from data")
data = vx.from_pdf(normal_pdf, support).sample_n(300, seed=3)
edges = [-4.0 + 0.5 * i for i in range(17)]
counts = [sum(1 for x in data if lo <= x < hi) for lo, hi in zip(edges, edges[1:])]
hist = vx.from_histogram(edges, counts, options=vx.BuildOptions.interpolated())
print("counts:", counts)
print(f"pdf(0.1) = {hist.pdf(0.1):.4f}, mean {hist.mean():+.4f}, std {hist.std():.4f}")
print("draws:", summary(hist.sample_n(10000, seed=5)))

show("Truncated and shifted-scaled")
half = vx.truncated(normal_pdf, support, vx.Interval(0.0, 5.0))
print(f"half-normal on [0, 5]: mean {half.mean():.6f} (sqrt(2/pi) = {math.sqrt(2 / math.pi):.6f}), "
      f"pdf(-1) = {half.pdf(-1.0)}, logpdf(-1) = {half.logpdf(-1.0)}")
print(f"  median {half.median():.6f}, 90% interval {tuple(round(x, 6) for x in half.interval(0.9))}, "
      f"entropy {half.entropy():.6f}")
moved = vx.from_pdf_loc_scale(normal_pdf, support, 10.0, 2.0)
print(f"loc 10, scale 2: support {moved.support()}, mean {moved.mean():.6f}, std {moved.std():.6f}, "
      f"median {moved.median():.6f}")
print("  draws:", summary(moved.sample_n(500, seed=8)))

show("A discrete distribution")
die = vx.from_pmf([1, 2, 3, 4, 5, 6], [1, 1, 1, 1, 1, 5])
rolls = die.sample_n(10000, seed=11)
print("points", die.points(), " mean", round(die.mean(), 4), " var", round(die.var(), 4))
print("frequencies:", [round(rolls.count(k) / len(rolls), 3) for k in range(1, 7)])
print("ppf(0.5) =", die.ppf(0.5), " pmf(6) =", die.pmf(6.0))
try:
    die.ppf(1.0)
except vx.SampleError as e:
    print("ppf(1):", e)

show("Two dimensions: a correlated Gaussian in a box")
rho = 0.6


def gauss2(x: float, y: float) -> float:
    return math.exp(-(x * x - 2 * rho * x * y + y * y) / (2 * (1 - rho * rho)))


box = vx.HyperRect([-4.0, -4.0], [4.0, 4.0])


def moments(points: Sequence[Sequence[float]]) -> str:
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return f"means ({statistics.fmean(xs):+.3f}, {statistics.fmean(ys):+.3f}), corr {statistics.correlation(xs, ys):.3f}"


rej = vx.rejection_sampler(gauss2, box, 1.0)
print("rejection:          ", moments(rej.sample_n(5000, seed=1)))
mh = vx.metropolis_hastings(gauss2, box, step_size=1.0)
mh.init(seed=2)
print("Metropolis-Hastings:", moments(mh.sample_n(5000, seed=2)), f"accept rate {mh.accept_rate():.2f}")
# A trajectory (step_size * leapfrog_steps) near half an oscillation of the target would only
# mirror the chain from one transition to the next: 2 is that for this normal's narrow axis.
hmc = vx.hmc_sampler(gauss2, box, step_size=0.15, leapfrog_steps=10)
hmc.init(seed=3)
print("HMC:                ", moments(hmc.sample_n(1000, seed=3)))

rng = random.Random(4)
gibbs = vx.gibbs_sampler(lambda i, x: rng.gauss(rho * x[1 - i], math.sqrt(1 - rho * rho)), box, [0.0, 0.0])
print("Gibbs:              ", moments([gibbs.step() for _ in range(5000)]))
cond = vx.conditional_factorization_sampler(
    lambda i, prev: rng.gauss(0.0, 1.0) if i == 0 else rng.gauss(rho * prev[0], math.sqrt(1 - rho * rho)), 2)
print("conditional:        ", moments(cond.sample_n(5000)))
copula = vx.gaussian_copula([[1.0, rho], [rho, 1.0]])
inv = statistics.NormalDist().inv_cdf
print("Gaussian copula:    ", moments([copula.sample([inv, inv], seed=s) for s in range(5000)]))
est = vx.cdf_mc_estimator(gauss2, box, normalization_samples=20000, cdf_samples=20000)
z = est.estimate_normalization(seed=5)
print(f"Monte Carlo: normalising constant {z:.4f} (exact {2 * math.pi * math.sqrt(1 - rho * rho):.4f}), "
      f"F(0, 0) = {est.cdf([0.0, 0.0], seed=6):.4f} (exact {0.25 + math.asin(rho) / (2 * math.pi):.4f})")

show("User code that fails never escapes; the error says what it did")
try:
    vx.from_pdf(lambda x: math.sqrt(1.0 - x * x), support)  # defined on [-1, 1] only
except vx.BuildError as e:
    print("a density that raises:", e)
    for note in getattr(e, "__notes__", []):
        print("  note:", note)


def junk(x: float, y: float) -> Any:  # Any: a type checker would rightly refuse a str here
    return "junk"


try:
    vx.rejection_sampler(junk, box, 1.0, max_trials=100).sample()
except vx.SampleError as e:
    print("a density that returns junk:", e)
    for note in getattr(e, "__notes__", []):
        print("  note:", note)
print()

if args.figures:
    try:
        import figures  # examples/figures.py, beside this file
    except ModuleNotFoundError as e:
        print(f"figures not written: {e.name} is not installed (python3 -m pip install '.[plot]')")
    else:
        for path in figures.write_all(args.figures):
            print("wrote", path)
else:
    print("pictures of all this: python3 examples/tour.py --figures DIR (needs matplotlib)")

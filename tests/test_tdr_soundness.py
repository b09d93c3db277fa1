"""Transformed density rejection: the hats are sound for every density they accept, densities
they cannot serve are refused, and seeded draws of log-concave densities are as before the
squeeze. Exact references come from scipy.stats."""
import hashlib
import math
import re
import struct

import numpy as np
import pytest
import scipy.stats as st

import varnix as v

I = v.Interval
TDR = v.BuildOptions.tdr


def phi(x):
    return math.exp(-0.5 * x * x)


def digest(xs):
    return hashlib.sha256(b"".join(struct.pack("<d", x) for x in xs)).hexdigest()[:32]


# ---- seeded draws that must not move -------------------------------------------------------

# sample_n(5000, seed=20240611) of log-concave densities, recorded from the sampler without a
# squeeze (every trial calling the density): digest of the draws, first and last draw.
GOLDEN = {
    "normal": (lambda: v.from_pdf_with_options(phi, I(-5.0, 5.0), TDR("log")),
               "e06b75d88472164358278b7bd8f39bc0", 1.4839953617677228, -1.5506673918967138),
    "normal_dpdf": (lambda: v.from_pdf_dpdf(phi, lambda x: -x * phi(x), I(-5.0, 5.0), TDR("log")),
                    "119f60872c3f31b4306453726f26b130", 1.4839955284632458, -1.5506675151293834),
    "normal_100_points": (lambda: v.from_pdf_with_options(phi, I(-5.0, 5.0), TDR("log", 100)),
                          "a89edc43e3bff910f5c0b4c6626e5d28", 1.3497211842363037,
                          1.327607895378473),
    "normal_4_points": (lambda: v.from_pdf_with_options(phi, I(-5.0, 5.0), TDR("log", 4)),
                        "e5fa13e65a6245f588d02eaaad0e1f48", 0.820751308855105, 0.6987704202735234),
    "gamma3": (lambda: v.from_pdf_with_options(lambda x: x * x * math.exp(-x), I(0.5, 30.0),
                                               TDR("log")),
               "fd92a035cb829132410707b1134584ff", 5.815025105669194, 0.8590762986547859),
    "logistic": (lambda: v.from_pdf_with_options(
        lambda x: math.exp(-x) / (1.0 + math.exp(-x)) ** 2, I(-10.0, 10.0), TDR("log")),
                 "4caa97844b1386c92fa14ba8f4b85e10", 2.2679008349769605, -2.768631819587975),
    "truncated": (lambda: v.truncated(phi, I(-5.0, 5.0), I(-1.0, 2.0), TDR("log")),
                  "007ea0b5ae1af3f465729eddb8573e5f", 1.349721422695237, 1.327608142077275),
    "loc_scale": (lambda: v.from_pdf_loc_scale(phi, I(-5.0, 5.0), 1.0, 2.0, TDR("log")),
                  "baffc4bf68c27b9729a00d0ba81ad35c", 3.9679907235354452, -2.1013347837934293),
}


@pytest.mark.parametrize("name", GOLDEN)
def test_seeded_draws_of_log_concave_densities_are_unchanged(name):
    make, expected, first, last = GOLDEN[name]
    xs = make().sample_n(5000, seed=20240611)
    assert (xs[0], xs[-1]) == (first, last)
    assert digest(xs) == expected


def test_the_squeeze_spares_almost_every_density_call_on_the_normal():
    calls = [0]

    def counted(x):
        calls[0] += 1
        return phi(x)

    d = v.from_pdf_with_options(counted, I(-5.0, 5.0), TDR("log"))
    calls[0] = 0
    n = 100_000
    d.sample_n(n, seed=1)
    assert 0 < calls[0] < 0.05 * n


# ---- log-concave densities the direct area formulas could not integrate --------------------

def truncated_cdf(dist, lo, hi):
    below, mass = dist.cdf(lo), dist.cdf(hi) - dist.cdf(lo)
    return lambda x: (dist.cdf(x) - below) / mass


HARD_SHAPES = {
    "beta(2, 5)": (lambda x: x * (1.0 - x) ** 4, 0.0, 1.0, st.beta(2, 5)),
    "exponential": (lambda x: math.exp(-x), 0.0, 50.0, st.expon()),
    "laplace": (lambda x: math.exp(-abs(x)), -20.0, 20.0, st.laplace()),
    "uniform": (lambda x: 1.0, 0.0, 1.0, st.uniform()),
    "triangular": (lambda x: (x - 2.0) / 1.2 if x < 3.2 else (6.0 - x) / 2.8, 2.0, 6.0,
                   st.triang(0.3, loc=2.0, scale=4.0)),
    "normal on [-27, 27]": (phi, -27.0, 27.0, st.norm()),
}


@pytest.mark.parametrize("name", HARD_SHAPES)
def test_hard_log_concave_densities_build_and_sample_their_distribution(name):
    f, lo, hi, dist = HARD_SHAPES[name]
    d = v.from_pdf_with_options(f, I(lo, hi), TDR("log"))
    xs = d.sample_n(50_000, seed=11)
    assert min(xs) >= lo and max(xs) <= hi
    assert st.kstest(xs, truncated_cdf(dist, lo, hi)).pvalue > 1e-3


def test_an_exponential_hat_puts_the_right_mass_in_the_far_tail():
    # P(X > 10) of a unit exponential is 4.5e-5: 10**6 draws see about 45 of them.
    d = v.from_pdf_with_options(lambda x: math.exp(-x), I(0.0, 50.0), TDR("log"))
    xs = np.array(d.sample_n(10**6, seed=4))
    assert st.binomtest(int((xs > 10.0).sum()), xs.size, math.exp(-10.0)).pvalue > 1e-3


# ---- refusals ------------------------------------------------------------------------------

NOT_LOG_CONCAVE = re.compile(
    r"tdr: the density is not log-concave between x=(\S+) and x=(\S+) \(the log transform "
    r"needs a log-concave density: try the InvSqrt transform\)")


@pytest.mark.parametrize("f, lo, hi", [
    (lambda x: (1.0 + x * x / 3.0) ** -2, -2804.0, 2804.0),         # Student t(3)
    (lambda x: phi(x - 2.0) + phi(x + 2.0), -6.0, 6.0),             # two modes
    (lambda x: 1.0 if x < 0.5 else 2.0, 0.0, 1.0),                   # a step up
], ids=["t3", "bimodal", "step"])
def test_a_density_that_is_not_log_concave_is_refused_naming_where(f, lo, hi):
    with pytest.raises(v.BuildError) as info:
        v.from_pdf_with_options(f, I(lo, hi), TDR("log"))
    found = NOT_LOG_CONCAVE.fullmatch(str(info.value))
    assert found, str(info.value)
    a, b = float(found[1]), float(found[2])
    assert lo <= a < b <= hi


TDR_HAT = "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)"


def dbimodal(x):
    return -(x - 2.0) * phi(x - 2.0) - (x + 2.0) * phi(x + 2.0)


# The density is blamed only when its own values are not log-concave. A log-concave density
# whose tangents fail through the derivative (a difference step too coarse, an explicit one of
# the wrong sign, or zero) keeps the plain refusal; with its true derivative a density that is
# not log-concave is still refused as such.
@pytest.mark.parametrize("f, dpdf, lo, hi, options, blamed", [
    (phi, None, -3.0, 2.0, v.BuildOptions(tdr_transform="log", tdr_dpdf_rel_step=0.3), False),
    (phi, lambda x: x * phi(x), -3.0, 2.0, TDR("log", 8), False),
    (phi, lambda x: 0.0, -3.0, 2.0, TDR("log", 8), False),
    (lambda x: phi(x - 2.0) + phi(x + 2.0), dbimodal, -6.0, 6.0, TDR("log"), True),
    (lambda x: 1.0 + abs(x), lambda x: math.copysign(1.0, x), -1.0, 1.0, TDR("log"), True),
    (lambda x: 1.0 if x < 0.5 else 2.0, lambda x: 0.0, 0.0, 1.0, TDR("log"), True),
], ids=["coarse_step", "wrong_sign", "zero", "bimodal", "kink", "step"])
def test_a_failing_derivative_does_not_blame_the_density(f, dpdf, lo, hi, options, blamed):
    with pytest.raises(v.BuildError) as info:
        if dpdf is None:
            v.from_pdf_with_options(f, I(lo, hi), options)
        else:
            v.from_pdf_dpdf(f, dpdf, I(lo, hi), options)
    if blamed:
        assert NOT_LOG_CONCAVE.fullmatch(str(info.value)), str(info.value)
    else:
        assert str(info.value) == TDR_HAT


def test_student_t3_is_sampled_correctly_by_the_constant_hat():
    # The log hat refuses it; the constant hat covers it.
    d = v.from_pdf_with_options(lambda x: (1.0 + x * x / 3.0) ** -2, I(-20.0, 20.0),
                                TDR("inv_sqrt"))
    xs = d.sample_n(20_000, seed=2)
    assert st.kstest(xs, truncated_cdf(st.t(3), -20.0, 20.0)).pvalue > 1e-3


@pytest.mark.parametrize("transform", ["log", "inv_sqrt"])
def test_a_negative_density_is_refused_naming_the_point_and_value(transform):
    with pytest.raises(v.BuildError) as info:
        v.from_pdf_with_options(lambda x: x, I(-1.0, 2.0), TDR(transform))
    found = re.fullmatch(r"density is negative at x=(\S+) \(value (\S+)\)", str(info.value))
    assert found, str(info.value)
    assert -1.0 <= float(found[1]) < 0.0 and float(found[2]) < 0.0


@pytest.mark.parametrize("transform", ["log", "inv_sqrt"])
def test_a_draw_that_meets_the_density_above_the_hat_stops(transform):
    raised = [False]

    def f(x):  # twice the density on [0.5, 1] once the hat is built
        return phi(x) * (2.0 if raised[0] and 0.5 <= x <= 1.0 else 1.0)

    d = v.from_pdf_with_options(f, I(-5.0, 5.0), TDR(transform))
    raised[0] = True
    with pytest.raises(v.SampleError) as info:
        d.sample_n(100_000, seed=3)
    found = re.fullmatch(r"tdr: the density at x=(\S+) is (\S+), above the hat \((\S+)\): it is "
                         r"not T-concave for the transform", str(info.value))
    assert found, str(info.value)
    x, value, hat = (float(g) for g in found.groups())
    assert 0.5 <= x <= 1.0 and value > hat
    assert value == pytest.approx(d.pdf(x), rel=1e-12)  # the raised density, normalised


# ---- the constant hat reaches the maximum --------------------------------------------------

def test_the_constant_hat_covers_a_peak_between_its_scan_points():
    # Cauchy on [-100, 100]: the scan points nearest the peak are at +-3.125.
    d = v.from_pdf_with_options(lambda x: 1.0 / (1.0 + x * x), I(-100.0, 100.0), TDR("inv_sqrt"))
    xs = np.array(d.sample_n(50_000, seed=6))
    exact = math.atan(1.0) / math.atan(100.0)  # 0.5032
    assert abs(np.mean(np.abs(xs) < 1.0) - exact) < 5 * math.sqrt(exact * (1 - exact) / xs.size)
    assert st.kstest(xs, truncated_cdf(st.cauchy(), -100.0, 100.0)).pvalue > 1e-3


@pytest.mark.parametrize("f, lo, hi, dist", [
    (phi, -5.0, 5.0, st.norm()),                         # peak between the two middle points
    (lambda x: math.exp(-x), 0.0, 50.0, st.expon()),     # peak at the left end
], ids=["normal", "exponential"])
def test_the_constant_hat_samples_its_distribution(f, lo, hi, dist):
    d = v.from_pdf_with_options(f, I(lo, hi), TDR("inv_sqrt"))
    xs = d.sample_n(20_000, seed=8)
    assert st.kstest(xs, truncated_cdf(dist, lo, hi)).pvalue > 1e-3

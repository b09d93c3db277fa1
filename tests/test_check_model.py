"""The check model of density-defined distributions: the engines' wrong answers are replaced by
the model's, and their right answers stay exactly as they were.

The second part compares every query of well-behaved distributions, value for value and user
call for user call, with tests/data/engine_results.json: the same queries recorded from the
engines alone, before the check model existed. To record them again from such a build:

    PYTHONPATH=<that build> python3 tests/test_check_model.py tests/data/engine_results.json
"""
import hashlib
import json
import math
import pickle
import re
import sys
import warnings
from pathlib import Path

import pytest

import _varnix as v

I = v.Interval
GOLDEN = Path(__file__).resolve().parent / "data" / "engine_results.json"


def normal(x):
    return math.exp(-0.5 * x * x)


# ---------------------------------------------------------------------------------------------
# The faults of the engines alone, each now answered right (or refused).

ENGINES = {
    "plain": v.BuildOptions(),
    "hermite": v.BuildOptions.hermite(256),
    "tdr": v.BuildOptions.tdr("log"),
}


def build(f, lo, hi, engine):
    return v.from_pdf_with_options(f, I(lo, hi), ENGINES[engine])


@pytest.mark.parametrize("engine", ENGINES)
def test_a_normal_on_a_generous_interval_has_its_variance(engine):
    # The integrals used to see only the negligible density at their first five points.
    d = build(normal, -20.0, 20.0, engine)
    assert d.var() == pytest.approx(1.0, rel=1e-9)
    assert d.std() == pytest.approx(1.0, rel=1e-9)
    assert abs(d.mean()) <= 1e-9
    assert d.entropy() == pytest.approx(0.5 * math.log(2 * math.pi * math.e), rel=1e-9)


@pytest.mark.parametrize("engine", ["plain", "hermite"])
def test_a_narrow_bulk_off_centre_is_found(engine):
    stats = pytest.importorskip("scipy.stats")
    ref = stats.norm(7.0, 0.3)
    d = build(lambda x: math.exp(-0.5 * ((x - 7.0) / 0.3) ** 2), 0.0, 40.0, engine)
    assert d.cdf(7.0) == pytest.approx(0.5, abs=1e-9)  # was 1.4e20
    assert d.sf(7.3) == pytest.approx(ref.sf(7.3), abs=1e-9)
    assert d.mean() == pytest.approx(7.0, abs=1e-9)
    assert d.var() == pytest.approx(0.09, rel=1e-9)
    xs = d.sample_n(500 if engine == "plain" else 5000, seed=4)
    assert stats.kstest(xs, ref.cdf).pvalue > 1e-3
    m = build(lambda x: math.exp(-0.5 * ((x - 1.0) / 0.3) ** 2), -8.0, 8.0, engine)
    assert m.mean() == pytest.approx(1.0, abs=1e-9)  # was 6e-21


@pytest.mark.parametrize("engine", ["plain"])
def test_quantiles_of_a_narrow_bulk_in_a_wide_interval(engine):
    d = build(lambda x: math.exp(-0.5 * (x / 0.1) ** 2), -20.0, 20.0, engine)
    z90 = 1.2815515655446004
    assert d.ppf(0.9) == pytest.approx(0.1 * z90, abs=1e-9)  # was 18.7
    assert d.isf(0.1) == pytest.approx(0.1 * z90, abs=1e-9)
    assert d.median() == pytest.approx(0.0, abs=1e-9)
    lo, hi = d.interval(0.8)
    assert (lo, hi) == pytest.approx((-0.1 * z90, 0.1 * z90), abs=1e-9)


def test_a_table_is_built_on_the_models_nodes_when_its_own_are_wrong():
    # The Hermite table of the same density: its nodes come from the model; the cubic between
    # them keeps its designed error.
    d = v.from_pdf_with_options(lambda x: math.exp(-0.5 * (x / 0.1) ** 2), I(-20.0, 20.0),
                                v.BuildOptions.hermite(64))
    assert d.uses_hermite_table()
    assert d.ppf(0.9) == pytest.approx(0.1 * 1.2815515655446004, abs=1e-3)  # was 18.7
    from statistics import NormalDist
    nodes = [(i / 63) * 0.999999999998 + 1e-12 for i in (3, 32, 50)]
    exact = [0.1 * NormalDist().inv_cdf(u) for u in nodes]
    assert [d.ppf(u) for u in nodes] == pytest.approx(exact, abs=1e-9)


@pytest.mark.parametrize("engine", ["plain", "tdr"])
def test_a_heavy_tail_on_a_wide_interval(engine):
    t3 = lambda x: (1.0 + x * x / 3.0) ** -2  # noqa: E731
    d = v.from_pdf(t3, I(-2804.0, 2804.0)) if engine == "plain" else \
        v.from_pdf_with_options(t3, I(-2804.0, 2804.0), v.BuildOptions.tdr("inv_sqrt"))
    # F(x) of Student t(3) cut to [-2804, 2804]
    def cdf(x):
        t = math.atan(x / math.sqrt(3.0))
        ends = math.atan(2804.0 / math.sqrt(3.0))
        mass = lambda a: a + math.sin(a) * math.cos(a)  # noqa: E731
        return (mass(t) + mass(ends)) / (2.0 * mass(ends))
    assert d.cdf(325.0) == pytest.approx(cdf(325.0), abs=1e-9)  # was 1.6e-7
    assert d.cdf(-1.0) == pytest.approx(cdf(-1.0), abs=1e-9)


@pytest.mark.parametrize("engine", ENGINES)
def test_a_kinked_density_has_its_variance(engine):
    tri = lambda x: (x - 2.0) / 1.2 if x <= 3.2 else (6.0 - x) / 2.8  # noqa: E731
    d = v.from_pdf_with_options(tri, I(2.0, 6.0), ENGINES[engine]) if engine != "tdr" else \
        v.from_pdf(tri, I(2.0, 6.0))
    a, b, c = 2.0, 6.0, 3.2
    var = (a * a + b * b + c * c - a * b - a * c - b * c) / 18.0
    assert d.var() == pytest.approx(var, rel=1e-9)  # was 0.128
    assert d.mean() == pytest.approx((a + b + c) / 3.0, rel=1e-12)


def test_a_narrow_uniform_far_from_zero():
    d = v.from_pdf(lambda x: 1.0, I(1e8, 1e8 + 1e-6))
    w = (1e8 + 1e-6) - 1e8  # the interval as doubles hold it
    assert d.var() == pytest.approx(w * w / 12.0, rel=1e-6)  # was 4.0
    assert d.std() == pytest.approx(w / math.sqrt(12.0), rel=1e-6)


@pytest.mark.parametrize("engine", ENGINES)
def test_the_densitys_scale_does_not_matter(engine):
    d = build(lambda x: 1e-12 * normal(x), -5.0, 5.0, engine)
    n = math.erf(5.0 / math.sqrt(2.0))
    from statistics import NormalDist
    exact = NormalDist().inv_cdf(0.5 + 0.975 * n - 0.5 * n)
    tol = 1e-3 if engine == "hermite" else 1e-9  # the table's own error, 1e-5 in u
    assert d.ppf(0.975) == pytest.approx(exact, abs=tol)  # was 1.157
    assert d.var() == pytest.approx(1.0 - 10.0 * math.exp(-12.5) / math.sqrt(2 * math.pi) / n,
                                    rel=1e-9)


def test_a_pole_at_a_tiny_lower_end():
    special = pytest.importorskip("scipy.special")
    d = v.from_pdf(lambda x: math.exp(-x) / math.sqrt(x), I(1e-300, 40.0))
    # gamma(1/2) cut to (0, 40]: the median solves P(1/2, x) = P(1/2, 40) / 2
    exact = special.gammaincinv(0.5, 0.5 * special.gammainc(0.5, 40.0))
    assert d.median() == pytest.approx(exact, rel=1e-9)  # was 20
    assert d.mean() == pytest.approx(0.5, rel=1e-9)


@pytest.mark.parametrize("engine", ENGINES)
def test_a_negative_density_is_refused(engine):
    with pytest.raises(v.BuildError, match=r"density is negative at x=\S+ \(value -"):
        v.from_pdf_with_options(lambda x: x, I(-1.0, 2.0), ENGINES[engine])


def test_expect_is_answered_by_the_model_only_where_the_integration_missed_the_mass():
    calls = []

    def func(x):
        calls.append(x)
        return x * x

    wide = v.from_pdf(lambda x: math.exp(-0.5 * ((x - 7.0) / 0.3) ** 2), I(0.0, 40.0))
    assert wide.expect(func) == pytest.approx(49.09, rel=1e-9)
    missed = len(calls)
    calls.clear()
    tight = v.from_pdf(normal, I(-5.0, 5.0))
    second = 1.0 - 10.0 * math.exp(-12.5) / math.sqrt(2 * math.pi) / math.erf(5 / math.sqrt(2))
    assert tight.expect(func) == pytest.approx(second, rel=1e-9)
    # The integration of the tight normal saw its mass: func was called by it alone, at the
    # points it chose (each interval's midpoint twice), and never by the model.
    assert len(calls) % 6 == 3 and len(calls) < missed


def narrow(x):
    return math.exp(-0.5 * ((x - 7.0) / 0.3) ** 2)


# The first point off the even grid that the model reads on [0, 40] (a Gauss-Lobatto node);
# the engines' own builds never meet it.
MODEL_ONLY = 1.25 * 0.17267316464601142810085377187657


def nan_where_only_the_model_reads(x):
    return math.nan if x == MODEL_ONLY else narrow(x)


def normal_cdf_on(lo, hi, mu=0.0, sigma=1.0):
    from statistics import NormalDist
    phi = NormalDist(mu, sigma).cdf
    return lambda x: (phi(x) - phi(lo)) / (phi(hi) - phi(lo))


def table_probes(n):
    """The probabilities a table's u-error is measured at: every segment's midpoint, and
    fractions of the first and last segments."""
    u = [(i / (n - 1)) * 0.999999999998 + 1e-12 for i in range(n)]
    probes = [a + 0.5 * (b - a) for a, b in zip(u, u[1:])]
    for a, b in (u[:2], u[-2:]):
        probes += [a + f * (b - a) for f in (0.01, 0.1, 0.25, 0.75, 0.9, 0.99)]
    return probes


H = v.BuildOptions.hermite
COARSE = ("the Hermite table's measured u-error is {:.2g} (above 0.0001): its quantiles and draws "
          "between its nodes are that far off in probability and are not replaced; "
          "BuildOptions.interpolated() builds a quantile function accurate to its u_resolution")
# name: (build, expected, warns). Expected is the refusal's message; or, for a table, the exact
# distribution function and grid size its u_error() is measured against; or the bounds of
# u_error() (None: there is none).
OUTCOMES = {
    # plain inversion reports the guard: 1e-6 plus the model's own error
    "plain": (lambda: v.from_pdf(normal, I(-5.0, 5.0)), (1e-6, 1e-6 + 1e-10), False),
    "histogram, plain": (lambda: v.from_histogram([0.0, 1.0, 2.0, 3.0], [1.0, 2.0, 1.0]),
                         (1e-6, 1e-6 + 1e-10), False),
    "tdr": (lambda: v.from_pdf_with_options(normal, I(-5.0, 5.0), v.BuildOptions.tdr("log")),
            None, False),
    "plain, from a cdf": (lambda: v.from_cdf(lambda x: x, I(0.0, 1.0)), None, False),
    "hermite(256), normal on [-2, 2]": (
        lambda: v.from_pdf_with_options(normal, I(-2.0, 2.0), H(256)),
        (normal_cdf_on(-2.0, 2.0), 256), False),
    "hermite(256), normal on [-5, 5]": (  # its first and last segments are coarse
        lambda: v.from_pdf_with_options(normal, I(-5.0, 5.0), H(256)),
        (normal_cdf_on(-5.0, 5.0), 256), True),
    "hermite(64), N(7, 0.3) on [0, 40]": (
        lambda: v.from_pdf_with_options(narrow, I(0.0, 40.0), H(64)),
        (normal_cdf_on(0.0, 40.0, 7.0, 0.3), 64), True),
    **{f"{name}, NaN where only the model reads": (
        lambda o=options: v.from_pdf_with_options(nan_where_only_the_model_reads,
                                                  I(0.0, 40.0), o),
        f"^the {what}'s result could not be checked: density is not finite at "
        rf"x={re.escape(repr(MODEL_ONLY))} \(value NaN\)", False)
       for name, options, what in [("plain", v.BuildOptions(), "plain inversion"),
                                   ("hermite(64)", H(64), "Hermite table"),
                                   ("tdr", v.BuildOptions.tdr("log"),
                                    "transformed density rejection")]},
}


@pytest.mark.parametrize("name", OUTCOMES)
def test_u_error_the_coarse_table_warning_and_the_refusal_of_unchecked_results(name):
    make, expected, warns = OUTCOMES[name]
    if isinstance(expected, str):
        with pytest.raises(v.BuildError, match=expected):
            make()
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        d = make()
    if expected is None:
        assert d.u_error() is None
    elif callable(expected[0]):
        cdf, n = expected
        measured = max(abs(cdf(d.ppf(u)) - u) for u in table_probes(n))
        assert d.u_error() == pytest.approx(measured, rel=1e-6, abs=1e-9)
    else:
        assert expected[0] <= d.u_error() <= expected[1]
    assert [str(w.message) for w in caught] == ([COARSE.format(d.u_error())] if warns else [])
    assert not warns or d.u_error() > 1e-4
    # Read back from its saved state: the same number, and no warning.
    if d.u_error() is not None:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            assert pickle.loads(pickle.dumps(d)).u_error() == d.u_error()


def test_a_user_function_failing_after_the_build_still_shows_as_nan():
    state = {"bad": False}
    d = v.from_pdf(lambda x: math.nan if state["bad"] else normal(x), I(-5.0, 5.0))
    state["bad"] = True
    assert math.isnan(d.cdf(0.5)) and math.isnan(d.logcdf(0.5)) and math.isnan(d.ppf(0.5))


# ---------------------------------------------------------------------------------------------
# Right answers stay as they were: every query of well-behaved distributions against the
# engines alone, value for value and call for call.


def _cases():
    tri = lambda x: 12.0 * x * (1.0 - x) ** 2  # noqa: E731
    logistic = lambda x: math.exp(-x) / (1.0 + math.exp(-x)) ** 2  # noqa: E731
    gamma3 = lambda x: x * x * math.exp(-x)  # noqa: E731
    h16 = v.BuildOptions.hermite(16)
    tdr = v.BuildOptions.tdr("log")
    return {
        "normal, plain": lambda f: v.from_pdf(f, I(-5.0, 5.0)),
        "normal, hermite(16)": lambda f: v.from_pdf_with_options(f, I(-5.0, 5.0), h16),
        "normal, tdr": lambda f: v.from_pdf_with_options(f, I(-5.0, 5.0), tdr),
        "normal, dpdf": lambda f: v.from_pdf_dpdf(f, lambda x: -x * normal(x), I(-5.0, 5.0)),
        "gamma(3), plain": (gamma3, lambda f: v.from_pdf(f, I(0.0, 30.0))),
        "gamma(3), hermite(16)": (gamma3, lambda f: v.from_pdf_with_options(f, I(0.0, 30.0), h16)),
        "logistic, tdr": (logistic, lambda f: v.from_pdf_with_options(f, I(-10.0, 10.0), tdr)),
        "beta(2, 3), plain": (tri, lambda f: v.from_pdf(f, I(0.0, 1.0))),
        "truncated normal": lambda f: v.truncated(f, I(-8.0, 8.0), I(-1.0, 2.0)),
        "loc-scale normal": lambda f: v.from_pdf_loc_scale(f, I(-5.0, 5.0), 1.0, 2.0),
    }


def _digest(xs):
    return hashlib.sha256(repr([float(x) for x in xs]).encode()).hexdigest()[:16]


def observe(name):
    """Every query's result (repr) and the density's calls it made, for one case."""
    make = _cases()[name]
    density, make = (normal, make) if callable(make) else make
    calls = []

    def f(x):
        calls.append(x)
        return density(x)

    d = make(f)
    out = {"build calls": len(calls), "build": _digest(calls)}
    queries = {
        "cdf": lambda: [d.cdf(x) for x in (d.ppf(0.03), d.median(), d.ppf(0.8))],
        "sf": lambda: d.sf(d.ppf(0.7)),
        "logcdf": lambda: d.logcdf(d.ppf(0.2)),
        "logsf": lambda: d.logsf(d.ppf(0.9)),
        "ppf": lambda: [d.ppf(u) for u in (0.1, 0.5, 0.97)],
        "isf": lambda: d.isf(0.2),
        "mean": d.mean, "var": d.var, "std": d.std, "median": d.median, "entropy": d.entropy,
        "interval": lambda: list(d.interval(0.9)),
        "expect": lambda: d.expect(lambda x: x * x),
        "draws": lambda: d.sample_n(20, seed=3),
    }
    for key, query in queries.items():
        calls.clear()
        out[key] = repr(query())
        out[key + " calls"] = _digest(calls)
    return out


def test_the_golden_record_covers_every_case():
    assert sorted(json.loads(GOLDEN.read_text())) == sorted(_cases())


@pytest.mark.parametrize("name", sorted(_cases()))
def test_right_answers_are_unchanged_value_for_value_and_call_for_call(name):
    golden = json.loads(GOLDEN.read_text())[name]
    now = observe(name)
    for key, value in golden.items():
        if key == "build":
            continue
        if key == "build calls":
            # The model's calls come after every call the engine's own build made.
            assert now[key] >= value
            continue
        assert now[key] == value, (name, key)
    # The first calls of the build are the engine's, in order.
    calls = []
    make = _cases()[name]
    density, make = (normal, make) if callable(make) else make

    def f(x):
        calls.append(x)
        return density(x)

    make(f)
    assert _digest(calls[:golden["build calls"]]) == golden["build"]


if __name__ == "__main__":
    record = {name: observe(name) for name in sorted(_cases())}
    Path(sys.argv[1]).write_text(json.dumps(record, indent=1, sort_keys=True) + "\n")

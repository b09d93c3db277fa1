"""ContinuousDistribution through Python: construction, queries, user callables, the engines
(inversion, Hermite table, TDR), histograms, truncation and location-scale, and bad input."""
import bisect
import math
import sys
import threading
import weakref
from fractions import Fraction
from statistics import NormalDist

import pytest

import _varnix as v
from helpers import error_text

I = v.Interval
NAN = float("nan")
INF = float("inf")

NORMALIZE = "failed to normalize PDF on support"
TDR_HAT = "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)"
TDR_WITH_CDF = ("invalid support interval: TDR sampling requires a PDF "
                "(use from_pdf_fn, not from_cdf_fn)")

STD = NormalDist()
TAIL = STD.cdf(-5.0)  # mass of the standard normal below -5 (and above 5)


def phi(x):
    """Unnormalised standard normal density; the tests use it on [-5, 5]."""
    return math.exp(-0.5 * x * x)


def dphi(x):
    return -x * phi(x)


def beta22(x):
    """Beta(2, 2) on [0, 1]: quadratic, so every Simpson estimate of its cdf is exact and
    plain inversion stays cheap."""
    return 6.0 * x * (1.0 - x)


def normal_quantile(u):
    """Quantile of the standard normal truncated to [-5, 5]."""
    return STD.inv_cdf(TAIL + u * (1.0 - 2.0 * TAIL))


def normal_cdf(x):
    return (STD.cdf(x) - TAIL) / (1.0 - 2.0 * TAIL)


def raise_value_error(x):
    raise ValueError("user code failed")


def build_error(call):
    with pytest.raises(v.BuildError) as info:
        call()
    return str(info.value)


def sample_error(call):
    with pytest.raises(v.SampleError) as info:
        call()
    return str(info.value)


def ks_statistic(d, xs, grid=1000):
    """Kolmogorov-Smirnov distance between the samples and the distribution's own cdf, read
    off a fine grid of d.cdf values with linear interpolation in between."""
    s = d.support()
    g = [s.lo + (s.hi - s.lo) * i / grid for i in range(grid + 1)]
    cdf = [d.cdf(x) for x in g]
    xs = sorted(xs)
    n = len(xs)
    worst = 0.0
    for i, x in enumerate(xs):
        k = min(max(bisect.bisect_right(g, x) - 1, 0), grid - 1)
        t = (x - g[k]) / (g[k + 1] - g[k])
        fx = cdf[k] + (cdf[k + 1] - cdf[k]) * t
        worst = max(worst, (i + 1) / n - fx, fx - i / n)
    return worst


HIST_EDGES = [0.0, 1.0, 1.5, 3.0, 4.0]
HIST_COUNTS = [2.0, 5.0, 1.0, 3.0]


# Distributions shared by many tests, built once per module on first use.
ENGINES = {
    "normal": lambda: v.from_pdf(phi, I(-5.0, 5.0)),
    "normal_hermite": lambda: v.from_pdf_with_options(phi, I(-5.0, 5.0),
                                                      v.BuildOptions.hermite(128)),
    "normal_tdr_log": lambda: v.from_pdf_with_options(phi, I(-5.0, 5.0),
                                                      v.BuildOptions.tdr("log")),
    "normal_tdr_inv_sqrt": lambda: v.from_pdf_with_options(phi, I(-5.0, 5.0),
                                                           v.BuildOptions.tdr("inv_sqrt")),
    "normal_tdr_dpdf": lambda: v.from_pdf_dpdf(phi, dphi, I(-5.0, 5.0),
                                               v.BuildOptions.tdr("log")),
    "truncated_tdr_log": lambda: v.truncated(phi, I(-5.0, 5.0), I(-1.0, 2.0),
                                             v.BuildOptions.tdr("log")),
    "beta_inversion": lambda: v.from_pdf(beta22, I(0.0, 1.0)),
    "uniform_cdf": lambda: v.from_cdf(lambda x: x, I(0.0, 1.0)),
    "hist_inversion": lambda: v.from_histogram(HIST_EDGES, HIST_COUNTS),
    "hist_hermite": lambda: v.from_histogram(HIST_EDGES, HIST_COUNTS,
                                             options=v.BuildOptions.hermite(256)),
    "hist_tdr_inv_sqrt": lambda: v.from_histogram(HIST_EDGES, HIST_COUNTS,
                                                  options=v.BuildOptions.tdr("inv_sqrt")),
}


@pytest.fixture(scope="module")
def built():
    cache = {}

    def get(name):
        if name not in cache:
            cache[name] = ENGINES[name]()
        return cache[name]

    return get


# ---- construction ------------------------------------------------------------------------

BAD_FUNCTIONS = [
    (lambda x: 0.0, "zero"),
    (lambda x: -1.0, "negative"),
    (lambda x: NAN if x == 0.0 else 1.0, "nan_at_lo"),
    (lambda x: 1.0 / x, "raises_at_lo"),
    (raise_value_error, "raises"),
    (lambda x: None, "none"),
    (lambda x: "1", "str"),
    (lambda x: NAN, "nan"),
    (lambda x: INF, "inf"),
    (3, "not_callable"),
]


@pytest.mark.parametrize("build", [
    lambda f: v.from_pdf(f, I(0.0, 1.0)),
    lambda f: v.from_cdf(f, I(0.0, 1.0)),
    lambda f: v.from_pdf_dpdf(f, dphi, I(0.0, 1.0), v.BuildOptions.tdr("log")),
    lambda f: v.truncated(f, I(0.0, 2.0), I(0.0, 1.0)),
    lambda f: v.from_pdf_loc_scale(f, I(0.0, 1.0), 1.0, 2.0),
], ids=["pdf", "cdf", "dpdf_tdr", "truncated", "loc_scale"])
@pytest.mark.parametrize("f", [f for f, _ in BAD_FUNCTIONS], ids=[n for _, n in BAD_FUNCTIONS])
def test_unusable_user_functions_fail_to_normalize(build, f):
    assert build_error(lambda: build(f)) == NORMALIZE


@pytest.mark.parametrize("cdf", [lambda x: 2.0, lambda x: 1.0 - x,
                                 lambda x: NAN if x == 1.0 else x],
                         ids=["constant", "decreasing", "nan_at_hi"])
def test_a_cdf_without_a_finite_rise_fails_to_normalize(cdf):
    assert build_error(lambda: v.from_cdf(cdf, I(0.0, 1.0))) == NORMALIZE


def test_a_cdf_source_checks_its_rise_before_refusing_tdr():
    tdr = v.BuildOptions.tdr("log")
    assert build_error(lambda: v.from_cdf_with_options(lambda x: x, I(0.0, 1.0), tdr)) \
        == TDR_WITH_CDF
    assert build_error(lambda: v.from_cdf_with_options(lambda x: 0.5, I(0.0, 1.0), tdr)) \
        == NORMALIZE


@pytest.mark.parametrize("call, text", [
    (lambda: v.from_pdf_with_options(phi, I(0.0, 1.0), None),
     "argument 'options': 'NoneType' object cannot be converted to 'BuildOptions'"),
    (lambda: v.from_cdf_with_options(phi, I(0.0, 1.0), None),
     "argument 'options': 'NoneType' object cannot be converted to 'BuildOptions'"),
    (lambda: v.truncated(phi, I(0.0, 1.0), (0.0, 1.0)),
     "argument 'trunc_interval': 'tuple' object cannot be converted to 'Interval'"),
    (lambda: v.from_pdf_loc_scale(phi, I(0.0, 1.0), "a", None),
     "argument 'loc': must be real number, not str"),
    (lambda: v.from_histogram("0123", [1.0, 1.0, 1.0]),
     "argument 'edges': Can't extract `str` to `Vec`"),
    (lambda: v.from_histogram([0.0, 1.0], [1.0], 1),
     "argument 'density': 'int' object cannot be converted to 'PyBool'"),
    (lambda: v.from_pdf(phi, I(0.0, 1.0)).sample_n(1.5),
     "argument 'n': 'float' object cannot be interpreted as an integer"),
    (lambda: v.from_pdf(phi, I(0.0, 1.0)).sample_n(1, seed="7"),
     "argument 'seed': 'str' object cannot be interpreted as an integer"),
])
def test_wrong_argument_types_name_the_argument(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == text


@pytest.mark.parametrize("build", [
    lambda o: v.from_pdf_dpdf(phi, dphi, I(-5.0, 5.0), *o),
    lambda o: v.truncated(phi, I(-6.0, 6.0), I(-5.0, 5.0), *o),
    lambda o: v.from_pdf_loc_scale(phi, I(-5.0, 5.0), 0.0, 1.0, *o),
    lambda o: v.from_histogram(HIST_EDGES, HIST_COUNTS, False, *o),
], ids=["dpdf", "truncated", "loc_scale", "histogram"])
def test_options_none_or_omitted_mean_the_defaults(build):
    built = [build([None]), build([]), build([v.BuildOptions()])]
    for d in built:
        assert not d.uses_tdr() and not d.uses_hermite_table()
    quantiles = [[d.ppf(u) for u in (0.1, 0.7)] for d in built]
    assert quantiles[0] == quantiles[1] == quantiles[2]


@pytest.mark.parametrize("options, tdr, table", [
    (None, False, False),
    (v.BuildOptions.hermite(8), False, True),
    (v.BuildOptions.tdr("log"), True, False),
    (v.BuildOptions.tdr("inv_sqrt"), True, False),
    # the options constructor drops the transform when a grid is given
    (v.BuildOptions(hermite_grid_size=8, tdr_transform="log"), False, True),
])
def test_the_engine_in_use_is_reported(options, tdr, table):
    d = v.from_pdf_dpdf(phi, dphi, I(-5.0, 5.0), options)
    assert (d.uses_tdr(), d.uses_hermite_table()) == (tdr, table)


def test_quantiles_of_a_tdr_distribution_use_newton_at_default_settings(built):
    for u in (1e-6, 0.3, 0.5, 0.95):
        assert built("normal_tdr_log").ppf(u) == built("normal").ppf(u)


# ---- queries -----------------------------------------------------------------------------


def test_pdf_outside_the_support_is_the_users_value_while_cdf_is_exact():
    d = v.from_pdf(lambda x: 1.0 + x, I(0.0, 1.0))  # norm 1.5
    assert d.pdf(3.0) == pytest.approx(4.0 / 1.5, rel=1e-12)
    assert d.pdf(-3.0) == pytest.approx(-2.0 / 1.5, rel=1e-12)
    assert d.logpdf(-3.0) is None and d.logpdf(-1.0) is None
    assert d.logpdf(0.5) == pytest.approx(0.0, abs=1e-12)
    assert [d.cdf(x) for x in (-3.0, 0.0, 1.0, 3.0)] == [0.0, 0.0, 1.0, 1.0]
    assert d.cdf(0.5) == pytest.approx(0.625 / 1.5, abs=1e-12)
    assert (d.logcdf(0.0), d.logsf(1.0), d.sf(1.0)) == (-INF, -INF, 0.0)


def test_cdf_and_pdf_of_a_density_match_the_closed_form(built):
    normal = built("normal")
    for x in (-4.5, -1.0, 0.0, 0.3, 2.0):
        assert normal.cdf(x) == pytest.approx(normal_cdf(x), abs=1e-9)
        assert normal.sf(x) == pytest.approx(1.0 - normal_cdf(x), abs=1e-9)
        assert normal.pdf(x) == pytest.approx(STD.pdf(x) / (1.0 - 2.0 * TAIL), rel=1e-9)


def test_a_cdf_source_has_no_pdf_and_an_unclamped_cdf():
    d = v.from_cdf(lambda x: 2.0 * x + 1.0, I(0.0, 1.0))
    assert d.pdf(0.5) is None and d.logpdf(0.5) is None
    assert [d.cdf(x) for x in (-1.0, 0.25, 2.0)] == [-1.0, 0.25, 2.0]
    assert [d.sf(x) for x in (-1.0, 0.25, 2.0)] == [2.0, 0.75, 0.0]
    assert [d.logcdf(x) for x in (-1.0, 0.0, 2.0)] == [-INF, -INF, 0.0]
    assert [d.logsf(x) for x in (-1.0, 1.0, 2.0)] == [0.0, -INF, -INF]
    assert d.logsf(0.25) == math.log(0.75)


@pytest.mark.parametrize("u, shown", [(0.0, "0"), (1.0, "1"), (NAN, "NaN"), (1.5, "1.5"),
                                      (-0.25, "-0.25"), (INF, "inf"), (-INF, "-inf")])
def test_the_quantile_guard_names_the_probability(built, u, shown):
    text = f"quantile u={shown} not in (0, 1)"
    normal = built("normal")
    for d in (normal, built("uniform_cdf"), built("normal_hermite")):
        assert sample_error(lambda: d.ppf(u)) == text
        assert sample_error(lambda: d.isf(1.0 - u)) == text  # isf reports the complement
    assert sample_error(lambda: normal.isf(1e-17)) == "quantile u=1 not in (0, 1)"
    assert normal.isf(0.25) == normal.ppf(0.75)


def test_quantile_of_a_cdf_source_bisects_the_user_cdf():
    def cdf(x):  # rescaled to x * x on the support
        return 3.0 * x * x - 1.0

    newton = v.from_cdf(cdf, I(0.0, 1.0))
    plain = v.from_cdf_with_options(cdf, I(0.0, 1.0), v.BuildOptions(use_newton=False))
    for u in (0.01, 0.25, 0.5, 0.81):
        assert newton.ppf(u) == plain.ppf(u) == pytest.approx(math.sqrt(u), abs=1e-11)


def test_building_from_a_cdf_calls_it_at_lo_then_hi_only():
    calls = []

    def cdf(x):
        calls.append(x)
        return x

    d = v.from_cdf(cdf, I(-1.0, 2.0))
    assert calls == [-1.0, 2.0]
    assert d.cdf(0.5) == 0.5 and calls[2:] == [0.5]


def test_user_callables_are_released_with_failed_builds_and_dropped_distributions():
    class Density:
        def __init__(self, value):
            self.value = value

        def __call__(self, x):
            return self.value

    refs = []
    for value in (0.0, 1.0):  # a failing and a working build
        f, dpdf, func = Density(value), Density(0.0), Density(1.0)
        refs += [weakref.ref(f), weakref.ref(dpdf), weakref.ref(func)]
        try:
            d = v.from_pdf_dpdf(f, dpdf, I(0.0, 1.0), v.BuildOptions.tdr("inv_sqrt"))
            d.expect(func), d.sample_n(3, seed=1)
            del d
        except v.BuildError:
            pass
        del f, dpdf, func
    assert all(r() is None for r in refs)


@pytest.mark.parametrize("engine", ["beta_inversion", "normal_hermite", "normal_tdr_log",
                                    "normal_tdr_inv_sqrt", "uniform_cdf", "hist_inversion"])
def test_seeded_draws_are_reproducible_and_prefix_consistent(built, engine):
    d = built(engine)
    first = d.sample_n(6, seed=7)
    assert d.sample_n(6, seed=7) == first
    assert d.sample_n(3, seed=7) == first[:3]
    assert d.sample_n(6, seed=8) != first
    assert d.sample_n(0) == [] and d.sample_n(0, seed=1) == []
    s = d.support()
    assert all(s.lo <= x <= s.hi for x in first + [d.sample()])


def test_every_inversion_engine_turns_one_uniform_into_one_draw():
    # The uniform distribution's quantile is the identity, so every inversion engine fed by
    # the same seeded stream returns (nearly) the same numbers.
    engines = [
        v.from_pdf(lambda x: 1.0, I(0.0, 1.0)),
        v.from_pdf_with_options(lambda x: 1.0, I(0.0, 1.0), v.BuildOptions(use_newton=False)),
        v.from_pdf_with_options(lambda x: 1.0, I(0.0, 1.0), v.BuildOptions.hermite(4)),
        v.from_cdf(lambda x: x, I(0.0, 1.0)),
        v.from_histogram([0.0, 0.5, 1.0], [1.0, 1.0]),
    ]
    draws = [d.sample_n(50, seed=2024) for d in engines]
    for other in draws[1:]:
        assert other == pytest.approx(draws[0], abs=1e-9)


def test_seeded_draws_agree_across_threads(built):
    engines = (built("normal_tdr_log"), built("normal_hermite"))
    expected = [d.sample_n(200, seed=99) for d in engines]
    results = []

    def work():
        results.append([d.sample_n(200, seed=99) for d in engines] == expected)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # let the threads interleave inside the Python density
    try:
        threads = [threading.Thread(target=work) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert results == [True] * 4


def test_a_failing_draw_ends_sample_n_with_its_error():
    calls = {"n": 0, "limit": INF}

    def cdf(x):  # a cdf that stops rising after a number of calls
        calls["n"] += 1
        return 0.5 if calls["n"] > calls["limit"] else x

    d = v.from_cdf(cdf, I(0.0, 1.0))
    calls["n"] = 0
    d.sample_n(1, seed=1)
    per_draw = calls["n"]
    calls["n"], calls["limit"] = 0, 3 * per_draw  # the first draws succeed, later ones fail
    assert sample_error(lambda: d.sample_n(10, seed=1)) == "failed to invert CDF"
    for call in (d.sample, lambda: d.ppf(0.5), d.median, lambda: d.interval(0.5)):
        assert sample_error(call) == "failed to invert CDF"


def test_a_tdr_draw_that_never_accepts_fails():
    broken = {"now": False}

    def pdf(x):
        return 0.0 if broken["now"] else 1.0

    # (The log hat's squeeze accepts most trials without calling the density, so a density
    # broken after the build goes unseen there.)
    for transform in ("inv_sqrt",):
        broken["now"] = False
        d = v.from_pdf_with_options(lambda x: pdf(x) * (1.0 + x), I(0.0, 1.0),
                                    v.BuildOptions.tdr(transform))
        broken["now"] = True
        assert sample_error(lambda: d.sample_n(2, seed=3)) == "tdr failed to draw a sample"
        assert sample_error(d.sample) == "tdr failed to draw a sample"


def test_sample_n_counts_are_unsigned_and_bounded_by_memory(built):
    normal_hermite = built("normal_hermite")
    for n in (2**62, 2**64 - 1):  # beyond what any list can hold: MemoryError, as in Python
        with pytest.raises(MemoryError):
            normal_hermite.sample_n(n, seed=1)
    with pytest.raises(OverflowError):
        normal_hermite.sample_n(-1)
    with pytest.raises(OverflowError):
        normal_hermite.sample_n(1, seed=2**64)
    assert len(normal_hermite.sample_n(1, seed=2**64 - 1)) == 1


# ---- user callables ----------------------------------------------------------------------


@pytest.mark.parametrize("bad", [raise_value_error, lambda x: None, lambda x: "0.5", lambda x: NAN],
                         ids=["raises", "none", "str", "nan"])
def test_a_user_function_failing_after_construction_shows_as_nan(bad):
    state = {"bad": False}

    def f(x):
        return bad(x) if state["bad"] else x

    pdf = v.from_pdf(f, I(0.0, 1.0))
    cdf = v.from_cdf(f, I(0.0, 1.0))
    state["bad"] = True
    for d in (pdf, cdf):
        assert math.isnan(d.cdf(0.5))
        assert d.sf(0.5) == 0.0
        assert math.isnan(d.logcdf(0.5)) and math.isnan(d.logsf(0.5))
        assert d.logpdf(0.5) is None
    assert math.isnan(pdf.pdf(0.5)) and (pdf.cdf(-1.0), pdf.cdf(2.0)) == (0.0, 1.0)
    assert math.isnan(pdf.ppf(0.5))  # a NaN density propagates through the Newton stage
    assert sample_error(lambda: cdf.ppf(0.5)) == "failed to invert CDF"


def test_minus_one_and_float_like_results_are_values():
    d = v.from_cdf(lambda x: -1 if x == 0.0 else x, I(0.0, 1.0))  # span 1 - (-1) = 2
    assert d.cdf(0.5) == 0.75
    p = v.from_pdf(lambda x: Fraction(1) if 0.0 <= x <= 1.0 else -1, I(0.0, 1.0))
    assert p.pdf(0.5) == 1.0 and p.pdf(3.0) == -1.0 and p.logpdf(3.0) is None


def test_a_density_may_reenter_its_own_distribution():
    seen = []
    holder = {}

    def pdf(x):
        d = holder.pop("d", None)  # re-enter once, from the first outer evaluation only
        if d is not None:
            seen.append((d.pdf(0.5), d.cdf(0.5), d.support().hi, d.sample_n(2, seed=1)))
        return 1.0

    d = v.from_pdf(pdf, I(0.0, 1.0))
    holder["d"] = d
    assert d.cdf(0.25) == 0.25
    assert seen[0][:3] == (1.0, 0.5, 1.0) and len(seen[0][3]) == 2
    assert len(d.sample_n(3, seed=5)) == 3


# ---- Hermite table -----------------------------------------------------------------------


def test_hermite_grids_below_four_build_the_four_node_table():
    def build(n):
        return v.from_pdf_with_options(phi, I(-5.0, 5.0), v.BuildOptions.hermite(n))

    us = [1e-13, 0.01, 0.2, 1.0 / 3.0, 0.5, 0.9, 0.999999999, 1.0 - 1e-16]
    reference = build(4)
    expected = [reference.ppf(u) for u in us] + reference.sample_n(20, seed=4)
    for n in (0, 1, 2, 3):
        d = build(n)
        assert [d.ppf(u) for u in us] + d.sample_n(20, seed=4) == expected
    assert build(5).ppf(0.2) != reference.ppf(0.2)


def test_hermite_table_returns_its_end_quantiles_outside_the_nodes(built):
    normal_hermite = built("normal_hermite")
    first, last = normal_hermite.ppf(1e-12), normal_hermite.ppf(0.999999999999)
    assert normal_hermite.ppf(1e-300) == normal_hermite.ppf(1e-13) == first
    assert normal_hermite.ppf(1.0 - 2**-53) == last
    assert -5.0 <= first < -4.9 and 4.9 < last <= 5.0


def test_hermite_quantiles_stay_monotone_and_inside_a_skewed_support():
    d = v.from_pdf_with_options(lambda x: math.exp(-40.0 * x), I(0.0, 1.0),
                                v.BuildOptions.hermite(6))
    xs = [d.ppf(i / 4000) for i in range(1, 4000)]
    assert all(0.0 <= x <= 1.0 for x in xs)
    assert all(a <= b for a, b in zip(xs, xs[1:]))


def test_hermite_quantiles_are_accurate_for_the_normal(built):
    normal_hermite = built("normal_hermite")
    n = 128
    nodes = [(i / (n - 1)) * 0.999999999998 + 1e-12 for i in range(1, n - 1)]
    assert max(abs(normal_hermite.ppf(u) - normal_quantile(u)) for u in nodes) < 1e-8
    central = [0.05 + 0.9 * i / 1000 for i in range(1001)]
    assert max(abs(normal_hermite.ppf(u) - normal_quantile(u)) for u in central) < 1e-4


def test_a_cdf_source_builds_a_hermite_table_from_the_user_cdf():
    d = v.from_cdf_with_options(lambda x: 2.0 * x * x + 5.0, I(0.0, 1.0),
                                v.BuildOptions.hermite(64))
    assert d.uses_hermite_table()
    us = [0.1 + 0.8 * i / 200 for i in range(201)]
    assert max(abs(d.ppf(u) - math.sqrt(u)) for u in us) < 1e-4


# ---- transformed density rejection -------------------------------------------------------


@pytest.mark.parametrize("transform", ["log", "inv_sqrt"])
def test_a_constant_density_is_sampled_uniformly_by_both_hats(transform):
    d = v.from_pdf_with_options(lambda x: 1.0, I(2.0, 3.0), v.BuildOptions.tdr(transform))
    xs = d.sample_n(20000, seed=5)
    assert ks_statistic(d, xs) < 1.63 / math.sqrt(len(xs))


@pytest.mark.parametrize("options, calls_expected", [
    (None, False), (v.BuildOptions.hermite(4), False), (v.BuildOptions.tdr("inv_sqrt"), False),
    (v.BuildOptions.tdr("log"), True),
])
def test_an_explicit_derivative_is_called_only_by_the_log_hat(options, calls_expected):
    calls = []

    def counted(x):
        calls.append(x)
        return dphi(x)

    d = v.from_pdf_dpdf(phi, counted, I(-5.0, 5.0), options)
    d.sample_n(10, seed=1), d.cdf(0.5), d.ppf(0.5)
    assert bool(calls) == calls_expected


# A derivative that is 0 everywhere makes flat "tangents" that fall below the density; the
# density itself is log-concave and is not blamed.
@pytest.mark.parametrize("dpdf, text", [
    (raise_value_error, TDR_HAT), (lambda x: 0.0, TDR_HAT),
    (lambda x: None, TDR_HAT)], ids=["raises", "flat", "none"])
def test_an_unusable_derivative_defeats_the_log_hat_only(dpdf, text):
    assert build_error(lambda: v.from_pdf_dpdf(phi, dpdf, I(-5.0, 5.0),
                                               v.BuildOptions.tdr("log"))).startswith(text)
    d = v.from_pdf_dpdf(phi, dpdf, I(-5.0, 5.0), v.BuildOptions.tdr("inv_sqrt"))
    assert len(d.sample_n(5, seed=2)) == 5


# ---- histograms --------------------------------------------------------------------------

INVALID = "invalid histogram edges or counts"


@pytest.mark.parametrize("edges, counts, text", [
    ([0.0], [], INVALID),
    ([0.0, 1.0], [0.0, 0.0], INVALID),        # lengths are checked before the total
    ([0.0, 0.0], [1.0], INVALID),
    ([1.0, 0.0], [1.0], INVALID),
    ([0.0, INF], [1.0], INVALID),
    ([NAN, 1.0], [1.0], INVALID),
    ([0.0, 1.0, 2.0], [1.0, NAN], INVALID),
    ([0.0, 1.0, 2.0], [-1.0, 1.0], INVALID),  # negative counts are checked before the total
    ([0.0, 1.0, 2.0], [0.0, 0.0], NORMALIZE),
    ([0.0, 1.0], [-0.0], NORMALIZE),
])
def test_histogram_validation_texts_in_order(edges, counts, text):
    assert build_error(lambda: v.from_histogram(edges, counts)) == text


def test_histogram_bins_are_half_open_with_a_closed_last_bin():
    for density in (False, True):
        d = v.from_histogram((0.0, 1.0, 3.0), (1.0, 1.0), density)
        points = [-0.1, 0.0, 0.5, 1.0, 2.0, 3.0, 3.5, NAN]
        assert [d.pdf(x) for x in points] == pytest.approx(
            [0.0, 0.5, 0.5, 0.25, 0.25, 0.25, 0.0, 0.0], abs=1e-8)
        assert d.logpdf(3.5) is None and d.support().hi == 3.0
        assert d.cdf(1.0) == pytest.approx(0.5, abs=1e-9)


def test_histogram_density_flag_gives_the_same_distribution():
    # the flag changes the raw bin values, which the normalising integral then absorbs
    counts = [3.0, 1.0, 4.0]
    edges = [0.0, 0.5, 2.0, 2.5]
    raw = v.from_histogram(edges, counts, density=False)
    dens = v.from_histogram(edges, counts, density=True)
    for x in (0.25, 1.0, 2.25):
        assert raw.pdf(x) == pytest.approx(dens.pdf(x), rel=1e-8)
        assert raw.ppf(x / 2.5) == pytest.approx(dens.ppf(x / 2.5), abs=1e-8)
    assert raw.pdf(0.25) == pytest.approx(3.0 / 8.0 / 0.5, rel=1e-8)


def test_histogram_engines(built):
    hist_inversion, hist_hermite = built("hist_inversion"), built("hist_hermite")
    hist_tdr_inv_sqrt = built("hist_tdr_inv_sqrt")
    # a step up between bins is not log-concave
    assert build_error(lambda: v.from_histogram(HIST_EDGES, HIST_COUNTS,
                                                options=v.BuildOptions.tdr("log"))).startswith(
        "tdr: the density is not log-concave")
    assert hist_hermite.uses_hermite_table() and hist_tdr_inv_sqrt.uses_tdr()
    # cdf is piecewise linear: 2/11 of the mass in [0, 1), 5/11 in [1, 1.5)
    assert hist_inversion.ppf(0.5) == pytest.approx(1.0 + (0.5 - 2 / 11) / (5 / 11) * 0.5,
                                                    abs=1e-8)
    for u in (0.1, 0.5, 0.9):
        assert hist_hermite.ppf(u) == pytest.approx(hist_inversion.ppf(u), abs=1e-4)
        assert hist_tdr_inv_sqrt.ppf(u) == hist_inversion.ppf(u)


# ---- truncation and location-scale -------------------------------------------------------


@pytest.mark.parametrize("lo, hi, inside", [
    (-5.0, 5.0, True), (-5.0, 0.0, True), (4.5, 5.0, True),
    (-5.5, 0.0, False), (0.0, 5.5, False), (-6.0, 6.0, False),
])
def test_truncation_must_lie_inside_the_base_support(lo, hi, inside):
    def build():
        return v.truncated(phi, I(-5.0, 5.0), I(lo, hi))

    if inside:
        assert repr(build().support()) == repr(I(lo, hi))
    else:
        assert build_error(build) == "truncation interval must lie inside base support"


def test_truncated_density_is_renormalised_inside_and_zero_outside():
    d = v.truncated(phi, I(-5.0, 5.0), I(-1.0, 2.0))
    z = STD.cdf(2.0) - STD.cdf(-1.0)
    assert d.pdf(0.5) == pytest.approx(STD.pdf(0.5) / z, rel=1e-9)
    assert (d.pdf(-1.5), d.pdf(2.5), d.logpdf(-1.5), d.logpdf(2.5)) == (0.0, 0.0, None, None)
    assert d.cdf(0.0) == pytest.approx((0.5 - STD.cdf(-1.0)) / z, abs=1e-9)
    assert (d.cdf(-1.0), d.cdf(2.0)) == (0.0, 1.0)


def test_truncating_to_the_whole_support_changes_nothing(built):
    d = v.truncated(phi, I(-5.0, 5.0), I(-5.0, 5.0))
    for x in (-2.0, 0.1, 3.0):
        assert d.cdf(x) == pytest.approx(built("normal").cdf(x), abs=1e-10)


@pytest.mark.parametrize("loc, scale, text", [
    (0.0, 0.0, "scale must be finite and positive"),
    (0.0, -1.0, "scale must be finite and positive"),
    (0.0, INF, "scale must be finite and positive"),
    (0.0, NAN, "scale must be finite and positive"),
    (INF, 0.0, "scale must be finite and positive"),  # the scale is checked first
    (INF, 1.0, "non-finite value in support bounds"),
    (NAN, 1.0, "non-finite value in support bounds"),
    (0.0, 1e308, "non-finite value in support bounds"),
    (1e300, 1e-300, "invalid support interval: lo must be strictly less than hi"),
])
def test_location_scale_checks_the_scale_then_the_moved_support(loc, scale, text):
    assert build_error(lambda: v.from_pdf_loc_scale(phi, I(-5.0, 5.0), loc, scale)) == text


def test_location_scale_moves_the_support_with_inclusive_base_bounds():
    d = v.from_pdf_loc_scale(lambda x: 1.0 + x, I(0.0, 1.0), 2.0, 3.0)  # norm 1.5
    assert repr(d.support()) == "Interval(2, 5)"
    assert d.pdf(2.0) == pytest.approx(1.0 / 3.0 / 1.5, rel=1e-12)
    assert d.pdf(5.0) == pytest.approx(2.0 / 3.0 / 1.5, rel=1e-12)
    assert (d.pdf(1.999), d.pdf(5.001), d.logpdf(5.001)) == (0.0, 0.0, None)


def test_location_scale_cdf_is_the_base_cdf_of_the_standardised_point():
    d = v.from_pdf_loc_scale(phi, I(-5.0, 5.0), 3.0, 2.0)
    for x in (-5.0, 0.0, 3.5, 10.0):
        assert d.cdf(x) == pytest.approx(normal_cdf((x - 3.0) / 2.0), abs=1e-9)


# ---- statistical soundness ---------------------------------------------------------------


@pytest.mark.parametrize("engine, n", [
    ("beta_inversion", 2000),  # every plain inversion draw costs a whole root search
    ("hist_inversion", 2000),
    ("normal_hermite", 20000),
    ("normal_tdr_log", 20000),
    ("normal_tdr_inv_sqrt", 20000),
    ("normal_tdr_dpdf", 20000),
    ("hist_hermite", 20000),
    ("hist_tdr_inv_sqrt", 20000),
    ("truncated_tdr_log", 20000),
])
def test_seeded_samples_follow_the_distributions_own_cdf(built, engine, n):
    d = built(engine)
    xs = d.sample_n(n, seed=20240611)
    assert ks_statistic(d, xs) < 1.63 / math.sqrt(n)  # the 1% critical value


def test_the_sample_check_detects_a_wrong_distribution(built):
    xs = built("truncated_tdr_log").sample_n(2000, seed=1)
    assert ks_statistic(built("normal"), xs) > 2 * 1.63 / math.sqrt(2000)


# ---- bad input that must end promptly ----------------------------------------------------


@pytest.mark.parametrize("build, pdf_at_nan", [
    (lambda: v.from_pdf(phi, I(-5.0, 5.0)), NAN),
    (lambda: v.from_cdf(lambda x: x, I(0.0, 1.0)), None),
    (lambda: v.from_histogram([0.0, 1.0, 2.0], [1.0, 2.0]), 0.0),
    (lambda: v.truncated(phi, I(-5.0, 5.0), I(-1.0, 1.0)), 0.0),
    (lambda: v.from_pdf_loc_scale(phi, I(-5.0, 5.0), 1.0, 2.0), 0.0),
    (lambda: v.from_pdf_with_options(phi, I(-5.0, 5.0), v.BuildOptions.tdr("log")), NAN),
], ids=["pdf", "cdf", "histogram", "truncated", "loc_scale", "tdr"])
def test_nan_arguments_end_every_query(build, pdf_at_nan):
    d = build()
    p = d.pdf(NAN)
    if pdf_at_nan is None or pdf_at_nan == 0.0:
        assert p == pdf_at_nan
    else:
        assert math.isnan(p)
    assert d.logpdf(NAN) is None
    assert math.isnan(d.cdf(NAN)) and d.sf(NAN) == 0.0
    assert math.isnan(d.logcdf(NAN)) and math.isnan(d.logsf(NAN))
    for query in (d.ppf, d.isf):
        assert sample_error(lambda: query(NAN)) == "quantile u=NaN not in (0, 1)"
    assert sample_error(lambda: d.interval(NAN)) == "confidence NaN must be in (0, 1)"


@pytest.mark.parametrize("tolerance", [0.0, -1.0, NAN])
def test_unreachable_integration_tolerances_still_end(tolerance):
    d = v.from_pdf_with_options(phi, I(-5.0, 5.0), v.BuildOptions(quad_tolerance=tolerance))
    assert d.cdf(0.3) == pytest.approx(normal_cdf(0.3), abs=1e-12)
    b = v.from_pdf_with_options(beta22, I(0.0, 1.0), v.BuildOptions(quad_tolerance=tolerance))
    assert b.ppf(0.5) == 0.5  # cdf(0.5) is exact, so the first bisection step meets any target


def test_zero_iterations_stop_every_inversion_at_the_midpoint(built):
    d = v.from_cdf_with_options(lambda x: x ** 3, I(-5.0, 3.0), v.BuildOptions(max_iterations=0))
    assert [d.ppf(u) for u in (0.01, 0.5, 0.99)] == [-1.0, -1.0, -1.0]
    # From a density, the check model sees that the midpoint is no quantile, and answers
    # (a table's nodes come from it) with the quantile of the normal cut to [-5, 3].
    bisect_only = v.BuildOptions(max_iterations=0, use_newton=False)
    n = NormalDist()
    cut = n.cdf(3.0) - n.cdf(-5.0)
    plain = v.from_pdf_with_options(phi, I(-5.0, 3.0), bisect_only)
    table = v.from_pdf_with_options(phi, I(-5.0, 3.0),
                                    v.BuildOptions(max_iterations=0, hermite_grid_size=8))
    nodes = [(i / 7) * 0.999999999998 + 1e-12 for i in range(1, 7)]  # the table's probabilities
    for d, us in ((plain, (0.01, 0.5, 0.99)), (table, nodes)):
        for u in us:
            assert d.ppf(u) == pytest.approx(n.inv_cdf(n.cdf(-5.0) + u * cut), abs=1e-8)
    # Newton still polishes the midpoint
    newton = v.from_pdf_with_options(phi, I(-5.0, 5.0), v.BuildOptions(max_iterations=0))
    assert newton.ppf(0.3) == pytest.approx(built("normal").ppf(0.3), abs=1e-9)


@pytest.mark.parametrize("f, support", [
    (lambda x: 1.0 / math.sqrt(x), I(0.0, 1.0)),               # raises at lo
    (lambda x: INF if x == 0.0 else x ** -0.5, I(0.0, 1.0)),   # inf at lo
    (lambda x: 1.0 / math.sqrt(1.0 - x), I(0.0, 1.0)),         # raises at hi
    (lambda x: INF if x == 1.0 else (1.0 - x) ** -0.5, I(0.0, 1.0)),
    (lambda x: 1.0 / math.sqrt(abs(x)), I(-1.0, 1.0)),         # raises at the first midpoint
    (lambda x: INF if x == 0.0 else abs(x) ** -0.5, I(-1.0, 1.0)),
], ids=["raise_lo", "inf_lo", "raise_hi", "inf_hi", "raise_inside", "inf_inside"])
def test_a_pole_on_an_evaluation_point_fails_to_normalize(f, support):
    assert build_error(lambda: v.from_pdf(f, support)) == NORMALIZE


def test_an_integrable_pole_with_a_finite_value_there_builds():
    d = v.from_pdf(lambda x: 0.0 if x == 0.0 else abs(x) ** -0.5, I(-1.0, 1.0))  # norm 4
    assert d.pdf(0.25) == pytest.approx(0.5, rel=1e-6)
    assert d.cdf(0.25) == pytest.approx(0.75, abs=1e-6)
    assert d.cdf(0.0) == pytest.approx(0.5, abs=1e-6)


def test_a_failing_draw_is_reported_whatever_the_batch_size():
    broken = []
    d = v.from_cdf(lambda x: math.nan if broken else x, v.Interval(0.0, 1.0))
    broken.append(True)  # from now on every draw fails its inversion
    for n in (1, 2**40):
        with pytest.raises(v.SampleError, match=error_text("failed to invert CDF")):
            d.sample_n(n, seed=1)

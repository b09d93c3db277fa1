"""ContinuousDistribution through Python: construction, queries, user callables, the engines
(inversion, Hermite table, TDR), histograms, truncation and location-scale, and bad input."""
import bisect
import math
import sys
import threading
from fractions import Fraction
from statistics import NormalDist

import pytest

import _varnix as v

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


def raise_keyboard_interrupt(x):
    raise KeyboardInterrupt


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


@pytest.fixture(scope="module")
def normal():
    return v.from_pdf(phi, I(-5.0, 5.0))


@pytest.fixture(scope="module")
def normal_hermite():
    return v.from_pdf_with_options(phi, I(-5.0, 5.0), v.BuildOptions.hermite(128))


@pytest.fixture(scope="module")
def normal_tdr_log():
    return v.from_pdf_with_options(phi, I(-5.0, 5.0), v.BuildOptions.tdr("log"))


@pytest.fixture(scope="module")
def normal_tdr_inv_sqrt():
    return v.from_pdf_with_options(phi, I(-5.0, 5.0), v.BuildOptions.tdr("inv_sqrt"))


@pytest.fixture(scope="module")
def normal_tdr_dpdf():
    return v.from_pdf_dpdf(phi, dphi, I(-5.0, 5.0), v.BuildOptions.tdr("log"))


@pytest.fixture(scope="module")
def beta_inversion():
    return v.from_pdf(beta22, I(0.0, 1.0))


@pytest.fixture(scope="module")
def uniform_cdf():
    return v.from_cdf(lambda x: x, I(0.0, 1.0))


@pytest.fixture(scope="module")
def hist_inversion():
    return v.from_histogram(HIST_EDGES, HIST_COUNTS)


@pytest.fixture(scope="module")
def hist_hermite():
    return v.from_histogram(HIST_EDGES, HIST_COUNTS, options=v.BuildOptions.hermite(256))


@pytest.fixture(scope="module")
def hist_tdr_inv_sqrt():
    return v.from_histogram(HIST_EDGES, HIST_COUNTS, options=v.BuildOptions.tdr("inv_sqrt"))


@pytest.fixture(scope="module")
def truncated_tdr_log():
    return v.truncated(phi, I(-5.0, 5.0), I(-1.0, 2.0), v.BuildOptions.tdr("log"))


# ---- construction ------------------------------------------------------------------------

BAD_FUNCTIONS = [
    (lambda x: 0.0, "zero"),
    (lambda x: -1.0, "negative"),
    (lambda x: NAN if x == 0.0 else 1.0, "nan_at_lo"),
    (lambda x: 1.0 / x, "raises_at_lo"),
    (raise_value_error, "raises"),
    (raise_keyboard_interrupt, "interrupt"),
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
    (lambda: v.from_pdf_dpdf(phi, dphi, I(0.0, 1.0), I(0.0, 1.0)),
     "argument 'options': 'Interval' object cannot be converted to 'BuildOptions'"),
    (lambda: v.truncated(phi, None, (0.0, 1.0)),
     "argument 'interval': 'NoneType' object cannot be converted to 'Interval'"),
    (lambda: v.truncated(phi, I(0.0, 1.0), (0.0, 1.0)),
     "argument 'trunc_interval': 'tuple' object cannot be converted to 'Interval'"),
    (lambda: v.from_pdf_loc_scale(phi, I(0.0, 1.0), "a", None),
     "argument 'loc': must be real number, not str"),
    (lambda: v.from_pdf_loc_scale(phi, I(0.0, 1.0), 0.0, None),
     "argument 'scale': must be real number, not NoneType"),
    (lambda: v.from_histogram("0123", [1.0, 1.0, 1.0]),
     "argument 'edges': Can't extract `str` to `Vec`"),
    (lambda: v.from_histogram([0.0, 1.0], "1"),
     "argument 'counts': Can't extract `str` to `Vec`"),
    (lambda: v.from_histogram(5, [1.0]),
     "argument 'edges': 'int' object cannot be converted to 'Sequence'"),
    (lambda: v.from_histogram([0.0, 1.0], [1.0], 1),
     "argument 'density': 'int' object cannot be converted to 'PyBool'"),
    (lambda: v.from_pdf(phi, I(0.0, 1.0)).ppf("0.5"),
     "argument 'u': must be real number, not str"),
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


def test_quantiles_of_a_tdr_distribution_use_newton_at_default_settings(normal, normal_tdr_log):
    for u in (1e-6, 0.3, 0.5, 0.95):
        assert normal_tdr_log.ppf(u) == normal.ppf(u)


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


def test_cdf_and_pdf_of_a_density_match_the_closed_form(normal):
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
def test_the_quantile_guard_names_the_probability(normal, uniform_cdf, normal_hermite, u, shown):
    text = f"quantile u={shown} not in (0, 1)"
    for d in (normal, uniform_cdf, normal_hermite):
        assert sample_error(lambda: d.ppf(u)) == text
        assert sample_error(lambda: d.isf(1.0 - u)) == text  # isf reports the complement


def test_isf_inverts_the_complement(normal):
    assert sample_error(lambda: normal.isf(0.0)) == "quantile u=1 not in (0, 1)"
    assert sample_error(lambda: normal.isf(1e-17)) == "quantile u=1 not in (0, 1)"
    assert normal.isf(0.25) == normal.ppf(0.75)


def test_quantile_of_a_cdf_source_bisects_the_user_cdf():
    newton = v.from_cdf(lambda x: x * x, I(0.0, 1.0))
    plain = v.from_cdf_with_options(lambda x: x * x, I(0.0, 1.0), v.BuildOptions(use_newton=False))
    for u in (0.01, 0.25, 0.5, 0.81):
        assert newton.ppf(u) == plain.ppf(u) == pytest.approx(math.sqrt(u), abs=1e-11)


@pytest.mark.parametrize("engine", ["beta_inversion", "normal_hermite", "normal_tdr_log",
                                    "normal_tdr_inv_sqrt", "uniform_cdf", "hist_inversion"])
def test_seeded_draws_are_reproducible_and_prefix_consistent(request, engine):
    d = request.getfixturevalue(engine)
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


def test_seeded_draws_agree_across_threads(normal_tdr_log, normal_hermite):
    engines = (normal_tdr_log, normal_hermite)
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

    for transform in ("inv_sqrt", "log"):
        broken["now"] = False
        d = v.from_pdf_with_options(lambda x: pdf(x) * (1.0 + x), I(0.0, 1.0),
                                    v.BuildOptions.tdr(transform))
        broken["now"] = True
        assert sample_error(lambda: d.sample_n(2, seed=3)) == "tdr failed to draw a sample"
        assert sample_error(d.sample) == "tdr failed to draw a sample"


def test_sample_n_counts_are_unsigned_and_bounded_by_memory(normal_hermite):
    for n in (2**62, 2**64 - 1):  # beyond what any list can hold: MemoryError, as in Python
        with pytest.raises(MemoryError):
            normal_hermite.sample_n(n, seed=1)
    with pytest.raises(OverflowError):
        normal_hermite.sample_n(-1)
    with pytest.raises(OverflowError):
        normal_hermite.sample_n(1, seed=2**64)
    assert len(normal_hermite.sample_n(1, seed=2**64 - 1)) == 1


# ---- user callables ----------------------------------------------------------------------


@pytest.mark.parametrize("bad", [raise_value_error, raise_keyboard_interrupt, lambda x: None,
                                 lambda x: "0.5", lambda x: NAN],
                         ids=["raises", "interrupt", "none", "str", "nan"])
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

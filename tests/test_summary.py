"""Summary statistics of ContinuousDistribution: moments, entropy, median, central intervals and
expectations, with their failures."""
import math
from statistics import NormalDist

import pytest

import _varnix as v

I = v.Interval
NAN = float("nan")
STD = NormalDist()


def phi(x):
    return math.exp(-0.5 * x * x)


def sample_error(call):
    with pytest.raises(v.SampleError) as info:
        call()
    return str(info.value)


@pytest.fixture(scope="module")
def uniform():
    return v.from_pdf(lambda x: 1.0, I(0.0, 1.0))


@pytest.fixture(scope="module")
def uniform_cdf():
    return v.from_cdf(lambda x: x, I(0.0, 1.0))


def test_summaries_of_the_uniform_density(uniform):
    assert uniform.mean() == pytest.approx(0.5, abs=1e-12)
    assert uniform.var() == pytest.approx(1.0 / 12.0, abs=1e-12)
    assert uniform.std() == pytest.approx(math.sqrt(1.0 / 12.0), abs=1e-12)
    assert uniform.entropy() == pytest.approx(0.0, abs=1e-12)
    assert uniform.median() == 0.5
    assert uniform.interval(0.5) == (0.25, 0.75)
    assert v.from_pdf(lambda x: 1.0, I(0.0, 2.0)).entropy() == pytest.approx(math.log(2.0),
                                                                             abs=1e-12)


@pytest.mark.parametrize("confidence, shown", [(0.0, "0"), (1.0, "1"), (NAN, "NaN"), (2, "2"),
                                               (-0.5, "-0.5")])
def test_interval_refuses_confidence_outside_the_open_unit_interval(uniform, uniform_cdf,
                                                                    confidence, shown):
    for d in (uniform, uniform_cdf):
        assert sample_error(lambda: d.interval(confidence)) == \
            f"confidence {shown} must be in (0, 1)"


@pytest.mark.parametrize("offset", [0.0, 1e6, 1e8, 1e10, -3e10])
def test_variance_is_never_negative(offset):
    # the moments of a narrow distribution far from 0 cancel in m2 - m1 * m1
    d = v.from_pdf(lambda x: 1.0, I(offset, offset + 1e-3))
    var, std = d.var(), d.std()
    assert var >= 0.0 and std >= 0.0
    assert std == pytest.approx(math.sqrt(var), rel=1e-15)


def test_moments_of_a_truncated_normal_match_the_closed_form():
    a, b = -1.0, 2.0
    d = v.truncated(phi, I(-5.0, 5.0), I(a, b))
    z = STD.cdf(b) - STD.cdf(a)
    mean = (STD.pdf(a) - STD.pdf(b)) / z
    var = 1.0 + (a * STD.pdf(a) - b * STD.pdf(b)) / z - mean * mean
    assert d.mean() == pytest.approx(mean, abs=1e-8)
    assert d.var() == pytest.approx(var, abs=1e-8)
    assert d.std() == pytest.approx(math.sqrt(var), abs=1e-8)


def test_moments_of_a_histogram_match_the_closed_form():
    edges, counts = [0.0, 1.0, 1.5, 3.0], [2.0, 5.0, 1.0]
    total = sum(counts)
    mean = sum(c / total * (l + r) / 2 for c, l, r in zip(counts, edges, edges[1:]))
    m2 = sum(c / total * (l * l + l * r + r * r) / 3 for c, l, r in zip(counts, edges, edges[1:]))
    entropy = -sum(c / total * math.log(c / total / (r - l))
                   for c, l, r in zip(counts, edges, edges[1:]))
    d = v.from_histogram(edges, counts)
    assert d.mean() == pytest.approx(mean, abs=1e-8)
    assert d.var() == pytest.approx(m2 - mean * mean, abs=1e-8)
    assert d.entropy() == pytest.approx(entropy, abs=1e-8)


def test_location_scale_moves_the_mean_and_scales_the_spread():
    base = v.from_pdf(phi, I(-5.0, 5.0))
    d = v.from_pdf_loc_scale(phi, I(-5.0, 5.0), 3.0, 2.0)
    assert d.mean() == pytest.approx(3.0, abs=1e-8)
    assert d.std() == pytest.approx(2.0 * base.std(), abs=1e-8)
    assert d.entropy() == pytest.approx(base.entropy() + math.log(2.0), abs=1e-8)


@pytest.mark.parametrize("options", [None, v.BuildOptions.hermite(32), v.BuildOptions.tdr("log")],
                         ids=["inversion", "hermite", "tdr"])
def test_median_and_interval_are_quantiles_of_the_engine(options):
    d = v.from_pdf_dpdf(phi, lambda x: -x * phi(x), I(-5.0, 5.0), options)
    assert d.median() == d.ppf(0.5)
    lower, upper = d.interval(0.9)
    assert (lower, upper) == (d.ppf((1.0 - 0.9) * 0.5), d.ppf(1.0 - (1.0 - 0.9) * 0.5))


def test_interval_brackets_the_requested_mass():
    d = v.from_pdf(phi, I(-5.0, 5.0))
    lower, upper = d.interval(0.9)
    assert d.cdf(upper) - d.cdf(lower) == pytest.approx(0.9, abs=1e-10)
    tail = STD.cdf(-5.0)  # the normal is cut at -5 and 5
    assert upper == pytest.approx(STD.inv_cdf(tail + 0.95 * (1.0 - 2.0 * tail)), abs=1e-9)
    assert lower == pytest.approx(-upper, abs=1e-9)


def test_expect_integrates_against_the_density(uniform):
    assert uniform.expect(lambda x: 1.0) == pytest.approx(1.0, abs=1e-12)
    assert uniform.expect(lambda x: x * x) == pytest.approx(1.0 / 3.0, abs=1e-12)
    assert uniform.expect(lambda x: -1) == pytest.approx(-1.0, abs=1e-12)


def raise_value_error(x):
    raise ValueError


@pytest.mark.parametrize("func", [raise_value_error, lambda x: NAN if x == 0.0 else 1.0,
                                  lambda x: None, lambda x: "1", 5,
                                  lambda x: math.inf if x == 0.5 else 1.0],
                         ids=["raises", "nan_at_lo", "none", "str", "not_callable", "inf"])
def test_expect_of_an_unusable_function_fails(uniform, func):
    assert sample_error(lambda: uniform.expect(func)) == "numerical integration failed"


def test_expect_calls_the_function_where_the_density_is_zero():
    d = v.from_histogram([0.0, 1.0, 2.0], [1.0, 0.0])
    assert sample_error(lambda: d.expect(lambda x: NAN if x > 1.0 else x)) == \
        "numerical integration failed"


def test_a_density_failing_after_construction_ends_the_moments_but_not_the_entropy():
    broken = {"now": False}

    def pdf(x):
        if broken["now"]:
            raise RuntimeError("gone")
        return 1.0

    d = v.from_pdf(pdf, I(0.0, 1.0))
    broken["now"] = True
    for summary in (d.mean, d.var, d.std, lambda: d.expect(lambda x: 1.0)):
        assert sample_error(summary) == "numerical integration failed"
    assert d.entropy() == 0.0  # a NaN density counts as no density


def test_a_cdf_source_has_quantile_summaries_only(uniform_cdf):
    calls = []
    required = "operation requires an underlying PDF"
    for summary in (uniform_cdf.mean, uniform_cdf.var, uniform_cdf.std,
                    lambda: uniform_cdf.expect(calls.append)):
        assert sample_error(summary) == required
    assert calls == []
    # No density to integrate without the interpolated engine: refused, not a 0 (the entropy
    # from the interpolated quantile function is tested with that engine).
    assert sample_error(uniform_cdf.entropy).startswith("entropy needs a density")
    assert uniform_cdf.median() == 0.5
    assert uniform_cdf.interval(0.5) == (0.25, 0.75)

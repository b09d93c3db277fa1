"""Monte Carlo normalising constant and multivariate distribution function."""
import math

import pytest

import _varnix as v
from helpers import counting, error_text

UNIT2 = v.HyperRect([0.0, 0.0], [1.0, 1.0])



@pytest.mark.parametrize("lo, hi, x, expected", [
    ([0, 0], [1, 1], [0.5, 0.5], 0.25),
    ([0, 0], [1, 1], [2, 2], 1.0),
    ([0, 0], [1, 1], [0.5, 7], 0.5),
    ([0, 0], [2, 4], [1, 1], 0.125),
    ([-1], [3], [0], 0.25),
])
def test_constant_density_gives_exact_volumes(lo, hi, x, expected):
    e = v.cdf_mc_estimator(lambda *p: 1.0, v.HyperRect(lo, hi), 500, 500)
    assert e.estimate_normalization() == math.prod(h - l for l, h in zip(lo, hi))
    assert e.cdf(x) == expected


def test_point_below_the_box_gives_zero_after_evaluating_at_the_lower_bound():
    f = counting(lambda x, y: 1.0)
    e = v.cdf_mc_estimator(f, UNIT2, 10, 40)
    e.estimate_normalization(seed=1)
    f.calls.clear()
    assert e.cdf([-1, 0.5], seed=2) == 0.0
    assert len(f.calls) == 40 and all(p[0] == 0.0 and 0 <= p[1] <= 0.5 for p in f.calls)
    # The fixed coordinate draws no uniform: the second coordinates are the seeded stream's
    # first 40 uniforms, which a one-dimensional estimator over [0, 0.5] draws in turn.
    g = counting(lambda y: 1.0)
    one = v.cdf_mc_estimator(g, v.HyperRect([0.0], [0.5]), 40, 40)
    one.estimate_normalization(seed=2)
    assert [p[1] for p in f.calls] == [p[0] for p in g.calls]


def test_wrong_length_point_fails_before_anything_is_evaluated():
    f = counting(lambda x, y: 1.0)
    e = v.cdf_mc_estimator(f, UNIT2, 10, 10)
    for x in ([0.5], [0.5, 0.5, 0.5], []):
        with pytest.raises(v.SampleError, match="^numerical integration failed$"):
            e.cdf(x)
    assert f.calls == []


@pytest.mark.parametrize("f", [lambda x, y: 0.0, lambda x, y: -1.0, lambda x, y: math.nan,
                               lambda x, y: math.inf, lambda x, y: 1 / 0, None],
                         ids=["zero", "negative", "nan", "inf", "raising", "not-callable"])
def test_density_without_mass_fails_in_both_methods(f):
    e = v.cdf_mc_estimator(f, UNIT2, 50, 50)
    for call in (e.estimate_normalization, lambda: e.cdf([0.5, 0.5])):
        with pytest.raises(v.SampleError, match=error_text("numerical integration failed")):
            call()


def test_failed_estimate_keeps_the_cached_normalisation():
    state = {"density": lambda x, y: 2.0}
    e = v.cdf_mc_estimator(lambda x, y: state["density"](x, y), UNIT2, 20, 20)
    assert e.estimate_normalization() == 2.0
    state["density"] = lambda x, y: 0.0
    with pytest.raises(v.SampleError):
        e.estimate_normalization()
    state["density"] = lambda x, y: 1.0
    assert e.cdf([0.5, 0.5]) == 0.125  # still divided by the cached 2.0


@pytest.mark.parametrize("normalization_samples, cdf_samples, calls", [
    (0, 0, (1, 1)), (0, 3, (1, 3)), (4, 0, (4, 1)),
])
def test_zero_sample_counts_act_as_one(normalization_samples, cdf_samples, calls):
    f = counting(lambda x, y: 1.0 + x)
    e = v.cdf_mc_estimator(f, UNIT2, normalization_samples, cdf_samples)
    e.estimate_normalization(seed=1)
    after_estimate = len(f.calls)
    e.cdf([0.5, 0.5], seed=1)
    assert (after_estimate, len(f.calls) - after_estimate) == calls


def test_first_cdf_estimates_and_caches_the_normalisation_from_the_same_stream():
    n, m = 30, 20
    f = counting(lambda x, y: 1.0 + x * y)
    e = v.cdf_mc_estimator(f, UNIT2, n, m)
    first = e.cdf([0.5, 0.5], seed=4)
    assert len(f.calls) == n + m
    normalisation_points, first_points = f.calls[:n], f.calls[n:]
    f.calls.clear()
    second = e.cdf([0.5, 0.5], seed=4)
    assert len(f.calls) == m  # the cached constant is reused
    # Without the estimate in front, the CDF points now come from the start of the stream:
    # the same uniforms that made the first normalisation points, scaled to [0, 0.5].
    assert [tuple(2 * t for t in p) for p in f.calls] == normalisation_points[:m]
    assert f.calls != first_points and second != first
    # estimate_normalization always recomputes and replaces the cached constant.
    z_old = e.estimate_normalization(seed=4)
    z_new = e.estimate_normalization(seed=5)
    assert e.cdf([0.5, 0.5], seed=4) == pytest.approx(second * z_old / z_new, rel=1e-14)


def test_nan_coordinate_means_no_restriction():
    e = v.cdf_mc_estimator(lambda x, y: 1.0 + 3 * x * y, UNIT2, 200, 200)
    e.estimate_normalization(seed=1)
    unrestricted = e.cdf([0.3, 1.0], seed=6)
    assert e.cdf([math.nan, 0.3], seed=6) == e.cdf([1.0, 0.3], seed=6)
    assert e.cdf([0.3, math.nan], seed=6) == unrestricted == e.cdf([0.3, 5.0], seed=6)


def test_product_density_gives_the_product_of_marginal_cdfs():
    # f = 2x * 3y^2 on the unit square: F(a, b) = a^2 * b^3. With 20000 points each of the two
    # estimates has a relative standard error of sqrt(1.4 / 20000), about 0.84%, so their ratio
    # about 1.2%; the bound is five times that.
    e = v.cdf_mc_estimator(lambda x, y: 6 * x * y * y, UNIT2, 20000, 20000)
    assert e.estimate_normalization(seed=10) == pytest.approx(1.0, rel=0.06)
    for seed, (a, b) in enumerate([(0.5, 0.7), (0.9, 0.4), (0.3, 0.95), (0.8, 0.8)]):
        assert e.cdf([a, b], seed=seed) == pytest.approx(a * a * b ** 3, rel=0.06)

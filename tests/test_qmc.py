"""Quasi-random draws: the Sobol points against scipy's, the draws of every engine as quantiles of
those points, the same values for every thread count and split, the gain over independent draws,
and the refusals."""
import math

import pytest

import _varnix as v

np = pytest.importorskip("numpy")
qmc = pytest.importorskip("scipy.stats.qmc")
stats = pytest.importorskip("scipy.stats")

I = v.Interval
_normal = lambda x: math.exp(-0.5 * x * x)  # noqa: E731


@pytest.mark.parametrize("d", range(1, 17))
def test_plain_points_are_scipys_bit_for_bit(d):
    ref = qmc.Sobol(d, scramble=False).random(1024)
    assert np.array_equal(v.sobol_points(1024, d, scramble=False), ref)
    # any start: found from the index alone, as the Gray-code walk would reach it
    assert np.array_equal(v.sobol_points(37, d, start=987, scramble=False), ref[987:])


def test_plain_points_of_the_last_dimension_and_at_the_end_of_the_sequence():
    ref = qmc.Sobol(1111, scramble=False).random(64)
    assert np.array_equal(v.sobol_points(64, 1111, scramble=False), ref)
    # The plain sequence is linear in the index (point i ^ j is point i XOR point j, as
    # binary fractions): the last points against the XOR of two from the middle.
    def words(n, start):
        return (v.sobol_points(n, 3, start=start, scramble=False) * 2.0**32).astype(np.uint64)
    last = words(5, 2**32 - 5)
    assert np.array_equal(last, words(1, 2**31) ^ words(5, 2**31 - 5))


def _interpolated():
    return v.from_pdf_with_options(_normal, I(-8, 8), v.BuildOptions.interpolated())


def _copula():
    marginal = _interpolated()
    c = v.gaussian_copula([[1.0, 0.5], [0.5, 1.0]])
    return c, [marginal.ppf, marginal.ppf]


# engine -> (make, whether its draws call Python, so that they cannot run on threads)
ENGINES = {
    "interpolated": (_interpolated, False),
    "cdf interpolated": (lambda: v.from_cdf_with_options(stats.logistic.cdf, I(-40, 40),
                                                         v.BuildOptions.interpolated()), False),
    "hermite": (lambda: v.from_pdf_with_options(_normal, I(-8, 8), v.BuildOptions.hermite(64)),
                False),
    "histogram": (lambda: v.from_histogram([0.0, 1.0, 2.0, 4.0], [1.0, 3.0, 2.0],
                                           options=v.BuildOptions.hermite(32)), False),
    "discrete": (lambda: v.from_pmf([1.0, 2.0, 5.0], [0.2, 0.5, 0.3]), False),
    "plain inversion": (lambda: v.from_cdf(lambda x: x * x, I(0.0, 1.0)), True),
}


@pytest.mark.parametrize("name", ENGINES)
def test_draws_are_quantiles_of_the_points_for_every_thread_count_and_split(name):
    make, calls_python = ENGINES[name]
    d = make()
    n = 300 if calls_python else 2**17 + 5  # above two parts' worth of draws when threaded
    whole = d.sample_qmc(n, seed=9)
    points = v.sobol_points(n, 1, seed=9)[:, 0]
    assert np.array_equal(whole, d.ppf(points))
    assert np.array_equal(d.sample_qmc(n, seed=9, threads=1), whole)
    assert np.array_equal(d.sample_qmc(n, seed=9, threads=3), whole)
    cut = n // 3 + 1
    parts = [d.sample_qmc(cut, seed=9), d.sample_qmc(n - cut, seed=9, start=cut, threads=2)]
    assert np.array_equal(np.concatenate(parts), whole)
    assert not np.array_equal(d.sample_qmc(n, seed=10), whole)


def test_copula_rows_are_the_points_through_normal_scores_for_every_split():
    c, ppfs = _copula()
    n = 4096
    whole = c.sample_qmc(n, ppfs, seed=3)
    assert whole.shape == (n, 2)
    parts = [c.sample_qmc(1000, ppfs, seed=3), c.sample_qmc(n - 1000, ppfs, seed=3, start=1000)]
    assert np.array_equal(np.concatenate(parts), whole)
    # With identity quantile functions a row is the copula's normal cdf of the correlated
    # normal scores of the point: within that cdf's 1.2e-7 of the exact values.
    u = v.sobol_points(n, 2, seed=3)
    z = stats.norm.ppf(u)
    z[:, 1] = 0.5 * z[:, 0] + math.sqrt(0.75) * z[:, 1]
    rows = c.sample_qmc(n, [lambda x: x, lambda x: x], seed=3)
    assert np.max(np.abs(rows - stats.norm.cdf(z))) < 2e-7


def test_plain_points_start_at_zero_which_the_interpolated_engine_maps_to_its_lower_end():
    d = _interpolated()
    x = d.sample_qmc(4, scramble=False)
    assert x[0] == -8.0 and x[1] == pytest.approx(0.0, abs=1e-12)
    assert np.array_equal(x[1:], d.ppf(v.sobol_points(4, 1, scramble=False)[1:, 0]))
    c, ppfs = _copula()
    first = c.sample_qmc(2, ppfs, scramble=False)[0]
    assert np.all(np.isfinite(first)) and np.all(first < -6.0)  # the cube's corner, floored
    # the other engines refuse u = 0 as their ppf does, and take the sequence from point 1 on
    hermite = ENGINES["hermite"][0]()
    with pytest.raises(v.SampleError, match=r"quantile u=0 not in \(0, 1\)"):
        hermite.sample_qmc(4, scramble=False)
    assert len(hermite.sample_qmc(3, start=1, scramble=False)) == 3


def test_the_error_of_a_mean_is_far_below_that_of_independent_draws():
    d = _interpolated()
    c, ppfs = _copula()
    exact_exp = math.exp(0.5)  # E[exp(X)] of a normal (the cut at 8 changes it by 1e-12)
    n = 2**16
    errors = {"qmc": [], "iid": [], "copula qmc": [], "copula iid": []}
    for seed in range(20):
        errors["qmc"].append(abs(np.mean(d.sample_qmc(n, seed=seed) ** 2) - 1.0))
        errors["iid"].append(abs(np.mean(d.sample_array(n, seed=seed) ** 2) - 1.0))
        errors["copula qmc"].append(
            abs(np.mean(np.exp(c.sample_qmc(n, ppfs, seed=seed))) - exact_exp))
        errors["copula iid"].append(
            abs(np.mean(np.exp(c.sample_array(n, ppfs, seed=seed))) - exact_exp))
    mean = {k: float(np.mean(e)) for k, e in errors.items()}
    assert mean["qmc"] * 10 < mean["iid"], mean
    assert mean["copula qmc"] * 10 < mean["copula iid"], mean


# The texts of the refusals are checked with the guide's table of exceptions (test_docs.py);
# here, the same checks reached from the other entry points.
@pytest.mark.parametrize("call, error, text", [
    (lambda: v.sobol_points(4, 0), ValueError, r"from 1 to 1111 dimensions, asked for 0"),
    (lambda: _interpolated().sample_qmc(2**32 + 1, seed=1), ValueError,
     r"points 0 to 0 \+ 4294967297 run past the end of the Sobol sequence"),
    (lambda: _interpolated().sample_qmc(4, start=4), ValueError, r"start=4 needs a seed"),
    (lambda: v.gaussian_copula([[1.0]]).sample_qmc(4, [], seed=1), v.SampleError,
     r"mcmc sampler failed"),
])
def test_refusals(call, error, text):
    with pytest.raises(error, match=text):
        call()


@pytest.mark.parametrize("n", [0, 1, 3, 1000])
def test_any_count_is_drawn_and_the_plain_sequence_needs_no_seed(n):
    d = _interpolated()
    assert d.sample_qmc(n, seed=1).shape == (n,)
    # without a seed: plain points are the same every call, scrambled ones differ
    assert np.array_equal(d.sample_qmc(n, start=5, scramble=False),
                          d.sample_qmc(n, start=5, scramble=False))
    if n > 1:
        assert not np.array_equal(d.sample_qmc(n), d.sample_qmc(n))

"""Gaussian copula: factorisation of the correlation matrix and draws through user quantiles."""
import math
from statistics import NormalDist

import pytest

import _varnix as v
from helpers import error_text

PHI = NormalDist()
IDENTITY = (lambda u: u)
U_MIN, U_MAX = 1e-12, 0.999999999999


@pytest.mark.parametrize("corr", [
    [],
    [[1, 0.5]],                    # not square
    [[1, 0], [0.5]],               # rows of different lengths
    [[1, 2], [2, 1]],              # second pivot 1 - 4 < 0
    [[0]],                         # zero pivot
    [[-1]],
    [[1, 0], [math.nan, 1]],       # non-finite below the diagonal spoils the next pivot
    [[1, 0], [math.inf, 1]],
    [[1, 0, 0], [0.9, 1, 0], [0.9, 0.5, 1]],  # fails only at the third pivot
])
def test_matrices_without_a_cholesky_factor_are_refused(corr):
    with pytest.raises(ValueError) as info:
        v.gaussian_copula(corr)
    assert type(info.value) is ValueError and str(info.value) == "InvalidCorrelation"


@pytest.mark.parametrize("corr, message", [
    ("ab", "^argument 'corr': Can't extract `str` to `Vec`$"),
    (["10", "01"], "^argument 'corr': Can't extract `str` to `Vec`$"),
    (5, "^argument 'corr': 'int' object cannot be converted to 'Sequence'$"),
    ([[1, "x"], [0.3, 1]], "^argument 'corr': "),  # entries above the diagonal are converted too
])
def test_corr_rows_must_be_float_sequences(corr, message):
    with pytest.raises(TypeError, match=message):
        v.gaussian_copula(corr)


def test_entries_above_the_diagonal_are_ignored():
    ppfs = [PHI.inv_cdf, PHI.inv_cdf]
    a = v.gaussian_copula([[1, 99], [0.3, 1]])
    b = v.gaussian_copula([[1, 0.3], [0.3, 1]])
    assert a.dim() == b.dim() == 2
    for seed in range(5):
        assert a.sample(ppfs, seed=seed) == b.sample(ppfs, seed=seed) == b.sample(ppfs, seed=seed)
    assert a.sample(ppfs, seed=1) != a.sample(ppfs, seed=2)


def test_wrong_number_of_quantiles_fails_without_calling_them():
    calls = []
    c = v.gaussian_copula([[1, 0], [0, 1]])
    with pytest.raises(v.SampleError, match=error_text("mcmc sampler failed")):
        c.sample([lambda u: calls.append(u) or u], seed=1)
    assert calls == []
    with pytest.raises(TypeError, match="^argument 'ppfs': Can't extract `str` to `Vec`$"):
        c.sample("ab")


@pytest.mark.parametrize("second", [lambda u: 1 / 0, lambda u: "q", lambda u: None, 42],
                         ids=["raising", "str", "none", "not-callable"])
def test_failing_quantile_ends_the_draw_after_the_earlier_ones_ran(second):
    calls = []
    c = v.gaussian_copula([[1, 0, 0], [0, 1, 0], [0, 0, 1]])
    ppfs = [lambda u: calls.append(0) or u, second, lambda u: calls.append(2) or u]
    with pytest.raises(v.SampleError, match=error_text("failed to invert CDF")):
        c.sample(ppfs, seed=3)
    assert calls == [0]


def test_quantiles_receive_probabilities_clamped_inside_the_unit_interval():
    # A variance of 1e4 puts nearly every normal far in a tail, where the clamp takes over.
    wide = v.gaussian_copula([[1e4]])
    us = [wide.sample([IDENTITY], seed=s)[0] for s in range(200)]
    assert min(us) == U_MIN and max(us) == U_MAX
    plain = v.gaussian_copula([[1, 0], [0, 1]])
    us = [u for s in range(200) for u in plain.sample([IDENTITY, IDENTITY], seed=s)]
    assert all(U_MIN <= u <= U_MAX for u in us)
    assert 0.4 < sum(us) / len(us) < 0.6


def test_diagonal_is_not_normalised():
    # [[4]] scales the normal by 2: u = Phi(2 z) where [[1]] gives Phi(z) from the same seed.
    # The copula's Phi is an approximation with an absolute error near 1.2e-7; mapped through
    # Phi(2 Phi^-1(.)) that error grows at most by a factor of 2.
    one, four = v.gaussian_copula([[1]]), v.gaussian_copula([[4]])
    far = 0
    for seed in range(100):
        (u1,), (u4,) = one.sample([IDENTITY], seed=seed), four.sample([IDENTITY], seed=seed)
        assert abs(u4 - PHI.cdf(2 * PHI.inv_cdf(u1))) < 1e-6
        far += abs(u4 - u1) > 0.05
    assert far > 50


def test_normal_quantiles_reproduce_the_correlation():
    corr = [[1, 0.5, 0.3], [0.5, 1, -0.4], [0.3, -0.4, 1]]
    c = v.gaussian_copula(corr)
    n = 3000
    xs = [c.sample([PHI.inv_cdf] * 3, seed=s) for s in range(n)]
    means = [sum(x[i] for x in xs) / n for i in range(3)]
    for i in range(3):
        assert abs(means[i]) < 5 / math.sqrt(n)
        for j in range(i + 1):
            cov = sum((x[i] - means[i]) * (x[j] - means[j]) for x in xs) / n
            # Standard error of a sample covariance of unit normals: at most sqrt(2 / n).
            assert abs(cov - corr[i][j]) < 5 * math.sqrt(2 / n), (i, j, cov)

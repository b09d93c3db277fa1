"""The lists of points the box samplers return: values equal to the array fill's, and every
row a list of its own even where rows share their coordinates."""
import array
import gc
import math

import pytest

import varnix as v


def gauss(*x):
    return math.exp(-0.5 * sum(t * t for t in x))


def make(kind, d):
    box = v.HyperRect([-3.0] * d, [3.0] * d)
    if kind == "rejection":
        return v.rejection_sampler(gauss, box, 1.0)
    chain = (v.metropolis_hastings(gauss, box, burn_in=3, thin=2) if kind == "mh"
             else v.hmc_sampler(gauss, box, leapfrog_steps=2))
    chain.init(seed=7)
    return chain


@pytest.mark.parametrize("kind", ["rejection", "mh", "hmc"])
@pytest.mark.parametrize("d", [1, 2, 3, 10])
def test_lists_hold_the_values_of_the_fill_and_are_independent(kind, d):
    n = 300
    a, b = make(kind, d), make(kind, d)
    rows = a.sample_n(n, seed=11)
    out = array.array("d", bytes(8 * n * d))
    b.sample_into(out, seed=11)
    assert [x for row in rows for x in row] == list(out)
    assert all(type(x) is float for row in rows for x in row)
    if kind == "mh":  # the chain repeats points; the repeats must be lists of their own
        assert any(rows[k] == rows[k + 1] for k in range(n - 1))
    assert len({id(row) for row in rows}) == n
    # Built out of the collector's sight or not, the lists come back tracked like any other:
    # a row that later joins a cycle must be collectable.
    assert gc.is_tracked(rows) and all(gc.is_tracked(row) for row in rows)
    rows[0][0] = "changed"
    assert all(row[0] != "changed" for row in rows[1:])

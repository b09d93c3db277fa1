"""Gibbs sweeps and conditional factorisation: samplers driven by user coordinate samplers."""
import math

import pytest

import _varnix as v

UNIT2 = v.HyperRect([0.0, 0.0], [1.0, 1.0])


def recording(result):
    """A coordinate sampler recording (i, list) of each call; result(k, i, x) is returned for the
    k-th call."""
    def f(i, x):
        f.calls.append((i, list(x)))
        f.lists.append(x)
        return result(len(f.calls), i, x)
    f.calls, f.lists = [], []
    return f


@pytest.mark.parametrize("init", [[0.5], [0.1, 0.2, 0.3], []])
def test_gibbs_init_must_have_one_value_per_coordinate(init):
    with pytest.raises(v.SampleError, match="^mcmc sampler failed$"):
        v.gibbs_sampler(lambda i, x: 0.0, UNIT2, init)


def test_gibbs_sweeps_coordinates_in_order_and_each_call_sees_the_updates():
    f = recording(lambda k, i, x: float(k))
    g = v.gibbs_sampler(f, UNIT2, (0.25, 0.75), sweeps_per_sample=3)
    assert g.step() == [5.0, 6.0]
    assert f.calls == [(0, [0.25, 0.75]), (1, [1.0, 0.75]), (0, [1.0, 2.0]),
                       (1, [3.0, 2.0]), (0, [3.0, 4.0]), (1, [5.0, 4.0])]
    assert len({id(x) for x in f.lists}) == 6  # a fresh list for every call
    assert g.sample() == [11.0, 12.0]  # sample() is the same operation: the chain goes on


def test_gibbs_state_is_not_the_list_handed_to_the_callable():
    def meddle(i, x):
        x[0] = x[1] = 99.0
        return 1.0 + i
    assert v.gibbs_sampler(meddle, UNIT2, [0.0, 0.0]).step() == [1.0, 2.0]


def test_gibbs_with_zero_sweeps_returns_the_state_without_calls():
    f = recording(lambda k, i, x: 0.0)
    assert v.gibbs_sampler(f, UNIT2, [0.5, 0.5], sweeps_per_sample=0).step() == [0.5, 0.5]
    assert f.calls == []


@pytest.mark.parametrize("bad", [lambda: 1 / 0, lambda: "x", lambda: None])
def test_gibbs_failing_coordinate_sampler_leaves_nan_and_the_sweep_goes_on(bad):
    f = recording(lambda k, i, x: bad() if i == 0 else 7.0)
    state = v.gibbs_sampler(f, UNIT2, [0.5, 0.5]).step()
    assert math.isnan(state[0]) and state[1] == 7.0
    assert math.isnan(f.calls[1][1][0])  # coordinate 1 was sampled given the NaN


def test_gibbs_init_is_taken_as_is_even_outside_the_box():
    f = recording(lambda k, i, x: 0.5)
    v.gibbs_sampler(f, UNIT2, [5, math.nan]).step()
    assert f.calls[0][0] == 0 and f.calls[0][1][0] == 5.0 and math.isnan(f.calls[0][1][1])


def test_gibbs_init_items_are_converted_after_the_other_arguments():
    with pytest.raises(TypeError, match="^argument 'init': 'int' object cannot be converted to "
                                        "'Sequence'$"):
        v.gibbs_sampler(None, UNIT2, 3)
    # An item that is not a number raises Python's own error, without the argument name, but
    # only once sweeps_per_sample has been converted.
    with pytest.raises(OverflowError):
        v.gibbs_sampler(None, UNIT2, ["a", 1], sweeps_per_sample=-1)
    with pytest.raises(TypeError) as info:
        v.gibbs_sampler(None, UNIT2, ["a", 1])
    assert not str(info.value).startswith("argument")


def test_conditional_sampler_passes_the_growing_prefix():
    f = recording(lambda k, i, prefix: 10.0 * k + i)
    s = v.conditional_factorization_sampler(f, 3)
    assert s.sample() == [10.0, 21.0, 32.0]
    assert f.calls == [(0, []), (1, [10.0]), (2, [10.0, 21.0])]
    assert s.sample_n(2) == [[40.0, 51.0, 62.0], [70.0, 81.0, 92.0]]
    assert [c[1] for c in f.calls[3:6]] == [[], [40.0], [40.0, 51.0]]


def test_conditional_sampler_failure_becomes_nan_in_the_point_and_the_prefix():
    f = recording(lambda k, i, prefix: 1 / 0 if i == 1 else 2.0)
    point = v.conditional_factorization_sampler(f, 3).sample()
    assert point[0] == 2.0 and math.isnan(point[1]) and point[2] == 2.0
    assert math.isnan(f.calls[2][1][1])


def test_conditional_sampler_of_dimension_zero_fails_only_when_drawing():
    f = recording(lambda k, i, prefix: 0.0)
    s = v.conditional_factorization_sampler(f, 0)
    for call in (s.sample, lambda: s.sample_n(1), lambda: s.sample_n(3, seed=1)):
        with pytest.raises(v.SampleError, match="^mcmc sampler failed$"):
            call()
    assert s.sample_n(0) == []
    assert f.calls == []


def test_conditional_sampler_seed_is_checked_but_changes_nothing():
    f = recording(lambda k, i, prefix: float(i) + sum(prefix))
    s = v.conditional_factorization_sampler(f, 2)
    assert s.sample_n(2, seed=1) == s.sample_n(2, seed=2) == [[0.0, 1.0], [0.0, 1.0]]
    assert f.calls[:4] == f.calls[4:]
    for seed, error in [(-1, OverflowError), (2 ** 64, OverflowError), (1.5, TypeError)]:
        with pytest.raises(error):
            s.sample_n(1, seed=seed)
    with pytest.raises(TypeError, match="^argument 'seed': "):
        s.sample_n(1, seed="1")


def test_non_callable_samplers_are_accepted_and_give_nan():
    gibbs = v.gibbs_sampler(3.0, UNIT2, [0.5, 0.5])
    for s in (gibbs, v.conditional_factorization_sampler(None, 2)):
        assert all(math.isnan(x) for x in s.sample())

"""Finite discrete distributions: construction checks, the cumulative table, queries, draws."""
import math
import threading

import pytest

import _varnix as v

NAN = float("nan")
INF = float("inf")


@pytest.mark.parametrize("points, pmf, message", [
    ([], [], "discrete distribution has no support points"),
    ([1.0], [], "discrete distribution has no support points"),
    ([], [1.0], "discrete distribution has no support points"),
    ([1.0, 2.0], [1.0], "invalid support interval: points and pmf must have the same length"),
    ([1.0, 2.0], [1.0, NAN], "probability mass must be positive"),
    ([1.0, 2.0], [INF, 1.0], "probability mass must be positive"),
    ([1.0, 2.0], [1.0, -1e-300], "probability mass must be positive"),
    ([1.0, 2.0], [0.0, -0.0], "failed to normalize PDF on support"),
    ([1.0, 2.0], [1e308, 1e308], "failed to normalize PDF on support"),
])
def test_construction_checks_run_in_order(points, pmf, message):
    with pytest.raises(v.BuildError) as info:
        v.from_pmf(points, pmf)
    assert str(info.value) == message


@pytest.mark.parametrize("points, pmf, arg, text", [
    ("12", [1.0, 1.0], "points", "Can't extract `str` to `Vec`"),
    ([1.0], "1", "pmf", "Can't extract `str` to `Vec`"),
    (None, [1.0], "points", "'NoneType' object cannot be converted to 'Sequence'"),
    ([1.0], [None], "pmf", None),
])
def test_lists_must_be_sequences_of_numbers(points, pmf, arg, text):
    with pytest.raises(TypeError) as info:
        v.from_pmf(points, pmf)
    assert str(info.value).startswith(f"argument '{arg}': ")
    if text:
        assert str(info.value) == f"argument '{arg}': {text}"


def test_quantile_ties_go_to_the_last_equal_index():
    d = v.from_pmf([1.0, 2.0, 3.0], [1.0, 0.0, 1.0])
    assert [d.cdf_at(i) for i in range(3)] == [0.5, 0.5, 1.0]
    assert (d.ppf(0.5), d.ppf(0.25), d.ppf(0.75)) == (2.0, 1.0, 3.0)


def test_points_keep_input_order_and_duplicates():
    d = v.from_pmf([3.0, 1.0], [1.0, 1.0])
    assert d.ppf(0.3) == 3.0 and d.cdf_at(0) == 0.5 and d.points() == [3.0, 1.0]
    dup = v.from_pmf([1.0, 1.0], [1.0, 3.0])
    assert dup.pmf(1.0) == 0.25 and dup.len() == 2


def test_pmf_matches_within_a_strict_tolerance():
    d = v.from_pmf([0.0, 5.0], [1.0, 1.0])
    assert d.pmf(5.0 + 1e-13) == 0.5
    assert d.pmf(1e-12) == 0.0
    assert d.pmf(NAN) == 0.0


def test_last_cumulative_entry_is_exactly_one():
    d = v.from_pmf(list(range(10)), [0.1] * 10)
    assert d.cdf_at(9) == 1.0
    assert math.isclose(sum(d.pmf_at(i) for i in range(10)), 1.0)


@pytest.mark.parametrize("u, text", [(0.0, "0"), (1.0, "1"), (NAN, "NaN"), (-0.25, "-0.25"),
                                     (1.5, "1.5"), (-INF, "-inf")])
def test_quantiles_outside_the_open_unit_interval_fail(u, text):
    d = v.from_pmf([1.0], [1.0])
    with pytest.raises(v.SampleError) as info:
        d.ppf(u)
    assert str(info.value) == f"quantile u={text} not in (0, 1)"


def test_tiny_negative_quantile_is_written_out_in_full():
    with pytest.raises(v.SampleError) as info:
        v.from_pmf([1.0], [1.0]).ppf(-1e-300)
    assert str(info.value) == "quantile u=-0." + "0" * 299 + "1 not in (0, 1)"


def test_index_past_the_end_is_an_internal_fault_and_the_object_survives():
    d = v.from_pmf([1.0, 2.0], [1.0, 1.0])
    for method in (d.pmf_at, d.cdf_at):
        with pytest.raises(BaseException) as info:
            method(2)
        assert not isinstance(info.value, Exception)
        assert str(info.value) == "index out of bounds: the len is 2 but the index is 2"
    assert d.pmf_at(1) == 0.5
    with pytest.raises(OverflowError):
        d.pmf_at(-1)


def test_moments_of_a_weighted_die():
    d = v.from_pmf([1, 2, 3, 4, 5, 6], [1, 1, 1, 1, 1, 5])
    m = (15 + 30) / 10
    var = sum(w * (x - m) ** 2 for x, w in zip([1, 2, 3, 4, 5, 6], [1, 1, 1, 1, 1, 5])) / 10
    assert math.isclose(d.mean(), m) and math.isclose(d.var(), var)
    assert math.isclose(d.std(), math.sqrt(var))
    one = v.from_pmf([7.5], [2.0])
    assert (one.mean(), one.var(), one.sample_n(3, seed=0)) == (7.5, 0.0, [7.5] * 3)


def test_seeded_draws_repeat_on_every_thread():
    d = v.from_pmf([0.0, 1.0, 2.0], [1.0, 2.0, 3.0])
    a = d.sample_n(1000, seed=7)
    assert a == d.sample_n(1000, seed=7)
    other = []
    t = threading.Thread(target=lambda: other.append(d.sample_n(1000, seed=7)))
    t.start()
    t.join()
    assert other[0] == a
    assert d.sample_n(0) == []
    freq = [a.count(x) / 1000 for x in (0.0, 1.0, 2.0)]
    assert all(abs(f - p) < 0.06 for f, p in zip(freq, (1 / 6, 2 / 6, 3 / 6)))


def test_unseeded_draws_come_from_the_thread_generator():
    d = v.from_pmf(list(range(100)), [1.0] * 100)
    assert d.sample_n(50) != d.sample_n(50)
    assert d.sample() in range(100)


@pytest.mark.parametrize("seed, exc", [(-1, OverflowError), (2**64, OverflowError),
                                       (1.0, TypeError), ("1", TypeError)])
def test_seeds_are_unsigned_64_bit_integers(seed, exc):
    d = v.from_pmf([1.0], [1.0])
    with pytest.raises(exc):
        d.sample_n(1, seed=seed)
    d.sample_n(1, seed=0)
    d.sample_n(1, seed=2**64 - 1)


def test_negative_and_fractional_counts_are_refused():
    d = v.from_pmf([1.0], [1.0])
    with pytest.raises(OverflowError):
        d.sample_n(-1)
    with pytest.raises(TypeError, match="^argument 'n': "):
        d.sample_n(1.5)


def test_a_batch_too_large_to_hold_is_a_memory_error():
    with pytest.raises(MemoryError):
        v.from_pmf([1.0], [1.0]).sample_n(2**62, seed=1)
    box = v.HyperRect([0.0] * 4, [1.0] * 4)
    with pytest.raises(MemoryError):
        v.rejection_sampler(lambda *x: 1.0, box, 1.0).sample_n(2**62, seed=1)

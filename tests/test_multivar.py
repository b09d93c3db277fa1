"""Multivariate samplers in a box, through the Python surface."""
import math
import threading

import pytest

import _varnix as v

NAN = float("nan")
INF = float("inf")
UNIT2 = v.HyperRect([0.0, 0.0], [1.0, 1.0])


# ---- HyperRect ----

@pytest.mark.parametrize("lo, hi, message", [
    ([], [], "invalid support interval: hyper-rect cannot be empty"),
    ([0.0], [], "invalid support interval: hyper-rect cannot be empty"),
    ([0, 0], [1], "invalid support interval: hyper-rect lo/hi must have same dimension"),
    ([0, INF], [1, 2], "non-finite value in hyper-rect bounds"),
    ([0, 1], [1, 1], "invalid support interval: each lo must be < hi"),
    ([2, NAN], [1, 0], "invalid support interval: each lo must be < hi"),
    ([NAN, 5], [1, 0], "non-finite value in hyper-rect bounds"),
])
def test_box_validation_reports_the_first_fault(lo, hi, message):
    with pytest.raises(v.BuildError) as info:
        v.HyperRect(lo, hi)
    assert str(info.value) == message


def test_box_accessors_return_floats():
    b = v.HyperRect((0, 0), (1, 2))
    assert b.dim() == 2 and b.lo() == [0.0, 0.0] and b.hi() == [1.0, 2.0]
    assert all(isinstance(x, float) for x in b.lo())


def test_box_arguments_are_sequences_converted_item_by_item():
    with pytest.raises(TypeError, match="^argument 'lo': 'int' object cannot be converted to "
                                        "'Sequence'$"):
        v.HyperRect(3, [1])
    # A str is a Sequence: its first character fails Python's own float conversion, unprefixed.
    with pytest.raises(TypeError) as info:
        v.HyperRect("ab", [1, 2])
    assert not str(info.value).startswith("argument")


# ---- RejectionSampler ----

@pytest.mark.parametrize("pdf_max", [0.0, -0.0, -1.0, INF, NAN])
def test_rejection_needs_a_finite_positive_envelope_checked_before_the_box(pdf_max):
    with pytest.raises(v.BuildError, match="^pdf_max must be finite and positive$"):
        v.rejection_sampler(lambda x, y: 1.0, UNIT2, pdf_max)


def test_rejection_support_must_be_a_hyper_rect():
    with pytest.raises(TypeError, match="^argument 'support': 'list' object cannot be converted "
                                        "to 'HyperRect'$"):
        v.rejection_sampler(lambda x: 1.0, [0, 1], 1.0)


@pytest.mark.parametrize("f", [lambda x, y: 1 / 0, lambda x, y: NAN, lambda x, y: -1.0, 3.0,
                               lambda x, y: "junk", lambda x, y: None])
def test_unusable_densities_exhaust_the_trials_without_raising_their_own_error(f):
    s = v.rejection_sampler(f, UNIT2, 1.0, max_trials=50)
    with pytest.raises(v.SampleError, match="^rejection sampler failed to accept$"):
        s.sample()


def test_zero_trials_fail_at_once():
    calls = []
    s = v.rejection_sampler(lambda x, y: calls.append(1) or 1.0, UNIT2, 1.0, max_trials=0)
    with pytest.raises(v.SampleError):
        s.sample_n(3, seed=1)
    assert calls == []


def test_seeded_batches_repeat_and_continue_one_stream():
    s = v.rejection_sampler(lambda x, y: math.exp(-x * y), UNIT2, 1.0)
    a = s.sample_n(50, seed=7)
    assert a == s.sample_n(50, seed=7)
    assert s.sample_n(60, seed=7)[:50] == a
    assert s.sample_n(0) == []
    assert len(a) == 50 and all(len(p) == 2 and 0 <= p[0] <= 1 and 0 <= p[1] <= 1 for p in a)


def test_density_called_with_a_list_when_separate_floats_fail():
    seen = []

    def f(point):
        seen.append(point)
        return 1.0
    v.rejection_sampler(f, UNIT2, 1.0).sample_n(2, seed=3)
    assert all(isinstance(p, list) and len(p) == 2 for p in seen)


def test_rejection_sampler_is_reentrant_from_its_density():
    s = None

    def f(x, y):
        if f.depth == 0:
            f.depth += 1
            s.sample_n(1, seed=1)  # shared access: allowed inside
            f.depth -= 1
        return 1.0
    f.depth = 0
    s = v.rejection_sampler(f, UNIT2, 1.0)
    assert len(s.sample_n(3, seed=2)) == 3

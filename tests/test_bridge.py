"""How user callables are called and how their failures are absorbed."""
import math
import sys

import pytest

import _varnix as v
from helpers import error_text

UNIT = v.Interval(0.0, 1.0)


def test_a_callable_returning_minus_one_gives_the_value_minus_one():
    d = v.from_pdf(lambda x: 1, UNIT)
    assert d.expect(lambda x: -1) == pytest.approx(-1.0)
    assert v.from_cdf(lambda x: x - 1, UNIT).cdf(0.0) == 0.0



@pytest.mark.parametrize("func", [lambda x: 1 / 0, lambda x: None, lambda x: "1.0", 42,
                                  lambda x: [x]])
def test_failing_calls_become_nan_and_leave_no_exception_pending(func):
    d = v.from_pdf(lambda x: 1.0, UNIT)
    with pytest.raises(v.SampleError) as info:
        d.expect(func)
    assert str(info.value) == "numerical integration failed"
    assert sys.exc_info() == (None, None, None)
    assert d.pdf(0.5) == 1.0  # the next call is unaffected


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interrupts_raised_by_user_code_end_the_call(exc):
    def f(x):
        raise exc()
    with pytest.raises(exc):
        v.from_pdf(f, UNIT)


def test_objects_with_float_or_index_are_numbers():
    class Half:
        def __float__(self):
            return 0.5

    class Two:
        def __index__(self):
            return 2
    assert v.from_pdf(lambda x: 1.0, UNIT).expect(lambda x: Half()) == pytest.approx(0.5)
    assert v.from_pdf(lambda x: 1.0, UNIT).expect(lambda x: Two()) == pytest.approx(2.0)


def test_nan_and_infinity_returned_by_user_code_are_values():
    d = v.from_pdf(lambda x: 1.0, UNIT)
    assert math.isnan(v.from_cdf(lambda x: x if x < 0.9 else math.nan, v.Interval(0, 0.5)).cdf(0.95))
    with pytest.raises(v.SampleError):
        d.expect(lambda x: math.inf)


BOX = v.HyperRect([0.0, 0.0], [1.0, 1.0])


def test_vector_form_tries_separate_floats_then_one_list():
    calls = []

    def f(point):
        calls.append(point)
        return 1.0
    v.rejection_sampler(f, BOX, 1.0).sample_n(1, seed=0)
    assert calls and all(isinstance(p, list) and len(p) == 2 for p in calls)


def test_vector_form_uses_the_separate_floats_when_they_work():
    calls = []

    def f(*args):
        calls.append(args)
        return float(len(args))
    v.rejection_sampler(f, BOX, 2.0).sample_n(3, seed=0)
    assert all(len(a) == 2 and all(isinstance(x, float) for x in a) for a in calls)


def test_vector_form_falls_back_when_the_first_result_is_not_a_number():
    calls = []

    def f(*args):
        calls.append(args)
        return None if len(args) == 2 else 5
    s = v.cdf_mc_estimator(f, BOX, normalization_samples=4)
    assert s.estimate_normalization(seed=1) == 5.0
    assert [len(a) for a in calls] == [2, 1] * 4


def test_conditional_form_passes_an_int_and_the_prefix():
    seen = []

    def sample_i(i, prev):
        seen.append((type(i), i, list(prev)))
        return float(i) + 0.5
    v.conditional_factorization_sampler(sample_i, 3).sample()
    assert seen == [(int, 0, []), (int, 1, [0.5]), (int, 2, [0.5, 1.5])]


def test_checked_form_turns_failure_into_inversion_failed():
    c = v.gaussian_copula([[1.0]])
    with pytest.raises(v.SampleError, match=error_text("failed to invert CDF")):
        c.sample([lambda u: "x"], seed=1)
    with pytest.raises(v.SampleError, match=error_text("failed to invert CDF")):
        c.sample([None], seed=1)
    assert math.isnan(c.sample([lambda u: math.nan], seed=1)[0])


def test_an_internal_fault_inside_user_code_is_never_swallowed():
    table = v.from_pmf([1.0], [1.0])

    def f(x):
        table.pmf_at(5)  # an internal fault
        return 1.0
    with pytest.raises(BaseException) as info:
        v.from_pdf(f, UNIT)
    assert not isinstance(info.value, Exception)
    assert "index out of bounds" in str(info.value)


def test_user_code_may_call_back_into_the_module():
    inner = v.from_pdf(lambda x: 2 * x, UNIT)
    outer = v.from_pdf(lambda x: inner.pdf(x), UNIT)
    assert outer.cdf(0.5) == pytest.approx(0.25)


def test_dropping_the_last_reference_releases_the_callable():
    import gc
    import weakref

    class Density:
        def __call__(self, x):
            return 1.0
    f = Density()
    ref = weakref.ref(f)
    d = v.from_pdf(f, UNIT)
    del f
    assert ref() is not None
    del d
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("build", [
    lambda f: v.from_pdf(f, UNIT),
    lambda f: v.rejection_sampler(f, BOX, 1.0),
    lambda f: v.metropolis_hastings(f, BOX),
    lambda f: v.gibbs_sampler(f, BOX, [0.5, 0.5]),
    lambda f: v.conditional_factorization_sampler(f, 2),
    lambda f: v.cdf_mc_estimator(f, BOX),
])
def test_a_cycle_through_a_held_callable_is_collected(build):
    import gc
    import weakref

    class Density:
        def __call__(self, *args):
            return 1.0

    def make():
        f = Density()
        f.owner = build(f)  # the object holds f, f holds the object
        return weakref.ref(f)
    ref = make()
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("dim", [1, 2, 8, 9, 12])
def test_vector_form_passes_each_point_as_separate_floats_at_any_dimension(dim):
    calls = []

    def f(*args):
        calls.append(args)
        return 1.0  # with pdf_max 1 every proposal is accepted
    box = v.HyperRect([0.0] * dim, [1.0] * dim)
    points = v.rejection_sampler(f, box, 1.0).sample_n(3, seed=5)
    assert all(type(x) is float for a in calls for x in a)
    assert [list(a) for a in calls] == points


def test_callables_of_every_kind_receive_their_arguments():
    class Density:
        def __call__(self, x):
            return 2.0 * x
    # a type, a builtin, a callable object: each sees the float it is given
    assert v.from_pdf(float, v.Interval(1.0, 2.0)).pdf(1.5) == pytest.approx(1.0)
    assert v.from_pdf(math.exp, UNIT).cdf(0.5) == pytest.approx((math.exp(0.5) - 1) / (math.e - 1))
    assert v.from_pdf(Density(), UNIT).cdf(0.5) == pytest.approx(0.25)
    box3 = v.HyperRect([1.0] * 3, [2.0] * 3)
    for point in v.rejection_sampler(math.hypot, box3, 2.0 * math.sqrt(3.0)).sample_n(4, seed=2):
        assert len(point) == 3 and all(1.0 <= x <= 2.0 for x in point)


def test_user_code_running_on_another_thread_may_use_the_module():
    import threading
    results = []

    def f(x):
        worker = threading.Thread(target=lambda: results.append(inner.cdf(0.5)))
        worker.start()
        worker.join()
        return 1.0
    inner = v.from_pdf(lambda x: 2 * x, UNIT)
    v.from_pdf(f, v.Interval(0.0, 1.0)).pdf(0.25)
    assert results and all(r == pytest.approx(0.25) for r in results)


@pytest.mark.parametrize("dim", [None, 1, 2, 9])
def test_an_argument_tuple_the_callee_keeps_is_never_refilled(dim):
    # Argument tuples are reused from call to call when nothing else holds them. An exception
    # class keeps the very tuple it is called with (as its args), so each call's tuple must
    # then be a new one, and the kept ones must keep their values.
    kept, values = [], []

    class Density(Exception):
        def __init__(self, *args):  # self.args stays the tuple the call was made with
            kept.append(self)
            values.append(args)

        def __float__(self):
            return 1.0

    if dim is None:
        v.from_pdf(Density, UNIT).cdf(0.5)
    else:
        box = v.HyperRect([0.0] * dim, [1.0] * dim)
        points = v.rejection_sampler(Density, box, 1.0).sample_n(20, seed=5)
        assert [list(a) for a in values] == points  # every proposal accepted
    assert len(kept) >= 20
    assert [e.args for e in kept] == values

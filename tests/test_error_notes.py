"""An error caused by a user function says which one failed, where and how (PEP 678 notes);
the error's type and text stay the specified ones."""
import math
import re

import pytest

import _varnix as v

UNIT = v.Interval(0.0, 1.0)
BOX = v.HyperRect([0.0, 0.0], [1.0, 1.0])
COUNT = r" \(\d+ of \d+ calls failed\)$"
# The qualified name of a lambda, which may be defined inside another.
LAMBDA = r"(\S+\.<locals>\.)?<lambda>"


def failure(call):
    """The text and the notes of the BuildError or SampleError that call() raises."""
    with pytest.raises((v.BuildError, v.SampleError)) as info:
        call()
    return str(info.value), getattr(info.value, "__notes__", [])


def normal(x):
    return math.exp(-0.5 * x * x)


def typo(x):
    return math.exp(-0.5 * x * y)  # noqa: F821 (the mistake under test)


class Density:
    def __call__(self, x):
        raise RuntimeError("not today")


def built_then_broken():
    """A distribution function that is fine while the distribution is built, NaN after."""
    state = {"built": False}
    d = v.from_cdf(lambda x: x if not state["built"] else math.nan, UNIT)
    state["built"] = True
    return d


@pytest.mark.parametrize("call, text, note", [
    (lambda: v.from_pdf(lambda x: math.sin(x) / x, UNIT), "failed to normalize PDF on support",
     r"the density " + LAMBDA + r" raised ZeroDivisionError\('float division by zero'\) at x=0\.0"),
    (lambda: v.from_pdf(typo, UNIT), "failed to normalize PDF on support",
     r"the density typo raised NameError\(\"name 'y' is not defined\"\) at x=0\.0"),
    (lambda: v.from_pdf(lambda x, y: 1.0, UNIT), "failed to normalize PDF on support",
     r"the density " + LAMBDA + r" raised TypeError\(.*missing 1 required positional argument"),
    (lambda: v.from_pdf(Density(), UNIT), "failed to normalize PDF on support",
     r"the density \(an object of type Density\) raised RuntimeError\('not today'\) at x=0\.0"),
    (lambda: v.from_cdf(lambda x: None, UNIT), "failed to normalize PDF on support",
     r"the distribution function " + LAMBDA + r" returned None \(not a number\) at x=0\.0"),
    (lambda: v.from_pdf_dpdf(normal, lambda x: 1 / 0, v.Interval(-5.0, 5.0),
                             v.BuildOptions.tdr("log")),
     "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)",
     r"the derivative " + LAMBDA + r" raised ZeroDivisionError\('division by zero'\) at x=-?\d"),
    (lambda: v.from_pdf(normal, UNIT).expect(lambda x: "1"), "numerical integration failed",
     r"expect's function " + LAMBDA + r" returned '1' \(not a number\) at x=0\.0"),
    (lambda: built_then_broken().sample_n(5, seed=1), "failed to invert CDF",
     r"the distribution function " + LAMBDA + r" returned nan at x=0\.0"),
    (lambda: v.rejection_sampler(lambda p: 1 / 0, BOX, 1.0, max_trials=10).sample(),
     "rejection sampler failed to accept",
     r"the density " + LAMBDA + r" raised TypeError\(.*\) at x=\[[-e\d.]+, [-e\d.]+\] "
     r"\(and, given the "
     r"coordinates as one list, raised ZeroDivisionError\('division by zero'\)\)"),
    (lambda: v.gaussian_copula([[1.0, 0.0], [0.0, 1.0]]).sample([normal, lambda u: {}[u]]),
     "failed to invert CDF",
     r"the quantile function ppfs\[1\] " + LAMBDA + r" raised KeyError\([\d.e-]+\) at u=[\d.e-]+"),
], ids=["raises", "name_error", "arity", "callable_object", "cdf_returns_none", "derivative",
        "expect", "draw", "vector_forms", "quantile"])
def test_the_note_names_the_function_its_argument_and_what_it_did(call, text, note):
    got_text, notes = failure(call)
    assert got_text == text
    assert len(notes) == 1
    assert re.match(note + ".*" + COUNT, notes[0]), notes[0]


def nan_at_zero(x):
    return math.nan if x == 0.0 else x


def test_the_count_is_of_the_failing_call_alone():
    # from_cdf calls the function at the ends of the support: one of the two fails.
    first = failure(lambda: v.from_cdf(nan_at_zero, UNIT))
    assert first == ("failed to normalize PDF on support",
                     ["the distribution function nan_at_zero returned nan at x=0.0 "
                      "(1 of 2 calls failed)"])
    assert v.from_cdf(lambda x: x, UNIT).cdf(0.5) == 0.5  # a success in between carries nothing
    assert failure(lambda: v.from_cdf(nan_at_zero, UNIT)) == first  # counted afresh


def logp(x, y):
    return -0.5 * (x * x + y * y)


def test_a_log_density_is_told_apart_from_a_density():
    mh = v.metropolis_hastings(logp, BOX)
    text, notes = failure(mh.init)
    assert text == "mcmc sampler failed"
    assert re.fullmatch(
        r"the density logp returned -[\d.e-]+ at x=\[[\d.e-]+, [\d.e-]+\] \(100000 of 100000 "
        r"calls returned a negative value\): a density is never negative, and a log density is "
        r"not a density \(return exp of it\)", notes[0]), notes


@pytest.mark.parametrize("pdf, interval, text, notes", [
    # The error itself says that the density is negative: no note repeats it.
    (lambda x: x, v.Interval(-1.0, 2.0), "density is negative at x=-1 (value -1)", []),
    (lambda x: x - 0.5, UNIT, "failed to normalize PDF on support",
     ["the density <lambda> returned -0.5 at x=0.0 (3 of 9 calls returned a negative value): a "
      "density is never negative, and a log density is not a density (return exp of it)"]),
], ids=["said_by_the_error", "hidden_by_the_error"])
def test_a_negative_density_value_is_noted_where_the_error_does_not_say_it(pdf, interval, text,
                                                                         notes):
    assert failure(lambda: v.from_pdf(pdf, interval)) == (text, notes)


def test_a_copula_given_the_wrong_number_of_quantile_functions_says_so():
    c = v.gaussian_copula([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])
    assert failure(lambda: c.sample([normal, normal], seed=1)) == (
        "mcmc sampler failed",
        ["the copula has 3 coordinates but 2 quantile functions were given: ppfs needs one "
         "quantile function per coordinate"])


def test_a_long_exception_text_is_shortened():
    def f(x):
        raise ValueError("x" * 10000)

    _, notes = failure(lambda: v.from_pdf(f, UNIT))
    assert "xxx..." in notes[0] and len(notes[0]) < 400


def test_failures_inside_a_nested_call_are_noted_by_the_call_they_belong_to():
    inner = v.from_pdf(normal, UNIT)

    def outer(x):
        return inner.ppf(x + 1.0)  # a SampleError inside: the outer density fails there

    _, notes = failure(lambda: v.from_pdf(outer, UNIT))
    assert notes[0].startswith("the density test_failures_inside_a_nested_call_are_noted_by_"
                               "the_call_they_belong_to.<locals>.outer raised SampleErrorPy(")


@pytest.mark.parametrize("call", [
    lambda: v.from_pmf([1.0], [0.0]),
    lambda: v.metropolis_hastings(normal, BOX).step(),
    lambda: v.from_pdf(normal, UNIT).ppf(2.0),
], ids=["pmf", "uninitialised_chain", "quantile_out_of_range"])
def test_errors_not_caused_by_user_functions_carry_no_note(call):
    with pytest.raises((v.BuildError, v.SampleError)) as info:
        call()
    assert not hasattr(info.value, "__notes__")


def test_only_the_module_errors_get_notes():
    def f(x):
        f.calls += 1
        if f.calls == 1:
            raise ValueError("first")
        raise KeyboardInterrupt

    f.calls = 0
    with pytest.raises(KeyboardInterrupt) as info:
        v.from_pdf(f, UNIT)
    assert not hasattr(info.value, "__notes__")

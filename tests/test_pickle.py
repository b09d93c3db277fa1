"""Pickling and copying: every class comes back with the same results, bit for bit, without
building anything again; chains resume exactly where they were saved; broken saved states are
refused with a clear error."""
import copy
import functools
import math
import pathlib
import pickle
import subprocess
import sys
import threading
from array import array

import pytest

import _varnix as v

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
CALLS = {"n": 0}


# Module-level callables, so that the standard pickler can save them by name. Each counts its
# calls, to show that reading a pickle back calls none of them.
def normal_pdf(x):
    CALLS["n"] += 1
    return math.exp(-0.5 * x * x)


def normal_dpdf(x):
    CALLS["n"] += 1
    return -x * math.exp(-0.5 * x * x)


def logistic_cdf(x):
    CALLS["n"] += 1
    return 1.0 / (1.0 + math.exp(-x))


def density2(x, y):
    CALLS["n"] += 1
    return math.exp(-0.5 * (x * x + y * y))


def half_coordinate(i, prefix):
    return 0.5 + i + sum(prefix)


def bits(values):
    """The exact bytes of a list of floats (or of points), so that -0.0 and NaN compare too."""
    flat = [x for p in values for x in p] if values and isinstance(values[0], list) else values
    return array("d", flat).tobytes()


def round_trip(obj, how):
    if how == "copy":
        return copy.copy(obj)
    if how == "deepcopy":
        return copy.deepcopy(obj)
    return pickle.loads(pickle.dumps(obj, protocol=how))


HOWS = ["copy", "deepcopy", *PROTOCOLS]


# ---- value classes ----

OPTIONS = {
    "default": lambda: v.BuildOptions(),
    "tolerances": lambda: v.BuildOptions(quad_tolerance=1e-7, ppf_tolerance=1e-9,
                                         max_iterations=40, use_newton=False),
    "hermite": lambda: v.BuildOptions.hermite(24),
    "tdr_log": lambda: v.BuildOptions.tdr("log", 12),
    "tdr_inv_sqrt": lambda: v.BuildOptions(tdr_transform="INV-SQRT", tdr_construction_points=40,
                                           tdr_dpdf_rel_step=1e-3),
    "interpolated": lambda: v.BuildOptions.interpolated(1e-9),
}


@pytest.mark.parametrize("how", HOWS)
def test_value_classes_come_back_with_their_fields(how):
    i = round_trip(v.Interval(-0.0, 2.5), how)
    assert (math.copysign(1, i.lo), i.hi) == (-1, 2.5)
    box = round_trip(v.HyperRect([0, -1.5], [1, 2]), how)
    assert (box.lo(), box.hi()) == ([0.0, -1.5], [1.0, 2.0])


@pytest.mark.parametrize("name", OPTIONS)
def test_options_come_back_building_the_same_distribution(name):
    options = OPTIONS[name]()
    again = pickle.loads(pickle.dumps(options))
    support = v.Interval(-5, 5)
    a = v.from_pdf_with_options(normal_pdf, support, options)
    b = v.from_pdf_with_options(normal_pdf, support, again)
    assert (a.uses_tdr(), a.uses_hermite_table()) == (b.uses_tdr(), b.uses_hermite_table())
    assert bits(a.sample_n(50, seed=3)) == bits(b.sample_n(50, seed=3))
    assert a.cdf(0.3) == b.cdf(0.3)


# ---- distributions ----

def histogram():
    return v.from_histogram([0, 1, 2.5, 3], [2, 5, 1], options=v.BuildOptions.hermite(16))


CONTINUOUS = {
    "inversion": lambda: v.from_pdf(normal_pdf, v.Interval(-5, 5)),
    "hermite": lambda: v.from_pdf_with_options(normal_pdf, v.Interval(-5, 5),
                                               v.BuildOptions.hermite(64)),
    "tdr_log": lambda: v.from_pdf_with_options(normal_pdf, v.Interval(-5, 5),
                                               v.BuildOptions.tdr("log")),
    "tdr_inv_sqrt": lambda: v.from_pdf_with_options(normal_pdf, v.Interval(-5, 5),
                                                    v.BuildOptions.tdr("inv_sqrt")),
    "tdr_dpdf": lambda: v.from_pdf_dpdf(normal_pdf, normal_dpdf, v.Interval(-4, 4),
                                        v.BuildOptions.tdr("log")),
    "cdf": lambda: v.from_cdf(logistic_cdf, v.Interval(-6, 6)),
    "cdf_hermite": lambda: v.from_cdf_with_options(logistic_cdf, v.Interval(-6, 6),
                                                   v.BuildOptions.hermite(40)),
    "histogram": histogram,
    "loc_scale": lambda: v.from_pdf_loc_scale(normal_pdf, v.Interval(-4, 4), 1.5, 0.25,
                                              v.BuildOptions.hermite(32)),
    "truncated": lambda: v.truncated(normal_pdf, v.Interval(-5, 5), v.Interval(-1, 2)),
    "interpolated": lambda: v.from_pdf_with_options(normal_pdf, v.Interval(-5, 5),
                                                    v.BuildOptions.interpolated(1e-10)),
    "interpolated_cdf": lambda: v.from_cdf_with_options(logistic_cdf, v.Interval(-6, 6),
                                                        v.BuildOptions.interpolated()),
}


@pytest.mark.parametrize("name", CONTINUOUS)
def test_continuous_distributions_come_back_unbuilt_and_identical(name):
    d = CONTINUOUS[name]()
    blob = pickle.dumps(d)
    CALLS["n"] = 0
    back = pickle.loads(blob)
    assert CALLS["n"] == 0  # nothing integrated, inverted or tabulated again
    assert type(back) is v.ContinuousDistribution
    assert (back.uses_tdr(), back.uses_hermite_table()) == (d.uses_tdr(), d.uses_hermite_table())
    assert (back.support().lo, back.support().hi) == (d.support().lo, d.support().hi)
    fast = d.uses_tdr() or d.uses_hermite_table() or d.uses_interpolation()
    n = 300 if fast else 20  # plain inversion: a bisection a draw
    assert bits(back.sample_n(n, seed=11)) == bits(d.sample_n(n, seed=11))
    us = [1e-9, 0.05, 0.5, 0.77, 1 - 1e-9]
    assert bits([back.ppf(u) for u in us]) == bits([d.ppf(u) for u in us])
    xs = [-3.3, 0.0, 0.4, 1.2, 2.9]
    assert bits([back.cdf(x) for x in xs]) == bits([d.cdf(x) for x in xs])
    assert back.pdf(0.4) == d.pdf(0.4)
    assert pickle.dumps(back) == blob


@pytest.mark.parametrize("how", HOWS)
def test_every_protocol_and_copy_gives_the_same_draws(how):
    d = CONTINUOUS["tdr_log"]()
    assert bits(round_trip(d, how).sample_n(100, seed=5)) == bits(d.sample_n(100, seed=5))


def test_a_copy_shares_the_callable_and_a_deep_copy_copies_it():
    class Pdf:
        def __call__(self, x):
            return math.exp(-x * x)
    d = v.from_pdf(Pdf(), v.Interval(-3, 3))
    f = copy.copy(d).__reduce__()[1][1][0]
    assert f is d.__reduce__()[1][1][0]
    g = copy.deepcopy(d).__reduce__()[1][1][0]
    assert type(g) is Pdf and g is not f


def test_discrete_distribution_comes_back_with_its_table():
    # Trailing masses below rounding, a NaN point: the table and points exactly as built.
    d = v.from_pmf([1.0, float("nan"), 3.0, 4.0], [0.3, 0.7, 1e-300, 1e-300])
    back = pickle.loads(pickle.dumps(d))
    assert bits(back.points()) == bits(d.points())
    assert [back.cdf_at(i) for i in range(4)] == [d.cdf_at(i) for i in range(4)]
    assert bits(back.sample_n(1000, seed=2)) == bits(d.sample_n(1000, seed=2))


# ---- multivariate samplers ----

BOX = v.HyperRect([-3, -3], [3, 3])


def test_rejection_sampler_comes_back_identical():
    s = v.rejection_sampler(density2, BOX, 1.0, max_trials=500)
    back = pickle.loads(pickle.dumps(s))
    assert (back.dim(), back.pdf_max()) == (2, 1.0)
    assert bits(back.sample_n(50, seed=4)) == bits(s.sample_n(50, seed=4))


def test_copula_and_conditional_sampler_come_back_identical():
    c = v.gaussian_copula([[1.0, 0.6], [0.6, 1.0]])
    back = pickle.loads(pickle.dumps(c))
    ppfs = [lambda u: u, lambda u: -u]
    assert bits(back.sample(ppfs, seed=8)) == bits(c.sample(ppfs, seed=8))
    s = v.conditional_factorization_sampler(half_coordinate, 3)
    assert pickle.loads(pickle.dumps(s)).sample_n(2) == s.sample_n(2) == [[0.5, 2.0, 5.0]] * 2


def test_estimator_keeps_its_cached_constant():
    e = v.cdf_mc_estimator(density2, BOX, normalization_samples=2000, cdf_samples=500)
    fresh = pickle.loads(pickle.dumps(e))
    z = e.estimate_normalization(seed=1)
    cached = pickle.loads(pickle.dumps(e))
    CALLS["n"] = 0
    assert cached.cdf([0.5, 0.0], seed=2) == e.cdf([0.5, 0.0], seed=2)
    assert CALLS["n"] == 2 * 500  # neither estimated the constant again
    assert fresh.estimate_normalization(seed=1) == z  # the copy made before had none cached


CHAINS = {
    "MetropolisHastings": lambda: v.metropolis_hastings(density2, BOX, burn_in=10,
                                                        adapt_steps=500),
    "HmcSampler": lambda: v.hmc_sampler(density2, BOX, leapfrog_steps=5),
}


@pytest.mark.parametrize("how", ["copy", "deepcopy", pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize("name", CHAINS)
def test_a_chain_resumes_exactly_where_it_was_saved(name, how):
    # One run straight through, and the same run saved after its first batch and resumed from
    # the copy: the same seeded start, the same seed per batch.
    straight = CHAINS[name]()
    straight.init(seed=0)
    whole = [straight.sample_n(300, seed=1)] + [straight.sample_n(200, seed=s) for s in (2, 3)]
    saved = CHAINS[name]()
    saved.init(seed=0)
    assert bits(saved.sample_n(300, seed=1)) == bits(whole[0])  # adapts the step, moves the chain
    resumed = round_trip(saved, how)
    saved.sample_n(10, seed=9)  # the original goes on; the copy is a chain of its own
    assert [bits(resumed.sample_n(200, seed=s)) for s in (2, 3)] == [bits(p) for p in whole[1:]]
    if name == "MetropolisHastings":
        assert resumed.accept_rate() == straight.accept_rate()


def test_a_chain_saved_before_init_comes_back_uninitialised():
    chain = pickle.loads(pickle.dumps(CHAINS["MetropolisHastings"]()))
    with pytest.raises(v.SampleError, match="init"):
        chain.sample_n(1, seed=1)


class RandomCoordinate:
    """A Gibbs coordinate sampler with its own generator, whose state pickles with it."""

    def __init__(self, seed):
        import random
        self.rng = random.Random(seed)

    def __call__(self, i, x):
        return 0.5 * x[1 - i] + self.rng.gauss(0.0, 1.0)


def test_gibbs_chain_and_its_callable_resume_together():
    g = v.gibbs_sampler(RandomCoordinate(4), BOX, [0.0, 0.0], sweeps_per_sample=3)
    for _ in range(10):
        g.step()
    resumed = pickle.loads(pickle.dumps(g))
    assert [resumed.step() for _ in range(5)] == [g.step() for _ in range(5)]


def test_a_checkpoint_resumes_in_another_process(tmp_path):
    chain = CHAINS["MetropolisHastings"]()
    chain.init(seed=3)
    chain.sample_n(100, seed=1)
    (tmp_path / "chain.pickle").write_bytes(pickle.dumps(chain))
    expected = chain.sample_n(50, seed=2)
    code = ("import pickle, sys\n"
            "chain = pickle.loads(open(sys.argv[1], 'rb').read())\n"
            "print(repr(chain.sample_n(50, seed=2)))\n")
    out = subprocess.run([sys.executable, "-c", code, str(tmp_path / "chain.pickle")],
                         capture_output=True, text=True, check=True,
                         cwd=pathlib.Path(__file__).parent)
    assert eval(out.stdout) == expected


def test_a_thread_bound_chain_unpickled_on_another_thread_belongs_to_that_thread():
    chain = CHAINS["MetropolisHastings"]()
    chain.init()
    saved = pickle.dumps(chain)
    expected = chain.sample_n(20, seed=9)
    got = []

    def work():
        mine = pickle.loads(saved)
        got.append(mine.sample_n(20, seed=9))
        del mine  # dropped on its own thread
    t = threading.Thread(target=work)
    t.start()
    t.join()
    assert got == [expected]


def test_a_chain_in_use_is_not_pickled_half_way():
    errors = []

    def f(x, y):
        try:
            pickle.dumps(chain)
        except RuntimeError as e:
            errors.append(str(e))
        return density2(x, y)
    chain = v.metropolis_hastings(f, BOX, burn_in=0)
    chain.init()
    chain.sample_n(1, seed=1)
    assert errors and set(errors) == {"Already mutably borrowed"}


# ---- callables that do not pickle ----

def test_a_lambda_fails_with_the_standard_picklers_own_error():
    f = lambda x: math.exp(-x * x)  # noqa: E731
    d = v.from_pdf(f, v.Interval(-3, 3))
    with pytest.raises(Exception) as alone:
        pickle.dumps(f)
    with pytest.raises(type(alone.value)) as held:
        pickle.dumps(d)
    assert str(held.value) == str(alone.value)


def test_cloudpickle_carries_lambdas():
    cloudpickle = pytest.importorskip("cloudpickle")
    d = v.from_pdf_with_options(lambda x: math.exp(-x * x), v.Interval(-3, 3),
                                v.BuildOptions.tdr("log"))
    back = pickle.loads(cloudpickle.dumps(d))
    assert bits(back.sample_n(100, seed=1)) == bits(d.sample_n(100, seed=1))


def test_an_unpicklable_callable_raises_its_own_error():
    class Refuses(Exception):
        pass

    class Pdf:
        def __call__(self, x):
            return 1.0

        def __reduce__(self):
            raise Refuses("not this one")
    s = v.rejection_sampler(Pdf(), BOX, 1.0)
    with pytest.raises(Refuses, match="not this one"):
        pickle.dumps(s)


@pytest.mark.parametrize("raise_it, cls", [
    (lambda: v.Interval(1.0, 0.0), v.BuildError),
    (lambda: v.from_pmf([1.0], [1.0]).ppf(2.0), v.SampleError),
])
def test_the_modules_errors_pickle_so_that_workers_can_return_them(raise_it, cls):
    with pytest.raises(cls) as info:
        raise_it()
    back = pickle.loads(pickle.dumps(info.value))
    assert type(back) is cls and back.args == info.value.args


# ---- broken saved states ----

def reduced(obj):
    fn, (name, callables, state) = obj.__reduce__()
    assert fn is v._restore
    return name, callables, state


@functools.cache
def hermite_reduced():
    # From a distribution function, which has no check model: the table's quantiles end the
    # state.
    return reduced(v.from_cdf_with_options(logistic_cdf, v.Interval(-6, 6),
                                           v.BuildOptions.hermite(64)))


SAMPLES = {
    "ContinuousDistribution": lambda: CONTINUOUS["hermite"](),
    "DiscreteDistribution": lambda: v.from_pmf([1.0, 2.0, 3.0], [1.0, 2.0, 3.0]),
    "MetropolisHastings": lambda: CHAINS["MetropolisHastings"](),
    "GaussianCopula": lambda: v.gaussian_copula([[1.0, 0.6], [0.6, 1.0]]),
}


def test_restore_is_private_to_the_module():
    assert "_restore" not in v.__all__
    assert v._restore.__text_signature__ == "(class_name, callables, state)"


@pytest.mark.parametrize("edit, message", [
    (lambda s: s[:-3], "truncated"),
    (lambda s: s + b"\0", "unread bytes at the end (1)"),
    (lambda s: b"XXXX" + s[4:], "not a saved state of this module"),
    (lambda s: s[:4] + b"\x07" + s[5:], "format 7 is not one this version reads (format 1)"),
    # The Hermite table's quantiles are the last vector (before the flag saying there is no
    # check model): a NaN in it, then one length too many, then one too few.
    (lambda s: s[:-17] + array("d", [math.nan]).tobytes() + s[-9:],
     "a Hermite table quantile is not finite"),
    (lambda s: s[:-8 * 65 - 1] + (65).to_bytes(8, "little") + s[-8 * 64 - 1:], "truncated"),
    (lambda s: s[:-8 * 65 - 1] + (63).to_bytes(8, "little") + s[-8 * 64 - 1:],
     "the Hermite table's nodes and quantiles do not match"),
])
def test_tampered_continuous_states_are_refused(edit, message):
    name, callables, state = hermite_reduced()
    with pytest.raises(ValueError) as info:
        v._restore(name, callables, edit(state))
    assert str(info.value) == "invalid saved state: ContinuousDistribution: " + message


def singular_pdf(x):
    return math.exp(-x) / math.sqrt(x) if x > 0 else math.inf


# Fields refused with the state's own texts: the index of the source's alternative (byte 60,
# after the header and the support, norm and tolerance), the engine's (a pdf source has no
# fields before it), and the length of an end model's parameters (a density infinite at 0 has
# one there; the state ends with it, the absent upper one and the absent check model).
@pytest.mark.parametrize("make, edit, message", [
    (CONTINUOUS["inversion"], lambda s: s[:60] + b"\x05" + s[61:], "unknown source kind"),
    (CONTINUOUS["inversion"], lambda s: s[:61] + b"\x03" + s[62:], "unknown sampler kind"),
    (lambda: v.from_pdf_with_options(singular_pdf, v.Interval(0, 40),
                                     v.BuildOptions.interpolated(1e-10)),
     lambda s: s[:-66] + (6).to_bytes(8, "little") + s[-58:],
     "an end model has the wrong number of parameters"),
])
def test_unknown_kinds_and_misshapen_end_models_are_refused(make, edit, message):
    name, callables, state = reduced(make())
    with pytest.raises(ValueError) as info:
        v._restore(name, callables, edit(state))
    assert str(info.value) == "invalid saved state: ContinuousDistribution: " + message


def test_tampered_discrete_table_is_refused():
    name, callables, state = reduced(SAMPLES["DiscreteDistribution"]())
    # The cumulative table is the last vector; its end must be exactly 1.
    broken = state[:-8] + array("d", [0.99]).tobytes()
    with pytest.raises(ValueError, match="the cumulative table does not end at 1$"):
        v._restore(name, callables, broken)


def test_a_state_of_another_class_is_refused():
    _, _, discrete_state = reduced(SAMPLES["DiscreteDistribution"]())
    with pytest.raises(ValueError, match="^invalid saved state: ContinuousDistribution: given "
                                         "the state of DiscreteDistribution$"):
        v._restore("ContinuousDistribution", (normal_pdf,), discrete_state)
    with pytest.raises(ValueError, match="no class 'Interval' is restored from a saved state"):
        v._restore("Interval", (), discrete_state)


@pytest.mark.parametrize("name, callables, state, message", [
    ("ContinuousDistribution", (None,), None, "restored with the callable it holds, not a "
                                              "'NoneType' object"),
    ("ContinuousDistribution", (normal_pdf, normal_pdf), None, "exactly one callable"),
    ("ContinuousDistribution", (3,), None, "not a 'int' object"),
    ("DiscreteDistribution", (normal_pdf,), None, "holds no callable"),
    ("ContinuousDistribution", [normal_pdf], None,
     "'list' object cannot be converted to 'PyTuple'"),
    ("ContinuousDistribution", (normal_pdf,), "text",
     "'str' object cannot be converted to 'PyBytes'"),
])
def test_callables_and_arguments_that_do_not_fit_are_type_errors(name, callables, state, message):
    _, _, own = reduced(SAMPLES[name]())
    with pytest.raises(TypeError, match=message):
        v._restore(name, callables, own if state is None else state)


def test_a_histogram_takes_none_and_nothing_else():
    name, callables, state = reduced(histogram())
    assert callables == (None,)
    with pytest.raises(TypeError, match="holds no callable: None expected"):
        v._restore(name, (normal_pdf,), state)


def use(obj):
    """A little work with a restored object; its own errors are allowed, crashes are not. (A
    TDR hat is only queried: one tampered into rejecting nearly everything would take its full
    count of trials per draw, through the Python density; the C++ tests draw from such hats.)"""
    try:
        if isinstance(obj, v.ContinuousDistribution):
            obj.pdf(0.3)
            if obj.uses_hermite_table() or obj.uses_interpolation():
                obj.sample_n(5, seed=1)
                obj.ppf(0.3)
        elif isinstance(obj, v.DiscreteDistribution):
            obj.sample_n(20, seed=1)
            obj.mean()
        elif isinstance(obj, v.GaussianCopula):
            obj.sample([float] * obj.dim(), seed=1)
        else:
            obj.sample()
    except (v.SampleError, v.BuildError):
        pass


FUZZED = {
    "hermite": lambda: v.from_pdf_with_options(normal_pdf, v.Interval(-5, 5),
                                               v.BuildOptions.hermite(12)),
    "tdr_log": lambda: v.from_pdf_with_options(normal_pdf, v.Interval(-5, 5),
                                               v.BuildOptions.tdr("log", 6)),
    "histogram": lambda: v.from_histogram([0, 1, 2.5, 3], [2, 5, 1]),
    "interpolated": lambda: v.from_pdf_with_options(normal_pdf, v.Interval(-2, 2),
                                                    v.BuildOptions.interpolated(1e-5)),
    "discrete": SAMPLES["DiscreteDistribution"],
    "chain": SAMPLES["MetropolisHastings"],
    "copula": SAMPLES["GaussianCopula"],
}


@pytest.mark.parametrize("name", FUZZED)
def test_fuzzed_states_are_refused_or_sound(name):
    obj = FUZZED[name]()
    if name == "chain":
        obj.init()
    cls, callables, state = reduced(obj)
    refused = 0
    cases = [state[:cut] for cut in range(len(state))]
    for i in range(len(state)):
        for mask in (0x01, 0x80, 0xFF):
            cases.append(state[:i] + bytes([state[i] ^ mask]) + state[i + 1:])
    for broken in cases:
        try:
            back = v._restore(cls, callables, broken)
        except ValueError as e:
            assert str(e).startswith("invalid saved state: " + cls + ": ")
            refused += 1
        else:
            use(back)
    assert refused >= len(state)  # every truncation at least

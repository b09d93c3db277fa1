"""Multivariate samplers in a box, through the Python surface."""
import gc
import math
import sys
import threading

import pytest

import _varnix as v
from helpers import error_text

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
    with pytest.raises(v.SampleError, match=error_text("rejection sampler failed to accept")):
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


# ---- Binding rules shared by the samplers ----

def density(x, y):
    return 1.0 + x * y


THREAD_BOUND = {
    "MetropolisHastings": (lambda: v.metropolis_hastings(density, UNIT2),
                           lambda s: s.accept_rate()),
    "HmcSampler": (lambda: v.hmc_sampler(density, UNIT2), lambda s: s.sample_n(0)),
    "GibbsSampler": (lambda: v.gibbs_sampler(lambda i, x: 0.5, UNIT2, [0, 0]), lambda s: s.step()),
    "CdfMcEstimator": (lambda: v.cdf_mc_estimator(density, UNIT2, 10, 10),
                       lambda s: s.estimate_normalization(seed=1)),
}
FREE = {
    "RejectionSampler": (lambda: v.rejection_sampler(density, UNIT2, 2.0), lambda s: s.sample()),
    "ConditionalFactorizationSampler": (lambda: v.conditional_factorization_sampler(
        lambda i, p: 0.5, 2), lambda s: s.sample()),
    "GaussianCopula": (lambda: v.gaussian_copula([[1.0]]), lambda s: s.sample([float])),
    "HyperRect": (lambda: v.HyperRect([0], [1]), lambda s: s.dim()),
}


def on_other_thread(fn):
    """Runs fn on a new thread; returns what it raised (BaseException included) or None."""
    caught = []

    def run():
        try:
            fn()
        except BaseException as e:  # the thread-binding fault is not an Exception
            # Without its traceback: the frames would keep the sampler in a reference cycle,
            # and the collector might then release it on some other thread much later.
            caught.append(e.with_traceback(None))
    t = threading.Thread(target=run)
    t.start()
    t.join()
    return caught[0] if caught else None


def internal_fault_type():
    s = v.metropolis_hastings(density, UNIT2)
    return type(on_other_thread(s.accept_rate))


@pytest.mark.parametrize("name", THREAD_BOUND)
def test_thread_bound_samplers_refuse_other_threads(name):
    make, use = THREAD_BOUND[name]
    s = make()
    fault = on_other_thread(lambda: use(s))
    assert isinstance(fault, BaseException) and not isinstance(fault, Exception)
    assert name in str(fault)
    use(s)  # still usable on its own thread: the refusal took no borrow


@pytest.mark.parametrize("name", FREE)
def test_other_multivariate_classes_work_from_any_thread(name):
    make, use = FREE[name]
    s = make()
    assert on_other_thread(lambda: use(s)) is None


@pytest.mark.parametrize("name", list(THREAD_BOUND) + list(FREE))
def test_dropping_on_another_thread_is_reported_only_for_thread_bound_samplers(name, monkeypatch):
    make = {**THREAD_BOUND, **FREE}[name][0]
    gc.collect()  # garbage of earlier tests is released here, not while the hook listens
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    held = [make()]
    assert on_other_thread(held.pop) is None  # the last reference dies on that thread
    if name in THREAD_BOUND:
        assert len(reports) == 1
        error = reports[0].exc_value
        assert type(error) is RuntimeError
        assert str(error).endswith(" is unsendable, but is being dropped on another thread")
        assert name in str(error)
    else:
        assert reports == []


def reentering(reenter, value=None):
    """A density (or coordinate sampler) that first calls back into its own sampler, recording
    the error it meets; it then returns value, or lets the error through when value is None."""
    def f(*args):
        try:
            reenter(f.sampler)
        except RuntimeError as e:
            f.errors.add(str(e))
            if value is None:
                raise
        return value
    f.errors = set()
    return f


@pytest.mark.parametrize("make, reenter, run, message, inner", [
    (lambda f: v.metropolis_hastings(f, UNIT2), lambda s: s.init(), lambda s: s.init(),
     "mcmc sampler failed", "Already borrowed"),
    (lambda f: v.metropolis_hastings(f, UNIT2), lambda s: s.accept_rate(), lambda s: s.init(),
     "mcmc sampler failed", "Already mutably borrowed"),
    (lambda f: v.hmc_sampler(f, UNIT2), lambda s: s.sample_n(0), lambda s: s.init(),
     "mcmc sampler failed", "Already borrowed"),
    (lambda f: v.cdf_mc_estimator(f, UNIT2, 20, 20), lambda s: s.estimate_normalization(),
     lambda s: s.cdf([0.5, 0.5]), "numerical integration failed", "Already borrowed"),
], ids=["mh-init", "mh-accept_rate", "hmc", "cdf_mc"])
def test_density_that_always_reenters_its_sampler_sees_only_nan(make, reenter, run, message,
                                                                inner):
    f = reentering(reenter)
    f.sampler = make(f)
    with pytest.raises(v.SampleError, match=error_text(message)):
        run(f.sampler)
    assert f.errors == {inner}


def test_gibbs_coordinate_sampler_that_reenters_leaves_nan():
    f = reentering(lambda g: g.step())
    f.sampler = v.gibbs_sampler(f, UNIT2, [0.5, 0.5])
    assert all(math.isnan(x) for x in f.sampler.step())
    assert f.errors == {"Already borrowed"}


@pytest.mark.parametrize("reenter, inner", [
    (lambda s: s.step(), "Already borrowed"),
    (lambda s: s.sample_n(1, seed=1), "Already borrowed"),
    (lambda s: s.accept_rate(), "Already mutably borrowed"),
])
def test_refused_reentry_does_not_disturb_the_running_chain(reenter, inner):
    f = reentering(reenter, value=1.0)
    f.sampler = v.metropolis_hastings(f, UNIT2, burn_in=3)
    f.sampler.init()
    f.sampler.step()
    assert len(f.sampler.sample_n(2, seed=1)) == 2
    assert f.sampler.accept_rate() == 1.0  # a constant density accepts every proposal
    assert f.errors == {inner}


def test_internal_fault_inside_a_user_function_is_not_swallowed():
    fault = internal_fault_type()

    def broken(*args):
        raise fault("broken invariant")
    cases = [
        lambda: v.metropolis_hastings(broken, UNIT2).init(),
        lambda: v.hmc_sampler(broken, UNIT2).init(),
        lambda: v.cdf_mc_estimator(broken, UNIT2, 5, 5).estimate_normalization(),
        lambda: v.rejection_sampler(broken, UNIT2, 1.0).sample(),
        lambda: v.gibbs_sampler(broken, UNIT2, [0, 0]).step(),
        lambda: v.conditional_factorization_sampler(broken, 2).sample(),
        lambda: v.gaussian_copula([[1.0]]).sample([broken]),
    ]
    for case in cases:
        with pytest.raises(fault, match="^broken invariant$"):
            case()


def test_chain_survives_an_internal_fault_in_its_density():
    fault = internal_fault_type()
    state = {"broken": False}

    def f(x, y):
        if state["broken"]:
            raise fault("broken invariant")
        return 1.0
    s = v.metropolis_hastings(f, UNIT2, burn_in=0)
    s.init()
    s.sample_n(4, seed=1)
    state["broken"] = True
    with pytest.raises(fault):
        s.step()
    state["broken"] = False
    assert s.accept_rate() == 1.0  # the interrupted transition was not counted
    s.step()  # and the exclusive borrow was given back


# ---- Argument conversion of the samplers ----

FACTORIES = {
    "rejection_sampler": lambda **kw: v.rejection_sampler(density, UNIT2, 1.0, **kw),
    "metropolis_hastings": lambda **kw: v.metropolis_hastings(density, UNIT2, **kw),
    "hmc_sampler": lambda **kw: v.hmc_sampler(density, UNIT2, **kw),
    "gibbs_sampler": lambda **kw: v.gibbs_sampler(density, UNIT2, [0, 0], **kw),
    "cdf_mc_estimator": lambda **kw: v.cdf_mc_estimator(density, UNIT2, **kw),
}
COUNTS = [("rejection_sampler", "max_trials"), ("metropolis_hastings", "burn_in"),
          ("metropolis_hastings", "thin"), ("metropolis_hastings", "adapt_steps"),
          ("hmc_sampler", "leapfrog_steps"), ("gibbs_sampler", "sweeps_per_sample"),
          ("cdf_mc_estimator", "normalization_samples"), ("cdf_mc_estimator", "cdf_samples")]
FLOATS = [("metropolis_hastings", "step_size"), ("metropolis_hastings", "target_accept"),
          ("hmc_sampler", "step_size"), ("hmc_sampler", "grad_eps")]


@pytest.mark.parametrize("factory, name", COUNTS)
def test_negative_counts_overflow(factory, name):
    with pytest.raises(OverflowError):
        FACTORIES[factory](**{name: -1})
    with pytest.raises(OverflowError):
        FACTORIES[factory](**{name: 2 ** 64})


@pytest.mark.parametrize("factory, name", COUNTS + FLOATS)
def test_explicit_none_is_converted_not_taken_as_the_default(factory, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        FACTORIES[factory](**{name: None})


def chains():
    mh = v.metropolis_hastings(density, UNIT2, burn_in=0)
    mh.init()
    hmc = v.hmc_sampler(density, UNIT2)
    hmc.init()
    return mh, hmc


@pytest.mark.parametrize("call", [
    lambda mh, hmc: mh.sample_n(-1),
    lambda mh, hmc: mh.sample_n(1, seed=-1),
    lambda mh, hmc: hmc.sample_n(-1),
    lambda mh, hmc: hmc.sample_n(1, seed=2 ** 64),
    lambda mh, hmc: v.conditional_factorization_sampler(float, -1),
    lambda mh, hmc: v.conditional_factorization_sampler(float, 1).sample_n(-1),
    lambda mh, hmc: v.gaussian_copula([[1.0]]).sample([float], seed=-1),
    lambda mh, hmc: v.cdf_mc_estimator(density, UNIT2).estimate_normalization(seed=-1),
    lambda mh, hmc: v.cdf_mc_estimator(density, UNIT2).cdf([0.5, 0.5], seed=-1),
])
def test_negative_sizes_and_seeds_overflow(call):
    with pytest.raises(OverflowError):
        call(*chains())


MAKE_MH = lambda support: v.metropolis_hastings(density, support)  # noqa: E731
MAKE_HMC = lambda support: v.hmc_sampler(density, support)  # noqa: E731


@pytest.mark.parametrize("make", [
    lambda support: v.rejection_sampler(density, support, 1.0),
    MAKE_MH,
    MAKE_HMC,
    lambda support: v.gibbs_sampler(density, support, [0.0]),
    lambda support: v.cdf_mc_estimator(density, support),
])
@pytest.mark.parametrize("support, type_name", [([0, 1], "list"), (None, "NoneType"),
                                                (v.Interval(0.0, 1.0), "Interval")])
def test_support_must_be_a_hyper_rect(make, support, type_name):
    if support is None and make in (MAKE_MH, MAKE_HMC):
        assert type(make(None)) is type(make(UNIT2))  # the chains take None: the whole space
        return
    with pytest.raises(TypeError, match=f"^argument 'support': '{type_name}' object cannot be "
                                        "converted to 'HyperRect'$"):
        make(support)

"""Ctrl-C and other exceptions that are not an Exception end a call promptly, leave nothing half
built and leave chains at their last completed transition."""
import gc
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import _varnix as v

UNIT = v.Interval(0.0, 1.0)
BOX = v.HyperRect([0.0, 0.0], [1.0, 1.0])


class Stop(BaseException):
    """Neither an Exception nor one of Python's own: any such exception ends the call."""


def stopping(value, stop_at, exc):
    """A callable returning value(*args), raising exc at its stop_at-th call (from 1)."""
    def f(*args):
        f.calls += 1
        if f.calls == f.stop_at:
            raise f.raised
        return value(*args)
    f.calls = 0
    f.stop_at = stop_at
    f.raised = exc()
    return f


def one(*args):
    return 1.0


def query(method):
    """A call on a distribution built from a well-behaved density that then turns into f."""
    def run(f):
        built = []
        d = v.from_pdf(lambda x: f(x) if built else 1.0, UNIT)
        built.append(True)
        return method(d)
    return run


# Each entry: the form of a well-behaved user function, and a call given such a function.
CALLS = {
    "from_pdf": (one, lambda f: v.from_pdf(f, UNIT)),
    "from_cdf": (lambda x: x, lambda f: v.from_cdf(f, UNIT)),
    "hermite_build": (one, lambda f: v.from_pdf_with_options(f, UNIT, v.BuildOptions.hermite(64))),
    "dpdf": (lambda x: 0.0, lambda f: v.from_pdf_dpdf(one, f, UNIT, v.BuildOptions.tdr("log"))),
    "cdf": (one, query(lambda d: d.cdf(0.5))),
    "ppf": (one, query(lambda d: d.ppf(0.3))),
    "sample_n": (one, query(lambda d: d.sample_n(10, seed=1))),
    "expect": (lambda x: x, lambda f: v.from_pdf(one, UNIT).expect(f)),
    "rejection": (one, lambda f: v.rejection_sampler(f, BOX, 1.0).sample_n(100, seed=1)),
    "mh_init": (lambda x, y: 0.0, lambda f: v.metropolis_hastings(f, BOX).init()),
    "gibbs": (lambda i, x: 0.5, lambda f: v.gibbs_sampler(f, BOX, [0.5, 0.5]).step()),
    "conditional": (lambda i, prev: 0.5,
                    lambda f: v.conditional_factorization_sampler(f, 2).sample_n(10)),
    "copula": (lambda u: u, lambda f: v.gaussian_copula([[1.0, 0.0], [0.0, 1.0]]).sample([f, f])),
    "cdf_mc": (one, lambda f: v.cdf_mc_estimator(f, BOX, 100, 100).estimate_normalization(seed=1)),
}


# (SystemExit and GeneratorExit, on one call: tests/test_bridge.py.)
@pytest.mark.parametrize("exc", [KeyboardInterrupt, Stop])
@pytest.mark.parametrize("name", CALLS)
def test_the_exception_ends_the_call_at_once(name, exc):
    value, call = CALLS[name]
    f = stopping(value, 2, exc)
    with pytest.raises(exc) as info:
        call(f)
    assert info.value is f.raised  # the user's own exception object, unchanged
    assert f.calls == 2  # nothing more was evaluated after it
    assert sys.exc_info() == (None, None, None)


def test_an_exception_of_user_code_still_counts_as_nan():
    # The boundary: Exception subclasses keep the specified behaviour.
    f = stopping(one, 2, ValueError)
    assert v.from_pdf(f, UNIT).cdf(0.5) == pytest.approx(0.5)
    assert f.calls > 2


def test_an_interrupted_build_leaves_nothing_that_holds_the_function():
    f = stopping(one, 500, KeyboardInterrupt)
    before = sys.getrefcount(f)
    try:
        v.from_pdf_with_options(f, UNIT, v.BuildOptions.hermite(64))
    except KeyboardInterrupt:
        pass
    f.raised = None  # its traceback refers to f's frame
    gc.collect()
    assert f.calls == 500
    assert sys.getrefcount(f) == before
    f.stop_at = 0  # the same function builds afterwards
    assert v.from_pdf_with_options(f, UNIT, v.BuildOptions.hermite(64)).cdf(0.5) == \
        pytest.approx(0.5)


def test_an_interrupt_inside_a_nested_call_ends_the_outer_call_too():
    inner_f = stopping(one, 0, KeyboardInterrupt)
    inner = v.from_pdf(inner_f, UNIT)
    inner_f.calls, inner_f.stop_at = 0, 3
    outer_calls = []
    raised_at = []

    def outer(x):
        outer_calls.append(x)
        try:
            return inner.cdf(x) + 1.0
        except KeyboardInterrupt:
            raised_at.append(len(outer_calls))
            raise

    with pytest.raises(KeyboardInterrupt):
        v.from_pdf(outer, UNIT)
    assert inner_f.calls == 3
    assert raised_at == [len(outer_calls)]  # the outer build made no call after it


# ---- chains keep their last completed transition ------------------------------------------


class Switchable:
    """A density in the box that is 1 (every proposal accepted) and records its points, raises
    KeyboardInterrupt at call stop_at, then is 0 (every proposal refused: a step shows the
    chain's state unchanged)."""

    def __init__(self, stop_at):
        self.stop_at = stop_at
        self.points = []
        self.on = True

    def __call__(self, x, y):
        if not self.on:
            return 0.0
        self.points.append([x, y])
        if len(self.points) == self.stop_at:
            self.on = False
            raise KeyboardInterrupt
        return 1.0


@pytest.mark.parametrize("stop_at", [1, 2, 37])
def test_metropolis_hastings_keeps_the_state_and_counts_of_its_last_completed_transition(stop_at):
    f = Switchable(10**9)
    chain = v.metropolis_hastings(f, BOX, burn_in=0, adapt_steps=0)
    chain.init()
    start = f.points[-1]
    f.points.clear()
    f.stop_at = stop_at
    with pytest.raises(KeyboardInterrupt):
        chain.sample_n(10**6, seed=4)
    # Each transition evaluates its proposal once, and here accepts it.
    expected = f.points[-2] if stop_at > 1 else start
    assert chain.step() == expected
    # stop_at - 1 accepted transitions, then the refused step: the interrupted one left no count.
    assert chain.accept_rate() == (stop_at - 1) / stop_at
    chain.sample_n(3, seed=5)  # still usable, and not borrowed


@pytest.mark.parametrize("stop_at", [1, 17, 18, 40])
def test_hmc_keeps_the_state_of_its_last_completed_trajectory(stop_at):
    f = Switchable(10**9)
    chain = v.hmc_sampler(f, BOX, step_size=0.05, leapfrog_steps=3, jitter=0.0)
    chain.init()
    start = f.points[-1]
    f.points.clear()
    f.stop_at = stop_at
    with pytest.raises(KeyboardInterrupt):
        chain.sample_n(10**6, seed=4)
    # 2d(L+1) gradient calls, then the end point, which is accepted (the density is flat).
    per_transition = 2 * 2 * (3 + 1) + 1
    done = (stop_at - 1) // per_transition
    expected = f.points[done * per_transition - 1] if done else start
    assert chain.sample() == expected


def test_gibbs_keeps_the_state_of_its_last_completed_sweep():
    calls = []

    def sample_coord(i, x):
        calls.append(list(x))
        if len(calls) == 5:
            raise KeyboardInterrupt
        return float(len(calls)) if len(calls) < 5 else x[i]  # later: keeps every value

    g = v.gibbs_sampler(sample_coord, v.HyperRect([0, 0, 0], [9, 9, 9]), [0.0, 0.0, 0.0])
    assert g.step() == [1.0, 2.0, 3.0]
    with pytest.raises(KeyboardInterrupt):
        g.step()
    assert calls[-1] == [4.0, 2.0, 3.0]  # the interrupted sweep had changed coordinate 0
    assert g.step() == [1.0, 2.0, 3.0]


# ---- SIGINT during long work ----------------------------------------------------------------

# The child builds what it needs, says "go" just before the long call, and reports when the
# interrupt arrives, then whether the object still works.
CHILD = textwrap.dedent("""\
    import math, resource, sys, time
    import _varnix as v
    # A run that ignored the interrupt fails with MemoryError instead of filling the machine.
    resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
    N = lambda x: math.exp(-0.5 * x * x)
    work = sys.argv[1]
    if work == "hermite_build":
        run = lambda: v.from_pdf_with_options(N, v.Interval(-8, 8), v.BuildOptions.hermite(4096))
        after = lambda: v.from_pdf(N, v.Interval(-8, 8)).cdf(0.0)
    elif work == "inversion_batch":
        d = v.from_pdf(N, v.Interval(-8, 8))
        run = lambda: d.sample_n(10**6)
        after = lambda: d.sample_n(2, seed=1)
    elif work == "mh_batch":
        d = v.metropolis_hastings(lambda x, y: math.exp(-x * x - y * y), v.HyperRect([-3, -3], [3, 3]))
        d.init()
        run = lambda: d.sample_n(10**8)
        after = lambda: d.sample_n(2, seed=1)
    elif work == "discrete_batch":
        d = v.from_pmf([1.0, 2.0, 3.0], [1.0, 2.0, 3.0])
        run = lambda: d.sample_n(3 * 10**8)  # about ten seconds
        after = lambda: d.sample_n(2, seed=1)
    print("go", flush=True)
    try:
        run()
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        print("usable", after(), flush=True)
""")


@pytest.mark.parametrize("work", ["hermite_build", "inversion_batch", "mh_batch",
                                  "discrete_batch"])
def test_sigint_during_long_work_raises_keyboard_interrupt_within_a_second(work):
    child = subprocess.Popen([sys.executable, "-c", CHILD, work], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "go\n", child.stderr.read()
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        line = child.stdout.readline()
        latency = time.monotonic() - sent
        assert line == "interrupted\n", line + child.stderr.read()
        assert latency < 1.0
        assert child.stdout.readline().startswith("usable ")
        assert child.wait(timeout=10) == 0
    finally:
        child.kill()
        child.wait()

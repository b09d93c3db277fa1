"""Chains a Bayesian would trust: log densities, gradients, the whole space, several chains.

One statistical table (targets x samplers x input forms), one table of refused tuning and bad
input, and the behaviours the table cannot see (the fixed trajectory kept bit for bit, call
counts with a gradient, reproducible chains, saved states).
"""
import ctypes
import math
import os
import pickle
import shutil
import subprocess

import pytest

import _varnix as v

np = pytest.importorskip("numpy")

PI = math.pi


# ---- Targets: log density, its gradient, and the exact (or independently found) moments ----

def normal1():
    sd = 1.0 / PI
    return dict(d=1, box=v.HyperRect([-10.0], [10.0]),
                logp=lambda x: -0.5 * (x / sd) ** 2, grad=lambda x: [-x / sd ** 2],
                mean=np.zeros(1), sd=np.array([sd]), ref_se=np.zeros(1))


def gauss3():
    sds = np.array([1.0, 0.32, 0.1])
    corr = np.eye(3)
    corr[0, 1] = corr[1, 0] = 0.9
    prec = np.linalg.inv(corr * np.outer(sds, sds))
    p = prec.tolist()

    def logp(a, b, c):
        x = (a, b, c)
        return -0.5 * sum(p[i][j] * x[i] * x[j] for i in range(3) for j in range(3))

    def grad(a, b, c):
        x = (a, b, c)
        return [-sum(p[i][j] * x[j] for j in range(3)) for i in range(3)]

    return dict(d=3, box=v.HyperRect([-6.0] * 3, [6.0] * 3), logp=logp, grad=grad,
                mean=np.zeros(3), sd=sds, ref_se=np.zeros(3))


def logistic():
    """A 5-coefficient logistic regression on 200 seeded points, normal(0, 5^2) prior. The
    reference moments come from importance sampling with the Laplace approximation (a method
    independent of the chains), with their own standard errors."""
    rng = np.random.default_rng(19)
    X = np.column_stack([np.ones(200), rng.normal(size=(200, 4))])
    beta = np.array([0.5, -1.0, 0.8, 0.0, 0.3])
    y = (rng.random(200) < 1 / (1 + np.exp(-X @ beta))).astype(float)

    def logp_vec(b):  # b: (k, 5)
        eta = b @ X.T
        return (y * eta - np.logaddexp(0.0, eta)).sum(axis=1) - 0.5 * (b ** 2).sum(axis=1) / 25

    def logp_grad(*b):
        b = np.array(b)
        eta = X @ b
        g = X.T @ (y - 1 / (1 + np.exp(-eta))) - b / 25
        return float(y @ eta - np.logaddexp(0.0, eta).sum() - 0.5 * b @ b / 25), g.tolist()

    mode = np.zeros(5)
    for _ in range(30):  # Newton's method for the mode
        pr = 1 / (1 + np.exp(-X @ mode))
        hess = -(X.T * (pr * (1 - pr))) @ X - np.eye(5) / 25
        mode = mode - np.linalg.solve(hess, X.T @ (y - pr) - mode / 25)
    cov = np.linalg.inv(-hess)
    draws = np.random.default_rng(7).multivariate_normal(mode, cov, size=200_000)
    diff = draws - mode
    log_q = -0.5 * np.einsum("ij,jk,ik->i", diff, np.linalg.inv(cov), diff)
    w = np.exp(logp_vec(draws) - log_q - (logp_vec(draws) - log_q).max())
    w /= w.sum()
    mean = w @ draws
    sd = np.sqrt(w @ (draws - mean) ** 2)
    ess = 1 / (w ** 2).sum()
    return dict(d=5, box=None, logp=lambda *b: logp_grad(*b)[0], pair=logp_grad,
                mean=mean, sd=sd, ref_se=sd / math.sqrt(ess), init=mode)


TARGETS = {"normal1": normal1, "gauss3": gauss3, "logistic": logistic}
_made = {}


def target(name):
    if name not in _made:
        _made[name] = TARGETS[name]()
    return _made[name]


# Input forms: the density in the box; its logarithm shifted by -1e4 (exp of it would underflow)
# on the whole space; with a gradient function; with f giving the log density and gradient.
SHIFT = -1.0e4


def build(t, sampler, form):
    logp = t["logp"]
    if form == "density":
        f = lambda *x: math.exp(logp(*x))  # noqa: E731
        kw, support = {}, t["box"]
    elif form == "pair":
        f, kw, support = t["pair"], {"log_density": True, "grad": True}, None
    else:
        f = lambda *x: logp(*x) + SHIFT  # noqa: E731
        kw, support = {"log_density": True}, None
        if form == "log+grad":
            kw["grad"] = t["grad"]
    make = v.hmc_sampler if sampler == "hmc" else v.metropolis_hastings
    return make(f, support, **kw)


def starts(t, chains, seed):
    """Dispersed start points for the whole space: the reference mean plus 2 sds of noise."""
    centre = t.get("init", t["mean"])
    noise = np.random.default_rng(seed).normal(size=(chains, t["d"]))
    return (centre + 2 * t["sd"] * noise).tolist()


# (target, sampler, input form, transitions per chain). The 20,000 per chain is kept
# for Metropolis-Hastings, whose transitions cost one call; HMC mixes far faster per transition
# and costs 21 to 211 calls each, so it runs fewer: the tolerances below are in the chains' own
# Monte Carlo standard errors, so a shorter run widens them rather than making the test flaky.
TABLE = [
    ("normal1", "hmc", "density", 4000),   # the defaults that used to flip between two points
    ("normal1", "mh", "density", 20000),
    ("normal1", "hmc", "log+grad", 4000),
    ("normal1", "mh", "log", 20000),
    ("gauss3", "hmc", "density", 1500),
    ("gauss3", "hmc", "log+grad", 3000),
    ("gauss3", "mh", "log", 20000),
    ("logistic", "hmc", "pair", 1500),
    ("logistic", "mh", "log", 20000),
]


@pytest.mark.parametrize("name, sampler, form, n", TABLE,
                         ids=[f"{a}-{b}-{c}" for a, b, c, _ in TABLE])
def test_chains_agree_with_the_reference(name, sampler, form, n):
    # Four chains, R-hat <= 1.01, means and sds within 4 Monte Carlo standard errors (from the
    # chains' own effective sample sizes, with the reference's own error added). Each check
    # fails by chance with probability about 6e-5 under the normal approximation, so the whole
    # table (about 60 checks) with probability below 0.5%; the seeds are fixed.
    t = target(name)
    s = build(t, sampler, form)
    inits = None if form == "density" else starts(t, 4, 11)
    draws = s.sample_chains(n, chains=4, seed=2024, warmup=1000, inits=inits)
    assert draws.shape == (4, n, t["d"]) and draws.dtype == np.float64
    diag = v.diagnostics(draws)
    assert max(diag["rhat"]) <= 1.01, diag
    flat = draws.reshape(-1, t["d"])
    mean = flat.mean(axis=0)
    se_mean = np.hypot(np.array(diag["mcse_mean"]), t["ref_se"])
    assert np.all(np.abs(mean - t["mean"]) <= 4 * se_mean), (mean, t["mean"], se_mean)
    # The sd through the mean of the squared deviations, and that mean's own standard error.
    sq = (draws - t["mean"]) ** 2
    se_sq = np.array(v.diagnostics(np.ascontiguousarray(sq))["mcse_mean"])
    second = sq.reshape(-1, t["d"]).mean(axis=0)
    se_sd = np.hypot(se_sq / (2 * t["sd"]), t["ref_se"])
    assert np.all(np.abs(np.sqrt(second) - t["sd"]) <= 4 * se_sd), (np.sqrt(second), t["sd"])


# ---- Refused tuning and bad input: an error naming what is wrong, never NaN or a frozen chain ---

def gauss(x, y):
    return math.exp(-0.5 * (x * x + y * y))


def log_gauss(x, y):
    return -0.5 * (x * x + y * y)


BOX = v.HyperRect([-3.0, -3.0], [3.0, 3.0])
BE = v.BuildError


def hmc_on(*args, **kw):
    return lambda: v.hmc_sampler(gauss, BOX, *args, **kw)


def mh_on(*args, **kw):
    return lambda: v.metropolis_hastings(gauss, BOX, *args, **kw)


def started_hmc(**kw):
    s = v.hmc_sampler(log_gauss, None, log_density=True, **kw)
    s.init(point=[0.1, 0.2])
    return s


BAD = [
    # Tuning refused at construction (mends: these used to give NaN points or a frozen chain).
    (mh_on(step_size=-1), BE, "step_size must be finite and positive (got -1)"),
    (mh_on(step_size=float("nan")), BE, "step_size must be finite and positive (got NaN)"),
    (mh_on(target_accept=1.0), BE, "target_accept must lie in (0, 1) (got 1)"),
    (hmc_on(step_size=float("nan")), BE, "step_size must be finite and positive (got NaN)"),
    (hmc_on(step_size=0.0), BE, "step_size must be finite and positive (got 0)"),
    (hmc_on(leapfrog_steps=0), BE, "leapfrog_steps must be at least 1"),
    (hmc_on(grad_eps=float("inf")), BE, "grad_eps must be finite and positive (got inf)"),
    (hmc_on(jitter=1.5), BE, "jitter must lie in [0, 1] (got 1.5)"),
    (hmc_on(target_accept=0.0), BE, "target_accept must lie in (0, 1) (got 0)"),
    (hmc_on(grad=True), ValueError, "needs log_density=True"),
    (hmc_on(grad=3), TypeError, "argument 'grad': expected a callable, True or None, not 'int'"),
    (lambda: v.hmc_sampler(gauss, BOX, 0.05, 20, 1e-6, True), TypeError, "positional arguments"),
    # Starts.
    (lambda: v.hmc_sampler(gauss, None).init(seed=1), ValueError, "init(point=[...])"),
    (lambda: v.hmc_sampler(gauss, BOX).init(point=[0.0]), ValueError,
     "start point has 1 coordinates, the chain 2"),
    (lambda: v.hmc_sampler(gauss, BOX).init(point=[0.0, 4.0]), ValueError, "outside the box"),
    (lambda: v.hmc_sampler(gauss, None).init(point=[0.0, float("nan")]), ValueError,
     "not finite"),
    (lambda: v.hmc_sampler(lambda x, y: -math.inf, None, log_density=True).init(point=[0, 0]),
     ValueError, "log density at init(): the start point is -inf"),
    (lambda: v.metropolis_hastings(lambda x, y: math.inf, None, log_density=True)
     .init(point=[0, 0]), ValueError, "is -inf"),  # +inf is unusable, like NaN
    # Several chains.
    (lambda: started_hmc().sample_chains(10, chains=0), ValueError, "chains must be from 1"),
    (lambda: started_hmc().sample_chains(10, chains=2**40), ValueError, "chains must be from 1"),
    (lambda: started_hmc().sample_chains(10, seed=-1), OverflowError, ""),
    (lambda: started_hmc().sample_chains(10, chains=2, inits=[[0, 0]]), ValueError,
     "one start point per chain (2), not 1"),
    (lambda: started_hmc().sample_chains(10, chains=2, inits=[[0, 0], [0]]), ValueError,
     "every start point must have 2 coordinates"),
    (lambda: v.hmc_sampler(gauss, None).sample_chains(10), ValueError, "inits=[...]"),
    (lambda: v.hmc_sampler(gauss, BOX).sample_chains(10, chains=2, inits=[[0, 0], [0, 9]]),
     ValueError, "start point of chain 1 lies outside the box"),
]


@pytest.mark.parametrize("call, error, text", BAD)
def test_bad_tuning_and_input_are_refused_clearly(call, error, text):
    with pytest.raises(error) as raised:
        call()
    assert text in str(raised.value)


@pytest.mark.parametrize("grad", [
    lambda x, y: [1.0],                    # wrong length
    lambda x, y: [float("nan"), 0.0],      # NaN
    lambda x, y: 1 / 0,                    # raises
])
def test_a_bad_gradient_rejects_the_trajectory_and_the_chain_stays(grad):
    s = v.hmc_sampler(log_gauss, None, log_density=True, grad=grad)
    s.init(point=[0.5, -0.5])
    assert s.sample_n(5, seed=1) == [[0.5, -0.5]] * 5
    assert s.accept_rate() == 0.0


def test_n_zero_and_a_log_density_far_below_zero():
    s = started_hmc()
    assert s.sample_chains(0, chains=3, seed=1).shape == (3, 0, 2)
    deep = v.metropolis_hastings(lambda x, y: log_gauss(x, y) - 1e5, None, log_density=True)
    deep.init(point=[0.0, 0.0])  # exp would give 0 here, and init would fail
    assert len(deep.sample_n(10, seed=1)) == 10


# ---- The fixed trajectory, jitter and adaptation ----

def test_jitter_zero_gives_the_fixed_trajectory_bit_for_bit():
    # The draws of the fixed trajectory before jitter existed, for the target: a
    # trajectory of exactly half a period flips the chain between two points.
    f = lambda x: math.exp(-0.5 * (x * PI) ** 2)  # noqa: E731
    fixed = v.hmc_sampler(f, v.HyperRect([-10.0], [10.0]), jitter=0.0)
    fixed.init(seed=3)
    assert fixed.sample_n(5, seed=1) == [[-2.46055738371881], [2.46092297011874],
                                         [-2.461648970148704], [2.46249312091359],
                                         [-2.4622861601090307]]
    mended = v.hmc_sampler(f, v.HyperRect([-10.0], [10.0]))
    mended.init(seed=3)
    assert abs(np.std(mended.sample_n(4000, seed=1)) - 1 / PI) < 0.03


@pytest.mark.parametrize("kw, calls_per_transition", [
    ({}, 2 * 2 * 6 + 1),                                     # central differences
    ({"grad": lambda x, y: [-x, -y]}, 6 + 1),                # L + 1 gradients and f once
    ({"grad": True}, 6),                                     # L + 1 calls giving both
])
def test_a_gradient_saves_the_finite_differences(kw, calls_per_transition):
    calls = []

    def f(x, y):
        calls.append(1)
        return (log_gauss(x, y), [-x, -y]) if kw.get("grad") is True else log_gauss(x, y)

    def counted(fn):
        return lambda x, y: calls.append(1) or fn(x, y)

    if callable(kw.get("grad")):
        kw = {"grad": counted(kw["grad"])}
    s = v.hmc_sampler(f, None, leapfrog_steps=5, log_density=True, jitter=0.0, **kw)
    s.init(point=[0.1, 0.1])
    calls.clear()
    s.sample_n(10, seed=4)
    assert len(calls) == 10 * calls_per_transition


def test_dual_averaging_moves_the_step_towards_the_target_acceptance():
    s = v.hmc_sampler(log_gauss, None, step_size=2.5, leapfrog_steps=5, log_density=True,
                      grad=lambda x, y: [-x, -y], adapt_steps=500, target_accept=0.8)
    s.init(point=[0.0, 0.0])
    s.sample_n(500, seed=3)     # the warm-up
    s.init(point=[0.0, 0.0])    # counters restart, the adapted step stays
    s.sample_n(2000, seed=4)
    assert 0.65 < s.accept_rate() < 0.95
    fixed = v.hmc_sampler(log_gauss, None, step_size=2.5, leapfrog_steps=5, log_density=True)
    fixed.init(point=[0.0, 0.0])
    fixed.sample_n(500, seed=4)
    assert fixed.accept_rate() < 0.3


# ---- Several chains: reproducible, independent of the number of chains ----

@pytest.mark.parametrize("make", [
    lambda: v.metropolis_hastings(gauss, BOX, burn_in=10),
    lambda: v.hmc_sampler(gauss, BOX, leapfrog_steps=3),
], ids=["mh", "hmc"])
def test_sample_chains_is_reproducible_and_each_chain_its_own(make):
    s = make()
    a = s.sample_chains(50, chains=4, seed=9)
    assert np.array_equal(a, s.sample_chains(50, chains=4, seed=9))
    assert np.array_equal(a[:2], s.sample_chains(50, chains=2, seed=9))  # chain c is chain c
    assert not np.array_equal(a[0], a[1])
    assert not np.array_equal(a, s.sample_chains(50, chains=4, seed=10))
    assert not np.array_equal(a, s.sample_chains(50, chains=4, seed=9, warmup=7))
    with pytest.raises(v.SampleError):  # the sampler itself was not started or moved
        s.sample_n(1)


# ---- Saved states ----

def test_saved_states_keep_the_new_fields_and_old_states_still_load():
    s = v.hmc_sampler(log_gauss, None, log_density=True, grad=grad_of_gauss, adapt_steps=20)
    s.init(point=[0.3, 0.1])
    s.sample_n(30, seed=1)
    copy = pickle.loads(pickle.dumps(s))
    assert copy.sample_n(20, seed=2) == s.sample_n(20, seed=2)
    assert copy.accept_rate() == s.accept_rate()

    # A state of the first format ends before the fields added since: it reads back as the
    # fixed trajectory of a density on a box with finite differences.
    old = v.hmc_sampler(gauss, BOX, jitter=0.0)
    old.init(seed=5)
    _, (name, callables, state) = old.__reduce__()
    first_format = v._restore(name, callables, state[:-(2 + 8 * 10)])
    assert first_format.sample_n(10, seed=3) == old.sample_n(10, seed=3)


def grad_of_gauss(x, y):
    return [-x, -y]


# ---- A compiled density: the chains of the same density in Python, whatever the threads ----

C_LOG_GAUSS = r"""
#include <math.h>
double log_gauss(int n, double *x) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += x[i] * x[i] / (i + 1.0);
    return -0.5 * s;
}
double gauss(int n, double *x) { return exp(log_gauss(n, x)); }
"""


def py_log_gauss(*x):  # the C functions' arithmetic, in their order
    s = 0.0
    for i, t in enumerate(x):
        s += t * t / (i + 1.0)
    return -0.5 * s


@pytest.fixture(scope="module")
def clog(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the compiled density")
    folder = tmp_path_factory.mktemp("clog")
    (folder / "f.c").write_text(C_LOG_GAUSS)
    subprocess.run([cc, "-O1", "-ffp-contract=off", "-shared", "-fPIC", str(folder / "f.c"),
                    "-o", str(folder / "f.so"), "-lm"], check=True)
    lib = ctypes.CDLL(str(folder / "f.so"))
    for fn in (lib.log_gauss, lib.gauss):
        fn.restype = ctypes.c_double
        fn.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_double)]
    return lib


STARTS3 = [[0.1, -0.2, 0.3], [1.0, 0.5, -1.0], [-0.7, 0.0, 0.4], [0.2, 1.5, -0.3]]


@pytest.mark.parametrize("make, name, python_fn, inits", [
    (lambda f: v.metropolis_hastings(f, None, log_density=True, adapt_steps=50),
     "log_gauss", py_log_gauss, STARTS3),
    (lambda f: v.hmc_sampler(f, None, log_density=True, leapfrog_steps=5, adapt_steps=20),
     "log_gauss", py_log_gauss, STARTS3),
    (lambda f: v.hmc_sampler(f, v.HyperRect([-4.0] * 3, [4.0] * 3), leapfrog_steps=5),
     "gauss", lambda *x: math.exp(py_log_gauss(*x)), None),
], ids=["mh-log", "hmc-log", "hmc-density-box"])
def test_compiled_chains_on_threads_equal_the_python_chains(clog, make, name, python_fn, inits):
    # A compiled density runs the chains on threads (one per core, up to the chains), a Python
    # one runs them one after the other: the draws are the same. Limited to one core, the
    # compiled chains run on one thread, with the same draws again.
    def run(f):
        return make(f).sample_chains(300, chains=4, seed=12, warmup=30, inits=inits)

    compiled = run(getattr(clog, name))
    assert np.array_equal(compiled, run(python_fn))
    if hasattr(os, "sched_setaffinity") and len(os.sched_getaffinity(0)) > 1:
        cores = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {min(cores)})
        try:
            one_core = run(getattr(clog, name))
        finally:
            os.sched_setaffinity(0, cores)
        assert np.array_equal(compiled, one_core)

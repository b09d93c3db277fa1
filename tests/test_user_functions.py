"""Compiled user functions (C function pointers of every accepted kind) and functions over
arrays (vectorized): in every role they give exactly what the same function written in Python
gives, and bad ones are refused or handled as a failing Python function is."""

from __future__ import annotations

import ctypes
import math
import pickle
import shutil
import subprocess
import sys
import threading

import pytest

import _varnix as vx

C_SOURCE = r"""
#include <math.h>
double normal(double x) { return exp(-0.5 * x * x); }
double normal_data(double x, void *data) { double m = *(double *)data; return exp(-0.5 * (x - m) * (x - m)); }
double dnormal(double x) { return -x * exp(-0.5 * x * x); }
double logistic_cdf(double x) { return 1.0 / (1.0 + exp(-x)); }
double logistic_ppf(double u) { return log(u / (1.0 - u)); }
double square(double x) { return x * x; }
double gauss(int n, double *x) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += x[i] * x[i];
    return exp(-0.5 * s);
}
double gauss_data(int n, double *x, void *data) { (void)data; return gauss(n, x); }
double coordinate(int i, int n, double *x) { return 0.5 * x[(i + 1) % n] + 0.1; }
double conditional(int i, int n, double *x) { return 0.1 * (i + 1) + (n > 0 ? 0.5 * x[n - 1] : 0.0); }
double nan_at_zero(double x) { return x == 0.0 ? NAN : exp(-0.5 * x * x); }
static double nan_lo = 1.0, nan_hi = 0.0;
void set_nan_between(double lo, double hi) { nan_lo = lo; nan_hi = hi; }
double nan_between(double x) { return x > nan_lo && x < nan_hi ? NAN : exp(-0.5 * x * x); }

double gauss_log(int n, double *x) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) s += x[i] * x[i];
    return -0.5 * s;
}
double gauss_grad(int n, double *x, double *g) {
    for (int i = 0; i < n; ++i) g[i] = -x[i];
    return 0.0;
}

/* Calls made while the interpreter lock was held, and the threads that made calls. */
int PyGILState_Check(void);
#include <pthread.h>
static long calls_locked = 0, calls_total = 0;
static pthread_t seen[64];
static int seen_count = 0;
static pthread_mutex_t seen_lock = PTHREAD_MUTEX_INITIALIZER;
double watched_normal(double x) {
    pthread_mutex_lock(&seen_lock);
    calls_total++;
    if (PyGILState_Check()) calls_locked++;
    pthread_t me = pthread_self();
    int known = 0;
    for (int i = 0; i < seen_count; ++i) known |= pthread_equal(seen[i], me);
    if (!known && seen_count < 64) seen[seen_count++] = me;
    pthread_mutex_unlock(&seen_lock);
    return exp(-0.5 * x * x);
}
double watched_gauss(int n, double *x) { watched_normal(0.0); return gauss(n, x); }
void watch_reset(void) { calls_locked = calls_total = 0; seen_count = 0; }
long watch_locked(void) { return calls_locked; }
long watch_total(void) { return calls_total; }
int watch_threads(void) { return seen_count; }
"""


# The same functions in Python, evaluated in the same order as the C ones.
def normal(x):
    return math.exp(-0.5 * x * x)


def dnormal(x):
    return -x * math.exp(-0.5 * x * x)


def logistic_cdf(x):
    return 1.0 / (1.0 + math.exp(-x))


def logistic_ppf(u):
    return math.log(u / (1.0 - u))


def square(x):
    return x * x


def gauss(*x):
    s = 0.0
    for t in x:
        s += t * t
    return math.exp(-0.5 * s)


def coordinate(i, x):
    return 0.5 * x[(i + 1) % len(x)] + 0.1


def conditional(i, prev):
    return 0.1 * (i + 1) + (0.5 * prev[-1] if prev else 0.0)


SIGNATURES = {
    "normal": (ctypes.c_double, [ctypes.c_double]),
    "normal_data": (ctypes.c_double, [ctypes.c_double, ctypes.c_void_p]),
    "dnormal": (ctypes.c_double, [ctypes.c_double]),
    "logistic_cdf": (ctypes.c_double, [ctypes.c_double]),
    "logistic_ppf": (ctypes.c_double, [ctypes.c_double]),
    "square": (ctypes.c_double, [ctypes.c_double]),
    "gauss": (ctypes.c_double, [ctypes.c_int, ctypes.POINTER(ctypes.c_double)]),
    "gauss_data": (ctypes.c_double,
                   [ctypes.c_int, ctypes.POINTER(ctypes.c_double), ctypes.c_void_p]),
    "coordinate": (ctypes.c_double,
                   [ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_double)]),
    "conditional": (ctypes.c_double,
                    [ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_double)]),
    "nan_at_zero": (ctypes.c_double, [ctypes.c_double]),
    "nan_between": (ctypes.c_double, [ctypes.c_double]),
    "set_nan_between": (None, [ctypes.c_double, ctypes.c_double]),
    "gauss_log": (ctypes.c_double, [ctypes.c_int, ctypes.POINTER(ctypes.c_double)]),
    "gauss_grad": (ctypes.c_double, [ctypes.c_int, ctypes.POINTER(ctypes.c_double),
                                     ctypes.POINTER(ctypes.c_double)]),
    "watched_normal": (ctypes.c_double, [ctypes.c_double]),
    "watched_gauss": (ctypes.c_double, [ctypes.c_int, ctypes.POINTER(ctypes.c_double)]),
    "watch_reset": (None, []),
    "watch_locked": (ctypes.c_long, []),
    "watch_total": (ctypes.c_long, []),
    "watch_threads": (ctypes.c_int, []),
}

CAPSULE_NAMES = {
    1: "double (double)",
    2: "double (int, double *)",
    3: "double (int, int, double *)",
}


@pytest.fixture(scope="module")
def clib(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the compiled test functions")
    folder = tmp_path_factory.mktemp("clib")
    source = folder / "fns.c"
    source.write_text(C_SOURCE)
    lib = folder / "libfns.so"
    subprocess.run([cc, "-O1", "-shared", "-fPIC", str(source), "-o", str(lib), "-lm",
                    "-lpthread"],
                   check=True)
    handle = ctypes.CDLL(str(lib))
    for name, (restype, argtypes) in SIGNATURES.items():
        fn = getattr(handle, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return handle


_capsule_names: list = []  # a capsule keeps a pointer to its name: the bytes must live on


def capsule(fn, signature, address=None):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype = ctypes.py_object
    new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    name = ctypes.create_string_buffer(signature.encode())
    _capsule_names.append(name)
    if address is None:
        address = ctypes.cast(fn, ctypes.c_void_p).value
    return new(address, name, None)


KINDS = ["ctypes", "capsule", "LowLevelCallable", "numba", "cffi", "vectorized"]

PYTHON = {"normal": normal, "dnormal": dnormal, "logistic_cdf": logistic_cdf,
          "logistic_ppf": logistic_ppf, "square": square, "gauss": gauss,
          "coordinate": coordinate, "conditional": conditional}


def compiled(clib, kind, name):
    """The C function `name` as an object of the given kind."""
    fn = getattr(clib, name)
    arity = len(SIGNATURES[name][1])
    if kind == "vectorized":
        # The Python function over an array, point by point: the same values for the same points.
        np = pytest.importorskip("numpy")
        py = PYTHON[name]
        if arity == 1:
            return vx.vectorized(lambda xs: np.array([py(x) for x in xs]))
        if arity == 2:
            return vx.vectorized(lambda rows: np.array([py(*row) for row in rows.tolist()]))
        pytest.skip("coordinate samplers take no function over arrays")
    if kind == "ctypes":
        return fn
    if kind == "capsule":
        return capsule(fn, CAPSULE_NAMES[arity])
    if kind == "LowLevelCallable":
        scipy = pytest.importorskip("scipy")
        return scipy.LowLevelCallable(fn)
    if kind == "numba":
        pytest.importorskip("numba", reason="numba is not installed")
        return numba_functions()[name]
    if kind == "cffi":
        cffi = pytest.importorskip("cffi", reason="cffi is not installed")
        ffi = cffi.FFI()
        c_type = {1: "double(*)(double)", 2: "double(*)(int, double *)",
                  3: "double(*)(int, int, double *)"}[arity]
        return ffi.cast(c_type, ctypes.cast(fn, ctypes.c_void_p).value)
    raise AssertionError(kind)


_numba_cache: dict = {}


def numba_functions():
    if not _numba_cache:
        import numba
        from numba import types

        scalar = types.float64(types.float64)
        points = types.float64(types.intc, types.CPointer(types.float64))
        indexed = types.float64(types.intc, types.intc, types.CPointer(types.float64))

        def cf(sig, f):
            return numba.cfunc(sig, nopython=True)(f)

        @numba.njit
        def _gauss(n, x):
            s = 0.0
            for i in range(n):
                s += x[i] * x[i]
            return math.exp(-0.5 * s)

        _numba_cache.update({
            "normal": cf(scalar, lambda x: math.exp(-0.5 * x * x)),
            "dnormal": cf(scalar, lambda x: -x * math.exp(-0.5 * x * x)),
            "logistic_cdf": cf(scalar, lambda x: 1.0 / (1.0 + math.exp(-x))),
            "logistic_ppf": cf(scalar, lambda u: math.log(u / (1.0 - u))),
            "square": cf(scalar, lambda x: x * x),
            "gauss": cf(points, lambda n, x: _gauss(n, x)),
            "coordinate": cf(indexed, lambda i, n, x: 0.5 * x[(i + 1) % n] + 0.1),
            "conditional": cf(indexed, lambda i, n, x: 0.1 * (i + 1) + (0.5 * x[n - 1] if n > 0
                                                                        else 0.0)),
        })
    return _numba_cache


BOX2 = vx.HyperRect([-4.0, -4.0], [4.0, 4.0])


def _continuous(options):
    return lambda f: vx.from_pdf_with_options(f, vx.Interval(-5.0, 5.0), options)


def _summaries(d, moments=True):
    values = [d.cdf(0.3), d.sf(-0.2), d.ppf(0.7), d.isf(0.1), d.pdf(0.5),
              d.sample_n(8, seed=3), list(d.sample_array(8, seed=4))]
    return values + ([d.mean(), d.var()] if moments else [])


# (role, C name, Python function, what to compute from the built object)
ROLES = [
    ("density, interpolated", "normal", normal,
     lambda f: _summaries(_continuous(vx.BuildOptions.interpolated())(f))),
    ("density, plain inversion", "normal", normal,
     lambda f: _summaries(_continuous(vx.BuildOptions())(f))),
    ("density, Hermite table", "normal", normal,
     lambda f: _summaries(_continuous(vx.BuildOptions.hermite(64))(f))),
    ("density, TDR", "normal", normal,
     lambda f: _summaries(_continuous(vx.BuildOptions.tdr("log"))(f))),
    ("distribution function", "logistic_cdf", logistic_cdf,
     lambda f: _summaries(vx.from_cdf(f, vx.Interval(-20.0, 20.0)), moments=False)),
    ("derivative", "dnormal", dnormal,
     lambda f: _summaries(vx.from_pdf_dpdf(normal, f, vx.Interval(-5.0, 5.0),
                                           vx.BuildOptions.tdr("log")))),
    ("loc-scale density", "normal", normal,
     lambda f: _summaries(vx.from_pdf_loc_scale(f, vx.Interval(-5.0, 5.0), 1.0, 2.0))),
    ("truncated density", "normal", normal,
     lambda f: _summaries(vx.truncated(f, vx.Interval(-5.0, 5.0), vx.Interval(-1.0, 3.0)))),
    ("expect's function", "square", square,
     lambda f: vx.from_pdf(normal, vx.Interval(-5.0, 5.0)).expect(f)),
    ("rejection density", "gauss", gauss,
     lambda f: vx.rejection_sampler(f, BOX2, 1.0).sample_n(200, seed=5)),
    ("Metropolis-Hastings density", "gauss", gauss,
     lambda f: _chain(vx.metropolis_hastings(f, BOX2, burn_in=10, adapt_steps=20))),
    ("HMC density", "gauss", gauss,
     lambda f: _chain(vx.hmc_sampler(f, BOX2, leapfrog_steps=5))),
    ("Monte Carlo estimator density", "gauss", gauss,
     lambda f: _estimates(vx.cdf_mc_estimator(f, BOX2, 2000, 2000))),
    ("copula quantile functions", "logistic_ppf", logistic_ppf,
     lambda f: vx.gaussian_copula([[1.0, 0.5], [0.5, 1.0]]).sample_array(100, [f, f],
                                                                          seed=6).tolist()),
    ("Gibbs coordinate sampler", "coordinate", coordinate,
     lambda f: [vx.gibbs_sampler(f, BOX2, [0.5, -0.5]).sample() for _ in range(3)]),
    ("conditional sampler", "conditional", conditional,
     lambda f: vx.conditional_factorization_sampler(f, 3).sample_n(4, seed=1)),
]


def _chain(sampler):
    sampler.init(seed=2)
    return sampler.sample_n(100, seed=7)


def _estimates(estimator):
    return [estimator.estimate_normalization(seed=1), estimator.cdf([0.5, 0.0], seed=2)]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("role, name, python_fn, compute", ROLES, ids=[r[0] for r in ROLES])
def test_compiled_function_gives_what_the_python_function_gives(clib, kind, role, name,
                                                                python_fn, compute):
    fn = compiled(clib, kind, name)
    assert compute(fn) == compute(python_fn)


INTERVAL = vx.Interval(-5.0, 5.0)

# What runs with a compiled function and how many threads it may use: every call is made without
# the interpreter lock; fills of engines with a fixed number of words per draw use every thread
# given, with the values of one thread.
LOCK_CASES = [
    ("interpolated build", "watched_normal",
     lambda f: vx.from_pdf_with_options(f, INTERVAL, vx.BuildOptions.interpolated()), None),
    ("interpolated build on 2 threads", "watched_normal",
     lambda f: vx.from_pdf_with_options(f, INTERVAL, vx.BuildOptions.interpolated(threads=2)), 2),
    ("plain inversion fill", "watched_normal",
     lambda f: vx.from_pdf(f, INTERVAL).sample_array(2000, seed=1, threads=2), 2),
    ("plain inversion ppf", "watched_normal", lambda f: vx.from_pdf(f, INTERVAL).ppf(0.3), None),
    ("TDR sample_n", "watched_normal",
     lambda f: vx.from_pdf_with_options(f, INTERVAL, vx.BuildOptions.tdr("log")).sample_n(
         1000, seed=1), None),
    ("rejection array", "watched_gauss",
     lambda f: vx.rejection_sampler(f, BOX2, 1.0).sample_array(500, seed=1), None),
    ("chain array", "watched_gauss", lambda f: _chain_array(f), None),
]


def _chain_array(f):
    chain = vx.metropolis_hastings(f, BOX2, burn_in=10, adapt_steps=10)
    chain.init(seed=1)
    return chain.sample_array(300, seed=2)


@pytest.mark.parametrize("case, name, run, threads", LOCK_CASES, ids=[c[0] for c in LOCK_CASES])
def test_compiled_functions_run_without_the_lock(clib, case, name, run, threads):
    clib.watch_reset()
    run(getattr(clib, name))
    assert clib.watch_total() > 0
    assert clib.watch_locked() == 0
    if threads is not None:
        assert clib.watch_threads() == threads


@pytest.mark.parametrize("kind", [k for k in KINDS if k != "vectorized"])
def test_a_split_fill_gives_the_values_of_one_thread(clib, kind):
    d = vx.from_pdf(compiled(clib, kind, "normal"), INTERVAL)
    n = 3001
    one = d.sample_array(n, seed=9, threads=1)
    assert (d.sample_array(n, seed=9, threads=2) == one).all()
    assert (d.sample_array(n - 100, seed=9, start=100, threads=2) == one[100:]).all()
    assert d.sample_array(200, seed=9).tolist() == vx.from_pdf(normal, INTERVAL).sample_array(
        200, seed=9).tolist()


def test_python_threads_sample_side_by_side_with_compiled_densities(clib):
    results = {}

    def work(k):
        d = vx.from_pdf_with_options(clib.normal, INTERVAL, vx.BuildOptions.tdr("log"))
        results[k] = d.sample_array(20000, seed=k).tolist()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    alone = vx.from_pdf_with_options(normal, INTERVAL, vx.BuildOptions.tdr("log"))
    assert all(results[k] == alone.sample_array(20000, seed=k).tolist() for k in range(3))


def _null_capsule():
    return capsule(None, "double (double)", address=0)


BAD_FUNCTIONS = [
    ("a capsule of an unknown signature", lambda c: capsule(c.normal, "float (float)"),
     TypeError, r'the capsule has the signature "float \(float\)".*"double \(double\)" or '
                r'"double \(double, void \*\)"'),
    ("a ctypes function of the wrong types", lambda c: c.gauss, TypeError,
     r'the ctypes function has the signature "double \(int, double \*\)"'),
    ("a ctypes function without argtypes", lambda c: _untyped(c), TypeError, "no argtypes"),
    ("a ctypes function returning int", lambda c: _returns_int(c), TypeError,
     r'"int \(double\)"'),
]


def _untyped(c):
    return ctypes.CDLL(c._name).normal  # a fresh handle: argtypes not set


def _returns_int(c):
    return ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_double)(
        ctypes.cast(c.normal, ctypes.c_void_p).value)


@pytest.mark.parametrize("case, make, error, message", BAD_FUNCTIONS,
                         ids=[b[0] for b in BAD_FUNCTIONS])
def test_a_compiled_function_that_fits_no_signature_is_refused(clib, case, make, error, message):
    with pytest.raises(error, match=message):
        vx.from_pdf(make(clib), INTERVAL)


def test_a_null_function_pointer_is_refused(clib):
    # PyCapsule_New refuses a null pointer itself, so a null one comes from ctypes or cffi.
    null = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_double)()
    with pytest.raises(TypeError, match="null function pointer"):
        vx.from_pdf(null, INTERVAL)


@pytest.mark.parametrize("not_a_function", [12345, "double (double)", None])
def test_an_object_that_is_no_function_counts_as_failing_calls(not_a_function):
    # As with any object that is not callable: every call fails and counts as NaN.
    with pytest.raises(vx.BuildError, match="failed to normalize PDF"):
        vx.from_pdf(not_a_function, INTERVAL)


def test_a_nan_from_a_compiled_function_is_a_failing_call(clib):
    # The same refusal as for a Python density that returns NaN at the same point.
    def python_nan(x):
        return math.nan if x == 0.0 else math.exp(-0.5 * x * x)

    with pytest.raises(vx.BuildError) as compiled_error:
        vx.from_pdf(clib.nan_at_zero, vx.Interval(-1.0, 1.0))
    with pytest.raises(vx.BuildError) as python_error:
        vx.from_pdf(python_nan, vx.Interval(-1.0, 1.0))
    assert str(compiled_error.value) == str(python_error.value)


@pytest.mark.parametrize("kind", ["ctypes", "capsule", "LowLevelCallable", "cffi"])
def test_pickling_a_bare_address_says_what_to_do(clib, kind):
    d = vx.from_pdf(compiled(clib, kind, "normal"), INTERVAL)
    with pytest.raises(TypeError, match="bare address.*factory"):
        pickle.dumps(d)


def test_a_numba_cfunc_pickles_by_its_own_means_or_not_at_all(clib):
    pytest.importorskip("numba", reason="numba is not installed")
    f = numba_functions()["normal"]
    d = vx.from_pdf(f, INTERVAL)
    try:
        data = pickle.dumps(d)
    except Exception as error:  # the pickler's own refusal of the cfunc, not ours
        assert "bare address" not in str(error)
        return
    assert pickle.loads(data).sample_n(5, seed=1) == d.sample_n(5, seed=1)


def _gradient_kinds(clib, kind):
    """HMC's compiled gradient, double (int n, double *x, double *grad), as an object of kind."""
    fn = clib.gauss_grad
    if kind == "ctypes":
        return fn
    if kind == "capsule":
        return capsule(fn, "double (int, double *, double *)")
    if kind == "LowLevelCallable":
        return pytest.importorskip("scipy").LowLevelCallable(fn)
    if kind == "cffi":
        ffi = pytest.importorskip("cffi").FFI()
        return ffi.cast("double(*)(int, double *, double *)", ctypes.cast(fn, ctypes.c_void_p).value)
    numba = pytest.importorskip("numba", reason="numba is not installed")
    from numba import types

    @numba.cfunc(types.float64(types.intc, types.CPointer(types.float64),
                               types.CPointer(types.float64)))
    def grad(n, x, g):
        for i in range(n):
            g[i] = -x[i]
        return 0.0
    return grad


@pytest.mark.parametrize("kind", [k for k in KINDS if k != "vectorized"])
def test_a_compiled_gradient_gives_the_chain_of_the_python_gradient(clib, kind):
    def log_density(*x):
        s = 0.0
        for t in x:
            s += t * t
        return -0.5 * s

    def run(f, grad):
        chain = vx.hmc_sampler(f, BOX2, leapfrog_steps=5, log_density=True, grad=grad)
        chain.init(seed=2)
        return chain.sample_n(200, seed=7)

    python = run(log_density, lambda *x: [-t for t in x])
    assert run(log_density, _gradient_kinds(clib, kind)) == python
    assert run(clib.gauss_log, _gradient_kinds(clib, kind)) == python


@pytest.mark.parametrize("n", [100, 10_000])
def test_a_vectorized_marginal_is_called_once_a_round_of_4096_draws(n):
    # A function over arrays costs its call more than its points: rounds are as long as for
    # costly draws, 4096 rows, each one call per marginal.
    stats = pytest.importorskip("scipy.stats")
    calls = []

    def ppf(u):
        calls.append(len(u))
        return stats.norm.ppf(u)

    copula = vx.gaussian_copula([[1.0, 0.5], [0.5, 1.0]])
    copula.sample_array(n, [vx.vectorized(ppf)] * 2, seed=1)
    assert len(calls) == 2 * -(-n // 4096) and sum(calls) == 2 * n


@pytest.mark.parametrize("shape, lo, hi", [
    (lambda x: math.exp(-0.5 * x * x), -8.0, 8.0),
    (lambda x: (1.0 + x * x / 3.0) ** -2.0, -2804.0, 2804.0),
    (lambda x: x * math.exp(-x) if x > 0.0 else 0.0, 0.0, 40.0),
    (lambda x: 0.6 * math.exp(-0.5 * (x + 2.0) ** 2) + 0.4 * math.exp(-2.0 * (x - 3.0) ** 2),
     -12.0, 12.0),
], ids=["normal", "t(3)", "gamma(2)", "mixture"])
def test_an_interpolated_build_calls_a_vectorized_density_at_most_a_hundred_times(shape, lo, hi):
    # The intervals are marched in parts whose points go out together: as many calls as the
    # longest part needs, and the same table as the function called point by point.
    np = pytest.importorskip("numpy")
    calls = []

    def over_array(x):
        calls.append(len(x))
        return np.array([shape(t) for t in x])

    opts = vx.BuildOptions.interpolated(1e-12)
    batch = vx.from_pdf_with_options(vx.vectorized(over_array), vx.Interval(lo, hi), opts)
    scalar = vx.from_pdf_with_options(shape, vx.Interval(lo, hi), opts)
    assert len(calls) <= 100
    assert batch.__reduce__()[1][2] == scalar.__reduce__()[1][2]


@pytest.mark.parametrize("nan_at", [None, 0.5, 0.8, 0.95])
def test_an_interpolated_build_on_threads_is_the_build_on_one(clib, nan_at):
    # The parts of the march run on threads with probes of their own; a part that meets a NaN
    # has the march run again on one thread, so the error is the same too. The NaN is put at
    # the point a build reads at that share of its reads: one the march reads, after the table.
    read = []
    vx.from_pdf_with_options(lambda x: read.append(x) or math.exp(-0.5 * x * x),
                             vx.Interval(-8.0, 8.0), vx.BuildOptions.interpolated(1e-12))
    if nan_at is None:
        clib.set_nan_between(1.0, 0.0)
    else:
        x = read[int(nan_at * len(read))]
        clib.set_nan_between(math.nextafter(x, -math.inf), math.nextafter(x, math.inf))

    def build(threads):
        opts = vx.BuildOptions.interpolated(1e-12, threads=threads)
        try:
            d = vx.from_pdf_with_options(clib.nan_between, vx.Interval(-8.0, 8.0), opts)
        except vx.BuildError as e:
            return str(e)
        return d.sample_array(2000, seed=4).tolist(), [d.ppf(k / 97) for k in range(1, 97)]

    one = build(1)
    assert [build(t) for t in (2, 3, 8)] == [one] * 3

"""Arrays in and out: sample_into and sample_array give sample_n's values bit for bit, start
splits one seeded sample anywhere, the queries take arrays, and arrays are sequences."""
import array
import math
import subprocess
import sys

import pytest

import _varnix as v
from helpers import counting

np = pytest.importorskip("numpy")

IV = v.Interval(-4.0, 4.0)
BOX = v.HyperRect([-2.0, -2.0], [2.0, 2.0])


def normal(x):
    return math.exp(-0.5 * x * x)


def normal_cdf(x):
    return 0.5 * math.erfc(-x / math.sqrt(2.0))


def gauss2(x, y):
    return math.exp(-0.5 * (x * x + y * y))


# Every engine of the continuous distribution, and how many draws to compare (plain inversion
# integrates the density for every quantile: a few draws).
ENGINES = {
    "hermite": (lambda: v.from_pdf_with_options(normal, IV, v.BuildOptions.hermite(128)), 3000),
    "interpolated": (lambda: v.from_pdf_with_options(normal, IV, v.BuildOptions.interpolated()),
                     3000),
    "cdf interpolated": (lambda: v.from_cdf_with_options(normal_cdf, IV,
                                                         v.BuildOptions.interpolated()), 3000),
    "newton": (lambda: v.from_pdf(normal, IV), 20),
    "bisection": (lambda: v.from_pdf_with_options(normal, IV, v.BuildOptions(use_newton=False)),
                  20),
    "tdr log": (lambda: v.from_pdf_with_options(normal, IV, v.BuildOptions.tdr("log")), 3000),
    "tdr inv_sqrt": (lambda: v.from_pdf_with_options(normal, IV, v.BuildOptions.tdr("inv_sqrt")),
                     3000),
    "cdf": (lambda: v.from_cdf(normal_cdf, IV), 20),
    "cdf hermite": (lambda: v.from_cdf_with_options(normal_cdf, IV, v.BuildOptions.hermite(64)),
                    3000),
    "histogram": (lambda: v.from_histogram([0.0, 1.0, 2.0, 4.0], [1.0, 3.0, 2.0]), 300),
    "histogram hermite": (lambda: v.from_histogram([0.0, 1.0, 2.0, 4.0], [1.0, 3.0, 2.0],
                                                   options=v.BuildOptions.hermite(64)), 3000),
    "histogram tdr": (lambda: v.from_histogram([0.0, 1.0, 2.0, 4.0], [1.0, 3.0, 2.0],
                                               options=v.BuildOptions.tdr("inv_sqrt")), 3000),
    "truncated hermite": (lambda: v.truncated(normal, IV, v.Interval(-1.0, 2.5),
                                              v.BuildOptions.hermite(64)), 3000),
    "loc-scale": (lambda: v.from_pdf_loc_scale(normal, IV, 1.0, 2.0), 20),
}
FIXED = [name for name in ENGINES if "tdr" not in name]


def bits(values):
    """The bytes of float64 values: equal bytes are equal bits (NaN and -0.0 included)."""
    return np.asarray(values, dtype=np.float64).tobytes()


# The buffers a fill accepts: (name, make n-element buffer, read its values).
CONTAINERS = [
    ("numpy", lambda n: np.full(n, -1.0), lambda out: out),
    ("array", lambda n: array.array("d", [-1.0]) * n, lambda out: list(out)),
    ("memoryview", lambda n: memoryview(bytearray(8 * n)).cast("d"), lambda out: out.tolist()),
]


# ---- the values of sample_n ----------------------------------------------------------------


@pytest.mark.parametrize("container", CONTAINERS, ids=[c[0] for c in CONTAINERS])
@pytest.mark.parametrize("engine", list(ENGINES))
def test_univariate_fills_are_sample_n_bit_for_bit(engine, container):
    make, n = ENGINES[engine]
    d = make()
    _, new, read = container
    listed = d.sample_n(n, seed=17)
    out = new(n)
    assert d.sample_into(out, seed=17) is out
    assert bits(read(out)) == bits(listed)
    assert bits(d.sample_array(n, seed=17)) == bits(listed)


def test_discrete_fills_are_sample_n_bit_for_bit():
    d = v.from_pmf([float(i) for i in range(1000)], [1.0 + (i * 7919) % 113 for i in range(1000)])
    for n in (0, 1, 15, 16, 17, 5001):
        listed = d.sample_n(n, seed=3)
        assert bits(d.sample_array(n, seed=3)) == bits(listed)
        for _, new, read in CONTAINERS:
            out = new(n)
            assert bits(read(d.sample_into(out, seed=3))) == bits(listed)


@pytest.mark.parametrize("engine", ["hermite", "newton", "histogram", "tdr log"])
def test_fills_without_a_seed_draw_afresh_from_the_thread_generator(engine):
    # The thread's generator cannot be replayed; its draws are checked for what they must be:
    # new at every call, and values of the distribution.
    d = ENGINES[engine][0]()
    n = 20 if engine == "newton" else 200
    first, second = d.sample_array(n, threads=1), d.sample_array(n, threads=1)
    assert bits(first) != bits(second)
    lo, hi = (0.0, 4.0) if engine == "histogram" else (-4.0, 4.0)
    assert np.all((first >= lo) & (first <= hi))


def test_rejection_fills_are_sample_n_in_both_shapes():
    rs = v.rejection_sampler(gauss2, BOX, 1.0)
    listed = rs.sample_n(300, seed=5)
    assert bits(rs.sample_array(300, seed=5)) == bits(listed)
    assert rs.sample_array(300, seed=5).shape == (300, 2)
    flat = array.array("d", [0.0]) * 600
    rs.sample_into(flat, seed=5)
    assert bits(list(flat)) == bits(listed)


@pytest.mark.parametrize("make", [
    lambda f: v.metropolis_hastings(f, BOX, burn_in=25, thin=3),
    lambda f: v.hmc_sampler(f, BOX, leapfrog_steps=5),
], ids=["mh", "hmc"])
def test_chain_fills_are_sample_n_from_the_same_state(make):
    # Two chains started alike are in the same state: one lists, the other fills.
    listing, filling = make(gauss2), make(gauss2)
    listing.init(seed=5)
    filling.init(seed=5)
    listed = listing.sample_n(40, seed=11)
    out = np.empty((40, 2))
    assert filling.sample_into(out, seed=11) is out
    assert bits(out) == bits(listed)
    # ... and leaves the chain where sample_n does.
    assert bits(filling.sample_array(3, seed=12)) == bits(listing.sample_n(3, seed=12))
    # Without a seed the chain draws from the thread's generator: points of the box.
    out[:] = np.nan
    filling.sample_into(out)
    assert np.all(np.abs(out) <= 2.0)


def test_conditional_fills_make_the_same_calls():
    f = counting(lambda i, prefix: i + (prefix[-1] if prefix else 0.5))
    s = v.conditional_factorization_sampler(lambda i, prefix: f(i, prefix), 3)
    listed = s.sample_n(4)
    calls = list(f.calls)
    out = s.sample_array(4, seed=1)
    assert bits(out) == bits(listed) and f.calls[len(calls):] == calls
    empty = v.conditional_factorization_sampler(f, 0)
    assert empty.sample_array(0).shape == (0, 0)
    with pytest.raises(v.SampleError, match="^mcmc sampler failed$"):
        empty.sample_into(np.empty((2, 0)))


def test_copula_rows_are_consecutive_draws_and_start_finds_any_of_them():
    c = v.gaussian_copula([[1.0, 0.6], [0.6, 1.0]])
    ppfs = [lambda u: u, lambda u: -math.log(1.0 - u)]
    rows = c.sample_array(50, ppfs, seed=8)
    assert rows.shape == (50, 2)
    assert bits(rows[0]) == bits(c.sample(ppfs, seed=8))
    for k in (1, 17, 49):
        assert bits(c.sample_array(1, ppfs, seed=8, start=k)) == bits(rows[k])
    flat = memoryview(bytearray(8 * 100)).cast("d")
    c.sample_into(flat, ppfs, seed=8)
    assert bits(flat.tolist()) == bits(rows)


# ---- the same errors ------------------------------------------------------------------------


def error_of(call):
    """The exception a call raises: its type, text and notes (the module notes what a failing
    user function did)."""
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value), getattr(info.value, "__notes__", None)


def test_a_failing_draw_raises_what_sample_n_raises():
    state = {"fail": False}

    def cdf(x):
        if state["fail"]:
            raise ValueError("gone")
        return normal_cdf(x)

    d = v.from_cdf(cdf, IV)
    state["fail"] = True
    listed = error_of(lambda: d.sample_n(3, seed=1))
    assert listed[:2] == (v.SampleError, "failed to invert CDF")
    assert error_of(lambda: d.sample_into(np.empty(3), seed=1)) == listed
    assert error_of(lambda: d.sample_array(3, seed=1)) == listed

    rs = v.rejection_sampler(lambda x, y: 0.0, BOX, 1.0, max_trials=10)
    listed = error_of(lambda: rs.sample_n(2, seed=1))
    assert listed[:2] == (v.SampleError, "rejection sampler failed to accept")
    assert error_of(lambda: rs.sample_array(2, seed=1)) == listed
    assert error_of(lambda: rs.sample_into(np.empty((2, 2)), seed=1)) == listed

    mh, hmc = v.metropolis_hastings(gauss2, BOX), v.hmc_sampler(gauss2, BOX)
    not_initialized = (v.SampleError, "mcmc sampler not initialized (call init)", None)
    for call in (lambda: mh.sample_array(0), lambda: mh.sample_into(np.empty((0, 2))),
                 lambda: hmc.sample_array(1), lambda: mh.sample_array(2**60)):
        assert error_of(call) == not_initialized
    assert hmc.sample_array(0).shape == (0, 2)  # as sample_n(0), fine before init
    c = v.gaussian_copula([[1.0]])
    assert error_of(lambda: c.sample_array(0, [abs, abs])) == (
        v.SampleError, "mcmc sampler failed", None)


def read_only_array():
    a = np.zeros(4)
    a.setflags(write=False)
    return a


BAD_OUT = [
    ("list", lambda: [0.0] * 4, TypeError, "writable buffer of float64"),
    ("bytes", lambda: bytes(32), TypeError, "read-only"),
    ("read-only numpy", read_only_array, TypeError, "read-only"),
    ("float32", lambda: np.zeros(4, dtype=np.float32), TypeError, r"format 'f' with 4-byte"),
    ("int64", lambda: np.zeros(4, dtype=np.int64), TypeError, "float64"),
    ("non-contiguous", lambda: np.zeros(8)[::2], ValueError, "C-contiguous"),
    ("two-dimensional", lambda: np.zeros((2, 2)), ValueError, r"one-dimensional.*\(2, 2\)"),
    ("big-endian", lambda: np.zeros(4, dtype=">f8"), TypeError, "format '>d'"),
    ("object array", lambda: np.empty(4, dtype=object), TypeError, "got format 'O'"),
    ("datetime array", lambda: np.zeros(4, dtype="datetime64[s]"), TypeError,
     "'ndarray' whose buffer cannot be read as one"),
]


@pytest.mark.parametrize("name, make, error, text", BAD_OUT, ids=[b[0] for b in BAD_OUT])
def test_an_unusable_out_is_refused_before_anything_is_drawn(name, make, error, text):
    f = counting(normal)
    d = v.from_pdf(f, IV)
    built = len(f.calls)
    with pytest.raises(error, match=text) as info:
        d.sample_into(make(), seed=1)
    assert str(info.value).startswith("argument 'out': ")
    assert len(f.calls) == built


@pytest.mark.parametrize("shape, error", [
    ((3, 3), r"expected shape \(n, 2\) or a flat buffer of a multiple of 2 entries, "
             r"got shape \(3, 3\)"),
    ((5,), r"got shape \(5,\)"),
    ((2, 2, 2), r"got shape \(2, 2, 2\)"),
])
def test_multivariate_out_needs_rows_of_the_dimension(shape, error):
    f = counting(gauss2)
    mh = v.metropolis_hastings(f, BOX)
    mh.init()
    before = (len(f.calls), mh.accept_rate())
    with pytest.raises(ValueError, match=error):
        mh.sample_into(np.empty(shape), seed=1)
    assert (len(f.calls), mh.accept_rate()) == before


def test_zero_length_fills_return_out():
    d = ENGINES["hermite"][0]()
    for _, new, _ in CONTAINERS:
        out = new(0)
        assert d.sample_into(out, seed=1) is out
    assert d.sample_array(0).shape == (0,)
    assert v.rejection_sampler(gauss2, BOX, 1.0).sample_array(0).shape == (0, 2)


def test_out_stays_put_while_user_code_runs():
    # A bytearray exporting its memory cannot be resized; user code that tries is refused
    # (and its failure, like any, becomes NaN), and the fill completes in place.
    storage = bytearray(8 * 6)
    attempts = []

    def density(x, y):
        try:
            storage.extend(b"\0" * 8)
        except BufferError as e:
            attempts.append(e)
        return gauss2(x, y)

    rs = v.rejection_sampler(density, BOX, 1.0)
    out = memoryview(storage).cast("d")
    rs.sample_into(out, seed=2)
    assert len(storage) == 48 and attempts
    assert bits(out.tolist()) == bits(v.rejection_sampler(gauss2, BOX, 1.0).sample_n(3, seed=2))


def test_out_given_again_as_an_argument_is_only_read():
    # The copula's quantile functions given as the out array itself: its rows are not
    # callable, so every quantile fails, as for any object that is not.
    c = v.gaussian_copula([[1.0, 0.0], [0.0, 1.0]])
    out = np.zeros((2, 2))
    with pytest.raises(v.SampleError, match="^failed to invert CDF"):
        c.sample_into(out, out, seed=1)


# ---- start ----------------------------------------------------------------------------------


@pytest.mark.parametrize("engine", ["hermite", "interpolated", "newton", "histogram",
                                    "cdf hermite"])
def test_any_split_of_a_seeded_sample_reproduces_it(engine):
    make, n = ENGINES[engine]
    d = make()
    n = min(n, 500)
    whole = d.sample_array(n, seed=21)
    cuts = sorted({0, n, 1, n // 3, n // 2 + 1, n - 1})
    parts = [d.sample_array(b - a, seed=21, start=a) for a, b in zip(cuts, cuts[1:])]
    assert bits(np.concatenate(parts)) == bits(whole)
    out = np.empty(n - 5)
    d.sample_into(out, seed=21, start=5)
    assert bits(out) == bits(whole[5:])


def test_discrete_start_is_draw_k_of_the_stream():
    d = v.from_pmf([1.0, 2.0, 3.0], [1.0, 2.0, 3.0])
    whole = d.sample_n(1000, seed=4)
    for k in (0, 1, 31, 32, 33, 999):
        assert d.sample_array(1000 - k, seed=4, start=k).tolist() == whole[k:]


@pytest.mark.parametrize("call, reason", [
    (lambda: ENGINES["tdr log"][0]().sample_array(3, seed=1, start=1),
     "transformed density rejection takes a variable number of words"),
    (lambda: v.rejection_sampler(gauss2, BOX, 1.0).sample_array(3, seed=1, start=2),
     "rejection takes a variable number of words"),
    (lambda: v.hmc_sampler(gauss2, BOX).sample_array(3, seed=1, start=2),
     "a chain's points follow from the points before them"),
    (lambda: v.conditional_factorization_sampler(lambda i, p: 0.0, 2).sample_array(
        3, seed=1, start=2), "its points come from the user function"),
])
def test_start_is_refused_by_engines_without_a_fixed_count_of_words(call, reason):
    with pytest.raises(ValueError, match=r"^start=\d+ is refused: " + reason):
        call()


@pytest.mark.parametrize("kwargs, error, text", [
    ({"start": 3}, ValueError, r"^start=3 needs a seed"),
    ({"seed": 1, "start": -1}, ValueError, r"^start must be a non-negative int.*got -1$"),
    ({"seed": 1, "start": 2**64}, ValueError, r"^start must be below 2\*\*64"),
    ({"seed": 1, "start": 2**64 - 1, "n": 2}, ValueError, "past the end of the seeded stream"),
    ({"seed": 1, "start": 1.5}, TypeError, r"^argument 'start': "),
    ({"seed": 1, "start": None}, TypeError, r"^argument 'start': "),
])
def test_bad_starts_are_refused_before_drawing(kwargs, error, text):
    d = v.from_pmf([1.0, 2.0], [1.0, 1.0])
    n = kwargs.pop("n", 3)
    with pytest.raises(error, match=text):
        d.sample_array(n, **kwargs)
    with pytest.raises(error, match=text):
        d.sample_into(np.empty(n), **kwargs)


def test_the_last_draw_of_the_stream_is_reachable():
    d = v.from_pmf([1.0, 2.0], [1.0, 1.0])
    assert d.sample_array(1, seed=1, start=2**64 - 1).shape == (1,)
    c = v.gaussian_copula([[1.0]])  # two words per draw: 2**63 draws in the stream
    c.sample_array(1, [abs], seed=1, start=2**63 - 1)
    with pytest.raises(ValueError, match=r"2\*\*64 words \(2 per draw\)"):
        c.sample_array(1, [abs], seed=1, start=2**63)


# ---- array-valued queries -------------------------------------------------------------------


CONTINUOUS_QUERIES = ["pdf", "cdf", "sf", "ppf", "isf", "logpdf", "logcdf", "logsf"]


def scalar_results(d, name, values):
    return [getattr(d, name)(float(x)) for x in values]


@pytest.mark.parametrize("engine", ["hermite", "interpolated", "cdf interpolated", "newton",
                                    "histogram", "cdf hermite"])
@pytest.mark.parametrize("name", CONTINUOUS_QUERIES)
def test_continuous_queries_over_arrays_are_the_scalar_results(engine, name):
    d = ENGINES[engine][0]()
    grid = np.linspace(0.02, 0.98, 12) if name in ("ppf", "isf") else np.linspace(-4.5, 4.5, 12)
    got = getattr(d, name)(grid.reshape(3, 4))
    if name in ("pdf", "logpdf") and engine.startswith("cdf"):
        assert got is None  # as the scalar form: no density
        return
    assert isinstance(got, np.ndarray) and got.shape == (3, 4) and got.dtype == np.float64
    expected = [(-math.inf if (y is None and name == "logpdf") else y)
                for y in scalar_results(d, name, grid)]
    assert bits(got.ravel()) == bits(expected)
    # A strided view gives the same, element by element in C order.
    wide = np.zeros((3, 8))
    wide[:, ::2] = grid.reshape(3, 4)
    assert bits(getattr(d, name)(wide[:, ::2])) == bits(got)


@pytest.mark.parametrize("engine, name", [("interpolated", "cdf"), ("interpolated", "isf"),
                                          ("hermite", "ppf"), ("hermite", "isf"),
                                          ("histogram hermite", "logsf")])
def test_long_queries_run_without_the_lock_and_give_the_scalar_results(engine, name):
    # 5000 elements: past the length from which queries that call no Python release the lock.
    d = ENGINES[engine][0]()
    x = np.random.default_rng(5).random(5000)
    if name not in ("ppf", "isf"):
        x = 6.0 * x - 1.0
    assert bits(getattr(d, name)(x)) == bits(scalar_results(d, name, x))


def test_query_results_take_the_argument_kind():
    d = ENGINES["hermite"][0]()
    u = [0.1, 0.5, 0.9]
    expected = [d.ppf(x) for x in u]
    from_array = d.ppf(array.array("d", u))
    assert isinstance(from_array, array.array) and from_array.tolist() == expected
    view = d.ppf(memoryview(np.array(u * 2)).cast("B").cast("d", (2, 3)))
    assert isinstance(view, memoryview) and view.shape == (2, 3)
    assert view.tolist() == [expected, expected]
    # Scalars stay scalars: floats, ints, numpy scalars and 0-d arrays give a Python float.
    for x in (0.5, np.float64(0.5), np.float32(0.5), np.array(0.5)):
        assert type(d.ppf(x)) is float and d.ppf(x) == d.ppf(0.5)
    assert type(d.cdf(1)) is float
    assert d.ppf(np.empty((0, 3))).shape == (0, 3)


@pytest.mark.parametrize("bad", [0.0, 1.0, -0.5, math.nan])
def test_array_ppf_raises_the_first_failing_elements_error(bad):
    d = ENGINES["hermite"][0]()
    u = np.full(40, 0.5)
    u[13] = bad
    u[30] = 2.0
    with pytest.raises(v.SampleError, match=r"^quantile u=%s not in \(0, 1\)$" % (
            "NaN" if math.isnan(bad) else re_number(bad))):
        d.ppf(u)
    with pytest.raises(v.SampleError, match=r"^quantile u=-1 not in \(0, 1\)$"):
        d.isf(np.array([0.5, 2.0]))


def re_number(x):
    text = {0.0: "0", 1.0: "1", -0.5: "-0.5"}[x]
    return text.replace(".", r"\.")


def test_logpdf_over_arrays_marks_where_the_scalar_has_none():
    d = v.from_histogram([0.0, 1.0, 2.0], [1.0, 0.0])
    got = d.logpdf(np.array([0.5, 1.5, 3.0]))
    assert got[0] == d.logpdf(0.5) and got[1] == -math.inf and got[2] == -math.inf
    assert d.logpdf(1.5) is None


def test_discrete_queries_over_arrays():
    d = v.from_pmf([1.0, 2.0, 5.0], [1.0, 2.0, 1.0])
    x = np.array([[1.0, 2.0], [3.0, 5.0 + 1e-13]])
    assert d.pmf(x).tolist() == [[d.pmf(1.0), d.pmf(2.0)], [0.0, d.pmf(5.0 + 1e-13)]]
    u = np.linspace(0.01, 0.99, 50)
    assert d.ppf(u).tolist() == [d.ppf(float(t)) for t in u]
    with pytest.raises(v.SampleError, match=r"^quantile u=0 not in \(0, 1\)$"):
        d.ppf(np.array([0.5, 0.0, 7.0]))


@pytest.mark.parametrize("arg, error, text", [
    (np.zeros(3, dtype=np.float32), TypeError,
     r"^argument 'x': expected a float or a buffer of float64 \(format 'd'\), got format 'f'"),
    (np.zeros(3, dtype=np.int64), TypeError, r"^argument 'x': expected a float or a buffer"),
    (np.array([0.5], dtype=object), TypeError, r"^argument 'x': expected a float or a buffer"),
    ([0.5, 0.5], TypeError, r"^argument 'x': must be real number, not list$"),
    ("0.5", TypeError, r"^argument 'x': must be real number, not str$"),
])
def test_queries_refuse_other_arguments(arg, error, text):
    with pytest.raises(error, match=text):
        ENGINES["hermite"][0]().cdf(arg)


def test_queries_call_user_code_in_element_order():
    f = counting(normal)
    d = v.from_pdf(f, IV)
    x = np.array([[0.0, 1.0], [2.0, 3.0]])
    f.calls.clear()
    d.pdf(x)
    assert f.calls == [(0.0,), (1.0,), (2.0,), (3.0,)]
    f.calls.clear()
    d.pdf(x.T)  # a transposed view: still C order of the view
    assert f.calls == [(0.0,), (2.0,), (1.0,), (3.0,)]


# ---- arrays as sequences --------------------------------------------------------------------


def test_numpy_arrays_are_accepted_wherever_a_sequence_of_floats_is():
    box = v.HyperRect(np.zeros(2), np.ones(2))
    assert box.lo() == [0.0, 0.0] and box.hi() == [1.0, 1.0]
    assert v.HyperRect(np.array([0, 0]), array.array("d", [1.0, 2.0])).hi() == [1.0, 2.0]
    g = v.gibbs_sampler(lambda i, x: x[i] + 1.0, box, init=np.array([0.25, 0.5]))
    assert g.step() == [1.25, 1.5]
    est = v.cdf_mc_estimator(lambda x, y: 1.0, box, 1000, 1000)
    assert est.cdf(np.array([0.5, 0.5]), seed=3) == est.cdf([0.5, 0.5], seed=3)
    d = v.from_pmf(np.array([1.0, 2.0]), np.array([1, 3]))
    assert d.points() == [1.0, 2.0] and d.pmf(2.0) == 0.75
    h = v.from_histogram(np.array([0.0, 1.0, 2.0]), np.array([1.0, 1.0]))
    assert h.cdf(1.0) == v.from_histogram([0.0, 1.0, 2.0], [1.0, 1.0]).cdf(1.0)
    assert v.gaussian_copula(np.eye(2)).dim() == 2


def test_non_sequences_keep_their_texts():
    with pytest.raises(TypeError,
                       match="^argument 'lo': 'int' object cannot be converted to 'Sequence'$"):
        v.HyperRect(5, [1.0])
    with pytest.raises(TypeError, match="^argument 'init': 'float' object cannot be converted"):
        v.gibbs_sampler(lambda i, x: 0.0, BOX, 0.5)


# ---- numpy stays optional -------------------------------------------------------------------


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)


def test_the_module_imports_and_fills_without_numpy():
    done = run_python(
        "import sys; sys.modules['numpy'] = None\n"
        "import array, _varnix as v\n"
        "d = v.from_pmf([1.0, 2.0], [1.0, 1.0])\n"
        "out = d.sample_into(array.array('d', [0.0]) * 5, seed=1)\n"
        "assert list(out) == d.sample_n(5, seed=1)\n"
        "assert list(d.ppf(array.array('d', [0.25, 0.75]))) == [1.0, 2.0]\n"
        "try:\n"
        "    d.sample_array(3)\n"
        "except ImportError as e:\n"
        "    print(e)\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "sample_array needs numpy, which could not be imported"


def test_importing_the_module_does_not_import_numpy():
    done = run_python("import sys, _varnix, varnix; print('numpy' in sys.modules)")
    assert done.returncode == 0 and done.stdout.strip() == "False", done.stderr

"""Fills that call no Python run without the interpreter lock and, when long, on several
threads: the same values for every thread count, other Python threads run meanwhile, and fills
without a seed stay independent."""
import math
import threading
import time

import pytest

import _varnix as v
from helpers import counting

np = pytest.importorskip("numpy")

# Long enough to be cut into three parts (no part is shorter than 2**16 draws).
BIG = 3 * 2**16 + 123


def normal(x):
    return math.exp(-0.5 * x * x)


LOCK_FREE = {
    "discrete": lambda: v.from_pmf([float(i) for i in range(1000)],
                                   [1.0 + (i * 7919) % 113 for i in range(1000)]),
    "hermite": lambda: v.from_pdf_with_options(normal, v.Interval(-5.0, 5.0),
                                               v.BuildOptions.hermite(256)),
    "interpolated": lambda: v.from_pdf_with_options(normal, v.Interval(-5.0, 5.0),
                                                    v.BuildOptions.interpolated()),
    "cdf hermite": lambda: v.from_cdf_with_options(
        lambda x: 0.5 * math.erfc(-x / math.sqrt(2.0)), v.Interval(-5.0, 5.0),
        v.BuildOptions.hermite(64)),
    "histogram hermite": lambda: v.from_histogram([0.0, 1.0, 2.0, 4.0], [1.0, 3.0, 2.0],
                                                  options=v.BuildOptions.hermite(64)),
}


def bits(values):
    return np.asarray(values, dtype=np.float64).tobytes()


@pytest.mark.parametrize("engine", list(LOCK_FREE))
def test_seeded_fills_are_the_same_for_every_thread_count(engine):
    d = LOCK_FREE[engine]()
    serial = d.sample_array(BIG, seed=9, threads=1)
    assert bits(serial) == bits(d.sample_n(BIG, seed=9))
    for threads in (2, 3, 5, None):
        assert bits(d.sample_array(BIG, seed=9, threads=threads)) == bits(serial)
    out = np.empty(BIG)
    d.sample_into(out, seed=9, threads=4)
    assert bits(out) == bits(serial)
    # Split and started late: draws 777 .. of the same stream.
    late = d.sample_array(BIG - 777, seed=9, start=777, threads=3)
    assert bits(late) == bits(serial[777:])


def test_fills_without_a_seed_are_independent_when_split():
    d = v.from_pmf([float(i) for i in range(10)], [1.0] * 10)
    a = d.sample_array(BIG, threads=3)
    b = d.sample_array(BIG, threads=3)
    assert bits(a) != bits(b)
    part = 2**16
    assert bits(a[:part]) != bits(a[part:2 * part])
    # Ten equally likely points: each count within 6 standard deviations of its mean.
    counts = np.bincount(a.astype(np.int64), minlength=10)
    expected = BIG / 10
    assert np.all(np.abs(counts - expected) < 6 * math.sqrt(expected * 0.9)), counts
    # A table's draws split over threads without a seed are draws of the same distribution
    # as its seeded ones (two-sample Kolmogorov-Smirnov).
    stats = pytest.importorskip("scipy.stats")
    h = LOCK_FREE["hermite"]()
    x = h.sample_array(BIG, threads=2)
    assert stats.ks_2samp(x, h.sample_array(BIG, seed=3)).pvalue > 1e-6


@pytest.mark.parametrize("engine", ["discrete", "histogram tdr"])
def test_other_python_threads_run_during_a_lock_free_fill(engine):
    if engine == "histogram tdr":
        d = v.from_histogram([0.0, 1.0, 2.0, 4.0], [1.0, 3.0, 2.0],
                             options=v.BuildOptions.tdr("inv_sqrt"))
        n = 3_000_000
    else:
        d = LOCK_FREE[engine]()
        n = 20_000_000
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    worker = threading.Thread(target=tick)
    worker.start()
    try:
        time.sleep(0.01)
        began = time.perf_counter()
        d.sample_array(n, seed=1, threads=1)
        ended = time.perf_counter()
    finally:
        stop.set()
        worker.join()
    # With the lock held for the whole call the other thread could not tick during it: its
    # ticks would leave a gap as long as the call (ended may come late, after the other thread
    # had its turn, but began does not).
    times = [began] + [t for t in ticks if began < t < ended] + [ended]
    gap = max(b - a for a, b in zip(times, times[1:]))
    assert gap < 0.5 * (ended - began), f"a {gap:.3f} s gap in a {ended - began:.3f} s call"


def test_one_distribution_filled_from_several_python_threads_at_once():
    d = LOCK_FREE["hermite"]()
    expected = {k: d.sample_array(BIG, seed=k, threads=1) for k in range(4)}
    got = {}

    def fill(k):
        got[k] = d.sample_array(BIG, seed=k, threads=2)

    workers = [threading.Thread(target=fill, args=(k,)) for k in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert all(bits(got[k]) == bits(expected[k]) for k in range(4))


def test_fills_that_call_python_stay_on_the_calling_thread():
    seen = set()

    def density(x):
        seen.add(threading.get_ident())
        return normal(x)

    d = v.from_pdf_with_options(density, v.Interval(-5.0, 5.0), v.BuildOptions.tdr("log"))
    seen.clear()
    x = d.sample_array(BIG, seed=2, threads=4)
    assert seen == {threading.get_ident()}
    assert bits(x) == bits(d.sample_n(BIG, seed=2))


@pytest.mark.parametrize("threads, error", [
    (0, ValueError), (-1, ValueError), (257, ValueError), (2**70, ValueError), ("2", TypeError),
    (2.0, TypeError),
])
def test_the_thread_count_is_checked(threads, error):
    f = counting(normal)
    d = v.from_pdf_with_options(f, v.Interval(-5.0, 5.0), v.BuildOptions.tdr("log"))
    built = len(f.calls)
    with pytest.raises(error, match="threads"):
        d.sample_array(10, seed=1, threads=threads)
    assert len(f.calls) == built

"""One seeded sample split over processes and machines: each worker draws its own block with
start= from a pickled copy of the distribution, and the blocks put together are the serial
sample_array, bit for bit (with a multiprocessing pool, and as a Dask array)."""
import math
import multiprocessing
import pickle

import pytest

import _varnix as v

np = pytest.importorskip("numpy")

if not hasattr(v.ContinuousDistribution, "sample_array"):
    pytest.skip("sample_array (with start=) is not in this build", allow_module_level=True)

SEED = 2024
N = 100_000
BLOCK = 30_000  # the last block is shorter: blocks need not be equal


def normal_pdf(x):
    return math.exp(-0.5 * x * x)


def hermite_normal():
    return v.from_pdf_with_options(normal_pdf, v.Interval(-6, 6), v.BuildOptions.hermite(256))


def discrete():
    return v.from_pmf([float(k) for k in range(50)], [1.0 / (k + 1) for k in range(50)])


DISTRIBUTIONS = {"hermite": hermite_normal, "discrete": discrete}


def starts():
    return list(range(0, N, BLOCK))


def block(dist, start):
    """Draws start .. start + BLOCK - 1 (or to N) of the seeded stream: what one worker does."""
    return dist.sample_array(min(BLOCK, N - start), seed=SEED, start=start)


def block_from_pickle(payload):
    dist, start = pickle.loads(payload)
    return block(dist, start)


@pytest.fixture(scope="module", params=list(DISTRIBUTIONS))
def built(request):
    d = DISTRIBUTIONS[request.param]()
    return d, d.sample_array(N, seed=SEED)


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_a_process_pool_reproduces_the_serial_sample(built, method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"no {method} start method on this platform")
    d, serial = built
    # Under spawn every worker is a fresh interpreter: the bound method reaches it as d pickled
    # (its density by name, a module-level function) and the method's name.
    with multiprocessing.get_context(method).Pool(2) as pool:
        parts = pool.starmap(d.sample_array, [(min(BLOCK, N - k), SEED, k) for k in starts()])
    assert np.concatenate(parts).tobytes() == serial.tobytes()


def test_cloudpickle_sends_a_lambda_density_to_spawned_workers():
    cloudpickle = pytest.importorskip("cloudpickle")
    d = v.from_pdf_with_options(lambda x: math.exp(-abs(x)), v.Interval(-8, 8),
                                v.BuildOptions.hermite(128))
    serial = d.sample_array(N, seed=SEED)
    payloads = [cloudpickle.dumps((d, k)) for k in starts()]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        parts = pool.map(block_from_pickle, payloads)
    assert np.concatenate(parts).tobytes() == serial.tobytes()


@pytest.mark.parametrize("scheduler", ["threads", "processes"])
def test_a_dask_array_built_block_by_block_is_the_serial_sample(built, scheduler):
    da = pytest.importorskip("dask.array", reason="Dask is not installed")
    d, serial = built

    def draws(block_info=None):
        # Where this block sits in the whole array is the index of its first draw.
        (first, stop), = block_info[None]["array-location"]
        return d.sample_array(stop - first, seed=SEED, start=first)

    chunks = [min(BLOCK, N - k) for k in starts()]
    x = da.map_blocks(draws, chunks=(tuple(chunks),), dtype=np.float64)
    got = x.compute(scheduler=scheduler, num_workers=2)
    assert got.tobytes() == serial.tobytes()

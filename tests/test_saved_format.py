"""The saved-state format is kept: every class, built the same way, saves the bytes it saved
before its state moved into the class, and the states saved then still load. The reference
(tests/data/saved_states.json) holds a SHA-256 of each state and, for the small ones, the
state itself; it was written with the same cases by the format-1 code."""
import hashlib
import json
import math
import pathlib

import pytest

import _varnix as v

REFERENCE = pathlib.Path(__file__).parent / "data" / "saved_states.json"


def normal_pdf(x):
    return math.exp(-0.5 * x * x)


def normal_dpdf(x):
    return -x * math.exp(-0.5 * x * x)


def line_pdf(x):
    return 1.0 + 0.5 * x


def logistic_cdf(x):
    return 1.0 / (1.0 + math.exp(-x))


def density2(x, y):
    return math.exp(-0.5 * (x * x + y * y))


def half_coordinate(i, prefix):
    return 0.5 + i + sum(prefix)


def coordinate(i, x):
    return 0.25 * x[i] + 0.1 * i


def box():
    return v.HyperRect([-3, -3], [3, 3])


def started(chain, thin_batches):
    chain.init(seed=0)
    for seed, n in thin_batches:
        chain.sample_n(n, seed=seed)
    return chain


def swept(g, times):
    for _ in range(times):
        g.sample()
    return g


def estimated(e):
    e.estimate_normalization(seed=1)
    return e


O = v.BuildOptions
CASES = {
    "inversion": lambda: v.from_pdf(line_pdf, v.Interval(0, 1)),
    "hermite": lambda: v.from_pdf_with_options(line_pdf, v.Interval(0, 1), O.hermite(6)),
    "tdr_log": lambda: v.from_pdf_with_options(normal_pdf, v.Interval(-1, 1), O.tdr("log", 6)),
    "tdr_inv_sqrt": lambda: v.from_pdf_with_options(line_pdf, v.Interval(0, 1),
                                                    O.tdr("inv_sqrt")),
    "tdr_dpdf": lambda: v.from_pdf_dpdf(normal_pdf, normal_dpdf, v.Interval(-4, 4),
                                        O.tdr("log", 6)),
    "cdf_hermite": lambda: v.from_cdf_with_options(logistic_cdf, v.Interval(-6, 6), O.hermite(8)),
    "histogram": lambda: v.from_histogram([0, 1, 2.5, 3], [2, 5, 1], options=O.hermite(6)),
    "loc_scale": lambda: v.from_pdf_loc_scale(line_pdf, v.Interval(0, 1), 1.5, 0.25,
                                              O.hermite(6)),
    "truncated": lambda: v.truncated(normal_pdf, v.Interval(-5, 5), v.Interval(-1, 2)),
    "interpolated": lambda: v.from_pdf_with_options(normal_pdf, v.Interval(-2, 2),
                                                    O.interpolated(1e-5)),
    "interpolated_cdf": lambda: v.from_cdf_with_options(logistic_cdf, v.Interval(-6, 6),
                                                        O.interpolated(1e-5)),
    "discrete": lambda: v.from_pmf([1.0, math.nan, 3.0, 4.0], [0.3, 0.7, 1e-300, 1e-300]),
    "rejection": lambda: v.rejection_sampler(density2, box(), 1.0, max_trials=500),
    "mh_fresh": lambda: v.metropolis_hastings(density2, box(), burn_in=10, adapt_steps=500),
    "mh_running": lambda: started(v.metropolis_hastings(density2, box(), burn_in=10, thin=2,
                                                        adapt_steps=500), [(1, 30)]),
    "hmc_running": lambda: started(v.hmc_sampler(density2, box(), leapfrog_steps=5, jitter=0.0),
                                   [(1, 5)]),
    "gibbs": lambda: swept(v.gibbs_sampler(coordinate, box(), [0.5, -0.25], sweeps_per_sample=3),
                           2),
    "conditional": lambda: v.conditional_factorization_sampler(half_coordinate, 3),
    "copula": lambda: v.gaussian_copula([[1.0, 0.6, 0.1], [0.6, 1.0, 0.2], [0.1, 0.2, 1.0]]),
    "cdf_mc_fresh": lambda: v.cdf_mc_estimator(density2, box(), normalization_samples=200,
                                               cdf_samples=50),
    "cdf_mc_cached": lambda: estimated(v.cdf_mc_estimator(density2, box(),
                                                          normalization_samples=200,
                                                          cdf_samples=50)),
}

# Classes whose state gained fields at its end since format 1 (the chains: log densities, the
# whole space, HMC's jitter, gradient and adaptation).
ADDED_SINCE_FORMAT_1 = {"MetropolisHastings", "HmcSampler"}

# States up to this size are kept whole in the reference.
KEPT_WHOLE = 2500

# The interpolated engine places its intervals in parts since format 1: its reference holds the
# hash of today's build and, whole, the state format 1 wrote, which must still read back.


def reduced(obj):
    fn, (name, callables, state) = obj.__reduce__()
    assert fn is v._restore
    return name, callables, state


def write_reference():
    """Run with the format-1 build to write the reference."""
    out = {}
    for key, make in CASES.items():
        name, _, state = reduced(make())
        out[key] = {"class": name, "sha256": hashlib.sha256(state).hexdigest(),
                    "state": state.hex() if len(state) <= KEPT_WHOLE else None}
    REFERENCE.write_text(json.dumps(out, indent=1) + "\n")


@pytest.fixture(scope="module")
def reference():
    return json.loads(REFERENCE.read_text())


@pytest.mark.parametrize("key", CASES)
def test_each_class_saves_the_bytes_of_format_1_and_reads_them_back(key, reference):
    name, callables, state = reduced(CASES[key]())
    ref = reference[key]
    assert name == ref["class"]
    if name in ADDED_SINCE_FORMAT_1:
        # Format 1's bytes, then the fields added since, which an old state reads as defaults.
        old = bytes.fromhex(ref["state"])
        assert state.startswith(old) and len(state) > len(old)
        assert reduced(v._restore(name, callables, old))[2].startswith(old)
        return
    assert hashlib.sha256(state).hexdigest() == ref["sha256"]
    old = bytes.fromhex(ref["state"]) if ref["state"] is not None else state
    back = v._restore(name, callables, old)
    assert reduced(back)[2] == old


if __name__ == "__main__":
    write_reference()

"""diagnostics(): R-hat, bulk and tail ESS and the MCSE of the mean per coordinate, equal to
ArviZ's on the same draws; draws that cannot be diagnosed are refused."""
import warnings

import pytest

import _varnix as v

np = pytest.importorskip("numpy")

try:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # ArviZ warns about its coming refactor on import
        import arviz as az
except ImportError:
    az = None


def ar1(rng, chains, n, phi):
    x = np.empty((chains, n))
    x[:, 0] = rng.standard_normal(chains)
    for i in range(1, n):
        x[:, i] = phi * x[:, i - 1] + rng.standard_normal(chains)
    return x


def stuck(rng):
    x = rng.standard_normal((4, 300))
    x[2] = 0.7  # one chain never moves
    return x


def constant_coordinate(rng):
    x = rng.standard_normal((3, 200, 2))
    x[:, :, 1] = 2.5
    return x


CASES = {
    "iid normal, 2 coordinates": lambda rng: rng.standard_normal((4, 500, 2)),
    "iid normal, Fortran order": lambda rng: np.asfortranarray(rng.standard_normal((2, 64, 3))),
    "AR(1) 0.95, odd length": lambda rng: ar1(rng, 4, 1001, 0.95),
    "shifted chain means": lambda rng: rng.standard_normal((3, 400)) + np.arange(3)[:, None],
    "stuck chain": stuck,
    "constant coordinate": constant_coordinate,
    "tied values": lambda rng: rng.integers(0, 3, (4, 200)).astype(float),
}


def arviz_diagnostics(x):
    """ArviZ's values for each coordinate of x, from its own functions on (chains, draws)."""
    if x.ndim == 2:
        x = x[:, :, None]
    out = {"rhat": [], "ess_bulk": [], "ess_tail": [], "mcse_mean": []}
    with np.errstate(divide="ignore", invalid="ignore"):  # a constant coordinate's R-hat is 0/0
        for j in range(x.shape[2]):
            c = np.ascontiguousarray(x[:, :, j])
            out["rhat"].append(float(az.rhat(c)))
            out["ess_bulk"].append(float(az.ess(c, method="bulk")))
            out["ess_tail"].append(float(az.ess(c, method="tail")))
            out["mcse_mean"].append(np.asarray(az.mcse(c)).item())
    return out


@pytest.mark.skipif(az is None, reason="ArviZ is not installed")
@pytest.mark.parametrize("make", CASES.values(), ids=CASES.keys())
def test_diagnostics_equal_arviz(make):
    x = make(np.random.default_rng(20240611))
    got = v.diagnostics(x)
    expected = arviz_diagnostics(x)
    assert list(got) == list(expected)
    for key, values in expected.items():
        assert got[key] == pytest.approx(tuple(values), rel=1e-8, abs=0, nan_ok=True), key


def nan_at(shape, index):
    x = np.zeros(shape)
    x[index] = np.nan
    return x


PREFIX = "argument 'draws': expected a buffer of float64 of shape"


@pytest.mark.parametrize("draws, exc, message", [
    (np.zeros(10), ValueError, PREFIX + r".*, got shape \(10,\)$"),
    (np.zeros((2, 4, 1, 1)), ValueError, PREFIX + r".*, got shape \(2, 4, 1, 1\)$"),
    (np.float64(1.0), ValueError, PREFIX + ".*, got a 0-dimensional buffer$"),
    ([[0.0] * 4] * 2, TypeError, PREFIX + ".*, got 'list'$"),
    (np.zeros((2, 4), dtype=np.float32), TypeError, "argument 'draws': .*format 'f'"),
    (np.zeros((1, 10)), ValueError, "^argument 'draws': at least 2 chains are needed, got 1$"),
    (np.zeros((3, 3, 2)), ValueError,
     "^argument 'draws': at least 4 draws per chain are needed, got 3$"),
    (nan_at((2, 5, 3), (1, 2, 0)), ValueError,
     r"^argument 'draws': draws contain NaN \(chain 1, draw 2, coordinate 0\)$"),
], ids=["1-d", "4-d", "0-d", "list", "float32", "one chain", "three draws", "NaN"])
def test_bad_draws_are_refused(draws, exc, message):
    with pytest.raises(exc, match=message):
        v.diagnostics(draws)

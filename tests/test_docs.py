"""Runs every Python example of the README and the guide, so that neither can fall out of date.

Each ```python block is executed on its own, in a fresh namespace, as a reader would paste it;
blocks of any other language (```sh, ```text) are not run. The code is compiled under the
document's name with the block's own line numbers, so a failure's traceback points at the
line of the document.
"""
import builtins
import gc
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", ROOT / "docs" / "guide.md"]

FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*([\w+-]*)")


def code_blocks(path):
    """(first line number, language, code) of each fenced block of a Markdown file."""
    blocks = []
    lines = path.read_text(encoding="utf-8").splitlines()
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent, fence, language = m.groups()
        start = i + 1
        i = start
        while i < len(lines) and not lines[i].strip().startswith(fence):
            i += 1
        if i == len(lines):
            raise AssertionError(f"{path.name}:{start}: code block never closed")
        body = [line[len(indent):] if line.startswith(indent) else line for line in lines[start:i]]
        blocks.append((start + 1, language.lower(), "\n".join(body) + "\n"))
        i += 1
    return blocks


def python_blocks():
    for path in DOCUMENTS:
        for line, language, code in code_blocks(path):
            if language == "python":
                yield pytest.param(path, line, code, id=f"{path.name}:{line}")


@pytest.mark.parametrize("path, line, code", list(python_blocks()))
def test_example_runs(path, line, code):
    # Padding with blank lines puts every statement at its line number in the document.
    compiled = compile("\n" * (line - 1) + code, str(path.relative_to(ROOT)), "exec")
    namespace = {"__name__": "__example__"}
    try:
        exec(compiled, namespace)
    except BaseException as e:
        raise AssertionError(
            f"the example at {path.relative_to(ROOT)}:{line} failed: {type(e).__name__}: {e}"
        ) from e
    finally:
        # The example's functions refer back to its namespace, a cycle that only the collector
        # frees, and it may run on any thread (a Dask worker's, in a later example). Thread-bound
        # objects (chains) must be released on the thread that made them: free them here.
        namespace.clear()
        gc.collect()


def test_every_document_has_examples_and_the_readme_links_the_guide():
    # A fence the parser stopped recognising would silently turn the tests above into none.
    counts = {path.name: sum(lang == "python" for _, lang, _ in code_blocks(path))
              for path in DOCUMENTS}
    assert counts["README.md"] >= 1 and counts["guide.md"] >= 10, counts
    assert "(docs/guide.md)" in (ROOT / "README.md").read_text(encoding="utf-8")


@pytest.mark.parametrize("text, expected", [
    ("a\n```python\nx = 1\n```\n```text\nno\n```\n",
     [(3, "python", "x = 1\n"), (6, "text", "no\n")]),
    ("- item\n\n  ```python\n  y = 2\n  ```\n", [(4, "python", "y = 2\n")]),
    ("````python\n```\n````\n", [(2, "python", "```\n")]),
])
def test_code_blocks_reads_fences(tmp_path, text, expected):
    doc = tmp_path / "doc.md"
    doc.write_text(text, encoding="utf-8")
    assert code_blocks(doc) == expected


# The guide's table of exceptions: each text it lists is raised, with its exception type, by
# the call below. A text that changes, or a row without a call here, fails the test.
def _reentering(call_inside):
    """Runs a chain whose density calls call_inside(chain) and returns what that call raised."""
    import varnix as vx

    seen = []

    def density(x, y):
        try:
            call_inside(chain)
        except RuntimeError as e:
            seen.append(e)
        return 1.0

    chain = vx.metropolis_hastings(density, vx.HyperRect([0.0, 0.0], [1.0, 1.0]))
    chain.init()
    chain.step()
    raise seen[0]


def _from_another_thread():
    import threading

    import varnix as vx

    chain = vx.metropolis_hastings(lambda x, y: 1.0, vx.HyperRect([0.0, 0.0], [1.0, 1.0]))
    raised = []

    def use():
        try:
            chain.init()
        except BaseException as e:  # the internal fault derives from BaseException
            raised.append(e)

    thread = threading.Thread(target=use)
    thread.start()
    thread.join()
    raise raised[0]


def _tdr_that_stops_accepting():
    import math

    import varnix as vx

    alive = [True]
    d = vx.from_pdf_with_options(lambda x: math.exp(-0.5 * x * x) if alive[0] else 0.0,
                                 vx.Interval(-5.0, 5.0), vx.BuildOptions.tdr("inv_sqrt"))
    alive[0] = False
    d.sample()


def _tdr_below_the_density():
    import math

    import varnix as vx

    raised = [False]
    d = vx.from_pdf_with_options(lambda x: math.exp(-0.5 * x * x) * (2.0 if raised[0] else 1.0),
                                 vx.Interval(-5.0, 5.0), vx.BuildOptions.tdr("inv_sqrt"))
    raised[0] = True
    d.sample_n(1000, seed=1)  # twice the density is above the hat on |x| < 1.18


def _table_triggers():
    import math

    import varnix as vx

    unit = vx.Interval(0.0, 1.0)
    box = vx.HyperRect([0.0, 0.0], [1.0, 1.0])
    one = lambda x: 1.0  # noqa: E731
    return {
        "invalid support interval: lo must be strictly less than hi": lambda: vx.Interval(1, 0),
        "non-finite value in support bounds": lambda: vx.Interval(0.0, math.inf),
        "failed to normalize PDF on support": lambda: vx.from_pdf(lambda x: 1 / 0, unit),
        "tdr failed to build hat function (try InvSqrt transform or explicit dpdf)":
            lambda: vx.from_pdf_with_options(lambda x: 1.0 if x < 0.05 else 0.0, unit,
                                             vx.BuildOptions.tdr("log")),
        "tdr: the density is not log-concave between x=… and x=… (the log transform needs a "
        "log-concave density: try the InvSqrt transform)":
            lambda: vx.from_pdf_with_options(lambda x: (1.0 + x * x / 3.0) ** -2.0,
                                             vx.Interval(-50.0, 50.0), vx.BuildOptions.tdr("log")),
        "invalid support interval: TDR sampling requires a PDF (use from_pdf_fn, not from_cdf_fn)":
            lambda: vx.from_cdf_with_options(lambda x: x, unit, vx.BuildOptions.tdr("log")),
        "truncation interval must lie inside base support":
            lambda: vx.truncated(one, unit, vx.Interval(0.5, 2.0)),
        "scale must be finite and positive": lambda: vx.from_pdf_loc_scale(one, unit, 0.0, -1.0),
        "invalid histogram edges or counts": lambda: vx.from_histogram([0.0, 1.0], [1.0, 1.0]),
        "discrete distribution has no support points": lambda: vx.from_pmf([], []),
        "invalid support interval: points and pmf must have the same length":
            lambda: vx.from_pmf([0.0, 1.0], [1.0]),
        "probability mass must be positive": lambda: vx.from_pmf([0.0, 1.0], [1.0, -1.0]),
        "invalid support interval: hyper-rect cannot be empty": lambda: vx.HyperRect([], []),
        "invalid support interval: hyper-rect lo/hi must have same dimension":
            lambda: vx.HyperRect([0.0, 0.0], [1.0]),
        "invalid support interval: each lo must be < hi": lambda: vx.HyperRect([1.0], [0.0]),
        "non-finite value in hyper-rect bounds": lambda: vx.HyperRect([0.0], [math.nan]),
        "pdf_max must be finite and positive": lambda: vx.rejection_sampler(one, box, 0.0),
        "density … at (…) exceeds pdf_max …: draws would be biased":
            lambda: vx.rejection_sampler(lambda x, y: 2.0, box, 1.0).sample(),
        "quantile u=… not in (0, 1)": lambda: vx.from_pdf(one, unit).isf(0.0),
        "failed to invert CDF":
            lambda: vx.gaussian_copula([[1.0]]).sample([lambda u: None], seed=1),
        "operation requires an underlying PDF": lambda: vx.from_cdf(lambda x: x, unit).var(),
        "entropy needs a density: build from the distribution function with "
        "BuildOptions.interpolated(), whose quantile function gives one":
            lambda: vx.from_cdf(lambda x: x, unit).entropy(),
        "numerical integration failed": lambda: vx.cdf_mc_estimator(one, box).cdf([0.5]),
        "confidence … must be in (0, 1)": lambda: vx.from_pdf(one, unit).interval(-1.0),
        "rejection sampler failed to accept":
            lambda: vx.rejection_sampler(lambda x, y: 0.0, box, 1.0, max_trials=5).sample(),
        "tdr failed to draw a sample": _tdr_that_stops_accepting,
        "tdr: the density at x=… is …, above the hat (…): it is not T-concave for the transform":
            _tdr_below_the_density,
        "mcmc sampler not initialized (call init)":
            lambda: vx.hmc_sampler(lambda x, y: 1.0, box).sample_n(1, seed=1),
        "mcmc sampler failed": lambda: vx.gaussian_copula([[1.0]]).sample([], seed=1),
        "density is negative at x=… (value …)":
            lambda: vx.from_pdf_with_options(lambda x: x - 0.5, unit, vx.BuildOptions.interpolated()),
        "density is not finite at x=… (value …)":
            lambda: vx.from_pdf_with_options(lambda x: 1 / (x - 0.5) ** 2, unit,
                                             vx.BuildOptions.interpolated()),
        "density is zero at all … points examined in […, …]":
            lambda: vx.from_pdf_with_options(lambda x: 0.0, unit, vx.BuildOptions.interpolated()),
        "the mass of the density cannot be found near x=…: …":
            lambda: vx.from_pdf_with_options(lambda x: 1 / x, unit, vx.BuildOptions.interpolated()),
        "distribution function is not finite at x=… (value …)":
            lambda: vx.from_cdf_with_options(lambda x: math.nan if 0.3 < x < 0.4 else x, unit,
                                             vx.BuildOptions.interpolated()),
        "distribution function decreases at x=… (by … of its rise over the interval)":
            lambda: vx.from_cdf_with_options(lambda x: x if x < 0.5 else x - 0.25, unit,
                                             vx.BuildOptions.interpolated()),
        "u_resolution … is outside [0.00000000000001, 0.00001]":
            lambda: vx.BuildOptions.interpolated(1e-3),
        "unknown TDR transform '…', expected 'log' or 'inv_sqrt'":
            lambda: vx.BuildOptions.tdr("exp"),
        "a Sobol sequence has from 1 to 1111 dimensions, asked for …":
            lambda: vx.sobol_points(1, 1112),
        "points … to … + … run past the end of the Sobol sequence, which holds 2**32 points":
            lambda: vx.sobol_points(2, 1, start=2**32 - 1, scramble=False),
        "start=… needs a seed: without one each call scrambles the sequence afresh, so its "
        "points do not continue another call's": lambda: vx.sobol_points(1, 1, start=1),
        "sample_qmc needs a quantile function, and transformed density rejection has none (it "
        "draws by rejection): build with BuildOptions.interpolated()":
            lambda: vx.from_pdf_with_options(one, unit, vx.BuildOptions.tdr("inv_sqrt")
                                             ).sample_qmc(1, seed=1),
        "InvalidCorrelation": lambda: vx.gaussian_copula([[1.0, 0.0]]),
        "argument 'interval': 'tuple' object cannot be converted to 'Interval'":
            lambda: vx.from_pdf(one, (0.0, 1.0)),
        "No constructor defined for ContinuousDistribution": lambda: vx.ContinuousDistribution(),
        "can't convert negative int to unsigned": lambda: vx.from_pmf([0.0], [1.0]).sample_n(-1),
        "int too big to convert": lambda: vx.from_pmf([0.0], [1.0]).sample_n(1, seed=2**64),
        "": lambda: vx.from_pmf([0.0], [1.0]).sample_n(2**63),
        "Already borrowed": lambda: _reentering(lambda chain: chain.step()),
        "Already mutably borrowed": lambda: _reentering(lambda chain: chain.accept_rate()),
        "… is unsendable, but sent to another thread": _from_another_thread,
    }


def exception_table():
    """(exception name, text) for every text of the guide's table of exceptions."""
    text = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
    section = text.split("## Exceptions and what to do about them", 1)[1]
    rows = []
    for line in section.splitlines():
        if not line.startswith("| `"):
            continue
        exception, texts = [cell.strip() for cell in line.strip("|").split(" | ")[:2]]
        for t in texts.split("; "):
            t = t.removesuffix(" (and texts like it)")
            rows.append((exception.strip("`"), "" if t == "(empty)" else t))
    return rows


def test_exception_table_matches_the_module():
    import varnix as vx

    types = {"BuildError": vx.BuildError, "SampleError": vx.SampleError}
    triggers = _table_triggers()
    rows = exception_table()
    listed = {t for _, t in rows}
    assert len(rows) >= 30
    assert not listed - set(triggers), "texts in the table that no call here raises"
    assert not set(triggers) - listed, "texts raised here that the table lacks"
    for name, text in rows:
        with pytest.raises(BaseException) as info:
            triggers[text]()
        if "." in name:  # the module's internal fault, named by module and class
            assert f"{type(info.value).__module__}.{type(info.value).__name__}" == name
        else:
            kind = types[name] if name in types else getattr(builtins, name)
            assert type(info.value) is kind, (text, info.value)
        pattern = ".*".join(re.escape(part) for part in text.split("…"))
        assert re.fullmatch(pattern, str(info.value)), (name, text, str(info.value))

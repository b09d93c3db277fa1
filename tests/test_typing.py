"""Type checkers find the installed package's types: the examples pass mypy --strict, and the
mistakes a user is likely to make are reported."""
import json
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
# Kept between runs (build/ is ignored by git): a warm cache turns seconds into a fraction.
CACHE = ROOT / "build" / "mypy-cache"
# pyright is optional (it needs Node.js; basedpyright ships it as a wheel): looked for beside
# this interpreter first, then on PATH.
PYRIGHT = next(filter(None, (shutil.which(name, path=os.pathsep.join(
    [os.path.dirname(sys.executable), os.environ.get("PATH", "")]))
    for name in ("basedpyright", "pyright"))), None)

WRONG = textwrap.dedent("""\
    import math

    import _varnix
    import varnix

    fine = varnix.from_pdf(math.exp, varnix.Interval(0.0, 1.0)).sample_n(3, seed=7)
    d = varnix.from_pdf(math.exp, (0.0, 1.0))
    coin = _varnix.from_pmf([0.0, 1.0], [1.0, 1.0]).sample_n(10, seed="7")
    height: float = 2.0 * _varnix.from_pdf(math.exp, _varnix.Interval(0.0, 1.0)).pdf(0.5)
""")


def run(tool, *args, cwd):
    # From a directory outside the source tree, so only the installed package can be found.
    env = {k: val for k, val in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run([*tool, *map(str, args)], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=300)


def mypy(*args, cwd):
    return run([sys.executable, "-m", "mypy", "--cache-dir", CACHE, "--no-error-summary"], *args,
               cwd=cwd)


def test_examples_pass_mypy_strict(tmp_path):
    assert EXAMPLES
    result = mypy("--strict", *EXAMPLES, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_reports_a_tuple_interval_a_str_seed_and_an_optional_density(tmp_path):
    script = tmp_path / "wrong.py"
    script.write_text(WRONG)
    result = mypy("--strict", script, cwd=tmp_path)
    errors = {}
    for line in result.stdout.splitlines():
        if ": error: " in line:
            number = int(line.split(":")[1])
            errors.setdefault(number, []).append(line)
    assert sorted(errors) == [7, 8, 9], result.stdout + result.stderr
    assert "Interval" in errors[7][0] and "tuple[float, float]" in errors[7][0]
    assert "seed" in errors[8][0] and '"str"' in errors[8][0]
    assert "None" in errors[9][0]


def test_stubs_agree_with_the_runtime_module(tmp_path):
    result = run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull,
                  "_varnix", "varnix"], cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.skipif(PYRIGHT is None, reason="pyright is not installed")
def test_pyright_reports_the_same_mistakes(tmp_path):
    script = tmp_path / "wrong.py"
    script.write_text(WRONG)
    result = run([PYRIGHT, "--pythonpath", sys.executable, "--outputjson"], script, cwd=tmp_path)
    diagnostics = json.loads(result.stdout)["generalDiagnostics"]
    lines = sorted({d["range"]["start"]["line"] + 1 for d in diagnostics if d["severity"] == "error"})
    assert lines == [7, 8, 9], result.stdout


@pytest.mark.skipif(PYRIGHT is None, reason="pyright is not installed")
def test_pyright_finds_every_public_name_typed_and_documented(tmp_path):
    env = {"VIRTUAL_ENV": sys.prefix,
           "PATH": os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])}
    result = subprocess.run([PYRIGHT, "--verifytypes", "varnix", "--outputjson"], cwd=tmp_path,
                            env={**os.environ, **env}, capture_output=True, text=True, timeout=300)
    report = json.loads(result.stdout)["typeCompleteness"]
    assert report["pyTypedPath"].endswith("py.typed")
    assert report["completenessScore"] == 1
    assert report["missingFunctionDocStringCount"] == 0 and report["missingClassDocStringCount"] == 0

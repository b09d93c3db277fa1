"""Builds the C++ core with its unit tests (no Python involved) and runs them."""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CXX = os.environ.get("CXX", "g++")


@pytest.fixture(scope="module")
def core_tests(tmp_path_factory):
    if shutil.which(CXX) is None:
        pytest.skip(f"no C++ compiler ({CXX}) to build the core tests")
    sources = sorted(str(p) for p in (ROOT / "src" / "core").rglob("*.cpp"))
    sources += sorted(str(p) for p in (ROOT / "tests" / "core").glob("*.cpp"))
    exe = tmp_path_factory.mktemp("core") / "core_tests"
    cmd = [CXX, "-std=c++23", "-O1", "-ffp-contract=off", "-Wall", "-Wextra",
           f"-I{ROOT / 'src'}", *sources, "-o", str(exe)]
    subprocess.run(cmd, check=True)
    return exe


def test_core_unit_tests_pass(core_tests):
    env = dict(os.environ, VARNIX_TEST_DATA=str(ROOT / "tests" / "data"))
    run = subprocess.run([str(core_tests)], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stdout + run.stderr

"""Builds the C++ unit tests of the core (tests/core, no Python involved) and runs them.

They are the core_tests target of the development build, which CMake keeps in build/dev under
the repository root: a second run finds it up to date and compiles nothing. The build runs one
compile at a time unless CMAKE_BUILD_PARALLEL_LEVEL says otherwise.
"""
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "dev"
DEV_OPTIONS = ["-DVARNIX_DEV=ON", "-DVARNIX_MODULE=OFF", "-DCMAKE_BUILD_TYPE=Release"]


def find_tool(name):
    """The tool installed with this interpreter's packages (cmake and ninja come with the test
    extra), else the one on PATH."""
    places = [sysconfig.get_path("scripts"), os.path.dirname(sys.executable)]
    try:
        import cmake
        places.append(cmake.CMAKE_BIN_DIR)
    except ImportError:
        pass
    for place in places:
        found = shutil.which(name, path=place)
        if found:
            return found
    return shutil.which(name)


def run(cmd, **kwargs):
    done = subprocess.run(cmd, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, " ".join(map(str, cmd)) + "\n" + done.stdout + done.stderr
    return done


def build_dev_target(target):
    """Configures build/dev and builds target in it; returns the build directory."""
    cmake = find_tool("cmake")
    if cmake is None:
        pytest.skip("no cmake: install the test extra (pip install '.[test]')")
    if shutil.which(os.environ.get("CXX", "c++")) is None and shutil.which("g++") is None:
        pytest.skip("no C++ compiler to build the core tests")
    configure = [cmake, "-S", ROOT, "-B", BUILD, *DEV_OPTIONS]
    ninja = find_tool("ninja")
    if not (BUILD / "CMakeCache.txt").exists() and ninja is not None:
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    run(configure)
    env = dict(os.environ)
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "1")
    run([cmake, "--build", BUILD, "--target", target], env=env)
    return BUILD


@pytest.fixture(scope="module")
def core_tests():
    return build_dev_target("core_tests") / "core_tests"


def test_core_unit_tests_pass(core_tests):
    env = dict(os.environ, VARNIX_TEST_DATA=str(ROOT / "tests" / "data"))
    done = subprocess.run([str(core_tests)], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stdout + done.stderr

"""Builds the C++ unit tests of the core (tests/core, no Python involved) and runs them.

They are the core_tests target of the development build (tools/dev_build.py), kept in
build/dev: a second run compiles nothing.
"""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import dev_build  # noqa: E402


@pytest.fixture(scope="module")
def core_tests():
    try:
        return dev_build.build_target("core_tests")
    except dev_build.Unavailable as why:
        pytest.skip(str(why))
    except subprocess.CalledProcessError as failed:
        pytest.fail(" ".join(failed.cmd) + "\n" + failed.stdout + failed.stderr)


def test_core_unit_tests_pass(core_tests):
    env = dict(os.environ, VARNIX_TEST_DATA=str(ROOT / "tests" / "data"))
    done = subprocess.run([str(core_tests)], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.fixture(scope="module")
def fill_driver_tsan():
    try:
        return dev_build.build_tsan_target()
    except dev_build.Unavailable as why:
        pytest.skip(str(why))
    except subprocess.CalledProcessError as failed:
        pytest.fail(" ".join(failed.cmd) + "\n" + failed.stdout + failed.stderr)


def test_fill_driver_threads_are_clean_under_thread_sanitizer(fill_driver_tsan):
    # halt_on_error: the first race fails the run, with ThreadSanitizer's report.
    env = dict(os.environ, TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1")
    done = subprocess.run([str(fill_driver_tsan)], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "ThreadSanitizer" not in done.stderr, done.stderr

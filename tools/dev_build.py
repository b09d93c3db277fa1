"""The development build: the C++ unit tests and the generator benchmark, built with CMake in
build/dev under the repository root (-DVARNIX_DEV=ON -DVARNIX_MODULE=OFF: no Python needed).

tests/test_core.py and bench/run.py build their targets here, so the core is compiled once for
both, and a second run finds everything up to date. One compile runs at a time unless
CMAKE_BUILD_PARALLEL_LEVEL says otherwise.
"""
from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "dev"
OPTIONS = ["-DVARNIX_DEV=ON", "-DVARNIX_MODULE=OFF", "-DCMAKE_BUILD_TYPE=Release"]


class Unavailable(Exception):
    """No cmake, or no C++ compiler: the development build cannot be made here."""


def find_tool(name: str) -> str | None:
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


TSAN_BUILD = ROOT / "build" / "tsan"
TSAN_OPTIONS = [*OPTIONS, "-DVARNIX_TSAN=ON"]


def build_tsan_target() -> Path:
    """Configures build/tsan (the development build with VARNIX_TSAN) and builds
    fill_driver_tsan, the fill driver's tests under ThreadSanitizer; returns the executable.
    Raises Unavailable when the compiler cannot build with ThreadSanitizer."""
    configure = _configure_command(TSAN_BUILD, TSAN_OPTIONS)
    _run(configure)
    cache = (TSAN_BUILD / "CMakeCache.txt").read_text()
    if "VARNIX_TSAN_SUPPORTED:INTERNAL=1" not in cache:
        raise Unavailable("the C++ compiler cannot build with -fsanitize=thread")
    _run([configure[0], "--build", str(TSAN_BUILD), "--target", "fill_driver_tsan"])
    return TSAN_BUILD / "fill_driver_tsan"


def _configure_command(build: Path, options: list[str]) -> list[str]:
    cmake = find_tool("cmake")
    if cmake is None:
        raise Unavailable("no cmake (it comes with the test and bench extras)")
    if shutil.which(os.environ.get("CXX", "c++")) is None and shutil.which("g++") is None:
        raise Unavailable("no C++ compiler")
    configure = [cmake, "-S", str(ROOT), "-B", str(build), *options]
    ninja = find_tool("ninja")
    if not (build / "CMakeCache.txt").exists() and ninja is not None:
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    return configure


def _run(cmd: list[str]) -> None:
    env = dict(os.environ)
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "1")
    subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)


def build_target(target: str) -> Path:
    """Configures build/dev and builds target in it; returns the executable. Raises
    Unavailable when the tools are missing and CalledProcessError (output captured) when
    configuring or building fails."""
    cmake = find_tool("cmake")
    if cmake is None:
        raise Unavailable("no cmake (it comes with the test and bench extras)")
    if shutil.which(os.environ.get("CXX", "c++")) is None and shutil.which("g++") is None:
        raise Unavailable("no C++ compiler")
    configure = [cmake, "-S", str(ROOT), "-B", str(BUILD), *OPTIONS]
    ninja = find_tool("ninja")
    if not (BUILD / "CMakeCache.txt").exists() and ninja is not None:
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    env = dict(os.environ)
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "1")
    for cmd in (configure, [cmake, "--build", str(BUILD), "--target", target]):
        subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
    return BUILD / target

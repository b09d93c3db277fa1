"""The importable package: the extension's names, its version and the files type checkers read."""
import importlib.metadata
import importlib.resources
import pathlib

import pytest

import _varnix
import varnix

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("name", _varnix.__all__)
def test_every_public_name_is_the_extension_object_itself(name):
    assert getattr(varnix, name) is getattr(_varnix, name)


# Names of the package's own, beside the extension's.
OWN = ["progress", "show_progress"]


def test_all_lists_the_extension_names_in_their_order_then_the_package_own():
    assert varnix.__all__ == _varnix.__all__ + OWN
    namespace = {}
    exec("from varnix import *", namespace)
    assert sorted(n for n in namespace if n != "__builtins__") == sorted(_varnix.__all__ + OWN)


def test_version_is_the_installed_distribution_version():
    assert varnix.__version__ == importlib.metadata.version("varnix")


def test_exceptions_raised_by_the_extension_are_caught_through_the_package():
    with pytest.raises(varnix.BuildError, match="lo must be strictly less than hi"):
        varnix.Interval(1.0, 0.0)


def test_typing_markers_and_stub_package_are_installed():
    assert (importlib.resources.files("varnix") / "py.typed").is_file()
    files = {str(f) for f in importlib.metadata.files("varnix")}
    assert {"varnix/py.typed", "_varnix-stubs/__init__.pyi"} <= files
    # A stale stub would mislead every type checker: the installed one is the one in the tree.
    installed = importlib.metadata.distribution("varnix").locate_file("_varnix-stubs/__init__.pyi")
    source = ROOT / "stubs" / "_varnix-stubs" / "__init__.pyi"
    assert pathlib.Path(installed).read_text() == source.read_text()

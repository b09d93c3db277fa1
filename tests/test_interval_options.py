"""Interval and BuildOptions: checks, defaults, repr and transform names."""
import math

import pytest

import _varnix as v

NAN = float("nan")
INF = float("inf")


@pytest.mark.parametrize("lo, hi", [(1, 1), (2, 1), (-0.0, 0.0)])
def test_interval_needs_lo_strictly_below_hi(lo, hi):
    with pytest.raises(v.BuildError) as info:
        v.Interval(lo, hi)
    assert str(info.value) == "invalid support interval: lo must be strictly less than hi"


@pytest.mark.parametrize("lo, hi", [(0, INF), (NAN, 1), (NAN, NAN), (-INF, -INF), (2, NAN)])
def test_interval_bounds_must_be_finite_before_ordered(lo, hi):
    with pytest.raises(v.BuildError, match="^non-finite value in support bounds$"):
        v.Interval(lo, hi)


def test_build_errors_are_runtime_errors():
    with pytest.raises(RuntimeError):
        v.Interval(1, 0)


@pytest.mark.parametrize("lo, hi, text", [
    (0.0, 1.0, "Interval(0, 1)"),
    (-1.5, 2.25, "Interval(-1.5, 2.25)"),
    (1e-7, 1e21, "Interval(0.0000001, 1000000000000000000000)"),
    (-1e-300, 0.0, "Interval(-0." + "0" * 299 + "1, 0)"),
    (0.1, 0.30000000000000004, "Interval(0.1, 0.30000000000000004)"),
])
def test_interval_repr_writes_shortest_positional_numbers(lo, hi, text):
    assert repr(v.Interval(lo, hi)) == text


def test_interval_properties_are_read_only_floats():
    i = v.Interval(1, 2)
    assert isinstance(i.lo, float) and i.lo == 1.0 and i.hi == 2.0
    with pytest.raises(AttributeError):
        i.lo = 0.0


@pytest.mark.parametrize("name", ["log", "LOG", "Inv-Sqrt", "inv_sqrt", "INVSQRT"])
def test_known_transform_names_fold_case(name):
    v.BuildOptions(tdr_transform=name)
    v.BuildOptions.tdr(name)


@pytest.mark.parametrize("name, shown", [(" log", " log"), ("Foo", "foo"), ("", ""),
                                         ("inv sqrt", "inv sqrt")])
def test_unknown_transform_names_are_refused_after_folding(name, shown):
    expected = f"unknown TDR transform '{shown}', expected 'log' or 'inv_sqrt'"
    with pytest.raises(ValueError) as a:
        v.BuildOptions(tdr_transform=name)
    with pytest.raises(ValueError) as b:
        v.BuildOptions.tdr(name)
    assert str(a.value) == str(b.value) == expected


def test_hermite_grid_wins_and_the_transform_is_not_examined():
    v.BuildOptions(hermite_grid_size=64, tdr_transform="no such transform")


@pytest.mark.parametrize("kwargs", [
    dict(quad_tolerance=-1.0, ppf_tolerance=NAN, max_iterations=0),
    dict(tdr_transform="log", tdr_construction_points=0, tdr_dpdf_rel_step=-5.0),
    dict(hermite_grid_size=0),
])
def test_numbers_are_stored_without_range_checks(kwargs):
    v.BuildOptions(**kwargs)


def test_build_options_expose_no_attributes():
    o = v.BuildOptions()
    public = [a for a in dir(o) if not a.startswith("_")]
    assert public == ["hermite", "interpolated", "tdr"]
    assert repr(o).startswith("<_varnix.BuildOptions object")


def test_all_build_options_parameters_bind_by_position():
    v.BuildOptions(1e-8, 1e-10, 64, False, None, "log", 10, 1e-3)

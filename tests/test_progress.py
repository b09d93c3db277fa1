"""Progress of long builds and batches: shown when asked for, on standard error or through
tqdm, and never otherwise."""
import math
import re
import sys
import types

import pytest

import _varnix
import varnix as vx

UNIT = vx.Interval(-5.0, 5.0)


@pytest.fixture(autouse=True)
def progress_off_afterwards():
    yield
    vx.show_progress(False)


def counting_normal():
    def f(x):
        f.calls += 1
        return math.exp(-0.5 * x * x)
    f.calls = 0
    return f


def last_line(err):
    assert err.endswith("\n"), repr(err[-200:])
    return err.rstrip("\n").split("\r")[-1]


def test_a_build_reports_the_calls_of_the_density(capsys):
    f = counting_normal()
    with vx.progress(delay=0.0):
        vx.from_pdf_with_options(f, UNIT, vx.BuildOptions.hermite(32))
    err = capsys.readouterr().err
    assert re.fullmatch(rf"varnix: {f.calls:,} density calls, \d+\.\d s", last_line(err))


@pytest.mark.parametrize("batch, n, calls", [
    (lambda n: vx.from_pmf([1.0, 2.0], [1.0, 3.0]).sample_n(n, seed=1), 200_000, ""),
    (lambda n: vx.from_histogram([0.0, 1.0, 2.0], [1.0, 2.0], options=vx.BuildOptions.hermite(8))
     .sample_n(n, seed=1), 100_000, ""),
    (lambda n: chain_batch(n), 3_000, r", 3,000 density calls"),
    (lambda n: chain_batch(n, "sample_array"), 3_000, r", 3,000 density calls"),
    (lambda n: chain_batch(n, "sample_into"), 3_000, r", 3,000 density calls"),
    (lambda n: vx.from_pmf([1.0, 2.0], [1.0, 3.0]).sample_array(n, seed=1, threads=1),
     3_000_000, ""),
], ids=["discrete", "histogram", "chain", "chain array", "chain into", "discrete array"])
def test_a_batch_reports_the_draws_done_out_of_n(capsys, batch, n, calls):
    with vx.progress(delay=0.0):
        batch(n)
    err = capsys.readouterr().err
    assert re.fullmatch(rf"varnix: {n:,} of {n:,} draws{calls}, \d+\.\d s", last_line(err))
    assert err.count("\n") == 1  # one line, rewritten in place


def chain_batch(n, form="sample_n"):
    chain = vx.metropolis_hastings(lambda x, y: 1.0, vx.HyperRect([0, 0], [1, 1]), burn_in=0)
    chain.init()  # one density call: the batch's own count starts afresh
    if form == "sample_into":
        np = pytest.importorskip("numpy")
        return chain.sample_into(np.empty((n, 2)), seed=1)
    if form == "sample_array":
        pytest.importorskip("numpy")
    return getattr(chain, form)(n, seed=1)


def test_nothing_is_shown_by_default_nor_for_a_call_quicker_than_the_delay(capsys):
    d = vx.from_pdf_with_options(counting_normal(), UNIT, vx.BuildOptions.hermite(32))
    d.sample_n(100_000, seed=1)
    with vx.progress(delay=60.0):
        d.sample_n(100_000, seed=1)
    with vx.progress(delay=0.0):
        with vx.progress(False):
            d.sample_n(100_000, seed=1)
    d.sample_n(100_000, seed=1)  # the setting before the blocks is back: off
    assert capsys.readouterr().err == ""


def test_tqdm_draws_a_bar_when_it_is_installed(monkeypatch, capsys):
    bars = []

    class FakeBar:
        def __init__(self, **kwargs):
            self.kwargs, self.total, self.n, self.closed = kwargs, kwargs["total"], 0, False
            bars.append(self)

        def set_postfix_str(self, text, refresh=True):
            pass

        def refresh(self):
            pass

        def close(self):
            self.closed = True

    monkeypatch.setitem(sys.modules, "tqdm", types.SimpleNamespace(tqdm=FakeBar))
    with vx.progress(delay=0.0):
        vx.from_pmf([1.0, 2.0], [1.0, 1.0]).sample_n(50_000, seed=1)
    assert len(bars) == 1
    bar = bars[0]
    assert (bar.total, bar.n, bar.closed, bar.kwargs["unit"]) == (50_000, 50_000, True, "draw")
    assert capsys.readouterr().err == ""  # the bar writes, not the plain line


def test_nested_calls_report_as_their_outermost_call():
    reports = []
    inner = vx.from_pmf([1.0, 2.0], [1.0, 1.0])

    def f(x):
        inner.sample_n(1000, seed=1)
        return math.exp(-0.5 * x * x)

    _varnix._set_progress(lambda *report: reports.append(report), 0.0)
    vx.from_pdf(f, UNIT)
    assert reports and {r[0] for r in reports} == {reports[0][0]}
    assert all(r[2] == 0 for r in reports)  # not a batch: the inner batches are not shown
    assert reports[-1][6] is True and reports[-1][4] == "density"


def test_a_reporter_that_raises_an_exception_does_not_stop_the_work(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    def reporter(*report):
        raise ValueError("broken reporter")

    _varnix._set_progress(reporter, 0.0)
    assert len(vx.from_pmf([1.0], [1.0]).sample_n(10_000, seed=1)) == 10_000
    assert len(unraisable) == 1 and isinstance(unraisable[0].exc_value, ValueError)


def test_an_interrupt_in_the_reporter_ends_the_call():
    def reporter(*report):
        raise KeyboardInterrupt

    _varnix._set_progress(reporter, 0.0)
    with pytest.raises(KeyboardInterrupt):
        vx.from_pmf([1.0], [1.0]).sample_n(10_000, seed=1)


@pytest.mark.parametrize("delay", [-1.0, math.nan])
def test_the_delay_is_a_number_of_seconds(delay):
    with pytest.raises(ValueError, match="delay"):
        vx.show_progress(delay=delay)

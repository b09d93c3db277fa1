"""Progress of long builds and batches, shown on request.

The extension tells the installed reporter how far a call is: first once the call has run for
the delay, then at most ten times a second, and once more when it ends. Builds count the calls
of the user's function; batches count the draws done out of n. The reporter draws a tqdm bar
when tqdm is installed, and otherwise keeps one line on standard error up to date.
"""
from __future__ import annotations

import contextlib
import importlib
import sys
from collections.abc import Iterator
from typing import Any, TextIO

import _varnix

__all__ = ["progress", "show_progress"]


class _Reporter:
    """Called by the extension as reporter(call, done, total, calls, what, seconds, final):
    `call` tells apart calls running at the same time on different threads; `total` is the
    batch's n, or 0 for a call that is not a batch; `what` names the function whose calls
    are counted ("density", "distribution function", ...)."""

    def __init__(self, file: TextIO | None) -> None:
        self._file = file
        self._bars: dict[int, Any] = {}
        try:  # imported by name: tqdm is optional, and typed only with its stub package
            self._tqdm: Any = importlib.import_module("tqdm").tqdm
        except ImportError:
            self._tqdm = None

    def _stream(self) -> TextIO:
        # Looked up at every report, so that a redirected sys.stderr is followed.
        return self._file if self._file is not None else sys.stderr

    def __call__(self, call: int, done: int, total: int, calls: int, what: str,
                 seconds: float, final: bool) -> None:
        if self._tqdm is not None:
            self._bar(call, done, total, calls, what, final)
        else:
            self._line(done, total, calls, what, seconds, final)

    def _bar(self, call: int, done: int, total: int, calls: int, what: str,
             final: bool) -> None:
        bar = self._bars.get(call)
        if bar is None:
            bar = self._tqdm(desc="varnix", total=total or None, unit="draw" if total else "call",
                             file=self._stream(), leave=True)
            self._bars[call] = bar
        if total and bar.total != total:
            bar.total = total
            bar.unit = "draw"
        bar.n = done if total else calls
        if total and calls:
            bar.set_postfix_str(f"{calls:,} {what} calls", refresh=False)
        bar.refresh()
        if final:
            bar.close()
            del self._bars[call]

    def _line(self, done: int, total: int, calls: int, what: str, seconds: float,
              final: bool) -> None:
        parts = []
        if total:
            parts.append(f"{done:,} of {total:,} draws")
        if calls or not total:
            parts.append(f"{calls:,} {what} calls")
        parts.append(f"{seconds:.1f} s")
        stream = self._stream()
        stream.write("\rvarnix: " + ", ".join(parts) + ("\n" if final else ""))
        stream.flush()


_setting: tuple[bool, float, TextIO | None] = (False, 1.0, None)


def show_progress(enabled: bool = True, *, delay: float = 1.0,
                  file: TextIO | None = None) -> None:
    """Shows, or stops showing, the progress of builds and batches that run longer than `delay`
    seconds: a tqdm bar when tqdm is installed, otherwise one line on `file` (standard error by
    default) kept up to date. Builds report the calls of the user's function
    ("81,920 density calls, 2.3 s"), batches the draws done out of n. Process-wide, for every
    thread; off by default. When off, it costs nothing measurable."""
    global _setting
    if delay < 0.0 or delay != delay:
        raise ValueError(f"delay must be a number of seconds >= 0, not {delay!r}")
    if enabled:
        _varnix._set_progress(_Reporter(file), float(delay))  # type: ignore[attr-defined]
    else:
        _varnix._set_progress(None, 0.0)  # type: ignore[attr-defined]
    _setting = (enabled, delay, file)


@contextlib.contextmanager
def progress(enabled: bool = True, *, delay: float = 1.0,
             file: TextIO | None = None) -> Iterator[None]:
    """Shows progress (see show_progress) inside a ``with`` block, and restores the setting it
    found when the block ends::

        with varnix.progress():
            d = varnix.from_pdf_with_options(f, varnix.Interval(-8.0, 8.0),
                                             varnix.BuildOptions.hermite(4096))
    """
    before = _setting
    show_progress(enabled, delay=delay, file=file)
    try:
        yield
    finally:
        show_progress(before[0], delay=before[1], file=before[2])

"""The estimator's progress display on stderr.

``report`` writes one line after each search level; ``tick`` shows how far
the running level has got (candidates scored, rate, best loss so far, time
left). On a terminal the ticks redraw one bar in place (carriage returns);
elsewhere (a log file, a pipe) they become plain lines, at most one every
``plain_every`` seconds, so a log stays readable. Progress is never worth a
result: without a usable stream (closed, None, full, unable to encode)
nothing is written, and never to stdout.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable, Sequence
from typing import TextIO

from vek_math import _engine, _formula

__all__ = ["Progress"]

_BAR = 24  # cells of the bar


def _count(n: float) -> str:
    """A count with thousands separators; past a million in M."""
    return f"{n / 1e6:.1f}M" if n >= 1e7 else f"{n:,.0f}"


def _duration(seconds: float) -> str:
    seconds = max(0, round(seconds))
    if seconds < 60:
        return f"{seconds}s"
    if seconds < 3600:
        return f"{seconds // 60}m{seconds % 60:02d}s"
    return f"{seconds // 3600}h{seconds // 60 % 60:02d}m"


class Progress:
    """Progress of one search; ``names`` are the feature names used in the
    formulas shown. ``stream`` None means ``sys.stderr`` at each write."""

    def __init__(
        self,
        names: Sequence[str],
        stream: TextIO | None = None,
        clock: Callable[[], float] = time.perf_counter,
        redraw_every: float = 0.1,
        plain_every: float = 5.0,
    ) -> None:
        self._shown = [_formula.shown_name(n) for n in names]
        self._stream = stream
        self._clock = clock
        self._redraw_every = redraw_every
        self._plain_every = plain_every
        self._start = clock()
        self._usable = True
        self._level: int | None = None
        self._level_start = (0.0, 0)  # time and count of the level's first tick
        self._last_write = -float("inf")
        self._bar_width = 0  # characters of the bar on screen; 0: none

    def report(self, level: int, generated: int, scored: int, best: _engine.Record | None) -> None:
        """The line after a finished level (the progress callback)."""
        text = "-"
        if best is not None:
            formula = _formula.render(_formula.from_nodes(best.nodes), self._shown, best.params)
            text = f"{formula}  (error {best.error:.3g})"
        self._line(
            f"level {level}: {generated} candidates, {scored} scored, best {text}  [{self._clock() - self._start:.1f}s]"
        )
        self._level = None
        if self._terminal():  # the next level's bar shows at once
            self._last_write = -float("inf")

    def tick(self, level: int, done: int, total: int, best_loss: float | None) -> None:
        """How far level ``level`` has got: ``done`` of ``total`` candidates
        scored, the lowest loss so far (None while there is none)."""
        now = self._clock()
        if level != self._level:
            self._level, self._level_start = level, (now, done)
        terminal = self._terminal()
        if now - self._last_write < (self._redraw_every if terminal else self._plain_every):
            return
        t0, done0 = self._level_start
        rate = (done - done0) / (now - t0) if now > t0 else 0.0
        share = min(done / total, 1.0) if total > 0 else 0.0
        parts = [f"level {level}: {_count(done)}/{_count(total)} candidates ({share:.0%})"]
        if rate > 0:
            parts.append(f"{_count(rate)}/s")
        parts.append("best loss -" if best_loss is None else f"best loss {best_loss:.4g}")
        if rate > 0 and total > done:
            parts.append(f"ETA {_duration((total - done) / rate)}")
        text = ", ".join(parts)
        if terminal:
            filled = round(share * _BAR)
            self._bar(f"[{'#' * filled}{'.' * (_BAR - filled)}] {text}")
        else:
            self._line(text)
        self._last_write = now

    def close(self) -> None:
        """Ends a bar left on screen with its line."""
        if self._bar_width:
            self._write("\n")
            self._bar_width = 0

    def _terminal(self) -> bool:
        stream = self._target()
        try:
            return stream is not None and bool(stream.isatty())
        except (OSError, ValueError, AttributeError):
            return False

    def _target(self) -> TextIO | None:
        return self._stream if self._stream is not None else sys.stderr

    def _bar(self, text: str) -> None:
        # The previous bar is overwritten in full: a shorter text is padded.
        self._write("\r" + text.ljust(self._bar_width))
        self._bar_width = len(text)

    def _line(self, text: str) -> None:
        if self._bar_width:
            text = "\r" + text.ljust(self._bar_width)
            self._bar_width = 0
        self._write(text + "\n")

    def _write(self, text: str) -> None:
        stream = self._target()
        if not self._usable or stream is None:
            return
        try:
            stream.write(text)
            stream.flush()
        except (OSError, ValueError, AttributeError):
            self._usable = False

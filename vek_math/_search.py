"""The one door from the estimator to the discovery engine.

``search(X, y, **options)`` runs a search (the options of
``vek_math._engine.search``: ``constants=True`` fits constants, at most
``max_params`` per formula) and returns the engine's ``Outcome``:

    best (a Record or None), front (Records by increasing complexity),
    stopped (None | "time_limit" | "interrupted" | "memory" | "memory_limit"),
    levels, generated, scored, beam ((nodes, params) of the beam's members:
    ``seed=`` of a search that continues this one)

where a ``Record`` has nodes (postfix node tuples), formula (engine text),
complexity, loss (RMSE), error (loss * (penalty * complexity + 1)) and
params (floats); "memory" means the engine ran out of memory in a level
and kept the levels it had finished, "memory_limit" that a level was cut
to the search's memory limit and the search ended after it. ``evaluate(nodes, X, params)`` computes
a formula for every row of X with the engine's guards, NaN where a row
fails. X is (n_samples, n_features) float64, y (n_samples,) float64. Both run
``vek_math._engine.search`` / ``evaluate``.
"""

from __future__ import annotations

import functools
import signal
import threading
from collections.abc import Callable, Sequence
from typing import Any, Self

import numpy as np
import numpy.typing as npt

from vek_math import _engine

__all__ = ["KeepResult", "NoFormulaError", "SearchStoppedWarning", "evaluate", "search"]


class SearchStoppedWarning(UserWarning):
    """A search ended early (Ctrl-C, its time limit, a lack of memory or its
    memory limit); the estimator holds the best formula found until then."""


class NoFormulaError(ValueError):
    """The search scored no formula at all on the data."""


class KeepResult:
    """A with block in which an interrupt cannot cost a finished search.

    Until the engine has handed its result to ``search(..., keep=this)``,
    Ctrl-C stops the search as usual (the engine returns what it found, or
    the call raises KeyboardInterrupt). From then on until the block ends,
    Ctrl-C only sets ``interrupted``: the result is kept whatever Python is
    doing with it. The result is stored from C (``list.extend`` over
    ``map``), so no Python code runs between the engine's return and the
    store, where a handler could drop it.

    Signal handlers run in the main thread only, and only Python's own
    SIGINT handler is replaced; elsewhere the block changes nothing.
    """

    def __init__(self) -> None:
        self.interrupted = False
        self._results: list[Any] = []
        self._previous: Any = None

    def __enter__(self) -> Self:
        if (
            threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler
        ):
            self._previous = signal.signal(signal.SIGINT, self._on_interrupt)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._previous is not None:
            # signal.signal runs pending handlers (ours) before it switches.
            signal.signal(signal.SIGINT, self._previous)
            self._previous = None

    def _on_interrupt(self, signum: int, frame: object) -> None:
        if not self._results:
            raise KeyboardInterrupt
        self.interrupted = True

    def run[R](self, call: Callable[..., R], *args: Any) -> R:
        self._results.extend(map(call, *([a] for a in args)))
        result: R = self._results[-1]
        return result


def search(X: Any, y: Any, keep: KeepResult | None = None, **options: Any) -> _engine.Outcome:
    X = np.require(X, dtype=np.float64, requirements=["C", "A"])
    y = np.require(y, dtype=np.float64, requirements=["C", "A"])
    try:
        if keep is None:
            return _engine.search(X, y, **options)
        return keep.run(functools.partial(_engine.search, **options), X, y)
    finally:
        # A cluster's scorer (vek_math._cluster) lets its workers drop what
        # they hold for this search.
        close = getattr(options.get("scorer"), "close", None)
        if close is not None:
            close()


def sample_rows(n: int, take: int | None) -> npt.NDArray[np.intp]:
    """The rows a search on n rows runs on past ``max_samples`` = take: row
    (2i + 1)·n // (2·take) for i < take, as the engine picks them; every
    row when take is None, 0 or at least n."""
    if not take or take >= n:
        return np.arange(n)
    return np.array([(2 * i + 1) * n // (2 * take) for i in range(take)], dtype=np.intp)


def evaluate(nodes: Sequence[tuple[Any, ...]], X: Any, params: Sequence[float] = ()) -> npt.NDArray[np.float64]:
    X = np.require(X, dtype=np.float64, requirements=["C", "A"])
    out = np.empty(X.shape[0], dtype=np.float64)
    _engine.evaluate(list(nodes), X, [float(p) for p in params], out)
    return out

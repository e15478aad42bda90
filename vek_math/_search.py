"""The one door from the estimator to the discovery engine.

``search(X, y, **options)`` runs a search (the options of
``vek_math._engine.search``: ``constants=True`` fits constants, at most
``max_params`` per formula) and returns

    {"best": record or None, "front": [records by increasing complexity],
     "stopped": None | "time_limit" | "interrupted",
     "levels": int, "generated": int, "scored": int}

where a record is {"nodes": [postfix node tuples], "formula": engine text,
"complexity": int, "loss": RMSE, "error": loss * (penalty * complexity + 1),
"params": [floats]}; ``evaluate(nodes, X, params)`` computes a formula for
every row of X with the engine's guards, NaN where a row fails. X is
(n_samples, n_features) float64, y (n_samples,) float64.

Both go to ``vek_math._engine.search`` / ``evaluate`` when the native module
offers them; until then the stand-in at the end of this module supplies the
same shapes on top of ``find_formula``.
"""

from __future__ import annotations

import contextlib
import functools
import math
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

from vek_math import _engine, _export, _formula, _runtime, vek_core

__all__ = ["SearchStoppedWarning", "evaluate", "search"]


class SearchStoppedWarning(UserWarning):
    """A search ended early (Ctrl-C or its time limit); the estimator holds
    the best formula found until then."""


def search(X: Any, y: Any, **options: Any) -> dict[str, Any]:
    X = np.ascontiguousarray(X, dtype=np.float64)
    y = np.ascontiguousarray(y, dtype=np.float64)
    if hasattr(_engine, "search"):
        return _engine.search(X, y, **options)  # type: ignore[no-any-return]
    return _standin_search(X, y, **options)


def evaluate(nodes: Sequence[tuple[str, Any]], X: Any, params: Sequence[float] = ()) -> np.ndarray:
    X = np.ascontiguousarray(X, dtype=np.float64)
    if hasattr(_engine, "evaluate"):
        out = np.empty(X.shape[0], dtype=np.float64)
        _engine.evaluate(list(nodes), X, [float(p) for p in params], out)
        return out
    return _standin_evaluate(nodes, X, params)


def rmse(predictions: np.ndarray, y: np.ndarray) -> float:
    """The engine's loss: sqrt(sum of squared differences / n), summed in
    row order (cumsum adds one term after the other, unlike np.sum)."""
    d = predictions - y
    return math.sqrt(float(np.cumsum(d * d)[-1]) / len(y)) if len(y) else math.nan


# ---------------------------------------------------------------------------
# STAND-IN until vek_math._engine offers search and evaluate; delete from here
# to the end of the module then. It runs find_formula on the columns and
# reads its formula text back into nodes, so the front holds the best record
# only. The pool's thread count is fixed when the process first uses it, so
# n_threads is not honoured (results do not depend on it anyway); the time
# limit is checked after each level; on Ctrl-C or the time limit the best of
# the last finished level is returned. Evaluation runs the function that
# vek_math._export writes for the formula, which reproduces the engine's
# guarded arithmetic bit for bit.
# ---------------------------------------------------------------------------


class _TimeUp(Exception):
    pass


# find_formula reads vek_math._runtime.search_progress once per call; a
# dispatcher installed while any stand-in search runs sends each call's
# reports to the hook of the thread that made it.
_hooks = threading.local()
_hooks_lock = threading.Lock()
_hooks_users = 0
_hooks_saved: Any = None


def _dispatch(*args: Any) -> None:
    hook = getattr(_hooks, "hook", None)
    if hook is not None:
        hook(*args)
    elif callable(_hooks_saved):
        _hooks_saved(*args)


@contextlib.contextmanager
def _progress_hook(hook: Callable[..., None]) -> Iterator[None]:
    global _hooks_users, _hooks_saved
    with _hooks_lock:
        if _hooks_users == 0:
            _hooks_saved, _runtime.search_progress = _runtime.search_progress, _dispatch
        _hooks_users += 1
    _hooks.hook = hook
    try:
        yield
    finally:
        _hooks.hook = None
        with _hooks_lock:
            _hooks_users -= 1
            if _hooks_users == 0:
                _runtime.search_progress, _hooks_saved = _hooks_saved, None


def _record(X: np.ndarray, y: np.ndarray, formula: str, error: float, complexity: int | None,
            params: Sequence[float]) -> dict[str, Any]:
    nodes = _formula.to_nodes(_formula.parse(formula))
    return {"nodes": nodes, "formula": formula, "complexity": len(nodes) if complexity is None else complexity,
            "loss": rmse(_standin_evaluate(nodes, X, params), y), "error": error, "params": list(params)}


def _standin_search(X: np.ndarray, y: np.ndarray, *, max_complexity: int = 8, beam_width: int = 2000,
                    precision_goal: float = 1e-10, use_trig: bool = True, use_vek: bool = True,
                    complexity_penalty: float = 0.001, n_threads: int | None = None,
                    time_limit: float | None = None, progress: Callable[..., Any] | None = None) -> dict[str, Any]:
    if X.ndim != 2 or y.shape != (X.shape[0],):
        raise ValueError(f"X must be (n_samples, n_features) and y (n_samples,), not {X.shape} and {y.shape}")
    if X.shape[1] > _formula.VAR_COUNT:
        raise ValueError(f"the search takes at most {_formula.VAR_COUNT} features, not {X.shape[1]}")
    deadline = None if time_limit is None else time.monotonic() + time_limit
    totals = {"levels": 0, "generated": 0, "scored": 0}
    last: list[tuple[str, float]] = []  # the best (formula, error) reported so far

    def hook(level: int, generated: int, scored: int, formula: str | None, error: float) -> None:
        totals["levels"] = level + 1
        totals["generated"] += generated
        totals["scored"] += scored
        if formula is not None:
            last[:] = [(formula, error)]
        if progress is not None:
            progress(level, generated, scored, None if formula is None else _record(X, y, formula, error, None, ()))
        if deadline is not None and time.monotonic() >= deadline:
            raise _TimeUp

    stopped = None
    with _progress_hook(hook):
        try:
            found = vek_core.find_formula(
                list(np.ascontiguousarray(X.T)), y, max_complexity=max_complexity, beam_width=beam_width,
                precision_goal=precision_goal, use_trig=use_trig, use_vek=use_vek,
                complexity_penalty=complexity_penalty)
        except _TimeUp:
            stopped = "time_limit"
        except KeyboardInterrupt:
            stopped = "interrupted"
    if stopped is None:
        best = None if found is None else _record(X, y, found.formula, found.error, found.complexity, found.params)
    else:
        best = _record(X, y, *last[0], None, ()) if last else None
    return {"best": best, "front": [] if best is None else [best], "stopped": stopped, **totals}


@functools.lru_cache(maxsize=32)
def _function(nodes: tuple[tuple[str, Any], ...], n_vars: int, params: tuple[float, ...]) -> Any:
    source = _export.python_source(_formula.from_nodes(nodes), [f"x{i}" for i in range(n_vars)], params)
    namespace: dict[str, Any] = {}
    exec(compile(source, "<vek_math formula>", "exec"), namespace)
    return namespace["f"]


def _standin_evaluate(nodes: Sequence[tuple[str, Any]], X: np.ndarray, params: Sequence[float]) -> np.ndarray:
    f = _function(tuple((kind, value) for kind, value in nodes), X.shape[1], tuple(float(p) for p in params))
    return np.fromiter((f(*row) for row in X.tolist()), dtype=np.float64, count=X.shape[0])

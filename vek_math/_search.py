"""The one door from the estimator to the discovery engine.

``search(X, y, **options)`` runs a search (the options of
``vek_math._engine.search``: ``constants=True`` fits constants, at most
``max_params`` per formula) and returns its ``_engine.Outcome``: ``best``
(an ``_engine.Record`` or None), ``front`` (Records by increasing
complexity), ``stopped``, ``levels``, ``generated`` and ``scored``; a Record
holds ``nodes`` (postfix node tuples), ``formula``, ``complexity``, ``loss``,
``error`` and ``params`` (``vek_math/_engine.pyi`` types them).
``evaluate(nodes, X, params)`` computes a formula for every row of X with the
engine's guards, NaN where a row fails. X is (n_samples, n_features) float64,
y (n_samples,) float64. Both run ``vek_math._engine.search`` / ``evaluate``.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from vek_math import _engine

__all__ = ["SearchStoppedWarning", "evaluate", "search"]


class SearchStoppedWarning(UserWarning):
    """A search ended early (Ctrl-C or its time limit); the estimator holds
    the best formula found until then."""


def search(X: Any, y: Any, **options: Any) -> _engine.Outcome:
    X = np.ascontiguousarray(X, dtype=np.float64)
    y = np.ascontiguousarray(y, dtype=np.float64)
    return _engine.search(X, y, **options)


def evaluate(nodes: Sequence[tuple[str, Any]], X: Any, params: Sequence[float] = ()) -> np.ndarray:
    X = np.ascontiguousarray(X, dtype=np.float64)
    out = np.empty(X.shape[0], dtype=np.float64)
    _engine.evaluate(list(nodes), X, [float(p) for p in params], out)
    return out


def rmse(predictions: np.ndarray, y: np.ndarray) -> float:
    """The engine's loss: sqrt(sum of squared differences / n), summed in
    row order (cumsum adds one term after the other, unlike np.sum)."""
    d = predictions - y
    return math.sqrt(float(np.cumsum(d * d)[-1]) / len(y)) if len(y) else math.nan

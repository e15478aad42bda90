"""Rules for picking one formula from a Pareto front.

Each rule takes the front's rows by increasing complexity (every row with a
lower loss than the simpler ones) and returns the index of the chosen row.
Losses at most ``exact`` count as that floor: below it the differences are
rounding, so the simplest exact fit is chosen by every rule.

* ``accuracy``: the lowest loss.
* ``score``: among the rows whose loss is within ``SCORE_TOLERANCE`` times
  the lowest, the one with the largest drop of log(loss) per unit of
  complexity against the row before it (the first row scores 0).
* ``bic``: the lowest n * ln(MSE) + k * ln(n), MSE = loss², k = the
  formula's complexity, which counts each fitted constant once (its leaf)
  and each node the search chose once; rows with k >= n are never chosen.

The penalised rule (the estimator's default) lives with the estimator,
which also needs it for the search itself.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

__all__ = ["RULES", "SCORE_TOLERANCE", "accuracy", "bic", "score", "scores"]

RULES = ("penalised", "accuracy", "score", "bic")

# A row is a candidate of the score rule when its loss is at most this
# multiple of the front's lowest.
SCORE_TOLERANCE = 1.5


def _floored(losses: Sequence[float], exact: float) -> list[float]:
    # A floor of 0 would give log(0) = -inf; the smallest positive double
    # keeps every logarithm finite.
    floor = max(exact, 5e-324)
    return [max(float(loss), floor) for loss in losses]


def accuracy(losses: Sequence[float], exact: float = 0.0) -> int:
    """The lowest loss; the simplest among those at the floor."""
    floored = _floored(losses, exact)
    return min(range(len(floored)), key=floored.__getitem__)


def scores(losses: Sequence[float], complexities: Sequence[int], exact: float = 0.0) -> list[float]:
    """-Δln(loss) / Δcomplexity of each row against the row before it; 0 for
    the first row."""
    floored = _floored(losses, exact)
    out = [0.0]
    for i in range(1, len(floored)):
        step = complexities[i] - complexities[i - 1]
        out.append(-(math.log(floored[i]) - math.log(floored[i - 1])) / step if step > 0 else 0.0)
    return out


def score(losses: Sequence[float], complexities: Sequence[int], exact: float = 0.0) -> int:
    """The largest score among the rows within the tolerance of the lowest
    loss; the simplest on a tie."""
    floored = _floored(losses, exact)
    limit = min(floored) * SCORE_TOLERANCE
    values = scores(losses, complexities, exact)
    candidates = [i for i in range(len(floored)) if floored[i] <= limit]
    return max(candidates, key=lambda i: (values[i], -i))


def bic(losses: Sequence[float], complexities: Sequence[int], n: float, exact: float = 0.0) -> int:
    """The lowest Bayesian information criterion (see the module's text);
    the simplest on a tie. With no row below n nodes, the simplest row."""
    floored = _floored(losses, exact)

    def criterion(i: int) -> float:
        k = complexities[i]
        if k >= n:
            return math.inf
        # ln(loss²) as 2 ln(loss): the square of a tiny loss would underflow.
        return n * 2.0 * math.log(floored[i]) + k * math.log(n)

    values = [criterion(i) for i in range(len(floored))]
    return min(range(len(values)), key=values.__getitem__)

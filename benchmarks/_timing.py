"""Timing helper shared by the benchmark scripts."""

import math
import time


def best_of(f, repeat):
    """Best wall time of `repeat` calls of f, in seconds."""
    best = math.inf
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - t0)
    return best

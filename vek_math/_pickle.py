"""Reconstructors used by the native classes' __reduce__, so that points,
pairs, knots and search results pickle by value and unpickle wherever
vek_math is installed."""

from vek_math.vek_core import PySearchResult, VEKKnot, VEKPair, VEKPoint


def point(x: float, y: float) -> VEKPoint:
    return VEKPoint(x, y)


def pair(real: float, imag: float) -> VEKPair:
    return VEKPair(real, imag)


def knot(x: float, y: float, flip_count: int, phase: float) -> VEKKnot:
    # The stored phase is already reduced, and reducing it again is exact.
    return VEKKnot(VEKPoint(x, y), flip_count, phase)


def search_result(formula: str, error: float, complexity: int, params: list[float]) -> PySearchResult:
    from vek_math._engine import search_result as make

    return make(formula, error, complexity, params)

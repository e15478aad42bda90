"""Reconstructors used by the native classes' __reduce__, so that points,
pairs, knots and search results pickle by value and unpickle wherever
vek_math is installed."""

from vek_math.vek_core import VEKKnot, VEKPair, VEKPoint


def point(x, y):
    return VEKPoint(x, y)


def pair(real, imag):
    return VEKPair(real, imag)


def knot(x, y, flip_count, phase):
    # The stored phase is already reduced, and reducing it again is exact.
    return VEKKnot(VEKPoint(x, y), flip_count, phase)


def search_result(formula, error, complexity, params):
    from vek_math._engine import search_result as make

    return make(formula, error, complexity, params)

"""Values and search results pickle (and so copy, and travel to worker processes) bit for bit."""

import math
import pickle
import struct

import pytest

from vek_math import _engine
from vek_math import vek_core as v

SPECIAL = [0.0, -0.0, 1.5, -2.5e-300, 5e-324, 1e308, math.inf, -math.inf, math.nan]


def bits(x):
    return struct.pack("<d", x)


def fields(obj):
    if isinstance(obj, v.VEKPoint):
        return ("point", bits(obj.x), bits(obj.y))
    if isinstance(obj, v.VEKPair):
        return ("pair", bits(obj.real), bits(obj.imag))
    if isinstance(obj, v.PySearchResult):
        return ("result", obj.formula, bits(obj.error), obj.complexity, [bits(p) for p in obj.params])
    return ("knot", bits(obj.point.x), bits(obj.point.y), obj.flip_count, bits(obj.phase))


def samples():
    out = [obj for a in SPECIAL for b in SPECIAL[::2] for obj in (v.VEKPoint(a, b), v.VEKPair(b, a))]
    out += [v.VEKKnot(v.VEKPoint(1.0, -0.0), n, theta) for n in (0, -5, 2**63 - 1, -(2**63))
            for theta in (0.0, -1.0, 7.0, math.nan)]
    # A knot whose phase went through several reductions.
    out.append(v.VEKKnot(v.VEKPoint(0.3, 2.0), 3, 4.8).flip().pulse())
    out.append(v.find_formula([[0.5, 1.5, 2.5]], [0.1, 0.7, -0.4], max_complexity=4))
    out.append(v.find_formula([[1.0, 2.0]], [math.nan, 1.0]))  # NaN error
    out.append(_engine.search_result("(x * π)", -0.0, 2**64 - 1, [1.5, -0.0, math.nan, 5e-324]))
    return out


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_is_bit_exact(protocol):
    for obj in samples():
        back = pickle.loads(pickle.dumps(obj, protocol))
        assert type(back) is type(obj)
        assert fields(back) == fields(obj)
        assert repr(back) == repr(obj)

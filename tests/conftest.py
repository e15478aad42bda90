import gc
import math
import struct
import tracemalloc

import pytest

from vek_math import vek_core


@pytest.fixture(scope="session")
def vc():
    return vek_core


def bits(x: float) -> int:
    return struct.unpack("<q", struct.pack("<d", x))[0]


def same_float(a: float, b: float) -> bool:
    """Bit-for-bit equality (NaN payloads aside: every NaN equals every NaN)."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return bits(a) == bits(b)


def assert_same_floats(got, want):
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        assert same_float(g, w), f"index {i}: got {g!r}, want {w!r}"


def traced_growth(round_trip, rounds=4):
    """Bytes still allocated after `rounds` more calls of round_trip, once
    a first call has warmed every cache up."""
    round_trip()
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            round_trip()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()

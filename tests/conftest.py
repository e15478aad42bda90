import math
import random
import struct


def same_float(a: float, b: float) -> bool:
    """Bit-for-bit equality, except that every NaN equals every NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


def replaced(result, **fields):
    """A copy of an engine Record or Outcome with some fields replaced."""
    kind = type(result)
    return kind(tuple(fields.get(name, getattr(result, name)) for name in kind.__match_args__))


def assert_same_floats(got, want):
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        assert same_float(g, w), f"index {i}: got {g!r}, want {w!r}"


# The guards' edges: signed zeros, subnormals, the tiny floor, the exp limit
# and its neighbours, huge values, infinities and NaN.
SPECIAL_FLOATS = [
    0.0, -0.0, 5e-324, -5e-324, 1e-310, -1e-310, 2.2250738585072014e-308, 1e-301, 1e-300, -1e-300,
    1.0, -1.0, 2.5, -7.25, 709.0, 709.78, 709.782712893384, 709.7827128933841, 710.0, -690.78, -800.0,
    1e300, -1e300, 1e308, -1e308, 1.7976931348623157e308, math.pi, -math.e, math.inf, -math.inf, math.nan,
]  # fmt: skip


def random_floats(rng: random.Random, n: int) -> list:
    """n floats: a quarter edge values, the rest small, mid-sized, or of any exponent."""
    pick = [lambda: rng.choice(SPECIAL_FLOATS), lambda: rng.uniform(-5.0, 5.0), lambda: rng.uniform(-1e3, 1e3),
            lambda: math.ldexp(rng.uniform(-1.0, 1.0), rng.randint(-1074, 1023))]
    return [rng.choice(pick)() for _ in range(n)]

"""VEKPoint, VEKPair, VEKKnot, rotate_phase_n, schrodinger_step_n and
simulate_pulses_n at the Python boundary: one known value per entry point,
conversions, comparisons, class mechanics (PySearchResult's too) and exact error messages."""

import math
import os
import weakref

import numpy as np
import pytest

from conftest import same_float
from vek_math import vek_core as v
from vek_math._runtime import PanicException

P, Q, K = v.VEKPoint, v.VEKPair, v.VEKKnot
E, FLOOR, HALF_PI = math.e, 690.7755278982137, math.pi / 2
# AddressSanitizer aborts on an impossible allocation instead of letting operator new throw.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def fields(x):
    """Objects as the tuple of their class name and fields, lists and tuples flattened."""
    if isinstance(x, (list, tuple)):
        return tuple(c for item in x for c in fields(item))
    names = {P: ("x", "y"), Q: ("real", "imag"), K: ("point", "flip_count", "phase")}.get(type(x))
    return (type(x).__name__, *(c for n in names for c in fields(getattr(x, n)))) if names else (x,)


@pytest.mark.parametrize(
    "call, want",
    [
        (lambda: (P(0.0, -1.0).tension(), P(0.0, 0.0).vek(), P(710.0, 1.0).is_slipping()), (1.0, 1.0 + FLOOR, True)),
        (lambda: (P(1.0, -2.0).mirror_pulse(), P(1.0, 0.0).pulse(), P(0.0, math.nan).frame_shift()),
         (P(2.0, E - math.log(2.0)), P(1e-300, E + FLOOR), P(1e-300, 1.0 + FLOOR))),
        (lambda: (P(0.0, -1.0).pair(), P(0.0, E).euclidean_delta(), P(0.0, E).minkowski_delta(False, c=-2.0)),
         (Q(1.0, 0.0), 1.4142135623730951, 1.7320508075688772)),
        (lambda: (P(0.0, 1.0).boost(0.0, c=1), P(0.0, 5.0).conserves_tension(next=P(3.0, 1.0), tol=1e-300)),
         (P(0.0, 1.0), True)),
        (lambda: (P(y=np.int8(-5), x=True), Q.from_polar(r=2.0, theta=0.0), Q(5, 6).from_values(real=3, imag=-0.0)),
         (P(1.0, -5.0), Q(2.0, 0.0), Q(3.0, -0.0))),
        (lambda: (Q.unit_i(), Q.one(), Q(5.0, 6.0).zero(), Q(1.0, 0.0).conjugate(), Q(1.0, 0.0).rotate_phase(HALF_PI)),
         (Q(0.0, 1.0), Q(1.0, 0.0), Q(0.0, 0.0), Q(1.0, -0.0), Q(6.123233995736766e-17, 1.0))),
        (lambda: (Q(1, 2) + Q(3, -4), Q(1, 2) - Q(3, -4), Q(1, 2) * Q(3, 4), Q(1, 1) / Q(0, 0)),
         (Q(4.0, -2.0), Q(-2.0, 6.0), Q(-5.0, 10.0), Q(0.0, 0.0))),
        (lambda: (abs(Q(3, 4)), Q(3, 4).modulus, Q(-1, -0.0).argument, Q(1, 2).real_tension, Q(1, 2).imag_tension),
         (5.0, 5.0, -math.pi, 1.0, 2.0)),
        (lambda: (K(P(0.0, 1.0)).pulse(), K(P(0.0, 1.0)).mirror_pulse(), K(point=P(0.0, 1.0), n=np.int8(-5)).flip(),
                  K(P(0.0, 1.0)).three_one_flip()),
         (K(P(1.0, 1.0), 1, HALF_PI), K(P(1.0, 1.0), 1, HALF_PI), K(P(1.718281828459045, 14.612937386866344), -1, 0.0),
          K(P(1.718281828459045, 14.612937386866344), 4, 0.0))),
        (lambda: (K(P(0.0, 0.0)).rho, K(P(0.0, 1.0), 7).tread_yield(), K(P(1.0, 2.0), True, theta=7.0).phase),
         (1.0 + FLOOR, 2, 0.7168146928204138)),
        (lambda: v.rotate_phase_n(((1, 0), (1, 1)), [True]), [(math.cos(1.0), math.sin(1.0))]),
        (lambda: v.schrodinger_step_n(psi=[(1.0, 0.0)], v=[1.0], dt=1.0, hbar=1), [(math.cos(1.0), -math.sin(1.0))]),
        (lambda: v.simulate_pulses_n(0.0, 1, n_pulses=1), [(0.0, 1.0, 1.0), (1.0, 1.0, E)]),
    ],
)
def test_known_values(call, want):
    got, want = fields(call()), fields(want)
    assert len(got) == len(want) and all(type(g) is type(w) for g, w in zip(got, want)), (got, want)
    assert all(same_float(g, w) if type(g) is float else g == w for g, w in zip(got, want)), (got, want)


def test_comparisons():
    for a, b in [(P(1.0, 2.0), P(1.0, 2.0)), (K(P(1.0, 2.0)), K(P(1.0, 2.0)))]:  # by identity
        assert a == a and a != b and hash(a) == hash(a) != hash(b)
    k = K(P(0.25, 3.0))
    assert k.point is not k.point and k.point != k.point
    p = Q(1.0, 2.0)  # by value within 1e-9
    # `not a == b` and `not a != b` are meant: __eq__ and __ne__ are both under test.
    assert p == Q(1.0 + 5e-10, 2.0) and not p != Q(1.0 + 5e-10, 2.0) and p != Q(1.0 + 2e-9, 2.0)  # noqa: SIM202
    assert Q(math.nan, 0.0) != Q(math.nan, 0.0) and Q(0.0, -0.0) == Q(-0.0, 0.0)
    for other in [(1.0, 2.0), 1.0, None, P(1.0, 2.0), 1 + 2j]:
        assert p != other and other != p and not p == other and p.__eq__(other) is NotImplemented  # noqa: SIM201
    agreeable = type("Agreeable", (), {"__eq__": lambda self, other: True})()
    assert p == agreeable and not p != agreeable  # noqa: SIM202 (the other operand's __eq__ decides both)
    theirs = type("Scalar", (), {f"__r{n}__": lambda self, other: "theirs" for n in ("add", "sub", "mul", "truediv")})()
    assert [p + theirs, p - theirs, p * theirs, p / theirs] == ["theirs"] * 4
    q = p
    q += Q(0.5, 0.5)
    assert fields(q) == fields(Q(1.5, 2.5)) and fields(p) == fields(Q(1.0, 2.0))


@pytest.mark.parametrize(
    "expr",
    [
        "p < p",
        "p >= p",
        "hash(p)",
        "{p}",
        "p * 2.0",
        "2.0 * p",
        "p + 1",
        "1 - p",
        "p / 2.0",
        "p * (1.0, 0.0)",
        "p + P(1.0, 2.0)",
        "-p",
        "p ** 2",
        "p // p",
        "p @ p",
        "P(1.0, 2.0) < P(1.0, 2.0)",
    ],
)
def test_pairs_take_only_pairs(expr):
    with pytest.raises(TypeError):
        eval(expr, {"p": Q(1.0, 2.0), "P": P})


@pytest.mark.parametrize(
    "obj, props, doc",
    [
        (P(1.0, 2.0), ["x", "y"], ""),
        (Q(1.0, 2.0), ["real", "imag", "argument"], ""),
        (K(P(1.0, 2.0), 3, 0.5), ["point", "flip_count", "phase", "rho"], ""),
        (
            v.find_formula([[1.0, 2.0]], [1.0, 2.0]),
            ["formula", "error", "complexity", "params"],
            "Python-facing formula discovery result.",
        ),
    ],
)
def test_classes_are_final_and_immutable(obj, props, doc):
    cls = type(obj)
    assert cls.__module__ == "vek_core" and cls.__doc__ == doc
    for action in [lambda: weakref.ref(obj), lambda: type("Sub", (cls,), {}), lambda: setattr(cls, "extra", 1)]:
        with pytest.raises(TypeError):
            action()
    for name in [*props, "other"]:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1.0)
        with pytest.raises(AttributeError):
            delattr(obj, name)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: P(1.0), TypeError, "VEKPoint.__new__() missing 1 required positional argument: 'y'"),
        (lambda: v.PySearchResult(), TypeError, "No constructor defined for PySearchResult"),
        (lambda: P(1, 2).conserves_tension(K(P(1, 2)), 0.1), TypeError,
         "argument 'next': 'VEKKnot' object cannot be converted to 'VEKPoint'"),
        (lambda: P(1, 2).minkowski_delta(1, 1.0), TypeError,
         "argument 'plus_signature': 'int' object cannot be converted to 'PyBool'"),
        (lambda: P(1, 2).boost(1, c=2, z=3), TypeError, "VEKPoint.boost() got an unexpected keyword argument 'z'"),
        (lambda: P(1, 2).tension(1), TypeError, "VEKPoint.tension() takes no arguments (1 given)"),
        (lambda: K(P(1, 2), 2**63), OverflowError, "int too big to convert"),
        (lambda: v.simulate_pulses_n(0.0, 1.0, 384307168202282325), PanicException, "capacity overflow"),
        (lambda: K(P(1, 2), 0, 0.0, 1), TypeError,
         "VEKKnot.__new__() takes from 1 to 3 positional arguments but 4 were given"),
        # representable but impossible sizes: the memory is refused before any pulse
        pytest.param(lambda: v.simulate_pulses_n(0.0, 1.0, 384307168202282324), MemoryError, None,
                     marks=pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer aborts instead")),
    ],
)
def test_refused_arguments(call, exc, message, capfd):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and (message is None or info.value.args == (message,))
    assert exc is not PanicException or f"native panic: {message}" in capfd.readouterr().err
    assert issubclass(PanicException, BaseException) and not issubclass(PanicException, Exception)

"""VEKPoint, VEKPair, VEKKnot and the batch functions rotate_phase_n,
schrodinger_step_n and simulate_pulses_n."""

import inspect
import math
import os
import random
import sys
import weakref

import pytest

import reference as ref
from conftest import assert_same_floats, random_floats, same_float, traced_growth
from vek_math import vek_core as v
from vek_math._runtime import PanicException

P, Q, K = v.VEKPoint, v.VEKPair, v.VEKKnot
NAN, INF = math.nan, math.inf
E = math.e
TWO_PI = 6.283185307179586
QUARTER = 1.5707963267948966
# AddressSanitizer aborts on an impossible allocation instead of letting
# operator new throw, so the MemoryError paths cannot run under it.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_bad_alloc = pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer aborts on impossible allocations")


# ---- plain-Python transcriptions -------------------------------------------------


def t_mirror(x, y):
    length = y if (y > 0 or math.isnan(y)) else abs(y)
    nx = ref.TINY if length == 0 else length
    return nx, ref.guarded_exp(x) - math.log(nx)


def t_frame_shift(x, y):
    nx = ref.fmax(abs(y), ref.TINY)
    return nx, ref.guarded_exp(x) - math.log(nx)


def t_conserves(x, next_y, tol):
    a = ref.guarded_exp(x)
    if not math.isfinite(a):
        return True
    b = ref.guarded_ln(next_y)
    d = a - b
    s = b + d
    return abs(s - a) < tol


def t_minkowski(x, y, c):
    t, X = ref.guarded_exp(x), ref.floored_ln(y)
    s = c * X
    return math.sqrt(abs(t * t - s * s))


def t_euclidean(x, y):
    t, X = ref.guarded_exp(x), ref.floored_ln(y)
    return math.sqrt(t * t + X * X)


def t_rotate(re, im, angle):
    s, c = ref.sin(angle), ref.cos(angle)
    return re * c - im * s, im * c + re * s


def t_div(a, b, c, d):
    den = c * c + d * d
    if den < ref.TINY:
        den = ref.TINY
    return (b * d + a * c) / den, (b * c - a * d) / den


def t_fmod(x, m):
    return NAN if math.isinf(x) or math.isnan(x) else math.fmod(x, m)


def fixed(x, digits):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return f"{x:.{digits}f}"


def shortest(x):
    """Shortest round-trip digits, exponent form below 1e-4 and from 1e16."""
    if math.isnan(x):
        return "NaN"
    r = repr(x)
    if "e" in r:
        mantissa, exp = r.split("e")
        return f"{mantissa}e{int(exp)}"
    return r


def same_point(p, x, y):
    return type(p) is P and same_float(p.x, x) and same_float(p.y, y)




def random_points(seed, n=400):
    rng = random.Random(seed)
    return list(zip(random_floats(rng, n), random_floats(rng, n)))


# ---- VEKPoint ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "x, y, expected",
    [
        (0.0, 1.0, 1.0),
        (0.0, -1.0, 1.0),
        (0.0, 0.0, 1.0 + 690.7755278982137),
        (710.0, 1.0, math.exp(math.log(710.0))),
        (1.0, NAN, NAN),
    ],
)
def test_point_tension_stated_values(x, y, expected):
    p = P(x, y)
    assert same_float(p.tension(), expected)
    assert same_float(p.vek(), expected)


@pytest.mark.parametrize("x, slipping", [(710.0, True), (709.782712893384, False), (709.7827128933841, True),
                                         (709.0, False), (NAN, False), (INF, True), (-INF, False)])
def test_point_is_slipping(x, slipping):
    assert P(x, 1.0).is_slipping() is slipping


@pytest.mark.parametrize(
    "method, x, y, want",
    [
        ("mirror_pulse", 1.0, 0.0, (1e-300, E + 690.7755278982137)),
        ("pulse", 1.0, -2.0, (2.0, E - math.log(2.0))),
        ("mirror_pulse", 1.0, NAN, (NAN, NAN)),
        ("frame_shift", 1.0, NAN, (1e-300, E + 690.7755278982137)),
        ("mirror_pulse", 0.0, 1e-310, (1e-310, 1.0 - math.log(1e-310))),
        ("frame_shift", 0.0, 1e-310, (1e-300, 1.0 + 690.7755278982137)),
        ("frame_shift", 0.0, -1e-310, (1e-300, 1.0 + 690.7755278982137)),
        ("frame_shift", 0.0, -3.0, (3.0, 1.0 - math.log(3.0))),
    ],
)
def test_point_moves_stated_values(method, x, y, want):
    p = P(x, y)
    q = getattr(p, method)()
    assert same_point(q, *want)
    assert same_point(p, x, y)  # the receiver is untouched


@pytest.mark.parametrize("seed", range(3))
def test_point_methods_match_transcriptions(seed):
    pts = random_points(seed)
    nexts = random_points(seed + 100)
    rng = random.Random(seed)
    for (x, y), (_, ny) in zip(pts, nexts):
        p = P(x, y)
        c = rng.choice([1.0, 0.5, -2.0, 0.0, NAN, rng.uniform(-3, 3)])
        phi = rng.choice([0.0, -0.0, 1e-3, 30.0, 800.0, NAN, rng.uniform(-5, 5)])
        tol = rng.choice([0.0, -1.0, 1e-12, 1e-9, 1.0, NAN, INF])
        assert same_float(p.tension(), ref.vek_tension(x, y))
        assert same_point(p.mirror_pulse(), *t_mirror(x, y))
        assert same_point(p.frame_shift(), *t_frame_shift(x, y))
        q = p.pair()
        assert type(q) is Q and same_float(q.real, ref.guarded_exp(x)) and same_float(q.imag, ref.floored_ln(y))
        assert same_float(p.euclidean_delta(), t_euclidean(x, y))
        assert same_float(p.minkowski_delta(True, c), t_minkowski(x, y, c))
        assert same_point(p.boost(phi, c), *ref.boost(x, y, phi, c))
        assert p.conserves_tension(P(0.0, ny), tol) is t_conserves(x, ny, tol)


@pytest.mark.parametrize(
    "x, y, want",
    [((0.0), -1.0, (1.0, 0.0)), (0.0, 0.0, (1.0, -690.7755278982137)), (0.0, -1e-310, (1.0, -690.7755278982137))],
)
def test_point_pair_stated_values(x, y, want):
    q = P(x, y).pair()
    assert same_float(q.real, want[0]) and same_float(q.imag, want[1])


def test_point_euclidean_delta_of_e():
    assert P(0.0, E).euclidean_delta() == pytest.approx(math.sqrt(2.0), rel=1e-15)


@pytest.mark.parametrize("x, y, c", [(0.3, 2.0, 1.0), (5.0, 1e-200, 0.25), (-2.0, -7.0, -3.0), (NAN, 1.0, 1.0)])
def test_minkowski_delta_ignores_the_signature_flag(x, y, c):
    p = P(x, y)
    assert same_float(p.minkowski_delta(True, c), p.minkowski_delta(plus_signature=False, c=c))


def test_minkowski_delta_accepts_numpy_bools():
    np = pytest.importorskip("numpy")
    p = P(0.3, 2.0)
    assert p.minkowski_delta(np.bool_(True), 1.0) == p.minkowski_delta(False, 1.0)


@pytest.mark.parametrize(
    "x, y, want",
    [
        (0.5, 3.0, None),              # round trip up to rounding
        (1.0, -2.0, None),             # sign of y is not kept
        (0.0, math.exp(709.5), (0.0, math.exp(709.0))),
        (-700.0, 2.0, (math.log(1e-300), 2.0)),
        (0.0, NAN, (math.log(1e-300), NAN)),
    ],
)
def test_point_boost_identity_cases(x, y, want):
    b = P(x, y).boost(0.0, 1.0)
    if want is None:
        assert b.x == pytest.approx(x, rel=1e-15, abs=1e-15)
        assert b.y == pytest.approx(abs(y), rel=1e-14)
    else:
        assert b.x == pytest.approx(want[0], rel=1e-15)
        assert same_float(b.y, want[1]) or b.y == pytest.approx(want[1], rel=1e-15)


@pytest.mark.parametrize("phi, c", [(0.7, 1.0), (-3.0, 0.0), (NAN, 2.0)])
def test_point_boost_of_nan_y(phi, c):
    b = P(0.4, NAN).boost(phi, c)
    assert same_float(b.x, math.log(1e-300)) and math.isnan(b.y)


@pytest.mark.parametrize(
    "x, next_y, tol, want",
    [(0.0, 1.0, 0.0, False), (-3.0, -2.0, 0.0, False), (INF, 5.0, 0.0, True), (NAN, 5.0, -1.0, True),
     (1.0, 2.0, 1e-9, True), (1.0, 2.0, NAN, False)],
)
def test_point_conserves_tension(x, next_y, tol, want):
    assert P(x, 0.0).conserves_tension(P(123.0, next_y), tol) is want
    assert P(x, 0.0).conserves_tension(next=P(-5.0, next_y), tol=tol) is want


@pytest.mark.parametrize(
    "x, y, text",
    [
        (1.0, -0.5, "VEKPoint(x=1.000000, y=-0.500000)"),
        (1e20, 1e-9, "VEKPoint(x=100000000000000000000.000000, y=0.000000)"),
        (NAN, -INF, "VEKPoint(x=NaN, y=-inf)"),
        (-0.0, 2.5e-7, "VEKPoint(x=-0.000000, y=0.000000)"),
        (-4e-7, INF, "VEKPoint(x=-0.000000, y=inf)"),
        (0.0000005, 2.0000005, "VEKPoint(x=0.000000, y=2.000001)"),  # nearest from the binary value
        (-1.5, 1234.5678915, "VEKPoint(x=-1.500000, y=1234.567892)"),
    ],
)
def test_point_repr(x, y, text):
    assert repr(P(x, y)) == text == str(P(x, y))


def test_point_repr_matches_fixed_formatting():
    for x, y in random_points(7):
        assert repr(P(x, y)) == f"VEKPoint(x={fixed(x, 6)}, y={fixed(y, 6)})"


def test_point_has_no_value_comparison():
    a, b = P(1.0, 2.0), P(1.0, 2.0)
    assert a == a and a != b and not a == b
    assert hash(a) == hash(a) and hash(a) != hash(b)
    with pytest.raises(TypeError):
        a < b


def test_point_conversions():
    class Idx:
        def __index__(self):
            return 3

    assert same_point(P(True, Idx()), 1.0, 3.0)
    assert same_point(P(y=2, x=-0.0), -0.0, 2.0)


# ---- VEKPair -------------------------------------------------------------------------


def pair_is(q, re, im):
    return type(q) is Q and same_float(q.real, re) and same_float(q.imag, im)


@pytest.mark.parametrize(
    "make, want",
    [
        (lambda: Q.from_polar(2.0, 0.0), (2.0, 0.0)),
        (lambda: Q.from_polar(r=1.0, theta=math.pi), (-1.0, math.sin(math.pi))),
        (lambda: Q.one().rotate_phase(math.pi / 2), (6.123233995736766e-17, 1.0)),
        (lambda: Q.from_values(3.0, -0.0), (3.0, -0.0)),
        (lambda: Q.unit_i(), (0.0, 1.0)),
        (lambda: Q.one(), (1.0, 0.0)),
        (lambda: Q.zero(), (0.0, 0.0)),
        (lambda: Q(5.0, 6.0).zero(), (0.0, 0.0)),  # static: also through an instance
        (lambda: Q(5.0, 6.0).from_values(real=1, imag=2), (1.0, 2.0)),
        (lambda: Q(1.0, 0.0).conjugate(), (1.0, -0.0)),
        (lambda: Q(1.0, -2.0).conjugate(), (1.0, 2.0)),
        (lambda: Q(1.0, 2.0) * Q(3.0, 4.0), (-5.0, 10.0)),
        (lambda: Q(1.0, 2.0) + Q(3.0, -4.0), (4.0, -2.0)),
        (lambda: Q(1.0, 2.0) - Q(3.0, -4.0), (-2.0, 6.0)),
        (lambda: Q(1.0, 2.0) / Q(3.0, 4.0), t_div(1.0, 2.0, 3.0, 4.0)),
        (lambda: Q(1.0, 1.0) / Q(0.0, 0.0), (0.0, 0.0)),
        (lambda: Q(1.0, 1.0) / Q(1e-200, 0.0), (1e-200 / 1e-300, 1e-200 / 1e-300)),
        (lambda: Q(1.0, 1.0) / Q(NAN, 0.0), (NAN, NAN)),
    ],
)
def test_pair_stated_values(make, want):
    assert pair_is(make(), *want)


def test_pair_quotients_are_near_the_stated_values():
    q = Q(1.0, 2.0) / Q(3.0, 4.0)
    assert (q.real, q.imag) == pytest.approx((0.44, 0.08), rel=1e-15)
    q = Q(1.0, 1.0) / Q(1e-200, 0.0)
    assert (q.real, q.imag) == pytest.approx((1e100, 1e100), rel=1e-15)


@pytest.mark.parametrize(
    "re, im, modulus, argument",
    [(3.0, 4.0, 5.0, math.atan2(4.0, 3.0)), (0.0, 0.0, 0.0, 0.0), (-1.0, 0.0, 1.0, math.pi),
     (-1.0, -0.0, 1.0, -math.pi), (1e200, 1e200, INF, math.pi / 4), (NAN, 1.0, NAN, NAN)],
)
def test_pair_modulus_and_argument(re, im, modulus, argument):
    q = Q(re, im)
    assert same_float(q.modulus, modulus) and same_float(abs(q), modulus)
    assert same_float(q.argument, argument)
    assert same_float(q.real_tension, re) and same_float(q.imag_tension, im)


@pytest.mark.parametrize("seed", range(3))
def test_pair_operations_match_transcriptions(seed):
    rng = random.Random(seed)
    ps, qs = random_points(seed), random_points(seed + 50)
    for (a, b), (c, d) in zip(ps, qs):
        p, q = Q(a, b), Q(c, d)
        angle = rng.choice([0.0, -0.0, INF, NAN, rng.uniform(-10, 10), rng.uniform(-1e6, 1e6)])
        assert pair_is(p + q, a + c, b + d)
        assert pair_is(p - q, a - c, b - d)
        assert pair_is(p * q, a * c - b * d, b * c + a * d)
        assert pair_is(p / q, *t_div(a, b, c, d))
        assert pair_is(p.rotate_phase(angle), *t_rotate(a, b, angle))
        assert pair_is(Q.from_polar(a, c), a * ref.cos(c), a * ref.sin(c))
        assert same_float(p.modulus, math.sqrt(a * a + b * b))
        assert (p == q) is (abs(a - c) < 1e-9 and abs(b - d) < 1e-9)


@pytest.mark.parametrize(
    "a, b, equal",
    [
        ((1.0, 2.0), (1.0 + 5e-10, 2.0), True),
        ((1.0, 2.0), (1.0, 2.0 - 9.9e-10), True),
        ((1.0, 2.0), (1.0 + 2e-9, 2.0), False),
        ((1.0, 2.0), (1.0, 2.0 + 2e-9), False),
        ((0.0, 0.0), (1e-9, 0.0), False),  # strict comparison
        ((0.0, -0.0), (-0.0, 0.0), True),
        ((NAN, 1.0), (NAN, 1.0), False),
        ((INF, 1.0), (INF, 1.0), False),  # inf - inf is NaN
    ],
)
def test_pair_equality_tolerance(a, b, equal):
    p, q = Q(*a), Q(*b)
    assert (p == q) is equal and (q == p) is equal
    assert (p != q) is (not equal) and (q != p) is (not equal)


def test_pair_with_nan_is_not_equal_to_itself():
    p = Q(NAN, 0.0)
    assert not p == p and p != p


@pytest.mark.parametrize("other", [(1.0, 2.0), [1.0, 2.0], 1.0, None, P(1.0, 2.0), 1 + 2j])
def test_pair_against_other_types(other):
    p = Q(1.0, 2.0)
    assert (p == other) is False and (other == p) is False
    assert (p != other) is True and (other != p) is True
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(p, op)(other) is NotImplemented


def test_pair_inequality_negates_the_full_equality():
    class Agreeable:
        def __eq__(self, other):
            return True

    class Grumpy:
        def __eq__(self, other):
            raise RuntimeError("no comparing")

    p = Q(1.0, 2.0)
    assert (p == Agreeable()) is True
    assert (p != Agreeable()) is False  # the other operand's __eq__ decides both
    with pytest.raises(RuntimeError):
        p != Grumpy()
    assert p.__eq__((1.0, 2.0)) is NotImplemented


@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_pair_has_no_ordering(op):
    with pytest.raises(TypeError):
        eval(f"a {op} b", {"a": Q(1.0, 2.0), "b": Q(3.0, 4.0)})


def test_pair_is_unhashable():
    assert Q.__hash__ is None
    with pytest.raises(TypeError):
        hash(Q(1.0, 2.0))
    with pytest.raises(TypeError):
        {Q(1.0, 2.0)}


@pytest.mark.parametrize(
    "expr",
    ["p * 2.0", "2.0 * p", "p + 1.0", "1.0 + p", "p - 1", "1 - p", "p / 2.0", "2.0 / p", "p * (1.0, 0.0)",
     "p + P(1.0, 2.0)", "-p", "p ** 2", "p // p", "p % p", "p @ p"],
)
def test_pair_operands_other_than_pairs_are_refused(expr):
    with pytest.raises(TypeError):
        eval(expr, {"p": Q(1.0, 2.0), "P": P})


def test_pair_operators_give_way_to_the_other_operand():
    class Scalar:
        def __radd__(self, other):
            return "radd"

        def __rmul__(self, other):
            return "rmul"

        def __rtruediv__(self, other):
            return "rtruediv"

    p = Q(1.0, 2.0)
    assert (p + Scalar(), p * Scalar(), p / Scalar()) == ("radd", "rmul", "rtruediv")
    for name in ("__add__", "__sub__", "__mul__", "__truediv__"):
        assert getattr(p, name)(2.0) is NotImplemented


def test_pair_augmented_assignment_rebinds():
    p = original = Q(1.0, 2.0)
    p += Q(0.5, 0.5)
    assert pair_is(p, 1.5, 2.5) and pair_is(original, 1.0, 2.0) and p is not original


@pytest.mark.parametrize(
    "re, im, text",
    [
        (1.0, -2.0, "VEKPair(1.000000 - 2.000000i)"),
        (-0.5, 0.25, "VEKPair(-0.500000 + 0.250000i)"),
        (0.0, NAN, "VEKPair(0.000000 + NaNi)"),
        (1.0, -0.0, "VEKPair(1.000000 + 0.000000i)"),
        (-0.0, -1e-9, "VEKPair(-0.000000 - 0.000000i)"),
        (INF, -INF, "VEKPair(inf - infi)"),
        (-INF, INF, "VEKPair(-inf + infi)"),
        (NAN, 1e7, "VEKPair(NaN + 10000000.000000i)"),
    ],
)
def test_pair_repr(re, im, text):
    assert repr(Q(re, im)) == text == str(Q(re, im))


def test_pair_repr_matches_fixed_formatting():
    for re, im in random_points(11):
        sign = "-" if im < 0 else "+"
        assert repr(Q(re, im)) == f"VEKPair({fixed(re, 6)} {sign} {fixed(abs(im), 6)}i)"


# ---- rotate_phase_n / schrodinger_step_n ----------------------------------------------


def assert_pairs(got, want):
    assert type(got) is list and all(type(g) is tuple and len(g) == 2 for g in got)
    assert_same_floats([c for g in got for c in g], [c for w in want for c in w])


@pytest.mark.parametrize(
    "pairs, angles, want",
    [
        ([(1.0, 0.0), (0.0, 1.0)], [0.0], [(1.0, 0.0)]),
        ([], [1.0], []),
        ([(1.0, 2.0)], [], []),
        ([(1.0, 0.0)], [math.pi / 2], [(6.123233995736766e-17, 1.0)]),
        ([(1.0, 1.0)], [INF], [(NAN, NAN)]),
        (((3, 4),), (True,), [t_rotate(3.0, 4.0, 1.0)]),
    ],
)
def test_rotate_phase_n_stated_values(pairs, angles, want):
    assert_pairs(v.rotate_phase_n(pairs, angles), want)


@pytest.mark.parametrize(
    "psi, pot, dt, hbar, want",
    [
        ([(1.0, 0.0)], [1.0], 1.0, 1.0, [(math.cos(1.0), -math.sin(1.0))]),
        ([(0.3, -2.0), (5.0, 1.0)], [0.0, 0.0], 0.7, 1.3, [(0.3, -2.0), (5.0, 1.0)]),
        ([(1.0, 0.0)], [1.0], 1.0, 0.0, [(NAN, NAN)]),
        ([(1.0, 0.0), (2.0, 0.0)], [3.0], 0.1, 2.0, None),
    ],
)
def test_schrodinger_step_n_stated_values(psi, pot, dt, hbar, want):
    if want is None:
        want = [t_rotate(*psi[0], (-(pot[0] * dt)) / hbar)]
    assert_pairs(v.schrodinger_step_n(psi, pot, dt, hbar), want)


@pytest.mark.parametrize("seed", range(3))
def test_batch_phase_functions_match_the_method(seed):
    rng = random.Random(seed)
    pairs = random_points(seed, 700)
    angles = random_floats(rng, 650)
    pot = random_floats(rng, 700)
    dt, hbar = rng.choice([(0.01, 1.0), (3.0, 1e-300), (-2.0, 7.0)])
    assert_pairs(v.rotate_phase_n(pairs, angles),
                 [(q.real, q.imag) for q in (Q(*p).rotate_phase(a) for p, a in zip(pairs, angles))])
    # the angle is the negated product divided by hbar, not times its reciprocal
    assert_pairs(v.schrodinger_step_n(psi=pairs, v=pot, dt=dt, hbar=hbar),
                 [t_rotate(re, im, (-(u * dt)) / hbar) for (re, im), u in zip(pairs, pot)])


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: v.rotate_phase_n("ab", [0.0]), TypeError, "argument 'pairs': Can't extract `str` to `Vec`"),
        (lambda: v.rotate_phase_n([(1.0, 0.0)], "ab"), TypeError, "argument 'angles': Can't extract `str` to `Vec`"),
        (lambda: v.rotate_phase_n([Q(1.0, 0.0)], [0.0]), TypeError,
         "argument 'pairs': 'VEKPair' object cannot be converted to 'PyTuple'"),
        (lambda: v.rotate_phase_n([[1.0, 0.0]], [0.0]), TypeError,
         "argument 'pairs': 'list' object cannot be converted to 'PyTuple'"),
        (lambda: v.rotate_phase_n([(1.0, 0.0, 2.0)], "ab"), ValueError,
         "expected tuple of length 2, but got tuple of length 3"),  # pairs are converted first
        (lambda: v.rotate_phase_n([(1.0, 0.0)], [None]), TypeError,
         "argument 'angles': must be real number, not NoneType"),
        (lambda: v.rotate_phase_n([(1.0, 0.0)]), TypeError,
         "rotate_phase_n() missing 1 required positional argument: 'angles'"),
        (lambda: v.rotate_phase_n([], [], []), TypeError,
         "rotate_phase_n() takes 2 positional arguments but 3 were given"),
        (lambda: v.schrodinger_step_n("x", [0.0], 1.0, 1.0), TypeError, "argument 'psi': Can't extract `str` to `Vec`"),
        (lambda: v.schrodinger_step_n([(1.0, 0.0)], "x", 1.0, 1.0), TypeError,
         "argument 'v': Can't extract `str` to `Vec`"),
        (lambda: v.schrodinger_step_n([(1.0,)], [0.0], 1.0, 1.0), ValueError,
         "expected tuple of length 2, but got tuple of length 1"),
        (lambda: v.schrodinger_step_n([(1.0, 0.0)], [0.0], "1", 1.0), TypeError,
         "argument 'dt': must be real number, not str"),
        (lambda: v.schrodinger_step_n([(1.0, 0.0)], [0.0], 1.0, None), TypeError,
         "argument 'hbar': must be real number, not NoneType"),
        (lambda: v.schrodinger_step_n([], [], 1.0), TypeError,
         "schrodinger_step_n() missing 1 required positional argument: 'hbar'"),
        (lambda: v.schrodinger_step_n([], [], 1.0, 1.0, psi=[]), TypeError,
         "schrodinger_step_n() got multiple values for argument 'psi'"),
        (lambda: v.schrodinger_step_n([], [], 1.0, h=1.0), TypeError,
         "schrodinger_step_n() got an unexpected keyword argument 'h'"),
    ],
)
def test_batch_phase_function_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value) == message


# ---- VEKKnot -------------------------------------------------------------------------


def knot_is(k, x, y, n, phase):
    return type(k) is K and same_point(k.point, x, y) and k.flip_count == n and same_float(k.phase, phase)


def test_knot_stated_values():
    k = K(P(0.0, 1.0))
    assert knot_is(k, 0.0, 1.0, 0, 0.0) and same_float(k.rho, 1.0)
    assert knot_is(k.mirror_pulse(), 1.0, 1.0, 1, QUARTER)
    assert knot_is(k.pulse(), 1.0, 1.0, 1, QUARTER)
    assert knot_is(k, 0.0, 1.0, 0, 0.0)  # unchanged


@pytest.mark.parametrize(
    "theta, phase, pulsed",
    [
        (7.0, 0.7168146928204138, math.fmod(0.7168146928204138 + QUARTER, TWO_PI)),
        (-1.0, -1.0, 0.5707963267948966),
        (4.8, 4.8, 0.08761101961531015),
        (-0.0, -0.0, QUARTER),
        (-20.0, math.fmod(-20.0, TWO_PI), math.fmod(math.fmod(-20.0, TWO_PI) + QUARTER, TWO_PI)),
        (INF, NAN, NAN),
        (NAN, NAN, NAN),
    ],
)
def test_knot_phase_reduction(theta, phase, pulsed):
    k = K(P(1.0, 2.0), 3, theta)
    assert same_float(k.phase, phase)
    assert same_float(k.pulse().phase, pulsed)


@pytest.mark.parametrize("seed", range(2))
def test_knot_flip_is_four_pulses_bit_for_bit(seed):
    rng = random.Random(seed)
    for (x, y), theta in zip(random_points(seed, 200), random_floats(rng, 200)):
        n = rng.choice([0, -3, 2**63 - 2, -(2**63), rng.randint(-(2**63), 2**63 - 1)])
        k = K(P(x, y), n, theta)
        four = k.mirror_pulse().pulse().mirror_pulse().pulse()
        for flipped in (k.three_one_flip(), k.flip()):
            assert knot_is(flipped, four.point.x, four.point.y, four.flip_count, four.phase)
        assert four.flip_count == (n + 2**63 + 4) % 2**64 - 2**63


def test_knot_pulses_follow_the_transcription():
    for (x, y) in random_points(3, 300):
        k = K(P(x, y), 0, 0.25)
        q = k.pulse()
        assert knot_is(q, *t_mirror(x, y), 1, 0.25 + QUARTER)
        assert same_float(k.rho, abs(ref.vek_tension(x, y)))


@pytest.mark.parametrize("phase", [0.0, 1.0, 3.0, 6.2])
def test_knot_flip_restores_a_positive_phase(phase):
    assert K(P(0.0, 1.0), 0, phase).flip().phase == pytest.approx(phase, abs=1e-14)


@pytest.mark.parametrize("phase", [-0.5, -3.0, -6.2])
def test_knot_flip_lifts_a_negative_phase(phase):
    assert K(P(0.0, 1.0), 0, phase).flip().phase == pytest.approx(phase + TWO_PI, abs=1e-14)


@pytest.mark.parametrize(
    "counts, expected",
    [(range(0, 4), 0), (range(4, 8), 2), (range(-3, 0), 0), (range(-7, -3), -2), ([2**63 - 1], 2**62 - 2),
     ([-(2**63)], -(2**62))],
)
def test_knot_tread_yield(counts, expected):
    for n in counts:
        assert K(P(0.0, 1.0), n).tread_yield() == expected


def test_knot_counter_wraps():
    k = K(P(1.0, 2.0), n=2**63 - 1)
    assert k.mirror_pulse().flip_count == -(2**63)
    assert K(P(1.0, 2.0), 2**63 - 2).flip().flip_count == -(2**63) + 2
    assert K(P(1.0, 2.0), -(2**63)).flip_count == -(2**63)


def test_knot_with_zero_y():
    k = K(P(0.5, 0.0))
    assert same_float(k.rho, abs(math.exp(0.5) + 690.7755278982137))
    assert same_float(k.pulse().point.x, 1e-300)


def test_knot_copies_its_point_and_returns_fresh_points():
    p = P(0.25, 3.0)
    k = K(p)
    a, b = k.point, k.point
    assert a is not p and a is not b and a != b  # identity comparison only
    assert same_point(a, 0.25, 3.0) and same_point(b, 0.25, 3.0)


def test_knot_arguments():
    class Idx:
        def __index__(self):
            return -5

    assert knot_is(K(P(0.0, 1.0), theta=1.0), 0.0, 1.0, 0, 1.0)
    assert knot_is(K(point=P(0.0, 1.0), n=Idx()), 0.0, 1.0, -5, 0.0)
    assert knot_is(K(P(0.0, 1.0), True, 1), 0.0, 1.0, 1, 1.0)


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((1.0,), {}, TypeError, "argument 'point': 'float' object cannot be converted to 'VEKPoint'"),
        ((Q(1.0, 2.0),), {}, TypeError, "argument 'point': 'VEKPair' object cannot be converted to 'VEKPoint'"),
        ((P(1.0, 2.0), 1.5), {}, TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
        ((P(1.0, 2.0), 2**63), {}, OverflowError, None),
        ((P(1.0, 2.0), -(2**63) - 1), {}, OverflowError, None),
        ((P(1.0, 2.0), 0, "x"), {}, TypeError, "argument 'theta': must be real number, not str"),
        ((), {}, TypeError, "VEKKnot.__new__() missing 1 required positional argument: 'point'"),
        ((P(1.0, 2.0), 0, 0.0, 1), {}, TypeError,
         "VEKKnot.__new__() takes from 1 to 3 positional arguments but 4 were given"),
        ((P(1.0, 2.0),), {"m": 1}, TypeError, "VEKKnot.__new__() got an unexpected keyword argument 'm'"),
        ((P(1.0, 2.0), 1), {"n": 1}, TypeError, "VEKKnot.__new__() got multiple values for argument 'n'"),
    ],
)
def test_knot_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        K(*args, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "point, n, theta, text",
    [
        ((0.0, 1.0), 0, 0.0, "VEKKnot(n=0, rho=1.000000, theta=0.0000, point=VEKPoint { x: 0.0, y: 1.0 })"),
        ((-1.0, 1e-5), 5, -0.00001,
         "VEKKnot(n=5, rho=11.880805, theta=-0.0000, point=VEKPoint { x: -1.0, y: 1e-5 })"),
        ((NAN, INF), -(2**63), NAN,
         "VEKKnot(n=-9223372036854775808, rho=NaN, theta=NaN, point=VEKPoint { x: NaN, y: inf })"),
        ((1e16, -0.0), 7, 1.23456, None),
        ((0.0001, 1000000000000000.0), 1, 0.0, None),
        ((3.0, -1e-4), 2, -2.5, None),
        ((-1.5e20, 2.5e-7), 1, 0.0, None),
        ((5e-324, -INF), 1, 0.0, None),
    ],
)
def test_knot_repr(point, n, theta, text):
    k = K(P(*point), n, theta)
    if text is None:
        text = (f"VEKKnot(n={n}, rho={fixed(k.rho, 6)}, theta={fixed(k.phase, 4)}, "
                f"point=VEKPoint {{ x: {shortest(point[0])}, y: {shortest(point[1])} }})")
    assert repr(k) == text == str(k)


def test_knot_repr_matches_formatting_transcription():
    rng = random.Random(5)
    for (x, y), theta in zip(random_points(5, 300), random_floats(rng, 300)):
        k = K(P(x, y), rng.randint(-(2**63), 2**63 - 1), theta)
        assert repr(k) == (f"VEKKnot(n={k.flip_count}, rho={fixed(k.rho, 6)}, theta={fixed(k.phase, 4)}, "
                           f"point=VEKPoint {{ x: {shortest(x)}, y: {shortest(y)} }})")


def test_knot_has_no_value_comparison():
    a, b = K(P(1.0, 2.0)), K(P(1.0, 2.0))
    assert a == a and a != b and hash(a) != hash(b)


# ---- simulate_pulses_n ---------------------------------------------------------------


def test_simulate_pulses_stated_values():
    assert v.simulate_pulses_n(0.0, 1.0, 0) == [(0.0, 1.0, 1.0)]
    got = v.simulate_pulses_n(0.0, 1.0, 2)
    want = [(0.0, 1.0, 1.0), (1.0, 1.0, E), (1.0, E, E - 1.0)]
    assert all(type(t) is tuple and len(t) == 3 for t in got)
    assert [t[:2] for t in got[:2]] == [w[:2] for w in want[:2]]
    assert [c for t in got for c in t] == pytest.approx([c for t in want for c in t], rel=1e-15)


@pytest.mark.parametrize("x0, y0", [(0.3, 2.0), (1.0, 0.0), (-2.0, -5.0), (710.0, 1e-310), (0.5, NAN), (-INF, 1.0)])
def test_simulated_trajectory_is_the_pulse_chain(x0, y0):
    steps = v.simulate_pulses_n(x0, y0, n_pulses=40)
    assert len(steps) == 41
    k = K(P(x0, y0))
    for i, (x, y, tension) in enumerate(steps):
        assert same_point(k.point, x, y), i
        assert same_float(tension, ref.vek_tension(x, y))
        if i:
            px, py, ptension = steps[i - 1]
            assert same_float(y, ptension)  # the new y is the previous tension
            assert (x, y) == t_mirror(px, py) or math.isnan(x)
        k = k.pulse()


@pytest.mark.parametrize(
    "n, exc, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.5, TypeError, "argument 'n_pulses': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'n_pulses': 'str' object cannot be interpreted as an integer"),
        (2**64 - 1, PanicException, "capacity overflow"),
        (384307168202282325, PanicException, "capacity overflow"),
        # representable but impossible sizes: the memory is refused before any pulse
        pytest.param(384307168202282324, MemoryError, None, marks=needs_bad_alloc),
        pytest.param(2**58, MemoryError, None, marks=needs_bad_alloc),
    ],
)
def test_simulate_pulses_size_errors(n, exc, message, capfd):
    with pytest.raises(exc) as info:
        v.simulate_pulses_n(0.0, 1.0, n)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
        assert info.value.args == (message,)
    if exc is PanicException:
        assert "capacity overflow" in capfd.readouterr().err


def test_panic_is_not_an_ordinary_exception():
    assert issubclass(PanicException, BaseException) and not issubclass(PanicException, Exception)
    with pytest.raises(PanicException):
        try:
            v.simulate_pulses_n(0.0, 1.0, 2**64 - 1)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: v.simulate_pulses_n("0", 1.0, 1), "argument 'x0': must be real number, not str"),
        (lambda: v.simulate_pulses_n(0.0, None, 1), "argument 'y0': must be real number, not NoneType"),
        (lambda: v.simulate_pulses_n(0.0, 1.0), "simulate_pulses_n() missing 1 required positional argument: 'n_pulses'"),
        (lambda: v.simulate_pulses_n(x0=0.0, n=1), "simulate_pulses_n() got an unexpected keyword argument 'n'"),
    ],
)
def test_simulate_pulses_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# ---- class mechanics ------------------------------------------------------------------

CLASSES = [
    (P, (1.0, 2.0), "(x, y)", ["x", "y"]),
    (Q, (1.0, 2.0), "(real, imag)", ["real", "imag", "real_tension", "imag_tension", "modulus", "argument"]),
    (K, (P(1.0, 2.0), 3, 0.5), "(point, n=0, theta=0.0)", ["point", "flip_count", "phase", "rho"]),
]


@pytest.mark.parametrize("cls, args, sig, props", CLASSES)
def test_class_shape(cls, args, sig, props):
    name = cls.__name__
    assert cls.__module__ == "vek_core" and cls.__qualname__ == name
    assert cls.__doc__ == "" and cls.__text_signature__ == sig  # the interpreter splits "<name><sig>\n--\n\n"
    assert str(inspect.signature(cls)) == sig
    obj = cls(*args)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    with pytest.raises(AttributeError):
        obj.anything = 1
    for prop in props:
        before = getattr(obj, prop)
        with pytest.raises(AttributeError):
            setattr(obj, prop, before)
        with pytest.raises(AttributeError):
            delattr(obj, prop)
        assert repr(getattr(obj, prop)) == repr(before)


@pytest.mark.parametrize("cls", [P, Q, K])
def test_classes_are_final(cls):
    with pytest.raises(TypeError):
        class Sub(cls):
            pass
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1  # immutable type


@pytest.mark.parametrize(
    "cls, name, sig, doc_body",
    [
        (P, "tension", "(self, /)", ""),
        (P, "vek", "(self, /)", "Alias for tension() — vek(x, y) = exp(x) - ln(y)."),
        (P, "pulse", "(self, /)", "Alias for mirror_pulse()."),
        (P, "conserves_tension", "(self, /, next, tol)", ""),
        (P, "minkowski_delta", "(self, /, plus_signature, c)", None),
        (P, "boost", "(self, /, phi, c)", None),
        (P, "pair", "(self, /)", "Returns (exp(x), ln(|y|)) as an VEKPair — canonical frame coordinates."),
        (Q, "from_values", "(real, imag)", ""),
        (Q, "from_polar", "(r, theta)", ""),
        (Q, "one", "()", ""),
        (Q, "rotate_phase", "(self, /, angle)", ""),
        (Q, "conjugate", "(self, /)", ""),
        (K, "flip", "(self, /)", "Alias for three_one_flip()."),
        (K, "tread_yield", "(self, /)", ""),
    ],
)
def test_method_signatures_and_docs(cls, name, sig, doc_body):
    method = getattr(cls, name)
    assert str(inspect.signature(method)) == sig
    if doc_body is not None:
        assert (method.__doc__ or "") == doc_body


@pytest.mark.parametrize("cls", [P, Q, K])
def test_every_method_has_a_signature(cls):
    names = [n for n, m in vars(cls).items() if callable(m) and not n.startswith("__")]
    assert names
    for n in names:
        for p in inspect.signature(getattr(cls, n)).parameters.values():
            assert p.kind in (p.POSITIONAL_OR_KEYWORD, p.POSITIONAL_ONLY) and (p.kind is not p.POSITIONAL_ONLY
                                                                                or p.name == "self")


@pytest.mark.parametrize("name", ["rotate_phase_n", "schrodinger_step_n", "simulate_pulses_n"])
def test_batch_function_docs(name):
    f = getattr(v, name)
    assert f.__module__ == v.__name__
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in inspect.signature(f).parameters.values())


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: P(1.0), "VEKPoint.__new__() missing 1 required positional argument: 'y'"),
        (lambda: P(), "VEKPoint.__new__() missing 2 required positional arguments: 'x' and 'y'"),
        (lambda: P(1.0, 2.0, 3.0), "VEKPoint.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: P(1.0, x=2.0), "VEKPoint.__new__() got multiple values for argument 'x'"),
        (lambda: P("a", 1.0), "argument 'x': must be real number, not str"),
        (lambda: P(1.0, None), "argument 'y': must be real number, not NoneType"),
        (lambda: P(1.0, 2.0).conserves_tension(1.0, 0.1),
         "argument 'next': 'float' object cannot be converted to 'VEKPoint'"),
        (lambda: P(1.0, 2.0).conserves_tension(K(P(1.0, 2.0)), 0.1),
         "argument 'next': 'VEKKnot' object cannot be converted to 'VEKPoint'"),
        (lambda: P(1.0, 2.0).conserves_tension(P(1.0, 2.0), "t"), "argument 'tol': must be real number, not str"),
        (lambda: P(1.0, 2.0).conserves_tension(P(1.0, 2.0)),
         "VEKPoint.conserves_tension() missing 1 required positional argument: 'tol'"),
        (lambda: P(1.0, 2.0).minkowski_delta(1, 1.0),
         "argument 'plus_signature': 'int' object cannot be converted to 'PyBool'"),
        (lambda: P(1.0, 2.0).minkowski_delta(True, "c"), "argument 'c': must be real number, not str"),
        (lambda: P(1.0, 2.0).boost(phi=1.0), "VEKPoint.boost() missing 1 required positional argument: 'c'"),
        (lambda: P(1.0, 2.0).boost(1.0, 2.0, 3.0), "VEKPoint.boost() takes 2 positional arguments but 3 were given"),
        (lambda: P(1.0, 2.0).boost(1.0, c=2.0, psi=3.0), "VEKPoint.boost() got an unexpected keyword argument 'psi'"),
        (lambda: P(1.0, 2.0).boost([], 1.0), "argument 'phi': must be real number, not list"),
        (lambda: Q(1.0), "VEKPair.__new__() missing 1 required positional argument: 'imag'"),
        (lambda: Q(1.0, "i"), "argument 'imag': must be real number, not str"),
        (lambda: Q.from_polar(1.0), "VEKPair.from_polar() missing 1 required positional argument: 'theta'"),
        (lambda: Q.from_polar(1.0, t=2.0), "VEKPair.from_polar() got an unexpected keyword argument 't'"),
        (lambda: Q.from_values(real=1.0), "VEKPair.from_values() missing 1 required positional argument: 'imag'"),
        (lambda: Q.from_values(1.0, 2.0, 3.0), "VEKPair.from_values() takes 2 positional arguments but 3 were given"),
        (lambda: Q(1.0, 2.0).rotate_phase(), "VEKPair.rotate_phase() missing 1 required positional argument: 'angle'"),
        (lambda: Q(1.0, 2.0).rotate_phase("a"), "argument 'angle': must be real number, not str"),
    ],
)
def test_argument_error_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [lambda: P(1.0, 2.0).tension(1), lambda: Q.one(1), lambda: K(P(1.0, 2.0)).flip(x=1),
     lambda: P.tension(Q(1.0, 2.0)), lambda: Q.conjugate(P(1.0, 2.0))],
)
def test_methods_refuse_surplus_arguments_and_foreign_receivers(call):
    with pytest.raises(TypeError):
        call()


def test_bad_and_good_calls_do_not_leak():
    pairs = [(0.5, 1.5)] * 32
    angles = [0.25] * 32
    bad_pairs = [(1.0, 2.0), [1.0, 2.0]]
    point = P(0.5, 2.0)
    probes = (pairs, angles, bad_pairs, point)
    before = [sys.getrefcount(o) for o in probes]
    impossible = () if UNDER_ASAN else (lambda: v.simulate_pulses_n(0.0, 1.0, 2**58),)

    def round_trip():
        for _ in range(100):
            p = P(0.5, 2.0)
            p.tension(), p.pulse(), p.frame_shift(), p.pair(), p.boost(0.3, 1.0), repr(p)
            p.conserves_tension(point, 1e-9), p.minkowski_delta(True, 1.0)
            q = Q(1.0, 2.0)
            q + q, q - q, q * q, q / q, q == q, q != q, q == 1.0, abs(q), q.rotate_phase(1.0), repr(q)
            k = K(point, 5, 1.0)
            k.flip(), k.point, k.rho, repr(k), k.tread_yield()
            v.rotate_phase_n(pairs, angles)
            v.schrodinger_step_n(pairs, angles, 0.1, 1.0)
            v.simulate_pulses_n(0.5, 2.0, 16)
            for bad in (lambda: v.rotate_phase_n(bad_pairs, angles), lambda: v.schrodinger_step_n(pairs, "s", 1, 1),
                        lambda: K(point, 1.5), lambda: K(point, 2**70), lambda: p.conserves_tension(1.0, 1.0),
                        lambda: p.minkowski_delta(1, 1.0), lambda: P(x=1.0), lambda: q * 2.0, lambda: hash(q),
                        lambda: v.simulate_pulses_n(0.0, 1.0, 2**64)) + impossible:
                try:
                    bad()
                except (TypeError, ValueError, OverflowError, MemoryError):
                    pass

    grown = traced_growth(round_trip)
    assert [sys.getrefcount(o) for o in probes] == before
    assert grown < 64 * 1024

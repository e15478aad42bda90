"""octonion_mul_n, geometric_product_n and christoffel_batch_n from Python."""

import functools
import hashlib
import math
import os
import random
import struct
import subprocess
import sys

import pytest

import reference as ref
from conftest import assert_same_floats, same_float, traced_growth
from vek_math import vek_core as v
from vek_math._runtime import PanicException

NAN, INF = math.nan, math.inf

# ---- octonions -------------------------------------------------------------------------

# ei * ej, row i (left factor) and column j (right factor), as published for
# the product.
OCTONION_TABLE = """
+e0 +e1 +e2 +e3 +e4 +e5 +e6 +e7
+e1 -e0 +e4 +e7 -e2 +e6 -e5 -e3
+e2 -e4 -e0 +e5 +e1 -e3 +e7 -e6
+e3 -e7 -e5 -e0 +e6 +e2 -e4 +e1
+e4 +e2 -e1 -e6 -e0 +e7 +e3 -e5
+e5 -e6 +e3 -e2 -e7 -e0 +e1 +e4
+e6 +e5 -e7 +e4 -e3 -e1 -e0 +e2
+e7 +e3 +e6 -e1 +e5 -e4 -e2 -e0
"""
TABLE = [[(1 if c[0] == "+" else -1, int(c[2])) for c in row.split()] for row in OCTONION_TABLE.split("\n") if row]


def unit(k, n=8, value=1.0):
    e = [0.0] * n
    e[k] = value
    return e


def t_octonion(a, b):
    """The product term by term from the table, left factors in ascending order."""
    p = [0.0] * 8
    for i in range(8):
        if a[i] == 0:
            continue
        for j in range(8):
            if b[j] == 0:
                continue
            s, k = TABLE[i][j]
            p[k] = p[k] + a[i] * b[j] if s > 0 else p[k] - a[i] * b[j]
    return p


def assert_vectors(got, want):
    assert type(got) is list and len(got) == len(want)
    for g, w in zip(got, want):
        assert type(g) is list and all(type(c) is float for c in g)
        assert_same_floats(g, w)


def test_all_basis_products_follow_the_table():
    pairs = [(i, j) for i in range(8) for j in range(8)]
    got = v.octonion_mul_n([unit(i) for i, _ in pairs], [unit(j) for _, j in pairs])
    want = []
    for i, j in pairs:
        s, k = TABLE[i][j]
        want.append(unit(k, value=float(s)))
    assert_vectors(got, want)


@pytest.mark.parametrize("i, j, k", [(1, 2, 4), (2, 3, 5), (3, 4, 6), (4, 5, 7), (5, 6, 1), (6, 7, 2), (7, 1, 3)])
def test_cyclic_triples(i, j, k):
    # in cyclic order the product is the third member, reversed its negative
    for a, b, c in ((i, j, k), (j, k, i), (k, i, j)):
        assert v.octonion_mul_n([unit(a)], [unit(b)]) == [unit(c)]
        assert v.octonion_mul_n([unit(b)], [unit(a)]) == [unit(c, value=-1.0)]


def test_product_is_not_associative():
    e1, e2, e3 = unit(1), unit(2), unit(3)
    (e12,) = v.octonion_mul_n([e1], [e2])
    (e23,) = v.octonion_mul_n([e2], [e3])
    assert e12 == unit(4) and e23 == unit(5)
    assert v.octonion_mul_n([e12], [e3]) == [unit(6, value=-1.0)]
    assert v.octonion_mul_n([e1], [e23]) == [unit(6)]


def test_real_unit_is_the_identity():
    x = [1.5, -0.0, -2.0, 0.0, 3.25, -0.0, 7.0, -1e300]
    plus = [0.0 if c == 0 else c for c in x]  # skipped -0.0 terms come back +0.0
    assert_vectors(v.octonion_mul_n([unit(0), x], [x, unit(0)]), [plus, plus])


def test_zero_coefficients_never_meet_infinities():
    got = v.octonion_mul_n([unit(1), unit(0, value=INF)], [unit(0, value=INF), [0.0, 1.0] + [NAN] * 6])
    assert_vectors(got, [unit(1, value=INF), [0.0, INF] + [NAN] * 6])


def random_octonion(rng):
    out = []
    for _ in range(8):
        r = rng.random()
        if r < 0.15:
            out.append(rng.choice([0.0, -0.0]))
        elif r < 0.18:
            out.append(rng.choice([INF, -INF, NAN, 5e-324, 1e300]))
        else:
            out.append(rng.uniform(-10.0, 10.0))
    return out


@pytest.mark.parametrize("seed", range(3))
def test_octonion_products_match_the_table_term_by_term(seed):
    rng = random.Random(seed)
    a = [random_octonion(rng) for _ in range(3000)]  # long enough for the pool
    b = [random_octonion(rng) for _ in range(2999 + seed * 2)]
    assert_vectors(v.octonion_mul_n(a, b), [t_octonion(x, y) for x, y in zip(a, b)])


@pytest.mark.parametrize("seed", range(5))
def test_norm_is_multiplicative(seed):
    # a property of the algebra, not of how the product is coded: an
    # independent check of the whole table at once
    rng = random.Random(seed)
    a = [[rng.gauss(0, 1) for _ in range(8)] for _ in range(500)]
    b = [[rng.gauss(0, 1) for _ in range(8)] for _ in range(500)]
    for x, y, p in zip(a, b, v.octonion_mul_n(a, b)):
        norm = lambda o: math.fsum(c * c for c in o)  # noqa: E731
        assert norm(p) == pytest.approx(norm(x) * norm(y), rel=1e-13)


@pytest.mark.parametrize(
    "a, b, n",
    [([], [], 0), ([unit(1)] * 3, [unit(2)] * 5, 3), ([unit(1)] * 5, [unit(2)] * 3, 3), ([], [unit(2)], 0)],
)
def test_octonion_lengths(a, b, n):
    out = v.octonion_mul_n(a, b)
    assert out == [unit(4)] * n and type(out) is list


def test_octonion_accepts_sequences_of_numbers():
    got = v.octonion_mul_n(((0, 1, 0, 0, 0, 0, 0, 0),), [range(8)])
    assert_vectors(got, [t_octonion([0, 1, 0, 0, 0, 0, 0, 0], list(map(float, range(8))))])
    np = pytest.importorskip("numpy")
    assert v.octonion_mul_n(np.eye(8)[1:2], np.eye(8)[2:3]) == [unit(4)]


@pytest.mark.parametrize(
    "a, b, exc, message",
    [
        ([[0.0] * 7], [unit(0)], ValueError, "expected a sequence of length 8 (got 7)"),
        ([unit(0)], [[0.0] * 9], ValueError, "expected a sequence of length 8 (got 9)"),
        ([5], [unit(0)], TypeError, "argument 'a_batch': 'int' object cannot be converted to 'Sequence'"),
        ([unit(0)], [{0.0}], TypeError, "argument 'b_batch': 'set' object cannot be converted to 'Sequence'"),
        ([unit(0)], [[0.0] * 7 + ["x"]], TypeError, "argument 'b_batch': must be real number, not str"),
        ("abcdefgh", [unit(0)], TypeError, "argument 'a_batch': Can't extract `str` to `Vec`"),
        ([unit(0)], 8, TypeError, "argument 'b_batch': 'int' object cannot be converted to 'Sequence'"),
        ([[0.0] * 7], "x", ValueError, "expected a sequence of length 8 (got 7)"),  # a_batch converts first
    ],
)
def test_octonion_conversion_errors(a, b, exc, message):
    with pytest.raises(exc) as info:
        v.octonion_mul_n(a, b)
    assert type(info.value) is exc and str(info.value) == message


# ---- geometric product -------------------------------------------------------------------


def blade_product(A, B, signature):
    """e_A * e_B by sorting the concatenated factors, one swap at a time."""
    factors = [k for k in range(8) if A >> k & 1] + [k for k in range(8) if B >> k & 1]
    sign = 1
    for end in range(len(factors) - 1, 0, -1):  # bubble sort, counting swaps
        for m in range(end):
            if factors[m] > factors[m + 1]:
                factors[m], factors[m + 1] = factors[m + 1], factors[m]
                sign = -sign
    m = 0
    while m < len(factors) - 1:
        if factors[m] == factors[m + 1]:
            sign *= signature[factors[m]]
            del factors[m:m + 2]
        else:
            m += 1
    return float(sign), sum(1 << k for k in factors)


cached_blade_product = functools.lru_cache(maxsize=None)(blade_product)


def t_geometric(a, b, signature):
    r = [0.0] * len(a)
    for i in range(len(a)):
        if a[i] == 0:
            continue
        for j in range(len(a)):
            if b[j] == 0:
                continue
            s, t = cached_blade_product(i, j, tuple(signature))
            r[t] = b[j] * (a[i] * s) + r[t]
    return r


@pytest.mark.parametrize(
    "signature, a, b, want",
    [
        ([1, 1], unit(1, 4), unit(2, 4), [0.0, 0.0, 0.0, 1.0]),
        ([1, 1], unit(2, 4), unit(1, 4), [0.0, 0.0, 0.0, -1.0]),
        ([1, 1], unit(3, 4), unit(3, 4), [-1.0, 0.0, 0.0, 0.0]),
        ([1, 1], unit(1, 4), unit(1, 4), [1.0, 0.0, 0.0, 0.0]),
        ([-1, 1], unit(1, 4), unit(1, 4), [-1.0, 0.0, 0.0, 0.0]),
        ([-1, 1], unit(2, 4), unit(2, 4), [1.0, 0.0, 0.0, 0.0]),
        ([-1, 1], unit(3, 4), unit(3, 4), [1.0, 0.0, 0.0, 0.0]),
        ([1, 1, 1], unit(3, 8), unit(4, 8), unit(7, 8)),
        ([1, 1, 1], unit(4, 8), unit(1, 8), unit(5, 8, -1.0)),
        ([1, 1, 1], unit(7, 8), unit(7, 8), unit(0, 8, -1.0)),
        ([1], unit(1, 4), unit(1, 4), [1.0, 0.0, 0.0, 0.0]),
        ([0, 1], unit(1, 4), unit(1, 4), [0.0, 0.0, 0.0, 0.0]),
        ([127, -128], unit(3, 4), unit(3, 4), [16256.0, 0.0, 0.0, 0.0]),
        ([1, 1], [2.0, 0.0, 0.0, 0.0], [1.5, -3.0, 0.25, 7.0], [3.0, -6.0, 0.5, 14.0]),
        ([1, 1], [0.0, -0.0, 0.0, 0.0], [1.0, 2.0], [0.0, 0.0, 0.0, 0.0]),  # zero left factor: b never read
        ([], [0.0] * 3, [], [0.0] * 3),
        ([1, 1], unit(0, 4), unit(0, 8), unit(0, 4)),  # dimension from the left factor
    ],
)
def test_geometric_stated_values(signature, a, b, want):
    assert_vectors(v.geometric_product_n([a], [b], signature), [want])


def test_chained_blades_of_three_vectors():
    (e12,) = v.geometric_product_n([unit(1, 8)], [unit(2, 8)], [1, 1, 1])
    assert e12 == unit(3, 8)
    assert v.geometric_product_n([e12], [unit(4, 8)], [1, 1, 1]) == [unit(7, 8)]


@pytest.mark.parametrize("signature", [[1, 1, 1], [1, -1, 1], [-1, -1, 1, 1], [1, 0, -1, 2]])
def test_all_blade_products(signature):
    n = 1 << len(signature)
    pairs = [(A, B) for A in range(n) for B in range(n)]
    got = v.geometric_product_n([unit(A, n) for A, _ in pairs], [unit(B, n) for _, B in pairs], signature)
    want = []
    for A, B in pairs:
        s, t = blade_product(A, B, signature)
        want.append(unit(t, n, s) if s != 0 else [0.0] * n)
    assert_vectors(got, want)


def random_multivector(rng, n):
    return [rng.choice([0.0, -0.0]) if rng.random() < 0.2 else rng.uniform(-4.0, 4.0) for _ in range(n)]


@pytest.mark.parametrize("seed, signature", [(0, [1, 1]), (1, [1, 1, 1]), (2, [1, -1, -1, -1]), (3, [-1, 1, 0, 1, 1])])
def test_geometric_products_match_the_term_order(seed, signature):
    rng = random.Random(seed)
    n = 1 << len(signature)
    a = [random_multivector(rng, n) for _ in range(700)]
    b = [random_multivector(rng, n) for _ in range(701)]
    a[3] = [INF] + [0.0] * (n - 1)
    b[3] = [0.0, 2.0] + [0.0] * (n - 2)
    assert_vectors(v.geometric_product_n(a, b, signature), [t_geometric(x, y, signature) for x, y in zip(a, b)])


def test_geometric_product_is_associative():
    # exact on small integers: (ab)c == a(bc) for every Clifford algebra
    rng = random.Random(9)
    sig = [1, -1, 1, -1]
    trip = [[[float(rng.randint(-3, 3)) for _ in range(16)] for _ in range(3)] for _ in range(200)]
    a, b, c = ([t[k] for t in trip] for k in range(3))
    left = v.geometric_product_n(v.geometric_product_n(a, b, sig), c, sig)
    right = v.geometric_product_n(a, v.geometric_product_n(b, c, sig), sig)
    assert left == right


@pytest.mark.parametrize(
    "a, b, signature, message",
    [
        ([1.0, 0.0, 0.0, 0.0], [1.0, 0.0], [1, 1], "index out of bounds: the len is 2 but the index is 2"),
        ([0.0, 1.0, 1.0], [0.0, 1.0, 1.0], [1, 1], "index out of bounds: the len is 3 but the index is 3"),
        (unit(2, 4), unit(2, 4), [1], "index out of bounds: the len is 1 but the index is 1"),
        (unit(3, 4), unit(1, 4), [], "index out of bounds: the len is 0 but the index is 0"),
        (unit(3, 4), unit(3, 4), [5], "index out of bounds: the len is 1 but the index is 1"),
    ],
)
def test_geometric_panics(a, b, signature, message, capfd):
    with pytest.raises(PanicException) as info:
        v.geometric_product_n([a], [b], signature)
    assert info.value.args == (message,)
    assert message in capfd.readouterr().err


@pytest.mark.parametrize("where", [0, 12345, 99_999])
def test_one_failing_pair_fails_the_whole_call(where):
    a = [[1.0, 2.0, 3.0, 4.0]] * 100_000
    b = [[0.5, -1.0, 2.0, 1.0]] * 100_000
    b[where] = [1.0, 2.0]
    with pytest.raises(PanicException) as info:
        v.geometric_product_n(a, b, [1, -1])
    assert str(info.value) == "index out of bounds: the len is 2 but the index is 2"
    b[where] = [0.5, -1.0, 2.0, 1.0]
    assert len(v.geometric_product_n(a, b, [1, -1])) == 100_000


def test_several_failing_pairs_report_one_of_them():
    a = [unit(0, 4)] * 50_000
    b = [unit(0, 4)] * 50_000
    b[100], b[40_000] = [1.0], [1.0, 2.0, 3.0]
    with pytest.raises(PanicException) as info:
        v.geometric_product_n(a, b, [1, 1])
    assert str(info.value) in ("index out of bounds: the len is 1 but the index is 1",
                               "index out of bounds: the len is 3 but the index is 3")


@pytest.mark.parametrize(
    "a, b, signature, exc, message",
    [
        ([[1.0]], [[1.0]], [1.0], TypeError, "argument 'signature': 'float' object cannot be interpreted as an integer"),
        ([[1.0]], [[1.0]], [128], OverflowError, "out of range integral type conversion attempted"),
        ([[1.0]], [[1.0]], [1, -129], OverflowError, "out of range integral type conversion attempted"),
        ([[1.0]], [[1.0]], "1", TypeError, "argument 'signature': Can't extract `str` to `Vec`"),
        ([[1.0]], [[1.0]], 1, TypeError, "argument 'signature': 'int' object cannot be converted to 'Sequence'"),
        (["ab"], [[1.0]], [1], TypeError, "argument 'a_batch': Can't extract `str` to `Vec`"),
        ([[1.0]], [3.0], [1], TypeError, "argument 'b_batch': 'float' object cannot be converted to 'Sequence'"),
        ([[1.0]], [[None]], [1], TypeError, "argument 'b_batch': must be real number, not NoneType"),
        ([[1.0], 2], [[1.0]], [1.5], TypeError, "argument 'a_batch': 'int' object cannot be converted to 'Sequence'"),
    ],
)
def test_geometric_conversion_errors(a, b, signature, exc, message):
    with pytest.raises(exc) as info:
        v.geometric_product_n(a, b, signature)
    assert type(info.value) is exc and str(info.value) == message


def test_geometric_lengths_and_index_signatures():
    class Two:
        def __index__(self):
            return 2

    assert v.geometric_product_n([], [], []) == []
    assert v.geometric_product_n([unit(1, 2)] * 3, [unit(1, 2)] * 2, (Two(), 5)) == [[2.0, 0.0]] * 2
    assert v.geometric_product_n([unit(1, 2)], [unit(1, 2)], [True]) == [[1.0, 0.0]]


# ---- Christoffel symbols -------------------------------------------------------------------


def t_christoffel(x, lam, mu, nu, rs):
    e = math.log(x) if x > 709.78 else x
    r0 = ref._exp(e)
    r = ref.fmax(r0, rs + 1e-9)
    if r <= 0 or r <= rs:
        return 0.0
    if lam == 0 and (mu, nu) in ((0, 1), (1, 0)):
        return rs / ((r + r) * (r - rs))
    if lam == 1 and (mu, nu) == (0, 0):
        return (rs * (1 - rs / r)) / (r * (r + r))
    if lam == 1 and (mu, nu) == (1, 1):
        return (-rs) / ((r + r) * (r - rs))
    return 0.0


LN4 = math.log(4.0)


@pytest.mark.parametrize(
    "points, lam, mu, nu, rs, want",
    [
        ([(LN4, 0.0)], 0, 0, 1, 2.0, [0.125]),
        ([(LN4, 0.0)], 0, 1, 0, 2.0, [0.125]),
        ([(LN4, 0.0)], 1, 0, 0, 2.0, [0.03125]),
        ([(LN4, 0.0)], 1, 1, 1, 2.0, [-0.125]),
        ([(0.0, 0.0)], 0, 0, 1, 2.0, [499999958.3798179]),
        ([(0.0, 0.0), (0.0, 123.0)], 1, 1, 1, 2.0, [-499999958.3798179] * 2),
        ([(LN4, 0.0)], 0, 0, 0, 2.0, [0.0]),
        ([(LN4, 0.0)], 0, 1, 1, 2.0, [0.0]),
        ([(LN4, 0.0)], 1, 0, 1, 2.0, [0.0]),
        ([(LN4, 0.0)], 1, 1, 0, 2.0, [0.0]),
        ([(LN4, 0.0)], 2**64 - 1, 0, 1, 2.0, [0.0]),
        ([(LN4, 0.0)], 0, 0, 1, NAN, [NAN]),
        ([(LN4, 0.0)], 1, 1, 1, NAN, [NAN]),
        ([(LN4, 0.0)], 0, 2, 1, NAN, [0.0]),
        ([(LN4, 0.0)], 0, 0, 1, 1e300, [0.0]),  # rs + 1e-9 rounds back to rs
        ([(-800.0, 0.0)], 0, 0, 1, -1e-9, [0.0]),  # r0 underflows to 0
        ([(NAN, 0.0)], 0, 0, 1, 2.0, [2.0 / ((2.000000001 + 2.000000001) * (2.000000001 - 2.0))]),
        ([(709.781, 0.0)], 0, 0, 1, 0.0, [0.0]),
        ([], 0, 0, 1, 2.0, []),
    ],
)
def test_christoffel_stated_values(points, lam, mu, nu, rs, want):
    got = v.christoffel_batch_n(points, lam, mu, nu, rs)
    assert type(got) is list
    assert_same_floats(got, want)


@pytest.mark.parametrize("lam", [2, 3, 7])
def test_christoffel_other_indices_are_zero(lam):
    pts = [(x / 10.0, 0.0) for x in range(-20, 20)]
    for mu in range(4):
        for nu in range(4):
            assert v.christoffel_batch_n(pts, lam, mu, nu, 2.0) == [0.0] * len(pts)


def test_christoffel_radius_goes_through_the_log_above_its_threshold():
    # 709.781 lies below the exp limit but above 709.78: r0 = exp(ln x), not exp(x)
    r = math.exp(math.log(709.781))
    (got,) = v.christoffel_batch_n([(709.781, 9.0)], 0, 0, 1, 1.0)
    assert same_float(got, 1.0 / ((r + r) * (r - 1.0)))
    assert got == pytest.approx(1.0 / (2 * 709.781 * 708.781), rel=1e-14)


@pytest.mark.parametrize("symbol", [(0, 0, 1), (0, 1, 0), (1, 0, 0), (1, 1, 1), (0, 0, 0), (1, 0, 1)])
@pytest.mark.parametrize("rs", [2.0, 0.0, -3.0, 1e-300, 5e5, NAN, INF])
def test_christoffel_matches_the_transcription(symbol, rs):
    rng = random.Random(f"{symbol}{rs}")
    xs = [rng.choice([0.0, -0.0, 709.78, 709.7801, 800.0, -745.2, INF, -INF, NAN]) if rng.random() < 0.1
          else rng.uniform(-20.0, 20.0) for _ in range(5000)]  # long enough for the pool
    pts = [(x, rng.random()) for x in xs]
    assert_same_floats(v.christoffel_batch_n(pts, *symbol, rs), [t_christoffel(x, *symbol, rs) for x in xs])


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (([(0.0, 0.0)], -1, 0, 1, 2.0), OverflowError, None),
        (([(0.0, 0.0)], 0, 2**64, 1, 2.0), OverflowError, None),
        (([(0.0, 0.0)], 0, 0, 1.0, 2.0), TypeError, "argument 'nu': 'float' object cannot be interpreted as an integer"),
        (([[0.0, 0.0]], 0, 0, 1, 2.0), TypeError, "argument 'points': 'list' object cannot be converted to 'PyTuple'"),
        (([(0.0, 0.0, 1.0)], 0, 0, 1, 2.0), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (([(0.0, 0.0)], 0, 0, 1, "2"), TypeError, "argument 'rs': must be real number, not str"),
        (("ab", 0, 0, 1, 2.0), TypeError, "argument 'points': Can't extract `str` to `Vec`"),
        (([(0.0, 0.0)], 0, 0, 1), TypeError, "christoffel_batch_n() missing 1 required positional argument: 'rs'"),
    ],
)
def test_christoffel_conversion_errors(args, exc, message):
    with pytest.raises(exc) as info:
        v.christoffel_batch_n(*args)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_keywords():
    assert v.christoffel_batch_n(rs=2.0, nu=1, mu=0, lam=0, points=[(LN4, 0.0)]) == [0.125]
    assert v.octonion_mul_n(b_batch=[unit(2)], a_batch=[unit(1)]) == [unit(4)]
    assert v.geometric_product_n([unit(1, 4)], signature=[1, 1], b_batch=[unit(2, 4)]) == [[0.0, 0.0, 0.0, 1.0]]
    with pytest.raises(TypeError) as info:
        v.geometric_product_n([], [], [], sig=[])
    assert str(info.value) == "geometric_product_n() got an unexpected keyword argument 'sig'"
    with pytest.raises(TypeError) as info:
        v.octonion_mul_n([])
    assert str(info.value) == "octonion_mul_n() missing 1 required positional argument: 'b_batch'"


def test_inputs_are_left_alone():
    a, b = [unit(1), unit(3)], [unit(2), unit(3)]
    snapshot = [list(x) for x in a + b]
    out = v.octonion_mul_n(a, b)
    assert [list(x) for x in a + b] == snapshot and all(o is not x for o in out for x in a + b)


# ---- thread count and memory ----------------------------------------------------------------

THREAD_SCRIPT = """
import hashlib, random, struct
from vek_math import vek_core as v
rng = random.Random(3)
h = hashlib.sha256()
def feed(vecs):
    for x in vecs:
        h.update(struct.pack(f"<{len(x)}d", *x))
a = [[rng.uniform(-5, 5) for _ in range(8)] for _ in range(60_000)]
b = [[rng.uniform(-5, 5) for _ in range(8)] for _ in range(60_000)]
feed(v.octonion_mul_n(a, b))
a = [[rng.uniform(-5, 5) for _ in range(16)] for _ in range(20_000)]
b = [[rng.uniform(-5, 5) for _ in range(16)] for _ in range(20_000)]
feed(v.geometric_product_n(a, b, [1, -1, -1, -1]))
pts = [(rng.uniform(-3, 5), 0.0) for _ in range(200_000)]
feed([v.christoffel_batch_n(pts, 1, 0, 0, 1.5)])
print(h.hexdigest())
"""


def test_results_do_not_depend_on_thread_count():
    def run(n):
        env = dict(os.environ, RAYON_NUM_THREADS=str(n))
        return subprocess.run([sys.executable, "-I", "-c", THREAD_SCRIPT], env=env, capture_output=True,
                              text=True, check=True).stdout

    one, two = run(1), run(2)
    assert len(one.strip()) == 64 and one == two


def test_bad_and_good_calls_do_not_leak():
    octs = [[0.5] * 8] * 32
    mvs = [[0.5, 1.0, -2.0, 3.0]] * 32
    pts = [(0.5, 0.0)] * 32
    sig = [1, -1]
    bad_octs = [[0.5] * 8, [0.5] * 7]
    probes = (octs, mvs, pts, sig, bad_octs)
    before = [sys.getrefcount(o) for o in probes]

    def round_trip():
        for _ in range(100):
            v.octonion_mul_n(octs, octs)
            v.geometric_product_n(mvs, mvs, sig)
            v.christoffel_batch_n(pts, 0, 0, 1, 2.0)
            for bad in (lambda: v.octonion_mul_n(bad_octs, octs), lambda: v.octonion_mul_n(octs, "x"),
                        lambda: v.geometric_product_n(mvs, [[1.0]] * 32, sig),
                        lambda: v.geometric_product_n(mvs, mvs, [1, 300]),
                        lambda: v.christoffel_batch_n(pts, -1, 0, 1, 2.0),
                        lambda: v.christoffel_batch_n([[0.0, 1.0]], 0, 0, 1, 2.0)):
                try:
                    bad()
                except (TypeError, ValueError, OverflowError, PanicException):
                    pass

    stderr = sys.stderr
    sys.stderr = open(os.devnull, "w")  # the panic reports
    try:
        grown = traced_growth(round_trip)
    finally:
        sys.stderr.close()
        sys.stderr = stderr
    assert [sys.getrefcount(o) for o in probes] == before
    assert grown < 64 * 1024

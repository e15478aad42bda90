"""vek_math.ufuncs against the list kernels of vek_core, bit for bit."""

import functools
import itertools
import operator
import random
import signal
import time

import numpy as np
import pytest

from conftest import SPECIAL_FLOATS, assert_same_floats, random_floats
from vek_math import ufuncs as U
from vek_math import vek_core as v
from vek_math._runtime import PanicException
from vek_math._ufuncs import _simd_level

UNARY = {"exp": v.exp_n, "ln": v.ln_n, "sqrt": v.sqrt_n, "sin": v.sin_n, "cos": v.cos_n}
BINARY = {"add": v.add_n, "sub": v.sub_n, "mul": v.mul_n, "div": v.div_n, "pow": v.pow_n, "tension": v.tension_n}
# Below and above the sizes from which a loop is split over the pool.
SIZES = [500, 40_000]


def floats(n, seed):
    """Every special value (and every pair of them, for two-argument rules) first, then random floats."""
    xs = SPECIAL_FLOATS + random_floats(random.Random(seed), max(0, n - len(SPECIAL_FLOATS)))
    return xs[:n]


def same(got, want):
    assert got.dtype == np.float64
    assert_same_floats(got.ravel().tolist(), list(want))


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("name", [*UNARY, *BINARY])
def test_element_rules_equal_the_list_kernels(name, n):
    if name in UNARY:
        xs = floats(n, 1)
        same(getattr(U, name)(np.array(xs)), UNARY[name](xs))
    else:
        pairs = list(itertools.product(SPECIAL_FLOATS, repeat=2))  # every pair of special values first
        a, b = [p[0] for p in pairs] + floats(n, 2), [p[1] for p in pairs] + floats(n, 3)
        same(getattr(U, name)(np.array(a), np.array(b)), BINARY[name](a, b))


@pytest.fixture(params=[2, 1, 0], ids=["avx512", "avx2", "scalar"])
def simd(request):
    """Runs a test with each level of vector loops (at most what the processor has)."""
    was = _simd_level(request.param)
    yield
    _simd_level(was)


def arrays_for(name, n, seed):
    """Operands for a cheap rule: the pairs of special values in random order, then random floats, n in all."""
    pairs = list(itertools.product(SPECIAL_FLOATS, repeat=2))
    random.Random(seed).shuffle(pairs)
    a = ([p[0] for p in pairs] + floats(n, seed))[:n]
    b = ([p[1] for p in pairs] + floats(n, seed + 1))[:n]
    return (np.array(a),) if name == "sqrt" else (np.array(a), np.array(b))


def listed(name, *xs):
    return (UNARY | BINARY)[name](*(x.tolist() for x in xs))


def broadcast(f, xs):  # an operand with a zero step
    return f(*xs), tuple(np.array(x) for x in xs)


def in_place(f, xs):
    out = xs[-1].copy()
    return f(*xs[:-1], out, out=out), xs


# The layouts the vector loops take (contiguous, one operand a broadcast
# value, in place) and ones they leave to the scalar loop (strided or
# reversed operands, a strided output).
LAYOUTS = {
    "contiguous": lambda f, xs: (f(*xs), xs),
    "first broadcast": lambda f, xs: broadcast(f, (np.broadcast_to(xs[0][-1], xs[0].shape), *xs[1:])),
    "last broadcast": lambda f, xs: broadcast(f, (*xs[:-1], np.broadcast_to(xs[-1][0], xs[-1].shape))),
    "in place": in_place,
    "strided": lambda f, xs: (f(*(np.repeat(x, 2)[::2] for x in xs)), xs),
    "reversed": lambda f, xs: (f(*(x[::-1] for x in xs)), tuple(x[::-1] for x in xs)),
    "strided out": lambda f, xs: (f(*xs, out=np.empty(2 * len(xs[0]))[::2]), xs),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("n", [1, 3, 4, 7, 13, 1_027, 40_003])  # tails of every size after 4- and 8-wide steps
@pytest.mark.parametrize("name", ["add", "sub", "mul", "div", "sqrt"])
def test_cheap_rules_equal_the_list_kernels_in_both_loops(simd, name, n, layout):
    got, operands = LAYOUTS[layout](getattr(U, name), arrays_for(name, n, 20))
    same(got, listed(name, *operands))


@pytest.mark.parametrize("c", [1.0, 0.5, -3.0, 0.0, 5e-324, float("inf"), float("nan")])
@pytest.mark.parametrize("n", SIZES)
def test_boost_equals_list_kernel(n, c):
    x, y, phi = floats(n, 4), floats(n, 5), floats(n, 6)
    random.Random(7).shuffle(phi)  # not the same special value in every column
    gx, gy = U.boost(np.array(x), np.array(y), np.array(phi), c)
    want = v.boost_n(list(zip(x, y)), phi, c)
    same(gx, [p[0] for p in want])
    same(gy, [p[1] for p in want])


@pytest.mark.parametrize("n", SIZES)
def test_broadcasting_strided_views_out_and_where(n):
    x, y = np.array(SPECIAL_FLOATS), np.array(SPECIAL_FLOATS[::-1])
    rows, cols = np.broadcast_arrays(x[:, None], y[None, :])
    same(U.tension(x[:, None], y[None, :]), v.tension_n(rows.ravel().tolist(), cols.ravel().tolist()))
    out, mask = np.full(len(x), 7.0), np.arange(len(x)) % 3 == 0
    assert U.ln(x, out=out, where=mask) is out
    same(out, [w if m else 7.0 for w, m in zip(v.ln_n(x.tolist()), mask)])
    base = np.array(floats(3 * n, 8)).reshape(n, 3)
    x, y, out = base[:, 0], base[::-1, 2], np.zeros((n, 2))[:, 1]  # column views, one running backwards
    U.pow(x, y, out=out)
    same(out, v.pow_n(x.tolist(), y.tolist()))
    same(U.sqrt(base.T), v.sqrt_n(base.T.ravel().tolist()))
    xs = base[:, 1].tolist()
    U.cos(base, out=base)  # in place
    same(base[:, 1], v.cos_n(xs))


def test_reduce_and_accumulate_stay_sequential():
    # accumulate hands the loop its own output shifted by one element and reduce
    # a zero output step: splitting either over the pool would race
    x = np.random.default_rng(9).uniform(-1e3, 1e3, 1_000_000)
    xs = x.tolist()
    for uf, op in ((U.add, operator.add), (U.sub, operator.sub)):
        assert np.array_equal(uf.accumulate(x), np.array(list(itertools.accumulate(xs, op))))
        assert uf.reduce(x) == functools.reduce(op, xs)


@pytest.mark.parametrize("call", [lambda: U.pow(10.0, np.full(9000, 400.0)), lambda: U.sin(np.full(9000, np.inf)),
                                  lambda: U.exp(np.array([-1e4, 709.78])), lambda: U.boost(1.0, 2.0, 800.0, 1.0)])
def test_no_floating_point_warnings(call):
    with np.errstate(all="raise"):
        call()


def octonions(n, seed):
    rng = random.Random(seed)
    pool = SPECIAL_FLOATS + [0.0] * 10
    return [[rng.choice(pool) if rng.random() < 0.3 else rng.uniform(-2, 2) for _ in range(8)] for _ in range(n)]


@pytest.mark.parametrize("n", [100, 5_000])
def test_octonion_mul_equals_list_kernel(n):
    a, b = octonions(n, 10), octonions(n, 11)
    want = [c for row in v.octonion_mul_n(a, b) for c in row]
    same(U.octonion_mul(np.array(a), np.array(b)), want)
    # the coefficients strided (axis 0 of a transposed copy), out= an input
    at, bb = np.array(a).T.copy(), np.array(b)
    same(U.octonion_mul(at, bb, axes=[0, 1, 1], out=bb), want)
    # one factor broadcast against the batch
    same(U.octonion_mul(np.array(a), np.array(b[0])), [c for row in v.octonion_mul_n(a, [b[0]] * n) for c in row])


def test_dask_arrays_are_computed_lazily_chunk_by_chunk():
    da = pytest.importorskip("dask.array")
    x, y = np.array(floats(10_000, 12)), np.array(floats(10_000, 13))
    dx, dy = da.from_array(x, chunks=3_000), da.from_array(y, chunks=3_000)
    r = U.tension(dx, dy)
    assert isinstance(r, da.Array) and r.chunks == dx.chunks
    same(r.compute(), v.tension_n(x.tolist(), y.tolist()))
    a, b = np.array(octonions(3_000, 14)), np.array(octonions(3_000, 15))
    g = U.geometric_product(da.from_array(a, chunks=(700, 8)), b[0], [1, -1, 1])
    assert isinstance(g, da.Array)
    same(g.compute(), U.geometric_product(a, b[0], [1, -1, 1]).ravel())


@pytest.mark.parametrize("n", [50, 2_000])
@pytest.mark.parametrize("signature", [[1, 1, 1], [1, -1, -1, -1], [0, 2, -3]])
def test_geometric_product_equals_list_kernel(signature, n):
    d = 1 << len(signature)
    a, b = [row[:d] for row in octonions(n, 16)], [row[:d] for row in octonions(n, 17)]
    if d > 8:
        a, b = [r + r[::-1] for r in a], [r + r for r in b]
    want = [c for row in v.geometric_product_n(a, b, signature) for c in row]
    same(U.geometric_product(np.array(a), np.array(b), np.array(signature, dtype=np.int8)), want)
    same(U.geometric_product(np.array(a).T, np.array(b), signature, axes=[0, 1, 0, 1]), want)


def test_geometric_product_failures_raise_value_error_for_the_first_failing_product():
    # dimension 3 with one signature entry: e0 * e1 needs blade 3, e1 * e1 the
    # square of e1; the later failure sits in another part of the pool's split
    a, b = np.zeros((5_000, 3)), np.zeros((5_000, 3))
    a[3_000, 1] = b[3_000, 2] = 1.0
    a[4_900, 2] = b[4_900, 2] = 1.0
    with pytest.raises(PanicException) as listed:
        v.geometric_product_n([[0.0, 1.0, 0.0]], [[0.0, 0.0, 1.0]], [1])
    with pytest.raises(ValueError) as got:
        U.geometric_product(a, b, [1])
    assert str(got.value) == str(listed.value) == "index out of bounds: the len is 3 but the index is 3"
    with pytest.raises(ValueError, match="signature entries must be integers from -128 to 127"):
        U.geometric_product(a[:10], b[:10], [1.0, 0.5])


# Long loops on operands broadcast to take little memory: one product of
# 2^15-blade multivectors, a batch of products split over the pool, and
# reductions of a billion elements, the last through numpy's casting buffers
# (a loop call per buffer).
LONG_LOOPS = {
    "one product": lambda: U.geometric_product(np.full((1, 1 << 15), 0.5), np.full(1 << 15, 0.5), [1] * 15),
    "pooled products": lambda: U.geometric_product(np.broadcast_to(np.full(1 << 11, 0.5), (300, 1 << 11)),
                                                   np.full(1 << 11, 0.5), [1] * 11),
    "reduction": lambda: U.tension.reduce(np.broadcast_to(0.5, (10**9,))),
    "buffered reduction": lambda: U.tension.reduce(np.broadcast_to(np.float32(0.5), (10**9,))),
}


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("call", LONG_LOOPS.values(), ids=LONG_LOOPS.keys())
def test_ctrl_c_stops_long_loops_promptly(call):
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        t0 = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            call()
        assert time.perf_counter() - t0 < 2.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    xs = floats(40_000, 18)  # the next calls run as ever
    same(U.exp(np.array(xs)), v.exp_n(xs))
    a = octonions(300, 19)
    same(U.geometric_product(np.array(a), np.array(a[::-1]), [1, -1, 1]),
         [c for row in v.geometric_product_n(a, a[::-1], [1, -1, 1]) for c in row])

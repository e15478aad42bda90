"""vek_math.ufuncs against the list kernels and against numpy's own ufuncs.

    bash scripts/dev.sh bench bench_ufuncs [--n 1000000] [--pairs 100000] [--repeat 5]
    RAYON_NUM_THREADS=1 bash scripts/dev.sh bench bench_ufuncs    (one thread)

Every contender starts from the same float64 arrays:
  ufunc    vek_math.ufuncs.exp(x) and the like: array in, array out
  list     the list kernel, vek_core.exp_n(x) and the like: the array is copied
           in one go, the result comes back as a list (its fastest path; boost_n
           takes a prepared list of (x, y) tuples)
  numpy    numpy's nearest equivalent: numpy.exp, numpy.log, numpy.sin, ...,
           numpy.exp(x) - numpy.log(y) for tension, the boost formula written with
           numpy array operations; these skip the guards, so they do less work
  scalar   for add, sub, mul, div and sqrt, which have vector loops (AVX2 or
           AVX-512, whichever the processor has): the same ufunc with its
           scalar loop, so the column is the vector loop's speed-up
The octonion product of `--pairs` pairs is compared with octonion_mul_n and two
numpy formulations: einsum over the structure constants T[i, j, k] (the
coefficient of e_k in e_i * e_j) and the explicit component formulas, eight
products summed per coefficient. Ratios above 1 mean the ufunc is faster.
"""

import argparse
import os

import numpy as np

from _tables import octonion_table
from _timing import best_of
from vek_math import ufuncs as U
from vek_math import vek_core as v
from vek_math._ufuncs import _simd_level

VECTOR_LOOPS = {"add", "sub", "mul", "div", "sqrt"}
LEVELS = ["none (scalar loops)", "AVX2", "AVX-512"]


def np_components(table):
    """The product coefficient by coefficient: c_k = sum of +-a_i b_j over the
    eight (i, j) with e_i e_j = +-e_k, on columns of the batch."""
    terms = [[(i, j, table[i, j, k]) for i in range(8) for j in range(8) if table[i, j, k]] for k in range(8)]

    def product(a, b):
        ac, bc = a.T.copy(), b.T.copy()  # contiguous coefficient columns
        out = np.empty((8, len(a)))
        for k, ts in enumerate(terms):
            acc = out[k]
            np.multiply(ac[ts[0][0]], bc[ts[0][1]], out=acc)
            if ts[0][2] < 0:
                np.negative(acc, out=acc)
            for i, j, s in ts[1:]:
                (np.add if s > 0 else np.subtract)(acc, ac[i] * bc[j], out=acc)
        return out.T

    return product


def np_boost(x, y, phi, c):
    t = np.exp(np.where(x > 709.782712893384, np.log(np.abs(x)), x))
    X = np.log(np.where((y > 0) | np.isnan(y), y, np.fmax(np.abs(y), 1e-300)))
    s, ch = np.sinh(phi), np.cosh(phi)
    xn = np.clip(ch * X - s * (c * t), -709.0, 709.0)
    return np.log(np.fmax(t * ch - s * (X / c), 1e-300)), np.exp(xn)


def cases(x, y, phi):
    points = list(zip(x.tolist(), y.tolist()))  # boost_n takes (x, y) tuples
    return [
        ("exp", lambda: U.exp(x), lambda: v.exp_n(x), lambda: np.exp(x), 1.8),
        ("ln", lambda: U.ln(y), lambda: v.ln_n(y), lambda: np.log(y), 1.4),
        ("add", lambda: U.add(x, y), lambda: v.add_n(x, y), lambda: np.add(x, y), 1.8),
        ("sub", lambda: U.sub(x, y), lambda: v.sub_n(x, y), lambda: np.subtract(x, y), 1.8),
        ("mul", lambda: U.mul(x, y), lambda: v.mul_n(x, y), lambda: np.multiply(x, y), 1.8),
        ("div", lambda: U.div(x, y), lambda: v.div_n(x, y), lambda: np.divide(x, y), 1.8),
        ("sqrt", lambda: U.sqrt(y), lambda: v.sqrt_n(y), lambda: np.sqrt(y), 1.8),
        ("sin", lambda: U.sin(x), lambda: v.sin_n(x), lambda: np.sin(x), 1.8),
        ("cos", lambda: U.cos(x), lambda: v.cos_n(x), lambda: np.cos(x), 1.8),
        ("pow", lambda: U.pow(y, x), lambda: v.pow_n(y, x), lambda: np.power(y, x), 1.8),
        ("tension", lambda: U.tension(x, y), lambda: v.tension_n(x, y), lambda: np.exp(x) - np.log(y), 1.8),
        (
            "boost",
            lambda: U.boost(x, y, phi, 0.9),
            lambda: v.boost_n(points, phi, 0.9),
            lambda: np_boost(x, y, phi, 0.9),
            None,
        ),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--pairs", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    rng = np.random.default_rng(1)
    x = rng.uniform(-5.0, 5.0, args.n)
    y = rng.uniform(0.01, 10.0, args.n)
    phi = rng.uniform(-2.0, 2.0, args.n)
    level = _simd_level(2)
    _simd_level(level)
    print(
        f"n = {args.n}, threads: {os.environ.get('RAYON_NUM_THREADS', 'all')}, cores: {os.cpu_count()}, "
        f"vector loops: {LEVELS[level]}"
    )
    print(f"{'ufunc':<10} {'ufunc ms':>9} {'÷list':>8} {'÷numpy':>8} {'÷scalar':>8}  goal vs numpy")
    for name, ours, listed, peer, goal in cases(x, y, phi):
        t = best_of(ours, args.repeat)
        r_list = best_of(listed, args.repeat) / t
        r_np = best_of(peer, args.repeat) / t
        r_scalar = ""
        if name in VECTOR_LOOPS:
            _simd_level(0)
            r_scalar = f"{best_of(ours, args.repeat) / t:.2f}"
            _simd_level(level)
        verdict = "" if goal is None else f"≥{goal}× {'met' if r_np >= goal else 'missed'}"
        print(f"{name:<10} {t * 1e3:>9.3f} {r_list:>8.2f} {r_np:>8.2f} {r_scalar:>8}  {verdict}")

    n = args.pairs
    a, b = rng.uniform(-2.0, 2.0, (n, 8)), rng.uniform(-2.0, 2.0, (n, 8))
    table = octonion_table()
    components = np_components(table)
    got = U.octonion_mul(a, b)
    assert np.array_equal(got, np.asarray(v.octonion_mul_n(a, b)))
    for peer in (components, lambda p, q: np.einsum("ni,nj,ijk->nk", p, q, table, optimize=True)):
        assert np.allclose(got, peer(a, b), rtol=1e-12, atol=1e-12)
    t = best_of(lambda: U.octonion_mul(a, b), args.repeat)
    r_list = best_of(lambda: v.octonion_mul_n(a, b), args.repeat) / t
    r_comp = best_of(lambda: components(a, b), args.repeat) / t
    r_einsum = best_of(lambda: np.einsum("ni,nj,ijk->nk", a, b, table, optimize=True), args.repeat) / t
    print(
        f"\noctonion_mul, {n} pairs: {t * 1e3:.3f} ms; ÷octonion_mul_n {r_list:.2f}, "
        f"÷numpy components {r_comp:.2f}, ÷numpy einsum {r_einsum:.2f}"
    )


if __name__ == "__main__":
    main()

"""Octonion and geometric products against vectorised numpy, list in and list out.

    bash scripts/dev.sh bench bench_algebra [--n 100000] [--repeat 5]

Every contender starts from the same Python lists of coefficient lists and
returns a list of lists, so conversions are included. The numpy peers are
table driven: T[i, j, k] is the coefficient of basis element k in e_i * e_j,
and the batch product is sum_ij a[n, i] b[n, j] T[i, j, k], computed as
  einsum   numpy.einsum("ni,nj,ijk->nk", A, B, T, optimize=True)
  matmul   the outer products a[n] b[n]^T flattened, times T as a d^2 x d matrix
  floor    numpy.asarray(...).tolist() of the inputs alone: the least that any
           list-in/list-out path pays
Ratios above 1 mean vek_core is faster. The numpy peers form every term (no
zero skipping) and sum in another order, so they agree up to rounding only.
"""

import argparse
import os
import random

import numpy as np

from _tables import octonion_table
from _timing import best_of
from vek_math import vek_core as v


def blade_table(signature):
    d = 1 << len(signature)
    t = np.zeros((d, d, d))
    for i in range(d):
        for j in range(d):
            s = 1.0
            for k in range(len(signature)):
                if j >> k & 1:
                    if bin(i >> (k + 1)).count("1") & 1:
                        s = -s
                    if i >> k & 1:
                        s *= signature[k]
            t[i, j, i ^ j] = s
    return t


def np_einsum(table):
    def product(a, b):
        return np.einsum("ni,nj,ijk->nk", np.asarray(a), np.asarray(b), table, optimize=True).tolist()

    return product


def np_matmul(table):
    d = table.shape[0]
    flat = table.reshape(d * d, d)

    def product(a, b):
        A, B = np.asarray(a), np.asarray(b)
        return ((A[:, :, None] * B[:, None, :]).reshape(len(A), d * d) @ flat).tolist()

    return product


def floor(a, b):
    return np.asarray(a).tolist(), np.asarray(b).tolist()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    rng = random.Random(1)
    n = args.n

    def batch(d):
        return [[rng.uniform(-2.0, 2.0) for _ in range(d)] for _ in range(n)]

    cases = [("octonion_mul_n", 8, lambda a, b: v.octonion_mul_n(a, b), octonion_table())]
    for sig in ([1, 1, 1], [1, -1, -1, -1]):
        cases.append(
            (
                f"geometric_product_n {sig}",
                1 << len(sig),
                lambda a, b, sig=sig: v.geometric_product_n(a, b, sig),
                blade_table(sig),
            )
        )

    print(f"n = {n} pairs, threads: {os.environ.get('RAYON_NUM_THREADS', 'all')}, cores: {os.cpu_count()}")
    print(f"{'kernel':<34} {'vek ms':>9} {'÷einsum':>8} {'÷matmul':>8} {'÷floor':>8}")
    for name, d, ours, table in cases:
        a, b = batch(d), batch(d)
        peers = [np_einsum(table), np_matmul(table)]
        got = np.asarray(ours(a, b))
        for peer in peers:  # the peers compute the same products
            assert np.allclose(got, np.asarray(peer(a, b)), rtol=1e-12, atol=1e-12), name
        t = best_of(lambda ours=ours, a=a, b=b: ours(a, b), args.repeat)
        ratios = [best_of(lambda p=p, a=a, b=b: p(a, b), args.repeat) / t for p in peers]
        r_floor = best_of(lambda a=a, b=b: floor(a, b), args.repeat) / t
        print(f"{name:<34} {t * 1e3:>9.2f} {ratios[0]:>8.2f} {ratios[1]:>8.2f} {r_floor:>8.2f}")


if __name__ == "__main__":
    main()

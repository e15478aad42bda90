"""Element-wise kernels against their Python peers, list in and list out.

    bash scripts/dev.sh bench bench_kernels [--sizes 1000 100000 1000000] [--repeat 5]

Peers, each starting from the same Python list of floats:
  numpy   numpy.exp(numpy.asarray(xs)).tolist() and the like (the round trip)
  math    a list comprehension over the math module
  floor   numpy.asarray(xs).tolist(): the conversion alone, the floor of any
          list-in/list-out path
Ratios above 1 mean vek_core is faster.
"""

import argparse
import math
import os
import random
import subprocess

import numpy as np

from _timing import best_of
from vek_math import vek_core as v

EXP_LIMIT = 709.782712893384


def gexp(x):
    return math.exp(math.log(x) if x > EXP_LIMIT else x)


def gln(y):
    a = y if y > 0 else abs(y)
    return -690.7755278982137 if a == 0 else math.log(a)


def np_gexp(a):
    return np.exp(np.where(a > EXP_LIMIT, np.log(np.abs(a) + (a <= EXP_LIMIT)), a))


def np_gln(a):
    m = np.abs(a)
    with np.errstate(divide="ignore"):
        return np.where(m == 0, -690.7755278982137, np.log(m))


def np_boost(pts, phis, c):
    p = np.asarray(pts)
    x, y = p[:, 0], p[:, 1]
    ph = np.asarray(phis)
    t = np_gexp(x)
    X = np.log(np.where((y > 0) | np.isnan(y), y, np.fmax(np.abs(y), 1e-300)))
    s, ch = np.sinh(ph), np.cosh(ph)
    xn = np.clip(ch * X - s * (c * t), -709.0, 709.0)
    tn = np.fmax(t * ch - s * (X / c), 1e-300)
    return np.stack([np.log(tn), np.exp(xn)], axis=1).tolist()


def cases(n, rng):
    xs = [rng.uniform(-5.0, 5.0) for _ in range(n)]
    ys = [rng.uniform(0.01, 10.0) for _ in range(n)]
    pts = list(zip(xs, ys))
    return {
        "exp_n": (
            lambda: v.exp_n(xs),
            lambda: np_gexp(np.asarray(xs)).tolist(),
            lambda: [gexp(x) for x in xs],
            lambda: np.asarray(xs).tolist(),
        ),
        "ln_n": (
            lambda: v.ln_n(ys),
            lambda: np_gln(np.asarray(ys)).tolist(),
            lambda: [gln(y) for y in ys],
            lambda: np.asarray(ys).tolist(),
        ),
        "tension_n": (
            lambda: v.tension_n(xs, ys),
            lambda: (np_gexp(np.asarray(xs)) - np_gln(np.asarray(ys))).tolist(),
            lambda: [gexp(x) - gln(y) for x, y in zip(xs, ys)],
            lambda: (np.asarray(xs).tolist(), np.asarray(ys).tolist()),
        ),
        "pow_n": (
            lambda: v.pow_n(ys, xs),
            lambda: np.power(np.abs(np.asarray(ys)), np.asarray(xs)).tolist(),
            lambda: [math.pow(abs(b), e) for b, e in zip(ys, xs)],
            lambda: (np.asarray(ys).tolist(), np.asarray(xs).tolist()),
        ),
        "boost_n": (
            lambda: v.boost_n(pts, xs, 0.9),
            lambda: np_boost(pts, xs, 0.9),
            None,
            lambda: (np.asarray(pts).tolist(), np.asarray(xs).tolist()),
        ),
    }


def native_compute(threads):
    """Runs the native benchmark (compute only, no Python objects) with a given pool size."""
    exe = os.environ.get("VEK_NATIVE_BENCH")
    if not exe or not os.path.exists(exe):
        return None
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([exe], env=env, capture_output=True, text=True, check=True).stdout
    return {line.split()[0]: float(line.split()[2]) for line in out.splitlines()[1:]}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", type=int, nargs="+", default=[1_000, 100_000, 1_000_000])
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    rng = random.Random(1)
    print(f"threads: {os.environ.get('RAYON_NUM_THREADS', 'all')}, cores: {os.cpu_count()}")
    print(f"{'kernel':<10} {'n':>9} {'vek ms':>9} {'÷numpy':>8} {'÷math':>8} {'÷floor':>8}")
    for n in args.sizes:
        for name, (ours, numpy_rt, pure, floor) in cases(n, rng).items():
            t = best_of(ours, args.repeat)
            r_np = best_of(numpy_rt, args.repeat) / t
            r_math = best_of(pure, args.repeat) / t if pure else math.nan
            r_floor = best_of(floor, args.repeat) / t
            print(f"{name:<10} {n:>9} {t * 1e3:>9.3f} {r_np:>8.2f} {r_math:>8.2f} {r_floor:>8.2f}")
    n = max(args.sizes)
    xs = [rng.uniform(-5.0, 5.0) for _ in range(n)]
    arr = np.asarray(xs)
    t_arr = best_of(lambda: v.exp_n(arr), args.repeat)
    t_list = best_of(lambda: v.exp_n(xs), args.repeat)
    t_np = best_of(lambda: np.exp(arr).tolist(), args.repeat)
    print(
        f"numpy input at n={n}: exp_n(array) {t_arr * 1e3:.2f} ms, exp_n(list) {t_list * 1e3:.2f} ms, "
        f"numpy.exp(array).tolist() {t_np * 1e3:.2f} ms"
    )
    one, two = native_compute(1), native_compute(2)
    if one and two:
        print("compute part alone at n=1000000 (native, no conversions):")
        for name in one:
            print(
                f"  {name:<10} 1 thread {one[name]:8.3f} ms  2 threads {two[name]:8.3f} ms  "
                f"speed-up {one[name] / two[name]:.2f}x"
            )


if __name__ == "__main__":
    main()

"""Exact recovery with and without fitted constants.

    bash scripts/dev.sh bench bench_constants [--only nguyen|physics] [--rows 100] [--seed 0]

SymbolicRegressor at its defaults (``constants=True``) and with
``constants=False`` (the search of find_formula) on the Nguyen problems 1 to 12
and on 20 physics formulas of at most three variables whose constants are
numbers such as pi, 1/2, 3/2 and 2 (a physical constant is a fixed number
here). Each problem: `--rows` training rows drawn uniformly from its ranges,
no noise; a formula counts as recovered when on 500 fresh rows from the same
ranges max |pred - y| / max(1, |y|) < 1e-6. Reported per problem: recovered or
not, the fit's wall time and the formula; then per set the share recovered and
the median and total fit time. The machine may be busy with other work: fit
times are those of this run.
"""

import argparse
import math
import statistics
import time

import numpy as np

from vek_math import SymbolicRegressor

PI = math.pi

# name: (target as a function of the columns, one (low, high) range per column)
NGUYEN = {
    "Nguyen-1  x^3+x^2+x": (lambda x: x**3 + x**2 + x, [(-1, 1)]),
    "Nguyen-2  x^4+x^3+x^2+x": (lambda x: x**4 + x**3 + x**2 + x, [(-1, 1)]),
    "Nguyen-3  x^5+...+x": (lambda x: x**5 + x**4 + x**3 + x**2 + x, [(-1, 1)]),
    "Nguyen-4  x^6+...+x": (lambda x: x**6 + x**5 + x**4 + x**3 + x**2 + x, [(-1, 1)]),
    "Nguyen-5  sin(x^2)cos(x)-1": (lambda x: np.sin(x**2) * np.cos(x) - 1, [(-1, 1)]),
    "Nguyen-6  sin(x)+sin(x+x^2)": (lambda x: np.sin(x) + np.sin(x + x**2), [(-1, 1)]),
    "Nguyen-7  ln(x+1)+ln(x^2+1)": (lambda x: np.log(x + 1) + np.log(x**2 + 1), [(0, 2)]),
    "Nguyen-8  sqrt(x)": (lambda x: np.sqrt(x), [(0, 4)]),
    "Nguyen-9  sin(x)+sin(y^2)": (lambda x, y: np.sin(x) + np.sin(y**2), [(0, 1), (0, 1)]),
    "Nguyen-10 2sin(x)cos(y)": (lambda x, y: 2 * np.sin(x) * np.cos(y), [(0, 1), (0, 1)]),
    "Nguyen-11 x^y": (lambda x, y: x**y, [(0, 1), (0, 1)]),
    "Nguyen-12 x^4-x^3+y^2/2-y": (lambda x, y: x**4 - x**3 + 0.5 * y**2 - y, [(0, 1), (0, 1)]),
}

PHYSICS = {
    "kinetic energy  m v^2/2": (lambda m, v: 0.5 * m * v**2, [(1, 5), (1, 5)]),
    "gravity  G m1 m2/r^2": (lambda m1, m2, r: 6.674 * m1 * m2 / r**2, [(1, 5), (1, 5), (1, 3)]),
    "Coulomb  q1 q2/(4 pi r^2)": (lambda q1, q2, r: q1 * q2 / (4 * PI * r**2), [(1, 5), (1, 5), (1, 3)]),
    "potential  q/(4 pi eps r)": (lambda q, eps, r: q / (4 * PI * eps * r), [(1, 5), (1, 3), (1, 3)]),
    "pendulum  2 pi sqrt(L/g)": (lambda L, g: 2 * PI * np.sqrt(L / g), [(0.5, 5), (5, 15)]),
    "normal density  exp(-x^2/2)/sqrt(2 pi)": (lambda x: np.exp(-(x**2) / 2) / math.sqrt(2 * PI), [(-3, 3)]),
    "ideal gas  n R T/V": (lambda n, T, V: 8.314 * n * T / V, [(1, 5), (1, 5), (1, 5)]),
    "throw  v t - g t^2/2": (lambda v, t: v * t - 9.81 / 2 * t**2, [(1, 10), (0, 2)]),
    "Stokes drag  6 pi eta r v": (lambda eta, r, v: 6 * PI * eta * r * v, [(1, 5), (1, 5), (1, 5)]),
    "Kepler  2 pi sqrt(a^3/M)": (lambda a, M: 2 * PI * np.sqrt(a**3 / M), [(1, 5), (1, 5)]),
    "sphere volume  4/3 pi r^3": (lambda r: 4 / 3 * PI * r**3, [(0.5, 3)]),
    "cylinder volume  pi r^2 h": (lambda r, h: PI * r**2 * h, [(1, 5), (1, 5)]),
    "decay  N0 exp(-t/2)": (lambda n0, t: n0 * np.exp(-0.5 * t), [(1, 5), (0, 5)]),
    "Boltzmann factor  exp(-E/(k T))": (lambda E, T: np.exp(-E / (1.38 * T)), [(1, 5), (1, 5)]),
    "escape velocity  sqrt(2 G M/r)": (lambda M, r: np.sqrt(2 * 6.674 * M / r), [(1, 5), (1, 5)]),
    "hydrostatics  P0 + rho g h": (lambda p0, rho, h: p0 + 9.81 * rho * h, [(1, 5), (1, 5), (1, 5)]),
    "radiation  sigma T^4": (lambda T: 5.67 * T**4, [(1, 3)]),
    "wire field  mu0 I/(2 pi r)": (lambda i, r: 1.2566 * i / (2 * PI * r), [(1, 5), (1, 5)]),
    "oscillator  A cos(2 t)": (lambda A, t: A * np.cos(2 * t), [(1, 5), (0, 5)]),
    "internal energy  3/2 p V": (lambda p, V: 1.5 * p * V, [(1, 5), (1, 5)]),
}


def sample(ranges, rows, rng):
    return np.column_stack([rng.uniform(lo, hi, rows) for lo, hi in ranges])


def run(name, target, ranges, constants, rows, seed):
    rng = np.random.default_rng(seed)
    X, X_test = sample(ranges, rows, rng), sample(ranges, 500, rng)
    y, y_test = target(*X.T), target(*X_test.T)
    t0 = time.perf_counter()
    model = SymbolicRegressor(constants=constants).fit(X, y)
    seconds = time.perf_counter() - t0
    with np.errstate(all="ignore"):
        worst = np.max(np.abs(model.predict(X_test) - y_test) / np.maximum(1.0, np.abs(y_test)))
    return bool(worst < 1e-6), seconds, model.formula_


def report(title, problems, rows, seed):
    print(f"\n{title} ({rows} training rows, 500 test rows)")
    for constants in (True, False):
        print(f"  constants={constants}")
        hits, times = 0, []
        for name, (target, ranges) in problems.items():
            ok, seconds, formula = run(name, target, ranges, constants, rows, seed)
            hits += ok
            times.append(seconds)
            print(f"    {'yes' if ok else ' no'}  {seconds:6.2f} s  {name:<42} {formula}")
        print(
            f"  constants={constants}: recovered {hits}/{len(problems)} ({100 * hits / len(problems):.0f} %), "
            f"median fit {statistics.median(times):.2f} s, total {sum(times):.1f} s"
        )


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", choices=["nguyen", "physics"])
    ap.add_argument("--rows", type=int, default=100)
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args()
    if args.only != "physics":
        report("Nguyen-1 to 12", NGUYEN, args.rows, args.seed)
    if args.only != "nguyen":
        report("Physics formulas", PHYSICS, args.rows, args.seed)


if __name__ == "__main__":
    main()

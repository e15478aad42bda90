"""SymbolicRegressor on large data: fit time and recovery by row count.

    bash scripts/dev.sh bench bench_bigdata [--rows 10000,100000,1000000] [--max-samples N] [--n-jobs N]
                                            [--only laws|wide]

Two laws on 5 uniform features in [0.5, 3] with 1 % noise: x0*x1 + sin(x2)
and the two-term law 2*x3**2 + 3*x4. Each is fitted with the estimator's
defaults (or --max-samples / --n-jobs) at every row count; the table shows
the wall time of the fit, its ratio to the smallest row count's, whether
the formula came out (the selected formula computes the law to within the
noise: R² on a fresh data set within 1e-3 of the law's own), and the peak
resident memory of the process so far (``resource.getrusage``; it never
falls, so a row shows the most any fit up to it needed).

The wide case runs the engine's search (that of find_formula, with the
engine's default memory limit) at beam_width=50000, max_complexity=14 on
3,000 rows of 4 uniform features and a uniform target, in a process of
its own: its peak resident memory, the time and why it stopped.

Other jobs on the machine change the times; run it on a quiet one.
"""

import argparse
import os
import resource
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vek_math import SymbolicRegressor

LAWS = {
    "x0*x1 + sin(x2)": lambda X: X[:, 0] * X[:, 1] + np.sin(X[:, 2]),
    "2*x3^2 + 3*x4": lambda X: 2.0 * X[:, 3] ** 2 + 3.0 * X[:, 4],
}


def data(law, rows, seed):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, size=(rows, 5))
    clean = LAWS[law](X)
    return X, clean + 0.01 * np.std(clean) * rng.standard_normal(rows), clean


def peak_rss_mib():
    """Peak resident memory of this process so far, in MiB (ru_maxrss is in KiB on Linux)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def recovered(est, law):
    X, y, clean = data(law, 20_000, seed=99)
    ss = float(np.sum((y - np.mean(y)) ** 2))
    law_r2 = 1.0 - float(np.sum((y - clean) ** 2)) / ss
    return est.score(X, y) >= law_r2 - 1e-3


WIDE = """
import resource, time
import numpy as np
from vek_math import _engine
rng = np.random.default_rng(0)
X, y = rng.uniform(-3.0, 3.0, (3000, 4)), rng.uniform(-3.0, 3.0, 3000)
t0 = time.perf_counter()
r = _engine.search(X, y, max_complexity=14, beam_width=50000)
seconds = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
print(f"  wide search: {seconds:.1f}s, peak RSS {peak:.0f} MiB, stopped={r.stopped!r}, {r.scored:,} scored,"
      f" best {r.best.formula if r.best else None}")
"""


def wide():
    print("3,000 x 4 rows, beam_width=50000, max_complexity=14 (a process of its own)", flush=True)
    # From here, not the source tree: the installed package is the one measured.
    subprocess.run([sys.executable, "-c", WIDE], check=True, cwd=os.path.dirname(os.path.abspath(__file__)))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", default="10000,100000,1000000")
    parser.add_argument("--max-samples", type=int, default=None, help="default: the estimator's")
    parser.add_argument("--n-jobs", type=int, default=None)
    parser.add_argument("--only", choices=["laws", "wide"], default=None)
    args = parser.parse_args()
    if args.only != "laws":
        wide()
    if args.only == "wide":
        return
    sizes = [int(r) for r in args.rows.split(",")]
    options = {"n_jobs": args.n_jobs}
    if args.max_samples is not None:
        options["max_samples"] = args.max_samples
    print(f"SymbolicRegressor({', '.join(f'{k}={v}' for k, v in options.items())}), 5 features, 1 % noise")
    print(f"  {'law':<16} {'rows':>9} {'fit':>9} {'ratio':>6}  {'found':<5}  {'peak RSS':>9}  formula")
    for law in LAWS:
        first = None
        for rows in sizes:
            X, y, _ = data(law, rows, seed=1)
            t0 = time.perf_counter()
            est = SymbolicRegressor(**options).fit(X, y)
            seconds = time.perf_counter() - t0
            first = first or seconds
            print(
                f"  {law:<16} {rows:>9,} {seconds:>8.2f}s {seconds / first:>5.1f}x  "
                f"{'yes' if recovered(est, law) else 'NO':<5}  {peak_rss_mib():>6.0f} MiB  {est.formula_}",
                flush=True,
            )


if __name__ == "__main__":
    main()

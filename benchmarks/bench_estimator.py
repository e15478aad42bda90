"""SymbolicRegressor against find_formula, and fits spread over a Dask cluster.

    bash scripts/dev.sh bench bench_estimator [--repeat 3] [--datasets 8]

Overhead: the same search (y = x0 * x1 + sin(x2) + noise, 3 columns, the
default options) run by find_formula on the numpy columns and by
SymbolicRegressor.fit on a numpy array and on a DataFrame; best of
`--repeat` calls. The search's own time varies with the machine's load, so
the overhead is measured inside each fit: its wall time less the time spent
in the engine's search (the validation, the conversion of the data and the
table of equations); best of `--repeat` fits.

Dask: the README's example, `--datasets` fits of 5,000 rows mapped over a
local cluster of one and of two worker processes, each with one thread and
a pool of one thread (RAYON_NUM_THREADS=1, so that workers do not compete
for processors); wall time of the map and gather, and of the whole run with
the cluster's start. The same fits one after the other in this process (its
pool at the default size) are the reference.
"""

import argparse
import os
import sys
import time
import types

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _timing import best_of
from vek_math import SymbolicRegressor, _search, vek_core


def dataset(seed, rows):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, size=(rows, 3))
    y = X[:, 0] * X[:, 1] + np.sin(X[:, 2]) + 0.05 * rng.standard_normal(rows)
    return X, y


def fit(seed, rows=5000):
    X, y = dataset(seed, rows)
    return SymbolicRegressor().fit(X, y)


def fit_overhead(X, y, repeat):
    """Best of `repeat` fits: wall time less the time inside the engine's search."""
    engine, inside = _search._engine, []

    def timed(*args, **kw):
        t0 = time.perf_counter()
        try:
            return engine.search(*args, **kw)
        finally:
            inside.append(time.perf_counter() - t0)

    _search._engine = types.SimpleNamespace(search=timed, evaluate=engine.evaluate)
    try:
        best = float("inf")
        for _ in range(repeat):
            t0 = time.perf_counter()
            SymbolicRegressor().fit(X, y)
            best = min(best, time.perf_counter() - t0 - inside[-1])
    finally:
        _search._engine = engine
    return best


def overhead(repeat):
    print("fit against find_formula (3 columns, default options), best of", repeat)
    print(f"  {'rows':>7}  {'find_formula':>12}  {'fit(array)':>10}  {'overhead: array':>15}  {'frame':>8}")
    for rows in (100, 1_000, 10_000):
        X, y = dataset(0, rows)
        cols = list(np.ascontiguousarray(X.T))
        frame = pd.DataFrame(X, columns=["mass", "speed", "angle"])
        base = best_of(lambda cols=cols, y=y: vek_core.find_formula(cols, y), repeat)
        arr = best_of(lambda X=X, y=y: SymbolicRegressor().fit(X, y), repeat)
        print(
            f"  {rows:>7,}  {base * 1e3:>9.1f} ms  {arr * 1e3:>7.1f} ms  "
            f"{fit_overhead(X, y, repeat) * 1e3:>12.2f} ms  {fit_overhead(frame, y, repeat) * 1e3:>5.2f} ms"
        )


def dask_run(workers, datasets):
    from distributed import Client, LocalCluster

    os.environ["RAYON_NUM_THREADS"] = "1"  # read by the worker processes' pools
    t0 = time.perf_counter()
    with (
        LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        client.submit(len, [0]).result()  # every worker up
        t1 = time.perf_counter()
        fitted = client.gather(client.map(fit, range(datasets)))
        t2 = time.perf_counter()
    return t2 - t1, time.perf_counter() - t0, fitted


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--datasets", type=int, default=8)
    args = ap.parse_args()
    overhead(args.repeat)
    t0 = time.perf_counter()
    [fit(s) for s in range(args.datasets)]
    print(f"{args.datasets} fits of 5,000 rows in this process: {time.perf_counter() - t0:.2f} s")
    for workers in (1, 2):
        mapped, total, fitted = dask_run(workers, args.datasets)
        print(
            f"Dask, {workers} worker process{'es' if workers > 1 else ''}: map + gather {mapped:.2f} s, "
            f"with the cluster's start {total:.2f} s ({fitted[0].formula_})"
        )


if __name__ == "__main__":
    main()

"""One search across a Dask cluster against the same search in this process.

    bash scripts/dev.sh bench bench_cluster [--rows 10000] [--max-complexity 10] [--beam-width 4000]

The search with fitted constants (the estimator's, here with max_params=6) on
`--rows` rows x 5 features, run locally on 2 threads and then with its
levels scored on a LocalCluster of 2 single-threaded worker processes on
127.0.0.1 (started and shut down here; its start is not timed). Checks that
both give the same outcome bit for bit (best, front, losses, params, counts)
and prints the wall times, their ratio, and per level: candidates, where
they were scored, the bytes sent (new beam members and candidate records)
and received (scores), and the scoring work (candidates x rows), so the cost
of more machines can be judged.
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vek_math import _cluster, _engine


def dataset(rows, seed=11):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, size=(rows, 5))
    y = 2.3 * np.exp(-0.5 * X[:, 0]) * X[:, 1] + X[:, 2] / (X[:, 3] + 0.7) + 0.02 * rng.standard_normal(rows)
    return np.ascontiguousarray(X), y


def facts(o):
    rec = lambda r: (r.nodes, r.formula, r.complexity, r.loss, r.error, tuple(r.params))  # noqa: E731
    return rec(o.best), [rec(r) for r in o.front], o.stopped, o.levels, o.generated, o.scored


def timed_search(X, y, options, scorer=None):
    marks = []
    t0 = time.perf_counter()
    out = _engine.search(X, y, scorer=scorer, progress=lambda *a: marks.append(time.perf_counter() - t0), **options)
    return out, time.perf_counter() - t0, np.diff(marks)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=10_000)
    ap.add_argument("--max-complexity", type=int, default=10)
    ap.add_argument("--beam-width", type=int, default=4000)
    ap.add_argument("--min-work", type=int, default=_cluster.MIN_WORK, help="candidate-rows scored locally below")
    args = ap.parse_args()
    from distributed import Client, LocalCluster

    X, y = dataset(args.rows)
    options = dict(
        constants=True,
        max_params=6,
        complexity_penalty=0.01,
        max_complexity=args.max_complexity,
        beam_width=args.beam_width,
        n_threads=2,
    )
    print(f"{args.rows} rows x 5 features, max_complexity={args.max_complexity}, beam_width={args.beam_width}")
    local, t_local, local_levels = timed_search(X, y, options)
    print(f"local, 2 threads: {t_local:.2f} s, best {local.best.formula}")

    t0 = time.perf_counter()
    with (
        LocalCluster(
            n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1", dashboard_address="127.0.0.1:0"
        ) as cl,
        Client(cl) as client,
    ):
        started = time.perf_counter() - t0
        scorer = _cluster.ClusterScorer(client, X, y, min_work=args.min_work)
        remote, t_remote, remote_levels = timed_search(X, y, options, scorer)
    same = facts(remote) == facts(local)
    print(f"cluster of 2 single-threaded workers: {t_remote:.2f} s (start {started:.1f} s, not counted)")
    print(f"identical result: {same}; ratio cluster / local: {t_remote / t_local:.2f}")
    print()
    print(
        "level  candidates  where    chunks  sent MB  back MB  cand x rows  B/(cand x row)  "
        "local s  cluster s  of which remote scoring s"
    )
    for i, r in enumerate(scorer.levels):
        work = r.candidates * args.rows
        per = (r.bytes_sent + r.bytes_back) / work if work else 0.0
        ls = local_levels[i] if i < len(local_levels) else float("nan")
        rs = remote_levels[i] if i < len(remote_levels) else float("nan")
        print(
            f"{r.level:5d}  {r.candidates:10d}  {'cluster' if r.remote else 'local':7s}  {r.chunks:6d}  "
            f"{r.bytes_sent / 1e6:7.2f}  {r.bytes_back / 1e6:7.2f}  {work:11.3g}  {per:14.2e}  {ls:7.2f}  {rs:9.2f}  "
            f"{r.seconds:25.2f}"
        )
    if not same:
        sys.exit("the cluster's result differs from the local one")


if __name__ == "__main__":
    main()

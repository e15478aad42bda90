"""vek_math beside gplearn and pyoperon on the development set of laws (clean data).

    bash scripts/dev.sh bench bench_peers [--quick] [--every N] [--only SUBSTR] [--rows 100]
        [--seed 0] [--time-limit 30] [--repeat-laws 3] [--method NAME ...]

Each method fits each law of laws.py once on `--rows` clean training rows, and
is judged on 500 fresh rows as bench_discovery judges clean data: recovered
when max |pred - y| / max(1, |y|) < 1e-6. Reported per method: recovered
laws, the median fit time, the median of that error (how exact the fits
are), fits stopped by the time limit, and determinism: on the first
`--repeat-laws` laws the method fits again with the same options and seed,
and once more on another thread count (1 against 2); "same" means the fresh
rows' predictions equal bit for bit. gplearn's repeats run the generations its
first fit reached, so that the clock does not decide.

Budgets: each method's defaults, seeded (random_state = --seed), plus a time
limit per fit. vek: SymbolicRegressor's defaults with time_limit. gplearn:
its defaults (population 1000, 20 generations, + - × ÷) run one generation
at a time with warm_start (the same run as 20 at once) until the 20th or the
time limit. pyoperon: its defaults (+ - × ÷ and fitted constants) with
max_time. A fit stopped by its limit is judged on what it found.

The peers are installed only in their own venv, build/bench-peers (made on
first use with pip, at the pins of PEERS), never in the test venv: this
script runs itself there as a worker per method and reads its JSON lines.
`--quick`: the laws of laws.QUICK; `--every N`: every N-th of the chosen laws.
The machine may be busy with other work: fit times are those of this run.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_discovery import judge, law_data, predict
from laws import LAWS, QUICK, short_name

HERE = os.path.dirname(os.path.abspath(__file__))
PEER_VENV = os.path.join(HERE, "..", "build", "bench-peers")
PEERS = ["gplearn==0.4.3", "pyoperon==0.6.2", "scikit-learn", "pandas"]


class Vek:
    budget = None

    def __init__(self, seed, threads, time_limit, budget=None):
        from vek_math import SymbolicRegressor

        self.model = SymbolicRegressor(n_jobs=threads, time_limit=time_limit)

    def fit(self, X, y):
        self.model.fit(X, y)
        self.timed_out = self.model.stopped_ == "time_limit"
        self.formula_ = self.model.formula_
        return self

    def predict(self, X):
        return self.model.predict(X)


class Gplearn:
    def __init__(self, seed, threads, time_limit, budget=None):
        from gplearn.genetic import SymbolicRegressor

        self.model = SymbolicRegressor(random_state=seed, n_jobs=threads, warm_start=True, generations=1)
        # A repeat runs the generations of the first fit, whatever the clock.
        self.generations = budget or SymbolicRegressor().generations
        self.time_limit = float("inf") if budget else time_limit

    def fit(self, X, y):
        X, m = array(X), self.model
        start = time.perf_counter()
        m.fit(X, y)
        # Stops, as gplearn does, once the best fitness meets the stopping criterion.
        while m.generations < self.generations and m.run_details_["best_fitness"][-1] > m.stopping_criteria:
            if time.perf_counter() - start >= self.time_limit:
                break
            m.set_params(generations=m.generations + 1)
            m.fit(X, y)
        self.timed_out = m.generations < self.generations and m.run_details_["best_fitness"][-1] > m.stopping_criteria
        self.formula_ = str(m._program)
        self.budget = m.generations
        return self

    def predict(self, X):
        return self.model.predict(array(X))


class Pyoperon:
    budget = None

    def __init__(self, seed, threads, time_limit, budget=None):
        from pyoperon.sklearn import SymbolicRegressor

        self.model = SymbolicRegressor(random_state=seed, n_threads=threads, max_time=max(1, round(time_limit)))
        self.time_limit = time_limit

    def fit(self, X, y):
        start = time.perf_counter()
        self.model.fit(array(X), y)
        self.timed_out = time.perf_counter() - start >= self.time_limit
        self.formula_ = self.model.get_model_string(self.model.model_, 4, list(X.columns))
        return self

    def predict(self, X):
        return self.model.predict(array(X))


def array(X):
    """X as a writable float64 array (pandas hands out read-only views, which
    pyoperon's binding refuses)."""
    return np.array(X.to_numpy(dtype=np.float64))


METHODS = {"vek": Vek, "gplearn": Gplearn, "pyoperon": Pyoperon}


def one_fit(cls, law, args, threads, budgets):
    """A JSON-ready record of one fit of `law`; its budget (where the method
    has one that the clock can cut short) goes into `budgets` on the first
    fit, and later fits of the law run that budget."""
    X, y, X_test, y_test = law_data(law, args.rows, args.seed, noisy=False)
    model = cls(args.seed, threads, args.time_limit, budgets.get(law.name))
    start = time.perf_counter()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model.fit(X, y)
    except Exception as exc:  # a miss, reported with its reason
        return {"law": law.name, "seconds": time.perf_counter() - start, "error": f"{type(exc).__name__}: {exc}"}
    seconds = time.perf_counter() - start
    budgets.setdefault(law.name, model.budget)
    ok, _ = judge(model, law, X_test, y_test, noisy=False)
    pred = predict(model, X_test)
    with np.errstate(all="ignore"):
        worst = float(np.max(np.abs(pred - y_test) / np.maximum(1.0, np.abs(y_test))))
    return {
        "law": law.name,
        "seconds": seconds,
        "ok": ok,
        "err": worst if np.isfinite(worst) else float("inf"),
        "timed_out": bool(model.timed_out),
        "formula": model.formula_,
        "bits": pred.tobytes().hex(),
    }


def work(name, laws, args):
    """Fits `laws` with method `name`, printing one JSON line per fit: every
    law on one thread, then the first --repeat-laws again on one and on two."""
    cls, budgets = METHODS[name], {}
    for law in laws:
        print(json.dumps(dict(one_fit(cls, law, args, 1, budgets), run="first")), flush=True)
    for law in laws[: args.repeat_laws]:
        print(json.dumps(dict(one_fit(cls, law, args, 1, budgets), run="again")), flush=True)
        print(json.dumps(dict(one_fit(cls, law, args, 2, budgets), run="threads")), flush=True)


def peer_python():
    """The interpreter of the peers' venv, made and filled on first use."""
    python = os.path.join(PEER_VENV, "bin", "python")
    stamp = os.path.join(PEER_VENV, ".peers")
    if not os.path.exists(stamp) or read(stamp) != " ".join(PEERS):
        print(f"installing {' '.join(PEERS)} into {os.path.normpath(PEER_VENV)}", flush=True)
        base = getattr(sys, "_base_executable", sys.executable)
        subprocess.run([base, "-m", "venv", PEER_VENV], check=True)
        subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", *PEERS], check=True)
        with open(stamp, "w") as f:
            f.write(" ".join(PEERS))
    return python


def read(path):
    with open(path) as f:
        return f.read()


def records(name, laws, args):
    """The JSON records of method `name`, printed as they come."""
    forwarded = ["--rows", str(args.rows), "--seed", str(args.seed), "--time-limit", str(args.time_limit)]
    forwarded += ["--repeat-laws", str(args.repeat_laws)]
    python = sys.executable if name == "vek" else peer_python()
    cmd = [python, "-E", "-s", os.path.abspath(__file__), "--worker", name, *forwarded]
    names = [law.name for law in laws]
    out = []
    with subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as proc:
        proc.stdin.write(json.dumps(names))
        proc.stdin.close()
        for line in proc.stdout:
            rec = json.loads(line)
            out.append(rec)
            mark = "err" if "error" in rec else ("yes" if rec["ok"] else " no")
            shown = rec.get("error") or rec["formula"]
            print(f"  {rec['run']:<7} {mark} {rec['seconds']:6.2f} s  {short_name_of(rec['law']):<28} {shown[:90]}")
    if proc.returncode != 0:
        raise SystemExit(f"the {name} worker failed ({proc.returncode})")
    return out


def short_name_of(name):
    return name.split("  ")[0]


def summary_row(name, recs):
    first = [r for r in recs if r["run"] == "first"]
    by_law = {r["law"]: r for r in first}
    hits = sum(r.get("ok", False) for r in first)
    errs = [r.get("err", float("inf")) for r in first]
    outs = sum(r.get("timed_out", False) for r in first)

    def same(run):
        pairs = [(by_law[r["law"]], r) for r in recs if r["run"] == run]
        n = sum(a.get("bits") is not None and a.get("bits") == b.get("bits") for a, b in pairs)
        return f"{n}/{len(pairs)}"

    return (
        f"| {name} | {hits}/{len(first)} | {statistics.median(r['seconds'] for r in first):.2f} s "
        f"| {statistics.median(errs):.1e} | {outs} | {same('again')} | {same('threads')} |"
    )


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="the laws of laws.QUICK")
    ap.add_argument("--every", type=int, default=1, help="every N-th of the chosen laws")
    ap.add_argument("--only", metavar="SUBSTR", help="only laws whose name holds SUBSTR")
    ap.add_argument("--rows", type=int, default=100, help="training rows per law")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--time-limit", type=float, default=30.0, help="seconds per fit (default 30)")
    ap.add_argument("--repeat-laws", type=int, default=3, help="laws fitted again for determinism (default 3)")
    ap.add_argument("--method", action="append", choices=sorted(METHODS), help="repeatable; default all")
    ap.add_argument("--worker", choices=sorted(METHODS), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.worker:
        wanted = json.loads(sys.stdin.read())
        work(args.worker, [law for law in LAWS if law.name in wanted], args)
        return

    laws = LAWS
    if args.quick:
        laws = [law for law in laws if short_name(law) in QUICK]
    if args.only:
        laws = [law for law in laws if args.only.lower() in law.name.lower()]
    laws = laws[:: args.every]
    methods = args.method or list(METHODS)
    print(
        f"{os.cpu_count()} processors, load average {os.getloadavg()[0]:.1f}; {len(laws)} clean laws, "
        f"{args.rows} rows, seed {args.seed}, time limit {args.time_limit:g} s per fit"
    )
    rows = []
    for name in methods:
        print(f"\n=== {name}")
        rows.append(summary_row(name, records(name, laws, args)))
    print(
        "\n| method | recovered (< 1e-6) | median fit | median max error | time-outs "
        "| same result twice | same on 1 and 2 threads |"
    )
    print("| --- | --- | --- | --- | --- | --- | --- |")
    print("\n".join(rows))
    print(f"\nload average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()

"""Discovery on the development set of laws, with and without noise, and on the diabetes data.

    bash scripts/dev.sh bench bench_discovery [--quick] [--only SUBSTR] [--rows 100] [--seed 0]
        [--noise-only | --clean-only | --diabetes-only]
        [--max-complexity N] [--beam-width N] [--max-params N] [--time-limit S]
        [--diabetes-time-limit S] [--method NAME ...]

The laws are those of laws.py (1 to 9 variables). Each law: `--rows` training
rows drawn uniformly from its ranges, and 500 fresh rows from the same ranges
to judge the fit (numpy's default_rng(seed), the same rows for every law with
the same ranges).

Clean: y without noise; a law counts as recovered when on the fresh rows
max |pred - y| / max(1, |y|) < 1e-6 (the rule of bench_constants).

Noisy (laws with at most 3 variables): the training y plus Gaussian noise of
standard deviation 1 % of the RMS of y over the training rows. A law counts
as recovered ("structure right, every constant within 1 %") when, on the
clean fresh rows:
  1. R^2 >= 0.999;
  2. max |pred - y| / max(|y|, RMS(y)) < 1 %: a single-term law whose
     constants are all within 1 % stays within 1 % of y at every row; the RMS
     floor keeps rows where y crosses zero from counting as errors;
and, where the model has a sympy() and sympy is installed, its expression
  3. uses the law's variables (laws.as_sympy), once constants below 1e-6 in
     magnitude are set to 0 and the others rounded to 4 significant digits;
  4. holds the law's kinds of functions (exp-like: exp, sinh, cosh, tanh;
     log; trig: sin, cos, tan; inverse trig: asin, acos, atan; abs ignored),
     exp of a sum split first so that exp(ln(p) - 3 ln(r)) counts as the
     power law it is: a cosine standing in for a square within the sampled
     ranges is not the law;
  5. needs every fitted constant: no constant can be set to 0 with 1 and 2
     still holding (a noise-fitted offset such as sqrt(T/M) - 2.6 where the
     law has none is an extra term).
Where 3 to 5 cannot be checked, 1 and 2 decide. The detail column shows R^2,
the relative error and the first of 3 to 5 that failed ("vars ≠", "funcs ≠",
"extra c"), or "struct ok".

A fit that reaches `--time-limit` (the estimator's stopped_ == "time_limit",
or a TimeoutError) counts as a miss, shown as "t/o"; a fit that raises counts
as a miss, shown as "err".

Reported per law: recovered or not, the fit's wall time, the formula; then per
variable-count bucket (1-3, 4-6, 7-9, all): recovered count and share, the
median and 90th percentile (numpy's linear interpolation) of the fit times,
and the time-outs.

Diabetes: scikit-learn's bundled diabetes data (442 rows, 10 features), 5
train/test splits of KFold(shuffle=True, random_state=seed); per split the
test R^2 of the method and of LinearRegression on the same split, and the size
of the method's formula (its complexity); then the means. Fits get
`--diabetes-time-limit` seconds (a time-out is shown, the formula found so
far is scored).

Methods: METHODS maps a name to a callable that takes the options given on
the command line (a dict: max_complexity, beam_width, max_params, time_limit,
only those given plus the time limit) and returns an object with fit(X, y)
and predict(X), X a pandas DataFrame whose columns are named after the
variables. Ours is "vek" (SymbolicRegressor, its defaults unless overridden).
A method may have formula_, sympy(), stopped_ and equations_/best_index_;
what it lacks is not shown or not checked.

`--quick`: the laws named in laws.QUICK and the first 2 diabetes splits.
`--only SUBSTR`: the laws whose name holds SUBSTR (any case), no diabetes.
The machine may be busy with other work: fit times are those of this run.
"""

import argparse
import inspect
import os
import statistics
import sys
import time
import warnings

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from laws import LAWS, QUICK, as_sympy, short_name

TEST_ROWS = 500
EXACT = 1e-6
NOISE = 0.01
NOISY_MAX_VARIABLES = 3
R2_MIN = 0.999
REL_MAX = 0.01
BUCKETS = [("1-3", 1, 3), ("4-6", 4, 6), ("7-9", 7, 9), ("all", 1, 9)]
DIABETES_SPLITS = 5
QUICK_DIABETES_SPLITS = 2


def make_vek(options):
    # Imported here: bench_peers runs this module's data and judging code in a
    # venv of other packages, without vek_math.
    from vek_math import SymbolicRegressor

    return SymbolicRegressor(**options)


# name: callable(options) -> an unfitted model with fit/predict
METHODS = {"vek": make_vek}


# ---- one fit ------------------------------------------------------------------


def fit(make, options, X, y):
    """(fitted model or None, wall seconds, status): status is "ok", "t/o"
    (time limit reached) or "err: ..." (the fit raised)."""
    model = make(options)
    t0 = time.perf_counter()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model.fit(X, y)
    except TimeoutError:
        return None, time.perf_counter() - t0, "t/o"
    except Exception as exc:  # a miss, reported with its reason
        return None, time.perf_counter() - t0, f"err: {type(exc).__name__}: {exc}"
    seconds = time.perf_counter() - t0
    return model, seconds, "t/o" if getattr(model, "stopped_", None) == "time_limit" else "ok"


def predict(model, X):
    with np.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.asarray(model.predict(X), dtype=np.float64)


def formula_of(model):
    return "" if model is None else str(getattr(model, "formula_", type(model).__name__))


def size_of(model):
    """The selected formula's complexity, where the model reports one."""
    try:
        return int(model.equations_["complexity"].iat[model.best_index_])
    except (AttributeError, KeyError, IndexError, TypeError):
        return None


def r2(pred, y):
    with np.errstate(all="ignore"):
        value = 1.0 - np.sum((pred - y) ** 2) / np.sum((y - np.mean(y)) ** 2)
    return float(value) if np.isfinite(value) else -np.inf


# ---- the laws ---------------------------------------------------------------


def sample(ranges, rows, rng):
    return np.column_stack([rng.uniform(lo, hi, rows) for lo, hi in ranges])


def law_data(law, rows, seed, noisy):
    rng = np.random.default_rng(seed)
    X, X_test = sample(law.ranges, rows, rng), sample(law.ranges, TEST_ROWS, rng)
    y, y_test = law.target(*X.T), law.target(*X_test.T)
    if noisy:
        y = y + rng.normal(0.0, NOISE * np.sqrt(np.mean(y**2)), rows)
    columns = list(law.variables)
    return pd.DataFrame(X, columns=columns), y, pd.DataFrame(X_test, columns=columns), y_test


def noisy_fit(pred, y):
    """(R^2, max relative error with the RMS floor) of pred against the clean y."""
    with np.errstate(all="ignore"):
        rel = np.max(np.abs(pred - y) / np.maximum(np.abs(y), np.sqrt(np.mean(y**2))))
    rel = float(rel) if np.isfinite(rel) else np.inf
    return r2(pred, y), rel


def close_enough(pred, y):
    score, rel = noisy_fit(pred, y)
    return score >= R2_MIN and rel < REL_MAX


def function_kinds(expr):
    """The kinds of functions in a sympy expression, exp of a sum split first
    (so that exp(ln(p) - 3 ln(r)) is the power law it stands for)."""
    import sympy

    kinds = {
        sympy.exp: "exp",
        sympy.sinh: "exp",
        sympy.cosh: "exp",
        sympy.tanh: "exp",
        sympy.log: "log",
        sympy.sin: "trig",
        sympy.cos: "trig",
        sympy.tan: "trig",
        sympy.asin: "arc",
        sympy.acos: "arc",
        sympy.atan: "arc",
        sympy.Abs: None,
    }
    split = sympy.expand(
        expr, deep=True, mul=False, multinomial=False, power_exp=True, power_base=False, log=False, basic=False
    )
    found = {kinds.get(f.func, f.func.__name__) for f in split.atoms(sympy.Function)}
    return found - {None}


def structure(model, law, X_test, y_test):
    """(verdict, mark): whether the model's sympy expression has the law's
    structure as far as the module docstring's rule checks it; verdict None
    where it cannot be checked."""
    if not hasattr(model, "sympy"):
        return None, "struct ?"
    try:
        import sympy

        symbols = model.symbols() if hasattr(model, "symbols") else []
        # The plain formula where the model also has a guarded one.
        plain = model.sympy(guarded=False) if "guarded" in inspect.signature(model.sympy).parameters else model.sympy()
        expr = plain.xreplace({s: sympy.Symbol(v) for s, v in zip(symbols, law.variables)})
        truth = as_sympy(law)
        floats = sorted(expr.atoms(sympy.Float), key=float)
        rounded = expr.xreplace({f: (sympy.Integer(0) if abs(f) < 1e-6 else sympy.Float(f, 4)) for f in floats})
        if {str(v) for v in rounded.free_symbols} != {str(v) for v in truth.free_symbols}:
            return False, "vars ≠"
        if function_kinds(expr) != function_kinds(truth):
            return False, "funcs ≠"
        symbols = [sympy.Symbol(v) for v in law.variables]
        columns = [X_test[v].to_numpy() for v in law.variables]
        for f in floats:
            without = sympy.lambdify(symbols, expr.xreplace({f: sympy.Integer(0)}), "numpy")
            with np.errstate(all="ignore"):
                pred = np.broadcast_to(np.asarray(without(*columns), dtype=np.float64), y_test.shape)
            if close_enough(pred, y_test):
                return False, "extra c"
    except Exception:
        return None, "struct ?"
    return True, "struct ok"


def judge(model, law, X_test, y_test, noisy):
    """(recovered, detail text)."""
    pred = predict(model, X_test)
    if not noisy:
        with np.errstate(all="ignore"):
            worst = np.max(np.abs(pred - y_test) / np.maximum(1.0, np.abs(y_test)))
        return bool(worst < EXACT), f"err {worst:8.2e}"
    score, rel = noisy_fit(pred, y_test)
    verdict, mark = structure(model, law, X_test, y_test) if close_enough(pred, y_test) else (None, "")
    ok = bool(score >= R2_MIN and rel < REL_MAX and verdict is not False)
    return ok, f"R2 {score:9.6f} rel {100 * rel:7.3f}% {mark:<9}"


def run_laws(laws, make, options, rows, seed, noisy):
    results = []
    for law in laws:
        X, y, X_test, y_test = law_data(law, rows, seed, noisy)
        model, seconds, status = fit(make, options, X, y)
        if model is None:
            ok, detail = False, ""
        else:
            ok, detail = judge(model, law, X_test, y_test, noisy)
        if status != "ok":
            ok = False
        shown = "yes" if ok else (status[:3] if status != "ok" else " no")
        print(
            f"  {shown}  {seconds:6.2f} s  {len(law.variables)}  {law.name[:58]:<58} {detail:<34} "
            f"{formula_of(model) or status}",
            flush=True,
        )
        results.append((law, ok, seconds, status))
    return results


def summarize(results, title):
    print(f"  {title}:")
    print(f"    {'vars':<5} {'recovered':>13} {'median fit':>11} {'p90 fit':>9} {'time-outs':>9}")
    for label, lo, hi in BUCKETS:
        part = [r for r in results if lo <= len(r[0].variables) <= hi]
        if not part:
            continue
        hits = sum(r[1] for r in part)
        times = [r[2] for r in part]
        outs = sum(r[3] == "t/o" for r in part)
        print(
            f"    {label:<5} {hits:>4}/{len(part):<3} {100 * hits / len(part):3.0f} % "
            f"{statistics.median(times):9.2f} s {np.percentile(times, 90):7.2f} s {outs:>9}"
        )


# ---- diabetes -----------------------------------------------------------------


def run_diabetes(make, options, splits, seed):
    from sklearn.datasets import load_diabetes
    from sklearn.linear_model import LinearRegression
    from sklearn.model_selection import KFold

    X, y = load_diabetes(return_X_y=True, as_frame=True)
    y = y.to_numpy(dtype=np.float64)
    folds = list(KFold(n_splits=DIABETES_SPLITS, shuffle=True, random_state=seed).split(X))[:splits]
    print(f"  {'split':<6} {'R2':>8} {'R2 linear':>10} {'size':>5} {'fit':>8}  formula")
    ours, linear, sizes = [], [], []
    for i, (train, test) in enumerate(folds):
        X_train, X_test = X.iloc[train], X.iloc[test]
        model, seconds, status = fit(make, options, X_train, y[train])
        score = r2(predict(model, X_test), y[test]) if model is not None else -np.inf
        lin = r2(LinearRegression().fit(X_train, y[train]).predict(X_test), y[test])
        size = size_of(model)
        ours.append(score)
        linear.append(lin)
        sizes.append(size)
        note = "" if status == "ok" else f"[{status}] "
        print(
            f"  {i:<6} {score:8.4f} {lin:10.4f} {'-' if size is None else size:>5} {seconds:6.2f} s  "
            f"{note}{formula_of(model)}",
            flush=True,
        )
    known = [s for s in sizes if s is not None]
    print(f"  {'mean':<6} {np.mean(ours):8.4f} {np.mean(linear):10.4f} {f'{np.mean(known):.1f}' if known else '-':>5}")


# ---- main -----------------------------------------------------------------------


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="the laws of laws.QUICK and 2 diabetes splits")
    ap.add_argument("--only", metavar="SUBSTR", help="only laws whose name holds SUBSTR (no diabetes)")
    ap.add_argument("--rows", type=int, default=100, help="training rows per law")
    ap.add_argument("--seed", type=int, default=0)
    part = ap.add_mutually_exclusive_group()
    part.add_argument("--noise-only", action="store_true", help="only the laws with 1 %% noise")
    part.add_argument("--clean-only", action="store_true", help="only the laws without noise")
    part.add_argument("--diabetes-only", action="store_true", help="only the diabetes data")
    ap.add_argument("--max-complexity", type=int)
    ap.add_argument("--beam-width", type=int)
    ap.add_argument("--max-params", type=int)
    ap.add_argument(
        "--time-limit",
        type=float,
        default=20.0,
        help="seconds per fit of a law, a miss when reached (0: none; default 20)",
    )
    ap.add_argument(
        "--diabetes-time-limit", type=float, default=60.0, help="seconds per diabetes fit (0: none; default 60)"
    )
    ap.add_argument(
        "--method", action="append", choices=sorted(METHODS), help="a method of METHODS (repeatable; default vek)"
    )
    args = ap.parse_args()

    options = {
        name: getattr(args, name)
        for name in ("max_complexity", "beam_width", "max_params")
        if getattr(args, name) is not None
    }
    law_options = dict(options, time_limit=args.time_limit or None)
    diabetes_options = dict(options, time_limit=args.diabetes_time_limit or None)

    laws = LAWS
    if args.quick:
        laws = [law for law in laws if short_name(law) in QUICK]
    if args.only:
        laws = [law for law in laws if args.only.lower() in law.name.lower()]
    parts = {
        "clean": not (args.noise_only or args.diabetes_only),
        "noisy": not (args.clean_only or args.diabetes_only),
        "diabetes": not (args.noise_only or args.clean_only or args.only),
    }
    noisy_laws = [law for law in laws if len(law.variables) <= NOISY_MAX_VARIABLES]

    start = time.perf_counter()
    print(
        f"{os.cpu_count()} processors, load average {os.getloadavg()[0]:.1f}; "
        f"options {law_options} per law, {diabetes_options} on diabetes"
    )
    for name in args.method or ["vek"]:
        make = METHODS[name]
        print(f"\n=== {name}: {make(law_options)!r}")
        if parts["clean"] and laws:
            print(
                f"\nClean: {len(laws)} laws, {args.rows} training rows, {TEST_ROWS} fresh rows, "
                f"exact when max |pred - y| / max(1, |y|) < {EXACT:g}"
            )
            clean = run_laws(laws, make, law_options, args.rows, args.seed, noisy=False)
            summarize(clean, f"{name}, clean")
        if parts["noisy"] and noisy_laws:
            print(
                f"\n1 % noise: {len(noisy_laws)} laws of at most {NOISY_MAX_VARIABLES} variables, "
                f"recovered when R2 >= {R2_MIN} and max rel. error < {100 * REL_MAX:g} % on clean fresh rows "
                f"and the structure checks out (module docstring)"
            )
            noisy = run_laws(noisy_laws, make, law_options, args.rows, args.seed, noisy=True)
            summarize(noisy, f"{name}, 1 % noise")
        if parts["diabetes"]:
            splits = QUICK_DIABETES_SPLITS if args.quick else DIABETES_SPLITS
            print(
                f"\nDiabetes: {splits} of {DIABETES_SPLITS} KFold splits (shuffle, random_state={args.seed}), "
                f"test R2 against LinearRegression"
            )
            run_diabetes(make, diabetes_options, splits, args.seed)
    print(f"\ntotal {time.perf_counter() - start:.0f} s, load average {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()

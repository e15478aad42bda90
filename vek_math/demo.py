"""A tour of vek_math on built-in sample data.

    python -m vek_math.demo [--no-bench]

Runs the element-wise kernels on a small table of readings and the same
rules as numpy ufuncs, recovers the formula behind the shipped sample table
with the command line, fits formulas with numeric constants to built-in
physics data with SymbolicRegressor, and finishes with the kernel benchmark at
a small size (when numpy and the benchmarks folder are present).
"""

import argparse
import math
import os
import subprocess
import sys
from collections.abc import Callable, Sequence

from vek_math import cli
from vek_math import vek_core as v

# A small curve for the kernels: y = x * x + sin(x).
SAMPLE_X = [0.25 * i for i in range(1, 25)]
SAMPLE_Y = [x * x + math.sin(x) for x in SAMPLE_X]


def show(label: str, values: Sequence[float], exact: bool = False) -> None:
    body = ", ".join(repr(x) if exact else f"{x:.6g}" for x in values[:6])
    more = f", … ({len(values)} values)" if len(values) > 6 else ""
    print(f"  {label:<28} [{body}{more}]")


def kernels() -> None:
    print("Element-wise kernels on the sample (parallel, bit-exact):")
    xs, ys = SAMPLE_X, SAMPLE_Y
    show("x", xs)
    show("exp_n(x)", v.exp_n(xs))
    show("ln_n(y)", v.ln_n(ys))
    show("tension_n(x, y) = e^x - ln y", v.tension_n(xs, ys))
    show("ln_n([0, -0, -e])", v.ln_n([0.0, -0.0, -math.e]), exact=True)
    show("exp_n([710, 1000]) (tamed)", v.exp_n([710.0, 1000.0]), exact=True)
    print(f"  boost_n((0, 1), phi=0.5, c=1)  {v.boost_n([(0.0, 1.0)], [0.5], 1.0)[0]}")
    print()


def ufuncs() -> None:
    import numpy as np

    from vek_math import ufuncs as uf

    print("The same rules as numpy ufuncs (broadcasting, out=, any strides):")
    xs, ys = np.array(SAMPLE_X), np.array(SAMPLE_Y)
    t = uf.tension(xs, ys)
    same = t.tobytes() == np.array(v.tension_n(SAMPLE_X, SAMPLE_Y)).tobytes()
    print(f"  ufuncs.tension(x, y)         {np.array2string(t[:4], precision=6)} … bit-identical to tension_n: {same}")
    grid = uf.exp(xs[:3, None]) * uf.cos(xs[None, :3])
    print(f"  exp(x)[:, None] * cos(x)     shape {grid.shape}, first row {np.array2string(grid[0], precision=6)}")
    print()


# Built-in physics data: (name, target, variables with their ranges, law).
PHYSICS: list[tuple[str, str, dict[str, tuple[float, float]], Callable[..., float]]] = [
    ("pendulum period", "T", {"L": (0.1, 2.0), "g": (9.0, 10.5)}, lambda L, g: 2 * math.pi * math.sqrt(L / g)),
    (
        "Coulomb potential",
        "V",
        {"q": (0.5, 3.0), "eps": (0.5, 2.0), "r": (0.5, 4.0)},
        lambda q, eps, r: q / (4 * math.pi * eps * r),
    ),
    ("thrown ball height", "h", {"t": (0.0, 3.0), "v0": (0.0, 20.0)}, lambda t, v0: v0 * t - 4.905 * t * t),
]


def estimator() -> None:
    try:
        import pandas as pd

        from vek_math import SymbolicRegressor
    except ImportError as e:
        print(f"(SymbolicRegressor skipped: {e})")
        return
    import random

    print("SymbolicRegressor with fitted constants on built-in physics data (100 rows each):")
    rng = random.Random(7)
    for name, target, ranges, law in PHYSICS:
        df = pd.DataFrame({k: [rng.uniform(*r) for _ in range(100)] for k, r in ranges.items()})
        y = [law(*row) for row in df.itertuples(index=False)]
        model = SymbolicRegressor().fit(df, y)
        print(f"  {name:<18} {target} ≈ {model.formula_:<36} R² = {model.score(df, y):.12f}")
    print("  the last one as a table of its Pareto front:")
    print("    " + model.equations_[["complexity", "loss", "formula"]].to_string(index=False).replace("\n", "\n    "))
    print()


def discovery() -> None:
    print("Formula discovery on the built-in sample table (vek-math discover):")
    sys.stdout.flush()
    cli.main(["discover", "--progress"])
    print()


def bench() -> None:
    # A source checkout names its benchmarks folder (dev.sh demo does);
    # otherwise look next to the package.
    folder = os.environ.get("VEK_BENCHMARKS") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "benchmarks"
    )
    script = os.path.join(folder, "bench_kernels.py")
    try:
        import numpy  # noqa: F401
    except ImportError:
        print("(numpy not installed: kernel benchmark skipped)")
        return
    if not os.path.exists(script):
        print("(benchmarks/ not found next to the package: kernel benchmark skipped)")
        return
    print("Kernel benchmark at small sizes (ratios > 1: vek_core is faster):")
    sys.stdout.flush()
    subprocess.run([sys.executable, "-E", "-s", script, "--sizes", "1000", "100000", "--repeat", "3"], check=True)


def main(argv: Sequence[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--no-bench", action="store_true", help="skip the kernel benchmark")
    args = ap.parse_args(argv)
    kernels()
    ufuncs()
    discovery()
    estimator()
    if not args.no_bench:
        bench()


if __name__ == "__main__":
    main()

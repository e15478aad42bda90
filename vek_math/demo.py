"""A tour of vek_math on built-in sample data.

    python -m vek_math.demo [--no-bench]

Runs the element-wise kernels on a small table of readings, recovers the
formula behind a sampled curve with find_formula, and finishes with the kernel
benchmark at a small size (when numpy and the benchmarks folder are present).
"""

import argparse
import math
import os
import subprocess
import sys

from vek_math import cli
from vek_math import vek_core as v

# A small curve for the kernels: y = x * x + sin(x).
SAMPLE_X = [0.25 * i for i in range(1, 25)]
SAMPLE_Y = [x * x + math.sin(x) for x in SAMPLE_X]


def show(label, values, exact=False):
    body = ", ".join(repr(x) if exact else f"{x:.6g}" for x in values[:6])
    more = f", … ({len(values)} values)" if len(values) > 6 else ""
    print(f"  {label:<28} [{body}{more}]")


def kernels():
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


def discovery():
    print("Formula discovery on the built-in sample table (vek-math discover):")
    sys.stdout.flush()
    cli.main(["discover", "--progress"])
    print()


def bench():
    # A source checkout names its benchmarks folder (dev.sh demo does);
    # otherwise look next to the package.
    folder = os.environ.get("VEK_BENCHMARKS") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "benchmarks")
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


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--no-bench", action="store_true", help="skip the kernel benchmark")
    args = ap.parse_args(argv)
    kernels()
    discovery()
    if not args.no_bench:
        bench()


if __name__ == "__main__":
    main()

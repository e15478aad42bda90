"""Command line of vek_math.

    vek-math discover [FILE.csv] [--target NAME] [options]
    python -m vek_math discover [FILE.csv] ...

Reads a CSV table with a header row, takes one column as the target (the last
by default) and every other column as a variable, in order, and searches for a
formula. Without a file it runs on the sample table shipped with the package.
"""

import argparse
import csv
import json
import math
import os
import sys
import time
from importlib import resources

from vek_math import _runtime, vek_core

SAMPLE = "sample.csv"


class UsageError(Exception):
    """A problem with the user's input: reported on one line, exit status 2."""


def var_name(i):
    return chr((120 + i) % 256)


def read_table(path):
    """Returns (header, columns) of a CSV file; every cell must be a number."""
    try:
        if path is None:
            text = resources.files("vek_math").joinpath("data", SAMPLE).read_text(encoding="utf-8")
            source = f"<sample {SAMPLE}>"
        else:
            with open(path, encoding="utf-8", newline="") as f:
                text = f.read()
            source = path
    except FileNotFoundError:
        raise UsageError(f"no such file: {path}")
    except IsADirectoryError:
        raise UsageError(f"{path} is a directory, not a CSV file")
    except (OSError, UnicodeDecodeError) as e:
        raise UsageError(f"cannot read {path}: {e}")
    rows = [r for r in csv.reader(text.splitlines()) if any(cell.strip() for cell in r)]
    if not rows:
        raise UsageError(f"{source} is empty")
    header = [h.strip() for h in rows[0]]
    if len(header) < 2:
        raise UsageError(f"{source} needs at least two columns (variables and a target), found {len(header)}")
    if len(rows) < 2:
        raise UsageError(f"{source} has a header but no data rows")
    columns = [[] for _ in header]
    for line, row in enumerate(rows[1:], start=2):
        if len(row) != len(header):
            raise UsageError(f"{source}, row {line}: {len(row)} cells, the header has {len(header)}")
        for j, cell in enumerate(row):
            try:
                columns[j].append(float(cell))
            except ValueError:
                raise UsageError(f"{source}, row {line}, column '{header[j]}': not a number: {cell.strip()!r}")
    return source, header, columns


def progress_printer(stream):
    start = time.perf_counter()

    def report(level, generated, scored, formula, error):
        best = "-" if formula is None else f"{formula}  (error {error:.3g})"
        print(f"level {level}: {generated} candidates, {scored} scored, best {best}  "
              f"[{time.perf_counter() - start:.1f}s]", file=stream, flush=True)

    return report


def discover(args):
    source, header, columns = read_table(args.file)
    target = header[-1] if args.target is None else args.target
    if target not in header:
        raise UsageError(f"unknown target column '{target}'; columns: {', '.join(header)}")
    t = header.index(target)
    names = [h for j, h in enumerate(header) if j != t]
    x_data = [c for j, c in enumerate(columns) if j != t]
    show_progress = args.progress or (not args.json and sys.stderr.isatty())
    _runtime.search_progress = progress_printer(sys.stderr) if show_progress else None
    try:
        t0 = time.perf_counter()
        result = vek_core.find_formula(
            x_data, columns[t], max_complexity=args.max_complexity, beam_width=args.beam_width,
            precision_goal=args.precision, use_trig=not args.no_trig, use_vek=not args.no_vek,
            complexity_penalty=args.penalty)
        seconds = time.perf_counter() - t0
    finally:
        _runtime.search_progress = None
    mapping = {var_name(i): name for i, name in enumerate(names)}
    if args.json:
        out = {"source": source, "target": target, "variables": mapping, "seconds": round(seconds, 6)}
        if result is not None:
            out.update(formula=result.formula, error=result.error if math.isfinite(result.error) else None,
                       complexity=result.complexity, latex=result.to_latex(), python=result.to_python())
        print(json.dumps(out, ensure_ascii=False))
        return 0 if result is not None else 1
    if result is None:
        print("no formula could be scored on this data")
        return 1
    width = max(len(k) for k in mapping)
    print(f"{target} ≈ {result.formula}")
    print(f"  error       {result.error:.6g} (RMSE × (1 + penalty × complexity))")
    print(f"  complexity  {result.complexity}")
    print(f"  LaTeX       {result.to_latex()}")
    print("  Python      " + result.to_python().replace("\n", "\n              "))
    print("  variables   " + ", ".join(f"{k:<{width}} = {v}" for k, v in mapping.items()))
    print(f"  data        {source}: {len(columns[t])} rows, searched in {seconds:.2f}s")
    return 0


def build_parser():
    p = argparse.ArgumentParser(prog="vek-math", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser("discover", help="find a formula for a CSV table (default: the built-in sample)")
    d.add_argument("file", nargs="?", help="CSV file with a header row (default: the built-in sample)")
    d.add_argument("--target", help="name of the target column (default: the last column)")
    d.add_argument("--max-complexity", type=int, default=8, help="node budget (default 8)")
    d.add_argument("--beam-width", type=int, default=2000, help="beam width (default 2000)")
    d.add_argument("--precision", type=float, default=1e-10, help="stop once the error is at most this")
    d.add_argument("--penalty", type=float, default=0.001, help="complexity penalty (default 0.001)")
    d.add_argument("--no-trig", action="store_true", help="leave out sin and cos")
    d.add_argument("--no-vek", action="store_true", help="leave out the vek operator")
    d.add_argument("--json", action="store_true", help="print one JSON object")
    d.add_argument("--progress", action="store_true", help="report each level on stderr (default: on a terminal)")
    return p


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    for name in ("max_complexity", "beam_width"):
        if getattr(args, name) < 0:
            parser.error(f"--{name.replace('_', '-')} must not be negative")
    try:
        return discover(args)
    except UsageError as e:
        print(f"vek-math: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("vek-math: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())

"""Command line of vek_math.

    vek-math discover [FILE.csv] [--target NAME] [options]
    python -m vek_math discover [FILE.csv] ...

Reads a CSV table with a header row, takes one column as the target (the last
by default) and every other column as a variable, in order, and searches for a
formula with vek_math.SymbolicRegressor (which needs scikit-learn and pandas).
Formulas are written with the column names; --all also prints the Pareto
front. Without a file it runs on the sample table shipped with the package.
The file must be a regular file of UTF-8 text (a byte-order mark is skipped)
of at most 64 MiB; every cell of the data rows must be a finite number. The
formula is also printed as a Python function of the columns that runs with
the standard library alone.
"""

import argparse
import csv
import io
import json
import math
import os
import stat
import sys
import time
import warnings
from array import array
from importlib import resources

from vek_math import _formula, _search

SAMPLE = "sample.csv"

# Largest table file read; reading stops with an error beyond it.
MAX_FILE_BYTES = 64 * 1024 * 1024

# The engine's formula text names variable i by one character, (120 + i) mod
# 256; from 136 on those are ordinary text and the search (which reads that
# text back) could not tell them apart.
MAX_VARIABLES = _formula.VAR_COUNT

# Stand-ins for a console that cannot show the formula's symbols.
_ASCII_FALLBACK = {"≈": "~=", "×": "x", "π": "pi"}


class UsageError(Exception):
    """A problem with the user's input: reported on one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    """Reports a bad command line on one line, like the input errors."""

    def error(self, message):
        self.exit(2, f"vek-math: error: {message}\n")


def _size_text(n):
    mib = 1024 * 1024
    return f"{n // mib} MiB" if n % mib == 0 else f"{n} bytes"


class _BoundedReader(io.RawIOBase):
    """A binary file that refuses to deliver more than `limit` bytes."""

    def __init__(self, raw, limit, source):
        self.raw, self.limit, self.source, self.total = raw, limit, source, 0

    def readable(self):
        return True

    def readinto(self, buffer):
        n = self.raw.readinto(buffer)
        self.total += n or 0
        if self.total > self.limit:
            raise UsageError(f"{self.source} is larger than {_size_text(self.limit)}, the most this command reads")
        return n

    def close(self):
        self.raw.close()
        super().close()


def open_table(path):
    """A text stream over a regular file, read in bounded steps."""
    # Non-blocking open: a FIFO is refused below instead of waiting for a writer.
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags)
    except FileNotFoundError:
        raise UsageError(f"no such file: {path}") from None
    except IsADirectoryError:
        raise UsageError(f"{path} is a directory, not a CSV file") from None
    except (OSError, ValueError) as e:
        raise UsageError(f"cannot read {path}: {getattr(e, 'strerror', None) or e}") from None
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise UsageError(f"{path} is a directory, not a CSV file")
        if not stat.S_ISREG(mode):
            raise UsageError(f"{path} is not a regular file")
        if os.fstat(fd).st_size > MAX_FILE_BYTES:
            raise UsageError(f"{path} is larger than {_size_text(MAX_FILE_BYTES)}, the most this command reads")
        if hasattr(os, "set_blocking"):
            os.set_blocking(fd, True)
        raw = io.FileIO(fd, "rb", closefd=True)
    except BaseException:
        os.close(fd)
        raise
    bounded = io.BufferedReader(_BoundedReader(raw, MAX_FILE_BYTES, path))
    return io.TextIOWrapper(bounded, encoding="utf-8-sig", newline="")


def parse_table(lines, source):
    """(header, columns) of CSV text; every data cell must be a finite number.
    Rows whose cells are all blank are skipped."""
    reader = csv.reader(lines)
    header = None
    columns = []
    row_number = 1  # the line on which the next record starts
    try:
        for row in reader:
            line, row_number = row_number, reader.line_num + 1
            if not any(cell.strip() for cell in row):
                if header is None and len(row) > 1:
                    raise UsageError(f"{source}, row {line}: the header row has no column names")
                continue
            if header is None:
                header = [h.strip() for h in row]
                check_header(header, source)
                columns = [array("d") for _ in header]
                continue
            if len(row) != len(header):
                raise UsageError(f"{source}, row {line}: {len(row)} cells, the header has {len(header)}")
            for j, cell in enumerate(row):
                try:
                    value = float(cell)
                except ValueError:
                    raise UsageError(
                        f"{source}, row {line}, column '{header[j]}': not a number: {cell.strip()!r}") from None
                if not math.isfinite(value):
                    raise UsageError(
                        f"{source}, row {line}, column '{header[j]}': not a finite number: {cell.strip()!r}")
                columns[j].append(value)
    except csv.Error as e:
        raise UsageError(f"{source}, row {reader.line_num}: {e}") from None
    except UnicodeDecodeError:
        raise UsageError(f"cannot read {source}: not UTF-8 text") from None
    except OSError as e:
        raise UsageError(f"cannot read {source}: {e.strerror or e}") from None
    if header is None:
        raise UsageError(f"{source} is empty")
    if not columns[0]:
        raise UsageError(f"{source} has a header but no data rows")
    return header, columns


def check_header(header, source):
    if len(header) < 2:
        raise UsageError(f"{source} needs at least two columns (variables and a target), found {len(header)}")
    if len(header) - 1 > MAX_VARIABLES:
        raise UsageError(f"{source} has {len(header)} columns; at most {MAX_VARIABLES + 1} "
                         f"(variables and a target) are supported")
    first = {}
    for j, name in enumerate(header):
        if name in first:
            raise UsageError(f"{source}: column name '{name}' appears twice (columns {first[name] + 1} and {j + 1})")
        first[name] = j


def read_table(path):
    """Returns (source, header, columns) of a CSV file or the sample table."""
    if path is None:
        source = f"<sample {SAMPLE}>"
        text = resources.files("vek_math").joinpath("data", SAMPLE).read_text(encoding="utf-8-sig")
        header, columns = parse_table(io.StringIO(text, newline=""), source)
        return source, header, columns
    with open_table(path) as stream:
        header, columns = parse_table(stream, path)
    return path, header, columns


def _encodable(stream, text):
    try:
        text.encode(getattr(stream, "encoding", None) or "utf-8")
    except (UnicodeEncodeError, LookupError):
        return False
    return True


def _write(text):
    """Writes to stdout, in ASCII stand-ins and escapes where its encoding
    cannot show a character."""
    out = sys.stdout
    if not _encodable(out, text):
        for symbol, fallback in _ASCII_FALLBACK.items():
            text = text.replace(symbol, fallback)
        if not _encodable(out, text) and hasattr(out, "reconfigure"):
            out.reconfigure(errors="backslashreplace")
    out.write(text)


def _estimator():
    try:
        from vek_math._estimator import SymbolicRegressor
    except ImportError as e:
        raise UsageError(str(e)) from None
    return SymbolicRegressor


def _latex(est):
    try:
        return est.latex()
    except ImportError:
        return None  # sympy is optional


def _finite(value):
    return value if math.isfinite(value) else None


def _table(est):
    """The Pareto front as aligned text rows, the selected one marked."""
    rows = [("", "complexity", "loss", "error", "formula")]
    for row in est.equations_.itertuples():
        rows.append(("*" if row.selected else "", str(row.complexity), f"{row.loss:.6g}", f"{row.error:.6g}",
                     row.formula))
    widths = [max(len(r[j]) for r in rows) for j in range(4)]
    return ["    " + "  ".join(c.ljust(w) for c, w in zip(r, widths)) + "  " + r[4] for r in rows]


def discover(args):
    source, header, columns = read_table(args.file)
    target = header[-1] if args.target is None else args.target
    if target not in header:
        raise UsageError(f"unknown target column '{target}'; columns: {', '.join(header)}")
    t = header.index(target)
    names = [h for j, h in enumerate(header) if j != t]
    SymbolicRegressor = _estimator()
    import numpy as np
    import pandas as pd

    X = pd.DataFrame({name: np.frombuffer(c, dtype=np.float64) for name, c in zip(header, columns) if name != target})
    y = np.frombuffer(columns[t], dtype=np.float64)
    show_progress = args.progress or (not args.json and sys.stderr.isatty())
    est = SymbolicRegressor(max_complexity=args.max_complexity, beam_width=args.beam_width,
                            precision_goal=args.precision, use_trig=not args.no_trig, use_vek=not args.no_vek,
                            complexity_penalty=args.penalty, verbose=show_progress,
                            constants=not args.no_constants, max_params=args.max_params)
    t0 = time.perf_counter()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", _search.SearchStoppedWarning)
            est.fit(X, y)
    except ValueError as e:
        if "no formula could be scored" not in str(e):
            raise
        found = False
    else:
        found = True
    seconds = time.perf_counter() - t0
    interrupted = found and est.stopped_ == "interrupted"
    if args.json:
        out = {"source": source, "target": target, "variables": names, "seconds": round(seconds, 6)}
        if found:
            best = est.equations_.iloc[est.best_index_]
            out.update(formula=est.formula_, params=list(best.params), error=_finite(best.error),
                       loss=_finite(best.loss), complexity=int(best.complexity), latex=_latex(est),
                       python=est.python_source())
            if args.all:
                out["equations"] = [
                    {"complexity": int(r.complexity), "loss": _finite(r.loss), "error": _finite(r.error),
                     "formula": r.formula, "params": list(r.params), "selected": bool(r.selected)}
                    for r in est.equations_.itertuples()]
        text = json.dumps(out, ensure_ascii=False)
        if not _encodable(sys.stdout, text):
            text = json.dumps(out)
        _write(text + "\n")
    elif not found:
        _write("no formula could be scored on this data\n")
    else:
        best = est.equations_.iloc[est.best_index_]
        python = est.python_source()
        if not _encodable(sys.stdout, python):
            python = est.python_source(ascii_only=True)
        latex = _latex(est)
        lines = [
            f"{target} ≈ {est.formula_}",
            f"  error       {best.error:.6g} (RMSE × (1 + penalty × complexity))",
            f"  loss        {best.loss:.6g} (RMSE)",
            f"  complexity  {best.complexity}",
            *([f"  LaTeX       {latex}"] if latex is not None else []),
            "  variables   " + ", ".join(names),
            f"  data        {source}: {len(y)} rows, searched in {seconds:.2f}s",
        ]
        if args.all:
            lines += ["  Pareto front (the lowest loss at each complexity; * marks the formula above):", *_table(est)]
        lines += ["  Python      the function below, standard library only:", "", python]
        _write("\n".join(lines))
    if interrupted:
        raise KeyboardInterrupt
    return 0 if found else 1


def _count(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    if value >= 2**64:
        raise argparse.ArgumentTypeError(f"must be below 2^64, not {value}")
    return value


def _params(text):
    value = _count(text)
    if not 2 <= value <= 16:
        raise argparse.ArgumentTypeError(f"must be between 2 and 16, not {value}")
    return value


def _amount(allow_inf):
    def convert(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if math.isnan(value) or value < 0 or (math.isinf(value) and not allow_inf):
            raise argparse.ArgumentTypeError(
                f"must be a {'' if allow_inf else 'finite '}number of at least 0, not {text!r}")
        return value

    return convert


def build_parser():
    p = _Parser(prog="vek-math", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser(
        "discover", help="find a formula for a CSV table (default: the built-in sample)",
        description=f"Find a formula for one column of a CSV table. The file must be a regular file of UTF-8 "
                    f"text of at most {_size_text(MAX_FILE_BYTES)}, with a header row of distinct column "
                    f"names; every data cell must be a finite number.")
    d.add_argument("file", nargs="?",
                   help=f"CSV file with a header row, at most {_size_text(MAX_FILE_BYTES)} "
                        f"(default: the built-in sample)")
    d.add_argument("--target", help="name of the target column (default: the last column)")
    d.add_argument("--max-complexity", type=_count, default=8, help="node budget (default 8)")
    d.add_argument("--beam-width", type=_count, default=2000, help="beam width (default 2000)")
    d.add_argument("--precision", type=_amount(True), default=1e-10, help="stop once the error is at most this")
    d.add_argument("--penalty", type=_amount(False),
                   help="complexity penalty (default 0.01 with fitted constants, 0.001 without)")
    d.add_argument("--no-trig", action="store_true", help="leave out sin and cos")
    d.add_argument("--no-vek", action="store_true", help="leave out the vek operator")
    d.add_argument("--no-constants", action="store_true",
                   help="no fitted constants: the search of find_formula (constants 0 and 1 only)")
    d.add_argument("--max-params", type=_params, default=4,
                   help="most fitted constants in a formula, scale and offset included (2 to 16, default 4)")
    d.add_argument("--all", action="store_true",
                   help="also print the Pareto front: the best formula at each complexity")
    d.add_argument("--json", action="store_true", help="print one JSON object")
    d.add_argument("--progress", action="store_true", help="report each level on stderr (default: on a terminal)")
    return p


def _quiet_output():
    """After a closed pipe: point stdout and stderr at the null device so that
    the interpreter's final flush has nowhere to fail."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
    except OSError:
        return
    for stream in (sys.stdout, sys.stderr):
        try:
            os.dup2(devnull, stream.fileno())
        except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
            pass
    os.close(devnull)


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status = discover(args)
        sys.stdout.flush()
        return status
    except UsageError as e:
        print(f"vek-math: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("vek-math: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`vek-math discover | head -1`): stop quietly,
        # with the status a shell reports for a pipe writer ended by SIGPIPE.
        _quiet_output()
        return 141


if __name__ == "__main__":
    sys.exit(main())

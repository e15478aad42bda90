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

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
import re
import stat
import sys
import time
import warnings
from array import array
from collections.abc import Buffer, Iterable, Sequence
from importlib import resources
from typing import TYPE_CHECKING, NoReturn, TextIO

from vek_math import _engine, _formula, _search

if TYPE_CHECKING:
    from vek_math._estimator import SymbolicRegressor

SAMPLE = "sample.csv"

# Largest table file read; reading stops with an error beyond it.
MAX_FILE_BYTES = 64 * 1024 * 1024

# A data cell: a decimal number in the usual notation (or nan / inf, refused
# as not finite). Python's own literal forms (1_000, full-width or other
# non-ASCII digits) are not numbers of a CSV file.
_NUMBER = re.compile(
    r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|inf|infinity|nan)", re.IGNORECASE | re.ASCII
)
_BLANKS = " \t\r\n\f\v"

# Stand-ins for a console that cannot show the output's own symbols; names
# never go through them (a column named π stays π, escaped if need be).
_ASCII_FALLBACK = {"≈": "~=", "×": "x", "π": "pi"}


class UsageError(Exception):
    """A problem with the user's input: reported on one line, exit status 2."""


def _say(text: str) -> None:
    """A line on stderr, if there is a usable one: never on stdout (where
    print would put it when sys.stderr is None), and a failing stderr costs
    nothing but the line."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(text + "\n")
        stream.flush()
    except (OSError, ValueError, AttributeError):
        pass


def _stderr_is_terminal() -> bool:
    try:
        return sys.stderr is not None and sys.stderr.isatty()
    except (OSError, ValueError, AttributeError):
        return False


def _quoted(name: str) -> str:
    """A column name in a message: quoted, with unprintable characters escaped."""
    return f"'{_formula.escaped(name)}'"


class _Parser(argparse.ArgumentParser):
    """Reports a bad command line on one line, like the input errors."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"vek-math: error: {message}\n")


def _size_text(n: int) -> str:
    mib = 1024 * 1024
    return f"{n // mib} MiB" if n % mib == 0 else f"{n} bytes"


class _BoundedReader(io.RawIOBase):
    """A binary file that refuses to deliver more than `limit` bytes."""

    def __init__(self, raw: io.RawIOBase, limit: int, source: str) -> None:
        self.raw, self.limit, self.source, self.total = raw, limit, source, 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Buffer) -> int | None:
        n = self.raw.readinto(buffer)
        self.total += n or 0
        if self.total > self.limit:
            raise UsageError(f"{self.source} is larger than {_size_text(self.limit)}, the most this command reads")
        return n

    def close(self) -> None:
        self.raw.close()
        super().close()


def open_table(path: str, source: str | None = None) -> io.TextIOWrapper:
    """A text stream over a regular file, read in bounded steps; ``source``
    names it in messages (default: the path)."""
    shown = path if source is None else source
    # Non-blocking open: a FIFO is refused below instead of waiting for a writer.
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags)
    except FileNotFoundError:
        raise UsageError(f"no such file: {shown}") from None
    except IsADirectoryError:
        raise UsageError(f"{shown} is a directory, not a CSV file") from None
    except (OSError, ValueError) as e:
        raise UsageError(f"cannot read {shown}: {getattr(e, 'strerror', None) or e}") from None
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise UsageError(f"{shown} is a directory, not a CSV file")
        if not stat.S_ISREG(mode):
            raise UsageError(f"{shown} is not a regular file")
        if os.fstat(fd).st_size > MAX_FILE_BYTES:
            raise UsageError(f"{shown} is larger than {_size_text(MAX_FILE_BYTES)}, the most this command reads")
        if hasattr(os, "set_blocking"):
            os.set_blocking(fd, True)
        raw = io.FileIO(fd, "rb", closefd=True)
    except BaseException:
        os.close(fd)
        raise
    bounded = io.BufferedReader(_BoundedReader(raw, MAX_FILE_BYTES, shown))
    return io.TextIOWrapper(bounded, encoding="utf-8-sig", newline="")


def parse_table(lines: Iterable[str], source: str) -> tuple[list[str], list[array[float]]]:
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
                text = cell.strip(_BLANKS)
                if not _NUMBER.fullmatch(text):
                    raise UsageError(
                        f"{source}, row {line}, column {_quoted(header[j])}: not a number: {cell.strip()!r}"
                    )
                value = float(text)
                if not math.isfinite(value):
                    raise UsageError(
                        f"{source}, row {line}, column {_quoted(header[j])}: not a finite number: {cell.strip()!r}"
                    )
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


def check_header(header: list[str], source: str) -> None:
    if len(header) < 2:
        raise UsageError(f"{source} needs at least two columns (variables and a target), found {len(header)}")
    first: dict[str, int] = {}
    for j, name in enumerate(header):
        if name in first:
            raise UsageError(
                f"{source}: column name {_quoted(name)} appears twice (columns {first[name] + 1} and {j + 1})"
            )
        first[name] = j


def read_table(path: str | None) -> tuple[str, list[str], list[array[float]]]:
    """Returns (source, header, columns) of a CSV file or the sample table."""
    if path is None:
        source = f"<sample {SAMPLE}>"
        text = resources.files("vek_math").joinpath("data", SAMPLE).read_text(encoding="utf-8-sig")
        header, columns = parse_table(io.StringIO(text, newline=""), source)
        return source, header, columns
    source = _formula.escaped(path)
    with open_table(path, source) as stream:
        header, columns = parse_table(stream, source)
    return source, header, columns


def _encoding(stream: object) -> str:
    return getattr(stream, "encoding", None) or "utf-8"


def _encodable(stream: object, text: str) -> bool:
    try:
        text.encode(_encoding(stream))
    except (UnicodeEncodeError, LookupError):
        return False
    return True


class _Console:
    """How stdout shows the output: names escaped where they hold
    unprintable characters or characters its encoding lacks, and the
    output's own symbols (≈, ×, the constant π) as ASCII stand-ins where it
    cannot show them."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def symbol(self, text: str) -> str:
        return text if _encodable(self.stream, text) else _ASCII_FALLBACK.get(text, text)

    def text(self, text: str) -> str:
        """Any text (names, LaTeX): escaped, never rewritten."""
        encoding = _encoding(self.stream)
        try:
            return _formula.escaped(text).encode(encoding, "backslashreplace").decode(encoding)
        except LookupError:
            return _formula.escaped(text).encode("ascii", "backslashreplace").decode("ascii")

    def formula(self, est: SymbolicRegressor, index: int | None = None) -> str:
        shown = [self.text(_formula.shown_name(n)) for n in est._feature_names()]
        return est._text(index, shown, pi=self.symbol("π"))


def _write(text: str) -> None:
    """Writes to stdout; characters its encoding cannot show (there should
    be none left) as escapes."""
    out = sys.stdout
    if out is None:
        return
    if not _encodable(out, text) and hasattr(out, "reconfigure"):
        out.reconfigure(errors="backslashreplace")
    out.write(text)


def _json_text(value: object, stream: object) -> str:
    """One JSON object on one line: exact names and formulas, with every
    unprintable character (controls, bidi overrides) as a \\u escape, and all
    of non-ASCII so where stdout cannot show it."""
    text = json.dumps(value, ensure_ascii=False)
    if not _encodable(stream, text):
        return json.dumps(value)
    if text.isprintable():
        return text

    def escape(ch: str) -> str:
        code = ord(ch)
        if code < 0x10000:
            return f"\\u{code:04x}"
        code -= 0x10000
        return f"\\u{0xD800 + (code >> 10):04x}\\u{0xDC00 + (code & 0x3FF):04x}"

    return "".join(ch if ch.isprintable() else escape(ch) for ch in text)


def _estimator() -> tuple[type[SymbolicRegressor], type[Exception]]:
    try:
        from sklearn.utils._param_validation import InvalidParameterError

        from vek_math._estimator import SymbolicRegressor
    except ImportError as e:
        raise UsageError(str(e)) from None
    return SymbolicRegressor, InvalidParameterError


def _latex(est: SymbolicRegressor) -> str | None:
    try:
        return est.latex()
    except ImportError:
        return None  # sympy is optional


def _finite(value: float) -> float | None:
    return value if math.isfinite(value) else None


def _table(est: SymbolicRegressor, console: _Console) -> list[str]:
    """The Pareto front as aligned text rows, the selected one marked."""
    rows = [("", "complexity", "loss", "error", "formula")]
    for i, row in enumerate(est.equations_.itertuples()):
        rows.append(
            (
                "*" if row.selected else "",
                str(row.complexity),
                f"{row.loss:.6g}",
                f"{row.error:.6g}",
                console.formula(est, i),
            )
        )
    widths = [max(len(r[j]) for r in rows) for j in range(4)]
    return ["    " + "  ".join(c.ljust(w) for c, w in zip(r, widths)) + "  " + r[4] for r in rows]


# Notes for searches that ended early but keep their result.
_STOPPED = {
    "time_limit": "the search reached its time limit",
    "memory": "the search ran out of memory",
    "memory_limit": "the search reached its memory limit",
}


def discover(args: argparse.Namespace) -> int:
    source, header, columns = read_table(args.file)
    target = header[-1] if args.target is None else args.target
    if target not in header:
        raise UsageError(
            f"unknown target column {_quoted(target)}; columns: {', '.join(_formula.escaped(h) for h in header)}"
        )
    t = header.index(target)
    names = [h for j, h in enumerate(header) if j != t]
    SymbolicRegressor, InvalidParameterError = _estimator()
    if args.plot is not None:
        _plot_library()  # before the search, not after it
    import numpy as np
    import pandas as pd

    X = pd.DataFrame({name: np.frombuffer(c, dtype=np.float64) for name, c in zip(header, columns) if name != target})
    y = np.frombuffer(columns[t], dtype=np.float64)
    show_progress = args.progress or (not args.json and _stderr_is_terminal())
    est = SymbolicRegressor(
        max_complexity=args.max_complexity,
        beam_width=args.beam_width,
        precision_goal=args.precision,
        use_trig=not args.no_trig,
        use_vek=not args.no_vek,
        complexity_penalty=args.penalty,
        verbose=show_progress,
        constants=not args.no_constants,
        max_params=args.max_params,
        unary_operators=args.unary_operators,
        binary_operators=args.binary_operators,
        time_limit=args.time_limit,
        n_jobs=args.n_jobs,
        max_samples=args.max_samples,
        model_selection=args.selection,
    )
    t0 = time.perf_counter()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", _search.SearchStoppedWarning)
            est.fit(X, y)
    except InvalidParameterError as e:
        raise UsageError(str(e)) from None
    except _search.NoFormulaError:
        found = False
    else:
        found = True
    seconds = time.perf_counter() - t0
    stopped = est.stopped_ if found else None
    if stopped in _STOPPED:
        _say(f"vek-math: note: {_STOPPED[stopped]}; the result is the best formula of the levels it finished")
    if args.json:
        out = {"source": source, "target": target, "variables": names, "seconds": round(seconds, 6), "stopped": stopped}
        if found:
            best = est.equations_.iloc[est.best_index_]
            out.update(
                formula=est.formula_,
                params=list(best.params),
                error=_finite(best.error),
                loss=_finite(best.loss),
                complexity=int(best.complexity),
                latex=_latex(est),
                python=est.python_source(),
            )
            if args.all:
                out["equations"] = [
                    {
                        "complexity": int(r.complexity),
                        "loss": _finite(r.loss),
                        "error": _finite(r.error),
                        "formula": r.formula,
                        "params": list(r.params),
                        "selected": bool(r.selected),
                    }
                    for r in est.equations_.itertuples()
                ]
        _write(_json_text(out, sys.stdout) + "\n")
    elif not found:
        _write("no formula could be scored on this data\n")
    else:
        console = _Console(sys.stdout)
        best = est.equations_.iloc[est.best_index_]
        python = est.python_source()
        if not _encodable(sys.stdout, python):
            python = est.python_source(ascii_only=True)
        latex = _latex(est)
        times = console.symbol("×")
        lines = [
            f"{console.text(target)} {console.symbol('≈')} {console.formula(est)}",
            f"  error       {best.error:.6g} (RMSE {times} (1 + penalty {times} complexity))",
            f"  loss        {best.loss:.6g} (RMSE)",
            f"  complexity  {best.complexity}",
            *([f"  LaTeX       {console.text(latex)}"] if latex is not None else []),
            "  variables   " + ", ".join(console.text(n) for n in names),
            f"  data        {console.text(source)}: {len(y)} rows, searched in {seconds:.2f}s",
        ]
        if args.all:
            lines += [
                "  Pareto front (the lowest loss at each complexity; * marks the formula above):",
                *_table(est, console),
            ]
        lines += ["  Python      the function below, standard library only:", "", python]
        _write("\n".join(lines))
    if found and args.plot is not None:
        _save_plot(est, args.plot)
    if stopped == "interrupted":
        raise KeyboardInterrupt
    return 0 if found else 1


def _plot_library() -> None:
    try:
        import matplotlib.figure  # noqa: F401
    except ImportError:
        raise UsageError("--plot needs matplotlib; install it with: pip install 'vek_math[plot]'") from None


def _save_plot(est: SymbolicRegressor, path: str) -> None:
    """The front's picture in the file (its format from the file name's
    extension: .png, .svg, .pdf, ...)."""
    figure = est.plot().figure
    try:
        figure.savefig(path)
    except OSError as e:
        raise UsageError(f"cannot write the plot to {_quoted(path)}: {e.strerror or e}") from None
    except ValueError as e:  # an extension matplotlib has no writer for
        raise UsageError(f"cannot write the plot to {_quoted(path)}: {e}") from None


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    if value >= 2**64:
        raise argparse.ArgumentTypeError(f"must be below 2^64, not {value}")
    return value


def _names(text: str) -> list[str]:
    """Operator names, comma-separated; the table knows which exist."""
    names = [n.strip() for n in text.split(",") if n.strip()]
    known = {row.name: row for row in _engine.OPERATORS if row.group != "block"}
    for name in names:
        if name not in known:
            raise argparse.ArgumentTypeError(f"unknown operator {name!r} (known: {', '.join(known)})")
    return names


def _params(text: str) -> int:
    value = _count(text)
    if not 2 <= value <= 16:
        raise argparse.ArgumentTypeError(f"must be between 2 and 16, not {value}")
    return value


def _amount(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be a finite number of at least 0, not {text!r}")
    return value


def _seconds(text: str) -> float:
    value = _amount(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be more than 0 seconds")
    return value


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value == 0:
        raise argparse.ArgumentTypeError("0 threads cannot run; use a count, or -1 for every processor")
    if not -(2**63) < value < 2**63:
        raise argparse.ArgumentTypeError(f"must be below 2^63 in size, not {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(prog="vek-math", description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser(
        "discover",
        help="find a formula for a CSV table (default: the built-in sample)",
        description=f"Find a formula for one column of a CSV table. The file must be a regular file of UTF-8 "
        f"text of at most {_size_text(MAX_FILE_BYTES)}, with a header row of distinct column "
        f"names; every data cell must be a finite number.",
    )
    d.add_argument(
        "file",
        nargs="?",
        help=f"CSV file with a header row, at most {_size_text(MAX_FILE_BYTES)} (default: the built-in sample)",
    )
    d.add_argument("--target", help="name of the target column (default: the last column)")
    d.add_argument("--max-complexity", type=_count, default=8, help="node budget (default 8)")
    d.add_argument("--beam-width", type=_count, default=2000, help="beam width (default 2000)")
    d.add_argument("--precision", type=_amount, default=1e-10, help="stop once the error is at most this")
    d.add_argument(
        "--penalty", type=_amount, help="complexity penalty (default 0.01 with fitted constants, 0.001 without)"
    )
    d.add_argument("--no-trig", action="store_true", help="leave out sin and cos")
    d.add_argument("--no-vek", action="store_true", help="leave out the vek operator")
    d.add_argument(
        "--no-constants",
        action="store_true",
        help="no fitted constants: the search of find_formula (constants 0 and 1 only)",
    )
    d.add_argument(
        "--max-params",
        type=_params,
        default=9,
        help="most fitted constants in a formula, scale and offset included (2 to 16, default 9)",
    )
    d.add_argument(
        "--unary-operators",
        type=_names,
        metavar="NAMES",
        help="comma-separated unary operators to offer instead of the defaults (e.g. exp,ln,sqrt,square,tanh)",
    )
    d.add_argument(
        "--binary-operators",
        type=_names,
        metavar="NAMES",
        help="comma-separated binary operators to offer instead of the defaults (e.g. add,mul,div)",
    )
    d.add_argument(
        "--all", action="store_true", help="also print the Pareto front: the best formula at each complexity"
    )
    d.add_argument(
        "--selection",
        choices=["penalised", "accuracy", "score", "bic"],
        default="penalised",
        help="how the formula is picked from the front (default penalised; see SymbolicRegressor's model_selection)",
    )
    d.add_argument("--plot", metavar="FILE", help="also draw the front into FILE (.png, .svg, .pdf; needs matplotlib)")
    d.add_argument("--json", action="store_true", help="print one JSON object")
    d.add_argument(
        "--verbose",
        "--progress",
        dest="progress",
        action="store_true",
        help="show the search's progress on stderr (default: on a terminal)",
    )
    d.add_argument(
        "--time-limit",
        type=_seconds,
        metavar="SECONDS",
        help="stop after this many seconds and print the best formula found by then",
    )
    d.add_argument(
        "--n-jobs",
        type=_jobs,
        metavar="N",
        help="threads: a count, -1 for every processor, -2 for all but one, ... (default: every processor)",
    )
    d.add_argument(
        "--max-samples",
        type=_count,
        default=10_000,
        metavar="N",
        help="past N rows, search on N rows spread through the data and score the finalists on every row; "
        "0: search on every row (default 10000)",
    )
    return p


def _quiet_output() -> None:
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


def _settle_stderr() -> None:
    """Lines that stderr could not take (a full disk) stay in its buffer,
    and the interpreter's final flush would fail on them and change the exit
    status: they go to the null device instead."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.flush()
    except (OSError, ValueError):
        try:
            fd = stream.fileno()
            devnull = os.open(os.devnull, os.O_WRONLY)
        except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
            return
        os.dup2(devnull, fd)
        os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return _main(argv)
    finally:
        _settle_stderr()


def _main(argv: Sequence[str] | None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        status = discover(args)
        if sys.stdout is not None:
            sys.stdout.flush()
        return status
    except UsageError as e:
        _say(f"vek-math: error: {e}")
        return 2
    except MemoryError:
        _say("vek-math: error: out of memory")
        return 1
    except KeyboardInterrupt:
        _say("vek-math: interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (`vek-math discover | head -1`): stop quietly,
        # with the status a shell reports for a pipe writer ended by SIGPIPE.
        _quiet_output()
        return 141


if __name__ == "__main__":
    sys.exit(main())

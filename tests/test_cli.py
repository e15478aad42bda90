"""The vek-math command line and the Python it prints."""

import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import same_float
from vek_math import _export, _formula, _search, cli


def run(*args, isolated=True, **kw):
    flags = ["-I"] if isolated else ["-P"]
    return subprocess.run([sys.executable, *flags, "-m", "vek_math", *args], capture_output=True, text=True, **kw)


def run_main(capsys, *args):
    try:
        code = cli.main(list(args))
    except SystemExit as e:
        code = e.code
    out, err = capsys.readouterr()
    return code, out, err


def load(source, func_name="f"):
    namespace = {}
    exec(source, namespace)
    return namespace[func_name]


def test_sample_run_recovers_its_formula():
    proc = run("discover")
    assert proc.returncode == 0, proc.stderr
    assert "response ≈ (sin(angle) + (load * angle))" in proc.stdout
    assert "variables   angle, load" in proc.stdout
    assert "\\sin{\\left(\\mathrm{angle} \\right)}" in proc.stdout
    f = load(proc.stdout[proc.stdout.index("import math"):])
    assert f(2.0, 3.0) == math.sin(2.0) + 3.0 * 2.0
    assert proc.stderr == ""  # progress only on a terminal or when asked


def test_json_and_progress(tmp_path):
    f = tmp_path / "t.csv"
    f.write_text("\ufeffa,out,b\n1,1,9\n2,4,8\n3,9,7\n", encoding="utf-8")  # a BOM, the target in the middle
    proc = run("discover", str(f), "--target", "out", "--json", "--progress", "--max-complexity", "4", "--all")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert (out["formula"], out["complexity"], out["error"], out["variables"]) == ("(a * a)", 3, 0.0, ["a", "b"])
    assert out["latex"] == "a^{2}" and load(out["python"])(1.5, 0.0) == 2.25
    assert [e["formula"] for e in out["equations"] if e["selected"]] == ["(a * a)"]
    assert "level 0:" in proc.stderr and "level 1:" in proc.stderr and "best (a * a)" in proc.stderr


def nodes_of(text):
    """The postfix nodes of a formula text, as the engine takes them."""
    out = []
    _formula.fold(_formula.parse(text), lambda n: out.append(
        ("var", n.index) if isinstance(n, _formula.Var) else ("param", n.index) if isinstance(n, _formula.Param)
        else ("const", _formula.const_value(n.text))), lambda n, _: out.append(("op", _formula.operator(n.op).name)))
    return out


BIG = 1e300


# The exported function computes what the engine computes, NaN where its
# evaluation fails (an infinite step fails even where its next step would
# be finite again; leaves are taken as they are).
@pytest.mark.parametrize("formula, args", [
    ("exp(x)", [710.0]), ("(x * y)", [BIG, BIG]), ("(1/exp(x))", [-800.0]), ("(1/(x * y))", [BIG, BIG]),
    ("exp((x * y))", [BIG, -BIG]), ("(x / (y * y))", [1.0, BIG]), ("vek((x * y), 1.0000)", [BIG, -BIG]),
    ("(1/x)", [math.inf]), ("x", [math.inf]), ("ln(x)", [0.0]), ("sqrt(x)", [-1e-320]), ("sqrt(x)", [-0.0]),
    ("sin(x)", [math.inf]), ("(x / y)", [1.0, 1e-301]), ("vek(x, y)", [800.0, 0.0]), ("vek(x, y)", [1.0, -2.0]),
    ("vek(x, y)", [1.0, math.nan]), ("((π * e) + (c0(1.0000) * -0.2500))", []),
    ("(-" * 1000 + "x" + ")" * 1000, [2.0]), ("(" * 400 + "x" + " + 1.0000)" * 400, [0.5]),  # deep nesting compiles
])
def test_exported_function_computes_what_the_engine_computes(formula, args):
    f = load(_export.python_source(formula, ["x", "y"][: len(args)], [0.75], func_name="g"), "g")
    want = _search.evaluate(nodes_of(formula), np.array([args]).reshape(1, len(args)), [0.75])[0]
    assert same_float(f(*args), want), (f(*args), want)


def test_export_names_and_refusals():
    src = _export.python_source("((x + y) + z)", ["vek", "x0", "if"])
    assert "def f(x0_, x0, x2):" in src and "# x0_ stands for 'vek'" in src and "# x2 stands for 'if'" in src
    with pytest.raises(ValueError, match="uses variable 1"):
        _export.python_source("(x + y)", ["a"])
    with pytest.raises(ValueError):
        _export.python_source("(x + y", ["a", "b"])


@pytest.mark.parametrize(
    "content, args, message",
    [
        (None, ["--target", "x"], "no such file"),
        ("", [], "is empty"),
        ("a,b\n", [], "has a header but no data rows"),
        ("a\n1\n2\n", [], "needs at least two columns"),
        ("a,b\n1,2\n3,oops\n", [], "row 3, column 'b': not a number: 'oops'"),
        ("a,b\n1,2\n3\n", [], "row 3: 1 cells, the header has 2"),
        ("a,b\n1,2\n", ["--target", "c"], "unknown target column 'c'; columns: a, b"),
        ("a,b\n1,2\n\n3,1e400\n", [], "row 4, column 'b': not a finite number: '1e400'"),
        ("a,b\n1, nan\n", [], "row 2, column 'b': not a finite number: 'nan'"),
        (",,\n1,2,3\n", [], "row 1: the header row has no column names"),
        ("value,t,value\n1,2,3\n", [], "column name 'value' appears twice (columns 1 and 3)"),
        ('a,b\n1,"' + "9" * 200_000 + '"\n', [], "row 2: field larger than field limit"),
        (",".join(f"c{i}" for i in range(138)) + "\n", [], "at most 137"),
        ("a,b\n\xff\n", [], "not UTF-8 text"),
        ("a,b\n1,2\n", ["--beam-width", str(2**64)], "argument --beam-width: must be below 2^64"),
        ("a,b\n1,2\n", ["--max-complexity", str(2**70)], "argument --max-complexity: must be below 2^64"),
        ("a,b\n1,2\n", ["--beam-width", "-1"], "argument --beam-width: must not be negative"),
        ("a,b\n1,2\n", ["--penalty", "-0.5"], "argument --penalty: must be a finite number of at least 0"),
        ("a,b\n1,2\n", ["--penalty", "nan"], "argument --penalty"),
        ("a,b\n1,2\n", ["--precision", "nan"], "argument --precision: must be a number of at least 0"),
        ("a,b\n1,2\n", ["--precision", "-1e-3"], "argument --precision"),
    ],
)
def test_bad_input_is_one_line_and_status_2(tmp_path, capsys, content, args, message):
    f = tmp_path / "in.csv"
    if content is not None:
        f.write_bytes(content.encode("latin-1" if "\xff" in content else "utf-8"))
    code, out, err = run_main(capsys, "discover", str(f), *args)
    assert (code, out) == (2, "")
    assert err.startswith("vek-math: error: ") and err.count("\n") == 1 and message in err, err


@pytest.mark.parametrize("kind", ["device", "directory", "fifo", "over the limit", "growing past the limit"])
def test_only_bounded_regular_files_are_read(tmp_path, capsys, monkeypatch, kind):
    path = {"device": os.devnull, "directory": str(tmp_path), "fifo": str(tmp_path / "p"),
            "over the limit": str(tmp_path / "big.csv"), "growing past the limit": "/proc/self/status"}[kind]
    if kind == "fifo":
        os.mkfifo(path)  # a blocking open would wait for a writer forever
    (tmp_path / "big.csv").write_text("a,b\n" + "1,2\n" * 30)
    if not os.path.exists(path):
        pytest.skip(f"no {path}")
    monkeypatch.setattr(cli, "MAX_FILE_BYTES", 100)  # /proc files report size 0
    code, out, err = run_main(capsys, "discover", path)
    expected = {"device": "not a regular file", "directory": "is a directory", "fifo": "not a regular file"}
    assert code == 2 and out == "" and err.count("\n") == 1
    assert expected.get(kind, "larger than 100 bytes") in err


def test_closed_stdout_ends_quietly():
    proc = subprocess.Popen([sys.executable, "-I", "-m", "vek_math", "discover", "--progress"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait() == 141 and b"Traceback" not in err and b"Error" not in err


def test_console_without_the_symbols(tmp_path):
    f = tmp_path / "t.csv"
    f.write_text("速度,out\n1,2\n2,4\n3,6\n", encoding="utf-8")
    env = {**os.environ, "PYTHONIOENCODING": "cp1252"}
    proc = run("discover", str(f), isolated=False, env=env, cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    assert "out ~= (2 * \\u901f\\u5ea6)" in proc.stdout and "RMSE x (1 + penalty x complexity)" in proc.stdout
    assert load(proc.stdout[proc.stdout.index("import math"):])(1.5) == 3.0
    out = json.loads(run("discover", str(f), "--json", isolated=False, env=env, cwd=tmp_path).stdout)
    assert out["variables"] == ["速度"] and "def f(速度):" in out["python"]

"""The vek-math command line and the Python it prints."""

import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import replaced, same_float
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
    assert (out["formula"], out["complexity"], out["error"], out["variables"]) == ("(a ^ 2.0)", 1, 0.0, ["a", "b"])
    assert out["latex"] == "a^{2}" and load(out["python"])(1.5, 0.0) == 2.25
    assert [e["formula"] for e in out["equations"] if e["selected"]] == ["(a ^ 2.0)"]
    assert "level 0:" in proc.stderr and "best (a ^ 2.0)" in proc.stderr


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
        ("a,b\n1,1_0\n", [], "row 2, column 'b': not a number: '1_0'"),  # Python literals are not CSV numbers
        ("a,b\n\uff11,2\n", [], "row 2, column 'a': not a number: '\uff11'"),
        ("a\x1b[2J,b\u202e\n1,2\n", ["--target", "c"], "columns: a\\x1b[2J, b\\u202e"),
        ("a\x1b[2J,b\n1,x\n", ["--target", "a\x1b[2J"], "column 'b': not a number"),
        ("a\x1b,b,a\x1b\n1,2,3\n", [], "column name 'a\\x1b' appears twice"),
        ("a,b\n\xff\n", [], "not UTF-8 text"),
        ("a,b\n1,2\n", ["--beam-width", str(2**64)], "argument --beam-width: must be below 2^64"),
        ("a,b\n1,2\n", ["--max-complexity", str(2**70)], "argument --max-complexity: must be below 2^64"),
        ("a,b\n1,2\n", ["--beam-width", "-1"], "argument --beam-width: must not be negative"),
        ("a,b\n1,2\n", ["--penalty", "-0.5"], "argument --penalty: must be a finite number of at least 0"),
        ("a,b\n1,2\n", ["--penalty", "nan"], "argument --penalty"),
        ("a,b\n1,2\n", ["--precision", "nan"], "argument --precision: must be a finite number of at least 0"),
        ("a,b\n1,2\n", ["--precision", "inf"], "argument --precision: must be a finite number of at least 0"),
        ("a,b\n1,2\n", ["--precision", "1e400"], "argument --precision: must be a finite number of at least 0"),
        ("a,b\n1,2\n", ["--precision", "-1e-3"], "argument --precision"),
        ("a,b\n1,2\n", ["--time-limit", "0"], "argument --time-limit: must be more than 0 seconds"),
        ("a,b\n1,2\n", ["--time-limit", "inf"], "argument --time-limit: must be a finite number"),
        ("a,b\n1,2\n", ["--n-jobs", "0"], "argument --n-jobs: 0 threads cannot run"),
        ("a,b\n1,2\n", ["--n-jobs", "1.5"], "argument --n-jobs: not a whole number"),
        ("a,b\n1,2\n", ["--n-jobs", str(2**63)], "argument --n-jobs: must be below 2^63"),
        ("a,b\n1,2\n", ["--max-samples", "-1"], "argument --max-samples: must not be negative"),
    ],
)
def test_bad_input_is_one_line_and_status_2(tmp_path, capsys, content, args, message):
    f = tmp_path / "in.csv"
    if content is not None:
        f.write_bytes(content.encode("latin-1" if "\xff" in content else "utf-8"))
    code, out, err = run_main(capsys, "discover", str(f), *args)
    assert (code, out) == (2, "")
    assert err.startswith("vek-math: error: ") and err.count("\n") == 1 and message in err, err
    assert err.isprintable() or err[:-1].isprintable(), err


def test_many_variables(tmp_path):
    rng = np.random.default_rng(3)
    data = rng.uniform(1.0, 2.0, (12, 200))
    f = tmp_path / "wide.csv"
    f.write_text(",".join(f"v{i}" for i in range(200)) + ",t\n"
                 + "".join(",".join(map(repr, r)) + f",{r[170] * r[3]!r}\n" for r in data.tolist()))
    proc = run("discover", str(f), "--max-complexity", "3", "--beam-width", "100", "--json")
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout)["formula"] in ("(v3 * v170)", "(v170 * v3)")


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
    # Stand-ins replace the output's own symbols, never a column's name.
    f = tmp_path / "t.csv"
    f.write_text("π,速度,out\n" + "".join(f"{i},{i % 3},{i * math.pi!r}\n" for i in range(1, 9)), encoding="utf-8")
    env = {**os.environ, "PYTHONIOENCODING": "ascii"}
    proc = run("discover", str(f), "--all", isolated=False, env=env, cwd=tmp_path)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    assert proc.stdout.startswith("out ~= (3.142 * `\\u03c0`)\n"), proc.stdout
    assert "RMSE x (1 + penalty x complexity)" in proc.stdout and "variables   \\u03c0, \\u901f\\u5ea6" in proc.stdout
    assert load(proc.stdout[proc.stdout.index("import math"):])(1.5, 7.0) == 1.5 * math.pi
    assert "\\mathrm{\\u03c0}" in proc.stdout  # LaTeX: the name, escaped
    out = json.loads(run("discover", str(f), "--json", isolated=False, env=env, cwd=tmp_path).stdout)
    assert out["variables"] == ["π", "速度"] and "def f(π, 速度):" in out["python"]


def test_names_cannot_drive_the_terminal(tmp_path):
    f = tmp_path / "t.csv"
    names = ["\x1b]0;owned\x07a", "b\u202e", "c\x9b2J"]
    f.write_text(",".join(names) + ",y\n" + "".join(f"{i},{i % 3},{i % 2},{2 * i}\n" for i in range(1, 9)),
                 encoding="utf-8")
    proc = run("discover", str(f), "--all", "--progress")
    assert proc.returncode == 0, proc.stderr
    assert "y ≈ (2 * `\\x1b]0;owned\\x07a`)" in proc.stdout
    assert "variables   \\x1b]0;owned\\x07a, b\\u202e, c\\x9b2J" in proc.stdout
    for text in (proc.stdout, proc.stderr):
        assert all(line.isprintable() for line in text.splitlines()), text
    proc = run("discover", str(f), "--json")
    assert proc.stdout[:-1].isprintable() and json.loads(proc.stdout)["variables"] == names


@pytest.mark.parametrize("stopped, status, note", [
    (None, 0, ""),
    ("time_limit", 0, "vek-math: note: the search reached its time limit; "),
    ("memory", 0, "vek-math: note: the search ran out of memory; "),
    ("interrupted", 130, ""),
])
@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
def test_a_stopped_search_prints_its_result(monkeypatch, capsys, stopped, status, note, as_json):
    search = _search.search
    monkeypatch.setattr(_search, "search", lambda *a, **k: replaced(search(*a, **k), stopped=stopped))
    code, out, err = run_main(capsys, "discover", *(["--json"] if as_json else []))
    assert code == status
    assert err.startswith(note) and err.endswith("vek-math: interrupted\n" if status == 130 else "")
    if as_json:
        assert json.loads(out)["stopped"] == stopped and json.loads(out)["formula"]
    else:
        assert out.startswith("response ≈ (sin(angle) + (load * angle))")


@pytest.mark.parametrize("stderr", ["closed", "full"])
def test_progress_never_costs_the_result(stderr):
    if stderr == "full" and not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    redirect = "2>&-" if stderr == "closed" else "2>/dev/full"
    cmd = f"{sys.executable} -I -m vek_math discover --json --progress {redirect}"
    proc = subprocess.run(cmd, shell=True, capture_output=False, stdout=subprocess.PIPE, text=True)
    assert proc.returncode == 0
    assert json.loads(proc.stdout)["formula"] == "(sin(angle) + (load * angle))"


def test_search_flags_reach_the_search(monkeypatch, capsys):
    seen = {}
    search = _search.search

    def spy(*a, **k):
        seen.update(k)
        return search(*a, **k)

    monkeypatch.setattr(_search, "search", spy)
    args = ["--verbose", "--time-limit", "30", "--n-jobs", "1", "--max-samples", "20"]
    code, out, err = run_main(capsys, "discover", *args)
    assert code == 0 and "level 0:" in err and out.startswith("response ≈ (sin(angle) + (load * angle))")
    assert (seen["time_limit"], seen["n_threads"], seen["max_samples"]) == (30.0, 1, 20)
    run_main(capsys, "discover", "--max-samples", "0", "--n-jobs", "-1")
    assert (seen["time_limit"], seen["n_threads"], seen["max_samples"]) == (None, os.cpu_count(), 0)

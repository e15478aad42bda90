"""The vek-math command line and the Python it prints."""

import json
import math
import os
import random
import subprocess
import sys

import pytest

from vek_math import _export, cli


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
    f.write_text("a,out\n1,2\n2,4\n3,6\n")
    proc = run("discover", str(f), "--target", "out", "--json", "--progress", "--max-complexity", "4", "--all")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["formula"] == "(2 * a)" and out["complexity"] == 3 and out["error"] == 0.0 and out["params"] == [2.0]
    assert out["variables"] == ["a"]
    assert out["latex"] == "2.0 \\cdot a" and load(out["python"])(1.5) == 3.0
    assert [(e["formula"], e["params"]) for e in out["equations"] if e["selected"]] == [("(2 * a)", [2.0])]
    assert "level 0:" in proc.stderr and "best (2 * a)" in proc.stderr
    # Without fitted constants: the search of find_formula.
    proc = run("discover", str(f), "--target", "out", "--json", "--no-constants", "--max-complexity", "4")
    out = json.loads(proc.stdout)
    assert (out["formula"], out["params"], out["latex"]) == ("(a + a)", [], "2 \\cdot a")


def test_target_in_the_middle(tmp_path):
    f = tmp_path / "t.csv"
    f.write_text("a,out,b\n1,1,9\n2,4,8\n3,9,7\n")
    out = json.loads(run("discover", str(f), "--target", "out", "--json").stdout)
    assert out["variables"] == ["a", "b"] and out["formula"] == "(a * a)"


def noisy(seed, header, target):
    rnd = random.Random(seed)
    rows = []
    for _ in range(30):
        u, v = rnd.uniform(0.2, 3.0), rnd.uniform(-2.0, 2.0)
        rows.append(f"{u!r},{v!r},{target(u, v) + 0.1 * rnd.random()!r}")
    return "\n".join([header, *rows]) + "\n"


@pytest.mark.parametrize(
    "content, args, signature",
    [
        (None, [], "f(angle, load)"),
        ("\ufeff" + noisy(1, "u,v,w", lambda u, v: 1 / (u * v) + math.sqrt(u)), ["--target", "w"], "f(u, v)"),
        (noisy(2, "my col,if,x0", lambda u, v: math.exp(u) - math.log(abs(v))), [], "f(x0, x1)"),
        (noisy(3, "a,b,c", lambda u, v: u * v + math.exp(v) / u), ["--max-complexity", "7"], "f(a, b)"),
    ],
    ids=["sample", "bom-uvw", "odd-names", "vek-sum"],
)
def test_printed_function_reproduces_the_search(tmp_path, content, args, signature):
    path = []
    if content is not None:
        (tmp_path / "t.csv").write_text(content, encoding="utf-8")
        path = [str(tmp_path / "t.csv")]
    proc = run("discover", *path, *args, "--json", "--penalty", "0", "--beam-width", "300")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert f"def {signature}:" in out["python"]
    f = load(out["python"])
    lines = (content or (cli.resources.files("vek_math") / "data" / cli.SAMPLE).read_text()).lstrip("\ufeff")
    header, *rows = [line.split(",") for line in lines.splitlines()]
    t = header.index(out["target"])
    sse = 0.0
    for row in rows:
        values = [float(c) for c in row]
        d = f(*(v for j, v in enumerate(values) if j != t)) - values[t]
        sse += d * d
    assert math.sqrt(sse / len(rows)) == out["error"], out["formula"]


# Guard semantics of the exported function: values the engine computes, or
# nan where its evaluation fails.
BIG = 1e300


@pytest.mark.parametrize(
    "formula, args, expected",
    [
        ("exp(x)", [710.0], math.nan),  # overflow
        ("(x * y)", [BIG, BIG], math.nan),
        ("(1/exp(x))", [-800.0], math.nan),  # 1/0 underflowed: divisor below 1e-300
        ("(1/(x * y))", [BIG, BIG], math.nan),  # an infinite step fails before 1/inf
        ("exp((x * y))", [BIG, -BIG], math.nan),  # exp(-inf) would be 0
        ("(x / (y * y))", [1.0, BIG], math.nan),
        ("vek((x * y), 1.0000)", [BIG, -BIG], math.nan),
        ("(1/x)", [math.inf], 0.0),  # leaves are taken as they are
        ("x", [math.inf], math.inf),
        ("ln(x)", [0.0], math.nan),
        ("sqrt(x)", [-1e-320], math.nan),
        ("sqrt(x)", [-0.0], -0.0),
        ("sin(x)", [math.inf], math.nan),
        ("(x / y)", [1.0, 1e-301], math.nan),
        ("vek(x, y)", [800.0, 0.0], math.exp(math.log(800.0)) - math.log(1e-300)),
        ("vek(x, y)", [1.0, -2.0], math.exp(1.0) - math.log(2.0)),
        ("vek(x, y)", [1.0, math.nan], math.nan),
        ("((π * e) + (c0(1.0000) * -0.2500))", [], math.pi * math.e + 0.75 * -0.25),
        ("(-" * 1000 + "x" + ")" * 1000, [2.0], 2.0),  # deep nesting compiles
        ("(" * 400 + "x" + " + 1.0000)" * 400, [0.5], 400.5),
    ],
)
def test_exported_guards(formula, args, expected):
    names = ["x", "y"][: len(args)]
    f = load(_export.python_source(formula, names, [0.75], func_name="g"), "g")
    value = f(*args)
    assert value == expected or (math.isnan(value) and math.isnan(expected)), value
    assert math.copysign(1.0, value) == math.copysign(1.0, expected)


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


def test_progress_hook_is_reset_after_a_run(capsys):
    from vek_math import _runtime

    assert cli.main(["discover", "--progress", "--max-complexity", "3"]) == 0
    assert _runtime.search_progress is None
    assert "level 0:" in capsys.readouterr().err


def test_progress_hook_errors_end_the_search():
    from vek_math import _runtime, vek_core

    def boom(*args):
        raise RuntimeError("stop here")

    _runtime.search_progress = boom
    try:
        with pytest.raises(RuntimeError, match="stop here"):
            vek_core.find_formula([[1.0, 2.0, 3.0]], [5.0, 1.0, 7.0])
    finally:
        _runtime.search_progress = None

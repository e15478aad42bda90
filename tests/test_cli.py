"""The vek-math command line."""

import json
import os
import subprocess
import sys

import pytest

from vek_math import cli


def run(*args, **kw):
    return subprocess.run([sys.executable, "-I", "-m", "vek_math", *args], capture_output=True, text=True, **kw)


def test_sample_run_recovers_its_formula():
    proc = run("discover")
    assert proc.returncode == 0, proc.stderr
    assert "response ≈ (sin(x) + (y * x))" in proc.stdout
    assert "x = angle, y = load" in proc.stdout
    assert "\\sin(x)" in proc.stdout and "math.sin(x)" in proc.stdout
    assert proc.stderr == ""  # progress only on a terminal or when asked


def test_json_and_progress(tmp_path):
    f = tmp_path / "t.csv"
    f.write_text("a,out\n1,2\n2,4\n3,6\n")
    proc = run("discover", str(f), "--target", "out", "--json", "--progress", "--max-complexity", "4")
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["formula"] == "(x + x)" and out["complexity"] == 3 and out["error"] == 0.0
    assert out["variables"] == {"x": "a"}
    assert out["latex"] == "(x + x)" and out["python"].startswith("import math\n")
    assert "level 0:" in proc.stderr and "level 1:" in proc.stderr


def test_target_in_the_middle(tmp_path):
    f = tmp_path / "t.csv"
    f.write_text("a,out,b\n1,1,9\n2,4,8\n3,9,7\n")
    out = json.loads(run("discover", str(f), "--target", "out", "--json").stdout)
    assert out["variables"] == {"x": "a", "y": "b"} and out["formula"] == "(x * x)"


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
    ],
)
def test_bad_input_is_one_line_and_status_2(tmp_path, content, args, message):
    f = tmp_path / "in.csv"
    if content is not None:
        f.write_text(content)
    proc = run("discover", str(f), *args)
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert proc.stderr.count("\n") == 1 and message in proc.stderr and "Traceback" not in proc.stderr


def test_negative_options_are_refused():
    with pytest.raises(SystemExit) as info:
        cli.main(["discover", "--beam-width", "-1"])
    assert info.value.code == 2


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

"""vek_math.to_sympy: formulas of real searches, read back and recomputed against
the engine; the reading rules on hand-written texts; refusals; the optional dependency."""

import math
import random
import subprocess
import sys

import numpy as np
import pytest

sympy = pytest.importorskip("sympy")

import vek_math  # noqa: E402
from vek_math import _search, vek_core  # noqa: E402

# Targets over 1 to 3 columns: the fronts of their searches hold every
# construct the engine prints.
TARGETS = {
    "inv_plus_sqrt": (1, lambda x: 1 / x + math.sqrt(x)),
    "cos_over": (1, lambda x: math.cos(x) / (x + 1)),
    "neg_exp": (1, lambda x: -math.exp(-x)),
    "vek_xy": (2, lambda x, y: math.exp(x) - math.log(y)),
    "ratio_minus_one": (2, lambda x, y: x / y - 1),
    "sin_plus_yz": (3, lambda x, y, z: math.sin(x) + y * z),
}


def test_converted_formulas_compute_what_the_engine_computes():
    texts = []
    for name, (ncols, f) in TARGETS.items():
        rng = random.Random(name)
        X = np.array([[rng.uniform(0.5, 3.0) for _ in range(ncols)] for _ in range(8)])
        symbols = [sympy.Symbol(f"x{i}") for i in range(ncols)]
        for rec in _search.search(X, [f(*row) for row in X], max_complexity=6, beam_width=200).front:
            expr = vek_math.to_sympy(rec.formula)
            assert expr.free_symbols <= set(symbols), (rec.formula, expr)
            got = [sympy.lambdify(symbols, expr, modules="math")(*row) for row in X.tolist()]
            want = _search.evaluate(rec.nodes, X).tolist()
            assert got == pytest.approx(want, rel=1e-12, abs=1e-12), rec.formula
            texts.append(rec.formula)
    for piece in ("(1/", "exp(", "ln(", "sqrt(", "sin(", "cos(", "vek(", " + ", " - ", " * ", " / ", "1.0000", "(-"):
        assert piece in " ".join(texts), piece


def test_many_columns_name_symbols_by_column():
    rnd = random.Random(7)
    cols = [[rnd.uniform(1.0, 2.0) for _ in range(6)] for _ in range(10)]
    result = vek_core.find_formula(cols, [2 * a for a in cols[9]], max_complexity=3, beam_width=8)
    assert result.formula == "(\x81 + \x81)"
    assert vek_math.to_sympy(result) == 2 * sympy.Symbol("x9")


X, Y, Z = sympy.symbols("x0 x1 x2")


@pytest.mark.parametrize("text, expected", [
    ("((y * x) + z)", X * Y + Z),
    ("(\x7f + \xff)", sympy.Symbol("x7") + sympy.Symbol("x135")),
    ("(-x)", -X),
    ("(--1.0000)", sympy.Integer(1)),
    ("(-1.0000 + x)", X - 1),  # a negative constant, not a negation
    ("(-inf - x)", -sympy.oo - X),
    ("sqrt(abs(x))", sympy.sqrt(sympy.Abs(X))),
    ("(sin(x) + cos(y))", sympy.sin(X) + sympy.cos(Y)),
    ("vek(vek(x, y), 1.0000)", sympy.exp(sympy.exp(X) - sympy.log(Y))),
    ("(π * e)", sympy.pi * sympy.E),
    ("-3.1416", sympy.Rational(-3927, 1250)),
    ("NaN", sympy.nan),
    ("(c12(-0.2500) + c0(NaN))", sympy.Symbol("c0") + sympy.Symbol("c12")),
])
def test_reading_rules(text, expected):
    assert vek_math.to_sympy(text) == expected


@pytest.mark.parametrize("value, exc", [(text, ValueError) for text in [
    "", "?", "( + x)", "(x + y", "(x + y))", "x y", "(x ^ y)", "(x+y)", "foo(x)", "exp x", "vek(x)", "vek(x,y)", "1",
    "1.", "1e5", "-x", "(-x + y)", "c(1.0000)", "c0", "c0(x)", "A", "€", "x\x00", "(" * 5000 + "x" + ")" * 5000,
    "(-" * 5000 + "x" + ")" * 5000,
]] + [(value, TypeError) for value in [None, 42, b"x", ["x"], vek_core.VEKPoint(1.0, 2.0)]])
def test_refuses_what_is_not_a_formula(value, exc):
    with pytest.raises(exc):
        vek_math.to_sympy(value)


def test_import_stays_light_and_the_missing_dependency_is_explained():
    code = ("import sys, vek_math\n"
            "assert 'sympy' not in sys.modules and 'vek_math._sympy' not in sys.modules\n"
            "assert 'to_sympy' in dir(vek_math) and 'to_sympy' not in vek_math.__all__\n"
            "sys.modules['sympy'] = None  # as if it were not installed\n"
            "try:\n    vek_math.to_sympy('(x + 1.0000)')\nexcept ImportError as exc:\n    print(exc)")
    proc = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True, timeout=120)
    assert "pip install 'vek_math[sympy]'" in proc.stdout, proc.stderr

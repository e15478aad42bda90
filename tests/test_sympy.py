"""vek_math.to_sympy: formulas of real searches, read back and recomputed; the
reading rules on hand-written texts; refusals; the optional dependency."""

import math
import random
import subprocess
import sys

import pytest

sympy = pytest.importorskip("sympy")

import vek_math  # noqa: E402
from vek_math import vek_core  # noqa: E402

PENALTY = 0.001

# Targets over 1 to 3 columns: some the search hits exactly, some it only
# approximates within the budget (then the formula is whatever it settled on).
TARGETS = {
    "square_plus_one": (1, lambda x: x * x + 1),
    "vek_of_x": (1, lambda x: math.exp(x) - math.log(x)),
    "x_sin_x": (1, lambda x: math.sin(x) * x),
    "inv_plus_sqrt": (1, lambda x: 1 / x + math.sqrt(x)),
    "pi_x": (1, lambda x: math.pi * x),
    "e_minus_x": (1, lambda x: math.e - x),
    "cos_over": (1, lambda x: math.cos(x) / (x + 1)),
    "neg_exp": (1, lambda x: -math.exp(-x)),
    "xy_plus_x": (2, lambda x, y: x * y + x),
    "vek_xy": (2, lambda x, y: math.exp(x) - math.log(y)),
    "ratio_minus_one": (2, lambda x, y: x / y - 1),
    "hypot": (2, lambda x, y: math.sqrt(x * x + y * y)),
    "xy_plus_z": (3, lambda x, y, z: x * y + z),
    "diff_over": (3, lambda x, y, z: (x - z) / y),
    "sin_plus_yz": (3, lambda x, y, z: math.sin(x) + y * z),
}
SEEDS = (0, 1, 2)


def dataset(name, seed):
    ncols, f = TARGETS[name]
    rnd = random.Random(f"{name}/{seed}")
    cols = [[rnd.uniform(0.5, 3.0) for _ in range(8)] for _ in range(ncols)]
    return cols, [f(*row) for row in zip(*cols)]


_searches = {}


def search(name, seed):
    key = (name, seed)
    if key not in _searches:
        cols, y = dataset(name, seed)
        result = vek_core.find_formula(cols, y, max_complexity=6, beam_width=200, complexity_penalty=PENALTY)
        assert result is not None
        _searches[key] = (cols, y, result)
    return _searches[key]


def lambdified(result, ncols):
    symbols = [sympy.Symbol(f"x{i}") for i in range(ncols)]
    expr = vek_math.to_sympy(result)
    assert expr.free_symbols <= set(symbols), (result.formula, expr)
    return sympy.lambdify(symbols, expr, modules="math")


def rendered_python(result):
    """The engine's own Python rendering, run as written, with the names it
    leaves open (vek, the constants, the second and third variable) bound."""
    namespace = {"vek": lambda a, b: math.exp(a) - math.log(b), "π": math.pi, "e": math.e}
    exec(result.to_python(), namespace)
    f = namespace["f"]

    def call(*row):
        namespace["y"], namespace["z"] = (row[1:] + (None, None))[:2]
        return f(row[0])

    return call


CASES = [pytest.param(name, seed, id=f"{name}-{seed}") for name in TARGETS for seed in SEEDS]


@pytest.mark.parametrize("name, seed", CASES)
def test_converted_formula_reproduces_the_reported_error(name, seed):
    cols, y, result = search(name, seed)
    f = lambdified(result, len(cols))
    sse = sum((f(*row) - t) ** 2 for row, t in zip(zip(*cols), y))
    rmse = math.sqrt(sse / len(y))
    assert rmse * (PENALTY * result.complexity + 1.0) == pytest.approx(result.error, rel=1e-9, abs=1e-12), (
        result.formula
    )


@pytest.mark.parametrize("name, seed", CASES)
def test_converted_formula_agrees_with_the_python_rendering(name, seed):
    cols, _, result = search(name, seed)
    f = lambdified(result, len(cols))
    g = rendered_python(result)
    for row in zip(*cols):
        assert f(*row) == pytest.approx(g(*row), rel=1e-12, abs=1e-12), (result.formula, row)


def test_searches_cover_every_construct_the_search_prints():
    texts = " ".join(search(name, seed)[2].formula for name in TARGETS for seed in SEEDS)
    for piece in ("(1/", "exp(", "ln(", "sqrt(", "sin(", "cos(", "vek(", " + ", " - ", " * ", " / ", "1.0000", "(-"):
        assert piece in texts, piece


def test_many_columns_name_symbols_by_column():
    rnd = random.Random(7)
    cols = [[rnd.uniform(1.0, 2.0) for _ in range(6)] for _ in range(10)]
    result = vek_core.find_formula(cols, [2 * a for a in cols[9]], max_complexity=3, beam_width=8)
    assert result.formula == "(\x81 + \x81)"
    assert vek_math.to_sympy(result) == 2 * sympy.Symbol("x9")


X, Y, Z = sympy.symbols("x0 x1 x2")
C0, C12 = sympy.symbols("c0 c12")


@pytest.mark.parametrize(
    "text, expected",
    [
        ("x", X),
        ("((y * x) + z)", X * Y + Z),
        ("{", sympy.Symbol("x3")),
        ("(\x7f + \x80)", sympy.Symbol("x7") + sympy.Symbol("x8")),
        ("\xff", sympy.Symbol("x135")),
        ("(-x)", -X),
        ("(--1.0000)", sympy.Integer(1)),
        ("(-1.0000 + x)", X - 1),
        ("(-inf - x)", -sympy.oo - X),
        ("(-0.0000 * x)", sympy.Integer(0)),
        ("(1/x)", 1 / X),
        ("(1.0000 / x)", 1 / X),
        ("(1/(1/x))", X),
        ("(x - (y / z))", X - Y / Z),
        ("exp(ln(x))", X),
        ("sqrt(abs(x))", sympy.sqrt(sympy.Abs(X))),
        ("(sin(x) + cos(y))", sympy.sin(X) + sympy.cos(Y)),
        ("vek(x, y)", sympy.exp(X) - sympy.log(Y)),
        ("vek(vek(x, y), 1.0000)", sympy.exp(sympy.exp(X) - sympy.log(Y))),
        ("(π * e)", sympy.pi * sympy.E),
        ("exp(e)", sympy.exp(sympy.E)),
        ("3.1416", sympy.Rational(3927, 1250)),
        ("-0.2500", sympy.Rational(-1, 4)),
        ("12345.0000", sympy.Integer(12345)),
        ("inf", sympy.oo),
        ("-inf", -sympy.oo),
        ("(c0(1.5000) * x)", C0 * X),
        ("(c12(-0.2500) + c0(NaN))", C0 + C12),
    ],
)
def test_reading_rules(text, expected):
    assert vek_math.to_sympy(text) == expected


def test_nan_constant():
    assert vek_math.to_sympy("NaN") is sympy.nan


@pytest.mark.parametrize(
    "text",
    [
        "",
        "?",
        "( + x)",
        "(x + y",
        "(x + y))",
        "x y",
        "(x ^ y)",
        "(x+y)",
        "foo(x)",
        "exp x",
        "vek(x)",
        "vek(x,y)",
        "1",
        "1.",
        "1e5",
        "-x",
        "(-x + y)",
        "c(1.0000)",
        "c0",
        "c0(x)",
        "A",
        "€",
        "x\x00",
        "(" * 5000 + "x" + ")" * 5000,
        "(-" * 5000 + "x" + ")" * 5000,
    ],
)
def test_refuses_text_that_is_not_a_formula(text):
    with pytest.raises(ValueError):
        vek_math.to_sympy(text)


@pytest.mark.parametrize("value", [None, 42, b"x", ["x"], vek_core.VEKPoint(1.0, 2.0)])
def test_refuses_non_formulas(value):
    with pytest.raises(TypeError):
        vek_math.to_sympy(value)


def _run(code):
    return subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True, timeout=120)


def test_import_stays_light_and_the_missing_dependency_is_explained():
    code = """
import sys
import vek_math
assert "sympy" not in sys.modules and "vek_math._sympy" not in sys.modules
assert "to_sympy" in dir(vek_math) and "to_sympy" not in vek_math.__all__
sys.modules["sympy"] = None  # as if it were not installed
from vek_math import to_sympy
try:
    to_sympy("(x + 1.0000)")
except ImportError as exc:
    print(exc)
"""
    proc = _run(code)
    assert proc.returncode == 0, proc.stderr
    assert "pip install 'vek_math[sympy]'" in proc.stdout

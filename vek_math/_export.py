"""Formulas of the discovery engine as standalone Python source.

``python_source(formula, names)`` turns a formula (its text, or its tree from
``vek_math._formula``) into a module-level function that runs with the standard library alone and returns, for every
input, the value the engine computes for it, bit for bit, or ``math.nan``
where the engine's evaluation fails. The text is read by ``vek_math._formula``.

How the engine's guarded arithmetic is reproduced:

* every operator step whose result is not finite fails (an overflowing
  ``math.exp`` raises OverflowError, ``math.sin`` of an infinity ValueError;
  other infinities and NaN travel to the end and are caught there, or, where
  the next step could turn them finite again, by ``_finite``);
* a logarithm of a number <= 0 and a square root of a negative number fail
  (``math.log`` and ``math.sqrt`` raise ValueError on exactly those);
* a division by a number of magnitude below 1e-300 fails (``_divisor``);
* ``vek`` is the engine's vek operator with its exponential and logarithm
  guards, and ``_power`` a power with the engine's domain;
* the other operators are the operator table's Python renderings
  (``math`` calls; ``math.asin`` and ``math.acos`` raise ValueError outside
  [-1, 1], where the engine fails too);
* leaf values (arguments and constants) are used as they are, as the engine
  does.

The function's body names nothing a variable's name could shadow: arguments
that would be ``math`` or a helper are renamed, and the exceptions caught are
the module-level tuple ``_FAILED`` bound first, never a builtin looked up when
the function runs, so the code works for any column names (``ValueError``
included) and any function name.
"""

from __future__ import annotations

import keyword
import math
import re
import unicodedata
from collections.abc import Collection, Sequence

from vek_math import _formula

__all__ = ["identifiers", "numpy_source", "python_source"]

_VEK = '''def vek(a, b):
    """exp(a) - ln(b) with the guards of the vek operator: exp(ln(a)) for
    a > 709.78, and ln(max(|b|, 1e-300)) for b <= 0."""
    e = math.exp(math.log(a)) if a > 709.78 else math.exp(a)
    if b > 0 or math.isnan(b):
        return e - math.log(b)
    m = math.fabs(b)
    return e - math.log(m if m >= 1e-300 else 1e-300)
'''

_DIVISOR = '''def _divisor(b):
    """b; a magnitude below 1e-300 fails the division."""
    if math.fabs(b) < 1e-300:
        raise _FAILED[0]("divisor below 1e-300")
    return b
'''

_FINITE = '''def _finite(v):
    """v; a step whose result is not finite fails."""
    if not math.isfinite(v):
        raise _FAILED[0]("step result is not finite")
    return v
'''

_FAILED = """# What a failing step raises, bound before any other name of this module
# exists: neither an argument nor the function's own name can shadow it.
_FAILED = (ArithmeticError, ValueError)
"""

_POWER = '''def _power(a, k):
    """a**k for a > 0, for a == 0 with k > 0 and for a < 0 with a whole k;
    anything else fails."""
    if not (a > 0 or (a == 0 and k > 0) or (a < 0 and k == math.floor(k))):
        raise _FAILED[0]("power out of its domain")
    return math.pow(a, k)
'''

_HELPERS = {"vek": _VEK, "_divisor": _DIVISOR, "_finite": _FINITE, "_power": _POWER, "_FAILED": _FAILED}
_RESERVED = frozenset({"math", "__debug__", *_HELPERS})

# Operand positions where an infinite or NaN step result could yield a finite
# value again (1/inf, exp(-inf), vek(-inf, b), a/inf, tanh(inf), atan(inf)):
# an operator result arriving there is checked by _finite first.
_CHECKED = {"inv": (0,), "exp": (0,), "vek": (0,), "/": (1,), "tanh": (0,), "arctan": (0,)}

# Nesting kept below the limits of Python's parser: deeper subexpressions are
# assigned to locals first.
_MAX_NESTING = 24


def _literal(value: float) -> str:
    if math.isnan(value):
        return "math.nan"
    if math.isinf(value):
        return "math.inf" if value > 0 else "-math.inf"
    return repr(value)


def _usable(name: str, reserved: Collection[str]) -> bool:
    return (
        name.isidentifier()
        and not keyword.iskeyword(name)
        and name not in _RESERVED
        and name not in reserved
        and unicodedata.normalize("NFKC", name) == name
    )


def identifiers(names: Sequence[str], ascii_only: bool = False, reserved: Collection[str] = ()) -> list[str]:
    """One distinct Python name per variable: the given name where it is a
    usable identifier (not one of ``reserved`` either), otherwise x<i> (with
    underscores appended if that is taken)."""
    chosen: list[str | None] = []
    taken: set[str] = set()
    for name in names:
        ok = _usable(name, reserved) and name not in taken and (name.isascii() or not ascii_only)
        chosen.append(name if ok else None)
        if ok:
            taken.add(name)
    out = []
    for i, given in enumerate(chosen):
        if given is None:
            given = f"x{i}"
            while given in taken:
                given += "_"
            taken.add(given)
        out.append(given)
    return out


def python_source(
    formula: str | _formula.Node,
    names: Sequence[str],
    params: Sequence[float] = (),
    func_name: str = "f",
    *,
    ascii_only: bool = False,
    numpy: bool = False,
) -> str:
    """Python source of a function computing one formula of the engine.

    ``formula`` is a formula text of the engine or a tree of
    ``vek_math._formula``. ``names[i]`` names variable i (printed x, y, z, ...
    in the engine's text);
    the function takes one argument per name, in order, called by the name
    where it is a Python identifier (not a keyword, not one of the helper
    names), otherwise x<i>, with a comment saying which name it stands for.
    ``ascii_only`` also replaces non-ASCII identifiers. Parameter i of the
    formula takes ``params[i]``, or the value printed beside it when
    ``params`` is shorter. Constants are the values printed (four decimals,
    or π and e). Raises ValueError for text that is not a formula of the
    engine or that uses a variable beyond ``names``. ``numpy`` gives the
    array form of ``numpy_source`` instead.
    """
    if numpy:
        return numpy_source(formula, names, params, func_name, ascii_only=ascii_only)
    if not (func_name.isidentifier() and not keyword.iskeyword(func_name) and func_name not in _RESERVED):
        raise ValueError(f"not a usable function name: {func_name!r}")
    tree = _formula.parse(formula) if isinstance(formula, str) else formula
    shown = repr(formula) if isinstance(formula, str) else "the formula"
    args = identifiers(names, ascii_only)
    used: set[str] = set()
    statements: list[str] = []
    taken = set(args)

    def fresh(base: str) -> str:
        name = base
        while name in taken:
            name += "_"
        taken.add(name)
        return name

    # Each subexpression as (text, is an operator result, nesting depth,
    # text without its own outer parentheses for use as a call argument).
    Piece = tuple[str, bool, int, str]

    def leaf(node: _formula.Node) -> Piece:
        if isinstance(node, _formula.Var):
            if node.index >= len(args):
                raise ValueError(f"{shown} uses variable {node.index}, but only {len(args)} names were given")
            text = args[node.index]
        elif isinstance(node, _formula.Param):
            value = float(params[node.index]) if node.index < len(params) else _formula.const_value(node.text)
            text = _literal(value)
        else:
            assert isinstance(node, _formula.Const)
            text = {"π": "math.pi", "e": "math.e"}.get(node.text) or _literal(_formula.const_value(node.text))
        return text, False, 0, text

    def apply(node: _formula.Apply, operands: list[Piece]) -> Piece:
        op = node.op
        texts, bare = [], []
        for position, (text, computed, _, inner) in enumerate(operands):
            if computed and position in _CHECKED.get(op, ()):
                used.add("_finite")
                text = inner = f"_finite({inner})"
            texts.append(text)
            bare.append(inner)
        if op == "neg":
            inner = f"-{texts[0]}"
        elif op == "inv":
            used.add("_divisor")
            inner = f"1.0 / _divisor({bare[0]})"
        elif op == "/":
            used.add("_divisor")
            inner = f"{texts[0]} / _divisor({bare[1]})"
        elif op in ("+", "-", "*"):
            inner = f"{texts[0]} {op} {texts[1]}"
        if op in ("neg", "inv", "+", "-", "*", "/"):
            text = f"({inner})"
        else:
            if op == "vek":
                used.add("vek")
                text = f"vek({bare[0]}, {bare[1]})"
            elif _formula.operator(op).name == "pow":
                used.add("_power")
                text = f"_power({bare[0]}, {bare[1]})"
            else:  # the table's own rendering: a math call, or products for square and cube
                python = _formula.operator(op).python
                text = _formula.fill(python, texts if python.startswith("(") else bare)
            inner = text
        nesting = 1 + max(piece[2] for piece in operands)
        if nesting >= _MAX_NESTING:
            local = fresh(f"t{len(statements) + 1}")
            statements.append(f"{local} = {inner}")
            return local, True, 0, local
        return text, True, nesting, inner

    text, computed, _, inner = _formula.fold(tree, leaf, apply)

    lines = ["import math", ""]
    if computed:
        used.add("_FAILED")
    for helper in ("_FAILED", "vek", "_divisor", "_finite", "_power"):
        if helper in used:
            lines += ["", _HELPERS[helper]]
    lines += ["", f"def {func_name}({', '.join(args)}):"]
    lines += [
        '    """The formula as the discovery engine evaluates it: math.nan where',
        "    that evaluation fails (a logarithm of a number <= 0, a square root of",
        "    a negative number, a division by a magnitude below 1e-300, or a step",
        '    whose result is not finite)."""',
    ]
    for arg, name in zip(args, names):
        if arg != name:
            lines.append(f"    # {arg} stands for {name!a}")
    if not computed:
        lines.append(f"    return {text}")
    else:
        result = fresh("value")
        lines.append("    try:")
        lines += [f"        {statement}" for statement in statements]
        lines += [
            f"        {result} = {inner}",
            "    except _FAILED:",
            "        return math.nan",
            f"    return {result} if math.isfinite({result}) else math.nan",
        ]
    return "\n".join(lines) + "\n"


# The array form. Transcendental steps go through the math module element by
# element: numpy's own exp, log, sin, ... may differ from the platform's libm
# in the last bit, and the engine uses libm. Arithmetic, sqrt and fabs are
# correctly rounded everywhere, so numpy computes them whole.
_NP_EACH = '''def _each(fn, *args):
    """fn of every element (broadcast); NaN where it raises."""

    def safe(*values):
        try:
            return fn(*values)
        except _FAILED:
            return math.nan

    return np.asarray(np.frompyfunc(safe, len(args), 1)(*args), dtype=np.float64)
'''

_NP_FINITE = '''def _finite(v):
    """v, NaN where it is not finite: the step fails there."""
    return np.where(np.isfinite(v), v, np.nan)
'''

_NP_DIVIDE = '''def _divide(a, b):
    """a / b, NaN where |b| is below 1e-300."""
    with np.errstate(all="ignore"):
        return np.where(np.fabs(b) < 1e-300, np.nan, a / b)
'''

_NP_HELPERS = {"_each": _NP_EACH, "_finite": _NP_FINITE, "_divide": _NP_DIVIDE}
_NP_RESERVED = frozenset({"np", "shape", *_NP_HELPERS})
_MATH_CALL = re.compile(r"math\.(\w+)\(\{0\}\)")


def numpy_source(
    formula: str | _formula.Node,
    names: Sequence[str],
    params: Sequence[float] = (),
    func_name: str = "f",
    *,
    ascii_only: bool = False,
) -> str:
    """Python source (numpy and the standard library) of a vectorised
    function computing one formula of the engine: one array argument per
    name (broadcast together), a float64 array out, equal element by
    element to the engine's evaluation, NaN where it fails. Names, function
    name and constants follow ``python_source``."""
    if not (
        func_name.isidentifier() and not keyword.iskeyword(func_name) and func_name not in _RESERVED | _NP_RESERVED
    ):
        raise ValueError(f"not a usable function name: {func_name!r}")
    tree = _formula.parse(formula) if isinstance(formula, str) else formula
    shown = repr(formula) if isinstance(formula, str) else "the formula"
    args = identifiers(names, ascii_only, reserved=_NP_RESERVED)
    steps: list[str] = []
    used: set[str] = set()

    def leaf(node: _formula.Node) -> str:
        if isinstance(node, _formula.Var):
            if node.index >= len(args):
                raise ValueError(f"{shown} uses variable {node.index}, but only {len(args)} names were given")
            return args[node.index]
        if isinstance(node, _formula.Param):
            value = float(params[node.index]) if node.index < len(params) else _formula.const_value(node.text)
            return _literal(value)
        assert isinstance(node, _formula.Const)
        return {"π": "math.pi", "e": "math.e"}.get(node.text) or _literal(_formula.const_value(node.text))

    def apply(node: _formula.Apply, operands: list[str]) -> str:
        row = _formula.operator(node.op)
        a = operands[0]
        b = operands[1] if len(operands) > 1 else ""
        if row.name in ("inv", "div"):
            used.add("_divide")
            value = f"_divide({'1.0' if row.name == 'inv' else a}, {a if row.name == 'inv' else b})"
        elif row.name == "vek" or row.name == "pow":
            helper = "vek" if row.name == "vek" else "_power"
            used.update(("_each", helper))
            value = f"_each({helper}, {a}, {b})"
        elif row.name == "sqrt":
            value = f"np.sqrt({a})"
        elif row.name == "abs":
            value = f"np.fabs({a})"
        elif (call := _MATH_CALL.fullmatch(row.python)) is not None:
            used.add("_each")
            value = f"_each(math.{call[1]}, {a})"
        else:  # arithmetic: the table's own rendering
            value = _formula.fill(row.python, operands)
        used.add("_finite")
        local = f"t{len(steps) + 1}"
        while local in args:
            local += "_"
        steps.append(f"{local} = _finite({value})")
        return local

    result = _formula.fold(tree, leaf, apply)
    lines = ["import math", "", "import numpy as np", ""]
    if "_each" in used:
        used.add("_FAILED")
    for helper in ("_FAILED", "vek", "_power", "_each", "_finite", "_divide"):
        if helper in used:
            lines += ["", _NP_HELPERS.get(helper) or _HELPERS[helper]]
    lines += ["", f"def {func_name}({', '.join(args)}):"]
    lines += [
        '    """The formula as the discovery engine evaluates it, element by',
        "    element of the broadcast arguments: NaN where that evaluation fails",
        "    (a logarithm of a number <= 0, a square root of a negative number, a",
        '    division by a magnitude below 1e-300, or a step whose result is not finite)."""',
    ]
    for arg, name in zip(args, names):
        if arg != name:
            lines.append(f"    # {arg} stands for {name!a}")
    lines.append(f"    shape = np.broadcast_shapes({''.join(f'np.shape({a}), ' for a in args)})")
    lines += [f"    {a} = np.asarray({a}, dtype=np.float64)" for a in args]
    if steps:
        lines += ['    with np.errstate(all="ignore"):'] + [f"        {step}" for step in steps]
    lines.append(f"    return np.broadcast_to(np.asarray({result}, dtype=np.float64), shape).copy()")
    return "\n".join(lines) + "\n"

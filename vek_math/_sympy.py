"""Formulas found by ``find_formula`` as sympy expressions.

The formula text is read by the shared reader of ``vek_math._formula`` (its
documentation gives the grammar); nothing is ever evaluated as Python.

Names: variable i becomes ``Symbol("x{i}")`` (x0 is the first column of
``x_data``, x1 the second, ...), whatever character the engine printed for it;
parameter i becomes ``Symbol("c{i}")`` (the value printed beside it is the
optimizer's starting value and is dropped). Constants are exact: "1.0000" is 1,
"0.2500" is 1/4 (the engine prints four decimals, so other constants arrive
rounded), "π" is ``pi``, "e" is ``E``, "inf" is ``oo`` and "NaN" is ``nan``.

Operators: ``(-A)`` is -A, ``(1/A)`` is 1/A, ``ln`` is ``log``, ``abs`` is
``Abs``, ``vek(A, B)`` is exp(A) - log(B), ``(A ^ k)`` is A**k (k exact), and
the rest are sympy's functions of the same names. The engine's numeric guards (its
exponential cap above 709.78 and the logarithm of the magnitude inside vek for
a non-positive B) are not part of the expression: it is the plain formula.
``expression(..., guarded=True)`` (the estimator's ``sympy()``) writes them
in: vek is then the function ``vek`` of ``vek_math._sympy_vek`` with its
floors, and the expression is a Piecewise that is NaN where an operator's
guard rejects its operands.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Protocol

from vek_math import _formula

if TYPE_CHECKING:
    import sympy

__all__ = ["expression", "to_sympy"]

# Nesting beyond this is refused: sympy's own tree walks recurse.
_MAX_DEPTH = 300


class _HasFormula(Protocol):
    @property
    def formula(self) -> str: ...


def _load_sympy(what: str = "vek_math.to_sympy") -> Any:
    try:
        import sympy
    except ImportError as exc:
        raise ImportError(
            f"{what} needs sympy, which is not installed; install it with: pip install 'vek_math[sympy]'",
            name="sympy",
        ) from exc
    return sympy


# Significant digits of a fitted constant: 17 hold every double exactly, so
# the printed expression (str, lambdify, pycode) reads back the same value.
EXACT_DIGITS = 17


def _fitted(sp: Any, value: float, shortest: bool) -> Any:
    """A fitted constant: the double exactly (17 digits), or, for display,
    its shortest text that reads back as the same double."""
    return sp.Float(repr(float(value))) if shortest else sp.Float(float(value), EXACT_DIGITS)


def _leaf(
    sp: Any,
    node: _formula.Node,
    names: Sequence[str] | None = None,
    params: Sequence[float] = (),
    shortest: bool = False,
) -> Any:
    if isinstance(node, _formula.Var):
        return sp.Symbol(f"x{node.index}" if names is None else names[node.index])
    if isinstance(node, _formula.Param):
        if node.index < len(params):
            return _fitted(sp, params[node.index], shortest)
        return sp.Symbol(f"c{node.index}")
    assert isinstance(node, _formula.Const)
    text = node.text
    if text == "π":
        return sp.pi
    if text == "e":
        return sp.E
    if text == "NaN":
        return sp.nan
    negative = text.startswith("-")
    magnitude = text[1:] if negative else text
    value = sp.oo if magnitude == "inf" else sp.Rational(magnitude)
    return -value if negative else value


# Each operator of the engine's table (``_engine.OPERATORS``) as sympy
# builds it, by the engine's name: the one place an operator meets sympy.
_SYMPY: dict[str, Callable[[Any, list[Any]], Any]] = {
    "neg": lambda sp, a: -a[0],
    "inv": lambda sp, a: 1 / a[0],
    "exp": lambda sp, a: sp.exp(a[0]),
    "ln": lambda sp, a: sp.log(a[0]),
    "sqrt": lambda sp, a: sp.sqrt(a[0]),
    "sin": lambda sp, a: sp.sin(a[0]),
    "cos": lambda sp, a: sp.cos(a[0]),
    "abs": lambda sp, a: sp.Abs(a[0]),
    "vek": lambda sp, a: sp.exp(a[0]) - sp.log(a[1]),
    "add": lambda sp, a: a[0] + a[1],
    "sub": lambda sp, a: a[0] - a[1],
    "mul": lambda sp, a: a[0] * a[1],
    "div": lambda sp, a: a[0] / a[1],
    "square": lambda sp, a: a[0] ** 2,
    "cube": lambda sp, a: a[0] ** 3,
    "tanh": lambda sp, a: sp.tanh(a[0]),
    "arcsin": lambda sp, a: sp.asin(a[0]),
    "arccos": lambda sp, a: sp.acos(a[0]),
    "arctan": lambda sp, a: sp.atan(a[0]),
    "sinh": lambda sp, a: sp.sinh(a[0]),
    "cosh": lambda sp, a: sp.cosh(a[0]),
    "pow": lambda sp, a: a[0] ** a[1],
}


def _tiny(sp: Any) -> Any:
    """The floor of divisors and of vek's logarithm, 1e-300."""
    return sp.Float("1e-300")


def _power_domain(sp: Any, a: list[Any]) -> Any:
    # x^k for x > 0, for x = 0 with k > 0 and for x < 0 with a whole k.
    base, k = a
    if k.is_integer:
        return sp.true if k > 0 else sp.Ne(base, 0)
    return base >= 0 if k > 0 else base > 0


# The operands each operator accepts, for those whose guard rejects some:
# the engine's evaluation fails (NaN) elsewhere.
_DOMAIN: dict[str, Callable[[Any, list[Any]], Any]] = {
    "inv": lambda sp, a: sp.Abs(a[0]) >= _tiny(sp),
    "div": lambda sp, a: sp.Abs(a[1]) >= _tiny(sp),
    "ln": lambda sp, a: a[0] > 0,
    "sqrt": lambda sp, a: a[0] >= 0,
    "arcsin": lambda sp, a: sp.Abs(a[0]) <= 1,
    "arccos": lambda sp, a: sp.Abs(a[0]) <= 1,
    "pow": _power_domain,
}


def _apply(sp: Any, node: _formula.Apply, args: list[Any]) -> Any:
    return _SYMPY[_formula.operator(node.op).name](sp, args)


def _guarded(sp: Any, tree: _formula.Node, leaf: Callable[[_formula.Node], Any]) -> Any:
    """The formula with its guards: the value where every step's operands
    are in its operator's domain, NaN elsewhere, and vek as the function
    ``vek`` of ``_sympy_vek`` (its floors written out when printed). The
    domains are conditions on the steps' operands, joined into one: a NaN
    inside a condition is something sympy refuses, and where every domain
    holds the operands are what the engine computes."""
    from vek_math._sympy_vek import vek

    domains: list[Any] = []

    def apply(node: _formula.Apply, args: list[Any]) -> Any:
        name = _formula.operator(node.op).name
        if name in _DOMAIN:
            domains.append(_DOMAIN[name](sp, args))
        return vek(*args) if name == "vek" else _SYMPY[name](sp, args)

    value = _formula.fold(tree, leaf, apply)
    condition = sp.And(*domains)
    if condition is sp.true:
        return value
    return sp.Piecewise((value, condition), (sp.nan, True))


def to_sympy(result: _HasFormula | str) -> sympy.Expr:
    """The formula of a search result (or a formula text) as a sympy expression.

    ``to_sympy(find_formula(...))`` or ``to_sympy("(x + exp(y))")``. Variable i
    is the symbol ``x{i}`` (the column ``x_data[i]``), parameter i the symbol
    ``c{i}``; see the module documentation for the other rules. Raises
    ValueError for text that is not a formula of the engine, TypeError for
    anything that is neither a string nor has a ``formula`` string, and
    ImportError when sympy is not installed.
    """
    text = result if isinstance(result, str) else getattr(result, "formula", None)
    if not isinstance(text, str):
        raise TypeError(f"to_sympy() takes a search result or a formula string, not {type(result).__name__}")
    sp = _load_sympy()
    tree = _formula.parse(text, max_depth=_MAX_DEPTH)
    return _convert(sp, tree, None, ())


def _convert(
    sp: Any,
    tree: _formula.Node,
    names: Sequence[str] | None,
    params: Sequence[float],
    shortest: bool = False,
    guarded: bool = False,
) -> Any:
    def leaf(node: _formula.Node) -> Any:
        return _leaf(sp, node, names, params, shortest)

    try:
        if guarded:
            return _guarded(sp, tree, leaf)
        return _formula.fold(tree, leaf, lambda node, args: _apply(sp, node, args))
    except RecursionError:
        raise ValueError("formula nests too deeply to convert") from None


def expression(
    tree: _formula.Node,
    names: Sequence[str],
    params: Sequence[float] = (),
    shortest: bool = False,
    guarded: bool = False,
) -> sympy.Expr:
    """A formula tree as a sympy expression: variable i is ``Symbol(names[i])``
    and parameter i takes ``params[i]`` (a symbol ``c{i}`` beyond them), a
    Float of 17 significant digits that holds the double exactly, or with
    ``shortest`` (for display) of the digits of its ``repr``; otherwise the
    rules of ``to_sympy``. ``guarded`` writes the guards in: vek as the
    function ``vek`` with its floors (``_sympy_vek``), and the domains of the
    operators that reject operands (inv, div, ln, sqrt, arcsin, arccos, pow)
    as one condition outside which the expression is NaN, as the engine's
    evaluation fails."""
    sp = _load_sympy("SymbolicRegressor.sympy() and .latex()")
    if _depth(tree) > _MAX_DEPTH:
        raise ValueError(f"formula nested deeper than {_MAX_DEPTH} levels")
    return _convert(sp, tree, names, params, shortest, guarded)


def _depth(tree: _formula.Node) -> int:
    return _formula.fold(tree, lambda node: 0, lambda node, depths: 1 + max(depths))

"""Formulas found by ``find_formula`` as sympy expressions.

The formula text is read by a small recursive-descent parser; nothing is ever
evaluated as Python. The grammar is exactly what the discovery engine prints:

    expr   := number | "π" | "e" | param | var
            | "(-" expr ")" | "(1/" expr ")"
            | "(" expr " " binop " " expr ")"
            | func "(" expr ")" | "vek(" expr ", " expr ")"
    binop  := "+" | "-" | "*" | "/"
    func   := "exp" | "ln" | "sqrt" | "sin" | "cos" | "abs"
    number := ["-"] digits "." digits | ["-"] "inf" | "NaN"
    param  := "c" digits "(" number ")"
    var    := one character, code point 120 + i for variable i (x, y, z, {, ...)

Names: variable i becomes ``Symbol("x{i}")`` (x0 is the first column of
``x_data``, x1 the second, ...), whatever character the engine printed for it;
parameter i becomes ``Symbol("c{i}")`` (the value printed beside it is the
optimizer's starting value and is dropped). Constants are exact: "1.0000" is 1,
"0.2500" is 1/4 (the engine prints four decimals, so other constants arrive
rounded), "π" is ``pi``, "e" is ``E``, "inf" is ``oo`` and "NaN" is ``nan``.

Operators: ``(-A)`` is -A, ``(1/A)`` is 1/A, ``ln`` is ``log``, ``abs`` is
``Abs``, and ``vek(A, B)`` is exp(A) - log(B). The engine's numeric guards (its
exponential cap above 709.78 and the logarithm of the magnitude inside vek for
a non-positive B) are not part of the expression: it is the plain formula.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Protocol

if TYPE_CHECKING:
    import sympy  # type: ignore[import-untyped, unused-ignore]

__all__ = ["to_sympy"]

# Variable i prints as the character with code point (120 + i) % 256. Those
# from index 136 on wrap into ASCII letters, digits and punctuation and cannot
# be told apart from the rest of the text; 0..135 (x, y, z, {, |, }, ~, DEL,
# then U+0080..U+00FF) are unambiguous.
_FIRST_VAR = 120
_VAR_COUNT = 256 - _FIRST_VAR

_FUNCTIONS = ("exp", "ln", "sqrt", "sin", "cos", "abs")
_BINARY = "+-*/"

# Two stack frames per nesting level; well within the default recursion limit.
_MAX_DEPTH = 300


class _HasFormula(Protocol):
    @property
    def formula(self) -> str: ...


def _load_sympy() -> Any:
    try:
        import sympy
    except ImportError as exc:
        raise ImportError(
            "vek_math.to_sympy needs sympy, which is not installed; "
            "install it with: pip install 'vek_math[sympy]'",
            name="sympy",
        ) from exc
    return sympy


class _Parser:
    def __init__(self, sp: Any, text: str) -> None:
        self.sp = sp
        self.text = text
        self.pos = 0
        self.depth = 0

    # -- helpers --------------------------------------------------------------

    def fail(self, what: str) -> ValueError:
        shown = self.text if len(self.text) <= 80 else self.text[:77] + "..."
        return ValueError(f"cannot read formula {shown!r} at offset {self.pos}: {what}")

    def peek(self, literal: str) -> bool:
        return self.text.startswith(literal, self.pos)

    def expect(self, literal: str) -> None:
        if not self.peek(literal):
            raise self.fail(f"expected {literal!r}")
        self.pos += len(literal)

    def digits(self) -> str:
        start = self.pos
        while self.pos < len(self.text) and self.text[self.pos] in "0123456789":
            self.pos += 1
        if self.pos == start:
            raise self.fail("expected a digit")
        return self.text[start : self.pos]

    # -- grammar --------------------------------------------------------------

    def parse(self) -> Any:
        expr = self.expr()
        if self.pos != len(self.text):
            raise self.fail("unexpected text after the formula")
        return expr

    def expr(self) -> Any:
        self.depth += 1
        if self.depth > _MAX_DEPTH:
            raise self.fail(f"nested deeper than {_MAX_DEPTH} levels")
        try:
            return self.operand()
        finally:
            self.depth -= 1

    def operand(self) -> Any:
        sp, text, pos = self.sp, self.text, self.pos
        if pos >= len(text):
            raise self.fail("formula ends where an operand should start")
        ch = text[pos]
        if ch == "(":
            return self.parenthesised()
        for name in _FUNCTIONS:
            if self.peek(name + "("):
                self.pos += len(name) + 1
                arg = self.expr()
                self.expect(")")
                return self.function(name, arg)
        if self.peek("vek("):
            self.pos += 4
            a = self.expr()
            self.expect(", ")
            b = self.expr()
            self.expect(")")
            return sp.exp(a) - sp.log(b)
        if ch == "π":
            self.pos += 1
            return sp.pi
        if ch == "e":
            self.pos += 1
            return sp.E
        if ch == "c" and pos + 1 < len(text) and text[pos + 1].isdigit():
            self.pos += 1
            index = self.digits()
            self.expect("(")
            self.number()  # the starting value; the parameter stays symbolic
            self.expect(")")
            return sp.Symbol(f"c{int(index)}")
        if ch == "-" or ch.isdigit() or self.peek("inf") or self.peek("NaN"):
            return self.number()
        if _FIRST_VAR <= ord(ch) < _FIRST_VAR + _VAR_COUNT:
            self.pos += 1
            return sp.Symbol(f"x{ord(ch) - _FIRST_VAR}")
        raise self.fail(f"unexpected character {ch!r}")

    def number(self) -> Any:
        sp = self.sp
        if self.peek("NaN"):
            self.pos += 3
            return sp.nan
        negative = self.peek("-")
        if negative:
            self.pos += 1
        if self.peek("inf"):
            self.pos += 3
            return -sp.oo if negative else sp.oo
        whole = self.digits()
        self.expect(".")
        fraction = self.digits()
        value = sp.Rational(f"{whole}.{fraction}")
        return -value if negative else value

    def parenthesised(self) -> Any:
        self.expect("(")
        if self.peek("1/"):
            self.pos += 2
            inner = self.expr()
            self.expect(")")
            return 1 / inner
        if self.peek("-"):
            # Either (-A), or a binary form whose left operand is a negative
            # number such as (-1.0000 + x).
            start = self.pos
            self.pos += 1
            inner = self.expr()
            if self.peek(")"):
                self.pos += 1
                return -inner
            self.pos = start
            left = self.number()
        else:
            left = self.expr()
        self.expect(" ")
        if self.pos >= len(self.text) or self.text[self.pos] not in _BINARY:
            raise self.fail("expected one of + - * /")
        op = self.text[self.pos]
        self.pos += 1
        self.expect(" ")
        right = self.expr()
        self.expect(")")
        if op == "+":
            return left + right
        if op == "-":
            return left - right
        if op == "*":
            return left * right
        return left / right

    def function(self, name: str, arg: Any) -> Any:
        sp = self.sp
        if name == "exp":
            return sp.exp(arg)
        if name == "ln":
            return sp.log(arg)
        if name == "sqrt":
            return sp.sqrt(arg)
        if name == "sin":
            return sp.sin(arg)
        if name == "cos":
            return sp.cos(arg)
        return sp.Abs(arg)


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
    try:
        return _Parser(sp, text).parse()
    except RecursionError:
        raise ValueError("formula nests too deeply to convert") from None

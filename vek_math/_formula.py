"""Reader of the formula text the discovery engine prints.

Shared by the sympy conversion (``_sympy``) and the Python export
(``_export``). Nothing is ever evaluated as Python: the text is read into a
small tree by an explicit-stack recursive-descent reader, so nesting depth
costs heap, not interpreter frames. The grammar is exactly what the engine
prints:

    expr   := number | "π" | "e" | param | var
            | "(-" expr ")" | "(1/" expr ")"
            | "(" expr " " binop " " expr ")"
            | func "(" expr ")" | "vek(" expr ", " expr ")"
    binop  := "+" | "-" | "*" | "/"
    func   := "exp" | "ln" | "sqrt" | "sin" | "cos" | "abs"
    number := ["-"] digits "." digits | ["-"] "inf" | "NaN"
    param  := "c" digits "(" number ")"
    var    := one character, code point 120 + i for variable i (x, y, z, {, ...)

"(-1.0000 + x)" is a sum whose left operand is the constant -1 (a negative
number directly after "(" followed by an operator), while "(-1.0000)" is the
negation of the constant 1: the engine prints both, and they differ where the
operand is not finite (a negated infinity fails, a constant one does not).

Trees are made of four node types: ``Const`` (the printed text of a constant:
"1.0000", "-0.2500", "π", "e", "inf", "-inf" or "NaN"), ``Param`` (index and
printed starting value), ``Var`` (index) and ``Apply`` (operator name and
operand tuple). Operator names: "neg", "inv", "exp", "ln", "sqrt", "sin",
"cos", "abs", "vek", "+", "-", "*", "/".

The engine also hands formulas over as postfix node lists, tuples
("const", value), ("var", index), ("param", index) and ("op", name) with the
operator names above except "add", "sub", "mul", "div" for the four binary
ones: ``from_nodes`` reads those into trees, and ``render`` prints a tree as
the engine does, with any names for the variables and fitted constants to
four significant digits.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, TypeVar

__all__ = ["Apply", "Const", "Node", "Param", "Var", "const_value", "escaped", "fitted_text", "fold", "from_nodes",
           "parse", "render", "shown_name"]

# Variable i prints as the character with code point (120 + i) % 256. Those
# from index 136 on wrap into ASCII letters, digits and punctuation and cannot
# be told apart from the rest of the text; 0..135 (x, y, z, {, |, }, ~, DEL,
# then U+0080..U+00FF) are unambiguous.
FIRST_VAR = 120
VAR_COUNT = 256 - FIRST_VAR

FUNCTIONS = ("exp", "ln", "sqrt", "sin", "cos", "abs")
BINARY = "+-*/"


@dataclass(frozen=True, slots=True)
class Const:
    text: str


@dataclass(frozen=True, slots=True)
class Param:
    index: int
    text: str


@dataclass(frozen=True, slots=True)
class Var:
    index: int


@dataclass(frozen=True, slots=True)
class Apply:
    op: str
    args: tuple[Node, ...]


Node = Const | Param | Var | Apply

T = TypeVar("T")


def const_value(text: str) -> float:
    """The double a constant's text denotes ("π" and "e" are the doubles
    nearest pi and e, which is what the engine prints them for)."""
    if text == "π":
        return math.pi
    if text == "e":
        return math.e
    return float(text)  # also reads "inf", "-inf" and "NaN"


class _Reader:
    def __init__(self, text: str) -> None:
        self.text = text
        self.pos = 0

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

    def unsigned(self) -> str:
        if self.peek("inf"):
            self.pos += 3
            return "inf"
        whole = self.digits()
        self.expect(".")
        return f"{whole}.{self.digits()}"

    def number(self) -> str:
        if self.peek("NaN"):
            self.pos += 3
            return "NaN"
        if self.peek("-"):
            self.pos += 1
            return "-" + self.unsigned()
        return self.unsigned()

    def binop(self) -> str:
        self.expect(" ")
        if self.pos >= len(self.text) or self.text[self.pos] not in BINARY:
            raise self.fail("expected one of + - * /")
        op = self.text[self.pos]
        self.pos += 1
        self.expect(" ")
        return op

    def operand(self, frames: list[tuple[Any, ...]]) -> Node | None:
        """Reads a leaf (returned) or the opening of a compound form (a frame
        pushed, None returned). A "(-" before a number may also complete a
        negated constant or push the frame of a sum with a negative left
        operand and return that operand."""
        text, pos = self.text, self.pos
        if pos >= len(text):
            raise self.fail("formula ends where an operand should start")
        ch = text[pos]
        if ch == "(":
            if self.peek("(1/"):
                self.pos += 3
                frames.append(("close", "inv"))
                return None
            if self.peek("(-") and (text[pos + 2 : pos + 3].isdigit() or text.startswith("inf", pos + 2)):
                self.pos += 2
                number = self.unsigned()
                if self.peek(")"):
                    self.pos += 1
                    return Apply("neg", (Const(number),))
                frames.append(("left",))
                return Const("-" + number)
            if self.peek("(-"):
                self.pos += 2
                frames.append(("close", "neg"))
                return None
            self.pos += 1
            frames.append(("left",))
            return None
        for name in FUNCTIONS:
            if self.peek(name + "("):
                self.pos += len(name) + 1
                frames.append(("close", name))
                return None
        if self.peek("vek("):
            self.pos += 4
            frames.append(("vek",))
            return None
        if ch == "π" or ch == "e":
            self.pos += 1
            return Const(ch)
        if ch == "c" and pos + 1 < len(text) and text[pos + 1].isdigit():
            self.pos += 1
            index = int(self.digits())
            self.expect("(")
            value = self.number()
            self.expect(")")
            return Param(index, value)
        if ch == "-" or ch.isdigit() or self.peek("inf") or self.peek("NaN"):
            return Const(self.number())
        if FIRST_VAR <= ord(ch) < FIRST_VAR + VAR_COUNT:
            self.pos += 1
            return Var(ord(ch) - FIRST_VAR)
        raise self.fail(f"unexpected character {ch!r}")


def parse(text: str, max_depth: int | None = None) -> Node:
    """The tree of one formula text. Raises ValueError for text the engine
    does not print, or (with ``max_depth``) that nests deeper than that."""
    reader = _Reader(text)
    frames: list[tuple[Any, ...]] = []  # open compound forms, innermost last
    while True:
        if max_depth is not None and len(frames) >= max_depth:
            raise reader.fail(f"nested deeper than {max_depth} levels")
        value = reader.operand(frames)
        if value is None:
            continue
        # A complete operand: close every form it completes, up to the next
        # one that needs another operand.
        while frames:
            frame = frames.pop()
            kind = frame[0]
            if kind == "close":
                reader.expect(")")
                value = Apply(frame[1], (value,))
            elif kind == "vek":
                reader.expect(", ")
                frames.append(("vek2", value))
                break
            elif kind == "vek2":
                reader.expect(")")
                value = Apply("vek", (frame[1], value))
            elif kind == "left":
                frames.append(("right", reader.binop(), value))
                break
            else:  # "right"
                reader.expect(")")
                value = Apply(frame[1], (frame[2], value))
        else:
            if reader.pos != len(text):
                raise reader.fail("unexpected text after the formula")
            return value


def fold(tree: Node, leaf: Callable[[Node], T], apply: Callable[[Apply, list[T]], T]) -> T:
    """Bottom-up evaluation without recursion: ``leaf(node)`` for every
    leaf, ``apply(node, operand results)`` for every operator node, operands
    before their operator and left before right."""
    results: list[T] = []
    todo: list[tuple[Node, bool]] = [(tree, False)]
    while todo:
        node, ready = todo.pop()
        if not isinstance(node, Apply):
            results.append(leaf(node))
        elif ready:
            n = len(node.args)
            args = results[-n:]
            del results[-n:]
            results.append(apply(node, args))
        else:
            todo.append((node, True))
            todo.extend((arg, False) for arg in reversed(node.args))
    return results[0]


# Operator names of postfix node lists where they differ from the tree's.
_NODE_OPS = {"add": "+", "sub": "-", "mul": "*", "div": "/"}
_ARITY = {**dict.fromkeys(("neg", "inv", *FUNCTIONS), 1), **dict.fromkeys(("vek", *BINARY), 2)}


def const_text(value: float) -> str:
    """A constant's text as the engine prints it: "π" and "e" for the
    doubles nearest those numbers, otherwise four decimals."""
    if value == math.pi:
        return "π"
    if value == math.e:
        return "e"
    return _fixed(value)


def _fixed(value: float) -> str:
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.4f}"


def escaped(text: str) -> str:
    """``text`` with every character that is not printable (control and
    format characters such as ESC or the bidi overrides, line and paragraph
    separators, unassigned code points) written as a ``\\x``, ``\\u`` or
    ``\\U`` escape: a name printed to a terminal can then neither run
    terminal commands nor reorder the text around it."""
    if text.isprintable():
        return text
    out = []
    for ch in text:
        code = ord(ch)
        if ch.isprintable():
            out.append(ch)
        elif code < 0x100:
            out.append(f"\\x{code:02x}")
        elif code < 0x10000:
            out.append(f"\\u{code:04x}")
        else:
            out.append(f"\\U{code:08x}")
    return "".join(out)


# Identifiers that formula text uses for constants: a variable of that name
# is quoted so that it cannot be read as the constant.
_CONSTANT_WORDS = frozenset({"e", "π", "inf", "NaN"})


def shown_name(name: str) -> str:
    """A variable's name in formula text: as it is where it is an identifier
    (and not the text of a constant), otherwise in backquotes (as pandas'
    query strings write such names), with unprintable characters escaped."""
    if name.isidentifier() and name not in _CONSTANT_WORDS:
        return name
    return f"`{escaped(name)}`"


def from_nodes(nodes: Any) -> Node:
    """The tree of a postfix node list. A constant keeps its exact value
    (its text is ``repr`` of it, or "π" / "e"); a parameter's text is "NaN"
    (its value comes from the parameter list). Raises ValueError for a list
    that is not one well-formed formula."""
    stack: list[Node] = []
    for node in nodes:
        try:
            kind, payload = node
        except (TypeError, ValueError):
            raise ValueError(f"not a formula node: {node!r}") from None
        if kind == "const":
            value = float(payload)
            text = const_text(value) if value in (math.pi, math.e) or not math.isfinite(value) else repr(value)
            stack.append(Const(text))
        elif kind == "var" or kind == "param":
            index = operator.index(payload)
            if index < 0:
                raise ValueError(f"not a formula node: {node!r}")
            stack.append(Var(index) if kind == "var" else Param(index, "NaN"))
        elif kind == "op" and _NODE_OPS.get(payload, payload) in _ARITY:
            op = _NODE_OPS.get(payload, payload)
            n = _ARITY[op]
            if len(stack) < n:
                raise ValueError(f"operator {payload!r} is short of operands")
            args = tuple(stack[-n:])
            del stack[-n:]
            stack.append(Apply(op, args))
        else:
            raise ValueError(f"not a formula node: {node!r}")
    if len(stack) != 1:
        raise ValueError(f"a node list must leave exactly one formula, not {len(stack)}")
    return stack[0]


def fitted_text(value: float) -> str:
    """A fitted constant as formulas show it: four significant digits
    ("2.5", "0.3989", "-3.142", "8.988e+09")."""
    return f"{value:.4g}" if math.isfinite(value) else _fixed(value)


def render(tree: Node, names: Any, params: Any = (), pi: str = "π") -> str:
    """The text the engine prints for a tree, with ``names[i]`` for variable
    i. Parameter i with a value in ``params`` shows that value to four
    significant digits (a sum with a negative one as a difference, "(x -
    0.3)"); without one it shows as the engine prints it, "c{i}(text)".
    ``pi`` is the text of the constant pi (a stand-in such as "pi" where
    the text must be ASCII)."""

    def known(node: Node) -> float | None:
        if isinstance(node, Param) and node.index < len(params):
            return float(params[node.index])
        return None

    def leaf(node: Node) -> str:
        if isinstance(node, Var):
            return str(names[node.index])
        if isinstance(node, Param):
            value = known(node)
            return f"c{node.index}({_fixed(const_value(node.text))})" if value is None else fitted_text(value)
        assert isinstance(node, Const)
        text = const_text(const_value(node.text))
        return pi if text == "π" else text

    def apply(node: Apply, args: list[str]) -> str:
        op = node.op
        if op == "neg":
            return f"(-{args[0]})"
        if op == "inv":
            return f"(1/{args[0]})"
        if op == "vek":
            return f"vek({args[0]}, {args[1]})"
        if op in BINARY:
            value = known(node.args[1]) if op in "+-" else None
            if value is not None and value < 0 and math.isfinite(value):
                return f"({args[0]} {'-' if op == '+' else '+'} {fitted_text(-value)})"
            return f"({args[0]} {op} {args[1]})"
        return f"{op}({args[0]})"

    return fold(tree, leaf, apply)

"""Reader of the formula text the discovery engine prints.

Shared by the sympy conversion (``_sympy``) and the Python export
(``_export``). Nothing is ever evaluated as Python: the text is read into a
small tree by an explicit-stack recursive-descent reader, so nesting depth
costs heap, not interpreter frames. The grammar is exactly what the engine
prints:

    expr   := number | "π" | "e" | param | var | form
    form   := the ``text`` template of an operator of ``_engine.OPERATORS``
              with each "{0}" / "{1}" replaced by an expr: "P{0}S" for a
              unary operator, "P{0}M{1}S" for a binary one ("(-{0})",
              "exp({0})", "({0} + {1})", "vek({0}, {1})")
    number := ["-"] digits "." digits | ["-"] "inf" | "NaN"
    param  := "c" digits "(" number ")"
    var    := one character, code point 120 + i for variable i (x, y, z, {, ...)

Forms are told apart by their prefix P (the longest that matches), and forms
sharing a prefix ("(" of the infix operators) by what follows their first
operand. "(-1.0000 + x)" is a sum whose left operand is the constant -1 (a
negative number directly after a shorter prefix, followed by that prefix's
continuation), while "(-1.0000)" is the negation of the constant 1: the
engine prints both, and they differ where the operand is not finite (a
negated infinity fails, a constant one does not).

Trees are made of four node types: ``Const`` (the printed text of a constant:
"1.0000", "-0.2500", "π", "e", "inf", "-inf" or "NaN"), ``Param`` (index and
printed starting value), ``Var`` (index) and ``Apply`` (operator name and
operand tuple). An operator's name in a tree is its infix symbol X for an
infix operator (template "({0} X {1})": "+", "-", "*", "/"), otherwise its
name in the table ("neg", "exp", "vek", ...); ``operator(name)`` gives its
table row (an ``_engine.Operator``: name, arity, group and the ``text``,
``latex`` and ``python`` templates) and ``fill(template, operands)`` fills a
template in.

The engine also hands formulas over as postfix node lists, tuples
("const", value), ("var", index), ("param", index) and ("op", name) with the
table's names: ``from_nodes`` reads those into trees, and ``render`` prints a
tree as the engine does, with any names for the variables and fitted
constants to four significant digits.
"""

from __future__ import annotations

import math
import operator as _operator
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from vek_math import _engine

__all__ = [
    "Apply",
    "Const",
    "Node",
    "Param",
    "Var",
    "const_value",
    "escaped",
    "fill",
    "fitted_text",
    "fold",
    "from_nodes",
    "operator",
    "parse",
    "render",
    "shown_name",
]

# Variable i prints as the character with code point (120 + i) % 256. Those
# from index 136 on wrap into ASCII letters, digits and punctuation and cannot
# be told apart from the rest of the text; 0..135 (x, y, z, {, |, }, ~, DEL,
# then U+0080..U+00FF) are unambiguous.
FIRST_VAR = 120
VAR_COUNT = 256 - FIRST_VAR

# An operand slot of a template: "{0}" or "{1}".
_SLOT = re.compile(r"\{([01k])\}")


def fill(template: str, operands: Sequence[str]) -> str:
    """A template of the operator table with "{0}" and "{1}" replaced by the
    operands' texts, in one pass (an operand's own text is left as it is,
    braces included). "{k}", a power's exponent, is its second operand."""
    return _SLOT.sub(lambda m: operands[1 if m[1] == "k" else int(m[1])], template)


@dataclass(frozen=True, slots=True)
class _Form:
    """How an operator is printed: prefix, the text between two operands
    (binary only) and suffix, around the operands."""

    name: str  # the operator's name in trees
    arity: int
    prefix: str
    middle: str
    suffix: str

    @property
    def follow(self) -> str:
        """The text after the first operand."""
        return self.middle if self.arity == 2 else self.suffix


def _form(row: _engine.Operator) -> _Form:
    # A power's exponent ("{k}", the node's own value) is its second operand
    # in trees: a constant.
    arity = 2 if "{k}" in row.text else row.arity
    parts = row.text.replace("{k}", "{1}").split("{0}")
    if arity == 2 and len(parts) == 2:
        second = parts[1].split("{1}")
        parts = [parts[0], *second] if len(second) == 2 else []
    if len(parts) != arity + 1 or not parts[0] or "{" in "".join(parts):
        raise RuntimeError(f"the engine prints operator {row.name!r} as {row.text!r}, which this reader cannot read")
    prefix, *middle, suffix = parts
    infix = arity == 2 and prefix == "(" and suffix == ")" and re.fullmatch(r" (\S+) ", middle[0])
    return _Form(infix[1] if infix else row.name, arity, prefix, middle[0] if middle else "", suffix)


_FORMS = [_form(row) for row in _engine.OPERATORS]
# Operator names of trees, and the engine's names, to their table rows.
_ROWS: dict[str, _engine.Operator] = {}
for _form_, _row in zip(_FORMS, _engine.OPERATORS):
    for _name in (_form_.name, _row.name):
        if _ROWS.setdefault(_name, _row) is not _row:
            raise RuntimeError(f"operator name {_name!r} is taken twice")
del _form_, _row, _name
_TREE_NAME = {row.name: f.name for f, row in zip(_FORMS, _engine.OPERATORS)}
# Forms by prefix, longest prefix first.
_BY_PREFIX: dict[str, list[_Form]] = {}
for _f in sorted(_FORMS, key=lambda f: -len(f.prefix)):
    _BY_PREFIX.setdefault(_f.prefix, []).append(_f)
del _f


def operator(name: str) -> _engine.Operator:
    """The table row of an operator, by its name in trees ("+", "exp") or in
    node lists ("add", "exp"). Raises KeyError for an unknown name."""
    try:
        return _ROWS[name]
    except KeyError:
        raise KeyError(f"unknown operator {name!r}") from None


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

    def number_after(self, prefix: str) -> _Form | bool:
        """Whether a number follows ``prefix`` here: the form of ``prefix``
        that continues after it if there is one, else True; False without
        a number. The position is kept."""
        start = self.pos
        self.pos += len(prefix)
        try:
            self.number()
            return next((f for f in _BY_PREFIX[prefix] if self.peek(f.follow)), True)
        except ValueError:
            return False
        finally:
            self.pos = start

    def operand(self, frames: list[tuple[Any, ...]]) -> Node | None:
        """Reads a leaf (returned) or the prefix of a form (a frame pushed,
        None returned). Of the prefixes found here, the longest is taken
        unless a shorter one is followed by a number that continues its
        form: "(-1.0000 + x)" opens with "(", "(-1.0000)" with "(-", and a
        negated constant such as this one is read as one leaf."""
        text, pos = self.text, self.pos
        if pos >= len(text):
            raise self.fail("formula ends where an operand should start")
        found = [prefix for prefix in _BY_PREFIX if text.startswith(prefix, pos)]
        for i, prefix in enumerate(found):
            after_shorter = [self.number_after(other) for other in found[i + 1 :]]
            if any(isinstance(form, _Form) for form in after_shorter):
                continue
            form = self.number_after(prefix) if any(after_shorter) else None
            self.pos += len(prefix)
            if isinstance(form, _Form) and form.arity == 1:
                number = self.number()
                self.pos += len(form.suffix)
                return Apply(form.name, (Const(number),))
            frames.append(("first", prefix))
            return None
        ch = text[pos]
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

    def after_first(self, prefix: str, first: Node, frames: list[tuple[Any, ...]]) -> Node | None:
        """After the first operand of a form opened by ``prefix``: the form
        of the longest text that follows here, closed (a unary operator's
        Apply returned) or waiting for its second operand (a frame pushed,
        None returned)."""
        forms = [f for f in _BY_PREFIX[prefix] if self.peek(f.follow)]
        if not forms:
            wanted = dict.fromkeys(f.follow for f in _BY_PREFIX[prefix])
            raise self.fail("expected " + " or ".join(map(repr, wanted)))
        best = max(forms, key=lambda f: len(f.follow))
        if best.arity == 1:
            self.pos += len(best.suffix)
            return Apply(best.name, (first,))
        self.pos += len(best.middle)
        frames.append(("second", best, first))
        return None


def parse(text: str, max_depth: int | None = None) -> Node:
    """The tree of one formula text. Raises ValueError for text the engine
    does not print, or (with ``max_depth``) that nests deeper than that."""
    reader = _Reader(text)
    frames: list[tuple[Any, ...]] = []  # open forms, innermost last
    while True:
        if max_depth is not None and len(frames) >= max_depth:
            raise reader.fail(f"nested deeper than {max_depth} levels")
        value: Node | None = reader.operand(frames)
        # A complete operand: close every form it completes, up to the next
        # one that needs another operand.
        while value is not None and frames:
            frame = frames.pop()
            if frame[0] == "first":
                value = reader.after_first(frame[1], value, frames)
            else:  # "second"
                form = frame[1]
                if form.name == _TREE_NAME["pow"] and not isinstance(value, Const):
                    raise reader.fail("a power's exponent must be a number")
                reader.expect(form.suffix)
                value = Apply(form.name, (frame[2], value))
        if value is not None:
            if reader.pos != len(text):
                raise reader.fail("unexpected text after the formula")
            return value


def fold[T](tree: Node, leaf: Callable[[Node], T], apply: Callable[[Apply, list[T]], T]) -> T:
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
            index = _operator.index(payload)
            if index < 0:
                raise ValueError(f"not a formula node: {node!r}")
            stack.append(Var(index) if kind == "var" else Param(index, "NaN"))
        elif kind == "pow" and isinstance(payload, (int, float)) and not isinstance(payload, bool):
            if not stack:
                raise ValueError("a power is short of its operand")
            stack.append(Apply(_TREE_NAME["pow"], (stack.pop(), Const(repr(float(payload))))))
        elif kind == "op" and isinstance(payload, str) and payload in _ROWS and _ROWS[payload].group != "block":
            row = _ROWS[payload]
            n = row.arity
            if len(stack) < n:
                raise ValueError(f"operator {payload!r} is short of operands")
            args = tuple(stack[-n:])
            del stack[-n:]
            stack.append(Apply(_TREE_NAME[row.name], args))
        else:
            raise ValueError(f"not a formula node: {node!r}")
    if len(stack) != 1:
        raise ValueError(f"a node list must leave exactly one formula, not {len(stack)}")
    return stack[0]


def fitted_text(value: float) -> str:
    """A fitted constant as formulas show it: four significant digits
    ("2.5", "0.3989", "-3.142", "8.988e+09")."""
    return f"{value:.4g}" if math.isfinite(value) else _fixed(value)


# A sum with a negative fitted constant shows as a difference, and the
# other way round: the infix symbols of the two.
_SIGN_FLIP = {"+": "-", "-": "+"}


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
        if node.op == _TREE_NAME["pow"] and isinstance(node.args[1], Const):  # the exponent as the engine prints it
            return fill(operator(node.op).text, [args[0], repr(const_value(node.args[1].text))])
        flipped = _SIGN_FLIP.get(node.op)
        value = known(node.args[1]) if flipped is not None else None
        if flipped is not None and value is not None and value < 0 and math.isfinite(value):
            return fill(operator(flipped).text, [args[0], fitted_text(-value)])
        return fill(operator(node.op).text, args)

    return fold(tree, leaf, apply)

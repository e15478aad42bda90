"""The vek operator with its guards as a sympy function, ``vek(a, b)``.

Its value is exp(a) - ln(b) as the engine computes it: the exponential goes
through ln above 709.78 (exp(ln a) = a), and the logarithm of a b <= 0 is
ln(max(|b|, 1e-300)). ``vek(a, b).rewrite(sympy.Piecewise)`` (also
``explicit``) writes that out. Code printers (lambdify with numpy, scipy,
jax, torch, math, mpmath, ...) print the written-out form, so lambdified
code needs nothing of vek_math.

It is a function rather than its written-out form so that a condition on a
vek (ln(vek(x, y)) needs vek(x, y) > 0) stays one relation: sympy expands a
Piecewise inside a condition into every combination of its branches, which
grows exponentially with nested vek terms. Needs sympy; imported only by the
guarded conversion of ``vek_math._sympy``.
"""

from __future__ import annotations

import math
from typing import Any

import sympy

__all__ = ["vek"]

# The engine's thresholds as the doubles it uses (17 digits hold them).
_EXP_LIMIT = sympy.Float("709.78")
_TINY = sympy.Float("1e-300")
_LOG_FLOOR = sympy.Float(math.log(1e-300), 17)


def explicit(a: Any, b: Any) -> Any:
    """exp(a) - ln(b) with the engine's guards written out. The floor is
    three branches rather than a Max: torch's max takes no plain number."""
    grown = sympy.Piecewise((a, a > _EXP_LIMIT), (sympy.exp(a), True))
    floored = sympy.Piecewise((sympy.log(b), b > 0), (sympy.log(-b), b <= -_TINY), (_LOG_FLOOR, True))
    return grown - floored


class vek(sympy.Function):  # lower case: the operator's own name, as sympy prints it
    """vek(a, b) = exp(a) - ln(b) with the discovery engine's guards."""

    nargs = 2

    @classmethod
    def eval(cls, a: Any, b: Any) -> Any:
        if a.is_Number and b.is_Number:
            return explicit(a, b)
        return None

    def _eval_rewrite_as_Piecewise(self, a: Any, b: Any, **hints: Any) -> Any:
        return explicit(a, b)

    def _eval_evalf(self, prec: int) -> Any:
        return explicit(*self.args)._eval_evalf(prec)

    def fdiff(self, argindex: int = 1) -> Any:
        a, b = self.args
        if argindex == 1:
            return sympy.Piecewise((1, a > _EXP_LIMIT), (sympy.exp(a), True))
        return sympy.Piecewise((-1 / b, sympy.Abs(b) >= _TINY), (0, True))

    def _code(self, printer: Any, **kwargs: Any) -> str:
        # In parentheses: the printer places it where a call would stand,
        # and the difference binds more loosely than a call.
        return f"({printer._print(explicit(*self.args), **kwargs)})"

    # Every code printer asks for its own method name.
    _pythoncode = _mpmathcode = _cmathcode = _numpycode = _scipycode = _cupycode = _code
    _jaxcode = _torchcode = _tensorflowcode = _lambdacode = _numexprcode = _code

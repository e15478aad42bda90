"""vek_math: bit-exact parallel numeric kernels built around vek(x, y) = exp(x) - ln(y)."""

from typing import TYPE_CHECKING, Any

from vek_math import _tbb as _tbb  # before any extension module: finds oneTBB
from vek_math import vek_core
from vek_math._runtime import PanicException as PanicException
from vek_math.vek_core import *  # noqa: F401,F403

if TYPE_CHECKING:
    from vek_math._sympy import to_sympy as to_sympy

# The native names; `to_sympy` (optional, needs sympy: pip install
# 'vek_math[sympy]') is loaded on first use and stays out of star imports.
__all__ = list(vek_core.__all__)


def __getattr__(name: str) -> Any:
    if name == "to_sympy":
        from vek_math._sympy import to_sympy

        globals()["to_sympy"] = to_sympy
        return to_sympy
    raise AttributeError(f"module 'vek_math' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | {"to_sympy"})

"""vek_math: bit-exact parallel numeric kernels built around vek(x, y) = exp(x) - ln(y)."""

from typing import TYPE_CHECKING, Any

from vek_math import _tbb as _tbb  # before any extension module: finds oneTBB
from vek_math import vek_core
from vek_math._runtime import PanicException as PanicException
from vek_math.vek_core import *  # noqa: F403

if TYPE_CHECKING:
    from vek_math._estimator import SymbolicRegressor as SymbolicRegressor
    from vek_math._search import SearchStoppedWarning as SearchStoppedWarning
    from vek_math._sympy import to_sympy as to_sympy

# The native names. The optional parts are loaded on first use and stay out
# of star imports: `to_sympy` (needs sympy: pip install 'vek_math[sympy]'),
# `SymbolicRegressor` (needs scikit-learn and pandas: pip install
# 'vek_math[sklearn]') and its `SearchStoppedWarning`.
__all__ = list(vek_core.__all__)

_LAZY = {
    "to_sympy": "vek_math._sympy",
    "SymbolicRegressor": "vek_math._estimator",
    "SearchStoppedWarning": "vek_math._search",
}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'vek_math' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))

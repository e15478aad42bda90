"""vek_math: bit-exact parallel numeric kernels built around vek(x, y) = exp(x) - ln(y)."""

from vek_math import vek_core
from vek_math.vek_core import *  # noqa: F401,F403

__all__ = list(vek_core.__all__)

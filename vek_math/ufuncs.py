"""numpy ufuncs over vek_math's element rules.

Each ufunc computes every element with the same scalar code as the matching
list kernel of `vek_math.vek_core` (`exp` as `exp_n`, ..., `octonion_mul` as
`octonion_mul_n`, `geometric_product` as `geometric_product_n`), so the values
agree bit for bit, special values included. Being ufuncs, they broadcast, take
`out=` and `where=`, accept any strides and dtypes (cast to float64 by numpy's
rules) and work on dask arrays lazily: directly for the single-output ufuncs
and `geometric_product`, through `dask.array.apply_gufunc` for `boost` (two
outputs) and `octonion_mul` (fixed core size; pass `output_dtypes=float`).
Needs numpy 2.

    >>> import numpy as np
    >>> from vek_math import ufuncs
    >>> ufuncs.tension(np.zeros(3), np.array([1.0, 2.0, 0.0]))
    array([1.00000000e+00, 3.06852819e-01, 6.91775528e+02])
"""

from vek_math._ufuncs import (
    add,
    boost,
    cos,
    div,
    exp,
    geometric_product,
    ln,
    mul,
    octonion_mul,
    pow,
    sin,
    sqrt,
    sub,
    tension,
)

__all__ = [
    "exp",
    "ln",
    "add",
    "sub",
    "mul",
    "div",
    "sqrt",
    "sin",
    "cos",
    "pow",
    "tension",
    "boost",
    "octonion_mul",
    "geometric_product",
]

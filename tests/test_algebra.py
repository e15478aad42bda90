"""octonion_mul_n, geometric_product_n and christoffel_batch_n at the Python
boundary: accepted arguments, exact error messages, panics."""

import math

import numpy as np
import pytest

from vek_math import vek_core as v
from vek_math._runtime import PanicException


def unit(k, n=8, value=1.0):
    return [value if i == k else 0.0 for i in range(n)]


@pytest.mark.parametrize(
    "call, want",
    [
        (lambda: v.octonion_mul_n(b_batch=[unit(2)], a_batch=[unit(1)]), [unit(4)]),
        (lambda: v.octonion_mul_n((tuple(unit(1)),), [range(8)]), [[-1.0, 0.0, -4.0, -7.0, 2.0, -6.0, 5.0, 3.0]]),
        (lambda: v.geometric_product_n([unit(1, 4)], signature=[1, 1], b_batch=[unit(2, 4)]), [unit(3, 4)]),
        (lambda: v.geometric_product_n([unit(1, 2)] * 3, [unit(1, 2)] * 2, (np.int16(2), True)), [[2.0, 0.0]] * 2),
        (lambda: v.christoffel_batch_n(rs=2.0, nu=1, mu=0, lam=0, points=[(math.log(4.0), 9.0)]), [0.125]),
        (lambda: v.christoffel_batch_n([(0.0, 0.0)], 2**64 - 1, 0, 1, 2.0), [0.0]),
        (lambda: v.octonion_mul_n(np.eye(8)[1:2], np.eye(8)[2:3]), [unit(4)]),
        (lambda: v.geometric_product_n([unit(1, 2)], [unit(1, 2)], np.array([-3], dtype=np.int8)), [[-3.0, 0.0]]),
    ],
)
def test_accepted_arguments(call, want):
    assert call() == want


@pytest.mark.parametrize(
    "fn, args, exc, message",
    [
        (v.octonion_mul_n, ([[0.0] * 7], "x"), ValueError, "expected a sequence of length 8 (got 7)"),  # a_batch first
        (v.octonion_mul_n, ([unit(0)], [[""] * 8]), TypeError, "argument 'b_batch': must be real number, not str"),
        (v.geometric_product_n, ([[1.0]], [[1.0]], [1.0]), TypeError,
         "argument 'signature': 'float' object cannot be interpreted as an integer"),
        (v.geometric_product_n, ([[1.0]], [[1.0]], [1, -129]), OverflowError,
         "out of range integral type conversion attempted"),
        (v.geometric_product_n, ([[1.0], 2], [[1.0]], [1.5]), TypeError,
         "argument 'a_batch': 'int' object cannot be converted to 'Sequence'"),
        (v.christoffel_batch_n, ([(0.0, 0.0)], -1, 0, 1, 2.0), OverflowError, "can't convert negative int to unsigned"),
        (v.christoffel_batch_n, ([(0.0, 0.0)], 0, 2**64, 1, 2.0), OverflowError, "int too big to convert"),
    ],
)
def test_refused_arguments(fn, args, exc, message):
    with pytest.raises(exc) as info:
        fn(*args)
    assert type(info.value) is exc and str(info.value) == message


@pytest.mark.parametrize("n, where, width", [(1, 0, 2), (100_000, 54_321, 3)])
def test_index_failures_raise_panic_exception(n, where, width, capfd):
    b = [[0.5, -1.0, 2.0, 1.0]] * n
    b[where] = [1.0] * width
    with pytest.raises(PanicException) as info:
        v.geometric_product_n([[1.0, 2.0, 3.0, 4.0]] * n, b, [1, -1])
    message = f"index out of bounds: the len is {width} but the index is {width}"
    assert info.value.args == (message,) and message in capfd.readouterr().err

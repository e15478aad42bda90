"""Multiplication tables shared by the benchmark scripts."""

import numpy as np

# e_a * e_b = e_c for each triple, and cyclically.
OCTONION_TRIPLES = [(1, 2, 4), (2, 3, 5), (3, 4, 6), (4, 5, 7), (5, 6, 1), (6, 7, 2), (7, 1, 3)]


def octonion_table():
    """T[i, j, k]: the coefficient of e_k in e_i * e_j."""
    t = np.zeros((8, 8, 8))
    for i in range(8):
        t[0, i, i] = t[i, 0, i] = 1.0
    for i in range(1, 8):
        t[i, i, 0] = -1.0
    for a, b, c in OCTONION_TRIPLES:
        for p, q, r in ((a, b, c), (b, c, a), (c, a, b)):
            t[p, q, r] = 1.0
            t[q, p, r] = -1.0
    return t

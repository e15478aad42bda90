"""The element-wise kernels against the plain Python reference; the pool's size
and the independence of every parallel result of it."""

import math
import os
import random
import subprocess
import sys

import pytest

import reference as ref
from conftest import assert_same_floats, random_floats
from vek_math import vek_core as v


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("name", [*ref.UNARY, *ref.BINARY, "boost_n"])
def test_kernels_match_the_plain_reference(name, seed):
    rng = random.Random(f"{name}-{seed}")
    a, b = random_floats(rng, 6000), random_floats(rng, 5000 + seed)  # long enough for the pool
    if name in ref.UNARY:
        got, want = getattr(v, name)(a), [ref.UNARY[name](x) for x in a]
    elif name in ref.BINARY:
        got, want = getattr(v, name)(a, b), [ref.BINARY[name](x, y) for x, y in zip(a, b)]
    else:
        phis = [rng.choice([0.0, -0.0, 30.0, 800.0, math.nan]) if rng.random() < 0.2 else rng.uniform(-5, 5) for _ in b]
        c = [0.5, -0.0][seed]
        got = [u for p in v.boost_n(list(zip(a, b)), phis, c) for u in p]
        want = [u for x, y, phi in zip(a, b, phis) for u in ref.boost(x, y, phi, c)]
    assert_same_floats(got, want)


# Every parallel path: the list kernels, the algebra, the search, the ufuncs
# (accumulate and the first failing geometric product included); then the
# threads of the process, once the pool has run wide work.
THREAD_SCRIPT = """
import hashlib, os, random, numpy as np
from vek_math import ufuncs as U, vek_core as v
rng = random.Random(7)
xs, ys = [rng.uniform(-800, 800) for _ in range(200_000)], [rng.uniform(-1e-299, 3) for _ in range(200_000)]
mvs = [[rng.uniform(-5, 5) for _ in range(16)] for _ in range(20_000)]
x = np.array(xs)
a = np.where(x.reshape(-1, 8) > 0, x.reshape(-1, 8), 0.0)
try:
    U.geometric_product(a, a, [1, 1])
except ValueError as e:
    failure = str(e)
h = hashlib.sha256()
for out in (v.exp_n(xs), v.tension_n(xs, ys), v.pow_n(ys, xs), v.boost_n(list(zip(xs, ys)), ys, 0.7),
            v.christoffel_batch_n(list(zip(ys, xs)), 1, 0, 0, 2), v.geometric_product_n(mvs, mvs[::-1], [1, -1, 1, 1]),
            v.octonion_mul_n([m[:8] for m in mvs], [m[8:] for m in mvs]),
            v.find_formula([xs[:60], ys[:60]], xs[60:120], max_complexity=6, beam_width=400),
            U.tension(x, x[::-1]), U.add.accumulate(x), *U.boost(x, x[::-1], x / 400, 0.7), U.octonion_mul(a, a[::-1]),
            U.geometric_product(a, a[::-1], [1, -1, 2]), failure):
    h.update(out.tobytes() if isinstance(out, np.ndarray) else repr(out).encode())
for _ in range(5):
    v.exp_n([0.5] * 2_000_000)
print(h.hexdigest(), len(os.listdir("/proc/self/task")))
"""


def run_python(code, **env):
    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    return subprocess.run([sys.executable, "-I", "-c", code], env={**base, **env}, capture_output=True, text=True,
                          check=True).stdout.split()


def test_the_pool_follows_the_environment_and_results_do_not():
    (one, n1), (three, n3), (also_three, m3) = (run_python(THREAD_SCRIPT, **{var: n}) for var, n in [
        ("RAYON_NUM_THREADS", "1"), ("RAYON_NUM_THREADS", "3"), ("RAYON_RS_NUM_CPUS", "3")])
    assert len(one) == 64 and one == three == also_three
    assert int(n3) - int(n1) == 2 and m3 == n3  # two workers besides the calling thread

"""The element-wise kernels against the plain Python reference; the pool's size
and the results' independence of it."""

import math
import os
import random
import subprocess
import sys

import pytest

import reference as ref
from conftest import assert_same_floats, random_floats


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("name", [*ref.UNARY, *ref.BINARY, "boost_n"])
def test_kernels_match_the_plain_reference(vc, name, seed):
    rng = random.Random(f"{name}-{seed}")
    a, b = random_floats(rng, 6000), random_floats(rng, 5000 + seed)  # long enough for the pool
    if name in ref.UNARY:
        got, want = getattr(vc, name)(a), [ref.UNARY[name](x) for x in a]
    elif name in ref.BINARY:
        got, want = getattr(vc, name)(a, b), [ref.BINARY[name](x, y) for x, y in zip(a, b)]
    else:
        phis = [rng.choice([0.0, -0.0, 30.0, 800.0, math.nan]) if rng.random() < 0.2 else rng.uniform(-5, 5) for _ in b]
        c = [0.5, -0.0][seed]
        got = [v for p in vc.boost_n(list(zip(a, b)), phis, c) for v in p]
        want = [v for x, y, phi in zip(a, b, phis) for v in ref.boost(x, y, phi, c)]
    assert_same_floats(got, want)


THREAD_SCRIPT = """
import hashlib, random
from vek_math import vek_core as v
rng = random.Random(7)
xs, ys = [rng.uniform(-800, 800) for _ in range(200_000)], [rng.uniform(-1e-299, 3) for _ in range(200_000)]
mvs = [[rng.uniform(-5, 5) for _ in range(16)] for _ in range(20_000)]
h = hashlib.sha256()
for out in (v.exp_n(xs), v.tension_n(xs, ys), v.pow_n(ys, xs), v.boost_n(list(zip(xs, ys)), ys, 0.7),
            v.christoffel_batch_n(list(zip(ys, xs)), 1, 0, 0, 2), v.geometric_product_n(mvs, mvs[::-1], [1, -1, 1, 1]),
            v.octonion_mul_n([m[:8] for m in mvs], [m[8:] for m in mvs])):
    h.update(repr(out).encode())
print(h.hexdigest())
"""


def run_python(code, **env):
    base = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
    return subprocess.run([sys.executable, "-I", "-c", code], env={**base, **env}, capture_output=True, text=True,
                          check=True).stdout


def test_results_do_not_depend_on_the_thread_count():
    one = run_python(THREAD_SCRIPT, RAYON_NUM_THREADS="1")
    assert len(one.strip()) == 64 and run_python(THREAD_SCRIPT, RAYON_NUM_THREADS="3") == one


POOL_SCRIPT = """
import os
from vek_math import vek_core as v
xs = [0.5] * 2_000_000
for _ in range(5):
    v.exp_n(xs)
print(len(os.listdir('/proc/self/task')))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("var", ["RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"])
def test_pool_size_follows_the_environment(var):
    one, four = (int(run_python(POOL_SCRIPT, **{var: n})) for n in ("1", "4"))
    assert four - one == 3  # three workers besides the calling thread

"""The twelve element-wise kernels: stated values and a differential check."""

import math
import random
import subprocess
import sys

import pytest

import reference as ref
from conftest import assert_same_floats, random_floats, same_float

NAN = math.nan
INF = math.inf


@pytest.mark.parametrize(
    "name, args, expected",
    [
        ("ln_n", ([0.0, -0.0, -1.0, 1.0],), [-690.7755278982137, -690.7755278982137, 0.0, 0.0]),
        ("ln_n", ([-2.718281828459045],), [1.0]),
        ("exp_n", ([709.0, 710.0, 1000.0],), [8.218407461554972e307, 710.0000000000002, 999.9999999999998]),
        ("tension_n", ([0.0, 0.0], [0.0, 1.0]), [691.7755278982137, 1.0]),
        ("div_n", ([1.0, 1.0, 1.0], [0.0, 1e-301, 1e-300]), [NAN, NAN, 9.999999999999999e299]),
        ("div_n", ([1.0], [NAN]), [NAN]),
        ("add_n", ([1.0, 2.0, 3.0], [10.0]), [11.0]),
        ("add_n", ([], [1.0]), []),
        ("sqrt_n", ([-4.0],), [2.0]),
        ("pow_n", ([-2.0, -2.0, NAN], [3.0, 0.5, 0.0]), [8.0, math.sqrt(2.0), 1.0]),
        ("sin_n", ([0.0, -0.0],), [0.0, -0.0]),
        ("cos_n", ([INF],), [NAN]),
        ("mul_n", ([2.0, -0.0], [3.0, 5.0, 7.0]), [6.0, -0.0]),
        ("sub_n", ([1.0], [1.0, 2.0]), [0.0]),
    ],
)
def test_stated_values(vc, name, args, expected):
    assert_same_floats(getattr(vc, name)(*args), expected)


@pytest.mark.parametrize(
    "points, phis, c, expected",
    [
        ([(0.0, 1.0)], [0.0], 1.0, [(0.0, 1.0)]),
        ([(0.0, 0.0)], [0.0], 1.0, [(0.0, 1.0000000000000237e-300)]),
        ([(0.0, NAN)], [0.0], 1.0, [(-690.7755278982137, NAN)]),
        ([(0.0, 1.0)], [0.5, 0.6], 1.0, None),
        ([], [1.0], 1.0, []),
    ],
)
def test_boost_stated_values(vc, points, phis, c, expected):
    got = vc.boost_n(points, phis, c)
    if expected is None:
        assert len(got) == 1
        return
    assert len(got) == len(expected)
    for g, w in zip(got, expected):
        assert isinstance(g, tuple)
        assert same_float(g[0], w[0]) and same_float(g[1], w[1])


def test_boost_with_zero_c_floors_the_time(vc):
    assert vc.boost_n([(0.3, 2.0)], [0.0], 0.0)[0][0] == -690.7755278982137


@pytest.mark.parametrize("name", ["exp_n", "ln_n", "sqrt_n", "sin_n", "cos_n"])
def test_empty_input_gives_empty_list(vc, name):
    out = getattr(vc, name)([])
    assert out == [] and type(out) is list


UNARY = {"exp_n": ref.guarded_exp, "ln_n": ref.guarded_ln, "sqrt_n": ref.sqrt_abs, "sin_n": ref.sin,
         "cos_n": ref.cos}
BINARY = {"add_n": lambda a, b: a + b, "sub_n": lambda a, b: a - b, "mul_n": lambda a, b: a * b,
          "div_n": ref.div, "pow_n": ref.pow_, "tension_n": ref.vek_tension}


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("name", sorted(UNARY))
def test_unary_matches_transcription(vc, name, seed):
    rng = random.Random(f"{name}-{seed}")
    xs = random_floats(rng, 6000)  # long enough to run on the pool
    assert_same_floats(getattr(vc, name)(xs), [UNARY[name](x) for x in xs])


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("name", sorted(BINARY))
def test_binary_matches_transcription(vc, name, seed):
    rng = random.Random(f"{name}-{seed}")
    a = random_floats(rng, 6000)
    b = random_floats(rng, 5000 + seed)
    assert_same_floats(getattr(vc, name)(a, b), [BINARY[name](x, y) for x, y in zip(a, b)])


@pytest.mark.parametrize("seed", range(3))
def test_boost_matches_transcription(vc, seed):
    rng = random.Random(seed)
    pts = list(zip(random_floats(rng, 6000), random_floats(rng, 6000)))
    phis = [rng.choice([0.0, -0.0, 1e-3, -2.0, 30.0, 800.0, NAN]) if rng.random() < 0.2
            else rng.uniform(-5, 5) for _ in range(6000)]
    c = [1.0, 0.5, -3.0][seed]
    got = vc.boost_n(pts, phis, c)
    want = [ref.boost(x, y, p, c) for (x, y), p in zip(pts, phis)]
    assert_same_floats([g for pair in got for g in pair], [w for pair in want for w in pair])


THREAD_SCRIPT = """
import hashlib, math, random, struct
from vek_math import vek_core as v
rng = random.Random(7)
xs = [rng.uniform(-800, 800) for _ in range(200_000)]
ys = [rng.uniform(-1e-299, 3) for _ in range(200_000)]
h = hashlib.sha256()
for out in (v.exp_n(xs), v.ln_n(ys), v.tension_n(xs, ys), v.pow_n(ys, xs), v.div_n(xs, ys),
            [c for p in v.boost_n(list(zip(xs, ys)), ys, 0.7) for c in p]):
    h.update(struct.pack(f"<{len(out)}d", *out))
print(h.hexdigest())
"""


def run_with_threads(n):
    import os

    env = dict(os.environ, RAYON_NUM_THREADS=str(n))
    return subprocess.run([sys.executable, "-I", "-c", THREAD_SCRIPT], env=env, capture_output=True,
                          text=True, check=True).stdout


def test_results_do_not_depend_on_thread_count():
    assert run_with_threads(1) == run_with_threads(2) == run_with_threads(3)


POOL_SCRIPT = """
import os, time
from vek_math import vek_core as v
xs = [0.5] * 2_000_000
for _ in range(5):
    v.exp_n(xs)
print(len(os.listdir('/proc/self/task')))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
@pytest.mark.parametrize("var", ["RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"])
def test_pool_size_follows_the_environment(var):
    import os

    def threads(value):
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON")}
        env[var] = value
        out = subprocess.run([sys.executable, "-I", "-c", POOL_SCRIPT], env=env, capture_output=True,
                             text=True, check=True).stdout
        return int(out)

    one, four = threads("1"), threads("4")
    assert four - one == 3  # three workers besides the calling thread

"""find_formula and PySearchResult from Python."""

import math
import os
import random
import re
import signal
import subprocess
import sys
import time
import tracemalloc

import pytest

from vek_math import vek_core as v


def test_worked_example():
    r = v.find_formula([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0])
    assert (r.formula, r.error, r.complexity, r.params) == ("(x + x)", 0.0, 3, [])
    assert repr(r) == str(r) == "SearchResult(formula='(x + x)', error=0.00e0, complexity=3)"
    assert r.to_python() == "import math\nf = lambda x: (x + x)"


@pytest.mark.parametrize(
    "xs, ys, formula, latex, python",
    [
        ([1.0, 4.0, 9.0], [1.0, 2.0, 3.0], "sqrt(x)", "\\sqrt{x}", "math.sqrt(x)"),
        ([0.5, 1.0, 2.0], [math.exp(0.5), math.e, math.exp(2.0)], "exp(x)", "\\exp(x)", "math.exp(x)"),
        ([1.0, 2.0, 5.0], [0.0, math.log(2.0), math.log(5.0)], "ln(x)", "\\ln(x)", "math.log(x)"),
    ],
)
def test_renderings_of_found_formulas(xs, ys, formula, latex, python):
    r = v.find_formula([xs], ys)
    assert r.formula == formula
    assert r.to_latex() == latex
    assert r.to_python() == "import math\nf = lambda x: " + python
    f = {}
    exec(r.to_python(), f)
    assert [f["f"](x) for x in xs] == pytest.approx(ys)


def test_result_is_read_only_and_fresh_per_read():
    r = v.find_formula([[1.0, 2.0]], [1.0, 2.0])
    assert r.params is not r.params
    for name in ("formula", "error", "complexity", "params"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)
    with pytest.raises(TypeError) as info:
        v.PySearchResult()
    assert str(info.value) == "No constructor defined for PySearchResult"
    assert type(r).__doc__ == "Python-facing formula discovery result."
    assert type(r).__module__ == "vek_core"
    with pytest.raises(TypeError):
        type("Sub", (type(r),), {})


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (([1.0, 2.0, 3.0], [2.0, 4.0, 6.0]), {}, TypeError,
         "argument 'x_data': 'float' object cannot be converted to 'Sequence'"),
        (("ab", [1.0]), {}, TypeError, "argument 'x_data': Can't extract `str` to `Vec`"),
        (([[1.0, 2.0]], [1.0, 2.0]), {"use_trig": 1}, TypeError,
         "argument 'use_trig': 'int' object cannot be converted to 'PyBool'"),
        (([[1.0, 2.0]], [1.0, 2.0]), {"use_vek": None}, TypeError,
         "argument 'use_vek': 'NoneType' object cannot be converted to 'PyBool'"),
        (([[1.0, 2.0]], [1.0, 2.0]), {"max_complexity": -1}, OverflowError, "can't convert negative int to unsigned"),
        (([[1.0, 2.0]], [1.0, 2.0]), {"beam_width": 2.5}, TypeError,
         "argument 'beam_width': 'float' object cannot be interpreted as an integer"),
        (([[1.0, 2.0]], [1.0, "a"]), {}, TypeError, "argument 'y_data': must be real number, not str"),
        (([[1.0, 2.0]], [1.0, 2.0]), {"precision": 1.0}, TypeError,
         "find_formula() got an unexpected keyword argument 'precision'"),
        (([[1.0]],), {}, TypeError, "find_formula() missing 1 required positional argument: 'y_data'"),
        (([[1.0]], [1.0], 1, 2, 0.1, True, True, 0.1, 9), {}, TypeError,
         "find_formula() takes from 2 to 8 positional arguments but 9 were given"),
        (([], [1.0]), {}, ValueError, "x_data must hold at least one column (a list of values per variable)"),
        (([[1.0, 2.0], [3.0]], [1.0]), {}, ValueError,
         "column 1 of x_data has 1 values, fewer than the 2 of column 0"),
    ],
)
def test_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        v.find_formula(*args, **kwargs)
    assert str(info.value) == message


def test_accepted_option_forms():
    np = pytest.importorskip("numpy")
    base = v.find_formula([[1.0, 2.0]], [1.0, 2.0])
    assert v.find_formula([[1.0, 2.0]], [1.0, 2.0], precision_goal=1).formula == base.formula
    r = v.find_formula([(1.0, 2.0)], (1.0, 2.0), use_trig=np.bool_(False), use_vek=False)
    assert r.formula == base.formula
    # Longer extra columns and any target length are accepted.
    assert v.find_formula([[1.0, 2.0], [1.0, 2.0, 3.0]], [5.0]) is not None


def test_nan_target_gives_the_first_leaf_with_nan_error():
    r = v.find_formula([[1.0, 2.0, 3.0]], [1.0, math.nan, 3.0], max_complexity=3, beam_width=16)
    assert r.formula == "0.0000" and math.isnan(r.error) and r.complexity == 1
    assert repr(r) == "SearchResult(formula='0.0000', error=NaN, complexity=1)"


def test_empty_data_is_scored_as_nan():
    # Leaves always evaluate, so there is always a record; an empty target
    # makes its error 0/0.
    r = v.find_formula([[]], [], max_complexity=2)
    assert r.formula == "0.0000" and math.isnan(r.error)


NODE = re.compile(r"exp\(|ln\(|sqrt\(|sin\(|cos\(|vek\(|\(-|\(1/| \+ | - | \* | / |\d+\.\d{4}|[xyz]")


@pytest.mark.parametrize("seed", range(6))
def test_results_have_empty_params_and_complexity_equal_to_node_count(seed):
    rng = random.Random(seed)
    cols = [[rng.uniform(-2, 2) for _ in range(20)] for _ in range(rng.randint(1, 3))]
    ys = [rng.choice([math.sin(c) * 2 for c in cols[0]] + [rng.uniform(-2, 2)]) for _ in range(20)]
    r = v.find_formula(cols, ys, max_complexity=6, beam_width=60, use_trig=bool(seed % 2))
    assert r.params == []
    assert len(NODE.findall(r.formula)) == r.complexity, r.formula


SEARCH_SCRIPT = """
import random
from vek_math import vek_core as v
rng = random.Random(11)
cols = [[rng.uniform(-3, 3) for _ in range(60)] for _ in range(2)]
ys = [rng.uniform(-3, 3) for _ in range(60)]
for mc, bw in ((6, 400), (8, 2000)):
    r = v.find_formula(cols, ys, max_complexity=mc, beam_width=bw)
    print(repr(r), r.error.hex())
"""


def test_results_do_not_depend_on_thread_count():
    def run(n):
        env = dict(os.environ, RAYON_NUM_THREADS=str(n))
        return subprocess.run([sys.executable, "-I", "-c", SEARCH_SCRIPT], env=env, capture_output=True,
                              text=True, check=True).stdout

    one = run(1)
    assert one == run(2)
    assert one.count("SearchResult") == 2


def long_search():
    rng = random.Random(5)
    cols = [[rng.uniform(-3, 3) for _ in range(300)] for _ in range(2)]
    ys = [rng.uniform(-3, 3) for _ in range(300)]
    return v.find_formula(cols, ys, max_complexity=12, beam_width=6000)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
def test_ctrl_c_interrupts_a_long_search_promptly():
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    try:
        long_search_rounds = 3
        tracemalloc.start()
        for _ in range(long_search_rounds):
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            t0 = time.perf_counter()
            with pytest.raises(KeyboardInterrupt):
                long_search()
            assert time.perf_counter() - t0 < 1.5
        current, _ = tracemalloc.get_traced_memory()
        tracemalloc.stop()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert current < 1 << 20  # the search state did not stay behind
    assert v.find_formula([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0]).formula == "(x + x)"


SIGINT_CASES = {
    "search, 2 columns x 300k rows": "import random\nrng = random.Random(3)\n"
    "xs = [[rng.uniform(0.5, 2.0) for _ in range(300000)] for _ in range(2)]\n"
    "ys = [rng.uniform(0.0, 1.0) for _ in range(300000)]\nready()\nv.find_formula(xs, ys)\n",
    "search, wide beam": "import sys; sys.path[:0] = [%r]\nfrom test_discover import long_search\n"
    "ready()\nlong_search()\n" % os.path.dirname(__file__),
    "geometric product of 2^13-entry multivectors": "a = [[0.5] * 8192]\nready()\n"
    "v.geometric_product_n(a, a, [1] * 13)\n",
}


@pytest.mark.parametrize("work", SIGINT_CASES.values(), ids=SIGINT_CASES.keys())
def test_sigint_in_a_subprocess_ends_with_keyboard_interrupt(work):
    code = "from vek_math import vek_core as v\ndef ready(): print('ready', flush=True)\n" + work
    proc = subprocess.Popen([sys.executable, "-I", "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    assert proc.stdout.readline().strip() == "ready"
    time.sleep(1.0)
    t0 = time.perf_counter()
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=30)
    assert time.perf_counter() - t0 < 3.0
    assert err.rstrip().endswith("KeyboardInterrupt")


@pytest.mark.parametrize("data, raise_at", [
    (([[1.0, 2.0, 3.0]], [1.0, 2.0, 3.0]), 0),                 # the goal is met by a leaf
    (([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0]), 1),                 # ... at level 1
    (([[0.5, 1.5, 2.5]], [0.1, 0.7, -0.4]), 2),                # ... the last level
    (([[0.5, 1.5, 2.5]], [0.1, 0.7, -0.4]), 1),                # ... a middle level
])
def test_a_progress_hook_exception_comes_out_of_the_call_that_ran_it(monkeypatch, data, raise_at):
    from vek_math import _runtime

    class Stop(Exception):
        pass

    levels = []

    def hook(level, generated, scored, best, error):
        levels.append(level)
        if level == raise_at:
            raise Stop(level)

    monkeypatch.setattr(_runtime, "search_progress", hook)
    with pytest.raises(Stop):
        v.find_formula(*data, max_complexity=3)
    assert levels[-1] == raise_at
    monkeypatch.setattr(_runtime, "search_progress", None)
    assert v.exp_n([0.0]) == [1.0]  # nothing stale is left behind

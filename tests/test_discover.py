"""find_formula and PySearchResult from Python."""

import math
import random
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
    assert (r.to_latex(), r.to_python()) == ("(x + x)", "import math\nf = lambda x: (x + x)")
    assert r.params is not r.params


# Messages of find_formula's own checks and of the conversions only it uses
# (the generic ones: test_frame).
@pytest.mark.parametrize("args, kwargs, exc, message", [
    (([[1.0, 2.0]], [1.0, 2.0]), {"beam_width": 2.5}, TypeError,
     "argument 'beam_width': 'float' object cannot be interpreted as an integer"),
    (([[1.0]], [1.0], 1, 2, 0.1, True, True, 0.1, 9), {}, TypeError,
     "find_formula() takes from 2 to 8 positional arguments but 9 were given"),
    (([], [1.0]), {}, ValueError, "x_data must hold at least one column (a list of values per variable)"),
    (([[1.0, 2.0], [3.0]], [1.0]), {}, ValueError, "column 1 of x_data has 1 values, fewer than the 2 of column 0"),
])
def test_argument_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        v.find_formula(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs, formula", [
    (([[1.0, 2.0], [1.0, 2.0, 3.0]], [5.0]), {}, "(exp(1.0000) / cos(1.0000))"),  # longer columns, any target
    # Leaves always evaluate, so there is always a record: the first leaf
    # with a NaN error when the target holds NaN or nothing (0/0).
    (([[1.0, 2.0, 3.0]], [1.0, math.nan, 3.0]), {"max_complexity": 3, "beam_width": 16}, "0.0000"),
    (([[]], []), {"max_complexity": 2}, "0.0000"),
])
def test_accepted_forms_and_nan_errors(args, kwargs, formula):
    r = v.find_formula(*args, **kwargs)
    assert r.formula == formula and (math.isnan(r.error) == (formula == "0.0000"))


# Long calls, their data made beforehand: each makes the call.
def wide_beam():
    rng = random.Random(5)
    cols, ys = [[rng.uniform(-3, 3) for _ in range(300)] for _ in range(2)], [rng.uniform(-3, 3) for _ in range(300)]
    return lambda: v.find_formula(cols, ys, max_complexity=12, beam_width=6000)


def long_columns():
    rng = random.Random(3)
    cols = [[rng.uniform(0.5, 2.0) for _ in range(300_000)] for _ in range(2)]
    ys = [rng.uniform(0.0, 1.0) for _ in range(300_000)]
    return lambda: v.find_formula(cols, ys)


def big_multivectors():
    a = [[0.5] * 8192]
    return lambda: v.geometric_product_n(a, a, [1] * 13)


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs interval timers")
@pytest.mark.parametrize("make", [wide_beam, long_columns, big_multivectors])
def test_ctrl_c_interrupts_long_calls_promptly_and_leaves_nothing_behind(make):
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    work = make()
    old = signal.signal(signal.SIGALRM, interrupt)
    tracemalloc.start()
    try:
        for _ in range(2):
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            t0 = time.perf_counter()
            with pytest.raises(KeyboardInterrupt):
                work()
            assert time.perf_counter() - t0 < 3.0
        current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert current < 1 << 20  # the call's state did not stay behind
    assert v.find_formula([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0]).formula == "(x + x)"


# A hook that starts another search, over and over, in a thread with a small
# stack: the recursion ends in RecursionError, as through any C call, before
# the native frames of the nested searches fill the stack.
NESTED_SEARCHES = """
import sys, threading
import numpy as np
from vek_math import _engine
X = np.linspace(0.5, 2.0, 400).reshape(200, 2)
y = 2.5 * X[:, 0] + np.sin(X[:, 1])
entry = sys.argv[1]

def nested(*progress):
    _engine.search(X, y, max_complexity=4, beam_width=50, constants=entry == "constants", progress=nested)

def run():
    try:
        nested()
    except RecursionError:
        print("RecursionError")

threading.stack_size(int(sys.argv[2]))
thread = threading.Thread(target=run)
thread.start()
thread.join()
"""


@pytest.mark.parametrize("stack", [256 << 10, 2 << 20])
@pytest.mark.parametrize("entry", ["front", "constants"])
def test_searches_nested_by_progress_hooks_end_in_recursion_error(entry, stack):
    out = subprocess.run([sys.executable, "-I", "-c", NESTED_SEARCHES, entry, str(stack)], capture_output=True,
                         text=True, timeout=120)
    assert (out.returncode, out.stdout) == (0, "RecursionError\n"), out.stderr

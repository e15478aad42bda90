"""The module frame: registration, argument parsing, conversions, memory exhaustion, threads."""

import ast
import ctypes
import inspect
import os
import pathlib
import random
import subprocess
import sys
from collections import namedtuple
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import vek_math
from vek_math import _engine
from vek_math import vek_core as v

# The stub is the one written-down list of names: __all__ in registration
# order, and a declaration of each.
STUB = ast.parse((pathlib.Path(__file__).resolve().parent.parent / "vek_math" / "vek_core.pyi").read_text())
(STUB_ALL,) = [ast.literal_eval(n.value) for n in STUB.body
               if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
STUB_FUNCTIONS = [n.name for n in STUB.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")]


def test_all_lists_the_stubs_names_in_registration_order():
    declared = {n.name for n in STUB.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    assert v.__all__ == STUB_ALL == vek_math.__all__
    assert set(STUB_ALL) == {n for n in declared if not n.startswith("_")}
    assert {n for n in dir(v) if not n.startswith("_")} == set(STUB_ALL)
    assert v.__doc__ == ""


def test_a_second_init_returns_the_module_and_a_subinterpreter_is_refused():
    entry = ctypes.PyDLL(v.__file__).PyInit_vek_core
    entry.restype = ctypes.py_object
    assert entry() is v and v.__all__.count("exp_n") == 1
    code = ("import _interpreters, vek_math.vek_core\n"
            "err = _interpreters.run_string(_interpreters.create(config='legacy'), 'import vek_math.vek_core')\n"
            "print(err.type.__name__, err.msg)")
    proc = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True)
    assert proc.stdout.startswith("ImportError") and "sub-interpreters" in proc.stdout, proc.stderr


@pytest.mark.parametrize("name", STUB_FUNCTIONS)
def test_functions_carry_signature_docstrings(name):
    f = getattr(v, name)  # a declared name the module lacks fails here
    assert f.__module__ == v.__name__ and f.__doc__
    assert f.__text_signature__.startswith("(")
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in inspect.signature(f).parameters.values())


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: v.ln_n(), "ln_n() missing 1 required positional argument: 'ys'"),
        (lambda: v.add_n(), "add_n() missing 2 required positional arguments: 'as_' and 'bs'"),
        (lambda: v.boost_n(), "boost_n() missing 3 required positional arguments: 'points', 'phis', and 'c'"),
        (lambda: v.boost_n(phis=[]), "boost_n() missing 2 required positional arguments: 'points' and 'c'"),
        (lambda: v.ln_n([1.0], [2.0]), "ln_n() takes 1 positional arguments but 2 were given"),
        (lambda: v.ln_n(xs=[1.0]), "ln_n() got an unexpected keyword argument 'xs'"),
        (lambda: v.add_n([1.0], as_=[2.0]), "add_n() got multiple values for argument 'as_'"),
        # keyword-only parameters (after the "*" of a row)
        (lambda: _engine.search(0, 0, 8), "search() takes 2 positional arguments but 3 were given"),
        (
            lambda: _engine.search(0, 0, 8, 9, n_threads=1, progress=None),
            "search() takes 2 positional arguments but 4 positional arguments "
            "(and 2 keyword-only arguments) were given",
        ),
    ],
)
def test_parse_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def with_hook(name, result):
    """An object whose `name` hook (__float__, __index__) returns or raises `result`."""

    def hook(self):
        if isinstance(result, BaseException):
            raise result
        return result

    return type("Hooked", (), {name: hook})()


# Forms of float lists beyond lists of floats (buffers, lengths that lie or fail: test_fuzz).
@pytest.mark.parametrize(
    "call, want",
    [
        (lambda: v.exp_n(b"\x00"), [1.0]),
        (lambda: v.add_n((1, 2), range(2)), [1.0, 3.0]),
        (lambda: v.add_n([True, with_hook("__float__", 1.5), with_hook("__index__", 7)], [0.0] * 3), [1.0, 1.5, 7.0]),
        (lambda: v.add_n([np.float64(1.0), np.int64(2)], [0.0, 0.0]), [1.0, 2.0]),
        (lambda: v.boost_n([namedtuple("P", "x y")(0.0, 1.0)], [0.0], 1), [(0.0, 1.0)]),  # noqa: PYI024 (a tuple subclass)
        (lambda: v.find_formula([np.array([1.0, 2.0, 3.0])], np.array([2.0, 4.0, 6.0])).formula, "(x + x)"),
    ],
)
def test_accepted_forms(call, want):
    assert call() == want


CAUSED = TypeError("bad float")
CAUSED.__cause__ = KeyError("root")


@pytest.mark.parametrize("call, exc, message", [
    (lambda: v.exp_n("abc"), TypeError, "argument 'xs': Can't extract `str` to `Vec`"),
    (lambda: v.exp_n(5), TypeError, "argument 'xs': 'int' object cannot be converted to 'Sequence'"),
    (lambda: v.exp_n(x for x in [1.0]), TypeError,
     "argument 'xs': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: v.exp_n([1.0, "a"]), TypeError, "argument 'xs': must be real number, not str"),
    (lambda: v.exp_n((1.0, None)), TypeError, "argument 'xs': must be real number, not NoneType"),
    (lambda: v.boost_n([(0.0, 1.0)], [0.0], "1"), TypeError, "argument 'c': must be real number, not str"),
    (lambda: v.boost_n([(1.0, 2.0, 3.0)], [0.0], 1.0), ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    (lambda: v.boost_n([[0.0, 0.0]], [0.0], 1.0), TypeError,
     "argument 'points': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: v.boost_n([(1.0, "x")], [0.0], 1.0), TypeError, "argument 'points': must be real number, not str"),
    # complex numbers are not real ones, numpy's (which would give their real part) included
    (lambda: v.exp_n(np.array([1j, 2 + 5j])), TypeError, "argument 'xs': must be real number, not numpy.complex128"),
    (lambda: v.boost_n([(0.0, 1.0)], [np.complex64(1)], 1.0), TypeError,
     "argument 'phis': must be real number, not numpy.complex64"),
    # A TypeError of a hook is wrapped (keeping its cause), any other passes unchanged.
    (lambda: v.exp_n([with_hook("__float__", CAUSED)]), TypeError, "argument 'xs': bad float"),
    (lambda: v.exp_n([1.0, with_hook("__float__", ValueError("boom"))]), ValueError, "boom"),
    (lambda: v.exp_n([with_hook("__float__", OverflowError("boom"))]), OverflowError, "boom"),
])
def test_refused_arguments(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value) == message
    assert "bad float" not in message or info.value.__cause__ is CAUSED.__cause__


def test_list_mutated_during_conversion_is_read_like_the_iterator():
    data = [1.0, None, 3.0, 4.0]
    data[1] = type("Shrink", (), {"__float__": lambda self: data.__delitem__(slice(2, None)) or 2.0})()
    assert v.exp_n(data) == v.exp_n([1.0, 2.0])


# ---- memory exhaustion, threads -------------------------------------------------------

MEMORY_HUNGRY = {
    "array copy": "v.exp_n(np.zeros(10**8))",
    "long iterable": "v.exp_n(range(10**9))",
    "search column": "v.find_formula([range(10**9)], [1.0])",
    "signature": "v.geometric_product_n([[1.0]], [[1.0]], b'\\x01' * 10**9)",
}


@pytest.mark.parametrize("call", MEMORY_HUNGRY.values(), ids=MEMORY_HUNGRY.keys())
def test_memory_exhaustion_raises_memory_error_and_the_interpreter_lives_on(call):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("sanitizer builds abort instead of failing allocations")
    code = ("import resource\nresource.setrlimit(resource.RLIMIT_AS, (1_500_000 * 1024,) * 2)\n"
            f"import numpy as np\nfrom vek_math import vek_core as v\ntry:\n    {call}\n"
            "except MemoryError:\n    print('MemoryError')\n"
            "print(v.exp_n([0.0]), v.find_formula([[1.0, 2.0]], [2.0, 4.0]).formula)")
    out = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == ["MemoryError", "[1.0] (x + x)"]


# The first parallel call of a process with little address space left: the
# pool cannot start its threads yet, so the call runs on the calling thread
# (or raises MemoryError), and the pool starts once there is room, with the
# same results.
POOL_START = """
import os, resource, sys
import numpy as np
from vek_math import ufuncs as U, vek_core as v
xs = [0.5 + i / 1e5 for i in range(20_000)]
x = np.array(xs)
call = {"list kernel": lambda: v.exp_n(xs), "ufunc": lambda: U.exp(x).tolist(),
        "search": lambda: v.find_formula([xs[:300], xs[300:600]], xs[600:900], max_complexity=7, beam_width=500)}
call = call[sys.argv[1]]
threads = lambda: len(os.listdir("/proc/self/task"))
before = threads()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + int(sys.argv[2]) * 2**20, hard))
try:
    first = repr(call())
except MemoryError:
    first = None
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
again = repr(call())
print(first in (None, again), threads() - before)
"""


@pytest.mark.parametrize("room_mib", [1, 4])
@pytest.mark.parametrize("call", ["list kernel", "ufunc", "search"])
def test_the_pool_waits_for_address_space_to_start(call, room_mib):
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("sanitizer builds abort instead of failing allocations")
    env = {**{k: v for k, v in os.environ.items() if not k.startswith("RAYON")}, "RAYON_NUM_THREADS": "4"}
    out = subprocess.run([sys.executable, "-I", "-c", POOL_START, call, str(room_mib)], env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.stdout.split() == ["True", "3"], out.stderr


def test_calls_from_several_threads_give_the_serial_results():
    rng = random.Random(9)
    xs = [rng.uniform(-3.0, 3.0) for _ in range(200_000)]
    cols, ys = [[rng.uniform(0.5, 2.0) for _ in range(400)] for _ in range(2)], xs[:400]
    mv = [[rng.uniform(-1.0, 1.0) for _ in range(256)] for _ in range(64)]
    calls = [lambda: v.tension_n(xs, xs[::-1]),
             lambda: repr(v.find_formula(cols, ys, max_complexity=6, beam_width=800)),
             lambda: v.geometric_product_n(mv, mv[::-1], [1, 1, -1, 1, 1, -1, 1, 1]),
             lambda: v.simulate_pulses_n(0.5, 1.5, 100_000)[-1]]
    serial = [c() for c in calls]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda i: calls[i % len(calls)](), range(3 * len(calls))))
    assert got == serial * 3  # lists of floats compare by value, NaN-free here

"""The module frame: registration, argument parsing, conversions, errors."""

import ast
import ctypes
import os
import inspect
import pathlib
import subprocess
import sys
import textwrap

import pytest


import vek_math
from conftest import traced_growth
from vek_math import _engine, vek_core

# The stub is the one written-down list of names: __all__ in registration
# order, and a declaration of each.
STUB = ast.parse((pathlib.Path(__file__).resolve().parent.parent / "vek_math" / "vek_core.pyi").read_text())
(STUB_ALL,) = [ast.literal_eval(n.value) for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
STUB_FUNCTIONS = [n.name for n in STUB.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("_")]


def test_all_lists_the_stubs_names_in_registration_order():
    declared = {n.name for n in STUB.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    assert vek_core.__all__ == STUB_ALL
    assert set(STUB_ALL) == {n for n in declared if not n.startswith("_")}
    assert {n for n in dir(vek_core) if not n.startswith("_")} == set(STUB_ALL)
    assert vek_core.__doc__ == ""
    assert vek_math.__all__ == vek_core.__all__


def test_second_init_returns_the_same_module():
    lib = ctypes.PyDLL(vek_core.__file__)
    entry = lib.PyInit_vek_core
    entry.restype = ctypes.py_object
    again = entry()
    assert again is vek_core
    assert vek_core.__all__.count("exp_n") == 1


def test_subinterpreter_import_is_refused():
    code = textwrap.dedent(
        """
        import _interpreters, sys
        import vek_math.vek_core
        interp = _interpreters.create(config="legacy")
        err = _interpreters.run_string(interp, "import vek_math.vek_core")
        print(err.type.__name__, err.msg)
        """
    )
    proc = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ImportError") and "sub-interpreters" in proc.stdout


@pytest.mark.parametrize("name", STUB_FUNCTIONS)
def test_functions_carry_signature_docstrings(name):
    f = getattr(vek_core, name)  # a declared name the module lacks fails here
    assert f.__module__ == vek_core.__name__ and f.__doc__
    assert f.__text_signature__.startswith("(")
    params = list(inspect.signature(f).parameters.values())
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m, e: m.ln_n(), "ln_n() missing 1 required positional argument: 'ys'"),
        (lambda m, e: m.add_n([1.0]), "add_n() missing 1 required positional argument: 'bs'"),
        (lambda m, e: m.add_n(), "add_n() missing 2 required positional arguments: 'as_' and 'bs'"),
        (lambda m, e: m.boost_n(), "boost_n() missing 3 required positional arguments: 'points', 'phis', and 'c'"),
        (lambda m, e: m.boost_n(phis=[]), "boost_n() missing 2 required positional arguments: 'points' and 'c'"),
        (lambda m, e: m.ln_n([1.0], [2.0]), "ln_n() takes 1 positional arguments but 2 were given"),
        (lambda m, e: m.add_n([1.0], [2.0], [3.0]), "add_n() takes 2 positional arguments but 3 were given"),
        (lambda m, e: m.ln_n(xs=[1.0]), "ln_n() got an unexpected keyword argument 'xs'"),
        (lambda m, e: m.add_n([1.0], as_=[2.0]), "add_n() got multiple values for argument 'as_'"),
        # keyword-only parameters (after the "*" of a row)
        (lambda m, e: e.search(0, 0, 8), "search() takes 2 positional arguments but 3 were given"),
        (lambda m, e: e.search(0, 0, 8, 9, n_threads=1, progress=None),
         "search() takes 2 positional arguments but 4 positional arguments (and 2 keyword-only arguments) were given"),
        (lambda m, e: e.search(0, y=0, X=0), "search() got multiple values for argument 'X'"),
    ],
)
def test_parse_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(vek_core, _engine)
    assert str(info.value) == message


def test_keywords_and_positions_mix(vc):
    assert vc.ln_n(ys=[1.0]) == [0.0]
    assert vc.sub_n([5.0], bs=[2.0]) == [3.0]
    assert vc.sub_n(bs=[2.0], as_=[5.0]) == [3.0]


@pytest.mark.parametrize(
    "make, given",
    [(vek_core.VEKKnot, (vek_core.VEKPoint(0.5, 1.5),)), (vek_core.find_formula, ([[1.0, 2.0, 3.0]], [2.0, 5.0, 6.0]))],
)
def test_omitted_parameters_take_the_defaults_the_signature_shows(make, given):
    shown = [p.default for p in inspect.signature(make).parameters.values()][len(given):]
    assert repr(make(*given)) == repr(make(*given, *shown))


class Lying:
    """A sequence whose __len__ fails; its elements still count."""

    def __init__(self, items, length_error=TypeError):
        self.items = items
        self.length_error = length_error

    def __len__(self):
        raise self.length_error("no length")

    def __getitem__(self, i):
        return self.items[i]


class HugeLen:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, i):
        if i < 3:
            return float(i)
        raise IndexError(i)


class Floaty:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class Indexy:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "value, expected",
    [
        (b"ab", [97.0, 98.0]),
        ((1, 2), [1.0, 2.0]),
        (range(3), [0.0, 1.0, 2.0]),
        ([True, 2], [1.0, 2.0]),
        ([Floaty(1.5), Indexy()], [1.5, 7.0]),
        (Lying([1.0, 2.0]), [1.0, 2.0]),
        (Lying([4.0], length_error=ValueError), [4.0]),
        (HugeLen(), [0.0, 1.0, 2.0]),
        ([], []),
    ],
)
def test_float_vector_accepts(vc, value, expected):
    assert vc.add_n(value, [0.0] * 8) == expected


@pytest.mark.parametrize(
    "value, message",
    [
        ("abc", "argument 'xs': Can't extract `str` to `Vec`"),
        (5, "argument 'xs': 'int' object cannot be converted to 'Sequence'"),
        ((x for x in [1.0]), "argument 'xs': 'generator' object cannot be converted to 'Sequence'"),
        ({1.0: 2}, "argument 'xs': 'dict' object cannot be converted to 'Sequence'"),
        ({1.0}, "argument 'xs': 'set' object cannot be converted to 'Sequence'"),
        (iter([1.0]), "argument 'xs': 'list_iterator' object cannot be converted to 'Sequence'"),
        ([1.0, "a"], "argument 'xs': must be real number, not str"),
        ((1.0, None), "argument 'xs': must be real number, not NoneType"),
    ],
)
def test_float_vector_refuses(vc, value, message):
    with pytest.raises(TypeError) as info:
        vc.exp_n(value)
    assert str(info.value) == message


def test_wrapped_type_error_keeps_the_original_cause(vc):
    root = KeyError("root")

    class Bad:
        def __float__(self):
            raise TypeError("bad float") from root

    with pytest.raises(TypeError) as info:
        vc.exp_n([Bad()])
    assert str(info.value) == "argument 'xs': bad float"
    assert info.value.__cause__ is root


@pytest.mark.parametrize("exc", [ValueError, OverflowError, ZeroDivisionError])
def test_other_conversion_errors_pass_unchanged(vc, exc):
    class Bad:
        def __float__(self):
            raise exc("boom")

    with pytest.raises(exc) as info:
        vc.exp_n([1.0, Bad()])
    assert str(info.value) == "boom"


def test_list_mutated_during_conversion_is_read_like_the_iterator(vc):
    data = [1.0, None, 3.0, 4.0]

    class Shrink:
        def __float__(self):
            del data[2:]
            return 2.0

    data[1] = Shrink()
    assert vc.exp_n(data) == vc.exp_n([1.0, 2.0])


def test_numpy_scalars_and_arrays_convert():
    np = pytest.importorskip("numpy")
    arr = np.array([0.0, 1.0, -2.5])
    assert vek_core.exp_n(arr) == vek_core.exp_n([0.0, 1.0, -2.5])
    assert vek_core.exp_n([np.float64(1.0), np.int64(2)]) == vek_core.exp_n([1.0, 2.0])


@pytest.mark.parametrize(
    "points, exc, message",
    [
        ([(1.0, 2.0, 3.0)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([[0.0, 0.0]], TypeError, "argument 'points': 'list' object cannot be converted to 'PyTuple'"),
        ([(1.0, "x")], TypeError, "argument 'points': must be real number, not str"),
        ("ab", TypeError, "argument 'points': Can't extract `str` to `Vec`"),
    ],
)
def test_pair_vector_refuses(vc, points, exc, message):
    with pytest.raises(exc) as info:
        vc.boost_n(points, [0.0], 1.0)
    assert str(info.value) == message


def test_tuple_subclasses_are_pairs(vc):
    from collections import namedtuple

    P = namedtuple("P", "x y")
    assert vc.boost_n([P(0.0, 1.0)], [0.0], 1.0) == [(0.0, 1.0)]


def test_scalar_float_parameter(vc):
    with pytest.raises(TypeError) as info:
        vc.boost_n([(0.0, 1.0)], [0.0], "1")
    assert str(info.value) == "argument 'c': must be real number, not str"
    assert vc.boost_n([(0.0, 1.0)], [0.0], 1) == [(0.0, 1.0)]


def test_bad_and_good_calls_do_not_leak(vc):
    xs = [0.5] * 64
    pairs = [(0.0, 1.0)] * 16
    bad = [1.0, "a"]
    before = (sys.getrefcount(xs), sys.getrefcount(pairs), sys.getrefcount(bad), sys.getrefcount(0.5))
    def round_trip():
        for _ in range(200):
            vc.exp_n(xs)
            vc.add_n(xs, xs)
            vc.boost_n(pairs, xs, 1.0)
            for call in (lambda: vc.exp_n(bad), lambda: vc.boost_n([(1.0,)], xs, 1.0),
                         lambda: vc.add_n(xs), lambda: vc.exp_n("s")):
                try:
                    call()
                except (TypeError, ValueError):
                    pass

    grown = traced_growth(round_trip, rounds=5)
    after = (sys.getrefcount(xs), sys.getrefcount(pairs), sys.getrefcount(bad), sys.getrefcount(0.5))
    assert after == before
    assert grown < 64 * 1024


def test_double_buffers_take_the_same_values_as_lists():
    np = pytest.importorskip("numpy")
    import array

    vals = [0.0, -0.0, 1.5, float("inf"), float("nan"), 5e-324, -1e300]
    want = vek_core.exp_n(vals)
    same = lambda got: all(repr(g) == repr(w) for g, w in zip(got, want)) and len(got) == len(want)
    assert same(vek_core.exp_n(np.array(vals)))
    assert same(vek_core.exp_n(array.array("d", vals)))
    assert same(vek_core.exp_n(memoryview(array.array("d", vals))))
    assert same(vek_core.exp_n(np.array(vals)[::-1][::-1]))         # a view, still contiguous
    assert same(vek_core.exp_n(np.repeat(vals, 2)[::2]))             # strided: element by element
    assert same(vek_core.exp_n(np.array(vals, dtype=">f8")))         # foreign byte order
    assert vek_core.exp_n(np.array([1, 2], dtype=np.float32)) == vek_core.exp_n([1.0, 2.0])
    assert vek_core.exp_n(np.arange(3)) == vek_core.exp_n([0.0, 1.0, 2.0])
    with pytest.raises(TypeError, match="argument 'xs': only length-1 arrays|argument 'xs': only 0-dimensional"):
        vek_core.exp_n(np.zeros((2, 2)))
    r = vek_core.find_formula([np.array([1.0, 2.0, 3.0])], np.array([2.0, 4.0, 6.0]))
    assert r.formula == "(x + x)"


# ---- memory exhaustion, the interpreter lock, threads ------------------------------

MEMORY_HUNGRY = {
    "array copy": "v.exp_n(np.zeros(10**8))",
    "long iterable": "v.exp_n(range(10**9))",
    "search column": "v.find_formula([range(10**9)], [1.0])",
    "signature": "v.geometric_product_n([[1.0]], [[1.0]], b'\\x01' * 10**9)",
}


@pytest.mark.parametrize("call", MEMORY_HUNGRY.values(), ids=MEMORY_HUNGRY.keys())
def test_memory_exhaustion_raises_memory_error_and_the_interpreter_lives_on(call):
    pytest.importorskip("numpy")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("sanitizer builds abort instead of failing allocations")
    code = textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1_500_000 * 1024,) * 2)
        import numpy as np
        from vek_math import vek_core as v
        try:
            {call}
        except MemoryError:
            print("MemoryError")
        print(v.exp_n([0.0]), v.find_formula([[1.0, 2.0]], [2.0, 4.0]).formula)
        """)
    out = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:2] == ["MemoryError", "[1.0] (x + x)"]


def _heavy_calls():
    rng = __import__("random").Random(9)
    xs = [rng.uniform(-3.0, 3.0) for _ in range(200_000)]
    cols = [[rng.uniform(0.5, 2.0) for _ in range(400)] for _ in range(2)]
    ys = [rng.uniform(-1.0, 1.0) for _ in range(400)]
    mv = [[rng.uniform(-1.0, 1.0) for _ in range(256)] for _ in range(64)]
    return [
        lambda: vek_core.tension_n(xs, xs[::-1]),
        lambda: repr(vek_core.find_formula(cols, ys, max_complexity=6, beam_width=800)),
        lambda: vek_core.geometric_product_n(mv, mv[::-1], [1, 1, -1, 1, 1, -1, 1, 1]),
        lambda: vek_core.simulate_pulses_n(0.5, 1.5, 100_000)[-1],
    ]


def test_calls_from_several_threads_give_the_serial_results():
    from concurrent.futures import ThreadPoolExecutor

    calls = _heavy_calls()
    serial = [c() for c in calls]
    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(lambda i: calls[i % len(calls)](), range(3 * len(calls))))
    assert got == serial * 3  # lists of floats compare by value, NaN-free here


def test_other_threads_run_during_a_search():
    import threading
    import time

    ticks = 0
    done = threading.Event()

    def heartbeat():
        nonlocal ticks
        while not done.wait(0.02):
            ticks += 1

    rng = __import__("random").Random(4)
    cols = [[rng.uniform(0.5, 2.0) for _ in range(300)] for _ in range(2)]
    ys = [rng.uniform(-1.0, 1.0) for _ in range(300)]
    t = threading.Thread(target=heartbeat)
    t.start()
    t0 = time.perf_counter()
    vek_core.find_formula(cols, ys, max_complexity=10, beam_width=4000)
    elapsed = time.perf_counter() - t0
    done.set()
    t.join()
    # Holding the lock, the search would let the heartbeat tick about once.
    assert ticks >= min(elapsed / 0.02 / 4, 5)

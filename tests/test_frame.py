"""The module frame: registration, argument parsing, conversions, errors."""

import ctypes
import inspect
import subprocess
import sys
import textwrap

import pytest


import vek_math
from conftest import traced_growth
from vek_math import vek_core

REGISTRATION_ORDER = [
    "VEKPoint", "VEKPair", "VEKKnot", "schrodinger_step_n", "rotate_phase_n", "simulate_pulses_n",
    "boost_n", "exp_n", "ln_n", "add_n", "sub_n", "mul_n", "div_n", "sqrt_n", "sin_n", "cos_n",
    "tension_n", "pow_n", "christoffel_batch_n", "octonion_mul_n", "geometric_product_n",
    "PySearchResult", "find_formula",
]


def test_all_lists_registered_names_in_order():
    assert vek_core.__all__ == REGISTRATION_ORDER
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


@pytest.mark.parametrize("name", [n for n in REGISTRATION_ORDER if n.endswith("_n") or n == "find_formula"])
def test_functions_carry_signature_docstrings(name):
    if not hasattr(vek_core, name):
        pytest.skip("not registered in this build")
    f = getattr(vek_core, name)
    assert f.__module__ == vek_core.__name__
    assert f.__text_signature__.startswith("(")
    params = list(inspect.signature(f).parameters.values())
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.ln_n(), "ln_n() missing 1 required positional argument: 'ys'"),
        (lambda m: m.add_n([1.0]), "add_n() missing 1 required positional argument: 'bs'"),
        (lambda m: m.add_n(), "add_n() missing 2 required positional arguments: 'as_' and 'bs'"),
        (lambda m: m.boost_n(), "boost_n() missing 3 required positional arguments: 'points', 'phis', and 'c'"),
        (lambda m: m.boost_n(phis=[]), "boost_n() missing 2 required positional arguments: 'points' and 'c'"),
        (lambda m: m.ln_n([1.0], [2.0]), "ln_n() takes 1 positional arguments but 2 were given"),
        (lambda m: m.add_n([1.0], [2.0], [3.0]), "add_n() takes 2 positional arguments but 3 were given"),
        (lambda m: m.ln_n(xs=[1.0]), "ln_n() got an unexpected keyword argument 'xs'"),
        (lambda m: m.add_n([1.0], as_=[2.0]), "add_n() got multiple values for argument 'as_'"),
    ],
)
def test_parse_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(vek_core)
    assert str(info.value) == message


def test_keywords_and_positions_mix(vc):
    assert vc.ln_n(ys=[1.0]) == [0.0]
    assert vc.sub_n([5.0], bs=[2.0]) == [3.0]
    assert vc.sub_n(bs=[2.0], as_=[5.0]) == [3.0]


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

"""Fuzzing of every vek_core entry point: whatever Python hands it, a call gives a well-formed result or raises
TypeError, ValueError, OverflowError, MemoryError or PanicException, and never crashes, hangs or leaks. The default
profile is deterministic and short; VEK_FUZZ_PROFILE=long runs a randomised campaign of many more examples."""

import array
import faulthandler
import gc
import inspect
import operator as op
import os
import sys
import tracemalloc
import warnings

import numpy as np
import pytest

pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from vek_math import vek_core as v
from vek_math._runtime import PanicException

LONG = {"default": False, "long": True}[os.environ.get("VEK_FUZZ_PROFILE", "default")]  # any other: KeyError
FUZZ = settings(
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
    print_blob=True,
    **(dict(max_examples=3000) if LONG else dict(derandomize=True, max_examples=15)),
)
# AddressSanitizer aborts on an impossible allocation instead of letting operator new throw.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, PanicException)
P, Q, K, R = v.VEKPoint, v.VEKPair, v.VEKKnot, v.PySearchResult


class HookError(ValueError):
    """Raised by the hooks below; reaches the caller unchanged."""


class Hook:
    """__float__, __index__ and __bool__ giving `result` (maybe of a wrong type), or raising HookError."""

    def __init__(self, result):
        self.result = result

    def _get(self):
        if self.result is HookError:
            raise HookError("hook fails")
        return self.result

    __float__ = __index__ = __bool__ = _get
    __repr__ = lambda self: f"Hook({self.result!r})"  # noqa: E731


class LyingSeq:
    """A sequence whose length lies or fails, and whose items fail from `fail_at` on."""

    def __init__(self, items, length, fail_at=None):
        self.items, self.length, self.fail_at = list(items), length, fail_at

    def __len__(self):
        return Hook(self.length)._get()

    def __getitem__(self, i):
        if self.fail_at is not None and i >= self.fail_at:
            raise HookError(f"item {i} fails")
        return self.items[i]  # iteration ends at the IndexError past the last item

    __repr__ = lambda self: f"LyingSeq({self.items!r}, {self.length!r}, {self.fail_at!r})"  # noqa: E731


class Shrinker:
    """An element whose conversion empties (or grows) the list holding it."""

    def __init__(self, box, grow):
        self.box, self.grow = box, grow

    def __index__(self):
        self.box.append(2.0) if self.grow else self.box.clear()
        return 1

    def __float__(self):
        return float(self.__index__())


def self_mutating(items, at, grow):
    box = list(items)
    box.insert(at, Shrinker(box, grow))
    return box


# -- strategies, the entry points and the checks of their results ---------------

floats, lies = st.floats(), st.integers(0, 20) | st.sampled_from([-1, 2**70, HookError])
ints = st.integers() | st.sampled_from([2**63 - 1, 2**63, -(2**63) - 1, 2**64 - 1, 2**64, 10**400, -129, 128])
JUNK = st.recursive(st.one_of(
    floats, ints, st.booleans(), st.none(), st.text(max_size=3), st.binary(max_size=3), st.complex_numbers(),
    st.fractions(), st.decimals(), hnp.arrays(hnp.scalar_dtypes(), hnp.array_shapes(min_dims=0, max_side=4)),
    hnp.arrays(hnp.scalar_dtypes(), shape=()).map(lambda a: a[()]), st.builds(P, floats, floats),
    st.builds(Hook, floats | ints | st.text(max_size=2) | st.just(HookError)), st.sampled_from([object(), type, {1}])),
    lambda kids: st.one_of(
        items := st.lists(kids, max_size=6), items.map(tuple), items.map(iter),
        st.dictionaries(st.text(max_size=2), kids, max_size=3), st.builds(LyingSeq, items, lies, st.none() | ints),
        st.builds(self_mutating, items, st.integers(0, 6), st.booleans())), max_leaves=12)
f_ok = st.one_of(floats, st.integers(-(2**60), 2**60), st.booleans(), st.builds(np.float32, st.floats(width=32)),
                 st.builds(np.int64, st.integers(-(2**63), 2**63 - 1)), st.fractions(), st.builds(Hook, floats))


def floats_ok(min_size=0, max_size=10, exact=False):
    """Float sequences in every accepted form; `exact` where the length is checked, not a hint."""
    items = st.lists(f_ok, min_size=min_size, max_size=max_size)
    return st.one_of(
        items, items.map(tuple), items.flatmap(lambda xs: st.builds(LyingSeq, st.just(xs), st.just(len(xs)) if exact
                                                                    else lies)),
        hnp.arrays(st.sampled_from(["<f8", ">f8", "<f4", "i4", "?"]), st.integers(min_size, max_size)),
        st.binary(min_size=min_size, max_size=max_size),
        st.lists(floats, min_size=min_size, max_size=max_size).map(lambda xs: array.array("d", xs)))


def tame(limit, hopeless):
    """Junk that is no usable count, or one up to `limit` or from `hopeless` on."""
    def ok(x):
        try:
            return not limit < op.index(x) < hopeless
        except Exception:
            return True
    return JUNK.filter(ok)


def known_len(x):
    """The number of elements the module will see, when it can be told before the call."""
    if isinstance(x, (list, tuple)) and any(isinstance(i, Shrinker) for i in x):
        return None
    sized = isinstance(x, (list, tuple, bytes, array.array)) or (isinstance(x, np.ndarray) and x.ndim)
    return len(x.items) if isinstance(x, LyingSeq) else len(x) if sized else None


def items(width, *seqs):
    """A list of floats (width 0), of tuples of `width` floats or of lists of
    floats (width None), as long as the shortest of the arguments `seqs`."""
    def check(result, values, lens):
        assert type(result) is list
        for item in result:
            parts = [item] if width == 0 else item
            assert type(item) is (float if width == 0 else tuple if width else list)
            assert all(type(c) is float for c in parts) and len(parts) == (width or len(parts))
        assert not seqs or None in (n := [lens[k] for k in seqs]) or len(result) == min(n)
    return check


def is_(cls):
    return lambda result, values, lens: type(result) is cls or pytest.fail(f"{type(result)} is not {cls}")


F, PAIRS, POINTS = floats_ok(), st.lists(st.tuples(f_ok, f_ok), max_size=10), st.builds(P, floats, floats)
INDEX = st.integers(0, 2**64 - 1) | st.builds(Hook, st.integers(0, 50))
BOOL, INT64 = st.booleans() | st.builds(np.bool_, st.booleans()), st.integers(-(2**63), 2**63 - 1)
OBJECTS = {P: POINTS, Q: st.builds(Q, floats, floats), K: st.builds(K, POINTS, INT64, floats),
           R: st.sampled_from([v.find_formula([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0], max_complexity=3, beam_width=8),
                               v.find_formula([[0.5, 1.5], [2.0, 3.0]], [1.0, 9.0], max_complexity=3, beam_width=8)])}
X_DATA = st.integers(1, 6).flatmap(lambda n: st.lists(st.lists(f_ok, min_size=n, max_size=n), min_size=1, max_size=3))
OCTONIONS = st.lists(floats_ok(8, 8, exact=True), max_size=5)
OCTONIONS |= hnp.arrays(float, st.tuples(st.integers(0, 5), st.just(8)))
MULTIVECTORS = st.lists(floats_ok(max_size=8), max_size=4)
SIGNATURE = st.lists(st.integers(-128, 127), max_size=5) | hnp.arrays(np.int8, st.integers(0, 5))
# name: (the callable, a valid value of each parameter, the check of a result from valid values)
ENTRIES = {
    **{n: (st.just(getattr(v, n)), [F], items(0, 0)) for n in ["exp_n", "ln_n", "sqrt_n", "sin_n", "cos_n"]},
    **{n: (st.just(getattr(v, n)), [F, F], items(0, 0, 1)) for n in ["add_n", "sub_n", "mul_n", "div_n", "pow_n"]},
    "tension_n": (st.just(v.tension_n), [F, F], items(0, 0, 1)),
    "boost_n": (st.just(v.boost_n), [PAIRS, F, f_ok], items(2, 0, 1)),
    "rotate_phase_n": (st.just(v.rotate_phase_n), [PAIRS, F], items(2, 0, 1)),
    "schrodinger_step_n": (st.just(v.schrodinger_step_n), [PAIRS, F, f_ok, f_ok], items(2, 0, 1)),
    "simulate_pulses_n": (st.just(v.simulate_pulses_n), [f_ok, f_ok, st.integers(0, 40)],
                          lambda r, vs, lens: items(3)(r, vs, lens) or len(r) == op.index(vs[2]) + 1 or pytest.fail()),
    "christoffel_batch_n": (st.just(v.christoffel_batch_n), [PAIRS, INDEX, INDEX, INDEX, f_ok], items(0, 0)),
    "octonion_mul_n": (st.just(v.octonion_mul_n), [OCTONIONS, OCTONIONS], items(None, 0, 1)),
    "geometric_product_n": (st.just(v.geometric_product_n), [MULTIVECTORS, MULTIVECTORS, SIGNATURE], items(None, 0, 1)),
    "find_formula": (st.just(v.find_formula), [X_DATA, F, st.integers(0, 3), st.integers(0, 8), f_ok, BOOL, BOOL, f_ok],
                     lambda r, vs, lens: r is None or (is_(R)(r, vs, lens) and r.complexity >= 1 and r.params == [])
                     or pytest.fail(repr(r))),
    "VEKPoint": (st.just(P), [f_ok, f_ok], is_(P)),
    "VEKPair": (st.just(Q), [f_ok, f_ok], is_(Q)),
    "VEKKnot": (st.just(K), [POINTS, INT64, f_ok], is_(K)),
    "VEKPair.from_polar": (st.just(Q.from_polar), [f_ok, f_ok], is_(Q)),
    **{f"{cls.__name__}.{name}": (OBJECTS[cls].map(op.attrgetter(name)), params, is_(kind))
       for cls, name, params, kind in [
        (P, "conserves_tension", [POINTS, f_ok], bool), (P, "minkowski_delta", [BOOL, f_ok], float),
        (P, "boost", [f_ok, f_ok], P), (Q, "from_values", [f_ok, f_ok], Q), (Q, "rotate_phase", [f_ok], Q)]},
}
# Counts that size a search or an allocation: junk stays small, or too large to allocate for.
TAME = {("simulate_pulses_n", 2): tame(40, 384307168202282325 if UNDER_ASAN else 2**40),
        ("find_formula", 2): tame(3, 2**64), ("find_formula", 3): tame(8, 2**64)}


def invoke(fn, *args, **kwargs):
    """(True, result) or (False, allowed exception); anything else, or a call
    that does not return within two minutes, fails the test."""
    faulthandler.dump_traceback_later(120, exit=True)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return True, fn(*args, **kwargs)
    except ALLOWED as exc:
        return False, exc
    finally:
        faulthandler.cancel_dump_traceback_later()


# -- properties ----------------------------------------------------------------------


@pytest.mark.parametrize("name", ENTRIES)
@FUZZ
@given(data=st.data())
def test_any_arguments_give_a_result_or_an_argument_error(name, data):
    target, params, check = ENTRIES[name]
    fn = data.draw(target, label="callable")
    names = list(inspect.signature(fn).parameters)
    every = data.draw(st.booleans(), label="all valid")
    valid = [every or data.draw(st.booleans(), label=f"{n} valid") for n in names]
    values = [data.draw(p if ok else TAME.get((name, k), JUNK), label=n)
              for k, (n, p, ok) in enumerate(zip(names, params, valid))]
    lens = [known_len(x) for x in values]  # before the call: a Shrinker changes its list
    cut = data.draw(st.integers(0, len(values)), label="given by position")  # the rest by keyword
    ok, outcome = invoke(fn, *values[:cut], **dict(zip(names[cut:], values[cut:])))
    if ok and all(valid):
        with warnings.catch_warnings():  # the checks convert numpy values too
            warnings.simplefilter("ignore")
            check(outcome, values, lens)
    elif all(valid):  # only mismatched multivector dimensions fail, by design
        assert name == "geometric_product_n" and type(outcome) is PanicException, outcome


@pytest.mark.parametrize("name", ["exp_n", "sin_n", "add_n", "pow_n", "tension_n"])
@FUZZ
@given(data=st.data())
def test_any_float_sequence_reads_like_its_list(name, data):
    fn = getattr(v, name)
    seq = data.draw(st.one_of(
        hnp.arrays(st.sampled_from(["<f8", ">f8", "<f4", "<f2", "i1", "<i8", "<u8", "?"]), st.integers(0, 12))
        .flatmap(lambda a: st.sampled_from([a, a[::-1], a[::2]])),
        st.builds(lambda xs, form: form(xs), st.lists(floats, max_size=12), st.sampled_from([
            lambda xs: array.array("d", xs), lambda xs: memoryview(array.array("d", xs)),
            lambda xs: LyingSeq(xs, 2**70), lambda xs: LyingSeq(xs, sys.maxsize), lambda xs: LyingSeq(xs, HookError),
            lambda xs: LyingSeq(xs, 0)]))))
    plain = seq.tolist() if hasattr(seq, "tolist") else list(seq.items)
    other = [] if name in ("exp_n", "sin_n") else [data.draw(st.lists(floats, min_size=len(plain), max_size=14))]
    ok, outcome = invoke(fn, seq, *other)
    assert ok and [repr(x) for x in outcome] == [repr(x) for x in fn(plain, *other)], outcome


def test_group_emptied_while_converted():
    # The group's length is checked before its items are read; one that
    # shrinks meanwhile is reported by the length it has now.
    with pytest.raises(ValueError, match=r"expected a sequence of length 8 \(got \d+\)"):
        v.octonion_mul_n([self_mutating([0.0] * 7, 0, grow=False)], [[1.0] * 8])


def test_many_mixed_calls_leave_memory_and_refcounts_flat():
    xs = [float(repr(k / 7)) for k in range(64)]  # float objects of their own, whose counts are ours to watch
    ys, pairs, cols = tuple(xs[:48]), list(zip(xs[:32], xs[32:])), [xs[:3]]
    octs, mvs, short = [xs[k:k + 8] for k in range(6)], [xs[k:k + 4] for k in range(5)], [xs[:2]]
    point, pair, hooks = P(xs[1], xs[2]), Q(xs[3], xs[4]), [Hook(HookError), Hook(xs[9]), Hook(2**70)]
    knot, result, target = K(point, 7, xs[5]), v.find_formula(cols, xs[:3], max_complexity=3, beam_width=8), xs[1:4]
    lying, failing, bad = LyingSeq(xs[:5], HookError), LyingSeq(xs[:5], 5, fail_at=3), [pairs[0], tuple(xs[:3])]
    calls = [  # good calls, then failing ones
        (v.exp_n, xs), (v.ln_n, ys), (v.add_n, xs, ys), (v.tension_n, xs, lying), (v.boost_n, pairs, xs, xs[6]),
        (v.rotate_phase_n, pairs, ys), (v.schrodinger_step_n, pairs, xs, xs[7], xs[8]), (P, xs[9], xs[10]),
        (v.simulate_pulses_n, xs[1], xs[2], 16), (v.christoffel_batch_n, pairs, 1, 0, 0, xs[3]), (knot.flip,),
        (v.octonion_mul_n, octs, octs), (v.geometric_product_n, mvs, mvs, [1, -1]), (point.boost, xs[4], xs[5]),
        (point.conserves_tension, point, xs[6]), (point.pair,), (pair.rotate_phase, xs[7]), (op.mul, pair, pair),
        (op.eq, pair, xs), (repr, knot), (result.to_python,), (getattr, result, "params"),
        (v.exp_n, "abc"), (v.exp_n, [*xs, "x"]), (v.exp_n, hooks), (v.sin_n, hooks[1:]), (v.cos_n, failing),
        (v.add_n, xs), (v.boost_n, bad, xs, xs[1]), (v.rotate_phase_n, [pair], ys), (v.octonion_mul_n, short, octs),
        (v.geometric_product_n, mvs, short, [1, -1]), (v.geometric_product_n, mvs, mvs, [1, 1000]),
        (v.simulate_pulses_n, xs[1], xs[2], 2**64 - 1), (v.christoffel_batch_n, pairs, -1, 0, 0, xs[3]),
        (K, point, hooks[0]), (K, point, 2**63), (K, xs), (point.minkowski_delta, 1, xs[4]), (op.add, pair, xs[5]),
        (point.conserves_tension, pair, xs[6]), (hash, pair), (v.find_formula, [xs], target, -1), (R,),
        (v.find_formula, [], target), *([] if UNDER_ASAN else [(v.simulate_pulses_n, xs[1], xs[2], 2**40)]),
    ]
    search = (v.find_formula, cols, target, 2, 4, 1e-10, True, False)
    tracked = [*xs, xs, ys, *pairs, pairs, *octs, octs, *mvs, mvs, short, cols, target, point, pair, *hooks, hooks,
               knot, result, lying, lying.items, failing, failing.items, bad]

    def run(n):
        order = [search if k % 250 == 0 else calls[k % len(calls)] for k in range(n)]
        for fn, *args in [*order, *calls, search]:  # end on the same calls: free lists match at both measurements
            try:
                fn(*args)
            except ALLOWED:
                pass
        del order
        gc.collect()
        with open("/proc/self/statm") as statm:
            rss = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        return [sys.getrefcount(o) for o in tracked], len(gc.get_objects()), tracemalloc.get_traced_memory()[0], rss

    tracemalloc.start()
    try:
        (refs, objects, traced, rss), (refs_after, objects_after, traced_after, rss_after) = run(10_000), run(100_000)
    finally:
        tracemalloc.stop()
    changed = [(type(o).__name__, a, b) for o, a, b in zip(tracked, refs, refs_after) if a != b]
    assert not changed and abs(objects_after - objects) < 50, (changed[:10], objects, objects_after)
    # A single float leaked per call by one case would add about 40 kB; the noise is a few kB.
    assert traced_after - traced < 32 * 2**10, (traced, traced_after)
    assert UNDER_ASAN or rss_after - rss < 2 * 2**20, (rss, rss_after)  # the sanitizer's quarantine keeps freed memory

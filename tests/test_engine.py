"""vek_math._engine: the search with its Pareto front, and evaluate."""

import itertools
import math
import pickle
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import assert_same_floats, same_float
from vek_math import _engine as e
from vek_math import _formula
from vek_math import vek_core as v


def problem(name):
    rng = np.random.default_rng(7)
    if name == "twice_x":
        X = np.linspace(-2.0, 3.0, 30).reshape(-1, 1)
        return X, 2.0 * X[:, 0], {}
    if name == "cubic":
        x = np.linspace(-1.0, 1.0, 20)
        return x.reshape(-1, 1), x * x * x + x * x + x, dict(max_complexity=6, beam_width=400)
    if name == "two_features":
        X = rng.uniform(-2.0, 2.0, (40, 2))
        return X, X[:, 0] * X[:, 1] + np.sin(X[:, 0]), dict(max_complexity=6, beam_width=400)
    X = rng.uniform(0.5, 3.0, (30, 3))  # three features, a target no small formula meets
    return X, rng.uniform(-3.0, 3.0, 30), dict(max_complexity=5, beam_width=300, complexity_penalty=0.05)


def loss_of(record, X, y):
    out = e.evaluate(record.nodes, X, record.params, np.empty(len(y)))
    s = 0.0
    for d in (out - y).tolist():
        s += d * d
    return math.sqrt(s / len(y))


def check_front(r, X, y, penalty=0.001, max_params=0):
    """The front's order, and every record's loss and error as evaluating its
    nodes with its params gives them; the best has the lowest error (with
    constants, losses at the rounding level of y tie)."""
    front = r.front
    assert type(r) is e.Outcome and all(type(rec) is e.Record for rec in [*front, r.best])
    assert pickle.loads(pickle.dumps(r)) == r
    assert front, "a search that scored anything has a front"
    assert all(a.complexity < b.complexity and a.loss > b.loss for a, b in itertools.pairwise(front))
    noise = 1e-12 * math.sqrt(float(np.mean(y * y))) if max_params else 0.0
    for rec in [*front, r.best]:
        assert same_float(loss_of(rec, X, y), rec.loss), rec.formula
        assert same_float(rec.error, rec.loss * (penalty * rec.complexity + 1.0))
        params = [i for kind, i in rec.nodes if kind == "param"]
        assert params == list(range(len(rec.params))) and len(params) <= max_params
        assert rec.complexity == sum(kind != "pow" for kind, _ in rec.nodes)  # a power costs no node of its own
        assert r.best.error <= rec.error or max(r.best.loss, rec.loss) <= noise


@pytest.mark.parametrize("name", ["twice_x", "cubic", "two_features", "three_features"])
def test_best_is_find_formulas_and_the_front_is_exact(name):
    X, y, opts = problem(name)
    r = e.search(X, y, **opts)
    f = v.find_formula(X.T.tolist(), y.tolist(), **opts)
    best = r.best
    assert (best.formula, best.complexity) == (f.formula, f.complexity)
    assert same_float(best.error, f.error)
    assert r.stopped is None and r.levels >= 1 and r.scored <= r.generated
    check_front(r, X, y, opts.get("complexity_penalty", 0.001))


@pytest.mark.parametrize("constants", [False, True])
def test_thread_count_does_not_change_results(constants):
    X, y, opts = problem("two_features")
    y = y + 0.05 * np.cos(7.0 * X[:, 1])  # no formula within reach: the whole search runs
    runs = [e.search(X, y, n_threads=n, constants=constants, **opts) for n in (1, 2, None, 1)]
    assert runs[0] == runs[1] == runs[2] == runs[3]
    check_front(runs[0], X, y, max_params=4 if constants else 0)


@pytest.mark.parametrize("name", ["line", "pi_xy", "decay"])
def test_constants_are_fitted(name):
    rng = np.random.default_rng(1)
    X = rng.uniform(0.5, 3.0, (50, 2))
    y, want, vars_used = {
        "line": (2.5 * X[:, 0] + 0.3, [2.5, 0.3], {0}),
        "pi_xy": (math.pi * X[:, 0] * X[:, 1], [math.pi], {0, 1}),
        "decay": (X[:, 1] * np.exp(-0.7 * X[:, 0]), [-0.7], {0, 1}),  # a constant inside, fitted numerically
    }[name]
    r = e.search(X, y, constants=True, max_complexity=6, beam_width=400)
    best = r.best
    assert best.params == pytest.approx(want, rel=1e-12) and best.loss < 1e-13
    assert {i for kind, i in best.nodes if kind == "var"} == vars_used
    check_front(r, X, y, max_params=4)
    # Without constants the best is find_formula's, bit for bit.
    plain = e.search(X, y).best
    found = v.find_formula(X.T.tolist(), y.tolist())
    assert (plain.formula, plain.params) == (found.formula, []) and same_float(plain.error, found.error)


@pytest.mark.parametrize("row", [r for r in e.OPERATORS if r.group != "block"], ids=lambda row: row.name)
def test_operator_table_is_what_the_engine_prints_and_evaluates(row):
    # op(x) or op(x, sqrt(y)): the probes that spot duplicates give y twice
    # the value of x, so the search never offers op(x, y) for some operators.
    X = np.array([[0.5, 1.5], [1.25, 0.75], [2.0, 3.0], [0.3, 2.5], [1.7, 0.2]])
    nodes = [*[("var", 0), ("var", 1), ("op", "sqrt")][: 2 * row.arity - 1], ("op", row.name)]
    got = e.evaluate(nodes, X, [], np.empty(len(X)))
    # The Python rendering computes the same values (vek without its guards,
    # which these rows do not reach), NaN where its domain ends.
    f = eval(f"lambda x, y: {_formula.fill(row.python, ['x', 'math.sqrt(y)'])}",
             {"math": math, "vek": lambda a, b: math.exp(a) - math.log(b)})

    def want(r):
        try:
            return f(*r)
        except (ValueError, OverflowError):
            return math.nan

    assert_same_floats(got.tolist(), [want(r) for r in X.tolist()])
    # The reader reads the filled text template as these nodes, and render prints it back.
    text = _formula.fill(row.text, ["x", "sqrt(y)"])
    assert _formula.parse(text) == _formula.from_nodes(nodes) and _formula.render(_formula.parse(text), "xy") == text
    if row.group != "extra":  # searched: the engine prints its best formula, op(...), by the template
        best = e.search(X, got, max_complexity=len(nodes), beam_width=100).best
        operands = [_formula.render(arg, "xy") for arg in _formula.from_nodes(best.nodes).args]
        assert best.nodes[-1] == ("op", row.name) and best.formula == _formula.fill(row.text, operands)


def long_problem():
    rng = np.random.default_rng(5)
    return rng.uniform(-3.0, 3.0, (300, 2)), rng.uniform(-3.0, 3.0, 300)


@pytest.mark.parametrize("beam_width", [40, 200])
def test_sums_take_no_place_of_the_quarter_beam_that_joins(beam_width):
    rng = np.random.default_rng(0)
    X = rng.uniform(0.5, 3.0, (200, 3))
    y = X[:, 0] * np.exp(-X[:, 1] / X[:, 2]) + 0.01 * rng.standard_normal(200)
    r = e.search(X, y, constants=True, max_params=6, beam_width=beam_width, max_complexity=6, complexity_penalty=0.01)
    # Three levels join their quarter-beam of shapes (sums are ranked among them but never join).
    assert len(r.beam) >= 3 * (beam_width // 4)


def test_time_limit_returns_the_finished_levels():
    X, y = long_problem()
    t0 = time.perf_counter()
    r = e.search(X, y, max_complexity=12, beam_width=6000, time_limit=0.05)
    assert time.perf_counter() - t0 < 3.0
    assert r.stopped == "time_limit" and r.best is not None
    check_front(r, X, y)


SIGINT_SCRIPT = """
import os, signal, threading
import numpy as np
from vek_math import _engine as e
rng = np.random.default_rng(5)
X, y = rng.uniform(-3.0, 3.0, (300, 2)), rng.uniform(-3.0, 3.0, 300)
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
r = e.search(X, y, max_complexity=12, beam_width=6000)
print(r.stopped, r.best is not None, r.levels >= 1)
"""


def test_ctrl_c_returns_interrupted():
    out = subprocess.run([sys.executable, "-I", "-c", SIGINT_SCRIPT], capture_output=True, text=True, timeout=120)
    assert out.stdout.split() == ["interrupted", "True", "True"], out.stderr


@pytest.mark.parametrize("raise_at", [None, 1, 2])
def test_progress_reports_each_level_and_its_exception_propagates(raise_at):
    X, y, opts = problem("two_features")
    seen = []

    class Stop(Exception):
        pass

    def progress(level, generated, scored, best):
        seen.append((level, best.formula))
        assert scored <= generated
        if level == raise_at:
            raise Stop

    if raise_at is None:
        r = e.search(X, y, progress=progress, **opts)
        assert [s[0] for s in seen] == list(range(r.levels)) and seen[-1][1] == r.best.formula
    else:
        with pytest.raises(Stop):
            e.search(X, y, progress=progress, **opts)
        assert [s[0] for s in seen] == list(range(raise_at + 1))


def test_tick_reports_progress_within_each_level():
    rng = np.random.default_rng(5)
    X, y = rng.uniform(-3.0, 3.0, (30000, 2)), rng.uniform(-3.0, 3.0, 30000)  # level 3 scores for a few seconds
    ticks = []
    r = e.search(X, y, max_complexity=7, beam_width=6000, tick=lambda *a: ticks.append(a))
    assert ticks
    losses = [best for _, _, _, best in ticks if best is not None]
    assert losses == sorted(losses, reverse=True) and min(rec.loss for rec in r.front) <= losses[-1]
    for (level, done, total, _), (next_level, next_done, _, _) in itertools.pairwise(ticks):
        assert 0 < done <= total and level <= next_level < r.levels
        assert level < next_level or done < next_done

    class Stop(Exception):
        pass

    def tick(*args):
        raise Stop

    with pytest.raises(Stop):
        e.search(X, y, max_complexity=7, beam_width=6000, tick=tick)


def test_a_memory_limit_cuts_a_level_to_the_same_prefix_on_any_thread_count():
    X, y = long_problem()
    runs = [e.search(X, y, max_complexity=7, beam_width=6000, memory_limit=2_000_000, n_threads=n) for n in (1, 2)]
    assert runs[0].stopped == "memory_limit" and runs[0] == runs[1]
    check_front(runs[0], X, y)
    full = e.search(X, y, max_complexity=7, beam_width=6000)
    assert full.stopped is None and runs[0].scored < full.scored


def test_evaluate_follows_the_guards_on_every_row():
    X = np.array([[4.0, 2.0], [-1.0, 0.0], [0.5, 1e-301]] * 20000)  # large: runs in parallel
    out = np.full(len(X), 7.0)
    nodes = [("var", 0), ("op", "ln"), ("param", 0), ("op", "mul"), ("var", 1), ("op", "div")]
    assert e.evaluate(nodes, X, [2.0], out) is out
    want = [math.log(4.0) * 2.0 / 2.0, math.nan, math.nan] * 20000
    assert all(same_float(a, b) for a, b in zip(out.tolist(), want))


X3 = np.ones((3, 2))
OUT3 = np.empty(3)


@pytest.mark.parametrize("call, exc, match", [
    (lambda: e.search(X3[:, 0], OUT3), ValueError, "two-dimensional"),
    (lambda: e.search(X3, np.ones(4)), ValueError, "y has 4 values but X has 3"),
    (lambda: e.search(X3, X3), ValueError, "one-dimensional"),
    (lambda: e.search(np.ones((3, 2), order="F"), OUT3), ValueError, "C-contiguous"),
    (lambda: e.search(X3, np.frombuffer(b"\0" + np.ones(3).tobytes(), offset=1)), ValueError, "aligned to 8 bytes"),
    (lambda: e.search(X3[:, :0], OUT3), ValueError, "at least one sample and one feature"),
    (lambda: e.search(X3.astype(np.float32), OUT3), TypeError, "float64"),
    (lambda: e.search(X3.tolist(), OUT3), TypeError, "float64 array"),
    (lambda: e.search(X3, OUT3, 5), TypeError, "2 positional arguments"),
    (lambda: e.search(X3, OUT3, n_threads=0), ValueError, "n_threads"),
    (lambda: e.search(X3, OUT3, time_limit=math.nan), ValueError, "time_limit"),
    (lambda: e.search(X3, OUT3, progress=3), TypeError, "progress"),
    (lambda: e.search(X3, OUT3, tick=3), TypeError, "tick"),
    (lambda: e.search(X3, OUT3, memory_limit=0), ValueError, "memory_limit must be a positive number of bytes"),
    (lambda: e.search(X3, OUT3, constants=True, max_params=1), ValueError, "max_params must be between 2 and 16"),
    (lambda: e.evaluate([("var", 0)], X3, [], np.empty(4)), ValueError, "out has 4 values"),
    (lambda: e.evaluate([("var", 0)], X3, [], np.empty(6)[::2]), ValueError, "C-contiguous"),
    (lambda: e.evaluate([("var", 0)], X3, [], np.frombuffer(bytes(24))), ValueError, "read-only"),
    (lambda: e.evaluate([("var", 0)], X3, [], X3.reshape(-1)[:3]), ValueError, "share memory"),
    (lambda: e.evaluate([("var", 2)], X3, [], OUT3), ValueError, "variable 2"),
    (lambda: e.evaluate([("param", 0)], X3, [], OUT3), ValueError, "parameter 0"),
    (lambda: e.evaluate([("var", 0), ("op", "add")], X3, [], OUT3), ValueError, "short of operands"),
    (lambda: e.evaluate([("var", 0), ("var", 1)], X3, [], OUT3), ValueError, "one expression"),
    (lambda: e.evaluate([], X3, [], OUT3), ValueError, "one expression"),
    (lambda: e.evaluate([("op", "pow")], X3, [], OUT3), ValueError, "unknown operator"),
    (lambda: e.evaluate([("leaf", 0)], X3, [], OUT3), ValueError, "unknown kind"),
    (lambda: e.evaluate([("var", -1)], X3, [], OUT3), ValueError, "out of range"),
    (lambda: e.evaluate([("const", "1")], X3, [], OUT3), TypeError, "number"),
    (lambda: e.evaluate(["var"], X3, [], OUT3), TypeError, "tuple"),
])
def test_bad_arguments_are_refused(call, exc, match):
    with pytest.raises(exc, match=match):
        call()

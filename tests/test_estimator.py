"""vek_math.SymbolicRegressor: scikit-learn's own checks, agreement with
find_formula, names in every rendering, early stops, and the trip through
process pools, cross-validation and a Dask cluster."""

import _signal
import _thread
import ast
import copy
import io
import math
import pickle
import re
import signal
import subprocess
import sys
import types

import pytest

from conftest import replaced, same_float

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")

from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from vek_math import SearchStoppedWarning, SymbolicRegressor, _engine, _formula, _search, vek_core  # noqa: E402

SEARCH = {"max_complexity": 5, "beam_width": 200}
SMALL = {**SEARCH, "constants": False}  # find_formula's search


def rows(seed, n=40, cols=2):
    rng = np.random.default_rng(seed)
    return rng.uniform(0.5, 3.0, size=(n, cols)), rng


def sequential_rmse(pred, y):
    sse = 0.0
    for p, t in zip(pred.tolist(), y.tolist()):
        d = p - t
        sse += d * d
    return math.sqrt(sse / len(y))


@parametrize_with_checks([SymbolicRegressor(max_complexity=4, beam_width=50)])
def test_scikit_learn_checks(estimator, check):
    check(estimator)


# Noisy targets, so that losses are not zero and their bits mean something.
CASES = {
    "array": (lambda X: X[:, 0] * X[:, 0] + 1, lambda X: X, {}),
    "frame": (lambda X: np.sin(X[:, 0]) + X[:, 1] * X[:, 0],
              lambda X: pd.DataFrame(X, columns=["angle", "load"]), {"complexity_penalty": 0.0}),
    "lists": (lambda X: np.exp(X[:, 1]) - np.log(X[:, 0]), lambda X: X.tolist(), {"use_trig": False}),
}


@pytest.mark.parametrize("case", CASES)
def test_fit_agrees_with_find_formula_and_predict_with_the_loss(case):
    target, wrap, options = CASES[case]
    X, rng = rows(len(case))
    y = target(X) + 0.01 * rng.standard_normal(len(X))
    est = SymbolicRegressor(**SMALL, **options).fit(wrap(X), y.tolist() if case == "lists" else y)
    found = vek_core.find_formula([list(c) for c in X.T], y.tolist(), **SEARCH, **options)
    best = est.equations_.iloc[est.best_index_]
    engine_names = [chr(120 + i) for i in range(X.shape[1])]
    assert _formula.render(_formula.from_nodes(est._nodes[est.best_index_]), engine_names) == found.formula
    assert (best.error, best.complexity) == (found.error, found.complexity) and best.selected
    front = est.equations_  # one row per complexity, each below every simpler one
    assert (np.diff(front.complexity) > 0).all() and (np.diff(front.loss) < 0).all()
    # predict reproduces the reported loss bit for bit, and the error is the penalised loss.
    pred = est.predict(wrap(X))
    penalty = options.get("complexity_penalty", 0.001)
    assert sequential_rmse(pred, y) == best.loss
    assert best.loss * (penalty * best.complexity + 1.0) == best.error
    assert est.score(wrap(X), y) > 0.9
    # The exported function and the sympy expression compute the same formula.
    namespace = {}
    exec(est.python_source(), namespace)
    assert [namespace["f"](*r) for r in X.tolist()] == pred.tolist()
    sympy = pytest.importorskip("sympy")
    f = sympy.lambdify(est.symbols(), est.sympy(), "math")
    assert [f(*r) for r in X.tolist()] == pytest.approx(pred.tolist(), rel=1e-12)


def test_feature_names_in_every_rendering():
    sympy = pytest.importorskip("sympy")
    X, _ = rows(7, cols=3)
    frame = pd.DataFrame(X, columns=["my col", "if", "v_max"])
    est = SymbolicRegressor(**SMALL).fit(frame, X[:, 0] * X[:, 1] + X[:, 2])
    assert est.formula_ == "((if * `my col`) + v_max)"
    assert list(est.feature_names_in_) == ["my col", "if", "v_max"] and est.n_features_in_ == 3
    source = est.python_source()
    assert "def f(x0, x1, v_max):" in source and "# x0 stands for 'my col'" in source
    ast.parse(source)
    expr = est.sympy()  # the names where they are plain identifiers, by position otherwise
    assert {s.name for s in expr.free_symbols} == {"x0", "x1", "v_max"}
    assert sympy.parse_expr(str(expr), local_dict={s.name: s for s in expr.free_symbols}) == expr
    latex = est.latex()
    assert r"\mathrm{my\ col}" in latex and r"\mathrm{if}" in latex and r"\mathrm{v\_max}" in latex
    assert "x0" not in est.equations_.to_string() and "x0" not in latex
    # Arrays get x0, x1, ...; a refit forgets the frame's names.
    est.fit(X, X[:, 0] * X[:, 1] + X[:, 2])
    assert est.formula_ == "((x1 * x0) + x2)" and not hasattr(est, "feature_names_in_")
    with pytest.raises(IndexError, match="out of range"):
        est.python_source(index=len(est.equations_))


def test_fitted_constants_in_every_rendering():
    sympy = pytest.importorskip("sympy")
    X, _ = rows(11)
    frame = pd.DataFrame(X, columns=["mass", "velocity"])
    y = math.pi * X[:, 0] * X[:, 1] ** 2 - 1.5
    est = SymbolicRegressor(max_complexity=6, beam_width=200).fit(frame, y)
    a, b = est.equations_.params[est.best_index_]
    assert a == pytest.approx(math.pi, rel=1e-12) and b == pytest.approx(-1.5, rel=1e-12)
    # Four significant digits in the text, the full values everywhere else.
    assert est.formula_.startswith("((3.142 * ") and est.formula_.endswith(") - 1.5)"), est.formula_
    pred = est.predict(frame)
    assert sequential_rmse(pred, y) == est.equations_.loss[est.best_index_] < 1e-12
    source = est.python_source()
    namespace = {}
    exec(source, namespace)
    assert repr(a) in source and repr(b) in source and [namespace["f"](*r) for r in X.tolist()] == pred.tolist()
    # sympy's constants are the doubles, and so is every text printed of them.
    expr = est.sympy()
    assert {float(f) for f in expr.atoms(sympy.Float)} == {a, b}
    for text in (str(expr), sympy.pycode(expr)):
        assert {float(t) for t in re.findall(r"-?\d+\.\d+(?:e[-+]?\d+)?", text)} == {a, -b}, text
    assert repr(a) in est.latex() and repr(-b) in est.latex()  # shown in the shortest exact digits


# Columns named like the builtins, the math functions and the helpers that
# generated code uses, and names that LaTeX or a terminal would read as
# markup: every export works with them and shows them as they are.
HOSTILE = {
    "builtins": ["ValueError", "ArithmeticError", "ZeroDivisionError"],
    "functions": ["log", "exp", "math"],
    "helpers": ["_finite", "pi", "_FAILED"],
    "markup": ["v__2", "mass2", "a\nb\x1b]0;owned\x07\u202e"],
}


@pytest.mark.parametrize("names", HOSTILE.values(), ids=HOSTILE.keys())
def test_exports_work_for_any_column_names(names):
    sympy = pytest.importorskip("sympy")
    X, _ = rows(21, n=60, cols=3)
    y = 2.5 * np.log(X[:, 0]) + X[:, 1]
    est = SymbolicRegressor(max_complexity=6, beam_width=300).fit(pd.DataFrame(X, columns=names), y)
    assert est.equations_.loss[est.best_index_] < 1e-12, est.formula_
    # Rows where the logarithm fails (x <= 0) give NaN in all of them.
    test = np.vstack([X[:5], [[-1.0, 1.0, 1.0], [0.0, 2.0, 2.0]]])
    pred = est.predict(pd.DataFrame(test, columns=names))
    assert np.isnan(pred[5:]).all() and not np.isnan(pred[:5]).any()
    namespace = {}
    exec(est.python_source(), namespace)
    got = [namespace["f"](*r) for r in test.tolist()]
    assert np.array_equal(got, pred, equal_nan=True)
    for modules in ("math", "numpy"):
        f = sympy.lambdify(est.symbols(), est.sympy(), modules)
        assert [f(*r) for r in X[:5].tolist()] == pytest.approx(pred[:5].tolist(), rel=1e-13)
    # Names show as themselves: no subscripts, powers or Greek letters, and
    # nothing a terminal would act on.
    latex = est.latex()
    used = [n for n, s in zip(names, est.symbols()) if s in est.sympy().free_symbols]
    for name in used:
        assert r"\mathrm{" + _formula.escaped(name).replace("\\", r"\backslash{}").replace("_", r"\_") + "}" in latex
    for text in (latex, est.formula_, *est.equations_.formula):
        assert text.isprintable(), text


@pytest.mark.parametrize(
    "X, y, params, message",
    [
        ([[1.0], [math.nan]], [1.0, 2.0], {}, "Input X contains NaN"),
        ([[1.0], [2.0]], [1.0, math.inf], {}, "Input y contains infinity"),
        ([[1.0], [2.0]], [1.0], {}, "inconsistent numbers of samples"),
        ([1.0, 2.0], [1.0, 2.0], {}, "Expected 2D array, got 1D array"),
        (np.empty((0, 2)), [], {}, "minimum of 1 is required"),
        ([[1.0], [2.0]], [1.0, 2.0], {"complexity_penalty": math.inf}, "'complexity_penalty' parameter"),
        ([[1.0], [2.0]], [1.0, 2.0], {"time_limit": 0}, "'time_limit' parameter"),
        ([[1.0], [2.0]], [1.0, 2.0], {"n_jobs": 0}, "n_jobs == 0"),
        ([[1.0], [2.0]], [1.0, 2.0], {"n_jobs": 2**70}, "'n_jobs' parameter"),
        ([[1.0], [2.0]], [1.0, 2.0], {"max_params": 1}, "'max_params' parameter"),
        ([[1.0], [2.0]], [1.0, 2.0], {"max_samples": -1}, "'max_samples' parameter"),
        ([[1.0], [2.0]], [1.0, 2.0], {"memory_limit": 0}, "'memory_limit' parameter"),
        ([[1.0], [2.0]], [1.0, 2.0], {"memory_limit": 1e9}, "'memory_limit' parameter"),
    ],
)
def test_bad_input_and_parameters(X, y, params, message):
    with pytest.raises(ValueError, match=message):
        SymbolicRegressor(**params).fit(X, y)


def record(nodes, loss, params=(), penalty=0.01):
    """An engine record (as _search.search returns them) of a node list."""
    nodes = [tuple(n) for n in nodes]
    return _engine.Record((nodes, "", len(nodes), loss, loss * (penalty * len(nodes) + 1.0), list(params)))


X0, A, P, M, P1 = ("var", 0), ("op", "add"), ("param", 0), ("op", "mul"), ("param", 1)
LINE = record([P, X0, M, P1, A], 0.5, [2.0, 1.0])      # c0 * x0 + c1
SCALED = record([P, X0, M], 1e-16, [2.0])               # c0 * x0, exact but for rounding
SHIFTED = record([P, X0, M, P1, A], 0.0, [2.0, 0.0])    # c0 * x0 + c1, exact as well


@pytest.mark.parametrize("front, best, want, selected", [
    # The engine's best off the front: the choice is among the front's rows.
    ([LINE], record([P, X0, M, X0, M, P1, A], 0.5, [1.0, 1.0]), [LINE], 0),
    # An exact law at two complexities: the simpler, whichever the engine picked.
    ([SCALED, SHIFTED], SHIFTED, [SCALED, SHIFTED], 0),
    # A second record of one complexity, and one no better than a simpler one, are dropped.
    ([SHIFTED, replaced(LINE, loss=0.9), record([X0], 3.0), record([P, X0, M], 3.0, [1.0]), LINE], LINE,
     [record([X0], 3.0), SHIFTED], 1),
], ids=["best off the front", "simplest exact fit", "one row per complexity"])
def test_equations_are_the_front_and_the_choice_is_on_it(monkeypatch, front, best, want, selected):
    X = np.linspace(1.0, 2.0, 40).reshape(-1, 1)
    monkeypatch.setattr(_search, "search", lambda *a, **k: _engine.Outcome((best, front, None, 3, 9, 9, [], False)))
    est = SymbolicRegressor().fit(X, 2.0 * X[:, 0])
    eq = est.equations_
    assert list(eq.complexity) == [r.complexity for r in want] and list(eq.loss) == [r.loss for r in want]
    assert est.best_index_ == selected and eq.selected.tolist() == [i == selected for i in range(len(want))]


@pytest.mark.parametrize("n, seed", [(4, 0), (4, 1), (8, 0), (10, 1), (15, 2), (30, 1), (200, 3)])
def test_a_noisy_line_gives_a_line_on_few_rows_and_the_engines_choice_on_many(n, seed):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.0, 10.0, (n, 1))
    y = 3.0 * X[:, 0] + 1.0 + rng.normal(0.0, 1.0, n)
    est = SymbolicRegressor().fit(X, y)
    best = est.equations_.iloc[est.best_index_]
    assert best.complexity <= 5 and len(best.params) <= 2, est.formula_  # c0 * x0 + c1 at most
    if n >= 100:
        engine = _search.search(X, y, constants=True, complexity_penalty=0.01, max_complexity=8, beam_width=2000)
        assert est._nodes[est.best_index_] == [tuple(n) for n in engine.best.nodes]


def test_large_data_is_searched_on_a_sample_and_scored_on_every_row():
    X, rng = rows(11, n=3000, cols=3)
    y = X[:, 0] * X[:, 1] + np.sin(X[:, 2]) + 0.01 * rng.standard_normal(len(X))
    fits = [SymbolicRegressor(**SEARCH, max_samples=300, n_jobs=j).fit(X, y) for j in (1, 2)]
    for est in fits:
        eq = est.equations_
        assert all(same_float(sequential_rmse(est.predict(X, i), y), eq.loss[i]) for i in range(len(eq)))
    a, b = (est.equations_ for est in fits)
    assert a.formula.tolist() == b.formula.tolist() and a.loss.to_numpy().tobytes() == b.loss.to_numpy().tobytes()
    assert a.params.tolist() == b.params.tolist() and fits[0].best_index_ == fits[1].best_index_
    assert fits[0].formula_ == "((x0 * x1) + sin(x2))"
    # None and 0 search every row, as does a sample as large as the data.
    whole = [SymbolicRegressor(**SEARCH, max_samples=m).fit(X[:400], y[:400]).equations_ for m in (None, 0, 400)]
    assert len({w.loss.to_numpy().tobytes() for w in whole}) == 1


WARM = (
    "(((((-0.6667 * ((x0 ^ -1.0) * x2)) + ((x1 + 0.8412) * x0)) + (2.544 * sin(x2))) "
    "+ (0.4085 * exp((x2 - x0)))) - 1.913)"
)


def test_warm_start_continues_the_previous_search():
    # Few rows: no reshaped searches, which would find y/x0 = x1 + sin(x2) at once.
    X, rng = rows(3, n=30, cols=3)
    y = X[:, 0] * X[:, 1] + np.sin(X[:, 2]) * X[:, 0] + 0.01 * rng.standard_normal(len(X))
    for n_jobs in (1, 2):
        est = SymbolicRegressor(max_complexity=4, beam_width=200, warm_start=True, n_jobs=n_jobs).fit(X, y)
        first = est.equations_.error[est.best_index_]
        second = est.set_params(max_complexity=5).fit(X, y).equations_.error[est.best_index_]
        assert est.formula_ == WARM and second < first
    # Once more: the previous front is merged, so nothing found is lost.
    assert est.fit(X, y).equations_.error[est.best_index_] <= second
    # Without warm_start, or on other columns, the state is ignored.
    for columns, warm_start in ((3, False), (2, True)):
        again = est.set_params(warm_start=warm_start).fit(X[:, :columns], y).equations_
        fresh = SymbolicRegressor(max_complexity=5, beam_width=200).fit(X[:, :columns], y).equations_
        assert again.formula.tolist() == fresh.formula.tolist()
        assert again.loss.to_numpy().tobytes() == fresh.loss.to_numpy().tobytes()


def test_negative_n_jobs_count_processors_back():
    X, rng = rows(8)
    y = X[:, 0] / X[:, 1] + 0.01 * rng.standard_normal(len(X))
    fits = [SymbolicRegressor(**SEARCH, n_jobs=n).fit(X, y) for n in (None, -1, -2, 1)]
    for est in fits[1:]:
        assert est.equations_.equals(fits[0].equations_)


def test_score_refuses_rows_where_the_formula_is_undefined():
    X, _ = rows(9, cols=1)
    est = SymbolicRegressor(**SEARCH).fit(X, np.log(X[:, 0]))
    assert est.score(X, np.log(X[:, 0])) == 1.0
    with pytest.raises(ValueError, match=r"undefined on 2 of 5 rows of X"):
        est.score(np.array([[1.0], [2.0], [-1.0], [0.0], [3.0]]), np.arange(5.0))


class FailingStream(io.StringIO):
    def write(self, text):
        raise OSError(28, "No space left on device")


@pytest.mark.parametrize("stderr", [None, FailingStream(), io.StringIO()], ids=["none", "failing", "working"])
def test_progress_goes_to_a_usable_stderr_or_nowhere(monkeypatch, capsys, stderr):
    monkeypatch.setattr(sys, "stderr", stderr)
    X, _ = rows(10)
    est = SymbolicRegressor(**SEARCH, verbose=True).fit(X, X[:, 0] * X[:, 1])
    assert est.formula_ == "(x0 * x1)" and capsys.readouterr().out == ""
    assert type(stderr) is not io.StringIO or "level 0: " in stderr.getvalue()


def test_out_of_memory_keeps_the_finished_levels(monkeypatch):
    X, _ = rows(12)
    y = X[:, 0] + X[:, 1]
    search = _search.search
    monkeypatch.setattr(_search, "search", lambda *a, **k: replaced(search(*a, **k), stopped="memory"))
    with pytest.warns(SearchStoppedWarning, match="ran out of memory after .* levels"):
        est = SymbolicRegressor(**SEARCH).fit(X, y)
    assert est.stopped_ == "memory" and est.formula_ == "(x1 + x0)"
    monkeypatch.setattr(_search, "search", lambda *a, **k: replaced(search(*a, **k), stopped="memory", best=None))
    with pytest.raises(MemoryError, match="before it scored a formula"):
        SymbolicRegressor(**SEARCH).fit(X, y)


def test_ctrl_c_after_the_search_keeps_the_result(monkeypatch):
    """A SIGINT at any point from the engine's return until fit gives
    Python's handler back is kept as an interrupt of the search."""
    X, rng = rows(13, n=30)
    y = X[:, 0] * X[:, 1] + 0.01 * rng.standard_normal(30)
    engine = _search._engine

    def search(*args, **kw):
        return engine.search(*args, **kw)

    monkeypatch.setattr(_search, "_engine", types.SimpleNamespace(search=search, evaluate=engine.evaluate))

    def fit(trip_at=None):
        """Fits with an interrupt at the trip_at-th profiler event after the
        engine's return; returns the estimator and the number of events."""
        seen = {"armed": False, "events": 0, "end": False}

        def profile(frame, event, arg):
            if not seen["armed"]:
                seen["armed"] = event == "return" and frame.f_code is search.__code__
            elif not seen["end"]:
                seen["end"] = (event == "c_call" and arg is _signal.signal) or (
                    event == "return" and frame.f_code is SymbolicRegressor.fit.__code__)
                if not seen["end"]:
                    if seen["events"] == trip_at:
                        _thread.interrupt_main()  # as a SIGINT arriving now
                    seen["events"] += 1

        sys.setprofile(profile)
        try:
            est = SymbolicRegressor(max_complexity=3, beam_width=50).fit(X, y)
        finally:
            sys.setprofile(None)
        return est, seen["events"]

    fit()
    _, events = fit()
    assert events > 100  # building the result, up to giving the handler back
    for trip_at in sorted({*range(5), *range(0, events, events // 20), *range(events - 5, events)}):
        try:
            with pytest.warns(SearchStoppedWarning, match="interrupted"):
                est, _ = fit(trip_at)
        except KeyboardInterrupt:
            pytest.fail(f"an interrupt at event {trip_at} of {events} after the search cost the result")
        assert est.stopped_ == "interrupted" and est.formula_ == "(x0 * x1)", trip_at


# Noise: nothing to find, so the search runs its full length (a few seconds).
LONG = {"max_complexity": 10, "beam_width": 4000}


def test_time_limit_keeps_the_best_so_far():
    X, rng = rows(4, n=300, cols=6)
    y = rng.standard_normal(300)
    with pytest.warns(SearchStoppedWarning, match="time limit of 0.05 s"):
        est = SymbolicRegressor(**LONG, time_limit=0.05).fit(X, y)
    assert est.stopped_ == "time_limit" and est.formula_
    assert sequential_rmse(est.predict(X), y) == est.equations_.loss[est.best_index_]


def test_memory_limit_cuts_the_search_with_a_warning():
    X, rng = rows(4, n=300, cols=6)
    y = rng.standard_normal(300)
    with pytest.warns(SearchStoppedWarning, match="memory limit after .* levels"):
        est = SymbolicRegressor(**LONG, memory_limit=3_000_000).fit(X, y)
    assert est.stopped_ == "memory_limit"
    assert sequential_rmse(est.predict(X), y) == est.equations_.loss[est.best_index_]


def test_ctrl_c_in_the_command_line_prints_the_best_so_far(tmp_path):
    X, rng = rows(4, n=300, cols=6)
    data = np.column_stack([X, rng.standard_normal(300)])
    path = tmp_path / "noise.csv"
    path.write_text("a,b,c,d,e,f,t\n" + "\n".join(",".join(map(repr, r)) for r in data.tolist()) + "\n")
    options = [f"--{k.replace('_', '-')}={v}" for k, v in LONG.items()]
    proc = subprocess.Popen([sys.executable, "-I", "-m", "vek_math", "discover", str(path), "--progress", *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for line in proc.stderr:
        if line.startswith("level 1:"):
            break
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and err.endswith("vek-math: interrupted\n"), err
    assert out.startswith("t ≈ ") and "def f(a, b, c, d, e, f):" in out


def test_copies_pools_and_model_selection():
    X, rng = rows(5)
    y = X[:, 0] * X[:, 1] + 0.01 * rng.standard_normal(len(X))
    est = SymbolicRegressor(**SMALL).fit(X, y)
    for twin in (pickle.loads(pickle.dumps(est)), copy.deepcopy(est)):
        assert twin.formula_ == est.formula_ and twin.predict(X).tobytes() == est.predict(X).tobytes()
    scores = cross_val_score(SymbolicRegressor(**SMALL), X, y, cv=3, n_jobs=2)
    assert min(scores) > 0.9
    grid = GridSearchCV(SymbolicRegressor(**SMALL), {"max_complexity": [1, 3]}, cv=3, n_jobs=2).fit(X, y)
    assert grid.best_params_ == {"max_complexity": 3} and grid.best_estimator_.formula_ == "(x1 * x0)"


def fit_one(seed):
    X, rng = rows(seed)
    y = X[:, 0] / X[:, 1] + 0.01 * rng.standard_normal(len(X))
    return SymbolicRegressor(**SMALL).fit(X, y), X, y


def test_dask_cluster_fits_in_worker_processes():
    distributed = pytest.importorskip("distributed")
    import cloudpickle

    # Workers cannot import this test module: its functions travel by value.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    try:
        with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            results = client.gather(client.map(fit_one, range(4)))
    finally:
        cloudpickle.unregister_pickle_by_value(sys.modules[__name__])
    for est, X, y in results:
        assert est.formula_ == "(x0 / x1)" and est.score(X, y) > 0.99


def test_missing_scikit_learn_names_the_extra():
    code = "import sys; sys.modules['sklearn'] = None; import vek_math; vek_math.SymbolicRegressor"
    proc = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True)
    assert "ImportError" in proc.stderr and "pip install 'vek_math[sklearn]'" in proc.stderr

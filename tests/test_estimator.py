"""vek_math.SymbolicRegressor: scikit-learn's own checks, agreement with
find_formula, names in every rendering, early stops, and the trip through
process pools, cross-validation and a Dask cluster."""

import ast
import copy
import math
import pickle
import signal
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")

from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

from vek_math import SearchStoppedWarning, SymbolicRegressor, _formula, _search, vek_core  # noqa: E402

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
    front = est.equations_
    assert front.complexity.is_monotonic_increasing and front.loss.is_monotonic_decreasing
    # predict reproduces the reported loss bit for bit, and the error is the penalised loss.
    pred = est.predict(wrap(X))
    penalty = options.get("complexity_penalty", 0.001)
    assert sequential_rmse(pred, y) == best.loss == _search.rmse(pred, y)
    assert best.loss * (penalty * best.complexity + 1.0) == best.error
    assert est.score(wrap(X), y) > 0.9
    # The exported function and the sympy expression compute the same formula.
    namespace = {}
    exec(est.python_source(), namespace)
    assert [namespace["f"](*r) for r in X.tolist()] == pred.tolist()
    sympy = pytest.importorskip("sympy")
    f = sympy.lambdify([sympy.Symbol(n) for n in est._symbols()], est.sympy(), "math")
    assert [f(*r) for r in X.tolist()] == pytest.approx(pred.tolist(), rel=1e-12)


def test_feature_names_in_every_rendering():
    sympy = pytest.importorskip("sympy")
    X, rng = rows(7, cols=3)
    frame = pd.DataFrame(X, columns=["{1} col", "if", "v_max"])  # braces: operand text is not a template
    est = SymbolicRegressor(**SMALL).fit(frame, X[:, 0] * X[:, 1] + X[:, 2])
    assert est.formula_ == "((if * `{1} col`) + v_max)"
    assert list(est.feature_names_in_) == ["{1} col", "if", "v_max"] and est.n_features_in_ == 3
    source = est.python_source()
    assert "def f(x0, x1, v_max):" in source and "# x0 stands for '{1} col'" in source
    ast.parse(source)
    expr = est.sympy()
    assert {s.name for s in expr.free_symbols} == {"x0", "x1", "v_max"}
    assert sympy.parse_expr(str(expr), local_dict={s.name: s for s in expr.free_symbols}) == expr
    latex = est.latex()
    assert r"\mathrm{\{1\}\ col}" in latex and r"\mathrm{if}" in latex and "v_{max}" in latex
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
    assert {float(f) for f in est.sympy().atoms(sympy.Float)} == {a, b}


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
        ([[1.0], [2.0]], [1.0, 2.0], {"max_params": 1}, "'max_params' parameter"),
    ],
)
def test_bad_input_and_parameters(X, y, params, message):
    with pytest.raises(ValueError, match=message):
        SymbolicRegressor(**params).fit(X, y)


# Noise: nothing to find, so the search runs its full length (a few seconds).
LONG = {"max_complexity": 10, "beam_width": 4000}


def test_time_limit_keeps_the_best_so_far():
    X, rng = rows(4, n=300, cols=6)
    y = rng.standard_normal(300)
    with pytest.warns(SearchStoppedWarning, match="time limit of 0.05 s"):
        est = SymbolicRegressor(**LONG, time_limit=0.05).fit(X, y)
    assert est.stopped_ == "time_limit" and est.formula_
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

"""SymbolicRegressor's array exports against predict on every operator, the
rows each guard rejects included: numpy_function bit for bit, the guarded
sympy expression through lambdify within 1e-12, jax and torch where they
are installed."""

import importlib
import itertools

import pytest

from conftest import assert_same_floats

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")

from vek_math import SymbolicRegressor, _engine, _search  # noqa: E402

X0, X1, P0, P1, P2 = ("var", 0), ("var", 1), ("param", 0), ("param", 1), ("param", 2)


def op(name):
    return ("op", name)


# Every guard's edge on both columns: negative, both zeros, subnormals below
# the 1e-300 floor, [-1, 1] and beyond.
EDGES = [-2.5, -1.0, -1e-310, -0.0, 0.0, 1e-310, 0.25, 1.0, 3.0]
GRID = np.array(list(itertools.product(EDGES, EDGES)))
# vek's exponential goes through ln above 709.78.
LARGE = np.array([[709.9, 1.0], [800.0, -1.0], [1e3, 0.0], [709.78, 2.0]])

CASES = {
    "ln": [X0, op("ln")],
    "sqrt": [X0, op("sqrt")],
    "inv": [X0, op("inv")],
    "div": [X1, X0, op("div")],
    "vek": [X0, X1, op("vek")],
    "ln of vek": [X0, X1, op("vek"), op("ln")],
    "nested vek": [X0, X1, op("vek"), X1, X0, op("vek"), op("vek"), op("ln"), X0, X1, op("vek"), op("div")],
    "sqrt of ln": [X0, op("ln"), op("sqrt")],
    "arcsin": [X0, op("arcsin")],
    "arccos": [X1, op("arccos")],
    "root": [X0, ("pow", 0.5)],
    "inverse square": [X0, ("pow", -2.0)],
    "inverse root": [X0, ("pow", -1.5)],
    "cube by pow": [X1, ("pow", 3.0)],
    "fitted": [P0, X0, P1, op("add"), op("ln"), op("mul"), P2, op("add")],
    "unguarded": [X0, op("exp"), X1, op("sin"), op("add"), X0, op("cos"), op("mul"), X1, op("tanh"), op("sub")],
    "extra": [X0, op("arctan"), X1, op("sinh"), op("add"), X0, op("cosh"), X1, op("abs"), op("mul"), op("sub"),
              X0, op("square"), X1, op("cube"), op("neg"), op("add"), op("sub")],
}  # fmt: skip
PARAMS = {"fitted": [1.5, 0.5, -0.25]}


def fitted(monkeypatch, nodes, params=(), columns=None):
    """A regressor whose search found exactly this formula."""
    record = _engine.Record((nodes, "", len(nodes), 0.5, 0.5, list(params)))
    outcome = _engine.Outcome((record, [record], None, 1, 1, 1, [], False))
    monkeypatch.setattr(_search, "search", lambda *a, **k: outcome)
    X = np.linspace(1.0, 2.0, 16).reshape(-1, 2)
    return SymbolicRegressor().fit(X if columns is None else pd.DataFrame(X, columns=columns), X[:, 0])


@pytest.mark.parametrize("case", CASES)
def test_numpy_and_sympy_forms_give_what_predict_gives(monkeypatch, case):
    est = fitted(monkeypatch, CASES[case], PARAMS.get(case, ()))
    X = GRID if case in ("unguarded", "extra") else np.vstack([GRID, LARGE])
    if case.startswith("inverse"):  # a subnormal's inverse square overflows: no guard of sympy's
        X = X[np.abs(X[:, 0]) != 1e-310]
    pred = est.predict(X)
    if case not in ("unguarded", "extra", "vek", "cube by pow"):  # those never fail on these rows
        assert np.isnan(pred).any() and not np.isnan(pred).all()  # the guard is met on some rows only
    assert_same_floats(est.numpy_function()(X).tolist(), pred.tolist())
    sympy = pytest.importorskip("sympy")
    with np.errstate(all="ignore"):
        got = sympy.lambdify(est.symbols(), est.sympy())(*X.T)
    np.testing.assert_allclose(np.broadcast_to(got, pred.shape), pred, rtol=1e-12, atol=0, equal_nan=True)


def test_the_array_form_is_standalone_for_any_column_names_and_latex_is_plain(monkeypatch):
    names = ["np", "t1"]  # the module's and a step's name
    est = fitted(monkeypatch, [X0, X1, op("div"), X0, op("ln"), op("add")], columns=names)
    source = est.python_source(numpy=True, func_name="g")
    assert "def g(x0, t1):" in source and "import vek_math" not in source
    namespace = {}
    exec(source, namespace)
    X = np.vstack([GRID, [[2.0, 3.0]]])
    want = est.predict(pd.DataFrame(X, columns=names))
    assert_same_floats(namespace["g"](X[:, 0], X[:, 1]).tolist(), want.tolist())
    # Arguments broadcast; a constant formula still gives one value per row.
    assert namespace["g"](np.array([[1.0], [2.0]]), np.array([1.0, 2.0, 4.0])).shape == (2, 3)
    const = fitted(monkeypatch, [("const", 2.5)])
    assert const.numpy_function()(np.ones((3, 2))).tolist() == [2.5, 2.5, 2.5]
    with pytest.raises(ValueError, match="2 columns"):
        est.numpy_function()(np.ones((3, 3)))
    pytest.importorskip("sympy")  # LaTeX keeps the plain form
    assert "Piecewise" in str(est.sympy()) and str(est.sympy(guarded=False)) == "np/t1 + log(np)"
    assert est.latex() == r"\frac{\mathrm{np}}{\mathrm{t1}} + \log{\left(\mathrm{np} \right)}"


@pytest.mark.parametrize("module", ["jax", "torch"])
def test_jax_and_torch_give_what_predict_gives(monkeypatch, module):
    est = fitted(monkeypatch, CASES["ln of vek"])
    try:
        lib = importlib.import_module(module)
    except ImportError:
        with pytest.raises(ImportError, match=rf"vek_math\[{module}\]"):
            getattr(est, module)()
        pytest.skip(f"{module} is not installed")
    pytest.importorskip("sympy")
    X = np.vstack([GRID, LARGE])
    if module == "jax":
        # XLA on a CPU flushes subnormal numbers to zero: rows holding one
        # are another computation there.
        X = X[~np.any((X != 0) & (np.abs(X) < np.finfo(float).tiny), axis=1)]
        lib.config.update("jax_enable_x64", True)
        got = np.asarray(est.jax()(lib.numpy.asarray(X)))
    else:
        got = est.torch()(lib.tensor(X, dtype=lib.float64)).numpy()
    np.testing.assert_allclose(got, est.predict(X), rtol=1e-12, atol=0, equal_nan=True)

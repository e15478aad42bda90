"""Discovery of laws through the estimator: power laws as blocks, sums of
terms, chosen operators, constants that snap to simple values, scale-free
results, and renderings that compute what predict computes."""

import math

import numpy as np
import pytest

from vek_math import SymbolicRegressor, _engine

sympy = pytest.importorskip("sympy")

RNG_RANGE = (0.5, 3.0)


def data(law, n_vars, rows=100, seed=0, noise=0.0, low=RNG_RANGE[0], high=RNG_RANGE[1]):
    rng = np.random.default_rng(seed)
    X = rng.uniform(low, high, (rows, n_vars))
    y = law(X)
    return X, y * (1.0 + noise * rng.standard_normal(rows)) if noise else y


def exact_on_fresh_rows(model, law, n_vars, low=RNG_RANGE[0], high=RNG_RANGE[1]):
    X, y = data(law, n_vars, rows=500, seed=99, low=low, high=high)
    return np.max(np.abs(model.predict(X) - y) / np.maximum(1.0, np.abs(y))) < 1e-9


LAWS = {
    # products of powers: one block each, whatever the number of factors
    "gravity": (lambda X: 6.674 * X[:, 0] * X[:, 1] / X[:, 2] ** 2, 3, "^"),
    "Kepler": (lambda X: 2 * math.pi * np.sqrt(X[:, 0] ** 3 / X[:, 1]), 2, "^"),
    "seven factors": (
        lambda X: 1.5 * X[:, 0] * X[:, 1] ** 2 * np.sqrt(X[:, 2]) / X[:, 3] ** 1.5 * X[:, 4] * X[:, 5] / X[:, 6],
        7,
        "^",
    ),
    # sums of terms
    "energy": (lambda X: 0.5 * X[:, 0] * X[:, 1] ** 2 + 9.81 * X[:, 0] * X[:, 2], 3, "+"),
    "linear": (lambda X: 3 * X[:, 0] + 2 * X[:, 1] - X[:, 2] + 0.5 * X[:, 3], 4, "+"),
    # sums of products of two and three variables
    "body energy": (
        lambda X: 0.5 * X[:, 0] * X[:, 1] ** 2 + 0.5 * X[:, 2] * X[:, 3] ** 2 + 9.81 * X[:, 0] * X[:, 4],
        5,
        "+",
    ),
    "moments": (lambda X: (X[:, 0] * X[:, 1] + X[:, 2] * X[:, 3]) / X[:, 4], 5, "+"),
}


@pytest.mark.parametrize("name", LAWS)
def test_power_laws_and_sums_are_recovered_exactly(name):
    law, n_vars, sign = LAWS[name]
    X, y = data(law, n_vars)
    model = SymbolicRegressor().fit(X, y)
    assert exact_on_fresh_rows(model, law, n_vars) and sign in model.formula_, model.formula_
    # Every rendering computes what predict computes.
    got = model.predict(X)
    namespace = {}
    exec(model.python_source(), namespace)
    assert [namespace["f"](*row) for row in X.tolist()] == got.tolist()
    f = sympy.lambdify(sympy.symbols(f"x0:{n_vars}"), model.sympy(), "math")
    assert np.allclose([f(*row) for row in X.tolist()], got, rtol=1e-12, atol=0)


def test_a_polynomial_is_a_sum_of_simple_terms():
    law = lambda X: X[:, 0] ** 3 + X[:, 0] ** 2 + X[:, 0]  # noqa: E731
    X, y = data(law, 1, low=-1.0, high=1.0)
    model = SymbolicRegressor().fit(X, y)
    assert exact_on_fresh_rows(model, law, 1, low=-1.0, high=1.0), model.formula_


def test_fitted_constants_snap_to_simple_values_within_the_noise():
    law = lambda X: 0.5 * X[:, 0] * X[:, 1] ** 2  # noqa: E731
    X, y = data(law, 2, noise=0.01, seed=3)
    model = SymbolicRegressor().fit(X, y)
    assert model.equations_.params[model.best_index_] == [0.5], model.formula_
    # Far from a simple value it stays as fitted.
    X, y = data(lambda X: 0.4731 * X[:, 0] * X[:, 1] ** 2, 2, seed=3)
    assert SymbolicRegressor().fit(X, y).equations_.params.iloc[-1] == pytest.approx([0.4731], rel=1e-12)


@pytest.mark.parametrize("s", [3.7e-300, 2.9e-19, 1.3e-11, 3.0, 7.1e9, 4.4e154, 1.7e300])
def test_results_are_scale_free(s):
    """y and s·y: the same formula up to s, over the whole double range."""
    X, y = data(lambda X: 2 * X[:, 0] + np.sin(X[:, 1]), 2)
    base = SymbolicRegressor().fit(X, 3.0 * y)
    model = SymbolicRegressor().fit(X, s * y)
    assert model.equations_.complexity[model.best_index_] == base.equations_.complexity[base.best_index_]
    assert np.allclose(model.predict(X) / s, y, rtol=1e-9, atol=0), model.formula_
    assert math.isfinite(model.equations_.loss[model.best_index_])


def test_chosen_operators():
    X, y = data(lambda X: 1.7 * np.tanh(2.0 * X[:, 0]), 1, low=-1.0, high=1.0)
    model = SymbolicRegressor(unary_operators=["tanh", "square"], binary_operators=["add", "mul"]).fit(X, y)
    assert "tanh" in model.formula_ and model.score(X, y) == pytest.approx(1.0, abs=1e-12)
    names = {row.name for row in _engine.OPERATORS if row.group != "block"}
    assert {"square", "cube", "abs", "tanh", "arcsin", "arccos", "arctan", "sinh", "cosh"} <= names
    with pytest.raises(ValueError, match="unknown unary operator 'add'"):
        SymbolicRegressor(unary_operators=["add"]).fit(X, y)
    with pytest.raises(ValueError, match="unary_operators"):
        SymbolicRegressor(unary_operators="tanh").fit(X, y)


@pytest.mark.parametrize("name", ["square", "cube", "tanh", "arcsin", "arccos", "arctan", "sinh", "cosh", "abs"])
def test_each_operator_renders_as_it_evaluates(name):
    """The exported Python and sympy compute the engine's values, NaN where
    the operator's domain ends (arcsin of 2), for every new operator."""
    X = np.array([[-2.0], [-0.5], [0.0], [0.3], [0.9], [2.0], [30.0]])
    nodes = [("param", 0), ("var", 0), ("op", "mul"), ("op", name)]
    got = _engine.evaluate(nodes, X, [0.7], np.empty(len(X)))
    from vek_math import _export, _formula, _sympy

    source = _export.python_source(_formula.from_nodes(nodes), ["x"], [0.7])
    namespace = {}
    exec(source, namespace)
    assert np.array_equal([namespace["f"](v) for v in X[:, 0]], got, equal_nan=True)
    expr = _sympy.expression(_formula.from_nodes(nodes), ["x"], [0.7])
    f = sympy.lambdify(sympy.Symbol("x"), expr, "math")
    for v, want in zip(X[:, 0], got):
        if math.isfinite(want):
            assert f(v) == pytest.approx(want, rel=1e-12, abs=0)


def test_weak_terms_of_a_noisy_linear_law_reach_the_front_on_many_rows():
    # Each weak term explains a few percent of the squared error, many times
    # the noise variance on 1000 rows: the front must hold their sum.
    rng = np.random.default_rng(5)
    X = rng.uniform(-1.0, 1.0, (1000, 4))
    y = X @ np.array([1.0, 0.35, 0.3, 0.25]) + rng.normal(0.0, 1.0, 1000)
    ols = np.linalg.lstsq(np.column_stack([X, np.ones(1000)]), y, rcond=None)[0]
    floor = math.sqrt(np.mean((np.column_stack([X, np.ones(1000)]) @ ols - y) ** 2))
    eq = SymbolicRegressor(max_complexity=5).fit(X, y).equations_
    full = [r.formula for r in eq.itertuples() if all(f"x{i}" in r.formula for i in range(4))]
    assert any(r.loss <= floor * (1 + 1e-4) for r in eq.itertuples()), eq.loss.tolist()
    assert full, eq.formula.tolist()


# Laws reached by searching a reshaped target: (law, variables, range, what
# the formula must hold).
RESHAPED = {
    # 1/y² = 1 - x²
    "Lorentz factor": (lambda X: 1.0 / np.sqrt(1.0 - X[:, 0] ** 2), 1, (0.05, 0.9), "1/sqrt"),
    # 1/y = 1/x0 + 1/x1 + 1/x2
    "three in parallel": (lambda X: 1.0 / (1.0 / X[:, 0] + 1.0 / X[:, 1] + 1.0 / X[:, 2]), 3, RNG_RANGE, "1/"),
    # y/x0 = exp(c·x1/x2)
    "Arrhenius": (lambda X: X[:, 0] * np.exp(-1.3 * X[:, 1] / X[:, 2]), 3, RNG_RANGE, "exp"),
    # y² = (x0 - x1)² + (x2 - x3)²: squared differences are terms of sums
    "distance": (lambda X: np.sqrt((X[:, 0] - X[:, 1]) ** 2 + (X[:, 2] - X[:, 3]) ** 2), 4, RNG_RANGE, "sqrt"),
    # y² = x0²·x2² + x1²
    "energy-momentum": (lambda X: np.sqrt((X[:, 0] * X[:, 2]) ** 2 + X[:, 1] ** 2), 3, RNG_RANGE, "sqrt"),
}


@pytest.mark.parametrize("name", RESHAPED)
def test_laws_of_a_reshaped_target_are_recovered_exactly(name):
    law, n_vars, (low, high), holds = RESHAPED[name]
    X, y = data(law, n_vars, low=low, high=high)
    model = SymbolicRegressor().fit(X, y)
    assert exact_on_fresh_rows(model, law, n_vars, low=low, high=high) and holds in model.formula_, model.formula_
    f = sympy.lambdify(sympy.symbols(f"x0:{n_vars}"), model.sympy(), "math")
    assert np.allclose([f(*row) for row in X.tolist()], model.predict(X), rtol=1e-12, atol=0)


def test_reshaped_searches_are_deterministic_and_keep_to_the_operators_offered():
    law, n_vars, (low, high), _ = RESHAPED["Lorentz factor"]
    X, y = data(law, n_vars, low=low, high=high, noise=0.01, seed=4)
    fits = [SymbolicRegressor(n_jobs=n).fit(X, y).equations_ for n in (1, 2, 2)]
    for eq in fits[1:]:
        assert eq.formula.tolist() == fits[0].formula.tolist()
        assert eq.loss.tolist() == fits[0].loss.tolist()
    X, y = data(law, n_vars, low=low, high=high)
    model = SymbolicRegressor(unary_operators=["inv", "exp", "ln"]).fit(X, y)
    assert "sqrt" not in " ".join(model.equations_.formula), model.equations_.formula.tolist()

"""Noisy observations: the estimator's pick by cross-validation on data no
formula explains well (scikit-learn's diabetes data), against
LinearRegression, and the engine's flag through a sampled search."""

from __future__ import annotations

import numpy as np
import pytest
from sklearn.datasets import load_diabetes
from sklearn.linear_model import LinearRegression
from sklearn.metrics import r2_score

from vek_math import SymbolicRegressor, _engine


@pytest.fixture(scope="module")
def diabetes():
    X, y = load_diabetes(return_X_y=True)
    order = np.random.default_rng(0).permutation(len(y))
    train, test = order[:350], order[350:]
    return X[train], y[train], X[test], y[test]


@pytest.fixture(scope="module")
def fitted(diabetes):
    X, y, _, _ = diabetes
    return [SymbolicRegressor(beam_width=500, n_jobs=n).fit(X, y) for n in (1, 2)]


def test_diabetes_predicts_as_well_as_a_linear_model(diabetes, fitted):
    X, y, X_test, y_test = diabetes
    model = fitted[0]
    eq = model.equations_
    # The pick is on the front, marked selected, and is what predict uses.
    assert eq["selected"].sum() == 1 and eq["selected"].iat[model.best_index_]
    assert eq["formula"].iat[model.best_index_] == model.formula_
    assert eq["complexity"].iat[model.best_index_] <= 33
    linear = r2_score(y_test, LinearRegression().fit(X, y).predict(X_test))
    assert r2_score(y_test, model.predict(X_test)) >= linear - 0.02
    # The printed source computes what predict computes.
    namespace: dict = {}
    exec(model.python_source(), namespace)
    assert [namespace["f"](*row) for row in X_test.tolist()] == model.predict(X_test).tolist()


def test_diabetes_is_the_same_on_one_and_two_threads(fitted):
    one, two = fitted
    assert one.formula_ == two.formula_
    assert one.equations_["params"].iat[one.best_index_] == two.equations_["params"].iat[two.best_index_]
    assert one.equations_["loss"].tolist() == two.equations_["loss"].tolist()


@pytest.mark.parametrize(
    ("noise", "max_samples", "weighted", "validated"),
    [(3.0, None, False, True), (3.0, 150, False, True), (3.0, None, True, True), (0.01, None, False, False)],
    ids=["noisy", "noisy-sampled", "noisy-weighted", "law"],
)
def test_engine_flags_a_validated_best_on_its_front(noise, max_samples, weighted, validated):
    rng = np.random.default_rng(4)
    X = rng.uniform(-1, 1, size=(400, 3))
    y = 3 * X[:, 0] + 2 * X[:, 1] ** 2 + rng.normal(0, noise, 400)
    w = rng.integers(1, 4, 400).astype(np.float64) if weighted else None
    out = _engine.search(
        X, y, constants=True, max_complexity=5, beam_width=200, max_params=6, max_samples=max_samples, weights=w
    )
    assert out.validated is validated
    assert out.best is not None
    on_front = [r for r in out.front if r.complexity == out.best.complexity]
    if validated:
        assert on_front == [out.best]
        # Every loss is one on all rows, also after a sampled search.
        pred = np.empty(len(y))
        _engine.evaluate(out.best.nodes, X, out.best.params, pred)
        weights = np.ones(len(y)) if w is None else w
        assert out.best.loss == pytest.approx(np.sqrt(np.sum(weights * (pred - y) ** 2) / np.sum(weights)), rel=1e-12)

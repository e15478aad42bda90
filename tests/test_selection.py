"""SymbolicRegressor's model_selection: each rule on hand-made fronts, and
on a noisy law whose true form is on the front."""

import math

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("sklearn")

from vek_math import SymbolicRegressor, _select  # noqa: E402


@pytest.mark.parametrize("losses, complexities, n, exact, want", [
    # A big drop, then small ones: accuracy takes the last, score and bic the drop.
    ([10.0, 1.0, 0.98, 0.97], [1, 3, 5, 7], 100, 0.0, {"accuracy": 3, "score": 1, "bic": 1}),
    # The drop is outside the score rule's tolerance of the lowest loss.
    ([10.0, 1.0, 0.5, 0.45], [1, 3, 5, 7], 100, 0.0, {"accuracy": 3, "score": 2, "bic": 3}),
    # Losses at the rounding level are exact: the simplest of them, for every rule.
    ([1.0, 1e-17, 0.0], [1, 3, 5], 100, 1e-12, {"accuracy": 1, "score": 1, "bic": 1}),
    # As many nodes as rows: never chosen by bic.
    ([1.0, 0.001], [1, 3], 3, 0.0, {"accuracy": 1, "score": 1, "bic": 0}),
], ids=["drop", "tolerance", "exact", "few rows"])  # fmt: skip
def test_rules_on_given_fronts(losses, complexities, n, exact, want):
    assert _select.accuracy(losses, exact) == want["accuracy"]
    assert _select.score(losses, complexities, exact) == want["score"]
    assert _select.bic(losses, complexities, n, exact) == want["bic"]
    assert _select.scores(losses, complexities, exact)[0] == 0.0


def coulomb(seed, n=200):
    """Coulomb's law k·q1·q2/r² with noise of 20 % of its spread."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, size=(n, 3))
    law = 8.99 * X[:, 0] * X[:, 1] / (X[:, 2] * X[:, 2])
    return X, law + 0.2 * np.std(law) * rng.standard_normal(n), law


@pytest.mark.parametrize("seed", [1, 2])
def test_a_noisy_law_is_picked_by_bic_and_score_and_overfitted_by_accuracy(seed):
    X, y, law = coulomb(seed)
    picks = {}
    for rule in ("accuracy", "score", "bic"):
        est = SymbolicRegressor(model_selection=rule).fit(X, y)
        eq = est.equations_
        assert eq.selected.tolist() == [i == est.best_index_ for i in range(len(eq))]
        picks[rule] = est
    eq = picks["accuracy"].equations_
    # The true form is on the front: a row predicting the law within rounding of its fitted scale.
    true_rows = [i for i in range(len(eq))
                 if np.allclose(picks["accuracy"].predict(X, i) / law, np.mean(picks["accuracy"].predict(X, i) / law),
                                rtol=1e-9)]
    assert true_rows, eq.formula.tolist()
    truth = true_rows[0]
    assert picks["accuracy"].best_index_ == len(eq) - 1 > truth
    assert picks["bic"].best_index_ == truth, picks["bic"].formula_
    assert picks["score"].best_index_ == truth, picks["score"].formula_
    assert math.isclose(eq.loss.iloc[truth], eq.loss.min(), rel_tol=0.1)  # little of the loss is left to gain

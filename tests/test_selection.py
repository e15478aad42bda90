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


@pytest.mark.parametrize("seed", [1, 2])
def test_a_noisy_law_is_picked_by_bic_and_score_and_overfitted_by_accuracy(seed):
    rng = np.random.default_rng(seed)  # Coulomb's law with noise of 20 % of its spread
    X = rng.uniform(0.5, 3.0, size=(200, 3))
    law = 8.99 * X[:, 0] * X[:, 1] / (X[:, 2] * X[:, 2])
    y = law + 0.2 * np.std(law) * rng.standard_normal(200)
    picks = {rule: SymbolicRegressor(model_selection=rule).fit(X, y) for rule in ("accuracy", "score", "bic")}
    eq = picks["accuracy"].equations_
    # The true form is on the front: the row whose values are the law times its fitted scale.
    ratios = [picks["accuracy"].predict(X, i) / law for i in range(len(eq))]
    truth = next(i for i, r in enumerate(ratios) if np.allclose(r, r[0], rtol=1e-9))
    assert picks["accuracy"].best_index_ == len(eq) - 1 > truth
    for rule in ("bic", "score"):
        assert picks[rule].best_index_ == truth, picks[rule].formula_
        assert picks[rule].equations_.selected.tolist() == [i == truth for i in range(len(eq))]
    assert math.isclose(eq.loss.iloc[truth], eq.loss.min(), rel_tol=0.1)  # little of the loss is left to gain

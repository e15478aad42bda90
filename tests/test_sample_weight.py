"""Row weights: SymbolicRegressor.fit(X, y, sample_weight) and the engine's
weights=: repeats, dropped rows, equal weights, the pull of heavy rows."""

import math

import pytest

from conftest import assert_same_floats, same_float

np = pytest.importorskip("numpy")
pytest.importorskip("sklearn")

from vek_math import SymbolicRegressor, _engine, _search  # noqa: E402

SEARCH = {"max_complexity": 5, "beam_width": 200}
MODES = pytest.mark.parametrize("options", [{}, {"constants": False}], ids=["constants", "plain"])


def noisy(seed, n=40):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 3.0, size=(n, 2))
    y = 1.5 * X[:, 0] * X[:, 1] + 0.75 + rng.normal(0.0, 0.05, n)
    return X, y, rng


def same_fit(a, b):
    assert a.formula_ == b.formula_
    assert a.equations_["formula"].tolist() == b.equations_["formula"].tolist()
    assert_same_floats(a.equations_["loss"].tolist(), b.equations_["loss"].tolist())


@MODES
def test_integer_weights_are_repeated_rows(options):
    X, y, rng = noisy(1)
    w = rng.integers(1, 5, size=len(y))
    weighted = SymbolicRegressor(**SEARCH, **options).fit(X, y, sample_weight=w)
    repeated = SymbolicRegressor(**SEARCH, **options).fit(X.repeat(w, axis=0), y.repeat(w))
    assert weighted.formula_ == repeated.formula_
    got, want = weighted.equations_.iloc[weighted.best_index_], repeated.equations_.iloc[repeated.best_index_]
    assert got["loss"] == pytest.approx(want["loss"], rel=1e-12)
    np.testing.assert_allclose(got["params"], want["params"], rtol=1e-9)


@MODES
def test_zero_weights_drop_their_rows(options):
    X, y, rng = noisy(2)
    w = rng.uniform(0.5, 2.0, size=len(y))
    # Rows on which log, sqrt and division fail: with weight 0 they cannot
    # keep a formula out.
    X[::7, 0] = -1.0
    X[::9, 1] = 0.0
    w[::7] = 0.0
    w[::9] = 0.0
    kept = w > 0
    dropped = SymbolicRegressor(**SEARCH, **options).fit(X, y, sample_weight=w)
    subset = SymbolicRegressor(**SEARCH, **options).fit(X[kept], y[kept], sample_weight=w[kept])
    same_fit(dropped, subset)


@MODES
def test_equal_weights_are_no_weights(options):
    X, y, _ = noisy(3)
    same_fit(
        SymbolicRegressor(**SEARCH, **options).fit(X, y, sample_weight=np.full(len(y), 2.5)),
        SymbolicRegressor(**SEARCH, **options).fit(X, y),
    )


def test_heavy_rows_pull_the_constants():
    # Two populations, y = 2x and y = 2x + 1: the fitted offset moves to the
    # heavier one.
    x = np.linspace(0.5, 3.0, 60)
    X = x.reshape(-1, 1)
    group = np.arange(60) % 2
    y = 2.0 * x + group
    for heavy in (0, 1):
        w = np.where(group == heavy, 9.0, 1.0)
        pred = SymbolicRegressor(max_complexity=3, beam_width=50).fit(X, y, sample_weight=w).predict(X)
        near = np.abs(pred - (2.0 * x + heavy)).mean()
        far = np.abs(pred - (2.0 * x + 1 - heavy)).mean()
        assert near < 0.2 < 0.8 < far


@pytest.mark.parametrize("max_samples", [None, 25])
def test_loss_is_the_weighted_rmse_in_row_order(max_samples):
    """Without fitted constants every loss is the weighted RMSE of the
    formula on all rows, summed in row order, bit for bit (also when the
    search ran on a sample of the rows)."""
    X, y, rng = noisy(4, n=60)
    w = rng.uniform(0.1, 3.0, size=len(y))
    out = _engine.search(X, y, max_complexity=5, beam_width=100, weights=w, max_samples=max_samples)
    for r in [out.best, *out.front]:
        pred = _search.evaluate(r.nodes, X, r.params)
        sse = total = 0.0
        for p, t, wi in zip(pred.tolist(), y.tolist(), w.tolist()):
            d = p - t
            sse += (d * d) * wi
            total += wi
        assert same_float(r.loss, math.sqrt(sse / total)), r.formula


def test_same_result_for_any_thread_count():
    X, y, rng = noisy(5, n=300)
    w = rng.uniform(0.1, 3.0, size=len(y))
    fits = [SymbolicRegressor(**SEARCH, n_jobs=j).fit(X, y, sample_weight=w) for j in (1, 2)]
    same_fit(*fits)
    assert fits[0].equations_["params"].tolist() == fits[1].equations_["params"].tolist()
    # Several outputs: each column is fitted with the same weights.
    both = SymbolicRegressor(**SEARCH).fit(X, np.column_stack([y, 2.0 * y]), sample_weight=w)
    for j, est in enumerate(both.estimators_):
        same_fit(est, SymbolicRegressor(**SEARCH).fit(X, (1.0 + j) * y, sample_weight=w))


def test_negative_sample_weights():
    # All-zero weights and a wrong length are scikit-learn's own checks.
    with pytest.raises(ValueError, match="Negative values"):
        SymbolicRegressor(**SEARCH).fit([[1.0], [2.0], [3.0]], [1.0, 2.0, 3.0], sample_weight=[1.0, -1.0, 1.0])


@pytest.mark.parametrize("max_samples", [None, 30])
def test_engine_drops_rows_of_weight_zero(max_samples):
    X, y, rng = noisy(6, n=80)
    w = rng.uniform(0.5, 2.0, size=len(y))
    X[::5, 1] = -2.0  # log and sqrt fail here
    w[::5] = 0.0
    kept = w > 0
    options = {"max_complexity": 5, "beam_width": 100, "constants": True, "max_samples": max_samples}
    got = _engine.search(X, y, weights=w, **options)
    want = _engine.search(np.ascontiguousarray(X[kept]), y[kept], weights=w[kept], **options)
    assert [r.formula for r in got.front] == [r.formula for r in want.front]
    assert_same_floats([r.loss for r in got.front], [r.loss for r in want.front])


@pytest.mark.parametrize(
    ("weights", "message"),
    [
        ([1.0, 2.0], "weights has 2 values but X has 3 samples"),
        ([1.0, -1.0, 1.0], "finite and not negative"),
        ([1.0, math.nan, 1.0], "finite and not negative"),
        ([0.0, 0.0, 0.0], "positive, finite sum"),
    ],
)
def test_engine_rejects_bad_weights(weights, message):
    X = np.array([[1.0], [2.0], [3.0]])
    with pytest.raises(ValueError, match=message):
        _engine.search(X, np.array([1.0, 2.0, 3.0]), weights=np.array(weights))

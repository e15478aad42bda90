"""SymbolicRegressor with several outputs (a 2-D y), and the picture of the
front: its data, drawn headless, and the command line's --plot."""

import math

import pytest

from conftest import assert_same_floats

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")

from vek_math import SymbolicRegressor, _engine, _search, cli  # noqa: E402

SEARCH = {"max_complexity": 5, "beam_width": 200}


def frame(seed=3, n=40):
    rng = np.random.default_rng(seed)
    return pd.DataFrame(rng.uniform(0.5, 3.0, size=(n, 2)), columns=["width", "height"])


def test_each_output_gets_the_formula_of_its_own_fit():
    X = frame()
    Y = pd.DataFrame({"area": X.width * X.height, "aspect": X.width / X.height + 1.0, "edge": 2.0 * X.width})
    est = SymbolicRegressor(**SEARCH).fit(X, Y)
    assert est.target_names_ == ["area", "aspect", "edge"]
    assert est.formula_ == ["(width * height)", "((width * (height ^ -1.0)) + 1)", "(2 * width)"]
    pred = est.predict(X)
    assert pred.shape == (len(X), 3) and est.score(X, Y) == 1.0
    for j, name in enumerate(Y.columns):
        single = SymbolicRegressor(**SEARCH).fit(X, Y[name])
        assert est.best_index_[j] == single.best_index_ and est.equations_[j].equals(single.equations_)
        assert_same_floats(pred[:, j].tolist(), single.predict(X).tolist())
        assert est.python_source(output=name) == single.python_source() == est.python_source()[j]
    # One column stays a column, as with scikit-learn's regressors.
    assert SymbolicRegressor(**SEARCH).fit(X, Y[["edge"]]).predict(X).shape == (len(X), 1)
    with pytest.raises(KeyError, match="no output named 'volume'"):
        est.sympy(output="volume")

    with pytest.raises(IndexError, match="3 outputs"):
        est.latex(output=3)
    with pytest.raises(ValueError, match="this fit has one"):
        SymbolicRegressor(**SEARCH).fit(X, Y.area).sympy(output=0)


def test_a_warm_fit_of_several_outputs_continues_each_one():
    X = frame()
    Y = pd.DataFrame({"area": X.width * X.height + 0.1 * np.sin(7 * X.width), "edge": 2.0 * X.width})
    est = SymbolicRegressor(max_complexity=4, beam_width=200, warm_start=True).fit(X, Y)
    first = list(est.estimators_)
    est.set_params(max_complexity=6).fit(X, Y)
    assert all(e is f and e.max_complexity == 6 for e, f in zip(est.estimators_, first, strict=True))
    cold = SymbolicRegressor(max_complexity=4, beam_width=200).fit(X, Y)
    assert all(e.equations_.loss.min() <= c.equations_.loss.min() for e, c in zip(est.estimators_, cold.estimators_))


# -- the picture -------------------------------------------------------------


def record(loss, complexity):
    nodes = [("var", 0)] + [("op", "neg")] * (complexity - 1)
    return _engine.Record((nodes, "", complexity, loss, loss, []))


@pytest.mark.parametrize("losses, shown", [
    ([4.0, 0.5, 0.25], [4.0, 0.5, 0.25]),
    ([4.0, 0.5, 0.0], [4.0, 0.5, 0.05]),  # an exact fit a decade below the smallest loss
], ids=["losses", "exact fit"])
def test_plot_draws_the_front_and_marks_the_choice(monkeypatch, losses, shown):
    figure = pytest.importorskip("matplotlib.figure")
    front = [record(loss, c) for loss, c in zip(losses, (1, 3, 6))]
    monkeypatch.setattr(_search, "search", lambda *a, **k: _engine.Outcome((front[1], front, None, 1, 1, 1, [], False)))
    X = np.linspace(1.0, 2.0, 10).reshape(-1, 1)
    est = SymbolicRegressor(model_selection="accuracy").fit(pd.DataFrame(X, columns=["price $"]), X[:, 0])
    assert len(est.plot().get_lines()) == 2  # in a new figure
    ax = figure.Figure().subplots()
    assert est.plot(ax) is ax and ax.get_yscale() == "log" and "'accuracy'" in ax.get_title()
    (line, chosen), label = ax.get_lines(), est.formula_.replace("$", r"\$")  # no math mode from a name
    assert (line.get_xdata().tolist(), line.get_ydata().tolist()) == ([1, 3, 6], shown)
    assert (chosen.get_xdata().tolist(), chosen.get_ydata().tolist()) == ([6], shown[2:])
    assert [t.get_text() for t in ax.texts] == [label]
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["Pareto front", f"selected: {label}"]
    ax.figure.canvas.draw()  # renders headless


def test_command_line_writes_the_plot(tmp_path, capsys, monkeypatch):
    pytest.importorskip("matplotlib")
    table = tmp_path / "t.csv"
    table.write_text("a,b,out\n" + "".join(f"{a},{b},{a * b + 0.1 * math.sin(7 * a)}\n" for a, b in
                                           [(1, 2), (2, 3), (3, 1), (4, 4), (5, 2), (6, 5)]))
    args = ["discover", str(table), "--max-complexity", "4", "--beam-width", "100", "--selection", "bic", "--plot"]
    assert cli.main([*args, str(tmp_path / "front.png")]) == 0
    assert (tmp_path / "front.png").read_bytes().startswith(b"\x89PNG")
    for bad in ("front.nope", "missing/front.png"):
        assert cli.main([*args, str(tmp_path / bad)]) == 2
        assert "cannot write the plot" in capsys.readouterr().err
    monkeypatch.setitem(__import__("sys").modules, "matplotlib.figure", None)
    monkeypatch.setattr(_search, "search", None)  # it must not get as far as searching
    assert cli.main([*args, str(tmp_path / "front.png")]) == 2
    assert "vek_math[plot]" in capsys.readouterr().err

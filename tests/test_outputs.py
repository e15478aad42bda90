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
    pred = est.predict(X)
    assert pred.shape == (len(X), 3) and pred.dtype == np.float64
    for j, name in enumerate(Y.columns):
        single = SymbolicRegressor(**SEARCH).fit(X, Y[name])
        assert est.formula_[j] == single.formula_ and est.best_index_[j] == single.best_index_
        assert est.equations_[j].equals(single.equations_)
        assert_same_floats(pred[:, j].tolist(), single.predict(X).tolist())
        assert est.python_source(output=name) == single.python_source() == est.python_source()[j]
        assert_same_floats(est.numpy_function(output=j)(X).tolist(), single.predict(X).tolist())
    assert est.formula_ == ["(width * height)", "((width / height) + 1)", "(2 * width)"]
    assert est.score(X, Y) == 1.0
    first = est.predict(X, index=0)  # row 0 of every output's front
    assert first.shape == (len(X), 3)
    with pytest.raises(KeyError, match="no output named 'volume'"):
        est.sympy(output="volume")
    with pytest.raises(IndexError, match="3 outputs"):
        est.latex(output=3)
    with pytest.raises(ValueError, match="this fit has one"):
        SymbolicRegressor(**SEARCH).fit(X, Y.area).sympy(output=0)


@pytest.mark.parametrize("y, shape", [(lambda X: X[:, :1], (40, 1)), (lambda X: X[:, 0], (40,))], ids=["column", "1-D"])
def test_a_single_column_keeps_its_shape(y, shape):
    X = frame().to_numpy()
    est = SymbolicRegressor(**SEARCH).fit(X, y(X) * 3.0)
    assert est.predict(X).shape == shape
    assert isinstance(est.formula_, list) == (len(shape) == 2)
    if len(shape) == 2:
        assert est.target_names_ == ["y0"] and est.formula_ == ["(3 * x0)"]


# -- the picture -------------------------------------------------------------


def record(loss, complexity):
    nodes = [("var", 0)] + [("op", "neg")] * (complexity - 1)
    return _engine.Record((nodes, "", complexity, loss, loss, []))


@pytest.mark.parametrize("losses, shown", [
    ([4.0, 0.5, 0.25], [4.0, 0.5, 0.25]),
    ([4.0, 0.5, 0.0], [4.0, 0.5, 0.05]),  # an exact fit a decade below the smallest loss
], ids=["losses", "exact fit"])
def test_plot_draws_the_front_and_marks_the_choice(monkeypatch, losses, shown):
    pytest.importorskip("matplotlib")
    front = [record(loss, c) for loss, c in zip(losses, (1, 3, 6))]
    monkeypatch.setattr(_search, "search", lambda *a, **k: _engine.Outcome((front[1], front, None, 1, 1, 1)))
    X = np.linspace(1.0, 2.0, 10).reshape(-1, 1)
    est = SymbolicRegressor(model_selection="accuracy").fit(pd.DataFrame(X, columns=["price $"]), X[:, 0])
    ax = est.plot()
    line, chosen = ax.get_lines()
    assert list(line.get_xdata()) == [1, 3, 6] and list(line.get_ydata()) == pytest.approx(shown, rel=1e-15)
    assert (list(chosen.get_xdata()), list(chosen.get_ydata())) == ([6], [pytest.approx(shown[2], rel=1e-15)])
    assert ax.get_yscale() == "log" and ax.get_xlabel().startswith("complexity")
    label = est.formula_.replace("$", r"\$")  # no math mode from a name
    assert [t.get_text() for t in ax.texts] == [label]
    assert [t.get_text() for t in ax.get_legend().get_texts()] == ["Pareto front", f"selected: {label}"]
    assert "'accuracy'" in ax.get_title()
    ax.figure.canvas.draw()  # renders headless


def test_plot_of_several_outputs_and_into_given_axes():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    from matplotlib import pyplot

    X = frame()
    est = SymbolicRegressor(**SEARCH).fit(X, np.column_stack([X.width, X.width * X.height]))
    axes = est.plot()
    assert len(axes) == 2 and axes[0].figure is not axes[1].figure
    figure, given = pyplot.subplots()
    try:
        assert est.plot(given, output=1) is given and given.texts[0].get_text() == est.formula_[1]
    finally:
        pyplot.close(figure)


def test_command_line_writes_the_plot(tmp_path, capsys, monkeypatch):
    pytest.importorskip("matplotlib")
    table = tmp_path / "t.csv"
    table.write_text("a,b,out\n" + "".join(f"{a},{b},{a * b + 0.1 * math.sin(7 * a)}\n" for a, b in
                                           [(1, 2), (2, 3), (3, 1), (4, 4), (5, 2), (6, 5)]))
    picture = tmp_path / "front.png"
    args = ["discover", str(table), "--max-complexity", "4", "--beam-width", "100"]
    assert cli.main([*args, "--selection", "bic", "--plot", str(picture)]) == 0
    assert picture.read_bytes().startswith(b"\x89PNG")
    capsys.readouterr()
    assert cli.main([*args, "--plot", str(tmp_path / "front.nope")]) == 2
    assert "cannot write the plot" in capsys.readouterr().err
    assert cli.main([*args, "--plot", str(tmp_path / "missing" / "f.png")]) == 2
    monkeypatch.setitem(__import__("sys").modules, "matplotlib.figure", None)
    monkeypatch.setattr(_search, "search", None)  # it must not get as far as searching
    assert cli.main([*args, "--plot", str(picture)]) == 2
    assert "vek_math[plot]" in capsys.readouterr().err

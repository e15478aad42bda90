"""Formula discovery as a scikit-learn regressor: ``vek_math.SymbolicRegressor``.

Needs scikit-learn (1.6 or later) and pandas: ``pip install 'vek_math[sklearn]'``.
The search runs through ``vek_math._search``; every rendering of a formula
(``formula_``, ``equations_``, ``sympy()``, ``latex()``, ``python_source()``)
is built from its nodes with the feature names, and ``predict`` evaluates
the nodes with the engine's guarded arithmetic.
"""

from __future__ import annotations

import operator
import sys
import time
import warnings
from numbers import Integral, Real
from typing import Any

import numpy as np

try:
    import pandas as pd
    from sklearn.base import BaseEstimator, RegressorMixin
    from sklearn.utils._param_validation import Interval
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as exc:
    raise ImportError(
        "vek_math.SymbolicRegressor needs scikit-learn (1.6 or later) and pandas; "
        "install them with: pip install 'vek_math[sklearn]'",
        name=exc.name,
    ) from exc

from vek_math import _export, _formula, _search
from vek_math._search import SearchStoppedWarning

__all__ = ["SearchStoppedWarning", "SymbolicRegressor"]

_COUNT = Interval(Integral, 0, 2**64 - 1, closed="both")

# Special characters of LaTeX, as they are written in math mode.
_LATEX_ESCAPES = str.maketrans({
    "\\": r"\backslash{}", "{": r"\{", "}": r"\}", "_": r"\_", "^": r"\wedge{}", "$": r"\$", "%": r"\%",
    "&": r"\&", "#": r"\#", "~": r"\sim{}", " ": r"\ ",
})


def _shown(name: str) -> str:
    """A feature name in formula text: as it is where it is an identifier,
    otherwise in backquotes (as pandas' query strings write such names)."""
    return name if name.isidentifier() else f"`{name}`"


class SymbolicRegressor(RegressorMixin, BaseEstimator):
    """Finds a formula for y in the columns of X by the engine's beam search.

    Parameters
    ----------
    max_complexity : int, default=8
        Node budget of a formula.
    beam_width : int, default=2000
        Candidates kept per level; a quarter of them join the beam.
    precision_goal : float, default=1e-10
        The search stops once the best error is at most this.
    use_trig, use_vek : bool, default=True
        Offer sin and cos, and the vek operator exp(a) - ln(b).
    complexity_penalty : float or None, default=None
        error = RMSE * (1 + complexity_penalty * complexity); the formula with
        the lowest error is selected. None: 0.01 with ``constants`` (a fitted
        constant costs two nodes, so it must cut the RMSE by about 2 % to be
        kept rather than fit noise), 0.001 without (find_formula's default).
    constants : bool, default=True
        Search with fitted constants: every formula is a shape g written as
        g, a * g, g + b or a * g + b with a and b fitted by least squares, and
        shapes may hold constants of their own (exp(c * x), x + c * y, ...),
        fitted numerically. ``max_complexity`` then bounds the shape; every
        node, those of the constants included, counts in ``complexity``.
        False runs the search of ``find_formula``, whose only constants are
        0 and 1.
    max_params : int, default=4
        With ``constants``: the most fitted constants in a formula, a and b
        included (2 to 16).
    n_jobs : int or None, default=None
        Threads for this fit; None uses the pool's default, -1 every
        processor, -2 all but one, and so on.
    time_limit : float or None, default=None
        Seconds after which the search stops and keeps the best formula so far
        (with a ``SearchStoppedWarning``).
    verbose : bool or int, default=False
        Report each search level on stderr.

    Attributes
    ----------
    formula_ : str
        The selected formula, written with the feature names.
    equations_ : pandas.DataFrame
        The Pareto front, one row per formula by increasing complexity:
        ``complexity``, ``loss`` (RMSE), ``error`` (penalised loss),
        ``formula`` (fitted constants to four significant digits), ``params``
        (their full values, in the order of the formula's constants) and
        ``selected``.
    best_index_ : int
        Row of ``equations_`` of the selected formula (the lowest error; with
        ``constants=False``, the formula ``find_formula`` returns for the same
        options).
    stopped_ : None, "interrupted" or "time_limit"
        Why the search ended early, if it did.
    n_features_in_, feature_names_in_ :
        As scikit-learn defines them; features are named after the columns of
        a DataFrame, otherwise x0, x1, ...
    """

    _parameter_constraints: dict[str, list[Any]] = {
        "max_complexity": [_COUNT],
        "beam_width": [_COUNT],
        "precision_goal": [Interval(Real, 0, None, closed="left")],
        "use_trig": ["boolean"],
        "use_vek": ["boolean"],
        "complexity_penalty": [Interval(Real, 0, np.inf, closed="left"), None],
        "n_jobs": [Integral, None],
        "time_limit": [Interval(Real, 0, None, closed="neither"), None],
        "verbose": ["verbose"],
        "constants": ["boolean"],
        "max_params": [Interval(Integral, 2, 16, closed="both")],
    }

    def __init__(self, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, use_vek=True,
                 complexity_penalty=None, n_jobs=None, time_limit=None, verbose=False, constants=True,
                 max_params=4):
        self.max_complexity = max_complexity
        self.beam_width = beam_width
        self.precision_goal = precision_goal
        self.use_trig = use_trig
        self.use_vek = use_vek
        self.complexity_penalty = complexity_penalty
        self.n_jobs = n_jobs
        self.time_limit = time_limit
        self.verbose = verbose
        self.constants = constants
        self.max_params = max_params

    # -- fitting ---------------------------------------------------------

    def fit(self, X, y):
        """Searches for a formula of y in the columns of X; returns self."""
        # A failed fit must not leave the results of an earlier one behind.
        for name in [k for k in vars(self) if k.endswith("_") and not k.startswith("__")] + ["_nodes", "_params"]:
            self.__dict__.pop(name, None)
        self._validate_params()
        X, y = validate_data(self, X, y, dtype=np.float64, order="C", y_numeric=True)
        y = np.ascontiguousarray(y, dtype=np.float64)
        names = self._feature_names()
        result = _search.search(
            X, y, max_complexity=int(self.max_complexity), beam_width=int(self.beam_width),
            precision_goal=float(self.precision_goal), use_trig=bool(self.use_trig), use_vek=bool(self.use_vek),
            complexity_penalty=self._penalty(), n_threads=self._threads(),
            time_limit=None if self.time_limit is None else float(self.time_limit),
            progress=self._reporter(names) if self.verbose else None, constants=bool(self.constants),
            max_params=int(self.max_params))
        best, stopped = result.best, result.stopped
        if best is None:
            if stopped == "interrupted":
                raise KeyboardInterrupt
            if stopped == "time_limit":
                raise TimeoutError(f"the time limit of {self.time_limit} s ran out before a formula was scored")
            raise ValueError("no formula could be scored on this data")
        front = list(result.front)
        selected = next((i for i, r in enumerate(front)
                         if r.nodes == best.nodes and r.params == best.params), None)
        if selected is None:  # a tie with a simpler formula kept it off the front
            front.append(best)
            front.sort(key=lambda r: r.complexity)
            selected = next(i for i, r in enumerate(front) if r is best)
        shown = [_shown(n) for n in names]
        self._nodes = [[tuple(node) for node in r.nodes] for r in front]
        self._params = [[float(p) for p in r.params] for r in front]
        self.equations_ = pd.DataFrame({
            "complexity": [int(r.complexity) for r in front],
            "loss": [float(r.loss) for r in front],
            "error": [float(r.error) for r in front],
            "formula": [_formula.render(_formula.from_nodes(n), shown, p) for n, p in zip(self._nodes, self._params)],
            "params": self._params,
            "selected": [i == selected for i in range(len(front))],
        })
        self.best_index_ = selected
        self.formula_ = self.equations_["formula"].iat[selected]
        self.stopped_ = stopped
        if stopped is not None:
            why = ("the search was interrupted" if stopped == "interrupted"
                   else f"the search reached its time limit of {self.time_limit} s")
            warnings.warn(f"{why} after {result.levels} levels; the estimator holds the best formula found "
                          f"until then: {self.formula_}", SearchStoppedWarning, stacklevel=2)
        return self

    def _penalty(self) -> float:
        if self.complexity_penalty is None:
            return 0.01 if self.constants else 0.001
        return float(self.complexity_penalty)

    def _threads(self) -> int | None:
        if self.n_jobs is None:
            return None
        if self.n_jobs == 0:
            raise ValueError("n_jobs == 0 has no meaning; use None, a positive count or -1 for every processor")
        if self.n_jobs > 0:
            return int(self.n_jobs)
        import os

        return max((os.cpu_count() or 1) + 1 + int(self.n_jobs), 1)

    def _reporter(self, names: list[str]) -> Any:
        shown = [_shown(n) for n in names]
        start = time.perf_counter()

        def report(level, generated, scored, best):
            text = "-" if best is None else (
                f"{_formula.render(_formula.from_nodes(best.nodes), shown, best.params)}"
                f"  (error {best.error:.3g})")
            print(f"level {level}: {generated} candidates, {scored} scored, best {text}  "
                  f"[{time.perf_counter() - start:.1f}s]", file=sys.stderr, flush=True)

        return report

    # -- using the result ------------------------------------------------

    def predict(self, X, index=None):
        """The selected formula (or row ``index`` of ``equations_``) on every
        row of X, computed as the engine computes it; NaN where it fails (a
        logarithm of a number <= 0, a division by nearly 0, an overflow, ...)."""
        check_is_fitted(self)
        i = self._row(index)
        X = validate_data(self, X, dtype=np.float64, order="C", reset=False)
        return _search.evaluate(self._nodes[i], X, self._params[i])

    def sympy(self, index=None):
        """The formula as a sympy expression with one symbol per feature (named
        as in ``python_source``). Needs sympy."""
        from vek_math import _sympy

        check_is_fitted(self)
        i = self._row(index)
        return _sympy.expression(_formula.from_nodes(self._nodes[i]), self._symbols(), self._params[i])

    def latex(self, index=None):
        """The formula in LaTeX (through sympy), with the feature names."""
        expr = self.sympy(index)
        import sympy

        names = self._feature_names()
        latex_names = {}
        for symbol, name in zip(self._symbols(), names):
            plain = sympy.latex(sympy.Symbol(symbol))
            if symbol != name or (len(name) > 1 and plain == name):
                latex_names[sympy.Symbol(symbol)] = rf"\mathrm{{{name.translate(_LATEX_ESCAPES)}}}"
        return sympy.latex(expr, symbol_names=latex_names, mul_symbol="dot")

    def python_source(self, index=None, func_name="f", *, ascii_only=False):
        """Source of a standalone function (standard library only) with one
        argument per feature, computing the formula as ``predict`` does."""
        check_is_fitted(self)
        i = self._row(index)
        return _export.python_source(_formula.from_nodes(self._nodes[i]), self._feature_names(), self._params[i],
                                     func_name, ascii_only=ascii_only)

    # -- helpers ---------------------------------------------------------

    def _feature_names(self) -> list[str]:
        if hasattr(self, "feature_names_in_"):
            return [str(n) for n in self.feature_names_in_]
        return [f"x{i}" for i in range(self.n_features_in_)]

    def _symbols(self) -> list[str]:
        return _export.identifiers(self._feature_names())

    def _row(self, index) -> int:
        n = len(self._nodes)
        if index is None:
            return self.best_index_
        i = operator.index(index)
        if not -n <= i < n:
            raise IndexError(f"equation index {index} is out of range: equations_ has {n} rows")
        return i % n

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = False
        return tags

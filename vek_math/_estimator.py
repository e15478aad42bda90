"""Formula discovery as a scikit-learn regressor: ``vek_math.SymbolicRegressor``.

Needs scikit-learn (1.6 or later) and pandas: ``pip install 'vek_math[sklearn]'``.
The search runs through ``vek_math._search``; every rendering of a formula
(``formula_``, ``equations_``, ``sympy()``, ``latex()``, ``python_source()``)
is built from its nodes with the feature names, and ``predict`` evaluates
the nodes with the engine's guarded arithmetic.
"""

from __future__ import annotations

import functools
import math
import operator
import warnings
from collections.abc import Callable, Sequence
from numbers import Integral, Real
from typing import TYPE_CHECKING, Any, ClassVar, Self, SupportsIndex, cast

import numpy as np
import numpy.typing as npt

try:
    import pandas as pd
    from sklearn.base import BaseEstimator, RegressorMixin, clone
    from sklearn.metrics import r2_score
    from sklearn.utils._param_validation import HasMethods, Interval, StrOptions
    from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data
except ImportError as exc:
    raise ImportError(
        "vek_math.SymbolicRegressor needs scikit-learn (1.6 or later) and pandas; "
        "install them with: pip install 'vek_math[sklearn]'",
        name=exc.name,
    ) from exc

from vek_math import _engine, _export, _formula, _progress, _search, _select
from vek_math._search import SearchStoppedWarning

if TYPE_CHECKING:
    # By another name: the class's method `sympy` hides the module's name there.
    from sympy import Expr as SympyExpr

__all__ = ["SearchStoppedWarning", "SymbolicRegressor"]

_COUNT = Interval(Integral, 0, 2**64 - 1, closed="both")

# Losses at most this fraction of the target's RMS are rounding, not fit:
# they count as 0, so the simplest exact fit is selected.
_EXACT = 1e-12

# Special characters of LaTeX, as they are written in math mode.
_LATEX_ESCAPES = str.maketrans(
    {
        "\\": r"\backslash{}",
        "{": r"\{",
        "}": r"\}",
        "_": r"\_",
        "^": r"\wedge{}",
        "$": r"\$",
        "%": r"\%",
        "&": r"\&",
        "#": r"\#",
        "~": r"\sim{}",
        " ": r"\ ",
    }
)


def _latex_name(name: str) -> str:
    """A feature name in LaTeX as the name it is: a single ASCII letter in
    italics like any variable, anything else upright and escaped, so that
    no part of it is read as a subscript, a power or a Greek letter."""
    if len(name) == 1 and name.isascii() and name.isalpha():
        return name
    return rf"\mathrm{{{_formula.escaped(name).translate(_LATEX_ESCAPES)}}}"


def _rms(y: npt.NDArray[np.float64]) -> float:
    """sqrt(mean(y * y)) without overflow or underflow for any finite y."""
    scale = float(np.max(np.abs(y))) if len(y) else 0.0
    return scale * math.sqrt(float(np.mean((y / scale) ** 2))) if scale > 0 else 0.0


def _front(records: list[_engine.Record]) -> list[_engine.Record]:
    """The Pareto front of the records: by increasing complexity, one per
    complexity (the lowest loss), each with a lower loss than every simpler
    one."""
    out: list[_engine.Record] = []
    for r in sorted(records, key=lambda r: (r.complexity, r.loss)):
        if not math.isnan(r.loss) and (not out or r.loss < out[-1].loss):
            out.append(r)
    return out


def _adjusted_error(record: _engine.Record, n: float, exact: float) -> float:
    """The penalised error of a record with fitted constants, adjusted for
    the sample size: error * sqrt(n / (n - d)), where d = complexity - the
    number of fitted constants counts the nodes that the search chose or
    that apply a constant (the constants' own leaves aside). On a few rows
    a search through thousands of shapes fits noise, and this is what an
    unbiased noise estimate pays for d fitted parameters; on a few hundred
    rows it is within a percent of the error. A loss at the rounding level
    counts as 0 (k < n constants cannot meet n rows that exactly by
    chance). Never selected (inf): as many constants as rows, or an inexact
    fit with d >= n."""
    k = len(record.params)
    if k >= n:
        return math.inf
    if record.loss <= exact:
        return 0.0
    d = record.complexity - k
    if d >= n:
        return math.inf
    return float(record.error) * math.sqrt(n / (n - d))


def _weighted_rows(
    X: npt.NDArray[np.float64], y: npt.NDArray[np.float64], sample_weight: npt.ArrayLike | None
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64] | None]:
    """X, y and the weights the search takes: rows of weight 0 left out,
    and no weights (None) when the rest are all equal, so that equal weights
    are exactly the search without them."""
    if sample_weight is None:
        return X, y, None
    # Negative weights and all-zero weights raise ValueError here.
    w = _check_sample_weight(sample_weight, X, dtype=np.float64, ensure_non_negative=True)
    kept = w > 0
    if not np.all(kept):
        X, y, w = np.ascontiguousarray(X[kept]), np.ascontiguousarray(y[kept]), w[kept]
    if np.all(w == w[0]):
        return X, y, None
    return X, y, np.ascontiguousarray(w, dtype=np.float64)


def _row_count(y: npt.NDArray[np.float64], weights: npt.NDArray[np.float64] | None) -> float:
    """The sample size the selection adjusts for: with weights, the lightest
    row counts once and every other row as many times as its weight is the
    lightest one's. So integer weights with a 1 among them count as repeated
    rows, and the count does not change when every weight is scaled."""
    if weights is None:
        return float(len(y))
    return float(np.cumsum(weights)[-1] / np.min(weights))


@functools.cache
def _shadowing() -> frozenset[str]:
    """Names a sympy symbol must not take: those of Python's builtins and of
    math, numpy and sympy, which lambdify's generated code looks up."""
    import builtins

    names = set(dir(builtins)) | set(dir(math)) | set(dir(np))
    try:
        import sympy

        names |= set(dir(sympy))
    except ImportError:
        pass
    return frozenset(names)


class _WarmState:
    """What a later fit with ``warm_start`` continues from: the search's
    beam (its seed) and the front the estimator kept."""

    def __init__(self, features: int, constants: bool, beam: list[Any], front: list[_engine.Record]) -> None:
        self.features, self.constants, self.beam, self.front = features, constants, beam, front

    def fits(self, features: int, constants: bool) -> bool:
        return (features, constants) == (self.features, self.constants)

    def rescored(
        self,
        X: npt.NDArray[np.float64],
        y: npt.NDArray[np.float64],
        penalty: float,
        weights: npt.NDArray[np.float64] | None = None,
    ) -> list[_engine.Record]:
        """The front's records with their loss and error on this data, as
        the engine computes them (squares, times the row weights if any,
        summed in row order); records undefined on some row are left out."""
        out = []
        for r in self.front:
            pred = _search.evaluate(r.nodes, X, r.params)
            if not np.all(np.isfinite(pred)):
                continue
            d = pred - y
            if weights is None:
                loss = math.sqrt(float(np.cumsum(d * d)[-1]) / len(y))
            else:
                loss = math.sqrt(float(np.cumsum((d * d) * weights)[-1]) / float(np.cumsum(weights)[-1]))
            error = loss * (penalty * r.complexity + 1.0)
            out.append(_engine.Record((list(r.nodes), r.formula, r.complexity, loss, error, list(r.params))))
        return out


def _each_output[F: Callable[..., Any]](method: F) -> F:
    """A method of one fitted formula, for every output: after a fit of
    several outputs (2-D y) it runs on the output named by its ``output``
    argument (a position or a name of ``target_names_``), or on each of
    them in turn when that is None, giving a list."""

    @functools.wraps(method)
    def each(self: SymbolicRegressor, *args: Any, output: int | str | None = None, **kwargs: Any) -> Any:
        check_is_fitted(self)
        estimators = getattr(self, "estimators_", None)
        if estimators is None:
            if output is not None:
                raise ValueError("output= picks one of several outputs; this fit has one (y was 1-D)")
            return method(self, *args, **kwargs)
        if output is None:
            return [method(e, *args, **kwargs) for e in estimators]
        return method(estimators[self._output(output)], *args, **kwargs)

    return cast(F, each)


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
        Where that search misses ``precision_goal`` (on 32 rows or more), it
        also searches 1/y, y**2, 1/y**2, y/P, P/y and (P/y)**2 for power
        blocks P that y looks proportional to, and ratios of sums of terms;
        what they find is written as a formula of y, re-fitted on y and
        competes with the rest (1/sqrt(1 - v**2), R1*R2/(R1 + R2),
        A*exp(-c*E/T) come out that way). Those searches run here, also
        with a ``client``. On noisy observations, where the best formula
        explains under 90 % of the variance of y on 100 rows or more (no
        law with measurement noise leaves that much), it is chosen by
        5-fold cross-validation instead: see ``best_index_``. False runs
        the search of ``find_formula``, whose only constants are 0 and 1.
    max_params : int, default=9
        With ``constants``: the most fitted constants in a formula, a and b
        and the coefficients of a sum of terms included (2 to 16); a shape
        holds at most two constants of its own.
    unary_operators, binary_operators : list of str or None, default=None
        The operators offered, by name, in this order, instead of the
        defaults (neg, inv, exp, ln, sqrt and, with ``use_trig``, sin, cos;
        add, sub, mul, div and, with ``use_vek``, vek). Also: abs, square,
        cube, tanh, arcsin, arccos, arctan, sinh, cosh
        (``vek_math._engine.OPERATORS`` lists every operator).
    n_jobs : int or None, default=None
        Threads for this fit; None uses the pool's default, -1 every
        processor, -2 all but one, and so on (below 2**63).
    time_limit : float or None, default=None
        Seconds after which the search stops and keeps the best formula so far
        (with a ``SearchStoppedWarning``).
    verbose : bool or int, default=False
        Show the search's progress on stderr: a live line within each level
        (a bar on a terminal, a plain line at most every 5 s elsewhere) and
        a line after each level.
    warm_start : bool, default=False
        When True, ``fit`` continues the previous fit of this estimator (on
        data with as many features, with the same ``constants``): the
        previous search's beam seeds the new one (its members join the beam
        after the leaves and are scored with them), and the previous Pareto
        front is scored on the new data and merged into the new front. So a
        second fit with a larger ``time_limit`` or ``max_complexity`` picks
        up where the first stopped. False: every fit starts afresh.
    max_samples : int or None, default=10000
        Past this many rows the search runs on this many rows spread evenly
        through the data (the same rows on every run and for any
        ``n_jobs``), then scores its best formula and front again on every
        row, fitted constants re-fitted there, and selects again: every
        loss reported is one on all rows. None or 0: every row.
    model_selection : {"penalised", "accuracy", "score", "bic"}, default="penalised"
        How the formula is picked from the front (``best_index_``):
        "penalised" the lowest error adjusted for the sample size (see
        ``best_index_``); "accuracy" the lowest loss; "score" among the rows
        with a loss at most 1.5 times the lowest, the largest drop of
        ln(loss) per unit of complexity against the simpler row before it;
        "bic" the lowest n * ln(loss²) + complexity * ln(n) (the complexity
        counts every node, a fitted constant's leaf as its one parameter).
        Under every rule a loss below 1e-12 of the target's RMS counts as
        exact, so the simplest exact fit is picked.
    memory_limit : int or None, default=None
        Bytes the search may hold (its seen formulas, its beam and a level's
        candidates); None: a quarter of the physical memory, at most 2 GiB.
        A level that would pass it keeps its first candidates (in the order
        the search builds them) that fit, and the search ends after that
        level with a ``SearchStoppedWarning`` (``stopped_ ==
        "memory_limit"``). Only very wide beams (tens of thousands) come
        near the default.
    client : dask.distributed.Client or None, default=None
        Score the search's levels on this Dask cluster's workers: the data
        go to every worker once, each level's candidates in chunks; the
        beam and the result stay here, and the result is the local one,
        bit for bit. Levels too small for the cluster to pay for itself
        are scored locally (``verbose`` says which). A worker lost during a
        level is replaced by another; a cluster that is lost ends the fit
        with the levels finished before (``stopped_ == "cluster"``, with a
        ``SearchStoppedWarning``). Needs ``constants``.

    Attributes
    ----------
    formula_ : str
        The selected formula, written with the feature names.
    equations_ : pandas.DataFrame
        The Pareto front, one row per complexity by increasing complexity,
        each with a lower loss than every simpler row: ``complexity``,
        ``loss`` (RMSE), ``error`` (penalised loss), ``formula`` (fitted
        constants to four significant digits), ``params`` (their full
        values, in the order of the formula's constants) and ``selected``.
    best_index_ : int
        Row of ``equations_`` of the selected formula (marked in its
        ``selected`` column), by the rule ``model_selection`` names; this
        is the default rule, "penalised". With ``constants``:
        the lowest error adjusted for the sample size, error * sqrt(n / (n -
        d)) with n rows (with ``sample_weight``: sum(w) / min(w) over the
        rows of positive weight) and d = complexity - number of fitted constants;
        losses below 1e-12 of the target's RMS count as 0, so the simplest
        exact fit wins; a row with as many constants as rows, or an inexact
        one with d >= n, is never selected. On noisy observations (the
        best formula explains under 90 % of the variance of y, on 100 rows
        or more) the search's best and an additive model, a1*t1 + ... + ak*tk
        + b over the variables and their squares (terms by forward
        selection, their number, at most ``max_params`` - 1, by 5-fold
        cross-validation), compete by their 5-fold cross-validated error
        (rows in fold i mod 5, constants re-fitted on the other folds): the
        lower is selected and shown on the front in place of the row of its
        complexity. A formula fitted there fits noise too, the more so the
        more shapes were tried; this is the rule that predicts new rows
        well. Without ``constants``: the formula ``find_formula`` returns
        for the same options.
    stopped_ : None, "interrupted", "time_limit", "memory", "memory_limit" or "cluster"
        Why the search ended early, if it did ("memory": it ran out of
        memory and kept the levels it had finished; "memory_limit": a level
        was cut to ``memory_limit``; "cluster": the Dask cluster was lost;
        "interrupted" also
        when Ctrl-C came after the search, while the result was built).
    n_features_in_, feature_names_in_ :
        As scikit-learn defines them; features are named after the columns of
        a DataFrame, otherwise x0, x1, ...

    Several outputs: a 2-D y (n_samples, n_outputs) is fitted one column at
    a time, each by its own search with these parameters (``time_limit``
    applies to each), and ``predict`` gives a 2-D array, one column per
    output (also for a single column, as scikit-learn's regressors do).
    ``formula_``, ``equations_`` and ``best_index_`` are then lists, one
    entry per output in y's column order; ``target_names_`` names the
    outputs (a DataFrame's column names, otherwise y0, y1, ...);
    ``estimators_`` holds one fitted single-output regressor per output;
    ``stopped_`` is the first reason any output's search ended early. The
    exports (``sympy``, ``latex``, ``python_source``, ``numpy_function``,
    ``jax``, ``torch``, ``plot``) take ``output=`` (a position or a name)
    and otherwise give a list, one per output.
    """

    _parameter_constraints: ClassVar[dict[str, list[Any]]] = {
        "max_complexity": [_COUNT],
        "beam_width": [_COUNT],
        "precision_goal": [Interval(Real, 0, None, closed="left")],
        "use_trig": ["boolean"],
        "use_vek": ["boolean"],
        "complexity_penalty": [Interval(Real, 0, np.inf, closed="left"), None],
        "n_jobs": [Interval(Integral, None, 2**63 - 1, closed="right"), None],
        "time_limit": [Interval(Real, 0, None, closed="neither"), None],
        "memory_limit": [Interval(Integral, 1, 2**63 - 1, closed="both"), None],
        "verbose": ["verbose"],
        "constants": ["boolean"],
        "max_params": [Interval(Integral, 2, 16, closed="both")],
        "unary_operators": [list, tuple, None],
        "binary_operators": [list, tuple, None],
        "max_samples": [Interval(Integral, 0, None, closed="left"), None],
        "warm_start": ["boolean"],
        "model_selection": [StrOptions(set(_select.RULES))],
        "client": [HasMethods(["scatter", "submit", "gather"]), None],
    }

    def __init__(
        self,
        max_complexity: int = 8,
        beam_width: int = 2000,
        precision_goal: float = 1e-10,
        use_trig: bool = True,
        use_vek: bool = True,
        complexity_penalty: float | None = None,
        n_jobs: int | None = None,
        time_limit: float | None = None,
        verbose: bool | int = False,
        constants: bool = True,
        max_params: int = 9,
        unary_operators: Sequence[str] | None = None,
        binary_operators: Sequence[str] | None = None,
        max_samples: int | None = 10_000,
        warm_start: bool = False,
        model_selection: str = "penalised",
        memory_limit: int | None = None,
        client: Any = None,
    ) -> None:
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
        self.unary_operators = unary_operators
        self.binary_operators = binary_operators
        self.max_samples = max_samples
        self.warm_start = warm_start
        self.model_selection = model_selection
        self.memory_limit = memory_limit
        self.client = client

    # A Dask client is a connection: clones share it (it cannot be copied),
    # and a pickled model leaves it behind (it cannot be pickled, and the
    # fitted model does not need it).
    def __sklearn_clone__(self) -> Self:
        params = self.get_params(deep=False)
        client = params.pop("client")
        return type(self)(**{k: clone(v, safe=False) for k, v in params.items()}, client=client)

    def __getstate__(self) -> dict[str, Any]:
        state = dict(super().__getstate__())
        if state.get("client") is not None:
            state["client"] = None
        return state

    # -- fitting ---------------------------------------------------------

    @staticmethod
    def _operators(names: Sequence[str] | None) -> list[str] | None:
        """Operator names as the engine takes them (it checks them)."""
        if names is None:
            return None
        if isinstance(names, str) or not all(isinstance(n, str) for n in names):
            raise ValueError(f"operators must be given as a list of names, not {names!r}")
        return list(names)

    def fit(self, X: npt.ArrayLike, y: npt.ArrayLike, sample_weight: npt.ArrayLike | None = None) -> Self:
        """Searches for a formula of y in the columns of X; returns self.

        ``sample_weight`` (one non-negative weight per row, not all zero)
        makes every loss the weighted RMSE sqrt(sum(w * (f - y)**2) / sum(w))
        and every fit of constants weighted least squares, so an integer
        weight counts as that many copies of its row. Rows of weight 0 are
        left out before the search: they cannot matter, not even by a formula
        failing on them. Equal weights are the search without weights."""
        # A failed fit must not leave the results of an earlier one behind.
        state: _WarmState | None = self.__dict__.get("_warm")
        previous: list[SymbolicRegressor] | None = self.__dict__.get("estimators_")
        for name in [k for k in vars(self) if k.endswith("_") and not k.startswith("__")] + [
            "_nodes",
            "_params",
            "_warm",
        ]:
            self.__dict__.pop(name, None)
        self._validate_params()
        y_columns = getattr(y, "columns", None)
        X, y = validate_data(self, X, y, dtype=np.float64, order="C", y_numeric=True, multi_output=True)
        y = np.ascontiguousarray(y, dtype=np.float64)
        if y.ndim == 2:
            return self._fit_outputs(np.asarray(X, dtype=np.float64), y, y_columns, previous, sample_weight)
        X, y, weights = _weighted_rows(np.asarray(X, dtype=np.float64), y, sample_weight)
        if not (self.warm_start and state is not None and state.fits(self.n_features_in_, bool(self.constants))):
            state = None
        names = self._feature_names()
        progress = _progress.Progress(names) if self.verbose else None
        options: dict[str, Any] = dict(
            max_complexity=int(self.max_complexity),
            beam_width=int(self.beam_width),
            precision_goal=float(self.precision_goal),
            use_trig=bool(self.use_trig),
            use_vek=bool(self.use_vek),
            complexity_penalty=self._penalty(),
            n_threads=self._threads(),
            time_limit=None if self.time_limit is None else float(self.time_limit),
            progress=None if progress is None else progress.report,
            tick=None if progress is None else progress.tick,
            constants=bool(self.constants),
            max_params=int(self.max_params),
            unary_operators=self._operators(self.unary_operators),
            binary_operators=self._operators(self.binary_operators),
            max_samples=None if self.max_samples is None else int(self.max_samples),
            seed=None if state is None else state.beam,
            memory_limit=None if self.memory_limit is None else int(self.memory_limit),
            weights=weights,
        )
        if self.client is not None:
            if not self.constants:
                raise ValueError("client needs constants=True: only the search with fitted constants runs on a cluster")
            from vek_math import _cluster

            if weights is not None:
                # The workers' replicas score unweighted rows: a weighted
                # search runs here, whole.
                if self.verbose:
                    _cluster.say("row weights: the search runs locally, not on the cluster\n")
            else:
                report = _cluster.verbose_report if self.verbose else None
                # The workers score on the rows the search runs on: past
                # max_samples, the engine's sample of them.
                rows = _search.sample_rows(len(y), self.max_samples)
                options["scorer"] = _cluster.ClusterScorer(
                    self.client,
                    np.ascontiguousarray(np.asarray(X, dtype=np.float64)[rows]),
                    np.ascontiguousarray(y[rows]),
                    min_work=_cluster.MIN_WORK,
                    report=report,
                )
        # Ctrl-C after the engine has returned keeps its result: everything
        # up to storing the fitted attributes runs in the block.
        with _search.KeepResult() as keep:
            try:
                result = _search.search(X, y, keep=keep, **options)
            finally:
                if progress is not None:
                    progress.close()
            best, stopped = result.best, result.stopped
            if best is None:
                if stopped == "interrupted":
                    raise KeyboardInterrupt
                if stopped == "time_limit":
                    raise TimeoutError(f"the time limit of {self.time_limit} s ran out before a formula was scored")
                if stopped == "memory":
                    raise MemoryError("the search ran out of memory before it scored a formula")
                if stopped == "cluster":
                    raise ConnectionError("the Dask cluster was lost before a formula was scored")
                raise _search.NoFormulaError("no formula could be scored on this data")
            earlier = [] if state is None else state.rescored(np.asarray(X), y, self._penalty(), weights)
            front = _front(list(result.front) + earlier)
            if not front:  # nothing with a loss to compare
                raise _search.NoFormulaError("no formula could be scored on this data")
            if result.validated and self.model_selection == "penalised":
                # Noisy observations: the engine's pick by cross-validation
                # stands, on the front in place of the row of its complexity.
                front = sorted(
                    [r for r in front if r.complexity != best.complexity] + [best], key=lambda r: r.complexity
                )
                selected = front.index(best)
            else:
                # The first of the lowest errors: the new search's best on a tie.
                best = min([best, *earlier], key=lambda r: (math.isnan(r.error), r.error))
                selected = self._select(front, best, y, _row_count(y, weights))
            shown = [_formula.shown_name(n) for n in names]
            nodes = [[tuple(node) for node in r.nodes] for r in front]
            params = [[float(p) for p in r.params] for r in front]
            equations = pd.DataFrame(
                {
                    "complexity": [int(r.complexity) for r in front],
                    "loss": [float(r.loss) for r in front],
                    "error": [float(r.error) for r in front],
                    "formula": [_formula.render(_formula.from_nodes(n), shown, p) for n, p in zip(nodes, params)],
                    "params": params,
                    "selected": [i == selected for i in range(len(front))],
                }
            )
            self._nodes, self._params, self.equations_, self.best_index_ = nodes, params, equations, selected
            self.formula_ = equations["formula"].iat[selected]
            self.stopped_ = stopped
            self._warm = _WarmState(self.n_features_in_, bool(self.constants), list(result.beam), front)
        if keep.interrupted and stopped is None:
            self.stopped_ = stopped = "interrupted"
        if stopped is not None:
            why = {
                "interrupted": "the search was interrupted",
                "memory": "the search ran out of memory",
                "time_limit": f"the search reached its time limit of {self.time_limit} s",
                "memory_limit": "the search reached its memory limit",
                "cluster": "the Dask cluster was lost",
            }.get(stopped, f"the search stopped ({stopped})")
            warnings.warn(
                f"{why} after {result.levels} levels; the estimator holds the best formula found "
                f"until then: {self.formula_}",
                SearchStoppedWarning,
                stacklevel=2,
            )
        return self

    def _fit_outputs(
        self,
        X: npt.NDArray[np.float64],
        y: npt.NDArray[np.float64],
        columns: Any,
        previous: list[SymbolicRegressor] | None,
        sample_weight: npt.ArrayLike | None,
    ) -> Self:
        """One search per column of a 2-D y (see the class's text); with
        ``warm_start``, each output continues its previous fit."""
        warm = self.warm_start and previous is not None and len(previous) == y.shape[1]
        names = [str(c) for c in columns] if columns is not None else [f"y{j}" for j in range(y.shape[1])]
        # Each output's regressor sees the features under their names.
        X_named = pd.DataFrame(X, columns=self.feature_names_in_) if hasattr(self, "feature_names_in_") else X
        estimators = []
        for j in range(y.shape[1]):
            est = previous[j].set_params(**self.get_params()) if warm and previous else clone(self)
            est.fit(X_named, y[:, j], sample_weight=sample_weight)
            estimators.append(est)
            if est.stopped_ == "interrupted":  # Ctrl-C stops the outputs still to come as well
                raise KeyboardInterrupt
        self.estimators_ = estimators
        self.target_names_ = names
        self.equations_ = [e.equations_ for e in estimators]
        self.formula_ = [e.formula_ for e in estimators]
        self.best_index_ = cast(Any, [e.best_index_ for e in estimators])
        self.stopped_ = next((e.stopped_ for e in estimators if e.stopped_ is not None), None)
        return self

    def _output(self, output: int | str) -> int:
        """The position of an output given by position or by name."""
        names = self.target_names_
        if isinstance(output, str):
            if output not in names:
                raise KeyError(f"no output named {output!r}; outputs: {names}")
            return names.index(output)
        j = operator.index(output)
        if not -len(names) <= j < len(names):
            raise IndexError(f"output {output} is out of range: the fit has {len(names)} outputs")
        return j % len(names)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        return tags

    def _select(
        self, front: list[_engine.Record], best: _engine.Record, y: npt.NDArray[np.float64], n: float | None = None
    ) -> int:
        """Index of the selected row of the front (see ``best_index_`` and
        ``model_selection``); n: the sample size (default: the rows of y)."""
        if self.model_selection != "penalised":
            losses = [float(r.loss) for r in front]
            complexities = [int(r.complexity) for r in front]
            exact = _EXACT * _rms(y)
            if self.model_selection == "accuracy":
                return _select.accuracy(losses, exact)
            if self.model_selection == "score":
                return _select.score(losses, complexities, exact)
            return _select.bic(losses, complexities, len(y) if n is None else n, exact)
        on_front = next((i for i, r in enumerate(front) if r.nodes == best.nodes and r.params == best.params), None)
        if not self.constants:
            if on_front is not None:
                return on_front
            errors = [float(r.error) for r in front]
        else:
            exact = _EXACT * _rms(y)
            errors = [_adjusted_error(r, len(y) if n is None else n, exact) for r in front]
        # The first of the lowest: the simplest on a tie (min keeps the first).
        return min(range(len(front)), key=lambda i: (math.isnan(errors[i]), errors[i]))

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

    # -- using the result ------------------------------------------------

    def predict(self, X: npt.ArrayLike, index: SupportsIndex | None = None) -> npt.NDArray[np.float64]:
        """The selected formula (or row ``index`` of ``equations_``) on every
        row of X, computed as the engine computes it; NaN where it fails (a
        logarithm of a number <= 0, a division by nearly 0, an overflow, ...).
        After a fit of several outputs, one column per output (``index``
        then picks that row of each output's front)."""
        check_is_fitted(self)
        estimators = getattr(self, "estimators_", None)
        rows = [self._row(index)] if estimators is None else [e._row(index) for e in estimators]
        data = np.asarray(validate_data(self, X, dtype=np.float64, order="C", reset=False))
        if estimators is None:
            return _search.evaluate(self._nodes[rows[0]], data, self._params[rows[0]])
        return np.column_stack(
            [_search.evaluate(e._nodes[i], data, e._params[i]) for e, i in zip(estimators, rows)]
        ).reshape(data.shape[0], len(estimators))

    def score(self, X: npt.ArrayLike, y: npt.ArrayLike, sample_weight: npt.ArrayLike | None = None) -> float:
        """R² of ``predict(X)`` against y. Raises ValueError when the formula
        is undefined on some rows of X (predict gives NaN there): a score
        of the other rows alone would hide that."""
        pred = self.predict(X)
        failed = int(np.count_nonzero(~np.isfinite(pred)))
        if failed:
            raise ValueError(
                f"the formula {self.formula_} is undefined on {failed} of {len(pred)} rows of X "
                f"(a logarithm of a number <= 0, a division by nearly 0, an overflow, ...), "
                f"so it has no score there"
            )
        score: float = r2_score(y, pred, sample_weight=sample_weight)
        return score

    @_each_output
    def sympy(
        self, index: SupportsIndex | None = None, *, guarded: bool = True, output: int | str | None = None
    ) -> SympyExpr:
        """The formula as a sympy expression. A feature is the symbol of its
        name where that is a plain identifier naming nothing in Python,
        math, numpy or sympy, x{i} otherwise (``symbols()`` lists them), so
        ``sympy.lambdify(model.symbols(), model.sympy())`` works for any
        column names; fitted constants are Floats of 17 significant digits,
        which hold their values exactly. The guards are part of it: where
        an operator rejects its operands (a division by a magnitude below
        1e-300, ln of a number <= 0, sqrt of a negative number, arcsin or
        arccos beyond [-1, 1], a power out of its domain) the expression is
        a Piecewise that is NaN, as ``predict`` is, and vek is the function
        ``vek(a, b)`` with the engine's exponential above 709.78 and its
        floor of ln(b) for b <= 0 (``.rewrite(sympy.Piecewise)`` writes them
        out; code printers print them), so ``sympy.lambdify`` (numpy by default) gives what
        ``predict`` gives on every row; the math module raises ValueError
        on some failing rows instead. A step that overflows is not guarded:
        there the lambdified function gives inf (or raises OverflowError
        with the math module) where ``predict`` gives NaN. ``guarded=False``
        gives the plain formula (vek as exp(a) - log(b)), as ``latex()``
        shows it, for comparing its form with others. Needs sympy."""
        return self._sympy(index, shortest=False, guarded=guarded)

    @_each_output
    def latex(self, index: SupportsIndex | None = None, *, output: int | str | None = None) -> str:
        """The formula in LaTeX (through sympy), with the feature names, and
        fitted constants in the shortest digits that identify them. It is
        the plain formula, without the guards that ``sympy()`` writes in:
        on the rows where ``predict`` gives numbers, they agree."""
        expr = self._sympy(index, shortest=True)
        import sympy

        latex_names = {
            sympy.Symbol(symbol): _latex_name(name) for symbol, name in zip(self._symbols(), self._feature_names())
        }
        text: str = sympy.latex(expr, symbol_names=latex_names, mul_symbol="dot")
        return text

    def _sympy(self, index: SupportsIndex | None, shortest: bool, guarded: bool = False) -> SympyExpr:
        from vek_math import _sympy

        check_is_fitted(self)
        i = self._row(index)
        return _sympy.expression(
            _formula.from_nodes(self._nodes[i]), self._symbols(), self._params[i], shortest=shortest, guarded=guarded
        )

    @_each_output
    def python_source(
        self,
        index: SupportsIndex | None = None,
        func_name: str = "f",
        *,
        ascii_only: bool = False,
        numpy: bool = False,
        output: int | str | None = None,
    ) -> str:
        """Source of a standalone function (standard library only) with one
        argument per feature, computing the formula as ``predict`` does.
        With ``numpy``, the vectorised form (needs numpy): one array per
        feature, broadcast together, and a float64 array out, equal to
        ``predict`` bit for bit (``numpy_function`` runs it)."""
        check_is_fitted(self)
        i = self._row(index)
        return _export.python_source(
            _formula.from_nodes(self._nodes[i]),
            self._feature_names(),
            self._params[i],
            func_name,
            ascii_only=ascii_only,
            numpy=numpy,
        )

    @_each_output
    def numpy_function(
        self, index: SupportsIndex | None = None, *, output: int | str | None = None
    ) -> Callable[[npt.ArrayLike], npt.NDArray[np.float64]]:
        """The formula as a vectorised function of X (rows of features, as
        ``predict`` takes them) that gives ``predict(X, index)`` bit for bit,
        NaN where the engine's evaluation fails; it needs numpy alone (its
        code is ``python_source(index, numpy=True)``)."""
        source = self.python_source(index, numpy=True)
        namespace: dict[str, Any] = {}
        exec(compile(source, "<vek_math formula>", "exec"), namespace)
        f = namespace["f"]
        n = self.n_features_in_

        def formula(X: npt.ArrayLike) -> npt.NDArray[np.float64]:
            X = np.asarray(X, dtype=np.float64)
            if X.ndim != 2 or X.shape[1] != n:
                raise ValueError(f"X must have {n} columns (one per feature), not shape {X.shape}")
            out: npt.NDArray[np.float64] = f(*(X[:, j] for j in range(n)))
            return out

        formula.__doc__ = f"{self._text(index, self._feature_names())} on every row of X."
        return formula

    @_each_output
    def jax(self, index: SupportsIndex | None = None, *, output: int | str | None = None) -> Callable[[Any], Any]:
        """The formula (with its guards, as ``sympy()`` writes it) as a
        function of a jax array X (rows of features), built by
        ``sympy.lambdify`` for jax. Needs sympy and jax
        (``pip install 'vek_math[jax]'``)."""
        return self._lambdified(index, "jax")

    @_each_output
    def torch(self, index: SupportsIndex | None = None, *, output: int | str | None = None) -> Callable[[Any], Any]:
        """The formula (with its guards, as ``sympy()`` writes it) as a
        function of a torch tensor X (rows of features), built by
        ``sympy.lambdify`` for torch. Needs sympy and torch
        (``pip install 'vek_math[torch]'``)."""
        return self._lambdified(index, "torch")

    def _lambdified(self, index: SupportsIndex | None, module: str) -> Callable[[Any], Any]:
        import importlib

        try:
            importlib.import_module(module)
        except ImportError as exc:
            raise ImportError(
                f"SymbolicRegressor.{module}() needs {module}; install it with: pip install 'vek_math[{module}]'",
                name=module,
            ) from exc
        import sympy

        f = sympy.lambdify(self.symbols(), self.sympy(index), modules=module)
        n = self.n_features_in_

        def formula(X: Any) -> Any:
            return f(*(X[:, j] for j in range(n)))

        return formula

    @_each_output
    def plot(self, ax: Any = None, *, output: int | str | None = None) -> Any:
        """The front as a picture: loss (RMSE, log scale) against
        complexity, the selected formula marked with a star and labelled;
        an exact fit (loss 0) is drawn a decade below the smallest positive
        loss. Draws into the matplotlib Axes ``ax``, or into a new Figure
        (no pyplot: it works without a display); returns the Axes (its
        ``.figure`` saves it). Needs matplotlib
        (``pip install 'vek_math[plot]'``)."""
        from vek_math import _plot

        check_is_fitted(self)
        eq = self.equations_
        return _plot.plot_front(
            [int(c) for c in eq["complexity"]],
            [float(v) for v in eq["loss"]],
            self.best_index_,
            self.formula_,
            ax=ax,
            title=f"Pareto front, selected by {self.model_selection!r}",
        )

    # -- helpers ---------------------------------------------------------

    def _text(self, index: SupportsIndex | None, shown: Sequence[str], pi: str = "π") -> str:
        """Formula text of row ``index`` with ``shown[i]`` for feature i and
        ``pi`` for the constant pi (for consoles that cannot show names or
        symbols as they are)."""
        i = self._row(index)
        return _formula.render(_formula.from_nodes(self._nodes[i]), shown, self._params[i], pi)

    def _feature_names(self) -> list[str]:
        if hasattr(self, "feature_names_in_"):
            return [str(n) for n in self.feature_names_in_]
        return [f"x{i}" for i in range(self.n_features_in_)]

    def _symbols(self) -> list[str]:
        """The sympy names of the features: the feature's own name where it
        is a usable identifier that names nothing in Python, math, numpy or
        sympy (so ``lambdify`` cannot mistake it for a function), x{i}
        otherwise; distinct."""
        return _export.identifiers(self._feature_names(), reserved=_shadowing())

    def symbols(self) -> list[Any]:
        """The sympy Symbols of the features, in feature order: the
        arguments for ``sympy.lambdify(model.symbols(), model.sympy())``."""
        import sympy

        check_is_fitted(self)
        return [sympy.Symbol(name) for name in self._symbols()]

    def _row(self, index: SupportsIndex | None) -> int:
        n = len(self._nodes)
        if index is None:
            return self.best_index_
        i = operator.index(index)
        if not -n <= i < n:
            raise IndexError(f"equation index {index} is out of range: equations_ has {n} rows")
        return i % n

"""The Pareto front of a fit as a picture: loss against complexity on a
logarithmic loss axis, the selected formula marked and labelled.

Built on a bare ``matplotlib.figure.Figure`` (no pyplot), so it works
without a display and leaves pyplot's state alone. Needs matplotlib
(``pip install 'vek_math[plot]'``).
"""

from __future__ import annotations

from typing import Any

__all__ = ["plot_front", "shown_losses"]

LINE_LABEL = "Pareto front"


def _matplotlib() -> Any:
    try:
        import matplotlib.figure
    except ImportError as exc:
        raise ImportError(
            "SymbolicRegressor.plot() needs matplotlib; install it with: pip install 'vek_math[plot]'",
            name="matplotlib",
        ) from exc
    return matplotlib.figure


def shown_losses(losses: list[float]) -> list[float]:
    """The losses as the picture places them: a log axis has no 0, so exact
    fits (loss 0) sit a decade below the smallest positive loss (at 1e-300
    when every loss is 0)."""
    positive = [loss for loss in losses if loss > 0]
    floor = min(positive) / 10 if positive else 1e-300
    return [loss if loss > 0 else floor for loss in losses]


def _plain(text: str) -> str:
    # A "$" would start matplotlib's math mode.
    return text.replace("$", r"\$")


def plot_front(
    complexities: list[int], losses: list[float], selected: int, formula: str, *, ax: Any = None, title: str = ""
) -> Any:
    """Draws the front into ``ax`` (a new figure's axes when None) and
    returns the axes: the front as a line with a dot per row, the selected
    row as a star labelled with its formula (in the legend and beside it)."""
    if ax is None:
        ax = _matplotlib().Figure(figsize=(6.4, 4.2), layout="constrained").subplots()
    else:
        _matplotlib()
    shown = shown_losses(losses)
    ax.plot(complexities, shown, marker="o", color="C0", label=LINE_LABEL)
    label = _plain(formula)
    ax.plot(
        [complexities[selected]],
        [shown[selected]],
        linestyle="none",
        marker="*",
        markersize=16,
        color="C3",
        label=f"selected: {label}",
    )
    # The label reaches toward the middle of the axis, so that it stays inside.
    right = complexities[selected] > (complexities[0] + complexities[-1]) / 2
    ax.annotate(
        label,
        (complexities[selected], shown[selected]),
        xytext=(-10 if right else 10, 10),
        textcoords="offset points",
        ha="right" if right else "left",
    )
    ax.set_yscale("log")
    ax.set_xlabel("complexity (nodes)")
    ax.set_ylabel("loss (RMSE)")
    if title:
        ax.set_title(_plain(title))
    ax.legend(loc="upper right")
    return ax

"""Pictures of fits and searches with matplotlib, imported only when one is drawn."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

import numpy as np

from velk._jumps import check_table
from velk._ppoly import ppeval

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from velk._jumps import JumpTable
    from velk._path import JumpPath
    from velk._select import Selection
    from velk._spline import JumpSpline


def axes(ax: Axes | None) -> Axes:
    if ax is None:
        import matplotlib.pyplot as plt

        return plt.gca()
    return ax


def draw_spline(spline: JumpSpline, ax: Axes | None, jumps: JumpTable | None = None) -> Axes:
    """The picture of `JumpSpline.plot`, with the intervals of `jumps` shaded."""
    if jumps is not None:
        check_table(spline, jumps)
    ax = axes(ax)
    y = spline._y.reshape(len(spline._x), -1)
    x0, x1 = float(spline._x[0]), float(spline._x[-1])
    edges = np.concatenate(([x0], spline._jumps, [x1]))
    for j in range(y.shape[1]):
        color, tag = f"C{j}", "" if y.shape[1] == 1 else f" {j}"
        if spline._nu == 0:
            ax.plot(spline.x, y[:, j], ".", color=color, alpha=0.35, ms=3, label="data" + tag)
        for k in range(len(edges) - 1):
            a, b = edges[k], edges[k + 1]
            n = max(8, int(800 * (b - a) / (x1 - x0)))  # x is strictly increasing
            t = np.linspace(a, b, n)
            if k < len(edges) - 2:
                t[-1] = np.nextafter(b, -np.inf)  # the left-hand limit at the jump
            v = ppeval(spline._breaks, spline._coefs, spline._dim, t, 0, spline._scale)[:, j]
            ax.plot(spline._out(t), v, "-", color=color, lw=1.8, label=None if k else "fit" + tag)
    for k, at in enumerate(spline.jumps):
        ax.axvline(at, color="0.4", ls=":", lw=1, label=None if k else "jumps")
    if jumps is not None:
        draw_intervals(jumps, ax)
    return ax


def draw_intervals(table: JumpTable, ax: Axes) -> None:
    """Each jump's interval shaded, its probability written above it at the top edge.

    Rows whose uncertainty is unknown (NaN) are left out rather than drawn as nothing: a
    span of NaN width would still take a legend entry.
    """
    top = ax.get_xaxis_transform()  # x in data units, y in axes units
    low, high = table.low, table.high
    known = ~np.isnan(table._fields["low"])
    labelled = False
    for k in np.flatnonzero(known):
        label = None if labelled else "95 % interval"
        # An edge, so that an interval of a single cut point still shows.
        ax.axvspan(low[k], high[k], color="C3", alpha=0.2, lw=1.5, label=label)
        labelled = True
        ax.text(table.position[k], 0.98, f"{table.probability[k]:.2f}", transform=top,
                ha="center", va="top", fontsize=7, color="C3")  # fmt: skip


def draw_scores(selection: Selection, ax: Axes | None) -> Axes:
    """The picture of `Selection.plot`."""
    ax = axes(ax)
    length = selection.smoothing_grid.copy()
    finite = np.isfinite(length) & (length > 0)
    top = 2.0 * length[finite].max() if finite.any() else 1.0
    length[np.isinf(length)] = top  # straight lines, at the right
    ok = (length > 0) & np.isfinite(selection.scores)
    ax.plot(length[ok], selection.scores[ok], "o", ms=4, color="C0", label="settings scored")
    for t, v, k in zip(length[ok], selection.scores[ok], selection.n_jumps[ok]):
        ax.annotate(str(k), (t, v), textcoords="offset points", xytext=(0, 5), ha="center",
                    fontsize=7)  # fmt: skip
    chosen = top if math.isinf(selection.smoothing) else selection.smoothing
    ax.plot([chosen], [selection.score], "o", mfc="none", ms=11, color="k", label="chosen")
    ax.set_xscale("log")
    ax.set_xlabel("smoothing length (units of x; right edge: straight lines)")
    ax.set_ylabel("score (numbers: jumps)")
    ax.legend(loc="best", fontsize="small")
    return ax


def draw_path(path: JumpPath, ax: Axes | None) -> Axes:
    """The picture of `JumpPath.plot`."""
    ax = axes(ax)
    edges = path.edges()
    ax.stairs(path.n_jumps, edges, baseline=None, color="C0", lw=1.8, label="optimal jumps")
    span = path.chosen_range
    if span is not None:
        ax.axvspan(*span, color="C1", alpha=0.15, lw=0, label="keeps the chosen count")
        ax.axvline(path.chosen_cost, color="k", ls="--", lw=1, label="chosen cost")
    ax.set_xscale("log")
    ax.set_xlim(edges[0], edges[-1])
    ax.set_xlabel("jump cost (units of the weighted residual sum of squares)")
    ax.set_ylabel("jumps")
    ax.legend(loc="best", fontsize="small")
    return ax

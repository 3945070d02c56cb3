"""Choosing how smooth the curve is and what a jump costs, and saying how sure that is."""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Sequence
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from velk._backend import fit_dict
from velk._cv import Folds, fold_score, resolve_folds
from velk._smoothing import (
    Setting,
    data_scales,
    lam_of_length,
    length_of_lam,
    merge_samples,
    segment_stats,
)
from velk._spline import FloatArray, JumpSpline, as_samples, ppeval
from velk._validate import (
    PRECONDITION,
    PRUNING,
    boolean,
    check_executor,
    check_n_jobs,
    option,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["Selection", "select"]

CRITERIA = ("reml", "cp", "cv")
# The search of smoothing lengths, in samples: a first grid from 1.5 samples to half
# the data, refined around its best; beyond it, a choice on the edge is searched
# further down to a quarter sample (nearly interpolation) or up to 4 times the data
# (nearly straight lines).
COARSE = 9
LOWEST, HIGHEST = 0.25, 4.0
# Jump costs of the cross-validation grid, in units of the noise variance.
CV_JUMP_COSTS = np.geomspace(4.0, 4000.0, 7)
CV_WINDOWS = 8


@dataclass(frozen=True, eq=False)
class Selection:
    """The outcome of `select`: the chosen fit, and what was searched to find it.

    Attributes
    ----------
    spline : JumpSpline
        The fit of all samples with the chosen setting.
    criterion : str
        How the settings were scored: "reml", "cp" or "cv" (see `select`).
    smoothing : float
        The chosen smoothing length, in units of x (as `fit` takes it).
    p, gamma : float
        The same setting in the terms of `fit`'s p and gamma.
    lam, jump_cost : float
        The same again as the fit minimises it: ``D + lam * R + jump_cost * jumps``.
    score : float
        Its score; smaller is better.
    noise : float
        Noise level estimated from the data, relative to delta (in units of y when delta
        is not given; the root mean square over the components of y).
    spacing : float
        Mean distance between neighbouring distinct x, the unit of the smoothing lengths
        of the default search.
    smoothing_grid, lam_grid, p_grid : ndarray, shape (n_s,)
        The smoothing settings searched, in the three terms.
    gamma_grid : ndarray, shape (n_s, n_g)
        The jump penalties searched with each of them.
    scores : ndarray, shape (n_s, n_g)
        The score of every setting; ``inf`` where it could not be scored.
    n_jumps : ndarray, shape (n_s, n_g)
        The number of jumps of the fit of all samples with each setting.
    edf : ndarray, shape (n_s, n_g)
        The degrees of freedom of each fit, summed over the components (NaN for "cv").
    edge : str or None
        None when the choice lies inside what was searched; otherwise which edge it sits
        on. An edge means the best setting may lie beyond: search further, or trust the
        choice less.
    """

    spline: JumpSpline
    criterion: str
    smoothing: float
    p: float
    gamma: float
    lam: float
    jump_cost: float
    score: float
    noise: float
    spacing: float
    smoothing_grid: FloatArray
    lam_grid: FloatArray
    p_grid: FloatArray
    gamma_grid: FloatArray
    scores: FloatArray
    n_jumps: npt.NDArray[np.int64]
    edf: FloatArray
    edge: str | None

    def __repr__(self) -> str:
        where = f", on the edge: {self.edge}" if self.edge else ""
        return (
            f"Selection({self.criterion}: smoothing={self.smoothing:.4g} (p={self.p:.6g}), "
            f"gamma={self.gamma:.4g}, {len(self.spline.jumps)} jumps, noise={self.noise:.4g}, "
            f"{self.scores.size} settings searched{where})"
        )

    def plot(self, ax: Axes | None = None) -> Axes:
        """Draw the score of every setting searched against its smoothing length.

        One line per column of `gamma_grid`; each point is labelled with the number of
        jumps of its fit, and the choice is circled.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; by default the current axes of pyplot.

        Returns
        -------
        matplotlib.axes.Axes
        """
        if ax is None:
            import matplotlib.pyplot as plt

            ax = plt.gca()
        length = self.smoothing_grid
        shown = np.isfinite(length) & (length > 0)
        order = np.argsort(length[shown])
        for j in range(self.scores.shape[1]):
            t = length[shown][order]
            v = self.scores[shown, j][order]
            label = None if self.scores.shape[1] == 1 else f"gamma column {j}"
            ax.plot(t, v, "o-", ms=3, lw=1, label=label)
            for tk, vk, k in zip(t, v, self.n_jumps[shown, j][order]):
                if np.isfinite(vk):
                    ax.annotate(
                        str(k),
                        (tk, vk),
                        textcoords="offset points",
                        xytext=(0, 4),
                        ha="center",
                        fontsize=7,
                    )
        if math.isfinite(self.smoothing) and self.smoothing > 0:
            ax.plot(
                [self.smoothing], [self.score], "o", mfc="none", ms=10, color="k", label="chosen"
            )
        ax.set_xscale("log")
        ax.set_xlabel("smoothing length (units of x)")
        ax.set_ylabel(f"{self.criterion} score (numbers: jumps)")
        return ax


class Problem(NamedTuple):
    """Everything a worker needs to score one setting."""

    x: FloatArray
    y: FloatArray
    delta: FloatArray | None
    w: FloatArray  # weights, 1 / delta**2
    xn: FloatArray  # the distinct abscissae in units of the mean spacing
    wn: FloatArray  # their merged weights in units of the mean weight
    lam_unit: float  # lam of a smoothing length of one sample
    sigma2: float  # noise variance, relative to delta
    jump_charge: float  # what the criterion charges a jump, in units of sigma2
    criterion: str
    folds: list[list[int]]
    pruning: str
    precondition: str


class Cell(NamedTuple):
    score: float
    n_jumps: int
    edf: float
    result: dict[str, Any] | None  # the fit of all samples, None when it failed


def roughness(res: dict[str, Any]) -> float:
    """The integral of f''**2 over the fit, summed over the components."""
    b, c, dim = res["breaks"], res["coefs"], int(res["dim"])
    x_unit, y_unit = res["scale"]
    h = np.repeat(np.diff(b), dim) / x_unit
    a2, b2 = c[:, 0], c[:, 1]
    r = float(np.sum(12.0 * a2 * a2 * h**3 + 12.0 * a2 * b2 * h**2 + 4.0 * b2 * b2 * h))
    return r * float(y_unit * y_unit) / float(x_unit) ** 3


def score_cell(pb: Problem, lam: float, jump_cost: float) -> Cell:
    """Fit all samples with one setting and score it: the unit of work of the search."""
    if not (jump_cost > 0.0 and lam >= 0.0):
        return Cell(math.inf, 0, math.nan, None)
    try:
        res = fit_dict(
            pb.x,
            pb.y,
            pb.delta,
            lam=lam,
            jump_cost=jump_cost,
            pruning=pb.pruning,
            precondition=pb.precondition,
        )
    except ValueError:
        return Cell(math.inf, 0, math.nan, None)
    k = len(res["discont"])
    if pb.criterion == "cv":
        d = np.ones(len(pb.x)) if pb.delta is None else pb.delta
        setting = Setting(lam, None, jump_cost, 0.0, 0.0)
        cv = fold_score(pb.x, pb.y, d, pb.folds, setting, pb.pruning, pb.precondition)
        return Cell(cv, k, math.nan, res)
    dim = int(res["dim"])
    f = ppeval(res["breaks"], res["coefs"], dim, pb.x, 0, res["scale"])
    rss = float(np.sum(pb.w[:, None] * (pb.y - f) ** 2))
    lam_n = lam / pb.lam_unit
    edf = logdet = 0.0
    for cell in res["interval_cell"]:
        seg = slice(int(cell[0]), int(cell[-1]) + 1)
        tr, ld = segment_stats(pb.xn[seg], pb.wn[seg], lam_n)
        edf += dim * tr
        logdet += dim * ld
    if pb.criterion == "cp":
        # Mallows' Cp with the smoother's degrees of freedom; a jump's position costs log m
        # on top of the freedom its new segment brings.
        score = rss / pb.sigma2 + 2.0 * edf + k * math.log(len(pb.xn))
    else:
        # Minus twice the restricted log-likelihood of the spline as a Gaussian process
        # (up to a constant), plus a BIC charge for each jump.
        prss = rss + (lam * roughness(res) if lam > 0.0 and math.isfinite(lam) else 0.0)
        score = prss / pb.sigma2 + logdet + k * pb.jump_charge
    return Cell(score, k, edf, res)


def process_pool(workers: int) -> Executor:
    """Worker processes started by a fork server where there is one: forking this process
    directly, once NumPy's threads run in it, can deadlock."""
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    methods = multiprocessing.get_all_start_methods()
    ctx = multiprocessing.get_context("forkserver") if "forkserver" in methods else None
    return ProcessPoolExecutor(max_workers=workers, mp_context=ctx)


class Progress:
    """A progress bar on stderr: tqdm when it is installed, a plain line otherwise."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total, self.done, self.enabled = total, 0, enabled
        self.bar: Any = None
        if enabled:
            try:
                from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
            except ImportError:
                self._line()
            else:
                self.bar = tqdm(total=total, desc="velk.select", unit="fit", file=sys.stderr)

    def _line(self) -> None:
        sys.stderr.write(f"\rvelk.select: {self.done}/{self.total} settings scored")
        sys.stderr.flush()

    def grow(self, k: int) -> None:
        """k more steps than announced: the search went on past its first grid."""
        self.total += k
        if self.bar is not None:
            self.bar.total = self.total
            self.bar.refresh()

    def update(self, k: int) -> None:
        self.done += k
        if self.bar is not None:
            self.bar.update(k)
        elif self.enabled:
            self._line()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.enabled:
            sys.stderr.write("\n")


def grid_of(values: npt.ArrayLike, name: str) -> FloatArray:
    g = np.atleast_1d(np.array(values, dtype=np.float64))
    if g.ndim != 1 or g.size == 0:
        raise ValueError(f"{name} must be a number or a non-empty 1-D sequence")
    return g


class Search:
    """The settings scored so far, scored in rounds (in parallel within a round)."""

    def __init__(self, pb: Problem, executor: Executor | None, bar: Progress) -> None:
        self.pb, self.executor, self.bar = pb, executor, bar
        self.cells: dict[tuple[float, float], Cell] = {}

    def run(self, settings: Sequence[tuple[float, float]]) -> None:
        todo = [s for s in dict.fromkeys(settings) if s not in self.cells]
        if self.executor is None:
            for lam, jc in todo:
                self.cells[(lam, jc)] = score_cell(self.pb, lam, jc)
                self.bar.update(1)
            return
        futures = [(s, self.executor.submit(score_cell, self.pb, *s)) for s in todo]
        for s, fut in futures:
            self.cells[s] = fut.result()
            self.bar.update(1)


def best_index(scores: FloatArray) -> tuple[int, int]:
    """Row and column of the smallest score, the first on ties (NaN never wins)."""
    flat = int(np.argmin(np.where(np.isnan(scores), np.inf, scores)))
    i, j = np.unravel_index(flat, scores.shape)
    return int(i), int(j)


def select(
    x: npt.ArrayLike | None,
    y: npt.ArrayLike,
    *,
    p: npt.ArrayLike | None = None,
    gamma: npt.ArrayLike | None = None,
    smoothing: npt.ArrayLike | None = None,
    delta: npt.ArrayLike | None = None,
    criterion: str = "reml",
    folds: Folds = 5,
    pruning: str = "functional",
    precondition: str = "none",
    executor: Executor | None = None,
    n_jobs: int | None = None,
    progress: bool = False,
) -> Selection:
    """Choose how smooth the curve is and what a jump costs, and fit with that choice.

    Parameters
    ----------
    x, y, delta, pruning, precondition
        As for `fit`.
    smoothing, p : float or array_like, optional
        Smoothing settings to try, as lengths in units of x or as p (give at most one of
        them). By default a search over smoothing lengths scaled to the data (Notes).
    gamma : float or array_like, optional
        Jump penalties to try with every smoothing setting. By default the penalty of
        the criterion (Notes); with "cv", a grid scaled to the noise.
    criterion : {"reml", "cp", "cv"}, optional
        How to score a setting (Notes). "reml" is the default.
    folds : int or sequence of array_like, optional
        For "cv": as for `cv_score`.
    executor : concurrent.futures.Executor, optional
        Scores settings in parallel, such as a ``ProcessPoolExecutor`` or a Dask
        client's ``get_executor()``. The fits hold the interpreter lock, so a thread pool
        gains nothing.
    n_jobs : int, optional
        Shortcut for a ``ProcessPoolExecutor`` with that many processes (-1: one per
        core), created and shut down here. Give either `executor` or `n_jobs`. As with
        any use of multiprocessing, a script that calls this needs the
        ``if __name__ == "__main__":`` guard.
    progress : bool, optional
        Show progress on stderr (with tqdm when it is installed).

    Returns
    -------
    Selection
        The fit, the choice, and every setting searched with its score.

    Raises
    ------
    ValueError
        For invalid data (as `fit`), fewer than three distinct x, or when no setting gives
        a finite score.

    Notes
    -----
    The noise level sigma is estimated first: every sample minus the straight line
    through its neighbours, divided by the standard deviation that difference would have
    under delta, is a pseudo-residual, and sigma is 1.4826 times their median absolute
    deviation, which the few pseudo-residuals at jumps do not disturb.

    "reml" treats the curve of each segment as a smooth random function, the prior that
    makes a smoothing spline the most likely curve, and scores a setting by the
    likelihood of the data under it: the fit's penalised residual sum of squares
    ``D + lam * R`` over sigma**2, plus the log-determinant of the covariance of the data
    the setting implies, which grows as the curve is allowed to be rougher. Each jump adds
    a segment whose level and slope (per component of y) are new parameters, and a
    position: like the Bayesian information criterion it is charged ``(2 * dim + 1) *
    log(m)`` for m distinct x, and the search for jumps uses that same cost. "cp" scores
    ``D / sigma**2 + 2 * edf`` (Mallows' Cp, with the degrees of freedom of the
    smoother), plus ``log(m)`` per jump. "cv" is the k-fold cross-validation score of
    `cv_score`.

    The default search tries smoothing lengths from 1.5 samples to half the data (times
    the mean spacing of x), then refines around the best; a best length at an end of the
    search is searched beyond it, down to a quarter sample, or up to four times the data
    and then straight lines between the jumps (``smoothing = inf``).
    "cv" instead scores a grid of 8 lengths times 7 jump costs, ``sigma**2`` times 4 to
    4000. An explicit grid is scored as given. `Selection.edge` says when the choice sits
    on an edge of what was searched.

    Examples
    --------
    >>> import numpy as np
    >>> import velk
    >>> rng = np.random.default_rng(1)
    >>> x = np.linspace(0.0, 100.0, 300)
    >>> y = np.cos(x / 15.0) + np.where(x > 40.0, 1.0, 0.0) + 0.05 * rng.standard_normal(300)
    >>> sel = velk.select(x, y)
    >>> print(np.round(sel.spline.jumps, 1))
    [40.]
    >>> sel.edge is None, sel.scores.shape == (len(sel.smoothing_grid), 1)
    (True, True)
    """
    if criterion not in CRITERIA:
        raise ValueError(f"criterion must be one of {', '.join(CRITERIA)}, got {criterion!r}")
    if p is not None and smoothing is not None:
        raise ValueError("give p or smoothing, not both")
    n_input = np.shape(y)[0] if np.ndim(y) else 0
    s = as_samples(x, y, delta)
    pruning = option("pruning", pruning, PRUNING)
    precondition = option("precondition", precondition, PRECONDITION)
    executor, n_jobs = check_executor(executor), check_n_jobs(n_jobs)
    progress = boolean("progress", progress)
    w = np.ones(len(s.x)) if s.delta is None else 1.0 / (s.delta * s.delta)
    sc = data_scales(s.x, s.y, w)
    if sc.m < 3:
        raise ValueError(f"select needs at least three distinct x values, got {sc.m}")
    fl = resolve_folds(folds, s, n_input)  # checked whatever the criterion
    sigma2 = float(np.mean(sc.noise**2))
    dim = s.y.shape[1]
    xm, _, wm = merge_samples(s.x, s.y, w)
    pb = Problem(
        s.x,
        s.y,
        s.delta,
        w,
        (xm - xm[0]) / sc.spacing,
        wm / sc.weight,
        lam_of_length(sc.spacing, sc.spacing, sc.weight),
        sigma2,
        (2 * dim + 1) * math.log(sc.m),
        criterion,
        fl,
        pruning,
        precondition,
    )

    # Smoothing settings as lam; None: the default, adaptive search.
    lams: FloatArray | None = None
    if smoothing is not None:
        lams = np.array(
            [lam_of_length(v, sc.spacing, sc.weight) for v in grid_of(smoothing, "smoothing")]
        )
    elif p is not None:
        pg = grid_of(p, "p")
        with np.errstate(divide="ignore", invalid="ignore"):
            lams = np.where((pg >= 0) & (pg <= 1), (1.0 - pg) / pg, -1.0)  # -1: unusable
    gammas = None if gamma is None else grid_of(gamma, "gamma")

    def jump_costs(lam: float) -> list[float]:
        pl = p_of(lam)
        if not pl >= 0.0:  # an unusable p: a cost that scores as unusable
            return [0.0] * (1 if gammas is None else len(gammas))
        if gammas is not None:
            return [float(g / pl) if pl > 0 else float(g) for g in gammas]
        if criterion == "cv":
            return [float(c) for c in sigma2 * CV_JUMP_COSTS]
        return [sigma2 * pb.jump_charge]

    def lam_of_window(b: float) -> float:
        return lam_of_length(b * sc.spacing, sc.spacing, sc.weight)

    if executor is not None and n_jobs is not None:
        raise ValueError("give executor or n_jobs, not both")
    own = None
    if executor is None and n_jobs is not None and n_jobs != 1:
        if n_jobs == -1:
            n_jobs = os.cpu_count() or 1
        if n_jobs < 1:
            raise ValueError(f"n_jobs must be a positive number or -1, got {n_jobs}")
        own = executor = process_pool(n_jobs)

    adaptive = lams is None and criterion != "cv"
    if lams is None:
        top = max(sc.m / 2.0, 3.0)
        windows = np.geomspace(1.5, top, COARSE if adaptive else CV_WINDOWS)
        lams = np.array([lam_of_window(b) for b in windows])
    first = [(float(lam), jc) for lam in lams for jc in jump_costs(float(lam))]
    bar = Progress(len(first) + (2 if adaptive else 0), progress)
    search = Search(pb, executor, bar)
    edge: str | None = None
    try:
        search.run(first)
        if adaptive:
            edge = refine(search, lams.tolist(), jump_costs, lam_of_window, sc.m, bar)
            lams = np.array(sorted({lam for lam, _ in search.cells}))
    finally:
        bar.close()
        if own is not None:
            own.shutdown(cancel_futures=True)

    costs = [jump_costs(float(lam)) for lam in lams]
    cells = [[search.cells[(float(lam), jc)] for jc in row] for lam, row in zip(lams, costs)]
    scores = np.array([[c.score for c in row] for row in cells])
    if not np.isfinite(scores).any():
        raise ValueError("no setting of the search gave a finite score")
    bi, bj = best_index(scores)
    if not adaptive:
        edge = grid_edge(bi, bj, scores.shape, "p" if p is not None else "smoothing")
    best = cells[bi][bj]
    assert best.result is not None  # a finite score has its fit
    lam, jc = float(lams[bi]), costs[bi][bj]
    p_grid = grid_of(p, "p") if p is not None else np.array([p_of(v) for v in lams])
    p_best = float(p_grid[bi])
    gamma_best = float(gammas[bj]) if gammas is not None else (jc * p_best if p_best > 0.0 else jc)
    gamma_grid = np.array(costs) * np.where(p_grid > 0, p_grid, 1.0)[:, None]
    if gammas is not None:
        gamma_grid = np.broadcast_to(gammas, gamma_grid.shape).copy()
    arrays = {
        "smoothing_grid": np.array([length_of_lam(v, sc.spacing, sc.weight) for v in lams]),
        "lam_grid": np.asarray(lams, dtype=np.float64),
        "p_grid": p_grid,
        "gamma_grid": gamma_grid,
        "scores": scores,
        "n_jumps": np.array([[c.n_jumps for c in row] for row in cells], dtype=np.int64),
        "edf": np.array([[c.edf for c in row] for row in cells]),
    }
    for a in arrays.values():
        a.flags.writeable = False
    return Selection(
        spline=JumpSpline(best.result, p_best, gamma_best, squeeze=s.squeeze, time_axis=s.axis),
        criterion=criterion,
        smoothing=length_of_lam(lam, sc.spacing, sc.weight),
        p=p_best,
        gamma=gamma_best,
        lam=lam,
        jump_cost=jc,
        score=float(scores[bi, bj]),
        noise=math.sqrt(sigma2),
        spacing=sc.spacing,
        edge=edge,
        **arrays,
    )


def refine(
    search: Search,
    lams: list[float],
    jump_costs: Any,
    lam_of_window: Any,
    m: int,
    bar: Progress,
) -> str | None:
    """Refine the default search around its best smoothing length, and follow a best
    length on an end of the search beyond it. Returns the edge the choice still sits on.

    There is one jump cost per length here, so the search is over lengths alone.
    """

    def ranked() -> tuple[list[float], int]:
        ls = sorted({lam for lam, _ in search.cells})
        sc = [search.cells[(lam, jump_costs(lam)[0])].score for lam in ls]
        return ls, int(np.argmin(np.where(np.isnan(sc), np.inf, sc)))

    ls, i = ranked()
    # Geometric midpoints with both neighbours.
    mids = [math.sqrt(ls[i] * ls[k]) for k in (i - 1, i + 1) if 0 <= k < len(ls)]
    bar.grow(len(mids) - 2)
    search.run([(lam, jump_costs(lam)[0]) for lam in mids])
    lowest, highest = lam_of_window(LOWEST), lam_of_window(HIGHEST * m)
    while True:
        ls, i = ranked()
        if i == 0 and ls[0] > lowest:
            nxt = max(ls[0] / 256.0, lowest)  # a quarter of the length
        elif i == len(ls) - 1 and not math.isinf(ls[-1]):
            # Straight lines between the jumps, the end of the scale, come last.
            nxt = min(ls[-1] * 256.0, highest) if ls[-1] < highest else math.inf
        else:
            break
        bar.grow(1)
        search.run([(nxt, jump_costs(nxt)[0])])
    return "the smallest smoothing length searched" if i == 0 else None


def p_of(lam: float) -> float:
    """p of lam: 0 for straight lines, NaN for the mark of an unusable p (lam < 0)."""
    return math.nan if lam < 0 else 0.0 if math.isinf(lam) else 1.0 / (1.0 + lam)


def grid_edge(i: int, j: int, shape: tuple[int, ...], name: str) -> str | None:
    """Which edges of a given grid the best cell (i, j) lies on, if the grid has a
    direction there to search."""
    where = []
    if shape[0] > 1 and i in (0, shape[0] - 1):
        where.append(f"the {'first' if i == 0 else 'last'} {name} of the grid")
    if shape[1] > 1 and j in (0, shape[1] - 1):
        where.append(f"the {'first' if j == 0 else 'last'} gamma of the grid")
    return " and ".join(where) or None

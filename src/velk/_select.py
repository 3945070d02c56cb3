"""Choosing how smooth the curve is and where it jumps, and saying how sure that is.

Every fit the search makes is scored by an approximate marginal likelihood
(`evidence`); the search itself walks smoothing lengths from nearly interpolating to
straight lines, coarse to fine, and runs the fits of one round in parallel threads.
"""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Sequence
from concurrent.futures import Executor, ThreadPoolExecutor
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from velk._backend import cancel_token, fit_dict
from velk._smoothing import noise_scale, terms_of
from velk._spline import FloatArray, JumpSpline, as_samples
from velk._time import as_length
from velk._validate import (
    PRECONDITION,
    PRUNING,
    boolean,
    check_executor,
    check_n_jobs,
    option,
    real,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["Selection", "select"]

# Smoothing lengths in samples: the coarse search doubles from the lowest up to straight
# lines; a choice at the lowest is followed further down, to nearly interpolating.
LOWEST, FLOOR = 0.25, 1.0 / 64
# Above this many samples a smoothing length is as stiff as straight lines over the data.
STIFF = 4.0
# The coarse search runs in rounds of this many lengths (in parallel), and stops once
# the score has been GIVE_UP worse than the best for two lengths in a row (the score's
# scale: twice a log-likelihood). Fixed, so that any executor scores the same settings.
ROUND = 4
GIVE_UP = 40.0


@dataclass(frozen=True, eq=False)
class Selection:
    """The outcome of `select`: the chosen fit, and what was searched to find it.

    Attributes
    ----------
    spline : JumpSpline
        The fit of all samples with the chosen setting.
    smoothing : float
        The chosen smoothing length, in units of x (seconds for datetime x; ``inf``:
        straight lines).
    jump_cost : float
        What a jump had to save, in units of the weighted residual sum of squares.
    p, gamma : float
        The same setting in the terms of `fit`'s p and gamma (rounded, or 0 and inf, where
        the units of x and y put them beyond a double).
    score : float
        Its score (smaller is better; see Notes of `select`).
    noise : float
        The noise level the chosen fit leaves, relative to delta (in units of y without
        delta; the root mean square over the components).
    spacing : float
        Mean distance between neighbouring distinct x: the unit of the smoothing lengths
        searched by default.
    edge : str or None
        None when the choice lies inside what was searched; "rough" when it is the
        least smooth setting searched (nearly interpolating, or the least of a given
        grid), "smooth" when it is the smoothest of a given grid. The best setting may then
        lie beyond: trust the choice less.
    smoothing_grid, jump_cost_grid, p_grid, gamma_grid, scores : ndarray, shape (k,)
        Every setting scored, ordered by smoothing length, and its score.
    n_jumps : ndarray of int, shape (k,)
        The number of jumps of each of those fits.
    edf : ndarray, shape (k,)
        Their degrees of freedom, summed over the segments and components.
    """

    spline: JumpSpline
    smoothing: float
    jump_cost: float
    p: float
    gamma: float
    score: float
    noise: float
    spacing: float
    edge: str | None
    smoothing_grid: FloatArray
    jump_cost_grid: FloatArray
    p_grid: FloatArray
    gamma_grid: FloatArray
    scores: FloatArray
    n_jumps: npt.NDArray[np.int64]
    edf: FloatArray

    def __repr__(self) -> str:
        where = f", on the {self.edge} edge of the search" if self.edge else ""
        return (
            f"Selection(smoothing={self.smoothing:.4g} (p={self.p:.4g}), "
            f"jump_cost={self.jump_cost:.4g}, {len(self.spline.jumps)} jumps, "
            f"noise={self.noise:.4g}, {len(self.scores)} settings scored{where})"
        )

    def plot(self, ax: Axes | None = None) -> Axes:
        """Draw the score of every setting scored against its smoothing length.

        Each point is labelled with the number of jumps of its fit; the choice is circled.
        Straight lines (an infinite length) are drawn at the right edge.

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
        length = self.smoothing_grid.copy()
        finite = np.isfinite(length) & (length > 0)
        top = 2.0 * length[finite].max() if finite.any() else 1.0
        length[np.isinf(length)] = top  # straight lines, at the right
        ok = (length > 0) & np.isfinite(self.scores)
        ax.plot(length[ok], self.scores[ok], "o", ms=4, color="C0", label="settings scored")
        for t, v, k in zip(length[ok], self.scores[ok], self.n_jumps[ok]):
            ax.annotate(str(k), (t, v), textcoords="offset points", xytext=(0, 5), ha="center",
                        fontsize=7)  # fmt: skip
        chosen = top if math.isinf(self.smoothing) else self.smoothing
        ax.plot([chosen], [self.score], "o", mfc="none", ms=11, color="k", label="chosen")
        ax.set_xscale("log")
        ax.set_xlabel("smoothing length (units of x; right edge: straight lines)")
        ax.set_ylabel("score (numbers: jumps)")
        ax.legend(loc="best", fontsize="small")
        return ax


class Problem(NamedTuple):
    """What every fit of one search shares (prepared samples, in the caller's units)."""

    x: FloatArray
    y: FloatArray
    delta: FloatArray  # the caller's, or the noise level found when none was given
    m: int  # distinct samples
    pruning: str
    precondition: str
    cancel: npt.NDArray[np.uint8]


class Cell(NamedTuple):
    """One setting scored."""

    length: float  # inf: straight lines
    jump_cost: float
    score: float
    n_jumps: int
    edf: float
    prss: float  # the penalised residual sum of squares, D + lam * R
    lam: float
    result: dict[str, Any] | None


def evidence(pb: Problem, res: dict[str, Any], jump_cost: float) -> float:
    """Minus twice the log marginal likelihood of a fit, approximately (smaller is better).

    Each segment's spline is the integrated Wiener process that its smoothing stands for,
    observed with the noise of the samples. The second differences of its samples then
    have a known covariance, and their likelihood (restricted to them, so that the
    segment's level and slope do not enter) is the penalised residual sum of squares prss
    over the noise variance, plus ``stats["logdet"]``, the log-determinant of that
    covariance relative to noise alone. The noise variance is profiled over all N values
    (prss / N), which keeps fits with different numbers of segments comparable whatever
    the units of y. Each segment's level and slope per component cost log m each, as in
    BIC (a unit-information prior), and each jump's position 2 log m, as in the modified
    BIC of change-point problems.
    """
    dim = int(res["dim"])
    n_values = pb.m * dim
    jumps = len(res["discont"])
    prss = float(res["F"][-1]) - jumps * jump_cost
    if not prss > 0.0:
        return math.inf  # interpolated: the noise variance would be 0
    log_m = math.log(pb.m)
    return (
        n_values * math.log(prss / n_values)
        + float(res["stats"]["logdet"])
        + 2 * dim * (jumps + 1) * log_m
        + 2 * jumps * log_m
    )


def score_cell(pb: Problem, length: float, jump_cost: float) -> Cell:
    """Fit all samples with one setting and score it: the unit of work of the search."""
    res = fit_dict(
        pb.x,
        pb.y,
        pb.delta,
        lam=math.inf if math.isinf(length) else None,
        length=None if math.isinf(length) else length,
        jump_cost=jump_cost,
        pruning=pb.pruning,
        precondition=pb.precondition,
        cancel=pb.cancel,
        stats=True,
    )
    prss = max(float(res["F"][-1]) - len(res["discont"]) * jump_cost, 0.0)
    return Cell(
        length,
        jump_cost,
        evidence(pb, res, jump_cost),
        len(res["discont"]),
        float(res["stats"]["edf"]),
        prss,
        float(res["lam"]),
        res,
    )


class Progress:
    """A progress bar on stderr: tqdm when it is installed, a plain line otherwise."""

    def __init__(self, enabled: bool) -> None:
        self.done, self.enabled = 0, enabled
        self.bar: Any = None
        if enabled:
            try:
                from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
            except ImportError:
                self._line()
            else:
                self.bar = tqdm(desc="velk.select", unit="fit", file=sys.stderr)

    def _line(self) -> None:
        sys.stderr.write(f"\rvelk.select: {self.done} settings scored")
        sys.stderr.flush()

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


class Search:
    """The settings scored so far; each round's fits run in parallel."""

    def __init__(self, pb: Problem, executor: Executor | None, bar: Progress) -> None:
        self.pb, self.executor, self.bar = pb, executor, bar
        self.cells: dict[tuple[float, float], Cell] = {}

    def run(self, settings: Sequence[tuple[float, float]]) -> None:
        todo = [s for s in dict.fromkeys(settings) if s not in self.cells]
        if self.executor is None or len(todo) < 2:
            futures = None
        else:
            futures = [self.executor.submit(score_cell, self.pb, *s) for s in todo]
        for k, s in enumerate(todo):
            self.cells[s] = score_cell(self.pb, *s) if futures is None else futures[k].result()
            self.bar.update(1)

    def best(self) -> Cell:
        return min(self.cells.values(), key=lambda c: (c.score, -c.length))


def noise_of(cell: Cell, m: int, dim: int) -> float:
    """The noise variance a fit leaves: prss over the number of its second differences,
    the restricted-likelihood estimate (unbiased where the spline model holds)."""
    contrasts = m * dim - 2 * dim * (cell.n_jumps + 1)
    return cell.prss / contrasts if contrasts > 0 else math.nan


def default_search(search: Search, h: float, span: float, cost: Any) -> str | None:
    """Smoothing lengths from LOWEST samples doubling up to straight lines, the best then
    refined, and searched further down while the least smooth keeps winning."""
    ladder = []
    b = LOWEST
    while b * h < STIFF * span:
        ladder.append(b * h)
        b *= 2.0
    ladder.append(math.inf)
    # In rounds, so that a search that has clearly passed its best spares the stiffest
    # (and dearest) fits.
    worse = 0
    for k in range(0, len(ladder), ROUND):
        search.run([(v, cost(v)) for v in ladder[k : k + ROUND]])
        best = search.best().score
        for v in ladder[k : k + ROUND]:
            worse = worse + 1 if search.cells[(v, cost(v))].score > best + GIVE_UP else 0
        if worse >= 2:
            break
    # Halve while the least smooth length scored wins; when a halving loses, the best
    # sits above the newest length and the search ends there.
    edge, lowest = None, LOWEST * h
    while search.best().length <= lowest * 1.0001:
        lowest = search.best().length / 2.0
        if lowest < FLOOR * h:
            edge = "rough"
            break
        search.run([(lowest, cost(lowest))])
    for step in (2.0**0.5, 2.0**0.25):
        b = search.best().length
        if math.isfinite(b):
            search.run([(b / step, cost(b / step)), (b * step, cost(b * step))])
    return edge


def grid_edge(best: float, grid: Sequence[float]) -> str | None:
    """Which end of a given grid of lengths the choice sits on, if any."""
    if len(set(grid)) < 2:
        return None
    if best == min(grid):
        return "rough"
    if best == max(grid) and math.isfinite(best):
        return "smooth"
    return None


def values(name: str, v: Any, low: float, high: float = math.inf) -> list[float]:
    """A number or a non-empty 1-D sequence of numbers in [low, high]."""
    a = np.atleast_1d(np.asarray(v, dtype=object))
    if a.ndim != 1 or a.size == 0:
        raise ValueError(f"{name} must be a number or a non-empty 1-D sequence")
    return [real(name, e, low=low, high=high) for e in a]


def select(
    x: npt.ArrayLike | None,
    y: npt.ArrayLike,
    *,
    delta: npt.ArrayLike | None = None,
    smoothing: Any = None,
    p: npt.ArrayLike | None = None,
    jump_cost: npt.ArrayLike | None = None,
    gamma: npt.ArrayLike | None = None,
    pruning: str = "functional",
    precondition: str = "none",
    executor: Executor | None = None,
    n_jobs: int | None = None,
    progress: bool = False,
) -> Selection:
    """Choose how smooth the curve is and where it jumps, and fit with that choice.

    Parameters
    ----------
    x, y, delta, pruning, precondition
        As for `fit`.
    smoothing, p : float or sequence, optional
        Smoothing settings to try instead of the default search: lengths in units of x
        (timedeltas for datetime x), or values of p. Give at most one of them.
    jump_cost, gamma : float or sequence, optional
        Jump costs to try with every smoothing setting, in units of the weighted residual
        sum of squares (`jump_cost`) or, with `p`, in the units of `fit`'s gamma. By
        default the cost of BIC (Notes).
    executor : concurrent.futures.Executor, optional
        Runs the fits of each round of the search; by default a pool of `n_jobs` threads
        (the fits release the interpreter lock). A ``ProcessPoolExecutor`` or a Dask
        client's ``get_executor()`` work too.
    n_jobs : int, optional
        Threads for the search when no executor is given (None or -1: one per core; 1: no
        threads). Give either `executor` or `n_jobs`.
    progress : bool, optional
        Show progress on stderr (with tqdm when it is installed).

    Returns
    -------
    Selection

    Raises
    ------
    ValueError
        For invalid data (as `fit`), fewer than three distinct x, or when no setting could
        be scored.

    Notes
    -----
    Every fit is scored by an approximation of its marginal likelihood: how probable the
    data are if each segment's curve is the random smooth function (an integrated Wiener
    process) that the smoothing length stands for, plus noise. Its terms are the misfit
    (the penalised residual sum of squares, the noise variance estimated from it), a
    log-determinant that charges a rough curve for the many shapes it could have taken,
    and, for every segment, ``log m`` per component for its level and again for its slope
    (BIC, m distinct samples), and for every jump ``2 log m`` for its position (the
    modified BIC of change-point problems). Smaller is better. The score does not depend
    on the units of x or y.

    The default search fits smoothing lengths from a quarter of the mean spacing h,
    doubling up to four times the span of x and then straight lines (stopping early once
    the scores have clearly passed their best), refines around the best, and follows a
    least smooth winner further down (to h/64). At each length the jumps are those of the
    fit whose jump cost is ``(2 dim + 1) log m`` times the noise variance, BIC's charge for
    a jump's level, slope and position. The noise variance is first estimated from the
    data (the median absolute deviation of each sample from the line through its
    neighbours), then from the best fit, around which the search runs once more. About
    20 fits in all, in parallel rounds.

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
    >>> sel.edge is None
    True
    """
    s = as_samples(x, y, delta)
    pruning = option("pruning", pruning, PRUNING)
    precondition = option("precondition", precondition, PRECONDITION)
    executor, n_jobs = check_executor(executor), check_n_jobs(n_jobs)
    progress = boolean("progress", progress)
    if executor is not None and n_jobs is not None:
        raise ValueError("give executor or n_jobs, not both")
    if p is not None and smoothing is not None:
        raise ValueError("give p or smoothing, not both")
    if gamma is not None and jump_cost is not None:
        raise ValueError("give gamma or jump_cost, not both")
    if gamma is not None and p is None:
        raise ValueError("gamma goes with p (gamma = p * jump_cost); give jump_cost")
    ps = None if p is None else values("p", p, 0.0, 1.0)
    if smoothing is None:
        lengths = None
    else:
        a = np.atleast_1d(np.asarray(smoothing, dtype=object))
        if a.ndim != 1 or a.size == 0:
            raise ValueError("smoothing must be a length or a non-empty 1-D sequence")
        lengths = [as_length(v, s.axis) for v in a]
    costs = None if jump_cost is None else values("jump_cost", jump_cost, 0.0)
    gammas = None if gamma is None else values("gamma", gamma, 0.0)
    dim = s.y.shape[1]

    # The prepared samples (sorted, merged where x repeats), from one cheap fit.
    cancel = cancel_token()
    base = fit_dict(s.x, s.y, s.delta, lam=0.0, jump_cost=math.inf, cancel=cancel)
    xp, yp, wp = base["x"], base["y"], base["w"]
    m = len(xp)
    if m < 3:
        raise ValueError(f"select needs at least three distinct x values, got {m}")
    h = float(xp[-1] - xp[0]) / (m - 1)
    span = float(xp[-1] - xp[0])
    sigma2 = float(np.mean(noise_scale(xp, yp, wp) ** 2))
    # Without delta the noise level found becomes delta: D then counts in units of the
    # noise variance whatever the units of y, and no cost or score leaves the doubles.
    # `unit` is the variance of that unit of D in the caller's terms.
    d = 1.0 / np.sqrt(wp)
    unit = 1.0
    if s.delta is None:
        unit, sigma2 = sigma2, 1.0
        d = d * math.sqrt(unit)
    pb = Problem(xp, yp, d, m, pruning, precondition, cancel)

    def bic(_: float) -> float:
        return float((2 * dim + 1) * math.log(m) * sigma2)

    own = None
    if executor is None and n_jobs != 1:
        workers = (os.cpu_count() or 1) if n_jobs in (None, -1) else int(n_jobs or 1)
        if workers > 1:
            own = executor = ThreadPoolExecutor(workers)
    bar = Progress(progress)
    search = Search(pb, executor, bar)
    chosen_p: dict[float, float] = {}  # the caller's p of a length, unrounded
    try:
        if ps is None and lengths is None:
            if costs is None:
                edge = default_search(search, h, span, bic)
                # Once more around the best, with the noise level it leaves.
                best = search.best()
                if math.isfinite(noise_of(best, m, dim)):
                    sigma2 = noise_of(best, m, dim)
                b = best.length
                near = [b] if math.isinf(b) else [b * 2.0**k for k in (-0.5, -0.25, 0, 0.25, 0.5)]
                search.run([(v, bic(v)) for v in near])
            else:
                edge = default_search(search, h, span, lambda v: costs[0] / unit)
                tried = sorted({c.length for c in search.cells.values()})
                search.run([(v, c / unit) for v in tried for c in costs])
        else:
            if ps is not None:
                w_mean = float(np.mean(1.0 / d**2))
                lengths = [length_of(q, unit, w_mean, h) for q in ps]
                chosen_p = dict(zip(lengths, ps))
            settings = []
            for k, v in enumerate(lengths):  # type: ignore[arg-type]
                if gammas is not None:
                    q = ps[k]  # type: ignore[index]
                    cs = [(g / q if q > 0.0 else g) / unit for g in gammas]
                elif costs is not None:
                    cs = [c / unit for c in costs]
                else:
                    cs = [bic(v)]
                settings += [(v, c) for c in cs]
            search.run(settings)
            edge = grid_edge(search.best().length, lengths)  # type: ignore[arg-type]
    except BaseException:
        cancel[0] = 1  # stops the fits still running in other threads
        raise
    finally:
        bar.close()
        if own is not None:
            own.shutdown(wait=True, cancel_futures=True)

    cells = sorted(search.cells.values(), key=lambda c: (c.length, c.jump_cost))
    if not any(math.isfinite(c.score) for c in cells):
        raise ValueError("no setting of the search could be scored")
    best = search.best()
    assert best.result is not None

    def terms(c: Cell) -> tuple[float, float]:
        q, g = terms_of(c.lam * unit, c.jump_cost * unit)
        if c.length in chosen_p:
            q = chosen_p[c.length]
        return q, g

    arrays = {
        "smoothing_grid": np.array([c.length for c in cells]),
        "jump_cost_grid": np.array([c.jump_cost * unit for c in cells]),
        "p_grid": np.array([terms(c)[0] for c in cells]),
        "gamma_grid": np.array([terms(c)[1] for c in cells]),
        "scores": np.array([c.score for c in cells]),
        "n_jumps": np.array([c.n_jumps for c in cells], dtype=np.int64),
        "edf": np.array([c.edf for c in cells]),
    }
    for a in arrays.values():
        a.flags.writeable = False
    p_best, gamma_best = terms(best)
    if gammas is not None and ps is not None:
        # The caller's own gamma, unrounded: the one of the grid that gives this cost.
        q = chosen_p[best.length]
        gamma_best = min(gammas, key=lambda g: abs((g / q if q > 0 else g) / unit - best.jump_cost))
    noise = noise_of(best, m, dim)
    return Selection(
        spline=JumpSpline(best.result, p_best, gamma_best, squeeze=s.squeeze, time_axis=s.axis),
        smoothing=best.length,
        jump_cost=best.jump_cost * unit,
        p=p_best,
        gamma=gamma_best,
        score=best.score,
        noise=math.sqrt(noise * unit) if math.isfinite(noise) else math.nan,
        spacing=h,
        edge=edge,
        **arrays,
    )


def length_of(p: float, unit: float, w_mean: float, h: float) -> float:
    """The smoothing length of p: lam = (1 - p) / p = length**4 * w / h in the caller's
    units (w the mean weight, h the mean spacing), in logarithms so that it stays a
    double; inf for p = 0, 0 for p = 1."""
    if p == 0.0:
        return math.inf
    if p == 1.0:
        return 0.0
    log_lam = math.log1p(-p) - math.log(p) - math.log(unit)  # in the fits' units of D
    return math.exp((log_lam + math.log(h) - math.log(w_mean)) / 4.0)

"""Choosing p and gamma by cross-validation over a grid."""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence
from concurrent.futures import Executor, as_completed
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from velk._backend import fit_dict, smoothing_of
from velk._cv import Folds, fold_score, resolve_folds
from velk._spline import FloatArray, JumpSpline, as_samples
from velk._validate import (
    PRECONDITION,
    PRUNING,
    boolean,
    check_executor,
    check_n_jobs,
    option,
)

__all__ = ["Selection", "select"]

# Default grids, in the data's own units (see `select`): smoothing window widths in
# samples and jump penalties in units of the noise energy of one sample.
WINDOWS = 8
JUMP_COSTS = np.geomspace(4.0, 4000.0, 7)


@dataclass(frozen=True, eq=False)
class Selection:
    """The outcome of `select`.

    Attributes
    ----------
    p, gamma : float
        The best pair: the smallest score of the grid (the first one on ties).
    score : float
        Its cross-validation score.
    spline : JumpSpline
        The fit of all samples with the best pair.
    p_grid : ndarray, shape (n_p,)
        The smoothing parameters tried.
    gamma_grid : ndarray, shape (n_p, n_gamma)
        The jump penalties tried with each ``p_grid[i]``.
    scores : ndarray, shape (n_p, n_gamma)
        Cross-validation score of every pair.
    spacing : float
        Mean distance between neighbouring samples, the unit of x of the default grid.
    noise : float
        Noise level estimated from the data, relative to delta (in units of y when delta
        is not given).
    """

    p: float
    gamma: float
    score: float
    spline: JumpSpline
    p_grid: FloatArray
    gamma_grid: FloatArray
    scores: FloatArray
    spacing: float
    noise: float

    def __repr__(self) -> str:
        return (
            f"Selection(p={self.p:.6g}, gamma={self.gamma:.6g}, score={self.score:.6g}, "
            f"grid {self.scores.shape[0]}x{self.scores.shape[1]}, "
            f"{len(self.spline.jumps)} jumps)"
        )


def merge_samples(
    x: FloatArray, y: FloatArray, w: FloatArray
) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Sorted distinct abscissae with the weighted mean rows and summed weights."""
    order = np.argsort(x, kind="stable")
    xs, ys, ws = x[order], y[order], w[order]
    first = np.concatenate(([True], xs[1:] != xs[:-1]))
    group = np.cumsum(first) - 1
    m = int(group[-1]) + 1
    wsum = np.bincount(group, weights=ws, minlength=m)
    ysum = np.zeros((m, y.shape[1]))
    np.add.at(ysum, group, ws[:, None] * ys)
    return xs[first], ysum / wsum[:, None], np.asarray(wsum, dtype=np.float64)


def data_scales(x: FloatArray, y: FloatArray, delta: FloatArray) -> tuple[float, float, float, int]:
    """Mean spacing h, typical delta, noise level and number m of distinct abscissae.

    The noise comes from pseudo-residuals: each sample minus the straight line through
    its two neighbours, scaled to unit variance under the model noise ``delta``. Their
    median absolute deviation ignores the few that straddle a jump or a sharp bend.
    """
    xm, ym, wm = merge_samples(x, y, 1.0 / (delta * delta))
    m = len(xm)
    if m < 3:
        raise ValueError(f"select needs at least three distinct x values, got {m}")
    h = float(xm[-1] - xm[0]) / (m - 1)
    typical = float(np.sqrt(m / np.sum(wm)))
    d = 1.0 / np.sqrt(wm)
    a = (xm[2:] - xm[1:-1]) / (xm[2:] - xm[:-2])
    b = 1.0 - a
    z = (a[:, None] * ym[:-2] + b[:, None] * ym[2:] - ym[1:-1]) / np.sqrt(
        (a * d[:-2]) ** 2 + d[1:-1] ** 2 + (b * d[2:]) ** 2
    )[:, None]
    mad = 1.4826 * np.median(np.abs(z - np.median(z, axis=0)), axis=0)
    rms = np.sqrt(np.mean(z * z, axis=0))
    noise = float(np.sqrt(np.sum(np.where(mad > 0, mad, rms) ** 2)))
    return h, typical, noise if noise > 0 else 1.0, m


def default_p_grid(h: float, typical: float, m: int) -> FloatArray:
    """p for smoothing windows of 1.5 to m/8 samples: (1 - p)/p = window**4 * h**3 / typical**2."""
    window = np.geomspace(max(6.0, m / 8.0), 1.5, WINDOWS)
    out: FloatArray = 1.0 / (1.0 + window**4 * (h**3 / typical**2))
    return out


def process_pool(workers: int) -> Executor:
    """Worker processes started by a fork server where there is one: forking this process
    directly, once NumPy's threads run in it, can deadlock."""
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    methods = multiprocessing.get_all_start_methods()
    ctx = multiprocessing.get_context("forkserver") if "forkserver" in methods else None
    return ProcessPoolExecutor(max_workers=workers, mp_context=ctx)


def score_row(
    x: FloatArray,
    y: FloatArray,
    delta: FloatArray,
    folds: list[list[int]],
    p: float,
    gammas: Sequence[float],
    pruning: str,
    precondition: str,
) -> list[float]:
    """Scores of one p with several gammas: the unit of work sent to an executor."""
    return [fold_score(x, y, delta, folds, p, float(g), pruning, precondition) for g in gammas]


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
                self.bar = tqdm(total=total, desc="velk.select", unit="pair", file=sys.stderr)

    def _line(self) -> None:
        sys.stderr.write(f"\rvelk.select: {self.done}/{self.total} (p, gamma) pairs scored")
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


def select(
    x: npt.ArrayLike | None,
    y: npt.ArrayLike,
    *,
    p: npt.ArrayLike | None = None,
    gamma: npt.ArrayLike | None = None,
    delta: npt.ArrayLike | None = None,
    folds: Folds = 5,
    pruning: str = "FPVI",
    precondition: str = "none",
    executor: Executor | None = None,
    n_jobs: int | None = None,
    progress: bool = False,
) -> Selection:
    """Choose p and gamma by cross-validation over a grid, and fit with the best pair.

    Parameters
    ----------
    x, y, delta, pruning, precondition
        As for `fit`.
    p : float or array_like, optional
        Smoothing parameters to try; by default a grid scaled to the data (Notes).
    gamma : float or array_like, optional
        Jump penalties to try with every p; by default a grid scaled to the data and to
        each p (Notes).
    folds : int or sequence of array_like, optional
        As for `cv_score`: the number of shuffled folds (seed 0) or the folds themselves.
    executor : concurrent.futures.Executor, optional
        Scores the grid in parallel, one task per p: a ``ProcessPoolExecutor``, or for
        example a Dask client's ``get_executor()``. The fits hold the interpreter lock, so
        a thread pool gains nothing.
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

    Raises
    ------
    ValueError
        For invalid data (as `fit`) or when no pair of the grid gives a finite score.

    Notes
    -----
    The default grids mean the same whatever the units of x and y. With h the mean
    spacing of the distinct abscissae, d the typical delta (``sqrt(m / sum(1/delta**2))``,
    1 without delta) and sigma the noise level, each p is written through a smoothing
    window of b samples, ``(1 - p) / p = b**4 * h**3 / d**2``, with b from m/8 (at least
    6) down to 1.5 samples in 8 geometric steps; that window is the width of the
    smoothing kernel the spline amounts to, measured in samples, so scaling x leaves it
    unchanged. Each gamma is ``p * sigma**2 * c`` with c from 4 to 4000 in 7 geometric
    steps: a jump must save as much energy as c samples of pure noise.

    sigma is estimated from the data: every sample minus the straight line through its
    neighbours, divided by the standard deviation that difference would have under the
    noise delta, gives a pseudo-residual; sigma is 1.4826 times their median absolute
    deviation (summed in squares over the components of y), which the few pseudo-residuals
    at jumps do not disturb. sigma is about 1 when delta is the true noise level.

    The score is that of `cv_score`, which does not predict held-out samples inside the
    gap of a jump: their side of the jump is unknown, and charging every jump its squared
    height would make a rough curve that follows a large jump look better than the jump.

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
    >>> sel.scores.shape
    (8, 7)
    """
    n_input = np.shape(y)[0] if np.ndim(y) else 0
    s = as_samples(x, y, delta)
    pruning = option("pruning", pruning, PRUNING)
    precondition = option("precondition", precondition, PRECONDITION)
    executor, n_jobs = check_executor(executor), check_n_jobs(n_jobs)
    progress = boolean("progress", progress)
    fl = resolve_folds(folds, s, n_input)
    d = np.ones(len(s.x)) if s.delta is None else s.delta
    h, typical, noise, m = data_scales(s.x, s.y, d)

    if p is None:
        p_grid = default_p_grid(h, typical, m)
    else:
        p_grid = np.atleast_1d(np.array(p, dtype=np.float64))
    if p_grid.ndim != 1 or p_grid.size == 0:
        raise ValueError("p must be a number or a non-empty 1-D sequence")
    if gamma is None:
        gamma_grid = p_grid[:, None] * noise**2 * JUMP_COSTS
    else:
        g = np.atleast_1d(np.array(gamma, dtype=np.float64))
        if g.ndim != 1 or g.size == 0:
            raise ValueError("gamma must be a number or a non-empty 1-D sequence")
        gamma_grid = np.broadcast_to(g, (len(p_grid), len(g))).copy()

    if executor is not None and n_jobs is not None:
        raise ValueError("give executor or n_jobs, not both")
    own = None
    if executor is None and n_jobs is not None and n_jobs != 1:
        if n_jobs == -1:
            n_jobs = os.cpu_count() or 1
        if n_jobs < 1:
            raise ValueError(f"n_jobs must be a positive number or -1, got {n_jobs}")
        own = executor = process_pool(n_jobs)

    scores = np.empty((len(p_grid), len(gamma_grid[0])))
    bar = Progress(scores.size, progress)
    args = (s.x, s.y, d, fl)
    opts = (pruning, precondition)
    try:
        if executor is None:
            for i, pi in enumerate(p_grid):
                for j, gj in enumerate(gamma_grid[i]):
                    scores[i, j] = score_row(*args, float(pi), [gj], *opts)[0]
                    bar.update(1)
        else:
            tasks = {
                executor.submit(score_row, *args, float(pi), gamma_grid[i].tolist(), *opts): i
                for i, pi in enumerate(p_grid)
            }
            for done in as_completed(tasks):
                scores[tasks[done]] = done.result()
                bar.update(len(gamma_grid[0]))
    finally:
        bar.close()
        if own is not None:
            own.shutdown(cancel_futures=True)

    if not np.isfinite(scores).any():
        raise ValueError("no (p, gamma) pair of the grid gave a finite cross-validation score")
    best = int(np.argmin(np.where(np.isnan(scores), np.inf, scores)))
    bi, bj = (int(k) for k in np.unravel_index(best, scores.shape))
    best_p, best_gamma = float(p_grid[bi]), float(gamma_grid[bi, bj])
    lam, jump_cost = smoothing_of(best_p, best_gamma)
    res = fit_dict(
        s.x, s.y, s.delta, lam=lam, jump_cost=jump_cost, pruning=pruning, precondition=precondition
    )
    for a in (p_grid, gamma_grid, scores):
        a.flags.writeable = False
    return Selection(
        p=best_p,
        gamma=best_gamma,
        score=float(scores[bi, bj]),
        spline=JumpSpline(res, best_p, best_gamma, squeeze=s.squeeze, time_axis=s.axis),
        p_grid=p_grid,
        gamma_grid=gamma_grid,
        scores=scores,
        spacing=h,
        noise=noise,
    )

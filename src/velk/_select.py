"""Choosing how smooth the curve is and where it jumps: `select`.

A pipeline of four steps: the problem (the prepared samples and their noise level), the
plan (which settings to score: the default search or the caller's grids), both in
`velk._plan`, the search (each fit scored by an approximate marginal likelihood,
`velk._score`, in parallel rounds, `velk._search`) and the result (`Selection`).
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterator
from concurrent.futures import Executor, ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from velk._jumps import JumpTable, empty_table, table_of
from velk._params import terms_of
from velk._path import JumpPath, PathProblem, path_of
from velk._plan import DEFAULT_NOISE, Options, Outcome, Plan, Task, ar1_best, auto_best, job_of
from velk._ppoly import FloatArray
from velk._progress import Progress
from velk._robust import em_weights
from velk._samples import read
from velk._score import noise_of
from velk._search import Cell, Search, drive
from velk._spline import JumpSpline
from velk._validate import boolean, check_executor, check_n_jobs

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["Selection", "select"]


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
    jumps : JumpTable
        Each jump of the chosen fit with a 95 % interval for its position, its size with
        a standard error, and the probability that a jump lies in that interval, at the
        noise level the fit leaves and under its noise model (NaN where that level is
        unknown, e.g. zero); each jump is charged BIC's cost at that noise level, or
        the chosen `jump_cost` where the caller gave the costs.
    noise_model : str
        The noise model of the chosen fit: "gaussian", "student-t" or "ar1". The
        settings above are those searched under it.
    nu : float
        The degrees of freedom of its t noise (``inf`` for Gaussian noise); `noise` is
        then the t's scale.
    iterations : int
        The reweighted fits the chosen t fit took after its first (0 for Gaussian noise).
    phi : float
        The lag-one correlation of its AR(1) noise (0 for the independent models);
        `noise` is then the noise's standard deviation, not that of its innovations.
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
    _table: LazyTable = field(repr=False)
    noise_model: str = "gaussian"
    nu: float = math.inf
    iterations: int = 0
    _path: PathProblem | None = field(default=None, repr=False)
    phi: float = 0.0

    @property
    def jumps(self) -> JumpTable:
        return self._table.get()

    def __repr__(self) -> str:
        where = f", on the {self.edge} edge of the search" if self.edge else ""
        model = f" (ar1, phi={self.phi:g})" if self.noise_model == "ar1" else ""
        model = model if math.isinf(self.nu) else f" (student-t, nu={self.nu:g})"
        return (
            f"Selection(smoothing={self.smoothing:.4g} (p={self.p:.4g}), "
            f"jump_cost={self.jump_cost:.4g}, {len(self.spline.jumps)} jumps, "
            f"noise={self.noise:.4g}{model}, {len(self.scores)} settings scored{where})"
            + ("" if len(self.jumps) == 0 else "\n" + repr(self.jumps))
        )

    def path(self, lo: float | None = None, hi: float | None = None) -> JumpPath:
        """Every optimal segmentation for the jump costs in [lo, hi] at the chosen
        smoothing: how stable the chosen number of jumps is.

        Parameters
        ----------
        lo, hi : float, optional
            The range of jump costs, in the units of `jump_cost`; by default a factor 10
            below and above it.

        Returns
        -------
        JumpPath
            The costs at which the optimal number of jumps changes, the number, fit
            energy and jump positions on each interval between them, and the interval
            that keeps the chosen number (``chosen_range``).

        Raises
        ------
        ValueError
            For a non-positive or infinite lo or hi, lo > hi, or a selection under
            Student-t or AR(1) noise.

        Notes
        -----
        At one smoothing, the cost of a segmentation is a line in the jump cost c, its
        energy plus c times its jumps, and the optimum is their lower envelope. The
        envelope is found by the CROPS recursion (Haynes, Eckley & Fearnhead 2017): fit
        at lo and hi; where the lines of two fits cross, fit once more; if that fit
        beats neither line, the count changes there, else search both sides. Counts
        that differ by one need no fit between them. It takes at most
        ``jumps(lo) - jumps(hi) + 2`` fits, one after another, of the samples that
        `select` prepared.

        Examples
        --------
        >>> import numpy as np
        >>> import velk
        >>> rng = np.random.default_rng(1)
        >>> x = np.linspace(0.0, 100.0, 300)
        >>> y = np.cos(x / 15.0) + np.where(x > 40.0, 1.0, 0.0) + 0.05 * rng.standard_normal(300)
        >>> path = velk.select(x, y).path()
        >>> path.n_jumps[path.at(path.chosen_cost)]
        np.int64(1)
        >>> bool(path.fits <= path.n_jumps[0] - path.n_jumps[-1] + 2)
        True
        """
        if self.noise_model == "ar1":
            raise ValueError("path() assumes independent noise: not available under AR(1) noise")
        if self._path is None:  # pragma: no cover - every other selection carries it
            raise ValueError("this selection keeps no samples for a path")
        return path_of(self._path, lo, hi)

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
        from velk._plot import draw_scores

        return draw_scores(self, ax)

    def plot_fit(self, ax: Axes | None = None) -> Axes:
        """Draw the chosen fit (as `JumpSpline.plot`) with each jump's 95 % interval
        shaded and its probability written above it.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; by default the current axes of pyplot.

        Returns
        -------
        matplotlib.axes.Axes
        """
        return self.spline.plot(ax, jumps=self.jumps)


@contextmanager
def executor_for(executor: Executor | None, n_jobs: int | None) -> Iterator[Executor | None]:
    """The caller's executor, or a pool of n_jobs threads (one per core by default) that
    lives as long as the search."""
    if executor is not None or n_jobs == 1:
        yield executor
        return
    workers = (os.cpu_count() or 1) if n_jobs in (None, -1) else int(n_jobs or 1)
    if workers < 2:
        yield None
        return
    pool = ThreadPoolExecutor(workers)
    try:
        yield pool
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def searched(
    t: Task, plan: Plan, executor: Executor | None, progress: bool
) -> tuple[Search, str | None]:
    """The search, run to its end; on any failure (Ctrl-C included) every fit still running
    in another thread is stopped."""
    bar = Progress(progress)
    search = Search(t.pb)
    try:
        edge = drive(search, plan.run(search), executor, bar)
    except BaseException:
        t.pb.cancel[0] = 1
        raise
    finally:
        bar.close()
    return search, edge


def selection_of(t: Task, plan: Plan, search: Search, edge: str | None) -> Selection:
    cells = sorted(search.cells.values(), key=lambda c: (c.length, c.jump_cost))
    if not any(math.isfinite(c.score) for c in cells):
        raise ValueError("no setting of the search could be scored")
    best = search.best()
    assert search.result is not None

    def terms(c: Cell) -> tuple[float, float]:
        q, g = terms_of(t.caller(c.lam), t.caller(c.jump_cost))
        return plan.chosen_p.get(c.length, q), g

    arrays = {
        "smoothing_grid": np.array([c.length for c in cells]),
        "jump_cost_grid": np.array([t.caller(c.jump_cost) for c in cells]),
        "p_grid": np.array([terms(c)[0] for c in cells]),
        "gamma_grid": np.array([terms(c)[1] for c in cells]),
        "scores": np.array([c.score for c in cells]),
        "n_jumps": np.array([c.n_jumps for c in cells], dtype=np.int64),
        "edf": np.array([c.edf for c in cells]),
    }
    for a in arrays.values():
        a.flags.writeable = False
    p_best, gamma_best = terms(best)
    if plan.gammas is not None:
        # The caller's own gamma, unrounded: the one of the grid that gives this cost.
        q = plan.chosen_p[best.length]
        gamma_best = min(
            plan.gammas, key=lambda g: abs(t.fits(g / q if q > 0 else g) - best.jump_cost)
        )
    t_noise, ar1 = math.isfinite(t.pb.nu), t.pb.phi is not None
    noise = best.scale if t_noise else noise_of(best.prss, t.pb.m, t.pb.dim, best.n_jumps)
    # In the caller's terms; none where a fit leaves no more than rounding could.
    level = 0.0 if noise <= t.pb.floor else math.sqrt(noise) * t.level
    # Straight lines are fitted without AR(1) noise (see score_cell).
    phi = t.pb.phi if math.isfinite(best.length) else None
    spline = JumpSpline._from_fit(search.result, t.data, p_best, gamma_best, "linear", phi)
    # The table weighs the samples as the fit did (under t noise, each by its EM weight), and
    # charges a jump the caller's cost, or BIC's in the noise variance the fit leaves, not in
    # the estimate the search set it with.
    em = em_weights(t.pb.samples, search.result, best.scale, t.pb.nu) if t_noise else 1.0
    cost = None if plan.bic else t.caller(best.jump_cost)
    return Selection(
        spline=spline,
        smoothing=best.length,
        jump_cost=t.caller(best.jump_cost),
        p=p_best,
        gamma=gamma_best,
        score=best.score,
        noise=level if math.isfinite(noise) else math.nan,
        spacing=t.h,
        edge=edge,
        _table=LazyTable(spline, level, t.data.samples.w * em, cost),
        **arrays,
        noise_model="student-t" if t_noise else "ar1" if ar1 else "gaussian",
        nu=t.pb.nu,
        iterations=best.iterations,
        _path=PathProblem(
            samples=t.data.samples,
            rescale=None if t.pb.samples is t.data.samples else t.level,
            unit=t.level * t.level,
            length=best.length,
            chosen=t.caller(best.jump_cost),
            pruning=t.pb.pruning,
            precondition=t.pb.precondition,
            axis=t.data.axis,
            nu=t.pb.nu,
        ),
        phi=t.pb.phi or 0.0,
    )


class LazyTable:
    """The jump table of a selection, made when first read: it costs a few percent of a
    fit, which callers that only want the spline (or many series) need not pay."""

    def __init__(self, spline: JumpSpline, level: float, w: FloatArray, cost: float | None) -> None:
        self.args = (spline, level, w, cost)
        self.table: JumpTable | None = None

    def get(self) -> JumpTable:
        if self.table is None:
            self.table = _jump_table(*self.args)
        return self.table


def _jump_table(spline: JumpSpline, level: float, w: FloatArray, cost: float | None) -> JumpTable:
    """The chosen fit's jumps at the noise level it leaves and under its noise model (none
    where that is not known: a fit that leaves only rounding, or interpolants), each
    charged the caller's jump cost (None: BIC's)."""
    if len(spline.jump_indices) and level > 0.0 and math.isfinite(level) and 0 <= spline.p < 1:
        return table_of(spline, level, w, None if cost is None else cost / level**2)
    return empty_table(spline, len(spline.jump_indices))


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
    noise: str | float = DEFAULT_NOISE,
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
    noise : {"gaussian", "student-t", "ar1", "auto"} or float, optional
        The noise model (any case). "gaussian": independent Gaussian noise.
        "student-t": independent Student-t noise, heavy-tailed (outliers), its degrees
        of freedom chosen from 2, 4, 8 and 16 by the score. "ar1": Gaussian AR(1) noise
        in sample order (autocorrelated, as `fit`'s phi), phi estimated from the data
        and profiled by the score; a number: AR(1) noise with that phi, as known.
        "auto" (the default): any of the named ones, whichever scores best; the others
        are first tried at the Gaussian search's choice and searched only where they win
        there (Notes). "white" is another name for "gaussian", "t" for "student-t".

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
    neighbours), then from the best fit, around which the search runs once more where
    that moves the jump cost by more than 1 %. About 20 fits in all, in parallel rounds.

    Under Student-t noise (``noise="student-t"`` or ``"auto"``) every setting is fitted by
    iteratively reweighted fits: each a fit of all samples with the smoothing and jump
    cost held fixed and weights ``(nu + dim) / (nu + r**2 / s**2)`` (r the sample's
    residual, s the t's scale, refitted each time), which never increases the t
    objective; the jumps, kept while the weights settle, are then searched for until that
    no longer lowers it, and are those of that last, exact fit. The score is then the t density's
    own (its normaliser included) in place of the Gaussian misfit, so that the models
    compare; the same search runs for every nu in 2, 4, 8, 16 and the best score wins, a
    few fits per setting for each nu. The jump table weighs the samples as the last fit did.

    Under AR(1) noise (``noise="ar1"`` or ``"auto"``) each segment's noise is a stationary
    AR(1) process in sample order, lag-one correlation phi (``phi**(dx / h)`` for uneven
    x), independent of the other segments'. The misfit is then ``e' Sigma^-1 e`` and the
    log-determinant gains that of the AR covariance, ``sum log(1 - phi_i**2)`` over each
    segment's intervals, so that the score compares with the independent models'. phi is
    first estimated from the robust variances of the second differences at lags 1 to 4,
    whose ratios follow from phi alone where the curve is locally linear (a jump spoils
    only a few of them), within [-0.95, 0.95]; then the search runs at the estimate and
    0.15 either side, within [0, 0.95], and the best score wins. The jump table is then
    that of the AR(1) model: its filter carries the noise with the curve.

    A model with a parameter of its own (nu, phi) is charged ``log m`` for it, as BIC
    charges any parameter, so that independent Gaussian noise does not lose to a nearly
    Gaussian t or a small phi by chance. ``noise="auto"`` runs the Gaussian search, then
    scores the other models at its choice, a fit each (side by side on the pool): t
    noise where the samples' misfits to their neighbours read as heavy-tailed, from the
    nu likeliest for them, walking on among 2, 4, 8, 16 while the score improves and
    then the length down from the choice, AR(1) noise at
    phi's estimate from the chosen length up, doubling while the score improves
    (correlated noise makes the Gaussian model's choice too rough), then phi profiled
    there. Only a model that beats the Gaussian's score there gets a full search, at the
    nu or phi found; its best setting then beats the Gaussian's too. A model that loses
    there is taken to lose everywhere: that is the approximation, and it makes "auto"
    cost well under twice a Gaussian search on independent noise.

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
    opts = Options.of(smoothing, p, jump_cost, gamma, pruning, precondition, noise)
    data = read(x, y, delta)
    executor, n_jobs = check_executor(executor), check_n_jobs(n_jobs)
    progress = boolean("progress", progress)
    if executor is not None and n_jobs is not None:
        raise ValueError("give executor or n_jobs, not both")
    with executor_for(executor, n_jobs) as pool:

        def run(nu: float, phi: float | None) -> Outcome:
            t, plan = job_of(data, opts, delta is not None, nu=nu, phi=phi)
            return (t, plan, *searched(t, plan, pool, progress))

        if opts.auto:
            outcomes = [auto_best(run(math.inf, None), opts, run, pool)]
        else:
            outcomes = [run(nu, None) for nu in opts.nus]
            if opts.ar1:
                outcomes.append(ar1_best(lambda phi: run(math.inf, phi), score_of, data, opts.phi))
    return selection_of(*min(outcomes, key=score_of))


def score_of(outcome: Outcome) -> float:
    return outcome[2].best().score

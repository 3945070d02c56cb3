"""Choosing how smooth the curve is and where it jumps: `select`.

A pipeline of four steps: the problem (the prepared samples and their noise level), the
plan (which settings to score: the default search or the caller's grids), the search
(each fit scored by an approximate marginal likelihood, `velk._score`, in parallel
rounds, `velk._search`) and the result (`Selection`).
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Iterator
from concurrent.futures import Executor, ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from velk._jumps import JumpTable, empty_table, table_of
from velk._params import length_of, terms_of
from velk._ppoly import FloatArray
from velk._robust import NUS
from velk._samples import Data, read
from velk._score import bic_cost, noise_of
from velk._search import (
    Cell,
    Problem,
    Progress,
    Search,
    Strategy,
    around,
    default_search,
    drive,
    grid_edge,
)
from velk._spline import JumpSpline
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
        noise level the fit leaves (NaN where that level is unknown, e.g. zero).
    noise_model : str
        The noise model of the chosen fit: "gaussian" or "student-t". The settings
        above are those searched under it.
    nu : float
        The degrees of freedom of its t noise (``inf`` for Gaussian noise); `noise` is
        then the t's scale.
    iterations : int
        The reweighted fits the chosen t fit took after its first (0 for Gaussian
        noise).
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

    @property
    def jumps(self) -> JumpTable:
        return self._table.get()

    def __repr__(self) -> str:
        where = f", on the {self.edge} edge of the search" if self.edge else ""
        model = "" if math.isinf(self.nu) else f" (student-t, nu={self.nu:g})"
        return (
            f"Selection(smoothing={self.smoothing:.4g} (p={self.p:.4g}), "
            f"jump_cost={self.jump_cost:.4g}, {len(self.spline.jumps)} jumps, "
            f"noise={self.noise:.4g}{model}, {len(self.scores)} settings scored{where})"
            + ("" if len(self.jumps) == 0 else "\n" + repr(self.jumps))
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


class Task(NamedTuple):
    """The problem and what the caller asked of it."""

    data: Data
    pb: Problem
    noise: float  # the noise level before any fit, in the fits' units (1 without delta)
    level: float  # the noise level that the fits' unit of D stands for, in units of y
    h: float  # mean spacing of the distinct x
    span: float

    def caller(self, v: float) -> float:
        """A quantity in units of D (a jump cost, lam) in the caller's terms (0 or inf
        where that is not a double)."""
        return v * self.level * self.level

    def fits(self, v: float) -> float:
        """And back."""
        return v / self.level / self.level


def noise_rms(levels: FloatArray) -> float:
    """The root mean square of per-component noise levels, without overflowing."""
    top = float(np.max(levels))
    if not 0.0 < top < math.inf:
        return 1.0
    return top * math.sqrt(float(np.mean((levels / top) ** 2)))


def task_of(
    data: Data,
    pruning: str,
    precondition: str,
    delta_given: bool,
    cancel: npt.NDArray[np.uint8] | None = None,
) -> Task:
    """The prepared samples, and without delta the noise level found as their delta: D then
    counts in noise variances whatever the units of y, and no cost or score leaves the
    doubles."""
    samples = data.samples
    m = len(samples.x)
    if m < 3:
        raise ValueError(f"select needs at least three distinct x values, got {m}")
    span = float(samples.x[-1] - samples.x[0])
    level = noise_rms(samples.noise_level())
    floor = noise_rms(samples.rounding_level())
    noise, unit_level = level, 1.0
    if not delta_given:
        samples = samples.rescaled(level)
        noise, unit_level, floor = 1.0, level, floor / level
    if cancel is None:
        cancel = np.zeros(1, dtype=np.uint8)
    pb = Problem(
        samples, m, data.dim, floor * floor, pruning, precondition, cancel, scale=noise * noise
    )
    return Task(data, pb, noise, unit_level, span / (m - 1), span)


class Plan(NamedTuple):
    """The settings to score, as a strategy run on a Search; with p given, the caller's
    value of each length."""

    run: Callable[[Search], Strategy]
    chosen_p: dict[float, float]
    gammas: list[float] | None


def values(name: str, v: Any, low: float, high: float = math.inf) -> list[float]:
    """A number or a non-empty 1-D sequence of numbers in [low, high]."""
    a = np.atleast_1d(np.asarray(v, dtype=object))
    if a.ndim != 1 or a.size == 0:
        raise ValueError(f"{name} must be a number or a non-empty 1-D sequence")
    return [real(name, e, low=low, high=high) for e in a]


def lengths_of(smoothing: Any, data: Data) -> list[float]:
    return [as_length(v, data.axis) for v in np.atleast_1d(np.asarray(smoothing, dtype=object))]


def default_plan(t: Task) -> Plan:
    """The default search at BIC's jump cost, then once more around the best with the
    noise level the best fit leaves."""
    pb = t.pb

    def run(search: Search) -> Strategy:
        edge = yield from default_search(search, t.h, t.span, bic_cost(pb.m, pb.dim, t.noise**2))
        best = search.best()
        # Under t noise the scale fitted with the curve, else the residual variance.
        left = (
            best.scale if math.isfinite(pb.nu) else noise_of(best.prss, pb.m, pb.dim, best.n_jumps)
        )
        cost = bic_cost(pb.m, pb.dim, max(left, pb.floor) if math.isfinite(left) else t.noise**2)
        yield [(v, cost) for v in around(best.length)]
        return edge

    return Plan(run, {}, None)


def cost_plan(t: Task, costs: list[float]) -> Plan:
    """The default search of lengths at the first cost, then every length it tried with
    every cost."""

    def run(search: Search) -> Strategy:
        edge = yield from default_search(search, t.h, t.span, costs[0])
        tried = sorted({c.length for c in search.cells.values()})
        yield [(v, c) for v in tried for c in costs]
        return edge

    return Plan(run, {}, None)


def grid_plan(
    t: Task,
    lengths: list[float],
    ps: list[float] | None,
    costs: list[float] | None,
    gammas: list[float] | None,
) -> Plan:
    """Every given smoothing with every given cost (or BIC's)."""
    pb = t.pb
    chosen_p = {}
    if ps is not None:
        w_mean = float(np.mean(t.data.samples.w))
        lengths = [length_of(q, w_mean, t.h) for q in ps]
        chosen_p = dict(zip(lengths, ps))
    settings = []
    for k, v in enumerate(lengths):
        if gammas is not None:
            q = ps[k]  # type: ignore[index]
            cs = [t.fits(g / q if q > 0.0 else g) for g in gammas]
        elif costs is not None:
            cs = costs
        else:
            cs = [bic_cost(pb.m, pb.dim, t.noise**2)]
        settings += [(v, c) for c in cs]

    def run(search: Search) -> Strategy:
        yield settings
        return grid_edge(search.best().length, lengths)

    return Plan(run, chosen_p, gammas)


# The degrees of freedom of the t noise each choice of `noise` tries; inf is Gaussian.
NOISE_MODELS = {
    "gaussian": (math.inf,),
    "student-t": NUS,
    "auto": (math.inf, *NUS),
}


class Options(NamedTuple):
    """What select is asked to search, checked once for every series it is given."""

    smoothing: Any  # the caller's lengths, converted per series (timedeltas for time axes)
    ps: list[float] | None
    costs: list[float] | None
    gammas: list[float] | None
    pruning: str
    precondition: str
    nus: tuple[float, ...] = (math.inf,)  # the noise models tried (inf: Gaussian)

    @classmethod
    def of(
        cls,
        smoothing: Any,
        p: Any,
        jump_cost: Any,
        gamma: Any,
        pruning: str,
        precondition: str,
        noise: str = "gaussian",
    ) -> Options:
        nus = NOISE_MODELS[option("noise", noise, tuple(NOISE_MODELS))]
        pruning = option("pruning", pruning, PRUNING)
        precondition = option("precondition", precondition, PRECONDITION)
        if p is not None and smoothing is not None:
            raise ValueError("give p or smoothing, not both")
        if gamma is not None and jump_cost is not None:
            raise ValueError("give gamma or jump_cost, not both")
        if gamma is not None and p is None:
            raise ValueError("gamma goes with p (gamma = p * jump_cost); give jump_cost")
        ps = None if p is None else values("p", p, 0.0, 1.0)
        costs = None if jump_cost is None else values("jump_cost", jump_cost, 0.0)
        gammas = None if gamma is None else values("gamma", gamma, 0.0)
        if smoothing is not None:
            a = np.atleast_1d(np.asarray(smoothing, dtype=object))
            if a.ndim != 1 or a.size == 0:
                raise ValueError("smoothing must be a length or a non-empty 1-D sequence")
        return cls(smoothing, ps, costs, gammas, pruning, precondition, nus)


def job_of(
    data: Data,
    opts: Options,
    delta_given: bool,
    cancel: npt.NDArray[np.uint8] | None = None,
    nu: float = math.inf,
) -> tuple[Task, Plan]:
    """The problem of one series under one noise model (t noise with nu degrees of
    freedom; inf: Gaussian), and the plan of its search (stopped by `cancel`)."""
    lengths = None if opts.smoothing is None else lengths_of(opts.smoothing, data)
    t = task_of(data, opts.pruning, opts.precondition, delta_given, cancel)
    t = t._replace(pb=t.pb._replace(nu=nu))
    fit_costs = None if opts.costs is None else [t.fits(c) for c in opts.costs]
    if opts.ps is None and lengths is None:
        plan = default_plan(t) if fit_costs is None else cost_plan(t, fit_costs)
    else:
        plan = grid_plan(t, lengths or [], opts.ps, fit_costs, opts.gammas)
    return t, plan


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
    t_noise = math.isfinite(t.pb.nu)
    noise = best.scale if t_noise else noise_of(best.prss, t.pb.m, t.pb.dim, best.n_jumps)
    # In the caller's terms; none where a fit leaves no more than rounding could.
    level = 0.0 if noise <= t.pb.floor else math.sqrt(noise) * t.level
    spline = JumpSpline._from_fit(search.result, t.data, p_best, gamma_best, "linear")
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
        _table=LazyTable(spline, level, t.data.samples.w),
        **arrays,
        noise_model="student-t" if t_noise else "gaussian",
        nu=t.pb.nu,
        iterations=best.iterations,
    )


class LazyTable:
    """The jump table of a selection, made when first read: it costs a few percent of a
    fit, which callers that only want the spline (or many series) need not pay."""

    def __init__(self, spline: JumpSpline, level: float, w: FloatArray) -> None:
        self.args = (spline, level, w)
        self.table: JumpTable | None = None

    def get(self) -> JumpTable:
        if self.table is None:
            self.table = _jump_table(*self.args)
        return self.table


def _jump_table(spline: JumpSpline, level: float, w: FloatArray) -> JumpTable:
    """The chosen fit's jumps at the noise level it leaves (none where that is not known:
    a fit that leaves only rounding, or lines and interpolants)."""
    if len(spline.jump_indices) and level > 0.0 and math.isfinite(level) and 0 < spline.p < 1:
        return table_of(spline, level, w)
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
    noise: str = "gaussian",
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
    noise : {"gaussian", "student-t", "auto"}, optional
        The noise model (any case). "gaussian": independent Gaussian noise.
        "student-t": independent Student-t noise, heavy-tailed (outliers), its degrees
        of freedom chosen from 2, 4, 8 and 16 by the score. "auto": either, whichever
        scores best. Each model tried runs a search of its own (Notes).

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

    Under Student-t noise (``noise="student-t"`` or ``"auto"``) every setting is fitted by
    iteratively reweighted exact fits: each a fit of all samples with the smoothing and jump
    cost held fixed and weights ``(nu + dim) / (nu + r**2 / s**2)`` (r the sample's
    residual, s the t's scale, refitted each time), which never increases the t
    objective; the jumps are those of the last fit. The score is then the t density's
    own (its normaliser included) in place of the Gaussian misfit, so that the models
    compare; the same search runs for every nu in 2, 4, 8, 16 (and Gaussian noise, for
    "auto") and the best score wins. It costs a few fits per setting, for each nu.

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
    outcome = None
    with executor_for(executor, n_jobs) as pool:
        for nu in opts.nus:
            t, plan = job_of(data, opts, delta is not None, nu=nu)
            search, edge = searched(t, plan, pool, progress)
            if outcome is None or search.best().score < outcome[2].best().score:
                outcome = (t, plan, search, edge)
    assert outcome is not None
    return selection_of(*outcome)

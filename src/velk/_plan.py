"""The first two steps of `select`: the problem (the prepared samples of one series and
their noise level, in the units the fits count in) and the plan (which settings to score:
the default search or the caller's grids)."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from concurrent.futures import Executor, ThreadPoolExecutor
from typing import Any, NamedTuple, TypeVar

import numpy as np
import numpy.typing as npt

from velk import _engine
from velk._ar1 import PHI_MAX, candidates, estimate_phi, level_factor, profile
from velk._params import length_of
from velk._ppoly import FloatArray
from velk._robust import NUS, likeliest_nu
from velk._samples import Data, grid_step
from velk._score import bic_cost, noise_charge, noise_of
from velk._search import (
    LOWEST,
    STIFF,
    Cell,
    Problem,
    Round,
    Search,
    Strategy,
    default_search,
    score_cell,
)
from velk._time import as_length
from velk._validate import PRECONDITION, PRUNING, option, real

T = TypeVar("T")


def around(length: float) -> list[float]:
    """The lengths searched once more around the best, with the noise level it leaves."""
    return (
        [length] if math.isinf(length) else [length * 2.0**k for k in (-0.5, -0.25, 0, 0.25, 0.5)]
    )


def grid_edge(best: float, grid: Sequence[float]) -> str | None:
    """Which end of a given grid of lengths the choice sits on, if any."""
    if len(set(grid)) < 2:
        return None
    if best == min(grid):
        return "rough"
    if best == max(grid) and math.isfinite(best):
        return "smooth"
    return None


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


def recording_floor(samples: _engine.Samples) -> float:
    """The noise level that recording the values alone makes, relative to delta: the
    doubles' rounding, or, where each component's values lie on a grid of step q (see
    `grid_step`), the rounding to that grid, whose error has the standard deviation
    q / sqrt(12) of a uniform one. Relative to the largest delta, where the grid's noise is
    the least part of a sample's."""
    y = samples.y
    steps = np.array([grid_step(y[:, j]) for j in range(y.shape[1])])
    rounding = noise_rms(samples.rounding_level())
    if not np.any(steps > 0.0):
        return rounding
    grid = noise_rms(steps) / math.sqrt(12.0) * math.sqrt(float(np.min(samples.w)))
    return max(rounding, grid) if math.isfinite(grid) else rounding  # weights past the doubles


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
    floor = recording_floor(samples)
    if delta_given and not 1e-150 < level < 1e150:
        # Costs and scores count in squares of this level: beyond the doubles' range.
        raise ValueError(
            f"the noise level is {level:.3g} times delta: select needs it between 1e-150 and "
            "1e150 (is delta in the units of y?)"
        )
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
    bic: bool = False  # the jump costs are BIC's, at some estimate of the noise variance


def values(name: str, v: Any, low: float, high: float = math.inf) -> list[float]:
    """A number or a non-empty 1-D sequence of numbers in [low, high]."""
    a = np.atleast_1d(np.asarray(v, dtype=object))
    if a.ndim != 1 or a.size == 0:
        raise ValueError(f"{name} must be a number or a non-empty 1-D sequence")
    return [real(name, e, low=low, high=high) for e in a]


def lengths_of(smoothing: Any, data: Data) -> list[float]:
    return [as_length(v, data.axis) for v in np.atleast_1d(np.asarray(smoothing, dtype=object))]


# The search runs once more only where the noise level the best fit leaves moves BIC's jump
# cost by more than this fraction. BIC's charge is itself an approximation, good to terms of
# order one noise variance against (2 dim + 1) log m of them, so a smaller change carries no
# information, yet at large m it would refit the dearest lengths to the same partitions
# (measured: 0.7 % at 10^5 samples and 0.1 % at 10^6, the five refits a third of select's time,
# every one the first pass's jumps and score).
COST_MOVES = 0.01


def default_plan(t: Task) -> Plan:
    """The default search at BIC's jump cost, then once more around the best with the
    noise level the best fit leaves, where that moves the cost."""
    pb = t.pb
    first = bic_cost(pb.m, pb.dim, t.noise**2)

    def again(best: Cell) -> Round:
        # Under t noise the scale fitted with the curve, else the residual variance.
        left = (
            best.scale if math.isfinite(pb.nu) else noise_of(best.prss, pb.m, pb.dim, best.n_jumps)
        )
        cost = bic_cost(pb.m, pb.dim, max(left, pb.floor) if math.isfinite(left) else t.noise**2)
        if abs(cost - first) <= COST_MOVES * first:
            return []
        return [(v, cost) for v in around(best.length)]

    def run(search: Search) -> Strategy:
        edge = yield from default_search(search, t.h, t.span, first, then=again)
        rest = again(search.best())
        if rest:
            yield rest
        return edge

    return Plan(run, {}, None, bic=True)


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

    return Plan(run, chosen_p, gammas, bic=costs is None and gammas is None)


# The degrees of freedom of the t noise each choice of `noise` tries (inf is Gaussian),
# and whether it tries AR(1) noise.
NOISE_MODELS: dict[str, tuple[tuple[float, ...], bool]] = {
    "gaussian": ((math.inf,), False),
    "student-t": (NUS, False),
    "ar1": ((), True),
    "auto": ((math.inf, *NUS), True),
}
NOISE_ALIASES = {"white": "gaussian", "t": "student-t"}  # the names users also know them by
# Real records seldom have independent Gaussian noise: by default the score chooses.
DEFAULT_NOISE = "auto"


def noise_model(noise: object, name: str = "noise") -> str:
    """The canonical name of a noise model given by any of its names, in any case."""
    found = option(name, noise, (*NOISE_MODELS, *NOISE_ALIASES))
    return NOISE_ALIASES.get(found, found)


class Options(NamedTuple):
    """What select is asked to search, checked once for every series it is given."""

    smoothing: Any  # the caller's lengths, converted per series (timedeltas for time axes)
    ps: list[float] | None
    costs: list[float] | None
    gammas: list[float] | None
    pruning: str
    precondition: str
    nus: tuple[float, ...] = (math.inf,)  # the noise models tried (inf: Gaussian)
    ar1: bool = False  # and AR(1) noise, phi profiled around its estimate
    phi: float | None = None  # or at this phi, given by the caller
    auto: bool = False  # the other models only where they beat the Gaussian (`auto_best`)

    @classmethod
    def of(
        cls,
        smoothing: Any,
        p: Any,
        jump_cost: Any,
        gamma: Any,
        pruning: str,
        precondition: str,
        noise: object = DEFAULT_NOISE,
    ) -> Options:
        phi, auto = None, False
        if isinstance(noise, str):
            auto = noise_model(noise) == "auto"
            nus, ar1 = NOISE_MODELS[noise_model(noise)]
        else:  # AR(1) noise of a known correlation
            phi = real("noise", noise)
            if not -1.0 < phi < 1.0:
                raise ValueError(f"noise as phi must satisfy -1 < phi < 1, got {phi:g}")
            nus, ar1 = (), True
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
        return cls(smoothing, ps, costs, gammas, pruning, precondition, nus, ar1, phi, auto)


def ar1_best(
    run: Callable[[float], T], score: Callable[[T], float], data: Data, phi: float | None
) -> T:
    """The best of `run` under AR(1) noise for one series: at the caller's phi, else
    profiled around the series' estimate."""
    if phi is not None:
        return run(phi)
    return profile(run, score, candidates(estimate_phi(data.samples.x, data.samples.y)))


def under(t: Task, nu: float, phi: float | None) -> Task:
    """The same problem under another noise model."""
    t = t._replace(pb=t.pb._replace(nu=nu, phi=phi))
    if phi is not None:
        t = t._replace(noise=t.noise * level_factor(phi))
    return t


def job_of(
    data: Data,
    opts: Options,
    delta_given: bool,
    cancel: npt.NDArray[np.uint8] | None = None,
    nu: float = math.inf,
    phi: float | None = None,
) -> tuple[Task, Plan]:
    """The problem of one series under one noise model (t noise with nu degrees of
    freedom, inf: Gaussian; or AR(1) noise with lag-one correlation phi), and the plan of
    its search (stopped by `cancel`)."""
    lengths = None if opts.smoothing is None else lengths_of(opts.smoothing, data)
    t = under(task_of(data, opts.pruning, opts.precondition, delta_given, cancel), nu, phi)
    fit_costs = None if opts.costs is None else [t.fits(c) for c in opts.costs]
    if opts.ps is None and lengths is None:
        plan = default_plan(t) if fit_costs is None else cost_plan(t, fit_costs)
    else:
        plan = grid_plan(t, lengths or [], opts.ps, fit_costs, opts.gammas)
    return t, plan


Outcome = tuple[Task, Plan, Search, "str | None"]


Model = tuple[float, "float | None"]  # (nu, phi) as `job_of` takes them


# A walk is past its best once a score is this much above the best: the stiff lengths of
# a plateau differ by far less, a halving past the best costs far more.
PAST = 1.0


class Screen:
    """Scores of the other noise models at a Gaussian search's choice, a fit each."""

    def __init__(self, gauss: Outcome, opts: Options) -> None:
        self.t, self.plan, self.search, _ = gauss
        self.best = self.search.best()
        self.opts = opts
        # Only the default search's lengths are walked: a caller's grid stays the caller's.
        self.free = opts.smoothing is None and opts.ps is None
        # Lines have no AR(1) rows, and t noise no reason to prefer them: where the
        # Gaussian chose lines, the stiffest finite length scored stands in.
        finite = [c.length for c in self.search.cells.values() if math.isfinite(c.length)]
        self.length = (
            self.best.length if math.isfinite(self.best.length) or not finite else max(finite)
        )

    def at(self, nu: float, phi: float | None, length: float) -> float:
        """One model's score at a length, with BIC's jump cost at its own noise level
        where the search charges BIC's, else the Gaussian's chosen cost."""
        m = under(self.t, nu, phi)
        cost = bic_cost(m.pb.m, m.pb.dim, m.noise**2) if self.plan.bic else self.best.jump_cost
        return score_cell(m.pb, length, cost)[0].score

    def t_models(self) -> dict[Model, float]:
        """t noise at the chosen length where the samples' misfits to their neighbours
        read as heavy-tailed (`likeliest_nu` finite; else none), nu walked from the value
        likeliest for them towards lighter tails while the score improves (inf, the
        Gaussian model, is scored already), else towards heavier ones. From the Gaussian
        end alone, a series with a few large outliers would stop at once: the Gaussian
        fit isolates each between two jumps, which beats a nearly Gaussian t but not a
        heavy one."""
        nus = [*sorted(v for v in self.opts.nus if math.isfinite(v)), math.inf]
        start = likeliest_nu(self.t.pb.samples)
        if start not in nus[:-1]:
            return {}
        k = nus.index(start)
        scores = {len(nus) - 1: self.best.score}

        def score(j: int) -> float:
            if j not in scores:
                scores[j] = self.at(nus[j], None, self.best.length)
            return scores[j]

        for step in (1, -1):
            j = k
            while 0 <= j + step < len(nus) and score(j + step) < score(j):
                j += step
            if j != k:
                break
        out: dict[Model, float] = {(nus[j], None): v for j, v in scores.items() if j < len(nus) - 1}
        if self.free:
            # Heavy tails read without a fit: the Gaussian fit may have spent jumps on
            # isolating outliers, and its choice of length with them. Down-weighted, they
            # leave a rougher curve to follow, so the length halves until the score is
            # clearly past its best (where segments are shorter than the length, the
            # scores of stiffer lengths tie: the walk crosses such a plateau).
            nu = min(out, key=lambda mv: out[mv])[0]
            length = self.length
            best = out[nu, None] if length == self.best.length else self.at(nu, None, length)
            while length / 2.0 >= LOWEST * self.t.h:
                length /= 2.0
                here = self.at(nu, None, length)
                if here > best + PAST:
                    break
                best = min(best, here)
            out[nu, None] = min(out[nu, None], best)
        return out

    def ar1(self) -> dict[Model, float]:
        """AR(1) noise: the Gaussian model reads correlated noise as curve, so the AR(1)
        model's own length is stiffer than the Gaussian's choice. The length walks up
        from it, doubling, at phi's estimate while the score improves (in the default
        search); phi is then profiled at the length reached."""
        length = self.length
        if not math.isfinite(length):
            return {}
        # phi = 0 is the Gaussian model, charged for phi, at its best whatever the length.
        gauss_charged = self.best.score + noise_charge(self.t.pb.m)
        out: dict[tuple[float, float], float] = {}

        def one(phi: float, v: float) -> float:
            if (phi, v) not in out:
                out[phi, v] = self.at(math.inf, phi, v) if phi > 0.0 else gauss_charged
            return out[phi, v]

        est = estimate_phi(self.t.data.samples.x, self.t.data.samples.y)
        phi = round(min(max(est, 0.0), PHI_MAX), 4)
        while self.free and phi > 0.0 and length * 2.0 < STIFF * self.t.span:
            if one(phi, 2.0 * length) >= one(phi, length):
                break
            length *= 2.0
        phi = profile(lambda q: (one(q, length), q), lambda r: r[0], candidates(est))[1]
        return {(math.inf, phi): out[phi, length]}


def auto_best(
    gauss: Outcome,
    opts: Options,
    run: Callable[[float, float | None], Outcome],
    pool: Executor | None = None,
) -> Outcome:
    """`noise="auto"`: the best of the Gaussian search `gauss` and a full search (`run`)
    under the one other model that beats it at the Gaussian's choice, if any.

    Each model's own parameter is chosen there first, at one fit per value (t noise and
    AR(1) noise side by side on a thread pool): see `Screen`. A model that scores better
    there (its charge for that parameter included) has a best setting that beats the
    Gaussian's, so its full search serves only to find that setting; a model that does
    not is taken to lose everywhere. That is where this differs from searching every
    model in full, at 20 to 50 times the cost.
    """
    screen = Screen(gauss, opts)
    try:
        ar1 = pool.submit(screen.ar1) if isinstance(pool, ThreadPoolExecutor) else None
        scored = screen.t_models()
        scored.update(screen.ar1() if ar1 is None else ar1.result())
    except BaseException:
        screen.t.pb.cancel[0] = 1  # stops the other screen's fit
        raise
    if not scored or min(scored.values()) >= screen.best.score:
        return gauss
    other = run(*min(scored, key=lambda k: scored[k]))
    return other if other[2].best().score < screen.best.score else gauss

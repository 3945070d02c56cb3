"""The search of `select`: the settings it scores, in parallel rounds, and the ways it walks
through smoothing lengths."""

from __future__ import annotations

import functools
import math
import threading
from collections.abc import Callable, Generator, Iterator, Sequence
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from velk import _engine
from velk._ar1 import rounding_rows
from velk._params import smoothing_of
from velk._progress import Progress
from velk._robust import t_evidence, t_fit
from velk._score import evidence, noise_charge

__all__ = [
    "Cell",
    "Problem",
    "Round",
    "Search",
    "Strategy",
    "default_search",
    "drive",
]

# Smoothing lengths in samples: the coarse search doubles from the lowest up to straight
# lines; a choice at the lowest is followed further down, to nearly interpolating.
LOWEST, FLOOR = 0.25, 1.0 / 64
# Above this many spans a smoothing length is as stiff as straight lines over the data.
STIFF = 4.0
# The coarse search runs in rounds of this many lengths (in parallel), and stops at the
# first length that leaves the score GIVE_UP worse than the best for two lengths in a row,
# or twice that for one (the score's scale: twice a log-likelihood; past the best the
# lengths only get stiffer and dearer, and a fit that much worse has already bent by
# jumping). The stiffer lengths of its round are then dropped, their fits stopped, so the
# lengths scored do not depend on how the rounds are cut, nor on the executor.
ROUND = 2
GIVE_UP = 40.0


class Problem(NamedTuple):
    """What every fit of one search shares."""

    samples: _engine.Samples  # D counts in noise variances where the caller gave no delta
    m: int  # distinct samples
    dim: int
    floor: float  # the noise variance of rounding alone, in the fits' units
    pruning: str
    precondition: str
    cancel: npt.NDArray[np.uint8]  # set to stop every fit of the search
    nu: float = math.inf  # the t noise's degrees of freedom; inf: Gaussian noise
    scale: float = 1.0  # the noise variance before any fit, in the fits' units
    phi: float | None = None  # AR(1) noise's lag-one correlation; None: independent noise


class Cell(NamedTuple):
    """One setting scored."""

    length: float  # inf: straight lines
    jump_cost: float  # in the fits' units of D
    score: float
    n_jumps: int
    edf: float
    prss: float  # the penalised residual sum of squares, D + lam * R
    lam: float  # in the units of the fitted samples
    scale: float = math.nan  # t noise: the fitted scale s2 (units of D); NaN for Gaussian
    iterations: int = 0  # t noise: the reweighted fits after the first


def cell_of(pb: Problem, length: float, jump_cost: float, res: _engine.FitResult) -> Cell:
    """A fit of all samples with one setting, scored."""
    jumps, stats = len(res["jumps"]), res["stats"]
    if pb.phi is None:
        score = evidence(pb.m, pb.dim, jumps, stats, pb.floor)
    else:
        floor = pb.floor * rounding_rows(pb.samples.x, pb.phi, res["jump_index"] + 1)
        score = evidence(pb.m, pb.dim, jumps, stats, floor) + noise_charge(pb.m)
    return Cell(length, jump_cost, score, jumps, stats["edf"], stats["prss"], res["lam"])


def score_cell(pb: Problem, length: float, jump_cost: float) -> tuple[Cell, _engine.FitResult]:
    """Fit all samples with one setting and score it: the unit of work of the search."""
    if math.isfinite(pb.nu):
        return t_cell(pb, length, jump_cost)
    if pb.phi is not None and math.isinf(length):
        # The engine has no straight lines under AR(1) noise: the setting is out of the
        # running (the stiffest finite lengths stand in for it), its fit that of lines.
        cell, res = score_cell(pb._replace(phi=None), length, jump_cost)
        return cell._replace(score=math.inf), res
    res = _engine.fit(
        pb.samples,
        **smoothing_of(length),
        jump_cost=jump_cost,
        # Every pruning gives the same fit; AR(1) rows have the functional search only.
        pruning=pb.pruning if pb.phi is None else "functional",
        precondition=pb.precondition,
        cancel=pb.cancel,
        stats=True,
        phi=pb.phi,
    )
    return cell_of(pb, length, jump_cost, res), res


def t_cell(pb: Problem, length: float, jump_cost: float) -> tuple[Cell, _engine.FitResult]:
    """The same under t noise: the last exact fit of the reweighting, scored by the t
    density."""
    tf = t_fit(
        pb.samples,
        length=length,
        jump_cost=jump_cost,
        nu=pb.nu,
        scale=pb.scale,
        pruning=pb.pruning,
        precondition=pb.precondition,
        cancel=pb.cancel,
        floor=pb.floor,
    )
    st = tf.res["stats"]
    score = t_evidence(pb.m, pb.dim, tf, pb.nu, pb.floor)
    cell = Cell(length, jump_cost, score, len(tf.res["jumps"]), st["edf"], st["prss"],
                tf.res["lam"], tf.scale, tf.iterations)  # fmt: skip
    return cell, tf.res


Setting = tuple[float, float]  # (smoothing length, jump cost in the fits' units)
Round = list[Setting]
# A way through the settings: yields the rounds to score, each a list of settings that
# may run in parallel, reads their scores from the Search, and returns the edge the
# choice sits on (None, "rough" or "smooth").
Strategy = Generator[Round, None, "str | None"]
Then = Callable[[Cell], Round]
# The strategy's guesses of its next round, likeliest first, from the scores known so far
# (None: not yet): what idle workers fit while a round ends.
Guess = Callable[[Callable[[Setting], "float | None"]], Round]


def never(s: Setting) -> bool:
    return False


class Search:
    """The settings scored so far; only the best setting keeps its fit."""

    def __init__(self, pb: Problem) -> None:
        self.pb = pb
        self.cells: dict[Setting, Cell] = {}
        self.result: _engine.FitResult | None = None  # the fit of best()
        # What the strategy will probably ask for after the round it yields, if it says
        # (settings, or a Guess from the round's scores as they come): `drive` may score
        # those on the workers the round leaves idle.
        self.ahead: Round | Guess = []
        # Whether a round the strategy yields ends at a setting, asked as each is recorded,
        # in the round's order: the settings after it are dropped. The strategy sets it for
        # the rounds it applies to and puts `never` back after them.
        self.enough: Callable[[Setting], bool] = never

    def todo(self, settings: Round) -> Round:
        """The settings of a round not scored yet, each once, in order."""
        return [s for s in dict.fromkeys(settings) if s not in self.cells]

    def record(self, setting: Setting, cell: Cell, res: _engine.FitResult) -> bool:
        """Keeps a setting's score; True when the round ends with it."""
        self.cells[setting] = cell
        if self.best() is cell:
            self.result = res
        return self.enough(setting)

    def best(self) -> Cell:
        return min(self.cells.values(), key=lambda c: (c.score, -c.length))


def drive(
    search: Search, strategy: Strategy, executor: Executor | None, bar: Progress
) -> str | None:
    """Runs a strategy to its end, the fits of each round in parallel on the executor."""
    workers = Workers(search.pb, executor) if executor is not None else None
    try:
        settings = next(strategy)
        while True:
            todo = search.todo(settings)
            done: Iterator[tuple[Cell, _engine.FitResult]]
            guess = search.ahead if callable(search.ahead) else fixed(search, todo, search.ahead)
            if workers is None or (len(todo) < 2 and not guess(unknown) and not workers.futures):
                done = (score_cell(search.pb, *s) for s in todo)
            else:
                done = workers.round(todo, guess, search)
            search.ahead = []
            for k, (cell, res) in enumerate(done):
                bar.update(1)
                if search.record(todo[k], cell, res):
                    if workers is not None:
                        workers.stop(todo[k + 1 :])
                    break
            if workers is not None:
                workers.end_round()
            settings = strategy.send(None)
    except StopIteration as stop:
        return stop.value  # type: ignore[no-any-return]
    finally:
        if workers is not None:
            workers.end_round()
            workers.drop(set())


def fixed(search: Search, todo: Round, ahead: Round) -> Guess:
    """A guess that does not depend on the round's scores: the settings not scored yet,
    dearest first (as a round's own fits)."""
    out = sorted((s for s in search.todo(ahead) if s not in todo), key=lambda s: -s[0])

    def guess(known: Callable[[Setting], float | None]) -> Round:
        return out

    return guess


def unknown(s: Setting) -> float | None:
    """No score known yet."""
    return None


class Workers:
    """The fits of a search on an executor. A round's fits go out dearest first: stiffer fits
    cost more (the live set grows with the length), so the cheap ones fill the other
    workers' gaps instead of one worker finishing the round alone. Behind them, on a thread
    pool, wait slots for the strategy's guesses of its next round: a slot that a worker
    reaches before the round ends picks the likeliest guess not taken yet, by the scores
    known at that moment. A guess runs only on a worker the round leaves idle, is used only
    when the strategy asks for it (a fit's result does not depend on when it ran, so the
    search's choices stay the same), and is stopped within milliseconds when it is not.
    Every fit has a cancel flag of its own, so that the fits of a round that ends early stop
    too; the search's own flag is set only by its caller on the way out of `drive`, after
    `drop` has set every fit's."""

    def __init__(self, pb: Problem, executor: Executor) -> None:
        self.pb, self.executor = pb, executor
        # Flags only stop threads of this process; a guess in another process could
        # not be stopped and would hold up the next round.
        self.guessing = isinstance(executor, ThreadPoolExecutor)
        # The round's fits and the guesses taken, by setting; slots and callbacks on the
        # workers change them, under the lock.
        self.lock = threading.RLock()  # a callback may run at once, on this thread
        self.futures: dict[Setting, Future[Any]] = {}
        self.flags: dict[Setting, npt.NDArray[np.uint8]] = {}
        self.slots: list[Future[Any]] = []
        self.known: dict[Setting, float] = {}
        self.live = False  # a round is running: its slots may still take guesses
        # Rounds started: a slot of an earlier round that a worker reaches late (after
        # the next round began) takes nothing, its guesses being that round's.
        self.rounds = 0

    def drop(self, keep: set[Setting]) -> None:
        """Stops the guesses the strategy did not ask for, and the slots not reached."""
        with self.lock:
            for fut in self.slots:
                fut.cancel()
            self.slots = []
            for s in [s for s in self.futures if s not in keep]:
                self.futures.pop(s).cancel()
                self.flags.pop(s)[0] = 1

    def stop(self, settings: Round) -> None:
        """Stops the fits of a round that ended before them."""
        with self.lock:
            for s in settings:
                fut = self.futures.pop(s, None)
                if fut is not None:
                    fut.cancel()
                    self.flags.pop(s)[0] = 1

    def submit(self, s: Setting) -> None:
        flag = np.zeros(1, dtype=np.uint8)
        fut = self.executor.submit(score_cell, self.pb._replace(cancel=flag), *s)
        fut.add_done_callback(functools.partial(self.learn, s))
        self.futures[s], self.flags[s] = fut, flag

    def end_round(self) -> None:
        with self.lock:
            self.live = False

    def round(
        self, todo: Round, guess: Guess, search: Search
    ) -> Iterator[tuple[Cell, _engine.FitResult]]:
        """The results of a round's fits in its order, slots for its guesses behind them."""
        self.drop(set(todo))
        with self.lock:
            for s in todo:  # a guess stopped before it was asked for: fitted afresh
                fut = self.futures.get(s)
                if fut is not None and self.flags[s][0] and not ok(fut):
                    del self.futures[s], self.flags[s]
            # The scores known so far (its guesses' included): the round's guesses go by them.
            self.known = {s: c.score for s, c in search.cells.items()}
            self.known.update((s, f.result()[0].score) for s, f in self.futures.items() if ok(f))
            self.live = True
            self.rounds += 1
            for s in sorted(todo, key=lambda s: -s[0]):
                if s not in self.futures:
                    self.submit(s)
            if self.guessing:
                self.slots = [
                    self.executor.submit(self.slot, guess, self.rounds) for _ in range(ROUND)
                ]
        for s in todo:
            with self.lock:
                fut = self.futures[s]
            out = fut.result()
            with self.lock:  # known before it is no longer running, for the slots
                self.known[s] = out[0].score
                del self.futures[s], self.flags[s]
            yield out

    def learn(self, s: Setting, fut: Future[Any]) -> None:
        if ok(fut):
            with self.lock:
                self.known[s] = fut.result()[0].score

    def slot(self, guess: Guess, round_no: int) -> None:
        """On a worker the round left idle: fits the likeliest guess not taken yet."""
        with self.lock:
            if not self.live or round_no != self.rounds:
                return
            taken = self.futures.keys() | self.known.keys()
            pick = next((s for s in guess(self.known.get) if s not in taken), None)
            if pick is None:
                return
            flag = np.zeros(1, dtype=np.uint8)
            done: Future[Any] = Future()
            done.add_done_callback(functools.partial(self.learn, pick))
            done.set_running_or_notify_cancel()
            self.futures[pick], self.flags[pick] = done, flag
        try:
            done.set_result(score_cell(self.pb._replace(cancel=flag), *pick))
        except BaseException as e:  # noqa: BLE001 - stopped, or failed: the round's to see
            done.set_exception(e)


def ok(fut: Future[Any]) -> bool:
    """Done with a result (not cancelled, no exception)."""
    return fut.done() and not fut.cancelled() and fut.exception() is None


def ladder(h: float, span: float) -> list[float]:
    """Smoothing lengths from LOWEST samples doubling up to STIFF spans, then straight
    lines."""
    out = []
    b = LOWEST
    while b * h < STIFF * span:
        out.append(b * h)
        b *= 2.0
    return out + [math.inf]


def ladder_guess(
    past: Past, rungs: list[float], batch: list[float], after: list[float], cost: float, h: float
) -> Guess:
    """What follows a round of the ladder (after the lengths `rungs`): its next round while
    the ladder goes on (its next length alone where it likely stops there, as in
    `default_search`), else first the refinement around the best."""
    before = {s: c.score for s, c in past.search.cells.items()}
    # The next length first: needed whenever the ladder goes on, the next but one not so.
    nxt = [(v, cost) for v in after]

    def guess(known: Callable[[Setting], float | None]) -> Round:
        scores = {**before, **{(v, cost): known((v, cost)) for v in batch}}
        have = [(v, -s[0], s) for s, v in scores.items() if v is not None]
        finite = [v for v in rungs + batch if math.isfinite(v)]
        ladder = [scores.get((v, cost)) for v in finite]
        if not have or min(have)[2] == (batch[-1], cost):
            if after and have and past.foreseen(ladder, min(have)[0]):
                b = batch[-1]
                return [(after[0], cost), (b * 2.0**0.5, cost), (b * 2.0**-0.5, cost)]
            return nxt
        b = min(have)[2][0]
        if not math.isfinite(b):
            return nxt
        # The best is the stiffest length scored, far below the one before, and no stop is
        # foreseen: the stiffer length still running likely beats it too.
        upto = ladder[: finite.index(b) + 1] if b in finite else []
        below = upto[-2] if len(upto) >= 2 else None
        if (
            below is not None
            and below - min(have)[0] > GIVE_UP
            and all(sc is None for sc in ladder[len(upto) :])
            and not past.foreseen(upto, min(have)[0])
        ):
            return nxt
        if b <= LOWEST * h * 1.0001:
            return ([(b / 2.0, cost)] if b / 2.0 >= FLOOR * h else []) + nxt
        return [(b * 2.0**0.5, cost), (b * 2.0**-0.5, cost), *nxt]

    return guess


class Past:
    """The ladder's stop, told each length's score in order: the run of clearly worse
    lengths since the best so far."""

    def __init__(self, search: Search) -> None:
        self.search = search
        self.worse, self.reached = 0, False

    def __call__(self, s: Setting) -> bool:
        self.worse, self.reached = self.after(self.search.cells[s].score, self.search.best().score)
        return self.reached

    def after(self, score: float, best: float) -> tuple[int, bool]:
        """The run and the stop after a length of this score, the best score so far."""
        excess = score - best
        worse = self.worse + 1 if excess > GIVE_UP else 0
        return worse, worse >= 2 or excess > 2.0 * GIVE_UP

    def foreseen(self, scores: Sequence[float | None], best: float) -> bool:
        """Whether the ladder likely stops at the next length: the parabola through the
        scores of the last three lengths (evenly spaced in log length) says so."""
        last = [s for s in scores[-3:] if s is not None]
        if len(last) < 3:
            return False
        s3, s2, s1 = last
        guess = 3.0 * s1 - 3.0 * s2 + s3
        return math.isfinite(guess) and self.after(guess, best)[1]


def default_search(
    search: Search, h: float, span: float, cost: float, then: Then | None = None
) -> Strategy:
    """The `ladder` at one jump cost, in rounds that stop once the scores are clearly past
    their best (sparing the stiffest, dearest fits), the best then refined, and searched
    further down while the least smooth keeps winning. Returns the edge the choice sits
    on, if any. `then` is what the caller will ask next of the best setting, told to the
    search as a guess."""
    lengths = ladder(h, span)
    past = Past(search)
    search.enough = past
    k = 0
    while k < len(lengths):
        # Where the ladder likely stops at the next length, the length after it would be
        # stopped unused (and it is the dearest yet): that length goes alone, and the
        # idle worker starts on the refinement around the best instead.
        rungs = lengths[:k]
        done = [search.cells[(v, cost)].score for v in rungs if math.isfinite(v)]
        size = 1 if done and past.foreseen(done, search.best().score) else ROUND
        batch = lengths[k : k + size]
        after = lengths[k + size : k + size + ROUND]
        search.ahead = ladder_guess(past, rungs, batch, after, cost, h)
        yield [(v, cost) for v in batch]
        if past.reached:
            break
        k += size
    search.enough = never
    # Halve while the least smooth length scored wins; when a halving loses, the best
    # sits above the newest length and the search ends there.
    edge, lowest = None, LOWEST * h
    while search.best().length <= lowest * 1.0001:
        lowest = search.best().length / 2.0
        if lowest < FLOOR * h:
            edge = "rough"
            break
        search.ahead = [(lowest / 2.0, cost)] if lowest / 2.0 >= FLOOR * h else []
        yield [(lowest, cost)]
    b = search.best().length
    if math.isfinite(b):
        # The guess: the best stays where it is. Lengths are the best times a power of
        # the root of two, so that one length reached from two bests is one setting.
        search.ahead = lambda known: quarter_steps(search, b, cost, known)[::-1]
        yield [(b * 2.0**-0.5, cost), (b * 2.0**0.5, cost)]
        if then is not None:
            search.ahead = then(search.best())
        quarters = quarter_steps(search, search.best().length, cost, lambda s: None)
        if quarters:
            yield quarters
    return edge


def quarter_steps(
    search: Search, b: float, cost: float, known: Callable[[Setting], float | None]
) -> Round:
    """The refinement's quarter octaves around the best length b, but not on a side whose
    half octave scored GIVE_UP worse than the best: as where the ladder stops, a length
    that much worse has bent by jumping, and the best lies on the other side."""
    scores = {v: c.score for (v, c_), c in search.cells.items() if c_ == cost}

    def score(v: float) -> float | None:
        got, near = known((v, cost)), [s for u, s in scores.items() if math.isclose(u, v)]
        return got if got is not None else (near[0] if near else None)

    halves = {2.0**-0.25: score(b * 2.0**-0.5), 2.0**0.25: score(b * 2.0**0.5)}
    best = min([search.best().score] + [s for s in halves.values() if s is not None])
    return [(b * f, cost) for f, s in halves.items() if s is None or s <= best + GIVE_UP]

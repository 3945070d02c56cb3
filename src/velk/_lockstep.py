"""Many independent searches in step: each round's fits of every search in one batch of the
engine, which runs them without the interpreter lock."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from velk import _engine
from velk._params import smoothing_of
from velk._search import Round, Search, Strategy, cell_of

__all__ = ["drive_together"]


class Lockstep:
    """Runs the strategies of many independent searches in step: the pending rounds of all
    searches go to the engine together, in batches whose fits run without the interpreter
    lock, so that many small fits cost little more than their arithmetic. A failure ends
    that search alone, with its exception as its outcome."""

    def __init__(self, runs: Sequence[tuple[Search, Strategy]]) -> None:
        self.runs = runs
        self.out: list[str | BaseException | None] = [None] * len(runs)
        self.pending: dict[int, Round] = {}

    def advance(self, k: int, first: bool = False) -> None:
        strategy = self.runs[k][1]
        try:
            self.pending[k] = next(strategy) if first else strategy.send(None)
        except StopIteration as stop:
            self.pending.pop(k, None)
            self.out[k] = stop.value
        except Exception as e:  # noqa: BLE001 - the failure of this series only
            self.fail(k, e)

    def fail(self, k: int, e: BaseException) -> None:
        self.pending.pop(k, None)
        self.out[k] = e

    def step(self, cancel: npt.NDArray[np.uint8]) -> None:
        """Scores the pending round of every search, then advances each. The j-th settings
        of every round go to the engine in one batch, in the rounds' order, so that a
        setting that ends its round spares the fits of the settings after it."""
        todo = {k: self.runs[k][0].todo(settings) for k, settings in self.pending.items()}
        for j in range(max(map(len, todo.values()), default=0)):
            owners = [(k, t[j]) for k, t in todo.items() if j < len(t)]
            if not owners:
                break
            searches = [self.runs[k][0] for k, _ in owners]
            items = []
            for search, (_, s) in zip(searches, owners):
                sm = smoothing_of(s[0])
                items.append((search.pb.samples, sm["lam"], sm["length"], s[1]))
            pb = searches[0].pb
            results = _engine.fit_batch(
                items, pruning=pb.pruning, precondition=pb.precondition, cancel=cancel, stats=True
            )
            for search, (k, s), res in zip(searches, owners, results):
                if isinstance(res, BaseException):
                    self.fail(k, res)
                    del todo[k]
                elif search.record(s, cell_of(search.pb, s[0], s[1], res), res):
                    del todo[k]
        for k in list(self.pending):
            self.advance(k)


def drive_together(
    runs: Sequence[tuple[Search, Strategy]], cancel: npt.NDArray[np.uint8]
) -> list[str | BaseException | None]:
    """Each search's edge, or the exception that ended it, its strategy run in step with
    the others'. Every search shares the pruning and preconditioning of the first."""
    lock = Lockstep(runs)
    for k in range(len(runs)):
        lock.advance(k, first=True)
    while lock.pending:
        lock.step(cancel)
    return lock.out

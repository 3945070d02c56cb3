"""Many independent series at once: `select_many` and `fit_many`.

Unlike the components of one y, which share their jumps, each series here is a problem
of its own. The work is spread over series, not within one: the series go in groups to
the workers (threads by default, or any executor), and each worker runs the searches of
its group in step, so that the fits of a round of the whole group run in one call of the
engine without the interpreter lock. A failure in one series is reported for that series;
the others go on.
"""

from __future__ import annotations

import functools
import math
import os
from collections.abc import Callable, Hashable, Iterator, Mapping, Sequence
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from typing import Any, NamedTuple, Union

import numpy as np
import numpy.typing as npt

from velk import _engine
from velk._lockstep import drive_together
from velk._params import reported, setting
from velk._plan import DEFAULT_NOISE, Options, Outcome, Plan, Task, ar1_best, auto_best, job_of
from velk._progress import Progress
from velk._samples import Data, read
from velk._search import Search, Strategy, drive
from velk._select import Selection, score_of, selection_of
from velk._spline import JumpSpline
from velk._validate import (
    EXTRAPOLATE,
    PRECONDITION,
    PRUNING,
    boolean,
    check_executor,
    check_n_jobs,
    option,
    real,
)

__all__ = ["Batch", "fit_many", "select_many"]

Result = Union[Selection, JumpSpline]


class Series(NamedTuple):
    x: Any
    y: Any
    delta: Any


class Batch(Mapping[Hashable, Any]):
    """The results of `select_many` or `fit_many`, one per series, in input order.

    A read-only mapping from the name of each series (the column label of a DataFrame,
    the key of a mapping, otherwise its position) to its `Selection` or `JumpSpline`.
    Looking up a series that failed raises its exception; `errors` holds them all, and
    iteration and `items()` pass over them.

    Examples
    --------
    >>> import numpy as np
    >>> import velk
    >>> x = np.linspace(0.0, 1.0, 200)
    >>> noise = 0.05 * np.random.default_rng(0).standard_normal((200, 3))
    >>> y = np.column_stack([x > 0.3, np.sin(3 * x), x > 0.7]) + noise
    >>> batch = velk.select_many(y, x)
    >>> [np.round(sel.spline.jumps, 2).tolist() for sel in batch.values()]
    [[0.3], [], [0.7]]
    """

    def __init__(self, names: Sequence[Hashable], results: Sequence[Any]) -> None:
        self._names = tuple(names)
        self._results = tuple(results)
        self._index = {name: k for k, name in enumerate(self._names)}

    @property
    def names(self) -> tuple[Hashable, ...]:
        """Every series' name, failed ones included, in input order."""
        return self._names

    @property
    def errors(self) -> dict[Hashable, BaseException]:
        """The exception of each series that failed."""
        return {n: r for n, r in zip(self._names, self._results) if isinstance(r, BaseException)}

    def __getitem__(self, name: Hashable) -> Any:
        r = self._results[self._index[name]]
        if isinstance(r, BaseException):
            raise r
        return r

    def __iter__(self) -> Iterator[Hashable]:
        return (n for n, r in zip(self._names, self._results) if not isinstance(r, BaseException))

    def __len__(self) -> int:
        return len(self._names) - len(self.errors)

    def __repr__(self) -> str:
        failed = len(self.errors)
        what = f", {failed} failed" if failed else ""
        return f"Batch({len(self._names)} series{what})"

    def summary(self) -> Any:
        """A pandas DataFrame (pandas needed) with a row per series: its number of jumps and
        their positions, the setting and, for a selection, its noise level and score; the
        error's message where it failed."""
        try:
            import pandas as pd  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            raise ImportError("Batch.summary needs pandas (pip install pandas)") from None
        rows = [row(r) for r in self._results]
        return pd.DataFrame(rows, index=pd.Index(self._names, name="series"))


def row(r: Any) -> dict[str, Any]:
    if isinstance(r, BaseException):
        return {"jumps": 0, "positions": [], "error": f"{type(r).__name__}: {r}"}
    spline = r.spline if isinstance(r, Selection) else r
    out: dict[str, Any] = {"jumps": len(spline.jumps), "positions": list(spline.jumps)}
    if isinstance(r, Selection):
        out.update(smoothing=r.smoothing, jump_cost=r.jump_cost, noise=r.noise, score=r.score)
    else:
        out.update(p=r.p, gamma=r.gamma)
    out["samples"] = len(spline.x)
    out["error"] = None
    return out


def series_of(data: Any, x: Any, delta: Any) -> tuple[list[Hashable], list[Series]]:
    """The names and (x, y, delta) of each series of the accepted forms of `data`."""
    if type(data).__module__.split(".")[0] == "pandas" and hasattr(data, "columns"):
        xs = data.index if x is None else x
        ds = delta if type(delta).__module__.split(".")[0] == "pandas" else None
        series = [Series(xs, data[c], ds[c] if ds is not None else delta) for c in data.columns]
        return list(data.columns), series
    if isinstance(data, Mapping):
        return list(data), [as_series(v, x, delta) for v in data.values()]
    if isinstance(data, (list, tuple)) and data and all(isinstance(v, tuple) for v in data):
        return list(range(len(data))), [as_series(v, x, delta) for v in data]
    arr = np.asarray(data) if not isinstance(data, (list, tuple)) else None
    if arr is not None and arr.ndim == 2:
        d = np.asarray(delta) if delta is not None else None
        each = d is not None and d.ndim == 2
        if each and d.shape != arr.shape:  # type: ignore[union-attr]
            raise ValueError(f"delta of shape {d.shape} does not match data {arr.shape}")  # type: ignore[union-attr]
        cols = range(arr.shape[1])
        return list(cols), [Series(x, arr[:, k], d[:, k] if each else delta) for k in cols]  # type: ignore[index]
    if isinstance(data, (list, tuple)):
        return list(range(len(data))), [Series(x, v, delta) for v in data]
    raise TypeError(
        "data must be a 2-D array (a series per column), a DataFrame, a mapping or a sequence "
        f"of series, got {type(data).__name__}"
    )


def as_series(v: Any, x: Any, delta: Any) -> Series:
    """A series given as y, (x, y) or (x, y, delta)."""
    if isinstance(v, tuple):
        if len(v) not in (2, 3):
            raise ValueError(f"a series is y, (x, y) or (x, y, delta), got a tuple of {len(v)}")
        return Series(v[0], v[1], v[2] if len(v) == 3 else delta)
    return Series(x, v, delta)


def select_group(
    specs: Sequence[Series], opts: Options, cancel: npt.NDArray[np.uint8]
) -> list[Any]:
    """The selections of a group of series, their searches under Gaussian noise run in
    step, under t noise one after another (each setting's reweighted fits depend on the
    last); a series that fails gets its exception instead."""
    out: list[Any] = [None] * len(specs)
    datas = {}
    for i, sp in enumerate(specs):
        try:
            datas[i] = read(sp.x, sp.y, sp.delta)
        except Exception as e:  # noqa: BLE001 - the failure of this series only
            out[i] = e
    best: dict[int, Any] = {}
    for nu in (math.inf,) if opts.auto else opts.nus:
        jobs = jobs_of(datas, specs, opts, cancel, nu, out)
        runs = [(search, plan.run(search)) for _, _, plan, search in jobs]
        edges = drive_together(runs, cancel) if math.isinf(nu) else [alone(*r) for r in runs]
        for (i, t, plan, search), edge in zip(jobs, edges):
            if isinstance(edge, BaseException):
                out[i] = edge
            elif i not in best or search.best().score < best[i][2].best().score:
                best[i] = (t, plan, search, edge)
    if opts.auto or opts.ar1:
        after_gaussian(datas, specs, opts, cancel, out, best)
    for i, outcome in best.items():
        if out[i] is None:
            try:
                out[i] = selection_of(*outcome)
            except Exception as e:  # noqa: BLE001
                out[i] = e
    return out


def alone_run(
    data: Data, spec: Series, opts: Options, cancel: npt.NDArray[np.uint8]
) -> Callable[[float, float | None], Outcome]:
    """The search of one series under a noise model, on this thread; a failure raised."""

    def run(nu: float, phi: float | None) -> Outcome:
        t, plan = job_of(data, opts, spec.delta is not None, cancel, nu=nu, phi=phi)
        search = Search(t.pb)
        edge = alone(search, plan.run(search))
        if isinstance(edge, BaseException):
            raise edge
        return (t, plan, search, edge)

    return run


def after_gaussian(
    datas: Mapping[int, Data],
    specs: Sequence[Series],
    opts: Options,
    cancel: npt.NDArray[np.uint8],
    out: list[Any],
    best: dict[int, Any],
) -> None:
    """What follows the searches run in step, one series after another: under
    `noise="auto"` its other models screened at its Gaussian choice (`auto_best`), else
    phi profiled for it on its own (its values depend on the series' estimate and scores).
    A series' outcome replaces its best where it scores better."""
    for i, data in datas.items():
        if out[i] is not None or (opts.auto and i not in best):
            continue
        run = alone_run(data, specs[i], opts, cancel)
        try:
            if opts.auto:
                outcome = auto_best(best[i], opts, run)
            else:
                outcome = ar1_best(functools.partial(run, math.inf), score_of, data, opts.phi)
        except Exception as e:  # noqa: BLE001 - the failure of this series only
            out[i] = e
            continue
        if i not in best or score_of(outcome) < score_of(best[i]):
            best[i] = outcome


def jobs_of(
    datas: Mapping[int, Data],
    specs: Sequence[Series],
    opts: Options,
    cancel: npt.NDArray[np.uint8],
    nu: float,
    out: list[Any],
) -> list[tuple[int, Task, Plan, Search]]:
    """The searches under one noise model of the series that have not failed (those that
    fail now get their exception in `out`)."""
    jobs = []
    for i, data in datas.items():
        if out[i] is not None:
            continue
        try:
            t, plan = job_of(data, opts, specs[i].delta is not None, cancel, nu)
        except Exception as e:  # noqa: BLE001 - the failure of this series only
            out[i] = e
            continue
        jobs.append((i, t, plan, Search(t.pb)))
    return jobs


def alone(search: Search, strategy: Strategy) -> str | BaseException | None:
    """A search's edge, or the exception that ended it, run on this thread."""
    try:
        return drive(search, strategy, None, Progress(False))
    except Exception as e:  # noqa: BLE001 - the failure of this series only
        return e


class FitOptions(NamedTuple):
    p: Any
    gamma: Any
    smoothing: Any
    jump_cost: Any
    pruning: str
    precondition: str
    extrapolate: str
    phi: float | None


def fit_group(specs: Sequence[Series], fo: FitOptions, cancel: npt.NDArray[np.uint8]) -> list[Any]:
    """The fits of a group of series in one call of the engine."""
    out: list[Any] = [None] * len(specs)
    items, jobs = [], []
    for i, sp in enumerate(specs):
        try:
            data = read(sp.x, sp.y, sp.delta)
            st, pv, gv = setting(fo.p, fo.gamma, fo.smoothing, fo.jump_cost, data.axis)
        except Exception as e:  # noqa: BLE001
            out[i] = e
            continue
        items.append((data.samples, st.lam, st.length, st.jump_cost))
        jobs.append((i, data, st, pv, gv))
    results = _engine.fit_batch(
        items, pruning=fo.pruning, precondition=fo.precondition, cancel=cancel, phi=fo.phi
    )
    for (i, data, st, pv, gv), res in zip(jobs, results):
        if isinstance(res, BaseException):
            out[i] = res
            continue
        pr, gr = reported(st, res["lam"], pv, gv)
        out[i] = JumpSpline._from_fit(res, data, pr, gr, fo.extrapolate, fo.phi)
    return out


def run(
    work: Any,
    args: Any,
    specs: list[Series],
    executor: Executor | None,
    n_jobs: int | None,
    progress: bool,
) -> list[Any]:
    """`work(group, args, cancel)` over groups of the series on the workers; results in
    input order. Ctrl-C (or any failure of the workers themselves) stops every fit still
    running here and cancels the groups not started."""
    own = None
    if executor is None and n_jobs != 1:
        workers = (os.cpu_count() or 1) if n_jobs in (None, -1) else int(n_jobs or 1)
        if workers > 1:
            own = executor = ThreadPoolExecutor(workers)
    workers = getattr(executor, "_max_workers", None) or (os.cpu_count() or 1)
    size = max(1, min(32, math.ceil(len(specs) / (4 * workers)))) if executor else 32
    groups = [specs[k : k + size] for k in range(0, len(specs), size)]
    cancel = np.zeros(1, dtype=np.uint8)
    bar = Progress(progress, "velk", "series", "series done")
    out: list[Any] = []
    futures: list[Future[list[Any]]] = []
    try:
        if executor is None:
            for g in groups:
                out += work(g, args, cancel)
                bar.update(len(g))
        else:
            futures = [executor.submit(work, g, args, cancel) for g in groups]
            for g, f in zip(groups, futures):
                out += f.result()
                bar.update(len(g))
    except BaseException:
        cancel[0] = 1
        for f in futures:
            f.cancel()
        raise
    finally:
        bar.close()
        if own is not None:
            own.shutdown(wait=True, cancel_futures=True)
    return out


def select_many(
    data: Any,
    x: Any = None,
    *,
    delta: Any = None,
    smoothing: Any = None,
    p: Any = None,
    jump_cost: Any = None,
    gamma: Any = None,
    pruning: str = "functional",
    precondition: str = "none",
    noise: str | float = DEFAULT_NOISE,
    executor: Executor | None = None,
    n_jobs: int | None = None,
    progress: bool = False,
) -> Batch:
    """`select` on each of many independent series.

    Parameters
    ----------
    data : 2-D array, DataFrame, mapping or sequence
        The series: the columns of a 2-D array or of a DataFrame (whose index is their x
        unless `x` is given), the values of a mapping, or a sequence of series; a series
        is y, or a tuple (x, y) or (x, y, delta). Each y may itself have several
        components, which share their jumps.
    x, delta : array_like, optional
        The x and delta of the series that do not bring their own. delta may also be a
        2-D array (or a DataFrame) with a column per series.
    smoothing, p, jump_cost, gamma, pruning, precondition, noise
        As for `select`, the same for every series.
    executor : concurrent.futures.Executor, optional
        Runs the groups of series: a ``ProcessPoolExecutor``, or a Dask client's
        ``get_executor()``; by default a pool of `n_jobs` threads.
    n_jobs : int, optional
        Threads when no executor is given (None or -1: one per core; 1: none).
    progress : bool, optional
        Show how many series are done on stderr (tqdm when installed).

    Returns
    -------
    Batch
        Each series' `Selection`, or its exception. The same as `select` one series after
        another, whatever the executor.
    """
    opts = Options.of(smoothing, p, jump_cost, gamma, pruning, precondition, noise)
    executor, n_jobs, progress = check_many(executor, n_jobs, progress)
    names, specs = series_of(data, x, delta)
    return Batch(names, run(select_group, opts, specs, executor, n_jobs, progress))


def fit_many(
    data: Any,
    x: Any = None,
    *,
    delta: Any = None,
    p: Any = None,
    gamma: Any = None,
    smoothing: Any = None,
    jump_cost: Any = None,
    pruning: str = "functional",
    precondition: str = "none",
    extrapolate: str = "linear",
    phi: float | None = None,
    executor: Executor | None = None,
    n_jobs: int | None = None,
    progress: bool = False,
) -> Batch:
    """`fit` of each of many independent series with one setting.

    The series and the workers as for `select_many`; the setting and the options as for
    `fit` (`phi`, AR(1) noise's correlation, holds for every series). Returns a `Batch` of
    each series' `JumpSpline`, or its exception.
    """
    fo = FitOptions(
        p,
        gamma,
        smoothing,
        jump_cost,
        option("pruning", pruning, PRUNING),
        option("precondition", precondition, PRECONDITION),
        option("extrapolate", extrapolate, EXTRAPOLATE),
        None if phi is None else real("phi", phi),
    )
    executor, n_jobs, progress = check_many(executor, n_jobs, progress)
    names, specs = series_of(data, x, delta)
    return Batch(names, run(fit_group, fo, specs, executor, n_jobs, progress))


def check_many(
    executor: object, n_jobs: object, progress: object
) -> tuple[Executor | None, int | None, bool]:
    ex, nj = check_executor(executor), check_n_jobs(n_jobs)
    if ex is not None and nj is not None:
        raise ValueError("give executor or n_jobs, not both")
    return ex, nj, boolean("progress", progress)

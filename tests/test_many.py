"""Many independent series at once: the same answers as one series at a time, on any
workers, with one series' failure kept to itself."""

from __future__ import annotations

import contextlib
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import numpy as np
import pytest

import velk
from velk import _many

N, K = 150, 5


def panel(seed=0):
    """K series: steps at different places (or none) on different curves."""
    rng = np.random.default_rng(seed)
    x, k = np.linspace(0.0, 1.0, N)[:, None], np.arange(K)
    f = np.sin((k + 1) * x) + (x > 0.2 + 0.15 * k) * (k % 3 != 1)
    return x[:, 0], f + 0.1 * rng.standard_normal((K, N)).T  # the noise drawn series by series


def same_selection(a, b):
    assert a.score == b.score and a.smoothing == b.smoothing and a.jump_cost == b.jump_cost
    assert (a.noise_model, a.nu, a.phi) == (b.noise_model, b.nu, b.phi)
    np.testing.assert_array_equal(a.spline.jumps, b.spline.jumps)
    np.testing.assert_array_equal(a.spline.coefs, b.spline.coefs)


def as_form(form, x, y):
    """The panel in each accepted form, with the names the batch should report."""
    if form == "array":
        return (y, x), list(range(K))
    if form == "frame":
        pd = pytest.importorskip("pandas")
        return (pd.DataFrame(y, index=x, columns=list("abcde")),), list("abcde")
    if form == "mapping":
        return ({f"s{k}": y[:, k] for k in range(K)}, x), [f"s{k}" for k in range(K)]
    return ([(x, y[:, k]) for k in range(K)],), list(range(K))


@contextlib.contextmanager
def workers(kind):
    """select_many's arguments for workers of each kind it takes, two of them."""
    if kind == "dask":
        distributed = pytest.importorskip("distributed")
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        )
        with cluster, distributed.Client(cluster) as client:
            yield {"executor": client.get_executor()}
    elif kind in ("threads", "processes"):
        with (ThreadPoolExecutor if kind == "threads" else ProcessPoolExecutor)(2) as pool:
            yield {"executor": pool}
    else:
        yield {"n_jobs": 1 if kind == "serial" else 2}


# The cluster's worker processes are leak-checked at their own exit, where distributed's
# profiler thread leaves CPython frame objects behind.
@pytest.mark.parametrize(
    "form,noise,kind",
    [("array", "student-t", "n_jobs"), ("frame", "auto", "threads"),
     ("mapping", "ar1", "processes"), ("pairs", 0.3, "serial"),
     pytest.param("array", "gaussian", "dask", marks=pytest.mark.no_leak_check)],
)  # fmt: skip
def test_select_many_on_any_workers_is_select_one_series_at_a_time(form, noise, kind):
    x, y = panel()
    y[::17, 1] += 3.0  # outliers, which t noise down-weights
    args, names = as_form(form, x, y)
    with workers(kind) as how:
        batch = velk.select_many(*args, noise=noise, **how)
    assert list(batch) == names and not batch.errors
    for k, name in enumerate(names):
        same_selection(batch[name], velk.select(x, y[:, k], noise=noise))


@pytest.mark.parametrize("phi", [None, 0.6])
def test_fit_many_is_fit_one_series_at_a_time(phi):
    x, y = panel(2)
    delta = np.full_like(y, 0.1)
    delta[:, 3] = 0.2  # a column of delta per series
    kw = {"smoothing": 0.05, "jump_cost": 20.0, "phi": phi}
    batch = velk.fit_many(y, x, delta=delta, n_jobs=2, **kw)
    for k in range(K):
        one = velk.fit(x, y[:, k], delta=delta[:, k], **kw)
        np.testing.assert_array_equal(batch[k].jumps, one.jumps)
        np.testing.assert_array_equal(batch[k].coefs, one.coefs)
        # _phi: the noise model its jump table reads
        assert (batch[k].p, batch[k].gamma, batch[k]._phi) == (one.p, one.gamma, one._phi)


@pytest.mark.parametrize("many", [velk.select_many, velk.fit_many])
def test_a_failing_series_fails_alone(many):
    x, y = panel(3)
    series = {"good": (x, y[:, 0]), "nan": (x, np.full(N, np.nan)), "late": (x, y[:, 2])}
    kw = {} if many is velk.select_many else {"p": 0.9, "gamma": 5.0}
    batch = many(series, **kw)
    assert list(batch) == ["good", "late"] and batch.names == ("good", "nan", "late")
    assert set(batch.errors) == {"nan"} and isinstance(batch.errors["nan"], ValueError)
    with pytest.raises(ValueError):
        batch["nan"]
    assert len(batch) == 2 and "1 failed" in repr(batch)
    table = batch.summary()
    assert table.loc["nan", "error"].startswith("ValueError")
    good = batch["good"].spline if many is velk.select_many else batch["good"]
    assert table.loc["good", "jumps"] == len(good.jumps)


def test_an_interrupt_cancels_every_worker(monkeypatch):
    """A failure of the caller's own (Ctrl-C) sets the flag that every running fit polls
    and gives up the groups not started."""
    seen = []

    def work(group, args, cancel):
        seen.append(cancel)
        if len(seen) == 2:
            raise KeyboardInterrupt
        return [None] * len(group)

    specs = [_many.Series(None, np.zeros(3), None)] * 64
    with pytest.raises(KeyboardInterrupt), ThreadPoolExecutor(1) as pool:
        _many.run(work, None, specs, pool, None, False)
    assert seen and all(c is seen[0] for c in seen) and seen[0][0] == 1
    assert len(seen) < len(specs) // 2  # the rest never ran

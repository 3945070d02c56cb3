"""The path over jump costs: every change of the optimal number of jumps, in few fits."""

from __future__ import annotations

import pickle

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")
import matplotlib.pyplot as plt

import velk
from velk import _engine, _path
from velk._path import Segmentation, crops
from velk._samples import read

# --- the recursion on its own: segmentations as given lines --------------------------------


def lines_oracle(seed: int, k_max: int = 14):
    """Random segmentations (several per count) as lines R + c k, and the fit at a cost:
    the cheapest of them, its ties broken at random."""
    rng = np.random.default_rng(seed)
    ks = np.repeat(np.arange(k_max + 1), 3)
    # Energy falls with the count, by random steps: some counts never optimal.
    base = np.cumsum(rng.exponential(1.0, k_max + 1)[::-1])[::-1]
    energy = base[ks] + rng.exponential(0.3, len(ks))
    calls = []

    def fit_at(c: float) -> Segmentation:
        calls.append(c)
        total = energy + c * ks
        best = np.flatnonzero(total <= total.min() * (1 + 1e-15) + 1e-15)
        i = int(rng.choice(best))
        return Segmentation(int(ks[i]), float(energy[i]), np.array([float(i)]))

    return fit_at, ks, energy, calls


def envelope(ks, energy, lo, hi, grid=200_001):
    """The optimal count on a dense grid of costs: the brute-force answer."""
    c = np.geomspace(lo, hi, grid)
    total = energy[None, :] + c[:, None] * ks[None, :]
    return c, ks[np.argmin(total, axis=1)]


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("lo, hi", [(0.01, 10.0), (0.2, 0.9)])
def test_recursion_finds_every_change_of_the_envelope(seed, lo, hi):
    fit_at, ks, energy, calls = lines_oracle(seed)
    costs, segs, fits = crops(fit_at, lo, hi)
    assert fits == len(calls) <= segs[0].n_jumps - segs[-1].n_jumps + 2
    c, count = envelope(ks, energy, lo, hi)
    # Every change on the grid lies at one of the path's costs, and no cost is spurious.
    changes = np.flatnonzero(np.diff(count))
    assert len(changes) == len(costs)
    for i, cost in zip(changes, costs):
        assert c[i] <= cost * (1 + 1e-9) and cost <= c[i + 1] * (1 + 1e-9)
    # Each interval's segmentation is optimal inside it.
    edges = np.concatenate(([lo], costs, [hi]))
    for a, b, s in zip(edges[:-1], edges[1:], segs):
        mid = np.sqrt(a * b)
        assert s.energy + mid * s.n_jumps == pytest.approx(np.min(energy + mid * ks), rel=1e-12)


def test_one_count_takes_two_fits_and_one_cost_one():
    fit_at, *_, calls = lines_oracle(0)
    costs, segs, fits = crops(fit_at, 50.0, 60.0)  # far beyond every change: no jumps
    assert (costs, fits, len(calls), [s.n_jumps for s in segs]) == ([], 2, 2, [0])
    assert crops(fit_at, 0.3, 0.3)[2] == 1


@pytest.mark.parametrize("gap", [1, 2])
def test_counts_one_apart_need_no_fit_between(gap):
    # Two lines only: counts 3 and 3 - gap, crossing at 1. A gap of one closes without a
    # fit; a gap of two needs exactly one to see that nothing lies between.
    lines = {3: 0.0, 3 - gap: float(gap)}

    def fit_at(c: float) -> Segmentation:
        k = min(lines, key=lambda k: lines[k] + c * k)
        return Segmentation(k, lines[k], np.zeros(k))

    costs, _, fits = crops(fit_at, 0.1, 10.0)
    assert costs == [pytest.approx(1.0)] and fits == 2 + (gap - 1)


# --- on the engine: a selection's path against a dense sweep of fits -----------------------


def series(n: int = 90, seed: int = 3):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 9.0, n)
    y = np.sin(x) + 1.2 * (x > 3.0) - 0.6 * (x > 6.0) + 0.35 * rng.standard_normal(n)
    return x, y


@pytest.fixture(scope="module")
def chosen():
    x, y = series()
    sel = velk.select(x, y, n_jobs=1)
    return x, y, sel


def counting(monkeypatch):
    calls = []
    real = _engine.fit

    def spy(*args, **kw):
        calls.append(kw["jump_cost"])
        return real(*args, **kw)

    monkeypatch.setattr(_path._engine, "fit", spy)
    return calls


@pytest.mark.parametrize("delta", [None, 0.35])
def test_path_finds_every_change_of_a_dense_sweep(monkeypatch, delta):
    x, y = series()
    sel = velk.select(x, y, delta=delta, n_jobs=1)
    lo, hi = sel.jump_cost / 30.0, sel.jump_cost * 30.0
    calls = counting(monkeypatch)
    path = sel.path(lo, hi)
    assert path.fits == len(calls) <= path.n_jumps[0] - path.n_jumps[-1] + 2
    assert path.n_jumps[0] - path.n_jumps[-1] >= 5  # a path worth the name
    grid = np.geomspace(lo, hi, 600)
    fits = [velk.fit(x, y, delta=delta, smoothing=sel.smoothing, jump_cost=c) for c in grid]
    sweep = np.array([len(f.jumps) for f in fits])
    # Away from the changes (rounding decides there), the path's count and jumps are
    # those of a fit at that cost.
    safe = np.array([np.min(np.abs(np.log(c / path.costs))) > 1e-6 for c in grid])
    at = np.array([path.at(c) for c in grid])
    np.testing.assert_array_equal(path.n_jumps[at][safe], sweep[safe])
    for i in np.flatnonzero(safe)[::25]:
        np.testing.assert_array_equal(path.jumps[at[i]], fits[i].jumps)
    # Every count the sweep saw is on the path.
    assert set(sweep) <= set(path.n_jumps.tolist())


def test_energy_is_the_fits_own_in_the_callers_units(chosen):
    # Without delta select fits y over its noise level: the energy must be back in units
    # of y squared, as the fit of the caller's samples reports it.
    x, y, sel = chosen
    path = sel.path()
    samples = read(x, y, None).samples
    edges = path.edges()
    for k, (a, b) in enumerate(zip(edges[:-1], edges[1:])):
        res = _engine.fit(samples, length=sel.smoothing, jump_cost=np.sqrt(a * b), stats=True)
        assert len(res["jumps"]) == path.n_jumps[k]
        assert path.energy[k] == pytest.approx(res["stats"]["prss"], rel=1e-9)
    # At each change both lines meet.
    for k, c in enumerate(path.costs):
        left = path.energy[k] + c * path.n_jumps[k]
        assert left == pytest.approx(path.energy[k + 1] + c * path.n_jumps[k + 1], rel=1e-9)


def test_the_choice_sits_on_the_path(chosen):
    _, _, sel = chosen
    path = sel.path()
    assert path.bounds == pytest.approx((sel.jump_cost / 10, sel.jump_cost * 10))
    assert path.n_jumps[path.at(sel.jump_cost)] == len(sel.spline.jumps)
    np.testing.assert_array_equal(path.jumps[path.at(sel.jump_cost)], sel.spline.jumps)
    a, b = path.chosen_range
    assert a <= sel.jump_cost <= b
    inside = [path.n_jumps[path.at(c)] for c in np.geomspace(a, b, 9)[1:-1]]
    assert set(inside) == {len(sel.spline.jumps)}
    assert f"{b / a:.3g}" in repr(path) and "chosen cost" in repr(path)
    assert sel.path(sel.jump_cost * 2, sel.jump_cost * 3).chosen_range is None


def test_result_is_read_only_and_converts(chosen):
    _, _, sel = chosen
    path = sel.path()
    with pytest.raises(AttributeError):
        path.fits = 0  # type: ignore[misc]
    with pytest.raises(ValueError):
        path.n_jumps[0] = 1
    frame = path.to_frame()
    assert list(frame.columns) == ["cost_from", "cost_to", "n_jumps", "energy", "jumps"]
    assert len(frame) == len(path) == len(path.costs) + 1
    back = pickle.loads(pickle.dumps(path))
    np.testing.assert_array_equal(back.costs, path.costs)
    assert repr(back) == repr(path)
    again = pickle.loads(pickle.dumps(sel)).path()
    np.testing.assert_array_equal(again.costs, path.costs)


def test_plot_draws_counts_against_cost():
    x, y = series()
    sel = velk.select(x, y, n_jobs=1)
    path = sel.path()
    _, ax = plt.subplots()
    try:
        path.plot(ax)
        (steps,) = ax.patches[:1]
        values, edges, _ = steps.get_data()
        np.testing.assert_array_equal(values, path.n_jumps)
        np.testing.assert_allclose(edges, path.edges())
        assert ax.get_xscale() == "log"
        marks = [ln for ln in ax.lines if ln.get_label() == "chosen cost"]
        assert marks and marks[0].get_xdata()[0] == sel.jump_cost
    finally:
        plt.close("all")


def test_dates_give_datetime_jumps():
    t = np.datetime64("2024-01-01") + np.arange(80) * np.timedelta64(1, "h")
    rng = np.random.default_rng(4)
    y = np.where(np.arange(80) < 40, 0.0, 1.5) + 0.3 * rng.standard_normal(80)
    sel = velk.select(t, y, n_jobs=1)
    path = sel.path()
    k = path.at(sel.jump_cost)
    assert path.jumps[k].dtype.kind == "M"
    np.testing.assert_array_equal(path.jumps[k], sel.spline.jumps)


@pytest.mark.parametrize(
    "lo, hi, error, match",
    [
        (0.0, 1.0, ValueError, "positive"),
        (1.0, np.inf, ValueError, "positive"),
        (-1.0, 1.0, ValueError, "positive"),
        (2.0, 1.0, ValueError, "exceed"),
        ("a", 1.0, TypeError, "number"),
    ],
)
def test_bad_ranges_are_refused(chosen, lo, hi, error, match):
    with pytest.raises(error, match=match):
        chosen[2].path(lo, hi)


def test_t_noise_selection_is_refused():
    x, y = series(n=60)
    sel = velk.select(x, y, noise="student-t", n_jobs=1)
    with pytest.raises(ValueError, match="Gaussian"):
        sel.path()

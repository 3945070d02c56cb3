"""The path over jump costs: every change of the optimal number of jumps, in few fits."""

from __future__ import annotations

import pickle

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")
import matplotlib.pyplot as plt

import velk
from velk import _engine
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


@pytest.mark.parametrize("gap", [0, 1, 2])
def test_counts_one_apart_need_no_fit_between(gap):
    # Two lines only: counts 3 and 3 - gap, crossing at 1. One count takes the two end
    # fits; a gap of one closes without a fit; of two, one fit sees nothing between.
    lines = {3: 0.0, 3 - gap: float(gap)}

    def fit_at(c: float) -> Segmentation:
        k = min(lines, key=lambda k: lines[k] + c * k)
        return Segmentation(k, lines[k], np.zeros(k))

    costs, _, fits = crops(fit_at, 0.1, 10.0)
    assert costs == ([pytest.approx(1.0)] if gap else []) and fits == 2 + max(gap - 1, 0)


# --- on the engine: a selection's path against a dense sweep of fits -----------------------


def series(n: int = 90, seed: int = 3):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 9.0, n)
    y = np.sin(x) + 1.2 * (x > 3.0) - 0.6 * (x > 6.0) + 0.35 * rng.standard_normal(n)
    return x, y


@pytest.mark.parametrize("delta", [None, 0.35])
def test_each_interval_holds_the_fit_at_its_costs_in_the_callers_units(delta):
    # Without delta select fits y over its noise level: costs and energy must be back in
    # units of y squared, as the fit of the caller's samples reports them.
    x, y = series()
    sel = velk.select(x, y, delta=delta, n_jobs=1)
    path, samples = sel.path(sel.jump_cost / 30, sel.jump_cost * 30), read(x, y, delta).samples
    assert path.n_jumps[0] - path.n_jumps[-1] >= 5  # a path worth the name
    edges = path.edges()
    for k, (a, b) in enumerate(zip(edges[:-1], edges[1:])):
        res = _engine.fit(samples, length=sel.smoothing, jump_cost=np.sqrt(a * b), stats=True)
        np.testing.assert_array_equal(path.jumps[k], res["jumps"])
        assert path.energy[k] == pytest.approx(res["stats"]["prss"], rel=1e-9)


def test_the_choice_sits_on_a_path_that_pickles_converts_and_draws():
    sel = velk.select(*series(), n_jobs=1)
    path = sel.path()
    assert path.bounds == pytest.approx((sel.jump_cost / 10, sel.jump_cost * 10))
    np.testing.assert_array_equal(path.jumps[path.at(sel.jump_cost)], sel.spline.jumps)
    a, b = path.chosen_range
    assert a <= sel.jump_cost <= b
    inside = [path.n_jumps[path.at(c)] for c in np.geomspace(a, b, 9)[1:-1]]
    assert set(inside) == {len(sel.spline.jumps)}
    assert f"{b / a:.3g}" in repr(path) and "chosen cost" in repr(path)
    assert sel.path(sel.jump_cost * 2, sel.jump_cost * 3).chosen_range is None
    # The result is read-only, pickles, converts and draws.
    with pytest.raises(ValueError):
        path.n_jumps[0] = 1
    frame = path.to_frame()
    assert list(frame.columns) == ["cost_from", "cost_to", "n_jumps", "energy", "jumps"]
    assert len(frame) == len(path) == len(path.costs) + 1
    assert repr(pickle.loads(pickle.dumps(path))) == repr(path)
    np.testing.assert_array_equal(pickle.loads(pickle.dumps(sel)).path().costs, path.costs)
    _, ax = plt.subplots()
    try:
        path.plot(ax)
        values, edges, _ = ax.patches[0].get_data()
        np.testing.assert_array_equal(values, path.n_jumps)
        np.testing.assert_allclose(edges, path.edges())
        marks = [ln for ln in ax.lines if ln.get_label() == "chosen cost"]
        assert ax.get_xscale() == "log" and marks[0].get_xdata()[0] == sel.jump_cost
    finally:
        plt.close("all")

"""The functional search drops candidates for good, so one wrong drop can cost the optimum
only on rare data. Here it meets PELT (the same states up to the rotations' rounding, so
every cost agrees to rounding while the optimum survives) on thousands of small problems
built to make pruning aggressive, and an unpruned programme on a few."""

from __future__ import annotations

import math

import numpy as np
import pytest
from helpers import best_costs, energy_of, engine_samples

from velk import _engine

CASES = 3000


def problem(rng, top=300):
    """Piecewise smooth data with many jumps, and a setting where pruning has work to do."""
    n = int(rng.integers(5, top + 1))
    dim = int(rng.integers(1, 4))
    x = np.cumsum(rng.uniform(0.2, 1.8, n)) if rng.random() < 0.5 else np.arange(float(n))
    cuts = np.sort(
        rng.choice(np.arange(1, n), size=min(n - 1, int(rng.integers(0, 12))), replace=False)
    )
    level = np.cumsum(rng.standard_normal((len(cuts) + 1, dim)) * 3.0, axis=0)
    piece = np.searchsorted(cuts, np.arange(n), side="right")
    y = level[piece] + np.sin(x[:, None] / rng.uniform(2.0, 30.0)) + rng.standard_normal((n, dim))
    delta = rng.uniform(0.5, 2.0, n) if rng.random() < 0.3 else None
    lam = float(10.0 ** rng.uniform(-3.0, 6.0)) if rng.random() < 0.9 else np.inf
    cost = float(10.0 ** rng.uniform(-1.0, 2.0)) if rng.random() < 0.97 else 0.0
    return x, y, delta, lam, cost


def search(samples, lam, cost, pruning):
    return _engine.search(samples, lam=lam, jump_cost=cost, pruning=pruning)


def same_costs(got, want):
    """A start pruned wrongly shows as a higher cost at some end. The two kernels take their
    rotations' roots differently, so costs agree to rounding, relative to the largest cost."""
    return np.allclose(got, want, rtol=1e-12, atol=1e-12 * np.abs(want).max())


@pytest.mark.parametrize(
    ("dim", "length", "most"),
    [(1, 1.0, 7593), (1, 16.0, 30472), (1, 128.0, 115576), (1, None, 123371),
     (3, 1.0, 8535), (3, 16.0, 43944), (3, 128.0, 373627), (3, None, 385316)],
)  # fmt: skip
def test_work_stays_within_its_measured_bound(dim, length, most):
    """A search that prunes less is still exact: only a count of the work sees it, here the
    samples fed against those when this test was written (a stronger search may lower them)."""
    rng = np.random.default_rng(3)
    t = np.arange(2000.0)
    steps = (t > 500).astype(float) + (t > 1100) - (t > 1600)
    f = np.sin(t / 150.0)[:, None] * np.arange(1, dim + 1) + 3.0 * steps[:, None]
    samples = _engine.prepare(t, f + rng.standard_normal((2000, dim)), None)
    kw = {"lam": np.inf} if length is None else {"length": length}
    res = _engine.search(samples, jump_cost=7 * np.log(2000) * dim, **kw)
    assert res["samples_fed"] <= 1.02 * most


def test_functional_search_keeps_every_optimum_of_pelt():
    rng = np.random.default_rng(20261207)
    wrong = []
    for case in range(CASES):
        x, y, delta, lam, cost = problem(rng)
        samples = engine_samples(np.round(x / 3.0) if case % 10 == 0 else x, y, delta)  # merged
        got, want = (search(samples, lam, cost, how) for how in ("functional", "PELT"))
        if not same_costs(got["costs"], want["costs"]):
            wrong.append((case, int(np.argmax(got["costs"] > want["costs"]))))
        assert got["samples_fed"] <= want["samples_fed"]
    assert not wrong, f"{len(wrong)} of {CASES} searches lost the optimum: {wrong[:5]}"


@pytest.mark.parametrize("seed", range(16))
def test_both_searches_reach_the_unpruned_optimum(seed):
    rng = np.random.default_rng([seed, 7])
    x, y, delta, lam, cost = problem(rng, top=40)
    w = np.ones(len(x)) if delta is None else delta**-2.0
    want = best_costs(len(x), energy_of(x, y, w, lam), cost)
    samples = engine_samples(x, y, delta)
    for pruning in ("functional", "PELT"):
        got = search(samples, lam, cost, pruning)["costs"]
        # The oracle's least squares on rows keeps its digits at stiff smoothing too (1e-13).
        np.testing.assert_allclose(got, want, rtol=1e-10, atol=1e-12 * want[-1])


@pytest.mark.parametrize("length", [2.0, 8.0, 32.0, 128.0])
@pytest.mark.parametrize("dim", [1, 3])
def test_stiff_long_runs_keep_the_optimum(length, dim):
    # Long smooth runs with small steps: older candidates drop newer ones there, among many
    # near-ties.
    rng = np.random.default_rng([int(length), dim])
    n = 1500
    u = np.arange(n) / n
    y = (2 * np.sin(3 * np.pi * u) + 1.0 * (u > 0.3) - 1.0 * (u > 0.7))[:, None]
    samples = engine_samples(np.arange(n, dtype=float), y + rng.standard_normal((n, dim)))
    for cost in [2.0, 7 * math.log(n) * dim]:
        got, want = (search(samples, length**4, cost, how) for how in ("functional", "PELT"))
        assert same_costs(got["costs"], want["costs"])

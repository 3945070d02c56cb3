"""The functional search drops candidates for good, so one wrong drop can cost the optimum
only on rare data. Here it meets PELT (whose candidates are the same states, so that every
cost agrees to the bit while the optimum survives) on thousands of small problems built
to make pruning aggressive: many jumps, cheap jumps, stiff and rough smoothing, several
components, weights and uneven spacing; and an unpruned programme on a few."""

from __future__ import annotations

import numpy as np
import pytest
from helpers import best_costs, energy_of, engine_samples, engine_search

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
    cost = float(10.0 ** rng.uniform(-1.0, 2.0))
    return x, y, delta, lam, cost


def search(samples, lam, cost, pruning):
    return _engine.search(samples, lam=lam, jump_cost=cost, pruning=pruning)


def test_functional_search_keeps_every_optimum_of_pelt():
    rng = np.random.default_rng(20261207)
    wrong = []
    for case in range(CASES):
        x, y, delta, lam, cost = problem(rng)
        samples = engine_samples(x, y, delta)
        got = search(samples, lam, cost, "functional")
        want = search(samples, lam, cost, "PELT")
        # Splines: both minimise over the same states, so a start pruned wrongly shows as
        # a higher cost at some end. Straight lines keep states of their own, equal to
        # PELT's up to rounding.
        ok = (
            np.array_equal(got["costs"], want["costs"])
            if np.isfinite(lam)
            else np.allclose(got["costs"], want["costs"], rtol=1e-12, atol=0.0)
        )
        if not ok:
            wrong.append((case, int(np.argmax(got["costs"] > want["costs"]))))
    assert not wrong, f"{len(wrong)} of {CASES} searches lost the optimum: {wrong[:5]}"


@pytest.mark.parametrize("seed", range(16))
def test_both_searches_reach_the_unpruned_optimum(seed):
    rng = np.random.default_rng([seed, 7])
    x, y, delta, lam, cost = problem(rng, top=40)
    p = 0.0 if np.isinf(lam) else 1.0 / (1.0 + lam)
    gamma = cost * (p or 1.0)
    w = np.ones(len(x)) if delta is None else delta**-2.0
    want = best_costs(len(x), energy_of(x, y, w, p), gamma)
    for pruning in ("functional", "PELT"):
        got = engine_search(x, y, p, gamma, delta, pruning=pruning)["costs"]
        np.testing.assert_allclose(got, want, rtol=1e-8, atol=1e-9 * want[-1])

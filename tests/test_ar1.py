"""AR(1) noise: segment energies against a dense GLS solve that shares nothing with the
engine's rows (helpers.dense_rows), prefix costs on problems that tripped a rule resting
on the wrong bound, and the work. The C++ tests check the search against the unpruned
programme over the engine's own energies; test_ar1_stats checks the segment splines
through the residuals and roughness of the statistics."""

from __future__ import annotations

import math

import numpy as np
import pytest
from helpers import ar1, best_costs, dense_solve, engine_samples
from numpy.testing import assert_allclose

import velk
from velk import _engine

SETTINGS = [(phi, even) for phi in (0.0, 0.3, 0.9) for even in (True, False)] + [(-0.5, True)]


@pytest.mark.parametrize(("phi", "even"), SETTINGS)
@pytest.mark.parametrize("dim", [1, 2, 3])
def test_segment_energy_matches_dense_gls(phi, even, dim):
    # Piecewise smooth data with AR(1) noise: many jumps, weights or none, rough to stiff
    # smoothing; no jump pays off, so the costs are the prefixes' energies.
    rng = np.random.default_rng([dim, even, int(10 * phi) + 10])
    for _ in range(4):
        n = int(rng.integers(3, 30))
        x = np.arange(float(n)) if even else np.cumsum(rng.uniform(0.2, 1.8, n))
        cuts = np.sort(rng.choice(np.arange(1, n), size=int(rng.integers(0, n // 3 + 1))))
        level = np.cumsum(rng.standard_normal((len(cuts) + 1, dim)) * 3.0, axis=0)
        piece = np.searchsorted(cuts, np.arange(n), side="right")
        noise = ar1(rng.standard_normal((n, dim)), phi)
        y = level[piece] + np.sin(x[:, None] / rng.uniform(2.0, 30.0)) + noise
        delta = rng.uniform(0.3, 2.5, n) if rng.random() < 0.6 else None
        w = np.ones(n) if delta is None else delta**-2.0
        lam, h = float(10.0 ** rng.uniform(-3.0, 6.0)), (x[-1] - x[0]) / (n - 1)
        got = _engine.search(engine_samples(x, y, delta), lam=lam, jump_cost=1e300, phi=phi)
        for r in range(2, n):
            want = dense_solve(x[: r + 1], y[: r + 1], w[: r + 1], lam, phi, h, even)[0]
            assert_allclose(got["costs"][r], want, rtol=1e-9, atol=1e-10)


def unpruned_by_engine_energies(x, y, delta, lam, cost, phi):
    """The unpruned programme over the engine's own segment energies: the prefix energies
    of every suffix (evenly spaced x, so that every run has the series' phi)."""
    n = len(x)
    table = np.zeros((n, n))
    for lo in range(n - 1):
        d = None if delta is None else delta[lo:]
        samples = engine_samples(x[lo:], y[lo:], d)
        table[lo, lo:] = _engine.search(samples, lam=lam, jump_cost=1e300, phi=phi)["costs"]
    return best_costs(n, lambda lo, hi: table[lo, hi], cost)


def tripping_problems():
    """Problems found to trip pruning on the energy C instead of D, regenerated from their
    seed: PELT's rule on C (251 and 1240, about one in a thousand of these: rough
    smoothing, cheap jumps, phi near 1 and samples of very unequal precision) and the
    region of the functional test on C (199 and 656, about one in a hundred)."""
    rng = np.random.default_rng(77)
    for case in range(1241):
        n, dim = int(rng.integers(10, 120)), int(rng.integers(1, 3))
        even = rng.random() < 0.5
        x = np.arange(float(n)) if even else np.cumsum(rng.uniform(0.2, 1.8, n))
        phi = float(rng.choice([0.5, 0.8, 0.9, 0.97, 0.99]))
        rng.integers(0, 3)
        y = 2 * rng.standard_normal((n, dim)) + 3 * np.cumsum(rng.random(n) < 0.1)[:, None]
        delta = rng.uniform(0.3, 2.5, n) ** float(rng.choice([1, 2]))
        lam, cost = float(10 ** rng.uniform(-1, 3)), float(10 ** rng.uniform(-1, 1.5))
        if case in (199, 251, 656, 1240):
            yield x, y, delta, lam, cost, phi


@pytest.mark.parametrize("problem", list(tripping_problems()), ids=["199", "251", "656", "1240"])
def test_problems_found_to_trip_pruning_on_c(problem):
    x, y, delta, lam, cost, phi = problem
    want = unpruned_by_engine_energies(x, y, delta, lam, cost, phi)
    got = _engine.search(engine_samples(x, y, delta), lam=lam, jump_cost=cost, phi=phi)
    assert_allclose(got["costs"], want, rtol=1e-9, atol=1e-9 * want[-1])


@pytest.mark.parametrize("phi", [0.5, 0.9])
def test_lam_zero_interpolates_whatever_phi(phi):
    rng = np.random.default_rng(4)
    x = np.cumsum(rng.uniform(0.5, 1.5, 40))
    y = np.sin(x) + rng.standard_normal(40)
    assert_allclose(velk.fit(x, y, p=1.0, gamma=1.0, phi=phi)(x), y, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize(("dim", "phi", "most"), [(1, 0.5, 40.0), (1, 0.9, 40.0), (3, 0.5, 40.0)])
def test_work_stays_linear(dim, phi, most):
    """Samples fed per sample on a smooth curve with three steps under AR(1) noise: a
    pruning rule that stopped pruning stays exact, and only this count sees it."""
    n = 10000
    rng = np.random.default_rng(1)
    u = np.arange(n) / n
    steps = 3.0 * ((u >= 0.25).astype(float) - (u >= 0.5) + (u >= 0.75))
    y = (2 * np.sin(3 * np.pi * u) + steps)[:, None] + ar1(rng.standard_normal((n, dim)), phi)
    samples = engine_samples(np.arange(float(n)), y)
    res = _engine.search(samples, lam=16.0**4, jump_cost=7 * math.log(n) * dim, phi=phi)
    assert res["samples_fed"] / n <= most

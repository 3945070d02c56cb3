"""The functional search against the unpruned programme where pruning is aggressive.

Both searches grow the same states, in kernels that round differently in the last bits, so
every prefix's optimum must agree to 1e-11; a candidate dropped wrongly shows as an error
of 1e-4 or more in some prefix. Small dense cases also go against the O(n^2) oracle.
"""

import math

import numpy as np
import pytest
from helpers import best_costs, energy_of, engine_samples, segments
from numpy.testing import assert_allclose

from velk import _engine


def random_case(rng, n, dim, lines):
    x = np.cumsum(rng.uniform(0.5, 1.5, n)) if rng.random() < 0.5 else np.arange(n, dtype=float)
    steps = rng.choice([0.0] * 6 + [2.0, -3.0, 5.0], n) * (np.arange(n) > 1)
    u = x / max(x[-1], 1.0)
    base = np.cumsum(steps)[:, None] + 2 * np.sin(3 * np.pi * u)[:, None]
    if lines:
        base = base + 0.01 * x[:, None] * rng.standard_normal(dim)
    y = base + rng.uniform(0.05, 1.0) * rng.standard_normal((n, dim))
    lam = math.inf if lines else 10 ** rng.uniform(-3, 6)
    return x, y, lam, 10 ** rng.uniform(-1, 2)


def both(x, y, lam, cost):
    s = engine_samples(x, y)
    got = _engine.search(s, lam=lam, jump_cost=cost)
    want = _engine.search(s, lam=lam, jump_cost=cost, pruning="PELT")
    return got, want


@pytest.mark.parametrize("lines", [False, True])
@pytest.mark.parametrize("dim", [1, 2, 3])
@pytest.mark.parametrize("block", range(4))
def test_same_optimum_and_partition_as_pelt(lines, dim, block):
    rng = np.random.default_rng([block, dim, lines])
    for _ in range(60):
        n = int(rng.integers(5, 301))
        x, y, lam, cost = random_case(rng, n, dim, lines)
        got, want = both(x, y, lam, cost)
        assert_allclose(got["costs"], want["costs"], rtol=1e-11, atol=1e-12)
        assert got["samples_fed"] <= want["samples_fed"]


@pytest.mark.parametrize("length", [2.0, 8.0, 32.0, 128.0])
@pytest.mark.parametrize("dim", [1, 3])
def test_stiff_long_runs_match_pelt(length, dim):
    # Long smooth runs with small steps: the live set is where older candidates drop newer
    # ones, and many near-ties between them.
    rng = np.random.default_rng([int(length), dim])
    n = 1500
    u = np.arange(n) / n
    y = (2 * np.sin(3 * np.pi * u) + 1.0 * (u > 0.3) - 1.0 * (u > 0.7))[:, None]
    y = y + rng.standard_normal((n, dim))
    for cost in [2.0, 7 * math.log(n) * dim]:
        got, want = both(np.arange(n, dtype=float), y, length**4, cost)
        assert_allclose(got["costs"], want["costs"], rtol=1e-11, atol=1e-12)
        assert np.mean(got["starts"] == want["starts"]) > 0.99


@pytest.mark.parametrize("seed", range(12))
def test_matches_the_dense_oracle(seed):
    rng = np.random.default_rng(500 + seed)
    n, dim = int(rng.integers(5, 16)), int(rng.integers(1, 3))
    lines = seed % 3 == 0
    x, y, lam, _ = random_case(rng, n, dim, lines)
    p = 0.0 if lines else 1.0 / (1.0 + lam)
    energy = energy_of(x, y, np.ones(n), p)
    gamma = energy(0, n - 1) * float(rng.uniform(0.01, 0.3))
    want = best_costs(n, energy, gamma)
    res = _engine.search(engine_samples(x, y), lam=lam, jump_cost=gamma / (p or 1.0))
    assert_allclose(res["costs"] * (p or 1.0), want, rtol=1e-9, atol=1e-12)
    segs = segments(res["starts"])
    total = sum(energy(i, j) for i, j in segs) + gamma * (len(segs) - 1)
    assert_allclose(total, want[-1], rtol=1e-9, atol=1e-12)


@pytest.mark.parametrize(
    ("dim", "length", "most"),
    [(1, 4.0, 12.0), (1, 16.0, 25.0), (1, 64.0, 55.0), (3, 16.0, 35.0)],
)
def test_live_set_stays_small(dim, length, most):
    # Work bound on the benchmark signal (smooth curve, three 3 sd steps) at n = 2e4.
    n = 20000
    rng = np.random.default_rng(1)
    u = np.arange(n) / n
    steps = 3.0 * ((u >= 0.25).astype(float) - (u >= 0.5) + (u >= 0.75))
    y = (2 * np.sin(3 * np.pi * u) + 1.5 * u + steps)[:, None] + rng.standard_normal((n, dim))
    samples = engine_samples(np.arange(n, dtype=float), y)
    res = _engine.search(samples, lam=length**4, jump_cost=7 * math.log(n) * dim)
    assert res["samples_fed"] / n <= most

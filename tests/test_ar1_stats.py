"""The statistics `select` scores, under AR(1) noise, against dense linear algebra on the
samples' values: the GLS smoother (V^-1 + lam Q R^-1 Q')^-1 V^-1 and the covariance of
the second differences Q'VQ + R / lam, V = W^-1/2 Sigma W^-1/2 (the residuals come from the
fitted segments' values and the roughness from their pieces, so this checks the segment
splines too); and the estimate of phi from differences."""

from __future__ import annotations

import math

import numpy as np
import pytest
from helpers import ar1, engine_samples, reinsch
from numpy.testing import assert_allclose

from velk import _engine
from velk._ar1 import estimate_phi


def dense_segment(x, y, w, lam, corr):
    """(rss, prss, edf, logdet) of one segment; corr its correlation matrix."""
    m = len(x)
    if m == 1:
        return 0.0, 0.0, float(y.shape[1]), 0.0
    sd = 1 / np.sqrt(w)
    v = sd[:, None] * corr * sd[None, :]
    vi = np.linalg.inv(v)
    pen, logdet = np.zeros((2, 2)), 0.0
    if m > 2:  # Q, the second divided differences; R, their Gram matrix
        q, r = reinsch(x)
        pen = q @ np.linalg.solve(r, q.T)
        logdet = np.linalg.slogdet(q.T @ v @ q + r / lam)[1]
        logdet -= np.linalg.slogdet(q.T @ (q / w[:, None]))[1]
    smoother = np.linalg.solve(vi + lam * pen, vi)
    f = smoother @ y
    e = y - f
    rss = float(np.sum(e * (vi @ e)))
    prss = rss + lam * float(np.sum(f * (pen @ f)))
    dim = y.shape[1]
    return rss, prss, dim * float(np.trace(smoother)), dim * logdet


def dense_stats(x, y, w, lam, phi, cuts):
    """The sums over the segments between cuts (indices of their first samples)."""
    h = (x[-1] - x[0]) / (len(x) - 1)
    t = np.arange(len(x)) if np.allclose(np.diff(x), h, rtol=1e-12) else x / h
    corr = np.power(float(phi), np.abs(t[:, None] - t[None, :]))
    bounds = [0, *cuts, len(x)]
    out = np.zeros(4)
    for a, b in zip(bounds[:-1], bounds[1:]):
        out += dense_segment(x[a:b], y[a:b], w[a:b], lam, corr[a:b, a:b])
    return out


CASES = [  # (phi, dim, even, weighted, lam, step)
    (0.0, 1, True, False, 3.0, 0.0), (0.5, 1, True, False, 3.0, 0.0),
    (-0.6, 1, True, True, 0.5, 0.0), (0.9, 2, True, True, 20.0, 0.0),
    (0.5, 3, False, True, 2.0, 0.0), (0.7, 1, False, False, 0.05, 6.0),
    (0.3, 2, True, True, 8.0, 6.0), (0.0, 3, False, True, 2.0, 6.0),
]  # fmt: skip


@pytest.mark.parametrize(("phi", "dim", "even", "weighted", "lam", "step"), CASES)
@pytest.mark.parametrize("n", [7, 40])
def test_stats_match_dense_gls(phi, dim, even, weighted, lam, step, n):
    rng = np.random.default_rng(n + dim)
    x = np.arange(n, dtype=float) if even else np.cumsum(rng.uniform(0.4, 1.6, n))
    delta = rng.uniform(0.5, 2.0, n) if weighted else np.ones(n)
    y = np.sin(x / 4)[:, None] + 0.3 * rng.standard_normal((n, dim))
    y[n // 2 :] += step
    samples = engine_samples(x, y, delta)
    cost = 1.0 if step else math.inf
    # At phi = 0 the independent-noise statistics (no phi given) answer to the same sums.
    for given in [phi, None] if phi == 0.0 else [phi]:
        res = _engine.fit(samples, lam=lam, jump_cost=cost, phi=given, stats=True)
        cuts = [int(k) + 1 for k in res["jump_index"]]
        if step:
            assert cuts, "the step should be cut"
        rss, prss, edf, logdet = dense_stats(x, y, 1 / delta**2, lam, phi, cuts)
        st = res["stats"]
        assert_allclose([st["rss"], st["prss"]], [rss, prss], rtol=1e-7)
        assert_allclose(st["edf"], edf, rtol=1e-8)
        # The AR covariance's own term sum log(1 - phi^2) is in the log-determinant.
        assert_allclose(st["logdet"], logdet, rtol=1e-7, atol=1e-7)


@pytest.mark.parametrize("phi", [-0.4, 0.0, 0.5, 0.8, 0.95])
@pytest.mark.parametrize("n", [100, 400])
def test_estimate_survives_trend_and_jumps(phi, n):
    """A steep smooth trend and two large jumps: an estimate that ignores them, or one that
    saturates under strong correlation, misses by far more than the tolerance."""
    errs = []
    for seed in range(8):
        rng = np.random.default_rng(seed)
        t = np.arange(n, dtype=float)
        trend = 4 * np.sin(6 * t / n) + 8 * (t > n / 3) - 6 * (t > 2 * n / 3)
        y = trend + ar1(rng.standard_normal(n), phi)
        errs.append(estimate_phi(t, y[:, None]) - phi)
    assert abs(float(np.median(errs))) < 0.15
    if n == 400:
        assert max(abs(e) for e in errs) < 0.45


def test_estimate_is_clipped_and_defined_on_short_series():
    rng = np.random.default_rng(0)
    y = np.cumsum(rng.standard_normal(30))[:, None]  # a random walk: phi -> 1
    assert -0.95 <= estimate_phi(np.arange(30.0), y) <= 0.95
    assert estimate_phi(np.arange(4.0), np.zeros((4, 1))) == 0.0

"""The benchmark signals and the accuracy of found jumps.

x is the sample index (unit spacing), so a signal of n samples looks locally the
same at every n and one (p, gamma) suits all sizes.
"""

from __future__ import annotations

import numpy as np

SIGMA = 0.05  # noise standard deviation, passed as delta
P = 1e-6  # lam = (1 - p) / p = 1e6: about 7 samples of smoothing at w = 1/SIGMA^2
FIXED_JUMPS = 10
SAMPLES_PER_JUMP = 200  # "growing": n // 200 jumps
TOLERANCE = 5  # a found jump matches a true one within this many samples


def gamma_for(dim: int) -> float:
    # A jump must save 30 units of the scaled chi-square per component.
    return 30.0 * P * dim


def spline_signal(n: int, seed: int = 0):
    """Smooth noisy signal with varying standard deviations: x, y, delta."""
    rng = np.random.default_rng(seed)
    x = np.arange(n) + rng.uniform(-0.3, 0.3, n)
    delta = SIGMA * rng.uniform(0.5, 2.0, n)
    y = (
        np.sin(2 * np.pi * x / 300)
        + 0.5 * np.sin(2 * np.pi * x / 1170)
        + delta * rng.standard_normal(n)
    )
    return x, y, delta


def jump_count(kind: str, n: int) -> int:
    return FIXED_JUMPS if kind == "fixed" else n // SAMPLES_PER_JUMP


def jump_signal(kind: str, n: int, dim: int, seed: int = 0):
    """Piecewise-smooth noisy signal: a smooth curve plus levels that jump.

    Returns x, y (n x dim), delta and the true jumps as the index of the
    first sample after each jump. Jumps are about evenly spread (at least
    half a segment apart) and at least 1 = 20 sigma high in every component.
    """
    jumps = jump_count(kind, n)
    rng = np.random.default_rng(seed)
    x = np.arange(n, dtype=float)
    length = n / (jumps + 1)
    starts = np.round(length * (np.arange(1, jumps + 1) + rng.uniform(-0.25, 0.25, jumps))).astype(
        np.int64
    )
    segment = np.searchsorted(starts, np.arange(n), side="right")
    heights = rng.uniform(1.0, 2.0, (jumps + 1, dim)) * rng.choice([-1.0, 1.0], (jumps + 1, dim))
    heights[0] = 0.0
    level = np.cumsum(heights, axis=0)[segment]
    phase = rng.uniform(0.0, 2 * np.pi, dim)
    smooth = np.sin(2 * np.pi * x[:, None] / 300 + phase) + 0.5 * np.sin(
        2 * np.pi * x[:, None] / 1170
    )
    y = smooth + level + SIGMA * rng.standard_normal((n, dim))
    return x, y, np.full(n, SIGMA), starts


def precision_recall(found, truth, tol: int = TOLERANCE):
    """One-to-one matching of found to true jump indices within tol samples."""
    found = sorted(int(v) for v in found)
    truth = sorted(int(v) for v in truth)
    pairs = sorted(
        (abs(f - t), i, j)
        for i, f in enumerate(found)
        for j, t in enumerate(truth)
        if abs(f - t) <= tol
    )
    used_f, used_t, hits = set(), set(), 0
    for _, i, j in pairs:
        if i not in used_f and j not in used_t:
            used_f.add(i)
            used_t.add(j)
            hits += 1
    precision = hits / len(found) if found else 1.0
    recall = hits / len(truth) if truth else 1.0
    return precision, recall

"""A built-in example signal: smooth pieces, three known jumps, seeded noise."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np


class Example(NamedTuple):
    x: np.ndarray  # (n,) abscissae, increasing
    y: np.ndarray  # (n, 1) noisy samples
    delta: np.ndarray  # (n,) standard deviation of the noise
    truth: np.ndarray  # (n, 1) the noise-free signal at x
    jumps: np.ndarray  # positions of the true jumps


JUMPS = (2.5, 5.5, 8.0)
STEPS = (1.5, -2.0, 1.0)
SIGMA = 0.15


def signal(t: np.ndarray) -> np.ndarray:
    """The noise-free curve: a slow oscillation plus a step at each jump."""
    f: np.ndarray = np.sin(t) + 0.3 * np.cos(2.3 * t)
    for at, step in zip(JUMPS, STEPS):
        f = f + np.where(t > at, step, 0.0)
    return f


def example(n: int = 400, seed: int = 0) -> Example:
    """n samples on [0, 10]; the same n and seed always give the same data."""
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 10.0, n)
    truth = signal(x)[:, None]
    y = truth + SIGMA * rng.standard_normal((n, 1))
    delta = np.full(n, SIGMA)
    return Example(x, y, delta, truth, np.array(JUMPS))

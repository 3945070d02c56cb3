"""AR(1) noise for `select`: its lag-one correlation phi estimated from differences of the
samples, and the few values of phi around the estimate that the search profiles.

The model: y_i = f(x_i) + delta_i * e_i, e stationary AR(1) in sample order with lag-one
correlation phi (phi ** (dx / h) between samples dx apart, h the mean spacing, for uneven
x), each segment's noise independent of the others'. Under it the second differences at
lag k, z_i = y_(i+k) - 2 y_i + y_(i-k), have variance

    v_k = 2 s2 (3 - 4 phi^k + phi^(2k))

(s2 the noise variance) where f is locally linear: a smooth trend enters only through
its curvature, k^2 f'' at most, small at short lags. A jump spoils 2k of them, which a
robust variance (the median absolute deviation) ignores. So phi is the value whose
curve v_k / v_1 fits the robust variances of lags k = 1..K best in logarithms, s2
profiled out, over a grid of phi in [-0.95, 0.95]. The ratio v_K / v_1 tends to K as phi
tends to 1, finitely, so strong correlation or a short series ends at the grid's edge
instead of running off to 1.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import TypeVar

import numpy as np
import numpy.typing as npt

from velk._ppoly import FloatArray

__all__ = [
    "PHI_MAX",
    "candidates",
    "correlations",
    "estimate_phi",
    "level_factor",
    "profile",
    "rounding_rows",
]

T = TypeVar("T")

# The lags whose second differences are read: a smooth trend's curvature grows as k^2,
# so the lags stay short.
LAGS = 4
# phi's search range: beyond 0.95 the lags 1..K cannot tell phi from a random walk.
PHI_MAX = 0.95
GRID = np.linspace(-PHI_MAX, PHI_MAX, 381)
# The values profiled around the estimate.
STEP = 0.15
# The median absolute deviation of a Gaussian, in standard deviations.
MAD = 0.6744897501960817


def shape(phi: FloatArray, k: FloatArray) -> FloatArray:
    """log(3 - 4 phi^k + phi^(2k)) for every phi (rows) and lag k (columns)."""
    r = np.power(phi[:, None], k[None, :])
    out: FloatArray = np.log((3.0 - 4.0 * r) + r * r)
    return out


def robust_log_variances(y: FloatArray, lags: int) -> FloatArray | None:
    """log of the robust variance of the second differences at lags 1..lags, averaged
    over the components; None where any is zero (exact data)."""
    out = np.zeros(lags)
    for k in range(1, lags + 1):
        z = y[2 * k :] - 2.0 * y[k:-k] + y[: -2 * k]
        mad = np.median(np.abs(z - np.median(z, axis=0)), axis=0) / MAD
        if not np.all(mad > 0.0):
            return None
        out[k - 1] = float(np.mean(2.0 * np.log(mad)))
    return out


def estimate_phi(x: FloatArray, y: FloatArray) -> float:
    """The lag-one correlation of AR(1) noise in y (m x dim, sorted by x), in
    [-PHI_MAX, PHI_MAX]; 0 for series too short to tell (fewer than 12 samples) or
    without noise."""
    m = len(x)
    lags = min(LAGS, (m - 4) // 4)
    if lags < 2:
        return 0.0
    logs = robust_log_variances(np.asarray(y, dtype=float), lags)
    if logs is None:
        return 0.0
    model = shape(GRID, np.arange(1.0, lags + 1.0))
    resid = (logs[None, :] - model) - np.mean(logs[None, :] - model, axis=1, keepdims=True)
    return float(GRID[int(np.argmin(np.sum(resid * resid, axis=1)))])


def correlations(x: FloatArray, phi: float) -> FloatArray:
    """The correlation of each interval of x (out[0] unused) as the engine fits it: phi
    where the spacings are even to 1e-9 of their mean h, else phi ** (dx / h)."""
    out = np.full(len(x), float(phi))
    out[0] = 0.0
    if len(x) < 2:
        return out
    dx = np.diff(x)
    h = (x[-1] - x[0]) / (len(x) - 1)
    if np.all(np.abs(dx - h) <= 1e-9 * h):
        return out
    if phi < 0.0:
        raise ValueError("phi < 0 needs evenly spaced x")
    out[1:] = np.power(phi, dx / h)
    return out


def rounding_rows(x: FloatArray, phi: float, firsts: npt.NDArray[np.int64]) -> float:
    """What independent noise of unit variance leaves per sample in the rows of the AR(1)
    fit, on average: a row (e_i - phi_i e_(i-1)) / sqrt(1 - phi_i^2) has E = (1 + phi_i^2) /
    (1 - phi_i^2) of it, the first row of each segment (at `firsts`, and sample 0) 1. The
    rounding of the values is such noise, so this scales the floor of the noise variance
    under AR(1) noise: with it, residuals at the floor are no likelier under any phi than
    under phi = 0, and noise-free data never read as correlated."""
    c = correlations(x, phi)
    rows = (1.0 + c * c) / (1.0 - c * c)
    rows[0] = 1.0
    rows[firsts] = 1.0
    return float(np.mean(rows))


def level_factor(phi: float) -> float:
    """The noise's standard deviation over the level that the misfit of each sample to
    the line through its neighbours gives (which assumes independent noise): that misfit
    has variance s2 (3 - 4 phi + phi^2) / 2 under AR(1) noise, 3 s2 / 2 without. Positive
    correlation hides noise from neighbours; a jump cost from their level would be far
    too low."""
    return math.sqrt(3.0 / ((3.0 - 4.0 * phi) + phi * phi))


def candidates(phi: float) -> list[float]:
    """The values of phi the search profiles: the estimate and STEP either side, within
    [0, PHI_MAX] (negative correlation is left to the independent models)."""
    out = []
    for v in (phi - STEP, phi, phi + STEP):
        c = round(min(max(v, 0.0), PHI_MAX), 4)
        if c not in out:
            out.append(c)
    return out


def profile(run: Callable[[float], T], score: Callable[[T], float], start: list[float]) -> T:
    """The best of run(phi) by score over the values `start`, walking on by STEP while
    the best is the largest or smallest value tried and [0, PHI_MAX] has room: an
    estimate off by more than STEP is still found, at one search per step."""
    tried = {phi: run(phi) for phi in start}
    while True:
        best = min(tried, key=lambda v: score(tried[v]))
        nxt = None
        if best == max(tried) and best < PHI_MAX:
            nxt = round(min(best + STEP, PHI_MAX), 4)
        elif best == min(tried) and best > 0.0:
            nxt = round(max(best - STEP, 0.0), 4)
        if nxt is None or nxt in tried:
            return tried[best]
        tried[nxt] = run(nxt)

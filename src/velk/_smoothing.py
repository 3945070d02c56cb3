"""How smooth and what a jump costs: the settings of a fit in the terms of `fit` and of the
engine, and the noise level the data show."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from velk._backend import smoothing_of

__all__ = ["Setting", "noise_scale", "setting_of", "terms_of"]

FloatArray = npt.NDArray[np.float64]


class Setting(NamedTuple):
    """One fit's smoothness and jump cost as the engine takes them."""

    lam: float | None  # exactly one of lam and length
    length: float | None
    jump_cost: float  # per jump, in units of the weighted residual sum of squares D


def setting_of(
    p: float | None, smoothing: float | None, gamma: float | None, jump_cost: float | None
) -> Setting:
    """The setting given by exactly one of p and smoothing and one of gamma and jump_cost.

    gamma counts in the units of ``p * D`` (``gamma = p * jump_cost``, jump_cost itself for
    straight lines, p = 0), so it goes with p; with a smoothing length, give jump_cost.
    """
    if (p is None) == (smoothing is None):
        raise ValueError("give exactly one of p and smoothing")
    if (gamma is None) == (jump_cost is None):
        raise ValueError("give exactly one of gamma and jump_cost")
    if jump_cost is not None and not jump_cost >= 0.0:
        raise ValueError(f"jump_cost must satisfy 0 <= jump_cost, got {jump_cost:g}")
    if p is None:
        if gamma is not None:
            raise ValueError(
                "with smoothing, give jump_cost: gamma is relative to p (gamma = p * jump_cost)"
            )
        if not smoothing >= 0.0:  # type: ignore[operator]
            raise ValueError(f"smoothing must satisfy 0 <= smoothing, got {smoothing:g}")
        return Setting(None, smoothing, float(jump_cost))  # type: ignore[arg-type]
    lam, cost = smoothing_of(float(p), 0.0 if gamma is None else float(gamma))
    return Setting(lam, None, cost if jump_cost is None else float(jump_cost))


def terms_of(lam: float, jump_cost: float) -> tuple[float, float]:
    """(p, gamma) of a fit with lam = (1 - p) / p and the given jump cost."""
    p = 0.0 if math.isinf(lam) else 1.0 / (1.0 + lam)
    return p, (jump_cost * p if p > 0.0 else jump_cost)


def noise_scale(x: FloatArray, y: FloatArray, w: FloatArray) -> FloatArray:
    """The noise level of each component of three or more prepared samples (distinct, sorted
    x), relative to the standard deviations 1 / sqrt(w).

    Each sample minus the straight line through its two neighbours, scaled to unit
    variance under the weights, is a pseudo-residual; their median absolute deviation
    ignores the few that straddle a jump or a sharp bend. A component whose pseudo-residuals
    are mostly zero falls back to their root mean square (and to 1 when all are zero).
    """
    d = 1.0 / np.sqrt(w)
    a = (x[2:] - x[1:-1]) / (x[2:] - x[:-2])
    b = 1.0 - a
    z = (a[:, None] * y[:-2] + b[:, None] * y[2:] - y[1:-1]) / np.sqrt(
        (a * d[:-2]) ** 2 + d[1:-1] ** 2 + (b * d[2:]) ** 2
    )[:, None]
    mad = 1.4826 * np.median(np.abs(z - np.median(z, axis=0)), axis=0)
    rms = np.sqrt(np.mean(z * z, axis=0))
    noise = np.where(mad > 0, mad, rms)
    out: FloatArray = np.where(noise > 0, noise, 1.0)
    return out

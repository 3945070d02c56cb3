"""The compiled core as the public API sees it: every fit of the package goes through here."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from velk._velk_core import velk as _velk

__all__ = ["fit_dict", "smoothing_of"]


def smoothing_of(p: float, gamma: float) -> tuple[float, float]:
    """(lam, jump_cost) of the contract's (p, gamma): lam = (1 - p) / p, jump_cost = gamma / p.

    The fit minimises ``sum(D + lam * R) + jump_cost * jumps`` (D the weighted residual sum
    of squares, R the integral of f''**2); p = 0 is the straight-line model, lam = inf, and
    its gamma already counts in units of D. ValueError for p outside [0, 1] or gamma < 0.
    """
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"p must satisfy 0 <= p <= 1, got {p:g}")
    if not gamma >= 0.0:
        raise ValueError(f"gamma must satisfy 0 <= gamma, got {gamma:g}")
    if p == 0.0:
        return math.inf, gamma
    return (1.0 - p) / p, gamma / p


def fit_dict(
    x: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    delta: npt.NDArray[np.float64] | None,
    *,
    lam: float,
    jump_cost: float,
    pruning: str = "FPVI",
    precondition: str = "none",
) -> dict[str, Any]:
    """The result dictionary of `velk.velk` for the fit of ``sum(D + lam * R) + jump_cost * K``.

    x (n,), y (n, dim) and delta (n,) or None are contiguous float64 arrays of finite
    samples. lam in [0, inf]: 0 interpolates, inf fits straight lines. Raises
    RuntimeError with the core's message for values the core rejects.
    """
    p = 0.0 if math.isinf(lam) else 1.0 / (1.0 + lam)
    gamma = jump_cost * p if p > 0.0 else jump_cost
    return dict(_velk(x, y, p, gamma, delta, pruning, precondition))

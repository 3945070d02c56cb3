"""The compiled core as the public API sees it: every fit of the package goes through here."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from velk import _engine

__all__ = ["cancel_token", "fit_dict", "smoothing_of"]


def smoothing_of(p: float, gamma: float) -> tuple[float, float]:
    """(lam, jump_cost) of the contract's 0 <= p <= 1 and gamma >= 0: lam = (1 - p) / p,
    jump_cost = gamma / p.

    The fit minimises ``sum(D + lam * R) + jump_cost * jumps`` (D the weighted residual sum
    of squares, R the integral of f''**2); p = 0 is the straight-line model, lam = inf, and
    its gamma already counts in units of D.
    """
    if p == 0.0:
        return math.inf, gamma
    return (1.0 - p) / p, gamma / p


def cancel_token() -> npt.NDArray[np.uint8]:
    """A flag for `fit_dict`'s cancel: set its element to 1 and the fits reading it stop
    with KeyboardInterrupt within milliseconds (threads that share a search)."""
    return np.zeros(1, dtype=np.uint8)


def fit_dict(
    x: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    delta: npt.NDArray[np.float64] | None,
    **options: Any,
) -> dict[str, Any]:
    """The result dictionary of the fit of ``sum(D + lam * R) + jump_cost * K``, by
    `velk._engine.fit` (options as in its stub: lam or length, jump_cost, pruning,
    precondition, cancel, stats).

    x (n,), y (n, dim) and delta (n,) or None are float64 arrays; rows with a non-finite
    value of y are dropped, x must be finite and delta finite and positive. Give lam in
    [0, inf] (0 interpolates, inf fits straight lines) or a smoothing length in units of x
    (lam = length**4 * w / h, w the mean weight and h the mean spacing of the distinct
    samples): the length works at any scale of x, y and delta, where lam may not be a
    double. The dictionary is that of `velk.velk` plus "scale" = (x_unit, y_unit): piece
    k of a component is ``y_unit * sum(coefs[k, m] * ((t - breaks[k]) / x_unit)**(3 - m))``.
    The engine's extras come too: "lam" (in the caller's units) and "w" (the prepared
    samples' weights), and with stats=True "stats" (see `velk._select.evidence`).
    ValueError for values the fit rejects; KeyboardInterrupt on Ctrl-C or from `cancel`.
    The fit runs without the interpreter lock.
    """
    return dict(_engine.fit(x, y, delta, **options))

"""``python -m velk``: fit the built-in example and print a short summary."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

import numpy as np

import velk
from velk._example import GAMMA, P, example

if TYPE_CHECKING:
    from velk._velk_core import VelkResult


def _evaluate(res: VelkResult, t: np.ndarray) -> np.ndarray:
    """Values of the fitted curve at t (n x dim), each point in its left-closed piece."""
    breaks, coefs, dim = res["breaks"], res["coefs"], res["dim"]
    piece = np.clip(np.searchsorted(breaks, t, side="right") - 1, 0, len(breaks) - 2)
    dt = (t - breaks[piece])[:, None]
    rows = piece[:, None] * dim + np.arange(dim)
    v: np.ndarray = coefs[rows, 0]
    for m in range(1, coefs.shape[1]):
        v = v * dt + coefs[rows, m]
    return v


def main() -> int:
    ex = example()
    res = velk.velk(ex.x, ex.y, P, GAMMA, ex.delta)

    err = _evaluate(res, res["x"]) - ex.truth
    print(f"velk {velk.__version__}: example signal, {len(ex.x)} samples, noise sd {ex.delta[0]:g}")
    print(f"p = {P:g}, gamma = {GAMMA:g}")
    print(f"segments: {len(res['interval_cell'])}, pieces: {len(res['breaks']) - 1}")
    print(f"jumps found: {np.array2string(res['discont'], precision=3)}")
    print(f"true jumps:  {np.array2string(ex.jumps, precision=3)}")
    print(f"rms error against the noise-free signal: {np.sqrt(np.mean(err**2)):.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

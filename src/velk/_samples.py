"""The caller's samples, converted once and prepared by the engine for every fit."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from velk import _engine
from velk._time import TimeAxis, axis_of
from velk._validate import float_array

__all__ = ["Data", "grid_step", "read"]


class Data(NamedTuple):
    """Samples ready for fitting, and how to answer in the caller's terms."""

    samples: _engine.Samples  # finite, sorted by x, merged where x repeats
    squeeze: bool  # y was 1-D: values are returned without a component axis
    axis: TimeAxis | None  # how datetime x became seconds; None for numeric x
    n: int  # input rows

    @property
    def dim(self) -> int:
        return int(self.samples.y.shape[1])


def arrays(
    x: object, y: object, delta: object
) -> tuple[np.ndarray | None, np.ndarray, np.ndarray | None, bool, TimeAxis | None]:
    """x (or None), y (n, dim) and delta (or None) as float64 arrays of matching shapes."""
    ya = float_array("y", y)
    if ya.ndim not in (1, 2):
        raise ValueError(f"y must be 1-D or 2-D (one row per sample), got {ya.ndim}-D")
    squeeze = ya.ndim == 1
    y2 = ya[:, None] if squeeze else ya
    n = y2.shape[0]
    if y2.shape[1] == 0:
        raise ValueError(f"y must have at least one column, got shape {ya.shape}")
    xa, axis = (None, None) if x is None else axis_of(x)
    if xa is not None and (xa.ndim != 1 or len(xa) != n):
        raise ValueError(f"x must be 1-D with one value per sample ({n}), got shape {xa.shape}")
    da = None
    if delta is not None:
        da = float_array("delta", delta)
        if da.ndim == 0:
            da = np.full(n, float(da))
        if da.ndim != 1 or len(da) != n:
            raise ValueError(
                f"delta must be a number or 1-D with one value per sample ({n}), "
                f"got shape {da.shape}"
            )
    return xa, y2, da, squeeze, axis


def read(x: object, y: object, delta: object, *, index: bool = False) -> Data:
    """Convert array-likes and prepare them: samples whose x, y row or delta is missing
    (NaN, infinite, NaT) are left out, the rest sorted by x and merged where x repeats.
    Datetime or timedelta x becomes seconds since the earliest sample. With index, the
    samples map every input row to its sample (-1 where left out)."""
    xa, y2, da, squeeze, axis = arrays(x, y, delta)
    return Data(_engine.prepare(xa, y2, da, index=index), squeeze, axis, y2.shape[0])


# A grid finer than this many ulps of the values cannot be told from the doubles' own
# rounding; and a value lies on a grid when it sits on a line of it to this fraction of the
# step, far beyond the rounding of a decimal written in binary.
GRID_ULPS = 1e8
ON_GRID = 1e-6


def grid_step(values: np.ndarray) -> float:
    """The step of the grid that every value lies on, if there is one: the resolution of
    values recorded in whole units (counts, an ADC's levels in any unit) or to a fixed
    number of decimals. The least gap between distinct values, where every value is
    offset from the least by a whole number of it; 0.0 where not, where that gap is no
    coarser than the doubles' rounding, or with fewer than three distinct values (any
    two lie on a grid)."""

    def step_of(v: np.ndarray) -> float:
        u = np.unique(v)
        if len(u) < 3:
            return 0.0
        step = float(np.min(np.diff(u)))
        finest = GRID_ULPS * float(np.finfo(float).eps) * float(np.max(np.abs(u)))
        r = (u - u[0]) / step
        return step if step > finest and np.all(np.abs(r - np.rint(r)) <= ON_GRID) else 0.0

    # Most series leave every grid within a few values: only those whose head lies on
    # one are sorted in full.
    head = step_of(values[:64])
    return step_of(values) if head > 0.0 or len(values) <= 64 else 0.0

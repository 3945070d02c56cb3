from collections.abc import Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypedDict, type_check_only

import numpy as np
import numpy.typing as npt

_Float = SupportsFloat | SupportsIndex
_F64 = npt.NDArray[np.float64]
_I64 = npt.NDArray[np.int64]

@type_check_only
class PPDict(TypedDict):
    """A piecewise polynomial: piece k is [breaks[k], breaks[k+1]], coefs row
    k*dim + j holds component j, highest power of (t - breaks[k]) first."""

    breaks: _F64  # (nb,)
    coefs: _F64  # ((nb - 1) * dim, order)
    dim: int
    order: int  # always 4

@type_check_only
class VelkResult(TypedDict):
    """The result of one fit; keys iterate in this order. m is the number of
    prepared (filtered, sorted, merged) samples, K the number of segments."""

    breaks: _F64  # (nb,), from x[0] - 1 to x[m-1] + 1
    coefs: _F64  # ((nb - 1) * dim, 4)
    dim: int
    order: int
    discont: _F64  # (K - 1,) jump positions, ascending
    discont_idx: _I64  # (K - 1,) last sample index before each jump
    x: _F64  # (m,) prepared abscissae, strictly increasing
    y: _F64  # (m, dim) prepared values
    complexity_counter: int
    interval_cell: list[_I64]  # K arrays of consecutive sample indices
    pp_cell: list[PPDict]  # K per-segment polynomials
    F: _F64  # (m,)
    partition: _I64  # (m,)
    precondition: Literal["none", "local"]
    tau: _F64  # (m,)

def velk(
    x: _F64 | None,
    y: _F64,
    p: _Float,
    gamma: _Float,
    delta: _F64 | None = None,
    pruning: str = "FPVI",
    precondition: str = "none",
) -> VelkResult: ...
def velk_cvscore(
    x: _F64,
    y: _F64,
    p: _Float,
    gamma: _Float,
    delta: _F64,
    folds: Sequence[Sequence[SupportsIndex]] | npt.NDArray[np.integer[Any]],
    pruning: str = "FPVI",
    precondition: str = "none",
) -> float: ...

from typing import type_check_only

import numpy as np
import numpy.typing as npt

from velk._velk_core import VelkResult

class InternalError(BaseException): ...

@type_check_only
class EngineResult(VelkResult):
    scale: tuple[float, float]  # (x_unit, y_unit)
    lam: float
    w: npt.NDArray[np.float64]

def fit(
    x: npt.NDArray[np.float64],
    y: npt.NDArray[np.float64],
    delta: npt.NDArray[np.float64] | None = None,
    *,
    lam: float | None = None,
    length: float | None = None,
    jump_cost: float,
    pruning: str = "functional",
    precondition: str = "none",
    cancel: npt.NDArray[np.uint8] | None = None,
    stats: bool = False,
) -> EngineResult: ...

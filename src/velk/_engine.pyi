from typing import TypedDict, type_check_only

import numpy as np
import numpy.typing as npt

Floats = npt.NDArray[np.float64]

class InternalError(BaseException): ...

class Samples:
    @property
    def x(self) -> Floats: ...
    @property
    def y(self) -> Floats: ...
    @property
    def w(self) -> Floats: ...
    @property
    def index(self) -> npt.NDArray[np.int64] | None: ...
    def noise_level(self) -> Floats: ...
    def rounding_level(self) -> Floats: ...
    def rescaled(self, factor: float) -> Samples: ...
    def reweighted(self, factors: Floats) -> Samples: ...

@type_check_only
class Stats(TypedDict):
    rss: float
    prss: float
    edf: float
    logdet: float

@type_check_only
class FitResult(TypedDict, total=False):
    breaks: Floats
    coefs: Floats
    scale: tuple[float, float]  # (x_unit, y_unit)
    jump_index: npt.NDArray[np.int64]
    jumps: Floats
    lam: float
    samples_fed: int
    stats: Stats

@type_check_only
class SearchResult(TypedDict):
    costs: Floats
    starts: npt.NDArray[np.int64]
    samples_fed: int

def prepare(
    x: Floats | None,
    y: Floats,
    delta: Floats | None = None,
    w: Floats | None = None,
    *,
    index: bool = False,
) -> Samples: ...
def samples_from_state(
    x: Floats, y: Floats, w: Floats, ex: int, ey: int, ed: int, /
) -> Samples: ...
def fit(
    samples: Samples,
    *,
    lam: float | None = None,
    length: float | None = None,
    jump_cost: float,
    pruning: str = "functional",
    precondition: str = "none",
    cancel: npt.NDArray[np.uint8] | None = None,
    stats: bool = False,
    phi: float | None = None,
    jump_index: npt.NDArray[np.int64] | None = None,
) -> FitResult: ...
def search(
    samples: Samples,
    *,
    lam: float | None = None,
    length: float | None = None,
    jump_cost: float,
    pruning: str = "functional",
    precondition: str = "none",
    cancel: npt.NDArray[np.uint8] | None = None,
    phi: float | None = None,
) -> SearchResult: ...
def fit_batch(
    items: list[tuple[Samples, float | None, float | None, float]],
    *,
    pruning: str = "functional",
    precondition: str = "none",
    cancel: npt.NDArray[np.uint8] | None = None,
    stats: bool = False,
    phi: float | None = None,
) -> list[FitResult | ValueError]: ...

"""Cubic smoothing splines that may jump.

`fit` fits a natural cubic smoothing spline to samples (x, y) and lets it jump where
that pays: every jump costs ``jump_cost`` (or ``gamma``), and the jumps are placed by a
pruned dynamic programme over the samples, exactly and in about linear time. The result,
a `JumpSpline`, evaluates the curve and its derivatives and integrates it. `select`
chooses how smooth the curve is and where it jumps by an approximate marginal likelihood
and reports what it searched (`Selection`), how sure each jump is (`JumpTable`) and, over
a range of jump costs, every optimal segmentation (`JumpPath`); `select_many` and
`fit_many` do the same for many independent series at once, on threads, processes or a
cluster (`Batch`).
`cv_score` and `kfold` score a setting by cross-validation. x may hold datetimes (NumPy
or pandas); the spline then speaks datetimes too (`TimeAxis`). The raw functions `velk`
and `velk_cvscore` return the core's own results; `InternalError`, which no ``except
Exception`` catches, reports a broken invariant of the core (a bug: please report it).
"""

from importlib.metadata import PackageNotFoundError, version

from velk._cv import cv_score, kfold
from velk._engine import InternalError
from velk._fit import fit
from velk._jumps import JumpTable
from velk._many import Batch, fit_many, select_many
from velk._path import JumpPath
from velk._select import Selection, select
from velk._spline import JumpSpline
from velk._time import TimeAxis
from velk._velk_core import velk, velk_cvscore

try:
    __version__ = version("velk")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "Batch",
    "InternalError",
    "JumpPath",
    "JumpSpline",
    "JumpTable",
    "Selection",
    "TimeAxis",
    "__version__",
    "cv_score",
    "fit",
    "fit_many",
    "kfold",
    "select",
    "select_many",
    "velk",
    "velk_cvscore",
]

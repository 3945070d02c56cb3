"""Cubic smoothing splines that may jump.

``velk(x, y, p, gamma)`` fits a natural cubic smoothing spline to the samples
(x, y) and lets it jump where that pays: every jump costs ``gamma``, and the
jump positions are chosen by a pruned dynamic programme over the samples.
``velk_cvscore`` scores a choice of (p, gamma) by cross-validation.
"""

from importlib.metadata import PackageNotFoundError, version

from velk._velk_core import velk, velk_cvscore

try:
    __version__ = version("velk")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["__version__", "velk", "velk_cvscore"]

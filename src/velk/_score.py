"""The score by which `select` compares fits: an approximate marginal likelihood."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import Any

__all__ = ["bic_cost", "charges", "evidence", "noise_charge", "noise_of"]


def evidence(m: int, dim: int, jumps: int, stats: Mapping[str, Any], floor: float = 0.0) -> float:
    """Minus twice the log marginal likelihood of a fit, approximately (smaller is better).

    Each segment's spline is the integrated Wiener process that its smoothing stands for,
    observed with the noise of the samples. The second differences of its samples then
    have a known covariance, and their likelihood (restricted to them, so that the
    segment's level and slope do not enter) is the penalised residual sum of squares prss
    over the noise variance, plus ``stats["logdet"]``, the log-determinant of that
    covariance relative to noise alone. The noise variance is profiled over all m * dim
    values (prss / (m * dim)), which keeps fits with different numbers of segments
    comparable whatever the units of y. Each segment's level and slope per component cost
    log m each, as in BIC (a unit-information prior), and each jump's position 2 log m, as
    in the modified BIC of change-point problems.

    The noise variance is never taken below `floor`, the variance that the rounding of the
    values alone could make (in the doubles, or to the grid they were recorded on): on data
    without noise (a constant, a line, exact steps) the fits that explain them exactly tie
    there, and the simplest wins.
    """
    n_values = m * dim
    prss = max(float(stats["prss"]), n_values * floor)
    if not prss > 0.0:
        return math.inf  # interpolated: the noise variance would be 0
    log_m = math.log(m)
    return (
        n_values * math.log(prss / n_values)
        + float(stats["logdet"])
        + 2 * dim * (jumps + 1) * log_m
        + 2 * jumps * log_m
    )


def charges(m: int, dim: int, jumps: int) -> float:
    """What `evidence` charges the segments and jumps of a fit: ``log m`` per component
    for each segment's level and again for its slope, ``2 log m`` for each jump's
    position."""
    log_m = math.log(m)
    return 2 * dim * (jumps + 1) * log_m + 2 * jumps * log_m


def noise_charge(m: int) -> float:
    """What a noise model pays for a parameter of its own (t noise's degrees of freedom,
    AR(1) noise's phi): ``log m``, as BIC charges any parameter fitted to the data.
    Independent Gaussian noise has none (the noise variance is every model's), so a model
    with one must explain the data better by more than chance alone would."""
    return math.log(m)


def bic_cost(m: int, dim: int, noise_variance: float) -> float:
    """BIC's charge for what a jump adds, a level and a slope per component and a
    position: ``(2 dim + 1) log m`` noise variances."""
    return (2 * dim + 1) * math.log(m) * noise_variance


def noise_of(prss: float, m: int, dim: int, jumps: int) -> float:
    """The noise variance a fit leaves: prss over the number of its second differences,
    the restricted-likelihood estimate (unbiased where the spline model holds)."""
    contrasts = m * dim - 2 * dim * (jumps + 1)
    return prss / contrasts if contrasts > 0 else math.nan

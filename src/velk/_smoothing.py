"""Scales of the data, the unit-free smoothing length, and the smoother's degrees of freedom."""

from __future__ import annotations

import math
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from velk._backend import smoothing_of

__all__ = [
    "Scales",
    "Setting",
    "data_scales",
    "lam_of_length",
    "lam_of_smoothing",
    "length_of_lam",
    "length_units",
    "merge_samples",
    "segment_stats",
    "setting_of",
]

FloatArray = npt.NDArray[np.float64]


class Scales(NamedTuple):
    """What the data say about their own units."""

    spacing: float  # mean distance h between neighbouring distinct abscissae
    weight: float  # typical weight 1 / d**2: the mean of the merged samples' weights
    noise: FloatArray  # (dim,) noise level of each component, relative to delta
    m: int  # number of distinct abscissae


def merge_samples(
    x: FloatArray, y: FloatArray, w: FloatArray
) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Sorted distinct abscissae with the weighted mean rows and summed weights, as the core
    merges samples that share an abscissa."""
    order = np.argsort(x, kind="stable")
    xs, ys, ws = x[order], y[order], w[order]
    first = np.concatenate(([True], xs[1:] != xs[:-1]))
    group = np.cumsum(first) - 1
    m = int(group[-1]) + 1
    wsum = np.bincount(group, weights=ws, minlength=m)
    ysum = np.zeros((m, y.shape[1]))
    np.add.at(ysum, group, ws[:, None] * ys)
    return xs[first], ysum / wsum[:, None], np.asarray(wsum, dtype=np.float64)


def length_units(x: FloatArray, w: FloatArray) -> tuple[float, float]:
    """The mean spacing of the distinct abscissae and the mean weight of the merged samples."""
    xm, _, wm = merge_samples(x, np.zeros((len(x), 0)), w)
    spacing = float(xm[-1] - xm[0]) / (len(xm) - 1) if len(xm) > 1 else 1.0
    return spacing if spacing > 0.0 else 1.0, float(np.mean(wm))


def data_scales(x: FloatArray, y: FloatArray, w: FloatArray) -> Scales:
    """Spacing, typical weight and noise level of samples x (n,), y (n, dim), weights w.

    The noise comes from pseudo-residuals: each sample minus the straight line through
    its two neighbours, scaled to unit variance under the weights. Their median absolute
    deviation ignores the few that straddle a jump or a sharp bend; a component whose
    pseudo-residuals are mostly zero falls back to their root mean square.
    """
    xm, ym, wm = merge_samples(x, y, w)
    m = len(xm)
    h, weight = length_units(x, w)
    if m < 3:
        return Scales(h, weight, np.ones(y.shape[1]), m)
    d = 1.0 / np.sqrt(wm)
    a = (xm[2:] - xm[1:-1]) / (xm[2:] - xm[:-2])
    b = 1.0 - a
    z = (a[:, None] * ym[:-2] + b[:, None] * ym[2:] - ym[1:-1]) / np.sqrt(
        (a * d[:-2]) ** 2 + d[1:-1] ** 2 + (b * d[2:]) ** 2
    )[:, None]
    mad = 1.4826 * np.median(np.abs(z - np.median(z, axis=0)), axis=0)
    rms = np.sqrt(np.mean(z * z, axis=0))
    noise = np.where(mad > 0, mad, rms)
    return Scales(h, weight, np.where(noise > 0, noise, 1.0), m)


def lam_of_smoothing(smoothing: float, x: FloatArray, delta: FloatArray | None) -> float:
    """lam of a smoothing length in units of x, for the samples x with deltas delta (or 1)."""
    w = np.ones(len(x)) if delta is None else 1.0 / (delta * delta)
    return lam_of_length(smoothing, *length_units(x, w))


class Setting(NamedTuple):
    """One fit's smoothness and jump cost, as the engine takes them and as `fit` says them."""

    lam: float | None  # exactly one of lam and length
    length: float | None
    jump_cost: float  # per jump, in units of the weighted residual sum of squares D
    p: float  # the same fit in terms of p and gamma (rounded where lam is far from 1)
    gamma: float


def setting_of(
    p: float | None,
    smoothing: float | None,
    gamma: float | None,
    jump_cost: float | None,
    x: FloatArray,
    delta: FloatArray | None,
) -> Setting:
    """The setting of a fit given exactly one of p and smoothing and one of gamma and
    jump_cost (gamma = p * jump_cost, or jump_cost itself for straight lines, p = 0)."""
    if (p is None) == (smoothing is None):
        raise ValueError("give exactly one of p and smoothing")
    if (gamma is None) == (jump_cost is None):
        raise ValueError("give exactly one of gamma and jump_cost")
    if p is not None:
        lam, cost = smoothing_of(float(p), 0.0 if gamma is None else float(gamma))
        p = float(p)
        length = None
    else:
        length = float(smoothing)  # type: ignore[arg-type]
        if not length >= 0.0:
            raise ValueError(f"smoothing must be a length >= 0, got {length:g}")
        lam_p = lam_of_smoothing(length, x, delta)
        p = 0.0 if math.isinf(lam_p) else 1.0 / (1.0 + lam_p)
        if gamma is not None:
            _, cost = smoothing_of(p, float(gamma))
        lam = None
    if jump_cost is not None:
        cost = float(jump_cost)
        if not cost >= 0.0:
            raise ValueError(f"jump_cost must satisfy 0 <= jump_cost, got {cost:g}")
    g = float(gamma) if gamma is not None else (p * cost if p > 0.0 else cost)
    return Setting(lam, length, cost, p, g)


def lam_of_length(length: float, spacing: float, weight: float) -> float:
    """lam of a smoothing length in units of x: ``lam = length**4 * weight / spacing``.

    A smoothing spline with samples of weight w every h units of x acts like a kernel
    smoother whose kernel has the width (lam * h / w) ** (1/4); this inverts that.
    """
    if not length >= 0.0:
        raise ValueError(f"smoothing must be a length >= 0, got {length:g}")
    if math.isinf(length):
        return math.inf
    # In logarithms, so that lengths far from the spacing neither overflow nor vanish.
    if length == 0.0:
        return 0.0
    return math.exp(4.0 * math.log(length) + math.log(weight) - math.log(spacing))


def length_of_lam(lam: float, spacing: float, weight: float) -> float:
    """The smoothing length of lam, the inverse of `lam_of_length`."""
    if lam <= 0.0 or math.isinf(lam):
        return lam
    return math.exp((math.log(lam) + math.log(spacing) - math.log(weight)) / 4.0)


def segment_stats(x: FloatArray, w: FloatArray, lam: float) -> tuple[float, float]:
    """Degrees of freedom and log-determinant of the smoother of one run of samples.

    x strictly increasing, w the weights, lam as in ``sum(w * r**2) + lam * int(f''**2)``;
    the caller chooses units in which x has spacing about 1 and w is about 1 (the
    determinant depends on the units, so all runs of a fit must share them).

    With Q the second-difference matrix, R the tridiagonal Gram matrix of the Reinsch
    form and B = Q^T W^-1 Q, the fitted values are ``y - W^-1 Q g`` with
    ``(R / lam + B) g = Q^T y``. The trace of the hat matrix is then
    ``2 + tr(A^-1 R) / lam`` with ``A = R / lam + B``; its band that R touches comes from
    the LDL^T factor of the pentadiagonal A by the backward recursion of Hutchinson and de
    Hoog, in O(len(x)). The second value is log det A: under the Gaussian-process view of
    the spline, the data's second differences have covariance ``sigma**2 * A``.
    """
    m = len(x)
    if m <= 2:
        return float(m), 0.0
    if lam == 0.0:
        return float(m), math.inf
    h = np.diff(x)
    iw = 1.0 / w
    r = 1.0 / h
    # Q's column j (interior point j + 1) holds r[j], -(r[j] + r[j+1]), r[j+1].
    qa, qb, qc = r[:-1], -(r[:-1] + r[1:]), r[1:]
    n = m - 2
    r0 = (h[:-1] + h[1:]) / 3.0  # R's diagonal
    r1 = h[1:-1] / 6.0  # and first off-diagonal
    a0 = (r0 / lam + qa**2 * iw[:-2] + qb**2 * iw[1:-1] + qc**2 * iw[2:]).tolist()
    a1 = (r1 / lam + qb[:-1] * qa[1:] * iw[1:-2] + qc[:-1] * qb[1:] * iw[2:-1]).tolist()
    a2 = (qc[:-2] * qa[2:] * iw[2:-2]).tolist()
    a1.append(0.0)
    a2 += [0.0, 0.0]
    # A = L diag(dd) L^T, L unit lower triangular with the subdiagonals l1 and l2.
    dd = [0.0] * n
    l1 = [0.0] * (n + 1)
    l2 = [0.0] * (n + 2)
    for i in range(n):
        di, c = a0[i], a1[i]
        if i >= 1:
            di -= l1[i - 1] ** 2 * dd[i - 1]
            c -= l2[i - 1] * l1[i - 1] * dd[i - 1]
        if i >= 2:
            di -= l2[i - 2] ** 2 * dd[i - 2]
        dd[i] = di
        l1[i] = c / di
        l2[i] = a2[i] / di
    # A^-1 on its band (s0 diagonal, s1 and s2 the two superdiagonals), from the end.
    s0 = [0.0] * (n + 2)
    s1 = [0.0] * (n + 2)
    s2 = [0.0] * (n + 2)
    for i in range(n - 1, -1, -1):
        u, v = l1[i], l2[i]
        s1[i] = -u * s0[i + 1] - v * s1[i + 1]
        s2[i] = -u * s1[i + 1] - v * s0[i + 2]
        s0[i] = 1.0 / dd[i] - u * s1[i] - v * s2[i]
    tr = float(np.dot(s0[:n], r0)) + 2.0 * float(np.dot(s1[: n - 1], r1))
    return 2.0 + tr / lam, float(np.sum(np.log(dd)))

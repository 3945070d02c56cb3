"""How sure each jump is: an interval for its position, its size, and a probability.

A segment of a cubic smoothing spline with objective ``sum w (y - f)^2 + lam int f''^2``
is the posterior mean of an integrated Wiener process (f'' white, of spectral density
sigma^2 / lam) observed with noise of variance sigma^2 / w. A Kalman filter run along a
segment therefore gives, sample by sample, the prediction-error terms of that segment's
likelihood; their running sum is the energy of the piece [a, t) for every t at once. The
same filter run on the reversed samples gives the pieces [t, b). With the neighbouring
jumps held fixed, their sum over t is the score of the fit as a function of one jump's
position. Under AR(1) noise the filter's state carries the noise too, and the energies
are the fit's generalised ones (``e' inv(Sigma) e`` for the residual sum of squares).

The probability of a jump reads the fit's own objective as a posterior. The fit minimises
``E(f, J) + c |J|`` (E the smoothing-spline energy, c the jump cost); with noise variance
sigma^2 that is ``-2 sigma^2`` times the log of a posterior in which a jump at any one cut
has prior odds ``exp(-c / (2 sigma^2))`` against none there, and a curve the likelihood
``exp(-E / (2 sigma^2))`` at its best. Between fixed neighbours, with E_t the energy of the
two pieces either side of cut t and E_0 that of one piece over them (the quadratic part of
the filter's terms), the odds of one jump somewhere there against none are

    O = sum_t exp(-(E_t - E_0 + c) / (2 sigma^2)),

and the jump's probability is ``O / (1 + O)`` times the mass of its interval (every cut
from its first to its last). `select` charges BIC's cost, ``c = (2 dim + 1) log m sigma^2``
(a level and a slope per component and a position, log m each) in the noise variance the
fit leaves, not in the earlier estimate its search set the cost with: the prior odds are
then the same for every fit of the same data. A jump it keeps saved more than its search's
cost, so O is about 1 or more; a caller's own cost is charged as given.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from velk._ar1 import correlations

FloatArray = npt.NDArray[np.float64]

__all__ = ["JumpTable", "check_table", "empty_table", "jump_table", "table_of"]

LEVEL = 0.95


@dataclass(frozen=True)
class _Sweep:
    """Running results of a filter along one piece, one entry per sample."""

    energy: FloatArray  # minus twice the log-likelihood of the samples up to and incl. i
    quad: FloatArray  # its quadratic part: the piece's fit energy over the noise variance
    mean: FloatArray  # (n, 2): filtered level and slope at sample i
    var: FloatArray  # (n, 2, 2): their covariance


def _outputs(n: int) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray]:
    """A sweep's energy, quadratic form, means and covariances at each sample, to fill."""
    return np.zeros(n), np.zeros(n), np.zeros((n, 2)), np.zeros((n, 2, 2))


def _slope_prior(x: FloatArray, y: FloatArray) -> float:
    """The first slope's prior variance: far wider than any slope the data could show."""
    big = 1e8 * (float(np.max(np.abs(y))) + 1.0) ** 2
    span = max(float(x[-1] - x[0]), 1e-300) if len(x) > 1 else 1.0
    return big / span**2


def _sweep(x: FloatArray, y: FloatArray, var: FloatArray, q: float) -> _Sweep:
    """Filter an integrated Wiener process of rate q along x (increasing).

    The first two samples fix the level and slope (a diffuse start): their terms are left
    out of the energy, so every piece is scored by the same restricted likelihood that
    `select`'s score uses, whatever its start.
    """
    n = len(x)
    energy, quad, mean, cov = _outputs(n)
    # Diffuse start: the level is the first sample, the slope unknown.
    m0, m1 = float(y[0]), 0.0
    p00, p01, p11 = float(var[0]), 0.0, _slope_prior(x, y)
    total = form = 0.0
    mean[0] = (m0, m1)
    cov[0] = ((p00, p01), (p01, p11))
    for i in range(1, n):
        h = float(x[i] - x[i - 1])
        # predict
        m0 += h * m1
        p00 += 2 * h * p01 + h * h * p11 + q * h**3 / 3
        p01 += h * p11 + q * h * h / 2
        p11 += q * h
        # update
        s = p00 + float(var[i])
        e = float(y[i]) - m0
        if i >= 2:
            form += e * e / s
            total += math.log(2 * math.pi * s) + e * e / s
        k0, k1 = p00 / s, p01 / s
        m0 += k0 * e
        m1 += k1 * e
        p11 -= k1 * p01
        p01 -= k0 * p01
        p00 -= k0 * p00
        energy[i] = total
        quad[i] = form
        mean[i] = (m0, m1)
        cov[i] = ((p00, p01), (p01, p11))
    return _Sweep(energy, quad, mean, cov)


def _sweep_ar1(x: FloatArray, y: FloatArray, var: FloatArray, q: float, phi: FloatArray) -> _Sweep:
    """`_sweep` under AR(1) noise: y_i = f(x_i) + sd_i e_i with e_i = phi_i e_(i-1) +
    sqrt(1 - phi_i^2) w_i (phi_i the correlation of interval i, phi[0] unused), e_0
    unconditional. The state gains e, observed exactly with the level; it is a filter of its
    own (not `_sweep` with phi = 0) because the loop is the table's cost.
    """
    n = len(x)
    energy, quad, mean, cov = _outputs(n)
    sd0 = math.sqrt(float(var[0]))
    # Diffuse start: the level is the first sample less its noise, the slope unknown.
    m0, m1, m2 = float(y[0]), 0.0, 0.0
    p00, p01, p02, p11, p12, p22 = sd0 * sd0, 0.0, -sd0, _slope_prior(x, y), 0.0, 1.0
    total = form = 0.0
    mean[0] = (m0, m1)
    cov[0] = ((p00, p01), (p01, p11))
    for i in range(1, n):
        h = float(x[i] - x[i - 1])
        r = float(phi[i])
        sd = math.sqrt(float(var[i]))
        # predict
        m0 += h * m1
        m2 *= r
        p00 += 2 * h * p01 + h * h * p11 + q * h**3 / 3
        p01 += h * p11 + q * h * h / 2
        p11 += q * h
        p02 = r * (p02 + h * p12)
        p12 *= r
        p22 = r * r * p22 + (1.0 - r * r)
        # update: the sample is level + sd * e
        g0, g1, g2 = p00 + sd * p02, p01 + sd * p12, p02 + sd * p22
        s = g0 + sd * g2
        e = float(y[i]) - m0 - sd * m2
        if i >= 2:
            form += e * e / s
            total += math.log(2 * math.pi * s) + e * e / s
        m0 += g0 / s * e
        m1 += g1 / s * e
        m2 += g2 / s * e
        p00 -= g0 * g0 / s
        p01 -= g0 * g1 / s
        p02 -= g0 * g2 / s
        p11 -= g1 * g1 / s
        p12 -= g1 * g2 / s
        p22 -= g2 * g2 / s
        energy[i] = total
        quad[i] = form
        mean[i] = (m0, m1)
        cov[i] = ((p00, p01), (p01, p11))
    return _Sweep(energy, quad, mean, cov)


def _extrapolate(mean: FloatArray, cov: FloatArray, h: float, q: float) -> tuple[float, float]:
    """The value at distance h beyond a filtered state, and its variance."""
    h_abs = abs(h)
    value = float(mean[0] + h * mean[1])
    v = float(cov[0, 0] + 2 * h * cov[0, 1] + h * h * cov[1, 1]) + q * h_abs**3 / 3
    return value, v


@dataclass(frozen=True)
class _One:
    position: float
    low: float
    high: float
    size: FloatArray
    size_var: FloatArray
    probability: float


def _one_jump(
    x: FloatArray,
    y: FloatArray,
    var: FloatArray,
    sigma2: FloatArray,
    lam: float,
    cut: int,
    charge: float,
    phi: FloatArray | None,
) -> _One:
    """One jump between fixed neighbours: samples [0, cut) lie left of it, [cut, n) right.

    y and var have shape (n, dim) (var: the noise variance of each value, sigma2 / w);
    sigma2 (dim,) is the noise variance per unit weight, which sets the process rate; phi
    the AR(1) correlation of each interval (phi[0] unused), None for independent noise.
    """
    n, dim = y.shape
    cuts = np.arange(2, n - 1)  # both pieces keep at least two samples
    score = np.zeros(len(cuts))
    change = np.zeros(len(cuts))
    sizes = np.zeros(dim)
    size_var = np.zeros(dim)
    mid = 0.5 * (x[:-1] + x[1:])  # mid[c - 1]: where a jump before sample c sits
    pos = float(mid[cut - 1])
    for j in range(dim):
        q = float(sigma2[j]) / lam
        if phi is None:
            fwd = _sweep(x, y[:, j], var[:, j], q)
            bwd = _sweep(-x[::-1], y[::-1, j], var[::-1, j], q)
        else:
            # Read backwards, interval i of the reversed samples is interval n - i.
            back = np.concatenate(([0.0], phi[:0:-1]))
            fwd = _sweep_ar1(x, y[:, j], var[:, j], q, phi)
            bwd = _sweep_ar1(-x[::-1], y[::-1, j], var[::-1, j], q, back)
        # fwd.energy[c - 1]: the piece [0, c); bwd.energy[n - 1 - c]: the piece [c, n)
        score += fwd.energy[cuts - 1] + bwd.energy[n - 1 - cuts]
        change += fwd.quad[cuts - 1] + bwd.quad[n - 1 - cuts] - fwd.quad[-1]
        left, left_var = _extrapolate(fwd.mean[cut - 1], fwd.var[cut - 1], pos - x[cut - 1], q)
        right, right_var = _extrapolate(
            bwd.mean[n - 1 - cut], bwd.var[n - 1 - cut], x[cut] - pos, q
        )
        sizes[j] = right - left
        size_var[j] = left_var + right_var
    # The position's posterior: the restricted likelihood of the two pieces, uniform
    # over the cuts.
    post = np.exp(-0.5 * (score - float(np.min(score))))
    post /= post.sum()
    order = np.argsort(-post)
    kept = order[: int(np.searchsorted(np.cumsum(post[order]), LEVEL)) + 1]
    first, last = int(cuts[kept].min()), int(cuts[kept].max())
    low, high = float(mid[first - 1]), float(mid[last - 1])
    # The fit's own objective read as a posterior: a jump at any one cut has prior odds
    # exp(-charge / 2), and the odds of a jump somewhere between the neighbours against
    # none sum the cuts' profile likelihood ratios.
    terms = -0.5 * (change + charge)
    top = float(np.max(terms))
    log_odds = top + math.log(float(np.sum(np.exp(terms - top))))
    p_jump = 1.0 / (1.0 + math.exp(-log_odds)) if log_odds > -700.0 else 0.0
    # The interval runs from the set's first cut to its last: its mass counts every cut
    # between them, also those the set skipped where the posterior has two humps.
    mass = float(post[first - 2 : last - 1].sum())
    return _One(pos, low, high, sizes, size_var, p_jump * mass)


class JumpTable:
    """One row per jump of a fit: where it lies, how big it is and how sure it is.

    Attributes
    ----------
    position : ndarray, shape (k,)
        The jumps, as `JumpSpline.jumps` (datetimes for a time axis).
    low, high : ndarray, shape (k,)
        A 95 % highest-posterior interval for each position (same type as `position`).
    size : ndarray, shape (k, dim)
        The right-hand value minus the left-hand value of the curve at each jump.
    size_se : ndarray, shape (k, dim)
        Its standard error.
    probability : ndarray, shape (k,)
        The posterior probability that a jump lies in [low, high], under the prior odds
        per cut that the jump cost stands for (see the README).
    """

    __slots__ = ("_fields", "_out")
    _fields: dict[str, FloatArray]
    _out: Callable[[FloatArray], Any]

    _NAMES = ("position", "low", "high", "size", "size_se", "probability")

    def __init__(self, fields: dict[str, FloatArray], out: Any) -> None:
        for value in fields.values():
            value.flags.writeable = False
        object.__setattr__(self, "_fields", fields)
        object.__setattr__(self, "_out", out)

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("JumpTable is read-only")

    def __reduce__(self) -> tuple[Any, ...]:
        return (JumpTable, (self._fields, self._out))

    @property
    def position(self) -> Any:
        return self._out(self._fields["position"])

    @property
    def low(self) -> Any:
        return self._out(self._fields["low"])

    @property
    def high(self) -> Any:
        return self._out(self._fields["high"])

    @property
    def size(self) -> FloatArray:
        return self._fields["size"]

    @property
    def size_se(self) -> FloatArray:
        return self._fields["size_se"]

    @property
    def probability(self) -> FloatArray:
        return self._fields["probability"]

    def __len__(self) -> int:
        return len(self._fields["position"])

    def __iter__(self) -> Iterator[tuple[Any, ...]]:
        cols = [getattr(self, name) for name in self._NAMES]
        return iter(zip(*cols))

    def to_frame(self) -> Any:
        """The table as a pandas DataFrame (size columns per component)."""
        try:
            import pandas as pd  # type: ignore[import-untyped,unused-ignore]
        except ImportError as err:  # pragma: no cover - pandas is optional
            raise ImportError("JumpTable.to_frame requires pandas") from err
        data: dict[str, Any] = {n: getattr(self, n) for n in ("position", "low", "high")}
        dim = self.size.shape[1]
        for j in range(dim):
            tag = "" if dim == 1 else f"_{j}"
            data["size" + tag] = self.size[:, j]
            data["size_se" + tag] = self.size_se[:, j]
        data["probability"] = self.probability
        return pd.DataFrame(data)

    def __repr__(self) -> str:
        if len(self) == 0:
            return "JumpTable(no jumps)"
        lines = ["JumpTable(", "  position [low, high]  size ± se  probability"]
        for pos, low, high, size, se, prob in self:
            sz = ", ".join(f"{a:.4g} ± {b:.2g}" for a, b in zip(size, se))
            lines.append(f"  {pos} [{low}, {high}]  {sz}  {prob:.3f}")
        lines.append(")")
        return "\n".join(lines)


def jump_table(spline: Any, noise: object, delta: object = None) -> JumpTable:
    """The jump table of `spline` for a known noise level.

    `noise` is the standard deviation of the noise of one value (scalar, or one per
    component), relative to `delta` when that is given (so ``noise=1`` with the true delta).
    """
    n = len(spline._x)
    d = np.ones(n) if delta is None else np.asarray(delta, dtype=np.float64)
    if d.shape not in ((), (n,)) or not np.all(np.isfinite(d) & (d > 0)):
        raise ValueError(f"delta must be positive, a scalar or one per fitted sample ({n})")
    return table_of(spline, noise, 1.0 / np.broadcast_to(d, (n,)) ** 2)


def table_of(spline: Any, noise: object, w: FloatArray, charge: float | None = None) -> JumpTable:
    """The jump table of `spline` whose samples have weights w and noise of standard
    deviation ``noise / sqrt(w)``, AR(1) in sample order where the fit assumed it (each
    segment's independent of the others'); `charge` is what a jump costs in noise
    variances (by default BIC's, ``(2 dim + 1) log m``, which is `select`'s)."""
    x = np.asarray(spline._x, dtype=np.float64)
    y = np.asarray(spline._y, dtype=np.float64).reshape(len(x), -1)
    n, dim = y.shape
    sd = np.asarray(noise, dtype=np.float64)
    if sd.shape not in ((), (dim,)) or not np.all(np.isfinite(sd) & (sd > 0)):
        raise ValueError(
            f"noise must be finite and positive, a scalar or one per component ({dim})"
        )
    sigma2 = np.broadcast_to(sd, (dim,)) ** 2
    var = sigma2[None, :] / np.asarray(w, dtype=np.float64).reshape(n, -1)
    p = float(spline.p)
    if not 0.0 <= p < 1.0:
        raise ValueError("jump tables need a smoothing short of interpolation (p < 1)")
    # Straight lines (p = 0) are the process without curvature: the filter with q = 0 is
    # least squares of a line, and the rest holds as it stands.
    lam = math.inf if p == 0.0 else (1.0 - p) / p
    if charge is None:
        charge = (2 * dim + 1) * math.log(n)
    r = None if spline._phi is None else correlations(x, spline._phi)
    rows = []
    segs = spline.segments
    for k in range(len(segs) - 1):
        a, b = segs[k].start, segs[k + 1].stop
        cut = segs[k + 1].start - a
        window = None if r is None else np.concatenate(([0.0], r[a + 1 : b]))
        rows.append(_one_jump(x[a:b], y[a:b], var[a:b], sigma2, lam, cut, charge, window))
    k = len(rows)
    fields = {
        "position": np.array([r.position for r in rows], dtype=np.float64),
        "low": np.array([r.low for r in rows], dtype=np.float64),
        "high": np.array([r.high for r in rows], dtype=np.float64),
        "size": np.array([r.size for r in rows], dtype=np.float64).reshape(k, dim),
        "size_se": np.sqrt(np.array([r.size_var for r in rows], dtype=np.float64)).reshape(k, dim),
        "probability": np.array([r.probability for r in rows], dtype=np.float64),
    }
    return JumpTable(fields, spline._out)


def empty_table(spline: Any, k: int) -> JumpTable:
    """A table of k jumps of `spline` whose uncertainty is unknown: all NaN but position."""
    dim = int(spline._dim)
    nan = np.full(k, np.nan)
    fields = {
        "position": np.asarray(spline._jumps, dtype=np.float64).copy(),
        "low": nan.copy(),
        "high": nan.copy(),
        "size": np.full((k, dim), np.nan),
        "size_se": np.full((k, dim), np.nan),
        "probability": nan.copy(),
    }
    return JumpTable(fields, spline._out)


def check_table(spline: Any, table: object) -> None:
    """Refuse a table that is not of this spline's jumps (drawing it would shade
    intervals around jumps the curve does not have)."""
    if not isinstance(table, JumpTable):
        raise TypeError(f"jumps must be a JumpTable, got {type(table).__name__}")
    mine = np.asarray(spline._jumps, dtype=np.float64)
    theirs = table._fields["position"]
    if mine.shape != theirs.shape or not np.array_equal(mine, theirs):
        raise ValueError(
            f"jumps is the table of another fit: {len(theirs)} jumps, not this spline's "
            f"{len(mine)} at its positions"
        )

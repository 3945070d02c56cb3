"""Numerics of piecewise polynomials in the engine's layout: row k*dim + j of the
coefficients is piece k of component j, highest power first, in the local coordinate
``(t - breaks[k]) / x_unit`` and in units of y_unit (powers of two, see `ppeval`)."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["derivative_factors", "horner", "piecewise_roots", "ppeval"]

FloatArray = npt.NDArray[np.float64]
Scale = tuple[float, float]  # (x_unit, y_unit)


def derivative_factors(order: int, nu: int) -> FloatArray:
    """Factors of the coefficients (highest power first) that remain in the nu-th derivative."""
    powers = np.arange(order - 1, nu - 1, -1, dtype=np.float64)
    out = np.ones(len(powers))
    for i in range(nu):
        out *= powers - i
    return out


def ppeval(
    breaks: FloatArray,
    coefs: FloatArray,
    dim: int,
    t: FloatArray,
    nu: int = 0,
    scale: Scale = (1.0, 1.0),
) -> Any:
    """Values (or derivatives) at the points t, shape (len(t), dim).

    Each point uses the piece whose left break is the last one at or before it (the first
    piece for points before the first break, the last after the last), and Horner's scheme
    in the core's order, so values agree with the core bit for bit. With scale =
    (x_unit, y_unit), piece k of a component is
    ``y_unit * sum(coefs[k, m] * ((t - breaks[k]) / x_unit)**(order - 1 - m))``, which keeps
    the coefficients finite at any scale of x and y; the units are powers of two, so they
    change no bit where plain coefficients would serve. NaN points give NaN, and infinite
    points the limits of the end pieces (NaN where those are indeterminate), without
    warnings.
    """
    x_unit, y_unit = scale
    order = coefs.shape[1]
    if nu >= order:
        return np.where(np.isnan(t)[:, None], np.nan, np.zeros((len(t), dim)))
    piece = np.searchsorted(breaks, t, side="right") - 1
    np.clip(piece, 0, len(breaks) - 2, out=piece)
    piece[t <= breaks[0]] = 0  # a zero-length first piece still takes the points on it
    dt = (t - breaks[piece])[:, None]
    if x_unit != 1.0:
        dt = dt / x_unit
    rows = piece[:, None] * dim + np.arange(dim)
    c = coefs[rows, : order - nu] * derivative_factors(order, nu)  # (n, dim, order - nu)
    with np.errstate(invalid="ignore", over="ignore"):
        # At t = +-inf a zero leading coefficient times inf is NaN: Horner there only
        # keeps the terms that are not zero.
        v = c[..., 0]
        for m in range(1, order - nu):
            v = v * dt + c[..., m]
        infinite = np.isinf(dt[:, 0])
        if infinite.any():
            v[infinite] = limits(c[infinite], np.sign(dt[infinite, 0]))
        factor = y_unit / x_unit**nu
        return v * factor if factor != 1.0 else v


def limits(c: FloatArray, sign: FloatArray) -> FloatArray:
    """The limits at sign * inf of polynomials (..., dim, order): the constant for a
    constant, else +-inf by the sign of the leading non-zero term."""
    order = c.shape[-1]
    nonzero = c != 0.0
    lead = np.where(nonzero.any(axis=-1), np.argmax(nonzero, axis=-1), order - 1)
    value = np.take_along_axis(c, lead[..., None], axis=-1)[..., 0]
    degree = order - 1 - lead
    odd = (degree % 2 == 1)[..., :] & (sign[:, None] < 0)
    with np.errstate(invalid="ignore"):
        out = np.where(degree == 0, value, np.sign(value) * np.inf)
    return np.where(odd & (degree > 0), -out, out)


def horner(c: FloatArray, s: FloatArray) -> FloatArray:
    """Polynomials (rows of c, highest power first) at the points of the same row of s."""
    v = np.broadcast_to(c[:, :1], s.shape).copy()
    for m in range(1, c.shape[1]):
        v = v * s + c[:, m : m + 1]
    return v


def bracketed(c: FloatArray, u: FloatArray, v: FloatArray, fu: FloatArray) -> FloatArray:
    """The root of each polynomial row of c on [u, v], where it is monotone and changes sign
    (fu = c(u)): Newton's method, with a halving of the bracket wherever a step leaves it or
    shrinks it too little, so that it converges like Newton near the root and never fails."""
    dc = c[:, :-1] * np.arange(c.shape[1] - 1, 0, -1)
    t = u + 0.5 * (v - u)
    u, v, fu = u.copy(), v.copy(), fu.copy()
    active = np.ones(len(t), dtype=bool)
    for _ in range(200):  # a halving per step at worst: far more than a bracket needs
        idx = np.flatnonzero(active)
        if len(idx) == 0:
            break
        tt = t[idx]
        f = horner(c[idx], tt[:, None])[:, 0]
        d = horner(dc[idx], tt[:, None])[:, 0]
        # The bracket shrinks to the side of t where the sign changes.
        left = f * fu[idx] <= 0.0
        uu, vv = u[idx], v[idx]
        vv = np.where(left, tt, vv)
        uu = np.where(left, uu, tt)
        fu[idx] = np.where(left, fu[idx], f)
        u[idx], v[idx] = uu, vv
        with np.errstate(divide="ignore", invalid="ignore"):
            step = tt - f / d
        inside = (step > uu) & (step < vv) & np.isfinite(step)
        new = np.where(inside, step, uu + 0.5 * (vv - uu))
        done = (f == 0.0) | ~((new > uu) & (new < vv)) | (new == tt)
        t[idx] = np.where(f == 0.0, tt, new)
        active[idx[done]] = False
    return t


def real_roots(c: FloatArray, lo: FloatArray, hi: FloatArray) -> tuple[Any, Any]:
    """(row, s) of the real roots of each polynomial row of c within [lo, hi] of its row.

    The roots of the derivative cut [lo, hi] into stretches on which the polynomial is
    monotone; each stretch with a sign change holds one root, found by `bracketed` (one
    Newton step for a straight line), and exact zeros at the stretch ends count too. Roots
    where the polynomial touches zero without changing sign are found only when it is
    exactly zero there.
    """
    k = c.shape[1]
    if k < 2:
        return np.zeros(0, np.intp), np.zeros(0)
    crow, cs = real_roots(c[:, :-1] * np.arange(k - 1, 0, -1), lo, hi)
    # Stretch ends per row: lo, the critical points in order, then hi repeated. Rounding
    # cannot be allowed more critical points than the degree permits.
    rank = np.arange(len(crow)) - np.searchsorted(crow, crow)
    crow, cs = crow[rank < k - 2], cs[rank < k - 2]
    ends = np.repeat(hi[:, None], k, axis=1)
    ends[:, 0] = lo
    ends[crow, 1 + rank[rank < k - 2]] = cs
    with np.errstate(invalid="ignore", over="ignore"):
        f = horner(c, ends)
    zr, zc = np.nonzero((f == 0.0) & (c != 0.0).any(axis=1)[:, None])
    rows, cols = np.nonzero((f[:, :-1] * f[:, 1:] < 0.0) & (ends[:, :-1] < ends[:, 1:]))
    t = bracketed(c[rows], ends[rows, cols], ends[rows, cols + 1], f[rows, cols])
    r = np.concatenate([zr, rows])
    x = np.concatenate([ends[zr, zc], t])
    order = np.lexsort((x, r))
    r, x = r[order], x[order]
    new = np.ones(len(r), dtype=bool)
    new[1:] = (r[1:] != r[:-1]) | (x[1:] != x[:-1])
    return r[new], x[new]


def cauchy_bound(c: FloatArray) -> FloatArray:
    """A bound on the absolute value of every root of each nonzero polynomial row."""
    lead_at = np.argmax(c != 0.0, axis=1)
    lead = np.abs(c[np.arange(len(c)), lead_at])
    later = np.arange(c.shape[1]) > lead_at[:, None]
    ratio = np.where(later, np.abs(c), 0.0).max(axis=1, initial=0.0) / lead
    # Rounding noise can make a leading coefficient tiny; the bound must stay finite.
    out: FloatArray = np.minimum(1.0 + ratio, 1e300)
    return out


def piecewise_roots(
    b: FloatArray,
    coefs: FloatArray,
    dim: int,
    scale: Scale,
    x: FloatArray,
    jumps: FloatArray,
    mode: str,
) -> list[FloatArray]:
    """The sorted roots of each component of a piecewise polynomial that jumps at `jumps`
    and was fitted to samples x, as `JumpSpline.roots` describes them; mode "linear" counts
    the end pieces continued, "nan" only [x[0], x[-1]]."""
    pieces = len(b) - 1
    lo, hi = b[:-1].copy(), b[1:].copy()
    if mode == "nan":
        lo, hi = np.maximum(lo, x[0]), np.minimum(hi, x[-1])
    else:
        lo[0], hi[-1] = -np.inf, np.inf
    jump_at = np.isin(b[1:], jumps)  # piece k ends at a jump
    span = float(x[-1] - x[0])
    out = []
    x_unit = scale[0]
    for j in range(dim):
        c = coefs[j::dim]
        zero = ~(c != 0.0).any(axis=1) & (lo <= hi)
        bound = cauchy_bound(np.where(zero[:, None], 1.0, c))
        sl = np.maximum((lo - b[:-1]) / x_unit, -bound)
        sh = np.minimum((hi - b[:-1]) / x_unit, bound)
        rows, s = real_roots(c, sl, sh)
        keep = ~zero[rows] & (sl[rows] <= sh[rows])
        rows, t = rows[keep], s[keep] * x_unit + b[:-1][rows[keep]]
        # A piece that ends at a jump does not own its right end.
        keep = ~(jump_at[rows] & (t >= b[1:][rows]) & (rows < pieces - 1))
        rows, t = rows[keep], t[keep]
        starts = np.flatnonzero(zero & ~np.concatenate([[False], zero[:-1]]))
        t = np.concatenate([t, np.maximum(lo[starts], x[0])])
        t.sort()
        # Adjacent pieces find the same root at a break they share.
        dup = np.zeros(len(t), dtype=bool)
        close = np.diff(t) <= 1e-12 * max(span, np.abs(t).max(initial=0.0))
        between = np.searchsorted(jumps, t[1:], side="left") != np.searchsorted(
            jumps, t[:-1], side="right"
        )
        dup[1:] = close & ~between
        out.append(t[~dup])
    return out


def in_units(coefs: FloatArray, scale: Scale) -> FloatArray:
    """Coefficients (rows of powers, highest first) in units of x and y: a multiplication
    by powers of two, exact unless a coefficient in those units does not fit in a double at
    all (on x * 1e-160 a cubic coefficient is near 1e480: inf here, while the spline still
    evaluates)."""
    order = coefs.shape[1]
    ex, ey = np.frexp(scale[0])[1] - 1, np.frexp(scale[1])[1] - 1
    with np.errstate(over="ignore"):
        out: FloatArray = np.ldexp(coefs, ey - ex * np.arange(order - 1, -1, -1))
    return out


def differentiated(coefs: FloatArray, scale: Scale, nu: int) -> tuple[FloatArray, Scale]:
    """The coefficients and units of the nu-th derivative of every piece."""
    order = coefs.shape[1]
    if nu >= order:
        out = np.zeros((len(coefs), 1))
    else:
        out = coefs[:, : order - nu] * derivative_factors(order, nu)
    x_unit, y_unit = scale
    return out, (x_unit, y_unit / x_unit**nu)


def integrated(
    breaks: FloatArray, coefs: FloatArray, dim: int, scale: Scale, x0: float
) -> tuple[FloatArray, Scale]:
    """The coefficients and units of the antiderivative that is zero at x0 and continuous
    across every break (it integrates through the jumps)."""
    order = coefs.shape[1]
    x_unit, y_unit = scale
    c = np.zeros((len(coefs), order + 1))
    c[:, :order] = coefs / np.arange(order, 0, -1)
    widths = np.diff(breaks) / x_unit
    pieces = len(widths)
    # Integral of every piece over its width, then the constants that make the pieces
    # meet: each piece starts at the running total of the pieces before it.
    area = horner(c, np.repeat(widths, dim)[:, None])[:, 0].reshape(pieces, dim)
    start = np.concatenate([np.zeros((1, dim)), np.cumsum(area, axis=0)[:-1]])
    c[:, order] = start.reshape(-1)
    at0 = ppeval(breaks, c, dim, np.array([x0]), 0, (x_unit, 1.0))
    c[:, order] -= np.tile(at0[0], pieces)
    return c, (x_unit, y_unit * x_unit)

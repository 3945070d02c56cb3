"""The fitted curve as an object: `fit` and `JumpSpline`."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from velk._backend import fit_dict
from velk._smoothing import setting_of, terms_of
from velk._time import TimeAxis, as_length, axis_of
from velk._validate import (
    EXTRAPOLATE,
    PRECONDITION,
    PRUNING,
    boolean,
    float_array,
    integer,
    option,
    real,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from scipy.interpolate import PPoly  # type: ignore[import-untyped,unused-ignore]

__all__ = ["JumpSpline", "fit"]

FloatArray = npt.NDArray[np.float64]


class Samples(NamedTuple):
    """Samples converted for the core: finite rows only, in input order."""

    x: FloatArray  # (n,)
    y: FloatArray  # (n, dim)
    delta: FloatArray | None  # (n,) or None for all ones
    squeeze: bool  # y was 1-D: values are returned without a component axis
    kept: npt.NDArray[np.intp]  # input row of each sample
    axis: TimeAxis | None  # how datetime x became seconds; None for numeric x


def as_samples(x: object, y: object, delta: object) -> Samples:
    """Convert array-likes and drop every sample whose x, y row or delta is missing.

    The core itself drops rows with a non-finite y, but it treats a NaN abscissa as a
    broken invariant; here missing values of any kind (NaN, infinite, NaT) simply mean a
    missing sample. Datetime or timedelta x becomes seconds since the earliest sample.
    """
    ya = float_array("y", y)
    if ya.ndim not in (1, 2):
        raise ValueError(f"y must be 1-D or 2-D (one row per sample), got {ya.ndim}-D")
    squeeze = ya.ndim == 1
    y2 = ya[:, None] if squeeze else ya
    n = y2.shape[0]
    if y2.shape[1] == 0:
        raise ValueError(f"y must have at least one column, got shape {ya.shape}")
    axis = None
    if x is None:
        xa = np.arange(1.0, n + 1.0)
    else:
        xa, axis = axis_of(x)
        if xa.ndim != 1 or len(xa) != n:
            raise ValueError(f"x must be 1-D with one value per sample ({n}), got shape {xa.shape}")
    ok = np.isfinite(xa) & np.isfinite(y2).all(axis=1)
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
        ok &= np.isfinite(da)
        if np.any(da[ok] <= 0.0):
            raise ValueError("delta must be positive")
    kept = np.flatnonzero(ok)
    if len(kept) < 2:
        raise ValueError(f"at least two finite data points are required, got {len(kept)}")
    return Samples(
        np.ascontiguousarray(xa[kept]),
        np.ascontiguousarray(y2[kept]),
        None if da is None else np.ascontiguousarray(da[kept]),
        squeeze,
        kept,
        axis,
    )


def derivative_factors(order: int, nu: int) -> FloatArray:
    """Factors of the coefficients (highest power first) that remain in the nu-th derivative."""
    powers = np.arange(order - 1, nu - 1, -1, dtype=np.float64)
    out = np.ones(len(powers))
    for i in range(nu):
        out *= powers - i
    return out


Scale = tuple[float, float]  # (x_unit, y_unit), see ppeval


def ppeval(
    breaks: FloatArray,
    coefs: FloatArray,
    dim: int,
    t: FloatArray,
    nu: int = 0,
    scale: Scale = (1.0, 1.0),
) -> Any:
    """Values (or derivatives) at the points t, shape (len(t), dim), of a breaks/coefs
    piecewise polynomial (row k*dim + j: piece k of component j, highest power first).

    Each point uses the piece whose left break is the last one at or before it (the
    first piece for points before the first break, the last after the last), and
    Horner's scheme in the core's order, so values agree with the core bit for bit.
    With scale = (x_unit, y_unit), piece k of a component is
    ``y_unit * sum(coefs[k, m] * ((t - breaks[k]) / x_unit)**(order - 1 - m))``, which keeps
    the coefficients finite at any scale of x and y; the units are powers of two, so they
    change no bit where plain coefficients would serve.
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
    v = c[..., 0]
    for m in range(1, order - nu):
        v = v * dt + c[..., m]
    factor = y_unit / x_unit**nu
    return v * factor if factor != 1.0 else v


def horner(c: FloatArray, s: FloatArray) -> FloatArray:
    """Polynomials (rows of c, highest power first) at the points of the same row of s."""
    v = np.broadcast_to(c[:, :1], s.shape).copy()
    for m in range(1, c.shape[1]):
        v = v * s + c[:, m : m + 1]
    return v


def real_roots(c: FloatArray, lo: FloatArray, hi: FloatArray) -> tuple[Any, Any]:
    """(row, s) of the real roots of each polynomial row of c within [lo, hi] of its row.

    The roots of the derivative cut [lo, hi] into stretches on which the polynomial is
    monotone; each stretch with a sign change holds one root, found by bisection, and
    exact zeros at the stretch ends count too. Roots where the polynomial touches zero
    without changing sign are found only when it is exactly zero there.
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
    f = horner(c, ends)
    zr, zc = np.nonzero((f == 0.0) & (c != 0.0).any(axis=1)[:, None])
    rows, cols = np.nonzero((f[:, :-1] * f[:, 1:] < 0.0) & (ends[:, :-1] < ends[:, 1:]))
    u, v = ends[rows, cols], ends[rows, cols + 1]
    fu = f[rows, cols]
    cr = c[rows]
    for _ in range(2200):  # halving from the widest double range down to one ulp
        mid = u + 0.5 * (v - u)
        active = (mid > u) & (mid < v)
        if not active.any():
            break
        fm = horner(cr, mid[:, None])[:, 0]
        left = (fm * fu) <= 0.0
        v = np.where(active & left, mid, v)
        u = np.where(active & ~left, mid, u)
        fu = np.where(active & ~left, fm, fu)
    r = np.concatenate([zr, rows])
    x = np.concatenate([ends[zr, zc], u + 0.5 * (v - u)])
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


def _readonly(a: npt.ArrayLike, dtype: Any = np.float64) -> Any:
    out = np.array(a, dtype=dtype)  # a private copy, so freezing it cannot surprise anyone
    out.flags.writeable = False
    return out


def check_result(result: object) -> dict[str, Any]:
    """The arrays of a result dictionary of `velk.velk`, checked for consistency."""
    if not isinstance(result, Mapping):
        raise TypeError(
            f"result must be a result dictionary of velk.velk, got {type(result).__name__}"
        )
    keys = ("breaks", "coefs", "dim", "x", "y", "discont", "discont_idx", "interval_cell")
    missing = [k for k in keys if k not in result]
    if missing:
        raise ValueError(f"result lacks the entries {', '.join(missing)} of a velk.velk result")
    dim = integer("result['dim']", result["dim"], low=1)
    breaks = float_array("result['breaks']", result["breaks"])
    coefs = float_array("result['coefs']", result["coefs"])
    x = float_array("result['x']", result["x"])
    y = float_array("result['y']", result["y"])
    jumps = float_array("result['discont']", result["discont"])
    jump_idx = np.asarray(result["discont_idx"])
    n = len(x) if x.ndim == 1 else 0
    cells = [np.asarray(c) for c in result["interval_cell"]]
    flat = np.concatenate(cells) if cells else np.zeros(0)
    bad = (
        breaks.ndim != 1
        or len(breaks) < 2
        or not np.all(np.isfinite(breaks))
        or np.any(np.diff(breaks) < 0.0)
        or coefs.ndim != 2
        or coefs.shape[0] != (len(breaks) - 1) * dim
        or coefs.shape[1] < 1
        or not np.all(np.isfinite(coefs))
    )
    if bad:
        raise ValueError("result does not hold a piecewise polynomial (breaks, coefs, dim)")
    if n < 2 or not np.all(np.isfinite(x)) or np.any(np.diff(x) <= 0.0):
        raise ValueError("result['x'] must hold at least two increasing samples")
    if y.ndim not in (1, 2) or y.shape[0] != n or y.size != n * dim:
        raise ValueError(f"result['y'] must have shape ({n}, {dim})")
    if (
        jumps.ndim != 1
        or jump_idx.shape != jumps.shape
        or (len(jump_idx) and jump_idx.dtype.kind not in "iu")
        or len(cells) != len(jumps) + 1
        or not np.array_equal(flat, np.arange(n))
        or not all(len(c) and c[-1] == i for c, i in zip(cells, jump_idx))
    ):
        raise ValueError("result's jumps and segments do not partition its samples")
    scale = tuple(float(u) for u in result.get("scale", (1.0, 1.0)))
    if len(scale) != 2 or not all(0.0 < u < np.inf for u in scale):
        raise ValueError("result['scale'] must be two positive finite units (x_unit, y_unit)")
    return {
        "scale": scale,
        "breaks": breaks,
        "coefs": coefs,
        "dim": dim,
        "x": x,
        "y": y.reshape(n, dim),
        "jumps": jumps,
        "jump_indices": jump_idx.astype(np.int64),
        "segments": tuple(slice(int(c[0]), int(c[-1]) + 1) for c in cells),
    }


class JumpSpline:
    """A fitted cubic smoothing spline with jumps, callable like a function.

    Create one with `fit` or `select`. The curve is a piecewise polynomial on the pieces
    ``[breaks[k], breaks[k+1])``: a point on a break belongs to the piece on its right, so
    at a jump the curve takes its right-hand value. Beyond the samples it continues as the
    straight lines of its end pieces (``extrapolate="linear"``) or is NaN
    (``extrapolate="nan"``).

    For datetime (or timedelta) x the curve is a function of the seconds since the earliest
    sample (see `time_axis`): it is evaluated at datetimes, reports `x`, `breaks`, `jumps`
    and `roots` as datetimes, its derivatives are per second and its integrals in units of
    y times seconds.

    Parameters
    ----------
    result : dict
        A result dictionary of `velk.velk`.
    p, gamma : float
        The smoothing parameter and jump penalty that `result` was fitted with.
    squeeze : bool, optional
        Return values without the component axis (for a fit of 1-D data). Requires a
        single component.
    extrapolate : {"linear", "nan"}, optional
        The values outside ``[x[0], x[-1]]``: the end pieces continued, or NaN.
    time_axis : TimeAxis, optional
        How datetime samples map to the floats of `result`; set by `fit` for datetime x.

    Attributes
    ----------
    breaks : ndarray, shape (nb,)
        Breaks of the piecewise polynomial. The outer two lie beyond the first and last
        sample: the end pieces are the straight lines that extrapolate, so they need not
        coincide with ``x[0]`` and ``x[-1]``.
    coefs : ndarray, shape (nb - 1, order) or (nb - 1, dim, order)
        Coefficients of every piece (and component), highest power of ``t - breaks[k]``
        first: order 4 (cubics) for a fit.
    x, y : ndarray
        The samples that were fitted: finite samples only, sorted by x, samples with equal
        x merged into their weighted mean. ``y`` has the shape convention of the input.
    jumps : ndarray, shape (K - 1,)
        Jump positions, each halfway between the samples on either side.
    jump_indices : ndarray of int, shape (K - 1,)
        Index into `x` of the last sample before each jump.
    segments : tuple of slice
        The samples of each of the K segments: ``x[segments[k]]``.
    p, gamma : float
        The parameters of the fit.
    extrapolate : str
        "linear" or "nan".
    time_axis : TimeAxis or None
        For datetime or timedelta x: the origin and unit of the float x.

    Examples
    --------
    >>> import numpy as np
    >>> import velk
    >>> x = np.linspace(0.0, 1.0, 50)
    >>> spl = velk.fit(x, np.where(x < 0.5, 0.0, 1.0) + x, p=0.999, gamma=0.1)
    >>> spl.jumps
    array([0.5])
    >>> print(np.round(spl([0.25, 0.75]), 6))
    [0.25 1.75]
    >>> print(np.round(spl(0.25, nu=1), 6))
    1.0
    >>> print(round(spl.integrate(0.0, 1.0), 6))  # 0.5 for the step, 0.5 for the ramp
    1.0
    """

    __slots__ = (
        "_breaks",
        "_coefs",
        "_dim",
        "_extrapolate",
        "_gamma",
        "_jump_indices",
        "_jumps",
        "_nu",
        "_p",
        "_scale",
        "_segments",
        "_squeeze",
        "_time_axis",
        "_x",
        "_y",
    )

    _breaks: FloatArray
    _coefs: FloatArray  # (pieces * dim, order), row k * dim + j: piece k of component j
    _scale: Scale  # the units of the coefficients, see ppeval
    _dim: int
    _x: FloatArray
    _y: FloatArray
    _jumps: FloatArray
    _jump_indices: npt.NDArray[np.int64]
    _segments: tuple[slice, ...]
    _p: float
    _gamma: float
    _squeeze: bool
    _extrapolate: str
    _time_axis: TimeAxis | None
    _nu: int  # order of derivative of the fitted curve; negative for antiderivatives

    def __init__(
        self,
        result: Mapping[str, Any],
        p: float,
        gamma: float,
        *,
        squeeze: bool = False,
        extrapolate: str = "linear",
        time_axis: TimeAxis | None = None,
    ) -> None:
        r = check_result(result)
        if boolean("squeeze", squeeze) and r["dim"] != 1:
            raise ValueError(f"squeeze needs a single component, the fit has {r['dim']}")
        if time_axis is not None and not isinstance(time_axis, TimeAxis):
            raise TypeError(f"time_axis must be a TimeAxis, got {type(time_axis).__name__}")
        self._set(
            breaks=_readonly(r["breaks"]),
            coefs=_readonly(r["coefs"]),
            scale=r["scale"],
            dim=r["dim"],
            x=_readonly(r["x"]),
            y=_readonly(r["y"][:, 0] if squeeze else r["y"]),
            jumps=_readonly(r["jumps"]),
            jump_indices=_readonly(r["jump_indices"], np.int64),
            segments=r["segments"],
            p=real("p", p, low=0.0, high=1.0),
            gamma=real("gamma", gamma, low=0.0),
            squeeze=bool(squeeze),
            extrapolate=option("extrapolate", extrapolate, EXTRAPOLATE),
            time_axis=time_axis,
            nu=0,
        )

    def _set(self, **fields: Any) -> None:
        for name, value in fields.items():
            object.__setattr__(self, "_" + name, value)

    def _fields(self) -> dict[str, Any]:
        return {name[1:]: getattr(self, name) for name in self.__slots__}

    def _replace(self, **changes: Any) -> JumpSpline:
        out = object.__new__(JumpSpline)
        out._set(**{**self._fields(), **changes})
        return out

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("JumpSpline is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("JumpSpline is immutable")

    def __reduce__(self) -> tuple[Any, ...]:
        return (_restore, (self._fields(),))

    def _out(self, t: FloatArray) -> Any:
        """Positions along x as the caller's type: datetimes for a time axis."""
        return t if self._time_axis is None else self._time_axis.from_float(t)

    def _in(self, t: object) -> FloatArray:
        if self._time_axis is not None:
            return self._time_axis.to_float(t)
        out: FloatArray = float_array("t", t)
        return out

    @property
    def breaks(self) -> Any:
        return self._out(self._breaks)

    @property
    def coefs(self) -> FloatArray:
        order = self._coefs.shape[1]
        shape = (len(self._breaks) - 1, order) if self._squeeze else (-1, self._dim, order)
        x_unit, y_unit = self._scale
        # Powers of two: exact, unless a coefficient in units of x and y does not fit in a
        # double at all (on x * 1e-160 a cubic coefficient is near 1e480: inf here, while
        # the spline still evaluates).
        ex, ey = np.frexp(x_unit)[1] - 1, np.frexp(y_unit)[1] - 1
        with np.errstate(over="ignore"):
            out: FloatArray = np.ldexp(self._coefs, ey - ex * np.arange(order - 1, -1, -1)).reshape(
                shape
            )
        out.flags.writeable = False
        return out

    @property
    def x(self) -> Any:
        return self._out(self._x)

    @property
    def y(self) -> FloatArray:
        return self._y

    @property
    def jumps(self) -> Any:
        return self._out(self._jumps)

    @property
    def jump_indices(self) -> npt.NDArray[np.int64]:
        return self._jump_indices

    @property
    def segments(self) -> tuple[slice, ...]:
        return self._segments

    @property
    def p(self) -> float:
        return self._p

    @property
    def gamma(self) -> float:
        return self._gamma

    @property
    def extrapolate(self) -> str:
        return self._extrapolate

    @property
    def time_axis(self) -> TimeAxis | None:
        return self._time_axis

    def _shape(self, shape: tuple[int, ...]) -> tuple[int, ...]:
        return shape if self._squeeze else shape + (self._dim,)

    def _outside(self, t: FloatArray, extrapolate: str | None) -> Any:
        """Mask of the points at which the curve is NaN for lack of extrapolation."""
        mode = (
            self._extrapolate
            if extrapolate is None
            else option("extrapolate", extrapolate, EXTRAPOLATE)
        )
        if mode == "linear":
            return np.zeros(t.shape, dtype=bool)
        return (t < self._x[0]) | (t > self._x[-1])

    def __call__(self, t: object, nu: int = 0, extrapolate: str | None = None) -> Any:
        """Values or derivatives of the curve.

        Parameters
        ----------
        t : array_like
            Points at which to evaluate: numbers, or datetimes (timedeltas) for a spline
            of datetime (timedelta) x, as NumPy, pandas or Python objects.
        nu : int, optional
            Order of the derivative; 0 gives the values. Orders beyond the polynomial
            degree give zeros.
        extrapolate : {"linear", "nan"}, optional
            Overrides the spline's `extrapolate` for this call.

        Returns
        -------
        ndarray
            Shape ``t.shape`` for a fit of 1-D data, ``t.shape + (dim,)`` otherwise.
        """
        return self._eval(self._in(t), derivative_order(nu), extrapolate)

    def _eval(self, t: FloatArray, nu: int, extrapolate: str | None) -> Any:
        v = ppeval(self._breaks, self._coefs, self._dim, t.reshape(-1), nu, self._scale)
        v[self._outside(t.reshape(-1), extrapolate)] = np.nan
        return v.reshape(self._shape(t.shape))

    def derivative(self, nu: int = 1) -> JumpSpline:
        """The nu-th derivative of the curve, a JumpSpline of lower order.

        Between the jumps it is the ordinary derivative; at a jump, which the curve
        crosses with a step, the derivative has no Dirac spike: it jumps too (from one
        piece's derivative to the next). It keeps the samples, jumps, segments, p and gamma
        of the fit it comes from (its `plot` draws no samples).

        Examples
        --------
        >>> import numpy as np
        >>> import velk
        >>> x = np.linspace(0.0, 2.0, 30)
        >>> spl = velk.fit(x, x**2, p=1.0, gamma=np.inf)
        >>> print(np.round(spl.derivative()(1.0), 3), spl.derivative(2).coefs.shape)
        2.0 (31, 2)
        """
        nu = derivative_order(nu)
        order = self._coefs.shape[1]
        if nu >= order:
            coefs = np.zeros((len(self._coefs), 1))
        else:
            coefs = self._coefs[:, : order - nu] * derivative_factors(order, nu)
        x_unit, y_unit = self._scale
        scale = (x_unit, y_unit / x_unit**nu)
        return self._replace(coefs=_readonly(coefs), scale=scale, nu=self._nu + nu)

    def antiderivative(self, nu: int = 1) -> JumpSpline:
        """The nu-th antiderivative of the curve, zero at the first sample ``x[0]``.

        It is continuous everywhere, across the jumps too: it integrates through them, so
        ``F(b) - F(a)`` is the integral from a to b of the curve with its jumps. Its
        derivative is the curve again. Like `derivative` it keeps the fit's samples and
        jumps.

        Examples
        --------
        >>> import numpy as np
        >>> import velk
        >>> x = np.linspace(0.0, 2.0, 30)
        >>> F = velk.fit(x, np.where(x < 1.0, 0.0, 3.0), p=1.0, gamma=0.5).antiderivative()
        >>> print(np.round(F([0.0, 1.5, 2.0]), 3))
        [0.  1.5 3. ]
        """
        nu = derivative_order(nu)
        out = self
        for _ in range(nu):
            out = out._integrated()
        return out

    def _integrated(self) -> JumpSpline:
        order = self._coefs.shape[1]
        x_unit, y_unit = self._scale
        c = np.zeros((len(self._coefs), order + 1))
        c[:, :order] = self._coefs / np.arange(order, 0, -1)
        widths = np.diff(self._breaks) / x_unit
        pieces = len(widths)
        # Integral of every piece over its width, then the constants that make the pieces
        # meet: each piece starts at the running total of the pieces before it.
        area = horner(c, np.repeat(widths, self._dim)[:, None])[:, 0].reshape(pieces, self._dim)
        start = np.concatenate([np.zeros((1, self._dim)), np.cumsum(area, axis=0)[:-1]])
        c[:, order] = start.reshape(-1)
        at0 = ppeval(self._breaks, c, self._dim, self._x[:1], 0, (x_unit, 1.0))  # F(x[0]) = 0
        c[:, order] -= np.tile(at0[0], pieces)
        scale = (x_unit, y_unit * x_unit)
        return self._replace(coefs=_readonly(c), scale=scale, nu=self._nu - 1)

    def integrate(self, a: object, b: object, extrapolate: str | None = None) -> Any:
        """The integral of the curve from a to b, across jumps (negative when a > b).

        a and b broadcast against each other. Outside ``[x[0], x[-1]]`` the end pieces are
        integrated, or the result is NaN with ``extrapolate="nan"``.

        Returns
        -------
        float or ndarray
            Shape ``broadcast(a, b).shape``, with a trailing component axis unless the fit
            was of 1-D data.
        """
        F = self.antiderivative()
        ta, tb = np.broadcast_arrays(self._in(a), self._in(b))
        v = np.asarray(F._eval(tb, 0, "linear") - F._eval(ta, 0, "linear"))
        bad = self._outside(ta, extrapolate) | self._outside(tb, extrapolate)
        v[bad] = np.nan
        return v[()] if v.ndim == 0 else v

    def roots(self, extrapolate: str | None = None) -> Any:
        """Where the curve is zero: the sorted roots of each component.

        The curve takes its right-hand value at a jump, so a jump across zero is no root
        (the curve never equals zero there) unless the right-hand value is exactly zero.
        Where the curve is zero on a whole piece, the zeros form an interval and only its
        start (at the earliest ``x[0]``) is reported. Roots where the curve touches zero
        without crossing it are reported only when it is exactly zero there. With
        ``extrapolate="linear"`` roots of the continued end pieces count too; with "nan"
        only those in ``[x[0], x[-1]]``.

        Returns
        -------
        ndarray, or list of ndarray
            The roots (datetimes for a time axis); one array per component unless the fit
            was of 1-D data.

        Examples
        --------
        >>> import numpy as np
        >>> import velk
        >>> x = np.linspace(0.0, 6.0, 200)
        >>> spl = velk.fit(x, np.cos(x), p=1.0, gamma=np.inf)
        >>> print(np.round(spl.roots(), 4))
        [1.5708 4.7124]
        """
        mode = (
            self._extrapolate
            if extrapolate is None
            else option("extrapolate", extrapolate, EXTRAPOLATE)
        )
        b, dim = self._breaks, self._dim
        pieces = len(b) - 1
        lo, hi = b[:-1].copy(), b[1:].copy()
        if mode == "nan":
            lo, hi = np.maximum(lo, self._x[0]), np.minimum(hi, self._x[-1])
        else:
            lo[0], hi[-1] = -np.inf, np.inf
        jump_at = np.isin(b[1:], self._jumps)  # piece k ends at a jump
        span = float(self._x[-1] - self._x[0])
        out = []
        x_unit = self._scale[0]
        for j in range(dim):
            c = self._coefs[j::dim]
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
            t = np.concatenate([t, np.maximum(lo[starts], self._x[0])])
            t.sort()
            # Adjacent pieces find the same root at a break they share.
            dup = np.zeros(len(t), dtype=bool)
            close = np.diff(t) <= 1e-12 * max(span, np.abs(t).max(initial=0.0))
            between = np.searchsorted(self._jumps, t[1:], side="left") != np.searchsorted(
                self._jumps, t[:-1], side="right"
            )
            dup[1:] = close & ~between
            out.append(self._out(t[~dup]))
        return out[0] if self._squeeze else out

    def to_ppoly(self) -> PPoly:
        """The curve as a `scipy.interpolate.PPoly` (needs SciPy), on the float x.

        With ``extrapolate="nan"`` it spans ``[x[0], x[-1]]`` and does not extrapolate.
        For a time axis its x is the seconds since ``time_axis.origin``.

        Examples
        --------
        >>> import numpy as np
        >>> import velk
        >>> x = np.arange(10.0)
        >>> spl = velk.fit(x, np.sin(x), p=0.5, gamma=1.0)
        >>> pp = spl.to_ppoly()
        >>> bool(np.allclose(pp([0.5, 4.5]), spl([0.5, 4.5])))
        True
        """
        from scipy.interpolate import PPoly  # type: ignore[import-untyped,unused-ignore]

        c = np.moveaxis(self.coefs, -1, 0)  # (order, pieces[, dim])
        if self._extrapolate == "linear":
            return PPoly(np.array(c), np.array(self._breaks), extrapolate=True)
        # The outer pieces only continue the curve beyond the samples.
        return PPoly(np.array(c[:, 1:-1]), np.array(self._breaks[1:-1]), extrapolate=False)

    def plot(self, ax: Axes | None = None) -> Axes:
        """Draw the samples, the curve and the jumps with matplotlib.

        The artists are labelled "data", "fit" and "jumps" for ``ax.legend()``; the curve
        of a derivative or antiderivative is drawn without the samples.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; by default the current axes of pyplot.

        Returns
        -------
        matplotlib.axes.Axes
        """
        if ax is None:
            import matplotlib.pyplot as plt

            ax = plt.gca()
        y = self._y.reshape(len(self._x), -1)
        x0, x1 = float(self._x[0]), float(self._x[-1])
        edges = np.concatenate(([x0], self._jumps, [x1]))
        for j in range(y.shape[1]):
            color, tag = f"C{j}", "" if y.shape[1] == 1 else f" {j}"
            if self._nu == 0:
                ax.plot(self.x, y[:, j], ".", color=color, alpha=0.35, ms=3, label="data" + tag)
            for k in range(len(edges) - 1):
                a, b = edges[k], edges[k + 1]
                n = max(8, int(800 * (b - a) / (x1 - x0)))  # x is strictly increasing
                t = np.linspace(a, b, n)
                if k < len(edges) - 2:
                    t[-1] = np.nextafter(b, -np.inf)  # the left-hand limit at the jump
                v = ppeval(self._breaks, self._coefs, self._dim, t, 0, self._scale)[:, j]
                ax.plot(self._out(t), v, "-", color=color, lw=1.8, label=None if k else "fit" + tag)
        for k, at in enumerate(self.jumps):
            ax.axvline(at, color="0.4", ls=":", lw=1, label=None if k else "jumps")
        return ax

    def __repr__(self) -> str:
        jumps = np.array2string(np.asarray(self.jumps), precision=4, separator=", ", threshold=8)
        extra = "" if self._nu == 0 else f", nu={self._nu}"
        if self._extrapolate != "linear":
            extra += f", extrapolate={self._extrapolate!r}"
        return (
            f"JumpSpline({len(self._x)} samples, dim={self._dim}, p={self._p:.6g}, "
            f"gamma={self._gamma:.6g}, jumps={jumps}{extra})"
        )


def derivative_order(nu: object) -> int:
    return integer("nu", nu, low=0)


def _restore(fields: Mapping[str, Any]) -> JumpSpline:
    out = object.__new__(JumpSpline)
    out._set(**fields)
    return out


def fit(
    x: npt.ArrayLike | None,
    y: npt.ArrayLike,
    *,
    p: float | None = None,
    gamma: float | None = None,
    smoothing: object = None,
    jump_cost: float | None = None,
    delta: npt.ArrayLike | None = None,
    pruning: str = "functional",
    precondition: str = "none",
    extrapolate: str = "linear",
) -> JumpSpline:
    """Fit a cubic smoothing spline that may jump.

    Minimises, over all ways to cut the samples into runs of consecutive samples, the sum
    of each run's smoothing-spline energy
    ``p * sum(w * (y - f(x))**2) + (1 - p) * integral(f''(t)**2 dt)`` (``w = 1/delta**2``)
    plus `gamma` per jump. Use `select` to choose both from the data.

    Parameters
    ----------
    x : array_like, shape (n,), or None
        Abscissae, in any order: numbers, or datetimes or timedeltas (NumPy datetime64 or
        timedelta64, pandas Series, Index or DataFrame column, Python datetimes; pandas
        time zones are kept). None means 1, 2, ..., n.
    y : array_like, shape (n,) or (n, dim)
        Values (a pandas Series or DataFrame too); a 2-D array holds one sample per row and
        fits `dim` components that share the jumps.
    p : float, optional
        Smoothing parameter in [0, 1]: 1 interpolates, 0 fits straight lines. Give either
        `p` or `smoothing`.
    gamma : float, optional
        Penalty per jump in the units of the objective above, >= 0; ``inf`` means no
        jumps. Give either `gamma` or `jump_cost`.
    smoothing : float or timedelta, optional
        How smooth, as a length in units of x (a timedelta for datetime x): the width over
        which the spline averages the samples, ``(1 - p) / p = smoothing**4 * w / h`` with
        h the mean spacing of the distinct x and w their mean weight (``1 / delta**2``
        for a constant delta). 0 interpolates, ``inf`` fits straight lines. Unlike p, it
        means the same whatever the units and the density of the samples.
    jump_cost : float, optional
        Penalty per jump in units of ``sum(w * (y - f(x))**2)``: how much a jump must lower
        the weighted residual sum of squares (plus roughness) to be worth it, so
        ``gamma = p * jump_cost``. With a correct `delta` it counts in units of the noise
        variance, whatever the units of x and y.
    delta : float or array_like, shape (n,), optional
        Standard deviation of each sample (default 1).
    pruning : {"functional", "FPVI", "PELT"}, optional
        Pruning strategy of the jump search (any case); all give the same fit,
        "functional" (the default) in about linear time.
    precondition : {"none", "local"}, optional
        Scaling of the segment model used by the search (any case).
    extrapolate : {"linear", "nan"}, optional
        The curve outside ``[x[0], x[-1]]``: the straight end pieces continued, or NaN.

    Returns
    -------
    JumpSpline

    Raises
    ------
    TypeError
        For arguments of the wrong type (a string for p, text in x or y, ...).
    ValueError
        For out-of-range parameters, mismatched shapes, non-positive `delta` or fewer than
        two usable samples.

    Notes
    -----
    Samples whose x, y (any component) or delta is NaN, NaT or infinite are ignored.
    Samples with equal x are merged into their weighted mean.

    `smoothing` with `jump_cost` works at any scale of x, y and delta (x * 1e-300
    included), where p and gamma may not be representable; gamma, relative to p, goes
    with p only.

    Datetime and timedelta x are fitted as the seconds since the earliest sample, whatever
    resolution NumPy or pandas gave them, so `p` (and the curvature term it weighs) refers
    to seconds; time-zone-aware x counts elapsed time (UTC). The spline returns datetimes
    again, see `JumpSpline`.

    Examples
    --------
    >>> import numpy as np
    >>> import velk
    >>> x = np.linspace(0.0, 10.0, 200)
    >>> y = np.sin(x) + 2.0 * (x > 5.0)
    >>> spl = velk.fit(x, y, p=0.9, gamma=1.0, delta=0.1)
    >>> spl.jumps
    array([5.])
    >>> spl(7.0).shape, spl([7.0, 8.0]).shape
    ((), (2,))
    >>> velk.fit(x, y, smoothing=0.2, jump_cost=10.0, delta=0.1).jumps
    array([5.])

    Datetimes in, datetimes out:

    >>> t = np.datetime64("2024-01-01") + np.arange(60) * np.timedelta64(1, "D")
    >>> y = np.where(np.arange(60) < 20, 0.0, 1.0)
    >>> spl = velk.fit(t, y, smoothing=np.timedelta64(2, "D"), jump_cost=0.1)
    >>> spl.jumps
    array(['2024-01-20T12:00:00.000000'], dtype='datetime64[us]')
    >>> print(np.round(spl(np.datetime64("2024-02-15")), 3))
    1.0
    """
    s = as_samples(x, y, delta)
    pv = None if p is None else real("p", p, low=0.0, high=1.0)
    gv = None if gamma is None else real("gamma", gamma, low=0.0)
    sv = None if smoothing is None else as_length(smoothing, s.axis)
    jv = None if jump_cost is None else real("jump_cost", jump_cost, low=0.0)
    pruning = option("pruning", pruning, PRUNING)
    precondition = option("precondition", precondition, PRECONDITION)
    extrapolate = option("extrapolate", extrapolate, EXTRAPOLATE)
    st = setting_of(pv, sv, gv, jv)
    res = fit_dict(
        s.x,
        s.y,
        s.delta,
        lam=st.lam,
        length=st.length,
        jump_cost=st.jump_cost,
        pruning=pruning,
        precondition=precondition,
    )
    if pv is None:
        pv, gv = terms_of(res["lam"], st.jump_cost)
    elif gv is None:
        gv = terms_of(st.lam, st.jump_cost)[1]  # type: ignore[arg-type]
    return JumpSpline(res, pv, gv, squeeze=s.squeeze, extrapolate=extrapolate, time_axis=s.axis)

"""The fitted curve as an object: `JumpSpline`."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from velk import _engine
from velk._ppoly import (
    FloatArray,
    Scale,
    differentiated,
    in_units,
    integrated,
    piecewise_roots,
    ppeval,
)
from velk._raw import fit_fields, readonly, spline_fields
from velk._samples import Data
from velk._time import TimeAxis
from velk._validate import EXTRAPOLATE, float_array, integer, option

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from scipy.interpolate import PPoly  # type: ignore[import-untyped,unused-ignore]

    from velk._jumps import JumpTable

__all__ = ["JumpSpline"]


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
    samples_fed : int or None
        What the jump search cost: the number of samples it fed into its segment states
        (about the number of samples times the candidates it kept alive); None for a
        spline of a result without that count.

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
        "_phi",
        "_samples_fed",
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
    _samples_fed: int | None
    _phi: float | None  # the AR(1) noise the fit assumed (None: independent), for its table

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
        self._set(**spline_fields(result, p, gamma, squeeze, extrapolate, time_axis))

    @classmethod
    def _from_fit(
        cls,
        res: _engine.FitResult,
        data: Data,
        p: float,
        gamma: float,
        extrapolate: str,
        phi: float | None = None,
    ) -> JumpSpline:
        """The spline of an engine fit of `data`, trusted as it comes: its arrays are the
        fit's own (made read-only) and the samples' (read-only already), not copies."""
        out = object.__new__(cls)
        out._set(**fit_fields(res, data, p, gamma, extrapolate, phi))
        return out

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
        out = in_units(self._coefs, self._scale).reshape(shape)
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

    @property
    def samples_fed(self) -> int | None:
        return self._samples_fed

    def _shape(self, shape: tuple[int, ...]) -> tuple[int, ...]:
        return shape if self._squeeze else shape + (self._dim,)

    def _mode(self, extrapolate: str | None) -> str:
        """The spline's extrapolation, or the one a call asks for instead."""
        return (
            self._extrapolate
            if extrapolate is None
            else option("extrapolate", extrapolate, EXTRAPOLATE)
        )

    def _outside(self, t: FloatArray, extrapolate: str | None) -> Any:
        """Mask of the points at which the curve is NaN for lack of extrapolation."""
        mode = self._mode(extrapolate)
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
        coefs, scale = differentiated(self._coefs, self._scale, nu)
        return self._replace(coefs=readonly(coefs), scale=scale, nu=self._nu + nu)

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
        c, scale = integrated(self._breaks, self._coefs, self._dim, self._scale, self._x[0])
        return self._replace(coefs=readonly(c), scale=scale, nu=self._nu - 1)

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
        mode = self._mode(extrapolate)
        found = piecewise_roots(
            self._breaks, self._coefs, self._dim, self._scale, self._x, self._jumps, mode
        )
        out = [self._out(t) for t in found]
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

    def jump_table(self, noise: object, delta: object = None) -> JumpTable:
        """Each jump with a 95 % interval for its position, its size (right-hand minus
        left-hand value) with a standard error, and the probability that a jump lies in
        that interval, for noise of a known level.

        Parameters
        ----------
        noise : float or array_like, shape (dim,)
            Standard deviation of the noise of one value (per component), relative to
            `delta` when that is given: ``noise=1`` says delta is the noise level.
        delta : float or array_like, shape (len(x),), optional
            The standard deviation of each fitted sample relative to the others.

        Notes
        -----
        Each segment is taken as the integrated Wiener process the smoothing stands for,
        with Gaussian noise, independent or AR(1) as the fit assumed (`fit`'s phi), and
        each jump is moved with its neighbours held fixed. The probability charges a jump
        BIC's cost, ``(2 dim + 1) log m`` noise variances (`select`'s default), whatever
        this fit's own jump cost: see the README's section on jump uncertainty.
        """
        from velk._jumps import jump_table

        return jump_table(self, noise, delta)

    def plot(self, ax: Axes | None = None, jumps: JumpTable | None = None) -> Axes:
        """Draw the samples, the curve and the jumps with matplotlib.

        The artists are labelled "data", "fit", "jumps" and, with `jumps`, "95 % interval"
        for ``ax.legend()``; the curve of a derivative or antiderivative is drawn without
        the samples.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; by default the current axes of pyplot.
        jumps : JumpTable, optional
            The table of this fit's jumps (`jump_table`, or `Selection.jumps`): each
            interval ``[low, high]`` is shaded and the jump's probability written at the
            top of the axes above it. Rows without an interval (NaN) are not drawn.

        Returns
        -------
        matplotlib.axes.Axes

        Raises
        ------
        TypeError
            If `jumps` is not a JumpTable.
        ValueError
            If `jumps` is the table of a fit with other jumps.
        """
        from velk._plot import draw_spline

        return draw_spline(self, ax, jumps)

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
    out._set(**{"phi": None, **fields})  # pickles from before phi was kept
    return out

"""The fitted curve as an object: `fit` and `JumpSpline`."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from velk._backend import fit_dict
from velk._smoothing import setting_of

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


def as_samples(x: npt.ArrayLike | None, y: npt.ArrayLike, delta: npt.ArrayLike | None) -> Samples:
    """Convert array-likes and drop every sample whose x, y row or delta is not finite.

    The core itself drops rows with a non-finite y, but it treats a NaN abscissa as a
    broken invariant; here missing values of any kind simply mean a missing sample.
    """
    ya = np.asarray(y, dtype=np.float64)
    if ya.ndim not in (1, 2):
        raise ValueError(f"y must be 1-D or 2-D (one row per sample), got {ya.ndim}-D")
    squeeze = ya.ndim == 1
    y2 = ya[:, None] if squeeze else ya
    n = y2.shape[0]
    if x is None:
        xa = np.arange(1.0, n + 1.0)
    else:
        xa = np.asarray(x, dtype=np.float64)
        if xa.ndim != 1 or len(xa) != n:
            raise ValueError(f"x must be 1-D with one value per sample ({n}), got shape {xa.shape}")
    ok = np.isfinite(xa) & np.isfinite(y2).all(axis=1)
    da = None
    if delta is not None:
        da = np.asarray(delta, dtype=np.float64)
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
    )


# Coefficient factors of the derivatives of a cubic written highest power first.
_DERIVATIVE = {
    0: np.ones(4),
    1: np.array([3.0, 2.0, 1.0]),
    2: np.array([6.0, 2.0]),
    3: np.array([6.0]),
}


def ppeval(
    breaks: FloatArray,
    coefs: FloatArray,
    dim: int,
    t: FloatArray,
    nu: int = 0,
    scale: tuple[float, float] = (1.0, 1.0),
) -> Any:
    """Values (or derivatives) at the points t, shape (len(t), dim), of a breaks/coefs cubic.

    Each point uses the piece whose left break is the last one at or before it (the
    first piece for points before the first break, the last after the last), and
    Horner's scheme in the core's order, so values agree with the core bit for bit.
    With scale = (x_unit, y_unit), piece k is
    ``y_unit * sum(coefs[k, m] * ((t - breaks[k]) / x_unit)**(3 - m))``; the units are
    powers of two, so that they change no bit where plain coefficients would do.
    """
    x_unit, y_unit = scale
    piece = np.searchsorted(breaks, t, side="right") - 1
    np.clip(piece, 0, len(breaks) - 2, out=piece)
    piece[t <= breaks[0]] = 0  # a zero-length first piece still takes the points on it
    dt = (t - breaks[piece])[:, None]
    if x_unit != 1.0:
        dt = dt / x_unit
    rows = piece[:, None] * dim + np.arange(dim)
    c = coefs[rows, : 4 - nu] * _DERIVATIVE[nu]  # (n, dim, 4 - nu)
    v = c[..., 0]
    for m in range(1, 4 - nu):
        v = v * dt + c[..., m]
    factor = y_unit / x_unit**nu
    return v * factor if factor != 1.0 else v


def _readonly(a: npt.ArrayLike, dtype: Any = np.float64) -> Any:
    out = np.array(a, dtype=dtype)  # a private copy, so freezing it cannot surprise anyone
    out.flags.writeable = False
    return out


class JumpSpline:
    """A fitted cubic smoothing spline with jumps, callable like a function.

    Create one with `fit` or `select`. The curve is a piecewise cubic polynomial on the
    pieces ``[breaks[k], breaks[k+1])``: a point on a break belongs to the piece on its
    right, so at a jump the curve takes its right-hand value. Before the first and after
    the last break the end pieces (straight lines) are extended.

    Parameters
    ----------
    result : dict
        A result dictionary of `velk.velk`.
    p, gamma : float
        The smoothing parameter and jump penalty that `result` was fitted with.
    squeeze : bool, optional
        Return values without the component axis (for a fit of 1-D data). Requires a
        single component.

    Attributes
    ----------
    breaks : ndarray, shape (nb,)
        Breaks of the piecewise polynomial.
    coefs : ndarray, shape (nb - 1, 4) or (nb - 1, dim, 4)
        Cubic coefficients of every piece (and component), highest power of
        ``t - breaks[k]`` first.
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
    """

    __slots__ = (
        "_breaks",
        "_coefs",
        "_dim",
        "_gamma",
        "_jump_indices",
        "_jumps",
        "_p",
        "_scale",
        "_segments",
        "_squeeze",
        "_x",
        "_y",
    )

    _breaks: FloatArray
    _coefs: FloatArray
    _dim: int
    _x: FloatArray
    _y: FloatArray
    _jumps: FloatArray
    _jump_indices: npt.NDArray[np.int64]
    _segments: tuple[slice, ...]
    _p: float
    _gamma: float
    _squeeze: bool
    _scale: tuple[float, float]

    def __init__(
        self, result: Mapping[str, Any], p: float, gamma: float, *, squeeze: bool = False
    ) -> None:
        dim = int(result["dim"])
        if squeeze and dim != 1:
            raise ValueError(f"squeeze needs a single component, the fit has {dim}")
        breaks = _readonly(result["breaks"])
        coefs = np.asarray(result["coefs"], dtype=np.float64)
        if breaks.ndim != 1 or len(breaks) < 2 or coefs.shape != ((len(breaks) - 1) * dim, 4):
            raise ValueError("result does not hold a cubic piecewise polynomial")
        y = np.asarray(result["y"], dtype=np.float64)
        cells = result["interval_cell"]
        put = object.__setattr__
        put(self, "_breaks", breaks)
        put(self, "_coefs", _readonly(coefs))
        put(self, "_dim", dim)
        put(self, "_x", _readonly(result["x"]))
        put(self, "_y", _readonly(y[:, 0] if squeeze else y))
        put(self, "_jumps", _readonly(result["discont"]))
        put(self, "_jump_indices", _readonly(result["discont_idx"], np.int64))
        put(self, "_segments", tuple(slice(int(c[0]), int(c[-1]) + 1) for c in cells))
        put(self, "_p", float(p))
        put(self, "_gamma", float(gamma))
        put(self, "_squeeze", bool(squeeze))
        x_unit, y_unit = (float(u) for u in result.get("scale", (1.0, 1.0)))
        put(self, "_scale", (x_unit, y_unit))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("JumpSpline is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("JumpSpline is immutable")

    def __reduce__(self) -> tuple[Any, ...]:
        state = {
            "breaks": self._breaks,
            "coefs": self._coefs,
            "dim": self._dim,
            "x": self._x,
            "y": self._y.reshape(len(self._x), -1),
            "discont": self._jumps,
            "discont_idx": self._jump_indices,
            "interval_cell": [np.arange(s.start, s.stop) for s in self._segments],
            "scale": self._scale,
        }
        return (_restore, (state, self._p, self._gamma, self._squeeze))

    @property
    def breaks(self) -> FloatArray:
        return self._breaks

    @property
    def coefs(self) -> FloatArray:
        shape = (len(self._breaks) - 1, 4) if self._squeeze else (-1, self._dim, 4)
        x_unit, y_unit = self._scale
        # Powers of two: exact, unless a coefficient does not fit in a double at all
        # (a curve on x * 1e-160 has cubic coefficients near 1e480; it evaluates fine).
        units = y_unit / np.array([x_unit**3, x_unit**2, x_unit, 1.0])
        out: FloatArray = (self._coefs * units).reshape(shape)
        out.flags.writeable = False
        return out

    @property
    def x(self) -> FloatArray:
        return self._x

    @property
    def y(self) -> FloatArray:
        return self._y

    @property
    def jumps(self) -> FloatArray:
        return self._jumps

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

    def __call__(self, t: npt.ArrayLike, nu: int = 0) -> Any:
        """Values or derivatives of the curve.

        Parameters
        ----------
        t : array_like
            Points at which to evaluate.
        nu : {0, 1, 2, 3}, optional
            Order of the derivative; 0 gives the values.

        Returns
        -------
        ndarray
            Shape ``t.shape`` for a fit of 1-D data, ``t.shape + (dim,)`` otherwise.
        """
        if nu not in (0, 1, 2, 3) or isinstance(nu, bool):
            raise ValueError(f"nu must be 0, 1, 2 or 3, got {nu!r}")
        ta = np.asarray(t, dtype=np.float64)
        v = ppeval(self._breaks, self._coefs, self._dim, ta.reshape(-1), nu, self._scale)
        shape = ta.shape if self._squeeze else ta.shape + (self._dim,)
        return v.reshape(shape)

    def to_ppoly(self) -> PPoly:
        """The curve as a `scipy.interpolate.PPoly` (needs SciPy).

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

        c = np.moveaxis(self.coefs, -1, 0)  # (4, pieces[, dim])
        return PPoly(np.array(c), np.array(self._breaks), extrapolate=True)

    def plot(self, ax: Axes | None = None) -> Axes:
        """Draw the samples, the curve and the jumps with matplotlib.

        The artists are labelled "data", "fit" and "jumps" for ``ax.legend()``.

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
            ax.plot(self._x, y[:, j], ".", color=color, alpha=0.35, ms=3, label="data" + tag)
            for k in range(len(edges) - 1):
                a, b = edges[k], edges[k + 1]
                n = max(8, int(800 * (b - a) / (x1 - x0))) if x1 > x0 else 2
                t = np.linspace(a, b, n)
                if k < len(edges) - 2:
                    t[-1] = np.nextafter(b, -np.inf)  # the left-hand limit at the jump
                v = self(t).reshape(n, -1)[:, j]
                ax.plot(t, v, "-", color=color, lw=1.8, label=None if k else "fit" + tag)
        for k, at in enumerate(self._jumps):
            ax.axvline(at, color="0.4", ls=":", lw=1, label=None if k else "jumps")
        return ax

    def __repr__(self) -> str:
        jumps = np.array2string(self._jumps, precision=4, separator=", ", threshold=8)
        return (
            f"JumpSpline({len(self._x)} samples, dim={self._dim}, p={self._p:.6g}, "
            f"gamma={self._gamma:.6g}, jumps={jumps})"
        )


def _restore(state: Mapping[str, Any], p: float, gamma: float, squeeze: bool) -> JumpSpline:
    return JumpSpline(state, p, gamma, squeeze=squeeze)


def fit(
    x: npt.ArrayLike | None,
    y: npt.ArrayLike,
    *,
    p: float | None = None,
    gamma: float | None = None,
    smoothing: float | None = None,
    jump_cost: float | None = None,
    delta: npt.ArrayLike | None = None,
    pruning: str = "functional",
    precondition: str = "none",
) -> JumpSpline:
    """Fit a cubic smoothing spline that may jump.

    Minimises, over all ways to cut the samples into runs of consecutive samples, the sum
    of each run's smoothing-spline energy
    ``p * sum(w * (y - f(x))**2) + (1 - p) * integral(f''(t)**2 dt)`` (``w = 1/delta**2``)
    plus `gamma` per jump. Use `select` to choose `p` and `gamma` by cross-validation.

    Parameters
    ----------
    x : array_like, shape (n,), or None
        Abscissae, in any order; None means 1, 2, ..., n.
    y : array_like, shape (n,) or (n, dim)
        Values; a 2-D array holds one sample per row and fits `dim` components that share
        the jumps.
    p : float, optional
        Smoothing parameter in [0, 1]: 1 interpolates, 0 fits straight lines. Give
        either `p` or `smoothing`.
    gamma : float, optional
        Penalty per jump in the units of the objective above, >= 0; ``inf`` means no
        jumps. Give either `gamma` or `jump_cost`.
    smoothing : float, optional
        How smooth, as a length in units of x: the width over which the spline averages
        the samples, ``(1 - p) / p = smoothing**4 * w / h`` with h the mean spacing of the
        distinct x and w their mean weight (``1 / delta**2`` for a constant delta). 0
        interpolates, ``inf`` fits straight lines. Unlike p, it means the same whatever
        the units and the density of the samples.
    jump_cost : float, optional
        Penalty per jump in units of ``sum(w * (y - f(x))**2)``: how much a jump must lower
        the weighted residual sum of squares (plus roughness) to be worth it;
        ``gamma = p * jump_cost``. With a correct `delta` this is in units of the noise
        variance, whatever the units of x and y.
    delta : float or array_like, shape (n,), optional
        Standard deviation of each sample (default 1).
    pruning : {"functional", "FPVI", "PELT"}, optional
        Pruning strategy of the jump search; all give the same fit, "functional" (the
        default) in about linear time.
    precondition : {"none", "local"}, optional
        Scaling of the segment model used by the search.

    Returns
    -------
    JumpSpline

    Raises
    ------
    ValueError
        For out-of-range parameters, mismatched shapes, non-positive `delta` or fewer than
        two usable samples.

    Notes
    -----
    Samples whose x, y (any component) or delta is NaN or infinite are ignored. Samples
    with equal x are merged into their weighted mean. With `smoothing`, gamma keeps its
    meaning: the objective is ``p * D + (1 - p) * R + gamma * jumps`` for the p that the
    smoothing length stands for. `smoothing` with `jump_cost` works at any scale of x, y
    and delta (x * 1e-300 included), where p and gamma may not be representable.

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
    >>> velk.fit(x, y, smoothing=0.2, gamma=1.0, delta=0.1).jumps
    array([5.])
    """
    s = as_samples(x, y, delta)
    st = setting_of(p, smoothing, gamma, jump_cost, s.x, s.delta)
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
    return JumpSpline(res, st.p, st.gamma, squeeze=s.squeeze)

"""Fitting with a given smoothing and jump cost: `fit`."""

from __future__ import annotations

import numpy.typing as npt

from velk import _engine
from velk._params import reported, setting
from velk._samples import read
from velk._spline import JumpSpline
from velk._validate import EXTRAPOLATE, PRECONDITION, PRUNING, option, real

__all__ = ["fit"]


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
    phi: float | None = None,
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
    phi : float, optional
        Assume AR(1) noise in sample order with lag-one correlation `phi`, -1 < phi < 1
        (``phi**(dx / h)`` between unevenly spaced samples, h the mean spacing, which needs
        phi >= 0), independent between segments: each run's residual sum of squares
        becomes the generalised one ``e' inv(Sigma) e`` with ``e = (y - f(x)) / delta``
        and Sigma the stationary AR(1) correlation of its samples. Default None:
        independent noise. Needs ``pruning="functional"`` and a finite smoothing.

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
    data = read(x, y, delta)
    st, pv, gv = setting(p, gamma, smoothing, jump_cost, data.axis)
    res = _engine.fit(
        data.samples,
        lam=st.lam,
        length=st.length,
        jump_cost=st.jump_cost,
        pruning=option("pruning", pruning, PRUNING),
        precondition=option("precondition", precondition, PRECONDITION),
        phi=None if phi is None else real("phi", phi),
    )
    pv, gv = reported(st, res["lam"], pv, gv)
    mode = option("extrapolate", extrapolate, EXTRAPOLATE)
    return JumpSpline._from_fit(res, data, pv, gv, mode, None if phi is None else float(phi))

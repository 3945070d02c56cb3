"""Datetime and timedelta abscissae: the float axis the fits work on, and the way back.

A fit of datetimes sees x as seconds since the earliest sample, whatever resolution NumPy
or pandas chose for the input (days, microseconds, nanoseconds), so p, derivatives and
integrals mean the same for the same data. pandas is imported only for pandas input and
for time zones.
"""

from __future__ import annotations

import datetime
import sys
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from velk._validate import float_array, real, type_name

__all__ = ["TimeAxis", "as_length", "axis_of"]

FloatArray = npt.NDArray[np.float64]

# Ticks per second of the resolutions kept: nanoseconds for nanosecond input, microseconds
# (a range of +-290,000 years) for everything coarser.
PER_SECOND = {"ns": 1e9, "us": 1e6}
KINDS = {"M": "datetime", "m": "timedelta"}


class TimeValues(NamedTuple):
    values: np.ndarray  # datetime64 or timedelta64; UTC wall time for tz-aware input
    tz: Any  # the time zone of tz-aware input, else None
    pandas: bool  # came from a pandas object


def import_pandas(why: str) -> Any:
    try:
        import pandas  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise TypeError(f"{why} needs pandas (pip install pandas)") from None
    return pandas


def from_pandas(v: Any) -> TimeValues | None:
    pd = sys.modules["pandas"]  # v is a pandas object, so pandas is loaded
    if isinstance(v, pd.DataFrame):
        if v.shape[1] != 1:
            raise TypeError(f"a DataFrame of values must have one column, got {v.shape[1]}")
        v = v.iloc[:, 0]
    if v is pd.NaT:
        return TimeValues(np.asarray(np.datetime64("NaT")), None, True)
    if isinstance(v, (pd.Timestamp, pd.Timedelta)):
        v = pd.Index([v])[0:1]
        scalar = True
    else:
        scalar = False
    dtype = getattr(v, "dtype", None)
    tz = getattr(dtype, "tz", None)
    if tz is not None:
        idx = pd.DatetimeIndex(v)
        values = idx.tz_convert("UTC").tz_localize(None).to_numpy()
    elif getattr(dtype, "kind", "") in ("M", "m"):
        values = np.asarray(v.to_numpy())
    elif getattr(dtype, "kind", "") == "O":
        return from_objects(np.asarray(v, dtype=object))
    else:
        return None
    return TimeValues(values[0] if scalar else values, tz, True)


def kind_of(e: object) -> str:
    if e is None or (isinstance(e, float) and e != e) or type_name(e) == "NaTType":
        return ""
    if isinstance(e, (np.datetime64, np.timedelta64)) and np.isnat(e):
        return ""
    if isinstance(e, (datetime.date, np.datetime64)):  # datetime.datetime is a date
        return "datetime"
    if isinstance(e, (datetime.timedelta, np.timedelta64)):
        return "timedelta"
    return "other"


def from_objects(a: np.ndarray) -> TimeValues | None:
    """Python (or pandas) datetimes, dates or timedeltas in an object array."""
    flat = a.ravel().tolist()
    kinds = {kind_of(e) for e in flat} - {""}
    if len(kinds) != 1 or "other" in kinds:
        if kinds == {"datetime", "timedelta"}:
            raise TypeError("values mix datetimes and timedeltas")
        return None
    aware = any(getattr(e, "utcoffset", lambda: None)() is not None for e in flat if e is not None)
    if aware or "pandas" in sys.modules:
        pd = import_pandas("time-zone-aware datetimes") if aware else sys.modules["pandas"]
        convert = pd.to_datetime if kinds == {"datetime"} else pd.to_timedelta
        try:
            idx = pd.Index(convert([None if kind_of(e) == "" else e for e in flat]))
        except (TypeError, ValueError) as e:
            raise ValueError(f"cannot read these datetimes: {e}") from None
        got = from_pandas(idx)
        assert got is not None  # converted to a datetime or timedelta index above
        return TimeValues(got.values.reshape(a.shape), got.tz, False)
    dtype = "datetime64[us]" if kinds == {"datetime"} else "timedelta64[us]"
    values = np.array([None if kind_of(e) == "" else e for e in flat], dtype=dtype)
    return TimeValues(values.reshape(a.shape), None, False)


def time_values(v: object) -> TimeValues | None:
    """The datetimes or timedeltas in v, or None when v holds something else."""
    if type(v).__module__.split(".")[0] == "pandas":
        return from_pandas(v)
    if isinstance(v, (np.datetime64, np.timedelta64)):
        return TimeValues(np.asarray(v), None, False)
    if isinstance(v, (datetime.date, datetime.timedelta)):
        return from_objects(np.array([v], dtype=object).reshape(()))
    if isinstance(v, np.ndarray) and v.dtype.kind not in "OMm":
        return None
    try:
        a = np.asarray(v)
    except ValueError:  # ragged nesting: not time values, the numeric path says what is wrong
        return None
    if a.dtype.kind in "Mm":
        return TimeValues(a, None, False)
    if a.dtype.kind == "O":
        return from_objects(a)
    return None


def resolution(values: np.ndarray) -> tuple[np.ndarray, str]:
    """values at nanosecond resolution when they are that fine, else at microseconds."""
    unit = np.datetime_data(values.dtype)[0]
    if values.dtype.kind == "m" and unit in ("Y", "M"):
        raise ValueError("timedeltas in years or months have no fixed length in seconds")
    res = "ns" if unit in ("ns", "ps", "fs", "as") else "us"
    return values.astype(f"{values.dtype.kind}8[{res}]"), res


@dataclass(frozen=True)
class TimeAxis:
    """How the spline of datetime (or timedelta) samples maps them to the floats it fits.

    The float x of the fit is the number of seconds since `origin`, the earliest sample:
    ``p`` and the default grids of `select` refer to it, derivatives are per second and
    integrals are in units of y times seconds.

    Attributes
    ----------
    kind : {"datetime", "timedelta"}
        What x holds.
    origin : numpy.datetime64 or numpy.timedelta64
        The earliest sample (in UTC for time-zone-aware x): float x = 0.
    unit : {"ns", "us"}
        Resolution of `origin` and of the datetimes the spline returns: nanoseconds for
        nanosecond input, microseconds otherwise.
    tz : tzinfo or None
        Time zone of time-zone-aware x; the spline returns datetimes in it.
    pandas : bool
        x was a pandas object: datetimes are returned as pandas indexes.
    """

    kind: str
    origin: Any
    unit: str
    tz: Any = None
    pandas: bool = False

    def seconds(self, values: np.ndarray) -> FloatArray:
        v = values.astype(f"{values.dtype.kind}8[{self.unit}]")
        out: FloatArray = np.array((v - self.origin).astype(np.int64) / PER_SECOND[self.unit])
        out[np.isnat(v)] = np.nan
        return out

    def to_float(self, t: object) -> FloatArray:
        """Seconds since `origin` of datetimes (timedeltas) of any shape; NaT gives NaN."""
        tv = time_values(t)
        if tv is None:
            a = np.asarray(t)
            got = type_name(t) if a.ndim == 0 else f"an array of {a.dtype}"
            raise TypeError(f"the spline's x holds {self.kind}s: give {self.kind}s, got {got}")
        values = tv.values
        if np.isnat(values).all():  # NaT of either kind, or generic NaT
            return np.full(values.shape, np.nan)
        if KINDS[values.dtype.kind] != self.kind:
            raise TypeError(f"the spline's x holds {self.kind}s, got {KINDS[values.dtype.kind]}s")
        if self.kind == "datetime" and (tv.tz is None) != (self.tz is None):
            which = ("naive", "time-zone-aware") if self.tz is None else ("aware", "naive")
            raise TypeError(f"the spline's datetimes are {which[0]}, got {which[1]} ones")
        return np.asarray(self.seconds(np.asarray(values)).reshape(values.shape))

    def from_float(self, s: npt.ArrayLike) -> Any:
        """Datetimes (timedeltas) of seconds since `origin`, 1-D, at resolution `unit`."""
        ticks = np.rint(np.asarray(s, dtype=np.float64) * PER_SECOND[self.unit])
        nat = ~(np.abs(ticks) < 2.0**63)  # NaN, or beyond the range of datetime64
        steps = np.where(nat, 0, ticks).astype(np.int64).astype(f"m8[{self.unit}]")
        values = self.origin + steps
        values[nat] = values.dtype.type("NaT")
        if not (self.pandas or self.tz is not None):
            return values
        pd = import_pandas("datetimes with a time zone")
        if self.kind == "timedelta":
            return pd.TimedeltaIndex(values)
        idx = pd.DatetimeIndex(values)
        return idx if self.tz is None else idx.tz_localize("UTC").tz_convert(self.tz)

    def length(self, value: object, name: str) -> float:
        """Seconds of a non-negative timedelta."""
        tv = time_values(value)
        if tv is None or tv.values.dtype.kind != "m" or tv.values.ndim != 0:
            raise TypeError(
                f"{name} must be a timedelta for x of {self.kind}s, got {type_name(value)}"
            )
        v, res = resolution(tv.values)
        if np.isnat(v):
            raise ValueError(f"{name} must be a timedelta, got NaT")
        seconds = float(v.astype(np.int64)) / PER_SECOND[res]
        if seconds < 0.0:
            raise ValueError(f"{name} must be >= 0, got {value}")
        return seconds


def axis_of(x: object) -> tuple[FloatArray, TimeAxis | None]:
    """x as floats, with the time axis when x holds datetimes or timedeltas (else None).

    Datetimes become seconds since the earliest one (NaT becomes NaN): the float x of
    every fit, and the unit in which a smoothing length or the derivatives are meant.
    """
    tv = time_values(x)
    if tv is None:
        return float_array("x", x), None
    values, unit = resolution(np.asarray(tv.values))
    ok = ~np.isnat(values)
    origin = values[ok].min() if ok.any() else values.dtype.type(0, unit)
    axis = TimeAxis(KINDS[values.dtype.kind], origin, unit, tv.tz, tv.pandas)
    return axis.seconds(values), axis


def as_length(value: object, axis: TimeAxis | None, name: str = "smoothing") -> float:
    """A length along x in the units of the fit: a number for numeric x, a timedelta
    (converted to seconds) for datetime or timedelta x. Must be >= 0; inf is allowed."""
    if axis is None:
        return real(name, value, low=0.0)
    return axis.length(value, name)

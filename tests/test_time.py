"""Datetime and timedelta x: seconds since the earliest sample in, datetimes out."""

import datetime

import numpy as np
import pandas as pd
import pytest
from helpers import run_python
from numpy.testing import assert_allclose, assert_array_equal

import velk
from velk._time import as_length

DAY = 86400.0
KW = {"p": 1e-16, "gamma": 1e-19}  # a smoothing window of about two days, in seconds


def daily(n=60, at=20, seed=0):
    """Hourly-resolved days with a step after day `at`, as datetime64[s] and the float x."""
    rng = np.random.default_rng(seed)
    hours = np.arange(n) * 24 + rng.integers(0, 6, n)
    t = np.datetime64("2021-03-01T00:00:00", "s") + hours.astype("m8[h]")
    y = np.where(np.arange(n) < at, 0.0, 1.0) + 0.01 * rng.standard_normal(n)
    return t, (hours - hours[0]) * 3600.0, y


@pytest.mark.parametrize("unit", ["s", "ms", "us", "ns"])
@pytest.mark.parametrize("how", ["numpy", "series", "index", "frame", "objects", "timedelta"])
def test_any_resolution_and_container_fits_the_seconds(unit, how):
    t, secs, y = daily()
    ref = velk.fit(secs, y, **KW)
    tu = t.astype(f"M8[{unit}]")
    x = {"numpy": tu, "series": pd.Series(tu), "index": pd.DatetimeIndex(tu),
         "frame": pd.DataFrame({"t": tu})["t"], "objects": list(tu.astype("M8[us]").astype(object)),
         "timedelta": tu - tu[0] + np.timedelta64(5, "s")}[how]  # fmt: skip
    spl = velk.fit(x, y, **KW)
    assert_array_equal(spl.coefs, ref.coefs)
    origin = np.timedelta64(5, "s") if how == "timedelta" else t[0]
    jumps = np.asarray(spl.jumps).astype(f"{'m' if how == 'timedelta' else 'M'}8[us]")
    assert_array_equal(jumps, origin + (ref.jumps * 1e6).round().astype("m8[us]"))
    assert spl.time_axis.unit == ("ns" if unit == "ns" and how != "objects" else "us")
    # Evaluated at its own samples in any form, it equals the float fit.
    for form in (x, np.asarray(spl.x), list(np.asarray(spl.x)[:3])):
        got = spl(form)
        assert_allclose(got, ref(secs if len(got) == len(secs) else secs[:3]), rtol=1e-12)


def test_pandas_time_zones_nat_and_series_y():
    t, secs, y = daily()
    idx = pd.DatetimeIndex(t).tz_localize("Asia/Kolkata")  # UTC+05:30 all year
    series = pd.Series(y, index=idx)
    series.iloc[7] = np.nan
    x = pd.Series(idx)
    x.iloc[12] = pd.NaT  # a NaT is a missing sample, not the year -292 billion
    spl = velk.fit(x, series, **KW)
    keep = np.ones(len(t), bool)
    keep[[7, 12]] = False
    ref = velk.fit(secs[keep], y[keep], **KW)
    assert_allclose(spl.coefs, ref.coefs, rtol=1e-9, atol=1e-12)
    assert isinstance(spl.jumps, pd.DatetimeIndex) and str(spl.jumps.tz) == "Asia/Kolkata"
    jump = pd.Timestamp(spl.time_axis.origin) + pd.Timedelta(seconds=float(ref.jumps[0]))
    assert spl.jumps[0].tz_convert("UTC").tz_localize(None) == jump
    at = idx[30]
    v = ref(secs[30])
    for form in (at, at.tz_convert("UTC"), at.to_pydatetime(), idx[[30]], pd.Series([at])):
        assert_allclose(spl(form), v, rtol=1e-12)
    assert spl(pd.NaT) != spl(pd.NaT)  # NaT evaluates to NaN
    with pytest.raises(TypeError, match="aware, got naive"):
        spl(at.tz_localize(None))
    with pytest.raises(TypeError, match="holds datetimes"):
        spl(float(secs[30]))
    with pytest.raises(TypeError, match="holds datetimes, got timedeltas"):
        spl(np.timedelta64(3, "D"))


def test_roots_integrals_and_breaks_speak_time():
    t, secs, y = daily()
    spl = velk.fit(t, y - 0.5, **KW)
    ref = velk.fit(secs, y - 0.5, **KW)
    assert spl.breaks.dtype == np.dtype("M8[us]")
    assert_array_equal(spl.x, t.astype("M8[us]"))
    roots = spl.roots()
    assert roots.dtype == np.dtype("M8[us]")
    assert_allclose(spl(roots), 0.0, atol=1e-6)
    a, b = t[3], t[40]
    assert spl.integrate(a, b) == pytest.approx(ref.integrate(secs[3], secs[40]), rel=1e-12)
    assert spl.derivative()(t[5]) == pytest.approx(ref(secs[5], nu=1), rel=1e-12)


@pytest.mark.parametrize("value,axis_x,expected", [
    (pd.Timedelta(hours=2), "time", 7200.0), (np.timedelta64(3, "D"), "time", 3 * DAY),
    (datetime.timedelta(milliseconds=5), "time", 0.005), (2.5, "numbers", 2.5),
    (2.5, "time", TypeError), (np.timedelta64(1, "s"), "numbers", TypeError),
    (-np.timedelta64(1, "s"), "time", ValueError), (np.timedelta64("NaT"), "time", ValueError),
])  # fmt: skip
def test_smoothing_lengths(value, axis_x, expected):
    t, secs, y = daily()
    axis = velk.fit(t if axis_x == "time" else secs, y, **KW).time_axis
    if isinstance(expected, type):
        with pytest.raises(expected, match="smoothing"):
            as_length(value, axis)
    else:
        assert as_length(value, axis) == expected


# The child interpreter's exit is leak-checked too, and its stacks are too short for the
# suppressions to recognise CPython's own import-time objects.
@pytest.mark.no_leak_check
def test_pandas_stays_optional():
    code = (
        "import sys, numpy as np, velk\n"
        "t = np.datetime64('2020-01-01') + np.arange(9).astype('m8[D]')\n"
        "velk.fit(t, np.arange(9.0), p=0.5, gamma=1.0).jumps\n"
        "assert 'pandas' not in sys.modules\n"
    )
    r = run_python(["-c", code])
    assert r.returncode == 0, r.stderr

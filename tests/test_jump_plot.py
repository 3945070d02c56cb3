"""Pictures of jump tables: the intervals shaded, the probabilities written by the jumps."""

from __future__ import annotations

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")
import matplotlib.dates as mdates
import matplotlib.pyplot as plt
from matplotlib.patches import Rectangle

import velk


@pytest.fixture(autouse=True)
def _close():
    yield
    plt.close("all")


def _spans(ax) -> list[Rectangle]:
    return [p for p in ax.patches if isinstance(p, Rectangle) and p.get_label() != "_nolegend_"]


def _as_float(v) -> np.ndarray:
    v = np.asarray(v)
    return mdates.date2num(v) if v.dtype.kind == "M" else v.astype(float)


@pytest.mark.parametrize("dates", [False, True])
@pytest.mark.parametrize("how", ["selection", "spline"])
def test_spans_are_the_intervals_and_texts_the_probabilities(dates, how):
    u = np.arange(300)
    y = np.sin(u / 40.0) + 2.5 * (u >= 100) - 2.0 * (u >= 210)
    y += 0.4 * np.random.default_rng(11).standard_normal(300)
    x = np.datetime64("2020-01-01") + u * np.timedelta64(1, "D") if dates else u / 10.0
    sel = velk.select(x, y)
    table = sel.jumps
    assert len(table) == 2
    _, ax = plt.subplots()
    if how == "selection":
        sel.plot_fit(ax)
    else:
        sel.spline.plot(ax, jumps=table)
    spans = _spans(ax)
    assert len(spans) == len(table)
    # Patches keep the values they were given (datetimes too) until drawn.
    ends = _as_float([(s.get_x(), s.get_x() + s.get_width()) for s in spans])
    want = np.c_[_as_float(table.low), _as_float(table.high)]
    np.testing.assert_allclose(ends, want, rtol=0, atol=1e-9)
    assert [t.get_text() for t in ax.texts] == [f"{p:.2f}" for p in table.probability]
    at = _as_float([t.get_position()[0] for t in ax.texts])
    np.testing.assert_allclose(at, _as_float(table.position), atol=1e-9)
    labels = [h.get_label() for h in ax.get_legend_handles_labels()[0]]
    assert labels.count("95 % interval") == 1 and "fit" in labels


@pytest.mark.parametrize("exact", [True, False])
def test_unknown_intervals_and_plain_plots_shade_nothing(exact):
    # An exact step leaves no noise: the table knows the positions only.
    x = np.arange(40.0)
    y = np.where(x < 20, 0.0, 1.0) + (0.0 if exact else 0.1 * np.sin(x))
    sel = velk.select(x, y)
    _, ax = plt.subplots()
    if exact:
        assert len(sel.jumps) == 1 and np.isnan(sel.jumps.low[0])
        sel.plot_fit(ax)
    else:
        sel.spline.plot(ax)
    assert not _spans(ax) and not ax.texts

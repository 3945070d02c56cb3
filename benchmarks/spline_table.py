"""Table 1: one smoothing spline (no jumps), velk against scipy and csaps."""

from __future__ import annotations

import math
import os

import numpy as np
from harness import Bench, emit, mib, ms, sizes, table, timed
from signals import SIGMA, P, spline_signal

TITLE = "One smoothing spline"


def measure(job: dict) -> None:
    """Worker: times one tool's fit and saves its fitted values at the samples."""
    n, tool = job["n"], job["tool"]
    x, y, delta = spline_signal(n)
    w = 1.0 / delta**2
    lam = (1.0 - P) / P
    if tool == "velk":
        import velk

        y2 = y[:, None]

        def call():
            return velk.velk(x, y2, P, math.inf, delta)

        def values(res):
            return velk.JumpSpline(res, P, math.inf)(x)[:, 0]

        velk.velk(x[:100], y2[:100], P, math.inf, delta[:100])
    elif tool == "scipy":
        from scipy.interpolate import make_smoothing_spline

        def call():
            return make_smoothing_spline(x, y, w=w, lam=lam)

        def values(res):
            return res(x)

        make_smoothing_spline(x[:100], y[:100], w=w[:100], lam=lam)
    else:
        import csaps

        # csaps minimises p * sum(w * (y - f)^2) + (1 - p) * int(f''^2): the same p as velk.
        def call():
            return csaps.CubicSmoothingSpline(x, y, weights=w, smooth=P)

        def values(res):
            return res(x)

        csaps.CubicSmoothingSpline(x[:100], y[:100], weights=w[:100], smooth=P)(x[:100])
    res, seconds, runs, peak = timed(call, long_call=job["long_call"], budget=job["budget"])
    np.save(job["values"], values(res))
    emit({"seconds": seconds, "runs": runs, "peak": peak})


def run(bench: Bench) -> None:
    bench.say("## 1. One smoothing spline (no jumps)")
    bench.say()
    bench.say(
        "velk(x, y, p, gamma=inf, delta) against "
        "scipy.interpolate.make_smoothing_spline(x, y, w, lam) with w = 1/delta^2 and "
        "lam = (1 - p)/p, and csaps.CubicSmoothingSpline(x, y, weights=w, smooth=p): all "
        "three minimise p * sum(w (y - f)^2) + (1 - p) * int(f''^2) (scipy's objective "
        "divided by p). Signal: x = 0..n-1 jittered by +-0.3, smooth curve plus noise, "
        f"delta uniform in [{SIGMA / 2}, {2 * SIGMA}], p = {P:g}. Memory: growth of the "
        "resident set during the call, the result included; max |diff|: largest "
        "difference of the fitted values at the samples."
    )
    bench.say()
    rows = []
    tools = ("velk", "scipy", "csaps")
    for n in sizes(10**5 if bench.quick else 10**6):
        got = {}
        for tool in tools:
            values = os.path.join(bench.tmp, f"{tool}-{n}.npy")
            out, _ = bench.measure("spline_table:measure", 600, n=n, tool=tool, values=values)
            got[tool] = out[-1]
            got[tool]["values"] = np.load(values)
            bench.point(TITLE, tool, n, got[tool]["seconds"])
        v, s, c = (got[t]["values"] for t in tools)
        tv, ts, tc = (got[t]["seconds"] for t in tools)
        rows.append(
            [
                n,
                ms(tv),
                ms(ts),
                ms(tc),
                f"{ts / tv:.1f}x",
                f"{tc / tv:.1f}x",
                mib(got["velk"]["peak"]),
                mib(got["scipy"]["peak"]),
                mib(got["csaps"]["peak"]),
                f"{got['velk']['peak'] / n:.0f}",
                f"{np.abs(v - s).max():.1e}",
                f"{np.abs(v - c).max():.1e}",
                f"{np.abs(s - c).max():.1e}",
                "/".join(str(got[t]["runs"]) for t in tools),
            ]
        )
        if n == 10**6:
            bench.goal(
                "no-jump fit >= 20x faster than scipy and csaps at n = 10^6",
                f"{ts / tv:.1f}x scipy, {tc / tv:.1f}x csaps",
                min(ts, tc) / tv >= 20,
            )
            bench.goal(
                "no-jump fit: memory per sample at n = 10^6",
                f"{got['velk']['peak'] / n:.0f} B/sample",
                True,
            )
    header = ["n", "velk", "scipy", "csaps", "scipy/velk", "csaps/velk"]
    header += ["velk MiB", "scipy MiB", "csaps MiB", "velk B/sample"]
    header += ["max diff velk-scipy", "velk-csaps", "scipy-csaps", "runs v/s/c"]
    bench.say(table(header, rows))
    bench.say()

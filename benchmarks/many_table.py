"""Many independent series: `select_many` on threads and on a Dask cluster against the same
series one after another, and `select` alone, all in one run.

Series: 2000 samples each (unit spacing, unit noise), a smooth curve with 0 to 3 steps of 3
noise sd at random places, one seed per series.

    python benchmarks/many_table.py [--series N] [--n N] [--repeat K]

Rows: serial (`n_jobs=1`: each worker group's searches in step on one thread), threads
(`n_jobs=None`, one per core), a `distributed.LocalCluster` of 2 single-threaded worker
processes (when dask[distributed] is installed), and `select` called once per series with
`n_jobs=1` (the per-series baseline). Each timing is the best of --repeat runs; the ratios
are against the serial row of the same run.
"""

from __future__ import annotations

import argparse
import os
import time

import numpy as np

import velk


def panel(series: int, n: int) -> np.ndarray:
    out = np.empty((n, series))
    u = np.arange(n) / n
    for k in range(series):
        rng = np.random.default_rng([k, 2000])
        f = 2 * np.sin((2 + k % 5) * np.pi * u)
        for at in rng.uniform(0.1, 0.9, int(rng.integers(0, 4))):
            f = f + 3.0 * (u >= at) * rng.choice([-1.0, 1.0])
        out[:, k] = f + rng.standard_normal(n)
    return out


def best_of(repeat: int, run) -> tuple[float, object]:
    best, out = np.inf, None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = run()
        best = min(best, time.perf_counter() - t0)
    return best, out


def same(a, b) -> bool:
    return all(
        np.array_equal(a[k].spline.jumps, b[k].spline.jumps) and a[k].score == b[k].score for k in a
    )


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--series", type=int, default=200)
    ap.add_argument("--n", type=int, default=2000)
    ap.add_argument("--repeat", type=int, default=2)
    args = ap.parse_args()
    y = panel(args.series, args.n)
    x = np.arange(float(args.n))
    rows = []
    serial_t, serial = best_of(args.repeat, lambda: velk.select_many(y, x, n_jobs=1))
    rows.append(("select_many, serial (n_jobs=1)", serial_t, True))
    t, got = best_of(args.repeat, lambda: velk.select_many(y, x))
    rows.append((f"select_many, threads ({os.cpu_count()} cores)", t, same(got, serial)))
    try:
        import distributed
    except ImportError:
        rows.append(("select_many, LocalCluster: dask[distributed] not installed", np.nan, None))
    else:
        with (
            distributed.LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            ex = client.get_executor()
            t, got = best_of(args.repeat, lambda: velk.select_many(y, x, executor=ex))
        rows.append(("select_many, LocalCluster (2 worker processes)", t, same(got, serial)))
    t, _ = best_of(
        args.repeat, lambda: [velk.select(x, y[:, k], n_jobs=1) for k in range(args.series)]
    )
    rows.append(("select per series, one after another (n_jobs=1)", t, None))

    print(f"{args.series} series of {args.n} samples, best of {args.repeat} runs each:\n")
    print("| run | seconds | per series (ms) | speed-up vs serial | same results |")
    print("|---|---|---|---|---|")
    for name, t, ok in rows:
        same_text = "" if ok is None else ("yes" if ok else "NO")
        print(
            f"| {name} | {t:.2f} | {1e3 * t / args.series:.1f} | {serial_t / t:.2f}x "
            f"| {same_text} |"
        )


if __name__ == "__main__":
    main()

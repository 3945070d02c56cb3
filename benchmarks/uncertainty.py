"""Coverage of the jump intervals by simulation, and their cost beside one fit.

    python benchmarks/uncertainty.py [seeds]

A step of 2, 3 or 5 noise sd at x = 0.5 (between samples) on a sine, n = 200 and 1000:
among the seeds where `select` finds a jump within 0.05 of the step, how often the 95 %
interval holds the true position and size +- 1.96 se holds the true size.
"""

from __future__ import annotations

import sys
import time

import numpy as np

import velk


def coverage(step: float, n: int, seeds: int) -> tuple[int, float, float, float]:
    found = pos_hit = size_hit = 0
    probs = []
    x = (np.arange(n) + 0.5) / n
    t0 = 0.5 * (x[n // 2 - 1] + x[n // 2])
    for seed in range(seeds):
        rng = np.random.default_rng(seed)
        y = np.sin(2 * np.pi * x) + step * (x > t0) + rng.standard_normal(n)
        sel = velk.select(x, y)
        table = sel.jumps
        if len(table) == 0:
            continue
        k = int(np.argmin(np.abs(table.position - t0)))
        if abs(table.position[k] - t0) > 0.05:
            continue
        found += 1
        probs.append(table.probability[k])
        pos_hit += table.low[k] <= t0 <= table.high[k]
        size_hit += abs(table.size[k, 0] - step) <= 1.96 * table.size_se[k, 0]
    f = max(found, 1)
    return found, pos_hit / f, size_hit / f, float(np.mean(probs)) if probs else float("nan")


def cost(n: int = 100_000, jumps: int = 10) -> tuple[float, float]:
    rng = np.random.default_rng(0)
    x = np.linspace(0.0, 1.0, n)
    steps = np.linspace(0.0, 1.0, jumps + 2)[1:-1]
    y = np.sin(6 * x) + 3.0 * np.searchsorted(steps, x) % 2 + rng.standard_normal(n)
    t = time.perf_counter()
    spl = velk.fit(x, y, smoothing=0.05, jump_cost=30.0)
    fit_s = time.perf_counter() - t
    t = time.perf_counter()
    spl.jump_table(noise=1.0)
    return fit_s, time.perf_counter() - t


def main() -> None:
    seeds = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    print("| step (sd) | n | seeds | found | position covered | size covered | mean probability |")
    print("|---|---|---|---|---|---|---|")
    for n in (200, 1000):
        for step in (2.0, 3.0, 5.0):
            found, pc, sc, pm = coverage(step, n, seeds)
            print(f"| {step:g} | {n} | {seeds} | {found} | {pc:.3f} | {sc:.3f} | {pm:.3f} |")
    fit_s, table_s = cost()
    print(
        f"\nn = 1e5, 10 jumps: one fit {fit_s:.3f} s, jump table {table_s:.3f} s "
        f"({table_s / fit_s:.2f}x the fit)"
    )


if __name__ == "__main__":
    main()

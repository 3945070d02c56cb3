"""Coverage of the jump intervals by simulation, the calibration of the probabilities,
and their cost beside one fit.

    python benchmarks/uncertainty.py [seeds] [calibration | ar1 | nile]

Coverage: a step of 2, 3 or 5 noise sd at x = 0.5 (between samples) on a sine, n = 200 and
1000: among the seeds where `select` finds a jump within 0.05 of the step, how often the
95 % interval holds the true position and size +- 1.96 se holds the true size.

Calibration: marginal steps of 1, 1.5 and 2 noise sd on two smooth curves, n = 200 and
1000, the step at a random place between samples: every jump `select` reports is true when
the step lies in its interval [low, high]; a reliability table of those outcomes in bins of
the reported probability, and the Brier score beside that of a constant (the overall
fraction true). The same curves without a step: how many jumps are reported. Coverage and
calibration read the Gaussian model's tables (the default, "auto", chooses it on almost
every such series). With "calibration" only that part runs.

Under AR(1) noise: the coverage of a 3 sd step as above under AR(1) noise of lag-one
correlation 0.5 (unit variance), `select(noise="ar1")` beside `noise="gaussian"`, which
assumes independent noise. With "ar1" only that part runs.

The Nile (statsmodels' copy of the annual flow 1871-1970): velk's jump beside R's
strucchange (`breakpoints` with one break in the mean and its `confint`, run as a black box
through Rscript where R and the package are installed; the table says so where not). With
"nile" only that part runs.
"""

from __future__ import annotations

import sys
import time

import numpy as np
from harness import rscript

import velk


def ar1(rng: np.random.Generator, n: int, phi: float) -> np.ndarray:
    """Stationary AR(1) noise of unit variance."""
    e = np.empty(n)
    e[0] = rng.standard_normal()
    for i in range(1, n):
        e[i] = phi * e[i - 1] + np.sqrt(1 - phi * phi) * rng.standard_normal()
    return e


def coverage(
    step: float, n: int, seeds: int, phi: float = 0.0, noise: str = "gaussian"
) -> tuple[int, float, float, float]:
    found = pos_hit = size_hit = 0
    probs = []
    x = (np.arange(n) + 0.5) / n
    t0 = 0.5 * (x[n // 2 - 1] + x[n // 2])
    for seed in range(seeds):
        rng = np.random.default_rng(seed)
        e = ar1(rng, n, phi) if phi else rng.standard_normal(n)
        y = np.sin(2 * np.pi * x) + step * (x > t0) + e
        sel = velk.select(x, y, noise=noise, n_jobs=1)
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


CURVES = {
    "sine": lambda x: np.sin(2 * np.pi * x),
    "bend": lambda x: 1.5 * (x - 0.5) ** 2 + 0.5 * np.cos(3 * np.pi * x),
}
STEPS = (1.0, 1.5, 2.0)
BINS = np.linspace(0.0, 1.0, 6)  # probabilities in bins of 0.2


def reported(curve: str, step: float, n: int, seed: int) -> tuple[list[float], list[bool]]:
    """The probability of every jump select reports on one series, and whether the true
    step lies in its interval (none without a step)."""
    rng = np.random.default_rng([seed, n, int(10 * step), len(curve)])
    x = (np.arange(n) + 0.5) / n
    cut = int(rng.integers(n // 5, 4 * n // 5))
    t0 = 0.5 * (x[cut - 1] + x[cut])
    y = CURVES[curve](x) + step * (x > t0) + rng.standard_normal(n)
    table = velk.select(x, y, n_jobs=1, noise="gaussian").jumps
    hit = (table.low <= t0) & (t0 <= table.high) if step > 0 else np.zeros(len(table), bool)
    return table.probability.tolist(), hit.tolist()


def calibration(seeds: int) -> None:
    probs: list[float] = []
    hits: list[bool] = []
    null = {}
    for n in (200, 1000):
        for curve in CURVES:
            for step in STEPS:
                for seed in range(seeds):
                    p, h = reported(curve, step, n, seed)
                    probs += p
                    hits += h
            null[(curve, n)] = [len(reported(curve, 0.0, n, s)[0]) for s in range(seeds)]
    p, o = np.array(probs), np.array(hits, dtype=float)
    print("\n| probability | jumps reported | true | fraction true | mean probability |")
    print("|---|---|---|---|---|")
    which = np.clip(np.searchsorted(BINS, p, side="right") - 1, 0, len(BINS) - 2)
    for b in range(len(BINS) - 1):
        inside = which == b
        k = int(inside.sum())
        frac = f"{o[inside].mean():.3f}" if k else "-"
        mean = f"{p[inside].mean():.3f}" if k else "-"
        edges = f"{BINS[b]:.1f} - {BINS[b + 1]:.1f}"
        print(f"| {edges} | {k} | {int(o[inside].sum())} | {frac} | {mean} |")
    base = o.mean()
    brier, const = np.mean((p - o) ** 2), np.mean((base - o) ** 2)
    print(
        f"\n{len(p)} jumps reported over {len(CURVES) * len(STEPS) * 2 * seeds} series "
        f"({seeds} seeds each of steps {', '.join(f'{s:g}' for s in STEPS)} sd on "
        f"{', '.join(CURVES)}, n = 200 and 1000): {int(o.sum())} true ({base:.3f}); "
        f"Brier score {brier:.4f}, constant {base:.3f}: {const:.4f} "
        f"(skill {1 - brier / const:.3f})"
    )
    print("\n| null family | n | seeds | jumps reported | seeds with a jump |")
    print("|---|---|---|---|---|")
    for (curve, n), counts in null.items():
        c = np.array(counts)
        print(f"| {curve} | {n} | {seeds} | {int(c.sum())} | {int((c > 0).sum())} |")


def autocorrelated(seeds: int, phi: float = 0.5) -> None:
    print(f"\nUnder AR(1) noise, phi = {phi:g}:\n")
    print("| select noise= | step (sd) | n | seeds | found | position covered | size covered "
          "| mean probability |")  # fmt: skip
    print("|---|---|---|---|---|---|---|---|")
    for noise in ("ar1", "gaussian"):
        for n in (200, 1000):
            found, pc, sc, pm = coverage(3.0, n, seeds, phi, noise)
            print(f"| {noise} | 3 | {n} | {seeds} | {found} | {pc:.3f} | {sc:.3f} | {pm:.3f} |")


# R's strucchange as a black box: one break in the mean (Bai-Perron), its 95 % interval,
# and the two segment means; the series comes on stdin.
BAI_PERRON = """
suppressMessages(library(strucchange))
y <- scan(file("stdin"), quiet = TRUE)
bp <- breakpoints(y ~ 1, breaks = 1)
ci <- confint(bp, level = 0.95)$confint
means <- coef(bp)[, 1]
cat(ci[1, 1], ci[1, 2], ci[1, 3], means[1], means[2], "\\n")
"""


def bai_perron(y: np.ndarray) -> list[float] | str:
    """The break (last index of the first segment, from 1), its 95 % interval and the two
    means by strucchange, or why they are not known."""
    return rscript(BAI_PERRON, y)


def nile() -> None:
    try:
        from statsmodels.datasets import nile as data
    except ImportError:
        print("\nThe Nile: statsmodels is not installed")
        return
    frame = data.load_pandas().data
    year, flow = frame["year"].to_numpy(), frame["volume"].to_numpy()
    sel = velk.select(year, flow, n_jobs=1)
    print("\n| method | break (last year of the higher flow) | 95 % interval | size |")
    print("|---|---|---|---|")
    for pos, low, high, size, se, prob in sel.jumps:
        print(
            f"| velk.select (straight lines, probability {prob:.2f}) | {pos - 0.5:g} "
            f"| {low - 0.5:g} - {high - 0.5:g} | {size[0]:.1f} +- {se[0]:.1f} |"
        )
    got = bai_perron(flow)
    if isinstance(got, str):
        print(f"| strucchange breakpoints (one break in the mean) | {got} | | |")
        return
    lo, at, hi, left, right = got
    first = year[0] - 1
    print(
        f"| strucchange breakpoints (one break in the mean) | {first + at:g} "
        f"| {first + lo:g} - {first + hi:g} | {right - left:.1f} |"
    )


def main() -> None:
    seeds = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    if sys.argv[2:] == ["calibration"]:
        calibration(seeds)
        return
    if sys.argv[2:] == ["ar1"]:
        autocorrelated(seeds)
        return
    if sys.argv[2:] == ["nile"]:
        nile()
        return
    print("| step (sd) | n | seeds | found | position covered | size covered | mean probability |")
    print("|---|---|---|---|---|---|---|")
    for n in (200, 1000):
        for step in (2.0, 3.0, 5.0):
            found, pc, sc, pm = coverage(step, n, seeds)
            print(f"| {step:g} | {n} | {seeds} | {found} | {pc:.3f} | {sc:.3f} | {pm:.3f} |")
    autocorrelated(seeds)
    calibration(seeds)
    nile()
    fit_s, table_s = cost()
    print(
        f"\nn = 1e5, 10 jumps: one fit {fit_s:.3f} s, jump table {table_s:.3f} s "
        f"({table_s / fit_s:.2f}x the fit)"
    )


if __name__ == "__main__":
    main()

"""Time single fits without a jump search for n = 10^3 ... 10^6 samples.

    python benchmarks/bench_fit.py [--max-n N] [--dim D]

Prints one row per n: the best wall time of a few repeats for an
interpolating fit (p = 1) and for a smoothing fit without jumps
(p = 0.5, gamma = inf), with nanoseconds per sample.
"""

from __future__ import annotations

import argparse
import functools
import time

import numpy as np

import velk


def best_time(f, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - t0)
    return best


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--max-n", type=int, default=10**6)
    ap.add_argument("--dim", type=int, default=1)
    args = ap.parse_args()

    rng = np.random.default_rng(0)
    print(f"velk {velk.__version__}, dim = {args.dim}")
    print(f"{'n':>9} {'p=1 [ms]':>10} {'ns/sample':>10} {'p=0.5 [ms]':>11} {'ns/sample':>10}")
    n = 10**3
    while n <= args.max_n:
        x = np.sort(rng.uniform(0.0, 10.0, n))
        y = np.sin(x)[:, None] + 0.1 * rng.standard_normal((n, args.dim))
        delta = np.full(n, 0.1)
        repeats = max(3, min(50, 10**6 // n))
        fit = functools.partial(velk.velk, x, y, delta=delta, gamma=np.inf)
        t1 = best_time(functools.partial(fit, p=1.0), repeats)
        t2 = best_time(functools.partial(fit, p=0.5), repeats)
        print(f"{n:>9} {t1 * 1e3:>10.3f} {t1 / n * 1e9:>10.1f} {t2 * 1e3:>11.3f} {t2 / n * 1e9:>10.1f}")
        n *= 10


if __name__ == "__main__":
    main()

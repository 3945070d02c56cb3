"""One select on two threads against one thread, in paired runs: the speed-up of each pair.

    python benchmarks/threads_pairs.py [--n 10000] [--pairs 5]

A sine with two steps, unit spacing, noise sd 0.3. Each pair runs `select(n_jobs=1)` then
`select(n_jobs=2)` back to back, so that both see the same state of a shared machine, and
checks that the two selections are the same. Prints a markdown table.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import velk


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=10_000)
    ap.add_argument("--pairs", type=int, default=5)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    x = np.linspace(0.0, 10.0, args.n)
    y = np.sin(x) + 3.0 * (x > 3.3) - 2.0 * (x > 6.6) + rng.normal(0.0, 0.3, args.n)
    # The Gaussian search, which every noise model starts from.
    velk.select(x, y, n_jobs=2, noise="gaussian")  # warm-up
    print("| pair | one thread (s) | two threads (s) | speed-up | same selection |")
    print("|---:|---:|---:|---:|---|")
    for k in range(args.pairs):
        t0 = time.perf_counter()
        a = velk.select(x, y, n_jobs=1, noise="gaussian")
        t1 = time.perf_counter()
        b = velk.select(x, y, n_jobs=2, noise="gaussian")
        t2 = time.perf_counter()
        same = (a.smoothing, a.jump_cost, a.score) == (b.smoothing, b.jump_cost, b.score)
        same = same and np.array_equal(a.spline.jumps, b.spline.jumps)
        ratio = (t1 - t0) / (t2 - t1)
        print(f"| {k + 1} | {t1 - t0:.3f} | {t2 - t1:.3f} | {ratio:.2f}x | {same} |")


if __name__ == "__main__":
    main()

"""What AR(1) rows cost the jump search: samples fed per sample and time per sample fed.

    python benchmarks/ar1_table.py [--n 10000] [--repeat 5]

A smooth curve with three 3 sd steps under AR(1) noise, searched with independent noise
(phi absent), with phi = 0 (the AR kernel, whose rows then are today's) and with the
noise's own phi. Timings are the best of --repeat, measured in one run, so that their
ratios compare on a shared machine.
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

from velk import _engine


def series(n: int, dim: int, phi: float, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    u = np.arange(n) / n
    steps = 3.0 * ((u >= 0.25).astype(float) - (u >= 0.5) + (u >= 0.75))
    noise = rng.standard_normal((n, dim))
    for i in range(1, n):
        noise[i] = phi * noise[i - 1] + math.sqrt(1.0 - phi * phi) * noise[i]
    return (2 * np.sin(3 * np.pi * u) + steps)[:, None] + noise


def timed(samples: _engine.Samples, repeat: int, **kw: object) -> tuple[float, int]:
    best, fed = math.inf, 0
    for _ in range(repeat):
        t0 = time.perf_counter()
        fed = _engine.search(samples, **kw)["samples_fed"]  # type: ignore[arg-type]
        best = min(best, time.perf_counter() - t0)
    return best, fed


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=10000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    n = args.n
    print("| dim | length | noise phi | search | fed / sample | ns / sample fed |")
    print("|---|---|---|---|---|---|")
    for dim in (1, 3):
        for length in (4.0, 16.0, 64.0):
            for phi in (0.0, 0.5, 0.9):
                samples = _engine.prepare(np.arange(float(n)), series(n, dim, phi), None)
                kw = {"lam": length**4, "jump_cost": 7 * math.log(n) * dim}
                for label, extra in (
                    ("independent", {}),
                    ("phi = 0", {"phi": 0.0}),
                    (f"phi = {phi}", {"phi": phi}),
                ):
                    if phi == 0.0 and label == "phi = 0.0":
                        continue
                    t, fed = timed(samples, args.repeat, **kw, **extra)
                    print(
                        f"| {dim} | {length:g} | {phi} | {label} | {fed / n:.1f} "
                        f"| {1e9 * t / fed:.1f} |"
                    )


if __name__ == "__main__":
    main()

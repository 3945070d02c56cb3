"""What the public API adds to the engine's own work: `velk.fit` against the two engine calls
it makes (`_engine.prepare` of the samples and `_engine.fit`), and how often `select`
prepares the samples.

    python benchmarks/overhead_table.py [--n N [N ...]] [--repeat K]

Signal: x = 0..n-1, a sine of two periods with 0 or 10 steps of 4 noise sd, unit noise; the
fit at smoothing 20 (samples) and jump cost 7 log n. The calls alternate, so the machine's
drift hits both alike; each time is the best of --repeat. The overhead is the public call's
time over the engine's, minus one.
"""

from __future__ import annotations

import argparse
import math
import time

import numpy as np

import velk
from velk import _engine


def signal(n: int, jumps: int) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng([n, jumps])
    x = np.arange(n, dtype=float)
    f = np.sin(4 * np.pi * x / n)
    for k, at in enumerate(np.linspace(0, n, jumps + 2)[1:-1]):
        f += 4.0 * (x >= at) * (-1) ** k
    return x, f + rng.standard_normal(n)


def best_pair(repeat: int, a, b) -> tuple[float, float]:
    ta = tb = math.inf
    for _ in range(repeat):
        for which, call in ((0, a), (1, b)):
            t0 = time.perf_counter()
            call()
            dt = time.perf_counter() - t0
            if which == 0:
                ta = min(ta, dt)
            else:
                tb = min(tb, dt)
    return ta, tb


def row(n: int, jumps: int, repeat: int) -> list[str]:
    x, y = signal(n, jumps)
    length, cost = 20.0, 7.0 * math.log(n)

    def engine():
        samples = _engine.prepare(x, y[:, None])
        return _engine.fit(samples, length=length, jump_cost=cost)

    def public():
        return velk.fit(x, y, smoothing=length, jump_cost=cost)

    found = len(public().jumps)
    assert len(engine()["jumps"]) == found
    te, tp = best_pair(repeat, engine, public)
    return [
        f"{n:.0e}",
        str(found),
        f"{te * 1e3:.0f}",
        f"{tp * 1e3:.0f}",
        f"{(tp / te - 1) * 100:+.1f} %",
    ]


def prepares_per_select(n: int) -> int:
    """Calls of `_engine.prepare` made by one `velk.select` (Gaussian noise)."""
    x, y = signal(n, 2)
    calls = 0
    prepare = _engine.prepare

    def counted(*args, **kwargs):
        nonlocal calls
        calls += 1
        return prepare(*args, **kwargs)

    _engine.prepare = counted
    try:
        velk.select(x, y, n_jobs=1)
    finally:
        _engine.prepare = prepare
    return calls


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, nargs="+", default=[10**5, 10**6])
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    rows = [row(n, k, args.repeat) for n in args.n for k in (0, 10)]
    head = ["n", "jumps found", "engine ms", "velk.fit ms", "overhead"]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for r in rows:
        print("| " + " | ".join(r) + " |")
    print()
    print(f"`_engine.prepare` calls in one `velk.select` at n = 10^4: {prepares_per_select(10**4)}")


if __name__ == "__main__":
    main()

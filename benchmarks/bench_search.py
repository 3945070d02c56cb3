"""Time the jump search: nanoseconds per counted sample and peak memory.

    python benchmarks/bench_search.py [--sizes 10000 100000] [--dims 1 3]

The signal is piecewise smooth with 10 jumps and Gaussian noise of standard
deviation 0.01 (passed as delta); p = 1e-4 and gamma = 1 find exactly the 10
jumps. Each fit runs in a fresh subprocess, which reports its wall time, the
search's complexity counter and the growth of the peak resident set size
during the call (ru_maxrss, which also sees the C++ allocations).
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import time

import numpy as np

P, GAMMA, SIGMA, JUMPS = 1e-4, 1.0, 0.01, 10


def signal(n: int, dim: int):
    rng = np.random.default_rng(0)
    t = np.arange(n) / n
    level = (np.floor(t * (JUMPS + 1)).astype(int)[:, None] * 7 + np.arange(dim)) % 5 * 0.5
    y = np.sin(6.0 * t[:, None] + np.arange(dim)) + level + SIGMA * rng.standard_normal((n, dim))
    return 10.0 * t, y, np.full(n, SIGMA)


def peak_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss  # KiB on Linux


def one(n: int, dim: int, pruning: str) -> dict:
    import velk

    x, y, delta = signal(n, dim)
    velk.velk(x[:50], y[:50], P, GAMMA, delta[:50], pruning)  # load everything first
    before = peak_kib()
    t0 = time.perf_counter()
    res = velk.velk(x, y, P, GAMMA, delta, pruning)
    seconds = time.perf_counter() - t0
    return {"seconds": seconds, "counter": int(res["complexity_counter"]),
            "jumps": len(res["discont"]), "peak_mib": (peak_kib() - before) / 1024}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[10**4, 10**5])
    ap.add_argument("--dims", type=int, nargs="+", default=[1, 3])
    ap.add_argument("--one", nargs=3, metavar=("N", "DIM", "PRUNING"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.one:
        print(json.dumps(one(int(args.one[0]), int(args.one[1]), args.one[2])))
        return

    print(f"p = {P}, gamma = {GAMMA}, noise = {SIGMA}, {JUMPS} jumps")
    print(f"{'n':>7} {'dim':>3} {'pruning':>7} {'jumps':>5} {'counter':>11} {'time [s]':>9} "
          f"{'ns/count':>9} {'peak [MiB]':>10}")
    for n in args.sizes:
        for dim in args.dims:
            for pruning in ("FPVI", "PELT"):
                out = subprocess.run([sys.executable, __file__, "--one", str(n), str(dim), pruning],
                                     check=True, capture_output=True, text=True).stdout
                r = json.loads(out)
                print(f"{n:>7} {dim:>3} {pruning:>7} {r['jumps']:>5} {r['counter']:>11} "
                      f"{r['seconds']:>9.3f} {r['seconds'] / r['counter'] * 1e9:>9.1f} "
                      f"{r['peak_mib']:>10.2f}", flush=True)


if __name__ == "__main__":
    main()

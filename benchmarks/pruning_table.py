"""Work of the functional search against the smoothing length: samples fed per sample and time.

Signals (unit spacing, unit noise): a smooth curve 2 sin(3 pi u) + 1.5 u with three steps of
3 noise sd, dims 1 and 3, jump cost 7 log n per component, lam = L**4 for a smoothing length of
L samples; and straight lines on a sine with 20 jumps.

    python benchmarks/pruning_table.py [--n N] [--lengths 1,4,...] [--baseline SITE_DIR]

With --baseline the same rows are measured with the velk found in SITE_DIR (another build, put
first on sys.path in a child process) and printed side by side, both in this one run.
"""

from __future__ import annotations

import argparse
import json
import math
import subprocess
import sys
import time

import numpy as np


def smooth_steps(n: int, dim: int, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    u = np.arange(n) / n
    steps = 3.0 * ((u >= 0.25).astype(float) - (u >= 0.5) + (u >= 0.75))
    base = 2 * np.sin(3 * np.pi * u) + 1.5 * u + steps
    return base[:, None] + rng.standard_normal((n, dim))


def sine_jumps(n: int, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    u = np.arange(n) / n
    level = np.cumsum(np.isin(np.arange(n), np.linspace(0, n, 22)[1:-1].astype(int)) * 3.0)
    return (2 * np.sin(4 * np.pi * u) + level + 0.5 * rng.standard_normal(n))[:, None]


def use_build(site: str) -> None:
    """Imports velk from site, ahead of an editable install's import hook."""
    sys.meta_path[:] = [f for f in sys.meta_path if "editable" not in type(f).__module__]
    sys.path.insert(0, site)


def rows(n: int, lengths: list[float]) -> list[dict]:
    from velk import _engine

    out = []
    x = np.arange(n, dtype=float)
    cases = [(dim, L) for dim in (1, 3) for L in lengths] + [(0, math.inf)]
    for dim, L in cases:
        y = sine_jumps(n) if dim == 0 else smooth_steps(n, dim)
        samples = _engine.prepare(x, y, None)
        gamma = 7 * math.log(n) * max(dim, 1)
        lam = math.inf if dim == 0 else L**4
        t = time.perf_counter()
        res = _engine.search(samples, lam=lam, jump_cost=gamma)
        seconds = time.perf_counter() - t
        fed = float(res["samples_fed"]) / n
        out.append(dict(dim=dim, L=L, fed=fed, seconds=seconds, F=float(res["costs"][-1])))
    return out


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--lengths", default="1,4,16,64,256,1024")
    ap.add_argument("--baseline", default=None)
    ap.add_argument("--json", default=None, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.json:
        use_build(args.json)
    lengths = [float(v) for v in args.lengths.split(",")]
    mine = rows(args.n, lengths)
    if args.json:
        print(json.dumps(mine))
        return
    base = None
    if args.baseline:
        cmd = [sys.executable, __file__, "--n", str(args.n), "--lengths", args.lengths]
        cmd += ["--json", args.baseline]
        out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
        base = json.loads(out.strip().splitlines()[-1])
    print(f"n = {args.n}; samples fed per sample and seconds of one search")
    head = "| signal | L | fed | s |" + (" fed before | s before | same optimum |" if base else "")
    print(head)
    print("|" + "---|" * (head.count("|") - 1))
    for i, r in enumerate(mine):
        name = "lines, sine + 20 jumps" if r["dim"] == 0 else f"steps, dim {r['dim']}"
        length = "-" if r["dim"] == 0 else f"{r['L']:g}"
        line = f"| {name} | {length} | {r['fed']:.1f} | {r['seconds']:.2f} |"
        if base:
            b = base[i]
            # Builds whose kernels round differently agree to rounding, not to the bit.
            rel = abs(r["F"] - b["F"]) / abs(b["F"])
            same = "yes" if rel <= 1e-12 else f"{rel:.3g} rel."
            line += f" {b['fed']:.1f} | {b['seconds']:.2f} | {same} |"
        print(line)


if __name__ == "__main__":
    main()

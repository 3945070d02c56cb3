"""Where one `velk.select` spends its time: every fit it scores, in order of completion.

    python benchmarks/select_fits.py [--n 100000] [--seed 0]

The data: the trend + 3 steps family of accuracy.py (unit noise). Prints, for each fit, the
smoothing length in samples, the jump cost, the seconds it took on its worker, the samples
fed per sample, the score and the jumps; then select's wall time, the fits' summed time and
one rough fit (L = 4 samples at select's first jump cost) of the same data.
"""

from __future__ import annotations

import argparse
import threading
import time

import numpy as np
from accuracy import family

import velk
from velk import _search


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=100_000)
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args()
    x, y, _ = family(f"trend+3 steps-{args.n}", args.seed)
    h = float(np.mean(np.diff(x)))
    rows, lock, real = [], threading.Lock(), _search.score_cell

    def timed(pb, length, jump_cost):
        t = time.perf_counter()
        cell, res = real(pb, length, jump_cost)
        with lock:
            rows.append((length / h, jump_cost, time.perf_counter() - t,
                         res["samples_fed"] / len(x), cell.score, cell.n_jumps))  # fmt: skip
        return cell, res

    _search.score_cell = timed
    t = time.perf_counter()
    sel = velk.select(x, y, noise="gaussian")  # the search every noise model starts from
    wall = time.perf_counter() - t
    _search.score_cell = real
    print("| L (samples) | jump cost | s | fed | score | jumps |\n|---:|---:|---:|---:|---:|---:|")
    for length, cost, s, fed, score, jumps in rows:
        print(f"| {length:.4g} | {cost:.4g} | {s:.3f} | {fed:.1f} | {score:.2f} | {jumps} |")
    cost = rows[0][1]
    t = time.perf_counter()
    velk.fit(x, y, smoothing=4 * h, jump_cost=cost * np.var(np.diff(y)) / 2)
    rough = time.perf_counter() - t
    busy = sum(r[2] for r in rows)
    print(f"\nselect {wall:.2f} s wall, {len(rows)} fits, {busy:.2f} s of fits; "
          f"chose L = {sel.smoothing / h:.4g} samples, {len(sel.spline.jumps)} jumps; "
          f"one rough fit {rough:.3f} s: select = {wall / rough:.0f}x")  # fmt: skip


if __name__ == "__main__":
    main()

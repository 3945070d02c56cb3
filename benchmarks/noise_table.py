"""select's noise models on the accuracy families: jumps found and time, measured in one run.

    python benchmarks/noise_table.py [--seeds 20] [--noise gaussian ar1 auto] [--families ...]

The families of benchmarks/accuracy.py (same seeds, same matching of jumps), each
series selected under each noise model asked for; the time column is the total over
the family's seeds, so that the models' ratios compare on a shared machine.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from accuracy import f1, family, match

import velk

FAMILIES = [
    "AR(1) smooth-400",
    "AR(1) 0.8 smooth-400",
    "AR(1) step-400",
    "constant-400",
    "smooth-400",
    "plain step-400",
    "step-400",
    "trend+3 steps-400",
]


def cell(fam: str, noise: str, seeds: int) -> tuple[str, float]:
    exact = tp = nf = hits = nt = false = 0
    spent = 0.0
    for seed in range(seeds):
        x, y, truth = family(fam, seed)
        t0 = time.perf_counter()
        sel = velk.select(x, y, noise=noise, n_jobs=1)
        spent += time.perf_counter() - t0
        found = (np.asarray(sel.spline.jump_indices) + 1).tolist()
        e, a, c, fa = match(found, truth)
        exact, tp, nf, hits, nt, false = (
            exact + e, tp + a, nf + len(found), hits + c, nt + len(truth), false + fa
        )  # fmt: skip
    if nt:
        return f"{exact}/{seeds} exact, F1 {f1(tp, nf, hits, nt):.2f}, {false} false", spent
    return f"{false}/{seeds} false", spent


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, default=20)
    ap.add_argument("--noise", nargs="*", default=["gaussian", "ar1", "auto"])
    ap.add_argument("--families", nargs="*", default=FAMILIES)
    args = ap.parse_args()
    head = " | ".join(f"noise={m} | time" for m in args.noise)
    print(f"| family | {head} |")
    print("|---" * (1 + 2 * len(args.noise)) + "|")
    for fam in args.families:
        cells = []
        for m in args.noise:
            text, spent = cell(fam, m, args.seeds)
            cells += [text, f"{spent:.2f} s"]
        print(f"| {fam} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()

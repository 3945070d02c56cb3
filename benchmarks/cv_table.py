"""Table 4: the 10-fold cross-validation score, velk_cvscore."""

from __future__ import annotations

import math

import numpy as np
from harness import Bench, emit, mib, ms, table, timed
from signals import P, gamma_for, jump_signal

NEEDS = (2,)  # a row is skipped when table 2's single fit predicts it too slow
TITLE = "10-fold velk_cvscore"
FOLDS = 10


def measure(job: dict) -> None:
    """Worker: times one cross-validation score over random folds."""
    import velk

    n, pruning, gamma = job["n"], job["pruning"], job["gamma"]
    x, y, delta, _ = jump_signal("growing", n, 1)
    rng = np.random.default_rng(1)
    folds = [f.tolist() for f in np.array_split(rng.permutation(n), FOLDS)]
    small = [f.tolist() for f in np.array_split(np.arange(300), FOLDS)]
    velk.velk_cvscore(x[:300], y[:300], P, gamma, delta[:300], small, pruning)

    def call():
        return velk.velk_cvscore(x, y, P, gamma, delta, folds, pruning)

    score, seconds, runs, peak = timed(call, long_call=job["long_call"], budget=job["budget"])
    emit({"seconds": seconds, "runs": runs, "peak": peak, "score": score})


def run(bench: Bench) -> None:
    bench.say("## 4. Cross-validation")
    bench.say()
    bench.say(
        f"velk_cvscore(x, y, p={P:g}, gamma, delta, folds, pruning) with {FOLDS} random "
        f"folds on the 'growing' signal, dim 1: {FOLDS} fits of 90% of the samples each."
    )
    bench.say()
    search = bench.results.get("search", {})
    rows = []
    for n in [10**4] if bench.quick else [10**4, 10**5]:
        for gamma, pruning in ((math.inf, "FPVI"), (gamma_for(1), "PELT"), (gamma_for(1), "FPVI")):
            label = [
                n,
                "inf" if gamma == math.inf else f"{gamma:g}",
                "-" if gamma == math.inf else pruning,
            ]
            single = search.get(("growing", n, 1, pruning))
            if gamma != math.inf:
                if single is None:
                    rows.append(label + ["skipped (single fit skipped in table 2)", "", "", ""])
                    continue
                # Each fold fits 90% of the samples; the search is up to quadratic.
                predicted = FOLDS * single["seconds"] * 0.81
                if predicted > bench.search_limit:
                    rows.append(label + [f"skipped: ~{predicted:.0f} s", "", "", ""])
                    continue
            out, stopped = bench.measure("cv_table:measure", 300, n=n, pruning=pruning, gamma=gamma)
            if stopped or not out:
                rows.append(label + ["stopped at 300 s", "", "", ""])
                continue
            r = out[-1]
            series = f"gamma={label[1]}" + ("" if gamma == math.inf else f" {pruning}")
            bench.point(TITLE, series, n, r["seconds"])
            rows.append(label + [ms(r["seconds"]), f"{r['score']:.4g}", mib(r["peak"]), r["runs"]])
    bench.say(table(["n", "gamma", "pruning", "time", "score", "peak MiB", "runs"], rows))
    bench.say()

"""Table 2: the jump search, FPVI and PELT: time, complexity counter, memory, accuracy.

Its rows are kept in ``bench.results["search"]``, keyed by (signal, n, dim, pruning),
for the tables that compare with them.
"""

from __future__ import annotations

import math

from harness import Bench, emit, mib, ms, sizes, table, timed
from signals import (
    FIXED_JUMPS,
    SAMPLES_PER_JUMP,
    SIGMA,
    TOLERANCE,
    P,
    gamma_for,
    jump_count,
    jump_signal,
    precision_recall,
)

TITLE = "velk jump search"
PRUNINGS = ("FPVI", "PELT")


def measure(job: dict) -> None:
    """Worker: times one search and scores its jumps against the true ones."""
    import velk

    n, dim, pruning, kind = job["n"], job["dim"], job["pruning"], job["kind"]
    x, y, delta, truth = jump_signal(kind, n, dim)
    gamma = gamma_for(dim)
    velk.velk(x[:300], y[:300], P, gamma, delta[:300], pruning)

    def call():
        return velk.velk(x, y, P, gamma, delta, pruning)

    time_search(call, truth, job)


def time_search(call, truth, job: dict) -> None:
    """Times a fit with jumps and reports its work and its jumps against the true ones."""
    res, seconds, runs, peak = timed(call, long_call=job["long_call"], budget=job["budget"])
    found = res["discont_idx"] + 1
    prec, rec = precision_recall(found, truth)
    emit(
        {
            "seconds": seconds,
            "runs": runs,
            "peak": peak,
            "counter": int(res["complexity_counter"]),
            "found": len(found),
            "truth": len(truth),
            "precision": prec,
            "recall": rec,
        }
    )


def predict(history: list[tuple[int, int, float]], n: int) -> float | None:
    """Seconds for n, extrapolated from the last sizes run (None: no data)."""
    if not history:
        return None
    n1, c1, t1 = history[-1]
    if len(history) >= 2:
        n0, c0, _ = history[-2]
        k = max(1.0, math.log(c1 / c0) / math.log(n1 / n0))
    else:
        k = 2.0
    return t1 * (n / n1) ** k


def run(bench: Bench) -> None:
    bench.say("## 2. Jump search")
    bench.say()
    bench.say(
        f"velk(x, y, p={P:g}, gamma=30*p*dim, delta={SIGMA}, pruning) on piecewise-smooth "
        f"signals (x = 0..n-1, a smooth curve plus levels that jump by 20 to 40 sigma in "
        f"every component): 'fixed' has {FIXED_JUMPS} jumps, 'growing' one per "
        f"{SAMPLES_PER_JUMP} samples. The counter is complexity_counter (samples fed into "
        f"segment states); ns/count = time / counter. P/R: precision and recall of the jump "
        f"positions within {TOLERANCE} samples. Memory as in table 1, beyond the inputs. A row "
        f"whose time, extrapolated from the smaller sizes, exceeds "
        f"{bench.search_limit:.0f} s is skipped."
    )
    bench.say()
    results = bench.results.setdefault("search", {})
    rows = []
    top = 10**5 if bench.quick else 10**6
    limit = bench.search_limit * 2 + 30
    for kind in ("fixed", "growing"):
        for dim in (1, 3):
            for pruning in PRUNINGS:
                history: list[tuple[int, int, float]] = []
                for n in sizes(top):
                    label = [kind, n, dim, jump_count(kind, n), pruning]
                    predicted = predict(history, n)
                    if predicted is not None and predicted > bench.search_limit:
                        rows.append(label + [f"skipped: ~{predicted:.0f} s"] + [""] * 7)
                        continue
                    out, stopped = bench.measure(
                        "search_table:measure", limit, n=n, dim=dim, pruning=pruning, kind=kind
                    )
                    if stopped or not out:
                        rows.append(label + [f"stopped at {limit:.0f} s"] + [""] * 7)
                        continue
                    r = out[-1]
                    history.append((n, r["counter"], r["seconds"]))
                    results[(kind, n, dim, pruning)] = r
                    bench.point(TITLE, f"{pruning} {kind} dim {dim}", n, r["seconds"])
                    rows.append(
                        label
                        + [
                            ms(r["seconds"]),
                            r["counter"],
                            f"{r['seconds'] / r['counter'] * 1e9:.0f}",
                            mib(r["peak"]),
                            f"{r['peak'] / n:.0f}",
                            r["found"],
                            f"{r['precision']:.2f}/{r['recall']:.2f}",
                            r["runs"],
                        ]
                    )
    header = ["signal", "n", "dim", "jumps", "pruning", "time", "counter", "ns/count"]
    header += ["peak MiB", "B/sample", "found", "P/R", "runs"]
    bench.say(table(header, rows, left=1))
    bench.say()
    per_count = [
        r["seconds"] / r["counter"] * 1e9
        for (_, _, d, _), r in results.items()
        if d == 1 and r["counter"] >= 10**6
    ]
    if per_count:
        worst = max(per_count)
        bench.goal(
            "search <= 150 ns per counted sample at dim 1 (rows with >= 10^6 counts)",
            f"{min(per_count):.0f} to {worst:.0f} ns",
            worst <= 150,
        )
    big = results.get(("growing", 10**6, 1, "PELT"))
    if big:
        bench.goal(
            "fit with jumps at n = 10^6, dim 1: < 200 B/sample beyond the inputs",
            f"{big['peak'] / 10**6:.0f} B/sample (PELT, growing)",
            big["peak"] / 10**6 < 200,
        )

"""Table 5: the public API's search ("functional" pruning, velk._engine) against table 2's.

The same signals and settings as table 2 (lam = (1 - p) / p, a jump costs gamma / p), on
the engine: time, extensions and tests of the search per sample, peak memory; straight
lines (p = 0) against the raw module's unpruned line search; and `select` with threads
against serial.
"""

from __future__ import annotations

import math

from harness import Bench, emit, mib, ms, table
from search_table import time_search
from signals import SIGMA, P, gamma_for, jump_count, jump_signal

NEEDS = (2,)
TITLE = "velk jump search, functional pruning (velk._engine)"


def measure(job: dict) -> None:
    """Worker: one fit on the engine (or, with job["raw"], velk.velk's line search)."""
    import velk
    from velk import _engine

    n, dim, kind, p = job["n"], job["dim"], job["kind"], job["p"]
    x, y, delta, truth = jump_signal(kind, n, dim)
    gamma = gamma_for(dim) if p > 0 else 30.0 * dim
    if job.get("raw"):

        def call():
            return velk.velk(x, y, p, gamma, delta, "PELT")
    else:
        cost = gamma if p == 0 else gamma / p
        lam = math.inf if p == 0 else (1 - p) / p
        samples = _engine.prepare(x, y, delta)

        def call():
            res = _engine.fit(samples, lam=lam, jump_cost=cost)
            return {"discont_idx": res["jump_index"], "complexity_counter": res["samples_fed"]}

    time_search(call, truth, job)


def measure_select(job: dict) -> None:
    """Worker: velk.select with its defaults, serial or on threads."""
    import time

    import velk

    x, y, delta, truth = jump_signal("growing", job["n"], 1)
    velk.select(x[:400], y[:400], delta=delta[:400], n_jobs=job["n_jobs"])
    t0 = time.perf_counter()
    sel = velk.select(x, y, delta=delta, n_jobs=job["n_jobs"])
    seconds = time.perf_counter() - t0
    t0 = time.perf_counter()
    velk.fit(x, y, smoothing=sel.smoothing, jump_cost=sel.jump_cost, delta=delta)
    one = time.perf_counter() - t0
    emit({"seconds": seconds, "one": one, "fits": len(sel.scores), "jumps": len(sel.spline.jumps),
          "truth": len(truth)})  # fmt: skip


def engine_row(bench: Bench, p, kind, n, dim, pelt, results, limit) -> list:
    """One row of the engine's table: the fit, and the unpruned search (straight lines, up
    to 2 x 10^4) or table 2's PELT to compare with."""
    label = [f"{p:g}", kind, n, dim, jump_count(kind, n)]
    out, stopped = bench.measure("engine_table:measure", limit, n=n, dim=dim, kind=kind, p=p)
    if stopped or not out:
        return label + [f"stopped at {limit:.0f} s"] + [""] * 7
    r = out[-1]
    results[(p, kind, n, dim)] = r
    bench.point(TITLE, f"p={p:g} {kind} dim {dim}", n, r["seconds"])
    base = pelt.get((kind, n, dim, "PELT"))
    if p == 0.0:
        raw, stopped = (
            bench.measure("engine_table:measure", limit, n=n, dim=dim, kind=kind, p=p, raw=True)
            if n <= 2 * 10**4
            else ([], True)
        )
        base = raw[-1] if raw else None
    return label + [
        ms(r["seconds"]),
        f"{(r['counter'] - n) / n:.1f}",
        mib(r["peak"]),
        f"{r['peak'] / n:.0f}",
        r["found"],
        f"{r['precision']:.2f}/{r['recall']:.2f}",
        ms(base["seconds"]) if base else "",
        f"{base['seconds'] / r['seconds']:.0f}x" if base else "",
    ]


def run(bench: Bench) -> None:
    bench.say("## 5. Jump search on the engine: functional pruning")
    bench.say()
    bench.say(
        f"The signals of table 2 (p = {P:g}: lam = 1e6, a jump costs 30 per component in "
        f"units of the residual sum of squares; delta = {SIGMA}) fitted by velk._engine.fit "
        "with its default pruning. *ext/sample*: states fed a sample per sample, "
        "(counter - n) / n, which is about the number of live candidates. *vs PELT*: table "
        "2's PELT time for the same row divided by this one. Straight lines (p = 0, a jump "
        "costing 30 per component): the engine's search against velk.velk's unpruned one."
    )
    bench.say()
    pelt = bench.results.get("search", {})
    results = bench.results.setdefault("engine", {})
    top = 10**5 if bench.quick else 10**6
    limit = bench.search_limit * 4 + 60
    rows = [
        engine_row(bench, p, kind, n, dim, pelt, results, limit)
        for p in (P, 0.0)
        for kind in ("fixed", "growing")
        for dim in (1, 3)
        for n in [10**4, 10**5, 10**6]
        if n <= top and not (p == 0.0 and n > top // 10)
    ]
    header = ["p", "signal", "n", "dim", "jumps", "time", "ext/sample", "peak MiB"]
    header += ["B/sample", "found", "P/R", "unpruned or PELT", "vs it"]
    bench.say(table(header, rows, left=2))
    bench.say()

    a, b = results.get((P, "fixed", 10**5, 1)), pelt.get(("fixed", 10**5, 1, "PELT"))
    if a and b:
        ratio = b["seconds"] / a["seconds"]
        got = f"{ratio:.0f}x ({ms(a['seconds'])} vs {ms(b['seconds'])})"
        bench.goal("10 jumps, dim 1, n = 10^5: >= 100x faster than PELT", got, ratio >= 100)
    c = results.get((P, "fixed", 10**6, 1))
    if a and c:
        ratio = c["seconds"] / a["seconds"]
        bench.goal("10 jumps, dim 1: n = 10^6 in <= 15x the time of 10^5",
                   f"{ratio:.1f}x ({ms(c['seconds'])})", ratio <= 15)  # fmt: skip
        per = c["peak"] / 10**6
        bench.goal("10 jumps, dim 1, n = 10^6: peak memory < 200 B/sample beyond the inputs",
                   f"{per:.0f} B/sample", per < 200)  # fmt: skip

    bench.say("`velk.select` with its defaults on the 'growing' signal, dim 1, with delta: "
              "serial (n_jobs=1) against threads (n_jobs=None: one per core); *one fit*: a "
              "fit with the chosen setting.")  # fmt: skip
    bench.say()
    rows = []
    for n in [10**4] if bench.quick else [10**4, 10**5]:
        got = {}
        for jobs in (1, None):
            out, _stopped = bench.measure("engine_table:measure_select", limit * 4, n=n,
                                         n_jobs=jobs)  # fmt: skip
            if out:
                got[jobs] = out[-1]
        if 1 in got and None in got:
            s, t = got[1], got[None]
            speed = s["seconds"] / t["seconds"]
            rows.append([n, ms(s["seconds"]), ms(t["seconds"]), f"{speed:.2f}x", ms(s["one"]),
                         f"{s['seconds'] / s['one']:.0f}", s["fits"],
                         f"{s['jumps']} / {s['truth']}"])  # fmt: skip
            if n == 10**4:
                bench.goal("select with defaults on 2 cores with threads: >= 1.8x serial at 10^4",
                           f"{speed:.2f}x", speed >= 1.8)  # fmt: skip
    header = ["n", "serial", "threads", "speed-up", "one fit", "serial / one fit", "fits"]
    bench.say(table(header + ["jumps found / true"], rows))
    bench.say()

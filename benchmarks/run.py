"""Benchmarks of velk against its peers, printed as markdown tables.

    python benchmarks/run.py [--quick] [--plot] [--out FILE] [--tables 1 2 3 4]

1. One smoothing spline: velk (gamma = inf) against scipy's make_smoothing_spline
   and csaps' CubicSmoothingSpline: time, peak memory, largest difference of
   the fitted values.
2. The jump search, FPVI and PELT: time, complexity counter, ns per counted
   sample, peak memory, jump accuracy.
3. ruptures' Pelt ("l2", "clinear"), its penalty tuned to the true number of
   jumps, against velk on the same signals.
4. The 10-fold cross-validation score.
5. The public API's search (functional pruning, velk._engine) on table 2's signals,
   straight lines against the unpruned line search, and select with threads.

The peers come from the `bench` extra (pip install ".[bench]"); nothing is
installed here. Every measurement runs in a fresh subprocess and reports its
peak memory as the kernel sees it (harness.py). Times are the median of repeated
calls after a first full-size call (which is the one whose memory is reported);
calls longer than a few seconds are run once. Rows that would take minutes are
skipped or stopped at a time limit, and the table says so. --plot saves
time-vs-n plots under docs/.

Each table is a module with a function ``run(bench)`` (and, if it reuses
another table's results, ``NEEDS``, the numbers of those tables); add a new one
to TABLES.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import cv_table
import engine_table
import peers_table
import search_table
import spline_table
from harness import Bench, machine

TABLES = {1: spline_table, 2: search_table, 3: peers_table, 4: cv_table, 5: engine_table}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller sizes, under a minute")
    ap.add_argument("--plot", action="store_true", help="save time-vs-n plots under docs/")
    ap.add_argument("--out", type=Path, help="also write the markdown to this file")
    ap.add_argument("--tables", type=int, nargs="+", default=list(TABLES), choices=list(TABLES))
    args = ap.parse_args()

    start = time.perf_counter()
    wanted = set(args.tables)
    wanted |= {k for t in args.tables for k in getattr(TABLES[t], "NEEDS", ())}
    bench = Bench(args.quick)
    bench.say("# velk benchmarks" + (" (--quick)" if args.quick else ""))
    bench.say()
    bench.say(machine())
    bench.say()
    for number in sorted(wanted):
        TABLES[number].run(bench)
    bench.summary()
    if args.plot:
        bench.plot()
    bench.say(f"Total time of this run: {time.perf_counter() - start:.0f} s.")
    if args.out:
        args.out.write_text("\n".join(bench.out) + "\n")


if __name__ == "__main__":
    main()

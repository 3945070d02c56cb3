"""What every benchmark table shares: measuring, isolation, output.

A table module (see run.py) defines ``run(bench)``, which prints its table through
the `Bench` it is given, and the worker functions that take its measurements.
Each measurement runs in a fresh interpreter (`Bench.measure`), so that its peak
memory can be read from the kernel: VmHWM after resetting it through
/proc/self/clear_refs, which also sees the C++ allocations that tracemalloc does
not. A worker prints JSON lines (`emit`); the last one is its result, and a
worker stopped at its time limit still returns the lines it printed.
"""

from __future__ import annotations

import importlib
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

# --------------------------------------------------------------------------- measuring


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


class Peak:
    """Growth of the resident set's high-water mark over a block, in bytes."""

    def __enter__(self):
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")  # resets VmHWM to the current RSS
            self.exact = True
        except OSError:
            self.exact = False  # then the old high-water mark may hide part of the peak
        self.base = _status_kib("VmRSS")
        return self

    def __exit__(self, *exc):
        self.bytes = (_status_kib("VmHWM") - self.base) * 1024
        return False


def timed(call: Callable[[], Any], *, long_call: float, budget: float, max_runs: int = 15):
    """Runs call once at full size (the warm-up, whose peak memory is taken),
    then again while the budget lasts; returns the first result, the median
    time, the number of timed runs and the peak bytes."""
    with Peak() as peak:
        t0 = time.perf_counter()
        first = call()
        first_time = time.perf_counter() - t0
    if first_time >= long_call:
        return first, first_time, 1, peak.bytes
    runs = int(min(max_runs, max(3, budget / max(first_time, 1e-9))))
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        out = call()
        times.append(time.perf_counter() - t0)
        del out
    return first, float(np.median(times)), runs, peak.bytes


# --------------------------------------------------------------------------- isolation


def emit(obj: dict) -> None:
    """One line of a worker's output."""
    print(json.dumps(obj), flush=True)


def worker_main(job_json: str) -> None:
    """The body of a worker process: calls the function named by job["worker"],
    "module:function" with the module in this directory."""
    job = json.loads(job_json)
    module, function = job["worker"].split(":")
    getattr(importlib.import_module(module), function)(job)


def run_worker(job: dict, limit: float) -> tuple[list[dict], bool]:
    """Runs one worker in a fresh interpreter; returns (lines it printed, stopped at limit)."""
    code = "import sys, harness; harness.worker_main(sys.argv[1])"
    cmd = [sys.executable, "-c", code, json.dumps(job)]
    path = os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")]))
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=path)
    try:
        proc = subprocess.run(
            cmd, capture_output=True, text=True, timeout=limit, env=env, check=False
        )
        out, stopped = proc.stdout, False
        if proc.returncode != 0:
            raise RuntimeError(f"worker {job} failed:\n{proc.stderr}")
    except subprocess.TimeoutExpired as e:
        out = e.stdout or ""
        out, stopped = out.decode() if isinstance(out, bytes) else out, True
    rows = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    return rows, stopped


# --------------------------------------------------------------------------- peers in R


def rscript(code: str, y: np.ndarray) -> list[float] | str:
    """The numbers an R script prints for the series y (given on its stdin), or why there
    are none: R peers are optional, so a table says so in the cell instead of failing."""
    if shutil.which("Rscript") is None:
        return "R is not installed"
    run = subprocess.run(
        ["Rscript", "-e", code],
        input=" ".join(repr(float(v)) for v in y),
        capture_output=True,
        text=True,
        check=False,
    )
    if run.returncode != 0:
        lines = run.stderr.strip().splitlines() or ["no message"]
        return "R did not run: " + lines[-1]
    return [float(v) for v in run.stdout.split()]


# --------------------------------------------------------------------------- output


def table(header: list[str], rows: list[list[Any]], left: int = 0) -> str:
    """Markdown table; the first `left` columns are left-aligned, the rest right-aligned."""
    align = [":---" if k < left else "---:" for k in range(len(header))]
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def ms(seconds: float) -> str:
    if seconds >= 10:
        return f"{seconds:.1f} s"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    return f"{seconds * 1e3:.3g} ms"


def mib(b: float) -> str:
    return f"{b / 2**20:.1f}"


def sizes(top: int) -> list[int]:
    """Powers of ten from 10^3 to top."""
    return [10**k for k in range(3, round(math.log10(top)) + 1)]


class Bench:
    """One run of the benchmarks, shared by its tables: the budgets of --quick or of
    a full run, the markdown output, the goals, the plot points, and results that
    one table keeps for another (`results`)."""

    def __init__(self, quick: bool) -> None:
        self.quick = quick
        self.long_call = 1.0 if quick else 3.0  # a call this long is timed once
        self.budget = 0.2 if quick else 1.5  # seconds of repeated calls per row
        self.search_limit = 5.0 if quick else 40.0
        self.peer_limit = 10.0 if quick else 60.0
        self.out: list[str] = []
        self.goals: list[tuple[str, str, bool]] = []
        self.plots: dict[str, dict[str, list[tuple[int, float]]]] = {}
        self.dashed: set[tuple[str, str]] = set()
        self.results: dict[str, dict] = {}
        self.tmp = tempfile.mkdtemp(prefix="velk-bench-")

    def say(self, text: str = "") -> None:
        print(text, flush=True)
        self.out.append(text)

    def goal(self, goal: str, measured: str, met: bool) -> None:
        self.goals.append((goal, measured, met))

    def point(self, panel: str, series: str, n: int, seconds: float, dashed: bool = False) -> None:
        """A time for the plot: panels (by title) appear in the order of their first point."""
        self.plots.setdefault(panel, {}).setdefault(series, []).append((n, seconds))
        if dashed:
            self.dashed.add((panel, series))

    def measure(self, worker: str, limit: float, **job: Any) -> tuple[list[dict], bool]:
        """Runs worker ("module:function") in its own process with job and the budgets."""
        full = {"worker": worker, "long_call": self.long_call, "budget": self.budget, **job}
        return run_worker(full, limit)

    def summary(self) -> None:
        if not self.goals:
            return
        self.say("## Goals")
        self.say()
        rows = [[g, m, "yes" if ok else "no"] for g, m, ok in self.goals]
        self.say(table(["goal", "measured", "met"], rows, left=3))
        self.say()

    def plot(self) -> None:
        """Time against n, one panel per table, saved under docs/."""
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        if not self.plots:
            return
        panels = list(self.plots)
        cols = 2 if len(panels) > 1 else 1
        rows = (len(panels) + cols - 1) // cols
        fig, axes = plt.subplots(rows, cols, figsize=(5.6 * cols, 4.2 * rows), squeeze=False)
        for ax in axes.flat[len(panels) :]:
            ax.set_visible(False)
        for ax, title in zip(axes.flat, panels):
            for series, pts in sorted(self.plots[title].items()):
                pts.sort()
                style = "--" if (title, series) in self.dashed else "-"
                ax.plot([p[0] for p in pts], [p[1] for p in pts], style, marker="o", label=series)
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_xlabel("n (samples)")
            ax.set_ylabel("time [s]")
            ax.set_title(title)
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize=7)
        fig.tight_layout()
        path = ROOT / "docs" / ("benchmarks-quick.png" if self.quick else "benchmarks.png")
        path.parent.mkdir(exist_ok=True)
        fig.savefig(path, dpi=110)
        self.say(f"![time vs n]({path.name})")
        self.say()


def machine() -> str:
    """The machine and the versions, for the head of the output."""
    import numpy

    import velk

    versions = [
        f"Python {platform.python_version()}",
        f"numpy {numpy.__version__}",
        f"velk {velk.__version__}",
    ]
    for name in ("scipy", "csaps", "ruptures"):
        try:
            versions.append(f"{name} {__import__(name).__version__}")
        except ImportError:
            versions.append(f"{name} missing")
    cpu = ""
    try:
        info = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        fields = dict(line.split(":", 1) for line in info.splitlines() if ":" in line)

        def get(key: str) -> str:
            return fields.get(key, "?").strip()

        cpu = (
            f"{get('Model name')}, {get('CPU(s)')} CPUs, L2 {get('L2 cache')}, L3 {get('L3 cache')}"
        )
    except OSError:
        cpu = platform.processor()
    load = os.getloadavg()[0]
    return (
        f"Machine: {cpu}; {platform.system()} {platform.release()}; {', '.join(versions)}; "
        f"load average {load:.2f} at the start."
    )

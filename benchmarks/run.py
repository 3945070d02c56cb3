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

The peers come from the `bench` extra (pip install ".[bench]"); nothing is
installed here. Every measurement runs in a fresh subprocess, so that its peak
memory can be read from the kernel (VmHWM after resetting it through
/proc/self/clear_refs): that also sees the C++ allocations, which tracemalloc
does not. Times are the median of repeated calls after a first full-size call
(which is the one whose memory is reported); calls longer than a few seconds
are run once. Rows that would take minutes are skipped or stopped at a time
limit, and the table says so. --plot saves time-vs-n plots under docs/.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent

# The signals. x is the sample index (unit spacing), so a signal of n samples
# looks locally the same at every n and one (p, gamma) suits all sizes.
SIGMA = 0.05  # noise standard deviation, passed as delta
P = 1e-6  # lam = (1 - p) / p = 1e6: about 7 samples of smoothing at w = 1/SIGMA^2
FIXED_JUMPS = 10
SAMPLES_PER_JUMP = 200  # "growing": n // 200 jumps
TOLERANCE = 5  # a found jump matches a true one within this many samples
FOLDS = 10


def gamma_for(dim: int) -> float:
    # A jump must save 30 units of the scaled chi-square per component.
    return 30.0 * P * dim


# --------------------------------------------------------------------------- signals


def spline_signal(n: int, seed: int = 0):
    """Smooth noisy signal with varying standard deviations, for table 1."""
    rng = np.random.default_rng(seed)
    x = np.arange(n) + rng.uniform(-0.3, 0.3, n)
    delta = SIGMA * rng.uniform(0.5, 2.0, n)
    y = (
        np.sin(2 * np.pi * x / 300)
        + 0.5 * np.sin(2 * np.pi * x / 1170)
        + delta * rng.standard_normal(n)
    )
    return x, y, delta


def jump_count(kind: str, n: int) -> int:
    return FIXED_JUMPS if kind == "fixed" else n // SAMPLES_PER_JUMP


def jump_signal(kind: str, n: int, dim: int, seed: int = 0):
    """Piecewise-smooth noisy signal: a smooth curve plus levels that jump.

    Returns x, y (n x dim), delta and the true jumps as the index of the
    first sample after each jump. Jumps are about evenly spread (at least
    half a segment apart) and at least 1 = 20 sigma high in every component.
    """
    jumps = jump_count(kind, n)
    rng = np.random.default_rng(seed)
    x = np.arange(n, dtype=float)
    length = n / (jumps + 1)
    starts = np.round(length * (np.arange(1, jumps + 1) + rng.uniform(-0.25, 0.25, jumps))).astype(
        np.int64
    )
    segment = np.searchsorted(starts, np.arange(n), side="right")
    heights = rng.uniform(1.0, 2.0, (jumps + 1, dim)) * rng.choice([-1.0, 1.0], (jumps + 1, dim))
    heights[0] = 0.0
    level = np.cumsum(heights, axis=0)[segment]
    phase = rng.uniform(0.0, 2 * np.pi, dim)
    smooth = np.sin(2 * np.pi * x[:, None] / 300 + phase) + 0.5 * np.sin(
        2 * np.pi * x[:, None] / 1170
    )
    y = smooth + level + SIGMA * rng.standard_normal((n, dim))
    return x, y, np.full(n, SIGMA), starts


def precision_recall(found, truth, tol: int = TOLERANCE):
    """One-to-one matching of found to true jump indices within tol samples."""
    found = sorted(int(v) for v in found)
    truth = sorted(int(v) for v in truth)
    pairs = sorted(
        (abs(f - t), i, j)
        for i, f in enumerate(found)
        for j, t in enumerate(truth)
        if abs(f - t) <= tol
    )
    used_f, used_t, hits = set(), set(), 0
    for _, i, j in pairs:
        if i not in used_f and j not in used_t:
            used_f.add(i)
            used_t.add(j)
            hits += 1
    precision = hits / len(found) if found else 1.0
    recall = hits / len(truth) if truth else 1.0
    return precision, recall


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


def timed(call, *, long_call: float, budget: float, max_runs: int = 15):
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


def pp_values(res, t):
    """Values of a velk result's joined polynomial at t (n x dim)."""
    breaks, coefs, dim = res["breaks"], res["coefs"], res["dim"]
    k = np.clip(np.searchsorted(breaks, t, side="right") - 1, 0, len(breaks) - 2)
    dt = (t - breaks[k])[:, None]
    rows = coefs.reshape(-1, dim, 4)[k]
    return ((rows[..., 0] * dt + rows[..., 1]) * dt + rows[..., 2]) * dt + rows[..., 3]


# --------------------------------------------------------------------------- workers
# Each runs in its own process and prints JSON lines; the last line is the result.


def emit(obj) -> None:
    print(json.dumps(obj), flush=True)


def worker_spline(spec) -> None:
    n, tool = spec["n"], spec["tool"]
    x, y, delta = spline_signal(n)
    w = 1.0 / delta**2
    lam = (1.0 - P) / P
    if tool == "velk":
        import velk

        y2 = y[:, None]

        def call():
            return velk.velk(x, y2, P, math.inf, delta)

        def values(res):
            return pp_values(res, x)[:, 0]

        velk.velk(x[:100], y2[:100], P, math.inf, delta[:100])
    elif tool == "scipy":
        from scipy.interpolate import make_smoothing_spline

        def call():
            return make_smoothing_spline(x, y, w=w, lam=lam)

        def values(res):
            return res(x)

        make_smoothing_spline(x[:100], y[:100], w=w[:100], lam=lam)
    else:
        import csaps

        # csaps minimises p * sum(w * (y - f)^2) + (1 - p) * int(f''^2): the same p as velk.
        def call():
            return csaps.CubicSmoothingSpline(x, y, weights=w, smooth=P)

        def values(res):
            return res(x)

        csaps.CubicSmoothingSpline(x[:100], y[:100], weights=w[:100], smooth=P)(x[:100])
    res, seconds, runs, peak = timed(call, long_call=spec["long_call"], budget=spec["budget"])
    np.save(spec["values"], values(res))
    emit({"seconds": seconds, "runs": runs, "peak": peak})


def worker_search(spec) -> None:
    import velk

    n, dim, pruning, kind = spec["n"], spec["dim"], spec["pruning"], spec["kind"]
    x, y, delta, truth = jump_signal(kind, n, dim)
    gamma = gamma_for(dim)
    velk.velk(x[:300], y[:300], P, gamma, delta[:300], pruning)

    def call():
        return velk.velk(x, y, P, gamma, delta, pruning)

    res, seconds, runs, peak = timed(call, long_call=spec["long_call"], budget=spec["budget"])
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


def worker_ruptures(spec) -> None:
    """Tunes the penalty until Pelt finds the true number of jumps: first by
    bisection on a log scale with jump=5 (candidates every fifth sample, about
    25 times cheaper), then with jump=1 from there. Every jump=1 run is
    reported as it ends, so a row stopped at its time limit still shows what
    was done; the last line is the jump=1 run closest to the true count."""
    import ruptures

    n, model, kind = spec["n"], spec["model"], spec["kind"]
    _, y, _, truth = jump_signal(kind, n, 1)
    want = len(truth)
    ruptures.Pelt(model=model, min_size=2, jump=1).fit(y[:100]).predict(pen=1.0)

    def tune(pen, jump, trials, on_run):
        lo = hi = None  # penalties with too many and too few jumps
        for _ in range(trials):
            t0 = time.perf_counter()
            bkps = ruptures.Pelt(model=model, min_size=2, jump=jump).fit(y).predict(pen=pen)
            seconds = time.perf_counter() - t0
            found = np.asarray(bkps[:-1], dtype=np.int64)  # first index after each jump
            on_run(pen, seconds, found)
            if len(found) == want:
                break
            if len(found) > want:
                lo = pen
            else:
                hi = pen
            if lo is not None and hi is not None:
                if hi / lo < 1.0 + 1e-3:
                    break
                pen = math.sqrt(lo * hi)
            else:
                pen = pen * 4.0 if hi is None else pen / 4.0
        return pen

    coarse = {}

    def keep_coarse(pen, seconds, found):
        if "pen" not in coarse or abs(len(found) - want) <= abs(coarse["found"] - want):
            prec, rec = precision_recall(found, truth)
            coarse.update(
                pen=pen, seconds=seconds, found=len(found), truth=want, precision=prec, recall=rec
            )

    tune(spec["pen"], 5, 30, keep_coarse)
    emit({**coarse, "coarse": True})
    best = None

    def report(pen, seconds, found):
        nonlocal best
        prec, rec = precision_recall(found, truth)
        row = {
            "pen": pen,
            "seconds": seconds,
            "found": len(found),
            "truth": want,
            "precision": prec,
            "recall": rec,
            "trial": True,
        }
        if best is None or abs(len(found) - want) < abs(best["found"] - want):
            best = row
        emit(row)

    tune(coarse["pen"], 1, 20, report)
    emit({**best, "done": True})


def worker_select(spec) -> None:
    """velk.select: p and gamma chosen by 5-fold cross-validation over its
    default grid, without knowing the true jumps; timed once, grid included."""
    import velk

    x, y, delta, truth = jump_signal(spec["kind"], spec["n"], 1)
    velk.select(x[:300], y[:300], delta=delta[:300], pruning="PELT")
    t0 = time.perf_counter()
    sel = velk.select(x, y, delta=delta, pruning="PELT")
    seconds = time.perf_counter() - t0
    found = np.asarray(sel.spline.jump_indices, dtype=np.int64) + 1
    prec, rec = precision_recall(found, truth)
    emit(
        {
            "seconds": seconds,
            "p": sel.p,
            "gamma": sel.gamma,
            "found": len(found),
            "precision": prec,
            "recall": rec,
            "pairs": int(sel.scores.size),
        }
    )


def worker_cv(spec) -> None:
    import velk

    n, pruning, gamma = spec["n"], spec["pruning"], spec["gamma"]
    x, y, delta, _ = jump_signal("growing", n, 1)
    rng = np.random.default_rng(1)
    folds = [f.tolist() for f in np.array_split(rng.permutation(n), FOLDS)]
    small = [f.tolist() for f in np.array_split(np.arange(300), FOLDS)]
    velk.velk_cvscore(x[:300], y[:300], P, gamma, delta[:300], small, pruning)

    def call():
        return velk.velk_cvscore(x, y, P, gamma, delta, folds, pruning)

    score, seconds, runs, peak = timed(call, long_call=spec["long_call"], budget=spec["budget"])
    emit({"seconds": seconds, "runs": runs, "peak": peak, "score": score})


WORKERS = {
    "spline": worker_spline,
    "search": worker_search,
    "ruptures": worker_ruptures,
    "select": worker_select,
    "cv": worker_cv,
}


def run_worker(spec: dict, limit: float):
    """Runs one worker; returns (rows it printed, stopped-at-limit flag)."""
    cmd = [sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(spec)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    try:
        proc = subprocess.run(
            cmd, capture_output=True, text=True, timeout=limit, env=env, check=False
        )
        out, stopped = proc.stdout, False
        if proc.returncode != 0:
            raise RuntimeError(f"worker {spec} failed:\n{proc.stderr}")
    except subprocess.TimeoutExpired as e:
        out = e.stdout or ""
        out, stopped = out.decode() if isinstance(out, bytes) else out, True
    rows = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    return rows, stopped


# --------------------------------------------------------------------------- tables


def table(header, rows, left: int = 0) -> str:
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


def sizes(top: int):
    return [10**k for k in range(3, round(math.log10(top)) + 1)]


class Bench:
    def __init__(self, args):
        self.args = args
        quick = args.quick
        self.long_call = 1.0 if quick else 3.0
        self.budget = 0.2 if quick else 1.5
        self.search_limit = 5.0 if quick else 40.0
        self.peer_limit = 10.0 if quick else 60.0
        self.out: list[str] = []
        self.goals: list[tuple[str, str, bool]] = []
        self.plots: dict[str, dict[str, list[tuple[int, float]]]] = {}
        self.search_results: dict[tuple, dict] = {}
        self.tmp = tempfile.mkdtemp(prefix="velk-bench-")

    def say(self, text: str = "") -> None:
        print(text, flush=True)
        self.out.append(text)

    def point(self, plot: str, series: str, n: int, seconds: float) -> None:
        self.plots.setdefault(plot, {}).setdefault(series, []).append((n, seconds))

    def spec(self, worker: str, **kw) -> dict:
        return {"kind_of_worker": worker, "long_call": self.long_call, "budget": self.budget, **kw}

    # 1 ------------------------------------------------------------------------
    def splines(self) -> None:
        self.say("## 1. One smoothing spline (no jumps)")
        self.say()
        self.say(
            "velk(x, y, p, gamma=inf, delta) against "
            "scipy.interpolate.make_smoothing_spline(x, y, w, lam) with w = 1/delta^2 and "
            "lam = (1 - p)/p, and csaps.CubicSmoothingSpline(x, y, weights=w, smooth=p): all "
            "three minimise p * sum(w (y - f)^2) + (1 - p) * int(f''^2) (scipy's objective "
            "divided by p). Signal: x = 0..n-1 jittered by +-0.3, smooth curve plus noise, "
            f"delta uniform in [{SIGMA / 2}, {2 * SIGMA}], p = {P:g}. Memory: growth of the "
            "resident set during the call, the result included; max |diff|: largest "
            "difference of the fitted values at the samples."
        )
        self.say()
        rows = []
        for n in sizes(10**5 if self.args.quick else 10**6):
            got = {}
            for tool in ("velk", "scipy", "csaps"):
                values = os.path.join(self.tmp, f"{tool}-{n}.npy")
                out, _ = run_worker(self.spec("spline", n=n, tool=tool, values=values), 600)
                got[tool] = out[-1]
                got[tool]["values"] = np.load(values)
                self.point("spline", tool, n, got[tool]["seconds"])
            v, s, c = (got[t]["values"] for t in ("velk", "scipy", "csaps"))
            tv, ts, tc = (got[t]["seconds"] for t in ("velk", "scipy", "csaps"))
            rows.append(
                [
                    n,
                    ms(tv),
                    ms(ts),
                    ms(tc),
                    f"{ts / tv:.1f}x",
                    f"{tc / tv:.1f}x",
                    mib(got["velk"]["peak"]),
                    mib(got["scipy"]["peak"]),
                    mib(got["csaps"]["peak"]),
                    f"{got['velk']['peak'] / n:.0f}",
                    f"{np.abs(v - s).max():.1e}",
                    f"{np.abs(v - c).max():.1e}",
                    f"{np.abs(s - c).max():.1e}",
                    "/".join(str(got[t]["runs"]) for t in ("velk", "scipy", "csaps")),
                ]
            )
            if n == 10**6:
                fast = min(ts, tc) / tv
                self.goals.append(
                    (
                        "no-jump fit >= 20x faster than scipy and csaps at n = 10^6",
                        f"{ts / tv:.1f}x scipy, {tc / tv:.1f}x csaps",
                        fast >= 20,
                    )
                )
                self.goals.append(
                    (
                        "no-jump fit: memory per sample at n = 10^6",
                        f"{got['velk']['peak'] / n:.0f} B/sample",
                        True,
                    )
                )
        self.say(
            table(
                [
                    "n",
                    "velk",
                    "scipy",
                    "csaps",
                    "scipy/velk",
                    "csaps/velk",
                    "velk MiB",
                    "scipy MiB",
                    "csaps MiB",
                    "velk B/sample",
                    "max diff velk-scipy",
                    "velk-csaps",
                    "scipy-csaps",
                    "runs v/s/c",
                ],
                rows,
            )
        )
        self.say()

    # 2 ------------------------------------------------------------------------
    def searches(self) -> None:
        self.say("## 2. Jump search")
        self.say()
        self.say(
            f"velk(x, y, p={P:g}, gamma=30*p*dim, delta={SIGMA}, pruning) on piecewise-smooth "
            f"signals (x = 0..n-1, a smooth curve plus levels that jump by 20 to 40 sigma in "
            f"every component): 'fixed' has {FIXED_JUMPS} jumps, 'growing' one per "
            f"{SAMPLES_PER_JUMP} samples. The counter is complexity_counter (samples fed into "
            f"segment states); ns/count = time / counter. P/R: precision and recall of the jump "
            f"positions within {TOLERANCE} samples. Memory as in table 1, beyond the inputs. A row "
            f"whose time, extrapolated from the smaller sizes, exceeds "
            f"{self.search_limit:.0f} s is skipped."
        )
        self.say()
        rows = []
        top = 10**5 if self.args.quick else 10**6
        for kind in ("fixed", "growing"):
            for dim in (1, 3):
                for pruning in ("FPVI", "PELT"):
                    history = []
                    for n in sizes(top):
                        label = [kind, n, dim, jump_count(kind, n), pruning]
                        predicted = self.predict(history, n)
                        if predicted is not None and predicted > self.search_limit:
                            rows.append(label + [f"skipped: ~{predicted:.0f} s"] + [""] * 7)
                            continue
                        out, stopped = run_worker(
                            self.spec("search", n=n, dim=dim, pruning=pruning, kind=kind),
                            self.search_limit * 2 + 30,
                        )
                        if stopped or not out:
                            rows.append(
                                label
                                + [f"stopped at {self.search_limit * 2 + 30:.0f} s"]
                                + [""] * 7
                            )
                            continue
                        r = out[-1]
                        history.append((n, r["counter"], r["seconds"]))
                        self.search_results[(kind, n, dim, pruning)] = r
                        self.point("search", f"{pruning} {kind} dim {dim}", n, r["seconds"])
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
        self.say(
            table(
                [
                    "signal",
                    "n",
                    "dim",
                    "jumps",
                    "pruning",
                    "time",
                    "counter",
                    "ns/count",
                    "peak MiB",
                    "B/sample",
                    "found",
                    "P/R",
                    "runs",
                ],
                rows,
                left=1,
            )
        )
        self.say()
        per_count = [
            r["seconds"] / r["counter"] * 1e9
            for (k, n, d, pr), r in self.search_results.items()
            if d == 1 and r["counter"] >= 10**6
        ]
        if per_count:
            worst = max(per_count)
            self.goals.append(
                (
                    "search <= 150 ns per counted sample at dim 1 (rows with >= 10^6 counts)",
                    f"{min(per_count):.0f} to {worst:.0f} ns",
                    worst <= 150,
                )
            )
        big = self.search_results.get(("growing", 10**6, 1, "PELT"))
        if big:
            self.goals.append(
                (
                    "fit with jumps at n = 10^6, dim 1: < 200 B/sample beyond the inputs",
                    f"{big['peak'] / 10**6:.0f} B/sample (PELT, growing)",
                    big["peak"] / 10**6 < 200,
                )
            )

    @staticmethod
    def predict(history, n):
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

    # 3 ------------------------------------------------------------------------
    def peers(self) -> None:
        self.say("## 3. ruptures' Pelt against velk")
        self.say()
        self.say(
            f"Same signals, dim 1. ruptures.Pelt(model, min_size=2, jump=1) (jump=1: every "
            f"sample is a candidate, as in velk) with its penalty tuned by bisection until it "
            f"finds the true number of jumps (first with jump=5, then with jump=1); the time is "
            f"one fit+predict with jump=1 at the final penalty. The 'jump=5' rows (ruptures' "
            f"default: only every fifth sample a candidate, about 25 times less work) show "
            f"the best run of that first stage. "
            f"velk's PELT and FPVI rows are the table 2 runs, with its fixed p and gamma (not "
            f"tuned to the true count); 'velk select' chooses p and gamma by 5-fold "
            f"cross-validation over its default grid, without the true jumps, and is timed "
            f"whole. A ruptures or select row, tuning included, stops at {self.peer_limit:.0f} s. "
            f"ratio: ruptures' time over velk PELT's."
        )
        self.say()
        rows = []
        top = 10**3 if self.args.quick else 10**4
        ratios = []
        for kind in ("fixed", "growing"):
            # Starting penalties near the tuned ones (found by earlier runs);
            # each size then starts from the penalty tuned at the size before.
            pens = {
                "l2": 17.0 if kind == "fixed" else 200.0,
                "clinear": 28.0 if kind == "fixed" else 200.0,
            }
            for n in sizes(top):
                want = jump_count(kind, n)
                velk_rows = {
                    pr: self.search_results.get((kind, n, 1, pr)) for pr in ("PELT", "FPVI")
                }
                base = velk_rows["PELT"]
                for pr, r in velk_rows.items():
                    if r:
                        self.point("peers", f"velk {pr} {kind}", n, r["seconds"])
                for pr, r in velk_rows.items():
                    if r:
                        rows.append(
                            [
                                kind,
                                n,
                                want,
                                f"velk {pr}",
                                f"gamma {gamma_for(1):g}",
                                ms(r["seconds"]),
                                "",
                                r["found"],
                                f"{r['precision']:.2f}",
                                f"{r['recall']:.2f}",
                            ]
                        )
                if hasattr(velk_module(), "select"):
                    out, stopped = run_worker(self.spec("select", n=n, kind=kind), self.peer_limit)
                    if stopped or not out:
                        rows.append(
                            [
                                kind,
                                n,
                                want,
                                "velk select, PELT",
                                "",
                                f"stopped at {self.peer_limit:.0f} s",
                                "",
                                "",
                                "",
                                "",
                            ]
                        )
                    else:
                        r = out[-1]
                        self.point("peers", f"velk select {kind}", n, r["seconds"])
                        rows.append(
                            [
                                kind,
                                n,
                                want,
                                "velk select, PELT",
                                f"p {r['p']:.3g}, gamma {r['gamma']:.3g}",
                                ms(r["seconds"]) + f" ({r['pairs']} pairs x 5 folds)",
                                "",
                                r["found"],
                                f"{r['precision']:.2f}",
                                f"{r['recall']:.2f}",
                            ]
                        )
                for model in ("l2", "clinear"):
                    out, stopped = run_worker(
                        self.spec("ruptures", n=n, model=model, kind=kind, pen=pens[model]),
                        self.peer_limit,
                    )
                    coarse = [o for o in out if o.get("coarse")]
                    trials = [o for o in out if o.get("trial")]
                    label = [kind, n, want]
                    if coarse:
                        c = coarse[-1]
                        pens[model] = c["pen"]
                        ratio = c["seconds"] / base["seconds"] if base else float("nan")
                        rows.append(
                            label
                            + [
                                f"ruptures {model}, jump=5",
                                f"pen {c['pen']:.3g}",
                                ms(c["seconds"]),
                                f"{ratio:.0f}x",
                                c["found"],
                                f"{c['precision']:.2f}",
                                f"{c['recall']:.2f}",
                            ]
                        )
                    if not trials:
                        rows.append(
                            label
                            + [
                                f"ruptures {model}",
                                "",
                                f"stopped at {self.peer_limit:.0f} s, no jump=1 run finished",
                                "",
                                "",
                                "",
                                "",
                            ]
                        )
                        continue
                    final = (
                        out[-1]
                        if out[-1].get("done")
                        else min(trials, key=lambda o: abs(o["found"] - want))
                    )
                    pens[model] = final["pen"]
                    note = "" if final["found"] == want else " (not tuned)"
                    if stopped:
                        note = (
                            f" (tuning stopped at {self.peer_limit:.0f} s after {len(trials)} runs)"
                        )
                    ratio = final["seconds"] / base["seconds"] if base else float("nan")
                    if base and final["found"] == want:
                        ratios.append((final, base, model))
                    self.point("peers", f"ruptures {model} {kind}", n, final["seconds"])
                    rows.append(
                        label
                        + [
                            f"ruptures {model}",
                            f"pen {final['pen']:.3g}",
                            ms(final["seconds"]) + note,
                            f"{ratio:.0f}x",
                            final["found"],
                            f"{final['precision']:.2f}",
                            f"{final['recall']:.2f}",
                        ]
                    )
        self.say(
            table(
                [
                    "signal",
                    "n",
                    "jumps",
                    "method",
                    "parameter",
                    "time",
                    "ratio",
                    "found",
                    "precision",
                    "recall",
                ],
                rows,
                left=1,
            )
        )
        self.say()
        if ratios:
            parts = []
            for model in ("l2", "clinear"):
                got = [(f["seconds"] / b["seconds"], f, b) for f, b, m in ratios if m == model]
                if got:
                    low, f, _ = min(got, key=lambda t: t[0])
                    parts.append(
                        f"{model}: {low:.0f}x to {max(t[0] for t in got):.0f}x "
                        f"(lowest at {f['truth']} jumps, its P/R "
                        f"{f['precision']:.2f}/{f['recall']:.2f})"
                    )
            accurate = all(
                b["precision"] >= f["precision"] and b["recall"] >= f["recall"]
                for f, b, _ in ratios
            )
            slowest = min(f["seconds"] / b["seconds"] for f, b, _ in ratios)
            self.goals.append(
                (
                    (
                        ">= 100x faster than ruptures' Pelt (jump=1, penalty tuned to the "
                        "true count), equal or better accuracy"
                    ),
                    "; ".join(parts)
                    + "; velk PELT's precision and recall "
                    + ("equal or better in every row" if accurate else "worse in a row"),
                    slowest >= 100 and accurate,
                )
            )

    # 4 ------------------------------------------------------------------------
    def crossval(self) -> None:
        self.say("## 4. Cross-validation")
        self.say()
        self.say(
            f"velk_cvscore(x, y, p={P:g}, gamma, delta, folds, pruning) with {FOLDS} random "
            f"folds on the 'growing' signal, dim 1: {FOLDS} fits of 90% of the samples each."
        )
        self.say()
        rows = []
        for n in [10**4] if self.args.quick else [10**4, 10**5]:
            for gamma, pruning in (
                (math.inf, "FPVI"),
                (gamma_for(1), "PELT"),
                (gamma_for(1), "FPVI"),
            ):
                label = [
                    n,
                    "inf" if gamma == math.inf else f"{gamma:g}",
                    "-" if gamma == math.inf else pruning,
                ]
                single = self.search_results.get(("growing", n, 1, pruning))
                if gamma != math.inf:
                    if single is None:
                        rows.append(label + ["skipped (single fit skipped in table 2)", "", "", ""])
                        continue
                    # Each fold fits 90% of the samples; the search is up to quadratic.
                    predicted = FOLDS * single["seconds"] * 0.81
                    if predicted > self.search_limit:
                        rows.append(label + [f"skipped: ~{predicted:.0f} s", "", "", ""])
                        continue
                out, stopped = run_worker(self.spec("cv", n=n, pruning=pruning, gamma=gamma), 300)
                if stopped or not out:
                    rows.append(label + ["stopped at 300 s", "", "", ""])
                    continue
                r = out[-1]
                self.point(
                    "cv",
                    f"gamma={label[1]}" + ("" if gamma == math.inf else f" {pruning}"),
                    n,
                    r["seconds"],
                )
                rows.append(
                    label + [ms(r["seconds"]), f"{r['score']:.4g}", mib(r["peak"]), r["runs"]]
                )
        self.say(table(["n", "gamma", "pruning", "time", "score", "peak MiB", "runs"], rows))
        self.say()

    # --------------------------------------------------------------------------
    def summary(self) -> None:
        if not self.goals:
            return
        self.say("## Goals")
        self.say()
        self.say(
            table(
                ["goal", "measured", "met"],
                [[g, m, "yes" if ok else "no"] for g, m, ok in self.goals],
                left=3,
            )
        )
        self.say()

    def plot(self) -> None:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        titles = {
            "spline": "One smoothing spline",
            "search": "velk jump search",
            "peers": "ruptures Pelt (tuned penalty) and velk, dim 1",
            "cv": "10-fold velk_cvscore",
        }
        panels = [k for k in titles if k in self.plots]
        if not panels:
            return
        cols = 2 if len(panels) > 1 else 1
        rows = (len(panels) + cols - 1) // cols
        fig, axes = plt.subplots(rows, cols, figsize=(5.6 * cols, 4.2 * rows), squeeze=False)
        for ax in axes.flat[len(panels) :]:
            ax.set_visible(False)
        for ax, key in zip(axes.flat, panels):
            for series, pts in sorted(self.plots[key].items()):
                pts.sort()
                style = "--" if series.startswith("velk") and key == "peers" else "-"
                ax.plot([p[0] for p in pts], [p[1] for p in pts], style, marker="o", label=series)
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_xlabel("n (samples)")
            ax.set_ylabel("time [s]")
            ax.set_title(titles[key])
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize=7)
        fig.tight_layout()
        path = ROOT / "docs" / ("benchmarks-quick.png" if self.args.quick else "benchmarks.png")
        path.parent.mkdir(exist_ok=True)
        fig.savefig(path, dpi=110)
        self.say(f"![time vs n]({path.name})")
        self.say()


def velk_module():
    import velk

    return velk


def machine() -> str:
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


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller sizes, under a minute")
    ap.add_argument("--plot", action="store_true", help="save time-vs-n plots under docs/")
    ap.add_argument("--out", type=Path, help="also write the markdown to this file")
    ap.add_argument("--tables", type=int, nargs="+", default=[1, 2, 3, 4], choices=[1, 2, 3, 4])
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        spec = json.loads(args.worker)
        WORKERS[spec["kind_of_worker"]](spec)
        return

    start = time.perf_counter()
    bench = Bench(args)
    bench.say("# velk benchmarks" + (" (--quick)" if args.quick else ""))
    bench.say()
    bench.say(machine())
    bench.say()
    if 1 in args.tables:
        bench.splines()
    if 2 in args.tables or 3 in args.tables or 4 in args.tables:
        bench.searches()
    if 3 in args.tables:
        bench.peers()
    if 4 in args.tables:
        bench.crossval()
    bench.summary()
    if args.plot:
        bench.plot()
    bench.say(f"Total time of this run: {time.perf_counter() - start:.0f} s.")
    if args.out:
        args.out.write_text("\n".join(bench.out) + "\n")


if __name__ == "__main__":
    main()

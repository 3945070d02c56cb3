"""Command line: ``python -m velk demo`` and ``python -m velk fit FILE.csv``."""

from __future__ import annotations

import argparse
import csv
import json
import math
import sys
import time
from collections.abc import Sequence
from typing import Any

import numpy as np

import velk
from velk._example import example
from velk._spline import FloatArray, JumpSpline

PROG = "python -m velk"
MISSING = {"", "na", "n/a", "nan", "null", "none"}


class CliError(Exception):
    """A failure to report in one line, with exit status 1."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Cubic smoothing splines that may jump. Without a command: the demo.",
    )
    parser.add_argument("--version", action="version", version=f"velk {velk.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="{demo,fit}")

    demo = sub.add_parser(
        "demo",
        help="fit the built-in example, choosing p and gamma with velk.select",
        description="Fit the built-in example signal (smooth, three known jumps, seeded "
        "noise), choosing p and gamma with velk.select, and compare the jumps found "
        "with the true ones.",
    )
    demo.add_argument("--plot", metavar="FILE.png", help="draw the fit into a PNG file")
    demo.add_argument("--n-jobs", type=int, metavar="N", help="processes for the selection")
    demo.set_defaults(func=run_demo)

    fit = sub.add_parser(
        "fit",
        help="fit columns of a CSV file",
        description="Fit columns of a CSV file with a header row. Empty cells and NA or "
        "NaN mark missing values; rows with a missing value are left out. Without --p and "
        "--gamma, both are chosen by velk.select.",
    )
    fit.add_argument("file", metavar="FILE.csv")
    fit.add_argument("--x", metavar="COL", help="column of x (default: 1, 2, ..., n)")
    fit.add_argument("--y", metavar="COL[,COL...]", required=True, help="column(s) of y")
    fit.add_argument("--delta", metavar="COL", help="column of standard deviations")
    fit.add_argument("--p", type=float, help="smoothing parameter in [0, 1]")
    fit.add_argument("--gamma", type=float, help="penalty per jump, >= 0")
    fit.add_argument("--select", action="store_true", help="choose p and gamma with velk.select")
    fit.add_argument("--n-jobs", type=int, metavar="N", help="processes for --select")
    fit.add_argument("--out", metavar="FITTED.csv", help="write x and the fitted values")
    fit.add_argument("--json", action="store_true", help="print the result as JSON")
    fit.add_argument("--plot", metavar="FILE.png", help="draw the fit into a PNG file")
    fit.set_defaults(func=run_fit, parser=fit)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (0 ok, 1 failure, 2 usage)."""
    args = build_parser().parse_args(argv)
    if args.command is None:
        args = build_parser().parse_args(["demo"])
    try:
        status: int = args.func(args)
    except (CliError, ValueError) as e:
        print(f"{PROG} {args.command}: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    return status


def run_demo(args: argparse.Namespace) -> int:
    ex = example()
    start = time.perf_counter()
    sel = velk.select(ex.x, ex.y[:, 0], delta=ex.delta, n_jobs=args.n_jobs)
    took = time.perf_counter() - start
    spl = sel.spline
    err = spl(ex.x) - ex.truth[:, 0]
    print(
        f"velk {velk.__version__} demo: {len(ex.x)} samples of a smooth signal with "
        f"{len(ex.jumps)} jumps, noise sd {ex.delta[0]:g}"
    )
    print(
        f"p = {sel.p:.6g}, gamma = {sel.gamma:.6g}: chosen by velk.select ({sel.criterion}) "
        f"over {sel.scores.size} settings in {took:.2f} s"
    )
    print(f"jumps found: {fmt(spl.jumps)}")
    print(f"true jumps:  {fmt(ex.jumps)}")
    print(f"rms error against the noise-free signal: {np.sqrt(np.mean(err**2)):.4f}")
    if args.plot:
        ax = new_plot(spl, xlabel="x", ylabel="y")
        marks = np.full(len(ex.jumps), 0.03)  # along the bottom, in axes coordinates
        tr = ax.get_xaxis_transform()
        ax.plot(ex.jumps, marks, "^", color="C3", transform=tr, label="true jumps")
        ax.set_title(f"velk demo: p = {sel.p:.4g}, gamma = {sel.gamma:.4g}")
        ax.legend(loc="best", fontsize="small")
        save_plot(ax, args.plot)
    return 0


def run_fit(args: argparse.Namespace) -> int:
    parser = args.parser
    if (args.p is None) != (args.gamma is None):
        parser.error("give both --p and --gamma, or neither")
    if args.select and args.p is not None:
        parser.error("--select chooses p and gamma: do not give --p and --gamma with it")
    if args.p is not None and not 0.0 <= args.p <= 1.0:
        parser.error(f"--p must be between 0 and 1, got {args.p:g}")
    if args.gamma is not None and not args.gamma >= 0.0:
        parser.error(f"--gamma must be >= 0, got {args.gamma:g}")
    ycols = [c.strip() for c in args.y.split(",")]
    names = [c for c in [args.x, *ycols, args.delta] if c is not None]
    table, rows = read_csv(args.file, names)
    x = None if args.x is None else table[args.x]
    y = np.column_stack([table[c] for c in ycols]) if len(ycols) > 1 else table[ycols[0]]
    delta = None if args.delta is None else table[args.delta]

    score = None
    if args.p is None:
        sel = velk.select(x, y, delta=delta, n_jobs=args.n_jobs, progress=sys.stderr.isatty())
        spl, score = sel.spline, sel.score
    else:
        spl = velk.fit(x, y, p=args.p, gamma=args.gamma, delta=delta)

    if args.out:
        xs = np.arange(1.0, rows + 1.0) if x is None else x
        write_fitted(args.out, args.x or "x", xs, ycols, spl)
    if args.plot:
        save_plot(new_plot(spl, xlabel=args.x or "row", ylabel=", ".join(ycols)), args.plot)
    report = summary(args.file, ycols, spl, score)
    if args.json:
        print(json.dumps(report, indent=2))
    else:
        how = "given" if score is None else f"chosen by velk.select, score {score:.4g}"
        print(f"{args.file}: {report['samples']} samples, y = {', '.join(ycols)}")
        print(f"p = {spl.p:.6g}, gamma = {spl.gamma:.6g} ({how})")
        print(f"{len(spl.jumps)} jumps: {fmt(spl.jumps)}" if len(spl.jumps) else "no jumps")
        for seg in report["segments"]:
            print(f"  segment {seg['start']:.6g} .. {seg['end']:.6g}: {seg['samples']} samples")
    return 0


def read_csv(path: str, names: Sequence[str]) -> tuple[dict[str, FloatArray], int]:
    """The named columns of a CSV file with a header row, as float arrays."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            reader = csv.reader(f)
            header = [h.strip() for h in next(reader, [])]
            if not header:
                raise CliError(f"{path}: the file is empty")
            for name in names:
                if name not in header:
                    raise CliError(f"{path}: no column '{name}' (columns: {', '.join(header)})")
            where = {name: header.index(name) for name in names}
            cols: dict[str, list[float]] = {name: [] for name in names}
            for row in reader:
                if not any(cell.strip() for cell in row):
                    continue  # blank line
                for name, i in where.items():
                    cell = row[i].strip() if i < len(row) else ""
                    cols[name].append(number(cell, path, reader.line_num, name))
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror}") from None
    except UnicodeDecodeError:
        raise CliError(f"{path}: not a UTF-8 text file") from None
    except csv.Error as e:
        raise CliError(f"{path}: {e}") from None
    rows = len(next(iter(cols.values()), []))
    return {k: np.array(v, dtype=np.float64) for k, v in cols.items()}, rows


def number(cell: str, path: str, line: int, column: str) -> float:
    if cell.lower() in MISSING:
        return math.nan
    try:
        return float(cell)
    except ValueError:
        raise CliError(f"{path}, line {line}, column '{column}': not a number: {cell!r}") from None


def write_fitted(
    path: str, xname: str, x: FloatArray, ycols: Sequence[str], spl: JumpSpline
) -> None:
    values = spl(x).reshape(len(x), -1)
    try:
        with open(path, "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f)
            w.writerow([xname, *(f"{c}_fit" for c in ycols)])
            for xi, row in zip(x, values):
                w.writerow(
                    ["" if not math.isfinite(xi) else repr(float(xi))]
                    + ["" if not math.isfinite(v) else repr(float(v)) for v in row]
                )
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror}") from None


def summary(
    path: str, ycols: Sequence[str], spl: JumpSpline, score: float | None
) -> dict[str, Any]:
    return {
        "file": path,
        "y": list(ycols),
        "samples": len(spl.x),
        "p": spl.p,
        "gamma": spl.gamma,
        "cv_score": score,
        "jumps": spl.jumps.tolist(),
        "segments": [
            {"start": float(spl.x[s][0]), "end": float(spl.x[s][-1]), "samples": s.stop - s.start}
            for s in spl.segments
        ],
    }


def new_plot(spl: JumpSpline, *, xlabel: str, ylabel: str) -> Any:
    """Axes of a new figure with the fit drawn (matplotlib without a display)."""
    try:
        import matplotlib
    except ImportError:
        raise CliError("--plot needs matplotlib (pip install matplotlib)") from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    _, ax = plt.subplots(figsize=(8, 4.5), layout="constrained")
    spl.plot(ax)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    return ax


def save_plot(ax: Any, path: str) -> None:
    import matplotlib.pyplot as plt

    try:
        ax.figure.savefig(path, dpi=110)
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror}") from None
    finally:
        plt.close(ax.figure)


def fmt(values: FloatArray) -> str:
    return "  ".join(f"{v:.6g}" for v in values) if len(values) else "none"

"""Command line: ``python -m velk demo`` and ``python -m velk fit FILE.csv`` (or ``select``)."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time
from collections.abc import Sequence
from typing import Any

import numpy as np

import velk
from velk._example import example
from velk._jumps import JumpTable, empty_table, table_of
from velk._plan import DEFAULT_NOISE, NOISE_ALIASES, NOISE_MODELS, noise_model
from velk._ppoly import FloatArray
from velk._report import fmt, new_plot, params, print_report, save_plot, summary
from velk._samples import read
from velk._spline import JumpSpline
from velk._table import CliError, read_csv, write_fitted
from velk._validate import PRUNING, check_n_jobs, option

PROG = "python -m velk"
NOISE = tuple(NOISE_MODELS)


def n_jobs_arg(text: str) -> int:
    try:
        return check_n_jobs(int(text)) or 1
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected a positive number or -1, got {text!r}"
        ) from None


def pruning_arg(text: str) -> str:
    try:
        return option("pruning", text, PRUNING)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def noise_arg(text: str) -> str:
    try:
        return noise_model(text, "--noise")
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def grid_arg(text: str) -> list[float]:
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected numbers separated by commas, got {text!r}"
        ) from None
    if not all(math.isfinite(v) or v == math.inf for v in values):
        raise argparse.ArgumentTypeError(f"expected numbers (inf allowed), got {text!r}")
    return values


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Cubic smoothing splines that may jump. Without a command: the demo.",
    )
    parser.add_argument("--version", action="version", version=f"velk {velk.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="{demo,fit,select}")

    demo = sub.add_parser(
        "demo",
        help="fit the built-in example, choosing p and gamma with velk.select",
        description="Fit the built-in example signal (smooth, three known jumps, seeded "
        "noise), choosing p and gamma with velk.select, and compare the jumps found "
        "with the true ones.",
    )
    demo.add_argument("--plot", metavar="FILE.png", help="draw the fit into a PNG file")
    demo.add_argument("--n-jobs", type=n_jobs_arg, metavar="N", help="threads for the selection")
    demo.set_defaults(func=run_demo)

    fit = sub.add_parser(
        "fit",
        aliases=["select"],
        help="fit columns of a CSV file (select: choose the setting, as fit --select)",
        description="Fit columns of a CSV file (comma, semicolon or tab separated) with a "
        "header row. Empty cells and NA or NaN mark missing values; rows with a missing "
        "value are left out; an infinite value is an error. The x column may hold ISO 8601 "
        "dates or times (2024-03, 2024-03-01, 2024-03-01T12:30:00+01:00), fitted as seconds "
        "since the earliest. Without a setting (--smoothing or --p, with --jump-cost or "
        "--gamma), it is chosen by velk.select. With --each, every y column is a series of "
        "its own, with jumps of its own. "
        "Exit status: 0 done, 1 a file, data or missing-package problem, 2 wrong usage.",
    )
    fit.add_argument("file", metavar="FILE.csv")
    fit.add_argument("--x", metavar="COL", help="column of x (default: 1, 2, ..., n)")
    fit.add_argument("--y", metavar="COL[,COL...]", required=True, help="column(s) of y")
    fit.add_argument("--delta", metavar="COL", help="column of standard deviations")
    fit.add_argument(
        "--noise-sd",
        type=float,
        metavar="S",
        help="noise level of a given setting, relative to --delta (default 1 with --delta): "
        "report each jump's interval, size and probability",
    )
    fit.add_argument(
        "--smoothing", type=float, metavar="L", help="smoothing length, units of x (seconds)"
    )
    fit.add_argument("--jump-cost", type=float, metavar="C", help="cost of a jump, >= 0")
    fit.add_argument("--p", type=float, help="smoothing parameter in [0, 1]")
    fit.add_argument("--gamma", type=float, help="penalty per jump relative to p, >= 0")
    fit.add_argument(
        "--phi", type=float, help="AR(1) noise of a given setting: lag-one correlation in (-1, 1)"
    )
    fit.add_argument("--select", action="store_true", help="choose the setting with velk.select")
    fit.add_argument("--each", action="store_true", help="each y column a series of its own jumps")
    fit.add_argument(
        "--smoothing-grid", type=grid_arg, metavar="L[,L...]", help="smoothing lengths to try"
    )
    fit.add_argument("--p-grid", type=grid_arg, metavar="P[,P...]", help="p values to try")
    fit.add_argument(
        "--jump-cost-grid", type=grid_arg, metavar="C[,C...]", help="jump costs to try"
    )
    fit.add_argument(
        "--gamma-grid", type=grid_arg, metavar="G[,G...]", help="gammas to try (with --p-grid)"
    )
    fit.add_argument(
        "--noise",
        type=noise_arg,
        metavar="MODEL",
        help=f"noise model of the selection: {', '.join(NOISE)} (default {DEFAULT_NOISE}; "
        + ", ".join(f"{k} = {v}" for k, v in NOISE_ALIASES.items())
        + ")",
    )
    fit.add_argument(
        "--n-jobs", type=n_jobs_arg, metavar="N", help="threads for the selection or --each"
    )
    fit.add_argument(
        "--pruning",
        type=pruning_arg,
        default=PRUNING[0],
        metavar="NAME",
        help=f"pruning of the jump search: {', '.join(PRUNING)} (default {PRUNING[0]})",
    )
    fit.add_argument("--out", metavar="FITTED.csv", help="write x and the fitted values")
    fit.add_argument(
        "--json",
        action="store_true",
        help="print the result as JSON (an infinite gamma or score is null)",
    )
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
    except TypeError as e:  # an option that does not suit the data, such as its x
        print(f"{PROG} {args.command}: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    return status


def preflight(plot: str | None, *outputs: str | None) -> None:
    """Fail before any work: a missing optional package, or nowhere to write a result."""
    if plot:
        try:
            import matplotlib
        except ImportError:
            raise CliError("--plot needs matplotlib (pip install matplotlib)") from None
        matplotlib.use("Agg")
    for path in (plot, *outputs):
        if path and not os.path.isdir(os.path.dirname(os.path.abspath(path))):
            raise CliError(f"cannot write {path}: no such directory")


def run_demo(args: argparse.Namespace) -> int:
    preflight(args.plot)
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
        f"p = {sel.p:.6g}, gamma = {sel.gamma:.6g}: chosen by velk.select "
        f"over {sel.scores.size} settings in {took:.2f} s"
    )
    print(f"jumps found: {fmt(spl.jumps)}")
    print(f"true jumps:  {fmt(ex.jumps)}")
    print(f"rms error against the noise-free signal: {np.sqrt(np.mean(err**2)):.4f}")
    if args.plot:
        title = f"velk demo: {params(spl)}"
        ax = new_plot(spl, sel.jumps, xlabel="x", ylabel="y", title=title)
        marks = np.full(len(ex.jumps), 0.03)  # along the bottom, in axes coordinates
        tr = ax.get_xaxis_transform()
        ax.plot(ex.jumps, marks, "^", color="C3", transform=tr, label="true jumps")
        ax.legend(loc="best", fontsize="small")
        save_plot(ax, args.plot)
    return 0


def selection_options(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of `velk.select` that the command line sets."""
    return {
        "smoothing": args.smoothing_grid,
        "p": args.p_grid,
        "jump_cost": args.jump_cost_grid,
        "gamma": args.gamma_grid,
        "n_jobs": args.n_jobs,
        "pruning": args.pruning,
        "noise": DEFAULT_NOISE if args.noise is None else args.noise,
    }


def check_setting(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """One setting: how smooth (--smoothing or --p) and what a jump costs (--jump-cost or,
    with --p, --gamma), each in range."""
    if args.smoothing is not None and args.p is not None:
        parser.error("give --smoothing or --p, not both")
    if args.jump_cost is not None and args.gamma is not None:
        parser.error("give --jump-cost or --gamma, not both")
    if (args.smoothing is None and args.p is None) or (
        args.jump_cost is None and args.gamma is None
    ):
        parser.error("a setting needs --smoothing or --p, and --jump-cost or --gamma")
    if args.gamma is not None and args.p is None:
        parser.error("--gamma goes with --p (gamma is relative to p); else give --jump-cost")
    if args.p is not None and not 0.0 <= args.p <= 1.0:
        parser.error(f"--p must be between 0 and 1, got {args.p:g}")
    if args.smoothing is not None and not args.smoothing >= 0.0:
        parser.error(f"--smoothing must be >= 0, got {args.smoothing:g}")
    for name, v in (("--gamma", args.gamma), ("--jump-cost", args.jump_cost)):
        if v is not None and not v >= 0.0:
            parser.error(f"{name} must be >= 0, got {v:g}")


def given_setting(args: argparse.Namespace) -> bool:
    return any(v is not None for v in (args.p, args.gamma, args.smoothing, args.jump_cost))


def check_fit_usage(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Options that do not go together: exit status 2 before anything is read."""
    grids = [
        o
        for o, v in [
            ("--smoothing-grid", args.smoothing_grid),
            ("--p-grid", args.p_grid),
            ("--jump-cost-grid", args.jump_cost_grid),
            ("--gamma-grid", args.gamma_grid),
        ]
        if v is not None
    ]
    if given_setting(args):
        if args.select or args.command == "select":
            parser.error("the selection chooses the setting: do not give one with it")
        if grids:
            parser.error(f"{grids[0]} is for the selection: do not give a setting with it")
        check_setting(parser, args)
    if args.smoothing_grid is not None and args.p_grid is not None:
        parser.error("give --smoothing-grid or --p-grid, not both")
    if args.jump_cost_grid is not None and args.gamma_grid is not None:
        parser.error("give --jump-cost-grid or --gamma-grid, not both")
    if args.gamma_grid is not None and args.p_grid is None:
        parser.error("--gamma-grid goes with --p-grid (gamma is relative to p)")
    if args.each and args.plot:
        parser.error("--plot draws one fit: it does not go with --each")
    check_noise(parser, args)


def check_noise(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """The noise options: a model for the selection, phi or a known level for a setting."""
    if args.phi is not None and not given_setting(args):
        parser.error("--phi goes with a given setting; the selection estimates it with "
                     "--noise ar1")  # fmt: skip
    if args.noise not in (None, "gaussian") and given_setting(args):  # a setting is Gaussian
        parser.error("--noise is for the selection; a given setting takes --phi")
    if args.noise_sd is not None:
        if not given_setting(args):
            parser.error("--noise-sd goes with a given setting: the selection finds the noise")
        if not (math.isfinite(args.noise_sd) and args.noise_sd > 0.0):
            parser.error(f"--noise-sd must be positive, got {args.noise_sd:g}")


def run_fit(args: argparse.Namespace) -> int:
    check_fit_usage(args.parser, args)
    if args.n_jobs is not None and given_setting(args) and not args.each:
        args.parser.error("--n-jobs is for the selection or --each: one fit runs on one thread")
    preflight(args.plot, args.out)
    ycols = [c.strip() for c in args.y.split(",")]
    names = [c for c in [args.x, *ycols, args.delta] if c is not None]
    table = read_csv(args.file, names)
    x = None if args.x is None else table.columns[args.x]
    delta = None if args.delta is None else table.columns[args.delta]
    if args.each:
        return run_each(args, table, x, ycols, delta)
    y = (
        np.column_stack([table.columns[c] for c in ycols])
        if len(ycols) > 1
        else table.columns[ycols[0]]
    )
    spl, sel = fit_table(args, table, x, y, delta)
    jumps = sel.jumps if sel is not None else known_table(args, spl, x, y, delta)
    if args.out:
        xs = np.arange(1.0, table.rows + 1.0) if x is None else x
        write_fitted(args.out, args.x or "x", xs, [(ycols, spl)], table.utc)
    if args.plot:
        score = None if sel is None else sel.score
        title = f"{os.path.basename(args.file)}: {', '.join(ycols)}\n{params(spl, score)}"
        ax = new_plot(spl, jumps, xlabel=args.x or "row", ylabel=", ".join(ycols), title=title)
        ax.legend(loc="best", fontsize="small")
        save_plot(ax, args.plot)
    report = summary(args.file, ycols, spl, sel, table.utc, jumps)
    if args.json:
        print(json.dumps(report, indent=2, allow_nan=False))
    else:
        print_report(args.file, report, spl, sel)
    return 0


def known_table(
    args: argparse.Namespace, spl: JumpSpline, x: Any, y: Any, delta: Any
) -> JumpTable | None:
    """The jump table of a fit with a given setting where the noise level is known: delta
    is the noise's standard deviation (times --noise-sd), or --noise-sd is, in units of y.
    None where it is not known."""
    if delta is None and args.noise_sd is None:
        return None
    if not len(spl.jump_indices) or not spl.p < 1.0:
        return empty_table(spl, len(spl.jump_indices))  # interpolants: unknown
    w = read(x, y, delta).samples.w  # the weights of the fitted samples, merged as fitted
    return table_of(spl, 1.0 if args.noise_sd is None else args.noise_sd, w)


def on_axis(length: float | None, x: FloatArray | None) -> Any:
    """A smoothing length of the command line for x: seconds along a date axis."""
    if length is None or x is None or x.dtype.kind != "M" or not math.isfinite(length):
        return length
    return np.timedelta64(round(length * 1e6), "us")


def setting_of(args: argparse.Namespace, x: FloatArray | None) -> dict[str, Any]:
    """The keyword arguments of `velk.fit` for the setting given."""
    return {
        "p": args.p,
        "gamma": args.gamma,
        "smoothing": on_axis(args.smoothing, x),
        "jump_cost": args.jump_cost,
        "pruning": args.pruning,
        **({} if args.phi is None else {"phi": args.phi}),
    }


def choices_of(args: argparse.Namespace, x: FloatArray | None) -> dict[str, Any]:
    """The keyword arguments of `velk.select` that the command line sets."""
    options = selection_options(args)
    if options["smoothing"] is not None:
        options["smoothing"] = [on_axis(v, x) for v in options["smoothing"]]
    return options


def fit_table(
    args: argparse.Namespace, table: Any, x: Any, y: Any, delta: Any
) -> tuple[JumpSpline, Any]:
    """The fit with the setting given, or the selection's (with the Selection)."""
    tty = sys.stderr.isatty()
    if not given_setting(args):
        sel = velk.select(x, y, delta=delta, progress=tty, **choices_of(args, x))
        return sel.spline, sel
    if tty:  # one fit shows no steps, but a long one should not look hung
        sys.stderr.write(f"velk fit: fitting {table.rows} rows ...")
        sys.stderr.flush()
    try:
        return velk.fit(x, y, delta=delta, **setting_of(args, x)), None
    finally:
        if tty:
            sys.stderr.write("\r\033[K")


def run_each(args: argparse.Namespace, table: Any, x: Any, ycols: list[str], delta: Any) -> int:
    """Every y column a series of its own: its report, or its error (exit status 1)."""
    data = {c: table.columns[c] for c in ycols}
    tty = sys.stderr.isatty()
    if given_setting(args):
        batch = velk.fit_many(
            data, x, delta=delta, n_jobs=args.n_jobs, progress=tty, **setting_of(args, x)
        )
    else:
        batch = velk.select_many(data, x, delta=delta, progress=tty, **choices_of(args, x))
    fits: list[tuple[list[str], JumpSpline]] = []
    reports: list[dict[str, Any]] = []
    for c in ycols:
        if c in batch.errors:
            e = batch.errors[c]
            print(f"{PROG} {args.command}: error: column {c}: {e}", file=sys.stderr)
            reports.append({"file": args.file, "y": [c], "error": str(e)})
            continue
        r = batch[c]
        spl, sel = (r.spline, r) if isinstance(r, velk.Selection) else (r, None)
        fits.append(([c], spl))
        jumps = sel.jumps if sel is not None else known_table(args, spl, x, data[c], delta)
        reports.append(summary(args.file, [c], spl, sel, table.utc, jumps))
        if not args.json:
            print_report(args.file, reports[-1], spl, sel)
    if args.out and fits:
        xs = np.arange(1.0, table.rows + 1.0) if x is None else x
        write_fitted(args.out, args.x or "x", xs, fits, table.utc)
    if args.json:
        print(json.dumps(reports, indent=2, allow_nan=False))
    return 1 if batch.errors else 0

"""What the command line prints and draws: the text report, its JSON form, and pictures."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from velk._jumps import JumpTable
from velk._ppoly import FloatArray
from velk._spline import JumpSpline
from velk._table import CliError, finite, jump_records, positions, show


def print_report(path: str, report: dict[str, Any], spl: JumpSpline, sel: Any) -> None:
    how = "given" if sel is None else f"chosen by velk.select, score {sel.score:.4g}"
    print(f"{path}: {report['samples']} samples, y = {', '.join(report['y'])}")
    print(f"p = {spl.p:.6g}, gamma = {spl.gamma:.6g} ({how})")
    if sel is not None:
        unit = " s" if spl.time_axis is not None else ""
        print(f"smoothing = {sel.smoothing:.6g}{unit}, jump cost = {sel.jump_cost:.6g}")
        model = {"student-t": f" (nu = {sel.nu:g})", "ar1": f" (phi = {sel.phi:.3g})"}
        print(f"noise: {sel.noise_model}{model.get(sel.noise_model, '')}, sd {sel.noise:.4g}")
    jumps = report["jumps"]
    print(f"{len(jumps)} jumps: {'  '.join(map(show, jumps))}" if jumps else "no jumps")
    for row in report["jump_table"] or []:
        if row["low"] is not None:
            print("  " + jump_line(row))
    for seg in report["segments"]:
        a, b = show(seg["start"]), show(seg["end"])
        print(f"  segment {a} .. {b}: {seg['samples']} samples")


def jump_line(row: dict[str, Any]) -> str:
    """One jump of the report whose interval is known: where, within which interval, how
    big (per y column) and how sure."""
    sizes = ", ".join(f"{a:.4g} +- {b:.2g}" for a, b in zip(row["size"], row["size_se"]))
    return (
        f"{show(row['position'])} in [{show(row['low'])}, {show(row['high'])}]: "
        f"size {sizes}, probability {row['probability']:.3f}"
    )


def summary(
    path: str,
    ycols: Sequence[str],
    spl: JumpSpline,
    sel: Any,
    utc: bool,
    jumps: JumpTable | None = None,
) -> dict[str, Any]:
    """The result as strict JSON values: dates as ISO 8601 text, infinities as null; the
    selection's score, smoothing length (seconds for dates) and jump cost when it chose;
    each jump's interval, size and probability where they are known (else null)."""
    starts = positions(spl.x[[s.start for s in spl.segments]], utc)
    ends = positions(spl.x[[s.stop - 1 for s in spl.segments]], utc)
    return {
        "file": path,
        "y": list(ycols),
        "samples": len(spl.x),
        "p": spl.p,
        "gamma": finite(spl.gamma),
        "score": None if sel is None else finite(sel.score),
        "smoothing": None if sel is None else finite(sel.smoothing),
        "jump_cost": None if sel is None else finite(sel.jump_cost),
        "noise_model": None if sel is None else sel.noise_model,
        "nu": None if sel is None else finite(sel.nu),
        "phi": None if sel is None else sel.phi,
        "jumps": positions(spl.jumps, utc),
        "jump_table": None if jumps is None else jump_records(jumps, utc),
        "segments": [
            {"start": a, "end": b, "samples": s.stop - s.start}
            for a, b, s in zip(starts, ends, spl.segments)
        ],
    }


def params(spl: JumpSpline, score: float | None = None) -> str:
    how = "" if score is None else f" (chosen by velk.select, score {score:.4g})"
    return f"p = {spl.p:.4g}, gamma = {spl.gamma:.4g}, {len(spl.jumps)} jumps{how}"


def new_plot(
    spl: JumpSpline, jumps: JumpTable | None = None, *, xlabel: str, ylabel: str, title: str
) -> Any:
    """Axes of a new figure with the fit drawn, and the jumps' intervals where they are
    known (matplotlib, checked by `preflight`)."""
    import matplotlib.pyplot as plt

    _, ax = plt.subplots(figsize=(8, 4.5), layout="constrained")
    spl.plot(ax, jumps=jumps)
    ax.set_xlabel(xlabel)
    ax.set_ylabel(ylabel)
    ax.set_title(title, fontsize="medium")
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

"""What a `JumpSpline` holds: from a result of the raw `velk.velk`, checked and copied, or
from an engine fit, trusted as it comes."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from velk import _engine
from velk._samples import Data
from velk._time import TimeAxis
from velk._validate import EXTRAPOLATE, boolean, float_array, integer, option, real

__all__ = ["check_result", "fit_fields", "readonly", "spline_fields"]


def readonly(a: npt.ArrayLike, dtype: Any = np.float64) -> Any:
    out = np.array(a, dtype=dtype)  # a private copy, so freezing it cannot surprise anyone
    out.flags.writeable = False
    return out


def check_result(result: object) -> dict[str, Any]:
    """The arrays of a result dictionary of `velk.velk`, checked for consistency."""
    if not isinstance(result, Mapping):
        raise TypeError(
            f"result must be a result dictionary of velk.velk, got {type(result).__name__}"
        )
    keys = ("breaks", "coefs", "dim", "x", "y", "discont", "discont_idx", "interval_cell")
    missing = [k for k in keys if k not in result]
    if missing:
        raise ValueError(f"result lacks the entries {', '.join(missing)} of a velk.velk result")
    dim = integer("result['dim']", result["dim"], low=1)
    breaks = float_array("result['breaks']", result["breaks"])
    coefs = float_array("result['coefs']", result["coefs"])
    x = float_array("result['x']", result["x"])
    y = float_array("result['y']", result["y"])
    jumps = float_array("result['discont']", result["discont"])
    jump_idx = np.asarray(result["discont_idx"])
    n = len(x) if x.ndim == 1 else 0
    cells = [np.asarray(c) for c in result["interval_cell"]]
    flat = np.concatenate(cells) if cells else np.zeros(0)
    bad = (
        breaks.ndim != 1
        or len(breaks) < 2
        or not np.all(np.isfinite(breaks))
        or np.any(np.diff(breaks) < 0.0)
        or coefs.ndim != 2
        or coefs.shape[0] != (len(breaks) - 1) * dim
        or coefs.shape[1] < 1
        or not np.all(np.isfinite(coefs))
    )
    if bad:
        raise ValueError("result does not hold a piecewise polynomial (breaks, coefs, dim)")
    if n < 2 or not np.all(np.isfinite(x)) or np.any(np.diff(x) <= 0.0):
        raise ValueError("result['x'] must hold at least two increasing samples")
    if y.ndim not in (1, 2) or y.shape[0] != n or y.size != n * dim:
        raise ValueError(f"result['y'] must have shape ({n}, {dim})")
    if (
        jumps.ndim != 1
        or jump_idx.shape != jumps.shape
        or (len(jump_idx) and jump_idx.dtype.kind not in "iu")
        or len(cells) != len(jumps) + 1
        or not np.array_equal(flat, np.arange(n))
        or not all(len(c) and c[-1] == i for c, i in zip(cells, jump_idx))
    ):
        raise ValueError("result's jumps and segments do not partition its samples")
    counter = result.get("complexity_counter")
    scale = tuple(float(u) for u in result.get("scale", (1.0, 1.0)))
    if len(scale) != 2 or not all(0.0 < u < np.inf for u in scale):
        raise ValueError("result['scale'] must be two positive finite units (x_unit, y_unit)")
    return {
        "scale": scale,
        "breaks": breaks,
        "coefs": coefs,
        "dim": dim,
        "x": x,
        "y": y.reshape(n, dim),
        "jumps": jumps,
        "jump_indices": jump_idx.astype(np.int64),
        "segments": tuple(slice(int(c[0]), int(c[-1]) + 1) for c in cells),
        "samples_fed": None
        if counter is None
        else integer("result['complexity_counter']", counter),
    }


def spline_fields(
    result: object,
    p: object,
    gamma: object,
    squeeze: object,
    extrapolate: object,
    time_axis: object,
) -> dict[str, Any]:
    """What a `JumpSpline` holds of a raw result and the parameters it was fitted with,
    each checked (the arrays copied, so the caller's dictionary stays theirs)."""
    r = check_result(result)
    if boolean("squeeze", squeeze) and r["dim"] != 1:
        raise ValueError(f"squeeze needs a single component, the fit has {r['dim']}")
    if time_axis is not None and not isinstance(time_axis, TimeAxis):
        raise TypeError(f"time_axis must be a TimeAxis, got {type(time_axis).__name__}")
    return dict(
        breaks=readonly(r["breaks"]),
        coefs=readonly(r["coefs"]),
        scale=r["scale"],
        dim=r["dim"],
        x=readonly(r["x"]),
        y=readonly(r["y"][:, 0] if squeeze else r["y"]),
        jumps=readonly(r["jumps"]),
        jump_indices=readonly(r["jump_indices"], np.int64),
        segments=r["segments"],
        p=real("p", p, low=0.0, high=1.0),
        gamma=real("gamma", gamma, low=0.0),
        squeeze=bool(squeeze),
        extrapolate=option("extrapolate", extrapolate, EXTRAPOLATE),
        time_axis=time_axis,
        nu=0,
        samples_fed=r["samples_fed"],
        phi=None,
    )


def fit_fields(
    res: _engine.FitResult,
    data: Data,
    p: float,
    gamma: float,
    extrapolate: str,
    phi: float | None = None,
) -> dict[str, Any]:
    """What a `JumpSpline` holds of an engine fit of `data` (under AR(1) noise of
    correlation phi where given): the fit's own arrays (made read-only) and the samples'
    (read-only already), not copies."""
    for key in ("breaks", "coefs", "jumps", "jump_index"):
        res[key].flags.writeable = False
    samples = data.samples
    cuts = [0, *(res["jump_index"] + 1).tolist(), len(samples.x)]
    return dict(
        breaks=res["breaks"],
        coefs=res["coefs"],
        scale=res["scale"],
        dim=data.dim,
        x=samples.x,
        y=samples.y[:, 0] if data.squeeze else samples.y,
        jumps=res["jumps"],
        jump_indices=res["jump_index"],
        segments=tuple(slice(a, b) for a, b in zip(cuts[:-1], cuts[1:])),
        p=p,
        gamma=gamma,
        squeeze=data.squeeze,
        extrapolate=extrapolate,
        time_axis=data.axis,
        nu=0,
        samples_fed=int(res["samples_fed"]),
        phi=phi,
    )

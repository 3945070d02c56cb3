"""How smooth and what a jump costs: every conversion between the terms users give (p and
gamma, a smoothing length and a jump cost) and the engine's (lam or a length, and a jump
cost in units of the weighted residual sum of squares D), and the rules for giving them.

The fit minimises ``sum(D + lam * R) + jump_cost * jumps`` (R the integral of f''**2). The
classic smoothing parameter p weighs D by p and R by 1 - p, so ``lam = (1 - p) / p`` and a
penalty gamma in those units is ``p * jump_cost``; at p = 0 (straight lines, lam = inf)
gamma counts in units of D itself.
"""

from __future__ import annotations

import math
from typing import NamedTuple, TypedDict

from velk._time import TimeAxis, as_length
from velk._validate import real

__all__ = ["Setting", "length_of", "setting", "smoothing_of", "terms_of"]


class Setting(NamedTuple):
    """One fit's smoothness and jump cost as the engine takes them."""

    lam: float | None  # exactly one of lam and length
    length: float | None  # in units of x (seconds for a time axis)
    jump_cost: float


class Smoothing(TypedDict):
    """The engine's smoothing arguments."""

    lam: float | None
    length: float | None


def smoothing_of(length: float) -> Smoothing:
    """The engine's smoothing arguments of a length (inf: straight lines)."""
    return (
        {"lam": math.inf, "length": None} if math.isinf(length) else {"lam": None, "length": length}
    )


def lam_of(p: float) -> float:
    """lam = (1 - p) / p of 0 <= p <= 1 (inf for straight lines, p = 0)."""
    return math.inf if p == 0.0 else (1.0 - p) / p


def cost_of(p: float, gamma: float) -> float:
    """The jump cost in units of D of a penalty gamma that goes with p."""
    return gamma if p == 0.0 else gamma / p


def terms_of(lam: float, jump_cost: float) -> tuple[float, float]:
    """(p, gamma) of a fit with lam = (1 - p) / p and the given jump cost."""
    p = 0.0 if math.isinf(lam) else 1.0 / (1.0 + lam)
    return p, (jump_cost * p if p > 0.0 else jump_cost)


def check_choice(p: object, smoothing: object, gamma: object, jump_cost: object) -> None:
    """Exactly one of p and smoothing, exactly one of gamma and jump_cost, gamma only with p:
    gamma counts in units of ``p * D``."""
    if (p is None) == (smoothing is None):
        raise ValueError("give exactly one of p and smoothing")
    if (gamma is None) == (jump_cost is None):
        raise ValueError("give exactly one of gamma and jump_cost")
    if gamma is not None and p is None:
        raise ValueError(
            "with smoothing, give jump_cost: gamma is relative to p (gamma = p * jump_cost)"
        )


def setting(
    p: object, gamma: object, smoothing: object, jump_cost: object, axis: TimeAxis | None
) -> tuple[Setting, float | None, float | None]:
    """The setting of one fit from the caller's arguments, checked, with p and gamma as
    given (None where not given): p in [0, 1], gamma and jump_cost >= 0, smoothing a length
    >= 0 (a timedelta for a time axis), inf allowed for all but p."""
    pv = None if p is None else real("p", p, low=0.0, high=1.0)
    gv = None if gamma is None else real("gamma", gamma, low=0.0)
    sv = None if smoothing is None else as_length(smoothing, axis)
    jv = None if jump_cost is None else real("jump_cost", jump_cost, low=0.0)
    check_choice(pv, sv, gv, jv)
    if pv is None:
        return Setting(None, sv, jv), None, None  # type: ignore[arg-type]
    cost = cost_of(pv, gv) if gv is not None else jv
    return Setting(lam_of(pv), None, cost), pv, gv  # type: ignore[arg-type]


def reported(st: Setting, lam: float, p: float | None, gamma: float | None) -> tuple[float, float]:
    """(p, gamma) to report for a fit of `st` whose lam came out as `lam` (caller's units):
    the caller's own values where given, else derived."""
    if p is None:
        return terms_of(lam, st.jump_cost)
    return p, (gamma if gamma is not None else terms_of(lam_of(p), st.jump_cost)[1])


def length_of(p: float, w_mean: float, h: float) -> float:
    """The smoothing length of p for samples of mean weight w_mean and mean spacing h:
    lam = (1 - p) / p = length**4 * w / h, in logarithms so that it stays a double; inf for
    p = 0, 0 for p = 1."""
    if p == 0.0:
        return math.inf
    if p == 1.0:
        return 0.0
    log_lam = math.log1p(-p) - math.log(p)
    return math.exp((log_lam + math.log(h) - math.log(w_mean)) / 4.0)

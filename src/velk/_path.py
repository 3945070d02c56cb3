"""Every optimal segmentation over a range of jump costs at one smoothing: `JumpPath`.

At a fixed smoothing, a segmentation S with k_S jumps and penalised residual sum of
squares R_S (its fit energy, without the jump costs) costs ``R_S + c k_S`` at jump cost c.
The optimum ``F(c) = min_S (R_S + c k_S)`` is the lower envelope of these lines: concave,
piecewise linear, and its count of jumps falls as c grows. Two fits at costs a < b whose
counts differ bound what lies between: if no other segmentation beats their lines where
they cross, at ``c* = (R_b - R_a) / (k_a - k_b)``, the count changes there and nowhere
else in [a, b]; otherwise the fit at c* is a new segmentation and each side is searched
in turn (the CROPS recursion of Haynes, Eckley & Fearnhead, 2017).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
import numpy.typing as npt

from velk import _engine
from velk._params import smoothing_of
from velk._ppoly import FloatArray
from velk._time import TimeAxis

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["JumpPath", "PathProblem", "Segmentation", "crops", "path_of"]

# How far below the crossing of two lines a fit's cost must lie to count as a new
# segmentation, relative to the cost there: rounding in the energies is far smaller,
# a segmentation that gains less is optimal only at that one cost anyway.
TIE = 1e-10


class Segmentation(NamedTuple):
    """An optimal fit at some jump cost: its jumps and its energy (fits' units)."""

    n_jumps: int
    energy: float
    jumps: FloatArray


def crossing(a: Segmentation, b: Segmentation) -> float:
    """The cost at which the lines of a (more jumps) and b (fewer) cross."""
    return (b.energy - a.energy) / (a.n_jumps - b.n_jumps)


def crops(
    fit_at: Callable[[float], Segmentation], lo: float, hi: float
) -> tuple[list[float], list[Segmentation], int]:
    """The costs in [lo, hi] at which the optimal count of jumps changes, the
    segmentation on each interval between them (one more than the costs, from lo to hi),
    and the number of fits it took: at most ``k(lo) - k(hi) + 2``.

    Why that bound holds: besides the fits at lo and hi, every fit either finds a new
    count or closes a gap between two counts found, and only a gap of two or more counts
    takes a fit to close (one of a single count closes for free, below). With d counts
    found, the d - 1 gaps span k(lo) - k(hi) counts, so at most k(lo) - k(hi) - (d - 1)
    of them are that wide, and the fits number 2 + (d - 2) + k(lo) - k(hi) - d + 1.
    """
    first = fit_at(lo)
    if hi == lo:
        return [], [first], 1
    last = fit_at(hi)
    fits = 2
    changes: dict[float, tuple[Segmentation, Segmentation]] = {}
    todo = [(lo, first, hi, last)]
    while todo:
        a_cost, a, b_cost, b = todo.pop()
        if a.n_jumps <= b.n_jumps:
            continue  # one count over [a, b]: by concavity one line, no change
        c = min(max(crossing(a, b), a_cost), b_cost)
        if a.n_jumps - b.n_jumps == 1:
            # No fit needed. A count between these two there is not; another
            # segmentation of k_a jumps has R >= R_a (a was optimal at a_cost with the
            # same slope), so it never beats a's line; likewise for k_b and b's.
            changes[c] = (a, b)
            continue
        s = fit_at(c)
        fits += 1
        if s.n_jumps not in (a.n_jumps, b.n_jumps) and below(s, a, c):
            todo += [(a_cost, a, c, s), (c, s, b_cost, b)]
        else:
            changes[c] = (a, b)
    costs = sorted(changes)
    return costs, [first] + [changes[c][1] for c in costs], fits


def below(s: Segmentation, a: Segmentation, c: float) -> bool:
    """Whether s costs less than a (and so than the segmentation whose line crosses a's
    at c) by more than rounding, at cost c."""
    line = a.energy + c * a.n_jumps
    return s.energy + c * s.n_jumps < line - TIE * abs(line)


class PathProblem(NamedTuple):
    """What a path needs of a selection: its samples and setting, and its units."""

    samples: _engine.Samples  # as prepared for the caller, before any rescaling
    rescale: float | None  # the noise level select divided y by, None with delta given
    unit: float  # a cost in the fits' units times unit is the caller's
    length: float  # the chosen smoothing length (inf: straight lines)
    chosen: float  # the chosen jump cost, the caller's units
    pruning: str
    precondition: str
    axis: TimeAxis | None
    nu: float  # the noise model's degrees of freedom (inf: Gaussian)


def path_of(pb: PathProblem, lo: float | None, hi: float | None) -> JumpPath:
    """The path of a selection's smoothing over the caller's costs [lo, hi] (by default a
    decade either side of the chosen cost)."""
    if math.isfinite(pb.nu):
        raise ValueError(
            "the jump-cost path needs Gaussian noise: under Student-t noise each cost "
            "would need a reweighting of its own"
        )
    if lo is None or hi is None:
        if not (pb.chosen > 0.0 and math.isfinite(pb.chosen)):
            raise ValueError("the chosen jump cost is 0 or infinite: give lo and hi")
    lo = pb.chosen / 10.0 if lo is None else check_cost("lo", lo)
    hi = pb.chosen * 10.0 if hi is None else check_cost("hi", hi)
    if not lo <= hi:
        raise ValueError(f"lo must not exceed hi, got lo={lo:g}, hi={hi:g}")
    samples = pb.samples if pb.rescale is None else pb.samples.rescaled(pb.rescale)
    smoothing = smoothing_of(pb.length)

    def fit_at(cost: float) -> Segmentation:
        res = _engine.fit(
            samples,
            lam=smoothing["lam"],
            length=smoothing["length"],
            jump_cost=cost,
            pruning=pb.pruning,
            precondition=pb.precondition,
            stats=True,
        )
        return Segmentation(len(res["jumps"]), float(res["stats"]["prss"]), res["jumps"])

    costs, segs, fits = crops(fit_at, lo / pb.unit, hi / pb.unit)
    return JumpPath(
        costs=np.array(costs) * pb.unit,
        bounds=(lo, hi),
        n_jumps=np.array([s.n_jumps for s in segs], dtype=np.int64),
        energy=np.array([s.energy for s in segs]) * pb.unit,
        positions=[s.jumps for s in segs],
        chosen=pb.chosen,
        smoothing=pb.length,
        fits=fits,
        axis=pb.axis,
    )


def check_cost(name: str, v: object) -> float:
    try:
        c = float(v)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {type(v).__name__}") from None
    if not (c > 0.0 and math.isfinite(c)):
        raise ValueError(f"{name} must be a positive finite jump cost, got {c!r}")
    return c


class JumpPath:
    """Every optimal segmentation for the jump costs in [lo, hi] at one smoothing.

    Made by `Selection.path`. The costs split [lo, hi] into intervals on each of which
    one segmentation is optimal; at each cost in `costs` the two on either side tie.

    Attributes
    ----------
    costs : ndarray, shape (r,)
        The jump costs at which the optimal number of jumps changes, ascending (units of
        the weighted residual sum of squares, as `Selection.jump_cost`).
    bounds : tuple of float
        (lo, hi), the range searched.
    n_jumps : ndarray of int, shape (r + 1,)
        The number of jumps on each interval: ``[lo, costs[0]]``, ..., ``[costs[-1], hi]``.
    energy : ndarray, shape (r + 1,)
        The fit energy of each interval's segmentation: its penalised residual sum of
        squares without the jump costs, so that its total at cost c is
        ``energy + c * n_jumps``.
    jumps : tuple of ndarray
        The jump positions of each interval's segmentation (datetimes for a time axis).
    smoothing : float
        The smoothing length of every fit (``inf``: straight lines).
    chosen_cost : float
        The selection's jump cost.
    chosen_range : tuple of float, or None
        The interval of costs in [lo, hi] on which the chosen number of jumps is optimal
        (how stable that count is), or None when the chosen cost lies outside [lo, hi].
    fits : int
        The fits the path took: at most ``n_jumps[0] - n_jumps[-1] + 2``.
    """

    __slots__ = ("_axis", "_fields", "_positions", "bounds", "chosen_cost", "fits", "smoothing")

    def __init__(
        self,
        *,
        costs: FloatArray,
        bounds: tuple[float, float],
        n_jumps: npt.NDArray[np.int64],
        energy: FloatArray,
        positions: list[FloatArray],
        chosen: float,
        smoothing: float,
        fits: int,
        axis: TimeAxis | None,
    ) -> None:
        fields = {"costs": costs, "n_jumps": n_jumps, "energy": energy}
        for a in [*fields.values(), *positions]:
            a.flags.writeable = False
        for name, value in (
            ("_fields", fields),
            ("_positions", tuple(positions)),
            ("_axis", axis),
            ("bounds", bounds),
            ("chosen_cost", chosen),
            ("smoothing", smoothing),
            ("fits", fits),
        ):
            object.__setattr__(self, name, value)

    bounds: tuple[float, float]
    chosen_cost: float
    smoothing: float
    fits: int
    _fields: dict[str, Any]
    _positions: tuple[FloatArray, ...]
    _axis: TimeAxis | None

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError("JumpPath is read-only")

    def __reduce__(self) -> tuple[Any, ...]:
        return (_restore, ({n: getattr(self, n) for n in self.__slots__},))

    @property
    def costs(self) -> FloatArray:
        out: FloatArray = self._fields["costs"]
        return out

    @property
    def n_jumps(self) -> npt.NDArray[np.int64]:
        out: npt.NDArray[np.int64] = self._fields["n_jumps"]
        return out

    @property
    def energy(self) -> FloatArray:
        out: FloatArray = self._fields["energy"]
        return out

    @property
    def jumps(self) -> tuple[Any, ...]:
        if self._axis is None:
            return self._positions
        axis = self._axis
        return tuple(axis.from_float(p) for p in self._positions)

    def edges(self) -> FloatArray:
        """The ends of the intervals: lo, the costs, hi."""
        return np.concatenate(([self.bounds[0]], self.costs, [self.bounds[1]]))

    def at(self, cost: float) -> int:
        """The index of the interval that holds `cost` (the lower one at a change)."""
        if not self.bounds[0] <= cost <= self.bounds[1]:
            raise ValueError(f"cost {cost:g} lies outside [{self.bounds[0]:g}, {self.bounds[1]:g}]")
        return int(np.searchsorted(self.costs, cost, side="left"))

    @property
    def chosen_range(self) -> tuple[float, float] | None:
        c = self.chosen_cost
        if not self.bounds[0] <= c <= self.bounds[1]:
            return None
        k = self.n_jumps[self.at(c)]
        edges, same = self.edges(), np.flatnonzero(self.n_jumps == k)
        return float(edges[same[0]]), float(edges[same[-1] + 1])

    def __len__(self) -> int:
        return len(self.n_jumps)

    def __iter__(self) -> Iterator[tuple[float, float, int, float, Any]]:
        """Rows (cost from, cost to, jumps, energy, positions), one per interval."""
        e = self.edges()
        return iter(zip(e[:-1], e[1:], self.n_jumps.tolist(), self.energy, self.jumps))

    def to_frame(self) -> Any:
        """A pandas DataFrame with a row per interval."""
        try:
            import pandas as pd  # type: ignore[import-untyped,unused-ignore]
        except ImportError as err:  # pragma: no cover - pandas is optional
            raise ImportError("JumpPath.to_frame requires pandas") from err
        e = self.edges()
        return pd.DataFrame(
            {
                "cost_from": e[:-1],
                "cost_to": e[1:],
                "n_jumps": self.n_jumps,
                "energy": self.energy,
                "jumps": list(self.jumps),
            }
        )

    def plot(self, ax: Axes | None = None) -> Axes:
        """Draw the number of jumps against the jump cost (log scale), the chosen cost
        marked and the range that keeps its count shaded.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Where to draw; by default the current axes of pyplot.

        Returns
        -------
        matplotlib.axes.Axes
        """
        from velk._plot import draw_path

        return draw_path(self, ax)

    def __repr__(self) -> str:
        lo, hi = self.bounds
        lines = [
            f"JumpPath(smoothing={self.smoothing:.4g}, jump costs {lo:.4g} .. {hi:.4g}, "
            f"{self.fits} fits",
            "  cost from .. to      jumps  energy",
        ]
        rows = [f"  {a:<9.4g} .. {b:<9.4g} {k:>5}  {en:.6g}" for a, b, k, en, _ in self]
        lines += rows if len(rows) <= 12 else [*rows[:5], "  ...", *rows[-5:]]
        span = self.chosen_range
        if span is not None:
            k = self.n_jumps[self.at(self.chosen_cost)]
            lines.append(
                f"  chosen cost {self.chosen_cost:.4g}: {k} jumps for costs {span[0]:.4g} .. "
                f"{span[1]:.4g} (a factor {span[1] / span[0]:.3g} wide)"
            )
        lines.append(")")
        return "\n".join(lines)


def _restore(fields: dict[str, Any]) -> JumpPath:
    out = object.__new__(JumpPath)
    for name, value in fields.items():
        object.__setattr__(out, name, value)
    return out

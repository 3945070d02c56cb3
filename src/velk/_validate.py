"""Checks of the public API's arguments: TypeError for a wrong type, ValueError for a wrong value.

Every public function converts its scalar arguments here, so the same mistake gets the same
message wherever it is made.
"""

from __future__ import annotations

import math
import numbers
import operator
from collections.abc import Sequence
from typing import Any

import numpy as np

__all__ = [
    "EXTRAPOLATE",
    "PRECONDITION",
    "PRUNING",
    "boolean",
    "check_executor",
    "check_folds",
    "check_n_jobs",
    "float_array",
    "integer",
    "option",
    "real",
]

# The option names of the public API, canonical spelling first in each; matching ignores case.
PRUNING = ("functional", "FPVI", "PELT")
PRECONDITION = ("none", "local")
EXTRAPOLATE = ("linear", "nan")


def type_name(value: object) -> str:
    return type(value).__name__


def not_a_number(value: object) -> bool:
    """bool and NumPy's datetime types pass as numbers in Python's number hierarchy."""
    return isinstance(value, (bool, np.bool_, np.datetime64, np.timedelta64))


def real(name: str, value: object, *, low: float = -math.inf, high: float = math.inf) -> float:
    """A real number in [low, high] (an infinite high end allowed); never NaN."""
    if not_a_number(value) or not isinstance(value, (numbers.Real, np.ndarray)):
        raise TypeError(f"{name} must be a real number, got {type_name(value)}")
    if isinstance(value, np.ndarray):
        if value.ndim != 0 or value.dtype.kind not in "iuf":
            raise TypeError(f"{name} must be a real number, got an array of shape {value.shape}")
    v = float(value)
    if math.isnan(v):
        raise ValueError(f"{name} must be a number, got nan")
    if not low <= v <= high:
        raise ValueError(f"{name} must satisfy {bound(low, high, name)}, got {v:g}")
    return v


def bound(low: float, high: float, name: str) -> str:
    return f"{low:g} <= {name}" if math.isinf(high) else f"{low:g} <= {name} <= {high:g}"


def integer(name: str, value: object, *, low: int | None = None) -> int:
    """An int (Python or NumPy integer, not bool) of at least `low`."""
    if not_a_number(value):
        raise TypeError(f"{name} must be an int, got {type_name(value)}")
    try:
        v = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, got {type_name(value)}") from None
    if low is not None and v < low:
        raise ValueError(f"{name} must be >= {low}, got {v}")
    return v


def float_array(name: str, value: object) -> Any:
    """value as a float64 array; TypeError unless it holds real numbers (or missing values)."""
    if type(value).__module__.split(".")[0] == "pandas" and hasattr(value, "to_numpy"):
        try:  # nullable columns hold pd.NA, which NumPy cannot convert
            return value.to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):
            pass  # not numeric: the message below names the dtype
    try:
        a = np.asarray(value)
    except ValueError as e:  # ragged nesting
        raise ValueError(f"{name} must be a rectangular array: {e}") from None
    if a.dtype.kind in "biuf":
        return a.astype(np.float64, copy=False)
    if a.dtype.kind == "O" and not any(isinstance(e, (str, bytes)) for e in a.flat):
        try:
            return a.astype(np.float64, copy=False)
        except (TypeError, ValueError):
            pass
    what = {
        "M": "datetimes",
        "m": "timedeltas",
        "U": "strings",
        "S": "bytes",
        "c": "complex numbers",
    }
    got = what.get(a.dtype.kind, f"values of type {a.dtype}")
    raise TypeError(f"{name} must hold real numbers, got {got}")


def boolean(name: str, value: object) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type_name(value)}")
    return bool(value)


def option(name: str, value: object, names: Sequence[str]) -> str:
    """The canonical spelling of one of `names`, matched without regard to case."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a string, got {type_name(value)}")
    for canonical in names:
        if value.lower() == canonical.lower():
            return canonical
    expected = ", ".join(repr(n) for n in names)
    raise ValueError(f"unknown {name} {value!r}, expected one of {expected}")


def check_folds(folds: object) -> Any:
    """An int k >= 2, or the folds themselves: a sequence of index sequences."""
    if isinstance(folds, (numbers.Integral, np.integer)) and not isinstance(folds, bool):
        return integer("folds", folds, low=2)
    if isinstance(folds, (str, bytes, bool, numbers.Number)) or not hasattr(folds, "__iter__"):
        raise TypeError(
            f"folds must be an int or a sequence of index sequences, got {type_name(folds)}"
        )
    return folds


def check_n_jobs(n_jobs: object) -> int | None:
    """None, -1 (one per core) or a positive number of workers."""
    if n_jobs is None:
        return None
    n = integer("n_jobs", n_jobs)
    if n < 1 and n != -1:
        raise ValueError(f"n_jobs must be a positive number or -1, got {n}")
    return n


def check_executor(executor: object) -> Any:
    if executor is not None and not callable(getattr(executor, "submit", None)):
        raise TypeError(
            f"executor must be a concurrent.futures.Executor, got {type_name(executor)}"
        )
    return executor

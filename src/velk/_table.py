"""Delimited text files for the command line: reading columns (numbers or ISO 8601 dates)
and writing the fitted values."""

from __future__ import annotations

import csv
import datetime
import math
import re
from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np

from velk._jumps import JumpTable
from velk._spline import JumpSpline

__all__ = [
    "CliError",
    "Table",
    "finite",
    "iso",
    "jump_records",
    "positions",
    "read_csv",
    "show",
    "write_fitted",
]

MISSING = {"", "na", "n/a", "nan", "null", "none"}


class CliError(Exception):
    """A failure to report in one line, with exit status 1."""


class Table(NamedTuple):
    columns: dict[str, np.ndarray]  # float64, or datetime64[us] (UTC when utc) for x
    rows: int
    utc: bool  # the dates carried UTC offsets: they are given in UTC


DELIMITERS = (",", ";", "\t")


def read_rows(path: str) -> list[list[str]]:
    """The rows of a delimited text file whose header row is its first line."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            text = f.read()
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror}") from None
    except UnicodeDecodeError:
        raise CliError(f"{path}: not a UTF-8 text file") from None
    lines = text.splitlines()
    if not any(line.strip() for line in lines):
        raise CliError(f"{path}: the file is empty")
    if not lines[0].strip():
        raise CliError(f"{path}: line 1 is blank; the header row must be the first line")
    # The separator is the one the header uses most (a single column has none).
    delimiter = max(DELIMITERS, key=lines[0].count)
    try:
        rows = list(csv.reader(lines, delimiter=delimiter))
    except csv.Error as e:
        raise CliError(f"{path}: {e}") from None
    return rows


def read_csv(path: str, names: Sequence[str]) -> Table:
    """The named columns of a delimited text file with a header row."""
    rows = read_rows(path)
    header = [h.strip() for h in rows[0]]
    for name in names:
        count = header.count(name)
        if count == 0:
            raise CliError(f"{path}: no column '{name}' (columns: {', '.join(header)})")
        if count > 1:
            raise CliError(f"{path}: the header names column '{name}' {count} times")
    cells: dict[str, list[tuple[int, str]]] = {name: [] for name in names}
    for line, row in enumerate(rows[1:], start=2):
        if not any(cell.strip() for cell in row):
            continue  # blank line
        if len(row) != len(header):
            raise CliError(
                f"{path}, line {line}: {len(row)} fields, but the header has {len(header)}"
            )
        for name in names:
            cells[name].append((line, row[header.index(name)].strip()))
    columns: dict[str, np.ndarray] = {}
    utc = False
    for name, col in cells.items():
        first = next((c for _, c in col if c.lower() not in MISSING), "")
        if first and not is_number(first):
            columns[name], utc = dates(col, path, name)
        else:
            columns[name] = np.array([number(c, path, line, name) for line, c in col])
    return Table(columns, len(next(iter(cells.values()), [])), utc)


def is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def number(cell: str, path: str, line: int, column: str) -> float:
    if cell.lower() in MISSING:
        return math.nan
    try:
        v = float(cell)
    except ValueError:
        raise CliError(f"{path}, line {line}, column '{column}': not a number: {cell!r}") from None
    if math.isinf(v):
        raise CliError(
            f"{path}, line {line}, column '{column}': infinite value {cell!r} "
            "(leave the cell empty or write NA for a missing value)"
        )
    return v


ISO = re.compile(
    r"(\d{4})(?:-(\d{2})(?:-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2})(?:[.,](\d+))?)?"
    r"(Z|[+-]\d{2}(?::?\d{2})?)?)?)?)?"
)


def dates(col: Sequence[tuple[int, str]], path: str, name: str) -> tuple[np.ndarray, bool]:
    """ISO 8601 dates or times (microseconds, in UTC when they carry offsets)."""
    out = np.empty(len(col), dtype="datetime64[us]")
    offsets = set()
    for i, (line, cell) in enumerate(col):
        if cell.lower() in MISSING:
            out[i] = np.datetime64("NaT")
            continue
        m = ISO.fullmatch(cell)
        try:
            if m is None:
                raise ValueError
            year, month, day, hour, minute, sec, frac, zone = m.groups()
            t = datetime.datetime(
                int(year),
                int(month or 1),
                int(day or 1),
                int(hour or 0),
                int(minute or 0),
                int(sec or 0),
                int((frac or "0")[:6].ljust(6, "0")),
            )
        except ValueError:
            raise CliError(
                f"{path}, line {line}, column '{name}': not a number or an ISO 8601 date: {cell!r}"
            ) from None
        offsets.add(zone is not None)
        if zone and zone != "Z":
            sign = -1 if zone[0] == "-" else 1
            digits = zone[1:].replace(":", "")
            t -= sign * datetime.timedelta(hours=int(digits[:2]), minutes=int(digits[2:] or 0))
        out[i] = np.datetime64(t, "us")
        if len(offsets) > 1:
            raise CliError(
                f"{path}, line {line}, column '{name}': some times have a UTC offset and some "
                "do not"
            )
    return out, offsets == {True}


def iso(values: Any, utc: bool) -> list[str]:
    """ISO 8601 text of datetimes, in the coarsest unit that shows them all exactly."""
    v: Any = np.asarray(values).astype("datetime64[us]")
    units = ("m", "s", "ms", "us") if utc else ("D", "m", "s", "ms", "us")
    unit: Any = next(u for u in units if np.array_equal(v.astype(f"M8[{u}]").astype(v.dtype), v))
    return [s + ("Z" if utc else "") for s in np.datetime_as_string(v, unit=unit)]


def positions(values: Any, utc: bool) -> list[Any]:
    """Positions along x for the report: numbers, or ISO 8601 text for dates (null for
    NaN or NaT: an interval that is not known)."""
    a = np.asarray(values)
    if a.dtype.kind == "M":
        out: list[Any] = [None] * len(a)
        known = np.flatnonzero(~np.isnat(a))
        for k, text in zip(known, iso(a[known], utc) if len(known) else []):
            out[k] = text
        return out
    return [finite(v) for v in a.tolist()]


def jump_records(table: JumpTable, utc: bool) -> list[dict[str, Any]]:
    """The rows of a jump table as strict JSON values, sizes one per y column."""
    where = {name: positions(getattr(table, name), utc) for name in ("position", "low", "high")}
    return [
        {
            **{name: col[k] for name, col in where.items()},
            "size": [finite(v) for v in table.size[k].tolist()],
            "size_se": [finite(v) for v in table.size_se[k].tolist()],
            "probability": finite(float(table.probability[k])),
        }
        for k in range(len(table))
    ]


def show(v: Any) -> str:
    return v if isinstance(v, str) else f"{v:.6g}"


def finite(v: float) -> float | None:
    """JSON has no infinities or NaN: they are reported as null."""
    return v if math.isfinite(v) else None


def write_fitted(
    path: str,
    xname: str,
    x: np.ndarray,
    fits: Sequence[tuple[Sequence[str], JumpSpline]],
    utc: bool,
) -> None:
    """x of every row as read (empty where it was missing) and the fitted values of each
    spline, a column per component named after its y column."""
    ycols = [c for cols, _ in fits for c in cols]
    values = np.column_stack([spl(x).reshape(len(x), -1) for _, spl in fits])
    if x.dtype.kind == "M":
        xs = ["" if np.isnat(v) else s for v, s in zip(x, iso(x, utc))]
    else:
        xs = ["" if not math.isfinite(v) else repr(float(v)) for v in x]
    try:
        with open(path, "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f)
            w.writerow([xname, *(f"{c}_fit" for c in ycols)])
            for xi, row in zip(xs, values):
                w.writerow([xi] + ["" if not math.isfinite(v) else repr(float(v)) for v in row])
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror}") from None

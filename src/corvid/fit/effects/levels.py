"""Labels and time steps: the distinct values of a column, and where new values fall among
them. Labels are numbers, text or dates, one kind per column (a column mixing kinds would
sort, compare and print differently from what its user meant), never missing."""

from __future__ import annotations

import datetime
import numbers
from typing import Any

import numpy as np

__all__ = ["Levels", "label_values"]


def _kind(value: Any) -> str:
    if isinstance(value, (bool, np.bool_, numbers.Number)):
        return "number"
    if isinstance(value, (str, np.str_)):
        return "text"
    if isinstance(value, (np.datetime64, datetime.date)):   # pandas' Timestamp too
        return "date"
    return type(value).__name__


def _date(value) -> np.datetime64:
    """A date or time as NumPy's, an aware one in UTC."""
    if isinstance(value, datetime.datetime) and value.tzinfo is not None:
        value = value.astimezone(datetime.timezone.utc).replace(tzinfo=None)
    if hasattr(value, "to_datetime64"):    # pandas' Timestamp keeps its nanoseconds
        return value.to_datetime64()
    return np.datetime64(value)


def _kind_of(array: np.ndarray) -> str:
    return {"b": "number", "i": "number", "u": "number", "f": "number", "U": "text",
            "S": "text", "M": "date"}.get(array.dtype.kind, array.dtype.name)


def label_values(values, what: str) -> np.ndarray:
    """The values as a one-dimensional array of numbers, text or dates; ValueError for
    mixed kinds and for missing values (NaN, None, NaT), naming the first row."""
    raw = values.to_numpy() if hasattr(values, "to_numpy") else values
    array = raw if isinstance(raw, np.ndarray) else np.asarray(list(raw) if not np.isscalar(raw)
                                                               else [raw], dtype=object)
    if array.ndim != 1:
        raise ValueError(f"{what} must be one-dimensional, got shape {array.shape}")
    if array.dtype == object:
        nan = [isinstance(v, float) and v != v for v in array.tolist()]
        if any(nan):          # pandas' missing text
            rows = np.flatnonzero(nan)
            raise ValueError(f"{what} are missing (NaN) in {rows.size} row(s), the first "
                             f"{', '.join(map(str, rows[:5]))}")
        kinds = [_kind(v) for v in array]
        distinct = sorted(set(kinds))
        if "NoneType" in distinct:
            row = kinds.index("NoneType")
            raise ValueError(f"{what} are missing (None) in row {row}")
        if len(distinct) > 1:
            first = {k: kinds.index(k) for k in distinct}
            shown = ", ".join(f"{k} (row {first[k]})" for k in distinct)
            raise ValueError(f"{what} mix kinds of values: {shown}; give one kind, e.g. all "
                             "text or all numbers")
        if distinct and distinct[0] not in ("number", "text", "date"):
            raise ValueError(f"{what} must be numbers, text or dates, got {distinct[0]}")
        if distinct == ["date"]:
            array = np.asarray([_date(v) for v in array.tolist()])
        else:
            array = np.asarray(array.tolist()) if array.size else np.asarray([], dtype=np.float64)
    if array.dtype.kind == "S":     # bytes, as NetCDF and HDF5 text often comes back:
        try:                        # the same labels as the text they spell
            array = np.char.decode(array, "utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"{what} are bytes that are not UTF-8 text") from None
    kind = _kind_of(array)
    if kind not in ("number", "text", "date"):
        raise ValueError(f"{what} must be numbers, text or dates, got dtype {array.dtype}")
    missing = np.isnan(array) if kind == "number" and array.dtype.kind == "f" else \
        np.isnat(array) if kind == "date" else np.zeros(array.shape, dtype=bool)
    if missing.any():
        rows = np.flatnonzero(missing)
        raise ValueError(f"{what} are missing (NaN) in {rows.size} row(s), the first "
                         f"{', '.join(map(str, rows[:5]))}")
    return array


class Levels:
    """The distinct values of a column, sorted (or, `in_given_order`, in the order they first
    appear: text steps whose order only their user knows), and where new values fall among
    them."""

    def __init__(self, values: np.ndarray, in_given_order: bool = False) -> None:
        distinct, first = np.unique(values, return_index=True)
        self._sorted = distinct
        if in_given_order:
            order = np.argsort(first, kind="stable")
            self._rank = np.empty(distinct.size, dtype=np.intp)
            self._rank[order] = np.arange(distinct.size)
            self.values = distinct[order]
        else:
            self._rank = np.arange(distinct.size)
            self.values = distinct
        self.kind = _kind_of(self.values)

    def __len__(self) -> int:
        return self.values.size

    def index(self, values, what: str) -> tuple[np.ndarray, np.ndarray]:
        """(position of each value among the levels, whether it is one), for values of the
        same kind (ValueError otherwise)."""
        array = label_values(values, what)
        if array.size and _kind_of(array) != self.kind:
            raise ValueError(f"{what} are {_kind_of(array)}, but the fit's are {self.kind} "
                             f"(e.g. {self.values.tolist()[0]!r})")
        where = np.searchsorted(self._sorted, array)
        clipped = np.minimum(where, self._sorted.size - 1)
        found = self._sorted[clipped] == array
        return self._rank[clipped], np.asarray(found, dtype=bool)

    def describe(self, limit: int = 4) -> str:
        shown = [str(v) for v in self.values.tolist()]
        if len(shown) > limit:
            shown = shown[:2] + ["..."] + shown[-1:]
        return ", ".join(shown)

"""Reading the named columns of a user's CSV file as numbers, with errors that say where."""

from __future__ import annotations

import csv
import math
from typing import Dict, List, Sequence, Tuple

import numpy as np

from corvid.cli_errors import CommandError

# Fewer rows leave no room to tell the field from the noise.
MIN_ROWS = 10


def read_columns(path: str, names: Sequence[str]) -> Tuple[Dict[str, np.ndarray], np.ndarray]:
    """The named columns of a CSV file with a header row, as float64 arrays, and the line of
    the file where each row starts.

    Raises `CommandError` for a missing file, a missing column or one named twice in the
    header, a value that is not a finite number (saying on which line of the file, counting
    every line, so a quoted cell holding a line break moves the count as an editor does),
    or fewer than `MIN_ROWS` rows.
    """
    try:
        handle = open(path, newline="", encoding="utf-8-sig")
    except FileNotFoundError:
        raise CommandError(f"no such file: {path}") from None
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from None
    with handle:
        reader = csv.reader(handle)
        try:
            header = [cell.strip() for cell in next(reader)]
        except StopIteration:
            raise CommandError(f"{path} is empty") from None
        except (csv.Error, UnicodeDecodeError) as exc:
            raise CommandError(f"{path} is not a readable CSV file: {exc}") from None
        positions = {name: _position(header, name, path) for name in names}
        values: Dict[str, List[float]] = {name: [] for name in names}
        lines: List[int] = []
        try:
            while True:
                line = reader.line_num + 1  # where the next record starts
                try:
                    row = next(reader)
                except StopIteration:
                    break
                if not any(cell.strip() for cell in row):
                    continue  # blank lines
                lines.append(line)
                for name, at in positions.items():
                    cell = row[at].strip() if at < len(row) else ""
                    values[name].append(_number(cell, path, line, name))
        except (csv.Error, UnicodeDecodeError) as exc:
            raise CommandError(f"{path} is not a readable CSV file (line "
                               f"{reader.line_num}): {exc}") from None
    rows = len(values[names[0]]) if names else 0
    if rows < MIN_ROWS:
        raise CommandError(f"{path} has {rows} data row(s); at least {MIN_ROWS} are needed")
    return ({name: np.asarray(column, dtype=np.float64) for name, column in values.items()},
            np.asarray(lines, dtype=np.int64))


def _position(header: List[str], name: str, path: str) -> int:
    found = [i for i, column in enumerate(header) if column == name]
    if not found:
        raise CommandError(f"{path} has no column {name!r} (columns: {', '.join(header)})")
    if len(found) > 1:
        places = ", ".join(str(i + 1) for i in found)
        raise CommandError(f"{path} has {len(found)} columns named {name!r} (columns {places} "
                           "of the header): rename them so that each name says which one")
    return found[0]


def _number(cell: str, path: str, line: int, name: str) -> float:
    try:
        value = float(cell)
    except ValueError:
        shown = repr(cell) if cell else "an empty cell"
        raise CommandError(f"{path} line {line}, column {name!r}: {shown} is not a number") from None
    if not math.isfinite(value):
        raise CommandError(f"{path} line {line}, column {name!r}: {cell!r} is not a finite number")
    return value

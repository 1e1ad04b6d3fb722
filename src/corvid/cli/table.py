"""Reading a user's data for the fit command: the named columns of a CSV file (pandas) or
the points and attributes of a vector file (GeoPandas), as numbers, with errors that say
on which line of the file, or which feature, a value is not one."""

from __future__ import annotations

import csv
import dataclasses
import math
import os
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from corvid.cli.errors import CommandError

# Fewer rows leave no room to tell the field from the noise.
MIN_ROWS = 10
# Files read as point layers rather than tables.
VECTOR_SUFFIXES = (".gpkg", ".geojson", ".json", ".shp", ".fgb", ".gml", ".kml", ".gpx", ".sqlite")


@dataclasses.dataclass
class Table:
    """The columns asked for (float64, one value per row; a column of labels as whole
    numbers, numbers or text, see `label_column`), where each row is in the file
    (`where(i)`: "line 12", or "feature 3"), and for a vector file its points (x, y) and
    CRS."""

    columns: Dict[str, np.ndarray]
    rows: int
    places: List[str]
    xy: Optional[np.ndarray] = None
    crs: Any = None

    def where(self, rows: np.ndarray, shown: int = 5) -> str:
        """The places of the given rows, e.g. "lines 4, 9 and 2 more"."""
        first = [self.places[int(r)] for r in rows[:shown]]
        noun = first[0].split()[0]
        words = ", ".join(p.split()[1] for p in first)
        more = f" and {len(rows) - shown} more" if len(rows) > shown else ""
        return f"{noun}{'s' if len(rows) > 1 else ''} {words}{more}"


def is_vector_file(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in VECTOR_SUFFIXES


def read_table(path: str, names: Sequence[str], labels: Sequence[str] = ()) -> Table:
    """The named columns of a CSV file with a header row, or of a vector file's attributes
    (its points then come as `xy`); `labels` are columns of labels (times, groups), the
    others numbers. CommandError for a missing or unreadable file, a missing column or one
    named twice, a value that is not a finite number or an empty label (saying where), or
    fewer than MIN_ROWS rows."""
    if not os.path.exists(path):
        raise CommandError(f"no such file: {path}")
    table = _read_vector(path, names, labels) if is_vector_file(path) else \
        _read_csv(path, names, labels)
    if table.rows < MIN_ROWS:
        raise CommandError(f"{path} has {table.rows} data row(s); at least {MIN_ROWS} are needed")
    return table


def _pandas():
    try:
        import pandas
    except ImportError:
        raise CommandError("reading data files needs pandas, which comes with the geo extra: "
                           "pip install 'corvid[geo]'") from None
    return pandas


def label_column(cells, where) -> np.ndarray:
    """A column of labels: whole numbers (int64) when every cell is one, numbers when every
    cell is one, else the cells' text; `where(row)` says where an empty cell is."""
    pd = _pandas()
    text = cells.astype(str).str.strip()
    empty = np.flatnonzero((text == "").to_numpy() | cells.isna().to_numpy())
    if empty.size:
        raise CommandError(f"{where(int(empty[0]))}: an empty cell is not a label")
    values = pd.to_numeric(text, errors="coerce").to_numpy(dtype=np.float64)
    if not np.all(np.isfinite(values)):
        return text.to_numpy(dtype=str)
    if np.all(values == np.round(values)) and np.all(np.abs(values) < 2.0 ** 53):
        return values.astype(np.int64)
    return values


def _read_csv(path: str, names: Sequence[str], labels: Sequence[str] = ()) -> Table:
    pd = _pandas()
    options = dict(dtype=str, keep_default_na=False, na_filter=False, skip_blank_lines=True,
                   encoding="utf-8-sig", skipinitialspace=True)
    try:
        first = pd.read_csv(path, header=None, nrows=1, **options)
    except pd.errors.EmptyDataError:
        raise CommandError(f"{path} is empty") from None
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError) as exc:
        raise CommandError(f"{path} is not a readable CSV file: {_first_line(exc)}") from None
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from None
    header = [str(cell).strip() for cell in first.iloc[0]]
    positions = [_position(header, name, path) for name in names]
    try:
        frame = pd.read_csv(path, header=0, usecols=sorted(set(positions)), **options)
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError) as exc:
        raise CommandError(f"{path} is not a readable CSV file: {_first_line(exc)}") from None
    rows = len(frame)
    columns = {}
    for name, at in zip(names, positions):
        cells = frame.iloc[:, sorted(set(positions)).index(at)]
        if name in labels:
            columns[name] = label_column(
                cells, lambda row, name=name: f"{path} {_line_of(path, row)}, column {name!r}")
            continue
        values = pd.to_numeric(cells, errors="coerce").to_numpy(dtype=np.float64)
        bad = ~np.isfinite(values)
        if bad.any():
            row = int(np.argmax(bad))
            raise CommandError(f"{path} {_line_of(path, row)}, column {name!r}: "
                               f"{_what(cells.iloc[row])}")
        columns[name] = values
    return Table(columns, rows, _LazyLines(path, rows))


def _read_vector(path: str, names: Sequence[str], labels: Sequence[str] = ()) -> Table:
    try:
        import geopandas
    except ImportError:
        raise CommandError("reading vector files needs the geo extra: pip install 'corvid[geo]'") from None
    try:
        frame = geopandas.read_file(path)
    except Exception as exc:  # pyogrio's and GDAL's errors have no common base
        raise CommandError(f"cannot read {path} as a vector file: {_first_line(exc)}") from None
    kinds = frame.geometry.geom_type.to_numpy()
    not_points = np.flatnonzero(kinds != "Point")
    places = [f"feature {i}" for i in range(len(frame))]
    if not_points.size:
        raise CommandError(f"{path} has features that are not points ({kinds[not_points[0]]}"
                           f" at feature {not_points[0]}): the data must be point locations")
    columns = {}
    for name in names:
        if name not in frame.columns:
            raise CommandError(f"{path} has no attribute {name!r} (attributes: "
                               f"{', '.join(c for c in frame.columns if c != frame.geometry.name)})")
        if name in labels:
            columns[name] = label_column(
                frame[name], lambda row, name=name: f"{path} feature {row}, attribute {name!r}")
            continue
        values = np.asarray(_pandas().to_numeric(frame[name], errors="coerce"), dtype=np.float64)
        bad = np.flatnonzero(~np.isfinite(values))
        if bad.size:
            raise CommandError(f"{path} feature {bad[0]}, attribute {name!r}: "
                               f"{_what(frame[name].iloc[bad[0]])}")
        columns[name] = values
    xy = np.column_stack([frame.geometry.x.to_numpy(), frame.geometry.y.to_numpy()])
    bad = np.flatnonzero(~np.isfinite(xy).all(axis=1))
    if bad.size:
        raise CommandError(f"{path} feature {bad[0]} has no finite coordinates")
    return Table(columns, len(frame), places, xy, frame.crs)


class _LazyLines(list):
    """The line where each row starts, found only when a message needs one: pandas does
    not keep them, and a quoted cell may hold line breaks."""

    def __init__(self, path: str, rows: int) -> None:
        super().__init__()
        self.path, self.rows = path, rows

    def __len__(self) -> int:
        return self.rows

    def __getitem__(self, row):
        return _line_of(self.path, int(row))


def _line_of(path: str, row: int) -> str:
    """'line N' where the row-th data row (blank lines not counted) starts."""
    with open(path, newline="", encoding="utf-8-sig", errors="replace") as handle:
        reader = csv.reader(handle)
        next(reader, None)
        seen = -1
        while True:
            start = reader.line_num + 1
            record = next(reader, None)
            if record is None:
                return f"line {start}"
            if any(cell.strip() for cell in record):
                seen += 1
                if seen == row:
                    return f"line {start}"


def _what(cell) -> str:
    text = "" if cell is None or (isinstance(cell, float) and math.isnan(cell)) else str(cell).strip()
    if not text:
        return "an empty cell is not a number"
    try:
        float(text)
    except ValueError:
        return f"{text!r} is not a number"
    return f"{text!r} is not a finite number"


def _position(header: List[str], name: str, path: str) -> int:
    found = [i for i, column in enumerate(header) if column == name]
    if not found:
        raise CommandError(f"{path} has no column {name!r} (columns: {', '.join(header)})")
    if len(found) > 1:
        places = ", ".join(str(i + 1) for i in found)
        raise CommandError(f"{path} has {len(found)} columns named {name!r} (columns {places} "
                           "of the header): rename them so that each name says which one")
    return found[0]


def _first_line(exc: BaseException) -> str:
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__

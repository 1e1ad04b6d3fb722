"""Reading a user's data for the fit command: the named columns of a CSV file (pandas) or
the points (or polygons, at points inside them) and attributes of a vector file's layer
(GeoPandas), as numbers, with errors that say on which line of the file, or which
feature, a value is not one.

A file that is not a regular one (a pipe: /dev/stdin, /dev/fd/N) is read once, into
memory, and parsed from there."""

from __future__ import annotations

import csv
import dataclasses
import io
import math
import os
import stat
import sys
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple, Union

import numpy as np

from corvid.cli.errors import CommandError, first_line
from corvid.cli.layers import vector_layer

# Fewer rows leave no room to tell the field from the noise.
MIN_ROWS = 10
# Files read as point layers rather than tables.
VECTOR_SUFFIXES = (".gpkg", ".geojson", ".json", ".shp", ".fgb", ".gml", ".kml", ".gpx", ".sqlite")
# Geometries whose representative points --centroids takes.
AREAS = ("Polygon", "MultiPolygon")

Source = Union[str, bytes]  # a path read as often as needed, or a pipe's bytes


@dataclasses.dataclass
class Table:
    """The columns asked for (float64, one value per row; a column of labels as whole
    numbers, numbers or text, see `label_column`), the locations `xy` (the
    coordinate columns, or the features' points), where each row is in the file
    (`where(i)`: "line 12", or "feature 3"), the file's CRS (None for a CSV file) and the
    names of the coordinates for messages (the columns, or longitude/latitude-free "x",
    "y" of a geometry)."""

    columns: Dict[str, np.ndarray]
    rows: int
    places: Sequence[str]
    xy: np.ndarray
    crs: Any = None
    coordinates: Tuple[str, str] = ("x", "y")
    from_columns: bool = True
    areas: Any = None  # with --centroids: the features' polygons (a GeoSeries, with its CRS)

    def where(self, rows: np.ndarray, shown: int = 5) -> str:
        """The places of the given rows, e.g. "lines 4, 9 and 2 more"."""
        rows = np.atleast_1d(rows)
        first = [self.places[int(r)] for r in rows[:shown]]
        noun = first[0].split()[0]
        words = ", ".join(p.split()[1] for p in first)
        more = f" and {len(rows) - shown} more" if len(rows) > shown else ""
        return f"{noun}{'s' if len(rows) > 1 else ''} {words}{more}"


def is_vector_file(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in VECTOR_SUFFIXES


def read_table(path: str, names: Sequence[str], coordinates: Tuple[Optional[str], Optional[str]] = (None, None),
               *, layer: Optional[str] = None, centroids: bool = False,
               labels: Sequence[str] = (), ordered: Sequence[str] = ()) -> Table:
    """The named columns of a CSV file with a header row, or of a vector file's attributes,
    with the locations: the `coordinates` columns (x, y) of a CSV file or of a vector
    layer without geometry, else the layer's points (with `centroids`, a point inside
    each polygon). The `labels` among the names are columns of labels (times, groups), the
    others numbers; the `ordered` labels (times) are put in order, so they may not mix
    numbers with text (see `label_column`). CommandError for a missing or unreadable file,
    a missing column or one named twice, a row with more cells than the header, a value
    that is not a finite number, an empty or missing label (saying where), geometries that
    are not points, or fewer than MIN_ROWS rows."""
    if path != "-" and not os.path.exists(path):
        raise CommandError(f"no such file: {path}")
    if os.path.isdir(path):
        raise CommandError(f"{path} is a directory, not a data file")
    if is_vector_file(path):
        table = _read_vector(path, names, coordinates, layer, centroids, labels, ordered)
    else:
        if layer is not None:
            raise CommandError(f"--layer applies to vector files with layers; {path} is read as a CSV file")
        if centroids:
            raise CommandError(f"--centroids applies to vector files of polygons; {path} is read as a CSV file")
        x, y = coordinates
        if x is None or y is None:
            raise CommandError("a CSV file needs --x and --y, the columns of the coordinates")
        table = _read_csv(path, names, (x, y), labels, ordered)
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


# Cells that mark a missing value rather than name a label: NumPy's and pandas' NaN and NaT,
# R's NA, spreadsheets' N/A and #N/A, databases' NULL.
MISSING_MARKERS = frozenset({"nan", "nat", "na", "n/a", "#n/a", "null", "<na>"})


def label_column(cells, where, ordered: bool = False) -> np.ndarray:
    """A column of labels: whole numbers (int64) when every cell is one, numbers when every
    cell is one, else the cells' text; `where(row)` says where a cell is. An empty cell, or
    one that marks a missing value (MISSING_MARKERS), is refused. Labels that are not
    `ordered` (groups) stay text where numbers would merge distinct cells ("1.1" and "1.10",
    "007" and "7"). `ordered`: the labels are put in order (time steps), so a column that
    mixes numbers with text is refused too: as text, "10" would come before "9" and a stray
    "x" after both."""
    pd = _pandas()
    text = cells.astype(str).str.strip()
    empty = np.flatnonzero((text == "").to_numpy() | cells.isna().to_numpy())
    if empty.size:
        raise CommandError(f"{where(int(empty[0]))}: an empty cell is not a label")
    missing = np.flatnonzero(text.str.lower().str.lstrip("+-").isin(MISSING_MARKERS).to_numpy())
    if missing.size:
        raise CommandError(f"{where(int(missing[0]))}: {text.iloc[missing[0]]!r} marks a missing "
                           f"value, not a label")
    values = pd.to_numeric(text, errors="coerce").to_numpy(dtype=np.float64)
    finite = np.isfinite(values)
    if not np.all(finite):
        if ordered and np.any(finite):
            number, other = int(np.argmax(finite)), int(np.argmin(finite))
            raise CommandError(f"{where(other)}: {text.iloc[other]!r} is not a finite number, though "
                               f"other cells are numbers (such as {text.iloc[number]!r}): time "
                               f"steps are put in order as numbers or as text, not both")
        return text.to_numpy(dtype=str)
    if not ordered and np.unique(values).size < text.nunique():
        return text.to_numpy(dtype=str)
    if np.all(values == np.round(values)) and np.all(np.abs(values) < 2.0 ** 53):
        return values.astype(np.int64)
    return values


# ---- CSV files ---------------------------------------------------------------------------

CSV_OPTIONS = dict(dtype=str, keep_default_na=False, na_filter=False, skip_blank_lines=True,
                   encoding="utf-8-sig", skipinitialspace=True)


def _source(path: str) -> Source:
    """The path of a regular file; the bytes of anything else (a pipe can be read once),
    standard input's for "-"."""
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        if stat.S_ISREG(os.stat(path).st_mode):
            return path
        with open(path, "rb") as handle:
            return handle.read()
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from None


def _binary(source: Source):
    return io.BytesIO(source) if isinstance(source, bytes) else source


def _read_csv(path: str, names: Sequence[str], coordinates: Tuple[str, str],
              labels: Sequence[str] = (), ordered: Sequence[str] = ()) -> Table:
    pd = _pandas()
    source = _source(path)
    wanted = [*coordinates, *(name for name in names if name not in labels)]
    try:
        first = pd.read_csv(_binary(source), header=None, nrows=1, **CSV_OPTIONS)
    except pd.errors.EmptyDataError:
        raise CommandError(f"{path} is empty") from None
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError) as exc:
        raise CommandError(f"{path} is not a readable CSV file: {first_line(exc)}") from None
    except OSError as exc:
        raise CommandError(f"cannot read {path}: {exc.strerror or exc}") from None
    header = [str(cell).strip() for cell in first.iloc[0]]
    positions = [_position(header, name, path) for name in wanted]
    width = len(header)
    used = sorted(set(positions))
    if _may_have_long_rows(source, width):
        _refuse_long_rows(source, path, width)
    found = _numbers(pd, source, width, used)
    if found is None:  # something to refuse, or a header with quotes: text, cell by cell
        found = _checked_numbers(pd, source, path, width, used, dict(zip(positions, wanted)))
    columns = {name: found[at] for name, at in zip(wanted, positions)}
    if labels:
        at = [_position(header, name, path) for name in labels]
        cells = _cells(pd, source, path, width, sorted(set(at)))
        for name, position in zip(labels, at):
            columns[name] = label_column(
                cells[position], lambda row, name=name: f"{path} {_line_of(source, row)}, column {name!r}",
                ordered=name in ordered)
    rows = len(columns[wanted[0]])
    xy = np.column_stack([columns[coordinates[0]], columns[coordinates[1]]])
    return Table(columns, rows, _LazyLines(source, rows), xy, None, coordinates, True)


def _numbers(pd, source: Source, width: int, used: List[int]) -> Optional[Dict[int, np.ndarray]]:
    """{position: values} of the used columns when every cell is a finite number and no
    row has a cell beyond the header's; None otherwise (or when the header holds quotes).
    pandas parses the numbers itself, ten times faster than text converted afterwards."""
    padded = _padded(source, width)
    if padded is None:
        return None
    try:  # a cell beyond the header's that is no number fails the reading: text is read then
        with padded:
            frame = pd.read_csv(padded, header=0, names=list(range(width + 1)), usecols=[*used, width],
                                dtype=np.float64, skip_blank_lines=True, encoding="utf-8-sig",
                                skipinitialspace=True, keep_default_na=False, na_values=[""])
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError, TypeError):
        return None
    frame = frame.iloc[1:]  # the made-up row
    if frame[width].notna().any():
        return None
    values = {at: frame[at].to_numpy(dtype=np.float64) for at in used}
    if not all(np.isfinite(v).all() for v in values.values()):
        return None
    return values


def _checked_numbers(pd, source: Source, path: str, width: int, used: List[int],
                     names: Dict[int, str]) -> Dict[int, np.ndarray]:
    """{position: values} of the used columns read as text, refusing the first row with a
    cell beyond the header's and the first cell that is not a finite number, by line."""
    frame = _cells(pd, source, path, width, used)
    found = {}
    for at in used:
        cells = frame[at]
        values = pd.to_numeric(cells, errors="coerce").to_numpy(dtype=np.float64)
        bad = ~np.isfinite(values)
        if bad.any():
            row = int(np.argmax(bad))
            raise CommandError(f"{path} {_line_of(source, row)}, column {names[at]!r}: "
                               f"{_what(cells.iloc[row])}")
        found[at] = values
    return found


def _cells(pd, source: Source, path: str, width: int, used: List[int]):
    """The used columns' cells as text (columns named by position), refusing a row with a
    cell beyond the header's `width` columns, which pandas' usecols would drop unseen.

    pandas reads one column more than the header names, through a stream with a made-up
    first row of width + 1 cells (so that the column exists however clean the file is);
    a row with two or more cells beyond makes pandas fail, and the csv module then finds
    its line. A header with a quoted line break is read without the made-up row, and the
    whole file is scanned by the csv module."""
    padded = _padded(source, width)
    try:
        if padded is None:
            frame = pd.read_csv(_binary(source), header=0, usecols=used, names=list(range(width)),
                                **CSV_OPTIONS)
            _refuse_long_rows(source, path, width)
            return frame
        with padded:
            frame = pd.read_csv(padded, header=0, names=list(range(width + 1)),
                                usecols=[*used, width], **CSV_OPTIONS).iloc[1:]
    except (pd.errors.ParserError, UnicodeDecodeError, ValueError) as exc:
        _refuse_long_rows(source, path, width)
        raise CommandError(f"{path} is not a readable CSV file: {first_line(exc)}") from None
    beyond = (frame[width].str.strip() != "").to_numpy()
    if beyond.any():
        _refuse_long_rows(source, path, width)  # with every cell beyond the header's
        row = int(np.argmax(beyond))
        _refuse_long_row(path, _line_of(source, row), width, [frame[width].iloc[row]])
    return frame.reset_index(drop=True)


class _Chain(io.RawIOBase):
    """The bytes `head`, then the rest of a binary file."""

    def __init__(self, head: bytes, rest) -> None:
        super().__init__()
        self.head, self.rest = memoryview(head), rest

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if len(self.head):
            n = min(len(buffer), len(self.head))
            buffer[:n] = self.head[:n]
            self.head = self.head[n:]
            return n
        return self.rest.readinto(buffer)

    def close(self) -> None:
        self.rest.close()
        super().close()


def _padded(source: Source, width: int):
    """The file with a row of width + 1 empty-looking cells after its header line, as a
    binary stream; None when the header line holds a quote (it may span lines)."""
    handle = _binary(source) if isinstance(source, bytes) else open(source, "rb")
    head = b""
    while not head.strip():  # pandas skips blank lines before the header too
        line = handle.readline()
        if not line:
            break
        head += line
    if b'"' in head:
        handle.close()
        return None
    if not head.endswith(b"\n"):
        head += b"\n"
    return io.BufferedReader(_Chain(head + b"0," * width + b"0\n", handle), 1 << 20)


SCAN_BLOCK = 1 << 24   # bytes of the file looked at at once for cells beyond the header


def _may_have_long_rows(source: Source, width: int) -> bool:
    """Whether some line may have a filled cell beyond the header's `width` columns.

    pandas' usecols drops such cells unseen wherever they stand ("1,2,3,,7" included), so
    every line's commas are counted, by blocks of the file in NumPy; only the few lines with
    more than width - 1 of them are looked at in Python (trailing empty cells, as
    spreadsheets write them, are no fault). A file with quotes, where a comma may sit in a
    cell, is left to the csv module's scan: True."""
    handle = _binary(source) if isinstance(source, bytes) else open(source, "rb")
    with handle:
        carry = b""
        while True:
            block = handle.read(SCAN_BLOCK)
            data = carry + block
            if b'"' in data:
                return True
            end = data.rfind(b"\n") + 1 if block else len(data)
            lines, carry = data[:end], data[end:]
            if _long_lines(lines, width):
                return True
            if not block:
                return False


def _long_lines(data: bytes, width: int) -> bool:
    """Whether a line of `data` (whole lines) has a filled cell beyond `width` columns."""
    codes = np.frombuffer(data, dtype=np.uint8)
    breaks = np.flatnonzero(codes == ord("\n"))
    starts = np.r_[0, breaks + 1]
    ends = np.r_[breaks, codes.size]
    commas = np.flatnonzero(codes == ord(","))
    counts = np.searchsorted(commas, ends) - np.searchsorted(commas, starts)
    for line in np.flatnonzero(counts > width - 1):
        cells = data[starts[line]:ends[line]].split(b",")
        if any(cell.strip() for cell in cells[width:]):
            return True
    return False


def _refuse_long_row(path: str, where: str, width: int, beyond: List[str]) -> None:
    shown = ", ".join(repr(c.strip()) for c in beyond[:3]) + (", ..." if len(beyond) > 3 else "")
    raise CommandError(f"{path} {where} has more cells than the {width} columns its header "
                       f"names ({shown} beyond them): remove them, or name them in the header")


def _refuse_long_rows(source: Source, path: str, width: int) -> None:
    """Refuses the first row with a cell beyond the header's columns, if there is one."""
    for line, record in _records(source):
        if len(record) > width and any(cell.strip() for cell in record[width:]):
            _refuse_long_row(path, f"line {line}", width, record[width:])


def _records(source: Source):
    """(line where it starts, cells) of each data row, as pandas counts rows: blank lines
    (nothing but spaces) are no rows, a line of empty cells (",,") is one."""
    handle: TextIO
    if isinstance(source, bytes):
        handle = io.TextIOWrapper(io.BytesIO(source), encoding="utf-8-sig", errors="replace", newline="")
    else:
        handle = open(source, newline="", encoding="utf-8-sig", errors="replace")
    def filled(record) -> bool:
        return len(record) > 1 or bool(record and record[0].strip())

    with handle:
        reader = csv.reader(handle, skipinitialspace=True)
        header = next(reader, None)
        while header is not None and not filled(header):  # blank lines before the header
            header = next(reader, None)
        while True:
            start = reader.line_num + 1
            record = next(reader, None)
            if record is None:
                return
            if filled(record):
                yield start, record


class _LazyLines(list):
    """The line where each row starts, found only when a message needs one: pandas does
    not keep them, and a quoted cell may hold line breaks."""

    def __init__(self, source: Source, rows: int) -> None:
        super().__init__()
        self.source, self.rows = source, rows

    def __len__(self) -> int:
        return self.rows

    def __getitem__(self, row):
        return _line_of(self.source, int(row))


def _line_of(source: Source, row: int) -> str:
    """'line N' where the row-th data row starts."""
    line = 1
    for seen, (line, _) in enumerate(_records(source)):
        if seen == row:
            return f"line {line}"
    return f"line {line + 1}"


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


# ---- vector files ------------------------------------------------------------------------


def _read_vector(path: str, names: Sequence[str], coordinates: Tuple[Optional[str], Optional[str]],
                 layer: Optional[str], centroids: bool, labels: Sequence[str] = (),
                 ordered: Sequence[str] = ()) -> Table:
    try:
        import geopandas
    except ImportError:
        raise CommandError("reading vector files needs the geo extra: pip install 'corvid[geo]'") from None
    chosen = vector_layer(path, layer, "--layer", "the data")
    has_geometry = chosen.geometry is not None
    given = [c for c in coordinates if c is not None]
    if has_geometry and given:
        raise CommandError(f"--x and --y name the coordinate columns of a table; the features of "
                           f"{chosen} are {chosen.geometry} geometries, which give the locations: "
                           "leave --x and --y out")
    if not has_geometry and len(given) < 2:
        attributes = ", ".join(chosen.fields) or "none"
        raise CommandError(f"{chosen} has no geometry, only attributes ({attributes}): give --x "
                           "and --y, the attributes that hold the coordinates")
    try:
        frame = geopandas.read_file(path, layer=chosen.name)
    except Exception as exc:  # pyogrio's and GDAL's errors have no common base
        raise CommandError(f"cannot read {chosen} as a vector file: {first_line(exc)}") from None
    places = [f"feature {i}" for i in range(len(frame))]
    xy = _locations(frame.geometry, chosen, centroids) if has_geometry else None
    wanted = [*given, *names]
    columns = {}
    for name in wanted:
        if name not in frame.columns or (has_geometry and name == frame.geometry.name):
            raise CommandError(f"{chosen} has no attribute {name!r} (attributes: "
                               f"{', '.join(chosen.fields) or 'none'})")
        if name in labels:
            columns[name] = label_column(
                frame[name], lambda row, name=name: f"{chosen} feature {row}, attribute {name!r}",
                ordered=name in ordered)
            continue
        values = np.asarray(_pandas().to_numeric(frame[name], errors="coerce"), dtype=np.float64)
        bad = np.flatnonzero(~np.isfinite(values))
        if bad.size:
            raise CommandError(f"{chosen} feature {bad[0]}, attribute {name!r}: "
                               f"{_what(frame[name].iloc[bad[0]])}")
        columns[name] = values
    if xy is None:
        xy = np.column_stack([columns[given[0]], columns[given[1]]])
        return Table(columns, len(frame), places, xy, None, (given[0], given[1]), True)
    return Table(columns, len(frame), places, xy, frame.crs, ("x", "y"), False,
                 frame.geometry if centroids else None)


def _locations(geometry, chosen, centroids: bool) -> np.ndarray:
    """The points of a layer's features; with `centroids`, a point inside each polygon
    (shapely's point on surface, inside even a crescent, where the centroid may not be)."""
    import shapely

    values = np.asarray(geometry.values, dtype=object)
    missing = np.flatnonzero([g is None or g.is_empty for g in values])
    if missing.size:
        raise CommandError(f"{chosen} feature {missing[0]} has no geometry: every feature needs "
                           "its location")
    kinds = shapely.get_type_id(values)
    point, areas = shapely.GeometryType.POINT, (shapely.GeometryType.POLYGON, shapely.GeometryType.MULTIPOLYGON)
    allowed = (kinds == point) | (np.isin(kinds, areas) if centroids else False)
    wrong = np.flatnonzero(~allowed)
    if wrong.size:
        kind = values[wrong[0]].geom_type
        if kind in AREAS:
            raise CommandError(f"the features of {chosen} are polygons ({kind} at feature "
                               f"{wrong[0]}): the data must be point locations; --centroids "
                               "fits each polygon's value at a point inside it (areal data "
                               "taken as point-referenced)")
        need = "points or polygons" if centroids else "point locations"
        raise CommandError(f"{chosen} has features that are not {need} ({kind} at feature "
                           f"{wrong[0]}): the data must be {need}")
    if centroids:
        values = shapely.point_on_surface(values)
    xy = shapely.get_coordinates(values)
    bad = np.flatnonzero(~np.isfinite(xy).all(axis=1))
    if bad.size:
        raise CommandError(f"{chosen} feature {bad[0]} has no finite coordinates")
    return xy

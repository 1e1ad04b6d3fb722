"""Reading matrices back from the mesher's binary matrix files (the model files' format).

A file holds one matrix: a length word (8), eight int32 header words (version, elems,
nrow, ncol, datatype, valuetype, matrixtype, storagetype) and a body, all in native byte
order. Dense bodies (datatype 0) hold nrow * ncol values column by column; sparse bodies
(datatype 1) hold elems row indices, elems column indices and elems values. Values are
int32 (valuetype 0) or float64 (valuetype 1). A diagonal matrix (matrixtype 2) is a
sparse body whose triplets are (k, k, value k).

`read_meshkin_file` gives the matrix, `read_meshkin_entries` the raw triplets in file
order and `read_meshkin_header` the header alone. Malformed files raise `ValueError`.
"""

from __future__ import annotations

import os
import stat
from io import BufferedReader
from typing import NamedTuple, Optional, Union

import numpy as np
from scipy import sparse

__all__ = ["MeshkinHeader", "MeshkinEntries", "read_meshkin_header",
           "read_meshkin_entries", "read_meshkin_file"]

HEADER_WORDS = 8
HEADER_BYTES = 4 * (1 + HEADER_WORDS)

_INT = np.dtype("=i4")
_FLOAT = np.dtype("=f8")

DENSE, SPARSE = 0, 1
GENERAL, DIAGONAL = 0, 2
COLUMN_MAJOR = 1


class MeshkinHeader(NamedTuple):
    """The eight header words of a matrix file."""

    version: int
    elems: int
    nrow: int
    ncol: int
    datatype: int
    valuetype: int
    matrixtype: int
    storagetype: int

    @property
    def value_dtype(self) -> np.dtype:
        return _INT if self.valuetype == 0 else _FLOAT

    def body_bytes(self) -> int:
        """Length of the body that this header announces."""
        index_bytes = 0 if self.datatype == DENSE else 2 * _INT.itemsize * self.elems
        return index_bytes + self.value_dtype.itemsize * self.elems


class MeshkinEntries(NamedTuple):
    """A file's contents as stored: `values` in file order; `rows`, `cols` None when dense."""

    header: MeshkinHeader
    rows: Optional[np.ndarray]
    cols: Optional[np.ndarray]
    values: np.ndarray


def _malformed(path, why: str) -> ValueError:
    return ValueError(f"{os.fsdecode(path)!s}: not a meshkin matrix file: {why}")


def _read_header(f: BufferedReader, path) -> MeshkinHeader:
    raw = f.read(HEADER_BYTES)
    if len(raw) < 4:
        raise _malformed(path, f"file is {len(raw)} bytes long, too short for the length word")
    words = np.frombuffer(raw[: 4 * (len(raw) // 4)], dtype=_INT)
    if words[0] != HEADER_WORDS:
        raise _malformed(path, f"header length word is {words[0]}, expected {HEADER_WORDS}")
    if len(raw) < HEADER_BYTES:
        raise _malformed(path, f"header truncated at {len(raw)} of {HEADER_BYTES} bytes")
    header = MeshkinHeader(*(int(w) for w in words[1:]))

    checks = [
        (header.version == 0, f"version {header.version}, expected 0"),
        (header.datatype in (DENSE, SPARSE), f"unknown datatype {header.datatype}"),
        (header.valuetype in (0, 1), f"unknown valuetype {header.valuetype}"),
        (header.matrixtype in (GENERAL, DIAGONAL), f"unknown matrixtype {header.matrixtype}"),
        (header.storagetype == COLUMN_MAJOR, f"unknown storagetype {header.storagetype}"),
        (min(header.elems, header.nrow, header.ncol) >= 0,
         f"negative count in elems={header.elems}, nrow={header.nrow}, ncol={header.ncol}"),
    ]
    for ok, why in checks:
        if not ok:
            raise _malformed(path, why)
    if header.datatype == DENSE and header.matrixtype != GENERAL:
        raise _malformed(path, "a dense body must hold a general matrix")
    if header.datatype == DENSE and header.elems != header.nrow * header.ncol:
        raise _malformed(path, f"dense elems={header.elems} is not nrow * ncol = "
                               f"{header.nrow} * {header.ncol}")
    if header.matrixtype == DIAGONAL and not header.elems == header.nrow == header.ncol:
        raise _malformed(path, f"diagonal matrix needs elems = nrow = ncol, got "
                               f"{header.elems}, {header.nrow}, {header.ncol}")
    return header


def _read_array(f: BufferedReader, dtype: np.dtype, count: int, path) -> np.ndarray:
    out = np.empty(count, dtype=dtype)
    got = f.readinto(out.data.cast("B"))
    if got != out.nbytes:
        raise _malformed(path, "body is truncated")
    return out


def _check_size(f: BufferedReader, expected: int, path) -> None:
    """Compare a regular file's size with the header before allocating for the body."""
    st = os.fstat(f.fileno())
    if not stat.S_ISREG(st.st_mode):
        return
    if st.st_size < expected:
        raise _malformed(path, f"body is truncated: file has {st.st_size} bytes, "
                               f"header announces {expected}")
    if st.st_size > expected:
        raise _malformed(path, f"{st.st_size - expected} trailing bytes after the body")


def read_meshkin_header(path: Union[str, os.PathLike]) -> MeshkinHeader:
    """The eight header words of the file at `path` (checked, the body is not read)."""
    with open(path, "rb") as f:
        return _read_header(f, path)


def read_meshkin_entries(path: Union[str, os.PathLike]) -> MeshkinEntries:
    """Header and body of the file at `path` as stored, duplicates and zeros included.

    Dense: `values` is the flat column-major body. Sparse and diagonal: `rows`, `cols`
    (int32) and `values` are the triplets in file order. Raises `ValueError` for a body
    that is shorter or longer than the header announces, indices outside the shape, or a
    diagonal file whose indices are not 0, 1, ..., n-1.
    """
    with open(path, "rb") as f:
        header = _read_header(f, path)
        _check_size(f, HEADER_BYTES + header.body_bytes(), path)
        rows = cols = np.empty(0, dtype=_INT)
        if header.datatype == SPARSE:
            rows = _read_array(f, _INT, header.elems, path)
            cols = _read_array(f, _INT, header.elems, path)
        values = _read_array(f, header.value_dtype, header.elems, path)
        if f.read(1):
            raise _malformed(path, "trailing bytes after the body")
    if header.datatype == DENSE:
        return MeshkinEntries(header, None, None, values)

    for name, index, bound in (("row", rows, header.nrow), ("column", cols, header.ncol)):
        bad = np.flatnonzero((index < 0) | (index >= bound))
        if bad.size:
            raise _malformed(path, f"{name} index {index[bad[0]]} of entry {bad[0]} "
                                   f"outside 0..{bound - 1}")
    if header.matrixtype == DIAGONAL:
        diagonal = np.arange(header.elems, dtype=_INT)
        if not (np.array_equal(rows, diagonal) and np.array_equal(cols, diagonal)):
            raise _malformed(path, "diagonal matrix with indices other than 0, 1, ..., n-1")
    return MeshkinEntries(header, rows, cols, values)


def read_meshkin_file(path: Union[str, os.PathLike]) -> Union[np.ndarray, sparse.csr_matrix]:
    """The matrix stored in the file at `path`.

    - dense file: an ndarray of shape (nrow, ncol) (Fortran-ordered, as stored);
    - sparse general file: a `scipy.sparse.csr_matrix` of shape (nrow, ncol). Building it
      sums triplets at the same position and keeps stored zeros; use
      `read_meshkin_entries` to see the triplets one by one;
    - diagonal file: the 1-D ndarray of the n diagonal values, the form in which such
      a matrix is written.

    Values are int32 or float64, as stored. Malformed files raise `ValueError`.
    """
    header, rows, cols, values = read_meshkin_entries(path)
    if header.datatype == DENSE:
        return values.reshape((header.nrow, header.ncol), order="F")
    if header.matrixtype == DIAGONAL:
        return values
    return sparse.csr_matrix((values, (rows, cols)), shape=(header.nrow, header.ncol))

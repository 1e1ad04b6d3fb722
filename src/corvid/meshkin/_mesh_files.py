"""Triangles in and out of common mesh files (VTK, VTU, Gmsh .msh, ...) through meshio."""

from __future__ import annotations

import contextlib
import errno
import io
import os

import numpy as np


def _meshio():
    try:
        import meshio
    except ImportError as exc:
        raise ImportError("reading and writing mesh files needs the 'meshio' package, which comes "
                          "with the mesh extra: pip install 'corvid[mesh]'") from exc
    return meshio


def read_triangles(path, file_format=None) -> tuple[np.ndarray, np.ndarray]:
    """Vertices (n x 2, or n x 3 unless every z is 0) and triangles of a mesh file.

    Cells of other types are left out, and so are the vertices no triangle uses (Gmsh, for
    one, writes the centres of its circle arcs); the rest keep their order.
    """
    meshio = _meshio()
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError(errno.ENOENT, "no such mesh file", path)
    said = io.StringIO()
    try:
        with contextlib.redirect_stdout(said), contextlib.redirect_stderr(said):
            data = meshio.read(path, file_format=file_format)
    except SystemExit:  # meshio ends the program when no reader accepts the file
        detail = " ".join(said.getvalue().split())
        raise ValueError(f"cannot read {path} as a mesh file: {detail}") from None
    except OSError:
        raise
    except Exception as exc:  # a reader meeting bytes it does not expect may raise anything
        raise ValueError(f"cannot read {path} as a mesh file: {type(exc).__name__}: {exc}") from None

    blocks = [np.asarray(c.data) for c in data.cells if c.type == "triangle"]
    if not blocks:
        kinds = sorted({c.type for c in data.cells})
        raise ValueError(f"{path} holds no triangles (its cells: {', '.join(kinds) or 'none'})")
    tv = np.concatenate(blocks).astype(np.int64)
    loc = np.asarray(data.points, dtype=np.float64)
    if loc.ndim == 2 and loc.shape[1] == 3 and not np.any(loc[:, 2]):
        loc = loc[:, :2]
    if tv.size and (tv.min() < 0 or tv.max() >= len(loc)):
        raise ValueError(f"{path}: a triangle refers to a vertex outside 0..{len(loc) - 1}")
    used = np.zeros(len(loc), dtype=bool)
    used[tv.ravel()] = True
    renumber = np.cumsum(used) - 1
    return loc[used], renumber[tv]


def write_triangles(path, loc: np.ndarray, tv: np.ndarray, file_format=None) -> None:
    """Write vertices and triangles; the format follows the file's extension unless given."""
    meshio = _meshio()
    path = os.fspath(path)
    # Several formats (OBJ, PLY, VTK) want three coordinates.
    points = loc if loc.shape[1] == 3 else np.column_stack([loc, np.zeros(len(loc))])
    if len(loc) <= np.iinfo(np.int32).max:  # PLY and others store 32-bit indices only
        tv = tv.astype(np.int32)
    try:
        meshio.write_points_cells(path, points, [("triangle", tv)], file_format=file_format)
    except OSError:
        raise
    except Exception as exc:  # meshio reports an unknown format as a ReadError, among others
        raise ValueError(f"cannot write {path}: {exc}") from None

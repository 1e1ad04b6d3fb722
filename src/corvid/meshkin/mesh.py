"""Triangular meshes (`MkMesh`) and the finite-element matrices assembled on them (`MkFEM`).

A mesh is a list of vertex coordinates `loc` (n x 2, or n x 3 for a surface in space) and
a list of triangles `tv` (m x 3 vertex indices, 0-based). Both arrays are owned by the mesh
and read-only, so the vertex count `n` always matches `loc`.
"""

from __future__ import annotations

import dataclasses
import os
from typing import Any, Optional, Sequence, Tuple

import numpy as np
from scipy import sparse
from scipy.spatial import Delaunay

__all__ = ["MkMesh", "MkFEM"]


def _as_coordinates(loc) -> np.ndarray:
    loc = np.asarray(loc)
    if loc.dtype.kind not in "iuf":
        raise ValueError(f"loc must hold real coordinates, got an array of dtype {loc.dtype}")
    if loc.ndim != 2 or loc.shape[1] not in (2, 3):
        raise ValueError(f"loc must have shape (n, 2) or (n, 3), got {loc.shape}")
    loc = np.array(loc, dtype=np.float64, order="C")
    bad = np.flatnonzero(~np.isfinite(loc).all(axis=1))
    if bad.size:
        raise ValueError(f"loc has non-finite coordinates at vertex {bad[0]}")
    return loc


def _as_triangles(tv, n: int) -> np.ndarray:
    tv = np.asarray(tv)
    if tv.size == 0 and tv.ndim <= 2:  # [] is a float array: a mesh without triangles
        tv = np.empty((0, 3), dtype=np.int64)
    if tv.dtype.kind not in "iu":
        raise ValueError(f"tv must hold integer vertex indices, got an array of dtype {tv.dtype}")
    if tv.ndim != 2 or tv.shape[1] != 3:
        raise ValueError(f"tv must have shape (m, 3), got {tv.shape}")
    outside = np.flatnonzero(((tv < 0) | (tv >= n)).any(axis=1))
    if outside.size:
        k = outside[0]
        raise ValueError(
            f"triangle {k} refers to vertex {tv[k].tolist()} outside 0..{n - 1}"
            if n else f"triangle {k} refers to vertices but the mesh has none")
    tv = np.array(tv, dtype=np.int64, order="C")
    repeated = np.flatnonzero((tv[:, 0] == tv[:, 1]) | (tv[:, 1] == tv[:, 2]) | (tv[:, 0] == tv[:, 2]))
    if repeated.size:
        k = repeated[0]
        raise ValueError(f"triangle {k} repeats a vertex: {tv[k].tolist()}")
    return tv


def _read_only(a: np.ndarray) -> np.ndarray:
    a.setflags(write=False)
    return a


class MkMesh:
    """A triangular mesh: vertex coordinates `loc` (n x 2 or n x 3) and triangles `tv` (m x 3).

    `MkMesh(loc, tv)` copies both arrays (float64 and int64, C order, read-only) and checks
    them: `loc` must be finite with two or three columns, every triangle must name three
    distinct vertices in 0..n-1. Anything else raises `ValueError`. Triangles are not
    checked for area or orientation; `mk_fem` refuses degenerate ones.

    Builders: `MkMesh.from_points` (Delaunay triangulation of scattered points),
    `MkMesh.regular_grid` (a rectangle cut into right triangles) and `MkMesh.disk`;
    `corvid.meshkin.regions.region_mesh` meshes polygons. `MkMesh.read` and `write` move
    meshes through files of other tools (Gmsh, VTK, ...).

    `crs` is the coordinate reference system of `loc` (anything pyproj.CRS.from_user_input
    accepts, kept as given; see corvid.geo), or None for plain planar coordinates.
    """

    __slots__ = ("loc", "tv", "n", "crs")

    loc: np.ndarray
    tv: np.ndarray
    n: int
    crs: Any

    def __init__(self, loc, tv, crs=None) -> None:
        loc = _as_coordinates(loc)
        tv = _as_triangles(tv, loc.shape[0])
        self.loc = _read_only(loc)
        self.tv = _read_only(tv)
        self.n = int(loc.shape[0])
        self.crs = crs

    def __reduce__(self):
        # Rebuild through the constructor, so a copy is checked and read-only too.
        return (type(self), (self.loc, self.tv, self.crs))

    def __repr__(self) -> str:
        return f"MkMesh(n={self.n}, triangles={self.tv.shape[0]}, dim={self.loc.shape[1]})"

    @classmethod
    def read(cls, path, file_format: Optional[str] = None) -> "MkMesh":
        """Read the triangles of a mesh file in any format meshio knows (.msh, .vtk, .vtu, ...).

        The format follows the extension unless `file_format` names it (meshio's names,
        e.g. "gmsh", "vtu"). Coordinates come as x, y when every z is 0, else x, y, z.
        Cells of other types (lines, points, quads, tetrahedra) are left out, and so are
        vertices that no triangle uses; the others keep their order. Raises
        FileNotFoundError for a missing file and ValueError for a file that cannot be read
        or holds no triangles. Needs meshio (pip install 'corvid[mesh]').
        """
        from ._mesh_files import read_triangles

        loc, tv = read_triangles(path, file_format)
        try:
            return cls(loc, tv)
        except ValueError as exc:
            raise ValueError(f"{os.fspath(path)}: {exc}") from None

    def write(self, path, file_format: Optional[str] = None) -> None:
        """Write the mesh's vertices and triangles to a file, in the format its extension
        names unless `file_format` does (see `read`). Needs meshio (pip install 'corvid[mesh]')."""
        from ._mesh_files import write_triangles

        write_triangles(path, self.loc, self.tv, file_format)

    @classmethod
    def from_points(cls, points) -> "MkMesh":
        """Delaunay-triangulate scattered points in the x-y plane (a z column is kept as is).

        Vertex j of the mesh is point j. Raises `ValueError` when the points cannot be
        triangulated (fewer than three, all on a line) or when some point would not be a
        vertex (a duplicate). Zero-area triangles that the triangulation may contain along
        collinear stretches are left out: they cover nothing.
        """
        loc = _as_coordinates(points)
        try:
            tri = Delaunay(loc[:, :2])
        except (RuntimeError, ValueError) as exc:  # QhullError is a RuntimeError
            raise ValueError(f"cannot triangulate {loc.shape[0]} points: {exc}") from exc
        tv = tri.simplices.astype(np.int64)
        tv = tv[_signed_areas(loc, tv) != 0.0]
        used = np.zeros(loc.shape[0], dtype=bool)
        used[tv.ravel()] = True
        unused = np.flatnonzero(~used)
        if unused.size:
            raise ValueError(
                f"point {unused[0]} is not a vertex of the triangulation "
                f"(a duplicate of another point?); {unused.size} such point(s)")
        return cls(loc, tv)

    @classmethod
    def regular_grid(cls, xlim: Tuple[float, float], ylim: Tuple[float, float],
                     dims: Tuple[int, int]) -> "MkMesh":
        """A rectangle [xlim] x [ylim] with dims = (nx, ny) vertices along x and y.

        Vertex iy * nx + ix sits at (x[ix], y[iy]) (x varies fastest). Each grid cell is cut
        along its diagonal from lower-left to upper-right into two right triangles, listed
        counter-clockwise.
        """
        (x0, x1), (y0, y1) = map(float, xlim), map(float, ylim)
        nx, ny = (int(d) for d in dims)
        if nx < 2 or ny < 2:
            raise ValueError(f"dims must be at least (2, 2), got {tuple(dims)}")
        if not (np.isfinite([x0, x1, y0, y1]).all() and x0 < x1 and y0 < y1):
            raise ValueError(f"xlim and ylim must be finite and increasing, got {xlim}, {ylim}")
        x, y = np.linspace(x0, x1, nx), np.linspace(y0, y1, ny)
        xx, yy = np.meshgrid(x, y)
        loc = np.column_stack([xx.ravel(), yy.ravel()])
        corner = (np.arange(ny - 1)[:, None] * nx + np.arange(nx - 1)[None, :]).ravel()
        lower_left, lower_right = corner, corner + 1
        upper_left, upper_right = corner + nx, corner + nx + 1
        tv = np.concatenate([
            np.column_stack([lower_left, lower_right, upper_right]),
            np.column_stack([lower_left, upper_right, upper_left]),
        ])
        return cls(loc, tv)

    @classmethod
    def disk(cls, radius: float = 1.0, rings: int = 10,
             center: Sequence[float] = (0.0, 0.0)) -> "MkMesh":
        """A disk triangulated from concentric rings: the centre, then ring k of 6k points.

        Triangles are near-equilateral with sides about radius / rings;
        n = 1 + 3 rings (rings + 1).
        """
        radius, rings = float(radius), int(rings)
        if not (np.isfinite(radius) and radius > 0.0) or rings < 1:
            raise ValueError(f"radius must be positive and rings at least 1, got {radius}, {rings}")
        k = np.repeat(np.arange(1, rings + 1), 6 * np.arange(1, rings + 1))
        first = 3 * k * (k - 1)  # points on the rings inside ring k
        angle = 2.0 * np.pi * (np.arange(k.size) - first) / (6 * k)
        r = radius * k / rings
        loc = np.column_stack([r * np.cos(angle), r * np.sin(angle)])
        loc = np.vstack([[0.0, 0.0], loc]) + np.asarray(center, dtype=np.float64)
        return cls.from_points(loc)


def longest_edges(loc: np.ndarray, tv: np.ndarray) -> np.ndarray:
    """(m,) the longest edge of each triangle, in the x-y plane for 3-d `loc`.

    The one measure of an edge's length that `region_mesh`'s max_edge bounds and that
    corvid.fit.resolution tests. Coordinates are scaled by their extent first, so that
    squares neither overflow nor underflow.
    """
    loc = np.asarray(loc)
    if len(tv) == 0:
        return np.empty(0)
    scale = float(np.max(np.ptp(loc[:, :2], axis=0))) or 1.0
    x, y = loc[:, 0] / scale, loc[:, 1] / scale
    xs, ys = [x[tv[:, i]] for i in range(3)], [y[tv[:, i]] for i in range(3)]
    squares = [(xs[i] - xs[i - 1]) ** 2 + (ys[i] - ys[i - 1]) ** 2 for i in range(3)]
    return np.sqrt(np.maximum(np.maximum(squares[0], squares[1]), squares[2])) * scale


def _signed_areas(loc: np.ndarray, tv: np.ndarray) -> np.ndarray:
    """Twice the signed area of each triangle in the x-y plane."""
    p0, p1, p2 = (loc[tv[:, i], :2] for i in range(3))
    return (p1[:, 0] - p0[:, 0]) * (p2[:, 1] - p0[:, 1]) - (p1[:, 1] - p0[:, 1]) * (p2[:, 0] - p0[:, 0])


@dataclasses.dataclass(eq=False)
class MkFEM:
    """Linear (P1) finite-element matrices of a mesh with n vertices.

    c0: lumped mass, the diagonal of C (length n, float64): a third of the area of every
        triangle at the vertex.
    c1: consistent mass matrix (CSR, n x n); its row sums are c0.
    g1: stiffness matrix G (CSR, n x n), the integrals of grad(phi_i) . grad(phi_j).
    g2: G C0^-1 G (CSR, n x n) for order 2, None for order 1.
    """

    c0: np.ndarray
    c1: sparse.csr_matrix
    g1: sparse.csr_matrix
    g2: Optional[sparse.csr_matrix] = None

    @property
    def n(self) -> int:
        """Number of mesh vertices."""
        return int(self.c0.shape[0])

    @property
    def order(self) -> int:
        """Highest power of G held: 2 when g2 is present, else 1."""
        return 1 if self.g2 is None else 2

    def __repr__(self) -> str:
        return f"MkFEM(n={self.n}, order={self.order}, nnz(g1)={self.g1.nnz})"

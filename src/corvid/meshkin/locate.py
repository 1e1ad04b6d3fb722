"""Point location in a mesh's own triangles, and the mesh's own P1 basis at points.

`find_triangles` tells which triangle of `mesh.tv` holds each point and the point's
barycentric weights in it; `basis_matrix` is the sparse matrix of the mesh's piecewise-linear
(P1) basis functions at the points, so `basis_matrix(mesh, points) @ u` is the finite-element
field `u` at the points; `MeshGridProjector` draws such fields on a regular grid masked by the
mesh itself, holes and notches included.

Unlike `corvid.meshkin.gfield.gfield_make_A`, which interpolates on the Delaunay triangulation
of the vertices, everything here follows the mesh's own triangles: a point in a hole or beyond a
non-convex boundary lies in no triangle. Orientation tests are exact, so a point on an edge
gets exactly two weights and a point at a vertex exactly 1.0 there, whichever way it is
reached; weights keep their accuracy on triangles of any shape.

A mesh is any object with `n`, `loc` (n x 2 or n x 3; only x and y are used) and `tv`
(m x 3 vertex indices), such as `MkMesh`. Triangles may be listed either way round, but must
neither be flat nor overlap (`ValueError` names the first that does: an edge of three
triangles, a fold, a vertex inside another triangle, or else any two triangles that share
part of the plane). Triangles may touch without sharing an edge (a vertex on another's
edge, a slit, two fans meeting at a vertex).

Scale: only the ratios of coordinates count. Vertex coordinates must be finite and at most
1e150 in magnitude (orientation tests would overflow beyond); a mesh whose largest coordinate
is tiny (below 2^-100, about 1e-30) is rescaled by a power of two to about 1, exactly,
together with the points, so a mesh of size 1e-300 is located like one of size 1. A triangle
whose doubled area is below 2^-960 (about 1e-289; after that rescaling) is refused as too small
for exact floating-point arithmetic rather than taken as flat. Points may lie anywhere:
with `outside="nearest"` a point at any distance, 1e300 included, gets the boundary point
that is truly nearest (distances that tie after rounding are compared exactly).

Cost: checking the mesh takes O(n log n) at most on any mesh (a plane sweep over the
boundary edges; much less where the boundary is short), whatever the triangles' shapes;
each point takes a short walk from the one before, and the points no walk reaches are looked
up together afterwards.
"""

from __future__ import annotations

import operator
from typing import Any, Optional, Tuple, Union

import numpy as np
from scipy import sparse

from . import _locator

__all__ = ["find_triangles", "basis_matrix", "MeshGridProjector"]


def _mesh_arrays(mesh: Any) -> Tuple[np.ndarray, np.ndarray, int]:
    """The mesh's coordinates (float64, n x 2 or n x 3), triangles (int64, m x 3) and n."""
    n = operator.index(mesh.n)
    loc = np.asarray(mesh.loc)
    if loc.dtype.kind not in "biuf" or loc.ndim != 2 or loc.shape[1] not in (2, 3) \
            or loc.shape[0] != n:
        raise ValueError(f"mesh.loc must be a real array of shape ({n}, 2) or ({n}, 3), "
                         f"got shape {loc.shape} of dtype {loc.dtype}")
    tv = np.asarray(mesh.tv)
    if tv.size == 0 and tv.ndim <= 2:  # [] is a float array: a mesh without triangles
        tv = np.empty((0, 3), dtype=np.int64)
    if tv.dtype.kind not in "iu" or tv.ndim != 2 or tv.shape[1] != 3:
        raise ValueError(f"mesh.tv must be an integer array of shape (m, 3), "
                         f"got shape {tv.shape} of dtype {tv.dtype}")
    return loc.astype(np.float64, copy=False), tv.astype(np.int64, copy=False), n


def _as_points(points: Any) -> np.ndarray:
    """Points as float64 rows (x, y) or (x, y, z); one point of length 2 or 3 is one row."""
    p = np.asarray(points)
    if p.dtype.kind not in "biuf":
        raise ValueError(f"points must hold real coordinates, got an array of dtype {p.dtype}")
    if p.ndim == 1 and p.shape[0] in (2, 3):
        p = p[np.newaxis, :]
    elif p.ndim != 2 or p.shape[1] not in (2, 3):
        raise ValueError("points must have shape (k, 2) or (k, 3), or be one point of "
                         f"length 2 or 3; got shape {p.shape}")
    return p.astype(np.float64, copy=False)


def find_triangles(mesh: Any, points: Any) -> Tuple[np.ndarray, np.ndarray]:
    """The triangle of `mesh.tv` that holds each point, and the point's weights in it.

    `points` is (k, 2) or (k, 3) (z is ignored), or one point of length 2 or 3 (one row).
    Returns `(triangle, weights)`: `triangle` (int64, shape (k,)) indexes `mesh.tv`, -1 for a
    point in no triangle (outside the mesh, in a hole, or with a non-finite coordinate);
    `weights` (float64, shape (k, 3)) are the barycentric weights in the order of that
    triangle's corners in `mesh.tv`, zeros outside. A point on an edge shared by two
    triangles is given the one of lower index, a point at a vertex the lowest-index triangle
    around it, so the answer does not depend on the other points (except at a vertex where
    separate fans of triangles meet: there the lowest of the fan the point is reached in).
    """
    xy, tv, _ = _mesh_arrays(mesh)
    return _locator._locate(xy, tv, _as_points(points))


def _basis(mesh: Any, points: Any, outside: str, in_order: bool) -> sparse.csr_matrix:
    """basis_matrix; with `in_order` the points are walked to in their own order, for points
    each next to the one before (a lattice row by row), which saves sorting them."""
    if not (isinstance(outside, str) and outside in ("empty", "nearest")):
        raise ValueError(f"outside must be 'empty' or 'nearest', got {outside!r}")
    xy, tv, n = _mesh_arrays(mesh)
    p = _as_points(points)
    indptr, indices, data = _locator._basis(xy, tv, p, outside == "nearest", in_order)
    # Three slots a row were filled; keep the used ones, in a copy when many are unused.
    used = int(indptr[-1])
    indices, data = indices[:used], data[:used]
    if used < 2 * p.shape[0]:
        indices, data = indices.copy(), data.copy()
    matrix = sparse.csr_matrix((data, indices, indptr), shape=(p.shape[0], n))
    matrix.has_canonical_format = True  # columns ascending, none repeated
    return matrix


def basis_matrix(mesh: Any, points: Any, *, outside: str = "empty") -> sparse.csr_matrix:
    """The mesh's P1 basis functions at the points: a CSR matrix of shape (k, mesh.n).

    Row i holds the barycentric weights of point i in the triangle of `mesh.tv` that holds
    it, at the columns of that triangle's vertices: at most three entries, exact zeros not
    stored (two on an edge, a single 1.0 at a vertex), columns ascending. A point outside
    the mesh (beyond a non-convex boundary, in a hole, beyond the hull) gets an empty row,
    or with `outside="nearest"` the weights of the nearest point on the mesh's boundary
    (two on a boundary edge, one at a vertex). A point with a non-finite coordinate always
    gets an empty row. `points` as for `find_triangles`.
    """
    return _basis(mesh, points, outside, in_order=False)


def _limits(given: Optional[Tuple[float, float]], coordinate: np.ndarray,
            name: str) -> Tuple[float, float]:
    if given is None:
        if coordinate.size == 0:
            raise ValueError(f"the mesh has no vertices to take {name} from; give {name}")
        return float(coordinate.min()), float(coordinate.max())
    lo, hi = (float(v) for v in given)
    if not (np.isfinite(lo) and np.isfinite(hi)):
        raise ValueError(f"{name} must be two finite numbers, got {given!r}")
    return lo, hi


class MeshGridProjector:
    """A regular grid of points over a mesh, for drawing fields given at the vertices.

    `MeshGridProjector(mesh, dims=(nx, ny), xlim=None, ylim=None)` lays out nx points along
    x from xlim[0] to xlim[1] and ny along y (limits default to the vertices' bounding box)
    and builds `proj = basis_matrix(mesh, lattice)` once. Grid points in no triangle of the
    mesh (outside it, in holes and notches) are outside: `inside` is False there and
    `project` masks them.

    Attributes: `x` (nx,), `y` (ny,), `lattice` (nx * ny, 2), x varying fastest; `proj`
    (CSR, nx * ny by mesh.n); `inside` (bool, nx * ny,).
    """

    def __init__(self, mesh: Any, dims: Tuple[int, int] = (100, 100),
                 xlim: Optional[Tuple[float, float]] = None,
                 ylim: Optional[Tuple[float, float]] = None) -> None:
        nx, ny = (operator.index(d) for d in dims)
        if nx < 1 or ny < 1:
            raise ValueError(f"dims must be two positive integers, got {tuple(dims)}")
        loc = np.asarray(mesh.loc)
        self.mesh = mesh
        self.dims = (nx, ny)
        self.xlim = _limits(xlim, loc[:, 0], "xlim")
        self.ylim = _limits(ylim, loc[:, 1], "ylim")
        self.x = np.linspace(self.xlim[0], self.xlim[1], nx)
        self.y = np.linspace(self.ylim[0], self.ylim[1], ny)
        self.lattice = np.empty((nx * ny, 2))
        self.lattice[:, 0] = np.tile(self.x, ny)
        self.lattice[:, 1] = np.repeat(self.y, nx)
        # Row by row, each grid point lies next to the one before: no need to sort them.
        self.proj = _basis(mesh, self.lattice, "empty", in_order=True)
        self.inside = np.diff(self.proj.indptr) > 0

    @property
    def n_grid(self) -> int:
        """Number of grid points, nx * ny."""
        return int(self.lattice.shape[0])

    @property
    def n_inside(self) -> int:
        """Number of grid points inside the mesh."""
        return int(np.count_nonzero(self.inside))

    @property
    def inside_2d(self) -> np.ndarray:
        """`inside` as an image of shape (ny, nx)."""
        return self.inside.reshape(self.dims[1], self.dims[0])

    def project(self, values: Any,
                mask_outside: bool = True) -> Union[np.ndarray, np.ma.MaskedArray]:
        """The field with `values` at the mesh vertices, on the grid: shape (ny, nx).

        A masked array with the grid points outside the mesh masked, or with
        `mask_outside=False` a plain array holding 0.0 there.
        """
        values = np.asarray(values)
        if values.shape != (self.proj.shape[1],):
            raise ValueError(f"values must have shape ({self.proj.shape[1]},), one per mesh "
                             f"vertex, got {values.shape}")
        image = (self.proj @ values).reshape(self.dims[1], self.dims[0])
        if not mask_outside:
            return image
        return np.ma.array(image, mask=~self.inside_2d)

    def __repr__(self) -> str:
        return (f"MeshGridProjector(dims={self.dims}, xlim={self.xlim}, ylim={self.ylim}, "
                f"inside={self.n_inside} of {self.n_grid})")

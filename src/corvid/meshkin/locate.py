"""Point location on a mesh: the P1 basis at points, and a regular grid projector.

A simple implementation over matplotlib's trapezoid-map triangle finder.
"""

from __future__ import annotations

from typing import Optional, Tuple

import numpy as np
from scipy import sparse

__all__ = ["basis_matrix", "MeshGridProjector"]


def _triangles_of(mesh, xy: np.ndarray) -> np.ndarray:
    from matplotlib.tri import Triangulation

    triangulation = Triangulation(mesh.loc[:, 0], mesh.loc[:, 1], np.asarray(mesh.tv))
    finder = triangulation.get_trifinder()
    found = np.full(xy.shape[0], -1, dtype=np.int64)
    finite = np.isfinite(xy).all(axis=1)
    if finite.any():
        found[finite] = finder(xy[finite, 0], xy[finite, 1])
    return found


def basis_matrix(mesh, points, *, outside: str = "empty") -> sparse.csr_matrix:
    """The mesh's P1 basis functions at `points` ((m, 2)): CSR of shape (m, mesh.n).

    A point outside the mesh, or not finite, gets an empty row.
    """
    if outside != "empty":
        raise ValueError(f"outside must be 'empty', got {outside!r}")
    xy = np.asarray(points, dtype=np.float64)
    if xy.ndim != 2 or xy.shape[1] < 2:
        raise ValueError(f"points must have shape (m, 2), got {xy.shape}")
    xy = xy[:, :2]
    m = xy.shape[0]
    triangle = _triangles_of(mesh, xy)
    rows = np.flatnonzero(triangle >= 0)
    corners = np.asarray(mesh.tv)[triangle[rows]]
    p0, p1, p2 = (mesh.loc[corners[:, k], :2] for k in range(3))
    e1, e2, q = p1 - p0, p2 - p0, xy[rows] - p0
    det = e1[:, 0] * e2[:, 1] - e1[:, 1] * e2[:, 0]
    w1 = (q[:, 0] * e2[:, 1] - q[:, 1] * e2[:, 0]) / det
    w2 = (e1[:, 0] * q[:, 1] - e1[:, 1] * q[:, 0]) / det
    weights = np.column_stack([1.0 - w1 - w2, w1, w2])
    A = sparse.coo_matrix((weights.ravel(), (np.repeat(rows, 3), corners.ravel())),
                          shape=(m, mesh.n))
    return A.tocsr()


class MeshGridProjector:
    """Values at the mesh vertices, carried to a regular grid of `dims` = (nx, ny) points.

    x (nx), y (ny), lattice ((nx ny, 2), x fastest), proj (CSR, nx ny x mesh.n), inside (bool,
    nx ny: the point lies in the mesh). `project(values)` gives a (ny, nx) masked array.
    """

    def __init__(self, mesh, dims: Tuple[int, int] = (100, 100),
                 xlim: Optional[Tuple[float, float]] = None,
                 ylim: Optional[Tuple[float, float]] = None) -> None:
        loc = np.asarray(mesh.loc)
        xlim = (loc[:, 0].min(), loc[:, 0].max()) if xlim is None else xlim
        ylim = (loc[:, 1].min(), loc[:, 1].max()) if ylim is None else ylim
        self.mesh = mesh
        self.dims = (int(dims[0]), int(dims[1]))
        self.x = np.linspace(float(xlim[0]), float(xlim[1]), self.dims[0])
        self.y = np.linspace(float(ylim[0]), float(ylim[1]), self.dims[1])
        xx, yy = np.meshgrid(self.x, self.y)
        self.lattice = np.column_stack([xx.ravel(), yy.ravel()])
        self.proj = basis_matrix(mesh, self.lattice)
        self.inside = np.diff(self.proj.indptr) > 0

    def project(self, values, mask_outside: bool = True):
        image = np.asarray(self.proj @ np.asarray(values)).reshape(self.dims[1], self.dims[0])
        if not mask_outside:
            return image
        return np.ma.masked_array(image, mask=~self.inside.reshape(image.shape))

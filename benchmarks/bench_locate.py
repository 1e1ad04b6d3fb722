"""Time point location on a mesh's own triangles, with default BLAS threads.

1. basis_matrix: 10^6 random points on a mesh of 10^5 vertices, against matplotlib's
   TrapezoidMapTriFinder on the same triangles plus the weights and the matrix in NumPy.
   Target: at most 0.3 s, and at least 10x faster than matplotlib.
2. MeshGridProjector: a 1000 x 1000 grid over the same mesh.
3. On the Delaunay triangulation of 10^4 vertices, 10^6 points: find_triangles and
   basis_matrix against scipy's Delaunay.find_simplex (whose first call computes a transform
   for every triangle through LAPACK) on the points as given; with the machine as found and
   with a busy-loop process added. Also printed: the preparation every call makes (copies,
   overlap checks, neighbour table, bucket grid). gfield_make_A, which uses the same walk on
   scipy's triangulation, has its own benchmark, bench_projector.py.

Every time is the best of several runs; ratios compare times measured in the same run. The
load average is printed first: on a shared machine other work slows every line.

Usage: python benchmarks/bench_locate.py [n_points] [n_vertices]
"""

import contextlib
import os
import sys
from types import SimpleNamespace

import numpy as np
from scipy import sparse
from scipy.spatial import Delaunay

from bench_common import best_of, other_core_busy
from corvid.meshkin import _locator
from corvid.meshkin.locate import MeshGridProjector, basis_matrix, find_triangles
from corvid.meshkin.mesh import MkMesh


def matplotlib_matrix(mesh, points):
    """Trapezoid-map location, then barycentric weights and the CSR matrix in NumPy."""
    from matplotlib.tri import TrapezoidMapTriFinder, Triangulation

    triangulation = Triangulation(mesh.loc[:, 0], mesh.loc[:, 1], mesh.tv)
    found = TrapezoidMapTriFinder(triangulation)(points[:, 0], points[:, 1])
    rows = np.flatnonzero(found >= 0)
    corners = mesh.tv[found[rows]]
    a, b, c = (mesh.loc[corners[:, i], :2] for i in range(3))
    p = points[rows]
    cross = lambda u, v: u[:, 0] * v[:, 1] - u[:, 1] * v[:, 0]
    area = cross(b - a, c - a)
    weights = np.column_stack([cross(b - p, c - p), cross(c - p, a - p), cross(a - p, b - p)])
    weights /= area[:, None]
    return sparse.csr_matrix((weights.ravel(), (np.repeat(rows, 3), corners.ravel())),
                             shape=(points.shape[0], mesh.n))


def delaunay_round(triangulation_points, points):
    """Times on the Delaunay triangulation of `triangulation_points`."""
    t_delaunay, tri = best_of(3, lambda: Delaunay(triangulation_points))
    t_scipy, simplex = best_of(3, lambda: Delaunay(triangulation_points).find_simplex(points))
    mesh = SimpleNamespace(n=triangulation_points.shape[0], loc=triangulation_points,
                           tv=tri.simplices.astype(np.int64))
    t_find, (triangle, _) = best_of(5, lambda: find_triangles(mesh, points))
    t_basis, _ = best_of(5, lambda: basis_matrix(mesh, points))
    t_prepare, _ = best_of(5, lambda: _locator._triangles_near(mesh.loc, mesh.tv, (0.0, 0.0), 0.0))
    # scipy's tolerance takes points a hair outside the hull; none of these is.
    assert np.array_equal(triangle >= 0, simplex >= 0)
    return t_delaunay, t_scipy - t_delaunay, t_find, t_basis, t_prepare


def main():
    n_points = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    n_vertices = int(sys.argv[2]) if len(sys.argv) > 2 else 100_000
    print("load average at start: {:.2f} {:.2f} {:.2f} on {} cores".format(*os.getloadavg(),
                                                                          os.cpu_count()))
    rng = np.random.default_rng(0)
    mesh = MkMesh.from_points(rng.random((n_vertices, 2)))
    points = rng.random((n_points, 2))

    t_ours, A = best_of(5, lambda: basis_matrix(mesh, points))
    t_mpl, B = best_of(1, lambda: matplotlib_matrix(mesh, points))
    difference = abs(A - B).max()
    print(f"{n_points} random points, mesh of {mesh.n} vertices and {mesh.tv.shape[0]} triangles")
    print(f"basis_matrix:                              {t_ours:7.3f} s  (nnz={A.nnz})")
    print(f"matplotlib TrapezoidMapTriFinder + NumPy:  {t_mpl:7.3f} s  ratio {t_mpl / t_ours:5.1f}x"
          f"  (max difference {difference:.1e})")

    t_grid, projector = best_of(3, lambda: MeshGridProjector(mesh, dims=(1000, 1000)))
    print(f"MeshGridProjector 1000 x 1000:             {t_grid:7.3f} s  "
          f"({projector.n_inside} points inside)")

    delaunay_vertices = rng.random((10_000, 2))
    for label, context in [("as found", contextlib.nullcontext),
                           ("plus a busy-loop process", other_core_busy)]:
        with context():
            t_delaunay, t_scipy, t_find, t_basis, t_prepare = delaunay_round(
                delaunay_vertices, points)
        print(f"Delaunay of 10^4 vertices, {n_points} points, {label}:")
        print(f"  Delaunay(...):                           {t_delaunay:7.3f} s")
        print(f"  find_simplex beyond it (transforms too): {t_scipy:7.3f} s")
        print(f"  find_triangles:                          {t_find:7.3f} s  "
              f"find_simplex / this {t_scipy / t_find:5.1f}x")
        print(f"  basis_matrix:                            {t_basis:7.3f} s  (preparation {t_prepare:.3f} s)")


if __name__ == "__main__":
    main()

"""Time gfield_make_A on 10^6 random points of a 10^4-vertex mesh.

Compared, in one run, with
- scipy's LinearNDInterpolator built and evaluated on the same points (values only, no matrix),
- a straightforward Python version of the projector loop (run on a subset, extrapolated
  linearly to all points: its cost is the same per point),
- Delaunay plus one find_simplex call on the points in their random order (point location
  alone, the step that dominates).

The fixed cost of every call (the triangulation and scipy's per-triangle transforms, computed
on the first find_simplex) is printed too. On a machine whose cores are busy, OpenBLAS's worker
threads make those transforms many times slower and then compete with the loops that follow;
run with OPENBLAS_NUM_THREADS=1 as well to see figures that do not depend on the load.

Usage: python benchmarks/bench_projector.py [n_points] [n_vertices]
Targets: at least 10x faster than LinearNDInterpolator, at least 50x faster than the loop.
"""

import os

# Idle OpenBLAS worker threads slow scipy's per-triangle transforms on a busy 2-core machine;
# like the other benchmarks, measure with one BLAS thread unless told otherwise.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import sys
import time

import numpy as np
from scipy import sparse
from scipy.interpolate import LinearNDInterpolator
from scipy.spatial import Delaunay

from corvid.meshkin.gfield import gfield_make_A
from corvid.meshkin.mesh import MkMesh


def python_make_A(mesh, loc):
    """The projector loop written plainly in Python and NumPy."""
    loc = np.asarray(loc, dtype=float)
    mesh_points = mesh.loc[:, :2]
    tri = Delaunay(mesh_points)
    simplex_indices = tri.find_simplex(loc[:, :2])
    rows, cols, data = [], [], []
    for i, (point, s) in enumerate(zip(loc, simplex_indices)):
        if s < 0:
            continue
        verts = tri.simplices[s]
        v0, v1, v2 = mesh_points[verts]
        e1, e2, p = v1 - v0, v2 - v0, point[:2] - v0
        d00, d01, d11 = np.dot(e1, e1), np.dot(e1, e2), np.dot(e2, e2)
        d20, d21 = np.dot(p, e1), np.dot(p, e2)
        denom = d00 * d11 - d01 * d01
        if abs(denom) <= 1e-12 * d00 * d11:
            bary = np.array([1 / 3, 1 / 3, 1 / 3])
        else:
            w1 = (d11 * d20 - d01 * d21) / denom
            w2 = (d00 * d21 - d01 * d20) / denom
            bary = np.array([1.0 - w1 - w2, w1, w2])
        for v, w in zip(verts, bary):
            if abs(w) > 1e-12:
                rows.append(i)
                cols.append(v)
                data.append(w)
    return sparse.csr_matrix((data, (rows, cols)), shape=(loc.shape[0], mesh.n))


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    n_points = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    n_vertices = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000
    rng = np.random.default_rng(0)
    mesh = MkMesh.from_points(rng.random((n_vertices, 2)))
    points = rng.random((n_points, 2))
    values = rng.random(mesh.n)

    t_ours, A = best_of(3, lambda: gfield_make_A(mesh, points))

    def interpolate():
        return LinearNDInterpolator(mesh.loc[:, :2], values)(points)

    t_interp, interpolated = best_of(1, interpolate)
    inside = ~np.isnan(interpolated)
    agreement = np.abs((A @ values)[inside] - interpolated[inside]).max()

    def locate():
        return Delaunay(mesh.loc[:, :2]).find_simplex(points)

    t_locate, _ = best_of(1, locate)

    def fixed_cost():  # paid once per call, whatever the number of points
        return Delaunay(mesh.loc[:, :2]).transform

    t_fixed, _ = best_of(3, fixed_cost)

    subset = min(n_points, 20_000)
    t_subset, A_subset = best_of(1, lambda: python_make_A(mesh, points[:subset]))
    t_loop = t_subset * n_points / subset
    loop_agreement = abs(A_subset - A[:subset]).max()

    print(f"{n_points} random points, mesh of {mesh.n} vertices")
    print(f"gfield_make_A:                          {t_ours:8.3f} s  (nnz={A.nnz})")
    print(f"LinearNDInterpolator (build + evaluate): {t_interp:8.3f} s  "
          f"ratio {t_interp / t_ours:6.1f}x  (max difference of A @ u: {agreement:.1e})")
    print(f"Python loop (extrapolated from {subset}): {t_loop:8.3f} s  "
          f"ratio {t_loop / t_ours:6.1f}x  (max difference: {loop_agreement:.1e})")
    print(f"Delaunay + find_simplex, random order:  {t_locate:8.3f} s  "
          f"ratio {t_locate / t_ours:6.1f}x")
    print(f"of which fixed (Delaunay + transforms):  {t_fixed:8.3f} s")


if __name__ == "__main__":
    main()

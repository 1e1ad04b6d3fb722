"""Time gfield_make_A on 10^6 random points of a 10^4-vertex mesh, with default BLAS threads.

gfield_make_A triangulates the vertices with scipy's Delaunay (a cost fixed by the
projector's definition), locates every point with corvid's walk and builds the matrix. Printed,
in one run, on the machine as found and then with a busy-loop process keeping the other core
busy:
- gfield_make_A, and Delaunay of the vertices alone, timed in turn; everything else is timed
  directly, with scipy's Delaunay handing back a triangulation made beforehand;
- scipy's LinearNDInterpolator built and evaluated on the same points (values only, no matrix;
  its first location computes a transform per triangle through LAPACK);
- a straightforward Python version of the projector loop, on a subset, extrapolated.

Usage: python benchmarks/bench_projector.py [n_points] [n_vertices]
Targets: at least 20x faster than LinearNDInterpolator on a quiet machine; everything but
Delaunay within 0.05 s; with the other core busy, at most 1.3x the quiet time.
"""

import sys

import numpy as np
from scipy import sparse
from scipy.interpolate import LinearNDInterpolator
from scipy.spatial import Delaunay

from bench_common import best_of, best_of_alternating, load_average, other_core_busy, triangulation_reused
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


def round_of_timings(mesh, points, values):
    (t_ours, t_delaunay), (A, _) = best_of_alternating(
        15, lambda: gfield_make_A(mesh, points), lambda: Delaunay(mesh.loc[:, :2]))
    t_interp, interpolated = best_of(2, lambda: LinearNDInterpolator(mesh.loc[:, :2], values)(points))
    inside = ~np.isnan(interpolated)
    agreement = np.abs((A @ values)[inside] - interpolated[inside]).max()
    with triangulation_reused(mesh.loc[:, :2]):
        t_rest, _ = best_of(15, lambda: gfield_make_A(mesh, points))
    return t_ours, t_delaunay, t_rest, t_interp, agreement, A


def main():
    n_points = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    n_vertices = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000
    rng = np.random.default_rng(0)
    mesh = MkMesh.from_points(rng.random((n_vertices, 2)))
    points = rng.random((n_points, 2))
    values = rng.random(mesh.n)
    print(f"{n_points} random points, mesh of {mesh.n} vertices; load average {load_average()}")

    quiet = round_of_timings(mesh, points, values)
    t_ours, t_delaunay, t_rest, t_interp, agreement, A = quiet
    print(f"gfield_make_A:                           {t_ours:7.3f} s  (nnz={A.nnz})")
    print(f"  Delaunay of the vertices alone:        {t_delaunay:7.3f} s")
    print(f"  everything else:                       {t_rest:7.3f} s  (target <= 0.05; the difference"
          f" of the two lines above: {t_ours - t_delaunay:.3f} s)")
    print(f"LinearNDInterpolator (build + evaluate): {t_interp:7.3f} s  ratio {t_interp / t_ours:6.1f}x"
          f"  (target >= 20; max difference of A @ u: {agreement:.1e})")

    subset = min(n_points, 20_000)
    t_subset, A_subset = best_of(1, lambda: python_make_A(mesh, points[:subset]))
    t_loop = t_subset * n_points / subset
    print(f"Python loop (extrapolated from {subset}):  {t_loop:7.3f} s  ratio {t_loop / t_ours:6.1f}x"
          f"  (max difference: {abs(A_subset - A[:subset]).max():.1e})")

    with other_core_busy():
        t_busy, t_delaunay_busy, t_rest_busy, t_interp_busy, _, _ = round_of_timings(mesh, points, values)
    print(f"with the other core busy (load average {load_average()}):")
    print(f"gfield_make_A:                           {t_busy:7.3f} s  ratio to quiet {t_busy / t_ours:5.2f}"
          f"  (target <= 1.3)")
    print(f"  Delaunay of the vertices alone:        {t_delaunay_busy:7.3f} s")
    print(f"  everything else:                       {t_rest_busy:7.3f} s  ratio to quiet {t_rest_busy / t_rest:5.2f}")
    print(f"LinearNDInterpolator (build + evaluate): {t_interp_busy:7.3f} s  ratio {t_interp_busy / t_busy:6.1f}x")


if __name__ == "__main__":
    main()

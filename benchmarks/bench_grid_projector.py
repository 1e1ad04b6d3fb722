"""Time a 1000 x 1000 grid projector on a 10^5-vertex mesh and 100 projections with it.

Reports the construction time, the time of `project` for 100 fields, and the peak extra
memory of each step: the growth of the process's peak resident size (VmHWM, reset before the
step where Linux allows it).

The construction includes scipy's Delaunay triangulation of the vertices, a cost fixed by the
projector's definition; it is timed alone too, in turn with the projector. The rest, what
corvid adds (the grid, the point location, the matrix and the inside mask), is timed with
scipy's Delaunay handing back a triangulation made beforehand. Default BLAS threads.

Usage: python benchmarks/bench_grid_projector.py [grid_side] [n_vertices] [n_fields]
Target: everything but the triangulation within 0.15 s (1000 x 1000 over 10^5 vertices).
"""

import sys
import time

import numpy as np
from scipy.spatial import Delaunay

from bench_common import best_of, best_of_alternating, load_average, reset_peak, status_kib, triangulation_reused
from corvid.meshkin.gfield import gfield_grid_projector
from corvid.meshkin.mesh import MkMesh


def peak_extra(step):
    """Runs `step`, returning its result, its time and the peak memory above the start (MiB)."""
    reset_peak()
    before = status_kib("VmRSS")
    start = time.perf_counter()
    result = step()
    elapsed = time.perf_counter() - start
    return result, elapsed, (status_kib("VmHWM") - before) / 1024


def main():
    side = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    n_vertices = int(sys.argv[2]) if len(sys.argv) > 2 else 100_000
    n_fields = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    rng = np.random.default_rng(0)
    mesh = MkMesh.from_points(rng.random((n_vertices, 2)))
    fields = rng.random((n_fields, mesh.n))

    projector, t_build, mem_build = peak_extra(
        lambda: gfield_grid_projector(mesh, dims=(side, side)))
    (t_again, t_delaunay), _ = best_of_alternating(
        7, lambda: gfield_grid_projector(mesh, dims=(side, side)), lambda: Delaunay(mesh.loc[:, :2]))
    t_build = min(t_build, t_again)
    with triangulation_reused(mesh.loc[:, :2]):
        t_rest, _ = best_of(7, lambda: gfield_grid_projector(mesh, dims=(side, side)))

    def project_all():
        # Each image is dropped before the next, as when plotting them one by one.
        masked = 0
        for field in fields:
            masked += int(projector.project(field).mask.sum())
        return masked

    _, t_project, mem_project = peak_extra(project_all)

    print(f"grid {side} x {side}, mesh of {mesh.n} vertices; load average {load_average()}")
    print(f"gfield_grid_projector:  {t_build:7.3f} s  peak extra {mem_build:7.1f} MiB"
          f"  (proj nnz={projector.proj.nnz}, {projector.n_inside} points inside)")
    print(f"  Delaunay alone:       {t_delaunay:7.3f} s")
    print(f"  everything else:      {t_rest:7.3f} s  (target <= 0.15; the difference of the two"
          f" lines above: {t_build - t_delaunay:.3f} s)")
    print(f"project x {n_fields}:          {t_project:7.3f} s  peak extra {mem_project:7.1f} MiB"
          f"  ({1000 * t_project / n_fields:.1f} ms per field)")
    print(projector.summary())


if __name__ == "__main__":
    main()

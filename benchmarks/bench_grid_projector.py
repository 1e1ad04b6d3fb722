"""Time a 1000 x 1000 grid projector on a 10^5-vertex mesh and 100 projections with it.

Reports the construction time, the time of `project` for 100 fields, and the peak extra
memory of each step: the growth of the process's peak resident size (VmHWM, reset before the
step where Linux allows it).

Construction time is mostly scipy's: the triangulation of the vertices and its per-triangle
transforms, which OpenBLAS's worker threads slow down badly on a busy machine (compare a run
with OPENBLAS_NUM_THREADS=1).

Usage: python benchmarks/bench_grid_projector.py [grid_side] [n_vertices] [n_fields]
"""

import os

# Idle OpenBLAS worker threads slow scipy's per-triangle transforms on a busy 2-core machine;
# like the other benchmarks, measure with one BLAS thread unless told otherwise.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import sys
import time

import numpy as np

from corvid.meshkin.gfield import gfield_grid_projector
from corvid.meshkin.mesh import MkMesh


def _status_kib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def peak_extra(step):
    """Runs `step`, returning its result, its time and the peak memory above the start (MiB)."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets the peak resident size to the current one
    except OSError:
        pass
    before = _status_kib("VmRSS")
    start = time.perf_counter()
    result = step()
    elapsed = time.perf_counter() - start
    return result, elapsed, (_status_kib("VmHWM") - before) / 1024


def main():
    side = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    n_vertices = int(sys.argv[2]) if len(sys.argv) > 2 else 100_000
    n_fields = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    rng = np.random.default_rng(0)
    mesh = MkMesh.from_points(rng.random((n_vertices, 2)))
    fields = rng.random((n_fields, mesh.n))

    projector, t_build, mem_build = peak_extra(
        lambda: gfield_grid_projector(mesh, dims=(side, side)))

    def project_all():
        # Each image is dropped before the next, as when plotting them one by one.
        masked = 0
        for field in fields:
            masked += int(projector.project(field).mask.sum())
        return masked

    _, t_project, mem_project = peak_extra(project_all)

    print(f"grid {side} x {side}, mesh of {mesh.n} vertices")
    print(f"gfield_grid_projector:  {t_build:7.3f} s  peak extra {mem_build:7.1f} MiB"
          f"  (proj nnz={projector.proj.nnz}, {projector.n_inside} points inside)")
    print(f"project x {n_fields}:          {t_project:7.3f} s  peak extra {mem_project:7.1f} MiB"
          f"  ({1000 * t_project / n_fields:.1f} ms per field)")
    print(projector.summary())


if __name__ == "__main__":
    main()

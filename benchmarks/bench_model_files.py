"""Build a PC-Matern model on a 10^6-vertex mesh and write its seven model files.

Prints the time to build the model (mk_fem and the B matrices), the time to write the
files, their sizes, and the peak extra memory of writing them: the process's peak resident
size during the write (reset just before it, Linux only) minus its resident size before.
The same is measured for the plain NumPy steps of the writer (column-major copies,
lexsort of the triplets) for comparison.

Usage: python benchmarks/bench_model_files.py [side]   (default 1000: 1000 x 1000 vertices)
"""

import os
import struct
import sys
import tempfile
import time

import numpy as np

from bench_common import reset_peak, status_kib
from corvid.meshkin import gfield
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh

SUFFIXES = [".M0", ".M1", ".M2", ".B0", ".B1", ".B2", ".BLC"]


def numpy_write(A, filename):
    """The writer's steps in plain NumPy, for comparison."""
    with open(filename, "wb") as f:
        if isinstance(A, np.ndarray) and A.ndim == 2:
            nrow, ncol = A.shape
            header = np.array([0, nrow * ncol, nrow, ncol, 0, 1, 0, 1], dtype=np.int32)
            values = A.astype(np.float64).ravel(order="F")
            i = j = None
        else:
            M = A.tocoo()
            nrow, ncol = M.shape
            i, j = M.row.astype(np.int32), M.col.astype(np.int32)
            order = np.lexsort((i, j))
            i, j, values = i[order], j[order], M.data[order].astype(np.float64)
            header = np.array([0, i.size, nrow, ncol, 1, 1, 0, 1], dtype=np.int32)
        f.write(struct.pack("=i", header.size))
        header.tofile(f)
        for part in (i, j, values):
            if part is not None:
                part.tofile(f)
    return filename


def measure(label, write, prefix):
    rss_before = status_kib("VmRSS")
    can_reset = reset_peak()
    start = time.perf_counter()
    write(prefix)
    elapsed = time.perf_counter() - start
    extra = status_kib("VmHWM") - rss_before if can_reset else float("nan")
    total = sum(os.path.getsize(prefix + s) for s in SUFFIXES)
    print(f"  {label:28s} {elapsed:6.2f} s   files {total / 1e6:7.1f} MB   "
          f"peak extra memory {extra / 1024:7.1f} MB")


def main():
    side = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    mesh = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (side, side))
    start = time.perf_counter()
    model = gfield2_pcmatern(mesh, prior_range=(0.1, 0.5), prior_sigma=(1.0, 0.1))
    print(f"mesh {side} x {side}: {mesh.n} vertices; model built in "
          f"{time.perf_counter() - start:.2f} s")
    with tempfile.TemporaryDirectory() as tmp:
        prefix = os.path.join(tmp, "ours", "model")
        measure("write_gfield_files", model.write_gfield_files, prefix)
        for suffix in SUFFIXES:
            print(f"    {os.path.basename(prefix) + suffix:12s} {os.path.getsize(prefix + suffix):>12,d} bytes")
        original = gfield._write_meshkin_file
        try:
            gfield._write_meshkin_file = numpy_write
            measure("same with the NumPy steps", model.write_gfield_files,
                    os.path.join(tmp, "numpy", "model"))
        finally:
            gfield._write_meshkin_file = original
        for suffix in SUFFIXES:
            with open(prefix + suffix, "rb") as a, open(os.path.join(tmp, "numpy", "model") + suffix, "rb") as b:
                assert a.read() == b.read(), f"{suffix} files differ"
        print("  files identical to the NumPy steps' files")


if __name__ == "__main__":
    main()

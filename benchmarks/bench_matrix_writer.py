"""Time _write_meshkin_file on a large dense and a large sparse matrix.

Dense: a 2,000,000 x 3 float64 C-ordered array, compared with
- a raw ndarray.tofile of the same number of bytes (no reordering at all), and
- the plain NumPy steps: header words, then ravel(order="F") and tofile (a column-major copy).
Sparse: a matrix with 10^7 stored entries in coordinate form (random order, duplicates
allowed), compared with the plain NumPy steps: tocoo, int32 indices, lexsort by column then
row, reorder, tofile of rows, columns and values.

Files go to a temporary directory (the page cache); each timed run writes a new file, so no
run pays for truncating the previous one. Best of several runs. The load average is printed
before and after, since other work on the machine changes the timings.

Usage: python benchmarks/bench_matrix_writer.py [dense_rows] [sparse_entries]
Targets: dense within 1.5x of the raw tofile; sparse at least 3x faster than the NumPy steps.
"""

import os


import struct
import sys
import tempfile
import time

import numpy as np
from scipy import sparse

from corvid.meshkin.gfield import _write_meshkin_file


def numpy_write(A, filename):
    """The writer's steps in plain NumPy, for comparison."""
    with open(filename, "wb") as f:
        if isinstance(A, np.ndarray) and A.ndim == 2:
            nrow, ncol = A.shape
            valuetype = 0 if np.issubdtype(A.dtype, np.integer) else 1
            header = np.array([0, nrow * ncol, nrow, ncol, 0, valuetype, 0, 1], dtype=np.int32)
            f.write(struct.pack("=i", header.size))
            header.tofile(f)
            A.astype(np.float64).ravel(order="F").tofile(f)
        else:
            M = A.tocoo()
            nrow, ncol = M.shape
            i = M.row.astype(np.int32)
            j = M.col.astype(np.int32)
            values = M.data
            order = np.lexsort((i, j))
            i, j, values = i[order], j[order], values[order]
            header = np.array([0, i.size, nrow, ncol, 1, 1, 0, 1], dtype=np.int32)
            f.write(struct.pack("=i", header.size))
            header.tofile(f)
            i.tofile(f)
            j.tofile(f)
            values.astype(np.float64).tofile(f)


def best_of(repeats, fn, path):
    """Best time of `fn(path)`, each run writing `path` anew."""
    times = []
    for _ in range(repeats):
        if os.path.exists(path):
            os.unlink(path)
        start = time.perf_counter()
        fn(path)
        times.append(time.perf_counter() - start)
    return min(times)


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def main():
    dense_rows = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000_000
    sparse_entries = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
    rng = np.random.default_rng(7)
    print("load average %.2f %.2f %.2f" % os.getloadavg())
    with tempfile.TemporaryDirectory() as tmp:
        ours, theirs, raw = (os.path.join(tmp, name) for name in ("ours", "numpy", "raw"))

        A = rng.standard_normal((dense_rows, 3))
        t_raw = best_of(9, A.tofile, raw)
        t_numpy = best_of(9, lambda p: numpy_write(A, p), theirs)
        t_ours = best_of(9, lambda p: _write_meshkin_file(A, p), ours)
        assert same_bytes(ours, theirs), "dense files differ"
        mb = A.nbytes / 1e6
        print(f"dense {dense_rows} x 3 float64, C order ({mb:.0f} MB)")
        print(f"  raw ndarray.tofile        {t_raw * 1e3:8.1f} ms")
        print(f"  NumPy steps (F copy)      {t_numpy * 1e3:8.1f} ms")
        print(f"  _write_meshkin_file       {t_ours * 1e3:8.1f} ms")
        print(f"  ratio to raw tofile       {t_ours / t_raw:8.2f}   (target <= 1.5)")

        AF = np.asfortranarray(A)
        t_ours_f = best_of(9, lambda p: _write_meshkin_file(AF, p), ours)
        print(f"  same, Fortran order       {t_ours_f * 1e3:8.1f} ms")

        n = max(1000, int(np.sqrt(sparse_entries)) * 4)
        rows = rng.integers(0, n, sparse_entries)
        cols = rng.integers(0, n, sparse_entries)
        S = sparse.coo_matrix((rng.standard_normal(sparse_entries), (rows, cols)), shape=(n, n))
        t_numpy = best_of(3, lambda p: numpy_write(S, p), theirs)
        t_ours = best_of(3, lambda p: _write_meshkin_file(S, p), ours)
        assert same_bytes(ours, theirs), "sparse files differ"
        print(f"sparse {n} x {n}, {sparse_entries} stored entries, coordinate form, random order")
        print(f"  NumPy steps (lexsort)     {t_numpy * 1e3:8.1f} ms")
        print(f"  _write_meshkin_file       {t_ours * 1e3:8.1f} ms")
        print(f"  speed-up                  {t_numpy / t_ours:8.2f}   (target >= 3)")

        C = S.tocsr()
        t_numpy = best_of(3, lambda p: numpy_write(C, p), theirs)
        t_ours = best_of(3, lambda p: _write_meshkin_file(C, p), ours)
        assert same_bytes(ours, theirs), "CSR files differ"
        print(f"same matrix in CSR form ({C.nnz} stored entries)")
        print(f"  NumPy steps (lexsort)     {t_numpy * 1e3:8.1f} ms")
        print(f"  _write_meshkin_file       {t_ours * 1e3:8.1f} ms")
        print(f"  speed-up                  {t_numpy / t_ours:8.2f}   (target >= 3)")
    print("load average %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()

"""Large fresh arrays in ordinary pages, without NumPy's advice to use transparent huge pages.

NumPy advises the kernel (madvise MADV_HUGEPAGE) to back every array of 4 MiB or more with
2 MiB pages. Where the kernel's defrag setting for such regions is "madvise" (the default of
common distributions), the first touch of each fresh huge page may wait for memory to be
compacted: on a shared machine, writing a fresh 400 MB array once took 2 to 6 s that way and
0.3 to 0.5 s in ordinary pages (benchmarks/bench_sample_solve.py, "touch"). Arrays that are
written once and then read, like blocks of joint samples, gain nothing from huge pages.
"""

from __future__ import annotations

import mmap

import numpy as np

__all__ = ["empty"]

THRESHOLD = 4 * 2**20   # bytes: from NumPy's own threshold for its advice


def empty(shape, dtype=np.float64) -> np.ndarray:
    """np.empty(shape, dtype), C-contiguous and writable: for THRESHOLD bytes or more in an
    anonymous mapping of its own, which the array keeps and frees with it."""
    dtype = np.dtype(dtype)
    shape = tuple(int(s) for s in np.atleast_1d(shape)) if np.ndim(shape) else (int(shape),)
    count = int(np.prod(shape, dtype=np.int64))
    if count * dtype.itemsize < THRESHOLD:
        return np.empty(shape, dtype)
    try:
        buffer = mmap.mmap(-1, count * dtype.itemsize)
    except (OSError, ValueError, OverflowError):   # no such mapping: NumPy says why, if need be
        return np.empty(shape, dtype)
    return np.frombuffer(buffer, dtype=dtype, count=count).reshape(shape)

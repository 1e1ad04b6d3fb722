"""The same values in other memory layouts and array types, for the fuzz tests."""

import numpy as np


class Subarray(np.ndarray):
    """An ndarray subclass that adds nothing."""


def relaid(a, layout):
    """The values of `a` in another memory layout (or array type)."""
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "reversed":
        return a[(slice(None, None, -1),) * a.ndim]
    if layout == "strided" and a.ndim:
        return np.repeat(a, 2, axis=-1)[..., ::2]
    if layout == "read-only":
        a = a.copy()
        a.flags.writeable = False
        return a
    if layout == "broadcast" and a.ndim and a.shape[-1]:
        return np.broadcast_to(a[..., :1], a.shape)
    if layout == "unaligned" and a.dtype != object:
        b = np.empty(a.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(a.shape)
        b[...] = a
        return b
    if layout == "matrix" and a.ndim == 2:
        return np.asmatrix(a)
    if layout == "subclass":
        return a.view(np.matrix) if a.ndim == 2 else a.view(Subarray)
    return a

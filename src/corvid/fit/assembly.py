"""Weighted sums of sparse matrices on one fixed pattern, in a fixed symmetric ordering.

The fit factors c0 M0 + c1 M1 + ... for many weights. The pattern, the ordering and each
term's place in it are found once; a new sum is one pass over stored values, already in the
factor's order, so no ordering is computed again and nothing is permuted again.
"""

from __future__ import annotations

from typing import Sequence, Union

import numpy as np
from scipy import sparse

__all__ = ["AlignedSum", "sorted_unique"]


def sorted_unique(keys: np.ndarray) -> np.ndarray:
    """The distinct values, ascending: np.unique by sorting, which for a few million integer
    keys takes a tenth of the time of NumPy's hashing route."""
    keys = np.sort(keys)
    return keys[np.r_[True, keys[1:] != keys[:-1]]] if keys.size else keys


class AlignedSum:
    """Square matrices of order n, each term's values placed on the union of their nonzero
    entries taken in the order `perm` (entry (i, j) of the sum at (where[i], where[j]), where[perm] =
    0..n-1).

    `indptr`, `indices`: the union pattern in compressed-column form, rows ascending.
    `parts`: shape (terms, nnz), each term's values on it.
    """

    def __init__(self, terms: Sequence, perm: np.ndarray) -> None:
        n = perm.shape[0]
        self.n = n
        self.perm = perm
        where = np.empty(n, dtype=np.int64)
        where[perm] = np.arange(n)
        entries = [sparse.coo_matrix(t) for t in terms]
        keys = [where[e.col] * n + where[e.row] for e in entries]
        union = sorted_unique(np.concatenate(keys) if keys else np.empty(0, np.int64))
        parts = np.zeros((len(entries), union.size))
        for part, entry, key in zip(parts, entries, keys):
            part += np.bincount(np.searchsorted(union, key), weights=entry.data,
                                minlength=union.size)
        # Entries stored as zero in every term stay out: SuperLU takes a stored zero for
        # structure and then factors many times slower.
        used = np.any(parts != 0.0, axis=0)
        self.keys, self.parts = union[used], parts[:, used]
        self.indices = (self.keys % n).astype(np.int32 if n < 2**31 else np.int64)
        columns = self.keys // n
        self.indptr = np.searchsorted(columns, np.arange(n + 1)).astype(self.indices.dtype)
        self._columns = columns

    def matrix(self, weights: Union[Sequence[float], np.ndarray]) -> sparse.csc_matrix:
        """sum_k weights[k] terms[k], in the order `perm`, on the full pattern."""
        data = np.asarray(weights, dtype=np.float64) @ self.parts
        out = sparse.csc_matrix((data, self.indices, self.indptr), shape=(self.n, self.n))
        out.has_sorted_indices = True
        return out

    def lower(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(rows, cols, weights) of the pattern's lower triangle in the order `perm`, and each
        term's values there times 2 off the diagonal (shape (terms, entries)): the trace of a
        symmetric term times another symmetric matrix S is weights @ S's lower values."""
        rows = self.indices.astype(np.int64)
        lower = rows >= self._columns
        doubling = np.where(rows[lower] == self._columns[lower], 1.0, 2.0)
        return rows[lower], self._columns[lower], self.parts[:, lower] * doubling

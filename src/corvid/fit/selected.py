"""Entries of a factored matrix's inverse read at a fixed list of places, many times.

The fit reads the selected inverse of each new factor at the same entries (the pattern's
lower triangle, the pairs that predictions need). Where those entries sit among the
selected inverse's values is found once per pattern and then reused.
"""

from __future__ import annotations

from typing import Optional

import numpy as np

from . import factor
from ._cholesky import csc_selected_inverse as _takahashi
from .assembly import column_keys, sorted_unique

__all__ = ["SelectedReader"]


class SelectedReader:
    """Reads A⁻¹ at lower-triangle entries (rows, cols) given in the factor's order."""

    def __init__(self, rows: np.ndarray, cols: np.ndarray) -> None:
        self.rows, self.cols = rows, cols
        self._cached: Optional[tuple[np.ndarray, np.ndarray, np.ndarray]] = None
        self._union = False   # the factors leave some of the entries out: add them
        self._union_of: Optional[tuple] = None   # (L's pattern, the union's, where L goes)

    def start(self, f: factor.SparseFactor) -> None:
        """Starts f's selected inverse early (see `SparseFactor.start_selected_inverse`)
        where this reader will take it from the factor as it is."""
        if not self._union:
            f.start_selected_inverse()

    def __call__(self, f: factor.SparseFactor) -> np.ndarray:
        inverse = self._with_entries(f) if self._union else f.selected_inverse()
        cached = self._cached
        if cached is not None and np.array_equal(cached[0], inverse.indptr) \
                and np.array_equal(cached[1], inverse.indices):
            return inverse.values[cached[2]]
        try:
            positions = inverse._positions(self.rows, self.cols)
        except KeyError:
            self._union = True
            inverse = self._with_entries(f)
            positions = inverse._positions(self.rows, self.cols)
        self._cached = (inverse.indptr, inverse.indices, positions)
        return inverse.values[positions]

    def _with_entries(self, f: factor.SparseFactor) -> factor.SelectedInverse:
        """The selected inverse on the factor's pattern plus the entries read, which a
        factor drops where the matrix's entries cancel to zero or are stored zeros: they lie
        in the pattern of the symbolic factor, so the union is closed under elimination.
        The union's pattern is found once per pattern of L."""
        L, d = f.factor()
        cached = self._union_of
        if cached is None or not (np.array_equal(cached[0], L.indptr)
                                  and np.array_equal(cached[1], L.indices)):
            n = L.shape[0]
            own = column_keys(L.indptr, L.indices, n)
            keys = sorted_unique(np.r_[own, self.cols.astype(np.int64) * n + self.rows])
            indices = (keys % n).astype(L.indices.dtype)
            indptr = np.searchsorted(keys // n, np.arange(n + 1)).astype(L.indptr.dtype)
            cached = (L.indptr.copy(), L.indices.copy(), indptr, indices, np.searchsorted(keys, own))
            self._union_of = cached
        _, _, indptr, indices, where = cached
        data = np.zeros(indices.size)
        data[where] = L.data
        return factor.SelectedInverse(f.perm, *_takahashi(indptr, indices, data, d))

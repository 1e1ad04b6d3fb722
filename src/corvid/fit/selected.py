"""Entries of a factored matrix's inverse read at a fixed list of places, many times.

The fit reads the selected inverse of each new factor at the same entries (the pattern's
lower triangle, the pairs that predictions need). Where those entries sit among the
selected inverse's values is found once per pattern and then reused.
"""

from __future__ import annotations

from typing import Optional

import numpy as np
from scipy import sparse

from . import factor
from ._selected_inverse import selected_inverse as _takahashi

__all__ = ["SelectedReader"]


class SelectedReader:
    """Reads A⁻¹ at lower-triangle entries (rows, cols) given in the factor's order."""

    def __init__(self, rows: np.ndarray, cols: np.ndarray) -> None:
        self.rows, self.cols = rows, cols
        self._cached: Optional[tuple[np.ndarray, np.ndarray, np.ndarray]] = None
        self._union = False   # the factors leave some of the entries out: add them

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
        in the pattern of the symbolic factor, so the union is closed under elimination."""
        L, d = f.factor()
        L = L.tocoo()
        union = sparse.coo_matrix(
            (np.r_[L.data, np.zeros(self.rows.size)],
             (np.r_[L.row, self.rows], np.r_[L.col, self.cols])), shape=L.shape).tocsc()
        union.sort_indices()
        return factor.SelectedInverse(f.perm, *_takahashi(union.indptr, union.indices,
                                                          union.data, d))

"""Weighted sums of sparse matrices on one fixed pattern, in a fixed symmetric ordering.

The fit factors c0 M0 + c1 M1 + ... for many weights. The pattern, the ordering and each
term's place in it are found once; a new sum is one pass over stored values, already in the
factor's order, so no ordering is computed again and nothing is permuted again.
"""

from __future__ import annotations

from typing import Optional, Sequence, Union

import numpy as np
from scipy import sparse

from .. import _pages

__all__ = ["AlignedSum", "natural_sum", "sorted_unique", "column_keys"]

_KEY_CHUNK = 2**18   # entries per step of column_keys: its temporaries stay below 4 MiB


def sorted_unique(keys: np.ndarray) -> np.ndarray:
    """The distinct values, ascending: np.unique by sorting, which for a few million integer
    keys takes a tenth of the time of NumPy's hashing route."""
    keys = np.sort(keys)
    return keys[np.r_[True, keys[1:] != keys[:-1]]] if keys.size else keys


def column_keys(indptr: np.ndarray, indices: np.ndarray, n: int) -> np.ndarray:
    """col n + row of every stored entry of compressed columns (indptr, indices) with n
    rows: ascending where the rows are sorted in each column.

    Built a chunk of columns at a time into ordinary pages (see `corvid._pages`): an array of
    a factor's size made in one go sat up to a second in the kernel's compaction of memory
    for huge pages, where the work itself takes a hundredth of that."""
    indptr = np.asarray(indptr, dtype=np.int64)
    keys = _pages.empty(int(indptr[-1]) if indptr.size else 0, np.int64)
    starts = np.searchsorted(indptr, np.arange(0, keys.size, _KEY_CHUNK), side="right") - 1
    bounds = np.unique(np.r_[starts, indptr.size - 1]) if indptr.size else np.zeros(1, np.int64)
    for first, last in zip(bounds[:-1], bounds[1:]):
        a, b = indptr[first], indptr[last]
        keys[a:b] = np.repeat(np.arange(first, last, dtype=np.int64) * n,
                              np.diff(indptr[first:last + 1]))
        keys[a:b] += indices[a:b]
    return keys


def _keys(A: sparse.csc_matrix) -> np.ndarray:
    """col n + row of every stored entry of a canonical CSC matrix, ascending."""
    return column_keys(A.indptr, A.indices, A.shape[0])


def natural_sum(terms: Sequence, weights, rows=None, row_weights: Optional[np.ndarray] = None,
                structure=None) -> sparse.csc_matrix:
    """The sum `AlignedSum(terms, arange(n), rows, structure).matrix(weights, row_weights)`
    gives, on the same pattern (entries that cancel kept as stored zeros), made by SciPy's
    sparse sums in a tenth of the time of aligning the terms: the first matrix of a fit,
    which is factored once for its fill-reducing ordering."""
    n = terms[0].shape[0]
    pattern = [abs(sparse.csc_matrix(t)) for t in terms]
    total = sum(w * sparse.csc_matrix(t) for w, t in zip(weights, terms))
    if rows is not None:
        A = sparse.csr_matrix(rows)
        pattern.append(abs(A).T @ abs(A))
        total = total + A.T @ sparse.diags(np.asarray(row_weights, dtype=np.float64)) @ A
    if structure is not None:
        r, c = (np.asarray(v, dtype=np.int64) for v in structure)
        pattern.append(sparse.csc_matrix((np.ones(2 * r.size), (np.r_[r, c], np.r_[c, r])),
                                         shape=(n, n)))
    union, total = sparse.csc_matrix(sum(pattern)), sparse.csc_matrix(total)
    for matrix in (union, total):
        matrix.sum_duplicates()
        matrix.eliminate_zeros()
    data = np.zeros(union.nnz)
    data[np.searchsorted(_keys(union), _keys(total))] = total.data
    out = sparse.csc_matrix((data, union.indices, union.indptr), shape=(n, n))
    out.has_sorted_indices = True
    return out


class AlignedSum:
    """Square matrices of order n, each term's values placed on the union of their nonzero
    entries taken in the order `perm` (entry (i, j) of the sum at (where[i], where[j]), where[perm] =
    0..n-1); and optionally Aᵀ diag(w) A for a sparse `rows` matrix A (m x n), whose weights
    w (m,) change from sum to sum (the observations' weights of a Newton step).

    `structure` (rows, cols), in the matrix's own order: entries kept in the pattern (both
    (i, j) and (j, i)) even where every term is zero, so that a factor's pattern, and the
    selected inverse on it, holds them.

    `indptr`, `indices`: the union pattern in compressed-column form, rows ascending.
    `parts`: sparse, shape (terms, nnz), each term's values on it.
    """

    def __init__(self, terms: Sequence, perm: np.ndarray, rows=None, structure=None) -> None:
        n = perm.shape[0]
        self.n = n
        self.perm = perm
        where = np.empty(n, dtype=np.int64)
        where[perm] = np.arange(n)
        entries = [sparse.coo_matrix(t) for t in terms]
        keys = [where[e.col] * n + where[e.row] for e in entries]
        pairs = _row_pairs(sparse.csr_matrix(rows), where) if rows is not None else None
        kept = []
        if pairs is not None:
            keys.append(pairs[0])
            kept.append(pairs[0][pairs[2] != 0.0])
        if structure is not None:
            r, c = (where[np.asarray(v, dtype=np.int64)] for v in structure)
            kept += [c * n + r, r * n + c]
        keys += kept
        union = sorted_unique(np.concatenate(keys) if keys else np.empty(0, np.int64))
        # Each term's values on the union: sparse, as a term fills a small part of it (one
        # time step's block of a space-time precision, one group's diagonal).
        term_of = np.concatenate([np.full(e.nnz, t, dtype=np.int64) for t, e in enumerate(entries)]
                                 or [np.empty(0, np.int64)])
        at = np.searchsorted(union, np.concatenate(keys[:len(entries)] or [np.empty(0, np.int64)]))
        values = np.concatenate([e.data for e in entries] or [np.empty(0)])
        parts = sparse.csc_matrix((values, (term_of, at)), shape=(len(entries), union.size))
        parts.sum_duplicates()
        parts.eliminate_zeros()
        # Entries stored as zero in every term stay out, unless `structure` or the rows term
        # asks for them: SuperLU takes a stored zero for structure and then factors many
        # times slower.
        used = np.diff(parts.indptr) > 0
        for key in kept:
            used[np.searchsorted(union, key)] = True
        # The columns left out are empty: dropping them changes the column pointers alone.
        columns_used = np.flatnonzero(used)
        parts = sparse.csc_matrix((parts.data, parts.indices, np.r_[0, parts.indptr[columns_used + 1]]),
                                  shape=(len(entries), columns_used.size))
        self.keys, self.parts = union[used], sparse.csr_matrix(parts)
        self.indices = (self.keys % n).astype(np.int32 if n < 2**31 else np.int64)
        columns = self.keys // n
        self.indptr = np.searchsorted(columns, np.arange(n + 1)).astype(self.indices.dtype)
        self._columns = columns
        self._rows_map: Optional[sparse.csr_matrix] = None
        self._rows_lower: Optional[sparse.csr_matrix] = None
        if pairs is not None:
            key, observation, product = pairs
            m = rows.shape[0]
            at = np.searchsorted(self.keys, key)
            self._rows_map = sparse.csr_matrix((product, (at, observation)),
                                               shape=(self.keys.size, m))
            # The same products read at the lower entry of each pair: both orders of an
            # off-diagonal pair land there, which doubles it as a trace needs.
            row, col = key % n, key // n
            lower_key = np.maximum(row, col) + np.minimum(row, col) * n
            lower_at = np.searchsorted(self._lower_keys(), lower_key)
            self._rows_lower = sparse.csr_matrix((product, (observation, lower_at)),
                                                 shape=(m, int(np.count_nonzero(self._is_lower()))))

    def matrix(self, weights: Union[Sequence[float], np.ndarray],
               row_weights: Optional[np.ndarray] = None) -> sparse.csc_matrix:
        """sum_k weights[k] terms[k] (+ Aᵀ diag(row_weights) A), in the order `perm`, on the
        full pattern."""
        data = self.parts.T @ np.asarray(weights, dtype=np.float64)
        if row_weights is not None:
            assert self._rows_map is not None, "this sum has no rows term"
            data = data + self._rows_map @ row_weights
        out = sparse.csc_matrix((data, self.indices, self.indptr), shape=(self.n, self.n))
        out.has_sorted_indices = True
        return out

    def lower(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(rows, cols, weights) of the pattern's lower triangle in the order `perm`, and each
        term's values there times 2 off the diagonal (shape (terms, entries)): the trace of a
        symmetric term times another symmetric matrix S is weights @ S's lower values (weights
        sparse)."""
        rows = self.indices.astype(np.int64)
        lower = self._is_lower()
        doubling = np.where(rows[lower] == self._columns[lower], 1.0, 2.0)
        weights = sparse.csr_matrix(self.parts[:, np.flatnonzero(lower)] @ sparse.diags(doubling))
        return rows[lower], self._columns[lower], weights

    def rows_quadratic(self, lower_values: np.ndarray) -> np.ndarray:
        """a_iᵀ S a_i for every row a_i of the rows term, given a symmetric S by its values at
        the entries `lower()` lists: the diagonal of A S Aᵀ, shape (m,)."""
        assert self._rows_lower is not None, "this sum has no rows term"
        return self._rows_lower @ lower_values

    def _is_lower(self) -> np.ndarray:
        return self.indices.astype(np.int64) >= self._columns

    def _lower_keys(self) -> np.ndarray:
        return self.keys[self._is_lower()]


def _row_pairs(A: sparse.csr_matrix, where: np.ndarray):
    """For every row of A and every ordered pair (p, q) of its stored entries: the key of
    entry (col_p, col_q) in the order `where`, the row, and A[row, p] A[row, q]."""
    n = where.shape[0]
    counts = np.diff(A.indptr)
    row_of = np.repeat(np.arange(A.shape[0]), counts)
    partners = counts[row_of]
    p = np.repeat(np.arange(A.nnz), partners)
    q = np.repeat(A.indptr[:-1][row_of], partners) + (
        np.arange(p.size) - np.repeat(np.cumsum(partners) - partners, partners))
    ci, cj = where[A.indices[p]], where[A.indices[q]]
    return cj * n + ci, row_of[p], A.data[p] * A.data[q]

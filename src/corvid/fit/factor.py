"""Sparse Cholesky factors of symmetric positive definite matrices, and selected inverses.

`cholesky(A)` factors A once with a fill-reducing ordering and answers solves,
log-determinants and, through `selected_inverse()`, the entries of A⁻¹ on the factor's
pattern (marginal variances among them). Three backends share this interface:

- "supernodal": corvid's own supernodal Cholesky (corvid.fit.supernodal), METIS ordering
  (SuperLU's minimum degree where pymetis has no wheel);
- "cholmod": CHOLMOD through scikit-sparse, when it is installed (the `cholmod` extra);
- "superlu": SciPy's SuperLU in symmetric mode without pivoting, read off as L D Lᵀ.

The backend is "supernodal" unless the environment variable CORVID_CHOLESKY or the
`backend` argument chooses another.
"""

from __future__ import annotations

import os
from typing import Optional, Union

import numpy as np
from scipy import sparse
from scipy.sparse import linalg as sparse_linalg

from ._cholesky import NotPositiveDefiniteError
from ._cholesky import csc_selected_inverse as _takahashi
from ._cholesky import csc_unit_transposed_solve as _unit_transposed_solve

__all__ = ["cholesky", "SparseFactor", "SelectedInverse", "NotPositiveDefiniteError",
           "available_backends"]

Ordering = Union[None, str, np.ndarray]


NotPositiveDefiniteError.__module__ = __name__  # raised by every backend; defined natively

BACKENDS = ("supernodal", "cholmod", "superlu")


def available_backends() -> list[str]:
    """The backends that work here, the preferred one first."""
    try:
        import sksparse.cholmod  # noqa: F401
    except ImportError:
        return ["supernodal", "superlu"]
    return ["supernodal", "cholmod", "superlu"]


def _choose_backend(backend: Optional[str]) -> str:
    chosen = backend or os.environ.get("CORVID_CHOLESKY") or "supernodal"
    if chosen not in BACKENDS:
        where = "the backend argument" if backend else "CORVID_CHOLESKY"
        raise ValueError(f"unknown Cholesky backend {chosen!r} ({where}); use "
                         f"{', '.join(repr(b) for b in BACKENDS)}")
    backend = chosen
    if backend == "cholmod" and "cholmod" not in available_backends():
        raise ImportError("the CHOLMOD backend needs scikit-sparse: pip install 'corvid[cholmod]' "
                          "(it builds against SuiteSparse, e.g. Debian's libsuitesparse-dev)")
    return backend


def _square_csc(A) -> sparse.csc_matrix:
    """A as compressed columns of float64, rows sorted and summed where repeated (a copy when
    A's own arrays would have to change)."""
    if not sparse.issparse(A):
        A = np.asarray(A)
        if A.dtype.kind not in "biuf":
            raise TypeError(f"the matrix must hold real numbers, got dtype {A.dtype}")
    elif A.dtype.kind not in "biuf":
        raise TypeError(f"the matrix must hold real numbers, got dtype {A.dtype}")
    if len(A.shape) != 2 or A.shape[0] != A.shape[1]:
        raise ValueError(f"the matrix must be square, got shape {A.shape}")
    if A.shape[0] == 0:
        raise ValueError("the matrix is empty (shape (0, 0)): there is nothing to factor")
    A = sparse.csc_matrix(A, dtype=np.float64)
    if not A.has_canonical_format:
        A = A.copy()
        A.sum_duplicates()
    return A


def _ordering(ordering: Ordering, n: int) -> Optional[np.ndarray]:
    """None for the backend's own fill-reducing ordering, else a checked permutation."""
    if ordering is None:
        return None
    if isinstance(ordering, str):
        if ordering != "natural":
            raise ValueError(f"ordering must be None, 'natural' or a permutation, got {ordering!r}")
        return np.arange(n)
    perm = np.asarray(ordering)
    if perm.shape != (n,) or perm.dtype.kind not in "iu" or not np.array_equal(
            np.sort(perm), np.arange(n)):
        raise ValueError(f"ordering must be a permutation of 0..{n - 1}")
    return perm.astype(np.intp)


class SparseFactor:
    """A = Pᵀ L D Lᵀ P for a symmetric positive definite A: made once, then asked.

    Attributes: `backend` ("supernodal", "cholmod" or "superlu"), `n`, and `perm`, the
    ordering, so that the factor is that of A[perm][:, perm]. Solves take and give vectors in
    A's own order.
    """

    backend: str
    n: int
    perm: np.ndarray

    def solve(self, b: np.ndarray) -> np.ndarray:
        """A⁻¹ b for b of shape (n,) or (n, k)."""
        raise NotImplementedError

    def solve_root(self, b: np.ndarray) -> np.ndarray:
        """y = R⁻¹ b[perm] for b of shape (n,) or (n, k), with R = L D^½ the Cholesky root of
        A[perm][:, perm] = R Rᵀ: b's rows in A's own order, y's in the factor's.

        Half a solve: bᵀ A⁻¹ c = yᵀ (R⁻¹ c[perm]) needs no backward substitution, and
        solve_transposed_root(y) = A⁻¹ b.
        """
        b = np.asarray(b, dtype=np.float64)
        if b.ndim not in (1, 2) or b.shape[0] != self.n:
            raise ValueError(f"b must have shape ({self.n},) or ({self.n}, k), got {b.shape}")
        L, d = self.factor()
        y = sparse_linalg.spsolve_triangular(L.tocsr(), b[self.perm].reshape(self.n, -1),
                                             lower=True, unit_diagonal=True)
        return np.ascontiguousarray(y / np.sqrt(d)[:, None]).reshape(b.shape)

    def solve_transposed_root(self, z: np.ndarray,
                              out: Optional[np.ndarray] = None) -> np.ndarray:
        """x = Pᵀ R⁻ᵀ z for z of shape (n,) or (n, k), with R = L D^½ the Cholesky root of
        A[perm][:, perm] = R Rᵀ and (P x) = x[perm]: z's rows in the factor's order, x's in
        A's own.

        Then xᵀ A x = zᵀ z, and for standard normal z, x ~ N(0, A⁻¹): joint samples without
        a dense covariance. x goes into `out` when given (float64 of z's shape, each row's
        values contiguous, e.g. a block of columns of a wider array; z itself will do),
        else into a new array. TypeError for z that is not real, ValueError for another
        number of rows or dimensions, for values that are not finite and for an `out` that
        cannot take x.
        """
        z = _right_hand_sides(z, self.n)
        target = np.empty(z.shape) if out is None else _writable_like(out, z.shape)
        L, d = self.factor()
        y = np.ascontiguousarray(z.reshape(self.n, -1) / np.sqrt(d)[:, None])
        _unit_transposed_solve(L.indptr, L.indices, L.data, y)
        (target if target.ndim == 2 else target[:, None])[self.perm] = y
        return target

    def logdet(self) -> float:
        """log |A|."""
        return float(np.sum(np.log(self.factor()[1])))

    def factor(self) -> tuple[sparse.csc_matrix, np.ndarray]:
        """(L, d): L unit lower triangular (CSC, sorted rows), d > 0, with L diag(d) Lᵀ =
        A[perm][:, perm]."""
        raise NotImplementedError

    def refactor(self, A) -> "SparseFactor":
        """The factor of another matrix with A's pattern, in the same ordering."""
        raise NotImplementedError

    def refactor_permuted(self, permuted) -> "SparseFactor":
        """Like `refactor`, given B[perm][:, perm] (CSC) rather than B itself: no permuting."""
        raise NotImplementedError

    def start_selected_inverse(self) -> None:
        """Starts `selected_inverse()` in a thread of its own, for the next call to take
        (nothing, where a backend cannot)."""

    def selected_inverse(self) -> "SelectedInverse":
        """The entries of A⁻¹ on the factor's pattern."""
        L, d = self.factor()
        indptr, indices, values = _takahashi(L.indptr, L.indices, L.data, d)
        return SelectedInverse(self.perm, indptr, indices, values)

    def _solve_permuted(self, solve, b: np.ndarray) -> np.ndarray:
        """A⁻¹ b through `solve`, which solves with A[perm][:, perm]."""
        b = np.asarray(b, dtype=np.float64)
        x = np.empty_like(b)
        x[self.perm] = solve(b[self.perm])
        return x


def _right_hand_sides(z, n: int) -> np.ndarray:
    """z as float64 of shape (n,) or (n, k), checked as the supernodal factor checks it."""
    z = np.asarray(z)
    if z.dtype.kind not in "biuf":
        raise TypeError(f"z must be an array of real numbers, got dtype {z.dtype!r}")
    if z.ndim not in (1, 2):
        raise ValueError(f"z must have one or two dimensions, got {z.ndim}")
    if z.shape[0] != n:
        raise ValueError(f"z has {z.shape[0]} rows for a matrix of order {n}")
    z = z.astype(np.float64, copy=False)
    finite = np.isfinite(z)
    if not finite.all():
        where = np.unravel_index(int(np.argmin(finite)), z.shape)
        raise ValueError(f"z must be finite: z[{', '.join(map(str, where))}] is "
                         f"{float(z[where])}")
    return z


def _writable_like(out, shape: tuple) -> np.ndarray:
    """out, checked as the supernodal factor checks it: float64, writable, of this shape,
    each row's values contiguous."""
    rows = f"({shape[0]}, {shape[1]})" if len(shape) == 2 else f"({shape[0]},)"
    if not (isinstance(out, np.ndarray) and out.dtype == np.float64 and out.shape == shape
            and out.flags.writeable and out.strides[-1] % 8 == 0
            and (len(shape) == 1 or shape[1] <= 1 or out.strides[1] == 8)):
        raise ValueError(f"out must be a writable float64 array of the shape of z {rows}, "
                         f"each row's values contiguous")
    return out


_SUPERLU_OPTIONS = dict(diag_pivot_thresh=0.0, options={"SymmetricMode": True})


class _SuperLUFactor(SparseFactor):
    backend = "superlu"

    def __init__(self, A: sparse.csc_matrix, perm: Optional[np.ndarray], permuted: bool = False) -> None:
        """perm None: SuperLU's minimum degree ordering. `permuted`: A is already in order."""
        self.n = A.shape[0]
        try:
            if perm is None:
                lu = sparse_linalg.splu(A, permc_spec="MMD_AT_PLUS_A", **_SUPERLU_OPTIONS)
            else:
                ordered = A if permuted or _is_identity(perm) else A[perm][:, perm].tocsc()
                lu = sparse_linalg.splu(ordered, permc_spec="NATURAL", **_SUPERLU_OPTIONS)
        except RuntimeError as exc:  # "Factor is exactly singular"
            raise NotPositiveDefiniteError(f"the matrix is not positive definite: {exc}") from exc
        if not np.array_equal(lu.perm_r, lu.perm_c):
            raise NotPositiveDefiniteError(
                "the matrix is not positive definite: SuperLU pivoted off the diagonal")
        self._lu = lu
        # perm_c[i] is the position of index i in the factored order
        self.perm = np.argsort(lu.perm_c) if perm is None else perm
        self._own_order = perm is None or _is_identity(perm)  # lu.solve takes A's order
        self._factor: Optional[tuple[sparse.csc_matrix, np.ndarray]] = None
        d = lu.U.diagonal()
        if not np.all(d > 0.0):
            raise NotPositiveDefiniteError(
                f"the matrix is not positive definite: pivot {int(np.argmin(d))} is "
                f"{d.min():.3g}")
        self._d = d

    def solve(self, b: np.ndarray) -> np.ndarray:
        if self._own_order:
            return self._lu.solve(np.asarray(b, dtype=np.float64))
        return self._solve_permuted(self._lu.solve, b)

    def logdet(self) -> float:
        return float(np.sum(np.log(self._d)))

    def factor(self) -> tuple[sparse.csc_matrix, np.ndarray]:
        if self._factor is None:
            L = sparse.csc_matrix(self._lu.L)
            L.sort_indices()
            _check_symmetric_lu(L, self._lu.U, self._d)
            self._factor = (L, self._d)
        return self._factor

    def refactor(self, A) -> SparseFactor:
        return _SuperLUFactor(_square_csc(A), self.perm)

    def refactor_permuted(self, permuted) -> SparseFactor:
        return _SuperLUFactor(_square_csc(permuted), self.perm, permuted=True)


def _is_identity(perm: np.ndarray) -> bool:
    return bool(np.array_equal(perm, np.arange(perm.shape[0])))


def _check_symmetric_lu(L: sparse.csc_matrix, U, d: np.ndarray) -> None:
    """SuperLU without pivoting in symmetric mode gives L unit lower and U = D Lᵀ; anything
    else is not a factor to read L D Lᵀ from. U = D Lᵀ is compared on a random vector,
    which any difference beyond rounding shows, at the cost of two products."""
    n = L.shape[0]
    starts = L.indptr[:-1]
    unit = bool((np.diff(L.indptr) > 0).all() and np.array_equal(L.indices[starts], np.arange(n))
                and np.all(L.data[starts] == 1.0))
    probe = np.random.default_rng(n).standard_normal(n)
    Uv = U @ probe
    gap = float(np.max(np.abs(Uv - d * (L.T @ probe)), initial=0.0))
    if not unit or gap > 1e-8 * float(np.max(np.abs(Uv), initial=0.0)):
        raise NotPositiveDefiniteError("SuperLU's factors are not L and D Lᵀ of one "
                                       "symmetric matrix")


class _CholmodFactor(SparseFactor):
    """CHOLMOD's factor, either of A with CHOLMOD's own ordering, or of A[perm][:, perm]
    in natural order (a given ordering). Symbolic analyses are shared by refactors."""

    backend = "cholmod"

    def __init__(self, A: sparse.csc_matrix, perm: Optional[np.ndarray], *,
                 permuted: bool = False, symbolic=None) -> None:
        from sksparse import cholmod

        self.n = A.shape[0]
        self._natural = perm is not None  # the factor is of A[perm][:, perm], natural order
        if self._natural and not permuted:
            A = A if _is_identity(perm) else A[perm][:, perm].tocsc()
        if symbolic is None:
            symbolic = cholmod.analyze(A, ordering_method="natural" if self._natural else "default")
        try:
            self._chol = symbolic.cholesky(A)
        except cholmod.CholmodNotPositiveDefiniteError as exc:
            raise NotPositiveDefiniteError(f"the matrix is not positive definite: {exc}") from exc
        self._symbolic = symbolic
        self._permuted_symbolic = symbolic if self._natural else None
        self.perm = perm if perm is not None else self._chol.P()
        self._factor: Optional[tuple[sparse.csc_matrix, np.ndarray]] = None

    def solve(self, b: np.ndarray) -> np.ndarray:
        if self._natural:
            return self._solve_permuted(self._chol.solve_A, b)
        return self._chol.solve_A(np.asarray(b, dtype=np.float64))

    def logdet(self) -> float:
        return float(self._chol.logdet())

    def factor(self) -> tuple[sparse.csc_matrix, np.ndarray]:
        if self._factor is None:
            L, D = self._chol.L_D()
            L = sparse.csc_matrix(L)
            L.sort_indices()
            d = np.asarray(D.diagonal(), dtype=np.float64)
            if not np.all(d > 0.0):
                raise NotPositiveDefiniteError("the matrix is not positive definite")
            self._factor = (L, d)
        return self._factor

    def refactor(self, A) -> SparseFactor:
        A = _square_csc(A)
        if self._natural:
            return _CholmodFactor(A, self.perm, symbolic=self._symbolic)
        return _CholmodFactor(A, None, symbolic=self._symbolic)

    def refactor_permuted(self, permuted) -> SparseFactor:
        factor = _CholmodFactor(_square_csc(permuted), self.perm, permuted=True,
                                symbolic=self._permuted_symbolic)
        self._permuted_symbolic = factor._symbolic
        return factor


def cholesky(A, *, ordering: Ordering = None, backend: Optional[str] = None) -> SparseFactor:
    """Factor a sparse symmetric positive definite matrix A (both triangles stored).

    ordering: None for the backend's fill-reducing ordering (supernodal: METIS nested
    dissection, then a postorder of the elimination tree; SuperLU: minimum degree on A + Aᵀ;
    CHOLMOD: its default, AMD or METIS), "natural" for none, or a permutation.
    backend: "supernodal", "cholmod", "superlu" or None (see the module's note).

    Raises NotPositiveDefiniteError (a ValueError) when A is not positive definite, ValueError
    when A is empty, not square, not symmetric or not finite, TypeError for complex or
    non-numeric entries, and MemoryError (before allocating) when the factor would not fit.
    """
    A = _square_csc(A)
    perm = _ordering(ordering, A.shape[0])
    chosen = _choose_backend(backend)
    if chosen == "supernodal":
        from .supernodal import factorize

        return factorize(A, perm)
    if chosen == "cholmod":
        return _CholmodFactor(A, perm)
    return _SuperLUFactor(A, perm)


class SelectedInverse:
    """Entries of A⁻¹ on the pattern of A's factor (closed under elimination, so it holds
    the pattern of A): the diagonal, and any entry (i, j) where i and j are neighbours in A.

    Stored as the lower triangle in the factor's order (`perm`), column by column.
    """

    def __init__(self, perm: np.ndarray, indptr: np.ndarray, indices: np.ndarray,
                 values: np.ndarray) -> None:
        self.perm = perm
        self.indptr, self.indices, self.values = indptr, indices, values
        self.n = perm.shape[0]
        self._keys: Optional[np.ndarray] = None

    def diagonal(self) -> np.ndarray:
        """diag(A⁻¹), in A's own order."""
        out = np.empty(self.n)
        out[self.perm] = self.values[self.indptr[:-1]]
        return out

    def positions(self, rows: np.ndarray, cols: np.ndarray) -> np.ndarray:
        """Where entries (rows[k], cols[k]) of A⁻¹ (A's own order) sit in `values`.

        Raises KeyError when some pair lies outside the pattern.
        """
        where = np.empty(self.n, dtype=np.int64)
        where[self.perm] = np.arange(self.n)
        r, c = where[np.asarray(rows)], where[np.asarray(cols)]
        return self._positions(np.maximum(r, c), np.minimum(r, c))

    def _positions(self, lower_rows: np.ndarray, lower_cols: np.ndarray) -> np.ndarray:
        if self._keys is None:
            from .assembly import column_keys

            self._keys = column_keys(self.indptr, self.indices, self.n)
        query = lower_cols.astype(np.int64) * self.n + lower_rows
        found = np.minimum(np.searchsorted(self._keys, query), max(self._keys.size - 1, 0))
        if query.size and (self._keys.size == 0 or np.any(self._keys[found] != query)):
            raise KeyError("entries outside the factor's pattern")
        return found

    def lookup(self, rows: np.ndarray, cols: np.ndarray) -> np.ndarray:
        """Entries (rows[k], cols[k]) of A⁻¹, A's own order; KeyError outside the pattern."""
        return self.values[self.positions(rows, cols)]

    def tocsc(self) -> sparse.csc_matrix:
        """The stored entries as a symmetric matrix in A's own order (zero elsewhere)."""
        counts = np.diff(self.indptr)
        cols = self.perm[np.repeat(np.arange(self.n), counts)]
        rows = self.perm[self.indices]
        off = rows != cols
        entries = sparse.coo_matrix(
            (np.concatenate([self.values, self.values[off]]),
             (np.concatenate([rows, cols[off]]), np.concatenate([cols, rows[off]]))),
            shape=(self.n, self.n))
        return entries.tocsc()

"""corvid's own Cholesky backend ("supernodal"): a METIS nested-dissection ordering, a
symbolic analysis made once per pattern, and supernodal numeric factors, solves and selected
inverses (corvid.fit._cholesky), the dense blocks going to SciPy's BLAS and LAPACK.

METIS comes from pymetis, which has wheels for Linux on x86-64 and macOS on arm64; where it
is not installed, the ordering is SciPy's SuperLU's minimum degree (one SuperLU factor per
pattern, and a factor with more fill).

An `Analysis` belongs to one pattern and one ordering; every factor of a matrix with that
pattern shares it, so refactoring costs the numeric work only. Memory is checked against
what the system can give before a factor or a selected inverse is allocated.
"""

from __future__ import annotations

import threading
from typing import Optional

import numpy as np
from scipy import sparse

from .. import _memory
from . import _cholesky
from .blas_threads import one_blas_thread
from .factor import SelectedInverse, SparseFactor

__all__ = ["Analysis", "SupernodalFactor", "fill_reducing_ordering", "factorize"]

_blas_threads = one_blas_thread  # what a factor runs its native calls under

# How many patterns an analysis remembers where their entries go (the fit uses one or two).
_PLACED_KEPT = 4


def fill_reducing_ordering(A: sparse.csc_matrix) -> np.ndarray:
    """METIS's nested-dissection ordering of A's (symmetric) pattern, or without pymetis
    SuperLU's minimum degree: A[perm][:, perm] is what is factored."""
    xadj, adjacency = _cholesky.graph(A.indptr, A.indices)  # checks the pattern's symmetry
    n = A.shape[0]
    if adjacency.size == 0:
        return np.arange(n, dtype=np.int64)
    try:
        import pymetis
    except ImportError:
        return _minimum_degree(A)
    if hasattr(pymetis, "CSRAdjacency"):  # pymetis >= 2025.2
        perm, _ = pymetis.nested_dissection(pymetis.CSRAdjacency(xadj, adjacency))
    else:
        perm, _ = pymetis.nested_dissection(xadj=xadj, adjncy=adjacency)
    return np.asarray(perm, dtype=np.int64)


def _minimum_degree(A: sparse.csc_matrix) -> np.ndarray:
    """SuperLU's minimum degree ordering on A + Aᵀ, read off a SuperLU factor of A (natural
    order where SuperLU cannot factor A: the supernodal factor then says why)."""
    from scipy.sparse import linalg as sparse_linalg

    try:
        lu = sparse_linalg.splu(A, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0,
                                options={"SymmetricMode": True})
    except RuntimeError:
        return np.arange(A.shape[0], dtype=np.int64)
    return np.argsort(lu.perm_c).astype(np.int64)


def _memory_available() -> int:
    available = _memory.available_memory()
    return -1 if available is None else int(available)


def _size(count: float) -> str:
    return f"{count / 2**30:.1f} GiB" if count >= 2**30 else f"{count / 2**20:.1f} MiB"


def _check_memory(needed: int, what: str) -> None:
    available = _memory.available_memory()
    if available is not None and needed > available:
        raise MemoryError(f"{what} needs {_size(needed)} but only {_size(available)} of "
                          f"memory are available")




class Analysis:
    """The symbolic analysis of one symmetric pattern in one ordering.

    `perm`: the factor is that of A[perm][:, perm]; `sizes`: the analysis's summary (n,
    supernodes, entries of L, flops, and the bytes a factor, a selected inverse and a solve
    allocate).
    """

    def __init__(self, indptr: np.ndarray, indices: np.ndarray, perm: np.ndarray,
                 postorder: bool) -> None:
        self._handle = _cholesky.analyse(indptr, indices, perm, postorder, _memory_available())
        self.perm = _cholesky.permutation(self._handle)
        self.perm.setflags(write=False)
        self.sizes = _cholesky.summary(self._handle)
        self._pattern: Optional[tuple[np.ndarray, np.ndarray]] = None
        self._placed: list[tuple[np.ndarray, np.ndarray, bool, object]] = []

    def pattern(self) -> tuple[np.ndarray, np.ndarray]:
        """(indptr, indices) of L's lower triangle in the factor's order (read-only)."""
        if self._pattern is None:
            indptr, indices = _cholesky.factor_pattern(self._handle)
            indptr.setflags(write=False)
            indices.setflags(write=False)
            self._pattern = (indptr, indices)
        return self._pattern

    def placed(self, A: sparse.csc_matrix, ordered: bool):
        """Where A's entries go in the factor (A in its own order, or with `ordered` in the
        factor's), or None when A has entries outside the factor's pattern."""
        for indptr, indices, was_ordered, handle in self._placed:
            if was_ordered == ordered and np.array_equal(indptr, A.indptr) \
                    and np.array_equal(indices, A.indices):
                return handle
        handle = _cholesky.place(self._handle, A.indptr, A.indices, ordered)
        if handle is not None:
            self._placed = [(A.indptr.copy(), A.indices.copy(), ordered, handle),
                            *self._placed[:_PLACED_KEPT - 1]]
        return handle


class SupernodalFactor(SparseFactor):
    """A = Pᵀ L Lᵀ P by corvid's supernodal Cholesky; see `SparseFactor`."""

    backend = "supernodal"

    def __init__(self, analysis: Analysis, placed, data: np.ndarray) -> None:
        _check_memory(analysis.sizes["factor_bytes"], "the Cholesky factor")
        with _blas_threads():
            self._handle = _cholesky.factorize(placed, data)
        self._analysis = analysis
        self.n = analysis.sizes["n"]
        self.perm = analysis.perm
        self._factor: Optional[tuple[sparse.csc_matrix, np.ndarray]] = None
        self._started: Optional[_Started] = None

    def solve(self, b: np.ndarray) -> np.ndarray:
        with _blas_threads():
            return _cholesky.solve(self._handle, b)

    def solve_root(self, b: np.ndarray) -> np.ndarray:
        with _blas_threads():
            return _cholesky.solve_root(self._handle, b)

    def solve_transposed_root(self, z: np.ndarray,
                              out: Optional[np.ndarray] = None) -> np.ndarray:
        with _blas_threads():
            return _cholesky.solve_transposed_root(self._handle, z, out)

    def logdet(self) -> float:
        return _cholesky.logdet(self._handle)

    def factor(self) -> tuple[sparse.csc_matrix, np.ndarray]:
        if self._factor is None:
            indptr, indices = self._analysis.pattern()
            values, d = _cholesky.unit_factor(self._handle)
            L = sparse.csc_matrix((values, indices, indptr), shape=(self.n, self.n))
            L.has_sorted_indices = True
            self._factor = (L, d)
        return self._factor

    def refactor(self, A) -> SparseFactor:
        from .factor import _square_csc

        return self._refactor(_square_csc(A), ordered=False)

    def refactor_permuted(self, permuted) -> SparseFactor:
        from .factor import _square_csc

        return self._refactor(_square_csc(permuted), ordered=True)

    def _refactor(self, A: sparse.csc_matrix, ordered: bool) -> SparseFactor:
        if A.shape[0] != self.n:
            raise ValueError(f"the matrix has order {A.shape[0]}; the factor is of order {self.n}")
        analysis = self._analysis
        placed = analysis.placed(A, ordered)
        if placed is None:  # entries outside the factor's pattern: analyse it, same ordering
            own = A
            if ordered:
                where = np.empty(self.n, dtype=np.int64)
                where[self.perm] = np.arange(self.n)
                own = A[where][:, where].tocsc()
                own.sort_indices()
            analysis = Analysis(own.indptr, own.indices, self.perm, postorder=False)
            placed = analysis.placed(A, ordered)
        return SupernodalFactor(analysis, placed, A.data)

    def start_selected_inverse(self) -> None:
        if self._started is None:
            try:
                _check_memory(self._analysis.sizes["inverse_bytes"], "the selected inverse")
            except MemoryError:
                return      # selected_inverse() will say so, if it is asked for
            self._started = _Started(self._handle)

    def selected_inverse(self) -> SelectedInverse:
        started, self._started = self._started, None
        if started is not None:
            handle = started.result()
        else:
            _check_memory(self._analysis.sizes["inverse_bytes"], "the selected inverse")
            with _blas_threads():
                handle = _cholesky.selected_inverse(self._handle)
        indptr, indices = self._analysis.pattern()
        values = np.asarray(_PooledValues(handle))
        return SelectedInverse(self.perm, indptr, indices, values)


class _Started:
    """A selected inverse computed in a thread of its own. The thread is a daemon: an
    interrupted fit does not wait for it (the factor it reads stays alive with it)."""

    def __init__(self, handle) -> None:
        self._handle = handle
        self._values: object = None
        self._error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._run, name="corvid-selected-inverse",
                                        daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            with _blas_threads():
                self._values = _cholesky.selected_inverse(self._handle)
        except BaseException as exc:   # handed to the thread that takes the result
            self._error = exc
        self._handle = None

    def result(self):
        self._thread.join()
        if self._error is not None:
            error, self._error = self._error, None
            raise error
        values, self._values = self._values, None
        return values


class _PooledValues:
    """Values that a native buffer holds, seen by NumPy through its array interface: the
    array keeps this object, and with it the buffer, alive; once the array is gone the buffer
    returns to its analysis, and the next selected inverse reuses its pages."""

    def __init__(self, handle) -> None:
        self._handle = handle
        self.__array_interface__ = _cholesky.array_interface(handle)


def factorize(A: sparse.csc_matrix, perm: Optional[np.ndarray]) -> SupernodalFactor:
    """The factor of A (square, canonical compressed columns) in the ordering `perm`, or
    METIS's nested dissection followed by a postorder of the elimination tree when None."""
    if perm is None:
        analysis = Analysis(A.indptr, A.indices, fill_reducing_ordering(A), postorder=True)
    else:
        analysis = Analysis(A.indptr, A.indices, perm, postorder=False)
    return SupernodalFactor(analysis, analysis.placed(A, ordered=False), A.data)

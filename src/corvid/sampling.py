"""Drawing samples of a Gaussian Markov random field from its sparse precision matrix."""

from __future__ import annotations

import numpy as np
from scipy import linalg, sparse
from scipy.sparse import linalg as sparse_linalg


def gmrf_sample(Q, rng: np.random.Generator, size: int | None = None) -> np.ndarray:
    """Draw from N(0, Q⁻¹) for a symmetric positive definite precision matrix `Q`.

    Q is factored once with a fill-reducing symmetric ordering, P Q Pᵀ = L D Lᵀ (SciPy's
    sparse LU in symmetric mode, without pivoting), and x = Pᵀ L⁻ᵀ D^(-1/2) z for standard
    normal z, so that Cov(x) = Q⁻¹. Returns one sample of length n, or an (n, size) array.
    Raises `ValueError` when Q is not positive definite.
    """
    Q = sparse.csc_matrix(Q, dtype=np.float64)
    n = Q.shape[0]
    if Q.shape != (n, n):
        raise ValueError(f"the precision matrix must be square, got shape {Q.shape}")
    z = rng.standard_normal((n, 1 if size is None else size))
    x = _transform(Q, z)
    return x[:, 0] if size is None else x


def _transform(Q: sparse.csc_matrix, z: np.ndarray) -> np.ndarray:
    """x = Pᵀ L⁻ᵀ D^(-1/2) z with P Q Pᵀ = L D Lᵀ; the dense Cholesky factor if LU pivoted."""
    n = Q.shape[0]
    if n == 0:
        return z
    lu = sparse_linalg.splu(Q, permc_spec="MMD_AT_PLUS_A", diag_pivot_thresh=0.0,
                            options={"SymmetricMode": True})
    if np.array_equal(lu.perm_r, lu.perm_c):
        d = lu.U.diagonal()
        if not np.all(d > 0.0):
            raise ValueError("the precision matrix is not positive definite")
        # lu.L is unit lower triangular in the permuted order: solve Lᵀ y = D^(-1/2) z.
        y = sparse_linalg.spsolve_triangular(lu.L.T.tocsr(), z / np.sqrt(d)[:, None], lower=False)
        return y[lu.perm_c]  # perm_c[i] is the position of index i in the factored order
    # The LU factorisation pivoted off the diagonal: fall back to a dense factor.
    try:
        upper = linalg.cholesky(Q.toarray(), lower=False)
    except linalg.LinAlgError as exc:
        raise ValueError("the precision matrix is not positive definite") from exc
    return linalg.solve_triangular(upper, z, lower=False)

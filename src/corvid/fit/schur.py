"""The fixed effects' Schur complement in the latent posterior precision, as a sum of
positive semidefinite terms.

With H = [[Q + Aᵀ W A, Aᵀ W X], [Xᵀ W A, Xᵀ W X + V⁻¹]] and M = (Q + Aᵀ W A)⁻¹ Aᵀ W X (the
field's share of each fixed effect), the complement is

    S = Xᵀ W X + V⁻¹ - Xᵀ W A M  =  (X - A M)ᵀ W (X - A M) + Mᵀ Q M + V⁻¹.

The left form subtracts two numbers of the size of Xᵀ W X, and for large counts (W ~ 10^9
and more) the field absorbs the intercept so nearly that the difference is all rounding:
negative, or not positive definite. The right form adds terms that are each positive
semidefinite, so S keeps its digits, and its definiteness, however large W is.
"""

from __future__ import annotations

import numpy as np

__all__ = ["fixed_schur"]


def fixed_schur(X: np.ndarray, weights: np.ndarray, A, field_share: np.ndarray,
                Q_field_share: np.ndarray, fixed_precision: np.ndarray) -> np.ndarray:
    """S of the module's note (k, k), symmetric. X (n_obs, k) the fixed effects' design,
    weights (n_obs,) W's diagonal, A (n_obs, n) the field's basis, field_share (n, k) M,
    Q_field_share (n, k) Q M, fixed_precision (k,) V⁻¹'s diagonal."""
    residual = X - np.asarray(A @ field_share).reshape(X.shape)
    scaled = residual * np.sqrt(weights)[:, None]
    S = scaled.T @ scaled + field_share.T @ Q_field_share + np.diag(fixed_precision)
    return 0.5 * (S + S.T)

"""Backward substitution with the transpose of a unit lower triangular sparse
factor, many right-hand sides at once."""

import numpy as np

def unit_transposed_solve(
    indptr: np.ndarray, indices: np.ndarray, data: np.ndarray, rhs: np.ndarray
) -> None: ...

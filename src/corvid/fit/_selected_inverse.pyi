"""Selected inversion of sparse symmetric positive definite matrices (Takahashi
recursions) on compressed-column factors."""

from typing import Tuple

import numpy as np

def selected_inverse(
    indptr: np.ndarray, indices: np.ndarray, data: np.ndarray, d: np.ndarray
) -> Tuple[np.ndarray, np.ndarray, np.ndarray]: ...

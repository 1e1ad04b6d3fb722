"""Point location in a mesh's own triangles, and the mesh's own P1 basis at points."""

from typing import Any, Optional, Tuple, Union

import numpy as np
from scipy import sparse

__all__ = ["find_triangles", "basis_matrix", "MeshGridProjector"]

def find_triangles(mesh: Any, points: Any) -> Tuple[np.ndarray, np.ndarray]: ...
def basis_matrix(mesh: Any, points: Any, *, outside: str = "empty") -> sparse.csr_matrix: ...

class MeshGridProjector:
    mesh: Any
    dims: Tuple[int, int]
    xlim: Tuple[float, float]
    ylim: Tuple[float, float]
    x: np.ndarray
    y: np.ndarray
    lattice: np.ndarray
    proj: sparse.csr_matrix
    inside: np.ndarray
    def __init__(
        self,
        mesh: Any,
        dims: Tuple[int, int] = (100, 100),
        xlim: Optional[Tuple[float, float]] = None,
        ylim: Optional[Tuple[float, float]] = None,
    ) -> None: ...
    @property
    def n_grid(self) -> int: ...
    @property
    def n_inside(self) -> int: ...
    @property
    def inside_2d(self) -> np.ndarray: ...
    def project(
        self, values: Any, mask_outside: bool = True
    ) -> Union[np.ndarray, np.ma.MaskedArray]: ...

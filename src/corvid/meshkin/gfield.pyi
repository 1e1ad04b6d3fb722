"""Spatial field models on triangular meshes: the PC-Matern field, its model files, the
projector matrix to observation locations and the grid projector."""

from dataclasses import dataclass, field
from typing import Optional, Tuple, Union

import numpy as np
from scipy import sparse

from .core import mk_fem as mk_fem
from .mesh import MkFEM as MkFEM
from .mesh import MkMesh as MkMesh

# ---- Projector matrix and grid projector ----

def gfield_make_A(mesh: MkMesh, loc: np.ndarray) -> sparse.csr_matrix: ...
def _compute_barycentric(
    point: np.ndarray, v0: np.ndarray, v1: np.ndarray, v2: np.ndarray
) -> np.ndarray: ...
def _find_nearest_vertex(mesh: MkMesh, point: np.ndarray) -> int: ...

@dataclass
class GfieldGridProjector:
    mesh: MkMesh
    xlim: Tuple[float, float]
    ylim: Tuple[float, float]
    dims: Tuple[int, int]
    x: np.ndarray = field(init=False)
    y: np.ndarray = field(init=False)
    lattice: np.ndarray = field(init=False)
    proj: sparse.csr_matrix = field(init=False)
    inside: np.ndarray = field(init=False)
    def __post_init__(self) -> None: ...
    @property
    def n_grid(self) -> int: ...
    @property
    def n_inside(self) -> int: ...
    @property
    def inside_2d(self) -> np.ndarray: ...
    def project(
        self, field: np.ndarray, mask_outside: bool = True
    ) -> Union[np.ndarray, np.ma.MaskedArray]: ...
    def summary(self) -> str: ...

def gfield_grid_projector(
    mesh: MkMesh,
    xlim: Optional[Tuple[float, float]] = None,
    ylim: Optional[Tuple[float, float]] = None,
    dims: Tuple[int, int] = (100, 100),
    padding: float = 0.0,
) -> GfieldGridProjector: ...

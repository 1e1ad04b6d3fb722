"""Spatial field models on triangular meshes: the PC-Matern field, its model files, the
projector matrix to observation locations and the grid projector."""

from dataclasses import dataclass, field
from typing import Optional, Tuple, Union

import numpy as np
from scipy import sparse

from .core import mk_fem as mk_fem
from .mesh import MkFEM as MkFEM
from .mesh import MkMesh as MkMesh

# ---- Binary matrix files ----

def _write_meshkin_file(A: Union[np.ndarray, sparse.spmatrix, sparse.sparray], filename: str) -> str: ...

# ---- PC-Matern field model and model files ----

@dataclass
class GFIELD2PcMatern:
    mesh: MkMesh
    fem: MkFEM
    alpha: float = 2.0
    prior_range: Tuple[float, float] = (1.0, 0.5)
    prior_sigma: Tuple[float, float] = (1.0, 0.5)
    n_gfield: int = field(init=False)
    lambda_range: float = field(init=False)
    lambda_sigma: float = field(init=False)
    _d: int = 2
    def __post_init__(self) -> None: ...
    @property
    def nu(self) -> float: ...
    def _compute_kappa_tau(self, range_val: float, sigma: float) -> Tuple[float, float]: ...
    def precision(
        self, theta: Union[np.ndarray, Tuple[float, float], list]
    ) -> sparse.csr_matrix: ...
    def log_prior(self, theta: Union[np.ndarray, Tuple[float, float], list]) -> float: ...
    def summary(self) -> str: ...
    def _compute_b_matrices(self) -> None: ...
    @property
    def M0(self) -> sparse.csr_matrix: ...
    @property
    def M1(self) -> sparse.csr_matrix: ...
    @property
    def M2(self) -> sparse.csr_matrix: ...
    @property
    def B0(self) -> np.ndarray: ...
    @property
    def B1(self) -> np.ndarray: ...
    @property
    def B2(self) -> np.ndarray: ...
    @property
    def BLC(self) -> np.ndarray: ...
    @property
    def n_theta(self) -> int: ...
    def write_gfield_files(self, prefix: str) -> str: ...

def gfield2_pcmatern(
    mesh: MkMesh,
    alpha: float = 2.0,
    prior_range: Tuple[float, float] = (1.0, 0.5),
    prior_sigma: Tuple[float, float] = (1.0, 0.5),
    fem_order: int = 2,
) -> GFIELD2PcMatern: ...

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

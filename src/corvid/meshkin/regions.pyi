"""Quality meshes of study regions: `region_mesh` meshes polygons with holes and islands, an
optional coarser buffer around them and observation points kept as vertices."""

from typing import Any, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike

from ._features import SmallFeaturesWarning as SmallFeaturesWarning
from .mesh import MkMesh

__all__ = ["region_mesh", "RegionMesh", "MeshQuality", "MeshArtists", "SmallFeaturesWarning"]

_Quantiles = Tuple[float, float, float, float, float]

class MeshQuality(NamedTuple):
    vertices: int
    triangles: int
    region_triangles: int
    min_angle: float
    region_edges: _Quantiles
    buffer_edges: Optional[_Quantiles]

class MeshArtists(NamedTuple):
    triangles: Any
    boundary: Any
    points: Any

class RegionMesh(MkMesh):
    in_region: np.ndarray
    boundary_edges: np.ndarray
    point_vertex: np.ndarray
    def __init__(
        self,
        loc: ArrayLike,
        tv: ArrayLike,
        in_region: Optional[ArrayLike] = None,
        boundary_edges: Optional[ArrayLike] = None,
        point_vertex: Optional[ArrayLike] = None,
        crs: Any = None,
    ) -> None: ...
    def quality(self) -> MeshQuality: ...
    def plot(self, ax: Any = None) -> MeshArtists: ...

def region_mesh(
    region: Any = None,
    *,
    holes: Union[ArrayLike, Sequence[ArrayLike]] = (),
    points: Optional[ArrayLike] = None,
    max_edge: Union[float, Tuple[float, float], ArrayLike],
    offset: Optional[float] = None,
    cutoff: float = 0.0,
    min_angle: float = 25.0,
    max_vertices: int = 1_000_000,
    crs: Any = None,
    min_feature: Optional[float] = None,
) -> RegionMesh: ...

"""Islands and holes smaller than the mesh resolves, found before meshing: islands are left
out of the study region and holes filled, with one warning giving their count and area.

A feature smaller than the triangles costs the mesher a cluster of triangles at its own
scale (a lake a tenth of max_edge across, about 30 vertices), yet a field on that mesh
cannot show it; thousands of them multiply the mesh, and the polygon operations on them
(buffers, unions, simplification that keeps topology) grow faster than their number.
Finding them costs a pass over the vertices; only the few small islands near points are
looked at more closely.
"""

from __future__ import annotations

import math
import warnings
from typing import NamedTuple, Optional

import numpy as np

# By default features less than half of max_edge across go, but none more than a
# twentieth of the region's extent across: a max_edge beyond the region's size keeps them.
EDGE_SHARE, EXTENT_SHARE = 0.5, 0.05


class SmallFeaturesWarning(UserWarning):
    """Islands or holes too small for the mesh were left out of the study region (islands
    dropped, holes filled). `left_out` holds the counts and areas (a `LeftOut`)."""

    def __init__(self, message: str, left_out: "Optional[LeftOut]" = None) -> None:
        super().__init__(message)
        self.left_out = left_out


class LeftOut(NamedTuple):
    """What was left out: islands dropped and holes filled, with their areas in all (in the
    region's units squared), and the size below which they went."""

    islands: int
    island_area: float
    holes: int
    hole_area: float
    size: float

    def __add__(self, other: "LeftOut") -> "LeftOut":  # type: ignore[override]
        return LeftOut(self.islands + other.islands, self.island_area + other.island_area,
                       self.holes + other.holes, self.hole_area + other.hole_area,
                       max(self.size, other.size))


def size_below(min_feature, max_edge: float, extent: float) -> float:
    """The size below which features go: `min_feature` as given (0 keeps all), or by
    default half of max_edge, but at most a twentieth of the region's extent."""
    if min_feature is None:
        return min(EDGE_SHARE * max_edge, EXTENT_SHARE * extent)
    try:
        size = float(min_feature)
    except (TypeError, ValueError):
        raise ValueError(f"min_feature must be a number, got {min_feature!r}") from None
    if not (math.isfinite(size) and size >= 0.0):
        raise ValueError(f"min_feature must be finite and at least 0, got {min_feature!r}")
    return size


def check(min_feature) -> None:
    """Refuse a bad min_feature before any work."""
    size_below(min_feature, 1.0, 1.0)


def smaller(low: np.ndarray, high: np.ndarray, size: float) -> np.ndarray:
    """(k,) whether each feature's bounding box, corners (k, 2) low and high, is narrower
    than `size` both ways."""
    return np.all(high - low < size, axis=1)


def near_points(polygons: np.ndarray, points: Optional[np.ndarray], distance: float) -> np.ndarray:
    """(k,) whether a point lies within `distance` of each polygon."""
    import shapely

    near = np.zeros(len(polygons), dtype=bool)
    if points is None or not len(points) or not len(polygons):
        return near
    _, hit = shapely.STRtree(polygons).query(shapely.points(points), predicate="dwithin",
                                             distance=distance)
    near[hit] = True
    return near


def in_holes(polygons: np.ndarray, holes: np.ndarray) -> np.ndarray:
    """(k,) whether each polygon lies in one of the holes (polygons), for polygons that lie
    in a hole or apart from it, never across its edge. A polygon in a hole has its
    bounding box within the hole's, and not the same (a polygon around the hole would),
    and an inner point in it; only such pairs, found by an STRtree, are looked at."""
    import shapely

    inside = np.zeros(len(polygons), dtype=bool)
    if not len(polygons) or not len(holes):
        return inside
    mine, hole = shapely.STRtree(holes).query(polygons)
    box, around = shapely.bounds(polygons)[mine], shapely.bounds(holes)[hole]
    within = (np.all(box[:, :2] >= around[:, :2], axis=1) & np.all(box[:, 2:] <= around[:, 2:], axis=1)
              & np.any(box != around, axis=1))
    mine, hole = mine[within], hole[within]
    if len(mine):
        with np.errstate(over="ignore", under="ignore"):
            inner = shapely.point_on_surface(polygons[mine])
        inside[mine[shapely.intersects(holes[hole], inner)]] = True
    return inside


def warn(left: LeftOut, stacklevel: int) -> None:
    """One SmallFeaturesWarning for what was left out, if anything was."""
    if not (left.islands or left.holes):
        return
    parts = []
    if left.islands:
        parts.append(f"{left.islands:,} island(s) of {left.island_area:.4g} in all left out")
    if left.holes:
        parts.append(f"{left.holes:,} hole(s) of {left.hole_area:.4g} in all filled")
    message = (f"{' and '.join(parts)} of the study region: each is less than {left.size:.4g} "
               "across, too small for the mesh to resolve (min_feature, by default half of "
               "max_edge); islands with a point on or near them are kept. min_feature=0 keeps "
               "every feature, a shorter max_edge keeps more")
    warnings.warn(SmallFeaturesWarning(message, left), stacklevel=stacklevel + 1)


def drop_small_rings(shells, holes, points: Optional[np.ndarray], reach: float, size: float):
    """(shells, holes, LeftOut): the study region's rings (_rings.Rings) without the islands
    and holes less than `size` across. The largest island stays, and so does any island
    with a point within `reach` or `size` of it; islands in a filled hole go with it, as
    the region covers them again."""
    from . import _rings

    none = LeftOut(0, 0.0, 0, 0.0, size)
    if size <= 0.0 or not len(shells) or (len(shells) == 1 and not len(holes)):
        return shells, holes, none
    island_area = _rings.areas_at_most(shells)
    small_island = smaller(*_rings.bounds(shells), size)
    small_island[np.argmax(island_area)] = False
    candidates = np.flatnonzero(small_island)
    if len(candidates):
        small_island[candidates[near_points(shells.subset(small_island).polygons(), points,
                                            max(reach, size))]] = False
    small_hole = smaller(*_rings.bounds(holes), size) if len(holes) else np.zeros(0, dtype=bool)
    inside_filled = np.zeros(len(shells), dtype=bool)
    if small_hole.any():
        kept = np.flatnonzero(~small_island)
        inside_filled[kept[in_holes(shells.subset(~small_island).polygons(),
                                    holes.subset(small_hole).polygons())]] = True
    left = LeftOut(int(small_island.sum()), float(island_area[small_island].sum()),
                   int(small_hole.sum()),
                   float(_rings.areas_at_most(holes.subset(small_hole)).sum()) if small_hole.any() else 0.0,
                   size)
    if not (left.islands or left.holes):
        return shells, holes, none
    return shells.subset(~(small_island | inside_filled)), holes.subset(~small_hole), left

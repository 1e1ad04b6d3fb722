"""Study regions from GIS data: polygons from shapely, GeoPandas or a vector file, in the
working CRS, simplified to the mesh's resolution, as the rings `region_mesh` takes."""

from __future__ import annotations

import os
import warnings
from typing import Any, List, NamedTuple, Optional

import numpy as np

from ..meshkin import _features
from ._require import require
from .crs import _points, as_crs

__all__ = ["read_region", "StudyRegion", "is_vector_source"]


class StudyRegion(NamedTuple):
    """A study region as `region_mesh(region=shells, holes=holes)` takes it.

    shells: (k, 2) float64 arrays, the outer rings of the region's polygons (several for
        islands), the first vertex not repeated at the end.
    holes: (k, 2) float64 arrays, the polygons' inner rings (lakes).
    crs: the working CRS of these coordinates (pyproj.CRS), or None when neither the
        source nor the caller named one.
    """

    shells: List[np.ndarray]
    holes: List[np.ndarray]
    crs: Any


def is_vector_source(value) -> bool:
    """Whether `value` is something `read_region` reads rather than vertex arrays: a path,
    a shapely geometry, a GeoSeries or GeoDataFrame, or a list of shapely geometries."""
    if isinstance(value, (str, os.PathLike)) or hasattr(value, "__geo_interface__"):
        return True
    return (isinstance(value, (list, tuple)) and len(value) > 0
            and all(hasattr(v, "__geo_interface__") for v in value))


def read_region(source, crs=None, *, max_edge: Optional[float] = None, points=None,
                layer=None, min_feature: Optional[float] = None) -> StudyRegion:
    """The polygons of a GIS source as the rings of a study region, in the working CRS.

    source: a shapely Polygon or MultiPolygon (or a list of them, or a collection holding
        them), a GeoSeries or GeoDataFrame, or the path of any vector file GeoPandas
        reads through pyogrio (GeoPackage, shapefile, GeoJSON, ...; `layer` picks a layer
        of a file that has several). Features that are points or lines are left out; the
        polygons of all features are merged into one region (their union), so adjoining
        areas become one and overlaps count once.
    crs: the working CRS (anything pyproj.CRS.from_user_input takes, or a Projection,
        whose target is used). The source is reprojected into it when the source has a
        CRS of its own; vertices are projected, edges stay straight between them. None:
        the source's CRS when it is projected (coordinates and units kept). A source in
        longitude and latitude needs a `crs` (e.g. `Projection("EPSG:4326", data=...)`).
        A source with no CRS is taken to be in `crs` already.
    max_edge: the mesh's longest edge in the region, in the working CRS's units. The
        outline is then simplified (shapely.simplify, preserve_topology=True, each polygon
        on its own) to a tolerance of max_edge / 4: a detail the mesh cannot resolve costs
        no vertices, so a coastline of 10^5 vertices does not force a mesh of 10^6. None:
        no simplification.
    min_feature: polygons and holes whose bounding box is narrower than this both ways
        are too small for the mesh: a polygon that meets no other, has no point within
        min_feature and is not the largest is left out, and such holes are filled (with
        the polygons lying in them), before the union and the simplification, with one
        corvid.meshkin.regions.SmallFeaturesWarning giving their count and area. None:
        half of max_edge, at most a twentieth of the region's extent (nothing without
        max_edge); 0 keeps all. The work then follows the polygons kept: those that meet
        are merged in groups, not all at once.
    points: (p, 2) observation locations in the working CRS. A point that the original
        region covers but the simplified one does not (it lies at most a tolerance beyond
        the simplified shore) is taken back in by a local union: a small triangle from
        inside the simplified region to just beyond the point (three vertices a point; the
        shore moves out by about the point's distance, within the tolerance). If that
        still misses a point, the outline is simplified again with a quarter and then a
        sixteenth of the tolerance, and at last not at all. Points outside the original
        region are left for region_mesh to report.

    Invalid polygons (a ring crossing itself, say) are repaired with shapely.make_valid,
    with a warning naming the feature; a feature whose repair leaves no polygon is refused.
    Raises ValueError naming the file or the feature for: a file that cannot be read, a
    source with no polygons, an unrepairable feature, an unknown CRS, a geographic source
    without `crs`, and a region the projection cannot map.
    """
    shapely = require("shapely", "read_region")
    from ..meshkin import _shapes

    geoms, source_crs, name = _load(source, layer)
    target = as_crs(crs)
    if source_crs is not None and target is None:
        if source_crs.is_geographic:
            raise ValueError(f"{name} is in longitude and latitude ({source_crs.name}): give crs=, "
                             "a projected CRS or corvid.geo.Projection(...) to work in")
        target = source_crs
    polygons, feature, kinds = [], [], set()
    for i, geom in enumerate(geoms):
        if geom is None or shapely.is_empty(geom):
            continue
        pieces = _polygons(geom)
        if not pieces:
            kinds.add(geom.geom_type)
            continue
        polygons += pieces
        feature += [i] * len(pieces)
    if not polygons:
        what = f" (its geometries: {', '.join(sorted(kinds))})" if kinds else ""
        raise ValueError(f"{name} has no polygons{what}: a study region needs polygon features")
    parts = np.asarray(polygons, dtype=object)
    for k in np.flatnonzero(~shapely.is_valid(parts)).tolist():
        parts[k] = _repaired(parts[k], feature[k], name)
    parts = _shapes.polygon_parts(parts)
    if source_crs is not None and target is not None and source_crs != target:
        parts = _reprojected(parts, source_crs, target, name)
    tolerance = None
    if max_edge is not None:
        tolerance = float(max_edge) / 4.0
        if not (np.isfinite(tolerance) and tolerance > 0.0):
            raise ValueError(f"max_edge must be positive and finite, got {max_edge!r}")
    xy = None if points is None else _points(points, "points")
    left = None
    if max_edge is not None or min_feature is not None:
        low_x, low_y, high_x, high_y = np.asarray(shapely.total_bounds(parts), dtype=np.float64)
        size = _features.size_below(min_feature, np.inf if max_edge is None else float(max_edge),
                                    max(high_x - low_x, high_y - low_y))
        parts, left = _without_small_islands(parts, xy, size)
    parts = _shapes.union_parts(parts)
    invalid = ~shapely.is_valid(parts)  # projection or union may leave tiny defects
    if invalid.any():
        repaired = _shapes.polygon_parts(shapely.make_valid(parts[invalid]))
        parts = _shapes.union_parts(np.concatenate([parts[~invalid], repaired]))
    if left is not None:
        parts, filled = _without_small_holes(parts, left.size)
        left = left + filled
        _features.warn(left, stacklevel=2)
    if tolerance is not None:
        parts = _simplified(parts, tolerance, xy)
    shells, holes = [], []
    for polygon in parts:
        if polygon.area <= 0.0:
            continue
        shells.append(_ring(polygon.exterior))
        holes += [_ring(interior) for interior in polygon.interiors]
    return StudyRegion(shells, holes, target)


def _without_small_islands(parts: np.ndarray, xy: Optional[np.ndarray], size: float):
    """The polygons less those less than `size` across that stand alone (meeting no other
    polygon, whose union they would change), have no point within `size` and are not the
    largest; and what went, as a LeftOut."""
    shapely = require("shapely", "read_region")
    none = _features.LeftOut(0, 0.0, 0, 0.0, size)
    bounds = shapely.bounds(parts)
    small = _features.smaller(bounds[:, :2], bounds[:, 2:], size)
    small[np.argmax(shapely.area(parts))] = False
    candidates = np.flatnonzero(small)
    if not len(candidates) or size <= 0.0:
        return parts, none
    met, other = shapely.STRtree(parts).query(parts[candidates], predicate="intersects")
    apart = np.ones(len(candidates), dtype=bool)
    apart[met[candidates[met] != other]] = False
    apart &= ~_features.near_points(parts[candidates], xy, size)
    gone = candidates[apart]
    if not len(gone):
        return parts, none
    keep = np.ones(len(parts), dtype=bool)
    keep[gone] = False
    return parts[keep], none._replace(islands=len(gone), island_area=float(shapely.area(parts[gone]).sum()))


def _without_small_holes(parts: np.ndarray, size: float):
    """The polygons with their holes less than `size` across filled, and without the
    polygons lying in a filled hole (the region covers them again); and the holes filled,
    as a LeftOut."""
    shapely = require("shapely", "read_region")
    none = _features.LeftOut(0, 0.0, 0, 0.0, size)
    with_holes = np.flatnonzero(shapely.get_num_interior_rings(parts) > 0)
    if size <= 0.0 or not len(with_holes):
        return parts, none
    filled = []
    original, parts = parts, parts.copy()
    for k in with_holes.tolist():
        interiors = np.asarray(parts[k].interiors, dtype=object)
        bounds = shapely.bounds(interiors)
        small = _features.smaller(bounds[:, :2], bounds[:, 2:], size)
        if small.any():
            filled.append(shapely.polygons(interiors[small]))
            parts[k] = shapely.Polygon(parts[k].exterior, interiors[~small])
    if not filled:
        return parts, none
    lakes = np.concatenate(filled)
    return (parts[~_features.in_holes(original, lakes)],
            none._replace(holes=len(lakes), hole_area=float(shapely.area(lakes).sum())))


def _load(source, layer):
    """(geometries in feature order, the source's pyproj CRS or None, a name for messages)."""
    shapely = require("shapely", "read_region")
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        if not os.path.exists(path):
            raise ValueError(f"cannot read the region from {path}: no such file")
        gpd = require("geopandas", "read_region")
        try:
            frame = gpd.read_file(path, layer=layer)
        except Exception as exc:  # pyogrio, fiona and GDAL raise their own types
            reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
            raise ValueError(f"cannot read the region from {path}: {reason}") from None
        return list(frame.geometry), _crs_of(frame, path), os.path.basename(path)
    if isinstance(source, shapely.Geometry):
        return [source], None, "the region's geometry"
    if isinstance(source, (list, tuple)) and all(isinstance(g, shapely.Geometry) for g in source):
        return list(source), None, "the region's geometries"
    geometry = getattr(source, "geometry", source)  # a GeoDataFrame's active column
    if hasattr(geometry, "crs") and hasattr(geometry, "values"):
        return list(geometry), _crs_of(geometry, "the region"), f"the {type(source).__name__}"
    raise ValueError(f"the region must be a path, a shapely geometry, a GeoSeries or a "
                     f"GeoDataFrame, got {type(source).__name__}")


def _crs_of(frame, name: str):
    return None if frame.crs is None else as_crs(frame.crs, f"the CRS of {name}")


def _polygons(geom) -> list:
    """The polygons in a geometry, collections and multi-parts taken apart."""
    kind = geom.geom_type
    if kind == "Polygon":
        return [] if geom.is_empty else [geom]
    if kind in ("MultiPolygon", "GeometryCollection"):
        return [p for part in geom.geoms for p in _polygons(part)]
    return []


def _repaired(polygon, index: int, name: str):
    shapely = require("shapely", "read_region")
    reason = shapely.is_valid_reason(polygon)
    parts = _polygons(shapely.make_valid(polygon))
    if not parts:
        raise ValueError(f"feature {index} of {name} is an invalid polygon ({reason}) that "
                         "shapely.make_valid cannot turn into a polygon")
    warnings.warn(f"feature {index} of {name} is an invalid polygon ({reason}); repaired with "
                  "shapely.make_valid", stacklevel=3)
    return shapely.union_all(parts)


def _reprojected(parts: np.ndarray, source, target, name: str) -> np.ndarray:
    shapely = require("shapely", "read_region")
    pyproj = require("pyproj", "read_region")
    transformer = pyproj.Transformer.from_crs(source, target, always_xy=True)

    def move(xy: np.ndarray) -> np.ndarray:
        x, y = transformer.transform(xy[:, 0], xy[:, 1], errcheck=False)
        return np.column_stack([x, y])

    moved = shapely.transform(parts, move)
    bounds = np.asarray(shapely.total_bounds(moved), dtype=np.float64)
    if not np.all(np.isfinite(bounds)):
        raise ValueError(f"{name} reaches beyond where the projection to {target.name!r} is "
                         "defined: choose a working CRS that covers the whole region")
    return moved


def _simplified(parts: np.ndarray, tolerance: float, xy: Optional[np.ndarray]) -> np.ndarray:
    """The region's polygons (apart from each other) simplified to `tolerance`, keeping
    every point they covered (see read_region): each polygon alone, and the tents only
    among the polygons near the points lost, so that the cost stays near-linear in them."""
    shapely = require("shapely", "read_region")
    from ..meshkin import _shapes

    if xy is not None and len(xy):
        region = shapely.multipolygons(parts)
        shapely.prepare(region)
        xy = xy[shapely.covers(region, shapely.points(xy))]
    for t in (tolerance, tolerance / 4, tolerance / 16):
        simple = _shapes.simplified_apart(parts, t)
        if xy is None or not len(xy):
            return simple
        lost = _lost(simple, xy)
        if lost.size:
            simple = _taken_back(simple, xy[lost], t)
            lost = _lost(simple, xy)
        if not lost.size:
            return simple
    return parts


def _taken_back(simple: np.ndarray, xy: np.ndarray, t: float) -> np.ndarray:
    """The simplified polygons with the points `xy` taken back in by tents, among the
    polygons within reach of them (a tent reaches about twice the tolerance)."""
    shapely = require("shapely", "read_region")
    from ..meshkin import _shapes

    _, near = shapely.STRtree(simple).query(shapely.points(xy), predicate="dwithin", distance=3.0 * t)
    near = np.unique(near)
    local = shapely.multipolygons(simple[near])
    joined = _without_new_holes(shapely.union_all([local, *_tents(local, xy, t)]), local)
    # the overlay leaves vertices a rounding error apart, which the mesher would take for
    # a ring folding back on itself: snap to a grid far below the tolerance
    joined = shapely.set_precision(joined, 1e-6 * t)
    others = np.ones(len(simple), dtype=bool)
    others[near] = False
    return np.concatenate([simple[others], _shapes.polygon_parts(joined)])


def _tents(simple, xy: np.ndarray, tolerance: float) -> list:
    """For each point outside `simple`, a triangle that holds it, with its base inside
    `simple` and its apex a little beyond the point: the region grows towards the point by
    about its distance, at most about the tolerance, where the simplified shore left it."""
    shapely = require("shapely", "read_region")
    lines = shapely.shortest_line(simple.boundary, shapely.points(xy))
    q = shapely.get_coordinates(shapely.get_point(lines, 0))
    d = np.hypot(*(xy - q).T)
    n = (xy - q) / np.where(d > 0.0, d, 1.0)[:, None]
    t = np.column_stack([-n[:, 1], n[:, 0]])
    s = np.maximum(d, tolerance / 8)[:, None]
    apex, base = xy + 0.25 * s * n, q - s * n
    corners = np.stack([apex, base + 1.5 * s * t, base - 1.5 * s * t], axis=1)
    return list(shapely.polygons(corners))


def _without_new_holes(joined, simple) -> Any:
    """`joined` with the pockets that tents closed off filled: of the holes lying in one
    hole of `simple` (a lake that tents cut into parts), the largest stays; holes outside
    `simple`'s outer rings (sea that tents closed in) are filled too."""
    shapely = require("shapely", "read_region")
    lakes = [shapely.Polygon(r) for p in _polygons(simple) for r in p.interiors]
    pieces = [(k, shapely.Polygon(r)) for k, p in enumerate(_polygons(joined)) for r in p.interiors]
    largest: dict = {}
    for index, (_, hole) in enumerate(pieces):
        inside = hole.representative_point()
        lake = next((j for j, lake in enumerate(lakes) if lake.contains(inside)), None)
        if lake is not None and (lake not in largest or hole.area > pieces[largest[lake]][1].area):
            largest[lake] = index
    kept = set(largest.values())
    return shapely.union_all([
        shapely.Polygon(p.exterior, [pieces[i][1].exterior for i in kept if pieces[i][0] == k])
        for k, p in enumerate(_polygons(joined))])


def _lost(simple: np.ndarray, xy: np.ndarray) -> np.ndarray:
    shapely = require("shapely", "read_region")
    region = shapely.multipolygons(simple)
    shapely.prepare(region)
    return np.flatnonzero(~shapely.covers(region, shapely.points(xy)))


def _ring(ring) -> np.ndarray:
    xy = np.asarray(ring.coords, dtype=np.float64)[:, :2]
    return np.ascontiguousarray(xy[:-1] if len(xy) > 1 and np.array_equal(xy[0], xy[-1]) else xy)

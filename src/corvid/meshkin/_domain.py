"""The area to mesh: the study region, the buffer around it, and the seed points that tell
the mesher which part is which.

Triangle learns the parts of a domain from one point inside each: region points carry the
attribute and area bound of the region's triangles, buffer points those of the buffer's,
and hole points mark the voids to remove.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Optional

import numpy as np
import shapely

from . import _rings, _shapes

# Pieces a quarter circle of the buffer's outline is cut into, at most (0.1 radians each).
_ARC_PIECES = 16
_DIRECTIONS = 32  # in which `diameter` measures widths


@dataclasses.dataclass
class Domain:
    region: shapely.Geometry        # the islands less the holes
    domain: shapely.Geometry        # the region and its buffer
    buffer_rings: list[np.ndarray]  # outline of the buffer, (k, 2) each; empty without one
    region_seeds: np.ndarray        # (r, 2) a point inside each part of the region
    buffer_seeds: np.ndarray        # (b, 2) a point inside each part of the buffer
    void_seeds: np.ndarray          # (v, 2) a point inside each void of the domain

    @property
    def region_area(self) -> float:
        return float(self.region.area)

    @property
    def buffer_area(self) -> float:
        return float(self.domain.area - self.region.area)


def diameter(xy: np.ndarray) -> float:
    """Largest distance between two of the points, to within 0.12% (never above it), in
    O(k) however many of them lie on their convex hull.

    The widest of the points' widths in 32 directions: the diameter's own direction lies
    within 2.8 degrees of one of them, where the width is at least cos(2.8 deg) of it.
    """
    angles = np.arange(_DIRECTIONS) * (np.pi / _DIRECTIONS)
    directions = np.stack([np.cos(angles), np.sin(angles)])
    top, bottom = np.full(_DIRECTIONS, -np.inf), np.full(_DIRECTIONS, np.inf)
    for start in range(0, len(xy), 1 << 15):  # bounded memory
        along = xy[start:start + (1 << 15)] @ directions
        top, bottom = np.maximum(top, along.max(axis=0)), np.minimum(bottom, along.min(axis=0))
    return float(np.max(top - bottom))


def build_domain(shells: _rings.Rings, holes: _rings.Rings, width: Optional[float],
                 buffer_edge: float) -> Domain:
    """The region, and around it a rounded buffer `width` wide with segments about `buffer_edge` long."""
    filled = _rings.filled(shells)
    cut = _rings.filled(holes) if len(holes) else None
    region = filled if cut is None else shapely.difference(filled, cut)
    if region.area <= 0.0:
        raise ValueError("the holes cover the whole region")
    buffer_rings: list[np.ndarray] = []
    domain = region
    if width is not None:
        # Arcs cut into pieces about one buffer edge long, but no finer than simplify keeps
        # them: it drops the tiny segments that a wiggly coastline leaves in its offset,
        # moving it at most 2% of width, and with them arc pieces under about 0.4 radians.
        quad_segs = _ARC_PIECES
        if width < _ARC_PIECES * buffer_edge:
            quad_segs = max(2, min(_ARC_PIECES, math.ceil(0.5 * math.pi * width / buffer_edge)))
        parts = _shapes.simplified_apart(_shapes.offset_outline(filled, width, quad_segs), 0.02 * width)
        buffer_rings = [_open(ring) for ring in _rings_of(parts)]
        outline = parts[0] if len(parts) == 1 else shapely.multipolygons(parts)
        domain = outline if cut is None else shapely.difference(outline, cut)
    buffer = shapely.difference(domain, region) if width is not None else None
    return Domain(
        region=region,
        domain=domain,
        buffer_rings=buffer_rings,
        region_seeds=_inner_points(region),
        buffer_seeds=_inner_points(buffer) if buffer is not None else np.empty((0, 2)),
        void_seeds=_inner_points(_voids(domain)),
    )


def _rings_of(geometry: shapely.Geometry) -> list[shapely.LinearRing]:
    rings = []
    for polygon in shapely.get_parts(geometry):
        rings.append(polygon.exterior)
        rings.extend(polygon.interiors)
    return rings


def _open(ring: shapely.LinearRing) -> np.ndarray:
    return np.asarray(ring.coords)[:-1]


def _voids(domain: shapely.Geometry) -> shapely.Geometry:
    """Everything around and inside the domain that it does not cover, within a frame.

    The outer part needs no seed (Triangle removes what lies outside the outer rings by
    itself), but one there does no harm, and this way no enclosed gap is missed however
    GEOS chose to draw a hole that touches an outer ring.
    """
    x0, y0, x1, y1 = domain.bounds
    margin = max(x1 - x0, y1 - y0)
    frame = shapely.box(x0 - margin, y0 - margin, x1 + margin, y1 + margin)
    return shapely.difference(frame, domain)


def _inner_points(geometry: shapely.Geometry) -> np.ndarray:
    # Overlay slivers far below any real part would put a seed on a segment. They are small
    # next to the geometry they belong to, while a region may be far smaller than its buffer.
    least = 1e-12 * geometry.area
    parts = [p for p in shapely.get_parts(geometry) if p.geom_type == "Polygon" and p.area > least]
    if not parts:
        return np.empty((0, 2))
    # GEOS's scan for an inner point may overflow on the way past a vertex a subnormal
    # number from an axis (far below the features kept); the point it returns is sound.
    with np.errstate(over="ignore", under="ignore"):
        return shapely.get_coordinates(shapely.point_on_surface(parts))

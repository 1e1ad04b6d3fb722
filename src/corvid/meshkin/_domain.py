"""The area to mesh: the study region, the buffer around it, and the seed points that tell
the mesher which part is which.

Triangle learns the parts of a domain from one point inside each: region points carry the
attribute and area bound of the region's triangles, buffer points those of the buffer's,
and hole points mark the voids to remove.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Optional, Sequence

import numpy as np
import shapely

from ._rings import Ring


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
    """Largest distance between two of the points, through their convex hull."""
    from scipy.spatial import ConvexHull

    hull = xy[ConvexHull(xy).vertices]
    best = 0.0
    for start in range(0, len(hull), 1024):  # bounded memory on long hulls
        block = hull[start:start + 1024]
        best = max(best, float(np.max(np.linalg.norm(block[:, None, :] - hull[None, :, :], axis=2))))
    return best


def build_domain(shells: Sequence[Ring], holes: Sequence[Ring], width: Optional[float],
                 buffer_edge: float) -> Domain:
    """The region, and around it a rounded buffer `width` wide with segments about `buffer_edge` long."""
    filled = shapely.union_all([r.polygon() for r in shells])
    cut = shapely.union_all([r.polygon() for r in holes]) if holes else None
    region = filled if cut is None else shapely.difference(filled, cut)
    if region.area <= 0.0:
        raise ValueError("the holes cover the whole region")
    buffer_rings: list[np.ndarray] = []
    domain = region
    if width is not None:
        # Arcs cut into pieces about one buffer edge long; simplify then drops the tiny
        # segments that a wiggly coastline leaves in its offset, moving it at most 2% of width.
        quad_segs = max(2, math.ceil(0.5 * math.pi * width / buffer_edge))
        outline = shapely.buffer(filled, width, quad_segs=quad_segs)
        outline = shapely.simplify(outline, 0.02 * width, preserve_topology=True)
        buffer_rings = [_open(ring) for ring in _rings_of(outline)]
        domain = outline if cut is None else shapely.difference(outline, cut)
    # Overlay slivers far below any real part would put a seed on a segment.
    least = 1e-12 * domain.area
    return Domain(
        region=region,
        domain=domain,
        buffer_rings=buffer_rings,
        region_seeds=_inner_points(region, least),
        buffer_seeds=_inner_points(shapely.difference(domain, region), least) if width is not None
        else np.empty((0, 2)),
        void_seeds=_inner_points(_voids(domain), least),
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


def _inner_points(geometry: shapely.Geometry, least: float) -> np.ndarray:
    parts = [p for p in shapely.get_parts(geometry) if p.geom_type == "Polygon" and p.area > least]
    if not parts:
        return np.empty((0, 2))
    return shapely.get_coordinates(shapely.point_on_surface(parts))

"""Quality meshes of study regions: `region_mesh` meshes polygons with holes and islands, an
optional coarser buffer around them and observation points kept as vertices.

The mesher is Shewchuk's Triangle (constrained Delaunay refinement with a minimum-angle
bound) through the `triangle` package, with `shapely` for the polygon geometry. Both come
with the `mesh` extra: pip install 'corvid[mesh]'.
"""

from __future__ import annotations

import importlib
import math
import operator
from typing import Any, NamedTuple, Optional, Tuple

import numpy as np

from . import _features
from ._features import SmallFeaturesWarning
from .mesh import MkMesh, _read_only

__all__ = ["region_mesh", "RegionMesh", "MeshQuality", "MeshArtists", "SmallFeaturesWarning"]

# Above about 34 degrees Triangle's refinement need not end.
_LARGEST_MIN_ANGLE = 34.0
_EPS = float(np.finfo(float).eps)
_SMALLEST = 2.0**-1074  # the spacing of floating-point numbers near 0
# The coarsest rounding of coordinates that still resolves the region, over its extent.
_COARSEST = 1e-6
# The widest buffer, in region extents: out at its edge coordinates round to 100 ulps of
# the width, which must still resolve the region (as for a region far from the origin).
_WIDEST = _COARSEST / (100 * _EPS)


class MeshQuality(NamedTuple):
    """What `RegionMesh.quality()` reports. Edge lengths are quantiles at 0, 5, 50, 95 and
    100 per cent, over the edges of the region's triangles and of the buffer's (None
    without a buffer). Angles are in degrees."""

    vertices: int
    triangles: int
    region_triangles: int
    min_angle: float
    region_edges: Tuple[float, float, float, float, float]
    buffer_edges: Optional[Tuple[float, float, float, float, float]]

    def __str__(self) -> str:
        def edges(q):
            return "min {:.4g}, 5% {:.4g}, median {:.4g}, 95% {:.4g}, max {:.4g}".format(*q)
        lines = [f"{self.vertices} vertices, {self.triangles} triangles "
                 f"({self.region_triangles} in the region), smallest angle {self.min_angle:.2f} deg",
                 f"edges in the region: {edges(self.region_edges)}"]
        if self.buffer_edges is not None:
            lines.append(f"edges in the buffer: {edges(self.buffer_edges)}")
        return "\n".join(lines)


class MeshArtists(NamedTuple):
    """What `RegionMesh.plot` drew."""

    triangles: Any  # matplotlib.collections.PolyCollection
    boundary: Any   # matplotlib.collections.LineCollection
    points: Any     # matplotlib.collections.PathCollection


class RegionMesh(MkMesh):
    """A mesh of a study region, perhaps with a buffer around it.

    Besides `loc` and `tv`:
    in_region: (m,) bool, whether each triangle lies in the study region (not the buffer).
    boundary_edges: (k, 2) int64, the mesh edges along the region's boundary, holes included.
    point_vertex: (p,) int64, the vertex that stands for each observation point given.

    crs: the coordinate reference system of `loc`, or None (see `MkMesh`).

    `RegionMesh(loc, tv)` alone makes every triangle part of the region, with no boundary
    and no points, so the `MkMesh` builders work here too.
    """

    __slots__ = ("in_region", "boundary_edges", "point_vertex")

    in_region: np.ndarray
    boundary_edges: np.ndarray
    point_vertex: np.ndarray

    def __init__(self, loc, tv, in_region=None, boundary_edges=None, point_vertex=None,
                 crs=None) -> None:
        super().__init__(loc, tv, crs)
        m = self.tv.shape[0]
        if in_region is None:
            in_region = np.ones(m, dtype=bool)
        in_region = np.asarray(in_region)
        if in_region.dtype != bool or in_region.shape != (m,):
            raise ValueError(f"in_region must be a bool array with one entry per triangle ({m}), "
                             f"got dtype {in_region.dtype} and shape {in_region.shape}")
        self.in_region = _read_only(in_region.copy())
        self.boundary_edges = _read_only(_vertex_indices(
            "boundary_edges", np.empty((0, 2), np.int64) if boundary_edges is None else boundary_edges,
            (2,), self.n))
        self.point_vertex = _read_only(_vertex_indices(
            "point_vertex", np.empty(0, np.int64) if point_vertex is None else point_vertex, (), self.n))

    def __reduce__(self):
        return (type(self), (self.loc, self.tv, self.in_region, self.boundary_edges, self.point_vertex,
                             self.crs))

    def __repr__(self) -> str:
        return (f"RegionMesh(n={self.n}, triangles={self.tv.shape[0]}, "
                f"in_region={int(self.in_region.sum())}, points={self.point_vertex.size})")

    def quality(self) -> MeshQuality:
        """Smallest angle, edge-length quantiles inside the region and in the buffer, counts."""
        p = [self.loc[self.tv[:, i]] for i in range(3)]
        # Unit edge vectors, edge k opposite corner k; the angle at corner i lies between
        # unit[i - 1] and -unit[i - 2], by Kahan's formula, accurate for slivers too.
        unit = [_length_and_direction(e)[1] for e in (p[2] - p[1], p[0] - p[2], p[1] - p[0])]
        angles = [2.0 * np.arctan2(_norm(unit[i - 1] + unit[i - 2]), _norm(unit[i - 1] - unit[i - 2]))
                  for i in range(3)]
        smallest = float(np.degrees(np.min(angles))) if self.tv.size else float("nan")
        buffer = ~self.in_region
        return MeshQuality(
            vertices=self.n,
            triangles=int(self.tv.shape[0]),
            region_triangles=int(self.in_region.sum()),
            min_angle=smallest,
            region_edges=self._edge_quantiles(self.in_region),
            buffer_edges=self._edge_quantiles(buffer) if buffer.any() else None,
        )

    def _edge_quantiles(self, which: np.ndarray):
        tv = self.tv[which]
        pairs = np.sort(np.concatenate([tv[:, [1, 2]], tv[:, [2, 0]], tv[:, [0, 1]]]), axis=1)
        pairs = np.unique(pairs, axis=0)
        if len(pairs) == 0:
            return (math.nan,) * 5
        length = _length_and_direction(self.loc[pairs[:, 0]] - self.loc[pairs[:, 1]])[0]
        return tuple(float(q) for q in np.quantile(length, [0.0, 0.05, 0.5, 0.95, 1.0]))

    def plot(self, ax=None) -> MeshArtists:
        """Draw the triangles (the buffer's paler), the region's boundary and the points.

        Draws on `ax`, or on a new figure's axes when none is given, with equal x and y
        scales; returns the artists. Needs matplotlib (pip install 'corvid[plot]').
        """
        try:
            from matplotlib.collections import LineCollection, PolyCollection
        except ImportError as exc:
            raise ImportError("RegionMesh.plot needs matplotlib: pip install 'corvid[plot]'") from exc
        if ax is None:
            import matplotlib.pyplot as plt

            _, ax = plt.subplots()
        xy = self.loc[:, :2]
        fill = np.where(self.in_region[:, None], (0.80, 0.87, 0.95, 1.0), (0.95, 0.95, 0.95, 1.0))
        triangles = PolyCollection(xy[self.tv], facecolors=fill, edgecolors="0.45", linewidths=0.3)
        boundary = LineCollection(xy[self.boundary_edges], colors="C3", linewidths=1.5)
        ax.add_collection(triangles)
        ax.add_collection(boundary)
        points = ax.scatter(xy[self.point_vertex, 0], xy[self.point_vertex, 1], s=6, c="k", zorder=3)
        ax.autoscale_view()
        ax.set_aspect("equal")
        return MeshArtists(triangles, boundary, points)


def _norm(v: np.ndarray) -> np.ndarray:
    return np.sqrt(np.einsum("ij,ij->i", v, v))


def _length_and_direction(v: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Lengths and unit vectors of the rows of v, scaled first so that squares cannot overflow."""
    scale = np.max(np.abs(v), axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):  # edges of length 0 give NaN directions
        v = v / scale[:, None]
        size = _norm(v)
        return scale * size, v / size[:, None]


def _vertex_indices(name: str, value, row: tuple, n: int) -> np.ndarray:
    a = np.asarray(value)
    if a.size == 0:
        a = a.reshape((0, *row)).astype(np.int64)
    if a.dtype.kind not in "iu" or a.shape[1:] != row or a.ndim != 1 + len(row):
        raise ValueError(f"{name} must be an integer array of shape (k{''.join(f', {r}' for r in row)}), "
                         f"got dtype {a.dtype} and shape {a.shape}")
    bad = (a < 0) | (a >= n)
    outside = np.flatnonzero(bad.any(axis=1) if bad.ndim > 1 else bad)
    if outside.size:
        raise ValueError(f"{name} entry {outside[0]} refers to a vertex outside 0..{n - 1}")
    return np.array(a, dtype=np.int64)


def region_mesh(region=None, *, holes=(), points=None, max_edge, offset=None, cutoff=0.0,
                min_angle=25.0, max_vertices=1_000_000, crs=None, min_feature=None) -> RegionMesh:
    """A quality triangular mesh of a study region, with an optional buffer around it.

    region: the study region, one polygon (a k x 2 array of its vertices in order, either
        way round, the first vertex repeated at the end or not) or a list of them (islands,
        which may touch at points but not overlap). None: the convex hull of `points`.
        Or GIS data, read by `corvid.geo.read_region(region, crs, max_edge=..., points=...)`
        (needs the geo extra): a shapely Polygon or MultiPolygon, a GeoSeries or
        GeoDataFrame, or the path of a vector file (GeoPackage, shapefile, GeoJSON, ...),
        reprojected into `crs`, rid of features below `min_feature` and simplified to
        max_edge / 4 without losing `points`; holes then come from its polygons'
        interiors and `holes` must stay empty.
    holes: polygons cut out of the region; each lies inside it, none overlaps another.
        Nothing is meshed in a hole, so the field model sees its shore as a boundary.
    points: (p, 2) locations to keep as mesh vertices, e.g. observation locations. Points
        within `cutoff` of an earlier kept point join it; those within `cutoff` of the
        region's or buffer's boundary move onto it (so a point's vertex lies within twice
        `cutoff` of it). Every point must lie in the region or its buffer. `point_vertex`
        of the result tells which vertex stands for which point.
    max_edge: the longest triangle edge, one number or a pair (inside the region, in the
        buffer): no edge of a triangle in the region is longer than the first, none in the
        buffer longer than the second. Most edges come out 0.5 to 1 times max_edge, and a
        mesh has about 2.2 times the vertices of an equilateral tiling of that edge. This
        is the longest edge that corvid.fit.resolution measures, so a mesh made with
        max_edge = range/8 is fine enough for that range. A max_edge longer than the region
        (or its buffer) is no constraint: the mesh is then the coarsest that the boundary
        and min_angle allow.
    offset: the buffer's width: absolute when positive, a fraction of the region's diameter
        when negative (-0.1: a tenth of it). None or 0: no buffer. The buffer's outline is
        the region's outline pushed out by that width, with rounded corners. At most about
        4.5e7 times the region's extent: beyond, coordinates out at the buffer's edge are
        too coarse to resolve the region.
    cutoff: points closer than this are merged (see `points`).
    min_angle: smallest triangle angle in degrees, above 0 and at most 34; it holds
        everywhere except right at corners of the input: always at corners sharper than
        min_angle, and now and then at others, where Triangle leaves a thin triangle whose
        short side spans the corner.
    max_vertices: refuse to build larger meshes. The count is estimated from the areas and
        edge lengths before anything is built, and refinement stops at this many vertices,
        or at as many as the memory this process may still use holds (about 1 kB a vertex)
        if fewer: the least of the system's free memory, its control group's (container's)
        limit and its address-space limit (ulimit -v).
    crs: the coordinate reference system of the coordinates, kept as the mesh's `crs`; for
        GIS data the working CRS (None: the data's own when it is projected).
    min_feature: islands and holes whose bounding box is narrower than this both ways are
        too small for the mesh to resolve: islands are left out of the region and holes
        filled, with a SmallFeaturesWarning giving their count and area. The largest
        island stays, and so does an island with a point within min_feature (or cutoff)
        of it; islands in a filled hole become part of the region again. None: half of
        max_edge (inside the region), but at most a twentieth of the region's extent;
        0 keeps every feature. Finding them costs time linear in the vertices, and the
        rest of the work follows the features kept.

    Boundaries of the region, its holes and the buffer are mesh edges (split as needed).
    Every triangle is counter-clockwise. Features smaller than a billionth of the region's
    extent (or than 100 times the rounding of its coordinates, far from the origin) are
    closed: vertices that close together become one.

    Every check on sizes comes before the work it bounds, so an impossible request is
    refused within about a second, whatever its parameters.

    Raises ValueError naming the polygon, vertex or segment at fault for: non-finite
    coordinates, fewer than three distinct vertices, a polygon that crosses itself,
    polygons that cross or overlap, a hole outside the region, a point outside the region
    and its buffer, a non-positive max_edge, a mesh larger than max_vertices or than the
    memory holds, and a region or buffer that floating-point coordinates cannot resolve.
    Raises ImportError when the `mesh` extra is not installed.
    """
    inside_edge, buffer_edge = _max_edges(max_edge)
    _features.check(min_feature)
    features_left = False  # whether read_region has already left out the small features
    if region is not None:
        from ..geo.region import is_vector_source, read_region

        if is_vector_source(region):
            if holes is not None and len(holes):
                raise ValueError("holes come from the interiors of a GIS region: cut them out of "
                                 "its geometry instead (shapely's difference)")
            region, holes, crs = read_region(region, crs, max_edge=inside_edge, points=points,
                                             min_feature=min_feature)
            features_left = True
    cutoff = _number("cutoff", cutoff, lowest=0.0)
    min_angle = _number("min_angle", min_angle, lowest=0.0, highest=_LARGEST_MIN_ANGLE)
    if min_angle == 0.0:  # without a bound Triangle may leave slivers of no area in floating point
        raise ValueError("min_angle must be above 0 (and at most 34 degrees)")
    try:
        max_vertices = operator.index(max_vertices)
    except TypeError:
        raise ValueError(f"max_vertices must be an integer, got {max_vertices!r}") from None
    if max_vertices < 3:
        raise ValueError(f"max_vertices must be at least 3, got {max_vertices}")
    if offset is not None:
        offset = _number("offset", offset)
    _require("triangle")
    _require("shapely")
    from . import _domain, _pslg, _rings, _size
    from ._refine import BUFFER_MARK, REGION_MARK, triangulate

    # Every count and size is checked before the work it bounds: first the input's own
    # size (once features too small to mesh are gone, which costs a pass over it), then an
    # estimate from the rings' areas, before any geometry is built.
    limit = _size.Limit.of(max_vertices)
    xy = _points(points)
    if region is None and xy is None:
        raise ValueError("give the region, or points whose convex hull is the region")
    shells = _rings.read_rings(region, "the region", "region polygon")
    if region is not None and not shells:
        raise ValueError("the region has no polygon")
    holes = _rings.read_rings(holes, "the hole", "hole")
    # Copies of a point are one vertex: from here on only distinct points are looked at
    # (`first`: the first copy of each), which makes many rows at a few stations cheap.
    first, which = _pslg.copies(np.empty((0, 2)) if xy is None else xy)
    if xy is not None:
        xy = xy[first]

    # Work in units of a power of two near the region's size, from an origin nearby: areas
    # (squares of lengths) neither overflow nor underflow whatever the user's units, and
    # both moves are exact for the input (see _frame).
    given = np.concatenate([shells.xy, holes.xy] + ([] if xy is None else [xy]))
    rounding = _resolution(given)
    unit, origin = _frame(given)
    shells, holes = shells.framed(unit, origin), holes.framed(unit, origin)
    if xy is not None:
        xy = (xy - origin) / unit

    framed = np.concatenate([shells.xy, holes.xy] + ([] if xy is None else [xy]))
    extent = float(np.max(np.ptp(framed, axis=0)))
    # Features below `tol` are closed before meshing (see _pslg): a billionth of the
    # extent, but no less than 100 times the rounding of the coordinates, which far from
    # the origin is what new vertices get.
    tol = max(1e-9 * extent, 100 * rounding / unit)
    if region is None:  # the hull lies among the points: extent and tol stay the same
        shells = _rings.Rings.one(_hull(xy, first, unit, origin, tol))
    elif not features_left:
        size = _features.size_below(min_feature, inside_edge, float(np.max(np.ptp(shells.xy, axis=0))) * unit)
        shells, holes, left = _features.drop_small_rings(shells, holes, xy, cutoff / unit, size / unit)
        _features.warn(left._replace(island_area=left.island_area * unit * unit,
                                     hole_area=left.hole_area * unit * unit, size=size), stacklevel=2)
    framed = np.concatenate([shells.xy, holes.xy] + ([] if xy is None else [xy]))
    limit.check_input(len(framed))
    width = None if offset is None or offset == 0.0 else _buffer_width(offset, unit, shells.xy, extent, tol)
    if width is not None:
        _check_buffer_fits(offset, width, framed, unit, origin)

    # Lengths far beyond the domain change nothing; capped, their squares cannot overflow.
    span = extent + (0.0 if width is None else 2.0 * width)
    inside_edge, buffer_edge = (min(e / unit, 4.0 * span) for e in (inside_edge, buffer_edge))
    reach = min(cutoff / unit, 4.0 * span)
    # Triangles in a buffer narrower than they would be long must shrink to its width.
    across = buffer_edge if width is None else min(buffer_edge, 1.5 * width)
    # From the rings alone, at most the estimate made below from the geometry built.
    fixed = len(framed)  # the rings' vertices and the points
    filled, region_area = _areas_at_most(shells, holes)
    limit.check(_size.tiling(region_area, inside_edge) + fixed + (
        0.0 if width is None else _size.tiling(_size.offset_area_at_least(filled, width), across)))

    _rings.check_crossings(shells + holes, tol)
    _rings.check_nesting(shells, holes)
    domain = _domain.build_domain(shells, holes, width, buffer_edge)
    if xy is not None:
        _check_points_inside(xy, (first, which), (unit, origin), domain.domain, holes, max(reach, tol),
                             width is not None)
    fixed += sum(map(len, domain.buffer_rings))
    # Valid rings now: their length and area also bound what thin parts of them need.
    thin = _size.thin_parts(_perimeter(shells) + _perimeter(holes), domain.region_area, min_angle)
    area_count = _size.tiling(domain.region_area, inside_edge)
    estimate = max(area_count, thin) + _size.tiling(domain.buffer_area, across) + fixed
    limit.check(estimate, thin=thin > area_count)

    rings = [(shells.xy, shells.size, REGION_MARK), (holes.xy, holes.size, REGION_MARK),
             (np.concatenate(domain.buffer_rings or [np.empty((0, 2))]),
              np.array([len(b) for b in domain.buffer_rings], dtype=np.int64), BUFFER_MARK)]
    graph = _pslg.build_graph(rings, np.empty((0, 2)) if xy is None else xy, reach, tol)
    loc, tv, in_region, boundary = triangulate(graph, domain, (inside_edge, buffer_edge), min_angle,
                                               limit, estimate, (unit, origin))
    return RegionMesh(loc * unit + origin, tv, in_region, boundary, graph.point_vertex[which], crs)


def _perimeter(rings) -> float:
    """The rings' total length (framed coordinates: their squares cannot overflow)."""
    if not len(rings.xy):
        return 0.0
    starts = rings.start[:-1]
    following = np.roll(rings.xy, -1, axis=0)
    following[rings.start[1:] - 1] = rings.xy[starts]  # each ring closes on its start
    return float(np.sum(np.hypot(*(following - rings.xy).T)))


def _require(module: str) -> None:
    try:
        importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"region_mesh needs the '{module}' package, which comes with the mesh "
                          "extra: pip install 'corvid[mesh]'") from exc


def _number(name: str, value, lowest: float = -math.inf, highest: float = math.inf) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a number, got {value!r}") from None
    if not (math.isfinite(number) and lowest <= number <= highest):
        bounds = (f"between {lowest:g} and {highest:g}" if math.isfinite(highest)
                  else f"at least {lowest:g}" if math.isfinite(lowest) else "finite")
        raise ValueError(f"{name} must be {bounds}, got {value!r}")
    return number


def _max_edges(max_edge) -> tuple[float, float]:
    try:
        value = np.asarray(max_edge, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"max_edge must be a number or a pair of numbers, got {max_edge!r}") from None
    if value.shape not in ((), (2,)):
        raise ValueError(f"max_edge must be a number or a pair (inside the region, in the buffer), "
                         f"got shape {value.shape}")
    for k, edge in enumerate(value.reshape(-1)):
        if not (np.isfinite(edge) and edge > 0.0):
            which = "" if value.ndim == 0 else ("[0] (inside the region)", "[1] (in the buffer)")[k]
            raise ValueError(f"max_edge{which} must be positive and finite, got {edge:g}")
    pair = np.broadcast_to(value, (2,))
    return float(pair[0]), float(pair[1])


def _points(points) -> Optional[np.ndarray]:
    if points is None:
        return None
    try:
        xy = np.asarray(points, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("points must be an (n, 2) array of coordinates") from None
    if xy.size == 0:
        return np.empty((0, 2))
    if xy.ndim != 2 or xy.shape[1] != 2:
        raise ValueError(f"points must be an (n, 2) array of coordinates, got shape {xy.shape}")
    if not np.isfinite(xy).all():
        bad = np.flatnonzero(~np.isfinite(xy).all(axis=1))
        raise ValueError(f"points has a non-finite coordinate at point {bad[0]}: {xy[bad[0]].tolist()}")
    return xy


def _hull(xy: np.ndarray, number: np.ndarray, unit: float, origin: np.ndarray, tol: float):
    """The convex hull of the distinct points, in the frame's units (Qhull's tolerances are
    absolute); `number`: each point's index in the user's points. Refused when the points
    lie on one line to within 10 `tol` (their hull would fold back on itself)."""
    from scipy.spatial import ConvexHull, QhullError

    from ._domain import diameter
    from ._rings import Ring, distinct_up_to_three

    distinct = distinct_up_to_three(xy)
    if distinct < 3:
        raise ValueError(f"points has fewer than three distinct points ({distinct}): "
                         "their convex hull cannot be the region")
    advice = "their convex hull has no area to mesh; give the region, a polygon around them"
    try:
        hull = ConvexHull(xy)
    except QhullError:
        raise ValueError(f"points are collinear (they all lie on one line): {advice}") from None
    corners = xy[hull.vertices]
    length = diameter(corners)
    width = hull.volume / length  # in 2-d, Qhull's volume is the area
    if width <= 10.0 * tol:
        raise ValueError(f"points are collinear: they lie on one line {length * unit:.4g} long to "
                         f"within {width * unit:.2g}, so {advice}")
    return Ring("the convex hull of points", corners, number[hull.vertices], unit, origin)


def _resolution(given: np.ndarray) -> float:
    """The rounding of the coordinates given, refused when too coarse to resolve the region
    (checked in the user's units, before anything is divided by the region's size)."""
    low, high = given.min(axis=0), given.max(axis=0)
    extent = 2.0 * float(np.max(0.5 * high - 0.5 * low))  # inf only beyond the largest float
    largest = float(np.max(np.abs(given)))
    rounding = max(_EPS * largest, _SMALLEST)
    if 100 * rounding <= _COARSEST * extent:
        return rounding
    if rounding == _SMALLEST:
        raise ValueError(f"the region is {extent:.3g} across, too small for floating-point "
                         "coordinates to resolve: use larger units")
    raise ValueError(f"the region is {extent:.3g} across but {largest:.3g} from "
                     "the origin, too far for floating-point coordinates to resolve it: "
                     "move the origin nearer")


def _buffer_width(offset: float, unit: float, outline: np.ndarray, extent: float, tol: float) -> float:
    """The buffer's width in the frame's units, refused when too thin or too wide to mesh."""
    from . import _domain

    width = offset / unit if offset > 0.0 else -offset * _domain.diameter(outline)
    if not width <= _WIDEST * extent:
        raise ValueError(f"offset {offset!r} gives a buffer more than {_WIDEST:.2g} times as wide as "
                         "the region: out at its edge floating-point coordinates are too coarse to "
                         "resolve the region; make it narrower")
    if width < 1e3 * tol:
        raise ValueError(f"offset {offset!r} gives a buffer narrower than {1e3 * tol * unit:.3g}, "
                         "too thin to mesh: make it wider, or None for no buffer")
    return width


def _check_buffer_fits(offset: float, width: float, framed: np.ndarray, unit: float,
                       origin: np.ndarray) -> None:
    """The buffer's outline must have finite coordinates in the user's units too."""
    farthest = (float(np.max(np.abs(framed))) + 1.1 * width) * unit + float(np.max(np.abs(origin)))
    if not math.isfinite(farthest):
        raise ValueError(f"offset {offset!r} puts the buffer's outline beyond the largest "
                         "floating-point number: make it narrower")


def _areas_at_most(shells, holes) -> tuple[float, float]:
    """Upper bounds on the islands' area and on the region's (islands less holes), in O(k).

    Exact for valid rings; a ring crossing itself (refused later) counts no more than its
    bounding box, nor islands together more than theirs.
    """
    from . import _rings

    filled = min(float(np.sum(_rings.areas_at_most(shells))),
                 float(np.prod(np.ptp(shells.xy, axis=0))))
    return filled, max(0.0, filled - float(np.sum(_rings.areas_at_most(holes))))


def _frame(xy: np.ndarray) -> tuple[float, np.ndarray]:
    """A unit (a power of two near the extent) and an origin (a multiple of it near the centre).

    Dividing by a power of two is exact, and so is subtracting an origin o from every x
    with o/2 <= x <= 2o (Sterbenz's lemma). On an axis where the points do not all lie that
    far out, they are near 0 compared with their extent: that axis needs no origin.
    """
    low, high = xy.min(axis=0), xy.max(axis=0)
    half = float(np.max(0.5 * high - 0.5 * low))  # half the extent: cannot overflow
    unit = 2.0 ** min(max(round(math.log2(half) + 1.0), -1000), 1000) if half > 0.0 else 1.0
    origin = np.round((0.5 * low + 0.5 * high) / unit) * unit
    sterbenz = np.where(origin > 0.0, (low >= 0.5 * origin) & (0.5 * high <= origin),
                        (high <= 0.5 * origin) & (0.5 * low >= origin))
    return unit, np.where(sterbenz, origin, 0.0)


def _check_points_inside(xy, copies, frame, domain, holes, reach: float, buffered: bool) -> None:
    """Refuse points beyond `reach` of the domain; xy are the distinct points, `copies` the
    (first, which) of regions' copies, so that messages count and name the user's points."""
    import shapely

    shapely.prepare(domain)
    out = ~shapely.dwithin(domain, shapely.points(xy), reach)
    if not out.any():
        return
    first, which = copies
    outside = np.flatnonzero(out[which])
    i = int(np.flatnonzero(out)[0])
    where = "outside the region and its buffer" if buffered else "outside the region"
    within = np.flatnonzero(shapely.intersects_xy(holes.polygons(), *xy[i])) if len(holes) else []
    if len(within):
        where = f"in {holes.name(int(within[0]))}"
    unit, origin = frame
    x, y = xy[i] * unit + origin
    raise ValueError(f"point {first[i]} ({x:.6g}, {y:.6g}) lies {where}; {outside.size} point(s) do: "
                     "every point must lie in the region or its buffer")

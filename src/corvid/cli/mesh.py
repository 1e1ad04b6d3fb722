"""The mesh the fit command builds for a user's locations: its resolution follows the
longest edge asked for, not the number of observations.

The projector puts any location on the mesh, so observations need not be vertices. They
become vertices only when there are few of them (no more than the mesh would have without
them, so the mesh grows by a small factor at most) or when the user sets a cutoff; many
observations are simply located in a mesh of the locations' convex hull.
"""

from __future__ import annotations

import contextlib
import dataclasses
import math
import warnings
from typing import Optional, Tuple

import numpy as np

from corvid.cli.errors import CommandError
from corvid.meshkin._size import FILL, PER_AREA

# As region_mesh counts (corvid.meshkin._size): meshes whose edges are all at most
# max_edge have about 2.2 times the vertices of an equilateral tiling of that edge, which
# has 2/sqrt(3) vertices per unit area.
VERTICES_PER_AREA = FILL * PER_AREA
# Triangles in the buffer are this many times longer unless the user says otherwise.
DEFAULT_BUFFER_RATIO = 3.0
# A mesh made again for a short range has at most this many times the vertices of the
# first, or this many vertices, whichever is more.
REMESH_GROWTH, REMESH_FLOOR = 4, 20_000
# Advice aims below the limit, as a mesh may come out a little larger than estimated.
ADVICE_SHARE = 0.8


@dataclasses.dataclass(frozen=True)
class Hull:
    """The region to mesh: the locations' convex hull (its vertices, indices into the
    locations) or a study region's rings (`shells`, `holes`), with its area, perimeter and
    diameter in the locations' units."""

    vertices: Optional[np.ndarray]
    area: float
    perimeter: float
    diameter: float
    shells: Optional[list] = None
    holes: Optional[list] = None


def _widest(corners: np.ndarray) -> float:
    """The widest of 64 directions: within 0.03% of the diameter, at a cost linear in the
    number of corners (points on a circle make hulls of millions of corners)."""
    angles = np.linspace(0.0, np.pi, 64, endpoint=False)
    spans = corners @ np.vstack([np.cos(angles), np.sin(angles)])
    return float(np.max(np.ptp(spans, axis=0)))


def region_outline(shells: list, holes: list) -> Hull:
    """Area, perimeter and diameter of a study region's rings."""
    def ring_area(xy):
        x, y = xy[:, 0] - xy[:, 0].mean(), xy[:, 1] - xy[:, 1].mean()
        return 0.5 * abs(float(np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1))))

    def ring_length(xy):
        return float(np.sum(np.hypot(*(np.roll(xy, -1, axis=0) - xy).T)))

    area = sum(map(ring_area, shells)) - sum(map(ring_area, holes))
    perimeter = sum(map(ring_length, shells)) + sum(map(ring_length, holes))
    corners = np.concatenate(shells)
    return Hull(None, area, perimeter, _widest(corners - corners.mean(axis=0)), shells, holes)


def convex_hull(loc: np.ndarray) -> Hull:
    """The hull of the locations, computed on coordinates framed to about unit size so that
    neither tiny nor huge coordinates lose it; CommandError when they span no area."""
    from scipy.spatial import ConvexHull, QhullError

    low, high = loc.min(axis=0), loc.max(axis=0)
    extent = float(np.max(high - low))
    if not extent > 0.0:
        raise CommandError("all locations are the same point")
    scale = 2.0 ** math.floor(math.log2(extent))
    framed = (loc - 0.5 * (low + high)) / scale
    advice = "their convex hull has no area to mesh; give --region, a polygon around them"
    try:
        hull = ConvexHull(framed)
    except QhullError:
        raise CommandError(f"the locations are collinear (they all lie on one line): {advice}") from None
    # In 2-d, Qhull's `volume` is the area and its `area` the perimeter.
    diameter = _widest(framed[hull.vertices])
    # As region_mesh sees a hull: one folding back on itself within 1e-8 of its extent, or
    # within 1000 roundings of coordinates far from the origin, lies on a line.
    width = float(hull.volume) / diameter
    rounding = np.finfo(float).eps * float(np.max(np.abs(loc)))
    if width * scale <= max(1e-8 * extent, 1e3 * rounding):
        raise CommandError(f"the locations are collinear: they lie on one line {diameter * scale:.4g} "
                           f"long to within {width * scale:.2g}, so {advice}")
    return Hull(hull.vertices, float(hull.volume) * scale * scale, float(hull.area) * scale,
                diameter * scale)


def estimated_vertices(hull: Hull, max_edge: Tuple[float, float], offset: float) -> float:
    """About how many vertices a mesh of the hull with a buffer `offset` wide has."""
    # In NumPy's floats, so that extreme edges give inf or 0 rather than an exception.
    inside, outside, width = (np.float64(v) for v in (*max_edge, offset))
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        buffer_area = hull.perimeter * width + np.pi * width**2
        across = min(outside, 1.5 * width) if width > 0.0 else outside
        rings = hull.perimeter / inside + (hull.perimeter + 2.0 * np.pi * width) / outside
        estimate = VERTICES_PER_AREA * (hull.area / inside**2 + buffer_area / across**2) + rings
    return float(estimate) if np.isfinite(estimate) else math.inf


@dataclasses.dataclass(frozen=True)
class MeshPlan:
    max_edge: Tuple[float, float]
    offset: float
    cutoff: float
    points_as_vertices: bool
    estimate: float
    why: str = ""  # for a mesh made again: how its max edge was chosen, for the message


def plan_mesh(loc: np.ndarray, hull: Hull, max_edge: Optional[list], offset: Optional[float],
              cutoff: Optional[float], max_vertices: int) -> MeshPlan:
    """Edges, buffer and whether locations become vertices; refuses a mesh larger than
    `max_vertices` with advice that works, before anything is built."""
    edges = list(max_edge or [hull.diameter / 40.0])
    pair = (edges[0], edges[1] if len(edges) == 2 else DEFAULT_BUFFER_RATIO * edges[0])
    width = offset if offset is not None else hull.diameter / 5.0
    if not math.isfinite(hull.perimeter * width + width * width):
        raise CommandError(f"--offset {width:.4g} is too wide for floating point: give a buffer "
                           "nearer the region's size")
    estimate = estimated_vertices(hull, pair, width)
    if not estimate <= max_vertices:  # also catches an overflow to inf or NaN
        raise CommandError(
            f"a mesh with --max-edge {pair[0]:.4g} {pair[1]:.4g} and a buffer {width:.4g} wide "
            f"would have about {_count(estimate)} vertices, more than --max-vertices "
            f"{max_vertices:,}: use {_size_advice(hull, pair, width, ADVICE_SHARE * max_vertices)}")
    distinct = len(np.unique(loc, axis=0))
    as_vertices = cutoff is not None or distinct <= estimate
    return MeshPlan(pair, width, cutoff if cutoff is not None else pair[0] / 25.0, as_vertices,
                    estimate)


def _size_advice(hull: Hull, pair: Tuple[float, float], width: float, vertices: float) -> str:
    """What brings the mesh within `vertices`: longer edges; or, for a buffer so thin that
    its triangles must be narrower than it whatever the edges, a wider buffer (with longer
    edges if the region alone needs them)."""
    inside, outside = _edges_within(hull, pair, width, vertices)
    if math.isfinite(inside):
        return f"--max-edge {_up(inside)} {_up(outside)} or longer, or a larger --max-vertices"
    thin = (f"a buffer {width:.4g} wide needs triangles no wider than {1.5 * width:.4g} across "
            "it, whatever --max-edge")
    wider = _offset_within(hull, pair, width, vertices)
    if wider is not None:
        option = f"a wider --offset ({_up(wider)} or more)"
    else:  # the given edges are too short even for the region: longer ones in a usual buffer
        wider = max(width, hull.diameter / 5.0)
        inside, outside = _edges_within(hull, pair, wider, vertices)
        if not math.isfinite(inside):
            return f"a larger --max-vertices: {thin}"
        option = f"a wider --offset ({_up(wider)}) with --max-edge {_up(inside)} {_up(outside)} or longer"
    if estimated_vertices(hull, pair, 0.0) <= vertices:
        option += ", --offset 0 for no buffer"
    return f"{option}, or a larger --max-vertices: {thin}"


def _offset_within(hull: Hull, pair: Tuple[float, float], width: float,
                   vertices: float) -> Optional[float]:
    """The narrowest buffer at least `width` wide whose mesh with these edges stays within
    `vertices`, or None. Up to the width where the buffer's triangles no longer shrink to
    it (pair[1] / 1.5), a wider buffer needs fewer vertices; beyond it, more."""
    def fits(log_width: float) -> bool:
        return estimated_vertices(hull, pair, math.exp(log_width)) <= vertices

    low, high = math.log(width), math.log(max(width, pair[1] / 1.5))
    if not fits(high):
        return None
    for _ in range(100):
        middle = 0.5 * (low + high)
        low, high = (low, middle) if fits(middle) else (middle, high)
    return math.exp(high)


def _edges_within(hull: Hull, pair: Tuple[float, float], width: float,
                  vertices: float) -> Tuple[float, float]:
    """The edges `pair`, in their ratio, made just long enough for the estimate to stay
    within `vertices` (searched on a log scale up to ten times the region's size); inf when
    even those are too many, which only a narrower buffer or more vertices help."""
    for ratio in (pair[1] / pair[0], DEFAULT_BUFFER_RATIO):  # the user's, else the default

        def fits(log_edge: float) -> bool:
            edge = math.exp(log_edge)
            return estimated_vertices(hull, (edge, edge * ratio), width) <= vertices

        low = math.log(pair[0])
        high = math.log(10.0 * max(hull.diameter, width, pair[0]))
        if not fits(high):
            continue
        for _ in range(100):
            middle = 0.5 * (low + high)
            low, high = (low, middle) if fits(middle) else (middle, high)
        return math.exp(high), math.exp(high) * ratio
    return math.inf, math.inf


def _count(value: float) -> str:
    return f"{value:,.0f}" if value < 1e15 else f"{value:.3g}"


def _up(value: float) -> str:
    """Four significant digits, rounded up."""
    digits = 3 - math.floor(math.log10(value))
    return f"{math.ceil(value * 10.0**digits) / 10.0**digits:.4g}"


def build_mesh(loc: np.ndarray, hull: Hull, plan: MeshPlan, max_vertices: int, crs=None):
    """The mesh of the plan: the hull (or the study region) with its buffer, with the
    locations as vertices or not, in the working `crs`."""
    from corvid.meshkin.regions import region_mesh

    region = loc[hull.vertices] if hull.shells is None else hull.shells
    points = loc if plan.points_as_vertices else None
    try:
        # A study region's small features went when it was read (read_study_region); the
        # hull has none.
        return region_mesh(region, holes=hull.holes or (), points=points, max_edge=plan.max_edge,
                           offset=plan.offset, cutoff=plan.cutoff if points is not None else 0.0,
                           max_vertices=max_vertices, crs=crs, min_feature=0.0)
    except ValueError as exc:
        raise CommandError(f"cannot mesh the locations: {exc}".replace(
            "max_vertices", "--max-vertices").replace("max_edge", "--max-edge")) from None


def remesh_plan(loc: np.ndarray, hull: Hull, plan: MeshPlan, mesh, range_estimate: float,
                max_vertices: int) -> Optional[MeshPlan]:
    """A finer plan when the fitted range is short for the mesh (see
    corvid.fit.resolution): a max edge of range/8 in the region, in the plan's ratio, made
    longer if needed to stay within `max_vertices` and within REMESH_GROWTH times the first
    mesh (at least REMESH_FLOOR vertices), so that the second fit takes a bounded time;
    `why` says which. None when the mesh is fine enough or no finer one fits."""
    from corvid.fit.resolution import SUGGESTED_EDGES, under_resolved

    if not under_resolved(mesh, range_estimate):
        return None
    ratio = plan.max_edge[1] / plan.max_edge[0]
    edge = range_estimate / SUGGESTED_EDGES
    pair = (edge, edge * ratio)
    budget = min(max_vertices, max(REMESH_FLOOR, REMESH_GROWTH * mesh.n))
    estimate = estimated_vertices(hull, pair, plan.offset)
    why = f"range/{SUGGESTED_EDGES:g}"
    if not estimate <= ADVICE_SHARE * budget:
        pair = _edges_within(hull, pair, plan.offset, ADVICE_SHARE * budget)
        held = (f"--max-vertices {max_vertices:,}" if budget == max_vertices else
                f"{REMESH_GROWTH} times the first mesh's {mesh.n:,} vertices, which bounds the "
                "second fit's time")
        advice = f"--max-edge {_up(edge)}"
        if not estimate <= max_vertices:
            advice += f" with --max-vertices {math.ceil(estimate / ADVICE_SHARE)}"
        why = (f"not range/{SUGGESTED_EDGES:g} = {edge:.4g}: that mesh would have about "
               f"{_count(estimate)} vertices, more than the {_count(ADVICE_SHARE * budget)} "
               f"planned within {held}; {advice} meshes for this range from the start")
        estimate = estimated_vertices(hull, pair, plan.offset)
    if not (math.isfinite(pair[0]) and pair[0] < plan.max_edge[0]):
        return None
    as_vertices = plan.points_as_vertices and len(np.unique(loc, axis=0)) <= estimate
    return MeshPlan(pair, plan.offset, min(plan.cutoff, pair[0] / 25.0), as_vertices, estimate, why)


def remesh_message(range_estimate: float, finer: MeshPlan, unit: str) -> str:
    """What the fit command says when it meshes again, and why."""
    from corvid.fit.resolution import RESOLVED_EDGES

    return (f"the estimated range {range_estimate:.4g}{unit} is shorter than {RESOLVED_EDGES:g} "
            "times the longest mesh edge in the data's region: the field is under-resolved; "
            f"meshing again with max edge {finer.max_edge[0]:.4g}{unit} ({finer.why}) and "
            "fitting once more")


@contextlib.contextmanager
def small_features_in_command_terms(unit: str, max_edge: float):
    """Says what read_region left out of --region in the command's terms: it has no
    min_feature, and --max-edge sets what is kept."""
    from corvid.meshkin.regions import SmallFeaturesWarning

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", SmallFeaturesWarning)
        yield
    for warning in caught:
        left = getattr(warning.message, "left_out", None)
        if left is None:
            warnings.warn_explicit(warning.message, warning.category, warning.filename, warning.lineno)
            continue
        square = f" {unit}²" if unit else ""
        parts = []
        if left.islands:
            parts.append(f"{left.islands:,} island(s) of {left.island_area:.4g}{square} in all left out")
        if left.holes:
            parts.append(f"{left.holes:,} hole(s) of {left.hole_area:.4g}{square} in all filled")
        warnings.warn(f"--region: {' and '.join(parts)}: each is less than {left.size:.4g}"
                      f"{' ' + unit if unit else ''} across, too small for a mesh with --max-edge "
                      f"{max_edge:.4g} to resolve; islands with a location on or near them are "
                      "kept, and a shorter --max-edge keeps more", SmallFeaturesWarning, stacklevel=3)

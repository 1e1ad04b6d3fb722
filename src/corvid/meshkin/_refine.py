"""Refinement by Triangle: the graph and seed points in, a quality mesh out, or an error
saying why not."""

from __future__ import annotations

import math

import numpy as np

from ._size import Limit, about
from .mesh import _signed_areas, longest_edges

# Segment markers: Triangle keeps 0 and 1 for its own use.
REGION_MARK, BUFFER_MARK = 2, 3
# Triangle bounds areas, not edges: under the area of an equilateral triangle of edge e,
# edges come out up to 1.9 e. A bound of AREA_SHARE of that leaves about a quarter of the
# triangles with an edge too long, and those are refined again with bounds scaled to their
# own longest edge: two rounds, usually, and a third of the vertices more than under the
# equilateral bound alone.
AREA_SHARE = 0.8
ROUNDS = 40  # each round shrinks the bounds of the triangles left by at least 1%


def triangulate(graph, domain, max_edge, min_angle: float, limit: Limit, estimate: float,
                frame: tuple):
    """Vertices, triangles, in-region flags and region-boundary edges of the refined mesh.

    `max_edge` is the pair (inside, buffer), neither beyond a few times the domain's
    extent: no edge of a region triangle is longer than the first, nor of a buffer
    triangle than the second. `limit` caps the vertices made; `frame`, the (unit, origin)
    of the caller's coordinates, only turns those in messages back into the user's.
    """
    import triangle

    inside_edge, buffer_edge = max_edge
    vertices = graph.vertices
    limit.check_input(len(vertices))
    # The caller's coordinates are already in units of a power of two near the region's size,
    # from an origin nearby (so areas neither overflow nor underflow); Triangle gets them as
    # they are, and the orientation its exact predicates give every triangle survives.
    cap = float(np.max(np.ptp(vertices, axis=0))) ** 2  # larger area bounds change nothing

    def as_xy(xy):
        return np.asarray(xy, dtype=np.float64).reshape(-1, 2)

    def area(edge):  # AREA_SHARE of an equilateral triangle's
        return min(AREA_SHARE * math.sqrt(3.0) / 4.0 * edge * edge, cap)

    seeds = [np.column_stack([as_xy(domain.region_seeds), np.ones(len(domain.region_seeds)),
                              np.full(len(domain.region_seeds), area(inside_edge))]),
             np.column_stack([as_xy(domain.buffer_seeds), np.zeros(len(domain.buffer_seeds)),
                              np.full(len(domain.buffer_seeds), area(buffer_edge))])]
    data = {"vertices": as_xy(vertices), "segments": graph.segments.astype(np.int32),
            "segment_markers": graph.markers.reshape(-1, 1).astype(np.int32),
            "regions": np.concatenate(seeds)}
    if len(domain.void_seeds):
        data["holes"] = as_xy(domain.void_seeds)
    largest = max(area(inside_edge), area(buffer_edge))
    quality = f"pq{_decimal(min_angle)}"
    # Triangle's Steiner-point limit counts insertions, some of which it later takes back,
    # so the mesh stays within the limit and refinement always ends.
    run = (data, f"{quality}Aaa{_decimal(largest)}S", limit.count - len(vertices))
    out = _run(triangle, *run)
    tv = np.asarray(out.get("triangles", np.empty((0, 3))), dtype=np.int64)
    if len(tv) == 0:
        raise ValueError("the mesher made no triangles from this input")
    for rounds in range(ROUNDS + 1):
        in_region = out["triangle_attributes"][:, 0] > 0.5
        edge = np.where(in_region, inside_edge, buffer_edge)
        bound = np.where(in_region, area(inside_edge), area(buffer_edge))
        corners = out["vertices"][tv]
        doubled = _doubled_areas(corners)
        longest = longest_edges(out["vertices"], tv)
        long = longest > edge
        if not long.any() or len(out["vertices"]) >= limit.count or rounds == ROUNDS:
            break
        # Triangles with an edge too long get an area bound scaled by the square of how
        # much too long it is: refining them splits that edge or the triangle.
        shrunk = 0.5 * 0.99 * np.abs(doubled) * (edge / longest) ** 2
        again = {"vertices": out["vertices"], "triangles": tv, "segments": out["segments"],
                 "segment_markers": out["segment_markers"],
                 "triangle_attributes": out["triangle_attributes"],
                 "triangle_max_area": np.where(long, shrunk, bound)}
        run = (again, f"r{quality}aS", limit.count - len(out["vertices"]))
        out = _run(triangle, *run)
        tv = np.asarray(out["triangles"], dtype=np.int64)
    # Small angles are also left next to sharp input corners; whether the limit cut the
    # refinement short shows in whether one more insertion changes anything. Triangles
    # larger than their bound or with edges too long show it at once, and so does a mesh
    # of as many vertices as allowed (every insertion made and kept), which saves refining
    # it all again.
    if long.any() and len(out["vertices"]) < limit.count:
        x, y = corners[np.argmax(long)].mean(axis=0) * frame[0] + frame[1]
        raise ValueError(f"the mesher left a triangle with an edge longer than max_edge near "
                         f"({x:.6g}, {y:.6g}) after {ROUNDS} rounds of refinement: the input has "
                         "features there far below max_edge; simplify it or use a shorter max_edge")
    cut_short = bool(np.any(doubled > 2.0 * bound * (1.0 + 1e-9)) or np.any(long))
    if not cut_short and _smallest_angle(corners) < min_angle:
        cut_short = len(out["vertices"]) >= limit.count
        if not cut_short:
            data, switches, steiner = run
            again = _run(triangle, data, switches, steiner + 1)
            cut_short = not (np.array_equal(again["vertices"], out["vertices"])
                             and np.array_equal(again["triangles"], out["triangles"]))
    if cut_short:
        raise ValueError(
            f"refinement stopped at {limit.reason} before the triangles met "
            f"max_edge and min_angle ({about(estimate)} vertices were expected; slivers of the "
            "domain much thinner than max_edge, or crowded points, need many more): use a "
            "longer max_edge, a larger max_vertices, or a larger cutoff for crowded points")
    made = len(out["vertices"])

    loc = out["vertices"]
    segments = np.asarray(out["segments"], dtype=np.int64)
    boundary = segments[np.asarray(out["segment_markers"]).ravel() == REGION_MARK]

    # Every input vertex lies in the domain and Triangle adds none it does not use, so a
    # vertex in no triangle ends a part of the input closed to nothing (see _pslg).
    used = np.zeros(made, dtype=bool)
    used[tv.ravel()] = True
    unused = np.flatnonzero(~used)
    if unused.size:
        x, y = loc[unused[0]] * frame[0] + frame[1]
        raise ValueError(f"the input is thinner than the mesh can follow near ({x:.6g}, {y:.6g}): "
                         f"a vertex there belongs to no triangle; {unused.size} such vertex(es)")
    flat = np.flatnonzero(_signed_areas(loc, tv) <= 0.0)
    if flat.size:
        x, y = loc[tv[flat[0]]].mean(axis=0) * frame[0] + frame[1]
        raise ValueError(f"the mesh has a degenerate triangle near ({x:.6g}, {y:.6g}): the input has "
                         "features too small for floating-point coordinates there")
    return loc, tv, in_region, boundary


def _run(triangle, data, switches, steiner: int):
    try:
        return triangle.triangulate(data, switches + str(steiner))
    except (RuntimeError, ValueError) as exc:
        raise ValueError(f"the mesher failed on this input: {exc}") from exc


def _doubled_areas(corners: np.ndarray) -> np.ndarray:
    a, b = corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]
    return a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0]


def _smallest_angle(corners: np.ndarray) -> float:
    """Smallest angle in degrees, from the sine rule: 2 area = |a| |b| sin(angle between)."""
    sides = [corners[:, (i + 2) % 3] - corners[:, (i + 1) % 3] for i in range(3)]
    length = [np.hypot(e[:, 0], e[:, 1]) for e in sides]
    twice = np.abs(_doubled_areas(corners))
    sines = [twice / (length[(i + 1) % 3] * length[(i + 2) % 3]) for i in range(3)]
    # Only the smallest angle matters and it is acute, so its sine tells it.
    return float(np.degrees(np.arcsin(np.clip(np.min(sines), 0.0, 1.0))))


def _decimal(value: float) -> str:
    # Triangle reads its switches' numbers without exponents.
    return np.format_float_positional(value, trim="-")

"""The study region's polygons as a user gives them: read, checked, and named in messages.

Every error names the polygon ("the region", "region polygon 2", "hole 0") and the vertex or
segment in the user's own numbering, before any closing repeat or duplicate was dropped.
"""

from __future__ import annotations

import dataclasses
from typing import Sequence

import numpy as np
import shapely


@dataclasses.dataclass(frozen=True, eq=False)
class Ring:
    """A closed polygon boundary: k >= 3 vertices, consecutive ones distinct, not repeated at the end."""

    name: str
    xy: np.ndarray      # (k, 2) float64, in units of `unit` from `origin`
    number: np.ndarray  # (k,) the user's vertex number of each kept vertex
    unit: float = 1.0   # messages show the user's coordinates, xy * unit + origin
    origin: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(2))

    def scaled(self, unit: float, origin: np.ndarray) -> "Ring":
        """The same ring in `unit`s from `origin` (exact moves: see regions._frame)."""
        return Ring(self.name, (self.xy - origin) / unit, self.number, unit, origin)

    def user(self, xy: np.ndarray) -> np.ndarray:
        return xy * self.unit + self.origin

    def vertex(self, i: int) -> str:
        x, y = self.user(self.xy[i])
        return f"vertex {self.number[i]} ({x:.6g}, {y:.6g})"

    def segment(self, i: int) -> str:
        j = (i + 1) % len(self.xy)
        return f"segment {self.number[i]} (vertex {self.number[i]} to {self.number[j]})"

    def polygon(self) -> shapely.Polygon:
        return shapely.Polygon(self.xy)


def read_rings(value, single_name: str, list_name: str) -> list[Ring]:
    """One polygon (a k x 2 array) or a list of them; None or an empty list gives none."""
    if value is None:
        return []
    if isinstance(value, (str, bytes)):
        raise ValueError(f"{single_name} must be a (k, 2) array of vertex coordinates "
                         f"or a list of them, got {type(value).__name__}")
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):  # ragged: a list of polygons of different lengths
        array = None
    if array is not None and array.ndim == 2:
        return [_ring(array, single_name)]
    if array is not None and array.size == 0:
        return []
    try:
        items = list(value)
    except TypeError:
        raise ValueError(f"{single_name} must be a (k, 2) array of vertex coordinates "
                         f"or a list of them, got {type(value).__name__}") from None
    return [_ring(item, f"{list_name} {i}") for i, item in enumerate(items)]


def _ring(value, name: str) -> Ring:
    try:
        xy = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a (k, 2) array of vertex coordinates") from None
    if xy.ndim != 2 or xy.shape[1] != 2:
        raise ValueError(f"{name} must be a (k, 2) array of vertex coordinates, got shape {xy.shape}")
    bad = np.flatnonzero(~np.isfinite(xy).all(axis=1))
    if bad.size:
        raise ValueError(f"{name} has a non-finite coordinate at vertex {bad[0]}: {xy[bad[0]].tolist()}")
    number = np.arange(len(xy))
    while len(xy) > 1 and np.array_equal(xy[-1], xy[0]):  # the ring closed by repeating its start
        xy, number = xy[:-1], number[:-1]
    repeat = np.all(xy == np.roll(xy, 1, axis=0), axis=1) if len(xy) > 1 else np.zeros(len(xy), bool)
    xy, number = xy[~repeat], number[~repeat]
    distinct = len(np.unique(xy, axis=0))
    if distinct < 3:
        raise ValueError(f"{name} has fewer than three distinct vertices ({distinct})")
    ring = Ring(name, np.ascontiguousarray(xy), number)
    spread = np.linalg.svd(xy - xy.mean(axis=0), compute_uv=False)
    if spread[1] <= 1e-12 * spread[0]:
        raise ValueError(f"{name} has zero area: its vertices lie on one line")
    return ring


def _check_turn_backs(ring: Ring, tol: float) -> None:
    # Two consecutive segments that fold back onto each other (to within tol) overlap along
    # a length, which the segment-pair test skips (neighbours always share a vertex).
    v = ring.xy
    before, after = np.roll(v, 1, axis=0) - v, np.roll(v, -1, axis=0) - v
    cross = before[:, 0] * after[:, 1] - before[:, 1] * after[:, 0]
    dot = np.einsum("ij,ij->i", before, after)
    longer = np.maximum(np.hypot(*before.T), np.hypot(*after.T))
    back = np.flatnonzero((np.abs(cross) <= tol * longer) & (dot > 0.0))
    if back.size:
        raise ValueError(f"{ring.name} crosses itself: it turns back along its own boundary at "
                         f"{ring.vertex(back[0])}")


def check_crossings(rings: Sequence[Ring], tol: float) -> None:
    """Refuse segments that cross or overlap; rings of different polygons may touch at points.

    A ring folding back onto itself counts from within `tol`, the smallest feature kept.
    """
    if not rings:
        return
    for ring in rings:
        _check_turn_backs(ring, tol)
    ring_of = np.concatenate([np.full(len(r.xy), k) for k, r in enumerate(rings)])
    seg_of = np.concatenate([np.arange(len(r.xy)) for r in rings])
    start = np.concatenate([r.xy for r in rings])
    end = np.concatenate([np.roll(r.xy, -1, axis=0) for r in rings])
    lines = shapely.linestrings(np.stack([start, end], axis=1))
    a, b = shapely.STRtree(lines).query(lines, predicate="intersects")
    keep = a < b
    a, b = a[keep], b[keep]
    same = ring_of[a] == ring_of[b]
    size = np.array([len(r.xy) for r in rings])[ring_of[a]]
    gap = np.abs(seg_of[a] - seg_of[b])
    neighbours = same & ((gap == 1) | (gap == size - 1))
    a, b, same = a[~neighbours], b[~neighbours], same[~neighbours]
    touching = ~same & shapely.touches(lines[a], lines[b])
    a, b = a[~touching], b[~touching]
    if a.size == 0:
        return
    first = np.lexsort((b, a))[0]
    a, b = a[first], b[first]
    ra, rb = rings[ring_of[a]], rings[ring_of[b]]
    meet = shapely.intersection(lines[a], lines[b])
    x, y = ra.user(shapely.get_coordinates(meet)[0])
    where = f"near ({x:.6g}, {y:.6g})"
    if ra is rb:
        how = "crosses" if shapely.crosses(lines[a], lines[b]) else "touches"
        raise ValueError(f"{ra.name} {how} itself: {ra.segment(seg_of[a])} meets "
                         f"{ra.segment(seg_of[b])} {where}")
    how = "runs along" if meet.length > 0.0 else "crosses"
    raise ValueError(f"{ra.name} {how} {rb.name}: its {ra.segment(seg_of[a])} meets "
                     f"{rb.segment(seg_of[b])} of {rb.name} {where}")


def check_nesting(shells: Sequence[Ring], holes: Sequence[Ring]) -> None:
    """Islands must not overlap, holes must lie inside the region and not overlap each other.

    Runs after `check_crossings`, so rings are nested or apart, touching at points at most.
    """
    _check_apart(shells)
    region = shapely.union_all([r.polygon() for r in shells])
    for hole in holes:
        x, y = hole.xy[:, 0], hole.xy[:, 1]
        outside = np.flatnonzero(~shapely.intersects_xy(region, x, y))
        if outside.size:
            raise ValueError(f"{hole.name} is not inside the region: its {hole.vertex(outside[0])} "
                             "lies outside")
        polygon = hole.polygon()
        if shapely.difference(polygon, region).area > 1e-9 * polygon.area:
            raise ValueError(f"{hole.name} is not inside the region: part of it lies outside")
    _check_apart(holes)


def _check_apart(rings: Sequence[Ring]) -> None:
    if len(rings) < 2:
        return
    polygons = np.array([r.polygon() for r in rings], dtype=object)
    a, b = shapely.STRtree(polygons).query(polygons, predicate="intersects")
    keep = a < b
    for i, j in sorted(zip(a[keep].tolist(), b[keep].tolist())):
        shared = shapely.intersection(polygons[i], polygons[j]).area
        if shared > 1e-9 * min(polygons[i].area, polygons[j].area):
            raise ValueError(f"{rings[i].name} and {rings[j].name} overlap")

"""The study region's polygons as a user gives them: read, checked, and named in messages.

Every error names the polygon ("the region", "region polygon 2", "hole 0") and the vertex or
segment in the user's own numbering, before any closing repeat or duplicate was dropped.
"""

from __future__ import annotations

from typing import Callable, Optional, Sequence

import numpy as np
import shapely


_NO_ORIGIN = np.zeros(2)
_NO_ORIGIN.setflags(write=False)


class Ring:
    """A closed polygon boundary: k >= 3 vertices, consecutive ones distinct, not repeated at the end.

    A plain class with slots: regions of many islands make hundreds of thousands of them.
    """

    __slots__ = ("name", "xy", "number", "unit", "origin")

    def __init__(self, name: str, xy: np.ndarray, number: np.ndarray, unit: float = 1.0,
                 origin: np.ndarray = _NO_ORIGIN) -> None:
        self.name = name
        self.xy = xy          # (k, 2) float64, in units of `unit` from `origin`
        self.number = number  # (k,) the user's vertex number of each kept vertex
        self.unit = unit      # messages show the user's coordinates, xy * unit + origin
        self.origin = origin

    def user(self, xy: np.ndarray) -> np.ndarray:
        return xy * self.unit + self.origin

    def vertex(self, i: int) -> str:
        x, y = self.user(self.xy[i])
        return f"vertex {self.number[i]} ({x:.6g}, {y:.6g})"

    def segment(self, i: int) -> str:
        j = (i + 1) % len(self.xy)
        return f"segment {self.number[i]} (vertex {self.number[i]} to {self.number[j]})"


class Rings(Sequence[Ring]):
    """Rings kept one after another: a Ring object is made only when one is asked for, so
    that a region of a million islands is read, measured and refused without a million
    objects.

    xy: (K, 2) every ring's vertices in turn; size: (r,) how many each has; number: (K,)
    the user's vertex numbers; name(i) names ring i in messages.
    """

    __slots__ = ("xy", "size", "number", "name", "unit", "origin", "start", "_polygons")

    def __init__(self, xy: np.ndarray, size: np.ndarray, number: np.ndarray, name: Callable[[int], str],
                 unit: float = 1.0, origin: np.ndarray = _NO_ORIGIN) -> None:
        self.xy, self.size, self.number, self.name = xy, size, number, name
        self.unit, self.origin = unit, origin
        self.start = np.concatenate([[0], np.cumsum(size)]).astype(np.int64)
        self._polygons: Optional[np.ndarray] = None

    @classmethod
    def one(cls, ring: Ring) -> "Rings":
        return cls(ring.xy, np.array([len(ring.xy)]), ring.number, lambda i: ring.name,
                   ring.unit, ring.origin)

    def __len__(self) -> int:
        return len(self.size)

    def __getitem__(self, i):  # an int only
        if not -len(self) <= i < len(self):
            raise IndexError(i)
        i %= len(self)
        b, e = int(self.start[i]), int(self.start[i + 1])
        return Ring(self.name(i), self.xy[b:e], self.number[b:e], self.unit, self.origin)

    def framed(self, unit: float, origin: np.ndarray) -> "Rings":
        """The same rings in `unit`s from `origin` (exact moves: see regions._frame)."""
        return Rings((self.xy - origin) / unit, self.size, self.number, self.name, unit, origin)

    def __add__(self, other: "Rings") -> "Rings":
        """These rings, then the other's (in the same frame)."""
        n = len(self)
        return Rings(np.concatenate([self.xy, other.xy]), np.concatenate([self.size, other.size]),
                     np.concatenate([self.number, other.number]),
                     lambda i: self.name(i) if i < n else other.name(i - n), self.unit, self.origin)

    def subset(self, keep: np.ndarray) -> "Rings":
        """The rings where `keep` (r,) is True, still named as the user numbered them."""
        kept = np.flatnonzero(keep)
        if len(kept) == len(self):
            return self
        vertex = np.repeat(keep, self.size)
        name = self.name
        return Rings(self.xy[vertex], self.size[kept], self.number[vertex],
                     lambda i: name(int(kept[i])), self.unit, self.origin)

    def ring_of(self) -> np.ndarray:
        """(K,) the ring each vertex belongs to."""
        return np.repeat(np.arange(len(self)), self.size)

    def following(self) -> np.ndarray:
        """(K,) the vertex after each one along its ring."""
        after = np.arange(1, len(self.xy) + 1)
        after[self.start[1:] - 1] = self.start[:-1]
        return after

    def polygons(self) -> np.ndarray:
        """(r,) a shapely Polygon for each ring, made once."""
        polygons = self._polygons
        if polygons is None:
            polygons = self._polygons = shapely.polygons(shapely.linearrings(self.xy, indices=self.ring_of()))
        return polygons


def bounds(rings: Rings) -> tuple[np.ndarray, np.ndarray]:
    """(r, 2) the low and high corners of each ring's bounding box, in O(k)."""
    ring_of = rings.ring_of()
    low, high = np.full((len(rings), 2), np.inf), np.full((len(rings), 2), -np.inf)
    np.minimum.at(low, ring_of, rings.xy)
    np.maximum.at(high, ring_of, rings.xy)
    return low, high


def areas_at_most(rings: Rings) -> np.ndarray:
    """The area of each ring, or its bounding box's where that is less (a ring crossing
    itself can wind round many times), in O(k)."""
    ring_of, after = rings.ring_of(), rings.following()
    x, y = rings.xy[:, 0], rings.xy[:, 1]
    twice = np.bincount(ring_of, weights=x * y[after] - y * x[after], minlength=len(rings))
    low, high = bounds(rings)
    return np.minimum(0.5 * np.abs(twice), np.prod(high - low, axis=1))


def read_rings(value, single_name: str, list_name: str) -> Rings:
    """One polygon (a k x 2 array) or a list of them; None or an empty list gives none."""
    if value is None:
        return _rings(np.empty((0, 2)), np.empty(0, np.int64), str)
    if isinstance(value, (str, bytes)):
        raise ValueError(f"{single_name} must be a (k, 2) array of vertex coordinates "
                         f"or a list of them, got {type(value).__name__}")
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):  # ragged: a list of polygons of different lengths
        array = None
    if array is not None and array.ndim == 2:
        return _rings(array, np.array([len(array)]), lambda i: single_name)
    if array is not None and array.size == 0:
        return _rings(np.empty((0, 2)), np.empty(0, np.int64), str)
    if array is not None and array.ndim == 3 and array.shape[2] == 2:  # polygons of one length
        return _rings(array.reshape(-1, 2), np.full(len(array), array.shape[1]),
                      lambda i: f"{list_name} {i}")
    try:
        items = list(value)
    except TypeError:
        raise ValueError(f"{single_name} must be a (k, 2) array of vertex coordinates "
                         f"or a list of them, got {type(value).__name__}") from None
    arrays, fault = [], None
    for i, item in enumerate(items):
        try:
            xy = np.asarray(item, dtype=np.float64)
        except (TypeError, ValueError):
            fault = ValueError(f"{list_name} {i} must be a (k, 2) array of vertex coordinates")
            break
        if xy.ndim != 2 or xy.shape[1] != 2:
            fault = ValueError(f"{list_name} {i} must be a (k, 2) array of vertex coordinates, "
                               f"got shape {xy.shape}")
            break
        arrays.append(xy)
    xy = np.concatenate(arrays) if arrays else np.empty((0, 2))
    rings = _rings(xy, np.array([len(a) for a in arrays], dtype=np.int64),
                   lambda i: f"{list_name} {i}")  # faults in earlier polygons come first
    if fault is not None:
        raise fault
    return rings


def _rings(xy: np.ndarray, size: np.ndarray, name: Callable[[int], str]) -> Rings:
    """Rings from the polygons' vertices one after another, `size` of them each, checked all
    at once in O(k); `name(i)` names polygon i in messages.

    The first polygon at fault is named, with its first fault in this order: a non-finite
    coordinate, fewer than three distinct vertices, all vertices on one line.
    """
    if len(size) == 0:
        return Rings(np.empty((0, 2)), size, np.empty(0, np.int64), name)
    start = np.cumsum(size) - size
    ring_of = np.repeat(np.arange(len(size)), size)
    not_finite = None
    if not np.isfinite(xy).all():
        row = int(np.flatnonzero(~np.isfinite(xy).all(axis=1))[0])
        i = int(ring_of[row])
        not_finite = f"{name(i)} has a non-finite coordinate at vertex {row - start[i]}: {xy[row].tolist()}"
        keep = ring_of < i  # the rings before it may have faults of their own
        xy, ring_of, size, start = xy[keep], ring_of[keep], size[:i], start[:i]
    x, y = xy[:, 0], xy[:, 1]
    first = start[ring_of]
    # The ring closed by repeating its start, perhaps more than once: vertices after the
    # last one that differs from the first go.
    other = (x != x[first]) | (y != y[first])
    last = np.full(len(size), -1)
    np.maximum.at(last, ring_of[other], np.flatnonzero(other))
    end = np.where(last >= 0, last + 1, np.minimum(start + 1, start + size))
    keep = np.arange(len(xy)) < end[ring_of]
    same = np.zeros(len(xy), dtype=bool)
    same[1:] = (x[1:] == x[:-1]) & (y[1:] == y[:-1]) & (ring_of[1:] == ring_of[:-1])
    keep &= ~same
    number = np.flatnonzero(keep) - first[keep]
    xy, ring_of = np.ascontiguousarray(xy[keep]), ring_of[keep]
    kept = np.bincount(ring_of, minlength=len(size))
    begin = np.cumsum(kept) - kept

    distinct = _distinct_up_to_three(xy, ring_of, begin, kept)
    thin = np.where(distinct >= 3, _thinness(xy, ring_of, begin, kept), np.inf)
    bad = np.flatnonzero((distinct < 3) | (thin <= 1e-12))
    if bad.size:
        i = int(bad[0])
        if distinct[i] < 3:
            raise ValueError(f"{name(i)} has fewer than three distinct vertices ({distinct[i]})")
        raise ValueError(f"{name(i)} has zero area: its vertices lie on one line")
    if not_finite is not None:
        raise ValueError(not_finite)
    return Rings(xy, kept, number, name)


def distinct_up_to_three(xy: np.ndarray) -> int:
    """How many distinct rows xy has, counting no further than 3, in O(k)."""
    return int(_distinct_up_to_three(xy, np.zeros(len(xy), np.int64), np.zeros(1, np.int64),
                                     np.array([len(xy)]))[0])


def _distinct_up_to_three(xy, ring_of, begin, kept) -> np.ndarray:
    """How many distinct vertices each ring has, counting no further than 3, in O(k)."""
    count = np.minimum(kept, 1)
    if len(xy) == 0:
        return count
    x, y = xy[:, 0], xy[:, 1]
    first = np.minimum(begin, len(xy) - 1)[ring_of]
    other = (x != x[first]) | (y != y[first])
    second = np.full(len(kept), len(xy))
    np.minimum.at(second, ring_of[other], np.flatnonzero(other))
    count = count + (second < len(xy))
    at = np.minimum(second, len(xy) - 1)[ring_of]
    third = other & ((x != x[at]) | (y != y[at]))
    return count + (np.bincount(ring_of[third], minlength=len(kept)) > 0)


def _thinness(xy, ring_of, begin, kept) -> np.ndarray:
    """Each ring's spread across its principal axis over its spread along it.

    As the singular values of the centred vertices would give, in O(k): the axis from the
    2 x 2 moments, accurate to a rounding of its angle, then the spreads measured along
    and across it. Each ring is scaled first by a power of two near its largest coordinate,
    so that no mean or square overflows or underflows.
    """
    largest = np.zeros(len(kept))
    np.maximum.at(largest, ring_of, np.maximum(np.abs(xy[:, 0]), np.abs(xy[:, 1])))
    scale = np.ldexp(1.0, np.frexp(largest)[1] - 1)[ring_of]
    x, y = xy[:, 0] / scale, xy[:, 1] / scale

    def per_ring(values):
        return np.bincount(ring_of, weights=values, minlength=len(kept))

    count = np.maximum(kept, 1)
    x = x - (per_ring(x) / count)[ring_of]
    y = y - (per_ring(y) / count)[ring_of]
    angle = 0.5 * np.arctan2(2.0 * per_ring(x * y), per_ring(x * x) - per_ring(y * y))
    c, s = np.cos(angle)[ring_of], np.sin(angle)[ring_of]
    along, across = c * x + s * y, c * y - s * x
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.sqrt(per_ring(across * across)) / np.sqrt(per_ring(along * along))


def _check_turn_backs(rings: Rings, tol: float) -> None:
    # Two consecutive segments that fold back onto each other (to within tol) overlap along
    # a length, which the segment-pair test skips (neighbours always share a vertex).
    after = rings.following()
    before = np.empty_like(after)
    before[after] = np.arange(len(after))
    v = rings.xy
    back, ahead = v[before] - v, v[after] - v
    cross = back[:, 0] * ahead[:, 1] - back[:, 1] * ahead[:, 0]
    dot = back[:, 0] * ahead[:, 0] + back[:, 1] * ahead[:, 1]
    longer = np.maximum(np.hypot(back[:, 0], back[:, 1]), np.hypot(ahead[:, 0], ahead[:, 1]))
    turn = np.flatnonzero((np.abs(cross) <= tol * longer) & (dot > 0.0))
    if turn.size:
        i = int(rings.ring_of()[turn[0]])
        ring = rings[i]
        raise ValueError(f"{ring.name} crosses itself: it turns back along its own boundary at "
                         f"{ring.vertex(turn[0] - rings.start[i])}")


def check_crossings(rings: Rings, tol: float) -> None:
    """Refuse segments that cross or overlap; rings of different polygons may touch at points.

    A ring folding back onto itself counts from within `tol`, the smallest feature kept.
    The first fault in the order of the segments is named; segments are looked at in
    growing blocks from the first, so that finding a fault costs about what the pairs
    before it cost, even where every segment crosses every other.
    """
    if not len(rings):
        return
    _check_turn_backs(rings, tol)
    ring_of = rings.ring_of()
    seg_of = np.arange(len(rings.xy)) - rings.start[ring_of]
    size = rings.size
    lines = shapely.linestrings(np.stack([rings.xy, rings.xy[rings.following()]], axis=1))
    tree = shapely.STRtree(lines)
    for block in _growing_blocks(len(lines)):
        a, b = tree.query(lines[block], predicate="intersects")
        a = a + block.start
        keep = a < b
        a, b = a[keep], b[keep]
        same = ring_of[a] == ring_of[b]
        gap = np.abs(seg_of[a] - seg_of[b])
        neighbours = same & ((gap == 1) | (gap == size[ring_of[a]] - 1))
        a, b, same = a[~neighbours], b[~neighbours], same[~neighbours]
        other = np.flatnonzero(~same)
        touching = np.zeros(len(a), dtype=bool)
        touching[other] = shapely.touches(lines[a[other]], lines[b[other]])
        a, b = a[~touching], b[~touching]
        if a.size:
            first = np.lexsort((b, a))[0]
            _crossing(rings, lines, ring_of, seg_of, int(a[first]), int(b[first]))


def _growing_blocks(n: int, first: int = 1):
    """slice(0, 1), slice(1, 3), slice(3, 7), ...: blocks that double, covering range(n)."""
    start, size = 0, first
    while start < n:
        yield slice(start, min(start + size, n))
        start, size = start + size, 2 * size


def _crossing(rings, lines, ring_of, seg_of, a: int, b: int):
    ra, rb = rings[int(ring_of[a])], rings[int(ring_of[b])]
    meet = shapely.intersection(lines[a], lines[b])
    x, y = ra.user(shapely.get_coordinates(meet)[0])
    where = f"near ({x:.6g}, {y:.6g})"
    if ring_of[a] == ring_of[b]:
        how = "crosses" if shapely.crosses(lines[a], lines[b]) else "touches"
        raise ValueError(f"{ra.name} {how} itself: {ra.segment(seg_of[a])} meets "
                         f"{ra.segment(seg_of[b])} {where}")
    how = "runs along" if meet.length > 0.0 else "crosses"
    raise ValueError(f"{ra.name} {how} {rb.name}: its {ra.segment(seg_of[a])} meets "
                     f"{rb.segment(seg_of[b])} of {rb.name} {where}")


def check_nesting(shells: Rings, holes: Rings) -> None:
    """Islands must not overlap, holes must lie inside the region and not overlap each other.

    Runs after `check_crossings`, so rings are nested or apart, touching at points at most.
    """
    _check_apart(shells)
    region = filled(shells)
    if len(holes):
        shapely.prepare(region)
        outside = ~shapely.intersects_xy(region, holes.xy[:, 0], holes.xy[:, 1])
        polygons = holes.polygons()
        for k in np.flatnonzero(~shapely.covers(region, polygons)).tolist():
            hole = holes[k]
            out = np.flatnonzero(outside[holes.start[k]:holes.start[k + 1]])
            if out.size:
                raise ValueError(f"{hole.name} is not inside the region: its {hole.vertex(out[0])} "
                                 "lies outside")
            # Vertices inside and no crossing, yet not covered: a hole across a point where
            # two islands touch, or one only a rounding away from the shore.
            if shapely.difference(polygons[k], region).area > 1e-9 * polygons[k].area:
                raise ValueError(f"{hole.name} is not inside the region: part of it lies outside")
    _check_apart(holes)


def filled(rings: Rings) -> shapely.Geometry:
    """The area the rings enclose, for rings already known to be apart (see check_nesting):
    their polygons as one, with no union to compute (which grows faster than the count)."""
    polygons = rings.polygons()
    return polygons[0] if len(polygons) == 1 else shapely.multipolygons(polygons)


def _check_apart(rings: Rings) -> None:
    if len(rings) < 2:
        return
    polygons = rings.polygons()
    tree = shapely.STRtree(polygons)
    # Nested rings meet every ring around them: blocks keep the pairs looked at before
    # the first overlap few, however deep the nesting.
    for block in _growing_blocks(len(rings)):
        a, b = tree.query(polygons[block], predicate="intersects")
        a = a + block.start
        keep = a < b
        a, b = a[keep], b[keep]
        inside = ~shapely.touches(polygons[a], polygons[b])  # nested; touching rings are apart
        a, b = a[inside], b[inside]
        shared = shapely.area(shapely.intersection(polygons[a], polygons[b]))
        overlap = np.flatnonzero(shared > 1e-9 * np.minimum(shapely.area(polygons[a]),
                                                            shapely.area(polygons[b])))
        if overlap.size:
            first = overlap[np.lexsort((b[overlap], a[overlap]))[0]]
            raise ValueError(f"{rings.name(int(a[first]))} and {rings.name(int(b[first]))} overlap")

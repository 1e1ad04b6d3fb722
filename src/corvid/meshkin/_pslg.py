"""The planar straight-line graph handed to the mesher: vertices, marked segments, and the
vertex each observation point became.

Triangle's refinement follows every feature of its input down to the smallest: two vertices
1e-17 apart, or a vertex that far from a segment, make it refine without end or fail. So
features below `tol` are closed here: such vertices become one, and a vertex that close to a
segment splits it. Points are treated the same way at the coarser `cutoff`.
"""

from __future__ import annotations

import dataclasses
from typing import Sequence

import numpy as np
import shapely
from scipy import sparse
from scipy.sparse.csgraph import connected_components
from scipy.spatial import cKDTree


@dataclasses.dataclass
class Graph:
    vertices: np.ndarray      # (N, 2) float64: ring vertices first, then the kept points
    segments: np.ndarray      # (M, 2) int64 vertex pairs
    markers: np.ndarray       # (M,) int32 marker of the ring each segment came from
    point_vertex: np.ndarray  # (n_points,) int64 vertex standing for each point


def build_graph(rings: Sequence[tuple[np.ndarray, np.ndarray, int]], points: np.ndarray,
                cutoff: float, tol: float) -> Graph:
    """Rings in groups (xy, size, marker): the vertices of rings one after another, how many
    each ring has, and the marker of their segments; points (n x 2); `tol` is the smallest
    feature kept."""
    xy = np.concatenate([r for r, _, _ in rings])
    size = np.concatenate([n for _, n, _ in rings]).astype(np.int64)
    start = np.cumsum(size) - size
    index = np.arange(len(xy))
    nxt = index + 1
    nxt[start + size - 1] = start
    segments = np.column_stack([index, nxt])
    markers = np.concatenate([np.full(len(r), m, dtype=np.int32) for r, _, m in rings])

    xy, segments, markers, _ = _merge(xy, _clusters(xy, tol), segments, markers)
    segments, markers = _split_at_vertices(xy, segments, markers, tol)

    n_ring = len(xy)
    reach = max(cutoff, tol)
    point_vertex = _thin(points, reach)
    kept = np.unique(point_vertex)
    on_vertex = np.full(len(kept), -1, dtype=np.int64)
    if len(kept):
        distance, nearest = cKDTree(xy).query(points[kept], distance_upper_bound=reach)
        on_vertex = np.where(np.isfinite(distance), nearest, -1)
    free = kept[on_vertex < 0]
    moved, seg, t = _nearest_segment(xy, segments, points[free], reach)
    placed = points[free].copy()
    placed[moved] = xy[segments[seg, 0]] + t[:, None] * (xy[segments[seg, 1]] - xy[segments[seg, 0]])

    new_index = np.full(len(points), -1, dtype=np.int64)
    new_index[kept[on_vertex >= 0]] = on_vertex[on_vertex >= 0]
    new_index[free] = n_ring + np.arange(len(free))
    point_vertex = new_index[point_vertex]
    xy = np.concatenate([xy, placed])
    segments, markers = _split(segments, markers, seg, n_ring + np.flatnonzero(moved), t)

    # Projections can land on each other or on a ring vertex; ring vertices win (lower index).
    # No crowd to count: ring vertices lie more than tol apart, and so do kept points;
    # projections come from points more than `reach` apart, so few land near one spot.
    xy, segments, markers, renumber = _merge(xy, _clusters(xy, tol, may_crowd=False), segments, markers)
    return Graph(xy, segments, markers, renumber[point_vertex])


# Pairs within reach, per point, beyond which the pairs are not listed: counting them is
# cheap (a dual-tree count), listing them costs memory in proportion.
_PAIRS_PER_POINT = 16


def _crowded(tree: cKDTree, r: float) -> bool:
    """Whether the points have more than _PAIRS_PER_POINT pairs within r per point."""
    n = tree.n
    return (tree.count_neighbors(tree, r) - n) // 2 > _PAIRS_PER_POINT * n


def _clusters(xy: np.ndarray, r: float, may_crowd: bool = True) -> np.ndarray:
    """Each vertex's representative: the lowest index among those chained to it within r.

    Copies of a vertex are one vertex here (see copies). Where vertices crowd (many within
    r of each other), the chains run through leaders instead (see _leaders), which joins
    groups up to 3 r apart as well: still features below the closing scale, at a cost
    linear in the vertices. `may_crowd=False` skips that count where no more than a few
    vertices can lie within r of any one.
    """
    first, which = copies(xy)
    xy = xy[first]
    tree = cKDTree(xy)
    if may_crowd and _crowded(tree, r):
        leader = _leaders(xy, r)
        heads = np.unique(leader)
        near = cKDTree(xy[heads]).query_pairs(3.0 * r, output_type="ndarray")
        label = _lowest_in_components(len(heads), near)
        representative = heads[label][np.searchsorted(heads, leader)]
    else:
        representative = _lowest_in_components(len(xy), tree.query_pairs(r, output_type="ndarray"))
    return first[representative][which]


def copies(points: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(first, which): the index of the first copy of each distinct point, in input order,
    and for each point the position of its first copy in `first`; in O(n log n).

    Trees cannot split copies of a point apart, so every query among many copies would scan
    them all (quadratic in a station's rows): the callers work on distinct points only.
    """
    n = len(points)
    if n == 0:
        return np.empty(0, np.int64), np.empty(0, np.int64)
    order = np.lexsort((points[:, 1], points[:, 0]))
    ordered = points[order]
    new = np.ones(n, dtype=bool)
    new[1:] = np.any(ordered[1:] != ordered[:-1], axis=1)
    group = np.cumsum(new) - 1
    first_of_group = np.full(group[-1] + 1, n)
    np.minimum.at(first_of_group, group, order)
    copy_of = np.empty(n, dtype=np.int64)
    copy_of[order] = first_of_group[group]
    first = np.sort(first_of_group)
    return first, np.searchsorted(first, copy_of)


def _lowest_in_components(n: int, pairs: np.ndarray) -> np.ndarray:
    """For each of n nodes joined by pairs, the lowest node of its connected component."""
    if len(pairs) == 0:
        return np.arange(n)
    graph = sparse.coo_matrix((np.ones(len(pairs)), (pairs[:, 0], pairs[:, 1])), shape=(n, n))
    count, label = connected_components(graph, directed=False)
    lowest = np.full(count, n)
    np.minimum.at(lowest, label, np.arange(n))
    return lowest[label]


def _thin(points: np.ndarray, r: float) -> np.ndarray:
    """Greedy thinning in input order: a point within r of an earlier kept point joins it.

    Not transitive on purpose: chaining would fold a dense cloud into a single vertex.
    Copies of a point go with its first copy.
    """
    if len(points) < 2:
        return np.arange(len(points))
    first, which = copies(points)
    points = points[first]
    n = len(points)
    keeper = np.arange(n)
    tree = cKDTree(points)
    if _crowded(tree, r):
        keeper = _leaders(points, r)
    else:
        pairs = tree.query_pairs(r, output_type="ndarray")
        if len(pairs):
            both = np.concatenate([pairs, pairs[:, ::-1]])
            near = sparse.csr_matrix((np.ones(len(both), dtype=bool), (both[:, 0], both[:, 1])),
                                     shape=(n, n))
            crowded = np.unique(pairs)
            keeper[crowded] = -1
            for i in crowded.tolist():
                if keeper[i] < 0:
                    keeper[i] = i
                    neighbours = near.indices[near.indptr[i]:near.indptr[i + 1]]
                    keeper[neighbours[keeper[neighbours] < 0]] = i
    return first[keeper][which]


def _leaders(points: np.ndarray, r: float) -> np.ndarray:
    """_thin for crowded distinct points: each kept point gathers its neighbours when it is kept.

    Kept points lie more than r apart, so at most six of them are within r of any point:
    the queries return at most six times the points, however many pairs there are.
    """
    tree = cKDTree(points)
    keeper = np.arange(len(points))
    _, second = tree.query(points, k=2, distance_upper_bound=np.nextafter(r, np.inf))
    lonely = second[:, 1] == len(points)  # no other point within r
    keeper[~lonely] = -1
    for i in np.flatnonzero(~lonely).tolist():
        if keeper[i] < 0:
            keeper[i] = i
            neighbours = np.asarray(tree.query_ball_point(tree.data[i], r), dtype=np.int64)
            keeper[neighbours[keeper[neighbours] < 0]] = i
    return keeper


def _merge(xy, representative, segments, markers):
    """Keep one vertex per representative, renumber segments, drop the ones that vanished or repeat."""
    kept, renumber = np.unique(representative, return_inverse=True)
    xy = xy[kept]
    segments = renumber[segments]
    segments.sort(axis=1)
    alive = segments[:, 0] != segments[:, 1]
    segments, markers = segments[alive], markers[alive]
    segments, first = np.unique(segments, axis=0, return_index=True)
    return xy, segments, markers[first], renumber


def _split_at_vertices(xy, segments, markers, tol):
    """Split each segment at the vertices that lie within tol of it but are not its ends."""
    lines = shapely.linestrings(np.stack([xy[segments[:, 0]], xy[segments[:, 1]]], axis=1))
    vertex, seg = shapely.STRtree(lines).query(shapely.points(xy), predicate="dwithin", distance=tol)
    inner = (segments[seg, 0] != vertex) & (segments[seg, 1] != vertex)
    vertex, seg = vertex[inner], seg[inner]
    t = _along(xy, segments[seg], xy[vertex])
    return _split(segments, markers, seg, vertex, t)


def _nearest_segment(xy, segments, query, reach):
    """For each query point within reach of a segment: the nearest one and the position along it."""
    none = np.zeros(len(query), dtype=bool)
    if len(query) == 0 or len(segments) == 0:
        return none, np.empty(0, np.int64), np.empty(0)
    lines = shapely.linestrings(np.stack([xy[segments[:, 0]], xy[segments[:, 1]]], axis=1))
    (which, seg) = shapely.STRtree(lines).query_nearest(
        shapely.points(query), max_distance=reach, all_matches=False)
    t = np.clip(_along(xy, segments[seg], query[which]), 0.0, 1.0)
    moved = none.copy()
    moved[which] = True
    order = np.argsort(which)
    return moved, seg[order], t[order]


def _along(xy, segments, p):
    a, b = xy[segments[:, 0]], xy[segments[:, 1]]
    d = b - a
    return np.einsum("ij,ij->i", p - a, d) / np.einsum("ij,ij->i", d, d)


def _split(segments, markers, seg, vertex, t):
    """Replace segment seg[k] by a chain through vertex[k], ordered by t[k] along it."""
    if len(seg) == 0:
        return segments, markers
    order = np.lexsort((t, seg))
    seg, vertex = seg[order], vertex[order]
    pieces, piece_markers = [], []
    for s in np.unique(seg).tolist():
        chain = np.concatenate([[segments[s, 0]], vertex[seg == s], [segments[s, 1]]])
        chain = chain[np.concatenate([[True], chain[1:] != chain[:-1]])]
        pieces.append(np.column_stack([chain[:-1], chain[1:]]))
        piece_markers.append(np.full(len(chain) - 1, markers[s], dtype=markers.dtype))
    untouched = np.ones(len(segments), dtype=bool)
    untouched[seg] = False
    segments = np.concatenate([segments[untouched], *pieces])
    markers = np.concatenate([markers[untouched], *piece_markers])
    return segments, markers

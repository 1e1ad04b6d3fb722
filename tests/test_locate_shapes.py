"""Point location on meshes of hostile shapes and scales: long thin triangles at any angle,
fans, combs and soups; points far outside; meshes scaled towards the ends of the double range.

The truth is matplotlib's trapezoid-map finder on the same triangles and exact rational
arithmetic (fractions.Fraction) over every boundary edge.
"""

from fractions import Fraction
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from corvid.meshkin.locate import basis_matrix, find_triangles
from corvid.meshkin.mesh import MkMesh
from mesh_parts import trimmed

tri = pytest.importorskip("matplotlib.tri")


def turned(xy, degrees):
    a = np.radians(degrees)
    return xy @ np.array([[np.cos(a), np.sin(a)], [-np.sin(a), np.cos(a)]])


def strips(n, degrees, every=1):
    """A unit square cut into n strips of two triangles; every=2 keeps every other one."""
    y = np.arange(n + 1) / n
    loc = np.vstack([np.column_stack([np.zeros(n + 1), y]), np.column_stack([np.ones(n + 1), y])])
    i = np.arange(0, n, every)
    tv = np.vstack([np.column_stack([i, i + n + 1, i + n + 2]), np.column_stack([i, i + n + 2, i + 1])])
    return MkMesh(turned(loc, degrees), tv)


def fan(n):
    angle = 2 * np.pi * np.arange(n) / n
    loc = np.vstack([[0.0, 0.0], np.column_stack([np.cos(angle), np.sin(angle)])])
    i = np.arange(n)
    return MkMesh(loc, np.column_stack([np.zeros(n, dtype=int), 1 + i, 1 + (i + 1) % n]))


def soup(n, seed=0):
    side = int(np.ceil(np.sqrt(n)))
    cell = np.arange(n)
    origin = np.column_stack([cell % side, cell // side]) / side
    corners = origin[:, None, :] + np.random.default_rng(seed).uniform(0.05, 0.95, (n, 3, 2)) / side
    return MkMesh(turned(corners.reshape(-1, 2), 20.0), np.arange(3 * n).reshape(n, 3))


SHAPES = {
    "strips 0": lambda: strips(1500, 0.0),
    "strips 30": lambda: strips(1500, 30.0),
    "strips 90": lambda: strips(1500, 90.0),
    "comb 45": lambda: strips(3000, 45.0, every=2),
    "fan": lambda: fan(3000),
    "soup": lambda: soup(2000),
}


# ---- any shape: the same answers as on any other mesh ---------------------------------------


@pytest.mark.parametrize("name", sorted(SHAPES))
def test_thin_and_crowded_triangles_are_located_as_matplotlib_does(name):
    mesh = SHAPES[name]()
    rng = np.random.default_rng(1)
    lo, hi = mesh.loc.min(axis=0), mesh.loc.max(axis=0)
    # Points anywhere around the mesh, and the corners and edge midpoints of the mesh itself.
    points = np.vstack([rng.uniform(lo - 0.1 * (hi - lo), hi + 0.1 * (hi - lo), (4000, 2)),
                        mesh.loc[rng.integers(0, mesh.n, 300)],
                        mesh.loc[mesh.tv[:300, :2]].mean(axis=1)])
    triangle, weights = find_triangles(mesh, points)
    finder = tri.Triangulation(*mesh.loc.T, mesh.tv).get_trifinder()
    expected = finder(*points.T)
    clear = weights.min(axis=1) > 1e-9  # strictly inside: one right answer
    assert np.array_equal(triangle[clear], expected[clear])
    # Where matplotlib alone finds a triangle, the point is outside it only by rounding.
    missed = (triangle < 0) & (expected >= 0)
    corners = mesh.loc[mesh.tv[expected[missed]]]
    cross = lambda u, v: u[..., 0] * v[..., 1] - u[..., 1] * v[..., 0]
    p = points[missed][:, None, :]
    sides = cross(np.roll(corners, -1, axis=1) - corners, p - corners)
    area = cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    assert np.all(sides * np.sign(area)[:, None] >= -1e-15)
    inside = triangle >= 0
    corners = mesh.loc[mesh.tv[triangle[inside]]]
    assert np.allclose(np.einsum("kc,kcd->kd", weights[inside], corners), points[inside],
                       rtol=0, atol=1e-12)
    # The answer for a point does not depend on the others.
    shuffle = rng.permutation(points.shape[0])
    assert (basis_matrix(mesh, points[shuffle]) != basis_matrix(mesh, points)[shuffle]).nnz == 0


@pytest.mark.parametrize("name", ["strips 30", "fan", "comb 45"])
def test_an_overlap_in_a_thin_mesh_names_the_lowest_triangle_and_vertex(name):
    mesh = SHAPES[name]()
    # A small triangle added at the end, with one corner deep inside the mesh.
    t = mesh.tv.shape[0] // 2
    inside = mesh.loc[mesh.tv[t]].mean(axis=0)
    far = inside + [5.0, 5.0]
    loc = np.vstack([mesh.loc, inside, far, far + [0.0, 1.0]])
    tv = np.vstack([mesh.tv, [[mesh.n, mesh.n + 1, mesh.n + 2]]])
    with pytest.raises(ValueError, match=rf"triangle {t} \[.*\] overlaps the mesh around vertex "
                                         rf"{mesh.n}, which lies inside it"):
        find_triangles(SimpleNamespace(n=mesh.n + 3, loc=loc, tv=tv), [0.5, 0.5])


SQUARE = [(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0)]


@pytest.mark.parametrize("loc, tv, message", [
    # Two triangles crossing like a star, neither holding a corner of the other.
    ([(0, 0), (4, 0), (2, 3), (0, 2), (4, 2), (2, -1)], [(0, 1, 2), (3, 5, 4)],
     r"triangle 1 \[3, 5, 4\] overlaps triangle 0 \[0, 1, 2\]: part of the plane lies inside both"),
    # A triangle inside another with its corners on the other's edges.
    ([(0, 0), (4, 0), (0, 4), (2, 0), (2, 2), (0, 2)], [(0, 1, 2), (3, 4, 5)],
     r"triangle 1 \[3, 4, 5\] overlaps triangle 0 \[0, 1, 2\]"),
    # A triangle whose area underflows beside the others.
    (SQUARE + [(1e-160, 1e-160), (2e-160, 1e-160), (1e-160, 2e-160)], [(0, 1, 2), (0, 2, 3), (4, 5, 6)],
     r"triangle 2 \[4, 5, 6\] is too small for exact floating-point arithmetic"),
])
def test_overlaps_that_no_vertex_shows_are_refused(loc, tv, message):
    mesh = SimpleNamespace(n=len(loc), loc=np.array(loc, dtype=float), tv=np.array(tv))
    with pytest.raises(ValueError, match=message):
        basis_matrix(mesh, [0.5, 0.5])


@pytest.mark.parametrize("loc, tv", [
    # A long edge against two short ones on one line (not conforming, but no overlap).
    ([(0, 0), (2, 0), (1, 1), (1, 0), (0.5, -1), (1.5, -1)], [(0, 1, 2), (0, 3, 4), (3, 1, 5)]),
    # A slit: two vertices at one place, on either side of a crack.
    ([(0, 0), (2, 0), (2, 2), (0, 2), (1, 1), (1, 1)], [(0, 1, 4), (1, 2, 4), (2, 3, 5), (3, 0, 5)]),
    # Two triangles meeting at a single corner, and a separate one.
    ([(0, 0), (1, 0), (0, 1), (-1, 0), (0, -1), (3, 3), (4, 3), (3, 4)], [(0, 1, 2), (0, 3, 4), (5, 6, 7)]),
])
def test_meshes_that_touch_without_overlapping_are_accepted(loc, tv):
    mesh = SimpleNamespace(n=len(loc), loc=np.array(loc, dtype=float), tv=np.array(tv))
    triangle, _ = find_triangles(mesh, mesh.loc[np.array(tv)].mean(axis=1))
    assert triangle.tolist() == list(range(len(tv)))


# ---- far outside: the nearest boundary point, exactly -------------------------------------------


def exact_nearest(mesh, point):
    """The columns and weights the nearest boundary point must get, from exact distances over
    every boundary edge; ties go to the edge of lowest (triangle, corner) slot."""
    neighbours = {}
    for t, corners in enumerate(mesh.tv.tolist()):
        for k in range(3):
            edge = frozenset((corners[(k + 1) % 3], corners[(k + 2) % 3]))
            neighbours.setdefault(edge, []).append(3 * t + k)
    p = [Fraction(c) for c in point]
    best = None
    for edge, slots in neighbours.items():
        if len(slots) != 1:
            continue
        slot = slots[0]
        corners = mesh.tv[slot // 3]
        i, j = int(corners[(slot % 3 + 1) % 3]), int(corners[(slot % 3 + 2) % 3])
        a, b = ([Fraction(c) for c in mesh.loc[v, :2]] for v in (i, j))
        e = [b[0] - a[0], b[1] - a[1]]
        along = ((p[0] - a[0]) * e[0] + (p[1] - a[1]) * e[1]) / (e[0] ** 2 + e[1] ** 2)
        along = min(max(along, Fraction(0)), Fraction(1))
        q = [a[0] + along * e[0], a[1] + along * e[1]]
        key = ((p[0] - q[0]) ** 2 + (p[1] - q[1]) ** 2, slot)
        if best is None or key < best[0]:
            best = (key, {i: 1 - along, j: along})
    return {v: w for v, w in best[1].items() if w != 0}


MESHES = {
    "square": lambda: MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (2, 2)),
    "disk": lambda: MkMesh.disk(radius=1.0, rings=3),
    "L shape": lambda: trimmed(MkMesh.regular_grid((0, 2), (0, 2), (5, 5)), lambda x, y: (x < 1) | (y < 1)),
    "hole": lambda: trimmed(MkMesh.regular_grid((0, 3), (0, 3), (7, 7)),
                            lambda x, y: (abs(x - 1.5) > 0.6) | (abs(y - 1.5) > 0.6)),
    "comb": lambda: strips(12, 30.0, every=2),
}


def assert_nearest_is_exact(mesh, points):
    A = basis_matrix(mesh, points, outside="nearest")
    empty = basis_matrix(mesh, points)
    for i, point in enumerate(points):
        if empty.indptr[i + 1] > empty.indptr[i]:
            continue  # inside
        row = A[i]
        expected = exact_nearest(mesh, point)
        got = dict(zip(row.indices.tolist(), row.data.tolist()))
        # A weight below rounding (a point 1e-71 off a vertex's edge) may be stored or not.
        for v in set(got) | set(expected):
            assert abs(got.get(v, 0.0) - float(expected.get(v, 0))) <= 1e-12, (point, got, expected)


def test_far_points_get_the_edge_they_face_not_a_corner():
    square = MESHES["square"]()
    points = np.array([[-1e8, 0.5], [-1e17, 0.5], [-1e300, 0.25], [0.75, 1e200], [2e17, 0.5]])
    A = basis_matrix(square, points, outside="nearest")
    assert A[0].indices.tolist() == [0, 2] and A[0].data.tolist() == [0.5, 0.5]
    assert_nearest_is_exact(square, points)


@pytest.mark.parametrize("name", sorted(MESHES))
@settings(max_examples=40, deadline=None)
@given(scale=st.integers(0, 1000), angle=st.floats(0.0, 2 * np.pi), offset=st.floats(-2.0, 2.0))
def test_points_at_any_distance_get_the_exactly_nearest_boundary_point(name, scale, angle, offset):
    mesh = MESHES[name]()
    # Far along a direction, shifted sideways: distances tie to many digits.
    r = 2.0 ** (scale % 1000) if scale else 1.5
    direction = np.array([np.cos(angle), np.sin(angle)])
    point = r * direction + offset * np.array([-direction[1], direction[0]])
    assert_nearest_is_exact(mesh, point[None, :])


# ---- scale: only the ratios count ---------------------------------------------------------------


@pytest.mark.parametrize("scale", [2.0 ** -1000, 2.0 ** -1060, 2.0 ** -500, 2.0 ** 400])
def test_a_mesh_scaled_by_a_power_of_two_locates_exactly_as_before(scale):
    mesh = MkMesh.regular_grid((0.0, 2.0), (0.0, 1.0), (9, 5))
    small = MkMesh(mesh.loc * scale, mesh.tv)
    rng = np.random.default_rng(3)
    # Multiples of 2^-12, which stay exact however far down they are scaled.
    points = np.vstack([rng.integers(-2, 19, (300, 2)) / 8,
                        np.round(rng.uniform(-0.5, 2.5, (300, 2)) * 4096) / 4096])
    for outside in ("empty", "nearest"):
        A = basis_matrix(mesh, points, outside=outside)
        B = basis_matrix(small, points * scale, outside=outside)
        assert (A != B).nnz == 0
    triangle, weights = find_triangles(mesh, points)
    t2, w2 = find_triangles(small, points * scale)
    assert np.array_equal(triangle, t2) and np.array_equal(weights, w2)


def test_a_unit_mesh_scaled_by_1e_minus_300_is_a_mesh():
    mesh = MkMesh.disk(radius=1.0, rings=4)
    points = np.random.default_rng(4).uniform(-1.2, 1.2, (500, 2))
    triangle, _ = find_triangles(SimpleNamespace(n=mesh.n, loc=mesh.loc * 1e-300, tv=mesh.tv), points * 1e-300)
    expected, _ = find_triangles(mesh, points)
    assert np.mean(triangle == expected) > 0.99  # rounding of the scaled coordinates aside
    # Points too far to scale into the mesh's frame still get their nearest boundary point.
    tiny = SimpleNamespace(n=mesh.n, loc=mesh.loc * 1e-300, tv=mesh.tv)
    assert_nearest_is_exact(tiny, np.array([[1e10, 0.0], [0.0, -1e300], [3e-300, 1e-301], [-1e308, 1e300]]))


# ---- overlaps of any kind, against exact pairwise geometry ---------------------------------


def orient(a, b, c):
    return (a[0] - c[0]) * (b[1] - c[1]) - (a[1] - c[1]) * (b[0] - c[0])


def interiors_meet(a, b):
    """Whether two triangles (3 x 2 Fractions each) share interior points: unless some edge
    line of one has the two triangles on opposite closed sides (separating axes)."""
    for first, second in ((a, b), (b, a)):
        for k in range(3):
            p, q, r = first[k], first[(k + 1) % 3], first[(k + 2) % 3]
            side = orient(p, q, r)
            if all(orient(p, q, x) * side <= 0 for x in second):
                return False
    return True


def strictly_inside(point, corners):
    s = [orient(corners[k], corners[(k + 1) % 3], point) for k in range(3)]
    return all(x > 0 for x in s) or all(x < 0 for x in s)


@settings(max_examples=200, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), extra=st.integers(1, 3),
       where=st.sampled_from(["on its vertices", "anywhere", "beside it"]))
def test_a_mesh_is_refused_exactly_when_two_triangles_overlap(seed, extra, where):
    # A jittered 4 x 4 grid, with a few triangles added: on its vertices, anywhere, or beside
    # it (where they may cross one another with no corner inside).
    rng = np.random.default_rng(seed)
    grid = MkMesh.regular_grid((0.0, 3.0), (0.0, 3.0), (4, 4))
    loc = grid.loc + rng.uniform(-0.2, 0.2, grid.loc.shape)
    tv = grid.tv.tolist()
    for _ in range(extra):
        if where == "on its vertices":
            tv.append(rng.choice(loc.shape[0], 3, replace=False).tolist())
        else:
            lo, hi = ((-0.5, -0.5), (3.5, 3.5)) if where == "anywhere" else ((3.4, 0.0), (4.4, 1.0))
            loc = np.vstack([loc, rng.uniform(lo, hi, (3, 2))])
            tv.append([loc.shape[0] - 3, loc.shape[0] - 2, loc.shape[0] - 1])
    mesh = SimpleNamespace(n=loc.shape[0], loc=loc, tv=np.array(tv))
    corners = [[[Fraction(c) for c in loc[v]] for v in t] for t in tv]
    flat = [orient(*c) == 0 for c in corners]
    meet = {(i, j) for i in range(len(tv)) for j in range(i) if not flat[i] and not flat[j]
            and interiors_meet(corners[i], corners[j])}
    used = sorted({v for t in tv for v in t})
    holding = [(t, v) for t in range(len(tv)) for v in used
               if v not in tv[t] and not flat[t] and strictly_inside([Fraction(c) for c in loc[v]], corners[t])]
    try:
        find_triangles(mesh, [0.5, 0.5])
    except ValueError as error:
        message = str(error)
        t = int(message.split()[1])
        if "zero area" in message:
            assert flat[t] and not any(flat[:t])
        elif "which lies inside it" in message:
            v = int(message.split("around vertex ")[1].split(",")[0])
            assert (t, v) == min(holding)
        else:  # an edge of three triangles, a fold, or an overlap no vertex shows
            assert meet and not any(flat)
            if "part of the plane lies inside both" in message:
                other = int(message.split("overlaps triangle ")[1].split()[0])
                assert (t, other) in meet and not [h for h in holding if h[0] <= t]
    else:
        assert not meet and not any(flat) and not holding

"""Point location in a mesh's own triangles: find_triangles, basis_matrix, MeshGridProjector.

The truth is matplotlib's linear interpolation on the same triangles, exact rational
arithmetic, and brute-force geometry in NumPy.
"""

from fractions import Fraction
from types import SimpleNamespace

import numpy as np
import pytest
from scipy import sparse

from corvid.meshkin import _locator
from corvid.meshkin.locate import MeshGridProjector, basis_matrix, find_triangles
from corvid.meshkin.mesh import MkMesh
from mesh_parts import trimmed

tri = pytest.importorskip("matplotlib.tri")


# ---- meshes -----------------------------------------------------------------------------------


def rotated(points, degrees):
    a = np.radians(degrees)
    return points @ np.array([[np.cos(a), np.sin(a)], [-np.sin(a), np.cos(a)]])


def sliver_strip(height=1e-4, cells=40):
    """A strip of triangles 1/cells wide and `height` high between two rows, turned 30 degrees."""
    x = np.arange(cells + 1) / cells
    bottom = np.column_stack([x, np.zeros_like(x)])
    top = np.column_stack([x + 0.5 / cells, np.full_like(x, height)])
    i = np.arange(cells)
    b, t = i, i + cells + 1
    tv = np.vstack([np.column_stack([b, b + 1, t]), np.column_stack([b + 1, t + 1, t])])
    return MkMesh(rotated(np.vstack([bottom, top]), 30.0), tv)


MESHES = {
    "grid": lambda: MkMesh.regular_grid((0.0, 2.0), (0.0, 1.0), (9, 6)),
    "disk": lambda: MkMesh.disk(radius=1.5, rings=6, center=(0.3, -0.2)),
    "L shape": lambda: trimmed(MkMesh.regular_grid((0, 2), (0, 2), (9, 9)),
                               lambda x, y: (x < 1) | (y < 1)),
    "hole": lambda: trimmed(MkMesh.regular_grid((0, 3), (0, 3), (13, 13)),
                            lambda x, y: (abs(x - 1.5) > 0.6) | (abs(y - 1.5) > 0.6)),
    "delaunay": lambda: MkMesh.from_points(np.random.default_rng(3).random((300, 2))),
    "slivers": sliver_strip,
}


@pytest.fixture(params=sorted(MESHES))
def mesh(request):
    return MESHES[request.param]()


def boundary_edges(mesh):
    edges = np.sort(np.vstack([mesh.tv[:, [1, 2]], mesh.tv[:, [2, 0]], mesh.tv[:, [0, 1]]]),
                    axis=1)
    unique, count = np.unique(edges, axis=0, return_counts=True)
    return unique[count == 1]


def nearest_on_boundary(mesh, points):
    """The nearest point on any boundary edge, and its distance: brute force."""
    edges = boundary_edges(mesh)
    a, b = mesh.loc[edges[:, 0], :2], mesh.loc[edges[:, 1], :2]
    d = b - a
    offset = points[:, None, :] - a
    t = np.clip((offset * d).sum(-1) / (d * d).sum(-1), 0.0, 1.0)
    q = a + t[..., None] * d
    dist = np.linalg.norm(points[:, None, :] - q, axis=-1)
    best = np.argmin(dist, axis=1)
    rows = np.arange(points.shape[0])
    return q[rows, best], dist[rows, best]


def matplotlib_values(mesh, values, points):
    triangulation = tri.Triangulation(mesh.loc[:, 0], mesh.loc[:, 1], mesh.tv)
    return tri.LinearTriInterpolator(triangulation, values)(points[:, 0], points[:, 1])


def spread_points(mesh, k, seed):
    """Random points over the mesh's bounding box and a margin around it."""
    lo, hi = mesh.loc[:, :2].min(axis=0), mesh.loc[:, :2].max(axis=0)
    margin = 0.1 * (hi - lo)
    return np.random.default_rng(seed).uniform(lo - margin, hi + margin, (k, 2))


def assert_agrees_with_matplotlib(mesh, points, got_values, got_inside, values):
    expected = matplotlib_values(mesh, values, points)
    scale = np.ptp(mesh.loc[:, :2], axis=0).max()
    differ = got_inside != ~np.ma.getmaskarray(expected)
    # Where the two disagree on inside or out, the point must be on the boundary to within
    # rounding: there either answer is right.
    _, distance = nearest_on_boundary(mesh, points[differ])
    assert np.all(distance <= 1e-12 * scale), points[differ][distance > 1e-12 * scale]
    both = got_inside & ~np.ma.getmaskarray(expected)
    assert np.allclose(got_values[both], expected.data[both], rtol=0,
                       atol=1e-10 * np.abs(values).max())


# ---- agreement with matplotlib ----------------------------------------------------------------


def test_basis_matrix_is_matplotlibs_interpolation_on_the_same_triangles(mesh):
    points = spread_points(mesh, 3000, seed=1)
    values = np.random.default_rng(2).standard_normal(mesh.n)
    A = basis_matrix(mesh, points)
    assert isinstance(A, sparse.csr_matrix) and A.shape == (3000, mesh.n)
    assert A.dtype == np.float64 and A.has_sorted_indices
    assert np.all(np.diff(A.indptr) <= 3) and np.all(A.data != 0.0)
    inside = np.diff(A.indptr) > 0
    assert_agrees_with_matplotlib(mesh, points, A @ values, inside, values)
    assert np.allclose(A.sum(axis=1).A1[inside], 1.0, rtol=0, atol=1e-13)


def test_grid_projector_masks_what_matplotlib_masks(mesh):
    projector = MeshGridProjector(mesh, dims=(47, 39))
    values = np.random.default_rng(4).standard_normal(mesh.n)
    image = projector.project(values)
    assert image.shape == (39, 47) and projector.n_grid == 47 * 39
    assert projector.inside_2d.shape == (39, 47)
    assert projector.n_inside == np.count_nonzero(projector.inside)
    assert_agrees_with_matplotlib(mesh, projector.lattice, image.filled(0.0).ravel(),
                                  ~np.ma.getmaskarray(image).ravel(), values)
    assert projector.xlim == (mesh.loc[:, 0].min(), mesh.loc[:, 0].max())
    plain = projector.project(values, mask_outside=False)
    assert type(plain) is np.ndarray and np.all(plain[~projector.inside_2d] == 0.0)
    # Walked row by row rather than along a curve: the very same matrix.
    assert (projector.proj != basis_matrix(mesh, projector.lattice)).nnz == 0


def test_find_triangles_names_the_triangle_and_its_corner_weights(mesh):
    points = spread_points(mesh, 2000, seed=5)
    triangle, weights = find_triangles(mesh, points)
    assert triangle.dtype == np.int64 and weights.shape == (2000, 3)
    inside = triangle >= 0
    corners = mesh.loc[mesh.tv[triangle[inside]], :2]
    assert np.allclose(np.einsum("kc,kcd->kd", weights[inside], corners), points[inside],
                       rtol=0, atol=1e-12)
    assert np.all(weights[inside] >= 0.0) and np.all(weights[~inside] == 0.0)
    finder = tri.Triangulation(mesh.loc[:, 0], mesh.loc[:, 1], mesh.tv).get_trifinder()
    clear = inside & (weights.min(axis=1) > 1e-9)  # not on an edge, where either is right
    assert np.array_equal(triangle[clear], finder(points[clear, 0], points[clear, 1]))


# ---- exact placement on vertices and edges ----------------------------------------------------


def test_every_vertex_gets_exactly_its_own_basis_function(mesh):
    A = basis_matrix(mesh, mesh.loc)
    assert np.array_equal(A.indices, np.arange(mesh.n)) and np.all(A.data == 1.0)
    triangle, weights = find_triangles(mesh, mesh.loc)
    corner = mesh.tv[triangle, np.argmax(weights, axis=1)]
    assert np.array_equal(corner, np.arange(mesh.n))
    assert np.array_equal(np.sort(weights, axis=1), np.tile([0.0, 0.0, 1.0], (mesh.n, 1)))


def test_points_on_edges_get_exactly_two_entries():
    # Integer coordinates: the midpoint of an edge whose ends differ by even numbers is exact.
    rng = np.random.default_rng(6)
    corners = np.array([[0, 0], [64, 0], [64, 64], [0, 64]])
    inner = np.unique(rng.integers(1, 32, (40, 2)) * 2, axis=0)
    mesh = MkMesh.from_points(np.vstack([corners, inner]).astype(float))
    edges = np.unique(np.sort(np.vstack([mesh.tv[:, [0, 1]], mesh.tv[:, [1, 2]],
                                         mesh.tv[:, [2, 0]]]), axis=1), axis=0)
    a, b = mesh.loc[edges[:, 0]], mesh.loc[edges[:, 1]]
    even = np.all((b - a) % 2 == 0, axis=1)
    midpoints = (a[even] + b[even]) / 2
    A = basis_matrix(mesh, midpoints)
    assert np.all(np.diff(A.indptr) == 2) and np.all(A.data == 0.5)
    assert np.array_equal(A.indices.reshape(-1, 2), edges[even])


def test_half_a_million_points_on_a_fine_mesh_are_all_placed():
    # So many points on a mesh this fine are put in walking order in two sorting passes.
    rng = np.random.default_rng(12)
    mesh = MkMesh.from_points(rng.random((40_000, 2)))
    points = rng.uniform(-0.01, 1.01, (600_000, 2))
    triangle, weights = find_triangles(mesh, points)
    inside = tri.Triangulation(*mesh.loc[:, :2].T, mesh.tv).get_trifinder()(*points.T) >= 0
    assert np.array_equal(triangle >= 0, inside)
    corners = mesh.loc[mesh.tv[triangle[inside]], :2]
    assert np.allclose(np.einsum("pk,pkd->pd", weights[inside], corners), points[inside], rtol=0, atol=1e-13)
    assert (basis_matrix(mesh, points) != sparse.csr_matrix(
        (weights[inside].ravel(), mesh.tv[triangle[inside]].ravel(),
         np.concatenate([[0], np.cumsum(3 * inside)])), shape=(len(points), mesh.n))).nnz == 0


def test_answers_do_not_depend_on_the_other_points():
    mesh = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (11, 11))
    rng = np.random.default_rng(7)
    # Lattice points on edges and vertices, and random ones.
    points = np.vstack([rng.integers(0, 21, (500, 2)) / 20, rng.random((500, 2))])
    triangle, weights = find_triangles(mesh, points)
    for shuffle in (rng.permutation(1000), np.arange(1000)[::-1]):
        t2, w2 = find_triangles(mesh, points[shuffle])
        assert np.array_equal(t2, triangle[shuffle]) and np.array_equal(w2, weights[shuffle])
        assert (basis_matrix(mesh, points[shuffle]) != basis_matrix(mesh, points)[shuffle]).nnz == 0


def test_the_meshs_own_diagonals_are_followed():
    # On this grid the Delaunay triangulation may cut cells along the other diagonal.
    mesh = MkMesh.regular_grid((0.0, 2.0), (0.0, 2.0), (3, 3))
    A = basis_matrix(mesh, [0.2, 0.6])
    assert A.indices.tolist() == [0, 3, 4]
    assert A.data.tolist() == pytest.approx([0.4, 0.4, 0.2], abs=1e-15)


def test_triangles_of_either_orientation_give_the_same_matrix(mesh):
    flipped = mesh.tv.copy()
    flipped[::2] = flipped[::2, ::-1]
    points = spread_points(mesh, 1000, seed=8)
    A = basis_matrix(mesh, points)
    B = basis_matrix(MkMesh(mesh.loc, flipped), points)
    assert abs(A - B).max() <= 1e-15 and np.array_equal(A.indptr, B.indptr)


# ---- thin triangles ---------------------------------------------------------------------------


def exact_weights(point, corners):
    """Barycentric weights of the floating-point inputs in exact rational arithmetic."""
    (px, py), ((ax, ay), (bx, by), (cx, cy)) = map(Fraction, point), [map(Fraction, c) for c in corners]
    orient = lambda x1, y1, x2, y2, x3, y3: (x1 - x3) * (y2 - y3) - (y1 - y3) * (x2 - x3)
    d = orient(ax, ay, bx, by, cx, cy)
    return [orient(px, py, bx, by, cx, cy) / d, orient(ax, ay, px, py, cx, cy) / d,
            orient(ax, ay, bx, by, px, py) / d]


@pytest.mark.parametrize("aspect", [1e4, 1e8])
@pytest.mark.parametrize("degrees", [0.0, 45.0, 71.0])
def test_thin_triangles_reproduce_linear_functions(aspect, degrees):
    # One long edge with a third corner a hair off its middle, turned so that no edge is
    # parallel to an axis (the hardest case for plain floating point).
    corners = rotated(np.array([[-1.0, 0.0], [1.0, 0.0], [0.1, 2.0 / aspect]]), degrees) + [3.0, 7.0]
    mesh = MkMesh(corners, [[0, 1, 2]])
    rng = np.random.default_rng(9)
    mix = rng.dirichlet([1.0, 1.0, 1.0], 400)
    triangle, weights = find_triangles(mesh, mix @ corners)
    inside = triangle == 0
    assert inside.mean() > 0.9  # rounding moves a few of the points across the thin edges
    points = (mix @ corners)[inside]
    linear = lambda xy: 1.5 + 2.0 * xy[..., 0] - 3.0 * xy[..., 1]
    reproduced = basis_matrix(mesh, points) @ linear(corners)
    assert np.all(np.abs(reproduced - linear(points)) <= 1e-13 * np.abs(linear(corners)).max())
    for p, w in zip(points[:40], weights[inside][:40]):
        assert np.allclose(w, [float(e) for e in exact_weights(p, corners)], rtol=0, atol=2e-14)


@pytest.mark.parametrize("corners", [
    [[0.1, 0.3], [1.7, 2.9], [-3.3, 1.1]],
    [[1e6 + 0.1, 3e5 + 0.7], [1e6 + 0.35, 3e5 + 0.7000001], [1e6 - 0.2, 3e5 + 1.3]],
])
def test_points_within_rounding_of_an_edge_are_placed_exactly(corners):
    corners = np.array(corners)
    mesh = MkMesh(corners, [[0, 1, 2]])
    rng = np.random.default_rng(13)
    a, b = corners[0], corners[1]
    # Points on the line through a and b, up to rounding, and nudged by an ulp or two.
    t = rng.uniform(-0.2, 1.2, 300)
    points = a + t[:, None] * (b - a)
    points = np.nextafter(points, points + rng.choice([-1.0, 0.0, 1.0], points.shape))
    triangle, weights = find_triangles(mesh, points)
    for p, found, w in zip(points, triangle, weights):
        exact = exact_weights(p, corners)
        assert (found == 0) == all(e >= 0 for e in exact)
        if found == 0:  # on the edge exactly when the exact weight is zero
            assert (w[2] == 0.0) == (exact[2] == 0)


# ---- outside the mesh -------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["L shape", "hole", "disk", "slivers"])
def test_outside_nearest_is_the_nearest_boundary_point(name):
    mesh = MESHES[name]()
    points = spread_points(mesh, 1500, seed=10)
    empty = basis_matrix(mesh, points)
    nearest = basis_matrix(mesh, points, outside="nearest")
    outside = np.diff(empty.indptr) == 0
    assert outside.sum() > 50
    inside_rows = ~outside
    assert (nearest[inside_rows] != empty[inside_rows]).nnz == 0
    placed = nearest[outside] @ mesh.loc[:, :2]
    expected, distance = nearest_on_boundary(mesh, points[outside])
    got_distance = np.linalg.norm(placed - points[outside], axis=1)
    scale = np.ptp(mesh.loc[:, :2], axis=0).max()
    assert np.allclose(got_distance, distance, rtol=0, atol=1e-12 * scale)
    # Unique nearest points (not equally near two edges) agree as points too.
    assert np.median(np.linalg.norm(placed - expected, axis=1)) <= 1e-12 * scale
    assert np.all(np.diff(nearest.indptr)[outside] <= 2)
    assert np.allclose(nearest[outside].sum(axis=1).A1, 1.0, rtol=0, atol=1e-15)


def test_beyond_a_vertex_nearest_is_that_vertex_alone():
    mesh = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (3, 3))
    A = basis_matrix(mesh, [[2.0, 3.0], [-1.0, -5.0], [0.5, -1.0]], outside="nearest")
    assert A.toarray()[[0, 1], [8, 0]].tolist() == [1.0, 1.0]
    assert A[2].indices.tolist() == [1] and A[2].data.tolist() == [1.0]


@pytest.mark.parametrize("outside", ["empty", "nearest"])
def test_non_finite_points_get_empty_rows(outside):
    mesh = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (4, 4))
    points = [[np.nan, 0.5], [0.5, np.inf], [0.5, 0.5], [-np.inf, np.nan]]
    A = basis_matrix(mesh, points, outside=outside)
    assert np.diff(A.indptr).tolist() == [0, 0, 2, 0]
    triangle, weights = find_triangles(mesh, points)
    assert triangle[[0, 1, 3]].tolist() == [-1, -1, -1] and np.all(weights[[0, 1, 3]] == 0.0)


# ---- inputs -----------------------------------------------------------------------------------


@pytest.mark.parametrize("points, rows", [
    ([0.3, 0.4], 1), ((0.3, 0.4, 99.0), 1), (np.zeros((0, 2)), 0),
    (np.array([[0.3, 0.4, -5.0], [0.1, 0.9, 7.0]]), 2), ([[1, 0]], 1),
])
def test_point_shapes_accepted(points, rows):
    mesh = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (4, 4))
    A = basis_matrix(mesh, points)
    assert A.shape == (rows, 16)
    assert np.allclose(A @ mesh.loc[:, 0], np.atleast_2d(points)[:, 0])


@pytest.mark.parametrize("points, message", [
    (np.zeros((5, 4)), r"shape \(k, 2\) or \(k, 3\).*got shape \(5, 4\)"),
    (np.zeros((5, 1)), r"got shape \(5, 1\)"),
    (0.5, r"got shape \(\)"),
    (np.zeros((2, 2, 2)), r"got shape \(2, 2, 2\)"),
    ([0.5], r"got shape \(1,\)"),
    ([["a", "b"]], "must hold real coordinates"),
])
def test_point_shapes_refused(points, message):
    mesh = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (4, 4))
    for call in (find_triangles, basis_matrix):
        with pytest.raises(ValueError, match=message):
            call(mesh, points)


SQUARE = [(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0)]


@pytest.mark.parametrize("loc, tv, message", [
    (SQUARE + [(0.5, 0.5)], [(0, 1, 2), (0, 2, 3), (0, 4, 2)],
     r"triangle 2 \[0, 4, 2\] has zero area"),
    (SQUARE + [(0.8, 0.2)], [(0, 1, 2), (0, 2, 4)],
     r"triangle 1 \[0, 2, 4\] overlaps triangle 0: both lie on the same side of their "
     r"shared edge \(0, 2\)"),
    (SQUARE, [(0, 1, 2), (0, 2, 3), (2, 0, 1)],
     r"triangle 2 \[2, 0, 1\] overlaps triangles 0 and 1: all three have the edge \(0, 2\)"),
    (SQUARE + [(0.5, -1.0)], [(0, 1, 2), (0, 2, 3), (0, 1, 4), (1, 0, 3)],
     r"triangle 3 \[1, 0, 3\] overlaps triangles 0 and 2: all three have the edge \(0, 1\)"),
    (SQUARE + [(0.2, 0.2), (2.0, 0.2), (2.0, 1.0)], [(0, 1, 3), (4, 5, 6)],
     r"triangle 0 \[0, 1, 3\] overlaps the mesh around vertex 4, which lies inside it"),
    ([(0.0, 0.0), (1.0, 0.0), (0.0, 1e200)], [(0, 1, 2)], "vertex 2 .* beyond 1e150"),
])
def test_overlapping_or_flat_meshes_are_refused(loc, tv, message):
    duck = SimpleNamespace(n=len(loc), loc=np.array(loc), tv=np.array(tv))
    for call in (find_triangles, basis_matrix, MeshGridProjector):
        with pytest.raises(ValueError, match=message):
            call(duck, [0.5, 0.5]) if call is not MeshGridProjector else call(duck)


def test_any_object_with_n_loc_and_tv_is_a_mesh():
    grid = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (3, 3))
    surface = SimpleNamespace(n=grid.n, loc=np.column_stack([grid.loc, np.arange(9.0)]),
                              tv=grid.tv.astype(np.int32).tolist())
    points = np.random.default_rng(11).random((50, 2))
    assert (basis_matrix(surface, points) != basis_matrix(grid, points)).nnz == 0
    empty = SimpleNamespace(n=2, loc=np.zeros((2, 2)), tv=[])
    assert basis_matrix(empty, points).nnz == 0 and basis_matrix(empty, points).shape == (50, 2)


@pytest.mark.parametrize("mesh, message", [
    (SimpleNamespace(n=3, loc=np.zeros((4, 2)), tv=[[0, 1, 2]]), r"mesh.loc must be .*\(3, 2\)"),
    (SimpleNamespace(n=3, loc=np.eye(3), tv=[[0, 1, 3]]), "triangle 0 refers to vertex 3, outside 0..2"),
    (SimpleNamespace(n=3, loc=np.eye(3), tv=[[0.0, 1.0, 2.0]]), "mesh.tv must be an integer array"),
    (SimpleNamespace(n=3, loc=[[0, 0], [1, 0], [np.nan, 1]], tv=[[0, 1, 2]]), "vertex 2 has non-finite"),
])
def test_malformed_meshes_are_refused(mesh, message):
    with pytest.raises(ValueError, match=message):
        basis_matrix(mesh, [0.5, 0.5])


def test_outside_takes_two_words():
    mesh = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (3, 3))
    with pytest.raises(ValueError, match="outside must be 'empty' or 'nearest', got 'clip'"):
        basis_matrix(mesh, [0.5, 0.5], outside="clip")


def test_grid_projector_limits_and_values():
    mesh = MkMesh.regular_grid((0.0, 2.0), (0.0, 1.0), (5, 3))
    projector = MeshGridProjector(mesh, dims=(3, 2), xlim=(-1, 1), ylim=(0, 1))
    assert projector.x.tolist() == [-1.0, 0.0, 1.0] and projector.y.tolist() == [0.0, 1.0]
    assert projector.lattice.tolist() == [[-1, 0], [0, 0], [1, 0], [-1, 1], [0, 1], [1, 1]]
    assert projector.inside_2d.tolist() == [[False, True, True], [False, True, True]]
    image = projector.project(mesh.loc[:, 0] + 10 * mesh.loc[:, 1])
    assert image.compressed().tolist() == [0.0, 1.0, 10.0, 11.0]
    with pytest.raises(ValueError, match=r"values must have shape \(15,\)"):
        projector.project(np.ones(4))
    with pytest.raises(ValueError, match="dims must be two positive integers"):
        MeshGridProjector(mesh, dims=(0, 3))


# ---- the bucket-grid query --------------------------------------------------------------------


@pytest.mark.parametrize("pad", [0.0, 0.05, 0.25, np.nan, -1.0])
@pytest.mark.parametrize("name", ["delaunay", "grid"])
def test_triangles_near_a_point_are_those_whose_grown_box_holds_it(name, pad):
    mesh = MESHES[name]()
    grown = 0.0 if not pad > 0 else pad  # NaN and negative pads grow nothing
    corners = mesh.loc[mesh.tv]
    lo, hi = corners.min(axis=1) - grown, corners.max(axis=1) + grown
    rng = np.random.default_rng(12)
    # Random points, and grid points on the boxes' very edges.
    points = np.vstack([rng.uniform(-0.3, 2.3, (60, 2)), rng.integers(-1, 9, (60, 2)) / 4])
    for point in points:
        expected = np.flatnonzero(np.all((lo <= point) & (point <= hi), axis=1))
        got = _locator._triangles_near(mesh.loc, mesh.tv, tuple(point), pad)
        assert got.tolist() == expected.tolist()

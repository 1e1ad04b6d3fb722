"""The projector matrix from mesh vertices to observation locations."""

import subprocess
import sys
import textwrap
from types import SimpleNamespace

import numpy as np
import pytest
import scipy.spatial
from scipy import sparse
from scipy.interpolate import LinearNDInterpolator

from corvid.meshkin import gfield
from corvid.meshkin.gfield import _compute_barycentric, _find_nearest_vertex, gfield_make_A
from corvid.meshkin.mesh import MkMesh


def duck_mesh(loc):
    loc = np.asarray(loc, dtype=float)
    return SimpleNamespace(n=loc.shape[0], loc=loc)


def plane(xy):
    """A linear field, which barycentric interpolation reproduces exactly."""
    xy = np.atleast_2d(xy)
    return 1.5 + 2.0 * xy[:, 0] - 3.0 * xy[:, 1]


def test_result_is_a_canonical_float_csr_matrix(delaunay_mesh):
    A = gfield_make_A(delaunay_mesh, np.random.default_rng(1).random((50, 2)))
    assert isinstance(A, sparse.csr_matrix)
    assert A.shape == (50, delaunay_mesh.n) and A.dtype == np.float64
    assert A.has_sorted_indices
    assert np.all(np.diff(A.indptr) <= 3)


@pytest.mark.parametrize("loc", [[0.3, 0.4], [0.3, 0.4, 9.0], (0.3, 0.4)])
def test_a_single_location_gives_one_row(grid_mesh, loc):
    A = gfield_make_A(grid_mesh, loc)
    assert A.shape == (1, grid_mesh.n)
    assert (A @ plane(grid_mesh.loc))[0] == pytest.approx(plane([0.3, 0.4])[0])


def test_a_third_column_is_ignored(delaunay_mesh):
    xy = np.random.default_rng(2).random((40, 2))
    with_z = np.column_stack([xy, np.full(40, 1e6)])
    assert (gfield_make_A(delaunay_mesh, with_z) != gfield_make_A(delaunay_mesh, xy)).nnz == 0


def test_every_vertex_maps_to_itself_with_weight_one(delaunay_mesh):
    A = gfield_make_A(delaunay_mesh, delaunay_mesh.loc)
    assert np.array_equal(A.indices, np.arange(delaunay_mesh.n))
    assert np.all(A.data == 1.0)


@pytest.mark.parametrize("point, entries", [
    ((0.1, 0.25), 2),   # on a horizontal grid edge
    ((0.2, 0.375), 2),  # on a vertical grid edge
    ((0.05, 0.3), 3),   # inside a triangle
])
def test_entries_per_row_and_weights_sum_to_one(grid_mesh, point, entries):
    A = gfield_make_A(grid_mesh, [point])
    assert A.nnz == entries
    assert A.sum() == pytest.approx(1.0, abs=1e-14)
    assert (A @ plane(grid_mesh.loc))[0] == pytest.approx(plane(point)[0])


@pytest.mark.parametrize("outside", [(1.5, 0.5), (-0.01, 0.5), (np.nan, 0.5), (np.inf, 0.0)])
def test_locations_outside_the_hull_get_an_empty_row(grid_mesh, outside):
    A = gfield_make_A(grid_mesh, [(0.5, 0.5), outside, (0.2, 0.2)])
    assert A.shape == (3, grid_mesh.n)
    assert np.diff(A.indptr)[1] == 0
    assert A.sum(axis=1).A1 == pytest.approx([1.0, 0.0, 1.0])


def test_zero_observations_give_an_empty_matrix(grid_mesh):
    A = gfield_make_A(grid_mesh, np.empty((0, 2)))
    assert A.shape == (0, grid_mesh.n) and A.nnz == 0


def test_a_hole_inside_the_hull_is_interpolated_from_the_vertex_triangulation():
    # An annulus: its hole holds no triangle of the mesh, but the vertices' triangulation covers it.
    angles = np.linspace(0, 2 * np.pi, 12, endpoint=False)
    ring = np.column_stack([np.cos(angles), np.sin(angles)])
    mesh = duck_mesh(np.vstack([ring, 0.5 * ring]))
    A = gfield_make_A(mesh, [(0.0, 0.0)])
    assert A.sum() == pytest.approx(1.0)


@pytest.mark.parametrize("seed", range(4))
def test_agrees_with_linear_interpolation_inside_the_hull(seed):
    rng = np.random.default_rng(seed)
    mesh = MkMesh.from_points(rng.random((200, 2)) * [3.0, 2.0] - 1.0)
    values = rng.standard_normal(mesh.n)
    points = rng.random((5000, 2)) * [3.0, 2.0] - 1.0
    expected = LinearNDInterpolator(mesh.loc, values)(points)
    got = gfield_make_A(mesh, points) @ values
    inside = ~np.isnan(expected)
    assert np.allclose(got[inside], expected[inside], rtol=0, atol=1e-9)
    assert np.all(got[~inside] == 0.0)


def test_rows_follow_the_callers_order(delaunay_mesh):
    rng = np.random.default_rng(3)
    points = rng.random((3000, 2))
    shuffle = rng.permutation(3000)
    A = gfield_make_A(delaunay_mesh, points)
    assert abs(gfield_make_A(delaunay_mesh, points[shuffle]) - A[shuffle]).max() < 1e-12


def test_stored_weights_are_those_of_compute_barycentric(delaunay_mesh):
    points = np.random.default_rng(4).random((200, 2))
    A = gfield_make_A(delaunay_mesh, points)
    tri = scipy.spatial.Delaunay(delaunay_mesh.loc)
    for k, s in enumerate(tri.find_simplex(points)):
        verts = tri.simplices[s]
        weights = _compute_barycentric(points[k], *delaunay_mesh.loc[verts])
        row = A.getrow(k)
        assert dict(zip(row.indices, row.data)) == dict(zip(verts, weights))


@pytest.mark.parametrize("scale", [1e-6, 1e-3, 1e4])
def test_weights_do_not_depend_on_coordinate_units(delaunay_mesh, scale):
    # A fine mesh in degrees has triangles of area far below 1e-6 square units.
    points = np.random.default_rng(5).random((300, 2))
    scaled_mesh = duck_mesh(delaunay_mesh.loc * scale)
    A = gfield_make_A(delaunay_mesh, points)
    assert abs(gfield_make_A(scaled_mesh, points * scale) - A).max() < 1e-9


def test_tiny_triangle_gets_its_true_weights_and_a_flat_one_thirds():
    corner = np.array([0.0, 0.0])
    assert _compute_barycentric(np.array([2e-7, 5e-7]), corner, np.array([1e-6, 0.0]),
                                np.array([0.0, 1e-6])) == pytest.approx([0.3, 0.2, 0.5])
    flat = _compute_barycentric(np.array([0.5, 0.0]), corner, np.array([1.0, 0.0]),
                                np.array([2.0, 0.0]))
    assert flat.tolist() == [1 / 3, 1 / 3, 1 / 3]
    point = _compute_barycentric([0.0, 0.0], [0.0, 0.0], [0.0, 0.0], [1.0, 1.0])
    assert point.tolist() == [1 / 3, 1 / 3, 1 / 3]


@pytest.mark.parametrize("loc, nearest", [
    ([(0.4, 0.0), (1.6, 0.0), (50.0, -80.0), (-9.0, 3.0)], [0, 1, 1, 0]),
    ([(1.0, 5.0)], [0]),  # equally far from both: the lower index
])
def test_without_a_triangulation_each_row_is_its_nearest_vertex(loc, nearest):
    mesh = duck_mesh([(0.0, 0.0), (2.0, 0.0)])
    A = gfield_make_A(mesh, loc)
    assert A.toarray().tolist() == np.eye(2)[nearest].tolist()
    assert [_find_nearest_vertex(mesh, np.array(p)) for p in loc] == nearest


def test_find_nearest_vertex_returns_an_int_and_uses_only_x_and_y(delaunay_mesh):
    index = _find_nearest_vertex(delaunay_mesh, np.array([0.0, 1.0, -30.0]))
    assert type(index) is int and index == 3


def test_memory_error_while_triangulating_propagates(grid_mesh, monkeypatch):
    def out_of_memory(points):
        raise MemoryError
    monkeypatch.setattr(scipy.spatial, "Delaunay", out_of_memory)
    with pytest.raises(MemoryError):
        gfield_make_A(grid_mesh, [(0.5, 0.5)])


def test_any_other_triangulation_failure_selects_the_nearest_vertex(grid_mesh, monkeypatch):
    def broken(points):
        raise RuntimeError("qhull says no")
    monkeypatch.setattr(scipy.spatial, "Delaunay", broken)
    A = gfield_make_A(grid_mesh, [(0.21, 0.49), (7.0, 7.0)])
    assert A.toarray()[[0, 1], [13, 29]].tolist() == [1.0, 1.0] and A.nnz == 2


@pytest.mark.parametrize("mesh, loc, error, message", [
    (duck_mesh([(0, 0), (1, 0), (0, 1)]), 3.0, IndexError, "tuple index out of range"),
    (duck_mesh([(0, 0), (1, 0), (0, 1)]), [[0.5], [0.2]], ValueError, None),
    (SimpleNamespace(loc=np.eye(3)[:, :2]), [0.2, 0.2], AttributeError, "n"),
    (SimpleNamespace(n=2, loc=np.eye(3)[:, :2]), [0.2, 0.2], ValueError, "column index exceeds"),
    (duck_mesh([(0, 0), (1, 0), (0, 1)]), [["a", "b"]], ValueError, "could not convert"),
])
def test_bad_input_raises(mesh, loc, error, message):
    with pytest.raises(error, match=message):
        gfield_make_A(mesh, loc)


@pytest.mark.parametrize("mesh", [duck_mesh([(0, 0), (1, 0), (0, 1)]), duck_mesh([(0, 0), (1, 0)])],
                         ids=["triangulated", "nearest vertex"])
def test_many_locations_without_coordinates_are_refused_before_any_allocation(mesh):
    # 10**8 rows of nothing take no memory; refusing them must not take 800 MB either.
    code = textwrap.dedent(f"""
        import resource, numpy as np
        from types import SimpleNamespace
        from corvid.meshkin.gfield import gfield_make_A
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            gfield_make_A(SimpleNamespace(n={mesh.n}, loc=np.array({mesh.loc.tolist()})),
                          np.empty((10**8, 0)))
        except ValueError:
            pass
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    grown_kib = int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                   check=True).stdout)
    assert grown_kib < 100_000


def test_wrong_argument_count_uses_the_interpreters_wording(grid_mesh):
    with pytest.raises(TypeError, match=r"takes 2 positional arguments but 3 were given"):
        gfield_make_A(grid_mesh, [0, 0], None)
    with pytest.raises(TypeError, match=r"_compute_barycentric\(\) missing 1 required"):
        gfield._compute_barycentric([0, 0], [0, 0], [1, 0])


def documented_barycentric(point, v0, v1, v2):
    """The weight formula step by step, as a rebound replacement would write it."""
    v0v1, v0v2, v0p = v1 - v0, v2 - v0, point - v0
    d00, d01, d11 = np.dot(v0v1, v0v1), np.dot(v0v1, v0v2), np.dot(v0v2, v0v2)
    d20, d21 = np.dot(v0p, v0v1), np.dot(v0p, v0v2)
    denom = d00 * d11 - d01 * d01
    if abs(denom) < 1e-12:
        return np.array([1 / 3, 1 / 3, 1 / 3])
    w1 = (d11 * d20 - d01 * d21) / denom
    w2 = (d00 * d21 - d01 * d20) / denom
    return np.array([1.0 - w1 - w2, w1, w2])


def test_a_rebound_compute_barycentric_is_called_for_every_located_point(monkeypatch, delaunay_mesh):
    points = np.random.default_rng(5).uniform(-0.2, 1.2, (200, 2))
    own = gfield_make_A(delaunay_mesh, points)
    calls = []

    def counted(point, v0, v1, v2):
        calls.append(point)
        return documented_barycentric(point, v0, v1, v2)

    monkeypatch.setattr(gfield, "_compute_barycentric", counted)
    replaced = gfield_make_A(delaunay_mesh, points)
    assert len(calls) == own.getnnz(axis=1).astype(bool).sum()
    assert np.array_equal(replaced.indptr, own.indptr) and np.array_equal(replaced.indices, own.indices)
    assert np.allclose(replaced.data, own.data, rtol=0, atol=1e-12)

    monkeypatch.setattr(gfield, "_compute_barycentric", lambda p, a, b, c: [0.25, 0.0, 0.75, 9.0])
    shifted = gfield_make_A(delaunay_mesh, points)
    assert set(np.round(shifted.data, 12)) == {0.25, 0.75}


@pytest.mark.parametrize("where", ["_compute_barycentric", "_find_nearest_vertex"])
def test_a_deleted_point_function_is_a_name_error_when_needed(monkeypatch, where):
    mesh = duck_mesh([[0, 0], [1, 0], [0, 1]] if where == "_compute_barycentric" else [[0, 0], [1, 0]])
    monkeypatch.delattr(gfield, where)
    assert gfield_make_A(mesh, np.empty((0, 2))).shape == (0, mesh.n)
    with pytest.raises(NameError, match=f"name '{where}' is not defined"):
        gfield_make_A(mesh, [[0.2, 0.2]])


def test_a_rebound_find_nearest_vertex_serves_the_fallback(monkeypatch):
    mesh = duck_mesh([[0.0, 0.0], [1.0, 1.0]])  # no triangulation: the nearest-vertex fallback
    monkeypatch.setattr(gfield, "_find_nearest_vertex", lambda m, p: 1)
    A = gfield_make_A(mesh, [[0.0, 0.0], [0.1, 0.0]])
    assert A.toarray().tolist() == [[0.0, 1.0], [0.0, 1.0]]


def reference_make_A(mesh, loc):
    """The projector by its documented steps: scipy's find_simplex, then the module's weights."""
    loc = np.asarray(loc, dtype=float)
    tri = scipy.spatial.Delaunay(mesh.loc[:, :2])
    found = tri.find_simplex(loc[:, :2])
    rows, cols, data = [], [], []
    for i, s in enumerate(found):
        if s < 0:
            continue
        verts = tri.simplices[s]
        for v, w in zip(verts, _compute_barycentric(loc[i, :2], *mesh.loc[verts, :2])):
            if abs(w) > 1e-12:
                rows.append(i), cols.append(v), data.append(w)
    return sparse.csr_matrix((data, (rows, cols)), shape=(loc.shape[0], mesh.n))


def _hull_hairs(rng):
    """Points on the unit square's boundary and a hair outside it, within and beyond
    find_simplex's tolerance."""
    t = rng.uniform(0, 1, 300)
    sides = []
    for d in [0.0, 1e-17, 1e-16, 1e-15, 1e-14, 3e-14, 1e-13, 1e-12]:
        sides += [np.column_stack([t, np.full_like(t, -d)]), np.column_stack([np.full_like(t, 1 + d), t])]
    return np.vstack(sides)


@pytest.mark.parametrize("mesh, points", [
    (MkMesh.from_points(np.random.default_rng(7).random((2000, 2))),
     np.random.default_rng(8).uniform(-0.1, 1.1, (20000, 2))),
    (MkMesh.regular_grid((0, 2), (0, 1), (21, 11)),  # lattice points on edges and vertices
     np.stack(np.meshgrid(np.linspace(0, 2, 81), np.linspace(0, 1, 41)), -1).reshape(-1, 2)),
    (MkMesh.regular_grid((0, 1), (0, 1), (11, 11)), _hull_hairs(np.random.default_rng(9))),
    (MkMesh.disk(radius=3.0, rings=8), np.random.default_rng(10).normal(0.0, 2.0, (5000, 2))),
], ids=["random", "lattice on edges", "a hair outside the hull", "disk"])
def test_same_rows_as_the_documented_steps(mesh, points):
    ours, steps = gfield_make_A(mesh, points), reference_make_A(mesh, points)
    assert np.array_equal(np.diff(ours.indptr) == 0, np.diff(steps.indptr) == 0)
    # On an edge or a vertex either triangle may serve: the rows agree as interpolants.
    fields = np.random.default_rng(11).random((mesh.n, 3))
    assert np.allclose(ours @ fields, steps @ fields, rtol=0, atol=1e-12)
    assert np.allclose(ours @ plane(mesh.loc), plane(points) * (np.diff(ours.indptr) > 0), atol=1e-11)


def test_half_a_million_points_on_a_fine_mesh_are_all_placed():
    # So many points on a mesh this fine are put in walking order in two sorting passes.
    rng = np.random.default_rng(12)
    mesh = MkMesh.from_points(rng.random((40_000, 2)))
    points = rng.uniform(-0.01, 1.01, (600_000, 2))
    A = gfield_make_A(mesh, points)
    inside = scipy.spatial.Delaunay(mesh.loc[:, :2]).find_simplex(points) >= 0
    assert np.array_equal(np.diff(A.indptr) > 0, inside)
    # The documented weights lose accuracy on the thinnest of 80,000 random triangles.
    assert np.allclose(A @ plane(mesh.loc), plane(points) * inside, rtol=0, atol=1e-6)

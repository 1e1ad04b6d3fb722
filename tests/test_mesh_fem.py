"""Building meshes and their finite-element matrices, checked against exact integrals."""

import pickle

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy import sparse
from scipy.spatial import ConvexHull

from corvid.meshkin.core import mk_fem
from corvid.meshkin.mesh import MkFEM, MkMesh

SQUARE = [[0, 0], [1, 0], [1, 1], [0, 1]]
TWO_TRIANGLES = [[0, 1, 2], [0, 2, 3]]


@pytest.mark.parametrize("loc, tv, message", [
    ([0, 1, 2], TWO_TRIANGLES, r"loc must have shape \(n, 2\) or \(n, 3\)"),
    (np.zeros((4, 4)), TWO_TRIANGLES, "loc must have shape"),
    (np.array(SQUARE) + 0j, TWO_TRIANGLES, "real coordinates"),
    ([[0, 0], [1, 0], [1, np.nan], [0, 1]], TWO_TRIANGLES, "non-finite coordinates at vertex 2"),
    ([[0, 0], [1, 0], [1, 1], [-np.inf, 1]], TWO_TRIANGLES, "non-finite coordinates at vertex 3"),
    (SQUARE, [0, 1, 2], r"tv must have shape \(m, 3\)"),
    (SQUARE, [[0, 1, 2, 3]], "tv must have shape"),
    (SQUARE, [[0.0, 1.0, 2.0]], "integer vertex indices"),
    (SQUARE, [[0, 1, 2], [0, 2, 4]], r"triangle 1 refers to vertex \[0, 2, 4\] outside 0..3"),
    (SQUARE, [[-1, 1, 2]], "triangle 0 refers to vertex"),
    (SQUARE, [[0, 1, 2], [3, 0, 3]], r"triangle 1 repeats a vertex: \[3, 0, 3\]"),
])
def test_mesh_refuses_malformed_arrays(loc, tv, message):
    with pytest.raises(ValueError, match=message):
        MkMesh(loc, tv)


def test_mesh_owns_read_only_copies():
    loc, tv = np.array(SQUARE, dtype=float), np.array(TWO_TRIANGLES)
    mesh = MkMesh(loc, tv)
    loc[0, 0] = 99.0
    assert mesh.n == 4 and type(mesh.n) is int
    assert mesh.loc[0, 0] == 0.0 and mesh.loc.dtype == np.float64 and mesh.tv.dtype == np.int64
    with pytest.raises(ValueError):
        mesh.loc[0, 0] = 1.0
    assert repr(mesh) == "MkMesh(n=4, triangles=2, dim=2)"
    assert MkMesh(SQUARE, []).tv.shape == (0, 3)
    copied = pickle.loads(pickle.dumps(mesh))
    assert not copied.loc.flags.writeable and np.array_equal(copied.tv, mesh.tv)


def test_regular_grid_numbers_vertices_x_fastest(make_grid_mesh):
    mesh = make_grid_mesh((1.0, 3.0), (-1.0, 0.0), (3, 2))
    assert mesh.n == 6 and mesh.tv.shape == (4, 3)
    np.testing.assert_array_equal(mesh.loc, [[1, -1], [2, -1], [3, -1], [1, 0], [2, 0], [3, 0]])


@pytest.mark.parametrize("xlim, ylim, dims", [
    ((0, 1), (0, 1), (1, 5)), ((1, 0), (0, 1), (3, 3)), ((0, np.inf), (0, 1), (3, 3))])
def test_regular_grid_refuses_bad_layout(xlim, ylim, dims):
    with pytest.raises(ValueError):
        MkMesh.regular_grid(xlim, ylim, dims)


@pytest.mark.parametrize("points, message", [
    ([[0, 0], [1, 1], [2, 2], [3, 3]], "cannot triangulate"),
    ([[0, 0], [1, 0]], "cannot triangulate"),
    (SQUARE + [[1, 0]], "point 4 is not a vertex"),
])
def test_from_points_refuses_points_it_cannot_mesh(points, message):
    with pytest.raises(ValueError, match=message):
        MkMesh.from_points(points)


def test_disk_rings():
    mesh = MkMesh.disk(radius=2.0, rings=4, center=(1.0, -1.0))
    assert mesh.n == 1 + 3 * 4 * 5
    distance = np.hypot(mesh.loc[:, 0] - 1.0, mesh.loc[:, 1] + 1.0)
    assert distance.max() == pytest.approx(2.0)
    assert 0.95 * np.pi * 4 < mk_fem(mesh).c0.sum() < np.pi * 4


def _area(mesh):
    return ConvexHull(mesh.loc[:, :2]).volume


@pytest.mark.parametrize("which", ["grid_mesh", "delaunay_mesh"])
def test_fem_integrates_linear_functions_exactly(which, request):
    mesh = request.getfixturevalue(which)
    fem = mk_fem(mesh)
    area = _area(mesh)
    x, y = mesh.loc[:, 0], mesh.loc[:, 1]
    f = 3.0 * x - 2.0 * y + 1.0
    assert fem.c0.sum() == pytest.approx(area, rel=1e-13)
    np.testing.assert_allclose(np.asarray(fem.c1.sum(axis=1)).ravel(), fem.c0, rtol=1e-13)
    assert x @ fem.c1 @ x == pytest.approx(1.0 / 3.0, rel=1e-12)    # the integral of x^2
    assert f @ fem.g1 @ f == pytest.approx(13.0 * area, rel=1e-12)  # of |grad f|^2
    np.testing.assert_allclose(fem.g1 @ np.ones(mesh.n), 0.0, atol=1e-12)


@pytest.mark.parametrize("which", ["grid_mesh", "delaunay_mesh"])
def test_matrices_are_symmetric_csr_and_g1_semidefinite(which, request):
    fem = mk_fem(request.getfixturevalue(which))
    for m in (fem.c1, fem.g1, fem.g2):
        assert isinstance(m, sparse.csr_matrix) and m.has_sorted_indices
        assert (m != m.T).nnz == 0
    assert np.linalg.eigvalsh(fem.g1.toarray()).min() > -1e-12
    g = fem.g1.toarray()
    np.testing.assert_allclose(fem.g2.toarray(), g @ np.diag(1.0 / fem.c0) @ g, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("hx, hy", [(0.5, 0.5), (0.5, 0.25)])
def test_interior_stiffness_rows_are_the_five_point_stencil(hx, hy):
    mesh = MkMesh.regular_grid((0, 4 * hx), (0, 4 * hy), (5, 5))
    g1 = mk_fem(mesh, order=1).g1.toarray()
    centre = 2 * 5 + 2
    expected = np.zeros(25)
    expected[centre] = 2 * (hy / hx + hx / hy)
    expected[[centre - 1, centre + 1]] = -hy / hx
    expected[[centre - 5, centre + 5]] = -hx / hy
    np.testing.assert_allclose(g1[centre], expected, atol=1e-14)


def test_surface_mesh_uses_areas_in_space(grid_mesh):
    tilted = MkMesh(np.column_stack([grid_mesh.loc, 2.0 * grid_mesh.loc[:, 0]]), grid_mesh.tv)
    assert mk_fem(tilted).c0.sum() == pytest.approx(np.sqrt(5.0))


def test_order_one_has_no_g2(grid_mesh):
    fem = mk_fem(grid_mesh, order=1)
    assert isinstance(fem, MkFEM) and fem.g2 is None and (fem.n, fem.order) == (30, 1)
    assert mk_fem(grid_mesh).order == 2


@pytest.mark.parametrize("loc, tv, order, message", [
    (SQUARE, TWO_TRIANGLES, 3, "order must be 1 or 2, got 3"),
    (SQUARE, TWO_TRIANGLES, 0, "order must be 1 or 2"),
    ([[0, 0], [1, 0], [2, 0], [0, 1]], [[0, 1, 2], [0, 1, 3]], 2, r"triangle 0 \[0, 1, 2\] has zero area"),
    (SQUARE + [[5, 5]], TWO_TRIANGLES, 2, "vertex 4 belongs to no triangle"),
])
def test_mk_fem_refuses(loc, tv, order, message):
    with pytest.raises(ValueError, match=message):
        mk_fem(MkMesh(loc, tv), order=order)


@given(seed=st.integers(0, 2**32 - 1), count=st.integers(3, 40))
def test_random_delaunay_meshes_have_exact_area_and_null_space(seed, count):
    points = np.random.default_rng(seed).uniform(-5.0, 5.0, (count, 2))
    mesh = MkMesh.from_points(points)
    fem = mk_fem(mesh)
    np.testing.assert_array_equal(mesh.loc, points)
    assert fem.c0.sum() == pytest.approx(_area(mesh), rel=1e-11)
    np.testing.assert_allclose(fem.g1 @ np.ones(mesh.n), 0.0, atol=1e-9)

"""Drawing a field given at the mesh vertices on a regular grid."""

import dataclasses
from types import SimpleNamespace

import numpy as np
import pytest

from corvid.meshkin import gfield
from corvid.meshkin.gfield import GfieldGridProjector, gfield_grid_projector
from corvid.meshkin.mesh import MkMesh


@pytest.fixture
def triangle_mesh():
    """A right triangle: only the grid points below the diagonal x + y = 2 lie inside."""
    return MkMesh([(0.0, 0.0), (2.0, 0.0), (0.0, 2.0)], [(0, 1, 2)])


def test_default_grid_spans_the_vertices(delaunay_mesh):
    projector = gfield_grid_projector(delaunay_mesh)
    assert projector.dims == (100, 100) and projector.n_grid == 10000
    assert projector.xlim == (0.0, 1.0) and projector.ylim == (0.0, 1.0)
    assert projector.lattice[0].tolist() == [0.0, 0.0]
    assert projector.lattice[1].tolist() == [projector.x[1], 0.0]
    assert projector.lattice[100].tolist() == [0.0, projector.y[1]]
    assert projector.n_inside == 10000 and projector.proj.shape == (10000, delaunay_mesh.n)


def test_shapes_for_a_three_by_two_grid(grid_mesh):
    projector = gfield_grid_projector(grid_mesh, dims=(3, 2))
    assert projector.x.tolist() == [0.0, 0.5, 1.0] and projector.y.tolist() == [0.0, 1.0]
    assert projector.lattice.tolist() == [[0, 0], [0.5, 0], [1, 0], [0, 1], [0.5, 1], [1, 1]]
    assert projector.inside_2d.shape == (2, 3)
    image = projector.project(grid_mesh.loc[:, 0] + 10 * grid_mesh.loc[:, 1])
    assert image.shape == (2, 3)
    assert np.allclose(image, [[0.0, 0.5, 1.0], [10.0, 10.5, 11.0]], rtol=0, atol=1e-12)


@pytest.mark.parametrize("padding, xlim", [(0.1, (-0.1, 1.1)), (-0.1, (0.1, 0.9))])
def test_padding_widens_or_narrows_bounds_from_the_mesh(grid_mesh, padding, xlim):
    projector = gfield_grid_projector(grid_mesh, padding=padding)
    assert projector.xlim == pytest.approx(xlim) and projector.ylim == pytest.approx(xlim)


def test_given_limits_are_used_as_passed(grid_mesh):
    projector = gfield_grid_projector(grid_mesh, xlim=(-2, 3), padding=0.5, dims=(6, 4))
    assert projector.xlim == (-2, 3) and projector.ylim == (-0.5, 1.5)
    assert projector.x.tolist() == [-2, -1, 0, 1, 2, 3]


def test_points_outside_are_masked_or_zero(triangle_mesh):
    projector = gfield_grid_projector(triangle_mesh, dims=(3, 3))
    field = np.array([1.0, 2.0, 3.0])
    masked = projector.project(field)
    assert isinstance(masked, np.ma.MaskedArray)
    assert masked.mask.tolist() == [[False, False, False], [False, False, True],
                                    [False, True, True]]
    assert masked.compressed().tolist() == pytest.approx([1.0, 1.5, 2.0, 2.0, 2.5, 3.0])
    plain = projector.project(field, mask_outside=False)
    assert type(plain) is np.ndarray
    assert plain[~projector.inside_2d].tolist() == [0.0, 0.0, 0.0]
    assert projector.n_inside == 6


def test_summary(triangle_mesh):
    projector = gfield_grid_projector(triangle_mesh, dims=(3, 3))
    assert projector.summary() == "\n".join([
        "GfieldGridProjector:",
        "  Grid dimensions: 3 x 3 = 9 points",
        "  X range: [0.00, 2.00]",
        "  Y range: [0.00, 2.00]",
        "  Points inside mesh: 6 (66.7%)",
        "  Projection matrix: (9, 3), nnz=9",
    ])


@pytest.mark.parametrize("kwargs, message", [
    ({"xlim": [0, 1]}, "Argument 'xlim' has incorrect type (expected tuple, got list)"),
    ({"ylim": np.array([0, 1])},
     "Argument 'ylim' has incorrect type (expected tuple, got ndarray)"),
    ({"dims": None}, "Argument 'dims' has incorrect type (expected tuple, got NoneType)"),
    ({"padding": "wide"}, "must be real number, not str"),
])
def test_argument_types_are_checked_before_the_mesh_is_read(kwargs, message):
    with pytest.raises(TypeError) as error:
        gfield_grid_projector(object(), **kwargs)
    assert str(error.value) == message


def test_without_a_triangulation_every_point_is_inside():
    mesh = SimpleNamespace(n=2, loc=np.array([[0.0, 0.0], [1.0, 1.0]]))
    projector = gfield_grid_projector(mesh, dims=(4, 4))
    assert projector.inside.all()
    assert set(projector.project(np.array([5.0, 7.0])).ravel().tolist()) == {5.0, 7.0}


def test_projector_is_a_dataclass_built_once(grid_mesh, monkeypatch):
    calls = []
    make_A = gfield.gfield_make_A

    def counting_make_A(mesh, loc):
        calls.append(loc)
        return make_A(mesh, loc)

    monkeypatch.setattr(gfield, "gfield_make_A", counting_make_A)
    projector = GfieldGridProjector(grid_mesh, (0.0, 1.0), (0.0, 1.0), (5, 5))
    assert len(calls) == 1 and calls[0] is projector.lattice
    names = [f.name for f in dataclasses.fields(projector)]
    assert names == ["mesh", "xlim", "ylim", "dims", "x", "y", "lattice", "proj", "inside"]
    projector.dims = (2, 2)  # fields are not rebuilt
    assert projector.n_grid == 25 and len(calls) == 1

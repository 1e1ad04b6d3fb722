"""MkMesh.read and MkMesh.write: meshes in and out of other tools' files through meshio."""

import numpy as np
import pytest

meshio = pytest.importorskip("meshio")

from corvid.meshkin.core import mk_fem  # noqa: E402
from corvid.meshkin.mesh import MkMesh  # noqa: E402


@pytest.mark.parametrize("name", ["mesh.vtu", "mesh.vtk", "mesh.msh", "mesh.obj"])
@pytest.mark.parametrize("dim", [2, 3])
def test_round_trip_keeps_vertices_and_triangles(tmp_path, name, dim):
    mesh = MkMesh.disk(radius=2.0, rings=4)
    if dim == 3:  # a surface in space: the z column must survive
        mesh = MkMesh(np.column_stack([mesh.loc, mesh.loc[:, 0] ** 2]), mesh.tv)
    mesh.write(tmp_path / name)
    back = MkMesh.read(tmp_path / name)
    np.testing.assert_allclose(back.loc, mesh.loc, rtol=1e-15, atol=0)
    np.testing.assert_array_equal(back.tv, mesh.tv)


def test_reading_keeps_the_triangles_of_a_mixed_file(tmp_path):
    # As Gmsh writes them: corner points and boundary lines besides the triangles, and an
    # arc centre (vertex 5) that no triangle uses.
    points = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0.5, 0.5, 0], [9, 9, 0]], float)
    cells = [("vertex", np.array([[0], [1]])), ("line", np.array([[0, 1], [1, 2]])),
             ("triangle", np.array([[0, 1, 4], [1, 2, 4]])), ("triangle", np.array([[2, 3, 4], [3, 0, 4]]))]
    meshio.write_points_cells(tmp_path / "square.msh", points, cells, file_format="gmsh22", binary=False)
    mesh = MkMesh.read(tmp_path / "square.msh")
    np.testing.assert_array_equal(mesh.loc, points[:5, :2])
    np.testing.assert_array_equal(mesh.tv, [[0, 1, 4], [1, 2, 4], [2, 3, 4], [3, 0, 4]])
    assert mk_fem(mesh).c0.sum() == pytest.approx(1.0)


def test_a_file_without_triangles_is_refused(tmp_path):
    meshio.write_points_cells(tmp_path / "lines.vtu", np.eye(3), [("line", np.array([[0, 1], [1, 2]]))])
    with pytest.raises(ValueError, match=r"lines.vtu holds no triangles \(its cells: line\)"):
        MkMesh.read(tmp_path / "lines.vtu")


@pytest.mark.parametrize("content, error, message", [
    (None, FileNotFoundError, "no such mesh file"),
    ("not a mesh", ValueError, r"cannot read .*bad.vtk as a mesh file"),
    (b"\x00\xff" * 40, ValueError, r"cannot read .*bad.vtk as a mesh file"),
])
def test_unreadable_files_raise_one_clear_error(tmp_path, content, error, message):
    path = tmp_path / "bad.vtk"
    if isinstance(content, str):
        path.write_text(content)
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(error, match=message):
        MkMesh.read(path)


def test_an_unknown_extension_is_a_value_error(tmp_path):
    with pytest.raises(ValueError, match=r"cannot write .*mesh.unknown"):
        MkMesh.disk(rings=2).write(tmp_path / "mesh.unknown")

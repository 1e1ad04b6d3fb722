"""Meshes that cannot be made, refused in the user's terms: locations on a line are called
collinear (not a region crossing itself), and a buffer too thin to mesh asks for a wider
--offset (not a narrower one)."""

import numpy as np
import pytest

pytest.importorskip("triangle")
pytest.importorskip("shapely")

from corvid.__main__ import main  # noqa: E402
from corvid.meshkin.regions import region_mesh  # noqa: E402
from user_files import write_table  # noqa: E402

T = np.linspace(0.0, 1.0, 60)
LINES = {  # exactly on a line, and off it by rounding or by far less than the line's length
    "exact": np.c_[3.0 + T, 1.0 + 2.0 * T],
    "rounding": np.c_[0.1 + 0.3 * T, 0.7 + 0.9 * T + 1e-14 * np.cos(40.0 * T)],
    "1e-11 of its length": np.c_[3.0 + 0.1 * T, 0.2 + 1e-12 * np.sin(50.0 * T)],
    "far from the origin": np.c_[4e5 + 1e3 * T, 6.5e6 + 2e3 * T + 1e-9 * np.sin(9.0 * T)],
}


@pytest.mark.parametrize("name", list(LINES))
def test_points_on_a_line_are_called_collinear(name):
    xy = LINES[name]
    with pytest.raises(ValueError, match="points are collinear") as caught:
        region_mesh(points=xy, max_edge=0.05 * np.ptp(xy))
    assert "crosses itself" not in str(caught.value)
    assert "give the region, a polygon around them" in str(caught.value)


def test_points_spanning_an_area_however_thin_are_not_refused_as_collinear():
    xy = np.c_[3.0 + T, 0.2 + 1e-4 * np.sin(50.0 * T)]
    mesh = region_mesh(points=xy, max_edge=0.05, max_vertices=100_000)
    assert mesh.in_region.all()


def fit(tmp_path, xy, *options):
    data = write_table(tmp_path / "data.csv", {"x": xy[:, 0], "y": xy[:, 1], "v": np.sin(xy[:, 0])})
    return main(["fit", data, "--x", "x", "--y", "y", "--value", "v", "--out", str(tmp_path / "out"),
                 "--quiet", *options])


@pytest.mark.parametrize("name", list(LINES))
def test_the_fit_command_says_the_locations_are_collinear(tmp_path, capsys, name):
    assert fit(tmp_path, LINES[name]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "the locations are collinear" in err[0] and "give --region" in err[0]
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("options, advice", [
    (["--offset", "0.0001"], "use a wider --offset (0.0005"),
    (["--offset", "0.0001", "--max-edge", "0.05"], "use a wider --offset (28.2"),
])
def test_a_buffer_too_thin_to_mesh_asks_for_a_wider_offset(tmp_path, capsys, options, advice):
    xy = np.random.default_rng(4).uniform(0.0, 100.0, (50, 2))
    xy[:4] = [[0, 0], [100, 0], [100, 100], [0, 100]]
    assert fit(tmp_path, xy, *options) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and advice in err[0] and "narrower" not in err[0]
    assert "needs triangles no wider than 0.00015 across it" in err[0]

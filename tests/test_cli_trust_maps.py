"""What the fit command reports and maps means what it says: intervals integrated over the
hyperparameters, maps with the covariates at their means and one naming of layers in every
file, one unit for the range and the picture, colour bars no taller than their maps, a grid
fine enough for the sd's shape, and areal data fitted at points inside their polygons."""

import contextlib
import io
import re

import numpy as np
import pytest

from corvid.__main__ import main
from user_files import write_table

pytest.importorskip("triangle")
rasterio = pytest.importorskip("rasterio")
xr = pytest.importorskip("xarray")
gpd = pytest.importorskip("geopandas")
shapely = pytest.importorskip("shapely")
matplotlib = pytest.importorskip("matplotlib")


@pytest.fixture(scope="module")
def counts(tmp_path_factory):
    """Counts over a 40 x 20 km area in UTM metres (eastings of six digits), with a
    covariate far from zero (mean 5) and a strong effect."""
    root = tmp_path_factory.mktemp("counts")
    rng = np.random.default_rng(11)
    n = 250
    x, y = rng.uniform(500e3, 540e3, n), rng.uniform(6.9e6, 6.92e6, n)
    z = rng.normal(5.0, 1.0, n)
    count = rng.poisson(np.exp(0.4 * (z - 5.0) + 0.5 + np.sin(x / 8e3)))
    return write_table(root / "counts.csv", {"x": x, "y": y, "z": z, "n": count})


def fit_counts(counts, out, *more):
    return main(["fit", counts, "--x", "x", "--y", "y", "--value", "n", "--covariates", "z",
                 "--family", "poisson", "--crs", "EPSG:32633", "--out", str(out), "--quiet",
                 "--max-edge", "2000", *more])


@pytest.fixture(scope="module")
def counts_fit(counts, tmp_path_factory):
    """One run with the defaults: its output directory, what it printed, the figure it saved."""
    from matplotlib.figure import Figure

    out = tmp_path_factory.mktemp("counts_fit") / "out"
    saved, real = [], Figure.savefig
    printed = io.StringIO()
    with pytest.MonkeyPatch.context() as patch, contextlib.redirect_stdout(printed):
        patch.setattr(Figure, "savefig", lambda self, *a, **k: (saved.append(self), real(self, *a, **k))[1])
        assert fit_counts(counts, out) == 0
    return out, printed.getvalue(), saved[0]


def test_the_command_integrates_over_the_hyperparameters_by_default(counts, counts_fit, tmp_path, capsys):
    _, printed, _ = counts_fit
    assert re.search(r"field and fixed effects integrated over \d+ design points", printed)
    assert fit_counts(counts, tmp_path / "o", "--no-integrate", "--grid", "10", "10") == 0
    assert "field and fixed effects at the mode" in capsys.readouterr().out


def test_every_file_holds_the_same_layers_under_the_same_names(counts_fit):
    out, _, _ = counts_fit
    npz = np.load(out / "posterior_grid.npz")
    nc = xr.open_dataset(out / "posterior.nc")
    with rasterio.open(out / "posterior.tif") as tif:
        bands = {name: tif.read(k + 1) for k, name in enumerate(tif.descriptions)}
    layers = ["mean", "sd", "response_mean", "response_sd"]
    assert sorted(bands) == sorted(nc.data_vars) == sorted(set(npz.files) - {"x", "y"}) == sorted(layers)
    for name in layers:  # north-up in the GIS files, south first in the npz
        np.testing.assert_array_equal(bands[name], nc[name].values)
        np.testing.assert_array_equal(npz[name][::-1], nc[name].values)
    inside = np.isfinite(npz["mean"])
    assert np.all(npz["response_mean"][inside] > np.exp(npz["mean"][inside]))  # the lognormal's mean


def test_the_maps_hold_covariates_without_a_raster_at_their_means(counts, counts_fit):
    out, printed, figure = counts_fit
    z = np.loadtxt(counts, delimiter=",", skiprows=1)[:, 2]
    assert f"the maps show the linear predictor with z at its mean {z.mean():.4g} in the data" in printed
    assert f"z at its mean {z.mean():.4g}" in figure.axes[0].get_title()
    nc = xr.open_dataset(out / "posterior.nc")
    assert nc.attrs["corvid_covariates_held"] == f"z={z.mean():.6g}"
    # At its mean the covariate's effect (0.4 z, about 2 on the log scale) is in the map:
    # the map's typical count is the data's, not exp(-2) of it.
    counts_seen = np.loadtxt(counts, delimiter=",", skiprows=1)[:, 3]
    ratio = np.nanmedian(nc["response_mean"].values) / np.median(counts_seen)
    assert 0.5 < ratio < 2.0


def test_the_picture_speaks_the_summary_s_unit(counts_fit):
    _, printed, figure = counts_fit
    assert "distances (the range) in m" in printed
    maps = [ax for ax in figure.axes if ax.get_images()]
    assert [ax.get_xlabel() for ax in maps] == ["x (m)", "x (m)"]
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    FigureCanvasAgg(figure).draw()
    ticks = [t.get_text() for t in maps[0].get_xticklabels() if t.get_text()]
    assert all(float(t.replace(",", "")) > 4e5 for t in ticks)  # metres, not km


def test_colour_bars_are_no_taller_than_their_maps(counts_fit):
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    _, _, figure = counts_fit
    canvas = FigureCanvasAgg(figure)  # the command closed its own
    canvas.draw()
    maps = [ax for ax in figure.axes if ax.get_images()]
    assert len(maps) == 2
    for image in maps:
        bar, = [ax for ax in image.child_axes]
        drawn = image.get_window_extent(canvas.get_renderer())
        assert bar.get_window_extent(canvas.get_renderer()).height <= drawn.height + 1.0


def test_the_default_grid_has_square_cells_fine_for_the_mesh(counts_fit):
    out, printed, _ = counts_fit
    npz = np.load(out / "posterior_grid.npz")
    dx, dy = np.diff(npz["x"][:2])[0], np.diff(npz["y"][:2])[0]
    assert dx == pytest.approx(dy, rel=0.02)
    edge = float(re.search(r"max edge ([0-9.]+) m in the data's region", printed).group(1))
    assert edge / dx >= 8  # the sd's shape within each triangle is drawn, not sampled as grain


def test_polygons_are_fitted_at_points_inside_them_with_centroids(tmp_path, capsys):
    rng = np.random.default_rng(2)
    km = 1000.0  # districts of 10 km in a 100 x 60 km region
    districts = [shapely.box(4e6 + 10 * km * i, 3e6 + 10 * km * j, 4e6 + 10 * km * (i + 1),
                             3e6 + 10 * km * (j + 1)) for i in range(10) for j in range(6)]
    centre = np.array([[d.centroid.x, d.centroid.y] for d in districts])
    births = rng.integers(200, 2000, len(districts))
    cases = rng.poisson(births * 1e-3 * np.exp(np.sin(centre[:, 0] / 30 / km)))
    path = tmp_path / "districts.gpkg"
    gpd.GeoDataFrame({"cases": cases, "births": births}, geometry=districts,
                     crs="EPSG:3035").to_file(path)
    assert main(["fit", str(path), "--value", "cases", "--family", "poisson", "--exposure", "births",
                 "--out", str(tmp_path / "o"), "--quiet", "--grid", "20", "12", "--no-integrate",
                 "--max-edge", "5000"]) == 2
    assert "--centroids" in capsys.readouterr().err
    assert main(["fit", str(path), "--value", "cases", "--family", "poisson", "--exposure", "births",
                 "--centroids", "--out", str(tmp_path / "o"), "--quiet", "--grid", "20", "12",
                 "--no-integrate", "--max-edge", "5000"]) == 0
    printed = capsys.readouterr().out
    assert "the model treats these 60 areal values as point-referenced" in printed
    assert "the study region: the union of the polygons" in printed
    npz = np.load(tmp_path / "o" / "posterior_grid.npz")  # the maps reach the outer districts
    assert npz["x"][0] < 4e6 + 2 * km and npz["x"][-1] > 4e6 + 98 * km
    assert np.isfinite(npz["mean"]).all()  # cell centres on the region's own edge included

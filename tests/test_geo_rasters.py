"""Covariates from rasters, against known functions of the pixel centres and rasterio's own
nearest-pixel sampling: bilinear and nearest values, no data, reprojection, windows."""

import pickle
import warnings

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
xr = pytest.importorskip("xarray")
pytest.importorskip("rioxarray")
pyproj = pytest.importorskip("pyproj")
from rasterio.transform import from_origin  # noqa: E402

from corvid.geo import Raster, sample_covariates  # noqa: E402
from corvid.geo import rasters  # noqa: E402
from corvid.geo.rasters import NoDataWarning  # noqa: E402

UTM = "EPSG:32633"
X0, Y1, CELL, H, W = 400_000.0, 5_600_000.0, 30.0, 60, 90


def linear(x, y):
    return 12.5 + 0.003 * (x - X0) - 0.0021 * (Y1 - y)


def centres():
    x = X0 + (np.arange(W) + 0.5) * CELL
    y = Y1 - (np.arange(H) + 0.5) * CELL
    return x, y


def write_tif(path, values, crs=UTM, nodata=None, transform=None):
    with rasterio.open(path, "w", driver="GTiff", width=values.shape[1], height=values.shape[0],
                       count=1, dtype=values.dtype, crs=crs, nodata=nodata,
                       transform=transform or from_origin(X0, Y1, CELL, CELL)) as dst:
        dst.write(values, 1)
    return str(path)


def linear_raster(tmp_path, kind):
    x, y = centres()
    z = linear(*np.meshgrid(x, y))
    if kind == "file":
        return Raster(write_tif(tmp_path / "linear.tif", z))
    da = xr.DataArray(z, dims=("y", "x"), coords={"x": x, "y": y}, name="elevation").rio.write_crs(UTM)
    if kind == "ascending":
        da = da.isel(y=slice(None, None, -1))
    return Raster(da)


def interior(n, seed=0):
    """Points between the outermost pixel centres."""
    rng = np.random.default_rng(seed)
    return rng.uniform([X0 + CELL / 2, Y1 - (H - 0.5) * CELL], [X0 + (W - 0.5) * CELL, Y1 - CELL / 2], (n, 2))


@pytest.mark.parametrize("kind", ["file", "dataarray", "ascending"])
def test_bilinear_reproduces_a_linear_function_between_pixel_centres(tmp_path, kind):
    raster = linear_raster(tmp_path, kind)
    pts = interior(2000)
    x, y = centres()
    corners = np.array([[x[0], y[0]], [x[-1], y[-1]], [x[3], y[7]]])  # on pixel centres
    pts = np.vstack([pts, corners])
    with warnings.catch_warnings():
        warnings.simplefilter("error", NoDataWarning)
        values = raster.sample(pts, UTM)
    np.testing.assert_allclose(values, linear(pts[:, 0], pts[:, 1]), rtol=1e-13, atol=1e-12)


def test_integer_rasters_are_sampled_at_the_nearest_pixel_as_rasterio_does(tmp_path):
    classes = np.random.default_rng(1).integers(0, 7, (H, W)).astype(np.int16)
    path = write_tif(tmp_path / "landcover.tif", classes)
    pts = interior(3000, seed=2)
    with rasterio.open(path) as src:
        expected = np.array([v[0] for v in src.sample(pts)], dtype=np.float64)
    np.testing.assert_array_equal(Raster(path).sample(pts), expected)
    # a float raster is sampled the same way when it is declared categorical
    floats = write_tif(tmp_path / "codes.tif", classes.astype(np.float32))
    np.testing.assert_array_equal(Raster(floats, categorical=True).sample(pts), expected)
    assert not np.array_equal(Raster(floats).sample(pts), expected)


def test_no_data_and_outside_are_nan_with_the_share_in_a_warning(tmp_path):
    x, y = centres()
    z = linear(*np.meshgrid(x, y))
    z[:20, :30] = -9999.0                      # a block of pixels without data
    path = write_tif(tmp_path / "holes.tif", z, nodata=-9999.0)
    rng = np.random.default_rng(3)
    in_nodata = rng.uniform([X0, Y1 - 20 * CELL], [X0 + 30 * CELL, Y1], (30, 2))
    outside = rng.uniform([X0 - 5000, Y1], [X0, Y1 + 5000], (20, 2))
    far_from_nodata = rng.uniform([X0 + 40 * CELL, Y1 - 50 * CELL], [X0 + 80 * CELL, Y1 - 30 * CELL], (50, 2))
    pts = np.vstack([in_nodata, outside, far_from_nodata])
    with pytest.warns(NoDataWarning, match=r"raster holes.tif: 50.0% of the 100 points \(50\) have no data"):
        values = Raster(path).sample(pts)
    assert np.isnan(values[:50]).all()
    np.testing.assert_allclose(values[50:], linear(*far_from_nodata.T), rtol=1e-13)
    # next to the pixels without data, the neighbours with data are averaged: never NaN
    edge = np.column_stack([np.full(10, X0 + 30.2 * CELL), np.linspace(Y1 - 19 * CELL, Y1 - CELL, 10)])
    assert np.isfinite(Raster(path).sample(edge)).all()


def test_nan_pixels_of_a_dataarray_are_no_data():
    x, y = centres()
    z = linear(*np.meshgrid(x, y))
    z[10, 10] = np.nan
    da = xr.DataArray(z, dims=("y", "x"), coords={"x": x, "y": y}).rio.write_crs(UTM)
    with pytest.warns(NoDataWarning, match="50.0% of the 2 points"):
        values = Raster(da).sample([[x[10], y[10]], [x[40], y[30]]])
    assert np.isnan(values[0]) and values[1] == pytest.approx(linear(x[40], y[30]), rel=1e-13)


def test_points_are_reprojected_into_the_rasters_crs(tmp_path):
    # a raster in longitude and latitude holding 3 lon - 2 lat, sampled at UTM points
    lon = 14.0 + (np.arange(200) + 0.5) * 0.01
    lat = 51.0 - (np.arange(100) + 0.5) * 0.01
    z = 3.0 * lon[None, :] - 2.0 * lat[:, None]
    path = write_tif(tmp_path / "lonlat.tif", z, crs="EPSG:4326", transform=from_origin(14.0, 51.0, 0.01, 0.01))
    to_utm = pyproj.Transformer.from_crs("EPSG:4326", UTM, always_xy=True)
    rng = np.random.default_rng(4)
    ll = rng.uniform([14.1, 50.1], [15.9, 50.9], (500, 2))
    utm = np.column_stack(to_utm.transform(ll[:, 0], ll[:, 1]))
    values = Raster(path).sample(utm, UTM)
    np.testing.assert_allclose(values, 3.0 * ll[:, 0] - 2.0 * ll[:, 1], rtol=1e-10)


def test_spread_points_are_read_window_by_window_with_the_same_values(tmp_path, monkeypatch):
    raster = linear_raster(tmp_path, "file")
    pts = interior(500, seed=5)
    whole = raster.sample(pts)
    reads = []
    own = rasters._FileGrid.read

    def counted(self, r0, r1, c0, c1):
        reads.append((r1 - r0) * (c1 - c0))
        return own(self, r0, r1, c0, c1)

    monkeypatch.setattr(rasters._FileGrid, "read", counted)
    monkeypatch.setattr(rasters, "ONE_WINDOW_PIXELS", 100)
    monkeypatch.setattr(rasters, "BLOCK", 16)
    np.testing.assert_array_equal(raster.sample(pts), whole)
    assert len(reads) > 10 and max(reads) <= 17 * 17 < H * W
    # a few points read only the pixels around them
    reads.clear()
    raster.sample(pts[:1])
    assert reads == [4]


def test_rasters_pickle_and_sample_covariates_names_them(tmp_path):
    raster = linear_raster(tmp_path, "file")
    copy = pickle.loads(pickle.dumps(Raster(raster.source, categorical=False)))
    pts = interior(50, seed=6)
    values = sample_covariates({"elevation": copy, "again": raster.source}, pts, UTM)
    assert list(values) == ["elevation", "again"]
    np.testing.assert_array_equal(values["elevation"], values["again"])
    assert sample_covariates(None, pts) is None


@pytest.mark.parametrize("make, message", [
    (lambda tmp: Raster(str(tmp / "missing.tif")).sample([[0.0, 0.0]]), "cannot read the raster .*missing.tif"),
    (lambda tmp: Raster(42), "a raster must be a file path or an xarray DataArray"),
    (lambda tmp: Raster("x.tif", band=0), "band must be a positive integer"),
    (lambda tmp: Raster(write_tif(tmp / "one.tif", np.zeros((4, 4))), band=2).sample([[0.0, 0.0]]),
     "has 1 band"),
    (lambda tmp: Raster(write_tif(tmp / "one.tif", np.zeros((4, 4)))).sample([0.0, 0.0]), "shape \\(k, 2\\)"),
])
def test_bad_rasters_are_one_clear_value_error(tmp_path, make, message):
    with pytest.raises(ValueError, match=message):
        make(tmp_path)

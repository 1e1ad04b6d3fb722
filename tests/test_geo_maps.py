"""Maps as xarray Datasets, GeoTIFF and NetCDF files, read back by rasterio, GDAL and
rioxarray; dask blocks against the map in memory; a fit that pickles for the workers."""

import pickle

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
xr = pytest.importorskip("xarray")
rioxarray = pytest.importorskip("rioxarray")
pyproj = pytest.importorskip("pyproj")
dask = pytest.importorskip("dask")
pytest.importorskip("netCDF4")
from affine import Affine  # noqa: E402
from rasterio.transform import from_origin  # noqa: E402

from corvid.fit import fit_gaussian  # noqa: E402
from corvid.geo import Projection, posterior_maps, to_geotiff  # noqa: E402
from corvid.meshkin.gfield import gfield2_pcmatern  # noqa: E402
from corvid.meshkin.mesh import MkMesh  # noqa: E402

CRS = Projection("EPSG:4326", centre=(10.0, 60.0)).target       # equal-area, in km
DIMS, XLIM, YLIM = (37, 23), (-55.0, 19.0), (-20.0, 26.0)      # cells of 2 km


def surface(points, covariates=None):
    """A made-up predictor: smooth layers, NaN in a disc, a covariate added when given."""
    x, y = points.T
    mean = np.sin(x / 9.0) + np.cos(y / 5.0)
    if covariates:
        mean = mean + covariates["slope"]
    sd = 0.1 + np.hypot(x, y) / 100.0
    mean[np.hypot(x + 30.0, y) < 6.0] = np.nan
    return {"mean": mean, "sd": sd, "unused": np.zeros_like(x)}


def test_a_map_holds_the_predictor_at_the_cell_centres_with_its_crs():
    ds = posterior_maps(surface, DIMS, XLIM, YLIM, crs=CRS, layers={"mean": {}, "sd": {"units": "degC"}})
    assert ds["mean"].dims == ("y", "x") and ds["mean"].shape == (23, 37)
    np.testing.assert_allclose(ds.x.values, np.linspace(-54.0, 18.0, 37), rtol=0, atol=1e-12)
    np.testing.assert_allclose(ds.y.values, np.linspace(25.0, -19.0, 23), rtol=0, atol=1e-12)  # north-up
    xx, yy = np.meshgrid(ds.x.values, ds.y.values)
    expected = surface(np.column_stack([xx.ravel(), yy.ravel()]))
    for name in ("mean", "sd"):
        np.testing.assert_array_equal(ds[name].values.ravel(), expected[name])
        assert ds[name].attrs["grid_mapping"] == "spatial_ref"
        assert ds[name].dtype == np.float64
    assert "unused" not in ds
    assert ds["mean"].attrs["long_name"] == "posterior mean of the linear predictor"
    assert ds["sd"].attrs["units"] == "degC"
    ref = ds["spatial_ref"].attrs
    assert pyproj.CRS(ref["crs_wkt"]) == CRS and ref["spatial_ref"] == ref["crs_wkt"]
    assert Affine.from_gdal(*map(float, ref["GeoTransform"].split())) == from_origin(-55.0, 26.0, 2.0, 2.0)
    assert ds.x.attrs["standard_name"] == "projection_x_coordinate" and ds.y.attrs["axis"] == "Y"
    # rioxarray reads the same CRS and transform
    assert ds.rio.crs == rasterio.crs.CRS.from_wkt(CRS.to_wkt())
    assert ds.rio.transform() == from_origin(-55.0, 26.0, 2.0, 2.0)


def test_dask_blocks_equal_the_map_in_memory_and_see_only_their_window():
    sizes = []

    def recording(points, covariates):
        sizes.append(len(points))
        return surface(points, covariates)

    eager = posterior_maps(surface, DIMS, XLIM, YLIM, crs=CRS, layers=["mean", "sd"])
    lazy = posterior_maps(recording, DIMS, XLIM, YLIM, crs=CRS, layers=["mean", "sd"], chunks=(10, 16))
    assert not sizes  # nothing computed yet
    assert lazy["mean"].chunks == ((10, 10, 3), (16, 16, 5))
    computed = lazy.compute(scheduler="sync")
    for name in ("mean", "sd"):
        np.testing.assert_array_equal(computed[name].values, eager[name].values)
    assert sorted(sizes) == sorted([h * w for h in (10, 10, 3) for w in (16, 16, 5)])


def test_covariate_rasters_are_sampled_at_each_blocks_cells(tmp_path):
    # a raster in longitude and latitude whose values are the longitude
    lon = 8.0 + (np.arange(400) + 0.5) * 0.01
    lat = 61.0 - (np.arange(200) + 0.5) * 0.01
    path = tmp_path / "lon.tif"
    with rasterio.open(path, "w", driver="GTiff", width=400, height=200, count=1, dtype="float64",
                       crs="EPSG:4326", transform=from_origin(8.0, 61.0, 0.01, 0.01)) as dst:
        dst.write(np.broadcast_to(lon, (200, 400)), 1)
    ds = posterior_maps(surface, DIMS, XLIM, YLIM, crs=CRS, layers=["mean"],
                        covariates={"slope": str(path)}, chunks=(8, 8))
    without = posterior_maps(surface, DIMS, XLIM, YLIM, crs=CRS, layers=["mean"])
    xx, yy = np.meshgrid(ds.x.values, ds.y.values)
    lon_at_cells = Projection("EPSG:4326", CRS).inverse(np.column_stack([xx.ravel(), yy.ravel()]))[:, 0]
    added = (ds["mean"] - without["mean"]).values.ravel()
    land = ~np.isnan(added)
    assert land.mean() > 0.9
    np.testing.assert_allclose(added[land], lon_at_cells[land], rtol=1e-10)


@pytest.mark.parametrize("chunks", [None, (8, 16), (7, 5)], ids=["in memory", "tiled blocks", "odd blocks"])
def test_a_geotiff_reads_back_bit_for_bit(tmp_path, chunks):
    ds = posterior_maps(surface, DIMS, XLIM, YLIM, crs=CRS, layers={"mean": {}, "sd": {"units": "degC"}},
                        chunks=chunks)
    path = to_geotiff(ds, tmp_path / "map.tif")
    with rasterio.open(path) as src:
        assert pyproj.CRS(src.crs.to_wkt()) == CRS
        assert src.transform == Affine.from_gdal(*map(float, ds.spatial_ref.attrs["GeoTransform"].split()))
        assert src.descriptions == ("mean", "sd") and src.units == (None, "degC") or src.units == ("", "degC")
        assert src.dtypes == ("float64", "float64") and np.isnan(src.nodata)
        for k, name in enumerate(("mean", "sd"), start=1):
            band = src.read(k)
            assert np.array_equal(band, ds[name].values, equal_nan=True)
            assert np.isnan(band).any() == (name == "mean")
        rows, cols = np.meshgrid(np.arange(src.height), np.arange(src.width), indexing="ij")
        xs, ys = rasterio.transform.xy(src.transform, rows.ravel(), cols.ravel())
    assert np.array_equal(np.unique(xs), np.sort(ds.x.values))
    assert np.array_equal(np.unique(ys), np.sort(ds.y.values))


def test_a_map_with_y_ascending_is_written_north_up(tmp_path):
    ds = posterior_maps(surface, DIMS, XLIM, YLIM, crs=CRS, layers=["mean"])
    flipped = ds.isel(y=slice(None, None, -1))
    flipped["spatial_ref"].attrs.pop("GeoTransform")
    with rasterio.open(to_geotiff(flipped, tmp_path / "flipped.tif")) as src:
        assert np.array_equal(src.read(1), ds["mean"].values, equal_nan=True)
        assert src.transform.almost_equals(from_origin(-55.0, 26.0, 2.0, 2.0), precision=1e-12)


def test_netcdf_keeps_the_crs_for_xarray_rioxarray_and_gdal(tmp_path):
    ds = posterior_maps(surface, DIMS, XLIM, YLIM, crs=CRS, layers=["mean", "sd"], chunks=(16, 16))
    path = tmp_path / "map.nc"
    ds.to_netcdf(path)
    with xr.open_dataset(path, decode_coords="all") as back:
        assert pyproj.CRS(back.rio.crs.to_wkt()) == CRS
        assert np.array_equal(back["mean"].values, ds["mean"].values, equal_nan=True)
        assert back.rio.transform() == from_origin(-55.0, 26.0, 2.0, 2.0)
    with rasterio.open(f'netcdf:"{path}":sd') as src:                  # GDAL's own reading
        assert pyproj.CRS(src.crs.to_wkt()) == CRS
        assert src.transform.almost_equals(from_origin(-55.0, 26.0, 2.0, 2.0), precision=1e-9)
        assert np.array_equal(src.read(1), ds["sd"].values)


def test_a_map_without_crs_has_no_spatial_ref(tmp_path):
    ds = posterior_maps(surface, DIMS, XLIM, YLIM, crs=None, layers=["sd"])
    assert "spatial_ref" not in ds.variables and "grid_mapping" not in ds["sd"].attrs
    with rasterio.open(to_geotiff(ds, tmp_path / "plain.tif")) as src:
        assert src.crs is None and np.array_equal(src.read(1), ds["sd"].values)


@pytest.mark.parametrize("call, message", [
    (lambda: posterior_maps(surface, (0, 3), XLIM, YLIM, crs=CRS), "dims must be two positive integers"),
    (lambda: posterior_maps(surface, DIMS, (1.0, 0.0), YLIM, crs=CRS), "finite and increasing"),
    (lambda: posterior_maps(surface, DIMS, XLIM, YLIM, crs="EPSG:0"), "not a coordinate reference system"),
    (lambda: posterior_maps(surface, DIMS, XLIM, YLIM, crs=CRS, layers=["median"]), "no layer 'median'"),
    (lambda: posterior_maps(lambda p, c: {"mean": p[:3, 0]}, DIMS, XLIM, YLIM, crs=CRS, layers=["mean"]),
     "has shape \\(3,\\)"),
    (lambda: posterior_maps(surface, DIMS, XLIM, YLIM, crs=CRS, chunks=(0, 4)), "chunks must be"),
    (lambda: to_geotiff(xr.Dataset({"a": ("t", np.zeros(3))}), "never.tif"), "no x and y coordinates"),
])
def test_bad_maps_are_one_clear_value_error(call, message):
    with pytest.raises(ValueError, match=message):
        call()


@pytest.fixture(scope="module")
def small_fit():
    mesh = MkMesh.regular_grid((-60.0, 25.0), (-25.0, 30.0), (30, 20), )
    model = gfield2_pcmatern(mesh, prior_range=(20.0, 0.5), prior_sigma=(1.0, 0.1))
    rng = np.random.default_rng(8)
    loc = rng.uniform([-55.0, -20.0], [20.0, 25.0], (150, 2))
    y = np.sin(loc[:, 0] / 15.0) + 0.1 * rng.normal(size=150)
    return fit_gaussian(model, loc, y)


def test_a_fit_pickles_and_its_map_is_its_predictions(small_fit):
    copy = pickle.loads(pickle.dumps(small_fit))
    pts = np.random.default_rng(9).uniform([-55.0, -20.0], [20.0, 25.0], (300, 2))
    for a, b in zip(copy.predict(pts), small_fit.predict(pts)):
        np.testing.assert_array_equal(a, b)

    def predict(points, covariates):
        mean, sd = copy.predict(points)
        return {"mean": mean, "sd": sd}

    ds = posterior_maps(predict, DIMS, XLIM, YLIM, crs=CRS, layers=["mean", "sd"], chunks=(9, 9))
    xx, yy = np.meshgrid(ds.x.values, ds.y.values)
    mean, sd = small_fit.predict(np.column_stack([xx.ravel(), yy.ravel()]))
    computed = ds.compute()
    np.testing.assert_array_equal(computed["mean"].values.ravel(), mean)
    np.testing.assert_array_equal(computed["sd"].values.ravel(), sd)


def test_a_geotiff_from_a_distributed_cluster(tmp_path, small_fit):
    distributed = pytest.importorskip("distributed")

    def predict(points, covariates):
        mean, sd = small_fit.predict(points)
        return {"mean": mean, "sd": sd}

    ds = posterior_maps(predict, DIMS, XLIM, YLIM, crs=CRS, layers=["mean", "sd"], chunks=(16, 16))
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        path = to_geotiff(ds, tmp_path / "cluster.tif", in_flight=2)
    expected = ds.compute(scheduler="sync")
    with rasterio.open(path) as src:
        assert np.array_equal(src.read(1), expected["mean"].values, equal_nan=True)
        assert np.array_equal(src.read(2), expected["sd"].values, equal_nan=True)

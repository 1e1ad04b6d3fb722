"""A fit in real geography: its maps with covariate rasters as Datasets and GeoTIFFs equal
its predictions, ranges come out right through the default projection and wrong in raw
degrees, and coordinates that look like degrees are flagged."""

import pickle
import warnings

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
pyproj = pytest.importorskip("pyproj")
pytest.importorskip("xarray")
pytest.importorskip("dask")
pytest.importorskip("triangle")
pd = pytest.importorskip("pandas")
from rasterio.transform import from_origin  # noqa: E402

from corvid.fit import DegreesWarning, fit  # noqa: E402
from corvid.geo import Projection  # noqa: E402
from corvid.meshkin.gfield import gfield2_pcmatern  # noqa: E402
from corvid.meshkin.locate import basis_matrix  # noqa: E402
from corvid.meshkin.regions import region_mesh  # noqa: E402
from corvid.sampling import gmrf_sample  # noqa: E402

UTM = "EPSG:32633"
BOX = np.array([[500_000, 6_600_000], [560_000, 6_600_000], [560_000, 6_650_000], [500_000, 6_650_000.0]])


def write_raster(path, values, west, north, cell, crs=UTM):
    with rasterio.open(path, "w", driver="GTiff", height=values.shape[0], width=values.shape[1],
                       count=1, dtype="float64", crs=crs, transform=from_origin(west, north, cell, cell),
                       nodata=np.nan) as out:
        out.write(values, 1)
    return str(path)


@pytest.fixture(scope="module")
def counts_fit():
    """A Poisson fit in UTM metres with an elevation covariate that is linear in x and y."""
    rng = np.random.default_rng(5)
    mesh = region_mesh(BOX, max_edge=5000.0, offset=10_000.0, crs=UTM)
    model = gfield2_pcmatern(mesh, prior_range=(10_000.0, 0.5), prior_sigma=(1.0, 0.01))
    loc = rng.uniform(BOX.min(axis=0), BOX.max(axis=0), (300, 2))
    elevation = (loc[:, 0] - 500_000) / 1000.0 + 2.0 * (loc[:, 1] - 6_600_000) / 1000.0
    y = rng.poisson(np.exp(0.2 + 0.01 * elevation + np.sin(loc[:, 0] / 9000.0)))
    return fit(model, loc, y, family="poisson", covariates=pd.DataFrame({"elevation": elevation}))


def elevation_raster(tmp_path, west=490_000.0, north=6_660_000.0, cells=(90, 80)):
    """Elevation = (x - 500 km) / 1 km + 2 (y - 6600 km) / 1 km at the pixel centres."""
    cell = 1000.0
    cx = west + cell * (np.arange(cells[0]) + 0.5)
    cy = north - cell * (np.arange(cells[1]) + 0.5)
    xx, yy = np.meshgrid(cx, cy)
    return write_raster(tmp_path / "elevation.tif", (xx - 500_000) / 1000.0 + 2.0 * (yy - 6_600_000) / 1000.0,
                        west, north, cell)


def test_maps_with_a_covariate_raster_equal_predict_at_the_cell_centres(counts_fit, tmp_path):
    ds = counts_fit.maps(dims=(40, 30), covariates={"elevation": elevation_raster(tmp_path)})
    assert set(ds.data_vars) == {"mean", "sd", "response_mean", "response_sd"}
    assert pyproj.CRS(ds["spatial_ref"].attrs["crs_wkt"]) == pyproj.CRS(UTM)
    xx, yy = np.meshgrid(ds.x.values, ds.y.values)
    points = np.column_stack([xx.ravel(), yy.ravel()])
    elevation = (points[:, 0] - 500_000) / 1000.0 + 2.0 * (points[:, 1] - 6_600_000) / 1000.0
    for scale, names in (("link", ("mean", "sd")), ("response", ("response_mean", "response_sd"))):
        mean, sd = counts_fit.predict(points, elevation, scale=scale)
        # the same sums in another order: equal to rounding, also where the mean is near 0
        np.testing.assert_allclose(ds[names[0]].values.ravel(), mean, rtol=1e-12, atol=1e-14)
        np.testing.assert_allclose(ds[names[1]].values.ravel(), sd, rtol=1e-12)
        assert ds[names[0]].attrs["grid_mapping"] == "spatial_ref"


def test_a_raster_covering_part_of_the_map_gives_nan_there_and_says_how_much(counts_fit, tmp_path):
    half = elevation_raster(tmp_path, west=530_000.0, cells=(40, 80))  # east of 530 km only
    with pytest.warns(UserWarning, match=r"no data on about 5\d(\.\d+)?% of the map's cells"):
        ds = counts_fit.maps(dims=(60, 50), covariates={"elevation": half})
    west = ds.x.values < 530_000.0
    assert np.all(np.isnan(ds["mean"].values[:, west])) and np.isfinite(ds["mean"].values[:, ~west]).mean() > 0.9
    with pytest.raises(ValueError, match="no fixed effect is named 'depth'"):
        counts_fit.maps(dims=(10, 10), covariates={"depth": half})
    with pytest.warns(UserWarning, match="no raster for the covariate\\(s\\) 'elevation'"):
        counts_fit.maps(dims=(10, 10))


def test_the_geotiff_holds_the_map_to_the_last_bit_and_dask_blocks_agree(counts_fit, tmp_path):
    raster = elevation_raster(tmp_path)
    ds = counts_fit.maps(dims=(50, 40), covariates={"elevation": raster})
    lazy = counts_fit.maps(dims=(50, 40), covariates={"elevation": raster}, chunks=(16, 16))
    path = counts_fit.to_geotiff(tmp_path / "posterior.tif", dims=(50, 40), chunks=(16, 16),
                                 covariates={"elevation": raster})
    with rasterio.open(path) as tif:
        assert tif.crs == rasterio.crs.CRS.from_user_input(UTM)
        assert tif.descriptions == ("mean", "sd", "response_mean", "response_sd")
        dx, dy = ds.x.values[1] - ds.x.values[0], ds.y.values[0] - ds.y.values[1]
        assert tif.transform.almost_equals(from_origin(ds.x.values[0] - dx / 2, ds.y.values[0] + dy / 2,
                                                       dx, dy), precision=1e-6)
        for band, name in enumerate(tif.descriptions, start=1):
            np.testing.assert_array_equal(tif.read(band), ds[name].values)
            np.testing.assert_array_equal(lazy[name].values, ds[name].values)


def test_a_fit_pickles_and_predicts_the_same(counts_fit):
    again = pickle.loads(pickle.dumps(counts_fit))
    points = BOX.mean(axis=0) + np.array([[0.0, 0.0], [9000.0, -4000.0]])
    for scale in ("link", "response"):
        np.testing.assert_array_equal(again.predict(points, [10.0, 20.0], scale=scale),
                                      counts_fit.predict(points, [10.0, 20.0], scale=scale))
    assert "distances (the range) in m: the mesh's CRS is WGS 84 / UTM zone 33N" in counts_fit.summary()


def test_the_range_through_the_default_projection_matches_the_projected_fit():
    """A field simulated in metres at 60 degrees north, observed at longitude/latitude points."""
    rng = np.random.default_rng(1)
    laea = Projection("EPSG:4326", centre=(15.0, 60.0), unit="m")
    box = laea.forward(np.array([[13.0, 59.3], [17.0, 59.3], [17.0, 60.7], [13.0, 60.7]]))
    lo, hi = box.min(axis=0), box.max(axis=0)
    square = np.array([[lo[0], lo[1]], [hi[0], lo[1]], [hi[0], hi[1]], [lo[0], hi[1]]])
    truth_mesh = region_mesh(square, max_edge=6000.0, offset=40_000.0, crs=laea.target)
    truth = gfield2_pcmatern(truth_mesh, prior_range=(20_000.0, 0.5), prior_sigma=(1.0, 0.01))
    field = gmrf_sample(truth.precision(np.log([40_000.0, 1.0])), rng)
    xy = rng.uniform(lo, hi, (2000, 2))
    y = basis_matrix(truth_mesh, xy) @ field + 0.1 * rng.normal(size=len(xy))
    lonlat = laea.inverse(xy)

    def fitted_range(points, crs, edge, prior_range):
        mesh = region_mesh(points=points, max_edge=edge, offset=-0.2, crs=crs)
        model = gfield2_pcmatern(mesh, prior_range=(prior_range, 0.5), prior_sigma=(1.0, 0.01))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fit(model, points, y, prior_noise=(1.0, 0.01)).hyperparameters["range"].estimate

    projected = fitted_range(xy, laea.target, 6000.0, 20_000.0)
    default = Projection("EPSG:4326", data=lonlat)           # chooses LAEA in km here
    through = fitted_range(default.forward(lonlat), default.target, 6.0, 20.0) * 1000.0
    assert default.unit == "km" and through == pytest.approx(projected, rel=0.05)
    raw = fitted_range(lonlat, None, 0.06, 0.2) * 111_200.0   # a degree of latitude in metres
    # In degrees a kilometre east is twice the longitude of one north at 60 degrees: the
    # isotropic range comes out between the two, up to 1 / cos(60°) times too long.
    assert 1.15 * projected < raw < 1.05 * projected / np.cos(np.radians(60.0))


DEGREES = np.random.default_rng(2).uniform([10.0, 60.0], [14.0, 61.0], (50, 2))


@pytest.mark.parametrize("loc, crs, warns", [
    (DEGREES, None, True), (DEGREES, "EPSG:4326", True), (DEGREES * 10_000.0, UTM, False),
    (np.random.default_rng(0).uniform(0, 1, (50, 2)), None, False),
], ids=["degrees", "a geographic crs", "a projected crs", "unit square"])
def test_coordinates_that_look_like_degrees_are_flagged(loc, crs, warns):
    mesh = region_mesh(points=loc, max_edge=0.1 * np.ptp(loc[:, 0]), offset=-0.1, crs=crs)
    model = gfield2_pcmatern(mesh, prior_range=(1.0, 0.5), prior_sigma=(1.0, 0.01))
    y = np.sin(loc[:, 0]) + 0.1 * np.random.default_rng(1).normal(size=len(loc))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit(model, loc, y, theta=[0.0, 0.0, -2.0])
    assert any(issubclass(w.category, DegreesWarning) for w in caught) == warns

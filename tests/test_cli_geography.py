"""python -m corvid fit with real geography: longitude and latitude, a study region and
covariate rasters from GIS files, GeoTIFF and NetCDF maps out."""

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
gpd = pytest.importorskip("geopandas")
shapely = pytest.importorskip("shapely")
xr = pytest.importorskip("xarray")
pytest.importorskip("netCDF4")
pytest.importorskip("triangle")

from corvid.__main__ import main  # noqa: E402
from user_files import coast, elevation, write_elevation_raster  # noqa: E402

COAST = coast()


@pytest.fixture(scope="module")
def place(tmp_path_factory):
    """Stations at 62 N in a CSV file and a GeoPackage, the coast, and elevation rasters."""
    root = tmp_path_factory.mktemp("place")
    rng = np.random.default_rng(6)
    lonlat = rng.uniform([12.0, 61.0], [18.0, 63.0], (800, 2))
    lonlat = lonlat[shapely.contains_xy(COAST, *lonlat.T)][:150]
    height = elevation(*lonlat.T)
    temp = 5.0 - 0.006 * height + np.sin(lonlat[:, 0]) + 0.2 * rng.normal(size=len(lonlat))
    table = "lon,lat,elevation,temp\n" + "".join(f"{a},{b},{c},{d}\n" for a, b, c, d in
                                                   zip(*lonlat.T, height, temp))
    (root / "stations.csv").write_text(table)
    gpd.GeoDataFrame({"elevation": height, "temp": temp}, geometry=gpd.points_from_xy(*lonlat.T),
                     crs="EPSG:4326").to_file(root / "stations.gpkg")
    gpd.GeoDataFrame(geometry=[COAST], crs="EPSG:4326").to_file(root / "coast.gpkg")
    write_elevation_raster(root / "elevation.tif")
    write_elevation_raster(root / "east.tif", west=15.0)  # east of 15 E only
    return root


def run(place, out, *options, data="stations.csv", capsys=None):
    argv = ["fit", str(place / data), "--value", "temp", "--out", str(out), "--grid", "40", "30",
            "--quiet", *options]
    if data.endswith(".csv"):
        argv += ["--x", "lon", "--y", "lat"]
    return main(argv)


def test_longitude_and_latitude_without_a_crs_are_refused_saying_why(place, tmp_path, capsys):
    assert run(place, tmp_path / "out") == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and "look like longitude and latitude" in err[0] and "--crs EPSG:4326" in err[0]
    assert not (tmp_path / "out").exists()


def test_lonlat_with_region_and_raster_gives_georeferenced_maps(place, tmp_path, capsys):
    out = tmp_path / "out"
    assert run(place, out, "--crs", "EPSG:4326", "--region", str(place / "coast.gpkg"),
               "--covariates", "elevation", "--covariate-raster",
               f"elevation={place / 'elevation.tif'}") == 0
    printed = capsys.readouterr().out
    assert "projected to corvid LAEA" in printed and "distances (the range) in km" in printed
    with rasterio.open(out / "posterior.tif") as tif:
        assert tif.crs.is_projected and tif.descriptions == ("mean", "sd")
        assert tif.crs.linear_units in ("kilometre", "km")
        mean = tif.read(1)
        west, south, east, north = tif.bounds
    nc = xr.open_dataset(out / "posterior.nc")
    np.testing.assert_array_equal(nc["mean"].values, mean)
    assert nc["mean"].attrs["grid_mapping"] == "spatial_ref"
    # The maps span the region (about 320 by 270 km) and are NaN outside it.
    assert 300 < east - west < 340 and 250 < north - south < 290
    assert 0.6 < np.isfinite(mean).mean() < 0.85
    # The elevation raster enters the map: the fitted slope times elevation shows in the mean.
    assert np.nanstd(mean) > 0.5


def test_a_vector_file_of_points_brings_its_own_crs(place, tmp_path):
    out = tmp_path / "out"
    assert run(place, out, "--region", str(place / "coast.gpkg"), data="stations.gpkg") == 0
    with rasterio.open(out / "posterior.tif") as tif:
        assert tif.crs.is_projected


def test_a_raster_covering_part_of_the_map_gives_nan_there_and_a_warning(place, tmp_path, capsys):
    out = tmp_path / "out"
    assert run(place, out, "--crs", "EPSG:4326", "--covariates", "elevation",
               "--covariate-raster", f"elevation={place / 'east.tif'}") == 0
    err = capsys.readouterr().err
    assert "warning: the raster for 'elevation' has no data on about" in err
    with rasterio.open(out / "posterior.tif") as tif:
        mean = tif.read(1)
    finite = np.isfinite(mean)  # the raster covers the east, from 15 E: the middle of the map
    assert finite[:, 22:].mean() > 0.6 and not finite[:, :18].any()


@pytest.mark.parametrize("options, message", [
    (["--crs", "EPSG:999999"], "is not a coordinate reference system pyproj knows"),
    (["--crs", "EPSG:4326", "--covariate-raster", "depth=x.tif"], "'depth' is not one of --covariates"),
    (["--crs", "EPSG:4326", "--covariates", "elevation", "--covariate-raster", "elevation=absent.tif"],
     "no such file: absent.tif"),
    (["--crs", "EPSG:4326", "--region", "absent.gpkg"], "--region: no such file"),
    (["--crs", "EPSG:4326", "--region", "{place}/stations.gpkg"], "--region: "),
])
def test_bad_geography_is_one_line_with_status_2(place, tmp_path, capsys, options, message):
    options = [o.replace("{place}", str(place)) for o in options]
    assert run(place, tmp_path / "out", *options) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and message in err[0]


def test_a_range_short_for_the_mesh_makes_the_command_mesh_again(tmp_path, capsys):
    rng = np.random.default_rng(2)
    x, y = rng.uniform(0, 100, 600), rng.uniform(0, 100, 600)
    value = np.sin(x / 6.0) * np.cos(y / 6.0) + 0.05 * rng.normal(size=600)
    path = tmp_path / "short.csv"
    path.write_text("x,y,v\n" + "".join(f"{a},{b},{c}\n" for a, b, c in zip(x, y, value)))
    assert main(["fit", str(path), "--x", "x", "--y", "y", "--value", "v", "--out", str(tmp_path / "o"),
                 "--max-edge", "10", "--grid", "20", "20", "--quiet"]) == 0
    printed = capsys.readouterr().out
    assert "the field is under-resolved; meshing again with max edge" in printed
    assert printed.count("mesh: ") == 2

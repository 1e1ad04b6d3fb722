"""python -m corvid fit refuses what it cannot use in the user's own terms: one line, exit
status 2, the file, the line (or layer, or feature) and the value at fault, and the flag
that fixes it; never a traceback, never a silent guess."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pytest

from corvid.__main__ import main
from user_files import write_table

gpd = pytest.importorskip("geopandas")
shapely = pytest.importorskip("shapely")
rasterio = pytest.importorskip("rasterio")
pytest.importorskip("triangle")

from rasterio.transform import from_origin  # noqa: E402


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Planar data (CSV, attribute-only GeoPackage, points in UTM, a GeoPackage of two
    layers), lon/lat data and a lon/lat raster without a CRS."""
    root = tmp_path_factory.mktemp("files")
    rng = np.random.default_rng(3)
    x, y = rng.uniform(0, 4, 60), rng.uniform(0, 2, 60)
    v = np.sin(x) + 0.1 * rng.normal(size=60)
    write_table(root / "d.csv", {"x": x, "y": y, "v": v})
    import pandas as pd
    import pyogrio

    pyogrio.write_dataframe(pd.DataFrame({"x": x, "y": y, "v": v}), root / "attr.gpkg")
    utm = gpd.GeoDataFrame({"v": v}, geometry=gpd.points_from_xy(500e3 + 1e3 * x, 6.9e6 + 1e3 * y),
                           crs="EPSG:32633")
    utm.to_file(root / "utm.gpkg")
    utm.to_file(root / "two.gpkg", layer="stations")
    box = shapely.box(499e3, 6.899e6, 505e3, 6.903e6)
    gpd.GeoDataFrame(geometry=[box], crs="EPSG:32633").to_file(root / "two.gpkg", layer="coast")
    with warnings.catch_warnings():  # the point of this file: pyogrio warns it has no CRS
        warnings.simplefilter("ignore", UserWarning)
        gpd.GeoDataFrame(geometry=[shapely.box(10.5, 60.2, 11.5, 60.8)]).to_file(root / "no_crs.gpkg")
    lon, lat = rng.uniform(10, 12, 60), rng.uniform(60, 61, 60)
    write_table(root / "ll.csv", {"lon": lon, "lat": lat, "v": v, "h": v + rng.normal(size=60)})
    with rasterio.open(root / "no_crs.tif", "w", driver="GTiff", height=50, width=100, count=1,
                       dtype="float64", transform=from_origin(9.0, 62.0, 0.04, 0.04)) as f:
        f.write(np.arange(5000.0).reshape(50, 100), 1)
    return root


def refusal(capsys, *argv):
    """(status, the one line on stderr) of a fit command."""
    status = main(["fit", *map(str, argv), "--quiet", "--grid", "20", "10"])
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1, err
    assert err[0].startswith("python -m corvid fit: error: ")
    return status, err[0]


def edited(files, tmp_path, name, line, text):
    """A copy of a file with one line (1-based) replaced."""
    lines = (files / name).read_text().splitlines()
    lines[line - 1] = text
    path = tmp_path / name
    path.write_text("\n".join(lines) + "\n")
    return path


# ---- tables ----------------------------------------------------------------------------------


@pytest.mark.parametrize("line_text, message", [
    ("1,234.5,2000.1,0.5", "line 6 has more cells than the 3 columns its header names ('0.5'"),
    ("1,234.5,2000.1,0.5,7", "line 6 has more cells than the 3 columns its header names ('0.5', '7'"),
    ("1,234.5,2000.1,,7", "line 6 has more cells than the 3 columns its header names ('', '7'"),
    ("1,234.5,2000.1,,,,7", "line 6 has more cells than the 3 columns its header names"),
    (",,", "line 6, column 'x': an empty cell is not a number"),
])
def test_a_row_that_does_not_fit_the_header_is_named_by_its_line(files, tmp_path, capsys,
                                                                 line_text, message):
    path = edited(files, tmp_path, "d.csv", 6, line_text)
    status, line = refusal(capsys, path, "--x", "x", "--y", "y", "--value", "v", "--out", tmp_path / "o")
    assert status == 2 and message in line
    assert not (tmp_path / "o").exists()


def test_extra_cells_on_the_first_row_are_refused_too(files, tmp_path, capsys):
    path = edited(files, tmp_path, "d.csv", 2, "1,2,3,4")
    status, line = refusal(capsys, path, "--x", "x", "--y", "y", "--value", "v", "--out", tmp_path / "o")
    assert status == 2 and "line 2 has more cells" in line


def test_empty_trailing_cells_lose_nothing_and_are_read(files, tmp_path, capsys):
    lines = (files / "d.csv").read_text().splitlines()
    path = tmp_path / "trailing.csv"
    path.write_text(lines[0] + "\n" + "".join(f"{row},\n" for row in lines[1:]))
    assert main(["fit", str(path), "--x", "x", "--y", "y", "--value", "v", "--out", str(tmp_path / "o"),
                 "--grid", "10", "10", "--quiet", "--no-integrate"]) == 0


@pytest.mark.parametrize("how", ["stdin", "process substitution"])  # "-": the test below
def test_piped_input_is_read_once(files, tmp_path, how):
    argv = ["--x", "x", "--y", "y", "--value", "v", "--out", str(tmp_path / "o"), "--grid", "10",
            "10", "--quiet", "--no-integrate", "--max-edge", "0.4"]
    data = files / "d.csv"
    if how == "process substitution":  # /dev/fd/63, a pipe
        command = " ".join([sys.executable, "-m", "corvid", "fit", f"<(cat {data})", *argv])
        result = subprocess.run(["bash", "-c", command], capture_output=True, text=True, timeout=120)
    else:
        with open(data, "rb") as stdin:
            piped = subprocess.Popen(["cat"], stdin=stdin, stdout=subprocess.PIPE)
            result = subprocess.run([sys.executable, "-m", "corvid", "fit", "/dev/stdin", *argv],
                                    stdin=piped.stdout, capture_output=True, text=True, timeout=120)
            piped.wait()
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "o" / "posterior_grid.npz").exists()


def test_a_bad_value_from_a_pipe_is_named_by_its_line(files, tmp_path):
    text = (files / "d.csv").read_text().splitlines()
    text[4] = "1,2,oops"
    result = subprocess.run([sys.executable, "-m", "corvid", "fit", "-", "--x", "x", "--y", "y",
                             "--value", "v", "--out", str(tmp_path / "o")],
                            input="\n".join(text) + "\n", capture_output=True, text=True, timeout=120)
    assert result.returncode == 2
    assert result.stderr.strip().endswith("- line 5, column 'v': 'oops' is not a number")


# ---- vector files ----------------------------------------------------------------------------


@pytest.mark.parametrize("argv, message", [
    (["{attr.gpkg}", "--value", "v"],
     "attr.gpkg has no geometry, only attributes (x, y, v): give --x and --y"),
    (["{d.csv}", "--x", "x", "--y", "y", "--value", "v", "--region", "{attr.gpkg}"],
     "--region: {attr.gpkg} has no geometry, only attributes (x, y, v): a study region needs polygons"),
    (["{d.csv}", "--x", "x", "--y", "y", "--value", "v", "--region", "{d.csv}"],
     "--region: {d.csv} has no geometry, only attributes (x, y, v)"),
    (["{two.gpkg}", "--value", "v"],
     "{two.gpkg} has 2 layers ('stations' (Point), 'coast' (Polygon)): choose one with --layer NAME"),
    (["{two.gpkg}", "--value", "v", "--layer", "lakes"],
     "--layer lakes: {two.gpkg} has no layer 'lakes' (its layers: 'stations' (Point), 'coast'"),
    (["{two.gpkg}", "--layer", "stations", "--value", "v", "--region", "{two.gpkg}"],
     "--region: {two.gpkg} has 2 layers ('stations' (Point), 'coast' (Polygon)): choose one with "
     "--region-layer NAME"),
    (["{two.gpkg}", "--layer", "coast", "--value", "v"],
     "the features of {two.gpkg} (layer 'coast') are polygons (Polygon at feature 0): the data must "
     "be point locations; --centroids fits each polygon's value at a point inside it"),
    (["{utm.gpkg}", "--value", "v", "--crs", "EPSG:4326"],
     "--crs EPSG:4326 (WGS 84) differs from the CRS of {utm.gpkg} (WGS 84 / UTM zone 33N)"),
    (["{utm.gpkg}", "--value", "v", "--x", "x", "--y", "y"], "leave --x and --y out"),
])
def test_vector_files_are_refused_saying_what_is_missing(files, tmp_path, capsys, argv, message):
    def fill(text):
        for name in os.listdir(files):
            text = text.replace("{" + name + "}", str(files / name))
        return text
    status, line = refusal(capsys, *map(fill, argv), "--out", tmp_path / "o")
    assert status == 2 and fill(message) in line


def test_an_attribute_table_with_coordinate_columns_is_fitted(files, tmp_path):
    assert main(["fit", str(files / "attr.gpkg"), "--x", "x", "--y", "y", "--value", "v", "--out",
                 str(tmp_path / "o"), "--grid", "10", "10", "--quiet", "--no-integrate"]) == 0


def test_the_layers_named_are_the_layers_used(files, tmp_path, capsys):
    assert main(["fit", str(files / "two.gpkg"), "--layer", "stations", "--value", "v", "--region",
                 str(files / "two.gpkg"), "--region-layer", "coast", "--out", str(tmp_path / "o"),
                 "--grid", "10", "10", "--quiet", "--no-integrate"]) == 0
    grid = np.load(tmp_path / "o" / "posterior_grid.npz")
    assert grid["x"][0] < 499.5e3 and grid["x"][-1] > 504.5e3  # the coast's box, not the points'


# ---- degrees and regions ---------------------------------------------------------------------


@pytest.mark.parametrize("text, message", [
    ("11.2,91,0.5,0.5", "line 8, column 'lat': 91 is not a latitude (latitudes run from -90 to 90"),
    ("1e6,60.5,0.5,0.5", "line 8, column 'lon': 1000000 is not a longitude"),
])
def test_a_value_that_is_no_longitude_or_latitude_is_named(files, tmp_path, capsys, text, message):
    path = edited(files, tmp_path, "ll.csv", 8, text)
    status, line = refusal(capsys, path, "--x", "lon", "--y", "lat", "--value", "v", "--crs",
                           "EPSG:4326", "--out", tmp_path / "o")
    assert status == 2 and message in line and "--crs" in line


def test_points_outside_the_region_are_named_by_line_and_coordinates(files, tmp_path, capsys):
    status, line = refusal(capsys, files / "ll.csv", "--x", "lon", "--y", "lat", "--value", "v",
                           "--crs", "EPSG:4326", "--region", files / "no_crs.gpkg", "--out", tmp_path / "o")
    assert status == 2
    assert "all 60 points lie outside the --region" in line
    assert "e.g. line 2 (lon, lat) = (" in line          # the user's own degrees, not projected km
    assert "no_crs.gpkg has no CRS, so its coordinates were taken to be in the data's working CRS" in line


def test_a_region_in_degrees_for_data_without_a_crs_asks_for_the_crs(files, tmp_path, capsys):
    region = tmp_path / "ll_region.gpkg"
    gpd.GeoDataFrame(geometry=[shapely.box(0, 0, 4, 2)], crs="EPSG:4326").to_file(region)
    status, line = refusal(capsys, files / "d.csv", "--x", "x", "--y", "y", "--value", "v",
                           "--region", region, "--out", tmp_path / "o")
    assert status == 2 and "give the data's --crs" in line and "crs=" not in line


# ---- rasters ---------------------------------------------------------------------------------


def lonlat_fit(files, tmp_path, *options):
    return ["fit", str(files / "ll.csv"), "--x", "lon", "--y", "lat", "--value", "v", "--crs",
            "EPSG:4326", "--covariates", "h", "--out", str(tmp_path / "o"), *options]


@pytest.mark.parametrize("raster, message", [
    ("h={tmp}", "--covariate-raster h: {tmp} is a directory, not a raster file"),
    ("h={files}/no_crs.tif", "no_crs.tif has no CRS, and the data are in degrees, projected for "
                             "the fit, so where the raster lies is unknown: give its CRS as "
                             "h={files}/no_crs.tif@CRS"),
    ("h={files}/no_crs.tif@EPSG:99999", "is not a coordinate reference system pyproj knows"),
    ("h={files}/d.csv", "cannot read {files}/d.csv as a raster"),
])
def test_rasters_without_what_the_maps_need_are_refused(files, tmp_path, capsys, raster, message):
    fill = {"tmp": str(tmp_path), "files": str(files)}
    status, line = refusal(capsys, *lonlat_fit(files, tmp_path, "--covariate-raster", raster.format(**fill))[1:])
    assert status == 2 and message.format(**fill) in line


def test_a_raster_given_its_crs_enters_the_maps(files, tmp_path):
    assert main([*lonlat_fit(files, tmp_path, "--covariate-raster", f"h={files}/no_crs.tif@EPSG:4326"),
                 "--grid", "20", "10", "--quiet", "--no-integrate"]) == 0
    import xarray as xr

    maps = xr.open_dataset(tmp_path / "o" / "posterior.nc")
    assert maps.attrs["corvid_covariates_mapped"] == "h"
    assert np.isfinite(maps["mean"].values).mean() > 0.5  # the raster covers the data


# ---- priors ----------------------------------------------------------------------------------


@pytest.mark.parametrize("option, message", [
    (["--prior-range", "1e-300", "0.5"], "--prior-range 1e-300 0.5 puts the prior's median at 1e-300, "
                                         "more than 250 times below the data's extent"),
    (["--prior-range", "1e300", "0.5"], "more than 100 times above the data's extent"),
    (["--prior-range", "1", "0.999999999999"], "--prior-range 1 1 puts the prior's median at"),
    (["--prior-sigma", "1e-12", "0.01"], "--prior-sigma 1e-12 0.01 puts the prior's median at"),
    (["--prior-noise", "1e9", "0.5"], "more than 1,000,000 times above the sd of the values"),
])
def test_absurd_priors_are_refused_before_the_fit(files, tmp_path, capsys, option, message):
    status, line = refusal(capsys, files / "d.csv", "--x", "x", "--y", "y", "--value", "v", *option,
                           "--out", tmp_path / "o")
    assert status == 2 and message in line
    assert "optimise" not in line and not (tmp_path / "o").exists()


def test_a_refused_row_of_the_family_names_its_column(files, tmp_path, capsys):
    table = (files / "d.csv").read_text().splitlines()
    path = tmp_path / "counts.csv"
    path.write_text(table[0] + ",n,e\n" + "".join(f"{row},{k % 5},{0 if k == 6 else 1}\n"
                                                  for k, row in enumerate(table[1:])))
    status, line = refusal(capsys, path, "--x", "x", "--y", "y", "--value", "n", "--family", "poisson",
                           "--exposure", "e", "--out", tmp_path / "o")
    assert status == 2 and "counts.csv, column 'e': exposure must be positive, and is not in line 8" in line


def test_rows_the_fit_refuses_are_named_by_the_file_s_lines_and_column(files, tmp_path, capsys,
                                                                      monkeypatch):
    import corvid.fit
    from corvid.fit.families import RowsError

    def refuse(*args, **kwargs):  # as the fit refuses counts beyond what it can take
        raise RowsError("poisson counts must stay below 1e15, and do not in", np.array([3, 9]))
    monkeypatch.setattr(corvid.fit, "fit", refuse)
    path = edited(files, tmp_path, "d.csv", 1, "x,y,n")
    status, line = refusal(capsys, path, "--x", "x", "--y", "y", "--value", "n", "--out", tmp_path / "o")
    assert status == 2
    assert line.endswith("d.csv, column 'n': poisson counts must stay below 1e15, and do not in "
                         "lines 5, 11")


@pytest.mark.parametrize("library, command_line", [
    ("region.gpkg is in longitude and latitude (WGS 84): give crs=, a projected CRS",
     "region.gpkg is in longitude and latitude (WGS 84): give --crs, a projected CRS"),
    ("a mesh of that size: use a longer max_edge or a larger max_vertices",
     "a mesh of that size: use a longer --max-edge or a larger --max-vertices"),
    ("the limit max_vertices=1,000 is reached", "the limit --max-vertices 1,000 is reached"),
    ("prior_range = (threshold, probability) needs a positive finite threshold",
     "--prior-range threshold probability needs a positive finite threshold"),
    ("column 'max_edge' of /data/max_edge.csv: the offset is too wide",
     "column 'max_edge' of /data/max_edge.csv: the offset is too wide"),
])
def test_library_advice_in_python_terms_names_the_flags(files, tmp_path, capsys, monkeypatch,
                                                        library, command_line):
    import corvid.fit

    def refuse(*args, **kwargs):
        raise ValueError(library)
    monkeypatch.setattr(corvid.fit, "fit", refuse)
    status, line = refusal(capsys, files / "d.csv", "--x", "x", "--y", "y", "--value", "v",
                           "--out", tmp_path / "o")
    assert status == 2 and line == f"python -m corvid fit: error: {command_line}"


def test_lines_are_counted_from_the_top_of_the_file_past_blank_lines(files, tmp_path, capsys):
    lines = (files / "d.csv").read_text().splitlines()
    lines[6] = "1,2,three"
    path = tmp_path / "blank.csv"
    path.write_text("\n\n" + lines[0] + "\n\n" + "\n".join(lines[1:]) + "\n")
    status, line = refusal(capsys, path, "--x", "x", "--y", "y", "--value", "v", "--out", tmp_path / "o")
    assert status == 2 and line.endswith("blank.csv line 10, column 'v': 'three' is not a number")

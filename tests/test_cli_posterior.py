"""python -m corvid fit after the fit: residuals.csv and the diagnostics picture, the
exceedance layer (--exceedance C) and indices over a region file (--index FILE)."""

import numpy as np
import pytest

import corvid.cli.posterior
from corvid.__main__ import main
from user_files import write_table

pytest.importorskip("triangle")
geopandas = pytest.importorskip("geopandas")
shapely = pytest.importorskip("shapely")
pd = pytest.importorskip("pandas")

YEARS = (2001, 2002, 2003)


def survey_values(family, x, rng):
    eta = 0.3 + np.sin(x)
    return {"gaussian": lambda: eta + 0.3 * rng.standard_normal(x.size),
            "poisson": lambda: rng.poisson(np.exp(eta)),
            "nbinomial": lambda: rng.negative_binomial(4, 4 / (4 + np.exp(eta))),
            "binomial": lambda: rng.binomial(1, 1 / (1 + np.exp(-eta))),
            "gamma": lambda: rng.gamma(4.0, np.exp(eta) / 4.0)}[family]()


def write_survey(tmp_path, family, n=150):
    rng = np.random.default_rng(8)
    x, y = rng.uniform(0, 4, n), rng.uniform(0, 2, n)
    year = np.array(YEARS)[np.arange(n) % len(YEARS)]
    columns = {"x": x, "y": y, "year": year, "value": survey_values(family, x, rng)}
    return write_table(tmp_path / "survey.csv", columns)


def write_regions(path, boxes, names=None, crs=None):
    frame = geopandas.GeoDataFrame({} if names is None else {"Name": names},
                                   geometry=[shapely.box(*b) for b in boxes], crs=crs)
    frame.to_file(path)
    return str(path)


def run(path, out, *more):
    return main(["fit", path, "--x", "x", "--y", "y", "--value", "value", "--out", str(out),
                 "--grid", "24", "12", "--max-edge", "0.5", "--quiet",
                 # Small data: a prior that keeps the range from collapsing, the mesh coarse.
                 "--prior-range", "2", "0.05", *more])


@pytest.fixture
def fits(monkeypatch):
    """The fits the command makes, kept as it writes their checks."""
    made = []
    write_checks = corvid.cli.posterior.write_checks
    monkeypatch.setattr(corvid.cli.posterior, "write_checks",
                        lambda result, *more: (made.append(result), write_checks(result, *more)))
    return made


@pytest.mark.parametrize("family, threshold, time, named", [
    ("gaussian", 0.5, False, True),
    ("poisson", 2.0, True, True),
    ("nbinomial", 2.0, False, False),
    ("binomial", 0.6, True, False),
    ("gamma", 1.5, True, True),
])
def test_a_fit_writes_its_checks_an_exceedance_layer_and_an_index(tmp_path, capsys, fits, family,
                                                                     threshold, time, named):
    rasterio = pytest.importorskip("rasterio")
    xarray = pytest.importorskip("xarray")
    path = write_survey(tmp_path, family)
    # Two regions inside the data's region, one far beyond the mesh.
    areas = write_regions(tmp_path / "areas.gpkg", [(0.2, 0.2, 2.0, 1.8), (2.0, 0.2, 3.8, 1.8),
                                                    (50, 50, 51, 51)],
                          ["west", "east", "offshore"] if named else None)
    out = tmp_path / "out"
    more = ["--time", "year"] if time else []
    assert run(path, out, "--family", family, "--exceedance", str(threshold), "--index", areas,
               "--index-samples", "200", *more) == 0
    printed = capsys.readouterr().out
    assert "log score" in printed and "WAIC" in printed

    residuals = pd.read_csv(out / "residuals.csv")
    assert list(residuals.columns) == ["row", "x", "y", *(["time"] if time else []), "value",
                                       "cpo", "pit", "residual"]
    assert len(residuals) == 150 and residuals.pit.between(0, 1).all()
    assert np.isfinite(residuals.residual).all() and (residuals.cpo > 0).all()
    for picture in ("diagnostics.png", "posterior.png", "index.png"):
        assert (out / picture).read_bytes()[:4] == b"\x89PNG"

    # The layer is named the same in the three map files, and is a probability.
    grid = np.load(out / "posterior_grid.npz")
    layer = grid["exceedance"]
    assert layer.shape == grid["mean"].shape
    inside = np.isfinite(layer)
    assert inside.any() and np.all((layer[inside] >= 0) & (layer[inside] <= 1))
    with rasterio.open(out / "posterior.tif") as tif:
        assert ("exceedance 2002" if time else "exceedance") in tif.descriptions
    with xarray.open_dataset(out / "posterior.nc") as nc:
        assert nc["exceedance"].attrs["threshold"] == threshold
    # ... and agrees with the fit's own exceedance at a cell (its step, for time steps).
    fit = fits[-1]
    cell = tuple(np.argwhere(inside)[len(np.argwhere(inside)) // 2])
    j, i = cell[-1], cell[-2]
    step = {"time": grid["time"][cell[0]:cell[0] + 1]} if time else {}
    scale = "link" if family == "gaussian" else "response"
    expected = fit.exceedance([[grid["x"][j], grid["y"][i]]], threshold, scale=scale, **step)
    np.testing.assert_allclose(layer[cell], expected[0], rtol=1e-6, atol=1e-9)

    index = pd.read_csv(out / "index.csv", dtype={"region": str})
    names = ["west", "east", "offshore"] if named else ["0", "1", "2"]
    steps = YEARS if time else (None,)
    assert list(index.columns) == ["region", "area", *(["time"] if time else []), "estimate",
                                   "sd", "lower", "upper", "log_sd"]
    assert list(index.region) == [name for _ in steps for name in names]
    if time:
        assert list(index.time) == [year for year in YEARS for _ in names]
    np.testing.assert_allclose(index.area, [2.88, 2.88, 1.0] * len(steps))
    near, far = index[index.region != names[2]], index[index.region == names[2]]
    assert (near.lower < near.estimate).all() and (near.estimate < near.upper).all()
    assert far.estimate.isna().all() and f"'{names[2]}' (100%" in printed


def test_an_index_file_in_another_crs_is_reprojected_to_the_data(tmp_path, capsys):
    """Data in longitude and latitude, regions in web Mercator: the regions' areas are
    those of the polygons in square metres, and the region over the data has an index."""
    rng = np.random.default_rng(3)
    lon, lat = rng.uniform(10.0, 10.4, 120), rng.uniform(50.0, 50.2, 120)
    count = rng.poisson(np.exp(0.5 + np.sin(8 * lon)))
    path = write_table(tmp_path / "survey.csv", {"lon": lon, "lat": lat, "count": count})
    boxes = geopandas.GeoSeries([shapely.box(10.05, 50.02, 10.35, 50.18),
                                 shapely.box(10.3, 50.1, 10.6, 50.4)], crs="EPSG:4326")
    mercator = boxes.to_crs("EPSG:3857")
    geopandas.GeoDataFrame({"id": ["core", "edge"]}, geometry=mercator).to_file(tmp_path / "m.gpkg")
    out = tmp_path / "out"
    assert main(["fit", path, "--x", "lon", "--y", "lat", "--crs", "EPSG:4326", "--value", "count",
                 "--family", "poisson", "--out", str(out), "--grid", "20", "12", "--quiet",
                 "--max-edge", "4000", "--index", str(tmp_path / "m.gpkg"),
                 "--index-samples", "100"]) == 0
    printed = capsys.readouterr().out
    index = pd.read_csv(out / "index.csv")
    equal_area = mercator.to_crs("EPSG:6933").area.to_numpy()
    np.testing.assert_allclose(index.area, equal_area, rtol=0.01)
    assert list(index.region) == ["core", "edge"] and np.isfinite(index.estimate[0])
    # Half of "edge" lies beyond the mesh: NaN, and a note says so.
    assert np.isnan(index.estimate[1]) and "'edge'" in printed


@pytest.mark.parametrize("family, options, message", [
    ("poisson", ["--exceedance", "nan"], "--exceedance must be a finite number, got nan"),
    ("poisson", ["--exceedance", "-1"], "--exceedance -1: the expected count per unit of "
     "exposure of the poisson family is always above it, so the layer would be 1 everywhere: "
     "give a threshold above 0"),
    ("binomial", ["--exceedance", "1.5"], "give a threshold between 0 and 1"),
    ("poisson", ["--index", "absent.gpkg"], "--index: no such file: absent.gpkg"),
    ("poisson", ["--index", "{points}"], "has no polygons (found Point): the index needs polygon"),
    ("poisson", ["--index", "{degrees}"], "is in longitude and latitude (WGS 84) and the data "
     "have no CRS: give the data's CRS with --crs"),
    ("poisson", ["--index", "{areas}", "--covariates", "year"],
     "no --covariate-raster for year (give --covariate-raster year=FILE)"),
])
def test_bad_options_are_refused_in_one_line_before_the_fit(tmp_path, capsys, family, options,
                                                            message):
    path = write_survey(tmp_path, family)
    files = {"points": tmp_path / "points.geojson", "degrees": tmp_path / "degrees.gpkg",
             "areas": tmp_path / "areas.gpkg"}
    geopandas.GeoDataFrame(geometry=[shapely.Point(1, 1)]).to_file(files["points"])
    write_regions(files["degrees"], [(0, 0, 2, 2)], crs="EPSG:4326")
    write_regions(files["areas"], [(0, 0, 2, 2)])
    options = [o.format(**files) for o in options]
    assert run(path, tmp_path / "out", "--family", family, *options) == 2
    captured = capsys.readouterr()
    err = captured.err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("python -m corvid fit: error: ")
    assert message in err[0]
    assert "mesh:" not in captured.out and not (tmp_path / "out").exists()

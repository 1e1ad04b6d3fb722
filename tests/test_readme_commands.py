"""The README's example commands run as printed, on files of the names they use."""

import os
import re
import shlex
import subprocess
import sys

import numpy as np
import pytest

rasterio = pytest.importorskip("rasterio")
gpd = pytest.importorskip("geopandas")
shapely = pytest.importorskip("shapely")
pytest.importorskip("triangle")
from user_files import coast, elevation, write_elevation_raster  # noqa: E402

README = os.path.join(os.path.dirname(__file__), os.pardir, "README.md")


def fit_commands():
    """The `python -m corvid fit` commands of the README's shell blocks, continuations joined."""
    text = open(README, encoding="utf-8").read()
    commands = []
    for block in re.findall(r"```sh\n(.*?)```", text, flags=re.S):
        for command in block.replace("\\\n", " ").splitlines():
            command = command.split("#")[0].strip()
            if command.startswith(".venv/bin/python -m corvid fit"):
                commands.append(command)
    return commands


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """stations.csv, coast.gpkg, elevation.tif, sites.csv, survey.csv and areas.gpkg as the
    README describes them."""
    root = tmp_path_factory.mktemp("readme")
    rng = np.random.default_rng(9)
    region = coast()
    gpd.GeoDataFrame(geometry=[region], crs="EPSG:4326").to_file(root / "coast.gpkg")
    lonlat = rng.uniform([12.0, 61.0], [18.0, 63.0], (800, 2))
    lonlat = lonlat[shapely.contains_xy(region, *lonlat.T)][:200]
    height = elevation(*lonlat.T)
    temp = 5.0 - 0.006 * height + np.sin(lonlat[:, 0]) + 0.2 * rng.normal(size=len(lonlat))
    (root / "stations.csv").write_text("lon,lat,elevation,temp\n" + "".join(
        f"{a},{b},{c},{d}\n" for a, b, c, d in zip(*lonlat.T, height, temp)))
    write_elevation_raster(root / "elevation.tif")
    x, y, effort = rng.uniform(0, 10, 300), rng.uniform(0, 5, 300), rng.uniform(0.5, 2.0, 300)
    count = rng.poisson(effort * np.exp(0.3 + np.sin(x / 2.0)))
    (root / "sites.csv").write_text("x,y,effort,count\n" + "".join(
        f"{a},{b},{c},{d}\n" for a, b, c, d in zip(x, y, effort, count)))
    year, vessel = rng.choice([2021, 2022, 2023], 300), rng.choice(["Aurora", "Boreas", "Cygnus"], 300)
    depth = rng.uniform(20.0, 200.0, 300)
    catch = rng.poisson(np.exp(0.3 + np.sin(x / 2.0) + 0.2 * (year - 2022) + np.sin(depth / 60.0)))
    (root / "survey.csv").write_text("x,y,count,year,vessel,depth\n" + "".join(
        f"{a},{b},{c},{d},{e},{f}\n" for a, b, c, d, e, f in zip(x, y, catch, year, vessel, depth)))
    gpd.GeoDataFrame({"name": ["west", "east"]}, geometry=[shapely.box(0, 0, 5, 5),
                                                          shapely.box(5, 0, 10, 5)]
                     ).to_file(root / "areas.gpkg")
    return root


def test_the_readme_has_its_commands():
    assert len(fit_commands()) >= 3 and any("--region" in c for c in fit_commands())


@pytest.mark.parametrize("command", fit_commands())
def test_a_readme_command_runs_as_printed(files, command):
    argv = [sys.executable] + shlex.split(command)[1:]
    result = subprocess.run(argv, cwd=files, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    out = files / argv[argv.index("--out") + 1]
    assert (out / "posterior.tif").stat().st_size > 0 and (out / "model" / "gfield.M0").exists()

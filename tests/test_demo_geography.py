"""The demo's geography step: a GeoTIFF in the projection of stations at 68° N, checked by
reading it back, beside the coast and the elevation raster it was made from."""

import pytest

from corvid.__main__ import main

rasterio = pytest.importorskip("rasterio")
pytest.importorskip("geopandas")
pytest.importorskip("triangle")


def test_the_demo_writes_a_georeferenced_map_and_checks_it(tmp_path, capsys):
    out = tmp_path / "run"
    assert main(["demo", "--out", str(out), "--max-edge", "2", "--n-obs", "200", "--grid", "30", "20"]) == 0
    printed = capsys.readouterr().out
    assert "read back with rasterio, its CRS, transform and values are the map's" in printed
    assert "lapse rate: truth -0.0065 per m" in printed
    with rasterio.open(out / "geography" / "posterior.tif") as tif:
        assert tif.crs.is_projected and tif.descriptions == ("mean", "sd")
    assert (out / "geography" / "coast.gpkg").exists() and (out / "geography" / "elevation.tif").exists()

"""Islands and holes far smaller than the mesh resolves are left out (holes filled) before
meshing, with one warning giving their count and area; what is kept is checked against
shapely's own areas and buffers. Costs are benchmarks/bench_mesh_features.py's."""

import warnings

import numpy as np
import pytest

pytest.importorskip("triangle")
shapely = pytest.importorskip("shapely")

from corvid.meshkin.regions import SmallFeaturesWarning, region_mesh  # noqa: E402

SQUARE = np.array([[0.0, 0.0], [20.0, 0.0], [20.0, 20.0], [0.0, 20.0]])


def ring(centre, across, k=8):
    t = np.linspace(0.0, 2.0 * np.pi, k, endpoint=False)
    return np.asarray(centre) + 0.5 * across * np.column_stack([np.cos(t), np.sin(t)])


def scattered(n, low, high, across, seed):
    """n rings `across` wide on a grid in the box low..high, apart from each other."""
    k = int(np.ceil(np.sqrt(n)))
    grid = np.linspace(low, high, k + 2)[1:-1]
    centres = np.stack(np.meshgrid(grid, grid), -1).reshape(-1, 2)[:n]
    centres += np.random.default_rng(seed).uniform(-0.1, 0.1, centres.shape) * (high - low) / k
    return [ring(c, across) for c in centres]


LAKES = scattered(400, 0.0, 20.0, 0.04, seed=1)
ISLETS = scattered(300, 25.0, 45.0, 0.05, seed=2)          # east of the square, in the sea
BIG = [ring((30.0, 5.0), 3.0), ring((40.0, 15.0), 2.0)]


def region_area(mesh):
    corners = mesh.loc[mesh.tv[mesh.in_region]]
    a, b = corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]
    return 0.5 * np.sum(a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0])


def only_warning(caught):
    small = [w.message for w in caught if issubclass(w.category, SmallFeaturesWarning)]
    assert len(small) == 1, [str(w.message) for w in caught]
    return small[0]


def test_lakes_far_below_the_resolution_are_filled_and_the_mesh_is_the_lakeless_one():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        mesh = region_mesh(SQUARE, holes=LAKES, max_edge=1.0)
    said = only_warning(caught)
    area = sum(shapely.Polygon(h).area for h in LAKES)
    assert f"400 hole(s) of {area:.4g} in all filled" in str(said)
    assert "min_feature=0 keeps every feature" in str(said)
    assert said.left_out.holes == 400 and said.left_out.hole_area == pytest.approx(area)
    plain = region_mesh(SQUARE, max_edge=1.0)
    np.testing.assert_array_equal(mesh.loc, plain.loc)
    np.testing.assert_array_equal(mesh.tv, plain.tv)
    kept = region_mesh(SQUARE, holes=LAKES[:20], max_edge=1.0, min_feature=0.0)
    assert kept.n > plain.n + 20 * 20  # what twenty lakes cost the mesh when kept


def test_islets_go_but_the_large_islands_and_those_with_points_stay():
    sites = np.array([ISLETS[7].mean(axis=0), ISLETS[100][0] + [0.3, 0.0], [10.0, 10.0]])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        mesh = region_mesh([SQUARE, *BIG, *ISLETS], points=sites, max_edge=(1.0, 2.0), offset=1.0)
    said = only_warning(caught)
    gone = [p for k, p in enumerate(ISLETS) if k not in (7, 100)]
    assert said.left_out.islands == 298
    assert said.left_out.island_area == pytest.approx(sum(shapely.Polygon(p).area for p in gone))
    kept = [SQUARE, *BIG, ISLETS[7], ISLETS[100]]
    assert region_area(mesh) == pytest.approx(sum(shapely.Polygon(p).area for p in kept), rel=1e-9)
    np.testing.assert_allclose(mesh.loc[mesh.point_vertex[[0, 2]]], sites[[0, 2]], atol=1e-9)


def test_a_buffer_around_many_islands_is_the_buffer_of_them_all():
    islands = [SQUARE, *BIG, *scattered(150, 25.0, 45.0, 0.8, seed=3)]
    mesh = region_mesh(islands, max_edge=(1.0, 3.0), offset=2.0)
    # the outline lies between the offsets by 0.9 and 1 times the width (arcs in chords,
    # then simplified by 2% of the width)
    whole = shapely.MultiPolygon([shapely.Polygon(p) for p in islands])
    corners = mesh.loc[mesh.tv]
    a, b = corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0]
    area = 0.5 * np.sum(a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0])
    assert shapely.buffer(whole, 1.8).area < area < shapely.buffer(whole, 2.0).area
    assert shapely.covers(shapely.buffer(whole, 2.0 + 1e-9), shapely.points(mesh.loc)).all()
    assert mesh.quality().buffer_edges[4] <= 3.0


def test_an_island_in_a_filled_lake_becomes_region_again():
    lake, islet = ring((10.0, 10.0), 0.3), ring((10.0, 10.0), 0.1)
    with pytest.warns(SmallFeaturesWarning, match=r"1 hole\(s\) of .* in all filled"):
        mesh = region_mesh([SQUARE, islet], holes=[lake], max_edge=1.0)
    assert region_area(mesh) == pytest.approx(400.0)


def test_a_max_edge_beyond_the_region_keeps_its_features():
    # the default is at most a twentieth of the region's extent
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        mesh = region_mesh(SQUARE, holes=[ring((5.0, 5.0), 1.5)], max_edge=100.0)
    assert region_area(mesh) == pytest.approx(400.0 - shapely.Polygon(ring((5, 5), 1.5)).area)


@pytest.mark.parametrize("value", [-1.0, float("nan"), "big", float("inf")])
def test_a_bad_min_feature_is_refused(value):
    with pytest.raises(ValueError, match="min_feature must be"):
        region_mesh(SQUARE, max_edge=1.0, min_feature=value)


def test_gis_regions_lose_their_small_features_once_and_keep_adjoining_pieces():
    gpd = pytest.importorskip("geopandas")
    from corvid.geo import read_region

    mainland = shapely.Polygon(SQUARE, [h for h in LAKES[:50]])
    adjoining = shapely.box(20.0, 0.0, 20.1, 0.1)  # small, but shares an edge with the mainland
    frame = gpd.GeoDataFrame(geometry=[mainland, adjoining, *map(shapely.Polygon, BIG + ISLETS)])
    with warnings.catch_warnings(record=True) as caught:  # min_feature alone: no simplification
        warnings.simplefilter("always")
        region = read_region(frame, min_feature=0.5)
    said = only_warning(caught)
    assert (said.left_out.islands, said.left_out.holes) == (300, 50)
    assert len(region.shells) == 3 and not region.holes
    outline = max((shapely.Polygon(s) for s in region.shells), key=lambda p: p.area)
    assert outline.area == pytest.approx(400.0 + 0.01, rel=1e-12)  # the piece joined, no lakes
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        mesh = region_mesh(frame, max_edge=1.0)
    assert only_warning(caught).left_out == said.left_out
    assert region_area(mesh) == pytest.approx(400.01 + sum(shapely.Polygon(p).area for p in BIG), rel=1e-3)


def test_the_fit_command_says_what_it_left_out_of_the_region_in_its_own_terms(tmp_path, capsys):
    gpd = pytest.importorskip("geopandas")
    from corvid.__main__ import main
    from user_files import write_table

    gpd.GeoDataFrame(geometry=[shapely.Polygon(SQUARE), *map(shapely.Polygon, ISLETS)],
                     crs="EPSG:3857").to_file(tmp_path / "coast.gpkg")
    xy = np.random.default_rng(5).uniform(1.0, 19.0, (80, 2))
    data = write_table(tmp_path / "d.csv", {"x": xy[:, 0], "y": xy[:, 1], "v": np.sin(xy[:, 0])})
    assert main(["fit", data, "--x", "x", "--y", "y", "--value", "v", "--crs", "EPSG:3857",
                 "--region", str(tmp_path / "coast.gpkg"), "--max-edge", "2", "--out",
                 str(tmp_path / "out"), "--grid", "10", "10", "--quiet"]) == 0
    err = [line for line in capsys.readouterr().err.splitlines() if "island" in line]
    assert len(err) == 1 and "--region: 300 island(s) of" in err[0]
    assert "a shorter --max-edge keeps more" in err[0] and "min_feature" not in err[0]

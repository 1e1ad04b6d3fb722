"""Study regions from GIS data: files GeoPandas writes, reprojection by pyproj, repairs and
refusals, simplification that keeps the observation points, and region_mesh reading them."""

import pickle
import warnings

import numpy as np
import pytest

gpd = pytest.importorskip("geopandas")
pytest.importorskip("pyogrio")
pyproj = pytest.importorskip("pyproj")
shapely = pytest.importorskip("shapely")
pytest.importorskip("triangle")
from shapely.geometry import LineString, MultiPolygon, Point, Polygon  # noqa: E402

from corvid.geo import Projection, read_region  # noqa: E402
from corvid.meshkin.regions import RegionMesh, region_mesh  # noqa: E402

UTM = "EPSG:32633"
# a coast with a lake, and an island, in metres of UTM zone 33N
MAINLAND = Polygon([(400_000, 5_500_000), (440_000, 5_500_000), (440_000, 5_530_000), (400_000, 5_530_000)],
                   [[(410_000, 5_510_000), (420_000, 5_510_000), (420_000, 5_520_000), (410_000, 5_520_000)]])
ISLAND = Polygon([(450_000, 5_505_000), (460_000, 5_505_000), (455_000, 5_515_000)])
DRIVERS = {"gpkg": "GPKG", "shp": "ESRI Shapefile", "geojson": "GeoJSON"}


def write(tmp_path, geometries, crs=UTM, suffix="gpkg"):
    path = tmp_path / f"region.{suffix}"
    gpd.GeoDataFrame({"name": [f"f{i}" for i in range(len(geometries))]}, geometry=geometries,
                     crs=crs).to_file(path, driver=DRIVERS[suffix])
    return path


def mesh_area(mesh):
    p0, p1, p2 = (mesh.loc[mesh.tv[:, k]] for k in range(3))
    (ax, ay), (bx, by) = (p1 - p0).T, (p2 - p0).T
    area = 0.5 * np.abs(ax * by - ay * bx)
    return area[mesh.in_region].sum()


@pytest.mark.parametrize("suffix", sorted(DRIVERS))
def test_islands_and_holes_survive_a_file_and_the_crs_comes_along(tmp_path, suffix):
    path = write(tmp_path, [MAINLAND, ISLAND], suffix=suffix)
    region = read_region(path)
    assert len(region.shells) == 2 and len(region.holes) == 1
    assert region.crs == pyproj.CRS(UTM)
    assert sum(Polygon(s).area for s in region.shells) - sum(Polygon(h).area for h in region.holes) \
        == pytest.approx(MAINLAND.area + ISLAND.area, rel=1e-12)
    mesh = region_mesh(str(path), max_edge=2000.0)
    assert mesh.crs == pyproj.CRS(UTM)
    assert mesh_area(mesh) == pytest.approx(MAINLAND.area + ISLAND.area, rel=1e-9)
    centroids = mesh.loc[mesh.tv].mean(axis=1)
    assert not shapely.contains_xy(Polygon(MAINLAND.interiors[0]), centroids[:, 0], centroids[:, 1]).any()


@pytest.mark.parametrize("kind", ["shapely", "multipolygon", "list", "geoseries", "geodataframe"])
def test_in_memory_sources(kind):
    frame = gpd.GeoDataFrame(geometry=[MAINLAND, ISLAND], crs=UTM)
    source = {"shapely": MAINLAND, "multipolygon": MultiPolygon([MAINLAND, ISLAND]),
              "list": [MAINLAND, ISLAND], "geoseries": frame.geometry, "geodataframe": frame}[kind]
    region = read_region(source, crs=UTM)
    assert len(region.holes) == 1 and region.crs == pyproj.CRS(UTM)
    assert len(region.shells) == (1 if kind == "shapely" else 2)


def test_a_file_in_degrees_is_projected_into_the_working_crs(tmp_path):
    lonlat = gpd.GeoSeries([MAINLAND], crs=UTM).to_crs("EPSG:4326")
    path = write(tmp_path, list(lonlat), crs="EPSG:4326", suffix="geojson")
    with pytest.raises(ValueError, match="longitude and latitude"):
        read_region(path)
    shell = np.asarray(lonlat[0].exterior.coords)[:-1]
    projection = Projection("EPSG:4326", data=shell, unit="km")
    region = read_region(path, crs=projection)
    assert region.crs == projection.target and projection.unit == "km"
    expected = projection.forward(shell)
    np.testing.assert_allclose(np.sort(region.shells[0], axis=0), np.sort(expected, axis=0), atol=1e-9)
    mesh = region_mesh(path, crs=projection, max_edge=2.0)
    assert mesh.crs == projection.target
    assert mesh_area(mesh) == pytest.approx(Polygon(expected).area - Polygon(projection.forward(
        np.asarray(lonlat[0].interiors[0].coords))).area, rel=1e-9)


def test_a_region_without_crs_is_taken_in_the_working_crs():
    region = read_region(MAINLAND, crs="EPSG:3035")
    assert region.crs == pyproj.CRS("EPSG:3035")
    np.testing.assert_array_equal(np.sort(region.shells[0], axis=0),
                                  np.sort(np.asarray(MAINLAND.exterior.coords)[:-1], axis=0))


def test_an_invalid_feature_is_repaired_with_a_warning_naming_it(tmp_path):
    bowtie = Polygon([(470_000, 5_500_000), (480_000, 5_510_000), (480_000, 5_500_000), (470_000, 5_510_000)])
    path = write(tmp_path, [MAINLAND, bowtie])
    with pytest.warns(UserWarning, match=r"feature 1 of region.gpkg is an invalid polygon \(Self-intersection"):
        region = read_region(path)
    # make_valid keeps both halves of the bow tie: two triangles touching at their tips
    assert len(region.shells) == 3
    assert sum(Polygon(s).area for s in region.shells) == pytest.approx(Polygon(MAINLAND.exterior).area
                                                                        + 0.5 * 10_000**2)


def test_a_feature_that_repair_cannot_make_a_polygon_is_refused(tmp_path):
    flat = Polygon([(0, 0), (1, 1), (2, 2), (0, 0)])
    with pytest.raises(ValueError, match="feature 1 of the GeoDataFrame .* cannot turn into a polygon"):
        read_region(gpd.GeoDataFrame(geometry=[MAINLAND, flat], crs=UTM))


def test_a_file_without_polygons_is_refused(tmp_path):
    path = write(tmp_path, [Point(0, 0), LineString([(0, 0), (1, 1)])])
    with pytest.raises(ValueError, match=r"region.gpkg has no polygons \(its geometries: LineString, Point\)"):
        read_region(path)


@pytest.mark.parametrize("content", [None, b"this is not a GeoPackage\n"])
def test_a_file_that_cannot_be_read_is_one_value_error_with_its_path(tmp_path, content):
    path = tmp_path / "coast.gpkg"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(ValueError, match=f"cannot read the region from {path}"):
        region_mesh(str(path), max_edge=1.0)


def test_points_of_the_wrong_shape_are_refused():
    with pytest.raises(ValueError, match=r"points must be a \(k, 2\) array"):
        read_region(MAINLAND, max_edge=1000.0, points=np.zeros((4, 3)))


def test_holes_beside_a_gis_region_are_refused():
    with pytest.raises(ValueError, match="holes come from the interiors"):
        region_mesh(MAINLAND, holes=[[(0, 0), (1, 0), (0, 1)]], max_edge=1000.0)


def wiggly(vertices, radius, wiggle, seed=0):
    """A ring around the origin whose radius zigzags by about `wiggle` between vertices."""
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, 2.0 * np.pi, vertices, endpoint=False)
    r = radius + wiggle * rng.uniform(-1.0, 1.0, vertices)
    return np.column_stack([r * np.cos(t), r * np.sin(t)])


def test_a_detailed_coast_is_simplified_within_a_quarter_edge():
    coast = Polygon(wiggly(20_000, 10_000.0, 40.0))
    max_edge = 1000.0
    region = read_region(coast, max_edge=max_edge)
    simple = Polygon(region.shells[0])
    assert len(region.shells[0]) < 1000
    assert simple.hausdorff_distance(coast) <= max_edge / 4
    mesh = region_mesh(coast, max_edge=max_edge)
    assert mesh.n < 2 * region_mesh(Point(0, 0).buffer(10_000.0, 64), max_edge=max_edge).n


def test_points_by_the_shores_stay_inside_the_simplified_region():
    coast, lake = wiggly(20_000, 10_000.0, 150.0, seed=4), wiggly(5_000, 3_000.0, 150.0, seed=5)
    island = Polygon(coast, [lake])
    # points just inside the shore's outermost bumps and the lake's innermost ones, which
    # simplification cuts off
    def tips(ring, outward):
        r = np.hypot(*ring.T)
        pick = np.argsort(outward * r)[-150:]
        return ring[pick] * (1.0 - outward * 2.0 / r[pick])[:, None]

    points = np.vstack([tips(coast, 1.0), tips(lake, -1.0)])
    assert shapely.covers(island, shapely.points(points)).all()
    plain = shapely.simplify(island, 250.0, preserve_topology=True)
    assert shapely.covers(plain, shapely.points(points)).mean() < 0.8  # the fault guarded against

    region = read_region(island, max_edge=1000.0, points=points)
    assert len(region.shells) == 1 and len(region.holes) == 1
    simple = Polygon(region.shells[0], region.holes)
    assert shapely.covers(simple, shapely.points(points)).all()
    assert len(region.shells[0]) + len(region.holes[0]) < (len(coast) + len(lake)) / 4
    assert simple.hausdorff_distance(island) <= 300.0
    mesh = region_mesh(island, points=points, max_edge=1000.0)
    np.testing.assert_allclose(mesh.loc[mesh.point_vertex], points, rtol=0, atol=1e-6)


def test_a_region_mesh_with_a_crs_pickles():
    mesh = region_mesh(MAINLAND, crs=UTM, max_edge=3000.0, offset=5000.0)
    assert isinstance(mesh, RegionMesh) and mesh.crs == pyproj.CRS(UTM)
    copy = pickle.loads(pickle.dumps(mesh))
    assert copy.crs == mesh.crs
    for name in ("loc", "tv", "in_region", "boundary_edges", "point_vertex"):
        np.testing.assert_array_equal(getattr(copy, name), getattr(mesh, name))


def test_arrays_keep_working_and_only_label_the_crs():
    square = [(0.0, 0.0), (4.0, 0.0), (4.0, 4.0), (0.0, 4.0)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        plain = region_mesh(square, max_edge=1.0)
        labelled = region_mesh(square, max_edge=1.0, crs="EPSG:3857")
    assert plain.crs is None and labelled.crs == "EPSG:3857"
    np.testing.assert_array_equal(plain.loc, labelled.loc)

"""corvid.geo.Projection and looks_like_degrees, checked against pyproj's geodesics, its
own transformers and areas on the ellipsoid; and corvid without the geo extra."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

pyproj = pytest.importorskip("pyproj")

from corvid.geo import Projection, looks_like_degrees  # noqa: E402

GEOD = pyproj.Geod(ellps="WGS84")


def around(centre, radius_km, n, seed=0):
    """n points within radius_km of centre (lon, lat), placed along geodesics."""
    rng = np.random.default_rng(seed)
    azimuth = rng.uniform(0.0, 360.0, n)
    distance = radius_km * 1000.0 * np.sqrt(rng.uniform(0.0, 1.0, n))
    lon, lat, _ = GEOD.fwd(np.full(n, centre[0]), np.full(n, centre[1]), azimuth, distance)
    return np.column_stack([lon, lat])


@pytest.mark.parametrize("centre", [(10.0, 60.0), (179.5, -20.0), (-70.0, -80.0), (0.0, 0.0)],
                         ids=["norway", "dateline", "antarctic", "gulf of guinea"])
def test_planar_distances_match_geodesics_near_the_centre(centre):
    lonlat = around(centre, 300.0, 200)
    projection = Projection("EPSG:4326", data=lonlat)
    assert projection.unit == "km"
    xy = projection.forward(lonlat)
    i, j = np.triu_indices(len(lonlat), 1)
    planar = np.hypot(*(xy[i] - xy[j]).T)
    _, _, geodesic = GEOD.inv(lonlat[i, 0], lonlat[i, 1], lonlat[j, 0], lonlat[j, 1])
    # within 300 km of the centre the equal-area projection's scale is off by < (300/2R)^2
    np.testing.assert_allclose(planar, geodesic / 1000.0, rtol=1.5e-3)
    np.testing.assert_allclose(projection.inverse(xy), lonlat, atol=1e-9)
    # and it is centred on the data, across the 180th meridian too
    assert np.all(np.abs(xy.mean(axis=0)) < 60.0)


def test_the_chosen_projection_keeps_areas():
    ring = around((25.0, 45.0), 800.0, 40, seed=3)
    ring = ring[np.argsort(np.arctan2(ring[:, 1] - 45.0, ring[:, 0] - 25.0))]  # a simple polygon
    projection = Projection("EPSG:4326", data=ring)
    x, y = projection.forward(ring).T
    planar = 0.5 * abs(np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1)))
    # the ellipsoidal area of the polygon whose edges are straight in the projection
    dense = np.concatenate([np.linspace(p, q, 200, endpoint=False)
                            for p, q in zip(np.column_stack([x, y]), np.roll(np.column_stack([x, y]), -1, axis=0))])
    lon, lat = projection.inverse(dense).T
    area, _ = GEOD.polygon_area_perimeter(lon, lat)
    assert planar == pytest.approx(abs(area) / 1e6, rel=1e-6)


@pytest.mark.parametrize("radius_km, unit", [(5.0, "m"), (20.0, "m"), (40.0, "km"), (500.0, "km")])
def test_unit_follows_the_data_span(radius_km, unit):
    lonlat = around((-3.0, 52.0), radius_km, 50)
    projection = Projection("EPSG:4326", data=lonlat)
    assert projection.unit == unit
    metres = Projection("EPSG:4326", data=lonlat, unit="m").forward(lonlat)
    scale = 1000.0 if unit == "km" else 1.0
    np.testing.assert_allclose(projection.forward(lonlat) * scale, metres, rtol=1e-12, atol=1e-6)


def test_a_named_projected_target_is_used_as_it_is():
    lonlat = around((15.0, 50.0), 100.0, 20)
    projection = Projection("EPSG:4326", "EPSG:32633", data=lonlat)
    expected = np.column_stack(pyproj.Transformer.from_crs("EPSG:4326", "EPSG:32633", always_xy=True)
                               .transform(lonlat[:, 0], lonlat[:, 1]))
    np.testing.assert_array_equal(projection.forward(lonlat), expected)
    assert projection.target == pyproj.CRS("EPSG:32633") and projection.unit == "m"


def test_a_projected_source_is_kept_or_put_in_kilometres():
    xy = np.array([[500_000.0, 5_500_000.0], [510_000.0, 5_512_000.0]])
    same = Projection("EPSG:32633")
    assert same.target == same.source and same.unit == "m"
    np.testing.assert_array_equal(same.forward(xy), xy)
    km = Projection(pyproj.CRS("EPSG:32633"), unit="km")
    np.testing.assert_allclose(km.forward(xy), xy / 1000.0, rtol=1e-12)
    np.testing.assert_allclose(km.inverse(km.forward(xy)), xy, rtol=1e-12)


def test_a_projection_pickles_and_maps_the_same():
    lonlat = around((140.0, 36.0), 200.0, 30)
    projection = Projection("EPSG:4326", data=lonlat)
    copy = pickle.loads(pickle.dumps(projection))
    assert copy.target == projection.target and copy.unit == projection.unit
    np.testing.assert_array_equal(copy.forward(lonlat), projection.forward(lonlat))


@pytest.mark.parametrize("args, kwargs, message", [
    (("EPSG:999999",), {"data": [[0.0, 0.0]]}, "'EPSG:999999' is not a coordinate reference system"),
    (("not a crs at all",), {}, "not a coordinate reference system pyproj knows"),
    (("EPSG:4326",), {}, "give data="),
    (("EPSG:4326", "EPSG:4258"), {}, "target must be a projected CRS"),
    (("EPSG:4326",), {"centre": (0.0, 0.0), "unit": "mile"}, "unit must be 'm' or 'km'"),
    (("EPSG:4326", "EPSG:3035"), {"unit": "km"}, "keeps its own units"),
    (("EPSG:4326",), {"data": [[0.0, 0.0], [100.0, 0.0], [-100.0, 0.0]]}, "too far for one planar projection"),
])
def test_bad_projections_are_one_clear_value_error(args, kwargs, message):
    with pytest.raises(ValueError, match=message):
        Projection(*args, **kwargs)


@pytest.mark.parametrize("xy, names, expected", [
    ([[8.5, 47.4], [-122.3, 37.8]], None, True),
    ([[500_000.0, 5_500_000.0]], None, False),
    ([[200.0, 10.0]], None, False),
    ([[10.0, 95.0]], None, False),
    ([[500_000.0, 5_500_000.0]], ["Longitude", "y"], True),
    ([[500_000.0, 5_500_000.0]], ["x", " LAT "], True),
    ([[500_000.0, 5_500_000.0]], ["easting", "northing"], False),
    (np.empty((0, 2)), None, False),
    ([[np.nan, np.nan], [3.0, 4.0]], None, True),
])
def test_looks_like_degrees(xy, names, expected):
    assert looks_like_degrees(xy, names) is expected


def test_corvid_works_without_the_geo_extra():
    """With the geo libraries hidden, corvid imports, meshes and fits; geo functions say
    which extra to install."""
    script = """
import sys
for name in ("pyproj", "shapely", "geopandas", "pyogrio", "rasterio", "xarray", "rioxarray", "dask"):
    sys.modules[name] = None
import numpy as np
import corvid.geo
from corvid.meshkin.mesh import MkMesh
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.fit import fit_gaussian
mesh = MkMesh.regular_grid((0, 1), (0, 1), (12, 12))
rng = np.random.default_rng(0)
loc = rng.uniform(0, 1, (60, 2))
fit = fit_gaussian(gfield2_pcmatern(mesh, prior_range=(0.3, 0.5), prior_sigma=(1, 0.1)), loc,
                   np.sin(3 * loc[:, 0]) + 0.1 * rng.normal(size=60))
assert np.isfinite(fit.predict(loc)[0]).all()
for call in (lambda: corvid.geo.Projection("EPSG:4326", centre=(0, 0)),
             lambda: corvid.geo.read_region("region.gpkg"),
             lambda: corvid.geo.Raster("dem.tif").sample([[0.0, 0.0]]),
             lambda: corvid.geo.posterior_maps(lambda p, c: {}, (2, 2), (0, 1), (0, 1), crs=None)):
    try:
        call()
    except ImportError as exc:
        assert "pip install 'corvid[geo]'" in str(exc), exc
    else:
        raise AssertionError("no ImportError")
print("fine")
"""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "fine"

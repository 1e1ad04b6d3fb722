"""Many rows at few stations: copies of a location are one point to the mesher. The mesh is
the one made from the distinct locations, every copy stands on its station's vertex, and
sizes are counted in distinct points (what it costs is benchmarks/bench_mesh_duplicates.py's)."""

import numpy as np
import pytest

pytest.importorskip("triangle")
pytest.importorskip("shapely")

from corvid.meshkin.regions import region_mesh  # noqa: E402

RNG = np.random.default_rng(11)
STATIONS = RNG.uniform(0.0, 100.0, (40, 2))


@pytest.mark.parametrize("stations, rows", [(3, 50_000), (40, 20_000), (40, 40)])
@pytest.mark.parametrize("cutoff", [0.0, 2.0])
def test_copies_give_the_mesh_of_the_distinct_points(stations, rows, cutoff):
    which = np.concatenate([np.arange(stations), RNG.integers(0, stations, rows - stations)])
    rows_xy = STATIONS[which]
    settings = dict(max_edge=(8.0, 20.0), offset=15.0, cutoff=cutoff, max_vertices=5_000)
    mesh = region_mesh(points=rows_xy, **settings)
    distinct = region_mesh(points=STATIONS[:stations], **settings)
    np.testing.assert_array_equal(mesh.loc, distinct.loc)
    np.testing.assert_array_equal(mesh.tv, distinct.tv)
    np.testing.assert_array_equal(mesh.point_vertex, distinct.point_vertex[which])
    assert np.all(np.hypot(*(mesh.loc[mesh.point_vertex] - rows_xy).T) <= 2 * cutoff + 1e-12)


def test_rows_count_once_per_location_against_max_vertices():
    rows = STATIONS[np.arange(200_000) % 3]
    mesh = region_mesh([(-10, -10), (110, -10), (110, 110), (-10, 110)], points=rows,
                       max_edge=30.0, max_vertices=200)
    assert mesh.n < 200 and len(np.unique(mesh.point_vertex)) == 3


def test_a_location_outside_is_named_by_its_first_row_and_all_its_rows_are_counted():
    rows = np.vstack([STATIONS[:5], [[500.0, 500.0]] * 7, STATIONS[5:10], [[500.0, 500.0]] * 3])
    with pytest.raises(ValueError, match=r"point 5 \(500, 500\) lies outside the region; 10 point\(s\) do"):
        region_mesh([(0, 0), (100, 0), (100, 100), (0, 100)], points=rows, max_edge=20.0)

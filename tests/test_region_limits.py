"""region_mesh at the ends of its inputs' ranges: coordinates of any magnitude, parameters
from the whole floating-point range, crowds of points, long hulls, rings whose segments all
cross. Every call ends in a mesh or in a ValueError giving the true reason, never in another
exception; how long that takes is what benchmarks/bench_region_refusals.py measures.

Triangle's refinement follows the rounding of its input, so meshes of a region in other
units agree exactly only when the units differ by a power of two (an exact change); in
decimal units, or moved elsewhere, they agree in everything but the last few vertices.
"""

import numpy as np
import pytest
import shapely
from hypothesis import given
from hypothesis import strategies as st

pytest.importorskip("triangle")
from corvid.meshkin.core import mk_fem  # noqa: E402
from corvid.meshkin.mesh import MkMesh  # noqa: E402
from corvid.meshkin.regions import region_mesh  # noqa: E402

L_SHAPE = np.array([[0.0, 0.0], [2.0, 0.0], [2.0, 1.0], [1.0, 1.0], [1.0, 2.0], [0.0, 2.0]])
LAKE = np.array([[0.3, 0.3], [0.7, 0.3], [0.5, 0.6]])
SITES = np.array([[1.5, 0.5], [0.2, 1.5], [0.8, 0.8], [1.1, 0.2]])
SQUARE = np.array([[0.0, 0.0], [10.0, 0.0], [10.0, 10.0], [0.0, 10.0]])
LARGEST = np.finfo(float).max


def l_shape_mesh(size=1.0, origin=(0.0, 0.0), **settings):
    origin = np.asarray(origin)
    return region_mesh(L_SHAPE * size + origin, holes=[LAKE * size + origin],
                       points=SITES * size + origin, max_edge=(0.1 * size, 0.3 * size),
                       offset=0.5 * size, cutoff=0.01 * size, **settings)


REFERENCE = l_shape_mesh()


def doubled_areas(mesh, unit=1.0, origin=0.0):
    p = (mesh.loc[mesh.tv] - origin) / unit
    a, b = p[:, 1] - p[:, 0], p[:, 2] - p[:, 0]
    return a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0]


def assert_valid(mesh):
    """Counter-clockwise triangles that the field model accepts, in units where squares are finite."""
    unit = np.ldexp(1.0, np.frexp(np.abs(mesh.loc).max())[1] - 1)
    assert np.all(doubled_areas(mesh, unit) > 0.0)
    mk_fem(MkMesh(mesh.loc / unit, mesh.tv))


def smallest_angle(loc, tv, corners=None, reach=0.0):
    """The smallest angle of the triangles; with `corners`, of those with no vertex within
    `reach` of one (Triangle may leave a thin triangle across an input corner)."""
    if corners is not None:
        gap = np.linalg.norm(loc[:, None, :] - corners[None, :, :], axis=2).min(axis=1)
        tv = tv[np.all(gap[tv] > reach, axis=1)]
    p = loc[tv]
    a, b, c = (np.linalg.norm(p[:, j] - p[:, k], axis=1) for j, k in [(1, 2), (2, 0), (0, 1)])
    cosines = [(b * b + c * c - a * a) / (2 * b * c), (a * a + c * c - b * b) / (2 * a * c),
               (a * a + b * b - c * c) / (2 * a * b)]
    return np.degrees(np.arccos(np.clip(np.max(cosines), -1.0, 1.0)))


@given(exponent=st.integers(-1000, 1000))
def test_units_a_power_of_two_apart_give_the_same_mesh(exponent):
    size = 2.0 ** exponent
    mesh = l_shape_mesh(size)
    np.testing.assert_array_equal(mesh.tv, REFERENCE.tv)
    np.testing.assert_array_equal(mesh.loc, REFERENCE.loc * size)
    for name in ("in_region", "boundary_edges", "point_vertex"):
        np.testing.assert_array_equal(getattr(mesh, name), getattr(REFERENCE, name))


@given(exponent=st.integers(-300, 300), shift=st.tuples(st.integers(-1000, 1000), st.integers(-1000, 1000)))
def test_any_decimal_units_and_origin_give_the_same_mesh_but_for_rounding(exponent, shift):
    size = 10.0 ** exponent
    origin = np.array(shift, dtype=float) * size
    mesh = l_shape_mesh(size, origin)
    assert_valid(mesh)
    unit = (mesh.loc - origin) / size
    assert abs(mesh.n - REFERENCE.n) <= 0.1 * REFERENCE.n
    assert smallest_angle(unit, mesh.tv, np.vstack([L_SHAPE, LAKE]), reach=0.3) >= 25.0 - 1e-6
    region = 0.5 * doubled_areas(mesh, size, origin)[mesh.in_region].sum()
    assert region == pytest.approx(3.0 - 0.06, rel=1e-9)
    np.testing.assert_array_equal(mesh.loc[mesh.point_vertex], SITES * size + origin)
    reach = shapely.distance(shapely.Polygon(L_SHAPE), shapely.points(unit)).max()
    assert reach == pytest.approx(0.5, rel=0.03)


@pytest.mark.parametrize("scale", [1e-200, 1e200, 2.0**-1000 * 3, 1e300])
def test_points_of_any_magnitude_have_a_convex_hull(scale):
    cloud = np.random.default_rng(3).uniform(0.0, 1.0, (200, 2))
    mesh = region_mesh(points=cloud * scale, max_edge=0.1 * scale)
    unit = region_mesh(points=cloud, max_edge=0.1)
    assert_valid(mesh)
    assert abs(mesh.n - unit.n) <= 0.1 * unit.n
    np.testing.assert_array_equal(mesh.loc[mesh.point_vertex], cloud * scale)


@pytest.mark.parametrize("region", [SQUARE * 1e307, SQUARE * 1.7e307 - 0.85e308, SQUARE * 1e-307],
                         ids=["near the largest", "spanning the range", "near the smallest normal"])
def test_regions_at_the_ends_of_the_floating_point_range(region):
    mesh = region_mesh(region, max_edge=np.ptp(region) / 8)
    assert_valid(mesh)
    assert 0.5 * doubled_areas(mesh, np.ptp(region)).sum() == pytest.approx(1.0, rel=1e-9)


@pytest.mark.parametrize("long, settings", [
    (dict(max_edge=1e300), dict(max_edge=1e4)),
    (dict(max_edge=LARGEST), dict(max_edge=1e4)),
    (dict(max_edge=(1.0, 1e300), offset=5.0), dict(max_edge=(1.0, 1e4), offset=5.0)),
    (dict(max_edge=2.0, points=np.random.default_rng(0).uniform(2, 8, (500, 2)), cutoff=1e300),
     dict(max_edge=2.0, points=np.random.default_rng(0).uniform(2, 8, (500, 2)), cutoff=1e4)),
], ids=["max_edge 1e300", "max_edge the largest float", "buffer edge 1e300", "cutoff 1e300"])
def test_lengths_far_beyond_the_region_change_nothing(long, settings):
    # A max_edge longer than the domain gives the coarsest mesh the angle bound allows.
    mesh, same = region_mesh(SQUARE, **long), region_mesh(SQUARE, **settings)
    np.testing.assert_array_equal(mesh.loc, same.loc)
    np.testing.assert_array_equal(mesh.tv, same.tv)
    np.testing.assert_array_equal(mesh.point_vertex, same.point_vertex)


@pytest.mark.parametrize("region", [SQUARE, 5 * L_SHAPE], ids=["square", "L shape"])
def test_a_buffer_a_million_times_wider_than_the_region_is_meshed(region):
    mesh = region_mesh(region, max_edge=(1.0, 1e7), offset=1e7)
    assert_valid(mesh)
    area = 0.5 * doubled_areas(mesh, 1.0)[mesh.in_region].sum()
    assert area == pytest.approx(0.5 * doubled_areas(region_mesh(region, max_edge=1.0)).sum(), rel=1e-9)
    assert smallest_angle(mesh.loc, mesh.tv[mesh.in_region]) >= 25.0 - 1e-6
    assert np.abs(mesh.loc).max() == pytest.approx(1e7, rel=0.03)


@pytest.mark.parametrize("kwargs, message", [
    (dict(max_edge=(0.2, 1e-8), offset=1.0),
     r"the mesh would have about 8\.\d\de\+17 vertices, more than max_vertices=1,000,000"),
    (dict(max_edge=(1e-12, 1.0), offset=1.0), r"about 2\.54e\+26 vertices, more than max_vertices"),
    (dict(max_edge=5e-324), r"the mesh would have more than 1e308 vertices"),
    (dict(max_edge=(1.0, 5e-324), offset=1.0), r"the mesh would have more than 1e308 vertices"),
    (dict(max_edge=1.0, offset=1e300), r"offset 1e\+300 gives a buffer more than 4\.5e\+07 times as wide"),
    (dict(max_edge=1.0, offset=-1e300), r"offset -1e\+300 gives a buffer more than 4\.5e\+07 times as wide"),
    (dict(max_edge=(1.0, 1e30), offset=1e30), r"too coarse to resolve the region"),
    (dict(max_edge=1.0, offset=-5e-324), r"offset -5e-324 gives a buffer narrower than"),
    (dict(max_edge=(1.0, 100.0), offset=1e6), r"about 6\d\d,\d\d\d,\d\d\d vertices, more than max_vertices"),
    (dict(max_edge=1e-7, max_vertices=10**30),
     r"about 2\.54e\+16 vertices, more than [\d,]+ vertices, (what the memory this process may still use holds|"
     r"the most the mesher can number)"),
    (dict(max_edge=1.0, points=np.random.default_rng(0).uniform(0, 10, (600, 2)), max_vertices=500),
     r"the input alone has 604 vertices, no fewer than max_vertices=500"),
    (dict(max_edge=1e-4, points=np.random.default_rng(0).uniform(0, 10, (20_000, 2)), cutoff=1e300),
     r"the mesh would have about 25,40\d,\d\d\d,\d\d\d vertices"),
])
def test_impossible_requests_are_refused_before_any_work_saying_why(kwargs, message):
    with pytest.raises(ValueError, match=message):
        region_mesh(SQUARE, **kwargs)


@pytest.mark.parametrize("region, offset, message", [
    (SQUARE * 1e-320, None, r"the region is 1e-319 across, too small for floating-point coordinates"),
    (SQUARE * 1e306, 1.7e308,
     r"offset 1\.7e\+308 puts the buffer's outline beyond the largest floating-point"),
])
def test_regions_beyond_floating_point_are_refused_saying_why(region, offset, message):
    with pytest.raises(ValueError, match=message):
        region_mesh(region, max_edge=np.ptp(region) / 4, offset=offset)


positive = st.floats(min_value=5e-324, max_value=LARGEST)


@given(inside=positive, buffer=positive, cutoff=st.floats(0.0, LARGEST), min_angle=st.floats(1e-300, 34.0),
       offset=st.one_of(st.none(), st.floats(-LARGEST, LARGEST)), max_vertices=st.integers(3, 3000),
       scale=st.sampled_from([1e-300, 1e-5, 1.0, 1e5, 1e300]))
def test_any_parameters_give_a_mesh_or_a_value_error(inside, buffer, cutoff, min_angle, offset,
                                                     max_vertices, scale):
    try:
        mesh = region_mesh(L_SHAPE * scale, holes=[LAKE * scale], points=SITES * scale,
                           max_edge=(inside, buffer), offset=offset, cutoff=cutoff,
                           min_angle=min_angle, max_vertices=max_vertices)
    except ValueError:
        return
    assert_valid(mesh)
    assert mesh.n <= max_vertices
    moved = np.linalg.norm((mesh.loc[mesh.point_vertex] - SITES * scale) / scale, axis=1)
    # A point may join a kept point, which may move onto the boundary.
    assert np.all(moved <= 2.0 * max(cutoff / scale, 1e-8))


def greedy_thinning(points, r):
    """Each point's keeper, one point at a time: the first kept point within r, or itself."""
    keeper, kept = np.arange(len(points)), []
    for i, p in enumerate(points):
        near = [k for k in kept if np.hypot(*(p - points[k])) <= r]
        if near:
            keeper[i] = near[0]
        else:
            kept.append(i)
    return keeper


@pytest.mark.parametrize("cutoff", [0.02, 0.3, 2.0], ids=["sparse", "some pairs", "a crowd"])
def test_points_join_the_first_kept_point_within_cutoff(cutoff):
    points = np.random.default_rng(11).uniform(4.0, 6.0, (400, 2))
    mesh = region_mesh(SQUARE, points=points, max_edge=1.0, cutoff=cutoff)
    np.testing.assert_array_equal(mesh.loc[mesh.point_vertex], points[greedy_thinning(points, cutoff)])


def circle(k, radius=1.0):
    t = np.linspace(0.0, 2.0 * np.pi, k, endpoint=False)
    return radius * np.column_stack([np.cos(t), np.sin(t)])


@pytest.mark.parametrize("hull, diameter", [
    (circle(20_000, 5.0), 10.0),
    (np.random.default_rng(5).normal(size=(300, 2)) * [3.0, 1.0], None),
    (circle(4001) * [4.0, 1.0] + [1e6, -2e6], 8.0),
], ids=["circle of 20,000", "gaussian cloud", "ellipse far away"])
def test_negative_offset_is_a_fraction_of_the_diameter_of_long_hulls(hull, diameter):
    if diameter is None:  # every pair, the plain way
        diameter = np.max(np.linalg.norm(hull[:, None] - hull[None], axis=2))
    mesh = region_mesh(points=hull, max_edge=(diameter / 4, diameter / 2), offset=-0.2)
    region = shapely.convex_hull(shapely.multipoints(hull))
    reach = shapely.distance(region, shapely.points(mesh.loc)).max()
    assert reach == pytest.approx(0.2 * diameter, rel=0.03)


def star(k):
    """A polygon whose every segment crosses most others."""
    t = np.arange(k) * (2.0 * np.pi * (k // 2) / k)
    return np.column_stack([np.cos(t), np.sin(t)])


def nested_squares(k):
    return [np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]]) * (1.0 - j / (2 * k)) for j in range(k)]


@pytest.mark.parametrize("kwargs, message", [
    (dict(region=star(20_001), max_edge=0.01),
     r"the region crosses itself: segment 0 \(vertex 0 to 1\) meets segment 2 \(vertex 2 to 3\)"),
    (dict(region=nested_squares(3000), max_edge=0.5), r"region polygon 0 and region polygon 1 overlap"),
    (dict(region=SQUARE * 10, holes=[h + 50.0 for h in nested_squares(3000)], max_edge=20.0,
          min_feature=0.0),  # holes this small would be filled, not refused
     r"hole 0 and hole 1 overlap"),
    (dict(region=[SQUARE] * 3000, max_edge=1.0),
     r"region polygon 0 runs along region polygon 1: its segment 0 .* meets segment 0"),
], ids=["star", "nested islands", "nested holes", "the same island again and again"])
def test_rings_that_meet_everywhere_are_refused_naming_the_first_fault(kwargs, message):
    with pytest.raises(ValueError, match=message):
        region_mesh(**kwargs)


def test_many_islands_are_meshed_and_refused_by_their_total_area():
    corners = np.column_stack([np.arange(2000) % 50 * 2.0, np.arange(2000) // 50 * 2.0])
    islands = [c + [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]] for c in corners]
    mesh = region_mesh(islands, max_edge=0.5)
    assert_valid(mesh)
    assert 0.5 * doubled_areas(mesh).sum() == pytest.approx(1000.0)
    with pytest.raises(ValueError, match=r"the mesh would have about 2\.54e\+17 vertices"):
        region_mesh(islands, max_edge=1e-7)


def test_a_sliver_thinner_than_max_edge_is_refused_at_once():
    with pytest.raises(ValueError, match=r"about 2,33\d,\d\d\d vertices, .* parts far thinner than"):
        region_mesh([[0.0, 0.0], [10.0, 0.0], [10.0, 1e-6], [0.0, 1e-6]], max_edge=1.0)


@pytest.mark.parametrize("region, holes", [
    (SQUARE, []), ([[0.0, 0.0], [10.0, 0.0], [10.0, 0.01], [0.0, 0.01]], []), (5 * L_SHAPE, []),
    (SQUARE * 10, [SQUARE + 4.0]), ([[0.0, 0.0], [8.0, 0.0], [8.0, 0.05], [0.1, 0.05], [0.1, 6.0],
                                    [0.0, 6.0]], []),
], ids=["square", "strip", "L shape", "square with a hole", "thin L"])
def test_the_bound_for_thin_parts_never_exceeds_a_real_mesh(region, holes):
    import shapely

    from corvid.meshkin import _size

    mesh = region_mesh(region, holes=holes, max_edge=1.0)
    polygon = shapely.Polygon(region, holes=holes)
    assert _size.thin_parts(polygon.length, polygon.area, 25.0) <= mesh.n

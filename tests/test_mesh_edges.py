"""max_edge is a bound, and "the longest mesh edge in the region" means one thing: a mesh
made for a range, by region_mesh or by the fit command's meshing again, passes the
resolution test for that range. Edge lengths are measured here with plain NumPy."""

import numpy as np
import pytest

pytest.importorskip("triangle")
shapely = pytest.importorskip("shapely")

from corvid.__main__ import main  # noqa: E402
from corvid.cli.mesh import build_mesh, convex_hull, plan_mesh, remesh_plan  # noqa: E402
from corvid.fit.resolution import longest_region_edge, under_resolved  # noqa: E402
from corvid.meshkin.regions import region_mesh  # noqa: E402
from user_files import write_table  # noqa: E402

SITES = np.random.default_rng(3).uniform(0.0, 40.0, (300, 2))
WAVY = np.c_[20 + 15 * np.cos(np.linspace(0, 2 * np.pi, 90, endpoint=False)),
             20 + 9 * np.sin(np.linspace(0, 2 * np.pi, 90, endpoint=False))
             * (1 + 0.2 * np.sin(np.linspace(0, 14 * np.pi, 90, endpoint=False)))]

CASES = {
    "square": dict(region=[(0, 0), (10, 0), (10, 10), (0, 10)], max_edge=0.85),
    "long thin rectangle": dict(region=[(0, 0), (30, 0), (30, 0.7), (0, 0.7)], max_edge=0.5),
    "wavy coast, lake, buffer": dict(region=WAVY, holes=[[(15, 18), (19, 18), (17, 22)]],
                                     max_edge=(1.3, 3.0), offset=6.0),
    "hull of sites as vertices": dict(points=SITES, max_edge=(2.0, 5.0), offset=-0.2, cutoff=0.3),
    "wide buffer, fine region": dict(region=[(0, 0), (4, 0), (4, 4)], max_edge=(0.3, 8.0), offset=20.0),
    "shapely polygon": dict(region=shapely.Polygon(WAVY).buffer(-1.0), max_edge=2.5, offset=4.0),
}


def longest_edges_by_hand(mesh, which):
    corners = mesh.loc[mesh.tv[which]]
    sides = [np.hypot(*(corners[:, i] - corners[:, i - 1]).T) for i in range(3)]
    return np.max(sides, axis=0)


@pytest.mark.parametrize("name", list(CASES))
def test_no_edge_is_longer_than_max_edge(name):
    case = CASES[name]
    mesh = region_mesh(**case)
    inside, outside = np.broadcast_to(case["max_edge"], (2,))
    region = longest_edges_by_hand(mesh, mesh.in_region)
    assert region.max() <= inside * (1 + 1e-12)
    assert np.median(region) > 0.5 * inside  # a bound, not a mesh far finer than asked
    if not mesh.in_region.all():
        assert longest_edges_by_hand(mesh, ~mesh.in_region).max() <= outside * (1 + 1e-12)
    # the mesher's measure, the quality report's and the resolution test's are one
    assert longest_region_edge(mesh) == pytest.approx(region.max(), rel=1e-12)
    assert mesh.quality().region_edges[4] == pytest.approx(region.max(), rel=1e-12)


@pytest.mark.parametrize("name", ["square", "wavy coast, lake, buffer", "hull of sites as vertices"])
def test_a_mesh_made_for_a_range_passes_the_resolution_test_for_it(name):
    case = CASES[name]
    inside = float(np.broadcast_to(case["max_edge"], (2,))[0])
    mesh = region_mesh(**case)
    # max_edge = range/8 passes with room to spare, and even max_edge = range/5, the
    # test's own limit, passes; a range shorter than that is under-resolved
    assert not under_resolved(mesh, 8.0 * inside) and not under_resolved(mesh, 5.0 * inside)
    assert under_resolved(mesh, 4.0 * inside)


def test_the_fit_commands_mesh_made_again_passes_for_the_range_it_was_made_for():
    hull = convex_hull(SITES)
    plan = plan_mesh(SITES, hull, [8.0], None, None, 1_000_000)
    first = build_mesh(SITES, hull, plan, 1_000_000)
    for found in (30.0, 12.0, 7.0):
        finer = remesh_plan(SITES, hull, plan, first, found, 1_000_000)
        assert finer.why == "range/8" and finer.max_edge[0] == pytest.approx(found / 8.0)
        assert not under_resolved(build_mesh(SITES, hull, finer, 1_000_000), found)


def test_a_mesh_capped_by_its_budget_says_so_and_how_to_mesh_for_the_range(tmp_path, capsys):
    rng = np.random.default_rng(2)
    x, y = rng.uniform(0, 100, (2, 150))
    value = np.sin(x / 6.0) * np.cos(y / 6.0) + 0.05 * rng.normal(size=150)
    data = write_table(tmp_path / "short.csv", {"x": x, "y": y, "v": value})
    assert main(["fit", data, "--x", "x", "--y", "y", "--value", "v", "--out", str(tmp_path / "o"),
                 "--max-edge", "12", "--max-vertices", "900", "--grid", "10", "10", "--quiet"]) == 0
    printed = capsys.readouterr().out
    said = next(line for line in printed.splitlines() if "meshing again" in line)
    edge = float(said.split("meshing again with max edge ")[1].split()[0])
    wanted = float(said.split("not range/8 = ")[1].split(":")[0])
    assert edge > wanted  # the budget held it back, and the message says so and what to do
    assert "planned within --max-vertices 900" in said
    assert f"--max-edge {wanted:.4g}"[:13] in said and "with --max-vertices" in said
    meshes = [line for line in printed.splitlines() if line.startswith("mesh: ")]
    assert len(meshes) == 2 and f"max edge {edge:.4g} in the data's region" in meshes[1]

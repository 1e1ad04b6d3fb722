"""Time the locator's set-up and queries on meshes of many shapes, against a random Delaunay mesh.

Every call of find_triangles / basis_matrix copies and checks the mesh (neighbour table,
overlap check) and builds what it needs to place points; that set-up is timed here as
basis_matrix on no points. The families, each with about m triangles:

  delaunay        the Delaunay triangulation of random points in the unit square
  strips <a>      a unit square cut into m / 2 strips of two triangles each, turned by a degrees
  fan             a disk cut into m thin sectors around one centre vertex
  graded          a quarter disk in rings whose radii grow geometrically from 1e-6 to 1:
                  triangles from about 1e-7 to 0.05 across
  corridor        a winding river corridor 1e-3 wide: a structured 2 x (m / 4) grid
  soup            m small disjoint triangles scattered over the square
  comb 30         rotated strips with every other strip left out (long thin holes)

Queries: 10^5 points, half inside the mesh (random points of random triangles), half spread
over its bounding box grown by a fifth on each side, through basis_matrix with outside="empty"
and outside="nearest". Target: set-up of 256k triangles within 3 s in any family, and no
family more than 10x the Delaunay mesh of the same size. Best of a few runs, with the machine
as found; the load average is printed first.

Usage: python benchmarks/bench_locator_setup.py [sizes, comma-separated] [families, comma-separated]
"""

import sys
import time
from types import SimpleNamespace

import numpy as np
from scipy.spatial import Delaunay

from bench_common import best_of, load_average
from corvid.meshkin.locate import basis_matrix


def mesh_of(loc, tv):
    return SimpleNamespace(n=loc.shape[0], loc=np.ascontiguousarray(loc, dtype=float),
                           tv=np.ascontiguousarray(tv, dtype=np.int64))


def turned(xy, degrees):
    a = np.radians(degrees)
    return xy @ np.array([[np.cos(a), np.sin(a)], [-np.sin(a), np.cos(a)]])


def delaunay(m, rng):
    points = rng.random((m // 2 + 2, 2))
    return mesh_of(points, Delaunay(points).simplices)


def strips(m, degrees, every=1):
    """Strips between the lines y = i / s; with every=2 only the even ones (a comb)."""
    s = m // 2 * every
    y = np.arange(s + 1) / s
    loc = np.vstack([np.column_stack([np.zeros(s + 1), y]), np.column_stack([np.ones(s + 1), y])])
    i = np.arange(0, s, every)
    left, right = i, i + s + 1
    tv = np.vstack([np.column_stack([left, right, right + 1]),
                    np.column_stack([left, right + 1, left + 1])])
    return mesh_of(turned(loc, degrees), tv)


def fan(m):
    angle = 2 * np.pi * np.arange(m) / m
    loc = np.vstack([[0.0, 0.0], np.column_stack([np.cos(angle), np.sin(angle)])])
    i = np.arange(m)
    return mesh_of(loc, np.column_stack([np.zeros(m, dtype=int), 1 + i, 1 + (i + 1) % m]))


def graded(m):
    """A quarter disk in rings whose radii grow geometrically from 1e-6 to 1, with a fan at
    the centre: triangles from about 1e-7 to 0.05 across."""
    angles = 64
    rings = max(2, (m - angles) // (2 * angles))
    r = np.geomspace(1e-6, 1.0, rings + 1)
    theta = np.linspace(0.0, np.pi / 2, angles + 1)
    ring_xy = (r[:, None, None] * np.stack([np.cos(theta), np.sin(theta)], axis=-1)[None]).reshape(-1, 2)
    loc = np.vstack([[0.0, 0.0], ring_xy])
    at = lambda i, j: 1 + i * (angles + 1) + j
    j = np.arange(angles)
    tv = [np.column_stack([np.zeros(angles, dtype=int), at(0, j), at(0, j + 1)])]
    for i in range(rings):
        tv += [np.column_stack([at(i, j), at(i + 1, j), at(i + 1, j + 1)]),
               np.column_stack([at(i, j), at(i + 1, j + 1), at(i, j + 1)])]
    return mesh_of(loc, np.vstack(tv))


def corridor(m):
    n = m // 4
    s = np.linspace(0.0, 1.0, n + 1)
    centre = np.column_stack([s, 0.05 * np.sin(6 * np.pi * s)])
    tangent = np.gradient(centre, axis=0)
    normal = np.column_stack([-tangent[:, 1], tangent[:, 0]])
    normal /= np.linalg.norm(normal, axis=1)[:, None]
    loc = np.vstack([centre + w * normal for w in (-5e-4, 0.0, 5e-4)])
    tv = []
    for row in range(2):
        a = row * (n + 1) + np.arange(n)
        b, c, d = a + 1, a + n + 1, a + n + 2
        tv += [np.column_stack([a, b, d]), np.column_stack([a, d, c])]
    return mesh_of(loc, np.vstack(tv))


def soup(m, rng):
    side = int(np.ceil(np.sqrt(m)))
    cell = np.arange(m)
    origin = np.column_stack([cell % side, cell // side]) / side
    corners = origin[:, None, :] + rng.uniform(0.05, 0.95, (m, 3, 2)) / side
    return mesh_of(corners.reshape(-1, 2), np.arange(3 * m).reshape(m, 3))


FAMILIES = {
    "delaunay": lambda m, rng: delaunay(m, rng),
    "strips 0": lambda m, rng: strips(m, 0.0),
    "strips 30": lambda m, rng: strips(m, 30.0),
    "strips 45": lambda m, rng: strips(m, 45.0),
    "strips 90": lambda m, rng: strips(m, 90.0),
    "fan": lambda m, rng: fan(m),
    "graded": lambda m, rng: graded(m),
    "corridor": lambda m, rng: corridor(m),
    "soup": soup,
    "comb 30": lambda m, rng: strips(m, 30.0, every=2),
}


def query_points(mesh, k, rng):
    """k / 2 points inside random triangles, k / 2 over the bounding box grown by a fifth."""
    t = rng.integers(0, mesh.tv.shape[0], k // 2)
    w = rng.dirichlet([1.0, 1.0, 1.0], k // 2)
    inside = np.einsum("kc,kcd->kd", w, mesh.loc[mesh.tv[t]])
    lo, hi = mesh.loc.min(axis=0), mesh.loc.max(axis=0)
    spread = rng.uniform(lo - 0.2 * (hi - lo), hi + 0.2 * (hi - lo), (k - k // 2, 2))
    return rng.permutation(np.vstack([inside, spread]))


def main():
    sizes = [int(s) for s in (sys.argv[1] if len(sys.argv) > 1 else "16000,64000,256000").split(",")]
    names = sys.argv[2].split(",") if len(sys.argv) > 2 else list(FAMILIES)
    print(f"load average at start: {load_average()}")
    no_points = np.empty((0, 2))
    for m in sizes:
        print(f"\n~{m} triangles; 10^5 query points      set-up  ratio    empty  nearest")
        baseline = None
        for name in names:
            rng = np.random.default_rng(1)
            mesh = FAMILIES[name](m, rng)
            points = query_points(mesh, 100_000, rng)
            repeats = 3 if m <= 64_000 else 2
            t_setup, _ = best_of(repeats, lambda: basis_matrix(mesh, no_points))
            baseline = t_setup if name == "delaunay" else baseline
            t_empty, _ = best_of(repeats, lambda: basis_matrix(mesh, points))
            t_nearest, _ = best_of(repeats, lambda: basis_matrix(mesh, points, outside="nearest"))
            ratio = f"{t_setup / baseline:5.1f}x" if baseline else "     "
            print(f"  {name:10s} {mesh.tv.shape[0]:7d} triangles   {t_setup:7.3f} s {ratio}"
                  f" {t_empty:7.3f} s {t_nearest:7.3f} s", flush=True)
    print(f"\nload average at end: {load_average()}")


if __name__ == "__main__":
    main()

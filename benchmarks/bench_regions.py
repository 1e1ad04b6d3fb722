"""Time region_mesh on a 10^5-vertex mesh of a non-convex region with two holes and a buffer.

The region is a wavy "coastline" of 400 vertices with two lakes; the buffer is a fifth of
the region's diameter wide, with triangles 2.5 times coarser than inside. Printed: the
time of the whole call and of Triangle's part of it (best of the repeats each), the
vertex count and the smallest angle; then the same with 20,000 observation points kept
as vertices (cutoff a third of the edge). All of it again while another process keeps
the second core busy (region_mesh calls no BLAS; this shows the machine-load effect alone).

Usage: python benchmarks/bench_regions.py [target_vertices] [repeats]
Target: 10^5 vertices, smallest angle >= 25 degrees, at most 2 s.
"""

import math
import multiprocessing
import os
import sys
import time

import numpy as np

from corvid.meshkin.regions import region_mesh


def coastline(k: int = 400) -> np.ndarray:
    t = np.linspace(0.0, 2.0 * np.pi, k, endpoint=False)
    r = 10.0 * (1.0 + 0.35 * np.sin(3 * t) + 0.08 * np.sin(17 * t))
    return np.column_stack([r * np.cos(t), r * np.sin(t)])


def lake(centre, radius, k: int = 60) -> np.ndarray:
    t = np.linspace(0.0, 2.0 * np.pi, k, endpoint=False)
    r = radius * (1.0 + 0.2 * np.cos(5 * t))
    return np.column_stack([centre[0] + r * np.cos(t), centre[1] + r * np.sin(t)])


REGION = coastline()
HOLES = [lake((-3.0, 2.0), 2.0), lake((4.0, -1.5), 1.5)]


def observation_points(n: int = 20_000) -> np.ndarray:
    import shapely

    area = shapely.Polygon(REGION, HOLES)
    rng = np.random.default_rng(0)
    xy = rng.uniform(REGION.min(axis=0), REGION.max(axis=0), size=(3 * n, 2))
    return xy[shapely.contains_xy(area, xy[:, 0], xy[:, 1])][:n]


POINTS = observation_points()


def build(edge: float, points=None):
    return region_mesh(REGION, holes=HOLES, points=points, cutoff=edge / 3.0,
                       max_edge=(edge, 2.5 * edge), offset=-0.2)


def timed_build(edge: float, points=None):
    """One region_mesh call: its time, Triangle's share of it, and the mesh."""
    import triangle

    seen = {}
    original = triangle.triangulate

    def timed(data, switches=""):
        start = time.perf_counter()
        out = original(data, switches)
        seen["mesher"] = time.perf_counter() - start
        return out

    triangle.triangulate = timed
    try:
        start = time.perf_counter()
        mesh = build(edge, points)
        total = time.perf_counter() - start
    finally:
        triangle.triangulate = original
    return total, seen["mesher"], mesh


def spin(stop):
    while not stop.is_set():
        sum(i * i for i in range(10_000))


def measure(edge: float, repeats: int, label: str, points=None) -> None:
    runs = [timed_build(edge, points) for _ in range(repeats)]
    seconds = min(r[0] for r in runs)
    mesher = min(r[1] for r in runs)
    mesh = runs[0][2]
    q = mesh.quality()
    print(f"{label:<22} region_mesh {seconds:6.3f} s (Triangle alone {mesher:6.3f} s)  "
          f"{mesh.n:>7,} vertices  smallest angle {q.min_angle:.2f} deg")


def main():
    target = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    # Find the edge for the target count: counts scale about as 1/edge^2.
    edge = 0.5
    for _ in range(3):
        mesh = build(edge)
        edge *= math.sqrt(mesh.n / target)
    mesh = build(edge)
    print(f"region: {len(REGION)}-vertex coastline, two lakes, buffer 0.2 x diameter; "
          f"max_edge = ({edge:.4f}, {2.5 * edge:.4f})")
    print(mesh.quality())
    print()
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    print(f"load average before timing: {load} (2 cores)")
    measure(edge, repeats, "as it is:")
    measure(edge, repeats, "  with 20,000 points:", POINTS)
    stop = multiprocessing.Event()
    busy = multiprocessing.Process(target=spin, args=(stop,))
    busy.start()
    try:
        measure(edge, repeats, "plus one busy core:")
        measure(edge, repeats, "  with 20,000 points:", POINTS)
    finally:
        stop.set()
        busy.join()


if __name__ == "__main__":
    main()

"""region_mesh on regions with many features far below the mesh's resolution: islands and
lakes that are left out (filled), and what the features kept cost.

Each case runs in a fresh process of its own (its peak resident memory is the process's),
limited to 8 GB of address space and cut off after a timeout; the time printed is that of
the region_mesh call alone (the region is built, and its file written, before it).

- "10,000 tiny islands": a coast of 5,000 vertices and 10,000 islands 20 to 100 m across,
  max_edge 2 km (6 km in the buffer), a 10 km buffer (before: 25 s and 1.3 GB, in
  shapely.buffer of them all).
- "coast with 50,000 islands": the coast and 50,000 islands 20 m to 1.6 km across (the
  11,000 at least 1 km across kept), the same edges and buffer; as arrays and as a
  GeoPackage in metres read through read_region (before: killed at 300 s with 14.8 GB).
- "4,000 lakes of 40 m": a 20 km square with 4,000 lakes 40 m across, max_edge 1 km: the
  vertices against the same square without lakes (before: 111k against 1.3k), and with
  min_feature=0, which keeps them.
- "kept islands": 2,000, 8,000 and 32,000 islands all larger than the resolution, to show
  the cost per island kept.

Usage: python benchmarks/bench_mesh_features.py [timeout_seconds]
Targets: the coast with 50,000 islands in at most 30 s and under 2 GB, either way; the
lakes' mesh within 5% of the lakeless one; time per kept island about constant.
"""

import resource
import sys
import time
import warnings

import numpy as np

KM = 1000.0


def coast(k=5000, radius=60.0):
    t = np.linspace(0.0, 2.0 * np.pi, k, endpoint=False)
    r = radius * (1.0 + 0.25 * np.sin(3 * t) + 0.04 * np.sin(41 * t) + 0.01 * np.sin(317 * t))
    return np.column_stack([r * np.cos(t), r * np.sin(t)])


def islands(n, across, inner=80.0, outer=400.0, seed=0):
    """n islands in the ring inner < r < outer, their sizes log-uniform in `across` (km),
    on a jittered grid so that none overlaps another; 8 to 12 vertices each."""
    rng = np.random.default_rng(seed)
    side = np.sqrt(np.pi * (outer**2 - inner**2) / n)
    grid = np.arange(-outer, outer, side)
    centre = np.stack(np.meshgrid(grid, grid), -1).reshape(-1, 2)
    centre = centre + rng.uniform(-0.2, 0.2, centre.shape) * side
    r = np.hypot(*centre.T)
    centre = centre[(r > inner) & (r < outer)]
    centre = centre[rng.permutation(len(centre))[:n]]
    radius = np.minimum(0.5 * np.exp(rng.uniform(*np.log(across), len(centre))), 0.25 * side)
    out = []
    for (x, y), s in zip(centre, radius):
        k = int(np.clip(8 + 4 * s, 8, 12))
        t = np.linspace(0.0, 2.0 * np.pi, k, endpoint=False)
        wobble = 1.0 + 0.15 * np.sin(3 * t + x)
        out.append(np.column_stack([x + s * wobble * np.cos(t), y + s * wobble * np.sin(t)]))
    return out


def lakes(n=4000, side=20.0, across=0.04, seed=1):
    rng = np.random.default_rng(seed)
    k = int(np.ceil(np.sqrt(n)))
    grid = (np.arange(k) + 0.5) * side / k
    centre = np.stack(np.meshgrid(grid, grid), -1).reshape(-1, 2)[:n]
    centre = centre + rng.uniform(-0.3, 0.3, centre.shape) * side / k
    t = np.linspace(0.0, 2.0 * np.pi, 8, endpoint=False)
    ring = 0.5 * across * np.column_stack([np.cos(t), np.sin(t)])
    return [c + ring for c in centre]


def geopackage(shells, path):
    import geopandas as gpd
    import shapely

    polygons = [shapely.Polygon(s * KM) for s in shells]
    gpd.GeoDataFrame(geometry=polygons, crs="EPSG:3035").to_file(path, driver="GPKG")


def case(name):
    """(what to time, a label): the region built and its file written beforehand."""
    from corvid.meshkin.regions import region_mesh

    if name == "tiny":
        shells = [coast()] + islands(10_000, (0.02, 0.1))
        return lambda: region_mesh(shells, max_edge=(2.0, 6.0), offset=10.0)
    if name == "coast":
        shells = [coast()] + islands(50_000, (0.02, 3.0))
        return lambda: region_mesh(shells, max_edge=(2.0, 6.0), offset=10.0)
    if name == "coast-gpkg":
        path = "/tmp/corvid-bench-coast.gpkg"
        geopackage([coast()] + islands(50_000, (0.02, 3.0)), path)
        return lambda: region_mesh(path, max_edge=(2.0 * KM, 6.0 * KM), offset=10.0 * KM)
    square = [(0.0, 0.0), (20.0, 0.0), (20.0, 20.0), (0.0, 20.0)]
    if name == "lakes":
        return lambda: region_mesh(square, holes=lakes(), max_edge=1.0)
    if name == "lakes-kept":
        return lambda: region_mesh(square, holes=lakes(), max_edge=1.0, min_feature=0.0)
    if name == "no-lakes":
        return lambda: region_mesh(square, max_edge=1.0)
    if name.startswith("kept-"):
        shells = islands(int(name[5:]), (2.2, 2.6), inner=0.0, outer=500.0)
        return lambda: region_mesh(shells, max_edge=2.0)
    raise ValueError(name)


def child(name):
    work = case(name)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = time.perf_counter()
        mesh = work()
        seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20  # KiB to GiB
    said = next((str(w.message).split(":")[0] for w in caught), "no warning")
    print(f"{seconds:8.2f} s  {peak:6.2f} GB  {mesh.n:>9,} vertices  {said}")


CASES = [("10,000 tiny islands", "tiny"), ("coast with 50,000 islands", "coast"),
         ("  the same, GeoPackage", "coast-gpkg"), ("4,000 lakes of 40 m", "lakes"),
         ("  lakes kept (min_feature=0)", "lakes-kept"), ("  the square without lakes", "no-lakes"),
         ("2,000 kept islands", "kept-2000"), ("8,000 kept islands", "kept-8000"),
         ("32,000 kept islands", "kept-32000")]


def main():
    timeout = float(sys.argv[1]) if len(sys.argv) > 1 else 600.0
    from bench_common import load_average, run_in_process

    print(f"load average {load_average()} (2 cores); each case in its own process, 8 GB limit")
    limit = "import resource; resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30)); "
    for label, name in CASES:
        code = (limit + "import sys; sys.path.insert(0, 'benchmarks'); "
                f"from bench_mesh_features import child; child({name!r})")
        print(f"{label:<32} {run_in_process(code, timeout)}", flush=True)


if __name__ == "__main__":
    main()

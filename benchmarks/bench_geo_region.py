"""Time a study region from a GeoPackage: read, simplify and mesh a 10^5-vertex coastline.

The region is an island 100 km across in UTM zone 33N whose coastline has 10^5 vertices
(a rough shore: random harmonics down to metres), with two lakes of 5,000 vertices each,
written to a GeoPackage beforehand. Timed, best of the repeats: reading the file
(GeoPandas/pyogrio), `read_region` (union, simplification to max_edge / 4 keeping the
points), `region_mesh`, and the whole `region_mesh(path, ...)` call; with 10,000
observation points (a tenth of them within 20 m of the shore) and without. Then, once,
the mesh of the unsimplified outline, and the whole call again while another process
keeps the second core busy.

Usage: python benchmarks/bench_geo_region.py [coast_vertices] [repeats]
Target: a mesh of about 10^5 vertices in at most 3 s for read + simplify + mesh.
"""

import os
import sys
import tempfile
import numpy as np

from bench_common import best_of, load_average, other_core_busy

import geopandas as gpd
import shapely

from corvid.geo import read_region
from corvid.meshkin.regions import region_mesh

UTM = "EPSG:32633"
CENTRE = np.array([450_000.0, 5_500_000.0])


def rough_ring(vertices, radius, roughness, seed):
    """A closed ring whose radius has a 1/k spectrum of random harmonics up to vertices/4."""
    rng = np.random.default_rng(seed)
    k = np.arange(1, vertices // 4)
    spectrum = np.zeros(vertices // 2 + 1, dtype=complex)
    spectrum[k] = k**-1.0 * np.exp(2j * np.pi * rng.uniform(size=k.size))
    wobble = np.fft.irfft(spectrum, n=vertices)
    r = radius * (1.0 + roughness * wobble / np.max(np.abs(wobble)))
    t = np.linspace(0.0, 2.0 * np.pi, vertices, endpoint=False)
    return np.column_stack([r * np.cos(t), r * np.sin(t)])


def island(coast_vertices):
    coast = rough_ring(coast_vertices, 50_000.0, 0.25, seed=1)
    lakes = [rough_ring(5_000, 6_000.0, 0.3, seed=2) + [-15_000.0, 10_000.0],
             rough_ring(5_000, 4_000.0, 0.3, seed=3) + [18_000.0, -12_000.0]]
    return shapely.Polygon(coast + CENTRE, [lake + CENTRE for lake in lakes])


def observation_points(polygon, n, seed=4):
    rng = np.random.default_rng(seed)
    shapely.prepare(polygon)
    inner = []
    while sum(map(len, inner)) < 0.9 * n:
        xy = rng.uniform(*np.reshape(polygon.bounds, (2, 2)), (n, 2))
        inner.append(xy[shapely.contains_xy(polygon, xy[:, 0], xy[:, 1])])
    inner = np.concatenate(inner)[: int(0.9 * n)]
    # a tenth just inside the shore, where simplification cuts corners
    ring = np.asarray(polygon.exterior.coords)[:-1]
    pick = rng.choice(len(ring), n - len(inner), replace=False)
    shore = CENTRE + (ring[pick] - CENTRE) * (1.0 - 20.0 / np.hypot(*(ring[pick] - CENTRE).T))[:, None]
    shore = shore[shapely.contains_xy(polygon, shore[:, 0], shore[:, 1])]
    return np.vstack([inner, shore])


def main():
    coast_vertices = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    polygon = island(coast_vertices)
    area = polygon.area
    # about 10^5 mesh vertices: Triangle's fill of ~1.85 vertices per max_edge^2 of area
    max_edge = float(np.sqrt(1.85 * area / 100_000))
    points = observation_points(polygon, 10_000)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "island.gpkg")
        gpd.GeoDataFrame({"name": ["island"]}, geometry=[polygon], crs=UTM).to_file(path)
        print(f"GeoPackage: {coast_vertices:,} coast vertices + 2 x 5,000 lake vertices, "
              f"{os.path.getsize(path) / 1e6:.1f} MB; max_edge {max_edge:.0f} m "
              f"(simplification tolerance {max_edge / 4:.0f} m); load {load_average()}")
        for label, pts in (("no points", None), (f"{len(points):,} points", points)):
            t_read, frame = best_of(repeats, lambda: gpd.read_file(path))
            t_region, region = best_of(repeats, lambda: read_region(frame, max_edge=max_edge, points=pts))
            t_mesh, mesh = best_of(repeats, lambda: region_mesh(region.shells, holes=region.holes, points=pts,
                                                                 max_edge=max_edge, crs=region.crs))
            t_all, whole = best_of(repeats, lambda: region_mesh(path, points=pts, max_edge=max_edge))
            kept = sum(map(len, region.shells)) + sum(map(len, region.holes))
            print(f"\n{label}:")
            print(f"  read the file            {t_read:6.3f} s")
            print(f"  read_region (simplify)   {t_region:6.3f} s   {coast_vertices + 10_000:,} -> {kept:,} "
                  f"boundary vertices")
            print(f"  region_mesh              {t_mesh:6.3f} s   {mesh.n:,} vertices, smallest angle "
                  f"{mesh.quality().min_angle:.1f} deg")
            print(f"  region_mesh(path, ...)   {t_all:6.3f} s   {whole.n:,} vertices  (target <= 3 s)")
        raw = read_region(path)
        t_raw, unsimplified = best_of(1, lambda: region_mesh(raw.shells, holes=raw.holes, max_edge=max_edge,
                                                             max_vertices=10_000_000))
        print(f"\nthe same without simplification: {unsimplified.n:,} vertices in {t_raw:.3f} s")
        with other_core_busy():
            t_busy, _ = best_of(repeats, lambda: region_mesh(path, points=points, max_edge=max_edge))
        print(f"\nregion_mesh(path, points) with the other core busy: {t_busy:.3f} s "
              f"({t_busy / t_all:.2f} x the quiet time); load {load_average()}")


if __name__ == "__main__":
    main()

"""Many rows at few stations: region_mesh and the fit command on 10^5 and 10^6 rows at 3
stations against 10^5 rows at distinct locations.

region_mesh: the rows as points kept as vertices (cutoff max_edge/25, as the command sets
it) in a square with a buffer, best of three; before, 10^5 rows at 3 stations took 27 s
against 0.8 s (count_neighbors on copies of a point). The command: `python -m corvid fit`
in this process, its whole time and region_mesh's share (the rest is reading, the fit and
the maps; the fit's start on copies is the fitting's own, measured by its benchmarks).

Usage: python benchmarks/bench_mesh_duplicates.py [--no-command]   (BENCH_TIMEOUT=seconds a run)
Target: rows at 3 stations cost region_mesh no more than distinct rows, 10^6 included.
"""

import os
import sys
import tempfile
import time

import numpy as np

from bench_common import best_of, load_average, run_in_process

EDGE = 5.0
SQUARE = [(0.0, 0.0), (100.0, 0.0), (100.0, 100.0), (0.0, 100.0)]


def rows(n, stations, seed=0):
    rng = np.random.default_rng(seed)
    if stations is None:
        return rng.uniform(0.0, 100.0, (n, 2))
    return rng.uniform(5.0, 95.0, (stations, 2))[rng.integers(0, stations, n)]


CASES = [("10^5 rows at 3 stations", 100_000, 3), ("10^6 rows at 3 stations", 1_000_000, 3),
         ("10^5 rows at 1,000 stations", 100_000, 1000), ("10^5 distinct rows", 100_000, None)]


def mesher():
    from corvid.meshkin.regions import region_mesh

    print("region_mesh, points as vertices, cutoff max_edge/25, best of 3:")
    for label, n, stations in CASES:
        xy = rows(n, stations)
        seconds, mesh = best_of(3, lambda: region_mesh(SQUARE, points=xy, max_edge=(EDGE, 3 * EDGE),
                                                        offset=20.0, cutoff=EDGE / 25))
        print(f"  {label:<30} {seconds:7.3f} s  {mesh.n:>8,} vertices", flush=True)


def command_case(n, stations, folder):
    """One run of the command on a fresh file: its time and region_mesh's, printed."""
    import corvid.meshkin.regions as regions
    from corvid.__main__ import main

    own, spent = regions.region_mesh, []

    def timed(*args, **kwargs):
        start = time.perf_counter()
        try:
            return own(*args, **kwargs)
        finally:
            spent.append(time.perf_counter() - start)
            print(f"region_mesh {spent[-1]:.2f} s;", file=sys.__stdout__, flush=True)

    regions.region_mesh = timed
    xy = rows(n, stations)
    value = np.sin(xy[:, 0] / 10.0) + 0.3 * np.random.default_rng(1).normal(size=n)
    path = os.path.join(folder, "data.csv")
    np.savetxt(path, np.column_stack([xy, value]), delimiter=",", header="x,y,v", comments="",
               fmt="%.10g")
    out = os.path.join(folder, "out")
    sys.stdout = open(os.devnull, "w")  # the command's own report
    start = time.perf_counter()
    status = main(["fit", path, "--x", "x", "--y", "y", "--value", "v", "--quiet", "--grid", "50",
                   "50", "--out", out])
    total = time.perf_counter() - start
    sys.stdout = sys.__stdout__
    print(f"whole command {total:.1f} s, exit {status}")


def command(timeout):
    print(f"python -m corvid fit (gaussian), whole command and region_mesh's share, once "
          f"(each in its own process, cut off after {timeout:g} s):")
    for label, n, stations in CASES:
        with tempfile.TemporaryDirectory() as folder:
            code = ("import sys; sys.path.insert(0, 'benchmarks'); from bench_mesh_duplicates "
                    f"import command_case; command_case({n}, {stations}, {folder!r})")
            print(f"  {label:<30} {run_in_process(code, timeout)}", flush=True)


def main():
    print(f"load average {load_average()} (2 cores)", flush=True)
    mesher()
    if "--no-command" not in sys.argv:
        command(float(os.environ.get("BENCH_TIMEOUT", "900")))


if __name__ == "__main__":
    main()

"""What the fit command's reading of a CSV file costs beside pandas' own reading of the same
columns, and what its maps cost at the default grid.

Reading: `corvid.cli.table.read_table` checks every row for cells beyond the header's (pandas
reads one column more than the header names, through a stream with a made-up first row),
lets pandas parse the numbers, and reads cells as text (to name the line and the cell at
fault) only when something is to be refused. Timed against `pandas.read_csv` with `usecols`
of the same three columns as float64, and against that read as text and converted by
`pandas.to_numeric` (as the command read before), on 10^6 rows of 8 columns, from a file and
from a pipe (read once, into memory). Target: at most twice pandas' float64 read.

Maps: `corvid.cli.maps.posterior_maps`, `write_maps` and `save_maps` of a Gaussian fit on a
mesh of about 4,000 vertices, at the old default grid (200 x 200) and the new one (square
cells, 400 along the longer side of a 2:1 region: 400 x 200). Target: the new default within
5 s and 0.5 GiB above the fit.

Times are best of three, alternating; the machine is shared, so they are noisy.
Usage: python benchmarks/bench_cli_table.py
"""

import os
import resource
import tempfile

import numpy as np

from bench_common import best_of_alternating, load_average

ROWS, COLUMNS = 1_000_000, 8


def write_table(path: str) -> None:
    rng = np.random.default_rng(0)
    names = ["x", "y", "v"] + [f"c{k}" for k in range(COLUMNS - 3)]
    np.savetxt(path, rng.uniform(0, 100, (ROWS, COLUMNS)), delimiter=",", fmt="%.8g",
               header=",".join(names), comments="")


def bench_reading(path: str) -> None:
    import pandas as pd

    from corvid.cli.table import CSV_OPTIONS, read_table

    def with_pandas():
        return pd.read_csv(path, header=0, usecols=[0, 1, 2], dtype=np.float64)

    def as_text():
        frame = pd.read_csv(path, header=0, usecols=[0, 1, 2], **CSV_OPTIONS)
        return [pd.to_numeric(frame[c], errors="coerce").to_numpy(np.float64) for c in frame]

    def with_corvid():
        return read_table(path, ["v"], ("x", "y"))

    def from_a_pipe():
        with open(path, "rb") as source:
            read, write = os.pipe()
            if os.fork() == 0:  # the writer of the pipe
                os.close(read)
                with os.fdopen(write, "wb") as sink:
                    sink.write(source.read())
                os._exit(0)
            os.close(write)
            try:
                return read_table(f"/dev/fd/{read}", ["v"], ("x", "y"))
            finally:
                os.close(read)
                os.wait()

    (plain, text, ours, piped), (_, _, table, _) = best_of_alternating(
        3, with_pandas, as_text, with_corvid, from_a_pipe)
    print(f"reading {ROWS:,} rows of {COLUMNS} columns ({os.path.getsize(path) / 2**20:.0f} MiB), "
          "three of them used:")
    print(f"  pandas read_csv, float64    {plain:6.2f} s")
    print(f"  pandas as text, to_numeric  {text:6.2f} s   (the command's reading before)")
    print(f"  read_table                  {ours:6.2f} s   ({ours / plain:.2f} x pandas; target <= 2)")
    print(f"  read_table from a pipe      {piped:6.2f} s")
    assert table.rows == ROWS


def bench_maps(scratch: str) -> None:
    from corvid.cli.maps import posterior_maps, save_maps, write_maps
    from corvid.fit import fit
    from corvid.meshkin.gfield import gfield2_pcmatern
    from corvid.meshkin.regions import region_mesh

    rng = np.random.default_rng(1)
    loc = rng.uniform([0, 0], [100, 50], (2000, 2)) + [5e5, 6.5e6]  # metres in a projected CRS
    values = np.sin(loc[:, 0] / 15) + np.cos(loc[:, 1] / 10) + 0.3 * rng.normal(size=len(loc))
    corners = np.array([[0, 0], [100, 0], [100, 50], [0, 50]]) + [5e5, 6.5e6]
    mesh = region_mesh(corners, max_edge=(2.0, 6.0), offset=20.0)
    result = fit(gfield2_pcmatern(mesh, prior_range=(10.0, 0.5), prior_sigma=(3.0, 0.01)), loc, values)
    extent = corners.astype(float)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
    print(f"maps of a fit on {mesh.n:,} vertices (peak so far {before:.2f} GiB):")
    for grid in ((200, 200), None):
        def make(grid=grid):
            maps = posterior_maps(result, mesh, extent, grid)
            write_maps(maps, scratch)
            save_maps(maps, mesh, loc, os.path.join(scratch, "posterior.png"))
            return maps
        (seconds,), (maps,) = best_of_alternating(3, make)
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
        name = "default" if grid is None else f"{grid[0]} x {grid[1]}"
        print(f"  {name:>10}: {len(maps.x)} x {len(maps.y)} cells  {seconds:6.2f} s   peak "
              f"{peak:.2f} GiB (+{peak - before:.2f})")


def main() -> None:
    print(f"load average {load_average()}")
    with tempfile.TemporaryDirectory() as scratch:
        bench_maps(scratch)  # first: the peak memory then is the maps'
        path = os.path.join(scratch, "table.csv")
        write_table(path)
        bench_reading(path)


if __name__ == "__main__":
    main()

"""A 20,000 x 20,000 posterior map (4 x 10^8 cells) on a dask.distributed LocalCluster,
written to a GeoTIFF block by block, in bounded memory.

A Gaussian model is fitted with `fit_gaussian` to 300 observations on a 10^4-vertex mesh of
a 20 km square (in UTM metres); the fit's `maps(..., chunks=...)` makes the map of its
posterior mean and sd at 1 m cells, in blocks of 512 x 1024 cells (dask `map_blocks`: each
block makes its cells, locates them in the mesh and predicts them on a worker), and
`to_geotiff` writes each block to its window of a tiled, compressed GeoTIFF as it arrives. Printed for
1 and 2 worker processes (one thread each, memory limit per worker explicit), with glibc's
malloc as it is, and then for 2 workers with the MALLOC_TRIM_THRESHOLD_ that distributed's
nannies set by default (it makes each large temporary a fresh mmap: the predictor runs
about 1.7 times slower here, for a smaller resident size): the time,
cells per second, the file's size, and the peak of the summed resident memory of every
process (this one, which runs the scheduler and writes the file, the nannies and the
workers), sampled every 50 ms with psutil. Checked afterwards: a few windows of the file
against `fit.predict` at their cell centres. For scale, first: the predictor alone on one
block in this process, the most a worker could do.

Usage: python benchmarks/bench_geo_dask_map.py [cells_per_side] [worker_memory]
Target: peak memory (all processes) under 2 GiB; cells per second for 1 and 2 workers.
Needs the geo and bench extras (distributed, psutil).
"""

import os
import sys
import tempfile
import threading
import time

import dask
import numpy as np

from bench_common import best_of, load_average
from fit_setup import simulate, square_model

import psutil
import rasterio
from distributed import Client, LocalCluster
from rasterio.windows import Window

from corvid.fit import fit_gaussian
from corvid.geo import to_geotiff
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh

SIDE = 20_000.0          # metres
CHUNKS = (512, 1024)
CRS = "EPSG:32633"


class PeakMemory:
    """The peak, over samples every `every` seconds, of the summed RSS of this process and
    all its descendants."""

    def __init__(self, every=0.05):
        self.every, self.peak, self._stop = every, 0, threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        me = psutil.Process()
        while not self._stop.is_set():
            total = 0
            for p in [me, *me.children(recursive=True)]:
                try:
                    total += p.memory_info().rss
                except psutil.Error:
                    pass
            self.peak = max(self.peak, total)
            time.sleep(self.every)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def main():
    side = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    worker_memory = sys.argv[2] if len(sys.argv) > 2 else "640MiB"
    rng = np.random.default_rng(0)
    square = square_model(10_000, side_length=SIDE).mesh
    model = gfield2_pcmatern(MkMesh(square.loc, square.tv, crs=CRS), prior_range=(2000.0, 0.5),
                             prior_sigma=(1.0, 0.1))
    loc, y, _ = simulate(model, 300, np.log([4000.0, 1.0, 0.2]), rng)
    started = time.perf_counter()
    fit = fit_gaussian(model, loc, y)
    print(f"fit: {model.mesh.n:,} vertices, {len(y)} observations, {time.perf_counter() - started:.1f} s; "
          f"{fit!r}")
    cells = side * side
    print(f"map: {side:,} x {side:,} = {cells:.3g} cells, 2 float64 layers ({2 * 8 * cells / 2**30:.1f} GiB "
          f"raw), blocks of {CHUNKS[0]} x {CHUNKS[1]}; worker memory limit {worker_memory}; "
          f"load {load_average()}")
    dims, lim = (side, side), (0.0, SIDE)
    # the predictor alone on one block in this process: what a worker could do at most
    xs = (np.arange(CHUNKS[1]) + 0.5) * (SIDE / side)
    ys = SIDE - (np.arange(CHUNKS[0]) + 0.5) * (SIDE / side)
    block = np.column_stack([a.ravel() for a in np.meshgrid(xs, ys)])
    alone, _ = best_of(3, lambda: fit.predict(block))
    print(f"the predictor alone, one block in this process: {block.shape[0] / alone / 1e6:.2f} M cells/s")
    rates = {}
    runs = [(1, False), (2, False), (2, True)]
    with tempfile.TemporaryDirectory(dir=os.environ.get("CORVID_BENCH_TMP")) as tmp:
        for workers, trim in runs:
            path = os.path.join(tmp, f"map{workers}{trim}.tif")
            # distributed's nannies set MALLOC_TRIM_THRESHOLD_ for their workers, which
            # fixes glibc's mmap threshold: every large temporary is then a fresh mmap
            environ = {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": 65536 if trim else None}
            with PeakMemory() as memory, dask.config.set(environ):
                with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  memory_limit=worker_memory, dashboard_address=None) as cluster, \
                        Client(cluster):
                    ds = fit.maps(dims, lim, lim, chunks=CHUNKS)
                    start = time.perf_counter()
                    to_geotiff(ds, path)
                    seconds = time.perf_counter() - start
            rates[workers, trim] = cells / seconds
            malloc = "MALLOC_TRIM_THRESHOLD_=65536 (distributed's default)" if trim else "glibc's own malloc"
            print(f"{workers} worker(s), {malloc}: {seconds:7.1f} s, {rates[workers, trim] / 1e6:5.2f} M cells/s, "
                  f"file {os.path.getsize(path) / 2**30:.2f} GiB, peak memory of all processes "
                  f"{memory.peak / 2**30:.2f} GiB (target < 2 GiB); load {load_average()}")
            check(path, fit, side)
            os.remove(path)
    print(f"2 workers / 1 worker: {rates[2, False] / rates[1, False]:.2f} x the cells per second; "
          f"distributed's malloc setting: {rates[2, True] / rates[2, False]:.2f} x")


def check(path, fit, side):
    """Windows of the file equal the fit's prediction at their cell centres, to the bit."""
    cell = SIDE / side
    with rasterio.open(path) as src:
        for row, col in ((0, 0), (side // 2 - 7, side // 3), (side - 40, side - 40)):
            window = Window(col, row, 40, 40)
            x = (np.arange(col, col + 40) + 0.5) * cell
            y = SIDE - (np.arange(row, row + 40) + 0.5) * cell
            xx, yy = np.meshgrid(x, y)
            mean, sd = fit.predict(np.column_stack([xx.ravel(), yy.ravel()]))
            assert np.array_equal(src.read(1, window=window).ravel(), mean), "mean differs"
            assert np.array_equal(src.read(2, window=window).ravel(), sd), "sd differs"


if __name__ == "__main__":
    main()

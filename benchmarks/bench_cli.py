"""Time `python -m corvid fit` end to end on a user's CSV file of 10^5 and 10^6 rows.

The file holds a smooth surface plus noise and a covariate's effect over a 100 x 50 region.
Each run is a separate process, as a user starts it: reading, meshing, fitting, the maps
and every file written. Printed: wall time, the peak resident memory of the run (the
child's VmHWM from getrusage), the mesh size and the estimates.
Targets: 10^5 rows in at most 45 s; 10^6 rows in at most 180 s with less than 4 GiB.

Usage: python benchmarks/bench_cli.py [rows ...]
"""

import os
import re
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

from bench_common import load_average


def write_data(path: str, rows: int) -> None:
    rng = np.random.default_rng(rows)
    x, y = rng.uniform(0, 100, rows), rng.uniform(0, 50, rows)
    z = rng.normal(size=rows)
    value = np.sin(x / 15) + np.cos(y / 10) + 0.5 * z + 0.3 * rng.normal(size=rows)
    np.savetxt(path, np.column_stack([x, y, z, value]), delimiter=",", fmt="%.6f",
               header="x,y,z,value", comments="")


def run(path: str, out: str) -> tuple[float, float, str]:
    """(seconds, peak GiB of the child, what it printed)."""
    start = time.perf_counter()
    result = subprocess.run([sys.executable, "-m", "corvid", "fit", path, "--x", "x", "--y", "y",
                             "--value", "value", "--covariates", "z", "--out", out, "--quiet"],
                            capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit(f"the run failed: {result.stderr}")
    peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 2**20  # KiB -> GiB
    return seconds, peak, result.stdout


def main(sizes: list[int]) -> None:
    print(f"load average {load_average()}")
    print(f"{'rows':>10}{'seconds':>10}{'peak GiB':>10}  mesh; estimates")
    with tempfile.TemporaryDirectory() as scratch:
        for rows in sizes:
            path = os.path.join(scratch, f"data{rows}.csv")
            write_data(path, rows)
            seconds, peak, printed = run(path, os.path.join(scratch, f"out{rows}"))
            mesh = re.search(r"mesh: (\d+) vertices", printed).group(1)
            table = {line.split()[0]: line.split()[1] for line in printed.splitlines()
                     if line.split() and line.split()[0] in ("range", "sigma", "noise_sd", "z")}
            # ru_maxrss of children is the largest child so far: runs go smallest first.
            print(f"{rows:>10,}{seconds:>10.1f}{peak:>10.2f}  {mesh} vertices; {table}")


if __name__ == "__main__":
    main([int(a) for a in sys.argv[1:]] or [100_000, 1_000_000])

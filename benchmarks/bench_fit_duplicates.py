"""Time fits whose rows share a few locations (stations measured again and again) against
fits of as many rows at distinct locations.

Cases: 10^5 and 10^6 Gaussian rows, and 10^5 Poisson rows, on a 400-vertex mesh of the unit
square, either at 3 stations or at uniform locations. Target: rows at 3 stations cost no
more than distinct rows (ratio <= 1.2). Each fit runs in a fresh process; the seconds are
the fit's own (data made beforehand).

Usage: python benchmarks/bench_fit_duplicates.py
"""

import os
import subprocess
import sys
import time

import numpy as np

CASES = [(100_000, "gaussian"), (1_000_000, "gaussian"), (100_000, "poisson")]
TARGET = 1.2


def run_case(n_obs, family, where):
    import warnings

    from corvid.fit import fit
    from fit_setup import square_model

    model = square_model(400, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    rng = np.random.default_rng(0)
    if where == "stations":
        loc = rng.uniform(0.1, 0.9, (3, 2))[rng.integers(0, 3, n_obs)]
    else:
        loc = rng.uniform(0.0, 1.0, (n_obs, 2))
    eta = np.sin(3.0 * loc[:, 0]) + 0.3 * rng.normal(size=n_obs)
    y = eta if family == "gaussian" else rng.poisson(np.exp(eta)).astype(float)
    started = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit(model, loc, y, family=family)
    print(f"{time.perf_counter() - started:.3f}")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--case":
        run_case(int(sys.argv[2]), sys.argv[3], sys.argv[4])
        return
    sys.path.insert(0, os.path.dirname(__file__))
    from fit_setup import load

    print(f"{load()}; target: 3 stations / distinct <= {TARGET}")
    for n_obs, family in CASES:
        seconds = {}
        for where in ("stations", "distinct"):
            out = subprocess.run([sys.executable, __file__, "--case", str(n_obs), family, where],
                                 capture_output=True, text=True, check=True)
            seconds[where] = float(out.stdout.split()[-1])
        ratio = seconds["stations"] / seconds["distinct"]
        print(f"{n_obs:>9} {family:<9} 3 stations {seconds['stations']:7.2f} s  distinct "
              f"{seconds['distinct']:7.2f} s  ratio {ratio:.2f}  "
              f"{'ok' if ratio <= TARGET else 'MISSED'}")


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(__file__))
    main()

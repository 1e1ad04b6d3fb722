"""What the correction of theta by the next terms of the Laplace expansion costs a Poisson
fit: the fit as it is against the same fit with the correction switched off, side by side.

Cases are bench_fit_families.py's (data simulated from the model, range 0.2, sigma 1):
10^3 observations on 10^3 vertices, 10^4 on 10^4, 10^5 on 5 x 10^4. Each run is a fresh
process; the two settings alternate, three rounds each (one for the largest case), with
the machine as it is and with the other core kept busy. Printed: the best time of each
and their ratio.

Usage: python benchmarks/bench_expansion_cost.py [case ...]   (cases 0 1 2)
"""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))

import numpy as np  # noqa: E402

CASES = [(1_000, 1_024, 3), (10_000, 10_000, 3), (100_000, 50_000, 1)]   # obs, vertices, rounds


def run(index: int, corrected: bool) -> None:
    import warnings

    import corvid.fit.fitting as fitting
    from bench_fit_families import poisson_data
    from corvid.fit import fit

    warnings.simplefilter("ignore")
    if not corrected:
        fitting.expansion_slope = lambda posterior, theta, root: np.zeros(theta.size)
    n_obs, vertices, _ = CASES[index]
    model, case = poisson_data(n_obs, vertices, index)
    started = time.perf_counter()
    result = fit(model, case.loc, case.y, family="poisson", covariates=case.x)
    print(time.perf_counter() - started, result.n_evaluations)


def main() -> None:
    from bench_common import load_average, other_core_busy

    if sys.argv[1:2] == ["--run"]:
        run(int(sys.argv[2]), sys.argv[3] == "1")
        return
    cases = [int(c) for c in sys.argv[1:]] or list(range(len(CASES)))
    print(load_average())
    for index in cases:
        n_obs, vertices, rounds = CASES[index]
        for busy in (False, True):
            best = {True: np.inf, False: np.inf}
            with other_core_busy(busy):
                for _ in range(rounds):
                    for corrected in (False, True):
                        out = subprocess.run([sys.executable, __file__, "--run", str(index),
                                              str(int(corrected))], check=True,
                                             capture_output=True, text=True).stdout.split()
                        best[corrected] = min(best[corrected], float(out[0]))
            state = "other core busy" if busy else "as is"
            print(f"{n_obs:>7} obs, {vertices:>6} vertices, {state:15}  Laplace "
                  f"{best[False]:7.2f} s   corrected {best[True]:7.2f} s   ratio "
                  f"{best[True] / best[False]:.2f}", flush=True)
    print(load_average())


if __name__ == "__main__":
    main()

"""Time full fits: posterior mode, Hessian, posterior mean and sd at every vertex.

Cases (data simulated from the model, range a fifth of the square, an intercept and one
covariate):
    10^4 observations on a 10^4-vertex mesh         target <= 10 s
    10^5 observations on a 5 x 10^4-vertex mesh     target <= 60 s, peak memory < 2 GiB
Each case runs in a fresh process, once with the machine as it is and once with the other
core kept busy; the peak memory is the fit's own (the process's high-water mark is reset
after the data are simulated).

Usage: python benchmarks/bench_fit.py [case ...]    (cases 0 and 1 by default)
"""

import os
import subprocess
import sys
import time

import numpy as np

from bench_common import reset_peak, status_kib

CASES = [(10_000, 10_000), (100_000, 50_000)]   # (observations, vertices)
TRUE = np.log([0.2, 1.0, 0.5])                  # range, sigma, noise sd


def run_case(index):
    from corvid.fit import fit_gaussian
    from fit_setup import simulate, square_model

    n_obs, vertices = CASES[index]
    model = square_model(vertices, prior_range=(0.05, 0.5), prior_sigma=(1.0, 0.1))
    loc, y, x = simulate(model, n_obs, TRUE, np.random.default_rng(index))
    reset = reset_peak()
    start = time.perf_counter()
    fit = fit_gaussian(model, loc, y, covariates=x)
    seconds = time.perf_counter() - start
    estimates = "  ".join(f"{name} {h.estimate:.4g} [{h.lower:.4g}, {h.upper:.4g}]"
                          for name, h in fit.hyperparameters.items())
    print(f"{seconds:.2f} {status_kib("VmHWM") * 1024 / 2**30 if reset else float('nan'):.3f} "
          f"{fit.n_evaluations} {fit.backend} {int(fit.converged)} {estimates}")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--case":
        run_case(int(sys.argv[2]))
        return
    sys.path.insert(0, os.path.dirname(__file__))
    from bench_common import other_core_busy
    from fit_setup import load

    cases = [int(a) for a in sys.argv[1:]] or range(len(CASES))
    print(f"truth: range 0.2, sigma 1, noise sd 0.5; {load()}")
    for index in cases:
        n_obs, vertices = CASES[index]
        target = 10 if index == 0 else 60
        for busy in (False, True):
            with other_core_busy(busy):
                out = subprocess.run([sys.executable, __file__, "--case", str(index)],
                                     capture_output=True, text=True, check=True).stdout.split()
            seconds, peak, evaluations, backend, converged = out[:5]
            print(f"{n_obs:>7} obs, {vertices:>6} vertices, {'other core busy' if busy else 'as is':15}"
                  f"  {float(seconds):6.2f} s (target <= {target})  peak {float(peak):.2f} GiB  "
                  f"{evaluations} evaluations  {backend}  converged={converged == '1'}")
            print("        " + " ".join(out[5:]))
    print(f"{load()}")


if __name__ == "__main__":
    main()

"""Coverage of fit_gaussian's 95% intervals on data simulated from the model.

Each replicate draws a field from the model (range 0.2, a fifth of the unit square; sigma 1)
on a regular mesh of the square, observes it at 10^4 uniform locations with an intercept,
one covariate and Gaussian noise (sd 0.5), and fits it. Printed: the share of replicates
whose 95% intervals cover the true range, sigma and noise sd, the mean estimate, the mean
standard error against the spread of the estimates, and the time per fit.

Usage: python benchmarks/recovery_fit.py [replicates] [mesh vertices]   (40, 6400)
Target: coverage of at least 90% for each hyperparameter.
"""

import sys
import time
import warnings

import numpy as np

from corvid.fit import ConvergenceWarning, fit_gaussian
from fit_setup import load, simulate, square_model

TRUE = {"range": 0.2, "sigma": 1.0, "noise_sd": 0.5}


def main():
    replicates = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    vertices = int(sys.argv[2]) if len(sys.argv) > 2 else 6400
    model = square_model(vertices, prior_range=(0.05, 0.5), prior_sigma=(1.0, 0.1))
    theta = np.log(list(TRUE.values()))
    print(f"{replicates} replicates, 10^4 observations, mesh of {model.mesh.n} vertices; {load()}")
    covered = {name: 0 for name in TRUE}
    estimates = {name: [] for name in TRUE}
    errors = {name: [] for name in TRUE}
    seconds, unconverged = [], 0
    for r in range(replicates):
        loc, y, x = simulate(model, 10_000, theta, np.random.default_rng(1000 + r))
        start = time.perf_counter()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ConvergenceWarning)
            fit = fit_gaussian(model, loc, y, covariates=x)
        seconds.append(time.perf_counter() - start)
        unconverged += any(issubclass(w.category, ConvergenceWarning) for w in caught)
        for name, truth in TRUE.items():
            h = fit.hyperparameters[name]
            covered[name] += h.lower <= truth <= h.upper
            estimates[name].append(np.log(h.estimate))
            errors[name].append(h.std_error / h.estimate)
    for name, truth in TRUE.items():
        logs = np.array(estimates[name])
        print(f"  {name:9} coverage {covered[name] / replicates:6.1%}   (target >= 90%)   "
              f"mean estimate {np.exp(logs.mean()):.4g} (truth {truth})   "
              f"log scale: mean se {np.mean(errors[name]):.4f}, sd of estimates {logs.std(ddof=1):.4f}")
    print(f"  {np.mean(seconds):.2f} s per fit (max {np.max(seconds):.2f}); "
          f"{unconverged} fit(s) warned of no convergence; {load()}")


if __name__ == "__main__":
    main()

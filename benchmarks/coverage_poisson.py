"""Coverage of fit(family="poisson")'s 95% intervals on data simulated from the model.

Each replicate draws a field from the model's own prior process at the truth (range 0.3 on
the unit square, sigma 1; `gmrf_sample(model.precision(theta))`) on a 30 x 30 regular mesh,
and counts y ~ Poisson(E exp(intercept + A u + slope x)) at 1000 uniform locations, with
intercept 0.5, slope 0.5, a standard normal covariate x and exposures E uniform on [0.5, 2].
Printed: the share of replicates whose 95% intervals cover the true intercept
(fixed_mean ± 1.96 fixed_sd, at the mode and integrated over the design) and the true range
and sigma (hyperparameters[...].lower, upper), the mean estimates, and the time per fit.

Usage: python benchmarks/coverage_poisson.py [replicates] [mesh vertices] [observations]
    (40, 900, 1000). Target: coverage of at least 90% for the intercept and the range.
"""

import sys
import time
import warnings

import numpy as np

from corvid.fit import ConvergenceWarning, fit
from corvid.meshkin.locate import basis_matrix
from corvid.sampling import gmrf_sample
from fit_setup import load, square_model

RANGE, SIGMA, INTERCEPT, SLOPE = 0.3, 1.0, 0.5, 0.5
Z95 = 1.959963984540054


def simulate(model, n_obs, rng):
    field = gmrf_sample(model.precision(np.log([RANGE, SIGMA])), rng)
    loc = rng.uniform(0.0, 1.0, (n_obs, 2))
    x = rng.normal(size=n_obs)
    exposure = rng.uniform(0.5, 2.0, n_obs)
    eta = basis_matrix(model.mesh, loc) @ field + INTERCEPT + SLOPE * x
    return loc, rng.poisson(exposure * np.exp(eta)).astype(np.float64), x, exposure


def main():
    replicates = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    vertices = int(sys.argv[2]) if len(sys.argv) > 2 else 900
    n_obs = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    model = square_model(vertices, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    print(f"{replicates} replicates, {n_obs} observations, mesh of {model.mesh.n} vertices; "
          f"truth range {RANGE}, sigma {SIGMA}, intercept {INTERCEPT}; {load()}")
    covered = {"intercept": 0, "intercept, integrated": 0, "range": 0, "sigma": 0}
    estimates = {name: [] for name in covered}
    seconds, seconds_integrated, unconverged = [], [], 0
    total = time.perf_counter()
    for r in range(replicates):
        loc, y, x, exposure = simulate(model, n_obs, np.random.default_rng(2000 + r))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ConvergenceWarning)
            started = time.perf_counter()
            at_mode = fit(model, loc, y, family="poisson", covariates=x, exposure=exposure)
            seconds.append(time.perf_counter() - started)
            started = time.perf_counter()
            integrated = fit(model, loc, y, family="poisson", covariates=x, exposure=exposure,
                             integrate=True)
            seconds_integrated.append(time.perf_counter() - started)
        unconverged += any(issubclass(w.category, ConvergenceWarning) for w in caught)
        for name, result in (("intercept", at_mode), ("intercept, integrated", integrated)):
            m, s = result.fixed_mean[0], result.fixed_sd[0]
            covered[name] += m - Z95 * s <= INTERCEPT <= m + Z95 * s
            estimates[name].append(m)
        for name, truth in (("range", RANGE), ("sigma", SIGMA)):
            h = at_mode.hyperparameters[name]
            covered[name] += h.lower <= truth <= h.upper
            estimates[name].append(h.estimate)
    total = time.perf_counter() - total
    for name, count in covered.items():
        target = "(target >= 90%)" if name != "sigma" else "               "
        print(f"  {name:22} coverage {count / replicates:6.1%}  {target}  mean estimate "
              f"{np.mean(estimates[name]):.4g}")
    print(f"  {np.mean(seconds):.2f} s per fit at the mode (max {np.max(seconds):.2f}), "
          f"{np.mean(seconds_integrated):.2f} s integrated (max {np.max(seconds_integrated):.2f}); "
          f"{total:.0f} s in all; {unconverged} replicate(s) warned of no convergence; {load()}")


if __name__ == "__main__":
    main()

"""Time what users do after a fit: joint samples, leave-one-out checks and an area index.

Cases (targets):
    samples  1,000 joint samples of a 5 x 10^4-vertex field (Gaussian fit at its theta,
             10^4 observations): <= 5 s, the factor re-created at the design point included
    checks   CPO, PIT, WAIC and residuals for 10^5 Poisson observations, after an
             integrated fit on a 2,500-vertex mesh: <= 10 s
    index    an index over a 10^6-cell grid with 1,000 samples (Poisson fit, 5,000
             observations, 2,500 vertices): <= 30 s within bounded memory (peak reported,
             the process's high-water mark reset after the fit)
Each case runs in a fresh process. The machine is shared: timings are noisy.

Usage: python benchmarks/bench_posterior.py [samples|checks|index ...]
"""

import os
import subprocess
import sys
import time
import warnings

import numpy as np

from bench_common import load_average, reset_peak, status_kib

TARGETS = {"samples": 5.0, "checks": 10.0, "index": 30.0}


def poisson_fit(model, n_obs, rng, integrate):
    from corvid.fit import fit
    from corvid.meshkin.locate import basis_matrix
    from corvid.sampling import gmrf_sample

    field = gmrf_sample(model.precision(np.log([0.3, 0.7])), rng)
    loc = rng.uniform(0.0, 1.0, (n_obs, 2))
    y = rng.poisson(np.exp(0.5 + basis_matrix(model.mesh, loc) @ field)).astype(float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit(model, loc, y, family="poisson", integrate=integrate)


def case_samples():
    from corvid.fit import fit_gaussian
    from fit_setup import simulate, square_model

    model = square_model(50_000, prior_range=(0.05, 0.5), prior_sigma=(1.0, 0.1))
    theta = np.log([0.2, 1.0, 0.5])
    loc, y, x = simulate(model, 10_000, theta, np.random.default_rng(0))
    fit = fit_gaussian(model, loc, y, covariates=x, theta=theta)
    start = time.perf_counter()
    samples = fit.sample(1000, seed=1)
    seconds = time.perf_counter() - start
    return seconds, f"field {samples.field.shape}, backend {fit.backend}"


def case_checks():
    from fit_setup import square_model

    model = square_model(2_500, prior_range=(0.05, 0.5), prior_sigma=(1.0, 0.1))
    fit = poisson_fit(model, 100_000, np.random.default_rng(1), integrate=True)
    start = time.perf_counter()
    checks = fit.checks()
    seconds = time.perf_counter() - start
    return seconds, (f"{fit.n_obs} observations, {fit.design_weights.size} design points, "
                     f"log score {checks.log_score:.1f}, WAIC {checks.waic:.1f}")


def case_index():
    from fit_setup import square_model

    model = square_model(2_500, prior_range=(0.05, 0.5), prior_sigma=(1.0, 0.1))
    fit = poisson_fit(model, 5_000, np.random.default_rng(2), integrate=True)
    side = 1000
    centres = (np.arange(side) + 0.5) / side
    xx, yy = np.meshgrid(centres, centres)
    cells = np.column_stack([xx.ravel(), yy.ravel()])
    regions = (xx.ravel() > 0.5).astype(int) + 2 * (yy.ravel() > 0.5)
    reset = reset_peak()
    before = status_kib("VmRSS")
    start = time.perf_counter()
    table = fit.index(cells, area=1.0 / side**2, by=regions, n=1000, seed=3)
    seconds = time.perf_counter() - start
    peak = (status_kib("VmHWM") - before) / 2**20 if reset else float("nan")
    cells_gib = cells.nbytes / 2**30
    return seconds, (f"{cells.shape[0]} cells in 4 regions; peak memory above the start "
                     f"{peak:.2f} GiB (the cells themselves {cells_gib:.3f} GiB; 1,000 x 10^6 "
                     f"values would be 7.45 GiB); estimates "
                     f"{np.round(table.estimate.values, 3).tolist()}")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--case":
        seconds, note = globals()[f"case_{sys.argv[2]}"]()
        print(f"{seconds:.2f} {note}")
        return
    cases = sys.argv[1:] or list(TARGETS)
    print(f"load average {load_average()} (a shared machine: the times are noisy)")
    for name in cases:
        out = subprocess.run([sys.executable, __file__, "--case", name], capture_output=True,
                             text=True, cwd=os.path.dirname(os.path.abspath(__file__)))
        if out.returncode:
            print(f"{name}: failed\n{out.stderr[-2000:]}")
            continue
        seconds, note = out.stdout.strip().split(" ", 1)
        print(f"{name:8s} {float(seconds):7.2f} s (target <= {TARGETS[name]:g} s)  {note}")


if __name__ == "__main__":
    main()

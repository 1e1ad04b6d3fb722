"""Time Poisson fits of an AR(1) space-time field, and say where the time goes.

Data simulated from the model: an AR(1) in time (rho 0.7) of Matérn fields (range 0.3,
sigma 0.5) on a regular grid mesh of the unit square, counts Poisson(exp(0.5 + eps_t(s) +
0.5 x)) with one standard normal covariate x at uniform locations, the same number per step.
The fit: `SpaceTime(time, "ar1")` without a static field (spatial=False), so that the latent
vector is the steps' fields alone.

Cases:
    0  10 steps on 2,025 vertices (2 x 10^4 latent values), 2 x 10^4 observations: target <= 30 s
    1  20 steps on 2,500 vertices (5 x 10^4 latent values), 5 x 10^4 observations: target
       <= 120 s and a peak memory < 4 GiB
Each case runs in a fresh process (its peak memory is the fit's own: the high-water mark is
reset after the data are simulated), once, and prints its time, memory, the Cholesky backend,
the estimates, and the CPU time spent in the sparse factorisations, the selected inverses,
the solves and the rest (each call's own thread's CPU time: the fit evaluates several theta
at once in threads where cores are free, so the parts may add up to more than the time).
Timings on a shared machine are noisy; the backend is whatever `corvid.fit.factor` picks.

Usage: python benchmarks/bench_spacetime.py [case ...]   (both by default)
"""

import argparse
import os
import subprocess
import sys
import time

import numpy as np

from bench_common import Split, evaluations_and_factorisations, load_average, reset_peak, status_kib

CASES = [(10, 2_025, 20_000, 30.0), (20, 2_500, 50_000, 120.0)]  # steps, vertices, obs, target s
TRUTH = dict(range=0.3, sigma=0.5, rho=0.7, intercept=0.5, slope=0.5)
HERE = os.path.dirname(os.path.abspath(__file__))
def simulate(steps, vertices, n_obs, seed):
    from corvid.meshkin.locate import basis_matrix
    from corvid.sampling import gmrf_sample
    from fit_setup import square_model

    rng = np.random.default_rng(seed)
    model = square_model(vertices, prior_range=(0.1, 0.5), prior_sigma=(1.0, 0.1))
    Q = model.precision(np.log([TRUTH["range"], TRUTH["sigma"]]))
    rho = TRUTH["rho"]
    fields = [gmrf_sample(Q, rng)]
    for _ in range(steps - 1):
        fields.append(rho * fields[-1] + np.sqrt(1 - rho ** 2) * gmrf_sample(Q, rng))
    time_of = np.repeat(np.arange(steps), n_obs // steps)
    loc = rng.uniform(0.0, 1.0, (time_of.size, 2))
    x = rng.normal(size=time_of.size)
    B = basis_matrix(model.mesh, loc)
    field = np.asarray(B.multiply(np.array(fields)[time_of]).sum(axis=1)).ravel()
    y = rng.poisson(np.exp(TRUTH["intercept"] + field + TRUTH["slope"] * x)).astype(float)
    return model, loc, y, x, time_of


def run_case(index):
    from corvid.fit import SpaceTime, fit

    steps, vertices, n_obs, _ = CASES[index]
    model, loc, y, x, time_of = simulate(steps, vertices, n_obs, index)
    reset = reset_peak()
    start, cpu = time.perf_counter(), time.process_time()
    with Split() as split:
        result = fit(model, loc, y, family="poisson", covariates=x, spatial=False,
                     effects=[SpaceTime(time_of, "ar1")])
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    peak = status_kib("VmHWM") * 1024 / 2**30 if reset else float("nan")
    estimates = "  ".join(f"{name} {h.estimate:.4g}" for name, h in result.hyperparameters.items())
    where = "  ".join(f"{part} {value:.1f} s" for part, value in split.seconds.items())
    where += f"  rest {cpu - sum(split.seconds.values()):.1f} s (CPU {cpu:.1f} s)"
    print(f"{seconds:.2f} {peak:.3f} {evaluations_and_factorisations(result)} {result.backend} {int(result.converged)}"
          f" | {estimates} | {where}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cases", nargs="*", type=int, default=[0, 1])
    parser.add_argument("--run", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.run is not None:
        run_case(args.run)
        return
    print(f"load average {load_average()}")
    for index in args.cases:
        steps, vertices, n_obs, target = CASES[index]
        out = subprocess.run([sys.executable, __file__, "--run", str(index)], capture_output=True,
                             text=True, cwd=HERE)
        if out.returncode:
            print(out.stderr)
            continue
        fields = out.stdout.split("|")
        seconds, peak, evaluations, backend, converged = fields[0].split()
        verdict = "ok" if float(seconds) <= target else "SLOW"
        print(f"case {index}: {steps} steps x {vertices} vertices, {n_obs} observations: "
              f"{float(seconds):.1f} s (target {target:g} s, {verdict}), peak {float(peak):.2f} GiB, "
              f"{evaluations} evaluations/factorisations, {backend}, converged {converged}")
        print(f"    estimates: {fields[1].strip()}  (truth range {TRUTH['range']}, sigma "
              f"{TRUTH['sigma']}, rho {TRUTH['rho']})")
        print(f"    time in {fields[2].strip()}")


if __name__ == "__main__":
    main()

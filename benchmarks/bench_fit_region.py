"""Time whole fits on the irregular coast-and-lake region mesh, with where the time goes.

Cases (data simulated from the model at uniform locations in the mesh: range 3 on a region
about 27 across, sigma 1, an intercept and one standard normal covariate):
    gaussian-small   10^4 observations, 10^4-vertex mesh        target <= 1.5 s
    gaussian         10^5 observations, 55,000-vertex mesh       target <= 8 s, < 1.5 GiB
    poisson          10^5 observations, 55,000-vertex mesh       target <= 15 s
Each case runs in a fresh process, with the machine as it is, then in one thread
(CORVID_WORKERS=1: the fit's evaluations one after another, as on a busy machine), then
with the other core kept busy; the peak memory is the fit's own (the process's high-water
mark is reset after the data are simulated). With --profile, one more quiet run of each case splits its
CPU time among the factorisations, the selected inversions, the solves, the orderings and
analyses, and the rest (counted where corvid.fit.factor is called). With --load N, the
cases run instead with 0, 1, ..., N processes keeping cores busy: a fit on a machine with
a load of L on C cores should take at most 1.3 L / C times its time alone (L counts the fit
itself and the busy processes; the load average is printed beside it).

Usage: python benchmarks/bench_fit_region.py [case ...] [--profile | --load N]
"""

import os
import subprocess
import sys
import time

import numpy as np

from bench_common import Split, evaluations_and_factorisations, reset_peak, status_kib

CASES = {  # observations, vertices, family, target seconds
    "gaussian-small": (10_000, 10_000, "gaussian", 1.5),
    "gaussian": (100_000, 55_000, "gaussian", 8.0),
    "poisson": (100_000, 55_000, "poisson", 15.0),
}
THETA = np.log([3.0, 1.0, 0.5])   # range, sigma, noise sd (Gaussian)
BETA = (0.5, 0.5)


def simulate(model, n_obs, family, rng):
    from corvid.meshkin.locate import basis_matrix
    from corvid.sampling import gmrf_sample
    from fit_setup import uniform_in_mesh

    field = gmrf_sample(model.precision(THETA[:2]), rng)
    loc = uniform_in_mesh(model.mesh, n_obs, rng)
    x = rng.normal(size=n_obs)
    eta = basis_matrix(model.mesh, loc) @ field + BETA[0] + BETA[1] * x
    if family == "gaussian":
        y = eta + np.exp(THETA[2]) * rng.normal(size=n_obs)
    else:
        y = rng.poisson(np.exp(eta)).astype(np.float64)
    return loc, y, x


def run_case(name, profile):
    import warnings

    from corvid.fit import DegreesWarning, fit
    from fit_setup import region_model

    n_obs, vertices, family, _ = CASES[name]
    model = region_model(vertices)
    loc, y, x = simulate(model, n_obs, family, np.random.default_rng(1))
    reset = reset_peak()
    split = Split()
    start, cpu = time.perf_counter(), time.process_time()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DegreesWarning)  # planar coordinates of a few units
        if profile:
            with split:
                result = fit(model, loc, y, family=family, covariates=x)
        else:
            result = fit(model, loc, y, family=family, covariates=x)
    seconds, cpu = time.perf_counter() - start, time.process_time() - cpu
    peak = status_kib("VmHWM") * 1024 / 2**30 if reset else float("nan")
    estimates = "  ".join(f"{k} {h.estimate:.4g}" for k, h in result.hyperparameters.items())
    parts = "  ".join(f"{k} {v:.2f} s" for k, v in split.seconds.items())
    rest = cpu - sum(split.seconds.values())
    print(f"{seconds:.2f} {cpu:.2f} {peak:.3f} {model.mesh.n} {evaluations_and_factorisations(result)} {result.backend} "
          f"{int(result.converged)} | {estimates} | {parts}" + (f"  rest {rest:.2f} s" if profile else ""))


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--case":
        run_case(sys.argv[2], "--profile" in sys.argv)
        return
    sys.path.insert(0, os.path.dirname(__file__))
    from bench_common import load_average, other_core_busy

    profile = "--profile" in sys.argv
    arguments = sys.argv[1:]
    if "--load" in arguments:
        at = arguments.index("--load")
        most = int(arguments[at + 1])
        del arguments[at:at + 2]
        for name in [a for a in arguments if a != "--profile"] or list(CASES):
            under_load(name, most)
        return
    names = [a for a in arguments if a != "--profile"] or list(CASES)
    print(f"truth: range 3, sigma 1 (noise sd 0.5); load average {load_average()}")
    for name in names:
        n_obs, _, family, target = CASES[name]
        # (state, other core busy, CORVID_WORKERS, profile): "one thread" is the fit as it
        # would run without evaluations side by side, on the same quiet machine
        runs = [("as is", False, None, False), ("one thread", False, "1", False),
                ("other core busy", True, None, False)] + \
            ([("as is", False, None, True)] if profile else [])
        for state, busy, workers, split in runs:
            environment = dict(os.environ)
            if workers:
                environment["CORVID_WORKERS"] = workers
            with other_core_busy(busy):
                command = [sys.executable, __file__, "--case", name] + (["--profile"] if split else [])
                out = subprocess.run(command, capture_output=True, text=True, check=True,
                                     env=environment).stdout
            head, estimates, parts = (part.strip() for part in out.split("|"))
            seconds, cpu, peak, vertices, evaluations, backend, converged = head.split()
            if split:
                print(f"    where the CPU time goes ({float(cpu):.2f} s): {parts}")
                continue
            print(f"{name:15} {n_obs:>7} obs, {int(vertices):>6} vertices, {state:15} "
                  f"{float(seconds):6.2f} s (target <= {target}; CPU {float(cpu):6.2f} s)  peak {float(peak):.2f} GiB  "
                  f"{evaluations} evaluations/factorisations  {backend}  converged={converged == '1'}  "
                  f"[{estimates}]")
    print(f"load average {load_average()}")


def under_load(name, most):
    """The case alone and beside 1 .. `most` busy processes, with the load measured."""
    from bench_common import busy_processes

    print(f"{name}: time with k other processes keeping cores busy ({os.cpu_count()} cores)")
    alone = None
    for count in range(most + 1):
        with busy_processes(count):
            before = os.getloadavg()[0]
            out = subprocess.run([sys.executable, __file__, "--case", name], capture_output=True,
                                 text=True, check=True).stdout
            after = os.getloadavg()[0]
        seconds, cpu = (float(v) for v in out.split()[:2])
        alone = alone or seconds
        # The load is the fit and the k busy processes: the one-minute load average lags
        # behind a load that has just begun, and is printed only beside it.
        load = count + 1
        allowed = 1.3 * max(load, os.cpu_count()) / os.cpu_count()
        print(f"  k = {count}: {seconds:6.2f} s (CPU {cpu:5.2f} s), {seconds / alone:4.2f} x alone; "
              f"load {load} (load average {before:.1f} .. {after:.1f}): allowed {allowed:.2f} x")


if __name__ == "__main__":
    main()

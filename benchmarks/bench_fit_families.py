"""Time Poisson fits, against NUTS on the same model, and Gaussian fits against an older build.

Cases (data simulated from the model: range 0.2 on the unit square, sigma 1, counts
Poisson(exp(0.5 + field + 0.5 x)) with one standard normal covariate x):
    0  10^4 observations on a 10^4-vertex mesh       target <= 15 s
    1  10^5 observations on a 5 x 10^4-vertex mesh   target <= 150 s, peak memory < 2.5 GiB
    nuts  10^3 observations on a 10^3-vertex mesh: corvid's fit (best of 5; target about
       0.3 s) against NUTS (reference_nuts.py) on the same finite model, the field
       non-centred (the default) and centred, one chain of 1000 warm-up and 2000 draws, the
       compile time left out. Per effective sample: the sampling time over the smallest ESS
       of theta, beta and the field; a parameterisation counts only when its chain is
       trusted (R-hat <= 1.01, smallest ESS >= 100). "Long enough": warm-up plus the draws for an ESS of
       400 in every quantity, an MC error of 0.05 posterior sd, a third of the accuracy
       benchmark's tolerance. Target: corvid at least 100 times faster.
    gaussian  bench_fit.py's first case at this build and at another (--old ROOT, a source
       tree with its own .venv, e.g. the commit before the likelihood families), run in
       turn five times each.
Cases 0 and 1 run in fresh processes, once with the machine as it is and once with the
other core kept busy; the peak memory is the fit's own (the process's high-water mark is
reset after the data are simulated).

Usage: python benchmarks/bench_fit_families.py [case ...] [--old ROOT]
    (cases 0 1 nuts by default; gaussian needs --old)
"""

import argparse
import os
import subprocess
import sys
import time

import numpy as np

from bench_common import reset_peak, status_kib

CASES = [(10_000, 10_000, 15.0), (100_000, 50_000, 150.0)]   # observations, vertices, target s
TRUTH = np.log([0.2, 1.0])
BETA = (0.5, 0.5)
NUTS_CASE = (1_000, 1_000)
ESS_NEEDED = 400
RHAT_TRUSTED, ESS_TRUSTED = 1.01, 100    # a chain whose ESS estimate is worth timing
HERE = os.path.dirname(os.path.abspath(__file__))


def poisson_data(n_obs, vertices, seed):
    from fit_setup import simulate_family, square_model

    model = square_model(vertices, prior_range=(0.05, 0.5), prior_sigma=(1.0, 0.1))
    case = simulate_family(model, "poisson", n_obs, np.random.default_rng(seed), TRUTH, BETA)
    return model, case


def run_case(index):
    from corvid.fit import fit

    n_obs, vertices, _ = CASES[index]
    model, case = poisson_data(n_obs, vertices, index)
    reset = reset_peak()
    start = time.perf_counter()
    result = fit(model, case.loc, case.y, family="poisson", covariates=case.x)
    seconds = time.perf_counter() - start
    estimates = "  ".join(f"{name} {h.estimate:.4g} [{h.lower:.4g}, {h.upper:.4g}]"
                          for name, h in result.hyperparameters.items())
    peak = status_kib("VmHWM") * 1024 / 2**30 if reset else float("nan")
    print(f"{seconds:.2f} {peak:.3f} {result.n_evaluations} {result.backend} "
          f"{int(result.converged)} {estimates}")


def run_nuts():
    from accuracy_nuts import compare
    from bench_common import best_of
    from corvid.fit import fit
    from reference_nuts import reference_for

    n_obs, vertices = NUTS_CASE
    model, case = poisson_data(n_obs, vertices, 7)
    seconds, result = best_of(5, lambda: fit(model, case.loc, case.y, family="poisson",
                                             covariates=case.x))
    seconds_integrated, integrated = best_of(5, lambda: fit(
        model, case.loc, case.y, family="poisson", covariates=case.x, integrate=True))
    print(f"  {n_obs} observations on {model.mesh.n} vertices")
    print(f"  corvid fit: {seconds:.3f} s at the mode, {seconds_integrated:.3f} s integrated "
          f"over {integrated.design_weights.size} design points (best of 5)")
    rows = []
    for centred in (False, True):
        ref = reference_for(model, case.loc, case.y, "poisson", case.x,
                            prior_sd=result.fixed_prior_sd, centred=centred)
        draws = ref.sample([(result.theta, result.fixed_mode, result.field_mode)], 1000, 2000)
        ess = min(e for e, _ in draws.diagnostics().values())
        rhat = max(r for _, r in draws.diagnostics().values())
        per_ess = draws.times["sampling"] / ess
        per_draw = draws.times["sampling"] / draws.theta.shape[1]
        needed = draws.times["warmup"] + per_draw * np.ceil(ESS_NEEDED / (ess / draws.theta.shape[1]))
        m = compare(integrated, draws)
        name = "centred" if centred else "non-centred"
        print(f"  NUTS {name}: {draws.summary()}")
        print(f"      {per_ess * 1e3:.1f} ms per effective sample (smallest ESS {ess:.0f}); "
              f"a run to ESS {ESS_NEEDED}: {needed:.1f} s; against corvid integrated: fixed "
              f"{np.max(m['fixed']):.2f}, field mean {m['field']:.3f}, field sd err max "
              f"{m['sd_error'][2]:.2f}, theta {np.max(m['hyper']):.2f}")
        if rhat <= RHAT_TRUSTED and ess >= ESS_TRUSTED:
            rows.append((name, per_ess, needed))
        else:
            print(f"      not trusted: R-hat {rhat:.3f}, smallest ESS {ess:.0f}")
    name, per_ess, needed = min(rows, key=lambda r: r[1])
    print(f"  NUTS ({name}, the less time per effective sample) to ESS {ESS_NEEDED}: {needed:.1f} s = "
          f"{needed / seconds:.0f} x corvid at the mode, {needed / seconds_integrated:.0f} x "
          f"integrated (target >= 100 x); one effective sample = {per_ess / seconds:.2f} corvid fits")


def run_gaussian(old_root, rounds=5):
    """bench_fit.py --case 0 at this build and at old_root, in turn."""
    builds = {"this build": (sys.executable, os.path.join(HERE, "bench_fit.py")),
              "old build": (os.path.join(old_root, ".venv", "bin", "python"),
                            os.path.join(old_root, "benchmarks", "bench_fit.py"))}
    times = {name: [] for name in builds}
    for _ in range(rounds):
        for name, (python, script) in builds.items():
            out = subprocess.run([python, script, "--case", "0"], capture_output=True, text=True,
                                 check=True, cwd=os.path.dirname(script)).stdout.split()
            times[name].append(float(out[0]))
    for name, values in times.items():
        print(f"  gaussian 10^4 obs, 10^4 vertices, {name:10}: best {min(values):.2f} s, "
              f"median {np.median(values):.2f} s  ({', '.join(f'{v:.2f}' for v in values)})")
    ratio = min(times["this build"]) / min(times["old build"])
    print(f"  this build / old build (best): {ratio:.2f}")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--case":
        run_case(int(sys.argv[2]))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--nuts":
        run_nuts()
        return
    from bench_common import other_core_busy
    from fit_setup import load

    parser = argparse.ArgumentParser()
    parser.add_argument("cases", nargs="*", default=["0", "1", "nuts"])
    parser.add_argument("--old", help="a source tree with its own .venv, for the gaussian case")
    args = parser.parse_args()
    print(f"poisson, truth: range 0.2, sigma 1; {load()}")
    for case in args.cases:
        if case == "nuts":
            subprocess.run([sys.executable, __file__, "--nuts"], check=True)
            continue
        if case == "gaussian":
            if not args.old:
                raise SystemExit("the gaussian case needs --old ROOT")
            run_gaussian(args.old)
            continue
        n_obs, vertices, target = CASES[int(case)]
        for busy in (False, True):
            with other_core_busy(busy):
                out = subprocess.run([sys.executable, __file__, "--case", case],
                                     capture_output=True, text=True, check=True).stdout.split()
            seconds, peak, evaluations, backend, converged = out[:5]
            memory = "  (target < 2.5 GiB)" if int(case) == 1 else ""
            print(f"{n_obs:>7} obs, {vertices:>6} vertices, {'other core busy' if busy else 'as is':15}"
                  f"  {float(seconds):6.2f} s (target <= {target:.0f})  peak {float(peak):.2f} GiB"
                  f"{memory}  {evaluations} evaluations  {backend}  converged={converged == '1'}")
            print("        " + " ".join(out[5:]))
    print(load())


if __name__ == "__main__":
    main()

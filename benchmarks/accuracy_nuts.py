"""corvid.fit.fit(..., integrate=True) against long NUTS runs of the same finite model.

Each family's case draws one field from the model (range 0.3 on the unit square, sigma 1)
on a 20 x 20 regular mesh, observes it at 300 uniform locations with an intercept and one
covariate, and fits it with the mean correction on and off; NUTS (reference_nuts.py) runs
4 chains of 1000 warm-up and 3000 draws each from dispersed starts. The "spacetime" case is
an AR(1) space-time field (5 steps on a 15 x 15 mesh, range 0.3, sigma 0.7, rho 0.7) and
an intercept per vessel (6 vessels, sd 0.4), 500 Poisson counts with an intercept and one
covariate, fitted with `spatial=False, effects=[SpaceTime(step, "ar1"), Group("vessel",
label)]` (SpaceTimeReference in reference_nuts.py). Printed per case and setting, with the
targets:

    fixed effects   max_j |mean - NUTS mean| / NUTS sd                   <= 0.15
    latent means    RMS over a block's values of |mean - NUTS mean| / NUTS sd, for every
                    block (the field; the space-time field and the group)  <= 0.15
    latent sds      |sd / NUTS sd - 1|: median, 95th percentile, max     <= 0.15
    hyperparameters |median - NUTS median| / NUTS sd on theta's scale    <= 0.3

corvid's hyperparameter median is its mode (theta, the Gaussian approximation's median);
beside it, "skew" is the median of the skewed Gaussian that the design's points give (a
split normal along each principal axis, its two halves' sds from the log posterior at the
axial points), and "mean" the design's weighted mean of theta. The sd ratio compares
sqrt(diag(theta_cov)) with the NUTS sds.

Usage: python benchmarks/accuracy_nuts.py [case ...] [--draws N] [--warmup N] [--chains N]
    cases: poisson binomial binomial3 nbinomial gamma spacetime (all by default)
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))

import numpy as np  # noqa: E402

from reference_nuts import SpaceTimeReference, check, reference_for, spacetime_check  # noqa: E402
from corvid.fit import Group, SpaceTime, fit  # noqa: E402
from corvid.fit.design import central_composite  # noqa: E402
from fit_setup import FAMILY_TRUTHS, family_of, load, simulate_family, square_model  # noqa: E402

VERTICES, N_OBS = 400, 300
PRIOR_RANGE, PRIOR_SIGMA = (0.3, 0.5), (1.0, 0.1)
ST_STEPS, ST_VERTICES, ST_OBS, ST_GROUPS = 5, 225, 500, 6
ST_TRUTH = dict(range=0.3, sigma=0.7, rho=0.7, sd=0.4, beta=(0.5, 0.5))
CASES = list(FAMILY_TRUTHS) + ["spacetime"]


def design_summaries(result, samples=200_000, seed=0):
    """(skewed-Gaussian medians, weighted means) of theta from the fit's design."""
    theta, cov = result.theta, result.theta_cov
    d = theta.size
    values, vectors = np.linalg.eigh(cov)
    root = vectors * np.sqrt(values)
    z = np.linalg.solve(root, (result.design_theta - theta).T).T
    grid, raw = central_composite(d)
    nearest = np.argmin(((z[:, None, :] - grid[None]) ** 2).sum(-1), axis=1)
    w = result.design_weights
    # Back from the weights to the log posterior relative to the mode (see corvid.fit.design).
    log_ratio = np.log(w / raw[nearest]) - np.log(w[0] / raw[0])
    relative = log_ratio - 0.5 * np.sum(grid[nearest] ** 2, axis=1)
    radius = np.abs(grid[1:]).max()
    halves = np.ones((d, 2))                        # sd of each principal axis, -/+ side
    for k in range(d):
        for side, sign in enumerate((-1.0, 1.0)):
            point = sign * radius * np.eye(d)[k]
            hit = np.flatnonzero(np.all(np.isclose(grid[nearest], point), axis=1))
            if hit.size and relative[hit[0]] < 0:
                halves[k, side] = radius / np.sqrt(-2.0 * relative[hit[0]])
    draws = np.random.default_rng(seed).normal(size=(samples, d))
    scaled = np.where(draws < 0, draws * halves[:, 0], draws * halves[:, 1])
    medians = np.median(theta + scaled @ root.T, axis=0)
    means = w @ result.design_theta
    return medians, means


def latent_blocks(result):
    """(name, mean, sd) of each latent block, in the latent vector's order."""
    blocks = [] if result.field_mean is None else [("field", result.field_mean, result.field_sd)]
    return blocks + [(name, e.mean.ravel(), e.sd.ravel()) for name, e in result.effects.items()]


def compare(result, draws):
    """The figures of the module's note for one fit against the NUTS draws."""
    beta = draws.beta.reshape(-1, draws.beta.shape[-1])
    u = draws.u.reshape(-1, draws.u.shape[-1])
    theta = draws.theta.reshape(-1, draws.theta.shape[-1])
    fixed = np.abs(result.fixed_mean - beta.mean(0)) / beta.std(0)
    fixed_sd = np.abs(result.fixed_sd / beta.std(0) - 1.0)
    blocks, start = {}, 0
    for name, mean, sd in latent_blocks(result):
        part = u[:, start:start + mean.size]
        start += mean.size
        blocks[name] = (np.sqrt(np.mean(((mean - part.mean(0)) / part.std(0)) ** 2)),
                        np.abs(sd / part.std(0) - 1.0))
    field = max(rms for rms, _ in blocks.values())
    sd_error = np.concatenate([errors for _, errors in blocks.values()])
    median, sd = np.median(theta, axis=0), theta.std(0)
    skew, mean = design_summaries(result)
    return dict(fixed=fixed, fixed_sd=fixed_sd, field=field, blocks=blocks,
                sd_error=np.percentile(sd_error, [50, 95, 100]),
                hyper=np.abs(result.theta - median) / sd, skew=np.abs(skew - median) / sd,
                mean=np.abs(mean - median) / sd,
                sd_ratio=np.sqrt(np.diag(result.theta_cov)) / sd)


def starts(result, chains, rng):
    """Dispersed starts around the fit: theta 1.5 of its sds off in a random direction."""
    sd = np.sqrt(np.diag(result.theta_cov))
    latent = [result.field_mode] if result.field_mode is not None else \
        [e.mode for e in result.effects.values()]
    return [(result.theta + 1.5 * sd * rng.normal(size=sd.size), result.fixed_mode, *latent)
            for _ in range(chains)]


def simulate_spacetime(rng):
    """(model, loc, y, x, step, label, truth theta) of the spacetime case."""
    from scipy import sparse

    from corvid.meshkin.locate import basis_matrix
    from corvid.sampling import gmrf_sample

    model = square_model(ST_VERTICES, prior_range=PRIOR_RANGE, prior_sigma=PRIOR_SIGMA)
    t = ST_TRUTH
    Q = model.precision(np.log([t["range"], t["sigma"]]))
    eps = [gmrf_sample(Q, rng)]
    for _ in range(ST_STEPS - 1):
        eps.append(t["rho"] * eps[-1] + np.sqrt(1 - t["rho"] ** 2) * gmrf_sample(Q, rng))
    step = np.repeat(np.arange(ST_STEPS), ST_OBS // ST_STEPS)
    label = rng.integers(0, ST_GROUPS, step.size)
    loc = rng.uniform(0.0, 1.0, (step.size, 2))
    x = rng.normal(size=step.size)
    B = sparse.csr_matrix(basis_matrix(model.mesh, loc))
    field = np.asarray(B.multiply(np.array(eps)[step]).sum(axis=1)).ravel()
    g = t["sd"] * rng.normal(size=ST_GROUPS)
    eta = field + g[label] + t["beta"][0] + t["beta"][1] * x
    y = rng.poisson(np.exp(eta)).astype(float)
    theta = np.array([np.log(t["range"]), np.log(t["sigma"]),
                      np.log((1 + t["rho"]) / (1 - t["rho"])), np.log(t["sd"])])
    return model, loc, y, x, step, label, theta


def run_spacetime(args, seed):
    from corvid.fit.fitting import family_for
    from corvid.fit.observations import observations

    model, loc, y, x, step, label, truth = simulate_spacetime(np.random.default_rng(seed))
    options = dict(family="poisson", covariates=x, spatial=False, integrate=True,
                   effects=[SpaceTime(step, "ar1"), Group("vessel", label)])
    fits, seconds = {}, {}
    for correction in (True, False):
        started = time.perf_counter()
        fits[correction] = fit(model, loc, y, mean_correction=correction, **options)
        seconds[correction] = time.perf_counter() - started
    result = fits[True]
    kind = family_for("poisson")
    obs = observations(model.mesh, loc, y, x, True)
    blocks = result._structure.blocks
    ref = SpaceTimeReference(model, kind, kind.data(y), obs.A, obs.X, result.fixed_prior_sd, step,
                             ST_STEPS, label, ST_GROUPS, blocks[0].rho_prior, blocks[1].prior)
    worst = max([*check(ref).values(), *spacetime_check(ref, result._structure).values()])
    draws = ref.sample(starts(result, args.chains, np.random.default_rng(seed)),
                       args.warmup, args.draws, seed=seed)
    header = (f"spacetime: truth exp(theta) = ({', '.join(f'{v:.3g}' for v in np.exp(truth))}) "
              f"(theta_rho {truth[2]:.3f}), beta = {ST_TRUTH['beta']}, mean y {y.mean():.3g}; "
              f"reference pieces agree with corvid's to {worst:.1e}")
    return report(header, draws, fits, seconds)


def run_case(name, args, seed):
    if name == "spacetime":
        return run_spacetime(args, seed)
    family = family_of(name)
    model = square_model(VERTICES, prior_range=PRIOR_RANGE, prior_sigma=PRIOR_SIGMA)
    case = simulate_family(model, name, N_OBS, np.random.default_rng(seed))
    fits, seconds = {}, {}
    for correction in (True, False):
        started = time.perf_counter()
        fits[correction] = fit(model, case.loc, case.y, family=family, covariates=case.x,
                               integrate=True, mean_correction=correction, **case.kwargs)
        seconds[correction] = time.perf_counter() - started
    ref = reference_for(model, case.loc, case.y, family, case.x,
                        prior_sd=fits[True].fixed_prior_sd, **case.kwargs)
    worst = max(check(ref).values())
    draws = ref.sample(starts(fits[True], args.chains, np.random.default_rng(seed)),
                       args.warmup, args.draws, seed=seed)
    truth = ", ".join(f"{v:.3g}" for v in np.exp(case.theta))
    header = (f"{name}: truth exp(theta) = ({truth}), beta = ({case.beta[0]:g}, {case.beta[1]:g}), "
              f"mean y {case.y.mean():.3g}; reference pieces agree with corvid's to {worst:.1e}")
    return report(header, draws, fits, seconds)


def report(header, draws, fits, seconds):
    """Prints a case's figures; {mean_correction: figures}."""
    print(f"\n{header}")
    print(f"  NUTS: {draws.summary()}")
    theta = draws.theta.reshape(-1, draws.theta.shape[-1])
    print("  NUTS theta median " + " ".join(f"{v:+.3f}" for v in np.median(theta, 0))
          + ", sd " + " ".join(f"{v:.3f}" for v in theta.std(0)))
    rows = {}
    for correction, result in fits.items():
        m = compare(result, draws)
        rows[correction] = m
        fmt = lambda a: " ".join(f"{v:.2f}" for v in np.atleast_1d(a))  # noqa: E731
        print(f"  mean_correction={str(correction):5}  {seconds[correction]:.2f} s  "
              f"fixed {fmt(m['fixed'])} (sd err {fmt(m['fixed_sd'])})  field mean {m['field']:.3f}"
              f"  field sd err {fmt(m['sd_error'])}")
        print(f"      theta mode {fmt(m['hyper'])}  skew {fmt(m['skew'])}  mean {fmt(m['mean'])}"
              f"  sd ratio {fmt(m['sd_ratio'])}  (corvid theta "
              + " ".join(f"{v:+.3f}" for v in result.theta) + ")")
        if len(m["blocks"]) > 1:
            print("      blocks: " + "; ".join(
                f"{name} mean {rms:.3f}, sd err max {errors.max():.2f}"
                for name, (rms, errors) in m["blocks"].items()))
    return rows


def verdict(rows):
    m = rows
    return (np.max(m["fixed"]) <= 0.15, m["field"] <= 0.15, m["sd_error"][2] <= 0.15,
            np.max(m["hyper"]) <= 0.3)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cases", nargs="*", default=CASES)
    parser.add_argument("--draws", type=int, default=3000)
    parser.add_argument("--warmup", type=int, default=1000)
    parser.add_argument("--chains", type=int, default=4)
    args = parser.parse_args()
    print(f"{VERTICES} vertices, {N_OBS} observations, priors range {PRIOR_RANGE} sigma "
          f"{PRIOR_SIGMA}; {load()}")
    table = {}
    for name in args.cases:  # each case its own data, whichever others run
        table[name] = run_case(name, args, seed=10 + CASES.index(name))
    print("\ntargets met (fixed <= 0.15, latent means <= 0.15, latent sd max <= 15%, theta <= 0.3):")
    for name, rows in table.items():
        for correction, m in rows.items():
            marks = " ".join("yes" if ok else "NO" for ok in verdict(m))
            print(f"  {name:10} mean_correction={str(correction):5}  {marks}")
    print(load())


if __name__ == "__main__":
    main()

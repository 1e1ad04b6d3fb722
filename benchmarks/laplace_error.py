"""Where fit's hyperparameter estimates part from NUTS: the Gaussian in theta, or the
Laplace approximation of p(y | theta) itself.

For one case of accuracy_nuts.py (same mesh, data and seed):
1. corvid's own log posterior log p(y | theta) + log pi(theta) (Laplace) on a grid over
   mode ± 4 sd in theta's principal axes (fit(theta=...) at each point), normalised: the
   medians of its marginals, against the mode and against the NUTS medians. A grid median
   near NUTS puts the difference on the Gaussian approximation in theta; a grid median near
   the mode, on the Laplace approximation of p(y | theta).
2. log p(y | theta) by importance sampling (the Laplace Gaussian N(x*, H⁻¹) of the latent
   x = (u, beta) as the proposal, dense, n + k dimensions) at the mode and one sd either
   side along each axis of theta, minus corvid's Laplace value there: the error of the
   Laplace approximation, and how it tilts the posterior of theta. Beside it, the next
   terms of the Laplace expansion, with V = Cov(eta) = B H⁻¹ Bᵀ, v = diag(V) and d3, d4
   the likelihood's third and fourth eta-derivatives at the mode:
       t4  = 1/8  sum_i d4_i v_i²                  (v only: cheap)
       t33 = 1/8  sum_ij d3_i v_i V_ij d3_j v_j    (one solve with H: cheap)
       t3  = 1/12 sum_ij d3_i d3_j V_ij³           (every pair: dense)

fit now applies these three terms (corvid.fit.expansion), so "corvid mode" below is the
mode of the corrected posterior, while the grid rows start from the plain Laplace values
that fit(theta=...) reports.

Usage: python benchmarks/laplace_error.py [case] [seed]   (binomial 11: accuracy_nuts.py's)
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))

import numpy as np  # noqa: E402
from scipy import linalg, special  # noqa: E402

from accuracy_nuts import PRIOR_RANGE, PRIOR_SIGMA, N_OBS, VERTICES, starts  # noqa: E402
from corvid.fit import fit  # noqa: E402
from fit_setup import family_of, load, simulate_family, square_model  # noqa: E402
from reference_nuts import reference_for  # noqa: E402

GRID = {2: 25, 3: 11}           # points per axis
SAMPLES = 40_000


def grid_posterior(model, case, family, result):
    """(theta points (m, d), corvid's log posterior there) on the grid of the module's note."""
    d = result.theta.size
    values, vectors = np.linalg.eigh(result.theta_cov)
    root = vectors * np.sqrt(values)
    axis = np.linspace(-4.0, 4.0, GRID[d])
    z = np.stack(np.meshgrid(*[axis] * d, indexing="ij"), -1).reshape(-1, d)
    thetas = result.theta + z @ root.T
    logp = np.array([fit(model, case.loc, case.y, family=family, covariates=case.x, theta=t,
                         **case.kwargs).log_posterior for t in thetas])
    return thetas, logp


def grid_medians(thetas, logp):
    """The medians of the grid posterior's marginals."""
    w = np.exp(logp - logp.max())
    w /= w.sum()
    medians = []
    for j in range(thetas.shape[1]):
        order = np.argsort(thetas[:, j])
        medians.append(np.interp(0.5, np.cumsum(w[order]), thetas[order, j]))
    return np.array(medians)


def latent_log_joint(model, ref, theta, x):
    """log p(y, x | theta) for rows x = (u, beta), dense."""
    n = ref.n
    Q = model.precision(theta[:2]).toarray()
    chol = np.linalg.cholesky(Q)
    logdet_q = 2.0 * np.sum(np.log(np.diag(chol)))
    u, beta = x[:, :n], x[:, n:]
    eta = np.einsum("ik,mik->mi", ref.vals, u[:, ref.cols]) + beta @ ref.X.T + ref.offset
    psi = theta[2] if theta.size == 3 else None
    ll = np.array([np.sum(ref.family.log_density(ref.data, e, psi)) for e in eta])
    field = 0.5 * logdet_q - 0.5 * np.einsum("mi,ij,mj->m", u, Q, u) - 0.5 * n * np.log(2 * np.pi)
    sd = ref.prior_sd
    fixed = np.sum(-0.5 * (beta / sd) ** 2 - np.log(sd) - 0.5 * np.log(2 * np.pi), axis=1)
    return ll + field + fixed, Q


def importance_log_likelihood(model, case, family, ref, theta, rng):
    """(IS estimate of log p(y | theta), corvid's Laplace value, our dense Laplace value,
    the IS effective sample size, the expansion's terms (t4, t33, t3))."""
    r = fit(model, case.loc, case.y, family=family, covariates=case.x, theta=theta,
            mean_correction=False, **case.kwargs)
    x_star = np.r_[r.field_mode, r.fixed_mode]
    value, Q = latent_log_joint(model, ref, theta, x_star[None])
    n = ref.n
    B = np.zeros((ref.X.shape[0], n))
    np.add.at(B, (np.arange(B.shape[0])[:, None], ref.cols), ref.vals)
    B = np.hstack([B, ref.X])
    eta = B @ x_star + ref.offset
    psi = theta[2] if theta.size == 3 else None
    w = -ref.family.derivatives(ref.data, eta, psi)[1]
    H = B.T @ (w[:, None] * B)
    H[:n, :n] += Q
    H[n:, n:] += np.diag(1.0 / ref.prior_sd**2)
    L = np.linalg.cholesky(H)
    half_logdet = np.sum(np.log(np.diag(L)))
    V = B @ linalg.cho_solve((L, True), B.T)
    v = np.diag(V)
    d3 = ref.family.derivatives(ref.data, eta, psi)[2]
    h = 1e-4
    d4 = (ref.family.derivatives(ref.data, eta + h, psi)[2]
          - ref.family.derivatives(ref.data, eta - h, psi)[2]) / (2 * h)
    terms = (np.sum(d4 * v**2) / 8, (d3 * v) @ V @ (d3 * v) / 8, d3 @ V**3 @ d3 / 12)
    dim = H.shape[0]
    laplace = value[0] - (half_logdet - 0.5 * dim * np.log(2 * np.pi))
    logs = []
    for _ in range(SAMPLES // 2000):
        e = rng.normal(size=(2000, dim))
        x = x_star + linalg.solve_triangular(L.T, e.T, lower=False).T
        joint, _ = latent_log_joint(model, ref, theta, x)
        logq = half_logdet - 0.5 * dim * np.log(2 * np.pi) - 0.5 * np.sum(e**2, axis=1)
        logs.append(joint - logq)
    logs = np.concatenate(logs)
    estimate = special.logsumexp(logs) - np.log(logs.size)
    weights = np.exp(logs - logs.max())
    ess = weights.sum() ** 2 / np.sum(weights**2)
    return estimate, r.log_marginal_likelihood, laplace, ess, terms


def main():
    name = sys.argv[1] if len(sys.argv) > 1 else "binomial"
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 11
    family = family_of(name)
    model = square_model(VERTICES, prior_range=PRIOR_RANGE, prior_sigma=PRIOR_SIGMA)
    case = simulate_family(model, name, N_OBS, np.random.default_rng(seed))
    result = fit(model, case.loc, case.y, family=family, covariates=case.x, **case.kwargs)
    ref = reference_for(model, case.loc, case.y, family, case.x, prior_sd=result.fixed_prior_sd,
                        **case.kwargs)
    sd = np.sqrt(np.diag(result.theta_cov))
    print(f"{name} (seed {seed}); {load()}")
    started = time.perf_counter()
    draws = ref.sample(starts(result, 4, np.random.default_rng(seed)), 1000, 1500, seed=seed)
    theta = draws.theta.reshape(-1, result.theta.size)
    nuts_median, nuts_sd = np.median(theta, 0), theta.std(0)
    print(f"  NUTS: {draws.summary()}")
    show = lambda a: " ".join(f"{v:+.3f}" for v in a)  # noqa: E731
    rng = np.random.default_rng(seed)
    print(f"  log p(y | theta): importance sampling ({SAMPLES} draws) minus Laplace")
    d = result.theta.size
    errors, expansion, expansion_all = np.zeros((d, 3)), np.zeros((d, 3)), np.zeros((d, 3))
    for j in range(d):
        for k, step in enumerate((-1.0, 0.0, 1.0)):
            if step == 0.0 and j > 0:
                errors[j, 1], expansion[j, 1] = errors[0, 1], expansion[0, 1]
                expansion_all[j, 1] = expansion_all[0, 1]
                continue
            t = result.theta + step * sd[j] * np.eye(d)[j]
            estimate, corvid_value, ours, ess, terms = importance_log_likelihood(
                model, case, family, ref, t, rng)
            errors[j, k], expansion[j, k] = estimate - corvid_value, terms[0] + terms[1]
            expansion_all[j, k] = sum(terms)
            print(f"    theta {show(t)}: IS - Laplace {estimate - corvid_value:+.4f}  (IS ESS "
                  f"{ess:.0f}; corvid's Laplace - dense Laplace {corvid_value - ours:+.1e});  "
                  f"t4 {terms[0]:+.4f} t33 {terms[1]:+.4f} t3 {terms[2]:+.4f} sum "
                  f"{sum(terms):+.4f}")
    started = time.perf_counter()
    thetas, logp = grid_posterior(model, case, family, result)
    print(f"  grid of {GRID[d]}^{d} Laplace evaluations: {time.perf_counter() - started:.0f} s")
    # The error as a plane in theta through the points one sd either side of the mode.
    slope = (errors[:, 2] - errors[:, 0]) / (2 * sd)
    slope_cheap = (expansion[:, 2] - expansion[:, 0]) / (2 * sd)
    slope_all = (expansion_all[:, 2] - expansion_all[:, 0]) / (2 * sd)
    rows = [("corvid mode", result.theta), ("Laplace grid median", grid_medians(thetas, logp)),
            ("grid + IS error", grid_medians(thetas, logp + (thetas - result.theta) @ slope)),
            ("grid + t4 + t33", grid_medians(thetas, logp + (thetas - result.theta) @ slope_cheap)),
            ("grid + t4 + t33 + t3", grid_medians(thetas, logp + (thetas - result.theta) @ slope_all))]
    print(f"  NUTS median {show(nuts_median)}, sd {show(nuts_sd)}; (x - NUTS median) / NUTS sd:")
    for label, value in rows:
        print(f"    {label:20} {show(value)}   {show((value - nuts_median) / nuts_sd)}")
    print(load())


if __name__ == "__main__":
    main()

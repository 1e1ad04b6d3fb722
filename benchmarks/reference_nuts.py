"""The reference for corvid.fit.fit: NUTS (numpyro, JAX) on the same finite model.

    theta = (log range, log sigma[, psi]),  pi(theta) = the fit's PC priors on range and
        sigma (`corvid.fit.field_prior`) times the family's prior on psi (`family.log_prior`);
    u | theta ~ N(0, Q(theta)⁻¹),  beta_j ~ N(0, s_j²) with s_j = fit.fixed_prior_sd;
    eta = A u + X beta + offset,  y_i ~ p(y_i | eta_i, psi), the family's log density.

The field is sampled non-centred through the sparse structure of Q: Q = tau² K C⁻¹ K with
K = kappa² C + G and C diagonal (corvid's `_has_k_structure`), so with S = C^(-1/2) G C^(-1/2)
= V diag(lambda) Vᵀ, factored once,

    Q = tau² C^(1/2) V diag((kappa² + lambda)²) Vᵀ C^(1/2),
    log |Q| = 2 n log tau + sum log c_i + 2 sum log(kappa² + lambda_i),
    u = C^(-1/2) V diag(1 / (tau (kappa² + lambda))) z,  z ~ N(0, I).

V is a fixed basis (n x n, one product per gradient), not a covariance: nothing is factored
or inverted while sampling. Each row of A has three entries, gathered rather than multiplied.
With `centred=True` the field u itself is sampled, its log density from the sparse
quadratic form uᵀ Q u = tau² |C^(-1/2) K u|² (G's entries gathered, O(nnz) a gradient) and
log |Q| from the eigenvalues above.

`check(...)` compares every piece with corvid's own (prior densities, log densities, log |Q|,
the covariance of u) before a run is trusted; `python benchmarks/reference_nuts.py` runs it.
"""

import os
import time

import jax
import jax.numpy as jnp
import numpy as np
from jax import lax
from jax.scipy.special import gammaln
from numpyro.diagnostics import effective_sample_size, split_gelman_rubin
from numpyro.infer.hmc import hmc

from corvid.fit.families import FamilyData
from corvid.fit.field_prior import pc_matern_prior
from corvid.fit.latent import _has_k_structure
from corvid.fit.precision import FieldPrecision

jax.config.update("jax_enable_x64", True)

BLOCK = 50   # NUTS transitions a jitted call


def _log_likelihood(name, y, trials):
    """The family's log density summed over observations, as a JAX function of (eta, psi),
    every constant included (as corvid's `Family.log_density`)."""
    y, trials = jnp.asarray(y), jnp.asarray(trials)
    if name == "poisson":
        const = -gammaln(y + 1.0)
        return lambda eta, psi: jnp.sum(y * eta - jnp.exp(eta) + const)
    if name == "binomial":
        const = gammaln(trials + 1.0) - gammaln(y + 1.0) - gammaln(trials - y + 1.0)
        return lambda eta, psi: jnp.sum(const + y * eta - trials * jnp.logaddexp(0.0, eta))
    if name == "nbinomial":
        const = -gammaln(y + 1.0)

        def nbinomial(eta, psi):
            r = jnp.exp(psi)
            return jnp.sum(gammaln(y + r) - gammaln(r) + const + r * psi + y * eta
                           - (y + r) * jnp.logaddexp(psi, eta))
        return nbinomial
    if name == "gamma":
        log_y = jnp.log(y)

        def gamma(eta, psi):
            phi = jnp.exp(psi)
            return jnp.sum(phi * psi - phi * eta + (phi - 1.0) * log_y - phi * y * jnp.exp(-eta)
                           - gammaln(phi))
        return gamma
    raise ValueError(f"no reference for the {name} family")


class Reference:
    """The posterior of (theta, beta, u) for one data set, as a JAX potential.

    model: a GFIELD2PcMatern model; family: corvid's family object (with its prior);
    data: its FamilyData (y, offset, trials); A: (n_obs, n) basis; X: (n_obs, k) design;
    prior_sd: (k,) the fixed effects' prior sds.
    """

    def __init__(self, model, family, data: FamilyData, A, X, prior_sd, centred=False):
        field = FieldPrecision.of_model(model)
        if not _has_k_structure(field):
            raise ValueError("the reference needs Q = tau² K C⁻¹ K with C diagonal")
        self.model, self.family, self.data = model, family, data
        self.n, self.k = field.n, X.shape[1]
        self.d = 2 + (family.hyperparameter is not None)
        self.b = field.b[:2]                              # rows of log tau, log kappa²
        c = field.M0.diagonal()
        root = 1.0 / np.sqrt(c)
        S = (field.M1.multiply(root[:, None]).multiply(root[None, :])).toarray()
        lam, V = np.linalg.eigh(0.5 * (S + S.T))
        self.c, self.lam = c, lam
        self.M = V * root[:, None]                        # C^(-1/2) V
        G = field.M1.tocoo()
        self.g_rows, self.g_cols, self.g_vals = G.row, G.col, G.data
        self.centred = centred
        A = A.tocsr()
        counts = np.diff(A.indptr)
        cols, vals = np.zeros((A.shape[0], 3), np.int64), np.zeros((A.shape[0], 3))
        slot = np.arange(A.nnz) - np.repeat(A.indptr[:-1], counts)
        row = np.repeat(np.arange(A.shape[0]), counts)
        cols[row, slot], vals[row, slot] = A.indices, A.data
        self.cols, self.vals, self.X = cols, vals, np.asarray(X, dtype=np.float64)
        self.offset, self.prior_sd = data.offset, np.asarray(prior_sd, dtype=np.float64)
        self.field_prior = pc_matern_prior(model.prior_range, model.prior_sigma)
        self.rates = (self.field_prior.range_rate, self.field_prior.sigma_rate)
        self.log_likelihood = _log_likelihood(family.name, data.y, data.trials)

    # ---- the pieces, each checked against corvid's by `check` -----------------------------

    def scales(self, theta):
        """1 / (tau (kappa² + lambda)), (n,): the sd of u's coordinates in V's basis."""
        log_tau = self.b[0, 0] + self.b[0, 1] * theta[0] + self.b[0, 2] * theta[1]
        log_kappa2 = self.b[1, 0] + self.b[1, 1] * theta[0] + self.b[1, 2] * theta[1]
        return jnp.exp(-log_tau) / (jnp.exp(log_kappa2) + self.lam)

    def log_det_q(self, theta):
        log_tau = self.b[0, 0] + self.b[0, 1] * theta[0] + self.b[0, 2] * theta[1]
        log_kappa2 = self.b[1, 0] + self.b[1, 1] * theta[0] + self.b[1, 2] * theta[1]
        return (2 * self.n * log_tau + np.sum(np.log(self.c))
                + 2 * jnp.sum(jnp.log(jnp.exp(log_kappa2) + self.lam)))

    def field_log_prior(self, theta):
        """The fit's PC priors on the log scale: P(range < r0) = p, exponential in 1/range;
        sigma exponential."""
        lr, ls = self.rates
        return (np.log(lr) - lr * jnp.exp(-theta[0]) - theta[0]
                + np.log(ls) - ls * jnp.exp(theta[1]) + theta[1])

    def hyper_log_prior(self, theta):
        prior = self.family.prior
        if prior is None:
            return 0.0
        psi = theta[2]
        return (np.log(prior.rate) - prior.rate * jnp.exp(prior.power * psi)
                + np.log(abs(prior.power)) + prior.power * psi)

    def field(self, theta, z):
        return self.M @ (self.scales(theta) * z)

    def quadratic_form(self, theta, u):
        """uᵀ Q(theta) u from the sparse K."""
        log_tau = self.b[0, 0] + self.b[0, 1] * theta[0] + self.b[0, 2] * theta[1]
        log_kappa2 = self.b[1, 0] + self.b[1, 1] * theta[0] + self.b[1, 2] * theta[1]
        Gu = jax.ops.segment_sum(self.g_vals * u[self.g_cols], self.g_rows, self.n)
        Ku = jnp.exp(log_kappa2) * self.c * u + Gu
        return jnp.exp(2 * log_tau) * jnp.sum(Ku**2 / self.c)

    def _potential(self, p):
        theta, beta = p["theta"], p["beta"]
        psi = theta[2] if self.d == 3 else None
        if self.centred:
            u = p["u"]
            field = 0.5 * self.log_det_q(theta) - 0.5 * self.quadratic_form(theta, u)
        else:
            u = self.field(theta, p["z"])
            field = -0.5 * jnp.sum(p["z"] ** 2)
        eta = jnp.sum(self.vals * u[self.cols], axis=1) + self.X @ beta + self.offset
        log_post = (self.log_likelihood(eta, psi) + field + self.field_log_prior(theta)
                    + self.hyper_log_prior(theta) - 0.5 * jnp.sum((beta / self.prior_sd) ** 2))
        return -log_post

    def z_of(self, theta, u):
        """The standard normal coordinates of a field u at theta."""
        return (self.M.T @ (self.c * u)) / np.asarray(self.scales(theta))

    def initial(self, start):
        """The sampler's first state from a start (theta, beta, u)."""
        theta, beta, u = start
        init = {"theta": jnp.asarray(theta), "beta": jnp.asarray(beta)}
        if self.centred:
            init["u"] = jnp.asarray(u)
        else:
            init["z"] = jnp.asarray(self.z_of(theta, u))
        return init

    def latent_draws(self, theta, samples):
        """The field's draws (chains, draws, n) from the chains' samples."""
        if self.centred:
            return np.stack([np.asarray(s["u"]) for s in samples])
        z = np.stack([np.asarray(s["z"]) for s in samples])
        scales = np.asarray(jax.vmap(jax.vmap(self.scales))(jnp.asarray(theta)))
        return (z * scales) @ self.M.T

    # ---- sampling --------------------------------------------------------------------------

    def sample(self, starts, warmup=1000, draws=2000, seed=0, target_accept=0.9):
        """NUTS from each start (a list of (theta, beta, u)), one chain after another, in
        jitted blocks of BLOCK transitions compiled once for all chains. Warm-up and draws
        are rounded up to whole blocks. Timed apart: each chain's set-up (the first step
        size), the compilation (once) and, the figures that count, warm-up and sampling."""
        init_kernel, sample_kernel = hmc(potential_fn=self._potential, algo="NUTS")

        def transitions(state):
            def one(s, _):
                s = sample_kernel(s)
                return s, (s.z, s.num_steps, s.diverging)
            return lax.scan(one, state, None, length=BLOCK)

        block = jax.jit(transitions)
        warmup, draws = BLOCK * -(-warmup // BLOCK), BLOCK * -(-draws // BLOCK)
        chains, times = [], {"warmup": 0.0, "sampling": 0.0, "compile": 0.0, "set-up": 0.0}
        for index, start in enumerate(starts):
            init = self.initial(start)
            started = time.perf_counter()
            state = jax.block_until_ready(init_kernel(
                init, warmup, target_accept_prob=target_accept,
                rng_key=jax.random.PRNGKey(seed + index)))
            times["set-up"] += time.perf_counter() - started
            if index == 0:
                started = time.perf_counter()
                jax.block_until_ready(block(state))     # compiles; the state is kept
                times["compile"] = time.perf_counter() - started
            started = time.perf_counter()
            for _ in range(warmup // BLOCK):
                state, _ = block(state)
            jax.block_until_ready(state)
            times["warmup"] += time.perf_counter() - started
            started = time.perf_counter()
            outs = []
            for _ in range(draws // BLOCK):
                state, out = block(state)
                outs.append(out)
            jax.block_until_ready(outs)
            times["sampling"] += time.perf_counter() - started
            samples = {key: np.concatenate([np.asarray(o[0][key]) for o in outs])
                       for key in init}
            extra = {"num_steps": np.concatenate([np.asarray(o[1]) for o in outs]),
                     "diverging": np.concatenate([np.asarray(o[2]) for o in outs])}
            chains.append((samples, extra))
        return Draws(self, chains, times)


class Draws:
    """The chains' draws as (chains, draws, ...) arrays: theta, beta and the field u, with
    their ESS and split R-hat."""

    def __init__(self, ref: Reference, chains, times):
        self.theta = np.stack([np.asarray(s["theta"]) for s, _ in chains])
        self.beta = np.stack([np.asarray(s["beta"]) for s, _ in chains])
        self.u = ref.latent_draws(self.theta, [s for s, _ in chains])
        self.steps = np.concatenate([np.asarray(e["num_steps"]) for _, e in chains])
        self.divergent = int(sum(np.asarray(e["diverging"]).sum() for _, e in chains))
        self.times = times

    def ess(self, values):
        return np.asarray(effective_sample_size(values))

    def rhat(self, values):
        return np.asarray(split_gelman_rubin(values))

    def diagnostics(self):
        """{name: (min ESS, max R-hat)} for theta, beta and u, and the draws' totals."""
        out = {name: (float(np.min(self.ess(v))), float(np.max(self.rhat(v))))
               for name, v in (("theta", self.theta), ("beta", self.beta), ("u", self.u))}
        return out

    def summary(self):
        diag = self.diagnostics()
        parts = [f"{name} ESS >= {e:.0f}, R-hat <= {r:.3f}" for name, (e, r) in diag.items()]
        chains, draws = self.theta.shape[:2]
        return (f"{chains} chains x {draws} draws: " + "; ".join(parts)
                + f"; {self.divergent} divergent; mean {self.steps.mean():.1f} leapfrog steps; "
                f"warm-up {self.times['warmup']:.1f} s, sampling {self.times['sampling']:.1f} s "
                f"(set-up {self.times['set-up']:.1f} s and compile {self.times['compile']:.1f} s "
                "left out)")


class SpaceTimeReference(Reference):
    """An AR(1) space-time field and a group intercept, the model that
    `fit(..., spatial=False, effects=[SpaceTime(time, "ar1"), Group(name, labels)])` fits:

        theta = (log range, log sigma, log((1 + rho)/(1 - rho)), log sd);
        eps_1 = u(z_1), eps_t = rho eps_(t-1) + sqrt(1 - rho²) u(z_t), with u(z) the field of
            standard normal coordinates z as above (so each eps_t ~ N(0, Q⁻¹): precision
            R(rho) ⊗ Q);
        g = sd zg, zg ~ N(0, I);  eta = A eps_(step) + g_(label) + X beta + offset.

    Priors: the field's PC prior (the model's), rho's PC prior with base model rho = 1
    (`rho_prior`, corvid's `PCCorrelationPrior`) and sd exponential (`sd_prior`, corvid's
    `PCRatePrior`), written out here. `step` and `label` (n_obs,) are 0-based indices of
    each observation's step (of `steps`) and label (of `groups`). The latent draws are the
    steps' fields then the labels' intercepts, corvid's order.
    """

    def __init__(self, model, family, data, A, X, prior_sd, step, steps, label, groups,
                 rho_prior, sd_prior):
        super().__init__(model, family, data, A, X, prior_sd)
        self.step, self.T = np.asarray(step), int(steps)
        self.label, self.G = np.asarray(label), int(groups)
        self.rho_prior, self.sd_prior = rho_prior, sd_prior
        self.d = 4

    def theta_log_prior(self, theta):
        lam, rate = self.rho_prior.rate, self.sd_prior.rate
        t = theta[2]
        log_one_minus = np.log(2.0) - jnp.logaddexp(0.0, t)       # log(1 - rho)
        log_one_plus = np.log(2.0) - jnp.logaddexp(0.0, -t)       # log(1 + rho)
        rho = (np.log(lam) - lam * jnp.exp(0.5 * log_one_minus) + 0.5 * log_one_minus
               + log_one_plus - np.log(4.0) - np.log(-np.expm1(-lam * np.sqrt(2.0))))
        sd = np.log(rate) - rate * jnp.exp(theta[3]) + theta[3]
        return self.field_log_prior(theta) + rho + sd

    def fields(self, theta, z):
        """The steps' fields (T, n) from their coordinates z (T, n)."""
        u = (z * self.scales(theta)) @ self.M.T
        rho = jnp.tanh(0.5 * theta[2])
        eps = [u[0]]
        for t in range(1, self.T):
            eps.append(rho * eps[-1] + jnp.sqrt(1.0 - rho ** 2) * u[t])
        return jnp.stack(eps)

    def _potential(self, p):
        theta, beta = p["theta"], p["beta"]
        eps = self.fields(theta, p["z"])
        g = jnp.exp(theta[3]) * p["zg"]
        eta = (jnp.sum(self.vals * eps[self.step[:, None], self.cols], axis=1) + g[self.label]
               + self.X @ beta + self.offset)
        log_post = (self.log_likelihood(eta, None) - 0.5 * jnp.sum(p["z"] ** 2)
                    - 0.5 * jnp.sum(p["zg"] ** 2) + self.theta_log_prior(theta)
                    - 0.5 * jnp.sum((beta / self.prior_sd) ** 2))
        return -log_post

    def initial(self, start):
        """From (theta, beta, the steps' fields (T, n), the labels' intercepts (G,))."""
        theta, beta, eps, g = start
        rho = np.tanh(0.5 * theta[2])
        u = np.vstack([eps[:1], (eps[1:] - rho * eps[:-1]) / np.sqrt(1.0 - rho ** 2)])
        z = np.array([self.z_of(theta, row) for row in u])
        return {"theta": jnp.asarray(theta), "beta": jnp.asarray(beta), "z": jnp.asarray(z),
                "zg": jnp.asarray(np.asarray(g) / np.exp(theta[3]))}

    def latent_draws(self, theta, samples):
        z = np.stack([np.asarray(s["z"]) for s in samples])            # (chains, draws, T, n)
        scales = np.asarray(jax.vmap(jax.vmap(self.scales))(jnp.asarray(theta)))
        u = (z * scales[:, :, None, :]) @ self.M.T
        rho = np.tanh(0.5 * theta[..., 2])[..., None]
        eps = [u[:, :, 0]]
        for t in range(1, self.T):
            eps.append(rho * eps[-1] + np.sqrt(1.0 - rho ** 2) * u[:, :, t])
        g = np.exp(theta[..., 3])[..., None] * np.stack([np.asarray(s["zg"]) for s in samples])
        return np.concatenate([np.stack(eps, axis=2).reshape(z.shape[0], z.shape[1], -1), g], axis=2)


def spacetime_check(ref: SpaceTimeReference, structure, rng=None):
    """The largest discrepancies of the space-time reference's pieces from corvid's: the
    hyperparameters' log prior (the `LatentStructure`'s), and the covariance of the steps'
    fields against the inverse of R(rho) ⊗ Q."""
    rng = rng or np.random.default_rng(0)
    thetas = rng.normal([np.log(0.3), 0.0, 1.0, np.log(0.5)], 0.5, (5, 4))
    out = {"priors": max(abs(float(ref.theta_log_prior(t)) - structure.log_prior(t)[0])
                         for t in thetas)}
    theta = thetas[0]
    T, n = ref.T, ref.n
    rho = np.tanh(0.5 * theta[2])
    root = ref.M * np.asarray(ref.scales(theta))                      # u = root z
    L = np.zeros((T * n, T * n))
    for t in range(T):
        for s in range(t + 1):
            L[t * n:(t + 1) * n, s * n:(s + 1) * n] = rho ** (t - s) * (1.0 if s == 0 else
                                                                          np.sqrt(1 - rho ** 2)) * root
    R = (1 + rho ** 2) * np.eye(T) - rho * (np.eye(T, k=1) + np.eye(T, k=-1))
    R[0, 0] = R[-1, -1] = 1.0
    P = np.kron(R / (1 - rho ** 2), ref.model.precision(theta[:2]).toarray())
    out["Cov(eps) R⊗Q - I"] = float(np.abs((L @ L.T) @ P - np.eye(T * n)).max())
    return out


def reference_for(model, loc, y, family, covariates=None, exposure=None, trials=None,
                  prior_sd=None, centred=False):
    """A Reference for the data that `corvid.fit.fit(model, loc, y, family=..., ...)` takes
    (an intercept and the covariates), with the fit's fixed-effect prior sds."""
    from corvid.fit.fitting import family_for
    from corvid.fit.observations import observations, response_values

    kind = family_for(family)
    values = response_values(y)
    data = kind.data(values, exposure, trials)
    obs = observations(model.mesh, loc, values, covariates, True)
    return Reference(model, kind, data, obs.A, obs.X, prior_sd, centred)


def check(ref: Reference, rng=None):
    """The largest discrepancies of the reference's pieces from corvid's: the priors, the
    log density, log |Q| and the covariance of u (dense, for small meshes)."""
    rng = rng or np.random.default_rng(0)
    out = {}
    thetas = rng.normal(np.r_[np.log(0.3), 0.0, 1.0, 0.0][:ref.d], 0.7, (5, ref.d))
    out["field prior"] = max(abs(float(ref.field_log_prior(t)) - ref.field_prior(t[:2])[0])
                             for t in thetas)
    out["family prior"] = max(abs(float(ref.hyper_log_prior(t)) - ref.family.log_prior(t[2:])[0])
                              for t in thetas)
    eta = rng.normal(0.0, 1.5, ref.data.y.size)
    psi = 1.0 if ref.d == 3 else None
    ours = float(ref.log_likelihood(jnp.asarray(eta), psi))
    theirs = float(np.sum(ref.family.log_density(ref.data, eta, psi)))
    out["log density"] = abs(ours - theirs) / max(1.0, abs(theirs))
    worst_det, worst_cov, worst_form = 0.0, 0.0, 0.0
    for t in thetas[:2]:
        Q = ref.model.precision(t[:2]).toarray()
        worst_det = max(worst_det, abs(float(ref.log_det_q(t)) - np.linalg.slogdet(Q)[1])
                        / abs(np.linalg.slogdet(Q)[1]))
        R = ref.M * np.asarray(ref.scales(t))
        cov = R @ R.T
        worst_cov = max(worst_cov, float(np.abs(cov @ Q - np.eye(ref.n)).max()))
        u = rng.normal(size=ref.n)
        worst_form = max(worst_form, abs(float(ref.quadratic_form(t, u)) - u @ Q @ u) / (u @ Q @ u))
    out["log |Q| (relative)"] = worst_det
    out["Cov(u) Q - I"] = worst_cov
    out["uᵀ Q u (relative)"] = worst_form
    return out


def main():
    import sys

    sys.path.insert(0, os.path.dirname(__file__))
    from fit_setup import family_of, simulate_family, square_model

    name = sys.argv[1] if len(sys.argv) > 1 else "poisson"
    family = family_of(name)
    model = square_model(225, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    case = simulate_family(model, name, 200, np.random.default_rng(1))
    from corvid.fit import fit
    result = fit(model, case.loc, case.y, family=family, covariates=case.x, **case.kwargs)
    ref = reference_for(model, case.loc, case.y, family, case.x, prior_sd=result.fixed_prior_sd,
                        **case.kwargs)
    for name, value in check(ref).items():
        print(f"  {name:20} {value:.2e}")
    for centred in (False, True):
        ref.centred = centred
        draws = ref.sample([(result.theta, result.fixed_mode, result.field_mode)], 500, 1000)
        print(("centred:     " if centred else "non-centred: ") + draws.summary())


if __name__ == "__main__":
    main()

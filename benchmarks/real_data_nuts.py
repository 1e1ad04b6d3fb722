"""Hyperparameter intervals, fixed effects and the linear predictor on real data, against
long NUTS runs of the same model written independently: a dense Matérn covariance at the
data's locations, no mesh.

Data, from the files libpysal's wheel bundles (the bench extra), and Meuse:
    sids   North Carolina SIDS 1974: 100 counties (each polygon's representative point,
           projected to km by an azimuthal equidistant projection at the state's centre),
           SID74 deaths with BIR74 births as exposure, an intercept.
    tokyo  Tokyo mortality 1990: 262 municipalities (centroids, km), working-age deaths
           db2564 with the expected deaths eb2564 as exposure, an intercept and the
           covariates OCC_TEC, OWNH, POP65, UNEMP.
    meuse  Meuse 155 topsoil samples (R's sp data, GPL-3.0, read from scikit-gstat's wheel,
           which pip downloads without its dependencies into --cache and nothing installs),
           km: log zinc, Gaussian, an intercept and the square root of the distance to the
           river.

The model on both sides: y_i ~ Poisson(E_i exp(eta_i)) (Meuse: N(eta_i, s²), s under the
fit's default PC prior P(s > 1) = 0.01), eta = u(s_i) + X beta, u a Matérn
field (nu = 1) with range rho and sd sigma under the fit's PC priors (corvid.fit.field_prior)
with the fit command's defaults, P(rho < diameter / 10) = 0.5 and P(sigma > 3) = 0.01, and
beta_j ~ N(0, s_j²) with the fit's default s_j.
    corvid: fit(..., integrate=True) on region_mesh(points=..., max_edge=(D/40, D/8),
        offset=0.2 D), D the points' diameter; with --remesh, meshed again with max_edge
        (range/8, D/8) where the range found is short for that mesh, as the fit command does.
    NUTS (numpyro): for Meuse, theta = (log rho, log sigma, log s) and beta, u integrated
        out exactly and drawn afterwards from its conditional; for the counts,
        theta = (log rho, log sigma), beta and z ~ N(0, I) with u = L(theta) z,
        L the Cholesky factor of sigma² (kappa d) K1(kappa d), kappa = sqrt(8) / rho, at
        the n data locations; 4 chains of 1000 warm-up and 3000 draws from dispersed starts,
        with a dense mass matrix from the potential's Hessian at the first start (--mass
        adapted: numpyro's adapted diagonal), each chain cached in --cache (a second run
        reads it); --jobs N draws the chains in N processes, one core each.

Printed per data set:
    per hyperparameter, the NUTS mass below corvid's 2.5% bound and above its 97.5% bound,
    for the interval exp(mode ± 1.96 se) ("Gaussian", the one corvid reported before) and
    for corvid's reported interval ("reported"); target 2.5% ± 2% on each side; with
    --own-grid N, also for the quantiles of corvid's own log posterior integrated on a
    grid of N points per hyperparameter ("own grid"; N³ evaluations for Meuse's three),
    which separates the approximation's difference from NUTS from the reporting's;
    fixed effects: |corvid mean - NUTS mean| / NUTS sd, corvid sd / NUTS sd;
    the linear predictor at the data (field plus fixed effects, no offset): the RMS over
    the data of |mean - NUTS mean| / NUTS sd, and the median and range of the sd ratio.

Usage: python benchmarks/real_data_nuts.py [sids] [tokyo] [meuse] [--cache DIR] [--draws N]
       [--warmup N] [--chains N] [--target-accept P] [--own-grid N] [--mass hessian|adapted]
       [--jobs N] [--remesh]
"""

import argparse
import math
import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))

Z95 = 1.959963984540054
PRIOR_SIGMA = (3.0, 0.01)


def _examples():
    import libpysal

    return os.path.join(os.path.dirname(libpysal.__file__), "examples")


def load_sids():
    """(loc km (100, 2), y, exposure, covariates or None, names)."""
    import geopandas as gpd
    import pyproj

    frame = gpd.read_file(os.path.join(_examples(), "sids2", "sids2.shp"))
    points = frame.geometry.representative_point()
    lon, lat = points.x.to_numpy(), points.y.to_numpy()
    centre = (0.5 * (lon.min() + lon.max()), 0.5 * (lat.min() + lat.max()))
    aeqd = pyproj.Transformer.from_crs(
        "EPSG:4267", f"+proj=aeqd +lat_0={centre[1]} +lon_0={centre[0]} +datum=NAD27 +units=km",
        always_xy=True)
    loc = np.column_stack(aeqd.transform(lon, lat))
    return (loc, frame["SID74"].to_numpy(float), frame["BIR74"].to_numpy(float), None, [])


def load_tokyo():
    import pandas as pd

    table = pd.read_csv(os.path.join(_examples(), "tokyo", "Tokyomortality.csv"),
                        lineterminator="\r")
    loc = table[["X_CENTROID", "Y_CENTROID"]].to_numpy(float) / 1000.0
    names = ["OCC_TEC", "OWNH", "POP65", "UNEMP"]
    return (loc, table["db2564"].to_numpy(float), table["eb2564"].to_numpy(float),
            table[names].to_numpy(float), names)


def load_meuse(cache):
    """(loc km (155, 2), log zinc, None, sqrt(distance to the river), names), from the copy
    of R's sp data in scikit-gstat's wheel: fetched from PyPI without its dependencies (pip
    download --no-deps) into the cache and read from the wheel, never installed (it pins
    scipy < 1.17 and needs numba)."""
    import glob
    import io
    import subprocess
    import zipfile

    import pandas as pd

    wheels = glob.glob(os.path.join(cache, "scikit_gstat-*.whl"))
    if not wheels:
        subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary",
                        ":all:", "-q", "-d", cache, "scikit-gstat"], check=True)
        wheels = glob.glob(os.path.join(cache, "scikit_gstat-*.whl"))
    with zipfile.ZipFile(sorted(wheels)[-1]) as wheel:
        table = pd.read_csv(io.BytesIO(wheel.read("skgstat/data/samples/meuse.txt")))
    loc = table[["x", "y"]].to_numpy(float) / 1000.0
    return (loc, np.log(table["zinc"].to_numpy(float)), None,
            np.sqrt(table[["dist"]].to_numpy(float)), ["sqrt_dist"])


DATA = {"sids": load_sids, "tokyo": load_tokyo, "meuse": load_meuse}
FAMILY = {"sids": "poisson", "tokyo": "poisson", "meuse": "gaussian"}


def corvid_fit(loc, y, exposure, covariates, family="poisson", remesh=False):
    """(model, fit, seconds). With `remesh`, as the fit command does: where the range found
    is short for the mesh (corvid.fit.resolution), meshed again with edges of range/8 in
    the data's region and fitted once more (the seconds are the second fit's)."""
    from scipy import spatial

    from corvid.fit import fit
    from corvid.fit.resolution import SUGGESTED_EDGES, under_resolved
    from corvid.meshkin.gfield import gfield2_pcmatern
    from corvid.meshkin.regions import region_mesh

    hull = loc[spatial.ConvexHull(loc).vertices]
    diameter = float(np.max(spatial.distance.pdist(hull)))

    def meshed_and_fitted(inner_edge):
        mesh = region_mesh(points=loc, max_edge=(inner_edge, diameter / 8.0),
                           offset=0.2 * diameter)
        model = gfield2_pcmatern(mesh, prior_range=(diameter / 10.0, 0.5),
                                 prior_sigma=PRIOR_SIGMA)
        started = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = fit(model, loc, y, family=family, exposure=exposure,
                         covariates=covariates, integrate=True)
        return model, result, time.perf_counter() - started

    model, result, seconds = meshed_and_fitted(diameter / 40.0)
    found = result.hyperparameters["range"].estimate
    if remesh and under_resolved(model.mesh, found):
        return meshed_and_fitted(found / SUGGESTED_EDGES)
    return model, result, seconds


def _clenshaw(coefficients, u):
    """sum_k c_k T_k(u), for a JAX array u in [-1, 1]."""
    b1, b2 = 0.0 * u, 0.0 * u
    for c in coefficients[:0:-1]:
        b1, b2 = 2.0 * u * b1 - b2 + c, b1
    return u * b1 - b2 + coefficients[0]


class MaternCorrelation:
    """x K1(x), the Matérn correlation (nu = 1) at x = kappa d, as JAX code that is fast
    and smooth: below x = 2, x ln(x/2) I1(x) (I1 by its series) plus a Chebyshev polynomial
    in x² fitted to scipy's K1 and I1; above, sqrt(x) e^-x times one in 2/x fitted to
    scipy's k1e. jax.scipy.special.kn would do, but takes a second per 100 x 100 matrix."""

    def __init__(self):
        from numpy.polynomial import chebyshev
        from scipy import special

        t = 2.0 + 2.0 * np.cos(np.pi * (np.arange(200) + 0.5) / 200)     # x² in [0, 4]
        x = np.sqrt(t)
        remainder = x * special.k1(x) - x * np.log(x / 2.0) * special.i1(x)
        self.small = chebyshev.chebfit(t / 2.0 - 1.0, remainder, 12)
        u = 0.5 + 0.5 * np.cos(np.pi * (np.arange(400) + 0.5) / 400)    # 2 / x in (0, 1]
        self.large = chebyshev.chebfit(2.0 * u - 1.0, np.sqrt(2.0 / u) * special.k1e(2.0 / u), 20)
        self.series = np.array([0.5 / (math.factorial(k) * math.factorial(k + 1)) for k in range(14)])

    def __call__(self, x):
        import jax.numpy as jnp

        small = jnp.where(x <= 2.0, x, 2.0)     # not minimum: its gradient splits at 2
        t = small * small
        i1_over_x = jnp.polyval(jnp.asarray(self.series[::-1]), t / 4.0)
        log_half = jnp.log(jnp.where(small > 0.0, small, 1.0) / 2.0)
        below = _clenshaw(self.small, t / 2.0 - 1.0) + t * log_half * i1_over_x
        large = jnp.where(x > 2.0, x, 2.0)
        above = jnp.sqrt(large) * jnp.exp(-large) * _clenshaw(self.large, 4.0 / large - 1.0)
        return jnp.where(x <= 2.0, below, above)


class DenseMatern:
    """The model's posterior of (theta, beta, z) as a JAX potential, the field's covariance
    dense at the data's locations."""

    def __init__(self, loc, y, exposure, X, prior_sd, field_prior, jitter=1e-8):
        import jax.numpy as jnp
        from scipy import spatial, special

        self.distance = jnp.asarray(spatial.distance.squareform(spatial.distance.pdist(loc)))
        self.y, self.offset = jnp.asarray(y), jnp.asarray(np.log(exposure))
        self.X, self.prior_sd = jnp.asarray(X), jnp.asarray(prior_sd)
        self.constant = -float(np.sum(special.gammaln(y + 1.0)))
        self.rates = (field_prior.range_rate, field_prior.sigma_rate)
        self.jitter, self.n = jitter, len(y)
        self.matern = MaternCorrelation()

    def correlation(self, log_range):
        import jax.numpy as jnp

        return self.matern(jnp.sqrt(8.0) * jnp.exp(-log_range) * self.distance)

    def field(self, theta, z):
        import jax.numpy as jnp

        C = self.correlation(theta[0]) + self.jitter * jnp.eye(self.n)
        return jnp.exp(theta[1]) * (jnp.linalg.cholesky(C) @ z)

    def log_prior(self, theta):
        import jax.numpy as jnp

        lr, ls = self.rates
        return (jnp.log(lr) - theta[0] - lr * jnp.exp(-theta[0])
                + jnp.log(ls) + theta[1] - ls * jnp.exp(theta[1]))

    def potential(self, p):
        import jax.numpy as jnp

        theta, beta, z = p["theta"], p["beta"], p["z"]
        eta = self.field(theta, z) + self.X @ beta + self.offset
        log_likelihood = jnp.sum(self.y * eta - jnp.exp(eta)) + self.constant
        return -(log_likelihood - 0.5 * jnp.sum(z**2) + self.log_prior(theta)
                 - 0.5 * jnp.sum((beta / self.prior_sd) ** 2))

    def z_of(self, theta, u):
        C = np.asarray(self.correlation(theta[0])) + self.jitter * np.eye(self.n)
        return np.linalg.solve(np.linalg.cholesky(C), u / np.exp(theta[1]))


class GaussianMatern(DenseMatern):
    """The Gaussian model's posterior of (theta, beta) as a JAX potential, theta = (log
    range, log sigma, log noise sd): the field integrated out exactly, y ~ N(X beta, sigma² R
    + s² I), R the Matérn correlation at the data; the noise sd under the fit's PC prior,
    P(s > u) = a (corvid.fit's default u = 1, a = 0.01)."""

    def __init__(self, loc, y, X, prior_sd, field_prior, noise=(1.0, 0.01), jitter=1e-8):
        super().__init__(loc, y, np.ones_like(y), X, prior_sd, field_prior, jitter)
        self.noise_rate = -math.log(noise[1]) / noise[0]
        self.y_np, self.X_np = np.asarray(y, float), np.asarray(X, float)

    def log_prior(self, theta):
        import jax.numpy as jnp

        rate = self.noise_rate
        noise = jnp.log(rate) + theta[2] - rate * jnp.exp(theta[2]) if theta.shape[0] > 2 else 0.0
        return super().log_prior(theta) + noise

    def potential(self, p):
        import jax.numpy as jnp
        from jax.scipy.linalg import solve_triangular

        theta, beta = p["theta"], p["beta"]
        S = (jnp.exp(2.0 * theta[1]) * self.correlation(theta[0])
             + (jnp.exp(2.0 * theta[2]) + self.jitter) * jnp.eye(self.n))
        L = jnp.linalg.cholesky(S)
        v = solve_triangular(L, self.y - self.X @ beta, lower=True)
        log_likelihood = -jnp.sum(jnp.log(jnp.diag(L))) - 0.5 * jnp.sum(v**2) \
            - 0.5 * self.n * math.log(2.0 * math.pi)
        return -(log_likelihood + self.log_prior(theta)
                 - 0.5 * jnp.sum((beta / self.prior_sd) ** 2))

    def linear_predictor(self, theta, beta, seed):
        """One draw of X beta + u at the data per draw of (theta, beta), u from its
        conditional given y by Matheron's rule: u = a + m - sigma² R S⁻¹ (a + e), with a ~
        N(0, sigma² R) and e ~ N(0, s² I) drawn afresh, m the conditional mean."""
        rng = np.random.default_rng(seed)
        out = np.empty((len(theta), self.n))
        for k, (t, b) in enumerate(zip(theta, beta)):
            R = np.asarray(self.correlation(t[0])) + self.jitter * np.eye(self.n)
            prior = np.exp(2.0 * t[1]) * R
            S = prior + np.exp(2.0 * t[2]) * np.eye(self.n)
            a = np.linalg.cholesky(prior) @ rng.standard_normal(self.n)
            e = np.exp(t[2]) * rng.standard_normal(self.n)
            fixed = self.X_np @ b
            out[k] = fixed + a + prior @ np.linalg.solve(S, self.y_np - fixed - a - e)
        return out


def check(ref, model, field_prior, result=None):
    """The reference's pieces against independent ones: K1 against scipy's, the prior
    against corvid's, and the dense covariance against the mesh model's at one theta."""
    from scipy import special

    import jax.numpy as jnp

    x = np.r_[0.0, np.geomspace(1e-6, 60.0, 400)]
    expected = np.r_[1.0, x[1:] * special.k1(x[1:])]
    worst_k1 = float(np.max(np.abs(np.asarray(ref.matern(jnp.asarray(x))) - expected)))
    thetas = [np.log([50.0, 0.5]), np.log([10.0, 1.5])]
    worst_prior = max(abs(float(ref.log_prior(jnp.asarray(t))) - field_prior(t)[0]) for t in thetas)
    out = {"x K1(x) (absolute)": worst_k1, "field prior": worst_prior}
    if result is not None and isinstance(ref, GaussianMatern):   # with the noise's, the fit's own
        thetas = [np.log([50.0, 0.5, 0.3]), np.log([1.0, 1.5, 2.0])]
        out["all priors"] = max(abs(float(ref.log_prior(jnp.asarray(t)))
                                    - result._structure.log_prior(t)[0]) for t in thetas)
    return out


def starts(ref, result, loc, chains, seed=0):
    """Each chain's start: corvid's mode (chain 0) or theta moved by N(0, 0.3²), with the
    field corvid predicts at the data and the fixed effects' mode."""
    import jax.numpy as jnp

    X = np.asarray(ref.X)
    A_u = result.predict(loc, X[:, 1:] if X.shape[1] > 1 else None)[0] - X @ result.fixed_mode
    rng = np.random.default_rng(seed)
    out = []
    d = 3 if isinstance(ref, GaussianMatern) else 2
    for c in range(chains):
        theta = result.theta[:d] + (rng.normal(0.0, 0.3, d) if c else 0.0)
        start = {"theta": jnp.asarray(theta), "beta": jnp.asarray(result.fixed_mode)}
        if d == 2:
            start["z"] = jnp.asarray(ref.z_of(theta, A_u))
        out.append(start)
    return out


def hessian_inverse_mass(ref, start):
    """A dense inverse mass matrix: the inverse of the potential's Hessian at `start`
    (directions of no or negative curvature given the least positive one). The latent
    field's posterior is far from the N(0, I) that a diagonal mass assumes: on Tokyo's
    counts, NUTS with the adapted diagonal took about 200 leapfrog steps a draw, with this
    about 60."""
    import jax
    import jax.numpy as jnp
    from jax.flatten_util import ravel_pytree

    flat, unravel = ravel_pytree(start)   # numpyro's order of the sites: sorted by name
    gradient = jax.grad(lambda x: ref.potential(unravel(x)))
    # a few columns at a time: jax.hessian's one batch of all of them, each with its n x n
    # intermediates, took 12 GB
    columns = jax.jit(jax.vmap(lambda v: jax.jvp(gradient, (flat,), (v,))[1]))
    identity = np.eye(flat.size)
    H = np.vstack([np.asarray(columns(jnp.asarray(identity[i:i + 16])))
                   for i in range(0, flat.size, 16)])
    w, V = np.linalg.eigh(0.5 * (H + H.T))
    w = np.where(w > 0.0, w, np.min(w[w > 0.0]))
    return jnp.asarray((V / w) @ V.T)


def sample_chain(ref, start, chain, warmup, draws, target_accept, inverse_mass, seed=0):
    """One chain's draws of theta, beta and the linear predictor at the data."""
    import jax
    import jax.numpy as jnp
    from numpyro.infer import MCMC, NUTS

    kernel = NUTS(potential_fn=ref.potential, target_accept_prob=target_accept,
                  dense_mass=inverse_mass is not None, inverse_mass_matrix=inverse_mass,
                  adapt_mass_matrix=inverse_mass is None)
    mcmc = MCMC(kernel, num_warmup=warmup, num_samples=draws, num_chains=1, progress_bar=False)
    started = time.perf_counter()
    mcmc.run(jax.random.PRNGKey(seed + chain), init_params=start,
             extra_fields=("diverging", "num_steps"))
    samples = mcmc.get_samples()
    theta, beta = np.asarray(samples["theta"]), np.asarray(samples["beta"])
    if isinstance(ref, GaussianMatern):
        eta = ref.linear_predictor(theta, beta, seed + chain)
    else:
        z = np.asarray(samples["z"])
        # a few draws at a time: each holds n x n matrices (all 800 of Tokyo's at once: 24 GB)
        fields = jax.jit(jax.vmap(ref.field))
        eta = np.vstack([np.asarray(fields(jnp.asarray(theta[i:i + 25]), jnp.asarray(z[i:i + 25])))
                         for i in range(0, len(theta), 25)]) + beta @ np.asarray(ref.X).T
    extra = mcmc.get_extra_fields()
    diverging = np.asarray(extra["diverging"])
    return {"theta": theta, "beta": beta, "eta": eta,
            "divergent": int(np.sum(diverging)), "divergent_theta": theta[diverging],
            "steps": float(np.mean(extra["num_steps"])), "seconds": time.perf_counter() - started}


def sample(ref, result, loc, args, name):
    """All chains' draws, stacked by chain. Each chain is cached on its own (a second run
    reads it); with --jobs N the missing ones are drawn by N processes, one core each."""
    mass = "hessian" if args.mass == "hessian" else "adapted"
    accept = "" if args.target_accept == 0.9 else f"-accept{args.target_accept:g}"
    paths = [os.path.join(args.cache, f"{name}-{mass}-{args.warmup}+{args.draws}{accept}-chain{c}.npz")
             for c in range(args.chains)]
    mine = [c for c in range(args.chains) if not os.path.exists(paths[c])
            and (args.share is None or c % args.share[1] == args.share[0])]
    if args.share is None and args.jobs > 1 and mine:
        _in_processes(args)
        mine = []
    if mine:
        chain_starts = starts(ref, result, loc, args.chains)
        inverse_mass = hessian_inverse_mass(ref, chain_starts[0]) if mass == "hessian" else None
        for c in mine:
            draws = sample_chain(ref, chain_starts[c], c, args.warmup, args.draws,
                                 args.target_accept, inverse_mass)
            print(f"  chain {c}: {draws['steps']:.0f} leapfrog steps a draw, "
                  f"{draws['divergent']} divergent, {draws['seconds']:.0f} s", flush=True)
            np.savez(paths[c], **draws)
    if args.share is not None:
        return None
    chains = [dict(np.load(path)) for path in paths]
    out = {k: np.stack([chain[k] for chain in chains]) for k in ("theta", "beta", "eta")}
    out["divergent"] = sum(int(chain["divergent"]) for chain in chains)
    out["seconds"] = max(float(chain["seconds"]) for chain in chains)
    return out


def _in_processes(args):
    """Runs this script once per job, each drawing every jobs-th missing chain on a core of
    its own (see _one_core)."""
    import subprocess

    children = [subprocess.Popen([sys.executable, os.path.abspath(__file__), *args.data,
                                  "--share", f"{job}/{args.jobs}", *args.passed])
                for job in range(args.jobs)]
    for child in children:
        if child.wait() != 0:
            raise SystemExit(f"a sampling process failed (exit {child.returncode})")


def _one_core(job):
    """Pins this process to one core and XLA to one thread, before JAX starts: one XLA
    process on two cores is slower than one on each (a gradient of Tokyo's potential took
    10 ms on one core, 11 ms on two)."""
    cores = sorted(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cores[job % len(cores)]})
    os.environ["XLA_FLAGS"] = os.environ.get("XLA_FLAGS", "") + " --xla_cpu_multi_thread_eigen=false"


def diagnostics(draws):
    from numpyro.diagnostics import effective_sample_size, split_gelman_rubin

    out = {}
    for key in ("theta", "beta", "eta"):
        out[key] = (float(np.min(effective_sample_size(draws[key]))),
                    float(np.max(split_gelman_rubin(draws[key]))))
    return out


def own_grid_quantiles(result, points, span=7.0):
    """The 2.5%, 50% and 97.5% quantiles of every hyperparameter (up to three) under
    corvid's own log posterior (the Laplace approximation plus the priors, without the
    expansion's tilt), integrated on a grid of points per hyperparameter over ±span sd of
    theta around the fit's theta: (d, 3). With the noise sd among them, this integrates its
    lobe toward zero, which a grid over range and sigma alone leaves out."""
    import itertools

    from corvid.fit.factor import NotPositiveDefiniteError
    from corvid.fit.mode import LogPosterior

    posterior = LogPosterior(result._latent, result._structure.log_prior)
    d = min(result.theta.size, 3)
    sd = np.sqrt(np.diag(result.theta_cov))[:d]
    axes = [result.theta[j] + np.linspace(-span, span, points) * sd[j] for j in range(d)]
    values = np.full((points,) * d, -np.inf)
    for index in itertools.product(range(points), repeat=d):
        theta = np.r_[[axes[j][index[j]] for j in range(d)], result.theta[d:]]
        try:
            values[index] = posterior(theta, gradient=False)[0]
        except NotPositiveDefiniteError:
            pass
    density = np.exp(values - np.max(values))
    out = np.empty((d, 3))
    for j in range(d):
        mass = density.sum(axis=tuple(k for k in range(d) if k != j))
        cdf = (np.cumsum(mass) - 0.5 * mass) / mass.sum()
        out[j] = np.exp(np.interp([0.025, 0.5, 0.975], cdf, axes[j]))
    return out


def compare(name, result, draws, loc, covariates, own=None):
    theta = draws["theta"].reshape(-1, draws["theta"].shape[-1])
    print(f"  hyperparameter: NUTS mass below corvid's lower and above its upper bound "
          f"(target 2.5% ± 2%)")
    se = np.sqrt(np.diag(result.theta_cov))
    for j, key in enumerate(("range", "sigma", "noise_sd")[:theta.shape[1]]):
        values = np.exp(theta[:, j])
        gaussian = np.exp(result.theta[j] + np.array([-Z95, Z95]) * se[j])
        h = result.hyperparameters[key]
        quantiles = np.quantile(values, [0.025, 0.5, 0.975])
        for label, (lo, hi) in (("Gaussian", gaussian), ("reported", (h.lower, h.upper))):
            below, above = np.mean(values < lo), np.mean(values > hi)
            print(f"    {key:6} {label:9} [{lo:9.4g}, {hi:9.4g}]  below {100 * below:5.1f}%  "
                  f"above {100 * above:5.1f}%")
        if own is not None and j < len(own):
            lo, mid, hi = own[j]
            below, above = np.mean(values < lo), np.mean(values > hi)
            print(f"    {key:6} own grid  [{lo:9.4g}, {hi:9.4g}]  below {100 * below:5.1f}%  "
                  f"above {100 * above:5.1f}%  median {mid:.4g} (corvid's log posterior on a "
                  f"grid)")
        print(f"    {key:6} NUTS      [{quantiles[0]:9.4g}, {quantiles[2]:9.4g}]  median "
              f"{quantiles[1]:.4g}, sd {values.std():.4g}; corvid estimate {h.estimate:.4g}, "
              f"sd {h.std_error:.4g}")
    beta = draws["beta"].reshape(-1, draws["beta"].shape[-1])
    print("  fixed effects: |mean - NUTS| / NUTS sd, sd / NUTS sd")
    for j, effect in enumerate(result.fixed_names):
        m, s = beta[:, j].mean(), beta[:, j].std()
        print(f"    {effect:10} {result.fixed_mean[j]:9.4f} vs {m:9.4f}: "
              f"{abs(result.fixed_mean[j] - m) / s:.3f}   sd {result.fixed_sd[j]:.4f} vs {s:.4f}: "
              f"{result.fixed_sd[j] / s:.3f}")
    eta = draws["eta"].reshape(-1, draws["eta"].shape[-1])
    mean, sd = result.predict(loc, covariates)
    z = (mean - eta.mean(0)) / eta.std(0)
    ratio = sd / eta.std(0)
    print(f"  linear predictor at the {len(mean)} data points: RMS |mean - NUTS| / NUTS sd "
          f"{np.sqrt(np.mean(z**2)):.3f} (max {np.max(np.abs(z)):.3f}); sd ratio median "
          f"{np.median(ratio):.3f} [{ratio.min():.3f}, {ratio.max():.3f}]")


def _share(text):
    job, jobs = (int(part) for part in text.split("/"))
    return job, jobs


def main():
    if "--share" in sys.argv:
        _one_core(_share(sys.argv[sys.argv.index("--share") + 1])[0])
    import jax

    jax.config.update("jax_enable_x64", True)
    from corvid.fit.field_prior import pc_matern_prior

    parser = argparse.ArgumentParser()
    parser.add_argument("data", nargs="*", default=list(DATA))
    parser.add_argument("--cache", default=os.path.join(os.path.dirname(__file__), ".nuts_cache"))
    parser.add_argument("--draws", type=int, default=3000)
    parser.add_argument("--warmup", type=int, default=1000)
    parser.add_argument("--chains", type=int, default=4)
    parser.add_argument("--target-accept", type=float, default=0.9)
    parser.add_argument("--own-grid", type=int, default=0, metavar="N",
                        help="also integrate corvid's own log posterior on a grid of N points "
                             "per hyperparameter (up to three)")
    parser.add_argument("--remesh", action="store_true",
                        help="mesh again at range/8 where the range found is short for the "
                             "mesh, as the fit command does")
    parser.add_argument("--mass", choices=("hessian", "adapted"), default="hessian",
                        help="NUTS's mass matrix: dense, from the Hessian at the start, or "
                             "numpyro's adapted diagonal")
    parser.add_argument("--jobs", type=int, default=1,
                        help="draw the chains in this many processes, one core each")
    parser.add_argument("--share", type=_share, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.passed = [a for a in sys.argv[1:] if a not in args.data]
    if "--jobs" in args.passed:
        at = args.passed.index("--jobs")
        del args.passed[at:at + 2]
    os.makedirs(args.cache, exist_ok=True)
    for name in args.data:
        loc, y, exposure, covariates, names = (load_meuse(args.cache) if name == "meuse"
                                               else DATA[name]())
        model, result, seconds = corvid_fit(loc, y, exposure, covariates, FAMILY[name],
                                            remesh=args.remesh)
        field_prior = pc_matern_prior(model.prior_range, model.prior_sigma)
        X = np.column_stack([np.ones(len(y))] + ([covariates] if covariates is not None else []))
        if FAMILY[name] == "gaussian":
            ref = GaussianMatern(loc, y, X, result.fixed_prior_sd, field_prior)
        else:
            ref = DenseMatern(loc, y, exposure, X, result.fixed_prior_sd, field_prior)
        if args.share is not None:   # a child of --jobs: draw its chains and stop
            sample(ref, result, loc, args, name)
            continue
        print(f"{name}: {len(y)} areas, corvid {seconds:.1f} s ({result.n_evaluations} "
              f"evaluations, {len(result.design_weights)} design points)")
        for key, value in check(ref, model, field_prior, result).items():
            print(f"  check {key:16} {value:.2e}")
        draws = sample(ref, result, loc, args, name)
        diag = diagnostics(draws)
        print(f"  NUTS {args.chains} x {args.draws} draws: " + "; ".join(
            f"{k} ESS >= {e:.0f}, R-hat <= {r:.3f}" for k, (e, r) in diag.items())
            + f"; {int(draws['divergent'])} divergent; {float(draws['seconds']):.0f} s a chain")
        own = own_grid_quantiles(result, args.own_grid) if args.own_grid else None
        compare(name, result, draws, loc, covariates, own)


if __name__ == "__main__":
    main()

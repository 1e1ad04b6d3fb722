"""`fit_gaussian`: the field observed with Gaussian noise, plus fixed effects, fitted
exactly at the hyperparameters' posterior mode (and, if asked, integrated over them)."""

from __future__ import annotations

import time
import warnings
from typing import Callable, Optional, Tuple, Union

import numpy as np
from scipy import spatial

from . import factor
from .design import central_composite, design_weights
from .latent import LatentGaussian, mesh_edges
from .mode import ConvergenceWarning, FitProgress, LogPosterior, find_mode, progress_reporter
from .observations import Observations, fixed_prior_sd, observations
from .precision import FieldPrecision
from .result import GaussianFit

__all__ = ["fit_gaussian"]

def _noise_rate(prior_noise) -> float:
    try:
        u, a = (float(v) for v in prior_noise)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"prior_noise must be a pair (u, a), got {prior_noise!r}") from exc
    if not (np.isfinite(u) and u > 0 and 0 < a < 1):
        raise ValueError(f"prior_noise = (u, a) needs u > 0 and 0 < a < 1, got {prior_noise!r}")
    return -np.log(a) / u


def _start(data: Observations, loc: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """A starting theta from the data, and the box the search stays in.

    The residuals of least squares on the fixed effects are split into noise and field:
    half the mean squared difference between nearest neighbours is mostly noise, as the
    field changes little over such distances. The range is where the residuals' empirical
    semivariogram, less the noise, reaches 86% of the field's variance: the correlation of
    the Matérn field (nu = 1) at its range is 0.14.
    """
    X, y = data.X, data.y
    residual = y - X @ np.linalg.lstsq(X, y, rcond=None)[0] if X.shape[1] else y
    variance = float(np.mean(residual**2)) or float(np.mean(y**2)) or 1.0
    extent = float(np.hypot(*np.ptp(loc, axis=0))) or 1.0
    nugget = 0.5 * variance
    if y.size >= 2:
        _, neighbour = spatial.cKDTree(loc).query(loc, k=2)
        nugget = 0.5 * float(np.mean((residual - residual[neighbour[:, 1]]) ** 2))
    noise = min(max(nugget, 1e-4 * variance), 0.9 * variance)
    field = variance - noise
    rng = np.random.default_rng(0)
    i, j = rng.integers(0, y.size, (2, min(200_000, y.size * 20)))
    distance = np.hypot(*(loc[i] - loc[j]).T)
    half_square = 0.5 * (residual[i] - residual[j]) ** 2
    edges = np.linspace(0.0, extent, 41)
    counts = np.bincount(np.digitize(distance, edges), minlength=42)[1:41]
    sums = np.bincount(np.digitize(distance, edges), weights=half_square, minlength=42)[1:41]
    enough = counts >= 30
    reached = np.flatnonzero(enough & (sums >= (noise + 0.86 * field) * np.maximum(counts, 1)))
    range0 = float(edges[reached[0] + 1]) if reached.size else 0.5 * extent
    theta0 = np.log([range0, np.sqrt(field), np.sqrt(noise)])
    half_widths = np.array([[-8.0, 6.0], [-12.0, 6.0], [-12.0, 6.0]])
    return theta0, theta0[:, None] + half_widths


def _given_theta(theta) -> np.ndarray:
    values = np.asarray(theta, dtype=np.float64)
    if values.shape != (3,) or not np.all(np.isfinite(values)):
        raise ValueError("theta must be three finite values (log range, log sigma, log noise "
                         f"sd), got {theta!r}")
    return values


def fit_gaussian(model, loc, y, *, covariates=None, intercept: bool = True,
                 prior_noise: Tuple[float, float] = (1.0, 0.01), theta=None,
                 integrate: bool = False,
                 progress: Union[None, bool, Callable[[FitProgress], None]] = None) -> GaussianFit:
    """Fit y = field(loc) + fixed effects + Gaussian noise, with the field a `GFIELD2PcMatern`.

    loc : (n_obs, 2) locations, all inside the model's mesh.
    y : (n_obs,) observations.
    covariates : (n_obs, p) or (n_obs,) values of the covariates, or None. A table's column
        names (e.g. a pandas DataFrame's) name the fixed effects.
    intercept : include an intercept.
    prior_noise : (u, a) for the noise sd's PC prior, P(noise sd > u) = a.
    theta : (log range, log sigma, log noise sd) to use instead of the posterior mode.
    integrate : integrate the field and fixed effects over the hyperparameters'
        uncertainty (a central composite design around the mode).
    progress : a callable receiving `FitProgress` reports, or True for a line on stderr per
        optimiser step.

    The fixed effects have independent N(0, s_j²) priors with s_j = 1000 rms(y) / rms(x_j)
    (see `fixed_prior_sd`); the field's prior is the model's; the hyperparameters' mode
    maximises the exact log marginal likelihood plus the log priors.

    Raises ValueError for non-finite data, locations outside the mesh, collinear fixed
    effects or too few observations; warns with `ConvergenceWarning` when the optimiser does
    not reach a proper mode.
    """
    started = time.perf_counter()
    reporter = progress_reporter(progress)
    data = observations(model.mesh, loc, y, covariates, intercept)
    rate = _noise_rate(prior_noise)
    given = None if theta is None else _given_theta(theta)
    if integrate and given is not None:
        raise ValueError("integrate=True integrates around the posterior mode: leave theta unset")
    prior_sd = fixed_prior_sd(data)
    edges = mesh_edges(model.mesh.tv, model.mesh.n)
    latent = LatentGaussian(FieldPrecision.of_model(model), data, edges, prior_sd)
    posterior = LogPosterior(latent, model.log_prior, rate)

    if given is None:
        theta0, bounds = _start(data, np.asarray(loc, dtype=np.float64))
        mode = find_mode(posterior, theta0, bounds, reporter, started)
        theta_hat, value, converged = mode.theta, mode.log_posterior, mode.converged
        centre = mode.evaluation.conditional
        definite = bool(np.all(np.linalg.eigvalsh(-mode.hessian) > 0))
        # Without a proper curvature there is no honest covariance: NaN, after the warning.
        theta_cov = np.linalg.inv(-mode.hessian) if definite else np.full((3, 3), np.nan)
        if integrate and not definite:
            warnings.warn("fit_gaussian: no integration over theta without a negative definite "
                          "Hessian at the mode; the field is given at the mode alone",
                          ConvergenceWarning, stacklevel=2)
            integrate = False
    else:
        theta_hat, converged = given, True
        value, ev = posterior(given, gradient=False, keep=True)
        centre = ev.conditional
        theta_cov = np.full((3, 3), np.nan)
    assert centre is not None
    conditionals, weights = [centre], np.ones(1)

    if integrate:
        z, w = central_composite(3)
        eigenvalues, vectors = np.linalg.eigh(theta_cov)
        root = vectors * np.sqrt(np.maximum(eigenvalues, 0.0))
        values, kept = [value], [0]
        for index, point in enumerate(z[1:], start=1):
            try:
                point_value, ev = posterior(theta_hat + root @ point, gradient=False, keep=True)
            except factor.NotPositiveDefiniteError:
                continue  # too far out to matter: left out of the design
            assert ev.conditional is not None
            conditionals.append(ev.conditional)
            values.append(point_value)
            kept.append(index)
            if reporter:
                reporter(FitProgress("integrate", index, ev.theta, point_value, float("nan"),
                                     time.perf_counter() - started))
        weights = design_weights(z[kept], w[kept], np.array(values))

    seconds = time.perf_counter() - started
    if reporter:
        reporter(FitProgress("done", 0, theta_hat, value, float("nan"), seconds))
    backend = latent.backend_used
    return GaussianFit(mesh=model.mesh, intercept=intercept, n_obs=data.y.size,
                       fixed_names=data.names, fixed_prior_sd=prior_sd, theta=theta_hat,
                       theta_cov=theta_cov, log_posterior=value, conditionals=conditionals,
                       weights=weights, edges=edges, converged=converged,
                       n_evaluations=posterior.evaluations, seconds=seconds, backend=backend,
                       integrated=integrate)

"""`fit`: a latent Gaussian model with the field of a `GFIELD2PcMatern` model, fixed effects
and one of five likelihood families, fitted without the engine."""

from __future__ import annotations

import time
import warnings
from typing import Callable, Optional, Sequence, Tuple, Union

import numpy as np

from ..safety.family import enforce_allowed_family
from . import factor
from .blas_threads import one_blas_thread
from .design import central_composite, design_weights
from .expansion import expansion_slope, mode_shift
from .families import FAMILIES, Family, pc_rate_prior
from .field_prior import pc_matern_prior
from .laplace import LaplaceLatent
from .marginals import axis_scales
from .latent import LatentGaussian, LatentModel, mesh_edges
from .mode import ConvergenceWarning, FitProgress, LogPosterior, find_mode, progress_reporter
from .observations import observations, response_values
from .precision import FieldPrecision
from .priors import fixed_effect_prior_sd
from .refusals import refuse_unfittable, refuse_unresolved
from .resolution import (RESOLVED_EDGES, SUGGESTED_EDGES, ResolutionWarning, longest_region_edge,
                         under_resolved)
from .result import GaussianFit, LatentFit
from .start import gaussian_start, link_scale_start

__all__ = ["fit", "family_for", "DegreesWarning"]

PROGRESS_NAMES = {"noise_sd": "noise sd"}
DEGREE_NAMES = ("lon", "lat", "long", "longitude", "latitude")


def family_for(family, prior_noise=(1.0, 0.01), prior_dispersion=(1.0, 0.01)) -> Family:
    """The family object for a name, vetted against the allow-list of families and with its
    hyperparameter's prior; ValueError for a name on the list that corvid does not fit."""
    names = enforce_allowed_family({"family": family})
    if len(names) != 1:
        raise ValueError(f"fit takes one family, got {len(names)}: {', '.join(names)}")
    kind = FAMILIES.get(names[0])
    if kind is None:
        raise ValueError(f"corvid fits the families {', '.join(FAMILIES)} itself; the family "
                         f"{names[0]!r} is fitted by the engine")
    if kind.prior_option is None:
        return kind()
    pair = {"prior_noise": prior_noise, "prior_dispersion": prior_dispersion}[kind.prior_option]
    return kind(pc_rate_prior(pair, kind.prior_option, kind.prior_power))


def _root(cov: np.ndarray) -> np.ndarray:
    """R with R Rᵀ = cov, its columns the principal axes scaled by their sd."""
    eigenvalues, vectors = np.linalg.eigh(cov)
    return vectors * np.sqrt(np.maximum(eigenvalues, 0.0))


def _given_theta(theta, names: Sequence[str]) -> np.ndarray:
    values = np.asarray(theta, dtype=np.float64)
    if values.shape != (len(names),) or not np.all(np.isfinite(values)):
        count = ("two", "three")[len(names) - 2]
        logs = ", ".join(f"log {PROGRESS_NAMES.get(name, name)}" for name in names)
        raise ValueError(f"theta must be {count} finite values ({logs}), got {theta!r}")
    return values


def _warn_if_under_resolved(mesh, range_estimate: float, label: str) -> None:
    if under_resolved(mesh, range_estimate):
        edge = longest_region_edge(mesh)
        warnings.warn(f"{label}: the estimated range {range_estimate:.4g} is shorter than "
                      f"{RESOLVED_EDGES:g} times the longest mesh edge in the region ({edge:.4g}): "
                      "the field is under-resolved, and posterior sd maps show the mesh's "
                      f"imprint; mesh with edges of about range/{SUGGESTED_EDGES:g} "
                      f"({range_estimate / SUGGESTED_EDGES:.4g})", ResolutionWarning, stacklevel=4)


class DegreesWarning(UserWarning):
    """Coordinates that look like longitude and latitude on a mesh without a CRS."""


def _warn_if_degrees(mesh, loc, names) -> None:
    """Longitude and latitude taken as planar x and y make the range, the mesh and every
    map distorted by cos(latitude): warn when the mesh has no CRS and the locations are
    named lon/lat, or lie within |x| <= 180, |y| <= 90 and beyond the unit square (where
    simulated planar data usually are)."""
    crs = getattr(mesh, "crs", None)
    if crs is not None:
        from ..geo.crs import as_crs

        if as_crs(crs).is_geographic:
            warnings.warn(f"the mesh's CRS ({as_crs(crs).name}) is geographic: distances, the range "
                          "and the maps are in degrees, which shrink with latitude; mesh "
                          "projected coordinates (corvid.geo.Projection)", DegreesWarning,
                          stacklevel=4)
        return
    if loc.size == 0:
        return
    named = names is not None and any(str(n).strip().lower() in DEGREE_NAMES for n in names)
    within = bool(np.all(np.abs(loc[:, 0]) <= 180.0) and np.all(np.abs(loc[:, 1]) <= 90.0))
    if named or (within and float(np.max(np.abs(loc))) > 1.0):
        warnings.warn("the locations look like longitude and latitude (all |x| <= 180 and |y| <= "
                      "90), and the mesh has no CRS: distances, the range and the maps are then "
                      "in degrees, which shrink with latitude; project them first "
                      "(corvid.geo.Projection, or region_mesh(..., crs=...) with GIS data), or "
                      "give the mesh its projected CRS if they are planar", DegreesWarning,
                      stacklevel=4)


@one_blas_thread()  # small dense products, and a busy machine: threads only stall
def fit(model, loc, y, *, family="gaussian", covariates=None, intercept: bool = True,
        exposure=None, trials=None, prior_noise: Tuple[float, float] = (1.0, 0.01),
        prior_dispersion: Tuple[float, float] = (1.0, 0.01), prior_fixed=None, theta=None,
        integrate: bool = False,
        progress: Union[None, bool, Callable[[FitProgress], None]] = None,
        mean_correction: bool = True) -> LatentFit:
    """Fit y given a latent field (a `GFIELD2PcMatern` model) plus fixed effects.

    loc : (n_obs, 2) locations, all inside the model's mesh. y : (n_obs,) observations.
    family, with its link and hyperparameter (theta's third entry, on the log scale):
        "gaussian"   y ~ N(eta, s²), identity link; noise sd s;
        "poisson"    y ~ Poisson(E exp(eta)), log link; none;
        "binomial"   y ~ Binomial(N, logistic(eta)), logit link; none;
        "nbinomial"  y ~ negative binomial with mean E exp(eta) and variance mu + mu²/size,
                     log link; size;
        "gamma"      y ~ gamma with mean exp(eta) and variance mu²/phi, log link; phi.
        Names are vetted by `corvid.safety.family.enforce_allowed_family` (its SafetyError
        for names outside the allow-list); ValueError for the listed families the engine
        fits and corvid does not.
    covariates : (n_obs, p) or (n_obs,) values, or None; a table's column names name them.
    intercept : include an intercept.
    exposure : E > 0 per observation (poisson, nbinomial): log E is eta's offset.
    trials : N >= 1 per observation (binomial), 1 by default: presence/absence.

    Priors (enough to rebuild the posterior):
    - the field's: the PC prior of a Matérn field in two dimensions with the model's
      `prior_range=(r0, p)` and `prior_sigma=(s0, q)`: P(range < r0) = p, the range's
      density lambda range⁻² exp(-lambda / range) with lambda = -ln(p) r0, and
      P(sigma > s0) = q, sigma exponential with rate -ln(q) / s0 (see
      `corvid.fit.field_prior`; the model's own `log_prior`, which its files keep, is
      exponential in the range itself);
    - gaussian: the noise sd s has the exponential (PC) prior P(s > u) = a,
      `prior_noise=(u, a)`;
    - nbinomial and gamma: the overdispersion d = 1/sqrt(size), or d = 1/sqrt(phi), has the
      exponential (PC-type) prior P(d > u) = a, `prior_dispersion=(u, a)`;
    - fixed effects: independent N(0, s_j²); `prior_fixed` gives s_j (one number or one per
      effect, in the order "intercept", then the covariates). By default, for the gaussian
      s_j = 1000 rms(y) / rms(x_j); for the other families, on the link scale, s_j =
      10 / sd(x_j) for a covariate (10 / rms(x_j) without an intercept) and
      10 sqrt(1 + sum_j (mean(x_j) / sd(x_j))²) for the intercept (see `corvid.fit.priors`).

    Method: the Gaussian family exactly (sparse Cholesky factors and selected inversion).
    The others by the Laplace approximation: given theta, the latent mode by Newton's
    method on the sparse posterior precision with the observed information, a line search
    that never lets the log density fall, from the last mode, until the Newton decrement is
    below 1e-16 (the mode to within 1e-8 posterior sd); log p(y | theta) by the Laplace
    approximation there, every constant of the likelihood included. Hyperparameters: the
    posterior mode of log p(y | theta) + log priors, its Hessian, and with `integrate=True`
    a central composite design around the mode. For the non-Gaussian families that log
    posterior is corrected by the next terms of the Laplace expansion (see
    `corvid.fit.expansion`), whose slope one sd either side of the mode along each
    principal axis moves the mode (by at most one sd) and tilts the design's weights;
    `log_marginal_likelihood` and `log_posterior` remain the Laplace values. The field and
    fixed effects are Gaussian given theta, mixed over the design. With `mean_correction`
    (the default) their means are the mode moved by the first-order correction for the
    likelihood's skewness (the mean of the simplified Laplace approximation); the mode
    itself is kept as `field_mode`, `fixed_mode`.

    Hyperparameters' intervals: `hyperparameters` gives each one's 95% interval and sd from
    its marginal posterior, a Gaussian in theta (the Hessian at the mode) skewed along each
    principal axis by the log posterior's own fall there (2 to 4 more evaluations per
    hyperparameter, with or without `integrate`; see `corvid.fit.marginals`): the range's
    and sigma's posteriors have long left tails that exp(mode ± 1.96 se) would cut off.

    theta : the hyperparameters to use instead of the posterior mode.
    integrate : mix the posteriors given theta over the design, which brings theta's
        uncertainty into the sds and intervals; at the mode alone they leave it out and
        are a little narrow.
    progress : a callable receiving `FitProgress` reports, or True for a line on stderr per
        optimiser step.

    Raises ValueError naming the rows at fault for data the family cannot take (negative or
    non-whole counts, y above the trials, trials below 1, exposure not positive, gamma data
    not positive, exposure or trials for a family without them, Poisson counts too large
    for double precision to resolve their log likelihood), non-finite data, locations
    outside the mesh, collinear fixed effects; before any work, for Gaussian or gamma data
    that the fixed effects reproduce exactly (unless theta is given), a `prior_fixed` beyond
    10^8 times its default either way, and priors whose median lies far from the mesh's
    extent (the range: 1/1000 to 100 times) or the data's scale (sigma, the noise sd and
    the overdispersion: a factor 10^6; see `corvid.fit.refusals`); warns with `ConvergenceWarning`
    when the optimiser does not reach a proper mode, and with `ResolutionWarning` when the
    estimated range is shorter than 5 times the longest mesh edge inside the region (see
    `corvid.fit.resolution`), and with `DegreesWarning` when the locations look like
    longitude and latitude on a mesh without a CRS.
    """
    started = time.perf_counter()
    reporter = progress_reporter(progress)
    kind = family_for(family, prior_noise, prior_dispersion)
    values = response_values(y)
    family_data = kind.data(values, exposure, trials)
    data = observations(model.mesh, loc, values, covariates, intercept)
    names = getattr(loc, "columns", None)
    loc = np.asarray(loc, dtype=np.float64)
    _warn_if_degrees(model.mesh, loc, names)
    names = ("range", "sigma") + ((kind.hyperparameter,) if kind.hyperparameter else ())
    given = None if theta is None else _given_theta(theta, names)
    if integrate and given is not None:
        raise ValueError("integrate=True integrates around the posterior mode: leave theta unset")
    prior_sd = fixed_effect_prior_sd(data, intercept, kind.exact, prior_fixed)
    refuse_unfittable(model, kind, family_data, data,
                      pc_matern_prior(model.prior_range, model.prior_sigma), given is None)
    edges = mesh_edges(model.mesh.tv, model.mesh.n)
    field = FieldPrecision.of_model(model)
    latent: LatentModel
    if kind.exact:
        latent = LatentGaussian(field, data, edges, prior_sd)
        start = lambda: gaussian_start(data, loc)  # noqa: E731
        label = "fit_gaussian"
    else:
        theta0, bounds, fixed0 = link_scale_start(kind, family_data, data, loc)
        latent = LaplaceLatent(field, data, kind, family_data, edges, prior_sd,
                               start_fixed=fixed0, mean_correction=mean_correction)
        start = lambda: (theta0, bounds)  # noqa: E731
        label = f"fit ({kind.name})"
    shown = tuple(PROGRESS_NAMES.get(name, name) for name in names)
    field_prior = pc_matern_prior(model.prior_range, model.prior_sigma)
    posterior = LogPosterior(latent, field_prior, kind.log_prior, shown, label)

    d = len(names)
    slope = np.zeros(d)   # of the expansion's correction, along theta's principal axes
    if given is None:
        theta0, bounds = start()
        mode = find_mode(posterior, theta0, bounds, reporter, started)
        theta_hat, value, converged = mode.theta, mode.log_posterior, mode.converged
        centre = mode.evaluation.conditional
        if not kind.exact and centre is not None:
            refuse_unresolved(kind, family_data, data.A @ centre.mode_field
                              + data.X @ centre.mode_fixed + family_data.offset,
                              float(theta_hat[2]) if kind.hyperparameter else None)
        definite = bool(np.all(np.linalg.eigvalsh(-mode.hessian) > 0))
        # Without a proper curvature there is no honest covariance: NaN, after the warning.
        theta_cov = np.linalg.inv(-mode.hessian) if definite else np.full((d, d), np.nan)
        if not kind.exact and definite:
            root = _root(theta_cov)
            try:
                slope = expansion_slope(posterior, theta_hat, root)
            except factor.NotPositiveDefiniteError:
                pass    # a point one sd out cannot be factored: the mode stays Laplace's
            if np.any(slope):
                theta_hat = theta_hat + root @ mode_shift(slope)
                value, ev = posterior(theta_hat, gradient=False, keep=True)
                centre = ev.conditional
        if integrate and not definite:
            warnings.warn(f"{label}: no integration over theta without a negative definite "
                          "Hessian at the mode; the field is given at the mode alone",
                          ConvergenceWarning, stacklevel=3)
            integrate = False
        _warn_if_under_resolved(model.mesh, float(np.exp(theta_hat[0])), label)
    else:
        theta_hat, converged = given, True
        value, ev = posterior(given, gradient=False, keep=True)
        centre = ev.conditional
        theta_cov = np.full((d, d), np.nan)
    assert centre is not None
    conditionals, weights = [centre], np.ones(1)

    if integrate:
        z, w = central_composite(d)
        root = _root(theta_cov)
        values_at, kept = [value], [0]
        for index, point in enumerate(z[1:], start=1):
            try:
                point_value, ev = posterior(theta_hat + root @ point, gradient=False, keep=True)
            except factor.NotPositiveDefiniteError:
                continue  # too far out to matter: left out of the design
            assert ev.conditional is not None
            conditionals.append(ev.conditional)
            values_at.append(point_value + float(slope @ point))   # with the tilt
            kept.append(index)
            if reporter:
                reporter(FitProgress("integrate", index, ev.theta, point_value, float("nan"),
                                     time.perf_counter() - started, shown))
        weights = design_weights(z[kept], w[kept], np.array(values_at))
        known = {tuple(z[i]): v - value for i, v in zip(kept[1:], values_at[1:])}

    scales = None     # theta's posterior along its principal axes (corvid.fit.marginals)
    if given is None and np.all(np.isfinite(theta_cov)):
        root = _root(theta_cov)

        def along(point: np.ndarray) -> float:
            point_value, ev = posterior(theta_hat + root @ point, gradient=False)
            if reporter:
                reporter(FitProgress("marginals", posterior.evaluations, ev.theta, point_value,
                                     float("nan"), time.perf_counter() - started, shown))
            return point_value + float(slope @ point) - value   # with the tilt, as the design

        scales = axis_scales(along, d, known if integrate else None)

    seconds = time.perf_counter() - started
    if reporter:
        reporter(FitProgress("done", 0, theta_hat, value, float("nan"), seconds, shown))
    result = dict(mesh=model.mesh, intercept=intercept, n_obs=data.y.size,
                  fixed_names=data.names, fixed_prior_sd=prior_sd, theta=theta_hat,
                  theta_cov=theta_cov, log_posterior=value, conditionals=conditionals,
                  weights=weights, edges=edges, converged=converged,
                  n_evaluations=posterior.evaluations, seconds=seconds,
                  backend=latent.backend_used, integrated=integrate, theta_scales=scales)
    fitted = GaussianFit(family=kind, **result) if kind.exact else LatentFit(family=kind, **result)
    fitted.theta_given = given is not None
    return fitted

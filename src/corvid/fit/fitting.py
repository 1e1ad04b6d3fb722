"""`fit`: a latent Gaussian model with the field of a `GFIELD2PcMatern` model, effects
(space-time fields, group intercepts, smooth functions, spatially varying coefficients),
fixed effects and one of five likelihood families, fitted without the engine.

A fit is four steps, each in its own module: assemble one latent model from the family, the
data, the effects and the fixed effects (`corvid.fit.assemble`); find where the
hyperparameters sit (`corvid.fit.theta_mode`); integrate over them (`corvid.fit.integrate`);
and wrap the result (`corvid.fit.result`).
"""

from __future__ import annotations

import time
import warnings
from typing import Callable, Sequence, Tuple, Union

import numpy as np

from ..safety.family import enforce_allowed_family
from . import workers
from .assemble import Assembled, assemble
from .blas_threads import one_blas_thread
from .expansion import expansion_slope
from .families import FAMILIES, Family, pc_rate_prior
from .integrate import check_dimension, marginal_scales, over_design
from .latent import Conditional
from .mode import ConvergenceWarning, FitProgress, LogPosterior, progress_reporter
from .refusals import refuse_unfittable, refuse_unresolved
from .resolution import (RESOLVED_EDGES, SUGGESTED_EDGES, ResolutionWarning, longest_region_edge,
                         under_resolved)
from .result import LatentFit, wrap
from .theta_mode import ThetaPosterior, at_given, at_mode

__all__ = ["fit", "family_for", "DegreesWarning"]

DEGREE_NAMES = ("lon", "lat", "long", "longitude", "latitude")
COUNTS = ("one", "two", "three", "four", "five", "six", "seven", "eight", "nine", "ten",
          "eleven", "twelve")


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


def _given_theta(theta, words: Sequence[str]) -> np.ndarray:
    values = np.asarray(theta, dtype=np.float64)
    if values.shape != (len(words),) or not np.all(np.isfinite(values)):
        count = COUNTS[len(words) - 1] if len(words) <= len(COUNTS) else str(len(words))
        raise ValueError(f"theta must be {count} finite values ({', '.join(words)}), got {theta!r}")
    return values


def _warn_if_under_resolved(mesh, problem: Assembled, theta: np.ndarray) -> None:
    """Warns when the shortest range of the fields on the mesh is short for it."""
    s = problem.structure
    ranges = [(b.resolution_range(s.theta_of(theta, k)), b.name) for k, b in enumerate(s.blocks)]
    ranges = [(r, name) for r, name in ranges if r is not None]
    if not ranges:
        return
    range_estimate, name = min(ranges)
    if under_resolved(mesh, range_estimate):
        edge = longest_region_edge(mesh)
        which = f"the estimated range of {name!r}" if name else "the estimated range"
        warnings.warn(f"{problem.label}: {which} {range_estimate:.4g} is shorter than "
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


def _refuse_unresolved(problem: Assembled):
    """The check, at the latent mode, that double precision resolves the log likelihood
    there (see `corvid.fit.refusals`); for the Laplace path."""
    s, data = problem.structure, problem.family_data

    def check(centre: Conditional, theta: np.ndarray) -> None:
        mode = centre.mean if centre.mode is None else centre.mode
        fixed = centre.mean_fixed if centre.mode_fixed is None else centre.mode_fixed
        refuse_unresolved(problem.family, data, s.A @ mode + s.X @ fixed + data.offset,
                          s.psi(theta))
    return check


@one_blas_thread()  # small dense products, and a busy machine: threads only stall
def fit(model, loc, y, *, family="gaussian", covariates=None, intercept: bool = True,
        exposure=None, trials=None, prior_noise: Tuple[float, float] = (1.0, 0.01),
        prior_dispersion: Tuple[float, float] = (1.0, 0.01), prior_fixed=None, theta=None,
        integrate: bool = False,
        progress: Union[None, bool, Callable[[FitProgress], None]] = None,
        mean_correction: bool = True, spatial: bool = True, effects=None,
        theta_start=None) -> LatentFit:
    """Fit y given a latent field (a `GFIELD2PcMatern` model), effects and fixed effects.

    loc : (n_obs, 2) locations, all inside the model's mesh. y : (n_obs,) observations.
    family, with its link and hyperparameter (theta's entry after the field's, on the log
    scale):
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
    spatial : include the static spatial field (the model's); False fits the effects alone.
    effects : a list of model components, each with its own name (see
        `corvid.fit.effects`): `SpaceTime(time, kind="ar1")` a field per time step,
        `Group(name, labels)` an intercept per label, `Smooth(name, values)` a smooth
        function of a covariate, `Varying(name, values)` a spatially varying coefficient.
        The linear predictor is eta = field(s) + sum of the effects + X beta + offset.

    theta's order: the static field's log range and log sigma (when spatial), the
    family's hyperparameter, then each effect's entries in the order given; the result's
    `hyperparameters` names them all.

    Priors (enough to rebuild the posterior):
    - the field's: the PC prior of a Matérn field in two dimensions with the model's
      `prior_range=(r0, p)` and `prior_sigma=(s0, q)`: P(range < r0) = p, the range's
      density lambda range⁻² exp(-lambda / range) with lambda = -ln(p) r0, and
      P(sigma > s0) = q, sigma exponential with rate -ln(q) / s0 (see
      `corvid.fit.field_prior`; the model's own `log_prior`, which its files keep, is
      exponential in the range itself);
    - the effects': see each effect's class;
    - gaussian: the noise sd s has the exponential (PC) prior P(s > u) = a,
      `prior_noise=(u, a)`;
    - nbinomial and gamma: the overdispersion d = 1/sqrt(size), or d = 1/sqrt(phi), has the
      exponential (PC-type) prior P(d > u) = a, `prior_dispersion=(u, a)`;
    - fixed effects: independent N(0, s_j²); `prior_fixed` gives s_j (one number or one per
      effect, in the order "intercept", then the covariates). By default, for the gaussian
      s_j = 1000 rms(y) / rms(x_j); for the other families, on the link scale, s_j =
      10 / sd(x_j) for a covariate (10 / rms(x_j) without an intercept) and
      10 sqrt(1 + sum_j (mean(x_j) / sd(x_j))²) for the intercept (see `corvid.fit.priors`).

    Method: the Gaussian family exactly (sparse Cholesky factors and selected inversion,
    every latent block in one factorisation). The others by the Laplace approximation:
    given theta, the latent mode by Newton's method on the sparse posterior precision with
    the observed information, a line search that never lets the log density fall, from the
    last mode, until the Newton decrement is below 1e-16 (the mode to within 1e-8
    posterior sd); log p(y | theta) by the Laplace approximation there, every constant of
    the likelihood included. Hyperparameters: the posterior mode of log p(y | theta) + log
    priors, its Hessian, and with `integrate=True` a central composite design around the
    mode (up to 12 hyperparameters; the cube's corners a fractional factorial of
    resolution V from 5 on, see `corvid.fit.design`). For the non-Gaussian families that
    log posterior is corrected by the next terms of the Laplace expansion (see
    `corvid.fit.expansion`), whose slope one sd either side of the mode along each
    principal axis moves the mode (by at most one sd) and tilts the design's weights;
    `log_marginal_likelihood` and `log_posterior` remain the Laplace values. The latent
    values and fixed effects are Gaussian given theta, mixed over the design. Evaluations at
    hyperparameter values known in advance (the Hessian's columns, the design's points, the
    marginals' points) run side by side on the cores the machine has free (see
    `corvid.fit.workers`; CORVID_WORKERS=1 keeps a fit in one thread); the results do not
    depend on how many. With
    `mean_correction` (the default) their means are the mode moved by the first-order
    correction for the likelihood's skewness (the mean of the simplified Laplace
    approximation); the mode itself is kept as `field_mode`, `fixed_mode` (and the
    effects' `.mode`).

    Hyperparameters' intervals: `hyperparameters` gives each one's 95% interval and sd from
    its marginal posterior, measured along its ridge at 1.5, 3 and 4.5 sd either side (14
    to 20 more evaluations per hyperparameter with two, 20 to 34 with more, 4 to 6 for a
    model with one, with or without `integrate`; with three, one a noise sd or a gamma's
    phi, whose posterior across a ridge is far from Gaussian, 20 to 90 per point of a
    grid across instead; see `corvid.fit.marginals`): the ranges' and sigmas' posteriors
    have long tails and bend together, which exp(mode ± 1.96 se) would cut off.

    theta : the hyperparameters to use instead of the posterior mode.
    theta_start : where the search for the mode starts instead of the data's guess (e.g.
        another fit's `theta`, as `cross_validate` does for its folds), in theta's order.
    integrate : mix the posteriors given theta over the design, which brings theta's
        uncertainty into the sds and intervals; at the mode alone they leave it out and
        are a little narrow.
    progress : a callable receiving `FitProgress` reports, or True for a line on stderr per
        optimiser step.

    Raises ValueError naming the rows at fault for data the family cannot take (negative or
    non-whole counts, y above the trials, trials below 1, exposure not positive, gamma data
    not positive, exposure or trials for a family without them, Poisson counts too large
    for double precision to resolve their log likelihood), non-finite data, locations
    outside the mesh, collinear fixed effects, effects' data they cannot take (see each
    effect), two effects with one name, and integrate=True with more than 12
    hyperparameters, all before any fitting; before any work too, for Gaussian or gamma
    data that the fixed effects reproduce exactly (unless theta is given), a `prior_fixed`
    beyond 10^8 times its default either way, and priors whose median lies far from the
    mesh's extent (every field's range: 1/1000 to 100 times; a smooth's: its knots' span)
    or the data's scale (the sigmas, a group's sd, the noise sd and the overdispersion: a
    factor 10^6; see `corvid.fit.refusals`); warns with `ConvergenceWarning` when the
    optimiser does not reach a proper mode, and with `ResolutionWarning` when an estimated
    range of a field on the mesh is shorter than 5 times the longest mesh edge inside the
    region (see `corvid.fit.resolution`), and with `DegreesWarning` when the locations look
    like longitude and latitude on a mesh without a CRS.
    """
    started = time.perf_counter()
    workers.configured()   # a bad CORVID_WORKERS is refused before any work
    reporter = progress_reporter(progress)
    kind = family_for(family, prior_noise, prior_dispersion)
    problem = assemble(model, loc, y, family=kind, covariates=covariates, intercept=intercept,
                       exposure=exposure, trials=trials, prior_fixed=prior_fixed,
                       spatial=spatial, effects=effects, mean_correction=mean_correction)
    _warn_if_degrees(model.mesh, np.asarray(loc, dtype=np.float64), getattr(loc, "columns", None))
    structure = problem.structure
    given = None if theta is None else _given_theta(theta, problem.theta_words)
    if integrate and given is not None:
        raise ValueError("integrate=True integrates around the posterior mode: leave theta unset")
    if integrate:
        check_dimension(structure.theta_names)
    refuse_unfittable(model, kind, problem.family_data, problem.data, structure.blocks,
                      given is None)
    posterior = LogPosterior(problem.latent, structure.log_prior, problem.shown, problem.label,
                             natural=lambda t: structure.natural(t)[0])

    where: ThetaPosterior
    if given is None:
        start = problem.theta0 if theta_start is None else np.clip(
            _given_theta(theta_start, problem.theta_words), *problem.bounds.T)
        where = at_mode(posterior, start, problem.bounds, reporter, started,
                        corrected=not kind.exact, expansion_slope=expansion_slope,
                        check=None if kind.exact else _refuse_unresolved(problem))
        if integrate and not where.definite:
            warnings.warn(f"{problem.label}: no integration over theta without a negative definite "
                          "Hessian at the mode; the field is given at the mode alone",
                          ConvergenceWarning, stacklevel=3)
            integrate = False
        _warn_if_under_resolved(model.mesh, problem, where.theta)
    else:
        where = at_given(posterior, given)
    conditionals, weights = [where.centre], np.ones(1)
    if integrate:
        conditionals, weights = over_design(posterior, where, reporter, started,
                                                   problem.shown)
    scales = None   # each hyperparameter's marginal along its ridge (corvid.fit.marginals)
    if given is None and where.definite:
        scales = marginal_scales(posterior, where, reporter, started, problem.shown,
                                 scatter=kind.scale_from_scatter)

    seconds = time.perf_counter() - started
    if reporter:
        reporter(FitProgress("done", 0, where.theta, where.log_posterior, float("nan"), seconds,
                             problem.shown, posterior.shown(where.theta)))
    return wrap(model.mesh, problem, where, conditionals, weights, n_evaluations=posterior.evaluations,
                seconds=seconds, integrated=integrate, theta_scales=scales,
                theta_given=given is not None)

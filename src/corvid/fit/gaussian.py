"""`fit_gaussian`: the field observed with Gaussian noise, plus fixed effects, fitted
exactly at the hyperparameters' posterior mode (and, if asked, integrated over them)."""

from __future__ import annotations

from typing import Callable, Tuple, Union

from .fitting import fit
from .mode import FitProgress
from .result import GaussianFit

__all__ = ["fit_gaussian"]


def fit_gaussian(model, loc, y, *, covariates=None, intercept: bool = True,
                 prior_noise: Tuple[float, float] = (1.0, 0.01), prior_fixed=None, theta=None,
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

    prior_fixed : the prior sd of the fixed effects, one number or one per effect; by default
        s_j = 1000 rms(y) / rms(x_j) (see `fixed_prior_sd`), vague in any units.

    The fixed effects have independent N(0, s_j²) priors; the field's prior is the model's;
    the hyperparameters' mode maximises the exact log marginal likelihood plus the log
    priors. The same as `fit(..., family="gaussian")`.

    Raises ValueError for non-finite data, locations outside the mesh, collinear fixed
    effects or too few observations; warns with `ConvergenceWarning` when the optimiser does
    not reach a proper mode.
    """
    result = fit(model, loc, y, family="gaussian", covariates=covariates, intercept=intercept,
                 prior_noise=prior_noise, prior_fixed=prior_fixed, theta=theta,
                 integrate=integrate, progress=progress)
    assert isinstance(result, GaussianFit)
    return result

"""Where the hyperparameters sit: the posterior mode of theta (or a given theta), the
covariance from the Hessian there, and for the non-Gaussian families the mode moved by the
next terms of the Laplace expansion (see `corvid.fit.expansion`)."""

from __future__ import annotations

import dataclasses
from typing import Callable, Optional

import numpy as np

from . import factor
from .expansion import mode_shift
from .latent import Conditional
from .mode import LogPosterior, Reporter, find_mode

__all__ = ["ThetaPosterior", "at_mode", "at_given", "principal_root"]


@dataclasses.dataclass
class ThetaPosterior:
    """theta at the centre, the log posterior there, the posterior given it (`centre`),
    theta's covariance (NaN without a proper curvature or for a given theta), whether the
    optimiser converged, and the expansion's slope along theta's principal axes (zeros
    for the Gaussian family or a given theta), which tilts the design's weights."""

    theta: np.ndarray
    log_posterior: float
    centre: Conditional
    cov: np.ndarray
    converged: bool
    slope: np.ndarray

    @property
    def definite(self) -> bool:
        return bool(np.all(np.isfinite(self.cov)))


def principal_root(cov: np.ndarray) -> np.ndarray:
    """R with R Rᵀ = cov, its columns the principal axes scaled by their sd."""
    eigenvalues, vectors = np.linalg.eigh(cov)
    return vectors * np.sqrt(np.maximum(eigenvalues, 0.0))


def at_mode(posterior: LogPosterior, theta0: np.ndarray, bounds: np.ndarray,
            reporter: Optional[Reporter], started: float, *, corrected: bool,
            expansion_slope: Callable,
            check: Optional[Callable[[Conditional, np.ndarray], None]] = None) -> ThetaPosterior:
    """The posterior mode from theta0 within bounds; with `corrected`, moved by the
    expansion's slope (`expansion_slope(posterior, theta, root)`, at most one sd).
    `check(posterior given theta, theta)` runs at the mode first, to refuse what it finds
    there before any more work."""
    mode = find_mode(posterior, theta0, bounds, reporter, started)
    theta, value = mode.theta, mode.log_posterior
    centre = mode.evaluation.conditional
    if check is not None and centre is not None:
        check(centre, theta)
    d = theta.size
    definite = bool(np.all(np.linalg.eigvalsh(-mode.hessian) > 0))
    # Without a proper curvature there is no honest covariance: NaN, after the warning.
    cov = np.linalg.inv(-mode.hessian) if definite else np.full((d, d), np.nan)
    slope = np.zeros(d)
    if corrected and definite:
        root = principal_root(cov)
        try:
            slope = expansion_slope(posterior, theta, root)
        except factor.NotPositiveDefiniteError:
            pass    # a point one sd out cannot be factored: the mode stays Laplace's
        if np.any(slope):
            theta = theta + root @ mode_shift(slope)
            value, ev = posterior(theta, gradient=False, keep=True)
            centre = ev.conditional
    assert centre is not None
    return ThetaPosterior(theta, value, centre, cov, mode.converged, slope)


def at_given(posterior: LogPosterior, theta: np.ndarray) -> ThetaPosterior:
    """The posterior given a theta the user chose."""
    value, ev = posterior(theta, gradient=False, keep=True)
    assert ev.conditional is not None
    d = theta.size
    return ThetaPosterior(theta, value, ev.conditional, np.full((d, d), np.nan), True, np.zeros(d))

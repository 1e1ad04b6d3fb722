"""Expectations over a Gaussian linear predictor, one observation at a time, by Gauss–Hermite
quadrature: of the likelihood (adaptively, centred at the integrand's own peak, as the
likelihood of one observation can be far narrower than the Gaussian), and of smooth
functions of eta (on the Gaussian's own nodes).

Every function takes eta's mean and variance per observation, (n,), with the offset
included, and the family's data for those observations.
"""

from __future__ import annotations

import math
from typing import Callable, Optional

import numpy as np

from ..families import Family, FamilyData

__all__ = ["log_marginal", "expect", "rows_of"]

NODES, WEIGHTS = np.polynomial.hermite.hermgauss(20)
LOG_WEIGHTS = np.log(WEIGHTS) + NODES**2       # for exp(-x²) undone at the nodes
NEWTON_STEPS = 40


def rows_of(d: FamilyData, rows=slice(None)) -> FamilyData:
    """The family's data of some observations as columns, to broadcast against (n, nodes)."""
    return FamilyData(d.y[rows][:, None], d.offset[rows][:, None], d.trials[rows][:, None])


def _peak(family: Family, d: FamilyData, psi: Optional[float], mean: np.ndarray,
          variance: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(eta at the peak of p(y | eta) N(eta; mean, variance), the sd of the Gaussian with
    the curvature there), by Newton's method with steps capped at three of the Gaussian's
    sd: log p(y | eta) is concave for every family, so the peak is unique."""
    eta = mean.copy()
    cap = 3.0 * np.sqrt(variance)
    for _ in range(NEWTON_STEPS):
        d1, d2, _ = family.derivatives(d, eta, psi)
        slope = d1 - (eta - mean) / variance
        curvature = d2 - 1.0 / variance
        step = np.clip(-slope / curvature, -cap, cap)
        eta = eta + step
        if np.all(np.abs(step) <= 1e-10 * (1.0 + np.abs(eta))):
            break
    _, d2, _ = family.derivatives(d, eta, psi)
    return eta, 1.0 / np.sqrt(1.0 / variance - d2)


def log_marginal(family: Family, d: FamilyData, psi: Optional[float], mean: np.ndarray,
                 variance: np.ndarray) -> np.ndarray:
    """log ∫ p(y_i | eta) N(eta; mean_i, variance_i) d eta for each observation (n,), by
    20-point Gauss–Hermite quadrature centred at the integrand's peak and scaled by its
    curvature there (exact for Gaussian data)."""
    peak, scale = _peak(family, d, psi, mean, variance)
    eta = peak[:, None] + math.sqrt(2.0) * scale[:, None] * NODES
    columns = rows_of(d)
    log_f = (family.log_density(columns, eta, psi)
             - 0.5 * (eta - mean[:, None]) ** 2 / variance[:, None]
             - 0.5 * np.log(2.0 * math.pi * variance[:, None]))
    terms = log_f + LOG_WEIGHTS
    top = np.max(terms, axis=1)
    return top + np.log(np.sum(np.exp(terms - top[:, None]), axis=1)) + np.log(math.sqrt(2.0) * scale)


def expect(function: Callable[[np.ndarray], np.ndarray], mean: np.ndarray,
           variance: np.ndarray) -> np.ndarray:
    """E f(eta) for eta ~ N(mean_i, variance_i), f taking (n, nodes) arrays of eta, by
    20-point Gauss–Hermite quadrature (exact for polynomials of degree 39)."""
    eta = mean[:, None] + np.sqrt(2.0 * np.maximum(variance, 0.0))[:, None] * NODES
    return function(eta) @ (WEIGHTS / math.sqrt(math.pi))

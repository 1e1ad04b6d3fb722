"""Starting values for the hyperparameters' search, from the data, and the box it stays in.

The residuals of least squares on the fixed effects (of y, or of a working response on the
link scale for other families) are split into noise and field. For Gaussian data, half the
mean squared difference between nearest neighbours is mostly noise, as the field changes
little over such distances; for other families the noise is the sampling variance the
working response carries. The range is where the residuals' empirical semivariogram, less
the noise, reaches 86% of the field's variance: the correlation of the Matérn field (nu = 1)
at its range is 0.14.
"""

from __future__ import annotations

from typing import Optional

import numpy as np
from scipy import spatial

from .families import Family, FamilyData
from .observations import Observations

__all__ = ["gaussian_start", "link_scale_start"]

FIELD_WIDTHS = np.array([[-8.0, 6.0], [-12.0, 6.0]])   # log range, log sigma around the start
NOISE_WIDTH = np.array([-12.0, 6.0])                   # log noise sd
HYPER_WIDTH = np.array([-10.0, 10.0])                  # log size, log phi
LEAST_LINK_VARIANCE = 0.01


def _least_squares(X: np.ndarray, z: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(coefficients, residuals) of z on the columns of X."""
    if not X.shape[1]:
        return np.zeros(0), z
    coefficients = np.linalg.lstsq(X, z, rcond=None)[0]
    return coefficients, z - X @ coefficients


def _range(loc: np.ndarray, residual: np.ndarray, noise: float, field: float) -> float:
    extent = float(np.hypot(*np.ptp(loc, axis=0))) or 1.0
    rng = np.random.default_rng(0)
    i, j = rng.integers(0, residual.size, (2, min(200_000, residual.size * 20)))
    distance = np.hypot(*(loc[i] - loc[j]).T)
    half_square = 0.5 * (residual[i] - residual[j]) ** 2
    edges = np.linspace(0.0, extent, 41)
    bins = np.digitize(distance, edges)
    counts = np.bincount(bins, minlength=42)[1:41]
    sums = np.bincount(bins, weights=half_square, minlength=42)[1:41]
    enough = counts >= 30
    reached = np.flatnonzero(enough & (sums >= (noise + 0.86 * field) * np.maximum(counts, 1)))
    return float(edges[reached[0] + 1]) if reached.size else 0.5 * extent


def gaussian_start(data: Observations, loc: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(theta0, bounds) for (log range, log sigma, log noise sd)."""
    X, y = data.X, data.y
    _, residual = _least_squares(X, y)
    variance = float(np.mean(residual**2)) or float(np.mean(y**2)) or 1.0
    nugget = 0.5 * variance
    if y.size >= 2:
        _, neighbour = spatial.cKDTree(loc).query(loc, k=2)
        nugget = 0.5 * float(np.mean((residual - residual[neighbour[:, 1]]) ** 2))
    noise = min(max(nugget, 1e-4 * variance), 0.9 * variance)
    field = variance - noise
    theta0 = np.log([_range(loc, residual, noise, field), np.sqrt(field), np.sqrt(noise)])
    return theta0, theta0[:, None] + np.vstack([FIELD_WIDTHS, NOISE_WIDTH])


def link_scale_start(family: Family, family_data: FamilyData, data: Observations,
                     loc: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(theta0, bounds, fixed effects to start the latent mode from) for a family fitted by
    the Laplace approximation, from its working response."""
    z, sampling = family.working(family_data)
    fixed, residual = _least_squares(data.X, z)
    variance = float(np.mean(residual**2))
    noise = min(float(np.mean(sampling)), 0.9 * variance)
    # On the link scale variances have no units: data without spatial variation (all zeros,
    # every trial a success) still start the field at a sd of 0.1, not at their rounding.
    field = max(variance - noise, 0.1 * variance, LEAST_LINK_VARIANCE)
    start = [np.log(_range(loc, residual, noise, field)), 0.5 * np.log(field)]
    widths = [FIELD_WIDTHS]
    hyper: Optional[float] = family.start_hyperparameter(family_data)
    if hyper is not None:
        start.append(hyper)
        widths.append(HYPER_WIDTH[None, :])
    theta0 = np.asarray(start, dtype=np.float64)
    return theta0, theta0[:, None] + np.vstack(widths), fixed

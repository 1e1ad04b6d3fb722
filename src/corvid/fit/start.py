"""Starting values for the hyperparameters' search, from the data, and the box it stays in.

The residuals of least squares on the fixed effects (of y, or of a working response on the
link scale for other families) are split into noise and field. For Gaussian data, half the
mean squared difference between nearest neighbours is mostly noise, as the field changes
little over such distances; for other families the noise is the lesser of that and the
sampling variance the working response carries. The range is where the residuals' empirical
semivariogram, less the noise, reaches 86% of the field's variance: the correlation of the
Matérn field (nu = 1) at its range is 0.14. The field's sigma starts where the family's moment
estimate of the latent variance puts it (Poisson counts: their overdispersion beside a
Poisson regression on the fixed effects), else at the field's share of that split.
"""

from __future__ import annotations

from typing import Optional

import numpy as np
from scipy import spatial

from .families import Family, FamilyData
from .observations import Observations

__all__ = ["gaussian_start", "link_scale_start", "working_residuals"]

FIELD_WIDTHS = np.array([[-8.0, 6.0], [-12.0, 6.0]])   # log range, log sigma around the start
NOISE_WIDTH = np.array([-12.0, 6.0])                   # log noise sd
HYPER_WIDTH = np.array([-10.0, 10.0])                  # log size, log phi
LEAST_LINK_VARIANCE = 0.01
NUGGET_ROWS = 100_000     # rows whose nearest neighbour estimates the nugget


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


def nearest_other(loc: np.ndarray, rows: np.ndarray) -> np.ndarray:
    """For each of `rows` (indices into n >= 2 locations (n, 2)), the index of another row at
    the nearest location: a row at the same place when there is one (the next of its group,
    in turn), else a row at the nearest other place.

    O(n log n) however many rows share a place: a k-d tree over repeated points degenerates
    to quadratic time, so the tree holds the distinct places only."""
    n = loc.shape[0]
    order = np.lexsort((loc[:, 1], loc[:, 0]))
    ordered = loc[order]
    new = np.r_[True, np.any(ordered[1:] != ordered[:-1], axis=1)]
    starts = np.flatnonzero(new)
    counts = np.diff(np.r_[starts, n])
    group = np.empty(n, dtype=np.int64)
    group[order] = np.cumsum(new) - 1
    rank = np.empty(n, dtype=np.int64)
    rank[order] = np.arange(n) - np.repeat(starts, counts)
    g = group[rows]
    other = order[starts[g] + (rank[rows] + 1) % counts[g]]
    alone = np.flatnonzero(counts[g] == 1)
    if alone.size and starts.size >= 2:
        places = ordered[starts]
        _, nearest = spatial.cKDTree(places).query(places[g[alone]], k=2)
        other[alone] = order[starts[nearest[:, 1]]]
    return other


def _nugget(loc: np.ndarray, residual: np.ndarray) -> Optional[float]:
    """Half the mean squared difference of residuals at nearest neighbours (of up to
    NUGGET_ROWS rows): mostly noise, as a field changes little over such distances."""
    if residual.size < 2:
        return None
    rows = np.arange(residual.size) if residual.size <= NUGGET_ROWS else \
        np.sort(np.random.default_rng(0).choice(residual.size, NUGGET_ROWS, replace=False))
    return 0.5 * float(np.mean((residual[rows] - residual[nearest_other(loc, rows)]) ** 2))


def gaussian_start(data: Observations, loc: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(theta0, bounds) for (log range, log sigma, log noise sd)."""
    X, y = data.X, data.y
    _, residual = _least_squares(X, y)
    variance = float(np.mean(residual**2)) or float(np.mean(y**2)) or 1.0
    nugget = _nugget(loc, residual)
    nugget = 0.5 * variance if nugget is None else nugget
    noise = min(max(nugget, 1e-4 * variance), 0.9 * variance)
    field = variance - noise
    theta0 = np.log([_range(loc, residual, noise, field), np.sqrt(field), np.sqrt(noise)])
    return theta0, theta0[:, None] + np.vstack([FIELD_WIDTHS, NOISE_WIDTH])


def working_residuals(family: Family, family_data: FamilyData, X: np.ndarray) -> np.ndarray:
    """The family's working response (y itself for Gaussian data) less its least squares
    on the fixed effects X (n_obs,)."""
    return _least_squares(X, family.working(family_data)[0])[1]


def link_scale_start(family: Family, family_data: FamilyData, data: Observations,
                     loc: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(theta0, bounds, fixed effects to start the latent mode from) for a family fitted by
    the Laplace approximation, from its working response."""
    z, sampling = family.working(family_data)
    fixed, residual = _least_squares(data.X, z)
    variance = float(np.mean(residual**2))
    # Both overstate the noise: the sampling variance where counts are small (log(y + 0.5)
    # varies less than 1/(y + 0.5) says), the nugget where neighbours are far apart.
    nugget = _nugget(loc, residual)
    noise = min(float(np.mean(sampling)), np.inf if nugget is None else nugget, 0.9 * variance)
    # On the link scale variances have no units: data without spatial variation (all zeros,
    # every trial a success) still start the field at a sd of 0.1, not at their rounding.
    field = max(variance - noise, 0.1 * variance, LEAST_LINK_VARIANCE)
    latent = family.latent_variance(family_data, data.X)
    sigma_start = 0.5 * np.log(field if latent is None else max(latent, LEAST_LINK_VARIANCE))
    start = [np.log(_range(loc, residual, noise, field)), sigma_start]
    widths = [FIELD_WIDTHS]
    hyper: Optional[float] = family.start_hyperparameter(family_data)
    if hyper is not None:
        start.append(hyper)
        widths.append(HYPER_WIDTH[None, :])
    theta0 = np.asarray(start, dtype=np.float64)
    return theta0, theta0[:, None] + np.vstack(widths), fixed

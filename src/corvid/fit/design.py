"""Integration over the hyperparameters: a central composite design around the mode.

In standardised coordinates z (theta = mode + Cov^(1/2) z, Cov the inverse of minus the
Hessian), the design has the centre, the 2d axial points at radius r = f sqrt(d), and the
2^d corners of the cube at the same radius. Weights: 1 - 1/f² for the centre and 1/f² shared
equally by the others, so that the design reproduces the mean, the covariance and the zero
cross moments of a standard normal z. Each point's weight is then multiplied by the ratio of
the true posterior to the Gaussian approximation there, exp(log p(theta) - log p(mode)
+ |z|²/2), and the weights are normalised: the design follows the posterior's skewness.
"""

from __future__ import annotations

import itertools

import numpy as np

__all__ = ["central_composite", "design_weights"]

STRETCH = 1.1  # f: a little beyond one standard deviation per dimension


def central_composite(dim: int, stretch: float = STRETCH) -> tuple[np.ndarray, np.ndarray]:
    """(z, weights): the design points (N, dim), the centre first, and their weights."""
    radius = stretch * np.sqrt(dim)
    axial = np.vstack([radius * np.eye(dim), -radius * np.eye(dim)])
    corners = np.array(list(itertools.product([-1.0, 1.0], repeat=dim))) * radius / np.sqrt(dim)
    z = np.vstack([np.zeros((1, dim)), axial, corners])
    others = z.shape[0] - 1
    weights = np.r_[1.0 - 1.0 / stretch**2, np.full(others, 1.0 / (stretch**2 * others))]
    return z, weights


def design_weights(z: np.ndarray, weights: np.ndarray, log_posterior: np.ndarray) -> np.ndarray:
    """The design weights corrected by the posterior at the points (log_posterior[0] at the
    centre), normalised."""
    log_ratio = log_posterior - log_posterior[0] + 0.5 * np.sum(z**2, axis=1)
    corrected = weights * np.exp(log_ratio - log_ratio.max())
    return corrected / corrected.sum()

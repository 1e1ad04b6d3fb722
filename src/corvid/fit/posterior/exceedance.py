"""Exceedance probabilities: P(eta > c), or P(mean > c) on the response scale, per point.

Given theta, eta at a point is Gaussian, N(m, s²), so P(eta > c) = Q((c - m)/s), the normal
tail (exact; `scipy.special.ndtr` keeps its digits far out). The response mean f g^-1(eta)
(f the exposure or the trials) rises with eta, so P(f g^-1(eta) > c) = P(eta > g(c/f)), with
g(c/f) = -inf (probability 1) below the link's range and +inf (probability 0) above it. The
probabilities given theta are mixed over the fit's design points with their weights.
"""

from __future__ import annotations

import math

import numpy as np
from scipy import special

__all__ = ["exceedance_at", "threshold_value", "SCALES"]

SCALES = ("link", "response")


def threshold_value(threshold) -> float:
    """The threshold as a finite float; ValueError naming it otherwise."""
    try:
        value = float(threshold)
    except (TypeError, ValueError):
        raise ValueError(f"threshold must be one finite number, got {threshold!r}") from None
    if not math.isfinite(value):
        raise ValueError(f"threshold must be a finite number, got {value!r}")
    return value


def _tail(cut: np.ndarray, mean: np.ndarray, variance: np.ndarray) -> np.ndarray:
    """P(eta > cut) for eta ~ N(mean, variance), a point mass where the variance is 0."""
    sd = np.sqrt(np.maximum(variance, 0.0))
    with np.errstate(divide="ignore", invalid="ignore"):
        z = (mean - cut) / sd
    return np.where(sd > 0.0, special.ndtr(z), (mean > cut).astype(np.float64))


def exceedance_at(fit, points, X: np.ndarray, threshold: float, scale: str,
                  factor: np.ndarray) -> np.ndarray:
    """(m,) the exceedance probability at new points (a `NewPoints` and their design rows),
    NaN outside the mesh; `factor` (m,) the exposure or trials on the response scale."""
    if scale not in SCALES:
        raise ValueError(f"scale must be 'link' or 'response', got {scale!r}")
    A, X_inside, unseen, inside = fit._rows_at(points, X)
    out = np.full(points.m, np.nan)
    if not inside.any():
        return out
    means, variances = fit._mixture.linear_parts(A, X_inside, unseen)
    if scale == "link":
        cut = np.full(int(inside.sum()), threshold)
    else:
        cut = fit._family.link_of(np.full(int(inside.sum()), threshold) / factor[inside])
    weights = fit._mixture.weights
    mixed = sum(w * _tail(cut, m, v) for w, m, v in zip(weights, means, variances))
    # the design's weights sum to 1 only to rounding: a sure exceedance must read 1, not 1 + 2e-16
    out[inside] = np.clip(mixed, 0.0, 1.0)
    return out

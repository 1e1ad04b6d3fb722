"""The hyperparameters' marginal posteriors, from a Gaussian skewed along each principal axis.

The posteriors of the range and sigma have long left tails on the log scale: exp(mode ±
1.96 se), from the curvature at the mode alone, leaves 10-20% of their mass below its lower
bound on real data. In standardised coordinates z around the mode (theta = mode + R z, with
R Rᵀ the inverse of minus the log posterior's Hessian, R's columns the principal axes scaled
by their sd), the log posterior is measured along each principal axis on each side, at the
point t where it has fallen by FALL = Z_REF²/2, as far as a standard Gaussian falls at Z_REF
sd; that side's scale is s = t / Z_REF. The posterior is then taken as

    p(z) ∝ prod_k exp(-z_k² / (2 s_k(sign z_k)²)),

independent split normals along the axes: the "asymmetric standard deviations" of the
integrated nested Laplace approximation's hyperparameter marginals (Martins, Simpson,
Lindgren and Rue 2013, Computational Statistics & Data Analysis 67, 68-83). A hyperparameter
theta_j = mode_j + sum_k R_jk z_k is then a sum of independent split normals; its density
is their convolution, computed on a grid, and its quantiles and moments give the reported
interval and sd, in the hyperparameter's own units: exp(theta_j), or another increasing
map of theta_j where its block reports it so (a correlation rho = tanh(theta_j / 2)).

The point where the fall is FALL is found by a fixed-point iteration on the scale: from a
guess t (the design's axial point when the fit integrates, else Z_REF), the fall f(t) gives
s = t / sqrt(2 f(t)), the scale of the Gaussian that falls as much there, and the next t is
Z_REF s; it stops when t moves by less than TOLERANCE, after at most MAX_STEPS evaluations
per side. Z_REF = 2 puts the measurement where the 95% interval's bounds lie.
"""

from __future__ import annotations

import math
from typing import Callable, Dict, Optional, Sequence

import numpy as np

from .factor import NotPositiveDefiniteError

__all__ = ["Z_REF", "axis_scales", "marginal_summary", "hyperparameter_marginals"]

Z_REF = 2.0          # the axis is measured where a standard Gaussian has fallen by Z_REF²/2
FALL = 0.5 * Z_REF**2
MAX_STEPS = 4        # evaluations per side
TOLERANCE = 0.05     # relative change of t at which the iteration stops
SCALE_LIMITS = (0.2, 5.0)   # a side's scale relative to the Gaussian's
GRID = 4001          # points of the grid on which the split normals are convolved
SPAN = 8.0           # the grid reaches this many summed scales either side of the mode
PROBABILITIES = (0.025, 0.975)


def _side_scale(fall: Callable[[float], float], sign: float, guess: Optional[float]) -> float:
    """The scale of one side of one axis: see the module's note. `fall(t)` is log p(0) -
    log p(t e) for the signed distance t; `guess` a first t (positive) or None."""
    t = Z_REF if guess is None else float(np.clip(guess, Z_REF * SCALE_LIMITS[0],
                                                  Z_REF * SCALE_LIMITS[1]))
    scale = 1.0
    for _ in range(MAX_STEPS):
        try:
            drop = fall(sign * t)
        except NotPositiveDefiniteError:
            drop = math.inf      # out of numerical range: far out on this side
        if not np.isfinite(drop) or drop <= 0.0:
            # Beyond the numerical range, or the posterior still rising: step back in, or
            # out, and measure again.
            t *= 0.6 if not np.isfinite(drop) else 1.6
            scale = t / Z_REF
            continue
        scale = float(np.clip(t / math.sqrt(2.0 * drop), *SCALE_LIMITS))
        step = Z_REF * scale
        if abs(step - t) <= TOLERANCE * t:
            break
        t = step
    return float(np.clip(scale, *SCALE_LIMITS))


def axis_scales(log_posterior: Callable[[np.ndarray], float], dim: int,
                known: Optional[Dict[tuple, float]] = None) -> np.ndarray:
    """(dim, 2): each principal axis's scale on its negative and positive side.

    log_posterior(z) : the log posterior at standardised z, relative to its value at z = 0
        (raising NotPositiveDefiniteError where it cannot be evaluated);
    known : {tuple(z): log posterior relative to z = 0} already evaluated on the axes (the
        design's axial points), which give the first guesses."""
    known = known or {}
    scales = np.ones((dim, 2))
    for k in range(dim):
        axis = np.eye(dim)[k]
        for side, sign in enumerate((-1.0, 1.0)):
            guess = None
            for z, value in known.items():
                t = float(np.dot(z, axis)) * sign
                if t > 0.0 and np.allclose(np.asarray(z), t * sign * axis) and value < 0.0:
                    guess = Z_REF * t / math.sqrt(-2.0 * value)
            scales[k, side] = _side_scale(lambda t: -log_posterior(t * axis), sign, guess)
    return scales


def _split_normal(x: np.ndarray, low: float, high: float) -> np.ndarray:
    scale = np.where(x < 0.0, low, high)
    return np.exp(-0.5 * (x / scale) ** 2) * (2.0 / (math.sqrt(2.0 * math.pi) * (low + high)))


def marginal_summary(mode: float, weights: np.ndarray, scales: np.ndarray,
                     probabilities: Sequence[float] = PROBABILITIES,
                     natural: Optional[Callable[[np.ndarray], np.ndarray]] = None) -> tuple:
    """(quantiles of exp(theta), sd of exp(theta)) for theta = mode + sum_k weights[k] z_k,
    z_k independent split normals with scales scales[k] = (negative side, positive side);
    of natural(theta) instead for another increasing map."""
    sides = np.where(weights[:, None] >= 0.0, scales, scales[:, ::-1]) * np.abs(weights)[:, None]
    half_width = SPAN * float(np.sum(np.max(sides, axis=1)))
    x = np.linspace(-half_width, half_width, GRID)
    dx = x[1] - x[0]
    density = None
    for low, high in sides:
        if max(low, high) < 2.0 * dx:      # narrower than the grid resolves: a point mass
            continue
        part = _split_normal(x, low, high)
        density = part if density is None else np.convolve(density, part, mode="same") * dx
    if density is None:
        return (np.exp if natural is None else natural)(np.full(len(probabilities), mode)), 0.0
    density = np.maximum(density, 0.0)
    density /= density.sum()
    cdf = np.cumsum(density) - 0.5 * density
    quantiles = np.interp(probabilities, cdf, x)
    if natural is not None:     # bounded maps: the moments directly
        values = natural(mode + x)
        mean = float(density @ values)
        return natural(mode + quantiles), math.sqrt(max(float(density @ (values - mean) ** 2), 0.0))
    # exp(theta)'s moments, scaled by exp(mode) after the sums so that nothing overflows
    top = float(np.max(x))
    first = float(density @ np.exp(x - top))
    second = float(density @ np.exp(2.0 * (x - top)))
    sd = math.exp(mode + top) * math.sqrt(max(second - first**2, 0.0))
    return np.exp(mode + quantiles), sd


def hyperparameter_marginals(theta: np.ndarray, theta_cov: np.ndarray,
                             scales: Optional[np.ndarray],
                             natural: Sequence[Optional[Callable]] = ()) -> np.ndarray:
    """(d, 3): each hyperparameter's 2.5% and 97.5% quantiles and sd, in its own units
    (exp(theta_j), or natural[j](theta_j) where that is given and not None), from the
    skewed Gaussian (a plain Gaussian when `scales` is None); NaN without a finite
    covariance."""
    d = theta.size
    if not np.all(np.isfinite(theta_cov)):
        return np.full((d, 3), np.nan)
    eigenvalues, vectors = np.linalg.eigh(theta_cov)
    root = vectors * np.sqrt(np.maximum(eigenvalues, 0.0))
    scales = np.ones((d, 2)) if scales is None else scales
    out = np.empty((d, 3))
    for j in range(d):
        own = natural[j] if j < len(natural) else None
        quantiles, sd = marginal_summary(float(theta[j]), root[j], scales, natural=own)
        out[j] = (*quantiles, sd)
    return out

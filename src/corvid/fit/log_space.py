"""Pieces of log densities that keep their digits when counts are large.

A family's log density at a count y of 10^9 is a sum of terms near y log y ~ 2·10^10 that
cancel to a few units, and the sum over rows of such terms rounds away every change the
latent mode's search must see. Written about the saturated point eta_hat (where the
density's mean equals y), each log density is its maximum over eta, which Stirling's
series gives in closed form with no large terms (Loader 2000, "Fast and accurate computation
of binomial probabilities"), plus a deviance part that vanishes to second order at eta_hat
and is computed from delta = eta - eta_hat without cancellation:

    stirling_error(x)   = log Γ(x + 1) - (x + ½) log x + x - ½ log 2π
    exp_excess(d)       = exp(d) - 1 - d                       (>= 0)
    bernoulli_excess(p, q, d) = log(1 + p (exp(d) - 1)) - p d  (>= 0, 0 < p = 1 - q < 1)

bernoulli_excess is the cumulant generating function of a Bernoulli(p) less its mean; for
small |d| both excesses come from their series (the Bernoulli's cumulants), which keep full
relative precision where the closed forms would cancel: changes of the log density over
steps of 10^-7 keep nine digits at counts of 10^15.
"""

from __future__ import annotations

import math

import numpy as np
from scipy import special

__all__ = ["stirling_error", "exp_excess", "log1p_excess", "bernoulli_excess"]

HALF_LOG_2PI = 0.5 * math.log(2.0 * math.pi)
SERIES_BELOW = 0.1    # |d| below which the excesses come from their series
LARGE = 700.0         # d beyond which exp(d) is near overflow
STIRLING_FROM = 15.0  # x from which Stirling's series replaces log Γ (absolute error < 1e-13)


def stirling_error(x) -> np.ndarray:
    """log Γ(x + 1) - (x + ½) log x + x - ½ log 2π for x > 0, about 1/(12 x) for large x."""
    x = np.asarray(x, dtype=np.float64)
    out = np.empty(x.shape)
    large = x >= STIRLING_FROM
    xl = x[large]
    inverse_square = 1.0 / (xl * xl)
    out[large] = (1.0 / 12.0 - inverse_square * (1.0 / 360.0 - inverse_square * (
        1.0 / 1260.0 - inverse_square / 1680.0))) / xl
    xs = x[~large]
    out[~large] = special.gammaln(xs + 1.0) - (xs + 0.5) * np.log(xs) + xs - HALF_LOG_2PI
    return out


def _series(x: np.ndarray, coefficients: np.ndarray) -> np.ndarray:
    """sum_k coefficients[k] x^k (coefficients[0] = coefficients[1] = 0) by Horner's rule."""
    out = np.full(x.shape, coefficients[-1])
    for c in coefficients[-2:1:-1]:
        out *= x
        out += c
    return out * x * x


# exp(d) - 1 - d = sum_{k >= 2} d^k / k!, and log(1 + z) - z = sum_{k >= 2} (-1)^(k+1) z^k / k,
# each to below 1e-17 of its first term for |d|, |z| < SERIES_BELOW.
_EXP = np.r_[0.0, 0.0, [1.0 / math.factorial(k) for k in range(2, 14)]]
_LOG = np.r_[0.0, 0.0, [(-1.0) ** (k + 1) / k for k in range(2, 20)]]


def _excess(x, closed_form, coefficients: np.ndarray) -> np.ndarray:
    """closed_form(x), or the series where |x| < SERIES_BELOW, where it would cancel."""
    x = np.asarray(x, dtype=np.float64)
    small = np.abs(x) < SERIES_BELOW
    if small.all():
        return _series(x, coefficients)
    with np.errstate(over="ignore", invalid="ignore"):
        out = np.array(closed_form(x), dtype=np.float64)
    out[small] = _series(x[small], coefficients)
    return out


def exp_excess(d) -> np.ndarray:
    """exp(d) - 1 - d, to full relative precision."""
    return _excess(d, lambda x: np.expm1(x) - x, _EXP)


def log1p_excess(z) -> np.ndarray:
    """log(1 + z) - z for z > -1, to full relative precision."""
    return _excess(z, lambda x: np.log1p(x) - x, _LOG)


def bernoulli_excess(p, q, d) -> np.ndarray:
    """log(1 + p (exp(d) - 1)) - p d for 0 < p < 1 given with q = 1 - p (each computed
    without cancellation by the caller), to full relative precision."""
    p, q, d = np.broadcast_arrays(*(np.asarray(v, dtype=np.float64) for v in (p, q, d)))
    # The excess at (p, d) equals that at (q, -d): with the smaller probability and |d| <= 1,
    # it is p (e^d - 1 - d) + (log(1 + z) - z) at z = p (e^d - 1), two terms of which the
    # first is at most a few times the result, each computed to full relative precision.
    flip = p > 0.5
    p, q, d = np.where(flip, q, p), np.where(flip, p, q), np.where(flip, -d, d)
    out = np.empty(d.shape)
    near = np.abs(d) <= 1.0
    dn, pn = d[near], p[near]
    out[near] = pn * exp_excess(dn) + log1p_excess(pn * np.expm1(dn))
    if not near.all():
        # Beyond |d| = 1 the closed form cancels little; beyond LARGE exp(d) would overflow.
        far = ~near
        pf, qf, df = p[far], q[far], d[far]
        with np.errstate(over="ignore", invalid="ignore"):
            out[far] = np.where(df > LARGE, qf * df + np.log(pf + qf * np.exp(-np.abs(df))),
                                np.log1p(pf * np.expm1(np.minimum(df, LARGE))) - pf * df)
    return out

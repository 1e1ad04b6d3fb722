"""The penalised-complexity (PC) prior of a Matérn field's range and sigma, as `fit` uses it.

For a Matérn field in d dimensions (Fuglstad, Simpson, Lindgren and Rue 2019, JASA 114),
`prior_range=(r0, p)` means P(range < r0) = p and `prior_sigma=(s0, q)` means
P(sigma > s0) = q. The range's prior is exponential in range^(-d/2):

    pi(range) = lambda_r (d/2) range^(-d/2 - 1) exp(-lambda_r range^(-d/2)),
    lambda_r = -ln(p) r0^(d/2),

so that P(range < r0) = exp(-lambda_r r0^(-d/2)) = p; in two dimensions the density is
lambda_r range⁻² exp(-lambda_r / range) with lambda_r = -ln(p) r0. Sigma's prior is
exponential, pi(sigma) = lambda_s exp(-lambda_s sigma) with lambda_s = -ln(q) / s0. Both are
written as densities of theta = (log range, log sigma), the Jacobians included.

The field model's own `log_prior` is exponential in the range itself (P(range > r0) = p);
its model files and callers keep it. The fit uses this prior, which says what the model's
summary and the fit's documentation state.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

__all__ = ["PCMaternPrior", "pc_matern_prior"]


@dataclasses.dataclass(frozen=True)
class PCMaternPrior:
    """P(range < r0) = p and P(sigma > s0) = q for a Matérn field in `dim` dimensions."""

    r0: float
    p: float
    s0: float
    q: float
    dim: int = 2

    @property
    def range_rate(self) -> float:
        return -math.log(self.p) * self.r0 ** (self.dim / 2.0)

    @property
    def sigma_rate(self) -> float:
        return -math.log(self.q) / self.s0

    def __call__(self, theta) -> tuple[float, np.ndarray]:
        """(log density of theta = (log range, log sigma), its gradient (2,))."""
        half = self.dim / 2.0
        log_range, log_sigma = float(theta[0]), float(theta[1])
        lr, ls = self.range_rate, self.sigma_rate
        # exp(-half log_range) underflows to 0 for huge ranges and overflows for tiny ones,
        # where the density is 0: the log density is then -inf, never NaN.
        with np.errstate(over="ignore"):
            decay = float(np.exp(-half * log_range))
        sigma = math.exp(log_sigma) if log_sigma < 700.0 else math.inf
        value = (math.log(lr * half) - half * log_range - lr * decay
                 + math.log(ls) - ls * sigma + log_sigma)
        gradient = np.array([-half + half * lr * decay, 1.0 - ls * sigma])
        return value, gradient


def _pair(values, name: str) -> tuple[float, float]:
    try:
        threshold, probability = (float(v) for v in values)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a pair (threshold, probability), got {values!r}") from None
    if not (math.isfinite(threshold) and threshold > 0.0 and 0.0 < probability < 1.0):
        raise ValueError(f"{name} = (threshold, probability) needs a positive finite threshold "
                         f"and a probability strictly between 0 and 1, got {values!r}")
    return threshold, probability


def pc_matern_prior(prior_range, prior_sigma, dim: int = 2) -> PCMaternPrior:
    """The prior from (r0, p) and (s0, q), checked; ValueError names the pair at fault."""
    r0, p = _pair(prior_range, "prior_range")
    s0, q = _pair(prior_sigma, "prior_sigma")
    return PCMaternPrior(r0, p, s0, q, dim)

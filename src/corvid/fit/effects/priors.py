"""Priors of the effects' own hyperparameters (the fields' are `corvid.fit.field_prior`'s,
a group's sd is exponential as a family's hyperparameter, `corvid.fit.families.PCRatePrior`).

The correlation rho of an AR(1) in time has the PC prior with base model rho = 1, a field
that does not change (Sørbye and Rue 2017, "Penalised complexity priors for stationary
autoregressive processes", J. Time Series Anal. 38). With the distance d(rho) = sqrt(1 - rho)
its density on (-1, 1) is

    pi(rho) = lambda exp(-lambda sqrt(1 - rho)) / (2 sqrt(1 - rho) (1 - exp(-lambda sqrt 2))),

where lambda > 0 solves P(rho > u) = (1 - exp(-lambda sqrt(1 - u))) / (1 - exp(-lambda sqrt 2)) = a
for `prior_rho=(u, a)`. That probability falls from 1 (lambda -> infinity) to
sqrt((1 - u)/2) (lambda -> 0), so such a lambda exists only for a > sqrt((1 - u)/2). On the
working scale theta = log((1 + rho)/(1 - rho)), rho = tanh(theta/2), the Jacobian
d rho / d theta = (1 - rho²)/2 is included.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np
from scipy import optimize

__all__ = ["PCCorrelationPrior", "pc_correlation_prior"]

SQRT2 = math.sqrt(2.0)


def _tail(rate: float, u: float) -> float:
    """P(rho > u) for the rate lambda."""
    return math.expm1(-rate * math.sqrt(1.0 - u)) / math.expm1(-rate * SQRT2)


@dataclasses.dataclass(frozen=True)
class PCCorrelationPrior:
    """P(rho > u) = a for a correlation rho, base model rho = 1; `rate` is lambda."""

    u: float
    a: float
    rate: float

    def __call__(self, theta) -> tuple[float, np.ndarray]:
        """(log density of theta = log((1 + rho)/(1 - rho)), its gradient (1,))."""
        t = float(np.asarray(theta).reshape(-1)[0])
        log_one_minus = math.log(2.0) - float(np.logaddexp(0.0, t))    # log(1 - rho)
        log_one_plus = math.log(2.0) - float(np.logaddexp(0.0, -t))    # log(1 + rho)
        one_minus, one_plus = math.exp(log_one_minus), math.exp(log_one_plus)
        s = math.sqrt(one_minus)
        lam = self.rate
        value = (math.log(lam) - lam * s + 0.5 * log_one_minus + log_one_plus - math.log(4.0)
                 - math.log(-math.expm1(-lam * SQRT2)))
        slope = lam * s * one_plus / 4.0 - one_plus / 4.0 + one_minus / 2.0
        return value, np.array([slope])


def pc_correlation_prior(pair) -> PCCorrelationPrior:
    """The prior from (u, a); ValueError when no lambda gives P(rho > u) = a."""
    try:
        u, a = (float(v) for v in pair)
    except (TypeError, ValueError):
        raise ValueError(f"prior_rho must be a pair (u, a), got {pair!r}") from None
    if not (-1.0 < u < 1.0 and 0.0 < a < 1.0):
        raise ValueError(f"prior_rho = (u, a) means P(rho > u) = a and needs -1 < u < 1 and "
                         f"0 < a < 1, got {pair!r}")
    least = math.sqrt((1.0 - u) / 2.0)
    if a <= least:
        raise ValueError(f"prior_rho = {pair!r}: the PC prior of rho (base model rho = 1) gives "
                         f"P(rho > {u:g}) above sqrt((1 - u)/2) = {least:.4g} whatever its rate; "
                         f"ask for a probability a > {least:.4g}, or a smaller u")
    # P(rho > u) rises with lambda from sqrt((1 - u)/2) to 1: bracket log lambda, then solve.
    low, high = -30.0, 1.0
    while _tail(math.exp(high), u) < a:
        high += 5.0
        if high > 700.0:   # a within rounding of 1
            raise ValueError(f"prior_rho = {pair!r}: a probability this close to 1 is beyond "
                             "the prior's reach; ask for a smaller a")
    if _tail(math.exp(low), u) >= a:
        rate = math.exp(low)
    else:
        rate = math.exp(optimize.brentq(lambda x: _tail(math.exp(x), u) - a, low, high,
                                        xtol=1e-14, rtol=1e-14))
    return PCCorrelationPrior(u, a, rate)

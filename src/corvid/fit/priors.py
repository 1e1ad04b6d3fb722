"""The fixed effects' priors: independent N(0, s_j²), with s_j given or chosen by a rule that
does not depend on the data's units.

- Gaussian data: s_j = 1000 rms(y) / rms(x_j) (see `observations.fixed_prior_sd`).
- Other families, on the link scale, where the units of y mean nothing: a covariate's
  s_j = 10 / sd(x_j) (10 / rms(x_j) without an intercept, or for a covariate constant in
  the data), so that its effect across the data's spread has a prior sd of 10 on the link
  scale; the intercept's s_0 = 10 sqrt(1 + sum_j (mean(x_j) / sd(x_j))²), the sd that the
  intercept would have if the covariates were centred and that centred intercept had sd 10.
  A prior this wide is vague for any rate or probability (exp(±20), logistic(±20)), yet
  keeps the mode finite and near the data's own scale when every trial succeeds.

A given sd must lie within a factor GIVEN_SPAN (10^8) of the rule's: far below, it pins the
effect at zero; far above, the prior is improper in all but name (the log marginal
likelihood falls by the log of the sd) and its precision 1/s² leaves floating point.
"""

from __future__ import annotations

import math

import numpy as np

from .observations import Observations, fixed_prior_sd

__all__ = ["LINK_SCALE_SD", "fixed_effect_prior_sd"]

LINK_SCALE_SD = 10.0
GIVEN_SPAN = 1e8     # a given sd within this factor of the rule's: see fixed_effect_prior_sd


def _spread(column: np.ndarray) -> tuple[float, float, float]:
    """(mean, sd, rms) of a column, computed after dividing by its largest magnitude so that
    squares neither overflow nor underflow."""
    scale = float(np.max(np.abs(column))) if column.size else 0.0
    if scale == 0.0:
        return 0.0, 0.0, 0.0
    unit = column / scale
    return (float(np.mean(unit)) * scale, float(np.std(unit)) * scale,
            float(np.sqrt(np.mean(unit**2))) * scale)


def link_scale_prior_sd(data: Observations, intercept: bool) -> np.ndarray:
    """The rule of the module's note for families other than the Gaussian."""
    X = data.X
    covariates = range(1 if intercept else 0, X.shape[1])
    sd = np.empty(X.shape[1])
    centred = 0.0
    for j in covariates:
        mean, spread, rms = _spread(X[:, j])
        if intercept and spread > 0.0:
            sd[j] = LINK_SCALE_SD / spread
            centred += (mean / spread) ** 2
        else:
            sd[j] = LINK_SCALE_SD / rms
    if intercept:
        sd[0] = LINK_SCALE_SD * math.sqrt(1.0 + centred)
    return sd


def _given(prior_fixed, names: list[str]) -> np.ndarray:
    k = len(names)
    try:
        values = np.asarray(prior_fixed, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"prior_fixed must be a number or one per fixed effect, got "
                         f"{prior_fixed!r}") from None
    if values.ndim == 0:
        values = np.full(k, float(values))
    if values.shape != (k,):
        raise ValueError(f"prior_fixed must be one number or {k} (one per fixed effect: "
                         f"{', '.join(names)}), got shape {values.shape}")
    bad = np.flatnonzero(~(np.isfinite(values) & (values > 0.0)))
    if bad.size:
        raise ValueError(f"prior_fixed must be positive and finite, and is {values[bad[0]]!r} "
                         f"for {names[bad[0]]!r}")
    return values


def _refuse_far_from(given: np.ndarray, default: np.ndarray, names: list[str]) -> None:
    """Refuses a given sd beyond GIVEN_SPAN times its default, either way."""
    ratio = given / default
    far = np.flatnonzero((ratio < 1.0 / GIVEN_SPAN) | (ratio > GIVEN_SPAN))
    if not far.size:
        return
    j = int(far[0])
    effect = ("pins the effect at zero (leave the effect out instead)" if ratio[j] < 1.0 else
              "is improper in all but name: the log marginal likelihood falls by the log of "
              "the sd, and the prior's precision leaves floating point")
    raise ValueError(f"prior_fixed is {given[j]:.3g} for {names[j]!r}, {ratio[j]:.3g} times its "
                     f"default prior sd ({default[j]:.4g}, already vague for these data); the "
                     f"fit takes prior sds within a factor {GIVEN_SPAN:,.0f} of the default, "
                     f"[{default[j] / GIVEN_SPAN:.3g}, {default[j] * GIVEN_SPAN:.3g}]: a prior "
                     f"this far out {effect}")


def fixed_effect_prior_sd(data: Observations, intercept: bool, exact_gaussian: bool,
                          prior_fixed=None) -> np.ndarray:
    """The prior sd of each fixed effect: `prior_fixed` (one number or one per effect) when
    given, within a factor GIVEN_SPAN of the rule's, else the rule of the module's note."""
    default = fixed_prior_sd(data) if exact_gaussian else link_scale_prior_sd(data, intercept)
    if prior_fixed is None:
        return default
    given = _given(prior_fixed, data.names)
    _refuse_far_from(given, default, data.names)
    return given

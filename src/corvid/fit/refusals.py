"""What the fit refuses before it starts, saying what and why: data with no scatter for a
family that estimates its scale from the scatter, and hyperparameter priors too far from
the data's scale or the mesh's extent to leave a posterior the fit can find.

The field's and the families' priors are judged by their medians, the one number that says
where each prior puts the hyperparameter whatever the pair (threshold, probability) that
gave it:
- the range's PC prior, P(range < r0) = p, has its median at r0 ln(1/p) / ln 2; it must lie
  between 1/1000 and 100 times the mesh's extent (the diagonal of its bounding box). Far
  below, the prior asks for a field that is white noise at the vertices of any mesh (finer
  than 1000 edges across is rare); far above, for a plane over the region; either way the
  data cannot pull the range back, and the search runs off towards zero or infinity;
- sigma's and the noise sd's exponential priors, P(s > s0) = q, have their medians at
  s0 ln 2 / ln(1/q); they must lie within a factor 10^6 of the data's scale (for Gaussian data
  the root mean square of y about the fixed effects' least-squares fit; on the link scale
  of the other families, 1);
- the overdispersion's (1/sqrt(size) or 1/sqrt(phi)) median must lie within a factor 10^6
  of 1.

After the search, a mode whose log likelihood double precision cannot resolve is refused
too, naming the rows: the linear predictor eta is rounded to 1 part in 10^16, and a row
moves the log likelihood by |dl/d eta| times that step. Poisson counts near 10^15 that the
model does not follow to 1 part in 10^8 (a mesh never does) move it by whole nats, so the
hyperparameters' search reads rounding; the negative binomial, whose overdispersion bounds
dl/d eta, takes such counts.
"""

from __future__ import annotations

import math
from typing import Optional

import numpy as np

from .families import Family, FamilyData, PCRatePrior, RowsError
from .field_prior import PCMaternPrior
from .observations import Observations, root_mean_square

__all__ = ["RANGE_LIMITS", "SCALE_LIMITS", "RESOLVED_NATS", "refuse_unfittable",
           "refuse_unresolved"]

RANGE_LIMITS = (1e-3, 1e2)   # the range's prior median within these times the mesh's extent
SCALE_LIMITS = (1e-6, 1e6)  # sd-like priors' medians within these times the data's scale
ROUNDING = 64.0 * np.finfo(np.float64).eps   # residuals this small (relative) are rounding
LN2 = math.log(2.0)
RESOLVED_NATS = 0.01   # the log likelihood's rounding step at the mode that the search can bear


def _residual(X: np.ndarray, z: np.ndarray) -> np.ndarray:
    if not X.shape[1]:
        return z
    return z - X @ np.linalg.lstsq(X, z, rcond=None)[0]


def _refuse_no_scatter(family: Family, family_data: FamilyData, data: Observations) -> None:
    z, _ = family.working(family_data)
    scale = float(root_mean_square(z))
    if float(root_mean_square(_residual(data.X, z))) > ROUNDING * scale:
        return
    response = "y" if family.exact else f"the {family.link} of y"
    if data.X.shape[1] == 1 and data.names[0] == "intercept":
        what = f"y is the same in every row ({family_data.y[0]:.6g})"
    elif not data.X.shape[1]:
        what = "y is 0 in every row"
    else:
        what = (f"{response} is an exact linear combination of the fixed effects "
                f"({', '.join(data.names)}) in every row")
    hyper = str(family.hyperparameter).replace("_", " ")
    raise ValueError(f"{what}: the {family.name} family's {hyper} is "
                     "estimated from the data's scatter about the fixed effects and the field, "
                     "and with none its posterior density grows without bound, so there is no "
                     "estimate to give; fit data that vary, or give theta to fit at fixed "
                     "hyperparameters")


def _refuse_far(name: str, pair, what: str, median: float, scale: float, scale_name: str,
               limits: tuple, example: float) -> None:
    low, high = limits
    if low * scale <= median <= high * scale:
        return
    towards = "zero" if median < scale else "infinity"
    raise ValueError(f"{name} = {tuple(pair)!r} puts the prior median of the {what} at "
                     f"{median:.3g}, {median / scale:.3g} times {scale_name} ({scale:.4g}); "
                     f"the fit takes priors whose median lies between {low:g} and {high:g} "
                     f"times it: one that far out leaves the data no say, and the search runs "
                     f"off towards {towards}; e.g. {name}=({example:.4g}, 0.5)")


def refuse_unfittable(model, family: Family, family_data: FamilyData, data: Observations,
                      field_prior: PCMaternPrior, estimating: bool) -> None:
    """ValueError for the module's cases, when the hyperparameters are `estimating` (no
    theta given): at a given theta, data without scatter still have a posterior, and the
    priors only label the log posterior."""
    if not estimating:    # at a given theta the priors only label the log posterior
        return
    if family.scale_from_scatter:
        _refuse_no_scatter(family, family_data, data)
    loc = np.asarray(model.mesh.loc, dtype=np.float64)[:, :2]
    extent = float(np.hypot(*np.ptp(loc, axis=0))) or 1.0
    _refuse_far("prior_range", (field_prior.r0, field_prior.p), "range",
                field_prior.range_rate / LN2, extent,
                "the mesh's extent, the diagonal of its bounding box", RANGE_LIMITS, extent / 10.0)
    scale, scale_name = 1.0, "1, the unit of the link scale"
    if family.link == "identity":   # the field is in y's own units
        z, _ = family.working(family_data)
        whole, scatter = float(root_mean_square(z)), float(root_mean_square(_residual(data.X, z)))
        scale = scatter if scatter > ROUNDING * whole else whole or 1.0
        scale_name = "the data's scale (the root mean square of y about the fixed effects)"
    _refuse_far("prior_sigma", (field_prior.s0, field_prior.q), "field's sd",
                LN2 / field_prior.sigma_rate, scale, scale_name, SCALE_LIMITS, scale)
    prior: Optional[PCRatePrior] = family.prior
    if prior is not None and family.prior_option is not None:
        if prior.power > 0:       # on the noise sd, in the field's units
            what, own, own_name = "noise sd", scale, scale_name
        else:                     # on an overdispersion, which has no units
            what, own, own_name = f"overdispersion 1/sqrt({family.hyperparameter})", 1.0, "1"
        _refuse_far(family.prior_option, (prior.u, prior.a), what, LN2 / prior.rate, own,
                    own_name, SCALE_LIMITS, own)


def refuse_unresolved(family: Family, family_data: FamilyData, eta: np.ndarray,
                      psi: Optional[float]) -> None:
    """RowsError when the log likelihood's rounding step at the latent mode eta (n_obs,),
    sum |dl/d eta| spacing(eta), exceeds RESOLVED_NATS; the rows named are those that
    make up most of it."""
    first = family.derivatives(family_data, eta, psi)[0]
    step = np.abs(first) * np.spacing(np.abs(eta))
    total = float(np.sum(step))
    if not total > RESOLVED_NATS:
        return
    order = np.argsort(-step)
    rows = np.sort(order[:int(np.searchsorted(np.cumsum(step[order]), 0.9 * total)) + 1])
    largest = float(np.max(family_data.y[rows]))
    raise RowsError(f"{family.name} data this large (up to {largest:.3g}) pin the linear "
                    f"predictor more finely than double precision resolves: rounding it moves "
                    f"the log likelihood by {total:.2g} in all, and the hyperparameters' search "
                    f"would read rounding; counts this large are overdispersed in practice: fit "
                    f"them with family='nbinomial'. Most of it comes from", rows)

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
Every field's prior is judged so, the effects' too: a space-time field's and a varying
coefficient's range against the mesh's extent, a smooth's against its knots' span (its
range is in its covariate's units); their sds, and a group's, against the data's scale (a
varying coefficient's per unit of its covariate, whose root mean square divides it). Each
block of the latent model says which medians it has (`Block.prior_checks`), so this module
never asks what kind of effect it holds.

After the search, a mode whose log likelihood double precision cannot resolve is refused
too, naming the rows: the linear predictor eta is rounded to 1 part in 10^16, and a row
moves the log likelihood by |dl/d eta| times that step. Poisson counts near 10^15 that the
model does not follow to 1 part in 10^8 (a mesh never does) move it by whole nats, so the
hyperparameters' search reads rounding; the negative binomial, whose overdispersion bounds
dl/d eta, takes such counts.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Optional, Sequence

import numpy as np

from .families import Family, FamilyData, PCRatePrior, RowsError
from .field_prior import PCMaternPrior
from .observations import Observations, root_mean_square

__all__ = ["RANGE_LIMITS", "SCALE_LIMITS", "RESOLVED_NATS", "PriorCheck", "Scales",
           "field_checks", "refuse_unfittable", "refuse_unresolved"]

RANGE_LIMITS = (1e-3, 1e2)   # the range's prior median within these times the mesh's extent
SCALE_LIMITS = (1e-6, 1e6)  # sd-like priors' medians within these times the data's scale
ROUNDING = 64.0 * np.finfo(np.float64).eps   # residuals this small (relative) are rounding
LN2 = math.log(2.0)
RESOLVED_NATS = 0.01   # the log likelihood's rounding step at the mode that the search can bear


@dataclasses.dataclass(frozen=True)
class Scales:
    """What the priors' medians are judged against: the mesh's extent and the data's scale
    (on the link scale, 1), with their names in messages."""

    extent: float
    scale: float
    scale_name: str
    extent_name: str = "the mesh's extent, the diagonal of its bounding box"


@dataclasses.dataclass(frozen=True)
class PriorCheck:
    """One prior's median against a reference length or scale: `owner` ("" for the static
    field, else e.g. "effect 'st'") and `option` name the argument that sets the prior,
    `pair` its value; `limits` the factors either way that are taken; `example` a threshold
    to suggest (with probability 0.5)."""

    owner: str
    option: str
    pair: tuple
    what: str
    median: float
    reference: float
    reference_name: str
    limits: tuple
    example: float


def field_checks(prior: PCMaternPrior, scales: Scales, owner: str = "", *,
                 extent: Optional[float] = None, extent_name: Optional[str] = None,
                 per: float = 1.0, per_name: str = "") -> list:
    """The range's and sigma's checks of a Matérn field's PC prior, in `prior.dim`
    dimensions: range^(-dim/2) is exponential with rate range_rate, so its median is
    (range_rate / ln 2)^(2/dim); sigma's is ln 2 / sigma_rate. The range against `extent`
    (the mesh's by default), sigma against the data's scale divided by `per` (a varying
    coefficient's covariate)."""
    length = scales.extent if extent is None else extent
    scale = scales.scale / per
    return [PriorCheck(owner, "prior_range", (prior.r0, prior.p), "range",
                       (prior.range_rate / LN2) ** (2.0 / prior.dim), length,
                       scales.extent_name if extent_name is None else extent_name,
                       RANGE_LIMITS, length / 10.0),
            PriorCheck(owner, "prior_sigma", (prior.s0, prior.q), "field's sd",
                       LN2 / prior.sigma_rate, scale, scales.scale_name + per_name,
                       SCALE_LIMITS, scale)]


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


def _refuse_far(check: PriorCheck) -> None:
    name, pair, what, median = check.option, check.pair, check.what, check.median
    scale, scale_name, (low, high), example = (check.reference, check.reference_name,
                                               check.limits, check.example)
    if low * scale <= median <= high * scale:
        return
    towards = "zero" if median < scale else "infinity"
    owner = f"{check.owner}: " if check.owner else ""
    raise ValueError(f"{owner}{name} = {tuple(pair)!r} puts the prior median of the {what} at "
                     f"{median:.3g}, {median / scale:.3g} times {scale_name} ({scale:.4g}); "
                     f"the fit takes priors whose median lies between {low:g} and {high:g} "
                     f"times it: one that far out leaves the data no say, and the search runs "
                     f"off towards {towards}; e.g. {name}=({example:.4g}, 0.5)")


def refuse_unfittable(model, family: Family, family_data: FamilyData, data: Observations,
                      blocks: Sequence, estimating: bool) -> None:
    """ValueError for the module's cases, when the hyperparameters are `estimating` (no
    theta given): at a given theta, data without scatter still have a posterior, and the
    priors only label the log posterior. `blocks` are the latent model's (the static
    field's and the effects'), each giving its priors' checks (`prior_checks(scales)`)."""
    if not estimating:    # at a given theta the priors only label the log posterior
        return
    if family.scale_from_scatter:
        _refuse_no_scatter(family, family_data, data)
    loc = np.asarray(model.mesh.loc, dtype=np.float64)[:, :2]
    extent = float(np.hypot(*np.ptp(loc, axis=0))) or 1.0
    scale, scale_name = 1.0, "1, the unit of the link scale"
    if family.link == "identity":   # the field is in y's own units
        z, _ = family.working(family_data)
        whole, scatter = float(root_mean_square(z)), float(root_mean_square(_residual(data.X, z)))
        scale = scatter if scatter > ROUNDING * whole else whole or 1.0
        scale_name = "the data's scale (the root mean square of y about the fixed effects)"
    scales = Scales(extent, scale, scale_name)
    for block in blocks:
        for check in block.prior_checks(scales):
            _refuse_far(check)
    prior: Optional[PCRatePrior] = family.prior
    if prior is not None and family.prior_option is not None:
        if prior.power > 0:       # on the noise sd, in the field's units
            what, own, own_name = "noise sd", scale, scale_name
        else:                     # on an overdispersion, which has no units
            what, own, own_name = f"overdispersion 1/sqrt({family.hyperparameter})", 1.0, "1"
        _refuse_far(PriorCheck("", family.prior_option, (prior.u, prior.a), what,
                               LN2 / prior.rate, own, own_name, SCALE_LIMITS, own))


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

"""`Varying`: a spatially varying coefficient, a second field w on the mesh entering the
linear predictor as values_i (A w)_i.

w is a Matérn field with the static field's structure and its own theta_b = (log range,
log sigma), named "<name>_range" and "<name>_sigma", with the static field's PC prior (the
model's priors unless given). The covariate's overall effect is a fixed effect: give it
among the covariates too, and w is the coefficient's departure from it, place by place.
"""

from __future__ import annotations

import math

import numpy as np
from scipy import sparse

from ..refusals import field_checks
from ..start import FIELD_WIDTHS
from .base import (Context, Effect, NewPoints, Rows, Start, covariate_at, effect_name, exp_start,
                   finite_real, one_per_observation)
from .matern import MaternBlock

__all__ = ["Varying"]


class Varying(Effect):
    """A spatially varying coefficient of a covariate (see the module's note).

    name : the effect's name ("<name>_range", "<name>_sigma").
    values : (n_obs,) the covariate at each observation, finite and not all zero.
    prior_range, prior_sigma : (r0, p) and (s0, q) of the field's PC prior; None takes the
        model's.
    """

    observed, given_by = "values", "effects"
    kind = "varying coefficient"

    def __init__(self, name: str, values, prior_range=None, prior_sigma=None) -> None:
        self.name = effect_name(name)
        self.values = finite_real(one_per_observation(values, name, "values"),
                                  f"varying coefficient {name!r}", "values")
        if not np.any(self.values):
            raise ValueError(f"varying coefficient {name!r}: values are all zero, so the "
                             "coefficient never enters the linear predictor")
        self.prior_range, self.prior_sigma = prior_range, prior_sigma
        self.n_values = self.values.size

    def bind(self, context: Context) -> "VaryingBlock":
        self._check_length(context)
        return VaryingBlock(self, context, context.field_prior(self.prior_range, self.prior_sigma))


class VaryingBlock(MaternBlock):
    kind = "varying coefficient"
    given_by = "effects"
    slices = 1

    def __init__(self, effect: Varying, context: Context, prior) -> None:
        rows = sparse.diags(effect.values) @ sparse.csr_matrix(context.basis)
        super().__init__(effect.name, context.field, prior, rows, context.backend)
        rms = float(np.sqrt(np.mean((effect.values / np.max(np.abs(effect.values))) ** 2))) \
            * float(np.max(np.abs(effect.values)))
        self.log_scale = math.log(rms)

    def start(self, start: Start):
        return exp_start([start.log_range, start.log_sigma - self.log_scale], FIELD_WIDTHS)

    def prior_checks(self, scales):
        # The coefficient's sd: the data's scale per unit of the covariate.
        rms = math.exp(self.log_scale)
        return field_checks(self.prior, scales, self.owner, per=rms,
                            per_name=f", divided by the root mean square of {self.name!r} "
                                     f"({rms:.4g})")

    def rows_at(self, points: NewPoints) -> Rows:
        values = covariate_at(points, self.name, "varying coefficient")
        if values is None:
            return Rows(sparse.csr_matrix((points.m, self.size)))
        return Rows(sparse.csr_matrix(sparse.diags(values) @ points.basis))

    def describe(self) -> str:
        return f"varying coefficient, a field on {self.size} mesh vertices"

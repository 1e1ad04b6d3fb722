"""`Group`: an intercept per label (vessel, observer, site), iid N(0, sd²).

theta_b = log sd, named "<name>_sd", with the exponential (PC) prior P(sd > u) = a,
`prior_sd=(u, a)`. Q = sd⁻² I, so log |Q| = -2 G log sd for G labels. The posterior is
given per label, in sorted label order. At new points, an omitted group is left out (the
population level); a label the fit has not seen has mean 0 and adds sd² to the variance.
"""

from __future__ import annotations

import math

import numpy as np
from scipy import sparse

from ..families import pc_rate_prior
from ..refusals import SCALE_LIMITS, PriorCheck
from ..start import FIELD_WIDTHS
from .base import Block, Context, Effect, NewPoints, Rows, Start, effect_name, exp_start
from .levels import Levels, label_values

__all__ = ["Group"]


class Group(Effect):
    """An iid N(0, sd²) intercept per distinct label.

    name : the effect's name ("<name>_sd" names its hyperparameter).
    labels : (n_obs,) one label per observation: numbers, text or dates, one kind; at
        least two distinct labels.
    prior_sd : (u, a) for the exponential prior P(sd > u) = a.
    """

    observed, given_by = "labels", "effects"
    kind = "group"

    def __init__(self, name: str, labels, prior_sd=(1.0, 0.01)) -> None:
        self.name = effect_name(name)
        self.labels = label_values(labels, f"group {name!r}: labels")
        self.levels = Levels(self.labels)
        if len(self.levels) < 2:
            shown = f" ({self.levels.values.tolist()[0]!r})" if len(self.levels) else ""
            raise ValueError(f"group {name!r} has {len(self.levels)} label(s){shown}: an intercept "
                             "per label needs at least two labels")
        self.prior = pc_rate_prior(prior_sd, "prior_sd", 1.0)
        self.n_values = self.labels.size

    def bind(self, context: Context) -> "GroupBlock":
        self._check_length(context)
        return GroupBlock(self)


class GroupBlock(Block):
    kind = "group intercepts"
    given_by = "effects"
    optional = True

    def __init__(self, group: Group) -> None:
        self.name = group.name
        self.levels = group.levels
        self.prior = group.prior
        G = len(group.levels)
        self.size, self.shape, self.index = G, (G,), group.levels.values
        self.theta_names = (f"{group.name}_sd",)
        self.terms = [sparse.identity(G, format="csr")]
        where, _ = group.levels.index(group.labels, "labels")
        n = group.labels.size
        self.rows = sparse.csr_matrix((np.ones(n), (np.arange(n), where)), shape=(n, G))

    def coefficients(self, theta):
        return np.array([np.exp(-2.0 * theta[0])])

    def coefficient_gradient(self, theta):
        return np.array([[-2.0 * np.exp(-2.0 * theta[0])]])

    def logdet(self, theta):
        return -2.0 * self.size * float(theta[0]), None

    def logdet_gradient(self, theta, token):
        return np.array([-2.0 * self.size])

    def log_prior(self, theta):
        value, slope = self.prior(float(theta[0]))
        return value, np.array([slope])

    def start(self, start: Start):
        return exp_start([start.log_sigma], FIELD_WIDTHS[1:])

    def prior_checks(self, scales):
        prior = self.prior
        return [PriorCheck(self.owner, "prior_sd", (prior.u, prior.a), "group's sd",
                           math.log(2.0) / prior.rate, scales.scale, scales.scale_name,
                           SCALE_LIMITS, scales.scale)]

    def rows_at(self, points: NewPoints) -> Rows:
        m = points.m
        if self.name not in points.effects:   # the population level
            return Rows(sparse.csr_matrix((m, self.size)))
        where, seen = self.levels.index(points.effects[self.name], f"effects[{self.name!r}]")
        rows = np.flatnonzero(seen)
        matrix = sparse.csr_matrix((np.ones(rows.size), (rows, where[seen])), shape=(m, self.size))
        return Rows(matrix, ~seen)

    def unseen_variance(self, theta) -> float:
        return float(np.exp(2.0 * theta[0]))

    def describe(self) -> str:
        return f"group intercepts, {self.size} labels ({self.levels.describe()})"

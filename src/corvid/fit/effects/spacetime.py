"""`SpaceTime`: a field per time step on the model's mesh, with its own range and sigma.

With Q the spatial precision of a Matérn field (the static field's structure, its own
theta), the steps' fields eps_1 ... eps_T are

- "iid": independent, each N(0, Q⁻¹): precision I ⊗ Q;
- "ar1": eps_1 ~ N(0, Q⁻¹), eps_t = rho eps_(t-1) + sqrt(1 - rho²) delta_t with delta_t ~
  N(0, Q⁻¹): precision R(rho) ⊗ Q, R(rho) = (1 - rho²)⁻¹ tridiag(-rho; 1, 1 + rho², ...,
  1 + rho², 1; -rho), |R| = (1 - rho²)^-(T - 1);
- "rw": eps_1 ~ N(0, Q⁻¹), eps_t - eps_(t-1) ~ N(0, Q⁻¹): precision tridiag(-1; 2, ..., 2, 1;
  -1) ⊗ Q, proper, |R| = 1.

So log |R ⊗ Q| = n log |R| + T log |Q|, the spatial part through the factor of K as for the
static field. The precision is sum_j a_j(rho) (R_j ⊗ (c0 M0 + c1 M1 + c2 M2)): nine fixed
Kronecker terms for "ar1" (R_j = I, the inner diagonal, the off-diagonals), three for the
others. Steps are equally spaced in the AR(1) and the random walk, whatever the spacing of
their values. theta_b = (log range, log sigma[, log((1 + rho)/(1 - rho))]), named
"<name>_range", "<name>_sigma", "<name>_rho" (reported as rho itself); the field's PC prior
as the static field's (the model's unless given), and rho's the PC prior of
`corvid.fit.effects.priors`. rho's search starts at the residuals' correlation from one
step to the next (`lag_one_correlation`), or at 0.5 where the data cannot say it.
"""

from __future__ import annotations

import math
from typing import Optional

import numpy as np
from scipy import sparse, spatial

from ..start import FIELD_WIDTHS, nearest_other
from .base import Context, Effect, NewPoints, Rows, Start, effect_name, exp_start
from .levels import Levels, label_values
from .matern import MaternBlock
from .priors import pc_correlation_prior

__all__ = ["SpaceTime"]

KINDS = ("iid", "ar1", "rw")
RHO_BOUNDS = (-10.0, 10.0)    # theta_rho: |rho| up to 0.99991
RHO_START = math.log(3.0)     # rho = 0.5, where the data cannot say
RHO_START_LIMITS = (-0.9, 0.95)


class SpaceTime(Effect):
    """A field per time step, "iid", "ar1" or "rw" in time (see the module's note).

    time : (n_obs,) the time of each observation: numbers, text or dates, one kind.
    kind : "iid", "ar1" or "rw".
    times : every step, when some have no data (their fields are then predicted) or when
        text steps are not in text order; must include every value of `time`. Numbers and
        dates are put in order of their values; text steps are taken in the order given
        (["spring", "summer", "autumn", "winter"]). By default an ordered pandas
        categorical's categories, else the sorted distinct values of `time` (text in text
        order: "10" before "9", "Feb" before "Jan").
    prior_range, prior_sigma : (r0, p) and (s0, q) for the field's PC prior, P(range < r0)
        = p and P(sigma > s0) = q; None takes the model's.
    prior_rho : (u, a), P(rho > u) = a, for "ar1" (needs a > sqrt((1 - u)/2)).
    name : the effect's name, "st" by default.
    """

    observed, given_by = "time", "time"

    def __init__(self, time, kind: str = "ar1", times=None, prior_range=None, prior_sigma=None,
                 prior_rho=(0.5, 0.9), name: str = "st") -> None:
        self.name = effect_name(name)
        if kind not in KINDS:
            raise ValueError(f"space-time effect {name!r}: kind must be one of "
                             f"{', '.join(map(repr, KINDS))}, got {kind!r}")
        self.kind = kind
        self.time = label_values(time, f"space-time effect {name!r}: time values")
        if times is None:
            times = _ordered_categories(time)
        if times is None:
            self.steps = Levels(self.time)
        else:
            given = label_values(times, f"space-time effect {name!r}: times")
            # Text has no order of its own but the one given; numbers and dates have theirs.
            self.steps = Levels(given, in_given_order=given.dtype.kind in "US")
            if not self.steps.values.size:
                raise ValueError(f"space-time effect {name!r}: times is empty: give every step, "
                                 "or leave times unset for the steps of time")
            if self.steps.kind != Levels(self.time).kind:
                raise ValueError(f"space-time effect {name!r}: times are {self.steps.kind}, "
                                 f"time values {Levels(self.time).kind}")
            _, found = self.steps.index(self.time, "time values")
            if not found.all():
                missing = Levels(self.time[~found])
                raise ValueError(f"space-time effect {name!r}: times misses the value(s) "
                                 f"{missing.describe()} of time (rows "
                                 f"{', '.join(map(str, np.flatnonzero(~found)[:5]))})")
        if kind == "ar1" and len(self.steps) < 2:
            raise ValueError(f"space-time effect {name!r}: an AR(1) in time needs at least two "
                             f"steps, got {len(self.steps)}")
        self.prior_range, self.prior_sigma = prior_range, prior_sigma
        self.rho_prior = pc_correlation_prior(prior_rho) if kind == "ar1" else None
        self.n_values = self.time.size

    def bind(self, context: Context) -> "SpaceTimeBlock":
        self._check_length(context)
        return SpaceTimeBlock(self, context, context.field_prior(self.prior_range, self.prior_sigma))


def _ordered_categories(values):
    """The categories of an ordered pandas categorical, in their order; None otherwise."""
    categorical = getattr(values, "cat", values)
    if getattr(categorical, "ordered", False) and hasattr(categorical, "categories"):
        return np.asarray(categorical.categories)
    return None


def lag_one_correlation(loc: np.ndarray, residual: np.ndarray, step: np.ndarray) -> Optional[float]:
    """The correlation of a field from one step to the next, read off residuals (n,) at
    locations (n, 2) in steps (n,): residuals at nearest neighbours one step apart share
    rho times the field's covariance at that distance, those at nearest neighbours within
    a step the covariance alone, and neither shares the noise; so the ratio of their mean
    products is rho. None where the steps hold too few points or the data no field."""
    across, within = [], []
    for t in range(int(step.max()) + 1 if step.size else 0):
        before, now = np.flatnonzero(step == t - 1), np.flatnonzero(step == t)
        if now.size < 2:
            continue
        within.append(residual[now] * residual[now[nearest_other(loc[now], np.arange(now.size))]])
        if before.size:
            # the tree over distinct places: over repeated points it degenerates
            places, first = np.unique(loc[before], axis=0, return_index=True)
            _, nearest = spatial.cKDTree(places).query(loc[now])
            across.append(residual[now] * residual[before[first[nearest]]])
    if not across or not within:
        return None
    shared = float(np.mean(np.concatenate(within)))
    if not (shared > 0.0):
        return None
    return float(np.clip(np.mean(np.concatenate(across)) / shared, *RHO_START_LIMITS))


def _time_terms(kind: str, T: int) -> list:
    """The R_j of R(rho) = sum_j a_j(rho) R_j."""
    if kind == "iid":
        return [sparse.identity(T, format="csr")]
    off = sparse.diags([np.ones(T - 1), np.ones(T - 1)], [-1, 1], shape=(T, T), format="csr")
    if kind == "rw":
        diagonal = np.full(T, 2.0)
        diagonal[-1] = 1.0
        return [sparse.csr_matrix(sparse.diags(diagonal) - off)]
    inner = np.ones(T)
    inner[[0, -1]] = 0.0
    return [sparse.identity(T, format="csr"), sparse.diags(inner, format="csr"), off]


def _rho(theta):
    """rho from theta_rho (a number or an array)."""
    return np.tanh(0.5 * theta)


class SpaceTimeBlock(MaternBlock):
    given_by = "time"

    def __init__(self, effect: SpaceTime, context: Context, prior) -> None:
        super().__init__(effect.name, context.field, prior, context.basis, context.backend)
        self.kind = f"space-time field ({effect.kind})"
        self.time_kind = effect.kind
        self.steps = effect.steps
        self.rho_prior = effect.rho_prior
        n, T = context.field.n, len(effect.steps)
        self.n_mesh, self.slices = n, T
        self.size, self.shape, self.index = T * n, (T, n), effect.steps.values
        self.theta_names = self.theta_names + ((f"{effect.name}_rho",) if self.rho_prior else ())
        field = context.field
        self.time_terms = _time_terms(effect.kind, T)
        self.terms = [sparse.kron(R, M, format="csr") for R in self.time_terms
                      for M in (field.M0, field.M1, field.M2)]
        step, _ = effect.steps.index(effect.time, "time values")
        self.rows = self._placed(context.basis, step)
        self._step = step

    def _placed(self, basis, step: np.ndarray) -> sparse.csr_matrix:
        """The basis rows moved to each point's step."""
        basis = sparse.csr_matrix(basis)
        counts = np.diff(basis.indptr)
        shift = np.repeat(step.astype(np.int64) * self.n_mesh, counts)
        return sparse.csr_matrix((basis.data, basis.indices + shift, basis.indptr),
                                 shape=(basis.shape[0], self.size))

    # ---- the precision -------------------------------------------------------------------

    def _time_weights(self, theta) -> tuple[np.ndarray, np.ndarray]:
        """(a_j(rho), d a_j / d theta_rho)."""
        if self.rho_prior is None:
            return np.ones(1), np.zeros(1)
        rho = _rho(float(theta[2]))
        one = 1.0 - rho * rho
        weights = np.array([1.0, rho * rho, -rho]) / one
        # d/d rho times d rho / d theta = (1 - rho²)/2
        slopes = np.array([rho, rho, -0.5 * (1.0 + rho * rho)]) / one
        return weights, slopes

    def coefficients(self, theta):
        a, _ = self._time_weights(theta)
        return np.outer(a, self.field.coefficients(theta[:2])).ravel()

    def coefficient_gradient(self, theta):
        a, da = self._time_weights(theta)
        c, dc = self.field.coefficients(theta[:2]), self.field.coefficient_gradient(theta[:2])
        rows = [np.outer(a, dc[j]).ravel() for j in range(2)]
        if self.rho_prior is not None:
            rows.append(np.outer(da, c).ravel())
        return np.array(rows)

    def _log_one_minus_rho2(self, theta) -> float:
        # log(1 - tanh(x)²) = -2 log cosh(x), stable for large |x|
        x = 0.5 * float(theta[2])
        return -2.0 * (float(np.logaddexp(x, -x)) - math.log(2.0))

    def logdet(self, theta):
        spatial, token = self.logdet_of.logdet(theta[:2])
        T = self.slices
        time = -(T - 1) * self._log_one_minus_rho2(theta) if self.rho_prior is not None else 0.0
        return self.n_mesh * time + T * spatial, token

    def logdet_gradient(self, theta, token):
        out = self.slices * self.logdet_of.gradient(theta[:2], token)
        if self.rho_prior is None:
            return out
        return np.r_[out, self.n_mesh * (self.slices - 1) * _rho(float(theta[2]))]

    def log_prior(self, theta):
        value, gradient = self.prior(theta[:2])
        if self.rho_prior is None:
            return value, gradient
        rho_value, rho_gradient = self.rho_prior(theta[2])
        return value + rho_value, np.r_[gradient, rho_gradient]

    def start(self, start: Start):
        theta0, bounds = exp_start([start.log_range, start.log_sigma], FIELD_WIDTHS)
        if self.rho_prior is None:
            return theta0, bounds
        rho = None if start.residual is None or start.loc is None else \
            lag_one_correlation(start.loc, start.residual, self._step)
        rho_start = RHO_START if rho is None else math.log((1.0 + rho) / (1.0 - rho))
        return np.r_[theta0, rho_start], np.vstack([bounds, RHO_BOUNDS])

    def natural(self, theta):
        values, slopes = super().natural(theta)
        if self.rho_prior is not None:
            rho = _rho(float(theta[2]))
            values[2], slopes[2] = rho, 0.5 * (1.0 - rho * rho)
        return values, slopes

    def natural_map(self, k: int):
        return _rho if k == 2 and self.rho_prior is not None else None

    def theta_words(self):
        words = super().theta_words()
        if self.rho_prior is None:
            return words
        rho = self.theta_names[2]
        return words[:2] + (f"log((1 + {rho})/(1 - {rho}))",)

    # ---- rows ----------------------------------------------------------------------------

    def rows_at(self, points: NewPoints) -> Rows:
        if points.time is None:
            raise ValueError(f"this fit has the space-time effect {self.name!r}: give time=, one "
                             f"of its steps ({self.steps.describe()}) per point")
        step, found = self.steps.index(points.time, "time")
        if not found.all():
            missing = Levels(np.asarray(points.time)[~found])
            raise ValueError(f"time {missing.describe()} is not a step of the space-time effect "
                             f"{self.name!r} (its steps: {self.steps.describe()}); give the "
                             "steps to predict as times= when fitting")
        return Rows(self._placed(points.basis, step))

    def describe(self) -> str:
        return (f"space-time field ({self.time_kind}), {self.slices} steps "
                f"({self.steps.describe()}) on {self.n_mesh} vertices")


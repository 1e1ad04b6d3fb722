"""`Smooth`: a smooth function of a covariate, a one-dimensional Matérn field by the SPDE.

On K knots k_1 < ... < k_K (equally spaced over the observed values, or given), with h_i =
k_(i+1) - k_i, C the lumped (diagonal) mass, c_i = (h_(i-1) + h_i)/2 (one term at the
ends), and G the stiffness with natural boundaries (G_ii = 1/h_(i-1) + 1/h_i, G_i,i+1 =
-1/h_i), the values at the knots have the precision

    Q = tau² (kappa⁴ C + 2 kappa² G + G C⁻¹ G)  (alpha = 2, so nu = 3/2 in one dimension),

with range rho = sqrt(12)/kappa and sigma² = 1/(4 kappa³ tau²). The function between knots
is their linear interpolation. theta_b = (log range, log sigma), named "<name>_range" (in
the covariate's units) and "<name>_sigma", with the PC priors of a Matérn field in one
dimension: P(range < r0) = p, exponential in range^(-1/2), and P(sigma > s0) = q. By default
r0 is half the knots' span and p = 0.5. The smooth is unconstrained: its proper prior
separates its level from the intercept.
"""

from __future__ import annotations

import math

import numpy as np
from scipy import sparse

from ..field_prior import pc_matern_prior
from ..precision import FieldPrecision
from ..refusals import field_checks
from ..start import FIELD_WIDTHS
from .base import (Context, Effect, NewPoints, Rows, Start, covariate_at, effect_name, exp_start,
                   finite_real, one_per_observation)
from .matern import MaternBlock

__all__ = ["Smooth", "smooth_precision"]

# (log tau, log kappa², phi2) as b0 + b1 log range + b2 log sigma: kappa = sqrt(12)/range,
# tau = 1/(2 kappa^(3/2) sigma).
LOG_12 = math.log(12.0)
B_ROWS = np.array([[-math.log(2.0) - 0.75 * LOG_12, 1.5, -1.0],
                   [LOG_12, -2.0, 0.0],
                   [1.0, 0.0, 0.0]])
# The precision's terms scale as span⁻³: beyond these spans they leave double precision.
SPAN_LIMITS = (1e-80, 1e80)
# The highest frequency's precision grows as (knots / kappa span)⁴ against the lowest's:
# with more knots the factorisation loses the field's smooth part to rounding.
MAX_KNOTS = 1000


def smooth_precision(knots: np.ndarray) -> FieldPrecision:
    """The precision structure on the knots, as a `FieldPrecision` in theta = (log range,
    log sigma)."""
    h = np.diff(knots)
    K = knots.size
    c = np.zeros(K)
    c[:-1] += h / 2.0
    c[1:] += h / 2.0
    inverse = 1.0 / h
    diagonal = np.zeros(K)
    diagonal[:-1] += inverse
    diagonal[1:] += inverse
    G = sparse.diags([-inverse, diagonal, -inverse], [-1, 0, 1], format="csr")
    C = sparse.diags(c, format="csr")
    M2 = (G @ sparse.diags(1.0 / c) @ G).tocsr()
    B = [np.tile(row, (K, 1)) for row in B_ROWS]
    return FieldPrecision(C, G, M2, *B)


def interpolation(knots: np.ndarray, values: np.ndarray) -> sparse.csr_matrix:
    """Rows of linear interpolation between the knots at values within their span."""
    m = values.size
    left = np.clip(np.searchsorted(knots, values, side="right") - 1, 0, knots.size - 2)
    share = (values - knots[left]) / (knots[left + 1] - knots[left])
    rows = np.repeat(np.arange(m), 2)
    cols = np.column_stack([left, left + 1]).ravel()
    data = np.column_stack([1.0 - share, share]).ravel()
    out = sparse.csr_matrix((data, (rows, cols)), shape=(m, knots.size))
    out.eliminate_zeros()
    return out


class Smooth(Effect):
    """A smooth function of a covariate (see the module's note).

    name : the effect's name ("<name>_range", "<name>_sigma").
    values : (n_obs,) the covariate at each observation, finite and not all equal.
    knots : the number of equally spaced knots spanning the values (at least 3), or the
        increasing knots themselves, spanning every value.
    prior_range : (r0, p), P(range < r0) = p; None: half the knots' span and 0.5.
    prior_sigma : (s0, q), P(sigma > s0) = q.
    """

    observed, given_by = "values", "effects"
    kind = "smooth"

    def __init__(self, name: str, values, knots=20, prior_range=None,
                 prior_sigma=(1.0, 0.01)) -> None:
        self.name = effect_name(name)
        what = f"smooth {name!r}: values"
        self.values = finite_real(one_per_observation(values, name, "values"), f"smooth {name!r}",
                                  "values")
        low, high = float(self.values.min()), float(self.values.max())
        if not high > low:
            raise ValueError(f"{what} are all equal ({low:g}): a smooth function of them is not "
                             "identified apart from the intercept")
        if not SPAN_LIMITS[0] <= high - low <= SPAN_LIMITS[1]:
            raise ValueError(f"{what} span {high - low:.3g}, beyond what the field's matrices "
                             f"hold in double precision ({SPAN_LIMITS[0]:g} to {SPAN_LIMITS[1]:g}): "
                             "rescale them (to other units)")
        self.knots = self._knots(knots, low, high)
        span = float(self.knots[-1] - self.knots[0])
        self.prior = pc_matern_prior(prior_range or (0.5 * span, 0.5), prior_sigma, dim=1)
        self.n_values = self.values.size

    def _knots(self, knots, low: float, high: float) -> np.ndarray:
        name = self.name
        if np.ndim(knots) == 0:
            count = knots
            if isinstance(count, (bool, np.bool_)) or not isinstance(count, (int, np.integer)) \
                    or not 3 <= count <= MAX_KNOTS:
                raise ValueError(f"smooth {name!r}: knots must be a whole number from 3 to "
                                 f"{MAX_KNOTS}, or the increasing knots, got {knots!r}")
            return np.linspace(low, high, int(count))
        array = finite_real(knots, f"smooth {name!r}", "knots")
        if array.ndim != 1 or not 3 <= array.size <= MAX_KNOTS or np.any(np.diff(array) <= 0.0):
            raise ValueError(f"smooth {name!r}: knots must be 3 to {MAX_KNOTS} increasing values, "
                             f"got {array!r}")
        outside = (self.values < array[0]) | (self.values > array[-1])
        if outside.any():
            row = int(np.argmax(outside))
            raise ValueError(f"smooth {name!r}: the knots span [{array[0]:g}, {array[-1]:g}], and "
                             f"the value {self.values[row]:g} (row {row}) lies outside")
        return array

    def bind(self, context: Context) -> "SmoothBlock":
        self._check_length(context)
        return SmoothBlock(self, context)


class SmoothBlock(MaternBlock):
    kind = "smooth"
    given_by = "effects"
    slices = 0

    def __init__(self, effect: Smooth, context: Context) -> None:
        self.knots = effect.knots
        super().__init__(effect.name, smooth_precision(effect.knots), effect.prior,
                         interpolation(effect.knots, effect.values), context.backend)
        self.index = effect.knots

    def start(self, start: Start):
        span = float(self.knots[-1] - self.knots[0])
        return exp_start([math.log(0.5 * span), start.log_sigma], FIELD_WIDTHS)

    def resolution_range(self, theta):
        return None

    def prior_checks(self, scales):
        # Its range is in the covariate's units: judged against the knots' span.
        span = float(self.knots[-1] - self.knots[0])
        return field_checks(self.prior, scales, self.owner, extent=span,
                            extent_name="the knots' span")

    def rows_at(self, points: NewPoints) -> Rows:
        values = covariate_at(points, self.name, "smooth effect")
        if values is None:
            return Rows(sparse.csr_matrix((points.m, self.size)))
        outside = (values < self.knots[0]) | (values > self.knots[-1])
        if outside.any():
            row = int(np.argmax(outside))
            raise ValueError(f"effects[{self.name!r}]: the smooth is known within its knots' span "
                             f"[{self.knots[0]:g}, {self.knots[-1]:g}], and the value "
                             f"{values[row]:g} (point {row}) lies outside")
        return Rows(interpolation(self.knots, values))

    def describe(self) -> str:
        return f"smooth on {self.size} knots over [{self.knots[0]:.4g}, {self.knots[-1]:.4g}]"

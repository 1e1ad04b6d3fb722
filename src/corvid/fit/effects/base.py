"""What every model component ("effect") is to the fitting code: a block of the latent vector.

An effect has two faces. The user declares it by what they know (`SpaceTime(time)`,
`Group("vessel", labels)`, `Smooth("depth", values)`, `Varying("temperature", values)`),
and its data are checked then. `fit` binds it to the model's mesh and the data
(`Effect.bind(context)`), which gives a `Block`: the one object the fitting code asks, and
never about its kind. A block holds

- `size` latent values, with the prior precision Q(theta_b) = sum_k c_k(theta_b) M_k: fixed
  sparse `terms` M_k (block-local), `coefficients(theta_b)` and their derivatives
  `coefficient_gradient(theta_b)` (one row per entry of theta_b);
- log |Q(theta_b)| and its gradient, each kind by its own structure (`logdet`,
  `logdet_gradient`);
- its hyperparameters' names, log prior, starting values and bounds, and how each is
  reported (`natural`: the value and its derivative in theta, e.g. exp, or rho itself);
- its rows of the observation matrix at the data (`rows`, n_obs x size) and at new points
  (`rows_at`, from a `NewPoints`), with the points whose value is new to the fit (a group
  label it has not seen: mean 0 and the block's `unseen_variance`);
- how its posterior is shown (`shape`, `index`) and, for blocks laid on the mesh, how many
  mesh-shaped `slices` it has (each indexed like the mesh's vertices): one point's row
  touches the three vertices of one triangle in at most one slice of such a block, and
  the fit keeps the posterior covariances of every such pair across blocks (see
  `corvid.fit.assemble`). Blocks without slices are "compact" (a value per label or per
  knot): the fit keeps their covariance with every latent value.
"""

from __future__ import annotations

import copy
import dataclasses
from typing import Any, Mapping, Optional, Sequence, Tuple

import numpy as np
from scipy import sparse

from ..field_prior import pc_matern_prior

__all__ = ["Block", "Context", "Effect", "EffectPosterior", "NewPoints", "Rows", "Start",
           "covariate_at", "effect_name", "one_per_observation", "per_point"]


@dataclasses.dataclass(frozen=True)
class Context:
    """What an effect is bound to: the model's mesh and its field's precision structure
    (a `FieldPrecision`), the model's field priors ((r0, p) and (s0, q) pairs), the basis
    of the mesh at the observations' locations (n_obs x mesh.n, CSR) and the Cholesky
    backend."""

    mesh: Any
    field: Any
    prior_range: Tuple[float, float]
    prior_sigma: Tuple[float, float]
    basis: sparse.csr_matrix
    backend: Optional[str] = None

    @property
    def n_obs(self) -> int:
        return self.basis.shape[0]

    def field_prior(self, prior_range, prior_sigma):
        """The PC prior of a field on the mesh: the pairs given, or the model's."""
        return pc_matern_prior(prior_range or self.prior_range, prior_sigma or self.prior_sigma)


@dataclasses.dataclass(frozen=True)
class Start:
    """Starting values from the data: the log range and log sd of a spatial field (a field
    alone would take these) on the linear predictor's scale; the working response's
    residuals beside the fixed effects (n_obs,) and the observations' locations (n_obs, 2),
    for what an effect reads off the data itself."""

    log_range: float
    log_sigma: float
    residual: Optional[np.ndarray] = None
    loc: Optional[np.ndarray] = None


@dataclasses.dataclass(frozen=True)
class NewPoints:
    """Where to predict: the mesh's basis at the points (m x mesh.n, CSR; empty rows
    outside the mesh), the time of each point (m,) or None, {effect name: labels or values
    per point, (m,)}, and the effects to leave out (a map's, without their covariate)."""

    basis: sparse.csr_matrix
    time: Optional[np.ndarray] = None
    effects: Mapping[str, np.ndarray] = dataclasses.field(default_factory=dict)
    leave_out: frozenset = frozenset()

    @property
    def m(self) -> int:
        return self.basis.shape[0]

    def subset(self, rows: np.ndarray) -> "NewPoints":
        return NewPoints(self.basis[rows], None if self.time is None else self.time[rows],
                         {k: v[rows] for k, v in self.effects.items()}, self.leave_out)


def per_point(values, m: int, what: str) -> np.ndarray:
    """Values for m points: one for all, or one per point."""
    array = np.asarray(values)
    if array.ndim == 0:
        return np.full(m, array.item(), dtype=array.dtype if array.dtype.kind != "U" else object)
    if array.shape != (m,):
        raise ValueError(f"{what} must be one value or one per point ({m}), got shape {array.shape}")
    return array


@dataclasses.dataclass(frozen=True)
class Rows:
    """A block's rows at new points (m x size, CSR), and the points whose value the fit has
    not seen (None when there are none)."""

    matrix: sparse.csr_matrix
    unseen: Optional[np.ndarray] = None


@dataclasses.dataclass(frozen=True)
class EffectPosterior:
    """An effect's posterior, mixed over the design points: `mean`, `sd` and (for the
    non-Gaussian families, where it differs from the mean) `mode` at the central theta,
    each of the effect's shape; `index` says what each entry along the first axis is (the
    time steps, the group labels, the knots; None for a field on the mesh's vertices)."""

    name: str
    kind: str
    mean: np.ndarray
    sd: np.ndarray
    mode: Optional[np.ndarray]
    index: Optional[np.ndarray]

    def __repr__(self) -> str:
        return (f"EffectPosterior({self.name!r}, {self.kind}, shape {self.mean.shape}"
                + ("" if self.index is None else f", {len(self.index)} entries") + ")")


def effect_name(name) -> str:
    """An effect's name, checked: it names the effect's hyperparameters ("<name>_sd") and
    its entries of `effects=` in predictions."""
    if not isinstance(name, str) or not name.strip() or name != name.strip() \
            or not name.isprintable():     # a line break would break the summary's table
        raise ValueError(f"an effect's name must be a non-empty printable string without "
                         f"surrounding spaces, got {name!r}")
    return name


def covariate_at(points: NewPoints, name: str, what: str) -> Optional[np.ndarray]:
    """The covariate of the effect `name` (a `what`, for messages) at new points, checked;
    None where the points leave the effect out (a map without its covariate)."""
    if name not in points.effects:
        if name in points.leave_out:
            return None
        raise ValueError(f"this fit has the {what} {name!r}: give its covariate at the new "
                         f"points, effects={{{name!r}: values}}")
    return finite_real(points.effects[name], f"effects[{name!r}]", "values")


def one_per_observation(values, name: str, what: str) -> np.ndarray:
    """A one-dimensional array of an effect's values per observation."""
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{name}: {what} must be one-dimensional, one per observation, got "
                         f"shape {array.shape}")
    if array.size == 0:
        raise ValueError(f"{name}: {what} are empty")
    return array


class Effect:
    """A model component as the user declares it; `bind` gives its `Block`."""

    name: str
    kind: str          # in words, for summaries
    n_values: int      # observations its data cover
    observed: str      # the attribute holding its value per observation
    given_by: str      # how predictions take those values: "time" or "effects"

    def bind(self, context: Context) -> "Block":
        raise NotImplementedError

    def subset(self, rows: np.ndarray) -> "Effect":
        """The effect of some observations (an index array), all else kept as it is: a
        group's labels, a space-time effect's steps, a smooth's knots (as cross-validation
        needs: the held-out rows stay within them)."""
        out = copy.copy(self)
        setattr(out, self.observed, np.asarray(getattr(self, self.observed))[rows])
        out.n_values = len(rows)
        return out

    def _check_length(self, context: Context) -> None:
        if self.n_values != context.n_obs:
            raise ValueError(f"effect {self.name!r}: {self.n_values} values for {context.n_obs} "
                             "observations; give one per observation")


class Block:
    """An effect bound to the mesh and the data: see the module's note."""

    name: str
    kind: str
    size: int
    theta_names: Tuple[str, ...]
    terms: Sequence[sparse.spmatrix]
    rows: sparse.csr_matrix
    slices: int = 0                       # mesh-shaped slices; 0 for a compact block
    shape: Tuple[int, ...]
    index: Optional[np.ndarray] = None
    # What its rows at new points read besides the basis: "time" (NewPoints.time),
    # "effects" (NewPoints.effects[name]) or None.
    given_by: Optional[str] = None
    optional: bool = False                # leaving it out at a point means something (a group)

    # ---- the prior --------------------------------------------------------------------------

    def coefficients(self, theta: np.ndarray) -> np.ndarray:
        """(c_k), one per term."""
        raise NotImplementedError

    def coefficient_gradient(self, theta: np.ndarray) -> np.ndarray:
        """d c_k / d theta_j, shape (len(theta), terms)."""
        raise NotImplementedError

    def logdet(self, theta: np.ndarray) -> Tuple[float, Any]:
        """(log |Q(theta)|, what its gradient needs)."""
        raise NotImplementedError

    def logdet_gradient(self, theta: np.ndarray, token: Any) -> np.ndarray:
        """d log |Q| / d theta, from what `logdet` gave."""
        raise NotImplementedError

    def log_prior(self, theta: np.ndarray) -> Tuple[float, np.ndarray]:
        """(log density of theta_b, its gradient), Jacobians included."""
        raise NotImplementedError

    def start(self, start: Start) -> Tuple[np.ndarray, np.ndarray]:
        """(theta0, bounds (len, 2)) for the hyperparameters' search."""
        raise NotImplementedError

    def natural(self, theta: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        """The hyperparameters as reported, and their derivatives in theta: exp(theta)
        unless a kind says otherwise."""
        values = np.exp(np.asarray(theta, dtype=np.float64))
        return values, values.copy()

    def natural_map(self, k: int):
        """The map of theta_b's entry k to its reported units, a function of an array (its
        marginal posterior is mapped by it), or None for exp."""
        return None

    def prior_checks(self, scales) -> list:
        """Its priors' medians with what they are judged against, before a fit
        (`corvid.fit.refusals.PriorCheck`s, given the `refusals.Scales`)."""
        return []

    def release(self) -> None:
        """Lets go of cached factors (a fit keeps its blocks, not their factors)."""

    # ---- rows --------------------------------------------------------------------------------

    def rows_at(self, points: NewPoints) -> Rows:
        raise NotImplementedError

    def unseen_variance(self, theta: np.ndarray) -> float:
        """The prior variance of a value the fit has not seen (a new group's)."""
        return 0.0

    def resolution_range(self, theta: np.ndarray) -> Optional[float]:
        """The range of a field on the mesh, which the mesh must resolve; None otherwise."""
        return None

    @property
    def owner(self) -> str:
        """Its name in messages about its priors: "" for the static field."""
        return f"effect {self.name!r}" if self.name else ""

    def describe(self) -> str:
        """A few words for the summary."""
        return f"{self.kind}, {self.size} values"

    def theta_words(self) -> Tuple[str, ...]:
        """What each entry of theta_b is, for messages."""
        return tuple(f"log {name}" for name in self.theta_names)


def exp_start(values: Sequence[float], widths: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    theta0 = np.asarray(values, dtype=np.float64)
    return theta0, theta0[:, None] + widths


def prefixed(name: str, suffixes: Sequence[str]) -> Tuple[str, ...]:
    return tuple(f"{name}_{s}" if name else s for s in suffixes)


def finite_real(values, name: str, what: str) -> np.ndarray:
    array = np.asarray(values)
    if array.dtype.kind not in "biuf":
        raise ValueError(f"{name}: {what} must be real numbers, got dtype {array.dtype}")
    array = array.astype(np.float64)
    bad = ~np.isfinite(array)
    if bad.any():
        rows = np.flatnonzero(bad)
        raise ValueError(f"{name}: {what} must be finite, and are not in {rows.size} row(s) "
                         f"(the first {', '.join(map(str, rows[:5]))})")
    return array


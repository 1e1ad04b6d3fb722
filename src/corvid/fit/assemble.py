"""Assembling one latent model from what the user gives: the family, the data, the static
field (`spatial=True`), the effects and the fixed effects. Every check of the data and of
the effects happens here, before any fitting.

The result, an `Assembled` model, holds the `LatentStructure` (blocks, theta's layout,
observation matrix), the `LatentModel` that evaluates it at any theta (exactly for the
Gaussian family, by the Laplace approximation otherwise), the hyperparameters' starting
values and the names shown in reports. A fit keeps it: `LatentFit._latent_at(theta)`
re-creates the posterior at a design point from it.
"""

from __future__ import annotations

import dataclasses
from typing import Optional, Sequence

import numpy as np

from .effects.base import Context, Effect, Start
from .effects.matern import FieldBlock
from .effects.spacetime import SpaceTime
from .families import Family, FamilyData
from .field_prior import pc_matern_prior
from .laplace import LaplaceModel
from .latent import ExactModel, LatentModel, mesh_edges
from .observations import Observations, observations, response_values
from .precision import FieldPrecision
from .priors import fixed_effect_prior_sd
from .start import gaussian_start, link_scale_start, working_residuals
from .structure import LatentStructure

__all__ = ["Assembled", "assemble", "listed_effects"]

PROGRESS_NAMES = {"noise_sd": "noise sd"}


@dataclasses.dataclass
class Assembled:
    """A latent model ready to fit (see the module's note)."""

    family: Family
    family_data: FamilyData
    data: Observations
    structure: LatentStructure
    latent: LatentModel
    fixed_prior_sd: np.ndarray
    theta0: np.ndarray
    bounds: np.ndarray
    start_fixed: Optional[np.ndarray]
    intercept: bool

    @property
    def label(self) -> str:
        """The fit's name in warnings."""
        return "fit_gaussian" if self.family.exact else f"fit ({self.family.name})"

    @property
    def shown(self) -> tuple:
        """theta's names in progress reports."""
        return tuple(PROGRESS_NAMES.get(name, name) for name in self.structure.theta_names)

    @property
    def theta_words(self) -> tuple:
        """What each entry of theta is, for messages."""
        words = [""] * self.structure.n_theta
        for b, block in enumerate(self.structure.blocks):
            for k, word in zip(self.structure.theta_index[b], block.theta_words()):
                words[k] = word
        for k in self.structure.family_index:
            words[k] = f"log {self.shown[k]}"
        return tuple(words)


def listed_effects(effects) -> list:
    """The effects as a list, each an `Effect`, their names unique."""
    if effects is None:
        return []
    if isinstance(effects, Effect):
        effects = [effects]
    try:
        items = list(effects)
    except TypeError:
        raise ValueError(f"effects must be a list of effects (SpaceTime, Group, Smooth, "
                         f"Varying), got {type(effects).__name__}") from None
    for item in items:
        if not isinstance(item, Effect):
            raise ValueError(f"effects must be a list of effects (SpaceTime, Group, Smooth, "
                             f"Varying); one is a {type(item).__name__}")
    seen: set = set()
    for item in items:
        if item.name in seen:
            raise ValueError(f"two effects are named {item.name!r}: give each its own name")
        seen.add(item.name)
    _shared_steps([item for item in items if isinstance(item, SpaceTime)])
    return items


def _shared_steps(fields: list) -> None:
    """Space-time fields share their steps: one time= places every point in all of them
    when predicting and mapping."""
    for other in fields[1:]:
        first = fields[0]
        if first.steps.kind != other.steps.kind or not np.array_equal(first.steps.values,
                                                                      other.steps.values):
            raise ValueError(f"space-time effects {first.name!r} and {other.name!r} have different "
                             f"steps ({first.steps.describe()}; {other.steps.describe()}): one time= "
                             f"serves them all when predicting, so give them the same times=")


def _unique_theta_names(structure: LatentStructure) -> None:
    names = structure.theta_names
    twice = sorted({name for name in names if names.count(name) > 1})
    if twice:
        raise ValueError(f"the hyperparameter name(s) {', '.join(map(repr, twice))} would be "
                         "used twice: rename the effect(s) that make them")


def assemble(model, loc, y, *, family: Family, covariates=None, intercept: bool = True,
             exposure=None, trials=None, prior_fixed=None, spatial: bool = True,
             effects: Optional[Sequence[Effect]] = None, mean_correction: bool = True,
             backend: Optional[str] = None) -> Assembled:
    """The latent model of `fit`'s arguments; ValueError for any input it cannot take."""
    values = response_values(y)
    family_data = family.data(values, exposure, trials)
    data = observations(model.mesh, loc, values, covariates, intercept)
    loc = np.asarray(loc, dtype=np.float64)
    declared = listed_effects(effects)
    if not isinstance(spatial, (bool, np.bool_)):
        raise ValueError(f"spatial must be True or False, got {spatial!r}")
    if not spatial and not declared:
        raise ValueError("spatial=False leaves a model without latent effects: give effects=[...] "
                         "or keep the spatial field")
    prior_sd = fixed_effect_prior_sd(data, intercept, family.exact, prior_fixed)
    field = FieldPrecision.of_model(model)
    context = Context(model.mesh, field, tuple(model.prior_range), tuple(model.prior_sigma),
                      data.A, backend)
    blocks = [FieldBlock(field, pc_matern_prior(model.prior_range, model.prior_sigma), data.A,
                         backend)] if spatial else []
    blocks += [effect.bind(context) for effect in declared]
    structure = LatentStructure(
        blocks=blocks, family=family, X=data.X, fixed_names=list(data.names),
        fixed_precision=1.0 / np.asarray(prior_sd, dtype=np.float64) ** 2, n_mesh=field.n,
        edges=mesh_edges(model.mesh.tv, model.mesh.n), field=0 if spatial else None)
    _unique_theta_names(structure)

    start_fixed = None
    if family.exact:
        first, first_bounds = gaussian_start(data, loc)
        latent: LatentModel = ExactModel(structure, data.y, backend)
    else:
        first, first_bounds, start_fixed = link_scale_start(family, family_data, data, loc)
        latent = LaplaceModel(structure, family_data, backend, start_fixed=start_fixed,
                              mean_correction=mean_correction)
    theta0 = np.zeros(structure.n_theta)
    bounds = np.zeros((structure.n_theta, 2))
    theta0[structure.family_index], bounds[structure.family_index] = first[2:], first_bounds[2:]
    start = Start(float(first[0]), float(first[1]), working_residuals(family, family_data, data.X), loc)
    for b, block in enumerate(blocks):
        theta0[structure.theta_index[b]], bounds[structure.theta_index[b]] = block.start(start)
    return Assembled(family, family_data, data, structure, latent, prior_sd, theta0, bounds,
                     start_fixed, intercept)

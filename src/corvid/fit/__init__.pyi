"""Fitting latent Gaussian models with the field model, without the engine."""

import os
from dataclasses import dataclass
from typing import Any, Callable, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike
from scipy import sparse

from ..meshkin.gfield import GFIELD2PcMatern
from ..meshkin.mesh import MkMesh

__all__ = ["fit", "fit_gaussian", "LatentFit", "GaussianFit", "Hyperparameter", "FitProgress",
           "ConvergenceWarning", "ResolutionWarning", "DegreesWarning", "precision_from_files",
           "SpaceTime", "Group", "Smooth", "Varying", "EffectPosterior", "cross_validate",
           "PosteriorSamples"]

from .effects import EffectPosterior as EffectPosterior
from .effects import Group as Group
from .effects import Smooth as Smooth
from .effects import SpaceTime as SpaceTime
from .effects import Varying as Varying
from .posterior import PosteriorMethods
from .posterior.cross_validation import cross_validate as cross_validate
from .posterior.samples import PosteriorSamples as PosteriorSamples

class ConvergenceWarning(UserWarning): ...
class ResolutionWarning(UserWarning): ...
class DegreesWarning(UserWarning): ...

@dataclass(frozen=True)
class FitProgress:
    stage: str
    step: int
    theta: np.ndarray
    log_posterior: float
    gradient_norm: float
    seconds: float
    names: Tuple[str, ...] = ("range", "sigma", "noise sd")
    values: Optional[Tuple[float, ...]] = None
    def line(self) -> str: ...

class Hyperparameter(NamedTuple):
    estimate: float
    std_error: float
    lower: float
    upper: float

class LatentFit(PosteriorMethods):
    mesh: MkMesh
    family: str
    link: str
    intercept: bool
    n_obs: int
    fixed_names: list[str]
    fixed_prior_sd: np.ndarray
    theta: np.ndarray
    theta_cov: np.ndarray
    theta_scales: Optional[np.ndarray]
    theta_given: bool
    hyperparameters: dict[str, Hyperparameter]
    field_mean: Optional[np.ndarray]
    field_sd: Optional[np.ndarray]
    field_mode: Optional[np.ndarray]
    effects: dict[str, EffectPosterior]
    times: Optional[np.ndarray]
    fixed_mean: np.ndarray
    fixed_sd: np.ndarray
    fixed_cov: np.ndarray
    fixed_mode: np.ndarray
    log_marginal_likelihood: float
    log_posterior: float
    converged: bool
    n_evaluations: int
    seconds: float
    backend: str
    integrated: bool
    design_theta: np.ndarray
    design_weights: np.ndarray
    @property
    def crs(self) -> Any: ...
    def maps(
        self,
        dims: Tuple[int, int] = (100, 100),
        xlim: Optional[Tuple[float, float]] = None,
        ylim: Optional[Tuple[float, float]] = None,
        *,
        covariates: Optional[Any] = None,
        scale: Optional[str] = None,
        chunks: Optional[Tuple[int, int]] = None,
        time: Optional[Any] = None,
        exceedance: Optional[float] = None,
        exceedance_scale: Optional[str] = None,
    ) -> Any: ...
    def to_geotiff(self, path: Union[str, os.PathLike], **maps_arguments: Any) -> str: ...
    def __init__(
        self,
        *,
        mesh: MkMesh,
        latent: Any,
        intercept: bool,
        fixed_prior_sd: np.ndarray,
        theta: np.ndarray,
        theta_cov: np.ndarray,
        log_posterior: float,
        conditionals: Sequence[Any],
        weights: np.ndarray,
        converged: bool,
        n_evaluations: int,
        seconds: float,
        backend: str,
        integrated: bool,
        theta_scales: Optional[np.ndarray] = None,
        theta_given: bool = False,
    ) -> None: ...
    def predict(
        self,
        loc: ArrayLike,
        covariates: Optional[ArrayLike] = None,
        *,
        time: Optional[Any] = None,
        effects: Optional[Mapping[str, Any]] = None,
        exposure: Optional[ArrayLike] = None,
        trials: Optional[ArrayLike] = None,
        scale: str = "link",
    ) -> Tuple[np.ndarray, np.ndarray]: ...
    def grid(
        self,
        dims: Tuple[int, int] = (100, 100),
        xlim: Optional[Tuple[float, float]] = None,
        ylim: Optional[Tuple[float, float]] = None,
        *,
        scale: str = "link",
        time: Optional[Any] = None,
    ) -> Tuple[np.ma.MaskedArray, np.ma.MaskedArray]: ...
    def summary(self) -> str: ...

class GaussianFit(LatentFit): ...

def fit(
    model: GFIELD2PcMatern,
    loc: ArrayLike,
    y: ArrayLike,
    *,
    family: Any = "gaussian",
    covariates: Optional[ArrayLike] = None,
    intercept: bool = True,
    exposure: Optional[ArrayLike] = None,
    trials: Optional[ArrayLike] = None,
    prior_noise: Tuple[float, float] = (1.0, 0.01),
    prior_dispersion: Tuple[float, float] = (1.0, 0.01),
    prior_fixed: Union[None, float, Sequence[float], np.ndarray] = None,
    theta: Optional[Sequence[float]] = None,
    integrate: bool = False,
    progress: Union[None, bool, Callable[[FitProgress], None]] = None,
    mean_correction: bool = True,
    spatial: bool = True,
    effects: Optional[Sequence[Any]] = None,
    theta_start: Optional[Sequence[float]] = None,
) -> LatentFit: ...
def fit_gaussian(
    model: GFIELD2PcMatern,
    loc: ArrayLike,
    y: ArrayLike,
    *,
    covariates: Optional[ArrayLike] = None,
    intercept: bool = True,
    prior_noise: Tuple[float, float] = (1.0, 0.01),
    prior_fixed: Union[None, float, Sequence[float], np.ndarray] = None,
    theta: Optional[Sequence[float]] = None,
    integrate: bool = False,
    progress: Union[None, bool, Callable[[FitProgress], None]] = None,
) -> GaussianFit: ...
def precision_from_files(
    prefix: Union[str, os.PathLike], theta: Union[Sequence[float], np.ndarray]
) -> sparse.csr_matrix: ...

"""Fitting latent Gaussian models with the field model, without the engine.

`fit(model, loc, y, family=...)` fits the field of a `GFIELD2PcMatern` model plus effects
(`SpaceTime`, `Group`, `Smooth`, `Varying`) and fixed effects to Gaussian, Poisson,
binomial, negative binomial or gamma observations: the
hyperparameters at their posterior mode (or integrated over), the field and the fixed
effects given them, exactly for Gaussian data and by the Laplace approximation otherwise.
It returns a `LatentFit` with the estimates, a summary table, and predictions at new
locations and on a grid, on the link or the response scale; joint posterior samples,
exceedance probabilities, area indices and model checks (see `corvid.fit.posterior`);
`cross_validate` scores a model by refits without folds of the data. `fit_gaussian` is
the Gaussian case, returning a `GaussianFit`. `precision_from_files` assembles the field's precision
from the model files.
"""

from .effects import EffectPosterior, Group, Smooth, SpaceTime, Varying
from .fitting import DegreesWarning, fit
from .gaussian import fit_gaussian
from .mode import ConvergenceWarning, FitProgress
from .posterior.cross_validation import cross_validate
from .posterior.samples import PosteriorSamples
from .precision import precision_from_files
from .resolution import ResolutionWarning
from .result import GaussianFit, Hyperparameter, LatentFit

__all__ = ["fit", "fit_gaussian", "LatentFit", "GaussianFit", "Hyperparameter", "FitProgress",
           "ConvergenceWarning", "ResolutionWarning", "DegreesWarning", "precision_from_files",
           "SpaceTime", "Group", "Smooth", "Varying", "EffectPosterior", "cross_validate",
           "PosteriorSamples"]

"""Fitting Gaussian data with the field model, without the engine.

`fit_gaussian(model, loc, y, ...)` fits the field of a `GFIELD2PcMatern` model observed with
Gaussian noise, plus fixed effects: the hyperparameters at their posterior mode (or
integrated over), the field and the fixed effects exactly given them. It returns a
`GaussianFit` with the estimates, a summary table, and predictions at new locations and on
a grid. `precision_from_files` assembles the field's precision from the model files.
"""

from .gaussian import fit_gaussian
from .mode import ConvergenceWarning, FitProgress
from .precision import precision_from_files
from .result import GaussianFit, Hyperparameter

__all__ = ["fit_gaussian", "GaussianFit", "Hyperparameter", "FitProgress", "ConvergenceWarning",
           "precision_from_files"]

"""What users do with a fit: joint posterior samples, exceedance probabilities, area and
time indices, model checks (CPO, PIT, scores, residuals), cross-validation and ArviZ.

The fit's methods (`LatentFit.sample`, `exceedance`, `index`, `checks`, `residuals`,
`to_arviz`) come from `PosteriorMethods`; `corvid.fit.cross_validate` refits by folds.
"""

from .methods import PosteriorMethods
from .samples import PosteriorSamples

__all__ = ["PosteriorMethods", "PosteriorSamples"]

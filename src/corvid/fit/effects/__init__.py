"""Model components ("effects") for `corvid.fit.fit`, each one object holding its precision
block, rows, priors, names, starting values and data checks (see `effects.base`):

- `SpaceTime(time, kind="ar1")`: a field per time step ("iid", "ar1" or "rw" in time);
- `Group(name, labels)`: an iid intercept per label;
- `Smooth(name, values)`: a smooth function of a covariate (a 1-d Matérn field);
- `Varying(name, values)`: a spatially varying coefficient of a covariate.
"""

from .base import Block, Effect, EffectPosterior
from .group import Group
from .smooth import Smooth
from .spacetime import SpaceTime
from .varying import Varying

__all__ = ["SpaceTime", "Group", "Smooth", "Varying", "Effect", "EffectPosterior", "Block"]

"""Integration over the hyperparameters: the posteriors given theta at the points of a
central composite design around the mode, and their weights (see `corvid.fit.design`);
and each hyperparameter's marginal posterior, measured along its ridge (see
`corvid.fit.marginals`)."""

from __future__ import annotations

import time
from typing import Optional, Sequence

import numpy as np

from . import factor
from .design import MAX_DIMENSION, central_composite, design_weights
from .latent import Conditional
from .marginals import ridge_scales
from .mode import FitProgress, LogPosterior, Reporter
from .theta_mode import ThetaPosterior, principal_root

__all__ = ["over_design", "check_dimension", "marginal_scales"]


def check_dimension(names: Sequence[str]) -> None:
    """Refuses more hyperparameters than the design supports, before any fitting."""
    if len(names) > MAX_DIMENSION:
        raise ValueError(f"integrate=True supports up to {MAX_DIMENSION} hyperparameters (the "
                         f"central composite design); this model has {len(names)} "
                         f"({', '.join(names)}): fit without integrate, or with fewer effects")


def over_design(posterior: LogPosterior, centre: ThetaPosterior, reporter: Optional[Reporter],
                started: float, shown: Sequence[str]
                ) -> tuple[list[Conditional], np.ndarray]:
    """(the posteriors given theta at the design points, their weights). Points too far
    out to factor are left out; the expansion's slope (if any) tilts the weights."""
    d = centre.theta.size
    z, w = central_composite(d)
    root = principal_root(centre.cov)
    conditionals, values, kept = [centre.centre], [centre.log_posterior], [0]
    for index, point in enumerate(z[1:], start=1):
        try:
            value, ev = posterior(centre.theta + root @ point, gradient=False, keep=True)
        except factor.NotPositiveDefiniteError:
            continue  # too far out to matter: left out of the design
        assert ev.conditional is not None
        conditionals.append(ev.conditional)
        values.append(value + float(centre.slope @ point))   # with the tilt
        kept.append(index)
        if reporter:
            reporter(FitProgress("integrate", index, ev.theta, value, float("nan"),
                                 time.perf_counter() - started, tuple(shown),
                                 posterior.shown(ev.theta)))
    return conditionals, design_weights(z[kept], w[kept], np.array(values))


def marginal_scales(posterior: LogPosterior, centre: ThetaPosterior,
                    reporter: Optional[Reporter], started: float,
                    shown: Sequence[str]) -> np.ndarray:
    """(d, 2, 3): each hyperparameter's marginal scale along its ridge, each side (see
    `corvid.fit.marginals`), measured on the log posterior tilted as the design is."""
    root = principal_root(centre.cov)
    tilt = np.linalg.solve(root.T, centre.slope)     # slope · z's gradient in theta

    def evaluate(offset: np.ndarray) -> float:
        value, ev = posterior(centre.theta + offset, gradient=False)
        if reporter:
            reporter(FitProgress("marginals", posterior.evaluations, ev.theta, value,
                                 float("nan"), time.perf_counter() - started, tuple(shown),
                                 posterior.shown(ev.theta)))
        return value + float(tilt @ offset) - centre.log_posterior

    return ridge_scales(evaluate, centre.cov)

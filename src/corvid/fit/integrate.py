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
    results = posterior.at_all([centre.theta + root @ point for point in z[1:]],
                               gradient=False, keep=True)
    for index, (point, result) in enumerate(zip(z[1:], results), start=1):
        if isinstance(result, factor.NotPositiveDefiniteError):
            continue  # too far out to matter: left out of the design
        value, ev = result
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
                    shown: Sequence[str], scatter: bool) -> np.ndarray:
    """(d, 2, 3): each hyperparameter's marginal scale along its ridge, each side (see
    `corvid.fit.marginals`), measured on the log posterior tilted as the design is;
    `scatter`: theta holds the scale of a continuous response's scatter."""
    root = principal_root(centre.cov)
    tilt = np.linalg.solve(root.T, centre.slope)     # slope · z's gradient in theta

    def evaluate_all(offsets: list[np.ndarray]) -> list[Optional[float]]:
        first = posterior.evaluations
        out: list[Optional[float]] = []
        for k, (offset, result) in enumerate(
                zip(offsets, posterior.at_all([centre.theta + o for o in offsets], gradient=False))):
            if isinstance(result, factor.NotPositiveDefiniteError):
                out.append(None)
                continue
            value, ev = result
            if reporter:
                reporter(FitProgress("marginals", first + k + 1, ev.theta, value,
                                     float("nan"), time.perf_counter() - started, tuple(shown),
                                     posterior.shown(ev.theta)))
            out.append(value + float(tilt @ offset) - centre.log_posterior)
        return out

    return ridge_scales(None, centre.cov, evaluate_all, scatter=scatter)

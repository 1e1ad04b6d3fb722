"""The hyperparameters' posterior mode and the Hessian there.

The log posterior is the exact log marginal likelihood plus the log priors. L-BFGS-B with
the analytic gradient climbs to the mode inside a wide box (which keeps the trial steps of
the line search away from values where the matrices overflow); the Hessian comes from
central differences of the analytic gradient, and a few Newton steps with it polish the mode.
A fit that ends off the mode, on the box, or with a Hessian that is not negative definite
says so with a ConvergenceWarning.
"""

from __future__ import annotations

import dataclasses
import sys
import time
import warnings
from typing import Callable, Optional, TextIO, Union

import numpy as np
from scipy import optimize

from .factor import NotPositiveDefiniteError
from .latent import Evaluation, LatentGaussian

__all__ = ["ConvergenceWarning", "FitProgress", "LogPosterior", "Mode", "find_mode",
           "progress_reporter"]

NAMES = ("range", "sigma", "noise sd")
HESSIAN_STEP = 1e-3     # in theta, far below any posterior sd that the data can give
MODE_TOLERANCE = 1e-2   # Newton step to the mode, in posterior standard deviations
MAX_ITERATIONS = 200    # of L-BFGS-B
NEWTON_STEPS = 5        # at most, after it


class ConvergenceWarning(UserWarning):
    """The optimiser did not reach a well-defined posterior mode."""


@dataclasses.dataclass(frozen=True)
class FitProgress:
    """One report of `fit_gaussian`'s progress. stage: "optimise" (one per optimiser step),
    "hessian", "integrate" (one per design point) or "done"; theta = (log range, log sigma,
    log noise sd); seconds since the fit started."""

    stage: str
    step: int
    theta: np.ndarray
    log_posterior: float
    gradient_norm: float
    seconds: float

    def line(self) -> str:
        values = "  ".join(f"{name} {value:.5g}" for name, value in zip(NAMES, np.exp(self.theta)))
        gradient = "" if np.isnan(self.gradient_norm) else f"  |gradient| {self.gradient_norm:.3g}"
        return (f"fit {self.stage:>9} {self.step:3d}:  {values}  log posterior "
                f"{self.log_posterior:.6f}{gradient}  ({self.seconds:.1f} s)")


Reporter = Callable[[FitProgress], None]


def progress_reporter(progress: Union[None, bool, Reporter],
                      stream: Optional[TextIO] = None) -> Optional[Reporter]:
    """None, a callable taking FitProgress, or True for a line per report on stderr."""
    if progress is None or progress is False:
        return None
    if progress is True:
        def write(report: FitProgress) -> None:
            print(report.line(), file=stream or sys.stderr, flush=True)
        return write
    if not callable(progress):
        raise TypeError(f"progress must be None, True or a callable, got {type(progress).__name__}")
    return progress


class LogPosterior:
    """log p(y | theta) + log pi(theta): the field's prior from the model's `log_prior`, the
    noise sd's exponential PC prior with `noise_rate`, on the log scale (with its Jacobian)."""

    def __init__(self, latent: LatentGaussian, field_log_prior: Callable, noise_rate: float) -> None:
        self.latent = latent
        self.field_log_prior = field_log_prior
        self.noise_rate = noise_rate
        self.evaluations = 0

    def log_prior(self, theta: np.ndarray) -> tuple[float, np.ndarray]:
        rate, t2 = self.noise_rate, float(theta[2])
        value = float(self.field_log_prior(theta[:2])) + np.log(rate) - rate * np.exp(t2) + t2
        # The model's prior is a smooth closed form: central differences are exact to ~1e-10.
        h = 1e-6
        steps = np.eye(2) * h
        field = [(float(self.field_log_prior(theta[:2] + s)) -
                  float(self.field_log_prior(theta[:2] - s))) / (2 * h) for s in steps]
        return value, np.array([field[0], field[1], 1.0 - rate * np.exp(t2)])

    def __call__(self, theta, *, gradient: bool = True, keep: bool = False) -> tuple[float, Evaluation]:
        """(log posterior, the evaluation with the gradient of the log posterior)."""
        theta = np.asarray(theta, dtype=np.float64)
        self.evaluations += 1
        ev = self.latent.evaluate(theta, gradient=gradient, keep=keep)
        prior, d_prior = self.log_prior(theta)
        if ev.gradient is not None:
            ev.gradient = ev.gradient + d_prior
        return ev.log_likelihood + prior, ev


@dataclasses.dataclass
class Mode:
    theta: np.ndarray
    log_posterior: float
    evaluation: Evaluation
    hessian: np.ndarray   # of the log posterior
    converged: bool
    message: str
    steps: int


def _hessian(posterior: LogPosterior, theta: np.ndarray, report: Callable[[str, int, float], None],
             value: float) -> np.ndarray:
    columns = []
    for j in range(theta.size):
        step = np.eye(theta.size)[j] * HESSIAN_STEP
        _, up = posterior(theta + step)
        _, down = posterior(theta - step)
        assert up.gradient is not None and down.gradient is not None
        columns.append((up.gradient - down.gradient) / (2 * HESSIAN_STEP))
        report("hessian", j + 1, value)
    H = np.column_stack(columns)
    return 0.5 * (H + H.T)


def find_mode(posterior: LogPosterior, theta0: np.ndarray, bounds: np.ndarray,
              reporter: Optional[Reporter], started: float) -> Mode:
    """The posterior mode from theta0 within bounds ((3, 2): lower, upper)."""
    last: dict = {}

    def report(stage: str, step: int, value: float, gradient: Optional[np.ndarray] = None,
               theta: Optional[np.ndarray] = None) -> None:
        if reporter:
            norm = float(np.linalg.norm(gradient)) if gradient is not None else float("nan")
            reporter(FitProgress(stage, step, np.array(last["theta"] if theta is None else theta),
                                 float(value), norm, time.perf_counter() - started))

    def negative(theta: np.ndarray) -> tuple[float, np.ndarray]:
        try:
            value, ev = posterior(theta, keep=True)
        except NotPositiveDefiniteError:
            # Out of numerical range: a wall the line search backs off from.
            return float(last.get("wall", 1e300)), np.zeros_like(theta)
        assert ev.gradient is not None
        last.update(theta=theta.copy(), value=value, gradient=ev.gradient, ev=ev)
        last.setdefault("wall", abs(value) * 10 + 1e6)
        return -value, -ev.gradient

    steps = [0]

    def step(*_args) -> None:
        steps[0] += 1
        report("optimise", steps[0], last["value"], last["gradient"])

    result = optimize.minimize(negative, theta0, jac=True, method="L-BFGS-B", bounds=bounds,
                               callback=step, options={"maxiter": MAX_ITERATIONS, "ftol": 1e-13, "gtol": 1e-2})
    theta = np.clip(np.asarray(result.x, dtype=np.float64), bounds[:, 0], bounds[:, 1])
    if "theta" in last and np.array_equal(theta, last["theta"]):
        value, ev = last["value"], last["ev"]
    else:
        value, ev = posterior(theta, keep=True)
    H = _hessian(posterior, theta, report, value)
    curvature = -H
    definite = bool(np.all(np.linalg.eigvalsh(curvature) > 0))
    # Newton steps with the Hessian found: quadratic convergence, no further Hessians.
    for _ in range(NEWTON_STEPS):
        if not definite:
            break
        assert ev.gradient is not None
        delta = np.linalg.solve(curvature, ev.gradient)
        if np.sqrt(delta @ curvature @ delta) <= MODE_TOLERANCE:
            break
        trial = np.clip(theta + delta, bounds[:, 0], bounds[:, 1])
        trial_value, trial_ev = posterior(trial, keep=True)
        if trial_value < value:
            break
        theta, value, ev = trial, trial_value, trial_ev
    assert ev.gradient is not None
    off = float(np.sqrt(max(ev.gradient @ np.linalg.solve(curvature, ev.gradient), 0.0))) \
        if definite else float("inf")
    on_bound = bool(np.any(np.isclose(theta, bounds[:, 0]) | np.isclose(theta, bounds[:, 1])))
    converged = definite and off <= MODE_TOLERANCE and not on_bound
    message = str(result.message)
    if not converged:
        why = ("the Hessian is not negative definite" if not definite else
               "the mode lies on the search box" if on_bound else
               f"the gradient is not zero: the mode is about {off:.2g} posterior sd away")
        state = ", ".join(f"{name} = {v:.5g}" for name, v in zip(NAMES, np.exp(theta)))
        warnings.warn(f"fit_gaussian did not converge: {why} (optimiser: {message}); last state "
                      f"{state}, log posterior {value:.6f}, gradient {np.array2string(ev.gradient, precision=4)}",
                      ConvergenceWarning, stacklevel=3)
    return Mode(theta=theta, log_posterior=value, evaluation=ev, hessian=H, converged=converged,
                message=message, steps=steps[0])

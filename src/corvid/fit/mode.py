"""The hyperparameters' posterior mode and the Hessian there.

The log posterior is the exact log marginal likelihood plus the log priors. The climb takes
Newton steps with a backtracking line search, inside a wide box that keeps trial steps away
from values where the matrices overflow. Its model of the curvature starts from differences
of the analytic gradient and is updated by BFGS at every step; standard errors come from a
Hessian taken at the mode. The gradient is taken only at the points the line search
accepts: a trial point costs the factorizations alone, an accepted one also the selected
inverses. A fit that ends off the mode, on the box, or with a Hessian that is not negative
definite says so with a ConvergenceWarning.
"""

from __future__ import annotations

import dataclasses
import sys
import time
import warnings
from typing import Any, Callable, Optional, Sequence, TextIO, Tuple, Union

import numpy as np

from . import workers
from .factor import NotPositiveDefiniteError
from .latent import Evaluation

__all__ = ["ConvergenceWarning", "FitProgress", "LogPosterior", "Mode", "find_mode",
           "progress_reporter"]

NAMES = ("range", "sigma", "noise sd")
HESSIAN_STEP = 2e-4     # in theta: forward differences, relative error about the step
MODE_TOLERANCE = 1e-2   # Newton step to the mode, in posterior standard deviations
FRESH_HESSIAN = 0.1     # sd from the mode within which a Hessian serves for it
MAX_ITERATIONS = 100    # Newton steps


class ConvergenceWarning(UserWarning):
    """The optimiser did not reach a well-defined posterior mode."""


@dataclasses.dataclass(frozen=True)
class FitProgress:
    """One report of a fit's progress. stage: "optimise" (one per optimiser step),
    "hessian", "integrate" (one per design point), "marginals" (one per point measured along
    the hyperparameters' ridges, see `corvid.fit.marginals`) or "done"; theta: the hyperparameters on
    their working scale (log range, log sigma, the log of the family's hyperparameter if it
    has one, then the effects', in the order of the fit's `hyperparameters`), `names`
    naming them and `values` giving them as reported (exp(theta) when not given); seconds
    since the fit started."""

    stage: str
    step: int
    theta: np.ndarray
    log_posterior: float
    gradient_norm: float
    seconds: float
    names: Tuple[str, ...] = NAMES
    values: Optional[Tuple[float, ...]] = None

    def line(self) -> str:
        shown = np.exp(self.theta) if self.values is None else self.values
        values = "  ".join(f"{name} {value:.5g}" for name, value in zip(self.names, shown))
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
    """log p(y | theta) + log pi(theta), `log_prior(theta)` giving (value, gradient) of the
    hyperparameters' log prior on their working scale, Jacobians included. `names` name
    theta's entries in reports, `natural(theta)` gives them as reported (None: exp), and
    `label` names the fit in warnings."""

    def __init__(self, latent, log_prior: Callable[[np.ndarray], Tuple[float, np.ndarray]],
                 names: Tuple[str, ...] = NAMES, label: str = "fit_gaussian",
                 natural: Optional[Callable[[np.ndarray], np.ndarray]] = None) -> None:
        self.latent = latent
        self.log_prior = log_prior
        self.names, self.label = tuple(names), label
        self.natural = natural
        self.evaluations = 0

    def shown(self, theta: np.ndarray) -> Optional[Tuple[float, ...]]:
        """theta's entries as reported, or None for exp(theta)."""
        return None if self.natural is None else tuple(float(v) for v in self.natural(theta))

    def __call__(self, theta, *, gradient: bool = True, keep: bool = False) -> tuple[float, Evaluation]:
        """(log posterior, the evaluation, with the log posterior's gradient if asked)."""
        self.evaluations += 1
        return self._at(np.asarray(theta, dtype=np.float64), gradient, keep)

    def at_all(self, thetas: Sequence[np.ndarray], *, gradient: bool = True,
               keep: bool = False, then: Optional[Callable[[float, Evaluation], Any]] = None
               ) -> list:
        """[self(theta) for theta in thetas], several at once on the cores free (see
        `corvid.fit.workers`), each evaluation without its factors (which a batch would
        otherwise hold all at once: `complete` cannot add to it later; `then(value,
        evaluation)`, if given, still has them, and its result stands in the list instead);
        a NotPositiveDefiniteError stands in the list in place of its theta's result.
        Without gradient or posterior, the values are all that is wanted (and what `then`
        reads from the state; see the latent models' `evaluate`)."""
        value_only = not (gradient or keep)

        def one(theta: np.ndarray) -> Any:
            value, ev = self._at(theta, gradient, keep, value_only)
            out = (value, ev) if then is None else then(value, ev)
            ev._state = None
            return out

        thetas = [np.asarray(theta, dtype=np.float64) for theta in thetas]
        self.evaluations += len(thetas)
        bytes_each = self.latent.working_bytes()   # 0: not to be run in threads
        count = workers.worker_count(bytes_each) if len(thetas) > 1 and bytes_each > 0 else 1
        with self.latent.together():
            return workers.run_all(one, thetas, count, expected=(NotPositiveDefiniteError,))

    def _at(self, theta: np.ndarray, gradient: bool, keep: bool,
            value_only: bool = False) -> tuple[float, Evaluation]:
        ev = self.latent.evaluate(theta, gradient=False, value_only=value_only)
        return self.log_prior(theta)[0] + ev.log_likelihood, self.complete(ev, gradient=gradient,
                                                                           keep=keep)

    def complete(self, ev: Evaluation, *, gradient: bool = True, keep: bool = False) -> Evaluation:
        """Adds the gradient (of the log posterior) and the posterior given theta, as asked."""
        had_gradient = ev.gradient is not None
        self.latent.complete(ev, gradient=gradient, keep=keep)
        if ev.gradient is not None and not had_gradient:
            ev.gradient = ev.gradient + self.log_prior(ev.theta)[1]
        return ev


@dataclasses.dataclass
class Mode:
    theta: np.ndarray
    log_posterior: float
    evaluation: Evaluation
    hessian: np.ndarray   # of the log posterior
    converged: bool
    message: str
    steps: int


def _hessian(posterior: LogPosterior, theta: np.ndarray, gradient: np.ndarray,
             report: Callable[[str, int, np.ndarray, float], None], value: float) -> np.ndarray:
    """Forward differences of the analytic gradient, symmetrised."""
    columns = []
    steps = theta + np.eye(theta.size) * HESSIAN_STEP
    for j, result in enumerate(posterior.at_all(list(steps))):
        if isinstance(result, NotPositiveDefiniteError):
            raise result
        _, ev = result
        assert ev.gradient is not None
        columns.append((ev.gradient - gradient) / HESSIAN_STEP)
        report("hessian", j + 1, theta, value)
    H = np.column_stack(columns)
    return 0.5 * (H + H.T)


def _positive_definite(curvature: np.ndarray) -> np.ndarray:
    """The curvature with its eigenvalues made positive (their size kept): a Newton model
    that climbs even where the log posterior is not concave."""
    values, vectors = np.linalg.eigh(curvature)
    floor = 1e-8 * max(float(np.max(np.abs(values))), 1e-300)
    return (vectors * np.maximum(np.abs(values), floor)) @ vectors.T


class _Climb:
    """The state of the climb: the current point, its value and gradient."""

    def __init__(self, posterior: LogPosterior, theta: np.ndarray, bounds: np.ndarray) -> None:
        self.posterior, self.bounds = posterior, bounds
        self.theta = np.clip(theta, bounds[:, 0], bounds[:, 1])
        self.value, self.ev = posterior(self.theta)

    @property
    def gradient(self) -> np.ndarray:
        assert self.ev.gradient is not None
        return self.ev.gradient

    def try_step(self, step: np.ndarray, slope_fraction: float = 1e-4) -> bool:
        """Moves by `step` (cut to the box) if the log posterior rises enough (Armijo's
        condition); the gradient is taken only then."""
        trial = np.clip(self.theta + step, self.bounds[:, 0], self.bounds[:, 1])
        actual = trial - self.theta
        if not np.any(actual):
            return False
        try:
            value, ev = self.posterior(trial, gradient=False)
        except NotPositiveDefiniteError:
            return False  # out of numerical range: a wall to back off from
        if not value >= self.value + slope_fraction * float(self.gradient @ actual):
            return False
        self.theta, self.value, self.ev = trial, value, self.posterior.complete(ev)
        return True

    def line_search(self, direction: np.ndarray) -> bool:
        for scale in 0.5 ** np.arange(0, 40, 2):
            if self.try_step(scale * direction):
                return True
        return False


def find_mode(posterior: LogPosterior, theta0: np.ndarray, bounds: np.ndarray,
              reporter: Optional[Reporter], started: float) -> Mode:
    """The posterior mode from theta0 within bounds ((d, 2): lower, upper).

    Newton steps with a line search, on a model of minus the Hessian that starts from
    differences of the gradient at theta0 and learns from every step (BFGS updates). Once
    the step to the mode is below MODE_TOLERANCE sd, the Hessian is taken afresh there
    unless the last one was taken within FRESH_HESSIAN sd: standard errors come from a
    Hessian at the mode.
    """

    def report(stage: str, step: int, theta: np.ndarray, value: float,
               gradient: Optional[np.ndarray] = None) -> None:
        if reporter:
            norm = float(np.linalg.norm(gradient)) if gradient is not None else float("nan")
            reporter(FitProgress(stage, step, np.array(theta), float(value), norm,
                                 time.perf_counter() - started, posterior.names,
                                 posterior.shown(theta)))

    climb = _Climb(posterior, np.asarray(theta0, dtype=np.float64), bounds)
    with workers.spare_core(posterior.latent.working_bytes()):
        return _climbed(posterior, climb, bounds, report)


def _climbed(posterior: LogPosterior, climb: _Climb, bounds: np.ndarray,
             report: Callable[..., None]) -> Mode:
    """find_mode's climb from its first point."""
    H = _hessian(posterior, climb.theta, climb.gradient, report, climb.value)
    anchor = climb.theta
    model = _positive_definite(-H)
    message, steps = "converged", 0
    while True:
        g = climb.gradient
        direction = np.linalg.solve(model, g)
        if np.sqrt(max(float(g @ direction), 0.0)) <= MODE_TOLERANCE:
            offset = climb.theta - anchor
            if np.sqrt(offset @ model @ offset) <= FRESH_HESSIAN:
                break
            H = _hessian(posterior, climb.theta, climb.gradient, report, climb.value)
            anchor = climb.theta
            model = _positive_definite(-H)
            continue
        if steps == MAX_ITERATIONS:
            message = f"{MAX_ITERATIONS} steps"
            break
        theta, g_old = climb.theta, g
        if not climb.line_search(direction):
            message = "the line search found no higher point"
            break
        steps += 1
        s, y = climb.theta - theta, -(climb.gradient - g_old)
        if s @ y > 1e-12 * np.linalg.norm(s) * np.linalg.norm(y):
            Bs = model @ s
            model = model - np.outer(Bs, Bs) / (s @ Bs) + np.outer(y, y) / (s @ y)
        report("optimise", steps, climb.theta, climb.value, climb.gradient)
    curvature = -H
    definite = bool(np.all(np.linalg.eigvalsh(curvature) > 0))
    g = climb.gradient
    off = float(np.sqrt(max(float(g @ np.linalg.solve(curvature, g)), 0.0))) if definite \
        else float("inf")
    on_bound = bool(np.any(np.isclose(climb.theta, bounds[:, 0]) | np.isclose(climb.theta, bounds[:, 1])))
    converged = definite and off <= MODE_TOLERANCE and not on_bound
    if not converged:
        why = ("the Hessian is not negative definite" if not definite else
               "the mode lies on the search box" if on_bound else
               f"the gradient is not zero: the mode is about {off:.2g} posterior sd away")
        shown = posterior.shown(climb.theta) or np.exp(climb.theta)
        state = ", ".join(f"{name} = {v:.5g}" for name, v in zip(posterior.names, shown))
        warnings.warn(f"{posterior.label} did not converge: {why} (optimiser: {message}); last state "
                      f"{state}, log posterior {climb.value:.10g}, gradient "
                      f"{np.array2string(g, precision=4)}", ConvergenceWarning, stacklevel=6)
    ev = posterior.complete(climb.ev, keep=True)
    return Mode(theta=climb.theta, log_posterior=climb.value, evaluation=ev, hessian=H,
                converged=converged, message=message, steps=steps)

"""Likelihood families: what the fit needs to know of p(y | eta) for each kind of data.

A family is one object holding, for observations y given the linear predictor eta (offset
included): the log density with every constant (log y!, binomial coefficients, the gamma's
normalising terms, so that marginal likelihoods compare across families), its first three
derivatives in eta and the fourth (for the hyperparameters' correction), the derivatives of
the log density and of its first two eta-derivatives in the family's own hyperparameter psi
(on the log scale), the response-scale mean and sd of its link's inverse under a Gaussian
eta, its data checks and its hyperparameter's prior. The fitting code asks the object and
never tests a family's name.

Log densities are computed in log space (gammaln, log-sum-exp, expit), so extreme linear
predictors do not overflow; those of counts and positive amounts are written about the
saturated point, where the mean equals y: the maximum over eta from Stirling's series plus a
deviance part in delta = eta - eta_hat (see `corvid.fit.log_space`), and the first
derivative in eta from delta too. So counts of 10^9 or 10^15 keep the digits the latent
mode's search and the marginal likelihood need, where y eta - exp(eta) - log y! would round
them away.
"""

from __future__ import annotations

import dataclasses
import math
from typing import ClassVar, Optional, Tuple

import numpy as np
from scipy import special

from .log_space import bernoulli_excess, exp_excess, stirling_error

__all__ = ["Family", "FamilyData", "FAMILIES", "PCRatePrior", "RowsError", "Gaussian", "Poisson", "Binomial",
           "NegativeBinomial", "Gamma"]

LOG_2PI = math.log(2.0 * math.pi)
SHOWN = 5  # rows named in a message


def _saturated_delta(eta: np.ndarray, where: np.ndarray, saturated: np.ndarray) -> np.ndarray:
    """eta - saturated (the linear predictor at which the mean is y) in the rows `where`,
    0 elsewhere."""
    return np.where(where, eta - np.where(where, saturated, 0.0), 0.0)


@dataclasses.dataclass(frozen=True)
class FamilyData:
    """Observations as a family reads them: y (n,), the offset of the linear predictor (n,:
    log exposure, or zeros), and the binomial trials (n,: ones for other families)."""

    y: np.ndarray
    offset: np.ndarray
    trials: np.ndarray


@dataclasses.dataclass(frozen=True)
class PCRatePrior:
    """An exponential prior with P(s > u) = a on a positive quantity s that is a power of
    exp(psi), s = exp(power * psi), written as a log density of psi (Jacobian included):
    the noise sd (s = exp(psi), power 1) or an overdispersion d = exp(-psi / 2) = 1/sqrt(size)
    or 1/sqrt(phi) (power -1/2)."""

    u: float
    a: float
    power: float

    @property
    def rate(self) -> float:
        return -math.log(self.a) / self.u

    def __call__(self, psi: float) -> Tuple[float, float]:
        """(log density of psi, its derivative in psi)."""
        s = math.exp(self.power * psi)
        value = math.log(self.rate) - self.rate * s + math.log(abs(self.power)) + self.power * psi
        return value, self.power * (1.0 - self.rate * s)


def pc_rate_prior(pair, name: str, power: float) -> PCRatePrior:
    try:
        u, a = (float(v) for v in pair)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a pair (u, a), got {pair!r}") from None
    if not (math.isfinite(u) and u > 0.0 and 0.0 < a < 1.0):
        raise ValueError(f"{name} = (u, a) needs u > 0 and 0 < a < 1, got {pair!r}")
    return PCRatePrior(u, a, power)


def _rows_text(rows: np.ndarray) -> str:
    shown = ", ".join(str(r) for r in rows[:SHOWN])
    return f"row {shown}" if rows.size == 1 else f"{rows.size} rows ({shown}" + (
        ", ...)" if rows.size > SHOWN else ")")


class RowsError(ValueError):
    """Observations a family cannot take: `what` is wrong in the rows `rows` (0-based)."""

    def __init__(self, what: str, rows: np.ndarray) -> None:
        super().__init__(f"{what}: {_rows_text(rows)}")
        self.what, self.rows = what, rows


def _refuse_rows(bad: np.ndarray, what: str) -> None:
    if bad.any():
        raise RowsError(what, np.flatnonzero(bad))


def _vector(values, name: str, n: int) -> np.ndarray:
    array = np.asarray(values)
    if array.dtype.kind not in "biuf":
        raise ValueError(f"{name} must hold real numbers, got an array of dtype {array.dtype}")
    array = np.broadcast_to(array.astype(np.float64), (n,)) if array.ndim == 0 else \
        array.astype(np.float64)
    if array.shape != (n,):
        raise ValueError(f"{name} must have shape ({n},), one value per observation, got "
                         f"{array.shape}")
    _refuse_rows(~np.isfinite(array), f"{name} must be finite, and is not in")
    return array


class Family:
    """The interface every family fills in; see the module's note."""

    name: ClassVar[str]
    title: ClassVar[str]                # as a table names it
    link: ClassVar[str]
    hyperparameter: ClassVar[Optional[str]] = None  # its name in results, e.g. "size"
    exact: ClassVar[bool] = False       # the Gaussian is fitted exactly, without Laplace
    exposure: ClassVar[bool] = False    # takes an exposure (an offset log E)
    trials: ClassVar[bool] = False      # takes binomial trials
    # fit's keyword for the hyperparameter's prior (P(s > u) = a on s = exp(prior_power psi))
    prior_option: ClassVar[Optional[str]] = None
    prior_power: ClassVar[float] = 1.0
    map_scale: ClassVar[str] = "both"   # the maps' layers unless asked: see LatentFit.maps
    response_meaning: ClassVar[str] = "mean"  # what the response scale's mean is, in words
    # The hyperparameter is the scale of a continuous response's scatter: data that the fixed
    # effects reproduce exactly leave its posterior without a mode (see corvid.fit.refusals).
    scale_from_scatter: ClassVar[bool] = False

    def __init__(self, prior: Optional[PCRatePrior] = None) -> None:
        self.prior = prior
        self._saturation: Optional[tuple] = None

    def __getstate__(self) -> dict:
        return {**self.__dict__, "_saturation": None}   # a fit pickles without its data

    def _saturated(self, d: "FamilyData", psi: Optional[float]) -> tuple:
        """The pieces of the log density that depend on y (and psi) alone (see
        `_saturated_pieces`), kept for the last data and psi: the latent mode's search asks
        for them at every step."""
        cached = self._saturation
        if cached is not None and cached[0] is d and cached[1] == psi:
            return cached[2]
        pieces = self._saturated_pieces(d, psi)
        self._saturation = (d, psi, pieces)
        return pieces

    def _saturated_pieces(self, d: "FamilyData", psi: Optional[float]) -> tuple:
        raise NotImplementedError

    # ---- data ---------------------------------------------------------------------------

    def data(self, y: np.ndarray, exposure=None, trials=None) -> FamilyData:
        """Checks the observations for this family; ValueError names the rows at fault."""
        n = y.shape[0]
        if exposure is not None and not self.exposure:
            raise ValueError(f"exposure is for the poisson and nbinomial families; the {self.name} "
                             "family takes none")
        if trials is not None and not self.trials:
            raise ValueError(f"trials are for the binomial family; the {self.name} family takes none")
        offset = np.zeros(n)
        if exposure is not None:
            E = _vector(exposure, "exposure", n)
            _refuse_rows(E <= 0.0, "exposure must be positive, and is not in")
            offset = np.log(E)
        N = np.ones(n) if trials is None else _vector(trials, "trials", n)
        if trials is not None:
            _refuse_rows((N < 1.0) | (N != np.floor(N)), "trials must be whole numbers of at least 1, "
                         "and are not in")
        self._check(y, N)
        return FamilyData(y, offset, N)

    def _check(self, y: np.ndarray, trials: np.ndarray) -> None:
        """Family-specific checks of y (finite already)."""

    @staticmethod
    def _counts(y: np.ndarray, family: str) -> None:
        _refuse_rows(y < 0.0, f"{family} data must be counts (0, 1, 2, ...), and are negative in")
        _refuse_rows(y != np.floor(y), f"{family} data must be counts (0, 1, 2, ...), and are not "
                     "whole numbers in")

    # ---- the log density and its derivatives ----------------------------------------------

    def log_density(self, d: FamilyData, eta: np.ndarray, psi: Optional[float]) -> np.ndarray:
        """log p(y_i | eta_i, psi), every constant included, shape (n,)."""
        raise NotImplementedError

    def derivatives(self, d: FamilyData, eta: np.ndarray,
                    psi: Optional[float]) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The first three derivatives of the log density in eta, each (n,)."""
        raise NotImplementedError

    def fourth(self, d: FamilyData, eta: np.ndarray, psi: Optional[float]) -> np.ndarray:
        """The fourth derivative of the log density in eta, (n,)."""
        raise NotImplementedError

    def hyper_derivatives(self, d: FamilyData, eta: np.ndarray,
                          psi: float) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """d/dpsi of the log density and of its first two eta-derivatives, each (n,)."""
        raise NotImplementedError

    def log_prior(self, psi: np.ndarray) -> Tuple[float, np.ndarray]:
        """The hyperparameter's log prior density on the log scale and its gradient (an
        empty gradient for families without one)."""
        if self.prior is None:
            return 0.0, np.zeros(0)
        value, slope = self.prior(float(psi[0]))
        return value, np.array([slope])

    # ---- the response scale ---------------------------------------------------------------

    def response(self, mean: np.ndarray, sd: np.ndarray,
                 scale: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        """Mean and sd of scale * g^-1(eta) for eta ~ N(mean, sd²), g the link."""
        raise NotImplementedError

    # ---- what the posterior's checks and draws ask --------------------------------------

    discrete: ClassVar[bool] = False    # counts: a randomised PIT and quantile residual

    def inverse_link(self, eta: np.ndarray) -> np.ndarray:
        """g^-1(eta): the mean per unit of exposure, or per trial."""
        raise NotImplementedError

    def link_of(self, mu: np.ndarray) -> np.ndarray:
        """g(mu), mu per unit of exposure or per trial (-inf or inf at the ends of g's range)."""
        raise NotImplementedError

    def cdf_bounds(self, d: FamilyData, eta: np.ndarray,
                   psi: Optional[float]) -> Tuple[np.ndarray, np.ndarray]:
        """(P(Y < y), P(Y <= y)) for each observation (eta offset included); equal for
        continuous data."""
        raise NotImplementedError

    def draw(self, d: FamilyData, eta: np.ndarray, psi: Optional[float],
             rng: np.random.Generator) -> np.ndarray:
        """New observations given eta (offset included), with d's trials, shape of eta."""
        raise NotImplementedError

    def predictive_bounds(self, d: FamilyData, mean: np.ndarray, variance: np.ndarray,
                          psi: Optional[float]) -> Optional[Tuple[np.ndarray, np.ndarray]]:
        """`cdf_bounds` averaged over eta ~ N(mean, variance) in closed form, or None where
        there is none (the caller integrates)."""
        return None

    # ---- starting values --------------------------------------------------------------------

    def working(self, d: FamilyData) -> Tuple[np.ndarray, np.ndarray]:
        """A working response on the link scale (offset removed) and the variance its
        sampling noise adds there, for starting values."""
        raise NotImplementedError

    def start_hyperparameter(self, d: FamilyData) -> Optional[float]:
        """A starting psi from the data; None for families without a hyperparameter."""
        return None

    def latent_variance(self, d: FamilyData, X: np.ndarray) -> Optional[float]:
        """A moment estimate of the latent effects' variance on the link scale, beside the
        fixed effects X, or None where the family has none (the working response's split
        is used)."""
        return None


def _log_normal_moments(mean, sd, scale):
    """Mean and sd of scale * exp(eta), eta ~ N(mean, sd²), computed in log space."""
    with np.errstate(over="ignore"):
        mu = scale * np.exp(mean + 0.5 * sd**2)
        return mu, mu * np.sqrt(np.expm1(sd**2))


class Gaussian(Family):
    """y ~ N(eta, s²), identity link; psi = log s (the noise sd)."""

    name, title, link, hyperparameter, exact = "gaussian", "Gaussian", "identity", "noise_sd", True
    prior_option, map_scale, scale_from_scatter = "prior_noise", "link", True

    def log_density(self, d, eta, psi):
        r = (d.y - eta) * math.exp(-psi)
        return -0.5 * LOG_2PI - psi - 0.5 * r**2

    def derivatives(self, d, eta, psi):
        t = math.exp(-2.0 * psi)
        return (d.y - eta) * t, np.full(eta.shape, -t), np.zeros(eta.shape)

    def fourth(self, d, eta, psi):
        return np.zeros(eta.shape)

    def hyper_derivatives(self, d, eta, psi):
        t = math.exp(-2.0 * psi)
        residual = d.y - eta
        return -1.0 + residual**2 * t, -2.0 * residual * t, np.full(eta.shape, 2.0 * t)

    def response(self, mean, sd, scale):
        return mean, sd

    def inverse_link(self, eta):
        return eta

    def link_of(self, mu):
        return mu

    def cdf_bounds(self, d, eta, psi):
        below = special.ndtr((d.y - eta) * math.exp(-psi))
        return below, below

    def draw(self, d, eta, psi, rng):
        return eta + math.exp(psi) * rng.standard_normal(np.shape(eta))

    def predictive_bounds(self, d, mean, variance, psi):
        below = special.ndtr((d.y - mean) / np.sqrt(variance + math.exp(2.0 * psi)))
        return below, below

    def working(self, d):
        return d.y - d.offset, np.zeros(d.y.shape)


class _LogLink:
    """The log link's mean and its inverse, shared by the families that take it."""

    def response(self, mean, sd, scale):
        return _log_normal_moments(mean, sd, scale)

    def inverse_link(self, eta):
        with np.errstate(over="ignore"):
            return np.exp(eta)

    def link_of(self, mu):
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(mu > 0.0, np.log(np.maximum(mu, 1e-300)), -np.inf)


def _poisson_regression_means(X: np.ndarray, y: np.ndarray, offset: np.ndarray,
                               iterations: int = 25) -> Optional[np.ndarray]:
    """The fitted means exp(offset + X beta) of the Poisson regression of y on X (iteratively
    reweighted least squares), or None where it does not settle (no counts, separation)."""
    if not np.any(y > 0):
        return None
    if X.shape[1] == 0:
        return np.exp(offset)
    beta = np.zeros(X.shape[1])
    eta = np.log(np.mean(y) / np.mean(np.exp(offset))) + offset
    with np.errstate(over="ignore", under="ignore", invalid="ignore", divide="ignore"):
        for _ in range(iterations):
            root = np.sqrt(np.exp(eta))
            rhs = (eta - offset) * root + (y - root**2) / root
            if not (np.all(np.isfinite(rhs)) and np.all(root > 0.0)):
                return None
            new = np.linalg.lstsq(X * root[:, None], rhs, rcond=None)[0]
            if not np.all(np.isfinite(new)):
                return None
            settled = np.max(np.abs(new - beta)) < 1e-8
            beta, eta = new, offset + X @ new
            if settled:
                m = np.exp(eta)
                return m if np.all(np.isfinite(m)) and np.sum(m**2) > 0.0 else None
    return None


class Poisson(_LogLink, Family):
    """y ~ Poisson(E exp(eta)), log link, E the exposure (eta's offset log E)."""

    name, title, link, exposure, discrete = "poisson", "Poisson", "log", True, True
    response_meaning = "expected count per unit of exposure"

    def _check(self, y, trials):
        self._counts(y, "poisson")

    def _saturated_pieces(self, d, psi):
        """(y > 0, y where positive else 1, its log, the log density at eta = log y)."""
        positive = d.y > 0
        safe = np.where(positive, d.y, 1.0)
        return positive, safe, np.log(safe), -0.5 * np.log(2.0 * math.pi * safe) - stirling_error(safe)

    def log_density(self, d, eta, psi):
        # y > 0: the density at eta = log y, less y (e^delta - 1 - delta); y = 0: -mu.
        positive, safe, log_y, saturated = self._saturated(d, None)
        delta = _saturated_delta(eta, positive, log_y)
        with np.errstate(over="ignore"):
            zero = -np.exp(eta)
        return np.where(positive, saturated - safe * exp_excess(delta), zero)

    def derivatives(self, d, eta, psi):
        with np.errstate(over="ignore"):
            mu = np.exp(eta)
        positive, _, log_y, _ = self._saturated(d, None)
        first = np.where(positive, -d.y * np.expm1(_saturated_delta(eta, positive, log_y)), -mu)
        return first, -mu, -mu

    def fourth(self, d, eta, psi):
        with np.errstate(over="ignore"):
            return -np.exp(eta)

    def cdf_bounds(self, d, eta, psi):
        upto = special.gammaincc(d.y + 1.0, self.inverse_link(eta))   # P(Y <= y) = Q(y + 1, mu)
        return _less(upto, self, d, eta, psi), upto

    def draw(self, d, eta, psi, rng):
        return rng.poisson(self.inverse_link(eta)).astype(np.float64)

    def working(self, d):
        return np.log(d.y + 0.5) - d.offset, 1.0 / (d.y + 0.5)

    def latent_variance(self, d, X):
        # With eta = X beta + e, e ~ N(0, s²): E y = m and Var y = m + m² (exp(s²) - 1), m from
        # the Poisson regression on X alone. The working response cannot say this for small
        # counts: log(y + 0.5) varies less than 1/(y + 0.5) claims its noise does alone.
        m = _poisson_regression_means(X, d.y, d.offset)
        if m is None:
            return None
        ratio = float(np.sum((d.y - m) ** 2 - m)) / float(np.sum(m**2))
        return math.log1p(ratio) if ratio > 0.0 else 0.0


class NegativeBinomial(_LogLink, Family):
    """y ~ NB(mean E exp(eta), size r), variance mu + mu²/r; log link, exposure as for the
    Poisson; psi = log r."""

    name, title, link, hyperparameter, exposure = "nbinomial", "Negative binomial", "log", "size", True
    discrete = True
    prior_option, prior_power = "prior_dispersion", -0.5   # on 1/sqrt(size)
    response_meaning = "expected count per unit of exposure"

    def _check(self, y, trials):
        self._counts(y, "nbinomial")

    def _saturated_pieces(self, d, psi):
        """(y > 0, y where positive else 1, its log, m = y + r, the log density at mean y)."""
        r = math.exp(psi)
        positive = d.y > 0
        safe = np.where(positive, d.y, 1.0)
        m = safe + r
        saturated = (-np.log1p(safe / r) - 0.5 * np.log(2.0 * math.pi * safe * r / m)
                     + stirling_error(m) - stirling_error(safe) - float(stirling_error(r)))
        return positive, safe, np.log(safe), m, saturated

    def log_density(self, d, eta, psi):
        # y > 0: the density at its mean y (Stirling, with m = y + r), less
        # m bernoulli_excess(y/m, delta); y = 0: -r log(1 + mu/r), with no large terms.
        r = math.exp(psi)
        positive, safe, log_y, m, saturated = self._saturated(d, psi)
        delta = _saturated_delta(eta, positive, log_y)
        counts = saturated - m * bernoulli_excess(safe / m, r / m, delta)
        return np.where(positive, counts, -r * np.logaddexp(0.0, eta - psi))

    def derivatives(self, d, eta, psi):
        r = math.exp(psi)
        q = special.expit(eta - psi)              # mu / (r + mu)
        p = special.expit(psi - eta)              # r / (r + mu), 1 - q with its digits
        spread = (d.y + r) * q * p
        positive, _, log_y, _, _ = self._saturated(d, psi)
        # y - (y + r) q = -y p (e^delta - 1): no cancellation near the mode.
        first = np.where(positive, -d.y * p * np.expm1(_saturated_delta(eta, positive, log_y)),
                         -r * q)
        return first, -spread, -spread * (1.0 - 2.0 * q)

    def fourth(self, d, eta, psi):
        r = math.exp(psi)
        q, p = special.expit(eta - psi), special.expit(psi - eta)
        return -(d.y + r) * q * p * ((p - q) ** 2 - 2.0 * q * p)

    def hyper_derivatives(self, d, eta, psi):
        r, y = math.exp(psi), d.y
        q, p = special.expit(eta - psi), special.expit(psi - eta)   # p = 1 - q
        # d/dr of the log density, then times dr/dpsi = r. digamma(y + r) - digamma(r)
        # loses its digits for r far above y; the sum 1/r + ... + 1/(r + y - 1) keeps them.
        # 1 - (y + r) p / r, written as q - y p / r so that it keeps its digits for large r.
        dl = r * (_digamma_difference(y, r) - np.logaddexp(0.0, eta - psi) + q - y * p / r)
        d1 = -r * q + (y + r) * q * p
        d2 = -r * q * p + (y + r) * q * p * (1.0 - 2.0 * q)
        return dl, d1, d2

    def cdf_bounds(self, d, eta, psi):
        r, p = math.exp(psi), special.expit(psi - eta)   # success probability r / (r + mu)
        # P(Y <= y) = I_p(r, y + 1), the regularised incomplete beta (r need not be whole)
        upto = special.betainc(r, d.y + 1.0, p)
        return _less(upto, self, d, eta, psi), upto

    def draw(self, d, eta, psi, rng):
        return rng.negative_binomial(math.exp(psi), special.expit(psi - eta)).astype(np.float64)

    def working(self, d):
        return np.log(d.y + 0.5) - d.offset, 1.0 / (d.y + 0.5)

    def start_hyperparameter(self, d):
        rate = d.y / np.exp(d.offset)
        mean = float(np.mean(rate))
        excess = float(np.var(rate)) - mean * float(np.mean(np.exp(-d.offset)))
        size = mean**2 / excess if excess > 0.0 else 100.0
        return float(np.log(np.clip(size, 0.05, 1e4)))


def _digamma_difference(y: np.ndarray, r: float) -> np.ndarray:
    """digamma(y + r) - digamma(r) for counts y: a sum of 1/(r + j) over j < y for small
    counts, where the difference of digammas would cancel, else the difference itself."""
    out = special.digamma(y + r) - special.digamma(r)
    small = y <= 64
    if r > 1.0 and small.any():
        j = np.arange(64.0)
        terms = 1.0 / (r + j)
        sums = np.concatenate([[0.0], np.cumsum(terms)])
        out[small] = sums[y[small].astype(np.int64)]
    return out


class Binomial(Family):
    """y ~ Binomial(N, logistic(eta)), logit link, N the trials (1 by default)."""

    name, title, link, trials, discrete = "binomial", "Binomial", "logit", True, True
    response_meaning = "probability of a success"

    def _check(self, y, trials):
        self._counts(y, "binomial")
        _refuse_rows(y > trials, "binomial data must not exceed the trials, and do in")

    def _saturated_pieces(self, d, psi):
        """(0 < y < N, successes and failures there else 1, logit(y/N), the log density at
        mean y)."""
        y, N = d.y, d.trials
        inner = (y > 0) & (y < N)
        ys, fs = np.where(inner, y, 1.0), np.where(inner, N - y, 1.0)
        saturated = (-0.5 * np.log(2.0 * math.pi * ys * fs / N) + stirling_error(N)
                     - stirling_error(ys) - stirling_error(fs))
        return inner, ys, fs, np.log(ys) - np.log(fs), saturated

    def log_density(self, d, eta, psi):
        # 0 < y < N: the density at its mean y (Loader's saddle point form), less
        # N bernoulli_excess(y/N, delta); y = 0 or N: -N log(1 + e^(±eta)), exact.
        y, N = d.y, d.trials
        inner, ys, fs, logit, saturated = self._saturated(d, None)
        delta = _saturated_delta(eta, inner, logit)
        edge = -N * np.logaddexp(0.0, np.where(y > 0, -eta, eta))
        return np.where(inner, saturated - N * bernoulli_excess(ys / N, fs / N, delta), edge)

    def derivatives(self, d, eta, psi):
        p, q = special.expit(eta), special.expit(-eta)
        y, N = d.y, d.trials
        spread = N * p * q
        inner, _, _, logit, _ = self._saturated(d, None)
        # y - N p = -y q (e^delta - 1) inside: no cancellation near the mode.
        first = np.where(inner, -y * q * np.expm1(_saturated_delta(eta, inner, logit)),
                         np.where(y > 0, N * q, -N * p))
        return first, -spread, -spread * (q - p)

    def fourth(self, d, eta, psi):
        p, q = special.expit(eta), special.expit(-eta)
        return -d.trials * p * q * ((q - p) ** 2 - 2.0 * p * q)

    def response(self, mean, sd, scale):
        first, second = _gauss_hermite(special.expit, mean, sd)
        first = np.clip(first, 0.0, 1.0)   # the weights sum to 1 only to rounding
        return scale * first, scale * np.sqrt(np.maximum(second - first**2, 0.0))

    def inverse_link(self, eta):
        return special.expit(eta)

    def link_of(self, mu):
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(mu <= 0.0, -np.inf, np.where(mu >= 1.0, np.inf,
                                                          special.logit(np.clip(mu, 0.0, 1.0))))

    def cdf_bounds(self, d, eta, psi):
        # P(Y <= y) = I_q(N - y, y + 1) with q = 1 - p, and 1 at y = N
        below_all = d.y < d.trials
        value = special.betainc(np.where(below_all, d.trials - d.y, 1.0), d.y + 1.0,
                                special.expit(-eta))
        upto = np.where(below_all, value, 1.0)
        return _less(upto, self, d, eta, psi), upto

    def draw(self, d, eta, psi, rng):
        trials = np.broadcast_to(d.trials, np.shape(eta))
        return rng.binomial(trials.astype(np.int64), special.expit(eta)).astype(np.float64)

    def working(self, d):
        share = (d.y + 0.5) / (d.trials + 1.0)
        return special.logit(share), 1.0 / ((d.trials + 1.0) * share * (1.0 - share))


class Gamma(_LogLink, Family):
    """y ~ Gamma with mean mu = exp(eta) and variance mu²/phi, log link; psi = log phi."""

    name, title, link, hyperparameter = "gamma", "Gamma", "log", "phi"
    prior_option, prior_power = "prior_dispersion", -0.5   # on 1/sqrt(phi)
    scale_from_scatter = True

    def _check(self, y, trials):
        _refuse_rows(y <= 0.0, "gamma data must be positive, and are not in")

    def _saturated_pieces(self, d, psi):
        return (np.log(d.y),)

    def log_density(self, d, eta, psi):
        # The density at its mean y, ½ log(phi / 2 pi) - stirling_error(phi) - log y, less
        # phi (e^-delta - 1 + delta): no large terms for large phi.
        phi = math.exp(psi)
        log_y, = self._saturated(d, None)
        return (0.5 * (psi - LOG_2PI) - float(stirling_error(phi)) - log_y
                - phi * exp_excess(log_y - eta))

    def derivatives(self, d, eta, psi):
        phi = math.exp(psi)
        log_y, = self._saturated(d, None)
        with np.errstate(over="ignore"):
            scaled = phi * np.exp(log_y - eta)
        return phi * np.expm1(log_y - eta), -scaled, scaled

    def fourth(self, d, eta, psi):
        phi = math.exp(psi)
        with np.errstate(over="ignore"):
            return -phi * d.y * np.exp(-eta)

    def hyper_derivatives(self, d, eta, psi):
        phi, y = math.exp(psi), d.y
        with np.errstate(over="ignore"):
            ratio = y * np.exp(-eta)
        dl = phi * (psi + 1.0 - eta + np.log(y) - ratio - special.digamma(phi))
        return dl, phi * (ratio - 1.0), -phi * ratio

    def cdf_bounds(self, d, eta, psi):
        phi = math.exp(psi)
        with np.errstate(over="ignore"):
            below = special.gammainc(phi, phi * d.y * np.exp(-eta))
        return below, below

    def draw(self, d, eta, psi, rng):
        phi = math.exp(psi)
        return rng.gamma(phi, self.inverse_link(eta) / phi)

    def working(self, d):
        return np.log(d.y), np.zeros(d.y.shape)

    def start_hyperparameter(self, d):
        logs = np.log(d.y)
        # Var(log y) = trigamma(phi) for the gamma; trigamma(phi) is about 1/phi + 1/(2 phi²).
        v = max(float(np.var(logs)), 1e-6)
        phi = (1.0 + math.sqrt(1.0 + 2.0 * v)) / (2.0 * v)
        return float(np.log(np.clip(phi, 0.05, 1e4)))


def _less(upto: np.ndarray, family: Family, d: FamilyData, eta, psi) -> np.ndarray:
    """P(Y < y) = P(Y <= y) - P(Y = y) of counts, from P(Y <= y) and the log density."""
    return np.maximum(upto - np.exp(family.log_density(d, eta, psi)), 0.0)


_NODES, _WEIGHTS = np.polynomial.hermite.hermgauss(40)


def _gauss_hermite(g, mean: np.ndarray, sd: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """E[g(eta)] and E[g(eta)²] for eta ~ N(mean, sd²), by 40-point Gauss–Hermite quadrature."""
    mean, sd = np.asarray(mean, dtype=np.float64), np.asarray(sd, dtype=np.float64)
    values = g(mean[..., None] + math.sqrt(2.0) * sd[..., None] * _NODES)
    w = _WEIGHTS / math.sqrt(math.pi)
    return values @ w, (values**2) @ w


FAMILIES = {family.name: family for family in (Gaussian, Poisson, Binomial, NegativeBinomial, Gamma)}

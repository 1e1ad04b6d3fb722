"""Counts of populations and reads, 10^7 to 10^15: the families' log densities keep their
digits (checked against exact decimal arithmetic), the latent mode at given theta equals a
dense computation with scipy's own densities, and whole fits converge, or say which rows a
family cannot take and why."""

import decimal
import math
import warnings

import numpy as np
import pytest
from scipy import linalg, special, stats

from corvid.fit import fit
from corvid.fit.families import FAMILIES, FamilyData, RowsError
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.locate import basis_matrix
from corvid.meshkin.mesh import MkMesh

MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (7, 7))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
RNG = np.random.default_rng(11)
LOC = RNG.uniform(0.0, 1.0, (60, 2))
X = RNG.normal(size=60)
SURFACE = np.sin(3.0 * LOC[:, 0]) + 0.3 * X


def exact_log_density(family, y, trials, eta, psi):
    """The log density less its eta-free terms, in 60-digit decimal arithmetic."""
    with decimal.localcontext() as context:
        context.prec = 60
        D = decimal.Decimal
        y, e = D(float(y)), D(float(eta))
        if family == "poisson":
            return y * e - e.exp()
        if family == "nbinomial":
            r = D(math.exp(psi))
            return y * e - (y + r) * (r + e.exp()).ln()
        if family == "binomial":
            return y * e - D(float(trials)) * (1 + e.exp()).ln()
        phi = D(math.exp(psi))
        return -phi * e - phi * y * (-e).exp()


@pytest.mark.parametrize("family", ["poisson", "nbinomial", "binomial", "gamma"])
@pytest.mark.parametrize("count", [3.0, 1e9, 1e15])
def test_log_densities_of_large_counts_keep_the_digits_the_search_compares(family, count):
    """The latent mode's line search compares the log density at nearby eta: the change
    must keep its digits however large the count."""
    kind = FAMILIES[family]()
    trials = 3.0 * count if family == "binomial" else 1.0
    centre = math.log(count / (trials - count)) if family == "binomial" else math.log(count)
    data = FamilyData(np.array([count]), np.zeros(1), np.array([trials]))
    psi = 1.5
    for step in (1e-7, 1e-4, 0.3):
        eta = np.array([centre + 0.01, centre + 0.01 + step])
        ours = kind.log_density(data, eta[1:], psi)[0] - kind.log_density(data, eta[:1], psi)[0]
        exact = float(exact_log_density(family, count, trials, eta[1], psi)
                      - exact_log_density(family, count, trials, eta[0], psi))
        assert ours == pytest.approx(exact, rel=1e-9, abs=1e-12), (step, ours, exact)


@pytest.mark.parametrize("family, y", [
    ("poisson", 1e4), ("poisson", 7.0), ("nbinomial", 1e4), ("nbinomial", 0.0),
    ("binomial", 1e4), ("binomial", 0.0), ("gamma", 2e5)])
def test_log_densities_equal_scipys_where_scipy_keeps_its_digits(family, y):
    kind = FAMILIES[family]()
    eta = np.log(max(y, 1.0)) + np.linspace(-0.2, 0.2, 5)
    psi = 1.5
    r = math.exp(psi)
    trials = 3.0 * max(y, 1.0)
    data = FamilyData(np.full(5, y), np.zeros(5), np.full(5, trials))
    mu = np.exp(eta)
    expected = {
        "poisson": lambda: stats.poisson.logpmf(y, mu),
        "nbinomial": lambda: stats.nbinom.logpmf(y, r, r / (r + mu)),
        "binomial": lambda: stats.binom.logpmf(y, trials, special.expit(eta)),
        "gamma": lambda: stats.gamma.logpdf(y, r, scale=mu / r),
    }[family]()
    np.testing.assert_allclose(kind.log_density(data, eta, psi), expected, rtol=1e-11)


def counts(family, scale, rng):
    """(y, keyword arguments) around SURFACE with the given size of count."""
    if family == "poisson":
        exposure = scale * rng.uniform(0.5, 2.0, 60)
        return rng.poisson(exposure * np.exp(SURFACE)).astype(float), {"exposure": exposure}
    if family == "nbinomial":
        mean = scale * np.exp(SURFACE)
        return np.round(mean * rng.gamma(5.0, 0.2, 60)), {}
    trials = np.full(60, scale)
    return rng.binomial(trials.astype(np.int64), special.expit(SURFACE)).astype(float), \
        {"trials": trials}


def dense_mode(family, y, kw, theta, prior_sd):
    """The latent mode at theta by dense Newton on the textbook gradient (y - mu ...), and
    the Laplace log marginal with scipy.stats' densities."""
    A = basis_matrix(MESH, LOC).toarray()
    B = np.hstack([A, np.ones((60, 1)), X[:, None]])
    Q = MODEL.precision(theta[:2]).toarray()
    prior = linalg.block_diag(Q, np.diag(1.0 / np.asarray(prior_sd) ** 2))
    offset = np.log(kw["exposure"]) if "exposure" in kw else np.zeros(60)
    r = math.exp(theta[2]) if len(theta) > 2 else None
    trials = kw.get("trials")

    def moments(eta):
        if family == "poisson":
            mu = np.exp(eta)
            return y - mu, mu
        if family == "nbinomial":
            mu = np.exp(eta)
            return (y - mu) * r / (r + mu), (y + r) * mu * r / (r + mu) ** 2
        p = special.expit(eta)
        return y - trials * p, trials * p * (1.0 - p)

    latent = np.zeros(B.shape[1])
    latent[-2] = np.mean(np.log(y + 0.5) - offset) if family != "binomial" else 0.0
    for _ in range(200):
        first, weight = moments(B @ latent + offset)
        H = prior + B.T @ (weight[:, None] * B)
        step = np.linalg.solve(H, B.T @ first - prior @ latent)
        step *= min(1.0, 1.0 / np.max(np.abs(B @ step)))     # no more than 1 on eta
        latent = latent + step
        if np.max(np.abs(B @ step)) < 1e-14:
            break
    eta = B @ latent + offset
    mu = np.exp(eta)
    log_density = {"poisson": lambda: stats.poisson.logpmf(y, mu),
                   "nbinomial": lambda: stats.nbinom.logpmf(y, r, r / (r + mu)),
                   "binomial": lambda: stats.binom.logpmf(y, trials, special.expit(eta))}[family]()
    H = prior + B.T @ (moments(eta)[1][:, None] * B)
    log_marginal = (np.sum(log_density) - 0.5 * latent @ prior @ latent
                    + 0.5 * np.linalg.slogdet(prior)[1] - 0.5 * np.linalg.slogdet(H)[1])
    return latent, eta, log_marginal


@pytest.mark.parametrize("family, scale", [
    ("poisson", 3e7), ("poisson", 1e9), ("nbinomial", 1e9), ("binomial", 1e10)])
def test_at_given_theta_the_mode_of_large_counts_equals_a_dense_computation(family, scale):
    y, kw = counts(family, scale, np.random.default_rng(3))
    theta = np.log([0.4, 0.8, 5.0])[:3 if family == "nbinomial" else 2]
    prior_sd = [30.0, 3.0]
    result = fit(MODEL, LOC, y, family=family, covariates=X, theta=theta, prior_fixed=prior_sd, **kw)
    latent, eta, log_marginal = dense_mode(family, y, kw, theta, prior_sd)
    A = basis_matrix(MESH, LOC)
    offset = np.log(kw["exposure"]) if "exposure" in kw else 0.0
    ours = A @ result.field_mode + result.fixed_mode[0] + result.fixed_mode[1] * X + offset
    np.testing.assert_allclose(ours, eta, rtol=1e-12)
    # The intercept and the field's level trade against each other at the prior's strength:
    # both agree far inside their posterior sd.
    assert np.all(np.abs(result.fixed_mode - latent[-2:]) < 1e-5 * result.fixed_sd)
    # scipy's densities sum terms near y log y: they lose digits in proportion.
    assert result.log_marginal_likelihood == pytest.approx(
        log_marginal, abs=1e-15 * float(np.sum(y * np.log(y))))


@pytest.mark.parametrize("family, scale", [
    ("poisson", 3e7), ("poisson", 1e10), ("nbinomial", 1e9), ("nbinomial", 1e15),
    ("binomial", 1e10)])
def test_fits_of_large_counts_converge(family, scale):
    y, kw = counts(family, scale, np.random.default_rng(4))
    with warnings.catch_warnings():
        warnings.simplefilter("error", category=UserWarning)
        warnings.filterwarnings("ignore", message=".*shorter than 5 times the longest mesh edge")
        result = fit(MODEL, LOC, y, family=family, covariates=X, **kw)
    assert result.converged
    slope = result.fixed_mean[1]
    assert abs(slope - 0.3) < 0.1
    assert np.isfinite(result.log_marginal_likelihood)


def test_poisson_counts_beyond_double_precision_name_their_rows_and_the_way_out():
    y, kw = counts("poisson", 1e15, np.random.default_rng(5))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(RowsError, match=r"poisson data this large \(up to .*e\+15\) pin the "
                                            r"linear predictor.*family='nbinomial'") as caught:
            fit(MODEL, LOC, y, family="poisson", covariates=X, **kw)
    assert caught.value.rows.size and np.all(caught.value.rows < 60)

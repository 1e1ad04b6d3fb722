"""Starting values from the data: the Poisson regression behind the moment estimate of
count data's latent variance equals the maximum of its likelihood found by a general
optimiser, the estimate finds the variance of small counts (which the working response's
split halves), and a space-time field's correlation from step to step is read off the
residuals of a simulated one."""

from types import SimpleNamespace

import numpy as np
import pytest
from scipy import optimize

from corvid.fit.effects.spacetime import lag_one_correlation
from corvid.fit.families import FAMILIES, FamilyData, _poisson_regression_means
from corvid.fit.start import link_scale_start


POISSON = FAMILIES["poisson"]()


def counts(n, sd, rng, intercept=0.3, exposure=None):
    x = rng.normal(size=n)
    offset = np.zeros(n) if exposure is None else np.log(exposure)
    eta = intercept + 0.5 * x + sd * rng.normal(size=n)
    return np.column_stack([np.ones(n), x]), rng.poisson(np.exp(offset + eta)).astype(float), offset


@pytest.mark.parametrize("exposure", [None, "varied"])
def test_the_poisson_regression_is_the_likelihoods_maximum(exposure):
    rng = np.random.default_rng(0)
    E = None if exposure is None else rng.uniform(0.2, 5.0, 2_000)
    X, y, offset = counts(2_000, 0.3, rng, exposure=E)
    m = _poisson_regression_means(X, y, offset)

    def minus_log_likelihood(beta):
        eta = offset + X @ beta
        return np.sum(np.exp(eta) - y * eta), X.T @ (np.exp(eta) - y)

    best = optimize.minimize(minus_log_likelihood, np.zeros(2), jac=True, method="BFGS",
                             options={"gtol": 1e-10})
    np.testing.assert_allclose(m, np.exp(offset + X @ best.x), rtol=1e-6)


@pytest.mark.parametrize("sd", [0.3, 0.7])
def test_the_latent_variance_of_small_counts_is_found(sd):
    rng = np.random.default_rng(1)
    X, y, offset = counts(200_000, sd, rng)
    d = FamilyData(y, offset, np.ones_like(y))
    assert POISSON.latent_variance(d, X) == pytest.approx(sd**2, rel=0.06)


def test_a_start_for_small_counts_has_the_latent_sd():
    rng = np.random.default_rng(2)
    X, y, _ = counts(20_000, 0.5, rng, intercept=0.0)
    loc = rng.uniform(0.0, 10.0, (y.size, 2))
    d = FamilyData(y, np.zeros_like(y), np.ones_like(y))
    theta0, _, _ = link_scale_start(POISSON, d, SimpleNamespace(X=X), loc)
    assert np.exp(theta0[1]) == pytest.approx(0.5, rel=0.1)


@pytest.mark.parametrize("case", ["no counts", "no columns", "separated"])
def test_the_regression_says_so_where_it_cannot_settle(case):
    rng = np.random.default_rng(3)
    X, y, offset = counts(500, 0.3, rng)
    if case == "no counts":
        assert _poisson_regression_means(X, np.zeros_like(y), offset) is None
    elif case == "no columns":   # nothing to fit: the offset alone
        np.testing.assert_array_equal(_poisson_regression_means(X[:, :0], y, offset), 1.0)
    else:   # a covariate that is positive exactly where the counts are: beta runs away
        y = np.where(X[:, 1] > 0, y + 1.0, 0.0)
        separated = np.column_stack([X[:, 0], (X[:, 1] > 0).astype(float)])
        assert _poisson_regression_means(separated, y, offset) is None


def space_time_residuals(rho, rng, steps=10, per_step=3_000, places=None, noise=0.5, bumps=300):
    """Residuals of a smooth field, AR(1) in time with rho (stationary), plus noise: the
    field a sum of bumps of width 0.05 on the unit square with AR(1) weights."""
    centres = rng.uniform(0.0, 1.0, (bumps, 2))
    weights = [rng.normal(size=bumps)]
    for _ in range(steps - 1):
        weights.append(rho * weights[-1] + np.sqrt(1.0 - rho**2) * rng.normal(size=bumps))
    step = np.repeat(np.arange(steps), per_step)
    loc = rng.uniform(0.0, 1.0, (step.size, 2)) if places is None else \
        places[rng.integers(0, len(places), step.size)]
    shapes = np.exp(-np.sum((loc[:, None, :] - centres[None]) ** 2, axis=2) / (2 * 0.05**2))
    field = np.einsum("ik,ik->i", shapes, np.asarray(weights)[step])
    return loc, field + noise * rng.normal(size=step.size), step


@pytest.mark.parametrize("rho", [-0.5, 0.3, 0.8])
def test_the_lag_one_correlation_of_a_space_time_field_is_found(rho):
    loc, residual, step = space_time_residuals(rho, np.random.default_rng(4))
    assert lag_one_correlation(loc, residual, step) == pytest.approx(rho, abs=0.08)


def test_the_lag_one_correlation_of_stations_measured_again_and_again():
    """Three stations, each measured thousands of times a step: nearest neighbours are
    found among distinct places (a k-d tree over repeated points is quadratic)."""
    rng = np.random.default_rng(5)
    loc, residual, step = space_time_residuals(0.6, rng, steps=30, per_step=20_000,
                                               places=rng.uniform(0.0, 1.0, (3, 2)), bumps=10)
    assert -0.9 <= lag_one_correlation(loc, residual, step) <= 0.95


@pytest.mark.parametrize("case", ["one step", "no field"])
def test_the_lag_one_correlation_says_so_where_the_data_cannot(case):
    loc, residual, step = space_time_residuals(0.5, np.random.default_rng(6))
    if case == "one step":
        step = np.zeros_like(step)
    else:
        residual = np.zeros_like(residual)
    assert lag_one_correlation(loc, residual, step) is None

"""Starting values for count data: the Poisson regression behind the moment estimate equals
the maximum of its likelihood found by a general optimiser, and the estimate finds the
latent variance of small counts, which the working response's split halves."""

from types import SimpleNamespace

import numpy as np
import pytest
from scipy import optimize

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

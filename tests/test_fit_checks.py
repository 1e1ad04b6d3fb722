"""Leave-one-out checks without refitting (CPO, PIT), scores (log score, WAIC) and quantile
residuals: against explicit leave-one-out refits at the same theta, the uniformity of the
PIT on data simulated from the model, and joint samples."""

import warnings

import numpy as np
import pytest
from scipy import integrate, special, stats

from corvid.fit import fit
from corvid.fit.families import FAMILIES

from posterior_model import MESH, MODEL, THETA, data, gaussian_fit

LAPLACE_THETA = [np.log(0.4), np.log(0.7)]


@pytest.fixture(scope="module")
def gaussian():
    loc, x, labels, y = data()
    return gaussian_fit(loc, x, labels, y), (loc, x, labels, y)


def test_gaussian_cpo_and_pit_are_an_exact_leave_one_out_refit(gaussian):
    result, (loc, x, labels, y) = gaussian
    checks = result.checks()
    noise = np.exp(THETA[2])
    for i in (0, 5, 17, 42):
        keep = np.arange(y.size) != i
        refit = gaussian_fit(loc[keep], x[keep], labels[keep], y[keep])
        mean, sd = refit.predict(loc[i:i + 1], x[i:i + 1], effects={"vessel": labels[i:i + 1]})
        scale = np.sqrt(sd[0] ** 2 + noise**2)
        assert checks.cpo[i] == pytest.approx(stats.norm.pdf(y[i], mean[0], scale), rel=1e-8)
        assert checks.pit[i] == pytest.approx(stats.norm.cdf(y[i], mean[0], scale), rel=1e-8)


def test_gaussian_scores_and_residuals_are_their_closed_forms(gaussian):
    result, (loc, x, labels, y) = gaussian
    checks = result.checks()
    mean, sd = result.predict(loc, x, effects={"vessel": labels})
    noise2 = np.exp(2 * THETA[2])
    assert checks.log_score == pytest.approx(-np.sum(np.log(checks.cpo)))
    assert checks.lppd == pytest.approx(np.sum(stats.norm.logpdf(y, mean, np.sqrt(sd**2 + noise2))),
                                        rel=1e-10)
    # Var of log N(y; eta, s²) over eta ~ N(m, v): (2 v² + 4 (y - m)² v) / (4 s⁴)
    p_waic = np.sum((2 * sd**4 + 4 * (y - mean) ** 2 * sd**2) / (4 * noise2**2))
    assert checks.p_waic == pytest.approx(p_waic, rel=1e-9)
    assert checks.waic == pytest.approx(-2 * (checks.lppd - checks.p_waic))
    assert checks.residuals == pytest.approx((y - mean) / np.sqrt(sd**2 + noise2), rel=1e-7)
    assert f"WAIC {checks.waic:.4f}" in result.summary()
    assert "log score" in result.summary()


def counts(family, seed=3, n=100):
    rng = np.random.default_rng(seed)
    loc = rng.uniform(0.02, 0.98, (n, 2))
    x = rng.normal(size=n)
    eta = 0.2 + 0.5 * x + np.sin(3 * loc[:, 0])
    if family == "poisson":
        return loc, x, rng.poisson(np.exp(eta)).astype(float), {}
    trials = rng.integers(1, 6, n)
    return loc, x, rng.binomial(trials, special.expit(eta)).astype(float), {"trials": trials}


def predictive_density(family, y, trials, mean, sd):
    """∫ p(y | eta) N(eta; mean, sd²) by adaptive quadrature."""
    kind = FAMILIES[family]()
    d = kind.data(np.array([y]), None, None if trials is None else np.array([trials]))

    def integrand(eta):
        return np.exp(kind.log_density(d, np.array([eta]), None)[0]) * stats.norm.pdf(eta, mean, sd)

    return integrate.quad(integrand, mean - 12 * sd, mean + 12 * sd, epsabs=0, epsrel=1e-10,
                          limit=200)[0]


@pytest.mark.parametrize("family", ["poisson", "binomial"])
def test_laplace_cpo_is_within_two_percent_of_a_leave_one_out_refit(family):
    loc, x, y, kw = counts(family)
    result = fit(MODEL, loc, y, family=family, covariates=x, theta=LAPLACE_THETA, **kw)
    checks = result.checks()
    mean, sd = result.predict(loc, x)
    weight = np.exp(mean) if family == "poisson" else kw["trials"] * special.expit(mean) * special.expit(-mean)
    leverage = weight * sd**2      # the share of eta_i's posterior precision from y_i
    order = np.argsort(leverage)
    chosen = [order[0], order[1], order[y.size // 2], order[-3], order[-2], order[-1]]
    assert leverage[order[-1]] > 0.3 > 0.05 > leverage[order[0]]
    for i in chosen:
        keep = np.arange(y.size) != i
        refit = fit(MODEL, loc[keep], y[keep], family=family, covariates=x[keep],
                    theta=LAPLACE_THETA, **{k: v[keep] for k, v in kw.items()})
        m, s = refit.predict(loc[i:i + 1], x[i:i + 1])
        trials = kw["trials"][i] if kw else None
        assert checks.cpo[i] == pytest.approx(predictive_density(family, y[i], trials, m[0], s[0]),
                                              rel=0.02)


def simulated(family, rng, n=100):
    """Data from the model at LAPLACE_THETA: a field drawn from its prior, fixed effects."""
    from corvid.meshkin.locate import basis_matrix
    from corvid.sampling import gmrf_sample

    loc = rng.uniform(0.02, 0.98, (n, 2))
    x = rng.normal(size=n)
    field = gmrf_sample(MODEL.precision(np.array(LAPLACE_THETA)), rng)
    eta = -0.2 + 0.4 * x + basis_matrix(MESH, loc) @ field
    if family == "poisson":
        return loc, x, rng.poisson(np.exp(eta)).astype(float), {}
    trials = rng.integers(1, 4, n)
    return loc, x, rng.binomial(trials, special.expit(eta)).astype(float), {"trials": trials}


@pytest.mark.parametrize("family", ["poisson", "binomial"])
def test_pit_of_data_from_the_model_is_uniform(family):
    rng = np.random.default_rng(11)
    pits = []
    for _ in range(20):
        loc, x, y, kw = simulated(family, rng)
        result = fit(MODEL, loc, y, family=family, covariates=x, theta=LAPLACE_THETA,
                     prior_fixed=[2.0, 2.0], **kw)
        pits.append(result.checks(seed=int(rng.integers(1000))).pit)
    pooled = np.concatenate(pits)
    assert stats.kstest(pooled, "uniform").pvalue > 1e-3
    # Randomisation matters for counts: the plain P(Y <= y) would pile up near 1.
    assert np.histogram(pooled, bins=5, range=(0, 1))[0].min() > 0.15 * pooled.size


@pytest.mark.parametrize("family", ["poisson", "binomial"])
def test_scores_and_residuals_agree_with_joint_samples(family):
    loc, x, y, kw = counts(family, seed=8, n=60)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = fit(MODEL, loc, y, family=family, covariates=x, integrate=True, **kw)
    checks = result.checks()
    kind = result._family
    d = kind.data(y, None, kw.get("trials"))
    samples = result.sample(8000, seed=1)
    eta = samples.predict(loc, x)                         # (S, n)
    log_p = kind.log_density(d, eta, None)
    lppd = np.sum(special.logsumexp(log_p, axis=0) - np.log(eta.shape[0]))
    p_waic = np.sum(np.var(log_p, axis=0, ddof=1))
    assert checks.lppd == pytest.approx(lppd, abs=0.15)
    assert checks.p_waic == pytest.approx(p_waic, rel=0.1)
    low, high = kind.cdf_bounds(d, eta, None)
    u = stats.norm.cdf(checks.residuals)
    assert np.all(u >= low.mean(axis=0) - 0.02) and np.all(u <= high.mean(axis=0) + 0.02)
    assert checks.randomised
    assert checks.table().shape == (60, 3)

"""Counts, presence/absence and positive amounts: `fit` with non-Gaussian likelihoods, checked
against a dense Laplace computation, numerical integration and the data checks users hit."""

import warnings

import numpy as np
import pytest
from scipy import integrate, linalg, special, stats

from corvid.fit import ConvergenceWarning, LatentFit, fit
from corvid.fit.families import FAMILIES
from corvid.fit.laplace import LaplaceLatent
from corvid.fit.latent import LatentGaussian, mesh_edges
from corvid.fit.observations import observations
from corvid.fit.precision import FieldPrecision
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.locate import basis_matrix
from corvid.meshkin.mesh import MkMesh
from corvid.safety.errors import SafetyError

MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (7, 6))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
THETA = {"poisson": [np.log(0.4), np.log(0.8)], "binomial": [np.log(0.4), np.log(0.8)],
         "nbinomial": [np.log(0.4), np.log(0.8), np.log(2.0)],
         "gamma": [np.log(0.4), np.log(0.8), np.log(3.0)]}


def simulate(family, n=60, seed=3):
    """(loc, y, covariate, keyword arguments) for data of the family around a smooth surface."""
    rng = np.random.default_rng(seed)
    loc = rng.uniform(0.0, 1.0, (n, 2))
    x = rng.normal(size=n)
    eta = 0.5 + 0.3 * x + np.sin(3.0 * loc[:, 0])
    if family == "poisson":
        exposure = rng.uniform(0.5, 2.0, n)
        return loc, rng.poisson(exposure * np.exp(eta)).astype(float), x, {"exposure": exposure}
    if family == "binomial":
        trials = rng.integers(1, 5, n)
        return loc, rng.binomial(trials, special.expit(eta)).astype(float), x, {"trials": trials}
    if family == "nbinomial":
        return loc, rng.negative_binomial(2.0, 2.0 / (2.0 + np.exp(eta))).astype(float), x, {}
    return loc, rng.gamma(3.0, np.exp(eta) / 3.0), x, {}


def dense_laplace(family, loc, y, x, kw, theta, prior_sd):
    """Mode, sd, mean correction and Laplace log marginal by dense NumPy Newton."""
    kind = FAMILIES[family]()
    data = kind.data(y, kw.get("exposure"), kw.get("trials"))
    A = basis_matrix(MESH, loc).toarray()
    B = np.hstack([A, np.ones((len(y), 1)), x[:, None]])
    Q = MODEL.precision(theta[:2]).toarray()
    prior = linalg.block_diag(Q, np.diag(1.0 / np.asarray(prior_sd) ** 2))
    psi = theta[2] if len(theta) > 2 else None

    def log_density(latent):
        return np.sum(kind.log_density(data, B @ latent + data.offset, psi)) - 0.5 * latent @ prior @ latent

    latent = np.zeros(B.shape[1])
    for _ in range(100):
        d1, d2, _ = kind.derivatives(data, B @ latent + data.offset, psi)
        H = prior - B.T @ (d2[:, None] * B)
        step = np.linalg.solve(H, B.T @ d1 - prior @ latent)
        s = 1.0
        while log_density(latent + s * step) < log_density(latent):
            s /= 2.0
        latent = latent + s * step
        if step @ H @ step < 1e-24:
            break
    _, d2, d3 = kind.derivatives(data, B @ latent + data.offset, psi)
    H = prior - B.T @ (d2[:, None] * B)
    cov = np.linalg.inv(H)
    variance = np.einsum("ij,jk,ik->i", B, cov, B)
    correction = 0.5 * cov @ B.T @ (d3 * variance)
    log_marginal = (log_density(latent) + 0.5 * np.linalg.slogdet(prior)[1]
                    - 0.5 * np.linalg.slogdet(H)[1])
    return latent, np.sqrt(np.diag(cov)), correction, log_marginal


@pytest.mark.parametrize("family", ["poisson", "binomial", "nbinomial", "gamma"])
def test_at_given_theta_everything_equals_a_dense_laplace_computation(family):
    loc, y, x, kw = simulate(family)
    theta = THETA[family]
    prior_sd = [10.0, 3.0]
    result = fit(MODEL, loc, y, family=family, covariates=x, theta=theta, prior_fixed=prior_sd, **kw)
    mode, sd, correction, log_marginal = dense_laplace(family, loc, y, x, kw, theta, prior_sd)
    n = MESH.n
    assert isinstance(result, LatentFit) and result.family == family
    np.testing.assert_allclose(result.field_mode, mode[:n], rtol=1e-8, atol=1e-8 * np.abs(mode).max())
    np.testing.assert_allclose(result.fixed_mode, mode[n:], rtol=1e-8)
    np.testing.assert_allclose(result.field_sd, sd[:n], rtol=1e-8)
    np.testing.assert_allclose(result.fixed_sd, sd[n:], rtol=1e-8)
    assert result.log_marginal_likelihood == pytest.approx(log_marginal, rel=1e-10)
    # The means are the mode moved by the skewness correction, or the mode without it.
    np.testing.assert_allclose(result.fixed_mean, mode[n:] + correction[n:], rtol=1e-7)
    plain = fit(MODEL, loc, y, family=family, covariates=x, theta=theta, prior_fixed=prior_sd,
                mean_correction=False, **kw)
    np.testing.assert_array_equal(plain.field_mean, plain.field_mode)


@pytest.mark.parametrize("family", ["poisson", "binomial", "nbinomial", "gamma", "gaussian"])
def test_the_gradient_of_the_laplace_marginal_is_its_derivative(family):
    loc, y, x, kw = simulate(family if family != "gaussian" else "gamma")
    kind = FAMILIES[family]()
    data = observations(MESH, loc, y, x, True)
    latent = LaplaceLatent(FieldPrecision.of_model(MODEL), data, kind,
                           kind.data(y, kw.get("exposure"), kw.get("trials")),
                           mesh_edges(MESH.tv, MESH.n), [10.0, 3.0])
    theta = np.array(THETA.get(family, [np.log(0.4), np.log(0.8), np.log(0.5)]))
    analytic = latent.evaluate(theta).gradient
    h = 1e-5
    numeric = [(latent.evaluate(theta + h * e, gradient=False).log_likelihood
                - latent.evaluate(theta - h * e, gradient=False).log_likelihood) / (2 * h)
               for e in np.eye(theta.size)]
    np.testing.assert_allclose(analytic, numeric, rtol=1e-5, atol=1e-5)


def test_the_laplace_approximation_of_gaussian_data_is_the_exact_marginal():
    loc, y, x, _ = simulate("gamma")
    kind = FAMILIES["gaussian"]()
    data = observations(MESH, loc, y, x, True)
    args = (FieldPrecision.of_model(MODEL), data)
    theta = np.log([0.4, 0.8, 0.5])
    exact = LatentGaussian(*args, mesh_edges(MESH.tv, MESH.n), [10.0, 3.0]).evaluate(theta)
    laplace = LaplaceLatent(*args, kind, kind.data(y), mesh_edges(MESH.tv, MESH.n),
                            [10.0, 3.0]).evaluate(theta)
    assert laplace.log_likelihood == pytest.approx(exact.log_likelihood, rel=1e-12)
    np.testing.assert_allclose(laplace.gradient, exact.gradient, rtol=1e-8, atol=1e-8)


@pytest.mark.parametrize("family", ["poisson", "binomial", "nbinomial", "gamma"])
def test_fits_recover_the_covariate_and_report_the_family(family):
    loc, y, x, kw = simulate(family, n=300, seed=7)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ConvergenceWarning)
        result = fit(MODEL, loc, y, family=family, covariates=x, **kw)
    slope = result.fixed_mean[1]
    assert abs(slope - 0.3) < 3.0 * result.fixed_sd[1] + 0.05
    names = {"nbinomial": "size", "gamma": "phi"}
    assert list(result.hyperparameters) == ["range", "sigma"] + ([names[family]] if family in names else [])
    text = result.summary()
    assert f"({result.link} link)" in text and "x0" in text


@pytest.mark.parametrize("family", ["poisson", "binomial", "gamma"])
def test_response_scale_predictions_integrate_the_gaussian_posterior(family):
    loc, y, x, kw = simulate(family, n=120)
    result = fit(MODEL, loc, y, family=family, covariates=x, theta=THETA[family], **kw)
    where, covariate = np.array([[0.3, 0.4], [0.8, 0.1]]), np.array([0.5, -1.0])
    scale = {"exposure": 2.5} if family == "poisson" else {"trials": 4} if family == "binomial" else {}
    mean, sd = result.predict(where, covariate, scale="link")
    got_mean, got_sd = result.predict(where, covariate, scale="response", **scale)
    factor = 2.5 if family == "poisson" else 4.0 if family == "binomial" else 1.0
    inverse = special.expit if family == "binomial" else np.exp
    for m, s, gm, gs in zip(mean, sd, got_mean, got_sd):
        moment = [integrate.quad(lambda e: factor**k * inverse(e)**k * stats.norm.pdf(e, m, s),
                                 m - 12 * s, m + 12 * s, epsabs=0, epsrel=1e-12)[0] for k in (1, 2)]
        assert gm == pytest.approx(moment[0], rel=1e-9)
        assert gs == pytest.approx(np.sqrt(moment[1] - moment[0]**2), rel=1e-6)
    with pytest.raises(ValueError, match="does not apply to the gamma family"):
        fit(MODEL, *simulate("gamma")[:2], family="gamma", theta=THETA["gamma"]).predict(
            where, scale="response", exposure=2.0)


@pytest.mark.parametrize("mean", [37.0, 40.0, 800.0, -40.0])
@pytest.mark.parametrize("sd", [0.0, 0.1, 1.0])
def test_a_binomial_response_mean_stays_within_the_trials(mean, sd):
    """Quadrature weights that sum to 1 only to rounding once made a sure success's
    probability 1 + 2e-16."""
    got, spread = FAMILIES["binomial"]().response(np.array([mean]), np.array([sd]), np.array([4.0]))
    assert 0.0 <= got[0] <= 4.0 and spread[0] >= 0.0


def test_family_names_are_vetted_before_anything_else():
    loc, y, _, _ = simulate("poisson")
    assert fit(MODEL, loc, y, family=" Poisson ", theta=THETA["poisson"]).family == "poisson"
    with pytest.raises(SafetyError, match="unsupported family requested: os.system"):
        fit(MODEL, loc, y, family="os.system")
    with pytest.raises(ValueError, match="gaussian, poisson, binomial, nbinomial, gamma itself; the "
                                         "family 'weibullsurv' is fitted by the engine") as caught:
        fit(MODEL, loc, y, family="weibullsurv")
    assert not isinstance(caught.value, SafetyError)


COUNTS = np.array([0.0, 3.0, 1.0, 2.0, 5.0, 0.0, 1.0, 2.0])


@pytest.mark.parametrize("family, y, options, message", [
    ("poisson", COUNTS - np.eye(8)[[2, 5]].sum(axis=0) * 2, {}, r"negative in: 2 rows \(2, 5\)"),
    ("nbinomial", COUNTS + np.eye(8)[6] * 0.5, {}, "not whole numbers in: row 6"),
    ("binomial", COUNTS, {"trials": np.full(8, 4.0)}, r"must not exceed the trials, and do in: row 4"),
    ("binomial", COUNTS, {"trials": np.r_[0.0, np.full(7, 9.0)]}, "at least 1, and are not in: row 0"),
    ("binomial", COUNTS, {"trials": np.r_[9.0, 9.5, np.full(6, 9.0)]}, "whole numbers of at least 1"),
    ("poisson", COUNTS, {"exposure": np.r_[1.0, 1.0, -2.0, np.ones(5)]}, "positive, and is not in: row 2"),
    ("poisson", COUNTS, {"exposure": np.r_[np.ones(7), np.inf]}, "exposure must be finite"),
    ("gamma", COUNTS + 1.0 - np.eye(8)[3] * 3.0, {}, "gamma data must be positive, and are not in: row 3"),
    ("binomial", COUNTS, {"exposure": np.ones(8)}, "the binomial family takes none"),
    ("gaussian", COUNTS, {"exposure": np.ones(8)}, "the gaussian family takes none"),
    ("poisson", COUNTS, {"trials": np.ones(8)}, "trials are for the binomial family"),
])
def test_data_a_family_cannot_take_are_refused_naming_the_rows(family, y, options, message):
    loc = np.random.default_rng(0).uniform(0.1, 0.9, (8, 2))
    with pytest.raises(ValueError, match=message):
        fit(MODEL, loc, y, family=family, **options)


def degenerate_cases():
    rng = np.random.default_rng(11)
    loc = rng.uniform(0.0, 1.0, (80, 2))
    west = loc[:, 0] < 0.5
    huge = rng.poisson(2.0, 80).astype(float)
    huge[7] = 1e6
    return [("poisson", loc, np.zeros(80), {}), ("binomial", loc, np.ones(80), {}),
            ("binomial", loc, np.where(west, 1.0, rng.integers(0, 2, 80)), {}),
            ("poisson", loc, huge, {}), ("nbinomial", loc, np.zeros(80), {}),
            ("binomial", loc, np.full(80, 5.0), {"trials": np.full(80, 5.0)})]


@pytest.mark.parametrize("family, loc, y, options", degenerate_cases(),
                         ids=["all zeros", "all successes", "only successes in the west",
                              "one huge count", "nbinomial all zeros", "all of five trials"])
def test_degenerate_but_legal_data_fit_without_convergence_warnings(family, loc, y, options):
    with warnings.catch_warnings():
        warnings.simplefilter("error", ConvergenceWarning)
        warnings.simplefilter("error", RuntimeWarning)
        result = fit(MODEL, loc, y, family=family, **options)
    assert result.converged and np.all(np.isfinite(result.field_mean))
    assert np.isfinite(result.log_marginal_likelihood) and np.all(np.isfinite(result.fixed_sd))


def test_integration_over_theta_mixes_the_design_points():
    loc, y, x, kw = simulate("poisson", n=200)
    result = fit(MODEL, loc, y, family="poisson", covariates=x, integrate=True, **kw)
    assert result.integrated and result.design_theta.shape == (9, 2)
    assert result.design_weights.sum() == pytest.approx(1.0)
    mode = fit(MODEL, loc, y, family="poisson", covariates=x, **kw)
    assert np.all(result.field_sd >= 0.98 * mode.field_sd)


@pytest.mark.parametrize("power, u", [(-0.5, 1.0), (1.0, 2.0)])
def test_the_hyperparameter_priors_are_densities_with_the_stated_tail(power, u):
    from corvid.fit.families import PCRatePrior

    prior = PCRatePrior(u=u, a=0.05, power=power)
    density = lambda psi: np.exp(prior(psi)[0])  # noqa: E731
    assert integrate.quad(density, -60, 60, limit=400)[0] == pytest.approx(1.0, rel=1e-7)
    cut = np.log(u) / power  # where the quantity exp(power psi) equals u
    tail = integrate.quad(density, cut, 60, limit=400)[0] if power > 0 else \
        integrate.quad(density, -60, cut, limit=400)[0]
    assert tail == pytest.approx(0.05, rel=1e-7)


def test_the_default_fixed_effect_priors_do_not_depend_on_units():
    loc, y, x, kw = simulate("poisson")
    elevation = 1000.0 + 10.0 * x
    result = fit(MODEL, loc, y, family="poisson", covariates=elevation, theta=THETA["poisson"], **kw)
    expected_slope_sd = 10.0 / np.std(elevation)
    assert result.fixed_prior_sd[1] == pytest.approx(expected_slope_sd)
    assert result.fixed_prior_sd[0] == pytest.approx(
        10.0 * np.sqrt(1.0 + (np.mean(elevation) / np.std(elevation)) ** 2))
    in_km = fit(MODEL, loc, y, family="poisson", covariates=elevation / 1000.0,
                theta=THETA["poisson"], **kw)
    assert in_km.fixed_mean[1] == pytest.approx(1000.0 * result.fixed_mean[1], rel=1e-6)
    with pytest.raises(ValueError, match="prior_fixed must be one number or 2"):
        fit(MODEL, loc, y, family="poisson", covariates=x, prior_fixed=[1.0, 2.0, 3.0], **kw)


def test_a_range_short_for_the_mesh_is_reported():
    from corvid.fit import ResolutionWarning

    coarse = gfield2_pcmatern(MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (5, 5)),
                              prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    rng = np.random.default_rng(4)
    loc = rng.uniform(0.0, 1.0, (300, 2))
    y = np.sin(12.0 * loc[:, 0]) * np.cos(12.0 * loc[:, 1]) + 0.1 * rng.normal(size=300)
    with pytest.warns(ResolutionWarning, match=r"longest mesh edge in the region \(0.3536\).*range/8"):
        fit(coarse, loc, y)

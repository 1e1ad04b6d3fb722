"""The correction of the hyperparameters' posterior by the next terms of the Laplace
expansion, checked against the same terms from dense matrices and against the mode of the
corrected posterior found by a general-purpose optimiser."""

import warnings

import numpy as np
import pytest
from scipy import linalg, optimize, special

from corvid.fit import expansion, fit
from corvid.fit.families import FAMILIES
from corvid.fit.laplace import LaplaceLatent
from corvid.fit.latent import mesh_edges
from corvid.fit.observations import observations
from corvid.fit.precision import FieldPrecision
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.locate import basis_matrix
from corvid.meshkin.mesh import MkMesh

MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (7, 6))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
PRIOR_SD = [3.0, 2.0]
CASES = {"poisson": [np.log(0.4), np.log(0.8)], "binomial": [np.log(0.4), np.log(1.2)],
         "nbinomial": [np.log(0.4), np.log(0.8), np.log(2.0)],
         "gamma": [np.log(0.4), np.log(0.8), np.log(3.0)]}


def simulate(family, n=60, seed=5):
    rng = np.random.default_rng(seed)
    loc = rng.uniform(0.0, 1.0, (n, 2))
    x = rng.normal(size=n)
    eta = 0.3 * x + np.sin(3.0 * loc[:, 0])
    if family == "poisson":
        return loc, rng.poisson(np.exp(eta)).astype(float), x
    if family == "binomial":    # presence/absence: where the correction matters most
        return loc, rng.binomial(1, special.expit(eta)).astype(float), x
    if family == "nbinomial":
        return loc, rng.negative_binomial(2.0, 2.0 / (2.0 + np.exp(eta))).astype(float), x
    return loc, rng.gamma(3.0, np.exp(eta) / 3.0), x


def dense_terms(family, loc, y, x, theta):
    """1/8 Σ l4 v², 1/8 (l3 v)ᵀ V (l3 v) and 1/12 Σ l3 l3 V³ from dense matrices, at the
    latent mode found by dense Newton."""
    kind = FAMILIES[family]()
    data = kind.data(y)
    B = np.hstack([basis_matrix(MESH, loc).toarray(), np.ones((y.size, 1)), x[:, None]])
    prior = linalg.block_diag(MODEL.precision(theta[:2]).toarray(),
                              np.diag(1.0 / np.square(PRIOR_SD)))
    psi = theta[2] if len(theta) > 2 else None
    latent = np.zeros(B.shape[1])
    for _ in range(50):
        d1, d2, _ = kind.derivatives(data, B @ latent, psi)
        H = prior - B.T @ (d2[:, None] * B)
        latent = latent + np.linalg.solve(H, B.T @ d1 - prior @ latent)
    _, d2, d3 = kind.derivatives(data, B @ latent, psi)
    d4 = kind.fourth(data, B @ latent, psi)
    V = B @ np.linalg.solve(prior - B.T @ (d2[:, None] * B), B.T)
    v = np.diag(V)
    return np.array([d4 @ v**2 / 8, (d3 * v) @ V @ (d3 * v) / 8, d3 @ V**3 @ d3 / 12])


def latent_model(family, loc, y, x):
    kind = FAMILIES[family]()
    data = observations(MESH, loc, y, x, True)
    return LaplaceLatent(FieldPrecision.of_model(MODEL), data, kind, kind.data(y),
                         mesh_edges(MESH.tv, MESH.n), np.array(PRIOR_SD))


@pytest.mark.parametrize("family", ["poisson", "binomial", "nbinomial", "gamma", "gaussian"])
def test_each_derivative_is_the_slope_of_the_one_before(family):
    kind = FAMILIES[family]()
    y = {"gamma": np.array([0.3, 1.0, 4.0]), "gaussian": np.array([-1.0, 0.0, 2.0])}.get(
        family, np.array([0.0, 1.0, 1.0]))
    data = kind.data(y)
    eta, psi, h = np.array([-1.5, 0.2, 1.1]), (0.4 if kind.hyperparameter else None), 1e-5
    up, down = kind.derivatives(data, eta + h, psi), kind.derivatives(data, eta - h, psi)
    np.testing.assert_allclose((up[2] - down[2]) / (2 * h), kind.fourth(data, eta, psi),
                               rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose((up[1] - down[1]) / (2 * h), kind.derivatives(data, eta, psi)[2],
                               rtol=1e-6, atol=1e-9)


@pytest.mark.parametrize("family", list(CASES))
def test_the_expansion_equals_its_terms_from_dense_matrices(family):
    loc, y, x = simulate(family)
    theta = np.array(CASES[family])
    model = latent_model(family, loc, y, x)
    value = model.expansion(model.evaluate(theta, gradient=False))
    assert value == pytest.approx(dense_terms(family, loc, y, x, theta).sum(), rel=1e-8)


def test_the_pairwise_term_from_a_sample_of_rows_is_unbiased(monkeypatch):
    loc, y, x = simulate("binomial")
    theta = np.array(CASES["binomial"])
    terms = dense_terms("binomial", loc, y, x, theta)
    monkeypatch.setattr(expansion, "PAIR_ROWS", 15)   # of 60 rows
    pairwise = []
    for seed in range(40):
        monkeypatch.setattr(expansion, "SEED", seed)
        model = latent_model("binomial", loc, y, x)
        pairwise.append(model.expansion(model.evaluate(theta, gradient=False)) - terms[:2].sum())
    assert np.std(pairwise) > 0.0
    assert abs(np.mean(pairwise) - terms[2]) < 4.0 * np.std(pairwise) / np.sqrt(len(pairwise))


@pytest.mark.parametrize("family", ["binomial", "nbinomial"])
def test_the_fit_finds_the_mode_of_the_corrected_posterior(family, monkeypatch):
    loc, y, x = simulate(family)
    options = dict(family=family, covariates=x, prior_fixed=PRIOR_SD)

    def corrected(theta):
        return (fit(MODEL, loc, y, theta=theta, **options).log_posterior
                + dense_terms(family, loc, y, x, theta).sum())

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")    # the mesh is coarse for the range
        result = fit(MODEL, loc, y, **options)
        best = optimize.minimize(lambda t: -corrected(t), result.theta, method="Nelder-Mead",
                                 options=dict(xatol=1e-4, fatol=1e-8)).x
        monkeypatch.setattr("corvid.fit.fitting.expansion_slope", lambda p, t, r: np.zeros(t.size))
        laplace = fit(MODEL, loc, y, **options)
    sd = np.sqrt(np.diag(result.theta_cov))
    assert np.max(np.abs(result.theta - best) / sd) < 0.04
    assert np.max(np.abs(laplace.theta - best) / sd) > 0.05

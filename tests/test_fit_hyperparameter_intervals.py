"""Hyperparameter intervals and sds from their marginal posteriors: a Gaussian skewed along
each principal axis by the log posterior's own fall, checked against closed forms, Monte
Carlo, and the fit's own log posterior integrated on a grid."""

import warnings

import numpy as np
import pytest
from scipy import stats

from corvid.fit import fit
from corvid.fit.field_prior import pc_matern_prior
from corvid.fit.marginals import axis_scales, marginal_summary
from corvid.fit.mode import LogPosterior
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh


def split_log_density(z, scales):
    """log of prod_k split normal(z_k; scales[k]) relative to z = 0."""
    side = np.where(z < 0.0, scales[:, 0], scales[:, 1])
    return float(-0.5 * np.sum((z / side) ** 2))


@pytest.mark.parametrize("scales", [np.array([[1.0, 1.0], [1.0, 1.0]]),
                                    np.array([[0.6, 1.8], [1.3, 0.7], [1.0, 2.5]])])
def test_the_axis_scales_of_a_product_of_split_normals_are_its_own(scales):
    dim = scales.shape[0]
    found = axis_scales(lambda z: split_log_density(z, scales), dim)
    np.testing.assert_allclose(found, scales, rtol=1e-12)


def test_known_axial_values_are_first_guesses_that_save_evaluations():
    scales = np.array([[0.6, 1.8], [1.3, 0.7]])
    calls = []

    def log_posterior(z):
        calls.append(z)
        return split_log_density(z, scales)

    radius = 1.5
    known = {tuple(sign * radius * e): split_log_density(sign * radius * e, scales)
             for e in np.eye(2) for sign in (-1.0, 1.0)}
    np.testing.assert_allclose(axis_scales(log_posterior, 2, known), scales, rtol=1e-12)
    assert len(calls) == 4      # one confirming evaluation per side


def test_a_side_that_cannot_be_evaluated_is_measured_further_in():
    from corvid.fit.factor import NotPositiveDefiniteError

    def log_posterior(z):
        if z[0] < -1.5:
            raise NotPositiveDefiniteError("out of range")
        return split_log_density(z, np.array([[0.5, 1.0]]))

    np.testing.assert_allclose(axis_scales(log_posterior, 1), [[0.5, 1.0]], rtol=1e-12)


def test_a_gaussian_marginal_is_the_lognormal():
    mode, weights = 0.3, np.array([0.4, -0.3])
    (lower, upper), sd = marginal_summary(mode, weights, np.ones((2, 2)))
    s = 0.5        # sqrt(0.4² + 0.3²)
    np.testing.assert_allclose([lower, upper], np.exp(mode + np.array([-1, 1]) * 1.959964 * s),
                               rtol=1e-4)
    lognormal = stats.lognorm(s, scale=np.exp(mode))
    assert sd == pytest.approx(lognormal.std(), rel=1e-4)


def test_a_sum_of_split_normals_has_the_quantiles_and_sd_of_its_draws():
    rng = np.random.default_rng(0)
    mode, weights = -1.0, np.array([0.5, -0.2, 0.3])
    scales = np.array([[1.8, 0.6], [1.2, 0.7], [0.9, 2.0]])
    # p(z) ∝ exp(-z²/(2 s²)), s by the side: continuous at 0, so each side's mass goes as s
    below = rng.uniform(size=(400_000, 3)) < scales[:, 0] / scales.sum(axis=1)
    size = np.abs(rng.normal(size=below.shape))
    z = np.where(below, -size * scales[:, 0], size * scales[:, 1])
    draws = np.exp(mode + z @ weights)
    (lower, upper), sd = marginal_summary(mode, weights, scales)
    np.testing.assert_allclose([lower, upper], np.quantile(draws, [0.025, 0.975]), rtol=1e-2)
    assert sd == pytest.approx(draws.std(), rel=1e-2)


MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (9, 9))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))


@pytest.mark.parametrize("integrate", [False, True])
def test_each_axis_side_is_scaled_where_the_fits_own_log_posterior_falls(integrate):
    """Gaussian data (the log posterior exact, no expansion's tilt): along each principal
    axis of theta_cov, the fit's own log posterior at Z_REF times a side's scale has fallen
    as far as a standard Gaussian at Z_REF sd."""
    from corvid.fit.latent import LatentGaussian, mesh_edges
    from corvid.fit.marginals import FALL, Z_REF
    from corvid.fit.observations import observations
    from corvid.fit.precision import FieldPrecision

    rng = np.random.default_rng(4)
    loc = rng.uniform(0.0, 1.0, (60, 2))
    y = np.sin(3.0 * loc[:, 0]) + 0.4 * rng.normal(size=60)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = fit(MODEL, loc, y, integrate=integrate)
    scales = result.theta_scales
    assert scales.shape == (3, 2) and not np.allclose(scales, 1.0, atol=0.05)
    latent = LatentGaussian(FieldPrecision.of_model(MODEL), observations(MESH, loc, y),
                            mesh_edges(MESH.tv, MESH.n), result.fixed_prior_sd)
    family = result._family
    field_prior = pc_matern_prior(MODEL.prior_range, MODEL.prior_sigma)

    def log_prior(theta):    # theta = (log range, log sigma, log noise sd)
        field, field_slope = field_prior(theta[:2])
        noise, noise_slope = family.log_prior(theta[2:])
        return field + noise, np.r_[field_slope, noise_slope]

    posterior = LogPosterior(latent, log_prior)
    eigenvalues, vectors = np.linalg.eigh(result.theta_cov)
    root = vectors * np.sqrt(eigenvalues)
    centre = posterior(result.theta, gradient=False)[0]
    for k in range(3):
        for side, sign in enumerate((-1.0, 1.0)):
            point = result.theta + root[:, k] * sign * Z_REF * scales[k, side]
            fall = centre - posterior(point, gradient=False)[0]
            assert fall == pytest.approx(FALL, rel=0.1), (k, side, scales)


def test_at_a_given_theta_there_is_no_interval():
    rng = np.random.default_rng(4)
    loc = rng.uniform(0.0, 1.0, (30, 2))
    result = fit(MODEL, loc, rng.normal(size=30), theta=np.log([0.3, 1.0, 0.5]))
    assert result.theta_scales is None
    assert all(np.isnan(h.lower) and np.isnan(h.std_error) for h in result.hyperparameters.values())

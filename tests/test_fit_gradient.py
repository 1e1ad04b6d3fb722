"""The fit's analytic gradient against differences of its own log marginal likelihood, on
both routes to log |Q|."""

import numpy as np
import pytest

from corvid.fit.latent import LatentGaussian, mesh_edges
from corvid.fit.observations import fixed_prior_sd, observations
from corvid.fit.precision import FieldPrecision
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh

MESH = MkMesh.disk(radius=1.0, rings=8)
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
RNG = np.random.default_rng(11)
ANGLE, RADIUS = RNG.uniform(0, 2 * np.pi, 200), np.sqrt(RNG.uniform(0, 0.8, 200))
LOC = np.column_stack([RADIUS * np.cos(ANGLE), RADIUS * np.sin(ANGLE)])
X = RNG.normal(size=200)
Y = np.cos(2 * LOC[:, 0]) + 0.5 * X + 0.4 * RNG.normal(size=200)


def latent(via_k, field=None):
    data = observations(MESH, LOC, Y, X, True)
    lg = LatentGaussian(field or FieldPrecision.of_model(MODEL), data,
                        mesh_edges(MESH.tv, MESH.n), fixed_prior_sd(data))
    if via_k is not None:
        lg.via_k = via_k
    return lg


@pytest.mark.parametrize("via_k", [True, False], ids=["log|Q| through K", "log|Q| through Q"])
@pytest.mark.parametrize("theta", [np.log([0.3, 1.0, 0.4]), np.log([1.5, 0.2, 2.0]),
                                   np.log([0.05, 3.0, 0.01])])
def test_gradient_matches_central_differences(via_k, theta):
    lg = latent(via_k)
    gradient = lg.evaluate(theta).gradient
    h = 1e-5
    value = lambda t: lg.evaluate(t, gradient=False).log_likelihood
    differences = [(value(theta + s) - value(theta - s)) / (2 * h) for s in np.eye(3) * h]
    np.testing.assert_allclose(gradient, differences, rtol=1e-5, atol=1e-4)


def test_both_routes_to_log_q_give_one_likelihood():
    theta = np.log([0.4, 0.9, 0.3])
    assert latent(True).evaluate(theta).log_likelihood == pytest.approx(
        latent(False).evaluate(theta).log_likelihood, rel=1e-12)


def test_a_model_without_the_k_structure_takes_the_route_through_q():
    field = FieldPrecision.of_model(MODEL)
    perturbed = FieldPrecision(field.M0, field.M1, field.M2 * 1.01, MODEL.B0, MODEL.B1, MODEL.B2)
    assert latent(None).via_k and not latent(None, perturbed).via_k


def test_a_model_evaluated_many_times_gives_each_theta_a_fresh_models_gradient():
    # The climb interleaves trial values with gradients; caches must follow the factors,
    # whichever memory later factors reuse.
    lg = latent(True)
    rng = np.random.default_rng(5)
    for theta in np.log([0.4, 0.9, 0.3]) + 0.3 * rng.normal(size=(12, 3)):
        lg.evaluate(theta + 0.01, gradient=False)
        reused = lg.evaluate(theta).gradient
        np.testing.assert_allclose(reused, latent(True).evaluate(theta).gradient, rtol=1e-9)

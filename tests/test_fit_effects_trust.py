"""The fit's trust rules reach the effects: their priors are judged as the static field's
before any work, and every hyperparameter, the effects' included, gets its interval from
the marginal posterior, in its own units (a correlation within (-1, 1))."""

import warnings

import numpy as np
import pytest

from corvid.fit import Group, Smooth, SpaceTime, Varying, fit
from corvid.fit.marginals import marginal_summary
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh

MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (6, 5))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
RNG = np.random.default_rng(11)
LOC = RNG.uniform(0.02, 0.98, (80, 2))
YEAR = RNG.choice([1, 2, 3], 80)
VESSEL = RNG.choice(["a", "b", "c", "d"], 80)
DEPTH = RNG.uniform(0.0, 5.0, 80)
TEMP = RNG.normal(size=80)
Y = np.sin(3 * LOC[:, 0]) + 0.3 * YEAR + 0.3 * (VESSEL == "a") + 0.3 * RNG.normal(size=80)


@pytest.mark.parametrize("effect, message", [
    (SpaceTime(YEAR, prior_range=(1e-300, 0.5)),
     r"effect 'st': prior_range = \(1e-300, 0.5\) puts the prior median of the range at "
     r"1e-300, .* times the mesh.s extent"),
    (Varying("temp", TEMP, prior_range=(1e9, 0.5)), r"effect 'temp': prior_range = .*infinity"),
    (Varying("temp", TEMP * 1e-3, prior_sigma=(1e9, 0.5)),
     r"effect 'temp': prior_sigma = .*field's sd.*root mean square of 'temp'"),
    (Smooth("depth", DEPTH, prior_range=(1e6, 0.5)),
     r"effect 'depth': prior_range = .*the knots' span"),
    (Group("vessel", VESSEL, prior_sd=(1e-12, 0.5)),
     r"effect 'vessel': prior_sd = .*group's sd.*the data's scale"),
])
def test_effect_priors_far_from_the_mesh_or_the_data_are_refused_up_front(effect, message):
    with pytest.raises(ValueError, match=message):
        fit(MODEL, LOC, Y, effects=[effect])


def test_a_smooth_range_is_judged_by_its_own_span_not_the_mesh():
    # a span of 5·10⁴ covariate units, the mesh 1.4 across: the default prior, median half
    # the span, would be far beyond the mesh's 100 times, and is the smooth's own
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = fit(MODEL, LOC, Y, effects=[Smooth("depth", 1e4 * DEPTH, knots=5)])
    assert result.hyperparameters["depth_range"].estimate > 1e3


def test_every_hyperparameter_has_its_marginal_interval_in_its_own_units():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = fit(MODEL, LOC, Y, effects=[SpaceTime(YEAR, "ar1"), Group("vessel", VESSEL)])
    names = ["range", "sigma", "noise_sd", "st_range", "st_sigma", "st_rho", "vessel_sd"]
    assert list(result.hyperparameters) == names
    assert result.theta_scales.shape == (7, 2, 3) and not result.theta_given
    for name, h in result.hyperparameters.items():
        assert h.lower < h.estimate < h.upper and h.std_error > 0, name
    rho = result.hyperparameters["st_rho"]
    assert -1.0 < rho.lower and rho.upper < 1.0
    assert rho.estimate == pytest.approx(np.tanh(result.theta[5] / 2))
    given = fit(MODEL, LOC, Y, effects=[SpaceTime(YEAR, "ar1"), Group("vessel", VESSEL)],
                theta=result.theta)
    assert given.theta_given and given.theta_scales is None
    assert all(np.isnan(h.lower) for h in given.hyperparameters.values())
    assert "at the given theta" in given.summary()


def test_a_correlation_marginal_is_the_map_of_its_skewed_working_marginal():
    """rho = tanh(theta_rho / 2), theta_rho's marginal skewed: rho's quantiles are the map
    of theta_rho's, and its sd at most half theta_rho's (the map's slope is at most 1/2)."""
    scales = np.array([[1.3, 1.6, 1.8], [0.8, 0.7, 0.7]])
    (low, high), sd = marginal_summary(1.2, 0.9, scales, natural=lambda t: t)
    (lower, upper), rho_sd = marginal_summary(1.2, 0.9, scales,
                                              natural=lambda t: np.tanh(0.5 * t))
    np.testing.assert_allclose([lower, upper], np.tanh(0.5 * np.array([low, high])), rtol=1e-12)
    assert -1.0 < lower < np.tanh(0.6) < upper < 1.0
    assert 0.0 < rho_sd < 0.5 * sd

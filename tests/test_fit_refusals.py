"""What `fit` refuses before it starts, in words a user can act on: data without scatter
for a family that estimates its scale from the scatter, and priors too far from the data's
scale or the mesh's extent; and what it still fits soundly."""

import warnings

import numpy as np
import pytest

from corvid.fit import fit
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh

MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (7, 7))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
RNG = np.random.default_rng(5)
LOC = RNG.uniform(0.0, 1.0, (80, 2))
X = RNG.normal(size=80)
NOISE = RNG.normal(size=80)


def quiet_fit(*args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit(*args, **kwargs)


@pytest.mark.parametrize("family, y, covariates, message", [
    ("gaussian", np.full(80, 3.0), None, r"y is the same in every row \(3\).*noise sd"),
    ("gaussian", 2.0 - 0.5 * X, X, r"y is an exact linear combination of the fixed effects "
                                   r"\(intercept, x0\)"),
    ("gamma", np.full(80, 3.0), None, r"y is the same in every row \(3\).*gamma family's phi"),
    ("gamma", np.exp(1.0 + X), X, r"the log of y is an exact linear combination"),
])
def test_data_without_scatter_are_refused_when_their_scale_is_estimated(family, y, covariates,
                                                                        message):
    with pytest.raises(ValueError, match=message):
        fit(MODEL, LOC, y, family=family, covariates=covariates)


def test_data_without_scatter_fit_at_a_given_theta_and_say_so():
    theta = np.log([0.3, 0.5, 0.1])
    result = quiet_fit(MODEL, LOC, np.full(80, 3.0), theta=theta)
    np.testing.assert_allclose(result.fixed_mean, [3.0], atol=1e-6)
    assert "at the given theta" in result.summary()


def test_an_estimate_without_curvature_is_not_called_a_given_theta():
    # Poisson zeros: legal data, found at the mode
    result = quiet_fit(MODEL, LOC, np.zeros(80), family="poisson")
    assert "at the mode" in result.summary()
    assert "given theta" not in result.summary()


@pytest.mark.parametrize("family, y", [
    ("poisson", np.full(80, 3.0)), ("nbinomial", np.full(80, 3.0)),
    ("binomial", np.ones(80)), ("binomial", np.zeros(80)), ("poisson", np.zeros(80)),
])
def test_constant_counts_have_a_proper_posterior_and_fit(family, y):
    """Counts carry their own sampling noise: constant counts are data, not a degenerate
    case. The intercept is the log of the rate (Poisson) or far on the side of the
    outcome (binomial), and the field's sd is small."""
    result = quiet_fit(MODEL, LOC, y, family=family)
    assert np.isfinite(result.log_marginal_likelihood) and result.log_marginal_likelihood < 0
    assert result.converged
    if family != "binomial" and y[0] > 0:
        assert abs(result.fixed_mean[0] - np.log(3.0)) < 3 * result.fixed_sd[0]
        assert result.hyperparameters["sigma"].estimate < 0.3
    else:
        assert np.sign(result.fixed_mean[0]) == (1 if y[0] > 0 else -1)


@pytest.mark.parametrize("prior_fixed, message", [
    (1e200, r"prior_fixed is 1e\+200 for 'intercept', .* times its default prior sd"
            r".*improper in all but name"),
    (1e-200, r"prior_fixed is 1e-200 for 'intercept'.*pins the effect at zero"),
    ([1.0, 1e-30], r"prior_fixed is 1e-30 for 'x0'"),
])
@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_fixed_effect_prior_sds_far_from_the_default_are_refused(family, prior_fixed, message):
    y = 1.0 + X + 0.3 * NOISE if family == "gaussian" else RNG.poisson(np.exp(0.3 * X)).astype(float)
    with pytest.raises(ValueError, match=message):
        fit(MODEL, LOC, y, family=family, covariates=X, prior_fixed=prior_fixed)


def test_fixed_effect_prior_sds_within_the_span_are_taken():
    y = RNG.poisson(np.exp(0.3 * X)).astype(float)
    result = quiet_fit(MODEL, LOC, y, family="poisson", covariates=X, prior_fixed=[1e4, 1e-3])
    np.testing.assert_array_equal(result.fixed_prior_sd, [1e4, 1e-3])
    assert abs(result.fixed_mean[1]) < 0.01      # the tight prior holds the slope at zero


@pytest.mark.parametrize("family, option, value, message", [
    ("gaussian", "prior_range", (1e-300, 0.5), r"prior_range = \(1e-300, 0.5\) puts the prior "
     r"median of the range at 1e-300, .* times the mesh.s extent, .*towards zero; "
     r"e.g. prior_range=\(0.1414, 0.5\)"),
    ("poisson", "prior_range", (1e9, 0.5), r"prior_range = .*towards infinity"),
    ("poisson", "prior_range", (1.0, 1e-300), r"prior_range = \(1.0, 1e-300\)"),
    ("gaussian", "prior_sigma", (1e-12, 0.5), r"prior_sigma = .*field's sd.*the data's scale"),
    ("poisson", "prior_sigma", (1e9, 0.5), r"prior_sigma = .*1, the unit of the link scale"),
])
def test_field_priors_far_from_the_mesh_or_the_data_are_refused_up_front(family, option, value,
                                                                         message):
    priors = {"prior_range": (0.3, 0.5), "prior_sigma": (1.0, 0.1), option: value}
    model = gfield2_pcmatern(MESH, **priors)
    y = 1.0 + X + 0.3 * NOISE if family == "gaussian" else RNG.poisson(np.exp(0.3 * X)).astype(float)
    with pytest.raises(ValueError, match=message):
        fit(model, LOC, y, family=family, covariates=X)


@pytest.mark.parametrize("family, options, message", [
    ("gaussian", {"prior_noise": (1e-9, 0.01)}, r"prior_noise = \(1e-09, 0.01\) puts the prior "
     r"median of the noise sd"),
    ("nbinomial", {"prior_dispersion": (1e9, 0.01)}, r"prior_dispersion = .*overdispersion "
     r"1/sqrt\(size\)"),
    ("gamma", {"prior_dispersion": (1e-9, 0.5)}, r"overdispersion 1/sqrt\(phi\)"),
])
def test_family_priors_far_from_the_data_are_refused(family, options, message):
    y = {"gaussian": 1.0 + X + 0.3 * NOISE, "nbinomial": RNG.poisson(np.exp(0.3 * X)).astype(float),
         "gamma": np.exp(0.3 * X + 0.2 * RNG.normal(size=80))}[family]
    with pytest.raises(ValueError, match=message):
        fit(MODEL, LOC, y, family=family, covariates=X, **options)

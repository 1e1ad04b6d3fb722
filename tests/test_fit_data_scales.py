"""fit_gaussian's data checks at any scale of y and the covariates.

Multiplying a covariate by c divides its effect by c and changes nothing else, prior
included (its sd follows rms(y) / rms(x)); multiplying y by c multiplies the field, the
effects and both sds by c. Data beyond what the fit's floating-point arithmetic can hold
are refused saying so, never called collinear or zero, and no data is refused as such.
"""

import numpy as np
import pytest

from corvid.fit import fit_gaussian
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh

THETA = np.log([0.35, 0.8, 0.3])  # range, sigma, noise sd
MESH = MkMesh.regular_grid((0.0, 1.5), (0.0, 1.0), (16, 11))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
RNG = np.random.default_rng(0)
LOC = RNG.uniform([0.01, 0.01], [1.49, 0.99], (150, 2))
X = np.c_[RNG.normal(size=150), LOC[:, 1] ** 2]
Y = np.sin(3 * LOC[:, 0]) + X @ [0.7, -1.2] + 2.0 + 0.3 * RNG.normal(size=150)
REFERENCE = fit_gaussian(MODEL, LOC, Y, covariates=X, theta=THETA)


def assert_close(actual, expected, rtol=1e-8):
    np.testing.assert_allclose(actual, expected, rtol=rtol, atol=0.0)


@pytest.mark.parametrize("scale", [1e-120, 1e-30, 1e30, 1e120])
def test_a_covariate_in_other_units_changes_its_effect_alone(scale):
    fit = fit_gaussian(MODEL, LOC, Y, covariates=X * [scale, 1.0], theta=THETA)
    unscale = np.array([1.0, scale, 1.0])
    assert_close(fit.fixed_mean * unscale, REFERENCE.fixed_mean)
    assert_close(fit.fixed_sd * unscale, REFERENCE.fixed_sd)
    assert_close(fit.fixed_prior_sd * unscale, REFERENCE.fixed_prior_sd)
    assert_close(fit.field_mean, REFERENCE.field_mean)
    assert fit.log_marginal_likelihood == pytest.approx(REFERENCE.log_marginal_likelihood, rel=1e-10)


@pytest.mark.parametrize("scale", [1e-120, 1e120])
def test_y_in_other_units_scales_every_estimate(scale):
    theta = THETA + [0.0, np.log(scale), np.log(scale)]
    fit = fit_gaussian(MODEL, LOC, Y * scale, covariates=X, theta=theta)
    assert_close(fit.fixed_mean / scale, REFERENCE.fixed_mean)
    assert_close(fit.fixed_sd / scale, REFERENCE.fixed_sd)
    assert_close(fit.field_sd / scale, REFERENCE.field_sd)
    assert np.all(np.isfinite(fit.fixed_prior_sd)) and np.all(fit.fixed_prior_sd > 0.0)


@pytest.mark.parametrize("y, covariates, message", [
    (Y, X * 1e200, r"fixed effect 'x0' is too large for the fit's arithmetic: its root mean square "
                   r"9\.\d+e\+199 over 150 rows"),
    (Y, X * 1e-200, r"fixed effect 'x0' is too small for the fit's arithmetic: its root mean square "
                    r"9\.\d+e-201"),
    (Y * 1e200, X, r"^y is too large for the fit's arithmetic"),
    (Y * 1e-200, X, r"^y is too small for the fit's arithmetic"),
    (Y * 1e100, X * 1e-100, r"fixed effect 'x0' and y differ too much in scale \(root mean squares "
                            r"9\.\d+e-101 and 2e\+100\)"),
    (Y, np.c_[X[:, 0], 3.0 * X[:, 0]] * 1e200, r"collinear: 'x1' is a combination of 'x0'"),
    (Y, np.c_[X[:, 0], 3.0 * X[:, 0]] * 1e-200, r"collinear: 'x1' is a combination of 'x0'"),
    (Y, np.c_[X[:, 0] * 1e200, np.zeros(150)], r"fixed effect 'x1' is zero in every row"),
    (np.empty(0), None, r"there are no observations: y is empty"),
], ids=["covariate 1e200", "covariate 1e-200", "y 1e200", "y 1e-200", "y and covariates far apart",
        "collinear at 1e200", "collinear at 1e-200", "zero next to 1e200", "no observations"])
def test_data_beyond_floating_point_are_refused_with_the_true_reason(y, covariates, message):
    loc = LOC[:len(y)]
    with pytest.raises(ValueError, match=message):
        fit_gaussian(MODEL, loc, y, covariates=covariates, theta=THETA)

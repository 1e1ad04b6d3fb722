"""The field's PC prior: P(range < r0) = p as the user writes it, in the density and in fits."""

import numpy as np
import pytest
from scipy import integrate, stats

from corvid.fit import fit
from corvid.fit.field_prior import pc_matern_prior
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh
from corvid.sampling import gmrf_sample


@pytest.mark.parametrize("dim", [1, 2])
@pytest.mark.parametrize("r0, p", [(2.0, 0.01), (0.5, 0.5), (30.0, 0.95)])
def test_the_range_has_the_probability_below_r0_that_the_user_wrote(dim, r0, p):
    prior = pc_matern_prior((r0, p), (1.0, 0.01), dim=dim)
    sigma_part = np.log(prior.sigma_rate) - prior.sigma_rate   # at log sigma = 0

    def density(log_range):
        return np.exp(prior([log_range, 0.0])[0] - sigma_part)

    below, _ = integrate.quad(density, -60.0, np.log(r0), limit=200)
    total, _ = integrate.quad(density, -60.0, 60.0, limit=400)
    assert total == pytest.approx(1.0, rel=1e-7)
    assert below == pytest.approx(p, rel=1e-7)


def test_in_two_dimensions_one_over_the_range_is_exponential():
    prior = pc_matern_prior((3.0, 0.2), (2.0, 0.1))
    rate = -np.log(0.2) * 3.0
    for log_range, log_sigma in [(-1.0, 0.3), (0.5, -2.0), (4.0, 1.0)]:
        r, s = np.exp(log_range), np.exp(log_sigma)
        # range ~ inverse gamma(1, rate), sigma ~ exponential(-ln 0.1 / 2), on the log scale
        expected = (stats.invgamma(1.0, scale=rate).logpdf(r) + log_range
                    + stats.expon(scale=2.0 / -np.log(0.1)).logpdf(s) + log_sigma)
        value, gradient = prior([log_range, log_sigma])
        assert value == pytest.approx(expected, rel=1e-12)
        h = 1e-6
        numeric = [(prior(np.add([log_range, log_sigma], e))[0] - prior(np.subtract([log_range, log_sigma], e))[0])
                   / (2 * h) for e in np.eye(2) * h]
        np.testing.assert_allclose(gradient, numeric, rtol=1e-6, atol=1e-8)


@pytest.mark.parametrize("pair", [(0.0, 0.5), (-1.0, 0.5), (1.0, 0.0), (1.0, 1.0), (np.inf, 0.5),
                                  (1.0,), "ab"])
def test_a_prior_that_says_nothing_is_refused_by_name(pair):
    with pytest.raises(ValueError, match="prior_range"):
        pc_matern_prior(pair, (1.0, 0.01))


def test_informative_range_priors_move_the_estimate_the_way_the_user_asked():
    mesh = MkMesh.regular_grid((0.0, 10.0), (0.0, 10.0), (21, 21))
    truth = gfield2_pcmatern(mesh, prior_range=(3.0, 0.5), prior_sigma=(1.0, 0.01))
    field = gmrf_sample(truth.precision(np.log([3.0, 1.0])), rng=np.random.default_rng(3))
    rng = np.random.default_rng(4)
    loc = rng.uniform(0.2, 9.8, (60, 2))
    from corvid.meshkin.locate import basis_matrix

    y = basis_matrix(mesh, loc) @ field + 0.5 * rng.standard_normal(60)
    ranges = {}
    for p in (0.01, 0.5, 0.99):   # P(range < 3) = p: "longer than 3" ... "shorter than 3"
        model = gfield2_pcmatern(mesh, prior_range=(3.0, p), prior_sigma=(1.0, 0.01))
        ranges[p] = fit(model, loc, y).hyperparameters["range"].estimate
    assert ranges[0.01] > ranges[0.5] > ranges[0.99] and ranges[0.01] > 1.3 * ranges[0.99], ranges

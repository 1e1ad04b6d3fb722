"""Hyperparameter intervals and sds from their marginal posteriors, measured along each
one's ridge: against skewed and bent two-dimensional posteriors whose marginals are known
in closed form or by dense quadrature, and against the fit's own log posterior."""

import warnings

import numpy as np
import pytest
from scipy import optimize, special, stats

from corvid.fit import fit
from corvid.fit.factor import NotPositiveDefiniteError
from corvid.fit.marginals import hyperparameter_marginals, marginal_summary, ridge_scales
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh


class Conditional:
    """log p(x1) + log N(x2; m(x1), s²), each piece with its derivative, on arrays."""

    def __init__(self, first, mean, s):
        self.first, self.mean, self.s = first, mean, s

    def __call__(self, x):
        x1, x2 = x
        value, slope = self.first(x1)
        m, dm = self.mean(x1)
        r = (x2 - m) / self.s**2
        return value - 0.5 * r * (x2 - m), np.array([slope + r * dm, -r])


def normal(x):
    return -0.5 * x**2, -x


def log_gamma(a):      # x = log G, G ~ Gamma(a): its quantiles are log of Gamma's
    return lambda x: (a * x - np.exp(x), a - np.exp(x))


def skew_normal(alpha):
    def first(x):
        hazard = np.exp(stats.norm.logpdf(alpha * x) - special.log_ndtr(alpha * x))
        return -0.5 * x**2 + special.log_ndtr(alpha * x), -x + alpha * hazard
    return first


def line(rho):
    return lambda x: (rho * x, rho + 0 * x)


def bend(b):
    """b softplus(x1): x2 pinned where x1 is low and following it where it is high, as log
    sigma follows log range once the data cannot tell a field's range."""
    return lambda x: (b * np.logaddexp(0.0, x), b * special.expit(x))


POSTERIORS = {
    "gaussian": Conditional(normal, line(0.6), 0.5),
    "log-gamma a=1": Conditional(log_gamma(1.0), line(-0.8), 1.0),
    "log-gamma a=3": Conditional(log_gamma(3.0), line(1.0), 0.4),
    "skew-normal a=4": Conditional(skew_normal(4.0), line(0.7), 1.0),
    "skew-normal a=-3": Conditional(skew_normal(-3.0), line(0.3), 0.6),
    "bent b=1": Conditional(normal, bend(1.0), 0.3),
    "bent b=2": Conditional(log_gamma(2.0), bend(2.0), 0.5),
}


def reported(log_density):
    """theta's mode and covariance from minus the Hessian, and the intervals (2, 3)."""
    mode = optimize.minimize(lambda x: -log_density(x)[0], np.zeros(2),
                             jac=lambda x: -log_density(x)[1], method="BFGS",
                             options={"gtol": 1e-10}).x
    h = 1e-5
    hessian = np.column_stack([(log_density(mode + h * e)[1] - log_density(mode - h * e)[1])
                               / (2 * h) for e in np.eye(2)])
    cov = np.linalg.inv(-0.5 * (hessian + hessian.T))
    top = log_density(mode)[0]

    def evaluate(offset):
        return log_density(mode + offset)[0] - top

    return hyperparameter_marginals(mode, cov, ridge_scales(evaluate, cov))


def quadrature_cdf(log_density, j):
    """theta_j's marginal distribution function by a dense grid over both coordinates."""
    grid = np.linspace(-14.0, 14.0, 1401)
    x1, x2 = np.meshgrid(grid, grid, indexing="ij")
    values = log_density(np.array([x1, x2]))[0]
    mass = np.exp(values - values.max()).sum(axis=1 - j)
    cdf = np.cumsum(mass) - 0.5 * mass
    return lambda x: np.interp(x, grid, cdf / mass.sum())


@pytest.mark.parametrize("name", list(POSTERIORS))
@pytest.mark.parametrize("j", [0, 1])
def test_each_bound_leaves_its_two_and_a_half_percent_of_the_marginal_outside(name, j):
    log_density = POSTERIORS[name]
    lower, upper, _ = reported(log_density)[j]
    cdf = quadrature_cdf(log_density, j)
    outside = np.array([cdf(np.log(lower)), 1.0 - cdf(np.log(upper))])
    tolerance = 1e-3 if name == "gaussian" else 0.012
    np.testing.assert_allclose(outside, 0.025, atol=tolerance)


def cubic(c):
    """c x1³: a ridge that bends faster than the square its walk predicts from the last
    distance, so that the predicted point lands conditional sds off the ridge."""
    return lambda x: (c * x**3, 3 * c * x**2)


@pytest.mark.parametrize("log_density", [Conditional(normal, cubic(0.1), 0.3),
                                         Conditional(log_gamma(2.0), cubic(0.2), 0.5),
                                         Conditional(log_gamma(2.0), cubic(0.1), 0.2)],
                         ids=["normal", "log-gamma, wide", "log-gamma, narrow"])
def test_a_ridge_that_bends_faster_than_predicted_is_found_again(log_density):
    """Where the others' peak lies beyond a conditional sd of the predicted point, the
    marginal is measured around that peak: the rule around a point off the ridge
    overstated the fall, and left up to 5% outside a bound. (x1's bounds: x2's own ridge,
    a cube root, is not Gaussian across.)"""
    lower, upper, _ = reported(log_density)[0]
    cdf = quadrature_cdf(log_density, 0)
    outside = np.array([cdf(np.log(lower)), 1.0 - cdf(np.log(upper))])
    np.testing.assert_allclose(outside, 0.025, atol=0.012)


def test_a_peak_across_out_of_numerical_range_keeps_the_point_first_measured():
    """Measured again around its peak, a walk whose peak cannot be evaluated keeps its
    point, its shift and what was measured there."""
    from corvid.fit.marginals import _measured_across, _Walk

    u = np.array([0.0, 1.0])
    walk = _Walk(0, 1, np.array([1.5, 0.0]), np.zeros(2), np.zeros(2), across=1)
    calls = []

    def many(nodes):
        calls.append(len(nodes))
        if len(calls) == 1:      # the point, then +-sqrt(3) u: a peak far up the direction
            return [-1.0, -4.0, 0.5]
        return [None, -1.0, -1.0]

    found = _measured_across(many, [walk], [[u]])
    assert calls == [3, 3]
    middle, _, peaks = found[id(walk)]
    assert middle == -1.0 and peaks[0] >= 1.0
    np.testing.assert_array_equal(walk.point, [1.5, 0.0])
    np.testing.assert_array_equal(walk.shift, [0.0, 0.0])


@pytest.mark.parametrize("a", [0.2, 0.5, 1.0, 4.0])
def test_a_single_log_gamma_hyperparameter_has_its_closed_form_quantiles(a):
    """log G, G ~ Gamma(a): the lower tail is exponential, as a noise sd's or sigma's
    where the data allow it to vanish; the smaller a, the heavier."""
    first = log_gamma(a)
    mode = np.log(a)
    cov = np.array([[1.0 / a]])          # minus the second derivative, a e^x, at the mode

    def evaluate(offset):
        return first(mode + offset[0])[0] - first(mode)[0]

    lower, upper, sd = hyperparameter_marginals(np.array([mode]), cov,
                                                ridge_scales(evaluate, cov))[0]
    gamma = stats.gamma(a)
    np.testing.assert_allclose(stats.gamma(a).cdf([lower, upper]), [0.025, 0.975], atol=0.006)
    assert sd == pytest.approx(gamma.std(), rel=0.05)     # exp(theta) is Gamma(a) itself


def trade_off(a, b, rho, s2, s3):
    """Three hyperparameters as a noise sd, a field's sigma and its range trade off:
    x1 log-gamma(a) (an exponential lower tail); x2 | x1 bent by softplus(-x1), as sigma
    grows where the noise vanishes; x3 | x1, x2 following x2."""
    def log_density(x):
        x1, x2, x3 = x
        return (a * x1 - np.exp(x1) - 0.5 * ((x2 - b * np.logaddexp(0.0, -x1)) / s2) ** 2
                - 0.5 * ((x3 - rho * x2) / s3) ** 2)
    return log_density


def gaussian_3d(x):
    precision = np.array([[2.0, 0.8, -0.3], [0.8, 1.5, 0.6], [-0.3, 0.6, 1.0]])
    return -0.5 * np.einsum("i...,ij,j...->...", x, precision, x)


@pytest.mark.parametrize("log_density", [gaussian_3d, trade_off(1.0, 1.0, 0.8, 0.5, 0.5),
                                         trade_off(2.0, 1.5, 0.9, 0.3, 0.3),
                                         trade_off(0.5, 1.0, 0.5, 0.6, 0.5)],
                         ids=["gaussian", "a=1", "a=2", "a=0.5"])
def test_three_hyperparameters_that_trade_off_leave_their_tails_outside(log_density):
    """Every bound of three hyperparameters bent together against the dense 3-d
    quadrature of their marginals: integrated across the others' two widest directions,
    where one direction alone left up to 7.7% outside."""
    d = 3
    mode = optimize.minimize(lambda x: -log_density(x), np.zeros(d), method="Nelder-Mead",
                             options=dict(xatol=1e-10, fatol=1e-14, maxiter=20000)).x
    h, unit = 1e-4, np.eye(d)
    hessian = np.array([[(log_density(mode + h * unit[i] + h * unit[j])
                          - log_density(mode + h * unit[i] - h * unit[j])
                          - log_density(mode - h * unit[i] + h * unit[j])
                          + log_density(mode - h * unit[i] - h * unit[j])) / (4 * h * h)
                         for j in range(d)] for i in range(d)])
    cov = np.linalg.inv(-hessian)
    top = log_density(mode)
    bounds = hyperparameter_marginals(mode, cov, ridge_scales(
        lambda offset: log_density(mode + offset) - top, cov))
    grid = np.linspace(-14.0, 10.0, 161)
    values = log_density(np.array(np.meshgrid(grid, grid, grid, indexing="ij")))
    density = np.exp(values - values.max())
    for j in range(d):
        mass = density.sum(axis=tuple(k for k in range(d) if k != j))
        cdf = (np.cumsum(mass) - 0.5 * mass) / mass.sum()
        outside = [np.interp(np.log(bounds[j, 0]), grid, cdf),
                   1.0 - np.interp(np.log(bounds[j, 1]), grid, cdf)]
        tolerance = 1e-3 if log_density is gaussian_3d else 0.01
        np.testing.assert_allclose(outside, 0.025, atol=tolerance, err_msg=f"theta_{j}")


def arm(b, s, k):
    """x1 and x3 standard normal; x2 | x1, x3 ~ N(c(x1) x3², s²), c = b softplus(-k x1):
    below x1's mode the posterior of (x2, x3) bends into an arm that no three-point rule
    across sees, though x1's and x3's marginals stay N(0, 1)."""
    def log_density(x):
        x1, x2, x3 = x
        c = b * np.logaddexp(0.0, -k * x1)
        return -0.5 * x1**2 - 0.5 * x3**2 - 0.5 * ((x2 - c * x3**2) / s) ** 2
    return log_density


@pytest.mark.parametrize("b, s, k", [(0.5, 1.5, 2.0), (1.0, 1.0, 1.0), (1.0, 1.5, 1.0),
                                     (1.5, 1.5, 1.0)])
def test_a_ridge_whose_posterior_across_bends_into_an_arm_is_integrated_on_a_grid(b, s, k):
    """x1's and x3's bounds are ±1.96 exactly. Three points along each direction across
    left up to 3.7% outside a bound; the grid across, which follows the arm, leaves
    2.5% ± 0.8%. (An arm that climbs steeply in sd units is narrower than the grid's step
    of 1.5 sds across itself, and falls between its points.)"""
    log_density = arm(b, s, k)
    cov = np.linalg.inv(-_hessian(log_density, np.zeros(3)))
    bounds = hyperparameter_marginals(np.zeros(3), cov, ridge_scales(log_density, cov))
    for j in (0, 2):
        outside = stats.norm.cdf([np.log(bounds[j, 0]), -np.log(bounds[j, 1])])
        np.testing.assert_allclose(outside, 0.025, atol=0.008, err_msg=f"theta_{j}")


def _hessian(log_density, at, h=1e-4):
    unit = np.eye(at.size)
    return np.array([[(log_density(at + h * ei + h * ej) - log_density(at + h * ei - h * ej)
                       - log_density(at - h * ei + h * ej) + log_density(at - h * ei - h * ej))
                      / (4 * h * h) for ej in unit] for ei in unit])


@pytest.mark.parametrize("start", [(0.0, 0.0), (2.0, -2.5), (4.0, -5.0)],
                         ids=["main", "valley", "lobe"])
@pytest.mark.parametrize("weight", [0.0, 0.3, 2.0])
def test_the_grid_across_finds_a_lobe_five_sds_out_and_its_mass(start, weight):
    """A unit Gaussian plus `weight` times another six sds away: the integral relative to a
    standard Gaussian's is log(1 + weight), from wherever the grid starts."""
    from corvid.fit.across_grid import integrals_across

    u, v = np.array([0.0, 1.0, 0.0]), np.array([0.0, 0.0, 1.0])

    def log_density(x):
        a, c = x[1], x[2]
        main = -0.5 * (a * a + c * c)
        lobe = -0.5 * ((a - 4.0) ** 2 + (c + 5.0) ** 2) + (np.log(weight) if weight else -np.inf)
        return np.logaddexp(main, lobe) - 0.5 * x[0] ** 2

    point = np.array([0.7, *start])
    (total, mean), = integrals_across(lambda offsets: [log_density(o) for o in offsets],
                                      [point], [(u, v)])
    assert total == pytest.approx(np.log1p(weight) - 0.5 * 0.7**2, abs=2e-3)
    share = weight / (1.0 + weight)
    np.testing.assert_allclose(point + mean, [0.7, 4.0 * share, -5.0 * share], atol=2e-2)


def one_dimensional(log_density, mode, variance):
    cov = np.array([[variance]])
    return hyperparameter_marginals(np.array([mode]), cov, ridge_scales(
        lambda offset: log_density(mode + offset[0]) - log_density(mode), cov))[0]


def test_a_range_left_to_its_prior_has_its_quantiles_and_no_finite_sd():
    """log R, R ~ InvGamma(1) (a range's PC prior alone, density R⁻² e^(-1/R)): the upper
    tail is exponential and falls as exp(-theta), so E[R] is infinite."""
    lower, upper, sd = one_dimensional(lambda x: -x - np.exp(-x), 0.0, 1.0)
    np.testing.assert_allclose(stats.invgamma(1.0).cdf([lower, upper]), [0.025, 0.975],
                               atol=0.006)
    assert sd == np.inf


def test_a_marginal_reaching_hundreds_of_sds_out_keeps_a_finite_sd():
    """log G, G ~ Gamma(0.03), and the same moved by 700: the lower tail's grid reaches
    far below, where exp(theta) once underflowed to an sd of 0, and exp(centre + top)
    overflowed."""
    a = 0.03
    sds = [one_dimensional(lambda x: a * (x - shift) - np.exp(x - shift), np.log(a) + shift,
                           1.0 / a)[2] for shift in (0.0, 700.0)]
    assert np.isfinite(sds[0]) and sds[0] > 0.0
    assert sds[1] == pytest.approx(sds[0] * np.exp(700.0), rel=1e-6)


def test_a_ridge_out_of_numerical_range_keeps_the_scale_measured_further_in():
    log_density = POSTERIORS["bent b=1"]

    def evaluate(offset):
        if offset[0] > 2.0:
            raise NotPositiveDefiniteError("out of range")
        return log_density(offset)[0] - log_density(np.zeros(2))[0]

    cov = np.array([[1.0, 0.1], [0.1, 0.2]])
    scales = ridge_scales(evaluate, cov)
    assert np.all(np.isfinite(scales))
    assert np.all(scales[0, 1, 1:] == scales[0, 1, 0])      # only 1.5 sd was in range


def test_a_gaussian_marginal_is_the_lognormal():
    (lower, upper), sd = marginal_summary(0.3, 0.5, None)
    np.testing.assert_allclose([lower, upper], np.exp(0.3 + np.array([-1, 1]) * 1.959964 * 0.5),
                               rtol=1e-4)
    assert sd == pytest.approx(stats.lognorm(0.5, scale=np.exp(0.3)).std(), rel=1e-4)


def test_a_correlation_marginal_is_the_map_of_the_quantiles_and_its_sd_the_maps():
    """rho = tanh(theta / 2), theta ~ N(1.2, 0.7²): the quantiles map, the sd by
    quadrature of the map."""
    (lower, upper), sd = marginal_summary(1.2, 0.7, None, natural=lambda t: np.tanh(0.5 * t))
    np.testing.assert_allclose([lower, upper], np.tanh(0.5 * (1.2 + np.array([-1, 1]) * 1.959964
                                                              * 0.7)), atol=1e-4)
    x = np.linspace(-6.0, 6.0, 20001)
    weight = stats.norm.pdf(x)
    values = np.tanh(0.5 * (1.2 + 0.7 * x))
    mean = np.sum(weight * values) / weight.sum()
    assert sd == pytest.approx(np.sqrt(np.sum(weight * (values - mean) ** 2) / weight.sum()),
                               rel=1e-3)


MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (9, 9))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))


def test_the_intervals_leave_their_tails_of_the_fits_own_posterior_outside():
    """Poisson counts, two hyperparameters: the fit's log posterior (with the expansion's
    tilt the design sees) on a dense grid gives each marginal, against which each reported
    bound leaves 2.5% ± 2% outside. So few counts on so coarse a mesh give a posterior with
    two horns at high sigma (a short and a long range), the hardest shape for one ridge."""
    from corvid.fit import fitting

    kept = {}
    measure = fitting.marginal_scales

    def keep(posterior, centre, *rest, **named):
        kept.update(posterior=posterior, centre=centre)
        return measure(posterior, centre, *rest, **named)

    rng = np.random.default_rng(8)
    loc = rng.uniform(0.05, 0.95, (40, 2))
    y = rng.poisson(np.exp(0.5 + np.sin(4.0 * loc[:, 0])))
    fitting.marginal_scales = keep
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = fit(MODEL, loc, y, family="poisson")
    finally:
        fitting.marginal_scales = measure
    posterior, centre = kept["posterior"], kept["centre"]
    sd = np.sqrt(np.diag(centre.cov))
    eigenvalues, vectors = np.linalg.eigh(centre.cov)
    tilt = np.linalg.solve((vectors * np.sqrt(eigenvalues)).T, centre.slope)
    axes = [centre.theta[j] + np.linspace(-6.0, 7.0, 21) * sd[j] for j in range(2)]
    values = np.full((21, 21), -np.inf)
    for a, first in enumerate(axes[0]):
        for b, second in enumerate(axes[1]):
            theta = np.array([first, second])
            try:
                values[a, b] = posterior(theta, gradient=False)[0] + tilt @ (theta - centre.theta)
            except NotPositiveDefiniteError:
                pass
    assert np.isfinite(values).mean() > 0.9
    density = np.exp(values - values.max())
    for j, name in enumerate(("range", "sigma")):
        mass = density.sum(axis=1 - j)
        cdf = (np.cumsum(mass) - 0.5 * mass) / mass.sum()
        h = result.hyperparameters[name]
        outside = [np.interp(np.log(h.lower), axes[j], cdf),
                   1.0 - np.interp(np.log(h.upper), axes[j], cdf)]
        np.testing.assert_allclose(outside, 0.025, atol=0.02, err_msg=name)


def test_at_a_given_theta_there_is_no_interval():
    rng = np.random.default_rng(4)
    loc = rng.uniform(0.0, 1.0, (30, 2))
    result = fit(MODEL, loc, rng.normal(size=30), theta=np.log([0.3, 1.0, 0.5]))
    assert result.theta_scales is None
    assert all(np.isnan(h.lower) and np.isnan(h.std_error) for h in result.hyperparameters.values())

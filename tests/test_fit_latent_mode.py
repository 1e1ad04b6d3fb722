"""The latent mode at each theta, found from the modes and factors of earlier evaluations: the
Laplace approximation a dense computation from scratch gives, a Hessian of differences as
accurate as fresh models give, and fits equal to fits that factor at every Newton step."""

import warnings

import numpy as np
import pytest
from scipy import linalg, special

from corvid.fit import ConvergenceWarning, ResolutionWarning, SpaceTime, fit
from corvid.fit import laplace
from corvid.fit.factor import NotPositiveDefiniteError
from corvid.fit.families import FAMILIES
from corvid.fit.latent import mesh_edges
from corvid.fit.observations import observations
from corvid.fit.precision import FieldPrecision
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.locate import basis_matrix
from corvid.meshkin.mesh import MkMesh

MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (7, 6))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
PRIOR_SD = [10.0, 3.0]
THETA = {"poisson": np.log([0.4, 0.8]), "binomial": np.log([0.4, 0.8]),
         "nbinomial": np.log([0.4, 0.8, 2.0])}
# Offsets from THETA in the order a fit meets them: the Hessian's steps, a line search's
# jumps, the way back, an axis point two sd out, a point met before.
PATH = [[0.0, 0.0], [2e-4, 0.0], [0.0, 2e-4], [0.6, -0.4], [0.1, 0.05], [-0.9, 0.7],
        [0.0, 0.0], [0.3, 0.3], [2e-4, 0.0]]


def simulate(family, n=80, seed=5):
    """(loc, y, covariate, keyword arguments) of the family around a smooth surface."""
    rng = np.random.default_rng(seed)
    loc = rng.uniform(0.0, 1.0, (n, 2))
    x = rng.normal(size=n)
    eta = 0.5 + 0.3 * x + np.sin(3.0 * loc[:, 0]) + 0.5 * np.cos(4.0 * loc[:, 1])
    if family == "poisson":
        return loc, rng.poisson(np.exp(eta)).astype(float), x, {}
    if family == "binomial":
        trials = rng.integers(1, 5, n)
        return loc, rng.binomial(trials, special.expit(eta)).astype(float), x, {"trials": trials}
    return loc, rng.negative_binomial(2.0, 2.0 / (2.0 + np.exp(eta))).astype(float), x, {}


def latent_model(family, loc, y, x, kw):
    kind = FAMILIES[family]()
    return laplace.LaplaceLatent(FieldPrecision.of_model(MODEL), observations(MESH, loc, y, x, True),
                                 kind, kind.data(y, None, kw.get("trials")),
                                 mesh_edges(MESH.tv, MESH.n), PRIOR_SD)


def dense_log_marginal(family, loc, y, x, kw, theta):
    """The Laplace log marginal likelihood by dense Newton from zero, to rounding."""
    kind = FAMILIES[family]()
    data = kind.data(y, None, kw.get("trials"))
    B = np.hstack([basis_matrix(MESH, loc).toarray(), np.ones((y.size, 1)), x[:, None]])
    prior = linalg.block_diag(MODEL.precision(theta[:2]).toarray(), np.diag(1.0 / np.square(PRIOR_SD)))
    psi = theta[2] if theta.size > 2 else None

    def log_density(latent):
        return np.sum(kind.log_density(data, B @ latent, psi)) - 0.5 * latent @ prior @ latent

    latent = np.zeros(B.shape[1])
    for _ in range(100):
        d1, d2, _ = kind.derivatives(data, B @ latent, psi)
        H = prior - B.T @ (d2[:, None] * B)
        step = np.linalg.solve(H, B.T @ d1 - prior @ latent)
        decrement = step @ H @ step
        if decrement < 1e-28:
            break
        s = 1.0
        while decrement > 1e-6 and log_density(latent + s * step) < log_density(latent):
            s /= 2.0      # far from the mode; closer in, Newton's own step is sure
        latent = latent + s * step
    H = prior - B.T @ (kind.derivatives(data, B @ latent, psi)[1][:, None] * B)
    return log_density(latent) + 0.5 * (np.linalg.slogdet(prior)[1] - np.linalg.slogdet(H)[1])


def path(family):
    theta = THETA[family]
    for offset in PATH:
        step = np.r_[offset, np.zeros(theta.size - 2)]
        if theta.size > 2:
            step[2] = -offset[0]      # the family's hyperparameter moves too
        yield theta + step


@pytest.mark.parametrize("family", ["poisson", "binomial", "nbinomial"])
def test_every_theta_along_a_fit_path_has_the_dense_laplace_value(family):
    loc, y, x, kw = simulate(family)
    latent = latent_model(family, loc, y, x, kw)
    for theta in path(family):
        value = latent.evaluate(theta, gradient=False).log_likelihood
        assert value == pytest.approx(dense_log_marginal(family, loc, y, x, kw, theta), rel=1e-11)


@pytest.mark.parametrize("counts", ["zeros and a few thousands", "all zero", "all large"])
def test_the_first_mode_from_the_working_response_has_the_dense_value(counts):
    """The first mode starts where the working response's weighted least squares puts the
    field; from counts that mislead it, Newton's method still finds the dense mode."""
    loc, y, x, kw = simulate("poisson")
    y = {"zeros and a few thousands": np.where(np.arange(y.size) % 20 == 0, 5_000.0, 0.0),
         "all zero": np.zeros_like(y), "all large": y + 1e5}[counts]
    theta = THETA["poisson"]
    value = latent_model("poisson", loc, y, x, kw).evaluate(theta, gradient=False).log_likelihood
    assert value == pytest.approx(dense_log_marginal("poisson", loc, y, x, kw, theta), rel=1e-11)


@pytest.mark.parametrize("family", ["poisson", "binomial", "nbinomial"])
def test_an_evaluation_for_its_value_alone_has_the_dense_value_to_1e6_nats(family):
    # A marginal's points want the value alone: the looser mode must not move it.
    loc, y, x, kw = simulate(family)
    loose, strict = latent_model(family, loc, y, x, kw), latent_model(family, loc, y, x, kw)
    for theta in path(family):
        value = loose.evaluate(theta, gradient=False, value_only=True).log_likelihood
        strict.evaluate(theta, gradient=False)
        assert value == pytest.approx(dense_log_marginal(family, loc, y, x, kw, theta), abs=1e-6)
    assert loose.factorisations <= strict.factorisations
    with pytest.raises(ValueError, match="value alone"):
        loose.evaluate(THETA[family], value_only=True)


@pytest.mark.parametrize("family", ["poisson", "nbinomial"])
@pytest.mark.parametrize("visits", [[[0.0, 0.0], [2e-4, 0.0]], [[0.0, 0.0], [0.0, -2e-4]],
                                    [[0.0, 0.0], [0.5, -0.3], [0.0, 0.0]]],
                         ids=["a step in range", "a step in sigma", "a theta met before"])
def test_a_hessian_step_away_or_a_theta_met_before_is_factored_once(family, visits):
    latent = latent_model(family, *simulate(family))
    theta = THETA[family]
    for offset in visits:
        before = latent.factorisations
        latent.evaluate(theta + np.r_[offset, np.zeros(theta.size - 2)])
    assert latent.factorisations - before == 1


@pytest.mark.parametrize("family", ["poisson", "binomial", "nbinomial"])
def test_the_hessian_of_differences_from_warm_starts_equals_that_of_fresh_models(family, monkeypatch):
    # The optimiser differences the analytic gradient over steps of HESSIAN_STEP: a mode
    # found from the last one must not move the gradient by more than its own rounding.
    data = simulate(family)
    theta = THETA[family]
    h = 2e-4
    warm = latent_model(family, *data)
    warm.evaluate(theta + 0.3)        # the climb arrives from elsewhere

    def hessian(gradient):
        g0 = gradient(theta)
        return np.column_stack([(gradient(theta + h * e) - g0) / h for e in np.eye(theta.size)])

    from_warm = hessian(lambda t: warm.evaluate(t).gradient)
    monkeypatch.setattr(laplace, "NEWTON_TOLERANCE", 1e-24)    # fresh models, Newton to rounding
    from_fresh = hessian(lambda t: latent_model(family, *data).evaluate(t).gradient)
    np.testing.assert_allclose(from_warm, from_fresh, rtol=1e-6,
                               atol=1e-6 * np.abs(from_fresh).max())


def space_time_fit():
    rng = np.random.default_rng(9)
    n = 120
    loc, year, x = rng.uniform(0.02, 0.98, (n, 2)), rng.choice([1, 2, 3, 4], n), rng.normal(size=n)
    eta = 0.3 + 0.4 * x + np.sin(3 * loc[:, 0]) + 0.2 * (year - 2)
    y = rng.poisson(np.exp(eta)).astype(float)
    return fit(MODEL, loc, y, family="poisson", covariates=x, spatial=False,
               effects=[SpaceTime(year, "ar1")])


FITS = {
    "poisson": lambda: fit(MODEL, *simulate("poisson")[:2], family="poisson",
                           covariates=simulate("poisson")[2]),
    "binomial": lambda: fit(MODEL, *simulate("binomial")[:2], family="binomial",
                            covariates=simulate("binomial")[2], **simulate("binomial")[3]),
    "poisson space-time": space_time_fit,
}


def summary(result):
    """What a user reads off a fit: the hyperparameters, the marginal likelihood, the
    latent means and sds."""
    parts = [np.array([list(h) for h in result.hyperparameters.values()]).ravel(),
             [result.log_marginal_likelihood], result.fixed_mean, result.fixed_sd]
    if result.field_mean is not None:
        parts += [result.field_mean, result.field_sd]
    for effect in result.effects.values():
        parts += [np.ravel(effect.mean), np.ravel(effect.sd)]
    return np.concatenate([np.ravel(p) for p in parts])


@pytest.mark.parametrize("case", list(FITS))
def test_a_fit_equals_the_fit_that_factors_at_every_newton_step(case, monkeypatch):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResolutionWarning)
        warnings.simplefilter("error", ConvergenceWarning)
        fast = FITS[case]()
        monkeypatch.setattr(laplace, "CHORD_CONTRACTION", 0.0)     # no step with an old factor
        monkeypatch.setattr(laplace, "NEWTON_TOLERANCE", 1e-22)    # and Newton to rounding,
        monkeypatch.setattr(laplace, "VALUE_TOLERANCE", 1e-22)     # for values alone too
        strict = FITS[case]()
    np.testing.assert_allclose(summary(fast), summary(strict), rtol=1e-6, atol=1e-9)


def test_a_mode_the_chord_steps_miss_is_found_by_factoring_at_every_step(monkeypatch):
    data = simulate("poisson")
    theta = THETA["poisson"]
    expected = latent_model("poisson", *data).evaluate(theta).log_likelihood
    newton = laplace.LaplaceModel._newton

    def astray(self, theta, chords, *tolerances):
        if chords:
            raise NotPositiveDefiniteError("Newton's method for the latent mode found no higher point")
        return newton(self, theta, chords, *tolerances)

    monkeypatch.setattr(laplace.LaplaceModel, "_newton", astray)
    latent = latent_model("poisson", *data)
    latent.evaluate(theta + 0.5)
    assert latent.evaluate(theta).log_likelihood == pytest.approx(expected, rel=1e-10)

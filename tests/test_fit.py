"""fit_gaussian against dense Gaussian conditioning on the same Q, A, X and noise."""

import contextlib

import numpy as np
import pytest

from corvid.fit import ConvergenceWarning, FitProgress, fit_gaussian
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.locate import basis_matrix
from corvid.meshkin.mesh import MkMesh

THETA = np.log([0.35, 0.8, 0.3])  # range, sigma, noise sd


def make_data(mesh, n_obs=150, covariates=1, seed=0):
    rng = np.random.default_rng(seed)
    lo, hi = mesh.loc.min(axis=0), mesh.loc.max(axis=0)
    loc = rng.uniform(lo + 0.01, hi - 0.01, (n_obs, 2))
    x = rng.normal(size=(n_obs, covariates))
    y = np.sin(3 * loc[:, 0]) + loc[:, 1] + x @ np.linspace(0.5, 1.0, covariates) + 2.0 \
        + 0.3 * rng.normal(size=n_obs)
    return loc, y, (x if covariates else None)


MESHES = {
    "grid": lambda: MkMesh.regular_grid((0.0, 1.5), (0.0, 1.0), (16, 11)),
    "delaunay": lambda: MkMesh.from_points(np.vstack([
        [[0, 0], [1.5, 0], [1.5, 1], [0, 1]],
        np.random.default_rng(5).uniform([0.05, 0.05], [1.45, 0.95], (140, 2))])),
}


try:  # small dense products are slow with threads on a busy machine
    from threadpoolctl import threadpool_limits
except ImportError:
    threadpool_limits = None


def one_thread(init):
    def wrapped(*args, **kwargs):
        with (threadpool_limits(1) if threadpool_limits else contextlib.nullcontext()):
            return init(*args, **kwargs)
    return wrapped


class Dense:
    """The model's posterior by dense linear algebra: latent (u, beta), precision
    blockdiag(Q, V⁻¹) + Zᵀ Z / s² with Z = [A X]."""

    @one_thread
    def __init__(self, model, loc, y, X, prior_sd, theta):
        self.Q = model.precision(theta[:2]).toarray()
        self.A = basis_matrix(model.mesh, loc).toarray()
        self.X, self.y, self.prior_sd = X, y, prior_sd
        noise = np.exp(2 * theta[2])
        n, k = self.A.shape[1], X.shape[1]
        Z = np.hstack([self.A, X])
        P = np.zeros((n + k, n + k))
        P[:n, :n], P[n:, n:] = self.Q, np.diag(prior_sd ** -2.0)
        P += Z.T @ Z / noise
        self.cov = np.linalg.inv(P)
        self.mean = self.cov @ Z.T @ y / noise
        self.n = n
        # In observation space: y ~ N(0, C0 + X V Xᵀ), C0 = A Q⁻¹ Aᵀ + s² I, with the
        # vague V taken apart by the determinant lemma and Woodbury's identity.
        C0 = self.A @ np.linalg.inv(self.Q) @ self.A.T + noise * np.eye(y.size)
        C0_X, C0_y = np.linalg.solve(C0, X), np.linalg.solve(C0, y)
        inner = np.diag(prior_sd ** -2.0) + X.T @ C0_X
        b = X.T @ C0_y
        logdet = np.linalg.slogdet(C0)[1] + np.sum(np.log(prior_sd ** 2)) + np.linalg.slogdet(inner)[1]
        quadratic = y @ C0_y - b @ np.linalg.solve(inner, b)
        self.log_likelihood = -0.5 * (logdet + quadratic + y.size * np.log(2 * np.pi))

    def at(self, B, Xnew):
        Z = np.hstack([B, Xnew])
        return Z @ self.mean, np.sqrt(np.einsum("ij,jk,ik->i", Z, self.cov, Z))


def design(fit, n_obs):
    return np.ones((n_obs, 1)) if fit.intercept else np.empty((n_obs, 0))


def assert_close(actual, expected, rtol=1e-8):
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert np.max(np.abs(actual - expected), initial=0.0) <= rtol * np.max(np.abs(expected), initial=0.0)


@pytest.mark.parametrize("mesh_name", MESHES)
@pytest.mark.parametrize("intercept, covariates", [(True, 2), (True, 0), (False, 1), (False, 0)])
def test_the_posterior_at_given_theta_is_dense_conditioning(mesh_name, intercept, covariates):
    mesh = MESHES[mesh_name]()
    model = gfield2_pcmatern(mesh, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    loc, y, x = make_data(mesh, covariates=covariates)
    fit = fit_gaussian(model, loc, y, covariates=x, intercept=intercept, theta=THETA)
    X = np.hstack([design(fit, y.size)] + ([x] if covariates else []))
    dense = Dense(model, loc, y, X, fit.fixed_prior_sd, THETA)
    n = mesh.n
    assert_close(fit.field_mean, dense.mean[:n])
    assert_close(fit.field_sd ** 2, np.diag(dense.cov)[:n])
    assert_close(fit.fixed_mean, dense.mean[n:])
    assert_close(fit.fixed_sd ** 2, np.diag(dense.cov)[n:])
    assert fit.log_marginal_likelihood == pytest.approx(dense.log_likelihood, rel=1e-8)
    assert fit.fixed_names == (["intercept"] if intercept else []) + [f"x{j}" for j in range(covariates)]

    new = np.random.default_rng(9).uniform(mesh.loc.min(axis=0), mesh.loc.max(axis=0), (40, 2))
    x_new = np.random.default_rng(10).normal(size=(40, covariates)) if covariates else None
    mean, sd = fit.predict(new, covariates=x_new)
    X_new = np.hstack([design(fit, 40)] + ([x_new] if covariates else []))
    expected_mean, expected_sd = dense.at(basis_matrix(mesh, new).toarray(), X_new)
    assert_close(mean, expected_mean)
    assert_close(sd, expected_sd)


def test_grid_images_are_dense_predictions_of_intercept_plus_field():
    mesh = MkMesh.disk(radius=1.0, rings=7)
    model = gfield2_pcmatern(mesh, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    loc, y, x = make_data(mesh, n_obs=120, covariates=1, seed=3)
    inside = np.hypot(*loc.T) < 0.95
    fit = fit_gaussian(model, loc[inside], y[inside], covariates=x[inside], theta=THETA)
    mean, sd = fit.grid(dims=(23, 17), xlim=(-1.2, 1.2), ylim=(-1.0, 1.0))
    assert mean.shape == sd.shape == (17, 23)
    gx, gy = np.meshgrid(np.linspace(-1.2, 1.2, 23), np.linspace(-1.0, 1.0, 17))
    points = np.column_stack([gx.ravel(), gy.ravel()])
    B = basis_matrix(mesh, points).toarray()
    within = B.sum(axis=1) > 0
    np.testing.assert_array_equal(mean.mask.ravel(), ~within)
    X = np.hstack([np.ones((y[inside].size, 1)), x[inside]])
    dense = Dense(model, loc[inside], y[inside], X, fit.fixed_prior_sd, THETA)
    expected_mean, expected_sd = dense.at(B[within], np.c_[np.ones(within.sum()), np.zeros(within.sum())])
    assert_close(mean.compressed(), expected_mean)
    assert_close(sd.compressed(), expected_sd)


def dense_log_posterior(model, loc, y, X, prior_sd, rate, theta):
    dense = Dense(model, loc, y, X, prior_sd, theta)
    noise_prior = np.log(rate) - rate * np.exp(theta[2]) + theta[2]
    # The PC prior written out: P(range < r0) = p is exponential in 1/range.
    (r0, p), (s0, q) = model.prior_range, model.prior_sigma
    lr, ls = -np.log(p) * r0, -np.log(q) / s0
    field_prior = (np.log(lr) - theta[0] - lr * np.exp(-theta[0])
                   + np.log(ls) - ls * np.exp(theta[1]) + theta[1])
    return dense.log_likelihood + field_prior + noise_prior


@pytest.fixture(scope="module")
def fitted():
    mesh = MESHES["delaunay"]()
    model = gfield2_pcmatern(mesh, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    loc, y, x = make_data(mesh, n_obs=250, covariates=1, seed=4)
    reports = []
    fit = fit_gaussian(model, loc, y, covariates=x, prior_noise=(1.0, 0.01), progress=reports.append)
    return model, loc, y, x, fit, reports


def test_the_mode_is_where_the_dense_log_posterior_peaks(fitted):
    model, loc, y, x, fit, _ = fitted
    X = np.c_[np.ones(y.size), x]
    rate = -np.log(0.01) / 1.0
    logpost = lambda t: dense_log_posterior(model, loc, y, X, fit.fixed_prior_sd, rate, t)
    h = 1e-4
    steps = np.eye(3) * h
    centre = logpost(fit.theta)
    up = [logpost(fit.theta + s) for s in steps]
    down = [logpost(fit.theta - s) for s in steps]
    gradient = (np.array(up) - np.array(down)) / (2 * h)
    hessian = np.diag((np.array(up) - 2 * centre + np.array(down)) / h**2)
    for i, j in ((0, 1), (0, 2), (1, 2)):
        a, b = steps[i], steps[j]
        hessian[i, j] = hessian[j, i] = (
            logpost(fit.theta + a + b) - logpost(fit.theta + a - b)
            - logpost(fit.theta - a + b) + logpost(fit.theta - a - b)) / (4 * h * h)
    # Within a hundredth of a posterior sd of the dense mode; the covariance is the dense
    # curvature's inverse.
    offset = np.linalg.solve(-hessian, gradient)
    assert np.sqrt(offset @ -hessian @ offset) < 1e-2
    np.testing.assert_allclose(fit.theta_cov, np.linalg.inv(-hessian), rtol=2e-3, atol=1e-6)
    assert fit.log_posterior == pytest.approx(centre, rel=1e-9)
    assert fit.converged


def test_hyperparameters_in_the_data_units_and_the_summary(fitted):
    *_, fit, reports = fitted
    se = np.sqrt(np.diag(fit.theta_cov))
    for (name, h), t, s in zip(fit.hyperparameters.items(), fit.theta, se):
        assert h.estimate == pytest.approx(np.exp(t))
        # from the marginal posterior, skewed along theta's principal axes: near the
        # Gaussian's exp(t ± 1.96 s), not equal to it
        assert h.lower < h.estimate < h.upper
        assert 0.5 < np.log(h.upper / h.lower) / (2 * 1.959964 * s) < 2.0
    assert list(fit.hyperparameters) == ["range", "sigma", "noise_sd"]
    text = fit.summary()
    for word in ["range", "sigma", "noise_sd", "intercept", "x0", f"{fit.hyperparameters['range'].estimate:.5g}"]:
        assert word in text
    stages = [r.stage for r in reports]
    assert stages[-1] == "done" and "optimise" in stages and "marginals" in stages
    assert stages.count("hessian") in (3, 6)  # at the start, and at the mode if it is far
    assert all(isinstance(r, FitProgress) and r.theta.shape == (3,) for r in reports)


def test_integrating_over_theta_mixes_the_dense_posteriors(fitted):
    model, loc, y, x, _, _ = fitted
    fit = fit_gaussian(model, loc, y, covariates=x, integrate=True)
    assert fit.design_theta.shape == (15, 3) and fit.design_weights.sum() == pytest.approx(1.0)
    X = np.c_[np.ones(y.size), x]
    new = loc[:25] + 0.01
    B = basis_matrix(model.mesh, new).toarray()
    X_new = np.c_[np.ones(25), np.linspace(-1, 1, 25)]
    means, second, vertex_mean, vertex_second = 0.0, 0.0, 0.0, 0.0
    for theta, weight in zip(fit.design_theta, fit.design_weights):
        dense = Dense(model, loc, y, X, fit.fixed_prior_sd, theta)
        m, s = dense.at(B, X_new)
        means, second = means + weight * m, second + weight * (s ** 2 + m ** 2)
        mu, var = dense.mean[:model.mesh.n], np.diag(dense.cov)[:model.mesh.n]
        vertex_mean, vertex_second = vertex_mean + weight * mu, vertex_second + weight * (var + mu ** 2)
    mean, sd = fit.predict(new, covariates=X_new[:, 1])
    assert_close(mean, means)
    assert_close(sd, np.sqrt(second - means ** 2), rtol=1e-7)
    assert_close(fit.field_mean, vertex_mean)
    assert_close(fit.field_sd, np.sqrt(vertex_second - vertex_mean ** 2), rtol=1e-7)


def test_progress_true_writes_a_line_per_step_to_stderr(capsys):
    mesh = MESHES["grid"]()
    model = gfield2_pcmatern(mesh, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    loc, y, _ = make_data(mesh, covariates=0, seed=2)
    fit_gaussian(model, loc, y, progress=True)
    lines = capsys.readouterr().err.splitlines()
    steps = [line for line in lines if line.startswith("fit  optimise")]
    assert steps[0].startswith("fit  optimise   1:  range ") and "log posterior" in steps[0]
    assert lines[-1].startswith("fit      done")


def test_an_optimiser_that_stops_short_warns_with_its_last_state(monkeypatch):
    import corvid.fit.mode as mode
    monkeypatch.setattr(mode, "MAX_ITERATIONS", 0)
    mesh = MESHES["grid"]()
    model = gfield2_pcmatern(mesh, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    loc, y, _ = make_data(mesh, covariates=0, seed=2)
    with pytest.warns(ConvergenceWarning, match=r"did not converge: .* last state range = "):
        fit = fit_gaussian(model, loc, y)
    assert not fit.converged and "NOT CONVERGED" in fit.summary()


GRID = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (6, 5))
LOC = np.random.default_rng(1).uniform(0.05, 0.95, (30, 2))
Y = np.random.default_rng(2).normal(size=30)


def nan_at(values, rows):
    values = np.array(values, dtype=float)
    values[rows] = np.nan
    return values


@pytest.mark.parametrize("kwargs, message", [
    (dict(y=nan_at(Y, [3, 7, 8])), r"y: 3 row\(s\) with non-finite values \(NaN or inf\), the first "
                                   r"in rows 3, 7, 8$"),
    (dict(y=np.where(np.arange(30) % 2, np.inf, Y)), r"y: 15 row.* in rows 1, 3, 5, 7, 9, \.\.\.$"),
    (dict(covariates=nan_at(np.ones((30, 2)) * np.arange(30)[:, None], [4])),
     r"covariates: 1 row\(s\) with non-finite values .* in rows 4$"),
    (dict(loc=np.r_[LOC[:28], [[1.5, 0.5], [-1, 2]]]),
     r"2 location\(s\) lie outside the mesh, .* the first is row 28 at \(1.5, 0.5\)"),
    (dict(loc=nan_at(LOC, (5, 0))), r"loc: 1 row\(s\) with non-finite values .* in rows 5$"),
    (dict(covariates=np.c_[LOC, LOC[:, 0] * 2 + 3]),
     r"collinear: 'x2' is a combination of 'intercept', 'x0'"),
    (dict(covariates=np.c_[LOC[:, 0], np.full(30, 4.0)]),
     r"collinear: 'x1' is a combination of 'intercept'"),
    (dict(loc=LOC[:2], y=Y[:2], covariates=LOC[:2, 0]),
     r"2 observation\(s\) cannot fit 2 fixed effect\(s\) and the noise"),
    (dict(y=Y[:29]), r"loc must have shape \(29, 2\)"),
    (dict(prior_noise=(1.0, 1.5)), r"prior_noise = \(u, a\) needs u > 0 and 0 < a < 1"),
    (dict(theta=[0.0, 0.0]), r"theta must be three finite values"),
    (dict(theta=[0.0, 0.0, 0.0], integrate=True), r"integrate=True integrates around the posterior mode"),
])
def test_bad_input_is_refused_saying_what_and_where(kwargs, message):
    model = gfield2_pcmatern(GRID, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    args = dict(loc=LOC, y=Y)
    args.update(kwargs)
    with pytest.raises(ValueError, match=message):
        fit_gaussian(model, args.pop("loc"), args.pop("y"), **args)


class Table:
    """A data frame's face: named columns and values."""

    def __init__(self, columns, values):
        self.columns, self.values = columns, values

    def __array__(self, dtype=None, copy=None):
        return np.asarray(self.values, dtype=dtype)


def test_a_tables_column_names_name_the_fixed_effects():
    model = gfield2_pcmatern(GRID, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    table = Table(["depth", "slope"], np.c_[LOC[:, 0], LOC[:, 1] ** 2])
    fit = fit_gaussian(model, LOC, Y, covariates=table, theta=THETA)
    assert fit.fixed_names == ["intercept", "depth", "slope"]
    assert "depth" in fit.summary() and fit.fixed_mean.shape == (3,)
    with pytest.raises(ValueError, match="collinear: 'twice_depth' is a combination of 'depth'"):
        fit_gaussian(model, LOC, Y, covariates=Table(["depth", "twice_depth"], np.c_[LOC[:, 0], 2 * LOC[:, 0]]),
                     intercept=False, theta=THETA)


def test_predict_outside_the_mesh_gives_nan_and_checks_covariates():
    model = gfield2_pcmatern(GRID, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    fit = fit_gaussian(model, LOC, Y, covariates=LOC[:, 0], theta=THETA)
    mean, sd = fit.predict([[0.5, 0.5], [2.0, 0.5]], covariates=[0.1, 0.2])
    assert np.isfinite(mean[0]) and np.isnan(mean[1]) and np.isnan(sd[1])
    with pytest.raises(ValueError, match="this fit has 1 covariate"):
        fit.predict([[0.5, 0.5]])

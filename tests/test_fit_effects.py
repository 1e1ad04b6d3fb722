"""Effects (space-time fields, groups, smooths, varying coefficients) against a dense
implementation of the same model written here: at a given theta, the log marginal
likelihood, every block's mode, mean and sd, and predictions, for Gaussian (exact),
Poisson and binomial (Laplace) data."""

import warnings

import numpy as np
import pytest
from scipy import linalg, special, stats

from corvid.fit import Group, Smooth, SpaceTime, Varying, fit
from corvid.fit.families import FAMILIES
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.locate import basis_matrix
from corvid.meshkin.mesh import MkMesh

MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (6, 5))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
N = MESH.n
STEPS = [2001, 2002, 2003, 2004]          # 2003 has no data
LABELS = ["a", "b", "c", "solo"]          # "solo" has one observation
KNOTS = 6
PRIOR_SD = [3.0, 2.0]                     # intercept, covariate

FIELD_THETA = [np.log(0.4), np.log(0.8)]
NOISE_THETA = [np.log(0.3)]
RHO = 0.6
EFFECT_THETA = {"st": [np.log(0.5), np.log(0.7), np.log((1 + RHO) / (1 - RHO))],
                "vessel": [np.log(0.4)], "depth": [np.log(15.0), np.log(0.5)],
                "temp": [np.log(0.6), np.log(0.3)]}


class Data:
    def __init__(self, n=90, seed=3):
        rng = np.random.default_rng(seed)
        self.loc = rng.uniform(0.02, 0.98, (n, 2))
        self.year = rng.choice([2001, 2002, 2004], n)
        self.vessel = np.array(rng.choice(LABELS[:3], n), dtype=object)
        self.vessel[7] = "solo"
        self.depth = rng.uniform(10.0, 50.0, n)
        self.temp = rng.normal(size=n)
        self.x = rng.normal(size=n)
        self.eta = (0.3 + 0.4 * self.x + np.sin(3 * self.loc[:, 0]) + 0.2 * (self.year - 2002)
                    + 0.3 * (self.vessel == "a") + 0.01 * (self.depth - 30) + 0.3 * self.temp)

    def y(self, family, seed=4):
        rng = np.random.default_rng(seed)
        if family == "gaussian":
            return self.eta + 0.3 * rng.normal(size=self.eta.size), {}
        if family == "poisson":
            return rng.poisson(np.exp(self.eta)).astype(float), {}
        trials = rng.integers(1, 4, self.eta.size)
        return rng.binomial(trials, special.expit(self.eta - 0.5)).astype(float), {"trials": trials}


DATA = Data()


def effects_of(case, d, kind="ar1"):
    made = {"st": lambda: SpaceTime(d.year, kind, times=STEPS),
            "vessel": lambda: Group("vessel", d.vessel),
            "depth": lambda: Smooth("depth", d.depth, knots=KNOTS),
            "temp": lambda: Varying("temp", d.temp)}
    names = list(made) if case == "all" else [case]
    return [made[name]() for name in names]


def theta_of(family, effects, spatial=True):
    theta = (FIELD_THETA if spatial else []) + (NOISE_THETA if family == "gaussian" else [])
    for e in effects:
        entries = EFFECT_THETA[e.name]
        theta += entries[:2] if e.name == "st" and e.kind != "ar1" else entries
    return np.array(theta)


# ---- the dense model -------------------------------------------------------------------------

def time_precision(kind, T, rho):
    if kind == "iid":
        return np.eye(T)
    if kind == "rw":
        R = 2 * np.eye(T) - np.eye(T, k=1) - np.eye(T, k=-1)
        R[-1, -1] = 1.0
        return R
    R = (1 + rho ** 2) * np.eye(T) - rho * (np.eye(T, k=1) + np.eye(T, k=-1))
    R[0, 0] = R[-1, -1] = 1.0
    return R / (1 - rho ** 2)


def smooth_knots(values):
    return np.linspace(values.min(), values.max(), KNOTS)


def smooth_precision(knots, log_range, log_sigma):
    h = np.diff(knots)
    c = np.r_[h / 2, 0] + np.r_[0, h / 2]
    G = np.zeros((knots.size, knots.size))
    for i, hi in enumerate(h):
        G[i:i + 2, i:i + 2] += np.array([[1, -1], [-1, 1]]) / hi
    kappa = np.sqrt(12) / np.exp(log_range)
    tau2 = 1.0 / (4 * kappa ** 3 * np.exp(2 * log_sigma))
    C = np.diag(c)
    return tau2 * (kappa ** 4 * C + 2 * kappa ** 2 * G + G @ np.diag(1 / c) @ G)


def interpolate(knots, values):
    return np.column_stack([np.interp(values, knots, np.eye(knots.size)[k]) for k in range(knots.size)])


class Dense:
    """The model by dense matrices: precision blockdiag(Q_b, V⁻¹), rows Z = [A_b ..., X]."""

    def __init__(self, d, effects, theta, family, spatial=True, y=None, kw=None):
        self.d, self.effects, self.family = d, effects, family
        t = list(theta)
        blocks, columns = [], []
        B = basis_matrix(MESH, d.loc).toarray()
        self.parts = {}
        if spatial:
            blocks.append(MODEL.precision(np.array(t[:2])).toarray())
            columns.append(B)
            self.parts["field"] = (0, N)
            t = t[2:]
        self.noise = np.exp(t.pop(0)) if family == "gaussian" else None
        start = sum(b.shape[0] for b in blocks)
        self.theta_effects = {}
        for e in effects:
            count = 3 if e.name == "st" and e.kind == "ar1" else 2 if e.name != "vessel" else 1
            te, t = t[:count], t[count:]
            self.theta_effects[e.name] = te
            if e.name == "st":
                rho = np.tanh(te[2] / 2) if e.kind == "ar1" else None
                Q = np.kron(time_precision(e.kind, len(STEPS), rho), MODEL.precision(np.array(te[:2])).toarray())
                A = np.zeros((d.loc.shape[0], len(STEPS) * N))
                for i, year in enumerate(d.year):
                    s = STEPS.index(year)
                    A[i, s * N:(s + 1) * N] = B[i]
            elif e.name == "vessel":
                Q = np.eye(len(LABELS)) * np.exp(-2 * te[0])
                A = np.array([[label == g for g in sorted(LABELS)] for label in d.vessel], dtype=float)
            elif e.name == "depth":
                knots = smooth_knots(d.depth)
                Q = smooth_precision(knots, *te)
                A = interpolate(knots, d.depth)
            else:
                Q = MODEL.precision(np.array(te)).toarray()
                A = d.temp[:, None] * B
            blocks.append(Q)
            columns.append(A)
            self.parts[e.name] = (start, start + Q.shape[0])
            start += Q.shape[0]
        X = np.column_stack([np.ones(d.x.size), d.x])
        self.size = start
        self.prior = linalg.block_diag(*blocks, np.diag(1.0 / np.square(PRIOR_SD)))
        self.Z = np.hstack(columns + [X])
        self.y, self.kw = y, kw or {}
        self._posterior()

    def _posterior(self):
        Z, prior, y = self.Z, self.prior, self.y
        if self.family == "gaussian":
            s2 = self.noise ** 2
            self.cov = np.linalg.inv(prior + Z.T @ Z / s2)
            self.mean = self.mode = self.cov @ Z.T @ y / s2
            marginal = Z @ np.linalg.solve(prior, Z.T) + s2 * np.eye(y.size)
            self.log_marginal = stats.multivariate_normal(np.zeros(y.size), marginal).logpdf(y)
            return
        kind = FAMILIES[self.family]()
        data = kind.data(y, None, self.kw.get("trials"))

        def log_density(x):
            return np.sum(kind.log_density(data, Z @ x, None)) - 0.5 * x @ prior @ x

        x = np.zeros(Z.shape[1])
        for _ in range(100):
            d1, d2, _ = kind.derivatives(data, Z @ x, None)
            H = prior - Z.T @ (d2[:, None] * Z)
            step = np.linalg.solve(H, Z.T @ d1 - prior @ x)
            scale = 1.0
            while log_density(x + scale * step) < log_density(x):
                scale /= 2
            x = x + scale * step
            if step @ H @ step < 1e-24:
                break
        _, d2, d3 = kind.derivatives(data, Z @ x, None)
        H = prior - Z.T @ (d2[:, None] * Z)
        self.cov = np.linalg.inv(H)
        variance = np.einsum("ij,jk,ik->i", Z, self.cov, Z)
        self.mode = x
        self.mean = x + 0.5 * self.cov @ Z.T @ (d3 * variance)
        self.log_marginal = (log_density(x) + 0.5 * np.linalg.slogdet(prior)[1]
                             - 0.5 * np.linalg.slogdet(H)[1])

    def block(self, name, values):
        a, b = self.parts[name]
        return values[a:b]

    def rows(self, loc, year, vessel, depth, temp, x):
        """Rows at new points, and the variance a label the fit has not seen adds."""
        B = basis_matrix(MESH, loc).toarray()
        columns, extra = [], np.zeros(loc.shape[0])
        if "field" in self.parts:
            columns.append(B)
        for e in self.effects:
            te = self.theta_effects[e.name]
            if e.name == "st":
                A = np.zeros((loc.shape[0], len(STEPS) * N))
                for i, t in enumerate(year):
                    A[i, STEPS.index(t) * N:(STEPS.index(t) + 1) * N] = B[i]
            elif e.name == "vessel":
                A = np.array([[label == g for g in sorted(LABELS)] for label in vessel], dtype=float)
                extra += np.exp(2 * te[0]) * ~np.isin(vessel, LABELS)
            elif e.name == "depth":
                A = interpolate(smooth_knots(self.d.depth), depth)
            else:
                A = temp[:, None] * B
            columns.append(A)
        Z = np.hstack(columns + [np.column_stack([np.ones(loc.shape[0]), x])])
        return Z, extra

    def predict(self, *args):
        Z, extra = self.rows(*args)
        return Z @ self.mean, np.sqrt(np.einsum("ij,jk,ik->i", Z, self.cov, Z) + extra)


def assert_close(actual, expected, tol=1e-7):
    actual, expected = np.asarray(actual, dtype=float), np.asarray(expected, dtype=float)
    scale = max(float(np.max(np.abs(expected), initial=0.0)), 1e-300)
    assert np.max(np.abs(actual - expected), initial=0.0) <= tol * scale


NEW = dict(loc=np.array([[0.3, 0.4], [0.71, 0.2], [0.5, 0.93], [0.12, 0.66], [0.9, 0.9]]),
           year=np.array([2003, 2001, 2004, 2003, 2002]),
           vessel=np.array(["a", "solo", "new", "c", "b"], dtype=object),
           depth=np.array([12.0, 30.0, 44.0, 21.5, 35.0]),
           temp=np.array([0.5, -1.0, 0.0, 1.5, 0.2]), x=np.array([0.1, -0.3, 1.2, 0.0, 0.4]))


def new_arguments(effects):
    names = {e.name for e in effects}
    values = {"vessel": NEW["vessel"], "depth": NEW["depth"], "temp": NEW["temp"]}
    return dict(time=NEW["year"] if "st" in names else None,
                effects={k: v for k, v in values.items() if k in names})


CASES = [(case, family) for family in ("gaussian", "poisson", "binomial")
         for case in ("st", "vessel", "depth", "temp", "all")]


@pytest.mark.parametrize("case, family", CASES)
def test_at_given_theta_every_block_equals_the_dense_model(case, family):
    d = DATA
    y, kw = d.y(family)
    effects = effects_of(case, d)
    theta = theta_of(family, effects)
    result = fit(MODEL, d.loc, y, family=family, covariates=d.x, effects=effects, theta=theta,
                 prior_fixed=PRIOR_SD, **kw)
    dense = Dense(d, effects, theta, family, y=y, kw=kw)
    assert result.log_marginal_likelihood == pytest.approx(dense.log_marginal, rel=1e-9)
    sd = np.sqrt(np.diag(dense.cov))
    assert_close(result.field_mean, dense.block("field", dense.mean))
    assert_close(result.field_sd, dense.block("field", sd))
    assert_close(result.field_mode, dense.block("field", dense.mode))
    for e in effects:
        posterior = result.effects[e.name]
        shape = posterior.mean.shape
        assert_close(posterior.mean, dense.block(e.name, dense.mean).reshape(shape))
        assert_close(posterior.sd, dense.block(e.name, sd).reshape(shape))
        if family != "gaussian":
            assert_close(posterior.mode, dense.block(e.name, dense.mode).reshape(shape))
    assert_close(result.fixed_mean, dense.mean[dense.size:])
    assert_close(result.fixed_sd, sd[dense.size:])
    mean, sd_new = result.predict(NEW["loc"], NEW["x"], **new_arguments(effects))
    expected_mean, expected_sd = dense.predict(*NEW.values())
    assert_close(mean, expected_mean)
    assert_close(sd_new, expected_sd)


@pytest.mark.parametrize("kind", ["iid", "rw"])
@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_space_time_fields_independent_or_a_random_walk_in_time(kind, family):
    d = DATA
    y, kw = d.y(family)
    effects = [SpaceTime(d.year, kind, times=STEPS)]
    theta = theta_of(family, effects)
    result = fit(MODEL, d.loc, y, family=family, covariates=d.x, effects=effects, theta=theta,
                 prior_fixed=PRIOR_SD, **kw)
    dense = Dense(d, effects, theta, family, y=y, kw=kw)
    assert result.log_marginal_likelihood == pytest.approx(dense.log_marginal, rel=1e-9)
    st = result.effects["st"]
    assert st.mean.shape == (4, N) and list(st.index) == STEPS
    assert_close(st.sd, dense.block("st", np.sqrt(np.diag(dense.cov))).reshape(4, N))
    mean, sd = result.predict(NEW["loc"], NEW["x"], time=NEW["year"])
    expected = dense.predict(*NEW.values())
    assert_close(mean, expected[0])
    assert_close(sd, expected[1])


@pytest.mark.parametrize("family", ["gaussian", "binomial"])
def test_effects_without_the_static_field(family):
    d = DATA
    y, kw = d.y(family)
    effects = effects_of("all", d)
    theta = theta_of(family, effects, spatial=False)
    result = fit(MODEL, d.loc, y, family=family, covariates=d.x, effects=effects, theta=theta,
                 prior_fixed=PRIOR_SD, spatial=False, **kw)
    dense = Dense(d, effects, theta, family, spatial=False, y=y, kw=kw)
    assert result.field_mean is None and "range" not in result.hyperparameters
    assert result.log_marginal_likelihood == pytest.approx(dense.log_marginal, rel=1e-9)
    mean, sd = result.predict(NEW["loc"], NEW["x"], **new_arguments(effects))
    expected = dense.predict(*NEW.values())
    assert_close(mean, expected[0])
    assert_close(sd, expected[1])


def test_the_results_name_index_and_shape_every_effect():
    d = DATA
    y, _ = d.y("gaussian")
    effects = effects_of("all", d)
    theta = theta_of("gaussian", effects)
    result = fit(MODEL, d.loc, y, covariates=d.x, effects=effects, theta=theta, prior_fixed=PRIOR_SD)
    assert list(result.hyperparameters) == [
        "range", "sigma", "noise_sd", "st_range", "st_sigma", "st_rho", "vessel_sd",
        "depth_range", "depth_sigma", "temp_range", "temp_sigma"]
    assert result.hyperparameters["st_rho"].estimate == pytest.approx(RHO)
    assert result.hyperparameters["depth_range"].estimate == pytest.approx(15.0)
    assert list(result.times) == STEPS
    shapes = {name: (e.mean.shape, None if e.index is None else list(e.index))
              for name, e in result.effects.items()}
    assert shapes == {"st": ((4, N), STEPS), "vessel": ((4,), sorted(LABELS)),
                      "depth": ((KNOTS,), list(smooth_knots(d.depth))), "temp": ((N,), None)}
    text = result.summary()
    for words in ("st_rho", "vessel_sd", "space-time field (ar1), 4 steps", "group intercepts, 4 labels",
                  "smooth on 6 knots", "varying coefficient"):
        assert words in text
    # An omitted group is the population level; a new label adds the group's variance.
    base = dict(time=2002, effects={"depth": 30.0, "temp": 0.0})
    population = result.predict([[0.5, 0.5]], [0.0], **base)
    new = result.predict([[0.5, 0.5]], [0.0], time=2002,
                         effects={"depth": 30.0, "temp": 0.0, "vessel": "new"})
    assert new[0] == pytest.approx(population[0])
    assert new[1] ** 2 == pytest.approx(population[1] ** 2 + 0.4 ** 2)


def test_integrating_mixes_every_block_over_the_design():
    d = DATA
    y, _ = d.y("gaussian")
    effects = [Group("vessel", d.vessel)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = fit(MODEL, d.loc, y, covariates=d.x, effects=effects, integrate=True,
                     prior_fixed=PRIOR_SD)
    assert result.design_theta.shape == (25, 4)
    mean, second = 0.0, 0.0
    for theta, weight in zip(result.design_theta, result.design_weights):
        dense = Dense(d, effects, theta, "gaussian", y=y)
        m, v = dense.block("vessel", dense.mean), dense.block("vessel", np.diag(dense.cov))
        mean, second = mean + weight * m, second + weight * (v + m ** 2)
    assert_close(result.effects["vessel"].mean, mean)
    assert_close(result.effects["vessel"].sd, np.sqrt(second - mean ** 2), tol=1e-6)


@pytest.mark.parametrize("family", ["gaussian", "poisson"])
def test_a_fit_recreates_its_posterior_at_a_design_point_and_its_rows_at_new_points(family):
    # What further work on the posterior builds on: the factored posterior at theta, whose
    # mean is the fit's, and the rows of the linear predictor, which give predict's mean.
    import pickle

    d = DATA
    y, kw = d.y(family)
    effects = effects_of("all", d)
    theta = theta_of(family, effects)
    result = fit(MODEL, d.loc, y, family=family, covariates=d.x, effects=effects, theta=theta,
                 prior_fixed=PRIOR_SD, **kw)
    result = pickle.loads(pickle.dumps(result))   # as dask sends it to its workers
    dense = Dense(d, effects, theta, family, y=y, kw=kw)
    posterior = result._latent_at(theta)
    assert_close(posterior.mean, dense.mean[:dense.size])
    assert_close(posterior.mean_fixed, dense.mean[dense.size:])
    # Cov(x) = P_xx⁻¹ + W S⁻¹ Wᵀ from the factor by blocks.
    probe = np.random.default_rng(0).normal(size=dense.size)
    covariance_probe = posterior.factor.solve(probe) + posterior.W @ (posterior.S_inv @ (posterior.W.T @ probe))
    assert_close(covariance_probe, dense.cov[:dense.size, :dense.size] @ probe)
    A, X, unseen, inside = result._rows(NEW["loc"], NEW["x"], **new_arguments(effects))
    Z, _ = dense.rows(*NEW.values())
    assert inside.all() and [b for b, _ in unseen] == [2] and list(unseen[0][1]) == [0, 0, 1, 0, 0]
    assert_close(np.hstack([A.toarray(), X]), Z)
    assert_close(result.predict(NEW["loc"], NEW["x"], **new_arguments(effects))[0],
                 A @ posterior.mean + X @ posterior.mean_fixed)

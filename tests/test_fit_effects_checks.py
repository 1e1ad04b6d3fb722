"""Effects: analytic gradients against differences, the priors of their hyperparameters
against quadrature, the integration design's fractions, and the input users get wrong."""

import itertools

import numpy as np
import pytest
from scipy import integrate

from corvid.fit import Group, Smooth, SpaceTime, Varying, fit
from corvid.fit.assemble import assemble
from corvid.fit.design import central_composite, corners
from corvid.fit.effects.priors import pc_correlation_prior
from corvid.fit.fitting import family_for
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh

MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (6, 5))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
RNG = np.random.default_rng(8)
LOC = RNG.uniform(0.02, 0.98, (70, 2))
YEAR = RNG.choice([1, 2, 4], 70)
VESSEL = RNG.choice(["a", "b", "c"], 70)
DEPTH = RNG.uniform(0.0, 5.0, 70)
TEMP = RNG.normal(size=70)
ETA = np.sin(3 * LOC[:, 0]) + 0.2 * YEAR + 0.2 * DEPTH - 1.0
Y = {"gaussian": ETA + 0.3 * RNG.normal(size=70), "poisson": RNG.poisson(np.exp(ETA)).astype(float),
     "binomial": RNG.binomial(1, 1 / (1 + np.exp(-ETA))).astype(float),
     "nbinomial": RNG.poisson(np.exp(ETA)).astype(float)}


def all_effects(kind="ar1"):
    return [SpaceTime(YEAR, kind, times=[1, 2, 3, 4]), Group("vessel", VESSEL),
            Smooth("depth", DEPTH, knots=5), Varying("temp", TEMP)]


@pytest.mark.parametrize("family, kind", [("gaussian", "ar1"), ("gaussian", "rw"), ("poisson", "ar1"),
                                          ("binomial", "iid"), ("nbinomial", "ar1")])
def test_the_gradient_of_the_log_marginal_likelihood_is_its_derivative(family, kind):
    problem = assemble(MODEL, LOC, Y[family], family=family_for(family), effects=all_effects(kind))
    latent = problem.latent
    theta = problem.theta0 + np.random.default_rng(1).uniform(-0.3, 0.3, problem.theta0.size)
    analytic = latent.evaluate(theta).gradient
    h = 1e-5
    numeric = [(latent.evaluate(theta + h * e, gradient=False).log_likelihood
                - latent.evaluate(theta - h * e, gradient=False).log_likelihood) / (2 * h)
               for e in np.eye(theta.size)]
    np.testing.assert_allclose(analytic, numeric, rtol=2e-5, atol=2e-5)
    prior, slope = problem.structure.log_prior(theta)
    numeric = [(problem.structure.log_prior(theta + h * e)[0]
                - problem.structure.log_prior(theta - h * e)[0]) / (2 * h) for e in np.eye(theta.size)]
    np.testing.assert_allclose(slope, numeric, rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("u, a", [(0.5, 0.9), (0.0, 0.75), (-0.5, 0.9), (0.9, 0.25)])
def test_the_pc_prior_of_rho_is_a_density_with_the_stated_tail(u, a):
    prior = pc_correlation_prior((u, a))
    density = lambda theta: np.exp(prior(theta)[0])  # noqa: E731
    options = dict(limit=400, epsabs=0.0, epsrel=1e-11)
    assert integrate.quad(density, -80, 80, **options)[0] == pytest.approx(1.0, rel=1e-9)
    cut = np.log((1 + u) / (1 - u))
    assert integrate.quad(density, cut, 80, **options)[0] == pytest.approx(a, rel=1e-9)
    # On rho itself, the density of the module's formula.
    lam = prior.rate
    on_rho = lambda rho: (lam * np.exp(-lam * np.sqrt(1 - rho))  # noqa: E731
                          / (2 * np.sqrt(1 - rho) * (1 - np.exp(-lam * np.sqrt(2)))))
    rho = 0.3
    theta = np.log((1 + rho) / (1 - rho))
    assert np.exp(prior(theta)[0]) == pytest.approx(on_rho(rho) * (1 - rho ** 2) / 2, rel=1e-12)


@pytest.mark.parametrize("u, a", [(0.5, 0.5), (0.0, 0.7), (-0.5, 0.8)])
def test_a_tail_probability_the_pc_prior_cannot_reach_is_refused(u, a):
    with pytest.raises(ValueError, match=r"above sqrt\(\(1 - u\)/2\)"):
        SpaceTime(YEAR, prior_rho=(u, a))


@pytest.mark.parametrize("dim", range(1, 13))
def test_the_design_keeps_the_moments_of_a_standard_normal_with_a_resolution_v_cube(dim):
    z, w = central_composite(dim)
    assert w.sum() == pytest.approx(1.0)
    np.testing.assert_allclose(w @ z, 0.0, atol=1e-14)
    np.testing.assert_allclose((z * w[:, None]).T @ z, np.eye(dim), atol=1e-13)
    cube = corners(dim)
    assert len({tuple(row) for row in cube}) == cube.shape[0]
    for size in range(1, min(dim, 4) + 1):   # no main effect or two-factor interaction aliased
        for columns in itertools.combinations(range(dim), size):
            assert np.prod(cube[:, list(columns)], axis=1).sum() == 0
    expected = {5: 16, 6: 32, 7: 64, 8: 64, 9: 128, 10: 128, 11: 128, 12: 256}
    assert cube.shape[0] == expected.get(dim, 2 ** dim)


def bad(**changes):
    values = dict(time=YEAR, labels=VESSEL, depth=DEPTH, temp=TEMP)
    values.update(changes)
    return values


@pytest.mark.parametrize("make, message", [
    (lambda: SpaceTime(np.where(np.arange(70) == 5, np.nan, YEAR)), r"time values are missing \(NaN\) .* 5"),
    (lambda: SpaceTime(YEAR, times=[1, 2, 3]), r"times misses the value\(s\) 4 of time"),
    (lambda: SpaceTime(YEAR, times=[]), "times is empty"),
    (lambda: SpaceTime(YEAR, kind="ar2"), "kind must be one of 'iid', 'ar1', 'rw'"),
    (lambda: SpaceTime(np.ones(70), kind="ar1"), "AR.1. in time needs at least two steps"),
    (lambda: Group("vessel", np.full(70, "a")), r"group 'vessel' has 1 label\(s\) \('a'\)"),
    (lambda: Group("vessel", [1, "a", 2.0]), r"mix kinds of values: number \(row 0\), text \(row 1\)"),
    (lambda: Group("vessel", ["a", None, "b"]), r"missing \(None\) in row 1"),
    (lambda: Smooth("depth", np.full(70, 3.0)), r"values are all equal \(3\)"),
    (lambda: Smooth("depth", DEPTH, knots=[1.0, 2.0, 3.0]), r"knots span \[1, 3\], and the value"),
    (lambda: Smooth("depth", DEPTH, knots=2), "knots must be a whole number from 3 to 1000"),
    (lambda: Smooth("depth", DEPTH, knots=100_000), "knots must be a whole number from 3 to 1000"),
    (lambda: Smooth("depth", DEPTH * 1e298), r"values span .*e\+298, beyond what .* rescale"),
    (lambda: Smooth("depth", DEPTH * 1e-300), r"values span .*e-300, beyond what"),
    (lambda: Varying("temp", np.zeros(70)), "values are all zero"),
    (lambda: Varying("temp", np.r_[np.inf, TEMP[1:]]), r"values must be finite, and are not in 1 row"),
    (lambda: Group(" vessel", VESSEL), "an effect's name must be a non-empty printable string"),
    (lambda: Group("ves\nsel", VESSEL), "an effect's name must be a non-empty printable string"),
    (lambda: Group("vessel", np.array(["a", float("nan"), "b"], dtype=object)),
     r"missing \(NaN\) in 1 row\(s\), the first 1"),       # pandas' missing text
])
def test_effects_refuse_data_they_cannot_take_when_made(make, message):
    with pytest.raises(ValueError, match=message):
        make()


@pytest.mark.parametrize("arguments, message", [
    (dict(effects=[Group("v", VESSEL), Smooth("v", DEPTH)]), "two effects are named 'v'"),
    (dict(effects=[Group("noise", VESSEL)]), r"hyperparameter name\(s\) 'noise_sd' would be used twice"),
    (dict(effects=[Group("v", VESSEL[:60])]), "60 values for 70 observations"),
    (dict(effects=["vessel"]), "effects must be a list of effects"),
    (dict(effects=[Group("v", VESSEL)], spatial="no"), "spatial must be True or False"),
    (dict(effects=[SpaceTime(YEAR, "rw"), SpaceTime(YEAR + 100, "iid", name="later")]),
     "space-time effects 'st' and 'later' have different steps"),
    (dict(effects=[SpaceTime(YEAR), SpaceTime(YEAR.astype(str), "iid", name="text")]),
     "space-time effects 'st' and 'text' have different steps"),
    (dict(spatial=False), "spatial=False leaves a model without latent effects"),
    (dict(effects=[Smooth(f"s{k}", DEPTH + k) for k in range(5)], integrate=True),
     r"integrate=True supports up to 12 hyperparameters .* this model has 13"),
    (dict(effects=all_effects(), theta=np.zeros(5)), r"theta must be eleven finite values .*"
                                                     r"log\(\(1 \+ st_rho\)/\(1 - st_rho\)\)"),
])
def test_fit_refuses_effects_before_any_fitting(arguments, message):
    reports = []
    with pytest.raises(ValueError, match=message):
        fit(MODEL, LOC, Y["gaussian"], progress=reports.append, **arguments)
    assert reports == []


@pytest.fixture(scope="module")
def fitted():
    effects = all_effects()
    theta = np.r_[np.log([0.4, 0.8, 0.3]), np.log([0.5, 0.7]), 1.0, np.log(0.4), np.log([2.0, 0.5]),
                  np.log([0.6, 0.3])]
    return fit(MODEL, LOC, Y["gaussian"], effects=effects, theta=theta)


@pytest.mark.parametrize("arguments, message", [
    (dict(effects={"depth": 1.0, "temp": 0.0}), r"space-time effect 'st': give time="),
    (dict(time=[5, 1], effects={"depth": 1.0, "temp": 0.0}), r"time 5 is not a step of .* 1, 2, 3, 4"),
    (dict(time=1, effects={"temp": 0.0}), r"smooth effect 'depth': give its covariate"),
    (dict(time=1, effects={"depth": [1.0, 9.0], "temp": 0.0}), r"knots' span \[.*\], and the value 9 \(point 1\)"),
    (dict(time=1, effects={"depth": 1.0}), r"varying coefficient 'temp': give its covariate"),
    (dict(time=1, effects={"depth": 1.0, "temp": 0.0, "boat": "a"}), r"no effect named 'boat'"),
    (dict(time=1, effects={"depth": 1.0, "temp": 0.0, "vessel": 3}), r"are number, but the fit's are text"),
    (dict(time="x", effects={"depth": 1.0, "temp": 0.0}), r"time are text, but the fit's are number"),
])
def test_predict_names_what_a_point_misses(fitted, arguments, message):
    with pytest.raises(ValueError, match=message):
        fitted.predict([[0.5, 0.5], [0.2, 0.2]], **arguments)


def test_maps_and_grids_of_a_space_time_fit_have_a_time_dimension():
    pytest.importorskip("xarray")
    effects = [SpaceTime(YEAR, times=[1, 2, 3, 4]), Group("vessel", VESSEL), Varying("temp", TEMP)]
    theta = np.r_[np.log([0.4, 0.8, 0.3]), np.log([0.5, 0.7]), 1.0, np.log(0.4), np.log([0.6, 0.3])]
    result = fit(MODEL, LOC, Y["gaussian"], effects=effects, theta=theta)
    mean, sd = result.grid(dims=(7, 5))
    assert mean.shape == sd.shape == (4, 5, 7)
    one, _ = result.grid(dims=(7, 5), time=3)
    np.testing.assert_array_equal(one.filled(np.nan), mean[2].filled(np.nan))
    with pytest.warns(UserWarning, match=r"no raster for the effect\(s\) 'temp'"):
        maps = result.maps(dims=(7, 5), scale="both")
    assert maps["mean"].dims == ("time", "y", "x") and list(maps["time"].values) == [1, 2, 3, 4]
    x, y = np.meshgrid(maps["x"].values, maps["y"].values)
    points = np.column_stack([x.ravel(), y.ravel()])
    for step in (1, 3):
        # Groups at the population level; the varying coefficient left out, as at temp = 0.
        expected = result.predict(points, time=step, effects={"temp": 0.0}, scale="response")
        layer = maps.sel(time=step)
        np.testing.assert_allclose(layer["response_mean"].values.ravel(), expected[0], rtol=1e-12)
        np.testing.assert_allclose(layer["response_sd"].values.ravel(), expected[1], rtol=1e-12)
    with pytest.raises(ValueError, match="time 9 is not a step"):
        result.maps(dims=(7, 5), time=9)


def test_text_steps_follow_the_order_times_gives():
    """Seasons named in their order are the fit of the same steps numbered in it: the AR(1)
    links spring to summer, not autumn to spring as text order would; a step without data
    (summer, numbered 2) included."""
    names = np.array(["spring", "summer", "autumn", "winter"])
    theta = np.log([0.4, 0.8, 0.3, 0.5, 0.7]).tolist() + [1.2]
    numbered = fit(MODEL, LOC, Y["gaussian"], effects=[SpaceTime(YEAR, "ar1", times=[1, 2, 3, 4])],
                   theta=theta)
    named = fit(MODEL, LOC, Y["gaussian"], theta=theta,
                effects=[SpaceTime(names[YEAR - 1], "ar1", times=names[[0, 1, 2, 3]])])
    assert named.times.tolist() == names.tolist()
    assert named.log_marginal_likelihood == pytest.approx(numbered.log_marginal_likelihood, rel=1e-12)
    np.testing.assert_allclose(named.effects["st"].mean, numbered.effects["st"].mean, atol=1e-10)
    mean, sd = named.predict(LOC[:3], time=["winter", "spring", "summer"])
    np.testing.assert_allclose((mean, sd), numbered.predict(LOC[:3], time=[4, 1, 2]), atol=1e-10)
    pd = pytest.importorskip("pandas")
    seasons = pd.Categorical(names[YEAR - 1], categories=names, ordered=True)
    as_categories = fit(MODEL, LOC, Y["gaussian"], effects=[SpaceTime(seasons, "ar1")], theta=theta)
    assert as_categories.log_marginal_likelihood == pytest.approx(named.log_marginal_likelihood,
                                                                  rel=1e-12)
    sorted_text = fit(MODEL, LOC, Y["gaussian"], theta=theta,
                      effects=[SpaceTime(names[YEAR - 1], "ar1", times=np.sort(names))])
    assert sorted_text.log_marginal_likelihood != pytest.approx(numbered.log_marginal_likelihood,
                                                                rel=1e-6)


def test_labels_as_bytes_are_the_text_they_spell():
    """NetCDF and HDF5 hand text back as bytes: b"a" and "a" are one vessel, whichever
    the fit or the prediction was given."""
    theta = np.log([0.4, 0.8, 0.3, 0.5]).tolist()
    as_text = fit(MODEL, LOC, Y["gaussian"], effects=[Group("v", VESSEL)], theta=theta)
    as_bytes = fit(MODEL, LOC, Y["gaussian"], effects=[Group("v", np.char.encode(VESSEL))],
                   theta=theta)
    assert as_bytes.log_marginal_likelihood == pytest.approx(as_text.log_marginal_likelihood,
                                                             rel=1e-12)
    expected = as_text.predict(LOC[:2], effects={"v": ["a", "c"]})
    for result, labels in ((as_bytes, ["a", "c"]), (as_text, [b"a", b"c"])):
        np.testing.assert_allclose(result.predict(LOC[:2], effects={"v": labels}), expected,
                                   atol=1e-10)
    with pytest.raises(ValueError, match="bytes that are not UTF-8 text"):
        Group("v", np.array([b"a", b"\xff"] * 35))


def test_dates_as_python_or_pandas_objects_are_the_steps_numpy_dates_make():
    import datetime

    days = [datetime.date(2003, 1, 1) + datetime.timedelta(days=int(k)) for k in YEAR]
    as_numpy = SpaceTime(np.array(days, dtype="datetime64[D]"), "rw")
    for given in (days, [datetime.datetime(d.year, d.month, d.day, 1,
                                           tzinfo=datetime.timezone(datetime.timedelta(hours=1)))
                         for d in days]):
        steps = SpaceTime(np.array(given, dtype=object), "rw").steps.values
        np.testing.assert_array_equal(steps.astype("datetime64[D]"), as_numpy.steps.values)


def test_predict_refuses_effects_that_are_not_a_mapping():
    result = fit(MODEL, LOC, Y["gaussian"], effects=[Group("v", VESSEL)],
                 theta=np.log([0.4, 0.8, 0.3, 0.5]))
    with pytest.raises(ValueError, match="effects must be a mapping {name: values}, got str"):
        result.predict(LOC[:2], effects="abc")

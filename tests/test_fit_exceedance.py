"""Exceedance probabilities against the normal tail of the exact (dense) posterior, against
joint samples for the response scale of integrated non-Gaussian fits, on grids and maps,
and their refusals."""

import warnings

import numpy as np
import pytest
from scipy import special, stats

from corvid.fit import SpaceTime, fit
from corvid.meshkin.locate import MeshGridProjector

from posterior_model import MESH, MODEL, data, fit_and_truth, rows

NEW_LOC = np.array([[0.2, 0.3], [0.8, 0.6], [0.5, 0.5], [0.05, 0.9], [3.0, 3.0]])
NEW_X = np.array([0.0, 1.0, -1.0, 2.0, 0.0])
NEW_LABELS = np.array(["a", "b", "c", "d", "a"])


@pytest.fixture(scope="module")
def gaussian():
    return fit_and_truth()


@pytest.fixture(scope="module")
def poisson():
    loc, x, _, _ = data(n=120, seed=4)
    rng = np.random.default_rng(5)
    y = rng.poisson(np.exp(0.3 + 0.3 * x + np.sin(3 * loc[:, 0]))).astype(float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit(MODEL, loc, y, family="poisson", covariates=x, integrate=True)


@pytest.mark.parametrize("threshold", [-1.0, 0.4, 1.3, 6.0])
def test_gaussian_exceedance_is_the_normal_tail_of_the_exact_posterior(gaussian, threshold):
    result, (mean, cov) = gaussian
    Z = rows(NEW_LOC[:4], NEW_X[:4], NEW_LABELS[:4])
    m, s = Z @ mean, np.sqrt(np.einsum("ij,jk,ik->i", Z, cov, Z))
    p = result.exceedance(NEW_LOC, threshold, NEW_X, effects={"vessel": NEW_LABELS})
    assert np.isnan(p[4])
    assert p[:4] == pytest.approx(stats.norm.sf(threshold, m, s), abs=1e-10, rel=1e-9)


def test_response_exceedance_of_an_integrated_fit_matches_its_joint_samples(poisson):
    samples = poisson.sample(20_000, seed=2).predict(NEW_LOC, NEW_X, scale="response",
                                                     exposure=2.0)
    for threshold in (0.5, 2.0, 4.0):
        p = poisson.exceedance(NEW_LOC, threshold, NEW_X, scale="response", exposure=2.0)
        share = np.mean(samples[:, :4] > threshold, axis=0)
        error = np.sqrt(np.maximum(p[:4] * (1 - p[:4]), 1e-6) / 20_000)
        assert np.all(np.abs(share - p[:4]) < 4.5 * error)
        assert np.isnan(p[4])


def test_response_exceedance_is_the_link_exceedance_at_the_linked_threshold(poisson):
    p = poisson.exceedance(NEW_LOC[:4], 2.0, NEW_X[:4], scale="response", exposure=4.0)
    assert p == pytest.approx(poisson.exceedance(NEW_LOC[:4], np.log(0.5), NEW_X[:4]), abs=1e-14)
    assert poisson.exceedance(NEW_LOC[:4], 0.0, NEW_X[:4], scale="response") == pytest.approx(1.0)
    # a mixture over the design, whose weights sum to 1 only to rounding: still a probability
    sure = poisson.exceedance(NEW_LOC[:4], -50.0, NEW_X[:4])
    assert np.all(sure <= 1.0) and sure == pytest.approx(1.0, abs=1e-15)
    assert np.all(poisson.exceedance(NEW_LOC[:4], 50.0, NEW_X[:4]) == 0.0)


def test_binomial_thresholds_beyond_the_trials_are_never_exceeded():
    loc, x, _, _ = data(n=80, seed=6)
    y = np.random.default_rng(2).binomial(3, 0.4, 80).astype(float)
    result = fit(MODEL, loc, y, family="binomial", trials=3, covariates=x,
                 theta=[np.log(0.4), np.log(0.5)])
    share = result.exceedance(loc[:3], 0.3, x[:3], scale="response")
    mean, sd = result.predict(loc[:3], x[:3])
    assert share == pytest.approx(stats.norm.sf(special.logit(0.3), mean, sd), abs=1e-12)
    assert np.all(result.exceedance(loc[:3], 3.0, x[:3], scale="response", trials=3) == 0.0)
    assert result.exceedance(loc[:3], 0.9, x[:3], scale="response", trials=3) == pytest.approx(
        share, abs=1e-14)


def test_a_grid_of_exceedance_is_the_points_of_the_grid(gaussian):
    result, _ = gaussian
    projector = MeshGridProjector(MESH, dims=(7, 5))
    image = result.exceedance(projector, 0.5)
    assert image.shape == (5, 7)
    xx, yy = np.meshgrid(projector.x, projector.y)
    points = np.column_stack([xx.ravel(), yy.ravel()])
    expected = result.exceedance(points, 0.5, np.zeros(points.shape[0]))
    assert image.filled(np.nan).ravel() == pytest.approx(expected, nan_ok=True, abs=1e-14)


@pytest.mark.filterwarnings("ignore:no raster")
def test_maps_add_the_exceedance_layer(poisson):
    maps = poisson.maps(dims=(6, 4), exceedance=1.5, covariates={})
    layer = maps["exceedance"]
    assert layer.attrs["threshold"] == 1.5 and layer.attrs["scale"] == "response"
    xx, yy = np.meshgrid(maps.x.values, maps.y.values)
    expected = poisson.exceedance(np.column_stack([xx.ravel(), yy.ravel()]), 1.5,
                                  np.zeros(xx.size), scale="response")
    assert layer.values.ravel() == pytest.approx(expected, nan_ok=True, abs=1e-14)
    assert set(maps.data_vars) >= {"mean", "response_mean", "exceedance"}


def test_space_time_exceedance_is_per_step():
    loc, x, _, y = data(n=90, seed=5)
    years = np.repeat([2001, 2002, 2004], 30)
    result = fit(MODEL, loc, y, covariates=x, effects=[SpaceTime(years, "iid")],
                 theta=[np.log(0.4), np.log(0.8), np.log(0.3), np.log(0.5), np.log(0.3)])
    mean, sd = result.predict(loc[:3], x[:3], time=2002)
    assert result.exceedance(loc[:3], 0.2, x[:3], time=2002) == pytest.approx(
        stats.norm.sf(0.2, mean, sd), abs=1e-12)
    images = result.exceedance(MeshGridProjector(MESH, dims=(4, 4)), 0.2)
    assert images.shape == (3, 4, 4)


@pytest.mark.parametrize("threshold, scale, message", [
    (np.nan, "link", "threshold must be a finite number"),
    (np.inf, "link", "threshold must be a finite number"),
    ("high", "link", "threshold must be one finite number"),
    ([1.0, 2.0], "link", "threshold must be one finite number"),
    (1.0, "log", "scale must be 'link' or 'response'"),
])
def test_bad_thresholds_and_scales_are_refused(gaussian, threshold, scale, message):
    result, _ = gaussian
    with pytest.raises(ValueError, match=message):
        result.exceedance(NEW_LOC, threshold, NEW_X, effects={"vessel": NEW_LABELS}, scale=scale)


def test_maps_refuse_a_nan_threshold(poisson):
    with pytest.raises(ValueError, match="threshold must be a finite number"):
        poisson.maps(dims=(4, 4), exceedance=float("nan"), covariates={})

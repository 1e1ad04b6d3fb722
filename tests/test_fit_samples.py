"""Joint posterior samples against the exact posterior of a dense Gaussian model, and their
shapes, blocks and predictions for the other families and effects.

False alarms: each statistical check below is a Bonferroni-bounded test at level 1e-3
(z-scores of the sample means against the exact means, chi-square bounds on the sample
variances of coordinates and of random linear combinations), so with the fixed seeds
they are deterministic, and with any seed a correct sampler fails one with probability
below 1e-3."""

import numpy as np
import pytest
from scipy import stats

from corvid.fit import SpaceTime, fit

from posterior_model import MESH, MODEL, data, fit_and_truth

ALPHA = 1e-3
SAMPLES = 20_000


@pytest.fixture(scope="module")
def gaussian():
    return fit_and_truth()


def joined(samples):
    return np.hstack([samples.field, samples.effects["vessel"], samples.fixed])


def test_gaussian_samples_have_the_exact_mean_and_covariance(gaussian):
    result, (mean, cov) = gaussian
    values = joined(result.sample(SAMPLES, seed=7))
    p = mean.size
    sd = np.sqrt(np.diag(cov))
    z = (values.mean(axis=0) - mean) / (sd / np.sqrt(SAMPLES))
    assert np.max(np.abs(z)) < stats.norm.isf(ALPHA / (2 * p))
    # Variances of the coordinates and of 40 random combinations: (n - 1) s² / sigma² is
    # chi-square with n - 1 degrees of freedom.
    directions = np.vstack([np.eye(p), np.random.default_rng(3).normal(size=(40, p))])
    projected = values @ directions.T
    ratio = (SAMPLES - 1) * projected.var(axis=0, ddof=1) / np.einsum(
        "ij,jk,ik->i", directions, cov, directions)
    tests = directions.shape[0]
    low, high = stats.chi2.ppf([ALPHA / (2 * tests), 1 - ALPHA / (2 * tests)], SAMPLES - 1)
    assert np.all((ratio > low) & (ratio < high))


def test_samples_predict_agrees_with_predict(gaussian):
    result, _ = gaussian
    loc = np.array([[0.2, 0.3], [0.8, 0.6], [0.5, 0.5], [3.0, 3.0]])
    x = np.array([0.0, 1.0, -1.0, 0.0])
    labels = np.array(["a", "b", "new", "a"])
    samples = result.sample(SAMPLES, seed=11)
    drawn = samples.predict(loc, x, effects={"vessel": labels})
    mean, sd = result.predict(loc, x, effects={"vessel": labels})
    assert drawn.shape == (SAMPLES, 4)
    assert np.all(np.isnan(drawn[:, 3])) and np.isnan(mean[3])
    z = (drawn[:, :3].mean(axis=0) - mean[:3]) / (sd[:3] / np.sqrt(SAMPLES))
    assert np.max(np.abs(z)) < stats.norm.isf(ALPHA / 6)
    # a label the fit has not seen draws from the group's prior: its sd is in the spread
    assert drawn[:, :3].std(axis=0) == pytest.approx(sd[:3], rel=0.05)


def test_chunks_are_the_same_draws_in_blocks(gaussian):
    result, _ = gaussian
    blocks = list(result.sample(1000, seed=5, chunk=300))
    assert [len(b) for b in blocks] == [300, 300, 300, 100]
    whole = result.sample(1000, seed=5)
    assert np.mean(np.vstack([b.fixed for b in blocks]), axis=0) == pytest.approx(
        whole.fixed.mean(axis=0), abs=4 * result.fixed_sd.max() / np.sqrt(500))


@pytest.mark.filterwarnings("ignore::corvid.fit.ResolutionWarning")
@pytest.mark.parametrize("family", ["poisson", "binomial"])
def test_laplace_samples_centre_on_the_corrected_mean_over_the_design(family):
    loc, x, labels, _ = data(n=80, seed=2)
    rng = np.random.default_rng(4)
    eta = 0.2 + 0.3 * x + np.sin(3 * loc[:, 0])
    y = rng.poisson(np.exp(eta)) if family == "poisson" else rng.binomial(1, 1 / (1 + np.exp(-eta)))
    result = fit(MODEL, loc, y.astype(float), family=family, covariates=x, integrate=True)
    samples = result.sample(4000, seed=3)
    assert samples.theta.shape == (4000, 2)
    assert set(np.unique(samples.design)) <= set(range(result.design_weights.size))
    assert len(np.unique(samples.design)) > 3
    z = (samples.field.mean(axis=0) - result.field_mean) / (result.field_sd / np.sqrt(4000))
    assert np.max(np.abs(z)) < stats.norm.isf(ALPHA / (2 * MESH.n))
    assert samples.field.std(axis=0) == pytest.approx(result.field_sd, rel=0.1)
    assert samples.hyperparameters["range"] == pytest.approx(np.exp(samples.theta[:, 0]))
    mode = result.sample(50, seed=3, theta="mode")
    assert np.all(mode.design == 0)
    response = samples.predict(loc[:3], x[:3], scale="response")
    expected, _ = result.predict(loc[:3], x[:3], scale="response")
    assert response.mean(axis=0) == pytest.approx(expected, rel=0.05)


def test_space_time_samples_have_a_field_per_step():
    loc, x, _, y = data(n=90, seed=5)
    years = np.repeat([2001, 2002, 2004], 30)
    result = fit(MODEL, loc, y, covariates=x, effects=[SpaceTime(years, "ar1", times=[2001, 2002, 2003, 2004])],
                 theta=[np.log(0.4), np.log(0.8), np.log(0.3), np.log(0.5), np.log(0.3), 1.0])
    samples = result.sample(3000, seed=1)
    st = samples.effects["st"]
    assert st.shape == (3000, 4, MESH.n)
    z = (st.mean(axis=0) - result.effects["st"].mean) / (result.effects["st"].sd / np.sqrt(3000))
    assert np.max(np.abs(z)) < stats.norm.isf(ALPHA / (2 * st[0].size))
    drawn = samples.predict(loc[:2], x[:2], time=[2003, 2001])
    mean, _ = result.predict(loc[:2], x[:2], time=[2003, 2001])
    assert drawn.mean(axis=0) == pytest.approx(mean, abs=0.05)


@pytest.mark.parametrize("arguments, message", [
    (dict(n=0), "n must be a whole number"),
    (dict(n=2.5), "n must be a whole number"),
    (dict(n=10, chunk=0), "chunk must be a whole number"),
    (dict(n=10, theta="median"), "theta must be 'integrate' or 'mode'"),
])
def test_bad_requests_are_refused(gaussian, arguments, message):
    result, _ = gaussian
    with pytest.raises(ValueError, match=message):
        result.sample(**arguments)


def test_a_request_beyond_memory_suggests_chunks(gaussian, monkeypatch):
    from corvid import _memory

    result, _ = gaussian
    monkeypatch.setattr(_memory, "available_memory", lambda: 2_000_000)
    with pytest.raises(MemoryError, match=r"chunk=\d+"):
        result.sample(100_000)
    blocks = result.sample(100_000, chunk=1000)     # checked at once, drawn lazily
    assert len(next(blocks)) == 1000

"""A fit's draws in ArviZ: the groups and their shapes, az.summary and az.loo on them, the
log score ArviZ finds against corvid's, and the predictive-check plot."""

import builtins
import warnings

import numpy as np
import pytest
from scipy import special

from corvid.fit import Group, Smooth, fit

from posterior_model import LABELS, MODEL, data

az = pytest.importorskip("arviz")


@pytest.fixture(scope="module")
def counts():
    loc, x, labels, _ = data(n=120, seed=2)
    rng = np.random.default_rng(3)
    depth = rng.uniform(0.0, 10.0, 120)
    y = rng.binomial(3, special.expit(0.2 + 0.4 * x + 0.3 * (labels == "a") + np.sin(depth / 3)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = fit(MODEL, loc, y.astype(float), family="binomial", trials=3, covariates=x,
                     effects=[Group("vessel", labels), Smooth("depth", depth, knots=6)],
                     integrate=True)
    return result, y


def test_the_groups_hold_the_draws(counts):
    result, y = counts
    tree = result.to_arviz(n=500, seed=1)
    posterior = tree["posterior"]
    assert set(posterior.data_vars) == {"range", "sigma", "vessel_sd", "depth_range",
                                        "depth_sigma", "beta", "vessel", "depth"}
    assert posterior["beta"].shape == (1, 500, 2)
    assert posterior["vessel"].sizes["vessel_label"] == len(LABELS)
    assert posterior["depth"].sizes["depth_knot"] == 6
    assert tree["log_likelihood"]["y"].shape == (1, 500, 120)
    assert tree["posterior_predictive"]["y"].shape == (1, 500, 120)
    assert np.array_equal(tree["observed_data"]["y"].values, y)
    assert np.all(tree["posterior_predictive"]["y"].values <= 3)
    table = az.summary(tree, var_names=["range", "beta"])
    assert table.shape[0] == 3
    assert table.loc["beta[intercept]", "mean"] == pytest.approx(result.fixed_mean[0],
                                                                  abs=4 * result.fixed_sd[0] / np.sqrt(500))


def test_arviz_loo_agrees_with_the_log_score(counts):
    result, _ = counts
    loo = az.loo(result.to_arviz(n=4000, seed=2))
    # PSIS-LOO on 4000 draws scatters by about 0.1 around corvid's log score (125.7 here)
    assert -loo.elpd == pytest.approx(result.checks().log_score, abs=0.4)
    assert loo.p == pytest.approx(result.checks().p_waic, rel=0.15)


def test_the_predictive_check_plot_draws(counts):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    result, _ = counts
    assert az.plot_ppc_dist(result.to_arviz(n=100, seed=3)) is not None


def test_without_arviz_the_error_says_how_to_install_it(counts, monkeypatch):
    result, _ = counts
    real = builtins.__import__

    def refuse(name, *args, **kwargs):
        if name.startswith("arviz_base"):
            raise ImportError("no arviz_base")
        return real(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", refuse)
    with pytest.raises(ImportError, match=r"corvid\[arviz\]"):
        result.to_arviz(n=10)

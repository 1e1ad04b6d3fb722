"""Cross-validation: folds and blocks, held-out scores against their closed forms, the
choice between a true and a wrong family, effects split with the rows, warm starts, dask,
and bad input."""

import warnings

import numpy as np
import pytest
from scipy import stats

from corvid.fit import Group, SpaceTime, cross_validate, fit

from posterior_model import LABELS, MODEL, THETA, data, gaussian_fit


def overdispersed(n=200, seed=1):
    rng = np.random.default_rng(seed)
    loc = rng.uniform(0.02, 0.98, (n, 2))
    x = rng.normal(size=n)
    mu = np.exp(1.0 + 0.3 * x + np.sin(3 * loc[:, 0]))
    return loc, x, rng.negative_binomial(1.0, 1.0 / (1.0 + mu)).astype(float)


def test_the_true_family_scores_better_than_a_wrong_one():
    loc, x, y = overdispersed()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        true = cross_validate(fit, MODEL, loc, y, family="nbinomial", covariates=x, seed=2)
        wrong = cross_validate(fit, MODEL, loc, y, family="poisson", covariates=x, seed=2)
    assert np.array_equal(true.attrs["fold_of"], wrong.attrs["fold_of"])
    assert true.attrs["log_score"] < wrong.attrs["log_score"] - 50
    assert true.attrs["crps"] < wrong.attrs["crps"]
    assert true.attrs["log_density"] == pytest.approx(true.log_density.sum())
    assert list(true.columns) == ["fold", "n_test", "log_density", "crps", "rmse"]


def test_held_out_gaussian_scores_are_their_closed_forms():
    loc, x, labels, y = data(n=80, seed=3)
    table = cross_validate(lambda model, l, v, **kw: gaussian_fit(l, kw["covariates"],
                                                                  kw["effects"][0].labels, v),
                           MODEL, loc, y, folds=4, seed=5, covariates=x,
                           effects=[Group("vessel", labels)], theta=THETA)
    fold_of = table.attrs["fold_of"]
    noise = np.exp(THETA[2])
    squares = 0.0
    for j, row in table.iterrows():
        test, train = fold_of == j, fold_of != j
        refit = gaussian_fit(loc[train], x[train], labels[train], y[train])
        mean, sd = refit.predict(loc[test], x[test], effects={"vessel": labels[test]})
        scale = np.sqrt(sd**2 + noise**2)
        assert row.n_test == test.sum()
        assert row.log_density == pytest.approx(np.sum(stats.norm.logpdf(y[test], mean, scale)),
                                                rel=1e-9)
        assert row.rmse == pytest.approx(np.sqrt(np.mean((y[test] - mean) ** 2)), rel=1e-9)
        z = (y[test] - mean) / scale
        crps = scale * (z * (2 * stats.norm.cdf(z) - 1) + 2 * stats.norm.pdf(z) - 1 / np.sqrt(np.pi))
        assert row.crps == pytest.approx(np.mean(crps), rel=0.05)
        squares += np.sum((y[test] - mean) ** 2)
    assert table.attrs["rmse"] == pytest.approx(np.sqrt(squares / y.size), rel=1e-9)


def test_folds_and_blocks_split_the_data():
    loc, x, labels, y = data(n=90, seed=4)
    plain = cross_validate(fit, MODEL, loc, y, folds=3, seed=1, covariates=x, theta=THETA[:3])
    assert sorted(np.bincount(plain.attrs["fold_of"])) == [30, 30, 30]
    blocked = cross_validate(fit, MODEL, loc, y, folds=3, seed=1, covariates=x, theta=THETA[:3],
                             blocks=0.25)
    cell = np.floor((loc - loc.min(axis=0)) / 0.25).astype(int)
    for key in {tuple(c) for c in cell}:
        inside = np.all(cell == key, axis=1)
        assert len(set(blocked.attrs["fold_of"][inside])) == 1
    by_label = cross_validate(fit, MODEL, loc, y, folds=4, seed=1, covariates=x,
                              theta=THETA[:3], blocks=labels)
    for label in LABELS:
        assert len(set(by_label.attrs["fold_of"][labels == label])) == 1


def test_effects_are_split_with_the_rows_and_folds_start_at_the_full_fit():
    loc, x, labels, y = data(n=90, seed=6)
    years = np.repeat([2001, 2002, 2003], 30)
    starts, sizes = [], []

    def spy(model, loc_train, y_train, **arguments):
        starts.append(arguments.pop("theta_start", None))
        sizes.append([y_train.size] + [e.n_values for e in arguments["effects"]])
        return fit(model, loc_train, y_train, **arguments)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        # any iterable of effects, as fit takes them: a generator is read once, for all folds
        table = cross_validate(spy, MODEL, loc, y, folds=3, seed=2, covariates=x,
                               effects=(e for e in [Group("vessel", labels), SpaceTime(years, "iid")]),
                               blocks=labels)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        full = fit(MODEL, loc, y, covariates=x,
                   effects=[Group("vessel", labels), SpaceTime(years, "iid")])
    assert starts[0] is None and all(s == pytest.approx(full.theta, abs=1e-6) for s in starts[1:])
    assert all(len(set(s)) == 1 for s in sizes)          # labels, times split with the rows
    assert table.n_test.sum() == 90 and np.all(np.isfinite(table.log_density))


def test_folds_run_on_a_dask_client():
    distributed = pytest.importorskip("distributed")
    loc, x, labels, y = data(n=60, seed=7)
    arguments = dict(folds=3, seed=4, covariates=x, theta=THETA[:3])
    alone = cross_validate(fit, MODEL, loc, y, **arguments)
    with distributed.Client(processes=False, n_workers=1, threads_per_worker=2,
                            dashboard_address=None) as client:
        parallel = cross_validate(fit, MODEL, loc, y, client=client, **arguments)
    assert parallel.log_density.tolist() == pytest.approx(alone.log_density.tolist(), rel=1e-12)


@pytest.mark.parametrize("arguments, message", [
    (dict(folds=61), "folds=61 is more than the 60 observations"),
    (dict(folds=1), "folds must be a whole number of at least 2"),
    (dict(blocks=np.full(60, "site")), r"blocks have one value \('site'\)"),
    (dict(blocks=5.0), "blocks have one value"),
    (dict(blocks=-0.1), "blocks must be a positive cell size"),
    (dict(blocks=np.arange(5)), "one label per observation"),
])
def test_bad_folds_and_blocks_are_refused(arguments, message):
    loc, x, _, y = data(n=60, seed=8)
    with pytest.raises(ValueError, match=message):
        cross_validate(fit, MODEL, loc, y, covariates=x, theta=THETA[:3], **arguments)

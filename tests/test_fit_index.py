"""Area and time indices: against the exact Gaussian posterior of a linear functional, against
the fit's own joint samples, for points, grids and polygons, space-time fits, and bad input."""

import warnings

import numpy as np
import pytest
from scipy import stats

from corvid.fit import SpaceTime, fit
from corvid.fit.posterior import index as index_module
from corvid.fit.posterior.index import CellsOutsideWarning

from posterior_model import MODEL, data, fit_and_truth, rows

ALPHA = 1e-3


@pytest.fixture(scope="module")
def gaussian():
    return fit_and_truth()


@pytest.fixture(scope="module")
def poisson():
    loc, x, _, _ = data(n=120, seed=4)
    y = np.random.default_rng(5).poisson(np.exp(0.3 + np.sin(3 * loc[:, 0]))).astype(float)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fit(MODEL, loc, y, family="poisson", integrate=True)


def test_a_link_scale_index_is_the_exact_gaussian_sum_within_its_monte_carlo_error(gaussian):
    result, (mean, cov) = gaussian
    rng = np.random.default_rng(0)
    cells = rng.uniform(0.0, 1.0, (400, 2))
    area = rng.uniform(0.001, 0.003, 400)
    covariate = rng.normal(size=400)
    region = np.where(cells[:, 0] < 0.4, "west", "east")
    n = 4000
    table = result.index(cells, area=area, by=region, scale="link", covariates=covariate, n=n,
                         seed=1)
    Z = rows(cells, covariate, np.full(400, "population"))     # groups left out
    for name in ("east", "west"):
        a = (area * (region == name)) @ Z
        exact_mean, exact_sd = a @ mean, np.sqrt(a @ cov @ a)
        row = table.set_index("region").loc[name]
        assert abs(row.estimate - exact_mean) < stats.norm.isf(ALPHA / 4) * exact_sd / np.sqrt(n)
        low, high = stats.chi2.ppf([ALPHA / 4, 1 - ALPHA / 4], n - 1)
        assert low < (n - 1) * row.sd**2 / exact_sd**2 < high
        assert row.lower == pytest.approx(exact_mean - 1.96 * exact_sd, abs=0.1 * exact_sd)
        assert row.upper == pytest.approx(exact_mean + 1.96 * exact_sd, abs=0.1 * exact_sd)
    assert list(table.columns) == ["region", "estimate", "sd", "lower", "upper", "log_sd"]


def test_a_response_index_is_the_sum_of_the_joint_samples_chunk_by_chunk(poisson, monkeypatch):
    monkeypatch.setattr(index_module, "CHUNK_VALUES", 5000)      # many small blocks of cells
    rng = np.random.default_rng(2)
    cells = rng.uniform(0.0, 1.0, (700, 2))
    table = poisson.index(cells, area=0.5, n=300, seed=9)
    drawn = poisson.sample(300, seed=9).predict(cells, scale="response")
    totals = 0.5 * drawn.sum(axis=1)
    row = table.iloc[0]
    assert row.estimate == pytest.approx(totals.mean(), rel=1e-10)
    assert row.sd == pytest.approx(totals.std(ddof=1), rel=1e-9)
    assert row.log_sd == pytest.approx(np.log(totals).std(ddof=1), rel=1e-9)
    assert (row.lower, row.upper) == pytest.approx(tuple(np.quantile(totals, [0.025, 0.975])))


def test_polygons_are_cut_into_cells_sharing_their_areas(poisson):
    geopandas = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    frame = geopandas.GeoDataFrame(
        geometry=[shapely.box(0.1, 0.1, 0.45, 0.9), shapely.Polygon([(0.5, 0.1), (0.9, 0.1), (0.9, 0.8)])],
        index=["north", "triangle"])
    table = poisson.index(frame, resolution=0.05, n=200, seed=3)
    assert table.region.tolist() == ["north", "triangle"]
    # the same cells given as points with the polygon's area shared among them
    x = np.arange(2, 9) * 0.05 + 0.025
    y = np.arange(2, 18) * 0.05 + 0.025
    xx, yy = np.meshgrid(x, y)
    points = np.column_stack([xx.ravel(), yy.ravel()])
    points = points[shapely.contains_xy(frame.geometry.iloc[0], points[:, 0], points[:, 1])]
    alone = poisson.index(points, area=0.35 * 0.8 / points.shape[0], n=200, seed=3)
    assert table.estimate.iloc[0] == pytest.approx(alone.estimate.iloc[0], rel=1e-10)
    # a grid's cells: a map's, without its NaN cells
    maps = poisson.maps(dims=(10, 10), scale="link")
    grid = poisson.index(maps["mean"], n=200, seed=3, scale="link")
    assert np.isfinite(grid.estimate.iloc[0])


def test_regions_partly_outside_the_mesh_are_nan_with_the_share_outside(poisson):
    shapely = pytest.importorskip("shapely")
    with pytest.warns(CellsOutsideWarning, match=r"'1' \(50%\)"):
        table = poisson.index([shapely.box(0.2, 0.2, 0.6, 0.6), shapely.box(0.5, 0.2, 1.5, 0.6)],
                              resolution=0.05, n=100, seed=1)
    assert np.isfinite(table.estimate.iloc[0]) and np.isnan(table.estimate.iloc[1])


def test_a_space_time_index_has_a_row_per_step():
    loc, x, _, y = data(n=90, seed=5)
    years = np.repeat([2001, 2002, 2004], 30)
    result = fit(MODEL, loc, y, covariates=x, effects=[SpaceTime(years, "ar1", times=[2001, 2002, 2003, 2004])],
                 theta=[np.log(0.4), np.log(0.8), np.log(0.3), np.log(0.5), np.log(0.3), 1.0])
    cells = np.random.default_rng(1).uniform(0, 1, (200, 2))
    table = result.index(cells, area=0.005, scale="link", covariates=np.zeros(200), n=2000, seed=4)
    assert table.time.tolist() == [2001, 2002, 2003, 2004]
    for _, row in table.iterrows():
        mean, _ = result.predict(cells, np.zeros(200), time=row.time)
        assert row.estimate == pytest.approx(0.005 * mean.sum(), abs=4 * row.sd / np.sqrt(2000))
    one = result.index(cells, area=0.005, scale="link", covariates=np.zeros(200), n=50, time=2003)
    assert one.time.tolist() == [2003]
    for between in (2003.9, [2001, 2002.5]):     # no step, as for predict: not cast to 2003
        with pytest.raises(ValueError, match="is not a step of the fit"):
            result.index(cells, area=0.005, covariates=np.zeros(200), n=50, time=between)


@pytest.mark.parametrize("arguments, message", [
    (dict(cells=np.array([[0.5, 0.5], [0.2, 0.2]]), area=[1.0, 0.0]), "areas must be positive"),
    (dict(cells=np.array([[0.5, 0.5], [0.2, 0.2]]), area=[1.0, -2.0]), "cell 1 has area -2.0"),
    (dict(cells=np.array([[0.5, 0.5]]), area=[1.0, 2.0]), "one value or one per cell"),
    (dict(cells=np.array([[0.5, np.nan]])), "not finite"),
    (dict(cells=np.array([[0.5, 0.5]]), scale="log"), "scale must be"),
    (dict(cells=np.array([[0.5, 0.5]]), time=2001), "time is for a fit with a space-time"),
    (dict(cells=np.array([[0.5, 0.5]]), n=0), "n must be a whole number"),
])
def test_bad_cells_are_refused(poisson, arguments, message):
    with pytest.raises(ValueError, match=message):
        poisson.index(**arguments)


def test_empty_polygons_are_refused(poisson):
    shapely = pytest.importorskip("shapely")
    with pytest.raises(ValueError, match="polygon '0' is empty"):
        poisson.index([shapely.Polygon()], resolution=0.1)

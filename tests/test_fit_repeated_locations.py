"""Rows measured again and again at the same places: the starting values' nearest
neighbours are found without a k-d tree over repeated points (which degenerates to
quadratic time), and agree with a brute-force search."""

import numpy as np
import pytest

from corvid.fit import fit
from corvid.fit.start import nearest_other
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh


def places(kind, rng):
    if kind == "distinct":
        return rng.uniform(0.0, 1.0, (300, 2))
    if kind == "three stations":
        return rng.uniform(0.0, 1.0, (3, 2))[rng.integers(0, 3, 300)]
    if kind == "one place":
        return np.full((300, 2), 0.25)
    # some stations measured often, some once
    return np.vstack([rng.uniform(0.0, 1.0, (5, 2))[rng.integers(0, 5, 200)],
                      rng.uniform(0.0, 1.0, (100, 2))])


@pytest.mark.parametrize("kind", ["distinct", "three stations", "one place", "mixed"])
def test_each_row_is_paired_with_a_row_at_the_nearest_place(kind):
    rng = np.random.default_rng(1)
    loc = places(kind, rng)
    rows = np.arange(loc.shape[0])
    other = nearest_other(loc, rows)
    distance = np.hypot(*(loc[:, None, :] - loc[None, :, :]).transpose(2, 0, 1))
    np.fill_diagonal(distance, np.inf)
    assert np.all(other != rows)
    np.testing.assert_array_equal(distance[rows, other], distance.min(axis=1))
    # repeated places share their rows out: no row is everyone's partner
    if kind == "one place":
        assert np.unique(other).size == loc.shape[0]


@pytest.mark.filterwarnings("ignore::corvid.fit.ResolutionWarning")
def test_a_fit_of_rows_at_three_stations_reads_the_noise_from_repeats():
    mesh = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (8, 8))
    model = gfield2_pcmatern(mesh, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
    rng = np.random.default_rng(2)
    stations = rng.uniform(0.1, 0.9, (3, 2))
    which = rng.integers(0, 3, 3000)
    y = np.array([1.0, -0.5, 2.0])[which] + 0.3 * rng.normal(size=which.size)
    result = fit(model, stations[which], y)
    noise = result.hyperparameters["noise_sd"]
    assert noise.lower < 0.3 < noise.upper

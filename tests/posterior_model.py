"""A small Gaussian model with a group effect, its data, and its exact posterior by dense
algebra: the independent truth the posterior tests (samples, exceedance, checks, indices)
compare against."""

import numpy as np
from scipy import linalg

from corvid.fit import Group, fit
from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.locate import basis_matrix
from corvid.meshkin.mesh import MkMesh

MESH = MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (6, 5))
MODEL = gfield2_pcmatern(MESH, prior_range=(0.3, 0.5), prior_sigma=(1.0, 0.1))
PRIOR_SD = [3.0, 2.0]
THETA = np.array([np.log(0.4), np.log(0.8), np.log(0.3), np.log(0.5)])  # range, sigma, noise, sd
LABELS = np.array(["a", "b", "c", "d"])


def data(n=60, seed=1):
    """(loc, x, labels, y) of Gaussian data from the model."""
    rng = np.random.default_rng(seed)
    loc = rng.uniform(0.02, 0.98, (n, 2))
    x = rng.normal(size=n)
    labels = LABELS[rng.integers(0, 4, n)]
    y = 0.5 + 0.3 * x + np.sin(3 * loc[:, 0]) + 0.4 * (labels == "a") + 0.3 * rng.normal(size=n)
    return loc, x, labels, y


def gaussian_fit(loc, x, labels, y, theta=THETA):
    return fit(MODEL, loc, y, covariates=x, effects=[Group("vessel", labels)], theta=theta,
               prior_fixed=PRIOR_SD)


def rows(loc, x, labels):
    """The dense rows [basis, group indicators, intercept, x] at points."""
    B = basis_matrix(MESH, loc).toarray()
    G = (np.asarray(labels)[:, None] == LABELS[None, :]).astype(float)
    return np.hstack([B, G, np.column_stack([np.ones(len(x)), x])])


def dense_posterior(loc, x, labels, y, theta=THETA):
    """Mean and covariance of (field, group, beta) given theta."""
    Z = rows(loc, x, labels)
    prior = linalg.block_diag(MODEL.precision(theta[:2]).toarray(),
                              np.eye(4) * np.exp(-2 * theta[3]), np.diag(1 / np.square(PRIOR_SD)))
    t = np.exp(-2 * theta[2])
    cov = np.linalg.inv(prior + t * Z.T @ Z)
    return cov @ Z.T @ y * t, cov


def fit_and_truth():
    """The Gaussian fit of `data()` at THETA and its dense posterior (mean, covariance)."""
    loc, x, labels, y = data()
    return gaussian_fit(loc, x, labels, y), dense_posterior(loc, x, labels, y)

"""Shared by the fitting benchmarks: data simulated from the field model, a second process
that keeps the other core busy, timing and the load the machine was under."""

import os

import numpy as np

from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.locate import basis_matrix
from corvid.meshkin.mesh import MkMesh
from corvid.sampling import gmrf_sample

def load():
    return "load average %.2f %.2f %.2f" % os.getloadavg()


def square_model(vertices, side_length=1.0, prior_range=(0.05, 0.5), prior_sigma=(1.0, 0.1)):
    """The model on a regular grid mesh of about `vertices` vertices over a square."""
    side = int(round(np.sqrt(vertices)))
    mesh = MkMesh.regular_grid((0.0, side_length), (0.0, side_length), (side, side))
    return gfield2_pcmatern(mesh, prior_range=prior_range, prior_sigma=prior_sigma)


def simulate(model, n_obs, theta, rng, intercept=1.0, slope=0.5, margin=0.0):
    """Observations of one field drawn from the model at theta = (log range, log sigma, log
    noise sd), at uniform locations (kept `margin` inside the mesh), with an intercept and
    one covariate."""
    field = gmrf_sample(model.precision(theta[:2]), rng)
    lo, hi = model.mesh.loc.min(axis=0) + margin, model.mesh.loc.max(axis=0) - margin
    loc = rng.uniform(lo, hi, (n_obs, 2))
    x = rng.normal(size=n_obs)
    y = basis_matrix(model.mesh, loc) @ field + intercept + slope * x \
        + np.exp(theta[2]) * rng.normal(size=n_obs)
    return loc, y, x

"""Shared by the fitting benchmarks: data simulated from the field model, a second process
that keeps the other core busy, timing and the load the machine was under."""

import contextlib
import os
import subprocess
import sys
import time

import numpy as np

from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.locate import basis_matrix
from corvid.meshkin.mesh import MkMesh
from corvid.sampling import gmrf_sample

BUSY_LOOP = """
import numpy as np
a = np.random.default_rng(0).random((400, 400))
while True:
    a = np.tanh(a @ a / 400.0)
"""


@contextlib.contextmanager
def other_core_busy(busy=True):
    """A second process doing dense products on one BLAS thread, while the block runs."""
    if not busy:
        yield
        return
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    process = subprocess.Popen([sys.executable, "-c", BUSY_LOOP], env=env)
    try:
        time.sleep(0.5)
        yield
    finally:
        process.kill()
        process.wait()


def best_of(repeats, fn):
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


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

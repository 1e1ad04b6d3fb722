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


def region_model(vertices, prior_range=(1.0, 0.5), prior_sigma=(1.0, 0.1)):
    """The model on a mesh of about `vertices` vertices over bench_regions.py's irregular
    region (a wavy coastline about 27 units across, two lakes, a coarser buffer): the mesh
    a user of a real study region gets, unlike a regular grid."""
    import math

    from bench_regions import HOLES, REGION
    from corvid.meshkin.regions import region_mesh

    # 55,000 vertices at this edge (max_edge bounds every edge); counts go as 1/edge^2
    edge = 0.1361 * math.sqrt(55_000 / vertices)
    mesh = region_mesh(REGION, holes=HOLES, max_edge=(edge, 2.5 * edge), offset=-0.2)
    return gfield2_pcmatern(mesh, prior_range=prior_range, prior_sigma=prior_sigma)


def uniform_in_mesh(mesh, n, rng):
    """n points drawn uniformly over the mesh's triangles (area-weighted)."""
    loc, tv = mesh.loc[:, :2], mesh.tv
    a, b, c = loc[tv[:, 0]], loc[tv[:, 1]], loc[tv[:, 2]]
    area = 0.5 * np.abs((b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1])
                        - (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0]))
    t = rng.choice(len(tv), size=n, p=area / area.sum())
    u, v = rng.uniform(size=(2, n))
    flip = u + v > 1.0
    u[flip], v[flip] = 1.0 - u[flip], 1.0 - v[flip]
    return a[t] + u[:, None] * (b[t] - a[t]) + v[:, None] * (c[t] - a[t])


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


class FamilyCase:
    """Data of one family simulated from the model: loc (n_obs, 2), y, one covariate x, the
    keyword arguments the fit takes with them (exposure, trials), the field at the
    vertices and the truth (theta, intercept, slope)."""

    def __init__(self, loc, y, x, kwargs, field, theta, beta):
        self.loc, self.y, self.x, self.kwargs = loc, y, x, kwargs
        self.field, self.theta, self.beta = field, theta, beta


# Per family: (log range, log sigma[, log of the family's hyperparameter]), (intercept, slope),
# the fit's keyword arguments.
FAMILY_TRUTHS = {
    "poisson": (np.log([0.3, 1.0]), (0.5, 0.5), {}),
    "binomial": (np.log([0.3, 1.0]), (0.0, 0.5), {}),
    "binomial3": (np.log([0.3, 1.0]), (0.0, 0.5), {"trials": 3}),
    "nbinomial": (np.log([0.3, 1.0, 5.0]), (0.5, 0.5), {}),
    "gamma": (np.log([0.3, 1.0, 4.0]), (0.5, 0.5), {}),
}


def family_of(case_name):
    """The family's name for a case name such as "binomial3"."""
    return case_name.rstrip("0123456789")


def simulate_family(model, case_name, n_obs, rng, theta=None, beta=None):
    """Observations of one field drawn from the model at uniform locations in the mesh, with
    an intercept and one standard normal covariate, from the family of `case_name` (a key of
    FAMILY_TRUTHS, whose truth is used unless theta or beta are given)."""
    from scipy import special

    default_theta, default_beta, kwargs = FAMILY_TRUTHS[case_name]
    theta = np.asarray(default_theta if theta is None else theta, dtype=np.float64)
    beta = np.asarray(default_beta if beta is None else beta, dtype=np.float64)
    field = gmrf_sample(model.precision(theta[:2]), rng)
    lo, hi = model.mesh.loc.min(axis=0), model.mesh.loc.max(axis=0)
    loc = rng.uniform(lo, hi, (n_obs, 2))
    x = rng.normal(size=n_obs)
    eta = basis_matrix(model.mesh, loc) @ field + beta[0] + beta[1] * x
    family = family_of(case_name)
    if family == "poisson":
        y = rng.poisson(np.exp(eta))
    elif family == "binomial":
        y = rng.binomial(kwargs.get("trials", 1), special.expit(eta))
    elif family == "nbinomial":
        size = np.exp(theta[2])
        y = rng.negative_binomial(size, size / (size + np.exp(eta)))
    elif family == "gamma":
        phi = np.exp(theta[2])
        y = rng.gamma(phi, np.exp(eta) / phi)
    else:
        raise ValueError(f"no simulation for the {family} family")
    return FamilyCase(loc, y.astype(np.float64), x, dict(kwargs), field, theta, beta)

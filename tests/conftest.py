"""Shared fixtures: small meshes, and the hypothesis profiles.

Hypothesis runs the "ci" profile (100 examples) unless CORVID_HYPOTHESIS_PROFILE names
another, e.g. CORVID_HYPOTHESIS_PROFILE=deep for 5000 examples per property.
"""

import os

import numpy as np
import pytest
from hypothesis import settings

from corvid.meshkin.mesh import MkMesh

settings.register_profile("ci", max_examples=100, deadline=None)
settings.register_profile("deep", max_examples=5000, deadline=None)
settings.load_profile(os.environ.get("CORVID_HYPOTHESIS_PROFILE", "ci"))


@pytest.fixture
def grid_mesh() -> MkMesh:
    """The unit square with 6 x 5 vertices (hx = 0.2, hy = 0.25), 40 right triangles."""
    return MkMesh.regular_grid((0.0, 1.0), (0.0, 1.0), (6, 5))


@pytest.fixture
def delaunay_mesh() -> MkMesh:
    """Delaunay triangulation of the unit square's corners and 60 random inner points."""
    rng = np.random.default_rng(20240611)
    points = np.vstack([[[0, 0], [1, 0], [1, 1], [0, 1]], rng.uniform(0.05, 0.95, (60, 2))])
    return MkMesh.from_points(points)


@pytest.fixture
def make_grid_mesh():
    """Factory for regular grid meshes: make_grid_mesh(xlim, ylim, dims)."""
    return MkMesh.regular_grid

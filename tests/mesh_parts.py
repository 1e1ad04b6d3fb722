"""Meshes cut from other meshes, for the location tests."""

import numpy as np

from corvid.meshkin.mesh import MkMesh


def trimmed(mesh, keep):
    """The triangles of `mesh` whose centroid (x, y) passes `keep`, unused vertices dropped."""
    centroid = mesh.loc[mesh.tv].mean(axis=1)
    tv = mesh.tv[keep(centroid[:, 0], centroid[:, 1])]
    used = np.unique(tv)
    renumber = np.full(mesh.n, -1)
    renumber[used] = np.arange(used.size)
    return MkMesh(mesh.loc[used], renumber[tv])

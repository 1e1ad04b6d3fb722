"""Symmetric positive definite matrices of the shapes corvid factors, for the factor tests:
each well enough conditioned for a dense inverse to be a truth at 1e-10."""

import numpy as np
from scipy import sparse

from corvid.meshkin.gfield import gfield2_pcmatern
from corvid.meshkin.mesh import MkMesh


def field_precision(side=18, seed=3):
    """A field's precision on the Delaunay mesh of a jittered grid: no sliver triangles."""
    rng = np.random.default_rng(seed)
    x, y = np.meshgrid(np.linspace(0, 1, side), np.linspace(0, 1, side))
    points = np.column_stack([x.ravel(), y.ravel()])
    points += rng.uniform(-0.15, 0.15, points.shape) / side
    model = gfield2_pcmatern(MkMesh.from_points(points), prior_range=(0.2, 0.5),
                             prior_sigma=(1.0, 0.1))
    return model.precision([np.log(0.1), 0.2])


def bordered(Q, k=3, seed=4):
    """blockdiag(Q, I) + Zᵀ Z for Z = [A X] with A sparse and X dense (k columns): the field
    and fixed effects observed together, dense rows and columns last."""
    rng = np.random.default_rng(seed)
    n = Q.shape[0]
    A = sparse.random(2 * n, n, density=3.0 / n, random_state=rng)
    Z = sparse.hstack([A, rng.normal(size=(2 * n, k))])
    return (sparse.block_diag([Q, sparse.eye(k)]) + Z.T @ Z).tocsc()


def random_spd(n=120, density=0.03, seed=5):
    rng = np.random.default_rng(seed)
    B = sparse.random(n, n, density=density, random_state=rng)
    return (B @ B.T + sparse.diags(rng.uniform(0.5, 2.0, n))).tocsc()


def observed_field(side=16, n_obs=400, seed=6):
    """The fit's posterior precision Q + Aᵀ W A: a field's precision plus observations at
    random points (three vertices each) with positive weights."""
    rng = np.random.default_rng(seed)
    Q = field_precision(side, seed)
    n = Q.shape[0]
    rows = np.repeat(np.arange(n_obs), 3)
    A = sparse.csr_matrix((rng.dirichlet(np.ones(3), n_obs).ravel(),
                           (rows, rng.integers(0, n, 3 * n_obs))), shape=(n_obs, n))
    W = sparse.diags(rng.uniform(0.5, 3.0, n_obs))
    return (Q + A.T @ W @ A).tocsc()


def space_time(times=6, side=8, rho=0.8):
    """An AR(1) precision over `times` steps ⊗ a mesh precision, plus a little diagonal."""
    ar1 = sparse.diags([np.r_[1.0, np.full(times - 2, 1.0 + rho**2), 1.0],
                        np.full(times - 1, -rho), np.full(times - 1, -rho)], [0, -1, 1])
    Q = field_precision(side)
    return (sparse.kron(ar1 / (1.0 - rho**2), Q) + 0.1 * sparse.eye(times * Q.shape[0])).tocsc()


def block_diagonal(seed=7):
    """Disconnected blocks of several kinds and sizes, single vertices among them, their
    rows shuffled so that no block is contiguous."""
    blocks = [field_precision(5), sparse.csc_matrix([[2.0]]), random_spd(30, 0.1, seed),
              sparse.csc_matrix([[3.0]]), sparse.diags([1.0, 2.0, 3.0])]
    A = sparse.block_diag(blocks).tocsc()
    shuffle = np.random.default_rng(seed).permutation(A.shape[0])
    return A[shuffle][:, shuffle].tocsc()


def arrow(n=200, dense=3, seed=8):
    """A diagonal matrix with `dense` dense rows and columns (and a sparse band)."""
    rng = np.random.default_rng(seed)
    B = sparse.lil_matrix((n, n))
    B.setdiag(rng.uniform(1.0, 2.0, n))
    for r in rng.choice(n, dense, replace=False):
        B[r, :] = rng.normal(size=n) / np.sqrt(n)
    B = B.tocsc()
    return (B @ B.T + sparse.eye(n)).tocsc()


def dense_block(n=300, seed=9):
    """A dense SPD matrix, stored sparse: a single supernode of every column."""
    rng = np.random.default_rng(seed)
    G = rng.normal(size=(n, n)) / np.sqrt(n)
    return sparse.csc_matrix(G @ G.T + np.eye(n))


# Every shape of matrix corvid factors, by name, for tests parametrized over them.
SHAPES = {
    "mesh precision": lambda: field_precision(20),
    "the fit's Q + AᵀWA": observed_field,
    "AR(1) ⊗ mesh precision": space_time,
    "field with dense fixed-effect rows": lambda: bordered(field_precision(11)),
    "disconnected blocks": block_diagonal,
    "arrow with dense rows": arrow,
    "one by one": lambda: sparse.csc_matrix([[4.0]]),
    "diagonal": lambda: sparse.diags(np.linspace(0.5, 3.0, 7)).tocsc(),
    "one huge supernode": dense_block,
}

"""The layout of one latent model: its blocks, where each sits in the latent vector and in
theta, the observation matrix, and the covariances that predictions read.

The latent vector is x = (the blocks in order: the static field when there is one, then
each effect's), and after it the fixed effects beta, which the fitting code keeps out of
the sparse factor (their dense rows are eliminated by a Schur complement). The prior
precision of x is block-diagonal, blockdiag(Q_b(theta_b)), each Q_b = sum_k c_bk M_bk; the
observations see eta = A x + X beta + offset, A = [A_1 ... A_B] the blocks' rows side by
side. theta = (the static field's two entries, the family's, each effect's in order).

Predictions at a new point combine a few latent values: the three vertices of one
triangle in one slice of each block laid on the mesh, plus a value per compact block
(a group's label, two knots of a smooth), plus the fixed effects. Their posterior
covariance needs the pairs of vertices that share a triangle, within a slice and between
slices of different blocks. Those pairs are kept in the posterior precision's pattern (as
stored zeros where nothing couples them), so that its selected inverse holds them; the
compact blocks' values, few, have their covariance with every latent value computed by
solves (see `corvid.fit.latent.Conditional`).
"""

from __future__ import annotations

import dataclasses
from typing import Any, List, Optional, Sequence

import numpy as np
from scipy import sparse

from .assembly import sorted_unique

__all__ = ["LatentStructure", "prediction_pairs"]


def _embedded(term, offset: int, size: int) -> sparse.csr_matrix:
    t = sparse.coo_matrix(term)
    return sparse.csr_matrix((t.data, (t.row + offset, t.col + offset)), shape=(size, size))


def prediction_pairs(blocks: Sequence, offsets: np.ndarray, edges, n_mesh: int):
    """(rows, cols), rows > cols, sorted by rows * N + cols: the pairs of latent values that
    one point's row can join, beyond the diagonal. Within a slice, the mesh edges; between
    slices of different blocks, every (i, j) with i and j on one triangle, i = j included."""
    i, j = (np.asarray(e, dtype=np.int64) for e in edges)
    both_i = np.r_[i, j, np.arange(n_mesh)]
    both_j = np.r_[j, i, np.arange(n_mesh)]
    sliced = [(int(offsets[b]), block.slices) for b, block in enumerate(blocks) if block.slices]
    rows, cols = [], []
    for b, (offset, slices) in enumerate(sliced):
        for s in range(slices):
            rows.append(offset + s * n_mesh + i)
            cols.append(offset + s * n_mesh + j)
        for other, other_slices in sliced[b + 1:]:
            for s in range(slices):
                for t in range(other_slices):
                    rows.append(other + t * n_mesh + both_j)
                    cols.append(offset + s * n_mesh + both_i)
    if not rows:
        return np.empty(0, np.int64), np.empty(0, np.int64)
    r, c = np.concatenate(rows), np.concatenate(cols)
    hi, lo = np.maximum(r, c), np.minimum(r, c)
    size = int(offsets[-1])
    keys = sorted_unique(hi * size + lo)
    return keys // size, keys % size


@dataclasses.dataclass
class LatentStructure:
    """One latent model's layout (see the module's note).

    blocks: the `corvid.fit.effects.Block`s in the latent vector's order; offsets (B + 1,):
    block b holds x[offsets[b]:offsets[b + 1]]; theta_index: each block's entries of theta;
    family: the likelihood family (`Family`) and family_index its entries of theta (none or
    one); A (n_obs, N) CSR: the observation rows; X (n_obs, k), fixed_names (k),
    fixed_precision (k,): the fixed effects and their prior precisions; field: the static
    field's block number, or None; n_mesh and edges: the mesh's vertices and edges (i > j).
    """

    blocks: List[Any]
    family: Any
    X: np.ndarray
    fixed_names: List[str]
    fixed_precision: np.ndarray
    n_mesh: int
    edges: tuple
    field: Optional[int] = 0

    def __post_init__(self) -> None:
        sizes = [b.size for b in self.blocks]
        self.offsets = np.r_[0, np.cumsum(sizes)].astype(np.int64)
        self.size = int(self.offsets[-1])
        counts = [len(b.theta_names) for b in self.blocks]
        field_theta = counts[self.field] if self.field is not None else 0
        family_count = 1 if self.family.hyperparameter else 0
        # theta: the static field's entries, the family's, then the other blocks' in order.
        order, position = [], field_theta + family_count
        for b, count in enumerate(counts):
            if b == self.field:
                order.append(np.arange(count))
            else:
                order.append(np.arange(position, position + count))
                position += count
        self.theta_index = order
        self.family_index = np.arange(field_theta, field_theta + family_count)
        self.n_theta = position
        names: List[str] = [""] * position
        for b, index in enumerate(order):
            for k, name in zip(index, self.blocks[b].theta_names):
                names[k] = name
        if family_count:
            names[field_theta] = self.family.hyperparameter
        self.theta_names = tuple(names)
        self.A = sparse.csr_matrix(sparse.hstack([b.rows for b in self.blocks], format="csr")
                                   if self.blocks else sparse.csr_matrix((self.X.shape[0], 0)))
        self.A.eliminate_zeros()
        self.terms = [_embedded(t, int(self.offsets[b]), self.size)
                      for b, block in enumerate(self.blocks) for t in block.terms]
        counts_terms = [len(b.terms) for b in self.blocks]
        self.term_offsets = np.r_[0, np.cumsum(counts_terms)].astype(np.int64)
        self.pairs = prediction_pairs(self.blocks, self.offsets, self.edges, self.n_mesh)
        self.compact = np.concatenate(
            [np.arange(self.offsets[b], self.offsets[b + 1]) for b, block in enumerate(self.blocks)
             if not block.slices] or [np.empty(0, np.int64)]).astype(np.int64)

    @property
    def n_obs(self) -> int:
        return self.X.shape[0]

    @property
    def k(self) -> int:
        return self.X.shape[1]

    def theta_of(self, theta: np.ndarray, b: int) -> np.ndarray:
        return np.asarray(theta, dtype=np.float64)[self.theta_index[b]]

    def psi(self, theta: np.ndarray) -> Optional[float]:
        """The family's hyperparameter (log scale), or None."""
        return float(theta[self.family_index[0]]) if self.family_index.size else None

    def coefficients(self, theta: np.ndarray) -> np.ndarray:
        """Every term's coefficient, the blocks' in order."""
        parts = [b.coefficients(self.theta_of(theta, k)) for k, b in enumerate(self.blocks)]
        return np.concatenate(parts) if parts else np.zeros(0)

    def coefficient_gradient(self, theta: np.ndarray) -> np.ndarray:
        """d c / d theta, shape (n_theta, terms)."""
        out = np.zeros((self.n_theta, len(self.terms)))
        for k, b in enumerate(self.blocks):
            span = slice(self.term_offsets[k], self.term_offsets[k + 1])
            out[self.theta_index[k], span] = b.coefficient_gradient(self.theta_of(theta, k))
        return out

    def logdet(self, theta: np.ndarray) -> tuple[float, list]:
        """(log |blockdiag(Q_b)|, the blocks' tokens for the gradient)."""
        values = [b.logdet(self.theta_of(theta, k)) for k, b in enumerate(self.blocks)]
        return float(sum(v for v, _ in values)), [token for _, token in values]

    def logdet_gradient(self, theta: np.ndarray, tokens: list) -> np.ndarray:
        out = np.zeros(self.n_theta)
        for k, (b, token) in enumerate(zip(self.blocks, tokens)):
            out[self.theta_index[k]] = b.logdet_gradient(self.theta_of(theta, k), token)
        return out

    def log_prior(self, theta: np.ndarray) -> tuple[float, np.ndarray]:
        """log pi(theta) (every block's prior and the family's) and its gradient."""
        theta = np.asarray(theta, dtype=np.float64)
        gradient = np.zeros(self.n_theta)
        value, slope = self.family.log_prior(theta[self.family_index])
        gradient[self.family_index] = slope
        total = float(value)
        for k, b in enumerate(self.blocks):
            v, g = b.log_prior(self.theta_of(theta, k))
            total += float(v)
            gradient[self.theta_index[k]] = g
        return total, gradient

    def natural(self, theta: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """theta's entries as reported (exp, or a correlation), and their derivatives."""
        theta = np.asarray(theta, dtype=np.float64)
        values, slopes = np.exp(theta), np.exp(theta)
        for k, b in enumerate(self.blocks):
            values[self.theta_index[k]], slopes[self.theta_index[k]] = b.natural(self.theta_of(theta, k))
        return values, slopes

    def block_values(self, x: np.ndarray, b: int) -> np.ndarray:
        """Block b's part of a latent vector, in its shape."""
        return x[self.offsets[b]:self.offsets[b + 1]].reshape(self.blocks[b].shape)

    def release(self) -> None:
        for b in self.blocks:
            b.release()

"""Assembly of the linear finite-element matrices of a triangular mesh (`mk_fem`)."""

from __future__ import annotations

import operator

import numpy as np
from scipy import sparse

from .mesh import MkFEM, MkMesh

__all__ = ["mk_fem"]


def _edge_vectors(loc: np.ndarray, tv: np.ndarray) -> np.ndarray:
    """Edges opposite each corner, all running the same way round: shape (3, m, dim).

    Edge i goes from corner i+1 to corner i+2, so e0 + e1 + e2 = 0.
    """
    p = [loc[tv[:, i]] for i in range(3)]
    return np.stack([p[2] - p[1], p[0] - p[2], p[1] - p[0]])


def _areas(edges: np.ndarray) -> np.ndarray:
    """Triangle areas from the cross product of two edges (in space: its length)."""
    a, b = edges[1], edges[2]
    if a.shape[1] == 2:
        return 0.5 * np.abs(a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0])
    return 0.5 * np.linalg.norm(np.cross(a, b), axis=1)


def _element_pattern(tv: np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    """Row and column of every entry of the element matrices, entry (i, j) of triangle t
    at position (3 i + j) m + t: the layout of `local.reshape(-1)` in `_assemble`."""
    index = np.int32 if n <= np.iinfo(np.int32).max else np.int64
    corners = tv.T.astype(index)            # (3, m)
    rows = np.repeat(corners, 3, axis=0)    # (9, m): corner i three times
    cols = np.tile(corners, (3, 1))         # (9, m): corners 0, 1, 2 in turn
    return rows.reshape(-1), cols.reshape(-1)


def _assemble(pattern: tuple[np.ndarray, np.ndarray], local: np.ndarray, n: int) -> sparse.csr_matrix:
    """Sum the 3 x 3 element matrices `local` (shape (3, 3, m)) into an n x n CSR matrix.

    The stored pattern is the vertex graph of the mesh (each vertex with itself and its
    edge neighbours), including entries that happen to add up to exactly zero.
    """
    m = sparse.coo_matrix((local.reshape(-1), pattern), shape=(n, n), copy=False)
    out = m.tocsr()
    out.sum_duplicates()
    return out


def mk_fem(mesh: MkMesh, order: int = 2) -> MkFEM:
    """Linear finite-element matrices of `mesh`: lumped and consistent mass, stiffness.

    Returns an `MkFEM` with c0 (lumped mass, a third of the adjacent triangle areas per
    vertex), c1 (consistent mass), g1 (stiffness) and, for order 2, g2 = G C0^-1 G. The
    matrices are CSR with sorted indices. With three coordinates the triangles' own
    areas and angles in space are used (a surface mesh).

    Raises `ValueError` for an order other than 1 or 2, a triangle of zero area (its
    stiffness is undefined) and a vertex that belongs to no triangle (its lumped mass
    would be zero, leaving C singular).
    """
    order = operator.index(order)
    if order not in (1, 2):
        raise ValueError(f"order must be 1 or 2, got {order}")
    loc, tv, n = mesh.loc, mesh.tv, mesh.n

    edges = _edge_vectors(loc, tv)
    area = _areas(edges)
    flat = np.flatnonzero(area == 0.0)
    if flat.size:
        k = flat[0]
        raise ValueError(f"triangle {k} {tv[k].tolist()} has zero area; {flat.size} such triangle(s)")

    c0 = np.bincount(tv.ravel(), weights=np.repeat(area / 3.0, 3), minlength=n)
    lonely = np.flatnonzero(c0 == 0.0)
    if lonely.size:
        raise ValueError(
            f"vertex {lonely[0]} belongs to no triangle, so its lumped mass is zero; "
            f"{lonely.size} such vertex(es)")

    # Stiffness of a P1 element: (e_i . e_j) / (4 area), e_i the edge opposite corner i.
    # Element arrays are dropped as soon as they are summed: on large meshes they dominate memory.
    pattern = _element_pattern(tv, n)
    stiffness = np.einsum("imd,jmd->ijm", edges, edges)
    del edges
    stiffness /= 4.0 * area
    g1 = _assemble(pattern, stiffness, n)
    del stiffness
    mass = np.where(np.eye(3, dtype=bool)[:, :, None], area / 6.0, area / 12.0)
    c1 = _assemble(pattern, mass, n)
    del mass, pattern

    g2 = None
    if order == 2:
        # G C0^-1 G as (G S)(S G) with S = C0^-1/2: entries (i, j) and (j, i) then sum the
        # same products, so g2 comes out exactly symmetric.
        scale = 1.0 / np.sqrt(c0)
        left, right = g1.copy(), g1.copy()
        left.data *= scale[left.indices]
        right.data *= np.repeat(scale, np.diff(right.indptr))
        g2 = (left @ right).tocsr()
        g2.sort_indices()
    return MkFEM(c0=c0, c1=c1, g1=g1, g2=g2)

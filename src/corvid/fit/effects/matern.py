"""Matérn fields by the SPDE: the precision Q(theta) = c0 M0 + c1 M1 + c2 M2 of a
`FieldPrecision`, its log-determinant and gradient, and the block of a field on the mesh.

log |Q| and its derivatives use Q = tau² K C⁻¹ K with K = kappa² C + G when the matrices have
that structure (phi2 = 1, M0 = C diagonal, M2 = G C⁻¹ G), so only K, with the sparser pattern
of G, is factored for them:

    log |Q| = 2 n log tau + 2 log |K| - sum log c_i,
    d log |Q| / d theta_j = 2 n d(log tau)/d theta_j + 2 kappa² tr(K⁻¹ C) d(log kappa²)/d theta_j.

Otherwise Q itself is factored, and the gradient comes from its selected inverse.
"""

from __future__ import annotations

from typing import Optional

import numpy as np
from scipy import sparse

from .. import factor
from ..assembly import AlignedSum
from ..refusals import field_checks
from ..selected import SelectedReader
from ..start import FIELD_WIDTHS
from .base import Block, NewPoints, Rows, Start, exp_start, prefixed

__all__ = ["MaternLogDet", "MaternBlock", "FieldBlock", "has_k_structure"]


def has_k_structure(field) -> bool:
    """True when Q = tau² K C⁻¹ K with K = kappa² M0 + M1: phi2 = 1, M0 diagonal and
    M2 = M1 M0⁻¹ M1 (to rounding)."""
    if not np.array_equal(field.b[2], [1.0, 0.0, 0.0]):
        return False
    c = field.M0.diagonal()
    if field.M0.count_nonzero() != np.count_nonzero(c) or not np.all(c > 0.0):
        return False
    product = field.M1 @ sparse.diags(1.0 / c) @ field.M1
    scale = abs(field.M2).max() if field.M2.nnz else 0.0
    return bool(abs(product - field.M2).max() <= 1e-10 * scale)


class MaternLogDet:
    """log |Q(theta)| and its gradient in theta = (log range, log sigma), for one
    `FieldPrecision`, with the factor of the last theta kept for the next call."""

    def __init__(self, field, backend: Optional[str] = None) -> None:
        self.field = field
        self.backend = backend
        self.via_k = has_k_structure(field)
        self.release()

    def release(self) -> None:
        self._last: Optional[tuple] = None      # (key, factor)
        self._sum: Optional[AlignedSum] = None
        # (factor of K, tr(K⁻¹ C)): the factor itself is held, not its id(), which a later
        # factor may reuse once this one is freed.
        self._trace_kc: Optional[tuple] = None
        self._reader: Optional[SelectedReader] = None

    def _factor(self, key, weights) -> factor.SparseFactor:
        f = self.field
        if self._last is None:
            terms = [f.M0, f.M1] if self.via_k else [f.M0, f.M1, f.M2]
            total = sum(w * t for w, t in zip(weights, terms))
            first = factor.cholesky(sparse.csc_matrix(total), backend=self.backend)
            self._sum = AlignedSum(terms, first.perm)
            if not self.via_k:
                rows, cols, lower = self._sum.lower()
                self._reader = SelectedReader(rows, cols)
                self._lower_weights = lower
            self._last = (key, first)
            return first
        last_key, last = self._last     # one read: other threads may replace it meanwhile
        if last_key != key:
            assert self._sum is not None
            last = last.refactor_permuted(self._sum.matrix(weights))
            self._last = (key, last)
        return last

    def logdet(self, theta: np.ndarray) -> tuple[float, factor.SparseFactor]:
        f = self.field
        if self.via_k:
            phi0, phi1, _ = f.phi(theta)
            fk = self._factor(float(phi1), [np.exp(phi1), 1.0])
            c = f.M0.diagonal()
            return 2 * f.n * phi0 + 2 * fk.logdet() - float(np.sum(np.log(c))), fk
        fq = self._factor(tuple(theta), f.coefficients(theta))
        return fq.logdet(), fq

    def gradient(self, theta: np.ndarray, prior_factor: factor.SparseFactor) -> np.ndarray:
        f = self.field
        if self.via_k:
            kappa2 = np.exp(f.phi(theta)[1])
            kept = self._trace_kc
            if kept is None or kept[0] is not prior_factor:
                inverse = prior_factor.selected_inverse()  # tr(K⁻¹ C), once per factor of K
                kept = (prior_factor, float(f.M0.diagonal() @ inverse.diagonal()))
                self._trace_kc = kept
            return 2 * f.n * f.b[0, 1:] + 2 * f.b[1, 1:] * kappa2 * kept[1]
        assert self._reader is not None
        traces = self._lower_weights @ self._reader(prior_factor)
        return f.coefficient_gradient(theta) @ traces


class MaternBlock(Block):
    """A Matérn field with the PC prior of `corvid.fit.field_prior`: theta_b = (log range,
    log sigma), Q = c0 M0 + c1 M1 + c2 M2. Subclasses give its rows and what it is."""

    def __init__(self, name: str, field, prior, rows: sparse.csr_matrix,
                 backend: Optional[str] = None) -> None:
        self.name = name
        self.field = field
        self.prior = prior
        self.rows = sparse.csr_matrix(rows)
        self.size = field.n
        self.shape = (field.n,)
        self.terms = [field.M0, field.M1, field.M2]
        self.theta_names = prefixed(name, ("range", "sigma"))
        self.logdet_of = MaternLogDet(field, backend)

    @property
    def via_k(self) -> bool:
        return self.logdet_of.via_k

    @via_k.setter
    def via_k(self, value: bool) -> None:
        self.logdet_of.via_k = bool(value)

    def coefficients(self, theta):
        return self.field.coefficients(theta)

    def coefficient_gradient(self, theta):
        return self.field.coefficient_gradient(theta)

    def logdet(self, theta):
        return self.logdet_of.logdet(theta)

    def logdet_gradient(self, theta, token):
        return self.logdet_of.gradient(theta, token)

    def log_prior(self, theta):
        if self.prior is None:
            return 0.0, np.zeros(2)
        return self.prior(theta)

    def prior_checks(self, scales):
        return [] if self.prior is None else field_checks(self.prior, scales, self.owner)

    def release(self) -> None:
        self.logdet_of.release()

    def resolution_range(self, theta):
        return float(np.exp(theta[0]))


class FieldBlock(MaternBlock):
    """The static spatial field: its value at each mesh vertex, observed through the mesh's
    basis. Its hyperparameters are named "range" and "sigma"."""

    kind = "spatial field"
    slices = 1

    def __init__(self, field, prior, basis, backend: Optional[str] = None, name: str = "") -> None:
        super().__init__(name, field, prior, basis, backend)

    def start(self, start: Start):
        return exp_start([start.log_range, start.log_sigma], FIELD_WIDTHS)

    def rows_at(self, points: NewPoints) -> Rows:
        return Rows(sparse.csr_matrix(points.basis))

    def describe(self) -> str:
        return f"spatial field on {self.size} mesh vertices"

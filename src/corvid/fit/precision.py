"""The field's precision Q(theta) as the model files define it.

With theta = (log range, log sigma), the B matrices give phi_k = Bk[:, 0] + Bk[:, 1] theta0
+ Bk[:, 2] theta1, with every row alike: phi0 = log tau, phi1 = log kappa² and phi2 the
weight of the stiffness term, and

    Q = tau² (kappa⁴ M0 + 2 phi2 kappa² M1 + M2),

which is tau² (kappa⁴ C + 2 kappa² G + G C⁻¹ G) for the B matrices corvid writes (phi2 = 1).
"""

from __future__ import annotations

import os
from typing import Sequence, Union

import numpy as np
from scipy import sparse

from ..meshkin_io import read_meshkin_file

__all__ = ["FieldPrecision", "precision_from_files"]

Theta = Union[Sequence[float], np.ndarray]

MODEL_FILES = (".M0", ".M1", ".M2", ".B0", ".B1", ".B2", ".BLC")


def _square(matrix, name: str, n: int | None = None) -> sparse.csr_matrix:
    if isinstance(matrix, np.ndarray) and matrix.ndim == 1:
        matrix = sparse.diags(matrix)  # a diagonal matrix file holds its diagonal
    out = sparse.csr_matrix(matrix, dtype=np.float64)
    size = out.shape[0] if n is None else n
    if out.shape != (size, size):
        raise ValueError(f"{name} must be square of order {size}, got shape {out.shape}")
    return out


def _coefficient_row(B, name: str, n: int) -> np.ndarray:
    B = np.asarray(B, dtype=np.float64)
    if B.shape != (n, 3):
        raise ValueError(f"{name} must have shape ({n}, 3), got {B.shape}")
    if n and not (B == B[0]).all():
        rows = np.flatnonzero(~(B == B[0]).all(axis=1))
        raise ValueError(f"{name} has rows that differ from its first (row {rows[0]}): "
                         f"parameters that vary over the mesh are not supported")
    return B[0] if n else np.zeros(3)


class FieldPrecision:
    """Q(theta) = c0 M0 + c1 M1 + c2 M2 with coefficients from the B matrices' (common) rows.

    `coefficients(theta)` gives (c0, c1, c2) = (tau² kappa⁴, 2 phi2 tau² kappa², tau²) and
    `coefficient_gradient(theta)` their derivatives, shape (2, 3): row j by theta_j.
    """

    def __init__(self, M0, M1, M2, B0, B1, B2) -> None:
        self.M0 = _square(M0, "M0")
        n = self.M0.shape[0]
        self.M1 = _square(M1, "M1", n)
        self.M2 = _square(M2, "M2", n)
        self.b = np.vstack([_coefficient_row(B, name, n)
                            for B, name in ((B0, "B0"), (B1, "B1"), (B2, "B2"))])
        self.n = n

    @classmethod
    def of_model(cls, model) -> "FieldPrecision":
        """The parameterisation of a `GFIELD2PcMatern` model, from its own matrices."""
        return cls(model.M0, model.M1, model.M2, model.B0, model.B1, model.B2)

    def phi(self, theta: Theta) -> np.ndarray:
        """(phi0, phi1, phi2) = (log tau, log kappa², stiffness weight)."""
        t0, t1 = (float(t) for t in theta)
        return self.b[:, 0] + self.b[:, 1] * t0 + self.b[:, 2] * t1

    def coefficients(self, theta: Theta) -> np.ndarray:
        phi0, phi1, phi2 = self.phi(theta)
        return np.array([np.exp(2 * phi0 + 2 * phi1), 2 * phi2 * np.exp(2 * phi0 + phi1),
                         np.exp(2 * phi0)])

    def coefficient_gradient(self, theta: Theta) -> np.ndarray:
        phi0, phi1, phi2 = self.phi(theta)
        d0, d1, d2 = self.b[:, 1:]  # d phi_k / d theta_j, shape (2,) each
        c0, c1, c2 = self.coefficients(theta)
        return np.column_stack([
            c0 * (2 * d0 + 2 * d1),
            c1 * (2 * d0 + d1) + 2 * np.exp(2 * phi0 + phi1) * d2,
            c2 * 2 * d0,
        ])

    def precision(self, theta: Theta) -> sparse.csr_matrix:
        c0, c1, c2 = self.coefficients(theta)
        return (c0 * self.M0 + c1 * self.M1 + c2 * self.M2).tocsr()


def precision_from_files(prefix: Union[str, os.PathLike], theta: Theta) -> sparse.csr_matrix:
    """Q(theta) from the seven model files `<prefix>.M0` ... `<prefix>.BLC`.

    theta = (log range, log sigma). Raises ValueError for files of inconsistent shapes and
    for B matrices whose rows differ; reading errors are those of `read_meshkin_file`.
    """
    prefix = os.fspath(prefix)
    m = {suffix: read_meshkin_file(prefix + suffix) for suffix in MODEL_FILES}
    blc = np.asarray(m[".BLC"])
    if blc.ndim != 2 or blc.shape[1] != 3:
        raise ValueError(f"{prefix}.BLC must have 3 columns (a constant and two "
                         f"hyperparameters), got shape {blc.shape}")
    values = np.asarray(theta, dtype=np.float64)
    if values.shape != (2,):
        raise ValueError(f"theta must hold two values (log range, log sigma), got {values.shape}")
    field = FieldPrecision(m[".M0"], m[".M1"], m[".M2"], m[".B0"], m[".B1"], m[".B2"])
    return field.precision(values)

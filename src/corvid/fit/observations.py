"""Observations checked and put in the form the fit needs: the field's basis at the
locations, the responses, and the fixed effects' design matrix."""

from __future__ import annotations

import dataclasses
import math
from typing import Optional

import numpy as np
from scipy import sparse

from ..meshkin.locate import basis_matrix

__all__ = ["Observations", "observations", "response_values", "design_matrix", "new_design",
           "fixed_prior_sd"]

SHOWN = 5  # rows named in a message
FIXED_PRIOR_SCALE = 1000.0


@dataclasses.dataclass(frozen=True)
class Observations:
    """A: basis at the locations (CSR, n_obs x mesh.n); y (n_obs,); X (n_obs, k), the
    intercept first when there is one; names: the k fixed effects."""

    A: sparse.csr_matrix
    y: np.ndarray
    X: np.ndarray
    names: list[str]


def _rows(mask: np.ndarray) -> str:
    rows = np.flatnonzero(mask)
    shown = ", ".join(str(r) for r in rows[:SHOWN])
    return shown + (", ..." if rows.size > SHOWN else "")


def _real(values, name: str) -> np.ndarray:
    values = np.asarray(values)
    if values.dtype.kind not in "biuf":
        raise ValueError(f"{name} must hold real numbers, got an array of dtype {values.dtype}")
    return values.astype(np.float64)


def _finite(values: np.ndarray, name: str) -> None:
    bad = ~np.isfinite(values)
    if bad.ndim == 2:
        bad = bad.any(axis=1)
    if bad.any():
        raise ValueError(f"{name}: {int(bad.sum())} row(s) with non-finite values (NaN or "
                         f"inf), the first in rows {_rows(bad)}")


def design_matrix(covariates, n: int, intercept: bool) -> tuple[np.ndarray, list[str]]:
    """(X, names) for n observations: a column of ones first if `intercept`, then the
    covariates ((n, p), or (n,) for one; a table's column names are kept)."""
    columns, names = [], []
    if intercept:
        columns.append(np.ones((n, 1)))
        names.append("intercept")
    if covariates is not None:
        labels = getattr(covariates, "columns", None)
        values = _real(covariates, "covariates")
        if values.ndim == 1:
            values = values[:, None]
        if values.ndim != 2 or values.shape[0] != n:
            raise ValueError(f"covariates must have shape ({n}, p) or ({n},), got {values.shape}")
        _finite(values, "covariates")
        p = values.shape[1]
        names += [str(c) for c in labels] if labels is not None and len(labels) == p else \
            [f"x{j}" for j in range(p)]
        columns.append(values)
    X = np.hstack(columns) if columns else np.empty((n, 0))
    _require_independent(X, names)
    return X, names


def root_mean_square(values: np.ndarray) -> np.ndarray:
    """The root mean square of each column (of the values, when one-dimensional).

    Each column is divided by its largest magnitude first, so that the squares neither
    overflow nor underflow whatever its units; a column of zeros gives 0.
    """
    if values.shape[0] == 0:
        return np.zeros(values.shape[1:])
    largest = np.max(np.abs(values), axis=0)
    scaled = values / np.where(largest > 0.0, largest, 1.0)
    return largest * np.sqrt(np.mean(scaled * scaled, axis=0))


def _require_independent(X: np.ndarray, names: list[str]) -> None:
    """Refuses a column that the earlier ones reproduce, naming the columns involved."""
    if X.shape[0] == 0:  # nothing to compare; the caller says there are no observations
        return
    scale = root_mean_square(X)
    for j in range(X.shape[1]):
        if scale[j] == 0.0:
            raise ValueError(f"fixed effect {names[j]!r} is zero in every row")
        if j == 0:
            continue
        before = X[:, :j] / scale[:j]
        coef, *_ = np.linalg.lstsq(before, X[:, j] / scale[j], rcond=None)
        residual = X[:, j] / scale[j] - before @ coef
        if np.sqrt((residual ** 2).mean()) <= 1e-9:
            involved = [names[i] for i in np.flatnonzero(np.abs(coef) > 1e-9)]
            raise ValueError(f"fixed effects are collinear: {names[j]!r} is a combination of "
                             f"{', '.join(repr(name) for name in involved)}")


def response_values(y) -> np.ndarray:
    """The observations as a finite float64 vector; ValueError says what is wrong."""
    y = _real(y, "y")
    if y.ndim != 1:
        raise ValueError(f"y must be one-dimensional, got shape {y.shape}")
    _finite(y, "y")
    return y


# The fit sums squares of y and of the covariates over the rows and takes the fixed
# effects' prior precisions, (rms(x) / (1000 rms(y)))^2: all must stay well inside the
# floating-point range (about 1e-308 to 1e308).
_SQUARES = 1e300


def _require_representable(y: np.ndarray, X: np.ndarray, names: list[str]) -> None:
    """Refuses data whose scale the fit's arithmetic cannot hold, saying which and why."""
    n = y.shape[0]
    rms_y = float(root_mean_square(y))
    rms_x = root_mean_square(X)
    for name, rms in [("y", rms_y)] + [(f"fixed effect {k!r}", float(r)) for k, r in zip(names, rms_x)]:
        if rms > math.sqrt(_SQUARES / n):
            raise ValueError(f"{name} is too large for the fit's arithmetic: its root mean square "
                             f"{rms:.3g} over {n} rows brings sums of squares near the largest "
                             "floating-point number; rescale it, e.g. to units near 1")
        if 0.0 < rms < 1.0 / math.sqrt(_SQUARES):
            raise ValueError(f"{name} is too small for the fit's arithmetic: its root mean square "
                             f"{rms:.3g} brings squares near the smallest floating-point numbers; "
                             "rescale it, e.g. to units near 1")
    ratio = rms_x / (FIXED_PRIOR_SCALE * (rms_y or 1.0))
    far = np.flatnonzero(~((ratio < math.sqrt(_SQUARES)) & (ratio > 1.0 / math.sqrt(_SQUARES))))
    if far.size:
        j = int(far[0])
        raise ValueError(f"fixed effect {names[j]!r} and y differ too much in scale (root mean squares "
                         f"{rms_x[j]:.3g} and {rms_y:.3g}): the precision of the effect's prior, "
                         f"(rms(x) / (1000 rms(y)))^2, is beyond floating point; rescale one of them")


def observations(mesh, loc, y, covariates=None, intercept: bool = True) -> Observations:
    """Checks and assembles the data of a fit; ValueError says what is wrong and where."""
    y = _real(y, "y")
    if y.ndim != 1:
        raise ValueError(f"y must be one-dimensional, got shape {y.shape}")
    n = y.shape[0]
    if n == 0:
        raise ValueError("there are no observations: y is empty")
    loc = _real(loc, "loc")
    if loc.ndim != 2 or loc.shape[1] != 2 or loc.shape[0] != n:
        raise ValueError(f"loc must have shape ({n}, 2), one location per value of y, "
                         f"got {loc.shape}")
    _finite(y, "y")
    _finite(loc, "loc")
    X, names = design_matrix(covariates, n, intercept)
    _require_representable(y, X, names)
    if n < X.shape[1] + 1:
        raise ValueError(f"{n} observation(s) cannot fit {X.shape[1]} fixed effect(s) and the "
                         f"noise: at least {X.shape[1] + 1} are needed")
    A = basis_matrix(mesh, loc)
    outside = np.diff(A.indptr) == 0
    if outside.any():
        first = int(np.argmax(outside))
        raise ValueError(f"{int(outside.sum())} location(s) lie outside the mesh, where the "
                         f"field cannot be observed; the first is row {first} at "
                         f"({loc[first, 0]:g}, {loc[first, 1]:g})")
    return Observations(A=sparse.csr_matrix(A), y=y, X=X, names=names)


def new_design(covariates, n: int, intercept: bool, p: int) -> np.ndarray:
    """The design matrix at new locations, for a fit with p covariates."""
    if covariates is None and p:
        raise ValueError(f"this fit has {p} covariate(s): give their values at the new locations")
    if covariates is not None and not p:
        raise ValueError("this fit has no covariates, but covariates were given")
    values: Optional[np.ndarray] = None
    if covariates is not None:
        values = _real(covariates, "covariates")
        values = values[:, None] if values.ndim == 1 else values
        if values.ndim != 2 or values.shape != (n, p):
            raise ValueError(f"covariates must have shape ({n}, {p}), got {values.shape}")
        _finite(values, "covariates")
    columns = ([np.ones((n, 1))] if intercept else []) + ([values] if values is not None else [])
    return np.hstack(columns) if columns else np.empty((n, 0))


def fixed_prior_sd(data: Observations) -> np.ndarray:
    """The prior sd of each fixed effect: 1000 rms(y) / rms(x_j), so that the prior is vague
    in any units of y and of the covariates."""
    rms_y = float(root_mean_square(data.y)) or 1.0
    rms_x = root_mean_square(data.X)
    return FIXED_PRIOR_SCALE * rms_y / rms_x

"""The result of `fit_gaussian`: estimates as plain attributes, a summary table, and
predictions at new locations and on a grid."""

from __future__ import annotations

from typing import NamedTuple, Optional, Sequence, Tuple

import numpy as np
from scipy import stats

from ..meshkin.locate import MeshGridProjector, basis_matrix
from .latent import Conditional
from .observations import new_design

__all__ = ["GaussianFit", "Hyperparameter"]

Z95 = float(stats.norm.ppf(0.975))
HYPERPARAMETERS = ("range", "sigma", "noise_sd")


class Hyperparameter(NamedTuple):
    """A hyperparameter in its own units: the posterior mode, the standard error (delta
    method from theta's), and the 95% interval exp(theta ± 1.96 se)."""

    estimate: float
    std_error: float
    lower: float
    upper: float


class _Mixture:
    """The posterior of (u, beta) as a weighted mixture of the Gaussians given theta at the
    design points (a single one without integration)."""

    def __init__(self, conditionals: Sequence[Conditional], weights: np.ndarray, edges) -> None:
        self.conditionals = list(conditionals)
        self.weights = np.asarray(weights, dtype=np.float64)
        self.edges = edges
        n = conditionals[0].mean_field.size
        i, j = edges
        self._edge_keys = i * n + j

    def combine(self, means: list[np.ndarray], variances: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
        w = self.weights
        mean = sum(wk * m for wk, m in zip(w, means))
        second = sum(wk * (v + m**2) for wk, m, v in zip(w, means, variances))
        return mean, np.sqrt(np.maximum(second - mean**2, 0.0))

    def linear(self, B, X: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Mean and sd of B u + X beta, B a sparse basis with at most three entries a row
        on the vertices of one triangle."""
        cols, vals = _padded_rows(B)
        n = self.conditionals[0].mean_field.size
        pairs = []
        for a, b in ((0, 1), (0, 2), (1, 2)):
            used = (vals[:, a] != 0) & (vals[:, b] != 0)
            hi, lo = np.maximum(cols[:, a], cols[:, b]), np.minimum(cols[:, a], cols[:, b])
            where = np.searchsorted(self._edge_keys, hi[used] * n + lo[used])
            where = np.minimum(where, self._edge_keys.size - 1)
            if np.any(self._edge_keys[where] != hi[used] * n + lo[used]):
                raise ValueError("the basis couples vertices that share no triangle")
            pairs.append((a, b, used, where))
        means, variances = [], []
        for c in self.conditionals:
            var = np.sum(vals**2 * c.var_field[cols], axis=1)
            for a, b, used, where in pairs:
                var[used] += 2.0 * vals[used, a] * vals[used, b] * c.edge_cov[where]
            var += 2.0 * np.sum(np.asarray(B @ c.cov_field_fixed) * X, axis=1)
            var += np.sum((X @ c.cov_fixed) * X, axis=1)
            means.append(np.asarray(B @ c.mean_field).ravel() + X @ c.mean_fixed)
            variances.append(var)
        return self.combine(means, variances)


def _padded_rows(B) -> tuple[np.ndarray, np.ndarray]:
    """(cols, vals), shape (rows, 3): each row's entries, zero-padded."""
    B = B.tocsr()
    counts = np.diff(B.indptr)
    if counts.size and counts.max() > 3:
        raise ValueError("a basis row has more than three entries")
    cols = np.zeros((B.shape[0], 3), dtype=np.int64)
    vals = np.zeros((B.shape[0], 3))
    slot = np.arange(B.nnz) - np.repeat(B.indptr[:-1], counts)
    row = np.repeat(np.arange(B.shape[0]), counts)
    cols[row, slot] = B.indices
    vals[row, slot] = B.data
    return cols, vals


class GaussianFit:
    """A Gaussian field fitted by `fit_gaussian`. Results are plain attributes:

    theta : (3,) log range, log sigma, log noise sd at the posterior mode (or as given)
    theta_cov : (3, 3) inverse of minus the log posterior's Hessian there (NaN when theta
        was given)
    hyperparameters : {"range", "sigma", "noise_sd"} -> Hyperparameter(estimate, std_error,
        lower, upper), in the data's units
    field_mean, field_sd : (n,) the field at every mesh vertex (fixed effects not included)
    fixed_names : k names ("intercept", then the covariates)
    fixed_mean, fixed_sd : (k,); fixed_cov : (k, k)
    fixed_prior_sd : (k,) the prior sd of each fixed effect (see `fit_gaussian`)
    log_marginal_likelihood : log p(y | theta), the field and fixed effects integrated out
    log_posterior : log p(y | theta) + log pi(theta)
    converged : False when the optimiser warned; n_evaluations, seconds, backend
    design_theta, design_weights : the integration points and weights (one point without)
    """

    def __init__(self, *, mesh, intercept: bool, n_obs: int, fixed_names: list[str],
                 fixed_prior_sd: np.ndarray, theta: np.ndarray, theta_cov: np.ndarray,
                 log_posterior: float, conditionals: Sequence[Conditional], weights: np.ndarray,
                 edges, converged: bool, n_evaluations: int, seconds: float, backend: str,
                 integrated: bool) -> None:
        self.mesh = mesh
        self.intercept = intercept
        self.n_obs = n_obs
        self.fixed_names = list(fixed_names)
        self.fixed_prior_sd = fixed_prior_sd
        self.theta = theta
        self.theta_cov = theta_cov
        self.log_posterior = float(log_posterior)
        self.converged = converged
        self.n_evaluations = n_evaluations
        self.seconds = seconds
        self.backend = backend
        self.integrated = integrated
        self._mixture = _Mixture(conditionals, weights, edges)
        self.design_theta = np.array([c.theta for c in conditionals])
        self.design_weights = np.asarray(weights, dtype=np.float64)
        centre = conditionals[0]
        self.log_marginal_likelihood = float(centre.log_likelihood)
        self.field_mean, self.field_sd = self._mixture.combine(
            [c.mean_field for c in conditionals], [c.var_field for c in conditionals])
        self.fixed_mean = sum(w * c.mean_fixed for w, c in zip(weights, conditionals))
        self.fixed_cov = sum(w * (c.cov_fixed + np.outer(c.mean_fixed, c.mean_fixed))
                             for w, c in zip(weights, conditionals)) - np.outer(self.fixed_mean, self.fixed_mean)
        self.fixed_sd = np.sqrt(np.maximum(np.diag(self.fixed_cov), 0.0))
        se = np.sqrt(np.maximum(np.diag(theta_cov), 0.0)) if np.all(np.isfinite(theta_cov)) \
            else np.full(3, np.nan)
        self.hyperparameters = {
            name: Hyperparameter(float(np.exp(t)), float(np.exp(t) * s), float(np.exp(t - Z95 * s)),
                                 float(np.exp(t + Z95 * s)))
            for name, t, s in zip(HYPERPARAMETERS, theta, se)}

    def predict(self, loc, covariates=None) -> Tuple[np.ndarray, np.ndarray]:
        """Posterior mean and sd of the field plus fixed effects at locations `loc` (m, 2)
        with the covariates' values there ((m, p), or (m,) for one).

        The sd is that of the signal; a new observation adds the noise: sqrt(sd² +
        noise_sd²). Locations outside the mesh get NaN.
        """
        loc = np.asarray(loc, dtype=np.float64)
        if loc.ndim != 2 or loc.shape[1] != 2:
            raise ValueError(f"loc must have shape (m, 2), got {loc.shape}")
        B = basis_matrix(self.mesh, loc)
        X = new_design(covariates, loc.shape[0], self.intercept,
                       len(self.fixed_names) - int(self.intercept))
        return self._at(B, X)

    def _at(self, B, X: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
        inside = np.diff(B.indptr) > 0
        mean = np.full(B.shape[0], np.nan)
        sd = np.full(B.shape[0], np.nan)
        if inside.any():
            mean[inside], sd[inside] = self._mixture.linear(B[inside], X[inside])
        return mean, sd

    def grid(self, dims: Tuple[int, int] = (100, 100), xlim: Optional[Tuple[float, float]] = None,
             ylim: Optional[Tuple[float, float]] = None) -> Tuple[np.ma.MaskedArray, np.ma.MaskedArray]:
        """Mean and sd images, shape (ny, nx) for dims = (nx, ny), of the intercept plus
        the field (covariates at zero) on `MeshGridProjector(mesh, dims, xlim, ylim)`'s
        points (its `x`, `y`); masked outside the mesh."""
        projector = MeshGridProjector(self.mesh, dims=dims, xlim=xlim, ylim=ylim)
        X = np.zeros((projector.lattice.shape[0], len(self.fixed_names)))
        if self.intercept:
            X[:, 0] = 1.0
        mean, sd = self._at(projector.proj, X)
        shape = (projector.y.size, projector.x.size)
        mask = ~np.asarray(projector.inside).reshape(shape)
        return (np.ma.masked_array(mean.reshape(shape), mask=mask),
                np.ma.masked_array(sd.reshape(shape), mask=mask))

    def summary(self) -> str:
        """The estimates as a table of text."""
        lines = [f"Gaussian fit: {self.n_obs} observations, field on {self.mesh.n} mesh vertices, "
                 f"{len(self.fixed_names)} fixed effect(s)", "",
                 f"{'hyperparameter':<16}{'estimate':>12}{'std.error':>12}{'2.5%':>12}{'97.5%':>12}"]
        for name, h in self.hyperparameters.items():
            lines.append(f"{name:<16}{h.estimate:>12.5g}{h.std_error:>12.4g}{h.lower:>12.5g}"
                         f"{h.upper:>12.5g}")
        if self.fixed_names:
            lines += ["", f"{'fixed effect':<16}{'mean':>12}{'sd':>12}{'2.5%':>12}{'97.5%':>12}"]
            for name, m, s in zip(self.fixed_names, self.fixed_mean, self.fixed_sd):
                lines.append(f"{name[:15]:<16}{m:>12.5g}{s:>12.4g}{m - Z95 * s:>12.5g}"
                             f"{m + Z95 * s:>12.5g}")
        how = (f"integrated over {len(self.design_weights)} design points" if self.integrated
               else "at the mode" if np.all(np.isfinite(self.theta_cov)) else "at the given theta")
        lines += ["", f"log marginal likelihood {self.log_marginal_likelihood:.4f}, log posterior "
                      f"{self.log_posterior:.4f}",
                  f"field and fixed effects {how}; {self.n_evaluations} evaluations, "
                  f"{self.seconds:.1f} s, {self.backend}"
                  + ("" if self.converged else "; NOT CONVERGED")]
        return "\n".join(lines)

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={h.estimate:.4g}" for name, h in self.hyperparameters.items())
        return f"GaussianFit({values}, n_obs={self.n_obs})"

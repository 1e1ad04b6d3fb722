"""The result of a fit: estimates as plain attributes, a summary table, and predictions at
new locations and on a grid, on the link or the response scale."""

from __future__ import annotations

from typing import NamedTuple, Optional, Sequence, Tuple

import numpy as np
from scipy import stats

from ..meshkin.locate import MeshGridProjector, basis_matrix
from .families import Family, Gaussian
from .latent import Conditional
from .marginals import hyperparameter_marginals
from .observations import new_design

__all__ = ["LatentFit", "GaussianFit", "Hyperparameter"]

Z95 = float(stats.norm.ppf(0.975))


class Hyperparameter(NamedTuple):
    """A hyperparameter in its own units: the posterior mode of its log (exp(theta)), and
    the sd and 95% interval (2.5% and 97.5% quantiles) of its marginal posterior, from a
    Gaussian in theta skewed along each principal axis by the log posterior's own fall
    (see `corvid.fit.marginals`)."""

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
        return self.combine(*self.linear_parts(B, X))

    def linear_parts(self, B, X: np.ndarray) -> tuple[list[np.ndarray], list[np.ndarray]]:
        """Means and variances of B u + X beta under each design point's Gaussian."""
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
        return means, variances


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


def _scale_factor(values, name: str, m: int, allowed: bool, family: str) -> np.ndarray:
    """Exposure or trials at new locations: ones when not given."""
    if values is None:
        return np.ones(m)
    if not allowed:
        raise ValueError(f"{name} does not apply to the {family} family")
    array = np.asarray(values, dtype=np.float64)
    array = np.broadcast_to(array, (m,)) if array.ndim == 0 else array
    if array.shape != (m,) or not np.all(np.isfinite(array) & (array > 0.0)):
        raise ValueError(f"{name} must be positive and finite, one value or one per location "
                         f"({m}), got shape {array.shape}")
    return array


class LatentFit:
    """A latent Gaussian model fitted by `corvid.fit.fit`. Results are plain attributes:

    family : the likelihood family's name ("gaussian", "poisson", "binomial", "nbinomial",
        "gamma"); link : its link ("identity", "log", "logit")
    theta : (d,) log range, log sigma and, for families that have one, the log of the
        family's hyperparameter (noise sd, size or phi), at the posterior mode (or as given;
        for the non-Gaussian families the mode of the corrected posterior, see `fit`)
    theta_cov : (d, d) inverse of minus the log posterior's Hessian there (NaN when theta
        was given)
    theta_scales : (d, 2) the posterior's scale along each principal axis of theta_cov, on
        its negative and positive side, relative to theta_cov's (1, 1 for a Gaussian); None
        when theta was given (see `corvid.fit.marginals`)
    hyperparameters : {"range", "sigma"[, "noise_sd" | "size" | "phi"]} -> Hyperparameter(
        estimate, std_error, lower, upper): exp(theta), and the sd and the 2.5% and 97.5%
        quantiles of the marginal posterior that theta_cov and theta_scales give; the range
        in the mesh's units
    field_mean, field_sd : (n,) the field at every mesh vertex (fixed effects not included)
    fixed_names : k names ("intercept", then the covariates)
    fixed_mean, fixed_sd : (k,); fixed_cov : (k, k)
    field_mode, fixed_mode : the latent mode at the central theta (for the Gaussian family,
        and with `mean_correction=False`, the same as the means given theta)
    fixed_prior_sd : (k,) the prior sd of each fixed effect (see `fit`)
    log_marginal_likelihood : log p(y | theta), the latent field and fixed effects
        integrated out (exactly for the Gaussian, by the Laplace approximation otherwise),
        every constant of the likelihood included, so it compares across families
    log_posterior : log p(y | theta) + log pi(theta)
    converged : False when the optimiser warned; n_evaluations, seconds, backend
    theta_given : True when theta was given rather than estimated
    design_theta, design_weights : the integration points and weights (one point without)
    """

    theta_given = False

    def __init__(self, *, mesh, family: Family, intercept: bool, n_obs: int,
                 fixed_names: list[str], fixed_prior_sd: np.ndarray, theta: np.ndarray,
                 theta_cov: np.ndarray, log_posterior: float, conditionals: Sequence[Conditional],
                 weights: np.ndarray, edges, converged: bool, n_evaluations: int, seconds: float,
                 backend: str, integrated: bool, theta_scales: Optional[np.ndarray] = None) -> None:
        self.mesh = mesh
        self._family = family
        self.family, self.link = family.name, family.link
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
        self.field_mode = centre.mean_field if centre.mode_field is None else centre.mode_field
        self.fixed_mode = centre.mean_fixed if centre.mode_fixed is None else centre.mode_fixed
        self.fixed_mean = sum(w * c.mean_fixed for w, c in zip(weights, conditionals))
        self.fixed_cov = sum(w * (c.cov_fixed + np.outer(c.mean_fixed, c.mean_fixed))
                             for w, c in zip(weights, conditionals)) - np.outer(self.fixed_mean, self.fixed_mean)
        self.fixed_sd = np.sqrt(np.maximum(np.diag(self.fixed_cov), 0.0))
        names = ("range", "sigma") + ((family.hyperparameter,) if family.hyperparameter else ())
        self.theta_scales = theta_scales
        marginals = hyperparameter_marginals(theta, theta_cov, theta_scales)
        self.hyperparameters = {
            name: Hyperparameter(float(np.exp(t)), float(sd), float(lower), float(upper))
            for name, t, (lower, upper, sd) in zip(names, theta, marginals)}

    def predict(self, loc, covariates=None, *, exposure=None, trials=None,
                scale: str = "link") -> Tuple[np.ndarray, np.ndarray]:
        """Posterior mean and sd at locations `loc` (m, 2), with the covariates' values
        there ((m, p), or (m,) for one).

        scale="link": of the linear predictor eta = field + fixed effects, without an
        exposure's offset. For the Gaussian family this is the signal; a new observation
        adds the noise: sqrt(sd² + noise_sd²).
        scale="response": of the mean the family's link gives, E exp(eta) (poisson,
        nbinomial: `exposure` E, 1 by default, so the expected count per unit of exposure),
        N logistic(eta) (binomial: `trials` N, 1 by default, so the probability), exp(eta)
        (gamma), eta (gaussian): exactly from the Gaussian posterior of eta for the log
        link, by Gauss–Hermite quadrature for the logit, mixed over the design points.
        Locations outside the mesh get NaN.
        """
        loc = np.asarray(loc, dtype=np.float64)
        if loc.ndim != 2 or loc.shape[1] != 2:
            raise ValueError(f"loc must have shape (m, 2), got {loc.shape}")
        factor = self._response_factor(scale, loc.shape[0], exposure, trials)
        B = basis_matrix(self.mesh, loc)
        X = new_design(covariates, loc.shape[0], self.intercept,
                       len(self.fixed_names) - int(self.intercept))
        return self._at(B, X, scale, factor)

    def _response_factor(self, scale: str, m: int, exposure, trials) -> np.ndarray:
        if scale not in ("link", "response"):
            raise ValueError(f"scale must be 'link' or 'response', got {scale!r}")
        family = self._family
        E = _scale_factor(exposure, "exposure", m, family.exposure, family.name)
        N = _scale_factor(trials, "trials", m, family.trials, family.name)
        return E * N

    def _at(self, B, X: np.ndarray, scale: str = "link",
            factor: Optional[np.ndarray] = None) -> Tuple[np.ndarray, np.ndarray]:
        inside = np.diff(B.indptr) > 0
        mean = np.full(B.shape[0], np.nan)
        sd = np.full(B.shape[0], np.nan)
        if inside.any():
            means, variances = self._mixture.linear_parts(B[inside], X[inside])
            if scale == "response":
                f = np.ones(B.shape[0]) if factor is None else factor
                moments = [self._family.response(m, np.sqrt(np.maximum(v, 0.0)), f[inside])
                           for m, v in zip(means, variances)]
                means, variances = [m for m, _ in moments], [s**2 for _, s in moments]
            mean[inside], sd[inside] = self._mixture.combine(means, variances)
        return mean, sd

    def grid(self, dims: Tuple[int, int] = (100, 100), xlim: Optional[Tuple[float, float]] = None,
             ylim: Optional[Tuple[float, float]] = None, *,
             scale: str = "link") -> Tuple[np.ma.MaskedArray, np.ma.MaskedArray]:
        """Mean and sd images, shape (ny, nx) for dims = (nx, ny), of the intercept plus
        the field (covariates at zero) on `MeshGridProjector(mesh, dims, xlim, ylim)`'s
        points (its `x`, `y`), on the link or the response scale as for `predict` (per unit
        of exposure, per trial); masked outside the mesh."""
        projector = MeshGridProjector(self.mesh, dims=dims, xlim=xlim, ylim=ylim)
        X = np.zeros((projector.lattice.shape[0], len(self.fixed_names)))
        if self.intercept:
            X[:, 0] = 1.0
        self._response_factor(scale, 0, None, None)
        mean, sd = self._at(projector.proj, X, scale)
        shape = (projector.y.size, projector.x.size)
        mask = ~np.asarray(projector.inside).reshape(shape)
        return (np.ma.masked_array(mean.reshape(shape), mask=mask),
                np.ma.masked_array(sd.reshape(shape), mask=mask))

    @property
    def crs(self):
        """The coordinate reference system of the mesh (and so of locations, ranges and
        maps) as a pyproj.CRS, or None for plain planar coordinates."""
        crs = getattr(self.mesh, "crs", None)
        if crs is None:
            return None
        from ..geo.crs import as_crs

        return as_crs(crs)

    def maps(self, dims: Tuple[int, int] = (100, 100), xlim: Optional[Tuple[float, float]] = None,
             ylim: Optional[Tuple[float, float]] = None, *, covariates=None,
             scale: Optional[str] = None, chunks: Optional[Tuple[int, int]] = None):
        """The posterior on a regular grid as an xarray Dataset, for a GIS (the geo extra).

        dims = (nx, ny) cells tiling xlim x ylim (by default the bounding box of the study
        region's triangles); coordinates x and y are the cell centres, y from north to
        south, and the mesh's CRS is a CF `spatial_ref` variable that every layer's
        `grid_mapping` names. Layers: "mean" and "sd" of the linear predictor (scale="link"),
        "response_mean" and "response_sd" of the family's mean per unit of exposure and per
        trial (scale="response"), or all four (scale="both"); by default "link" for the
        Gaussian family, "both" for the others. Their values equal `predict` at the cell
        centres; cells outside the mesh are NaN.

        covariates: {name: GeoTIFF path, xarray DataArray or `corvid.geo.Raster`} for the
            fit's covariates, sampled at the cell centres (bilinear, or nearest for
            categorical rasters, reprojected from the raster's CRS), so the maps show the
            full linear predictor; or {name: number} to hold a covariate at that value
            (its mean, say) over the whole map. Cells where a raster has no data are NaN
            (a warning gives their share); covariates given neither stand at zero (a
            warning names them), so the maps show intercept plus field without them.
        chunks: (cy, cx) cells per block: a dask-backed Dataset whose blocks are located,
            predicted and written on their own (`to_netcdf`, `to_geotiff`), so a map
            larger than memory never sits in it whole; fits pickle, so blocks run on
            dask.distributed workers too.
        """
        from .maps import fit_maps

        return fit_maps(self, dims, xlim, ylim, covariates=covariates, scale=scale, chunks=chunks)

    def to_geotiff(self, path, **maps_arguments) -> str:
        """Writes `maps(**maps_arguments)` as a float64 GeoTIFF (one band per layer, its
        description the layer's name; pixel centres at the map's coordinates), window by
        window for a dask-backed map; returns the path. The NetCDF comes from the map's own
        `to_netcdf`."""
        from ..geo import to_geotiff

        return to_geotiff(self.maps(**maps_arguments), path)

    def _units_line(self) -> list:
        crs = self.crs
        if crs is None:
            return []
        from ..geo.crs import crs_unit

        return [f"distances (the range) in {crs_unit(crs)}: the mesh's CRS is {crs.name}"]

    def _title(self) -> str:
        return (f"{self._family.title} fit ({self.link} link): {self.n_obs} observations, "
                f"field on {self.mesh.n} mesh vertices, {len(self.fixed_names)} fixed effect(s)")

    def summary(self) -> str:
        """The estimates as a table of text."""
        lines = [self._title(), "",
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
               else "at the given theta" if self.theta_given else "at the mode")
        lines += self._units_line()
        lines += ["", f"log marginal likelihood {self.log_marginal_likelihood:.4f}, log posterior "
                      f"{self.log_posterior:.4f}",
                  f"field and fixed effects {how}; {self.n_evaluations} evaluations, "
                  f"{self.seconds:.1f} s, {self.backend}"
                  + ("" if self.converged else "; NOT CONVERGED")]
        return "\n".join(lines)

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={h.estimate:.4g}" for name, h in self.hyperparameters.items())
        return f"{type(self).__name__}({values}, n_obs={self.n_obs})"


class GaussianFit(LatentFit):
    """A Gaussian field fitted by `fit_gaussian` (or `fit(..., family="gaussian")`): a
    `LatentFit` of the Gaussian family, its hyperparameters range, sigma and noise_sd."""

    def __init__(self, *, mesh, intercept: bool, n_obs: int, fixed_names: list[str],
                 fixed_prior_sd: np.ndarray, theta: np.ndarray, theta_cov: np.ndarray,
                 log_posterior: float, conditionals: Sequence[Conditional], weights: np.ndarray,
                 edges, converged: bool, n_evaluations: int, seconds: float, backend: str,
                 integrated: bool, family: Optional[Family] = None,
                 theta_scales: Optional[np.ndarray] = None) -> None:
        super().__init__(mesh=mesh, family=family or Gaussian(), intercept=intercept, n_obs=n_obs,
                         fixed_names=fixed_names, fixed_prior_sd=fixed_prior_sd, theta=theta,
                         theta_cov=theta_cov, log_posterior=log_posterior,
                         conditionals=conditionals, weights=weights, edges=edges,
                         converged=converged, n_evaluations=n_evaluations, seconds=seconds,
                         backend=backend, integrated=integrated, theta_scales=theta_scales)

    def _title(self) -> str:
        return (f"Gaussian fit: {self.n_obs} observations, field on {self.mesh.n} mesh vertices, "
                f"{len(self.fixed_names)} fixed effect(s)")

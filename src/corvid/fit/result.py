"""The result of a fit: estimates as plain attributes, a summary table, and predictions at
new locations and on a grid, on the link or the response scale."""

from __future__ import annotations

import itertools
from typing import Dict, Mapping, NamedTuple, Optional, Sequence, Tuple

import numpy as np
from scipy import sparse, stats

from ..meshkin.locate import MeshGridProjector, basis_matrix
from .effects.base import EffectPosterior, NewPoints, per_point
from .families import Family
from .latent import Conditional
from .marginals import hyperparameter_marginals
from .observations import new_design
from .posterior import PosteriorMethods

__all__ = ["LatentFit", "GaussianFit", "Hyperparameter", "wrap"]

Z95 = float(stats.norm.ppf(0.975))


class Hyperparameter(NamedTuple):
    """A hyperparameter in its own units: the posterior mode of its working scale mapped to
    them (exp(theta), or a correlation itself), and the sd and 95% interval (2.5% and
    97.5% quantiles) of its marginal posterior, measured along its ridge (see
    `corvid.fit.marginals`). The sd is inf where the posterior's upper tail is heavier than
    a Gaussian's beyond the farthest point measured and the variance lies out there (a
    range the data leave to its prior, whose density falls as range⁻², has none)."""

    estimate: float
    std_error: float
    lower: float
    upper: float


class _Mixture:
    """The posterior of (x, beta) as a weighted mixture of the Gaussians given theta at the
    design points (a single one without integration)."""

    def __init__(self, structure, conditionals: Sequence[Conditional], weights: np.ndarray) -> None:
        self.structure = structure
        self.conditionals = list(conditionals)
        self.weights = np.asarray(weights, dtype=np.float64)
        size = structure.size
        self._pair_keys = structure.pairs[0] * size + structure.pairs[1]
        self._compact = np.zeros(size, dtype=bool)
        self._compact[structure.compact] = True

    def combine(self, means: list[np.ndarray], variances: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
        w = self.weights
        mean = sum(wk * m for wk, m in zip(w, means))
        second = sum(wk * (v + m**2) for wk, m, v in zip(w, means, variances))
        return mean, np.sqrt(np.maximum(second - mean**2, 0.0))

    def values(self, b: int) -> tuple[np.ndarray, np.ndarray]:
        """Mean and sd of block b's latent values, in its shape."""
        s = self.structure
        span = slice(s.offsets[b], s.offsets[b + 1])
        mean, sd = self.combine([c.mean[span] for c in self.conditionals],
                                [c.var[span] for c in self.conditionals])
        shape = s.blocks[b].shape
        return mean.reshape(shape), sd.reshape(shape)

    def linear_parts(self, A, X: np.ndarray, unseen: Sequence[tuple[int, np.ndarray]] = ()
                     ) -> tuple[list[np.ndarray], list[np.ndarray]]:
        """Means and variances of A x + X beta under each design point's Gaussian, A (m, N)
        sparse with, per row, the vertices of one triangle in one slice of each block on
        the mesh and any values of the compact blocks; `unseen` (block, mask) adds the
        block's `unseen_variance` at the masked rows."""
        s = self.structure
        size = s.size
        A = sparse.csr_matrix(A)
        entries = A.tocoo()
        on_mesh = ~self._compact[entries.col]
        A_mesh = sparse.csr_matrix((entries.data[on_mesh], (entries.row[on_mesh], entries.col[on_mesh])),
                                   shape=A.shape)
        A_dense = np.hstack([A[:, s.compact].toarray(), X])
        cols, vals = _padded_rows(A_mesh)
        pairs = []
        for a, b in itertools.combinations(range(cols.shape[1]), 2):
            used = (vals[:, a] != 0) & (vals[:, b] != 0)
            hi, lo = np.maximum(cols[:, a], cols[:, b]), np.minimum(cols[:, a], cols[:, b])
            key = hi[used] * size + lo[used]
            where = np.minimum(np.searchsorted(self._pair_keys, key), max(self._pair_keys.size - 1, 0))
            if key.size and (self._pair_keys.size == 0 or np.any(self._pair_keys[where] != key)):
                raise ValueError("a row couples latent values whose covariance the fit did not keep")
            pairs.append((a, b, used, where))
        means, variances = [], []
        for c in self.conditionals:
            var = np.sum(vals**2 * c.var[cols], axis=1)
            for a, b, used, where in pairs:
                var[used] += 2.0 * vals[used, a] * vals[used, b] * c.pair_cov[where]
            var += 2.0 * np.sum(np.asarray(A_mesh @ c.cross) * A_dense, axis=1)
            var += np.sum((A_dense @ c.dense_cov) * A_dense, axis=1)
            for b, mask in unseen:
                var[mask] += s.blocks[b].unseen_variance(s.theta_of(c.theta, b))
            means.append(np.asarray(A @ c.mean).ravel() + X @ c.mean_fixed)
            variances.append(var)
        return means, variances


def _padded_rows(B) -> tuple[np.ndarray, np.ndarray]:
    """(cols, vals), shape (rows, widest row): each row's entries, zero-padded."""
    B = B.tocsr()
    counts = np.diff(B.indptr)
    width = int(counts.max()) if counts.size else 0
    cols = np.zeros((B.shape[0], width), dtype=np.int64)
    vals = np.zeros((B.shape[0], width))
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


class LatentFit(PosteriorMethods):
    """A latent Gaussian model fitted by `corvid.fit.fit`. Results are plain attributes:

    family : the likelihood family's name ("gaussian", "poisson", "binomial", "nbinomial",
        "gamma"); link : its link ("identity", "log", "logit")
    theta : (d,) the hyperparameters on their working scale, in the order of
        `hyperparameters`: the static field's log range and log sigma (when the model has
        one), the log of the family's hyperparameter (noise sd, size or phi) if it has one,
        then each effect's (log range and log sigma of a field, log((1 + rho)/(1 - rho))
        of a correlation, log sd of a group), at the posterior mode (or as given; for the
        non-Gaussian families the mode of the corrected posterior, see `fit`)
    theta_cov : (d, d) inverse of minus the log posterior's Hessian there (NaN when theta
        was given)
    theta_scales : (d, 2, 3) each hyperparameter's marginal scale on its lower and upper
        side at 1.5, 3 and 4.5 of its sds from theta, relative to its sd from theta_cov (all
        1 for a Gaussian): the sd of the Gaussian whose log density falls as far there;
        None when theta was given (see `corvid.fit.marginals`)
    hyperparameters : {"range", "sigma"[, "noise_sd" | "size" | "phi"], then the effects'
        "<name>_range", "<name>_sigma", "<name>_rho", "<name>_sd"} -> Hyperparameter(
        estimate, std_error, lower, upper) in its own units (a correlation as itself): the
        mode, and the sd and the 2.5% and 97.5% quantiles of the marginal posterior that
        theta_cov and theta_scales give; the ranges in the mesh's units (a smooth's in its
        covariate's)
    field_mean, field_sd : (n,) the static field at every mesh vertex (fixed effects not
        included); None for a fit without it (`spatial=False`)
    effects : {name: EffectPosterior} for each effect: `.mean`, `.sd`, `.mode` (where it
        differs from the mean), `.index` (see `fit`)
    times : the time steps of the space-time effect (None without one)
    fixed_names : k names ("intercept", then the covariates)
    fixed_mean, fixed_sd : (k,); fixed_cov : (k, k)
    field_mode, fixed_mode : the latent mode at the central theta (for the Gaussian family,
        and with `mean_correction=False`, the same as the means given theta)
    fixed_prior_sd : (k,) the prior sd of each fixed effect (see `fit`)
    log_marginal_likelihood : log p(y | theta), the latent blocks and fixed effects
        integrated out (exactly for the Gaussian, by the Laplace approximation otherwise),
        every constant of the likelihood included, so it compares across families
    log_posterior : log p(y | theta) + log pi(theta)
    converged : False when the optimiser warned; n_evaluations, seconds, backend
    theta_given : True when theta was given rather than estimated
    design_theta, design_weights : the integration points and weights (one point without)

    For further work on the posterior (joint samples, functionals), `_latent_at(theta)`
    re-creates the factored Gaussian posterior of the whole latent vector at a design
    point (`corvid.fit.latent.Factored`), and `_rows(loc, ...)` gives the rows of the
    linear predictor at new points, times and labels, in the latent vector's order.
    """

    def __init__(self, *, mesh, latent, intercept: bool, fixed_prior_sd: np.ndarray,
                 theta: np.ndarray, theta_cov: np.ndarray, log_posterior: float,
                 conditionals: Sequence[Conditional], weights: np.ndarray, converged: bool,
                 n_evaluations: int, seconds: float, backend: str, integrated: bool,
                 theta_scales: Optional[np.ndarray] = None, theta_given: bool = False) -> None:
        structure = latent.structure
        family: Family = structure.family
        self.mesh = mesh
        self._latent = latent
        self._structure = structure
        self._family = family
        self.family, self.link = family.name, family.link
        self.intercept = intercept
        self.n_obs = structure.n_obs
        self.fixed_names = list(structure.fixed_names)
        self.fixed_prior_sd = fixed_prior_sd
        self.theta = theta
        self.theta_cov = theta_cov
        self.log_posterior = float(log_posterior)
        self.converged = converged
        self.n_evaluations = n_evaluations
        self.seconds = seconds
        self.backend = backend
        self.integrated = integrated
        self.theta_scales = theta_scales
        self.theta_given = theta_given
        self._mixture = _Mixture(structure, conditionals, weights)
        self.design_theta = np.array([c.theta for c in conditionals])
        self.design_weights = np.asarray(weights, dtype=np.float64)
        centre = conditionals[0]
        self.log_marginal_likelihood = float(centre.log_likelihood)
        mode = centre.mean if centre.mode is None else centre.mode
        self.field_mean = self.field_sd = self.field_mode = None
        self.effects: Dict[str, EffectPosterior] = {}
        for b, block in enumerate(structure.blocks):
            mean, sd = self._mixture.values(b)
            if b == structure.field:
                self.field_mean, self.field_sd = mean, sd
                self.field_mode = structure.block_values(mode, b)
                continue
            self.effects[block.name] = EffectPosterior(
                block.name, block.kind, mean, sd,
                None if centre.mode is None else structure.block_values(mode, b), block.index)
        self.fixed_mode = centre.mean_fixed if centre.mode_fixed is None else centre.mode_fixed
        self.fixed_mean = sum(w * c.mean_fixed for w, c in zip(weights, conditionals))
        self.fixed_cov = sum(w * (c.cov_fixed + np.outer(c.mean_fixed, c.mean_fixed))
                             for w, c in zip(weights, conditionals)) - np.outer(self.fixed_mean, self.fixed_mean)
        self.fixed_sd = np.sqrt(np.maximum(np.diag(self.fixed_cov), 0.0))
        self.hyperparameters = _hyperparameters(structure, theta, theta_cov, theta_scales)
        steps = [block.index for block in structure.blocks if block.given_by == "time"]
        self.times = steps[0] if steps else None     # every space-time field has the same

    # ---- rows of the linear predictor --------------------------------------------------------

    def _points(self, basis, time, effects, leave_out=()) -> NewPoints:
        """The new points with their time and effects' values as arrays (m,)."""
        m = basis.shape[0]
        if effects is not None and not isinstance(effects, Mapping):
            raise ValueError(f"effects must be a mapping {{name: values}}, got "
                             f"{type(effects).__name__}")
        given = dict(effects or {})
        names = [b.name for b in self._structure.blocks if b.given_by == "effects"]
        unknown = [name for name in given if name not in names]
        if unknown:
            raise ValueError(f"this fit has no effect named {', '.join(map(repr, unknown))}: its "
                             f"effects with values per point are {', '.join(map(repr, names)) or 'none'}")
        values = {name: per_point(v, m, f"effects[{name!r}]") for name, v in given.items()}
        if time is not None:
            if self.times is None:
                raise ValueError("time is for a fit with a space-time effect; this fit has none")
            time = per_point(time, m, "time")
        return NewPoints(sparse.csr_matrix(basis), time, values, frozenset(leave_out))

    def _rows(self, loc, covariates=None, *, time=None, effects=None):
        """(A, X, unseen, inside) at new locations: the rows of the linear predictor in the
        latent vector's order (A (m_inside, N) sparse, X (m_inside, k)) at the points inside
        the mesh (`inside`, (m,) bool), and (block, mask) for the values the fit has not
        seen (a new group label: mean 0, the group's variance)."""
        loc = np.asarray(loc, dtype=np.float64)
        if loc.ndim != 2 or loc.shape[1] != 2:
            raise ValueError(f"loc must have shape (m, 2), got {loc.shape}")
        X = new_design(covariates, loc.shape[0], self.intercept,
                       len(self.fixed_names) - int(self.intercept))
        points = self._points(basis_matrix(self.mesh, loc), time, effects)
        return self._rows_at(points, X)

    def _rows_at(self, points: NewPoints, X: np.ndarray):
        inside = np.diff(points.basis.indptr) > 0
        within = points.subset(inside)
        rows, unseen = [], []
        for b, block in enumerate(self._structure.blocks):
            r = block.rows_at(within)
            rows.append(r.matrix)
            if r.unseen is not None and r.unseen.any():
                unseen.append((b, r.unseen))
        A = sparse.hstack(rows, format="csr") if rows else sparse.csr_matrix((int(inside.sum()), 0))
        return A, X[inside], unseen, inside

    def _latent_at(self, theta):
        """The factored Gaussian posterior of the latent vector at theta (a design point):
        see `corvid.fit.latent.Factored`. For the non-Gaussian families Newton's method runs
        again from the last mode, and the mean is the corrected one where the fit's is."""
        return self._latent.factored(np.asarray(theta, dtype=np.float64))

    # ---- predictions -------------------------------------------------------------------------

    def predict(self, loc, covariates=None, *, time=None, effects=None, exposure=None,
                trials=None, scale: str = "link") -> Tuple[np.ndarray, np.ndarray]:
        """Posterior mean and sd at locations `loc` (m, 2), with the covariates' values
        there ((m, p), or (m,) for one).

        time : the time of each point (m,), or one for all, for a fit with a space-time
            effect: each must be one of its steps (`times`), else a ValueError names it.
        effects : {name: values (m,) or one value} for the fit's effects with values:
            - a group's labels: an omitted group is left out (the population level), and
              a label the fit has not seen has mean 0 and adds the group's variance;
            - a smooth's covariate values, within its knots' span, and a varying
              coefficient's covariate values: both required (a ValueError names them).
        scale="link": of the linear predictor eta = field + effects + fixed effects,
        without an exposure's offset. For the Gaussian family this is the signal; a new
        observation adds the noise: sqrt(sd² + noise_sd²).
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
        X = new_design(covariates, loc.shape[0], self.intercept,
                       len(self.fixed_names) - int(self.intercept))
        points = self._points(basis_matrix(self.mesh, loc), time, effects)
        return self._at(points, X, scale, factor)

    def _response_factor(self, scale: str, m: int, exposure, trials) -> np.ndarray:
        if scale not in ("link", "response"):
            raise ValueError(f"scale must be 'link' or 'response', got {scale!r}")
        family = self._family
        E = _scale_factor(exposure, "exposure", m, family.exposure, family.name)
        N = _scale_factor(trials, "trials", m, family.trials, family.name)
        return E * N

    def _at(self, points: NewPoints, X: np.ndarray, scale: str = "link",
            factor: Optional[np.ndarray] = None) -> Tuple[np.ndarray, np.ndarray]:
        A, X_inside, unseen, inside = self._rows_at(points, X)
        mean = np.full(points.m, np.nan)
        sd = np.full(points.m, np.nan)
        if inside.any():
            means, variances = self._mixture.linear_parts(A, X_inside, unseen)
            if scale == "response":
                f = np.ones(points.m) if factor is None else factor
                moments = [self._family.response(m, np.sqrt(np.maximum(v, 0.0)), f[inside])
                           for m, v in zip(means, variances)]
                means, variances = [m for m, _ in moments], [s**2 for _, s in moments]
            mean[inside], sd[inside] = self._mixture.combine(means, variances)
            if scale == "response":   # a mixture's weights sum to 1 only to rounding
                ends = self._family.inverse_link(np.array([-np.inf, np.inf]))
                mean[inside] = np.clip(mean[inside], ends[0] * f[inside], ends[1] * f[inside])
        return mean, sd

    def _map_points(self, basis, time, values: Optional[Mapping[str, np.ndarray]] = None) -> NewPoints:
        """Map cells as new points: the effects with values per point that `values` does
        not give are left out (a group at the population level)."""
        given = {name: v for name, v in (values or {}).items()
                 if name in {b.name for b in self._structure.blocks if b.given_by == "effects"}}
        left = [b.name for b in self._structure.blocks
                if b.given_by == "effects" and b.name not in given]
        return self._points(basis, time, given, leave_out=left)

    def _steps(self, time) -> list:
        """The time steps a map shows: the one asked, or every step (None for a fit
        without time)."""
        if self.times is None:
            if time is not None:
                raise ValueError("time is for a fit with a space-time effect; this fit has none")
            return [None]
        if time is None:
            return list(self.times)
        if np.ndim(time) != 0:
            raise ValueError(f"time must be one step of the fit's ({', '.join(map(str, self.times))}) "
                             f"or None for every step, got {time!r}")
        for block in self._structure.blocks:
            if block.given_by == "time":
                block.rows_at(NewPoints(sparse.csr_matrix((1, self.mesh.n)), np.array([time])))
        return [time]

    def grid(self, dims: Tuple[int, int] = (100, 100), xlim: Optional[Tuple[float, float]] = None,
             ylim: Optional[Tuple[float, float]] = None, *, scale: str = "link",
             time=None) -> Tuple[np.ma.MaskedArray, np.ma.MaskedArray]:
        """Mean and sd images, shape (ny, nx) for dims = (nx, ny), of the intercept plus
        the field (covariates at zero, groups at the population level, smooth and varying
        effects left out) on `MeshGridProjector(mesh, dims, xlim, ylim)`'s points (its `x`,
        `y`), on the link or the response scale as for `predict` (per unit of exposure,
        per trial); masked outside the mesh. A fit with a space-time effect adds its field
        at the step `time`, or, with time=None, gives every step: shape (T, ny, nx) in the
        order of `times`."""
        projector = MeshGridProjector(self.mesh, dims=dims, xlim=xlim, ylim=ylim)
        X = np.zeros((projector.lattice.shape[0], len(self.fixed_names)))
        if self.intercept:
            X[:, 0] = 1.0
        self._response_factor(scale, 0, None, None)
        shape = (projector.y.size, projector.x.size)
        mask = ~np.asarray(projector.inside).reshape(shape)
        means, sds = [], []
        steps = self._steps(time)
        for step in steps:
            points = self._map_points(projector.proj, None if step is None else np.full(X.shape[0], step))
            mean, sd = self._at(points, X, scale)
            means.append(mean.reshape(shape))
            sds.append(sd.reshape(shape))
        if time is not None or self.times is None:
            means, sds = means[:1], sds[:1]
            return (np.ma.masked_array(means[0], mask=mask), np.ma.masked_array(sds[0], mask=mask))
        full = np.broadcast_to(mask, (len(steps),) + shape)
        return np.ma.masked_array(np.array(means), mask=full), np.ma.masked_array(np.array(sds), mask=full)

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
             scale: Optional[str] = None, chunks: Optional[Tuple[int, int]] = None, time=None,
             exceedance=None, exceedance_scale: Optional[str] = None):
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
            warning names them), so the maps show intercept plus field without them. A
            smooth or varying effect's covariate is given the same way, by the effect's
            name; without one the effect is left out (a warning names it). Groups stand at
            the population level.
        time: for a fit with a space-time effect, the step to map; None maps every step,
            along a `time` dimension (coordinate: the steps).
        chunks: (cy, cx) cells per block: a dask-backed Dataset whose blocks are located,
            predicted and written on their own (`to_netcdf`, `to_geotiff`), so a map
            larger than memory never sits in it whole; fits pickle, so blocks run on
            dask.distributed workers too.
        exceedance: a threshold c: adds the layer "exceedance", the posterior probability
            that the response mean (exceedance_scale="response", the default except for
            the Gaussian family) or the linear predictor ("link") exceeds c (see
            `exceedance`).
        """
        from .maps import fit_maps

        return fit_maps(self, dims, xlim, ylim, covariates=covariates, scale=scale, chunks=chunks,
                        time=time, exceedance=exceedance, exceedance_scale=exceedance_scale)

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
                f"{self._field_words()}, {len(self.fixed_names)} fixed effect(s)")

    def _latent_words(self) -> str:
        parts = (["field"] if self.field_mean is not None else []) + (["effects"] if self.effects else [])
        return ", ".join(parts[:-1] + [f"{parts[-1]} and fixed effects"])

    def _field_words(self) -> str:
        words = (f"field on {self.mesh.n} mesh vertices" if self.field_mean is not None
                 else "no spatial field")
        if self.effects:
            words += f", {len(self.effects)} effect(s)"
        return words

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
        if self.effects:
            lines += ["", f"{'effect':<16}{'values':>12}{'mean sd':>12}  kind"]
            blocks = {b.name: b for b in self._structure.blocks}
            for name, e in self.effects.items():
                lines.append(f"{name[:15]:<16}{e.mean.size:>12}{float(np.mean(e.sd)):>12.4g}  "
                             f"{blocks[name].describe()}")
        how = (f"integrated over {len(self.design_weights)} design points" if self.integrated
               else "at the given theta" if self.theta_given else "at the mode")
        lines += self._units_line()
        lines += ["", *self._score_lines(),
                  f"log marginal likelihood {self.log_marginal_likelihood:.4f}, log posterior "
                  f"{self.log_posterior:.4f}",
                  f"{self._latent_words()} {how}; {self.n_evaluations} evaluations, "
                  f"{self.seconds:.1f} s, {self.backend}"
                  + ("" if self.converged else "; NOT CONVERGED")]
        return "\n".join(lines)

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={h.estimate:.4g}" for name, h in self.hyperparameters.items())
        return f"{type(self).__name__}({values}, n_obs={self.n_obs})"


class GaussianFit(LatentFit):
    """A Gaussian field fitted by `fit_gaussian` (or `fit(..., family="gaussian")`): a
    `LatentFit` of the Gaussian family, its hyperparameters range, sigma and noise_sd."""

    def _title(self) -> str:
        return (f"Gaussian fit: {self.n_obs} observations, {self._field_words()}, "
                f"{len(self.fixed_names)} fixed effect(s)")


def _hyperparameters(structure, theta: np.ndarray, theta_cov: np.ndarray,
                     scales: Optional[np.ndarray]) -> Dict[str, Hyperparameter]:
    """Each hyperparameter in its own units: the estimate, and the sd and 95% interval of
    its marginal posterior (see `corvid.fit.marginals`)."""
    estimate, _ = structure.natural(theta)
    maps = [structure.natural_map(j) for j in range(len(structure.theta_names))]
    marginals = hyperparameter_marginals(np.asarray(theta, dtype=np.float64), theta_cov, scales,
                                         maps)
    return {name: Hyperparameter(float(e), float(sd), float(lower), float(upper))
            for name, e, (lower, upper, sd) in zip(structure.theta_names, estimate, marginals)}


def wrap(mesh, problem, where, conditionals: Sequence[Conditional], weights: np.ndarray, *,
         n_evaluations: int, seconds: float, integrated: bool,
         theta_scales: Optional[np.ndarray] = None, theta_given: bool = False) -> LatentFit:
    """The fit's result from the assembled model (`corvid.fit.assemble.Assembled`), where
    theta sits (`corvid.fit.theta_mode.ThetaPosterior`) and the posteriors at the design
    points with their weights. The fit keeps the assembled latent model, without its
    factors."""
    latent = problem.latent
    backend = latent.backend_used
    latent.release()
    kind = GaussianFit if problem.family.exact else LatentFit
    return kind(mesh=mesh, latent=latent, intercept=problem.intercept,
                fixed_prior_sd=problem.fixed_prior_sd, theta=where.theta, theta_cov=where.cov,
                log_posterior=where.log_posterior, conditionals=conditionals, weights=weights,
                converged=where.converged, n_evaluations=n_evaluations, seconds=seconds,
                backend=backend, integrated=integrated, theta_scales=theta_scales,
                theta_given=theta_given)

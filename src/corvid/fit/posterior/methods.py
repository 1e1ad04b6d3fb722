"""The fit's methods for what users do after a fit; each delegates to its own module."""

from __future__ import annotations

from typing import Any, Iterator, Optional, Union

import numpy as np

from ...meshkin.locate import MeshGridProjector, basis_matrix
from ..observations import new_design
from .checks import ModelChecks, model_checks
from .exceedance import exceedance_at, threshold_value
from .index import area_index
from .samples import PosteriorSamples, draw_blocks

__all__ = ["PosteriorMethods"]


class PosteriorMethods:
    """Joint samples, exceedance, indices, checks and ArviZ for `LatentFit`."""

    # What the methods read of the fit (see LatentFit).
    mesh: Any
    intercept: bool
    fixed_names: list
    times: Any
    _response_factor: Any
    _points: Any
    _map_points: Any
    _steps: Any

    def sample(self, n: int, *, seed=None, theta: str = "integrate",
               chunk: Optional[int] = None) -> Union[PosteriorSamples, Iterator[PosteriorSamples]]:
        """n joint posterior samples of the hyperparameters, every latent block and the
        fixed effects (a `PosteriorSamples`: `.theta` (n, m), `.field` (n, n_vertices),
        `.fixed` (n, k), `.effects[name]`, `.predict(loc, ...)` -> (n, m)).

        Each sample takes a theta from the design points by their weights (theta=
        "integrate"; a fit without integration has the mode alone) or the central one
        (theta="mode"), then the latent vector from its Gaussian given theta, through the
        sparse factor (never a dense covariance), centred where `predict` is (for the
        non-Gaussian families at the skewness-corrected mean). seed: for
        `numpy.random.default_rng`.

        Samples come in runs by design point (`.design` says which; each design point's
        posterior is re-created once): use all of them, or a random subset, not the first
        few. chunk: an iterator of blocks of at most `chunk` samples instead, for more
        samples than memory holds at once (blocks follow the design points too).
        A request that would not fit in the available memory raises MemoryError before
        any work, saying which chunk would.
        """
        blocks = draw_blocks(self, n, seed=seed, theta=theta, chunk=chunk)
        return blocks if chunk is not None else next(blocks)

    def exceedance(self, loc, threshold, covariates=None, *, time=None, effects=None,
                   exposure=None, trials=None, scale: str = "link"):
        """The posterior probability that the linear predictor (scale="link") or the
        response mean (scale="response", per unit of exposure and per trial unless
        `exposure` or `trials` are given) exceeds `threshold`, at each point.

        loc: (m, 2) locations, with `covariates`, `time`, `effects` as for `predict`:
            returns (m,), NaN outside the mesh. Or a `MeshGridProjector`: returns an image
            (ny, nx) of its cells as `grid` maps them (covariates at zero unless given per
            cell, groups at the population level), masked outside the mesh, and for a
            space-time fit with time=None every step, (T, ny, nx).

        Given theta the probability is a normal tail, exact; it is mixed over the design
        points with their weights. `maps(..., exceedance=c)` maps it. ValueError for a
        threshold that is not a finite number.
        """
        c = threshold_value(threshold)
        if isinstance(loc, MeshGridProjector):
            return self._exceedance_image(loc, c, covariates, time, scale)
        loc = np.asarray(loc, dtype=np.float64)
        if loc.ndim != 2 or loc.shape[1] != 2:
            raise ValueError(f"loc must have shape (m, 2) or be a MeshGridProjector, got {loc.shape}")
        factor = self._response_factor(scale, loc.shape[0], exposure, trials)
        X = new_design(covariates, loc.shape[0], self.intercept,
                       len(self.fixed_names) - int(self.intercept))
        points = self._points(basis_matrix(self.mesh, loc), time, effects)
        return exceedance_at(self, points, X, c, scale, factor)

    def _exceedance_image(self, projector: MeshGridProjector, c: float, covariates, time,
                          scale: str) -> np.ma.MaskedArray:
        m = projector.lattice.shape[0]
        factor = self._response_factor(scale, m, None, None)
        if covariates is None:
            X = np.zeros((m, len(self.fixed_names)))
            X[:, :int(self.intercept)] = 1.0
        else:
            X = new_design(covariates, m, self.intercept, len(self.fixed_names) - int(self.intercept))
        shape = (projector.y.size, projector.x.size)
        mask = ~np.asarray(projector.inside).reshape(shape)
        steps = self._steps(time)
        images = [exceedance_at(self, self._map_points(projector.proj, None if step is None
                                                       else np.full(m, step)),
                                X, c, scale, factor).reshape(shape) for step in steps]
        if time is not None or self.times is None:
            return np.ma.masked_array(images[0], mask=mask)
        return np.ma.masked_array(np.array(images), mask=np.broadcast_to(mask, (len(steps),) + shape))

    def checks(self, seed: Optional[int] = 0) -> ModelChecks:
        """Leave-one-out checks of every observation from the fit's Gaussian approximation,
        without refitting (see `corvid.fit.posterior.checks`): `.cpo` (the conditional
        predictive ordinate p(y_i | y_-i)), `.pit` (P(Y_i <= y_i | y_-i), randomised for
        counts so that it is uniform under the model), `.residuals` (randomised quantile
        residuals from the posterior predictive, standard normal under the model),
        `.log_score` (-sum log CPO), `.waic` (-2 (lppd - p_waic)), `.p_waic`, `.lppd`,
        and `.table()`. Exact leave-one-out for Gaussian data given theta; for the others
        a Laplace-based cavity with the skewness correction; mixed over the design.
        seed: the randomisation of the counts' PIT and residuals. Computed once per seed.
        """
        cache = self.__dict__.setdefault("_checks_by_seed", {})
        if seed not in cache:
            cache[seed] = model_checks(self, seed)
        return cache[seed]

    def _score_lines(self) -> list:
        """The summary's lines of scores."""
        try:
            c = self.checks()
        except ValueError as exc:   # an observation without a leave-one-out posterior
            return [f"log score and WAIC not available: {exc}"]
        return [f"log score (-sum log CPO) {c.log_score:.4f}, WAIC {c.waic:.4f} (p_waic "
                f"{c.p_waic:.2f})"]

    def index(self, cells, *, area=None, scale: str = "response", time=None, n: int = 1000,
              seed=None, by=None, resolution: Optional[float] = None, covariates=None,
              effects=None, theta: str = "integrate"):
        """The posterior of the index sum_i area_i mu(s_i) over prediction cells, one per
        region (and per time step of a space-time fit), from n joint samples: a pandas
        DataFrame with the columns region (and time), estimate (the posterior mean), sd,
        lower and upper (the 2.5% and 97.5% quantiles) and log_sd (the sd of the log
        index, the usual weight of a standardised index; NaN unless it is positive).

        cells: the prediction cells, one of
            - points (m, 2) with `area` (one value or (m,), positive; 1 by default: a
              plain sum) and optionally `by`, a region label per point;
            - a grid: an xarray DataArray or Dataset with x and y coordinates (cell
              centres, equally spaced), each cell its dx * dy; a DataArray's NaN cells
              (a map's cells outside the mesh) are left out;
            - polygons: a GeoDataFrame (one region per row, named by its index), a
              GeoSeries, shapely polygons or a vector file's path, cut into square cells
              of side `resolution` (by default half the mesh's median edge), each
              polygon's area shared among its cells; reprojected to the mesh's CRS.
        scale: "response" (mu the mean per unit of exposure and per trial: an abundance
            density times area is an abundance) or "link" (the linear predictor).
        time: a step, a list of steps, or None for every step of a space-time fit.
        covariates, effects: the fit's covariates and effects' values at the cells: per
            point as for `predict` for point cells; for grids and polygons, rasters
            {name: path, DataArray or Raster} in `covariates` (covariates and smooth or
            varying effects alike; groups at the population level).
        n, seed, theta: the joint samples (see `sample`); they are drawn in blocks and
            the cells taken a few thousand at a time, so neither the samples nor the
            (samples x cells) values need fit in memory at once.

        Regions with cells outside the mesh get NaN, with a `CellsOutsideWarning` giving
        the share of their area outside; ValueError for areas that are not positive and
        for empty polygons.
        """
        return area_index(self, cells, area=area, by=by, resolution=resolution, scale=scale,
                          time=time, n=n, seed=seed, covariates=covariates, effects=effects,
                          theta=theta)

    def to_arviz(self, n: int = 1000, *, seed: Optional[int] = None, theta: str = "integrate"):
        """n joint posterior draws as an xarray DataTree for ArviZ (>= 1.0; the arviz
        extra), made by `arviz_base.from_dict`: groups posterior (the hyperparameters as
        reported, the fixed effects as "beta" over "fixed_effect", a group's intercepts,
        a smooth's knot values), log_likelihood ("y", per observation),
        posterior_predictive ("y") and observed_data ("y"). One chain of independent
        draws: `az.summary`, `az.loo` and the predictive-check plots (`az.plot_ppc_dist`)
        take it as it is; the fields on the mesh are left out (see `sample`).
        ImportError saying how to install ArviZ when it is missing; MemoryError before
        any work when the draws would not fit.
        """
        from .arviz import to_arviz

        return to_arviz(self, n, seed=seed, theta=theta)

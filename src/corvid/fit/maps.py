"""A fit's maps for a GIS: the posterior on a regular grid as an xarray Dataset (with the
mesh's CRS), in memory or by dask blocks, and as a GeoTIFF. Needs the geo extra."""

from __future__ import annotations

import warnings
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple

import numpy as np

from ..meshkin.locate import basis_matrix
from .posterior.exceedance import SCALES, exceedance_at, threshold_value

__all__ = ["MapPredictor", "fit_maps", "layers_for"]

LINK = ("mean", "sd")
EXCEEDANCE = "exceedance"
RESPONSE = ("response_mean", "response_sd")
# Cells sampled to tell how much of a map a covariate raster leaves without data.
COVERAGE_SAMPLE = 200


def layers_for(fit, scale: Optional[str]) -> Tuple[str, ...]:
    """The layer names for `scale`: "link" (mean, sd of the linear predictor), "response"
    (response_mean, response_sd) or "both"; None is "link" for the Gaussian family and
    "both" for the others."""
    if scale is None:
        scale = fit._family.map_scale
    choices = {"link": LINK, "response": RESPONSE, "both": LINK + RESPONSE}
    if scale not in choices:
        raise ValueError(f"scale must be 'link', 'response' or 'both', got {scale!r}")
    return choices[scale]


class MapPredictor:
    """The fit's posterior at map cells, for `corvid.geo.posterior_maps`: picklable, so that
    dask.distributed workers can run it on their blocks.

    Covariates in `held` stand at the value given there; those the maps were given
    neither a raster nor a value for stand at zero (the maps then show the rest of the
    linear predictor). Smooth and varying effects take their covariate the same way (a
    raster or a held value of the effect's name), and are left out without one; groups
    stand at the population level. Cells where a given raster has no data are NaN. The
    response scale is per unit of exposure and per trial. `time`: the step of a
    space-time fit.
    """

    def __init__(self, fit, layers: Sequence[str], held: Optional[Mapping[str, float]] = None,
                 time=None, exceedance: Optional[Tuple[float, str]] = None) -> None:
        self.fit = fit
        self.layers = tuple(layers)
        self.covariates = list(fit.fixed_names[int(fit.intercept):])
        self.held = dict(held or {})
        self.time = time
        self.exceedance = exceedance    # (threshold, scale) of the "exceedance" layer

    def __call__(self, points: np.ndarray, values: Optional[Dict[str, np.ndarray]]) -> Dict[str, np.ndarray]:
        fit = self.fit
        m = points.shape[0]
        given = {name: np.full(m, v) for name, v in self.held.items()}
        given.update(values or {})
        X = np.zeros((m, len(fit.fixed_names)))
        if fit.intercept:
            X[:, 0] = 1.0
        for j, name in enumerate(self.covariates):
            if name in given:
                X[:, j + int(fit.intercept)] = given[name]
        effects = {name: v for name, v in given.items() if name in effect_names(fit)}
        usable = np.all(np.isfinite(X), axis=1)
        for v in effects.values():
            usable &= np.isfinite(v)
        out = {name: np.full(m, np.nan) for name in self.layers}
        if usable.any():
            B = basis_matrix(fit.mesh, points[usable])
            time = None if self.time is None else np.full(int(usable.sum()), self.time)
            where = fit._map_points(B, time, {k: v[usable] for k, v in effects.items()})
            for names, scale in ((LINK, "link"), (RESPONSE, "response")):
                if names[0] in self.layers:
                    mean, sd = fit._at(where, X[usable], scale)
                    out[names[0]][usable], out[names[1]][usable] = mean, sd
            if self.exceedance is not None:
                threshold, scale = self.exceedance
                out[EXCEEDANCE][usable] = exceedance_at(fit, where, X[usable], threshold, scale,
                                                        np.ones(int(usable.sum())))
        return out


def effect_names(fit) -> list:
    """The effects whose covariate a map takes (smooth, varying)."""
    return [b.name for b in fit._structure.blocks if b.given_by == "effects" and not b.optional]


def _limits(fit, xlim, ylim) -> Tuple[Tuple[float, float], Tuple[float, float]]:
    """Default map extent: the bounding box of the study region's triangles (the whole mesh
    when it has no region)."""
    mesh = fit.mesh
    tv = np.asarray(mesh.tv)
    inside = getattr(mesh, "in_region", None)
    if inside is not None and np.any(inside):
        tv = tv[np.asarray(inside)]
    xy = np.asarray(mesh.loc)[:, :2][np.unique(tv)] if tv.size else np.asarray(mesh.loc)[:, :2]
    if xlim is None:
        xlim = (float(xy[:, 0].min()), float(xy[:, 0].max()))
    if ylim is None:
        ylim = (float(xy[:, 1].min()), float(xy[:, 1].max()))
    return xlim, ylim


def _split_covariates(fit, covariates: Optional[Mapping[str, Any]]) -> Tuple[Dict[str, Any], Dict[str, float]]:
    """({name: raster}, {name: value held over the map}) from `covariates`, checked: every
    name a covariate of the fit or one of its smooth or varying effects, every number
    finite; warns about covariates and effects given neither."""
    names = fit.fixed_names[int(fit.intercept):]
    effects = effect_names(fit)
    given = dict(covariates or {})
    unknown = [name for name in given if name not in names and name not in effects]
    if unknown:
        raise ValueError(f"no fixed effect is named {', '.join(map(repr, unknown))}: the fit's "
                         f"covariates are {', '.join(map(repr, names)) or 'none'}"
                         + (f", and its smooth or varying effects {', '.join(map(repr, effects))}"
                            if effects else ""))
    held = {name: float(v) for name, v in given.items()
            if isinstance(v, (int, float, np.number)) and not isinstance(v, bool)}
    bad = [name for name, v in held.items() if not np.isfinite(v)]
    if bad:
        raise ValueError(f"the value held for the covariate {bad[0]!r} must be finite, got {held[bad[0]]!r}")
    left = [name for name in names if name not in given]
    if left:
        warnings.warn(f"no raster for the covariate(s) {', '.join(map(repr, left))}: the maps "
                      "show the linear predictor without them (as if they were zero)",
                      UserWarning, stacklevel=4)
    left = [name for name in effects if name not in given]
    if left:
        warnings.warn(f"no raster for the effect(s) {', '.join(map(repr, left))}: the maps "
                      "show the linear predictor without them", UserWarning, stacklevel=4)
    return {name: v for name, v in given.items() if name not in held}, held


def _warn_coverage(covariates, dims, xlim, ylim, crs) -> None:
    """Warns with the share of map cells (on a sample of them) where a raster has no data."""
    from ..geo.maps import grid_axes
    from ..geo.rasters import sample_covariates

    nx, ny = (min(d, COVERAGE_SAMPLE) for d in dims)
    x, y = grid_axes((nx, ny), xlim, ylim)
    xx, yy = np.meshgrid(x, y)
    points = np.column_stack([xx.ravel(), yy.ravel()])
    for name, values in (sample_covariates(covariates, points, crs, warn=False) or {}).items():
        share = float(np.mean(~np.isfinite(values)))
        if share > 0.0:
            warnings.warn(f"the raster for {name!r} has no data on about {100 * share:.3g}% of the "
                          "map's cells (outside it, or where it has none): the maps are NaN "
                          "there", UserWarning, stacklevel=4)


def _exceedance_layer(fit, threshold, scale: Optional[str]) -> Optional[Tuple[float, str]]:
    """(threshold, scale) of the exceedance layer, checked; None without one."""
    if threshold is None:
        return None
    if scale is None:
        scale = "link" if fit._family.map_scale == "link" else "response"
    if scale not in SCALES:
        raise ValueError(f"exceedance_scale must be 'link' or 'response', got {scale!r}")
    return threshold_value(threshold), scale


def fit_maps(fit, dims: Tuple[int, int], xlim=None, ylim=None, *, covariates=None,
             scale: Optional[str] = None, chunks=None, time=None, exceedance=None,
             exceedance_scale: Optional[str] = None):
    """See `LatentFit.maps`."""
    from ..geo import posterior_maps

    layers: Any = layers_for(fit, scale)
    above = _exceedance_layer(fit, exceedance, exceedance_scale)
    if above is not None:
        what = "linear predictor" if above[1] == "link" else fit._family.response_meaning
        layers = {**{name: {} for name in layers},
                  EXCEEDANCE: {"long_name": f"posterior probability that the {what} exceeds "
                                            f"{above[0]:g}", "threshold": above[0],
                               "scale": above[1]}}
    steps = fit._steps(time)
    rasters, held = _split_covariates(fit, covariates)
    xlim, ylim = _limits(fit, xlim, ylim)
    crs = getattr(fit.mesh, "crs", None)
    if rasters:
        _warn_coverage(rasters, dims, xlim, ylim, crs)
    attrs = {"title": f"corvid {fit.family} fit: posterior maps",
             "corvid_family": fit.family, "corvid_link": fit.link,
             "corvid_covariates_mapped": ", ".join(rasters) or "none",
             "corvid_covariates_held": ", ".join(f"{k}={v:.6g}" for k, v in held.items()) or "none"}
    maps = [posterior_maps(MapPredictor(fit, list(layers), held, step, above), dims, xlim, ylim,
                           crs=crs, layers=layers, covariates=rasters or None, chunks=chunks,
                           attrs=attrs)
            for step in steps]
    if fit.times is None:
        return maps[0]
    if time is not None:
        return maps[0].assign_coords(time=steps[0])
    import xarray as xr

    return xr.concat([m.assign_coords(time=step) for m, step in zip(maps, steps)], dim="time",
                     data_vars="minimal", coords="minimal", compat="override",
                     combine_attrs="override")

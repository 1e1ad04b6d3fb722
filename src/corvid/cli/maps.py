"""The fit command's maps: the posterior on a grid over the data's region as a GeoTIFF and
a NetCDF file for a GIS (the fit's map Dataset, with the working CRS), the same arrays in an
.npz file, and a PNG picture.

Gaussian data are mapped as the posterior mean and sd of the linear predictor. For the
other families the GIS files hold both scales, and the picture and the .npz's `mean` show
the mean on the response scale (the expected count per unit of exposure, the probability of
a success, the mean amount) beside the sd on the link scale, where the field is Gaussian.
Cells outside the study region (in the buffer, or beyond the mesh) are NaN. A fit with a
field per time step is mapped at every step: the NetCDF and the .npz gain a time dimension,
the GeoTIFF a band per layer and step ("mean 2003"), and the picture shows the first,
middle and last steps.
"""

from __future__ import annotations

import dataclasses
import math
import os
import warnings
from typing import Any, Dict, Optional

import numpy as np

# What the maps are written to, in the output directory.
MAP_FILES = ("posterior.tif", "posterior.nc", "posterior_grid.npz", "posterior.png")
# The picture has about this many pixels a side, and shows about this many locations.
PICTURE_PIXELS, PICTURE_POINTS = 2000, 20_000


@dataclasses.dataclass
class Maps:
    """The map Dataset (y north to south), and for the .npz and the picture: x and y
    ascending, the mean and sd images (ny, nx) with their titles, masked outside the
    region."""

    dataset: Any
    x: np.ndarray
    y: np.ndarray
    mean: np.ma.MaskedArray
    sd: np.ma.MaskedArray
    mean_title: str
    sd_title: str
    description: str
    steps: Optional[np.ndarray] = None   # the time steps of (T, ny, nx) images

    def arrays(self) -> Dict[str, np.ndarray]:
        """What the .npz file holds: every layer, NaN outside the region, rows south first
        (with a leading time axis, and `time`, for a fit with time steps)."""
        out = {"x": self.x, "y": self.y, "mean": self.mean.filled(np.nan),
               "sd": self.sd.filled(np.nan)}
        if self.steps is not None:
            out["time"] = self.steps
        layers = self.dataset.data_vars
        if "response_mean" in layers:
            out["link_mean"] = np.asarray(layers["mean"].values)[..., ::-1, :]
            out["response_sd"] = np.asarray(layers["response_sd"].values)[..., ::-1, :]
        if "exceedance" in layers:
            out["exceedance"] = np.asarray(layers["exceedance"].values)[..., ::-1, :]
        return out


def posterior_maps(fit, mesh, extent: np.ndarray, dims, rasters: Optional[Dict[str, str]] = None,
                   exceedance: Optional[float] = None) -> Maps:
    """The maps over the bounding box of `extent` (points: the locations, or the study
    region's vertices), cell centres from its lowest to its highest coordinate, NaN outside
    the study region; with `exceedance`, the layer of P(mapped mean > exceedance)."""
    from corvid.meshkin.locate import find_triangles

    nx, ny = dims
    x = np.linspace(float(extent[:, 0].min()), float(extent[:, 0].max()), nx)
    y = np.linspace(float(extent[:, 1].min()), float(extent[:, 1].max()), ny)
    dx, dy = (x[-1] - x[0]) / (nx - 1), (y[-1] - y[0]) / (ny - 1)
    with warnings.catch_warnings():
        # The command has said which covariates and effects the maps leave out.
        warnings.filterwarnings("ignore", message="no raster for the covariate")
        warnings.filterwarnings("ignore", message="no raster for the effect")
        ds = fit.maps(dims, (x[0] - dx / 2, x[-1] + dx / 2), (y[0] - dy / 2, y[-1] + dy / 2),
                      covariates=rasters or None, exceedance=exceedance)
    xx, yy = np.meshgrid(ds.x.values, ds.y.values)
    triangle, _ = find_triangles(mesh, np.column_stack([xx.ravel(), yy.ravel()]))
    region = (triangle >= 0) & np.asarray(mesh.in_region)[np.maximum(triangle, 0)]
    outside = ~region.reshape(xx.shape)
    for name in ds.data_vars:  # in place: the layers keep their attributes
        ds[name].data[..., outside] = np.nan
    ascending = {name: np.ma.masked_invalid(np.asarray(ds[name].values)[..., ::-1, :])
                 for name in ds.data_vars}
    x, y = np.asarray(ds.x.values), np.asarray(ds.y.values)[::-1]
    steps = np.asarray(ds["time"].values) if "time" in ds.dims else None
    over = f" at each of {steps.size} time steps" if steps is not None else ""
    if fit._family.map_scale == "link":
        return Maps(ds, x, y, ascending["mean"], ascending["sd"], "posterior mean",
                    "posterior sd", f"posterior mean and sd of the linear predictor{over}", steps)
    what = fit._family.response_meaning
    return Maps(ds, x, y, ascending["response_mean"], ascending["sd"], f"posterior mean: {what}",
                f"posterior sd of the linear predictor ({fit.link} scale)",
                f"posterior mean of the {what} and sd of the linear predictor on the {fit.link} "
                f"scale{over} (the GeoTIFF and NetCDF hold both scales)", steps)


def write_maps(maps: Maps, directory: str) -> None:
    """posterior.tif (a band per layer, named), posterior.nc and posterior_grid.npz."""
    from corvid.geo import to_geotiff

    to_geotiff(maps.dataset, os.path.join(directory, "posterior.tif"))
    maps.dataset.to_netcdf(os.path.join(directory, "posterior.nc"))
    arrays: Dict[str, Any] = maps.arrays()
    np.savez(os.path.join(directory, "posterior_grid.npz"), **arrays)


def save_maps(maps: Maps, mesh, loc: np.ndarray, path: str, geography=None):
    """The two maps side by side as a PNG, the region's outline and the locations drawn
    over them (for a fit with time steps, the mean above the sd at the first, middle and
    last steps, each row on one colour scale); None (saying so) without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.collections import LineCollection
    except ImportError:
        print("matplotlib is not installed: no maps. Install it with: pip install 'corvid[plot]'")
        return None
    x, y = maps.x, maps.y
    dx, dy = (x[-1] - x[0]) / max(len(x) - 1, 1), (y[-1] - y[0]) / max(len(y) - 1, 1)
    extent = (x[0] - dx / 2, x[-1] + dx / 2, y[0] - dy / 2, y[-1] + dy / 2)
    # Larger images are drawn thinned, and a sample of the locations stands for them all.
    step = max(1, math.ceil(max(len(x), len(y)) / PICTURE_PIXELS))
    shown_loc = loc[::max(1, len(loc) // PICTURE_POINTS)]
    outline = np.asarray(mesh.loc)[:, :2][np.asarray(getattr(mesh, "boundary_edges", np.empty((0, 2), int)))]
    panels: list = []   # (axes, image, title, colour scale)
    if maps.steps is None:
        fig, axes = plt.subplots(1, 2, figsize=(12, 5), constrained_layout=True)
        panels = [(axes[0], maps.mean, maps.mean_title, {}), (axes[1], maps.sd, maps.sd_title, {})]
    else:
        shown_steps = sorted({0, (maps.steps.size - 1) // 2, maps.steps.size - 1})
        fig, grid = plt.subplots(2, len(shown_steps), figsize=(5.5 * len(shown_steps), 9.5),
                                 constrained_layout=True, squeeze=False)
        for row, (images, title) in enumerate(((maps.mean, maps.mean_title), (maps.sd, maps.sd_title))):
            scale = {"vmin": float(images.min()), "vmax": float(images.max())}
            panels += [(grid[row, k], images[t], f"{title}, {maps.steps[t]}", scale)
                       for k, t in enumerate(shown_steps)]
        axes = grid[0]
    for ax, image, title, scale in panels:
        shown = ax.imshow(image[::step, ::step], origin="lower", extent=extent, cmap="viridis",
                          aspect="equal", **scale)
        fig.colorbar(shown, ax=ax, shrink=0.85)
        ax.add_collection(LineCollection(list(outline), colors="black", linewidths=0.8))
        ax.set_title(title, fontsize=10)
        _legible_axes(ax, extent, geography)
    axes[0].scatter(shown_loc[:, 0], shown_loc[:, 1], s=2, c="white", alpha=0.5, linewidths=0)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path


def _legible_axes(ax, extent, geography) -> None:
    """Few ticks, and large projected coordinates shown in thousands (metres as km), so that
    six-digit eastings do not run into each other."""
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    unit = getattr(geography, "unit", "") or ""
    largest = max(abs(v) for v in extent)
    scale, shown_unit = (1000.0, "km" if unit == "m" else f"1000 {unit}".strip()) \
        if largest >= 1e5 else (1.0, unit)
    for axis, name in ((ax.xaxis, "x"), (ax.yaxis, "y")):
        axis.set_major_locator(MaxNLocator(nbins=5))
        axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v / scale:,.6g}"))
    ax.set_xlabel(f"x ({shown_unit})" if shown_unit else "x")
    ax.set_ylabel(f"y ({shown_unit})" if shown_unit else "y")

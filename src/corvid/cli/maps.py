"""The fit command's maps: the posterior on a grid over the data's region as a GeoTIFF and
a NetCDF file for a GIS (the fit's map Dataset, with the working CRS), the same layers
under the same names in an .npz file, and a PNG picture.

Every file holds the layers `mean` and `sd` of the linear predictor (on the link scale);
families other than the Gaussian add `response_mean` and `response_sd` on the response
scale (the expected count per unit of exposure, the probability of a success, the mean
amount). The picture shows the Gaussian's mean, or the others' response_mean, beside the
sd of the linear predictor, where the field is Gaussian. Covariates with a raster enter
the maps from it; the others are held at their means in the data, and the titles say so
(the columns of smooth and varying effects alike; groups stand at the population level).
Cells outside the study region (in the buffer, or beyond the mesh) are NaN. A fit with a
field per time step is mapped at every step: the NetCDF and the .npz gain a time dimension,
the GeoTIFF a band per layer and step ("mean 2003"), and the picture shows the first,
middle and last steps.
"""

from __future__ import annotations

import dataclasses
import math
import os
from typing import Any, Dict, Optional, Sequence, Tuple

import numpy as np

# What the maps are written to, in the output directory.
MAP_FILES = ("posterior.tif", "posterior.nc", "posterior_grid.npz", "posterior.png")
# The picture has about this many pixels a side, and shows about this many locations.
PICTURE_PIXELS, PICTURE_POINTS = 2000, 20_000
# The default grid: square cells, this many along the longer side of the region. At a
# mesh edge of a 40th of the region, ten cells an edge: the sd's shape within each
# triangle shows as a smooth pattern, not as grain.
DEFAULT_GRID_SIDE = 400
# Each panel of the picture is this many inches wide; its height follows the region.
PANEL_INCHES = 5.5


def grid_cells(grid: Optional[Sequence[int]]) -> int:
    """The cells of the maps at most, for memory checks before the region is known."""
    return int(grid[0]) * int(grid[1]) if grid else DEFAULT_GRID_SIDE**2


def grid_dims(extent: np.ndarray, grid: Optional[Sequence[int]]) -> Tuple[int, int]:
    """(nx, ny): the grid asked for, or square cells, DEFAULT_GRID_SIDE along the longer
    side of the extent's bounding box."""
    if grid:
        return int(grid[0]), int(grid[1])
    width, height = (float(v) for v in np.ptp(extent, axis=0))
    if width >= height:
        return DEFAULT_GRID_SIDE, max(2, round(DEFAULT_GRID_SIDE * height / width))
    return max(2, round(DEFAULT_GRID_SIDE * width / height)), DEFAULT_GRID_SIDE


@dataclasses.dataclass
class Maps:
    """The map Dataset (y north to south), and for the .npz and the picture: x and y
    ascending, the pictured mean and sd images (ny, nx) with their titles, masked outside
    the region; what the maps show, and how they hold the covariates."""

    dataset: Any
    x: np.ndarray
    y: np.ndarray
    mean: np.ma.MaskedArray
    sd: np.ma.MaskedArray
    mean_title: str
    sd_title: str
    description: str
    covariates_note: str = ""
    steps: Optional[np.ndarray] = None   # the time steps of (T, ny, nx) images

    def arrays(self) -> Dict[str, np.ndarray]:
        """What the .npz file holds: x, y and every layer under the Dataset's names, NaN
        outside the region, rows south first (with a leading time axis, and `time`, for a
        fit with time steps)."""
        out = {"x": self.x, "y": self.y}
        if self.steps is not None:
            out["time"] = self.steps
        for name, layer in self.dataset.data_vars.items():
            out[name] = np.asarray(layer.values)[..., ::-1, :]
        return out


def _covariates(rasters: Dict[str, Any], means: Dict[str, float]) -> Tuple[str, str]:
    """(a title's line, the printed note) on how the maps hold the covariates."""
    parts = [f"{name} from its raster" for name in rasters]
    parts += [f"{name} at its mean {value:.4g}" for name, value in means.items()]
    if not parts:
        return "", ""
    advice = " (--covariate-raster NAME=PATH maps a covariate)" if means else ""
    return "(" + ", ".join(parts) + ")", (f"the maps show the linear predictor with "
                                          f"{', '.join(parts)}{' in the data' if means else ''}{advice}")


def posterior_maps(fit, mesh, extent: np.ndarray, grid: Optional[Sequence[int]],
                   rasters: Optional[Dict[str, Any]] = None, covariates=None,
                   effect_columns: Optional[Dict[str, np.ndarray]] = None,
                   exceedance: Optional[float] = None) -> Maps:
    """The maps over the bounding box of `extent` (points: the locations, or the study
    region's vertices), cell centres from its lowest to its highest coordinate, NaN outside
    the study region. `rasters`: {name: CovariateRaster}; `covariates`: the data's named
    covariate columns, whose means hold the covariates without a raster; `effect_columns`:
    {name: values} of the smooth and varying effects' columns, held at their means alike;
    `exceedance`: a threshold C, for the layer of P(mapped mean > C)."""
    rasters = dict(rasters or {})
    nx, ny = grid_dims(extent, grid)
    x = np.linspace(float(extent[:, 0].min()), float(extent[:, 0].max()), nx)
    y = np.linspace(float(extent[:, 1].min()), float(extent[:, 1].max()), ny)
    dx, dy = (x[-1] - x[0]) / (nx - 1), (y[-1] - y[0]) / (ny - 1)
    means: Dict[str, float] = {}
    if covariates is not None:
        values = np.asarray(covariates.values, dtype=np.float64)
        means = {name: float(np.mean(values[:, j])) for j, name in enumerate(covariates.columns)
                 if name not in rasters}
    means.update({name: float(np.mean(v)) for name, v in (effect_columns or {}).items()
                  if name not in rasters})
    given: Dict[str, Any] = {name: r.source() for name, r in rasters.items()}
    given.update(means)
    ds = fit.maps((nx, ny), (x[0] - dx / 2, x[-1] + dx / 2), (y[0] - dy / 2, y[-1] + dy / 2),
                  covariates=given or None, exceedance=exceedance)
    xx, yy = np.meshgrid(ds.x.values, ds.y.values)
    outside = ~_in_region(mesh, np.column_stack([xx.ravel(), yy.ravel()])).reshape(xx.shape)
    for name in ds.data_vars:  # in place: the layers keep their attributes
        ds[name].data[..., outside] = np.nan
    ascending = {name: np.ma.masked_invalid(np.asarray(ds[name].values)[..., ::-1, :])
                 for name in ds.data_vars}
    x, y = np.asarray(ds.x.values), np.asarray(ds.y.values)[::-1]
    steps = np.asarray(ds["time"].values) if "time" in ds.dims else None
    over = f", at each of {steps.size} time steps" if steps is not None else ""
    held, note = _covariates(rasters, means)
    suffix = f"\n{held}" if held else ""
    if fit._family.map_scale == "link":
        return Maps(ds, x, y, ascending["mean"], ascending["sd"], f"posterior mean{suffix}",
                    "posterior sd", "maps of the posterior mean and sd of the linear predictor "
                    f"(layers mean, sd){over}", note, steps)
    what = fit._family.response_meaning
    return Maps(ds, x, y, ascending["response_mean"], ascending["sd"],
                f"posterior mean: {what}{suffix}", f"posterior sd of the linear predictor ({fit.link} scale)",
                f"maps of the posterior mean and sd of the linear predictor on the {fit.link} scale "
                f"(layers mean, sd) and of the {what} (response_mean, response_sd){over}", note,
                steps)


def _in_region(mesh, points: np.ndarray) -> np.ndarray:
    """(k,) whether each point lies in the study region: in one of its triangles or on the
    boundary of one. A cell centre on the region's own edge is located in whichever of the
    two triangles there comes first, often the buffer's."""
    from corvid.meshkin.locate import find_triangles

    triangle, weights = find_triangles(mesh, points)
    inside = np.asarray(mesh.in_region, dtype=bool)
    region = (triangle >= 0) & inside[np.maximum(triangle, 0)]
    on_edge = np.flatnonzero((triangle >= 0) & ~region & (weights.min(axis=1) <= 1e-9))
    if on_edge.size == 0:
        return region
    tv = np.asarray(mesh.tv, dtype=np.int64)
    n = int(tv.max()) + 1
    own = tv[inside]
    edges = np.sort(np.concatenate([own[:, [0, 1]], own[:, [1, 2]], own[:, [2, 0]]]), axis=1)
    corners = tv[triangle[on_edge]]
    held = weights[on_edge] > 1e-9   # the corners the point is not opposite to
    ends = np.sort(np.where(held, corners, n), axis=1)  # held corners first, padding last
    on_vertex = held.sum(axis=1) == 1
    region[on_edge[on_vertex]] = np.isin(ends[on_vertex, 0], own)
    pairs = ends[~on_vertex, 0] * n + ends[~on_vertex, 1]
    region[on_edge[~on_vertex]] = np.isin(pairs, edges[:, 0] * n + edges[:, 1])
    return region


def write_maps(maps: Maps, directory: str) -> None:
    """posterior.tif (a band per layer, named), posterior.nc and posterior_grid.npz."""
    from corvid.cli.output import writing
    from corvid.geo import to_geotiff

    with writing("posterior.tif"):
        to_geotiff(maps.dataset, os.path.join(directory, "posterior.tif"))
    with writing("posterior.nc"):
        maps.dataset.to_netcdf(os.path.join(directory, "posterior.nc"))
    with writing("posterior_grid.npz"):
        arrays: Dict[str, Any] = maps.arrays()
        np.savez(os.path.join(directory, "posterior_grid.npz"), **arrays)


def map_figure(maps: Maps, mesh, loc: np.ndarray, geography=None):
    """The matplotlib Figure of the two maps side by side, each with a colour bar as tall
    as the map, the region's outline and the locations drawn over them, ticks in the
    working CRS's unit (the unit of the range in the summary). For a fit with time steps,
    the mean above the sd at the first, middle and last steps, each row on one colour
    scale."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.collections import LineCollection

    x, y = maps.x, maps.y
    dx, dy = (x[-1] - x[0]) / max(len(x) - 1, 1), (y[-1] - y[0]) / max(len(y) - 1, 1)
    extent = (x[0] - dx / 2, x[-1] + dx / 2, y[0] - dy / 2, y[-1] + dy / 2)
    # Larger images are drawn thinned, and a sample of the locations stands for them all.
    step = max(1, math.ceil(max(len(x), len(y)) / PICTURE_PIXELS))
    shown_loc = loc[::max(1, len(loc) // PICTURE_POINTS)]
    outline = np.asarray(mesh.loc)[:, :2][np.asarray(getattr(mesh, "boundary_edges", np.empty((0, 2), int)))]
    aspect = (extent[3] - extent[2]) / (extent[1] - extent[0])
    height = min(max(PANEL_INCHES * aspect, 2.5), 3.0 * PANEL_INCHES) + 1.4  # titles, labels
    panels: list = []   # (axes, image, title, colour scale)
    if maps.steps is None:
        fig, axes = plt.subplots(1, 2, figsize=(2 * PANEL_INCHES + 2.0, height), constrained_layout=True)
        panels = [(axes[0], maps.mean, maps.mean_title, (None, None)),
                  (axes[1], maps.sd, maps.sd_title, (None, None))]
    else:
        shown_steps = sorted({0, (maps.steps.size - 1) // 2, maps.steps.size - 1})
        fig, grid = plt.subplots(2, len(shown_steps), squeeze=False, constrained_layout=True,
                                 figsize=(len(shown_steps) * (PANEL_INCHES + 1.0), 2 * height))
        for row, (images, title) in enumerate(((maps.mean, maps.mean_title), (maps.sd, maps.sd_title))):
            scale = (float(images.min()), float(images.max()))
            panels += [(grid[row, k], images[t], f"{title}\n{maps.steps[t]}", scale)
                       for k, t in enumerate(shown_steps)]
        axes = grid[0]
    for ax, image, title, (low, high) in panels:
        shown = ax.imshow(image[::step, ::step], origin="lower", extent=extent, cmap="viridis",
                          aspect="equal", interpolation="antialiased", vmin=low, vmax=high)
        # In the map's own axes coordinates: the bar is exactly as tall as the map.
        fig.colorbar(shown, cax=ax.inset_axes((1.03, 0.0, 0.04, 1.0)))
        ax.add_collection(LineCollection(list(outline), colors="black", linewidths=0.8))
        ax.set_title(title, fontsize=10)
        _legible_axes(ax, geography)
    axes[0].scatter(shown_loc[:, 0], shown_loc[:, 1], s=2, c="white", alpha=0.5, linewidths=0)
    return fig


def save_maps(maps: Maps, mesh, loc: np.ndarray, path: str, geography=None):
    """The two maps as a PNG (see map_figure); None (saying so) without matplotlib."""
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no maps. Install it with: pip install 'corvid[plot]'")
        return None
    from corvid.cli.output import writing

    fig = map_figure(maps, mesh, loc, geography)
    try:
        with writing(os.path.basename(path)):
            fig.savefig(path, dpi=100)
    finally:
        plt.close(fig)
    return path


def _legible_axes(ax, geography) -> None:
    """Few ticks, in the working CRS's unit, with thousands separated, so that six-digit
    eastings do not run into each other."""
    from matplotlib.ticker import FuncFormatter, MaxNLocator

    unit = getattr(geography, "unit", "") or ""
    for axis in (ax.xaxis, ax.yaxis):
        axis.set_major_locator(MaxNLocator(nbins=4))
        axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:,.10g}"))
    ax.set_xlabel(f"x ({unit})" if unit else "x")
    ax.set_ylabel(f"y ({unit})" if unit else "y")

"""Maps as xarray Datasets: a predictor evaluated at the cell centres of a regular grid,
with the CRS in a CF `spatial_ref` variable, in memory or as dask blocks."""

from __future__ import annotations

import uuid
from typing import Any, Callable, Dict, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from ._require import require
from .crs import as_crs
from .rasters import sample_covariates

__all__ = ["posterior_maps", "grid_axes", "grid_mapping_attrs"]

# What the layers corvid's fits predict are, for their `long_name`.
LONG_NAMES = {
    "mean": "posterior mean of the linear predictor",
    "sd": "posterior standard deviation of the linear predictor",
    "response_mean": "posterior mean on the response scale",
    "response_sd": "posterior standard deviation on the response scale",
}
# In-memory maps are predicted in strips of about this many cells, to bound what a call holds.
STRIP_CELLS = 1 << 20

Predictor = Callable[[np.ndarray, Optional[Dict[str, np.ndarray]]], Mapping[str, np.ndarray]]


def grid_axes(dims: Tuple[int, int], xlim: Tuple[float, float],
              ylim: Tuple[float, float]) -> Tuple[np.ndarray, np.ndarray]:
    """Cell centres (x, y) of the grid of dims = (nx, ny) cells covering xlim x ylim.

    The cells tile the rectangle exactly: x[i] = x0 + (i + 1/2) dx with dx = (x1 - x0) / nx,
    and y runs from north to south, y[j] = y1 - (j + 1/2) dy, as a north-up raster's rows.
    """
    nx, ny = (int(d) for d in dims)
    if nx < 1 or ny < 1 or (nx, ny) != tuple(dims):
        raise ValueError(f"dims must be two positive integers (nx, ny), got {dims!r}")
    (x0, x1), (y0, y1) = (tuple(float(v) for v in lim) for lim in (xlim, ylim))
    if not (np.isfinite([x0, x1, y0, y1]).all() and x0 < x1 and y0 < y1):
        raise ValueError(f"xlim and ylim must be finite and increasing, got {xlim!r}, {ylim!r}")
    dx, dy = (x1 - x0) / nx, (y1 - y0) / ny
    return x0 + (np.arange(nx) + 0.5) * dx, y1 - (np.arange(ny) + 0.5) * dy


def grid_mapping_attrs(crs, transform: Sequence[float]) -> Dict[str, Any]:
    """The attributes of a CF grid-mapping variable as rioxarray writes them: pyproj's CF
    parameters, `crs_wkt` and `spatial_ref` (both the WKT) and GDAL's `GeoTransform`
    (x0 dx 0 y0 0 dy, as the shortest decimals that read back to the same doubles)."""
    attrs = dict(crs.to_cf())
    attrs["crs_wkt"] = attrs.get("crs_wkt") or crs.to_wkt()
    attrs["spatial_ref"] = attrs["crs_wkt"]
    attrs["GeoTransform"] = " ".join(repr(float(v)) for v in transform)
    return attrs


def posterior_maps(predict: Predictor, dims: Tuple[int, int], xlim: Tuple[float, float],
                   ylim: Tuple[float, float], *, crs, layers: Union[Sequence[str], Mapping[str, Mapping[str, Any]]] = ("mean", "sd"),
                   covariates: Optional[Mapping[str, Any]] = None,
                   chunks: Optional[Tuple[int, int]] = None, attrs: Optional[Mapping[str, Any]] = None):
    """An xarray Dataset of `predict` at the cell centres of a regular grid.

    predict(points, covariate_values) -> {layer: values}: points (k, 2) float64 in `crs`,
        covariate_values {name: (k,) float64} from the `covariates` rasters at those
        points (None without covariates); each requested layer's values are (k,) floats.
        It is called once per block (or strip) of cells and must pickle to run on
        dask.distributed workers.
    dims, xlim, ylim: (nx, ny) cells tiling xlim x ylim (see `grid_axes`).
    crs: the CRS of the grid (anything pyproj takes, a Projection for its target, or None
        for plain planar coordinates, which leaves the map without a spatial_ref).
    layers: the names of the layers to keep, or {name: attributes}. The names corvid's fits
        predict ("mean", "sd", "response_mean", "response_sd") get a long_name unless the
        attributes give one; `units` only when given.
    covariates: {name: Raster, raster path or DataArray}, sampled at the cell centres of
        each block alone (reprojected to each raster's CRS; NaN where a raster has no data).
    chunks: (cy, cx) cells per block: the layers are then dask arrays made by
        `dask.array.map_blocks`, and each block makes its own cell centres, samples the
        covariates in its window and predicts its cells when computed; nothing holds the
        whole grid. None: computed now, in strips of about 10^6 cells. On
        dask.distributed, the MALLOC_TRIM_THRESHOLD_ its nannies give the workers by default
        makes corvid's predictions about twice as slow (each large temporary becomes a fresh
        mmap); dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_":
        None}) before making the cluster leaves glibc's own setting.
    attrs: attributes of the Dataset.

    The Dataset has dimensions (y, x) with y descending (north-up, the row order GDAL and
    rioxarray write and read without flipping), coordinates x and y (cell centres, with CF
    axis attributes from the CRS), the 0-d coordinate `spatial_ref` holding the CRS and
    GeoTransform as rioxarray writes it (see `grid_mapping_attrs`) named by every layer's
    `grid_mapping` attribute, and one float64 layer per name. `to_geotiff` writes it for a
    GIS; its own `to_netcdf` writes NetCDF that xarray, rioxarray and GDAL read with the CRS.
    """
    xr = require("xarray", "posterior_maps")
    if not callable(predict):
        raise ValueError(f"predict must be callable, got {type(predict).__name__}")
    x, y = grid_axes(dims, xlim, ylim)
    crs = as_crs(crs)
    layer_attrs = _layer_attrs(layers)
    names = list(layer_attrs)
    block = _Block(predict, names, (tuple(map(float, xlim)), tuple(map(float, ylim))),
                   (x.size, y.size), crs, dict(covariates) if covariates else None)
    if chunks is None:
        data = np.empty((len(names), y.size, x.size))
        rows = max(1, STRIP_CELLS // x.size)
        for r0 in range(0, y.size, rows):
            r1 = min(y.size, r0 + rows)
            data[:, r0:r1, :] = block.cells(r0, r1, 0, x.size)
        stack = data
    else:
        stack = _dask_stack(block, len(names), (y.size, x.size), chunks)
    cf_x, cf_y = _axis_attrs(crs)
    coords: Dict[str, Any] = {"x": ("x", x, cf_x), "y": ("y", y, cf_y)}
    variables = {}
    (x0, x1), (y0, y1) = block.xlim, block.ylim
    transform = (x0, (x1 - x0) / x.size, 0.0, y1, 0.0, -((y1 - y0) / y.size))
    for k, name in enumerate(names):
        a = dict(layer_attrs[name])
        if crs is not None:
            a["grid_mapping"] = "spatial_ref"
        variables[name] = (("y", "x"), stack[k], a)
    if crs is not None:
        coords["spatial_ref"] = ((), np.int64(0), grid_mapping_attrs(crs, transform))
    ds = xr.Dataset(variables, coords=coords, attrs={"Conventions": "CF-1.8", **dict(attrs or {})})
    return ds


class _Block:
    """Computes the layers on any window of the grid: cell centres, covariates, prediction."""

    def __init__(self, predict, names, limits, shape_xy, crs, covariates) -> None:
        self.predict = predict
        self.names = names
        self.xlim, self.ylim = limits
        self.nx, self.ny = shape_xy
        self.crs = crs
        self.covariates = covariates
        self.token = uuid.uuid4().hex

    def __dask_tokenize__(self):
        return self.token

    def cells(self, r0: int, r1: int, c0: int, c1: int) -> np.ndarray:
        x, y = grid_axes((self.nx, self.ny), self.xlim, self.ylim)
        xx, yy = np.meshgrid(x[c0:c1], y[r0:r1])
        points = np.column_stack([xx.ravel(), yy.ravel()])
        values = sample_covariates(self.covariates, points, self.crs, warn=False)
        result = self.predict(points, values)
        out = np.empty((len(self.names), r1 - r0, c1 - c0))
        for k, name in enumerate(self.names):
            if name not in result:
                raise ValueError(f"predict returned no layer {name!r} (it returned {sorted(result)})")
            v = np.asarray(result[name], dtype=np.float64)
            if v.shape != (points.shape[0],):
                raise ValueError(f"predict's layer {name!r} has shape {v.shape}, expected "
                                 f"({points.shape[0]},), one value per point")
            out[k] = v.reshape(r1 - r0, c1 - c0)
        return out

    def __call__(self, block_info=None) -> np.ndarray:
        (_, _), (r0, r1), (c0, c1) = block_info[None]["array-location"]
        return self.cells(r0, r1, c0, c1)


def _dask_stack(block: _Block, layers: int, shape: Tuple[int, int], chunks):
    da = require("dask.array", "posterior_maps with chunks")
    try:
        cy, cx = (int(c) for c in chunks)
    except (TypeError, ValueError):
        raise ValueError(f"chunks must be (cy, cx), two positive integers, got {chunks!r}") from None
    if cy < 1 or cx < 1:
        raise ValueError(f"chunks must be (cy, cx), two positive integers, got {chunks!r}")
    sizes = [tuple([c] * (n // c) + ([n % c] if n % c else [])) for n, c in zip(shape, (cy, cx))]
    return da.map_blocks(block, chunks=((layers,), *sizes), dtype=np.float64,
                         meta=np.empty((0, 0, 0)), name=f"corvid-map-{block.token}")


def _layer_attrs(layers) -> Dict[str, Dict[str, Any]]:
    if isinstance(layers, str):
        layers = [layers]
    if isinstance(layers, Mapping):
        items = [(str(k), dict(v or {})) for k, v in layers.items()]
    else:
        items = [(str(k), {}) for k in layers]
    if not items:
        raise ValueError("layers must name at least one layer")
    out: Dict[str, Dict[str, Any]] = {}
    for name, a in items:
        if name in out:
            raise ValueError(f"layer {name!r} is named twice")
        if name in ("x", "y", "spatial_ref"):
            raise ValueError(f"a layer cannot be called {name!r}: the map's coordinates are")
        if name in LONG_NAMES:
            a.setdefault("long_name", LONG_NAMES[name])
        out[name] = a
    return out


def _axis_attrs(crs) -> Tuple[Dict[str, str], Dict[str, str]]:
    """CF attributes of the x and y coordinates from the CRS (projection_x_coordinate in
    metres, longitude in degrees_east, ...); plain axis names without a CRS."""
    found = {"X": {"axis": "X"}, "Y": {"axis": "Y"}}
    if crs is not None:
        for axis in crs.cs_to_cf():
            if axis.get("axis") in found:
                found[axis["axis"]] = {k: str(v) for k, v in axis.items()}
    return found["X"], found["Y"]

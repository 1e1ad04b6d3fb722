"""Covariates from rasters: the values of GeoTIFFs (or any raster GDAL reads) and xarray
DataArrays at points in the working CRS, read window by window."""

from __future__ import annotations

import contextlib
import os
import warnings
from typing import Any, Dict, Mapping, Optional

import numpy as np

from ._require import require
from .crs import as_crs

__all__ = ["Raster", "sample_covariates", "NoDataWarning"]

# Points whose pixels span more than this many are read in squares of BLOCK x BLOCK pixels,
# one window each, rather than in one window around all of them.
ONE_WINDOW_PIXELS = 1 << 22
BLOCK = 1024


class NoDataWarning(UserWarning):
    """Some points got NaN from a raster: outside it, or where it has no data."""


class Raster:
    """A covariate raster: a file rasterio opens (GeoTIFF, ...) or an xarray DataArray with
    its CRS and transform as rioxarray reads them (`da.rio.crs`, `da.rio.transform()`).

    Raster(source, *, categorical=None, band=1, name=None, crs=None)

    categorical: True samples the nearest pixel (the one containing the point), as classes
        (land cover, soil type) need; False interpolates bilinearly between the four
        nearest pixel centres. None: nearest for integer and boolean rasters, bilinear for
        floating-point ones.
    band: which band (1-based) of a multi-band raster.
    name: for messages; by default the file name, or the DataArray's name.
    crs: the raster's CRS when its source names none (anything pyproj takes); a source
        that names one keeps its own, and a different `crs` is a ValueError when read.

    `sample(points, crs=None)` gives one float64 value per point. A Raster pickles (a file
    is opened again by each call, so one Raster serves many dask workers).
    """

    def __init__(self, source, *, categorical: Optional[bool] = None, band: int = 1,
                 name: Optional[str] = None, crs=None) -> None:
        if isinstance(source, Raster):
            source = source.source  # a Raster's source, with these settings
        if isinstance(source, (str, os.PathLike)):
            source = os.fspath(source)
            default_name = os.path.basename(source)
        elif hasattr(source, "dims") and hasattr(source, "isel"):
            default_name = str(source.name) if source.name is not None else "the DataArray"
        else:
            raise ValueError(f"a raster must be a file path or an xarray DataArray, got {type(source).__name__}")
        if categorical not in (None, True, False):
            raise ValueError(f"categorical must be True, False or None, got {categorical!r}")
        if int(band) != band or band < 1:
            raise ValueError(f"band must be a positive integer, got {band!r}")
        self.source: Any = source
        self.categorical = categorical
        self.band = int(band)
        self.name = name or default_name
        self.crs = None if crs is None else as_crs(crs, "crs").to_wkt()

    def __repr__(self) -> str:
        return f"Raster({self.name!r}, categorical={self.categorical}, band={self.band})"

    def sample(self, points, crs=None, *, warn: bool = True) -> np.ndarray:
        """The raster's values at `points` (k, 2), given in `crs` (None: the raster's own).

        Points are reprojected into the raster's CRS when it differs; a raster without a
        CRS is taken to share the points'. Bilinear sampling reproduces a linear function
        of the pixel centres exactly between them; within half a pixel of the raster's
        edge, and next to pixels without data, it averages the neighbours that have data,
        with their bilinear weights. A point outside the raster, in a pixel without data
        (the nodata value, a masked pixel or NaN), or at a non-finite location gets NaN;
        with `warn`, a NoDataWarning tells the share of such points.
        """
        xy = np.asarray(points, dtype=np.float64)
        if xy.ndim != 2 or xy.shape[1] != 2:
            raise ValueError(f"points must have shape (k, 2), got {xy.shape}")
        with _open(self) as grid:
            xy = _into(xy, as_crs(crs), grid.crs)
            inverse = ~grid.transform
            col = inverse.a * xy[:, 0] + inverse.b * xy[:, 1] + inverse.c
            row = inverse.d * xy[:, 0] + inverse.e * xy[:, 1] + inverse.f
            categorical = self.categorical
            if categorical is None:
                categorical = np.dtype(grid.dtype).kind in "iub"
            values = _sample(grid, row, col, nearest=categorical)
        if warn and len(values):
            missing = int(np.count_nonzero(np.isnan(values)))
            if missing:
                warnings.warn(f"raster {self.name}: {missing / len(values):.1%} of the {len(values)} "
                              f"points ({missing}) have no data there (outside the raster or where "
                              "it has none); their values are NaN", NoDataWarning, stacklevel=2)
        return values


def sample_covariates(covariates: Optional[Mapping[str, Any]], points, crs=None, *,
                      warn: bool = True) -> Optional[Dict[str, np.ndarray]]:
    """{name: values at `points`} for a mapping of names to rasters (Raster objects, file
    paths or DataArrays), each sampled by `Raster.sample(points, crs, warn=warn)`.
    None or an empty mapping gives None."""
    if not covariates:
        return None
    out = {}
    for name, raster in covariates.items():
        if not isinstance(raster, Raster):
            raster = Raster(raster, name=str(name))
        out[str(name)] = raster.sample(points, crs, warn=warn)
    return out


def _into(xy: np.ndarray, crs, raster_crs) -> np.ndarray:
    if crs is None or raster_crs is None or crs == raster_crs:
        return xy
    pyproj = require("pyproj", "Raster.sample")
    x, y = pyproj.Transformer.from_crs(crs, raster_crs, always_xy=True).transform(
        xy[:, 0], xy[:, 1], errcheck=False)
    return np.column_stack([x, y])


def _sample(grid, row: np.ndarray, col: np.ndarray, nearest: bool) -> np.ndarray:
    """Values at fractional pixel positions (row, col); pixel (i, j) covers [i, i+1) x [j, j+1)."""
    h, w = grid.shape
    out = np.full(row.shape, np.nan)
    inside = np.flatnonzero((row >= 0) & (row <= h) & (col >= 0) & (col <= w))
    if not inside.size:
        return out
    r, c = row[inside], col[inside]
    # the pixel containing each point (the raster's far edges belong to the last pixels)
    pi = np.minimum(np.floor(r), h - 1).astype(np.int64)
    pj = np.minimum(np.floor(c), w - 1).astype(np.int64)
    if nearest:
        lo_i, hi_i, lo_j, hi_j = pi, pi, pj, pj
    else:
        i0 = np.floor(r - 0.5).astype(np.int64)
        j0 = np.floor(c - 0.5).astype(np.int64)
        lo_i, hi_i = np.maximum(i0, 0), np.minimum(i0 + 1, h - 1)
        lo_j, hi_j = np.maximum(j0, 0), np.minimum(j0 + 1, w - 1)
    span = (int(hi_i.max()) - int(lo_i.min()) + 1) * (int(hi_j.max()) - int(lo_j.min()) + 1)
    if span <= ONE_WINDOW_PIXELS:
        groups = [np.arange(inside.size)]
    else:
        key = (lo_i // BLOCK) * ((w + BLOCK - 1) // BLOCK) + lo_j // BLOCK
        order = np.argsort(key, kind="stable")
        cuts = np.flatnonzero(np.diff(key[order])) + 1
        groups = np.split(order, cuts)
    for g in groups:
        r0, r1 = int(lo_i[g].min()), int(hi_i[g].max()) + 1
        c0, c1 = int(lo_j[g].min()), int(hi_j[g].max()) + 1
        block = grid.read(r0, r1, c0, c1)
        own = block[pi[g] - r0, pj[g] - c0]
        if nearest:
            out[inside[g]] = own
            continue
        u, v = c[g] - 0.5, r[g] - 0.5
        fu, fv = u - np.floor(u), v - np.floor(v)
        num = np.zeros(g.size)
        den = np.zeros(g.size)
        complete = np.ones(g.size, dtype=bool)
        for di, dj, weight in ((0, 0, (1 - fu) * (1 - fv)), (0, 1, fu * (1 - fv)),
                               (1, 0, (1 - fu) * fv), (1, 1, fu * fv)):
            ii, jj = i0[g] + di, j0[g] + dj
            there = (ii >= 0) & (ii < h) & (jj >= 0) & (jj < w)
            value = block[np.clip(ii, r0, r1 - 1) - r0, np.clip(jj, c0, c1 - 1) - c0]
            ok = there & ~np.isnan(value)
            complete &= ok | (weight == 0.0)
            num += np.where(ok, weight * value, 0.0)
            den += np.where(ok, weight, 0.0)
        with np.errstate(invalid="ignore", divide="ignore"):
            value = np.where(complete, num, num / den)
        out[inside[g]] = np.where(np.isnan(own), np.nan, value)
    return out


class _FileGrid:
    """A band of a raster file: CRS, transform, shape, dtype and windowed reads as float64
    with NaN where the file has no data."""

    def __init__(self, raster: Raster) -> None:
        rasterio = require("rasterio", "Raster")
        try:
            self._src = rasterio.open(raster.source)
        except Exception as exc:  # rasterio.errors.RasterioIOError and GDAL's own
            reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
            raise ValueError(f"cannot read the raster {raster.source}: {reason}") from None
        if raster.band > self._src.count:
            self._src.close()
            raise ValueError(f"raster {raster.source} has {self._src.count} band(s), not band {raster.band}")
        self.band = raster.band
        self.crs = _own_or_given(None if self._src.crs is None else self._src.crs.to_wkt(), raster)
        self.transform = self._src.transform
        self.shape = (self._src.height, self._src.width)
        self.dtype = self._src.dtypes[raster.band - 1]

    def read(self, r0: int, r1: int, c0: int, c1: int) -> np.ndarray:
        from rasterio.windows import Window

        block = self._src.read(self.band, window=Window(c0, r0, c1 - c0, r1 - r0), masked=True)
        return np.ma.filled(block.astype(np.float64), np.nan)

    def close(self) -> None:
        self._src.close()


class _ArrayGrid:
    """The same for a DataArray, through rioxarray's reading of its CRS and transform."""

    def __init__(self, raster: Raster) -> None:
        require("rioxarray", "Raster")
        da = raster.source
        spatial = (da.rio.y_dim, da.rio.x_dim)
        others = [d for d in da.dims if d not in spatial]
        if len(others) > 1:
            raise ValueError(f"raster {raster.name} has dimensions {da.dims}: a raster needs y and x, "
                             "and at most one band dimension")
        if others:
            if raster.band > da.sizes[others[0]]:
                raise ValueError(f"raster {raster.name} has {da.sizes[others[0]]} band(s), not band {raster.band}")
            da = da.isel({others[0]: raster.band - 1})
        elif raster.band != 1:
            raise ValueError(f"raster {raster.name} has one band, not band {raster.band}")
        self._da = da.transpose(*spatial)
        self.crs = _own_or_given(None if da.rio.crs is None else da.rio.crs.to_wkt(), raster)
        self.transform = da.rio.transform()
        self.shape = (da.sizes[spatial[0]], da.sizes[spatial[1]])
        self.dtype = da.dtype
        self._nodata = da.rio.nodata

    def read(self, r0: int, r1: int, c0: int, c1: int) -> np.ndarray:
        block = np.asarray(self._da[r0:r1, c0:c1].values, dtype=np.float64)
        if self._nodata is not None and not np.isnan(self._nodata):
            block = np.where(block == self._nodata, np.nan, block)
        return block

    def close(self) -> None:
        pass


def _own_or_given(own: Optional[str], raster: Raster):
    """The raster's CRS: the source's own, else the one the Raster was given."""
    given = None if raster.crs is None else as_crs(raster.crs)
    if own is None:
        return given
    own_crs = as_crs(own)
    if given is not None and not own_crs.equals(given, ignore_axis_order=True):
        raise ValueError(f"raster {raster.name} has its own CRS ({own_crs.name}), not the "
                         f"{given.name} it was given")
    return own_crs


@contextlib.contextmanager
def _open(raster: Raster):
    grid = (_FileGrid if isinstance(raster.source, str) else _ArrayGrid)(raster)
    try:
        yield grid
    finally:
        grid.close()

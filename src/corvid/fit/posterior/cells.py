"""Prediction cells for an index: points with areas, a regular grid, or polygons cut into
cells at a resolution; each cell belongs to one region (a polygon, or the whole).

Polygons (shapely geometries, a GeoSeries or GeoDataFrame, or a vector file's path) are
covered by square cells of side `resolution` on one lattice for all of them; a cell
belongs to a polygon when its centre lies inside, and the polygon's exact area is shared
equally among its cells (so the cells' areas sum to it). A polygon too small to hold a
cell centre is one cell at its representative point.
"""

from __future__ import annotations

import dataclasses
from typing import Optional

import numpy as np

__all__ = ["Cells", "prediction_cells"]

LATTICE_SHARE = 0.5   # default resolution: half the mesh's median edge
MAX_CELLS = 50_000_000


@dataclasses.dataclass
class Cells:
    """points (m, 2), area (m,) > 0, region (m,) the region of each cell (an index into
    names), names (R,): the regions' names; per_cell: whether the caller's per-point
    arguments (covariates, effects) apply to the cells as given (points), or rasters must
    give them (grids, polygons)."""

    points: np.ndarray
    area: np.ndarray
    region: np.ndarray
    names: list
    per_cell: bool


def _positive_areas(area, m: int) -> np.ndarray:
    values = np.asarray(area, dtype=np.float64) if area is not None else np.ones(1)
    values = np.broadcast_to(values, (m,)) if values.ndim == 0 or values.size == 1 else values
    if values.shape != (m,):
        raise ValueError(f"area must be one value or one per cell ({m}), got shape {values.shape}")
    bad = ~(np.isfinite(values) & (values > 0.0))
    if bad.any():
        row = int(np.argmax(bad))
        raise ValueError(f"areas must be positive and finite: cell {row} has area {float(values[row])!r}"
                         f" ({int(bad.sum())} such cell(s))")
    return np.array(values, dtype=np.float64)


def _from_points(points, area, by) -> Cells:
    xy = np.asarray(points, dtype=np.float64)
    if xy.ndim != 2 or xy.shape[1] != 2 or xy.shape[0] == 0:
        raise ValueError(f"cells given as points must have shape (m, 2), m >= 1, got {xy.shape}")
    if not np.all(np.isfinite(xy)):
        row = int(np.argmax(~np.all(np.isfinite(xy), axis=1)))
        raise ValueError(f"cell {row} has a location that is not finite: {xy[row].tolist()}")
    areas = _positive_areas(area, xy.shape[0])
    if by is None:
        return Cells(xy, areas, np.zeros(xy.shape[0], dtype=np.int64), ["total"], True)
    labels = np.asarray(by)
    if labels.shape != (xy.shape[0],):
        raise ValueError(f"by must give one region label per cell ({xy.shape[0]}), got shape "
                         f"{labels.shape}")
    names, region = np.unique(labels, return_inverse=True)
    return Cells(xy, areas, region.astype(np.int64), names.tolist(), True)


def _from_grid(grid) -> Cells:
    """An xarray DataArray or Dataset with x and y coordinates (cell centres); a DataArray's
    NaN cells (e.g. a map's cells outside the mesh) are left out."""
    x, y = np.asarray(grid["x"].values, dtype=np.float64), np.asarray(grid["y"].values, dtype=np.float64)
    if x.size < 2 or y.size < 2:
        raise ValueError("a grid of cells needs at least two x and two y coordinates")
    dx, dy = np.abs(np.diff(x)), np.abs(np.diff(y))
    if not (np.allclose(dx, dx[0], rtol=1e-6) and np.allclose(dy, dy[0], rtol=1e-6)):
        raise ValueError("a grid of cells must have equally spaced x and y coordinates")
    xx, yy = np.meshgrid(x, y)
    keep = np.ones(xx.shape, dtype=bool)
    if hasattr(grid, "dims") and not hasattr(grid, "data_vars"):
        values = np.asarray(grid.transpose(..., "y", "x").values, dtype=np.float64)
        keep = np.all(np.isfinite(values.reshape(-1, *xx.shape)), axis=0)
    points = np.column_stack([xx[keep], yy[keep]])
    if points.shape[0] == 0:
        raise ValueError("the grid has no cells with values")
    return Cells(points, np.full(points.shape[0], dx[0] * dy[0]),
                 np.zeros(points.shape[0], dtype=np.int64), ["total"], False)


def _geometries(source, mesh_crs):
    """(list of shapely geometries, their names) from polygons in any of the accepted forms,
    reprojected to the mesh's CRS when both have one."""
    import shapely

    if isinstance(source, (str, bytes)) or hasattr(source, "__fspath__"):
        import geopandas

        source = geopandas.read_file(source)
    if hasattr(source, "geometry") and hasattr(source, "crs"):     # GeoDataFrame, GeoSeries
        frame = source
        if frame.crs is not None and mesh_crs is not None:
            frame = frame.to_crs(mesh_crs)
        geometry = frame.geometry if hasattr(frame, "geometry") else frame
        return list(geometry.values), [str(v) for v in frame.index]
    if isinstance(source, shapely.Geometry):
        return [source], ["total"]
    items = list(source)
    if not all(isinstance(g, shapely.Geometry) for g in items):
        raise ValueError("cells must be points (m, 2), an xarray grid, or polygons (shapely "
                         "geometries, a GeoDataFrame or a vector file)")
    return items, [str(k) for k in range(len(items))]


def _rasterised(geometries, names, resolution: float) -> Cells:
    import shapely

    points, areas, regions = [], [], []
    for k, (geometry, name) in enumerate(zip(geometries, names)):
        if geometry is None or geometry.is_empty or geometry.area <= 0.0:
            raise ValueError(f"polygon {name!r} is empty or has no area")
        x0, y0, x1, y1 = geometry.bounds
        i = np.arange(np.floor(x0 / resolution), np.ceil(x1 / resolution))
        j = np.arange(np.floor(y0 / resolution), np.ceil(y1 / resolution))
        if i.size * j.size > MAX_CELLS:
            raise ValueError(f"polygon {name!r} would be cut into {i.size * j.size:.3g} cells at "
                             f"resolution {resolution:g}: give a coarser resolution")
        xx, yy = np.meshgrid((i + 0.5) * resolution, (j + 0.5) * resolution)
        inside = shapely.contains_xy(geometry, xx.ravel(), yy.ravel())
        xy = np.column_stack([xx.ravel()[inside], yy.ravel()[inside]])
        if xy.shape[0] == 0:
            p = geometry.representative_point()
            xy = np.array([[p.x, p.y]])
        points.append(xy)
        areas.append(np.full(xy.shape[0], geometry.area / xy.shape[0]))
        regions.append(np.full(xy.shape[0], k, dtype=np.int64))
    return Cells(np.vstack(points), np.concatenate(areas), np.concatenate(regions), list(names),
                 False)


def _default_resolution(mesh) -> float:
    loc = np.asarray(mesh.loc)[:, :2]
    tv = np.asarray(mesh.tv)
    edges = np.linalg.norm(loc[tv[:, [1, 2, 0]]] - loc[tv], axis=2)
    return LATTICE_SHARE * float(np.median(edges))


def prediction_cells(mesh, cells, *, area=None, by=None, resolution: Optional[float] = None) -> Cells:
    """The cells of an index from what the user gave (see the module's note)."""
    if hasattr(cells, "coords") and "x" in getattr(cells, "coords", {}) and "y" in cells.coords:
        if area is not None or by is not None:
            raise ValueError("a grid's cells have the grid's own areas: give no area or by")
        return _from_grid(cells)
    if isinstance(cells, np.ndarray) or (isinstance(cells, (list, tuple)) and len(cells)
                                         and np.ndim(cells[0]) == 1 and len(cells[0]) == 2):
        return _from_points(cells, area, by)
    if area is not None or by is not None:
        raise ValueError("polygons' cells take their areas from the polygons: give no area or by")
    if resolution is not None and not (np.isfinite(resolution) and resolution > 0):
        raise ValueError(f"resolution must be a positive cell side, got {resolution!r}")
    geometries, names = _geometries(cells, getattr(mesh, "crs", None))
    return _rasterised(geometries, names, resolution or _default_resolution(mesh))

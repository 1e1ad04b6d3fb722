"""Maps into GeoTIFF files: one float64 band per layer, written window by window."""

from __future__ import annotations

import itertools
import os
import sys
from typing import Any, Iterator, List, Optional, Sequence, Tuple

import numpy as np

from ._require import require
from .crs import as_crs

__all__ = ["to_geotiff"]

# Tiles are square, the largest of these that divides the Dataset's blocks (GDAL then never
# writes a compressed tile twice).
TILE_SIZES = (512, 256, 128, 64, 32, 16)


def to_geotiff(dataset, path, *, layers: Optional[Sequence[str]] = None,
               compress: Optional[str] = "deflate", in_flight: Optional[int] = None) -> str:
    """Write the layers of a map Dataset (see `posterior_maps`) as a GeoTIFF; return the path.

    layers: which data variables, in band order (default: every variable with dimensions
        (y, x)). Band k holds layer k as float64, its description is the layer's name, its
        unit the layer's `units` attribute when there is one; nodata is NaN. A map with a
        `time` dimension (a space-time fit's) is written with a band per layer and step,
        layer by layer, named by both ("mean 2003").
    The affine transform comes from the cell centres, half a cell out (from the CRS
    variable's GeoTransform when it agrees with the coordinates, so both read back to the
    same doubles); x must be evenly spaced and increasing, y evenly spaced (a Dataset with
    y ascending is written north-up, its rows reversed). The CRS comes from the variable
    that the layers' `grid_mapping` names (its crs_wkt or spatial_ref); none is written
    without one. The file is tiled (512-pixel tiles when the blocks allow) and, when the
    tiles fit the blocks, compressed with `compress` (a GDAL name; None for none) and the
    floating-point predictor. DEFLATE runs at its fastest level: about 200 MB/s here, for a
    file about a third of the raw size (the default level halves the speed and saves
    little). BigTIFF when it must be.

    Dask-backed layers are computed block by block and each block written to its window
    as it arrives, with at most `in_flight` blocks computed and not yet written (default:
    twice the threads of the dask.distributed client in use, else of the machine, so the
    workers are not kept waiting for the writes): the whole map is never in memory.
    Raises ValueError for a Dataset that is not such a map.
    """
    rasterio = require("rasterio", "to_geotiff")
    if hasattr(dataset, "dims") and "time" in dataset.dims:
        dataset, layers = _per_step(dataset, layers)
    names = _layers(dataset, layers)
    first = dataset[names[0]]
    x = np.asarray(dataset["x"].values, dtype=np.float64)
    y = np.asarray(dataset["y"].values, dtype=np.float64)
    transform, flip = _transform(dataset, first, x, y)
    crs = _crs(dataset, first)
    stack = [dataset[n].data for n in names]
    lazy = any(hasattr(a, "dask") for a in stack)
    # In memory, the whole map is one write and every tile is written once.
    tile = next((t for t in TILE_SIZES if all(b % t == 0 for b in _block_shape(first))), None) \
        if lazy else TILE_SIZES[1]
    profile = dict(driver="GTiff", width=x.size, height=y.size, count=len(names), dtype="float64",
                   nodata=np.nan, transform=transform, interleave="band", BIGTIFF="IF_SAFER")
    if crs is not None:
        profile["crs"] = rasterio.crs.CRS.from_wkt(crs.to_wkt())
    if tile is not None:
        profile.update(tiled=True, blockxsize=tile, blockysize=tile)
        if compress is not None:
            profile.update(compress=compress, predictor=3)
            if str(compress).lower() == "deflate":
                profile.update(zlevel=1)
    elif x.size >= 16 and y.size >= 16:
        profile.update(tiled=True, blockxsize=16 * min(32, x.size // 16), blockysize=16 * min(32, y.size // 16))
    path = os.fspath(path)
    with rasterio.open(path, "w", **profile) as dst:
        for k, name in enumerate(names, start=1):
            dst.set_band_description(k, name)
            units = dataset[name].attrs.get("units")
            if units:
                dst.set_band_unit(k, str(units))
        for (r0, r1, c0, c1), block in _windows(dataset, names, lazy, in_flight):
            if flip:
                block, (r0, r1) = block[:, ::-1, :], (y.size - r1, y.size - r0)
            dst.write(np.ascontiguousarray(block, dtype=np.float64),
                      window=rasterio.windows.Window(c0, r0, c1 - c0, r1 - r0))
    return path


def _per_step(dataset, layers):
    """The Dataset with a (y, x) layer per layer and time step, named "<layer> <step>", and
    the names of those asked for (all, by default)."""
    steps = [_step_name(value) for value in np.asarray(dataset["time"].values)]
    chosen = [n for n, v in dataset.data_vars.items() if "time" in v.dims] if layers is None else \
        ([layers] if isinstance(layers, str) else list(layers))
    flat, names = {}, []
    for name in chosen:
        if name not in dataset.data_vars:
            raise ValueError(f"the Dataset has no layer {name!r} (it has "
                             f"{sorted(map(str, dataset.data_vars))})")
        for k, step in enumerate(steps):
            flat[f"{name} {step}"] = dataset[name].isel(time=k, drop=True)
            names.append(f"{name} {step}")
    return dataset.drop_dims("time").assign(flat), names


def _step_name(value) -> str:
    if isinstance(value, np.datetime64):
        return str(np.datetime_as_string(value, unit="auto"))
    return str(value.item() if hasattr(value, "item") else value)


def _layers(dataset, layers) -> List[str]:
    if not hasattr(dataset, "data_vars"):
        raise ValueError(f"to_geotiff needs an xarray Dataset, got {type(dataset).__name__}")
    if "x" not in dataset.coords or "y" not in dataset.coords:
        raise ValueError("the Dataset has no x and y coordinates: to_geotiff writes maps with dimensions (y, x)")
    if layers is None:
        names = [str(n) for n, v in dataset.data_vars.items() if set(v.dims) == {"y", "x"}]
    else:
        names = [str(n) for n in ([layers] if isinstance(layers, str) else layers)]
    if not names:
        raise ValueError("the Dataset has no layer with dimensions (y, x) to write")
    for n in names:
        if n not in dataset.data_vars:
            raise ValueError(f"the Dataset has no layer {n!r} (it has {sorted(map(str, dataset.data_vars))})")
        if set(dataset[n].dims) != {"y", "x"} or dataset[n].ndim != 2:
            raise ValueError(f"layer {n!r} has dimensions {dataset[n].dims}, not (y, x)")
    return names


def _spacing(values: np.ndarray, axis: str) -> float:
    if values.size < 2:
        raise ValueError(f"the map needs at least two cells along {axis} to know their size")
    step = (values[-1] - values[0]) / (values.size - 1)
    if not (np.isfinite(step) and step != 0.0) or \
            np.max(np.abs(np.diff(values) - step)) > 1e-9 * abs(step) * values.size:
        raise ValueError(f"the {axis} coordinates are not evenly spaced: a GeoTIFF needs a regular grid")
    return float(step)


def _transform(dataset, first, x: np.ndarray, y: np.ndarray):
    """(the affine transform of the north-up file, whether rows must be reversed)."""
    from rasterio.transform import Affine

    dx, dy = _spacing(x, "x"), _spacing(y, "y")
    if dx < 0:
        raise ValueError("the x coordinates decrease: to_geotiff writes maps whose x increases")
    flip = dy > 0
    top = y[-1] if flip else y[0]
    computed = Affine(dx, 0.0, x[0] - dx / 2, 0.0, -abs(dy), top + abs(dy) / 2)
    gm = _grid_mapping(dataset, first)
    text = gm.attrs.get("GeoTransform") if gm is not None else None
    if text is not None and not flip:
        try:
            given = Affine.from_gdal(*(float(v) for v in str(text).split()))
        except (TypeError, ValueError):
            given = None
        if given is not None and given.b == 0.0 and given.d == 0.0:
            cx = given.c + given.a * (np.arange(x.size) + 0.5)
            cy = given.f + given.e * (np.arange(y.size) + 0.5)
            if np.allclose(cx, x, rtol=0, atol=1e-6 * abs(dx)) and np.allclose(cy, y, rtol=0, atol=1e-6 * abs(dy)):
                return given, flip
    return computed, flip


def _grid_mapping(dataset, first):
    name = first.attrs.get("grid_mapping") or first.encoding.get("grid_mapping")
    if name is None or name not in dataset.variables:
        return None
    return dataset[name]


def _crs(dataset, first):
    gm = _grid_mapping(dataset, first)
    if gm is None:
        return None
    wkt = gm.attrs.get("crs_wkt") or gm.attrs.get("spatial_ref")
    return None if wkt is None else as_crs(wkt, f"the CRS in {gm.name!r}")


def _block_shape(first) -> Tuple[int, int]:
    """The Dataset's block size along y and x (its first blocks); blocks at the far edges
    may be smaller."""
    chunks = first.chunks or ((first.shape[0],), (first.shape[1],))
    return int(chunks[0][0]), int(chunks[1][0])


def _windows(dataset, names, lazy: bool, in_flight: Optional[int]) -> Iterator[Tuple[Tuple[int, int, int, int], np.ndarray]]:
    """((r0, r1, c0, c1), (layers, rows, cols) array) for the blocks of the map."""
    if not lazy:
        data = np.stack([np.asarray(dataset[n].values, dtype=np.float64) for n in names])
        yield (0, data.shape[1], 0, data.shape[2]), data
        return
    da = require("dask.array", "to_geotiff")
    stack = da.stack([da.asarray(dataset[n].data) for n in names])
    ys, xs = np.cumsum((0,) + stack.chunks[1]), np.cumsum((0,) + stack.chunks[2])
    tasks = [((int(ys[i]), int(ys[i + 1]), int(xs[j]), int(xs[j + 1])), stack.blocks[:, i, j])
             for i, j in itertools.product(range(len(ys) - 1), range(len(xs) - 1))]
    client = _client()
    threads = sum(client.nthreads().values()) if client is not None else os.cpu_count() or 1
    width = max(1, int(in_flight or 2 * threads))
    if client is not None:
        yield from _through_client(client, tasks, width)
        return
    import dask

    for start in range(0, len(tasks), width):
        batch = tasks[start:start + width]
        for (window, _), block in zip(batch, dask.compute(*[t for _, t in batch])):
            yield window, block


def _client() -> Any:
    """The dask.distributed client in use, if any (without importing distributed)."""
    if "distributed" not in sys.modules:
        return None
    from distributed import get_client

    try:
        return get_client()
    except ValueError:
        return None


def _through_client(client, tasks, width: int):
    """Blocks as they finish, with at most `width` submitted and not yet written."""
    from distributed import as_completed

    pending = iter(tasks)
    windows = {}

    def submit():
        for window, task in itertools.islice(pending, 1):
            future = client.compute(task)
            windows[future.key] = window
            return future
        return None

    queue = as_completed([f for f in (submit() for _ in range(width)) if f is not None])
    for future in queue:
        block = future.result()
        window = windows.pop(future.key)
        future.release()
        following = submit()
        if following is not None:
            queue.add(following)
        yield window, block

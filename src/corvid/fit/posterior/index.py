"""Area and time indices: the posterior of I = sum_i area_i mu(s_i) over the cells of each
region (and time step), from joint posterior samples.

mu is the response mean per unit of exposure and per trial (scale="response") or the
linear predictor (scale="link"). The cells' samples are never held together: for each
block of samples (as many as memory holds), the cells are taken a few thousand at a time,
their linear predictor computed for every sample (one sparse product), mapped to mu, and
summed into each region by one sparse product with the cells' areas; only the (regions x
samples) sums are kept.
"""

from __future__ import annotations

import warnings
from typing import Optional

import numpy as np
from scipy import sparse

from ... import _memory
from ...meshkin.locate import basis_matrix
from ..effects.levels import Levels, label_values
from ..observations import new_design
from .cells import Cells, prediction_cells
from .samples import draw_blocks

__all__ = ["area_index", "CellsOutsideWarning"]

CHUNK_VALUES = 1 << 22    # cells x samples evaluated at once (32 MiB)
QUANTILES = (0.025, 0.975)


class CellsOutsideWarning(UserWarning):
    """Some of a region's cells lie outside the mesh: its index is NaN."""


def _design(fit, cells: Cells, covariates) -> np.ndarray:
    """The cells' fixed-effect rows: per-cell values for points, rasters otherwise."""
    m = cells.points.shape[0]
    p = len(fit.fixed_names) - int(fit.intercept)
    if isinstance(covariates, dict) or (covariates is not None and not cells.per_cell):
        if not isinstance(covariates, dict):
            raise ValueError("a grid's or polygons' cells take covariates as rasters: "
                             "covariates={name: raster path, DataArray or Raster}")
        from ...geo.rasters import sample_covariates

        values = sample_covariates(covariates, cells.points, getattr(fit.mesh, "crs", None)) or {}
        names = fit.fixed_names[int(fit.intercept):]
        missing = [name for name in names if name not in values]
        if missing:
            raise ValueError(f"no raster for the covariate(s) {', '.join(map(repr, missing))} of "
                             "the fit: an index needs every covariate at every cell")
        covariates = np.column_stack([values[name] for name in names]) if names else None
    return new_design(covariates, m, fit.intercept, p)


def _steps(fit, time) -> list:
    if fit.times is None:
        if time is not None:
            raise ValueError("time is for a fit with a space-time effect; this fit has none")
        return [None]
    if time is None:
        return list(fit.times)
    # Matched as predict matches them: a time between two steps is no step (cast to the
    # steps' type, 2001.9 would have been taken for 2001).
    asked = label_values(time, "time")
    steps = Levels(fit.times)
    found = steps.index(asked, "time")[1]
    if not found.all():
        raise ValueError(f"time {Levels(asked[~found]).describe()} is not a step of the fit "
                         f"(its steps: {steps.describe()})")
    return list(asked)


def _effects(fit, cells: Cells, effects, covariates) -> dict:
    """The effects' values per cell: given per cell for points, from rasters otherwise."""
    if cells.per_cell or not effects:
        return dict(effects or {})
    raise ValueError("a grid's or polygons' cells take the effects' covariates as rasters, in "
                     "covariates={name: raster}")


def area_index(fit, cells, *, area=None, by=None, resolution: Optional[float] = None,
               scale: str = "response", time=None, n: int = 1000, seed=None, covariates=None,
               effects=None, theta: str = "integrate"):
    """See `LatentFit.index`."""
    from .tables import pandas

    pd = pandas()
    if scale not in ("link", "response"):
        raise ValueError(f"scale must be 'link' or 'response', got {scale!r}")
    made = prediction_cells(fit.mesh, cells, area=area, by=by, resolution=resolution)
    X = _design(fit, made, covariates)
    given = _effects(fit, made, effects, covariates)
    raster_effects = {}
    if isinstance(covariates, dict) and not made.per_cell:
        from ...geo.rasters import sample_covariates

        effect_names = [b.name for b in fit._structure.blocks if b.given_by == "effects"
                        and not b.optional]
        wanted = {k: v for k, v in covariates.items() if k in effect_names}
        raster_effects = sample_covariates(wanted, made.points, getattr(fit.mesh, "crs", None)) or {}
    basis = basis_matrix(fit.mesh, made.points)
    steps = _steps(fit, time)
    regions = len(made.names)
    rows = []
    for step in steps:
        step_time = None if step is None else np.full(made.points.shape[0], step)
        if made.per_cell:
            points = fit._points(basis, step_time, given)
        else:
            points = fit._map_points(basis, step_time, raster_effects)
        A, X_inside, unseen, inside = fit._rows_at(points, X)
        rows.append((A, X_inside, unseen, inside))
    inside = rows[0][3]
    outside = np.bincount(made.region[~inside], weights=made.area[~inside], minlength=regions)
    totals = np.bincount(made.region, weights=made.area, minlength=regions)
    partial = outside > 0
    if partial.any():
        shown = ", ".join(f"{made.names[k]!r} ({100 * outside[k] / totals[k]:.3g}%)"
                          for k in np.flatnonzero(partial)[:5])
        warnings.warn(f"cells outside the mesh, where the model says nothing, in "
                      f"{int(partial.sum())} region(s): {shown} of their area; their index is "
                      "NaN (clip the regions to the study region, or mesh a larger area)",
                      CellsOutsideWarning, stacklevel=3)
    # The cells sorted by region, so that each region's cells in a block are one run.
    order = np.argsort(made.region[inside], kind="stable")
    sorted_rows = [(A[order], X_inside[order], [(b, mask[order]) for b, mask in unseen])
                   for A, X_inside, unseen, _ in rows]
    region = made.region[inside][order]
    area = made.area[inside][order]
    sums = _sample_sums(fit, sorted_rows, region, area, regions, scale, n, seed, theta)
    sums[:, partial, :] = np.nan
    return _table(pd, made.names, steps, sums, scale, n)


def _sample_chunk(fit, n: int) -> Optional[int]:
    """Samples per block: all when they fit in a quarter of the available memory."""
    s = fit._structure
    available = _memory.available_memory()
    per_sample = (s.size + s.k) * 8
    if available is None or n * per_sample <= available // 4:
        return None
    return max(int(available // 4 // per_sample), 1)


def _sample_sums(fit, rows, region: np.ndarray, area: np.ndarray, regions: int, scale: str,
                 n: int, seed, theta: str) -> np.ndarray:
    """(steps, regions, n): each region's sum of area x mu for every sample, the cells
    (sorted by region) a block at a time."""
    sums = np.zeros((len(rows), regions, n))
    done = 0
    family = fit._family
    # The fixed effects' columns beside the latent ones: one sparse product per block.
    joined = [(sparse.hstack([A, sparse.csr_matrix(X)], format="csr"), unseen)
              for A, X, unseen in rows]
    for block in draw_blocks(fit, n, seed=seed, theta=theta, chunk=_sample_chunk(fit, n)):
        count = block.n
        width = max(CHUNK_VALUES // count, 1)
        values = np.vstack([block.latent_columns, block.fixed_columns])
        for t, (rows_t, unseen) in enumerate(joined):
            for start in range(0, rows_t.shape[0], width):
                part = slice(start, start + width)
                eta = block.add_unseen(np.asarray(rows_t[part] @ values),
                                       [(b, mask[part]) for b, mask in unseen])
                if scale == "response":
                    eta = family.inverse_link(eta)
                runs = region[part]
                edges = np.flatnonzero(np.diff(runs)) + 1
                for first, end in zip(np.r_[0, edges], np.r_[edges, runs.size]):
                    sums[t, runs[first], done:done + count] += area[part][first:end] @ eta[first:end]
        done += count
    return sums


def _table(pd, names, steps, sums: np.ndarray, scale: str, n: int):
    records = []
    for t, step in enumerate(steps):
        for k, name in enumerate(names):
            values = sums[t, k]
            finite = np.all(np.isfinite(values))
            low, high = np.quantile(values, QUANTILES) if finite else (np.nan, np.nan)
            with np.errstate(invalid="ignore", divide="ignore"):
                log_sd = float(np.std(np.log(values), ddof=1)) if finite and np.all(values > 0) \
                    else np.nan
            record = {"region": name}
            if step is not None:
                record["time"] = step
            record.update(estimate=float(np.mean(values)), sd=float(np.std(values, ddof=1)),
                          lower=float(low), upper=float(high), log_sd=log_sd)
            records.append(record)
    table = pd.DataFrame.from_records(records)
    table.attrs.update(scale=scale, samples=n, quantiles=QUANTILES)
    return table

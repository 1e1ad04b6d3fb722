"""The fit command's checks of the model and its questions after the fit: the leave-one-out
checks of every observation (residuals.csv and a diagnostics picture), an exceedance layer
in the maps (--exceedance C), and area indices over the polygons of a vector file (--index
FILE: index.csv and a picture of the index, over time for a fit with --time).

Everything about these options that can be refused without the fit is refused before it:
a threshold the mapped mean can never cross, a region file that cannot be read or holds
no polygons, covariates without a raster to give them over the regions.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import os
import warnings
from typing import Any, Dict, List

import numpy as np

from corvid.cli.arguments import count
from corvid.cli.errors import CommandError

__all__ = ["add_arguments", "check_arguments", "outputs", "read_index_regions", "write_checks",
           "write_index"]

CHECK_FILES = ("residuals.csv", "diagnostics.png")
INDEX_FILES = ("index.csv", "index.png")
# Attribute columns that name a region, in this order of preference (any capitalisation).
NAME_COLUMNS = ("name", "region", "area_name", "label", "id")
# The index picture draws a legend for at most this many regions.
LEGEND_REGIONS = 12
# The index table is printed when it has at most this many rows.
PRINTED_ROWS = 40


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--exceedance", type=float, metavar="C",
                        help="add a map layer 'exceedance' (a GeoTIFF band, a NetCDF variable, an "
                             "array of the .npz) of the posterior probability that the mapped "
                             "mean exceeds C: the response scale's mean for counts, trials and "
                             "amounts (per unit of exposure, per trial), the linear predictor "
                             "for gaussian data")
    parser.add_argument("--index", metavar="REGIONFILE",
                        help="vector file of polygons (management areas, strata), reprojected "
                             "like --region: the posterior of the total of the mapped mean over "
                             "each (the mean per unit of exposure times area), per time step "
                             "with --time, written to index.csv with a picture, index.png; "
                             "regions are named by a name, region, label or id attribute, or "
                             "numbered")
    parser.add_argument("--index-samples", type=count(10), default=1000, metavar="N",
                        help="joint posterior samples behind the --index (default 1000)")


def check_arguments(args: argparse.Namespace, family, rasters: Dict[str, Any]) -> None:
    """Refusals that need no work: a threshold that is not a number or that the mapped
    mean can never cross, a missing region file, covariates the index cannot have."""
    if args.exceedance is not None:
        _check_threshold(args.exceedance, family)
    if args.index is None:
        return
    if not os.path.isfile(args.index):
        raise CommandError(f"--index: no such file: {args.index}")
    missing = [c for c in dict.fromkeys([*args.covariates, *args.smooth, *args.varying])
               if c not in rasters]
    if missing:
        raise CommandError(f"--index {args.index} needs every covariate over its regions: no "
                           f"--covariate-raster for {', '.join(missing)} (give "
                           f"--covariate-raster {missing[0]}=FILE)")


def _check_threshold(threshold: float, family) -> None:
    if not math.isfinite(threshold):
        raise CommandError(f"--exceedance must be a finite number, got {threshold!r}")
    if family.map_scale == "link":
        return
    cut = float(family.link_of(np.array([threshold]))[0])
    if math.isfinite(cut):
        return
    low, high = (float(v) for v in family.inverse_link(np.array([-np.inf, np.inf])))
    span = f"above {low:g}" if math.isinf(high) else f"between {low:g} and {high:g}"
    side, share = ("above", 1) if cut < 0 else ("below", 0)
    raise CommandError(f"--exceedance {threshold:g}: the {family.response_meaning} of the "
                       f"{family.name} family is always {side} it, so the layer would be {share} "
                       f"everywhere: give a threshold {span}")


def outputs(args: argparse.Namespace) -> List[str]:
    """The files these steps write into the output directory."""
    return [*CHECK_FILES, *(INDEX_FILES if args.index else ())]


# ---- checks of the model ----------------------------------------------------------------

def write_checks(result, xy: np.ndarray, loc: np.ndarray, values: np.ndarray,
                 times, staging: str, out: str) -> None:
    """residuals.csv (a row per observation in the file's order: its coordinates as in the
    file, time step, value, CPO, PIT and randomised quantile residual) and diagnostics.png
    (the residuals mapped at `loc`, the working coordinates)."""
    import pandas as pd

    try:
        checks = result.checks()
    except ValueError as exc:   # an observation without a leave-one-out posterior
        print(f"note: no leave-one-out checks: {exc}")
        return
    table = pd.DataFrame({"row": np.arange(values.size), "x": xy[:, 0], "y": xy[:, 1]})
    if times is not None:
        table["time"] = times
    table["value"] = values
    table["cpo"], table["pit"], table["residual"] = checks.cpo, checks.pit, checks.residuals
    table.to_csv(os.path.join(staging, "residuals.csv"), index=False, float_format="%.10g")
    print(f"leave-one-out checks: log score {checks.log_score:.4f}, WAIC {checks.waic:.4f}; "
          f"CPO, PIT and residual per observation: {os.path.join(out, 'residuals.csv')}")
    if _diagnostics(checks, loc, os.path.join(staging, "diagnostics.png"), result.family):
        print(f"PIT histogram, Q-Q plot and map of the residuals: "
              f"{os.path.join(out, 'diagnostics.png')}")


def _pyplot():
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    return plt


def _diagnostics(checks, loc: np.ndarray, path: str, family: str) -> bool:
    from scipy import stats

    plt = _pyplot()
    if plt is None:
        return False
    fig, axes = plt.subplots(1, 3, figsize=(16, 5), constrained_layout=True)
    randomised = " (randomised)" if checks.randomised else ""
    axes[0].hist(checks.pit, bins=20, range=(0.0, 1.0), color="steelblue", edgecolor="white")
    axes[0].axhline(checks.pit.size / 20, color="black", linewidth=1, linestyle="--")
    axes[0].set_title(f"PIT{randomised}: flat under the model", fontsize=10)
    axes[0].set_xlabel("P(Y ≤ y | the other observations)")
    finite = np.isfinite(checks.residuals)
    ordered = np.sort(checks.residuals[finite])
    if ordered.size:
        expected = stats.norm.ppf((np.arange(ordered.size) + 0.5) / ordered.size)
        axes[1].scatter(expected, ordered, s=4, color="steelblue")
        low, high = float(min(expected[0], ordered[0])), float(max(expected[-1], ordered[-1]))
        axes[1].plot([low, high], [low, high], color="black", linewidth=1)
    axes[1].set_title(f"quantile residuals{randomised} against the normal", fontsize=10)
    axes[1].set_xlabel("normal quantile")
    axes[1].set_ylabel("residual")
    limit = max(float(np.max(np.abs(ordered))) if ordered.size else 0.0, 1e-12)
    shown = axes[2].scatter(loc[finite, 0], loc[finite, 1], c=checks.residuals[finite], s=6,
                            cmap="RdBu_r", vmin=-limit, vmax=limit)
    fig.colorbar(shown, ax=axes[2], shrink=0.85, label="residual")
    axes[2].set_aspect("equal")
    axes[2].set_title(f"residuals of the {family} fit where they were observed", fontsize=10)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


# ---- area indices -----------------------------------------------------------------------

@dataclasses.dataclass
class IndexRegions:
    """The polygons of --index in the working coordinates (a GeoSeries indexed by the
    regions' names) and their areas."""

    path: str
    polygons: Any


def _geopandas():
    try:
        import geopandas
        import shapely
    except ImportError:
        raise CommandError("--index needs the geo extra: pip install 'corvid[geo]'") from None
    return geopandas, shapely


def read_index_regions(path: str, geography) -> IndexRegions:
    """The polygons of the --index file, in the working coordinates: reprojected from the
    file's CRS; a file without one is taken to be in the data's CRS. Features of one name
    are one region; without a name attribute the regions are the features' numbers."""
    geopandas, shapely = _geopandas()
    try:
        frame = geopandas.read_file(path)
    except Exception as exc:   # pyogrio, fiona and GDAL raise their own types; one line of it
        reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise CommandError(f"--index: cannot read {path}: {reason}") from None
    kinds = frame.geometry.geom_type
    polygonal = frame.geometry.notna() & kinds.isin(["Polygon", "MultiPolygon"])
    if not polygonal.any():
        found = ", ".join(sorted(set(kinds.dropna()))) or "no geometries"
        raise CommandError(f"--index: {path} has no polygons (found {found}): the index needs "
                           "polygon features")
    if not polygonal.all():
        print(f"note: --index {path}: {int((~polygonal).sum())} feature(s) that are not polygons "
              "are left out")
    frame = frame[polygonal]
    lower = {str(c).lower(): c for c in frame.columns if c != frame.geometry.name}
    column = next((lower[n] for n in NAME_COLUMNS if n in lower), None)
    names = ([str(v) for v in frame[column]] if column is not None
             else [str(i) for i in np.flatnonzero(polygonal.to_numpy())])
    geometry = [g if g.is_valid else shapely.make_valid(g) for g in frame.geometry]
    polygons = geopandas.GeoSeries(geometry, index=names, crs=frame.crs)
    polygons = _working(polygons, geography, path)
    empty = [name for name, g in polygons.items() if g is None or g.is_empty or g.area <= 0.0]
    if empty:
        raise CommandError(f"--index {path}: region {empty[0]!r} has no area: remove it from "
                           "the file")
    if polygons.index.has_duplicates:   # a region drawn as several features is one region
        unique = list(dict.fromkeys(polygons.index))
        polygons = geopandas.GeoSeries(
            [shapely.union_all(polygons[polygons.index == name].values) for name in unique],
            index=unique)
    return IndexRegions(path, polygons)


def _working(polygons, geography, path: str):
    """The polygons in the working coordinates, with no CRS attached."""
    import geopandas

    try:
        if polygons.crs is not None and geography.crs is not None:
            polygons = polygons.to_crs(geography.crs)
        elif polygons.crs is not None and polygons.crs.is_geographic:
            raise CommandError(f"--index {path} is in longitude and latitude "
                               f"({polygons.crs.name}) and the data have no CRS: give the "
                               "data's CRS with --crs")
        elif polygons.crs is None and geography.projection is not None:
            import shapely

            polygons = geopandas.GeoSeries(shapely.transform(polygons.values, geography.forward),
                                           index=polygons.index)
    except CommandError:
        raise
    except Exception as exc:   # pyproj's errors, or coordinates the projection cannot map
        raise CommandError(f"--index {path}: cannot reproject its polygons: "
                           f"{str(exc).splitlines()[0] if str(exc) else type(exc).__name__}") from None
    if not np.all(np.isfinite(polygons.total_bounds)):
        raise CommandError(f"--index {path}: its polygons do not map to finite coordinates in "
                           "the data's CRS (a region beyond the projection's reach?)")
    return geopandas.GeoSeries(list(polygons), index=polygons.index)


def write_index(result, regions: IndexRegions, rasters: Dict[str, Any], samples: int,
                unit: str, staging: str, out: str) -> None:
    """index.csv (a row per region, and per time step, with each region's area) and
    index.png."""
    from corvid.fit.posterior.index import CellsOutsideWarning

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", CellsOutsideWarning)
        try:
            table = result.index(regions.polygons, covariates=_sources(rasters), n=samples,
                                 seed=0)
        except ValueError as exc:
            raise CommandError(f"--index {regions.path}: {exc}") from None
    for warning in caught:
        if issubclass(warning.category, CellsOutsideWarning):
            print(f"note: --index {regions.path}: {' '.join(str(warning.message).split())}")
        else:
            warnings.warn_explicit(warning.message, warning.category, warning.filename,
                                   warning.lineno)
    areas = regions.polygons.area
    table.insert(1, "area", [float(areas[name]) for name in table["region"]])
    table.to_csv(os.path.join(staging, "index.csv"), index=False, float_format="%.10g")
    if len(table) <= PRINTED_ROWS:
        print(table.to_string(index=False, float_format=lambda v: f"{v:.5g}"))
    what = _index_meaning(result, unit)
    print(f"the index, {what}, per region{' and time step' if 'time' in table.columns else ''} "
          f"({samples} joint samples): {os.path.join(out, 'index.csv')}")
    if np.isfinite(table.estimate).any() and _index_picture(table, what, os.path.join(staging, "index.png")):
        print(f"the index with its 95% interval: {os.path.join(out, 'index.png')}")


def _sources(rasters: Dict[str, Any]):
    """The --covariate-raster options as the fit reads rasters (None for none)."""
    return {name: raster.source() for name, raster in rasters.items()} or None


def _index_meaning(result, unit: str) -> str:
    family = result._family
    mean = "linear predictor" if family.map_scale == "link" else family.response_meaning
    return f"the {mean} summed over the region times area ({unit}²)" if unit else \
        f"the {mean} summed over the region times area"


def _index_picture(table, what: str, path: str) -> bool:
    plt = _pyplot()
    if plt is None:
        return False
    fig, ax = plt.subplots(figsize=(8, 5), constrained_layout=True)
    if "time" in table.columns:
        steps = list(dict.fromkeys(table.time))
        position = {step: k for k, step in enumerate(steps)}
        for name, rows in table.groupby("region", sort=False):
            x = [position[t] for t in rows.time]
            line, = ax.plot(x, rows.estimate, marker="o", label=str(name))
            ax.fill_between(x, rows.lower, rows.upper, color=line.get_color(), alpha=0.2)
        ax.set_xticks(range(len(steps)), [str(t) for t in steps],
                      rotation=45 if len(steps) > 8 else 0)
        ax.set_xlabel("time step")
        if table.region.nunique() <= LEGEND_REGIONS:
            ax.legend(fontsize=8)
    else:
        at = np.arange(len(table))
        ax.errorbar(at, table.estimate, yerr=[table.estimate - table.lower,
                                              table.upper - table.estimate], fmt="o", capsize=4)
        ax.set_xticks(at, [str(r) for r in table.region], rotation=45 if len(table) > 8 else 0)
        ax.set_xlabel("region")
    ax.set_ylabel("index")
    ax.set_title(f"posterior mean and 95% interval of the index:\n{what}", fontsize=10)
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True

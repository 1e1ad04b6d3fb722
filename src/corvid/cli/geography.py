"""The fit command's geography: the data's CRS and the planar one the mesh works in, the
study region from a GIS file, and the covariate rasters for the maps.

Longitude and latitude are never taken as planar distances: with `--crs` naming a
geographic CRS they are projected (an equal-area projection centred on the data, in km or
m); columns named lon/lat/longitude/latitude without a CRS are refused, saying why. A
value that is no longitude or latitude, a `--crs` that contradicts the file's own, a
region in no CRS the data can meet and points beyond the region are refused by the
file's lines and the user's own coordinates.
"""

from __future__ import annotations

import dataclasses
import os
from typing import Any, Dict, List, Optional

import numpy as np

from corvid.cli.errors import CommandError, first_line
from corvid.cli.layers import vector_layer

DEGREE_NAMES = ("lon", "lat", "long", "longitude", "latitude")
# Longitudes are taken from -180 to 360 (both the ±180 and the 0-360 conventions).
LONGITUDES = (-180.0, 360.0)


@dataclasses.dataclass
class Geography:
    """How the data's coordinates become the mesh's: `projection` (None: as they are),
    the working CRS (None: plain planar coordinates), its unit for messages, and whether
    corvid chose it (the data are in degrees)."""

    projection: Any = None
    crs: Any = None
    unit: str = ""
    projected_here: bool = False

    def forward(self, xy: np.ndarray) -> np.ndarray:
        return xy if self.projection is None else self.projection.forward(xy)

    def name(self) -> str:
        return "plain planar coordinates (no CRS)" if self.crs is None else self.crs.name


def _geo(what: str):
    try:
        import corvid.geo as geo
        geo.Projection  # noqa: B018 - the package imports without its libraries
        import pyproj  # noqa: F401
    except ImportError:
        raise CommandError(f"{what} needs the geo extra: pip install 'corvid[geo]'") from None
    return geo


def working_geography(crs_option: Optional[str], table, path: str) -> Geography:
    """The geography of the data: `--crs` (or the vector file's CRS) projected when it is
    geographic; refuses coordinates named like degrees without a CRS, a `--crs` that
    differs from the file's own and degrees out of their range, and warns about
    coordinates that only look like degrees."""
    given = crs_option if crs_option is not None else table.crs
    xy = table.xy
    if given is None:
        named = [n for n in (table.coordinates if table.from_columns else ())
                 if str(n).strip().lower() in DEGREE_NAMES]
        if named:
            raise CommandError(
                f"the coordinates ({', '.join(named)}) look like longitude and latitude, and no "
                "--crs says what they are: taken as planar x and y, a degree of longitude would "
                "count as much as one of latitude, which it is only at the equator (at 60 N it "
                "is half), and the range, mesh and maps would be distorted. Give --crs "
                "EPSG:4326 (or the data's CRS); corvid then projects them")
        if _looks_like_degrees(xy):
            # On stdout, with the other notes: stderr holds only what went wrong.
            print("note: the coordinates lie within |x| <= 180 and |y| <= 90, as longitude and "
                  "latitude would: they are taken as planar x and y; if they are degrees, give "
                  "--crs EPSG:4326", flush=True)
        return Geography()
    geo = _geo("--crs")
    try:
        source = geo.as_crs(given, "--crs")
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    if crs_option is not None and table.crs is not None:
        own = geo.as_crs(table.crs)
        if not own.equals(source, ignore_axis_order=True):
            raise CommandError(f"--crs {crs_option} ({source.name}) differs from the CRS of "
                               f"{path} ({own.name}), which its coordinates are in: leave --crs "
                               "out (the file's own CRS is used), or reproject the file")
    if source.is_geographic:
        _check_degrees(table, path, source)
    try:
        projection = geo.Projection(source, data=xy if source.is_geographic else None)
    except ValueError as exc:
        message = str(exc).replace("name a target CRS", "project the data to a CRS that "
                                   "covers them and give it as --crs")
        raise CommandError(message) from None
    if source.is_geographic:
        print(f"coordinates: {source.name} (degrees), projected to {projection.target.name}, in "
              f"{projection.unit}")
    return Geography(projection, projection.target, projection.unit, bool(source.is_geographic))


def _looks_like_degrees(xy: np.ndarray) -> bool:
    return bool(np.all(np.abs(xy[:, 0]) <= 180.0) and np.all(np.abs(xy[:, 1]) <= 90.0))


def _check_degrees(table, path: str, crs) -> None:
    """Refuses the first longitude or latitude out of its range, by its line and column."""
    lon, lat = table.xy[:, 0], table.xy[:, 1]
    x_name, y_name = table.coordinates
    swapped = np.mean(np.abs(lat) > 90.0) > 0.5 and np.all(np.abs(lon) <= 90.0)
    hint = " (--x and --y may be swapped)" if swapped else ""
    for values, bad, name, what, span in (
            (lat, np.abs(lat) > 90.0, y_name, "latitude", "-90 to 90"),
            (lon, (lon < LONGITUDES[0]) | (lon > LONGITUDES[1]), x_name, "longitude", "-180 to 360")):
        rows = np.flatnonzero(bad)
        if rows.size:
            column = f"column {name!r}" if table.from_columns else f"its {'y' if what == 'latitude' else 'x'}"
            raise CommandError(
                f"{path} {table.where(rows)}, {column}: {values[rows[0]]:.10g} is not a {what} "
                f"({what}s run from {span} degrees){hint}; the CRS {crs.name} says the "
                "coordinates are degrees: correct the value, or give the data's own --crs")


def project_locations(geography: Geography, table, path: str) -> np.ndarray:
    """The data's locations in the working CRS; refuses a point the projection cannot map."""
    loc = geography.forward(table.xy)
    bad = np.flatnonzero(~np.isfinite(loc).all(axis=1))
    if bad.size:
        x, y = table.xy[bad[0]]
        raise CommandError(f"{path} {table.where(bad)}: ({x:.10g}, {y:.10g}) cannot be projected "
                           f"to {geography.name()}: check the coordinates and --crs")
    return loc


@dataclasses.dataclass(frozen=True)
class CovariateRaster:
    """A --covariate-raster option: the file, and the CRS given after '@' (None: the
    file's own)."""

    path: str
    crs: Optional[str] = None

    def source(self):
        """What the fit's maps take: the path, or a Raster with the CRS given."""
        if self.crs is None:
            return self.path
        from corvid.geo import Raster

        return Raster(self.path, crs=self.crs)


def covariate_rasters(options: Optional[List[str]], covariates: List[str]) -> Dict[str, CovariateRaster]:
    """{name: raster} from `--covariate-raster NAME=PATH[@CRS]` options, checked before
    any work: each name one of --covariates, each file a raster GDAL reads, its CRS known
    (its own, or the one after '@', which only a raster without one takes)."""
    rasters: Dict[str, CovariateRaster] = {}
    for option in options or []:
        name, sep, path = option.partition("=")
        name = name.strip()
        if not sep or not name or not path:
            raise CommandError(f"--covariate-raster takes NAME=PATH or NAME=PATH@CRS, got {option!r}")
        if name not in covariates:
            raise CommandError(f"--covariate-raster {name}: {name!r} is not one of --covariates "
                               f"({', '.join(covariates) or 'none given'})")
        if name in rasters:
            raise CommandError(f"--covariate-raster {name} is given twice")
        crs = None
        if not os.path.exists(path) and "@" in path:
            path, crs = path.rsplit("@", 1)
        if os.path.isdir(path):
            raise CommandError(f"--covariate-raster {name}: {path} is a directory, not a raster file")
        if not os.path.isfile(path):
            raise CommandError(f"--covariate-raster {name}: no such file: {path}")
        rasters[name] = CovariateRaster(path, crs)
    if rasters:
        geo = _geo("--covariate-raster")
        for name, raster in rasters.items():
            _check_raster(geo, name, raster)
    return rasters


def _raster_crs(name: str, raster: CovariateRaster):
    """The CRS a raster file names (None when it names none)."""
    import rasterio

    try:
        with rasterio.open(raster.path) as src:
            return None if src.crs is None else src.crs.to_wkt()
    except Exception as exc:  # rasterio's RasterioIOError and GDAL's own
        raise CommandError(f"--covariate-raster {name}: cannot read {raster.path} as a raster: "
                           f"{first_line(exc)}") from None


def _check_raster(geo, name: str, raster: CovariateRaster) -> None:
    own = _raster_crs(name, raster)
    if raster.crs is None:
        return
    try:
        given = geo.as_crs(raster.crs, f"--covariate-raster {name}=...@CRS:")
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    if own is not None and not geo.as_crs(own).equals(given, ignore_axis_order=True):
        raise CommandError(f"--covariate-raster {name}: {raster.path} has its own CRS "
                           f"({geo.as_crs(own).name}), not {raster.crs}: leave @{raster.crs} out")


def check_raster_crs(rasters: Dict[str, CovariateRaster], geography: Geography) -> None:
    """Refuses a raster without a CRS where the data have one that corvid projected from
    degrees: where the raster lies is then unknown. A raster without a CRS beside data in
    a projected CRS is taken to be in it, and the command says so."""
    for name, raster in rasters.items():
        if raster.crs is not None or geography.crs is None or _raster_crs(name, raster) is not None:
            continue
        if geography.projected_here:
            raise CommandError(
                f"--covariate-raster {name}: {raster.path} has no CRS, and the data are in "
                "degrees, projected for the fit, so where the raster lies is unknown: give its "
                f"CRS as {name}={raster.path}@CRS (e.g. @EPSG:4326 for longitude and latitude)")
        print(f"note: {raster.path} has no CRS: it is taken to be in the data's "
              f"({geography.crs.name}); give {name}={raster.path}@CRS if it is not", flush=True)


def read_study_region(path: str, layer: Optional[str], geography: Geography, max_edge: float,
                      points: np.ndarray):
    """(the study region of a vector file in the working CRS, simplified to max_edge / 4
    without losing a location (corvid.geo.read_region); the layer read)."""
    from corvid.cli.mesh import small_features_in_command_terms

    geo = _geo("--region")
    chosen = vector_layer(path, layer, "--region-layer", "--region")
    if chosen.geometry is None:
        raise CommandError(f"--region: {chosen} has no geometry, only attributes "
                           f"({', '.join(chosen.fields) or 'none'}): a study region needs polygons "
                           "(a GeoPackage, shapefile or GeoJSON of them)")
    if chosen.crs is not None and geography.crs is None and geo.as_crs(chosen.crs).is_geographic:
        raise CommandError(f"--region: {chosen} is in longitude and latitude "
                           f"({geo.as_crs(chosen.crs).name}), and the data have no CRS: give the "
                           "data's --crs, so that both are projected together")
    try:
        with small_features_in_command_terms(geography.unit, max_edge):
            study = geo.read_region(path, geography.crs, max_edge=max_edge, points=points,
                                    layer=chosen.name)
    except ValueError as exc:
        raise CommandError(f"--region: {exc}") from None
    return study, chosen


def areas_region(table, geography: Geography, max_edge: float, points: np.ndarray):
    """The study region of areal data without --region: the union of their polygons, in
    the working CRS, simplified to max_edge / 4 (corvid.geo.read_region)."""
    from corvid.cli.mesh import small_features_in_command_terms

    geo = _geo("--centroids")
    try:
        with small_features_in_command_terms(geography.unit, max_edge):
            return geo.read_region(table.areas, geography.crs, max_edge=max_edge, points=points)
    except ValueError as exc:
        raise CommandError(f"--centroids: the polygons as a study region: {exc}") from None


def check_inside(study, chosen, table, loc: np.ndarray, offset: float, geography: Geography,
                 path: str) -> None:
    """Refuses data farther from the study region than its buffer is wide, by the file's
    lines and the user's own coordinates; a region file without a CRS is named as such,
    as it was taken to be in the working CRS."""
    import shapely

    polygons = [shapely.Polygon(shell) for shell in study.shells]
    region = shapely.union_all(polygons)
    if study.holes:
        region = shapely.difference(region, shapely.union_all([shapely.Polygon(h) for h in study.holes]))
    shapely.prepare(region)
    beyond = ~shapely.dwithin(region, shapely.points(loc), offset)
    rows = np.flatnonzero(beyond)
    if not rows.size:
        return
    x, y = table.xy[rows[0]]
    names = "(" + ", ".join(table.coordinates) + ")" if table.from_columns else "at"
    unit = f" {geography.unit}" if geography.unit else ""
    share = f"all {len(loc):,} points" if rows.size == len(loc) else table.where(rows)
    crs_note = ""
    if chosen.crs is None and geography.crs is not None:
        crs_note = (f"; {chosen} has no CRS, so its coordinates were taken to be in the data's "
                    f"working CRS ({geography.name()}): give the file its CRS")
    raise CommandError(
        f"{path}: {share} lie outside the --region {chosen} and its buffer ({offset:.4g}{unit} "
        f"wide), e.g. {table.where(rows[:1])} {names} = ({x:.10g}, {y:.10g}){crs_note}; the data "
        "must lie in the study region (or within --offset of it)")

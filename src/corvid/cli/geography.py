"""The fit command's geography: the data's CRS and the planar one the mesh works in, the
study region from a GIS file, and the covariate rasters for the maps.

Longitude and latitude are never taken as planar distances: with `--crs` naming a
geographic CRS they are projected (an equal-area projection centred on the data, in km or
m); columns named lon/lat/longitude/latitude without a CRS are refused, saying why.
"""

from __future__ import annotations

import dataclasses
import os
from typing import Any, Dict, List, Optional

import numpy as np

from corvid.cli.errors import CommandError

DEGREE_NAMES = ("lon", "lat", "long", "longitude", "latitude")


@dataclasses.dataclass
class Geography:
    """How the data's coordinates become the mesh's: `projection` (None: as they are),
    the working CRS (None: plain planar coordinates) and its unit for messages."""

    projection: Any = None
    crs: Any = None
    unit: str = ""

    def forward(self, xy: np.ndarray) -> np.ndarray:
        return xy if self.projection is None else self.projection.forward(xy)


def _geo(what: str):
    try:
        import corvid.geo as geo
        geo.Projection  # noqa: B018 - the package imports without its libraries
        import pyproj  # noqa: F401
    except ImportError:
        raise CommandError(f"{what} needs the geo extra: pip install 'corvid[geo]'") from None
    return geo


def working_geography(crs_option: Optional[str], file_crs, xy: np.ndarray,
                      column_names: List[str]) -> Geography:
    """The geography of the data: `--crs` (or the vector file's CRS) projected when it is
    geographic; refuses coordinates named like degrees without a CRS, and warns about
    coordinates that only look like them."""
    given = crs_option if crs_option is not None else file_crs
    if given is None:
        named = [n for n in column_names if str(n).strip().lower() in DEGREE_NAMES]
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
        projection = geo.Projection(source, data=xy if source.is_geographic else None)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    if crs_option is not None and file_crs is not None and geo.as_crs(file_crs) != source:
        raise CommandError(f"--crs {crs_option} differs from the data file's own CRS "
                           f"({geo.as_crs(file_crs).name}): leave --crs out, or reproject the file")
    if source.is_geographic:
        print(f"coordinates: {source.name} (degrees), projected to {projection.target.name}, in "
              f"{projection.unit}")
    return Geography(projection, projection.target, projection.unit)


def _looks_like_degrees(xy: np.ndarray) -> bool:
    return bool(np.all(np.abs(xy[:, 0]) <= 180.0) and np.all(np.abs(xy[:, 1]) <= 90.0))


def covariate_rasters(options: Optional[List[str]], covariates: List[str]) -> Dict[str, str]:
    """{name: path} from `--covariate-raster NAME=PATH` options, checked before any work:
    each name one of --covariates, each file present."""
    rasters: Dict[str, str] = {}
    for option in options or []:
        name, sep, path = option.partition("=")
        name = name.strip()
        if not sep or not name or not path:
            raise CommandError(f"--covariate-raster takes NAME=PATH, got {option!r}")
        if name not in covariates:
            raise CommandError(f"--covariate-raster {name}: {name!r} is not one of --covariates "
                               f"({', '.join(covariates) or 'none given'})")
        if name in rasters:
            raise CommandError(f"--covariate-raster {name} is given twice")
        if not os.path.isfile(path):
            raise CommandError(f"--covariate-raster {name}: no such file: {path}")
        rasters[name] = path
    if rasters:
        _geo("--covariate-raster")
    return rasters


def read_study_region(path: str, geography: Geography, max_edge: float, points: np.ndarray):
    """The study region of a vector file in the working CRS, simplified to max_edge / 4
    without losing a location (corvid.geo.read_region)."""
    from corvid.cli.mesh import small_features_in_command_terms

    geo = _geo("--region")
    try:
        with small_features_in_command_terms(geography.unit, max_edge):
            return geo.read_region(path, geography.crs, max_edge=max_edge, points=points)
    except ValueError as exc:
        raise CommandError(f"--region: {exc}") from None

"""Coordinate reference systems: the map from the data's CRS to the planar one the mesh and
the field model work in, and back.

corvid's meshes and fits take x and y as planar coordinates and distances as Euclidean, so
longitude and latitude must be projected first. `Projection` chooses a projection centred
on the data for a geographic CRS and keeps a projected one as it is. A CRS is anything
`pyproj.CRS.from_user_input` accepts ("EPSG:4326", a WKT or PROJ string, a pyproj or
rasterio CRS object); transformers are built with `always_xy=True`, so x (easting,
longitude) comes first everywhere.
"""

from __future__ import annotations

import math
import re
from typing import Any, Iterable, Optional

import numpy as np

from ._require import require

__all__ = ["Projection", "as_crs", "looks_like_degrees", "crs_unit"]

# Data spanning more than this many metres get the kilometre unit (see Projection).
KM_ABOVE = 50_000.0
_UNITS = {"m": ("metre", 1.0), "km": ("kilometre", 1000.0)}
_SHORT = {"metre": "m", "kilometre": "km"}
_DEGREE_NAMES = re.compile(r"^(lon|lat|longitude|latitude)$", re.IGNORECASE)


def as_crs(value, what: str = "crs"):
    """`value` as a pyproj.CRS (None stays None; a Projection gives its target).

    Raises ValueError naming `what` and the value for anything pyproj does not know.
    """
    if value is None:
        return None
    if isinstance(value, Projection):
        return value.target
    pyproj = require("pyproj", "a coordinate reference system")
    if isinstance(value, pyproj.CRS):
        return value
    try:
        return pyproj.CRS.from_user_input(value)
    except (pyproj.exceptions.CRSError, TypeError, ValueError) as exc:
        reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise ValueError(f"{what} {value!r} is not a coordinate reference system pyproj knows "
                         f"({reason})") from None


def crs_unit(crs) -> str:
    """The unit of a projected CRS's x axis: "m", "km", or PROJ's name for it (e.g.
    "US survey foot"); "degree" for a geographic CRS."""
    if crs.is_geographic:
        return "degree"
    name = crs.axis_info[0].unit_name if crs.axis_info else "metre"
    return _SHORT.get(name, name)


def looks_like_degrees(xy, names: Optional[Iterable[str]] = None) -> bool:
    """Whether coordinates look like longitude and latitude rather than planar x and y.

    True when a column name is lon, lat, longitude or latitude (any case), or when there
    is at least one finite point and every finite point has |x| <= 180 and |y| <= 90.
    Planar data in small units (a unit square, kilometres of a small study area) look
    like degrees too: this is a reason to warn or ask, never proof.
    """
    if names is not None and any(_DEGREE_NAMES.match(str(n).strip()) for n in names):
        return True
    a = np.asarray(xy, dtype=np.float64).reshape(-1, 2)
    a = a[np.isfinite(a).all(axis=1)]
    return bool(a.size) and bool(np.all(np.abs(a[:, 0]) <= 180.0) and np.all(np.abs(a[:, 1]) <= 90.0))


class Projection:
    """Maps points from the data's CRS (`source`) to a planar CRS (`target`) and back.

    Projection(source, target=None, *, data=None, centre=None, unit=None)

    source: the data's CRS.
    target: a projected CRS to use as it is, with its own units. None chooses:
        - for a projected `source`: the source itself (forward and inverse copy the points);
        - for a geographic `source`: the Lambert azimuthal equal-area projection on the
          source's datum, centred at `centre` (lon, lat) or at the centre of `data` (the
          mean direction of its points on the sphere, which also works across the 180th
          meridian). Areas are exact; distances within 500 km of the centre are off by at
          most about 0.2% (the scale error grows as the square of the distance).
    unit: "m" or "km", the target's unit when corvid chooses it or when it re-expresses a
        projected source in another unit. None: km when `data` span more than 50 km in the
        projection (or when only a centre is given), else m. Field ranges, mesh edges and
        priors are then in that unit: `unit` says which.
    data: (k, 2) points in the source CRS that the projection must serve.

    Attributes: `source` and `target` (pyproj.CRS), `unit` ("m", "km", or PROJ's name of
    the target's unit). `forward(xy)` and `inverse(xy)` map (..., 2) arrays; points the
    transformation cannot map come out as NaN. A Projection pickles (transformers are made
    again where it is unpickled).

    Raises ValueError for a CRS pyproj does not know, a target that is not projected, a
    source that is neither geographic nor projected, a geographic source with neither
    `data` nor `centre`, data farther than 90 degrees from the centre, or an unknown unit.
    """

    def __init__(self, source, target=None, *, data=None, centre=None, unit: Optional[str] = None) -> None:
        require("pyproj", "Projection")
        source = as_crs(source, "source")
        if unit is not None and unit not in _UNITS:
            raise ValueError(f"unit must be 'm' or 'km', got {unit!r}")
        if target is not None:
            if unit is not None:
                raise ValueError("unit applies to a target corvid chooses; a named target keeps its own units")
            target = as_crs(target, "target")
            if not target.is_projected:
                raise ValueError(f"target must be a projected CRS, got {target.name!r}")
        elif source.is_projected:
            target = source if unit is None else _with_unit(source, unit)
        elif source.is_geographic:
            target = self._centred(source, data, centre, unit)
        else:
            raise ValueError(f"source {source.name!r} is neither a geographic nor a projected CRS")
        self.source = source
        self.target = target
        self.unit = crs_unit(target)
        self._identity = bool(source == target)
        self._transformers: Optional[tuple[Any, Any]] = None

    @staticmethod
    def _centred(source, data, centre, unit: Optional[str]):
        from pyproj.crs import ProjectedCRS
        from pyproj.crs.coordinate_operation import LambertAzimuthalEqualAreaConversion

        lonlat = None if data is None else _points(data, "data")
        if centre is not None:
            lon0, lat0 = (float(c) for c in np.asarray(centre, dtype=np.float64).reshape(2))
            if not (math.isfinite(lon0) and abs(lat0) <= 90.0):
                raise ValueError(f"centre must be (longitude, latitude) in degrees, got {centre!r}")
        elif lonlat is not None and len(lonlat):
            lon0, lat0 = _mean_direction(lonlat)
        else:
            raise ValueError(f"source {source.name!r} is geographic: give data= (the points, to "
                             "centre the projection on) or centre=(lon, lat), or name a projected target")
        if lonlat is not None and len(lonlat):
            farthest = float(np.max(_angle(lonlat, lon0, lat0)))
            if farthest > 90.0:
                raise ValueError(f"data reach {farthest:.0f} degrees from their centre ({lon0:.4g}, "
                                 f"{lat0:.4g}): too far for one planar projection; name a target CRS")
        laea = ProjectedCRS(
            conversion=LambertAzimuthalEqualAreaConversion(latitude_natural_origin=lat0,
                                                           longitude_natural_origin=lon0),
            geodetic_crs=source.geodetic_crs, name=f"corvid LAEA centred at {lon0:.6g}, {lat0:.6g}")
        if unit is None:
            unit = "km"
            if lonlat is not None and len(lonlat):
                xy = np.column_stack(_transformer(source, laea).transform(lonlat[:, 0], lonlat[:, 1]))
                span = float(np.max(np.ptp(xy, axis=0)))
                unit = "km" if span > KM_ABOVE else "m"
        return _with_unit(laea, unit)

    def _pair(self):
        if self._transformers is None:
            self._transformers = (_transformer(self.source, self.target),
                                  _transformer(self.target, self.source))
        return self._transformers

    def forward(self, xy) -> np.ndarray:
        """Points (..., 2) in the source CRS, in the target CRS."""
        return self._apply(xy, 0)

    def inverse(self, xy) -> np.ndarray:
        """Points (..., 2) in the target CRS, in the source CRS."""
        return self._apply(xy, 1)

    def _apply(self, xy, which: int) -> np.ndarray:
        a = np.array(xy, dtype=np.float64)
        if a.ndim == 0 or a.shape[-1] != 2:
            raise ValueError(f"points must have shape (..., 2), got {a.shape}")
        if self._identity:
            return a
        flat = a.reshape(-1, 2)
        x, y = self._pair()[which].transform(flat[:, 0], flat[:, 1], errcheck=False)
        out = np.column_stack([np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)])
        out[~np.isfinite(out)] = np.nan
        return out.reshape(a.shape)

    def __getstate__(self):
        return {"source": self.source, "target": self.target, "unit": self.unit}

    def __setstate__(self, state) -> None:
        self.__dict__.update(state)
        self._identity = bool(self.source == self.target)
        self._transformers = None

    def __repr__(self) -> str:
        return f"Projection({self.source.name!r} -> {self.target.name!r}, unit={self.unit!r})"


def _transformer(source, target):
    pyproj = require("pyproj", "Projection")
    return pyproj.Transformer.from_crs(source, target, always_xy=True)


def _with_unit(crs, unit: str):
    """The projected CRS with both axes in `unit` ("m" or "km")."""
    pyproj = require("pyproj", "Projection")
    name, factor = _UNITS[unit]
    if crs_unit(crs) == unit:
        return crs
    d = crs.to_json_dict()
    d.pop("id", None)  # an authority code would name the CRS in its own unit
    for axis in d["coordinate_system"]["axis"]:
        axis["unit"] = "metre" if unit == "m" else {"type": "LinearUnit", "name": name,
                                                    "conversion_factor": factor}
    d["name"] = f"{d.get('name', 'projected')} ({name})"
    return pyproj.CRS.from_json_dict(d)


def _points(value, name: str) -> np.ndarray:
    try:
        a = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a (k, 2) array of coordinates") from None
    if a.ndim != 2 or a.shape[1] != 2:
        raise ValueError(f"{name} must be a (k, 2) array of coordinates, got shape {a.shape}")
    return a[np.isfinite(a).all(axis=1)]


def _unit_vectors(lonlat: np.ndarray) -> np.ndarray:
    lon, lat = np.radians(lonlat[:, 0]), np.radians(lonlat[:, 1])
    return np.column_stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)])


def _mean_direction(lonlat: np.ndarray) -> tuple[float, float]:
    """The (lon, lat) of the normalised mean of the points' unit vectors on the sphere; for
    data spread evenly around the globe, where that mean vanishes, the bounding box's centre."""
    v = _unit_vectors(lonlat).mean(axis=0)
    norm = float(np.linalg.norm(v))
    if norm < 1e-6:
        return (float(np.mean(lonlat[:, 0])), float(np.mean(lonlat[:, 1])))
    v /= norm
    return float(np.degrees(np.arctan2(v[1], v[0]))), float(np.degrees(np.arcsin(np.clip(v[2], -1, 1))))


def _angle(lonlat: np.ndarray, lon0: float, lat0: float) -> np.ndarray:
    """Angular distance in degrees from (lon0, lat0) to each point."""
    c = _unit_vectors(np.array([[lon0, lat0]]))[0]
    return np.degrees(np.arccos(np.clip(_unit_vectors(lonlat) @ c, -1.0, 1.0)))

"""The layer of a vector file that the fit command reads (its data's points or polygons, the
study region), chosen and checked before any work: a file of several layers needs the
flag that names one, and the message lists them with their geometries."""

from __future__ import annotations

import dataclasses
import os
from typing import Any, List, Optional

from corvid.cli.errors import CommandError, first_line


@dataclasses.dataclass(frozen=True)
class VectorLayer:
    """One layer of a vector file: its name, its geometry type as GDAL reports it
    ("Point", "MultiPolygon", ...; None for a table without geometry), its CRS (None
    when the file names none) and its attribute names."""

    path: str
    name: str
    geometry: Optional[str]
    crs: Any
    fields: List[str]
    only: bool  # the file's only layer: messages then name the file alone

    def __str__(self) -> str:
        return self.path if self.only else f"{self.path} (layer {self.name!r})"


def vector_layer(path: str, layer: Optional[str], flag: str, what: str) -> VectorLayer:
    """The layer `layer` of the vector file at `path` (its only one when None). `flag` is
    the option that names a layer (--layer, --region-layer), `what` what the file gives
    (for messages: "the data", "--region")."""
    try:
        import pyogrio
    except ImportError:
        raise CommandError(f"reading {path} needs the geo extra: pip install 'corvid[geo]'") from None
    if os.path.isdir(path) and not path.lower().endswith(".gdb"):
        raise CommandError(f"{what}: {path} is a directory, not a file")
    try:
        found = [(str(name), kind) for name, kind in pyogrio.list_layers(path)]
    except Exception as exc:  # pyogrio's DataSourceError and GDAL's own
        raise CommandError(f"{what}: cannot read {path} as a vector file: {first_line(exc)}") from None
    names = [name for name, _ in found]
    if layer is None and len(found) > 1:
        raise CommandError(f"{what}: {path} has {len(found)} layers ({_listed(found)}): choose "
                           f"one with {flag} NAME")
    if layer is not None and layer not in names:
        raise CommandError(f"{flag} {layer}: {path} has no layer {layer!r} (its layers: "
                           f"{_listed(found)})")
    if not found:
        raise CommandError(f"{what}: {path} has no layers")
    name, geometry = found[0] if layer is None else found[names.index(layer)]
    try:
        info = pyogrio.read_info(path, layer=name)
    except Exception as exc:
        raise CommandError(f"{what}: cannot read {path} as a vector file: {first_line(exc)}") from None
    fields = [str(f) for f in info.get("fields", [])]
    return VectorLayer(path, name, geometry, info.get("crs"), fields, len(found) == 1)


def _listed(found) -> str:
    return ", ".join(f"{name!r} ({kind or 'no geometry'})" for name, kind in found)


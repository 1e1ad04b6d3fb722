"""Whether a mesh is fine enough for the range a fit finds.

The range is not known until the fit. A Matérn field on a mesh whose triangles are not
much smaller than its range is represented coarsely: its posterior sd maps show the mesh's
imprint (small at vertices, larger inside triangles). As a rule of thumb the longest edge
inside the study region should be at most a fifth of the range, and a mesh made for a known
range uses edges of at most range/8.

"The longest edge in the region" has one definition, shared with the mesher: the longest
edge of a triangle that `region_mesh` marks `in_region` (corvid.meshkin.mesh.longest_edges),
which its `max_edge` bounds. So a mesh made with max_edge = range/8 passes the test for
that range.
"""

from __future__ import annotations

import numpy as np

from ..meshkin.mesh import longest_edges

__all__ = ["ResolutionWarning", "RESOLVED_EDGES", "SUGGESTED_EDGES", "longest_region_edge",
           "under_resolved"]

RESOLVED_EDGES = 5.0    # the range should span at least this many of the longest edges
SUGGESTED_EDGES = 8.0   # a mesh made for a known range: edges of at most range / 8


class ResolutionWarning(UserWarning):
    """The fitted range is short for the mesh: the field is under-resolved."""


def longest_region_edge(mesh) -> float:
    """The longest edge of the triangles in the study region (every triangle for a mesh
    without `in_region`): what `region_mesh`'s max_edge bounds."""
    tv = np.asarray(mesh.tv)
    inside = getattr(mesh, "in_region", None)
    if inside is not None and np.any(inside):
        tv = tv[np.asarray(inside)]
    if tv.size == 0:
        return 0.0
    return float(np.max(longest_edges(np.asarray(mesh.loc), tv)))


def under_resolved(mesh, range_estimate: float) -> bool:
    """True when the range is shorter than RESOLVED_EDGES times the longest region edge."""
    edge = longest_region_edge(mesh)
    return bool(np.isfinite(range_estimate) and range_estimate < RESOLVED_EDGES * edge)

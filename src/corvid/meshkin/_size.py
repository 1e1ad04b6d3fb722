"""How many vertices a mesh will have, told before anything is built, and how many the
mesher may make: every refusal for size comes before the work it would spare.

Counts are floats, so that a request for 1e300 vertices is a number to refuse, not an
overflow.
"""

from __future__ import annotations

import dataclasses
import math

from .._memory import available_memory

# Meshes whose edges are all at most max_edge have about 2.2 times the vertices of an
# equilateral tiling of that edge (2.19 to 2.5 measured on squares from 300 to 280,000
# vertices, more on the smaller ones).
FILL = 2.2
PER_AREA = 2.0 / math.sqrt(3.0)  # vertices per unit area of an equilateral tiling of edge 1
# region_mesh's peak memory is about 500 bytes a vertex (Triangle's structures, its output
# and the checks on it; measured at 0.5 and 4.5 million vertices). Twice that leaves room.
BYTES_PER_VERTEX = 1000
# Triangle numbers vertices and triangles with C ints, about two triangles a vertex.
LARGEST_MESH = 2**30


def tiling(area: float, edge: float) -> float:
    """Vertices of a Triangle mesh of `area` with edges about `edge` (inf when that overflows)."""
    if area <= 0.0:
        return 0.0
    if edge <= 0.0:  # an edge that underflowed in the caller's units
        return math.inf
    return FILL * PER_AREA * (area / edge / edge)


def thin_parts(perimeter: float, area: float, min_angle: float) -> float:
    """A lower bound on the vertices of a mesh of a region with this perimeter and area
    whose triangles have every angle of at least `min_angle` degrees.

    A triangle with such angles and an edge of length l has area at least l² tan(a) / 4, so
    boundary edges l_1..l_N cover at least tan(a)/4 sum l_i² >= tan(a)/4 P²/N: N >= tan(a)
    P² / (4 A), and each boundary edge has its own vertex. A disk needs a handful of
    vertices by this; a sliver of width w and length L about L/w, however long max_edge.
    Half of that is claimed, as triangles at input corners sharper than min_angle escape
    the bound.
    """
    if not (area > 0.0 and perimeter > 0.0):
        return 0.0
    bound = 0.5 * math.tan(math.radians(min_angle)) / 4.0 * (perimeter / area) * perimeter
    return bound if math.isfinite(bound) else math.inf


def offset_area_at_least(area: float, width: float) -> float:
    """A lower bound on the area that a rounded offset by `width` adds to a set of `area`.

    Brunn-Minkowski: area(K + disk) >= (sqrt(area K) + sqrt(area disk))^2 for any compact K.
    The buffer's outline is a polygon inside the rounded one (arcs in chords of at most
    45 degrees, then simplified by 2% of the width): it holds the offset by 0.9 width.
    """
    w = 0.9 * width
    return 2.0 * math.sqrt(math.pi * area) * w + math.pi * w * w


@dataclasses.dataclass(frozen=True)
class Limit:
    """The most vertices the mesher may make, and what sets that number, for messages."""

    count: int
    reason: str  # "max_vertices=1,000" or what else sets the limit

    @classmethod
    def of(cls, max_vertices: int) -> "Limit":
        limit = cls(max_vertices, f"max_vertices={max_vertices:,}")
        memory = available_memory()
        if memory is not None and memory // BYTES_PER_VERTEX < limit.count:
            held = memory // BYTES_PER_VERTEX
            limit = cls(held, f"{held:,} vertices, what the memory this process may still use "
                              f"holds (at about {BYTES_PER_VERTEX} bytes a vertex)")
        if LARGEST_MESH < limit.count:
            limit = cls(LARGEST_MESH, f"{LARGEST_MESH:,} vertices, the most the mesher can number")
        return limit

    def check_input(self, count: int) -> None:
        """Refuse an input that alone leaves the mesher no vertex to add."""
        if count >= self.count:
            raise ValueError(f"the input alone has {count:,} vertices, no fewer than {self.reason}")

    def check(self, estimate: float, thin: bool = False) -> None:
        """Refuse a mesh estimated at more vertices than the limit; `thin` when the count
        comes from parts of the region thinner than max_edge, which a longer one won't mend."""
        if estimate <= self.count:
            return
        more = " or a larger max_vertices" if self.reason.startswith("max_vertices") else ""
        advice = f"use a longer max_edge{more}"
        if thin:
            advice = ("the region has parts far thinner than they are long, which need "
                      "triangles no longer than they are wide: widen or remove them (e.g. "
                      f"simplify the polygon){more}")
        raise ValueError(f"the mesh would have {about(estimate)} vertices, more than "
                         f"{self.reason}: {advice}")


def about(count: float) -> str:
    """'about 1,234' for a count that may be too large for an int."""
    if not math.isfinite(count):
        return "more than 1e308"
    if count >= 1e15:
        return f"about {count:.3g}"
    return f"about {round(count):,}"

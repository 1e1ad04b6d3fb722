/// Whether a mesh's triangles overlap beyond what the neighbour table shows, and which
/// triangle to name when they do.
///
/// Plain C++ over raw arrays; no Python. With the triangles all turned counter-clockwise,
/// the number of triangles over a point is the winding number of the boundary edges around
/// it (shared edges cancel), so a sweep over the boundary edges alone decides whether any
/// part of the plane lies in two triangles: cheap on meshes whose boundary is short, and
/// O(n log n) on any mesh. Triangles standing alone (no neighbour, and no other part of the
/// mesh near their box, as a bucket grid of the parts' boxes tells) cannot overlap anything
/// and are left out of the sweep: a soup of separate triangles costs O(n).
#pragma once

#include "locator/kernels/bucket_grid.hpp"
#include "locator/kernels/mesh.hpp"
#include "locator/kernels/predicates.hpp"
#include "locator/kernels/sweep.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace corvid::locator {

namespace detail {

/// True when the first m triangles overlap one another. Cost: a sweep over their boundary.
template <class I>
bool prefix_overlaps(const Mesh<I>& mesh, std::size_t m) {
    const std::vector<SweepEdge> edges = sweep_edges(mesh, m, true);
    return sweep(edges, false, nullptr, 2, 0, [](std::size_t, const SweepHit&) {}).first >= 0;
}

/// Flags for the triangles that stand alone: without a neighbour, and with no other part of
/// the mesh (a set of triangles joined by edges) whose bounding box meets theirs. Empty when
/// there are none, or when the parts' boxes crowd a bucket grid too much to tell cheaply.
/// Cost: O(n) plus a bucket grid over the parts' boxes.
template <class I>
std::vector<char> standing_alone(const Mesh<I>& mesh) {
    const std::size_t m = mesh.n_triangles;
    // The parts, by union-find over the neighbour table.
    std::vector<std::uint32_t> parent(m);
    for (std::size_t t = 0; t < m; ++t) parent[t] = static_cast<std::uint32_t>(t);
    auto root = [&](std::uint32_t t) {
        while (parent[t] != t) t = parent[t] = parent[parent[t]];
        return t;
    };
    std::size_t alone = 0;
    for (std::size_t t = 0; t < m; ++t) {
        bool joined = false;
        for (int k = 0; k < 3; ++k) {
            const std::int64_t other = mesh.neighbors[3 * t + k];
            if (other < 0) continue;
            joined = true;
            const std::uint32_t a = root(static_cast<std::uint32_t>(t)), b = root(static_cast<std::uint32_t>(other));
            if (a != b) parent[std::max(a, b)] = std::min(a, b);
        }
        alone += !joined;
    }
    if (alone < 64) return {};
    std::vector<std::uint32_t> part(m), first_of(m, UINT32_MAX);
    std::vector<Box> boxes;
    for (std::size_t t = 0; t < m; ++t) {
        const std::uint32_t r = root(static_cast<std::uint32_t>(t));
        if (first_of[r] == UINT32_MAX) {
            first_of[r] = static_cast<std::uint32_t>(boxes.size());
            const double* a = mesh.corner(t, 0);
            boxes.push_back({a[0], a[1], a[0], a[1]});
        }
        part[t] = first_of[r];
        Box& b = boxes[part[t]];
        for (int k = 0; k < 3; ++k) {
            const double* c = mesh.corner(t, k);
            b = {std::min(b.xlo, c[0]), std::min(b.ylo, c[1]), std::max(b.xhi, c[0]), std::max(b.yhi, c[1])};
        }
    }
    const BucketGrid grid(boxes.data(), boxes.size());
    if (grid.crowding() > 16.0) return {};
    std::vector<char> flags(m, 0);
    for (std::size_t t = 0; t < m; ++t) {
        const std::size_t k = 3 * t;
        if (mesh.neighbors[k] >= 0 || mesh.neighbors[k + 1] >= 0 || mesh.neighbors[k + 2] >= 0) continue;
        const Box& b = boxes[part[t]];
        // A square around the box's centre that holds it: boxes it meets may meet the box.
        const double cx = 0.5 * (b.xlo + b.xhi), cy = 0.5 * (b.ylo + b.yhi);
        const double pad = std::max(b.xhi - cx, b.yhi - cy) * (1.0 + 0x1p-40);
        bool near = false;
        grid.for_each_near(cx, cy, pad, [&](std::uint32_t i) {
            if (i == part[t] || near) return;
            const Box& o = boxes[i];
            near = !(o.xlo > b.xhi || o.xhi < b.xlo || o.ylo > b.yhi || o.yhi < b.ylo);
        });
        flags[t] = !near;
    }
    return flags;
}

/// True when p lies strictly inside triangle t (not on its edges).
template <class I>
bool strictly_inside(const Mesh<I>& mesh, std::size_t t, const double* p) {
    const double s = mesh.area2[t];
    const double *a = mesh.corner(t, 0), *b = mesh.corner(t, 1), *c = mesh.corner(t, 2);
    for (double o : {orient2d(p, b, c), orient2d(a, p, c), orient2d(a, b, p)})
        if (!(s > 0.0 ? o > 0.0 : o < 0.0)) return false;
    return true;
}

}  // namespace detail

/// The overlap of the mesh's triangles to report, if any, once the neighbour table has shown
/// none (no edge of three triangles, no fold): the lowest-index triangle that holds a mesh
/// vertex strictly inside (not on an edge) without having it as a corner, with the vertex
/// of lowest index (vertex_inside); else, if the triangles overlap all the same (edges that
/// cross, a triangle inside another with its corners on the other's edges), the first
/// triangle that overlaps one of lower index, and that one (overlap; `other` is -1 where the
/// second could not be told).
///
///   mesh - complete, with neighbours and areas; none flat
/// Throws std::length_error for 2^32 vertices or more. Cost: one sweep over the boundary
/// edges (of triangles not standing alone), O(b log b) for b of them, when nothing overlaps;
/// when something does, O(n log^2 n) in all to find what to report. Memory: about 140 bytes
/// per boundary edge swept (at most 3 per triangle), 4 + 12 per triangle for finding those
/// standing alone, and when something overlaps about 200 per triangle.
template <class I>
MeshDefect find_overlap(const Mesh<I>& mesh) {
    if (mesh.n_vertices > UINT32_MAX) throw std::length_error("too many vertices");
    const std::size_t m = mesh.n_triangles;
    const std::vector<char> alone = detail::standing_alone(mesh);
    const std::vector<SweepEdge> boundary = sweep_edges(mesh, m, true, alone.empty() ? nullptr : alone.data());
    if (sweep(boundary, false, nullptr, 2, 0, [](std::size_t, const SweepHit&) {}).first < 0) return {};

    // The longest run of triangles from the first that do not overlap: the first `clear`.
    std::size_t clear = 1, overlapping = m;
    while (overlapping - clear > 1) {
        const std::size_t mid = clear + (overlapping - clear) / 2;
        (detail::prefix_overlaps(mesh, mid) ? overlapping : clear) = mid;
    }

    // Any vertex inside one of those: each is inside one at most, found by sweeping them.
    std::vector<char> used(mesh.n_vertices, 0);
    for (std::size_t i = 0; i < 3 * m; ++i) used[static_cast<std::size_t>(mesh.triangles[i])] = 1;
    std::vector<std::uint32_t> vertex;
    for (std::size_t v = 0; v < mesh.n_vertices; ++v)
        if (used[v]) vertex.push_back(static_cast<std::uint32_t>(v));
    std::vector<double> at(2 * vertex.size());
    for (std::size_t i = 0; i < vertex.size(); ++i) {
        at[2 * i] = mesh.xy[2 * std::size_t{vertex[i]}];
        at[2 * i + 1] = mesh.xy[2 * std::size_t{vertex[i]} + 1];
    }
    MeshDefect d;
    auto note = [&](std::int64_t t, std::int64_t v) {
        if (d.kind == MeshDefect::none || t < d.triangle || (t == d.triangle && v < d.u))
            d = {MeshDefect::vertex_inside, t, -1, -1, v, -1};
    };
    sweep(sweep_edges(mesh, clear, false), true, at.data(), 2, vertex.size(),
          [&](std::size_t i, const SweepHit& h) {
              if (h.inside >= 0) note(h.inside, vertex[i]);
          });
    if (d.kind != MeshDefect::none) return d;

    // Else the triangle that overlaps the ones before it, if a vertex lies inside it ...
    for (std::uint32_t v : vertex)
        if (detail::strictly_inside(mesh, clear, mesh.xy + 2 * std::size_t{v})) {
            note(static_cast<std::int64_t>(clear), v);
            return d;
        }
    // ... or without one: the triangle the sweep finds it overlapping.
    const SweepOverlap o = sweep(sweep_edges(mesh, clear + 1, false), true, nullptr, 2, 0,
                                 [](std::size_t, const SweepHit&) {});
    const auto self = static_cast<std::int64_t>(clear);
    std::int64_t other = o.first == self ? o.second : o.first;
    if (other == self) other = -1;
    return {MeshDefect::overlap, self, other, -1, -1, -1};
}

}  // namespace corvid::locator

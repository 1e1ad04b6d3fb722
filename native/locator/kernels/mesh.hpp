/// A triangle mesh in the plane as arrays: its triangles' doubled areas, the neighbour table
/// and the checks that the triangles do not overlap.
///
/// Plain C++ over raw arrays; no Python. Index type I is std::int32_t or std::int64_t.
#pragma once

#include "locator/kernels/predicates.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvid::locator {

/// A triangulated region of the plane, as the locator reads it.
///
///   const double xy[2 * n_vertices]          - vertex j at (xy[2j], xy[2j + 1])
///   const I triangles[3 * n_triangles]       - corners of triangle t, indices into xy
///   const I neighbors[3 * n_triangles]       - neighbors[3t + k]: the triangle across the
///                                              edge opposite corner k of t, -1 on the boundary
///                                              (the convention of scipy's Delaunay.neighbors)
///   const double area2[n_triangles]          - doubled_areas(): orient2d of t's corners
/// Triangles may turn either way; none may be flat. The arrays must stay unchanged while used.
template <class I>
struct Mesh {
    const double* xy;
    std::size_t n_vertices;
    const I* triangles;
    const I* neighbors;
    const double* area2;
    std::size_t n_triangles;

    const double* corner(std::size_t t, int k) const { return xy + 2 * triangles[3 * t + k]; }
};

/// Index of the first triangle with a corner outside 0 .. n_vertices - 1, or n_triangles.
///
///   const I triangles[3 * n_triangles]
/// Cost: O(n_triangles).
template <class I>
std::size_t first_bad_corner(const I* triangles, std::size_t n_triangles, std::size_t n_vertices) {
    for (std::size_t t = 0; t < n_triangles; ++t)
        for (int k = 0; k < 3; ++k) {
            I v = triangles[3 * t + k];
            if (v < 0 || static_cast<std::uint64_t>(v) >= n_vertices) return t;
        }
    return n_triangles;
}

/// Twice the signed area of every triangle, orient2d(corner 0, corner 1, corner 2), with an
/// exact sign and a relative error of at most kWeightTolerance: the denominator of the
/// barycentric weights. Zero exactly when the corners are collinear.
///
///   const double xy[2 n], const I triangles[3 * n_triangles] - corners in range
///   double area2[n_triangles]                                - output
/// Cost: O(n_triangles); the exact computation only for thin triangles.
template <class I>
void doubled_areas(const double* xy, const I* triangles, std::size_t n_triangles,
                   double* area2) {
    for (std::size_t t = 0; t < n_triangles; ++t) {
        const I* c = triangles + 3 * t;
        area2[t] = orient2d_accurate(xy + 2 * c[0], xy + 2 * c[1], xy + 2 * c[2]);
    }
}

/// What makes a mesh unfit for point location, and where.
struct MeshDefect {
    enum Kind { none, flat, too_small, shared_edge, fold, vertex_inside, overlap } kind = none;
    std::int64_t triangle = -1;  ///< the triangle named first
    std::int64_t other = -1;     ///< a triangle it overlaps (overlap: -1 when not told)
    std::int64_t third = -1;     ///< shared_edge: a second triangle it overlaps
    std::int64_t u = -1, v = -1; ///< shared_edge, fold: the edge; vertex_inside: u the vertex
};

/// Fills the neighbour table and reports the first overlap it shows: an edge of three or
/// more triangles (the third of them in index order is named), or two triangles on the
/// same side of their shared edge, a fold (the later one is named). Of several, the lowest
/// named triangle is reported, edges of three triangles before folds.
///
///   const I triangles[3 * n_triangles] - corners in 0 .. n_vertices - 1
///   const double area2[n_triangles]    - from doubled_areas, none zero
///   I neighbors[3 * n_triangles]       - output, as in Mesh; -1 across an edge of three
/// Throws std::length_error when 3 n_triangles exceeds the range of I's unsigned twin.
/// Cost: O(n_triangles log d), d the largest vertex degree; 2 sizeof(I) bytes per triangle
/// corner of scratch memory.
template <class I>
MeshDefect build_neighbors(const I* triangles, std::size_t n_triangles, std::size_t n_vertices,
                           const double* area2, I* neighbors) {
    using Slot = std::make_unsigned_t<I>;
    struct HalfEdge {
        I far;      // the edge's larger vertex
        Slot slot;  // 3t + k: the edge opposite corner k of triangle t
    };
    const std::size_t n_slots = 3 * n_triangles;
    if (n_slots > std::numeric_limits<Slot>::max())
        throw std::length_error("too many triangles for their index type");
    // Counting sort of the edges by their smaller vertex, then each vertex's few by the
    // larger vertex and slot: equal edges end up side by side, in triangle order.
    std::vector<Slot> start(n_vertices + 1, 0);
    auto ends = [&](std::size_t slot) {
        std::size_t t = slot / 3;
        int k = static_cast<int>(slot % 3);
        I a = triangles[3 * t + (k + 1) % 3], b = triangles[3 * t + (k + 2) % 3];
        return a < b ? std::pair<I, I>{a, b} : std::pair<I, I>{b, a};
    };
    for (std::size_t s = 0; s < n_slots; ++s) ++start[static_cast<std::size_t>(ends(s).first) + 1];
    for (std::size_t v = 0; v < n_vertices; ++v) start[v + 1] += start[v];
    std::vector<HalfEdge> edges(n_slots);
    {
        std::vector<Slot> at(start.begin(), start.end() - 1);
        for (std::size_t s = 0; s < n_slots; ++s) {
            auto [near, far] = ends(s);
            edges[at[static_cast<std::size_t>(near)]++] = {far, static_cast<Slot>(s)};
        }
    }
    for (std::size_t v = 0; v < n_vertices; ++v)
        std::sort(edges.begin() + static_cast<std::ptrdiff_t>(start[v]),
                  edges.begin() + static_cast<std::ptrdiff_t>(start[v + 1]),
                  [](const HalfEdge& x, const HalfEdge& y) {
                      return x.far != y.far ? x.far < y.far : x.slot < y.slot;
                  });

    std::fill(neighbors, neighbors + n_slots, I(-1));
    MeshDefect shared, fold;
    for (std::size_t v = 0; v < n_vertices; ++v) {
        for (std::size_t i = start[v]; i < start[v + 1];) {
            std::size_t j = i + 1;
            while (j < start[v + 1] && edges[j].far == edges[i].far) ++j;
            const std::int64_t s1 = edges[i].slot;
            const std::int64_t t1 = s1 / 3;
            if (j - i >= 3) {
                // Sorted by slot: the first three are the three lowest triangles.
                const std::int64_t t3 = edges[i + 2].slot / 3;
                if (shared.kind == MeshDefect::none || t3 < shared.triangle)
                    shared = {MeshDefect::shared_edge, t3, t1,
                              static_cast<std::int64_t>(edges[i + 1].slot / 3),
                              static_cast<std::int64_t>(v), edges[i].far};
            } else if (j - i == 2) {
                const std::int64_t s2 = edges[i + 1].slot, t2 = s2 / 3;
                neighbors[s1] = static_cast<I>(t2);
                neighbors[s2] = static_cast<I>(t1);
                // The corner opposite an edge lies on the side of the edge, as it runs in its
                // triangle, that the triangle's orientation says; a fold puts both corners on
                // the same side.
                bool same_direction = triangles[3 * t1 + (s1 % 3 + 1) % 3] ==
                                      triangles[3 * t2 + (s2 % 3 + 1) % 3];
                bool side1 = area2[t1] > 0.0;
                bool side2 = (area2[t2] > 0.0) == same_direction;
                if (side1 == side2 && (fold.kind == MeshDefect::none || t2 < fold.triangle))
                    fold = {MeshDefect::fold, t2, t1, -1, static_cast<std::int64_t>(v),
                            edges[i].far};
            }
            i = j;
        }
    }
    return shared.kind != MeshDefect::none ? shared : fold;
}

}  // namespace corvid::locator

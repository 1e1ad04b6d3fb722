/// The bucket grid over a mesh's triangles, and the overlap check that needs it.
///
/// Plain C++ over raw arrays; no Python.
#pragma once

#include "locator/kernels/bucket_grid.hpp"
#include "locator/kernels/mesh.hpp"
#include "locator/kernels/point_order.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace corvid::locator {

/// The bucket grid over the triangles' bounding boxes: box t is triangle t's.
///
///   const double xy[2 n], const I triangles[3 * n_triangles] - corners in range, finite
/// Cost: O(n_triangles); about 70 bytes per triangle.
template <class I>
BucketGrid triangle_grid(const double* xy, const I* triangles, std::size_t n_triangles) {
    std::vector<Box> boxes(n_triangles);
    for (std::size_t t = 0; t < n_triangles; ++t) {
        const double* a = xy + 2 * triangles[3 * t];
        const double* b = xy + 2 * triangles[3 * t + 1];
        const double* c = xy + 2 * triangles[3 * t + 2];
        boxes[t] = {std::min({a[0], b[0], c[0]}), std::min({a[1], b[1], c[1]}),
                    std::max({a[0], b[0], c[0]}), std::max({a[1], b[1], c[1]})};
    }
    return BucketGrid(boxes.data(), n_triangles);
}

/// True when p lies in triangle t, its edges and corners included (exact).
template <class I>
bool holds(const Mesh<I>& mesh, std::size_t t, const double* p) {
    const double s = mesh.area2[t];
    if (s == 0.0) return false;
    const double *a = mesh.corner(t, 0), *b = mesh.corner(t, 1), *c = mesh.corner(t, 2);
    for (double o : {orient2d(p, b, c), orient2d(a, p, c), orient2d(a, b, p)})
        if (s > 0.0 ? o < 0.0 : o > 0.0) return false;
    return true;
}

/// The lowest-index triangle that holds a vertex of the mesh strictly inside (not on an edge)
/// without having it as a corner: an overlap that edges alone do not show. Reports the vertex
/// of lowest index for that triangle. Vertices of no triangle are not part of the mesh.
///
///   mesh - with area2 (neighbors are not read); grid - triangle_grid of the same mesh
/// Throws std::length_error for 2^32 vertices or more. Cost: O(n_vertices) times the
/// triangles listed in a vertex's cell, plus a Hilbert sort of the vertices.
template <class I>
MeshDefect find_vertex_inside(const Mesh<I>& mesh, const BucketGrid& grid) {
    if (mesh.n_vertices > UINT32_MAX) throw std::length_error("too many vertices");
    MeshDefect d;
    std::vector<char> used(mesh.n_vertices, 0);
    for (std::size_t i = 0; i < 3 * mesh.n_triangles; ++i) used[mesh.triangles[i]] = 1;
    // In Hilbert order, consecutive vertices share grid cells and triangles in the cache.
    std::vector<std::uint32_t> order(mesh.n_vertices);
    const Box& b = grid.bounds();
    hilbert_sort(mesh.xy, 2, mesh.n_vertices, b.xlo, b.ylo, b.xhi, b.yhi,
                 order_bits_for(mesh.n_vertices, mesh.n_triangles), order.data());
    for (std::uint32_t v : order) {
        if (!used[v]) continue;
        const double* p = mesh.xy + 2 * std::size_t{v};
        grid.for_each_near(p[0], p[1], 0.0, [&](std::uint32_t t) {
            const auto l = static_cast<std::int64_t>(t);
            if (d.kind != MeshDefect::none &&
                (l > d.triangle || (l == d.triangle && static_cast<std::int64_t>(v) >= d.u)))
                return;
            const I* c = mesh.triangles + 3 * std::size_t{t};
            if (c[0] == I(v) || c[1] == I(v) || c[2] == I(v)) return;
            const double s = mesh.area2[t];
            const double *a = mesh.xy + 2 * c[0], *b = mesh.xy + 2 * c[1], *e = mesh.xy + 2 * c[2];
            for (double o : {orient2d(p, b, e), orient2d(a, p, e), orient2d(a, b, p)})
                if (!(s > 0.0 ? o > 0.0 : o < 0.0)) return;
            d = {MeshDefect::vertex_inside, l, -1, -1, static_cast<std::int64_t>(v), -1};
        });
    }
    return d;
}

}  // namespace corvid::locator

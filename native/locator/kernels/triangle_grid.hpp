/// The bucket grid over a mesh's triangles.
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

}  // namespace corvid::locator

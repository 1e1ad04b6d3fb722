/// Barycentric weights of a point in a triangle, and the nearest vertex of a point set.
///
/// Plain C++ over coordinates; no Python. The weight arithmetic is the one place where the
/// weights are computed, so single calls and whole projector matrices agree bitwise.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace corvid::gfield::projector {

/// The five dot products of the weight formula, for edges e1 = v1 - v0, e2 = v2 - v0 and
/// the offset p = point - v0.
struct EdgeDots {
    double d00;  ///< e1 . e1
    double d01;  ///< e1 . e2
    double d11;  ///< e2 . e2
    double d20;  ///< p . e1
    double d21;  ///< p . e2
};

/// Weights below this magnitude are dropped from a projector row.
inline constexpr double kNegligibleWeight = 1e-12;

/// Weights (w0, w1, w2) of v0, v1, v2 from the edge dot products.
///
/// A triangle is degenerate when denom = d00 d11 - d01^2 (the squared doubled area) is at most
/// 1e-12 d00 d11: relative to the edge lengths, so the test is the same in any coordinate
/// units. Degenerate triangles (flat, or with a zero-length edge) give 1/3 to each vertex.
inline std::array<double, 3> weights_from_dots(const EdgeDots& d) {
    double denom = d.d00 * d.d11 - d.d01 * d.d01;
    if (std::fabs(denom) <= 1e-12 * d.d00 * d.d11) {
        constexpr double third = 1.0 / 3.0;
        return {third, third, third};
    }
    double w1 = (d.d11 * d.d20 - d.d01 * d.d21) / denom;
    double w2 = (d.d00 * d.d21 - d.d01 * d.d20) / denom;
    double w0 = 1.0 - w1 - w2;
    return {w0, w1, w2};
}

/// Dot products for coordinate vectors of length `dim` (summed in index order).
inline EdgeDots edge_dots(const double* point, const double* v0, const double* v1,
                          const double* v2, std::size_t dim) {
    EdgeDots d{0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < dim; ++k) {
        double e1 = v1[k] - v0[k];
        double e2 = v2[k] - v0[k];
        double p = point[k] - v0[k];
        if (k == 0) {
            d = {e1 * e1, e1 * e2, e2 * e2, p * e1, p * e2};
        } else {
            d.d00 = d.d00 + e1 * e1;
            d.d01 = d.d01 + e1 * e2;
            d.d11 = d.d11 + e2 * e2;
            d.d20 = d.d20 + p * e1;
            d.d21 = d.d21 + p * e2;
        }
    }
    return d;
}

/// Weights of a point in a triangle of the plane.
inline std::array<double, 3> barycentric_2d(const double point[2], const double v0[2],
                                            const double v1[2], const double v2[2]) {
    return weights_from_dots(edge_dots(point, v0, v1, v2, 2));
}

/// Index of the vertex nearest to (px, py) by squared distance in the plane; the lowest index
/// among equal distances. Like numpy.argmin, a NaN distance counts as the minimum.
///
///   const double* xy    - vertex coordinates, vertex j at xy[j * row_stride], xy[... + 1]
///   std::size_t n       - number of vertices (n > 0)
/// Cost: O(n).
inline std::size_t nearest_vertex(const double* xy, std::size_t row_stride, std::size_t n,
                                  double px, double py) {
    std::size_t best = 0;
    double best_dist = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        double dx = xy[j * row_stride] - px;
        double dy = xy[j * row_stride + 1] - py;
        double dist = dx * dx + dy * dy;
        if (std::isnan(dist)) return j;
        if (j == 0 || dist < best_dist) {
            best = j;
            best_dist = dist;
        }
    }
    return best;
}

}  // namespace corvid::gfield::projector

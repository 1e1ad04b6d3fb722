/// Rows of the projector matrix: points located in the Delaunay triangulation of the mesh
/// vertices, weighted by the documented barycentric formula.
///
/// Plain C++ over raw arrays; no Python. Points are found by the locator's walk, whose exact
/// orientation tests place every point of a triangle in it. SciPy's find_simplex, which
/// fixes the triangles of this matrix, also takes points a hair outside the hull (within its
/// tolerance on barycentric coordinates) and sends points of a triangle it cannot invert (a
/// sliver) to a neighbour; both are reproduced here. On an edge or a vertex shared by several
/// triangles any of them may serve: their weights agree up to rounding.
#pragma once

#include "gfield/projector/kernels/barycentric.hpp"
#include "locator/kernels/locate.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

namespace corvid::gfield::projector {

/// find_simplex's tolerance on barycentric coordinates, and its wider one towards a sliver.
inline constexpr double kSimplexEps = 100 * std::numeric_limits<double>::epsilon();
inline const double kSimplexEpsBroad = std::sqrt(kSimplexEps);

/// SciPy's barycentric transform of a triangle (a, b, c): coordinates relative to corner c,
/// marked singular, as SciPy marks it, when its reciprocal condition number in the 1-norm is
/// below 1000 eps.
struct Transform {
    double inv[2][2] = {{0.0, 0.0}, {0.0, 0.0}};
    double r[2] = {0.0, 0.0};
    bool valid = false;

    static Transform of(const double* a, const double* b, const double* c) {
        Transform t;
        const double m00 = a[0] - c[0], m01 = b[0] - c[0], m10 = a[1] - c[1], m11 = b[1] - c[1];
        const double det = m00 * m11 - m01 * m10;
        if (!(det != 0.0) || !std::isfinite(det)) return t;
        t.inv[0][0] = m11 / det;
        t.inv[0][1] = -m01 / det;
        t.inv[1][0] = -m10 / det;
        t.inv[1][1] = m00 / det;
        const double norm = std::max(std::fabs(m00) + std::fabs(m10), std::fabs(m01) + std::fabs(m11));
        const double inv_norm = std::max(std::fabs(t.inv[0][0]) + std::fabs(t.inv[1][0]),
                                         std::fabs(t.inv[0][1]) + std::fabs(t.inv[1][1]));
        t.valid = 1.0 / (norm * inv_norm) >= 1000.0 * std::numeric_limits<double>::epsilon();
        t.r[0] = c[0];
        t.r[1] = c[1];
        return t;
    }

    /// The three coordinates of p, the last one as 1 minus the others.
    void coordinates(const double* p, double c[3]) const {
        const double dx = p[0] - r[0], dy = p[1] - r[1];
        c[0] = inv[0][0] * dx + inv[0][1] * dy;
        c[1] = inv[1][0] * dx + inv[1][1] * dy;
        c[2] = 1.0 - c[0] - c[1];
    }
};

/// Where find_simplex puts a point, given the triangle that holds it exactly.
///
///   mesh, grid - the triangulation as the locator reads it (SciPy's simplices and
///                neighbours, doubled areas) and its bucket grid
/// Cost: one transform per triangle at construction; per point O(1), plus a bucket-grid
/// look-up for a point the walk found in no triangle.
template <class I>
class SimplexPlacement {
public:
    SimplexPlacement(const locator::Mesh<I>& mesh, const locator::BucketGrid& grid)
        : mesh_(mesh), grid_(grid), transforms_(mesh.n_triangles), valid_(mesh.n_triangles) {
        for (std::size_t t = 0; t < mesh.n_triangles; ++t) {
            transforms_[t] = Transform::of(mesh.corner(t, 0), mesh.corner(t, 1), mesh.corner(t, 2));
            valid_[t] = transforms_[t].valid;
        }
        const locator::Box& b = grid.bounds();
        lo_[0] = b.xlo;
        lo_[1] = b.ylo;
        hi_[0] = b.xhi;
        hi_[1] = b.yhi;
        // Within the tolerance a point lies at most eps times a triangle's extent outside it.
        pad_ = 4.0 * kSimplexEps * std::max(b.xhi - b.xlo, b.yhi - b.ylo);
    }

    /// True when the points the walk places in triangle t stay there.
    bool keeps(std::size_t t) const { return valid_[t] != 0; }

    /// The triangle for point p, which the walk placed in `t` (-1: in none).
    std::int64_t place(std::int64_t t, const double* p) const {
        if (t >= 0) return valid_[t] ? t : beside_sliver(t, p);
        for (int k = 0; k < 2; ++k)
            if (!(p[k] >= lo_[k] - kSimplexEps && p[k] <= hi_[k] + kSimplexEps)) return -1;
        std::int64_t found = -1;
        grid_.for_each_near(p[0], p[1], pad_, [&](std::uint32_t candidate) {
            if ((found < 0 || candidate < found) && within(candidate, p, -1)) found = candidate;
        });
        return found;
    }

private:
    /// True when p's coordinates in triangle t lie in [-eps, 1 + eps], with -eps_broad
    /// allowed towards triangle `towards`.
    bool within(std::size_t t, const double* p, std::int64_t towards) const {
        const Transform& tr = transforms_[t];
        if (!tr.valid) return false;
        double c[3];
        tr.coordinates(p, c);
        for (int k = 0; k < 3; ++k) {
            const bool broad = towards >= 0 && mesh_.neighbors[3 * t + k] == towards;
            if (!((broad ? -kSimplexEpsBroad : -kSimplexEps) <= c[k] && c[k] <= 1.0 + kSimplexEps))
                return false;
        }
        return true;
    }

    /// A neighbour of sliver t that holds p within the wider tolerance, else t itself.
    std::int64_t beside_sliver(std::int64_t t, const double* p) const {
        for (int k = 0; k < 3; ++k) {
            const std::int64_t n = mesh_.neighbors[3 * t + k];
            if (n >= 0 && within(static_cast<std::size_t>(n), p, t)) return n;
        }
        return t;
    }

    const locator::Mesh<I>& mesh_;
    const locator::BucketGrid& grid_;
    std::vector<Transform> transforms_;
    std::vector<std::uint8_t> valid_;  ///< transforms_[t].valid, compact for the per-point test
    double lo_[2], hi_[2], pad_;
};

/// What a projector row needs of a triangle, in one cache line: its corners' coordinates in
/// the triangulation's order, and its vertices by ascending index (so a row's columns come
/// out in order without comparisons, whose outcomes no branch predictor could guess) with
/// the corner each one is.
template <class I>
struct alignas(64) RowTriangle {
    double corner[3][2];
    I column[3];
    std::uint8_t slot[3];  ///< column[s] is corner slot[s]
    bool invertible;       ///< find_simplex keeps the points the walk places here
};

/// RowTriangle of every triangle of the mesh, as `placement` treats it. Cost: O(n_triangles).
template <class I>
std::vector<RowTriangle<I>> row_triangles(const locator::Mesh<I>& mesh,
                                          const SimplexPlacement<I>& placement) {
    std::vector<RowTriangle<I>> rows(mesh.n_triangles);
    for (std::size_t t = 0; t < mesh.n_triangles; ++t) {
        RowTriangle<I>& r = rows[t];
        const I* v = mesh.triangles + 3 * t;
        std::uint8_t order[3] = {0, 1, 2};
        std::sort(order, order + 3, [v](std::uint8_t x, std::uint8_t y) { return v[x] < v[y]; });
        for (int c = 0; c < 3; ++c) {
            r.corner[c][0] = mesh.corner(t, c)[0];
            r.corner[c][1] = mesh.corner(t, c)[1];
            r.slot[c] = order[c];
            r.column[c] = v[order[c]];
        }
        r.invertible = placement.keeps(t);
    }
    return rows;
}

/// The projector rows of k points as CSR arrays.
///
///   mesh, grid                  - as for SimplexPlacement
///   const double xy[k * stride] - point i at (xy[i * stride], xy[i * stride + 1])
///   n_columns                   - the matrix's columns; a vertex at or beyond it throws
///                                 std::out_of_range ("column index exceeds matrix dimensions")
///   J indptr[k + 1]             - output
///   J indices[3k], double data[3k] - output: the first indptr[k] entries, columns ascending
///                                  in each row, weights of magnitude above 1e-12
/// Returns indptr[k]. Points already in an order a walk can follow (the rows of a lattice) are
/// visited as given, others along a Hilbert curve. The walk only notes each point's triangle; one pass in
/// row order then places the points as find_simplex would and writes the rows, so the writes
/// all over the output are four bytes a point. Cost: that of locator::locate_points, plus
/// O(k + n_triangles); 4 bytes of scratch per point and 64 per triangle.
template <class I, class J>
std::size_t delaunay_rows(const locator::Mesh<I>& mesh, const locator::BucketGrid& grid,
                          const double* xy, std::size_t stride, std::size_t k,
                          std::int64_t n_columns, J* indptr, J* indices, double* data) {
    // Every entry is written by the walk: no need to clear four bytes a point first.
    std::unique_ptr<std::int32_t[]> triangle_of(new std::int32_t[k]);
    const locator::Box& b = grid.bounds();
    const bool in_order = locator::follows_itself(xy, stride, k, b.xhi - b.xlo, b.yhi - b.ylo, mesh.n_triangles);
    locator::locate_points(mesh, grid, xy, stride, k, [&](std::size_t i, std::int64_t t) {
        triangle_of[i] = static_cast<std::int32_t>(t);
    }, in_order ? locator::Visit::given : locator::Visit::hilbert);
    SimplexPlacement<I> placement(mesh, grid);
    const std::vector<RowTriangle<I>> triangle = row_triangles(mesh, placement);
    std::size_t at = 0;
    indptr[0] = 0;
    // Each row waits on its triangle, which the next rows' do not depend on: fetch theirs
    // ahead of time.
    constexpr std::size_t kAhead = 8;
    for (std::size_t i = 0; i < k; ++i) {
        if (i + kAhead < k && triangle_of[i + kAhead] >= 0)
            __builtin_prefetch(triangle.data() + triangle_of[i + kAhead]);
        // Read once: the caller's memory may change while it is read.
        const double p[2] = {xy[i * stride], xy[i * stride + 1]};
        const std::int32_t found = triangle_of[i];
        const std::int64_t t = found >= 0 && triangle[static_cast<std::size_t>(found)].invertible
                                   ? found
                                   : placement.place(found, p);
        if (t >= 0) {
            const RowTriangle<I>& r = triangle[static_cast<std::size_t>(t)];
            const auto w = barycentric_2d(p, r.corner[0], r.corner[1], r.corner[2]);
            for (int s = 0; s < 3; ++s) {
                const int c = r.slot[s];
                if (!(std::fabs(w[c]) > kNegligibleWeight)) continue;
                if (r.column[s] >= n_columns)
                    throw std::out_of_range("column index exceeds matrix dimensions");
                indices[at] = static_cast<J>(r.column[s]);
                data[at] = w[c];
                ++at;
            }
        }
        indptr[i + 1] = static_cast<J>(at);
    }
    return at;
}

}  // namespace corvid::gfield::projector

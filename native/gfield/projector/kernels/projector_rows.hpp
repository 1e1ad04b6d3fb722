/// Rows of the projector matrix, written straight into CSR arrays.
///
/// Plain C++ over raw arrays; no Python. Two passes over the observations: the first counts
/// the stored weights of every row (row pointers), the second writes column indices and
/// values. Both passes compute the weights with the same arithmetic, so they agree unless the
/// inputs change in between, which the second pass checks.
#pragma once

#include "gfield/projector/kernels/barycentric.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace corvid::gfield::projector {

/// A triangulation of the mesh vertices, as arrays.
///
///   const double  points[n_points * 2]       - vertex j at (points[2j], points[2j + 1])
///   const int64_t simplices[n_simplices * 3] - triangle t has vertices simplices[3t .. 3t + 2]
struct Triangles {
    const double* points;
    std::size_t n_points;
    const std::int64_t* simplices;
    std::size_t n_simplices;
};

/// Observations and the triangle that contains each.
///
///   const double  xy[n * stride]  - observation k at (xy[k * stride], xy[k * stride + 1])
///   const int64_t simplex[n]      - triangle of observation k; negative when it lies in none
struct Located {
    const double* xy;
    std::size_t stride;
    const std::int64_t* simplex;
    std::size_t n;
};

/// The stored entries of one row: at most three, ordered by column.
struct RowEntries {
    std::int64_t column[3];
    double weight[3];
    int count = 0;
};

/// Entries of observation k's row: the weights of its triangle's vertices whose magnitude
/// exceeds 1e-12, unclipped. Throws std::out_of_range for a triangle or vertex index outside
/// the arrays, or a stored column at or beyond `n_columns`.
inline RowEntries row_entries(const Triangles& tri, const Located& obs, std::size_t k,
                              std::int64_t n_columns) {
    RowEntries row;
    std::int64_t s = obs.simplex[k];
    if (s < 0) return row;
    if (static_cast<std::uint64_t>(s) >= tri.n_simplices)
        throw std::out_of_range("point location returned a triangle outside the triangulation");
    // Read once: the bounds checked must be the bounds used.
    const std::int64_t verts[3] = {tri.simplices[3 * s], tri.simplices[3 * s + 1],
                                   tri.simplices[3 * s + 2]};
    for (int c = 0; c < 3; ++c) {
        if (verts[c] < 0 || static_cast<std::uint64_t>(verts[c]) >= tri.n_points)
            throw std::out_of_range("triangulation refers to a vertex it does not have");
    }
    auto w = barycentric_2d(obs.xy + k * obs.stride, tri.points + 2 * verts[0],
                            tri.points + 2 * verts[1], tri.points + 2 * verts[2]);
    for (int c = 0; c < 3; ++c) {
        if (!(std::fabs(w[c]) > kNegligibleWeight)) continue;
        if (verts[c] >= n_columns)
            throw std::out_of_range("column index exceeds matrix dimensions");
        // Insertion keeps the (at most three) entries ordered by column.
        int at = row.count++;
        while (at > 0 && row.column[at - 1] > verts[c]) {
            row.column[at] = row.column[at - 1];
            row.weight[at] = row.weight[at - 1];
            --at;
        }
        row.column[at] = verts[c];
        row.weight[at] = w[c];
    }
    return row;
}

/// First pass: row pointers.
///
///   I indptr[obs.n + 1] - output; indptr[k + 1] - indptr[k] entries in row k
/// Cost: O(obs.n).
template <class I>
void count_rows(const Triangles& tri, const Located& obs, std::int64_t n_columns, I* indptr) {
    I total = 0;
    indptr[0] = 0;
    for (std::size_t k = 0; k < obs.n; ++k) {
        total += static_cast<I>(row_entries(tri, obs, k, n_columns).count);
        indptr[k + 1] = total;
    }
}

/// Second pass: column indices (ordered within each row) and values. Throws
/// std::runtime_error when a row's entries no longer match its count (another thread changed
/// the observations in between), rather than write past the row.
///
///   const I indptr[obs.n + 1]  - from count_rows
///   I       indices[indptr[n]] - output column indices
///   double  data[indptr[n]]    - output weights
/// Cost: O(obs.n).
template <class I>
void fill_rows(const Triangles& tri, const Located& obs, std::int64_t n_columns,
               const I* indptr, I* indices, double* data) {
    for (std::size_t k = 0; k < obs.n; ++k) {
        RowEntries row = row_entries(tri, obs, k, n_columns);
        if (row.count != indptr[k + 1] - indptr[k])
            throw std::runtime_error("observation locations changed while the matrix was built");
        I at = indptr[k];
        for (int c = 0; c < row.count; ++c, ++at) {
            indices[at] = static_cast<I>(row.column[c]);
            data[at] = row.weight[c];
        }
    }
}

}  // namespace corvid::gfield::projector

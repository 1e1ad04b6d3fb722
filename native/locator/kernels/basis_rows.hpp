/// Rows of the P1 basis matrix, written straight into CSR arrays from located points.
///
/// Plain C++ over raw arrays; no Python.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvid::locator {

/// Row pointers: the number of non-zero weights of each located point.
///
///   const int64_t triangle[k] - from locate_points; negative for an empty row
///   const double weights[3 k] - from locate_points
///   J indptr[k + 1]           - output
/// Cost: O(k).
template <class J>
void count_row_entries(const std::int64_t* triangle, const double* weights, std::size_t k,
                       J* indptr) {
    J total = 0;
    indptr[0] = 0;
    for (std::size_t i = 0; i < k; ++i) {
        if (triangle[i] >= 0)
            for (int c = 0; c < 3; ++c) total += weights[3 * i + c] != 0.0;
        indptr[i + 1] = total;
    }
}

/// Column indices (ascending within each row) and values of the non-zero weights.
///
///   const I triangles[3 m]    - the mesh's corners: columns are vertex indices
///   triangle, weights, k      - as for count_row_entries, triangle[i] < m
///   const J indptr[k + 1]     - from count_row_entries on the same arrays
///   J indices[indptr[k]], double data[indptr[k]] - output
/// Cost: O(k).
template <class I, class J>
void fill_row_entries(const I* triangles, const std::int64_t* triangle, const double* weights,
                      std::size_t k, const J* indptr, J* indices, double* data) {
    for (std::size_t i = 0; i < k; ++i) {
        if (triangle[i] < 0) continue;
        const I* corners = triangles + 3 * triangle[i];
        J at = indptr[i], first = at;
        for (int c = 0; c < 3; ++c) {
            const double w = weights[3 * i + c];
            if (w == 0.0) continue;
            // Insertion keeps the (at most three) columns of the row ascending.
            J j = at++;
            while (j > first && indices[j - 1] > static_cast<J>(corners[c])) {
                indices[j] = indices[j - 1];
                data[j] = data[j - 1];
                --j;
            }
            indices[j] = static_cast<J>(corners[c]);
            data[j] = w;
        }
    }
}

}  // namespace corvid::locator

/// Rows of the P1 basis matrix, written straight into CSR arrays from located points.
///
/// Plain C++ over raw arrays; no Python. Each point's corners and weights are first written
/// into three slots of its own, in whatever order the points are located; one pass in row
/// order then drops zero weights, orders the columns and squeezes out the unused slots. So
/// no second location pass is needed to count the entries, and the scattered writes are
/// no more than the weights themselves.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvid::locator {

/// Writes the slots of row i: the vertices of triangle t and the point's weights there.
///
///   const I triangles[3 m]        - the mesh's corners: columns are vertex indices
///   int64_t t, const double w[3]  - the point's triangle (< m; negative for an empty row)
///                                   and its weights in the order of t's corners
///   J indices[3 k], double data[3 k] - output: slots 3i .. 3i + 2, for i < k
/// Cost: O(1).
template <class I, class J>
void put_row(const I* triangles, std::size_t i, std::int64_t t, const double* w, J* indices,
             double* data) {
    for (int c = 0; c < 3; ++c) {
        indices[3 * i + c] = t >= 0 ? static_cast<J>(triangles[3 * t + c]) : J(0);
        data[3 * i + c] = t >= 0 ? w[c] : 0.0;
    }
}

/// True when row i, as put_row left it, is empty.
inline bool row_is_empty(std::size_t i, const double* data) {
    return data[3 * i] == 0.0 && data[3 * i + 1] == 0.0 && data[3 * i + 2] == 0.0;
}

/// Turns k rows written by put_row into CSR arrays, in place: in each row the non-zero
/// weights, columns ascending, moved down over the unused slots; indptr the running count.
/// Returns the number of entries, indptr[k].
///
///   J indices[3 k], double data[3 k] - as put_row left them
///   J indptr[k + 1]                  - output
/// Cost: O(k).
template <class J>
std::size_t compact_rows(std::size_t k, J* indptr, J* indices, double* data) {
    std::size_t at = 0;
    indptr[0] = 0;
    for (std::size_t i = 0; i < k; ++i) {
        J columns[3];
        double values[3];
        int n = 0;
        for (int c = 0; c < 3; ++c) {
            const double w = data[3 * i + c];
            if (w == 0.0) continue;
            // Insertion keeps the (at most three) columns ascending.
            int j = n++;
            while (j > 0 && columns[j - 1] > indices[3 * i + c]) {
                columns[j] = columns[j - 1];
                values[j] = values[j - 1];
                --j;
            }
            columns[j] = indices[3 * i + c];
            values[j] = w;
        }
        for (int c = 0; c < n; ++c) {
            indices[at + c] = columns[c];
            data[at + c] = values[c];
        }
        at += static_cast<std::size_t>(n);
        indptr[i + 1] = static_cast<J>(at);
    }
    return at;
}

}  // namespace corvid::locator

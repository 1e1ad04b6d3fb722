/// The pattern of a sparse symmetric matrix in compressed-column form, both triangles stored,
/// seen in a symmetric ordering; and its checks. Plain C++ over raw arrays; no Python.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvid::cholesky {

/// A square pattern of order n.
///
///   int32_t n
///   int64_t indptr[n + 1]       - column pointers
///   int32_t indices[indptr[n]]  - the rows of column j in indices[indptr[j] .. indptr[j+1]),
///                                 strictly ascending, each below n
struct Csc {
    int32_t n;
    const int64_t* indptr;
    const int32_t* indices;

    int64_t begin(int32_t j) const { return indptr[j]; }
    int64_t end(int32_t j) const { return indptr[j + 1]; }
    int64_t nnz() const { return indptr[n]; }
};

/// A symmetric pattern taken in an ordering: column j of the ordered matrix is column perm[j]
/// of A, and row i of A is row where[i] of the ordered matrix.
///
///   Csc A
///   const int32_t perm[n], where[n]  - inverse permutations of each other
struct Ordered {
    const Csc& A;
    const int32_t* perm;
    const int32_t* where;

    int32_t n() const { return A.n; }
    /// Calls f(i) for the row i of every entry of ordered column j (in no particular order).
    template <class F>
    void for_each_row(int32_t j, F&& f) const {
        const int32_t column = perm[j];
        for (int64_t k = A.begin(column); k < A.end(column); ++k) f(where[A.indices[k]]);
    }
};

/// Throws std::invalid_argument, naming the first column at fault, unless `A` has the form
/// `Csc` describes; `stored` is the length of the indices array. Cost: O(n + nnz).
inline void check_columns(const Csc& A, int64_t stored) {
    auto refuse = [](int32_t j, const std::string& what) {
        throw std::invalid_argument("column " + std::to_string(j) + " of the matrix: " + what);
    };
    if (A.indptr[0] != 0) throw std::invalid_argument("the matrix's column pointers must start at 0");
    for (int32_t j = 0; j < A.n; ++j) {
        if (A.end(j) < A.begin(j) || A.end(j) > stored)
            refuse(j, "column pointers decrease or run past the row indices");
        for (int64_t k = A.begin(j); k < A.end(j); ++k) {
            const int32_t i = A.indices[k];
            if (i < 0 || i >= A.n)
                refuse(j, "row index " + std::to_string(i) + " is outside the order " +
                              std::to_string(A.n));
            if (k > A.begin(j) && i <= A.indices[k - 1])
                refuse(j, "row indices must be strictly ascending (no duplicates)");
        }
    }
}

/// The message for an entry (i, j) stored without its partner (j, i).
inline std::string unpaired(int32_t i, int32_t j) {
    return "the matrix's pattern is not symmetric: entry (" + std::to_string(i) + ", " +
           std::to_string(j) + ") is stored but (" + std::to_string(j) + ", " + std::to_string(i) +
           ") is not";
}

/// The position of each entry's transposed partner: entry k at (i, j) has its partner (j, i)
/// at mirror[k]. Throws std::invalid_argument naming an entry without a partner: the pattern
/// is then not symmetric. `check_columns` must have passed.
///
///   Csc A
///   int64_t mirror[nnz]  - output
///
/// Cost: O(n + nnz); workspace n + 1 integers. A counting sort of the entries by row lists
/// the transpose column by column with rows ascending, which for a symmetric pattern is the
/// pattern itself, entry for entry.
inline void mirror_entries(const Csc& A, int64_t* mirror) {
    std::vector<int64_t> next(static_cast<size_t>(A.n) + 1, 0);
    for (int64_t k = 0; k < A.nnz(); ++k) ++next[static_cast<size_t>(A.indices[k]) + 1];
    for (int32_t i = 0; i < A.n; ++i) {
        if (next[static_cast<size_t>(i) + 1] != A.end(i) - A.begin(i)) {
            // Row i and column i differ in length: find an entry of one without its partner.
            for (int32_t j = 0; j < A.n; ++j)
                for (int64_t k = A.begin(j); k < A.end(j); ++k) {
                    const int32_t r = A.indices[k];
                    int64_t lo = A.begin(r), hi = A.end(r);
                    while (lo < hi) {
                        const int64_t mid = lo + (hi - lo) / 2;
                        if (A.indices[mid] < j) lo = mid + 1;
                        else hi = mid;
                    }
                    if (lo == A.end(r) || A.indices[lo] != j)
                        throw std::invalid_argument(unpaired(r, j));
                }
        }
        next[static_cast<size_t>(i) + 1] = A.end(i);
    }
    for (int32_t i = 0; i < A.n; ++i) next[static_cast<size_t>(i)] = A.begin(i);
    for (int32_t j = 0; j < A.n; ++j)
        for (int64_t k = A.begin(j); k < A.end(j); ++k) {
            const int32_t i = A.indices[k];
            const int64_t t = next[static_cast<size_t>(i)]++;
            // The transpose's entry t is (j, i): the pattern must hold row j there. Both
            // lists ascend and agree before t, so a smaller row r there has no partner (i, r).
            if (A.indices[t] != j) {
                const int32_t r = A.indices[t];
                throw std::invalid_argument(unpaired(r < j ? r : i, r < j ? i : j));
            }
            mirror[k] = t;
        }
}

}  // namespace corvid::cholesky

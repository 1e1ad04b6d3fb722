/// The pattern of a sparse Cholesky factor: its checks, its closure under elimination and its
/// supernodes. Plain C++ over raw arrays; no Python.
///
/// The Takahashi recursions for column j read the inverse at every pair of rows of column j,
/// so they need a pattern that is closed: for every column j whose first row below the
/// diagonal is p (its parent), the other rows of j are rows of p. A symbolic factorization
/// gives such a pattern; a numeric factor that dropped the entries that happened to cancel
/// to zero may not, and `close_pattern` puts them back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvid::selinv {

/// The pattern of a lower triangular factor of order n in compressed-column form.
///
///   size_t  n                    - order
///   int64_t indptr[n + 1]        - column pointers into `indices`
///   I       indices[indptr[n]]   - row indices of column j in indices[indptr[j] .. indptr[j+1]):
///                                  j itself first, then ascending, all below n
template <class I>
struct Pattern {
    size_t n;
    const int64_t* indptr;
    const I* indices;

    int64_t begin(size_t j) const { return indptr[j]; }
    int64_t end(size_t j) const { return indptr[j + 1]; }
    int64_t count(size_t j) const { return indptr[j + 1] - indptr[j]; }
};

/// Throws std::invalid_argument, naming the first column that breaks the form `Pattern`
/// describes, when `indices` (of length `stored`) do not hold one. Cost: O(n + nnz).
template <class I>
void check_structure(size_t n, const int64_t* indptr, const I* indices, size_t stored) {
    auto refuse = [](const std::string& what) { throw std::invalid_argument("factor " + what); };
    if (indptr[0] != 0) refuse("column pointers must start at 0");
    for (size_t j = 0; j < n; ++j) {
        int64_t first = indptr[j], last = indptr[j + 1];
        std::string column = "column " + std::to_string(j);
        if (last <= first || static_cast<uint64_t>(last) > stored)
            refuse(column + ": column pointers decrease, leave the column empty or run past the "
                            "row indices");
        if (indices[first] != static_cast<I>(j))
            refuse(column + ": the diagonal must be the first entry, found row " +
                   std::to_string(static_cast<long long>(indices[first])));
        for (int64_t k = first + 1; k < last; ++k)
            if (indices[k] <= indices[k - 1])
                refuse(column + ": row indices must be ascending");
        if (static_cast<uint64_t>(indices[last - 1]) >= n)
            refuse(column + ": row index " + std::to_string(static_cast<long long>(indices[last - 1])) +
                   " is outside the order " + std::to_string(n));
    }
}

/// True when the pattern is closed under elimination (see the file's note). Cost: O(nnz).
template <class I>
bool is_closed(const Pattern<I>& L) {
    for (size_t j = 0; j < L.n; ++j) {
        if (L.count(j) < 3) continue;
        auto parent = static_cast<size_t>(L.indices[L.begin(j) + 1]);
        // rows of j after the parent must all be rows of the parent; both lists ascend
        int64_t k = L.begin(parent) + 1, k_end = L.end(parent);
        for (int64_t p = L.begin(j) + 2; p < L.end(j); ++p) {
            while (k < k_end && L.indices[k] < L.indices[p]) ++k;
            if (k == k_end || L.indices[k] != L.indices[p]) return false;
        }
    }
    return true;
}

/// The smallest closed pattern that contains L's (a symbolic factorization of L + Lᵀ), in the
/// same form, written to `indptr` (n + 1) and `indices`. Cost: O(nnz of the closure · log of a
/// column's length); O(n) workspace.
template <class I>
void close_pattern(const Pattern<I>& L, std::vector<int64_t>& indptr, std::vector<I>& indices) {
    const size_t n = L.n;
    std::vector<int64_t> first_child(n, -1), next_sibling(n, -1), mark(n, -1);
    indptr.assign(n + 1, 0);
    indices.clear();
    indices.reserve(static_cast<size_t>(L.indptr[n]));
    for (size_t j = 0; j < n; ++j) {
        size_t start = indices.size();
        auto add = [&](I row) {
            if (mark[row] == static_cast<int64_t>(j)) return;
            mark[row] = static_cast<int64_t>(j);
            indices.push_back(row);
        };
        add(static_cast<I>(j));
        for (int64_t p = L.begin(j) + 1; p < L.end(j); ++p) add(L.indices[p]);
        // a child's rows below j are rows of j in any factor
        for (int64_t c = first_child[j]; c >= 0; c = next_sibling[c])
            for (int64_t p = indptr[c] + 2; p < indptr[c + 1]; ++p) add(indices[p]);
        std::sort(indices.begin() + static_cast<std::ptrdiff_t>(start) + 1, indices.end());
        indptr[j + 1] = static_cast<int64_t>(indices.size());
        if (indices.size() > start + 1) {
            auto parent = static_cast<size_t>(indices[start + 1]);
            next_sibling[j] = first_child[parent];
            first_child[parent] = static_cast<int64_t>(j);
        }
    }
}

/// The first columns of the supernodes of a closed pattern, then n: maximal runs of columns
/// j, j + 1, ... in which each column's rows are the next column's rows and the column itself.
/// Cost: O(n).
template <class I>
std::vector<size_t> supernodes(const Pattern<I>& L) {
    std::vector<size_t> starts;
    for (size_t j = 0; j < L.n; ++j) {
        bool continues = j > 0 && L.count(j - 1) == L.count(j) + 1 &&
                         L.indices[L.begin(j - 1) + 1] == static_cast<I>(j);
        if (!continues) starts.push_back(j);
    }
    starts.push_back(L.n);
    return starts;
}

}  // namespace corvid::selinv

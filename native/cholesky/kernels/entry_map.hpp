/// Where each stored entry of a matrix goes in the supernodal factor, found once per pattern,
/// and the checks of a matrix's values made before each factorisation. Plain C++ over raw
/// arrays; no Python.
#pragma once

#include "cholesky/kernels/pattern.hpp"
#include "cholesky/kernels/symbolic.hpp"

#include <cmath>
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace corvid::cholesky {

/// A pattern's entries placed in the factor. The pattern is either in the matrix's own order
/// (its column perm[j] is the factor's column j) or already in the factor's order.
struct EntryMap {
    bool ordered = false;           ///< the pattern is in the factor's order
    int32_t n = 0;
    std::vector<int64_t> indptr;    ///< the pattern's column pointers (n + 1)
    std::vector<int32_t> indices;   ///< its row indices
    /// The entries on and below the diagonal (in the factor's order), factor column by
    /// factor column (column j's in [lower_ptr[j], lower_ptr[j+1])), each column's in the
    /// order of their places: entry source[q] of the data goes to the factor's value
    /// target[q].
    std::vector<int64_t> lower_ptr, source, target;
    std::vector<int64_t> mirror;    ///< the entry's transposed partner
    std::vector<int64_t> diagonal;  ///< the diagonal entry of each column, -1 where none

    int64_t nnz() const { return indptr.back(); }
    /// The pattern's column that is the factor's column j.
    int32_t column(const Symbolic& S, int32_t j) const { return ordered ? j : S.perm[static_cast<size_t>(j)]; }
    /// The factor's row of row i of the pattern.
    int32_t row(const Symbolic& S, int32_t i) const { return ordered ? i : S.where[static_cast<size_t>(i)]; }
};

/// Fills the lists of `map` for the pattern `map.indptr`, `map.indices` (symmetric,
/// `check_columns` passed). Returns false when some entry lies outside the factor's pattern:
/// that pattern then needs an analysis of its own.
///
/// Cost: O(nnz log + Σ rows of the supernodes); workspace 2 n integers.
inline bool place_entries(const Symbolic& S, EntryMap& map) {
    const Csc B{map.n, map.indptr.data(), map.indices.data()};
    const auto nnz = static_cast<size_t>(B.nnz());
    map.mirror.resize(nnz);
    mirror_entries(B, map.mirror.data());
    map.diagonal.assign(static_cast<size_t>(map.n), -1);
    map.lower_ptr.assign(static_cast<size_t>(map.n) + 1, 0);
    map.source.clear();
    map.target.clear();
    map.source.reserve(nnz / 2 + static_cast<size_t>(map.n));
    map.target.reserve(nnz / 2 + static_cast<size_t>(map.n));
    std::vector<int32_t> position(static_cast<size_t>(map.n)), owner(static_cast<size_t>(map.n), -1);
    std::vector<std::pair<int64_t, int64_t>> column;  // (target, source) of one factor column
    for (int32_t s = 0; s < S.supernodes(); ++s) {
        const int32_t f = S.first[static_cast<size_t>(s)], r = S.nrow(s);
        const int32_t* rows = S.rows_of(s);
        for (int32_t p = 0; p < r; ++p) {
            position[static_cast<size_t>(rows[p])] = p;
            owner[static_cast<size_t>(rows[p])] = s;
        }
        for (int32_t j = f; j <= S.last(s); ++j) {
            const int32_t c = map.column(S, j);
            column.clear();
            for (int64_t k = B.begin(c); k < B.end(c); ++k) {
                const int32_t i = map.row(S, B.indices[k]);
                if (i == j) map.diagonal[static_cast<size_t>(c)] = k;
                if (i < j) continue;
                if (owner[static_cast<size_t>(i)] != s) return false;
                column.emplace_back(S.value_ptr[static_cast<size_t>(s)] + static_cast<int64_t>(j - f) * r +
                                        position[static_cast<size_t>(i)],
                                    k);
            }
            std::sort(column.begin(), column.end());
            for (const auto& [t, k] : column) {
                map.target.push_back(t);
                map.source.push_back(k);
            }
            map.lower_ptr[static_cast<size_t>(j) + 1] = static_cast<int64_t>(map.target.size());
        }
    }
    return true;
}

/// What is wrong with a matrix's values, if anything.
struct ValueFault {
    enum Kind { none, not_finite, not_symmetric } kind = none;
    int64_t entry = -1;  ///< the entry at fault (for not_symmetric, one of the pair)
};

/// The first entry that is not finite, else the first pair (a_ij, a_ji) further apart than
/// `tolerance` sqrt(|a_ii a_jj|).
///
///   EntryMap map
///   const double data[nnz]  - the values on map's pattern
///
/// Cost: O(nnz).
inline ValueFault check_values(const EntryMap& map, const double* data, double tolerance) {
    const auto nnz = map.nnz();
    for (int64_t k = 0; k < nnz; ++k)
        if (!std::isfinite(data[k])) return {ValueFault::not_finite, k};
    for (int32_t j = 0; j < map.n; ++j) {
        const int64_t dj = map.diagonal[static_cast<size_t>(j)];
        const double ajj = dj >= 0 ? std::fabs(data[dj]) : 0.0;
        for (int64_t k = map.indptr[static_cast<size_t>(j)]; k < map.indptr[static_cast<size_t>(j) + 1]; ++k) {
            const int32_t i = map.indices[static_cast<size_t>(k)];
            if (i >= j) break;  // each pair once, from its upper entry (rows ascend)
            const double a = data[k], b = data[map.mirror[static_cast<size_t>(k)]];
            if (a == b) continue;
            const int64_t di = map.diagonal[static_cast<size_t>(i)];
            const double aii = di >= 0 ? std::fabs(data[di]) : 0.0;
            if (!(std::fabs(a - b) <= tolerance * std::sqrt(aii * ajj)))
                return {ValueFault::not_symmetric, k};
        }
    }
    return {};
}

}  // namespace corvid::cholesky

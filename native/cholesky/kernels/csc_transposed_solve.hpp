/// Backward substitution with the transpose of a unit lower triangular sparse factor given in
/// compressed columns (any backend's L D Lᵀ), for many right-hand sides at once: a sampler's
/// x = L⁻ᵀ z. No Python here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace corvid::cholesky {

/// Checks that (Lp, Li) is a lower triangular compressed-column pattern of order n whose
/// arrays hold at least Lp[n] entries: throws std::invalid_argument saying what is wrong.
///
///   n               order of L
///   Lp[n+1]         column pointers
///   Li[nnz_i]       row indices (nnz_i entries available)
///   nnz_x           values available
///
/// Cost: O(n + Lp[n]).
inline void check_lower_pattern(size_t n, const int64_t* Lp, const int64_t* Li, size_t nnz_i,
                                size_t nnz_x) {
    if (Lp[0] != 0) throw std::invalid_argument("indptr must start at 0");
    for (size_t j = 0; j < n; ++j)
        if (Lp[j + 1] < Lp[j])
            throw std::invalid_argument("indptr must not decrease (column " + std::to_string(j) + ")");
    const auto nnz = static_cast<uint64_t>(Lp[n]);
    if (nnz > nnz_i || nnz > nnz_x)
        throw std::invalid_argument("indptr[-1] = " + std::to_string(nnz) +
                                    " exceeds the entries of indices or data");
    for (size_t j = 0; j < n; ++j)
        for (int64_t p = Lp[j]; p < Lp[j + 1]; ++p)
            if (Li[p] < static_cast<int64_t>(j) || Li[p] >= static_cast<int64_t>(n))
                throw std::invalid_argument("column " + std::to_string(j) + " has the row " +
                                            std::to_string(Li[p]) + ", outside " +
                                            std::to_string(j) + ".." + std::to_string(n - 1) +
                                            ": L must be lower triangular of order n");
}

/// Solves L^T X = B in place for L unit lower triangular (the diagonal's stored values, if
/// any, are not read).
///
///   n               order of L; k right-hand sides
///   Lp[n+1]         column pointers, checked by check_lower_pattern
///   Li[Lp[n]]       row indices: j (the diagonal) or below it
///   Lx[Lp[n]]       values
///   X[n*k]          row-major (n, k): B on entry, L^-T B on return
///
/// Cost: one multiply-add per off-diagonal entry and right-hand side. Row j of X is final
/// once the rows below it are; each row is a contiguous run of k values.
inline void unit_transposed_solve(size_t n, size_t k, const int64_t* Lp, const int64_t* Li,
                                  const double* Lx, double* X) {
    for (size_t j = n; j-- > 0;) {
        double* xj = X + j * k;
        for (int64_t p = Lp[j]; p < Lp[j + 1]; ++p) {
            const auto i = static_cast<size_t>(Li[p]);
            if (i == j) continue;
            const double l = Lx[p];
            const double* xi = X + i * k;
            for (size_t c = 0; c < k; ++c) xj[c] -= l * xi[c];
        }
    }
}

}  // namespace corvid::cholesky

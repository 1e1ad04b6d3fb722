/// Dense block operations of the supernodal kernels: BLAS and LAPACK for blocks large enough
/// to repay a call, plain loops below that, where the call's overhead would dominate.
/// Column-major throughout. Plain C++; no Python.
#pragma once

#include "cholesky/kernels/blas.hpp"

#include <cmath>
#include <cstdint>

namespace corvid::cholesky::dense {

/// Work (multiply-adds) below which a block operation runs as plain loops.
inline constexpr double kLoopWork = 2048.0;

/// C = A[0:n1, :] A[0:n2, :]ᵀ on the entries (i, j), i >= j: the update one supernode sends
/// to another, its columns being the first n2 of the rows.
///
///   const double A[n1 x k]  - leading dimension lda
///   double       C[n1 x n2] - leading dimension n1; output, entries above the diagonal
///                             unspecified
///
/// Cost: k n2 (n1 - n2 / 2) multiply-adds.
inline void update_product(const Blas& blas, int n1, int n2, int k, const double* A, int lda,
                           double* C) {
    if (static_cast<double>(n1) * n2 * k > kLoopWork) {
        blas.syrk_lower(n2, k, 1.0, A, lda, 0.0, C, n1);
        if (n1 > n2) blas.gemm('N', 'T', n1 - n2, n2, k, 1.0, A + n2, lda, A, lda, 0.0, C + n2, n1);
        return;
    }
    for (int j = 0; j < n2; ++j) {
        double* c = C + static_cast<int64_t>(j) * n1;
        for (int i = j; i < n1; ++i) c[i] = 0.0;
        for (int q = 0; q < k; ++q) {
            const double* a = A + static_cast<int64_t>(q) * lda;
            const double ajq = a[j];
            if (ajq == 0.0) continue;
            for (int i = j; i < n1; ++i) c[i] += a[i] * ajq;
        }
    }
}

/// The Cholesky factor of the w x w lower triangle of A, in place. Returns -1, or the
/// (0-based) column whose pivot is not positive (or not finite).
///
///   double A[w x w]  - leading dimension lda; the upper triangle is not read
///
/// Cost: w³ / 6 multiply-adds.
inline int32_t cholesky(const Blas& blas, int w, double* A, int lda) {
    if (static_cast<double>(w) * w * w > 6.0 * kLoopWork) {
        const int info = blas.potrf_lower(w, A, lda);
        return info > 0 ? info - 1 : -1;
    }
    for (int j = 0; j < w; ++j) {
        double* cj = A + static_cast<int64_t>(j) * lda;
        for (int q = 0; q < j; ++q) {
            const double* cq = A + static_cast<int64_t>(q) * lda;
            const double l = cq[j];
            for (int i = j; i < w; ++i) cj[i] -= cq[i] * l;
        }
        if (!(cj[j] > 0.0) || !std::isfinite(cj[j])) return j;
        const double d = std::sqrt(cj[j]);
        cj[j] = d;
        for (int i = j + 1; i < w; ++i) cj[i] /= d;
    }
    return -1;
}

/// B = B L⁻ᵀ for a lower triangular w x w L: the rows below a supernode, once its diagonal
/// block is factored.
///
///   const double L[w x w]  - leading dimension ldl; the upper triangle is not read
///   double       B[m x w]  - leading dimension ldb; in place
///
/// Cost: m w² / 2 multiply-adds.
inline void solve_right_transposed(const Blas& blas, int m, int w, const double* L, int ldl,
                                   double* B, int ldb) {
    if (m == 0) return;
    if (static_cast<double>(m) * w * w > 2.0 * kLoopWork) {
        blas.trsm_right_lower('T', m, w, L, ldl, B, ldb);
        return;
    }
    // Column c of B L⁻ᵀ: (b_c - Σ_{q<c} x_q L[c, q]) / L[c, c].
    for (int c = 0; c < w; ++c) {
        double* bc = B + static_cast<int64_t>(c) * ldb;
        for (int q = 0; q < c; ++q) {
            const double l = L[c + static_cast<int64_t>(q) * ldl];
            if (l == 0.0) continue;
            const double* bq = B + static_cast<int64_t>(q) * ldb;
            for (int i = 0; i < m; ++i) bc[i] -= bq[i] * l;
        }
        const double d = L[c + static_cast<int64_t>(c) * ldl];
        for (int i = 0; i < m; ++i) bc[i] /= d;
    }
}

}  // namespace corvid::cholesky::dense

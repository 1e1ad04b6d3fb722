/// Dense block operations of supernodal selected inversion, on column-major arrays.
/// Plain C++; no Python.
///
/// Cost notes count multiply-adds. The products keep a 4 x 4 block of the result in local
/// accumulators, so each value loaded serves four multiply-adds, and each entry sums its
/// terms in one fixed order.
#pragma once

#include <algorithm>
#include <cstddef>

namespace corvid::selinv::dense {

/// out = scale · Aᵀ B for an m x p matrix A and an m x q matrix B; with `lower`, only the
/// entries i >= j are needed (p = q), and blocks wholly above the diagonal are skipped.
///
///   const double A[m * p]    - column-major
///   const double B[m * q]    - column-major
///   double       out[p * q]  - column-major, overwritten (above the diagonal: unspecified
///                              with `lower`)
///
/// Cost: m p q, or about half with `lower`.
inline void cross_product(size_t m, size_t p, size_t q, const double* __restrict A,
                          const double* __restrict B, double scale, bool lower,
                          double* __restrict out) {
    // Entry (i, j) is the dot product of column i of A and column j of B, both contiguous.
    size_t i = 0;
    for (; i + 4 <= p; i += 4) {
        const double* a0 = A + i * m;
        const double* a1 = a0 + m;
        const double* a2 = a1 + m;
        const double* a3 = a2 + m;
        size_t j = 0;
        size_t j_end = lower ? std::min(q, i + 4) : q;
        for (; j + 4 <= j_end; j += 4) {
            const double* b0 = B + j * m;
            const double* b1 = b0 + m;
            const double* b2 = b1 + m;
            const double* b3 = b2 + m;
            double s[4][4] = {};
            for (size_t k = 0; k < m; ++k) {
                double a[4] = {a0[k], a1[k], a2[k], a3[k]};
                double b[4] = {b0[k], b1[k], b2[k], b3[k]};
                for (int jj = 0; jj < 4; ++jj)
                    for (int ii = 0; ii < 4; ++ii) s[jj][ii] += a[ii] * b[jj];
            }
            for (int jj = 0; jj < 4; ++jj)
                for (int ii = 0; ii < 4; ++ii) out[(j + jj) * p + i + ii] = scale * s[jj][ii];
        }
        for (; j < j_end; ++j) {
            const double* bj = B + j * m;
            double s[4] = {};
            for (size_t k = 0; k < m; ++k) {
                s[0] += a0[k] * bj[k];
                s[1] += a1[k] * bj[k];
                s[2] += a2[k] * bj[k];
                s[3] += a3[k] * bj[k];
            }
            for (int ii = 0; ii < 4; ++ii) out[j * p + i + ii] = scale * s[ii];
        }
    }
    for (; i < p; ++i) {
        const double* ai = A + i * m;
        for (size_t j = 0; j < (lower ? std::min(q, i + 1) : q); ++j) {
            const double* bj = B + j * m;
            double s = 0.0;
            for (size_t k = 0; k < m; ++k) s += ai[k] * bj[k];
            out[j * p + i] = scale * s;
        }
    }
}

/// x = b L⁻¹ for a unit lower triangular w x w matrix L: the rows below a supernode expressed
/// in its own columns.
///
///   const double L[w * w]  - column-major; the diagonal and upper triangle are not read
///   const double b[m * w]  - column-major
///   double       x[m * w]  - column-major, overwritten
///
/// Cost: m w² / 2.
inline void solve_unit_lower_right(size_t m, size_t w, const double* __restrict L,
                                   const double* __restrict b, double* __restrict x) {
    for (size_t c = w; c-- > 0;) {
        double* xc = x + c * m;
        const double* bc = b + c * m;
        for (size_t a = 0; a < m; ++a) xc[a] = bc[a];
        for (size_t k = c + 1; k < w; ++k) {
            double l = L[c * w + k];
            if (l == 0.0) continue;
            const double* xk = x + k * m;
            for (size_t a = 0; a < m; ++a) xc[a] -= l * xk[a];
        }
    }
}

/// Z = (L diag(d) Lᵀ)⁻¹ for a unit lower triangular w x w matrix L, by the Takahashi
/// recursions on the dense block.
///
///   const double L[w * w]  - column-major; the diagonal and upper triangle are not read
///   const double d[w]      - positive
///   double       Z[w * w]  - column-major, both triangles, overwritten
///
/// Cost: w³ / 3.
inline void inverse_of_factored(size_t w, const double* __restrict L, const double* __restrict d,
                                double* __restrict Z) {
    for (size_t j = w; j-- > 0;) {
        double* zj = Z + j * w;
        for (size_t i = j + 1; i < w; ++i) zj[i] = 0.0;
        // Z[j+1:, j] = -Z[j+1:, j+1:] L[j+1:, j], column by column of Z
        for (size_t k = j + 1; k < w; ++k) {
            double l = L[j * w + k];
            if (l == 0.0) continue;
            const double* zk = Z + k * w;
            for (size_t i = j + 1; i < w; ++i) zj[i] -= zk[i] * l;
        }
        double diagonal = 1.0 / d[j];
        for (size_t k = j + 1; k < w; ++k) diagonal -= L[j * w + k] * zj[k];
        zj[j] = diagonal;
        for (size_t i = j + 1; i < w; ++i) Z[i * w + j] = zj[i];
    }
}

}  // namespace corvid::selinv::dense

/// Dense block operations of supernodal selected inversion, on column-major arrays.
/// Plain C++; no Python.
///
/// Cost notes count multiply-adds. The products keep a 4 x 4 block of the result in local
/// accumulators, so each value loaded serves four multiply-adds.
#pragma once

#include <cstddef>

namespace corvid::selinv::dense {

/// y = -G x for a symmetric m x m matrix G held in full, and an m x w matrix x.
///
///   const double G[m * m]  - column-major, both triangles
///   const double x[m * w]  - column-major
///   double       y[m * w]  - column-major, overwritten
///
/// Cost: m² w.
inline void negative_product(size_t m, size_t w, const double* __restrict G,
                             const double* __restrict x, double* __restrict y) {
    // y[a, c] = -sum_k G[k, a] x[k, c]: G's symmetry turns rows into contiguous columns.
    size_t a = 0;
    for (; a + 4 <= m; a += 4) {
        const double* g0 = G + a * m;
        const double* g1 = g0 + m;
        const double* g2 = g1 + m;
        const double* g3 = g2 + m;
        size_t c = 0;
        for (; c + 4 <= w; c += 4) {
            const double* x0 = x + c * m;
            const double* x1 = x0 + m;
            const double* x2 = x1 + m;
            const double* x3 = x2 + m;
            double s[4][4] = {};
            for (size_t k = 0; k < m; ++k) {
                double g[4] = {g0[k], g1[k], g2[k], g3[k]};
                double v[4] = {x0[k], x1[k], x2[k], x3[k]};
                for (int i = 0; i < 4; ++i)
                    for (int j = 0; j < 4; ++j) s[j][i] += g[i] * v[j];
            }
            for (int j = 0; j < 4; ++j)
                for (int i = 0; i < 4; ++i) y[(c + j) * m + a + i] = -s[j][i];
        }
        for (; c < w; ++c) {
            const double* xc = x + c * m;
            double s[4] = {};
            for (size_t k = 0; k < m; ++k) {
                s[0] += g0[k] * xc[k];
                s[1] += g1[k] * xc[k];
                s[2] += g2[k] * xc[k];
                s[3] += g3[k] * xc[k];
            }
            for (int i = 0; i < 4; ++i) y[c * m + a + i] = -s[i];
        }
    }
    for (; a < m; ++a) {
        const double* ga = G + a * m;
        for (size_t c = 0; c < w; ++c) {
            const double* xc = x + c * m;
            double s = 0.0;
            for (size_t k = 0; k < m; ++k) s += ga[k] * xc[k];
            y[c * m + a] = -s;
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

/// The dot product of two columns of length m.
inline double dot(size_t m, const double* __restrict a, const double* __restrict b) {
    double s = 0.0;
    for (size_t k = 0; k < m; ++k) s += a[k] * b[k];
    return s;
}

}  // namespace corvid::selinv::dense

/// Solves with a supernodal Cholesky factor, for one or many right-hand sides at once.
/// Plain C++ over raw arrays; no Python.
///
/// The right-hand sides are held row by row (the k values of one row together), so a
/// supernode's own rows form one k x w column-major block and a row below it is k
/// contiguous values: the blocks go to BLAS as they are, the scattered rows are gathered.
#pragma once

#include "cholesky/kernels/blas.hpp"
#include "cholesky/kernels/dense.hpp"
#include "cholesky/kernels/symbolic.hpp"

#include <cstdint>
#include <vector>

namespace corvid::cholesky {

/// X = (L Lᵀ)⁻¹ X in place, in the factor's order.
///
///   Symbolic S, const double values[S.stored()]  - the factor
///   double X[n x k]  - row-major: row i holds the k values of unknown i
///
/// Cost: 4 k Σ (entries of the factor) multiply-adds... halved: 2 k per entry; workspace
/// S.largest_below k doubles.
inline void solve_in_place(const Symbolic& S, const double* values, const Blas& blas, int32_t k,
                           double* X) {
    const int32_t count = S.supernodes();
    std::vector<double> gathered(static_cast<size_t>(S.largest_below) * static_cast<size_t>(k));
    // Forward: L Y = X.
    for (int32_t s = 0; s < count; ++s) {
        const int32_t f = S.first[static_cast<size_t>(s)], w = S.width(s), r = S.nrow(s), m = r - w;
        const int32_t* below = S.rows_of(s) + w;
        const double* Ls = values + S.value_ptr[static_cast<size_t>(s)];
        double* Xs = X + static_cast<int64_t>(f) * k;  // k x w, leading dimension k
        const bool large = static_cast<double>(k) * w * r > dense::kLoopWork;
        if (large) {
            blas.trsm_right_lower('T', k, w, Ls, r, Xs, k);
            if (m == 0) continue;
            blas.gemm('N', 'T', k, m, w, 1.0, Xs, k, Ls + w, r, 0.0, gathered.data(), k);
            for (int32_t a = 0; a < m; ++a) {
                double* xa = X + static_cast<int64_t>(below[a]) * k;
                const double* ga = gathered.data() + static_cast<int64_t>(a) * k;
                for (int32_t q = 0; q < k; ++q) xa[q] -= ga[q];
            }
            continue;
        }
        for (int32_t c = 0; c < w; ++c) {
            double* xc = Xs + static_cast<int64_t>(c) * k;
            const double* lc = Ls + static_cast<int64_t>(c) * r;
            for (int32_t b = 0; b < c; ++b) {
                const double l = Ls[c + static_cast<int64_t>(b) * r];
                const double* xb = Xs + static_cast<int64_t>(b) * k;
                for (int32_t q = 0; q < k; ++q) xc[q] -= l * xb[q];
            }
            for (int32_t q = 0; q < k; ++q) xc[q] /= lc[c];
        }
        for (int32_t a = 0; a < m; ++a) {
            double* xa = X + static_cast<int64_t>(below[a]) * k;
            for (int32_t c = 0; c < w; ++c) {
                const double l = Ls[w + a + static_cast<int64_t>(c) * r];
                const double* xc = Xs + static_cast<int64_t>(c) * k;
                for (int32_t q = 0; q < k; ++q) xa[q] -= l * xc[q];
            }
        }
    }
    // Backward: Lᵀ X = Y.
    for (int32_t s = count - 1; s >= 0; --s) {
        const int32_t f = S.first[static_cast<size_t>(s)], w = S.width(s), r = S.nrow(s), m = r - w;
        const int32_t* below = S.rows_of(s) + w;
        const double* Ls = values + S.value_ptr[static_cast<size_t>(s)];
        double* Xs = X + static_cast<int64_t>(f) * k;
        const bool large = static_cast<double>(k) * w * r > dense::kLoopWork;
        if (large) {
            if (m > 0) {
                for (int32_t a = 0; a < m; ++a) {
                    const double* xa = X + static_cast<int64_t>(below[a]) * k;
                    double* ga = gathered.data() + static_cast<int64_t>(a) * k;
                    for (int32_t q = 0; q < k; ++q) ga[q] = xa[q];
                }
                blas.gemm('N', 'N', k, w, m, -1.0, gathered.data(), k, Ls + w, r, 1.0, Xs, k);
            }
            blas.trsm_right_lower('N', k, w, Ls, r, Xs, k);
            continue;
        }
        for (int32_t a = 0; a < m; ++a) {
            const double* xa = X + static_cast<int64_t>(below[a]) * k;
            for (int32_t c = 0; c < w; ++c) {
                const double l = Ls[w + a + static_cast<int64_t>(c) * r];
                double* xc = Xs + static_cast<int64_t>(c) * k;
                for (int32_t q = 0; q < k; ++q) xc[q] -= l * xa[q];
            }
        }
        for (int32_t c = w - 1; c >= 0; --c) {
            double* xc = Xs + static_cast<int64_t>(c) * k;
            const double* lc = Ls + static_cast<int64_t>(c) * r;
            for (int32_t b = c + 1; b < w; ++b) {
                const double l = lc[b];
                const double* xb = Xs + static_cast<int64_t>(b) * k;
                for (int32_t q = 0; q < k; ++q) xc[q] -= l * xb[q];
            }
            for (int32_t q = 0; q < k; ++q) xc[q] /= lc[c];
        }
    }
}

}  // namespace corvid::cholesky

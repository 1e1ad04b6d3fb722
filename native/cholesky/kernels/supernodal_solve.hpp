/// Solves with a supernodal Cholesky factor, for one or many right-hand sides at once.
/// Plain C++ over raw arrays; no Python.
///
/// The right-hand sides are held row by row (the k values of one row together), so a
/// supernode's own rows form one k x w column-major block and a row below it is k
/// contiguous values: with many right-hand sides the blocks go to BLAS as they are and the
/// scattered rows are gathered; with few, or on small blocks, plain loops walk each column of
/// L once.
#pragma once

#include "cholesky/kernels/blas.hpp"
#include "cholesky/kernels/dense.hpp"
#include "cholesky/kernels/symbolic.hpp"

#include <cstdint>
#include <vector>

namespace corvid::cholesky {

namespace detail {

/// x -= l y for rows of k values; K > 0 fixes k at compile time.
template <int K>
inline void subtract_scaled(int32_t k, double l, const double* y, double* x) {
    if constexpr (K > 0) {
        for (int q = 0; q < K; ++q) x[q] -= l * y[q];
    } else {
        for (int32_t q = 0; q < k; ++q) x[q] -= l * y[q];
    }
}

/// Forward and backward substitution through supernode s with plain loops, column by column
/// of L (each read once, in order).
template <int K>
inline void forward_loops(const Symbolic& S, int32_t s, const double* Ls, int32_t k, double* X) {
    const int32_t f = S.first[static_cast<size_t>(s)], w = S.width(s), r = S.nrow(s);
    const int32_t* rows = S.rows_of(s);
    for (int32_t c = 0; c < w; ++c) {
        const double* lc = Ls + static_cast<int64_t>(c) * r;
        double* xc = X + static_cast<int64_t>(f + c) * k;
        for (int32_t q = 0; q < (K > 0 ? K : k); ++q) xc[q] /= lc[c];
        for (int32_t p = c + 1; p < r; ++p)
            subtract_scaled<K>(k, lc[p], xc, X + static_cast<int64_t>(rows[p]) * k);
    }
}

template <int K>
inline void backward_loops(const Symbolic& S, int32_t s, const double* Ls, int32_t k, double* X) {
    const int32_t f = S.first[static_cast<size_t>(s)], w = S.width(s), r = S.nrow(s);
    const int32_t* rows = S.rows_of(s);
    for (int32_t c = w - 1; c >= 0; --c) {
        const double* lc = Ls + static_cast<int64_t>(c) * r;
        double* xc = X + static_cast<int64_t>(f + c) * k;
        for (int32_t p = c + 1; p < r; ++p)
            subtract_scaled<K>(k, lc[p], X + static_cast<int64_t>(rows[p]) * k, xc);
        for (int32_t q = 0; q < (K > 0 ? K : k); ++q) xc[q] /= lc[c];
    }
}

/// Right-hand sides up to which every block is solved by loops: they read each column of L
/// once, where BLAS would first copy the block into its packed form (measured on the
/// 55,000-vertex fit matrix: 1 column 21.5 ms rather than 24, 16 columns 45 rather than 115).
inline constexpr int32_t kLoopColumns = 4;

/// Whether supernode s of a solve with k right-hand sides goes to BLAS rather than loops.
inline bool solves_with_blas(const Symbolic& S, int32_t s, int32_t k) {
    return k > kLoopColumns && static_cast<double>(k) * S.width(s) * S.nrow(s) > dense::kLoopWork;
}

/// pass<K>(S, s, Ls, k, X) with K = k for k up to kLoopColumns (unrolled), else K = 0.
template <class Pass>
inline void run_loops(Pass&& pass, const Symbolic& S, int32_t s, const double* Ls, int32_t k,
                      double* X) {
    switch (k) {
        case 1: pass.template operator()<1>(S, s, Ls, k, X); break;
        case 2: pass.template operator()<2>(S, s, Ls, k, X); break;
        case 3: pass.template operator()<3>(S, s, Ls, k, X); break;
        case 4: pass.template operator()<4>(S, s, Ls, k, X); break;
        default: pass.template operator()<0>(S, s, Ls, k, X);
    }
}

}  // namespace detail

/// X = L⁻¹ X in place (forward substitution), in the factor's order.
///
///   Symbolic S, const double values[S.stored()]  - the factor L, A[perm][:, perm] = L Lᵀ
///   double X[n x k]  - row-major: row i holds the k values of unknown i
///
/// Cost: k multiply-adds per entry of the factor; workspace S.largest_below k doubles.
inline void forward_in_place(const Symbolic& S, const double* values, const Blas& blas, int32_t k,
                             double* X) {
    std::vector<double> gathered(static_cast<size_t>(S.largest_below) * static_cast<size_t>(k));
    auto loops = []<int K>(const Symbolic& S_, int32_t s, const double* Ls, int32_t k_, double* X_) {
        detail::forward_loops<K>(S_, s, Ls, k_, X_);
    };
    for (int32_t s = 0; s < S.supernodes(); ++s) {
        const double* Ls = values + S.value_ptr[static_cast<size_t>(s)];
        if (!detail::solves_with_blas(S, s, k)) {
            detail::run_loops(loops, S, s, Ls, k, X);
            continue;
        }
        const int32_t f = S.first[static_cast<size_t>(s)], w = S.width(s), r = S.nrow(s), m = r - w;
        const int32_t* below = S.rows_of(s) + w;
        double* Xs = X + static_cast<int64_t>(f) * k;  // k x w, leading dimension k
        blas.trsm_right_lower('T', k, w, Ls, r, Xs, k);
        if (m == 0) continue;
        blas.gemm('N', 'T', k, m, w, 1.0, Xs, k, Ls + w, r, 0.0, gathered.data(), k);
        for (int32_t a = 0; a < m; ++a) {
            double* xa = X + static_cast<int64_t>(below[a]) * k;
            const double* ga = gathered.data() + static_cast<int64_t>(a) * k;
            for (int32_t q = 0; q < k; ++q) xa[q] -= ga[q];
        }
    }
}

/// X = L⁻ᵀ X in place (backward substitution), in the factor's order. For X of independent
/// standard normal values, the result is a sample of N(0, (L Lᵀ)⁻¹).
///
///   Symbolic S, const double values[S.stored()]  - the factor L, A[perm][:, perm] = L Lᵀ
///   double X[n x k]  - row-major: row i holds the k values of unknown i
///
/// Cost: k multiply-adds per entry of the factor; workspace S.largest_below k doubles.
inline void backward_in_place(const Symbolic& S, const double* values, const Blas& blas,
                              int32_t k, double* X) {
    std::vector<double> gathered(static_cast<size_t>(S.largest_below) * static_cast<size_t>(k));
    auto loops = []<int K>(const Symbolic& S_, int32_t s, const double* Ls, int32_t k_, double* X_) {
        detail::backward_loops<K>(S_, s, Ls, k_, X_);
    };
    for (int32_t s = S.supernodes() - 1; s >= 0; --s) {
        const double* Ls = values + S.value_ptr[static_cast<size_t>(s)];
        if (!detail::solves_with_blas(S, s, k)) {
            detail::run_loops(loops, S, s, Ls, k, X);
            continue;
        }
        const int32_t f = S.first[static_cast<size_t>(s)], w = S.width(s), r = S.nrow(s), m = r - w;
        const int32_t* below = S.rows_of(s) + w;
        double* Xs = X + static_cast<int64_t>(f) * k;
        if (m > 0) {
            for (int32_t a = 0; a < m; ++a) {
                const double* xa = X + static_cast<int64_t>(below[a]) * k;
                double* ga = gathered.data() + static_cast<int64_t>(a) * k;
                for (int32_t q = 0; q < k; ++q) ga[q] = xa[q];
            }
            blas.gemm('N', 'N', k, w, m, -1.0, gathered.data(), k, Ls + w, r, 1.0, Xs, k);
        }
        blas.trsm_right_lower('N', k, w, Ls, r, Xs, k);
    }
}

/// X = (L Lᵀ)⁻¹ X in place, in the factor's order.
///
///   Symbolic S, const double values[S.stored()]  - the factor
///   double X[n x k]  - row-major: row i holds the k values of unknown i
///
/// Cost: 2 k multiply-adds per entry of the factor; workspace S.largest_below k doubles.
inline void solve_in_place(const Symbolic& S, const double* values, const Blas& blas, int32_t k,
                           double* X) {
    forward_in_place(S, values, blas, k, X);
    backward_in_place(S, values, blas, k, X);
}

}  // namespace corvid::cholesky

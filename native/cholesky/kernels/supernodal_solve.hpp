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

/// Forward and backward substitution through supernode s with plain loops. The diagonal
/// block's rows are the supernode's own, contiguous in X; the rows below are scattered, so
/// their sums go through T (m x k, m = rows below): each row below is written (forward) or
/// read (backward) once per supernode rather than once per column, and every column of L is
/// read once, in order.
template <int K>
inline void forward_loops(const Symbolic& S, int32_t s, const double* Ls, int32_t k, double* X,
                          double* T) {
    const int32_t f = S.first[static_cast<size_t>(s)], w = S.width(s), r = S.nrow(s), m = r - w;
    const int32_t kk = K > 0 ? K : k;
    double* Xs = X + static_cast<int64_t>(f) * kk;
    for (int32_t c = 0; c < w; ++c) {
        const double* lc = Ls + static_cast<int64_t>(c) * r;
        double* xc = Xs + static_cast<int64_t>(c) * kk;
        for (int32_t q = 0; q < kk; ++q) xc[q] /= lc[c];
        for (int32_t p = c + 1; p < w; ++p)
            subtract_scaled<K>(k, lc[p], xc, Xs + static_cast<int64_t>(p) * kk);
    }
    if (m == 0) return;
    for (int64_t i = 0; i < static_cast<int64_t>(m) * kk; ++i) T[i] = 0.0;
    for (int32_t c = 0; c < w; ++c) {
        const double* lc = Ls + static_cast<int64_t>(c) * r + w;
        const double* xc = Xs + static_cast<int64_t>(c) * kk;
        for (int32_t a = 0; a < m; ++a)
            subtract_scaled<K>(k, -lc[a], xc, T + static_cast<int64_t>(a) * kk);
    }
    const int32_t* below = S.rows_of(s) + w;
    for (int32_t a = 0; a < m; ++a) {
        double* xa = X + static_cast<int64_t>(below[a]) * kk;
        const double* ta = T + static_cast<int64_t>(a) * kk;
        for (int32_t q = 0; q < kk; ++q) xa[q] -= ta[q];
    }
}

template <int K>
inline void backward_loops(const Symbolic& S, int32_t s, const double* Ls, int32_t k, double* X,
                           double* T) {
    const int32_t f = S.first[static_cast<size_t>(s)], w = S.width(s), r = S.nrow(s), m = r - w;
    const int32_t kk = K > 0 ? K : k;
    double* Xs = X + static_cast<int64_t>(f) * kk;
    const int32_t* below = S.rows_of(s) + w;
    for (int32_t a = 0; a < m; ++a) {
        const double* xa = X + static_cast<int64_t>(below[a]) * kk;
        double* ta = T + static_cast<int64_t>(a) * kk;
        for (int32_t q = 0; q < kk; ++q) ta[q] = xa[q];
    }
    for (int32_t c = w - 1; c >= 0; --c) {
        const double* lc = Ls + static_cast<int64_t>(c) * r;
        double* xc = Xs + static_cast<int64_t>(c) * kk;
        for (int32_t a = 0; a < m; ++a)
            subtract_scaled<K>(k, lc[w + a], T + static_cast<int64_t>(a) * kk, xc);
        for (int32_t p = c + 1; p < w; ++p)
            subtract_scaled<K>(k, lc[p], Xs + static_cast<int64_t>(p) * kk, xc);
        for (int32_t q = 0; q < kk; ++q) xc[q] /= lc[c];
    }
}

/// Right-hand sides up to which every block is solved by loops; beyond, blocks big enough go
/// to BLAS (measured on the 55,000-vertex fit matrix with 10⁵ observations, a whole solve:
/// 1 column 8.6 ms by loops and 8.5 by BLAS, 2 columns 12 by loops and 9.3 by BLAS, 4
/// columns 27 and 12).
inline constexpr int32_t kLoopColumns = 1;

/// Whether supernode s of a solve with k right-hand sides goes to BLAS rather than loops.
inline bool solves_with_blas(const Symbolic& S, int32_t s, int32_t k) {
    return k > kLoopColumns && static_cast<double>(k) * S.width(s) * S.nrow(s) > dense::kLoopWork;
}

/// pass<K>(S, s, Ls, k, X, T) with K = k for k up to kLoopColumns (unrolled), else K = 0.
template <class Pass>
inline void run_loops(Pass&& pass, const Symbolic& S, int32_t s, const double* Ls, int32_t k,
                      double* X, double* T) {
    switch (k) {
        case 1: pass.template operator()<1>(S, s, Ls, k, X, T); break;
        case 2: pass.template operator()<2>(S, s, Ls, k, X, T); break;
        case 3: pass.template operator()<3>(S, s, Ls, k, X, T); break;
        case 4: pass.template operator()<4>(S, s, Ls, k, X, T); break;
        default: pass.template operator()<0>(S, s, Ls, k, X, T);
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
    auto loops = []<int K>(const Symbolic& S_, int32_t s, const double* Ls, int32_t k_, double* X_,
                           double* T_) {
        detail::forward_loops<K>(S_, s, Ls, k_, X_, T_);
    };
    for (int32_t s = 0; s < S.supernodes(); ++s) {
        const double* Ls = values + S.value_ptr[static_cast<size_t>(s)];
        if (!detail::solves_with_blas(S, s, k)) {
            detail::run_loops(loops, S, s, Ls, k, X, gathered.data());
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
    auto loops = []<int K>(const Symbolic& S_, int32_t s, const double* Ls, int32_t k_, double* X_,
                           double* T_) {
        detail::backward_loops<K>(S_, s, Ls, k_, X_, T_);
    };
    for (int32_t s = S.supernodes() - 1; s >= 0; --s) {
        const double* Ls = values + S.value_ptr[static_cast<size_t>(s)];
        if (!detail::solves_with_blas(S, s, k)) {
            detail::run_loops(loops, S, s, Ls, k, X, gathered.data());
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

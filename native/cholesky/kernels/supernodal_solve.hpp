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

}  // namespace detail

/// Right-hand sides up to which every block is solved by loops: they read each column of L
/// once, where BLAS would first copy the block into its packed form (measured on the
/// 55,000-vertex fit matrix: 1 column 21.5 ms rather than 24, 16 columns 45 rather than 115).
inline constexpr int32_t kLoopColumns = 4;

/// X = (L Lᵀ)⁻¹ X in place, in the factor's order.
///
///   Symbolic S, const double values[S.stored()]  - the factor
///   double X[n x k]  - row-major: row i holds the k values of unknown i
///
/// Cost: 2 k multiply-adds per entry of the factor; workspace S.largest_below k doubles.
inline void solve_in_place(const Symbolic& S, const double* values, const Blas& blas, int32_t k,
                           double* X) {
    const int32_t count = S.supernodes();
    std::vector<double> gathered(static_cast<size_t>(S.largest_below) * static_cast<size_t>(k));
    auto uses_blas = [&](int32_t s) {
        return k > kLoopColumns && static_cast<double>(k) * S.width(s) * S.nrow(s) > dense::kLoopWork;
    };
    auto loops = [&](auto&& pass, int32_t s, const double* Ls) {
        switch (k) {
            case 1: pass.template operator()<1>(S, s, Ls, k, X); break;
            case 2: pass.template operator()<2>(S, s, Ls, k, X); break;
            case 3: pass.template operator()<3>(S, s, Ls, k, X); break;
            case 4: pass.template operator()<4>(S, s, Ls, k, X); break;
            default: pass.template operator()<0>(S, s, Ls, k, X);
        }
    };
    auto forward = []<int K>(const Symbolic& S_, int32_t s, const double* Ls, int32_t k_, double* X_) {
        detail::forward_loops<K>(S_, s, Ls, k_, X_);
    };
    auto backward = []<int K>(const Symbolic& S_, int32_t s, const double* Ls, int32_t k_, double* X_) {
        detail::backward_loops<K>(S_, s, Ls, k_, X_);
    };
    // Forward: L Y = X.
    for (int32_t s = 0; s < count; ++s) {
        const double* Ls = values + S.value_ptr[static_cast<size_t>(s)];
        if (!uses_blas(s)) {
            loops(forward, s, Ls);
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
    // Backward: Lᵀ X = Y.
    for (int32_t s = count - 1; s >= 0; --s) {
        const double* Ls = values + S.value_ptr[static_cast<size_t>(s)];
        if (!uses_blas(s)) {
            loops(backward, s, Ls);
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

}  // namespace corvid::cholesky

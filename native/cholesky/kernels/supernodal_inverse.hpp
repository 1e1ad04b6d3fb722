/// Selected inversion on a supernodal Cholesky factor: the entries of A⁻¹ on the factor's
/// pattern, by the block form of the Takahashi recursions, BLAS-3 per supernode. Plain C++
/// over raw arrays; no Python.
///
/// With A = L Lᵀ, Σ = A⁻¹ satisfies Σ L = L⁻ᵀ, which is upper triangular. For a supernode
/// with columns S and rows R below it, and Y = L_RS L_SS⁻¹:
///     Σ_RS = -Σ_RR Y,     Σ_SS = L_SS⁻ᵀ L_SS⁻¹ - Yᵀ Σ_RS.
/// Σ_RR lies on the pattern of later supernodes (a supernode's rows below it are rows of its
/// parent, or the parent's columns), so supernodes taken from the last to the first find
/// everything they read. Σ is written straight into the packed lower triangle that is the
/// result, and read back from there.
#pragma once

#include "cholesky/kernels/blas.hpp"
#include "cholesky/kernels/symbolic.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace corvid::cholesky {

/// The doubles of workspace `selected_inverse` needs.
inline size_t inverse_workspace(const Symbolic& S) {
    const auto below = static_cast<size_t>(S.largest_below);
    const auto width = static_cast<size_t>(S.largest_width);
    return below * below + 2 * below * width + width * width;
}

namespace detail {

/// The place of `row` in rows[from .. to) (ascending, known to hold it), by a galloping
/// search from `from`: cheap when consecutive lookups land close together.
inline int32_t find_row(const int32_t* rows, int32_t from, int32_t to, int32_t row) {
    int32_t step = 1, hi = from;
    while (hi < to && rows[hi] < row) {
        from = hi + 1;
        hi += step;
        step *= 2;
    }
    hi = std::min(hi, to - 1);
    return static_cast<int32_t>(std::lower_bound(rows + from, rows + hi + 1, row) - rows);
}

}  // namespace detail

/// Σ on the factor's pattern.
///
///   Symbolic S, const double values[S.stored()]  - the factor L (numeric)
///   double sigma[S.entries()]  - output: Σ's lower triangle on L's pattern, packed column
///                                by column (S.packed_column)
///   double work[inverse_workspace(S)]  - workspace
///
/// Cost: about twice the factorisation's; workspace S.largest_below integers besides `work`.
inline void selected_inverse(const Symbolic& S, const double* values, const Blas& blas,
                             double* sigma, double* work) {
    const auto below_size = static_cast<size_t>(S.largest_below);
    const auto width_size = static_cast<size_t>(S.largest_width);
    double* G = work;                                // Σ_RR, m x m
    double* Y = G + below_size * below_size;         // L_RS L_SS⁻¹, m x w
    double* T = Y + below_size * width_size;         // Σ_RS, m x w
    double* Z = T + below_size * width_size;         // Σ_SS, w x w
    std::vector<int32_t> place(below_size);

    for (int32_t s = S.supernodes() - 1; s >= 0; --s) {
        const int32_t w = S.width(s), r = S.nrow(s), m = r - w;
        const int32_t* R = S.rows_of(s) + w;
        const double* Ls = values + S.value_ptr[static_cast<size_t>(s)];

        // Σ_SS starts as (L_SS L_SSᵀ)⁻¹. Its upper triangle is not used, but is zeroed:
        // the product below runs over it, and must not meet stale values of any kind.
        for (int32_t c = 0; c < w; ++c) {
            double* z = Z + static_cast<int64_t>(c) * w;
            std::fill(z, z + c, 0.0);
            std::memcpy(z + c, Ls + c + static_cast<int64_t>(c) * r,
                        static_cast<size_t>(w - c) * sizeof(double));
        }
        blas.potri_lower(w, Z, w);

        if (m > 0) {
            // Y = L_RS L_SS⁻¹
            for (int32_t c = 0; c < w; ++c)
                std::memcpy(Y + static_cast<int64_t>(c) * m, Ls + w + static_cast<int64_t>(c) * r,
                            static_cast<size_t>(m) * sizeof(double));
            blas.trsm_right_lower('N', m, w, Ls, r, Y, m);

            // G = Σ_RR (lower triangle), gathered run by run: the rows of R that are columns
            // of one later supernode t, read from t's packed columns.
            for (int32_t b = 0; b < m;) {
                const int32_t t = S.super_of[static_cast<size_t>(R[b])];
                const int32_t ft = S.first[static_cast<size_t>(t)], lt = S.last(t), rt = S.nrow(t);
                const int32_t* rows_t = S.rows_of(t);
                int32_t b_end = b;
                while (b_end < m && R[b_end] <= lt) ++b_end;
                for (int32_t a = b; a < b_end; ++a) place[static_cast<size_t>(a)] = R[a] - ft;
                int32_t from = lt - ft + 1;
                for (int32_t a = b_end; a < m; ++a) {
                    from = detail::find_row(rows_t, from, rt, R[a]);
                    place[static_cast<size_t>(a)] = from;
                }
                for (int32_t c = b; c < b_end; ++c) {
                    const int32_t ct = R[c] - ft;
                    const double* column = sigma + S.packed_column(t, ct) - ct;
                    double* g = G + static_cast<int64_t>(c) * m;
                    for (int32_t a = c; a < m; ++a) g[a] = column[place[static_cast<size_t>(a)]];
                }
                b = b_end;
            }

            // Σ_RS = -G Y; Σ_SS -= Yᵀ Σ_RS.
            blas.symm_left_lower(m, w, -1.0, G, m, Y, m, 0.0, T, m);
            blas.gemm('T', 'N', w, w, m, -1.0, Y, m, T, m, 1.0, Z, w);
        }

        for (int32_t c = 0; c < w; ++c) {
            double* column = sigma + S.packed_column(s, c);
            std::memcpy(column, Z + c + static_cast<int64_t>(c) * w,
                        static_cast<size_t>(w - c) * sizeof(double));
            if (m > 0)
                std::memcpy(column + (w - c), T + static_cast<int64_t>(c) * m,
                            static_cast<size_t>(m) * sizeof(double));
        }
    }
}

}  // namespace corvid::cholesky

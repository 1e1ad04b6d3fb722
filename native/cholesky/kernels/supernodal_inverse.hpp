/// Selected inversion on a supernodal Cholesky factor: the entries of A⁻¹ on the factor's
/// pattern, by the block form of the Takahashi recursions, BLAS-3 per supernode. Plain C++
/// over raw arrays; no Python.
///
/// With A = L Lᵀ, Σ = A⁻¹ satisfies Σ L = L⁻ᵀ, which is upper triangular. For a supernode
/// with columns S and rows R below it, W = L_SS⁻¹ and Y = L_RS W:
///     Σ_RS = -Σ_RR Y,     Σ_SS = Wᵀ W - Yᵀ Σ_RS.
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

/// G = Σ_RR for the rows R[m] below supernode s, gathered run by run (the rows of R that
/// are columns of one later supernode t, read from t's packed columns): the lower triangle,
/// or with `both` the whole of it. `place` is workspace of m integers.
inline void gather_below(const Symbolic& S, const int32_t* R, int32_t m, const double* sigma,
                         bool both, int32_t* place, double* G) {
    for (int32_t b = 0; b < m;) {
        const int32_t t = S.super_of[static_cast<size_t>(R[b])];
        const int32_t ft = S.first[static_cast<size_t>(t)], lt = S.last(t), rt = S.nrow(t);
        const int32_t* rows_t = S.rows_of(t);
        int32_t b_end = b;
        while (b_end < m && R[b_end] <= lt) ++b_end;
        for (int32_t a = b; a < b_end; ++a) place[a] = R[a] - ft;
        int32_t from = lt - ft + 1;
        for (int32_t a = b_end; a < m; ++a) place[a] = from = find_row(rows_t, from, rt, R[a]);
        for (int32_t c = b; c < b_end; ++c) {
            const int32_t ct = R[c] - ft;
            const double* column = sigma + S.packed_column(t, ct) - ct;
            double* g = G + static_cast<int64_t>(c) * m;
            for (int32_t a = c; a < m; ++a) g[a] = column[place[a]];
            if (both)
                for (int32_t a = c + 1; a < m; ++a) G[c + static_cast<int64_t>(a) * m] = g[a];
        }
        b = b_end;
    }
}

/// Z = Σ_SS (w x w, lower triangle) and T = Σ_RS (m x w) of one supernode by BLAS and
/// LAPACK, from its block of L (leading dimension r = w + m) and G = Σ_RR (lower triangle).
/// Y is workspace of m x w; Z's upper triangle ends up unspecified.
inline void inverse_block_blas(const Blas& blas, int32_t w, int32_t m, const double* Ls,
                               const double* G, double* Y, double* T, double* Z) {
    const int32_t r = w + m;
    // W = L_SS⁻¹ in Z; its upper triangle is zeroed: the product below runs over it, and
    // must not meet stale values of any kind.
    for (int32_t c = 0; c < w; ++c) {
        double* z = Z + static_cast<int64_t>(c) * w;
        std::fill(z, z + c, 0.0);
        std::memcpy(z + c, Ls + c + static_cast<int64_t>(c) * r, static_cast<size_t>(w - c) * sizeof(double));
    }
    blas.trtri_lower(w, Z, w);
    if (m > 0) {  // Y = L_RS W: a triangular product, faster than solving with L_SS
        for (int32_t c = 0; c < w; ++c)
            std::memcpy(Y + static_cast<int64_t>(c) * m, Ls + w + static_cast<int64_t>(c) * r,
                        static_cast<size_t>(m) * sizeof(double));
        blas.trmm_right_lower(m, w, Z, w, Y, m);
    }
    blas.lauum_lower(w, Z, w);  // Wᵀ W = (L_SS L_SSᵀ)⁻¹
    if (m == 0) return;
    blas.symm_left_lower(m, w, -1.0, G, m, Y, m, 0.0, T, m);
    // Z -= Yᵀ T on the lower triangle only, a panel of columns at a time: for wide blocks
    // nearly half the product's work.
    constexpr int32_t kPanel = 64;
    for (int32_t j = 0; j < w; j += kPanel) {
        const int32_t width = std::min(kPanel, w - j);
        blas.gemm('T', 'N', w - j, width, m, -1.0, Y + static_cast<int64_t>(j) * m, m,
                  T + static_cast<int64_t>(j) * m, m, 1.0, Z + j + static_cast<int64_t>(j) * w, w);
    }
}

/// The same by plain loops, for blocks too small to repay the calls; G holds both
/// triangles. W (w x w) is workspace besides Y.
inline void inverse_block_loops(int32_t w, int32_t m, const double* Ls, const double* G,
                                double* W, double* Y, double* T, double* Z) {
    const int32_t r = w + m;
    auto L = [&](int32_t i, int32_t j) { return Ls[i + static_cast<int64_t>(j) * r]; };
    // W = L_SS⁻¹, column by column: W[i, j] = -(Σ_{j<=k<i} L[i, k] W[k, j]) / L[i, i].
    for (int32_t j = 0; j < w; ++j) {
        double* wj = W + static_cast<int64_t>(j) * w;
        wj[j] = 1.0 / L(j, j);
        for (int32_t i = j + 1; i < w; ++i) {
            double sum = 0.0;
            for (int32_t k = j; k < i; ++k) sum += L(i, k) * wj[k];
            wj[i] = -sum / L(i, i);
        }
    }
    // Y = L_RS W
    for (int32_t c = 0; c < w; ++c) {
        double* y = Y + static_cast<int64_t>(c) * m;
        std::fill(y, y + m, 0.0);
        for (int32_t k = c; k < w; ++k) {
            const double wkc = W[k + static_cast<int64_t>(c) * w];
            const double* lk = Ls + w + static_cast<int64_t>(k) * r;
            for (int32_t a = 0; a < m; ++a) y[a] += lk[a] * wkc;
        }
    }
    // T = -G Y
    for (int32_t c = 0; c < w; ++c) {
        double* t = T + static_cast<int64_t>(c) * m;
        const double* y = Y + static_cast<int64_t>(c) * m;
        std::fill(t, t + m, 0.0);
        for (int32_t b = 0; b < m; ++b) {
            const double* g = G + static_cast<int64_t>(b) * m;
            const double yb = y[b];
            for (int32_t a = 0; a < m; ++a) t[a] -= g[a] * yb;
        }
    }
    // Z = Wᵀ W - Yᵀ T, lower triangle
    for (int32_t j = 0; j < w; ++j)
        for (int32_t i = j; i < w; ++i) {
            double sum = 0.0;
            for (int32_t k = i; k < w; ++k) sum += W[k + static_cast<int64_t>(i) * w] * W[k + static_cast<int64_t>(j) * w];
            const double* yi = Y + static_cast<int64_t>(i) * m;
            const double* tj = T + static_cast<int64_t>(j) * m;
            double cross = 0.0;
            for (int32_t a = 0; a < m; ++a) cross += yi[a] * tj[a];
            Z[i + static_cast<int64_t>(j) * w] = sum - cross;
        }
}

}  // namespace detail

/// The doubles of workspace `selected_inverse` needs.
inline size_t inverse_workspace(const Symbolic& S) {
    const auto below = static_cast<size_t>(S.largest_below);
    const auto width = static_cast<size_t>(S.largest_width);
    return below * below + 2 * below * width + 2 * width * width;
}

/// Work (multiply-adds) below which a supernode's block runs as plain loops.
inline constexpr double kInverseLoopWork = 1024.0;

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
    double* W = Z + width_size * width_size;         // L_SS⁻¹, w x w
    std::vector<int32_t> place(below_size);

    for (int32_t s = S.supernodes() - 1; s >= 0; --s) {
        const int32_t w = S.width(s), r = S.nrow(s), m = r - w;
        const double* Ls = values + S.value_ptr[static_cast<size_t>(s)];
        const double work_here = static_cast<double>(w) * (static_cast<double>(m) * m +
                                                           static_cast<double>(w) * (m + w));
        const bool loops = work_here <= kInverseLoopWork;
        detail::gather_below(S, S.rows_of(s) + w, m, sigma, loops, place.data(), G);
        if (loops) detail::inverse_block_loops(w, m, Ls, G, W, Y, T, Z);
        else detail::inverse_block_blas(blas, w, m, Ls, G, Y, T, Z);
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

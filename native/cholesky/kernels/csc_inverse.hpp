/// Selected inversion: the entries of A⁻¹ on the pattern of the factor A = L D Lᵀ of a sparse
/// symmetric positive definite matrix, by the Takahashi recursions (Takahashi, Fagan and Chen
/// 1973), worked a supernode at a time. Plain C++ over raw arrays; no Python.
///
/// For a supernode with columns S and rows R below it (L's rows in those columns), with
/// X = L_RS L_SS⁻¹:
///     Σ_RS = -Σ_RR X,     Σ_SS = (L_SS D_S L_SSᵀ)⁻¹ - Xᵀ Σ_RS.
/// Σ_RR lies on the pattern of later columns when the pattern is closed (factor_pattern.hpp),
/// so supernodes taken from the last to the first find everything they read.
#pragma once

#include "cholesky/kernels/dense_blocks.hpp"
#include "cholesky/kernels/factor_pattern.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvid::selinv {

/// Fills `sigma` with A⁻¹ on L's pattern: sigma[k] = (A⁻¹)[indices[k], j] for the column j
/// holding position k.
///
///   Pattern L                 - closed (see factor_pattern.hpp); `check_structure` passed
///   const double values[nnz]  - L's values on that pattern; the diagonal is taken as 1
///   const double d[n]         - D's diagonal
///   double       sigma[nnz]   - output
///
/// Throws std::domain_error when some d[j] is not positive and finite (A is then not positive
/// definite, or the factor is not of one), std::invalid_argument when the pattern turns out
/// not to be closed. Cost: about Σ_j |column j|² multiply-adds, as the factorization itself;
/// workspace |R|² + 3 |R| |S| + 3 |S|² doubles for the largest supernode.
template <class I>
void selected_inverse(const Pattern<I>& L, const double* values, const double* d, double* sigma) {
    for (size_t j = 0; j < L.n; ++j) {
        if (d[j] > 0.0 && std::isfinite(d[j])) continue;
        char value[32];
        std::snprintf(value, sizeof value, "%.17g", d[j]);
        throw std::domain_error("factor pivot " + std::to_string(j) + " is " + value +
                                ": the matrix is not positive definite");
    }
    const std::vector<size_t> starts = supernodes(L);
    std::vector<size_t> supernode_of(L.n);
    for (size_t s = 0; s + 1 < starts.size(); ++s)
        for (size_t j = starts[s]; j < starts[s + 1]; ++j) supernode_of[j] = s;

    std::vector<double> G, X, B, Y, Lss, Z, XY;
    std::vector<int64_t> where;
    for (size_t s = starts.size() - 1; s-- > 0;) {
        const size_t f = starts[s], l = starts[s + 1] - 1, w = l - f + 1;
        const I* R = L.indices + L.begin(l) + 1;  // the rows below the supernode
        const auto m = static_cast<size_t>(L.count(l) - 1);

        // Σ_RR, gathered run by run: the rows of R that are columns of one later supernode T
        G.resize(m * m);  // every entry is written below
        where.resize(m);
        for (size_t b = 0; b < m;) {
            const auto first = static_cast<size_t>(R[b]);
            const size_t t = supernode_of[first], t_last = starts[t + 1] - 1;
            size_t b_end = b;
            while (b_end < m && static_cast<size_t>(R[b_end]) <= t_last) ++b_end;
            // rows of R past the run are rows below T: their places among T's rows
            const I* RT = L.indices + L.begin(t_last) + 1;
            const int64_t mt = L.count(t_last) - 1;
            int64_t k = 0;
            for (size_t a = b_end; a < m; ++a) {
                while (k < mt && RT[k] < R[a]) ++k;
                if (k == mt || RT[k] != R[a])
                    throw std::invalid_argument("factor pattern is not closed at column " +
                                                std::to_string(first));
                where[a] = k;
            }
            for (size_t c = b; c < b_end; ++c) {
                const auto col = static_cast<size_t>(R[c]);
                const double* column = sigma + L.begin(col);
                const double* below = column + (t_last - col + 1);
                double* g = G.data() + c * m;
                for (size_t a = c; a < b_end; ++a) g[a] = column[static_cast<size_t>(R[a]) - col];
                for (size_t a = b_end; a < m; ++a) g[a] = below[where[a]];
            }
            b = b_end;
        }
        for (size_t c = 0; c < m; ++c)
            for (size_t a = c + 1; a < m; ++a) G[a * m + c] = G[c * m + a];

        // L_SS and L_RS of the supernode, dense
        Lss.assign(w * w, 0.0);
        B.resize(m * w);
        for (size_t c = 0; c < w; ++c) {
            const double* column = values + L.begin(f + c);
            for (size_t r = c + 1; r < w; ++r) Lss[c * w + r] = column[r - c];
            for (size_t a = 0; a < m; ++a) B[c * m + a] = column[w - c + a];
        }
        X.resize(m * w);
        Y.resize(m * w);
        Z.resize(w * w);
        XY.resize(w * w);
        dense::solve_unit_lower_right(m, w, Lss.data(), B.data(), X.data());
        // G is symmetric: Gᵀ X = G X.
        dense::cross_product(m, m, w, G.data(), X.data(), -1.0, false, Y.data());
        dense::inverse_of_factored(w, Lss.data(), d + f, Z.data());
        dense::cross_product(m, w, w, X.data(), Y.data(), 1.0, true, XY.data());

        for (size_t c = 0; c < w; ++c) {
            double* column = sigma + L.begin(f + c);
            const double* yc = Y.data() + c * m;
            for (size_t r = c; r < w; ++r) column[r - c] = Z[c * w + r] - XY[c * w + r];
            for (size_t a = 0; a < m; ++a) column[w - c + a] = yc[a];
        }
    }
}

}  // namespace corvid::selinv

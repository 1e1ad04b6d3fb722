/// The finite-element products of the PC-Matérn model: G C⁻¹ G, and the precision
/// tau² (kappa⁴ C + 2 kappa² G + G C⁻¹ G), for a CSR stiffness matrix G and a lumped mass
/// diagonal C. Plain C++ over raw arrays; no Python.
///
/// The results equal SciPy's `G @ diags(1/c0) @ G` and the sums of the model's expression
/// entry for entry: the products accumulate in the order of SciPy's csr_matmat (each row's
/// terms in reverse order of first appearance), and exact zeros are dropped wherever SciPy's
/// products and sums drop them. Only the column order differs: rows come out sorted.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvid::gfield::fem {

/// A square CSR matrix of order n.
///
///   I indptr[n + 1], indices[nnz] - 0-based, checked with `csr_is_valid`
///   double data[nnz]
template <class I>
struct Csr {
    size_t n;
    const I* indptr;
    const I* indices;
    const double* data;
};

/// True when the row pointers are non-decreasing within [0, nnz] and every column index lies
/// in [0, n): the kernels below then stay inside the arrays.
template <class I>
bool csr_is_valid(const Csr<I>& g, size_t nnz) {
    if (g.indptr[0] < 0) return false;
    for (size_t i = 0; i < g.n; ++i)
        if (g.indptr[i + 1] < g.indptr[i]) return false;
    if (static_cast<uint64_t>(g.indptr[g.n]) > nnz) return false;
    for (size_t k = static_cast<size_t>(g.indptr[0]); k < static_cast<size_t>(g.indptr[g.n]); ++k)
        if (g.indices[k] < 0 || static_cast<uint64_t>(g.indices[k]) >= g.n) return false;
    return true;
}

/// An upper bound of the stored entries of G C⁻¹ G (plus G and the diagonal when
/// `with_g`): the sum over rows of the lengths of the rows they reach, capped at n per row.
template <class I>
uint64_t product_capacity(const Csr<I>& g, bool with_g) {
    uint64_t total = 0;
    for (size_t i = 0; i < g.n; ++i) {
        uint64_t row = with_g ? static_cast<uint64_t>(g.indptr[i + 1] - g.indptr[i]) + 1 : 0;
        for (I p = g.indptr[i]; p < g.indptr[i + 1]; ++p) {
            size_t k = static_cast<size_t>(g.indices[p]);
            row += static_cast<uint64_t>(g.indptr[k + 1] - g.indptr[k]);
        }
        total += std::min<uint64_t>(row, g.n);
    }
    return total;
}

/// The scalars of the precision's expression, each computed as the model computes it.
struct Combination {
    double kappa4;       ///< kappa**4, scaling C
    double two_kappa2;   ///< 2.0 * kappa**2, scaling G
    double tau2;         ///< tau**2, scaling the sum
};

/// True where NumPy's elementwise x * y would warn (overflow, or an invalid inf * 0).
inline bool product_warns(double x, double y, double r) {
    if (std::isnan(r)) return !std::isnan(x) && !std::isnan(y);
    return std::isinf(r) && std::isfinite(x) && std::isfinite(y);
}

/// Output of `gcinvg`: CSR arrays with sorted column indices, filled in place.
///
///   J indptr[n + 1], indices[capacity]; double data[capacity]  (from `product_capacity`)
template <class J>
struct CsrOut {
    J* indptr;
    J* indices;
    double* data;
};

/// Fills `out` with G C⁻¹ G, or with the precision when `combo` is given, and returns the
/// number of stored entries. Returns -1 (leaving `out` unspecified) where NumPy's part of the
/// expression (1/c0, the scalings) would warn, so the caller can evaluate the expression itself.
/// Cost: one pass over the rows with dense accumulators of length n; O(sum over rows of the
/// reached row lengths) plus a small sort per row.
template <class I, class J>
int64_t gcinvg(const Csr<I>& g, const double* c0, const Combination* combo, CsrOut<J> out) {
    const size_t n = g.n;
    std::vector<double> c_inv(n);
    for (size_t k = 0; k < n; ++k) {
        c_inv[k] = 1.0 / c0[k];
        if (c0[k] == 0.0 || (std::isinf(c_inv[k]) && std::isfinite(c0[k]))) return -1;
    }
    // Linked lists through `next` record each row's columns in order of first appearance,
    // as csr_matmat does; -1 marks a column not in the current row.
    constexpr int64_t kUnused = -1, kEnd = -2;
    std::vector<int64_t> next_gd(n, kUnused), next_gg(n, kUnused);
    std::vector<double> sum_gd(n, 0.0), sum_gg(n, 0.0), scaled_g(n, 0.0);
    std::vector<int64_t> seen(n, -1);  // row stamp of the columns in the output row
    std::vector<size_t> columns;

    int64_t nnz = 0;
    out.indptr[0] = 0;
    for (size_t i = 0; i < n; ++i) {
        // Row i of G C⁻¹: the products g_ik / c0_k (SciPy drops the C⁻¹ entries that are 0).
        int64_t head = kEnd;
        for (I p = g.indptr[i]; p < g.indptr[i + 1]; ++p) {
            size_t k = static_cast<size_t>(g.indices[p]);
            if (c_inv[k] == 0.0) continue;
            sum_gd[k] += g.data[p] * c_inv[k];
            if (next_gd[k] == kUnused) {
                next_gd[k] = head;
                head = static_cast<int64_t>(k);
            }
        }
        // Row i of (G C⁻¹) G, walking the first product's entries in its stored order.
        int64_t head_gg = kEnd;
        while (head != kEnd) {
            size_t k = static_cast<size_t>(head);
            double w = sum_gd[k];
            head = next_gd[k];
            next_gd[k] = kUnused;
            sum_gd[k] = 0.0;
            if (w == 0.0) continue;
            for (I p = g.indptr[k]; p < g.indptr[k + 1]; ++p) {
                size_t j = static_cast<size_t>(g.indices[p]);
                sum_gg[j] += w * g.data[p];
                if (next_gg[j] == kUnused) {
                    next_gg[j] = head_gg;
                    head_gg = static_cast<int64_t>(j);
                }
            }
        }
        columns.clear();
        for (int64_t j = head_gg; j != kEnd; j = next_gg[static_cast<size_t>(j)]) {
            if (combo) seen[static_cast<size_t>(j)] = static_cast<int64_t>(i);
            columns.push_back(static_cast<size_t>(j));
        }
        double diagonal = 0.0;
        if (combo) {
            diagonal = combo->kappa4 * c0[i];
            if (product_warns(combo->kappa4, c0[i], diagonal)) return -1;
            for (I p = g.indptr[i]; p < g.indptr[i + 1]; ++p) {
                size_t j = static_cast<size_t>(g.indices[p]);
                double term = combo->two_kappa2 * g.data[p];
                if (product_warns(combo->two_kappa2, g.data[p], term)) return -1;
                scaled_g[j] += term;
                if (seen[j] != static_cast<int64_t>(i)) {
                    seen[j] = static_cast<int64_t>(i);
                    columns.push_back(j);
                }
            }
            if (seen[i] != static_cast<int64_t>(i)) {
                seen[i] = static_cast<int64_t>(i);
                columns.push_back(i);
            }
        }
        std::sort(columns.begin(), columns.end());
        for (size_t j : columns) {
            double value = sum_gg[j];
            sum_gg[j] = 0.0;
            next_gg[j] = kUnused;
            if (combo) {
                // (kappa⁴ C + 2 kappa² G) + G C⁻¹ G, then scaled by tau²; a zero that a sum
                // dropped on the way reads as the 0 it was.
                double first = (j == i ? diagonal : 0.0) + scaled_g[j];
                scaled_g[j] = 0.0;
                double sum = first + value;
                if (sum == 0.0) continue;
                value = combo->tau2 * sum;
                if (product_warns(combo->tau2, sum, value)) return -1;
            } else if (value == 0.0) {
                continue;
            }
            out.indices[nnz] = static_cast<J>(j);
            out.data[nnz] = value;
            ++nnz;
        }
        out.indptr[i + 1] = static_cast<J>(nnz);
    }
    return nnz;
}

}  // namespace corvid::gfield::fem

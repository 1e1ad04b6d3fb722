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
#include <optional>
#include <vector>

namespace corvid::gfield::model {

/// A square CSR matrix of order n.
///
///   I indptr[n + 1], indices[nnz] - 0-based, checked by `product_capacity`; the kernels
///                                  read them again, so they must not change in between
///   double data[nnz]
template <class I>
struct Csr {
    size_t n;
    const I* indptr;
    const I* indices;
    const double* data;
};

/// True when a compressed structure stays inside its arrays and shape: the pointers
/// `indptr[0..outer]` are non-decreasing within [0, nnz] and every index before `indptr[outer]`
/// lies in [0, inner). SciPy's own sparse products read and write out of bounds otherwise.
template <class P, class I>
bool structure_fits(const P* indptr, size_t outer, const I* indices, size_t nnz, size_t inner) {
    if (indptr[0] < 0) return false;
    for (size_t i = 0; i < outer; ++i)
        if (indptr[i + 1] < indptr[i]) return false;
    if (static_cast<uint64_t>(indptr[outer]) > nnz) return false;
    for (P p = indptr[0]; p < indptr[outer]; ++p)
        if (indices[p] < 0 || static_cast<uint64_t>(indices[p]) >= inner) return false;
    return true;
}

/// True when every one of `indices[0..count)` lies in [0, bound).
template <class I>
bool indices_below(const I* indices, size_t count, size_t bound) {
    for (size_t k = 0; k < count; ++k)
        if (indices[k] < 0 || static_cast<uint64_t>(indices[k]) >= bound) return false;
    return true;
}

/// Returns an upper bound of the stored entries of G C⁻¹ G (plus G and the diagonal when
/// `with_g`): the sum over rows of the lengths of the rows they reach, capped at n per row.
/// Returns nothing for a G whose structure does not fit (see `structure_fits`).
template <class I>
std::optional<uint64_t> product_capacity(const Csr<I>& g, size_t nnz, bool with_g) {
    if (!structure_fits(g.indptr, g.n, g.indices, nnz, g.n)) return std::nullopt;
    uint64_t total = 0;
    for (size_t i = 0; i < g.n; ++i) {
        uint64_t row = with_g ? static_cast<uint64_t>(g.indptr[i + 1] - g.indptr[i]) + 1 : 0;
        for (I p = g.indptr[i]; p < g.indptr[i + 1]; ++p) {
            I k = g.indices[p];
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
    if (std::isfinite(r)) [[likely]] return false;
    if (std::isnan(r)) return !std::isnan(x) && !std::isnan(y);
    return std::isfinite(x) && std::isfinite(y);
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

/// Sorts the column indices of one row. They arrive as ascending runs in descending order of
/// the rows they came from, so reversed they are nearly ascending: insertion sort is quick on
/// the few columns of a mesh row; std::sort takes longer rows.
template <class I>
void sort_columns(I* columns, size_t count) {
    if (count > 64) return std::sort(columns, columns + count);
    std::reverse(columns, columns + count);
    for (size_t a = 1; a < count; ++a) {
        I value = columns[a];
        size_t b = a;
        for (; b > 0 && columns[b - 1] > value; --b) columns[b] = columns[b - 1];
        columns[b] = value;
    }
}

/// Fills `out` with G C⁻¹ G, or with the precision when `combo` is given, and returns the
/// number of stored entries. Returns -1 (leaving `out` unspecified) where NumPy's part of the
/// expression (1/c0, the scalings) would warn, so the caller can evaluate the expression itself.
///
/// Row i of G C⁻¹ is accumulated first; its columns k, visited in reverse order of first
/// appearance (csr_matmat's order), then accumulate w_k · (row k of G) into row i of the
/// product. Cost: the sum over rows of the reached row lengths, plus a short sort per row;
/// dense accumulators of length n.
/// Kept out of line: inlined into the glue's caller it measured about a tenth slower.
template <bool kCombined, class I, class J>
[[gnu::noinline]] int64_t gcinvg_rows(const Csr<I>& g, const double* c0, const Combination* combo, CsrOut<J> out) {
    const size_t n = g.n;
    std::vector<double> c_inv_store(n);
    for (size_t k = 0; k < n; ++k) {
        c_inv_store[k] = 1.0 / c0[k];
        if (c0[k] == 0.0 || (std::isinf(c_inv_store[k]) && std::isfinite(c0[k]))) return -1;
    }
    // stamp[k] == i marks column k as present in row i; sums start and end at 0.
    std::vector<I> stamp_gd_store(n, -1), stamp_store(n, -1), gd_store(n), columns_store(n);
    std::vector<double> sum_gd_store(n, 0.0), sum_store(n, 0.0), scaled_store(kCombined ? n : 0, 0.0);
    const I* __restrict gp = g.indptr;
    const I* __restrict gj = g.indices;
    const double* __restrict gx = g.data;
    const double* __restrict c_inv = c_inv_store.data();
    I* __restrict stamp_gd = stamp_gd_store.data();
    I* __restrict stamp = stamp_store.data();
    I* __restrict gd_columns = gd_store.data();
    I* __restrict columns = columns_store.data();
    double* __restrict sum_gd = sum_gd_store.data();
    double* __restrict sum = sum_store.data();
    double* __restrict scaled = scaled_store.data();

    int64_t nnz = 0;
    out.indptr[0] = 0;
    for (size_t i = 0; i < n; ++i) {
        const I row = static_cast<I>(i);
        // Row i of G C⁻¹: the products g_ik / c0_k (SciPy drops the C⁻¹ entries that are 0).
        size_t n_gd = 0;
        for (I p = gp[i]; p < gp[i + 1]; ++p) {
            I k = gj[p];
            if (c_inv[k] == 0.0) continue;
            sum_gd[k] += gx[p] * c_inv[k];
            if (stamp_gd[k] != row) {
                stamp_gd[k] = row;
                gd_columns[n_gd++] = k;
            }
        }
        // Row i of (G C⁻¹) G; SciPy drops the zeros of G C⁻¹ before multiplying.
        size_t n_columns = 0;
        for (size_t a = n_gd; a-- > 0;) {
            I k = gd_columns[a];
            double w = sum_gd[k];
            sum_gd[k] = 0.0;
            if (w == 0.0) continue;
            for (I p = gp[k]; p < gp[k + 1]; ++p) {
                I j = gj[p];
                sum[j] += w * gx[p];
                if (stamp[j] != row) {
                    stamp[j] = row;
                    columns[n_columns++] = j;
                }
            }
        }
        double diagonal = 0.0;
        if constexpr (kCombined) {
            diagonal = combo->kappa4 * c0[i];
            if (product_warns(combo->kappa4, c0[i], diagonal)) return -1;
            for (I p = gp[i]; p < gp[i + 1]; ++p) {
                I j = gj[p];
                double term = combo->two_kappa2 * gx[p];
                if (product_warns(combo->two_kappa2, gx[p], term)) return -1;
                scaled[j] += term;
                if (stamp[j] != row) {
                    stamp[j] = row;
                    columns[n_columns++] = j;
                }
            }
            if (stamp[i] != row) {
                stamp[i] = row;
                columns[n_columns++] = row;
            }
        }
        sort_columns(columns, n_columns);
        for (size_t a = 0; a < n_columns; ++a) {
            I j = columns[a];
            double value = sum[j];
            sum[j] = 0.0;
            if constexpr (kCombined) {
                // (kappa⁴ C + 2 kappa² G) + G C⁻¹ G, then scaled by tau²; a zero that a sum
                // dropped on the way reads as the 0 it was.
                double first = (j == row ? diagonal : 0.0) + scaled[j];
                scaled[j] = 0.0;
                double total = first + value;
                if (total == 0.0) continue;
                value = combo->tau2 * total;
                if (product_warns(combo->tau2, total, value)) return -1;
            } else {
                if (value == 0.0) continue;
            }
            out.indices[nnz] = static_cast<J>(j);
            out.data[nnz] = value;
            ++nnz;
        }
        out.indptr[i + 1] = static_cast<J>(nnz);
    }
    return nnz;
}

template <class I, class J>
int64_t gcinvg(const Csr<I>& g, const double* c0, const Combination* combo, CsrOut<J> out) {
    return combo ? gcinvg_rows<true>(g, c0, combo, out) : gcinvg_rows<false>(g, c0, combo, out);
}

}  // namespace corvid::gfield::model

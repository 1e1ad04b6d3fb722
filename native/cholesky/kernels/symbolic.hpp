/// The symbolic analysis of a supernodal Cholesky factorisation, made once per pattern and
/// ordering: the elimination tree, the column counts, the supernodes with their rows, and the
/// factor's size, all before any numeric work. Plain C++ over raw arrays; no Python.
///
/// The factor is stored a supernode at a time: supernode s (columns first .. first + w - 1)
/// is a dense column-major block of nrow x w values, its rows being its own w columns and
/// then the nrow - w rows below it, ascending. The block's upper triangle is not used.
#pragma once

#include "cholesky/kernels/buffer_pool.hpp"
#include "cholesky/kernels/elimination_tree.hpp"
#include "cholesky/kernels/pattern.hpp"
#include "cholesky/kernels/supernodes.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvid::cholesky {

/// What the first phase finds: the ordering, the tree and the supernodes with their sizes.
struct Plan {
    std::vector<int32_t> perm, where;   ///< column j of the factor is column perm[j] of A
    std::vector<int32_t> parent;        ///< the elimination tree, in the factor's order
    std::vector<int32_t> counts;        ///< column counts of the factor
    std::vector<int32_t> starts;        ///< first column of each supernode, then n
    std::vector<int64_t> rows;          ///< rows of each supernode, its own columns included

    int32_t supernodes() const { return static_cast<int32_t>(starts.size()) - 1; }
    int64_t row_entries() const {
        int64_t total = 0;
        for (int64_t r : rows) total += r;
        return total;
    }
};

/// The symbolic factor: everything the numeric phases need, immutable once made.
struct Symbolic {
    int32_t n = 0;
    std::vector<int32_t> perm, where;  ///< as in Plan
    std::vector<int32_t> first;        ///< first column of each supernode, then n
    std::vector<int32_t> super_of;     ///< the supernode holding each column
    std::vector<int64_t> row_ptr;      ///< supernode s's rows: rows[row_ptr[s] .. row_ptr[s+1])
    std::vector<int32_t> rows;
    std::vector<int64_t> value_ptr;    ///< supernode s's block: values[value_ptr[s] ..)
    std::vector<int64_t> packed_ptr;   ///< supernode s's columns in the packed lower
                                       ///< triangle (compressed columns, `packed_column`)
    int64_t largest_update = 0;        ///< values in the largest update one supernode sends
    int32_t largest_below = 0;         ///< most rows below one supernode
    int32_t largest_width = 0;         ///< widest supernode
    double flops = 0.0;                ///< floating-point operations of one factorisation
    /// Buffers handed back by this analysis's factors and inverses (the one mutable part,
    /// locked on its own), for the next ones to reuse.
    std::shared_ptr<BufferPool> pool = std::make_shared<BufferPool>();

    int32_t supernodes() const { return static_cast<int32_t>(first.size()) - 1; }
    int32_t width(int32_t s) const { return first[static_cast<size_t>(s) + 1] - first[static_cast<size_t>(s)]; }
    int32_t nrow(int32_t s) const {
        return static_cast<int32_t>(row_ptr[static_cast<size_t>(s) + 1] - row_ptr[static_cast<size_t>(s)]);
    }
    const int32_t* rows_of(int32_t s) const { return rows.data() + row_ptr[static_cast<size_t>(s)]; }
    int32_t last(int32_t s) const { return first[static_cast<size_t>(s) + 1] - 1; }
    /// The values stored for the factor (the blocks' unused upper triangles included).
    int64_t stored() const { return value_ptr.back(); }
    /// The entries of the factor's lower triangle on its supernodal pattern.
    int64_t entries() const { return packed_ptr.back(); }
    /// Where column c of supernode s starts in the packed lower triangle, which holds the
    /// column's rows from the diagonal down: the entry at row position p >= c of the
    /// supernode's rows is at packed_column(s, c) + p - c.
    int64_t packed_column(int32_t s, int32_t c) const {
        return packed_ptr[static_cast<size_t>(s)] + int64_t{c} * nrow(s) - int64_t{c} * (c - 1) / 2;
    }
};

/// Throws std::invalid_argument unless perm[n] is a permutation of 0 .. n - 1; fills where.
inline void invert_permutation(int32_t n, const int32_t* perm, int32_t* where) {
    std::fill(where, where + n, -1);
    for (int32_t j = 0; j < n; ++j) {
        const int32_t c = perm[j];
        if (c < 0 || c >= n || where[c] != -1)
            throw std::invalid_argument("the ordering is not a permutation of 0 .. n - 1: " +
                                        std::to_string(c) + " at place " + std::to_string(j));
        where[c] = j;
    }
}

/// The first phase: the elimination tree of A in the ordering `perm` (followed by a
/// postorder of the tree when `reorder`, which keeps the fill and makes the supernodes
/// contiguous), the column counts and the amalgamated supernodes with their row counts.
///
///   Csc A                   - symmetric pattern, `check_columns` passed
///   std::vector<int32_t> perm  - a permutation of 0 .. n - 1
///
/// Cost: O(nnz α(n)); workspace O(n).
inline Plan plan_supernodes(const Csc& A, std::vector<int32_t> perm, bool reorder,
                            const Relaxation& relax = {}) {
    const int32_t n = A.n;
    const auto size = static_cast<size_t>(n);
    Plan plan;
    plan.where.resize(size);
    invert_permutation(n, perm.data(), plan.where.data());
    plan.parent.resize(size);
    elimination_tree(Ordered{A, perm.data(), plan.where.data()}, plan.parent.data());
    std::vector<int32_t> post(size);
    postorder(n, plan.parent.data(), post.data());
    if (reorder) {
        std::vector<int32_t> renamed(size), parent(size);
        for (int32_t k = 0; k < n; ++k) renamed[static_cast<size_t>(post[static_cast<size_t>(k)])] = k;
        std::vector<int32_t> ordered(size);
        for (int32_t k = 0; k < n; ++k) {
            const int32_t j = post[static_cast<size_t>(k)];
            ordered[static_cast<size_t>(k)] = perm[static_cast<size_t>(j)];
            const int32_t p = plan.parent[static_cast<size_t>(j)];
            parent[static_cast<size_t>(k)] = p == -1 ? -1 : renamed[static_cast<size_t>(p)];
        }
        perm = std::move(ordered);
        plan.parent = std::move(parent);
        for (int32_t k = 0; k < n; ++k) post[static_cast<size_t>(k)] = k;
        for (int32_t j = 0; j < n; ++j) plan.where[static_cast<size_t>(perm[static_cast<size_t>(j)])] = j;
    }
    plan.perm = std::move(perm);
    plan.counts.resize(size);
    column_counts(Ordered{A, plan.perm.data(), plan.where.data()}, plan.parent.data(), post.data(),
                  plan.counts.data());
    plan.starts = amalgamate(fundamental_supernodes(n, plan.parent.data(), plan.counts.data()),
                             plan.parent.data(), plan.counts.data(), relax);
    // A supernode's rows: its columns, then the rows below its last column.
    plan.rows.resize(static_cast<size_t>(plan.supernodes()));
    for (int32_t s = 0; s < plan.supernodes(); ++s) {
        const int32_t f = plan.starts[static_cast<size_t>(s)], l = plan.starts[static_cast<size_t>(s) + 1] - 1;
        plan.rows[static_cast<size_t>(s)] = (l - f + 1) + plan.counts[static_cast<size_t>(l)] - 1;
    }
    return plan;
}

/// The second phase: each supernode's rows (the union of A's rows in its columns and of its
/// children's rows below it), the blocks' places and the sizes the numeric phases need.
///
/// Cost: O(nnz(A) + Σ rows · log); workspace O(n).
inline Symbolic build_symbolic(const Csc& A, Plan&& plan) {
    Symbolic S;
    const int32_t n = A.n;
    const auto size = static_cast<size_t>(n);
    const int32_t count = plan.supernodes();
    S.n = n;
    S.perm = std::move(plan.perm);
    S.where = std::move(plan.where);
    S.first = std::move(plan.starts);
    S.super_of.resize(size);
    for (int32_t s = 0; s < count; ++s)
        for (int32_t j = S.first[static_cast<size_t>(s)]; j <= S.last(s); ++j) S.super_of[static_cast<size_t>(j)] = s;
    S.row_ptr.assign(static_cast<size_t>(count) + 1, 0);
    for (int32_t s = 0; s < count; ++s)
        S.row_ptr[static_cast<size_t>(s) + 1] = S.row_ptr[static_cast<size_t>(s)] + plan.rows[static_cast<size_t>(s)];
    S.rows.resize(static_cast<size_t>(S.row_ptr.back()));

    // Children of each supernode, in a linked list.
    std::vector<int32_t> first_child(static_cast<size_t>(count), -1), next_child(static_cast<size_t>(count), -1);
    for (int32_t s = count - 1; s >= 0; --s) {
        const int32_t p = plan.parent[static_cast<size_t>(S.last(s))];
        if (p == -1) continue;
        const int32_t t = S.super_of[static_cast<size_t>(p)];
        next_child[static_cast<size_t>(s)] = first_child[static_cast<size_t>(t)];
        first_child[static_cast<size_t>(t)] = s;
    }
    std::vector<int32_t> mark(size, -1);
    const Ordered ordered{A, S.perm.data(), S.where.data()};
    for (int32_t s = 0; s < count; ++s) {
        const int32_t f = S.first[static_cast<size_t>(s)], l = S.last(s);
        int32_t* out = S.rows.data() + S.row_ptr[static_cast<size_t>(s)];
        int64_t at = 0;
        const int64_t expected = S.row_ptr[static_cast<size_t>(s) + 1] - S.row_ptr[static_cast<size_t>(s)];
        auto add = [&](int32_t i) {
            if (i <= l || mark[static_cast<size_t>(i)] == s) return;
            mark[static_cast<size_t>(i)] = s;
            if (at >= expected) throw std::logic_error("supernodal analysis: row counts disagree");
            out[at++] = i;
        };
        for (int32_t j = f; j <= l; ++j) out[at++] = j;
        for (int32_t j = f; j <= l; ++j) ordered.for_each_row(j, add);
        for (int32_t c = first_child[static_cast<size_t>(s)]; c != -1; c = next_child[static_cast<size_t>(c)]) {
            const int32_t* below = S.rows_of(c) + S.width(c);
            const int32_t* end = S.rows_of(c) + S.nrow(c);
            for (; below < end; ++below) add(*below);
        }
        if (at != expected) throw std::logic_error("supernodal analysis: row counts disagree");
        std::sort(out + (l - f + 1), out + at);
    }

    S.value_ptr.assign(static_cast<size_t>(count) + 1, 0);
    S.packed_ptr.assign(static_cast<size_t>(count) + 1, 0);
    for (int32_t s = 0; s < count; ++s) {
        const int64_t w = S.width(s), r = S.nrow(s), m = r - w;
        S.value_ptr[static_cast<size_t>(s) + 1] = S.value_ptr[static_cast<size_t>(s)] + r * w;
        S.packed_ptr[static_cast<size_t>(s) + 1] = S.packed_ptr[static_cast<size_t>(s)] + r * w - w * (w - 1) / 2;
        S.largest_width = std::max(S.largest_width, static_cast<int32_t>(w));
        S.largest_below = std::max(S.largest_below, static_cast<int32_t>(m));
        S.flops += static_cast<double>(w) * static_cast<double>(w) * static_cast<double>(w) / 3.0 +
                   static_cast<double>(m) * static_cast<double>(w) * static_cast<double>(w) +
                   static_cast<double>(m) * static_cast<double>(m) * static_cast<double>(w);
        // The updates this supernode sends: one per later supernode its rows fall in.
        const int32_t* rs = S.rows_of(s);
        for (int64_t p = w; p < r;) {
            const int32_t t_last = S.last(S.super_of[static_cast<size_t>(rs[p])]);
            int64_t q = p;
            while (q < r && rs[q] <= t_last) ++q;
            S.largest_update = std::max(S.largest_update, (r - p) * (q - p));
            p = q;
        }
    }
    return S;
}

}  // namespace corvid::cholesky

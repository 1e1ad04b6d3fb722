/// The elimination tree of a symmetric pattern in an ordering, a postorder of it, and the
/// column counts of the Cholesky factor, found without forming the factor. Plain C++ over
/// raw arrays; no Python.
///
/// Column j's parent is the first row below the diagonal in column j of the factor L; the
/// pattern of row i of L is the subtree of the tree spanned by the entries of row i of the
/// matrix (its "row subtree"), which is what the column counts are counted from.
#pragma once

#include "cholesky/kernels/pattern.hpp"

#include <cstdint>
#include <vector>

namespace corvid::cholesky {

/// The elimination tree: parent[j] of column j, -1 for a root (a forest when the matrix is
/// reducible). Each column climbs from the rows above its diagonal to the roots of their
/// subtrees found so far, and becomes their parent; `ancestor` short-cuts the climbs.
///
///   Ordered A
///   int32_t parent[n]  - output
///
/// Cost: O(nnz log n) at worst, nearly O(nnz) in practice; workspace n integers.
inline void elimination_tree(const Ordered& A, int32_t* parent) {
    const int32_t n = A.n();
    std::vector<int32_t> ancestor(static_cast<size_t>(n), -1);
    for (int32_t j = 0; j < n; ++j) {
        parent[j] = -1;
        A.for_each_row(j, [&](int32_t i) {
            while (i != -1 && i < j) {
                const int32_t next = ancestor[static_cast<size_t>(i)];
                ancestor[static_cast<size_t>(i)] = j;
                if (next == -1) parent[i] = j;
                i = next;
            }
        });
    }
}

/// A postorder of the forest: every subtree's columns are contiguous and end with its root;
/// children are taken in ascending order, roots too.
///
///   int32_t parent[n]  - the forest
///   int32_t post[n]    - output: post[k] is the k-th column in postorder
///
/// Cost: O(n); workspace 3 n integers.
inline void postorder(int32_t n, const int32_t* parent, int32_t* post) {
    const auto size = static_cast<size_t>(n);
    std::vector<int32_t> first_child(size, -1), next_sibling(size, -1), stack;
    // Linking from the highest column down leaves each list in ascending order.
    for (int32_t j = n - 1; j >= 0; --j) {
        const int32_t p = parent[j];
        if (p == -1) continue;
        next_sibling[static_cast<size_t>(j)] = first_child[static_cast<size_t>(p)];
        first_child[static_cast<size_t>(p)] = j;
    }
    int32_t k = 0;
    for (int32_t root = 0; root < n; ++root) {
        if (parent[root] != -1) continue;
        stack.push_back(root);
        while (!stack.empty()) {
            const int32_t top = stack.back();
            const int32_t child = first_child[static_cast<size_t>(top)];
            if (child == -1) {
                stack.pop_back();
                post[k++] = top;
            } else {
                first_child[static_cast<size_t>(top)] = next_sibling[static_cast<size_t>(child)];
                stack.push_back(child);
            }
        }
    }
}

/// The number of entries of each column of the factor, the diagonal included.
///
///   Ordered A
///   int32_t parent[n]  - the elimination tree
///   int32_t post[n]    - a postorder of it
///   int32_t counts[n]  - output
///
/// Gilbert, Ng and Peyton's method: column j of L holds row i when j lies in row i's subtree.
/// Counting, for each column, +1 at every leaf of every row subtree and -1 where two
/// consecutive leaves of a row subtree meet (their least common ancestor), and -1 at each
/// parent for its child, the sums over subtrees are the column counts. Leaves are met in
/// postorder; least common ancestors come from a union-find over the finished subtrees.
/// Cost: O(nnz α(n)); workspace 5 n integers.
inline void column_counts(const Ordered& A, const int32_t* parent, const int32_t* post,
                          int32_t* counts) {
    const int32_t n = A.n();
    const auto size = static_cast<size_t>(n);
    // first[j]: the postorder index of the first descendant of j (a leaf of j's subtree)
    std::vector<int32_t> first(size, -1), max_first(size, -1), previous_leaf(size, -1),
        set_of(size);
    for (int32_t k = 0; k < n; ++k) {
        int32_t j = post[k];
        counts[j] = first[static_cast<size_t>(j)] == -1 ? 1 : 0;  // a leaf of the tree
        for (; j != -1 && first[static_cast<size_t>(j)] == -1; j = parent[j])
            first[static_cast<size_t>(j)] = k;
    }
    for (int32_t j = 0; j < n; ++j) set_of[static_cast<size_t>(j)] = j;
    auto find = [&](int32_t q) {
        int32_t root = q;
        while (set_of[static_cast<size_t>(root)] != root) root = set_of[static_cast<size_t>(root)];
        while (q != root) {
            const int32_t up = set_of[static_cast<size_t>(q)];
            set_of[static_cast<size_t>(q)] = root;
            q = up;
        }
        return root;
    };
    for (int32_t k = 0; k < n; ++k) {
        const int32_t j = post[k];
        if (parent[j] != -1) --counts[parent[j]];
        A.for_each_row(j, [&](int32_t i) {
            // Is j a leaf of row i's subtree? Only when no earlier leaf lies in j's subtree.
            if (i <= j || first[static_cast<size_t>(j)] <= max_first[static_cast<size_t>(i)])
                return;
            max_first[static_cast<size_t>(i)] = first[static_cast<size_t>(j)];
            const int32_t before = previous_leaf[static_cast<size_t>(i)];
            previous_leaf[static_cast<size_t>(i)] = j;
            ++counts[j];
            if (before != -1) --counts[find(before)];
        });
        if (parent[j] != -1) set_of[static_cast<size_t>(j)] = parent[j];
    }
    for (int32_t k = 0; k < n; ++k) {
        const int32_t j = post[k];
        if (parent[j] != -1) counts[parent[j]] += counts[j];
    }
}

}  // namespace corvid::cholesky

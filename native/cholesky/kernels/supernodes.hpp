/// Supernodes: runs of consecutive columns of the factor handled as one dense block, first
/// fundamental, then amalgamated (relaxed). Plain C++ over raw arrays; no Python.
#pragma once

#include <cstdint>
#include <vector>

namespace corvid::cholesky {

/// The first columns of the fundamental supernodes, then n: maximal runs j, j + 1, ... in
/// which each column is the only child of the next and has one more entry than it (so the
/// columns share their rows below the run).
///
///   int32_t parent[n], counts[n]  - the elimination tree and the column counts
///
/// Cost: O(n).
inline std::vector<int32_t> fundamental_supernodes(int32_t n, const int32_t* parent,
                                                   const int32_t* counts) {
    std::vector<int32_t> children(static_cast<size_t>(n), 0), starts;
    for (int32_t j = 0; j < n; ++j)
        if (parent[j] != -1) ++children[static_cast<size_t>(parent[j])];
    for (int32_t j = 0; j < n; ++j) {
        const bool continues = j > 0 && parent[j - 1] == j && counts[j - 1] == counts[j] + 1 &&
                               children[static_cast<size_t>(j)] == 1;
        if (!continues) starts.push_back(j);
    }
    starts.push_back(n);
    return starts;
}

/// When to merge a supernode into its parent: the merged supernode's width and the share of
/// its entries that are explicit zeros. Narrow supernodes waste more time in call overheads
/// and scattered updates than a few zeros cost in arithmetic.
struct Relaxation {
    int32_t always_width = 4;       ///< merge whatever the zeros up to this width
    int32_t small_width = 16;       ///< up to this width, merge below `small_zeros`
    double small_zeros = 0.8;
    int32_t medium_width = 48;      ///< up to this width, merge below `medium_zeros`
    double medium_zeros = 0.1;
    double large_zeros = 0.05;      ///< any wider
};

/// Relaxed amalgamation: supernode s is merged into the supernode that starts right after it
/// when that one holds s's parent and `relax` allows the merged size and zeros. The rows
/// below a merged supernode are those below the parent's first column, so its size follows
/// from the counts alone.
///
///   std::vector<int32_t> starts     - fundamental supernodes (`fundamental_supernodes`)
///   int32_t parent[n], counts[n]    - the elimination tree and the column counts
///
/// Returns the merged supernodes' first columns, then n. Cost: O(number of supernodes).
inline std::vector<int32_t> amalgamate(const std::vector<int32_t>& starts, const int32_t* parent,
                                       const int32_t* counts, const Relaxation& relax = {}) {
    const auto count = static_cast<int32_t>(starts.size()) - 1;
    if (count <= 1) return starts;
    // For the group beginning at supernode s (s and the supernodes merged above it):
    std::vector<int32_t> width(static_cast<size_t>(count));  // its columns
    std::vector<int64_t> rows(static_cast<size_t>(count));   // rows of its first column
    std::vector<int64_t> zeros(static_cast<size_t>(count), 0);
    std::vector<char> merged(static_cast<size_t>(count), 0);  // s joins the group of s + 1
    for (int32_t s = 0; s < count; ++s) {
        width[static_cast<size_t>(s)] = starts[static_cast<size_t>(s) + 1] - starts[static_cast<size_t>(s)];
        rows[static_cast<size_t>(s)] = counts[starts[static_cast<size_t>(s)]];
    }
    // From the last supernode down, so that a parent's group is complete when its child
    // asks to join it.
    for (int32_t s = count - 2; s >= 0; --s) {
        const auto us = static_cast<size_t>(s);
        const int32_t last = starts[us + 1] - 1;
        if (parent[last] != last + 1) continue;  // the next supernode is not the parent
        const auto up = us + 1;
        const int64_t w = width[us], new_width = w + width[up];
        const int64_t new_rows = w + rows[up];
        const int64_t new_zeros = zeros[us] + zeros[up] + w * (new_rows - rows[us]);
        const int64_t entries = new_width * new_rows - new_width * (new_width - 1) / 2;
        const double share = static_cast<double>(new_zeros) / static_cast<double>(entries);
        const bool merge = new_width <= relax.always_width ||
                           (new_width <= relax.small_width && share < relax.small_zeros) ||
                           (new_width <= relax.medium_width && share < relax.medium_zeros) ||
                           share < relax.large_zeros;
        if (!merge) continue;
        merged[us] = 1;
        width[us] = static_cast<int32_t>(new_width);
        rows[us] = new_rows;
        zeros[us] = new_zeros;
    }
    std::vector<int32_t> out;
    for (int32_t s = 0; s < count; ++s)
        if (s == 0 || !merged[static_cast<size_t>(s) - 1]) out.push_back(starts[static_cast<size_t>(s)]);
    out.push_back(starts.back());
    return out;
}

}  // namespace corvid::cholesky

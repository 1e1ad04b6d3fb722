/// Kernels of the binary matrix file writer: reading values of any numeric element type
/// through strides, the int32 range check, and the column-then-row order of coordinate
/// triplets. Plain C++ over raw memory; no Python.
#pragma once

#include "glue/element.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvid::gfield::writer {

/// Largest count or index the format's signed 32-bit fields hold.
inline constexpr int64_t kMaxCount = std::numeric_limits<int32_t>::max();

/// A strided two-dimensional view (a one-dimensional one has one column).
/// Element (i, j) lives at `base + i * row_stride + j * col_stride`.
struct Strided {
    const std::byte* base = nullptr;
    Element element = Element::float64;
    size_t nrow = 0;
    size_t ncol = 1;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    const std::byte* at(size_t i, size_t j) const {
        return base + static_cast<std::ptrdiff_t>(i) * row_stride +
               static_cast<std::ptrdiff_t>(j) * col_stride;
    }
};

/// One element as `Out`, read without alignment assumptions (arrays may be unaligned views).
/// A boolean is 1 for any byte but 0.
template <class Out, class T>
Out load(const std::byte* p) {
    std::conditional_t<std::is_same_v<T, bool>, uint8_t, T> v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::is_same_v<T, bool>) return v != 0;
    else return static_cast<Out>(v);
}

/// One value stored without alignment assumptions: the writer places values at addresses
/// that match their file offsets, which need not suit the value type.
template <class Out>
void store(std::byte* out, size_t k, Out v) {
    std::memcpy(out + k * sizeof(Out), &v, sizeof v);
}

/// `copy_block` for one element type and, when `W` is not 0, a fixed width. Everything comes
/// by value, so the compiler keeps it in registers across the stores.
template <size_t W, class Out, class T>
void copy_rows(const std::byte* p, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
               size_t nr, size_t nc, std::byte* out, size_t piece) {
    if constexpr (W != 0) nc = W;
    for (size_t i = 0; i < nr; ++i, p += row_stride)
        for (size_t t = 0; t < nc; ++t)
            store(out + t * piece, i, load<Out, T>(p + static_cast<std::ptrdiff_t>(t) * col_stride));
}

/// Rows [r0, r0 + nr) of columns [c0, c0 + nc), column by column.
///
///   a                 - the values, any element type, any strides
///   out[nc * piece]   - output: value i of column c0 + t, as Out, at out + t * piece + i * sizeof(Out)
///
/// O(nr * nc), reading row by row: a block of a row-ordered matrix is read once, in order (a
/// caller with contiguous columns asks for one column at a time). Widths 1 and 3 (vectors,
/// n x 3 matrices) get unrolled loops.
template <class Out>
void copy_block(const Strided& a, size_t r0, size_t nr, size_t c0, size_t nc, std::byte* out,
                size_t piece) {
    visit(a.element, [&](auto tag) {
        using T = decltype(tag);
        const std::byte* p = a.at(r0, c0);
        if (nc == 1) return copy_rows<1, Out, T>(p, a.row_stride, a.col_stride, nr, nc, out, piece);
        if (nc == 3) return copy_rows<3, Out, T>(p, a.row_stride, a.col_stride, nr, nc, out, piece);
        copy_rows<0, Out, T>(p, a.row_stride, a.col_stride, nr, nc, out, piece);
    });
}

/// Elements of a one-dimensional view in a given order.
///
///   order[count]    - positions in `a`, each below a.nrow
///   out[count Out]  - output: value k is a(order[k]) as Out
///
/// O(count), one read at a random place per value.
template <class Out>
void gather(const Strided& a, const uint32_t* order, size_t count, std::byte* out) {
    visit(a.element, [&](auto tag) {
        using T = decltype(tag);
        const std::byte* base = a.base;
        std::ptrdiff_t stride = a.row_stride;
        auto at = [&](size_t k) { return base + static_cast<std::ptrdiff_t>(order[k]) * stride; };
        // Random reads: ask for the values a few iterations ahead, so several misses overlap.
        for (size_t k = 0; k < count; ++k) {
            if (k + 32 < count) __builtin_prefetch(at(k + 32));
            store(out, k, load<Out, T>(at(k)));
        }
    });
}

/// The decimal text of the first integer value outside the int32 range (column by column), if
/// any. O(nrow * ncol) for integer types wider than int32, O(1) otherwise.
inline std::optional<std::string> first_outside_int32(const Strided& a) {
    return visit(a.element, [&](auto tag) -> std::optional<std::string> {
        using T = decltype(tag);
        if constexpr (!std::is_integral_v<T> || std::is_same_v<T, bool> ||
                      (sizeof(T) < 4 || (sizeof(T) == 4 && std::is_signed_v<T>))) {
            return std::nullopt;  // every value fits
        } else {
            for (size_t j = 0; j < a.ncol; ++j)
                for (size_t i = 0; i < a.nrow; ++i) {
                    T v = load<T, T>(a.at(i, j));
                    if (std::cmp_less(v, std::numeric_limits<int32_t>::min()) || std::cmp_greater(v, kMaxCount))
                        return std::to_string(v);
                }
            return std::nullopt;
        }
    });
}

/// Stable order of coordinate triplets by column, then row.
///
///   I row[elems], col[elems]  - 0-based indices, checked against nrow and ncol
///   order[elems]              - output: triplet order[t] goes to position t
///   col_start[ncol + 1]       - output: triplets of column c occupy [col_start[c], col_start[c+1])
///
/// Two stable counting sorts, by row and then by column (the csr_tocsc scheme): O(elems + nrow +
/// ncol). The row pass is skipped when rows are already non-decreasing (coordinates from a CSR
/// matrix). When the shape dwarfs the number of triplets, a comparison sort avoids the large
/// count arrays. Throws std::invalid_argument for an index outside the shape.
///
/// The indices may be the caller's arrays, read without the GIL while another thread may write
/// them: every read that addresses memory is checked where it is used, and a count that no
/// longer matches its placements throws rather than write past its range.
struct TripletOrder {
    std::vector<uint32_t> order;      ///< empty when the input is already in order
    std::vector<uint32_t> col_start;  ///< empty when the comparison sort was used
};

/// `index` as a position below `bound`; throws std::invalid_argument for one outside.
template <class I>
size_t position_below(I index, size_t bound) {
    if (static_cast<uint64_t>(index) >= bound) [[unlikely]]
        throw std::invalid_argument("sparse matrix has a stored entry outside its shape");
    return static_cast<size_t>(index);
}

/// Stable counting sort of the items `items[0..elems)`, a permutation of 0 .. elems - 1 (the
/// identity when null), by `key[item]` in [0, keys): `starts` gets the bucket bounds (keys + 1
/// entries), `sorted` the items in bucket order. A key that changed between the two passes
/// throws rather than write past `sorted`.
template <class I>
void counting_sort(const uint32_t* items, size_t elems, const I* key, size_t keys,
                   std::vector<uint32_t>& starts, uint32_t* sorted) {
    starts.assign(keys + 1, 0);
    for (size_t k = 0; k < elems; ++k) ++starts[position_below(key[k], keys) + 1];  // the same counts in any order
    for (size_t c = 0; c < keys; ++c) starts[c + 1] += starts[c];
    std::vector<uint32_t> next(starts.begin(), starts.end() - 1);
    for (size_t t = 0; t < elems; ++t) {
        uint32_t k = items ? items[t] : static_cast<uint32_t>(t);
        if (items && t + 32 < elems) __builtin_prefetch(key + items[t + 32]);  // see `gather`
        uint32_t at = next[position_below(key[k], keys)]++;
        if (at >= elems) [[unlikely]]
            throw std::invalid_argument("sparse matrix indices changed while it was written");
        sorted[at] = k;
    }
}

template <class I>
TripletOrder order_by_column_then_row(const I* row, const I* col, size_t elems, size_t nrow,
                                      size_t ncol) {
    bool rows_sorted = true, in_order = true;
    for (size_t k = 0; k < elems; ++k) {
        position_below(row[k], nrow);
        position_below(col[k], ncol);
        if (k > 0) {
            rows_sorted = rows_sorted && row[k - 1] <= row[k];
            in_order = in_order && (col[k - 1] < col[k] || (col[k - 1] == col[k] && row[k - 1] <= row[k]));
        }
    }
    TripletOrder result;
    if (in_order) return result;

    result.order.resize(elems);
    if (nrow + ncol > 4 * elems + 1024) {
        // The comparisons must see fixed values, so the keys are read once.
        std::vector<uint64_t> key(elems);
        for (size_t k = 0; k < elems; ++k) {
            key[k] = position_below(col[k], ncol) * uint64_t{nrow} + position_below(row[k], nrow);
            result.order[k] = static_cast<uint32_t>(k);
        }
        std::stable_sort(result.order.begin(), result.order.end(),
                         [&](uint32_t a, uint32_t b) { return key[a] < key[b]; });
        return result;
    }

    std::vector<uint32_t> by_row, row_start;
    if (!rows_sorted) {
        by_row.resize(elems);
        counting_sort(nullptr, elems, row, nrow, row_start, by_row.data());
    }
    counting_sort(rows_sorted ? nullptr : by_row.data(), elems, col, ncol, result.col_start,
                  result.order.data());
    return result;
}

}  // namespace corvid::gfield::writer

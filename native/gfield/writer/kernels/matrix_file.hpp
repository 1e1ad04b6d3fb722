/// Kernels of the binary matrix file writer: the header words, reading values of any numeric
/// element type through strides, the int32 range check, and the column-then-row order of
/// coordinate triplets. Plain C++ over raw memory; no Python.
#pragma once

#include "glue/element.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace corvid::gfield::writer {

/// Header codes (see `header_words`).
enum class Layout : int32_t { dense = 0, sparse = 1 };
enum class ValueType : int32_t { int32 = 0, float64 = 1 };
enum class MatrixType : int32_t { general = 0, diagonal = 2 };

/// The 36 leading bytes of a file: the header length 8, then version 0, elems, nrow, ncol,
/// datatype, valuetype, matrixtype and storagetype 1 (values column by column).
inline std::array<int32_t, 9> header_words(int32_t elems, int32_t nrow, int32_t ncol,
                                           Layout layout, ValueType values, MatrixType matrix) {
    return {8, 0, elems, nrow, ncol, static_cast<int32_t>(layout), static_cast<int32_t>(values),
            static_cast<int32_t>(matrix), 1};
}

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

/// One element, read without alignment assumptions (arrays may be unaligned views).
template <class T>
T load(const std::byte* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// A boolean is 0 or 1 whatever byte the array holds.
template <class Out, class T>
Out convert(T v) {
    if constexpr (std::is_same_v<T, bool>) return v ? Out(1) : Out(0);
    else return static_cast<Out>(v);
}

/// True when elements of type `T` can be read in place as `T` (aligned base and strides).
template <class T>
bool aligned_for(const Strided& a) {
    constexpr auto align = static_cast<std::ptrdiff_t>(alignof(T));
    return reinterpret_cast<std::uintptr_t>(a.base) % alignof(T) == 0 && a.row_stride % align == 0 &&
           a.col_stride % align == 0;
}

/// One value stored without alignment assumptions: the writer places values at addresses
/// that match their file offsets, which need not suit the value type.
template <class Out>
void store(std::byte* out, size_t k, Out v) {
    std::memcpy(out + k * sizeof(Out), &v, sizeof v);
}

/// Converts `count` elements of column `j`, rows `r0` onwards, into `out` as `Out` values.
template <class Out>
void convert_column(const Strided& a, size_t j, size_t r0, size_t count, std::byte* out) {
    visit(a.element, [&](auto tag) {
        using T = decltype(tag);
        const std::byte* p = a.at(r0, j);
        if (a.row_stride == static_cast<std::ptrdiff_t>(sizeof(T)) && aligned_for<T>(a)) {
            // Contiguous column: a plain loop the compiler vectorises.
            const T* src = reinterpret_cast<const T*>(p);
            for (size_t k = 0; k < count; ++k) store<Out>(out, k, convert<Out>(src[k]));
            return;
        }
        for (size_t k = 0; k < count; ++k, p += a.row_stride) store<Out>(out, k, convert<Out>(load<T>(p)));
    });
}

/// Rows of NC contiguous elements, rows back to back, into NC output columns of nr values.
/// The fixed width lets the compiler unroll the transposition.
template <size_t NC, class Out, class T>
void transpose_rows(const T* src, size_t nr, std::byte* const* columns) {
    std::byte* out[NC];
    for (size_t t = 0; t < NC; ++t) out[t] = columns[t];
    for (size_t i = 0; i < nr; ++i, src += NC)
        for (size_t t = 0; t < NC; ++t) store<Out>(out[t], i, convert<Out>(src[t]));
}

/// Converts the tile rows [r0, r0 + nr) x columns [c0, c0 + nc) into `columns[t]` (nr values
/// of column c0 + t each), reading row by row: a row-ordered input is read once, sequentially.
template <class Out>
void convert_tile(const Strided& a, size_t r0, size_t nr, size_t c0, size_t nc,
                  std::byte* const* columns) {
    visit(a.element, [&](auto tag) {
        using T = decltype(tag);
        if (a.col_stride == static_cast<std::ptrdiff_t>(sizeof(T)) && aligned_for<T>(a)) {
            const T* first = reinterpret_cast<const T*>(a.at(r0, c0));
            if (a.row_stride == static_cast<std::ptrdiff_t>(nc * sizeof(T))) {
                switch (nc) {  // the common narrow matrices, such as n x 3
                    case 2: return transpose_rows<2, Out>(first, nr, columns);
                    case 3: return transpose_rows<3, Out>(first, nr, columns);
                    case 4: return transpose_rows<4, Out>(first, nr, columns);
                }
            }
        }
        for (size_t i = 0; i < nr; ++i) {
            const std::byte* p = a.at(r0 + i, c0);
            for (size_t t = 0; t < nc; ++t, p += a.col_stride)
                store<Out>(columns[t], i, convert<Out>(load<T>(p)));
        }
    });
}

/// Converts the elements `order[0..count)` of a one-dimensional view into `out`.
template <class Out, class Index>
void convert_gather(const Strided& a, const Index* order, size_t count, std::byte* out) {
    visit(a.element, [&](auto tag) {
        using T = decltype(tag);
        for (size_t k = 0; k < count; ++k)
            store<Out>(out, k, convert<Out>(load<T>(a.base + static_cast<std::ptrdiff_t>(order[k]) * a.row_stride)));
    });
}

/// The decimal text of the first integer value outside the int32 range, if any.
inline std::optional<std::string> first_outside_int32(const Strided& a) {
    return visit(a.element, [&](auto tag) -> std::optional<std::string> {
        using T = decltype(tag);
        if constexpr (!std::is_integral_v<T> || std::is_same_v<T, bool> ||
                      (sizeof(T) < 4 || (sizeof(T) == 4 && std::is_signed_v<T>))) {
            return std::nullopt;  // every value fits
        } else {
            for (size_t j = 0; j < a.ncol; ++j) {
                const std::byte* p = a.at(0, j);
                for (size_t i = 0; i < a.nrow; ++i, p += a.row_stride) {
                    T v = load<T>(p);
                    bool fits;
                    if constexpr (std::is_signed_v<T>)
                        fits = v >= std::numeric_limits<int32_t>::min() && v <= kMaxCount;
                    else
                        fits = v <= static_cast<uint64_t>(kMaxCount);
                    if (!fits) return std::to_string(v);
                }
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

inline constexpr const char* kOutsideShape = "sparse matrix has a stored entry outside its shape";

[[noreturn, gnu::cold, gnu::noinline]] inline void throw_invalid(const char* message) {
    throw std::invalid_argument(message);
}

/// `index` as a position below `bound`; throws std::invalid_argument for one outside.
template <class I>
size_t position_below(I index, size_t bound) {
    if (static_cast<uint64_t>(index) >= bound) [[unlikely]] throw_invalid(kOutsideShape);
    return static_cast<size_t>(index);
}

/// Stable counting sort of the items `items[0..elems)`, a permutation of 0 .. elems - 1 (the
/// identity when null), by `key(item)` in [0, keys): `starts` gets the bucket bounds (keys + 1
/// entries), `sorted` the items in bucket order. A key that changed between the two passes
/// throws rather than write past `sorted`.
template <class Key>
void counting_sort(const uint32_t* items, size_t elems, size_t keys, Key key,
                   std::vector<uint32_t>& starts, uint32_t* sorted) {
    auto item = [items](size_t t) { return items ? items[t] : static_cast<uint32_t>(t); };
    starts.assign(keys + 1, 0);
    for (size_t k = 0; k < elems; ++k) ++starts[key(k) + 1];  // memory order; the counts are the same
    for (size_t c = 0; c < keys; ++c) starts[c + 1] += starts[c];
    std::vector<uint32_t> next(starts.begin(), starts.end() - 1);
    for (size_t t = 0; t < elems; ++t) {
        uint32_t k = item(t);
        uint32_t at = next[key(k)]++;
        if (at >= elems) [[unlikely]] throw_invalid("sparse matrix indices changed while it was written");
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
        counting_sort(nullptr, elems, nrow, [&](size_t k) { return position_below(row[k], nrow); },
                      row_start, by_row.data());
    }
    counting_sort(rows_sorted ? nullptr : by_row.data(), elems, ncol,
                  [&](size_t k) { return position_below(col[k], ncol); }, result.col_start,
                  result.order.data());
    return result;
}

}  // namespace corvid::gfield::writer

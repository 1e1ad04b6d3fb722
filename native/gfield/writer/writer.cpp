/// `_write_meshkin_file`: one matrix into one file of the binary matrix format.
///
/// Everything that can refuse the input (its type, complex values, counts or integer values
/// beyond int32, NumPy conversions, indices outside the shape) runs before the file is opened,
/// so a refused matrix leaves an existing file untouched. The body is streamed from the input's
/// own memory through a fixed-size conversion buffer.
#include "gfield/parts.hpp"
#include "gfield/writer/array_values.hpp"
#include "gfield/writer/open_file.hpp"
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"
#include "glue/unpack.hpp"

#include <cstdlib>
#include <cstring>

namespace corvid::gfield::writer {

namespace {

// Large enough that the file system's cost per write call fades, small enough for the caches.
constexpr size_t kChunkBytes = size_t{4} << 20;
constexpr int64_t kHeaderBytes = 36;

/// The conversion buffer: room for `bytes` of values in up to `pieces` pieces. A piece bound
/// for file offset `o` is placed at an address congruent to `o` modulo 64, so the system copies
/// it into the page cache at full speed (copies between mutually misaligned addresses are
/// markedly slower, and every body starts at the unaligned offset 36).
class Staging {
public:
    static constexpr uintptr_t kAlign = 64;

    Staging(size_t bytes, size_t pieces) : buffer_(bytes + (pieces + 1) * 2 * kAlign) {}

    /// Where the piece for `file_offset` goes: at or after `from`, or at the start of a fresh
    /// fill of the buffer when `from` is null.
    std::byte* place(std::byte* from, int64_t file_offset) {
        auto p = reinterpret_cast<uintptr_t>(from ? from : buffer_.fill());
        p = (p + kAlign - 1) & ~(kAlign - 1);
        return reinterpret_cast<std::byte*>(p + static_cast<uintptr_t>(file_offset) % kAlign);
    }

    WriteBuffer& buffer() { return buffer_; }

private:
    WriteBuffer buffer_;
};

/// Values per chunk: `kChunkBytes` worth, or fewer when fewer are needed.
template <class T>
size_t chunk_capacity(size_t needed) {
    return std::max<size_t>(1, std::min(needed, kChunkBytes / sizeof(T)));
}

/// Bytes of one value in the file.
int64_t value_bytes(ValueType values) { return values == ValueType::int32 ? 4 : 8; }

/// Reserves the whole file, then writes its header.
void write_header(OpenFile& file, int64_t elems, int64_t nrow, int64_t ncol, Layout layout,
                  ValueType values, MatrixType matrix) {
    int64_t per_entry = value_bytes(values) + (layout == Layout::sparse ? 8 : 0);
    file.reserve(kHeaderBytes + elems * per_entry);
    auto words = header_words(static_cast<int32_t>(elems), static_cast<int32_t>(nrow),
                                     static_cast<int32_t>(ncol), layout, values, matrix);
    WriteBuffer header(sizeof words);
    std::byte* out = header.fill();
    std::memcpy(out, words.data(), sizeof words);
    file.write(header, out, sizeof words);
}

/// Writes values of type `T` chunk by chunk at the file's current position, through one
/// conversion buffer sized for `largest` values.
template <class T>
class Stream {
public:
    Stream(OpenFile& file, size_t largest)
        : file_(file), capacity_(chunk_capacity<T>(largest)), staging_(capacity_ * sizeof(T), 1) {}

    /// `count` values produced by `fill(first, n, out)`.
    template <class Fill>
    void write(size_t count, Fill fill) {
        for (size_t t0 = 0; t0 < count; t0 += capacity_) {
            size_t n = std::min(capacity_, count - t0);
            std::byte* out = staging_.place(nullptr, file_.position());
            without_gil([&] { fill(t0, n, out); });
            file_.write(staging_.buffer(), out, n * sizeof(T));
        }
    }

private:
    OpenFile& file_;
    size_t capacity_;
    Staging staging_;
};

/// Column-major values of a dense view. A view whose rows lie closer in memory than its
/// columns is read column by column; otherwise it is read in tiles of whole rows and each
/// tile's column pieces are written at their places in the file, so the input is read once.
template <class Out>
void write_column_major(OpenFile& file, const Strided& a) {
    bool rows_far = std::llabs(a.row_stride) > std::llabs(a.col_stride);
    if (a.nrow < 2 || a.ncol < 2 || !rows_far || !file.seekable()) {
        Stream<Out> stream(file, a.nrow);
        for (size_t j = 0; j < a.ncol; ++j)
            stream.write(a.nrow, [&](size_t r0, size_t n, std::byte* out) {
                convert_column<Out>(a, j, r0, n, out);
            });
        return;
    }
    constexpr size_t kMaxTileColumns = 64;
    size_t tile_cols = std::min(a.ncol, kMaxTileColumns);
    size_t tile_rows = std::min(a.nrow, chunk_capacity<Out>(a.nrow * a.ncol) / tile_cols);
    tile_rows = std::max<size_t>(tile_rows, 1);
    Staging staging(tile_rows * tile_cols * sizeof(Out), tile_cols);
    std::byte* columns[kMaxTileColumns];
    int64_t offsets[kMaxTileColumns];
    for (size_t c0 = 0; c0 < a.ncol; c0 += tile_cols) {
        size_t nc = std::min(tile_cols, a.ncol - c0);
        for (size_t r0 = 0; r0 < a.nrow; r0 += tile_rows) {
            size_t nr = std::min(tile_rows, a.nrow - r0);
            std::byte* next = nullptr;
            for (size_t t = 0; t < nc; ++t) {
                offsets[t] = kHeaderBytes + static_cast<int64_t>(((c0 + t) * a.nrow + r0) * sizeof(Out));
                columns[t] = staging.place(next, offsets[t]);
                next = columns[t] + nr * sizeof(Out);
            }
            without_gil([&] { convert_tile<Out>(a, r0, nr, c0, nc, columns); });
            for (size_t t = 0; t < nc; ++t)
                file.write_at(offsets[t], staging.buffer(), columns[t], nr * sizeof(Out));
        }
    }
}

/// Values of a one-dimensional view, in the given order (all of them when `order` is null).
template <class Out>
void write_values(OpenFile& file, const Strided& a, const uint32_t* order, size_t count) {
    if (!order) return write_column_major<Out>(file, a);
    Stream<Out>(file, count).write(count, [&](size_t t0, size_t n, std::byte* out) {
        convert_gather<Out>(a, order + t0, n, out);
    });
}

void write_values(OpenFile& file, const ArrayValues& values, const uint32_t* order, size_t count) {
    if (values.value_type() == ValueType::int32)
        write_values<int32_t>(file, values.view(), order, count);
    else
        write_values<double>(file, values.view(), order, count);
}

/// `count` int32 indices produced by `index(t)`.
template <class Index>
void write_indices(OpenFile& file, size_t count, Index index) {
    Stream<int32_t>(file, count).write(count, [&](size_t t0, size_t n, std::byte* out) {
        for (size_t t = 0; t < n; ++t) store<int32_t>(out, t, index(t0 + t));
    });
}

long long extent(const Ref& item) {
    long long value = PyLong_AsLongLong(item.get());
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    return value;
}

void write_dense(PyObject* array, PyObject* filename) {
    ArrayValues values(array, 2);
    const Strided& a = values.view();
    auto nrow = static_cast<long long>(a.nrow), ncol = static_cast<long long>(a.ncol);
    require_count("nrow", nrow);
    require_count("ncol", ncol);
    require_count("elems", nrow * ncol);
    values.require_int32_range();

    OpenFile file(filename);
    write_header(file, nrow * ncol, nrow, ncol, Layout::dense, values.value_type(),
                 MatrixType::general);
    if (values.value_type() == ValueType::int32) write_column_major<int32_t>(file, a);
    else write_column_major<double>(file, a);
    file.close();
}

void write_diagonal(PyObject* array, PyObject* filename) {
    ArrayValues values(array, 1);
    auto n = static_cast<long long>(values.view().nrow);
    require_count("elems", n);
    values.require_int32_range();

    OpenFile file(filename);
    write_header(file, n, n, n, Layout::sparse, values.value_type(), MatrixType::diagonal);
    auto sequence = [](size_t t) { return static_cast<int32_t>(t); };
    write_indices(file, static_cast<size_t>(n), sequence);
    write_indices(file, static_cast<size_t>(n), sequence);
    write_values(file, values, nullptr, 0);
    file.close();
}

/// Triplets ordered by column, then row (stable), as `order_by_column_then_row` gives them.
template <class I>
void write_triplets(OpenFile& file, const I* row, const I* col, const TripletOrder& sorted,
                    const ArrayValues& values, size_t elems) {
    const uint32_t* order = sorted.order.empty() ? nullptr : sorted.order.data();
    write_indices(file, elems, [&](size_t t) { return static_cast<int32_t>(row[order ? order[t] : t]); });
    if (sorted.col_start.empty()) {
        write_indices(file, elems, [&](size_t t) { return static_cast<int32_t>(col[order ? order[t] : t]); });
    } else {
        // Sorted columns are the runs that the column counts describe; chunks arrive in order.
        const std::vector<uint32_t>& start = sorted.col_start;
        size_t c = 0;
        write_indices(file, elems, [&](size_t t) {
            while (start[c + 1] <= t) ++c;
            return static_cast<int32_t>(c);
        });
    }
    write_values(file, values, order, elems);
}

void write_sparse(PyObject* matrix, PyObject* filename) {
    Ref coo = call_method(matrix, "tocoo");
    auto shape = unpack_pair(attr(coo.get(), "shape").get());
    long long nrow = extent(shape[0]), ncol = extent(shape[1]);
    require_count("nrow", nrow);
    require_count("ncol", ncol);

    Ref row_array = attr(coo.get(), "row"), col_array = attr(coo.get(), "col");
    IndexValues row(row_array.get()), col(col_array.get());
    // Both index arrays in one width (SciPy keeps them alike).
    if (row.is_int64() != col.is_int64()) {
        row.widen(row_array.get());
        col.widen(col_array.get());
    }
    bool wide = row.is_int64();
    Ref data = call(numpy("asarray").get(), {attr(coo.get(), "data")});
    ArrayValues values(data.get(), 1);
    size_t elems = row.size();
    if (col.size() != elems || values.view().nrow != elems)
        raise(PyExc_ValueError, "sparse matrix has row, column and value arrays of different lengths");
    require_count("elems", static_cast<long long>(elems));
    values.require_int32_range();

    TripletOrder sorted;
    auto sort = [&](auto tag) {
        using I = decltype(tag);
        without_gil([&] {
            sorted = order_by_column_then_row(row.data<I>(), col.data<I>(), elems,
                                                     static_cast<size_t>(nrow),
                                                     static_cast<size_t>(ncol));
        });
    };
    if (wide) sort(int64_t{});
    else sort(int32_t{});

    OpenFile file(filename);
    write_header(file, static_cast<int64_t>(elems), nrow, ncol, Layout::sparse,
                 values.value_type(), MatrixType::general);
    if (wide) write_triplets(file, row.data<int64_t>(), col.data<int64_t>(), sorted, values, elems);
    else write_triplets(file, row.data<int32_t>(), col.data<int32_t>(), sorted, values, elems);
    file.close();
}

Ref write_meshkin_file(Object matrix, Str filename) {
    Ref ndarray = numpy("ndarray");
    bool is_array = check_status(PyObject_IsInstance(matrix, ndarray.get())) == 1;
    int ndim = is_array ? ndim_of(matrix) : -1;
    if (ndim == 2) {
        write_dense(matrix, filename);
    } else if (Ref issparse = attr(import("scipy.sparse").get(), "issparse");
               check_status(PyObject_IsTrue(call(issparse.get(), {matrix}).get()))) {
        write_sparse(matrix, filename);
    } else if (ndim == 1) {
        write_diagonal(matrix, filename);
    } else {
        Ref type_text = checked(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(matrix))));
        raise_format(PyExc_TypeError, "Unsupported type: %U", type_text.get());
    }
    return Ref::borrow(filename);
}

const FunctionDef kWriteMeshkinFile{
    .name = "_write_meshkin_file",
    .params = {{.name = "A"}, {.name = "filename", .annotation = "str"}},
    .doc = "Write one matrix into `filename` in the binary matrix format and return `filename`.\n\n"
           "A two-dimensional array is written dense, column by column; a sparse matrix as\n"
           "coordinate triplets ordered by column, then row; a one-dimensional array as a\n"
           "diagonal matrix. Integer values are written as int32, all others as float64.\n"
           "Matrices the format cannot hold are refused before the file is opened.",
    .impl = typed<write_meshkin_file>,
};

}  // namespace

}  // namespace corvid::gfield::writer

namespace corvid::gfield {

void add_matrix_writer(PyObject* module) { add_function(module, writer::kWriteMeshkinFile); }

}  // namespace corvid::gfield

/// `_write_meshkin_file`: one matrix into one file of the binary matrix format.
///
/// Everything that can refuse the input (its type, complex values, counts or integer values
/// beyond int32, NumPy conversions, indices outside the shape) runs before the file is opened,
/// so a refused matrix leaves an existing file untouched. The body is streamed from the input's
/// own memory through a fixed-size conversion buffer.
#include "gfield/array_values.hpp"
#include "gfield/open_file.hpp"
#include "gfield/parts.hpp"
#include "gfield/unpack.hpp"
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/function.hpp"

#include <cstdlib>
#include <memory>

namespace corvid::gfield {

namespace {

using namespace model;
using mfile::Layout;
using mfile::MatrixType;
using mfile::Strided;
using mfile::ValueType;

constexpr size_t kChunkBytes = size_t{1} << 20;
constexpr int64_t kHeaderBytes = 36;

/// The fixed-size conversion buffer, in elements of `T`.
template <class T>
struct Chunk {
    static constexpr size_t capacity = kChunkBytes / sizeof(T);
    std::unique_ptr<T[]> data{new T[capacity]};
};

void write_header(OpenFile& file, int64_t elems, int64_t nrow, int64_t ncol, Layout layout,
                  ValueType values, MatrixType matrix) {
    auto words = mfile::header_words(static_cast<int32_t>(elems), static_cast<int32_t>(nrow),
                                     static_cast<int32_t>(ncol), layout, values, matrix);
    file.write(words.data(), sizeof words);
}

/// Column-major values of a dense view. A view whose rows lie closer in memory than its
/// columns is read column by column; otherwise it is read in tiles of whole rows and each
/// tile's column pieces are written at their places in the file, so the input is read once.
template <class Out>
void write_column_major(OpenFile& file, const Strided& a) {
    Chunk<Out> chunk;
    bool rows_far = std::llabs(a.row_stride) > std::llabs(a.col_stride);
    if (a.nrow < 2 || a.ncol < 2 || !rows_far || !file.seekable()) {
        for (size_t j = 0; j < a.ncol; ++j)
            for (size_t r0 = 0; r0 < a.nrow; r0 += chunk.capacity) {
                size_t count = std::min(chunk.capacity, a.nrow - r0);
                without_gil([&] { mfile::convert_column(a, j, r0, count, chunk.data.get()); });
                file.write(chunk.data.get(), count * sizeof(Out));
            }
        return;
    }
    size_t cols_per_tile = std::min<size_t>(a.ncol, 64);
    size_t rows_per_tile = std::min(a.nrow, chunk.capacity / cols_per_tile);
    for (size_t c0 = 0; c0 < a.ncol; c0 += cols_per_tile) {
        size_t nc = std::min(cols_per_tile, a.ncol - c0);
        for (size_t r0 = 0; r0 < a.nrow; r0 += rows_per_tile) {
            size_t nr = std::min(rows_per_tile, a.nrow - r0);
            without_gil([&] { mfile::convert_tile(a, r0, nr, c0, nc, chunk.data.get()); });
            for (size_t t = 0; t < nc; ++t) {
                file.seek(kHeaderBytes + static_cast<int64_t>(((c0 + t) * a.nrow + r0) * sizeof(Out)));
                file.write(chunk.data.get() + t * nr, nr * sizeof(Out));
            }
        }
    }
}

/// Values of a one-dimensional view, in the given order (all of them when `order` is null).
template <class Out>
void write_values(OpenFile& file, const Strided& a, const uint32_t* order, size_t count) {
    if (!order) return write_column_major<Out>(file, a);
    Chunk<Out> chunk;
    for (size_t t0 = 0; t0 < count; t0 += chunk.capacity) {
        size_t n = std::min(chunk.capacity, count - t0);
        without_gil([&] { mfile::convert_gather(a, order + t0, n, chunk.data.get()); });
        file.write(chunk.data.get(), n * sizeof(Out));
    }
}

void write_values(OpenFile& file, const ArrayValues& values, const uint32_t* order, size_t count) {
    if (values.value_type() == ValueType::int32)
        write_values<int32_t>(file, values.view(), order, count);
    else
        write_values<double>(file, values.view(), order, count);
}

/// `count` int32 values produced by `fill(first, n, out)`, chunk by chunk.
template <class Fill>
void write_indices(OpenFile& file, size_t count, Fill fill) {
    Chunk<int32_t> chunk;
    for (size_t t0 = 0; t0 < count; t0 += chunk.capacity) {
        size_t n = std::min(chunk.capacity, count - t0);
        without_gil([&] { fill(t0, n, chunk.data.get()); });
        file.write(chunk.data.get(), n * sizeof(int32_t));
    }
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
    auto sequence = [](size_t first, size_t count, int32_t* out) {
        for (size_t k = 0; k < count; ++k) out[k] = static_cast<int32_t>(first + k);
    };
    write_indices(file, static_cast<size_t>(n), sequence);
    write_indices(file, static_cast<size_t>(n), sequence);
    write_values(file, values, nullptr, 0);
    file.close();
}

/// Triplets ordered by column, then row (stable), as `order_by_column_then_row` gives them.
template <class I>
void write_triplets(OpenFile& file, const I* row, const I* col, const mfile::TripletOrder& sorted,
                    const ArrayValues& values, size_t elems) {
    const uint32_t* order = sorted.order.empty() ? nullptr : sorted.order.data();
    write_indices(file, elems, [&](size_t t0, size_t n, int32_t* out) {
        for (size_t t = 0; t < n; ++t)
            out[t] = static_cast<int32_t>(row[order ? order[t0 + t] : t0 + t]);
    });
    write_indices(file, elems, [&](size_t t0, size_t n, int32_t* out) {
        if (!sorted.col_start.empty()) {
            // Sorted columns are the runs that the column counts describe.
            const uint32_t* start = sorted.col_start.data();
            size_t c = static_cast<size_t>(std::upper_bound(start, start + sorted.col_start.size(),
                                                            static_cast<uint32_t>(t0)) - start) - 1;
            for (size_t t = t0; t < t0 + n; ++t) {
                while (start[c + 1] <= t) ++c;
                out[t - t0] = static_cast<int32_t>(c);
            }
            return;
        }
        for (size_t t = 0; t < n; ++t)
            out[t] = static_cast<int32_t>(col[order ? order[t0 + t] : t0 + t]);
    });
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
    Ref data = call(attr(import("numpy").get(), "asarray").get(), {attr(coo.get(), "data")});
    ArrayValues values(data.get(), 1);
    size_t elems = row.size();
    if (col.size() != elems || values.view().nrow != elems)
        raise(PyExc_ValueError, "sparse matrix has row, column and value arrays of different lengths");
    require_count("elems", static_cast<long long>(elems));
    values.require_int32_range();

    mfile::TripletOrder sorted;
    auto sort = [&](auto tag) {
        using I = decltype(tag);
        without_gil([&] {
            sorted = mfile::order_by_column_then_row(row.data<I>(), col.data<I>(), elems,
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

long ndim_of(PyObject* array) {
    Ref ndim = attr(array, "ndim");
    long value = PyLong_AsLong(ndim.get());
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    return value;
}

Ref write_meshkin_file(Args a) {
    PyObject* matrix = a[0];
    PyObject* filename = require_exact(a[1], &PyUnicode_Type, "filename");
    Ref ndarray = attr(import("numpy").get(), "ndarray");
    bool is_array = check_status(PyObject_IsInstance(matrix, ndarray.get())) == 1;
    long ndim = is_array ? ndim_of(matrix) : -1;
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
    .impl = write_meshkin_file,
};

}  // namespace

void add_matrix_writer(PyObject* module) { add_function(module, kWriteMeshkinFile); }

}  // namespace corvid::gfield

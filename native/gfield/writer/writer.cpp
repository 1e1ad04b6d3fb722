/// `_write_meshkin_file`: one matrix into one file of the binary matrix format.
///
/// Everything that can refuse the input (its type, complex values, counts or integer values
/// beyond int32, NumPy conversions, indices outside the shape) runs before the file is opened,
/// so a refused matrix leaves an existing file untouched. The body is converted from the
/// input's own memory into a buffer of a few megabytes at a time and written from there.
#include "gfield/parts.hpp"
#include "gfield/writer/array_values.hpp"
#include "gfield/writer/open_file.hpp"
#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/function.hpp"
#include "glue/gil.hpp"
#include "glue/unpack.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace corvid::gfield::writer {

namespace {

// Large enough that the cost per write call fades, small enough for the caches.
constexpr size_t kChunkBytes = size_t{4} << 20;
constexpr size_t kMaxPieces = 64;
constexpr int64_t kHeaderBytes = 36;

/// Where bytes bound for file offset `offset` go in `buffer`: at an address congruent to the
/// offset modulo 64, within 128 bytes of the start. The system copies them into the page cache
/// markedly faster than from an address aligned otherwise, and every body starts at offset 36.
std::byte* place(std::byte* buffer, int64_t offset) {
    auto p = (reinterpret_cast<uintptr_t>(buffer) + 63) & ~uintptr_t{63};
    return reinterpret_cast<std::byte*>(p + static_cast<uintptr_t>(offset) % 64);
}

/// Opens the file, writes the 36 leading bytes and then `body(file)`, and closes the file. The
/// header words: the header length 8, then version 0, elems, nrow, ncol, datatype (0 dense, 1
/// sparse), valuetype (0 int32, 1 float64), matrixtype (0 general, 2 diagonal) and
/// storagetype 1 (values column by column).
template <class Body>
void write_file(PyObject* filename, long long elems, long long nrow, long long ncol, bool sparse,
                bool integer, bool diagonal, Body body) {
    int64_t body_bytes = elems * ((integer ? 4 : 8) + (sparse ? 8 : 0));
    // Room for a chunk in up to kMaxPieces pieces, each placed as `place` says.
    size_t chunk = std::clamp<size_t>(static_cast<size_t>(body_bytes), kHeaderBytes, kChunkBytes);
    OpenFile file(filename, chunk + (kMaxPieces + 2) * 64);
    file.reserve(kHeaderBytes + body_bytes);
    int32_t words[9] = {8, 0, static_cast<int32_t>(elems), static_cast<int32_t>(nrow),
                        static_cast<int32_t>(ncol), sparse, !integer, diagonal ? 2 : 0, 1};
    std::byte* out = file.buffer();
    std::memcpy(out, words, sizeof words);
    file.write(0, out, sizeof words);
    body(file);
    file.close();
}

/// Writes `count` values of type `T` at the file's current position, chunk by chunk as
/// `fill(first, n, out)` makes them without the GIL.
template <class T, class Fill>
void write_array(OpenFile& file, size_t count, Fill fill) {
    for (size_t first = 0; first < count; first += kChunkBytes / sizeof(T)) {
        size_t n = std::min(kChunkBytes / sizeof(T), count - first);
        std::byte* out = place(file.buffer(), file.position());
        without_gil([&] { fill(first, n, out); });
        file.write(file.position(), out, n * sizeof(T));
    }
}

/// The values of a view, column by column, from the file's current position. A view whose
/// rows lie farther apart than its columns is read in blocks of whole rows, and each block's
/// column pieces are written at their places in the file, so the input is read once.
template <class Out>
void write_columns(OpenFile& file, const Strided& a) {
    int64_t start = file.position();
    bool by_rows = a.ncol > 1 && std::llabs(a.row_stride) > std::llabs(a.col_stride) && file.seekable();
    size_t block_cols = by_rows ? std::min(a.ncol, kMaxPieces) : 1;
    size_t block_rows = std::max<size_t>(1, std::min(a.nrow, kChunkBytes / sizeof(Out) / block_cols));
    size_t file_gap = a.nrow * sizeof(Out);  // from one column to the next
    for (size_t c0 = 0; c0 < a.ncol; c0 += block_cols) {
        size_t nc = std::min(block_cols, a.ncol - c0);
        for (size_t r0 = 0; r0 < a.nrow; r0 += block_rows) {
            size_t nr = std::min(block_rows, a.nrow - r0);
            auto offset = start + static_cast<int64_t>((c0 * a.nrow + r0) * sizeof(Out));
            // Pieces as far apart as their file offsets are, modulo 64.
            size_t piece = nr * sizeof(Out) + (file_gap - nr * sizeof(Out)) % 64;
            std::byte* out = place(file.buffer(), offset);
            without_gil([&] { copy_block<Out>(a, r0, nr, c0, nc, out, piece); });
            for (size_t t = 0; t < nc; ++t)
                file.write(offset + static_cast<int64_t>(t * file_gap), out + t * piece, nr * sizeof(Out));
        }
    }
}

/// The values of a view as `Out`: all of them, column by column, when `order` is null;
/// otherwise the elements order[0..a.nrow) of a one-dimensional view.
template <class Out>
void write_vector(OpenFile& file, const Strided& a, const uint32_t* order) {
    if (!order) return write_columns<Out>(file, a);
    write_array<Out>(file, a.nrow, [&](size_t first, size_t n, std::byte* out) {
        gather<Out>(a, order + first, n, out);
    });
}

void write_values(OpenFile& file, const ArrayValues& values, const uint32_t* order) {
    if (values.is_integer()) write_vector<int32_t>(file, values.view(), order);
    else write_vector<double>(file, values.view(), order);
}

/// Refuses, with ValueError, a count the format's signed 32-bit fields cannot hold.
void require_count(const char* what, long long value) {
    if (value < 0 || value > kMaxCount)
        raise_format(PyExc_ValueError, "%s = %lld does not fit the binary matrix format (at most %lld)",
                     what, value, static_cast<long long>(kMaxCount));
}

long long extent(const Ref& item) {
    long long value = PyLong_AsLongLong(item.get());
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    return value;
}

void write_dense(PyObject* array, PyObject* filename) {
    ArrayValues values(array, 2);
    auto nrow = static_cast<long long>(values.view().nrow);
    auto ncol = static_cast<long long>(values.view().ncol);
    require_count("nrow", nrow);
    require_count("ncol", ncol);
    require_count("elems", nrow * ncol);
    values.require_int32_range();

    write_file(filename, nrow * ncol, nrow, ncol, false, values.is_integer(), false,
               [&](OpenFile& file) { write_values(file, values, nullptr); });
}

void write_diagonal(PyObject* array, PyObject* filename) {
    ArrayValues values(array, 1);
    auto n = static_cast<long long>(values.view().nrow);
    require_count("elems", n);
    values.require_int32_range();

    write_file(filename, n, n, n, true, values.is_integer(), true, [&](OpenFile& file) {
        auto sequence = [](size_t first, size_t count, std::byte* out) {
            for (size_t k = 0; k < count; ++k) store(out, k, static_cast<int32_t>(first + k));
        };
        write_array<int32_t>(file, static_cast<size_t>(n), sequence);
        write_array<int32_t>(file, static_cast<size_t>(n), sequence);
        write_values(file, values, nullptr);
    });
}

void write_sparse(PyObject* matrix, PyObject* filename) {
    Ref coo = call_method(matrix, "tocoo");
    auto shape = unpack_pair(attr(coo.get(), "shape").get());
    long long nrow = extent(shape[0]), ncol = extent(shape[1]);
    require_count("nrow", nrow);
    require_count("ncol", ncol);

    Indices index(attr(coo.get(), "row").get(), attr(coo.get(), "col").get());
    Ref data = call(numpy("asarray").get(), {attr(coo.get(), "data")});
    ArrayValues values(data.get(), 1);
    size_t elems = index.row.nrow;
    if (index.col.nrow != elems || values.view().nrow != elems)
        raise(PyExc_ValueError, "sparse matrix has row, column and value arrays of different lengths");
    require_count("elems", static_cast<long long>(elems));
    values.require_int32_range();

    TripletOrder sorted;
    without_gil([&] {
        auto sort = [&](auto tag) {
            using I = decltype(tag);
            sorted = order_by_column_then_row(reinterpret_cast<const I*>(index.row.base),
                                              reinterpret_cast<const I*>(index.col.base), elems,
                                              static_cast<size_t>(nrow), static_cast<size_t>(ncol));
        };
        if (index.row.element == Element::int64) sort(int64_t{});
        else sort(int32_t{});
    });

    write_file(filename, static_cast<long long>(elems), nrow, ncol, true, values.is_integer(), false,
               [&](OpenFile& file) {
        const uint32_t* order = sorted.order.empty() ? nullptr : sorted.order.data();
        write_vector<int32_t>(file, index.row, order);
        if (sorted.col_start.empty()) {
            write_vector<int32_t>(file, index.col, order);
        } else {
            // Sorted columns are the runs the column counts describe; chunks come in order.
            size_t c = 0;
            write_array<int32_t>(file, elems, [&](size_t first, size_t n, std::byte* out) {
                for (size_t k = 0; k < n; ++k) {
                    while (sorted.col_start[c + 1] <= first + k) ++c;
                    store(out, k, static_cast<int32_t>(c));
                }
            });
        }
        write_values(file, values, order);
    });
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

#include "gfield/fem_products.hpp"

#include "gfield/array_view.hpp"
#include "gfield/buffer_access.hpp"
#include "gfield/unpack.hpp"
#include "glue/call.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace corvid::gfield::model {

namespace {

/// True when the buffer holds, in native byte order, float64 values (`code` 'd') or signed
/// integers of `itemsize` bytes (`code` 'i').
bool has_format(const Py_buffer& view, char code, Py_ssize_t itemsize) {
    std::string_view f = view.format ? view.format : "B";
    constexpr char native_order = PY_LITTLE_ENDIAN ? '<' : '>';
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == native_order)) f.remove_prefix(1);
    if (view.itemsize != itemsize || f.size() != 1) return false;
    if (code == 'd') return f[0] == 'd';
    return std::string_view("bhilqn").find(f[0]) != std::string_view::npos;
}

/// A C-contiguous, aligned one-dimensional buffer of `obj` with the given element, or nothing.
bool vector_of(HeldBuffer& buffer, PyObject* obj, char code, Py_ssize_t itemsize) {
    if (!buffer.try_acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
    bool aligned = reinterpret_cast<std::uintptr_t>(buffer.view().buf) %
                       static_cast<std::uintptr_t>(itemsize) == 0;
    if (buffer.view().ndim == 1 && aligned && has_format(buffer.view(), code, itemsize))
        return true;
    buffer.release();
    return false;
}

bool is_float64(PyObject* numpy, PyObject* obj) {
    Ref dtype = attr(obj, "dtype");
    return py_equal(dtype.get(), attr(numpy, "float64").get());
}

Py_ssize_t as_size(const Ref& obj) {
    Py_ssize_t value = PyNumber_AsSsize_t(obj.get(), PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    return value;
}

/// `numpy.empty(size, dtype=...)`, checked, and a writable buffer of it.
Ref empty_vector(size_t size, projection::Element element, HeldBuffer& buffer) {
    Ref array = projection::empty_array({static_cast<Py_ssize_t>(size)}, element);
    buffer.acquire(array.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE);
    return array;
}

constexpr const char* kMalformed = "sparse matrix has index pointers or indices outside its arrays or shape";

template <class I>
Ref product(PyObject* csr_class, size_t n, const HeldBuffer& indptr,
            const HeldBuffer& indices, const HeldBuffer& data, const double* c0,
            const fem::Combination* combo) {
    size_t stored = static_cast<size_t>(std::min(indices.view().shape[0], data.view().shape[0]));
    // The kernel reads a private copy of the structure: with the GIL released another thread
    // may change the caller's arrays, and the bounds checked must be the bounds used.
    std::vector<I> indptr_copy, indices_copy;
    std::optional<uint64_t> bound;
    fem::Csr<I> g{n, nullptr, nullptr, static_cast<const double*>(data.view().buf)};
    without_gil([&] {
        auto* first_pointer = static_cast<const I*>(indptr.view().buf);
        auto* first_index = static_cast<const I*>(indices.view().buf);
        indptr_copy.assign(first_pointer, first_pointer + n + 1);
        indices_copy.assign(first_index, first_index + stored);
        g.indptr = indptr_copy.data();
        g.indices = indices_copy.data();
        bound = fem::product_capacity(g, stored, combo != nullptr);
    });
    if (!bound) raise(PyExc_ValueError, kMalformed);
    uint64_t capacity = *bound;

    bool narrow = capacity <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) &&
                  n <= static_cast<size_t>(std::numeric_limits<int32_t>::max());
    auto index_type = narrow ? projection::Element::int32 : projection::Element::int64;
    HeldBuffer out_indptr, out_indices, out_data;
    Ref q_indptr = empty_vector(n + 1, index_type, out_indptr);
    Ref q_indices = empty_vector(capacity, index_type, out_indices);
    Ref q_data = empty_vector(capacity, projection::Element::float64, out_data);

    int64_t nnz = -1;
    auto run = [&](auto tag) {
        using J = decltype(tag);
        fem::CsrOut<J> out{static_cast<J*>(out_indptr.view().buf),
                           static_cast<J*>(out_indices.view().buf),
                           static_cast<double*>(out_data.view().buf)};
        without_gil([&] { nnz = fem::gcinvg(g, c0, combo, out); });
    };
    if (narrow) run(int32_t{});
    else run(int64_t{});
    out_indptr.release();
    out_indices.release();
    out_data.release();
    if (nnz < 0) return {};

    // Shrink to the stored entries: `empty_array` made sure the arrays are ours alone.
    for (PyObject* array : {q_indices.get(), q_data.get()})
        call_kw(attr(array, "resize").get(), {py_tuple({py_int(nnz)})}, {{"refcheck", Py_False}});
    Ref size = py_int(static_cast<long long>(n));
    Ref q = call_kw(csr_class, {py_tuple({q_data, q_indices, q_indptr})},
                    {{"shape", py_tuple({size, size})}});
    check_status(PyObject_SetAttrString(q.get(), "has_canonical_format", Py_True));
    return q;
}

/// An index array as SciPy's products read it: its own memory when it holds aligned int32 or
/// int64 values (so what is checked is what is read), otherwise an aligned int64 copy. Only
/// ndarrays: any other object is converted afresh by each SciPy operation and might give other
/// values each time.
struct IndexArray {
    HeldBuffer buffer;
    Ref copy;
    bool wide = false;

    IndexArray(PyObject* numpy, PyObject* obj) {
        if (check_status(PyObject_IsInstance(obj, attr(numpy, "ndarray").get())) != 1)
            raise_format(PyExc_TypeError, "sparse matrix index arrays must be ndarrays, not %.200s",
                         Py_TYPE(obj)->tp_name);
        if (vector_of(buffer, obj, 'i', 4)) return;
        wide = true;
        if (vector_of(buffer, obj, 'i', 8)) return;
        copy = call_kw(attr(numpy, "require").get(), {obj},
                       {{"dtype", py_str("int64")}, {"requirements", py_str("CA")}});
        if (!vector_of(buffer, copy.get(), 'i', 8)) raise(PyExc_ValueError, kMalformed);
    }
    size_t size() const { return static_cast<size_t>(buffer.view().shape[0]); }

    /// `f(values)` with the values as `const int32_t*` or `const int64_t*`.
    template <class F>
    bool visit(F f) const {
        if (wide) return f(static_cast<const int64_t*>(buffer.view().buf));
        return f(static_cast<const int32_t*>(buffer.view().buf));
    }
};

}  // namespace

void require_well_formed(PyObject* g1) {
    Ref sparse = import("scipy.sparse");
    Ref is_sparse = call(attr(sparse.get(), "issparse").get(), {g1});
    if (check_status(PyObject_IsTrue(is_sparse.get())) != 1) return;
    Ref format = attr(g1, "format");
    bool by_row = py_equal(format.get(), py_str("csr").get());
    bool by_column = py_equal(format.get(), py_str("csc").get());
    bool coordinates = py_equal(format.get(), py_str("coo").get());
    if (!by_row && !by_column && !coordinates) return;
    auto shape = unpack_pair(attr(g1, "shape").get());
    Py_ssize_t nrow = as_size(shape[0]), ncol = as_size(shape[1]);
    if (nrow < 0 || ncol < 0) raise(PyExc_ValueError, kMalformed);
    Py_ssize_t values = PyObject_Length(attr(g1, "data").get());
    if (values < 0) throw_python_error();

    Ref numpy = import("numpy");
    Ref first_obj = attr(g1, coordinates ? "row" : "indptr");
    Ref second_obj = attr(g1, coordinates ? "col" : "indices");
    IndexArray first(numpy.get(), first_obj.get()), second(numpy.get(), second_obj.get());
    auto rows = static_cast<size_t>(nrow), columns = static_cast<size_t>(ncol);
    bool fits;
    if (coordinates) {
        fits = first.size() == second.size() && first.size() <= static_cast<size_t>(values) &&
               first.visit([&](auto row) { return fem::indices_below(row, first.size(), rows); }) &&
               second.visit([&](auto col) { return fem::indices_below(col, second.size(), columns); });
    } else {
        size_t outer = by_row ? rows : columns, inner = by_row ? columns : rows;
        size_t stored = std::min(second.size(), static_cast<size_t>(values));
        fits = first.size() == outer + 1 && first.visit([&](auto indptr) {
                   return second.visit([&](auto indices) {
                       return fem::structure_fits(indptr, outer, indices, stored, inner);
                   });
               });
    }
    if (!fits) raise(PyExc_ValueError, kMalformed);
}

Ref fem_product(PyObject* g1, PyObject* c0, const fem::Combination* combo) {
    Ref sparse = import("scipy.sparse");
    PyObject* g_class = reinterpret_cast<PyObject*>(Py_TYPE(g1));
    if (g_class != attr(sparse.get(), "csr_matrix").get() &&
        g_class != attr(sparse.get(), "csr_array").get())
        return {};
    Ref numpy = import("numpy");
    if (!is_float64(numpy.get(), g1)) return {};
    auto shape = unpack_pair(attr(g1, "shape").get());
    Py_ssize_t n = as_size(shape[0]);
    if (as_size(shape[1]) != n) return {};

    if (check_status(PyObject_IsInstance(c0, attr(numpy.get(), "ndarray").get())) != 1) return {};
    HeldBuffer c0_buffer;
    if (!vector_of(c0_buffer, c0, 'd', 8) || c0_buffer.view().shape[0] != n) return {};

    Ref indptr_obj = attr(g1, "indptr"), indices_obj = attr(g1, "indices"), data_obj = attr(g1, "data");
    HeldBuffer indptr, indices, data;
    if (!vector_of(data, data_obj.get(), 'd', 8)) return {};
    const double* c0_values = static_cast<const double*>(c0_buffer.view().buf);
    for (Py_ssize_t width : {4, 8}) {
        if (!vector_of(indptr, indptr_obj.get(), 'i', width) ||
            !vector_of(indices, indices_obj.get(), 'i', width))
            continue;
        if (indptr.view().shape[0] != n + 1) return {};
        return width == 4
                   ? product<int32_t>(g_class, static_cast<size_t>(n), indptr, indices, data,
                                      c0_values, combo)
                   : product<int64_t>(g_class, static_cast<size_t>(n), indptr, indices, data,
                                      c0_values, combo);
    }
    return {};
}

}  // namespace corvid::gfield::model

#include "gfield/model/fem_products.hpp"

#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/gil.hpp"
#include "glue/unpack.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

namespace corvid::gfield::model {

namespace {

/// A C-contiguous, aligned one-dimensional view of `obj` holding `element` values, or an
/// empty view.
ArrayView vector_of(PyObject* obj, Element element) { return ArrayView::try_exact(obj, element, 1); }

bool is_float64(PyObject* obj) {
    Ref dtype = attr(obj, "dtype");
    return py_equal(dtype.get(), numpy("float64").get());
}

Py_ssize_t as_size(const Ref& obj) {
    Py_ssize_t value = PyNumber_AsSsize_t(obj.get(), PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    return value;
}

constexpr const char* kMalformed = "sparse matrix has index pointers or indices outside its arrays or shape";

template <class I>
Ref product(PyObject* csr_class, size_t n, const ArrayView& indptr,
            const ArrayView& indices, const ArrayView& data, const double* c0,
            const Combination* combo) {
    size_t stored = static_cast<size_t>(std::min(indices.shape(0), data.shape(0)));
    // The kernel reads a private copy of the structure: with the GIL released another thread
    // may change the caller's arrays, and the bounds checked must be the bounds used.
    std::vector<I> indptr_copy, indices_copy;
    std::optional<uint64_t> bound;
    Csr<I> g{n, nullptr, nullptr, data.data<const double>()};
    without_gil([&] {
        auto* first_pointer = indptr.data<const I>();
        auto* first_index = indices.data<const I>();
        indptr_copy.assign(first_pointer, first_pointer + n + 1);
        indices_copy.assign(first_index, first_index + stored);
        g.indptr = indptr_copy.data();
        g.indices = indices_copy.data();
        bound = product_capacity(g, stored, combo != nullptr);
    });
    if (!bound) raise(PyExc_ValueError, kMalformed);
    uint64_t capacity = *bound;

    bool narrow = capacity <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) &&
                  n <= static_cast<size_t>(std::numeric_limits<int32_t>::max());
    Element index_type = narrow ? Element::int32 : Element::int64;
    Ref q_indptr = fresh_array({static_cast<Py_ssize_t>(n + 1)}, index_type);
    Ref q_indices = fresh_array({static_cast<Py_ssize_t>(capacity)}, index_type);
    Ref q_data = fresh_array({static_cast<Py_ssize_t>(capacity)}, Element::float64);
    ArrayView out_indptr(q_indptr.get(), index_type, 1, true);
    ArrayView out_indices(q_indices.get(), index_type, 1, true);
    ArrayView out_data(q_data.get(), Element::float64, 1, true);

    int64_t nnz = -1;
    auto run = [&](auto tag) {
        using J = decltype(tag);
        CsrOut<J> out{out_indptr.data<J>(), out_indices.data<J>(), out_data.data<double>()};
        without_gil([&] { nnz = gcinvg(g, c0, combo, out); });
    };
    if (narrow) run(int32_t{});
    else run(int64_t{});
    out_indptr.release();
    out_indices.release();
    out_data.release();
    if (nnz < 0) return {};

    // Shrink to the stored entries: `fresh_array` made sure the arrays are ours alone.
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
    ArrayView buffer;
    Ref copy;
    bool wide = false;

    explicit IndexArray(PyObject* obj) {
        if (check_status(PyObject_IsInstance(obj, numpy("ndarray").get())) != 1)
            raise_format(PyExc_TypeError, "sparse matrix index arrays must be ndarrays, not %.200s",
                         Py_TYPE(obj)->tp_name);
        if ((buffer = vector_of(obj, Element::int32))) return;
        wide = true;
        if ((buffer = vector_of(obj, Element::int64))) return;
        copy = contiguous(obj, Element::int64);
        if (!(buffer = vector_of(copy.get(), Element::int64))) raise(PyExc_ValueError, kMalformed);
    }
    size_t size() const { return static_cast<size_t>(buffer.shape(0)); }

    /// `f(values)` with the values as `const int32_t*` or `const int64_t*`.
    template <class F>
    bool visit(F f) const {
        if (wide) return f(buffer.data<const int64_t>());
        return f(buffer.data<const int32_t>());
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

    Ref first_obj = attr(g1, coordinates ? "row" : "indptr");
    Ref second_obj = attr(g1, coordinates ? "col" : "indices");
    IndexArray first(first_obj.get()), second(second_obj.get());
    auto rows = static_cast<size_t>(nrow), columns = static_cast<size_t>(ncol);
    bool fits;
    if (coordinates) {
        fits = first.size() == second.size() && first.size() <= static_cast<size_t>(values) &&
               first.visit([&](auto row) { return indices_below(row, first.size(), rows); }) &&
               second.visit([&](auto col) { return indices_below(col, second.size(), columns); });
    } else {
        size_t outer = by_row ? rows : columns, inner = by_row ? columns : rows;
        size_t stored = std::min(second.size(), static_cast<size_t>(values));
        fits = first.size() == outer + 1 && first.visit([&](auto indptr) {
                   return second.visit([&](auto indices) {
                       return structure_fits(indptr, outer, indices, stored, inner);
                   });
               });
    }
    if (!fits) raise(PyExc_ValueError, kMalformed);
}

Ref fem_product(PyObject* g1, PyObject* c0, const Combination* combo) {
    Ref sparse = import("scipy.sparse");
    PyObject* g_class = reinterpret_cast<PyObject*>(Py_TYPE(g1));
    if (g_class != attr(sparse.get(), "csr_matrix").get() &&
        g_class != attr(sparse.get(), "csr_array").get())
        return {};
    if (!is_float64(g1)) return {};
    auto shape = unpack_pair(attr(g1, "shape").get());
    Py_ssize_t n = as_size(shape[0]);
    if (as_size(shape[1]) != n) return {};

    if (check_status(PyObject_IsInstance(c0, numpy("ndarray").get())) != 1) return {};
    ArrayView c0_buffer = vector_of(c0, Element::float64);
    if (!c0_buffer || c0_buffer.shape(0) != n) return {};

    Ref indptr_obj = attr(g1, "indptr"), indices_obj = attr(g1, "indices"), data_obj = attr(g1, "data");
    ArrayView data = vector_of(data_obj.get(), Element::float64);
    if (!data) return {};
    const double* c0_values = c0_buffer.data<const double>();
    for (Element width : {Element::int32, Element::int64}) {
        ArrayView indptr = vector_of(indptr_obj.get(), width);
        ArrayView indices = vector_of(indices_obj.get(), width);
        if (!indptr || !indices) continue;
        if (indptr.shape(0) != n + 1) return {};
        return width == Element::int32
                   ? product<int32_t>(g_class, static_cast<size_t>(n), indptr, indices, data,
                                      c0_values, combo)
                   : product<int64_t>(g_class, static_cast<size_t>(n), indptr, indices, data,
                                      c0_values, combo);
    }
    return {};
}

}  // namespace corvid::gfield::model

#include "cholesky/arrays.hpp"

#include "glue/array.hpp"
#include "glue/call.hpp"
#include "glue/gil.hpp"

#include <cstring>
#include <string_view>

namespace corvid::cholesky::arrays {

namespace {

/// `numpy.asarray(obj)`, checked to have a dtype of one of `kinds`.
Ref of_kind(PyObject* obj, const char* name, const char* kinds, const char* expected) {
    Ref array = call(numpy("asarray").get(), {obj});
    Ref kind = attr(attr(array.get(), "dtype").get(), "kind");
    std::string_view letter = utf8(kind.get());
    if (letter.size() != 1 || !std::strchr(kinds, letter[0]))
        raise_format(PyExc_TypeError, "%s must be an array of %s, got dtype %R", name, expected,
                     attr(array.get(), "dtype").get());
    return array;
}

/// `of_kind`, checked to have one dimension.
Ref one_dimensional(PyObject* obj, const char* name, const char* kinds, const char* expected) {
    Ref array = of_kind(obj, name, kinds, expected);
    Ref ndim = attr(array.get(), "ndim");
    if (PyLong_AsLong(ndim.get()) != 1) {
        if (PyErr_Occurred()) throw_python_error();
        raise_format(PyExc_ValueError, "%s must be one-dimensional, got %R dimensions", name,
                     ndim.get());
    }
    return array;
}

/// The values of a contiguous, aligned copy (or the array itself) of `element` values: the
/// copy goes by the buffer, whatever shape the array reports.
template <class T>
std::vector<T> copy_buffer(const Ref& array, Element element, const char* name) {
    Ref exact = contiguous(array.get(), element);
    ArrayView buffer = ArrayView::try_exact(exact.get(), element, 1);
    if (!buffer)
        raise_format(PyExc_ValueError, "%s: the array's buffer is not a vector of %s values", name,
                     dtype_name(element));
    std::vector<T> values;
    const T* first = buffer.data<const T>();
    without_gil([&] { values.assign(first, first + buffer.shape(0)); });
    return values;
}

}  // namespace

std::vector<double> copy_reals(PyObject* obj, const char* name) {
    Ref array = one_dimensional(obj, name, "biuf", "real numbers");
    return copy_buffer<double>(array, Element::float64, name);
}

template <class T>
std::vector<T> copy_integers(PyObject* obj, const char* name) {
    Ref array = one_dimensional(obj, name, "iu", "integers");
    constexpr Element element = sizeof(T) == 4 ? Element::int32 : Element::int64;
    const char* dtype = dtype_name(element);
    // numpy.require would wrap values that do not fit; refuse them instead.
    Ref fits = call_kw(numpy("can_cast").get(), {attr(array.get(), "dtype"), py_str(dtype)},
                       {{"casting", py_str("safe")}});
    Ref size = attr(array.get(), "size");
    if (!check_status(PyObject_IsTrue(fits.get())) && check_status(PyObject_IsTrue(size.get()))) {
        Ref info = call(numpy("iinfo").get(), {py_str(dtype)});
        Ref low = call(numpy("min").get(), {array});
        Ref high = call(numpy("max").get(), {array});
        bool below = PyObject_RichCompareBool(low.get(), attr(info.get(), "min").get(), Py_LT) != 0;
        bool above = PyObject_RichCompareBool(high.get(), attr(info.get(), "max").get(), Py_GT) != 0;
        if (PyErr_Occurred()) throw_python_error();
        if (below || above)
            raise_format(PyExc_ValueError, "%s holds values outside the %s range", name, dtype);
    }
    return copy_buffer<T>(array, element, name);
}

template std::vector<int32_t> copy_integers<int32_t>(PyObject*, const char*);
template std::vector<int64_t> copy_integers<int64_t>(PyObject*, const char*);

Ref real_vector(PyObject* obj, const char* name) {
    Ref array = one_dimensional(obj, name, "biuf", "real numbers");
    return contiguous(array.get(), Element::float64);
}

Ref real_block(PyObject* obj, const char* name) {
    Ref array = of_kind(obj, name, "biuf", "real numbers");
    const int ndim = ndim_of(array.get());
    if (ndim != 1 && ndim != 2)
        raise_format(PyExc_ValueError, "%s must have one or two dimensions, got %d", name, ndim);
    return contiguous(array.get(), Element::float64);
}

bool holds_int32(PyObject* obj) {
    if (check_status(PyObject_IsInstance(obj, numpy("ndarray").get())) != 1) return false;
    Ref dtype = attr(obj, "dtype");
    Ref int32 = call(numpy("dtype").get(), {py_str("int32")});
    return py_equal(dtype.get(), int32.get());
}

}  // namespace corvid::cholesky::arrays

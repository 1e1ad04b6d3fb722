#include "selected_inverse/arrays.hpp"

#include "glue/call.hpp"
#include "glue/gil.hpp"

#include <cstring>
#include <string_view>

namespace corvid::selinv::arrays {

Buffer::Buffer(PyObject* obj, int flags) { check_status(PyObject_GetBuffer(obj, &view_, flags)); }

namespace {

/// `numpy.asarray(obj)`, checked to have one dimension and a dtype of one of `kinds`.
Ref one_dimensional(PyObject* obj, const char* name, const char* kinds, const char* expected) {
    Ref numpy = import("numpy");
    Ref array = call(attr(numpy.get(), "asarray").get(), {obj});
    Ref kind = attr(attr(array.get(), "dtype").get(), "kind");
    std::string_view letter = utf8(kind.get());
    if (letter.size() != 1 || !std::strchr(kinds, letter[0]))
        raise_format(PyExc_TypeError, "%s must be an array of %s, got dtype %R", name, expected,
                     attr(array.get(), "dtype").get());
    Ref ndim = attr(array.get(), "ndim");
    if (PyLong_AsLong(ndim.get()) != 1) {
        if (PyErr_Occurred()) throw_python_error();
        raise_format(PyExc_ValueError, "%s must be one-dimensional, got %R dimensions", name,
                     ndim.get());
    }
    return array;
}

/// `numpy.require(array, dtype, "CA")`: contiguous and aligned, copied only when needed.
Ref contiguous(const Ref& array, const char* dtype) {
    Ref numpy = import("numpy");
    return call_kw(attr(numpy.get(), "require").get(), {array},
                   {{"dtype", py_str(dtype)}, {"requirements", py_str("CA")}});
}

/// The buffer's element count, checked against the shape the array reported: the copy goes
/// by the buffer.
template <class T>
std::vector<T> copy_buffer(const Ref& array, const char* name) {
    Buffer buffer(array.get(), PyBUF_C_CONTIGUOUS);
    if (buffer.view().ndim != 1 || buffer.view().itemsize != static_cast<Py_ssize_t>(sizeof(T)))
        raise_format(PyExc_ValueError, "%s: the array's buffer is not a vector of %d-byte values",
                     name, static_cast<int>(sizeof(T)));
    std::vector<T> values;
    without_gil([&] { values.assign(buffer.data<const T>(), buffer.data<const T>() + buffer.size()); });
    return values;
}

}  // namespace

std::vector<double> copy_reals(PyObject* obj, const char* name) {
    Ref array = one_dimensional(obj, name, "biuf", "real numbers");
    return copy_buffer<double>(contiguous(array, "float64"), name);
}

template <class T>
std::vector<T> copy_integers(PyObject* obj, const char* name) {
    Ref array = one_dimensional(obj, name, "iu", "integers");
    constexpr const char* dtype = sizeof(T) == 4 ? "int32" : "int64";
    Ref numpy = import("numpy");
    // numpy.require would wrap values that do not fit; refuse them instead.
    Ref fits = call_kw(attr(numpy.get(), "can_cast").get(), {attr(array.get(), "dtype"), py_str(dtype)},
                       {{"casting", py_str("safe")}});
    Ref size = attr(array.get(), "size");
    if (!check_status(PyObject_IsTrue(fits.get())) && check_status(PyObject_IsTrue(size.get()))) {
        Ref info = call(attr(numpy.get(), "iinfo").get(), {py_str(dtype)});
        Ref low = call(attr(numpy.get(), "min").get(), {array});
        Ref high = call(attr(numpy.get(), "max").get(), {array});
        bool below = PyObject_RichCompareBool(low.get(), attr(info.get(), "min").get(), Py_LT) != 0;
        bool above = PyObject_RichCompareBool(high.get(), attr(info.get(), "max").get(), Py_GT) != 0;
        if (PyErr_Occurred()) throw_python_error();
        if (below || above)
            raise_format(PyExc_ValueError, "%s holds values outside the %s range", name, dtype);
    }
    return copy_buffer<T>(contiguous(array, dtype), name);
}

template std::vector<int32_t> copy_integers<int32_t>(PyObject*, const char*);
template std::vector<int64_t> copy_integers<int64_t>(PyObject*, const char*);

bool holds_int32(PyObject* obj) {
    Ref numpy = import("numpy");
    if (check_status(PyObject_IsInstance(obj, attr(numpy.get(), "ndarray").get())) != 1) return false;
    Ref dtype = attr(obj, "dtype");
    Ref int32 = call(attr(numpy.get(), "dtype").get(), {py_str("int32")});
    return py_equal(dtype.get(), int32.get());
}

Ref empty_vector(size_t size, const char* dtype) {
    Ref numpy = import("numpy");
    Ref shape = py_tuple({py_int(static_cast<long long>(size))});
    Ref array = call_kw(attr(numpy.get(), "empty").get(), {shape}, {{"dtype", py_str(dtype)}});
    // A replaced numpy.empty might hand out a shared or shorter array.
    Ref ndarray = attr(numpy.get(), "ndarray");
    if (reinterpret_cast<PyObject*>(Py_TYPE(array.get())) != ndarray.get() ||
        Py_REFCNT(array.get()) != 1)
        raise(PyExc_TypeError, "numpy.empty did not return a new ndarray");
    return array;
}

}  // namespace corvid::selinv::arrays

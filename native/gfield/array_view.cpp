#include "gfield/array_view.hpp"

#include "glue/call.hpp"

#include <cstring>
#include <string_view>

namespace corvid::gfield::projection {

const char* dtype_name(Element e) {
    switch (e) {
        case Element::float64: return "float64";
        case Element::int32: return "int32";
        case Element::int64: return "int64";
    }
    return "float64";
}

/// True when a buffer format names the element type in native byte order.
static bool format_matches(const char* format, Py_ssize_t itemsize, Element e) {
    std::string_view f = format ? format : "B";
    if (!f.empty() && (f[0] == '@' || f[0] == '=' ||
                       f[0] == (PY_LITTLE_ENDIAN ? '<' : '>')))
        f.remove_prefix(1);
    if (f.size() != 1) return false;
    switch (e) {
        case Element::float64: return f[0] == 'd' && itemsize == 8;
        case Element::int32: return std::strchr("ilq", f[0]) && itemsize == 4;
        case Element::int64: return std::strchr("ilq", f[0]) && itemsize == 8;
    }
    return false;
}

ArrayView::ArrayView(PyObject* obj, Element element, int ndim, bool writable) {
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    check_status(PyObject_GetBuffer(obj, &view_, flags));
    bool aligned = reinterpret_cast<std::uintptr_t>(view_.buf) % static_cast<std::uintptr_t>(
                       view_.itemsize > 0 ? view_.itemsize : 1) == 0;
    if (view_.ndim != ndim || !format_matches(view_.format, view_.itemsize, element) ||
        !aligned) {
        PyBuffer_Release(&view_);
        raise_format(PyExc_ValueError, "expected an aligned %d-dimensional %s array", ndim,
                     dtype_name(element));
    }
}

void ArrayView::expect(std::initializer_list<Py_ssize_t> shape) const {
    bool same = view_.ndim == static_cast<int>(shape.size());
    int axis = 0;
    for (Py_ssize_t extent : shape) {
        if (!same) break;
        same = extent < 0 || view_.shape[axis] == extent;
        ++axis;
    }
    if (!same) raise(PyExc_ValueError, "array buffer does not have the shape the array reports");
}

Ref contiguous(PyObject* obj, Element element) {
    // Aligned as well as contiguous: a view at an odd byte offset is copied, so the kernels
    // can read its elements directly.
    Ref numpy = import("numpy");
    return call_kw(attr(numpy.get(), "require").get(), {obj},
                   {{"dtype", py_str(dtype_name(element))}, {"requirements", py_str("CA")}});
}

Ref empty_array(std::initializer_list<Py_ssize_t> shape, Element element) {
    Ref dims = checked(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    Py_ssize_t k = 0;
    for (Py_ssize_t extent : shape)
        PyTuple_SET_ITEM(dims.get(), k++, checked(PyLong_FromSsize_t(extent)).release());
    Ref numpy = import("numpy");
    Ref array = call_kw(attr(numpy.get(), "empty").get(), {dims},
                        {{"dtype", py_str(dtype_name(element))}});
    // A replaced numpy.empty might hand out a shared or shorter array.
    Ref ndarray = attr(numpy.get(), "ndarray");
    if (reinterpret_cast<PyObject*>(Py_TYPE(array.get())) != ndarray.get() || Py_REFCNT(array.get()) != 1)
        raise(PyExc_TypeError, "numpy.empty did not return a new ndarray");
    ArrayView(array.get(), element, static_cast<int>(shape.size()), true).expect(shape);
    return array;
}

int ndim_of(PyObject* obj) {
    Ref ndim = attr(obj, "ndim");
    long value = PyLong_AsLong(ndim.get());
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    return static_cast<int>(value);
}

Py_ssize_t shape_of(PyObject* obj, int axis) {
    Ref shape = attr(obj, "shape");
    Ref extent = checked(PySequence_GetItem(shape.get(), axis));
    Py_ssize_t value = PyNumber_AsSsize_t(extent.get(), PyExc_OverflowError);
    if (value == -1 && PyErr_Occurred()) throw_python_error();
    return value;
}

}  // namespace corvid::gfield::projection

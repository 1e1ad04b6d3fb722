#include "glue/array.hpp"

#include "glue/call.hpp"

#include <cstdint>
#include <string_view>
#include <utility>

namespace corvid {

std::optional<Element> element_of(const char* format, Py_ssize_t itemsize) {
    std::string_view f = format ? format : "B";
    constexpr char native_order = PY_LITTLE_ENDIAN ? '<' : '>';
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == native_order)) f.remove_prefix(1);
    if (f.size() != 1) return std::nullopt;
    auto by_size = [&](Element e1, Element e2, Element e4, Element e8) -> std::optional<Element> {
        switch (itemsize) {
            case 1: return e1;
            case 2: return e2;
            case 4: return e4;
            case 8: return e8;
        }
        return std::nullopt;
    };
    switch (f[0]) {
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
            return by_size(Element::int8, Element::int16, Element::int32, Element::int64);
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
            return by_size(Element::uint8, Element::uint16, Element::uint32, Element::uint64);
        case '?':
            if (itemsize == 1) return Element::boolean;
            break;
        case 'f':
            if (itemsize == 4) return Element::float32;
            break;
        case 'd':
            if (itemsize == 8) return Element::float64;
            break;
        case 'g':
            if (itemsize == static_cast<Py_ssize_t>(sizeof(long double))) return Element::longdouble;
            break;
    }
    return std::nullopt;
}

const char* dtype_name(Element e) {
    switch (e) {
        case Element::boolean: return "bool";
        case Element::int8: return "int8";
        case Element::int16: return "int16";
        case Element::int32: return "int32";
        case Element::int64: return "int64";
        case Element::uint8: return "uint8";
        case Element::uint16: return "uint16";
        case Element::uint32: return "uint32";
        case Element::uint64: return "uint64";
        case Element::float32: return "float32";
        case Element::float64: return "float64";
        case Element::longdouble: return "longdouble";
    }
    return "float64";
}

ArrayView::ArrayView(ArrayView&& other) noexcept
    : view_(other.view_), held_(std::exchange(other.held_, false)) {}

ArrayView& ArrayView::operator=(ArrayView&& other) noexcept {
    if (this != &other) {
        release();
        view_ = other.view_;
        held_ = std::exchange(other.held_, false);
    }
    return *this;
}

void ArrayView::release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
}

bool ArrayView::acquire(PyObject* obj, int flags) {
    release();
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    return true;
}

bool ArrayView::matches(Element element, int ndim) const {
    auto align = static_cast<std::uintptr_t>(view_.itemsize > 0 ? view_.itemsize : 1);
    return view_.ndim == ndim && this->element() == element &&
           reinterpret_cast<std::uintptr_t>(view_.buf) % align == 0;
}

ArrayView ArrayView::any(PyObject* obj, bool writable) {
    ArrayView v;
    if (!v.acquire(obj, PyBUF_RECORDS_RO | (writable ? PyBUF_WRITABLE : 0))) throw_python_error();
    return v;
}

ArrayView ArrayView::try_any(PyObject* obj) {
    ArrayView v;
    if (!v.acquire(obj, PyBUF_RECORDS_RO)) PyErr_Clear();
    return v;
}

ArrayView ArrayView::try_exact(PyObject* obj, Element element, int ndim, bool writable) {
    ArrayView v;
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (!v.acquire(obj, flags)) PyErr_Clear();
    else if (!v.matches(element, ndim)) v.release();
    return v;
}

ArrayView::ArrayView(PyObject* obj, Element element, int ndim, bool writable) {
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
    if (!acquire(obj, flags)) throw_python_error();
    if (!matches(element, ndim)) {
        release();
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

Ref numpy(const char* name) { return attr(import("numpy").get(), name); }

Ref contiguous(PyObject* obj, Element element) {
    // Aligned as well as contiguous: a view at an odd byte offset is copied, so the kernels
    // can read its elements directly.
    return call_kw(numpy("require").get(), {obj},
                   {{"dtype", py_str(dtype_name(element))}, {"requirements", py_str("CA")}});
}

Ref fresh_array(std::initializer_list<Py_ssize_t> shape, Element element) {
    Ref dims = checked(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    Py_ssize_t k = 0;
    for (Py_ssize_t extent : shape)
        PyTuple_SET_ITEM(dims.get(), k++, checked(PyLong_FromSsize_t(extent)).release());
    Ref array = call_kw(numpy("empty").get(), {dims}, {{"dtype", py_str(dtype_name(element))}});
    // A replaced numpy.empty might hand out a shared or shorter array.
    Ref ndarray = numpy("ndarray");
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

}  // namespace corvid

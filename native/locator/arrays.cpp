#include "locator/arrays.hpp"

#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/text.hpp"

#include <cstring>
#include <string_view>

namespace corvid::locator {

namespace {

/// A buffer with shape, strides and format, released on scope exit.
class HeldBuffer {
public:
    HeldBuffer(PyObject* obj, const char* what) {
        if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError) &&
                !PyErr_ExceptionMatches(PyExc_BufferError))
                throw_python_error();
            PyErr_Clear();
            raise(PyExc_TypeError, Text() << what << " must be a NumPy array, not "
                                          << type_name(obj));
        }
    }
    ~HeldBuffer() { PyBuffer_Release(&view_); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;

    const Py_buffer& view() const { return view_; }
    /// Hands the buffer over; this no longer releases it.
    Py_buffer release() {
        Py_buffer v = view_;
        view_ = Py_buffer{};
        return v;
    }
    /// True for one element type of 8 bytes in native byte order: 'd' (float) or an integer.
    bool holds(bool floating) const {
        std::string_view f = view_.format ? view_.format : "B";
        if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == (PY_LITTLE_ENDIAN ? '<' : '>')))
            f.remove_prefix(1);
        if (f.size() != 1 || view_.itemsize != 8) return false;
        return floating ? f[0] == 'd' : (f[0] == 'q' || f[0] == 'l');
    }
    /// Address of element (i, j).
    const char* at(Py_ssize_t i, Py_ssize_t j) const {
        return static_cast<const char*>(view_.buf) + i * view_.strides[0] + j * view_.strides[1];
    }

private:
    Py_buffer view_{};
};

Ref shape_text(const Py_buffer& v) {
    Text t;
    t << "(";
    for (int d = 0; d < v.ndim; ++d) {
        if (d) t << ", ";
        t << py_int(v.shape[d]);
    }
    if (v.ndim == 1) t << ",";
    return (t << ")").str();
}

}  // namespace

Coordinates::Coordinates(PyObject* array, const char* what) {
    HeldBuffer b(array, what);
    const Py_buffer& v = b.view();
    if (v.ndim != 2 || !b.holds(true) || v.shape[1] < 2 || v.shape[1] > 3) {
        Text message;
        message << what << " must be a float64 array of shape (n, 2) or (n, 3), got ";
        if (b.holds(true)) message << "shape " << shape_text(v);
        else message << "a " << py_int(v.ndim) << "-dimensional array of format "
                     << py_str(v.format ? v.format : "B");
        raise(PyExc_ValueError, message);
    }
    const Py_ssize_t columns = v.shape[1];
    const bool direct = v.strides[1] == sizeof(double) &&
                        v.strides[0] == columns * static_cast<Py_ssize_t>(sizeof(double)) &&
                        reinterpret_cast<std::uintptr_t>(v.buf) % alignof(double) == 0;
    if (direct) {
        stride_ = static_cast<std::size_t>(columns);
    } else {
        copy_.resize(2 * static_cast<std::size_t>(v.shape[0]));
        for (Py_ssize_t i = 0; i < v.shape[0]; ++i)
            for (Py_ssize_t j = 0; j < 2; ++j)
                std::memcpy(&copy_[2 * i + j], b.at(i, j), sizeof(double));
    }
    view_ = b.release();
}

std::vector<double> copy_xy(PyObject* array, const char* what) {
    Coordinates c(array, what);
    std::vector<double> xy(2 * c.size());
    for (std::size_t i = 0; i < c.size(); ++i) {
        xy[2 * i] = c.xy()[i * c.stride()];
        xy[2 * i + 1] = c.xy()[i * c.stride() + 1];
    }
    return xy;
}

std::vector<std::int32_t> copy_triangles(PyObject* array, std::size_t n_vertices) {
    HeldBuffer b(array, "triangles");
    const Py_buffer& v = b.view();
    if (v.ndim != 2 || !b.holds(false) || v.shape[1] != 3) {
        Text message;
        message << "triangles must be an int64 array of shape (m, 3), got ";
        if (b.holds(false)) message << "shape " << shape_text(v);
        else message << "a " << py_int(v.ndim) << "-dimensional array of format "
                     << py_str(v.format ? v.format : "B");
        raise(PyExc_ValueError, message);
    }
    if (v.shape[0] > INT32_MAX / 3) raise(PyExc_ValueError, "too many triangles");
    std::vector<std::int32_t> tv(3 * static_cast<std::size_t>(v.shape[0]));
    for (Py_ssize_t t = 0; t < v.shape[0]; ++t) {
        for (Py_ssize_t k = 0; k < 3; ++k) {
            std::int64_t corner;
            std::memcpy(&corner, b.at(t, k), sizeof corner);
            if (corner < 0 || static_cast<std::uint64_t>(corner) >= n_vertices) {
                Text message;
                message << "triangle " << py_int(t) << " refers to vertex " << py_int(corner);
                if (n_vertices) message << ", outside 0.." << py_int(static_cast<long long>(n_vertices) - 1);
                else message << " but the mesh has no vertices";
                raise(PyExc_ValueError, message);
            }
            tv[3 * t + k] = static_cast<std::int32_t>(corner);
        }
    }
    return tv;
}

NewArray::NewArray(std::initializer_list<Py_ssize_t> shape, Element element) {
    Ref dims = checked(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    Py_ssize_t d = 0;
    for (Py_ssize_t extent : shape)
        PyTuple_SET_ITEM(dims.get(), d++, checked(PyLong_FromSsize_t(extent)).release());
    const char* dtype = element == Element::float64 ? "float64"
                        : element == Element::int64 ? "int64" : "int32";
    Ref numpy = import("numpy");
    array_ = call_kw(attr(numpy.get(), "empty").get(), {dims}, {{"dtype", py_str(dtype)}});
    // Nothing but a new array of exactly this layout may be written to: numpy.empty could
    // have been replaced.
    Ref ndarray = attr(numpy.get(), "ndarray");
    if (reinterpret_cast<PyObject*>(Py_TYPE(array_.get())) != ndarray.get() ||
        Py_REFCNT(array_.get()) != 1)
        raise(PyExc_TypeError, "numpy.empty did not return a new ndarray");
    check_status(PyObject_GetBuffer(array_.get(), &view_,
                                    PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE));
    bool same = view_.ndim == static_cast<int>(shape.size());
    d = 0;
    for (Py_ssize_t extent : shape) same = same && view_.shape[d++] == extent;
    std::string_view f = view_.format ? view_.format : "B";
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == (PY_LITTLE_ENDIAN ? '<' : '>')))
        f.remove_prefix(1);
    const bool integer = f == "i" || f == "l" || f == "q";
    same = same && (element == Element::float64 ? f == "d" && view_.itemsize == 8
                    : element == Element::int64 ? integer && view_.itemsize == 8
                                                : integer && view_.itemsize == 4);
    if (!same) {
        PyBuffer_Release(&view_);
        raise(PyExc_TypeError, "numpy.empty did not return an array of the shape and type asked for");
    }
}

}  // namespace corvid::locator

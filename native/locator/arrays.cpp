#include "locator/arrays.hpp"

#include "glue/call.hpp"
#include "glue/convert.hpp"
#include "glue/text.hpp"

#include <cstring>
#include <string_view>

namespace corvid::locator {

namespace {

/// The array's buffer; TypeError naming it when it exports none.
ArrayView exported(PyObject* obj, const char* what) {
    try {
        return ArrayView::any(obj);
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_BufferError))
            throw;
        PyErr_Clear();
        raise(PyExc_TypeError, Text() << what << " must be a NumPy array, not " << type_name(obj));
    }
}

/// Address of element (i, j).
const char* at(const ArrayView& v, Py_ssize_t i, Py_ssize_t j) {
    return v.data<const char>() + i * v.stride(0) + j * v.stride(1);
}

Ref format_text(const ArrayView& v) { return py_str(v.format() ? v.format() : "B"); }

Ref shape_text(const ArrayView& v) {
    Text t;
    t << "(";
    for (int d = 0; d < v.ndim(); ++d) {
        if (d) t << ", ";
        t << py_int(v.shape(d));
    }
    if (v.ndim() == 1) t << ",";
    return (t << ")").str();
}

}  // namespace

Coordinates::Coordinates(PyObject* array, const char* what) : view_(exported(array, what)) {
    const ArrayView& v = view_;
    const bool floating = v.element() == Element::float64;
    if (v.ndim() != 2 || !floating || v.shape(1) < 2 || v.shape(1) > 3) {
        Text message;
        message << what << " must be a float64 array of shape (n, 2) or (n, 3), got ";
        if (floating) message << "shape " << shape_text(v);
        else message << "a " << py_int(v.ndim()) << "-dimensional array of format " << format_text(v);
        raise(PyExc_ValueError, message);
    }
    const Py_ssize_t columns = v.shape(1);
    const bool direct = v.stride(1) == sizeof(double) &&
                        v.stride(0) == columns * static_cast<Py_ssize_t>(sizeof(double)) &&
                        reinterpret_cast<std::uintptr_t>(v.data()) % alignof(double) == 0;
    if (direct) {
        stride_ = static_cast<std::size_t>(columns);
    } else {
        copy_.resize(2 * static_cast<std::size_t>(v.shape(0)));
        for (Py_ssize_t i = 0; i < v.shape(0); ++i)
            for (Py_ssize_t j = 0; j < 2; ++j) std::memcpy(&copy_[2 * i + j], at(v, i, j), sizeof(double));
    }
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
    ArrayView v = exported(array, "triangles");
    const bool integer = v.element() == Element::int64;
    if (v.ndim() != 2 || !integer || v.shape(1) != 3) {
        Text message;
        message << "triangles must be an int64 array of shape (m, 3), got ";
        if (integer) message << "shape " << shape_text(v);
        else message << "a " << py_int(v.ndim()) << "-dimensional array of format " << format_text(v);
        raise(PyExc_ValueError, message);
    }
    if (v.shape(0) > INT32_MAX / 3) raise(PyExc_ValueError, "too many triangles");
    std::vector<std::int32_t> tv(3 * static_cast<std::size_t>(v.shape(0)));
    for (Py_ssize_t t = 0; t < v.shape(0); ++t) {
        for (Py_ssize_t k = 0; k < 3; ++k) {
            std::int64_t corner;
            std::memcpy(&corner, at(v, t, k), sizeof corner);
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

}  // namespace corvid::locator

/// NumPy arrays seen from C++: checked contiguous buffer views, new arrays, and running a loop
/// with the GIL released.
#pragma once

#include "glue/ref.hpp"

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <utility>

namespace corvid::gfield::projection {

/// The element types the projector reads and writes.
enum class Element { float64, int32, int64 };

/// `numpy.dtype` name of an element type.
const char* dtype_name(Element e);

/// A C-contiguous buffer of `obj`, checked to hold `Element` values in `ndim` dimensions.
/// Raises ValueError when it does not, so no memory is touched under a wrong assumption.
class ArrayView {
public:
    ArrayView(PyObject* obj, Element element, int ndim, bool writable = false);
    ~ArrayView() { PyBuffer_Release(&view_); }
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;

    Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
    template <class T>
    T* data() const { return static_cast<T*>(view_.buf); }

private:
    Py_buffer view_{};
};

/// `numpy.ascontiguousarray(obj, dtype=...)`: no copy when `obj` already is one.
Ref contiguous(PyObject* obj, Element element);

/// `numpy.empty(shape, dtype=...)`.
Ref empty_array(std::initializer_list<Py_ssize_t> shape, Element element);

/// `obj.ndim` as a C integer.
int ndim_of(PyObject* obj);

/// `obj.shape[axis]` as a C integer.
Py_ssize_t shape_of(PyObject* obj, int axis);

/// Runs `body` with the GIL released and rethrows its exception once the GIL is held again.
/// `body` must not touch any Python object.
template <class Body>
void without_gil(Body&& body) {
    std::exception_ptr error;
    PyThreadState* state = PyEval_SaveThread();
    try {
        body();
    } catch (...) {
        error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (error) std::rethrow_exception(error);
}

}  // namespace corvid::gfield::projection

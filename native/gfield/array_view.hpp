/// NumPy arrays seen from C++: checked contiguous buffer views and new arrays.
#pragma once

#include "glue/gil.hpp"
#include "glue/ref.hpp"

#include <cstdint>
#include <initializer_list>
#include <utility>

namespace corvid::gfield::projection {

using corvid::without_gil;

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
    /// Raises ValueError unless the buffer has this shape (-1 matches any extent): the kernels
    /// go by the buffer, and an array's `shape` attribute may say otherwise.
    void expect(std::initializer_list<Py_ssize_t> shape) const;
    template <class T>
    T* data() const { return static_cast<T*>(view_.buf); }

private:
    Py_buffer view_{};
};

/// `numpy.require(obj, dtype=..., requirements="CA")`: C-contiguous and aligned, no copy
/// when `obj` already is.
Ref contiguous(PyObject* obj, Element element);

/// `numpy.empty(shape, dtype=...)`, checked to be a new ndarray of exactly that shape and type
/// (TypeError otherwise): the kernels fill it to the extent asked for.
Ref empty_array(std::initializer_list<Py_ssize_t> shape, Element element);

/// `obj.ndim` as a C integer.
int ndim_of(PyObject* obj);

/// `obj.shape[axis]` as a C integer.
Py_ssize_t shape_of(PyObject* obj, int axis);

}  // namespace corvid::gfield::projection

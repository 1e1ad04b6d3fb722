/// One-dimensional NumPy arrays in and out of the selected inverse: private copies of the inputs
/// (what is checked is what the kernel reads, whatever other threads do meanwhile) and new
/// output arrays filled in place.
#pragma once

#include "glue/ref.hpp"

#include <cstdint>
#include <vector>

namespace corvid::selinv::arrays {

/// An exported buffer, released with the holder.
class Buffer {
public:
    Buffer(PyObject* obj, int flags);
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    const Py_buffer& view() const { return view_; }
    size_t size() const { return static_cast<size_t>(view_.shape[0]); }
    template <class T>
    T* data() const { return static_cast<T*>(view_.buf); }

private:
    Py_buffer view_{};
};

/// The values of a one-dimensional real array `obj`, as float64. TypeError names `name` for
/// anything that is not an array of real numbers, ValueError for another number of dimensions.
std::vector<double> copy_reals(PyObject* obj, const char* name);

/// The values of a one-dimensional integer array `obj`, as T (int32 or int64). Values outside
/// T's range make ValueError; TypeError names `name` for anything but an integer array.
template <class T>
std::vector<T> copy_integers(PyObject* obj, const char* name);

/// True when `obj` is an ndarray of native int32: its indices are then kept at that width.
bool holds_int32(PyObject* obj);

/// `numpy.empty(size, dtype)`, checked to be a new ndarray that nothing else holds (dtype
/// "float64", "int32" or "int64").
Ref empty_vector(size_t size, const char* dtype);

}  // namespace corvid::selinv::arrays

/// NumPy arrays in and out of the locator: input arrays copied through the buffer protocol
/// (any strides, any alignment), and new arrays for the results.
#pragma once

#include "glue/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace corvid::locator {

/// The first two columns of a two-dimensional float64 array of `min_columns` to
/// `max_columns` columns, copied row by row: x0, y0, x1, y1, ... `what` names the array
/// in the ValueError raised for any other array.
std::vector<double> copy_xy(PyObject* array, const char* what, Py_ssize_t min_columns,
                            Py_ssize_t max_columns);

/// A two-dimensional int64 array of three columns, copied row by row, every value checked
/// to lie in 0 .. n_vertices - 1 (ValueError naming the first triangle otherwise).
std::vector<std::int32_t> copy_triangles(PyObject* array, std::size_t n_vertices);

/// The element types of the results.
enum class Element { int32, int64, float64 };

/// A new C-contiguous NumPy array of the given shape and element type, checked to be one
/// before anything is written to it.
class NewArray {
public:
    NewArray(std::initializer_list<Py_ssize_t> shape, Element element);
    ~NewArray() { PyBuffer_Release(&view_); }
    NewArray(const NewArray&) = delete;
    NewArray& operator=(const NewArray&) = delete;

    template <class T>
    T* data() const { return static_cast<T*>(view_.buf); }
    const Ref& array() const { return array_; }

private:
    Ref array_;
    Py_buffer view_{};
};

}  // namespace corvid::locator

/// NumPy arrays in and out of the locator: input arrays copied through the buffer protocol
/// (any strides, any alignment), and new arrays for the results.
#pragma once

#include "glue/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace corvid::locator {

/// Coordinates read from a two-dimensional float64 array of 2 or 3 columns (x, y and an
/// unused z): the array's own memory when it is C-contiguous and aligned, else a copy of x
/// and y. `what` names the array in the ValueError raised for any other array.
class Coordinates {
public:
    Coordinates(PyObject* array, const char* what);
    ~Coordinates() { PyBuffer_Release(&view_); }
    Coordinates(const Coordinates&) = delete;
    Coordinates& operator=(const Coordinates&) = delete;

    /// Point i at (xy()[i * stride()], xy()[i * stride() + 1]). The array's memory may be
    /// changed by other threads while it is read: read each value once.
    const double* xy() const { return copy_.empty() ? static_cast<const double*>(view_.buf) : copy_.data(); }
    std::size_t stride() const { return stride_; }
    std::size_t size() const { return static_cast<std::size_t>(view_.shape[0]); }

private:
    Py_buffer view_{};
    std::vector<double> copy_;
    std::size_t stride_ = 2;
};

/// x and y of a two-dimensional float64 array of 2 or 3 columns, copied: x0, y0, x1, y1, ...
std::vector<double> copy_xy(PyObject* array, const char* what);

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

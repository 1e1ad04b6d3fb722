/// Arrays into the locator: coordinates and triangles read through the buffer protocol (any
/// strides, any alignment) and copied where the kernels need their own.
#pragma once

#include "glue/array.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvid::locator {

/// Coordinates read from a two-dimensional float64 array of 2 or 3 columns (x, y and an
/// unused z): the array's own memory when it is C-contiguous and aligned, else a copy of x
/// and y. `what` names the array in the ValueError raised for any other array.
class Coordinates {
public:
    Coordinates(PyObject* array, const char* what);

    /// Point i at (xy()[i * stride()], xy()[i * stride() + 1]). The array's memory may be
    /// changed by other threads while it is read: read each value once.
    const double* xy() const { return copy_.empty() ? view_.data<const double>() : copy_.data(); }
    std::size_t stride() const { return stride_; }
    std::size_t size() const { return static_cast<std::size_t>(view_.shape(0)); }

private:
    ArrayView view_;
    std::vector<double> copy_;
    std::size_t stride_ = 2;
};

/// x and y of a two-dimensional float64 array of 2 or 3 columns, copied: x0, y0, x1, y1, ...
std::vector<double> copy_xy(PyObject* array, const char* what);

/// A two-dimensional int64 array of three columns, copied row by row, every value checked
/// to lie in 0 .. n_vertices - 1 (ValueError naming the first triangle otherwise).
std::vector<std::int32_t> copy_triangles(PyObject* array, std::size_t n_vertices);

}  // namespace corvid::locator

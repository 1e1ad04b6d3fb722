/// The arrays of a matrix as the writer reads them: strided views of their own memory, the
/// value type in the file, and the checks made before any file is opened.
#pragma once

#include "gfield/writer/kernels/matrix_file.hpp"
#include "glue/array.hpp"

namespace corvid::gfield::writer {

/// The values of a NumPy array of one or two dimensions.
class ArrayValues {
public:
    /// Reads `array`. Its values are int32 in the file for an integer element type, float64
    /// for any other; complex values are refused with TypeError. Memory the kernels cannot read
    /// in place (another byte order, half floats, objects) is converted with NumPy here, so a
    /// failing conversion happens before anything is written.
    ArrayValues(PyObject* array, int ndim);

    bool is_integer() const { return integer_; }
    const Strided& view() const { return view_; }

    /// Refuses, with ValueError, integer values that int32 cannot hold.
    void require_int32_range() const;

private:
    bool read_directly(PyObject* array, int ndim);

    ArrayView buffer_;  ///< holds the array read: the input or NumPy's converted copy
    Strided view_;
    bool integer_ = false;
};

/// The row and column indices of a coordinate matrix, read as aligned, contiguous arrays of
/// one element type: int32 when both are, otherwise int64 (converted by NumPy).
class Indices {
public:
    Indices(PyObject* row_array, PyObject* col_array);

    Strided row, col;

private:
    ArrayView row_buffer_, col_buffer_;
};

}  // namespace corvid::gfield::writer

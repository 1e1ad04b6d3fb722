/// The values of a NumPy array as the matrix writer reads them: a strided view of the array's
/// own memory, its value type in the file, and the checks made before any file is opened.
#pragma once

#include "gfield/writer/kernels/matrix_file.hpp"
#include "glue/array.hpp"

namespace corvid::gfield::writer {

class ArrayValues {
public:
    /// Reads `array`, a NumPy array of one or two dimensions. The value type is int32 for an
    /// integer element type and float64 for any other. Complex values are refused with
    /// TypeError. Memory the kernels cannot read directly (another byte order, half floats,
    /// objects, dates) is converted with NumPy here, so a failing conversion happens before
    /// anything is written.
    ArrayValues(PyObject* array, int ndim);

    ValueType value_type() const { return value_type_; }
    const Strided& view() const { return view_; }

    /// Refuses, with ValueError, integer values that int32 cannot hold.
    void require_int32_range() const;

private:
    bool read_directly(PyObject* array, int ndim);

    Ref owner_;  ///< the array whose memory is read: the input or NumPy's converted copy
    ArrayView buffer_;
    Strided view_;
    ValueType value_type_ = ValueType::float64;
};

/// An integer index array of one dimension as aligned, contiguous int32 or int64 memory
/// (converted to int64 by NumPy when it is neither).
class IndexValues {
public:
    explicit IndexValues(PyObject* array);
    /// Reads `array` (the one given to the constructor) as int64 from now on.
    void widen(PyObject* array);

    size_t size() const { return static_cast<size_t>(buffer_.shape(0)); }
    bool is_int64() const { return buffer_.element() == Element::int64; }
    template <class I>
    const I* data() const { return buffer_.data<const I>(); }

private:
    bool read_directly(PyObject* array);

    Ref owner_;
    ArrayView buffer_;
};

/// Refuses, with ValueError, a count the format's signed 32-bit fields cannot hold.
void require_count(const char* what, long long value);

}  // namespace corvid::gfield::writer

#include "gfield/writer/array_values.hpp"

#include "glue/call.hpp"
#include "glue/gil.hpp"

#include <string>

namespace corvid::gfield::writer {

namespace {

bool numpy_subdtype(PyObject* dtype, const char* kind) {
    Ref result = call(numpy("issubdtype").get(), {dtype, numpy(kind)});
    return check_status(PyObject_IsTrue(result.get())) == 1;
}

ArrayView as_int64(PyObject* indices) {
    Ref copy = contiguous(indices, Element::int64);
    ArrayView buffer = ArrayView::try_exact(copy.get(), Element::int64, 1);
    if (!buffer) raise(PyExc_TypeError, "sparse matrix indices must be a one-dimensional integer array");
    return buffer;
}

/// A contiguous one-dimensional buffer of a known element type as a view.
Strided vector_of(const ArrayView& buffer) {
    return {buffer.data<const std::byte>(), *buffer.element(), static_cast<size_t>(buffer.shape(0)),
            1, buffer.itemsize(), 0};
}

}  // namespace

ArrayValues::ArrayValues(PyObject* array, int ndim) {
    Ref dtype = attr(array, "dtype");
    if (numpy_subdtype(dtype.get(), "complexfloating")) {
        Ref text = checked(PyObject_Str(dtype.get()));
        raise_format(PyExc_TypeError,
                     "Unsupported element type: %U (the binary matrix format holds int32 or "
                     "float64 values)",
                     text.get());
    }
    integer_ = numpy_subdtype(dtype.get(), "integer");

    if (read_directly(array, ndim)) return;
    // Native byte order first keeps the element type, so integer values stay exact.
    Ref native = call_method(dtype.get(), "newbyteorder", {py_str("=")});
    for (const Ref& type : {native, numpy(integer_ ? "int64" : "float64")})
        if (read_directly(call_method(array, "astype", {type}).get(), ndim)) return;
    raise_format(PyExc_TypeError, "Unsupported element type: %R", dtype.get());
}

bool ArrayValues::read_directly(PyObject* array, int ndim) {
    buffer_ = ArrayView::try_any(array);
    if (!buffer_) return false;
    std::optional<Element> element = buffer_.element();
    if (!element || buffer_.ndim() != ndim || buffer_.has_suboffsets()) {
        buffer_.release();
        return false;
    }
    view_.base = buffer_.data<const std::byte>();
    view_.element = *element;
    view_.nrow = static_cast<size_t>(buffer_.shape(0));
    view_.row_stride = buffer_.stride(0);
    if (ndim == 2) {
        view_.ncol = static_cast<size_t>(buffer_.shape(1));
        view_.col_stride = buffer_.stride(1);
    }
    return true;
}

void ArrayValues::require_int32_range() const {
    if (!integer_) return;
    std::optional<std::string> outside;
    without_gil([&] { outside = first_outside_int32(view_); });
    if (outside)
        raise_format(PyExc_ValueError,
                     "integer value %s is outside the int32 range of the binary matrix format",
                     outside->c_str());
}

Indices::Indices(PyObject* row_array, PyObject* col_array)
    : row_buffer_(ArrayView::try_exact(row_array, Element::int32, 1)),
      col_buffer_(ArrayView::try_exact(col_array, Element::int32, 1)) {
    if (!row_buffer_ || !col_buffer_) {
        row_buffer_ = as_int64(row_array);
        col_buffer_ = as_int64(col_array);
    }
    row = vector_of(row_buffer_);
    col = vector_of(col_buffer_);
}

}  // namespace corvid::gfield::writer

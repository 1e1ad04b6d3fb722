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

}  // namespace

void require_count(const char* what, long long value) {
    if (value < 0 || value > kMaxCount)
        raise_format(PyExc_ValueError,
                     "%s = %lld does not fit the binary matrix format (at most %lld)", what, value,
                     static_cast<long long>(kMaxCount));
}

ArrayValues::ArrayValues(PyObject* array, int ndim) {
    Ref dtype = attr(array, "dtype");
    if (numpy_subdtype(dtype.get(), "complexfloating")) {
        Ref text = checked(PyObject_Str(dtype.get()));
        raise_format(PyExc_TypeError,
                     "Unsupported element type: %U (the binary matrix format holds int32 or "
                     "float64 values)",
                     text.get());
    }
    bool integer = numpy_subdtype(dtype.get(), "integer");
    value_type_ = integer ? ValueType::int32 : ValueType::float64;

    if (read_directly(array, ndim)) return;
    // Another byte order first keeps the element type, so integer values stay exact.
    Ref isnative = attr(dtype.get(), "isnative");
    if (!check_status(PyObject_IsTrue(isnative.get()))) {
        Ref native = call_method(dtype.get(), "newbyteorder", {py_str("=")});
        Ref copy = call_method(array, "astype", {native});
        if (read_directly(copy.get(), ndim)) return;
    }
    Ref copy = call_method(array, "astype", {numpy(integer ? "int64" : "float64")});
    if (read_directly(copy.get(), ndim)) return;
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
    owner_ = Ref::borrow(array);
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
    if (value_type_ != ValueType::int32) return;
    std::optional<std::string> outside;
    without_gil([&] { outside = first_outside_int32(view_); });
    if (outside)
        raise_format(PyExc_ValueError,
                     "integer value %s is outside the int32 range of the binary matrix format",
                     outside->c_str());
}

IndexValues::IndexValues(PyObject* array) {
    if (!read_directly(array)) widen(array);
}

void IndexValues::widen(PyObject* array) {
    if (buffer_ && is_int64()) return;
    Ref copy = contiguous(array, Element::int64);
    if (!read_directly(copy.get()))
        raise(PyExc_TypeError, "sparse matrix indices must be a one-dimensional integer array");
}

bool IndexValues::read_directly(PyObject* array) {
    for (Element e : {Element::int32, Element::int64}) {
        buffer_ = ArrayView::try_exact(array, e, 1);
        if (buffer_) {
            owner_ = Ref::borrow(array);
            return true;
        }
    }
    return false;
}

}  // namespace corvid::gfield::writer

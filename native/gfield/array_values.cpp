#include "gfield/array_values.hpp"

#include "glue/call.hpp"

#include <string>
#include <string_view>

namespace corvid::gfield::model {

namespace {

using mfile::Element;

/// The element type a buffer format names, when the kernels read it as it is (native byte
/// order, one plain numeric code); nothing otherwise.
std::optional<Element> element_of(const char* format, Py_ssize_t itemsize) {
    std::string_view f = format ? format : "B";
    constexpr char native_order = PY_LITTLE_ENDIAN ? '<' : '>';
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || f[0] == native_order)) f.remove_prefix(1);
    if (f.size() != 1) return std::nullopt;
    auto by_size = [&](Element e1, Element e2, Element e4, Element e8) -> std::optional<Element> {
        switch (itemsize) {
            case 1: return e1;
            case 2: return e2;
            case 4: return e4;
            case 8: return e8;
        }
        return std::nullopt;
    };
    switch (f[0]) {
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
            return by_size(Element::int8, Element::int16, Element::int32, Element::int64);
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
            return by_size(Element::uint8, Element::uint16, Element::uint32, Element::uint64);
        case '?':
            if (itemsize == 1) return Element::boolean;
            break;
        case 'f':
            if (itemsize == 4) return Element::float32;
            break;
        case 'd':
            if (itemsize == 8) return Element::float64;
            break;
        case 'g':
            if (itemsize == static_cast<Py_ssize_t>(sizeof(long double))) return Element::longdouble;
            break;
    }
    return std::nullopt;
}

bool numpy_subdtype(PyObject* numpy, PyObject* dtype, const char* kind) {
    Ref result = call(attr(numpy, "issubdtype").get(), {dtype, attr(numpy, kind)});
    return check_status(PyObject_IsTrue(result.get())) == 1;
}

}  // namespace

void require_count(const char* what, long long value) {
    if (value < 0 || value > mfile::kMaxCount)
        raise_format(PyExc_ValueError,
                     "%s = %lld does not fit the binary matrix format (at most %lld)", what, value,
                     static_cast<long long>(mfile::kMaxCount));
}

ArrayValues::ArrayValues(PyObject* array, int ndim) {
    Ref numpy = import("numpy");
    Ref dtype = attr(array, "dtype");
    if (numpy_subdtype(numpy.get(), dtype.get(), "complexfloating")) {
        Ref text = checked(PyObject_Str(dtype.get()));
        raise_format(PyExc_TypeError,
                     "Unsupported element type: %U (the binary matrix format holds int32 or "
                     "float64 values)",
                     text.get());
    }
    bool integer = numpy_subdtype(numpy.get(), dtype.get(), "integer");
    value_type_ = integer ? mfile::ValueType::int32 : mfile::ValueType::float64;

    if (read_directly(array, ndim)) return;
    // Another byte order first keeps the element type, so integer values stay exact.
    Ref isnative = attr(dtype.get(), "isnative");
    if (!check_status(PyObject_IsTrue(isnative.get()))) {
        Ref native = call_method(dtype.get(), "newbyteorder", {py_str("=")});
        Ref copy = call_method(array, "astype", {native});
        if (read_directly(copy.get(), ndim)) return;
    }
    Ref target = attr(numpy.get(), integer ? "int64" : "float64");
    Ref copy = call_method(array, "astype", {target});
    if (read_directly(copy.get(), ndim)) return;
    raise_format(PyExc_TypeError, "Unsupported element type: %R", dtype.get());
}

bool ArrayValues::read_directly(PyObject* array, int ndim) {
    if (!buffer_.try_acquire(array, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& v = buffer_.view();
    std::optional<Element> element = element_of(v.format, v.itemsize);
    if (!element || v.ndim != ndim || v.suboffsets) {
        buffer_.release();
        return false;
    }
    owner_ = Ref::borrow(array);
    view_.base = static_cast<const std::byte*>(v.buf);
    view_.element = *element;
    view_.nrow = static_cast<size_t>(v.shape[0]);
    view_.row_stride = v.strides[0];
    if (ndim == 2) {
        view_.ncol = static_cast<size_t>(v.shape[1]);
        view_.col_stride = v.strides[1];
    }
    return true;
}

void ArrayValues::require_int32_range() const {
    if (value_type_ != mfile::ValueType::int32) return;
    std::optional<std::string> outside;
    without_gil([&] { outside = mfile::first_outside_int32(view_); });
    if (outside)
        raise_format(PyExc_ValueError,
                     "integer value %s is outside the int32 range of the binary matrix format",
                     outside->c_str());
}

IndexValues::IndexValues(PyObject* array) {
    if (!read_directly(array)) widen(array);
}

void IndexValues::widen(PyObject* array) {
    if (buffer_.held() && is_int64()) return;
    Ref numpy = import("numpy");
    Ref copy = call_kw(attr(numpy.get(), "ascontiguousarray").get(), {array},
                       {{"dtype", attr(numpy.get(), "int64")}});
    if (!read_directly(copy.get()))
        raise(PyExc_TypeError, "sparse matrix indices must be a one-dimensional integer array");
}

bool IndexValues::read_directly(PyObject* array) {
    if (!buffer_.try_acquire(array, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
    const Py_buffer& v = buffer_.view();
    std::optional<Element> element = element_of(v.format, v.itemsize);
    if (v.ndim != 1 || !element || (*element != Element::int32 && *element != Element::int64)) {
        buffer_.release();
        return false;
    }
    owner_ = Ref::borrow(array);
    return true;
}

}  // namespace corvid::gfield::model

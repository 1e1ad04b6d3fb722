/// NumPy arrays seen from C++: one view over an exported buffer, the element type its format
/// names, and the checked ways to get arrays C++ can read or fill.
#pragma once

#include "glue/element.hpp"
#include "glue/ref.hpp"

#include <cstddef>
#include <initializer_list>
#include <optional>

namespace corvid {

/// The element a buffer format names in native byte order (one plain code such as "d", "<i8",
/// "=?"), given the item size the buffer reports; nothing for any other format.
std::optional<Element> element_of(const char* format, Py_ssize_t itemsize);

/// The `numpy.dtype` name of an element type.
const char* dtype_name(Element e);

/// A buffer exported by an object, held until the view is destroyed or released (with the GIL).
///
/// Kernels go by the buffer, never by what the object's attributes claim: its shape, strides
/// and format are those of the export.
class ArrayView {
public:
    /// A strided view of any layout; the exporter's error propagates.
    static ArrayView any(PyObject* obj, bool writable = false);
    /// The same, or an empty view (error cleared) when `obj` exports no such buffer.
    static ArrayView try_any(PyObject* obj);
    /// A C-contiguous, aligned view of `element` values in `ndim` dimensions, or an empty view
    /// (error cleared) when `obj` has none.
    static ArrayView try_exact(PyObject* obj, Element element, int ndim, bool writable = false);
    /// The same, raising ValueError "expected an aligned <ndim>-dimensional <dtype> array" when
    /// `obj` has none, so no memory is touched under a wrong assumption.
    ArrayView(PyObject* obj, Element element, int ndim, bool writable = false);

    ArrayView() = default;
    ~ArrayView() { release(); }
    ArrayView(ArrayView&& other) noexcept;
    ArrayView& operator=(ArrayView&& other) noexcept;
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;

    explicit operator bool() const { return held_; }
    void release();

    int ndim() const { return view_.ndim; }
    Py_ssize_t shape(int axis) const { return view_.shape[axis]; }
    Py_ssize_t stride(int axis) const { return view_.strides[axis]; }
    Py_ssize_t itemsize() const { return view_.itemsize; }
    /// The buffer's format string, or null for plain bytes.
    const char* format() const { return view_.format; }
    /// The element type, or nothing for a format C++ does not read in place.
    std::optional<Element> element() const { return element_of(view_.format, view_.itemsize); }
    bool has_suboffsets() const { return view_.suboffsets != nullptr; }
    template <class T = void>
    T* data() const { return static_cast<T*>(view_.buf); }

    /// Raises ValueError unless the buffer has this shape (-1 matches any extent).
    void expect(std::initializer_list<Py_ssize_t> shape) const;

private:
    bool acquire(PyObject* obj, int flags);
    bool matches(Element element, int ndim) const;

    Py_buffer view_{};
    bool held_ = false;
};

/// `numpy.<name>`.
Ref numpy(const char* name);

/// `numpy.require(obj, dtype=..., requirements="CA")`: C-contiguous and aligned, no copy when
/// `obj` already is.
Ref contiguous(PyObject* obj, Element element);

/// A new array from `numpy.empty(shape, dtype=...)`, checked to be a fresh ndarray of exactly
/// that shape and type, held by nobody else (TypeError otherwise): C++ fills it to the extent
/// asked for, and may resize it.
Ref fresh_array(std::initializer_list<Py_ssize_t> shape, Element element);

/// A fresh array (`fresh_array`) and a writable view of it, for C++ to fill.
struct FreshArray {
    FreshArray(std::initializer_list<Py_ssize_t> shape, Element element)
        : array(fresh_array(shape, element)), view(array.get(), element, static_cast<int>(shape.size()), true) {}

    template <class T>
    T* data() const { return view.data<T>(); }

    Ref array;
    ArrayView view;
};

/// `obj.ndim` as a C integer.
int ndim_of(PyObject* obj);

/// `obj.shape[axis]` as a C integer.
Py_ssize_t shape_of(PyObject* obj, int axis);

}  // namespace corvid

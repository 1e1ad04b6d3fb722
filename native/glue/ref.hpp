/// Owning reference to a Python object, and the C++ exception that carries a Python error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corvid {

/// Thrown when a Python error indicator is set; translated back at the call boundary.
struct python_error {};

/// Throws `python_error`; marks the error path as cold.
[[noreturn]] void throw_python_error();

/// Sets a Python exception of type `type` and throws `python_error`.
[[noreturn]] void raise(PyObject* type, const char* message);

/// Like `raise`, with a printf-style message (PyUnicode_FromFormat conventions).
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

/// An owned `PyObject*`. Creation says whether it steals or borrows.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    /// Takes over a new reference (may be null).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Takes a new reference to a borrowed object (may be null).
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    /// Takes over a new reference; a null pointer means a Python error is set.
    static Ref check(PyObject* p) {
        if (!p) throw_python_error();
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    /// Hands the reference back to the caller.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

/// A borrowed reference: an argument as the caller passed it, alive for the whole call.
class Object {
public:
    Object(PyObject* p) noexcept : ptr_(p) {}
    PyObject* get() const noexcept { return ptr_; }
    operator PyObject*() const noexcept { return ptr_; }

private:
    PyObject* ptr_;
};

/// Shorthand for `Ref::check`.
inline Ref checked(PyObject* p) { return Ref::check(p); }

/// Throws `python_error` when a C-API status call reported failure.
inline int check_status(int status) {
    if (status < 0) throw_python_error();
    return status;
}

}  // namespace corvid
